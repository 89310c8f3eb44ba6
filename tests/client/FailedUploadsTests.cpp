// Failed ingest jobs: listing and retry.
#include <algorithm>

#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using FailedUploads = ClientTest;

TEST_F(FailedUploads, EndToEndWithTheWorker) {
    signInDirectly();
    auto path = directory.write("report.pdf", "%PDF");
    RemoteFileRecord file = client->upsertRemoteFile("report.pdf", "user-x/report.pdf", 4, "application/pdf", "aa");
    client->uploadFile(path, "user-x/report.pdf", "application/pdf");
    client->insertJob(file.id, "ingest");
    backend.runWorker(WorkerMode::Error);

    std::vector<FailedUploadItem> items = client->fetchFailedUploads();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].error, backend.options().workerError);
    EXPECT_TRUE(items[0].createdAt);
    ASSERT_TRUE(items[0].file);
    EXPECT_EQ(items[0].file->ingestError, backend.options().workerError);

    EXPECT_EQ(client->retryFailedUploads(), 1);
    EXPECT_EQ(backend.jobsForFile(file.id).at(0)["attempts"], 0);

    backend.runWorker(WorkerMode::Done);
    EXPECT_TRUE(client->fetchFailedUploads().empty());
    EXPECT_EQ(client->fetchRemoteFile("user-x/report.pdf")->ingestedSHA256, "aa");
    EXPECT_TRUE(client->fetchIngestStatus().lastIngestedAt);
}

TEST_F(FailedUploads, ListsJobsInOrderWithTheirFilesFromOneRead) {
    signInDirectly();
    auto a = backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "a"}, {"path", "a"}});
    auto b = backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "b"}, {"path", "b"}});
    auto failed = [&](const nlohmann::json& fileID, const char* createdAt, const char* kind = "ingest") {
        return backend.insertJob(userID, {{"file_id", fileID}, {"kind", kind}, {"status", "error"},
                                          {"error", "boom"}, {"created_at", createdAt}})["id"]
            .get<std::string>();
    };
    std::string newest = failed(b["id"], "2026-05-03T00:00:00+00:00");
    std::string middle = failed(a["id"], "2026-05-02T00:00:00+00:00");
    std::string oldest = failed(b["id"], "2026-05-01T00:00:00+00:00");
    std::string orphan = failed(nullptr, "2026-04-01T00:00:00+00:00");
    failed(a["id"], "2026-06-01T00:00:00+00:00", "delete");
    std::string other = backend.addUser("other@example.com", "pw");
    auto foreign = backend.insertFile(other, {{"storage_bucket", "files"}, {"storage_key", "c"}, {"path", "c"}});
    backend.insertJob(other, {{"file_id", foreign["id"]}, {"kind", "ingest"}, {"status", "error"}});

    std::vector<FailedUploadItem> items = client->fetchFailedUploads();
    ASSERT_EQ(items.size(), 4u);
    std::vector<std::string> order;
    for (const auto& item : items) {
        order.push_back(item.id);
    }
    EXPECT_EQ(order, (std::vector<std::string>{newest, middle, oldest, orphan}));
    EXPECT_EQ(items[0].file->id, b["id"]);
    EXPECT_EQ(items[1].file->id, a["id"]);
    EXPECT_EQ(items[2].file, items[0].file);
    EXPECT_FALSE(items[3].fileID);
    EXPECT_FALSE(items[3].file);

    std::vector<std::string> fileIDs{a["id"], b["id"]};
    std::sort(fileIDs.begin(), fileIDs.end());
    auto filesRead = backend.requests("GET", "/rest/v1/files");
    ASSERT_EQ(filesRead.size(), 1u);
    EXPECT_EQ(filesRead[0].queryItem("id"), "in.(" + fileIDs[0] + "," + fileIDs[1] + ")");

    // A file row that does not come back leaves its jobs without a file.
    Fault noRows;
    noRows.method = "GET";
    noRows.pathPrefix = "/rest/v1/files";
    noRows.passThrough = true;
    noRows.body = "[]";
    backend.injectFault(noRows);
    items = client->fetchFailedUploads();
    EXPECT_TRUE(std::none_of(items.begin(), items.end(), [](const auto& item) { return item.file.has_value(); }));

    // Retry: every job in one PATCH, their files in another.
    EXPECT_EQ(client->retryFailedUploads(), 4);
    std::vector<std::string> jobIDs{newest, middle, oldest, orphan};
    std::sort(jobIDs.begin(), jobIDs.end());
    auto patches = backend.requests("PATCH", "/rest/v1/");
    ASSERT_EQ(patches.size(), 2u);
    EXPECT_EQ(patches[0].path, "/rest/v1/jobs");
    EXPECT_EQ(patches[0].queryItem("id"),
              "in.(" + jobIDs[0] + "," + jobIDs[1] + "," + jobIDs[2] + "," + jobIDs[3] + ")");
    EXPECT_EQ(patches[0].header("Prefer"), "return=minimal");
    EXPECT_EQ(patches[1].path, "/rest/v1/files");
    EXPECT_EQ(patches[1].queryItem("id"), "in.(" + fileIDs[0] + "," + fileIDs[1] + ")");
    EXPECT_EQ(backend.job(orphan)->at("status"), "queued");
}

TEST_F(FailedUploads, ManyFailedJobsAreListedAndRetriedInShortRequests) {
    signInDirectly();
    constexpr int count = 300;
    for (int i = 0; i < count; ++i) {
        std::string fileID = backend.insertFile(userID, {{"storage_bucket", "files"},
                                                         {"storage_key", "k" + std::to_string(i)},
                                                         {"path", "p"},
                                                         {"ingest_error", "Ingest failed"}})["id"];
        backend.insertJob(userID, {{"file_id", fileID}, {"kind", "ingest"}, {"status", "error"}});
    }
    const auto listed = client->fetchFailedUploads(200);
    ASSERT_EQ(listed.size(), 200u);
    for (const auto& item : listed) EXPECT_TRUE(item.file && item.file->id == item.fileID);
    auto reads = backend.requests("GET", "/rest/v1/files");
    EXPECT_GT(reads.size(), 1u);
    for (const auto& read : reads) {
        EXPECT_EQ(read.status, 200);
        EXPECT_LT(backend.baseURL().size() + read.rawTarget.size(), 4096u);
    }
    EXPECT_EQ(client->retryFailedUploads(), count);
    auto patches = backend.requests("PATCH", "/rest/v1/");
    EXPECT_GT(patches.size(), 2u);
    for (const auto& patch : patches) {
        EXPECT_EQ(patch.status, 204);
        EXPECT_LT(backend.baseURL().size() + patch.rawTarget.size(), 4096u);
    }
    for (const auto& job : backend.jobs()) EXPECT_EQ(job.at("status"), "queued");
    for (const auto& file : backend.files()) EXPECT_TRUE(file.at("ingest_error").is_null());
}

// A filter's page in place of the answer to either of the retry's PATCHes
// (one that begins with a byte-order mark, served as plain text at 200) is no
// retry done: the call fails, and what the page stood in for is left as it was.
TEST_F(FailedUploads, APageInPlaceOfAnAnswerIsNoRetry) {
    signInDirectly();
    const std::string fileID =
        backend.insertFile(userID, {{"storage_bucket", "files"}, {"storage_key", "k"}, {"path", "p"},
                                    {"ingest_error", "Ingest failed"}})["id"];
    const std::string jobID =
        backend.insertJob(userID, {{"file_id", fileID}, {"kind", "ingest"}, {"status", "error"}})["id"];
    Fault page;
    page.method = "PATCH";
    page.count = -1;
    page.status = 200;
    page.contentType = "text/plain";
    page.body = "\xEF\xBB\xBF<!DOCTYPE html><html><body>Blocked by policy</body></html>";
    // The second call's jobs PATCH is answered: the job is queued again then.
    for (const auto& [path, jobStatus] : {std::pair{"/rest/v1/jobs", "error"}, std::pair{"/rest/v1/files", "queued"}}) {
        page.pathPrefix = path;
        backend.clearFaults();
        backend.injectFault(page);
        EXPECT_EQ(captureHTTPError([&] { client->retryFailedUploads(); }), SupabaseHTTPError::invalidResponse())
            << path;
        EXPECT_EQ(backend.job(jobID)->at("status"), nlohmann::json(jobStatus)) << path;
        EXPECT_EQ(backend.file(fileID)->at("ingest_error"), nlohmann::json("Ingest failed")) << path;
    }
}

TEST_F(FailedUploads, LimitsEmptyListsAndFailures) {
    signInDirectly();
    auto limitSent = [&](std::int64_t limit) {
        client->fetchFailedUploads(limit);
        return backend.requests("GET", "/rest/v1/jobs").back().queryItem("limit");
    };
    EXPECT_EQ(limitSent(0), "1");
    EXPECT_EQ(limitSent(-7), "1");
    EXPECT_EQ(limitSent(500), "200");
    EXPECT_EQ(limitSent(42), "42");

    backend.clearRequests();
    EXPECT_TRUE(client->fetchFailedUploads().empty());
    EXPECT_EQ(client->retryFailedUploads(), 0);
    EXPECT_EQ(backend.requests().size(), 2u);

    // Jobs without files: only the jobs PATCH is sent.
    backend.insertJob(userID, {{"file_id", nullptr}, {"kind", "ingest"}, {"status", "error"}});
    backend.clearRequests();
    EXPECT_EQ(client->retryFailedUploads(), 1);
    EXPECT_EQ(backend.requestCount("PATCH", "/rest/v1/files"), 0u);
    EXPECT_EQ(backend.requestCount("PATCH", "/rest/v1/jobs"), 1u);

    backend.failNext("GET", "/rest/v1/jobs", 1, 200, R"([{"id":"1","created_at":"2026-13-01T00:00:00Z"}])");
    EXPECT_THROW(client->fetchFailedUploads(), JSONDecodingError);
    backend.failNext("GET", "/rest/v1/jobs", 1, 200, R"([{"file_id":"1"}])");
    EXPECT_THROW(client->fetchFailedUploads(), JSONDecodingError);
}

} // namespace
} // namespace tarnwell::testing
