#include "ViewKit/DesktopShapes.hpp"

#include <QPainter>
#include <algorithm>
#include <array>

#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell::DesktopShapes {

namespace {
// One corner in units of the radius, as (along the incoming edge back from
// the corner, along the outgoing edge). Three cubic segments joined by two
// short lines give the curvature its gradual onset.
constexpr qreal kExtent = 1.52866;
constexpr qreal kFocusInset = 3;
constexpr qreal kFocusWidth = 2;
struct Segment {
    QPointF c1, c2, end;
};
constexpr std::array<QPointF, 1> kStart{QPointF(kExtent, 0)};
const std::array<Segment, 3> kCurves{{
    {{1.08849, 0}, {0.86840, 0.02050}, {0.66993, 0.06549}},
    {{0.37282, 0.16905}, {0.16905, 0.37282}, {0.07491, 0.63149}},
    {{0.02050, 0.86840}, {0, 1.08849}, {0, kExtent}},
}};
const std::array<QPointF, 2> kJoins{{{0.63149, 0.07491}, {0.06549, 0.66993}}};
}  // namespace

QPainterPath continuousRoundedRect(const QRectF& rect, qreal radius) {
    QPainterPath path;
    const QRectF r = rect.normalized();
    const qreal limit = std::min(r.width(), r.height()) / 2.0 / kExtent;
    const qreal rad = std::clamp(radius, 0.0, limit);
    if (rad <= 0) {
        path.addRect(r);
        return path;
    }
    struct Corner {
        QPointF at, back, forward;
    };
    // Clockwise from the top-right corner.
    const std::array<Corner, 4> corners{{
        {r.topRight(), {-1, 0}, {0, 1}},
        {r.bottomRight(), {0, -1}, {-1, 0}},
        {r.bottomLeft(), {1, 0}, {0, -1}},
        {r.topLeft(), {0, 1}, {1, 0}},
    }};
    bool first = true;
    for (const Corner& corner : corners) {
        auto map = [&](QPointF unit) {
            return corner.at + corner.back * (unit.x() * rad) + corner.forward * (unit.y() * rad);
        };
        if (first) {
            path.moveTo(map(kStart[0]));
            first = false;
        } else {
            path.lineTo(map(kStart[0]));
        }
        for (std::size_t i = 0; i < kCurves.size(); ++i) {
            path.cubicTo(map(kCurves[i].c1), map(kCurves[i].c2), map(kCurves[i].end));
            if (i < kJoins.size()) {
                path.lineTo(map(kJoins[i]));
            }
        }
    }
    path.closeSubpath();
    return path;
}

void strokeInside(QPainter& painter, const QRectF& rect, qreal radius, const QColor& color,
                  qreal width) {
    const qreal half = width / 2.0;
    const QRectF inner = rect.adjusted(half, half, -half, -half);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setBrush(Qt::NoBrush);
    QPen pen(color, width);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawPath(continuousRoundedRect(inner, std::max<qreal>(0, radius - half)));
    painter.restore();
}

void fillRounded(QPainter& painter, const QRectF& rect, qreal radius, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPath(continuousRoundedRect(rect, radius));
    painter.restore();
}

void fillSquare(QPainter& painter, const QRectF& rect, const QColor& color) {
    painter.fillRect(rect, color);
}

void strokeFocusRing(QPainter& painter, const QRectF& face, qreal radius) {
    strokeInside(painter, face.adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset),
                 std::max<qreal>(0, radius - kFocusInset), DesktopPalette::text(), kFocusWidth);
}

}  // namespace tarnwell::DesktopShapes
