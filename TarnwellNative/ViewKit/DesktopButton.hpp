// The two button looks of the window: the filled primary button of a
// screen's main action and the white secondary button of every other one.
// Both have a 13 px bold label in the text colour, 18 px of padding on each
// side, a minimum height of 44, a square fill under a continuous rounded
// border (radius 8, the strong border colour), and shrink to 98.5 % while
// held, animated over 0.14 s with an ease-out curve. The primary button
// casts a soft shadow, which shows beyond the button's row or column however
// tightly that holds it. A disabled button is drawn exactly like an enabled
// one.
#pragma once

#include <QAbstractButton>
#include <QPointer>

class QVariantAnimation;

namespace tarnwell {

class DesktopButtonShadow;

class DesktopButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Style { primary, secondary };

    static constexpr int kMinimumHeight = 44;
    static constexpr int kHorizontalPadding = 18;
    static constexpr qreal kPressedScale = 0.985;
    static constexpr int kPressAnimationMs = 140;

    explicit DesktopButton(const QString& text, Style style = Style::secondary,
                           QWidget* parent = nullptr);
    ~DesktopButton() override;

    Style style() const { return style_; }
    // The scale the button is drawn at right now (1 at rest).
    qreal currentScale() const { return scale_; }

    // How far below its top the label sits, at the button's preferred height.
    int firstBaseline() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void animateTo(bool pressed);

    Style style_;
    qreal scale_ = 1.0;
    bool pressedTarget_ = false;
    bool keyboardFocus_ = false;  // focus ring only when tabbed to
    QVariantAnimation* animation_;
    QPointer<DesktopButtonShadow> shadow_;  // primary only
};

}  // namespace tarnwell
