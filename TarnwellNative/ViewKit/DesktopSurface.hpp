// The bordered panel that holds every section: its content padded on all
// four sides, on a continuous rounded rectangle (radius 10) filled and
// outlined in the colours of its tone.
#pragma once

#include <QWidget>

#include "ViewKit/DesktopPalette.hpp"

class QVBoxLayout;

class QPainter;

namespace tarnwell {

class DesktopSurface : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDefaultPadding = 24;
    static constexpr qreal kCornerRadius = 10;

    explicit DesktopSurface(DesktopSurfaceTone tone = DesktopSurfaceTone::strong,
                            int padding = kDefaultPadding, QWidget* parent = nullptr);

    DesktopSurfaceTone tone() const { return tone_; }
    int padding() const { return padding_; }

    // Fills `card` edge to edge with a strong panel and returns the column
    // its content goes in, `spacing` apart.
    static QVBoxLayout* fillCard(QWidget* card, int spacing);

    // Puts `content` inside the panel (the panel takes ownership).
    void setContent(QWidget* content);
    QWidget* content() const { return content_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    DesktopSurfaceTone tone_;
    int padding_;
    QVBoxLayout* layout_;
    QWidget* content_ = nullptr;
};

// A box inside a panel (rows, the console, tiles): the surface colour over
// its square frame, under a rounded hairline border.
class DesktopInnerBox : public QWidget {
    Q_OBJECT
public:
    static constexpr qreal kCornerRadius = 8;
    using QWidget::QWidget;

    // Draws the box's look (fill and border) for a box at `rect`.
    static void paintBox(QPainter& painter, const QRectF& rect);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tarnwell
