// Sending the queued uploads again at the start of a run.
#include "sync/SyncCoordinatorHarness.hpp"

#include <atomic>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace tarnwell::testing {
namespace {

class SyncCoordinatorRetry : public ::testing::Test {
protected:
    void SetUp() override {
        h.signIn();
        root = h.folder("Empty");
        h.make();
    }

    RetryQueueItem item(const std::string& name, const std::string& owner, bool fileExists = true) {
        const auto path = h.temp / name;
        if (fileExists) std::ofstream(path) << name;
        return RetryQueueItem{path.string(), "user-" + owner + "/root-1/" + name, "legacy", 3, "text/plain",
                              std::string(64, 'c'), name, owner, 2, "earlier failure"};
    }

    // The log lines between the three start lines and the first scan.
    std::vector<std::string> drainLines() const {
        auto lines = h.logs.values();
        auto scan = std::find(lines.begin(), lines.end(), "Initial scan: " + root);
        return std::vector<std::string>(lines.begin() + 3, scan);
    }

    SyncHarness h;
    std::string root;
};

TEST_F(SyncCoordinatorRetry, anEmptyQueueOrOnlyOtherUsersItemsAreLeftAlone) {
    h.coordinator->startSync({root}, SyncMode::ultra);
    h.coordinator->stopSync();
    EXPECT_FALSE(std::filesystem::exists(h.retryQueue->url()));

    h.retryQueue->write({item("x.txt", "someone-else")});
    const std::string before = TempDir::read(h.retryQueue->url());
    h.coordinator->startSync({root}, SyncMode::ultra);
    h.coordinator->stopSync();
    EXPECT_EQ(TempDir::read(h.retryQueue->url()), before);

    h.sessions->clear();
    h.retryQueue->write({item("mine.txt", h.userID)});
    const std::string mine = TempDir::read(h.retryQueue->url());
    h.logs.clear();
    h.coordinator->startSync({root}, SyncMode::ultra);
    EXPECT_TRUE(drainLines().empty());
    EXPECT_EQ(TempDir::read(h.retryQueue->url()), mine);
}

// The queue file holds every unsettled item at every moment of a drain, and
// items appended meanwhile survive it.
TEST_F(SyncCoordinatorRetry, successesLeaveFailuresReturnAndNothingIsLostOnTheWay) {
    const RetryQueueItem ok = item("ok.txt", h.userID);
    const RetryQueueItem missing = item("missing.txt", h.userID, false);
    const RetryQueueItem theirs = item("theirs.txt", "someone-else");
    RetryQueueItem appended = item("appended.txt", h.userID);
    appended.attempts = 0;
    h.retryQueue->write({ok, theirs, missing});

    std::vector<std::vector<RetryQueueItem>> seen;
    h.logs.setHook([&](const std::string& line) {
        if (line.rfind("Retrying ", 0) == 0) {
            seen.push_back(h.retryQueue->read());
            h.retryQueue->append(appended);
        } else if (line.rfind("Retry OK: ", 0) == 0) {
            seen.push_back(h.retryQueue->read());
        }
    });
    h.coordinator->startSync({root}, SyncMode::ultra);
    h.logs.setHook({});

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::vector<RetryQueueItem>{ok, theirs, missing}));
    EXPECT_EQ(seen[1], (std::vector<RetryQueueItem>{ok, theirs, missing, appended}));

    const auto queue = h.retryQueue->read();
    ASSERT_EQ(queue.size(), 3u);
    ASSERT_TRUE(queue[2].lastError);
    RetryQueueItem again = missing;
    again.attempts = 3;
    again.lastError = queue[2].lastError;
    EXPECT_EQ(queue, (std::vector<RetryQueueItem>{theirs, appended, again}));
    EXPECT_NE(again.lastError, missing.lastError);
    EXPECT_EQ(drainLines(), (std::vector<std::string>{"Retrying 2 pending upload(s) from previous run...",
                                                      "Retry OK: " + ok.storageKey,
                                                      "Retry failed for " + missing.storageKey + ": " +
                                                          *again.lastError}));

    const auto row = h.backend.fileByKey(h.userID, ok.storageKey);
    ASSERT_TRUE(row);
    EXPECT_EQ(h.backend.jobsForFile((*row)["id"].get<std::string>()).size(), 1u);
    // Outside every watched folder, and under a key of no folder above it:
    // its row still names the key, under its own folder.
    const auto recorded = h.database->fileRecord(ok.localPath);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->storageKey, ok.storageKey);
    EXPECT_EQ(recorded->rootPath, h.temp.path().string());
    EXPECT_EQ(recorded->sha256, FileRules::sha256Hex(ok.localPath));
}

TEST_F(SyncCoordinatorRetry, absentFieldsGetDefaultsAndStayAbsentWhenQueuedAgain) {
    RetryQueueItem bare = item("notes.bin", h.userID);
    RetryQueueItem orphan = item("orphan.txt", "x");
    for (RetryQueueItem* i : {&bare, &orphan}) {
        i->mimeType.reset();
        i->sha256.reset();
        i->logicalPath.reset();
        i->legacyStorageKey.reset();
        i->userID.reset();
    }
    orphan.storageKey = "orphan/orphan.txt";
    h.retryQueue->write({bare, orphan});
    h.backend.failNext("POST", std::string(kUploadPath) + "files/orphan", 1, 500);

    h.coordinator->startSync({root}, SyncMode::ultra);

    EXPECT_EQ(h.backend.object(bare.storageKey)->contentType, "application/octet-stream");
    const auto upserts = h.backend.requests("POST", kFilesPath);
    ASSERT_EQ(upserts.size(), 1u);
    const auto body = nlohmann::json::parse(upserts[0].body);
    EXPECT_EQ(body["path"], "notes.bin");
    EXPECT_EQ(body["sha256"], FileRules::sha256Hex(bare.localPath)); // what was sent, not what was queued
    EXPECT_EQ(h.requests("POST", kJobsPath), 1u);

    RetryQueueItem again = orphan;
    again.userID = h.userID;
    again.attempts = 3;
    again.lastError = "Supabase request failed with status 500";
    EXPECT_EQ(h.retryQueue->read(), std::vector<RetryQueueItem>{again});
}

// A file edited after its upload failed: the row describes what is sent now.
TEST_F(SyncCoordinatorRetry, theRowGetsTheSizeAndDigestOfTheBytesSentNotThoseQueued) {
    const RetryQueueItem stale = item("edited.txt", h.userID);
    const std::string now = "written again after the failure, longer than before";
    std::ofstream(stale.localPath, std::ios::trunc) << now;
    h.retryQueue->write({stale});

    h.coordinator->startSync({root}, SyncMode::ultra);

    EXPECT_EQ(h.backend.object(stale.storageKey)->bytes, now);
    const auto row = h.backend.fileByKey(h.userID, stale.storageKey);
    ASSERT_TRUE(row);
    EXPECT_EQ((*row)["bytes"], static_cast<std::int64_t>(now.size()));
    EXPECT_EQ((*row)["sha256"], FileRules::sha256Hex(stale.localPath));
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// Starts made while uploads fail queue each file once, and the start after
// the outage sends each file once: the drain records what it sent, so the
// scan that follows finds the files unchanged.
TEST_F(SyncCoordinatorRetry, startsDuringAnOutageQueueEachFileOnceAndRecoverySendsItOnce) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Docs/") + name, name);
    const std::string docs = h.folder("Docs");
    h.backend.failNext("POST", kUploadPath, -1, 503);
    for (int start = 0; start < 3; ++start) h.syncOnce(docs);
    EXPECT_EQ(h.retryQueue->read().size(), 3u);

    h.backend.clearFaults();
    h.backend.clearRequests();
    h.syncOnce(docs);
    EXPECT_EQ(h.requests("POST", kUploadPath), 3u);
    EXPECT_EQ(h.backend.jobCount(), 3u);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 3, deleted 0, failed 0."));
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// With the jobs table failing, each start sends each file once: the scan
// after the drain takes the drain's word for the content it just sent.
// Every failed start counts one more attempt, and recovery gives one job.
TEST_F(SyncCoordinatorRetry, failingJobInsertsSendEachFileOncePerStartAndTheAttemptsAddUp) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Docs/") + name, name);
    const std::string docs = h.folder("Docs");
    h.backend.failNext("POST", kJobsPath, -1, 503);
    for (int start = 0; start < 4; ++start) {
        h.backend.clearRequests();
        h.make();
        h.syncOnce(docs);
        EXPECT_EQ(h.requests("POST", kUploadPath), 3u) << "start " << start;
    }
    const auto queue = h.retryQueue->read();
    ASSERT_EQ(queue.size(), 3u);
    for (const auto& item : queue) EXPECT_EQ(item.attempts, 3) << item.localPath;
    EXPECT_EQ(countStartingWith(h.logs.values(), "Upload failed, queued for retry: " + docs + "/a.txt ("), 4u);

    h.backend.clearFaults();
    h.backend.clearRequests();
    h.make();
    h.syncOnce(docs);
    EXPECT_EQ(h.requests("POST", kUploadPath), 3u);
    EXPECT_EQ(h.backend.jobCount(), 3u);
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A drain killed after it sent and recorded some files, before it could
// write them off: those items are dropped unsent at the next start; a file
// changed since its row was written is sent.
TEST_F(SyncCoordinatorRetry, anItemWhoseFileIsRecordedAsItIsIsDroppedUnsent) {
    const auto a = h.write("Docs/a.txt", "a");
    const auto b = h.write("Docs/b.txt", "b");
    const std::string docs = h.folder("Docs");
    h.syncOnce(docs);
    std::vector<RetryQueueItem> queued;
    for (const auto& file : {a, b}) {
        const auto row = h.database->fileRecord(file.string());
        ASSERT_TRUE(row);
        queued.push_back(RetryQueueItem{file.string(), row->storageKey, "legacy", row->bytes, "text/plain",
                                        row->sha256, row->logicalPath, h.userID, 1, "earlier failure"});
    }
    h.retryQueue->write(queued);
    std::ofstream(b, std::ios::trunc) << "b, edited";
    h.backend.clearRequests();
    h.logs.clear();

    h.make();
    h.syncOnce(docs);
    EXPECT_EQ(h.requests("POST", kUploadPath), 1u);
    EXPECT_EQ(h.backend.object(queued[1].storageKey)->bytes, "b, edited");
    EXPECT_TRUE(h.hasLine("Retry OK: " + queued[0].storageKey));
    EXPECT_TRUE(h.hasLine("Retry OK: " + queued[1].storageKey));
    EXPECT_EQ(h.backend.jobsForFile((*h.backend.fileByKey(h.userID, queued[0].storageKey))["id"]).size(), 1u);
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A queued file that a scan syncs leaves the queue then, so no later drain
// sends it (and registers it) again.
TEST_F(SyncCoordinatorRetry, aScanThatSyncsAQueuedFileTakesItsItemOut) {
    const auto file = h.write("Docs/a.txt", "a");
    const std::string docs = h.folder("Docs");
    h.backend.failNext("POST", kUploadPath, 1, 503);
    h.syncOnce(docs);
    ASSERT_EQ(h.retryQueue->read().size(), 1u);
    // The drain's try fails; the scan's succeeds.
    h.backend.failNext("POST", kUploadPath, 1, 503);
    h.syncOnce(docs);
    EXPECT_TRUE(h.retryQueue->read().empty());
    h.backend.clearRequests();
    h.syncOnce(docs);
    EXPECT_EQ(h.requests("POST", kUploadPath), 0u);
    EXPECT_EQ(h.backend.jobCount(), 1u);
}

// A file queued by a watched folder inside another (its row registered,
// its job refused) is sent by the drain after that folder was taken off the
// list: the outer folder then owns it and sends it under its own key, and
// the inner folder's key gives way, so that the file has one live row.
TEST_F(SyncCoordinatorRetry, aFileQueuedByAFolderTakenOffTheListEndsWithOneLiveRow) {
    h.write("R/B/a.txt", "a");
    const std::string outer = h.folder("R");
    const std::string inner = h.folder("R/B");
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.coordinator->startSync({outer, inner}, SyncMode::ultra);
    h.coordinator->stopSync();
    ASSERT_EQ(h.retryQueue->read().size(), 1u);

    for (int start = 0; start < 2; ++start) h.syncOnce(outer);
    EXPECT_TRUE(h.retryQueue->read().empty());
    std::vector<std::string> live;
    for (const auto& row : h.backend.files()) {
        if (row["is_deleted"] != true) live.push_back(row["storage_key"]);
    }
    EXPECT_EQ(live, std::vector<std::string>{h.key(outer, "B/a.txt")});
    const auto innerRow = *h.backend.fileByKey(h.userID, h.key(inner, "a.txt"));
    const auto jobs = h.backend.jobsForFile(innerRow["id"]);
    ASSERT_FALSE(jobs.empty());
    EXPECT_EQ(jobs.back()["kind"], "delete");
}

// Going away in the middle of a drain ends it at once: the items it never
// tried stay exactly as they were.
TEST_F(SyncCoordinatorRetry, goingAwayDuringADrainLeavesTheItemsNotTriedAsTheyWere) {
    std::vector<RetryQueueItem> queued;
    for (const char* name : {"1.txt", "2.txt", "3.txt", "4.txt"}) queued.push_back(item(name, h.userID));
    h.retryQueue->write(queued);
    h.logs.setHook([&](const std::string& line) {
        if (line == "Retry OK: " + queued[0].storageKey) h.coordinator->shutdown();
    });
    h.coordinator->startSync({root}, SyncMode::ultra);
    h.logs.setHook({});

    EXPECT_EQ(h.requests("POST", kUploadPath), 1u);
    EXPECT_EQ(h.retryQueue->read(), std::vector<RetryQueueItem>(queued.begin() + 1, queued.end()));
}

// A file rewritten after the scan listed it: both rows describe the bytes
// sent, not the size the listing saw.
TEST_F(SyncCoordinatorRetry, aScanRecordsTheBytesItSentNotThoseItListed) {
    const auto file = h.write("Docs/a.txt", "8 bytes.");
    const std::string docs = h.folder("Docs");
    const std::string now(159, 'x');
    h.logs.setHook([&](const std::string& line) {
        if (line == "Found 1 files. Indexing...") std::ofstream(file, std::ios::trunc) << now;
    });
    h.coordinator->startSync({docs}, SyncMode::regular);
    h.logs.setHook({});

    const auto row = h.database->fileRecord(file.string());
    ASSERT_TRUE(row);
    EXPECT_EQ(row->bytes, 159);
    EXPECT_EQ(row->sha256, FileRules::sha256Hex(file));
    EXPECT_EQ(h.backend.object(row->storageKey)->bytes, now);
    EXPECT_EQ((*h.backend.fileByKey(h.userID, row->storageKey))["bytes"], 159);
}

TEST_F(SyncCoordinatorRetry, aDrainOvertakenByANewStartLeavesTheRestToIt) {
    const RetryQueueItem first = item("first.txt", h.userID);
    const RetryQueueItem second = item("second.txt", h.userID);
    h.retryQueue->write({first, second});
    std::thread restart;
    std::atomic<bool> restarted{false};
    h.logs.setHook([&](const std::string& line) {
        if (line.rfind("Retrying ", 0) == 0 && !restarted.exchange(true)) {
            h.coordinator->stopSync();
            restart = std::thread([&] { h.coordinator->startSync({root}, SyncMode::ultra); });
            while (!h.coordinator->isRunning()) std::this_thread::yield();
        }
    });

    h.coordinator->startSync({root}, SyncMode::ultra);
    restart.join();
    h.logs.setHook({});

    EXPECT_EQ(countStartingWith(h.logs.values(), "Retrying 2 pending upload(s)"), 2u);
    EXPECT_EQ(countStartingWith(h.logs.values(), "Retry OK: "), 2u);
    EXPECT_EQ(h.backend.object(first.storageKey)->writes, 1);
    EXPECT_EQ(h.backend.object(second.storageKey)->writes, 1);
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// Job inserts whose answers are lost, against a backend whose worker is off
// and one whose worker takes every job within a millisecond.
class SyncCoordinatorLostJobAnswers : public ::testing::TestWithParam<std::chrono::milliseconds> {
protected:
    static BackendOptions worker(std::chrono::milliseconds interval) {
        BackendOptions options;
        options.worker = WorkerMode::Done;
        options.workerInterval = interval;
        return options;
    }

    void SetUp() override { h.signIn(); }

    // The connections of the next `count` job inserts die before the answer,
    // after the job was stored or before; the lookups that follow are
    // answered late enough for a running worker to have taken the job.
    void loseJobAnswers(int count, bool stored = true) {
        Fault lost;
        lost.method = "POST";
        lost.pathPrefix = kJobsPath;
        lost.count = count;
        lost.passThrough = stored;
        lost.closeWithoutAnswer = true;
        h.backend.injectFault(lost);
        h.backend.delay("GET", kJobsPath, 20ms, count);
    }

    bool workerOn() const { return GetParam().count() > 0; }

    SyncHarness h{worker(GetParam())};
};

INSTANTIATE_TEST_SUITE_P(Worker, SyncCoordinatorLostJobAnswers, ::testing::Values(0ms, 1ms), [](const auto& info) {
    return info.param.count() == 0 ? std::string("Off") : "Every" + std::to_string(info.param.count()) + "ms";
});

// The backend stores some jobs and the connection dies before their answers
// come back: each file still gets exactly one ingest job, over restarts.
TEST_P(SyncCoordinatorLostJobAnswers, aLostJobAnswerGivesNoFileASecondJob) {
    constexpr int count = 24;
    constexpr int lostAnswers = 4;
    for (int i = 0; i < count; ++i) h.write("Docs/f" + std::to_string(i) + ".txt", "file " + std::to_string(i));
    const std::string docs = h.folder("Docs");
    loseJobAnswers(lostAnswers);
    for (int start = 0; start < 3; ++start) {
        h.make();
        h.syncOnce(docs);
    }
    EXPECT_EQ(h.backend.pendingFaults(), 0u);
    EXPECT_EQ(h.requests("GET", kJobsPath), static_cast<std::size_t>(lostAnswers));
    EXPECT_EQ(h.requests("POST", kJobsPath), static_cast<std::size_t>(count));
    EXPECT_EQ(h.requests("POST", kUploadPath), static_cast<std::size_t>(count));
    ASSERT_EQ(h.backend.fileCount(), static_cast<std::size_t>(count));
    for (const auto& file : h.backend.files()) {
        EXPECT_EQ(h.backend.jobsForFile(file["id"]).size(), 1u) << file["path"];
    }
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// The job of an earlier version, waiting or done, is not the one whose answer
// was lost, whether that one was stored or not: each version gets its own.
// The earlier uploads are dated back, as the rescan delay or a restart would
// leave them.
TEST_P(SyncCoordinatorLostJobAnswers, anEarlierVersionsJobDoesNotStandInForTheNewOnes) {
    const auto file = h.write("Docs/a.txt", "version 0");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    for (bool stored : {true, false}) {
        ASSERT_TRUE(!workerOn() || h.backend.waitForWorkerIdle(10s));
        for (const auto& job : h.backend.jobs()) {
            h.backend.updateJob(job["id"], {{"created_at", "2000-01-01T00:00:00Z"}});
        }
        h.write("Docs/a.txt", stored ? "version 1." : "version 2..");
        loseJobAnswers(1, stored);
        h.make();
        h.syncOnce(docs);
    }
    EXPECT_EQ(h.backend.pendingFaults(), 0u);
    EXPECT_TRUE(h.retryQueue->read().empty());
    ASSERT_TRUE(!workerOn() || h.backend.waitForWorkerIdle(10s));
    const auto jobs = h.backend.jobs();
    EXPECT_EQ(jobs.size(), 3u);
    for (const auto& job : jobs) EXPECT_EQ(job["status"], workerOn() ? "done" : "queued");
    if (workerOn()) {
        EXPECT_EQ(h.backend.files().at(0)["ingested_sha256"], FileRules::sha256Hex(file));
    }
}

} // namespace
} // namespace tarnwell::testing
