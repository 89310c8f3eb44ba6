// Sync engine figures against the loopback backend:
//  1. a rescan of an already synced tree of unchanged files (no hashing, no
//     requests; signed out, so nothing could be sent), timed against `find ROOT -type f -printf '%s %T@\n'`, with
//     the peak memory it adds per file;
//  2. the first sync of a tree of small files in ultra mode: files per second
//     and requests per file.
//
// Usage: bench_sync [unchanged-files (100000)] [first-sync-files (2000)]
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "BackendEmulator.hpp"
#include "Client/SupabaseHTTPClient.hpp"
#include "State/LocalDatabase.hpp"
#include "State/RetryQueueStore.hpp"
#include "State/SessionStore.hpp"
#include "Sync/FileRules.hpp"
#include "Sync/SyncCoordinator.hpp"

using namespace tarnwell;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFilesPerFolder = 100;

std::filesystem::path makeScratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwell-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::vector<std::filesystem::path> makeTree(const std::filesystem::path& root, int count) {
    std::vector<std::filesystem::path> files;
    files.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto folder = root / ("folder-" + std::to_string(i / kFilesPerFolder));
        if (i % kFilesPerFolder == 0) std::filesystem::create_directories(folder);
        auto file = folder / ("document-" + std::to_string(i) + ".txt");
        std::ofstream(file) << "document number " << i << '\n';
        files.push_back(std::move(file));
    }
    return files;
}

// Writes the rows a completed sync leaves for these files, in one transaction
// and in the order a sync processes them.
void recordAsSynced(const std::filesystem::path& databaseFile, const std::string& root,
                    std::vector<std::filesystem::path> files) {
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.native() < b.native(); });
    { LocalDatabase create(databaseFile, std::nullopt); }
    sqlite3* db = nullptr;
    if (sqlite3_open(databaseFile.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open failed");
    sqlite3_exec(db, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, LocalDatabase::upsertSQL, -1, &statement, nullptr);
    const std::string sha(64, '0');
    for (const auto& file : files) {
        struct stat info {};
        ::stat(file.c_str(), &info);
        const double mtime = static_cast<double>(info.st_mtim.tv_sec) * 1000.0 +
                             static_cast<double>(info.st_mtim.tv_nsec) / 1'000'000.0;
        const std::string path = file.string();
        const std::string logical = FileRules::logicalPath(file, root);
        const std::string key = FileRules::buildStorageKey("bench-user", root, logical);
        sqlite3_bind_text(statement, 1, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, root.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 3, logical.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 4, key.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 5, sha.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(statement, 6, info.st_size);
        sqlite3_bind_double(statement, 7, mtime);
        sqlite3_step(statement);
        sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    sqlite3_exec(db, "commit", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    }
    return 0;
}

void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

double secondsOf(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double timeFind(const std::string& root) {
    const std::string command = "find '" + root + "' -type f -printf '%s %T@\\n' > /dev/null";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) throw std::runtime_error("find failed");
    return secondsOf(Clock::now() - start);
}

struct Services {
    std::shared_ptr<SessionStore> sessions;
    std::shared_ptr<LocalDatabase> database;
    std::shared_ptr<RetryQueueStore> retryQueue;
    std::shared_ptr<SupabaseHTTPClient> client;
    std::unique_ptr<SyncCoordinator> coordinator;
};

Services makeServices(const PublicConfig& config, const std::filesystem::path& stateDir,
                      SyncCoordinatorTiming timing = {}) {
    Services s;
    s.sessions = std::make_shared<SessionStore>(stateDir / "session.json", std::nullopt);
    s.database = std::make_shared<LocalDatabase>(stateDir / "state.sqlite3", std::nullopt);
    s.retryQueue = std::make_shared<RetryQueueStore>(stateDir / "retry-queue.json", std::nullopt);
    s.client = std::make_shared<SupabaseHTTPClient>(config, s.sessions);
    s.coordinator =
        std::make_unique<SyncCoordinator>(config, s.client, s.database, s.retryQueue, s.sessions, timing);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const int unchangedCount = argc > 1 ? std::atoi(argv[1]) : 100'000;
    const int firstSyncCount = argc > 2 ? std::atoi(argv[2]) : 2'000;
    const auto scratch = makeScratch();

    testing::BackendOptions options;
    options.keepObjectBytes = false;
    options.logRequestBodies = false;
    testing::BackendEmulator backend(options);
    backend.start();
    backend.addUser("bench@example.com", "secret");

    PublicConfig config;
    config.supabaseURL = backend.baseURL();
    config.supabaseAnonKey = backend.anonKey();
    config.filesBucket = backend.bucket();
    config.dashboardURL = "http://127.0.0.1/";

    // 1. Rescan of an unchanged, synced tree, started by a change to a file
    //    that is not synced; timed from its first log line to its summary.
    {
        const auto root = (scratch / "unchanged").string();
        const auto state = scratch / "state-unchanged";
        std::filesystem::create_directories(state);
        std::cout << "Preparing " << unchangedCount << " synced files..." << std::endl;
        recordAsSynced(state / "state.sqlite3", root, makeTree(root, unchangedCount));
        SyncCoordinatorTiming timing;
        timing.rescanDelay = std::chrono::milliseconds(100);
        timing.eventLatency = std::chrono::milliseconds(100);
        Services s = makeServices(config, state, timing);

        std::mutex mutex;
        std::condition_variable done;
        Clock::time_point began;
        Clock::time_point ended;
        std::string summary;
        s.coordinator->setLogHandler([&](const std::string& line) {
            if (line.rfind("Rescan: ", 0) == 0) {
                std::lock_guard lock(mutex);
                began = Clock::now();
            } else if (line.rfind("Summary: ", 0) == 0) {
                std::lock_guard lock(mutex);
                ended = Clock::now();
                summary = line;
                done.notify_all();
            }
        });
        s.coordinator->startSync({root}, SyncMode::ultra);

        double findBest = 1e9;
        double scanBest = 1e9;
        long addedKiB = 0;
        for (int round = 0; round < 5; ++round) {
            findBest = std::min(findBest, timeFind(root));
            backend.clearRequests();
            {
                std::lock_guard lock(mutex);
                summary.clear();
            }
            const long baseline = statusKiB("VmRSS");
            resetPeakMemory();
            std::ofstream(std::filesystem::path(root) / "trigger.dat") << round;
            std::unique_lock lock(mutex);
            done.wait(lock, [&] { return !summary.empty(); });
            addedKiB = std::max(addedKiB, statusKiB("VmHWM") - baseline);
            scanBest = std::min(scanBest, secondsOf(ended - began));
            if (!backend.requests().empty()) std::cout << "  unexpected requests: " << backend.requests().size() << '\n';
        }
        s.coordinator->stopSync();
        std::printf("Rescan of %d unchanged files: %.3f s; find: %.3f s; ratio %.2f\n", unchangedCount, scanBest,
                    findBest, scanBest / findBest);
        std::printf("Peak memory above baseline: %ld KiB, %.0f bytes per file\n", addedKiB,
                    addedKiB * 1024.0 / unchangedCount);
        std::cout << "  " << summary << '\n';
    }

    // 2. First sync of small files in ultra mode.
    {
        const auto root = (scratch / "fresh").string();
        const auto state = scratch / "state-fresh";
        std::filesystem::create_directories(state);
        makeTree(root, firstSyncCount);
        Services s = makeServices(config, state);
        const auto tokens = backend.issueSession("bench@example.com");
        s.sessions->save(StoredSession{tokens.accessToken, tokens.refreshToken,
                                       StoredUser{tokens.userId, std::string("bench@example.com")}});
        std::string summary;
        s.coordinator->setLogHandler([&](const std::string& line) {
            if (line.rfind("Summary: ", 0) == 0) summary = line;
        });
        backend.clearRequests();
        const auto start = Clock::now();
        s.coordinator->startSync({root}, SyncMode::ultra);
        const double elapsed = secondsOf(Clock::now() - start);
        s.coordinator->stopSync();
        const auto requests = backend.requests().size();
        std::printf("First sync of %d files (ultra): %.2f s, %.0f files/s, %.2f requests per file\n", firstSyncCount,
                    elapsed, firstSyncCount / elapsed, static_cast<double>(requests) / firstSyncCount);
        std::cout << "  " << summary << '\n';
    }

    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return 0;
}
