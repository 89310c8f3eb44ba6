// End to end over a real folder: watch, change, debounced rescans, stop,
// restart.
#include "sync/SyncCoordinatorHarness.hpp"

#include <cerrno>
#include <cstring>
#include <thread>

#include <sys/mount.h>

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

TEST(SyncCoordinatorWatch, aChangeRescansOnlyTheInnermostFolderThatHoldsIt) {
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
    EXPECT_TRUE(h.hasLine("Rescan: " + inner));
    EXPECT_FALSE(h.hasLine("Rescan: " + docs));
    EXPECT_FALSE(h.hasLine("Rescan: " + outer));
    EXPECT_TRUE(h.database->fileRecord(docs2 + "/x.txt"));
    EXPECT_TRUE(h.backend.object(h.key(inner, "y.txt")));
    coordinator.stopSync();
}

TEST(SyncCoordinatorWatch, editsMadeWhileTheInitialScanRunsAreSyncedOnceItEnds) {
    SyncHarness h;
    h.signIn();
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.write(std::string("Docs/") + name, name);
    const std::string docs = h.folder("Docs");
    auto& coordinator = h.make();
    h.syncOnce(docs);
    h.logs.clear();

    // Once the first file is done, edit it and the last one, whose turn is to come.
    h.logs.setHook([&](const std::string& line) {
        if (line != "Scanned: 1") return;
        h.write("Docs/a.txt", "a, edited after its turn");
        h.write("Docs/c.txt", "c, edited before its turn");
    });
    coordinator.startSync({docs}, SyncMode::regular);
    h.logs.setHook({});
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 2, skipped 1, deleted 0, failed 0."));
    const auto lines = h.logs.values();
    EXPECT_LT(std::find(lines.begin(), lines.end(), "Watching " + docs + " ..."),
              std::find(lines.begin(), lines.end(), "Rescan: " + docs));
    EXPECT_EQ(h.backend.object(h.key(docs, "a.txt"))->bytes, "a, edited after its turn");
    EXPECT_EQ(h.backend.object(h.key(docs, "c.txt"))->bytes, "c, edited before its turn");
    coordinator.stopSync();
}

TEST(SyncCoordinatorWatch, aFolderThatGoesAwayOrTurnsUnreadableIsWatchedAgainWhenBack) {
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    const std::string docs = h.folder("Docs");
    auto& coordinator = h.make();
    WithoutPermissionOverride asOwner; // inherited by every thread the run starts
    coordinator.startSync({docs}, SyncMode::ultra);

    namespace fs = std::filesystem;
    const std::string back = "Folder is back: " + docs + "; watching it again and rescanning it.";
    const auto goAwayAndReturn = [&](const std::string& reason, const std::function<void()>& away,
                                     const std::function<void()>& ret, const std::string& edit) {
        SCOPED_TRACE(reason);
        h.logs.clear();
        away();
        ASSERT_TRUE(h.waitForLine("Folder unavailable: " + docs + " (" + reason + "); watching for its return."));
        ASSERT_TRUE(h.waitForLine("Cannot open " + docs + " (" + reason + "); deletes skipped for this folder."));
        std::this_thread::sleep_for(1s);
        ret();
        ASSERT_TRUE(h.waitForLine(back));
        h.write("Docs/a.txt", edit);
        ASSERT_TRUE(h.logs.waitUntil([&](const auto&) { return h.backend.object(h.key(docs, "a.txt"))->bytes == edit; }));
        EXPECT_EQ(countStartingWith(h.logs.values(), "Folder unavailable: "), 1u);
        EXPECT_EQ(countOf(h.logs.values(), back), 1u);
        EXPECT_EQ(h.database->rows(docs).size(), 1u);
    };
    goAwayAndReturn("No such file or directory", [&] { fs::rename(docs, docs + ".away"); },
                    [&] { fs::rename(docs + ".away", docs); }, "moved back");
    goAwayAndReturn("Permission denied", [&] { fs::permissions(docs, fs::perms::none); },
                    [&] { fs::permissions(docs, fs::perms::owner_all); }, "readable again");
    coordinator.stopSync();
}

TEST(SyncCoordinatorWatch, aRescanCutShortByANewerOneLeavesItTheDeletesAndNothingIsSentTwice) {
    SyncHarness h;
    h.signIn();
    constexpr int kFiles = 30;
    const auto name = [](int i) { return "f" + std::to_string(100 + i) + ".txt"; };
    for (int i = 0; i < kFiles; ++i) h.write("Docs/" + name(i), "first " + std::to_string(i));
    const auto zzz = h.write("Docs/zzz.txt", "last");
    const std::string docs = h.folder("Docs");
    SyncCoordinatorTiming timing = fastTiming();
    timing.eventLatency = 300ms;
    auto& coordinator = h.make(timing);
    coordinator.startSync({docs}, SyncMode::ultra);
    h.logs.clear();
    h.backend.delay("POST", kUploadPath, 50ms); // the rescan takes a while

    for (int i = 0; i < kFiles; ++i) h.write("Docs/" + name(i), "second " + std::to_string(i));
    std::filesystem::remove(zzz);
    ASSERT_TRUE(h.waitForLine("Rescan: " + docs));
    const int uploadsBefore = h.backend.stats().uploads;
    while (h.backend.stats().uploads < uploadsBefore + 3) std::this_thread::sleep_for(5ms);
    // While it sends, zzz.txt comes back as it was and new files arrive.
    h.write("Docs/zzz.txt", "last");
    for (int i = 0; i < 5; ++i) h.write("Docs/new" + std::to_string(i) + ".md", "new");

    ASSERT_TRUE(h.logs.waitUntil([&](const auto& lines) {
        const auto rescans = countStartingWith(lines, "Rescan: ");
        return rescans >= 2 && countStartingWith(lines, "Summary: ") + countStartingWith(lines, "Rescan of ") == rescans;
    }));
    coordinator.stopSync();
    const auto remoteZZZ = h.backend.fileByKey(h.userID, h.key(docs, "zzz.txt"));
    ASSERT_TRUE(remoteZZZ);
    EXPECT_NE((*remoteZZZ)["is_deleted"], true);
    EXPECT_TRUE(h.database->fileRecord(zzz.string()));
    EXPECT_EQ(h.database->rows(docs).size(), kFiles + 6u);
    std::vector<std::string> sentTwice;
    for (int i = 0; i < kFiles; ++i) {
        if (h.backend.object(h.key(docs, name(i)))->writes != 2) sentTwice.push_back(name(i));
    }
    EXPECT_EQ(sentTwice, std::vector<std::string>{});
    EXPECT_EQ(h.backend.object(h.key(docs, "zzz.txt"))->writes, 1);
    EXPECT_EQ(h.backend.object(h.key(docs, "new0.md"))->writes, 1);
    EXPECT_EQ(h.backend.jobCount(), 2u * kFiles + 1 + 5);
}

TEST(SyncCoordinatorWatch, aFileSystemMountedOverAWatchedFolderDeletesNothingUntilItIsUnmounted) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    h.write("Docs/a.txt", "a");
    const auto b = h.write("Docs/b.txt", "b");
    const std::string docs = h.folder("Docs");
    auto& coordinator = h.make();
    coordinator.startSync({docs}, SyncMode::ultra);
    h.backend.clearRequests();

    ASSERT_EQ(::mount("tarnwell-test", docs.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{docs};
    ASSERT_TRUE(h.waitForLine("Cannot open " + docs +
                              " (another volume or folder is mounted over it); deletes skipped for this folder."));
    EXPECT_EQ(h.database->rows(docs).size(), 2u);
    EXPECT_EQ(h.requests("", kFilesPath), 0u);

    // Back on its own file system, a file really removed goes.
    ASSERT_EQ(unmountOnceFree(docs), 0) << std::strerror(errno);
    std::filesystem::remove(b);
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 1, deleted 1, failed 0."));
    EXPECT_EQ(h.database->rows(docs).size(), 1u);
    coordinator.stopSync();
}

} // namespace
} // namespace tarnwell::testing
