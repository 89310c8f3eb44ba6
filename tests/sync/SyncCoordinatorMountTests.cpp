// Volumes that come and go under watched folders: a folder whose volume is
// away, or that another folder is bound over, shows other files than the ones
// synced from it; none of them is deleted remotely, and none is sent again
// once the volume is back. Each test runs in a user and mount namespace of its
// own, where it mounts and binds as it likes.
#include "sync/SyncCoordinatorHarness.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

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
    void plugIn(const std::string& at, const std::filesystem::path& park) {
        std::filesystem::create_directories(park);
        ASSERT_EQ(::mount("tarnwell-volume", park.c_str(), "tmpfs", 0, nullptr), 0) << std::strerror(errno);
        fillVolume(park);
        ASSERT_EQ(::mount(park.c_str(), at.c_str(), nullptr, MS_MOVE, nullptr), 0) << std::strerror(errno);
        made_.push_back(at);
    }
    void bind(const std::string& from, const std::string& to) {
        ASSERT_EQ(::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
        made_.push_back(to);
    }
    // Unplugged: its files go with it.
    static void unmount(const std::string& at) { ASSERT_EQ(::umount(at.c_str()), 0) << std::strerror(errno); }
    // Unplugged and plugged in again later with the same files: the volume
    // is moved out of sight and back.
    void move(const std::string& from, const std::string& to) {
        std::filesystem::create_directories(to);
        ASSERT_EQ(::mount(from.c_str(), to.c_str(), nullptr, MS_MOVE, nullptr), 0) << std::strerror(errno);
        made_.push_back(to);
    }

    static constexpr int kVolumeFiles = 10;
    static std::string name(int i) { return "doc" + std::to_string(i) + ".txt"; }
    static void fillVolume(const std::filesystem::path& folder) {
        for (int i = 0; i < kVolumeFiles; ++i) {
            std::ofstream(folder / name(i)) << "volume file " << i;
            SyncHarness::setModificationTime(folder / name(i), 1'600'000'000 + i);
        }
    }

private:
    std::vector<std::string> made_;
};

constexpr int kVolumeFiles = Mounts::kVolumeFiles;
std::string name(int i) { return Mounts::name(i); }

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

} // namespace
} // namespace tarnwell::testing
