#include "Sync/DirectoryEventStream.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <stop_token>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "Sync/MountTable.hpp"

namespace tarnwell {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM
    | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_EXCL_UNLINK | IN_ONLYDIR;

// Reads per wake-up before the batch deadline is looked at again, so that a
// steady flood of events can't hold a batch back.
constexpr int kMaxReadsPerWake = 16;

std::string normalizedRoot(const std::string& root) {
    std::string path = root;
    if (!path.empty() && path.front() != '/') {
        std::error_code ignored;
        auto absolute = std::filesystem::absolute(path, ignored);
        if (!ignored) {
            path = absolute.string();
        }
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool isBelowOrSame(const std::string& path, const std::string& folder) {
    if (folder == "/") {
        return !path.empty() && path.front() == '/';
    }
    return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0
        && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Folders of the kernel's own file systems (as found below "/"): thousands of
// entries that are not documents and would use up the watch limit.
bool isKernelFileSystem(int folderFd) {
    struct statfs info {};
    if (::fstatfs(folderFd, &info) != 0) {
        return false;
    }
    switch (static_cast<unsigned long>(info.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case SELINUX_MAGIC:
    case PSTOREFS_MAGIC:
    case BPF_FS_MAGIC:
    case BINFMTFS_MAGIC:
    case NSFS_MAGIC:
        return true;
    default:
        return false;
    }
}

std::optional<unsigned long long> readNumber(const char* file) {
    std::ifstream in(file);
    unsigned long long value = 0;
    if (in >> value) {
        return value;
    }
    return std::nullopt;
}

// The watch limit in force: the global setting, or the one of this user
// namespace when that is lower.
std::optional<unsigned long long> watchLimit() {
    auto global = readNumber("/proc/sys/fs/inotify/max_user_watches");
    auto local = readNumber("/proc/sys/user/max_inotify_watches");
    if (global && local) {
        return std::min(*global, *local);
    }
    return global ? global : local;
}

std::string watchLimitMessage(const std::string& root) {
    auto limit = watchLimit();
    std::string message = "Too many folders to watch: the system limit of ";
    if (limit) {
        message += std::to_string(*limit) + " ";
    }
    message += "watches (fs.inotify.max_user_watches) was reached; some changes below " + root
        + " will be missed";
    return message;
}

// Whether a folder can be watched and walked, and which folder it is.
struct FolderProbe {
    int error = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

FolderProbe probeFolder(const std::string& path) {
    FolderProbe probe;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        probe.error = errno;
        return probe;
    }
    struct stat info {};
    // A folder that can be listed but not entered can't be walked either.
    if (::fstat(fd, &info) != 0 || ::faccessat(fd, ".", X_OK, AT_EACCESS) != 0) {
        probe.error = errno;
    } else {
        probe.device = info.st_dev;
        probe.inode = info.st_ino;
    }
    ::close(fd);
    return probe;
}

} // namespace

struct DirectoryEventStream::Shared {
    mutable std::mutex mutex;
    PathsCallback onPathsChanged;
    ErrorCallback onError;
    AvailabilityCallback onAvailability;
    std::shared_ptr<Run> run;
    // A watcher thread that ended its own watch from inside a callback, kept
    // until a stop() or the destructor on another thread can join it.
    std::jthread retired;
};

// One watch, from start() to stop(). Its thread and its stop request are
// guarded by Shared::mutex; everything from the watch tables down is used
// by start() before the thread exists and by the thread alone afterwards.
struct DirectoryEventStream::Run {
    // Where a root stands, as last told.
    struct RootState {
        bool available = true;
        // The folder whose watch the root holds.
        bool known = false;
        dev_t device = 0;
        ino_t inode = 0;
    };

    struct AvailabilityReport {
        std::string root;
        bool available = false;
        std::string reason;
    };

    Run(std::vector<std::string> roots, SkipFolder skipFolder, std::chrono::milliseconds latency,
        std::chrono::milliseconds folderCheckInterval)
        : roots(std::move(roots)), skipFolder(std::move(skipFolder)), latency(latency),
          folderCheckInterval(folderCheckInterval) {}

    ~Run() {
        if (inotifyFd >= 0) {
            ::close(inotifyFd);
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
        if (mountsFd >= 0) {
            ::close(mountsFd);
        }
    }

    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Sets up inotify and the wake-up descriptor: empty on success, else why not.
    std::string open() {
        inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotifyFd < 0) {
            return std::strerror(errno);
        }
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0) {
            return std::strerror(errno);
        }
        // The kernel signals every change of the mount table on it; without
        // it the mounts are looked at with the roots.
        mountsFd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        return {};
    }

    void wake() const {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
    }

    bool skipped(const std::string& parent, const std::string& folderName) const {
        return folderName.empty() || folderName.front() == '.' || (skipFolder && skipFolder(folderName, parent == "/"));
    }

    const std::string& rootOf(const std::string& path) const {
        for (const auto& root : roots) {
            if (isBelowOrSame(path, root)) {
                return root;
            }
        }
        return roots.front();
    }

    void note(const std::string& path) {
        if (pendingSet.insert(path).second) {
            pending.push_back(path);
            if (!deadline) {
                deadline = Clock::now() + latency;
            }
        }
    }

    void updateCount() { watchCount.store(pathsByWatch.size(), std::memory_order_relaxed); }

    // Removes one name of a watched folder; the kernel watch goes with its
    // last name.
    void forgetPath(const std::string& path, int wd) {
        auto found = pathsByWatch.find(wd);
        if (found == pathsByWatch.end()) {
            return;
        }
        std::erase(found->second, path);
        if (found->second.empty()) {
            ::inotify_rm_watch(inotifyFd, wd);
            pathsByWatch.erase(found);
        }
    }

    // The kernel dropped the watch (its folder is gone or was unmounted).
    void forgetWatch(int wd) {
        auto found = pathsByWatch.find(wd);
        if (found == pathsByWatch.end()) {
            return;
        }
        for (const auto& path : found->second) {
            auto byPath = watchByPath.find(path);
            if (byPath != watchByPath.end() && byPath->second == wd) {
                watchByPath.erase(byPath);
            }
        }
        pathsByWatch.erase(found);
        updateCount();
    }

    // Drops the watches of the folder at path and of every folder below it.
    void dropTree(const std::string& path) {
        std::vector<std::pair<std::string, int>> doomed;
        if (auto exact = watchByPath.find(path); exact != watchByPath.end()) {
            doomed.emplace_back(*exact);
        }
        const std::string prefix = path == "/" ? "/" : path + "/";
        for (auto it = watchByPath.lower_bound(prefix);
             it != watchByPath.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            doomed.emplace_back(*it);
        }
        for (const auto& [doomedPath, wd] : doomed) {
            watchByPath.erase(doomedPath);
            forgetPath(doomedPath, wd);
        }
        updateCount();
    }

    bool addWatch(const std::string& path, const std::string& root) {
        std::uint32_t mask = kWatchMask;
        if (path != root) {
            mask |= IN_DONT_FOLLOW;
        }
        int wd = ::inotify_add_watch(inotifyFd, path.c_str(), mask);
        if (wd < 0) {
            if (errno == ENOSPC && rootsOverLimit.insert(root).second) {
                errors.push_back(watchLimitMessage(root));
            }
            return false;
        }
        auto byPath = watchByPath.find(path);
        if (byPath != watchByPath.end()) {
            if (byPath->second == wd) {
                return true;
            }
            // The name now belongs to another folder; the old one's watch
            // has not been reported gone yet.
            forgetPath(path, byPath->second);
            byPath->second = wd;
        } else {
            watchByPath.emplace(path, wd);
        }
        auto& paths = pathsByWatch[wd];
        if (std::find(paths.begin(), paths.end(), path) == paths.end()) {
            paths.push_back(path);
        }
        updateCount();
        return true;
    }

    // Watches the folder at top and every folder below it; with report, all
    // that is found below top counts as changed.
    void addTree(const std::string& top, const std::string& root, bool report) {
        std::vector<std::string> folders{top};
        // A folder mounted again below itself must not be walked forever.
        std::set<std::pair<dev_t, ino_t>> seen;
        while (!folders.empty() && !stopSource.stop_requested()) {
            std::string folder = std::move(folders.back());
            folders.pop_back();
            int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
            if (folder != root) {
                flags |= O_NOFOLLOW;
            }
            int fd = ::open(folder.c_str(), flags);
            if (fd < 0) {
                continue;
            }
            struct stat self {};
            const bool fresh = ::fstat(fd, &self) == 0 && seen.emplace(self.st_dev, self.st_ino).second;
            // Watched before it is listed, so that nothing created in
            // between goes unseen.
            if (!fresh || (folder != root && isKernelFileSystem(fd)) || !addWatch(folder, root)) {
                ::close(fd);
                continue;
            }
            DIR* dir = ::fdopendir(fd);
            if (!dir) {
                ::close(fd);
                continue;
            }
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") {
                    continue;
                }
                bool isFolder = entry->d_type == DT_DIR;
                if (entry->d_type == DT_UNKNOWN) {
                    struct stat info {};
                    isFolder = ::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
                }
                if (isFolder && skipped(folder, name)) {
                    continue;
                }
                std::string path = joinPath(folder, name);
                if (report) {
                    note(path);
                }
                if (isFolder) {
                    folders.push_back(std::move(path));
                }
            }
            ::closedir(dir);
        }
    }

    void watchRoots(bool report) {
        for (const auto& root : roots) {
            addTree(root, root, report);
        }
    }

    // Notes which folder each root holds once its tree is watched. A root
    // that can't be watched now is looked for later; its absence is not told,
    // since whoever asked for the watch has just found it missing.
    void recordRoots() {
        rootStates.assign(roots.size(), RootState{});
        for (std::size_t i = 0; i < roots.size(); ++i) {
            const FolderProbe probe = probeFolder(roots[i]);
            RootState& state = rootStates[i];
            if (probe.error == 0 && watchByPath.contains(roots[i])) {
                state.known = true;
                state.device = probe.device;
                state.inode = probe.inode;
            } else {
                state.available = false;
            }
        }
        nextRootCheck = Clock::now() + folderCheckInterval;
        mountSignatures = currentMountSignatures();
    }

    std::vector<std::string> currentMountSignatures() const {
        std::vector<std::string> signatures;
        signatures.reserve(roots.size());
        const MountTable table = MountTable::current();
        for (const auto& root : roots) {
            char real[PATH_MAX];
            signatures.push_back(table.signature(root, ::realpath(root.c_str(), real) ? real : root));
        }
        return signatures;
    }

    // A file system mounted or unmounted at or below a root (or over it)
    // hides the folders watched there or shows unwatched ones: such a root
    // is watched anew and reported as changed.
    void checkMounts() {
        std::vector<std::string> signatures = currentMountSignatures();
        for (std::size_t i = 0; i < roots.size(); ++i) {
            if (signatures[i] != mountSignatures[i]) {
                rootStates[i].known = false;
                rootsDirty = true;
            }
        }
        mountSignatures = std::move(signatures);
    }

    // Drops the watches of a root that went away, and watches one that is
    // back (or that another folder now stands in for) anew; both count as a
    // change of the root.
    void checkRoots() {
        for (std::size_t i = 0; i < roots.size() && !stopSource.stop_requested(); ++i) {
            const std::string& root = roots[i];
            RootState& state = rootStates[i];
            const FolderProbe probe = probeFolder(root);
            const bool watched = watchByPath.contains(root);
            if (probe.error == 0) {
                if (watched && state.known && state.device == probe.device && state.inode == probe.inode) {
                    continue;
                }
                dropTree(root);
                addTree(root, root, false);
                if (!watchByPath.contains(root)) {
                    continue; // no watch to be had now (the limit); tried again later
                }
                state.known = true;
                state.device = probe.device;
                state.inode = probe.inode;
                note(root);
                if (!state.available) {
                    state.available = true;
                    reports.push_back({root, true, {}});
                }
            } else {
                if (watched) {
                    dropTree(root);
                }
                state.known = false;
                if (state.available) {
                    state.available = false;
                    reports.push_back({root, false, std::generic_category().message(probe.error)});
                    note(root);
                }
            }
        }
    }

    void handle(const inotify_event& event) {
        if (event.mask & IN_UNMOUNT) {
            mountsDirty = true;
        }
        if (event.mask & IN_Q_OVERFLOW) {
            // Events were lost: every root may have changed, and folders
            // created meanwhile may still lack their watch.
            for (const auto& root : roots) {
                note(root);
            }
            watchRoots(false);
            rootsDirty = true;
            return;
        }
        if (event.mask & IN_IGNORED) {
            forgetWatch(event.wd);
            rootsDirty = true;
            return;
        }
        auto found = pathsByWatch.find(event.wd);
        if (found == pathsByWatch.end()) {
            return; // a watch already dropped
        }
        const std::vector<std::string> folders = found->second;
        const std::string name = event.len > 0 ? std::string(event.name) : std::string();
        if (name.empty()) {
            // The watched folder itself: gone, moved or changed in its
            // permissions, which may take a root out of reach.
            rootsDirty = true;
            for (const auto& folder : folders) {
                note(folder);
                if (event.mask & IN_MOVE_SELF) {
                    dropTree(folder);
                }
            }
            return;
        }
        const bool isFolder = event.mask & IN_ISDIR;
        for (const auto& folder : folders) {
            if (isFolder && skipped(folder, name)) {
                continue;
            }
            const std::string path = joinPath(folder, name);
            note(path);
            if (isFolder && (event.mask & IN_MOVED_FROM)) {
                dropTree(path);
            }
            if (isFolder && (event.mask & (IN_CREATE | IN_MOVED_TO))) {
                addTree(path, rootOf(path), true);
            } else if (isFolder && (event.mask & IN_ATTRIB) && !watchByPath.contains(path)) {
                // A folder that could not be read when its parent was watched
                // may just have become readable.
                addTree(path, rootOf(path), true);
            }
        }
    }

    // Reads what the kernel has queued; false on a failure that ends the watch.
    bool readEvents() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (int reads = 0; reads < kMaxReadsPerWake; ++reads) {
            ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
            if (length < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            if (length == 0) {
                return true;
            }
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                handle(*event);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return true;
    }

    const std::vector<std::string> roots;
    const SkipFolder skipFolder;
    const std::chrono::milliseconds latency;
    const std::chrono::milliseconds folderCheckInterval;
    int inotifyFd = -1;
    int wakeFd = -1;
    int mountsFd = -1;
    std::vector<std::string> mountSignatures;
    bool mountsDirty = false;
    std::stop_source stopSource;
    std::jthread thread;
    std::atomic<std::size_t> watchCount{0};

    std::unordered_map<int, std::vector<std::string>> pathsByWatch;
    std::map<std::string, int> watchByPath;
    std::set<std::string> rootsOverLimit;
    std::vector<std::string> errors;
    std::vector<RootState> rootStates;
    std::vector<AvailabilityReport> reports;
    bool rootsDirty = false;
    Clock::time_point nextRootCheck;
    std::vector<std::string> pending;
    std::unordered_set<std::string> pendingSet;
    std::optional<Clock::time_point> deadline;
};

DirectoryEventStream::DirectoryEventStream(std::vector<std::string> roots, PathsCallback onPathsChanged,
                                           SkipFolder skipFolder, ErrorCallback onError,
                                           std::chrono::milliseconds latency,
                                           std::chrono::milliseconds folderCheckInterval)
    : skipFolder_(std::move(skipFolder)), latency_(latency), folderCheckInterval_(folderCheckInterval),
      shared_(std::make_shared<Shared>()) {
    roots_.reserve(roots.size());
    for (const auto& root : roots) {
        roots_.push_back(normalizedRoot(root));
    }
    shared_->onPathsChanged = std::move(onPathsChanged);
    shared_->onError = std::move(onError);
}

DirectoryEventStream::~DirectoryEventStream() {
    stop();
    std::jthread self;
    {
        std::lock_guard lock(shared_->mutex);
        self = std::move(shared_->retired);
    }
    // Destroyed from inside a callback: the watcher thread is the caller.
    // It holds its own references to everything it still touches and only
    // unwinds once the callback returns.
    if (self.joinable()) {
        self.detach();
    }
}

void DirectoryEventStream::setOnPathsChanged(PathsCallback onPathsChanged) {
    std::lock_guard lock(shared_->mutex);
    shared_->onPathsChanged = std::move(onPathsChanged);
}

void DirectoryEventStream::setOnError(ErrorCallback onError) {
    std::lock_guard lock(shared_->mutex);
    shared_->onError = std::move(onError);
}

void DirectoryEventStream::setOnFolderAvailability(AvailabilityCallback onAvailability) {
    std::lock_guard lock(shared_->mutex);
    shared_->onAvailability = std::move(onAvailability);
}

bool DirectoryEventStream::isWatching() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->run != nullptr;
}

std::size_t DirectoryEventStream::watchedFolderCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->run ? shared_->run->watchCount.load(std::memory_order_relaxed) : 0;
}

void DirectoryEventStream::start() {
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->run) {
            return;
        }
    }
    auto run = std::make_shared<Run>(roots_, skipFolder_, latency_, folderCheckInterval_);
    if (auto failure = run->open(); !failure.empty()) {
        ErrorCallback onError;
        {
            std::lock_guard lock(shared_->mutex);
            onError = shared_->onError;
        }
        if (onError) {
            onError("Cannot watch folders for changes: " + failure);
        }
        return;
    }
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->run) {
            return; // another start() got there first
        }
        shared_->run = run;
    }
    // Without the lock: a large tree takes a while, and a stop() meanwhile
    // cuts the walk short.
    if (!roots_.empty()) {
        run->watchRoots(false);
    }
    run->recordRoots();
    std::lock_guard lock(shared_->mutex);
    if (shared_->run != run) {
        return; // stopped meanwhile
    }
    run->thread = std::jthread([shared = shared_, run] { watch(shared, run); });
}

void DirectoryEventStream::stop() {
    std::vector<std::jthread> toJoin;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->onPathsChanged = nullptr;
        shared_->onError = nullptr;
        shared_->onAvailability = nullptr;
        const auto self = std::this_thread::get_id();
        if (shared_->retired.joinable() && shared_->retired.get_id() != self) {
            toJoin.push_back(std::move(shared_->retired));
        }
        if (auto run = std::move(shared_->run)) {
            run->stopSource.request_stop();
            if (run->thread.joinable()) {
                if (run->thread.get_id() == self) {
                    // Called from a callback: this thread leaves its loop
                    // once the callback returns; it can't join itself.
                    shared_->retired = std::move(run->thread);
                } else {
                    toJoin.push_back(std::move(run->thread));
                }
            }
        }
    }
    for (auto& thread : toJoin) {
        thread.join();
    }
}

void DirectoryEventStream::watch(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Run>& run) {
    const std::stop_token stopping = run->stopSource.get_token();
    const std::stop_callback wakeOnStop(stopping, [&run] { run->wake(); });

    // Each callback is looked up under the lock, where stop() clears it and
    // requests the stop, and called without it; stop() then waits for the
    // call in progress by joining this thread.
    auto deliverPaths = [&](std::vector<std::string> paths) {
        PathsCallback callback;
        {
            std::lock_guard lock(shared->mutex);
            if (stopping.stop_requested()) {
                return;
            }
            callback = shared->onPathsChanged;
        }
        if (callback) {
            try {
                callback(paths);
            } catch (...) {
                // A failing callback loses its batch, not the watch.
            }
        }
    };
    auto deliverError = [&](const std::string& message) {
        ErrorCallback callback;
        {
            std::lock_guard lock(shared->mutex);
            if (stopping.stop_requested()) {
                return;
            }
            callback = shared->onError;
        }
        if (callback) {
            try {
                callback(message);
            } catch (...) {
            }
        }
    };

    auto deliverAvailability = [&](const Run::AvailabilityReport& report) {
        AvailabilityCallback callback;
        {
            std::lock_guard lock(shared->mutex);
            if (stopping.stop_requested()) {
                return;
            }
            callback = shared->onAvailability;
        }
        if (callback) {
            try {
                callback(report.root, report.available, report.reason);
            } catch (...) {
            }
        }
    };

    while (!stopping.stop_requested()) {
        if (!run->errors.empty()) {
            auto errors = std::move(run->errors);
            run->errors.clear();
            for (const auto& message : errors) {
                deliverError(message);
            }
            continue;
        }
        if (!run->reports.empty()) {
            auto reports = std::move(run->reports);
            run->reports.clear();
            for (const auto& report : reports) {
                deliverAvailability(report);
            }
            continue;
        }
        auto now = Clock::now();
        if (run->mountsDirty || (run->mountsFd < 0 && now >= run->nextRootCheck)) {
            run->mountsDirty = false;
            run->checkMounts();
        }
        if (run->rootsDirty || now >= run->nextRootCheck) {
            run->rootsDirty = false;
            run->checkRoots();
            run->nextRootCheck = Clock::now() + run->folderCheckInterval;
            continue;
        }
        Clock::time_point wakeAt = run->nextRootCheck;
        if (run->deadline) {
            if (now >= *run->deadline) {
                auto paths = std::move(run->pending);
                run->pending.clear();
                run->pendingSet.clear();
                run->deadline.reset();
                deliverPaths(std::move(paths));
                continue;
            }
            wakeAt = std::min(wakeAt, *run->deadline);
        }
        const int timeout = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count());
        pollfd fds[3] = {{run->inotifyFd, POLLIN, 0}, {run->wakeFd, POLLIN, 0}, {run->mountsFd, POLLPRI, 0}};
        int ready = ::poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            deliverError(std::string("Stopped watching folders for changes: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            if (!run->readEvents()) {
                deliverError(std::string("Stopped watching folders for changes: ") + std::strerror(errno));
                return;
            }
        }
        if (fds[2].revents & (POLLPRI | POLLERR)) {
            run->mountsDirty = true;
        }
        // The wake-up descriptor only ever signals a stop, which the loop
        // condition sees; it is not drained.
    }
}

} // namespace tarnwell
