#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "State/LocalDatabase.hpp"
#include "support/TempDir.hpp"

using namespace tarnwell;
using tarnwell::testing::ScopedEnv;
using tarnwell::testing::TempDir;
namespace fs = std::filesystem;

namespace {

FileStateRow row(const std::string& path, const std::string& root, std::int64_t bytes = 1, double mtime = 1.0) {
    return FileStateRow{path, root, "logical" + path, "key" + path, "digest", bytes, mtime};
}

void makeLegacy(const fs::path& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

} // namespace

TEST(LocalDatabaseStatements, TextsAreByteExact) {
    EXPECT_EQ(std::strlen(LocalDatabase::schemaSQL), 399u);
    EXPECT_EQ(std::strlen(LocalDatabase::fileRecordSQL), 110u);
    EXPECT_EQ(std::strlen(LocalDatabase::rowsForRootSQL), 107u);
    EXPECT_EQ(std::strlen(LocalDatabase::upsertSQL), 364u);
    EXPECT_EQ(std::strlen(LocalDatabase::deleteSQL), 34u);
    EXPECT_EQ(std::strlen(LocalDatabase::preferenceSQL), 53u);
    EXPECT_EQ(std::strlen(LocalDatabase::setPreferenceSQL), 106u);
}

TEST(LocalDatabaseRows, UpsertReplaceDeleteAndExactRootMatch) {
    TempDir dir;
    LocalDatabase db(dir / "state.sqlite3", std::nullopt);
    struct stat info {};
    ASSERT_EQ(::stat((dir / "state.sqlite3").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_TRUE(db.rows("/r").empty());
    EXPECT_FALSE(db.preference("auto_index"));

    db.upsert(row("/r/a", "/r", 5'000'000'000, 1700000000123.75));
    db.upsert(row("/r2/b", "/r2"));
    db.upsert(row("/R/c", "/R"));
    auto stored = db.fileRecord("/r/a");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->bytes, 5'000'000'000);
    EXPECT_EQ(stored->mtimeMilliseconds, 1700000000123.75);

    FileStateRow changed{"/r/a", "/r", "new-logical", "new-key", "new-digest", 7, 2.5};
    db.upsert(changed);
    EXPECT_EQ(db.fileRecord("/r/a"), changed);
    auto rows = db.rows("/r");
    ASSERT_EQ(rows.size(), 1u);  // not "/r2", not "/R"
    EXPECT_EQ(rows[0], changed);

    db.remove("/nothing-here");
    db.remove("/r/a");
    EXPECT_TRUE(db.rows("/r").empty());
    EXPECT_FALSE(db.fileRecord("/r/a"));
}

TEST(LocalDatabaseRows, RowsBelowAFolderComponentByComponentAndTheRootPathsRecorded) {
    TempDir dir;
    LocalDatabase db(dir / "state.sqlite3", std::nullopt);
    EXPECT_TRUE(db.rootPaths().empty());
    for (const auto& stored : {row("/x/Docs/a", "/x/Docs"), row("/x/Docs/In/b", "/x"), row("/x/Docs2/c", "/x"),
                               row("/x/Docs0", "/x"), row("/y/d", "/y")}) {
        db.upsert(stored);
    }
    const auto paths = [&](const std::string& folder, const std::string& except) {
        std::vector<std::string> found;
        for (const auto& stored : db.rowsBelow(folder, except)) found.push_back(stored.path);
        return found;
    };
    EXPECT_EQ(paths("/x/Docs", ""), (std::vector<std::string>{"/x/Docs/In/b", "/x/Docs/a"}));
    EXPECT_EQ(paths("/x/Docs", "/x/Docs"), (std::vector<std::string>{"/x/Docs/In/b"}));
    EXPECT_EQ(paths("/", "/x").size(), 2u);
    EXPECT_EQ(db.rootPaths(), (std::vector<std::string>{"/x", "/x/Docs", "/y"}));
}

TEST(LocalDatabaseRows, ReopeningKeepsRowsAndPreferences) {
    TempDir dir;
    {
        LocalDatabase db(dir / "state.sqlite3", std::nullopt);
        db.upsert(row("/r/a", "/r"));
        db.setPreference("ultra", "pref_mode");
        db.setPreference("regular", "pref_mode");
    }
    LocalDatabase again(dir / "state.sqlite3", std::nullopt);
    EXPECT_EQ(again.rows("/r").size(), 1u);
    EXPECT_EQ(again.preference("pref_mode"), "regular");
    EXPECT_EQ(TempDir::read(dir / "state.sqlite3").substr(18, 2), "\x02\x02");  // write-ahead log
}

TEST(LocalDatabaseLegacy, PreferenceCopiedOnceAndLegacyNeverWritten) {
    TempDir dir;
    auto legacyPath = dir / "state.db";
    makeLegacy(legacyPath,
               "create table preferences(key text primary key, value text);"
               "insert into preferences values('watched_folders', '[\"/a\"]');"
               "insert into preferences values('nullish', null);");
    auto before = fs::last_write_time(legacyPath);
    LocalDatabase db(dir / "state.sqlite3", legacyPath);
    EXPECT_EQ(db.preference("watched_folders"), "[\"/a\"]");
    EXPECT_FALSE(db.preference("nullish"));
    EXPECT_FALSE(db.preference("missing"));

    fs::remove(legacyPath);  // copied values are served from the current database
    EXPECT_EQ(db.preference("watched_folders"), "[\"/a\"]");
    EXPECT_FALSE(db.preference("missing"));
    EXPECT_FALSE(fs::exists(legacyPath));  // never created
    db.setPreference("[]", "watched_folders");
    EXPECT_EQ(db.preference("watched_folders"), "[]");
    (void)before;
}

// Every entry of a folder with its size, a hash of its bytes and its
// modification time.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string bytes = TempDir::read(entry.path());
        entries[entry.path().filename().string()] =
            std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes)) +
            ", changed " + std::to_string(entry.last_write_time().time_since_epoch().count());
    }
    return entries;
}

TEST(LocalDatabaseLegacy, ALegacyDatabaseInWALModeIsReadAndLeftExactlyAsFound) {
    TempDir dir;
    // As an earlier installation that was killed leaves it: the rows are
    // committed to the log but not yet in the database file.
    fs::path work = dir / "work", killed = dir / "killed", closed = dir / "closed";
    for (const auto& folder : {work, killed, closed}) {
        fs::create_directories(folder);
    }
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open((work / "state.db").c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "pragma journal_mode = wal; create table preferences(key text primary key, value text);"
                           "insert into preferences values('pref_mode', 'ultra');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    fs::copy_file(work / "state.db", killed / "state.db");
    fs::copy_file(work / "state.db-wal", killed / "state.db-wal");
    sqlite3_close(writer);  // checkpoints and removes its log
    fs::copy_file(work / "state.db", closed / "state.db");

    for (const auto& legacy : {killed, closed}) {
        SCOPED_TRACE(legacy.filename().string());
        auto before = snapshot(legacy);
        LocalDatabase db(dir / (legacy.filename().string() + ".sqlite3"), legacy / "state.db");
        EXPECT_EQ(db.preference("pref_mode"), "ultra");
        EXPECT_FALSE(db.preference("missing"));
        EXPECT_EQ(snapshot(legacy), before);
    }
}

// The private copy of the earlier installation's database that a killed
// process left behind goes at the next start; a copy whose owner lives (here,
// or in another process-id namespace, where only its lock tells) stays.
TEST(LocalDatabaseLegacy, ACopyLeftByAKilledProcessIsRemovedAtTheNextStart) {
    TempDir dir;
    ScopedEnv temporary("TMPDIR", dir.path().c_str());
    makeLegacy(dir / "state.db", "create table preferences(key text primary key, value text);");
    LocalDatabase live(dir / "live.sqlite3", dir / "state.db");
    EXPECT_FALSE(live.preference("k"));
    const fs::path abandoned = dir / "tarnwell-legacy-2147483646-AbCdEf";
    const fs::path elsewhere = dir / "tarnwell-legacy-2147483645-GhIjKl";
    for (const auto& folder : {abandoned, elsewhere}) {
        fs::create_directory(folder);
        fs::copy_file(dir / "state.db", folder / "state.db");
    }
    const int lock = ::open(elsewhere.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    LocalDatabase next(dir / "next.sqlite3", std::nullopt);
    ::close(lock);
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(elsewhere / "state.db"));
    const std::string mine = "tarnwell-legacy-" + std::to_string(::getpid()) + "-";
    int liveCopies = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        liveCopies += entry.path().filename().string().rfind(mine, 0) == 0 && fs::exists(entry.path() / "state.db");
    }
    EXPECT_EQ(liveCopies, 1);
}

TEST(LocalDatabaseLegacy, LegacyWithoutTableOrNotADatabaseReadsAsMissing) {
    TempDir dir;
    makeLegacy(dir / "empty.db", "create table other(x);");
    LocalDatabase db(dir / "state.sqlite3", dir / "empty.db");
    EXPECT_FALSE(db.preference("k"));

    dir.write("garbage.db", std::string(4096, 'x'));
    LocalDatabase db2(dir / "state2.sqlite3", dir / "garbage.db");
    EXPECT_FALSE(db2.preference("k"));
}

TEST(LocalDatabaseErrors, OpenFailuresAndStatementErrorsDescribeThemselves) {
    TempDir dir;
    EXPECT_THROW(LocalDatabase(dir / "missing" / "state.sqlite3", std::nullopt), DatabaseError);
    dir.write("not-a-db.sqlite3", std::string(4096, 'x'));
    try {
        LocalDatabase db(dir / "not-a-db.sqlite3", std::nullopt);
        FAIL() << "expected a schema failure";
    } catch (const DatabaseError& error) {
        EXPECT_FALSE(error.sql());
        EXPECT_EQ(error.errorDescription(), error.message());
    }

    DatabaseError withSQL("database is locked", std::string(LocalDatabase::deleteSQL));
    EXPECT_EQ(withSQL.errorDescription(), "database is locked [SQL: delete from files where path = ?1;]");
    EXPECT_STREQ(withSQL.what(), "database is locked [SQL: delete from files where path = ?1;]");
}

TEST(LocalDatabaseErrors, LockedOrDamagedDatabaseFailsReadsAndWritesLoudly) {
    TempDir dir;
    LocalDatabase db(dir / "state.sqlite3", std::nullopt);
    db.upsert(row("/r/a", "/r"));

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "state.sqlite3").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "begin exclusive;", nullptr, nullptr, nullptr), SQLITE_OK);
    try {
        db.upsert(row("/r/b", "/r"));
        FAIL() << "expected the write to fail";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error.sql(), std::string(LocalDatabase::upsertSQL));
        EXPECT_NE(std::string(error.what()).find(" [SQL: insert into files("), std::string::npos);
    }
    EXPECT_EQ(db.rows("/r").size(), 1u);  // the log lets readers past a writer
    sqlite3_exec(other, "rollback;", nullptr, nullptr, nullptr);
    db.upsert(row("/r/b", "/r"));  // the connection is still usable

    // A read that fails must not look like "no rows": that would turn every
    // stored file into a delete or a re-upload. Both tables' roots are moved
    // past the end of the file.
    ASSERT_EQ(sqlite3_exec(other,
                           "pragma writable_schema = on; update sqlite_master set rootpage = 9999 "
                           "where name in ('files', 'preferences'); pragma schema_version = 1000;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(other);
    EXPECT_THROW(db.rows("/r"), DatabaseError);
    EXPECT_THROW(db.fileRecord("/r/a"), DatabaseError);
    EXPECT_THROW(db.preference("k"), DatabaseError);
}

TEST(SharedFallbackLocations, LinkPlantedInTheTemporaryFolderIsRefused) {
    TempDir dir;
    auto notAFolder = dir.write("plain", "x");
    tarnwell::testing::ScopedEnv state("QV_STATE_DIR", notAFolder.c_str());
    const fs::path fallback = "/tmp/qv-state.sqlite3";
    std::error_code error;
    if (fs::exists(fs::symlink_status(fallback, error))) {
        GTEST_SKIP() << "a real fallback database exists on this machine";
    }
    auto target = dir.write("victim", "");
    fs::create_symlink(target, fallback);
    EXPECT_THROW(LocalDatabase db, DatabaseError);
    fs::remove(fallback);
    EXPECT_EQ(tarnwell::testing::TempDir::read(target), "");
}
