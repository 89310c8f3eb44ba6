// The one painter helper for rounded shapes: continuous ("squircle") corners
// built from Bézier curves rather than circular arcs, strokes drawn inside
// the shape, the plain square fills that sit under a rounded border, and the
// ring that marks the control holding the keyboard focus.
#pragma once

#include <QColor>
#include <QPainterPath>
#include <QRectF>

class QPainter;

namespace tarnwell::DesktopShapes {

// A rounded rectangle with continuous corners of nominal `radius`. The
// corner curve starts about 1.53 × radius from each corner; on a small rect
// the radius shrinks so that the curves of two corners never overlap.
QPainterPath continuousRoundedRect(const QRectF& rect, qreal radius);

// Strokes a continuous rounded rectangle of `width` entirely inside `rect`.
void strokeInside(QPainter& painter, const QRectF& rect, qreal radius, const QColor& color,
                  qreal width = 1.0);

// Fills a continuous rounded rectangle.
void fillRounded(QPainter& painter, const QRectF& rect, qreal radius, const QColor& color);

// The fill of chips, cards, callouts, buttons and fields: the whole square
// rectangle, not clipped to the border drawn over it.
void fillSquare(QPainter& painter, const QRectF& rect, const QColor& color);

// The keyboard focus ring of a control whose face is `face`, with corners of
// `radius`: 2 px of ink, 3 px in from the face's edge, its corners following
// the face's. Ink stands out on the accent fill as on white.
void strokeFocusRing(QPainter& painter, const QRectF& face, qreal radius);

}  // namespace tarnwell::DesktopShapes
