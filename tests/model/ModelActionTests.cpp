// The account, folder, sync, retry and dashboard actions, and the two races
// a user can cause: a stop during a start's initial scan, and an account
// change while a remote read is still out.
#include "ModelTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using Model = DesktopAppModel;
using Confirmation = FolderSelectionConfirmation;

std::vector<QString> first(const std::vector<QString>& changes, std::size_t n) {
    return std::vector<QString>(changes.begin(), changes.begin() + static_cast<std::ptrdiff_t>(std::min(n, changes.size())));
}

TEST_F(ModelTest, SignInReportsItsOutcomeInOrder) {
    Model& m = make();
    m.setEmail("ada@example.com");
    m.setPassword("wrong-password");
    ASSERT_TRUE(finish(m.login()));
    EXPECT_FALSE(m.authStatus().isEmpty());
    EXPECT_FALSE(m.currentUser().has_value());
    EXPECT_EQ(m.password(), "wrong-password");
    EXPECT_TRUE(m.logLines().isEmpty());

    ChangeRecorder changes(m);
    m.setPassword("secret1");
    ASSERT_TRUE(finish(m.login()));
    // The poll's first pass may have written after these already.
    EXPECT_EQ(first(changes.changes, 8),
              (std::vector<QString>{"password", "authStatus", "currentUser", "authStatus", "logLines", "ingestStatus",
                                    "failedUploads", "password"}));
    EXPECT_EQ(m.authStatus(), "Signed in");
    EXPECT_EQ(m.logLines().last(), "Logged in as ada@example.com");
    EXPECT_EQ(m.userLabel(), "ada@example.com");
    EXPECT_EQ(m.email(), "ada@example.com");
    EXPECT_EQ(m.password(), "");
    EXPECT_TRUE(m.isPolling());
}

TEST_F(ModelTest, SignUpWithAndWithoutASession) {
    Model& m = make();
    m.setEmail("new@example.com");
    m.setPassword("secret3");
    ASSERT_TRUE(finish(m.signup()));
    EXPECT_EQ(m.authStatus(), "Account created");
    ASSERT_TRUE(m.currentUser().has_value());
    EXPECT_EQ(m.logLines().last(), "Signup complete. Logged in as new@example.com");
    EXPECT_EQ(m.password(), "");
    EXPECT_TRUE(m.isPolling());
    EXPECT_TRUE(m.ingestStatus().has_value());

    // The backend wants the address confirmed first: nobody is signed in,
    // the old session is gone, the engine stops, the password stays.
    const std::string root = documents("docs", 1);
    chooser->answers = {QString::fromStdString(root)};
    m.addFolder();
    ASSERT_TRUE(finish(m.startSync()));
    ASSERT_TRUE(m.isRunning());
    backend.setSignUpMode(SignUpMode::ConfirmationRequired);
    m.setEmail("later@example.com");
    m.setPassword("secret4");
    const int lines = m.logLines().size();
    ASSERT_TRUE(finish(m.signup()));
    EXPECT_EQ(m.authStatus(), "Check your email to confirm your account, then log in.");
    EXPECT_FALSE(m.currentUser().has_value());
    EXPECT_FALSE(sessionSaved());
    EXPECT_FALSE(m.isRunning());
    EXPECT_FALSE(m.isPolling());
    EXPECT_FALSE(m.ingestStatus().has_value());
    EXPECT_EQ(m.password(), "secret4");
    EXPECT_EQ(m.syncStatus(), "");
    EXPECT_EQ(m.indexingProgress(), IndexingProgressSnapshot::idle());
    EXPECT_EQ(m.logLines().mid(lines), QStringList{"Sync stopped."}); // the engine's line, none of the model's

    // A taken address: only the status line speaks.
    m.setEmail("ada@example.com");
    ASSERT_TRUE(finish(m.signup()));
    EXPECT_FALSE(m.authStatus().isEmpty());
    EXPECT_NE(m.authStatus(), "Check your email to confirm your account, then log in.");
}

TEST_F(ModelTest, SignUpResolution) {
    const StoredUser ada{"u1", std::string("ada@example.com")};
    const StoredUser bare{"u2", std::nullopt};
    const StoredSession withUser{"a", "r", ada};
    const StoredSession withoutUser{"a", "r", std::nullopt};
    EXPECT_EQ(AuthFlowResolver::resolveSignup(withUser, bare),
              (SignupResolution{ada, "Account created", QString("Signup complete. Logged in as ada@example.com"), true,
                                false}));
    EXPECT_EQ(AuthFlowResolver::resolveSignup(withoutUser, bare).logLine,
              std::optional<QString>("Signup complete. Logged in as u2"));
    EXPECT_EQ(AuthFlowResolver::resolveSignup(withoutUser, std::nullopt).logLine,
              std::optional<QString>("Signup complete. Logged in as user"));
    const SignupResolution confirm{std::nullopt, "Check your email to confirm your account, then log in.",
                                   std::nullopt, false, true};
    EXPECT_EQ(AuthFlowResolver::resolveSignup(std::nullopt, ada), confirm);
    EXPECT_EQ(AuthFlowResolver::resolveSignup(std::nullopt, std::nullopt), confirm);
}

TEST_F(ModelTest, SignOutDuringARunStopsItAndDropsThePendingQuestion) {
    saveSession();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    chooser->answers = {QString::fromStdString(documents("docs", 2))};
    m.addFolder();
    ASSERT_TRUE(finish(m.startSync()));
    ASSERT_TRUE(m.isRunning());
    m.chooseHomeFolder();
    ASSERT_TRUE(m.pendingFolderSelectionConfirmation().has_value());
    m.setPassword("kept");
    ASSERT_TRUE(finish(m.signOut()));
    EXPECT_EQ(m.authStatus(), "Signed out");
    EXPECT_FALSE(m.currentUser().has_value());
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "");
    EXPECT_FALSE(m.pendingFolderSelectionConfirmation().has_value());
    EXPECT_FALSE(m.isPolling());
    EXPECT_FALSE(sessionSaved());
    EXPECT_EQ(m.password(), "kept");
    EXPECT_EQ(m.folders().size(), 1);
    ASSERT_TRUE(until([&] { return m.logLines().contains("Sync stopped."); }));
    EXPECT_EQ(m.userLabel(), "Not logged in");
    EXPECT_EQ(m.syncStatusLine(), "Stopped");
    EXPECT_EQ(m.ingestQueuedText(), "--");
}

TEST_F(ModelTest, FolderSelectionStateMachine) {
    Model& m = make();
    const QString home = m.homeFolder();
    const QString a = QString::fromStdString(documents("a", 0));
    const QString b = QString::fromStdString(documents("b", 0));

    chooser->answers = {std::nullopt};
    m.addFolder(); // cancelled: nothing changes, nothing is said
    EXPECT_TRUE(m.folders().isEmpty());
    chooser->answers = {a + "/./", a, b};
    m.addFolder();
    EXPECT_EQ(m.folders(), QStringList{a});
    m.addFolder();
    EXPECT_EQ(m.syncStatus(), "Folder already selected.");
    m.addFolder();
    EXPECT_EQ(m.folders(), (QStringList{a, b}));
    EXPECT_EQ(m.syncStatus(), "");

    // Specific folders to home asks first; cancelling keeps everything.
    m.chooseHomeFolder();
    EXPECT_EQ(m.pendingFolderSelectionConfirmation(), Confirmation::replaceWithHome());
    m.cancelPendingFolderSelection();
    EXPECT_EQ(m.folders(), (QStringList{a, b}));
    EXPECT_FALSE(m.pendingFolderSelectionConfirmation().has_value());
    m.chooseHomeFolder();
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{home});
    EXPECT_EQ(m.syncStatus(), "All folders selected (home directory).");
    ChangeRecorder repeated(m);
    m.chooseHomeFolder(); // already home: the text again, no question
    EXPECT_EQ(repeated.changes, std::vector<QString>{"syncStatus"});
    EXPECT_EQ(m.syncStatus(), "All folders selected (home directory).");
    EXPECT_FALSE(m.pendingFolderSelectionConfirmation().has_value());

    // Home to full disk asks; so does adding the home folder itself to an
    // all-folders selection.
    m.chooseRootFolder();
    EXPECT_EQ(m.pendingFolderSelectionConfirmation(), Confirmation::replaceWithRoot());
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{"/"});
    EXPECT_EQ(m.syncStatus(), "All files selected (full disk).");
    chooser->answers = {home};
    m.addFolder();
    EXPECT_EQ(m.pendingFolderSelectionConfirmation(), Confirmation::replaceWithSpecificFolder(home));
    EXPECT_EQ(m.pendingFolderSelectionConfirmation()->id(), "folder:" + home);
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{home});
    EXPECT_EQ(m.syncStatus(), "Replaced the all-folders selection with a specific folder.");

    // Clearing keeps a pending question, which then applies to the empty list.
    m.chooseRootFolder();
    m.clearFolders();
    EXPECT_TRUE(m.folders().isEmpty());
    EXPECT_TRUE(m.pendingFolderSelectionConfirmation().has_value());
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{"/"});
    m.confirmPendingFolderSelection(); // nothing pending: nothing happens
    EXPECT_EQ(m.folders(), QStringList{"/"});
    m.clearFolders();
    m.chooseRootFolder(); // empty list: at once
    EXPECT_EQ(m.folders(), QStringList{"/"});
    EXPECT_FALSE(m.pendingFolderSelectionConfirmation().has_value());

    EXPECT_EQ(Confirmation::replaceWithHome().id(), "home");
    EXPECT_EQ(Confirmation::replaceWithRoot().id(), "root");
    EXPECT_NE(Confirmation::replaceWithSpecificFolder("/a"), Confirmation::replaceWithSpecificFolder("/A"));
    EXPECT_NE(Confirmation::replaceWithHome(), Confirmation::replaceWithRoot());
}

TEST_F(ModelTest, StartStopRetryAndDashboard) {
    saveSession();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    chooser->answers = {QString::fromStdString(documents("docs", 2))};
    m.addFolder();
    ChangeRecorder changes(m);
    ASSERT_TRUE(finish(m.startSync()));
    EXPECT_EQ(changes.only({"syncStatus", "retryStatus", "isRunning"}),
              (std::vector<QString>{"syncStatus", "retryStatus", "isRunning", "syncStatus"}));
    EXPECT_EQ(changes.changes.back(), "failedUploads"); // the refresh comes last
    EXPECT_EQ(m.syncStatus(), "Running");
    EXPECT_EQ(m.runPresentation(), (StatusPillPresentation{"Running", StatusPillKind::ok}));
    EXPECT_TRUE(m.isPolling());

    ASSERT_TRUE(finish(m.stopSync()));
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "Stopped");
    EXPECT_TRUE(m.isPolling()); // a stop leaves the poll alone
    ASSERT_TRUE(finish(m.stopSync()));
    EXPECT_EQ(m.syncStatus(), "Stopped");

    ASSERT_TRUE(finish(m.retryFailedUploads()));
    EXPECT_EQ(m.retryStatus(), "Retried 0 upload(s).");
    for (const char* key : {"a.pdf", "b.pdf", "c.pdf"}) addFailedJob(userID, key);
    ASSERT_TRUE(finish(m.refreshStatus()));
    ASSERT_EQ(m.failedUploads().size(), 3u);
    EXPECT_EQ(m.ingestErrorsText(), "3");
    EXPECT_EQ(m.ingestQueuedText(), "2"); // the two uploads of the start
    EXPECT_EQ(m.ingestLastText(), "--");
    EXPECT_EQ(m.ingestPresentation(), (StatusPillPresentation{"Ingestion: Errors (3)", StatusPillKind::error}));
    backend.failNext("PATCH", "/rest/v1/jobs", 1, 500, std::string(R"({"message":"Jobs are locked"})"));
    ASSERT_TRUE(finish(m.retryFailedUploads()));
    EXPECT_FALSE(m.retryStatus().isEmpty());
    EXPECT_FALSE(m.retryStatus().startsWith("Retried"));
    EXPECT_EQ(m.failedUploads().size(), 3u); // no refresh after a failed retry
    ASSERT_TRUE(finish(m.retryFailedUploads()));
    EXPECT_EQ(m.retryStatus(), "Retried 3 upload(s).");
    EXPECT_TRUE(m.failedUploads().empty());

    // A start empties the retry line too.
    ASSERT_TRUE(finish(m.startSync()));
    EXPECT_EQ(m.retryStatus(), "");

    m.openDashboard();
    EXPECT_EQ(opener->opened, std::vector<QString>{"https://dashboard.example.com/app"});
    EXPECT_EQ(m.folderLabel(m.homeFolder()), "Home (all folders) - " + m.homeFolder());
    EXPECT_EQ(m.folderLabel("/"), "All files (full disk) - /");
}

// A stop (or a sign-out) pressed while a start still waits for its initial
// scan wins: when that start returns, the window must not claim a run.
TEST_F(ModelTest, StopOrSignOutDuringTheInitialScanWins) {
    saveSession();
    const std::string root = documents("docs", 4);
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    chooser->answers = {QString::fromStdString(root)};
    m.addFolder();
    backend.delay("POST", "/storage/v1/object/", 400ms);
    ChangeRecorder changes(m);
    QFuture<void> start = m.startSync();
    ASSERT_TRUE(until([&] { return m.logLines().contains("Performing initial scan..."); }));
    QFuture<void> stop = m.stopSync();
    ASSERT_TRUE(finish(start));
    ASSERT_TRUE(finish(stop));
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "Stopped");
    EXPECT_EQ(changes.only({"isRunning"}), std::vector<QString>{"isRunning"}); // the stop's false only

    // The bootstrap's own start, interrupted by a sign-out.
    model.reset();
    savePreferences(true, {documents("more", 4)}); // new files, so the start has uploads to make
    Model& again = make();
    QFuture<void> boot = again.bootstrap();
    ASSERT_TRUE(until([&] { return again.logLines().contains("Performing initial scan..."); }));
    QFuture<void> out = again.signOut();
    ASSERT_TRUE(finish(boot));
    ASSERT_TRUE(finish(out));
    EXPECT_FALSE(again.isRunning());
    EXPECT_FALSE(again.currentUser().has_value());
    EXPECT_FALSE(again.isPolling());
    EXPECT_FALSE(again.ingestStatus().has_value());
}

// A remote read made for one account never shows after that account signed
// out or another one signed in.
TEST_F(ModelTest, ReadsOfAnEarlierAccountNeverLand) {
    addFailedJob(userID, "ada.pdf");
    Model& m = make();
    m.setEmail("ada@example.com");
    m.setPassword("secret1");
    ASSERT_TRUE(finish(m.login()));
    ASSERT_EQ(m.failedUploads().size(), 1u);

    backend.delay("GET", "/rest/v1/jobs", 500ms);
    QFuture<void> stale = m.refreshStatus();
    m.setEmail("bob@example.com");
    m.setPassword("secret2");
    std::vector<std::size_t> seenAsBob;
    QObject::connect(&m, &Model::failedUploadsChanged, [&] {
        if (m.currentUser() && m.currentUser()->id == otherID) seenAsBob.push_back(m.failedUploads().size());
    });
    QFuture<void> bob = m.login();
    ASSERT_TRUE(finish(stale));
    ASSERT_TRUE(finish(bob));
    EXPECT_EQ(m.currentUser()->id, otherID);
    EXPECT_TRUE(m.failedUploads().empty());
    for (std::size_t n : seenAsBob) EXPECT_EQ(n, 0u);

    // Signed out while Bob's read is out: it lands nowhere.
    QFuture<void> late = m.refreshStatus();
    ASSERT_TRUE(finish(m.signOut()));
    ASSERT_TRUE(finish(late));
    EXPECT_FALSE(m.ingestStatus().has_value());
    EXPECT_TRUE(m.failedUploads().empty());
}

} // namespace
} // namespace tarnwell::testing
