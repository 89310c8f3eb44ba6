#include "BackendEmulator.hpp"

#include "BackendAuth.hpp"
#include "BackendServer.hpp"
#include "BackendTables.hpp"
#include "BackendUtil.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace tarnwell::testing {

using nlohmann::json;
using namespace detail;

std::optional<WorkerMode> parseWorkerMode(const std::string& text) {
  if (text == "off") return WorkerMode::Off;
  if (text == "done") return WorkerMode::Done;
  if (text == "error") return WorkerMode::Error;
  if (text == "running") return WorkerMode::Running;
  return std::nullopt;
}

std::string toString(WorkerMode mode) {
  switch (mode) {
    case WorkerMode::Off: return "off";
    case WorkerMode::Done: return "done";
    case WorkerMode::Error: return "error";
    case WorkerMode::Running: return "running";
  }
  return "off";
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (iequals(key, name)) return value;
  }
  return std::nullopt;
}

std::optional<std::string> RecordedRequest::queryItem(const std::string& name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::vector<std::string> RecordedRequest::queryNames() const {
  std::vector<std::string> names;
  for (const auto& item : query) names.push_back(item.first);
  return names;
}

namespace {

// One answer before it is written to the connection.
struct Answer {
  int status = 200;
  std::string body;
  std::string contentType = "application/json; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  bool dropConnection = false;
};

Answer jsonAnswer(int status, const json& body) {
  Answer answer;
  answer.status = status;
  answer.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
  return answer;
}

Answer authError(int status, const std::string& errorCode, const std::string& message) {
  return jsonAnswer(status, {{"code", status}, {"error_code", errorCode}, {"msg", message}});
}

Answer storageError(int status, const std::string& error, const std::string& message) {
  return jsonAnswer(status, {{"statusCode", std::to_string(status)}, {"error", error}, {"message", message}});
}

bool matchesRoute(const std::string& wantedMethod, const std::string& prefix, const std::string& method,
                  const std::string& path) {
  return (wantedMethod.empty() || iequals(wantedMethod, method)) && startsWith(path, prefix);
}

constexpr const char* storagePrefix = "/storage/v1/object/";
constexpr const char* dashboardPath = "/dashboard";

std::string htmlEscaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// A rendered cell as page text: strings as they are, null as a dash.
std::string cellText(const json& value) {
  if (value.is_null()) return "\u2013";
  return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

struct BackendEmulator::State {
  explicit State(const BackendOptions& options)
      : auth(AuthStore::Settings{options.accessTokenLifetime, options.refreshReuseInterval,
                                 options.revokeFamilyOnReuse},
             random),
        files("files", fileColumns(), random),
        jobs("jobs", jobColumns(), random),
        signUpMode(options.signUpMode),
        refreshIncludesUser(options.refreshAnswerIncludesUser),
        workerMode(options.worker) {}

  static std::vector<Column> fileColumns() {
    return {
        {"id", ColumnType::Text, true, ColumnDefault::Uuid, nullptr, false},
        {"user_id", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
        {"storage_bucket", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
        {"storage_key", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
        {"sha256", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"ingested_sha256", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"is_deleted", ColumnType::Bool, false, ColumnDefault::Value, false, false},
        {"path", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"bytes", ColumnType::Int, false, ColumnDefault::None, nullptr, false},
        {"mime", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"ingest_error", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"ingested_at", ColumnType::Timestamp, false, ColumnDefault::None, nullptr, false},
        {"created_at", ColumnType::Timestamp, false, ColumnDefault::Now, nullptr, false},
        {"updated_at", ColumnType::Timestamp, false, ColumnDefault::Now, nullptr, true},
    };
  }

  static std::vector<Column> jobColumns() {
    return {
        {"id", ColumnType::Text, true, ColumnDefault::Uuid, nullptr, false},
        {"user_id", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
        {"file_id", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"kind", ColumnType::Text, true, ColumnDefault::None, nullptr, false},
        {"payload", ColumnType::Json, false, ColumnDefault::Value, json::object(), false},
        {"status", ColumnType::Text, true, ColumnDefault::Value, "queued", false},
        {"attempts", ColumnType::Int, true, ColumnDefault::Value, 0, false},
        {"error", ColumnType::Text, false, ColumnDefault::None, nullptr, false},
        {"created_at", ColumnType::Timestamp, false, ColumnDefault::Now, nullptr, false},
        {"updated_at", ColumnType::Timestamp, false, ColumnDefault::Now, nullptr, true},
    };
  }

  void setUpTables(bool enforceForeignKeys) {
    files.addUniqueIndex({"id"}, "files_pkey");
    files.addUniqueIndex({"user_id", "storage_bucket", "storage_key"},
                         "files_user_id_storage_bucket_storage_key_key");
    files.addIndex({"user_id"});
    files.addIndex({"user_id", "storage_key"});

    jobs.addUniqueIndex({"id"}, "jobs_pkey");
    jobs.addIndex({"user_id"});
    jobs.addIndex({"user_id", "status"});
    jobs.addIndex({"status"});
    jobs.addIndex({"file_id"});
    jobs.addCheck([](const Table& table, const std::vector<json>& cells) {
      const json& kind = cells[table.columnIndex("kind")];
      if (kind != "ingest" && kind != "delete") {
        throw RestError(400, "23514", "new row for relation \"jobs\" violates check constraint \"jobs_kind_check\"");
      }
      const json& status = cells[table.columnIndex("status")];
      if (status != "queued" && status != "running" && status != "done" && status != "error") {
        throw RestError(400, "23514",
                        "new row for relation \"jobs\" violates check constraint \"jobs_status_check\"");
      }
    });
    if (enforceForeignKeys) {
      jobs.addCheck([this](const Table& table, const std::vector<json>& cells) {
        const json& fileId = cells[table.columnIndex("file_id")];
        if (fileId.is_string() && !files.find(fileId.get<std::string>())) {
          throw RestError(409, "23503",
                          "insert or update on table \"jobs\" violates foreign key constraint \"jobs_file_id_fkey\"",
                          "Key (file_id)=(" + fileId.get<std::string>() + ") is not present in table \"files\".");
        }
      });
    }
  }

  // Guards everything below.
  mutable std::mutex mutex;
  Random random;
  AuthStore auth;
  Table files;
  Table jobs;
  std::map<std::pair<std::string, std::string>, StoredObject> objects;  // (bucket, key)
  std::deque<Fault> faults;
  std::vector<RecordedRequest> log;
  std::uint64_t nextRequest = 1;
  BackendStats stats;
  SignUpMode signUpMode;
  bool refreshIncludesUser;
  WorkerMode workerMode;
  std::unordered_map<std::string, std::string> ingestFailures;  // storage key -> error

  // Lifecycle.
  std::mutex lifecycle;
  std::unique_ptr<ItemRangeServer> server;
  std::thread serverThread;
  std::thread workerThread;
  int boundPort = 0;
  std::atomic<bool> serving{false};
  std::mutex stopMutex;
  std::condition_variable stopSignal;
  bool stopping = false;  // under stopMutex

  // Waits, unless the emulator is stopped first.
  void interruptibleSleep(std::chrono::milliseconds duration) {
    std::unique_lock lock(stopMutex);
    stopSignal.wait_for(lock, duration, [this] { return stopping; });
  }
};

// ---- request handling --------------------------------------------------------

namespace {

struct Incoming {
  std::string method;
  std::string path;
  std::string rawPath;
  std::string rawQuery;
  QueryItems query;
  const httplib::Request* request = nullptr;
  std::string body;
  std::uint64_t bodySize = 0;

  std::optional<std::string> header(const std::string& name) const {
    if (!request->has_header(name.c_str())) return std::nullopt;
    return request->get_header_value(name.c_str());
  }
  std::vector<std::string> headerValues(const std::string& name) const {
    std::vector<std::string> values;
    const auto count = request->get_header_value_count(name.c_str());
    for (std::size_t i = 0; i < count; ++i) values.push_back(request->get_header_value(name.c_str(), i));
    return values;
  }
  std::optional<std::string> queryItem(const std::string& name) const {
    for (const auto& [k, v] : query) {
      if (k == name) return v;
    }
    return std::nullopt;
  }
  std::string decodedQuery() const {
    std::string text;
    for (const auto& [k, v] : query) text += (text.empty() ? "" : "&") + k + "=" + v;
    return text;
  }
};

// Who a request speaks for, from its "Authorization" header.
struct Bearer {
  enum class Kind { None, Anonymous, User, Invalid } kind = Kind::None;
  std::string userId;
};

}  // namespace

class BackendRequestHandler {
public:
  BackendRequestHandler(BackendEmulator::State& state, const BackendOptions& options) : s(state), options(options) {}

  Answer route(const Incoming& in, std::string& userIdOut) {
    const std::string& p = in.path;
    if (p == dashboardPath) return in.method == "GET" || in.method == "HEAD" ? dashboard() : notAllowed();
    const bool known = p == "/auth/v1/token" || p == "/auth/v1/signup" || p == "/auth/v1/user" ||
                       p == "/rest/v1/files" || p == "/rest/v1/jobs" || startsWith(p, storagePrefix);
    if (!known) return jsonAnswer(404, {{"message", "no Route matched with those values"}});
    const auto apikey = in.header("apikey") ? in.header("apikey") : in.queryItem("apikey");
    if (!apikey) {
      return jsonAnswer(401, {{"message", "No API key found in request"},
                              {"hint", "No `apikey` request header or url param was found."}});
    }
    if (*apikey != options.anonKey) {
      return jsonAnswer(401, {{"message", "Invalid API key"},
                              {"hint", "Double check your Supabase `anon` or `service_role` API key."}});
    }
    const Bearer bearer = resolveBearer(in);
    if (bearer.kind == Bearer::Kind::User) userIdOut = bearer.userId;

    if (p == "/auth/v1/token") return in.method == "POST" ? token(in) : notAllowed();
    if (p == "/auth/v1/signup") return in.method == "POST" ? signUp(in) : notAllowed();
    if (p == "/auth/v1/user") return in.method == "GET" || in.method == "HEAD" ? user(bearer) : notAllowed();
    if (startsWith(p, "/rest/v1/")) return rest(in, bearer);
    return in.method == "POST" || in.method == "PUT" ? upload(in, bearer) : notAllowed();
  }

private:
  static Answer notAllowed() { return jsonAnswer(405, {{"message", "Method Not Allowed"}}); }

  // The page a local run opens as its dashboard: every account with its
  // files and jobs as the emulator holds them. Needs no key, like a page a
  // browser opens.
  Answer dashboard() {
    std::ostringstream page;
    page << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<title>Local emulator dashboard</title><style>"
            "body{font-family:sans-serif;margin:2em;color:#1d1d1f}"
            "table{border-collapse:collapse;margin-bottom:1.5em}"
            "th,td{border:1px solid #ccc;padding:4px 8px;text-align:left;vertical-align:top}"
            "th{background:#f2f2f2}</style></head><body>\n"
            "<h1>Local emulator dashboard</h1>\n"
            "<p>This page is served by the local backend emulator on this computer, not by a hosted "
            "service. It lists the files and jobs of each account the emulator knows. Everything is "
            "kept in memory and is gone when the emulator stops.</p>\n";
    std::lock_guard lock(s.mutex);
    const std::vector<const AuthUser*> users = s.auth.users();
    if (users.empty()) page << "<p>No accounts.</p>\n";
    for (const AuthUser* user : users) {
      page << "<h2>" << htmlEscaped(user->email) << "</h2>\n";
      const auto files = s.files.lookup({{"user_id", user->id}});
      page << "<h3>Files (" << files.size() << ")</h3>\n";
      if (files.empty()) {
        page << "<p>No files yet.</p>\n";
      } else {
        page << "<table><tr><th>Path</th><th>Bytes</th><th>Ingested at</th><th>Ingest error</th>"
                "<th>Deleted</th></tr>\n";
        for (const Row* row : files) {
          const json path = s.files.cell(*row, "path");
          page << "<tr><td>" << htmlEscaped(cellText(path.is_null() ? s.files.cell(*row, "storage_key") : path))
               << "</td><td>" << htmlEscaped(cellText(s.files.cell(*row, "bytes"))) << "</td><td>"
               << htmlEscaped(cellText(s.files.cell(*row, "ingested_at"))) << "</td><td>"
               << htmlEscaped(cellText(s.files.cell(*row, "ingest_error"))) << "</td><td>"
               << (s.files.cell(*row, "is_deleted") == true ? "yes" : "no") << "</td></tr>\n";
        }
        page << "</table>\n";
      }
      const auto jobs = s.jobs.lookup({{"user_id", user->id}});
      page << "<h3>Jobs (" << jobs.size() << ")</h3>\n";
      if (jobs.empty()) {
        page << "<p>No jobs yet.</p>\n";
      } else {
        page << "<table><tr><th>Kind</th><th>Status</th><th>File</th><th>Attempts</th><th>Error</th>"
                "<th>Created at</th></tr>\n";
        for (const Row* row : jobs) {
          std::string file = "\u2013";
          if (const json id = s.jobs.cell(*row, "file_id"); id.is_string()) {
            const Row* fileRow = s.files.find(id.get<std::string>());
            file = fileRow ? cellText(s.files.cell(*fileRow, "path")) : id.get<std::string>();
          }
          page << "<tr><td>" << htmlEscaped(cellText(s.jobs.cell(*row, "kind"))) << "</td><td>"
               << htmlEscaped(cellText(s.jobs.cell(*row, "status"))) << "</td><td>" << htmlEscaped(file)
               << "</td><td>" << htmlEscaped(cellText(s.jobs.cell(*row, "attempts"))) << "</td><td>"
               << htmlEscaped(cellText(s.jobs.cell(*row, "error"))) << "</td><td>"
               << htmlEscaped(cellText(s.jobs.cell(*row, "created_at"))) << "</td></tr>\n";
        }
        page << "</table>\n";
      }
    }
    page << "</body></html>\n";
    Answer answer;
    answer.body = page.str();
    answer.contentType = "text/html; charset=utf-8";
    return answer;
  }

  Bearer resolveBearer(const Incoming& in) {
    Bearer bearer;
    const auto header = in.header("Authorization");
    if (!header) return bearer;
    const std::string value = trim(*header);
    if (value.size() < 7 || !iequals(value.substr(0, 7), "bearer ")) {
      bearer.kind = Bearer::Kind::Invalid;
      return bearer;
    }
    const std::string token = trim(value.substr(7));
    if (token == options.anonKey) {
      bearer.kind = Bearer::Kind::Anonymous;
      return bearer;
    }
    std::lock_guard lock(s.mutex);
    std::string userId;
    if (s.auth.checkAccessToken(token, userId) == BearerState::Valid) {
      bearer.kind = Bearer::Kind::User;
      bearer.userId = userId;
    } else {
      bearer.kind = Bearer::Kind::Invalid;
    }
    return bearer;
  }

  void countUnauthorized() {
    std::lock_guard lock(s.mutex);
    ++s.stats.unauthorizedAnswers;
  }

  json sessionJson(const IssuedSession& session, const AuthUser* user, bool includeUser) {
    json out = {{"access_token", session.accessToken},
                {"token_type", "bearer"},
                {"expires_in", s.auth.lifetimeSeconds()},
                {"expires_at", session.expiresAt / 1000000},
                {"refresh_token", session.refreshToken}};
    if (includeUser && user) out["user"] = s.auth.renderUser(*user);
    return out;
  }

  Answer token(const Incoming& in) {
    const auto grant = in.queryItem("grant_type");
    const json body = json::parse(in.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
      return authError(400, "bad_json", "Could not parse request body as JSON");
    }
    std::lock_guard lock(s.mutex);
    if (grant == "password") {
      if (!body.contains("email") || !body["email"].is_string() || !body.contains("password") ||
          !body["password"].is_string()) {
        return authError(400, "validation_failed", "missing email or phone");
      }
      AuthUser* user = s.auth.userByEmail(body["email"].get<std::string>());
      if (!user || user->password != body["password"].get<std::string>()) {
        return authError(400, "invalid_credentials", "Invalid login credentials");
      }
      if (!user->confirmed) return authError(400, "email_not_confirmed", "Email not confirmed");
      const IssuedSession session = s.auth.startSession(user->id);
      ++s.stats.passwordGrants;
      return jsonAnswer(200, sessionJson(session, user, true));
    }
    if (grant == "refresh_token") {
      if (!body.contains("refresh_token") || !body["refresh_token"].is_string() ||
          body["refresh_token"].get<std::string>().empty()) {
        ++s.stats.rejectedRefreshes;
        return authError(400, "validation_failed", "refresh_token required");
      }
      const RefreshOutcome outcome = s.auth.refresh(body["refresh_token"].get<std::string>());
      switch (outcome.kind) {
        case RefreshOutcome::Kind::NotFound:
          ++s.stats.rejectedRefreshes;
          return authError(400, "refresh_token_not_found", "Invalid Refresh Token: Refresh Token Not Found");
        case RefreshOutcome::Kind::Reused:
          ++s.stats.rejectedRefreshes;
          ++s.stats.reusedRefreshTokens;
          return authError(400, "refresh_token_already_used", "Invalid Refresh Token: Already Used");
        case RefreshOutcome::Kind::ReusedWithinInterval:
          ++s.stats.reusedRefreshTokens;
          [[fallthrough]];
        case RefreshOutcome::Kind::Rotated:
          ++s.stats.refreshGrants;
          return jsonAnswer(200, sessionJson(outcome.session, s.auth.userById(outcome.userId), s.refreshIncludesUser));
      }
    }
    return authError(400, "validation_failed", "unsupported_grant_type");
  }

  Answer signUp(const Incoming& in) {
    const json body = json::parse(in.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
      return authError(400, "bad_json", "Could not parse request body as JSON");
    }
    if (!body.contains("email") || !body["email"].is_string() || !body.contains("password") ||
        !body["password"].is_string()) {
      return authError(400, "validation_failed", "Signup requires a valid password");
    }
    const std::string email = body["email"].get<std::string>();
    const std::string password = body["password"].get<std::string>();
    const auto at = email.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= email.size() ||
        email.find_first_of(" \t\r\n") != std::string::npos) {
      return authError(400, "validation_failed", "Unable to validate email address: invalid format");
    }
    if (password.size() < 6) return authError(422, "weak_password", "Password should be at least 6 characters.");
    std::lock_guard lock(s.mutex);
    if (s.auth.userByEmail(email)) return authError(422, "user_already_exists", "User already registered");
    const bool confirmed = s.signUpMode == SignUpMode::Session;
    const AuthUser& user = s.auth.addUser(email, password, confirmed);
    ++s.stats.signUps;
    json answer = {{"user", s.auth.renderUser(user)}, {"session", nullptr}};
    if (confirmed) {
      const IssuedSession session = s.auth.startSession(user.id);
      answer["session"] = sessionJson(session, s.auth.userById(user.id), true);
      answer["user"] = s.auth.renderUser(*s.auth.userById(user.id));
    }
    return jsonAnswer(200, answer);
  }

  Answer user(const Bearer& bearer) {
    switch (bearer.kind) {
      case Bearer::Kind::None:
        return authError(401, "no_authorization", "This endpoint requires a Bearer token");
      case Bearer::Kind::Anonymous:
      case Bearer::Kind::Invalid:
        countUnauthorized();
        return authError(401, "bad_jwt",
                         "invalid JWT: unable to parse or verify signature, token has invalid claims: token is expired");
      case Bearer::Kind::User: break;
    }
    std::lock_guard lock(s.mutex);
    const AuthUser* account = s.auth.userById(bearer.userId);
    if (!account) return authError(404, "user_not_found", "User from sub claim in JWT does not exist");
    return jsonAnswer(200, s.auth.renderUser(*account));
  }

  Answer rest(const Incoming& in, const Bearer& bearer) {
    if (bearer.kind == Bearer::Kind::Invalid) {
      countUnauthorized();
      Answer answer = jsonAnswer(401, RestError(401, "PGRST301", "JWT expired").body());
      answer.headers.emplace_back("WWW-Authenticate",
                                  "Bearer error=\"invalid_token\", error_description=\"JWT expired\"");
      return answer;
    }
    if (in.method == "POST" || in.method == "PATCH") {
      const auto type = in.header("Content-Type");
      if (!type || !startsWith(toLower(trim(*type)), "application/json")) {
        return jsonAnswer(415, RestError(415, "PGRST107",
                                         "None of these media types are available: " + type.value_or(""))
                                   .body());
      }
    }
    const Caller caller = bearer.kind == Bearer::Kind::User ? Caller::user(bearer.userId) : Caller::anonymous();
    const Prefer prefer = parsePrefer(in.headerValues("Prefer"));
    std::optional<RangeSpec> range;
    if (const auto header = in.header(rangeHeaderAlias)) {
      const auto unit = in.header("Range-Unit");
      if (!unit || *unit == "items") range = parseRange(*header);
    }
    try {
      RestResult result;
      std::lock_guard lock(s.mutex);
      Table& table = in.path == "/rest/v1/files" ? s.files : s.jobs;
      if (in.method == "GET" || in.method == "HEAD") result = table.get(caller, in.query, prefer, range);
      else if (in.method == "POST") result = table.post(caller, in.query, prefer, in.body);
      else if (in.method == "PATCH") result = table.patch(caller, in.query, prefer, in.body);
      else return notAllowed();
      Answer answer;
      answer.status = result.status;
      answer.body = std::move(result.body);
      answer.headers = std::move(result.headers);
      return answer;
    } catch (const RestError& error) {
      return jsonAnswer(error.status, error.body());
    }
  }

  Answer upload(const Incoming& in, const Bearer& bearer) {
    const std::string rest = in.rawPath.substr(std::string(storagePrefix).size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 >= rest.size()) {
      return storageError(400, "Invalid key", "Invalid key: " + percentDecode(rest, false));
    }
    const std::string bucket = percentDecode(rest.substr(0, slash), false);
    const std::string key = percentDecode(rest.substr(slash + 1), false);
    if (bucket != options.bucket) return storageError(404, "Bucket not found", "Bucket not found");
    if (bearer.kind == Bearer::Kind::Invalid) {
      countUnauthorized();
      return storageError(401, "Unauthorized", "jwt expired");
    }
    if (bearer.kind != Bearer::Kind::User) {
      return storageError(403, "Unauthorized", "new row violates row-level security policy");
    }
    if (options.enforceStorageKeyOwner && !startsWith(key, "user-" + bearer.userId + "/")) {
      return storageError(403, "Unauthorized", "new row violates row-level security policy");
    }
    const auto upsertHeader = in.header("x-upsert");
    const bool upsert = in.method == "PUT" || (upsertHeader && iequals(*upsertHeader, "true"));
    std::lock_guard lock(s.mutex);
    const auto id = std::make_pair(bucket, key);
    auto it = s.objects.find(id);
    if (it != s.objects.end() && !upsert) {
      return storageError(409, "Duplicate", "The resource already exists");
    }
    StoredObject& object = s.objects[id];
    object.bucket = bucket;
    object.key = key;
    object.ownerId = bearer.userId;
    object.contentType = in.header("Content-Type").value_or("text/plain;charset=UTF-8");
    object.cacheControl = in.header("Cache-Control").value_or("no-cache");
    object.upsertHeader = upsertHeader;
    object.bytes = options.keepObjectBytes ? in.body : std::string();
    object.size = in.bodySize;
    ++object.writes;
    ++s.stats.uploads;
    return jsonAnswer(200, {{"Key", bucket + "/" + key}, {"Id", s.random.uuid()}});
  }

  BackendEmulator::State& s;
  const BackendOptions& options;
};

namespace {

// Applies a fault's replacements to an answer. An answer that was not
// handled keeps the headers that every answer carries.
void applyFault(const Fault& fault, Answer& answer) {
  if (!fault.passThrough) {
    Answer replaced;
    replaced.status = fault.status.value_or(500);
    replaced.body = fault.body.value_or("{\"message\":\"Injected fault\"}");
    replaced.contentType = fault.contentType;
    replaced.headers = std::move(answer.headers);
    answer = std::move(replaced);
  } else {
    if (fault.status) answer.status = *fault.status;
    if (fault.body) {
      answer.body = *fault.body;
      answer.contentType = fault.contentType;
    }
  }
  for (const auto& name : fault.removeHeaders) {
    std::erase_if(answer.headers, [&](const auto& h) { return iequals(h.first, name); });
  }
  for (const auto& [name, value] : fault.setHeaders) {
    std::erase_if(answer.headers, [&](const auto& h) { return iequals(h.first, name); });
    answer.headers.emplace_back(name, value);
  }
  answer.dropConnection = fault.dropConnection;
}

void writeAnswer(const Answer& answer, httplib::Response& res, std::size_t bytesPerSecond,
                 std::chrono::milliseconds byteInterval, BackendEmulator::State& s) {
  res.status = answer.status;
  for (const auto& [name, value] : answer.headers) res.set_header(name.c_str(), value);
  if (byteInterval.count() > 0 && !answer.body.empty() && !answer.dropConnection) {
    res.set_content_provider(answer.body.size(), answer.contentType.c_str(),
                             [body = answer.body, byteInterval, &s](std::size_t offset, std::size_t,
                                                                    httplib::DataSink& sink) {
                               s.interruptibleSleep(byteInterval);
                               return sink.write(body.data() + offset, 1);
                             });
    return;
  }
  if (bytesPerSecond > 0 && !answer.body.empty() && !answer.dropConnection) {
    // Trickle the body out in small slices.
    const std::size_t slice = std::max<std::size_t>(1, bytesPerSecond / 20);
    res.set_content_provider(answer.body.size(), answer.contentType.c_str(),
                             [body = answer.body, slice, bytesPerSecond, &s](std::size_t offset, std::size_t,
                                                                             httplib::DataSink& sink) {
                               const std::size_t n = std::min(slice, body.size() - offset);
                               s.interruptibleSleep(std::chrono::milliseconds(n * 1000 / bytesPerSecond));
                               return sink.write(body.data() + offset, n);
                             });
    return;
  }
  if (answer.dropConnection) {
    // Promise more bytes than are sent, then fail the write: the connection closes mid-body.
    const std::string partial = answer.body.substr(0, answer.body.size() / 2);
    res.set_content_provider(answer.body.size() + 1024, answer.contentType.c_str(),
                             [partial](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset == 0 && !partial.empty()) sink.write(partial.data(), partial.size());
                               return false;
                             });
    return;
  }
  if (answer.status == 204 || answer.status == 304) return;
  if (!answer.body.empty() || answer.status != 201) res.set_content(answer.body, answer.contentType.c_str());
}

void serveRequest(BackendEmulator::State& s, const BackendOptions& options_, const httplib::Request& req,
                  httplib::Response& res, const httplib::ContentReader* reader);

}  // namespace

// ---- BackendEmulator -----------------------------------------------------------

BackendEmulator::BackendEmulator(BackendOptions options)
    : options_(std::move(options)), state_(std::make_unique<State>(options_)) {
  state_->setUpTables(options_.enforceForeignKeys);
}

BackendEmulator::~BackendEmulator() { stop(); }

void BackendEmulator::start() {
  State& s = *state_;
  std::lock_guard lifecycle(s.lifecycle);
  if (s.serving) return;
  {
    std::lock_guard lock(s.stopMutex);
    s.stopping = false;
  }
  s.server = std::make_unique<ItemRangeServer>();
  auto& server = *s.server;
  const int threads = std::max(2, options_.threadCount);
  server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
  server.set_keep_alive_timeout(std::max<time_t>(1, options_.keepAliveTimeout.count()));
  server.set_keep_alive_max_count(std::max<std::size_t>(1, options_.keepAliveMaxRequests));

  auto handle = [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader) {
    serveRequest(*state_, options_, req, res, reader);
  };
  server.Get(".*", [handle](const httplib::Request& req, httplib::Response& res) { handle(req, res, nullptr); });
  server.Delete(".*", [handle](const httplib::Request& req, httplib::Response& res) { handle(req, res, nullptr); });
  server.Options(".*", [handle](const httplib::Request& req, httplib::Response& res) { handle(req, res, nullptr); });
  server.Post(".*", [handle](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& r) {
    handle(req, res, &r);
  });
  server.Put(".*", [handle](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& r) {
    handle(req, res, &r);
  });
  server.Patch(".*", [handle](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& r) {
    handle(req, res, &r);
  });

  // The library's default adds SO_REUSEPORT, with which a second emulator
  // could listen on the same port and take half the traffic. SO_REUSEADDR
  // alone still lets a restart take a port whose old connections linger,
  // but not one that is being listened on.
  server.set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // A restart takes the port it had: clients keep the base URL they were given.
  int port = options_.port != 0 ? options_.port : s.boundPort;
  errno = 0;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0) throw std::runtime_error("cannot bind 127.0.0.1 on an ephemeral port");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    const int error = errno;
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                             (error == EADDRINUSE ? std::string(": the port is already in use")
                              : error != 0        ? ": " + std::string(std::strerror(error))
                                                  : std::string()));
  }
  server.widenBacklog();
  s.boundPort = port;
  s.serverThread = std::thread([&server] { server.listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  s.serving = true;
  if (options_.workerInterval.count() > 0) {
    s.workerThread = std::thread([this] {
      State& st = *state_;
      while (true) {
        {
          std::unique_lock lock(st.stopMutex);
          if (st.stopSignal.wait_for(lock, options_.workerInterval, [&st] { return st.stopping; })) return;
        }
        runWorker();
      }
    });
  }
}

void BackendEmulator::stop() {
  State& s = *state_;
  std::lock_guard lifecycle(s.lifecycle);
  {
    std::lock_guard lock(s.stopMutex);
    s.stopping = true;
  }
  s.stopSignal.notify_all();
  if (s.workerThread.joinable()) s.workerThread.join();
  if (s.server) s.server->stop();
  if (s.serverThread.joinable()) s.serverThread.join();
  s.server.reset();
  s.serving = false;
}

bool BackendEmulator::running() const { return state_->serving; }
int BackendEmulator::port() const { return state_->boundPort; }
std::string BackendEmulator::baseURL() const { return "http://127.0.0.1:" + std::to_string(port()); }

namespace {

void serveRequest(BackendEmulator::State& s, const BackendOptions& options_, const httplib::Request& req,
                  httplib::Response& res, const httplib::ContentReader* reader) {
  Incoming in;
  in.request = &req;
  in.method = req.method;
  const auto question = req.target.find('?');
  in.rawPath = req.target.substr(0, question);
  in.rawQuery = question == std::string::npos ? std::string() : req.target.substr(question + 1);
  in.path = percentDecode(in.rawPath, false);
  in.query = parseQuery(in.rawQuery);
  const bool isUpload = startsWith(in.path, storagePrefix);
  const bool keepBody = !isUpload || options_.keepObjectBytes;

  // Take the first matching fault.
  std::optional<Fault> fault;
  {
    std::lock_guard lock(s.mutex);
    const std::string query = in.decodedQuery();
    for (auto it = s.faults.begin(); it != s.faults.end(); ++it) {
      if (!matchesRoute(it->method, it->pathPrefix, in.method, in.path)) continue;
      if (!it->queryContains.empty() && query.find(it->queryContains) == std::string::npos) continue;
      fault = *it;
      if (it->count > 0 && --it->count == 0) s.faults.erase(it);
      ++s.stats.injectedFaults;
      break;
    }
  }
  const std::size_t rate = fault ? fault->bytesPerSecond : 0;

  if (reader) {
    if (rate > 0) keepReceiveBufferSmall();
    const auto started = std::chrono::steady_clock::now();
    (*reader)([&](const char* data, std::size_t length) {
      if (keepBody) in.body.append(data, length);
      in.bodySize += length;
      if (rate > 0) {
        // Read no faster than the rate: wait until this many bytes are due.
        const auto due = started + std::chrono::microseconds(in.bodySize * 1000000 / rate);
        s.interruptibleSleep(std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now()));
      }
      return true;
    });
  } else {
    in.body = req.body;
    in.bodySize = req.body.size();
  }

  if (fault && fault->delay.count() > 0) s.interruptibleSleep(fault->delay);

  Answer answer;
  std::string userId;
  BackendRequestHandler handler(s, options_);
  if (!fault || fault->passThrough) {
    try {
      answer = handler.route(in, userId);
    } catch (const std::exception& error) {
      answer = jsonAnswer(500, {{"message", std::string("emulator failure: ") + error.what()}});
    }
  }
  // The time the answer was made, as every origin server with a clock sends
  // it; from the clock that fills the rows' times.
  answer.headers.emplace_back("Date", formatHTTPDate(nowMicros()));
  if (fault) applyFault(*fault, answer);
  if (fault && fault->closeWithoutAnswer) closeInsteadOfAnswering();
  writeAnswer(answer, res, rate, fault ? fault->byteInterval : std::chrono::milliseconds(0), s);

  if (!options_.logRequests) return;
  RecordedRequest record;
  record.method = in.method;
  record.path = in.path;
  record.rawTarget = req.target;
  record.rawQuery = in.rawQuery;
  record.query = in.query;
  for (const auto& [name, value] : req.headers) {
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
    record.headers.emplace_back(iequals(name, rangeHeaderAlias) ? std::string("Range") : name, value);
  }
  if (options_.logRequestBodies && !isUpload) record.body = in.body;
  record.bodySize = in.bodySize;
  record.status = answer.status;
  record.userId = userId;
  record.remotePort = req.remote_port;
  std::lock_guard lock(s.mutex);
  record.sequence = s.nextRequest++;
  s.log.push_back(std::move(record));
}

}  // namespace

// ---- accounts ------------------------------------------------------------------

std::string BackendEmulator::addUser(const std::string& email, const std::string& password) {
  std::lock_guard lock(state_->mutex);
  return state_->auth.addUser(email, password, true).id;
}

std::optional<std::string> BackendEmulator::userId(const std::string& email) const {
  std::lock_guard lock(state_->mutex);
  const AuthUser* user = state_->auth.userByEmail(email);
  if (!user) return std::nullopt;
  return user->id;
}

void BackendEmulator::confirmUser(const std::string& email) {
  std::lock_guard lock(state_->mutex);
  if (AuthUser* user = state_->auth.userByEmail(email)) user->confirmed = true;
}

SessionTokens BackendEmulator::issueSession(const std::string& email) {
  std::lock_guard lock(state_->mutex);
  const AuthUser* user = state_->auth.userByEmail(email);
  if (!user) throw std::invalid_argument("no account " + email);
  const IssuedSession session = state_->auth.startSession(user->id);
  return {session.accessToken, session.refreshToken, user->id};
}

void BackendEmulator::expireAllAccessTokens() {
  std::lock_guard lock(state_->mutex);
  state_->auth.expireAllAccessTokens();
}

void BackendEmulator::expireAccessToken(const std::string& accessToken) {
  std::lock_guard lock(state_->mutex);
  state_->auth.expireAccessToken(accessToken);
}

void BackendEmulator::revokeRefreshToken(const std::string& refreshToken) {
  std::lock_guard lock(state_->mutex);
  state_->auth.revokeRefreshToken(refreshToken);
}

bool BackendEmulator::refreshTokenIsActive(const std::string& refreshToken) const {
  std::lock_guard lock(state_->mutex);
  return state_->auth.refreshTokenIsActive(refreshToken);
}

void BackendEmulator::setSignUpMode(SignUpMode mode) {
  std::lock_guard lock(state_->mutex);
  state_->signUpMode = mode;
}

void BackendEmulator::setRefreshAnswerIncludesUser(bool include) {
  std::lock_guard lock(state_->mutex);
  state_->refreshIncludesUser = include;
}

// ---- tables --------------------------------------------------------------------

namespace {
std::vector<json> renderAll(const Table& table) {
  std::vector<json> out;
  for (const Row* row : table.all()) out.push_back(table.render(*row));
  return out;
}

// Column errors of direct inserts and updates surface as std::invalid_argument.
template <typename F>
auto asInvalidArgument(F&& f) {
  try {
    return f();
  } catch (const RestError& error) {
    throw std::invalid_argument(error.what());
  }
}
}  // namespace

std::vector<json> BackendEmulator::files() const {
  std::lock_guard lock(state_->mutex);
  return renderAll(state_->files);
}

std::vector<json> BackendEmulator::jobs() const {
  std::lock_guard lock(state_->mutex);
  return renderAll(state_->jobs);
}

std::optional<json> BackendEmulator::file(const std::string& id) const {
  std::lock_guard lock(state_->mutex);
  const Row* row = state_->files.find(id);
  if (!row) return std::nullopt;
  return state_->files.render(*row);
}

std::optional<json> BackendEmulator::fileByKey(const std::string& userId, const std::string& storageKey) const {
  std::lock_guard lock(state_->mutex);
  const auto rows = state_->files.lookup({{"user_id", userId}, {"storage_key", storageKey}});
  if (rows.empty()) return std::nullopt;
  return state_->files.render(*rows.front());
}

std::optional<json> BackendEmulator::job(const std::string& id) const {
  std::lock_guard lock(state_->mutex);
  const Row* row = state_->jobs.find(id);
  if (!row) return std::nullopt;
  return state_->jobs.render(*row);
}

std::vector<json> BackendEmulator::jobsForFile(const std::string& fileId) const {
  std::lock_guard lock(state_->mutex);
  std::vector<json> out;
  for (const Row* row : state_->jobs.lookup({{"file_id", fileId}})) out.push_back(state_->jobs.render(*row));
  return out;
}

std::size_t BackendEmulator::fileCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->files.size();
}

std::size_t BackendEmulator::jobCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->jobs.size();
}

json BackendEmulator::insertFile(const std::string& userId, const json& row) {
  std::lock_guard lock(state_->mutex);
  json object = row;
  if (!object.contains("user_id")) object["user_id"] = userId;
  if (!object.contains("storage_bucket")) object["storage_bucket"] = options_.bucket;
  return asInvalidArgument([&] { return state_->files.render(state_->files.insertRow(object)); });
}

json BackendEmulator::insertJob(const std::string& userId, const json& row) {
  std::lock_guard lock(state_->mutex);
  json object = row;
  if (!object.contains("user_id")) object["user_id"] = userId;
  return asInvalidArgument([&] { return state_->jobs.render(state_->jobs.insertRow(object)); });
}

json BackendEmulator::updateFile(const std::string& id, const json& changes) {
  std::lock_guard lock(state_->mutex);
  return asInvalidArgument([&] { return state_->files.render(state_->files.updateRow(id, changes)); });
}

json BackendEmulator::updateJob(const std::string& id, const json& changes) {
  std::lock_guard lock(state_->mutex);
  return asInvalidArgument([&] { return state_->jobs.render(state_->jobs.updateRow(id, changes)); });
}

// ---- storage -------------------------------------------------------------------

std::vector<StoredObject> BackendEmulator::objects() const {
  std::lock_guard lock(state_->mutex);
  std::vector<StoredObject> out;
  for (const auto& [id, object] : state_->objects) out.push_back(object);
  return out;
}

std::optional<StoredObject> BackendEmulator::object(const std::string& key) const {
  std::lock_guard lock(state_->mutex);
  const auto it = state_->objects.find({options_.bucket, key});
  if (it == state_->objects.end()) return std::nullopt;
  return it->second;
}

std::size_t BackendEmulator::objectCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->objects.size();
}

// ---- worker --------------------------------------------------------------------

int BackendEmulator::runWorker() {
  WorkerMode mode;
  {
    std::lock_guard lock(state_->mutex);
    mode = state_->workerMode;
  }
  return runWorker(mode);
}

namespace {

// Takes one queued job: moves it on as the mode says and updates its file.
bool workOn(BackendEmulator::State& s, const BackendOptions& options, const std::string& id, WorkerMode mode,
            const std::string& now) {
  const Row* job = s.jobs.find(id);
  if (!job || s.jobs.cell(*job, "status") != "queued") return false;  // changed since it was listed
  const auto attempts = s.jobs.cell(*job, "attempts").get<std::int64_t>() + 1;
  if (mode == WorkerMode::Running) {
    s.jobs.updateRow(id, {{"status", "running"}, {"attempts", attempts}});
    return true;
  }
  if (s.jobs.cell(*job, "kind") != "ingest") {
    s.jobs.updateRow(id, {{"status", "done"}, {"attempts", attempts}, {"error", nullptr}});
    return true;
  }
  const json fileId = s.jobs.cell(*job, "file_id");
  const Row* file = fileId.is_string() ? s.files.find(fileId.get<std::string>()) : nullptr;
  if (!file) {
    s.jobs.updateRow(id, {{"status", "error"}, {"attempts", attempts}, {"error", "File not found"}});
    return true;
  }
  std::optional<std::string> error;
  const json key = s.files.cell(*file, "storage_key");
  if (const auto rule = s.ingestFailures.find(key.is_string() ? key.get<std::string>() : std::string());
      rule != s.ingestFailures.end()) {
    error = rule->second;
  } else if (mode == WorkerMode::Error) {
    error = options.workerError;
  }
  const std::string fid = fileId.get<std::string>();
  if (error) {
    s.jobs.updateRow(id, {{"status", "error"}, {"attempts", attempts}, {"error", *error}});
    s.files.updateRow(fid, {{"ingest_error", *error}});
  } else {
    s.jobs.updateRow(id, {{"status", "done"}, {"attempts", attempts}, {"error", nullptr}});
    s.files.updateRow(fid, {{"ingested_sha256", s.files.cell(*file, "sha256")},
                            {"ingested_at", now},
                            {"ingest_error", nullptr}});
  }
  return true;
}

}  // namespace

int BackendEmulator::runWorker(WorkerMode mode) {
  State& s = *state_;
  std::vector<std::string> queued;
  {
    std::lock_guard lock(s.mutex);
    ++s.stats.workerRuns;
    if (mode == WorkerMode::Off) return 0;
    for (const Row* row : s.jobs.lookup({{"status", "queued"}})) queued.push_back(s.jobs.cell(*row, "id"));
  }
  // In batches, so that requests are served between them.
  constexpr std::size_t batch = 256;
  int handled = 0;
  for (std::size_t first = 0; first < queued.size(); first += batch) {
    std::lock_guard lock(s.mutex);
    const std::string now = formatTimestamp(nowMicros());
    for (std::size_t i = first; i < std::min(queued.size(), first + batch); ++i) {
      if (workOn(s, options_, queued[i], mode, now)) ++handled;
    }
  }
  return handled;
}

void BackendEmulator::setWorkerMode(WorkerMode mode) {
  std::lock_guard lock(state_->mutex);
  state_->workerMode = mode;
}

void BackendEmulator::failIngestForKey(const std::string& storageKey, const std::string& error) {
  std::lock_guard lock(state_->mutex);
  if (error.empty()) state_->ingestFailures.erase(storageKey);
  else state_->ingestFailures[storageKey] = error;
}

bool BackendEmulator::waitForWorkerIdle(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->jobs.lookup({{"status", "queued"}}).empty()) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// ---- faults --------------------------------------------------------------------

void BackendEmulator::injectFault(Fault fault) {
  if (fault.count == 0) return;
  std::lock_guard lock(state_->mutex);
  state_->faults.push_back(std::move(fault));
}

void BackendEmulator::failNext(const std::string& method, const std::string& pathPrefix, int count, int status,
                               std::optional<std::string> body) {
  Fault fault;
  fault.method = method;
  fault.pathPrefix = pathPrefix;
  fault.count = count;
  fault.status = status;
  fault.body = std::move(body);
  injectFault(std::move(fault));
}

void BackendEmulator::delay(const std::string& method, const std::string& pathPrefix, std::chrono::milliseconds delay,
                            int count) {
  Fault fault;
  fault.method = method;
  fault.pathPrefix = pathPrefix;
  fault.count = count;
  fault.delay = delay;
  fault.passThrough = true;
  injectFault(std::move(fault));
}

void BackendEmulator::clearFaults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

std::size_t BackendEmulator::pendingFaults() const {
  std::lock_guard lock(state_->mutex);
  return state_->faults.size();
}

// ---- inspection ----------------------------------------------------------------

std::vector<RecordedRequest> BackendEmulator::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->log;
}

std::vector<RecordedRequest> BackendEmulator::requests(const std::string& method, const std::string& pathPrefix) const {
  std::lock_guard lock(state_->mutex);
  std::vector<RecordedRequest> out;
  for (const auto& r : state_->log) {
    if (matchesRoute(method, pathPrefix, r.method, r.path)) out.push_back(r);
  }
  return out;
}

std::size_t BackendEmulator::requestCount(const std::string& method, const std::string& pathPrefix) const {
  std::lock_guard lock(state_->mutex);
  return static_cast<std::size_t>(std::count_if(state_->log.begin(), state_->log.end(), [&](const auto& r) {
    return matchesRoute(method, pathPrefix, r.method, r.path);
  }));
}

void BackendEmulator::clearRequests() {
  std::lock_guard lock(state_->mutex);
  state_->log.clear();
}

BackendStats BackendEmulator::stats() const {
  std::lock_guard lock(state_->mutex);
  return state_->stats;
}

}  // namespace tarnwell::testing
