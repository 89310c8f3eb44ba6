// The indexing progress indicator: a determinate bar (a thin rounded track
// filled in the tint, 1.35 × the usual thickness), an indeterminate spinning
// arc in the tint, or the flat empty track of an idle scan (10 px, border
// colour, full width).
#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

namespace tarnwell {

class DesktopProgressIndicator : public QWidget {
    Q_OBJECT
public:
    enum class Mode { determinate, indeterminate, idle };

    static constexpr int kBarHeight = 6;  // a 4.5 px bar scaled by 1.35, rounded up
    static constexpr int kIdleHeight = 10;
    static constexpr int kSpinnerSize = 18;

    explicit DesktopProgressIndicator(QWidget* parent = nullptr);

    Mode mode() const { return mode_; }
    double fraction() const { return fraction_; }
    void setDeterminate(double fraction);
    void setIndeterminate();
    void setIdle();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setMode(Mode mode);

    Mode mode_ = Mode::idle;
    double fraction_ = 0;
    int angle_ = 0;
    QTimer spin_;
};

}  // namespace tarnwell
