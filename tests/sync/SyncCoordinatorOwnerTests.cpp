// Which watched folder and which account own a file: a file below two
// watched folders belongs to the inner one alone, and rows that another
// folder or another account left for it stand for nothing of the signed-in
// account's own.
#include "sync/SyncCoordinatorHarness.hpp"

namespace tarnwell::testing {
namespace {

namespace fs = std::filesystem;

// The hosted rows of one account that are not marked deleted.
std::size_t liveRows(const SyncHarness& h, const std::string& userID) {
    const auto rows = h.backend.files();
    return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), [&](const nlohmann::json& row) {
        return row["user_id"] == userID && row["is_deleted"] != true;
    }));
}

void syncOnce(SyncHarness& h, const std::vector<std::string>& roots) {
    h.coordinator->startSync(roots, SyncMode::ultra);
    h.coordinator->stopSync();
}

TEST(SyncCoordinatorOwner, aFileBelowTwoWatchedFoldersIsTheInnerOnesAloneWhateverTheirOrder) {
    SyncHarness h;
    h.signIn();
    h.write("A/a.txt", "a");
    const auto inner = h.write("A/B/b.txt", "b");
    h.write("A/B2/c.txt", "c"); // beside B, not in it
    const std::string a = h.folder("A");
    const std::string b = h.folder("A/B");
    h.make();
    for (const auto& roots : {std::vector{a, b}, std::vector{a, b}, std::vector{b, a}}) syncOnce(h, roots);
    EXPECT_EQ(h.requests("POST", kUploadPath), 3u);
    for (const auto& key : {h.key(a, "a.txt"), h.key(b, "b.txt"), h.key(a, "B2/c.txt")}) {
        EXPECT_TRUE(h.backend.object(key)) << key;
    }
    EXPECT_EQ(liveRows(h, h.userID), 3u);
    EXPECT_EQ(h.database->fileRecord(inner.string())->rootPath, b);

    fs::remove(inner);
    syncOnce(h, {a, b});
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 1u);
    EXPECT_EQ(liveRows(h, h.userID), 2u);

    // The inner folder gone: the outer one's pass leaves its rows alone.
    h.write("A/B/d.txt", "d");
    syncOnce(h, {a, b});
    fs::rename(b, a + ".away");
    h.logs.clear();
    syncOnce(h, {a, b});
    EXPECT_TRUE(h.hasLine("Cannot open " + b + " (No such file or directory); deletes skipped for this folder."));
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 2, deleted 0, failed 0."));
    EXPECT_TRUE(h.database->fileRecord(b + "/d.txt"));
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 1u);
}

// What the outer folder alone recorded before the inner one was watched:
// the found file moves to the inner folder's key and the outer key's row is
// retired (by the retry at the next start when the retire fails first); the
// vanished one is deleted through the key it was sent under.
TEST(SyncCoordinatorOwner, rowsLeftBelowTheInnerFolderMoveToItAndRetireTheKeysTheyNamed) {
    SyncHarness h;
    h.signIn();
    const auto kept = h.write("A/B/kept.txt", "kept");
    const auto gone = h.write("A/B/gone.txt", "gone");
    const std::string a = h.folder("A");
    const std::string b = h.folder("A/B");
    h.make();
    h.syncOnce(a);
    fs::remove(gone);

    h.backend.failNext("PATCH", kFilesPath, 1, 503);
    syncOnce(h, {a, b});
    EXPECT_TRUE(h.hasLine("Upload failed, queued for retry: " + kept.string() +
                          " (Supabase request failed with status 503)"));
    EXPECT_EQ(h.database->fileRecord(kept.string())->storageKey, h.key(a, "B/kept.txt"));
    syncOnce(h, {a, b});

    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(a, "B/kept.txt")))["is_deleted"], true);
    EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(a, "B/gone.txt")))["is_deleted"], true);
    EXPECT_EQ(liveRows(h, h.userID), 1u);
    EXPECT_EQ(h.database->fileRecord(kept.string()),
              (FileStateRow{kept.string(), b, "kept.txt", h.key(b, "kept.txt"), FileRules::sha256Hex(kept), 4,
                            h.database->fileRecord(kept.string())->mtimeMilliseconds}));
    EXPECT_FALSE(h.database->fileRecord(gone.string()));
    h.backend.clearRequests();
    syncOnce(h, {a, b});
    EXPECT_EQ(h.requests("", kUploadPath) + h.requests("", kFilesPath) + h.requests("", kJobsPath), 0u);
}

// Rows are kept by path: after a change of account each file is sent once
// for the account signed in, also one whose time alone changed, and the
// other account's hosted rows stay as they were.
TEST(SyncCoordinatorOwner, anotherAccountOnTheSameFolderGetsItsOwnRowsOnce) {
    SyncHarness h;
    h.signIn();
    const auto touched = h.write("Docs/touched.txt", "t");
    h.write("Docs/kept.txt", "k");
    const std::string docs = h.folder("Docs");
    h.make();
    h.syncOnce(docs);
    const std::string bob = h.backend.addUser("bob@example.com", "secret");
    const SessionTokens tokens = h.backend.issueSession("bob@example.com");
    h.sessions->save(StoredSession{tokens.accessToken, tokens.refreshToken, StoredUser{bob, std::nullopt}});
    SyncHarness::setModificationTime(touched, 1'700'000'000);

    for (int pass = 0; pass < 2; ++pass) h.syncOnce(docs);
    EXPECT_EQ(liveRows(h, bob), 2u);
    EXPECT_EQ(h.database->fileRecord(touched.string())->storageKey,
              FileRules::buildStorageKey(bob, docs, "touched.txt"));
    h.signIn();
    for (int pass = 0; pass < 2; ++pass) h.syncOnce(docs);
    EXPECT_EQ(h.requests("POST", kUploadPath), 6u);
    EXPECT_EQ(liveRows(h, h.userID), 2u);
    EXPECT_EQ(liveRows(h, bob), 2u);
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);
}

} // namespace
} // namespace tarnwell::testing
