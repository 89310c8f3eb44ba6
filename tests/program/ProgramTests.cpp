// The program as a user starts it: a child process, shown offscreen, talking
// to the loopback emulator. A quit signal must end it the way closing its
// window does, an installed copy must find its configuration wherever the
// installation was put and its desktop entry must start it from there, and
// scripts/run.sh must neither build without a display nor leave its children
// and its demo folder behind when it is killed outright.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
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

// The program running as a child; killed if a test leaves it behind. With an
// output file, its standard output and error go there.
class Child {
public:
    Child(const fs::path& program, const std::vector<std::string>& environment,
          std::vector<std::string> arguments = {}, const fs::path& output = {}) {
        std::vector<char*> envp;
        for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        std::string path = program.string();
        std::vector<char*> argv{path.data()};
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        if (!output.empty()) {
            posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
        }
        // Whatever this test inherited (a shell without job control ignores
        // SIGINT in its background jobs), the child starts with the defaults.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        if (posix_spawn(&pid_, path.c_str(), &files, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
    }
    ~Child() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
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

// The Exec line of a desktop entry, or nothing.
std::string execLine(const fs::path& entry) {
    std::ifstream in(entry);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Exec=", 0) == 0) return line;
    }
    return {};
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
    // The application menu starts the installed program, whether or not its bin is on PATH.
    EXPECT_EQ(execLine(prefix.path() / "share" / "applications" / "com.tarnwell.TarnwellNative.desktop"),
              "Exec=" + (prefix.path() / "bin" / "TarnwellNative").string());
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

// A staged installation (DESTDIR) names the program where it will be, under
// its prefix; a prefix with a blank is quoted and the entry stays valid.
TEST(ProgramTest, StagedDesktopEntryNamesTheProgramUnderItsPrefix) {
    TempDir stage;
    const std::string install = "DESTDIR='" + stage.path().string() + "' '" + TARNWELL_CMAKE_COMMAND + "' --install '" +
                                TARNWELL_BUILD_DIR + "' --prefix '/opt/Tarnwell Native' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    const fs::path entry =
        stage.path() / "opt" / "Tarnwell Native" / "share" / "applications" / "com.tarnwell.TarnwellNative.desktop";
    EXPECT_EQ(execLine(entry), "Exec=\"/opt/Tarnwell Native/bin/TarnwellNative\"");
    const std::string validate = "command -v desktop-file-validate >/dev/null || exit 0; out=$(desktop-file-validate '" +
                                 entry.string() + "' 2>&1) && [ -z \"$out\" ] || { printf '%s\\n' \"$out\"; exit 1; }";
    EXPECT_EQ(std::system(validate.c_str()), 0) << "the installed entry does not validate";
}

// scripts/run.sh started against this build tree, as on a machine where every
// package is installed and the build is up to date: `dpkg-query` and `cmake`
// are stand-ins that note each call. Its demo folders go under a runtime folder
// of the test's own.
class RunScript {
public:
    RunScript() {
        tool("dpkg-query", "printf 'install ok installed'");
        tool("cmake", "exit 0");
    }

    std::unique_ptr<Child> start(bool withDisplay, const std::string& outputName) const {
        std::vector<std::string> environment;
        std::string path;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const std::string name = text.substr(0, text.find('='));
            if (name == "PATH") path = text.substr(5);
            if (name == "PATH" || name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
                name == "XDG_RUNTIME_DIR" || name == "BUILD_DIR" || name == "SUPABASE_URL" ||
                name == "SUPABASE_ANON_KEY" || name == "DASHBOARD_URL" || name == "QV_STATE_DIR") {
                continue;
            }
            environment.push_back(text);
        }
        environment.push_back("PATH=" + tools_.path().string() + ":" + path);
        environment.push_back("XDG_RUNTIME_DIR=" + runtime_.path().string());
        environment.push_back(std::string("BUILD_DIR=") + TARNWELL_BUILD_DIR);
        if (withDisplay) environment.push_back("QT_QPA_PLATFORM=offscreen");
        return std::make_unique<Child>("/bin/bash", environment,
                                       std::vector<std::string>{std::string(TARNWELL_SOURCE_DIR) + "/scripts/run.sh"},
                                       output(outputName));
    }

    fs::path output(const std::string& name) const { return tools_.path() / name; }
    std::string calls() const { return TempDir::read(tools_.path() / "calls"); }

    // The run's state folder, as the script prints it once its emulator is up.
    fs::path stateFolder(const std::string& outputName, Child& run) const {
        const std::string label = "State folder for this run: ";
        std::string folder;
        waitFor(
            [&] {
                const std::string text = TempDir::read(output(outputName));
                const std::size_t at = text.find(label);
                if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
                folder = text.substr(at + label.size(), text.find('\n', at) - at - label.size());
                return true;
            },
            run);
        return folder;
    }

private:
    void tool(const std::string& name, const std::string& body) const {
        const fs::path file = tools_.write(name, "#!/bin/sh\necho \"" + name + " $*\" >>'" +
                                                     (tools_.path() / "calls").string() + "'\n" + body + "\n");
        fs::permissions(file, fs::perms::owner_all);
    }

    TempDir tools_;
    TempDir runtime_;
};

// The children of a process that run one of the given programs.
std::vector<pid_t> childrenRunning(pid_t parent, const std::vector<fs::path>& programs) {
    std::vector<pid_t> result;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = TempDir::read(entry.path() / "stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        std::string state;
        pid_t parentOfIt = 0;
        fields >> state >> parentOfIt;
        if (parentOfIt != parent) continue;
        for (const fs::path& program : programs) {
            if (fs::equivalent(fs::read_symlink(entry.path() / "exe", error), program, error)) {
                result.push_back(static_cast<pid_t>(std::stol(name)));
            }
        }
    }
    return result;
}

// Whether a process has ended (reaped, or a zombie its new parent has not reaped).
bool ended(pid_t pid) {
    const std::string stat = TempDir::read("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
}

TEST(ProgramTest, RunScriptWithoutADisplayStopsBeforeInstallingOrBuilding) {
    RunScript script;
    const auto run = script.start(false, "run.out");
    ASSERT_TRUE(run->started());
    const std::optional<int> status = run->waitForExit();
    ASSERT_TRUE(status) << "run.sh did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0);
    EXPECT_NE(TempDir::read(script.output("run.out")).find("DISPLAY"), std::string::npos)
        << TempDir::read(script.output("run.out"));
    EXPECT_EQ(script.calls(), "") << "it installed or built before it looked for a display";
}

// A kill -9 runs no trap: the window and the emulator must end by themselves,
// and the next run removes the folder the killed one left.
TEST(ProgramTest, RunScriptKilledOutrightTakesItsChildrenAlongAndTheNextRunClearsItsFolder) {
    RunScript script;
    const auto first = script.start(true, "first.out");
    ASSERT_TRUE(first->started());
    const fs::path firstState = script.stateFolder("first.out", *first);
    ASSERT_FALSE(firstState.empty()) << TempDir::read(script.output("first.out"));
    ASSERT_TRUE(waitFor([&] { return fs::exists(firstState / "state.sqlite3"); }, *first))
        << TempDir::read(script.output("first.out"));
    const std::vector<pid_t> children =
        childrenRunning(first->pid(), {TARNWELL_PROGRAM, fs::path(TARNWELL_BUILD_DIR) / "tarnwell-backend"});
    ASSERT_EQ(children.size(), 2U) << "the program and the emulator, as children of the script";
    // Only what runs is built.
    EXPECT_NE(script.calls().find(" --target TarnwellNative tarnwell-backend\n"), std::string::npos)
        << script.calls();

    first->signal(SIGKILL);
    ASSERT_TRUE(first->waitForExit());
    for (const pid_t child : children) {
        for (int i = 0; i < 6000 && !ended(child); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(ended(child)) << "process " << child << " outlived the script";
    }
    ASSERT_TRUE(fs::exists(firstState.parent_path()));

    const auto second = script.start(true, "second.out");
    ASSERT_TRUE(second->started());
    const fs::path secondState = script.stateFolder("second.out", *second);
    ASSERT_FALSE(secondState.empty()) << TempDir::read(script.output("second.out"));
    EXPECT_FALSE(fs::exists(firstState.parent_path())) << "the killed run's folder is still there";
    EXPECT_TRUE(fs::exists(secondState));
    second->signal(SIGTERM);
    ASSERT_TRUE(second->waitForExit());
    EXPECT_FALSE(fs::exists(secondState.parent_path()));
}

}  // namespace
}  // namespace tarnwell::testing
