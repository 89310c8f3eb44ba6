// File rows and jobs in the hosted tables "files" and "jobs".
#include "Client/SupabaseHTTPClient.hpp"

#include <chrono>
#include <cstdio>

namespace tarnwell {

namespace {

// The rows of an answer, as they stand.
std::vector<nlohmann::json> decodeRows(const nlohmann::json& answer) {
    if (!answer.is_array()) {
        throw JSONDecodingError(std::string("Expected an array of rows but found ") + answer.type_name());
    }
    return {answer.begin(), answer.end()};
}

// "2026-12-09T13:23:13Z": the whole second, in UTC.
std::string internetDateTime(Timestamp time) {
    using namespace std::chrono;
    const auto second = floor<seconds>(time);
    const auto dayStart = floor<days>(second);
    const year_month_day date{dayStart};
    const hh_mm_ss timeOfDay{second - dayStart};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(timeOfDay.hours().count()), static_cast<int>(timeOfDay.minutes().count()),
                  static_cast<int>(timeOfDay.seconds().count()));
    return text;
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
            UserLookup lookup = lookUpCurrentUser(session, stop);
            StoredUser user = requireUser(std::move(lookup.user));
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
                if (error.kind() != TransportError::Kind::failed && error.kind() != TransportError::Kind::timedOut) {
                    throw;
                }
                if (lostInsertStoredJob(fileID, kind, lookup.answeredAt, stop, error)) {
                    return;
                }
                response = send(request, stop);
            }
            validate(response);
        },
        stop);
}

// The answer to a job insert is lost, but the job may have been stored: it
// was if the file has a job of this kind created since the user lookup was
// answered, whatever has become of it since. Both times are the backend's;
// this machine's clock may be off. A job for an earlier upload of the file
// is older: it was created before this upload's row upsert, which came
// before the lookup. The lookup's time is whole seconds, so such a job
// would count only when made less than a second before the lookup's answer;
// a changed file normally waits out the rescan delay before it is sent again.
// Without the lookup's time, only a job still waiting counts, which misses
// one that a quick worker has already taken. A lookup that fails says
// nothing: the insert's own error is thrown.
bool SupabaseHTTPClient::lostInsertStoredJob(const std::string& fileID, const std::string& kind,
                                              const std::optional<Timestamp>& since, std::stop_token stop,
                                              const TransportError& insertError) {
    URLQueryItems query{{"select", "id"}, {"file_id", "eq." + fileID}, {"kind", "eq." + kind}};
    if (since) {
        query.push_back({"created_at", "gte." + internetDateTime(*since)});
    } else {
        query.push_back({"status", "in.(queued,running)"});
    }
    query.push_back({"limit", "1"});
    try {
        return !getWithSession("/rest/v1/jobs", query, decodeRows, stop).empty();
    } catch (const std::exception&) {
        throw insertError;
    }
}

std::optional<std::string> SupabaseHTTPClient::newestJobKind(const std::string& fileID, std::stop_token stop) {
    const std::vector<nlohmann::json> rows = getWithSession(
        "/rest/v1/jobs",
        URLQueryItems{{"select", "kind"}, {"file_id", "eq." + fileID}, {"order", "created_at.desc"}, {"limit", "1"}},
        decodeRows, stop);
    if (rows.empty()) {
        return std::nullopt;
    }
    const auto kind = rows.front().find("kind");
    if (kind == rows.front().end() || !kind->is_string()) {
        throw SupabaseHTTPError::invalidResponse();
    }
    return kind->get<std::string>();
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
