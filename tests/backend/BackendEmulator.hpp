// Loopback stand-in for the hosted backend: authentication, the REST tables
// `files` and `jobs`, the storage bucket and the ingest workers, served over
// real HTTP on 127.0.0.1. Used in-process by the tests (ephemeral port) and by
// the standalone `tarnwell-backend` program for local runs and benchmarks.
//
// Thread safety: every public member may be called from any thread while the
// server runs. State lives behind one internal mutex that is never held while
// sleeping or doing socket I/O.
//
// Typical use in a test:
//   BackendEmulator backend;                      // anon key "local-anon-key", bucket "files"
//   const auto uid = backend.addUser("a@example.com", "secret1");
//   backend.start();                              // backend.baseURL() == "http://127.0.0.1:<port>"
//   ... point the client at baseURL(), sign in, sync ...
//   backend.runWorker();                          // queued ingest jobs -> done
//   EXPECT_EQ(backend.requestCount("POST", "/auth/v1/token"), 2u);
//
// What it answers (bodies are JSON; every answer, an injected one too, carries a
// "Date" header from the clock that fills the rows' times):
//   - every known route without "apikey" (header or query) or with a wrong one: 401;
//     an unknown route: 404; a known route with another method: 405.
//   - POST /auth/v1/token?grant_type=password: 200 session {"access_token", "token_type",
//     "expires_in", "expires_at", "refresh_token", "user"}; wrong e-mail or password,
//     unconfirmed account, missing fields: 400. The e-mail matches without regard to
//     case but is not trimmed.
//   - POST /auth/v1/token?grant_type=refresh_token {"refresh_token"}: 200 with a new
//     access token and a new refresh token; the presented one is spent. Unknown, spent
//     or revoked tokens: 400 (see refreshReuseInterval). Unknown grant: 400.
//   - POST /auth/v1/signup {"email","password"}: 200 {"user", "session"} (see SignUpMode);
//     taken e-mail or password under 6 characters: 422; malformed e-mail: 400.
//   - GET /auth/v1/user: 200 user object {"id","email",...}; no, expired or unknown bearer: 401.
//   - /rest/v1/files and /rest/v1/jobs: GET (select, filters eq/neq/gt/gte/lt/lte/like/
//     ilike/is/in with "not." prefix, order col.asc|desc[.nullsfirst|.nullslast], limit,
//     offset, Range with Range-Unit items, Prefer count=exact -> Content-Range "a-b/total"
//     or "*/total", 206 when the rows returned are fewer than the total); POST (object or
//     array; Prefer resolution=merge-duplicates|ignore-duplicates with on_conflict, else a
//     duplicate is 409; return=representation -> 201 with the rows, else 201 empty);
//     PATCH (filters required, else 400; return=representation -> 200 rows, else 204).
//     Writes need "content-type: application/json" (else 415). Rows are visible to their
//     owner only; an expired or unknown bearer: 401; no bearer (or the anon key) sees no
//     rows and may not insert (401). Writing a row for another user: 403. Errors carry
//     {"code","details","hint","message"}.
//   - POST|PUT /storage/v1/object/<bucket>/<key>: the path is percent-decoded once to
//     give the object name; 200 {"Key","Id"}; an existing object without "x-upsert: true":
//     409; unknown bucket: 404; expired bearer: 401; no bearer: 403.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwell::testing {

// What the worker does with a queued "ingest" job. "delete" jobs always end
// as "done" unless the mode is Off or Running.
enum class WorkerMode {
  Off,      // leave jobs queued
  Done,     // job -> "done"; file.ingested_sha256 = file.sha256, ingested_at = now, ingest_error = null
  Error,    // job -> "error", error = text, attempts + 1; file.ingest_error = text
  Running,  // job -> "running" and left there
};

// Parses "off", "done", "error", "running"; nullopt for anything else.
std::optional<WorkerMode> parseWorkerMode(const std::string& text);
std::string toString(WorkerMode mode);

// How /auth/v1/signup answers a new account.
enum class SignUpMode {
  Session,               // {"user": {...}, "session": {"access_token", "refresh_token", ...}}
  ConfirmationRequired,  // {"user": {...}, "session": null}; sign-in fails until confirmUser()
};

struct BackendOptions {
  std::string anonKey = "local-anon-key";
  std::string bucket = "files";  // the one bucket that exists
  int port = 0;                  // 0: ephemeral
  int threadCount = 32;          // request threads
  std::chrono::seconds keepAliveTimeout{5};  // idle connections are closed after this
  std::size_t keepAliveMaxRequests = 100;    // a connection is closed after this many requests

  std::chrono::seconds accessTokenLifetime{3600};
  // Presenting an already used refresh token within this window answers with
  // the token family's current refresh token; after it the token is rejected
  // ("Invalid Refresh Token: Already Used") and, with revokeFamilyOnReuse, every
  // token of that session is revoked. Zero: every reuse is rejected.
  std::chrono::milliseconds refreshReuseInterval{0};
  bool revokeFamilyOnReuse = true;
  bool refreshAnswerIncludesUser = true;

  SignUpMode signUpMode = SignUpMode::Session;

  WorkerMode worker = WorkerMode::Done;      // used by runWorker() and the background worker
  std::chrono::milliseconds workerInterval{0};  // > 0: background worker runs this often
  std::string workerError = "Ingest failed";

  bool keepObjectBytes = true;        // false: only size is kept (large benchmarks)
  bool enforceForeignKeys = true;     // jobs.file_id must name an existing files row
  bool enforceStorageKeyOwner = false;  // keys must start with "user-<uid>/"
  bool logRequests = true;            // keep the request log
  bool logRequestBodies = true;       // storage bodies are never logged, only their size
};

struct SessionTokens {
  std::string accessToken;
  std::string refreshToken;
  std::string userId;
};

struct RecordedRequest {
  std::uint64_t sequence = 0;
  std::string method;
  std::string path;       // percent-decoded
  std::string rawTarget;  // as received: encoded path plus "?" plus query
  std::string rawQuery;   // as received, without "?"
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in URL order
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent, sorted by name
  std::string body;       // empty for storage uploads when bodies are not kept
  std::uint64_t bodySize = 0;
  int status = 0;         // status that was answered
  std::string userId;     // owner of a valid bearer token, else empty
  int remotePort = 0;     // the client's port: equal for requests on one connection

  // Case-insensitive header lookup; first value.
  std::optional<std::string> header(const std::string& name) const;
  // First query item of that name (decoded).
  std::optional<std::string> queryItem(const std::string& name) const;
  std::vector<std::string> queryNames() const;
  bool hasHeader(const std::string& name) const { return header(name).has_value(); }
};

struct StoredObject {
  std::string bucket;
  std::string key;  // decoded object name
  std::string ownerId;
  std::string contentType;
  std::string cacheControl;
  std::optional<std::string> upsertHeader;  // value of x-upsert as sent
  std::string bytes;                        // empty when bytes are not kept
  std::uint64_t size = 0;
  int writes = 0;  // how many uploads created or replaced it
};

// Changes the answer of matching requests. A request matches when the method
// is equal (empty: any), the decoded path starts with pathPrefix, and the
// decoded query, written as "name=value&name=value" in URL order, contains
// queryContains (empty: any). The first matching fault, in the order given, applies.
struct Fault {
  std::string method;
  std::string pathPrefix;
  std::string queryContains;
  int count = 1;  // matching requests affected; < 0: until cleared
  std::chrono::milliseconds delay{0};  // wait before handling
  // passThrough false: the request is not handled; the answer is `status`
  // (default 500) with `body` (default {"message":"Injected fault"}).
  // passThrough true: the request is handled normally, then status, body and
  // headers are replaced where given.
  bool passThrough = false;
  std::optional<int> status;
  std::optional<std::string> body;
  std::string contentType = "application/json";
  std::map<std::string, std::string> setHeaders;
  std::vector<std::string> removeHeaders;
  // Close the connection after sending the headers and only some of the body:
  // the client sees a transport failure.
  bool dropConnection = false;
  // Close the connection without sending a single byte of the answer; with
  // passThrough the request is handled first, as by a server that fails
  // right after doing the work.
  bool closeWithoutAnswer = false;
  // > 0: read the request body and send the answer body no faster than this,
  // so that a transfer takes long while bytes keep flowing.
  std::size_t bytesPerSecond = 0;
  // > 0: send the answer body one byte at a time, this long apart (a slower
  // trickle than bytesPerSecond can make).
  std::chrono::milliseconds byteInterval{0};
};

struct BackendStats {
  int passwordGrants = 0;            // successful password sign-ins
  int refreshGrants = 0;             // successful refresh-token exchanges
  int rejectedRefreshes = 0;         // refresh grants answered with an error
  int reusedRefreshTokens = 0;       // presentations of an already used token
  int signUps = 0;                   // accounts created
  int unauthorizedAnswers = 0;       // 401s answered for a bad or expired bearer token
  int uploads = 0;                   // successful storage uploads
  int workerRuns = 0;
  int injectedFaults = 0;            // requests changed by a fault
};

class BackendEmulator {
public:
  explicit BackendEmulator(BackendOptions options = {});
  ~BackendEmulator();  // stops and joins every thread
  BackendEmulator(const BackendEmulator&) = delete;
  BackendEmulator& operator=(const BackendEmulator&) = delete;

  // Binds 127.0.0.1 (the given or an ephemeral port; after a stop, the port
  // it had) and serves on its own thread; returns once requests are accepted.
  // Throws std::runtime_error when the port cannot be bound. Also starts the
  // background worker if configured.
  void start();
  void stop();  // idempotent
  bool running() const;
  int port() const;
  std::string baseURL() const;  // "http://127.0.0.1:PORT"
  const BackendOptions& options() const { return options_; }
  std::string anonKey() const { return options_.anonKey; }
  std::string bucket() const { return options_.bucket; }

  // ---- accounts and sessions
  // Creates a confirmed account; returns its id. Throws if the e-mail exists.
  std::string addUser(const std::string& email, const std::string& password);
  std::optional<std::string> userId(const std::string& email) const;
  void confirmUser(const std::string& email);
  // Starts a new session for the account as a password sign-in would, without
  // HTTP. Throws if there is no such account.
  SessionTokens issueSession(const std::string& email);
  // Every access token issued so far is answered with 401 from now on.
  void expireAllAccessTokens();
  void expireAccessToken(const std::string& accessToken);
  void revokeRefreshToken(const std::string& refreshToken);
  bool refreshTokenIsActive(const std::string& refreshToken) const;
  void setSignUpMode(SignUpMode mode);
  void setRefreshAnswerIncludesUser(bool include);

  // ---- tables: rows as the REST interface would render them (all columns)
  std::vector<nlohmann::json> files() const;                          // every user, insertion order
  std::vector<nlohmann::json> jobs() const;                           // every user, insertion order
  std::optional<nlohmann::json> file(const std::string& id) const;
  std::optional<nlohmann::json> fileByKey(const std::string& userId, const std::string& storageKey) const;
  std::optional<nlohmann::json> job(const std::string& id) const;
  std::vector<nlohmann::json> jobsForFile(const std::string& fileId) const;
  std::size_t fileCount() const;
  std::size_t jobCount() const;
  // Direct inserts and updates for test setup, with the same column rules as
  // the REST interface ("created_at" may be given, also as null). Return the
  // row as rendered. Throw std::invalid_argument on a bad column or value.
  nlohmann::json insertFile(const std::string& userId, const nlohmann::json& row);
  nlohmann::json insertJob(const std::string& userId, const nlohmann::json& row);
  nlohmann::json updateFile(const std::string& id, const nlohmann::json& changes);
  nlohmann::json updateJob(const std::string& id, const nlohmann::json& changes);

  // ---- storage
  std::vector<StoredObject> objects() const;
  std::optional<StoredObject> object(const std::string& key) const;  // in the configured bucket
  std::size_t objectCount() const;

  // ---- worker
  // Handles every queued job once, oldest first, with the configured mode;
  // returns how many jobs it handled.
  int runWorker();
  int runWorker(WorkerMode mode);
  void setWorkerMode(WorkerMode mode);
  // Ingest jobs whose file has this storage key end in "error" with this text,
  // whatever the mode (Off excepted). An empty error removes the rule.
  void failIngestForKey(const std::string& storageKey, const std::string& error);
  // Blocks until no job is queued or the timeout passes; true when none is.
  bool waitForWorkerIdle(std::chrono::milliseconds timeout);

  // ---- fault injection
  void injectFault(Fault fault);
  // Next `count` requests with this method (empty: any) on paths starting with
  // pathPrefix are not handled and answered with status and body.
  void failNext(const std::string& method, const std::string& pathPrefix, int count, int status,
                std::optional<std::string> body = std::nullopt);
  // Next `count` matching requests (< 0: all) wait `delay` and are then handled.
  void delay(const std::string& method, const std::string& pathPrefix, std::chrono::milliseconds delay,
             int count = -1);
  void clearFaults();
  std::size_t pendingFaults() const;

  // ---- inspection
  std::vector<RecordedRequest> requests() const;
  // Requests with this method (empty: any) on paths starting with pathPrefix.
  std::vector<RecordedRequest> requests(const std::string& method, const std::string& pathPrefix) const;
  std::size_t requestCount(const std::string& method, const std::string& pathPrefix) const;
  void clearRequests();
  BackendStats stats() const;

  struct State;  // implementation detail

private:
  BackendOptions options_;
  std::unique_ptr<State> state_;
};

}  // namespace tarnwell::testing
