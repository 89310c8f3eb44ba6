#include "ViewKit/DesktopButton.hpp"

#include <QEasingCurve>
#include <QFocusEvent>
#include <QAbstractScrollArea>
#include <QChildEvent>
#include <QPointer>
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

// Draws a primary button's shadow. A widget draws only inside its parent,
// and a button usually sits in a row or column exactly its own size, so the
// shadow lives in the nearest ancestor that holds the whole neighbourhood:
// the viewport of the scroll area the button scrolls in, else the window.
// There it lies above the content, lets every click through, leaves the
// button's own face alone, and follows the button as it or any container
// between it and that ancestor moves, resizes, shows or hides.
class DesktopButtonShadow : public QWidget {
public:
    explicit DesktopButtonShadow(DesktopButton* button) : button_(button) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        hide();
        button->installEventFilter(this);
    }

    void setScale(qreal scale) {
        scale_ = scale;
        update();
    }

    // Finds the ancestor to draw in and the containers to follow.
    void track() {
        for (const QPointer<QWidget>& widget : std::as_const(watched_)) {
            if (widget) widget->removeEventFilter(this);
        }
        watched_.clear();
        QWidget* host = nullptr;
        for (QWidget* widget = button_->parentWidget(); widget; widget = widget->parentWidget()) {
            auto* area = qobject_cast<QAbstractScrollArea*>(widget->parentWidget());
            if (widget->isWindow() || (area && area->viewport() == widget)) {
                host = widget;
                break;
            }
            widget->installEventFilter(this);
            watched_.append(widget);
        }
        if (host) {
            // Children added to the host later stack above: stay on top.
            host->installEventFilter(this);
            watched_.append(host);
        }
        if (host != parentWidget()) {
            setParent(host);
            hide();
        }
        place();
    }

    void place() {
        QWidget* host = parentWidget();
        if (!host || !button_->isVisibleTo(host) || button_->size().isEmpty()) {
            hide();
            return;
        }
        const QRect face(button_->mapTo(host, QPoint(0, 0)), button_->size());
        setGeometry(face.adjusted(-kShadowExtent, -kShadowExtent + kShadowOffsetY, kShadowExtent,
                                  kShadowExtent + kShadowOffsetY));
        raise();
        show();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::ParentChange:
            track();
            break;
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            if (watched != parentWidget()) place();
            break;
        case QEvent::ChildAdded:
            if (watched == parentWidget() && static_cast<QChildEvent*>(event)->child() != this) {
                QMetaObject::invokeMethod(this, [this] { place(); }, Qt::QueuedConnection);
            }
            break;
        default:
            break;
        }
        return false;
    }

    void paintEvent(QPaintEvent*) override {
        const QSize size = button_->size();
        if (size != shadowSize_) {
            shadowSize_ = size;
            shadow_ = shadowImage(size);
        }
        // The button's face, scaled while it is held, hides the shadow below it.
        const QPointF centre(kShadowExtent + size.width() / 2.0, kShadowExtent - kShadowOffsetY + size.height() / 2.0);
        QTransform held;
        held.translate(centre.x(), centre.y());
        held.scale(scale_, scale_);
        held.translate(-centre.x(), -centre.y());
        const QRectF face = held.mapRect(QRectF(QPointF(kShadowExtent, kShadowExtent - kShadowOffsetY), size));
        QPainter painter(this);
        painter.setClipRegion(QRegion(rect()).subtracted(QRegion(face.toAlignedRect().adjusted(1, 1, -1, -1))));
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.setTransform(held);
        painter.drawImage(QPointF(0, 0), shadow_);
    }

private:
    DesktopButton* button_;
    QList<QPointer<QWidget>> watched_;
    qreal scale_ = 1.0;
    QSize shadowSize_;
    QImage shadow_;
};

DesktopButton::~DesktopButton() {
    // The shadow lives in an ancestor, which may outlive the button.
    delete shadow_;
}

DesktopButton::DesktopButton(const QString& text, Style style, QWidget* parent)
    : QAbstractButton(parent),
      style_(style),
      animation_(new QVariantAnimation(this)) {
    setText(text);
    setFont(DesktopFonts::system(13, QFont::Bold));
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    if (style == Style::primary) {
        shadow_ = new DesktopButtonShadow(this);
    }

    // Ease-out as a cubic Bézier through (0, 0), (0.58, 1), (1, 1).
    QEasingCurve easeOut(QEasingCurve::BezierSpline);
    easeOut.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    animation_->setEasingCurve(easeOut);
    animation_->setDuration(kPressAnimationMs);
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        scale_ = value.toReal();
        update();
        if (shadow_) shadow_->setScale(scale_);
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
    if (!qFuzzyCompare(scale_, 1.0)) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        const QPointF centre = QRectF(rect()).center();
        painter.translate(centre);
        painter.scale(scale_, scale_);
        painter.translate(-centre);
    }
    const QRectF frame = rect();
    DesktopShapes::fillSquare(painter, frame, style_ == Style::primary ? DesktopPalette::accent()
                                                                       : DesktopPalette::surfaceStrong());
    DesktopShapes::strokeInside(painter, frame, kCornerRadius, DesktopPalette::borderStrong());
    if (hasFocus() && keyboardFocus_) {
        DesktopShapes::strokeFocusRing(painter, frame, kCornerRadius);
    }
    painter.setFont(font());
    painter.setPen(DesktopPalette::text());
    painter.drawText(frame.adjusted(kHorizontalPadding, 0, -kHorizontalPadding, 0), Qt::AlignCenter,
                     text());
}

}  // namespace tarnwell
