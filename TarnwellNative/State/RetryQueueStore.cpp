#include "State/RetryQueueStore.hpp"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <unordered_map>

#include <sys/stat.h>

#include "State/AppPaths.hpp"
#include "State/AtomicFile.hpp"
#include "State/JSONWriter.hpp"

namespace tarnwell {

namespace fs = std::filesystem;

namespace {

std::optional<std::vector<RetryQueueItem>> decode(const std::string& bytes) {
    nlohmann::json array = nlohmann::json::parse(bytes, nullptr, false);
    if (array.is_discarded() || !array.is_array()) {
        return std::nullopt;
    }
    std::vector<RetryQueueItem> items;
    items.reserve(array.size());
    try {
        for (const auto& element : array) {
            items.push_back(RetryQueueItem::fromJSON(element));
        }
    } catch (const JSONDecodingError&) {
        return std::nullopt;
    }
    return items;
}

std::string encode(const std::vector<RetryQueueItem>& items) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& item : items) {
        array.push_back(item.toJSON());
    }
    return JSONWriter::write(array, {true, true});
}

std::optional<std::string> ownerOf(const RetryQueueItem& item) {
    return item.userID ? item.userID : RetryQueueStore::inferredUserID(item.storageKey);
}

// Items stand for the same upload when they name the same file for the same
// owner.
std::string sameUploadKey(const RetryQueueItem& item) {
    return ownerOf(item).value_or(std::string()) + '\0' + item.localPath;
}

// Whether a removal of this file's items for this owner (and of its items
// of no owner), or only of those naming `storageKey`, takes the item.
bool isRemovedBy(const RetryQueueItem& item, const std::string& localPath, const std::string& userID,
                 const std::string* storageKey) {
    if (item.localPath != localPath || (storageKey && item.storageKey != *storageKey)) return false;
    const auto owner = ownerOf(item);
    return !owner || *owner == userID;
}

// Adds the item at the end, or in the place of the one for the same upload;
// with keepQueued the one already there stays instead. Either way the item
// that stays carries the higher count of attempts: the count only grows.
void addItem(std::vector<RetryQueueItem>& items, std::unordered_map<std::string, std::size_t>& index,
             RetryQueueItem item, bool keepQueued = false) {
    auto [found, added] = index.try_emplace(sameUploadKey(item), items.size());
    if (added) {
        items.push_back(std::move(item));
        return;
    }
    RetryQueueItem& queued = items[found->second];
    const std::int64_t attempts = std::max(queued.attempts, item.attempts);
    if (!keepQueued) {
        queued = std::move(item);
    }
    queued.attempts = attempts;
}

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

} // namespace

RetryQueueStore::RetryQueueStore() {
    try {
        url_ = AppPaths::retryQueueFile();
    } catch (...) {
        url_ = "/tmp/qv-retry-queue.json";
        sharedLocation_ = true;
    }
    legacyURL_ = AppPaths::legacyRetryQueueFile();
}

RetryQueueStore::RetryQueueStore(fs::path url, std::optional<fs::path> legacyURL,
                                 std::chrono::milliseconds writeDelay)
    : url_(std::move(url)), legacyURL_(std::move(legacyURL)), writeDelay_(writeDelay) {}

struct RetryQueueStore::ReportOnExit {
    RetryQueueStore& store;
    ~ReportOnExit() { store.reportWriteFailure(); }
};

RetryQueueStore::~RetryQueueStore() {
    if (writer_.joinable()) {
        writer_.request_stop();
        writer_.join();
    }
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    try {
        flushLocked();
    } catch (const std::exception&) {
        // Nothing is lost: the files behind these items kept their old rows.
    }
}

void RetryQueueStore::setWriteFailureHandler(WriteFailureHandler handler) {
    auto shared = handler ? std::make_shared<const WriteFailureHandler>(std::move(handler)) : nullptr;
    std::unique_lock lock(mutex_);
    writeFailureHandler_ = std::move(shared);
    reportsDone_.wait(lock, [this] { return reportsUnderWay_ == 0; });
}

void RetryQueueStore::noteWriteFailure(std::string reason) {
    if (!lastWriteFailed_) {
        failureToReport_ = std::move(reason);
    }
    lastWriteFailed_ = true;
}

void RetryQueueStore::reportWriteFailure() {
    std::unique_lock lock(mutex_);
    if (!failureToReport_) {
        return;
    }
    const std::string reason = std::move(*failureToReport_);
    failureToReport_.reset();
    const auto handler = writeFailureHandler_;
    if (!handler) {
        return;
    }
    ++reportsUnderWay_;
    lock.unlock();
    try {
        (*handler)(reason);
    } catch (...) {
        // A report that can't be told changes nothing stored.
    }
    lock.lock();
    --reportsUnderWay_;
    reportsDone_.notify_all();
}

std::optional<RetryQueueStore::FileIdentity> RetryQueueStore::identity() const {
    struct stat info {};
    if (::lstat(url_.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                        static_cast<std::int64_t>(info.st_size), nanoseconds(info.st_mtim),
                        nanoseconds(info.st_ctim)};
}

// Brings known_ up to date with the file: nothing to do while the file is the
// one last read or written; otherwise it is read again (or, when it can't be
// read, the legacy file is, and copied over).
void RetryQueueStore::refreshLocked() {
    const auto current = identity();
    if (current && knownIdentity_ && *current == *knownIdentity_) {
        return;
    }
    knownIdentity_.reset();
    undecodable_ = false;
    if (current) {
        if (auto bytes = AtomicFile::read(url_, sharedLocation_)) {
            auto items = decode(*bytes);
            undecodable_ = !items;
            known_ = items ? std::move(*items) : std::vector<RetryQueueItem>{};
            // Taken before the read: a change made meanwhile makes the next
            // look read the file once more.
            knownIdentity_ = current;
            return;
        }
    }
    known_.clear();
    if (!legacyURL_) {
        return;
    }
    auto legacyBytes = AtomicFile::read(*legacyURL_);
    if (!legacyBytes) {
        return;
    }
    auto items = decode(*legacyBytes);
    if (!items) {
        return;
    }
    try {
        writeLocked(*items);
    } catch (const std::exception&) {
        // The next look falls back to the legacy file again.
        known_ = std::move(*items);
    }
}

// The file's items followed by the pending ones, each later item for an
// upload already listed taking the earlier one's place (a file written
// before the queue kept one item per upload may list one several times).
std::vector<RetryQueueItem> RetryQueueStore::currentLocked() const {
    std::vector<RetryQueueItem> items;
    std::unordered_map<std::string, std::size_t> index;
    items.reserve(known_.size() + pending_.size());
    index.reserve(known_.size() + pending_.size());
    for (const auto& item : known_) {
        addItem(items, index, item);
    }
    std::vector<bool> removed;
    for (const auto& change : pending_) {
        if (!change.removedFor) {
            addItem(items, index, change.item);
            continue;
        }
        const std::string& path = change.item.localPath;
        const std::string* key = change.anyKey ? nullptr : &change.item.storageKey;
        for (const std::string& owner : {*change.removedFor, std::string()}) {
            const auto found = index.find(owner + '\0' + path);
            if (found == index.end() || !isRemovedBy(items[found->second], path, *change.removedFor, key)) continue;
            removed.resize(items.size(), false);
            removed[found->second] = true;
            index.erase(found);
        }
    }
    if (removed.empty()) {
        return items;
    }
    removed.resize(items.size(), false);
    std::vector<RetryQueueItem> kept;
    kept.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!removed[i]) {
            kept.push_back(std::move(items[i]));
        }
    }
    return kept;
}

void RetryQueueStore::writeLocked(const std::vector<RetryQueueItem>& items) {
    // A queue file that can't be decoded may still hold uploads a person
    // wants back: keep it under another name instead of overwriting it.
    if (undecodable_) {
        auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
        fs::path aside = url_;
        aside += ".unreadable-" + std::to_string(stamp);
        std::rename(url_.c_str(), aside.c_str());
        undecodable_ = false;
        knownIdentity_.reset();
    }
    try {
        AtomicFile::write(url_, encode(items));
    } catch (const std::system_error& error) {
        noteWriteFailure(error.code().message());
        throw;
    } catch (const std::exception& error) {
        noteWriteFailure(error.what());
        throw;
    }
    lastWriteFailed_ = false;
    known_ = items;
    knownIdentity_ = identity();
}

void RetryQueueStore::flushLocked() {
    if (pending_.empty()) {
        return;
    }
    refreshLocked();
    writeLocked(currentLocked());
    pending_.clear();
    pendingChanged_.notify_all();
}

void RetryQueueStore::runWriter(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (pending_.empty()) {
            pendingChanged_.wait(lock, stop, [this] { return !pending_.empty(); });
            continue;
        }
        // Wait out the burst, unless someone else writes it first.
        if (pendingChanged_.wait_until(lock, stop, pendingSince_ + writeDelay_,
                                       [this] { return pending_.empty(); })) {
            continue;
        }
        if (stop.stop_requested()) {
            break; // the destructor writes what is left
        }
        try {
            flushLocked();
        } catch (const std::exception&) {
            // Tried again a delay later; the next append reports the failure.
            pendingSince_ = std::chrono::steady_clock::now();
            lock.unlock();
            reportWriteFailure();
            lock.lock();
        }
    }
}

std::vector<RetryQueueItem> RetryQueueStore::read() {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    refreshLocked();
    return currentLocked();
}

void RetryQueueStore::write(const std::vector<RetryQueueItem>& items) {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    refreshLocked();
    writeLocked(items);
    pending_.clear();
    pendingChanged_.notify_all();
}

void RetryQueueStore::append(const RetryQueueItem& item) {
    // Appends are written later, together with the whole queue: an item the
    // writer can't encode is refused now, or it would stop every later write.
    JSONWriter::write(item.toJSON());
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    if (lastWriteFailed_) {
        // The disk refused the last write: don't let this item wait in
        // memory behind it, tell the caller now if it still refuses.
        pending_.push_back(PendingChange{item, std::nullopt});
        try {
            flushLocked();
        } catch (...) {
            pending_.pop_back();
            throw;
        }
        return;
    }
    addPending(PendingChange{item, std::nullopt});
}

void RetryQueueStore::addPending(PendingChange change) {
    pending_.push_back(std::move(change));
    if (pending_.size() == 1) {
        pendingSince_ = std::chrono::steady_clock::now();
        if (!writer_.joinable()) {
            writer_ = std::jthread([this](std::stop_token stop) { runWriter(stop); });
        }
        pendingChanged_.notify_all();
    }
}

void RetryQueueStore::removeWithNextWrite(const std::string& localPath, const std::string& userID,
                                          const std::optional<std::string>& storageKey) {
    PendingChange change;
    change.item.localPath = localPath;
    if (storageKey) {
        change.item.storageKey = *storageKey;
        change.anyKey = false;
    }
    change.removedFor = userID;
    std::lock_guard lock(mutex_);
    addPending(std::move(change));
}

std::optional<RetryQueueItem> RetryQueueStore::find(const std::string& localPath, const std::string& userID) {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    refreshLocked();
    // As currentLocked() would list it: the last item for the file and
    // owner, unless a later removal took it.
    std::optional<RetryQueueItem> found;
    const auto consider = [&](const RetryQueueItem& item) {
        if (item.localPath == localPath && ownerOf(item) == userID) found = item;
    };
    for (const auto& item : known_) {
        consider(item);
    }
    for (const auto& change : pending_) {
        if (!change.removedFor) {
            consider(change.item);
        } else if (found && change.item.localPath == localPath && *change.removedFor == userID &&
                   isRemovedBy(*found, localPath, userID, change.anyKey ? nullptr : &change.item.storageKey)) {
            found.reset();
        }
    }
    return found;
}

void RetryQueueStore::flush() {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    flushLocked();
}

RetryQueueStore::Partition RetryQueueStore::partition(const std::string& userID) {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    refreshLocked();
    Partition result;
    for (auto& item : currentLocked()) {
        std::optional<std::string> owner = item.userID ? item.userID : inferredUserID(item.storageKey);
        if (!owner || *owner == userID) {
            result.active.push_back(std::move(item));
        } else {
            result.deferred.push_back(std::move(item));
        }
    }
    return result;
}

void RetryQueueStore::replace(const std::vector<RetryQueueItem>& taken,
                              const std::vector<RetryQueueItem>& replacements) {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto items = currentLocked();
    std::vector<bool> removed(items.size(), false);
    // The taken items usually stand in queue order: look on from the last
    // match first, then from the start.
    std::size_t from = 0;
    for (const auto& item : taken) {
        for (std::size_t pass = 0; pass < 2; ++pass) {
            const std::size_t begin = pass == 0 ? from : 0;
            const std::size_t end = pass == 0 ? items.size() : from;
            std::size_t found = end;
            for (std::size_t i = begin; i < end; ++i) {
                if (!removed[i] && items[i] == item) {
                    found = i;
                    break;
                }
            }
            if (found != end) {
                removed[found] = true;
                from = found + 1;
                break;
            }
        }
    }
    std::vector<RetryQueueItem> kept;
    std::unordered_map<std::string, std::size_t> index;
    kept.reserve(items.size() + replacements.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!removed[i]) {
            addItem(kept, index, std::move(items[i]));
        }
    }
    for (const auto& item : replacements) {
        addItem(kept, index, item, true);
    }
    writeLocked(kept);
    pending_.clear();
    pendingChanged_.notify_all();
}

bool RetryQueueStore::remove(const std::string& localPath, const std::string& userID) {
    ReportOnExit report{*this};
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto items = currentLocked();
    const auto kept = std::remove_if(items.begin(), items.end(), [&](const RetryQueueItem& item) {
        return isRemovedBy(item, localPath, userID, nullptr);
    });
    if (kept == items.end()) {
        return false;
    }
    items.erase(kept, items.end());
    writeLocked(items);
    pending_.clear();
    pendingChanged_.notify_all();
    return true;
}

std::optional<std::string> RetryQueueStore::inferredUserID(const std::string& storageKey) {
    static constexpr std::string_view prefix = "user-";
    if (storageKey.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    std::size_t start = storageKey.find_first_not_of('/', prefix.size());
    if (start == std::string::npos) {
        return std::nullopt;
    }
    std::size_t end = storageKey.find('/', start);
    return storageKey.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace tarnwell
