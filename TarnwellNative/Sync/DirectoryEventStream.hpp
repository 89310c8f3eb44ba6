// Watches folder trees with inotify and hands batches of changed paths to a
// callback.
//
// Every folder below each root gets its own watch: symbolic links are never
// followed (a root itself may be one), and hidden folders (names beginning
// with "."), folders the skip predicate names and folders of the kernel's own
// file systems (/proc, /sys and the like) are left out together with
// everything below them. A
// folder that appears later is watched as soon as its event is read, and what
// it already holds by then is reported as changed too, since files may land
// in it before its watch does. A folder that is removed or moved away loses
// its watches; one moved in is watched and reported like a new one.
//
// A root that goes away (removed, moved away, made unreadable, or its path
// no longer leading to the folder watched) loses its watches and is looked
// for again every `folderCheckInterval`; once it can be read again it is
// watched anew and reported as changed. The availability callback hears of
// each going and each return, once. A root missing when the watch starts is
// looked for the same way; only its return is told.
//
// A file system mounted or unmounted at or below a root, or over it, hides
// watched folders or shows unwatched ones: the kernel's notice of a change
// of the mount table is heard at once (or, without it, the mounts are looked
// at with the roots), and such a root is watched anew and reported as
// changed.
//
// Changes are gathered for `latency` after the first one of a batch and then
// delivered at once as absolute paths, each path once per batch, in the order
// first seen. A path is under the text of the root it was found below
// (roots are made absolute and lose trailing "/"; nothing else is changed).
// An overflow of the kernel's event queue, which loses events, is reported
// as a change of every root. When the kernel's watch limit is reached the
// folders already watched stay watched and the error callback receives a
// readable message, once per root and start.
//
// Threads: start() watches the existing folders before it returns; the rest
// runs on one watcher thread per start() that reads the events, keeps the
// watches and calls the callbacks, one call at a time. Once stop() has
// returned, no callback runs and none will. stop() may be called from inside
// a callback: it then clears the callbacks and ends the watch, and returns
// without waiting for the watcher thread (which is the caller); that thread
// leaves as soon as the callback returns and delivers nothing more. It is
// joined by the next stop() or by the destructor when either runs on another
// thread. Even the destructor may run inside a callback: the watcher thread
// touches only state it shares with the object by ownership, never the
// object itself, and it is then left to finish on its own the few steps that
// follow the callback.
//
// Do not call stop() or the destructor while holding a lock that a callback
// takes: stop() waits for a callback in progress to return.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarnwell {

class DirectoryEventStream {
public:
    using PathsCallback = std::function<void(const std::vector<std::string>& paths)>;
    using ErrorCallback = std::function<void(const std::string& message)>;
    // A root went away (available false, with the reason) or came back.
    using AvailabilityCallback = std::function<void(const std::string& root, bool available, const std::string& reason)>;
    // Told a folder's own name (not its path) and whether it lies directly
    // in "/"; true leaves the folder and everything below it unwatched.
    // Never asked about a root.
    using SkipFolder = std::function<bool(const std::string& folderName, bool inFilesystemRoot)>;

    static constexpr std::chrono::milliseconds defaultLatency{1000};
    static constexpr std::chrono::milliseconds defaultFolderCheckInterval{2000};

    // Keeps the roots and the callbacks; watches nothing yet.
    explicit DirectoryEventStream(std::vector<std::string> roots,
                                  PathsCallback onPathsChanged = {},
                                  SkipFolder skipFolder = {},
                                  ErrorCallback onError = {},
                                  std::chrono::milliseconds latency = defaultLatency,
                                  std::chrono::milliseconds folderCheckInterval = defaultFolderCheckInterval);
    // Runs stop().
    ~DirectoryEventStream();

    DirectoryEventStream(const DirectoryEventStream&) = delete;
    DirectoryEventStream& operator=(const DirectoryEventStream&) = delete;

    // Replace a callback; safe at any time, takes effect from the next call.
    void setOnPathsChanged(PathsCallback onPathsChanged);
    void setOnError(ErrorCallback onError);
    void setOnFolderAvailability(AvailabilityCallback onAvailability);

    // Watches every root and the folders below it, then starts the watcher
    // thread. Does nothing while watching. When inotify itself can't be set
    // up nothing is watched and the error callback is told why, on the
    // calling thread (the only call not made by the watcher). A root that
    // is missing or not a folder is left unwatched without a message.
    void start();

    // Clears the callbacks, then ends the watch and waits for the watcher
    // thread (unless called on it). Safe to call repeatedly and when not
    // watching. A later start() watches again but delivers nothing until a
    // callback is set anew.
    void stop();

    // True between a start() that could set up inotify and the next stop().
    bool isWatching() const;

    // The roots as watched: absolute, without trailing "/".
    const std::vector<std::string>& roots() const { return roots_; }

    // How many folders hold a kernel watch right now (0 when not watching).
    std::size_t watchedFolderCount() const;

private:
    struct Shared;
    struct Run;

    static void watch(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Run>& run);

    std::vector<std::string> roots_;
    SkipFolder skipFolder_;
    std::chrono::milliseconds latency_;
    std::chrono::milliseconds folderCheckInterval_;
    std::shared_ptr<Shared> shared_;
};

} // namespace tarnwell
