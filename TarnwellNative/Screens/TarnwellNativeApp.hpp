// The application object: builds the one application model (or keeps the
// reason it couldn't be built) and the program's single window around it.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QApplication;
class QSettings;

namespace tarnwell {

class DesktopAppModel;

class TarnwellNativeApp : public QObject {
    Q_OBJECT
public:
    static constexpr const char* applicationId = "com.tarnwell.TarnwellNative";

    // The program's entry: makes the QApplication, the application object and
    // its window, brings the window to the front and runs the event loop.
    static int main(int argc, char** argv);

    // Names, window icon, desktop entry, interface font and symbol theme of
    // the running QApplication. Safe to call more than once.
    static void configureApplication();

    // Tries once to build the model; never throws. A failure is kept as text
    // and the window shows it instead of the screens.
    explicit TarnwellNativeApp(QObject* parent = nullptr);
    ~TarnwellNativeApp() override;

    // Null when the model couldn't be built.
    DesktopAppModel* model() const { return model_.get(); }
    // The reason the model couldn't be built; empty when it was.
    QString initializationError() const { return initializationError_; }

    // The one window, titled "Tarnwell", 1280 x 860 by default.
    QWidget* window() const { return window_.get(); }

    // Shows the window, raises it and makes it the active window.
    void showAndActivate();

    // Closes the window and leaves the event loop, as when the user closes
    // the window.
    void close();

private:
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<DesktopAppModel> model_;
    QString initializationError_;
    std::unique_ptr<QWidget> window_;
};

} // namespace tarnwell
