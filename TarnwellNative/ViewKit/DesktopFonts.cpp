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
    // Named first, so that the design doesn't depend on which fixed font the
    // desktop prefers (some common ones are not even marked fixed-pitch and
    // get passed over for a proportional font).
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont bodyMonospaced() {
    return monospaced(kBodyPixelSize, QFont::Normal);
}

}  // namespace tarnwell::DesktopFonts
