// The named colours of the interface, the panel tones and the colour of each
// status kind. Every view of the window takes its colours from here.
#pragma once

#include <QColor>

namespace tarnwell {

namespace DesktopPalette {
const QColor& page();
const QColor& surface();
const QColor& surfaceStrong();
const QColor& border();
const QColor& borderStrong();
const QColor& text();
const QColor& muted();
const QColor& accent();
const QColor& accentDeep();
const QColor& accentSoft();
const QColor& success();
const QColor& warning();
const QColor& danger();
const QColor& ink();

// `color` with its opacity multiplied by `opacity`.
QColor withOpacity(const QColor& color, qreal opacity);
}  // namespace DesktopPalette

// The fill and border of a `DesktopSurface` panel.
enum class DesktopSurfaceTone { page, surface, strong, accent };

QColor surfaceFillColor(DesktopSurfaceTone tone);
QColor surfaceBorderColor(DesktopSurfaceTone tone);

}  // namespace tarnwell
