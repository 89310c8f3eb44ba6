#include "Sync/MountTable.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <nlohmann/json.hpp>

namespace tarnwell {

namespace {

// Undoes the octal escapes (\040 for a space and the like) of a mountinfo field.
std::string unescaped(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        field.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        if (end > start) fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

std::uint64_t number(std::string_view text) {
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// True when path lies strictly below folder (both without trailing "/").
bool isStrictlyBelow(std::string_view path, std::string_view folder) {
    if (folder == "/") return path.size() > 1 && path.front() == '/';
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

bool isAtOrBelow(std::string_view path, std::string_view folder) {
    return path == folder || isStrictlyBelow(path, folder);
}

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer)) return buffer;
    return path;
}

} // namespace

std::string_view parentFolder(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return path;
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

MountTable MountTable::current() {
    std::ifstream in("/proc/self/mountinfo");
    if (!in) return {};
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(text);
}

MountTable MountTable::parse(std::string_view text) {
    MountTable table;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::vector<std::string_view> fields = splitFields(text.substr(start, end - start));
        start = end + 1;
        // id parent major:minor root mount-point options [optional...] - type source super-options
        const auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
        if (fields.size() < 6 || dash == fields.end() || std::distance(dash, fields.end()) < 3) continue;
        MountEntry entry;
        entry.id = number(fields[0]);
        entry.parentID = number(fields[1]);
        const auto colon = fields[2].find(':');
        if (colon != std::string_view::npos) {
            entry.device = ::makedev(static_cast<unsigned>(number(fields[2].substr(0, colon))),
                                     static_cast<unsigned>(number(fields[2].substr(colon + 1))));
        }
        entry.fsRoot = unescaped(fields[3]);
        entry.mountPoint = unescaped(fields[4]);
        entry.fsType = unescaped(*(dash + 1));
        entry.source = unescaped(*(dash + 2));
        table.byID_.emplace(entry.id, table.entries_.size());
        table.entries_.push_back(std::move(entry));
    }
    return table;
}

const MountEntry* MountTable::find(std::uint64_t id) const {
    const auto found = byID_.find(id);
    return found == byID_.end() ? nullptr : &entries_[found->second];
}

std::optional<std::uint64_t> MountTable::mountOf(const std::string& path) const {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MNT_ID, &info) != 0) {
        return std::nullopt;
    }
    if (info.stx_mask & STATX_MNT_ID) return info.stx_mnt_id;
    // Kernels before 5.8: the topmost mount of the folder's device whose
    // mount point lies deepest above it.
    const dev_t device = ::makedev(info.stx_dev_major, info.stx_dev_minor);
    const std::string real = realPath(path);
    const MountEntry* best = nullptr;
    for (const auto& entry : entries_) {
        if (entry.device != device || !isAtOrBelow(real, entry.mountPoint)) continue;
        if (!best || entry.mountPoint.size() >= best->mountPoint.size()) best = &entry;
    }
    if (!best) return std::nullopt;
    return best->id;
}

std::string MountTable::signature(const std::string& folder, const std::string& realFolder) const {
    std::string text = std::to_string(mountOf(folder).value_or(0));
    for (const auto& entry : entries_) {
        if (!isStrictlyBelow(entry.mountPoint, realFolder)) continue;
        text += ' ';
        text += std::to_string(entry.id);
    }
    return text;
}

namespace {

// A block device by the id of the file system on it, which stays when the
// device's name changes from one plugging or boot to the next.
std::string stableSource(const std::string& source) {
    if (source.rfind("/dev/", 0) != 0) return source;
    std::error_code error;
    const auto device = std::filesystem::canonical(source, error);
    if (error) return source;
    for (const auto& link : std::filesystem::directory_iterator("/dev/disk/by-uuid", error)) {
        std::error_code ignored;
        if (std::filesystem::canonical(link.path(), ignored) == device && !ignored) {
            return "UUID=" + link.path().filename().string();
        }
    }
    return source;
}

} // namespace

std::string mountIdentity(const MountEntry& entry) {
    return entry.mountPoint + '\t' + entry.fsType + '\t' + stableSource(entry.source) + '\t' + entry.fsRoot;
}

MountWatch::MountWatch() : fd_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) { read(); }

MountWatch::~MountWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void MountWatch::read() {
    if (fd_ < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
        table_ = MountTable::current();
        return;
    }
    std::string text;
    char buffer[16384];
    while (true) {
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        text.append(buffer, static_cast<std::size_t>(count));
    }
    table_ = MountTable::parse(text);
}

bool MountWatch::refresh() {
    if (fd_ >= 0) {
        // The kernel raises the flag once per change, and this look takes
        // it down again.
        pollfd watched{fd_, POLLPRI, 0};
        const int ready = ::poll(&watched, 1, 0);
        if (ready == 0 || (ready == 1 && (watched.revents & (POLLPRI | POLLERR)) == 0)) return false;
    }
    read();
    return true;
}

std::string_view mountPointOf(std::string_view identity) {
    return identity.substr(0, identity.find('\t'));
}

RootMounts::RootMounts(std::string root, MountTable table) : root_(std::move(root)), table_(std::move(table)) {
    if (table_.empty()) return;
    const std::string real = realPath(root_);
    signature_ = table_.signature(root_, real);
    const auto id = table_.mountOf(root_);
    const MountEntry* entry = id ? table_.find(*id) : nullptr;
    if (!entry) return;
    known_ = true;
    rootIsMountPoint_ = entry->mountPoint == real;
    rootIdentity_ = mountIdentity(*entry);
    // The walk does not follow links, so a folder below the root is the
    // root's real path plus its own part below the root.
    const std::string_view base = root_ == "/" ? std::string_view() : std::string_view(root_);
    for (const auto& inner : table_.entries()) {
        if (!isStrictlyBelow(inner.mountPoint, real)) continue;
        const std::string_view below = std::string_view(inner.mountPoint).substr(real == "/" ? 0 : real.size());
        innerPoints_.push_back(std::string(base) + std::string(below));
    }
    std::sort(innerPoints_.begin(), innerPoints_.end());
    innerPoints_.erase(std::unique(innerPoints_.begin(), innerPoints_.end()), innerPoints_.end());
}

const std::string& RootMounts::identityOfMount(std::uint64_t id) {
    if (auto found = identities_.find(id); found != identities_.end()) return found->second;
    const MountEntry* entry = table_.find(id);
    // A mount made after the table was read: unknown, so never the one remembered.
    return identities_.emplace(id, entry ? mountIdentity(*entry) : std::string("(unknown mount)")).first->second;
}

std::optional<std::size_t> RootMounts::pointOf(std::string_view folder) const {
    if (innerPoints_.empty() || folder == root_ || !isStrictlyBelow(folder, root_)) return std::nullopt;
    // Nothing is mounted between the deepest mount point above a folder and
    // the folder: it is on what is mounted there.
    std::optional<std::size_t> deepest;
    for (std::size_t i = 0; i < innerPoints_.size(); ++i) {
        if (isAtOrBelow(folder, innerPoints_[i]) && (!deepest || innerPoints_[i].size() > innerPoints_[*deepest].size())) {
            deepest = i;
        }
    }
    return deepest;
}

const std::string& RootMounts::identityOf(std::string_view folder) {
    if (!known_) return rootIdentity_;
    const auto point = pointOf(folder);
    return point ? identityAt(*point) : rootIdentity_;
}

const std::string& RootMounts::identityAt(std::size_t point) {
    const std::string& path = innerPoints_[point];
    if (auto cached = cache_.find(path); cached != cache_.end()) return cached->second;
    // A mount point that is gone (or hidden under another mount) is on the
    // mount of the folder above it.
    const auto id = table_.mountOf(path);
    std::string identity = id ? identityOfMount(*id) : identityOf(parentFolder(path));
    return cache_.emplace(path, std::move(identity)).first->second;
}

SeenMounts SeenMounts::fromJSON(const std::string& text) {
    SeenMounts seen;
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) return seen;
    for (const char* part : {"folders", "files", "held"}) {
        const auto found = json.find(part);
        if (found == json.end() || !found->is_object()) continue;
        auto& target = part[1] == 'o' ? seen.folders_ : part[1] == 'i' ? seen.files_ : seen.held_;
        for (const auto& [path, identity] : found->items()) {
            if (identity.is_string()) target.emplace(path, identity.get<std::string>());
        }
    }
    return seen;
}

std::string SeenMounts::toJSON() const {
    nlohmann::json json = nlohmann::json::object();
    json["folders"] = folders_;
    if (!files_.empty()) json["files"] = files_;
    if (!held_.empty()) json["held"] = held_;
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string_view SeenMounts::ofFolder(std::string_view folder) const {
    if (folders_.empty()) return {};
    std::string_view path = folder;
    while (true) {
        if (auto found = folders_.find(path); found != folders_.end()) return found->second;
        const std::string_view parent = parentFolder(path);
        if (parent == path) return {};
        path = parent;
    }
}

std::string_view SeenMounts::ofFile(std::string_view file, std::string_view folder) const {
    if (auto found = files_.find(file); found != files_.end()) return found->second;
    return ofFolder(folder);
}

std::string_view SeenMounts::heldFolder(std::string_view folder) const {
    const auto found = held_.find(folder);
    return found == held_.end() ? std::string_view() : std::string_view(found->second);
}

void SeenMounts::holdFolder(std::string folder, std::string identity) {
    held_.insert_or_assign(std::move(folder), std::move(identity));
}

void SeenMounts::rememberFile(std::string file, std::string identity) {
    files_.insert_or_assign(std::move(file), std::move(identity));
}

SeenMounts SeenMounts::single(const std::string& root, const std::string& identity) {
    SeenMounts seen;
    seen.folders_.emplace(root, identity);
    return seen;
}

SeenMounts SeenMounts::boundaries(const std::string& root, const std::string* rootIdentity,
                                  const std::vector<std::pair<std::string, std::string>>& points) {
    SeenMounts seen;
    if (rootIdentity) seen.folders_.emplace(root, *rootIdentity);
    for (const auto& [point, identity] : points) {
        if (seen.ofFolder(point) != identity) seen.folders_.emplace(point, identity);
    }
    return seen;
}

namespace {

// How many times each identity came up, in the order first seen; the first
// one is kept in place, as a folder's files are nearly always on one mount.
struct Tally {
    std::string_view first;
    std::size_t firstCount = 0;
    std::vector<std::pair<std::string_view, std::size_t>> more;

    bool empty() const { return firstCount == 0; }
    void count(std::string_view identity) {
        if (firstCount == 0 || identity == first) {
            first = identity;
            ++firstCount;
            return;
        }
        for (auto& [seen, times] : more) {
            if (seen == identity) {
                ++times;
                return;
            }
        }
        more.emplace_back(identity, 1);
    }
    // The identity most often counted; `before()`, the one remembered
    // before, where it is among them, so that a folder split between two
    // mounts keeps its choice.
    template <typename Before>
    std::string_view most(const Before& before) const {
        if (more.empty()) return first;
        const std::string_view previous = before();
        std::string_view best = first;
        std::size_t bestCount = firstCount;
        if (!previous.empty() && previous == first) return first;
        for (const auto& [identity, times] : more) {
            if (!previous.empty() && identity == previous) return identity;
            if (times > bestCount) {
                best = identity;
                bestCount = times;
            }
        }
        return best;
    }
};

} // namespace

SeenMounts SeenMounts::build(const std::vector<Item>& items, const SeenMounts& previous, std::string_view root) {
    // The folders of the items and every folder between them and the root.
    struct Folder {
        std::string_view path;
        Folder* parent = nullptr;
        std::size_t depth = 0;
        Tally files;    // the identities of its own files
        Tally children; // the identities of the folders right below it
        std::string_view identity;
    };
    std::unordered_map<std::string_view, Folder> folders;
    folders.reserve(items.size() + 16);
    std::vector<Folder*> order;
    std::vector<Folder*> folderOfItem;
    folderOfItem.reserve(items.size());
    for (const auto& item : items) {
        auto [it, added] = folders.try_emplace(item.folder);
        if (added) {
            it->second.path = it->first;
            order.push_back(&it->second);
        }
        it->second.files.count(item.identity);
        folderOfItem.push_back(&it->second);
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        Folder* folder = order[i];
        folder->depth = static_cast<std::size_t>(std::count(folder->path.begin(), folder->path.end(), '/'));
        if (folder->path == root || !isStrictlyBelow(folder->path, root)) continue;
        auto [it, added] = folders.try_emplace(parentFolder(folder->path));
        if (added) {
            it->second.path = it->first;
            order.push_back(&it->second);
        }
        folder->parent = &it->second;
    }
    std::sort(order.begin(), order.end(), [](const Folder* a, const Folder* b) { return a->depth > b->depth; });
    // From the deepest folder up: a folder with files takes the mount most of
    // them were on, one without takes the one most of the folders below it
    // were on, so that the folders between two mount boundaries inherit
    // their identity from the topmost of them.
    for (Folder* folder : order) {
        const Tally& from = folder->files.empty() ? folder->children : folder->files;
        folder->identity = from.most([&] { return previous.ofFolder(folder->path); });
        if (folder->parent) folder->parent->children.count(folder->identity);
    }
    SeenMounts seen;
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const Folder* folder = *it;
        const std::string_view above = folder->parent ? folder->parent->identity : std::string_view();
        if (folder->identity != above) seen.folders_.emplace(std::string(folder->path), std::string(folder->identity));
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].identity != folderOfItem[i]->identity) {
            seen.files_.emplace(std::string(items[i].file), std::string(items[i].identity));
        }
    }
    return seen;
}

namespace {

constexpr const char* kSeenMountsKey = "mounts_seen:";

} // namespace

MountGuard::MountGuard(const std::string& root, LocalDatabase& database, const std::vector<FileStateRow>& rows,
                       const std::vector<bool>& rowSeen, std::vector<std::string> othersJudge, MountTable table)
    : root_(root), database_(database), rows_(rows), rowSeen_(rowSeen), others_(std::move(othersJudge)),
      key_(kSeenMountsKey + root), mounts_(root, std::move(table)) {
    if (!mounts_.known()) return;
    if (auto text = database_.preference(key_)) {
        seen_ = SeenMounts::fromJSON(*text);
        remembered_ = true;
        stored_ = seen_;
    }
    // A folder that is no longer watched on its own hands its rows over to
    // the folder that holds them now, and with them what it remembered.
    std::map<std::string_view, std::optional<SeenMounts>> others;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const FileStateRow& row = rows_[i];
        if (row.rootPath == root_) continue;
        auto [other, added] = others.try_emplace(row.rootPath);
        if (added) {
            if (auto text = database_.preference(kSeenMountsKey + row.rootPath)) {
                other->second = SeenMounts::fromJSON(*text);
            }
        }
        handedOver_.emplace(i, other->second ? std::string(other->second->ofFile(row.path, parentFolder(row.path)))
                                             : std::string());
    }
}

std::string MountGuard::signatureNow(const std::string& root) {
    return signatureOf(MountTable::current(), root);
}

std::string MountGuard::signatureOf(const MountTable& table, const std::string& root) {
    return table.signature(root, realPath(root));
}

void MountGuard::readMountsAgain() {
    mounts_ = RootMounts(root_, MountTable::current());
    isFolder_.clear();
}

bool MountGuard::rememberFound(const std::vector<std::string>& files, const std::string& walkSignature) {
    if (!mounts_.known() || files.empty()) return true;
    bool covered = remembered_;
    std::string_view lastFolder;
    for (std::size_t i = 0; i < files.size() && covered; ++i) {
        const std::string_view folder = parentFolder(files[i]);
        if (i > 0 && folder == lastFolder && !seen_.hasFiles()) continue;
        lastFolder = folder;
        covered = seen_.ofFile(files[i], folder) == mounts_.identityOf(folder);
    }
    std::optional<SeenMounts> next;
    if (!covered) next = nextMemory(files, [&](std::size_t i) { return !rowSeen_[i]; });
    // The mounts were looked up after the walk: they must still be the ones
    // it walked, or a file of a volume gone meanwhile would be remembered on
    // the bare folder left in its place.
    if (signatureNow(root_) != walkSignature) return false;
    if (next) write(*next);
    return true;
}

void MountGuard::noteChange(const std::string& folder, std::string line, std::string key) {
    if (std::none_of(changes_.begin(), changes_.end(), [&](const Change& c) { return c.folder == folder; })) {
        changes_.push_back({folder, std::move(line), std::move(key)});
    }
}

bool MountGuard::keeps(std::size_t index) {
    if (!mounts_.known()) return false; // nothing to tell mounts by: the folder is trusted
    const FileStateRow& row = rows_[index];
    const std::string_view folder = parentFolder(row.path);
    const std::string_view was = memoryOf(index);
    if (was.empty()) return keepsUnremembered(index);
    std::string top(folder);
    const std::string now = mounts_.identityOf(top);
    if (was == now) return false;
    // Up to the folder where the change begins (a mount point, as a rule).
    while (top != root_) {
        const std::string parent(parentFolder(top));
        if (!isAtOrBelow(parent, root_) || seen_.ofFolder(parent) != was || mounts_.identityOf(parent) != now) break;
        top = parent;
    }
    const bool volumeAway = isStrictlyBelow(mountPointOf(was), mountPointOf(now));
    noteChange(top,
               "Cannot open " + top + " (" +
                   (volumeAway ? "the volume it was on is not mounted" : "another volume or folder is mounted over it") +
                   "); deletes skipped for this folder.",
               std::string(was) + '\n' + now);
    return true;
}

bool MountGuard::isFolder(const std::string& path) {
    if (auto found = isFolder_.find(path); found != isFolder_.end()) return found->second;
    struct stat info {};
    const bool folder = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return isFolder_.emplace(path, folder).first->second;
}

const std::unordered_set<std::string>& MountGuard::foldersShowingUnremembered() {
    if (showingUnremembered_) return *showingUnremembered_;
    auto& folders = showingUnremembered_.emplace();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (!rowSeen_[i]) continue;
        std::string_view folder = parentFolder(rows_[i].path);
        if (!memoryOf(i).empty()) continue;
        while (folders.emplace(folder).second && folder != root_ && isStrictlyBelow(folder, root_)) {
            folder = parentFolder(folder);
        }
    }
    return folders;
}

std::string_view MountGuard::memoryOf(std::size_t row) const {
    if (auto judged = judgedGone_.find(row); judged != judgedGone_.end()) return judged->second;
    if (!handedOver_.empty()) {
        if (auto handed = handedOver_.find(row); handed != handedOver_.end()) return handed->second;
    }
    return seen_.ofFile(rows_[row].path, parentFolder(rows_[row].path));
}

// The mount recorded for the nearest folder at or above `folder` (up to the
// root) that was seen without the files below it; empty when none was.
static std::string_view heldAbove(const SeenMounts& seen, std::string_view folder, std::string_view root) {
    while (true) {
        if (auto held = seen.heldFolder(folder); !held.empty()) return held;
        if (folder == root || !isStrictlyBelow(folder, root)) return {};
        folder = parentFolder(folder);
    }
}

// The volumes, mounted at or below the root, on which files not seen since
// the mounts were remembered show again where something else stood when
// they were missed: such a volume is back, and where its files were is
// known.
const std::unordered_set<std::string>& MountGuard::volumesBack() {
    if (volumesBack_) return *volumesBack_;
    auto& volumes = volumesBack_.emplace();
    if (!remembered_) return volumes;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (!rowSeen_[i]) continue;
        const std::string_view folder = parentFolder(rows_[i].path);
        if (!memoryOf(i).empty() || !mounts_.onVolumeWithin(folder)) continue;
        const std::string& now = mounts_.identityOf(folder);
        if (heldAbove(seen_, folder, root_) != now) volumes.insert(now);
    }
    return volumes;
}

// A file synced before its mount was remembered, and not found now. It is
// judged gone when something tells where it was:
// - the volume its folder is on now is back (see volumesBack()), and its
//   folder was not on it already when the file was missed;
// - its folder, seen there without it before, is gone from the mount it
//   was seen on: it was removed;
// - its folder (or, when that is gone, the nearest folder above it that is
//   there) still shows some of the other files synced before the mounts
//   were remembered: a bare mount-point folder, or anything mounted over
//   the folder, shows none of them. Files synced since do not count, as
//   they may have been written into a bare mount-point folder.
// Otherwise it stays: its folder might be a volume's bare mount point.
bool MountGuard::keepsUnremembered(std::size_t index) {
    const FileStateRow& row = rows_[index];
    const std::string own(parentFolder(row.path));
    const std::string& now = mounts_.identityOf(own);
    bool gone = volumesBack().contains(now) && heldAbove(seen_, own, root_) != now;
    if (!gone) {
        const std::string_view held = seen_.heldFolder(own);
        gone = !held.empty() && held == now && !isFolder(own);
    }
    if (!gone) {
        std::string folder = own;
        while (folder != root_ && isStrictlyBelow(folder, root_) && !isFolder(folder)) {
            folder = std::string(parentFolder(folder));
        }
        if (!foldersShowingUnremembered().contains(folder)) {
            noteChange(folder,
                       "None of the synced files of " + folder +
                           " is there, and the volume they were on is not known (it may not be mounted); deletes "
                           "skipped for this folder.",
                       "not remembered");
            return true;
        }
    }
    judgedGone_.emplace(index, now);
    return false;
}

void MountGuard::save(const std::vector<std::string>& files, const std::vector<bool>& rowDeleted) {
    if (!mounts_.known()) return;
    write(nextMemory(files, [&](std::size_t i) { return !rowSeen_[i] && !rowDeleted[i]; }));
}

void MountGuard::write(const SeenMounts& next) {
    // Written also when empty: from then on, a file with nothing remembered
    // was missed by a pass.
    if (stored_ && next == *stored_) return;
    database_.setPreference(next.toJSON(), key_);
    stored_ = next;
}

template <typename Stays>
SeenMounts MountGuard::nextMemory(const std::vector<std::string>& files, const Stays& stays) {
    const std::string& rootIdentity = mounts_.rootIdentity();
    bool anyStays = !others_.empty();
    bool staysOnRoot = true;
    for (std::size_t i = 0; i < rows_.size() && staysOnRoot; ++i) {
        if (!stays(i)) continue;
        anyStays = true;
        staysOnRoot = memoryOf(i) == rootIdentity;
    }
    for (std::size_t i = 0; i < others_.size() && staysOnRoot; ++i) {
        staysOnRoot = seen_.ofFile(others_[i], parentFolder(others_[i])) == rootIdentity;
    }
    SeenMounts next;
    if (!anyStays) {
        // The common case: every row was found or deleted, and each file
        // found is on what is mounted at the deepest mount point above its
        // folder, or on the root's mount. Only those boundaries that files
        // were found below are remembered.
        const auto& points = mounts_.innerPoints();
        std::vector<bool> used(points.size(), false);
        bool rootUsed = false;
        std::string_view lastFolder;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string_view folder = parentFolder(files[i]);
            if (i > 0 && folder == lastFolder) continue;
            lastFolder = folder;
            if (const auto point = mounts_.pointOf(folder)) {
                used[*point] = true;
            } else {
                rootUsed = true;
            }
        }
        std::vector<std::pair<std::string, std::string>> boundaries;
        for (std::size_t i = 0; i < points.size(); ++i) {
            if (used[i]) boundaries.emplace_back(points[i], mounts_.identityAt(i));
        }
        next = SeenMounts::boundaries(root_, rootUsed ? &rootIdentity : nullptr, boundaries);
    } else if (mounts_.single() && staysOnRoot) {
        next = SeenMounts::single(root_, rootIdentity);
    } else {
        // A found file was on its folder's mount now; a row that stays keeps
        // what was remembered of it, which may be nothing: where its file was
        // is not learnt from a pass that did not see it.
        std::vector<SeenMounts::Item> items;
        items.reserve(files.size());
        std::string_view lastFolder;
        const std::string* lastIdentity = nullptr;
        for (const auto& file : files) {
            const std::string_view folder = parentFolder(file);
            if (!lastIdentity || folder != lastFolder) {
                lastFolder = folder;
                lastIdentity = &mounts_.identityOf(folder);
            }
            items.push_back({file, folder, *lastIdentity});
        }
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            if (!stays(i)) continue;
            items.push_back({rows_[i].path, parentFolder(rows_[i].path), memoryOf(i)});
        }
        for (const auto& file : others_) {
            const std::string_view folder = parentFolder(file);
            items.push_back({file, folder, seen_.ofFile(file, folder)});
        }
        next = SeenMounts::build(items, seen_, root_);
        // What was seen of the folders of the files another pass judges.
        for (const auto& file : others_) {
            if (!seen_.ofFile(file, parentFolder(file)).empty()) continue;
            for (std::string_view folder = parentFolder(file);; folder = parentFolder(folder)) {
                if (auto held = seen_.heldFolder(folder); !held.empty()) next.holdFolder(std::string(folder), std::string(held));
                if (folder == root_ || !isStrictlyBelow(folder, root_)) break;
            }
        }
        // For the files whose mount is still not known: the mount of the
        // folder they were missed in, or of the nearest folder above it
        // that is there. A folder not there now keeps what was seen of it.
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            if (!stays(i) || !memoryOf(i).empty()) continue;
            std::string folder(parentFolder(rows_[i].path));
            while (true) {
                if (isFolder(folder)) {
                    next.holdFolder(folder, mounts_.identityOf(folder));
                    break;
                }
                if (auto held = seen_.heldFolder(folder); !held.empty()) next.holdFolder(folder, std::string(held));
                if (folder == root_ || !isStrictlyBelow(folder, root_)) break;
                folder = std::string(parentFolder(folder));
            }
        }
    }
    return next;
}

SentFileMounts::Folder& SentFileMounts::folder(const std::string& root) {
    auto [it, added] = folders_.try_emplace(root);
    if (added) {
        if (auto text = database_.preference(kSeenMountsKey + root)) it->second.seen = SeenMounts::fromJSON(*text);
    }
    return it->second;
}

std::optional<std::string> SentFileMounts::mountOfFile(Folder& entry, const std::string& root,
                                                       const std::string& file) {
    if (!entry.mounts) entry.mounts.emplace(root, watch_.table());
    if (!entry.mounts->known()) return std::nullopt;
    std::string identity = entry.mounts->identityOf(parentFolder(file));
    if (afterLookup) afterLookup();
    // Looked up first, then found still there: it is on that mount, as long
    // as the mounts were not changed meanwhile (the caller checks).
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return std::string();
    return identity;
}

bool SentFileMounts::refresh() {
    if (!watch_.refresh()) return false;
    for (auto& [root, entry] : folders_) entry.mounts.reset();
    return true;
}

namespace {

// How often the files are looked up again while the mounts keep changing
// under the lookups; after that nothing is trusted for the time being.
constexpr int kLookupTries = 3;

} // namespace

void SentFileMounts::prepare(const std::vector<std::pair<std::string, std::string>>& folderAndFile) {
    refresh();
    for (int attempt = 0; attempt < kLookupTries; ++attempt) {
        // The file (by its place in the list) and the mount found for it,
        // where that is not remembered yet.
        std::vector<std::pair<std::size_t, std::string>> found;
        for (std::size_t i = 0; i < folderAndFile.size(); ++i) {
            const auto& [root, file] = folderAndFile[i];
            Folder& entry = folder(root);
            if (!entry.seen) continue;
            auto identity = mountOfFile(entry, root, file);
            if (!identity || identity->empty() || entry.seen->ofFile(file, parentFolder(file)) == *identity) continue;
            found.emplace_back(i, std::move(*identity));
        }
        // Something was mounted or unmounted while the files were looked up:
        // the mounts read before may place a file on the bare folder below a
        // volume just plugged in. Look again in the mounts as they are now.
        if (refresh()) continue;
        std::vector<std::string> changed;
        for (auto& [index, identity] : found) {
            const auto& [root, file] = folderAndFile[index];
            folders_[root].seen->rememberFile(file, std::move(identity));
            if (std::find(changed.begin(), changed.end(), root) == changed.end()) changed.push_back(root);
        }
        for (const auto& root : changed) {
            database_.setPreference(folders_[root].seen->toJSON(), kSeenMountsKey + root);
        }
        return;
    }
    // The mounts kept changing: nothing is remembered now, and each file's
    // own step looks it up again before its row is written.
}

bool SentFileMounts::remember(const std::string& root, const std::string& file) {
    Folder& entry = folder(root);
    if (!entry.seen) return true;
    refresh();
    for (int attempt = 0; attempt < kLookupTries; ++attempt) {
        const auto identity = mountOfFile(entry, root, file);
        if (!identity) return true; // no mounts to tell them by
        if (refresh()) continue;    // changed under the lookup: look again
        if (identity->empty()) return false;
        if (entry.seen->ofFile(file, parentFolder(file)) == *identity) return true;
        entry.seen->rememberFile(file, *identity);
        database_.setPreference(entry.seen->toJSON(), kSeenMountsKey + root);
        return true;
    }
    // Where the file is can't be told while the mounts keep changing: no
    // row may say it was sent from there yet.
    return false;
}

} // namespace tarnwell
