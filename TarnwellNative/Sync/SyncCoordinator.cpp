// The coordinator's frame: handlers, saved choices, progress, and starting
// and stopping a run.
#include "Sync/SyncCoordinator.hpp"

#include <utility>

#include "Client/SupabaseHTTPClient.hpp"
#include "State/JSONWriter.hpp"
#include "Sync/DirectoryEventStream.hpp"
#include "Sync/FileRules.hpp"

namespace tarnwell {

namespace {

constexpr const char* kAutoIndexKey = "auto_index";
constexpr const char* kModeKey = "pref_mode";
constexpr const char* kWatchedFoldersKey = "watched_folders";

// The path with every byte that is not part of valid UTF-8 text, and every
// control character, written as \xNN, so that it can be shown.
std::string escapedPath(const std::string& path) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < path.size();) {
        const auto byte = static_cast<unsigned char>(path[i]);
        std::size_t length = 1;
        if (byte >= 0x80) {
            length = 0;
            for (std::size_t n = 2; n <= 4 && i + n <= path.size(); ++n) {
                if (isValidUTF8(std::string_view(path).substr(i, n))) {
                    length = n;
                    break;
                }
            }
        }
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            text += "\\x";
            text += digits[byte >> 4];
            text += digits[byte & 0xF];
            ++i;
        } else {
            text.append(path, i, length);
            i += length;
        }
    }
    return text;
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += separator;
        text += items[i];
    }
    return text;
}

} // namespace

SyncCoordinator::SyncCoordinator(PublicConfig config, std::shared_ptr<SupabaseHTTPClient> client,
                                 std::shared_ptr<LocalDatabase> database,
                                 std::shared_ptr<RetryQueueStore> retryQueue,
                                 std::shared_ptr<SessionStore> sessionStore, Timing timing)
    : config_(std::move(config)),
      client_(std::move(client)),
      database_(std::move(database)),
      retryQueue_(std::move(retryQueue)),
      sessionStore_(std::move(sessionStore)),
      timing_(timing) {
    retryQueue_->setWriteFailureHandler([this](const std::string& reason) { logRetryQueueWriteFailure(reason); });
}

SyncCoordinator::~SyncCoordinator() {
    shutdown();
    {
        std::unique_lock lock(mutex_);
        startsDone_.wait(lock, [this] { return startsInFlight_ == 0; });
    }
    flushRetryQueue();
    retryQueue_->setWriteFailureHandler(nullptr);
}

void SyncCoordinator::shutdown() {
    std::unique_ptr<DirectoryEventStream> stream;
    std::vector<std::unique_ptr<RescanTask>> tasks;
    {
        std::lock_guard lock(mutex_);
        shuttingDown_ = true;
        isRunning_ = false;
        stream = std::move(eventStream_);
        for (auto& [root, task] : rescanTasks_) {
            task->cancel.request_stop();
            tasks.push_back(std::move(task));
        }
        rescanTasks_.clear();
        for (auto& task : retiredRescans_) {
            task->cancel.request_stop();
            tasks.push_back(std::move(task));
        }
        retiredRescans_.clear();
    }
    shutdown_.request_stop();
    if (stream) stream->stop();
    for (auto& task : tasks) {
        if (task->thread.joinable()) task->thread.join();
    }
}

// Puts the failures queued so far on disk. A failure to write is dropped
// here: the items stay pending in the store, and the files they stand for
// kept their rows, so the next pass sends them anyway.
void SyncCoordinator::flushRetryQueue() noexcept {
    try {
        retryQueue_->flush();
    } catch (const std::exception&) {
    }
}

// Told once for each run of failed writes of the queue file.
void SyncCoordinator::logRetryQueueWriteFailure(const std::string& reason) {
    log("Could not write " + retryQueue_->url().string() + " (" + reason +
        "); uploads that fail until it can be written are sent again by the next scan.");
}

// MARK: - Handlers

void SyncCoordinator::setLogHandler(LogHandler handler) {
    auto shared = handler ? std::make_shared<const LogHandler>(std::move(handler)) : nullptr;
    std::lock_guard lock(mutex_);
    logHandler_ = std::move(shared);
}

void SyncCoordinator::setIndexingHandler(IndexingHandler handler) {
    auto shared = handler ? std::make_shared<const IndexingHandler>(std::move(handler)) : nullptr;
    std::lock_guard delivery(deliveryMutex_);
    IndexingProgressSnapshot snapshot;
    {
        std::lock_guard lock(mutex_);
        indexingHandler_ = shared;
        snapshot = indexingProgress_;
    }
    if (shared) (*shared)(snapshot);
}

void SyncCoordinator::setUnsupportedFilesHandler(UnsupportedFilesHandler handler) {
    auto shared = handler ? std::make_shared<const UnsupportedFilesHandler>(std::move(handler)) : nullptr;
    std::lock_guard delivery(deliveryMutex_);
    std::int64_t count = 0;
    {
        std::lock_guard lock(mutex_);
        unsupportedFilesHandler_ = shared;
        count = unsupportedFilesCount_;
    }
    if (shared) (*shared)(count);
}

void SyncCoordinator::log(const std::string& message) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const LogHandler> handler;
    {
        std::lock_guard lock(mutex_);
        handler = logHandler_;
    }
    if (handler) (*handler)(message);
}

bool SyncCoordinator::isRunning() const {
    std::lock_guard lock(mutex_);
    return isRunning_;
}

bool SyncCoordinator::isLive(RunID run) const {
    std::lock_guard lock(mutex_);
    return isLiveLocked(run);
}

// MARK: - Saved choices

SyncStateSnapshot SyncCoordinator::restoreSnapshot() {
    SyncStateSnapshot snapshot;
    try {
        snapshot.user = client_->currentUser(shutdown_.get_token());
    } catch (...) {
        snapshot.user.reset();
        // No answer is no verdict on the session: a launch before the
        // network is up keeps the user the stored session names.
        if (SupabaseHTTPClient::isUnanswered(std::current_exception())) {
            try {
                if (auto session = sessionStore_->load()) snapshot.user = session->user;
            } catch (...) {
            }
        }
    }
    try {
        snapshot.folders = storedFolders();
    } catch (...) {
        snapshot.folders.clear();
    }
    try {
        snapshot.mode = storedMode();
    } catch (...) {
        snapshot.mode = SyncMode::regular;
    }
    try {
        snapshot.autoStart = database_->preference(kAutoIndexKey) == std::optional<std::string>("true");
    } catch (...) {
        snapshot.autoStart = false;
    }
    snapshot.running = isRunning();
    return snapshot;
}

std::vector<std::string> SyncCoordinator::storedFolders() {
    const auto text = database_->preference(kWatchedFoldersKey);
    if (!text) return {};
    const auto value = nlohmann::json::parse(*text, nullptr, false);
    if (value.is_discarded() || !value.is_array()) return {};
    std::vector<std::string> folders;
    folders.reserve(value.size());
    for (const auto& entry : value) {
        if (!entry.is_string()) return {};
        folders.push_back(entry.get<std::string>());
    }
    return folders;
}

SyncMode SyncCoordinator::storedMode() {
    const auto text = database_->preference(kModeKey);
    if (!text) return SyncMode::regular;
    return sync_mode::fromRawValue(*text).value_or(SyncMode::regular);
}

// MARK: - Progress

bool SyncCoordinator::resetProgress(RunID run) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const IndexingHandler> indexing;
    std::shared_ptr<const UnsupportedFilesHandler> unsupported;
    IndexingProgressSnapshot snapshot;
    {
        std::lock_guard lock(mutex_);
        if (!isLiveLocked(run)) return false;
        indexingProgress_ = IndexingProgressSnapshot{0, 0, true, std::chrono::system_clock::now()};
        unsupportedFilesCount_ = 0;
        snapshot = indexingProgress_;
        indexing = indexingHandler_;
        unsupported = unsupportedFilesHandler_;
    }
    if (indexing) (*indexing)(snapshot);
    if (unsupported) (*unsupported)(0);
    return true;
}

bool SyncCoordinator::markInitialScanComplete(RunID run) {
    {
        std::lock_guard delivery(deliveryMutex_);
        std::shared_ptr<const IndexingHandler> indexing;
        IndexingProgressSnapshot snapshot;
        {
            std::lock_guard lock(mutex_);
            if (!isLiveLocked(run)) return false;
            indexingProgress_.isActive = false;
            snapshot = indexingProgress_;
            indexing = indexingHandler_;
        }
        if (indexing) (*indexing)(snapshot);
    }
    log("Initial scan complete");
    return true;
}

void SyncCoordinator::setIndexingProgress(bool isActive, std::optional<RunID> onlyIfStillRun) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const IndexingHandler> indexing;
    IndexingProgressSnapshot snapshot;
    {
        std::lock_guard lock(mutex_);
        if (onlyIfStillRun && currentRun_ != *onlyIfStillRun) return;
        indexingProgress_.isActive = isActive;
        snapshot = indexingProgress_;
        indexing = indexingHandler_;
    }
    if (indexing) (*indexing)(snapshot);
}

void SyncCoordinator::clearProgress(RunID run) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const IndexingHandler> indexing;
    {
        std::lock_guard lock(mutex_);
        if (currentRun_ != run) return; // a newer start owns the progress
        indexingProgress_ = IndexingProgressSnapshot::idle();
        indexing = indexingHandler_;
    }
    if (indexing) (*indexing)(IndexingProgressSnapshot::idle());
}

bool SyncCoordinator::addUnsupportedFiles(std::int64_t count, RunID run) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const UnsupportedFilesHandler> unsupported;
    std::int64_t total = 0;
    {
        std::lock_guard lock(mutex_);
        if (!isLiveLocked(run)) return false;
        unsupportedFilesCount_ += count;
        total = unsupportedFilesCount_;
        unsupported = unsupportedFilesHandler_;
    }
    if (unsupported) (*unsupported)(total);
    return true;
}

std::optional<std::int64_t> SyncCoordinator::addTotalFiles(std::int64_t count, RunID run) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const IndexingHandler> indexing;
    IndexingProgressSnapshot snapshot;
    {
        std::lock_guard lock(mutex_);
        if (!isLiveLocked(run)) return std::nullopt;
        const auto& current = indexingProgress_;
        indexingProgress_ = IndexingProgressSnapshot{
            current.totalFiles.value_or(0) + count, current.scannedFiles, true,
            current.startedAt.value_or(std::chrono::system_clock::now())};
        snapshot = indexingProgress_;
        indexing = indexingHandler_;
    }
    if (indexing) (*indexing)(snapshot);
    return snapshot.totalFiles;
}

std::optional<std::int64_t> SyncCoordinator::countScannedFile(RunID run) {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<const IndexingHandler> indexing;
    IndexingProgressSnapshot snapshot;
    {
        std::lock_guard lock(mutex_);
        if (!isLiveLocked(run)) return std::nullopt;
        const auto& current = indexingProgress_;
        indexingProgress_ =
            IndexingProgressSnapshot{current.totalFiles, current.scannedFiles + 1, true, current.startedAt};
        snapshot = indexingProgress_;
        indexing = indexingHandler_;
    }
    if (indexing) (*indexing)(snapshot);
    return snapshot.scannedFiles;
}

// MARK: - Starting and stopping

void SyncCoordinator::startSync(const std::vector<std::string>& roots, SyncMode mode) { startSync(roots, mode, {}); }

void SyncCoordinator::startSync(const std::vector<std::string>& roots, SyncMode mode,
                                const std::function<void()>& begun) {
    std::vector<std::string> standardized;
    standardized.reserve(roots.size());
    for (const auto& root : roots) standardized.push_back(FileRules::standardizedPath(root).string());

    // The folders are saved as JSON text: a path that is not UTF-8 can't be.
    std::optional<std::string> unsavable;
    for (const auto& root : roots) {
        if (!isValidUTF8(root)) {
            unsavable = root;
            break;
        }
    }

    RunID run = 0;
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        const bool idle = !(isRunning_ || roots.empty() || shuttingDown_);
        refused = idle && unsavable.has_value();
        if (idle && !refused) {
            roots_ = standardized;
            currentMode_ = mode;
            isRunning_ = true;
            run = ++currentRun_;
            mountChangesTold_.clear();
            ++startsInFlight_;
        }
    }
    if (begun) begun();
    if (refused) {
        throw JSONEncodingError("The folder \"" + escapedPath(*unsavable) +
                                "\" can't be synced: its path is not valid UTF-8 text");
    }
    if (run == 0) return;
    struct StartGuard {
        SyncCoordinator* self;
        ~StartGuard() {
            std::lock_guard lock(self->mutex_);
            --self->startsInFlight_;
            self->startsDone_.notify_all();
        }
    } guard{this};

    try {
        if (!resetProgress(run)) return;

        database_->setPreference("true", kAutoIndexKey);
        database_->setPreference(sync_mode::rawValue(mode), kModeKey);
        nlohmann::json folders = nlohmann::json::array();
        for (const auto& root : roots) folders.push_back(root);
        database_->setPreference(JSONWriter::write(folders, JSONWriteOptions{false, true}), kWatchedFoldersKey);

        log("Starting sync (" + sync_mode::rawValue(mode) + ")...");
        log("Folders: " + joined(roots, ", "));
        log("Performing initial scan...");

        drainRetryQueue(run);

        startEventStream(standardized, run);
        for (const auto& root : standardized) {
            scan(root, "Initial scan", true, run, shutdown_.get_token());
        }

        // A run that was stopped (or replaced by a newer one) meanwhile ends
        // here without claiming completion; its stop took the watch.
        if (!markInitialScanComplete(run)) return;
        releaseHeldEvents(standardized, run);
    } catch (...) {
        std::unique_ptr<DirectoryEventStream> stream;
        {
            std::lock_guard lock(mutex_);
            if (!isLiveLocked(run)) return; // the failure of a run that already ended is nobody's news
            isRunning_ = false;
            holdingEvents_ = false;
            heldRescans_.clear();
            stream = std::move(eventStream_);
        }
        if (stream) stream->stop();
        // Nothing runs: the progress of the start it ended must not say so.
        clearProgress(run);
        throw;
    }
}

void SyncCoordinator::stopSync() {
    std::unique_ptr<DirectoryEventStream> stream;
    RunID stoppedRun = 0;
    {
        std::lock_guard lock(mutex_);
        if (!isRunning_) return;
        isRunning_ = false;
        stoppedRun = currentRun_;
        for (auto& [root, task] : rescanTasks_) {
            task->cancel.request_stop();
            retiredRescans_.push_back(std::move(task));
        }
        rescanTasks_.clear();
        holdingEvents_ = false;
        heldRescans_.clear();
        stream = std::move(eventStream_);
    }
    if (stream) stream->stop();
    stream.reset();
    reapFinishedRescans();
    flushRetryQueue();
    // A start that slipped in since the flag was cleared owns the progress now.
    setIndexingProgress(false, stoppedRun);
    log("Sync stopped.");
}

void SyncCoordinator::signOut() {
    sessionStore_->clear();
    stopSync();
}

} // namespace tarnwell
