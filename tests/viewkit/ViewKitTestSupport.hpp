// Helpers for the view kit's widget tests: colours sampled from grabbed
// images, compared with a small tolerance for antialiasing and rounding.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>
#include <cmath>

namespace tarnwell::testing {

// `top` drawn over `bottom` (source-over), both possibly translucent.
inline QColor over(const QColor& top, const QColor& bottom) {
    const double ta = top.alphaF();
    const double ba = bottom.alphaF() * (1 - ta);
    const double alpha = ta + ba;
    if (alpha <= 0) {
        return QColor(0, 0, 0, 0);
    }
    auto mix = [&](double t, double b) { return (t * ta + b * ba) / alpha; };
    return QColor::fromRgbF(static_cast<float>(mix(top.redF(), bottom.redF())),
                            static_cast<float>(mix(top.greenF(), bottom.greenF())),
                            static_cast<float>(mix(top.blueF(), bottom.blueF())), static_cast<float>(alpha));
}

inline ::testing::AssertionResult sameColor(const QColor& actual, const QColor& expected, int tolerance = 3) {
    auto near = [&](int a, int b) { return std::abs(a - b) <= tolerance; };
    // Translucent pixels lose colour precision in premultiplied storage.
    const int rgbTolerance = expected.alpha() < 128 ? 4 * tolerance : tolerance;
    auto nearRGB = [&](int a, int b) { return std::abs(a - b) <= rgbTolerance; };
    if (near(actual.alpha(), expected.alpha()) && nearRGB(actual.red(), expected.red()) &&
        nearRGB(actual.green(), expected.green()) && nearRGB(actual.blue(), expected.blue())) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "colour " << actual.name(QColor::HexArgb).toStdString() << " is not "
                                         << expected.name(QColor::HexArgb).toStdString();
}

// The widget's own drawing (children included), transparent where nothing
// is drawn.
inline QImage grabbed(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

inline QColor pixel(QWidget& widget, int x, int y) { return grabbed(widget).pixelColor(x, y); }

// The widget drawn over an opaque `background`, for sampling translucent fills.
inline QImage grabbedOver(QWidget& widget, const QColor& background) {
    QPalette colours = widget.palette();
    colours.setColor(QPalette::Window, background);
    widget.setPalette(colours);
    widget.setAutoFillBackground(true);
    return grabbed(widget);
}

}  // namespace tarnwell::testing
