// The agent's local SQLite state: one row per synced file and a small table
// of preferences.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "State/SharedModels.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace tarnwell {

class DatabaseError : public std::runtime_error {
public:
    DatabaseError(std::string message, std::optional<std::string> sql);

    const std::string& message() const { return message_; }
    const std::optional<std::string>& sql() const { return sql_; }
    // message alone, or message + " [SQL: " + statement + "]".
    std::string errorDescription() const { return what(); }

private:
    std::string message_;
    std::optional<std::string> sql_;
};

class LocalDatabase {
public:
    // Default locations: AppPaths::databaseFile() (or "/tmp/qv-state.sqlite3"
    // when the state directory can't be made) and the legacy "state.db".
    LocalDatabase();
    LocalDatabase(const std::filesystem::path& url, std::optional<std::filesystem::path> legacyDatabaseURL);
    ~LocalDatabase();

    LocalDatabase(const LocalDatabase&) = delete;
    LocalDatabase& operator=(const LocalDatabase&) = delete;

    std::optional<FileStateRow> fileRecord(const std::string& path);
    std::vector<FileStateRow> rows(const std::string& rootPath);
    // The root paths that rows are recorded under, each once.
    std::vector<std::string> rootPaths();
    // The rows whose path lies below the folder and whose root path is not
    // exceptRootPath, in path order.
    std::vector<FileStateRow> rowsBelow(const std::string& folder, const std::string& exceptRootPath);
    void upsert(const FileStateRow& row);
    // Several rows in one transaction: all of them, or none when one fails.
    void upsertAll(const std::vector<FileStateRow>& rows);
    void remove(const std::string& path); // delete(path:)
    std::optional<std::string> preference(const std::string& key);
    void setPreference(const std::string& value, const std::string& key);

    const std::filesystem::path& databaseURL() const { return databaseURL_; }

    // The statement texts, byte for byte.
    static const char* const schemaSQL;
    static const char* const fileRecordSQL;
    static const char* const rowsForRootSQL;
    static const char* const rootPathsSQL;
    static const char* const rowsBelowSQL;
    static const char* const upsertSQL;
    static const char* const deleteSQL;
    static const char* const beginSQL;
    static const char* const commitSQL;
    static const char* const preferenceSQL;
    static const char* const setPreferenceSQL;

private:
    LocalDatabase(const std::filesystem::path& url, std::optional<std::filesystem::path> legacyDatabaseURL,
                  bool useDefaults);
    static sqlite3* openDatabase(const std::filesystem::path& path);
    static void configure(sqlite3* db);
    static void migrate(sqlite3* db);
    sqlite3_stmt* prepare(const char* sql);
    sqlite3_stmt* prepared(const char* sql);
    void step(sqlite3_stmt* statement, const char* sql);
    static FileStateRow makeRow(sqlite3_stmt* statement);
    // Steps the statement to its end, reading every row with `read`. A step
    // that fails throws: a partial list would pass for the whole one.
    template <typename Read>
    auto readAll(sqlite3_stmt* statement, const char* sql, Read read) -> std::vector<decltype(read(statement))>;
    static std::string string(int column, sqlite3_stmt* statement);
    std::string currentErrorMessage() const;
    std::optional<std::string> legacyPreference(const std::string& key);
    void setPreferenceLocked(const std::string& value, const std::string& key);
    void upsertLocked(const FileStateRow& row);

    // The earlier installation's database, read from a private copy made at
    // the first lookup that needs it and kept open from then on.
    struct LegacyCopy;

    std::mutex mutex_;
    std::filesystem::path databaseURL_;
    std::optional<std::filesystem::path> legacyDatabaseURL_;
    std::unique_ptr<LegacyCopy> legacyCopy_;
    sqlite3* database_ = nullptr;
    // Statements kept prepared, by their text's address; guarded by mutex_.
    std::vector<std::pair<const char*, sqlite3_stmt*>> prepared_;
};

} // namespace tarnwell
