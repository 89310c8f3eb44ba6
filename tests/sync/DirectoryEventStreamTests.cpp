#include "Sync/DirectoryEventStream.hpp"
#include "Sync/FileRules.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarnwell::DirectoryEventStream;

namespace {

// Generous bound for anything that should arrive "soon"; tests only wait this
// long when something is broken.
constexpr auto kEventually = 15s;
constexpr auto kShortLatency = 50ms;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tarnwell-events-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = fs::canonical(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Polls for a condition that no callback announces.
bool eventually(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + kEventually;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void writeFile(const fs::path& path, const std::string& text = "x") {
    std::ofstream out(path, std::ios::app);
    out << text;
}

// Gathers what a stream delivers and lets a test wait for it.
class Collector {
public:
    DirectoryEventStream::PathsCallback pathsCallback() {
        return [this](const std::vector<std::string>& paths) {
            std::lock_guard lock(mutex_);
            batches_.push_back(paths);
            changed_.notify_all();
        };
    }
    DirectoryEventStream::ErrorCallback errorCallback() {
        return [this](const std::string& message) {
            std::lock_guard lock(mutex_);
            errors_.push_back(message);
            changed_.notify_all();
        };
    }

    bool waitFor(const std::function<bool()>& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kEventually, done);
    }
    bool waitForPath(const fs::path& path) { return waitForPaths({path}); }
    bool waitForPaths(const std::vector<fs::path>& paths) {
        return waitFor([&] {
            return std::all_of(paths.begin(), paths.end(), [&](const fs::path& path) {
                return sawLocked([&](const std::string& p) { return p == path.string(); });
            });
        });
    }
    bool waitForErrors(std::size_t count) {
        return waitFor([&] { return errors_.size() >= count; });
    }

    // Whether any delivered path is path itself or lies below it.
    bool sawAnythingUnder(const fs::path& path) {
        const std::string folder = path.string();
        std::lock_guard lock(mutex_);
        return sawLocked([&](const std::string& p) {
            return p == folder || p.rfind(folder + "/", 0) == 0;
        });
    }
    std::vector<std::vector<std::string>> batches() {
        std::lock_guard lock(mutex_);
        return batches_;
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        batches_.clear();
    }

private:
    bool sawLocked(const std::function<bool(const std::string&)>& match) const {
        for (const auto& batch : batches_) {
            if (std::any_of(batch.begin(), batch.end(), match)) {
                return true;
            }
        }
        return false;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> batches_;
    std::vector<std::string> errors_;
};

class DirectoryEventStreamTest : public ::testing::Test {
protected:
    std::unique_ptr<DirectoryEventStream> makeStream(std::vector<std::string> roots,
                                                     DirectoryEventStream::SkipFolder skip = {},
                                                     std::chrono::milliseconds latency = kShortLatency) {
        return std::make_unique<DirectoryEventStream>(std::move(roots), collector.pathsCallback(), std::move(skip),
                                                      collector.errorCallback(), latency);
    }

    // inotify keeps the order of events across all watches of one stream, so
    // once a later change has been delivered an earlier one would have been too.
    void expectNothingUnder(const fs::path& quiet, const fs::path& marker) {
        writeFile(marker);
        ASSERT_TRUE(collector.waitForPath(marker));
        EXPECT_FALSE(collector.sawAnythingUnder(quiet)) << quiet;
    }

    TempDir temp;
    Collector collector;
};

TEST_F(DirectoryEventStreamTest, ReportsEachKindOfChangeAsAbsolutePathsOncePerBatch) {
    const fs::path root = temp.path() / "Docs";
    fs::create_directories(root / "sub");
    writeFile(root / "sub" / "old.txt");
    writeFile(root / "doomed.txt");
    writeFile(root / "plain.txt");

    // The root is given relative and with a trailing "/": paths still come
    // back absolute and under the root's own spelling.
    const fs::path previous = fs::current_path();
    fs::current_path(temp.path());
    auto stream = makeStream({"Docs/"}, {}, 1s);
    fs::current_path(previous);
    EXPECT_EQ(stream->roots(), std::vector<std::string>{root.string()});
    stream->start();
    ASSERT_TRUE(stream->isWatching());

    for (int i = 0; i < 5; ++i) {
        writeFile(root / "new.txt", "more");
    }
    fs::rename(root / "sub" / "old.txt", root / "sub" / "renamed.txt");
    fs::remove(root / "doomed.txt");
    fs::permissions(root / "plain.txt", fs::perms::owner_all);

    const std::vector<fs::path> expected{root / "new.txt", root / "sub" / "old.txt", root / "sub" / "renamed.txt",
                                         root / "doomed.txt", root / "plain.txt"};
    ASSERT_TRUE(collector.waitForPaths(expected));
    auto batches = collector.batches();
    ASSERT_FALSE(batches.empty());
    // Made well within one latency of each other: one batch, each path once.
    const auto& first = batches.front();
    for (const auto& path : expected) {
        EXPECT_EQ(std::count(first.begin(), first.end(), path.string()), 1) << path;
    }
    for (const auto& batch : batches) {
        for (const auto& path : batch) {
            EXPECT_EQ(path.rfind(root.string() + "/", 0), 0u) << path;
        }
    }
}

TEST_F(DirectoryEventStreamTest, WatchesFoldersThatAppearIncludingWhatTheyAlreadyHold) {
    const fs::path root = temp.path();
    auto stream = makeStream({root.string()});
    stream->start();
    EXPECT_EQ(stream->watchedFolderCount(), 1u);

    // Created faster than any watch can land on the inner folders.
    fs::create_directories(root / "a" / "b" / "c");
    writeFile(root / "a" / "b" / "c" / "early.txt");
    ASSERT_TRUE(collector.waitForPaths({root / "a", root / "a" / "b" / "c" / "early.txt"}));

    // Now every level is watched.
    ASSERT_TRUE(eventually([&] { return stream->watchedFolderCount() == 4u; }));
    writeFile(root / "a" / "b" / "c" / "late.txt");
    EXPECT_TRUE(collector.waitForPath(root / "a" / "b" / "c" / "late.txt"));

    // A tree moved in from outside is reported with its contents and watched.
    const fs::path outside = temp.path().parent_path() / (temp.path().filename().string() + "-outside");
    fs::create_directories(outside / "tree" / "inner");
    writeFile(outside / "tree" / "inner" / "carried.txt");
    fs::rename(outside / "tree", root / "moved-in");
    fs::remove_all(outside);
    ASSERT_TRUE(collector.waitForPaths({root / "moved-in", root / "moved-in" / "inner" / "carried.txt"}));
    writeFile(root / "moved-in" / "inner" / "after.txt");
    EXPECT_TRUE(collector.waitForPath(root / "moved-in" / "inner" / "after.txt"));
}

TEST_F(DirectoryEventStreamTest, FollowsFoldersRenamedMovedAwayOrRemoved) {
    const fs::path root = temp.path() / "root";
    const fs::path away = temp.path() / "away";
    fs::create_directories(root / "before" / "deep");
    fs::create_directories(root / "leaving" / "deep");
    fs::create_directories(root / "removed" / "deep");
    fs::create_directories(away);
    auto stream = makeStream({root.string()});
    stream->start();
    EXPECT_EQ(stream->watchedFolderCount(), 7u);

    // Renamed inside the root: changes come under the new name only.
    fs::rename(root / "before", root / "after");
    ASSERT_TRUE(collector.waitForPaths({root / "before", root / "after"}));
    collector.clear();
    writeFile(root / "after" / "deep" / "file.txt");
    ASSERT_TRUE(collector.waitForPath(root / "after" / "deep" / "file.txt"));
    EXPECT_FALSE(collector.sawAnythingUnder(root / "before"));

    // Moved out of the root: reported once, then no longer watched.
    fs::rename(root / "leaving", away / "left");
    ASSERT_TRUE(collector.waitForPath(root / "leaving"));
    fs::remove_all(root / "removed");
    ASSERT_TRUE(collector.waitForPath(root / "removed"));
    EXPECT_TRUE(eventually([&] { return stream->watchedFolderCount() == 3u; }))
        << stream->watchedFolderCount();

    collector.clear();
    writeFile(away / "left" / "deep" / "gone.txt");
    expectNothingUnder(away, root / "marker.txt");
    EXPECT_FALSE(collector.sawAnythingUnder(root / "leaving"));
}

TEST_F(DirectoryEventStreamTest, LeavesOutSkippedHiddenAndLinkedFolders) {
    const fs::path root = temp.path() / "root";
    const fs::path elsewhere = temp.path() / "elsewhere";
    fs::create_directories(root / "node_modules" / "pkg");
    fs::create_directories(root / ".git");
    fs::create_directories(root / "kept" / "Library");
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, root / "link");
    std::vector<std::string> asked;
    std::mutex askedMutex;
    auto skip = [&](const std::string& name, bool) {
        std::lock_guard lock(askedMutex);
        asked.push_back(name);
        return name == "node_modules" || name == "Library";
    };
    auto stream = makeStream({root.string()}, skip);
    stream->start();
    // The root and "kept" only.
    EXPECT_EQ(stream->watchedFolderCount(), 2u);
    {
        std::lock_guard lock(askedMutex);
        EXPECT_EQ(std::count(asked.begin(), asked.end(), "root"), 0) << "the root itself is never skipped";
    }

    writeFile(root / "node_modules" / "pkg" / "index.md");
    writeFile(root / ".git" / "HEAD.txt");
    writeFile(root / "kept" / "Library" / "x.txt");
    writeFile(elsewhere / "outside.txt");
    // Skipped folders that appear later are left alone too, and so is their
    // own creation.
    fs::create_directories(root / "kept" / "node_modules" / "later");
    writeFile(root / "kept" / "node_modules" / "later" / "x.txt");
    fs::create_directories(root / ".cache");
    writeFile(root / ".cache" / "x.txt");
    expectNothingUnder(root / "node_modules", root / "kept" / "marker.txt");
    EXPECT_FALSE(collector.sawAnythingUnder(root / ".git"));
    EXPECT_FALSE(collector.sawAnythingUnder(root / "kept" / "Library"));
    EXPECT_FALSE(collector.sawAnythingUnder(root / "kept" / "node_modules"));
    EXPECT_FALSE(collector.sawAnythingUnder(root / ".cache"));
    EXPECT_FALSE(collector.sawAnythingUnder(root / "link" / "outside.txt"));
    EXPECT_FALSE(collector.sawAnythingUnder(elsewhere));
    EXPECT_EQ(stream->watchedFolderCount(), 2u);
}

TEST_F(DirectoryEventStreamTest, RootsMayBeMissingNestedOrTheOnlyThingThatChanges) {
    const fs::path docs = temp.path() / "Docs";
    const fs::path docs2 = temp.path() / "Docs2";
    fs::create_directories(docs / "inner");
    fs::create_directories(docs2);
    auto stream = makeStream({(temp.path() / "missing").string(), docs.string(), (docs / "inner").string(),
                              docs2.string()});
    stream->start();
    ASSERT_TRUE(stream->isWatching());

    writeFile(docs / "inner" / "a.txt");
    writeFile(docs2 / "b.txt");
    ASSERT_TRUE(collector.waitForPaths({docs / "inner" / "a.txt", docs2 / "b.txt"}));
    // A folder watched as two roots is still reported once per change.
    for (const auto& batch : collector.batches()) {
        EXPECT_LE(std::count(batch.begin(), batch.end(), (docs / "inner" / "a.txt").string()), 1);
    }

    // A root that goes away is reported itself.
    fs::remove_all(docs2);
    EXPECT_TRUE(collector.waitForPath(docs2));
}

TEST_F(DirectoryEventStreamTest, AnOverflowingQueueCountsAsAChangeOfEveryRoot) {
    long queueLimit = 16384;
    if (std::ifstream in("/proc/sys/fs/inotify/max_queued_events"); in) {
        in >> queueLimit;
    }
    if (queueLimit > 200000) {
        GTEST_SKIP() << "event queue too large to overflow quickly: " << queueLimit;
    }
    const fs::path busy = temp.path() / "busy";
    const fs::path quiet = temp.path() / "quiet";
    fs::create_directories(busy);
    fs::create_directories(quiet);

    // The first batch holds the watcher thread, so the kernel queue fills.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool held = false;
    bool released = false;
    auto batches = std::make_shared<Collector>();
    auto forward = batches->pathsCallback();
    DirectoryEventStream stream({busy.string(), quiet.string()}, [&](const std::vector<std::string>& paths) {
        std::unique_lock lock(gateMutex);
        if (!held) {
            held = true;
            gateChanged.notify_all();
            gateChanged.wait(lock, [&] { return released; });
        }
        lock.unlock();
        forward(paths);
    }, {}, {}, 10ms);
    stream.start();

    writeFile(busy / "first.txt");
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, kEventually, [&] { return held; }));
    }
    for (long i = 0; i <= queueLimit; ++i) {
        int fd = ::open((busy / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    {
        std::lock_guard lock(gateMutex);
        released = true;
        gateChanged.notify_all();
    }
    EXPECT_TRUE(batches->waitForPaths({busy, quiet}));
    stream.stop();
}

TEST_F(DirectoryEventStreamTest, NothingArrivesOrIsStillRunningAfterStopReturns) {
    const fs::path root = temp.path();
    std::atomic<bool> stopped{false};
    std::atomic<bool> lateDelivery{false};
    std::atomic<int> inside{0};
    std::atomic<int> delivered{0};
    std::jthread writer([&](std::stop_token stopping) {
        for (int i = 0; !stopping.stop_requested(); ++i) {
            writeFile(root / ("churn" + std::to_string(i % 50) + ".txt"));
        }
    });
    for (int round = 0; round < 5; ++round) {
        stopped = false;
        DirectoryEventStream stream({root.string()}, [&](const std::vector<std::string>&) {
            ++inside;
            if (stopped) {
                lateDelivery = true;
            }
            std::this_thread::sleep_for(2ms);
            ++delivered;
            --inside;
        }, {}, {}, 1ms);
        stream.start();
        const int before = delivered;
        ASSERT_TRUE(eventually([&] { return delivered >= before + 3; }));
        stream.stop();
        EXPECT_EQ(inside, 0) << "stop() returned while a callback was running";
        stopped = true;
        EXPECT_FALSE(stream.isWatching());
        // A restart watches again, but the cleared callback stays cleared.
        stream.start();
        std::this_thread::sleep_for(20ms);
        stream.stop();
    }
    EXPECT_FALSE(lateDelivery);
}

TEST_F(DirectoryEventStreamTest, StopAndEvenDestructionFromInsideTheCallbackAreSafe) {
    const fs::path root = temp.path();

    // stop() inside the callback: no deadlock, nothing more delivered.
    std::atomic<int> calls{0};
    DirectoryEventStream* self = nullptr;
    DirectoryEventStream stopping({root.string()}, [&](const std::vector<std::string>&) {
        ++calls;
        self->stop();
        self->stop();
    }, {}, {}, 1ms);
    self = &stopping;
    stopping.start();
    writeFile(root / "one.txt");
    ASSERT_TRUE(eventually([&] { return !stopping.isWatching(); }));
    writeFile(root / "two.txt");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls, 1);
    // Restarted from another thread; the thread that stopped itself is
    // joined by the next stop().
    stopping.setOnPathsChanged(collector.pathsCallback());
    stopping.start();
    writeFile(root / "three.txt");
    EXPECT_TRUE(collector.waitForPath(root / "three.txt"));
    stopping.stop();

    // The owner drops the stream from inside its callback.
    auto owned = std::make_unique<DirectoryEventStream>(std::vector<std::string>{root.string()},
                                                        DirectoryEventStream::PathsCallback{},
                                                        DirectoryEventStream::SkipFolder{},
                                                        DirectoryEventStream::ErrorCallback{}, 1ms);
    std::atomic<bool> destroyed{false};
    owned->setOnPathsChanged([&](const std::vector<std::string>&) {
        owned.reset();
        destroyed = true;
    });
    owned->start();
    writeFile(root / "four.txt");
    ASSERT_TRUE(eventually([&] { return destroyed.load(); }));
}

// The watch limit counts per user namespace, so the test runs itself again as
// a child in a fresh one with a limit of 3. The child is made by clone() and
// re-executed at once: sanitizer runtimes may add a thread to a forked child,
// and a thread of the parent's making must not run in the new namespace.
constexpr const char* kLimitRootVariable = "TARNWELL_TEST_WATCH_LIMIT_ROOT";

// Reads a child's whole output, waits for it, and gathers the text of its
// lines that begin with `prefix`, one per line.
struct ChildReport {
    int status = 0;
    std::string output;
    std::string report;
};

ChildReport collectChildReport(pid_t pid, int outputFD, const std::string& prefix) {
    ChildReport result;
    char buffer[512];
    for (ssize_t n; (n = ::read(outputFD, buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(outputFD);
    EXPECT_EQ(::waitpid(pid, &result.status, 0), pid);
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) {
            result.report += line.substr(prefix.size()) + "\n";
        }
    }
    return result;
}

struct LimitChild {
    int output;
    int go;
    std::vector<char*> argv;
    std::vector<char*> envp;
};

int startLimitChild(void* raw) {
    auto* child = static_cast<LimitChild*>(raw);
    char ready = 0;
    if (::read(child->go, &ready, 1) != 1) {
        ::_exit(3); // the parent could not map the namespace
    }
    ::dup2(child->output, STDOUT_FILENO);
    ::execve("/proc/self/exe", child->argv.data(), child->envp.data());
    ::_exit(4);
}

void runAsLimitChild(const fs::path& root) {
    auto say = [](const std::string& text) {
        std::string line = "LIMIT " + text + "\n";
        [[maybe_unused]] auto written = ::write(STDOUT_FILENO, line.data(), line.size());
    };
    if (!(std::ofstream("/proc/sys/user/max_inotify_watches") << "3" << std::flush)) {
        say("SKIP cannot lower the limit");
        ::_exit(0);
    }
    Collector collector;
    {
        DirectoryEventStream stream({root.string()}, collector.pathsCallback(), {}, collector.errorCallback(),
                                    kShortLatency);
        stream.start();
        say("WATCHED " + std::to_string(stream.watchedFolderCount()));
        if (!collector.waitForErrors(1)) {
            say("NO MESSAGE");
        }
        // A folder past the limit appearing later: not told again.
        fs::create_directories(root / "more");
        writeFile(root / "more.txt");
        if (!collector.waitForPath(root / "more.txt")) {
            say("ROOT NOT WATCHED");
        }
        stream.stop();
    }
    for (const auto& message : collector.errors()) {
        say("MESSAGE " + message);
    }
    ::_exit(0);
}

TEST(DirectoryEventStreamLimitTest, HittingTheWatchLimitIsExplainedAndWhatIsWatchedStaysWatched) {
    if (const char* childRoot = std::getenv(kLimitRootVariable)) {
        runAsLimitChild(childRoot);
    }
    TempDir temp;
    const fs::path root = temp.path();
    for (int i = 0; i < 6; ++i) {
        fs::create_directories(root / ("folder" + std::to_string(i)));
    }
    int output[2];
    int go[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    std::string program = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=DirectoryEventStreamLimitTest.*";
    std::string variable = std::string(kLimitRootVariable) + "=" + root.string();
    LimitChild child{output[1], go[0], {program.data(), filter.data(), nullptr}, {}};
    for (char** entry = environ; *entry; ++entry) {
        child.envp.push_back(*entry);
    }
    child.envp.push_back(variable.data());
    child.envp.push_back(nullptr);

    std::vector<char> stack(256 * 1024);
    pid_t pid = ::clone(startLimitChild, stack.data() + stack.size(), CLONE_NEWUSER | SIGCHLD, &child);
    ::close(output[1]);
    ::close(go[0]);
    if (pid < 0) {
        ::close(output[0]);
        ::close(go[1]);
        GTEST_SKIP() << "no user namespace: " << std::strerror(errno);
    }
    const std::string proc = "/proc/" + std::to_string(pid);
    const bool mapped = static_cast<bool>(std::ofstream(proc + "/uid_map") << "0 " << ::geteuid() << " 1" << std::flush)
        && static_cast<bool>(std::ofstream(proc + "/gid_map") << "0 " << ::getegid() << " 1" << std::flush);
    if (mapped) {
        [[maybe_unused]] auto written = ::write(go[1], "x", 1);
    }
    ::close(go[1]);
    const ChildReport result = collectChildReport(pid, output[0], "LIMIT ");
    if (!mapped) {
        GTEST_SKIP() << "cannot map the user namespace";
    }
    ASSERT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0) << result.output;
    const std::string& report = result.report;
    if (report.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << report;
    }
    EXPECT_EQ(report, "WATCHED 3\nMESSAGE Too many folders to watch: the system limit of 3 watches "
                      "(fs.inotify.max_user_watches) was reached; some changes below "
                          + root.string() + " will be missed\n");
}

// A watch of the whole disk leaves the kernel's folders directly in "/"
// (such as /run and /dev, busy with files that are never synced) alone, as
// the walk does, while a folder of the same name further down is watched.
// The test runs itself again as a child whose "/" is a temporary folder.
constexpr const char* kFilesystemRootVariable = "TARNWELL_TEST_FILESYSTEM_ROOT";

void runAsFilesystemRootChild(const fs::path& folder) {
    auto say = [](const std::string& text) {
        std::string line = "ROOT " + text + "\n";
        [[maybe_unused]] auto written = ::write(STDOUT_FILENO, line.data(), line.size());
    };
    if (::chroot(folder.c_str()) != 0 || ::chdir("/") != 0) {
        say("SKIP cannot change the root folder");
        ::_exit(0);
    }
    Collector collector;
    {
        DirectoryEventStream stream(
            {"/"}, collector.pathsCallback(),
            [](const std::string& name, bool inFilesystemRoot) {
                return tarnwell::FileRules::shouldSkipDirectory(name, inFilesystemRoot);
            },
            collector.errorCallback(), kShortLatency);
        stream.start();
        say("WATCHED " + std::to_string(stream.watchedFolderCount()));
        writeFile("/run/busy.txt");
        writeFile("/docs/run/kept.txt");
        if (!collector.waitForPath("/docs/run/kept.txt")) {
            say("MISSED /docs/run/kept.txt");
        }
        if (collector.sawAnythingUnder("/run")) {
            say("REPORTED /run");
        }
        stream.stop();
    }
    ::_exit(0);
}

TEST(DirectoryEventStreamFilesystemRootTest, KernelFoldersDirectlyInTheRootAreNotWatched) {
    if (const char* childRoot = std::getenv(kFilesystemRootVariable)) {
        runAsFilesystemRootChild(childRoot);
    }
    TempDir temp;
    fs::create_directories(temp.path() / "run");
    fs::create_directories(temp.path() / "docs" / "run");

    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    std::string program = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=DirectoryEventStreamFilesystemRootTest.*";
    std::string variable = std::string(kFilesystemRootVariable) + "=" + temp.path().string();
    std::vector<char*> argv{program.data(), filter.data(), nullptr};
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) {
        envp.push_back(*entry);
    }
    envp.push_back(variable.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        FAIL() << "cannot start the child: " << std::strerror(spawned);
    }
    const ChildReport child = collectChildReport(pid, output[0], "ROOT ");
    ASSERT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0) << child.output;
    const std::string& report = child.report;
    if (report.rfind("SKIP", 0) == 0) {
        GTEST_SKIP() << report;
    }
    // "/", "/docs" and "/docs/run".
    EXPECT_EQ(report, "WATCHED 3\n");
}

} // namespace
