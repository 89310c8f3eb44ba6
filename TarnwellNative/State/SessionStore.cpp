#include "State/SessionStore.hpp"

#include <system_error>

#include <unistd.h>

#include "State/AppPaths.hpp"
#include "State/AtomicFile.hpp"
#include "State/JSONWriter.hpp"

namespace tarnwell {

namespace fs = std::filesystem;

SessionStore::SessionStore() {
    try {
        url_ = AppPaths::sessionFile();
    } catch (...) {
        url_ = "/tmp/qv-session.json";
        sharedLocation_ = true;
    }
    legacyURL_ = AppPaths::legacySessionFile();
}

SessionStore::SessionStore(fs::path url, std::optional<fs::path> legacyURL)
    : url_(std::move(url)), legacyURL_(std::move(legacyURL)) {}

std::optional<StoredSession> SessionStore::decode(const std::string& bytes) const {
    nlohmann::json object = nlohmann::json::parse(bytes, nullptr, false);
    if (object.is_discarded()) {
        return std::nullopt;
    }
    try {
        return StoredSession::fromJSON(object);
    } catch (const JSONDecodingError&) {
        return std::nullopt;
    }
}

// Left behind by clear() so that an earlier installation's session is never
// taken over again, also after a restart.
fs::path SessionStore::clearedMarker() const {
    fs::path marker = url_;
    marker += ".cleared";
    return marker;
}

std::optional<StoredSession> SessionStore::load() {
    std::lock_guard lock(mutex_);
    return loadLocked();
}

std::optional<StoredSession> SessionStore::loadLocked() {
    if (auto bytes = AtomicFile::read(url_, sharedLocation_)) {
        return decode(*bytes);
    }
    if (!legacyURL_) {
        return std::nullopt;
    }
    std::error_code error;
    if (fs::exists(fs::symlink_status(clearedMarker(), error))) {
        return std::nullopt;
    }
    auto legacyBytes = AtomicFile::read(*legacyURL_);
    if (!legacyBytes) {
        return std::nullopt;
    }
    auto session = decode(*legacyBytes);
    if (session) {
        try {
            AtomicFile::write(url_, JSONWriter::write(session->toJSON(), {true, true}));
        } catch (const std::exception&) {
            // The next load falls back to the legacy file again.
        }
    }
    return session;
}

void SessionStore::save(const StoredSession& session) {
    std::lock_guard lock(mutex_);
    saveLocked(session);
}

void SessionStore::saveLocked(const StoredSession& session) {
    AtomicFile::write(url_, JSONWriter::write(session.toJSON(), {true, true}));
    ::unlink(clearedMarker().c_str());
}

std::optional<StoredSession> SessionStore::replaceIfCurrent(const std::string& spentRefreshToken,
                                                            const StoredSession& session) {
    std::lock_guard lock(mutex_);
    std::optional<StoredSession> stored = loadLocked();
    if (!stored || stored->refreshToken != spentRefreshToken) {
        return stored;
    }
    saveLocked(session);
    return session;
}

void SessionStore::clear() {
    std::lock_guard lock(mutex_);
    ::unlink(url_.c_str());
    try {
        AtomicFile::write(clearedMarker(), "");
    } catch (const std::exception&) {
        // Nothing more can be done; clearing never reports a failure.
    }
}

} // namespace tarnwell
