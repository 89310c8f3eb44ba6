// A grid with as many columns of at least `minimumColumnWidth` as the width
// allows (at least one), sharing the width equally, filled row by row from
// the leading edge. Each row is as tall as its tallest item.
#pragma once

#include <QLayout>
#include <QList>

namespace tarnwell {

class DesktopAdaptiveGridLayout : public QLayout {
    Q_OBJECT
public:
    explicit DesktopAdaptiveGridLayout(int minimumColumnWidth, int spacing, QWidget* parent = nullptr);
    ~DesktopAdaptiveGridLayout() override;

    int columnCount(int width) const;

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
    // Lays the items out in `rect`; moves them only when `apply` is true.
    int arrange(const QRect& rect, bool apply) const;
    QList<QLayoutItem*> visibleItems() const;

    int minimumColumnWidth_;
    QList<QLayoutItem*> items_;
};

}  // namespace tarnwell
