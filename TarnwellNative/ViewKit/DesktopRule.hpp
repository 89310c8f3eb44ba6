// The one-pixel divider, as wide as its container.
#pragma once

#include <QWidget>

namespace tarnwell {

class DesktopRule : public QWidget {
    Q_OBJECT
public:
    explicit DesktopRule(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tarnwell
