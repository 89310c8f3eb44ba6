// Persists the uploads that failed and wait for another attempt, as one JSON
// array in "retry-queue.json".
//
// The store keeps the decoded queue in memory and reads the file again only
// when it is no longer the file the store last read or wrote (another process
// replaced or edited it). Appends, and removals asked for with
// removeWithNextWrite(), are written coalesced: a burst of them goes to disk
// in one write, at the latest writeDelay after the first one, or earlier
// through flush(). Every other change is written before it returns.
//
// The queue holds at most one item per file and owner: an item added for a
// file already queued for the same user takes the place of the older one,
// keeping the higher count of attempts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "State/SharedModels.hpp"

namespace tarnwell {

class RetryQueueStore {
public:
    struct Partition {
        std::vector<RetryQueueItem> active;
        std::vector<RetryQueueItem> deferred;
    };

    static constexpr std::chrono::milliseconds defaultWriteDelay{1000};

    // Default locations: AppPaths::retryQueueFile() (or
    // "/tmp/qv-retry-queue.json" when the state directory can't be made) and
    // the legacy queue file.
    RetryQueueStore();
    RetryQueueStore(std::filesystem::path url, std::optional<std::filesystem::path> legacyURL,
                    std::chrono::milliseconds writeDelay = defaultWriteDelay);
    // Writes the appends still pending (a failure is dropped: the files they
    // stand for keep their old rows and are sent again by the next pass).
    ~RetryQueueStore();

    RetryQueueStore(const RetryQueueStore&) = delete;
    RetryQueueStore& operator=(const RetryQueueStore&) = delete;

    // The whole queue in file order, pending appends included. Never throws.
    std::vector<RetryQueueItem> read();
    // Replaces the queue with exactly these items; throws std::system_error.
    void write(const std::vector<RetryQueueItem>& items);
    // Adds one item at the end, or in the place of the item already queued
    // for the same file and owner. It reaches the file with the next write.
    // After a write that failed, the item is written at once and the
    // failure thrown (and the item not queued) when the disk refuses again.
    void append(const RetryQueueItem& item);
    // Writes the pending appends now; throws std::system_error (they stay
    // pending then).
    void flush();
    // Splits the queue by owner, file order kept. Never throws.
    Partition partition(const std::string& userID);
    // Drops the item queued for this file and owner (or for this file and no
    // owner), if any, and writes the queue at once; true when there was one.
    // Throws std::system_error.
    bool remove(const std::string& localPath, const std::string& userID);
    // The same (with a storage key, only an item that names it), written
    // with the next write, as an append is.
    void removeWithNextWrite(const std::string& localPath, const std::string& userID,
                             const std::optional<std::string>& storageKey = std::nullopt);
    // The item queued for this file by this owner (its userID, or the user
    // its storage key names), pending changes included. Never throws.
    std::optional<RetryQueueItem> find(const std::string& localPath, const std::string& userID);

    // Removes from the queue the items equal to those given (each matched
    // once, first occurrence first) and appends the replacements, in one
    // step, so that items appended meanwhile by others are kept. A
    // replacement for a file that such an item queued again is dropped: the
    // newer item stands.
    void replace(const std::vector<RetryQueueItem>& taken, const std::vector<RetryQueueItem>& replacements);

    // Called with the reason when a write of the queue fails after the last
    // one succeeded (once per run of failures), on whichever thread wrote,
    // outside the store's lock. Setting a handler waits until no call of the
    // previous one is under way, so it must not be done from inside one.
    using WriteFailureHandler = std::function<void(const std::string& reason)>;
    void setWriteFailureHandler(WriteFailureHandler handler);

    static std::optional<std::string> inferredUserID(const std::string& storageKey);

    const std::filesystem::path& url() const { return url_; }

private:
    // What tells one version of the file from another without reading it.
    struct FileIdentity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modified = 0; // nanoseconds
        std::int64_t changed = 0;  // nanoseconds
        friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    };

    // Tells the handler of a failure noted under the lock, once the lock is
    // released: made before the lock in each operation.
    struct ReportOnExit;

    std::optional<FileIdentity> identity() const;
    void noteWriteFailure(std::string reason);
    void reportWriteFailure();
    void refreshLocked();
    std::vector<RetryQueueItem> currentLocked() const;
    void writeLocked(const std::vector<RetryQueueItem>& items);
    void flushLocked();
    void runWriter(std::stop_token stop);

    std::mutex mutex_;
    std::condition_variable_any pendingChanged_;
    std::filesystem::path url_;
    std::optional<std::filesystem::path> legacyURL_;
    bool sharedLocation_ = false;
    std::chrono::milliseconds writeDelay_ = defaultWriteDelay;

    // The file's items as last read or written, valid while the file still
    // has knownIdentity_.
    std::vector<RetryQueueItem> known_;
    std::optional<FileIdentity> knownIdentity_;
    // The file exists but does not decode: it is set aside before a write.
    bool undecodable_ = false;
    // A change not yet written: an item appended, or the items of one file
    // and owner removed (item.localPath, and item.storageKey when only an
    // item naming that key goes).
    struct PendingChange {
        RetryQueueItem item;
        std::optional<std::string> removedFor; // the owner, for a removal
        bool anyKey = true;
    };
    std::vector<PendingChange> pending_;
    void addPending(PendingChange change);
    std::chrono::steady_clock::time_point pendingSince_;
    bool lastWriteFailed_ = false;
    // The reason of a run of failed writes that began and is not yet told.
    std::optional<std::string> failureToReport_;
    std::shared_ptr<const WriteFailureHandler> writeFailureHandler_;
    int reportsUnderWay_ = 0;
    std::condition_variable reportsDone_;

    // Writes coalesced appends; started by the first append.
    std::jthread writer_;
};

} // namespace tarnwell
