// Helpers the benchmark programs share: scratch folders, trees of small
// documents, the rows a completed sync leaves for them, and readings of this
// process's memory.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "State/LocalDatabase.hpp"
#include "Sync/FileRules.hpp"

namespace tarnwell::bench {

using Clock = std::chrono::steady_clock;

constexpr int kFilesPerFolder = 100;

inline double secondsOf(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

inline std::filesystem::path makeScratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwell-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// `count` small documents, kFilesPerFolder to a folder.
inline std::vector<std::filesystem::path> makeTree(const std::filesystem::path& root, int count) {
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

// How a tree departs from the plain one: every accentedEvery-th document has
// an accented name (composed form; 0 for none), and every document has
// unsupportedPerDocument files beside it whose type is not synced.
struct TreeShape {
    int accentedEvery = 0;
    int unsupportedPerDocument = 0;
};

// `count` documents shaped as told, kFilesPerFolder to a folder; returns the
// documents only.
inline std::vector<std::filesystem::path> makeTree(const std::filesystem::path& root, int count,
                                                   const TreeShape& shape) {
    std::vector<std::filesystem::path> files;
    files.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto folder = root / ("folder-" + std::to_string(i / kFilesPerFolder));
        if (i % kFilesPerFolder == 0) std::filesystem::create_directories(folder);
        const bool accented = shape.accentedEvery > 0 && i % shape.accentedEvery == 0;
        const std::string stem = (accented ? "r\xC3\xA9sum\xC3\xA9-" : "document-") + std::to_string(i);
        auto file = folder / (stem + ".txt");
        std::ofstream(file) << "document number " << i << '\n';
        for (int u = 0; u < shape.unsupportedPerDocument; ++u) {
            std::ofstream(folder / (stem + "-" + std::to_string(u) + ".jpg")) << "picture " << i << '\n';
        }
        files.push_back(std::move(file));
    }
    return files;
}

inline double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

inline double minOf(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

// Writes the rows a completed sync leaves for these files, in one transaction
// and in the order a sync processes them.
inline void recordAsSynced(const std::filesystem::path& databaseFile, const std::string& root,
                           const std::string& userId, std::vector<std::filesystem::path> files) {
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
        const std::string key = FileRules::buildStorageKey(userId, root, logical);
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

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 when missing.
inline long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
    }
    return 0;
}

} // namespace tarnwell::bench
