#include "Model/DesktopAppModel.hpp"

#include <cmath>
#include <algorithm>
#include <future>
#include <utility>
#include <variant>

#include <QDir>
#include <QFileInfo>
#include <QPromise>

#include "Client/SupabaseHTTPClient.hpp"
#include "State/LocalDatabase.hpp"
#include "State/RetryQueueStore.hpp"
#include "Model/DesktopModelRuntime.hpp"
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

// A future for an action, finished by its last step; a promise dropped
// unfinished (the model went away first) cancels its future.
using Completion = std::shared_ptr<QPromise<void>>;

Completion makeCompletion() {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    return promise;
}

// The engine's start as the lane runs it: `claimed` once it has claimed the run.
std::function<void(const std::function<void()>&)> engineStart(std::shared_ptr<SyncCoordinator> coordinator,
                                                              std::vector<std::string> roots, SyncMode mode) {
    return [coordinator = std::move(coordinator), roots = std::move(roots),
            mode](const std::function<void()>& claimed) { coordinator->startSync(roots, mode, claimed); };
}

// The status line of an automatic start that waits for the backend begins so.
QString waitingStatusPrefix() { return QStringLiteral("Waiting for the backend to answer before starting sync: "); }

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

// ---- Construction and teardown -------------------------------------------------

DesktopAppModel::DesktopAppModel() : DesktopAppModel(Options{}) {}

DesktopAppModel::DesktopAppModel(Options options, QObject* parent)
    : QObject(parent),
      folderChooser_(std::move(options.folderChooser)),
      urlOpener_(std::move(options.urlOpener)),
      pollInterval_(options.pollInterval),
      autoStartRetryDelay_(std::max(options.autoStartRetryDelay, std::chrono::milliseconds(1))),
      autoStartRetryCap_(std::max(options.autoStartRetryCap, autoStartRetryDelay_)) {
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

    pollTimer_.setSingleShot(true);
    connect(&pollTimer_, &QTimer::timeout, this, [this] {
        if (pollActive_) pollPass(pollID_);
    });
    autoStartTimer_.setSingleShot(true);
    connect(&autoStartTimer_, &QTimer::timeout, this, [this] {
        if (auto retry = std::exchange(autoStartRetry_, nullptr)) retry();
    });

    runtime_ = std::make_unique<DesktopModelRuntime>(
        this,
        [this](EngineReports& reports) {
            if (!reports.lines.isEmpty()) appendLogLines(reports.lines);
            if (reports.progress) setIndexingProgress(*reports.progress);
            if (reports.unsupported) setUnsupportedFilesCount(*reports.unsupported);
        },
        maxLogLines);
    QMetaObject::invokeMethod(this, &DesktopAppModel::installEngineHandlers, Qt::QueuedConnection);
}

DesktopAppModel::~DesktopAppModel() {
    runtime_->close();
    cancelStatusPolling();
    cancelAutoStartRetry();
    // The engine's work under way (a scan, an upload, a request) is cut
    // short; then every thread is joined while the services they use still
    // exist, and only afterwards do the services go.
    syncCoordinator_->shutdown();
    runtime_->join();
    syncCoordinator_->setLogHandler(nullptr);
    syncCoordinator_->setIndexingHandler(nullptr);
    syncCoordinator_->setUnsupportedFilesHandler(nullptr);
}

void DesktopAppModel::installEngineHandlers() {
    syncCoordinator_->setLogHandler(runtime_->logHandler());
    syncCoordinator_->setIndexingHandler(runtime_->indexingHandler());
    syncCoordinator_->setUnsupportedFilesHandler(runtime_->unsupportedFilesHandler());
}

void DesktopAppModel::appendLog(const QString& line) { appendLogLines({line}); }

void DesktopAppModel::appendLogLines(const QStringList& lines) {
    // The append is one change; cutting back to the bound is a second one.
    logLines_.append(lines);
    emit logLinesChanged();
    if (logLines_.size() > maxLogLines) {
        // Trimmed in place: a copy of every kept line per report adds up in a long sync.
        logLines_.remove(0, logLines_.size() - maxLogLines);
        emit logLinesChanged();
    }
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

// The automatic start of the launch, as the saved state asked for it. What
// it starts is what the window shows when it is made: the saved folders and
// speed at first, whatever the person chose meanwhile after a wait.
struct DesktopAppModel::AutoStartPlan {
    // Its place among the starts and stops pressed.
    std::uint64_t request = 0;
    // The lane's count of account changes when the saved state was read.
    std::uint64_t accountChanges = 0;
    // The account shown when the saved state was applied.
    std::uint64_t epoch = 0;
    std::uint64_t id = 0;
};

QFuture<void> DesktopAppModel::bootstrap() {
    if (didBootstrap_) return finishedFuture();
    setDidBootstrap(true);
    Completion done = makeCompletion();
    struct Restored {
        SyncStateSnapshot snapshot;
        std::uint64_t accountChanges = 0;
    };
    const std::uint64_t epoch = accountEpoch_;
    runtime_->onLane(
        [coordinator = syncCoordinator_](std::stop_token, DesktopModelRuntime::Lane& lane) {
            return Restored{coordinator->restoreSnapshot(), lane.accountChanges};
        },
        [this, done, epoch](Outcome<Restored> outcome) {
            const Restored restored = outcome.value.value_or(Restored{});
            const SyncStateSnapshot& snapshot = restored.snapshot;
            // A sign-out pressed while the saved state was read is newer
            // than that state: it stands, and nothing starts.
            const bool accountChanged = epoch != accountEpoch_;
            if (!accountChanged) setCurrentUser(snapshot.user);
            setFolders(fromStd(snapshot.folders));
            setMode(snapshot.mode);
            setIsRunning(snapshot.running);
            const std::uint64_t restoredEpoch = accountEpoch_;
            auto finish = [this, done, restoredEpoch] {
                refreshRemoteState([this, done, restoredEpoch] {
                    restartRemoteStatusPollingIfNeeded(restoredEpoch);
                    done->finish();
                });
            };
            if (accountChanged || !(snapshot.autoStart && !snapshot.folders.empty() && snapshot.user)) {
                finish();
                return;
            }
            // A sign-in made while the saved state was read reaches the
            // engine first: then the person at the window decides when to
            // start, and this start is skipped.
            auto plan = std::make_shared<const AutoStartPlan>(
                AutoStartPlan{++runRequests_, restored.accountChanges, restoredEpoch, autoStartID_});
            attemptAutoStart(std::move(plan), autoStartRetryDelay_, finish);
        });
    return done->future();
}

// ---- The automatic start and its waits for the backend -------------------------

void DesktopAppModel::attemptAutoStart(std::shared_ptr<const AutoStartPlan> plan, std::chrono::milliseconds wait,
                                       std::function<void()> then) {
    const bool first = bool(then);
    if (folders_.isEmpty()) {
        // Every folder was removed during the wait: as Start with none,
        // nothing starts, and there is nothing left to wait for.
        autoStartWaiting_ = false;
        setSyncStatus(QString());
        if (then) then();
        return;
    }
    if (!first && syncStatus_.startsWith(waitingStatusPrefix())) {
        // The backend has answered: the start is under way, and the window
        // no longer says that it waits, unless this start meets no answer.
        setSyncStatus(QString());
    }
    runtime_->startOnLane(
        engineStart(syncCoordinator_, toStd(folders_), mode_), plan->accountChanges,
        [this, plan, wait, first, then = std::move(then)](Outcome<bool> started) {
            // A start, stop, sign-in or sign-out of the person at the window
            // since the plan was made has taken over from it.
            const bool live = plan->id == autoStartID_ && plan->request > stoppedAtRequest_ &&
                              plan->epoch == accountEpoch_;
            if (plan->id == autoStartID_) autoStartWaiting_ = false;
            if (started.ok()) {
                // A stop or sign-out pressed during the initial scan wins.
                if (*started.value && plan->request > stoppedAtRequest_) {
                    setIsRunning(true);
                    if (!first) {
                        const std::uint64_t epoch = accountEpoch_;
                        refreshRemoteState([this, epoch] { restartRemoteStatusPollingIfNeeded(epoch); });
                    }
                }
            } else if (live && SupabaseHTTPClient::isUnanswered(started.failure)) {
                waitForBackend(plan, wait, started.error);
            } else if (first || live) {
                if (live && SupabaseHTTPClient::refusesSession(started.failure)) {
                    // The backend's verdict on the session, come later than
                    // the launch: the window shows what a launch that had it
                    // would have shown.
                    cancelStatusPolling();
                    setCurrentUser(std::nullopt);
                    clearSignedInState();
                }
                setSyncStatus(started.error);
                appendLog(QStringLiteral("Auto-start failed: ") + started.error);
            }
            if (then) then();
        });
}

// Says what the start waits for, and asks the backend again after the
// wait. Once the waits have grown to their cap the line is not repeated: a
// night without network leaves one line a wait, not one a minute.
void DesktopAppModel::waitForBackend(std::shared_ptr<const AutoStartPlan> plan, std::chrono::milliseconds wait,
                                     const QString& error) {
    autoStartWaiting_ = true;
    if (wait != lastWaitLogged_) {
        appendLog(QStringLiteral("Waiting for the backend to answer before starting sync (retrying in ") +
                  QString::number((wait.count() + 999) / 1000) + QStringLiteral(" s): ") + error);
    }
    lastWaitLogged_ = wait;
    setSyncStatus(waitingStatusPrefix() + error);
    autoStartRetry_ = [this, plan, next = std::min(wait * 2, autoStartRetryCap_)] { probeBackend(plan, next); };
    autoStartTimer_.start(wait);
}

// Asks for the signed-in user, as the start itself does first: only once
// the backend answers does the start run again, so that a long wait does not
// fill the log with starts that end where they began.
void DesktopAppModel::probeBackend(std::shared_ptr<const AutoStartPlan> plan, std::chrono::milliseconds wait) {
    if (plan->id != autoStartID_) return;
    runtime_->inBackground([client = client_](std::stop_token stop) { client->currentUser(stop); },
                           [this, plan, wait](Outcome<std::monostate> answer) {
                               if (plan->id != autoStartID_) return;
                               if (!answer.ok() && SupabaseHTTPClient::isUnanswered(answer.failure)) {
                                   waitForBackend(plan, wait, answer.error);
                                   return;
                               }
                               attemptAutoStart(plan, wait, {});
                           });
}

void DesktopAppModel::cancelAutoStartRetry() {
    ++autoStartID_;
    autoStartWaiting_ = false;
    autoStartTimer_.stop();
    autoStartRetry_ = nullptr;
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
    runtime_->inBackground(
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
                // A failed read has read nothing: what the last good one
                // showed stays, and the window does not claim all is well.
                if (outcome.ok()) {
                    setIngestStatus(outcome.value->status);
                    setFailedUploads(outcome.value->failed);
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

void DesktopAppModel::restartRemoteStatusPollingIfNeeded(std::uint64_t accountEpoch) {
    if (accountEpoch != accountEpoch_) return;
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

// Sign-in and sign-up go down the engine's lane too: they write the saved
// session that a sign-out deletes, so the one pressed last decides.
QFuture<void> DesktopAppModel::login() {
    setAuthStatus(QString());
    Completion done = makeCompletion();
    runtime_->onLane(
        [client = client_, email = email_.toStdString(), password = password_.toStdString()](std::stop_token stop,
                                                                                              DesktopModelRuntime::Lane& lane) {
            StoredSession session = client->signIn(email, password, stop);
            ++lane.accountChanges;
            return session;
        },
        [this, done](Outcome<StoredSession> outcome) {
            if (!outcome.ok()) {
                setAuthStatus(outcome.error);
                done->finish();
                return;
            }
            cancelAutoStartRetry();
            setCurrentUser(outcome.value->user);
            const std::uint64_t epoch = accountEpoch_;
            setAuthStatus(QStringLiteral("Signed in"));
            appendLog(QStringLiteral("Logged in as ") + AuthFlowResolver::accountLabel(outcome.value->user));
            refreshRemoteState([this, done, epoch] {
                restartRemoteStatusPollingIfNeeded(epoch);
                setPassword(QString());
                done->finish();
            });
        });
    return done->future();
}

QFuture<void> DesktopAppModel::signup() {
    setAuthStatus(QString());
    Completion done = makeCompletion();
    const std::uint64_t request = ++runRequests_;
    // Without a session nobody is signed in: the saved session goes and the
    // engine stops, right behind the sign-up on the lane.
    struct SignedUp {
        SignUpResult answer;
        SignupResolution resolution;
    };
    runtime_->onLane(
        [client = client_, sessions = sessionStore_, coordinator = syncCoordinator_, email = email_.toStdString(),
         password = password_.toStdString()](std::stop_token stop, DesktopModelRuntime::Lane& lane) {
            SignUpResult answer = client->signUp(email, password, stop);
            SignupResolution resolution = AuthFlowResolver::resolveSignup(answer.session, answer.user);
            ++lane.accountChanges;
            if (resolution.clearPersistedSession) {
                try {
                    sessions->clear();
                } catch (const std::exception&) {
                    // The engine is still stopped and the window reset.
                }
                coordinator->stopSync();
            }
            return SignedUp{std::move(answer), std::move(resolution)};
        },
        [this, done, request](Outcome<SignedUp> outcome) {
            if (!outcome.ok()) {
                setAuthStatus(outcome.error);
                done->finish();
                return;
            }
            const SignupResolution& resolution = outcome.value->resolution;
            cancelAutoStartRetry();
            if (resolution.clearPersistedSession) {
                // A start pressed before the sign-up was stopped by it and
                // must not claim the run; one pressed since runs.
                stoppedAtRequest_ = std::max(stoppedAtRequest_, request);
                cancelStatusPolling();
            }
            setCurrentUser(resolution.currentUser);
            const std::uint64_t epoch = accountEpoch_;
            setAuthStatus(resolution.authStatus);
            if (resolution.logLine) appendLog(*resolution.logLine);
            if (!resolution.clearPersistedSession) {
                refreshRemoteState([this, done, epoch, clearPassword = resolution.clearPassword] {
                    restartRemoteStatusPollingIfNeeded(epoch);
                    if (clearPassword) setPassword(QString());
                    done->finish();
                });
                return;
            }
            clearSignedInState();
            if (resolution.clearPassword) setPassword(QString());
            done->finish();
        });
    return done->future();
}

QFuture<void> DesktopAppModel::signOut() {
    cancelStatusPolling();
    cancelAutoStartRetry();
    // From here on no start may claim the run, no read of the old account
    // may land and no poll may start for it.
    stoppedAtRequest_ = ++runRequests_;
    ++accountEpoch_;
    Completion done = makeCompletion();
    runtime_->onLane(
        [coordinator = syncCoordinator_](std::stop_token, DesktopModelRuntime::Lane& lane) {
            coordinator->signOut();
            ++lane.accountChanges;
        },
        [this, done](Outcome<std::monostate> outcome) {
            cancelStatusPolling();
            if (!outcome.ok()) {
                setAuthStatus(outcome.error);
                done->finish();
                return;
            }
            setCurrentUser(std::nullopt);
            clearSignedInState();
            setPendingFolderSelectionConfirmation(std::nullopt);
            setAuthStatus(QStringLiteral("Signed out"));
            done->finish();
        });
    return done->future();
}

// Nobody is signed in any more: the run and everything shown of the account go.
void DesktopAppModel::clearSignedInState() {
    setIsRunning(false);
    setIngestStatus(std::nullopt);
    setFailedUploads({});
    setRetryStatus(QString());
    setSyncStatus(QString());
    setUnsupportedFilesCount(0);
    setIndexingProgress(IndexingProgressSnapshot::idle());
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
    cancelAutoStartRetry();
    setSyncStatus(QString());
    setRetryStatus(QString());
    Completion done = makeCompletion();
    const std::uint64_t request = ++runRequests_;
    const std::uint64_t epoch = accountEpoch_;
    auto apply = [this, done, request, epoch](Outcome<bool> outcome) {
        if (request <= stoppedAtRequest_) {
            // Stopped (or signed out) after this start was made: the stop is
            // newer and stands, and this start claims nothing.
            done->finish();
            return;
        }
        if (!outcome.ok()) {
            setSyncStatus(outcome.error);
            done->finish();
            return;
        }
        setIsRunning(true);
        setSyncStatus(QStringLiteral("Running"));
        refreshRemoteState([this, done, epoch] {
            restartRemoteStatusPollingIfNeeded(epoch);
            done->finish();
        });
    };
    runtime_->startOnLane(engineStart(syncCoordinator_, toStd(folders_), mode_), std::nullopt, std::move(apply));
    return done->future();
}

QFuture<void> DesktopAppModel::stopSync() {
    cancelAutoStartRetry();
    stoppedAtRequest_ = ++runRequests_;
    Completion done = makeCompletion();
    runtime_->onLane([coordinator = syncCoordinator_](std::stop_token, DesktopModelRuntime::Lane&) {
                         coordinator->stopSync();
                     },
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
    runtime_->inBackground([client = client_](std::stop_token stop) { return client->retryFailedUploads(stop); },
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
