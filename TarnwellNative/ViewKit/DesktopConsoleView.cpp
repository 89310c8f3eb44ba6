#include "ViewKit/DesktopConsoleView.hpp"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopLogLinesModel.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopSurface.hpp"

namespace tarnwell {

DesktopConsoleView::DesktopConsoleView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setFont(DesktopFonts::bodyMonospaced());
    // A click gives it the keyboard for copying; it is no Tab stop.
    setFocusPolicy(Qt::ClickFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    viewport()->setAutoFillBackground(false);
    viewport()->setCursor(Qt::IBeamCursor);
    // A slim scroll bar without arrows, in the border colour, inside the
    // right-hand padding.
    verticalScrollBar()->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { background: transparent; width: 10px; margin: 6px 3px 6px 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 28px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }")
            .arg(DesktopPalette::border().name()));
    setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copy = new QAction(tr("Copy"), this);
    copy->setObjectName(QStringLiteral("copyAction"));
    connect(copy, &QAction::triggered, this, &DesktopConsoleView::copySelection);
    addAction(copy);
    textWidth_ = wrapWidthFor(width());

    rawFont_ = QRawFont::fromFont(font());
    Line sample;
    sample.layout = shape(QStringLiteral("Ag"));
    breakLines(sample);
    singleLineHeight_ = sample.height;
    baseline_ = sample.layout->lineAt(0).ascent();
}

DesktopConsoleView::~DesktopConsoleView() = default;

void DesktopConsoleView::setModel(DesktopLogLinesModel* model) {
    if (model_) disconnect(model_, nullptr, this, nullptr);
    model_ = model;
    if (model_) {
        connect(model_, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex&, int first, int last) { linesInserted(first, last); });
        connect(model_, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex&, int first, int last) { linesRemoved(first, last); });
        connect(model_, &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex& from, const QModelIndex& to) { linesChanged(from.row(), to.row()); });
        connect(model_, &QAbstractItemModel::modelReset, this, &DesktopConsoleView::reload);
        connect(model_, &QAbstractItemModel::layoutChanged, this, &DesktopConsoleView::reload);
    }
    reload();
}

void DesktopConsoleView::setBox(QWidget* box) {
    box_ = box;
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, box_ != nullptr);
    viewport()->update();
}

// ---- Layout ------------------------------------------------------------------

qreal DesktopConsoleView::wrapWidthFor(int viewWidth) const {
    // The scroll bar sits in the right-hand padding, so whether it shows
    // never changes where lines break.
    return std::max<qreal>(40, viewWidth - 2 * kPadding);
}

std::unique_ptr<QTextLayout> DesktopConsoleView::shape(const QString& text) const {
    auto layout = std::make_unique<QTextLayout>(text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    // Keep the shaped glyphs after the layout, so drawing doesn't shape again.
    layout->setCacheEnabled(true);
    return layout;
}

void DesktopConsoleView::breakLines(Line& line) const {
    QTextLayout& layout = *line.layout;
    qreal y = 0;
    layout.beginLayout();
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLineWidth(textWidth_);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout.endLayout();
    line.height = std::max<qreal>(y, QFontMetricsF(font()).height());
}

DesktopConsoleView::Line DesktopConsoleView::makeLine(const QString& text) const {
    Line line;
    line.text = text;
    measure(line);
    return line;
}

void DesktopConsoleView::measure(Line& line) const {
    if (measureSimple(line)) {
        line.layout.reset();
        return;
    }
    line.glyphs = QGlyphRun();
    line.edges.clear();
    if (!line.layout) line.layout = shape(line.text);
    breakLines(line);
}

bool DesktopConsoleView::measureSimple(Line& line) const {
    const QString& text = line.text;
    if (!rawFont_.isValid() || text.isEmpty() ||
        !std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u' ' && c < u'\x7f'; })) {
        return false;
    }
    const QList<quint32> glyphs = rawFont_.glyphIndexesForString(text);
    if (glyphs.size() != text.size() || glyphs.contains(0)) return false;
    const QList<QPointF> advances = rawFont_.advancesForGlyphIndexes(glyphs);
    std::vector<qreal> edges(static_cast<std::size_t>(text.size()) + 1, 0.0);
    QList<QPointF> positions(glyphs.size());
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        const auto at = static_cast<std::size_t>(i);
        positions[i] = QPointF(edges[at], 0);
        edges[at + 1] = edges[at] + advances[i].x();
    }
    if (edges.back() > textWidth_) return false;
    line.glyphs.setRawFont(rawFont_);
    line.glyphs.setGlyphIndexes(glyphs);
    line.glyphs.setPositions(positions);
    line.edges = std::move(edges);
    line.height = singleLineHeight_;
    return true;
}

void DesktopConsoleView::placeFrom(std::size_t first, bool repaint) {
    qreal top = first == 0 || first > lines_.size() ? 0
                                                    : lines_[first - 1].top + lines_[first - 1].height + kLineSpacing;
    for (std::size_t i = first; i < lines_.size(); ++i) {
        lines_[i].top = top;
        top += lines_[i].height + kLineSpacing;
    }
    updateScrollRange();
    if (repaint) viewport()->update();
}

qreal DesktopConsoleView::contentHeight() const {
    if (lines_.empty()) return 2 * kPadding;
    const Line& last = lines_.back();
    return kPadding + last.top + last.height + kPadding;
}

void DesktopConsoleView::updateScrollRange() {
    QScrollBar* bar = verticalScrollBar();
    const int page = viewport()->height();
    bar->setRange(0, std::max(0, static_cast<int>(std::ceil(contentHeight())) - page));
    bar->setPageStep(page);
    bar->setSingleStep(static_cast<int>(std::ceil(QFontMetricsF(font()).height())) + kLineSpacing);
}

std::size_t DesktopConsoleView::lineAtContentY(qreal y) const {
    // The last line whose top lies at or above `y`.
    auto after = std::upper_bound(lines_.begin(), lines_.end(), y - kPadding,
                                  [](qreal value, const Line& line) { return value < line.top; });
    return after == lines_.begin() ? 0 : static_cast<std::size_t>(after - lines_.begin() - 1);
}

void DesktopConsoleView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    const qreal width = wrapWidthFor(this->width());
    if (!qFuzzyCompare(width, textWidth_)) {
        textWidth_ = width;
        for (Line& line : lines_) measure(line);
        placeFrom(0);
    } else {
        updateScrollRange();
    }
}

QSize DesktopConsoleView::minimumSizeHint() const { return {2 * kPadding + 40, 2 * kPadding}; }

// ---- The model's changes ---------------------------------------------------------

void DesktopConsoleView::reload() {
    lines_.clear();
    clearSelection();
    if (model_) {
        const QStringList& texts = model_->lines();
        lines_.reserve(static_cast<std::size_t>(texts.size()));
        for (const QString& text : texts) lines_.push_back(makeLine(text));
    }
    placeFrom(0);
}

void DesktopConsoleView::linesInserted(int first, int last) {
    const QStringList& texts = model_->lines();
    std::vector<Line> added;
    added.reserve(static_cast<std::size_t>(last - first + 1));
    for (int i = first; i <= last; ++i) added.push_back(makeLine(texts.at(i)));
    // Lines added out of sight below the view change only the scroll range.
    const bool outOfSight = !lines_.empty() && first >= static_cast<int>(lines_.size()) &&
                            kPadding + lines_.back().top + lines_.back().height + kLineSpacing -
                                    verticalScrollBar()->value() >=
                                viewport()->height();
    lines_.insert(lines_.begin() + first, std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    if (hasSelection()) {
        const int count = last - first + 1;
        if (anchor_.line >= first) anchor_.line += count;
        if (cursor_.line >= first) cursor_.line += count;
    }
    placeFrom(static_cast<std::size_t>(first), !outOfSight);
}

void DesktopConsoleView::linesRemoved(int first, int last) {
    lines_.erase(lines_.begin() + first, lines_.begin() + last + 1);
    const int count = last - first + 1;
    if (hasSelection()) {
        const auto [from, to] = std::minmax(anchor_, cursor_);
        if (to.line < first) {
            // Above the removed lines: unmoved.
        } else if (from.line > last) {
            anchor_.line -= count;
            cursor_.line -= count;
        } else {
            clearSelection();
        }
    }
    placeFrom(static_cast<std::size_t>(first));
}

void DesktopConsoleView::linesChanged(int first, int last) {
    const QStringList& texts = model_->lines();
    for (int i = first; i <= last && i < static_cast<int>(lines_.size()); ++i) {
        lines_[static_cast<std::size_t>(i)] = makeLine(texts.at(i));
    }
    if (hasSelection()) {
        const auto [from, to] = std::minmax(anchor_, cursor_);
        if (!(to.line < first || from.line > last)) clearSelection();
    }
    placeFrom(static_cast<std::size_t>(first));
}

// ---- Drawing -------------------------------------------------------------------

void DesktopConsoleView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    if (box_) {
        DesktopInnerBox::paintBox(painter, QRectF(viewport()->mapFrom(box_, QPoint(0, 0)), box_->size()));
    }
    if (lines_.empty()) return;
    painter.setPen(DesktopPalette::text());
    const qreal offset = verticalScrollBar()->value();
    const QRectF area = event->rect();
    const auto [from, to] = std::minmax(anchor_, cursor_);
    // Selected characters look as in every selectable text of the window.
    const QBrush highlight = palette().brush(QPalette::Highlight);
    const QColor highlightedText = palette().color(QPalette::HighlightedText);
    QTextCharFormat selected;
    selected.setBackground(highlight);
    selected.setForeground(highlightedText);
    for (std::size_t i = lineAtContentY(offset + area.top()); i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        const qreal y = kPadding + line.top - offset;
        if (y > area.bottom()) break;
        const int index = static_cast<int>(i);
        int start = 0;
        int end = 0;
        if (hasSelection() && index >= from.line && index <= to.line) {
            start = index == from.line ? from.offset : 0;
            end = index == to.line ? to.offset : static_cast<int>(line.text.size());
        }
        if (line.simple()) {
            painter.drawGlyphRun(QPointF(kPadding, y + baseline_), line.glyphs);
            if (end > start) {
                const qreal left = line.edges[static_cast<std::size_t>(start)];
                const qreal right = line.edges[static_cast<std::size_t>(end)];
                const QRectF band(kPadding + left, y, right - left, line.height);
                painter.save();
                painter.setClipRect(band);
                painter.fillRect(band, highlight);
                painter.setPen(highlightedText);
                painter.drawGlyphRun(QPointF(kPadding, y + baseline_), line.glyphs);
                painter.restore();
            }
        } else {
            QList<QTextLayout::FormatRange> selections;
            if (end > start) selections.append({start, end - start, selected});
            line.layout->draw(&painter, QPointF(kPadding, y), selections);
        }
    }
}

void DesktopConsoleView::scrollContentsBy(int, int) { viewport()->update(); }

// ---- Selection -----------------------------------------------------------------

QRectF DesktopConsoleView::lineRect(int index) const {
    const Line& line = lines_.at(static_cast<std::size_t>(index));
    return {static_cast<qreal>(kPadding), kPadding + line.top - verticalScrollBar()->value(), textWidth_, line.height};
}

QPointF DesktopConsoleView::pointOf(Position position) const {
    const Line& line = lines_.at(static_cast<std::size_t>(position.line));
    const QRectF box = lineRect(position.line);
    const int offset = std::clamp<int>(position.offset, 0, static_cast<int>(line.text.size()));
    if (line.simple()) return {box.left() + line.edges[static_cast<std::size_t>(offset)], box.center().y()};
    const QTextLine row = line.layout->lineForTextPosition(offset);
    if (!row.isValid()) return box.topLeft();
    return {box.left() + row.cursorToX(offset), box.top() + row.y() + row.height() / 2};
}

DesktopConsoleView::Position DesktopConsoleView::positionAt(QPointF point) const {
    if (lines_.empty()) return {};
    const qreal y = point.y() + verticalScrollBar()->value();
    if (y < kPadding) return {0, 0};
    const std::size_t index = lineAtContentY(y);
    const Line& line = lines_[index];
    const int number = static_cast<int>(index);
    const int length = static_cast<int>(line.text.size());
    const qreal inLine = y - kPadding - line.top;
    // In the spacing below a line: its end.
    if (inLine >= line.height) return {number, length};
    const qreal x = point.x() - kPadding;
    if (line.simple()) {
        // The character boundary nearest to x.
        const auto after = std::lower_bound(line.edges.begin(), line.edges.end(), x);
        if (after == line.edges.begin()) return {number, 0};
        if (after == line.edges.end()) return {number, length};
        const auto nearest = x - *(after - 1) <= *after - x ? after - 1 : after;
        return {number, static_cast<int>(nearest - line.edges.begin())};
    }
    const QTextLayout& layout = *line.layout;
    for (int r = 0; r < layout.lineCount(); ++r) {
        const QTextLine row = layout.lineAt(r);
        if (inLine < row.y() + row.height() || r + 1 == layout.lineCount()) return {number, row.xToCursor(x)};
    }
    return {number, length};
}

void DesktopConsoleView::select(Position anchor, Position cursor) {
    anchor_ = anchor;
    cursor_ = cursor;
    viewport()->update();
}

void DesktopConsoleView::selectAll() {
    if (lines_.empty()) return;
    select({0, 0}, {static_cast<int>(lines_.size()) - 1, static_cast<int>(lines_.back().text.size())});
}

void DesktopConsoleView::clearSelection() {
    anchor_ = cursor_ = {};
    viewport()->update();
}

QString DesktopConsoleView::selectedText() const {
    if (!hasSelection()) return {};
    const auto [from, to] = std::minmax(anchor_, cursor_);
    QStringList parts;
    for (int i = from.line; i <= to.line && i < static_cast<int>(lines_.size()); ++i) {
        const QString& text = lines_[static_cast<std::size_t>(i)].text;
        const int start = i == from.line ? from.offset : 0;
        const int end = i == to.line ? to.offset : static_cast<int>(text.size());
        parts.append(text.mid(start, end - start));
    }
    return parts.join(QLatin1Char('\n'));
}

void DesktopConsoleView::copySelection() const {
    if (hasSelection()) QApplication::clipboard()->setText(selectedText());
}

void DesktopConsoleView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const Position at = positionAt(event->position());
    if (event->modifiers() & Qt::ShiftModifier) {
        select(anchor_, at);
    } else {
        select(at, at);
    }
    dragging_ = true;
}

void DesktopConsoleView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) return;
    // Dragging past the top or bottom scrolls the lines along.
    const qreal y = event->position().y();
    QScrollBar* bar = verticalScrollBar();
    if (y < 0) {
        bar->setValue(bar->value() + static_cast<int>(y));
    } else if (y > viewport()->height()) {
        bar->setValue(bar->value() + static_cast<int>(y - viewport()->height()));
    }
    select(anchor_, positionAt(event->position()));
}

void DesktopConsoleView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    dragging_ = false;
    // What the mouse selected is also the X primary selection, where the
    // platform has one.
    QClipboard* clipboard = QApplication::clipboard();
    if (clipboard->supportsSelection() && hasSelection()) clipboard->setText(selectedText(), QClipboard::Selection);
}

void DesktopConsoleView::focusOutEvent(QFocusEvent* event) {
    // Its own context menu, or another window coming to the front, leaves
    // the selection as it is.
    if (event->reason() != Qt::PopupFocusReason && event->reason() != Qt::ActiveWindowFocusReason &&
        hasSelection()) {
        clearSelection();
    }
    QAbstractScrollArea::focusOutEvent(event);
}

void DesktopConsoleView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || lines_.empty()) return;
    const Position at = positionAt(event->position());
    const int length = static_cast<int>(lines_[static_cast<std::size_t>(at.line)].text.size());
    select({at.line, 0}, {at.line, length});
}

void DesktopConsoleView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

}  // namespace tarnwell
