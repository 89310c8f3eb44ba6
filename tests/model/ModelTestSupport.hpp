// A model built the way the program builds it (configuration from the
// environment, state in a temporary folder) against the loopback backend,
// with a scripted folder chooser, a recording URL opener and a recorder of
// the observed changes.
#pragma once

#include <algorithm>
#include <deque>

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

namespace tarnwell {
// The engine's own view of the run, to hold the window's against.
struct DesktopAppModelTestAccess {
    static bool engineRunning(const DesktopAppModel& m) { return m.syncCoordinator_->isRunning(); }
};
} // namespace tarnwell

namespace tarnwell::testing {

using namespace std::chrono_literals;

struct ScriptedFolderChooser : FolderChooser {
    std::optional<QString> chooseFolder() override {
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<std::optional<QString>> answers;
};

struct RecordingURLOpener : URLOpener {
    bool openURL(const QString& url) override {
        opened.push_back(url);
        return false; // a browser that refuses: the model must not care
    }
    std::vector<QString> opened;
};

// The model's change signals, by property name, in emission order.
struct ChangeRecorder {
    explicit ChangeRecorder(DesktopAppModel& m) {
        auto watch = [&](auto signal, const char* name) {
            QObject::connect(&m, signal, &context, [this, name] { changes.push_back(name); });
        };
        using M = DesktopAppModel;
        watch(&M::passwordChanged, "password"), watch(&M::currentUserChanged, "currentUser");
        watch(&M::foldersChanged, "folders"), watch(&M::modeChanged, "mode");
        watch(&M::isRunningChanged, "isRunning"), watch(&M::authStatusChanged, "authStatus");
        watch(&M::syncStatusChanged, "syncStatus"), watch(&M::retryStatusChanged, "retryStatus");
        watch(&M::logLinesChanged, "logLines"), watch(&M::didBootstrapChanged, "didBootstrap");
        watch(&M::ingestStatusChanged, "ingestStatus"), watch(&M::failedUploadsChanged, "failedUploads");
    }
    std::vector<QString> only(const std::vector<QString>& names, std::size_t limit = SIZE_MAX) const {
        std::vector<QString> out;
        for (const auto& c : changes)
            if (out.size() < limit && std::find(names.begin(), names.end(), c) != names.end()) out.push_back(c);
        return out;
    }
    QObject context;
    std::vector<QString> changes;
};

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        FileRules::safeSegment("Caf\u00e9.txt"); // ICU's shared data, before any engine thread
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
        env("DASHBOARD_URL", "https://dashboard.example.com/app");
    }
    void TearDown() override {
        model.reset();
        backend.stop();
        while (!envs.empty()) envs.pop_back(); // restored newest first
    }
    void env(const char* name, const char* value) { envs.push_back(std::make_unique<ScopedEnv>(name, value)); }

    DesktopAppModel& make(std::chrono::milliseconds pollInterval = 1h) {
        DesktopAppModel::Options options{chooser, opener, pollInterval, {}, std::nullopt};
        options.coordinatorTiming.uploadPause = 1ms;
        options.autoStartRetryDelay = 20ms;
        options.autoStartRetryCap = 80ms;
        model = std::make_unique<DesktopAppModel>(options);
        QCoreApplication::processEvents(); // the engine handlers go in
        return *model;
    }
    bool login(DesktopAppModel& m) {
        m.setEmail("ada@example.com");
        m.setPassword("secret1");
        return finish(m.login()) && m.currentUser().has_value();
    }
    DesktopAppModel& signedIn(std::chrono::milliseconds pollInterval = 1h) {
        saveSession();
        DesktopAppModel& m = make(pollInterval);
        EXPECT_TRUE(finish(m.bootstrap()));
        return m;
    }
    void addFolder(DesktopAppModel& m, const std::string& folder) {
        chooser->answers = {QString::fromStdString(folder)};
        m.addFolder();
    }

    // State left by an earlier run of the program.
    SessionTokens saveSession() {
        const SessionTokens t = backend.issueSession("ada@example.com");
        SessionStore(AppPaths::sessionFile(), std::nullopt)
            .save(StoredSession{t.accessToken, t.refreshToken, StoredUser{t.userId, "ada@example.com"}});
        return t;
    }
    void savePreferences(bool autoStart, const std::vector<std::string>& folders) {
        LocalDatabase database(AppPaths::databaseFile(), std::nullopt);
        database.setPreference(autoStart ? "true" : "false", "auto_index");
        database.setPreference("ultra", "pref_mode");
        database.setPreference(nlohmann::json(folders).dump(), "watched_folders");
    }

    // A folder with `count` small documents.
    std::string documents(const std::string& name, int count, const std::string& extension = ".txt") {
        for (int i = 0; i < count; ++i) temp.write("tree/" + name + "/" + std::to_string(i) + extension, "x");
        std::filesystem::create_directories(temp / ("tree/" + name));
        return (temp / ("tree/" + name)).string();
    }
    void addFailedJob(const std::string& owner, const std::string& key) {
        const auto file = backend.insertFile(owner, {{"storage_key", key}, {"path", "/docs/" + key}});
        backend.insertJob(owner, {{"file_id", file["id"]}, {"kind", "ingest"}, {"status", "error"}, {"error", "Boom"}});
    }
    std::size_t failedUploadReads() const {
        const auto reads = backend.requests("GET", "/rest/v1/jobs");
        return std::count_if(reads.begin(), reads.end(), [](const RecordedRequest& r) {
            return r.queryItem("select") == std::optional<std::string>("id,file_id,error,created_at");
        });
    }

    // Wait with the event loop turning.
    static bool finish(const QFuture<void>& f) { return QTest::qWaitFor([&] { return f.isFinished(); }, 30000); }
    static bool until(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }

    TempDir temp;
    BackendEmulator backend;
    std::string userID, otherID;
    std::vector<std::unique_ptr<ScopedEnv>> envs;
    std::shared_ptr<ScriptedFolderChooser> chooser = std::make_shared<ScriptedFolderChooser>();
    std::shared_ptr<RecordingURLOpener> opener = std::make_shared<RecordingURLOpener>();
    std::unique_ptr<DesktopAppModel> model;
};

} // namespace tarnwell::testing
