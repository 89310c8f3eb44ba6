#include "ViewKit/DesktopSelectableText.hpp"

#include <QAbstractTextDocumentLayout>
#include <QTextDocument>
#include <cmath>
#include <memory>

namespace tarnwell {

DesktopSelectableText::DesktopSelectableText(const QString& text, const QFont& font, const QColor& colour,
                                             QWidget* parent)
    : QTextEdit(parent) {
    setReadOnly(true);
    setAcceptRichText(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setLineWrapMode(QTextEdit::WidgetWidth);
    document()->setDocumentMargin(0);
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::Text, colour);
    colours.setColor(QPalette::Base, Qt::transparent);
    setPalette(colours);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setPlainText(text);
}

int DesktopSelectableText::heightForWidth(int width) const {
    std::unique_ptr<QTextDocument> measure(document()->clone());
    measure->setTextWidth(std::max(1, width));
    return static_cast<int>(std::ceil(measure->size().height()));
}

QSize DesktopSelectableText::sizeHint() const {
    const int width = std::max(100, this->width());
    return {width, heightForWidth(width)};
}

QSize DesktopSelectableText::minimumSizeHint() const {
    return {40, fontMetrics().height()};
}

void DesktopSelectableText::resizeEvent(QResizeEvent* event) {
    QTextEdit::resizeEvent(event);
    const int wanted = heightForWidth(width());
    if (wanted != height()) {
        updateGeometry();
    }
}

}  // namespace tarnwell
