// Plain text wrapped to the width it is given, breaking between words and,
// where a word (a long path, say) is wider than the line, anywhere inside it.
// It can be held to a number of lines: then the last line shown ends in "…"
// when the text goes on. The user can select and copy the text by mouse and
// keyboard, the part hidden behind "…" included; the selection goes when the
// text loses the focus to another widget. No text caret is ever shown, and
// the mouse wheel scrolls whatever page the text sits on.
#pragma once

#include <QWidget>
#include <memory>

class QTextLayout;

namespace tarnwell {

class DesktopSelectableText : public QWidget {
    Q_OBJECT
public:
    DesktopSelectableText(const QString& text, const QFont& font, const QColor& colour,
                          QWidget* parent = nullptr);
    ~DesktopSelectableText() override;

    QString text() const { return text_; }
    void setText(const QString& text);

    // At most this many lines (0: as many as the text needs).
    int maximumLineCount() const { return maxLines_; }
    void setMaximumLineCount(int lines);

    // Whether the user can select and copy the text (on by default).
    bool isSelectable() const { return selectable_; }
    void setSelectable(bool selectable);

    QString selectedText() const;
    void selectAll();

    // The lines shown at `width`, "…" included.
    QStringList shownLines(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // The text laid out at a width: the full lines, and the last line shown
    // again with "…" when the text is cut.
    struct Layout;
    const Layout& layoutAt(int width) const;
    int positionAt(const QPointF& point) const;
    void copySelection() const;

    QString text_;
    int maxLines_ = 0;
    bool selectable_ = true;
    int anchor_ = 0;
    int cursor_ = 0;
    mutable std::unique_ptr<Layout> cached_;
};

}  // namespace tarnwell
