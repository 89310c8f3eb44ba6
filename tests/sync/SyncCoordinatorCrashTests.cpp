// A sync killed with SIGKILL in the middle of a burst of failed uploads.
#include "sync/SyncCoordinatorHarness.hpp"

#include <csignal>
#include <functional>
#include <cstdio>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

extern char** environ;

namespace tarnwell::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChildVariable = "TARNWELL_TEST_CRASH_CHILD"; // state folder, URL and roots, one a line
constexpr int kFiles = 600;
constexpr const char* kFullDiskVariable = "TARNWELL_TEST_FULL_DISK"; // the folder to mount a small disk on

// Runs the program with its arguments and the extra environment variable;
// returns its wait status.
int runWith(std::vector<std::string> arguments, const std::string& variable) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) envp.push_back(*entry);
    std::string extra = variable;
    envp.push_back(extra.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid ? status : -1;
}

// The child: a plain start over the roots (a tab between two) with the
// parent's stores, and then the watch, until the parent kills it.
[[noreturn]] void runAsChild(const std::string& settings) {
    std::istringstream lines(settings);
    std::string state, url, rootList;
    std::getline(lines, state);
    std::getline(lines, url);
    std::getline(lines, rootList);
    std::vector<std::string> roots;
    std::istringstream list(rootList);
    for (std::string root; std::getline(list, root, '\t');) roots.push_back(root);
    const PublicConfig config{url, "local-anon-key", "files", "http://127.0.0.1/"};
    auto sessions = std::make_shared<SessionStore>(fs::path(state) / "session.json", std::nullopt);
    auto client = std::make_shared<SupabaseHTTPClient>(config, sessions);
    SyncCoordinator coordinator(config, client,
                                std::make_shared<LocalDatabase>(fs::path(state) / "state.sqlite3", std::nullopt),
                                std::make_shared<RetryQueueStore>(fs::path(state) / "retry-queue.json", std::nullopt),
                                sessions);
    coordinator.startSync(roots, SyncMode::ultra);
    while (true) ::pause();
}

std::string integrityOf(const fs::path& databaseFile) {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    std::string result;
    sqlite3_open_v2(databaseFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
        result += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return result;
}

// Starts the child over the roots and kills it once `ready` holds.
void killChildWhen(SyncHarness& h, const std::vector<std::string>& roots, const std::function<bool()>& ready) {
    std::string program = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=SyncCoordinatorCrash.*";
    std::string list;
    for (const auto& root : roots) list += (list.empty() ? "" : "\t") + root;
    std::string variable =
        std::string(kChildVariable) + "=" + h.temp.path().string() + "\n" + h.backend.baseURL() + "\n" + list;
    std::vector<char*> argv{program.data(), filter.data(), nullptr};
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) envp.push_back(*entry);
    envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
    for (int waited = 0; !ready() && waited < 60'000; waited += 5) std::this_thread::sleep_for(5ms);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself, status " << status;
}

// Every second file's upload fails; uploads are slowed so that the kill
// lands while failures keep arriving, some written, some still in memory.
TEST(SyncCoordinatorCrash, aKillDuringABurstOfFailuresLosesNoFile) {
    if (const char* settings = std::getenv(kChildVariable)) runAsChild(settings);

    SyncHarness h;
    h.signIn();
    const std::string root = h.folder("Docs");
    std::vector<fs::path> files;
    for (int i = 0; i < kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.txt", i);
        files.push_back(h.write(std::string("Docs/") + name, "document " + std::to_string(i)));
    }
    std::set<std::string> failing;
    for (int i = 1; i < kFiles; i += 2) {
        const std::string key = h.key(root, files[i].filename().string());
        failing.insert(files[i].string());
        Fault fault;
        fault.method = "POST";
        fault.pathPrefix = std::string(kUploadPath) + "files/" + key;
        fault.count = -1;
        fault.delay = 5ms;
        fault.status = 503;
        h.backend.injectFault(fault);
    }
    h.backend.delay("POST", kUploadPath, 5ms);

    killChildWhen(h, {root}, [&] { return h.requests("POST", kUploadPath) >= kFiles * 6 / 10; });

    // What the kill left: a queue that decodes, a sound database, and every
    // file either synced, queued, or still unlike its row (a file whose row
    // records no content yet was in flight).
    std::set<std::string> queued;
    if (fs::exists(h.retryQueue->url())) {
        const auto array = nlohmann::json::parse(TempDir::read(h.retryQueue->url()));
        ASSERT_TRUE(array.is_array());
        for (const auto& element : array) queued.insert(RetryQueueItem::fromJSON(element).localPath);
    }
    EXPECT_EQ(integrityOf(h.temp / "state.sqlite3"), "ok");
    std::size_t synced = 0;
    for (const auto& file : files) {
        const auto row = h.database->fileRecord(file.string());
        if (failing.count(file.string())) {
            EXPECT_TRUE(!row || row->sha256.empty()) << file;
        } else if (row && !row->sha256.empty()) {
            ++synced;
            EXPECT_TRUE(h.backend.object(row->storageKey)) << file;
        }
    }
    for (const auto& path : queued) EXPECT_TRUE(failing.count(path)) << path;
    EXPECT_GT(synced, 0u);

    // A restart with a healthy backend sends everything.
    h.backend.clearFaults();
    h.make();
    h.syncOnce(root);
    for (const auto& file : files) {
        const auto row = h.database->fileRecord(file.string());
        ASSERT_TRUE(row) << file;
        EXPECT_EQ(row->sha256, FileRules::sha256Hex(file));
        EXPECT_TRUE(h.backend.object(row->storageKey)) << file;
    }
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A kill once the backend has registered a new file, before its job and its
// row: the next start sends the file again under the same key and gives it
// its job; when the file was removed meanwhile, its hosted row is marked
// deleted with its delete job.
TEST(SyncCoordinatorCrash, aKillAfterTheBackendRegisteredANewFileLeavesNoHostedRowBehind) {
    if (const char* settings = std::getenv(kChildVariable)) runAsChild(settings);
    for (const bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "the file removed before the next start" : "the file still there");
        SyncHarness h;
        h.signIn();
        const auto file = h.write("Docs/a.txt", "registered, then the kill");
        const std::string root = h.folder("Docs");
        h.backend.delay("POST", kJobsPath, 60s, 1);
        killChildWhen(h, {root}, [&] { return h.backend.pendingFaults() == 0; });
        h.backend.clearFaults();
        ASSERT_EQ(h.backend.fileCount(), 1u);

        if (removed) fs::remove(file);
        h.make();
        h.syncOnce(root);
        const auto remote = *h.backend.fileByKey(h.userID, h.key(root, "a.txt"));
        EXPECT_EQ(h.backend.fileCount(), 1u);
        EXPECT_EQ(remote["is_deleted"], removed);
        const auto jobs = h.backend.jobsForFile(remote["id"]);
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(jobs[0]["kind"], removed ? "delete" : "ingest");
        EXPECT_EQ(h.database->fileRecord(file.string()).has_value(), !removed);
    }
}

// A new file registered and its job refused, then a kill within the second
// in which the queue's write of its item may still wait: the file's row
// names the key, so that the file removed meanwhile leaves no live row, and
// moved into another watched folder one.
TEST(SyncCoordinatorCrash, aKillSoonAfterARefusedJobLeavesNoHostedRowBehind) {
    if (const char* settings = std::getenv(kChildVariable)) runAsChild(settings);
    for (const auto after : {100ms, 400ms, 800ms}) {
        for (const bool moved : {false, true}) {
            SCOPED_TRACE("killed " + std::to_string(after.count()) + " ms after the refusal, the file then " +
                         (moved ? "moved into another watched folder" : "removed"));
            SyncHarness h;
            h.signIn();
            const auto file = h.write("Docs/a.txt", "registered, its job refused");
            const std::string docs = h.folder("Docs"), other = h.folder("Other");
            h.backend.failNext("POST", kJobsPath, 1, 503);
            std::optional<std::chrono::steady_clock::time_point> refused;
            killChildWhen(h, {docs}, [&] {
                if (!refused && h.requests("POST", kJobsPath) > 0) refused = std::chrono::steady_clock::now();
                return refused && std::chrono::steady_clock::now() - *refused >= after;
            });
            ASSERT_EQ(h.liveKeys(), std::vector<std::string>{h.key(docs, "a.txt")});

            if (moved) {
                fs::rename(file, other + "/a.txt");
            } else {
                fs::remove(file);
            }
            h.make();
            h.syncOnce(std::vector<std::string>{docs, other});
            EXPECT_EQ(h.liveKeys(), moved ? std::vector<std::string>{h.key(other, "a.txt")} : std::vector<std::string>{});
            EXPECT_TRUE(h.retryQueue->read().empty());
        }
    }
}

// A file synced under the outer folder, then sent under the key of an inner
// folder added to the list, and the process killed once that key's hosted
// row is registered, before the file's row names it: that key gives way
// when a folder inside takes the file over, or when the file is removed.
TEST(SyncCoordinatorCrash, aKillBetweenAMovedFilesNewHostedRowAndItsRowLeavesNoSecondLiveRow) {
    if (const char* settings = std::getenv(kChildVariable)) runAsChild(settings);
    for (const bool removed : {false, true}) {
        SCOPED_TRACE(removed ? "the file removed before the next start" : "a folder inside added");
        SyncHarness h;
        h.signIn();
        const auto file = h.write("R/B/C/x.txt", "synced under R");
        const std::string r = h.folder("R"), b = h.folder("R/B"), c = h.folder("R/B/C");
        h.make();
        h.syncOnce(r);
        h.coordinator.reset();
        h.backend.delay("POST", kJobsPath, 60s, 1);
        killChildWhen(h, {r, b}, [&] { return h.backend.pendingFaults() == 0; });
        h.backend.clearFaults();
        ASSERT_TRUE(h.backend.fileByKey(h.userID, h.key(b, "C/x.txt")));

        if (removed) fs::remove(file);
        h.make();
        h.syncOnce(removed ? std::vector<std::string>{r, b} : std::vector<std::string>{r, b, c});
        EXPECT_EQ(h.liveKeys(), removed ? std::vector<std::string>{} : std::vector<std::string>{h.key(c, "x.txt")});
        EXPECT_TRUE(h.retryQueue->read().empty());
    }
}

// A pass that moves files to the key of a folder added inside their own,
// killed at a moment chosen at random (by how many requests the backend has
// had from it), the files then removed: none of their keys stays live.
TEST(SyncCoordinatorCrash, aPassMovingFilesKilledAtAnyMomentLeavesNoLiveRowOnceTheyAreRemoved) {
    if (const char* settings = std::getenv(kChildVariable)) runAsChild(settings);
    constexpr int kFiles = 12;
    const auto prepare = [](SyncHarness& h, std::string& r, std::string& b) {
        h.signIn();
        for (int i = 0; i < kFiles; ++i) h.write("R/B/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
        r = h.folder("R");
        b = h.folder("R/B");
        h.make();
        h.syncOnce(r);
        h.coordinator.reset();
        h.backend.clearRequests();
    };
    std::size_t requests = 0;
    {
        SyncHarness h;
        std::string r, b;
        prepare(h, r, b);
        h.make();
        h.syncOnce(std::vector<std::string>{r, b});
        requests = h.backend.requests().size();
        ASSERT_EQ(h.liveKeys().size(), static_cast<std::size_t>(kFiles));
    }
    std::mt19937 random(1);
    for (int round = 0; round < 6; ++round) {
        const std::size_t at = 1 + random() % requests;
        SCOPED_TRACE("killed after request " + std::to_string(at) + " of " + std::to_string(requests));
        SyncHarness h;
        std::string r, b;
        prepare(h, r, b);
        h.backend.delay("", "/", 2ms);
        killChildWhen(h, {r, b}, [&] { return h.backend.requests().size() >= at; });
        h.backend.clearFaults();
        for (int i = 0; i < kFiles; ++i) fs::remove(h.temp / ("tree/R/B/f" + std::to_string(i) + ".txt"));
        h.make();
        h.syncOnce(std::vector<std::string>{r, b});
        EXPECT_EQ(h.liveKeys(), std::vector<std::string>{});
        EXPECT_TRUE(h.retryQueue->read().empty());
    }
}

// The retry queue on a full disk: the failed writes are told once, with the
// reason, and once there is room again the queue is written. The small disk
// is a file system mounted inside a user and mount namespace of the test's
// own, where the machine allows one.
TEST(SyncCoordinatorCrash, aFullDiskIsToldOnceWithItsReason) {
    const char* disk = std::getenv(kFullDiskVariable);
    if (!disk) {
        TempDir dir;
        fs::create_directory(dir / "disk");
        const std::string mount = "unshare -rm mount -t tmpfs -o size=64k tmpfs '" + (dir / "disk").string() + "'";
        if (std::system((mount + " >/dev/null 2>&1").c_str()) != 0) {
            GTEST_SKIP() << "this machine allows no unprivileged mount namespace";
        }
        const int status =
            runWith({"unshare", "-rm", fs::read_symlink("/proc/self/exe").string(),
                     "--gtest_filter=SyncCoordinatorCrash.aFullDiskIsToldOnceWithItsReason"},
                    std::string(kFullDiskVariable) + "=" + (dir / "disk").string());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return;
    }
    ASSERT_EQ(::mount("tmpfs", disk, "tmpfs", 0, "size=64k"), 0);
    const fs::path filler = fs::path(disk) / "filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);

    SyncHarness h;
    h.retryQueue = std::make_shared<RetryQueueStore>(fs::path(disk) / "retry-queue.json", std::nullopt);
    h.signIn();
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Docs/") + name, name);
    const std::string root = h.folder("Docs");
    h.backend.failNext("POST", kUploadPath, -1, 503);
    h.make();
    h.syncOnce(root);
    // The queue can't be brought up to date, so the next start can't drain it.
    EXPECT_THROW(h.coordinator->startSync({root}, SyncMode::ultra), std::system_error);
    const std::string told = "Could not write " + h.retryQueue->url().string() + " (No space left on device);";
    EXPECT_EQ(countStartingWith(h.logs.values(), told), 1u);

    fs::remove(filler);
    h.syncOnce(root);
    EXPECT_EQ(countStartingWith(h.logs.values(), "Could not write "), 1u);
    EXPECT_EQ(RetryQueueStore(h.retryQueue->url(), std::nullopt).read().size(), 3u);
}

} // namespace
} // namespace tarnwell::testing
