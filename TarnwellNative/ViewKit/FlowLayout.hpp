// Shows its items in one row when the row fits the width it is given, and
// otherwise all in one column. Nothing ever wraps onto a second row. In the
// row the items are centred vertically; in the column they line up on their
// right edges, and one wider than the column gets the column's width (and
// the height it needs there).
#pragma once

#include <QLayout>
#include <QList>

namespace tarnwell {

class FlowLayout : public QLayout {
    Q_OBJECT
public:
    explicit FlowLayout(int spacing = 8, QWidget* parent = nullptr);
    ~FlowLayout() override;

    // True when the items are laid out in a row at this width.
    bool fitsInRow(int width) const;
    // The width of the items side by side.
    int rowWidth() const;
    // The width the items take at `width`: the row's when it fits, else the
    // widest item's (no more than `width`).
    int usedWidth(int width) const;

    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    QList<QLayoutItem*> visibleItems() const;
    QSize rowSize() const;
    QSize columnSize() const;
    // The column's height when it is `width` wide (an item narrower than
    // its text grows taller).
    int columnHeight(int width) const;
    static int itemHeight(QLayoutItem* item, int width);

    QList<QLayoutItem*> items_;
};

}  // namespace tarnwell
