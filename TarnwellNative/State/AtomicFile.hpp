// Whole-file reads and atomic whole-file writes for the agent's state files.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarnwell {

class AtomicFile {
public:
    AtomicFile() = delete;

    // Reads a regular file whole. Symbolic links are not followed. With
    // requireOwnedByUser, a file owned by another user is refused as well
    // (for the fallbacks in the shared temporary folder).
    // Returns none when the file is missing or can't be read.
    static std::optional<std::string> read(const std::filesystem::path& path, bool requireOwnedByUser = false);

    // Writes the bytes to a temporary file (mode 0600) in the same folder,
    // flushes it to disk and renames it over the path. Throws
    // std::system_error; the previous file stays on failure.
    static void write(const std::filesystem::path& path, const std::string& bytes);

    // True when nothing exists at path, or a regular file owned by this user
    // that is not a link exists there.
    static bool isSafeToUse(const std::filesystem::path& path);
};

} // namespace tarnwell
