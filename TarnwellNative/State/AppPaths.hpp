// Where the agent keeps its state on disk.
#pragma once

#include <filesystem>
#include <optional>

namespace tarnwell {

class AppPaths {
public:
    AppPaths() = delete;

    static constexpr const char* appFolderName = "TarnwellNative";
    static constexpr const char* legacyElectronFolderName = "qv-desktop/state";

    // The per-user application-data folder: $XDG_CONFIG_HOME, else ~/.config.
    // Created when create is true; throws std::filesystem::filesystem_error
    // (or std::runtime_error when no home folder is known).
    static std::filesystem::path applicationSupportDirectory(bool create);

    // "QV_STATE_DIR" when set and not empty, else the application-data folder
    // joined with appFolderName; created (mode 0700) with missing parents.
    static std::filesystem::path stateDirectory();
    static std::filesystem::path sessionFile();
    static std::filesystem::path retryQueueFile();
    static std::filesystem::path databaseFile();

    // The earlier installation's folder, only when something exists there.
    // Never throws, never creates anything.
    static std::optional<std::filesystem::path> legacyStateDirectory();
    static std::optional<std::filesystem::path> legacySessionFile();
    static std::optional<std::filesystem::path> legacyRetryQueueFile();
    static std::optional<std::filesystem::path> legacyDatabaseFile();
};

} // namespace tarnwell
