// Construction and its failures, the engine's reports, the start-up
// bootstrap, remote refreshes, the status poll and teardown.
#include <sqlite3.h>

#include "ModelTestSupport.hpp"

namespace tarnwell::testing {
namespace {

using Model = DesktopAppModel;

// Every later write of a preference fails with this database message.
void freezePreferences() {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(AppPaths::databaseFile().c_str(), &db), SQLITE_OK);
    for (const char* when : {"INSERT", "UPDATE"}) {
        const std::string sql = std::string("CREATE TRIGGER frozen_") + when + " BEFORE " + when +
                                " ON preferences BEGIN SELECT RAISE(ABORT, 'preferences are frozen'); END;";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    }
    sqlite3_close(db);
}

TEST_F(ModelTest, ConstructionFailsWithTheLoadersOrTheDatabasesOwnError) {
    // A broken configuration file (and an incomplete environment): its
    // decoding error escapes unchanged, before the database is touched.
    env("SUPABASE_URL", nullptr);
    temp.write("resources/public-config.json", "{\"SUPABASE_URL\": 7}");
    Model::Options options;
    options.resourceDirectory = temp / "resources";
    std::string configError;
    try {
        PublicConfigLoader::load(temp / "resources");
    } catch (const std::exception& e) {
        configError = e.what();
    }
    ASSERT_FALSE(configError.empty());
    try {
        Model broken(options);
        FAIL() << "a broken configuration built a model";
    } catch (const std::exception& e) {
        EXPECT_EQ(e.what(), configError);
    }
    EXPECT_FALSE(std::filesystem::exists(temp / "state" / "state.sqlite3"));

    // A database path that can't be opened: the database's text, unchanged.
    env("SUPABASE_URL", backend.baseURL().c_str());
    std::filesystem::create_directories(temp / "state" / "state.sqlite3" / "in-the-way");
    std::string databaseError;
    try {
        LocalDatabase(AppPaths::databaseFile(), std::nullopt);
    } catch (const DatabaseError& e) {
        databaseError = e.what();
    }
    ASSERT_FALSE(databaseError.empty());
    try {
        Model broken;
        FAIL() << "an unusable database built a model";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.what(), databaseError);
    }
}

TEST_F(ModelTest, ConstantsAndEngineReportsArriveCoalescedAndBounded) {
    Model& m = make();
    EXPECT_EQ(m.rootFolder(), "/");
    EXPECT_EQ(m.homeFolder(), QString::fromStdString((temp / "home").string()));
    EXPECT_EQ(m.config().dashboardURL, "https://dashboard.example.com/app");
    EXPECT_EQ(m.indexingProgress(), IndexingProgressSnapshot::idle());

    // 400 skipped files make 400 log lines within moments: the log keeps the
    // newest 300 in order, and the last progress and count are not lost.
    saveSession();
    const std::string root = documents("mixed", 400, ".xyz");
    documents("mixed", 3, ".txt");
    m.setMode(SyncMode::ultra);
    ASSERT_TRUE(finish(m.bootstrap()));
    chooser->answers = {QString::fromStdString(root)};
    m.addFolder();
    ASSERT_TRUE(finish(m.startSync()));
    const bool settled =
        until([&] { return m.logLines().size() == 300 && m.logLines().last().startsWith("Watching "); });
    ASSERT_TRUE(settled) << m.logLines().size() << " " << m.logLines().join("\n").right(2000).toStdString();
    const QStringList lines = m.logLines();
    EXPECT_EQ(QSet<QString>(lines.begin(), lines.end()).size(), 300);
    EXPECT_FALSE(lines.contains("Starting sync (ultra)...")); // the oldest went first
    EXPECT_EQ(m.unsupportedFilesCount(), 400);
    EXPECT_EQ(m.unsupportedIndicatorText(), "Unsupported file types skipped: 400. See Activity for details.");
    ASSERT_TRUE(until([&] { return !m.indexingProgress().isActive; }));
    EXPECT_EQ(m.indexingProgress().scannedFiles, 3);
    EXPECT_EQ(m.indexingProgress().totalFiles, std::optional<std::int64_t>(3));
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
    QFuture<void> second = m.bootstrap();
    EXPECT_TRUE(second.isFinished());
    EXPECT_TRUE(m.didBootstrap());
    // During the initial scan the window shows the restored state and no poll.
    ASSERT_TRUE(until([&] { return m.logLines().contains("Performing initial scan..."); }));
    EXPECT_FALSE(m.isRunning());
    EXPECT_FALSE(m.isPolling());
    EXPECT_EQ(m.folders(), QStringList{QString::fromStdString(root)});
    EXPECT_EQ(m.mode(), SyncMode::ultra);

    ASSERT_TRUE(finish(first));
    EXPECT_TRUE(m.isRunning());
    EXPECT_EQ(m.syncStatus(), "");
    EXPECT_TRUE(m.isPolling());
    ASSERT_TRUE(m.currentUser().has_value());
    EXPECT_EQ(m.currentUser()->id, userID);
    ASSERT_TRUE(m.ingestStatus().has_value());
    EXPECT_EQ(m.logLines().count("Starting sync (ultra)..."), 1);
    EXPECT_EQ(backend.stats().uploads, 3);
    // The poll's first pass may already have written again after these.
    const auto order = changes.only({"didBootstrap", "currentUser", "folders", "mode", "isRunning", "ingestStatus",
                                     "failedUploads"});
    const std::vector<QString> expected{"didBootstrap", "currentUser", "folders", "mode",
                                        "isRunning",    "isRunning",   "ingestStatus", "failedUploads"};
    ASSERT_GE(order.size(), expected.size());
    EXPECT_EQ(std::vector<QString>(order.begin(), order.begin() + 8), expected);
}

TEST_F(ModelTest, BootstrapStartsNothingWithoutUserFoldersOrTheFlag) {
    const std::string root = documents("docs", 2);
    struct Case {
        bool session, autoStart;
        std::vector<std::string> folders;
    };
    for (const Case& c : {Case{false, true, {root}}, Case{true, true, {}}, Case{true, false, {root}}}) {
        SCOPED_TRACE(::testing::Message() << c.session << c.autoStart << c.folders.size());
        SessionStore(AppPaths::sessionFile(), std::nullopt).clear();
        if (c.session) saveSession();
        savePreferences(c.autoStart, c.folders);
        Model& m = make();
        ASSERT_TRUE(finish(m.bootstrap()));
        EXPECT_FALSE(m.isRunning());
        EXPECT_EQ(m.currentUser().has_value(), c.session);
        EXPECT_EQ(m.isPolling(), c.session);
        EXPECT_EQ(m.ingestStatus().has_value(), c.session);
        model.reset();
    }
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
    EXPECT_EQ(m.retryStatus(), "");
}

TEST_F(ModelTest, EitherFailedReadClearsBothAndNobodySignedInReadsNothing) {
    Model& m = make();
    ASSERT_TRUE(finish(m.refreshStatus()));
    EXPECT_EQ(backend.requestCount("GET", "/rest/v1/"), 0u);
    EXPECT_FALSE(m.ingestStatus().has_value());

    saveSession();
    addFailedJob(userID, "a.pdf");
    ASSERT_TRUE(finish(m.bootstrap()));
    ASSERT_TRUE(m.ingestStatus().has_value());
    ASSERT_EQ(m.failedUploads().size(), 1u);
    for (const char* query : {"status=eq.running", "select=id,file_id,error,created_at"}) {
        SCOPED_TRACE(query);
        ASSERT_TRUE(finish(m.refreshStatus()));
        ASSERT_TRUE(m.ingestStatus().has_value());
        Fault fault;
        fault.method = "GET";
        fault.pathPrefix = "/rest/v1/jobs";
        fault.queryContains = query;
        fault.dropConnection = true;
        backend.injectFault(fault);
        ASSERT_TRUE(finish(m.refreshStatus()));
        EXPECT_FALSE(m.ingestStatus().has_value());
        EXPECT_TRUE(m.failedUploads().empty());
        EXPECT_EQ(m.authStatus(), ""); // a failed read says nothing
    }
}

TEST_F(ModelTest, PollRepeatsAfterEachRefreshAndStopsWhenCancelledInItsSleepOrItsRefresh) {
    Model& m = make(150ms);
    m.setEmail("ada@example.com");
    m.setPassword("secret1");
    ASSERT_TRUE(finish(m.login()));
    ASSERT_TRUE(m.isPolling());
    ASSERT_TRUE(until([&] { return failedUploadReads() >= 4; }));

    // Cancelled while its refresh is held back: that refresh ends, nothing
    // of the signed-out account lands, and no further pass starts.
    addFailedJob(userID, "b.pdf");
    Fault hold;
    hold.method = "GET";
    hold.pathPrefix = "/rest/v1/jobs";
    hold.queryContains = "select=id,file_id,error,created_at";
    hold.delay = 500ms;
    backend.injectFault(hold);
    ASSERT_TRUE(until([&] { return backend.pendingFaults() == 0; })); // a pass waits for its answer
    ASSERT_TRUE(finish(m.signOut()));
    EXPECT_FALSE(m.isPolling());
    QTest::qWait(700); // the held answer comes in
    EXPECT_FALSE(m.ingestStatus().has_value());
    EXPECT_TRUE(m.failedUploads().empty());
    const std::size_t afterRefresh = failedUploadReads();
    QTest::qWait(500);
    EXPECT_EQ(failedUploadReads(), afterRefresh);

    // Cancelled in its sleep: right after a pass has landed.
    const std::size_t beforeLogin = failedUploadReads();
    m.setPassword("secret1");
    ASSERT_TRUE(finish(m.login()));
    ASSERT_TRUE(m.isPolling());
    ASSERT_TRUE(until([&] { return failedUploadReads() >= beforeLogin + 2; }));
    ASSERT_TRUE(finish(m.signOut()));
    QTest::qWait(200);
    const std::size_t afterSleep = failedUploadReads();
    QTest::qWait(500);
    EXPECT_EQ(failedUploadReads(), afterSleep);
}

TEST_F(ModelTest, EventLoopTurnsWhileAnswersAreHeldBack) {
    saveSession();
    Model& m = make();
    ASSERT_TRUE(finish(m.bootstrap()));
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
    saveSession();
    const std::string root = documents("docs", 2);
    Model& m = make(10ms);
    ASSERT_TRUE(finish(m.bootstrap()));
    backend.delay("POST", "/storage/v1/object/", 20s);
    backend.delay("GET", "/rest/v1/jobs", 20s);
    chooser->answers = {QString::fromStdString(root)};
    m.addFolder();
    QFuture<void> start = m.startSync();
    QFuture<void> refresh = m.refreshStatus();
    ASSERT_TRUE(until([&] { return backend.pendingFaults() > 0 && m.logLines().contains("Performing initial scan..."); }));
    model.reset(); // joins its workers; must not wait out the held answers
    EXPECT_TRUE(start.isCanceled());
    EXPECT_TRUE(refresh.isCanceled());
    EXPECT_EQ(backend.stats().uploads, 0);
    QCoreApplication::processEvents(); // anything still queued for it is gone
}

} // namespace
} // namespace tarnwell::testing
