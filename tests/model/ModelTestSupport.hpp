// A model built the way the program builds it (configuration from the
// environment, state in a temporary folder) against the loopback backend,
// with a scripted folder chooser, a recording URL opener and a recorder of
// every observed change.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QFuture>
#include <QTest>

#include <gtest/gtest.h>

#include "BackendEmulator.hpp"
#include "Model/DesktopAppModel.hpp"
#include "State/AppPaths.hpp"
#include "State/LocalDatabase.hpp"
#include "State/SessionStore.hpp"
#include "Sync/FileRules.hpp"
#include "support/TempDir.hpp"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tarnwell::testing {

using namespace std::chrono_literals;

class ScriptedFolderChooser : public FolderChooser {
public:
    std::optional<QString> chooseFolder() override {
        ++runs;
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<std::optional<QString>> answers;
    int runs = 0;
};

class RecordingURLOpener : public URLOpener {
public:
    bool openURL(const QString& url) override {
        opened.push_back(url);
        return false; // a browser that refuses: the model must not care
    }
    std::vector<QString> opened;
};

// Every change signal of the model, by property name, in emission order.
class ChangeRecorder {
public:
    explicit ChangeRecorder(DesktopAppModel& model) {
#define TARNWELL_WATCH(name)                                                                                          \
    connections_.push_back(                                                                                         \
        QObject::connect(&model, &DesktopAppModel::name##Changed, [this] { changes.push_back(QStringLiteral(#name)); }));
        TARNWELL_WATCH(email)
        TARNWELL_WATCH(password)
        TARNWELL_WATCH(currentUser)
        TARNWELL_WATCH(folders)
        TARNWELL_WATCH(mode)
        TARNWELL_WATCH(isRunning)
        TARNWELL_WATCH(authStatus)
        TARNWELL_WATCH(syncStatus)
        TARNWELL_WATCH(retryStatus)
        TARNWELL_WATCH(logLines)
        TARNWELL_WATCH(didBootstrap)
        TARNWELL_WATCH(ingestStatus)
        TARNWELL_WATCH(failedUploads)
        TARNWELL_WATCH(unsupportedFilesCount)
        TARNWELL_WATCH(indexingProgress)
        TARNWELL_WATCH(pendingFolderSelectionConfirmation)
#undef TARNWELL_WATCH
    }
    ~ChangeRecorder() {
        for (const auto& c : connections_) QObject::disconnect(c);
    }
    // The recorded changes of these properties only, in order.
    std::vector<QString> only(const std::vector<QString>& names) const {
        std::vector<QString> out;
        for (const auto& c : changes)
            if (std::find(names.begin(), names.end(), c) != names.end()) out.push_back(c);
        return out;
    }
    std::vector<QString> changes;

private:
    std::vector<QMetaObject::Connection> connections_;
};

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Builds ICU's shared data before any engine thread exists.
        FileRules::safeSegment("Caf\u00e9.txt");
        backend.start();
        userID = backend.addUser("ada@example.com", "secret1");
        otherID = backend.addUser("bob@example.com", "secret2");
        std::filesystem::create_directories(temp / "home");
        env("HOME", (temp / "home").c_str());
        env("XDG_CONFIG_HOME", (temp / "config").c_str());
        env("QV_STATE_DIR", (temp / "state").c_str());
        env("SUPABASE_URL", backend.baseURL().c_str());
        env("SUPABASE_ANON_KEY", backend.anonKey().c_str());
        env("SUPABASE_BUCKET", backend.bucket().c_str());
        env("SUPABASE_FILES_BUCKET", nullptr);
        env("DASHBOARD_URL", "https://dashboard.example.com/app");
        env("QV_MAX_UPLOAD_BYTES", nullptr);
    }
    void TearDown() override {
        model.reset();
        backend.stop();
        while (!envs.empty()) envs.pop_back(); // restored newest first
    }

    void env(const char* name, const char* value) { envs.push_back(std::make_unique<ScopedEnv>(name, value)); }

    DesktopAppModel& make(std::chrono::milliseconds pollInterval = 1h) {
        DesktopAppModel::Options options;
        options.folderChooser = chooser;
        options.urlOpener = opener;
        options.pollInterval = pollInterval;
        options.coordinatorTiming.rescanDelay = 150ms;
        options.coordinatorTiming.eventLatency = 50ms;
        options.coordinatorTiming.uploadPause = 1ms;
        model = std::make_unique<DesktopAppModel>(options);
        QCoreApplication::processEvents(); // the engine handlers go in
        return *model;
    }

    // A session saved by an earlier run of the program.
    void saveSession(const std::string& email = "ada@example.com") {
        const SessionTokens t = backend.issueSession(email);
        SessionStore(AppPaths::sessionFile(), std::nullopt)
            .save(StoredSession{t.accessToken, t.refreshToken, StoredUser{t.userId, email}});
    }
    bool sessionSaved() const { return std::filesystem::exists(AppPaths::sessionFile()); }

    // Choices saved by an earlier start.
    void savePreferences(bool autoStart, const std::vector<std::string>& folders, const std::string& mode = "ultra") {
        LocalDatabase database(AppPaths::databaseFile(), std::nullopt);
        database.setPreference(autoStart ? "true" : "false", "auto_index");
        database.setPreference(mode, "pref_mode");
        nlohmann::json list = nlohmann::json::array();
        for (const auto& f : folders) list.push_back(f);
        database.setPreference(list.dump(), "watched_folders");
    }

    // A folder with `count` small documents.
    std::string documents(const std::string& name, int count, const std::string& extension = ".txt") {
        for (int i = 0; i < count; ++i) temp.write("tree/" + name + "/doc" + std::to_string(i) + extension, "x" + std::to_string(i));
        return (temp / ("tree/" + name)).string();
    }

    // Waits with the event loop running; false when it never finished.
    static bool finish(const QFuture<void>& future) {
        return QTest::qWaitFor([&] { return future.isFinished(); }, 30000);
    }
    static bool until(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }

    std::size_t failedUploadReads() const {
        std::size_t n = 0;
        for (const auto& r : backend.requests("GET", "/rest/v1/jobs"))
            if (r.queryItem("select") == std::optional<std::string>("id,file_id,error,created_at")) ++n;
        return n;
    }

    // An ingest job of this account that failed.
    void addFailedJob(const std::string& owner, const std::string& key) {
        const auto file = backend.insertFile(owner, {{"storage_key", key}, {"path", "/docs/" + key}});
        backend.insertJob(owner, {{"file_id", file["id"]}, {"kind", "ingest"}, {"status", "error"}, {"error", "Boom"}});
    }

    TempDir temp;
    testing::BackendEmulator backend;
    std::string userID;
    std::string otherID;
    std::vector<std::unique_ptr<ScopedEnv>> envs;
    std::shared_ptr<ScriptedFolderChooser> chooser = std::make_shared<ScriptedFolderChooser>();
    std::shared_ptr<RecordingURLOpener> opener = std::make_shared<RecordingURLOpener>();
    std::unique_ptr<DesktopAppModel> model;
};

} // namespace tarnwell::testing
