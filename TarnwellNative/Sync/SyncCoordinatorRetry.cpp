// Remote deletes of vanished files and the sending of queued uploads.
#include "Sync/SyncCoordinator.hpp"

#include <cerrno>
#include <chrono>
#include <limits>
#include <system_error>

#include <sys/stat.h>

#include "Client/SupabaseHTTPClient.hpp"
#include "Sync/FileRules.hpp"

namespace tarnwell {

void SyncCoordinator::deleteRemoteFile(const FileStateRow& row) {
    const std::stop_token stop = shutdown_.get_token();
    // A file that was never sent (over the upload limit) has nothing remote.
    if (!row.storageKey.empty()) {
        if (auto remote = client_->fetchRemoteFile(row.storageKey, stop); remote && remote->isDeleted != true) {
            client_->markFileDeleted(remote->id, stop);
            client_->insertJob(remote->id, "delete", stop);
        }
    }
    database_->remove(row.path);
}

namespace {

// How often the drain writes the outcomes it has so far.
constexpr std::chrono::seconds kDrainWriteInterval{1};

struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};

    bool operator==(const FileVersion& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

FileVersion versionOf(const std::filesystem::path& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "Can't open " + file.string());
    }
    return FileVersion{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
}

} // namespace

// Hashes the file, sends it, and checks that it did not change in between,
// so that the size and digest returned are those of the bytes sent. A file
// that keeps changing fails like any other upload and waits for the next try.
SyncCoordinator::SentContent SyncCoordinator::uploadAsItIs(const std::filesystem::path& file,
                                                           const std::string& storageKey,
                                                           const std::string& mimeType, std::stop_token stop) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const FileVersion before = versionOf(file);
        std::string sha = FileRules::sha256Hex(file);
        client_->uploadFile(file, storageKey, mimeType, stop);
        if (versionOf(file) == before) return SentContent{static_cast<std::int64_t>(before.size), std::move(sha)};
    }
    throw std::runtime_error("The file " + file.string() + " kept changing while it was sent");
}

// Each item leaves the queue file only once its outcome is known: the items
// settled so far are written in one replace about once a second and when the
// drain ends, so an item sent but not yet written when the process dies is
// sent again at the next start (at most about a second's worth), and nothing
// is ever lost. Items appended by others while the drain runs stay where they
// are, and so do the items of other users, which are never rewritten. A stop
// lets the drain finish; a newer start takes over the items not yet tried.
void SyncCoordinator::drainRetryQueue(RunID run) {
    // One drain at a time: a newer run's drain reads the queue only after an
    // overtaken one has written what it settled and left.
    std::lock_guard drainLock(drainMutex_);
    const std::stop_token stop = shutdown_.get_token();
    // Failures of the last pass reach the file before the drain reads it.
    retryQueue_->flush();
    const auto user = client_->currentUser(stop);
    if (!user) return;

    const auto partition = retryQueue_->partition(user->id);
    if (partition.active.empty()) return;

    log("Retrying " + std::to_string(partition.active.size()) + " pending upload(s) from previous run...");

    std::vector<RetryQueueItem> settled;
    std::vector<RetryQueueItem> again;
    auto lastWrite = std::chrono::steady_clock::now();
    const auto writeSettled = [&] {
        if (settled.empty()) return;
        retryQueue_->replace(settled, again);
        settled.clear();
        again.clear();
        lastWrite = std::chrono::steady_clock::now();
    };

    for (const auto& item : partition.active) {
        {
            std::lock_guard lock(mutex_);
            if (currentRun_ != run) break; // a newer run drains what is left
        }
        const std::string mimeType = item.mimeType.value_or("application/octet-stream");
        const std::filesystem::path localURL(item.localPath);
        std::optional<std::string> failure;
        try {
            // The row describes the bytes sent now, not those the item was
            // queued with: the file may have changed since.
            const SentContent sent = uploadAsItIs(localURL, item.storageKey, mimeType, stop);
            const RemoteFileRecord remote =
                client_->upsertRemoteFile(item.logicalPath.value_or(localURL.filename().string()), item.storageKey,
                                          sent.bytes, mimeType, sent.sha256, stop);
            if (remote.ingestedSHA256 != sent.sha256) client_->insertJob(remote.id, "ingest", stop);
        } catch (const std::exception& error) {
            failure = error.what();
        }

        settled.push_back(item);
        if (!failure) {
            log("Retry OK: " + item.storageKey);
        } else {
            RetryQueueItem retried = item;
            if (!retried.userID) retried.userID = user->id;
            if (retried.attempts < std::numeric_limits<std::int64_t>::max()) ++retried.attempts;
            retried.lastError = *failure;
            log("Retry failed for " + item.storageKey + ": " + *failure);
            again.push_back(std::move(retried));
        }
        if (std::chrono::steady_clock::now() - lastWrite >= kDrainWriteInterval) writeSettled();
    }
    writeSettled();
}

} // namespace tarnwell
