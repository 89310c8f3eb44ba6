// The kicker, headline and sentence at the top of a screen's header.
#pragma once

#include <QWidget>

class QLabel;

namespace tarnwell {

class DesktopKicker;

class DesktopSectionIntro : public QWidget {
    Q_OBJECT
public:
    DesktopSectionIntro(const QString& eyebrow, const QString& title, const QString& subtitle,
                        QWidget* parent = nullptr);

    QString eyebrow() const;
    QString title() const;
    QString subtitle() const;

private:
    DesktopKicker* eyebrow_;
    QLabel* title_;
    QLabel* subtitle_;
};

}  // namespace tarnwell
