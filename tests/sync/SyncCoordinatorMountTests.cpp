// Volumes that come and go under watched folders: a folder whose volume is
// away, or that another folder is bound over, shows other files than the ones
// synced from it; none of them is deleted remotely, and none is sent again
// once the volume is back. Each test runs in a user and mount namespace of its
// own, where it mounts and binds as it likes.
#include "sync/SyncCoordinatorHarness.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <sqlite3.h>
#include <sys/mount.h>

namespace tarnwell::testing {
namespace {

// Mounts made by a test, undone in reverse order when it ends.
class Mounts {
public:
    Mounts() = default;
    Mounts(const Mounts&) = delete;
    Mounts& operator=(const Mounts&) = delete;
    ~Mounts() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    }

    // A volume plugged in at `at`: a new file system, filled out of sight
    // with the same files (same bytes, same times) each time, then moved
    // there at once.
    void plugIn(const std::string& at, const std::filesystem::path& park, int files = kVolumeFiles) {
        std::filesystem::create_directories(park);
        ASSERT_EQ(::mount("tarnwell-volume", park.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
        fillVolume(park, files);
        ASSERT_EQ(::mount(park.c_str(), at.c_str(), nullptr, MS_MOVE, nullptr), 0) << std::strerror(errno);
        made_.push_back(at);
    }
    void bind(const std::string& from, const std::string& to) {
        ASSERT_EQ(::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
        made_.push_back(to);
    }
    // Unplugged: its files go with it.
    static void unmount(const std::string& at) { ASSERT_EQ(unmountOnceFree(at), 0) << std::strerror(errno); }
    // Unplugged and plugged in again later with the same files: the volume
    // is moved out of sight and back.
    void move(const std::string& from, const std::string& to) {
        std::filesystem::create_directories(to);
        ASSERT_EQ(::mount(from.c_str(), to.c_str(), nullptr, MS_MOVE, nullptr), 0) << std::strerror(errno);
        made_.push_back(to);
    }

    static constexpr int kVolumeFiles = 10;
    static std::string name(int i) { return "doc" + std::to_string(i) + ".txt"; }
    static void fillVolume(const std::filesystem::path& folder, int files = kVolumeFiles) {
        for (int i = 0; i < files; ++i) {
            std::ofstream(folder / name(i)) << "volume file " << i;
            SyncHarness::setModificationTime(folder / name(i), 1'600'000'000 + i);
        }
    }

private:
    std::vector<std::string> made_;
};

constexpr int kVolumeFiles = Mounts::kVolumeFiles;
std::string name(int i) { return Mounts::name(i); }

// Each file has one live hosted row among the keys it was ever sent
// under, and the account has no other live row.
void expectEachLiveOnce(SyncHarness& h, const std::vector<std::vector<std::string>>& keysOfEachFile) {
    std::map<std::string, int> live;
    for (const auto& row : h.backend.files()) {
        if (row["user_id"] == h.userID && row["is_deleted"] != true) ++live[row["storage_key"].get<std::string>()];
    }
    std::size_t liveRows = 0;
    for (const auto& [key, count] : live) liveRows += static_cast<std::size_t>(count);
    for (const auto& keys : keysOfEachFile) {
        int count = 0;
        for (const auto& key : keys) count += live[key];
        EXPECT_EQ(count, 1) << keys.front();
    }
    EXPECT_EQ(liveRows, keysOfEachFile.size());
}

std::string awayLine(const std::string& folder) {
    return "Cannot open " + folder + " (the volume it was on is not mounted); deletes skipped for this folder.";
}

std::string notRememberedLine(const std::string& folder) {
    return "None of the synced files of " + folder +
           " is there, and the volume they were on is not known (it may not be mounted); deletes skipped for this "
           "folder.";
}

std::string mountedOverLine(const std::string& folder) {
    return "Cannot open " + folder + " (another volume or folder is mounted over it); deletes skipped for this folder.";
}

// No hosted row was marked deleted and no "delete" job was sent.
void expectNoRemoteDelete(SyncHarness& h) {
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);
    const auto jobs = h.backend.jobs();
    EXPECT_EQ(std::count_if(jobs.begin(), jobs.end(), [](const auto& job) { return job["kind"] == "delete"; }), 0);
}

// None of these keys names a hosted row marked deleted.
void expectNoneDeleted(SyncHarness& h, const std::vector<std::string>& keys) {
    int deleted = 0;
    for (const auto& key : keys) {
        if (const auto row = h.backend.fileByKey(h.userID, key); row && (*row)["is_deleted"] == true) ++deleted;
    }
    EXPECT_EQ(deleted, 0);
}

// Every file of the volume was uploaded exactly once, and nothing was deleted.
void expectEachSentOnceAndNoneDeleted(SyncHarness& h, const std::string& root, const std::string& prefix) {
    for (int i = 0; i < kVolumeFiles; ++i) {
        const auto object = h.backend.object(h.key(root, prefix + name(i)));
        ASSERT_TRUE(object.has_value()) << name(i);
        EXPECT_EQ(object->writes, 1) << name(i);
        EXPECT_NE((*h.backend.fileByKey(h.userID, h.key(root, prefix + name(i))))["is_deleted"], true) << name(i);
    }
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);
}

TEST(SyncCoordinatorMount, aStartWhileTheRootsVolumeIsAwayDeletesNothingAndItsReturnSendsNothingAgain) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    const std::string docs = h.folder("Docs");
    mounts.plugIn(docs, h.temp / "plug1");
    h.make();
    h.syncOnce(docs);
    ASSERT_TRUE(h.hasLine("Summary: uploaded 10, skipped 0, deleted 0, failed 0."));

    // Started again (as at login) before the volume is mounted: the bare
    // mount-point folder is empty.
    Mounts::unmount(docs);
    h.logs.clear();
    auto& coordinator = h.make();
    coordinator.startSync({docs}, SyncMode::ultra);
    EXPECT_TRUE(h.hasLine(awayLine(docs)));
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 0, deleted 0, failed 0."));
    EXPECT_EQ(h.database->rows(docs).size(), static_cast<std::size_t>(kVolumeFiles));

    // Plugged in while syncing: noticed, watched and rescanned.
    mounts.plugIn(docs, h.temp / "plug2");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 10, deleted 0, failed 0."));
    h.write("Docs/new.txt", "written on the volume");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 10, deleted 0, failed 0."));
    expectEachSentOnceAndNoneDeleted(h, docs, "");
    EXPECT_EQ(h.backend.object(h.key(docs, "new.txt"))->writes, 1);
    EXPECT_EQ(countStartingWith(h.logs.values(), "Cannot open "), 1u);

    // Back on its volume, a file really removed goes.
    std::filesystem::remove(docs + "/" + name(0));
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 10, deleted 1, failed 0."));
    coordinator.stopSync();
}

TEST(SyncCoordinatorMount, aVolumeInsideARootUnmountedAndMountedAgainWhileSyncingKeepsItsFilesAndStaysWatched) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    h.write("Docs/a.txt", "on the root's own disk");
    const std::string docs = h.folder("Docs");
    const std::string ext = h.folder("Docs/ext");
    mounts.plugIn(ext, h.temp / "plug1");
    auto& coordinator = h.make();
    coordinator.startSync({docs}, SyncMode::ultra);
    ASSERT_TRUE(h.hasLine("Summary: uploaded 11, skipped 0, deleted 0, failed 0."));
    h.logs.clear();

    Mounts::unmount(ext);
    ASSERT_TRUE(h.waitForLine(awayLine(ext)));
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 1, deleted 0, failed 0."));
    // The bare folder is watched: what is written there goes by its own change.
    h.write("Docs/ext/while-away.txt", "on the bare folder");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 1, deleted 0, failed 0."));

    // Back: its files match their rows again; the file of the bare folder,
    // hidden under the volume now, is kept as well.
    mounts.plugIn(ext, h.temp / "plug2");
    ASSERT_TRUE(h.waitForLine(mountedOverLine(ext)));
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 11, deleted 0, failed 0."));
    h.write("Docs/ext/back.txt", "on the volume");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 11, deleted 0, failed 0."));
    coordinator.stopSync();

    expectEachSentOnceAndNoneDeleted(h, docs, "ext/");
    EXPECT_EQ(h.backend.object(h.key(docs, "a.txt"))->writes, 1);
    EXPECT_EQ(h.backend.object(h.key(docs, "ext/while-away.txt"))->writes, 1);
    EXPECT_EQ(h.backend.object(h.key(docs, "ext/back.txt"))->writes, 1);
    EXPECT_EQ(countOf(h.logs.values(), awayLine(ext)), 1u);
    EXPECT_EQ(h.database->rows(docs).size(), 13u);
}

TEST(SyncCoordinatorMount, aFolderBoundOverARootOnTheSameFileSystemDeletesNothingAndTheRootsFilesComeBackUnsent) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    const std::string docs = h.folder("Docs");
    Mounts::fillVolume(docs);
    h.write("Other/other.txt", "another folder's file");
    const std::string other = h.folder("Other");
    auto& coordinator = h.make();
    coordinator.startSync({docs}, SyncMode::ultra);
    ASSERT_TRUE(h.hasLine("Summary: uploaded 10, skipped 0, deleted 0, failed 0."));
    h.logs.clear();

    mounts.bind(other, docs);
    ASSERT_TRUE(h.waitForLine(mountedOverLine(docs)));
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 0, deleted 0, failed 0."));
    // The folder bound there is watched in its place.
    h.write("Docs/bound.txt", "written through the binding");
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 1, skipped 1, deleted 0, failed 0."));
    EXPECT_TRUE(std::filesystem::exists(other + "/bound.txt"));

    Mounts::unmount(docs);
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 10, deleted 0, failed 0."));
    coordinator.stopSync();

    expectEachSentOnceAndNoneDeleted(h, docs, "");
    EXPECT_EQ(countOf(h.logs.values(), mountedOverLine(docs)), 1u);
    EXPECT_EQ(h.database->rows(docs).size(), 12u);
}

// A root with a volume plugged in at the root itself, or at "ext" inside
// it with a file of the root's own disk beside it: the root, where the
// volume is, and the volume's place below the root.
struct VolumeLayout {
    std::string root;
    std::string at;
    std::string prefix;
};

VolumeLayout plugVolume(SyncHarness& h, Mounts& mounts, bool inner) {
    const std::string docs = h.folder("Docs");
    const std::string at = inner ? h.folder("Docs/ext") : docs;
    if (inner) h.write("Docs/a.txt", "on the root's own disk");
    mounts.plugIn(at, h.temp / "plug");
    return {docs, at, inner ? "ext/" : ""};
}

// State from before the mounts were remembered (an earlier version's, or
// one whose memory was lost): a folder that shows none of the files synced
// from it is not taken as emptied, whether it is the root or below it, and
// whether the files were at its top or in folders below.
TEST(SyncCoordinatorMount, withNoMemoryOfMountsAVolumeAwayAtAStartLosesNothingAndComesBackUnsent) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    for (const bool inner : {false, true}) {
        SCOPED_TRACE(inner ? "a volume inside the root" : "the root's own volume");
        SyncHarness h;
        h.signIn();
        Mounts mounts;
        const auto [docs, at, prefix] = plugVolume(h, mounts, inner);
        h.write("Docs/" + prefix + "sub/deep.txt", "in a folder on the volume");
        const int files = kVolumeFiles + 1 + (inner ? 1 : 0);
        auto& coordinator = h.make();
        coordinator.startSync({docs}, SyncMode::ultra);
        ASSERT_TRUE(h.hasLine("Summary: uploaded " + std::to_string(files) + ", skipped 0, deleted 0, failed 0."));
        coordinator.stopSync();

        mounts.move(at, (h.temp / "away").string());
        h.forgetMounts();
        h.logs.clear();
        h.make().startSync({docs}, SyncMode::ultra);
        EXPECT_TRUE(h.hasLine(notRememberedLine(at)));
        EXPECT_EQ(countStartingWith(h.logs.values(), "None of the synced files"), 1u);
        EXPECT_TRUE(h.hasLine(std::string("Summary: uploaded 0, skipped ") + (inner ? "1" : "0") +
                              ", deleted 0, failed 0."));
        EXPECT_EQ(h.database->rows(docs).size(), static_cast<std::size_t>(files));

        // Back: noticed, and nothing is sent again; a file really removed
        // from it then goes.
        mounts.move((h.temp / "away").string(), at);
        ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped " + std::to_string(files) + ", deleted 0, failed 0."));
        expectEachSentOnceAndNoneDeleted(h, docs, prefix);
        EXPECT_EQ(h.backend.object(h.key(docs, prefix + "sub/deep.txt"))->writes, 1);
        std::filesystem::remove(at + "/" + name(0));
        ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped " + std::to_string(files - 1) +
                                  ", deleted 1, failed 0."));
        EXPECT_EQ((*h.backend.fileByKey(h.userID, h.key(docs, prefix + name(0))))["is_deleted"], true);
        h.coordinator->stopSync();
    }
}

// The same, and while the volume is away some of its files are removed: a
// file, every file of a folder that stays, and a whole folder. Once its
// other files show again, the volume is known to be back, and what it lacks
// is deleted.
TEST(SyncCoordinatorMount, withNoMemoryOfMountsAVolumeBackWithoutSomeOfItsFilesLosesTheirRows) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    for (const bool inner : {false, true}) {
        SCOPED_TRACE(inner ? "a volume inside the root" : "the root's own volume");
        SyncHarness h;
        h.signIn();
        Mounts mounts;
        const auto [docs, at, prefix] = plugVolume(h, mounts, inner);
        for (int i = 0; i < 5; ++i) h.write("Docs/" + prefix + "x/" + std::to_string(i) + ".txt", "emptied");
        for (int i = 0; i < 3; ++i) h.write("Docs/" + prefix + "sub/deeper/" + std::to_string(i) + ".txt", "removed");
        const int files = kVolumeFiles + 8 + (inner ? 1 : 0);
        h.make();
        h.syncOnce(docs);
        ASSERT_TRUE(h.hasLine("Summary: uploaded " + std::to_string(files) + ", skipped 0, deleted 0, failed 0."));

        const std::string away = (h.temp / "away").string();
        mounts.move(at, away);
        h.forgetMounts();
        h.make();
        h.syncOnce(docs);
        ASSERT_TRUE(h.hasLine(notRememberedLine(at)));
        EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);

        std::filesystem::remove(away + "/" + name(0));
        for (int i = 0; i < 5; ++i) std::filesystem::remove(away + "/x/" + std::to_string(i) + ".txt");
        std::filesystem::remove_all(away + "/sub/deeper");
        mounts.move(away, at);
        h.logs.clear();
        h.syncOnce(docs);
        EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped " + std::to_string(files - 9) + ", deleted 9, failed 0."));
        EXPECT_EQ(h.requests("PATCH", kFilesPath), 9u);
        EXPECT_EQ(h.database->rows(docs).size(), static_cast<std::size_t>(files - 9));
        for (int i = 1; i < kVolumeFiles; ++i) EXPECT_EQ(h.backend.object(h.key(docs, prefix + name(i)))->writes, 1);
    }
}

// Two files of a volume inside the root wait in the retry queue with no row
// (their ingest jobs refused) when it goes away, and one is removed from it
// meanwhile: both stay live while it is away; once it is back the other is
// live once with its ingest job, and the removed one is withdrawn.
TEST(SyncCoordinatorMount, queuedFilesOfAVolumeAwayStayLiveAndOnceItIsBackOnlyTheRemovedOneIsWithdrawn) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    const std::string docs = h.folder("Docs");
    const std::string ext = h.folder("Docs/ext");
    mounts.plugIn(ext, h.temp / "plug");
    h.backend.failNext("POST", kJobsPath, 2, 503);
    h.make();
    h.syncOnce(docs);
    const std::string away = (h.temp / "away").string();
    mounts.move(ext, away);
    std::filesystem::remove(away + "/" + name(1));
    h.make();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine(awayLine(ext)));
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);

    mounts.move(away, ext);
    h.make();
    h.syncOnce(docs);
    EXPECT_TRUE(h.hasLine("Summary: uploaded 0, skipped 9, deleted 1, failed 0."));
    const auto jobsOf = [&](int i) {
        const auto remote = *h.backend.fileByKey(h.userID, h.key(docs, "ext/" + name(i)));
        return std::pair(remote["is_deleted"].get<bool>(), h.backend.jobsForFile(remote["id"].get<std::string>()));
    };
    EXPECT_FALSE(jobsOf(0).first);
    EXPECT_EQ(jobsOf(0).second.size(), 1u);
    EXPECT_TRUE(jobsOf(1).first);
    ASSERT_EQ(jobsOf(1).second.size(), 1u);
    EXPECT_EQ(jobsOf(1).second[0]["kind"], "delete");
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A queued file of the volume is sent again by the drain, and the volume is
// pulled out before the drain records it: no row says the file was on the
// bare folder left in its place, and it is kept until the volume is back.
TEST(SyncCoordinatorMount, aVolumePulledOutWhileTheDrainSendsOneOfItsFilesLosesNothing) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    const std::string docs = h.folder("Docs");
    const std::string ext = h.folder("Docs/ext");
    mounts.plugIn(ext, h.temp / "plug1");
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.make();
    h.syncOnce(docs);
    ASSERT_EQ(h.retryQueue->read().size(), 1u);

    h.backend.delay("POST", kJobsPath, 300ms, 1);
    auto& coordinator = h.make();
    std::thread start([&] { coordinator.startSync({docs}, SyncMode::ultra); });
    while (h.backend.pendingFaults() != 0) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(::umount2(ext.c_str(), MNT_DETACH), 0) << std::strerror(errno);
    start.join();
    coordinator.stopSync();
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);

    mounts.plugIn(ext, h.temp / "plug2");
    h.make();
    h.syncOnce(docs);
    std::vector<std::vector<std::string>> keys;
    for (int i = 0; i < kVolumeFiles; ++i) keys.push_back({h.key(docs, "ext/" + name(i))});
    expectEachLiveOnce(h, keys);
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A volume plugged in while the drain looks up where its queued files are,
// before it sends them or as it records one: none of them is remembered on
// the bare folder that the mounts read a moment before still show there, so
// that with the volume away again nothing of it is taken for removed.
TEST(SyncCoordinatorMount, aVolumePluggedInWhileTheDrainLooksItsFilesUpIsNeverTakenForTheBareFolder) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    TempDir temp;
    LocalDatabase database(temp / "state.sqlite3", std::nullopt);
    const std::string root = (temp / "R").string();
    const std::string ext = root + "/ext";
    const std::string away = (temp / "away").string();
    std::filesystem::create_directories(ext);
    Mounts mounts;
    mounts.plugIn(ext, temp / "plug");
    RootMounts now(root, MountTable::current());
    const std::string disk = now.rootIdentity(), volume = now.identityOf(ext);
    ASSERT_NE(disk, volume);
    const std::string key = "mounts_seen:" + root;
    database.setPreference(SeenMounts::boundaries(root, &disk, {{ext, volume}}).toJSON(), key);
    const auto memory = [&] { return SeenMounts::fromJSON(database.preference(key).value_or("")); };
    const SeenMounts before = memory();

    for (const bool perFile : {false, true}) {
        SCOPED_TRACE(perFile ? "as a sent file is recorded" : "before anything is sent");
        mounts.move(ext, away);
        SentFileMounts sent(database);
        int lookups = 0;
        sent.afterLookup = [&] {
            if (++lookups == 1) mounts.move(away, ext);
        };
        if (perFile) {
            EXPECT_TRUE(sent.remember(root, ext + "/" + name(0)));
        } else {
            std::vector<std::pair<std::string, std::string>> files;
            for (int i = 0; i < kVolumeFiles; ++i) files.emplace_back(root, ext + "/" + name(i));
            sent.prepare(files);
        }
        EXPECT_GT(lookups, 1);
        const SeenMounts after = memory();
        for (int i = 0; i < kVolumeFiles; ++i) EXPECT_EQ(after.ofFile(ext + "/" + name(i), ext), volume) << i;
        EXPECT_TRUE(after == before);
    }
}

// A file on a volume inside a watched folder that is itself inside another,
// registered with its job refused, waits in the queue under the inner
// folder's key; the inner folder is taken off the list while the volume is
// away. Once the volume is back while the agent runs, the outer folder's
// pass sends the file under its own key, and the key it was queued under
// gives way.
TEST(SyncCoordinatorMount, aQueuedFileOfAVolumeBackWhileSyncingRetiresTheKeyItWasQueuedUnder) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    const std::string outer = h.folder("R"), inner = h.folder("R/B"), ext = h.folder("R/B/ext");
    mounts.plugIn(ext, h.temp / "plug1", 1);
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.make().startSync({outer, inner}, SyncMode::ultra);
    h.coordinator->stopSync();
    ASSERT_EQ(h.retryQueue->read().size(), 1u);
    const std::string innerKey = h.key(inner, "ext/" + name(0)), outerKey = h.key(outer, "B/ext/" + name(0));

    mounts.move(ext, (h.temp / "away").string());
    auto& coordinator = h.make();
    coordinator.startSync({outer}, SyncMode::ultra);
    ASSERT_TRUE(h.hasLine(awayLine(ext)));
    mounts.plugIn(ext, h.temp / "plug2", 1);
    ASSERT_TRUE(h.logs.waitUntil([&](const auto&) { return h.isRecordedAsSent(ext + "/" + name(0)); }));
    coordinator.stopSync();
    expectEachLiveOnce(h, {{outerKey, innerKey}});
    EXPECT_TRUE(h.backend.fileByKey(h.userID, outerKey).has_value());
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// The mounts are read again only once something was mounted or unmounted.
TEST(SyncCoordinatorMount, theMountWatchReadsTheMountsAgainOnlyAfterAChange) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    TempDir at;
    MountWatch watch;
    EXPECT_FALSE(watch.refresh());
    const auto tmpfsAt = [&] {
        const auto id = watch.table().mountOf(at.path());
        return id && watch.table().find(*id)->mountPoint == at.path().string();
    };
    EXPECT_FALSE(tmpfsAt());
    ASSERT_EQ(::mount("tarnwell-volume", at.path().c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
    EXPECT_TRUE(watch.refresh());
    EXPECT_TRUE(tmpfsAt());
    EXPECT_FALSE(watch.refresh());
    ASSERT_EQ(::umount(at.path().c_str()), 0);
    EXPECT_TRUE(watch.refresh());
    EXPECT_FALSE(tmpfsAt());
}

// What is remembered grows with the mounts, not with the folders: many
// folders on the root's disk, none of them at its top, and one volume inside.
TEST(SyncCoordinatorMount, theMemoryOfMountsStaysSmallForManyFoldersWithAVolumeInside) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    const std::string docs = h.folder("Docs");
    constexpr int kFolders = 2000;
    for (int i = 0; i < kFolders; ++i) {
        const std::string logical = "folder-" + std::to_string(i) + "/doc.txt";
        const auto file = h.write("Docs/" + logical, "synced before");
        SyncHarness::setModificationTime(file, 1'600'000'000);
        h.database->upsert({file.string(), docs, logical, h.key(docs, logical), std::string(64, 'a'), 13,
                            1'600'000'000'000.0});
    }
    mounts.plugIn(h.folder("Docs/ext"), h.temp / "plug");
    h.make();
    h.syncOnce(docs);
    ASSERT_TRUE(h.hasLine("Summary: uploaded 10, skipped 2000, deleted 0, failed 0."));
    const auto memory = h.database->preference("mounts_seen:" + docs);
    ASSERT_TRUE(memory);
    EXPECT_LE(memory->size(), 1024u) << *memory;
}

// A volume pulled out while the pass that first sends it is under way:
// the files sent before are remembered on it, so the rescan that the
// unplugging starts keeps them, and once it is back the rest follow.
TEST(SyncCoordinatorMount, aVolumeUnpluggedDuringThePassThatFirstSendsItLosesNothing) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    h.write("Docs/a.txt", "on the root's own disk");
    const std::string docs = h.folder("Docs");
    const std::string ext = h.folder("Docs/ext");
    h.make();
    h.syncOnce(docs);
    mounts.plugIn(ext, h.temp / "plug1");
    h.backend.delay("POST", kUploadPath, 20ms);
    auto& coordinator = h.make();
    std::thread start([&] { coordinator.startSync({docs}, SyncMode::ultra); });
    while (h.requests("POST", kUploadPath) < 7) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(::umount2(ext.c_str(), MNT_DETACH), 0) << std::strerror(errno);
    start.join();
    ASSERT_TRUE(h.waitForLine(awayLine(ext)));
    ASSERT_TRUE(h.waitForLine("Summary: uploaded 0, skipped 1, deleted 0, failed 0."));
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);

    mounts.plugIn(ext, h.temp / "plug2");
    ASSERT_TRUE(h.logs.waitUntil([&](const auto&) { return h.rowsRecordedAsSent(docs) == kVolumeFiles + 1u; }));
    coordinator.stopSync();
    std::vector<std::vector<std::string>> keys{{h.key(docs, "a.txt")}};
    for (int i = 0; i < kVolumeFiles; ++i) keys.push_back({h.key(docs, "ext/" + name(i))});
    expectEachLiveOnce(h, keys);
    EXPECT_EQ(h.requests("PATCH", kFilesPath), 0u);
}

// A watched folder inside another one is taken off the list while the
// volume inside it is away: the outer folder owns the inner one's rows and
// its queued file now (one sent and registered whose job was refused), and
// judges them by what the inner one remembered of their volume.
TEST(SyncCoordinatorMount, aWatchedFolderTakenOffTheListHandsItsMemoryOfMountsToTheFolderAroundIt) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    h.write("R/a.txt", "on the root's own disk");
    const std::string outer = h.folder("R");
    const std::string inner = h.folder("R/B");
    const std::string ext = h.folder("R/B/ext");
    mounts.plugIn(ext, h.temp / "plug");
    h.make().startSync({outer, inner}, SyncMode::ultra);
    h.coordinator->stopSync();
    ASSERT_EQ(h.backend.fileCount(), kVolumeFiles + 1u);
    h.write("R/B/ext/queued.txt", "new on the volume");
    h.backend.failNext("POST", kJobsPath, 1, 503);
    h.make().startSync({outer, inner}, SyncMode::ultra);
    h.coordinator->stopSync();
    ASSERT_EQ(h.retryQueue->read().size(), 1u);

    const std::string away = (h.temp / "away").string();
    mounts.move(ext, away);
    for (int start = 0; start < 2; ++start) {
        h.make().startSync({outer}, SyncMode::ultra);
        h.coordinator->stopSync();
    }
    EXPECT_TRUE(h.hasLine(awayLine(ext)));
    expectNoRemoteDelete(h);
    EXPECT_EQ(h.retryQueue->read().size(), 1u);

    mounts.move(away, ext);
    h.make().startSync({outer}, SyncMode::ultra);
    h.coordinator->stopSync();
    std::vector<std::vector<std::string>> keys{{h.key(outer, "a.txt")},
                                               {h.key(outer, "B/ext/queued.txt"), h.key(inner, "ext/queued.txt")}};
    for (int i = 0; i < kVolumeFiles; ++i) keys.push_back({h.key(outer, "B/ext/" + name(i)), h.key(inner, "ext/" + name(i))});
    expectEachLiveOnce(h, keys);
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A watched folder added inside another while the volume inside it is away,
// listed after or before the outer one: it takes over the outer one's rows
// and queued file with what the outer one remembered of them, and neither
// folder forgets that, start after start, until the volume is back.
TEST(SyncCoordinatorMount, aWatchedFolderAddedInsideAnotherWhileItsVolumeIsAwayLosesNothing) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    for (const bool innerFirst : {false, true}) {
        SCOPED_TRACE(innerFirst ? "the inner folder listed first" : "the outer folder listed first");
        SyncHarness h;
        h.signIn();
        Mounts mounts;
        h.write("R/a.txt", "on the root's own disk");
        for (int i = 0; i < 3; ++i) h.write("R/B/x" + std::to_string(i) + ".txt", "beside the volume");
        const std::string outer = h.folder("R");
        const std::string inner = h.folder("R/B");
        const std::string ext = h.folder("R/B/ext");
        mounts.plugIn(ext, h.temp / "plug");
        // The volume's first file is sent and registered, but its job is
        // refused: it waits in the queue with no row.
        h.backend.failNext("POST", kJobsPath, 1, 503);
        h.make();
        h.syncOnce(outer);
        ASSERT_EQ(h.retryQueue->read().size(), 1u);

        const std::string away = (h.temp / "away").string();
        mounts.move(ext, away);
        const std::vector<std::string> roots = innerFirst ? std::vector{inner, outer} : std::vector{outer, inner};
        for (int start = 0; start < 2; ++start) {
            h.make().startSync(roots, SyncMode::ultra);
            h.coordinator->stopSync();
        }
        EXPECT_TRUE(h.hasLine(awayLine(ext)));
        // The files beside the volume move to the inner folder's keys, and
        // their keys under the outer one give way: the volume's stay.
        std::vector<std::string> volumeKeys;
        for (int i = 0; i < kVolumeFiles; ++i) {
            volumeKeys.push_back(h.key(outer, "B/ext/" + name(i)));
            volumeKeys.push_back(h.key(inner, "ext/" + name(i)));
        }
        expectNoneDeleted(h, volumeKeys);
        EXPECT_EQ(h.retryQueue->read().size(), 1u);

        mounts.move(away, ext);
        h.make().startSync(roots, SyncMode::ultra);
        h.coordinator->stopSync();
        std::vector<std::vector<std::string>> keys{{h.key(outer, "a.txt")}};
        for (int i = 0; i < 3; ++i) {
            const std::string x = "x" + std::to_string(i) + ".txt";
            keys.push_back({h.key(outer, "B/" + x), h.key(inner, x)});
        }
        for (int i = 0; i < kVolumeFiles; ++i) {
            keys.push_back({h.key(outer, "B/ext/" + name(i)), h.key(inner, "ext/" + name(i))});
        }
        expectEachLiveOnce(h, keys);
        EXPECT_TRUE(h.retryQueue->read().empty());
    }
}

// Files of a volume that wait in the queue with no row (their jobs refused)
// when it goes away; files written into the bare folder left in its place
// start a rescan that a newer change cuts short after it has begun sending.
// Neither rescan withdraws the queued files, nor does the next start.
TEST(SyncCoordinatorMount, queuedFilesOfAVolumeAwayOutliveARescanCutShort) {
    RUN_IN_OWN_MOUNT_NAMESPACE();
    SyncHarness h;
    h.signIn();
    Mounts mounts;
    h.write("R/z.txt", "on the root's own disk");
    const std::string root = h.folder("R");
    const std::string ext = h.folder("R/ext");
    mounts.plugIn(ext, h.temp / "plug");
    h.backend.failNext("POST", kJobsPath, kVolumeFiles, 503);
    h.make();
    h.syncOnce(root);
    ASSERT_EQ(h.retryQueue->read().size(), static_cast<std::size_t>(kVolumeFiles));

    const std::string away = (h.temp / "away").string();
    mounts.move(ext, away);
    auto& coordinator = h.make();
    coordinator.startSync({root}, SyncMode::ultra);
    ASSERT_TRUE(h.hasLine(awayLine(ext)));
    const std::size_t summaries = countStartingWith(h.logs.values(), "Summary: ");
    h.backend.delay("POST", kUploadPath, 1500ms, 1);
    h.write("R/ext/bare-1.txt", "on the bare folder");
    while (h.backend.pendingFaults() != 0) std::this_thread::sleep_for(1ms);
    h.write("R/ext/bare-2.txt", "on the bare folder too");
    ASSERT_TRUE(h.waitForLine("Rescan of " + root + " cut short: the folder changed again and is scanned anew."));
    ASSERT_TRUE(h.logs.waitUntil(
        [&](const auto& lines) { return countStartingWith(lines, "Summary: ") > summaries; }));
    EXPECT_EQ(h.logs.values().back(), "Summary: uploaded 1, skipped 2, deleted 0, failed 0.");
    coordinator.stopSync();
    h.make();
    h.syncOnce(root);
    expectNoRemoteDelete(h);
    EXPECT_EQ(h.retryQueue->read().size(), static_cast<std::size_t>(kVolumeFiles));

    mounts.move(away, ext);
    h.make();
    h.syncOnce(root);
    std::vector<std::vector<std::string>> keys{{h.key(root, "z.txt")}, {h.key(root, "ext/bare-1.txt")},
                                               {h.key(root, "ext/bare-2.txt")}};
    for (int i = 0; i < kVolumeFiles; ++i) keys.push_back({h.key(root, "ext/" + name(i))});
    expectEachLiveOnce(h, keys);
    EXPECT_TRUE(h.retryQueue->read().empty());
}

// A pass cut short at any database write, by a kill or by the process
// ending right after the write, over a tree with a volume inside the
// watched folder, another volume inside that one, and a third volume away
// whose files wait in the queue with no row. The volume inside may be a
// watched folder of its own before the cut and not after, or after and not
// before, listed first or last. Beside it, another watched folder whose
// files change keys in the cut pass: some synced under it, now under a
// folder inside it added to the list; some queued under the key of a folder
// inside it taken off the list, which the drain fails to send once.
// Whichever volume is then away, the next start deletes nothing; once they
// are back, every file is live once.
constexpr const char* kCutChild = "TARNWELL_TEST_CUT_CHILD"; // state, URL, roots, cut, kill: one a line

namespace cut {

sqlite3_vfs* real = nullptr;
sqlite3_vfs vfs;
std::atomic<long long> writes{0};
long long cutAt = 0;
bool kill = false;

struct File {
    sqlite3_file base;
    sqlite3_file* real;
};
sqlite3_file* realOf(sqlite3_file* file) { return reinterpret_cast<File*>(file)->real; }

int close(sqlite3_file* f) { return realOf(f)->pMethods->xClose(realOf(f)); }
int read(sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return realOf(f)->pMethods->xRead(realOf(f), b, n, o); }
int write(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
    if (++writes != cutAt) return realOf(f)->pMethods->xWrite(realOf(f), b, n, o);
    if (kill) ::raise(SIGKILL);
    realOf(f)->pMethods->xWrite(realOf(f), b, n, o);
    ::_exit(0);
}
int truncate(sqlite3_file* f, sqlite3_int64 n) { return realOf(f)->pMethods->xTruncate(realOf(f), n); }
int sync(sqlite3_file* f, int flags) { return realOf(f)->pMethods->xSync(realOf(f), flags); }
int fileSize(sqlite3_file* f, sqlite3_int64* n) { return realOf(f)->pMethods->xFileSize(realOf(f), n); }
int lock(sqlite3_file* f, int l) { return realOf(f)->pMethods->xLock(realOf(f), l); }
int unlock(sqlite3_file* f, int l) { return realOf(f)->pMethods->xUnlock(realOf(f), l); }
int reserved(sqlite3_file* f, int* r) { return realOf(f)->pMethods->xCheckReservedLock(realOf(f), r); }
int control(sqlite3_file* f, int op, void* a) { return realOf(f)->pMethods->xFileControl(realOf(f), op, a); }
int sectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int characteristics(sqlite3_file* f) { return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)); }
int shmMap(sqlite3_file* f, int p, int s, int e, void volatile** m) {
    return realOf(f)->pMethods->xShmMap(realOf(f), p, s, e, m);
}
int shmLock(sqlite3_file* f, int o, int n, int flags) { return realOf(f)->pMethods->xShmLock(realOf(f), o, n, flags); }
void shmBarrier(sqlite3_file* f) { realOf(f)->pMethods->xShmBarrier(realOf(f)); }
int shmUnmap(sqlite3_file* f, int d) { return realOf(f)->pMethods->xShmUnmap(realOf(f), d); }

const sqlite3_io_methods methods{2,     close,      read,   write,    truncate,        sync,       fileSize,
                                 lock,  unlock,     reserved, control, sectorSize, characteristics,
                                 shmMap, shmLock,   shmBarrier, shmUnmap, nullptr,  nullptr};

int open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    File* file = reinterpret_cast<File*>(f);
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    const int result = real->xOpen(real, name, file->real, flags, outFlags);
    file->base.pMethods = file->real->pMethods ? &methods : nullptr;
    return result;
}

// Every database the process opens from now on counts its writes.
void install(long long at, bool byKill) {
    real = sqlite3_vfs_find(nullptr);
    vfs = *real;
    vfs.zName = "tarnwell-cut";
    vfs.pNext = nullptr;
    vfs.szOsFile = static_cast<int>(sizeof(File)) + real->szOsFile;
    vfs.xOpen = open;
    cutAt = at;
    kill = byKill;
    sqlite3_vfs_register(&vfs, 1);
}

// The child: one start over the root with the parent's stores, cut short
// at the given write (0: never; it then tells how many there were).
[[noreturn]] void runChild(const std::string& settings) {
    std::istringstream lines(settings);
    std::string state, url, rootList, at, byKill;
    std::getline(lines, state);
    std::getline(lines, url);
    std::getline(lines, rootList);
    std::getline(lines, at);
    std::getline(lines, byKill);
    install(std::stoll(at), byKill == "1");
    const PublicConfig config{url, "local-anon-key", "files", "http://127.0.0.1/"};
    auto sessions = std::make_shared<SessionStore>(std::filesystem::path(state) / "session.json", std::nullopt);
    {
        SyncCoordinator coordinator(
            config, std::make_shared<SupabaseHTTPClient>(config, sessions),
            std::make_shared<LocalDatabase>(std::filesystem::path(state) / "state.sqlite3", std::nullopt),
            std::make_shared<RetryQueueStore>(std::filesystem::path(state) / "retry-queue.json", std::nullopt),
            sessions, fastTiming());
        std::vector<std::string> roots;
        std::istringstream list(rootList);
        for (std::string root; std::getline(list, root, '\t');) roots.push_back(root);
        coordinator.startSync(roots, SyncMode::ultra);
    }
    std::ofstream(std::filesystem::path(state) / "writes") << writes.load();
    ::_exit(0);
}

} // namespace cut

TEST(SyncCoordinatorMount, aPassCutAtAnyDatabaseWriteLeavesNoRowForAVolumeAwayToDelete) {
    if (const char* settings = std::getenv(kCutChild)) cut::runChild(settings);
    RUN_IN_OWN_MOUNT_NAMESPACE();
    const auto runChild = [](SyncHarness& h, const std::vector<std::string>& roots, long long at, bool byKill) {
        std::string list;
        for (const auto& root : roots) list += (list.empty() ? "" : "\t") + root;
        return runWithMarker({std::filesystem::read_symlink("/proc/self/exe").string(),
                              "--gtest_filter=SyncCoordinatorMount.aPassCutAtAnyDatabaseWrite*"},
                             std::string(kCutChild) + "=" + h.temp.path().string() + "\n" + h.backend.baseURL() +
                                 "\n" + list + "\n" + std::to_string(at) + "\n" + (byKill ? "1" : "0"));
    };
    // Few files to a volume: every write of the pass is cut once, and each
    // phase of it has its writes whatever the count.
    constexpr int kFiles = 4;
    constexpr int kQueuedFiles = 3;
    // Files changing keys, in each way.
    constexpr int kMovingFiles = 2;
    // The inner watched folder is on the list before the cut, after it, or
    // neither.
    enum class Inner { never, added, takenOff };
    struct Round {
        long long at = 0;
        bool byKill = false;
        bool innerAway = false;
        bool emptyFirst = false;
        Inner inner = Inner::never;
        bool innerFirst = false;
        bool addedFirst = false;       // the folder added beside is listed before its outer one
        bool addedKeptAfter = false;   // and still watched after the cut
    };
    // One round: the folder synced once with no volume in it (empty, or with
    // a file of its own); a volume whose files' jobs are refused, then taken
    // away; two volumes plugged in, and the pass that first sends them cut
    // at a write.
    const auto round = [&](const Round& r) -> long long {
        SyncHarness h;
        h.signIn();
        Mounts mounts;
        if (!r.emptyFirst) h.write("Docs/a.txt", "on the root's own disk");
        const std::string docs = h.folder("Docs");
        const std::string ext = h.folder("Docs/ext");
        const std::string queued = h.folder("Docs/0q");
        const auto rootsWith = [&](bool inner) {
            if (!inner) return std::vector<std::string>{docs};
            return r.innerFirst ? std::vector<std::string>{ext, docs} : std::vector<std::string>{docs, ext};
        };
        // Beside: files of `added` synced under `other`, and files queued
        // under the key of `takenOff`.
        for (int i = 0; i < kMovingFiles; ++i) {
            h.write("Other/added/" + name(i), "synced under the outer folder");
            h.write("Other/takenOff/" + name(i), "queued under the inner folder");
        }
        const std::string other = h.folder("Other"), added = h.folder("Other/added");
        const std::string takenOff = h.folder("Other/takenOff");
        const auto failQueuedUploads = [&](int count) {
            for (int i = 0; i < kMovingFiles; ++i) {
                h.backend.failNext("POST", kUploadPath + std::string("files/") + h.key(takenOff, name(i)), count, 500);
            }
        };
        h.backend.failNext("POST", kJobsPath, kMovingFiles, 503);
        h.make();
        h.coordinator->startSync({takenOff, other}, SyncMode::ultra);
        h.coordinator->stopSync();
        failQueuedUploads(-1);

        const std::vector<std::string> docsBefore = rootsWith(r.inner == Inner::takenOff);
        std::vector<std::string> before = docsBefore;
        std::vector<std::string> after = rootsWith(r.inner == Inner::added);
        before.insert(r.addedFirst ? before.begin() : before.end(), {added, other});
        after.push_back(other);
        if (r.addedKeptAfter) after.push_back(added);
        h.make();
        h.syncOnce(docs);
        if (r.emptyFirst) h.write("Docs/a.txt", "on the root's own disk");
        mounts.plugIn(queued, h.temp / "plug0", kQueuedFiles);
        h.backend.failNext("POST", kJobsPath, kQueuedFiles, 503);
        h.make().startSync(docsBefore, SyncMode::ultra);
        h.coordinator->stopSync();
        EXPECT_EQ(h.retryQueue->read().size(), static_cast<std::size_t>(kQueuedFiles + kMovingFiles));
        const std::string queuedAway = (h.temp / "queued-away").string();
        mounts.move(queued, queuedAway);
        mounts.plugIn(ext, h.temp / "plug1", kFiles);
        const std::string deeper = h.folder("Docs/ext/deeper");
        mounts.plugIn(deeper, h.temp / "plug2", kFiles);
        h.coordinator.reset();
        h.backend.clearFaults();
        failQueuedUploads(1);
        const int status = runChild(h, before, r.at, r.byKill);
        h.backend.clearFaults();
        if (r.at == 0) {
            EXPECT_EQ(status, 0);
            return std::stoll(TempDir::read(h.temp / "writes"));
        }

        // Every key a file may have been sent under.
        const auto keysOf = [&](const std::string& below) {
            std::vector<std::string> keys{h.key(docs, below)};
            if (below.starts_with("ext/") && r.inner != Inner::never) keys.push_back(h.key(ext, below.substr(4)));
            return keys;
        };
        std::vector<std::vector<std::string>> files{keysOf("a.txt")};
        std::vector<std::string> keysAway;
        for (int i = 0; i < kFiles; ++i) {
            files.push_back(keysOf("ext/" + name(i)));
            files.push_back(keysOf("ext/deeper/" + name(i)));
            for (const auto& key : files[files.size() - (r.innerAway ? 1 : 2)]) keysAway.push_back(key);
            if (!r.innerAway) {
                for (const auto& key : files.back()) keysAway.push_back(key);
            }
        }
        for (int i = 0; i < kQueuedFiles; ++i) {
            files.push_back(keysOf("0q/" + name(i)));
            keysAway.push_back(files.back().front());
        }
        for (int i = 0; i < kMovingFiles; ++i) {
            files.push_back({h.key(other, "added/" + name(i)), h.key(added, name(i))});
            files.push_back({h.key(takenOff, name(i)), h.key(other, "takenOff/" + name(i))});
        }

        const std::string gone = r.innerAway ? deeper : ext;
        const std::string away = (h.temp / "away").string();
        mounts.move(gone, away);
        h.make().startSync(after, SyncMode::ultra);
        h.coordinator->stopSync();
        expectNoneDeleted(h, keysAway);

        mounts.move(away, gone);
        mounts.move(queuedAway, queued);
        h.make().startSync(after, SyncMode::ultra);
        h.coordinator->stopSync();
        expectEachLiveOnce(h, files);
        EXPECT_TRUE(h.retryQueue->read().empty());
        return 0;
    };
    const long long writes = round(Round{});
    ASSERT_GT(writes, 4 * kFiles);
    // Every write of the pass once, the kill and the process end taking
    // turns; the seed chooses which volume goes away, whether the folder
    // was empty at first, and the watched folders before and after the cut.
    for (long long at = 1; at <= writes; ++at) {
        std::mt19937 seed(static_cast<unsigned>(at));
        Round r;
        r.at = at;
        r.byKill = at % 2 == 1;
        r.innerAway = seed() % 2 == 0;
        r.emptyFirst = seed() % 2 == 0;
        r.inner = static_cast<Inner>(seed() % 3);
        r.innerFirst = seed() % 2 == 0;
        r.addedFirst = seed() % 2 == 0;
        r.addedKeptAfter = seed() % 2 == 0;
        SCOPED_TRACE("cut at write " + std::to_string(at) + (r.byKill ? " by a kill" : " after it") +
                     (r.innerAway ? ", the inner volume away" : ", the outer volume away") +
                     (r.emptyFirst ? ", the folder empty at first" : "") +
                     (r.inner == Inner::added      ? ", the volume's folder watched from the start after"
                      : r.inner == Inner::takenOff ? ", the volume's folder watched until the cut"
                                                   : "") +
                     (r.inner != Inner::never && r.innerFirst ? ", listed first" : "") +
                     (r.addedFirst ? ", the folder added beside listed first" : "") +
                     (r.addedKeptAfter ? ", and watched after the cut" : ""));
        round(r);
        if (::testing::Test::HasFailure()) break;
    }
}

} // namespace
} // namespace tarnwell::testing
