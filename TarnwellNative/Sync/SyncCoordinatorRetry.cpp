// Remote deletes of vanished files and the sending of queued uploads.
#include "Sync/SyncCoordinator.hpp"

#include <limits>

#include "Client/SupabaseHTTPClient.hpp"

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

// Each item leaves the queue file only once its outcome is known, through a
// replace of that one item: an item sent but not yet replaced when the
// process dies is sent again at the next start, and nothing is ever lost.
// Items appended by others while the drain runs stay where they are, and so
// do the items of other users, which are never rewritten. A stop lets the
// drain finish; a newer start takes over the items not yet tried.
void SyncCoordinator::drainRetryQueue(RunID run) {
    // One drain at a time: a newer run's drain reads the queue only after an
    // overtaken one has settled its item in hand and left.
    std::lock_guard drainLock(drainMutex_);
    const std::stop_token stop = shutdown_.get_token();
    const auto user = client_->currentUser(stop);
    if (!user) return;

    const auto partition = retryQueue_->partition(user->id);
    if (partition.active.empty()) return;

    log("Retrying " + std::to_string(partition.active.size()) + " pending upload(s) from previous run...");

    for (const auto& item : partition.active) {
        {
            std::lock_guard lock(mutex_);
            if (currentRun_ != run) return; // a newer run drains what is left
        }
        const std::string mimeType = item.mimeType.value_or("application/octet-stream");
        const std::filesystem::path localURL(item.localPath);
        std::optional<std::string> failure;
        try {
            client_->uploadFile(localURL, item.storageKey, mimeType, stop);
            const RemoteFileRecord remote =
                client_->upsertRemoteFile(item.logicalPath.value_or(localURL.filename().string()), item.storageKey,
                                          item.bytes, mimeType, item.sha256.value_or(std::string()), stop);
            if (remote.ingestedSHA256 != item.sha256) client_->insertJob(remote.id, "ingest", stop);
        } catch (const std::exception& error) {
            failure = error.what();
        }

        if (!failure) {
            log("Retry OK: " + item.storageKey);
            retryQueue_->replace({item}, {});
            continue;
        }
        RetryQueueItem again = item;
        if (!again.userID) again.userID = user->id;
        if (again.attempts < std::numeric_limits<std::int64_t>::max()) ++again.attempts;
        again.lastError = *failure;
        log("Retry failed for " + item.storageKey + ": " + *failure);
        retryQueue_->replace({item}, {again});
    }
}

} // namespace tarnwell
