// The program as a user starts it: a child process, shown offscreen, talking
// to the loopback emulator. A quit signal must end it the way closing its
// window does, and an installed copy must find its configuration wherever the
// installation was put.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "BackendEmulator.hpp"
#include "support/DesktopModelHarness.hpp"
#include "support/TempDir.hpp"

extern char** environ;

namespace tarnwell::testing {
namespace {

namespace fs = std::filesystem;

// The program running as a child; killed if a test leaves it behind.
class Child {
public:
    Child(const fs::path& program, const std::vector<std::string>& environment) {
        std::vector<char*> envp;
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        std::string path = program.string();
        char* argv[] = {path.data(), nullptr};
        // Whatever this test inherited (a shell without job control ignores
        // SIGINT in its background jobs), the child starts with the defaults.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        if (posix_spawn(&pid_, path.c_str(), nullptr, &attributes, argv, envp.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
    }
    ~Child() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    bool running() {
        if (pid_ <= 0 || status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
        return !status_;
    }
    void signal(int number) const { ::kill(pid_, number); }
    // The wait status once the child ended; none if it still runs after a
    // minute (a hang, not a measure of speed).
    std::optional<int> waitForExit() {
        for (int i = 0; i < 6000 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// This process's environment without the backend settings, with the
// offscreen platform and the given state folder.
std::vector<std::string> childEnvironment(const fs::path& stateFolder, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (name == "SUPABASE_URL" || name == "SUPABASE_ANON_KEY" || name == "DASHBOARD_URL" ||
            name == "SUPABASE_BUCKET" || name == "SUPABASE_FILES_BUCKET" || name == "QV_MAX_UPLOAD_BYTES" ||
            name == "QV_STATE_DIR" || name == "QT_QPA_PLATFORM") {
            continue;
        }
        result.push_back(text);
    }
    result.push_back("QT_QPA_PLATFORM=offscreen");
    result.push_back("QV_STATE_DIR=" + stateFolder.string());
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

bool waitFor(const std::function<bool()>& done, Child& child) {
    for (int i = 0; i < 6000 && !done(); ++i) {
        if (!child.running()) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// What a clean end leaves in the state folder: the database closed (its
// write-ahead log folded back in and removed) and a readable retry queue.
void expectConsistentState(const fs::path& folder) {
    std::error_code error;
    EXPECT_TRUE(fs::exists(folder / "state.sqlite3", error));
    EXPECT_FALSE(fs::exists(folder / "state.sqlite3-wal", error));
    if (fs::exists(folder / "retry-queue.json", error)) {
        std::ifstream file(folder / "retry-queue.json");
        EXPECT_TRUE(nlohmann::json::parse(file, nullptr, false).is_array());
    }
}

void expectCleanExit(std::optional<int> status, const char* what) {
    ASSERT_TRUE(status) << what << ": the program did not end";
    EXPECT_TRUE(WIFEXITED(*status)) << what << ": ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
    if (WIFEXITED(*status)) {
        EXPECT_EQ(WEXITSTATUS(*status), 0) << what;
    }
}

TEST(ProgramTest, InstalledCopyFindsItsConfigurationAndSIGTERMEndsItMidUpload) {
    DesktopModelHarness harness;
    TempDir documents;
    documents.write("first.txt", "synced before the restart");
    ASSERT_TRUE(harness.signIn());
    ASSERT_TRUE(harness.startSyncing(documents.path()));
    harness.model.reset();  // signed in, syncing: the program starts syncing again by itself

    TempDir prefix;
    const std::string install = std::string("'") + TARNWELL_CMAKE_COMMAND + "' --install '" + TARNWELL_BUILD_DIR +
                                "' --prefix '" + prefix.path().string() + "' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    // The installed configuration names this emulator; the environment names none.
    const nlohmann::json config{{"SUPABASE_URL", harness.backend.baseURL()},
                                {"SUPABASE_ANON_KEY", harness.backend.anonKey()},
                                {"DASHBOARD_URL", harness.backend.baseURL() + "/dashboard"}};
    std::ofstream(prefix.path() / "share" / "TarnwellNative" / "public-config.json", std::ios::trunc) << config.dump();

    // The next upload is held until the emulator stops, so the signal comes mid-upload.
    Fault hold;
    hold.pathPrefix = "/storage/v1/object/";
    hold.count = -1;
    hold.delay = std::chrono::minutes(10);
    harness.backend.injectFault(hold);
    documents.write("second.txt", "new while the program was closed");

    Child program(prefix.path() / "bin" / "TarnwellNative", childEnvironment(harness.state.path()));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(waitFor([&] { return harness.backend.stats().injectedFaults > 0; }, program))
        << "the installed program never uploaded: its configuration was not found";
    program.signal(SIGTERM);
    expectCleanExit(program.waitForExit(), "SIGTERM");
    expectConsistentState(harness.state.path());
}

TEST(ProgramTest, SIGINTAndSIGHUPCloseItLikeItsWindow) {
    DesktopModelHarness harness;
    ASSERT_TRUE(harness.signIn());
    harness.model.reset();
    const std::vector<std::string> backendSettings{"SUPABASE_URL=" + harness.backend.baseURL(),
                                                   "SUPABASE_ANON_KEY=" + harness.backend.anonKey(),
                                                   "DASHBOARD_URL=" + harness.backend.baseURL() + "/dashboard"};
    for (const int signal : {SIGINT, SIGHUP}) {
        const std::size_t before = harness.backend.requestCount("", "/");
        Child program(TARNWELL_PROGRAM, childEnvironment(harness.state.path(), backendSettings));
        ASSERT_TRUE(program.started());
        // Signed in: the program reads the remote state as soon as its window is up.
        ASSERT_TRUE(waitFor([&] { return harness.backend.requestCount("", "/") > before; }, program)) << signal;
        program.signal(signal);
        expectCleanExit(program.waitForExit(), signal == SIGINT ? "SIGINT" : "SIGHUP");
        expectConsistentState(harness.state.path());
    }
}

}  // namespace
}  // namespace tarnwell::testing
