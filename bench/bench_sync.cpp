// Sync engine figures against the loopback backend, each next to a yardstick
// measured in the same run:
//  1. a rescan of an already synced tree of unchanged files (no hashing, no
//     requests; signed out, so nothing could be sent), timed against
//     `find ROOT -type f -printf '%s %T@\n'`, with the peak memory it adds per
//     file; at two tree sizes;
//  2. the first sync of a tree of small files in ultra mode, next to the
//     request floor: the same requests (upload, user lookup + upsert, user
//     lookup + job) sent by a plain loop, with no hashing and no database;
//  3. the same first sync while every storage upload fails, next to the
//     succeeding one;
//  4. a start that drains a retry queue of many items, next to the request
//     floor for those items.
//
// Usage: bench_sync [unchanged-files (100000)] [first-sync-files (2000)]
//                   [queued-items (5000)] [large-unchanged-files (300000; 0 skips)]
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
#include "BenchSupport.hpp"
#include "Client/SupabaseHTTPClient.hpp"
#include "State/LocalDatabase.hpp"
#include "State/RetryQueueStore.hpp"
#include "State/SessionStore.hpp"
#include "Sync/FileRules.hpp"
#include "Sync/SyncCoordinator.hpp"

using namespace tarnwell;
using namespace tarnwell::bench;

namespace {






void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }


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

// 1. Rescan of an unchanged, synced tree, started by a change to a file that
//    is not synced; timed from its first log line to its summary.
void benchRescan(testing::BackendEmulator& backend, const PublicConfig& config, const std::filesystem::path& scratch,
                 int unchangedCount) {
    const auto root = (scratch / ("unchanged-" + std::to_string(unchangedCount))).string();
    const auto state = scratch / ("state-unchanged-" + std::to_string(unchangedCount));
    std::filesystem::create_directories(state);
    std::cout << "Preparing " << unchangedCount << " synced files..." << std::endl;
    recordAsSynced(state / "state.sqlite3", root, "bench-user", makeTree(root, unchangedCount));
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
    std::printf("Rescan of %d unchanged files: %.3f s; find: %.3f s; ratio %.2f (target <= 2)\n", unchangedCount,
                scanBest, findBest, scanBest / findBest);
    std::printf("  peak memory above baseline: %ld KiB, %.0f bytes per file (target < 1024)\n", addedKiB,
                addedKiB * 1024.0 / unchangedCount);
    std::cout << "  " << summary << '\n';
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::shared_ptr<SessionStore> signedIn(testing::BackendEmulator& backend, const std::filesystem::path& stateDir) {
    auto sessions = std::make_shared<SessionStore>(stateDir / "session.json", std::nullopt);
    const auto tokens = backend.issueSession("bench@example.com");
    sessions->save(StoredSession{tokens.accessToken, tokens.refreshToken,
                                 StoredUser{tokens.userId, std::string("bench@example.com")}});
    return sessions;
}

struct SyncRun {
    double seconds = 0;
    std::size_t requests = 0;
    std::string summary;
};

// One first sync (or, with an empty tree and a queue, one drain) of a fresh
// state folder; the stop, which puts the queue on disk, is timed too.
SyncRun timeSync(testing::BackendEmulator& backend, const PublicConfig& config, const std::filesystem::path& state,
                 const std::string& root) {
    signedIn(backend, state);
    Services s = makeServices(config, state);
    SyncRun run;
    s.coordinator->setLogHandler([&](const std::string& line) {
        if (line.rfind("Summary: ", 0) == 0) run.summary = line;
    });
    backend.clearRequests();
    const auto start = Clock::now();
    s.coordinator->startSync({root}, SyncMode::ultra);
    s.coordinator->stopSync();
    run.seconds = secondsOf(Clock::now() - start);
    run.requests = backend.requests().size();
    return run;
}

// The request floor: per file an upload, an upsert and a job through the same
// client, with fixed values in place of digests and no local state.
double timeRequestFloor(testing::BackendEmulator& backend, const PublicConfig& config,
                        const std::filesystem::path& state, const std::vector<std::filesystem::path>& files,
                        const std::string& keyPrefix) {
    auto sessions = signedIn(backend, state);
    SupabaseHTTPClient client(config, sessions);
    const std::string userID = sessions->load()->user->id;
    const std::string sha(64, 'a');
    const auto start = Clock::now();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string key = "user-" + userID + "/" + keyPrefix + "/" + std::to_string(i) + ".txt";
        client.uploadFile(files[i], key, "text/plain");
        const auto row = client.upsertRemoteFile(std::to_string(i) + ".txt", key, 20, "text/plain", sha);
        client.insertJob(row.id, "ingest");
    }
    return secondsOf(Clock::now() - start);
}

} // namespace

int main(int argc, char** argv) {
    const int unchangedCount = argc > 1 ? std::atoi(argv[1]) : 100'000;
    const int firstSyncCount = argc > 2 ? std::atoi(argv[2]) : 2'000;
    const int queuedCount = argc > 3 ? std::atoi(argv[3]) : 5'000;
    const int largeUnchangedCount = argc > 4 ? std::atoi(argv[4]) : 300'000;
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

    if (unchangedCount > 0) benchRescan(backend, config, scratch, unchangedCount);
    if (largeUnchangedCount > 0) benchRescan(backend, config, scratch, largeUnchangedCount);

    // 2 and 3. First sync of small files in ultra mode: the request floor, a
    //    succeeding run and a run whose every upload fails, three rounds each
    //    on fresh trees and state; the best round counts.
    if (firstSyncCount > 0) {
        double floorBest = 1e9;
        SyncRun syncBest{1e9, 0, {}};
        SyncRun failBest{1e9, 0, {}};
        std::size_t queuedAfterOutage = 0;
        for (int round = 0; round < 3; ++round) {
            const std::string tag = std::to_string(round);
            const auto floorFiles = makeTree(scratch / ("floor-" + tag), firstSyncCount);
            std::filesystem::create_directories(scratch / ("state-floor-" + tag));
            floorBest = std::min(floorBest, timeRequestFloor(backend, config, scratch / ("state-floor-" + tag),
                                                             floorFiles, "floor-" + tag));

            const auto root = (scratch / ("fresh-" + tag)).string();
            makeTree(root, firstSyncCount);
            std::filesystem::create_directories(scratch / ("state-fresh-" + tag));
            const SyncRun run = timeSync(backend, config, scratch / ("state-fresh-" + tag), root);
            if (run.seconds < syncBest.seconds) syncBest = run;

            const auto failingRoot = (scratch / ("outage-" + tag)).string();
            makeTree(failingRoot, firstSyncCount);
            std::filesystem::create_directories(scratch / ("state-outage-" + tag));
            backend.failNext("POST", "/storage/v1/object/", -1, 503);
            const SyncRun failed = timeSync(backend, config, scratch / ("state-outage-" + tag), failingRoot);
            backend.clearFaults();
            if (failed.seconds < failBest.seconds) failBest = failed;
            RetryQueueStore queue(scratch / ("state-outage-" + tag) / "retry-queue.json", std::nullopt);
            queuedAfterOutage = queue.read().size();
        }
        std::printf("First sync of %d files (ultra): %.2f s, %.0f files/s, %.2f requests per file\n", firstSyncCount,
                    syncBest.seconds, firstSyncCount / syncBest.seconds,
                    static_cast<double>(syncBest.requests) / firstSyncCount);
        std::printf("  request floor: %.2f s, %.0f files/s; sync / floor throughput %.2f (target >= 0.7)\n",
                    floorBest, firstSyncCount / floorBest, floorBest / syncBest.seconds);
        std::cout << "  " << syncBest.summary << '\n';
        std::printf("Outage (every upload fails): %.2f s next to %.2f s succeeding; ratio %.2f (target <= 1), "
                    "%zu items queued\n",
                    failBest.seconds, syncBest.seconds, failBest.seconds / syncBest.seconds, queuedAfterOutage);
        std::cout << "  " << failBest.summary << '\n';
    }

    // 4. A start with a long retry queue and a healthy backend (the folder
    //    itself is empty), next to the floor for the same requests.
    if (queuedCount > 0) {
        const auto files = makeTree(scratch / "queued", queuedCount);
        std::filesystem::create_directories(scratch / "state-floor-drain");
        const double floor = timeRequestFloor(backend, config, scratch / "state-floor-drain", files, "floor-drain");

        const auto state = scratch / "state-drain";
        std::filesystem::create_directories(state);
        const std::string userID = *backend.userId("bench@example.com");
        const std::string emptyRoot = (scratch / "empty").string();
        std::filesystem::create_directories(emptyRoot);
        std::vector<RetryQueueItem> items;
        items.reserve(files.size());
        for (const auto& file : files) {
            const std::string logical = file.parent_path().filename().string() + "/" + file.filename().string();
            items.push_back(RetryQueueItem{file.string(), FileRules::buildStorageKey(userID, emptyRoot, logical),
                                           FileRules::legacyStorageKey(userID, logical),
                                           static_cast<std::int64_t>(std::filesystem::file_size(file)),
                                           "text/plain", FileRules::sha256Hex(file), logical, userID, 0,
                                           "The request timed out"});
        }
        RetryQueueStore(state / "retry-queue.json", std::nullopt).write(items);
        const SyncRun drained = timeSync(backend, config, state, emptyRoot);
        RetryQueueStore queue(state / "retry-queue.json", std::nullopt);
        std::printf("Drain of %d queued items: %.2f s; request floor: %.2f s; ratio %.2f (target <= 1.5), "
                    "%zu items left\n",
                    queuedCount, drained.seconds, floor, drained.seconds / floor, queue.read().size());
    }

    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return 0;
}
