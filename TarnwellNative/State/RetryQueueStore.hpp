// Persists the uploads that failed and wait for another attempt, as one JSON
// array in "retry-queue.json".
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "State/SharedModels.hpp"

namespace tarnwell {

class RetryQueueStore {
public:
    struct Partition {
        std::vector<RetryQueueItem> active;
        std::vector<RetryQueueItem> deferred;
    };

    // Default locations: AppPaths::retryQueueFile() (or
    // "/tmp/qv-retry-queue.json" when the state directory can't be made) and
    // the legacy queue file.
    RetryQueueStore();
    RetryQueueStore(std::filesystem::path url, std::optional<std::filesystem::path> legacyURL);

    RetryQueueStore(const RetryQueueStore&) = delete;
    RetryQueueStore& operator=(const RetryQueueStore&) = delete;

    // The whole queue in file order. Never throws.
    std::vector<RetryQueueItem> read();
    // Replaces the queue with exactly these items; throws std::system_error.
    void write(const std::vector<RetryQueueItem>& items);
    // Adds one item at the end; throws what write() throws.
    void append(const RetryQueueItem& item);
    // Splits the queue by owner, file order kept. Never throws.
    Partition partition(const std::string& userID);

    // Removes from the queue the items equal to those given (each matched
    // once, first occurrence first) and appends the replacements, in one
    // step, so that items appended meanwhile by others are kept.
    void replace(const std::vector<RetryQueueItem>& taken, const std::vector<RetryQueueItem>& replacements);

    static std::optional<std::string> inferredUserID(const std::string& storageKey);

    const std::filesystem::path& url() const { return url_; }

private:
    std::vector<RetryQueueItem> readLocked();
    void writeLocked(const std::vector<RetryQueueItem>& items);

    std::mutex mutex_;
    std::filesystem::path url_;
    std::optional<std::filesystem::path> legacyURL_;
    bool sharedLocation_ = false;
};

} // namespace tarnwell
