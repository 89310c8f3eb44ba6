// Speed of the folder walk and of the content digest, each measured against
// the system tool doing the same work on the same data in the same run:
//   walk:   FileRules::enumerateFiles over 100,000 files in 1,000 folders
//           vs. find ROOT -type f -printf '%s %T@\n'   (target: at most 1.5x the time)
//   digest: FileRules::sha256Hex on a 1 GiB file
//           vs. openssl dgst -sha256                   (target: at most 1.05x the time)
//           and sha256sum                              (shown only: it may lack the CPU's SHA instructions)
//           three rounds each, min and median printed, the target judged on the medians
//
// Usage: bench_file_rules [PARENT_DIR]
// The data is generated in a fresh folder under PARENT_DIR (default: the
// system's temporary folder) and removed at the end. Exit status 1 when a
// target is missed, 2 when the benchmark could not run.
#include "Sync/FileRules.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int folderCount = 1000;
constexpr int filesPerFolder = 100;
constexpr std::int64_t digestFileBytes = std::int64_t{1} << 30;
constexpr int walkRounds = 5;
constexpr int digestRounds = 3;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "write");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void writeFile(const fs::path& path, const char* data, std::size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "create " + path.native());
    writeAll(fd, data, size);
    ::close(fd);
}

// Runs a program and returns its wall time; its standard output goes to
// /dev/null, or into *output when given. Throws when it does not exit with 0.
double runProgram(const std::vector<std::string>& arguments, std::string* output = nullptr) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int channel[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
        if (::pipe2(channel, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
        posix_spawn_file_actions_adddup2(&actions, channel[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }

    const Clock::time_point start = Clock::now();
    pid_t child = 0;
    int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), "spawn " + arguments[0]);
    if (output != nullptr) {
        ::close(channel[1]);
        char buffer[4096];
        for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) output->append(buffer, static_cast<std::size_t>(n));
        ::close(channel[0]);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    const double seconds = secondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(arguments[0] + " failed");
    return seconds;
}

// 1,000 folders in 10 groups, 100 small files each, with a mix of supported
// and unsupported names.
void makeTree(const fs::path& root) {
    static const char* const extensions[] = {"pdf", "txt", "md", "docx", "csv", "jpg", "png", "rtf", "epub", "zip"};
    const std::string content = "benchmark\n";
    for (int folder = 0; folder < folderCount; ++folder) {
        const fs::path dir = root / ("group-" + std::to_string(folder / 100)) / ("folder-" + std::to_string(folder));
        fs::create_directories(dir);
        for (int file = 0; file < filesPerFolder; ++file) {
            const std::string name = "document-" + std::to_string(file) + "." + extensions[file % 10];
            writeFile(dir / name, content.data(), content.size());
        }
    }
}

void makeLargeFile(const fs::path& path) {
    std::vector<std::uint64_t> block((std::size_t{1} << 20) / sizeof(std::uint64_t));
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "create " + path.native());
    for (std::int64_t written = 0; written < digestFileBytes; written += std::int64_t{1} << 20) {
        for (std::uint64_t& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        writeAll(fd, reinterpret_cast<const char*>(block.data()), block.size() * sizeof(std::uint64_t));
    }
    ::close(fd);
}

struct Outcome {
    double walkRatio = 0;
    double digestRatioMin = 0;    // sha256Hex time / openssl time
    double digestRatioMedian = 0;
};

Outcome run(const fs::path& work) {
    Outcome outcome;
    const fs::path tree = work / "tree";

    std::printf("Generating %d files in %d folders under %s ...\n", folderCount * filesPerFolder, folderCount,
                tree.c_str());
    std::fflush(stdout);
    Clock::time_point start = Clock::now();
    makeTree(tree);
    std::printf("  generated in %.2f s\n", secondsSince(start));

    const std::vector<std::string> find = {"find", tree.native(), "-type", "f", "-printf", "%s %T@\\n"};
    std::size_t listed = 0;
    auto walk = [&] {
        const Clock::time_point begin = Clock::now();
        {
            const tarnwell::FileRules::FileEnumerationResult result = tarnwell::FileRules::enumerateFiles(tree);
            listed = result.supportedFiles.size() + result.unsupportedFiles.size();
        }
        return secondsSince(begin);
    };
    // One untimed round each so that both read warm directory caches.
    runProgram(find);
    walk();
    std::vector<double> findTimes, walkTimes;
    for (int round = 0; round < walkRounds; ++round) {
        findTimes.push_back(runProgram(find));
        walkTimes.push_back(walk());
    }
    if (listed != static_cast<std::size_t>(folderCount * filesPerFolder)) {
        throw std::runtime_error("the walk listed " + std::to_string(listed) + " files");
    }
    const double findTime = median(findTimes), walkTime = median(walkTimes);
    outcome.walkRatio = walkTime / findTime;
    std::printf("Walk (median of %d): enumerateFiles %.1f ms, find %.1f ms\n", walkRounds, walkTime * 1e3,
                findTime * 1e3);
    fs::remove_all(tree);

    const fs::path large = work / "large.bin";
    std::printf("Writing a %lld-byte file ...\n", static_cast<long long>(digestFileBytes));
    std::fflush(stdout);
    makeLargeFile(large);

    std::string toolOutput;
    runProgram({"openssl", "dgst", "-sha256", "-r", large.native()}, &toolOutput); // also warms the page cache
    std::string ours;
    std::vector<double> opensslTimes, sumTimes, ourTimes, ratios;
    for (int round = 0; round < digestRounds; ++round) {
        opensslTimes.push_back(runProgram({"openssl", "dgst", "-sha256", "-r", large.native()}));
        const Clock::time_point begin = Clock::now();
        ours = tarnwell::FileRules::sha256Hex(large);
        ourTimes.push_back(secondsSince(begin));
        sumTimes.push_back(runProgram({"sha256sum", large.native()}));
        ratios.push_back(ourTimes.back() / opensslTimes.back());
    }
    if (toolOutput.substr(0, 64) != ours) throw std::runtime_error("sha256Hex disagrees with openssl dgst");
    const double mib = static_cast<double>(digestFileBytes) / (1024.0 * 1024.0);
    auto line = [&](const char* name, const std::vector<double>& times) {
        std::printf("  %-20s min %6.0f ms (%5.0f MiB/s), median %6.0f ms\n", name,
                    *std::min_element(times.begin(), times.end()) * 1e3,
                    mib / *std::min_element(times.begin(), times.end()), median(times) * 1e3);
    };
    std::printf("Digest of %lld bytes (%d rounds):\n", static_cast<long long>(digestFileBytes), digestRounds);
    line("sha256Hex", ourTimes);
    line("openssl dgst -sha256", opensslTimes);
    line("sha256sum", sumTimes);
    outcome.digestRatioMin = *std::min_element(ratios.begin(), ratios.end());
    outcome.digestRatioMedian = median(ratios);
    std::printf("  sha256Hex / sha256sum (median): %.2f\n", median(ourTimes) / median(sumTimes));
    fs::remove(large);
    return outcome;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [PARENT_DIR]\n", argv[0]);
        return 2;
    }
    fs::path work;
    try {
        const fs::path parent = argc == 2 ? fs::path(argv[1]) : fs::temp_directory_path();
        std::string pattern = (parent / "bench-file-rules-XXXXXX").native();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
        work = pattern;
        const Outcome outcome = run(work);
        fs::remove_all(work);

        const bool walkOK = outcome.walkRatio <= 1.5;
        const bool digestOK = outcome.digestRatioMedian <= 1.05;
        std::printf("\nwalk time / find time:               %.2f  (target <= 1.50) %s\n", outcome.walkRatio,
                    walkOK ? "ok" : "MISSED");
        std::printf("sha256Hex time / openssl time:       %.2f  (min %.2f; target <= 1.05) %s\n",
                    outcome.digestRatioMedian, outcome.digestRatioMin, digestOK ? "ok" : "MISSED");
        return walkOK && digestOK ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        if (!work.empty()) {
            std::error_code ignored;
            fs::remove_all(work, ignored);
        }
        return 2;
    }
}
