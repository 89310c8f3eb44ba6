#include "ViewKit/DesktopButton.hpp"

#include <QEasingCurve>
#include <QFocusEvent>
#include <QGraphicsEffect>
#include <QImage>
#include <QPainter>
#include <QVariantAnimation>
#include <algorithm>
#include <cmath>
#include <vector>

#include "ViewKit/DesktopFonts.hpp"
#include "ViewKit/DesktopPalette.hpp"
#include "ViewKit/DesktopShapes.hpp"

namespace tarnwell {

namespace {
constexpr qreal kCornerRadius = 8;
constexpr qreal kShadowOpacity = 0.08;
constexpr int kShadowOffsetY = 8;
// A blur radius of 12 read as a Gaussian of standard deviation 6, which
// fades out within three deviations.
constexpr int kShadowSigma = 6;
constexpr int kShadowExtent = 3 * kShadowSigma;

// One box-blur pass along rows (horizontal) or columns over an alpha image.
void boxBlur(QImage& image, int radius, bool horizontal) {
    const int width = image.width();
    const int height = image.height();
    const int lines = horizontal ? height : width;
    const int length = horizontal ? width : height;
    std::vector<int> source(static_cast<std::size_t>(length));
    const int window = 2 * radius + 1;
    for (int line = 0; line < lines; ++line) {
        auto at = [&](int i) -> uchar& {
            return horizontal ? image.scanLine(line)[i] : image.scanLine(i)[line];
        };
        for (int i = 0; i < length; ++i) {
            source[static_cast<std::size_t>(i)] = at(i);
        }
        int sum = 0;
        for (int i = -radius; i <= radius; ++i) {
            if (i >= 0 && i < length) {
                sum += source[static_cast<std::size_t>(i)];
            }
        }
        for (int i = 0; i < length; ++i) {
            at(i) = static_cast<uchar>(sum / window);
            const int leaving = i - radius;
            const int entering = i + radius + 1;
            if (leaving >= 0) {
                sum -= source[static_cast<std::size_t>(leaving)];
            }
            if (entering < length) {
                sum += source[static_cast<std::size_t>(entering)];
            }
        }
    }
}

// The shadow of a rectangle of `size`, blurred, padded by the shadow extent.
QImage shadowImage(QSize size) {
    QImage mask(size.width() + 2 * kShadowExtent, size.height() + 2 * kShadowExtent,
                QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter painter(&mask);
        painter.fillRect(QRect(QPoint(kShadowExtent, kShadowExtent), size), QColor(0, 0, 0, 255));
    }
    // Three box passes approximate the Gaussian.
    for (int pass = 0; pass < 3; ++pass) {
        boxBlur(mask, kShadowSigma, true);
        boxBlur(mask, kShadowSigma, false);
    }
    QImage shadow(mask.size(), QImage::Format_ARGB32_Premultiplied);
    shadow.fill(Qt::transparent);
    QPainter painter(&shadow);
    painter.fillRect(shadow.rect(), DesktopPalette::withOpacity(DesktopPalette::ink(), kShadowOpacity));
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    painter.drawImage(0, 0, mask);
    return shadow;
}
}  // namespace

// Draws the button's shadow and its pressed scale around the button's own
// drawing, so that both reach outside the button's rectangle.
class DesktopButtonEffect : public QGraphicsEffect {
public:
    DesktopButtonEffect(bool shadow, QObject* parent) : QGraphicsEffect(parent), shadow_(shadow) {}

    void setScale(qreal scale) {
        scale_ = scale;
        update();
    }

    QRectF boundingRectFor(const QRectF& rect) const override {
        if (!shadow_) {
            return rect;
        }
        return rect.adjusted(-kShadowExtent, -kShadowExtent, kShadowExtent,
                             kShadowExtent + kShadowOffsetY);
    }

protected:
    void draw(QPainter* painter) override {
        if (!shadow_ && qFuzzyCompare(scale_, 1.0)) {
            drawSource(painter);
            return;
        }
        QPoint offset;
        const QPixmap source = sourcePixmap(Qt::LogicalCoordinates, &offset, QGraphicsEffect::NoPad);
        if (source.isNull()) {
            return;
        }
        const QSizeF logicalSize = source.deviceIndependentSize();
        const QRectF frame(offset, logicalSize);
        painter->save();
        painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
        const QPointF centre = frame.center();
        painter->translate(centre);
        painter->scale(scale_, scale_);
        painter->translate(-centre);
        if (shadow_) {
            const QSize size = logicalSize.toSize();
            if (size != shadowSize_) {
                shadowSize_ = size;
                shadowImage_ = shadowImage(size);
            }
            painter->drawImage(frame.topLeft() + QPointF(-kShadowExtent, -kShadowExtent + kShadowOffsetY),
                               shadowImage_);
        }
        painter->drawPixmap(frame.topLeft(), source);
        painter->restore();
    }

private:
    bool shadow_;
    qreal scale_ = 1.0;
    QSize shadowSize_;
    QImage shadowImage_;
};

DesktopButton::DesktopButton(const QString& text, Style style, QWidget* parent)
    : QAbstractButton(parent),
      style_(style),
      animation_(new QVariantAnimation(this)),
      effect_(new DesktopButtonEffect(style == Style::primary, nullptr)) {
    setText(text);
    setFont(DesktopFonts::system(13, QFont::Bold));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setGraphicsEffect(effect_);  // the button owns it from here

    // Ease-out as a cubic Bézier through (0, 0), (0.58, 1), (1, 1).
    QEasingCurve easeOut(QEasingCurve::BezierSpline);
    easeOut.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    animation_->setEasingCurve(easeOut);
    animation_->setDuration(kPressAnimationMs);
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        scale_ = value.toReal();
        effect_->setScale(scale_);
    });
    connect(this, &QAbstractButton::pressed, this, [this] { animateTo(true); });
    connect(this, &QAbstractButton::released, this, [this] { animateTo(false); });
}

QSize DesktopButton::sizeHint() const {
    const QFontMetricsF metrics(font());
    const int labelWidth = static_cast<int>(std::ceil(metrics.horizontalAdvance(text())));
    const int labelHeight = static_cast<int>(std::ceil(metrics.height()));
    return {labelWidth + 2 * kHorizontalPadding, std::max(kMinimumHeight, labelHeight)};
}

int DesktopButton::firstBaseline() const {
    const QFontMetricsF metrics(font());
    return qRound((sizeHint().height() - metrics.height()) / 2.0 + metrics.ascent());
}

QSize DesktopButton::minimumSizeHint() const {
    return sizeHint();
}

void DesktopButton::animateTo(bool pressed) {
    if (pressed == pressedTarget_) {
        return;
    }
    pressedTarget_ = pressed;
    animation_->stop();
    animation_->setStartValue(scale_);
    animation_->setEndValue(pressed ? kPressedScale : 1.0);
    animation_->start();
}

void DesktopButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        updateGeometry();
    }
    QAbstractButton::changeEvent(event);
}

void DesktopButton::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

void DesktopButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}

void DesktopButton::paintEvent(QPaintEvent*) {
    // Dragging out of a held button lifts it without a released signal.
    if (isDown() != pressedTarget_) {
        animateTo(isDown());
    }
    QPainter painter(this);
    const QRectF frame = rect();
    DesktopShapes::fillSquare(painter, frame, style_ == Style::primary ? DesktopPalette::accent()
                                                                       : DesktopPalette::surfaceStrong());
    DesktopShapes::strokeInside(painter, frame, kCornerRadius, DesktopPalette::borderStrong());
    if (hasFocus() && keyboardFocus_) {
        // Ink on either fill: it stands out on the accent as on white.
        DesktopShapes::strokeInside(painter, frame.adjusted(3, 3, -3, -3), kCornerRadius - 3,
                                    DesktopPalette::text(), 2);
    }
    painter.setFont(font());
    painter.setPen(DesktopPalette::text());
    painter.drawText(frame.adjusted(kHorizontalPadding, 0, -kHorizontalPadding, 0), Qt::AlignCenter,
                     text());
}

}  // namespace tarnwell
