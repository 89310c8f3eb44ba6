// A coordinator wired to real stores in a temporary folder and to the
// loopback backend, with recorders for its three callbacks.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include <linux/capability.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "BackendEmulator.hpp"
#include "Client/SupabaseHTTPClient.hpp"
#include "Sync/FileRules.hpp"
#include "Sync/SyncCoordinator.hpp"
#include "support/TempDir.hpp"

extern char** environ;

namespace tarnwell::testing {

using namespace std::chrono_literals;

inline constexpr const char* kInMountNamespace = "TARNWELL_TEST_IN_MOUNT_NAMESPACE";
inline constexpr int kCannotMount = 77;

// Runs a program with the environment plus kInMountNamespace (and `extra`,
// one more NAME=value); its exit status, or -1 when it could not be run or
// did not exit by itself.
inline int runWithMarker(std::vector<std::string> args, const std::string& extra = {}) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) env.emplace_back(*entry);
    env.push_back(std::string(kInMountNamespace) + "=1");
    if (!extra.empty()) env.push_back(extra);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Mounting needs a user and mount namespace of the test's own: the test runs
// again in one (unshare -rm) and the copy out here only reports its outcome.
// Empty in that copy; otherwise why the test ends here.
inline std::optional<std::string> rerunInOwnMountNamespace() {
    if (std::getenv(kInMountNamespace)) return std::nullopt;
    if (runWithMarker({"unshare", "-rm", "true"}) != 0) return "no user and mount namespace to be had here";
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const int status = runWithMarker({"unshare", "-rm", std::filesystem::read_symlink("/proc/self/exe").string(),
                                      std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});
    if (status == kCannotMount) return "file systems can't be mounted in a user namespace here";
    EXPECT_EQ(status, 0) << "the run in its own mount namespace failed";
    return "";
}

// In that namespace: ends the run with kCannotMount when no file system can
// be mounted here after all.
inline void requireMounting() {
    TempDir probe;
    if (::mount("tarnwell-test", probe.path().c_str(), "tmpfs", 0, nullptr) != 0) std::_Exit(kCannotMount);
    ::umount(probe.path().c_str());
}

// Unmounts at, as a user would: a folder being walked or watched at that
// instant is busy for a moment, so a busy unmount is tried again. 0 or errno.
inline int unmountOnceFree(const std::string& at) {
    for (int tries = 0;; ++tries) {
        if (::umount(at.c_str()) == 0) return 0;
        if (errno != EBUSY || tries == 1000) return errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The test's body runs in a user and mount namespace of its own, where it
// can mount; out here it only reports that run's outcome, or skips.
#define RUN_IN_OWN_MOUNT_NAMESPACE()                                    \
    if (auto outcome = rerunInOwnMountNamespace()) {                    \
        if (!outcome->empty()) GTEST_SKIP() << *outcome;                \
        return;                                                         \
    }                                                                   \
    requireMounting()


inline constexpr const char* kUploadPath = "/storage/v1/object/";
inline constexpr const char* kFilesPath = "/rest/v1/files";
inline constexpr const char* kJobsPath = "/rest/v1/jobs";
inline constexpr const char* kUserPath = "/auth/v1/user";

// Records what a callback receives; a test may wait for it or hook into it.
template <class Value>
class Recorder {
public:
    void add(const Value& value) {
        std::function<void(const Value&)> hook;
        {
            std::lock_guard lock(mutex_);
            values_.push_back(value);
            hook = hook_;
        }
        changed_.notify_all();
        if (hook) hook(value);
    }
    std::vector<Value> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        values_.clear();
    }
    // Runs on the producer's thread after each new value.
    void setHook(std::function<void(const Value&)> hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    bool waitUntil(const std::function<bool(const std::vector<Value>&)>& done) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return done(values_); });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Value> values_;
    std::function<void(const Value&)> hook_;
};

inline std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

inline std::size_t countStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

// Root passes every permission check. While this object lives, the calling
// thread (and every thread it starts) meets them like any other owner.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride() {
        if (::geteuid() != 0) return;
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutPermissionOverride() {
        if (active_) ::syscall(SYS_capset, &header_, saved_);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2] = {};
    bool active_ = false;
};

// Short delays: a tiny upload pause, quick batching and debounce.
inline SyncCoordinatorTiming fastTiming() {
    SyncCoordinatorTiming timing;
    timing.rescanDelay = 150ms;
    timing.eventLatency = 50ms;
    timing.uploadPause = 1ms;
    timing.folderCheckInterval = 100ms;
    return timing;
}

struct SyncHarness {
    explicit SyncHarness(BackendOptions options = {}) : backend(std::move(options)) {
        // ICU builds its shared normalization data on first use, behind a
        // once-flag that ThreadSanitizer can't see into; build it here, before
        // any coordinator thread exists.
        FileRules::safeSegment("Caf\u00e9 Men\u00fc.txt");
        backend.start();
        userID = backend.addUser("ada@example.com", "secret");
        config.supabaseURL = backend.baseURL();
        config.supabaseAnonKey = backend.anonKey();
        config.filesBucket = backend.bucket();
        config.dashboardURL = "http://127.0.0.1/dashboard";
    }

    void signIn() {
        const SessionTokens t = backend.issueSession("ada@example.com");
        sessions->save(StoredSession{t.accessToken, t.refreshToken, StoredUser{t.userId, std::nullopt}});
    }

    SyncCoordinator& make(SyncCoordinatorTiming timing = fastTiming()) {
        coordinator.reset();
        auto client = std::make_shared<SupabaseHTTPClient>(config, sessions);
        coordinator = std::make_unique<SyncCoordinator>(config, client, database, retryQueue, sessions, timing);
        coordinator->setLogHandler([this](const std::string& line) { logs.add(line); });
        coordinator->setIndexingHandler([this](const IndexingProgressSnapshot& s) { progress.add(s); });
        coordinator->setUnsupportedFilesHandler([this](std::int64_t n) { unsupported.add(n); });
        return *coordinator;
    }

    // One complete start and stop.
    void syncOnce(const std::string& root, SyncMode mode = SyncMode::ultra) { syncOnce(std::vector{root}, mode); }
    void syncOnce(const std::vector<std::string>& roots, SyncMode mode = SyncMode::ultra) {
        coordinator->startSync(roots, mode);
        coordinator->stopSync();
    }

    // A start on another thread, and the coordinator going away once every
    // fault set on the backend has met its request (a request held back by
    // a delay is then out). Returns when the start has returned.
    void quitOnceFaultsAreMet(const std::string& root) {
        SyncCoordinator* started = &make();
        std::thread start([&] { started->startSync({root}, SyncMode::ultra); });
        while (backend.pendingFaults() != 0) std::this_thread::sleep_for(5ms);
        started->shutdown();
        start.join();
    }

    // A folder below the temporary tree, created.
    std::string folder(const std::string& name) const {
        std::filesystem::create_directories(temp / ("tree/" + name));
        return (temp / ("tree/" + name)).string();
    }
    std::filesystem::path write(const std::string& relative, const std::string& content) const {
        return temp.write("tree/" + relative, content);
    }
    static void setModificationTime(const std::filesystem::path& file, std::time_t seconds) {
        struct utimbuf times {seconds, seconds};
        ASSERT_EQ(::utime(file.c_str(), &times), 0);
    }
    std::string key(const std::string& root, const std::string& logicalPath) const {
        return FileRules::buildStorageKey(userID, root, logicalPath);
    }
    // The state an earlier version left: rows, and no memory of the mounts
    // their files were on.
    void forgetMounts() const {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((temp / "state.sqlite3").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "delete from preferences where key like 'mounts_seen:%'", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_changes(db), 1);
        sqlite3_close(db);
    }
    // Whether the file's row records content sent: a row that only names
    // the key its file is about to be sent under records none.
    bool isRecordedAsSent(const std::string& path) const {
        const auto row = database->fileRecord(path);
        return row && !row->sha256.empty();
    }
    std::size_t rowsRecordedAsSent(const std::string& root) const {
        const auto rows = database->rows(root);
        return static_cast<std::size_t>(
            std::count_if(rows.begin(), rows.end(), [](const FileStateRow& row) { return !row.sha256.empty(); }));
    }
    // The account's hosted rows that are not marked deleted, by key.
    std::vector<std::string> liveKeys() const {
        std::vector<std::string> keys;
        for (const auto& row : backend.files()) {
            if (row["user_id"] == userID && row["is_deleted"] != true) keys.push_back(row["storage_key"]);
        }
        return keys;
    }
    bool hasLine(const std::string& line) const { return countOf(logs.values(), line) > 0; }
    bool waitForLine(const std::string& line, std::size_t times = 1) {
        return logs.waitUntil([&](const auto& lines) { return countOf(lines, line) >= times; });
    }
    std::size_t requests(const std::string& method, const std::string& prefix) const {
        return backend.requestCount(method, prefix);
    }

    TempDir temp;
    BackendEmulator backend;
    std::string userID;
    PublicConfig config;
    std::shared_ptr<SessionStore> sessions = std::make_shared<SessionStore>(temp / "session.json", std::nullopt);
    std::shared_ptr<LocalDatabase> database = std::make_shared<LocalDatabase>(temp / "state.sqlite3", std::nullopt);
    std::shared_ptr<RetryQueueStore> retryQueue =
        std::make_shared<RetryQueueStore>(temp / "retry-queue.json", std::nullopt);
    Recorder<std::string> logs;
    Recorder<IndexingProgressSnapshot> progress;
    Recorder<std::int64_t> unsupported;
    std::unique_ptr<SyncCoordinator> coordinator;
};

} // namespace tarnwell::testing
