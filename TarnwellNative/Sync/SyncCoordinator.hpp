// The sync worker: drains the retry queue, scans the watched folders, uploads
// new and changed documents, turns vanished ones into remote deletes, and
// rescans a folder shortly after the file system reports changes under it.
//
// Threading: every public operation may be called from any thread. The
// coordinator's state sits behind one mutex that is never held across a
// network request, a file hash, a pause, a thread join or a callback, so
// stopSync(), signOut() and the handler setters take effect at once while a
// scan runs elsewhere. startSync() does its work on the calling thread; the
// debounced rescans run on threads of their own, which the coordinator joins
// before it goes away. One pass of a folder runs at a time: a change under a
// folder whose rescan is under way cuts that rescan short (before its next
// file and before its deletes), and the newer rescan waits for it to end.
//
// Callbacks are called on whichever thread produced the event, one at a time
// and in the order of the events. They must return quickly and must not wait
// for another thread that calls into the coordinator.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>

#include "State/LocalDatabase.hpp"
#include "State/PublicConfigLoader.hpp"
#include "State/RetryQueueStore.hpp"
#include "State/SessionStore.hpp"
#include "State/SharedModels.hpp"
#include "Sync/MountTable.hpp"
#include "Sync/ScanResult.hpp"

namespace tarnwell {

class SupabaseHTTPClient;
class DirectoryEventStream;

// A file's size and modification time (milliseconds since 1970).
struct FileStamp {
    std::int64_t size = 0;
    double mtimeMilliseconds = 0;
};

// Thrown by an upload pause that a cancelled rescan or the coordinator going
// away cut short.
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

// Delays that tests shorten; the defaults are the product's.
struct SyncCoordinatorTiming {
    // Quiet time after the last change under a folder before it is rescanned.
    std::chrono::nanoseconds rescanDelay = std::chrono::seconds(2);
    // How long the folder watch gathers events into one batch.
    std::chrono::milliseconds eventLatency = std::chrono::milliseconds(1000);
    // How often the watch checks that each folder is still there and
    // readable, and looks for one that went away.
    std::chrono::milliseconds folderCheckInterval = std::chrono::milliseconds(2000);
    // Replaces the pause before each upload of a mode that pauses at all.
    std::optional<std::chrono::nanoseconds> uploadPause;
};

class SyncCoordinator {
public:
    using LogHandler = std::function<void(const std::string&)>;
    using IndexingHandler = std::function<void(const IndexingProgressSnapshot&)>;
    using UnsupportedFilesHandler = std::function<void(std::int64_t)>;

    using Timing = SyncCoordinatorTiming;

    SyncCoordinator(PublicConfig config, std::shared_ptr<SupabaseHTTPClient> client,
                    std::shared_ptr<LocalDatabase> database, std::shared_ptr<RetryQueueStore> retryQueue,
                    std::shared_ptr<SessionStore> sessionStore, Timing timing = {});
    // Stops the run, cancels pauses and rescans, and joins every thread it
    // started. Waits for a startSync() still running on another thread.
    ~SyncCoordinator();

    SyncCoordinator(const SyncCoordinator&) = delete;
    SyncCoordinator& operator=(const SyncCoordinator&) = delete;

    // Replaces the log handler; does not call it.
    void setLogHandler(LogHandler handler);
    // Replace the handler, then call it once with the current value.
    void setIndexingHandler(IndexingHandler handler);
    void setUnsupportedFilesHandler(UnsupportedFilesHandler handler);

    // The saved state for the launch; absorbs every failure. A user lookup
    // that got no answer (see SupabaseHTTPClient::isUnanswered) gives the
    // user of the stored session; any other failure gives no user.
    SyncStateSnapshot restoreSnapshot();

    // Starts a run over the folders: saves the choices, drains the retry
    // queue, scans each folder, then watches them (the watch is armed before
    // the scans, so what changes during them is rescanned after). Returns
    // at once when a run is active or no folder is given. Throws database
    // failures and failures of the retry-queue drain, leaving the
    // coordinator idle and its progress the idle snapshot.
    void startSync(const std::vector<std::string>& roots, SyncMode mode);
    // The same, calling `begun` once the start has claimed the run or decided
    // to return at once, before any of its long work: a caller that orders
    // its calls can send the next one from then on, and it is served between
    // the steps of this start (a stop ends the run before the next file).
    void startSync(const std::vector<std::string>& roots, SyncMode mode, const std::function<void()>& begun);
    // Ends the current run; a scan under way stops before its next file.
    void stopSync();
    // Forgets the stored session, then stops the run.
    void signOut();

    // True from a start until the run is stopped (or its start failed).
    bool isRunning() const;

    // Ends the run for good: cuts short the pauses and requests in flight,
    // cancels and joins the rescans, and makes later starts return at once.
    // Calls still under way on other threads end soon; the object stays
    // valid for them until it is destroyed. Idempotent.
    void shutdown();

private:
    using RunID = std::uint64_t;

    struct RescanTask {
        std::stop_source cancel;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    struct Counters {
        std::int64_t uploaded = 0;
        std::int64_t skipped = 0;
        std::int64_t deleted = 0;
        std::int64_t failed = 0;
    };

    // Folder watching and rescans. The watch starts before the initial scans
    // and holds its changes until they are done, so that nothing changed
    // during a scan goes unseen; releasing it rescans the folders that changed.
    void startEventStream(const std::vector<std::string>& roots, RunID run);
    bool releaseHeldEvents(const std::vector<std::string>& roots, RunID run);
    void handleEventPaths(const std::vector<std::string>& paths, RunID run);
    void scheduleRescanLocked(const std::string& root, RunID run);
    void runRescan(std::string root, RunID run, std::stop_token cancel, RescanTask* task);
    void reapFinishedRescans();

    // One pass of a folder at a time: a pass claims its folder first and
    // waits while an older one still holds it. False when cancelled first.
    bool claimFolder(const std::string& root, std::stop_token cancel);
    void releaseFolder(const std::string& root);
    // Logs each folder of a root whose deletes wait for its volume, once
    // for as long as the same change lasts.
    void tellMountChanges(const std::string& root, const std::vector<MountGuard::Change>& changes);

    // One pass over one folder, one file, deletes, the retry queue.
    void scan(const std::string& root, const std::string& reason, bool tracksInitialIndexing, RunID run,
              std::stop_token cancel);
    // A file below two folders of the run belongs to the inner one: the
    // folders of the run that lie inside root, whose files and rows a pass
    // of root leaves to their own passes.
    std::vector<std::string> innerRootsOf(const std::string& root) const;
    // The stored rows a pass of root deals with: every row below it, also
    // one recorded under another folder that owned the file before, but
    // none at or below an inner root; the paths of the rows recorded under
    // root that lie in an inner root go to `leftToInner`.
    std::vector<FileStateRow> rowsOwnedBy(const std::string& root, const std::vector<std::string>& innerRoots,
                                          std::vector<std::string>& leftToInner);
    // From before a file's hosted row is registered until that row is
    // retired, something on disk names its key: the file's row, or its item
    // in the retry queue once written. Before a file is sent, its row names
    // the key it is sent under (with no content recorded yet) when it named
    // no key of the account's before; when it names another one, which
    // gives way only once the file is sent, the file's item goes to disk
    // first. A key only a queued item names, other than those two, gives
    // way before the file is sent: the item's place is needed.
    struct SendPlan {
        std::string logicalPath;
        std::string storageKey;
        bool earlyRow = false;
        bool queueFirst = false;
        std::string retireFirst;
    };
    SendPlan planSend(const std::string& file, const FileStateRow* previous, const std::string& userID,
                      std::string logicalPath, std::string storageKey);
    // The item that stands for a file in the retry queue until it is sent.
    static RetryQueueItem queuedItemFor(const std::string& file, const std::string& storageKey,
                                        const std::string& logicalPath, std::int64_t size, const std::string& userID);
    // The plans a batch carried out, by the file's place in the pass.
    struct SendBatch {
        std::size_t end = 0; // the place after the last file looked at
        std::vector<std::pair<std::size_t, SendPlan>> plans;
        std::size_t next = 0;
        // The file's plan, or an empty one; asked in the files' order.
        const SendPlan& planFor(std::size_t file);
    };
    // The keys of the files about to be sent, named on disk a batch at a time
    // (one write of the database, one of the queue) for the files from
    // `from` on that are sure to be sent.
    SendBatch announceSends(const std::string& root, const std::vector<std::string>& files, std::size_t from,
                            const std::vector<std::size_t>& rowOfFile, const std::vector<FileStateRow>& rows,
                            const std::vector<FileStamp>& stamps, const std::vector<int>& stampErrors,
                            const std::string& accountID);
    // `content` is a buffer that the files of one pass share; `accountID`
    // is the signed-in account's id as the pass found it (empty: none);
    // `planned`, what announceSends() already put on disk for the file.
    ScanResult processFile(const std::string& file, const std::string& root, const FileStateRow* previous,
                           const FileStamp& stamp, std::string_view accountID, std::stop_token cancel,
                           std::string& content, const SendPlan& planned);
    // Once a file was sent under a new key, the hosted row of the key it was
    // sent under before is marked deleted, so that the file has one live
    // row; only a key of the same account, which its session can reach.
    void retireReplacedKey(const std::string& replacedKey, const std::string& newKey, const std::string& userID,
                           std::stop_token stop);
    void deleteRemoteFile(const FileStateRow& row);
    // The queued files that a pass of root did not find, whose uploads may
    // have registered hosted rows that no stored row names (the item was
    // queued when a step after the upload failed, before the row was
    // written): the signed-in account's items below root (not in an inner
    // root) that name a key of that account, appended to `rows` as rows of
    // their own, so that they are judged as stored rows are. Each is
    // recorded under the folder whose key it carries, where one holds it.
    // Those in an inner root that root's passes queued go to `leftToInner`.
    // Reads the queue only when one of its files lies below root.
    void appendQueuedFilesMissing(const std::string& root, const std::vector<std::string>& innerRoots,
                                  const std::vector<std::string>& files, const std::string& accountID,
                                  std::vector<FileStateRow>& rows, std::vector<std::string>& leftToInner);
    // A queued file judged gone: the hosted row its upload registered is
    // marked deleted (with its "delete" job), then its item leaves the queue.
    // A failure keeps the item, and a later pass tries again.
    void withdrawQueuedFile(const FileStateRow& queued, const std::string& accountID);
    // After a row upsert: the "ingest" job, unless the row has ingested the
    // content sent and lives on by it (its newest job is not a "delete").
    void registerIngest(const RemoteFileRecord& remote, const std::string& sha256, std::stop_token stop);
    // Marks the hosted row of a storage key deleted and queues its "delete"
    // job; sends only the job when the row is marked already but its newest
    // job is not that delete.
    void deleteHostedRow(const std::string& storageKey, std::stop_token stop);
    void drainRetryQueue(RunID run);
    // The size, modification time and digest of what one upload sent.
    struct SentContent {
        std::int64_t bytes = 0;
        double mtimeMilliseconds = 0;
        std::string sha256;
    };
    // Tells one version of a file from another without reading it.
    struct FileVersion {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modifiedSeconds = 0;
        std::int64_t modifiedNanoseconds = 0;
        std::int64_t changedSeconds = 0;
        std::int64_t changedNanoseconds = 0;
        bool operator==(const FileVersion&) const = default;
    };
    static FileVersion versionOf(const std::filesystem::path& file);
    static FileVersion versionOf(const struct stat& status);
    // A digest taken earlier, with the version of the file it was taken of
    // and, for a small file, the very bytes hashed.
    struct HashedFile {
        FileVersion version;
        std::string sha256;
        std::optional<std::string_view> content;
    };
    // Files up to this size are read once, into memory, and sent from there;
    // larger ones are hashed, then streamed from the file.
    static constexpr std::size_t wholeReadLimit = std::size_t{4} << 20;
    // Reads the file once for its digest; a small file's bytes stay in
    // `buffer`, which `content` then shows. A stop ends the read between
    // chunks (std::errc::operation_canceled).
    static HashedFile readForUpload(const std::filesystem::path& file, std::stop_token stop, std::string& buffer);
    // Sends the file and returns what was sent; `hashed` spares reading the
    // file again when it is still the version hashed.
    SentContent uploadAsItIs(const std::filesystem::path& file, const std::string& storageKey,
                             const std::string& mimeType, std::stop_token stop,
                             const std::optional<HashedFile>& hashed = std::nullopt);
    // The folder a sent queued file is recorded under, with its logical path
    // there: the folder of the run whose key the item carries; otherwise the
    // folder above the file whose key it carries (one that queued it and is
    // no longer watched, or no longer holds it in this run), so that a pass
    // of a folder that holds the file takes it over and retires that key;
    // failing that, the file's own folder.
    struct Recording {
        std::string folder;
        std::string logicalPath;
    };
    static Recording recordingOf(const RetryQueueItem& item, const std::string& userID,
                                 const std::vector<std::string>& roots);
    // The folder at or above `file` whose tag `key` carries: the watched
    // folder whose pass queued the file. Empty when none is.
    static std::string ownerOfQueuedFile(const std::string& file, std::string_view key,
                                         std::unordered_map<std::string, std::string>& tags);
    // Records a sent queued file as a scan would have, under the folder
    // recordingOf found, its mount remembered first.
    void recordSent(const RetryQueueItem& item, const SentContent& sent, const std::string& userID,
                    const Recording& recording, SentFileMounts& mounts);
    // True when the file's row records it as it is now, under the item's key:
    // what the item stands for was sent and recorded already.
    bool isRecordedAsItIs(const RetryQueueItem& item);
    // The failure of the drain of this start that sent exactly this content
    // of the file under this key, taken out so that it stands for one scan
    // of the file.
    std::optional<std::string> takeDrainFailure(const std::string& file, const std::string& storageKey,
                                                std::int64_t size, double mtime, const std::string& sha256);
    // A file a scan synced needs its queued item no more; it leaves the
    // queue with the queue's next write (should the process end first, the
    // next drain finds the file recorded as it is and drops the item).
    void dropQueuedItem(const std::string& file, const std::string& userID);
    // Appends the item to the retry queue (written with its next write).
    void queue(const RetryQueueItem& item);
    bool isQueued(const std::string& file) const;

    // Saved choices.
    std::vector<std::string> storedFolders();
    SyncMode storedMode();

    // Progress; each returns false (and changes nothing) once the run ended.
    bool resetProgress(RunID run);
    bool markInitialScanComplete(RunID run);
    void setIndexingProgress(bool isActive, std::optional<RunID> onlyIfStillRun);
    // Back to the idle snapshot, unless a newer run has started.
    void clearProgress(RunID run);
    bool addUnsupportedFiles(std::int64_t count, RunID run);
    std::optional<std::int64_t> addTotalFiles(std::int64_t count, RunID run);
    std::optional<std::int64_t> countScannedFile(RunID run);

    void flushRetryQueue() noexcept;
    void logRetryQueueWriteFailure(const std::string& reason);
    void log(const std::string& message);
    void pause(std::chrono::nanoseconds delay, std::stop_token cancel);

    bool isLiveLocked(RunID run) const { return isRunning_ && currentRun_ == run; }
    bool isLive(RunID run) const;

    const PublicConfig config_;
    const std::shared_ptr<SupabaseHTTPClient> client_;
    const std::shared_ptr<LocalDatabase> database_;
    const std::shared_ptr<RetryQueueStore> retryQueue_;
    const std::shared_ptr<SessionStore> sessionStore_;
    const Timing timing_;

    // Guards everything below it.
    mutable std::mutex mutex_;
    std::vector<std::string> roots_;
    SyncMode currentMode_ = SyncMode::regular;
    bool isRunning_ = false;
    RunID currentRun_ = 0;
    std::unique_ptr<DirectoryEventStream> eventStream_;
    bool holdingEvents_ = false;
    std::set<std::string> heldRescans_;
    std::map<std::string, std::unique_ptr<RescanTask>> rescanTasks_;
    std::vector<std::unique_ptr<RescanTask>> retiredRescans_;
    std::set<std::string> foldersInScan_;
    std::condition_variable_any folderReleased_;
    // Per root, the mount changes logged (folder to the change's text).
    std::map<std::string, std::map<std::string, std::string>> mountChangesTold_;
    // Files the drain of the latest start sent and could not settle, with
    // what it sent and why it failed.
    struct DrainFailure {
        std::string storageKey;
        SentContent sent;
        std::string error;
    };
    std::unordered_map<std::string, DrainFailure> drainFailures_;
    // Files with an item of the signed-in user in the retry queue, as the
    // drain of the latest start found them and failures since added them.
    std::unordered_set<std::string> queuedFiles_;
    std::shared_ptr<const LogHandler> logHandler_;
    std::shared_ptr<const IndexingHandler> indexingHandler_;
    std::shared_ptr<const UnsupportedFilesHandler> unsupportedFilesHandler_;
    IndexingProgressSnapshot indexingProgress_ = IndexingProgressSnapshot::idle();
    std::int64_t unsupportedFilesCount_ = 0;
    int startsInFlight_ = 0;
    bool shuttingDown_ = false;
    std::condition_variable startsDone_;

    // Keeps callbacks in the order of the events they report. Taken before
    // mutex_ and held only while a callback runs; recursive so that a
    // callback may call a handler setter.
    std::recursive_mutex deliveryMutex_;

    // Held by the retry-queue drain for its whole length (never with mutex_).
    std::mutex drainMutex_;

    // Cuts short the upload pauses of startSync() and every request in
    // flight when the object goes away.
    std::stop_source shutdown_;
    // Cancellable sleeps.
    std::mutex sleepMutex_;
    std::condition_variable_any sleepCondition_;
};

} // namespace tarnwell
