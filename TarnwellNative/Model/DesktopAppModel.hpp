// The one application model: builds and owns every service object, keeps
// everything the window shows as observable properties, turns user actions
// into calls on the services and polls the hosted status.
//
// Threading: the model lives on the GUI thread and every member is called
// there. Calls that reach the sync engine or change the saved session go down
// one ordered lane, a worker thread the model owns: each is served after the
// one made before it (a start lets the next call in once it has claimed the
// run, so a stop is served between the steps of its initial scan). Remote
// reads and the retry request run on threads of their own. Every result and
// every engine report reaches the GUI thread through one queue, in the order
// it happened, and is applied there, never after the model has gone (the
// lane, the threads and the queue are the model's DesktopModelRuntime). Each
// asynchronous action returns a future that finishes once the action has
// applied its last change (or is cancelled when the model goes away first).
// Wait for it with an event loop running, never by blocking the GUI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include <QFuture>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "Model/AuthFlowResolver.hpp"
#include "Model/DesktopDestination.hpp"
#include "Model/DesktopPresentationFormatter.hpp"
#include "Model/DesktopStatusFormatter.hpp"
#include "Model/FolderChooser.hpp"
#include "Model/StatusPillPresentation.hpp"
#include "Model/URLOpener.hpp"
#include "State/PublicConfigLoader.hpp"
#include "State/SharedModels.hpp"
#include "Sync/SyncCoordinator.hpp"

namespace tarnwell {

class SessionStore;
class LocalDatabase;
class RetryQueueStore;
class SupabaseHTTPClient;
class DesktopModelRuntime;

// A replacement of the folder selection that waits for the user's answer.
struct FolderSelectionConfirmation {
    enum class Kind { replaceWithSpecificFolder, replaceWithHome, replaceWithRoot };

    Kind kind = Kind::replaceWithHome;
    QString path; // only for replaceWithSpecificFolder

    static FolderSelectionConfirmation replaceWithSpecificFolder(QString path);
    static FolderSelectionConfirmation replaceWithHome();
    static FolderSelectionConfirmation replaceWithRoot();

    // "folder:" + path, "home" or "root".
    QString id() const;
    friend bool operator==(const FolderSelectionConfirmation& a, const FolderSelectionConfirmation& b);
};

class DesktopAppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString email READ email WRITE setEmail NOTIFY emailChanged)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY passwordChanged)
    Q_PROPERTY(std::optional<tarnwell::StoredUser> currentUser READ currentUser NOTIFY currentUserChanged)
    Q_PROPERTY(QStringList folders READ folders NOTIFY foldersChanged)
    Q_PROPERTY(tarnwell::SyncMode mode READ mode WRITE setMode NOTIFY modeChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString authStatus READ authStatus NOTIFY authStatusChanged)
    Q_PROPERTY(QString syncStatus READ syncStatus NOTIFY syncStatusChanged)
    Q_PROPERTY(QString retryStatus READ retryStatus NOTIFY retryStatusChanged)
    Q_PROPERTY(QStringList logLines READ logLines NOTIFY logLinesChanged)
    Q_PROPERTY(bool didBootstrap READ didBootstrap NOTIFY didBootstrapChanged)
    Q_PROPERTY(std::optional<tarnwell::IngestStatusSnapshot> ingestStatus READ ingestStatus NOTIFY ingestStatusChanged)
    Q_PROPERTY(std::vector<tarnwell::FailedUploadItem> failedUploads READ failedUploads NOTIFY failedUploadsChanged)
    Q_PROPERTY(qint64 unsupportedFilesCount READ unsupportedFilesCount NOTIFY unsupportedFilesCountChanged)
    Q_PROPERTY(tarnwell::IndexingProgressSnapshot indexingProgress READ indexingProgress NOTIFY indexingProgressChanged)
    Q_PROPERTY(std::optional<tarnwell::FolderSelectionConfirmation> pendingFolderSelectionConfirmation READ
                   pendingFolderSelectionConfirmation NOTIFY pendingFolderSelectionConfirmationChanged)

public:
    using FolderSelectionConfirmation = tarnwell::FolderSelectionConfirmation;

    // The bound of logLines.
    static constexpr int maxLogLines = 300;

    struct Options {
        std::shared_ptr<FolderChooser> folderChooser;
        std::shared_ptr<URLOpener> urlOpener;
        // From the end of one status refresh to the start of the next.
        std::chrono::milliseconds pollInterval = std::chrono::seconds(60);
        // The sync engine's delays; the product's by default.
        SyncCoordinatorTiming coordinatorTiming;
        // Where the configuration file is looked for first (none: the
        // program's own resources).
        std::optional<std::filesystem::path> resourceDirectory;
        // An automatic start that got no answer from the backend is tried
        // again after this wait, each further wait twice the one before, up
        // to the cap.
        std::chrono::milliseconds autoStartRetryDelay = std::chrono::seconds(2);
        std::chrono::milliseconds autoStartRetryCap = std::chrono::seconds(60);
    };

    // Loads the configuration (environment, then the shipped file) and builds,
    // in this order, the session store, the database, the retry queue, the
    // client and the coordinator in the state directory ($QV_STATE_DIR or the
    // per-user default). Throws the configuration loader's or the database's
    // error unchanged; its what() is the text to show.
    DesktopAppModel();
    explicit DesktopAppModel(Options options, QObject* parent = nullptr);
    // Cancels the poll, lets no pending result land, stops the engine's work
    // and joins every thread the model started.
    ~DesktopAppModel() override;

    DesktopAppModel(const DesktopAppModel&) = delete;
    DesktopAppModel& operator=(const DesktopAppModel&) = delete;

    // ---- Platform hooks (the window wires these) ------------------------
    void setFolderChooser(std::shared_ptr<FolderChooser> chooser);
    void setURLOpener(std::shared_ptr<URLOpener> opener);

    // ---- Observed state --------------------------------------------------
    QString email() const { return email_; }
    void setEmail(const QString& value);
    QString password() const { return password_; }
    void setPassword(const QString& value);
    std::optional<StoredUser> currentUser() const { return currentUser_; }
    QStringList folders() const { return folders_; }
    SyncMode mode() const { return mode_; }
    void setMode(SyncMode value);
    bool isRunning() const { return isRunning_; }
    QString authStatus() const { return authStatus_; }
    QString syncStatus() const { return syncStatus_; }
    QString retryStatus() const { return retryStatus_; }
    QStringList logLines() const { return logLines_; }
    bool didBootstrap() const { return didBootstrap_; }
    std::optional<IngestStatusSnapshot> ingestStatus() const { return ingestStatus_; }
    std::vector<FailedUploadItem> failedUploads() const { return failedUploads_; }
    qint64 unsupportedFilesCount() const { return unsupportedFilesCount_; }
    IndexingProgressSnapshot indexingProgress() const { return indexingProgress_; }
    std::optional<FolderSelectionConfirmation> pendingFolderSelectionConfirmation() const {
        return pendingFolderSelectionConfirmation_;
    }

    // ---- Constants -------------------------------------------------------
    const PublicConfig& config() const { return config_; }
    QString homeFolder() const { return homeFolder_; }
    QString rootFolder() const { return rootFolder_; }
    // True while a status poll exists (only while somebody is signed in).
    bool isPolling() const { return pollActive_; }
    // True while the automatic start of the launch waits for the backend to
    // answer: from its first unanswered attempt until an attempt goes through
    // or fails otherwise, or a start, stop, sign-in or sign-out of the
    // person at the window takes over. Once the backend answers, the start
    // is made with the folders and speed shown then; with no folder left,
    // none is made and the wait ends.
    bool isWaitingToAutoStart() const { return autoStartWaiting_; }

    // ---- Start-up and remote status -------------------------------------
    // Restores the saved state, starts syncing again when it was left on,
    // refreshes the remote status and starts the poll. Runs once per model;
    // later calls return a finished future.
    QFuture<void> bootstrap();
    // An immediate refresh of the ingest status and the failed uploads.
    QFuture<void> refreshStatus();

    // ---- Account ---------------------------------------------------------
    QFuture<void> login();
    QFuture<void> signup();
    QFuture<void> signOut();

    // ---- Folder selection (synchronous) ---------------------------------
    // Runs the folder chooser modally and applies the choice.
    void addFolder();
    void chooseHomeFolder();
    void chooseRootFolder();
    void confirmPendingFolderSelection();
    void cancelPendingFolderSelection();
    void clearFolders();

    // ---- Sync, retry, dashboard ------------------------------------------
    QFuture<void> startSync();
    QFuture<void> stopSync();
    QFuture<void> retryFailedUploads();
    void openDashboard();
    QString folderLabel(const QString& path) const;

    // ---- Display texts ----------------------------------------------------
    QString userLabel() const;
    StatusPillPresentation runPresentation() const;
    StatusPillPresentation ingestPresentation() const;
    QString syncStatusLine() const;
    static QString supportedTypesText();
    std::optional<QString> unsupportedIndicatorText() const;
    QString ingestQueuedText() const;
    QString ingestRunningText() const;
    QString ingestErrorsText() const;
    QString ingestLastText() const;
    QString indexRemainingText() const;
    QString indexEtaText() const;

    // The pure rules behind the texts above, open for tests and views.
    static QString indexEtaText(const IndexingProgressSnapshot& progress, Timestamp now);
    // "--" for negative or non-finite input; "Ns", "Mm Ss" or "Hh Mm".
    static QString formatDuration(double seconds);

signals:
    void emailChanged();
    void passwordChanged();
    void currentUserChanged();
    void foldersChanged();
    void modeChanged();
    void isRunningChanged();
    void authStatusChanged();
    void syncStatusChanged();
    void retryStatusChanged();
    void logLinesChanged();
    void didBootstrapChanged();
    void ingestStatusChanged();
    void failedUploadsChanged();
    void unsupportedFilesCountChanged();
    void indexingProgressChanged();
    void pendingFolderSelectionConfirmationChanged();

private:
    friend struct DesktopAppModelTestAccess;

    void installEngineHandlers();
    void appendLog(const QString& line);
    void appendLogLines(const QStringList& lines);

    void refreshRemoteState(std::function<void()> done);
    // Restarts the poll for the account that `accountEpoch` names; does
    // nothing once that account has signed out or been replaced, whose own
    // action decides the poll instead.
    void restartRemoteStatusPollingIfNeeded(std::uint64_t accountEpoch);
    void cancelStatusPolling();
    void pollPass(std::uint64_t poll);
    // The automatic start: one attempt, and the waits between attempts while
    // the backend does not answer. `then` follows the first attempt only.
    struct AutoStartPlan;
    void attemptAutoStart(std::shared_ptr<const AutoStartPlan> plan, std::chrono::milliseconds wait,
                          std::function<void()> then);
    void waitForBackend(std::shared_ptr<const AutoStartPlan> plan, std::chrono::milliseconds wait,
                        const QString& error);
    void probeBackend(std::shared_ptr<const AutoStartPlan> plan, std::chrono::milliseconds wait);
    void cancelAutoStartRetry();
    void applyFolderSelection(const FolderSelectionConfirmation& choice);
    // The reset of a sign-out and of a sign-up without a session.
    void clearSignedInState();
    bool hasAllSelection() const;

    void setCurrentUser(const std::optional<StoredUser>& value);
    void setFolders(const QStringList& value);
    void setIsRunning(bool value);
    void setAuthStatus(const QString& value);
    void setSyncStatus(const QString& value);
    void setRetryStatus(const QString& value);
    void setDidBootstrap(bool value);
    void setIngestStatus(const std::optional<IngestStatusSnapshot>& value);
    void setFailedUploads(const std::vector<FailedUploadItem>& value);
    void setUnsupportedFilesCount(qint64 value);
    void setIndexingProgress(const IndexingProgressSnapshot& value);
    void setPendingFolderSelectionConfirmation(const std::optional<FolderSelectionConfirmation>& value);

    // Observed fields.
    QString email_;
    QString password_;
    std::optional<StoredUser> currentUser_;
    QStringList folders_;
    SyncMode mode_ = SyncMode::regular;
    bool isRunning_ = false;
    QString authStatus_;
    QString syncStatus_;
    QString retryStatus_;
    QStringList logLines_;
    bool didBootstrap_ = false;
    std::optional<IngestStatusSnapshot> ingestStatus_;
    std::vector<FailedUploadItem> failedUploads_;
    qint64 unsupportedFilesCount_ = 0;
    IndexingProgressSnapshot indexingProgress_ = IndexingProgressSnapshot::idle();
    std::optional<FolderSelectionConfirmation> pendingFolderSelectionConfirmation_;

    // Platform hooks and timing.
    std::shared_ptr<FolderChooser> folderChooser_;
    std::shared_ptr<URLOpener> urlOpener_;
    std::chrono::milliseconds pollInterval_;

    // Constants, then the services in the order they are built.
    PublicConfig config_;
    QString homeFolder_;
    QString rootFolder_;
    std::shared_ptr<SessionStore> sessionStore_;
    std::shared_ptr<LocalDatabase> database_;
    std::shared_ptr<RetryQueueStore> retryQueue_;
    std::shared_ptr<SupabaseHTTPClient> client_;
    std::shared_ptr<SyncCoordinator> syncCoordinator_;

    // Changes whenever the signed-in account is set or a sign-out begins: a
    // remote read started under another value is stale.
    std::uint64_t accountEpoch_ = 0;
    // Remote reads in start order: the newest one shown wins over older ones
    // that answer late.
    std::uint64_t refreshesStarted_ = 0;
    std::uint64_t refreshesApplied_ = 0;
    // Starts, stops, sign-ups and sign-outs count in the order they were
    // pressed, which is the order the lane serves them in. A start pressed
    // before the newest request that stopped the engine must not claim the
    // run; one pressed after it is served after that stop and runs.
    std::uint64_t runRequests_ = 0;
    std::uint64_t stoppedAtRequest_ = 0;

    // The status poll: at most one; `pollID_` tells a live pass from a stale one.
    bool pollActive_ = false;
    std::uint64_t pollID_ = 0;
    QTimer pollTimer_;

    // The automatic start's waits for the backend: `autoStartID_` tells the
    // live plan from one that was taken over.
    std::chrono::milliseconds autoStartRetryDelay_;
    std::chrono::milliseconds autoStartRetryCap_;
    std::uint64_t autoStartID_ = 0;
    bool autoStartWaiting_ = false;
    std::chrono::milliseconds lastWaitLogged_{0};
    QTimer autoStartTimer_;
    std::function<void()> autoStartRetry_;

    // The lane, the workers and the way back to the GUI thread.
    std::unique_ptr<DesktopModelRuntime> runtime_;
};

} // namespace tarnwell
