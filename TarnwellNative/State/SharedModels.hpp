// The plain value records that the state stores, the hosted client, the sync
// engine and the application model hand each other.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwell {

// A point in time with sub-second precision.
using Timestamp = std::chrono::system_clock::time_point;

// Raised when a JSON value does not have the shape a record requires.
// The message names the offending key and what was wrong with it.
class JSONDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True when the bytes are well-formed UTF-8: no stray continuation byte, no
// truncated sequence, no overlong form, no surrogate, nothing past U+10FFFF.
bool isValidUTF8(std::string_view text);

// True when both texts are the same under Unicode canonical equivalence
// (a precomposed and a decomposed spelling compare equal). Bytes that are
// not valid UTF-8 are no text: they equal only the very same bytes.
bool canonicallyEqual(std::string_view a, std::string_view b);
// Absent equals only absent.
template <typename T>
    requires std::same_as<T, std::optional<std::string>>
bool canonicallyEqual(const T& a, const T& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a || canonicallyEqual(std::string_view(*a), std::string_view(*b));
}

// Strict readers for JSON objects: a wrong type is an error, a missing or
// null optional key is absent, no number/bool/string coercion.
namespace json_fields {
std::string requiredString(const nlohmann::json& object, const char* key);
std::int64_t requiredInt64(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
std::optional<std::int64_t> optionalInt64(const nlohmann::json& object, const char* key);
std::optional<bool> optionalBool(const nlohmann::json& object, const char* key);
void requireObject(const nlohmann::json& value, const char* what);
} // namespace json_fields

struct StoredUser {
    std::string id;
    std::optional<std::string> email;

    static StoredUser fromJSON(const nlohmann::json& object);
    nlohmann::json toJSON() const;
    friend bool operator==(const StoredUser& a, const StoredUser& b);
};

struct StoredSession {
    std::string accessToken;
    std::string refreshToken;
    std::optional<StoredUser> user;

    static StoredSession fromJSON(const nlohmann::json& object);
    nlohmann::json toJSON() const;
    friend bool operator==(const StoredSession& a, const StoredSession& b);
};

enum class SyncMode { regular, ultra };

namespace sync_mode {
inline constexpr SyncMode allCases[] = {SyncMode::regular, SyncMode::ultra};
std::optional<SyncMode> fromRawValue(std::string_view raw);
std::string rawValue(SyncMode mode);
std::int64_t processingDelayNanoseconds(SyncMode mode);
std::int64_t concurrency(SyncMode mode);
} // namespace sync_mode

struct FileStateRow {
    std::string path;
    std::string rootPath;
    std::string logicalPath;
    std::string storageKey;
    std::string sha256;
    std::int64_t bytes = 0;
    double mtimeMilliseconds = 0;

    friend bool operator==(const FileStateRow& a, const FileStateRow& b);
};

struct RetryQueueItem {
    std::string localPath;
    std::string storageKey;
    std::optional<std::string> legacyStorageKey;
    std::int64_t bytes = 0;
    std::optional<std::string> mimeType;
    std::optional<std::string> sha256;
    std::optional<std::string> logicalPath;
    std::optional<std::string> userID;
    std::int64_t attempts = 0;
    std::optional<std::string> lastError;

    static RetryQueueItem fromJSON(const nlohmann::json& object);
    nlohmann::json toJSON() const;
    friend bool operator==(const RetryQueueItem& a, const RetryQueueItem& b);
};

struct RemoteFileRecord {
    std::string id;
    std::optional<std::string> userID;
    std::optional<std::string> storageBucket;
    std::optional<std::string> storageKey;
    std::optional<std::string> sha256;
    std::optional<std::string> ingestedSHA256;
    std::optional<bool> isDeleted;
    std::optional<std::string> path;
    std::optional<std::int64_t> bytes;
    std::optional<std::string> mime;
    std::optional<std::string> ingestError;

    static RemoteFileRecord fromJSON(const nlohmann::json& object);
    nlohmann::json toJSON() const;
    friend bool operator==(const RemoteFileRecord& a, const RemoteFileRecord& b);
};

struct FailedUploadItem {
    std::string id;
    std::optional<std::string> fileID;
    std::optional<std::string> error;
    std::optional<Timestamp> createdAt;
    std::optional<RemoteFileRecord> file;

    friend bool operator==(const FailedUploadItem& a, const FailedUploadItem& b);
};

struct IndexingProgressSnapshot {
    std::optional<std::int64_t> totalFiles;
    std::int64_t scannedFiles = 0;
    bool isActive = false;
    std::optional<Timestamp> startedAt;

    // The empty value: nothing counted, nothing scanned, not active.
    static const IndexingProgressSnapshot& idle();
    friend bool operator==(const IndexingProgressSnapshot& a, const IndexingProgressSnapshot& b) = default;
};

struct IngestStatusSnapshot {
    std::int64_t queued = 0;
    std::int64_t running = 0;
    std::int64_t errors = 0;
    std::optional<Timestamp> oldestQueuedAt;
    std::optional<Timestamp> lastIngestedAt;

    friend bool operator==(const IngestStatusSnapshot& a, const IngestStatusSnapshot& b) = default;
};

struct SyncStateSnapshot {
    std::optional<StoredUser> user;
    bool running = false;
    std::vector<std::string> folders;
    SyncMode mode = SyncMode::regular;
    bool autoStart = false;

    friend bool operator==(const SyncStateSnapshot& a, const SyncStateSnapshot& b);
};

} // namespace tarnwell
