#include "State/SharedModels.hpp"

#include <limits>
#include <memory>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace tarnwell {

namespace {

bool isASCII(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

std::string nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::UnicodeString normalized = normalizer->normalize(source, status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

std::string typeName(const nlohmann::json& value) {
    if (value.is_number_float()) {
        return "number";
    }
    return value.type_name();
}

[[noreturn]] void wrongType(const char* key, const char* expected, const nlohmann::json& value) {
    throw JSONDecodingError(std::string("Expected ") + expected + " for key \"" + key + "\" but found " +
                            typeName(value));
}

[[noreturn]] void missingKey(const char* key) {
    throw JSONDecodingError(std::string("No value associated with key \"") + key + "\"");
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::int64_t toInt64(const char* key, const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw JSONDecodingError(std::string("Number for key \"") + key + "\" does not fit in a 64-bit integer");
        }
        return static_cast<std::int64_t>(u);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    wrongType(key, "an integer", value);
}

void putOptional(nlohmann::json& object, const char* key, const std::optional<std::string>& value) {
    if (value) {
        object[key] = *value;
    }
}

} // namespace

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) {
                low = 0xA0; // no overlong form
            } else if (lead == 0xED) {
                high = 0x9F; // no surrogate
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) {
                low = 0x90; // no overlong form
            } else if (lead == 0xF4) {
                high = 0x8F; // nothing past U+10FFFF
            }
        } else {
            return false;
        }
        if (size - i < length || bytes[i + 1] < low || bytes[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    if (isASCII(a) && isASCII(b)) {
        return false;
    }
    // Normalising would turn every stray byte into U+FFFD and make
    // different bytes look alike.
    if (!isValidUTF8(a) || !isValidUTF8(b)) {
        return false;
    }
    return nfc(a) == nfc(b);
}


namespace json_fields {

void requireObject(const nlohmann::json& value, const char* what) {
    if (!value.is_object()) {
        throw JSONDecodingError(std::string("Expected an object for ") + what + " but found " + typeName(value));
    }
}

std::string requiredString(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = member(object, key);
    if (!value || value->is_null()) {
        missingKey(key);
    }
    if (!value->is_string()) {
        wrongType(key, "a string", *value);
    }
    return value->get<std::string>();
}

std::int64_t requiredInt64(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = member(object, key);
    if (!value || value->is_null()) {
        missingKey(key);
    }
    return toInt64(key, *value);
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = member(object, key);
    if (!value || value->is_null()) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        wrongType(key, "a string", *value);
    }
    return value->get<std::string>();
}

std::optional<std::int64_t> optionalInt64(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = member(object, key);
    if (!value || value->is_null()) {
        return std::nullopt;
    }
    return toInt64(key, *value);
}

std::optional<bool> optionalBool(const nlohmann::json& object, const char* key) {
    const nlohmann::json* value = member(object, key);
    if (!value || value->is_null()) {
        return std::nullopt;
    }
    if (!value->is_boolean()) {
        wrongType(key, "a boolean", *value);
    }
    return value->get<bool>();
}

} // namespace json_fields

using namespace json_fields;

// StoredUser

StoredUser StoredUser::fromJSON(const nlohmann::json& object) {
    requireObject(object, "a user");
    StoredUser user{requiredString(object, "id"), optionalString(object, "email")};
    return user;
}

nlohmann::json StoredUser::toJSON() const {
    nlohmann::json object = nlohmann::json::object();
    object["id"] = id;
    putOptional(object, "email", email);
    return object;
}

bool operator==(const StoredUser& a, const StoredUser& b) {
    return canonicallyEqual(a.id, b.id) && canonicallyEqual(a.email, b.email);
}

// StoredSession

StoredSession StoredSession::fromJSON(const nlohmann::json& object) {
    requireObject(object, "a session");
    StoredSession session{requiredString(object, "access_token"), requiredString(object, "refresh_token"),
                          std::nullopt};
    const nlohmann::json* user = member(object, "user");
    if (user && !user->is_null()) {
        session.user = StoredUser::fromJSON(*user);
    }
    return session;
}

nlohmann::json StoredSession::toJSON() const {
    nlohmann::json object = nlohmann::json::object();
    object["access_token"] = accessToken;
    object["refresh_token"] = refreshToken;
    if (user) {
        object["user"] = user->toJSON();
    }
    return object;
}

bool operator==(const StoredSession& a, const StoredSession& b) {
    return canonicallyEqual(a.accessToken, b.accessToken) && canonicallyEqual(a.refreshToken, b.refreshToken) &&
           a.user == b.user;
}

// SyncMode

namespace sync_mode {

std::optional<SyncMode> fromRawValue(std::string_view raw) {
    if (raw == "regular") {
        return SyncMode::regular;
    }
    if (raw == "ultra") {
        return SyncMode::ultra;
    }
    return std::nullopt;
}

std::string rawValue(SyncMode mode) {
    return mode == SyncMode::ultra ? "ultra" : "regular";
}

std::int64_t processingDelayNanoseconds(SyncMode mode) {
    return mode == SyncMode::ultra ? 0 : 750'000'000;
}

std::int64_t concurrency(SyncMode mode) {
    return mode == SyncMode::ultra ? 10 : 2;
}

} // namespace sync_mode

// FileStateRow

bool operator==(const FileStateRow& a, const FileStateRow& b) {
    return canonicallyEqual(a.path, b.path) && canonicallyEqual(a.rootPath, b.rootPath) &&
           canonicallyEqual(a.logicalPath, b.logicalPath) && canonicallyEqual(a.storageKey, b.storageKey) &&
           canonicallyEqual(a.sha256, b.sha256) && a.bytes == b.bytes && a.mtimeMilliseconds == b.mtimeMilliseconds;
}

// RetryQueueItem

RetryQueueItem RetryQueueItem::fromJSON(const nlohmann::json& object) {
    requireObject(object, "a retry-queue item");
    RetryQueueItem item;
    item.localPath = requiredString(object, "localPath");
    item.storageKey = requiredString(object, "storageKey");
    item.legacyStorageKey = optionalString(object, "legacyStorageKey");
    item.bytes = requiredInt64(object, "bytes");
    item.mimeType = optionalString(object, "mimeType");
    item.sha256 = optionalString(object, "sha256");
    item.logicalPath = optionalString(object, "logicalPath");
    item.userID = optionalString(object, "userID");
    item.attempts = requiredInt64(object, "attempts");
    item.lastError = optionalString(object, "lastError");
    return item;
}

nlohmann::json RetryQueueItem::toJSON() const {
    nlohmann::json object = nlohmann::json::object();
    object["localPath"] = localPath;
    object["storageKey"] = storageKey;
    putOptional(object, "legacyStorageKey", legacyStorageKey);
    object["bytes"] = bytes;
    putOptional(object, "mimeType", mimeType);
    putOptional(object, "sha256", sha256);
    putOptional(object, "logicalPath", logicalPath);
    putOptional(object, "userID", userID);
    object["attempts"] = attempts;
    putOptional(object, "lastError", lastError);
    return object;
}

bool operator==(const RetryQueueItem& a, const RetryQueueItem& b) {
    return canonicallyEqual(a.localPath, b.localPath) && canonicallyEqual(a.storageKey, b.storageKey) &&
           canonicallyEqual(a.legacyStorageKey, b.legacyStorageKey) && a.bytes == b.bytes &&
           canonicallyEqual(a.mimeType, b.mimeType) && canonicallyEqual(a.sha256, b.sha256) &&
           canonicallyEqual(a.logicalPath, b.logicalPath) && canonicallyEqual(a.userID, b.userID) &&
           a.attempts == b.attempts && canonicallyEqual(a.lastError, b.lastError);
}

// RemoteFileRecord

RemoteFileRecord RemoteFileRecord::fromJSON(const nlohmann::json& object) {
    requireObject(object, "a file row");
    RemoteFileRecord record;
    record.id = requiredString(object, "id");
    record.userID = optionalString(object, "user_id");
    record.storageBucket = optionalString(object, "storage_bucket");
    record.storageKey = optionalString(object, "storage_key");
    record.sha256 = optionalString(object, "sha256");
    record.ingestedSHA256 = optionalString(object, "ingested_sha256");
    record.isDeleted = optionalBool(object, "is_deleted");
    record.path = optionalString(object, "path");
    record.bytes = optionalInt64(object, "bytes");
    record.mime = optionalString(object, "mime");
    record.ingestError = optionalString(object, "ingest_error");
    return record;
}

nlohmann::json RemoteFileRecord::toJSON() const {
    nlohmann::json object = nlohmann::json::object();
    object["id"] = id;
    putOptional(object, "user_id", userID);
    putOptional(object, "storage_bucket", storageBucket);
    putOptional(object, "storage_key", storageKey);
    putOptional(object, "sha256", sha256);
    putOptional(object, "ingested_sha256", ingestedSHA256);
    if (isDeleted) {
        object["is_deleted"] = *isDeleted;
    }
    putOptional(object, "path", path);
    if (bytes) {
        object["bytes"] = *bytes;
    }
    putOptional(object, "mime", mime);
    putOptional(object, "ingest_error", ingestError);
    return object;
}

bool operator==(const RemoteFileRecord& a, const RemoteFileRecord& b) {
    return canonicallyEqual(a.id, b.id) && canonicallyEqual(a.userID, b.userID) &&
           canonicallyEqual(a.storageBucket, b.storageBucket) && canonicallyEqual(a.storageKey, b.storageKey) &&
           canonicallyEqual(a.sha256, b.sha256) && canonicallyEqual(a.ingestedSHA256, b.ingestedSHA256) &&
           a.isDeleted == b.isDeleted && canonicallyEqual(a.path, b.path) && a.bytes == b.bytes &&
           canonicallyEqual(a.mime, b.mime) && canonicallyEqual(a.ingestError, b.ingestError);
}

// FailedUploadItem

bool operator==(const FailedUploadItem& a, const FailedUploadItem& b) {
    return canonicallyEqual(a.id, b.id) && canonicallyEqual(a.fileID, b.fileID) && canonicallyEqual(a.error, b.error) &&
           a.createdAt == b.createdAt && a.file == b.file;
}

// IndexingProgressSnapshot

const IndexingProgressSnapshot& IndexingProgressSnapshot::idle() {
    static const IndexingProgressSnapshot value{std::nullopt, 0, false, std::nullopt};
    return value;
}

// SyncStateSnapshot

bool operator==(const SyncStateSnapshot& a, const SyncStateSnapshot& b) {
    if (!(a.user == b.user) || a.running != b.running || a.folders.size() != b.folders.size() || a.mode != b.mode ||
        a.autoStart != b.autoStart) {
        return false;
    }
    for (std::size_t i = 0; i < a.folders.size(); ++i) {
        if (!canonicallyEqual(a.folders[i], b.folders[i])) {
            return false;
        }
    }
    return true;
}

} // namespace tarnwell
