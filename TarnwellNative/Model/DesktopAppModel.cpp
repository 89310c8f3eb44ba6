#include "Model/DesktopAppModel.hpp"

#include <cmath>
#include <atomic>
#include <deque>
#include <list>
#include <thread>
#include <exception>
#include <future>
#include <mutex>
#include <utility>
#include <variant>

#include <QDir>
#include <QFileInfo>
#include <QPromise>

#include "Client/SupabaseHTTPClient.hpp"
#include "State/LocalDatabase.hpp"
#include "State/RetryQueueStore.hpp"
#include "Model/DesktopPresentationFormatter.hpp"
#include "State/SessionStore.hpp"

namespace tarnwell {

namespace {

QString fromStd(const std::string& text) { return QString::fromStdString(text); }

std::vector<std::string> toStd(const QStringList& list) {
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(list.size()));
    for (const QString& item : list) out.push_back(item.toStdString());
    return out;
}

QStringList fromStd(const std::vector<std::string>& list) {
    QStringList out;
    out.reserve(static_cast<qsizetype>(list.size()));
    for (const std::string& item : list) out << fromStd(item);
    return out;
}

// The text an error shows the user.
QString describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

// A future for an action, finished by its last step; a promise dropped
// unfinished (the model went away first) cancels its future.
using Completion = std::shared_ptr<QPromise<void>>;

Completion makeCompletion() {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    return promise;
}

QFuture<void> finishedFuture() {
    QPromise<void> promise;
    promise.start();
    promise.finish();
    return promise.future();
}

} // namespace

// ---- Folder selection confirmation ------------------------------------------

FolderSelectionConfirmation FolderSelectionConfirmation::replaceWithSpecificFolder(QString path) {
    return FolderSelectionConfirmation{Kind::replaceWithSpecificFolder, std::move(path)};
}
FolderSelectionConfirmation FolderSelectionConfirmation::replaceWithHome() {
    return FolderSelectionConfirmation{Kind::replaceWithHome, {}};
}
FolderSelectionConfirmation FolderSelectionConfirmation::replaceWithRoot() {
    return FolderSelectionConfirmation{Kind::replaceWithRoot, {}};
}

QString FolderSelectionConfirmation::id() const {
    switch (kind) {
    case Kind::replaceWithSpecificFolder: return QStringLiteral("folder:") + path;
    case Kind::replaceWithHome: return QStringLiteral("home");
    case Kind::replaceWithRoot: return QStringLiteral("root");
    }
    return {};
}

bool operator==(const FolderSelectionConfirmation& a, const FolderSelectionConfirmation& b) {
    if (a.kind != b.kind) return false;
    return a.kind != FolderSelectionConfirmation::Kind::replaceWithSpecificFolder || a.path == b.path;
}

// ---- Engine callbacks ---------------------------------------------------------

// What the engine reported since the GUI thread last looked. The engine's
// threads fill it; one queued call at a time empties it on the GUI thread, so
// a flood of per-file reports costs one hop per batch. Lines beyond the log's
// bound would be cut anyway, so only the newest are kept while they wait.
struct DesktopAppModel::EngineInbox {
    std::mutex mutex;
    DesktopAppModel* model = nullptr; // cleared when the model begins to go
    std::deque<QString> lines;
    std::optional<IndexingProgressSnapshot> progress;
    std::optional<qint64> unsupported;
    bool drainScheduled = false;

    template <class Change>
    void deliver(Change change) {
        std::lock_guard lock(mutex);
        if (!model) return;
        change(*this);
        if (drainScheduled) return;
        drainScheduled = true;
        // Signalled under the lock: the model can't begin to go meanwhile, and
        // a wake-up still queued when it goes is discarded with it.
        emit model->engineReported(QPrivateSignal());
    }
};

// ---- Background work --------------------------------------------------------

template <class T>
struct DesktopAppModel::Outcome {
    std::optional<T> value;
    QString error;
    bool ok() const { return value.has_value(); }
};

// The model's worker threads, one per blocking call, and the results they
// hand to the GUI thread. Results travel under `mutex`; the queued signal
// only wakes the GUI thread. Threads are joined on the GUI thread, as soon as
// they have finished, and all of them before the model goes.
struct DesktopAppModel::Workers {
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    std::mutex mutex;
    std::vector<std::function<void()>> results;
    std::list<Worker> running; // GUI thread only

    void reapFinished() {
        for (auto it = running.begin(); it != running.end();) {
            if (it->finished->load()) {
                it->thread.join();
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    }
    void joinAll() {
        for (Worker& worker : running) worker.thread.join();
        running.clear();
    }
};

template <class Work, class Apply>
void DesktopAppModel::inBackground(Work work, Apply apply) {
    using Raw = std::invoke_result_t<Work&, std::stop_token>;
    using Value = std::conditional_t<std::is_void_v<Raw>, std::monostate, Raw>;
    workers_->reapFinished();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    // Every worker is joined in the destructor before the object itself
    // goes, so signalling `this` from the worker is safe.
    std::thread thread([this, stop = shutdown_.get_token(), work = std::move(work), apply = std::move(apply),
                        finished]() mutable {
        Outcome<Value> outcome;
        try {
            if constexpr (std::is_void_v<Raw>) {
                work(stop);
                outcome.value.emplace();
            } else {
                outcome.value.emplace(work(stop));
            }
        } catch (...) {
            outcome.error = describe(std::current_exception());
        }
        {
            std::lock_guard lock(workers_->mutex);
            workers_->results.push_back(
                [apply = std::move(apply), outcome = std::make_shared<Outcome<Value>>(std::move(outcome))]() mutable {
                    apply(std::move(*outcome));
                });
        }
        emit backgroundWorkFinished(QPrivateSignal());
        finished->store(true);
    });
    workers_->running.push_back(Workers::Worker{std::move(thread), std::move(finished)});
}

void DesktopAppModel::applyBackgroundResults() {
    std::vector<std::function<void()>> results;
    {
        std::lock_guard lock(workers_->mutex);
        results.swap(workers_->results);
    }
    for (auto& result : results) result();
    workers_->reapFinished();
}

// ---- Construction and teardown -------------------------------------------------

DesktopAppModel::DesktopAppModel() : DesktopAppModel(Options{}) {}

DesktopAppModel::DesktopAppModel(Options options, QObject* parent)
    : QObject(parent),
      folderChooser_(std::move(options.folderChooser)),
      urlOpener_(std::move(options.urlOpener)),
      pollInterval_(options.pollInterval),
      inbox_(std::make_shared<EngineInbox>()),
      workers_(std::make_unique<Workers>()) {
    config_ = PublicConfigLoader::load(options.resourceDirectory);
    sessionStore_ = std::make_shared<SessionStore>();
    database_ = std::make_shared<LocalDatabase>();
    retryQueue_ = std::make_shared<RetryQueueStore>();
    client_ = std::make_shared<SupabaseHTTPClient>(config_, sessionStore_);
    syncCoordinator_ = std::make_shared<SyncCoordinator>(config_, client_, database_, retryQueue_, sessionStore_,
                                                         options.coordinatorTiming);

    homeFolder_ = QDir::homePath();
    // The home folder is absolute, so its first component is the root.
    rootFolder_ = QStringLiteral("/");

    connect(this, &DesktopAppModel::backgroundWorkFinished, this, &DesktopAppModel::applyBackgroundResults,
            Qt::QueuedConnection);
    connect(this, &DesktopAppModel::engineReported, this, &DesktopAppModel::drainEngineInbox, Qt::QueuedConnection);
    pollTimer_.setSingleShot(true);
    connect(&pollTimer_, &QTimer::timeout, this, [this] {
        if (pollActive_) pollPass(pollID_);
    });

    inbox_->model = this;
    QMetaObject::invokeMethod(this, &DesktopAppModel::installEngineHandlers, Qt::QueuedConnection);
}

DesktopAppModel::~DesktopAppModel() {
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->model = nullptr;
    }
    cancelStatusPolling();
    shutdown_.request_stop();
    // The engine's work under way (a scan, an upload, a request) is cut
    // short; then every worker is joined while the services they use still
    // exist, and only afterwards do the services go.
    syncCoordinator_->shutdown();
    workers_->joinAll();
    syncCoordinator_->setLogHandler(nullptr);
    syncCoordinator_->setIndexingHandler(nullptr);
    syncCoordinator_->setUnsupportedFilesHandler(nullptr);
}

void DesktopAppModel::installEngineHandlers() {
    std::weak_ptr<EngineInbox> weak = inbox_;
    syncCoordinator_->setLogHandler([weak](const std::string& line) {
        if (auto inbox = weak.lock()) {
            inbox->deliver([&](EngineInbox& in) {
                in.lines.push_back(fromStd(line));
                while (in.lines.size() > static_cast<std::size_t>(maxLogLines)) in.lines.pop_front();
            });
        }
    });
    syncCoordinator_->setIndexingHandler([weak](const IndexingProgressSnapshot& snapshot) {
        if (auto inbox = weak.lock()) inbox->deliver([&](EngineInbox& in) { in.progress = snapshot; });
    });
    syncCoordinator_->setUnsupportedFilesHandler([weak](std::int64_t count) {
        if (auto inbox = weak.lock()) inbox->deliver([&](EngineInbox& in) { in.unsupported = count; });
    });
}

void DesktopAppModel::drainEngineInbox() {
    QStringList lines;
    std::optional<IndexingProgressSnapshot> progress;
    std::optional<qint64> unsupported;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->drainScheduled = false;
        for (QString& line : inbox_->lines) lines << std::move(line);
        inbox_->lines.clear();
        progress = std::exchange(inbox_->progress, std::nullopt);
        unsupported = std::exchange(inbox_->unsupported, std::nullopt);
    }
    if (!lines.isEmpty()) appendLogLines(lines);
    if (progress) setIndexingProgress(*progress);
    if (unsupported) setUnsupportedFilesCount(*unsupported);
}

void DesktopAppModel::appendLog(const QString& line) {
    // Engine lines reported before this one come first.
    drainEngineInbox();
    appendLogLines({line});
}

void DesktopAppModel::appendLogLines(const QStringList& lines) {
    // The append is one change; cutting back to the bound is a second one.
    logLines_.append(lines);
    emit logLinesChanged();
    if (logLines_.size() > maxLogLines) setLogLines(logLines_.mid(logLines_.size() - maxLogLines));
}

void DesktopAppModel::setFolderChooser(std::shared_ptr<FolderChooser> chooser) { folderChooser_ = std::move(chooser); }
void DesktopAppModel::setURLOpener(std::shared_ptr<URLOpener> opener) { urlOpener_ = std::move(opener); }

// ---- Setters: every assignment is one change --------------------------------------

#define TARNWELL_SETTER(Name, field, Type, signal)                                                                    \
    void DesktopAppModel::Name(Type value) {                                                                          \
        field = value;                                                                                                \
        emit signal();                                                                                                \
    }
TARNWELL_SETTER(setEmail, email_, const QString&, emailChanged)
TARNWELL_SETTER(setPassword, password_, const QString&, passwordChanged)
TARNWELL_SETTER(setFolders, folders_, const QStringList&, foldersChanged)
TARNWELL_SETTER(setMode, mode_, SyncMode, modeChanged)
TARNWELL_SETTER(setIsRunning, isRunning_, bool, isRunningChanged)
TARNWELL_SETTER(setAuthStatus, authStatus_, const QString&, authStatusChanged)
TARNWELL_SETTER(setSyncStatus, syncStatus_, const QString&, syncStatusChanged)
TARNWELL_SETTER(setRetryStatus, retryStatus_, const QString&, retryStatusChanged)
TARNWELL_SETTER(setLogLines, logLines_, const QStringList&, logLinesChanged)
TARNWELL_SETTER(setDidBootstrap, didBootstrap_, bool, didBootstrapChanged)
TARNWELL_SETTER(setIngestStatus, ingestStatus_, const std::optional<IngestStatusSnapshot>&, ingestStatusChanged)
TARNWELL_SETTER(setFailedUploads, failedUploads_, const std::vector<FailedUploadItem>&, failedUploadsChanged)
TARNWELL_SETTER(setUnsupportedFilesCount, unsupportedFilesCount_, qint64, unsupportedFilesCountChanged)
TARNWELL_SETTER(setIndexingProgress, indexingProgress_, const IndexingProgressSnapshot&, indexingProgressChanged)
TARNWELL_SETTER(setPendingFolderSelectionConfirmation, pendingFolderSelectionConfirmation_,
                const std::optional<FolderSelectionConfirmation>&, pendingFolderSelectionConfirmationChanged)
#undef TARNWELL_SETTER

void DesktopAppModel::setCurrentUser(const std::optional<StoredUser>& value) {
    ++accountEpoch_;
    currentUser_ = value;
    emit currentUserChanged();
}

// ---- Start-up, remote state and polling ------------------------------------------

QFuture<void> DesktopAppModel::bootstrap() {
    if (didBootstrap_) return finishedFuture();
    setDidBootstrap(true);
    Completion done = makeCompletion();
    auto finish = [this, done] {
        refreshRemoteState([this, done] {
            restartRemoteStatusPollingIfNeeded();
            done->finish();
        });
    };
    const std::uint64_t epoch = accountEpoch_;
    inBackground([coordinator = syncCoordinator_](std::stop_token) { return coordinator->restoreSnapshot(); },
                 [this, finish, epoch](Outcome<SyncStateSnapshot> outcome) {
                     const SyncStateSnapshot snapshot = outcome.value.value_or(SyncStateSnapshot{});
                     // A sign-in or sign-out made while the saved state was
                     // read is newer than that state: it stands, and the
                     // person at the window decides when to start.
                     const bool accountChanged = epoch != accountEpoch_;
                     if (!accountChanged) setCurrentUser(snapshot.user);
                     setFolders(fromStd(snapshot.folders));
                     setMode(snapshot.mode);
                     setIsRunning(snapshot.running);
                     if (accountChanged || !(snapshot.autoStart && !snapshot.folders.empty() && snapshot.user)) {
                         finish();
                         return;
                     }
                     const std::uint64_t generation = runGeneration_;
                     inBackground(
                         [coordinator = syncCoordinator_, snapshot](std::stop_token) {
                             coordinator->startSync(snapshot.folders, snapshot.mode);
                         },
                         [this, finish, generation](Outcome<std::monostate> started) {
                             if (started.ok()) {
                                 // A stop or sign-out pressed during the initial scan wins.
                                 if (generation == runGeneration_) setIsRunning(true);
                             } else {
                                 setSyncStatus(started.error);
                                 appendLog(QStringLiteral("Auto-start failed: ") + started.error);
                             }
                             finish();
                         });
                 });
    return done->future();
}

QFuture<void> DesktopAppModel::refreshStatus() {
    Completion done = makeCompletion();
    refreshRemoteState([done] { done->finish(); });
    return done->future();
}

void DesktopAppModel::refreshRemoteState(std::function<void()> done) {
    if (!currentUser_) {
        setIngestStatus(std::nullopt);
        setFailedUploads({});
        done();
        return;
    }
    struct Remote {
        IngestStatusSnapshot status;
        std::vector<FailedUploadItem> failed;
    };
    const std::uint64_t epoch = accountEpoch_;
    const std::uint64_t sequence = ++refreshesStarted_;
    inBackground(
        [client = client_](std::stop_token stop) {
            // Both reads side by side; the first failure cancels the other,
            // which is awaited before the failure is reported.
            std::stop_source reads;
            std::stop_callback forward(stop, [&reads] { reads.request_stop(); });
            auto failedUploads = std::async(std::launch::async, [&] {
                try {
                    return client->fetchFailedUploads(100, reads.get_token());
                } catch (...) {
                    reads.request_stop();
                    throw;
                }
            });
            Remote remote;
            try {
                remote.status = client->fetchIngestStatus(reads.get_token());
            } catch (...) {
                reads.request_stop();
                failedUploads.wait();
                throw;
            }
            remote.failed = failedUploads.get();
            return remote;
        },
        [this, epoch, sequence, done = std::move(done)](Outcome<Remote> outcome) {
            // A read made for an account that has since signed out or been
            // replaced must not show that account's state, and a slow read
            // must not replace what a later one already showed.
            if (epoch == accountEpoch_ && sequence > refreshesApplied_) {
                refreshesApplied_ = sequence;
                if (outcome.ok()) {
                    setIngestStatus(outcome.value->status);
                    setFailedUploads(outcome.value->failed);
                } else {
                    setIngestStatus(std::nullopt);
                    setFailedUploads({});
                }
            }
            done();
        });
}

void DesktopAppModel::cancelStatusPolling() {
    pollActive_ = false;
    ++pollID_;
    pollTimer_.stop();
}

void DesktopAppModel::restartRemoteStatusPollingIfNeeded() {
    cancelStatusPolling();
    if (!currentUser_) return;
    pollActive_ = true;
    pollPass(pollID_);
}

void DesktopAppModel::pollPass(std::uint64_t poll) {
    if (!pollActive_ || poll != pollID_) return;
    refreshRemoteState([this, poll] {
        // A poll cancelled during its refresh lets that refresh land and ends.
        if (!pollActive_ || poll != pollID_) return;
        pollTimer_.start(pollInterval_);
    });
}

// ---- Account -----------------------------------------------------------------

QFuture<void> DesktopAppModel::login() {
    setAuthStatus(QString());
    Completion done = makeCompletion();
    inBackground(
        [client = client_, email = email_.toStdString(), password = password_.toStdString()](std::stop_token stop) {
            return client->signIn(email, password, stop);
        },
        [this, done](Outcome<StoredSession> outcome) {
            if (!outcome.ok()) {
                setAuthStatus(outcome.error);
                done->finish();
                return;
            }
            setCurrentUser(outcome.value->user);
            setAuthStatus(QStringLiteral("Signed in"));
            appendLog(QStringLiteral("Logged in as ") + AuthFlowResolver::accountLabel(outcome.value->user));
            refreshRemoteState([this, done] {
                restartRemoteStatusPollingIfNeeded();
                setPassword(QString());
                done->finish();
            });
        });
    return done->future();
}

QFuture<void> DesktopAppModel::signup() {
    setAuthStatus(QString());
    Completion done = makeCompletion();
    inBackground(
        [client = client_, email = email_.toStdString(), password = password_.toStdString()](std::stop_token stop) {
            return client->signUp(email, password, stop);
        },
        [this, done](Outcome<SignUpResult> outcome) {
            if (!outcome.ok()) {
                setAuthStatus(outcome.error);
                done->finish();
                return;
            }
            const SignupResolution resolution =
                AuthFlowResolver::resolveSignup(outcome.value->session, outcome.value->user);
            setCurrentUser(resolution.currentUser);
            setAuthStatus(resolution.authStatus);
            if (resolution.logLine) appendLog(*resolution.logLine);
            if (!resolution.clearPersistedSession) {
                refreshRemoteState([this, done, resolution] {
                    restartRemoteStatusPollingIfNeeded();
                    if (resolution.clearPassword) setPassword(QString());
                    done->finish();
                });
                return;
            }
            // Nobody is signed in: the engine stops, and a start still in its
            // initial scan must not claim the run afterwards.
            ++runGeneration_;
            inBackground(
                [sessions = sessionStore_, coordinator = syncCoordinator_](std::stop_token) {
                    sessions->clear();
                    coordinator->stopSync();
                },
                [this, done, resolution](Outcome<std::monostate>) {
                    setIsRunning(false);
                    setIngestStatus(std::nullopt);
                    setFailedUploads({});
                    setRetryStatus(QString());
                    setSyncStatus(QString());
                    setUnsupportedFilesCount(0);
                    setIndexingProgress(IndexingProgressSnapshot::idle());
                    cancelStatusPolling();
                    if (resolution.clearPassword) setPassword(QString());
                    done->finish();
                });
        });
    return done->future();
}

QFuture<void> DesktopAppModel::signOut() {
    cancelStatusPolling();
    // From here on no start may claim the run and no read of the old
    // account may land.
    ++runGeneration_;
    ++accountEpoch_;
    Completion done = makeCompletion();
    inBackground([coordinator = syncCoordinator_](std::stop_token) { coordinator->signOut(); },
                 [this, done](Outcome<std::monostate> outcome) {
                     if (!outcome.ok()) {
                         setAuthStatus(outcome.error);
                         done->finish();
                         return;
                     }
                     setCurrentUser(std::nullopt);
                     setIsRunning(false);
                     setIngestStatus(std::nullopt);
                     setFailedUploads({});
                     setRetryStatus(QString());
                     setUnsupportedFilesCount(0);
                     setIndexingProgress(IndexingProgressSnapshot::idle());
                     setPendingFolderSelectionConfirmation(std::nullopt);
                     setAuthStatus(QStringLiteral("Signed out"));
                     setSyncStatus(QString());
                     done->finish();
                 });
    return done->future();
}

// ---- Folder selection ------------------------------------------------------------

bool DesktopAppModel::hasAllSelection() const {
    return folders_.size() == 1 && (folders_.front() == homeFolder_ || folders_.front() == rootFolder_);
}

void DesktopAppModel::addFolder() {
    if (!folderChooser_) return;
    const std::optional<QString> chosen = folderChooser_->chooseFolder();
    if (!chosen || chosen->isEmpty()) return;
    const QString path = QDir::cleanPath(QFileInfo(*chosen).absoluteFilePath());
    if (hasAllSelection()) {
        setPendingFolderSelectionConfirmation(FolderSelectionConfirmation::replaceWithSpecificFolder(path));
        return;
    }
    if (folders_.contains(path)) {
        setSyncStatus(QStringLiteral("Folder already selected."));
        return;
    }
    folders_.append(path);
    emit foldersChanged();
    setSyncStatus(QString());
}

void DesktopAppModel::chooseHomeFolder() {
    if (folders_.size() == 1 && folders_.front() == homeFolder_) {
        setSyncStatus(QStringLiteral("All folders selected (home directory)."));
    } else if (folders_.isEmpty()) {
        applyFolderSelection(FolderSelectionConfirmation::replaceWithHome());
    } else {
        setPendingFolderSelectionConfirmation(FolderSelectionConfirmation::replaceWithHome());
    }
}

void DesktopAppModel::chooseRootFolder() {
    if (folders_.size() == 1 && folders_.front() == rootFolder_) {
        setSyncStatus(QStringLiteral("All files selected (full disk)."));
    } else if (folders_.isEmpty()) {
        applyFolderSelection(FolderSelectionConfirmation::replaceWithRoot());
    } else {
        setPendingFolderSelectionConfirmation(FolderSelectionConfirmation::replaceWithRoot());
    }
}

void DesktopAppModel::applyFolderSelection(const FolderSelectionConfirmation& choice) {
    switch (choice.kind) {
    case FolderSelectionConfirmation::Kind::replaceWithHome:
        setFolders({homeFolder_});
        setSyncStatus(QStringLiteral("All folders selected (home directory)."));
        break;
    case FolderSelectionConfirmation::Kind::replaceWithRoot:
        setFolders({rootFolder_});
        setSyncStatus(QStringLiteral("All files selected (full disk)."));
        break;
    case FolderSelectionConfirmation::Kind::replaceWithSpecificFolder:
        setFolders({choice.path});
        setSyncStatus(QStringLiteral("Replaced the all-folders selection with a specific folder."));
        break;
    }
}

void DesktopAppModel::confirmPendingFolderSelection() {
    if (!pendingFolderSelectionConfirmation_) return;
    applyFolderSelection(*pendingFolderSelectionConfirmation_);
    setPendingFolderSelectionConfirmation(std::nullopt);
}

void DesktopAppModel::cancelPendingFolderSelection() { setPendingFolderSelectionConfirmation(std::nullopt); }

void DesktopAppModel::clearFolders() {
    setFolders({});
    setSyncStatus(QString());
}

// ---- Sync, retry, dashboard --------------------------------------------------------

QFuture<void> DesktopAppModel::startSync() {
    setSyncStatus(QString());
    setRetryStatus(QString());
    Completion done = makeCompletion();
    const std::uint64_t generation = runGeneration_;
    inBackground(
        [coordinator = syncCoordinator_, roots = toStd(folders_), mode = mode_](std::stop_token) {
            coordinator->startSync(roots, mode);
        },
        [this, done, generation](Outcome<std::monostate> outcome) {
            if (!outcome.ok()) {
                setSyncStatus(outcome.error);
                done->finish();
                return;
            }
            if (generation != runGeneration_) {
                // Stopped (or signed out) while the initial scan ran: the stop
                // stands, and this start claims nothing.
                done->finish();
                return;
            }
            setIsRunning(true);
            setSyncStatus(QStringLiteral("Running"));
            refreshRemoteState([this, done] {
                restartRemoteStatusPollingIfNeeded();
                done->finish();
            });
        });
    return done->future();
}

QFuture<void> DesktopAppModel::stopSync() {
    ++runGeneration_;
    Completion done = makeCompletion();
    inBackground([coordinator = syncCoordinator_](std::stop_token) { coordinator->stopSync(); },
                 [this, done](Outcome<std::monostate>) {
                     setIsRunning(false);
                     setSyncStatus(QStringLiteral("Stopped"));
                     refreshRemoteState([done] { done->finish(); });
                 });
    return done->future();
}

QFuture<void> DesktopAppModel::retryFailedUploads() {
    setRetryStatus(QString());
    Completion done = makeCompletion();
    inBackground([client = client_](std::stop_token stop) { return client->retryFailedUploads(stop); },
                 [this, done, epoch = accountEpoch_](Outcome<std::int64_t> outcome) {
                     // The account that asked has signed out or been replaced:
                     // its outcome is nobody's news now.
                     if (epoch != accountEpoch_) {
                         done->finish();
                         return;
                     }
                     if (!outcome.ok()) {
                         setRetryStatus(outcome.error);
                         done->finish();
                         return;
                     }
                     setRetryStatus(QStringLiteral("Retried ") + QString::number(*outcome.value) +
                                    QStringLiteral(" upload(s)."));
                     refreshRemoteState([done] { done->finish(); });
                 });
    return done->future();
}

void DesktopAppModel::openDashboard() {
    if (urlOpener_) urlOpener_->openURL(fromStd(config_.dashboardURL));
}

QString DesktopAppModel::folderLabel(const QString& path) const {
    return DesktopStatusFormatter::folderLabel(path, homeFolder_, rootFolder_);
}

// ---- Display texts ---------------------------------------------------------------

QString DesktopAppModel::userLabel() const {
    if (currentUser_ && currentUser_->email) return fromStd(*currentUser_->email);
    if (currentUser_) return fromStd(currentUser_->id);
    return QStringLiteral("Not logged in");
}

StatusPillPresentation DesktopAppModel::runPresentation() const {
    if (isRunning_) return {QStringLiteral("Running"), StatusPillKind::ok};
    return {QStringLiteral("Stopped"), StatusPillKind::muted};
}

StatusPillPresentation DesktopAppModel::ingestPresentation() const {
    return DesktopStatusFormatter::ingestPresentation(ingestStatus_);
}

QString DesktopAppModel::syncStatusLine() const {
    if (!syncStatus_.isEmpty()) return syncStatus_;
    return isRunning_ ? QStringLiteral("Running") : QStringLiteral("Stopped");
}

QString DesktopAppModel::supportedTypesText() {
    return QStringLiteral("Supported file types: pdf, docx, txt, md, csv, rtf, epub. Other files are skipped.");
}

std::optional<QString> DesktopAppModel::unsupportedIndicatorText() const {
    if (unsupportedFilesCount_ <= 0) return std::nullopt;
    return QStringLiteral("Unsupported file types skipped: ") + QString::number(unsupportedFilesCount_) +
           QStringLiteral(". See Activity for details.");
}

QString DesktopAppModel::ingestQueuedText() const {
    return ingestStatus_ ? QString::number(ingestStatus_->queued) : QStringLiteral("--");
}
QString DesktopAppModel::ingestRunningText() const {
    return ingestStatus_ ? QString::number(ingestStatus_->running) : QStringLiteral("--");
}
QString DesktopAppModel::ingestErrorsText() const {
    return ingestStatus_ ? QString::number(ingestStatus_->errors) : QStringLiteral("--");
}

QString DesktopAppModel::ingestLastText() const {
    if (!ingestStatus_ || !ingestStatus_->lastIngestedAt) return QStringLiteral("--");
    return DesktopPresentationFormatter::mediumDateShortTime(*ingestStatus_->lastIngestedAt);
}

QString DesktopAppModel::indexRemainingText() const {
    if (!indexingProgress_.totalFiles) return QStringLiteral("--");
    const std::int64_t total = *indexingProgress_.totalFiles;
    const std::int64_t remaining = std::max<std::int64_t>(total - indexingProgress_.scannedFiles, 0);
    return QString::number(remaining) + QStringLiteral(" of ") + QString::number(total);
}

QString DesktopAppModel::indexEtaText() const {
    return indexEtaText(indexingProgress_, std::chrono::system_clock::now());
}

QString DesktopAppModel::indexEtaText(const IndexingProgressSnapshot& progress, Timestamp now) {
    if (!progress.totalFiles) return QStringLiteral("--");
    const std::int64_t remaining = std::max<std::int64_t>(*progress.totalFiles - progress.scannedFiles, 0);
    if (remaining == 0 && !progress.isActive) return QStringLiteral("Done");
    if (!progress.isActive || !progress.startedAt || progress.scannedFiles < 2) return QStringLiteral("--");
    const double elapsed = std::max(std::chrono::duration<double>(now - *progress.startedAt).count(), 1.0);
    const double rate = static_cast<double>(progress.scannedFiles) / elapsed;
    if (!(rate > 0)) return QStringLiteral("--");
    return formatDuration(static_cast<double>(remaining) / rate);
}

QString DesktopAppModel::formatDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return QStringLiteral("--");
    const double whole = std::ceil(seconds);
    // Beyond what 64 bits count the estimate means nothing; say so rather
    // than overflow.
    if (whole >= 9223372036854775808.0) return QStringLiteral("--");
    const auto s = static_cast<std::int64_t>(whole);
    if (s < 60) return QString::number(s) + QLatin1Char('s');
    const std::int64_t minutes = s / 60;
    if (minutes < 60) return QString::number(minutes) + QStringLiteral("m ") + QString::number(s % 60) + QLatin1Char('s');
    return QString::number(minutes / 60) + QStringLiteral("h ") + QString::number(minutes % 60) + QLatin1Char('m');
}

} // namespace tarnwell
