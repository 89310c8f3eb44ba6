#include "ViewKit/DesktopSelectableText.hpp"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace tarnwell {

namespace {
constexpr QChar kEllipsis(0x2026);
// Below this a wrapped text stops being readable; it asks for no less.
constexpr int kMinimumCharacters = 8;
// A long text asks for no more than this on one line and wraps below it.
constexpr int kPreferredWidth = 360;

std::unique_ptr<QTextLayout> newLayout(const QString& text, const QFont& font) {
    auto layout = std::make_unique<QTextLayout>(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    return layout;
}
}  // namespace

struct DesktopSelectableText::Layout {
    int width = -1;
    std::unique_ptr<QTextLayout> full;
    int fullLinesShown = 0;
    // The last line shown, cut with "…": where it starts in the text and how
    // many characters of the text it shows before the "…".
    std::unique_ptr<QTextLayout> cut;
    int cutStart = 0;
    int cutVisible = 0;
    qreal height = 0;
};

DesktopSelectableText::DesktopSelectableText(const QString& text, const QFont& font, const QColor& colour,
                                             QWidget* parent)
    : QWidget(parent), text_(text) {
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, colour);
    setPalette(colours);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setSelectable(true);
}

DesktopSelectableText::~DesktopSelectableText() = default;

void DesktopSelectableText::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    anchor_ = cursor_ = 0;
    cached_.reset();
    updateGeometry();
    update();
}

void DesktopSelectableText::setMaximumLineCount(int lines) {
    maxLines_ = std::max(0, lines);
    cached_.reset();
    updateGeometry();
    update();
}

void DesktopSelectableText::setSelectable(bool selectable) {
    selectable_ = selectable;
    if (selectable) {
        setCursor(Qt::IBeamCursor);
        setFocusPolicy(Qt::ClickFocus);
        setContextMenuPolicy(Qt::DefaultContextMenu);
    } else {
        unsetCursor();
        setFocusPolicy(Qt::NoFocus);
        setContextMenuPolicy(Qt::NoContextMenu);
        anchor_ = cursor_ = 0;
    }
    update();
}

QString DesktopSelectableText::selectedText() const {
    const int start = std::min(anchor_, cursor_);
    const int end = std::max(anchor_, cursor_);
    return text_.mid(start, end - start);
}

void DesktopSelectableText::selectAll() {
    if (!selectable_) {
        return;
    }
    anchor_ = 0;
    cursor_ = static_cast<int>(text_.size());
    update();
}

const DesktopSelectableText::Layout& DesktopSelectableText::layoutAt(int width) const {
    width = std::max(1, width);
    if (cached_ && cached_->width == width) {
        return *cached_;
    }
    auto layout = std::make_unique<Layout>();
    layout->width = width;
    layout->full = newLayout(text_, font());
    QList<qreal> tops;
    qreal y = 0;
    layout->full->beginLayout();
    for (QTextLine line = layout->full->createLine(); line.isValid(); line = layout->full->createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        tops.append(y);
        y += line.height();
    }
    layout->full->endLayout();
    const int lines = layout->full->lineCount();
    if (maxLines_ > 0 && lines > maxLines_) {
        layout->fullLinesShown = maxLines_ - 1;
        layout->cutStart = layout->full->lineAt(maxLines_ - 1).textStart();
        QString rest = text_.mid(layout->cutStart);
        rest.replace(QLatin1Char('\n'), QLatin1Char(' '));
        QString shown = QFontMetricsF(font()).elidedText(rest, Qt::ElideRight, width);
        if (!shown.endsWith(kEllipsis)) {
            shown += kEllipsis;
        }
        layout->cutVisible = static_cast<int>(shown.size()) - 1;
        layout->cut = newLayout(shown, font());
        layout->cut->beginLayout();
        QTextLine line = layout->cut->createLine();
        line.setNumColumns(static_cast<int>(shown.size()));
        line.setPosition(QPointF(0, tops.at(maxLines_ - 1)));
        layout->cut->endLayout();
        layout->height = tops.at(maxLines_ - 1) + line.height();
    } else {
        layout->fullLinesShown = lines;
        layout->height = y;
    }
    cached_ = std::move(layout);
    return *cached_;
}

QStringList DesktopSelectableText::shownLines(int width) const {
    const Layout& layout = layoutAt(width);
    QStringList lines;
    for (int i = 0; i < layout.fullLinesShown; ++i) {
        const QTextLine line = layout.full->lineAt(i);
        lines.append(text_.mid(line.textStart(), line.textLength()));
    }
    if (layout.cut) {
        lines.append(layout.cut->text());
    }
    return lines;
}

int DesktopSelectableText::heightForWidth(int width) const {
    return static_cast<int>(std::ceil(layoutAt(width).height));
}

QSize DesktopSelectableText::sizeHint() const {
    const int natural = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text_)));
    const int width = std::clamp(natural, minimumSizeHint().width(), kPreferredWidth);
    return {width, heightForWidth(width)};
}

QSize DesktopSelectableText::minimumSizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.averageCharWidth() * kMinimumCharacters, metrics.height()};
}

void DesktopSelectableText::paintEvent(QPaintEvent*) {
    const Layout& layout = layoutAt(width());
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const int start = std::min(anchor_, cursor_);
    const int end = std::max(anchor_, cursor_);
    auto selection = [&](int from, int length) {
        QTextLayout::FormatRange range;
        range.start = from;
        range.length = length;
        range.format.setBackground(palette().brush(QPalette::Highlight));
        range.format.setForeground(palette().brush(QPalette::HighlightedText));
        return QList<QTextLayout::FormatRange>{range};
    };
    QList<QTextLayout::FormatRange> fullSelection;
    if (end > start) {
        fullSelection = selection(start, end - start);
    }
    if (!layout.cut) {
        layout.full->draw(&painter, QPointF(0, 0), fullSelection);
        return;
    }
    const qreal cutTop = layout.cut->lineAt(0).y();
    if (layout.fullLinesShown > 0) {
        const QRectF above(0, 0, width(), cutTop);
        painter.save();
        painter.setClipRect(above);
        layout.full->draw(&painter, QPointF(0, 0), fullSelection, above);
        painter.restore();
    }
    // The cut line: its characters stand for the same ones of the text, its
    // "…" for everything hidden behind it.
    QList<QTextLayout::FormatRange> cutSelection;
    const int visibleEnd = layout.cutStart + layout.cutVisible;
    const int from = std::max(start, layout.cutStart) - layout.cutStart;
    int to = std::min(end, visibleEnd) - layout.cutStart;
    if (end > visibleEnd) {
        to = layout.cutVisible + 1;
    }
    if (end > start && to > from) {
        cutSelection = selection(from, to - from);
    }
    layout.cut->draw(&painter, QPointF(0, 0), cutSelection);
}

int DesktopSelectableText::positionAt(const QPointF& point) const {
    const Layout& layout = layoutAt(width());
    for (int i = 0; i < layout.fullLinesShown; ++i) {
        const QTextLine line = layout.full->lineAt(i);
        if (point.y() < line.y() + line.height()) {
            return line.xToCursor(point.x());
        }
    }
    if (layout.cut) {
        const QTextLine line = layout.cut->lineAt(0);
        if (point.y() < line.y() + line.height()) {
            const int position = line.xToCursor(point.x());
            return position > layout.cutVisible ? static_cast<int>(text_.size()) : layout.cutStart + position;
        }
    }
    return static_cast<int>(text_.size());
}

void DesktopSelectableText::copySelection() const {
    const QString selected = selectedText();
    if (!selected.isEmpty()) {
        QGuiApplication::clipboard()->setText(selected);
    }
}

void DesktopSelectableText::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (heightForWidth(width()) != height()) {
        updateGeometry();
    }
}

void DesktopSelectableText::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        cached_.reset();
        updateGeometry();
    }
    QWidget::changeEvent(event);
}

void DesktopSelectableText::mousePressEvent(QMouseEvent* event) {
    if (!selectable_ || event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const int position = positionAt(event->position());
    if (!(event->modifiers() & Qt::ShiftModifier)) {
        anchor_ = position;
    }
    cursor_ = position;
    update();
}

void DesktopSelectableText::mouseMoveEvent(QMouseEvent* event) {
    if (!selectable_ || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    cursor_ = positionAt(event->position());
    update();
}

void DesktopSelectableText::mouseReleaseEvent(QMouseEvent* event) {
    if (!selectable_ || event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection() && anchor_ != cursor_) {
        clipboard->setText(selectedText(), QClipboard::Selection);
    }
}

void DesktopSelectableText::mouseDoubleClickEvent(QMouseEvent* event) {
    if (!selectable_ || event->button() != Qt::LeftButton) {
        QWidget::mouseDoubleClickEvent(event);
        return;
    }
    // The word under the pointer.
    const int position = positionAt(event->position());
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, text_);
    words.setPosition(position);
    const int start = words.isAtBoundary() && (words.boundaryReasons() & QTextBoundaryFinder::StartOfItem)
                          ? position
                          : static_cast<int>(words.toPreviousBoundary());
    words.setPosition(position);
    const int end = static_cast<int>(words.toNextBoundary());
    anchor_ = std::max(0, start);
    cursor_ = end < 0 ? static_cast<int>(text_.size()) : end;
    update();
}

void DesktopSelectableText::keyPressEvent(QKeyEvent* event) {
    if (selectable_ && event->matches(QKeySequence::Copy)) {
        copySelection();
        return;
    }
    if (selectable_ && event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    QWidget::keyPressEvent(event);
}

void DesktopSelectableText::focusOutEvent(QFocusEvent* event) {
    // Its own context menu, or another window coming to the front, leaves
    // the selection as it is.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason &&
        anchor_ != cursor_) {
        anchor_ = cursor_ = 0;
        update();
    }
    QWidget::focusOutEvent(event);
}

void DesktopSelectableText::contextMenuEvent(QContextMenuEvent* event) {
    if (!selectable_) {
        QWidget::contextMenuEvent(event);
        return;
    }
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("Copy"), this, [this] { copySelection(); });
    copy->setEnabled(anchor_ != cursor_);
    menu.addAction(tr("Select All"), this, [this] { selectAll(); });
    menu.exec(event->globalPos());
}

}  // namespace tarnwell
