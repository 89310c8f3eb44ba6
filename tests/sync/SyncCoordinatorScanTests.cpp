// One pass over a folder: its log lines, the decision for each file, and the
// remote deletes of files that vanished.
#include "sync/SyncCoordinatorHarness.hpp"

#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

namespace tarnwell::testing {
namespace {

TEST(SyncCoordinatorScan, initialScansLogEveryLineInOrderAndRestartsSendNothing) {
    SyncHarness h;
    h.signIn();
    for (const char* name : {"b.pdf", "A.txt", "a.md", "README"}) h.write(std::string("One/") + name, name);
    for (int i = 1; i <= 5; ++i) h.write("Two/n" + std::to_string(i) + ".txt", std::to_string(i));
    for (const char* name : {"node_modules/x.txt", ".hidden.txt", "draft.txt.tmp"}) h.write(std::string("Two/") + name, "");
    const std::string one = h.folder("One");
    const std::string two = h.folder("Two");
    auto& coordinator = h.make();

    coordinator.startSync({one, two}, SyncMode::ultra);
    std::vector<std::string> expected = {"Starting sync (ultra)...", "Folders: " + one + ", " + two,
                                         "Performing initial scan...", "Initial scan: " + one,
                                         "Unsupported file type skipped: " + one + "/README",
                                         "Found 3 files. Indexing...", "Scanned: 1", "Scanned: 2", "Scanned: 3",
                                         "Summary: uploaded 3, skipped 0, deleted 0, failed 0.",
                                         "Initial scan: " + two, "Found 8 files. Indexing..."};
    for (int i = 4; i <= 8; ++i) expected.push_back("Scanned: " + std::to_string(i));
    expected.insert(expected.end(), {"Summary: uploaded 5, skipped 0, deleted 0, failed 0.", "Initial scan complete",
                                     "Watching " + one + ", " + two + " ..."});
    EXPECT_EQ(h.logs.values(), expected);

    std::vector<std::string> order;
    for (const auto& request : h.backend.requests("POST", kFilesPath)) {
        order.push_back(nlohmann::json::parse(request.body).at("path").get<std::string>());
    }
    ASSERT_EQ(order.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 3),
              (std::vector<std::string>{"A.txt", "a.md", "b.pdf"}));
    EXPECT_EQ(h.backend.jobCount(), 8u);
    EXPECT_EQ(h.database->fileRecord(one + "/A.txt"),
              (FileStateRow{one + "/A.txt", one, "A.txt", h.key(one, "A.txt"), FileRules::sha256Hex(one + "/A.txt"),
                            5, h.database->fileRecord(one + "/A.txt")->mtimeMilliseconds}));
    coordinator.stopSync();

    h.backend.clearRequests();
    h.syncOnce(two);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 5, deleted 0, failed 0."));
    EXPECT_EQ(h.requests("", kUploadPath) + h.requests("", kFilesPath) + h.requests("", kJobsPath), 0u);
}

TEST(SyncCoordinatorScan, theSizeLimitComesFirstAndIsCheckedInEveryPass) {
    SyncHarness h;
    h.signIn();
    h.config.maxUploadBytes = 10;
    const auto atLimit = h.write("Docs/exact.txt", std::string(10, 'x'));
    const auto over = h.write("Docs/over.txt", std::string(11, 'x'));
    const std::string docs = h.folder("Docs");
    h.make();

    for (int pass = 0; pass < 2; ++pass) {
        h.logs.clear();
        h.syncOnce(docs);
        EXPECT_TRUE(h.hasLine("File too large for upload, skipped: " + over.string()));
    }
    EXPECT_TRUE(h.backend.object(h.key(docs, "exact.txt")));
    EXPECT_EQ(h.backend.objectCount(), 1u);
    EXPECT_EQ(h.database->fileRecord(over.string()),
              (FileStateRow{over.string(), docs, "over.txt", "", "skipped-too-large", 11,
                            h.database->fileRecord(over.string())->mtimeMilliseconds}));

    // Grown past the limit, a sent file keeps its key; shrunk below, it is sent.
    std::filesystem::resize_file(atLimit, 12);
    std::filesystem::resize_file(over, 3);
    h.syncOnce(docs);
    EXPECT_EQ(h.database->fileRecord(atLimit.string())->sha256, "skipped-too-large");
    EXPECT_EQ(h.database->fileRecord(atLimit.string())->storageKey, h.key(docs, "exact.txt"));
    EXPECT_EQ(h.database->fileRecord(over.string())->storageKey, h.key(docs, "over.txt"));
    EXPECT_TRUE(h.backend.object(h.key(docs, "over.txt")));
}

TEST(SyncCoordinatorScan, aFileOverTheOldLimitIsSentOnceTheLimitAllowsIt) {
    SyncHarness h;
    h.signIn();
    h.config.maxUploadBytes = 10;
    const auto file = h.write("Docs/big.txt", std::string(11, 'x'));
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    h.config.maxUploadBytes = 11;
    h.make();
    for (int pass = 0; pass < 2; ++pass) h.syncOnce(docs);
    EXPECT_EQ(h.requests("POST", kUploadPath), 1u);
    EXPECT_EQ(h.database->fileRecord(file.string())->sha256, FileRules::sha256Hex(file));
}

TEST(SyncCoordinatorScan, touchedFilesAreOnlyRecordedAndKnownContentGetsNoIngestJob) {
    SyncHarness h;
    h.signIn();
    const auto touched = h.write("Docs/touched.txt", "same words");
    const auto known = h.write("Docs/known.txt", "already ingested");
    const std::string docs = h.folder("Docs");
    const std::string sha = FileRules::sha256Hex(known);
    h.backend.insertFile(h.userID, {{"path", "known.txt"}, {"storage_bucket", "files"},
                                    {"storage_key", h.key(docs, "known.txt")}, {"ingested_sha256", sha}});
    h.make();
    h.syncOnce(docs);
    EXPECT_EQ(h.backend.jobCount(), 1u);

    auto row = *h.database->fileRecord(touched.string());
    row.storageKey = "kept-key";
    h.database->upsert(row);
    SyncHarness::setModificationTime(touched, 1'700'000'000);
    h.backend.clearRequests();
    h.syncOnce(docs, SyncMode::regular);

    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 2, deleted 0, failed 0."));
    EXPECT_EQ(h.requests("", kUploadPath), 0u);
    EXPECT_EQ(h.database->fileRecord(touched.string())->storageKey, "kept-key");
    EXPECT_EQ(h.database->fileRecord(touched.string())->mtimeMilliseconds, 1'700'000'000'000.0);
}

// A new file whose upload step failed: its row names the key it was sent
// under and records no content, until the retry sends it.
TEST(SyncCoordinatorScan, failedUploadStepsQueueARetryAndLeaveTheRowAsItWas) {
    for (const char* step : {kUploadPath, kFilesPath, kJobsPath}) {
        SCOPED_TRACE(step);
        SyncHarness h;
        h.signIn();
        const auto file = h.write("Docs/Report Q3.PDF", "report");
        const std::string docs = h.folder("Docs");
        h.make();
        h.backend.failNext("POST", step, 1, 503);

        h.syncOnce(docs);
        EXPECT_TRUE(h.hasLine("Upload failed, queued for retry: " + file.string() +
                              " (Supabase request failed with status 503)"));
        EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 0, deleted 0, failed 1."));
        EXPECT_EQ(h.database->fileRecord(file.string()),
                  (FileStateRow{file.string(), docs, "Report Q3.PDF", h.key(docs, "Report Q3.PDF"), "", -1, 0}));
        EXPECT_EQ(h.retryQueue->read(),
                  (std::vector<RetryQueueItem>{{file.string(), h.key(docs, "Report Q3.PDF"),
                                                FileRules::legacyStorageKey(h.userID, "Report Q3.PDF"), 6,
                                                "application/pdf", FileRules::sha256Hex(file), "Report Q3.PDF",
                                                h.userID, 0, "Supabase request failed with status 503"}}));
    }
}

TEST(SyncCoordinatorScan, signedOutChangedFilesFailWithoutRetryItems) {
    SyncHarness h;
    const auto file = h.write("Docs/a.txt", "a");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Upload failed, queued for retry: " + file.string() + " (Not authenticated)"));
    EXPECT_TRUE(h.retryQueue->read().empty());
}

TEST(SyncCoordinatorScan, vanishedFilesAreDeletedRemotelyOnlyWhenThereIsSomethingToDelete) {
    SyncHarness h;
    h.signIn();
    const auto gone = h.write("Docs/gone.txt", "soon gone");
    const std::string docs = h.folder("Docs");
    const auto deleted = h.backend.insertFile(h.userID, {{"path", "deleted.txt"}, {"storage_bucket", "files"},
                                                         {"storage_key", "k-deleted"}, {"is_deleted", true}});
    h.database->upsert({docs + "/deleted.txt", docs, "deleted.txt", "k-deleted", "x", 1, 1.0});
    h.database->upsert({docs + "/unknown.txt", docs, "unknown.txt", "k-unknown", "x", 1, 1.0});
    h.database->upsert({docs + "/never-sent.txt", docs, "never-sent.txt", "", "skipped-too-large", 1, 1.0});
    // Recorded before as well, and still there (changed since).
    h.database->upsert({gone.string(), docs, "gone.txt", "", "x", 1, 1.0});
    h.make();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 1, skipped 0, deleted 3, failed 0."));
    EXPECT_EQ(h.requests("GET", kFilesPath), 2u);
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);
    EXPECT_EQ(h.database->rows(docs).size(), 1u);

    std::filesystem::remove(gone);
    h.backend.failNext("GET", kFilesPath, 1, 500);
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Delete sync warning for " + gone.string() + ": Supabase request failed with status 500"));
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 0, deleted 0, failed 1."));
    EXPECT_TRUE(h.database->fileRecord(gone.string()));

    h.syncOnce(docs);
    const auto remote = *h.backend.fileByKey(h.userID, h.key(docs, "gone.txt"));
    EXPECT_EQ(remote["is_deleted"], true);
    const auto jobs = h.backend.jobsForFile(remote["id"].get<std::string>());
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[1]["kind"], "delete");
    EXPECT_TRUE(h.database->rows(docs).empty());
}

// The kinds of a hosted file's jobs, oldest first.
std::vector<std::string> jobKinds(SyncHarness& h, const std::string& root, const std::string& logicalPath) {
    const auto remote = h.backend.fileByKey(h.userID, h.key(root, logicalPath));
    std::vector<std::string> kinds;
    if (!remote) return kinds;
    for (const auto& job : h.backend.jobsForFile((*remote)["id"].get<std::string>())) kinds.push_back(job["kind"]);
    return kinds;
}

// A delete cut between marking the hosted row and queueing its job, by a
// refused job or by going away, sends the job on the next pass, once.
TEST(SyncCoordinatorScan, aDeleteCutBetweenMarkingTheRowAndItsJobStillGetsItsJob) {
    SyncHarness h;
    h.signIn();
    for (int i = 0; i < 3; ++i) h.write("Docs/refused-" + std::to_string(i) + ".txt", "refused");
    for (int i = 0; i < 3; ++i) h.write("Docs/quit-" + std::to_string(i) + ".txt", "quit");
    h.write("Docs/kept.txt", "kept");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    const std::vector<std::string> ingested = {"ingest"};
    const std::vector<std::string> deleted = {"ingest", "delete"};

    for (int i = 0; i < 3; ++i) std::filesystem::remove(docs + "/refused-" + std::to_string(i) + ".txt");
    h.backend.failNext("POST", kJobsPath, 1, 500);
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 4, deleted 2, failed 1."));
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 4, deleted 1, failed 0."));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(jobKinds(h, docs, "refused-" + std::to_string(i) + ".txt"), deleted) << i;

    // Going away while the first delete's job is out.
    for (int i = 0; i < 3; ++i) std::filesystem::remove(docs + "/quit-" + std::to_string(i) + ".txt");
    h.backend.delay("POST", kJobsPath, 20s, 1);
    h.quitOnceFaultsAreMet(docs);
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "quit-0.txt")))["is_deleted"], true);
    EXPECT_EQ(jobKinds(h, docs, "quit-0.txt"), ingested);
    h.make();
    h.syncOnce(docs);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(jobKinds(h, docs, "quit-" + std::to_string(i) + ".txt"), deleted) << i;
    EXPECT_EQ(jobKinds(h, docs, "kept.txt"), ingested);
    EXPECT_EQ(h.database->rows(docs).size(), 1u);
}

// Files left in the retry queue with no row (a.txt's row upsert and b.txt's
// job refused), then removed: the hosted row registered for each is
// withdrawn (a refused withdrawal by a later pass) and its item dropped.
TEST(SyncCoordinatorScan, aQueuedFileThatIsRemovedHasItsHostedRowWithdrawnAndLeavesTheQueue) {
    SyncHarness h;
    h.signIn();
    for (const char* name : {"a.txt", "b.txt", "kept.txt"}) h.write(std::string("Docs/") + name, name);
    const std::string docs = h.folder("Docs");
    h.backend.failNext("POST", kFilesPath, 1, 503);
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.make();
    h.syncOnce(docs);
    std::filesystem::remove(docs + "/a.txt");
    std::filesystem::remove(docs + "/b.txt");
    h.backend.failNext("GET", kFilesPath, 1, 500);
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 1, deleted 1, failed 1."));
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "b.txt")))["is_deleted"], true);
    EXPECT_EQ(jobKinds(h, docs, "b.txt"), std::vector<std::string>{"delete"});

    for (int start = 0; start < 2; ++start) {
        h.make();
        h.syncOnce(docs);
    }
    EXPECT_TRUE(h.retryQueue->read().empty());
    EXPECT_EQ(countOf(h.logs.values(), "Summary: uploaded 0, skipped 1, deleted 0, failed 0."), 1u);
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 1u);
    EXPECT_EQ(jobKinds(h, docs, "b.txt"), std::vector<std::string>{"delete"});
}

// A file deleted and written again with the same content, three times (the
// third time sent by the retry of a refused upload), each delete's first
// job refused: the revived row, ingested before, still gets an ingest job,
// so that each delete is told from the one before and sent.
TEST(SyncCoordinatorScan, eachLifeOfAFileWrittenAgainWithTheSameContentEndsWithItsOwnDeleteJob) {
    SyncHarness h;
    h.signIn();
    const std::string docs = h.folder("Docs");
    h.make();
    for (int life = 0; life < 3; ++life) {
        if (life == 2) h.backend.failNext("POST", kUploadPath, 1, 503);
        const auto file = h.write("Docs/a.txt", "the same words");
        for (int pass = 0; pass < (life == 2 ? 2 : 1); ++pass) h.syncOnce(docs);
        EXPECT_EQ(jobKinds(h, docs, "a.txt").back(), "ingest") << life;
        h.backend.runWorker();
        std::filesystem::remove(file);
        h.backend.failNext("POST", kJobsPath, 1, 500);
        h.syncOnce(docs);
        h.syncOnce(docs);
        h.backend.runWorker();
    }
    EXPECT_EQ(jobKinds(h, docs, "a.txt"),
              (std::vector<std::string>{"ingest", "delete", "ingest", "delete", "ingest", "delete"}));
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "a.txt")))["is_deleted"], true);
}

// Rows from before the mounts were remembered: a file gone from a folder
// that still shows some of the files synced with it, or whose folder was
// removed from one that does, is deleted; a folder that shows none of them
// might be a volume that is away, so its rows stay, also once new files are
// written there.
TEST(SyncCoordinatorScan, withNoMemoryOfMountsOnlyFoldersThatStillShowTheirFilesLoseRows) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    h.write("Docs/gone.txt", "gone");
    h.write("Docs/Removed/b.txt", "b");
    const auto emptied = h.write("Docs/Emptied/c.txt", "c");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    ASSERT_TRUE(h.hasLine("Summary: uploaded 4, skipped 0, deleted 0, failed 0."));

    std::filesystem::remove(docs + "/gone.txt");
    std::filesystem::remove_all(docs + "/Removed");
    std::filesystem::remove(emptied);
    h.forgetMounts();
    h.logs.clear();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 1, deleted 2, failed 0."));
    EXPECT_TRUE(h.hasLine("None of the synced files of " + emptied.parent_path().string() +
                          " is there, and the volume they were on is not known (it may not be mounted); deletes "
                          "skipped for this folder."));
    EXPECT_TRUE(h.database->fileRecord(emptied.string()));

    h.write("Docs/Emptied/new.txt", "new");
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 1, skipped 1, deleted 0, failed 0."));
    EXPECT_TRUE(h.database->fileRecord(emptied.string()));
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "Emptied/c.txt")))["is_deleted"], false);

    // Removed later, from the volume it was seen on: a removal like any other.
    std::filesystem::remove_all(emptied.parent_path());
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 1, deleted 2, failed 0."));
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "Emptied/c.txt")))["is_deleted"], true);
}

// Rows from before the mounts were remembered that a pass judged gone stay
// gone: a delete refused, or cut short by going away, is sent by a later
// pass, although what that pass finds is remembered by then.
TEST(SyncCoordinatorScan, withNoMemoryOfMountsADeleteJudgedOnceIsSentByALaterPass) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    h.write("Docs/gone.txt", "gone");
    for (int i = 0; i < 5; ++i) h.write("Docs/Removed/" + std::to_string(i) + ".txt", "removed");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    std::filesystem::remove(docs + "/gone.txt");
    std::filesystem::remove_all(docs + "/Removed");
    h.forgetMounts();

    h.backend.failNext("PATCH", kFilesPath, 1, 500);
    h.backend.delay("PATCH", kFilesPath, 20s, 1);
    h.quitOnceFaultsAreMet(docs);
    EXPECT_EQ(h.database->rows(docs).size(), 7u);

    h.logs.clear();
    h.make();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 1, deleted 6, failed 0."));
    EXPECT_EQ(countStartingWith(h.logs.values(), "None of the synced files"), 0u);
    EXPECT_EQ(h.database->rows(docs).size(), 1u);
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "gone.txt")))["is_deleted"], true);
}

TEST(SyncCoordinatorScan, aFolderThatCannotBeOpenedKeepsItsRowsButAnEmptyOneLosesThem) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);

    std::filesystem::rename(docs, docs + ".away");
    h.backend.clearRequests();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Cannot open " + docs + " (No such file or directory); deletes skipped for this folder."));
    EXPECT_EQ(h.database->rows(docs).size(), 1u);
    EXPECT_EQ(h.requests("", kFilesPath), 0u);

    std::filesystem::create_directories(docs);
    h.syncOnce(docs);
    EXPECT_TRUE(h.database->rows(docs).empty());
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 1u);
}

TEST(SyncCoordinatorScan, aFolderThatCanBeListedButNotEnteredKeepsItsRows) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    ASSERT_EQ(h.database->rows(docs).size(), 1u);

    namespace fs = std::filesystem;
    fs::permissions(docs, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    h.backend.clearRequests();
    {
        WithoutPermissionOverride asOwner;
        h.syncOnce(docs);
    }
    fs::permissions(docs, fs::perms::owner_all);
    EXPECT_TRUE(h.hasLine("Cannot open " + docs + " (Permission denied); deletes skipped for this folder."));
    EXPECT_EQ(h.database->rows(docs).size(), 1u);
    EXPECT_EQ(h.requests("", kFilesPath), 0u);
}

TEST(SyncCoordinatorScan, filesBelowSubfoldersThatCannotBeReadKeepTheirRowsWhileVanishedOnesGo) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    h.write("Docs/locked/b.txt", "b");
    h.write("Docs/locked/inner/c.txt", "c");
    h.write("Docs/sealed/d.txt", "d");
    h.write("Docs/removed/e.txt", "e");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    ASSERT_EQ(h.database->rows(docs).size(), 5u);

    namespace fs = std::filesystem;
    fs::remove_all(docs + "/removed");
    fs::permissions(docs + "/locked", fs::perms::none);
    fs::permissions(docs + "/sealed", fs::perms::owner_read); // listed, not entered
    h.backend.clearRequests();
    {
        WithoutPermissionOverride asOwner;
        h.syncOnce(docs);
    }
    fs::permissions(docs + "/locked", fs::perms::owner_all);
    fs::permissions(docs + "/sealed", fs::perms::owner_all);
    for (const char* folder : {"/locked", "/sealed"}) {
        EXPECT_EQ(countOf(h.logs.values(), "Cannot open " + docs + folder +
                                               " (Permission denied); deletes skipped for this folder."), 1u);
    }
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 1, deleted 1, failed 0."));
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 1u);
    EXPECT_EQ(h.database->rows(docs).size(), 4u);
    EXPECT_FALSE(h.database->fileRecord(docs + "/removed/e.txt"));
}

TEST(SyncCoordinatorScan, accentedNamesSortByTheirComposedFormAndRescansFindTheirRows) {
    SyncHarness h;
    h.signIn();
    // Composed "é" sorts after "z". Beside a decomposed one ("e" + U+0301),
    // whose bytes sort before "f", byte order no longer gives that order.
    const std::string eb = "\xC3\xA9" "b.txt";
    const std::string ea = "e\xCC\x81" "a.txt";
    for (const std::string& name : {std::string("z.txt"), eb, std::string("f.txt"), std::string("README")}) {
        h.write("Composed/" + name, name);
    }
    for (const std::string& name : {std::string("z.txt"), eb, ea, std::string("f.txt")}) h.write("Mixed/" + name, name);
    const std::string composed = h.folder("Composed");
    const std::string mixed = h.folder("Mixed");
    auto& coordinator = h.make();
    coordinator.startSync({composed, mixed}, SyncMode::ultra);
    EXPECT_TRUE(h.hasLine("Unsupported file type skipped: " + composed + "/README"));
    std::vector<std::string> order;
    for (const auto& request : h.backend.requests("POST", kFilesPath)) {
        order.push_back(nlohmann::json::parse(request.body).at("path").get<std::string>());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"f.txt", "z.txt", eb, "f.txt", "z.txt", ea, eb}));

    // Rescans started by files that are not synced find every row again and
    // say nothing about those files.
    h.logs.clear();
    h.write("Composed/README", "edited");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 3, deleted 0, failed 0."));
    h.write("Mixed/notes.dat", "new");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 4, deleted 0, failed 0."));
    coordinator.stopSync();
    EXPECT_EQ(h.logs.values().front(), "Rescan: " + composed);
    EXPECT_EQ(countStartingWith(h.logs.values(), "Unsupported file type skipped: "), 0u);
    EXPECT_EQ(h.requests("POST", kUploadPath), 7u);
    EXPECT_EQ(h.database->rows(mixed).size(), 4u);
}

// Bytes this thread has read from files so far, when the kernel tells.
std::optional<std::uint64_t> bytesReadByThisThread() {
    std::ifstream io("/proc/thread-self/io");
    std::string name;
    std::uint64_t value = 0;
    while (io >> name >> value) {
        if (name == "rchar:") return value;
    }
    return std::nullopt;
}

TEST(SyncCoordinatorScan, aSmallFileIsReadOnceAndSentAsHashedWhileALargeOneIsStreamed) {
    SyncHarness h;
    h.signIn();
    std::string small(std::size_t{3} << 20, 's');
    small += "end";
    const std::string large(std::size_t{5} << 20, 'l'); // more than is read into memory
    const auto smallFile = h.write("Docs/small.txt", small);
    const auto largeFile = h.write("Docs/large.txt", large);
    const std::string docs = h.folder("Docs");
    h.make();

    const auto before = bytesReadByThisThread();
    h.syncOnce(docs);
    const auto after = bytesReadByThisThread();
    EXPECT_TRUE(h.hasLine("Summary: uploaded 2, skipped 0, deleted 0, failed 0."));
    if (before && after) {
        // The large file is read twice (hashed, then streamed), the small one once.
        EXPECT_LT(*after - *before, small.size() * 3 / 2 + 2 * large.size()) << "a file was read more often";
    }
    EXPECT_EQ(h.backend.object(h.key(docs, "small.txt"))->bytes, small);
    EXPECT_EQ(h.backend.object(h.key(docs, "large.txt"))->bytes, large);
    EXPECT_EQ(h.database->fileRecord(smallFile.string())->sha256, FileRules::sha256Hex(smallFile));
    EXPECT_EQ(h.database->fileRecord(largeFile.string())->sha256, FileRules::sha256Hex(largeFile));
}

TEST(SyncCoordinatorScan, goingAwayEndsTheDigestOfAHugeFileAtOnce) {
    SyncHarness h;
    h.signIn();
    h.config.maxUploadBytes = std::int64_t{64} << 30;
    // 16 GiB without a block on disk: hashed to the end it takes many seconds.
    const auto huge = h.write("Docs/huge.pdf", "");
    if (::truncate(huge.c_str(), off_t{16} << 30) != 0) GTEST_SKIP() << "no file this large here";
    const std::string docs = h.folder("Docs");
    SyncCoordinator* coordinator = &h.make();

    std::thread start([&] { coordinator->startSync({docs}, SyncMode::ultra); });
    ASSERT_TRUE(h.waitForLine("Found 1 files. Indexing..."));
    std::this_thread::sleep_for(200ms); // well into the file
    const auto asked = std::chrono::steady_clock::now();
    h.coordinator.reset();
    const auto took = std::chrono::steady_clock::now() - asked;
    start.join();
    EXPECT_LT(took, 2s);
    EXPECT_EQ(h.requests("POST", kUploadPath), 0u);
    EXPECT_FALSE(h.isRecordedAsSent(huge.string()));
    EXPECT_TRUE(h.retryQueue->read().empty());
}

} // namespace
} // namespace tarnwell::testing
