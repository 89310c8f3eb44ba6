// Which mount each folder is on, and what a watched folder's files were last
// seen on.
//
// A folder that shows no files tells nothing about the files it held when
// the volume they are on is away (the bare mount-point folder shows) or when
// another file system or folder is mounted over it: deletes are trusted only
// where a folder is on the mount its files were last seen on. Where that is
// not known (files synced before it was remembered), a folder that shows
// none of those files is not taken as emptied either, until something tells
// where they were: some of them show again on a volume that came back, or
// the folder, seen there before, is gone from the mount it was seen on. A
// file once judged gone stays so: where it was is remembered from then on,
// so a delete that failed or was cut short is tried again. A mount is named by
// where it is mounted and by what is mounted there (the type, the source and
// the folder of its file system), so that the same volume mounted again, or
// after a restart, is known again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/types.h>

#include "State/LocalDatabase.hpp"
#include "State/SharedModels.hpp"

namespace tarnwell {

// One mount as /proc/self/mountinfo lists it (escapes undone).
struct MountEntry {
    std::uint64_t id = 0;
    std::uint64_t parentID = 0;
    dev_t device = 0;
    std::string fsRoot;     // the folder of its file system that is mounted
    std::string mountPoint; // where, as this process sees it
    std::string fsType;
    std::string source;
};

class MountTable {
public:
    // The mounts of this process now; empty when they can't be read.
    static MountTable current();
    static MountTable parse(std::string_view text);

    bool empty() const { return entries_.empty(); }
    const std::vector<MountEntry>& entries() const { return entries_; }
    const MountEntry* find(std::uint64_t id) const;

    // The mount the folder at path is on, or none when the path can't be
    // looked up.
    std::optional<std::uint64_t> mountOf(const std::string& path) const;

    // Text that names the mounts at or below a folder (a path without links)
    // and the mount the folder itself is on: it changes when anything is
    // mounted or unmounted there.
    std::string signature(const std::string& folder, const std::string& realFolder) const;

private:
    std::vector<MountEntry> entries_;
    std::unordered_map<std::uint64_t, std::size_t> byID_;
};

// The mounts of this process, read again only when something was mounted
// or unmounted since they were last read (the kernel flags an open
// /proc/self/mountinfo then), so that many lookups cost one read.
class MountWatch {
public:
    MountWatch();
    ~MountWatch();
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    // The mounts as last read.
    const MountTable& table() const { return table_; }
    // Reads the mounts again when they may have changed since they were
    // last read (always, when no change can be told); true when it did.
    bool refresh();

private:
    void read();

    int fd_ = -1;
    MountTable table_;
};

// Stable text naming a mount: mount point, type, source and mounted folder.
std::string mountIdentity(const MountEntry& entry);
// The mount point an identity names.
std::string_view mountPointOf(std::string_view identity);

// The current mount of the folders of one watched root: the root's own, or
// for a folder at or below a mount point inside the root, what is mounted
// at the deepest such point (looked up once per point).
class RootMounts {
public:
    RootMounts(std::string root, MountTable table);

    // False when the mounts can't be told (no mount table to read).
    bool known() const { return known_; }
    // The identity of the mount a folder at or below the root is on; a
    // missing folder is on the mount of the nearest folder above it.
    const std::string& identityOf(std::string_view folder);
    const std::string& rootIdentity() const { return rootIdentity_; }
    // True when no mount lies below the root.
    bool single() const { return innerPoints_.empty(); }
    // True when a folder is on a volume mounted at or below the root (which
    // may be away while the root is there), not on one mounted above it.
    bool onVolumeWithin(std::string_view folder) const { return rootIsMountPoint_ || pointOf(folder).has_value(); }
    const std::string& signature() const { return signature_; }

    // The mount points below the root, as paths below the root's own path,
    // each before the points below it.
    const std::vector<std::string>& innerPoints() const { return innerPoints_; }
    // The deepest of them at or above a folder, if any.
    std::optional<std::size_t> pointOf(std::string_view folder) const;
    // What is mounted at one of them now.
    const std::string& identityAt(std::size_t point);

private:
    const std::string& identityOfMount(std::uint64_t id);

    std::string root_;
    MountTable table_;
    bool known_ = false;
    bool rootIsMountPoint_ = false;
    std::string rootIdentity_;
    std::string signature_;
    // The mount points below the root, as paths below the root's own path.
    std::vector<std::string> innerPoints_;
    std::unordered_map<std::uint64_t, std::string> identities_;
    std::unordered_map<std::string, std::string> cache_; // by mount point
};

// What the files of one watched root were on when they were last seen: an
// identity per folder where it differs from the folder above (so a mount
// boundary and the folders between boundaries cost one entry), and per file
// where it differs from its folder's. An empty identity means "not known":
// files synced before this memory existed, and not seen since. For a folder
// of such files that was there when they were not, it also keeps the mount
// the folder was seen on. Kept as compact JSON.
class SeenMounts {
public:
    static SeenMounts fromJSON(const std::string& text);
    std::string toJSON() const;

    bool empty() const { return folders_.empty() && files_.empty() && held_.empty(); }
    // Whether some file is remembered apart from its folder.
    bool hasFiles() const { return !files_.empty(); }
    // Empty when nothing is known; valid while this memory is.
    std::string_view ofFolder(std::string_view folder) const;
    std::string_view ofFile(std::string_view file, std::string_view folder) const;
    // The mount a folder of files whose mount is not known was last seen
    // on, there but without them; empty when it was not seen so.
    std::string_view heldFolder(std::string_view folder) const;
    void holdFolder(std::string folder, std::string identity);
    // One file on a mount of its own, whatever its folder is on.
    void rememberFile(std::string file, std::string identity);

    // One file and the identity it was last seen on (empty: not known).
    struct Item {
        std::string_view file;
        std::string_view folder;
        std::string_view identity;
    };
    // The memory of these files, all at or below root; `previous` breaks
    // ties of a folder whose files were seen on more than one mount.
    static SeenMounts build(const std::vector<Item>& items, const SeenMounts& previous, std::string_view root);
    // All files of the root on one mount.
    static SeenMounts single(const std::string& root, const std::string& identity);
    // The files at or below the root on the root's mount (none: not known),
    // the others on what is mounted at the deepest of `points` above them
    // (paths and identities, each point before the points below it).
    static SeenMounts boundaries(const std::string& root, const std::string* rootIdentity,
                                 const std::vector<std::pair<std::string, std::string>>& points);

    bool operator==(const SeenMounts&) const = default;

private:
    std::map<std::string, std::string, std::less<>> folders_;
    std::map<std::string, std::string, std::less<>> files_;
    std::map<std::string, std::string, std::less<>> held_;
};

// The folder that holds a path ("/" for a file in "/").
std::string_view parentFolder(std::string_view path);

// The delete guard of one pass over a watched root: reads the mounts and
// what the root's files were last seen on, tells which rows must stay, and
// remembers what this pass saw (in the preferences, under a key per root).
//
// What is remembered of a file's mount is written before its row: a pass
// first remembers the mount of every file it found (rememberFound), then
// writes rows, then judges the rows whose files it did not find by what was
// remembered before it began, and remembers the outcome (save). A pass cut
// short at any point leaves no row whose mount is not remembered.
class MountGuard {
public:
    // The root's stored rows and, for each, whether this pass found its file;
    // `table`, the mounts as they were when the walk began. A row recorded
    // under another watched folder (one that owned its file before) is
    // judged by what that folder remembered of it. `others` are files of the
    // root's that another pass judges (they lie in a watched folder inside
    // it): what is remembered of them is kept as it is.
    MountGuard(const std::string& root, LocalDatabase& database, const std::vector<FileStateRow>& rows,
               const std::vector<bool>& rowSeen, std::vector<std::string> others, MountTable table);

    // Text that changes when anything is mounted or unmounted at or below
    // the root, or over it.
    static std::string signatureNow(const std::string& root);
    static std::string signatureOf(const MountTable& table, const std::string& root);
    const std::string& signature() const { return mounts_.signature(); }

    // Before the pass writes any row: remembers every file found (sorted
    // paths) as on its folder's mount, keeping what is remembered of the
    // rows not found. Writes only when that changes what is remembered.
    // False, writing nothing, when the mounts are no longer those the walk
    // began with (`walkSignature`): the files found are not what the folder
    // holds now. Throws database failures.
    bool rememberFound(const std::vector<std::string>& files, const std::string& walkSignature);
    // Reads the mounts anew, for judging the rows once the files are done.
    void readMountsAgain();

    // True when the file of a row that this pass did not find may well still
    // exist: its folder is not on the mount that file was last seen on, or,
    // with no such memory, nothing shows where the file was. A row it
    // judges gone is remembered as on its folder's mount, so that it is
    // judged gone again when its delete fails.
    bool keeps(std::size_t row);

    // A folder whose rows stay, as found by keeps(): the topmost one of the
    // change, the line that tells why, and text that is the same as long as
    // the change is.
    struct Change {
        std::string folder;
        std::string line;
        std::string key;
    };
    const std::vector<Change>& changes() const { return changes_; }

    // Remembers the mount of every file found (`files`) and keeps what was
    // remembered for the rows that stay (neither found nor deleted).
    void save(const std::vector<std::string>& files, const std::vector<bool>& rowDeleted);

private:
    // What to remember once the files found are known, and the rows for
    // which `stays` holds keep what is remembered of them.
    template <typename Stays>
    SeenMounts nextMemory(const std::vector<std::string>& files, const Stays& stays);
    void write(const SeenMounts& next);
    bool keepsUnremembered(std::size_t row);
    void noteChange(const std::string& folder, std::string line, std::string key);
    bool isFolder(const std::string& path);
    const std::unordered_set<std::string>& foldersShowingUnremembered();
    const std::unordered_set<std::string>& volumesBack();
    // What is remembered of a row's file, with what this pass judged.
    std::string_view memoryOf(std::size_t row) const;

    std::string root_;
    LocalDatabase& database_;
    const std::vector<FileStateRow>& rows_;
    const std::vector<bool>& rowSeen_;
    const std::vector<std::string> others_;
    std::string key_;
    RootMounts mounts_;
    SeenMounts seen_;
    // Whether any memory was kept for the root before this pass.
    bool remembered_ = false;
    // What is remembered on disk now, when anything is.
    std::optional<SeenMounts> stored_;
    // Rows recorded under another folder, with what it remembered of them.
    std::unordered_map<std::size_t, std::string> handedOver_;
    std::vector<Change> changes_;
    std::unordered_map<std::string, bool> isFolder_;
    std::optional<std::unordered_set<std::string>> showingUnremembered_;
    std::optional<std::unordered_set<std::string>> volumesBack_;
    // Rows without memory judged gone by this pass, with their folder's mount.
    std::unordered_map<std::size_t, std::string> judgedGone_;
};

// The mounts of the files the retry drain sends, remembered before their
// rows are written, as a pass remembers the files it found. The mounts,
// each folder's place among them and what it remembers are read once per
// drain, and again only when something is mounted or unmounted; nothing is
// remembered for a folder that remembers nothing yet, so that its files are
// judged as files synced before. A file's mount is trusted only when the
// mounts it was looked up in were still the current ones once the file was
// found there: a volume mounted meanwhile shows its files where the mounts
// read before still place the bare folder below it.
class SentFileMounts {
public:
    explicit SentFileMounts(LocalDatabase& database) : database_(database) {}

    // Called after each file's mount was looked up, before the file is
    // looked for there (tests change the mounts then).
    std::function<void()> afterLookup;

    // Before anything is sent: the files the drain may record, each with the
    // folder it would be recorded under. The mount of each one that is there
    // is remembered where it is not yet, in one write per folder, so that
    // recording them later writes nothing more. Throws database failures.
    void prepare(const std::vector<std::pair<std::string, std::string>>& folderAndFile);
    // Before a sent file's row is written: its mount, looked up anew when
    // the mounts changed since. False when the file is not there once its
    // mount was looked up (its volume may have gone): where it was is not
    // known, and no row may say it is. Throws database failures.
    bool remember(const std::string& folder, const std::string& file);

private:
    struct Folder {
        std::optional<SeenMounts> seen; // none: nothing remembered yet
        std::optional<RootMounts> mounts;
    };
    Folder& folder(const std::string& root);
    // Reads the mounts again, and places each folder among them anew, when
    // something was mounted or unmounted since they were read; true when it
    // did.
    bool refresh();
    // The mount a file is on now, or none when it can't be told; empty
    // when the file is not there once its mount was looked up.
    std::optional<std::string> mountOfFile(Folder& folder, const std::string& root, const std::string& file);

    LocalDatabase& database_;
    MountWatch watch_;
    std::unordered_map<std::string, Folder> folders_;
};

} // namespace tarnwell
