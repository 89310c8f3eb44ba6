// End to end over a real folder: watch, change, debounced rescans, stop,
// restart.
#include "sync/SyncCoordinatorHarness.hpp"

#include <thread>

namespace tarnwell::testing {
namespace {

TEST(SyncCoordinatorWatch, editsDeletesAndNewFilesAreSyncedWhileWatchedAndAfterARestart) {
    SyncHarness h;
    h.signIn();
    const auto a = h.write("Docs/a.txt", "first");
    const auto b = h.write("Docs/b.txt", "second");
    const std::string docs = h.folder("Docs");
    auto& coordinator = h.make();
    coordinator.startSync({docs}, SyncMode::ultra);
    const auto progressBefore = h.progress.values();
    h.logs.clear();

    h.write("Docs/a.txt", "first, edited");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 1, deleted 0, failed 0."));
    EXPECT_EQ(h.logs.values().front(), "Rescan: " + docs);
    EXPECT_EQ(h.backend.object(h.key(docs, "a.txt"))->bytes, "first, edited");

    std::filesystem::remove(b);
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 1, deleted 1, failed 0."));
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, "b.txt")))["is_deleted"], true);

    h.write("Docs/new/c.md", "third"); // a new folder is watched as it appears
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 1, deleted 0, failed 0.", 2));
    EXPECT_EQ(countStartingWith(h.logs.values(), "Found "), 0u);
    EXPECT_EQ(h.progress.values(), progressBefore);

    coordinator.stopSync();
    h.write("Docs/new/c.md", "edited while stopped");
    h.write("Docs/d.txt", "fourth");
    h.logs.clear();
    coordinator.startSync({docs}, SyncMode::ultra);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 2, skipped 1, deleted 0, failed 0."));
    EXPECT_EQ(countStartingWith(h.logs.values(), "Rescan: "), 0u);
    coordinator.stopSync();
}

TEST(SyncCoordinatorWatch, aBurstOfChangesGivesOneRescanAndStoppingCancelsAPendingOne) {
    SyncHarness h;
    h.signIn();
    const std::string docs = h.folder("Docs");
    SyncCoordinatorTiming timing = fastTiming();
    timing.rescanDelay = 1500ms;
    timing.eventLatency = 100ms;
    auto& coordinator = h.make(timing);
    coordinator.startSync({docs}, SyncMode::ultra);

    for (int i = 0; i < 10; ++i) h.write("Docs/f" + std::to_string(i) + ".txt", std::to_string(i));
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 10, skipped 0, deleted 0, failed 0."));
    EXPECT_EQ(countStartingWith(h.logs.values(), "Rescan: "), 1u);

    h.write("Docs/late.txt", "late");
    std::this_thread::sleep_for(500ms); // seen by the watch, rescan pending
    coordinator.stopSync();
    EXPECT_EQ(h.logs.values().back(), "Sync stopped.");
    EXPECT_EQ(countStartingWith(h.logs.values(), "Rescan: "), 1u);
}

TEST(SyncCoordinatorWatch, aChangeRescansOnlyTheFirstListedFolderThatHoldsIt) {
    SyncHarness h;
    h.signIn();
    const std::string docs = h.folder("Docs");
    const std::string docs2 = h.folder("Docs2");
    const std::string outer = h.folder("Outer");
    const std::string inner = h.folder("Outer/Inner");
    SyncCoordinatorTiming timing = fastTiming();
    timing.eventLatency = 300ms;
    auto& coordinator = h.make(timing);
    coordinator.startSync({docs, docs2, outer, inner}, SyncMode::ultra);
    h.logs.clear();

    h.write("Docs2/x.txt", "x");
    h.write("Outer/Inner/y.txt", "y");
    ASSERT_TRUE(h.logs.waitUntil([](const auto& lines) { return countStartingWith(lines, "Summary: ") >= 2; }));
    EXPECT_TRUE(h.hasLine("Rescan: " + docs2));
    EXPECT_TRUE(h.hasLine("Rescan: " + outer));
    EXPECT_FALSE(h.hasLine("Rescan: " + docs));
    EXPECT_FALSE(h.hasLine("Rescan: " + inner));
    EXPECT_TRUE(h.database->fileRecord(docs2 + "/x.txt"));
    coordinator.stopSync();
}

} // namespace
} // namespace tarnwell::testing
