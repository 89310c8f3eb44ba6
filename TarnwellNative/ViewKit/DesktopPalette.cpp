#include "ViewKit/DesktopPalette.hpp"

namespace tarnwell {

namespace {
QColor rgb(float red, float green, float blue, float opacity = 1.0F) {
    return QColor::fromRgbF(red, green, blue, opacity);
}
}  // namespace

// Function-local statics: each colour is built once, on its first read, and
// the construction is thread-safe.
namespace DesktopPalette {
const QColor& page() {
    static const QColor color = rgb(0.956F, 0.945F, 0.910F);
    return color;
}
const QColor& surface() {
    static const QColor color = rgb(0.984F, 0.976F, 0.956F);
    return color;
}
const QColor& surfaceStrong() {
    static const QColor color = rgb(1, 1, 1);
    return color;
}
const QColor& border() {
    static const QColor color = rgb(0.847F, 0.820F, 0.780F);
    return color;
}
const QColor& borderStrong() {
    static const QColor color = rgb(0.070F, 0.071F, 0.071F);
    return color;
}
const QColor& text() {
    static const QColor color = rgb(0.059F, 0.063F, 0.067F);
    return color;
}
const QColor& muted() {
    static const QColor color = rgb(0.361F, 0.349F, 0.325F);
    return color;
}
const QColor& accent() {
    static const QColor color = rgb(0.835F, 0.949F, 0.251F);
    return color;
}
const QColor& accentDeep() {
    static const QColor color = rgb(0.749F, 0.839F, 0.176F);
    return color;
}
const QColor& accentSoft() {
    static const QColor color = withOpacity(accent(), 0.18);
    return color;
}
const QColor& success() {
    static const QColor color = rgb(0.21F, 0.69F, 0.47F);
    return color;
}
const QColor& warning() {
    static const QColor color = rgb(0.95F, 0.64F, 0.18F);
    return color;
}
const QColor& danger() {
    static const QColor color = rgb(0.89F, 0.36F, 0.31F);
    return color;
}
const QColor& ink() {
    static const QColor color = rgb(0, 0, 0);
    return color;
}

QColor withOpacity(const QColor& color, qreal opacity) {
    QColor result = color;
    result.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return result;
}
}  // namespace DesktopPalette

QColor surfaceFillColor(DesktopSurfaceTone tone) {
    switch (tone) {
    case DesktopSurfaceTone::page: return DesktopPalette::page();
    case DesktopSurfaceTone::surface: return DesktopPalette::surface();
    case DesktopSurfaceTone::strong: return DesktopPalette::surfaceStrong();
    case DesktopSurfaceTone::accent: return DesktopPalette::accentSoft();
    }
    return DesktopPalette::surfaceStrong();
}

QColor surfaceBorderColor(DesktopSurfaceTone tone) {
    if (tone == DesktopSurfaceTone::accent) {
        return DesktopPalette::withOpacity(DesktopPalette::accentDeep(), 0.36);
    }
    return DesktopPalette::border();
}

}  // namespace tarnwell
