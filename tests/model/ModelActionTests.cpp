// The account, folder, sync, retry and dashboard actions, and the races a
// user can cause: presses in quick succession, a stop during a start's
// initial scan, and an account change while a remote read is still out.
#include "ModelTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using Model = DesktopAppModel;
using Confirmation = FolderSelectionConfirmation;

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
    EXPECT_EQ(changes.only({"password", "authStatus", "currentUser", "logLines", "ingestStatus", "failedUploads"}, 8),
              (std::vector<QString>{"password", "authStatus", "currentUser", "authStatus", "logLines", "ingestStatus",
                                    "failedUploads", "password"}));
    EXPECT_EQ(m.authStatus(), "Signed in");
    EXPECT_EQ(m.logLines().last(), "Logged in as ada@example.com");
    EXPECT_EQ(m.password(), "");
    EXPECT_TRUE(m.isPolling());
}

TEST_F(ModelTest, SignUpWithAndWithoutASession) {
    Model& m = make();
    m.setEmail("new@example.com");
    m.setPassword("secret3");
    ASSERT_TRUE(finish(m.signup()));
    EXPECT_EQ(m.authStatus(), "Account created");
    EXPECT_EQ(m.logLines().last(), "Signup complete. Logged in as new@example.com");
    EXPECT_EQ(m.password(), "");
    EXPECT_TRUE(m.isPolling());

    // The backend wants the address confirmed first: nobody is signed in,
    // the saved session is gone, the engine stops, the password stays.
    addFolder(m, documents("docs", 1));
    ASSERT_TRUE(finish(m.startSync()));
    ASSERT_TRUE(m.isRunning());
    backend.setSignUpMode(SignUpMode::ConfirmationRequired);
    m.setEmail("later@example.com");
    m.setPassword("secret4");
    const int lines = m.logLines().size();
    ASSERT_TRUE(finish(m.signup()));
    EXPECT_EQ(m.authStatus(), "Check your email to confirm your account, then log in.");
    EXPECT_FALSE(m.currentUser().has_value());
    EXPECT_FALSE(std::filesystem::exists(AppPaths::sessionFile()));
    EXPECT_FALSE(m.isRunning());
    EXPECT_FALSE(m.isPolling());
    EXPECT_FALSE(m.ingestStatus().has_value());
    EXPECT_EQ(m.password(), "secret4");
    EXPECT_EQ(m.logLines().mid(lines), QStringList{"Sync stopped."}); // the engine's line, none of the model's

    // A session without a user names the separately reported one.
    const StoredUser bare{"u2", std::nullopt};
    EXPECT_EQ(AuthFlowResolver::resolveSignup(StoredSession{"a", "r", std::nullopt}, bare).currentUser, bare);
    EXPECT_EQ(AuthFlowResolver::resolveSignup(StoredSession{"a", "r", std::nullopt}, bare).logLine,
              std::optional<QString>("Signup complete. Logged in as u2"));
}

TEST_F(ModelTest, FolderSelectionStateMachine) {
    Model& m = make();
    const QString home = m.homeFolder();
    const QString a = QString::fromStdString(documents("a", 0));
    const QString b = QString::fromStdString(documents("b", 0));

    chooser->answers = {std::nullopt, a + "/./", a, b};
    m.addFolder(); // cancelled: nothing changes
    EXPECT_TRUE(m.folders().isEmpty());
    m.addFolder();
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
    m.chooseHomeFolder();
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{home});
    EXPECT_FALSE(m.pendingFolderSelectionConfirmation().has_value());
    ChangeRecorder repeated(m);
    m.chooseHomeFolder(); // already home: the text again, no question
    EXPECT_EQ(repeated.changes, std::vector<QString>{"syncStatus"});
    EXPECT_EQ(m.syncStatus(), "All folders selected (home directory).");

    // Adding the home folder itself to an all-folders selection asks too.
    m.chooseRootFolder();
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.syncStatus(), "All files selected (full disk).");
    addFolder(m, home.toStdString());
    EXPECT_EQ(m.pendingFolderSelectionConfirmation()->id(), "folder:" + home);
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{home});
    EXPECT_EQ(m.syncStatus(), "Replaced the all-folders selection with a specific folder.");

    // Clearing keeps a pending question, which then applies to the empty list.
    m.chooseRootFolder();
    m.clearFolders();
    m.confirmPendingFolderSelection();
    EXPECT_EQ(m.folders(), QStringList{"/"});
    m.confirmPendingFolderSelection(); // nothing pending: nothing happens
    m.clearFolders();
    m.chooseRootFolder(); // empty list: at once
    EXPECT_EQ(m.folders(), QStringList{"/"});
    EXPECT_FALSE(m.pendingFolderSelectionConfirmation().has_value());
    EXPECT_NE(Confirmation::replaceWithSpecificFolder("/a"), Confirmation::replaceWithSpecificFolder("/A"));
}

TEST_F(ModelTest, StartStopRetryAndDashboard) {
    Model& m = signedIn();
    addFolder(m, documents("docs", 2));
    ChangeRecorder changes(m);
    ASSERT_TRUE(finish(m.startSync()));
    EXPECT_EQ(changes.only({"syncStatus", "retryStatus", "isRunning"}),
              (std::vector<QString>{"syncStatus", "retryStatus", "isRunning", "syncStatus"}));
    EXPECT_EQ(changes.changes.back(), "failedUploads"); // the refresh comes last
    EXPECT_EQ(m.syncStatus(), "Running");
    EXPECT_TRUE(m.isPolling());

    ASSERT_TRUE(finish(m.stopSync()));
    ASSERT_TRUE(finish(m.stopSync())); // stopped already: said again
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "Stopped");
    EXPECT_TRUE(m.isPolling()); // a stop leaves the poll alone

    ASSERT_TRUE(finish(m.retryFailedUploads()));
    EXPECT_EQ(m.retryStatus(), "Retried 0 upload(s).");
    for (const char* key : {"a.pdf", "b.pdf", "c.pdf"}) addFailedJob(userID, key);
    ASSERT_TRUE(finish(m.refreshStatus()));
    EXPECT_EQ(m.ingestErrorsText(), "3");
    EXPECT_EQ(m.ingestQueuedText(), "2"); // the two uploads of the start
    EXPECT_EQ(m.ingestLastText(), "--");
    backend.failNext("PATCH", "/rest/v1/jobs", 1, 500);
    ASSERT_TRUE(finish(m.retryFailedUploads()));
    EXPECT_FALSE(m.retryStatus().isEmpty());
    EXPECT_FALSE(m.retryStatus().startsWith("Retried"));
    EXPECT_EQ(m.failedUploads().size(), 3u); // no refresh after a failed retry
    ASSERT_TRUE(finish(m.retryFailedUploads()));
    EXPECT_EQ(m.retryStatus(), "Retried 3 upload(s).");
    EXPECT_TRUE(m.failedUploads().empty());
    ASSERT_TRUE(finish(m.startSync()));
    EXPECT_EQ(m.retryStatus(), ""); // a start empties the retry line too

    m.openDashboard();
    EXPECT_EQ(opener->opened, std::vector<QString>{"https://dashboard.example.com/app"});
}

// A stop (or a sign-out) pressed while a start still waits for its initial
// scan wins: when that start returns, the window must not claim a run.
TEST_F(ModelTest, StopOrSignOutDuringTheInitialScanWins) {
    Model& m = signedIn();
    addFolder(m, documents("docs", 4));
    backend.delay("POST", "/storage/v1/object/", 400ms);
    ChangeRecorder changes(m);
    QFuture<void> start = m.startSync();
    ASSERT_TRUE(until([&] { return m.logLines().contains("Performing initial scan..."); }));
    QFuture<void> stop = m.stopSync();
    ASSERT_TRUE(finish(start) && finish(stop));
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "Stopped");
    EXPECT_EQ(changes.only({"isRunning"}), std::vector<QString>{"isRunning"}); // the stop's false only

    // The bootstrap's own start, interrupted by a sign-out, which also drops
    // a pending folder question and the saved session.
    model.reset();
    savePreferences(true, {documents("more", 4)});
    Model& again = make();
    QFuture<void> boot = again.bootstrap();
    ASSERT_TRUE(until([&] { return again.logLines().contains("Performing initial scan..."); }));
    again.chooseHomeFolder();
    ASSERT_TRUE(again.pendingFolderSelectionConfirmation().has_value());
    QFuture<void> out = again.signOut();
    ASSERT_TRUE(finish(boot) && finish(out));
    EXPECT_FALSE(again.isRunning());
    EXPECT_FALSE(again.currentUser().has_value());
    EXPECT_FALSE(again.isPolling());
    EXPECT_FALSE(again.pendingFolderSelectionConfirmation().has_value());
    EXPECT_FALSE(std::filesystem::exists(AppPaths::sessionFile()));
    EXPECT_EQ(again.authStatus(), "Signed out");
    EXPECT_EQ(again.syncStatusLine(), "Stopped");
    EXPECT_EQ(again.userLabel(), "Not logged in");
}

// Two presses in quick succession reach the engine in the order they were
// made, and once both have landed the window says what the engine does.
TEST_F(ModelTest, BackToBackPressesLeaveTheWindowAgreeingWithTheEngine) {
    Model& m = signedIn();
    addFolder(m, documents("docs", 3));
    auto engineRunning = [&] { return DesktopAppModelTestAccess::engineRunning(m); };
    auto start = [&] { return m.startSync(); };
    auto stop = [&] { return m.stopSync(); };
    auto signOut = [&] { return m.signOut(); };
    auto press = [&](auto first, auto second, int gap) {
        QFuture<void> a = first();
        if (gap > 0) QTest::qWait(gap);
        QFuture<void> b = second();
        return finish(a) && finish(b);
    };
    for (int round = 0; round < 15; ++round) {
        const int gap = round % 11;
        SCOPED_TRACE(gap);
        ASSERT_TRUE(press(start, stop, gap));
        EXPECT_FALSE(engineRunning());
        EXPECT_FALSE(m.isRunning());
        EXPECT_EQ(m.syncStatus(), "Stopped");

        ASSERT_TRUE(finish(m.startSync()) && m.isRunning());
        ASSERT_TRUE(press(stop, start, gap));
        EXPECT_TRUE(engineRunning());
        EXPECT_TRUE(m.isRunning());
        EXPECT_EQ(m.syncStatus(), "Running");

        ASSERT_TRUE(finish(m.stopSync()));
        ASSERT_TRUE(press(start, signOut, gap));
        EXPECT_FALSE(engineRunning());
        EXPECT_FALSE(m.isRunning());
        EXPECT_FALSE(m.currentUser().has_value());
        EXPECT_FALSE(m.isPolling());
        ASSERT_TRUE(login(m));
    }
}

// A sign-up answered without a session stops the engine behind it on the
// lane. A start pressed just before it is stopped by it; a start pressed
// while its answer is out is served after that stop and runs, and the
// window must say so however long the answer takes.
TEST_F(ModelTest, AStartPressedWhileASignUpIsOutShowsWhatRuns) {
    Model& m = signedIn();
    addFolder(m, documents("docs", 3));
    backend.setSignUpMode(SignUpMode::ConfirmationRequired);
    for (int round = 0; round < 5; ++round) {
        const auto held = std::chrono::milliseconds(30 + 50 * round);
        SCOPED_TRACE(held.count());
        backend.delay("POST", "/auth/v1/signup", held, 1);
        m.setEmail(QStringLiteral("new%1@example.com").arg(round));
        m.setPassword("secret3");
        QFuture<void> before = m.startSync();
        QFuture<void> signup = m.signup();
        QFuture<void> after = m.startSync();
        ASSERT_TRUE(finish(before) && finish(signup) && finish(after));
        EXPECT_TRUE(DesktopAppModelTestAccess::engineRunning(m));
        EXPECT_TRUE(m.isRunning());
        EXPECT_EQ(m.syncStatus(), "Running");
        EXPECT_FALSE(m.currentUser().has_value());
        ASSERT_TRUE(finish(m.stopSync()) && login(m));
    }
}

// What the engine reported before a sign-out never lands after its reset,
// with reads and retries out around the sign-out, after a finished start or
// in the middle of one.
TEST_F(ModelTest, NothingOfTheStoppedRunShowsAfterASignOut) {
    Model& m = signedIn();
    addFolder(m, documents("docs", 8));
    int staleProgress = 0;
    QObject::connect(&m, &Model::indexingProgressChanged, [&] {
        if (m.authStatus() == "Signed out" && !(m.indexingProgress() == IndexingProgressSnapshot::idle()))
            ++staleProgress;
    });
    for (int round = 0; round < 8; ++round) {
        if (round > 0) {
            ASSERT_TRUE(login(m));
        }
        QFuture<void> start = m.startSync();
        if (round % 2 == 0) {
            ASSERT_TRUE(finish(start));
        }
        const QFuture<void> around[] = {m.refreshStatus(), m.retryFailedUploads(), m.signOut(), m.refreshStatus(),
                                        m.retryFailedUploads()};
        for (const QFuture<void>& action : around) ASSERT_TRUE(finish(action));
        // A round trip down the lane: all the engine said before has landed.
        ASSERT_TRUE(finish(start) && finish(m.stopSync()));
        EXPECT_EQ(m.indexingProgress(), IndexingProgressSnapshot::idle());
        EXPECT_EQ(m.indexRemainingText(), "--");
        EXPECT_EQ(m.unsupportedFilesCount(), 0);
        EXPECT_EQ(m.retryStatus(), "");
        EXPECT_FALSE(m.ingestStatus().has_value());
    }
    EXPECT_EQ(staleProgress, 0);
}

// A remote read made for one account never shows after that account signed
// out or another one signed in.
TEST_F(ModelTest, ReadsOfAnEarlierAccountNeverLand) {
    addFailedJob(userID, "ada.pdf");
    Model& m = signedIn();
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
    ASSERT_TRUE(finish(stale) && finish(bob));
    EXPECT_EQ(m.currentUser()->id, otherID);
    ASSERT_FALSE(seenAsBob.empty());
    EXPECT_EQ(std::count(seenAsBob.begin(), seenAsBob.end(), 0u), std::ssize(seenAsBob)); // never Ada's list

    // Signed out while Bob's read and retry are out: neither lands.
    QFuture<void> late = m.refreshStatus();
    QFuture<void> retry = m.retryFailedUploads();
    ASSERT_TRUE(finish(m.signOut()) && finish(late) && finish(retry));
    EXPECT_FALSE(m.ingestStatus().has_value());
    EXPECT_TRUE(m.failedUploads().empty());
    EXPECT_EQ(m.retryStatus(), "");
}

// Two reads out at once (the poll's and the user's, say): the older one,
// answering last with a failure, must not clear what the newer one showed.
TEST_F(ModelTest, ALateOlderReadNeverReplacesANewerOne) {
    addFailedJob(userID, "ada.pdf");
    Model& m = signedIn();
    ASSERT_EQ(m.failedUploads().size(), 1u);
    Fault slowFailure;
    slowFailure.method = "GET";
    slowFailure.pathPrefix = "/rest/v1/jobs";
    slowFailure.delay = 700ms;
    slowFailure.status = 500;
    backend.injectFault(slowFailure);
    QFuture<void> older = m.refreshStatus();
    ASSERT_TRUE(until([&] { return backend.pendingFaults() == 0; }));
    ASSERT_TRUE(finish(m.refreshStatus()));
    ASSERT_EQ(m.failedUploads().size(), 1u);
    auto failedRead = [&] {
        for (const auto& request : backend.requests("GET", "/rest/v1/jobs")) {
            if (request.status == 500) return true;
        }
        return false;
    };
    ASSERT_TRUE(finish(older) && until(failedRead));
    // The failed read's outcome reaches the model a moment after its answer.
    EXPECT_FALSE(QTest::qWaitFor([&] { return m.failedUploads().empty(); }, 1000));
    EXPECT_TRUE(m.ingestStatus().has_value());
}

} // namespace
} // namespace tarnwell::testing
