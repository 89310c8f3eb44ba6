// Remote deletes of vanished files and the sending of queued uploads.
#include "Sync/SyncCoordinator.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include <sys/stat.h>

#include "Client/SupabaseHTTPClient.hpp"
#include "Sync/FileRules.hpp"

namespace tarnwell {

void SyncCoordinator::deleteHostedRow(const std::string& storageKey, std::stop_token stop) {
    const auto remote = client_->fetchRemoteFile(storageKey, stop);
    if (!remote) return;
    if (remote->isDeleted != true) {
        client_->markFileDeleted(remote->id, stop);
        client_->insertJob(remote->id, "delete", stop);
    } else if (client_->newestJobKind(remote->id, stop) != std::optional<std::string>("delete")) {
        // Marked deleted, but the delete that did it was cut short before
        // its job went out (or someone else marked it): the hosted workers
        // hear of it only through the job.
        client_->insertJob(remote->id, "delete", stop);
    }
}

void SyncCoordinator::deleteRemoteFile(const FileStateRow& row) {
    // A file that was never sent (over the upload limit) has nothing remote.
    if (!row.storageKey.empty()) deleteHostedRow(row.storageKey, shutdown_.get_token());
    database_->remove(row.path);
}

namespace {

// The tag of the watched folder a storage key was made for ("root-" + tag
// after the account), or nothing for a key of another shape.
std::string_view rootTagOfKey(std::string_view key) {
    const auto accountEnd = key.find('/');
    constexpr std::string_view marker = "/root-";
    if (accountEnd == std::string_view::npos || key.substr(accountEnd, marker.size()) != marker) return {};
    const std::string_view rest = key.substr(accountEnd + marker.size());
    const auto end = rest.find('/');
    return end == std::string_view::npos ? std::string_view() : rest.substr(0, end);
}

} // namespace

std::string SyncCoordinator::ownerOfQueuedFile(const std::string& file, std::string_view key,
                                               std::unordered_map<std::string, std::string>& tags) {
    const std::string_view tag = rootTagOfKey(key);
    if (tag.empty()) return {};
    std::string folder = file;
    while (true) {
        const std::string parent(parentFolder(folder));
        if (parent == folder) return {};
        folder = parent;
        auto found = tags.find(folder);
        if (found == tags.end()) found = tags.emplace(folder, FileRules::rootTag(folder)).first;
        if (found->second == tag) return folder;
    }
}

void SyncCoordinator::appendQueuedFilesMissing(const std::string& root, const std::vector<std::string>& innerRoots,
                                               const std::vector<std::string>& files, const std::string& accountID,
                                               std::vector<FileStateRow>& rows, std::vector<std::string>& leftToInner) {
    if (accountID.empty()) return;
    const auto below = [&](const std::string& path) { return path != root && FileRules::isAtOrBelow(path, root); };
    {
        std::lock_guard lock(mutex_);
        if (std::none_of(queuedFiles_.begin(), queuedFiles_.end(), below)) return;
    }
    const std::vector<RetryQueueItem> queued = retryQueue_->partition(accountID).active;
    std::unordered_map<std::string, std::string> tags;
    std::unordered_set<std::string_view> missing;
    for (const auto& item : queued) {
        if (!below(item.localPath) || RetryQueueStore::inferredUserID(item.storageKey) != accountID) continue;
        if (!FileRules::isAtOrBelowAny(item.localPath, innerRoots)) {
            missing.insert(item.localPath);
        } else if (ownerOfQueuedFile(item.localPath, item.storageKey, tags) == root) {
            // Queued by a pass of this folder, judged by an inner one now.
            leftToInner.push_back(item.localPath);
        }
    }
    if (missing.empty()) return;
    for (const auto& file : files) missing.erase(file);
    if (missing.empty()) return;
    // A stored row that names the item's key stands for both: it is judged,
    // and the item leaves with it.
    std::unordered_map<std::string, std::string> storedKeys;
    for (const auto& row : rows) {
        if (missing.contains(row.path)) storedKeys.emplace(row.path, row.storageKey);
    }
    for (const auto& item : queued) {
        // One entry per file: an ownerless item and the account's own for
        // the same file leave the queue together.
        if (missing.erase(item.localPath) == 0) continue;
        if (const auto stored = storedKeys.find(item.localPath);
            stored != storedKeys.end() && stored->second == item.storageKey) {
            continue;
        }
        // Recorded under the folder whose pass queued it, so that it is
        // judged by what that folder remembered of it.
        std::string owner = ownerOfQueuedFile(item.localPath, item.storageKey, tags);
        rows.push_back(FileStateRow{item.localPath, owner.empty() ? root : std::move(owner),
                                    item.logicalPath.value_or(std::string()), item.storageKey,
                                    item.sha256.value_or(std::string()), item.bytes, 0});
    }
}

void SyncCoordinator::withdrawQueuedFile(const FileStateRow& queued, const std::string& accountID) {
    deleteHostedRow(queued.storageKey, shutdown_.get_token());
    retryQueue_->remove(queued.path, accountID);
    std::lock_guard lock(mutex_);
    queuedFiles_.erase(queued.path);
}

void SyncCoordinator::registerIngest(const RemoteFileRecord& remote, const std::string& sha256, std::stop_token stop) {
    // A row revived with the content it ingested in an earlier life still
    // has that life's "delete" as its newest job: the hosted workers learn
    // that it lives again only from a newer job, and a later delete of it
    // tells its own "delete" from the old one only by that job.
    if (remote.ingestedSHA256 == sha256 &&
        client_->newestJobKind(remote.id, stop) != std::optional<std::string>("delete")) {
        return;
    }
    client_->insertJob(remote.id, "ingest", stop);
}

namespace {

// How often the drain writes the outcomes it has so far.
constexpr std::chrono::seconds kDrainWriteInterval{1};

// As the scan reads a file's time, so that a recorded time matches it.
double milliseconds(std::int64_t seconds, std::int64_t nanoseconds) {
    return static_cast<double>(seconds) * 1000.0 + static_cast<double>(nanoseconds) / 1'000'000.0;
}

// A content digest, not a marker such as that of a file over the size limit.
bool isDigest(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

SyncCoordinator::FileVersion SyncCoordinator::versionOf(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "Can't open " + file.string());
    }
    return versionOf(info);
}

SyncCoordinator::FileVersion SyncCoordinator::versionOf(const struct stat& info) {
    return FileVersion{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                       static_cast<std::int64_t>(info.st_size),  static_cast<std::int64_t>(info.st_mtim.tv_sec),
                       info.st_mtim.tv_nsec,                     static_cast<std::int64_t>(info.st_ctim.tv_sec),
                       info.st_ctim.tv_nsec};
}

SyncCoordinator::HashedFile SyncCoordinator::readForUpload(const std::filesystem::path& file, std::stop_token stop,
                                                           std::string& buffer) {
    FileRules::FileDigest digest = FileRules::digestFile(file, stop, buffer, wholeReadLimit);
    HashedFile hashed{versionOf(digest.status), std::move(digest.sha256), std::nullopt};
    if (digest.contentKept) hashed.content = buffer;
    return hashed;
}

// Reads the file (unless the caller just did), sends it, and checks that it
// did not change since it was read, so that the size, time and digest
// returned are those of the bytes sent. A small file is sent from the very
// bytes hashed; a large one is streamed from the file, and the check tells
// whether it was still the version hashed. A file that keeps changing fails
// like any other upload and waits for the next try.
SyncCoordinator::SentContent SyncCoordinator::uploadAsItIs(const std::filesystem::path& file,
                                                           const std::string& storageKey,
                                                           const std::string& mimeType, std::stop_token stop,
                                                           const std::optional<HashedFile>& hashed) {
    std::string buffer;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // The first try sends the version that was hashed: the check after
        // the upload compares the file with that version, so a change at any
        // time since the digest was taken is caught there.
        HashedFile read = hashed && attempt == 0 ? *hashed : readForUpload(file, stop, buffer);
        if (read.content) {
            client_->uploadContent(*read.content, storageKey, mimeType, stop);
        } else {
            client_->uploadFile(file, storageKey, mimeType, stop);
        }
        const bool readWhole = !read.content || static_cast<std::int64_t>(read.content->size()) == read.version.size;
        if (readWhole && versionOf(file) == read.version) {
            return SentContent{read.version.size,
                               milliseconds(read.version.modifiedSeconds, read.version.modifiedNanoseconds),
                               std::move(read.sha256)};
        }
    }
    throw std::runtime_error("The file " + file.string() + " kept changing while it was sent");
}

SyncCoordinator::Recording SyncCoordinator::recordingOf(const RetryQueueItem& item, const std::string& userID,
                                                        const std::vector<std::string>& roots) {
    for (const auto& root : roots) {
        if (root == item.localPath || !FileRules::isAtOrBelow(item.localPath, root)) continue;
        std::string logicalPath = FileRules::logicalPath(item.localPath, root);
        if (FileRules::buildStorageKey(userID, root, logicalPath) == item.storageKey) {
            return Recording{root, std::move(logicalPath)};
        }
    }
    // Queued by a folder no longer watched there (taken off the list, or
    // with a folder of the run inside it now): recorded under it, the pass
    // of a folder that holds the file sends it anew under its own key and
    // retires this one, so that the file keeps one live row; and should it
    // be gone by then, that pass deletes this key's row.
    std::unordered_map<std::string, std::string> tags;
    std::string owner = ownerOfQueuedFile(item.localPath, item.storageKey, tags);
    if (!owner.empty()) {
        std::string logicalPath = FileRules::logicalPath(item.localPath, owner);
        if (FileRules::buildStorageKey(userID, owner, logicalPath) == item.storageKey) {
            return Recording{std::move(owner), std::move(logicalPath)};
        }
    }
    // A key of another shape (an earlier version's, say): its row still
    // names it, under the file's own folder, which any watched folder that
    // holds the file takes over.
    const std::filesystem::path path(item.localPath);
    return Recording{std::string(parentFolder(item.localPath)),
                     item.logicalPath.value_or(path.filename().string())};
}

void SyncCoordinator::recordSent(const RetryQueueItem& item, const SentContent& sent, const std::string& userID,
                                 const Recording& recording, SentFileMounts& mounts) {
    // The file was queued when its row still named another key (another
    // folder's, say): that key gives way now, as after a scan's upload.
    if (const auto recorded = database_->fileRecord(item.localPath)) {
        retireReplacedKey(recorded->storageKey, item.storageKey, userID, shutdown_.get_token());
    }
    // Gone since it was sent: the item stays queued, and a pass judges it.
    if (!mounts.remember(recording.folder, item.localPath)) {
        throw std::system_error(ENOENT, std::generic_category(), item.localPath);
    }
    database_->upsert(FileStateRow{item.localPath, recording.folder, recording.logicalPath, item.storageKey,
                                   sent.sha256, sent.bytes, sent.mtimeMilliseconds});
}

bool SyncCoordinator::isRecordedAsItIs(const RetryQueueItem& item) {
    try {
        const auto row = database_->fileRecord(item.localPath);
        if (!row || row->storageKey != item.storageKey || !isDigest(row->sha256)) return false;
        struct stat info {};
        if (::stat(item.localPath.c_str(), &info) != 0) return false;
        return row->bytes == static_cast<std::int64_t>(info.st_size) &&
               row->mtimeMilliseconds == milliseconds(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    } catch (const std::exception&) {
        return false;
    }
}

std::optional<std::string> SyncCoordinator::takeDrainFailure(const std::string& file, const std::string& storageKey,
                                                             std::int64_t size, double mtime,
                                                             const std::string& sha256) {
    std::lock_guard lock(mutex_);
    const auto found = drainFailures_.find(file);
    if (found == drainFailures_.end()) return std::nullopt;
    std::optional<std::string> error;
    const SentContent& sent = found->second.sent;
    if (found->second.storageKey == storageKey && sent.bytes == size && sent.mtimeMilliseconds == mtime &&
        sent.sha256 == sha256) {
        error = std::move(found->second.error);
    }
    drainFailures_.erase(found);
    return error;
}

void SyncCoordinator::dropQueuedItem(const std::string& file, const std::string& userID) {
    {
        std::lock_guard lock(mutex_);
        if (queuedFiles_.erase(file) == 0) return;
    }
    retryQueue_->removeWithNextWrite(file, userID);
}

void SyncCoordinator::queue(const RetryQueueItem& item) {
    {
        std::lock_guard lock(mutex_);
        queuedFiles_.insert(item.localPath);
    }
    retryQueue_->append(item);
}

bool SyncCoordinator::isQueued(const std::string& file) const {
    std::lock_guard lock(mutex_);
    return queuedFiles_.contains(file);
}

// Each item leaves the queue file only once its outcome is known: the items
// settled so far are written in one replace about once a second and when the
// drain ends, so an item sent but not yet written when the process dies is
// sent again at the next start (at most about a second's worth), and nothing
// is ever lost. Items appended by others while the drain runs stay where they
// are, and so do the items of other users, which are never rewritten. A stop
// lets the drain finish; a newer start takes over the items not yet tried;
// going away leaves them as they are. Each file sent is recorded in the
// local database as a scan records an upload, and an item whose file is
// recorded as it is already (sent before the process died, before the item
// could be written off) is dropped unsent. What the drain could not settle
// after sending a file stands for that content in the scan that follows.
void SyncCoordinator::drainRetryQueue(RunID run) {
    // One drain at a time: a newer run's drain reads the queue only after an
    // overtaken one has written what it settled and left.
    std::lock_guard drainLock(drainMutex_);
    {
        std::lock_guard lock(mutex_);
        drainFailures_.clear();
        queuedFiles_.clear();
    }
    const std::stop_token stop = shutdown_.get_token();
    // Failures of the last pass reach the file before the drain reads it.
    retryQueue_->flush();
    const auto user = client_->currentUser(stop);
    if (!user) return;

    const auto partition = retryQueue_->partition(user->id);
    if (partition.active.empty()) return;
    {
        std::lock_guard lock(mutex_);
        for (const auto& item : partition.active) queuedFiles_.insert(item.localPath);
    }
    std::vector<std::string> roots;
    {
        std::lock_guard lock(mutex_);
        roots = roots_;
    }

    log("Retrying " + std::to_string(partition.active.size()) + " pending upload(s) from previous run...");

    // Where each file the drain may record was is remembered before anything
    // is sent, so that recording it costs no more reads or writes of that.
    std::vector<Recording> recordings;
    recordings.reserve(partition.active.size());
    SentFileMounts sentMounts(*database_);
    {
        std::vector<std::pair<std::string, std::string>> recordable;
        recordable.reserve(partition.active.size());
        for (const auto& item : partition.active) {
            recordings.push_back(recordingOf(item, user->id, roots));
            recordable.emplace_back(recordings.back().folder, item.localPath);
        }
        sentMounts.prepare(recordable);
    }

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

    for (std::size_t index = 0; index < partition.active.size(); ++index) {
        const RetryQueueItem& item = partition.active[index];
        {
            std::lock_guard lock(mutex_);
            if (currentRun_ != run) break; // a newer run drains what is left
        }
        if (stop.stop_requested()) break; // going away: the rest stays as it is
        const std::string mimeType = item.mimeType.value_or("application/octet-stream");
        const std::filesystem::path localURL(item.localPath);
        std::optional<std::string> failure;
        // What was sent, once the upload went through.
        std::optional<SentContent> sent;
        const bool recorded = isRecordedAsItIs(item);
        try {
            if (!recorded) {
                // The row describes the bytes sent now, not those the item
                // was queued with: the file may have changed since.
                const SentContent sentNow = uploadAsItIs(localURL, item.storageKey, mimeType, stop);
                sent = sentNow;
                const RemoteFileRecord remote =
                    client_->upsertRemoteFile(item.logicalPath.value_or(localURL.filename().string()), item.storageKey,
                                              sentNow.bytes, mimeType, sentNow.sha256, stop);
                registerIngest(remote, sentNow.sha256, stop);
                // So that the scan after the drain finds the file unchanged.
                recordSent(item, sentNow, user->id, recordings[index], sentMounts);
            }
        } catch (const std::exception& error) {
            failure = error.what();
        }
        // An item cut short by going away was not really tried.
        if (failure && stop.stop_requested()) break;

        settled.push_back(item);
        if (!failure) {
            {
                std::lock_guard lock(mutex_);
                queuedFiles_.erase(item.localPath);
            }
            log("Retry OK: " + item.storageKey);
        } else {
            if (sent) {
                std::lock_guard lock(mutex_);
                drainFailures_[item.localPath] = DrainFailure{item.storageKey, *sent, *failure};
            }
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
