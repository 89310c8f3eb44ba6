#include "ViewKit/DesktopInputField.hpp"

#include <QPainter>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopShapes.hpp"

namespace tarnwell {

namespace {
// The horizontal margin QLineEdit leaves around its text inside its frame.
constexpr int kLineEditMargin = 2;
}  // namespace

DesktopInputField::DesktopInputField(QWidget* parent) : QLineEdit(parent) {
    setFont(DesktopFonts::system(15, QFont::Medium));
    setFrame(false);
    // The line edit keeps a margin of its own on each side.
    setTextMargins(kHorizontalPadding - kLineEditMargin, 0, kHorizontalPadding - kLineEditMargin, 0);
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_MacShowFocusRect, false);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, DesktopPalette::surfaceStrong());
    setPalette(colours);
}

QSize DesktopInputField::sizeHint() const {
    return {QLineEdit::sizeHint().width(), kHeight};
}

QSize DesktopInputField::minimumSizeHint() const {
    return {QLineEdit::minimumSizeHint().width(), kHeight};
}

void DesktopInputField::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        DesktopShapes::fillSquare(painter, rect(), DesktopPalette::surfaceStrong());
    }
    QLineEdit::paintEvent(event);
    QPainter painter(this);
    DesktopShapes::strokeInside(painter, rect(), 8, DesktopPalette::border());
}

}  // namespace tarnwell
