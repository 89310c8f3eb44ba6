// File rows and jobs in the hosted tables "files" and "jobs".
#include "Client/SupabaseHTTPClient.hpp"

namespace tarnwell {

namespace {

// The rows of an answer, of which only their number matters.
std::vector<nlohmann::json> decodeIDRows(const nlohmann::json& answer) {
    if (!answer.is_array()) {
        throw JSONDecodingError(std::string("Expected an array of rows but found ") + answer.type_name());
    }
    return {answer.begin(), answer.end()};
}

// The user of the session, which a successful lookup always yields.
StoredUser requireUser(std::optional<StoredUser> user) {
    if (!user) {
        throw SupabaseHTTPError::invalidResponse();
    }
    return std::move(*user);
}

} // namespace

std::vector<RemoteFileRecord> SupabaseHTTPClient::decodeFileRows(const nlohmann::json& answer) {
    if (!answer.is_array()) {
        throw JSONDecodingError(std::string("Expected an array of file rows but found ") + answer.type_name());
    }
    std::vector<RemoteFileRecord> rows;
    rows.reserve(answer.size());
    for (const auto& row : answer) {
        rows.push_back(RemoteFileRecord::fromJSON(row));
    }
    return rows;
}


std::optional<RemoteFileRecord> SupabaseHTTPClient::fetchRemoteFile(const std::string& storageKey,
                                                                    std::stop_token stop) {
    std::vector<RemoteFileRecord> rows = getWithSession(
        "/rest/v1/files",
        URLQueryItems{{"select", fileSelectList}, {"storage_key", "eq." + storageKey}, {"limit", "1"}},
        decodeFileRows, stop);
    if (rows.empty()) {
        return std::nullopt;
    }
    return std::move(rows.front());
}

RemoteFileRecord SupabaseHTTPClient::upsertRemoteFile(const std::string& logicalPath, const std::string& storageKey,
                                                      std::int64_t bytes, const std::string& mimeType,
                                                      const std::string& sha256, std::stop_token stop) {
    return runWithRefreshedSession(
        [&](const StoredSession& session) {
            StoredUser user = requireUser(fetchCurrentUser(session, stop));
            JSONObject body{
                {"user_id", JSONValue::string(user.id)},
                {"path", JSONValue::string(logicalPath)},
                {"storage_bucket", JSONValue::string(config_.filesBucket)},
                {"storage_key", JSONValue::string(storageKey)},
                {"bytes", JSONValue::int64(bytes)},
                {"mime", JSONValue::string(mimeType)},
                {"sha256", JSONValue::string(sha256)},
                {"is_deleted", JSONValue::boolean(false)},
                {"ingest_error", JSONValue::null()},
            };
            HTTPRequest request = makeRequest("/rest/v1/files", "POST", session.accessToken, body,
                                              URLQueryItems{{"on_conflict", "user_id,storage_bucket,storage_key"},
                                                            {"select", fileSelectList}},
                                              {{"Prefer", "resolution=merge-duplicates,return=representation"}});
            request.idempotent = true; // an upsert: sending it twice leaves one row
            HTTPResponse response = send(request, stop);
            validate(response);
            std::vector<RemoteFileRecord> rows = decode(response.body, decodeFileRows);
            if (rows.empty()) {
                throw SupabaseHTTPError::invalidResponse();
            }
            return std::move(rows.front());
        },
        stop);
}

void SupabaseHTTPClient::insertJob(const std::string& fileID, const std::string& kind, std::stop_token stop) {
    runWithRefreshedSession(
        [&](const StoredSession& session) {
            StoredUser user = requireUser(fetchCurrentUser(session, stop));
            JSONObject body{
                {"user_id", JSONValue::string(user.id)},
                {"file_id", JSONValue::string(fileID)},
                {"kind", JSONValue::string(kind)},
                {"payload", JSONValue::object({})},
            };
            const HTTPRequest request = makeRequest("/rest/v1/jobs", "POST", session.accessToken, body);
            HTTPResponse response;
            try {
                response = send(request, stop);
            } catch (const TransportError& error) {
                // The answer is lost, but the job may have been stored: look
                // for a job of this kind still waiting for the file before
                // sending it again. A lookup that fails says nothing.
                if (error.kind() != TransportError::Kind::failed && error.kind() != TransportError::Kind::timedOut) {
                    throw;
                }
                bool waiting = false;
                try {
                    waiting = !getWithSession("/rest/v1/jobs",
                                              URLQueryItems{{"select", "id"},
                                                            {"file_id", "eq." + fileID},
                                                            {"kind", "eq." + kind},
                                                            {"status", "in.(queued,running)"},
                                                            {"limit", "1"}},
                                              decodeIDRows, stop)
                                   .empty();
                } catch (const std::exception&) {
                    throw error;
                }
                if (waiting) {
                    return;
                }
                response = send(request, stop);
            }
            validate(response);
        },
        stop);
}

void SupabaseHTTPClient::markFileDeleted(const std::string& fileID, std::stop_token stop) {
    runWithRefreshedSession(
        [&](const StoredSession& session) {
            HTTPResponse response =
                send(makeRequest("/rest/v1/files", "PATCH", session.accessToken, {{"is_deleted", JSONValue::boolean(true)}},
                                 URLQueryItems{{"id", "eq." + fileID}}),
                     stop);
            validate(response);
        },
        stop);
}

} // namespace tarnwell
