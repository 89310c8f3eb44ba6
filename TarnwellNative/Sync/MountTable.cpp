#include "Sync/MountTable.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
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
    rootIdentity_ = mountIdentity(*entry);
    single_ = std::none_of(table_.entries().begin(), table_.entries().end(),
                           [&](const MountEntry& e) { return isStrictlyBelow(e.mountPoint, real); });
}

const std::string& RootMounts::identityOf(const std::string& folder) {
    if (!known_ || single_ || folder == root_ || !isStrictlyBelow(folder, root_)) return rootIdentity_;
    if (auto cached = cache_.find(folder); cached != cache_.end()) return cached->second;
    std::string identity;
    if (const auto id = table_.mountOf(folder)) {
        const MountEntry* entry = table_.find(*id);
        // A mount made after the table was read: unknown, so never the one remembered.
        identity = entry ? mountIdentity(*entry) : "(unknown mount)";
    } else {
        identity = identityOf(std::string(parentFolder(folder)));
    }
    return cache_.emplace(folder, std::move(identity)).first->second;
}

SeenMounts SeenMounts::fromJSON(const std::string& text) {
    SeenMounts seen;
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) return seen;
    for (const char* part : {"folders", "files"}) {
        const auto found = json.find(part);
        if (found == json.end() || !found->is_object()) continue;
        auto& target = part[1] == 'o' ? seen.folders_ : seen.files_;
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

SeenMounts SeenMounts::single(const std::string& root, const std::string& identity) {
    SeenMounts seen;
    seen.folders_.emplace(root, identity);
    return seen;
}

SeenMounts SeenMounts::build(const std::vector<Item>& items, const SeenMounts& previous) {
    std::map<std::string_view, std::vector<std::size_t>> byFolder;
    for (std::size_t i = 0; i < items.size(); ++i) byFolder[items[i].folder].push_back(i);
    // A folder before the folders below it, so that each inherits from above.
    std::vector<std::string_view> folders;
    folders.reserve(byFolder.size());
    for (const auto& [folder, _] : byFolder) folders.push_back(folder);
    std::stable_sort(folders.begin(), folders.end(), [](std::string_view a, std::string_view b) {
        return std::count(a.begin(), a.end(), '/') < std::count(b.begin(), b.end(), '/');
    });

    SeenMounts seen;
    for (const std::string_view folder : folders) {
        const auto& members = byFolder[folder];
        std::map<std::string_view, std::size_t> counts;
        for (std::size_t i : members) ++counts[items[i].identity];
        std::string chosen;
        if (counts.size() == 1) {
            chosen = std::string(counts.begin()->first);
        } else if (const std::string_view before = previous.ofFolder(folder); counts.contains(before)) {
            chosen = std::string(before);
        } else {
            chosen = std::string(std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                                     return a.second < b.second;
                                 })->first);
        }
        if (seen.ofFolder(folder) != chosen) seen.folders_.emplace(std::string(folder), chosen);
        for (std::size_t i : members) {
            if (items[i].identity != chosen) seen.files_.emplace(std::string(items[i].file), items[i].identity);
        }
    }
    return seen;
}

namespace {

constexpr const char* kSeenMountsKey = "mounts_seen:";

} // namespace

MountGuard::MountGuard(const std::string& root, LocalDatabase& database)
    : root_(root), database_(database), key_(kSeenMountsKey + root), mounts_(root, MountTable::current()) {
    if (!mounts_.known()) return;
    if (auto text = database_.preference(key_)) seen_ = SeenMounts::fromJSON(*text);
}

std::string MountGuard::signatureNow(const std::string& root) {
    return MountTable::current().signature(root, realPath(root));
}

bool MountGuard::keeps(const FileStateRow& row) {
    if (!mounts_.known() || seen_.empty()) return false;
    const std::string_view folder = parentFolder(row.path);
    const std::string_view was = seen_.ofFile(row.path, folder);
    if (was.empty()) return false; // nothing known: as before such memory was kept
    std::string top(folder);
    const std::string now = mounts_.identityOf(top);
    if (was == now) return false;
    // Up to the folder where the change begins (a mount point, as a rule).
    while (top != root_) {
        const std::string parent(parentFolder(top));
        if (!isAtOrBelow(parent, root_) || seen_.ofFolder(parent) != was || mounts_.identityOf(parent) != now) break;
        top = parent;
    }
    if (std::none_of(changes_.begin(), changes_.end(), [&](const Change& c) { return c.folder == top; })) {
        const bool volumeAway = isStrictlyBelow(mountPointOf(was), mountPointOf(now));
        changes_.push_back({top,
                            volumeAway ? "the volume it was on is not mounted"
                                       : "another volume or folder is mounted over it",
                            std::string(was) + '\n' + now});
    }
    return true;
}

void MountGuard::save(const std::vector<std::string>& files, const std::vector<FileStateRow>& rows,
                      const std::vector<bool>& rowSeen, const std::vector<bool>& rowDeleted) {
    if (!mounts_.known()) return;
    const std::string& rootIdentity = mounts_.rootIdentity();
    const auto stays = [&](std::size_t i) { return !rowSeen[i] && !rowDeleted[i]; };
    // The common case: no mount below the root, and nothing remembered on
    // another mount.
    bool uniform = mounts_.single();
    bool anything = !files.empty();
    for (std::size_t i = 0; i < rows.size() && uniform; ++i) {
        if (!stays(i)) continue;
        anything = true;
        const std::string_view was = seen_.ofFile(rows[i].path, parentFolder(rows[i].path));
        uniform = was.empty() || was == rootIdentity;
    }
    SeenMounts next;
    if (uniform) {
        if (anything) next = SeenMounts::single(root_, rootIdentity);
    } else {
        std::vector<SeenMounts::Item> items;
        items.reserve(files.size());
        std::string_view lastFolder;
        const std::string* lastIdentity = nullptr;
        for (const auto& file : files) {
            const std::string_view folder = parentFolder(file);
            if (!lastIdentity || folder != lastFolder) {
                lastFolder = folder;
                lastIdentity = &mounts_.identityOf(std::string(folder));
            }
            items.push_back({file, folder, *lastIdentity});
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!stays(i)) continue;
            const std::string_view folder = parentFolder(rows[i].path);
            std::string_view was = seen_.ofFile(rows[i].path, folder);
            if (was.empty()) was = mounts_.identityOf(std::string(folder));
            items.push_back({rows[i].path, folder, was});
        }
        next = SeenMounts::build(items, seen_);
    }
    if (next != seen_) database_.setPreference(next.toJSON(), key_);
}

} // namespace tarnwell
