// Persists the uploads that failed and wait for another attempt, as one JSON
// array in "retry-queue.json".
//
// The store keeps the decoded queue in memory and reads the file again only
// when it is no longer the file the store last read or wrote (another process
// replaced or edited it). Appends are written coalesced: a burst of them goes
// to disk in one write, at the latest writeDelay after the first one, or
// earlier through flush(). Every other change is written before it returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
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
    // Adds one item at the end. It reaches the file with the next write.
    // After a write that failed, the item is written at once and the
    // failure thrown (and the item not queued) when the disk refuses again.
    void append(const RetryQueueItem& item);
    // Writes the pending appends now; throws std::system_error (they stay
    // pending then).
    void flush();
    // Splits the queue by owner, file order kept. Never throws.
    Partition partition(const std::string& userID);

    // Removes from the queue the items equal to those given (each matched
    // once, first occurrence first) and appends the replacements, in one
    // step, so that items appended meanwhile by others are kept.
    void replace(const std::vector<RetryQueueItem>& taken, const std::vector<RetryQueueItem>& replacements);

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

    std::optional<FileIdentity> identity() const;
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
    // Appended, not yet written.
    std::vector<RetryQueueItem> pending_;
    std::chrono::steady_clock::time_point pendingSince_;
    bool lastWriteFailed_ = false;

    // Writes coalesced appends; started by the first append.
    std::jthread writer_;
};

} // namespace tarnwell
