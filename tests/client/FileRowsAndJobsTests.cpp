// File rows and jobs against the emulator.
#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using FileRowsAndJobs = ClientTest;

TEST_F(FileRowsAndJobs, UpsertCreatesThenUpdatesOneRowAndRevivesIt) {
    signInDirectly();
    const std::string key = "user-" + userID + "/root-0badcafe/Notes/a&limit=5+b#c.pdf";
    RemoteFileRecord created = client->upsertRemoteFile("Notes/a.pdf", key, 12, "application/pdf", "aa");
    EXPECT_EQ(created.storageKey, key);
    EXPECT_EQ(created.userID, userID);

    auto post = backend.requests("POST", "/rest/v1/files").back();
    EXPECT_EQ(post.queryNames(), (std::vector<std::string>{"on_conflict", "select"}));
    EXPECT_EQ(post.header("Prefer"), "resolution=merge-duplicates,return=representation");
    nlohmann::json body = nlohmann::json::parse(post.body);
    EXPECT_EQ(body.size(), 9u);
    EXPECT_TRUE(body.at("ingest_error").is_null());
    EXPECT_EQ(backend.requests()[0].path, "/auth/v1/user");

    client->markFileDeleted(created.id);
    auto patch = backend.requests("PATCH", "/rest/v1/files").back();
    EXPECT_EQ(patch.rawQuery, "id=eq." + created.id);
    EXPECT_FALSE(patch.hasHeader("Prefer"));
    EXPECT_EQ(nlohmann::json::parse(patch.body), nlohmann::json({{"is_deleted", true}}));
    EXPECT_EQ(backend.requestCount("GET", "/auth/v1/user"), 1u);

    // The lookup filters on the key only and returns deleted rows too; the
    // key's "&", "=", "+" and "#" cannot change the filter.
    auto found = client->fetchRemoteFile(key);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->isDeleted, true);
    EXPECT_EQ(backend.requests("GET", "/rest/v1/files").back().queryNames(),
              (std::vector<std::string>{"select", "storage_key", "limit"}));
    EXPECT_EQ(client->fetchRemoteFile("user-" + userID + "/root-0badcafe/Notes/a"), std::nullopt);

    RemoteFileRecord updated = client->upsertRemoteFile("Notes/a.pdf", key, 20, "application/pdf", "bb");
    EXPECT_EQ(updated.id, created.id);
    EXPECT_EQ(updated.isDeleted, false);
    EXPECT_EQ(backend.fileCount(), 1u);
}

TEST_F(FileRowsAndJobs, UpsertRerunsBothRequestsAfterARefresh) {
    signInDirectly();
    backend.expireAllAccessTokens();
    client->upsertRemoteFile("a.txt", "user-x/a.txt", 1, "text/plain", "aa");
    std::vector<std::string> road;
    for (const auto& request : backend.requests()) {
        road.push_back(request.method + " " + request.path);
    }
    EXPECT_EQ(road, (std::vector<std::string>{"GET /auth/v1/user", "POST /auth/v1/token", "GET /auth/v1/user",
                                              "POST /rest/v1/files"}));
    EXPECT_EQ(backend.requests()[0].status, 401);

    // A 401 of the POST itself reruns the lookup too.
    backend.failNext("POST", "/rest/v1/files", 1, 401);
    client->upsertRemoteFile("a.txt", "user-x/a.txt", 1, "text/plain", "aa");
    EXPECT_EQ(backend.requestCount("GET", "/auth/v1/user"), 4u);
    EXPECT_EQ(backend.stats().refreshGrants, 2);
}

TEST_F(FileRowsAndJobs, UpsertAnswersWithoutARowOrWithBadRows) {
    signInDirectly();
    Fault empty;
    empty.method = "POST";
    empty.pathPrefix = "/rest/v1/files";
    empty.passThrough = true;
    empty.status = 201;
    empty.body = "[]";
    backend.injectFault(empty);
    EXPECT_EQ(captureHTTPError([&] { client->upsertRemoteFile("a", "k", 1, "text/plain", "s"); }),
              SupabaseHTTPError::invalidResponse());

    for (const char* body : {R"([{"id":"1","bytes":"12"}])", R"({"id":"1"})", ""}) {
        backend.failNext("POST", "/rest/v1/files", 1, 201, body);
        EXPECT_THROW(client->upsertRemoteFile("a", "k", 1, "text/plain", "s"), JSONDecodingError) << body;
    }
    backend.failNext("POST", "/rest/v1/files", 1, 201, R"({"message":"duplicate key"})");
    EXPECT_EQ(captureHTTPError([&] { client->upsertRemoteFile("a", "k", 1, "text/plain", "s"); }).description(),
              "duplicate key");
    backend.failNext("GET", "/auth/v1/user", 1, 200, R"({"email":"no id"})");
    EXPECT_THROW(client->upsertRemoteFile("a", "k", 1, "text/plain", "s"), JSONDecodingError);
    EXPECT_EQ(backend.requestCount("POST", "/rest/v1/files"), 5u);
}

TEST_F(FileRowsAndJobs, JobsCarryAnEmptyPayloadAndIgnoreTheAnswerBody) {
    signInDirectly();
    RemoteFileRecord file = client->upsertRemoteFile("a.txt", "user-x/a.txt", 1, "text/plain", "aa");
    client->insertJob(file.id, "ingest");
    auto post = backend.requests("POST", "/rest/v1/jobs").back();
    EXPECT_EQ(nlohmann::json::parse(post.body),
              nlohmann::json({{"user_id", userID}, {"file_id", file.id}, {"kind", "ingest"},
                              {"payload", nlohmann::json::object()}}));
    EXPECT_FALSE(post.hasHeader("Prefer"));
    EXPECT_EQ(post.rawQuery, "");
    ASSERT_EQ(backend.jobsForFile(file.id).size(), 1u);

    backend.failNext("POST", "/rest/v1/jobs", 1, 202, "not json at all");
    EXPECT_NO_THROW(client->insertJob(file.id, "delete"));
    backend.failNext("POST", "/rest/v1/jobs", 1, 409);
    EXPECT_EQ(captureHTTPError([&] { client->insertJob(file.id, "ingest"); }).description(),
              "Supabase request failed with status 409");
}

} // namespace
} // namespace tarnwell::testing
