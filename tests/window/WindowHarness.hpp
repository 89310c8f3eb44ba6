// The whole program's window over an in-process backend emulator, with its
// state in a fresh folder and a folder chooser that answers what the test
// says. Needs a running QApplication; the window is shown offscreen.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFuture>
#include <QLabel>
#include <QMouseEvent>
#include <QSplitter>
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

    // Signs in as the harness's user once the bootstrap is done. Returns
    // whether the window got there.
    bool signIn() {
        DesktopAppModel* m = model();
        if (!m || !spinUntil([&] { return m->didBootstrap(); })) return false;
        m->setEmail(email);
        m->setPassword(password);
        m->login();
        return spinUntil([&] { return m->currentUser().has_value(); });
    }

    // Adds the documents folder through the folder chooser.
    void addDocumentsFolder() {
        chooser->next = QString::fromStdString(documents.path().string());
        model()->addFolder();
    }

    // Signs in as a user with a long address, chooses a folder with a long
    // path that has no spaces, and leaves 250 ingest jobs queued for a day
    // with no worker: the longest texts the screens commonly show. Returns
    // whether the window got there.
    bool signInWithLongTexts() {
        const std::string longEmail = "maximiliana.rutherford-bartholomew@research-department.example.com";
        const std::string longUser = backend.addUser(longEmail, password);
        backend.setWorkerMode(WorkerMode::Off);
        DesktopAppModel* m = model();
        if (!m || !spinUntil([&] { return m->didBootstrap(); })) return false;
        m->setEmail(QString::fromStdString(longEmail));
        m->setPassword(QString::fromLatin1(password));
        const auto login = m->login();
        if (!spinUntil([&] { return login.isFinished(); }) || !m->currentUser()) return false;
        // One folder, so that its path is also the selection's summary.
        const auto folder = documents.path() / "Projects" /
                            "quarterly-reports-for-the-research-department-archive-2019-2026" /
                            "a-folder-name-so-long-that-no-single-line-of-any-column-can-hold-it-whole" /
                            "and-one-more-level-of-drafts-reviews-and-final-versions-of-everything";
        std::filesystem::create_directories(folder);
        chooser->next = QString::fromStdString(folder.string());
        m->addFolder();
        const auto file = backend.insertFile(
            longUser, {{"storage_bucket", "files"}, {"storage_key", "long/k"}, {"path", "long.md"}});
        const std::string dayAgo =
            QDateTime::currentDateTimeUtc().addDays(-1).toString(Qt::ISODate).toStdString();
        for (int i = 0; i < 250; ++i) {
            backend.insertJob(longUser, {{"file_id", file["id"]}, {"kind", "ingest"},
                                                  {"status", "queued"}, {"created_at", dayAgo}});
        }
        const auto refresh = m->refreshStatus();
        return spinUntil([&] { return refresh.isFinished(); });
    }

    // Drags the divider between the sidebar and the detail to window x `x`.
    void dragDividerTo(int x) {
        auto* split = window()->findChild<QSplitter*>();
        if (!split || split->count() < 2) return;
        QSplitterHandle* handle = split->handle(1);
        const QPoint start = handle->rect().center();
        const QPoint startGlobal = handle->mapToGlobal(start);
        const QPoint endGlobal(window()->mapToGlobal(QPoint(x, 0)).x(), startGlobal.y());
        auto send = [&](QEvent::Type type, const QPoint& global, Qt::MouseButtons buttons) {
            QMouseEvent event(type, handle->mapFromGlobal(global), global,
                              type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, Qt::NoModifier);
            QApplication::sendEvent(handle, &event);
        };
        send(QEvent::MouseButtonPress, startGlobal, Qt::LeftButton);
        send(QEvent::MouseMove, endGlobal, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, endGlobal, Qt::NoButton);
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
