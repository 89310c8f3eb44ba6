#include "ViewKit/DesktopKicker.hpp"

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell {

void styleLabel(QLabel* label, const QFont& font, const QColor& colour, bool wrap) {
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, colour);
    colours.setColor(QPalette::Text, colour);
    label->setPalette(colours);
    label->setWordWrap(wrap);
}

DesktopKicker::DesktopKicker(const QString& text, QWidget* parent) : QLabel(text, parent) {
    QFont font = DesktopFonts::monospaced(11, QFont::Medium);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2.2);
    font.setCapitalization(QFont::AllUppercase);
    styleLabel(this, font, DesktopPalette::muted());
}

}  // namespace tarnwell
