// The agent's one client of its hosted backend: authentication under
// "/auth/v1", the REST tables under "/rest/v1" and the storage bucket under
// "/storage/v1". Every operation blocks on the calling thread until its
// requests have been answered; any number of them may run at once from any
// threads. A stop request on the optional stop token cancels the requests in
// flight (they end in TransportError::Kind::cancelled).
//
// Failures: SupabaseHTTPError for the client's own, TransportError when a
// request got no answer, JSONDecodingError for an answer that does not
// decode, and the session store's errors when a new session cannot be saved.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Client/HTTPTransport.hpp"
#include "Client/JSONValue.hpp"
#include "Client/SupabaseHTTPError.hpp"
#include "Client/URLBuilder.hpp"
#include "State/PublicConfigLoader.hpp"
#include "State/SessionStore.hpp"
#include "State/SharedModels.hpp"

namespace tarnwell {

// What a sign-up gives back: a session when the account may be used at once,
// the account when the backend reported it.
struct SignUpResult {
    std::optional<StoredSession> session;
    std::optional<StoredUser> user;

    friend bool operator==(const SignUpResult&, const SignUpResult&) = default;
};

class SupabaseHTTPClient {
public:
    // Extra request headers, name to value.
    using ExtraHeaders = std::map<std::string, std::string>;

    // The columns of a files row, in the order of RemoteFileRecord's fields.
    static constexpr const char* fileSelectList =
        "id,user_id,storage_bucket,storage_key,sha256,ingested_sha256,is_deleted,path,bytes,mime,ingest_error";

    SupabaseHTTPClient(PublicConfig config, std::shared_ptr<SessionStore> sessionStore,
                       std::shared_ptr<HTTPTransport> transport = HTTPTransport::shared());
    SupabaseHTTPClient(const SupabaseHTTPClient&) = delete;
    SupabaseHTTPClient& operator=(const SupabaseHTTPClient&) = delete;

    const PublicConfig& config() const { return config_; }
    const std::shared_ptr<SessionStore>& sessionStore() const { return sessionStore_; }

    // ---- Authentication ------------------------------------------------

    // The stored session, or none. Sends nothing.
    std::optional<StoredSession> currentSession() const;
    // Password sign-in; the new session is saved before it is returned.
    StoredSession signIn(const std::string& email, const std::string& password, std::stop_token stop = {});
    // Account creation; a session that comes back is saved, otherwise the
    // stored session is left alone.
    SignUpResult signUp(const std::string& email, const std::string& password, std::stop_token stop = {});
    // The signed-in account as the backend sees it; none when no session is
    // stored. Refreshes the session once when it has expired.
    std::optional<StoredUser> currentUser(std::stop_token stop = {});
    // Exchanges the session's refresh token for a new session and saves it.
    // Refresh tokens are single-use, so callers that refresh the same
    // session at once share one exchange, and a session whose refresh token
    // was already exchanged by someone else gives the session stored since.
    // A stop cuts the exchange (or the wait for another caller's) at once;
    // the others waiting for a stopped caller's exchange make their own.
    StoredSession refresh(const StoredSession& session, std::stop_token stop = {});

    // ---- File rows and jobs --------------------------------------------

    // The files row with this storage key (deleted or not), or none.
    std::optional<RemoteFileRecord> fetchRemoteFile(const std::string& storageKey, std::stop_token stop = {});
    // Creates or updates the signed-in user's row for this storage key, marks
    // it not deleted, clears its ingest error and returns it.
    RemoteFileRecord upsertRemoteFile(const std::string& logicalPath, const std::string& storageKey,
                                      std::int64_t bytes, const std::string& mimeType, const std::string& sha256,
                                      std::stop_token stop = {});
    // Adds a job of this kind ("ingest", "delete") for a files row. When the
    // answer is lost on the way back, the job is sent again only if the
    // backend does not hold it already.
    void insertJob(const std::string& fileID, const std::string& kind, std::stop_token stop = {});
    // Marks a files row deleted.
    void markFileDeleted(const std::string& fileID, std::stop_token stop = {});
    // The kind of the newest job of a files row, or none when it has no job.
    std::optional<std::string> newestJobKind(const std::string& fileID, std::stop_token stop = {});

    // ---- Storage -------------------------------------------------------

    // Sends the file's bytes as the object named by the storage key in the
    // files bucket, replacing an object of that name. The body is streamed
    // from the file.
    void uploadFile(const std::filesystem::path& localURL, const std::string& storageKey,
                    const std::string& mimeType, std::stop_token stop = {});
    // The same for a file whose bytes the caller has read already: `content`
    // is sent as it is, from memory.
    void uploadContent(std::string_view content, const std::string& storageKey, const std::string& mimeType,
                       std::stop_token stop = {});

    // ---- Status --------------------------------------------------------

    // Queued, running and failed job counts, the oldest queued job's
    // creation time and the latest ingest time; five reads sent side by side.
    IngestStatusSnapshot fetchIngestStatus(std::stop_token stop = {});
    // The newest failed ingest jobs (at most `limit`, bounded to 1...200),
    // each with its files row when one was found.
    std::vector<FailedUploadItem> fetchFailedUploads(std::int64_t limit = 100, std::stop_token stop = {});
    // Queues every failed ingest job again, clears its file's ingest error and
    // returns how many jobs were queued.
    std::int64_t retryFailedUploads(std::stop_token stop = {});

    // ---- Request core --------------------------------------------------

    // A request for `path` (plain text, encoded here) below the host of the
    // configured URL, with the "apikey" and "accept" headers, the bearer
    // token when one is given, then the extra headers. Throws invalidURL.
    HTTPRequest makeRequest(const std::string& path, const std::string& method,
                            const std::optional<std::string>& bearerToken,
                            const std::optional<URLQueryItems>& queryItems = std::nullopt,
                            const ExtraHeaders& extraHeaders = {}) const;
    // The same with a compact JSON body and "content-type" "application/json".
    HTTPRequest makeRequest(const std::string& path, const std::string& method,
                            const std::optional<std::string>& bearerToken, const JSONObject& body,
                            const std::optional<URLQueryItems>& queryItems = std::nullopt,
                            const ExtraHeaders& extraHeaders = {}) const;

    // Sends a built request. Throws TransportError.
    HTTPResponse send(const HTTPRequest& request, std::stop_token stop = {}) const;

    // A web page (HTML by its type or its first character) at any status, or
    // no HTTP status at all, throws invalidResponse; otherwise 2xx passes,
    // 401 throws unauthorized and anything else throws the status message.
    static void validate(const HTTPResponse& response);

    // Whether a failure says nothing about the session: the request got no
    // answer (no connection, a time-out, a connection dropped), the backend
    // could not serve it for now (408, 429 or a 5xx), or the answer was not
    // the backend's (a redirect or a web page, as a captive portal or a
    // network filter gives, a proxy's 407, a 2xx body that does not decode).
    // Such a request may go through when it is sent again later.
    static bool isUnanswered(const std::exception_ptr& failure);
    // Whether a failure is the backend's verdict that the stored session is
    // over: 401 even after a refresh, a refresh refused with a 4xx (neither
    // in a web page nor a proxy's 407), or no session stored any more.
    static bool refusesSession(const std::exception_ptr& failure);

    // Decodes a 2xx body with `parse` (a JSON value -> T). A body that does
    // not decode but is an object with a text "message" throws that message;
    // otherwise the decoding error is thrown.
    template <class Parse>
    static auto decode(std::string_view bytes, Parse&& parse)
        -> std::invoke_result_t<Parse&, const nlohmann::json&>;
    // The same for a `parse` that reads only the members `keys` of the top
    // level: what it is given holds those members alone (a nested object or
    // array among them empty), which spares building the rest.
    template <class Parse>
    static auto decodeMembers(std::string_view bytes, std::initializer_list<std::string_view> keys, Parse&& parse)
        -> std::invoke_result_t<Parse&, const nlohmann::json&>;
    // What both hand `parse`: the parsed document, or nothing for a body
    // that is not JSON.
    template <class Parse>
    static auto decodeParsed(std::optional<nlohmann::json> document, Parse&& parse)
        -> std::invoke_result_t<Parse&, const nlohmann::json&>;

    // A date of a response: an RFC 3339 date-time with or without fractional
    // seconds. Throws JSONDecodingError ("Invalid Supabase date: " + text).
    static Timestamp decodeSupabaseDate(const nlohmann::json& value);
    // The date of an answer's "Date" header, in the preferred form
    // "Sun, 06 Nov 1994 08:49:37 GMT" or the obsolete "Sun Nov  6 08:49:37 1994";
    // none for anything else, the obsolete form with a two-digit year
    // among it (its century would be a guess).
    static std::optional<Timestamp> parseHTTPDate(std::string_view text);
    // The optional date under `key`: missing or null gives none.
    static std::optional<Timestamp> optionalSupabaseDate(const nlohmann::json& object, const char* key);
    // A JSON array of file rows; any row that does not decode fails the whole list.
    static std::vector<RemoteFileRecord> decodeFileRows(const nlohmann::json& answer);

    // Runs `operation` with the stored session; when it throws unauthorized,
    // refreshes the session once and runs it once more. Throws
    // notAuthenticated when no session is stored.
    template <class Operation>
    auto runWithRefreshedSession(Operation&& operation, std::stop_token stop = {})
        -> std::invoke_result_t<Operation&, const StoredSession&>;

    // Authenticated GET whose body is decoded with `parse`.
    template <class Parse>
    auto getWithSession(const std::string& path, const URLQueryItems& queryItems, Parse&& parse,
                        std::stop_token stop = {}) -> std::invoke_result_t<Parse&, const nlohmann::json&>;

    // Authenticated PATCH with "Prefer" "return=minimal"; the answer's body is
    // not read.
    void patchWithoutResponse(const std::string& path, const URLQueryItems& queryItems, const JSONObject& body,
                              std::stop_token stop = {});

private:
    struct RefreshExchange;

    // A user lookup, with the time its answer was made by the backend's own
    // clock (to the second) when the answer told it.
    struct UserLookup {
        std::optional<StoredUser> user;
        std::optional<Timestamp> answeredAt;
    };

    UserLookup lookUpCurrentUser(const StoredSession& session, std::stop_token stop);
    std::optional<StoredUser> fetchCurrentUser(const StoredSession& session, std::stop_token stop);
    // After a job insert whose answer was lost: whether the backend holds the
    // job it stored (see the definition). Throws `insertError` when that
    // cannot be told.
    bool lostInsertStoredJob(const std::string& fileID, const std::string& kind,
                              const std::optional<Timestamp>& since, std::stop_token stop,
                              const TransportError& insertError);
    StoredSession exchangeRefreshToken(const StoredSession& session, std::stop_token stop);
    std::int64_t countRows(const std::string& path, const URLQueryItems& queryItems, std::stop_token stop);
    std::optional<Timestamp> fetchOldestQueuedAt(std::stop_token stop);
    std::optional<Timestamp> fetchLastIngestedAt(std::stop_token stop);
    static std::string inFilter(const std::vector<std::string>& ids);
    // The ids in order, cut into runs whose "id" in-filter, after the query
    // items `before`, keeps a request URL for `path` within maximumURLLength
    // (an id too long for that on its own makes a run by itself).
    std::vector<std::vector<std::string>> idBatches(const std::string& path, const std::vector<std::string>& ids,
                                                    const URLQueryItems& before = {}) const;
    static constexpr std::size_t maximumURLLength = 4095;

    static std::optional<nlohmann::json> parseJSON(std::string_view bytes);
    // The document with only the members `keys` and "message" of a top-level
    // object, each nested value among them empty; a top-level array empty;
    // none when the text is not JSON.
    static std::optional<nlohmann::json> parseJSONMembers(std::string_view bytes,
                                                          std::initializer_list<std::string_view> keys);
    [[noreturn]] static void throwNotJSON();
    static void throwIfErrorEnvelope(const nlohmann::json& document);

    PublicConfig config_;
    // The configured URL, parsed once; none when it is not a valid one.
    std::optional<URLBuilder> baseURL_;
    std::shared_ptr<SessionStore> sessionStore_;
    std::shared_ptr<HTTPTransport> transport_;

    // Refresh exchanges in flight, by the refresh token they spend.
    std::mutex refreshMutex_;
    std::condition_variable_any refreshFinished_;
    std::map<std::string, std::shared_ptr<RefreshExchange>> refreshesInFlight_;
};

template <class Parse>
auto SupabaseHTTPClient::decode(std::string_view bytes, Parse&& parse)
    -> std::invoke_result_t<Parse&, const nlohmann::json&> {
    return decodeParsed(parseJSON(bytes), std::forward<Parse>(parse));
}

template <class Parse>
auto SupabaseHTTPClient::decodeMembers(std::string_view bytes, std::initializer_list<std::string_view> keys,
                                       Parse&& parse) -> std::invoke_result_t<Parse&, const nlohmann::json&> {
    return decodeParsed(parseJSONMembers(bytes, keys), std::forward<Parse>(parse));
}

template <class Parse>
auto SupabaseHTTPClient::decodeParsed(std::optional<nlohmann::json> document, Parse&& parse)
    -> std::invoke_result_t<Parse&, const nlohmann::json&> {
    if (!document) {
        throwNotJSON();
    }
    try {
        return parse(*document);
    } catch (const JSONDecodingError&) {
        throwIfErrorEnvelope(*document);
        throw;
    } catch (const nlohmann::json::exception& error) {
        throwIfErrorEnvelope(*document);
        throw JSONDecodingError(error.what());
    }
}

template <class Operation>
auto SupabaseHTTPClient::runWithRefreshedSession(Operation&& operation, std::stop_token stop)
    -> std::invoke_result_t<Operation&, const StoredSession&> {
    std::optional<StoredSession> session = sessionStore_->load();
    if (!session) {
        throw SupabaseHTTPError::notAuthenticated();
    }
    try {
        return operation(std::as_const(*session));
    } catch (const SupabaseHTTPError& error) {
        if (error.kind() != SupabaseHTTPError::Kind::unauthorized) {
            throw;
        }
    }
    const StoredSession refreshed = refresh(*session, stop);
    return operation(refreshed);
}

template <class Parse>
auto SupabaseHTTPClient::getWithSession(const std::string& path, const URLQueryItems& queryItems, Parse&& parse,
                                        std::stop_token stop)
    -> std::invoke_result_t<Parse&, const nlohmann::json&> {
    return runWithRefreshedSession(
        [&](const StoredSession& session) {
            HTTPResponse response = send(makeRequest(path, "GET", session.accessToken, queryItems), stop);
            validate(response);
            return decode(response.body, parse);
        },
        stop);
}

} // namespace tarnwell
