#include "ViewKit/DesktopKicker.hpp"

#include <QBoxLayout>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

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

int widestUnbreakableWidth(const QString& text, const QFont& font) {
    // Laid out at no width, every line is one run that can't be broken.
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    const QFontMetricsF metrics(font);
    qreal widest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(0);
        const QString run = text.mid(line.textStart(), line.textLength()).trimmed();
        widest = std::max({widest, line.naturalTextWidth(), metrics.horizontalAdvance(run),
                           metrics.boundingRect(run).right()});
    }
    layout.endLayout();
    return static_cast<int>(std::ceil(widest));
}

void keepWordsWhole(QLabel* label) {
    label->setMinimumWidth(widestUnbreakableWidth(label->text(), label->font()));
}

DesktopKicker::DesktopKicker(const QString& text, QWidget* parent) : QLabel(text, parent) {
    QFont font = DesktopFonts::monospaced(11, QFont::Medium);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2.2);
    font.setCapitalization(QFont::AllUppercase);
    styleLabel(this, font, DesktopPalette::muted());
}

int DesktopKicker::firstBaseline() const {
    return contentsRect().top() + QFontMetrics(font()).ascent();
}

QHBoxLayout* firstBaselineRow(QBoxLayout* heading, int headingBaseline, QWidget* trailing, int trailingBaseline,
                              int gap) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    const int shift = trailing != nullptr ? trailingBaseline - headingBaseline : 0;
    heading->setContentsMargins(0, std::max(0, shift), 0, 0);
    // Extra height of the row goes below the heading's texts, not into them.
    heading->addStretch(1);
    row->addLayout(heading, 1);
    if (trailing != nullptr) {
        row->addSpacing(gap);
        auto* column = new QVBoxLayout;
        column->setContentsMargins(0, std::max(0, -shift), 0, 0);
        column->setSpacing(0);
        column->addWidget(trailing, 0, Qt::AlignRight);
        column->addStretch(1);
        row->addLayout(column);
    }
    return row;
}

}  // namespace tarnwell
