#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "State/AppPaths.hpp"
#include "State/RetryQueueStore.hpp"
#include "State/SessionStore.hpp"
#include "support/TempDir.hpp"

using namespace tarnwell;
using tarnwell::testing::ScopedEnv;
using tarnwell::testing::TempDir;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

RetryQueueItem item(const std::string& path, const std::string& key, std::optional<std::string> user = std::nullopt) {
    return RetryQueueItem{path, key, std::nullopt, 10, std::nullopt, std::nullopt, std::nullopt, user, 1, std::nullopt};
}

} // namespace

TEST(AppPathsLocations, StateDirectoryOverrideAndApplicationData) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", dir.path().c_str());
    {
        ScopedEnv state("QV_STATE_DIR", "");
        EXPECT_EQ(AppPaths::stateDirectory(), dir.path() / "TarnwellNative");
        EXPECT_EQ(modeOf(dir.path() / "TarnwellNative"), 0700u);
    }
    {
        auto deep = dir.path() / "a" / "b" / "c";
        ScopedEnv state("QV_STATE_DIR", deep.c_str());
        EXPECT_EQ(AppPaths::sessionFile(), deep / "session.json");
        EXPECT_EQ(AppPaths::retryQueueFile(), deep / "retry-queue.json");
        EXPECT_EQ(AppPaths::databaseFile(), deep / "state.sqlite3");
        EXPECT_TRUE(fs::is_directory(deep));
        EXPECT_FALSE(fs::exists(deep / "session.json"));
    }
    {
        auto plain = dir.write("plain-file", "x");
        ScopedEnv state("QV_STATE_DIR", plain.c_str());
        EXPECT_THROW(AppPaths::sessionFile(), std::exception);
        EXPECT_THROW(AppPaths::databaseFile(), std::exception);
    }
    // The legacy folder is only ever looked for, never made.
    EXPECT_FALSE(AppPaths::legacyStateDirectory());
    EXPECT_FALSE(AppPaths::legacyDatabaseFile());
    EXPECT_FALSE(fs::exists(dir.path() / "qv-desktop"));
    fs::create_directories(dir.path() / "qv-desktop" / "state");
    ScopedEnv state("QV_STATE_DIR", (dir.path() / "elsewhere").c_str());
    EXPECT_EQ(AppPaths::legacyDatabaseFile(), dir.path() / "qv-desktop" / "state" / "state.db");
    EXPECT_EQ(AppPaths::legacySessionFile(), dir.path() / "qv-desktop" / "state" / "session.json");
}

TEST(SessionStoreFile, GoldenBytesAndOwnerOnlyPermissions) {
    TempDir dir;
    SessionStore store(dir / "session.json", std::nullopt);
    store.save(StoredSession{"acc/ess", "ref", StoredUser{"u-1", "me@example.com"}});
    EXPECT_EQ(TempDir::read(dir / "session.json"),
              "{\n"
              "  \"access_token\" : \"acc\\/ess\",\n"
              "  \"refresh_token\" : \"ref\",\n"
              "  \"user\" : {\n"
              "    \"email\" : \"me@example.com\",\n"
              "    \"id\" : \"u-1\"\n"
              "  }\n"
              "}");
    EXPECT_EQ(modeOf(dir / "session.json"), 0600u);
    EXPECT_EQ(store.load()->accessToken, "acc/ess");

    store.save(StoredSession{"a", "r", std::nullopt});
    EXPECT_EQ(TempDir::read(dir / "session.json"), "{\n  \"access_token\" : \"a\",\n  \"refresh_token\" : \"r\"\n}");
    EXPECT_EQ(store.load(), (StoredSession{"a", "r", std::nullopt}));
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(SessionStoreFile, LegacyFallbackCopyAndClearForGood) {
    TempDir dir;
    auto legacy = dir.write("legacy/session.json", R"({"access_token":"old","refresh_token":"r","user":{"id":"u"}})");
    {
        SessionStore store(dir / "session.json", legacy);
        auto first = store.load();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->accessToken, "old");
        EXPECT_TRUE(fs::exists(dir / "session.json"));
        EXPECT_EQ(store.load(), first);
        store.clear();
        EXPECT_FALSE(store.load());
    }
    // After a restart the earlier installation's session stays forgotten,
    // and the legacy file itself is untouched.
    SessionStore restarted(dir / "session.json", legacy);
    EXPECT_FALSE(restarted.load());
    EXPECT_TRUE(fs::exists(legacy));
    restarted.save(StoredSession{"new", "r2", std::nullopt});
    EXPECT_EQ(restarted.load()->accessToken, "new");
}

TEST(SessionStoreFile, UndecodableFileHidesLegacyAndIsNotChanged) {
    TempDir dir;
    auto legacy = dir.write("legacy/session.json", R"({"access_token":"old","refresh_token":"r"})");
    for (const char* content : {"{}", "not json", R"({"access_token":"a"})"}) {
        dir.write("session.json", content);
        SessionStore store(dir / "session.json", legacy);
        EXPECT_FALSE(store.load()) << content;
        EXPECT_EQ(TempDir::read(dir / "session.json"), content);
    }
    SessionStore missingFolder(dir / "no" / "such" / "session.json", std::nullopt);
    EXPECT_THROW(missingFolder.save(StoredSession{"a", "r", std::nullopt}), std::system_error);
    EXPECT_FALSE(missingFolder.load());
    EXPECT_NO_THROW(missingFolder.clear());
}

TEST(SessionStoreFile, RefusesLinkedSessionFile) {
    TempDir dir;
    auto target = dir.write("elsewhere.json", R"({"access_token":"planted","refresh_token":"r"})");
    fs::create_symlink(target, dir / "session.json");
    SessionStore store(dir / "session.json", std::nullopt);
    EXPECT_FALSE(store.load());
}

TEST(RetryQueueStoreFile, GoldenBytesAppendAndEmptyQueue) {
    TempDir dir;
    RetryQueueStore store(dir / "retry-queue.json", std::nullopt);
    EXPECT_TRUE(store.read().empty());
    EXPECT_FALSE(fs::exists(dir / "retry-queue.json"));

    RetryQueueItem full{"/Users/me/a.pdf", "user-u/root-1/a.pdf", "legacy/key", 42, "application/pdf", "ab", "a.pdf",
                        "u", 2, "timed out"};
    store.append(full);
    store.flush();
    EXPECT_EQ(TempDir::read(dir / "retry-queue.json"),
              "[\n"
              "  {\n"
              "    \"attempts\" : 2,\n"
              "    \"bytes\" : 42,\n"
              "    \"lastError\" : \"timed out\",\n"
              "    \"legacyStorageKey\" : \"legacy\\/key\",\n"
              "    \"localPath\" : \"\\/Users\\/me\\/a.pdf\",\n"
              "    \"logicalPath\" : \"a.pdf\",\n"
              "    \"mimeType\" : \"application\\/pdf\",\n"
              "    \"sha256\" : \"ab\",\n"
              "    \"storageKey\" : \"user-u\\/root-1\\/a.pdf\",\n"
              "    \"userID\" : \"u\"\n"
              "  }\n"
              "]");
    EXPECT_EQ(modeOf(dir / "retry-queue.json"), 0600u);
    // One item per file and owner: a later one takes the earlier one's place.
    RetryQueueItem again = item("/b", "k");
    again.attempts = 7;
    store.append(item("/b", "k"));
    store.append(item("/b", "k", "other"));
    store.append(again);
    auto items = store.read();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], full);
    EXPECT_EQ(items[1], again);
    EXPECT_EQ(items[2].userID, "other");
    // The count of attempts only grows: a newer item with fewer keeps the
    // queued count, whether that one is written already or still pending.
    RetryQueueItem fresh = item("/b", "k");
    fresh.attempts = 0;
    fresh.lastError = "newer failure";
    store.append(fresh);
    EXPECT_EQ(store.read()[1].attempts, 7);
    store.flush();
    store.append(fresh);
    items = store.read();
    EXPECT_EQ(items[1].attempts, 7);
    EXPECT_EQ(items[1].lastError, "newer failure");
    // Taking out a file's item for one owner (an ownerless one included)
    // leaves another owner's, and is written at once.
    EXPECT_TRUE(store.remove("/b", "someone"));
    EXPECT_FALSE(store.remove("/b", "someone"));
    EXPECT_EQ(RetryQueueStore(dir / "retry-queue.json", std::nullopt).read(),
              (std::vector<RetryQueueItem>{full, items[2]}));

    store.write({});
    EXPECT_EQ(TempDir::read(dir / "retry-queue.json"), "[\n\n]");
}

TEST(RetryQueueStoreFile, PartitionByOwner) {
    TempDir dir;
    RetryQueueStore store(dir / "q.json", std::nullopt);
    store.write({item("/1", "user-me/root-1/a"), item("/2", "user-other/root-1/a"), item("/3", "other/x"),
                 item("/4", "user-other/x", "me"), item("/5", "user-me/x", "other")});
    auto mine = store.partition("me");
    ASSERT_EQ(mine.active.size(), 3u);
    EXPECT_EQ(mine.active[0].localPath, "/1");
    EXPECT_EQ(mine.active[1].localPath, "/3");
    EXPECT_EQ(mine.active[2].localPath, "/4");
    ASSERT_EQ(mine.deferred.size(), 2u);
    EXPECT_EQ(mine.deferred[1].localPath, "/5");

    EXPECT_EQ(RetryQueueStore::inferredUserID("user-abc/def"), "abc");
    EXPECT_EQ(RetryQueueStore::inferredUserID("user-abc"), "abc");
    EXPECT_EQ(RetryQueueStore::inferredUserID("user-//abc/x"), "abc");
    EXPECT_EQ(RetryQueueStore::inferredUserID("user-"), std::nullopt);
    EXPECT_EQ(RetryQueueStore::inferredUserID("user-///"), std::nullopt);
    EXPECT_EQ(RetryQueueStore::inferredUserID("User-abc/x"), std::nullopt);
}

TEST(RetryQueueStoreFile, LegacyCopyAndUndecodableFileIsSetAsideNotLost) {
    TempDir dir;
    auto legacy = dir.write("legacy/retry-queue.json", R"([{"localPath":"/l","storageKey":"k","bytes":1,"attempts":0}])");
    RetryQueueStore store(dir / "retry-queue.json", legacy);
    ASSERT_EQ(store.read().size(), 1u);
    EXPECT_TRUE(fs::exists(dir / "retry-queue.json"));

    const std::string broken = R"([{"localPath":"/x","bytes":1,"attempts":0}])";  // no storageKey
    dir.write("retry-queue.json", broken);
    EXPECT_TRUE(store.read().empty());
    store.append(item("/new", "k"));
    ASSERT_EQ(store.read().size(), 1u);
    store.flush();
    int setAside = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.path().filename().string().rfind("retry-queue.json.unreadable-", 0) == 0) {
            ++setAside;
            EXPECT_EQ(TempDir::read(entry.path()), broken);
        }
    }
    EXPECT_EQ(setAside, 1);
}

TEST(RetryQueueStoreFile, ReplaceKeepsItemsAppendedMeanwhile) {
    TempDir dir;
    RetryQueueStore store(dir / "q.json", std::nullopt);
    store.write({item("/a", "k"), item("/b", "k")});
    auto taken = store.read();
    store.append(item("/late", "k"));  // appended while the drain worked
    auto retried = taken[1];
    retried.attempts = 2;
    store.replace(taken, {retried});
    auto after = store.read();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].localPath, "/late");
    EXPECT_EQ(after[1].localPath, "/b");
    EXPECT_EQ(after[1].attempts, 2);
}

// The store keeps the queue in memory; a file changed behind its back (here
// in place, same size, modification time put back) is read again before the
// next write, and appends still pending when the store goes away are written.
TEST(RetryQueueStoreFile, AnotherWritersEditIsReadAgainAndPendingAppendsSurvive) {
    TempDir dir;
    const auto queue = dir / "retry-queue.json";
    {
        RetryQueueStore store(queue, std::nullopt);
        store.append(item("/docs/one.txt", "k"));
        store.flush();
        RetryQueueStore other(dir / "edited.json", std::nullopt);
        other.write({item("/docs/two.txt", "k")});
        ASSERT_EQ(fs::file_size(dir / "edited.json"), fs::file_size(queue));
        ::usleep(20'000); // past the file system's clock tick
        const std::string edit = "cp -p '" + queue.string() + "' '" + (dir / "stamp").string() + "' && cp '" +
                                 (dir / "edited.json").string() + "' '" + queue.string() + "' && touch -r '" +
                                 (dir / "stamp").string() + "' '" + queue.string() + "'";
        ASSERT_EQ(std::system(edit.c_str()), 0);

        store.append(item("/docs/three.txt", "k"));
        const auto items = store.read();
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0].localPath, "/docs/two.txt");
        store.append(item("/docs/four.txt", "k"));
    }
    RetryQueueStore reopened(queue, std::nullopt);
    const auto items = reopened.read();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].localPath, "/docs/two.txt");
    EXPECT_EQ(items[1].localPath, "/docs/three.txt");
    EXPECT_EQ(items[2].localPath, "/docs/four.txt");
}

// Removals wait for the next write as appends do, and take effect in the
// order they were asked for, on the queue as it is on disk then: the item
// appended after a removal of its file stands, one removal takes only the
// item of the key it names, and an edit by another writer is read first.
TEST(RetryQueueStoreFile, RemovalsWrittenWithTheNextWriteKeepTheirOrder) {
    TempDir dir;
    const auto queue = dir / "q.json";
    RetryQueueStore store(queue, std::nullopt, std::chrono::hours(1));
    store.write({item("/a", "user-u/a"), item("/b", "user-u/b"), item("/c", "user-u/c")});
    const std::string written = TempDir::read(queue);
    store.removeWithNextWrite("/a", "u");
    store.append(item("/a", "user-u/a2"));
    store.removeWithNextWrite("/b", "u", "user-u/other");
    store.removeWithNextWrite("/c", "u", "user-u/c");
    EXPECT_EQ(TempDir::read(queue), written);
    EXPECT_EQ(store.find("/a", "u")->storageKey, "user-u/a2");
    EXPECT_TRUE(store.find("/b", "u"));
    EXPECT_FALSE(store.find("/c", "u"));
    EXPECT_FALSE(store.find("/a", "someone-else"));

    RetryQueueStore other(queue, std::nullopt);
    other.write({item("/c", "user-u/c"), item("/d", "user-u/d")});
    store.flush();
    std::vector<std::string> paths;
    for (const auto& queued : RetryQueueStore(queue, std::nullopt).read()) paths.push_back(queued.localPath);
    EXPECT_EQ(paths, (std::vector<std::string>{"/d", "/a"}));
}

// A write the disk refuses loses nothing held, and the next append reports
// the failure instead of waiting in memory behind it. The handler hears of
// each run of failures once.
TEST(RetryQueueStoreFile, ARefusedWriteIsReportedByTheNextAppend) {
    TempDir dir;
    RetryQueueStore store(dir / "later" / "q.json", std::nullopt);
    std::vector<std::string> reasons;
    store.setWriteFailureHandler([&](const std::string& reason) { reasons.push_back(reason); });
    store.append(item("/a", "k"));
    EXPECT_THROW(store.flush(), std::system_error);
    EXPECT_THROW(store.append(item("/b", "k")), std::system_error);
    EXPECT_EQ(store.read().size(), 1u);
    fs::create_directories(dir / "later");
    store.append(item("/c", "k"));
    RetryQueueStore reader(dir / "later" / "q.json", std::nullopt);
    const auto items = reader.read();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].localPath, "/a");
    EXPECT_EQ(items[1].localPath, "/c");

    fs::remove_all(dir / "later");
    store.append(item("/d", "k"));
    EXPECT_THROW(store.flush(), std::system_error);
    EXPECT_EQ(reasons, std::vector<std::string>(2, std::generic_category().message(ENOENT)));
}
