#include "State/SessionStore.hpp"

#include <ctime>
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

bool SessionStore::FileVersion::operator==(const FileVersion& other) const {
    auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    return device == other.device && inode == other.inode && size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
}

std::optional<StoredSession> SessionStore::loadLocked() {
    // Another program (a second copy of the agent, say) may replace the file
    // at any time: whatever it wrote is read at the next load. The version is
    // taken before the read, so a file replaced in between is read again
    // next time rather than remembered under the new version. A file changed
    // in the clock tick of the stat is not remembered at all: the file
    // system's clock is coarse, and a second change in the same tick would
    // look like no change.
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat info {};
    if (::lstat(url_.c_str(), &info) == 0) {
        FileVersion version{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
        if (cachedVersion_ && *cachedVersion_ == version) {
            return cachedSession_;
        }
        cachedVersion_.reset();
        if (auto bytes = AtomicFile::read(url_, sharedLocation_)) {
            cachedSession_ = decode(*bytes);
            const timespec& modified = info.st_mtim;
            if (modified.tv_sec < now.tv_sec || (modified.tv_sec == now.tv_sec && modified.tv_nsec < now.tv_nsec)) {
                cachedVersion_ = version;
            }
            return cachedSession_;
        }
    } else {
        cachedVersion_.reset();
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
    cachedVersion_.reset();
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
    cachedVersion_.reset();
    ::unlink(url_.c_str());
    try {
        AtomicFile::write(clearedMarker(), "");
    } catch (const std::exception&) {
        // Nothing more can be done; clearing never reports a failure.
    }
}

} // namespace tarnwell
