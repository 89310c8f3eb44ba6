#include "ViewKit/DesktopFonts.hpp"

#include <QFontDatabase>
#include <QGuiApplication>

namespace tarnwell::DesktopFonts {

QFont system(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setFamilies({QStringLiteral("Inter"), QGuiApplication::font().family()});
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont monospaced(int pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont bodyMonospaced() {
    return monospaced(kBodyPixelSize, QFont::Normal);
}

}  // namespace tarnwell::DesktopFonts
