// Fonts of the window. The system font is Inter (so that the black and heavy
// weights of the headlines exist), with the desktop's general font behind it;
// the monospaced design is DejaVu Sans Mono, with the desktop's fixed font
// behind it. Sizes are in pixels.
#pragma once

#include <QFont>

namespace tarnwell::DesktopFonts {

QFont system(int pixelSize, QFont::Weight weight);
QFont monospaced(int pixelSize, QFont::Weight weight);
// The body text style in the monospaced design (log lines, file paths).
QFont bodyMonospaced();
// Size of the body text style.
constexpr int kBodyPixelSize = 13;

}  // namespace tarnwell::DesktopFonts
