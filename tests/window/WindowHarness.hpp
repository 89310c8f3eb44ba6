// The whole program's window over an in-process backend emulator, with its
// state in a fresh folder and a folder chooser that answers what the test
// says. Needs a running QApplication; the window is shown offscreen.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFuture>
#include <QLabel>
#include <QThread>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "BackendEmulator.hpp"
#include "Model/DesktopAppModel.hpp"
#include "Model/FolderChooser.hpp"
#include "Screens/TarnwellNativeApp.hpp"
#include "ViewKit/DesktopMetricCard.hpp"
#include "ViewKit/DesktopModelObserver.hpp"
#include "support/DesktopModelHarness.hpp"
#include "support/TempDir.hpp"

namespace tarnwell::testing {

class AnsweringFolderChooser : public FolderChooser {
public:
    std::optional<QString> chooseFolder() override { return next; }
    std::optional<QString> next;
};

// Runs the event loop until `done` holds or `timeoutMs` pass; returns done().
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return done();
}

// Whether a view of any window still waits for its next frame.
inline bool refreshPending() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
        for (DesktopModelObserver* observer : window->findChildren<DesktopModelObserver*>()) {
            if (observer->isPending()) return true;
        }
    }
    return false;
}

// Lets coalesced view refreshes and their layout passes run: at least
// `milliseconds`, and on until no view waits for a frame (a busy machine may
// not get to the timer in time).
inline void settle(int milliseconds = 100) {
    settleViews(milliseconds);
    QElapsedTimer clock;
    clock.start();
    while (refreshPending() && clock.elapsed() < 10000) settleViews(0);
    // Views a refresh replaced are gone, not just hidden.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
}

// The visible metric tile with this title under `root`, waited for.
inline DesktopMetricCard* tile(QWidget* root, const QString& title) {
    DesktopMetricCard* found = nullptr;
    spinUntil(
        [&] {
            for (DesktopMetricCard* card : root->findChildren<DesktopMetricCard*>()) {
                if (card->title() == title && card->isVisibleTo(root)) found = card;
            }
            return found != nullptr;
        },
        5000);
    return found;
}

// A tile's value and detail, or a text saying it isn't shown.
inline QString tileValue(QWidget* root, const QString& title) {
    auto* card = tile(root, title);
    return card ? card->value() : QStringLiteral("<no tile ") + title + ">";
}
inline std::optional<QString> tileDetail(QWidget* root, const QString& title) {
    auto* card = tile(root, title);
    return card ? card->detail() : QStringLiteral("<no tile ") + title + ">";
}

// The visible button with exactly this text under `root`.
inline QAbstractButton* findButton(QWidget* root, const QString& text) {
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>()) {
        if (button->text() == text && button->isVisibleTo(root)) return button;
    }
    return nullptr;
}

// Whether a visible label under `root` shows exactly this text.
inline bool showsLabel(QWidget* root, const QString& text) {
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->text() == text && label->isVisibleTo(root)) return true;
    }
    return false;
}

class WindowHarness {
public:
    static constexpr const char* email = "ada@example.com";
    static constexpr const char* password = "correct-horse";

    explicit WindowHarness(testing::BackendOptions options = quietBackend()) : backend(options) {
        userId = backend.addUser(email, password);
        backend.start();
        qputenv("QV_STATE_DIR", QByteArray::fromStdString(state.path().string()));
        qputenv("SUPABASE_URL", QByteArray::fromStdString(backend.baseURL()));
        qputenv("SUPABASE_ANON_KEY", QByteArray::fromStdString(backend.anonKey()));
        qputenv("DASHBOARD_URL", "http://127.0.0.1:9/dashboard");
        qunsetenv("SUPABASE_BUCKET");
        qunsetenv("SUPABASE_FILES_BUCKET");
        qunsetenv("QV_MAX_UPLOAD_BYTES");
    }
    ~WindowHarness() { app.reset(); }

    static testing::BackendOptions quietBackend() {
        testing::BackendOptions options;
        options.worker = WorkerMode::Done;
        options.workerInterval = std::chrono::milliseconds(0); // the test runs the worker
        return options;
    }

    // Builds the program's application object and shows its window.
    void open() {
        TarnwellNativeApp::configureApplication();
        app = std::make_unique<TarnwellNativeApp>();
        if (DesktopAppModel* model = app->model()) model->setFolderChooser(chooser);
        app->showAndActivate();
    }

    DesktopAppModel* model() const { return app ? app->model() : nullptr; }
    QWidget* window() const { return app ? app->window() : nullptr; }

    testing::BackendEmulator backend;
    TempDir state;
    TempDir documents;
    std::shared_ptr<AnsweringFolderChooser> chooser = std::make_shared<AnsweringFolderChooser>();
    std::string userId;
    std::unique_ptr<TarnwellNativeApp> app;
};

} // namespace tarnwell::testing
