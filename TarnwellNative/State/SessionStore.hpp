// Keeps the signed-in session in "session.json" so the agent stays signed in
// across restarts. Shared by the hosted client and the sync coordinator.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include <sys/stat.h>

#include "State/SharedModels.hpp"

namespace tarnwell {

class SessionStore {
public:
    // Default locations: AppPaths::sessionFile() (or "/tmp/qv-session.json"
    // when the state directory can't be made) and the legacy session file.
    SessionStore();
    SessionStore(std::filesystem::path url, std::optional<std::filesystem::path> legacyURL);

    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

    // The stored session, or none. Never throws.
    std::optional<StoredSession> load();
    // Replaces the session file atomically; throws std::system_error.
    void save(const StoredSession& session);
    // Forgets the session for good (also the legacy one). Never reports failure.
    void clear();
    // Saves the session only while the stored one still holds
    // `spentRefreshToken`, in one step with that test, so that a session
    // obtained with an old refresh token never replaces a sign-out, a new
    // sign-in or a newer session. Returns the stored session afterwards (the
    // given one, or the one that was kept), none when nothing is stored.
    // Throws what save() throws.
    std::optional<StoredSession> replaceIfCurrent(const std::string& spentRefreshToken, const StoredSession& session);

    const std::filesystem::path& url() const { return url_; }
    const std::optional<std::filesystem::path>& legacyURL() const { return legacyURL_; }

private:
    // What identifies one version of the session file on disk.
    struct FileVersion {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};

        bool operator==(const FileVersion& other) const;
    };

    std::optional<StoredSession> loadLocked();
    void saveLocked(const StoredSession& session);
    std::optional<StoredSession> decode(const std::string& bytes) const;
    std::filesystem::path clearedMarker() const;

    std::mutex mutex_;
    std::filesystem::path url_;
    std::optional<std::filesystem::path> legacyURL_;
    bool sharedLocation_ = false;
    // The session file as last read, while it is unchanged on disk: the
    // client loads the session before every request, and one stat is all
    // that costs then.
    std::optional<FileVersion> cachedVersion_;
    std::optional<StoredSession> cachedSession_;
};

} // namespace tarnwell
