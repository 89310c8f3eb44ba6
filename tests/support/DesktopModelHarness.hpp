// An application model wired to an in-process backend emulator, with its
// state in a fresh temporary folder, a recording dashboard opener and a
// folder chooser that answers what the test says. For widget tests and the
// PNG renderer; needs a running Q(Gui)Application.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFuture>
#include <QString>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BackendEmulator.hpp"
#include "Model/DesktopAppModel.hpp"
#include "support/TempDir.hpp"

namespace tarnwell::testing {

class RecordingURLOpener : public URLOpener {
public:
    bool openURL(const QString& url) override {
        opened.push_back(url);
        return true;
    }
    std::vector<QString> opened;
};

class ScriptedFolderChooser : public FolderChooser {
public:
    std::optional<QString> chooseFolder() override { return next; }
    std::optional<QString> next;
};

// Runs the event loop until `done` holds or `timeoutMs` pass; returns `done()`.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return done();
}

// Lets the coalesced view refreshes and the layout passes they start run to
// the end. Refreshes wait for a frame timer, so this runs the loop for a
// while and then once more, however slow each pass is on a loaded machine.
inline void settleViews(int milliseconds = 100) {
    QElapsedTimer clock;
    clock.start();
    int passes = 0;
    while (clock.elapsed() < milliseconds || passes < 6) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
        ++passes;
    }
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
}

template <class T>
bool waitFor(const QFuture<T>& future, int timeoutMs = 30000) {
    return waitUntil([&] { return future.isFinished(); }, timeoutMs);
}

class DesktopModelHarness {
public:
    static constexpr const char* kEmail = "ada@example.com";
    static constexpr const char* kPassword = "correct-horse";
    static constexpr const char* kDashboard = "https://dashboard.example.test/app";

    DesktopModelHarness() {
        userId = backend.addUser(kEmail, kPassword);
        backend.start();
        qputenv("QV_STATE_DIR", QByteArray::fromStdString(state.path().string()));
        qputenv("SUPABASE_URL", QByteArray::fromStdString(backend.baseURL()));
        qputenv("SUPABASE_ANON_KEY", QByteArray::fromStdString(backend.anonKey()));
        qputenv("DASHBOARD_URL", kDashboard);
        qunsetenv("SUPABASE_BUCKET");
        qunsetenv("SUPABASE_FILES_BUCKET");
        qunsetenv("QV_MAX_UPLOAD_BYTES");
        DesktopAppModel::Options options;
        options.urlOpener = opener;
        options.folderChooser = chooser;
        options.resourceDirectory = state.path();
        options.coordinatorTiming.uploadPause = std::chrono::nanoseconds(0);
        model = std::make_unique<DesktopAppModel>(std::move(options));
    }

    ~DesktopModelHarness() { model.reset(); }

    // Signs in with the emulator's account; true once the model has the user.
    bool signIn() {
        model->setEmail(QString::fromLatin1(kEmail));
        model->setPassword(QString::fromLatin1(kPassword));
        return waitFor(model->login()) && model->currentUser().has_value();
    }

    // A failed ingest job for a file row (absent fields are left out).
    void addFailedUpload(const std::optional<std::string>& path, const std::string& storageKey,
                         const std::optional<std::string>& error,
                         const std::optional<std::string>& createdAt = std::nullopt) {
        nlohmann::json file{{"storage_bucket", "files"}, {"storage_key", storageKey}};
        if (path) {
            file["path"] = *path;
        }
        const nlohmann::json row = backend.insertFile(userId, file);
        nlohmann::json job{{"kind", "ingest"}, {"status", "error"}, {"file_id", row["id"]}};
        if (error) {
            job["error"] = *error;
        }
        job["created_at"] = createdAt ? nlohmann::json(*createdAt) : nlohmann::json(nullptr);
        backend.insertJob(userId, job);
    }

    // Chooses `folder` through the folder chooser, then starts syncing and
    // waits until the initial scan is done.
    bool startSyncing(const std::filesystem::path& folder) {
        chooser->next = QString::fromStdString(folder.string());
        model->addFolder();
        model->setMode(SyncMode::ultra);
        return waitFor(model->startSync(), 60000) && model->isRunning();
    }

    BackendEmulator backend;
    TempDir state;
    std::shared_ptr<RecordingURLOpener> opener = std::make_shared<RecordingURLOpener>();
    std::shared_ptr<ScriptedFolderChooser> chooser = std::make_shared<ScriptedFolderChooser>();
    std::string userId;
    std::unique_ptr<DesktopAppModel> model;
};

}  // namespace tarnwell::testing
