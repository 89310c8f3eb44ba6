#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include <sqlite3.h>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "State/LocalDatabase.hpp"
#include "support/TempDir.hpp"

using namespace tarnwell;
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
}

std::string scalar(sqlite3* db, const char* sql) {
    std::string value;
    sqlite3_exec(
        db, sql,
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 0;
        },
        &value, nullptr);
    return value;
}

TEST(LocalDatabaseRows, AWriterKilledMidStreamLosesNoCommittedRowAndLeavesASoundFile) {
    TempDir dir;
    auto path = dir / "state.sqlite3";
    LocalDatabase(path, std::nullopt).upsert(row("/r/first", "/r"));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            LocalDatabase db(path, std::nullopt);
            for (int i = 0;; ++i) {
                db.upsert(row("/r/" + std::to_string(i), "/r"));
            }
        } catch (...) {
        }
        ::_exit(1);
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> reader(nullptr, sqlite3_close);
    sqlite3* handle = nullptr;
    sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    reader.reset(handle);
    EXPECT_EQ(scalar(reader.get(), "pragma journal_mode;"), "wal");
    int seen = 0;
    for (int attempt = 0; attempt < 3000 && seen < 300; ++attempt) {
        ::usleep(10'000);
        seen = std::atoi(scalar(reader.get(), "select count(*) from files;").c_str());
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";
    ASSERT_GE(seen, 300);
    reader.reset();

    LocalDatabase again(path, std::nullopt);
    EXPECT_GE(again.rows("/r").size(), static_cast<std::size_t>(seen));
    sqlite3_open(path.c_str(), &handle);
    reader.reset(handle);
    EXPECT_EQ(scalar(reader.get(), "pragma integrity_check;"), "ok");
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
    auto run = [&](const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(other, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(other);
    };
    run("begin exclusive;");
    try {
        db.upsert(row("/r/b", "/r"));
        FAIL() << "expected the write to fail";
    } catch (const DatabaseError& error) {
        EXPECT_EQ(error.sql(), std::string(LocalDatabase::upsertSQL));
        EXPECT_NE(std::string(error.what()).find(" [SQL: insert into files("), std::string::npos);
    }
    EXPECT_EQ(db.rows("/r").size(), 1u);  // the log lets readers past a writer
    run("rollback;");

    // A read that fails must not look like "no rows": that would turn every
    // stored file into a delete or a re-upload. Damage the file so that both
    // tables' roots lie past its end.
    std::map<std::string, int> roots;
    sqlite3_exec(
        other, "select name, rootpage from sqlite_master where name in ('files', 'preferences');",
        [](void* out, int, char** values, char**) {
            (*static_cast<std::map<std::string, int>*>(out))[values[0]] = std::atoi(values[1]);
            return 0;
        },
        &roots, nullptr);
    ASSERT_EQ(roots.size(), 2u);
    run("pragma writable_schema = on;"
        "update sqlite_master set rootpage = 9999 where name in ('files', 'preferences');"
        "pragma schema_version = 1000;");
    EXPECT_THROW(db.rows("/r"), DatabaseError);
    EXPECT_THROW(db.fileRecord("/r/a"), DatabaseError);
    EXPECT_THROW(db.preference("k"), DatabaseError);

    run("update sqlite_master set rootpage = " + std::to_string(roots["files"]) + " where name = 'files';" +
        "update sqlite_master set rootpage = " + std::to_string(roots["preferences"]) +
        " where name = 'preferences';" + "pragma schema_version = 1001;");
    sqlite3_close(other);
    EXPECT_EQ(db.rows("/r").size(), 1u);  // the connection is still usable
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
