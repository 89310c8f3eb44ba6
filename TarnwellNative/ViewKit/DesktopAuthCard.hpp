// The sign-in and account-creation form. Its two fields edit the model's
// e-mail and password in place (both ways); "Log in" and "Create account"
// start the model's actions; the model's sign-in status line is shown beside
// the buttons while it is not empty.
#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;

namespace tarnwell {

class DesktopAppModel;
class DesktopButton;
class DesktopInputField;
class DesktopModelObserver;

class DesktopAuthCard : public QWidget {
    Q_OBJECT
public:
    explicit DesktopAuthCard(DesktopAppModel& model, QWidget* parent = nullptr);

    void refreshNow();

private:
    void refresh();

    QPointer<DesktopAppModel> model_;
    DesktopInputField* email_;
    DesktopInputField* password_;
    DesktopButton* login_;
    DesktopButton* signup_;
    QLabel* status_;
    DesktopModelObserver* observer_;
};

}  // namespace tarnwell
