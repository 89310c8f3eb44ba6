// Sync engine figures against the loopback backend, each next to a yardstick
// measured in the same run. Every ratio is taken three times, on fresh data
// where the run changes it, and printed as the least and the median of the
// three (the machine's noise shows in their spread):
//  1. a rescan of an already synced tree of unchanged files (no hashing, no
//     requests; signed out, so nothing could be sent), timed against
//     `find ROOT -type f -printf '%s %T@\n'`, with the peak memory it adds per
//     synced file: a plain tree, one with 1 % accented names, one with as many
//     files of unsupported types as documents, and a larger plain tree;
//  2. the first sync of a tree of small files in ultra mode at two sizes, next
//     to two request floors that send the same five requests per file
//     (upload, user lookup + row upsert, user lookup + job) with no hashing
//     and no database: a bare libcurl loop on one kept-alive connection, and
//     a loop through the program's own client;
//  3. the same first sync while every storage upload fails, next to the
//     succeeding one;
//  4. a start that drains a retry queue of many items, next to the request
//     floor (through the program's client) for those items;
//  5. a rescan of many folders with a volume mounted inside the tree, next to
//     the same tree without one, with the size of the memory of mounts;
//  6. a start that drains a retry queue of files below the watched folder
//     (recorded as a scan would, their mounts remembered first) with 1,000
//     more mounts on the machine, next to the same drain without them.
// Parts 5 and 6 run in a user and mount namespace of their own.
//
// Usage: bench_sync [unchanged-files (100000)] [first-sync-files (2000)]
//                   [queued-items (5000)] [large-unchanged-files (300000)]
//                   [large-first-sync-files (20000)]
//                   [queued-files-below-the-folder (2000)]
//                   [folders... (2000 20000)];
//        a count of 0 skips that part.
#include <curl/curl.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

constexpr int kRounds = 3;

void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Processor time of the calling thread, in seconds: the part of a timed run
// that the loopback server's threads and the machine's other load leave out.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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

struct RescanFigures {
    std::vector<double> scans;  // seconds, from the first log line to the summary
    std::vector<double> finds;  // seconds of find over the same tree, just before
    std::vector<double> ratios; // scan / find, round by round
    long addedKiB = 0;          // peak memory added by the rescans
    std::string summary;
};

// Rescans of an unchanged, synced tree, each started by a change to a file
// that is not synced; the initial scan of the start before them is not timed.
class RescanTimer {
public:
    RescanTimer(const PublicConfig& config, std::string root, const std::filesystem::path& state)
        : root_(std::move(root)), services_(makeServices(config, state, fastRescans())) {
        services_.coordinator->setLogHandler([this](const std::string& line) {
            if (line.rfind("Rescan: ", 0) == 0) {
                std::lock_guard lock(mutex_);
                began_ = Clock::now();
            } else if (line.rfind("Summary: ", 0) == 0) {
                std::lock_guard lock(mutex_);
                ended_ = Clock::now();
                summary_ = line;
                done_.notify_all();
            }
        });
        services_.coordinator->startSync({root_}, SyncMode::ultra);
    }
    // The coordinator goes first: a rescan still under way logs into this
    // object until the coordinator has joined it.
    ~RescanTimer() {
        services_.coordinator->stopSync();
        services_.coordinator.reset();
    }
    RescanTimer(const RescanTimer&) = delete;
    RescanTimer& operator=(const RescanTimer&) = delete;

    void round(testing::BackendEmulator& backend) {
        figures_.finds.push_back(timeFind(root_));
        backend.clearRequests();
        {
            std::lock_guard lock(mutex_);
            summary_.clear();
        }
        const long baseline = statusKiB("VmRSS");
        resetPeakMemory();
        std::ofstream(std::filesystem::path(root_) / "trigger.dat") << figures_.scans.size();
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return !summary_.empty(); });
        figures_.addedKiB = std::max(figures_.addedKiB, statusKiB("VmHWM") - baseline);
        figures_.scans.push_back(secondsOf(ended_ - began_));
        figures_.ratios.push_back(figures_.scans.back() / figures_.finds.back());
        figures_.summary = summary_;
        if (!backend.requests().empty()) std::cout << "  unexpected requests: " << backend.requests().size() << '\n';
    }
    const RescanFigures& figures() const { return figures_; }

private:
    static SyncCoordinatorTiming fastRescans() {
        SyncCoordinatorTiming timing;
        timing.rescanDelay = std::chrono::milliseconds(100);
        timing.eventLatency = std::chrono::milliseconds(100);
        return timing;
    }

    std::string root_;
    Services services_;
    std::mutex mutex_;
    std::condition_variable done_;
    Clock::time_point began_;
    Clock::time_point ended_;
    std::string summary_;
    RescanFigures figures_;
};

// 1. Rescan of an unchanged, synced tree, timed from its first log line to
//    its summary, next to find.
void benchRescan(testing::BackendEmulator& backend, const PublicConfig& config, const std::filesystem::path& scratch,
                 const std::string& label, int unchangedCount, const TreeShape& shape = {}) {
    const std::string name = label + "-" + std::to_string(unchangedCount);
    const auto root = (scratch / ("unchanged-" + name)).string();
    const auto state = scratch / ("state-unchanged-" + name);
    std::filesystem::create_directories(state);
    std::cout << "Preparing " << unchangedCount << " synced files (" << label << " tree)..." << std::endl;
    recordAsSynced(state / "state.sqlite3", root, "bench-user", makeTree(root, unchangedCount, shape));
    RescanTimer timer(config, root, state);
    for (int round = 0; round < kRounds; ++round) timer.round(backend);
    const RescanFigures& figures = timer.figures();
    std::printf("Rescan of %d unchanged files (%s tree): %.3f s (median); find: %.3f s (median); "
                "ratio min %.2f, median %.2f (target <= 2)\n",
                unchangedCount, label.c_str(), medianOf(figures.scans), medianOf(figures.finds),
                minOf(figures.ratios), medianOf(figures.ratios));
    std::printf("  peak memory above baseline: %ld KiB, %.0f bytes per synced file (target < 1024)\n",
                figures.addedKiB, figures.addedKiB * 1024.0 / unchangedCount);
    std::cout << "  " << figures.summary << '\n';
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    std::filesystem::remove_all(state, ignored);
}

// 5. A tree of many folders with one document each and none at its top, with
//    a volume (a tmpfs of kVolumeFiles documents) mounted inside it, next to
//    the same tree with those documents in a plain folder: the rescan times
//    of both, and the size of what is remembered of the mounts. Runs in a
//    user and mount namespace of its own.
constexpr int kVolumeFiles = 100;

std::vector<std::filesystem::path> makeFolders(const std::filesystem::path& root, int folders) {
    std::vector<std::filesystem::path> files;
    files.reserve(static_cast<std::size_t>(folders + kVolumeFiles));
    for (int i = 0; i < folders; ++i) {
        const auto folder = root / ("folder-" + std::to_string(i));
        std::filesystem::create_directories(folder);
        files.push_back(folder / "document.txt");
        std::ofstream(files.back()) << "document in folder " << i << '\n';
    }
    return files;
}

void addVolumeFiles(const std::filesystem::path& folder, std::vector<std::filesystem::path>& files) {
    for (int i = 0; i < kVolumeFiles; ++i) {
        files.push_back(folder / ("volume-" + std::to_string(i) + ".txt"));
        std::ofstream(files.back()) << "document on the volume " << i << '\n';
    }
}

// The two trees are rescanned in turn, round by round, so that the machine's
// load weighs on both alike.
void benchVolumeInside(testing::BackendEmulator& backend, const PublicConfig& config,
                       const std::filesystem::path& scratch, int folders) {
    std::vector<std::unique_ptr<RescanTimer>> timers;
    std::filesystem::path roots[2];
    std::filesystem::path states[2];
    for (const bool mounted : {false, true}) {
        const std::string tag = (mounted ? "volume-" : "plain-") + std::to_string(folders);
        roots[mounted] = scratch / ("folders-" + tag);
        states[mounted] = scratch / ("state-folders-" + tag);
        std::filesystem::create_directories(states[mounted]);
        std::cout << "Preparing " << folders << " synced folders (" << (mounted ? "a volume inside" : "no volume")
                  << ")..." << std::endl;
        auto files = makeFolders(roots[mounted], folders);
        const auto ext = roots[mounted] / "ext";
        std::filesystem::create_directories(ext);
        if (mounted && ::mount("bench-volume", ext.c_str(), "tmpfs", 0, nullptr) != 0) {
            throw std::runtime_error(std::string("cannot mount a volume: ") + std::strerror(errno));
        }
        addVolumeFiles(ext, files);
        recordAsSynced(states[mounted] / "state.sqlite3", roots[mounted].string(), "bench-user", std::move(files));
        timers.push_back(std::make_unique<RescanTimer>(config, roots[mounted].string(), states[mounted]));
    }
    for (int round = 0; round < kRounds; ++round) {
        for (auto& timer : timers) timer->round(backend);
    }
    const RescanFigures without = timers[0]->figures();
    const RescanFigures with = timers[1]->figures();
    timers.clear();
    const std::size_t memoryBytes = LocalDatabase(states[1] / "state.sqlite3", std::nullopt)
                                        .preference("mounts_seen:" + roots[1].string())
                                        .value_or("")
                                        .size();
    ::umount2((roots[1] / "ext").c_str(), MNT_DETACH);
    std::vector<double> ratios;
    for (int round = 0; round < kRounds; ++round) ratios.push_back(with.scans[round] / without.scans[round]);
    std::printf("Rescan of %d folders with a volume inside: %.3f s (median); without: %.3f s (median); "
                "find: %.3f s (median); ratio of medians %.2f (target <= 1.10), round by round min %.2f, "
                "median %.2f\n",
                folders, medianOf(with.scans), medianOf(without.scans), medianOf(with.finds),
                medianOf(with.scans) / medianOf(without.scans), minOf(ratios), medianOf(ratios));
    std::printf("  mounts remembered: %zu bytes (target well under 8 KiB)\n", memoryBytes);
    std::cout << "  " << with.summary << '\n';
    std::error_code ignored;
    for (const bool mounted : {false, true}) {
        std::filesystem::remove_all(roots[mounted], ignored);
        std::filesystem::remove_all(states[mounted], ignored);
    }
}

// Runs the parts that mount again in a user and mount namespace of their own
// (unshare -rm); false when this machine has none to give.
constexpr const char* kInNamespace = "TARNWELL_BENCH_IN_MOUNT_NAMESPACE";

bool runMountPartsInOwnNamespace(int queuedBelowCount, const std::vector<int>& folderCounts) {
    std::string command = "unshare -rm env " + std::string(kInNamespace) + "=1 '" +
                          std::filesystem::read_symlink("/proc/self/exe").string() + "' 0 0 0 0 0 " +
                          std::to_string(queuedBelowCount);
    for (int count : folderCounts) command += " " + std::to_string(count);
    if (folderCounts.empty()) command += " 0";
    if (std::system("unshare -rm true 2>/dev/null") != 0) return false;
    std::cout << std::flush;
    return std::system(command.c_str()) == 0;
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
    double cpuSeconds = 0;
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
    const double cpuStart = threadSeconds();
    s.coordinator->startSync({root}, SyncMode::ultra);
    s.coordinator->stopSync();
    run.cpuSeconds = threadSeconds() - cpuStart;
    run.seconds = secondsOf(Clock::now() - start);
    run.requests = backend.requests().size();
    return run;
}

// The request floor through the program's client: per file an upload, an
// upsert and a job, with fixed values in place of digests and no local state.
double timeClientFloor(testing::BackendEmulator& backend, const PublicConfig& config,
                       const std::filesystem::path& state, const std::vector<std::filesystem::path>& files,
                       const std::string& keyPrefix, double* cpuSeconds = nullptr) {
    auto sessions = signedIn(backend, state);
    SupabaseHTTPClient client(config, sessions);
    const std::string userID = sessions->load()->user->id;
    const std::string sha(64, 'a');
    const auto start = Clock::now();
    const double cpuStart = threadSeconds();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string key = "user-" + userID + "/" + keyPrefix + "/" + std::to_string(i) + ".txt";
        client.uploadFile(files[i], key, "text/plain");
        const auto row = client.upsertRemoteFile(std::to_string(i) + ".txt", key, 20, "text/plain", sha);
        client.insertJob(row.id, "ingest");
    }
    if (cpuSeconds) *cpuSeconds = threadSeconds() - cpuStart;
    return secondsOf(Clock::now() - start);
}

// The bare request floor: the five requests a first sync sends per file (the
// upload, a user lookup and the row upsert, a user lookup and the job), with
// the same headers and bodies, sent by libcurl alone on one kept-alive
// connection. Only the file's bytes are read from disk.
class BareLoop {
public:
    BareLoop(const PublicConfig& config, const std::string& accessToken)
        : base_(config.supabaseURL), bucket_(config.filesBucket), curl_(curl_easy_init()) {
        if (!curl_) throw std::runtime_error("curl_easy_init failed");
        const std::string apikey = "apikey: " + config.supabaseAnonKey;
        const std::string bearer = "Authorization: Bearer " + accessToken;
        for (const std::string& line : {apikey, bearer, std::string("accept: application/json")}) {
            lookup_ = curl_slist_append(lookup_, line.c_str());
            upload_ = curl_slist_append(upload_, line.c_str());
            upsert_ = curl_slist_append(upsert_, line.c_str());
            job_ = curl_slist_append(job_, line.c_str());
        }
        for (const char* line : {"content-type: text/plain", "cache-control: max-age=3600", "x-upsert: true"}) {
            upload_ = curl_slist_append(upload_, line);
        }
        upsert_ = curl_slist_append(upsert_, "content-type: application/json");
        upsert_ = curl_slist_append(upsert_, "Prefer: resolution=merge-duplicates,return=representation");
        job_ = curl_slist_append(job_, "content-type: application/json");
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &BareLoop::collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &response_);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    }
    ~BareLoop() {
        for (curl_slist* list : {lookup_, upload_, upsert_, job_}) curl_slist_free_all(list);
        curl_easy_cleanup(curl_);
    }
    BareLoop(const BareLoop&) = delete;
    BareLoop& operator=(const BareLoop&) = delete;

    void send(const std::filesystem::path& file, const std::string& userID, const std::string& logicalPath,
              const std::string& key) {
        readFile(file);
        post(base_ + "/storage/v1/object/" + bucket_ + "/" + key, upload_, content_);
        get(base_ + "/auth/v1/user");
        const std::string row = R"({"bytes":)" + std::to_string(content_.size()) +
                                R"(,"ingest_error":null,"is_deleted":false,"mime":"text/plain","path":")" +
                                logicalPath + R"(","sha256":")" + std::string(64, 'a') +
                                R"(","storage_bucket":")" + bucket_ + R"(","storage_key":")" + key +
                                R"(","user_id":")" + userID + R"("})";
        post(base_ + "/rest/v1/files?on_conflict=user_id,storage_bucket,storage_key&select=id,user_id,"
                     "storage_bucket,storage_key,sha256,ingested_sha256,is_deleted,path,bytes,mime,ingest_error",
             upsert_, row);
        const auto idAt = response_.find(R"("id":")");
        if (idAt == std::string::npos) throw std::runtime_error("no id in " + response_);
        const std::string fileID = response_.substr(idAt + 6, response_.find('"', idAt + 6) - idAt - 6);
        get(base_ + "/auth/v1/user");
        post(base_ + "/rest/v1/jobs", job_,
             R"({"file_id":")" + fileID + R"(","kind":"ingest","payload":{},"user_id":")" + userID + R"("})");
    }

private:
    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    }

    void readFile(const std::filesystem::path& file) {
        content_.clear();
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("can't open " + file.string());
        char buffer[4096];
        for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) content_.append(buffer, count);
        ::close(fd);
    }

    void perform(const std::string& url, curl_slist* headers) {
        response_.clear();
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
        const CURLcode result = curl_easy_perform(curl_);
        long status = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK || status < 200 || status >= 300) {
            throw std::runtime_error("bare request to " + url + " failed: " + std::to_string(status));
        }
    }

    void get(const std::string& url) {
        curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        perform(url, lookup_);
    }

    void post(const std::string& url, curl_slist* headers, const std::string& body) {
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        perform(url, headers);
    }

    std::string base_;
    std::string bucket_;
    CURL* curl_;
    curl_slist* lookup_ = nullptr;
    curl_slist* upload_ = nullptr;
    curl_slist* upsert_ = nullptr;
    curl_slist* job_ = nullptr;
    std::string content_;
    std::string response_;
};

double timeBareFloor(testing::BackendEmulator& backend, const PublicConfig& config,
                     const std::vector<std::filesystem::path>& files, const std::string& keyPrefix,
                     double* cpuSeconds) {
    const auto tokens = backend.issueSession("bench@example.com");
    BareLoop loop(config, tokens.accessToken);
    const auto start = Clock::now();
    const double cpuStart = threadSeconds();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string logical = std::to_string(i) + ".txt";
        loop.send(files[i], tokens.userId, logical, "user-" + tokens.userId + "/" + keyPrefix + "/" + logical);
    }
    *cpuSeconds = threadSeconds() - cpuStart;
    return secondsOf(Clock::now() - start);
}

// 2 and 3. First sync of small files in ultra mode next to both request
// floors, each round on fresh trees and state; with withOutage, also a run
// whose every upload fails.
void benchFirstSync(testing::BackendEmulator& backend, const PublicConfig& config,
                    const std::filesystem::path& scratch, int count, bool withOutage) {
    std::vector<double> syncTimes;
    std::vector<double> bareRatios;
    std::vector<double> clientRatios;
    std::vector<double> outageRatios;
    std::vector<double> bareTimes;
    std::vector<double> clientTimes;
    std::vector<double> bareCPU;
    std::vector<double> clientCPU;
    std::vector<double> syncCPU;
    SyncRun lastSync;
    SyncRun lastOutage;
    std::size_t queuedAfterOutage = 0;
    std::error_code ignored;
    for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(count) + "-" + std::to_string(round);
        const auto floorFiles = makeTree(scratch / ("floor-" + tag), count);
        double cpu = 0;
        bareTimes.push_back(timeBareFloor(backend, config, floorFiles, "bare-" + tag, &cpu));
        bareCPU.push_back(cpu);
        std::filesystem::create_directories(scratch / ("state-floor-" + tag));
        clientTimes.push_back(
            timeClientFloor(backend, config, scratch / ("state-floor-" + tag), floorFiles, "floor-" + tag, &cpu));
        clientCPU.push_back(cpu);
        std::filesystem::remove_all(scratch / ("floor-" + tag), ignored);

        const auto root = (scratch / ("fresh-" + tag)).string();
        makeTree(root, count);
        std::filesystem::create_directories(scratch / ("state-fresh-" + tag));
        lastSync = timeSync(backend, config, scratch / ("state-fresh-" + tag), root);
        std::filesystem::remove_all(root, ignored);
        syncTimes.push_back(lastSync.seconds);
        syncCPU.push_back(lastSync.cpuSeconds);
        bareRatios.push_back(bareTimes.back() / lastSync.seconds);
        clientRatios.push_back(clientTimes.back() / lastSync.seconds);

        if (!withOutage) continue;
        const auto failingRoot = (scratch / ("outage-" + tag)).string();
        makeTree(failingRoot, count);
        std::filesystem::create_directories(scratch / ("state-outage-" + tag));
        backend.failNext("POST", "/storage/v1/object/", -1, 503);
        lastOutage = timeSync(backend, config, scratch / ("state-outage-" + tag), failingRoot);
        backend.clearFaults();
        std::filesystem::remove_all(failingRoot, ignored);
        outageRatios.push_back(lastOutage.seconds / lastSync.seconds);
        RetryQueueStore queue(scratch / ("state-outage-" + tag) / "retry-queue.json", std::nullopt);
        queuedAfterOutage = queue.read().size();
    }
    const double median = medianOf(syncTimes);
    std::printf("First sync of %d files (ultra): %.2f s (median), %.0f files/s, %.2f requests per file\n", count,
                median, count / median, static_cast<double>(lastSync.requests) / count);
    std::printf("  bare libcurl floor: %.2f s (median), %.0f files/s; sync / floor throughput min %.2f, "
                "median %.2f (target >= 0.7)\n",
                medianOf(bareTimes), count / medianOf(bareTimes), minOf(bareRatios), medianOf(bareRatios));
    std::printf("  floor through the program's client: %.2f s (median); sync / floor throughput min %.2f, "
                "median %.2f\n",
                medianOf(clientTimes), minOf(clientRatios), medianOf(clientRatios));
    std::printf("  processor time of the sending thread per file (median): sync %.0f us, bare floor %.0f us, "
                "client floor %.0f us\n",
                medianOf(syncCPU) * 1e6 / count, medianOf(bareCPU) * 1e6 / count, medianOf(clientCPU) * 1e6 / count);
    std::cout << "  " << lastSync.summary << '\n';
    if (withOutage) {
        std::printf("Outage (every upload fails): ratio to the succeeding sync min %.2f, median %.2f "
                    "(target <= 1), %zu items queued\n",
                    minOf(outageRatios), medianOf(outageRatios), queuedAfterOutage);
        std::cout << "  " << lastOutage.summary << '\n';
    }
}

// 4. A start with a long retry queue and a healthy backend (the folder itself
//    is empty), next to the floor for the same requests.
void benchDrain(testing::BackendEmulator& backend, const PublicConfig& config, const std::filesystem::path& scratch,
                int queuedCount) {
    const auto files = makeTree(scratch / "queued", queuedCount);
    const std::string userID = *backend.userId("bench@example.com");
    const std::string emptyRoot = (scratch / "empty").string();
    std::filesystem::create_directories(emptyRoot);
    std::vector<RetryQueueItem> items;
    items.reserve(files.size());
    for (const auto& file : files) {
        const std::string logical = file.parent_path().filename().string() + "/" + file.filename().string();
        items.push_back(RetryQueueItem{file.string(), FileRules::buildStorageKey(userID, emptyRoot, logical),
                                       FileRules::legacyStorageKey(userID, logical),
                                       static_cast<std::int64_t>(std::filesystem::file_size(file)), "text/plain",
                                       FileRules::sha256Hex(file), logical, userID, 0, "The request timed out"});
    }
    std::vector<double> ratios;
    std::size_t left = 0;
    for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(round);
        std::filesystem::create_directories(scratch / ("state-floor-drain-" + tag));
        const double floor =
            timeClientFloor(backend, config, scratch / ("state-floor-drain-" + tag), files, "floor-drain-" + tag);
        const auto state = scratch / ("state-drain-" + tag);
        std::filesystem::create_directories(state);
        RetryQueueStore(state / "retry-queue.json", std::nullopt).write(items);
        const SyncRun drained = timeSync(backend, config, state, emptyRoot);
        ratios.push_back(drained.seconds / floor);
        left = RetryQueueStore(state / "retry-queue.json", std::nullopt).read().size();
    }
    std::printf("Drain of %d queued items next to the request floor: ratio min %.2f, median %.2f (target <= 1.5), "
                "%zu items left\n",
                queuedCount, minOf(ratios), medianOf(ratios), left);
}

// 6. Files below the watched folder queued by a start whose every upload
//    failed, then drained by the next start, with kExtraMounts more mounts
//    elsewhere on the machine (as snaps, containers and automounts add) and
//    without: the drain alone is timed, from its first line to the scan's.
constexpr int kExtraMounts = 1000;

struct DrainFigures {
    double seconds = 0;
    double cpuSeconds = 0; // of the draining thread
    std::size_t left = 0;  // items still queued after it
};

DrainFigures timeDrainBelow(testing::BackendEmulator& backend, const PublicConfig& config,
                            const std::filesystem::path& scratch, const std::string& tag, int count) {
    const auto root = scratch / ("below-" + tag);
    const auto state = scratch / ("state-below-" + tag);
    std::filesystem::create_directories(state);
    makeTree(root, count);
    signedIn(backend, state);
    {
        Services s = makeServices(config, state);
        backend.failNext("POST", "/storage/v1/object/", -1, 503);
        s.coordinator->startSync({root.string()}, SyncMode::ultra);
        s.coordinator->stopSync();
        backend.clearFaults();
    }
    DrainFigures figures;
    {
        Services s = makeServices(config, state);
        std::mutex mutex;
        Clock::time_point began;
        double cpuBegan = 0;
        s.coordinator->setLogHandler([&](const std::string& line) {
            std::lock_guard lock(mutex);
            if (line.rfind("Retrying ", 0) == 0) {
                began = Clock::now();
                cpuBegan = threadSeconds();
            } else if (line.rfind("Initial scan: ", 0) == 0) {
                figures.seconds = secondsOf(Clock::now() - began);
                figures.cpuSeconds = threadSeconds() - cpuBegan;
            }
        });
        s.coordinator->startSync({root.string()}, SyncMode::ultra);
        s.coordinator->stopSync();
    }
    figures.left = RetryQueueStore(state / "retry-queue.json", std::nullopt).read().size();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    std::filesystem::remove_all(state, ignored);
    return figures;
}

void benchDrainBelowRoot(testing::BackendEmulator& backend, const PublicConfig& config,
                         const std::filesystem::path& scratch, int count) {
    const auto extra = scratch / "extra-mounts";
    std::vector<double> plain;
    std::vector<double> mounted;
    std::vector<double> plainCPU;
    std::vector<double> mountedCPU;
    std::vector<double> ratios;
    std::size_t left = 0;
    const auto drainWithMounts = [&](const std::string& tag) {
        for (int i = 0; i < kExtraMounts; ++i) {
            const auto at = extra / std::to_string(i);
            std::filesystem::create_directories(at);
            if (::mount("bench-extra", at.c_str(), "tmpfs", 0, nullptr) != 0) {
                throw std::runtime_error(std::string("cannot mount: ") + std::strerror(errno));
            }
        }
        const DrainFigures figures = timeDrainBelow(backend, config, scratch, tag, count);
        for (int i = 0; i < kExtraMounts; ++i) ::umount2((extra / std::to_string(i)).c_str(), MNT_DETACH);
        return figures;
    };
    for (int round = 0; round < kRounds; ++round) {
        // Each goes first in turn, so that neither always meets a warmer machine.
        const std::string tag = std::to_string(round);
        DrainFigures without;
        DrainFigures with;
        if (round % 2 == 0) {
            without = timeDrainBelow(backend, config, scratch, "plain-" + tag, count);
            with = drainWithMounts("mounts-" + tag);
        } else {
            with = drainWithMounts("mounts-" + tag);
            without = timeDrainBelow(backend, config, scratch, "plain-" + tag, count);
        }
        plain.push_back(without.seconds);
        mounted.push_back(with.seconds);
        plainCPU.push_back(without.cpuSeconds);
        mountedCPU.push_back(with.cpuSeconds);
        ratios.push_back(with.seconds / without.seconds);
        left = std::max(without.left, with.left);
    }
    std::printf("Drain of %d queued files below the watched folder: %.2f ms per file (median) without more "
                "mounts, %.2f ms with %d more; ratio min %.2f, median %.2f (target <= 1.10); processor time of the draining "
                "thread per file (median) %.0f us and %.0f us; %zu items left\n",
                count, medianOf(plain) * 1e3 / count, medianOf(mounted) * 1e3 / count, kExtraMounts, minOf(ratios),
                medianOf(ratios), medianOf(plainCPU) * 1e6 / count, medianOf(mountedCPU) * 1e6 / count, left);
}

} // namespace

int main(int argc, char** argv) {
    const int unchangedCount = argc > 1 ? std::atoi(argv[1]) : 100'000;
    const int firstSyncCount = argc > 2 ? std::atoi(argv[2]) : 2'000;
    const int queuedCount = argc > 3 ? std::atoi(argv[3]) : 5'000;
    const int largeUnchangedCount = argc > 4 ? std::atoi(argv[4]) : 300'000;
    const int largeFirstSyncCount = argc > 5 ? std::atoi(argv[5]) : 20'000;
    const int queuedBelowCount = argc > 6 ? std::atoi(argv[6]) : 2'000;
    std::vector<int> folderCounts;
    for (int i = 7; i < argc; ++i) folderCounts.push_back(std::atoi(argv[i]));
    if (argc <= 7) folderCounts = {2'000, 20'000};
    std::erase(folderCounts, 0);
    const bool inNamespace = std::getenv(kInNamespace) != nullptr;
    curl_global_init(CURL_GLOBAL_DEFAULT);
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

    if (unchangedCount > 0) {
        benchRescan(backend, config, scratch, "plain", unchangedCount);
        benchRescan(backend, config, scratch, "1 % accented", unchangedCount, TreeShape{100, 0});
        benchRescan(backend, config, scratch, "half unsupported", unchangedCount, TreeShape{0, 1});
    }
    if (largeUnchangedCount > 0) benchRescan(backend, config, scratch, "plain", largeUnchangedCount);
    if (firstSyncCount > 0) benchFirstSync(backend, config, scratch, firstSyncCount, true);
    if (largeFirstSyncCount > 0) benchFirstSync(backend, config, scratch, largeFirstSyncCount, false);
    if (queuedCount > 0) benchDrain(backend, config, scratch, queuedCount);
    if (inNamespace) {
        if (queuedBelowCount > 0) benchDrainBelowRoot(backend, config, scratch, queuedBelowCount);
        for (int count : folderCounts) benchVolumeInside(backend, config, scratch, count);
    } else if ((queuedBelowCount > 0 || !folderCounts.empty()) &&
               !runMountPartsInOwnNamespace(queuedBelowCount, folderCounts)) {
        std::cout << "Drain below the folder and rescan with a volume inside: skipped (no user and mount "
                     "namespace to be had here)\n";
    }

    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
    return 0;
}
