// The emulator over real HTTP on loopback.
#include "BackendEmulator.hpp"

#include <httplib.h>

#include <gtest/gtest.h>

#include <thread>

namespace tarnwell::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kEmail = "ada@example.com";
constexpr const char* kPassword = "correct horse";

class EmulatorTest : public ::testing::Test {
protected:
  explicit EmulatorTest(BackendOptions options = {}) : backend(std::move(options)) {
    userId = backend.addUser(kEmail, kPassword);
    backend.start();
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", backend.port());
    c.set_read_timeout(10, 0);
    return c;
  }

  httplib::Headers headers(const std::string& accessToken = {}, httplib::Headers extra = {}) const {
    extra.emplace("apikey", backend.anonKey());
    if (!accessToken.empty()) extra.emplace("Authorization", "Bearer " + accessToken);
    return extra;
  }

  httplib::Result post(const std::string& target, const json& body, const std::string& token = {},
                       httplib::Headers extra = {}) {
    return client().Post(target.c_str(), headers(token, std::move(extra)), body.dump(), "application/json");
  }

  httplib::Result get(const std::string& target, const std::string& token, httplib::Headers extra = {}) {
    return client().Get(target.c_str(), headers(token, std::move(extra)));
  }

  json signIn() {
    auto res = post("/auth/v1/token?grant_type=password", {{"email", kEmail}, {"password", kPassword}});
    EXPECT_TRUE(res && res->status == 200);
    return json::parse(res->body);
  }

  json refresh(const std::string& refreshToken, int expectedStatus = 200) {
    auto res = post("/auth/v1/token?grant_type=refresh_token", {{"refresh_token", refreshToken}});
    EXPECT_TRUE(res);
    EXPECT_EQ(res->status, expectedStatus) << res->body;
    return json::parse(res->body);
  }

  json upsertFile(const std::string& token, const std::string& key, const std::string& sha) {
    auto res = post("/rest/v1/files?on_conflict=user_id,storage_bucket,storage_key&select=id,sha256,ingested_sha256",
                    {{"user_id", userId},
                     {"path", key},
                     {"storage_bucket", "files"},
                     {"storage_key", key},
                     {"bytes", 3},
                     {"mime", "text/plain"},
                     {"sha256", sha},
                     {"is_deleted", false},
                     {"ingest_error", nullptr}},
                    token, {{"Prefer", "resolution=merge-duplicates,return=representation"}});
    EXPECT_TRUE(res && res->status == 201) << (res ? res->body : "no answer");
    return json::parse(res->body).at(0);
  }

  void insertJob(const std::string& token, const std::string& fileId, const std::string& kind = "ingest") {
    auto res = post("/rest/v1/jobs", {{"user_id", userId}, {"file_id", fileId}, {"kind", kind}, {"payload", json::object()}},
                    token);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 201) << res->body;
  }

  std::int64_t count(const std::string& token, const std::string& status) {
    auto res = get("/rest/v1/jobs?status=eq." + status, token,
                   {{"Prefer", "count=exact"}, {"Range-Unit", "items"}, {"Range", "0-0"}});
    EXPECT_TRUE(res && (res->status == 200 || res->status == 206));
    const auto range = res->get_header_value("Content-Range");
    return std::stoll(range.substr(range.rfind('/') + 1));
  }

  BackendEmulator backend;
  std::string userId;
};

TEST_F(EmulatorTest, PasswordGrantAndCurrentUser) {
  const json session = signIn();
  EXPECT_FALSE(session["access_token"].get<std::string>().empty());
  EXPECT_FALSE(session["refresh_token"].get<std::string>().empty());
  EXPECT_EQ(session["user"]["id"], userId);
  EXPECT_EQ(session["user"]["email"], kEmail);

  auto me = get("/auth/v1/user", session["access_token"]);
  ASSERT_TRUE(me);
  EXPECT_EQ(me->status, 200);
  EXPECT_EQ(json::parse(me->body)["id"], userId);

  EXPECT_EQ(post("/auth/v1/token?grant_type=password", {{"email", kEmail}, {"password", "wrong"}})->status, 400);
  EXPECT_EQ(post("/auth/v1/token?grant_type=password", {{"email", std::string(" ") + kEmail}, {"password", kPassword}})
                ->status,
            400);
  EXPECT_EQ(post("/auth/v1/token?grant_type=magic", {{"email", kEmail}})->status, 400);
  EXPECT_EQ(get("/auth/v1/user", "")->status, 401);
  EXPECT_EQ(backend.stats().passwordGrants, 1);
}

TEST_F(EmulatorTest, EveryRequestNeedsTheApiKey) {
  const json session = signIn();
  auto missing = client().Get("/rest/v1/files", {{"Authorization", "Bearer " + session["access_token"].get<std::string>()}});
  EXPECT_EQ(missing->status, 401);
  auto wrong = client().Get("/auth/v1/user", {{"apikey", "other"}});
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(get("/rest/v1/nope", session["access_token"])->status, 404);
}

TEST_F(EmulatorTest, RefreshTokensRotateAndAreSingleUse) {
  const json first = signIn();
  const json second = refresh(first["refresh_token"]);
  EXPECT_NE(second["refresh_token"], first["refresh_token"]);
  EXPECT_NE(second["access_token"], first["access_token"]);
  EXPECT_EQ(second["user"]["id"], userId);
  EXPECT_FALSE(backend.refreshTokenIsActive(first["refresh_token"]));
  EXPECT_TRUE(backend.refreshTokenIsActive(second["refresh_token"]));

  // Presenting the spent token again is refused and, as reuse detection, ends the whole session.
  const json reused = refresh(first["refresh_token"], 400);
  EXPECT_EQ(reused["msg"], "Invalid Refresh Token: Already Used");
  EXPECT_FALSE(backend.refreshTokenIsActive(second["refresh_token"]));
  refresh(second["refresh_token"], 400);
  refresh("never-issued", 400);

  const BackendStats stats = backend.stats();
  EXPECT_EQ(stats.refreshGrants, 1);
  EXPECT_EQ(stats.rejectedRefreshes, 3);
  EXPECT_EQ(stats.reusedRefreshTokens, 1);

  // A refresh answer can leave out the user.
  backend.setRefreshAnswerIncludesUser(false);
  const json third = refresh(signIn()["refresh_token"]);
  EXPECT_FALSE(third.contains("user"));
}

class ReuseIntervalTest : public EmulatorTest {
protected:
  static BackendOptions withInterval() {
    BackendOptions options;
    options.refreshReuseInterval = 10s;
    return options;
  }
  ReuseIntervalTest() : EmulatorTest(withInterval()) {}
};

TEST_F(ReuseIntervalTest, AReuseWithinTheIntervalGetsTheCurrentToken) {
  const json first = signIn();
  const json second = refresh(first["refresh_token"]);
  const json again = refresh(first["refresh_token"]);
  EXPECT_EQ(again["refresh_token"], second["refresh_token"]);
  EXPECT_TRUE(backend.refreshTokenIsActive(second["refresh_token"]));
}

TEST_F(EmulatorTest, ExpiredAccessTokensAreAnswered401Everywhere) {
  const json session = signIn();
  const std::string token = session["access_token"];
  backend.expireAllAccessTokens();
  EXPECT_EQ(get("/auth/v1/user", token)->status, 401);
  EXPECT_EQ(get("/rest/v1/files?select=id", token)->status, 401);
  EXPECT_EQ(client().Post("/storage/v1/object/files/a.txt", headers(token), "x", "text/plain")->status, 401);
  EXPECT_EQ(backend.stats().unauthorizedAnswers, 3);

  // Tokens issued afterwards work; the refresh token survived.
  const json fresh = refresh(session["refresh_token"]);
  EXPECT_EQ(get("/auth/v1/user", fresh["access_token"])->status, 200);
  backend.expireAccessToken(fresh["access_token"]);
  EXPECT_EQ(get("/auth/v1/user", fresh["access_token"])->status, 401);
}

TEST_F(EmulatorTest, SignUpAnswersWithOrWithoutSession) {
  auto res = post("/auth/v1/signup", {{"email", "new@example.com"}, {"password", "secret1"}});
  ASSERT_EQ(res->status, 200);
  json body = json::parse(res->body);
  EXPECT_EQ(body["user"]["email"], "new@example.com");
  EXPECT_FALSE(body["session"]["access_token"].get<std::string>().empty());
  EXPECT_FALSE(body["session"]["refresh_token"].get<std::string>().empty());
  EXPECT_EQ(get("/auth/v1/user", body["session"]["access_token"])->status, 200);

  backend.setSignUpMode(SignUpMode::ConfirmationRequired);
  res = post("/auth/v1/signup", {{"email", "later@example.com"}, {"password", "secret1"}});
  body = json::parse(res->body);
  EXPECT_TRUE(body["session"].is_null());
  EXPECT_EQ(body["user"]["email"], "later@example.com");
  EXPECT_EQ(post("/auth/v1/token?grant_type=password", {{"email", "later@example.com"}, {"password", "secret1"}})->status,
            400);
  backend.confirmUser("later@example.com");
  EXPECT_EQ(post("/auth/v1/token?grant_type=password", {{"email", "later@example.com"}, {"password", "secret1"}})->status,
            200);

  EXPECT_EQ(post("/auth/v1/signup", {{"email", kEmail}, {"password", "secret1"}})->status, 422);
  EXPECT_EQ(post("/auth/v1/signup", {{"email", "x@example.com"}, {"password", "123"}})->status, 422);
  EXPECT_EQ(post("/auth/v1/signup", {{"email", "not-an-address"}, {"password", "secret1"}})->status, 400);
}

TEST_F(EmulatorTest, RowsBelongToTheirOwner) {
  const std::string mine = signIn()["access_token"];
  upsertFile(mine, "user-a/k1", "s1");
  backend.addUser("eve@example.com", "password1");
  const std::string theirs = backend.issueSession("eve@example.com").accessToken;

  EXPECT_EQ(get("/rest/v1/files?select=id", theirs)->body, "[]");
  EXPECT_EQ(get("/rest/v1/files?select=id", "")->body, "[]");  // anonymous role
  auto res = post("/rest/v1/files", {{"user_id", userId}, {"storage_bucket", "files"}, {"storage_key", "x"}}, theirs);
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(get("/rest/v1/files?select=id", mine)->status, 200);
  EXPECT_EQ(json::parse(get("/rest/v1/files?select=id", mine)->body).size(), 1u);
}

TEST_F(EmulatorTest, DashboardPageListsEachAccountsFilesAndJobs) {
  const std::string token = signIn()["access_token"];
  const json file = upsertFile(token, "notes/<draft> & plan.md", "s1");
  insertJob(token, file["id"]);
  backend.addUser("eve@example.com", "password1");

  auto page = client().Get("/dashboard");  // a browser sends no key
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("Local emulator dashboard"), std::string::npos);
  EXPECT_NE(page->body.find("notes/&lt;draft&gt; &amp; plan.md"), std::string::npos);
  EXPECT_EQ(page->body.find("<draft>"), std::string::npos);
  EXPECT_NE(page->body.find("<td>queued</td>"), std::string::npos);
  // Each account under its own heading, the one without rows included.
  EXPECT_LT(page->body.find(kEmail), page->body.find("eve@example.com"));
  EXPECT_NE(page->body.find("No files yet."), std::string::npos);
  EXPECT_EQ(client().Post("/dashboard", "", "text/plain")->status, 405);
}

TEST_F(EmulatorTest, CountsOverHttpKeepTheRangeHeader) {
  const std::string token = signIn()["access_token"];
  EXPECT_EQ(count(token, "queued"), 0);
  for (int i = 0; i < 3; ++i) insertJob(token, upsertFile(token, "k" + std::to_string(i), "s")["id"]);

  auto res = get("/rest/v1/jobs?status=eq.queued", token,
                 {{"Prefer", "count=exact"}, {"Range-Unit", "items"}, {"Range", "0-0"}});
  EXPECT_EQ(res->status, 206);
  EXPECT_EQ(res->get_header_value("Content-Range"), "0-0/3");
  EXPECT_EQ(json::parse(res->body).size(), 1u);
  const auto logged = backend.requests("GET", "/rest/v1/jobs").back();
  EXPECT_EQ(logged.header("range"), "0-0");
  EXPECT_EQ(logged.header("Range-Unit"), "items");
}

TEST_F(EmulatorTest, UploadsDecodeTheKeyAndHonourUpsert) {
  const std::string token = signIn()["access_token"];
  const std::string encoded = "/storage/v1/object/files/user-1/%E6%97%A5%E6%9C%AC%E8%AA%9E/a%20b%25c%2Bd.txt";
  httplib::Headers extra = {{"x-upsert", "true"}, {"cache-control", "max-age=3600"}};
  auto res = client().Post(encoded.c_str(), headers(token, extra), "abc", "text/plain");
  ASSERT_EQ(res->status, 200) << res->body;
  const auto object = backend.object("user-1/日本語/a b%c+d.txt");
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(object->bytes, "abc");
  EXPECT_EQ(object->contentType, "text/plain");
  EXPECT_EQ(object->cacheControl, "max-age=3600");
  EXPECT_EQ(object->upsertHeader, "true");
  EXPECT_EQ(object->ownerId, userId);

  // Replaced under x-upsert, refused without it; an empty body is a valid object.
  res = client().Post(encoded.c_str(), headers(token, extra), "", "text/plain");
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(backend.object("user-1/日本語/a b%c+d.txt")->size, 0u);
  EXPECT_EQ(backend.object("user-1/日本語/a b%c+d.txt")->writes, 2);
  res = client().Post(encoded.c_str(), headers(token), "zzz", "text/plain");
  EXPECT_EQ(res->status, 409);

  EXPECT_EQ(client().Post("/storage/v1/object/other/k", headers(token, extra), "x", "text/plain")->status, 404);
  EXPECT_EQ(client().Post("/storage/v1/object/files/k", headers("", extra), "x", "text/plain")->status, 403);
  EXPECT_EQ(backend.stats().uploads, 2);
}

TEST_F(EmulatorTest, WorkerIngestsOrFailsQueuedJobs) {
  const std::string token = signIn()["access_token"];
  const json good = upsertFile(token, "good", "s1");
  const json bad = upsertFile(token, "bad", "s2");
  insertJob(token, good["id"]);
  insertJob(token, bad["id"]);
  insertJob(token, good["id"], "delete");
  backend.failIngestForKey("bad", "Unsupported content");
  EXPECT_EQ(count(token, "queued"), 3);

  EXPECT_EQ(backend.runWorker(), 3);
  EXPECT_EQ(count(token, "queued"), 0);
  EXPECT_EQ(count(token, "error"), 1);
  const json goodRow = *backend.file(good["id"]);
  EXPECT_EQ(goodRow["ingested_sha256"], "s1");
  EXPECT_TRUE(goodRow["ingested_at"].is_string());
  const json badRow = *backend.file(bad["id"]);
  EXPECT_TRUE(badRow["ingested_sha256"].is_null());
  EXPECT_EQ(badRow["ingest_error"], "Unsupported content");
  const json failedJob = backend.jobsForFile(bad["id"]).at(0);
  EXPECT_EQ(failedJob["status"], "error");
  EXPECT_EQ(failedJob["error"], "Unsupported content");
  EXPECT_EQ(failedJob["attempts"], 1);

  // An upsert of the same content keeps what was ingested.
  EXPECT_EQ(upsertFile(token, "good", "s1")["ingested_sha256"], "s1");

  // Setting a failed job back to queued has it taken again.
  backend.failIngestForKey("bad", "");
  auto res = client().Patch(("/rest/v1/jobs?id=in.(" + failedJob["id"].get<std::string>() + ")").c_str(),
                            headers(token, {{"Prefer", "return=minimal"}}),
                            json({{"status", "queued"}, {"attempts", 0}, {"error", nullptr}}).dump(),
                            "application/json");
  EXPECT_EQ(res->status, 204);
  EXPECT_EQ(count(token, "queued"), 1);
  backend.runWorker(WorkerMode::Running);
  EXPECT_EQ(count(token, "running"), 1);
}

class BackgroundWorkerTest : public EmulatorTest {
protected:
  static BackendOptions withWorker() {
    BackendOptions options;
    options.worker = WorkerMode::Error;
    options.workerInterval = 10ms;
    options.workerError = "Parser crashed";
    return options;
  }
  BackgroundWorkerTest() : EmulatorTest(withWorker()) {}
};

TEST_F(BackgroundWorkerTest, TakesJobsOnItsOwn) {
  const std::string token = signIn()["access_token"];
  insertJob(token, upsertFile(token, "k", "s")["id"]);
  ASSERT_TRUE(backend.waitForWorkerIdle(5s));
  EXPECT_EQ(backend.jobs().at(0)["error"], "Parser crashed");
}

TEST_F(EmulatorTest, FaultsReplaceAnswersForTheNextRequests) {
  const std::string token = signIn()["access_token"];
  backend.failNext("GET", "/rest/v1/jobs", 2, 500);
  EXPECT_EQ(get("/rest/v1/files?select=id", token)->status, 200);  // another route
  EXPECT_EQ(get("/rest/v1/jobs?select=id", token)->status, 500);
  EXPECT_EQ(get("/rest/v1/jobs?select=id", token)->status, 500);
  EXPECT_EQ(get("/rest/v1/jobs?select=id", token)->status, 200);
  EXPECT_EQ(backend.pendingFaults(), 0u);

  // A malformed body with a success status.
  backend.failNext("POST", "/rest/v1/files", 1, 201, "[]");
  auto res = post("/rest/v1/files?on_conflict=user_id,storage_bucket,storage_key",
                  {{"user_id", userId}, {"storage_bucket", "files"}, {"storage_key", "x"}}, token);
  EXPECT_EQ(res->status, 201);
  EXPECT_EQ(res->body, "[]");
  EXPECT_EQ(backend.fileCount(), 0u);  // not handled

  // Only the count of errors, through the query; the real answer with its header taken away.
  Fault fault;
  fault.method = "GET";
  fault.pathPrefix = "/rest/v1/jobs";
  fault.queryContains = "status=eq.error";
  fault.passThrough = true;
  fault.removeHeaders = {"Content-Range"};
  backend.injectFault(fault);
  res = get("/rest/v1/jobs?status=eq.queued", token, {{"Prefer", "count=exact"}});
  EXPECT_TRUE(res->has_header("Content-Range"));
  res = get("/rest/v1/jobs?status=eq.error", token, {{"Prefer", "count=exact"}});
  EXPECT_EQ(res->status, 200);
  EXPECT_FALSE(res->has_header("Content-Range"));
  EXPECT_EQ(res->body, "[]");

  // A connection cut in the middle of the body is a transport failure.
  Fault drop;
  drop.pathPrefix = "/auth/v1/user";
  drop.passThrough = true;
  drop.dropConnection = true;
  backend.injectFault(drop);
  auto cut = get("/auth/v1/user", token);
  EXPECT_TRUE(!cut || cut->body.size() < 20);
  EXPECT_EQ(get("/auth/v1/user", token)->status, 200);

  // Faults count toward the log with the status answered.
  EXPECT_EQ(backend.requests("GET", "/rest/v1/jobs").front().status, 500);
  EXPECT_EQ(backend.stats().injectedFaults, 5);

  backend.failNext("", "/", -1, 503);
  auto refused = get("/auth/v1/user", token);
  EXPECT_EQ(refused->status, 503);
  EXPECT_EQ(refused->get_header_value("Date").size(), 29u);  // as every answer does, an injected one too
  EXPECT_EQ(get("/auth/v1/user", token)->status, 503);
  backend.clearFaults();
  EXPECT_EQ(get("/auth/v1/user", token)->status, 200);
}

TEST_F(EmulatorTest, DelaysHoldOneRequestWithoutBlockingOthers) {
  const std::string token = signIn()["access_token"];
  backend.delay("GET", "/rest/v1/files", 1500ms, 1);
  const auto started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point slowDone;
  std::thread slow([&] {
    EXPECT_EQ(get("/rest/v1/files?select=id", token)->status, 200);
    slowDone = std::chrono::steady_clock::now();
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(get("/rest/v1/jobs?select=id", token)->status, 200);
  const auto fastDone = std::chrono::steady_clock::now();
  slow.join();
  EXPECT_LT(fastDone, slowDone);
  EXPECT_GE(slowDone - started, 1500ms);
  EXPECT_EQ(get("/rest/v1/files?select=id", token)->status, 200);  // the delay was used up
}

TEST_F(EmulatorTest, ThrottledTransfersKeepBytesFlowing) {
  const std::string token = signIn()["access_token"];
  Fault slow;
  slow.pathPrefix = "/storage/v1/object/";
  slow.passThrough = true;
  slow.bytesPerSecond = 20000;
  backend.injectFault(slow);
  const auto started = std::chrono::steady_clock::now();
  auto res = client().Post("/storage/v1/object/files/slow.bin", headers(token, {{"x-upsert", "true"}}),
                           std::string(10000, 'x'), "application/octet-stream");
  EXPECT_EQ(res->status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 400ms);
  EXPECT_EQ(backend.object("slow.bin")->size, 10000u);
}

TEST_F(EmulatorTest, TableWritesMustBeJson) {
  const std::string token = signIn()["access_token"];
  auto res = client().Post("/rest/v1/jobs", headers(token), "kind=ingest", "application/x-www-form-urlencoded");
  EXPECT_EQ(res->status, 415);
  res = post("/rest/v1/jobs", {{"user_id", userId}, {"file_id", "missing"}, {"kind", "ingest"}}, token);
  EXPECT_EQ(res->status, 409);  // the file must exist
  res = post("/rest/v1/jobs", {{"user_id", userId}, {"kind", "reindex"}}, token);
  EXPECT_EQ(res->status, 400);
  EXPECT_EQ(backend.jobCount(), 0u);
}

TEST_F(EmulatorTest, RequestLogKeepsQueryOrderHeadersAndBodies) {
  const std::string token = signIn()["access_token"];
  get("/rest/v1/files?select=id%2Cpath&storage_key=eq.a%26b%3Dc%2Bd&limit=1", token);
  const RecordedRequest r = backend.requests("GET", "/rest/v1/files").back();
  EXPECT_EQ(r.queryNames(), (std::vector<std::string>{"select", "storage_key", "limit"}));
  EXPECT_EQ(r.queryItem("storage_key"), "eq.a&b=c+d");
  EXPECT_EQ(r.rawQuery, "select=id%2Cpath&storage_key=eq.a%26b%3Dc%2Bd&limit=1");
  EXPECT_EQ(r.header("authorization"), "Bearer " + token);
  EXPECT_EQ(r.userId, userId);
  EXPECT_EQ(backend.requests("POST", "/auth/v1/token").back().body,
            json({{"email", kEmail}, {"password", kPassword}}).dump());
  backend.clearRequests();
  EXPECT_EQ(backend.requestCount("", "/"), 0u);
}

TEST_F(EmulatorTest, KeepAliveConnectionsServeManyRequestsAndLetGoOnStop) {
  httplib::Client c("127.0.0.1", backend.port());
  c.set_keep_alive(true);
  const std::string token = signIn()["access_token"];
  const httplib::Headers auth = headers(token);
  ASSERT_EQ(c.Post("/storage/v1/object/files/k", headers(token, {{"x-upsert", "true"}}), std::string(100000, 'z'),
                   "text/plain")->status, 200);
  ASSERT_EQ(c.Get("/rest/v1/jobs?status=eq.queued", headers(token, {{"Prefer", "count=exact"}, {"Range", "0-0"}}))
                ->get_header_value("Content-Range"), "*/0");
  ASSERT_EQ(c.Get("/auth/v1/user", auth)->status, 200);
  const auto log = backend.requests();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].remotePort, log[3].remotePort);
  EXPECT_EQ(log[1].header("range"), std::nullopt);
  EXPECT_EQ(log[2].header("range"), "0-0");
  EXPECT_EQ(backend.object("k")->size, 100000u);

  const auto started = std::chrono::steady_clock::now();
  backend.stop();  // while the connection idles: no wait for the 5 s idle limit
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

TEST_F(EmulatorTest, ConcurrentClientsAndRestart) {
  const json session = signIn();
  const std::string token = session["access_token"];
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const json row = upsertFile(token, "t" + std::to_string(t) + "-" + std::to_string(i), "s");
        insertJob(token, row["id"]);
        count(token, "queued");
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 20; ++i) backend.runWorker();
  });
  for (auto& thread : threads) thread.join();
  backend.runWorker();
  EXPECT_EQ(count(token, "queued"), 0);
  EXPECT_EQ(count(token, "done"), 80);
  EXPECT_EQ(backend.fileCount(), 80u);
  EXPECT_EQ(backend.jobCount(), 80u);

  // State and the port outlive a restart.
  const int port = backend.port();
  backend.stop();
  EXPECT_FALSE(backend.running());
  backend.start();
  EXPECT_EQ(backend.port(), port);
  EXPECT_EQ(get("/auth/v1/user", token)->status, 200);
  EXPECT_EQ(json::parse(get("/rest/v1/files?select=id", token)->body).size(), 80u);
}

TEST_F(EmulatorTest, APortInUseIsRefusedUntilItsListenerStops) {
  signIn();  // leaves a closed connection behind on the port
  const int port = backend.port();
  BackendOptions same;
  same.port = port;
  BackendEmulator second(same);
  try {
    second.start();
    ADD_FAILURE() << "two emulators listen on port " << port;
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("already in use"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(second.running());
  EXPECT_EQ(get("/auth/v1/user", signIn()["access_token"])->status, 200);
  EXPECT_EQ(backend.requestCount("POST", "/auth/v1/token"), 2u);

  backend.stop();
  second.start();
  EXPECT_EQ(second.port(), port);
}

}  // namespace
}  // namespace tarnwell::testing
