// Every hosted row the agent registers stays named on disk, by its file's
// row or by a queued item, until it is retired: a file sent under a new key
// retires every key it was known by before, wherever it was queued or
// recorded, so that it ends with one live hosted row, or none once removed.
#include "sync/SyncCoordinatorHarness.hpp"

namespace tarnwell::testing {
namespace {

namespace fs = std::filesystem;

// A new file of a watched folder inside another, registered with its job
// refused: it waits in the queue under the inner folder's key. With
// `itemOnly`, its row is gone as well, as an earlier version left such a
// file: only the item names that key.
struct Queued {
    std::string outer, inner;
    fs::path file;
    std::string innerKey, outerKey;
};

Queued queueInInnerFolder(SyncHarness& h, bool itemOnly) {
    Queued q;
    q.file = h.write("R/B/x.txt", "x");
    q.outer = h.folder("R");
    q.inner = h.folder("R/B");
    q.innerKey = h.key(q.inner, "x.txt");
    q.outerKey = h.key(q.outer, "B/x.txt");
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.make();
    h.syncOnce(std::vector<std::string>{q.outer, q.inner});
    EXPECT_EQ(h.retryQueue->read().size(), 1u);
    EXPECT_EQ(h.liveKeys(), std::vector<std::string>{q.innerKey});
    if (itemOnly) h.database->remove(q.file.string());
    return q;
}

// The inner folder taken off the list, the drain's upload fails once: the
// outer folder's pass sends the file under its own key, and the key it was
// queued under gives way, start after start; with the outer key's job
// refused too and the file then removed, both keys are withdrawn.
TEST(SyncCoordinatorKeys, aQueuedFileSentUnderAnotherFoldersKeyRetiresTheKeyItWasQueuedUnder) {
    for (const bool itemOnly : {false, true}) {
        for (const bool refusedAgain : {false, true}) {
            SCOPED_TRACE(std::string(itemOnly ? "only the item names the key" : "its row names the key") +
                         (refusedAgain ? ", the outer key's job refused, the file removed" : ""));
            SyncHarness h;
            h.signIn();
            const Queued q = queueInInnerFolder(h, itemOnly);
            h.backend.failNext("POST", kUploadPath, 1, 500);
            if (refusedAgain) h.backend.failNext("POST", kJobsPath, 1, 503);
            h.syncOnce(q.outer);
            if (refusedAgain) fs::remove(q.file);
            for (int start = 0; start < 2; ++start) h.syncOnce(q.outer);

            EXPECT_EQ(h.liveKeys(), refusedAgain ? std::vector<std::string>{} : std::vector<std::string>{q.outerKey});
            EXPECT_TRUE(h.retryQueue->read().empty());
            EXPECT_EQ(h.isRecordedAsSent(q.file.string()), !refusedAgain);
        }
    }
}

// The list changed to a folder that holds nothing of the queued file's: the
// drain sends it and records it under the folder whose key it carries, so
// that a later pass of a folder holding it takes it over, or, should it be
// gone by then, withdraws its hosted row.
TEST(SyncCoordinatorKeys, aQueuedFileTheDrainSendsOutsideTheRunIsRecordedAndLaterTakenOver) {
    for (const bool itemOnly : {false, true}) {
        for (const bool removed : {false, true}) {
            SCOPED_TRACE(std::string(itemOnly ? "only the item names the key" : "its row names the key") +
                         (removed ? ", the file removed after the drain" : ""));
            SyncHarness h;
            h.signIn();
            const Queued q = queueInInnerFolder(h, itemOnly);
            const std::string elsewhere = h.folder("S");
            h.syncOnce(elsewhere);
            EXPECT_TRUE(h.retryQueue->read().empty());
            const auto row = h.database->fileRecord(q.file.string());
            ASSERT_TRUE(row);
            EXPECT_EQ(row->rootPath, q.inner);
            EXPECT_EQ(row->storageKey, q.innerKey);

            if (removed) fs::remove(q.file);
            for (int start = 0; start < 2; ++start) h.syncOnce(q.outer);
            EXPECT_EQ(h.liveKeys(), removed ? std::vector<std::string>{} : std::vector<std::string>{q.outerKey});
            EXPECT_EQ(h.database->fileRecord(q.file.string()).has_value(), !removed);
            EXPECT_EQ(h.backend.object(q.outerKey).has_value(), !removed);
        }
    }
}

// Three keys: a file synced under the outer folder, then queued under an
// inner one's key that was registered before its job was refused, and then
// sent under a third folder's: the queued key gives way first, the row's
// once the file is sent, and the file keeps one live row.
TEST(SyncCoordinatorKeys, aFileKnownByTwoOtherKeysEndsWithOneLiveRow) {
    SyncHarness h;
    h.signIn();
    const auto file = h.write("R/B/C/x.txt", "x");
    const std::string r = h.folder("R"), b = h.folder("R/B"), c = h.folder("R/B/C");
    h.make();
    h.syncOnce(r);
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.syncOnce(std::vector<std::string>{r, b});
    ASSERT_EQ(h.retryQueue->read().size(), 1u);
    ASSERT_EQ(h.database->fileRecord(file.string())->storageKey, h.key(r, "B/C/x.txt"));
    // The drain of the next start fails to send it, so that the pass of the
    // innermost folder finds all three keys.
    h.backend.failNext("POST", kUploadPath, 1, 500);
    h.syncOnce(std::vector<std::string>{r, b, c});
    EXPECT_EQ(h.liveKeys(), std::vector<std::string>{h.key(c, "x.txt")});
    EXPECT_TRUE(h.retryQueue->read().empty());
    h.syncOnce(std::vector<std::string>{r, b, c});
    EXPECT_EQ(h.liveKeys(), std::vector<std::string>{h.key(c, "x.txt")});
}

} // namespace
} // namespace tarnwell::testing
