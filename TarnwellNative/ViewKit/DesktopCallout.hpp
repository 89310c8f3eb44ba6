// A symbol and a sentence on a tinted box coloured by its kind. The box takes
// the full width it is offered and grows in height to fit its text.
#pragma once

#include <QWidget>

#include "Model/StatusPillPresentation.hpp"

class QLabel;

namespace tarnwell {

class DesktopCallout : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPadding = 16;
    static constexpr int kIconSize = 16;

    DesktopCallout(const QString& text, StatusPillKind kind, QWidget* parent = nullptr);

    QString text() const;
    StatusPillKind kind() const { return kind_; }
    void setText(const QString& text);
    void setKind(StatusPillKind kind);
    // The symbol name the callout shows for its kind.
    QString iconName() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateIcon();

    StatusPillKind kind_;
    QLabel* icon_;
    QLabel* text_;
};

}  // namespace tarnwell
