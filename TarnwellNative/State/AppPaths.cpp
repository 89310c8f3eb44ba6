#include "State/AppPaths.hpp"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwell {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) {
        return fs::path(home);
    }
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir && *entry->pw_dir) {
        return fs::path(entry->pw_dir);
    }
    return std::nullopt;
}

// Creates the folder and every missing parent, each new one owner-only.
void createDirectories(const fs::path& folder) {
    std::error_code error;
    if (fs::is_directory(folder, error)) {
        return;
    }
    fs::path built;
    for (const auto& part : folder) {
        built /= part;
        if (built.empty() || built == built.root_path()) {
            continue;
        }
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) {
            throw fs::filesystem_error("Could not create the folder", built, std::error_code(errno, std::generic_category()));
        }
    }
    if (!fs::is_directory(folder, error)) {
        throw fs::filesystem_error("Could not create the folder", folder,
                                   error ? error : std::make_error_code(std::errc::not_a_directory));
    }
}

} // namespace

fs::path AppPaths::applicationSupportDirectory(bool create) {
    fs::path folder;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome && *configHome && fs::path(configHome).is_absolute()) {
        folder = configHome;
    } else {
        auto home = homeDirectory();
        if (!home) {
            throw std::runtime_error("The home folder of the current user is not known");
        }
        folder = *home / ".config";
    }
    if (create) {
        createDirectories(folder);
    }
    return folder;
}

fs::path AppPaths::stateDirectory() {
    const char* override = std::getenv("QV_STATE_DIR");
    fs::path folder;
    if (override && *override) {
        folder = override;
    } else {
        folder = applicationSupportDirectory(true) / appFolderName;
    }
    createDirectories(folder);
    return folder;
}

fs::path AppPaths::sessionFile() { return stateDirectory() / "session.json"; }
fs::path AppPaths::retryQueueFile() { return stateDirectory() / "retry-queue.json"; }
fs::path AppPaths::databaseFile() { return stateDirectory() / "state.sqlite3"; }

std::optional<fs::path> AppPaths::legacyStateDirectory() {
    try {
        fs::path folder = applicationSupportDirectory(false) / "qv-desktop" / "state";
        std::error_code error;
        if (fs::exists(fs::symlink_status(folder, error))) {
            return folder;
        }
    } catch (...) {
    }
    return std::nullopt;
}

std::optional<fs::path> AppPaths::legacySessionFile() {
    auto folder = legacyStateDirectory();
    return folder ? std::optional(*folder / "session.json") : std::nullopt;
}

std::optional<fs::path> AppPaths::legacyRetryQueueFile() {
    auto folder = legacyStateDirectory();
    return folder ? std::optional(*folder / "retry-queue.json") : std::nullopt;
}

std::optional<fs::path> AppPaths::legacyDatabaseFile() {
    auto folder = legacyStateDirectory();
    return folder ? std::optional(*folder / "state.db") : std::nullopt;
}

} // namespace tarnwell
