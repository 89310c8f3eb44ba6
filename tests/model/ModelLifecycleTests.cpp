// Construction and its failures, the engine's reports, the start-up
// bootstrap, remote refreshes, the status poll and teardown.
#include <sqlite3.h>

#include "ModelTestSupport.hpp"
#include "support/QuitBound.hpp"

namespace tarnwell::testing {
namespace {

using Model = DesktopAppModel;

// Every later write of a preference fails with this database message.
void freezePreferences() {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(AppPaths::databaseFile().c_str(), &db), SQLITE_OK);
    for (std::string when : {"INSERT", "UPDATE"}) {
        const std::string sql = "CREATE TRIGGER frozen_" + when + " BEFORE " + when +
                                " ON preferences BEGIN SELECT RAISE(ABORT, 'preferences are frozen'); END;";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
    sqlite3_close(db);
}

template <class Build>
std::string errorOf(Build build) {
    try {
        build();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "nothing thrown";
}

TEST_F(ModelTest, ConstructionFailsWithTheLoadersOrTheDatabasesOwnError) {
    // A broken configuration file: its error, before the database is made.
    env("SUPABASE_URL", nullptr);
    temp.write("resources/public-config.json", "{\"SUPABASE_URL\": 7}");
    Model::Options options;
    options.resourceDirectory = temp / "resources";
    const std::string configError = errorOf([&] { PublicConfigLoader::load(temp / "resources"); });
    EXPECT_EQ(errorOf([&] { Model broken(options); }), configError);
    EXPECT_FALSE(std::filesystem::exists(AppPaths::databaseFile()));

    // A database that can't be opened: the database's own text.
    env("SUPABASE_URL", backend.baseURL().c_str());
    std::filesystem::create_directories(AppPaths::databaseFile() / "in-the-way");
    const std::string databaseError = errorOf([] { LocalDatabase(AppPaths::databaseFile(), std::nullopt); });
    EXPECT_NE(databaseError, "nothing thrown");
    EXPECT_EQ(errorOf([] { Model broken; }), databaseError);
}

TEST_F(ModelTest, AFloodOfEngineReportsArrivesBoundedWithNothingLatestLost) {
    // 400 skipped files make 400 log lines within moments: the log keeps the
    // newest 300 in order; the last progress and count arrive.
    Model& m = signedIn();
    EXPECT_EQ(m.rootFolder(), "/");
    EXPECT_EQ(m.homeFolder(), QString::fromStdString((temp / "home").string()));
    const std::string root = documents("mixed", 400, ".xyz");
    documents("mixed", 3);
    addFolder(m, root);
    m.setMode(SyncMode::ultra);
    ASSERT_TRUE(finish(m.startSync()));
    ASSERT_TRUE(until([&] { return m.logLines().size() == 300 && m.logLines().last().startsWith("Watching "); }));
    const QStringList lines = m.logLines();
    EXPECT_EQ(QSet<QString>(lines.begin(), lines.end()).size(), 300);
    EXPECT_FALSE(lines.contains("Starting sync (ultra)...")); // the oldest went first
    EXPECT_EQ(m.unsupportedIndicatorText(), "Unsupported file types skipped: 400. See Activity for details.");
    ASSERT_TRUE(until([&] { return !m.indexingProgress().isActive; }));
    EXPECT_EQ(m.indexingProgress().scannedFiles, 3);
    EXPECT_EQ(m.indexEtaText(), "Done");
}

TEST_F(ModelTest, BootstrapRestoresAndAutoStartsOnceEvenWhenCalledTwice) {
    saveSession();
    const std::string root = documents("docs", 3);
    savePreferences(true, {root});
    backend.delay("POST", "/storage/v1/object/", 300ms, 1); // keeps the initial scan busy
    Model& m = make();
    ChangeRecorder changes(m);
    QFuture<void> first = m.bootstrap();
    EXPECT_TRUE(m.bootstrap().isFinished());
    // During the initial scan the window shows the restored state and no poll.
    ASSERT_TRUE(until([&] { return m.logLines().contains("Performing initial scan..."); }));
    EXPECT_FALSE(m.isRunning());
    EXPECT_FALSE(m.isPolling());
    EXPECT_EQ(m.folders(), QStringList{QString::fromStdString(root)});

    ASSERT_TRUE(finish(first));
    EXPECT_TRUE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "");
    EXPECT_TRUE(m.isPolling());
    EXPECT_EQ(m.currentUser()->id, userID);
    EXPECT_EQ(m.logLines().count("Starting sync (ultra)..."), 1);
    EXPECT_EQ(backend.stats().uploads, 3);
    // The poll's first pass may have written after these already.
    EXPECT_EQ(changes.only({"didBootstrap", "currentUser", "folders", "mode", "isRunning", "ingestStatus",
                            "failedUploads"}, 8),
              (std::vector<QString>{"didBootstrap", "currentUser", "folders", "mode", "isRunning", "isRunning",
                                    "ingestStatus", "failedUploads"}));
}

TEST_F(ModelTest, BootstrapStartsNothingWithoutUserFoldersOrTheFlag) {
    const std::string root = documents("docs", 2);
    for (auto [session, autoStart, folders] : {std::tuple{false, true, std::vector{root}},
                                               std::tuple{true, true, std::vector<std::string>{}},
                                               std::tuple{true, false, std::vector{root}}}) {
        SessionStore(AppPaths::sessionFile(), std::nullopt).clear();
        if (session) saveSession();
        savePreferences(autoStart, folders);
        Model& m = make();
        ASSERT_TRUE(finish(m.bootstrap()));
        EXPECT_FALSE(m.isRunning());
        EXPECT_EQ(m.isPolling(), session);
        EXPECT_EQ(m.ingestStatus().has_value(), session);
    }
    EXPECT_EQ(backend.requestCount("POST", "/storage/v1/object/"), 0u);
}

// Someone signs in while the saved state is still being read: the newer
// sign-in stands, and nothing starts behind the person's back.
TEST_F(ModelTest, ASignInDuringTheRestoreStands) {
    saveSession();
    savePreferences(true, {documents("docs", 2)});
    backend.delay("GET", "/auth/v1/user", 700ms, 1);
    Model& m = make();
    QFuture<void> boot = m.bootstrap();
    ASSERT_TRUE(until([&] { return backend.pendingFaults() == 0; }));
    m.setEmail("bob@example.com");
    m.setPassword("secret2");
    ASSERT_TRUE(finish(m.login()) && finish(boot));
    ASSERT_TRUE(m.currentUser().has_value());
    EXPECT_EQ(m.currentUser()->id, otherID);
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(backend.requestCount("POST", "/storage/v1/object/"), 0u);
}

TEST_F(ModelTest, FailedAutoStartIsShownAndLoggedAndTheRestStillHappens) {
    saveSession();
    savePreferences(true, {documents("docs", 1)});
    freezePreferences();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    EXPECT_FALSE(m.isRunning());
    EXPECT_TRUE(m.syncStatus().startsWith("preferences are frozen")) << m.syncStatus().toStdString();
    EXPECT_EQ(m.logLines().last(), "Auto-start failed: " + m.syncStatus());
    EXPECT_TRUE(m.ingestStatus().has_value());
    EXPECT_TRUE(m.isPolling());

    // The same failure from the start button: its text, the run unchanged.
    ASSERT_TRUE(finish(m.startSync()));
    EXPECT_TRUE(m.syncStatus().startsWith("preferences are frozen"));
    EXPECT_FALSE(m.isRunning());
}

// A failed read has read nothing: either one failing keeps what the last
// good read showed, also once the session has stopped working, rather than
// "no failed uploads". A sign-out clears it.
TEST_F(ModelTest, AFailedReadKeepsWhatTheLastGoodOneShowedAndNobodySignedInReadsNothing) {
    Model& m = make();
    ASSERT_TRUE(finish(m.refreshStatus()));
    EXPECT_EQ(backend.requestCount("GET", "/rest/v1/"), 0u);
    model.reset();

    addFailedJob(userID, "a.pdf");
    Model& signedInModel = signedIn();
    ASSERT_TRUE(finish(signedInModel.refreshStatus()));
    const std::optional<IngestStatusSnapshot> shown = signedInModel.ingestStatus();
    ASSERT_TRUE(shown.has_value());
    ASSERT_EQ(signedInModel.failedUploads().size(), 1u);
    auto expectShownStill = [&](const char* after) {
        ASSERT_TRUE(finish(signedInModel.refreshStatus()));
        EXPECT_EQ(signedInModel.ingestStatus(), shown) << after;
        EXPECT_EQ(signedInModel.failedUploads().size(), 1u) << after;
    };
    for (const char* query : {"status=eq.running", "select=id,file_id,error,created_at"}) {
        Fault fault;
        fault.pathPrefix = "/rest/v1/jobs";
        fault.queryContains = query;
        fault.dropConnection = true;
        backend.injectFault(fault);
        expectShownStill(query);
    }
    backend.expireAllAccessTokens();
    backend.revokeRefreshToken(SessionStore(AppPaths::sessionFile(), std::nullopt).load()->refreshToken);
    expectShownStill("a refused refresh");

    ASSERT_TRUE(finish(signedInModel.signOut()));
    EXPECT_FALSE(signedInModel.ingestStatus().has_value());
    EXPECT_TRUE(signedInModel.failedUploads().empty());
}

// Started at login before the network is up: the window shows the saved
// sign-in, and the sync starts by itself once the backend answers. While it
// does not, the start waits ever longer, says so once per wait, and asks
// only for the user.
TEST_F(ModelTest, ALaunchBeforeTheBackendIsUpKeepsTheUserAndStartsOnceItAnswers) {
    saveSession();
    const std::string root = documents("docs", 2);
    savePreferences(true, {root});
    backend.stop();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    ASSERT_EQ(m.userLabel(), "ada@example.com");
    EXPECT_EQ(m.folders(), QStringList{QString::fromStdString(root)});
    EXPECT_FALSE(m.isRunning());
    EXPECT_TRUE(m.isWaitingToAutoStart());
    EXPECT_TRUE(m.isPolling());
    EXPECT_EQ(m.indexingProgress(), IndexingProgressSnapshot::idle()); // the failed start claims no scan
    EXPECT_TRUE(m.logLines().last().startsWith(
        "Waiting for the backend to answer before starting sync (retrying in 1 s): The request failed: "))
        << m.logLines().last().toStdString();

    Fault drop; // up, but every lookup of the user is dropped
    drop.method = "GET";
    drop.pathPrefix = "/auth/v1/user";
    drop.count = -1;
    drop.closeWithoutAnswer = true;
    backend.injectFault(drop);
    backend.start();
    ASSERT_TRUE(until([&] { return backend.requestCount("GET", "/auth/v1/user") >= 6; }));
    EXPECT_EQ(m.logLines().filter("Waiting for the backend to answer").size(), 3); // 20, 40, then 80 ms
    EXPECT_EQ(m.logLines().count("Starting sync (ultra)..."), 1);

    backend.clearFaults();
    ASSERT_TRUE(until([&] { return m.isRunning(); }));
    EXPECT_FALSE(m.isWaitingToAutoStart());
    EXPECT_EQ(m.syncStatus(), "");
    EXPECT_EQ(backend.stats().uploads, 2);
    EXPECT_EQ(m.logLines().count("Starting sync (ultra)..."), 2);
    EXPECT_TRUE(until([&] { return m.ingestStatus().has_value(); }));
}

// A stop ends the wait for good; going away ends it at once, also with the
// backend holding its answer to the lookup.
TEST_F(ModelTest, AStopOrAQuitEndsTheWaitForTheBackend) {
    saveSession();
    savePreferences(true, {documents("docs", 1)});
    backend.stop();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    ASSERT_TRUE(m.isWaitingToAutoStart());
    ASSERT_TRUE(finish(m.stopSync()));
    EXPECT_FALSE(m.isWaitingToAutoStart());
    EXPECT_EQ(m.syncStatus(), "Stopped");
    backend.start();
    QTest::qWait(300); // several waits' worth
    EXPECT_EQ(backend.requestCount("GET", "/auth/v1/user"), 0u);
    EXPECT_FALSE(m.isRunning());

    model.reset();
    backend.stop();
    ASSERT_TRUE(finish(make().bootstrap()));
    backend.delay("GET", "/auth/v1/user", 20s, 1);
    backend.start();
    ASSERT_TRUE(until([&] { return backend.pendingFaults() == 0; }));
    const auto quit = std::chrono::steady_clock::now();
    model.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - quit, kQuitBound);
}

// The start that ends the wait is the one Start would make then: the folders
// and speed the window shows, saved for the next launch; with no folder left
// nothing starts.
TEST_F(ModelTest, TheStartThatEndsTheWaitUsesWhatTheWindowShowsThen) {
    saveSession();
    const std::string a = documents("a", 3), b = documents("b", 2);
    savePreferences(true, {a});
    backend.stop();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    m.setMode(SyncMode::regular);
    m.clearFolders();
    addFolder(m, b);
    backend.start();
    ASSERT_TRUE(until([&] { return m.isRunning(); }));
    const auto objects = backend.objects();
    EXPECT_EQ(objects.size(), 2u);
    for (const auto& o : objects) EXPECT_TRUE(o.key.starts_with("user-" + userID + "/root-" + FileRules::rootTag(b)));
    EXPECT_EQ(m.logLines().count("Starting sync (regular)..."), 1);

    model.reset();
    backend.stop();
    temp.write("tree/b/new.txt", "y");
    Model& next = make();
    ASSERT_TRUE(finish(next.bootstrap()));
    EXPECT_EQ(next.folders(), QStringList{QString::fromStdString(b)});
    EXPECT_EQ(next.mode(), SyncMode::regular);
    ASSERT_TRUE(next.isWaitingToAutoStart());
    next.clearFolders();
    backend.start();
    ASSERT_TRUE(until([&] { return !next.isWaitingToAutoStart(); }));
    EXPECT_EQ(next.syncStatusLine(), "Stopped");
    EXPECT_EQ(backend.stats().uploads, 2);
}

// Behind a captive portal every request gets its page or a redirect to it:
// no answer of the backend's. The stored user stays, the launch waits, and it
// starts once the backend itself answers.
TEST_F(ModelTest, APortalsPageOrRedirectKeepsTheUserAndTheLaunchWaits) {
    saveSession();
    for (int status : {200, 302}) {
        savePreferences(true, {documents("docs" + std::to_string(status), 2)});
        Fault portal;
        portal.pathPrefix = "/";
        portal.count = -1;
        portal.status = status;
        portal.body = status == 200 ? "<html><body>Accept the terms to go online</body></html>" : "";
        portal.contentType = "text/html";
        portal.setHeaders = {{"Location", "http://portal.example.test/login"}};
        backend.clearRequests();
        backend.injectFault(portal);
        Model& m = make();
        ASSERT_TRUE(finish(m.bootstrap()));
        EXPECT_EQ(m.userLabel(), "ada@example.com") << status;
        ASSERT_TRUE(until([&] { return backend.requestCount("GET", "/auth/v1/user") >= 4; }));
        EXPECT_TRUE(m.isWaitingToAutoStart() && m.currentUser()) << status;
        backend.clearFaults();
        ASSERT_TRUE(until([&] { return m.isRunning(); })) << status;
        model.reset();
    }
    EXPECT_EQ(backend.stats().uploads, 4);
}

// A proxy that asks for its own sign-in (407, whatever its body) or a
// filter's block page (a 403 or 401 web page, also one that begins with a
// byte-order mark and is served as plain text), at launch, from the middle of
// the wait or in place of the refresh's answer, is no verdict on the session:
// the stored user stays, and the launch starts once the backend itself
// answers, sending each file's object and job once.
TEST_F(ModelTest, AProxysSignInOrABlockPageIsNoVerdictOnTheSession) {
    struct Between {
        std::string name;
        int status;
        std::string contentType;
        std::optional<std::string> body;
        std::string pathPrefix = "/";
    };
    const std::string page = "<!DOCTYPE html><html><body>Blocked by policy</body></html>";
    const std::string marked = "\xEF\xBB\xBF" + page;
    const std::vector<Between> cases{{"proxy", 407, "application/json", std::nullopt},
                                     {"page", 403, "text/html", page},
                                     {"marked403", 403, "text/plain", marked},
                                     {"marked401", 401, "text/plain", marked},
                                     {"refresh", 403, "text/plain", marked, "/auth/v1/token"}};
    for (const Between& c : cases) {
        for (bool fromTheWait : {false, true}) {
            const std::string name = c.name + (fromTheWait ? "-wait" : "");
            saveSession();
            // The refresh is reached only with the access token expired.
            if (c.pathPrefix != "/") backend.expireAllAccessTokens();
            savePreferences(true, {documents(name, 1)});
            Fault between;
            between.pathPrefix = c.pathPrefix;
            between.count = -1;
            between.status = c.status;
            between.contentType = c.contentType;
            between.body = c.body;
            backend.clearRequests();
            const int uploads = backend.stats().uploads;
            if (fromTheWait) backend.stop();
            else backend.injectFault(between);
            Model& m = make();
            ASSERT_TRUE(finish(m.bootstrap()));
            EXPECT_TRUE(m.isWaitingToAutoStart()) << name;
            if (fromTheWait) {
                backend.injectFault(between);
                backend.start();
            }
            ASSERT_TRUE(until([&] { return backend.requestCount("GET", "/auth/v1/user") >= 3 || !m.currentUser(); }));
            EXPECT_TRUE(m.isWaitingToAutoStart() && m.userLabel() == "ada@example.com") << name;
            if (c.pathPrefix != "/") {
                EXPECT_GE(backend.requestCount("POST", c.pathPrefix), 3u) << name;
            }
            backend.clearFaults();
            ASSERT_TRUE(until([&] { return m.isRunning() || !m.currentUser(); })) << name;
            EXPECT_EQ(backend.stats().uploads, uploads + 1) << name;
            model.reset();
        }
    }
    const auto files = backend.files();
    EXPECT_EQ(files.size(), 2 * cases.size());
    EXPECT_EQ(backend.objectCount(), files.size());
    for (const auto& file : files) {
        const auto key = file.at("storage_key").get<std::string>();
        EXPECT_TRUE(backend.object(key)) << key;
        EXPECT_EQ(backend.jobsForFile(file.at("id").get<std::string>()).size(), 1u) << key;
    }
}

// Once the backend answers after a wait, the start under way no longer says
// that it waits, while its scan sends the files; should the start meet no
// answer again, the window says so again.
TEST_F(ModelTest, TheWaitsTextGoesOnceTheBackendAnswers) {
    saveSession();
    savePreferences(true, {documents("docs", 3)});
    backend.stop();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    ASSERT_TRUE(m.syncStatus().startsWith("Waiting for the backend to answer before starting sync: "));
    std::vector<std::pair<QString, int>> shown; // each text set, with the uploads done by then
    QObject context;
    QObject::connect(&m, &Model::syncStatusChanged, &context,
                     [&] { shown.emplace_back(m.syncStatus(), backend.stats().uploads); });

    Fault answers; // the lookup that ends the wait is answered...
    answers.method = "GET";
    answers.pathPrefix = "/auth/v1/user";
    answers.passThrough = true;
    Fault drop = answers; // ...and the start's own lookup is not
    drop.passThrough = false;
    drop.dropConnection = true;
    backend.injectFault(answers);
    backend.injectFault(drop);
    backend.start();
    ASSERT_TRUE(until([&] { return m.isRunning(); }));
    EXPECT_EQ(backend.stats().uploads, 3);
    EXPECT_EQ(m.syncStatusLine(), "Running");

    // From the first answer on: gone, back for the start that met no answer,
    // gone again before a file was sent.
    shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
    const auto answered = std::find_if(shown.begin(), shown.end(), [](const auto& s) { return s.first.isEmpty(); });
    const std::vector<std::pair<QString, int>> after(answered, shown.end());
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], std::make_pair(QString(), 0));
    EXPECT_TRUE(after[1].first.startsWith("Waiting for the backend to answer before starting sync: "));
    EXPECT_EQ(after[2], std::make_pair(QString(), 0));
}

// The session turns out refused once the backend answers: the window then
// shows what a launch with the network up would have shown.
TEST_F(ModelTest, ASessionRefusedOnceTheBackendAnswersLeavesNobodySignedIn) {
    const SessionTokens tokens = saveSession();
    savePreferences(true, {documents("docs", 1)});
    backend.expireAllAccessTokens();
    backend.revokeRefreshToken(tokens.refreshToken);
    backend.stop();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
    ASSERT_TRUE(m.currentUser().has_value());
    backend.start();
    ASSERT_TRUE(until([&] { return !m.currentUser().has_value(); }));
    EXPECT_FALSE(m.isWaitingToAutoStart());
    EXPECT_FALSE(m.isPolling());
    EXPECT_FALSE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "Supabase request failed with status 400");
    EXPECT_EQ(m.logLines().last(), "Auto-start failed: " + m.syncStatus());
    EXPECT_EQ(backend.requestCount("POST", "/storage/v1/object/"), 0u);
}

TEST_F(ModelTest, PollRepeatsAndStopsWhenCancelledInItsSleepOrWithItsRefreshOut) {
    Model& m = make(150ms);
    auto login = [&] {
        m.setEmail("ada@example.com");
        m.setPassword("secret1");
        ASSERT_TRUE(finish(m.login()));
        ASSERT_TRUE(m.isPolling());
    };
    auto assertNoFurtherPass = [&] {
        QTest::qWait(700); // held answers come in
        const std::size_t reads = failedUploadReads();
        QTest::qWait(500);
        EXPECT_EQ(failedUploadReads(), reads);
    };
    login();
    ASSERT_TRUE(until([&] { return failedUploadReads() >= 4; }));

    // With a pass waiting for its held answer: that answer lands nowhere.
    addFailedJob(userID, "b.pdf");
    Fault hold;
    hold.pathPrefix = "/rest/v1/jobs";
    hold.queryContains = "select=id,file_id,error,created_at";
    hold.delay = 500ms;
    backend.injectFault(hold);
    ASSERT_TRUE(until([&] { return backend.pendingFaults() == 0; }));
    ASSERT_TRUE(finish(m.signOut()));
    EXPECT_FALSE(m.isPolling());
    assertNoFurtherPass();
    EXPECT_TRUE(m.failedUploads().empty());

    // Asleep, right after a pass has landed.
    const std::size_t before = failedUploadReads();
    login();
    ASSERT_TRUE(until([&] { return failedUploadReads() >= before + 2; }));
    ASSERT_TRUE(finish(m.signOut()));
    assertNoFurtherPass();
}

// A sign-out pressed right behind an action that restarts the poll (the
// bootstrap, a sign-in, a start) leaves no poll, whichever lands first.
TEST_F(ModelTest, NoPollOutlivesASignOut) {
    const std::string root = documents("docs", 2);
    auto pressWithSignOut = [](Model& m, QFuture<void> first, int gap) {
        if (gap > 0) QTest::qWait(gap);
        QFuture<void> out = m.signOut();
        return finish(first) && finish(out);
    };
    for (int round = 0; round < 15; ++round) {
        const int gap = round % 11;
        SCOPED_TRACE(gap);
        saveSession();
        savePreferences(true, {root});
        Model& m = make(20ms);
        ASSERT_TRUE(pressWithSignOut(m, m.bootstrap(), gap));
        EXPECT_FALSE(m.isPolling());
        EXPECT_FALSE(m.isRunning());

        m.setEmail("ada@example.com");
        m.setPassword("secret1");
        ASSERT_TRUE(pressWithSignOut(m, m.login(), gap));
        EXPECT_FALSE(m.isPolling());

        ASSERT_TRUE(login(m));
        addFolder(m, root);
        ASSERT_TRUE(pressWithSignOut(m, m.startSync(), gap));
        EXPECT_FALSE(m.isPolling());
        EXPECT_FALSE(m.currentUser().has_value());
    }
    const std::size_t reads = failedUploadReads();
    QTest::qWait(300); // twenty-odd passes, were a poll alive
    EXPECT_EQ(failedUploadReads(), reads);
}

TEST_F(ModelTest, EventLoopTurnsWhileAnswersAreHeldBack) {
    Model& m = signedIn();
    backend.delay("GET", "/rest/v1/jobs", 700ms);
    backend.delay("POST", "/auth/v1/token", 700ms);
    m.setEmail("ada@example.com");
    m.setPassword("secret1");
    for (QFuture<void> action : {m.refreshStatus(), m.login()}) {
        bool turnedWhileWaiting = false;
        QTimer::singleShot(0, [&] { turnedWhileWaiting = !action.isFinished(); });
        ASSERT_TRUE(finish(action));
        EXPECT_TRUE(turnedWhileWaiting);
    }
}

TEST_F(ModelTest, DestroyingTheModelMidActionCutsItsWorkAndLandsNothing) {
    Model& m = signedIn(10ms);
    backend.delay("POST", "/storage/v1/object/", 20s);
    backend.delay("GET", "/rest/v1/jobs", 20s);
    addFolder(m, documents("docs", 2));
    QFuture<void> start = m.startSync();
    QFuture<void> refresh = m.refreshStatus();
    ASSERT_TRUE(until([&] { return m.logLines().contains("Performing initial scan..."); }));
    const auto quit = std::chrono::steady_clock::now();
    model.reset(); // joins its workers without waiting out the held answers
    EXPECT_LT(std::chrono::steady_clock::now() - quit, kQuitBound); // the requests out are cut at once
    EXPECT_TRUE(start.isCanceled());
    EXPECT_TRUE(refresh.isCanceled());
    EXPECT_EQ(backend.stats().uploads, 0);
    QCoreApplication::processEvents(); // anything still queued for it is gone
}

// The restore refreshes an expired session; the window closes meanwhile and
// does not wait for the backend's answer.
TEST_F(ModelTest, QuittingDuringTheRestoresSessionRefreshDoesNotWaitForIt) {
    saveSession();
    backend.expireAllAccessTokens();
    backend.delay("POST", "/auth/v1/token", 20s, 1);
    Model& m = make();
    QFuture<void> boot = m.bootstrap();
    ASSERT_TRUE(until([&] { return backend.pendingFaults() == 0; }));
    const auto quit = std::chrono::steady_clock::now();
    model.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - quit, kQuitBound);
    EXPECT_TRUE(boot.isCanceled());
}

} // namespace
} // namespace tarnwell::testing
