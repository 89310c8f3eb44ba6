// Keeps the signed-in session in "session.json" so the agent stays signed in
// across restarts. Shared by the hosted client and the sync coordinator.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

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

    const std::filesystem::path& url() const { return url_; }
    const std::optional<std::filesystem::path>& legacyURL() const { return legacyURL_; }

private:
    std::optional<StoredSession> decode(const std::string& bytes) const;
    std::filesystem::path clearedMarker() const;

    std::mutex mutex_;
    std::filesystem::path url_;
    std::optional<std::filesystem::path> legacyURL_;
    bool sharedLocation_ = false;
};

} // namespace tarnwell
