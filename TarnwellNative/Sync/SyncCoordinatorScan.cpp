// One pass over a watched folder and the decision for each file in it.
#include "Sync/SyncCoordinator.hpp"

#include <algorithm>
#include <cerrno>
#include <future>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "Client/SupabaseHTTPClient.hpp"
#include "Client/SupabaseHTTPError.hpp"
#include "Sync/FileRules.hpp"
#include "Sync/MountTable.hpp"

namespace tarnwell {

namespace {

constexpr const char* kTooLargeMarker = "skipped-too-large";

bool isASCII(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The text in canonical composition; UTF-8 byte order then equals the order
// of the Unicode scalar values.
std::string composed(const std::string& text) {
    if (isASCII(text)) return text;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return text;
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
    const icu::UnicodeString result = nfc->normalize(source, status);
    if (U_FAILURE(status)) return text;
    std::string out;
    result.toUTF8String(out);
    return out;
}

// Whether the text is already in canonical composition (as names typed on
// this system nearly always are).
bool isComposed(const std::string& text) {
    if (isASCII(text)) return true;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return false;
    const bool normalized = nfc->isNormalizedUTF8(text, status);
    return U_SUCCESS(status) && normalized;
}

// Moves the paths into plain strings, releasing each path (and its parsed
// components) as it goes, then sorts them by their composed text. When every
// path is composed already, that is their byte order.
std::vector<std::string> sortedPaths(std::vector<std::filesystem::path>& files, bool& inByteOrder) {
    std::vector<std::string> paths;
    paths.reserve(files.size());
    bool allComposed = true;
    for (auto& file : files) {
        paths.push_back(file.native());
        file = std::filesystem::path();
        allComposed = allComposed && isComposed(paths.back());
    }
    files = {};
    inByteOrder = allComposed;
    if (allComposed) {
        std::sort(paths.begin(), paths.end());
        return paths;
    }
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(paths.size());
    for (auto& path : paths) keyed.emplace_back(composed(path), std::move(path));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i) paths[i] = std::move(keyed[i].second);
    return paths;
}

// Whether the watched folder itself can be walked. A folder that can't be
// walked (an unmounted volume, a removed folder, one that can be listed but
// not entered, which the walk counts as unreadable) tells nothing about its
// files.
struct FolderCheck {
    std::optional<std::string> failure;
};

FolderCheck checkFolder(const std::string& root) {
    FolderCheck check;
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        check.failure = std::generic_category().message(errno);
        return check;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || ::faccessat(fd, ".", X_OK, AT_EACCESS) != 0) {
        check.failure = std::generic_category().message(errno);
    }
    ::close(fd);
    return check;
}

// True when a file the walk did not list is there all the same: it came
// back after the walk, and the watch reports it for the next pass.
bool isThereNow(const std::string& path, const std::string& root) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && FileRules::isSupported(path) &&
           !FileRules::shouldSkip(path, root);
}

// Reads sizes and modification times, opening each folder once for the run of
// files in it, so that a path is not looked up component by component again
// for every file.
class StampReader {
public:
    StampReader() = default;
    StampReader(const StampReader&) = delete;
    StampReader& operator=(const StampReader&) = delete;
    ~StampReader() { closeFolder(); }

    // 0, or the errno of the failed read.
    int read(const std::string& file, FileStamp& stamp) {
        struct stat info {};
        const auto slash = file.rfind('/');
        int result = -1;
        if (slash == std::string::npos) {
            result = ::stat(file.c_str(), &info);
        } else {
            const std::string_view folder(file.data(), slash == 0 ? 1 : slash);
            if (folderFD_ < 0 || folder != folder_) {
                closeFolder();
                folder_ = folder;
                folderFD_ = ::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            }
            result = folderFD_ >= 0 ? ::fstatat(folderFD_, file.c_str() + slash + 1, &info, 0)
                                    : ::stat(file.c_str(), &info);
        }
        if (result != 0) return errno;
        stamp.size = static_cast<std::int64_t>(info.st_size);
        stamp.mtimeMilliseconds = static_cast<double>(info.st_mtim.tv_sec) * 1000.0 +
                                  static_cast<double>(info.st_mtim.tv_nsec) / 1'000'000.0;
        return 0;
    }

private:
    void closeFolder() {
        if (folderFD_ >= 0) ::close(folderFD_);
        folderFD_ = -1;
    }

    int folderFD_ = -1;
    std::string folder_;
};

// For each file, the index of its stored row, or noRow. Both lists in byte
// order are joined in one sweep; otherwise the rows are hashed by path.
constexpr std::size_t noRow = static_cast<std::size_t>(-1);

std::vector<std::size_t> matchRows(const std::vector<std::string>& files, bool filesInByteOrder,
                                   const std::vector<FileStateRow>& rows) {
    std::vector<std::size_t> rowOfFile(files.size(), noRow);
    if (filesInByteOrder) {
        std::vector<std::size_t> order(rows.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        const auto byPath = [&](std::size_t a, std::size_t b) { return rows[a].path < rows[b].path; };
        if (!std::is_sorted(order.begin(), order.end(), byPath)) std::sort(order.begin(), order.end(), byPath);
        std::size_t r = 0;
        for (std::size_t f = 0; f < files.size() && r < order.size(); ++f) {
            while (r < order.size() && rows[order[r]].path < files[f]) ++r;
            if (r < order.size() && rows[order[r]].path == files[f]) rowOfFile[f] = order[r++];
        }
        return rowOfFile;
    }
    std::unordered_map<std::string_view, std::size_t> rowIndex;
    rowIndex.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) rowIndex.emplace(rows[i].path, i);
    for (std::size_t f = 0; f < files.size(); ++f) {
        if (auto found = rowIndex.find(files[f]); found != rowIndex.end()) rowOfFile[f] = found->second;
    }
    return rowOfFile;
}

// The usual key of an account ("user-" + its id + "/..."), told without
// taking the key apart.
bool hasAccountPrefix(std::string_view key, std::string_view accountID) {
    constexpr std::string_view prefix = "user-";
    return key.size() > prefix.size() + accountID.size() && key.starts_with(prefix) &&
           key.substr(prefix.size(), accountID.size()) == accountID && key[prefix.size() + accountID.size()] == '/';
}

// True when the storage key names an account other than accountID. A key
// that names nobody (the empty key of a file never sent) is nobody's.
bool namesOtherAccount(const std::string& storageKey, std::string_view accountID) {
    if (accountID.empty() || storageKey.empty() || hasAccountPrefix(storageKey, accountID)) return false;
    const auto owner = RetryQueueStore::inferredUserID(storageKey);
    return owner && *owner != accountID;
}

// True when the storage key names accountID: a key of the hosted rows that
// its session can reach, and retire.
bool isOwnKey(const std::string& storageKey, std::string_view accountID) {
    if (accountID.empty() || storageKey.empty()) return false;
    return hasAccountPrefix(storageKey, accountID) || RetryQueueStore::inferredUserID(storageKey) == accountID;
}

// How many files about to be sent name their keys on disk in one batch.
constexpr std::size_t kAnnounceBatch = 256;

// True when one of the folders holds path at any depth.
bool liesInAny(std::string_view path, const std::unordered_set<std::string_view>& folders) {
    for (auto slash = path.rfind('/'); slash != std::string_view::npos && slash > 0; slash = path.rfind('/', slash - 1)) {
        if (folders.contains(path.substr(0, slash))) return true;
    }
    return !path.empty() && path.front() == '/' && folders.contains("/");
}

} // namespace

bool SyncCoordinator::claimFolder(const std::string& root, std::stop_token cancel) {
    std::unique_lock lock(mutex_);
    if (!folderReleased_.wait(lock, cancel, [&] { return !foldersInScan_.contains(root); })) return false;
    foldersInScan_.insert(root);
    return true;
}

void SyncCoordinator::releaseFolder(const std::string& root) {
    {
        std::lock_guard lock(mutex_);
        foldersInScan_.erase(root);
    }
    folderReleased_.notify_all();
}

std::vector<std::string> SyncCoordinator::innerRootsOf(const std::string& root) const {
    std::vector<std::string> inner;
    std::lock_guard lock(mutex_);
    for (const auto& other : roots_) {
        if (other != root && FileRules::isAtOrBelow(other, root) &&
            std::find(inner.begin(), inner.end(), other) == inner.end()) {
            inner.push_back(other);
        }
    }
    return inner;
}

std::vector<FileStateRow> SyncCoordinator::rowsOwnedBy(const std::string& root,
                                                       const std::vector<std::string>& innerRoots,
                                                       std::vector<std::string>& leftToInner) {
    std::vector<FileStateRow> rows = database_->rows(root);
    const auto inInner = [&](const std::string& path) { return FileRules::isAtOrBelowAny(path, innerRoots); };
    // Rows below the folder recorded under another folder exist only where
    // rows are recorded under a folder that holds this one or lies inside
    // it; most passes find none and read no more.
    const std::vector<std::string> recorded = database_->rootPaths();
    if (std::any_of(recorded.begin(), recorded.end(), [&](const std::string& other) {
            return other != root && (FileRules::isAtOrBelow(root, other) ||
                                     (FileRules::isAtOrBelow(other, root) && !inInner(other)));
        })) {
        std::vector<FileStateRow> more = database_->rowsBelow(root, root);
        rows.insert(rows.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    if (!innerRoots.empty()) {
        std::erase_if(rows, [&](const FileStateRow& row) {
            if (!inInner(row.path)) return false;
            if (row.rootPath == root) leftToInner.push_back(row.path);
            return true;
        });
    }
    return rows;
}

void SyncCoordinator::scan(const std::string& root, const std::string& reason, bool tracksInitialIndexing, RunID run,
                           std::stop_token cancel) {
    if (!isLive(run)) return;
    // A pass lists the folder once and deletes what that list lacks, so two
    // passes of one folder must not overlap: the newer one waits, and then
    // lists the folder as the older one left it.
    if (!claimFolder(root, cancel)) return;
    struct Claim {
        SyncCoordinator* self;
        const std::string& root;
        ~Claim() { self->releaseFolder(root); }
    } claim{this, root};
    // A rescan is cancelled when the folder changed again; the newer one
    // that follows does its work, deletes included.
    const auto superseded = [&] { return cancel.stop_requested() && isLive(run); };
    if (!isLive(run) || cancel.stop_requested()) return;

    flushRetryQueue();
    log(reason + ": " + root);

    const FolderCheck before = checkFolder(root);
    MountTable mountsAtWalk = MountTable::current();
    const std::string mountsBefore = MountGuard::signatureOf(mountsAtWalk, root);
    // Watched folders inside this one are theirs alone.
    const std::vector<std::string> innerRoots = innerRootsOf(root);
    // A rescan neither counts nor logs unsupported files: it holds none.
    auto enumeration = FileRules::enumerateFiles(
        root, tracksInitialIndexing ? FileRules::UnsupportedFiles::listed : FileRules::UnsupportedFiles::dropped,
        cancel, innerRoots);
    // A walk cut short lists part of the folder only: nothing is sent or
    // deleted from it.
    if (cancel.stop_requested()) {
        if (superseded()) log(reason + " of " + root + " cut short: the folder changed again and is scanned anew.");
        return;
    }
    bool filesInByteOrder = false;
    const std::vector<std::string> files = sortedPaths(enumeration.supportedFiles, filesInByteOrder);

    // The files' sizes and times are read on a helper thread while the stored
    // rows load here (where the memory the walk just gave back is reused).
    std::vector<FileStamp> stamps(files.size());
    std::vector<int> stampErrors(files.size(), 0);
    auto stampsRead = std::async(std::launch::async, [&] {
        StampReader reader;
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (i % 4096 == 0 && !isLive(run)) return; // the file loop below ends at once too
            stampErrors[i] = reader.read(files[i], stamps[i]);
        }
    });
    std::vector<FileStateRow> rows;
    // Files of this folder's that an inner folder judges now: what is
    // remembered of them stays until it has.
    std::vector<std::string> leftToInner;
    try {
        rows = rowsOwnedBy(root, innerRoots, leftToInner);
    } catch (...) {
        stampsRead.wait();
        throw;
    }
    stampsRead.get();

    if (tracksInitialIndexing) {
        if (addUnsupportedFiles(static_cast<std::int64_t>(enumeration.unsupportedFiles.size()), run)) {
            for (const auto& file : enumeration.unsupportedFiles) {
                log("Unsupported file type skipped: " + file.string());
            }
        }
        if (auto total = addTotalFiles(static_cast<std::int64_t>(files.size()), run)) {
            log("Found " + std::to_string(*total) + " files. Indexing...");
        }
    }
    enumeration.unsupportedFiles = {};
    // Folders the walk could not read hide their files; those files are not gone.
    const std::vector<FileRules::UnreadableFolder> unreadable = std::move(enumeration.unreadableFolders);

    // Each file's stored row; rows that no file claims belong to vanished files.
    const std::vector<std::size_t> rowOfFile = matchRows(files, filesInByteOrder, rows);
    std::vector<bool> rowSeen(rows.size(), false);
    for (std::size_t row : rowOfFile) {
        if (row != noRow) rowSeen[row] = true;
    }

    const auto cutShort = [&] {
        log(reason + " of " + root + " cut short: the folder changed again and is scanned anew.");
    };

    // Whose rows count as this account's own: read once, from the stored
    // session, not for every file.
    std::string accountID;
    try {
        if (auto session = client_->currentSession(); session && session->user) accountID = session->user->id;
    } catch (const std::exception&) {
    }

    // A queued file not found is judged as a row: its upload may have
    // registered a hosted row that no stored row names. It is one of the
    // rows whose mounts stay remembered until it is judged.
    const std::size_t storedRows = rows.size();
    appendQueuedFilesMissing(root, innerRoots, files, accountID, rows, leftToInner);
    rowSeen.resize(rows.size(), false);

    // What is remembered of the mounts the files are on goes to disk before
    // any row of them does. When something was mounted or unmounted since
    // the walk, its list is not what the folder holds: nothing is sent or
    // deleted, and the change rescans the folder.
    MountGuard mounts(root, *database_, rows, rowSeen, std::move(leftToInner), std::move(mountsAtWalk));
    const bool mountsMoved = !mounts.rememberFound(files, mountsBefore);

    Counters counters;
    std::string content; // each small file's bytes in turn
    // What announceSends() put on disk for the files about to be sent.
    SendBatch batch;
    for (std::size_t i = 0; i < files.size() && !mountsMoved; ++i) {
        if (!isLive(run) || cancel.stop_requested()) break;
        const auto& file = files[i];
        const FileStateRow* previous = rowOfFile[i] == noRow ? nullptr : &rows[rowOfFile[i]];
        if (i >= batch.end) batch = announceSends(root, files, i, rowOfFile, rows, stamps, stampErrors, accountID);
        try {
            if (stampErrors[i] != 0) throw std::system_error(stampErrors[i], std::generic_category(), file);
            switch (processFile(file, root, previous, stamps[i], accountID, cancel, content, batch.planFor(i))) {
            case ScanResult::uploaded: ++counters.uploaded; break;
            case ScanResult::skipped: ++counters.skipped; break;
            case ScanResult::deleted: ++counters.deleted; break;
            case ScanResult::failed: ++counters.failed; break;
            }
        } catch (const CancellationError&) {
            break; // cut short before its upload; the file was left as it was
        } catch (const std::exception& error) {
            ++counters.failed;
            log("Upload failed, queued for retry: " + file + " (" + error.what() + ")");
        }
        if (tracksInitialIndexing) {
            if (auto scanned = countScannedFile(run)) log("Scanned: " + std::to_string(*scanned));
        }
    }
    if (superseded()) {
        cutShort();
        return;
    }

    // Deletes are trusted only when the folder could be walked, nothing was
    // mounted or unmounted there meanwhile, and each folder is on the mount
    // its files were last seen on (or, where that is not remembered, still
    // shows some of them): another volume mounted over it, or the one it was
    // on unmounted, shows other files.
    const FolderCheck after = checkFolder(root);
    std::optional<std::string> openFailure = before.failure ? before.failure : after.failure;
    mounts.readMountsAgain();
    if (!openFailure && (mountsMoved || mounts.signature() != mountsBefore)) {
        openFailure = "something was mounted or unmounted there during the scan";
    }
    if (openFailure) {
        log("Cannot open " + root + " (" + *openFailure + "); deletes skipped for this folder.");
    } else {
        std::unordered_set<std::string_view> hidden;
        for (const auto& folder : unreadable) {
            if (!hidden.insert(folder.path.native()).second) continue;
            log("Cannot open " + folder.path.native() + " (" + std::generic_category().message(folder.error) +
                "); deletes skipped for this folder.");
        }
        std::vector<bool> rowDeleted(rows.size(), false);
        bool goingAway = false;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rowSeen[i] || (!hidden.empty() && liesInAny(rows[i].path, hidden))) continue;
            if (superseded()) {
                cutShort();
                return;
            }
            if (isThereNow(rows[i].path, root) || mounts.keeps(i)) continue;
            // Going away ends the deletes as it ends the uploads: the rows
            // left are still judged, so that the next pass deletes them
            // whatever it learns meanwhile.
            goingAway = goingAway || shutdown_.stop_requested();
            if (goingAway) continue;
            try {
                if (i < storedRows) {
                    deleteRemoteFile(rows[i]);
                    // Its queued item, when it names the same key, goes with it.
                    if (isQueued(rows[i].path) && !rows[i].storageKey.empty()) {
                        retryQueue_->removeWithNextWrite(rows[i].path, accountID, rows[i].storageKey);
                    }
                } else {
                    withdrawQueuedFile(rows[i], accountID);
                }
                rowDeleted[i] = true;
                ++counters.deleted;
            } catch (const std::exception& error) {
                if (shutdown_.stop_requested()) continue; // cut short by going away, not failed
                ++counters.failed;
                log("Delete sync warning for " + rows[i].path + ": " + error.what());
            }
        }
        tellMountChanges(root, mounts.changes());
        mounts.save(files, rowDeleted);
    }

    log("Summary: uploaded " + std::to_string(counters.uploaded) + ", skipped " + std::to_string(counters.skipped) +
        ", deleted " + std::to_string(counters.deleted) + ", failed " + std::to_string(counters.failed) + ".");
}

SyncCoordinator::SendPlan SyncCoordinator::planSend(const std::string& file, const FileStateRow* previous,
                                                    const std::string& userID, std::string logicalPath,
                                                    std::string storageKey) {
    SendPlan plan;
    plan.logicalPath = std::move(logicalPath);
    plan.storageKey = std::move(storageKey);
    const bool rowNamesOwnKey = previous && isOwnKey(previous->storageKey, userID);
    if (!rowNamesOwnKey) {
        plan.earlyRow = true;
    } else if (previous->storageKey != plan.storageKey) {
        plan.queueFirst = true;
    }
    if (isQueued(file)) {
        const auto queued = retryQueue_->find(file, userID);
        if (queued && isOwnKey(queued->storageKey, userID) && queued->storageKey != plan.storageKey &&
            !(rowNamesOwnKey && queued->storageKey == previous->storageKey)) {
            plan.retireFirst = queued->storageKey;
        }
    }
    return plan;
}

RetryQueueItem SyncCoordinator::queuedItemFor(const std::string& file, const std::string& storageKey,
                                              const std::string& logicalPath, std::int64_t size,
                                              const std::string& userID) {
    RetryQueueItem item;
    item.localPath = file;
    item.storageKey = storageKey;
    item.legacyStorageKey = FileRules::legacyStorageKey(userID, logicalPath);
    item.bytes = size;
    item.mimeType = FileRules::mimeType(file);
    item.logicalPath = logicalPath;
    item.userID = userID;
    item.attempts = 0;
    return item;
}

const SyncCoordinator::SendPlan& SyncCoordinator::SendBatch::planFor(std::size_t file) {
    static const SendPlan none;
    while (next < plans.size() && plans[next].first < file) ++next;
    return next < plans.size() && plans[next].first == file ? plans[next].second : none;
}

SyncCoordinator::SendBatch SyncCoordinator::announceSends(const std::string& root,
                                                          const std::vector<std::string>& files, std::size_t from,
                                                          const std::vector<std::size_t>& rowOfFile,
                                                          const std::vector<FileStateRow>& rows,
                                                          const std::vector<FileStamp>& stamps,
                                                          const std::vector<int>& stampErrors,
                                                          const std::string& accountID) {
    SendBatch batch;
    // Without the account, each file's own step finds it and plans itself.
    if (accountID.empty()) {
        batch.end = files.size();
        return batch;
    }
    std::vector<FileStateRow> earlyRows;
    std::vector<std::size_t> queuedFirst; // places in batch.plans
    std::size_t i = from;
    for (; i < files.size() && batch.plans.size() < kAnnounceBatch; ++i) {
        if (stampErrors[i] != 0 || stamps[i].size > config_.maxUploadBytes) continue;
        const FileStateRow* previous = rowOfFile[i] == noRow ? nullptr : &rows[rowOfFile[i]];
        // Only the files sent whatever their content: new ones, and those
        // whose row stands for another upload of this account's than this
        // folder's. (A row of another account's is left as it is until its
        // file is reached.)
        if (previous && ((previous->rootPath == root && isOwnKey(previous->storageKey, accountID)) ||
                         namesOtherAccount(previous->storageKey, accountID))) {
            continue;
        }
        std::string logicalPath = FileRules::logicalPath(files[i], root);
        std::string key = FileRules::buildStorageKey(accountID, root, logicalPath);
        SendPlan plan = planSend(files[i], previous, accountID, std::move(logicalPath), std::move(key));
        // A key to retire first costs requests: left to the file's own step.
        if (!plan.retireFirst.empty() || (!plan.earlyRow && !plan.queueFirst)) continue;
        if (plan.earlyRow) {
            earlyRows.push_back(FileStateRow{files[i], root, plan.logicalPath, plan.storageKey, std::string(), -1, 0});
        } else {
            queuedFirst.push_back(batch.plans.size());
        }
        batch.plans.emplace_back(i, std::move(plan));
    }
    batch.end = i;
    // What can't be written here is written by each file's own step, which
    // then reports the failure.
    const auto forget = [&](bool early) {
        for (auto& [file, plan] : batch.plans) {
            if (plan.earlyRow == early) plan = SendPlan();
        }
    };
    try {
        database_->upsertAll(earlyRows);
    } catch (const std::exception&) {
        forget(true);
    }
    if (!queuedFirst.empty()) {
        try {
            for (std::size_t place : queuedFirst) {
                const auto& [file, plan] = batch.plans[place];
                queue(queuedItemFor(files[file], plan.storageKey, plan.logicalPath, stamps[file].size, accountID));
            }
            retryQueue_->flush();
        } catch (const std::exception&) {
            forget(false);
        }
    }
    return batch;
}

ScanResult SyncCoordinator::processFile(const std::string& file, const std::string& root,
                                        const FileStateRow* previous, const FileStamp& stamp,
                                        std::string_view accountID, std::stop_token cancel, std::string& content,
                                        const SendPlan& planned) {
    const std::int64_t size = stamp.size;
    const double mtime = stamp.mtimeMilliseconds;

    if (size > config_.maxUploadBytes) {
        const std::string logicalPath = FileRules::logicalPath(file, root);
        log("File too large for upload, skipped: " + file);
        database_->upsert(FileStateRow{file, root, logicalPath, previous ? previous->storageKey : std::string(),
                                       kTooLargeMarker, size, mtime});
        return ScanResult::skipped;
    }

    // A row recorded under another folder (one that owned the file before)
    // or under another account's key stands for another upload than the one
    // this folder makes for the signed-in account: the file is sent anew.
    const auto rowIsThisUpload = [&](std::string_view account) {
        return previous->rootPath == root && !namesOtherAccount(previous->storageKey, account);
    };
    // A file that was over the limit was never sent as it is now.
    if (previous && previous->bytes == size && previous->mtimeMilliseconds == mtime &&
        previous->sha256 != kTooLargeMarker && rowIsThisUpload(accountID)) {
        return ScanResult::skipped;
    }

    const std::string logicalPath =
        planned.storageKey.empty() ? FileRules::logicalPath(file, root) : planned.logicalPath;
    // Read once: a small file's bytes are hashed and later sent from memory.
    HashedFile hashed;
    try {
        hashed = readForUpload(file, cancel, content);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::operation_canceled && cancel.stop_requested()) throw CancellationError();
        throw;
    }
    const std::string& sha = hashed.sha256;
    const std::stop_token stop = shutdown_.get_token();

    std::string userID;
    if (auto session = client_->currentSession(); session && session->user) {
        userID = session->user->id;
    } else if (auto user = client_->currentUser(stop)) {
        userID = user->id;
    } else {
        throw SupabaseHTTPError::notAuthenticated();
    }

    const bool announced = !planned.storageKey.empty() && userID == accountID;
    const std::string storageKey =
        announced ? planned.storageKey : FileRules::buildStorageKey(userID, root, logicalPath);

    if (previous && previous->sha256 == sha && rowIsThisUpload(userID)) {
        database_->upsert(FileStateRow{file, root, logicalPath, previous->storageKey, sha, size, mtime});
        return ScanResult::skipped;
    }

    // This very content was sent by the drain of this start, which queued it
    // again: that outcome stands, the file is not sent twice.
    if (auto failure = takeDrainFailure(file, storageKey, size, mtime, sha)) throw std::runtime_error(*failure);

    SyncMode mode;
    {
        std::lock_guard lock(mutex_);
        mode = currentMode_;
    }
    if (sync_mode::processingDelayNanoseconds(mode) > 0) {
        pause(timing_.uploadPause.value_or(std::chrono::nanoseconds(sync_mode::processingDelayNanoseconds(mode))),
              cancel);
    }

    const std::string mimeType = FileRules::mimeType(file);
    // Unless the pass's batch did already, the key the file is sent under is
    // named on disk before anything is sent (see planSend()).
    const SendPlan plan = announced ? SendPlan() : planSend(file, previous, userID, logicalPath, storageKey);
    // The item's place is needed for the key sent under now: a key only that
    // item names gives way first (a failure leaves the item as it is).
    if (!plan.retireFirst.empty()) deleteHostedRow(plan.retireFirst, stop);
    try {
        if (plan.earlyRow) database_->upsert(FileStateRow{file, root, logicalPath, storageKey, std::string(), -1, 0});
        if (plan.queueFirst) {
            queue(queuedItemFor(file, storageKey, logicalPath, size, userID));
            retryQueue_->flush();
        }
        // The file may have changed since it was listed or during the pause:
        // the rows describe the bytes sent.
        const SentContent sent = uploadAsItIs(file, storageKey, mimeType, stop, hashed);
        const RemoteFileRecord remote =
            client_->upsertRemoteFile(logicalPath, storageKey, sent.bytes, mimeType, sent.sha256, stop);
        registerIngest(remote, sent.sha256, stop);
        // Before the row forgets the key it named: a failure here leaves it,
        // and the retry of the upload retires that key then.
        if (previous) retireReplacedKey(previous->storageKey, storageKey, userID, stop);
        database_->upsert(
            FileStateRow{file, root, logicalPath, storageKey, sent.sha256, sent.bytes, sent.mtimeMilliseconds});
        dropQueuedItem(file, userID);
        return ScanResult::uploaded;
    } catch (const std::exception& error) {
        // The row (which records no content yet when it was new) and the
        // item stand for the file until it is sent.
        RetryQueueItem item = queuedItemFor(file, storageKey, logicalPath, size, userID);
        item.mimeType = mimeType;
        item.sha256 = sha;
        item.lastError = error.what();
        queue(item); // its own failure replaces the upload's
        throw;
    }
}

void SyncCoordinator::retireReplacedKey(const std::string& replacedKey, const std::string& newKey,
                                        const std::string& userID, std::stop_token stop) {
    if (replacedKey.empty() || replacedKey == newKey || RetryQueueStore::inferredUserID(replacedKey) != userID) {
        return;
    }
    deleteHostedRow(replacedKey, stop);
}

} // namespace tarnwell
