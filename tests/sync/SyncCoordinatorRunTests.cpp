// Saved choices, progress snapshots, and starting and stopping a run, also
// while it is busy.
#include "sync/SyncCoordinatorHarness.hpp"

#include <atomic>
#include <thread>

#include "State/JSONWriter.hpp"
#include "support/QuitBound.hpp"

namespace tarnwell::testing {
namespace {

TEST(SyncCoordinatorRun, savedChoicesAreReadBackWithFallbacksForBadValues) {
    SyncHarness h;
    h.signIn();
    auto& coordinator = h.make();
    const std::string docs = h.folder("Docs");
    const std::string passed = h.folder("Other") + "/../Docs/";

    coordinator.startSync({passed}, SyncMode::ultra);
    std::string escaped;
    for (char c : passed) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    EXPECT_EQ(h.database->preference("watched_folders"), "[\"" + escaped + "\"]");
    EXPECT_EQ(h.logs.values()[1], "Folders: " + passed);
    EXPECT_EQ(h.logs.values()[3], "Initial scan: " + docs);
    EXPECT_EQ(coordinator.restoreSnapshot(),
              (SyncStateSnapshot{StoredUser{h.userID, "ada@example.com"}, true, {passed}, SyncMode::ultra, true}));
    coordinator.stopSync();

    h.database->setPreference(R"(["/a", 3])", "watched_folders");
    h.database->setPreference("Ultra", "pref_mode");
    h.database->setPreference("TRUE", "auto_index");
    h.backend.stop();
    EXPECT_EQ(coordinator.restoreSnapshot(), (SyncStateSnapshot{StoredUser{h.userID, std::nullopt}, false, {}, SyncMode::regular, false}));
}

// Only the backend's verdict signs the launch out: a lookup or a refresh that
// got no usable answer keeps the user the stored session names.
TEST(SyncCoordinatorRun, restoreKeepsTheStoredUserUnlessTheBackendRefusesTheSession) {
    SyncHarness h;
    h.signIn();
    auto& coordinator = h.make();
    const std::optional<StoredUser> stored = StoredUser{h.userID, std::nullopt};
    h.backend.failNext("GET", kUserPath, 1, 503);
    EXPECT_EQ(coordinator.restoreSnapshot().user, stored);
    h.backend.failNext("GET", kUserPath, 1, 403);
    EXPECT_EQ(coordinator.restoreSnapshot().user, std::nullopt);

    h.backend.expireAllAccessTokens();
    h.backend.failNext("POST", "/auth/v1/token", 1, 502);
    EXPECT_EQ(coordinator.restoreSnapshot().user, stored);
    h.backend.revokeRefreshToken(h.sessions->load()->refreshToken);
    EXPECT_EQ(coordinator.restoreSnapshot().user, std::nullopt);
}

TEST(SyncCoordinatorRun, startIsIgnoredWithoutFoldersOrWhileRunningAndStopWhileIdleDoesNothing) {
    SyncHarness h;
    h.signIn();
    auto& coordinator = h.make();
    coordinator.stopSync();
    coordinator.startSync({}, SyncMode::ultra);
    // A folder whose path is not UTF-8 can't be saved: the start fails
    // naming it, and saves nothing.
    const std::string latin1 = h.folder("A") + "/caf\xe9";
    try {
        coordinator.startSync({h.folder("A"), latin1}, SyncMode::ultra);
        ADD_FAILURE() << "a start with a folder that can't be saved went ahead";
    } catch (const JSONEncodingError& error) {
        EXPECT_NE(std::string(error.what()).find("\"" + h.folder("A") + "/caf\\xE9\""), std::string::npos)
            << error.what();
    }
    EXPECT_TRUE(h.logs.values().empty());
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_FALSE(h.database->preference("auto_index"));
    EXPECT_FALSE(h.database->preference("pref_mode"));
    EXPECT_EQ(h.progress.values().size(), 1u);

    const std::string a = h.folder("A");
    coordinator.startSync({a}, SyncMode::regular);
    const auto lines = h.logs.values();
    coordinator.startSync({h.folder("B")}, SyncMode::ultra);
    EXPECT_EQ(h.logs.values(), lines);
    EXPECT_EQ(h.database->preference("pref_mode"), "regular");

    coordinator.signOut();
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_FALSE(h.sessions->load());
    EXPECT_EQ(h.logs.values().back(), "Sync stopped.");
    EXPECT_EQ(h.database->preference("auto_index"), "true");
}

TEST(SyncCoordinatorRun, progressAccumulatesOverTheFoldersOfAStartAndEndsInactive) {
    SyncHarness h;
    h.signIn();
    h.write("One/a.txt", "a");
    h.write("One/README", "unsupported");
    h.write("Two/b.txt", "b");
    h.write("Two/c.md", "c");
    h.write("Two/photo.jpeg", "unsupported");
    auto& coordinator = h.make();
    EXPECT_EQ(h.progress.values(), std::vector<IndexingProgressSnapshot>{IndexingProgressSnapshot::idle()});
    EXPECT_EQ(h.unsupported.values(), std::vector<std::int64_t>{0});
    h.progress.clear();

    coordinator.startSync({h.folder("One"), h.folder("Two")}, SyncMode::ultra);
    coordinator.stopSync();

    const auto s = h.progress.values();
    ASSERT_EQ(s.size(), 8u);
    const auto t = s[0].startedAt;
    ASSERT_TRUE(t);
    EXPECT_EQ(s, (std::vector<IndexingProgressSnapshot>{
                     {0, 0, true, t}, {1, 0, true, t}, {1, 1, true, t}, {3, 1, true, t},
                     {3, 2, true, t}, {3, 3, true, t}, {3, 3, false, t}, {3, 3, false, t}}));
    EXPECT_EQ(h.unsupported.values(), (std::vector<std::int64_t>{0, 0, 1, 2}));
}

TEST(SyncCoordinatorRun, aFailedStartLeavesTheCoordinatorIdleAndTheNextStartIsComplete) {
    SyncHarness h;
    h.signIn();
    const std::string root = h.folder("Docs");
    auto& coordinator = h.make();
    h.backend.failNext("GET", kUserPath, 1, 500);

    EXPECT_THROW(coordinator.startSync({root}, SyncMode::regular), SupabaseHTTPError);
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_EQ(h.logs.values(), (std::vector<std::string>{"Starting sync (regular)...", "Folders: " + root,
                                                         "Performing initial scan..."}));
    // Nothing runs, and the progress says so; a stop has nothing to add.
    EXPECT_EQ(h.progress.values().back(), IndexingProgressSnapshot::idle());
    coordinator.stopSync();
    EXPECT_EQ(h.progress.values().back(), IndexingProgressSnapshot::idle());
    coordinator.startSync({root}, SyncMode::regular);
    EXPECT_TRUE(coordinator.isRunning());
    EXPECT_TRUE(h.hasLine("Watching " + root + " ..."));
}

TEST(SyncCoordinatorRun, aStopEndsThePassBeforeItsNextFileButStillDeletesAndSummarizes) {
    SyncHarness h;
    h.signIn();
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Docs/") + name, name);
    const std::string docs = h.folder("Docs");
    const FileStateRow notReached{docs + "/c.txt", docs, "c.txt", "user-x/c", std::string(64, 'f'), 1, 1.0};
    h.database->upsert(notReached);
    h.database->upsert(FileStateRow{docs + "/gone.txt", docs, "gone.txt", "", "skipped-too-large", 1, 1.0});
    auto& coordinator = h.make();
    h.logs.setHook([&](const std::string& line) {
        if (line == "Scanned: 1") coordinator.stopSync();
    });

    coordinator.startSync({docs}, SyncMode::ultra);

    const auto lines = h.logs.values();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Scanned: 1", "Sync stopped.",
                                        "Summary: uploaded 1, skipped 0, deleted 1, failed 0."}));
    EXPECT_FALSE(coordinator.isRunning());
    EXPECT_EQ(h.database->fileRecord(docs + "/c.txt"), notReached);
    EXPECT_FALSE(h.isRecordedAsSent(docs + "/b.txt"));
    EXPECT_FALSE(h.progress.values().back().isActive);
}

TEST(SyncCoordinatorRun, aStartOverrunByAStopAndANewStartEndsQuietly) {
    SyncHarness h;
    h.signIn();
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Old/") + name, name);
    h.write("New/x.txt", "x");
    const std::string oldRoot = h.folder("Old");
    const std::string newRoot = h.folder("New");
    auto& coordinator = h.make();

    std::thread restart;
    std::atomic<bool> restarted{false};
    h.logs.setHook([&](const std::string& line) {
        if (line == "Scanned: 1" && !restarted.exchange(true)) {
            coordinator.stopSync();
            restart = std::thread([&] { coordinator.startSync({newRoot}, SyncMode::ultra); });
            // The new run is under way before the old one looks again.
            while (!coordinator.isRunning()) std::this_thread::yield();
        }
    });
    EXPECT_NO_THROW(coordinator.startSync({oldRoot}, SyncMode::ultra));
    restart.join();
    h.logs.setHook({});

    EXPECT_TRUE(coordinator.isRunning());
    EXPECT_EQ(countOf(h.logs.values(), "Initial scan complete"), 1u);
    EXPECT_FALSE(h.hasLine("Watching " + oldRoot + " ..."));
    EXPECT_EQ(h.rowsRecordedAsSent(oldRoot), 1u);
    EXPECT_EQ(h.progress.values().back(), (IndexingProgressSnapshot{1, 1, false, h.progress.values().back().startedAt}));
    coordinator.stopSync();
}

TEST(SyncCoordinatorRun, goingAwayCutsTheUploadPauseShortAndWaitsForTheStart) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    h.write("Docs/b.txt", "b");
    const std::string docs = h.folder("Docs");
    SyncCoordinatorTiming timing = fastTiming();
    timing.uploadPause = std::chrono::hours(1);
    SyncCoordinator* coordinator = &h.make(timing);

    std::thread start([&] { coordinator->startSync({docs}, SyncMode::regular); });
    ASSERT_TRUE(h.waitForLine("Found 2 files. Indexing..."));
    h.coordinator.reset();
    start.join();
    EXPECT_EQ(h.backend.objectCount(), 0u);
}

// Going away ends a delete phase whose request is held back at once and
// quietly: no warning for each delete left, and nothing counted as failed.
// A walk under way ends before its next folder and nothing of it is sent.
TEST(SyncCoordinatorRun, goingAwayEndsTheDeletesAndTheWalkAtOnceAndQuietly) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/kept.txt", "kept");
    const std::string docs = h.folder("Docs");
    // Synced before, as the five that are gone: the folder still shows one.
    h.database->upsert({docs + "/kept.txt", docs, "kept.txt", "k-kept", "x", 1, 1.0});
    for (int i = 0; i < 5; ++i) {
        const std::string key = "k-gone-" + std::to_string(i);
        h.backend.insertFile(h.userID, {{"path", key}, {"storage_bucket", "files"}, {"storage_key", key}});
        h.database->upsert({docs + "/" + key + ".txt", docs, key + ".txt", key, "x", 1, 1.0});
    }
    h.backend.delay("PATCH", kFilesPath, 20s, 1);
    SyncCoordinator* coordinator = &h.make();
    std::thread start([&] { coordinator->startSync({docs}, SyncMode::ultra); });
    while (h.backend.pendingFaults() != 0) std::this_thread::sleep_for(5ms); // the first delete is out
    const auto quit = std::chrono::steady_clock::now();
    coordinator->shutdown();
    start.join();
    EXPECT_LT(std::chrono::steady_clock::now() - quit, kQuitBound);
    EXPECT_EQ(countStartingWith(h.logs.values(), "Delete sync warning"), 0u);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 1, skipped 0, deleted 0, failed 0."));
    EXPECT_EQ(h.database->rows(docs).size(), 6u); // the next pass deletes them

    // The walk: going away as it begins.
    h.write("Walk/top.txt", "top");
    h.write("Walk/sub/below.txt", "below");
    const std::string walk = h.folder("Walk");
    coordinator = &h.make();
    h.logs.clear();
    h.logs.setHook([&](const std::string& line) {
        if (line == "Initial scan: " + walk) coordinator->shutdown();
    });
    coordinator->startSync({walk}, SyncMode::ultra);
    h.logs.setHook({});
    EXPECT_EQ(countStartingWith(h.logs.values(), "Found "), 0u);
    EXPECT_EQ(countStartingWith(h.logs.values(), "Summary: "), 0u);
    EXPECT_TRUE(h.database->rows(walk).empty());
    EXPECT_EQ(h.backend.objectCount(), 1u);
}

} // namespace
} // namespace tarnwell::testing
