// The scrolling list of log lines inside the activity console's box. Each
// line is drawn in the monospaced body font, wrapped to the width offered,
// lines stand 10 px apart, and the whole list is padded 18 px inside the
// scrolled content, so lines scroll through the padding up to the view's own
// edge. A line is measured once, when it arrives: a line of plain ASCII that
// fits is drawn from the font's glyph table without shaping, any other is
// shaped once; lines are measured again only when the view's width changes,
// and a new line lays out nothing but itself. A drag selects characters, within a line or across lines; a
// double-click selects a whole line; Ctrl+C or the context menu's "Copy"
// puts the selection on the clipboard, lines joined by newlines, and a mouse
// selection is also the X primary selection. The selection is drawn in the
// palette's highlight colours, like every selectable text, and goes when the
// view loses the focus to another widget. The view
// keeps its scroll position as lines arrive at the bottom and starts at the
// top.
#pragma once

#include <QAbstractScrollArea>
#include <QGlyphRun>
#include <QRawFont>
#include <QPointer>
#include <memory>
#include <vector>

#include "ViewKit/DesktopLogLinesModel.hpp"

class QTextLayout;

namespace tarnwell {

class DesktopConsoleView : public QAbstractScrollArea {
    Q_OBJECT
public:
    static constexpr int kPadding = 18;
    static constexpr int kLineSpacing = 10;

    // A place in the text: a line and a character offset within it.
    struct Position {
        int line = 0;
        int offset = 0;
        friend bool operator==(const Position&, const Position&) = default;
        friend auto operator<=>(const Position&, const Position&) = default;
    };

    explicit DesktopConsoleView(QWidget* parent = nullptr);
    ~DesktopConsoleView() override;

    void setModel(DesktopLogLinesModel* model);
    // The inner box the view fills: the view draws the box's look behind the
    // lines itself, so new lines repaint nothing behind it.
    void setBox(QWidget* box);
    DesktopLogLinesModel* model() const { return model_; }

    // The selection runs from `anchor` to `cursor` (either order).
    void select(Position anchor, Position cursor);
    void selectAll();
    void clearSelection();
    bool hasSelection() const { return anchor_ != cursor_; }
    QString selectedText() const;
    void copySelection() const;

    // Where `position` is drawn, in the viewport's coordinates, and the
    // position under a point of the viewport.
    QPointF pointOf(Position position) const;
    Position positionAt(QPointF viewportPoint) const;
    // The box a line's text occupies, in the viewport's coordinates.
    QRectF lineRect(int line) const;
    // The width every line is wrapped to.
    qreal textWidth() const { return textWidth_; }

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Line {
        QString text;
        // A line of printable ASCII that fits the width is drawn straight
        // from the font's glyph table: its glyphs, and the x of each
        // character boundary (one more than the characters).
        QGlyphRun glyphs;
        std::vector<qreal> edges;
        // Any other line: shaped and broken into lines at the current width.
        std::unique_ptr<QTextLayout> layout;
        qreal top = 0;     // in the content, below the top padding
        qreal height = 0;  // of the text, without the spacing

        bool simple() const { return !edges.empty(); }
    };

    std::unique_ptr<QTextLayout> shape(const QString& text) const;
    Line makeLine(const QString& text) const;
    // Measures `line` at the current width, shaping it only when it is not
    // one line of printable ASCII.
    void measure(Line& line) const;
    bool measureSimple(Line& line) const;
    void breakLines(Line& line) const;
    // Stacks the lines from `first` on below the ones before it.
    void placeFrom(std::size_t first, bool repaint = true);
    void updateScrollRange();
    qreal contentHeight() const;
    qreal wrapWidthFor(int viewWidth) const;
    std::size_t lineAtContentY(qreal y) const;

    void linesInserted(int first, int last);
    void linesRemoved(int first, int last);
    void linesChanged(int first, int last);
    void reload();

    QPointer<DesktopLogLinesModel> model_;
    QPointer<QWidget> box_;
    std::vector<Line> lines_;
    // The font's glyph table, and the height and baseline of one line.
    QRawFont rawFont_;
    qreal singleLineHeight_ = 0;
    qreal baseline_ = 0;
    qreal textWidth_ = 0;
    Position anchor_;
    Position cursor_;
    bool dragging_ = false;
};

}  // namespace tarnwell
