// The text field look of the sign-in form: 15 px medium text, 14 px of
// padding on each side, always 46 px high, a white square fill under a
// continuous rounded hairline border. No focus ring and no focus-dependent
// border; the text colour is the environment's.
#pragma once

#include <QLineEdit>

namespace tarnwell {

class DesktopInputField : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int kHeight = 46;
    static constexpr int kHorizontalPadding = 14;

    explicit DesktopInputField(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tarnwell
