#include "State/LocalDatabase.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "State/AppPaths.hpp"
#include "State/AtomicFile.hpp"

namespace tarnwell {

namespace fs = std::filesystem;

const char* const LocalDatabase::schemaSQL =
    "create table if not exists files(\n"
    "    path text primary key,\n"
    "    root_path text not null,\n"
    "    logical_path text not null,\n"
    "    storage_key text not null,\n"
    "    sha256 text not null,\n"
    "    bytes integer not null,\n"
    "    mtime_ms real not null\n"
    ");\n"
    "\n"
    "create index if not exists idx_files_root_path on files(root_path);\n"
    "\n"
    "create table if not exists preferences(\n"
    "    key text primary key,\n"
    "    value text not null\n"
    ");";

const char* const LocalDatabase::fileRecordSQL =
    "select path, root_path, logical_path, storage_key, sha256, bytes, mtime_ms\n"
    "from files\n"
    "where path = ?1\n"
    "limit 1;";

const char* const LocalDatabase::rowsForRootSQL =
    "select path, root_path, logical_path, storage_key, sha256, bytes, mtime_ms\n"
    "from files\n"
    "where root_path = ?1;";

// One step of the root path's index per distinct value, however many rows
// each has.
const char* const LocalDatabase::rootPathsSQL =
    "with recursive roots(root_path) as (\n"
    "    select min(root_path) from files\n"
    "    union all\n"
    "    select (select min(root_path) from files where root_path > roots.root_path)\n"
    "    from roots where roots.root_path is not null\n"
    ")\n"
    "select root_path from roots where root_path is not null;";

// The range of paths below a folder ("/x/" up to "/x0", "0" following "/")
// is read from the path's own index; the root path is only compared ("+").
const char* const LocalDatabase::rowsBelowSQL =
    "select path, root_path, logical_path, storage_key, sha256, bytes, mtime_ms\n"
    "from files\n"
    "where path > ?1 and path < ?2 and +root_path <> ?3;";

const char* const LocalDatabase::upsertSQL =
    "insert into files(path, root_path, logical_path, storage_key, sha256, bytes, mtime_ms)\n"
    "values (?1, ?2, ?3, ?4, ?5, ?6, ?7)\n"
    "on conflict(path) do update set\n"
    "    root_path = excluded.root_path,\n"
    "    logical_path = excluded.logical_path,\n"
    "    storage_key = excluded.storage_key,\n"
    "    sha256 = excluded.sha256,\n"
    "    bytes = excluded.bytes,\n"
    "    mtime_ms = excluded.mtime_ms;";

const char* const LocalDatabase::deleteSQL = "delete from files where path = ?1;";

const char* const LocalDatabase::beginSQL = "begin immediate;";

const char* const LocalDatabase::commitSQL = "commit;";

const char* const LocalDatabase::preferenceSQL = "select value from preferences where key = ?1 limit 1;";

const char* const LocalDatabase::setPreferenceSQL =
    "insert into preferences(key, value)\n"
    "values (?1, ?2)\n"
    "on conflict(key) do update set value = excluded.value;";

namespace {

constexpr const char* kUnknownError = "Unknown SQLite error";

std::string describe(const std::string& message, const std::optional<std::string>& sql) {
    return sql ? message + " [SQL: " + *sql + "]" : message;
}

// Finalizes a statement on every way out of an operation.
class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(handle_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return handle_; }
    sqlite3_stmt** out() { return &handle_; }

private:
    sqlite3_stmt* handle_ = nullptr;
};

// One use of a statement kept prepared by the store: on every way out of the
// operation it is reset (ending the read it may hold open, which would keep
// the log from being checkpointed) and its bound values are dropped.
class Use {
public:
    explicit Use(sqlite3_stmt* statement) : handle_(statement) {}
    ~Use() {
        sqlite3_reset(handle_);
        sqlite3_clear_bindings(handle_);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    sqlite3_stmt* get() const { return handle_; }

private:
    sqlite3_stmt* handle_;
};

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.c_str(), -1, SQLITE_TRANSIENT);
}

// Folders holding a private copy of the earlier installation's database are
// named this, then the owning process's id, "-" and six random characters.
constexpr std::string_view kLegacyCopyPrefix = "tarnwell-legacy-";

// Removes the copies in `folder` that a process killed before it could remove
// its own left behind: this user's folders of that name whose process is gone
// and whose lock nobody holds (a process of another process-id namespace
// sharing the folder holds its lock while it lives).
void removeAbandonedLegacyCopies(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, kLegacyCopyPrefix.size(), kLegacyCopyPrefix) != 0) {
            continue;
        }
        const std::string_view rest = std::string_view(name).substr(kLegacyCopyPrefix.size());
        const auto dash = rest.find('-');
        if (dash == std::string_view::npos || dash == 0 || dash > 10 || rest.size() != dash + 7 ||
            rest.find_first_not_of("0123456789") != dash) {
            continue;
        }
        const long long number = std::stoll(std::string(rest.substr(0, dash)));
        const pid_t owner = number <= 0x7fffffff ? static_cast<pid_t>(number) : 0;
        if (owner <= 0 || ::kill(owner, 0) == 0 || errno != ESRCH) {
            continue; // alive, or not ours to judge
        }
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
            continue;
        }
        const int fd = ::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
        ::close(fd);
    }
}

} // namespace

DatabaseError::DatabaseError(std::string message, std::optional<std::string> sql)
    : std::runtime_error(describe(message, sql)), message_(std::move(message)), sql_(std::move(sql)) {}

LocalDatabase::LocalDatabase() : LocalDatabase(fs::path(), std::nullopt, true) {}

LocalDatabase::LocalDatabase(const fs::path& url, std::optional<fs::path> legacyDatabaseURL)
    : LocalDatabase(url, std::move(legacyDatabaseURL), false) {}

LocalDatabase::LocalDatabase(const fs::path& url, std::optional<fs::path> legacyDatabaseURL, bool useDefaults) {
    bool sharedLocation = false;
    if (useDefaults) {
        try {
            databaseURL_ = AppPaths::databaseFile();
        } catch (...) {
            databaseURL_ = "/tmp/qv-state.sqlite3";
            sharedLocation = true;
        }
        legacyDatabaseURL_ = AppPaths::legacyDatabaseFile();
    } else {
        databaseURL_ = url;
        legacyDatabaseURL_ = std::move(legacyDatabaseURL);
    }

    // The database holds the user's file list: create it owner-only, and in
    // the shared temporary folder refuse a link or another user's file.
    if (sharedLocation && !AtomicFile::isSafeToUse(databaseURL_)) {
        throw DatabaseError("Refusing to open \"" + databaseURL_.string() +
                                "\": it is a link or belongs to another user",
                            std::nullopt);
    }
    int created = ::open(databaseURL_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (created >= 0) {
        ::close(created);
    }

    database_ = openDatabase(databaseURL_);
    try {
        configure(database_);
        migrate(database_);
    } catch (...) {
        sqlite3_close(database_);
        database_ = nullptr;
        throw;
    }

    // Where legacy lookups make their copies (see LegacySnapshot).
    std::error_code ignored;
    removeAbandonedLegacyCopies(fs::temp_directory_path(ignored));
    removeAbandonedLegacyCopies(databaseURL_.has_parent_path() ? databaseURL_.parent_path() : fs::path("."));
}

LocalDatabase::~LocalDatabase() {
    legacyCopy_.reset();
    for (auto& [sql, statement] : prepared_) sqlite3_finalize(statement);
    sqlite3_close(database_);
}

sqlite3* LocalDatabase::openDatabase(const fs::path& path) {
    sqlite3* handle = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    int result = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
    if (result != SQLITE_OK) {
        const char* message = handle ? sqlite3_errmsg(handle) : nullptr;
        std::string text = message && *message ? message : kUnknownError;
        sqlite3_close(handle);
        throw DatabaseError(text, std::nullopt);
    }
    return handle;
}

void LocalDatabase::configure(sqlite3* db) {
    // A write-ahead log with syncs only at checkpoints: one file write per
    // row instead of several flushes. A crash or power loss can cost the
    // last few rows (their files are hashed again and found unchanged) but
    // never the file's integrity. A file system that can't hold the log
    // keeps the rollback journal.
    // The log is copied back (and both files flushed) every 8192 pages, some
    // two thousand synced files, rather than every thousand: each copy costs
    // two flushes, which on a busy disk cost more than the rows between them.
    // Once copied back, a log left larger than 8 MiB is cut down to that.
    if (sqlite3_exec(db, "pragma journal_mode = wal;", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "pragma synchronous = normal;", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "pragma wal_autocheckpoint = 8192;", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "pragma journal_size_limit = 8388608;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const char* message = sqlite3_errmsg(db);
        throw DatabaseError(message && *message ? message : kUnknownError, std::nullopt);
    }
}

void LocalDatabase::migrate(sqlite3* db) {
    if (sqlite3_exec(db, schemaSQL, nullptr, nullptr, nullptr) != SQLITE_OK) {
        const char* message = sqlite3_errmsg(db);
        throw DatabaseError(message && *message ? message : kUnknownError, std::nullopt);
    }
}

std::string LocalDatabase::currentErrorMessage() const {
    if (!database_) {
        return kUnknownError;
    }
    const char* message = sqlite3_errmsg(database_);
    return message && *message ? message : kUnknownError;
}

sqlite3_stmt* LocalDatabase::prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        throw DatabaseError(currentErrorMessage(), std::string(sql));
    }
    return statement;
}

// The statement for one of the fixed texts above, prepared at its first use
// and kept for the life of the connection: a sync writes one row per file.
sqlite3_stmt* LocalDatabase::prepared(const char* sql) {
    for (auto& [text, statement] : prepared_) {
        if (text == sql) return statement;
    }
    sqlite3_stmt* statement = prepare(sql);
    prepared_.emplace_back(sql, statement);
    return statement;
}

void LocalDatabase::step(sqlite3_stmt* statement, const char* sql) {
    if (sqlite3_step(statement) != SQLITE_DONE) {
        throw DatabaseError(currentErrorMessage(), std::string(sql));
    }
}

std::string LocalDatabase::string(int column, sqlite3_stmt* statement) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (!text) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

FileStateRow LocalDatabase::makeRow(sqlite3_stmt* statement) {
    FileStateRow row;
    row.path = string(0, statement);
    row.rootPath = string(1, statement);
    row.logicalPath = string(2, statement);
    row.storageKey = string(3, statement);
    row.sha256 = string(4, statement);
    row.bytes = sqlite3_column_int64(statement, 5);
    row.mtimeMilliseconds = sqlite3_column_double(statement, 6);
    return row;
}

std::optional<FileStateRow> LocalDatabase::fileRecord(const std::string& path) {
    std::lock_guard lock(mutex_);
    Use statement(prepared(fileRecordSQL));
    bindText(statement.get(), 1, path);
    int result = sqlite3_step(statement.get());
    if (result == SQLITE_ROW) {
        return makeRow(statement.get());
    }
    if (result != SQLITE_DONE) {
        // A failed read is not "no row": the caller would re-upload the file.
        throw DatabaseError(currentErrorMessage(), std::string(fileRecordSQL));
    }
    return std::nullopt;
}

template <typename Read>
auto LocalDatabase::readAll(sqlite3_stmt* statement, const char* sql, Read read)
    -> std::vector<decltype(read(statement))> {
    std::vector<decltype(read(statement))> result;
    int code;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        result.push_back(read(statement));
    }
    if (code != SQLITE_DONE) {
        // A partial list of rows would turn the missing ones into remote deletes.
        throw DatabaseError(currentErrorMessage(), std::string(sql));
    }
    return result;
}

std::vector<FileStateRow> LocalDatabase::rows(const std::string& rootPath) {
    std::lock_guard lock(mutex_);
    Use statement(prepared(rowsForRootSQL));
    bindText(statement.get(), 1, rootPath);
    return readAll(statement.get(), rowsForRootSQL, makeRow);
}

std::vector<std::string> LocalDatabase::rootPaths() {
    std::lock_guard lock(mutex_);
    Use statement(prepared(rootPathsSQL));
    return readAll(statement.get(), rootPathsSQL, [](sqlite3_stmt* row) { return string(0, row); });
}

std::vector<FileStateRow> LocalDatabase::rowsBelow(const std::string& folder, const std::string& exceptRootPath) {
    std::string below = folder;
    if (below.empty() || below.back() != '/') below.push_back('/');
    std::string after = below;
    after.back() = '0';
    std::lock_guard lock(mutex_);
    Use statement(prepared(rowsBelowSQL));
    bindText(statement.get(), 1, below);
    bindText(statement.get(), 2, after);
    bindText(statement.get(), 3, exceptRootPath);
    return readAll(statement.get(), rowsBelowSQL, makeRow);
}

void LocalDatabase::upsertLocked(const FileStateRow& row) {
    Use statement(prepared(upsertSQL));
    bindText(statement.get(), 1, row.path);
    bindText(statement.get(), 2, row.rootPath);
    bindText(statement.get(), 3, row.logicalPath);
    bindText(statement.get(), 4, row.storageKey);
    bindText(statement.get(), 5, row.sha256);
    sqlite3_bind_int64(statement.get(), 6, row.bytes);
    sqlite3_bind_double(statement.get(), 7, row.mtimeMilliseconds);
    step(statement.get(), upsertSQL);
}

void LocalDatabase::upsert(const FileStateRow& row) {
    std::lock_guard lock(mutex_);
    upsertLocked(row);
}

void LocalDatabase::upsertAll(const std::vector<FileStateRow>& rows) {
    if (rows.empty()) return;
    std::lock_guard lock(mutex_);
    if (rows.size() == 1) return upsertLocked(rows.front());
    Use begin(prepared(beginSQL));
    step(begin.get(), beginSQL);
    try {
        for (const auto& row : rows) upsertLocked(row);
        Use commit(prepared(commitSQL));
        step(commit.get(), commitSQL);
    } catch (...) {
        // Nothing of the batch stays: the rows are as they were before it.
        sqlite3_exec(database_, "rollback;", nullptr, nullptr, nullptr);
        throw;
    }
}

void LocalDatabase::remove(const std::string& path) {
    std::lock_guard lock(mutex_);
    Use statement(prepared(deleteSQL));
    bindText(statement.get(), 1, path);
    step(statement.get(), deleteSQL);
}

void LocalDatabase::setPreferenceLocked(const std::string& value, const std::string& key) {
    Use statement(prepared(setPreferenceSQL));
    bindText(statement.get(), 1, key);
    bindText(statement.get(), 2, value);
    step(statement.get(), setPreferenceSQL);
}

void LocalDatabase::setPreference(const std::string& value, const std::string& key) {
    std::lock_guard lock(mutex_);
    setPreferenceLocked(value, key);
}

std::optional<std::string> LocalDatabase::preference(const std::string& key) {
    std::lock_guard lock(mutex_);
    Use statement(prepared(preferenceSQL));
    bindText(statement.get(), 1, key);
    int result = sqlite3_step(statement.get());
    if (result == SQLITE_ROW) {
        return string(0, statement.get());
    }
    if (result != SQLITE_DONE) {
        throw DatabaseError(currentErrorMessage(), std::string(preferenceSQL));
    }
    auto legacy = legacyPreference(key);
    if (legacy) {
        setPreferenceLocked(*legacy, key);
    }
    return legacy;
}

namespace {

// A private copy of the earlier installation's database, made to be read
// without touching the original: SQLite opens a database in WAL mode with
// its "-wal" and "-shm" files beside it, and rolls back a hot journal in
// place, even on a read-only connection. The copy takes the log and the
// journal along, so rows committed to a log that was never checkpointed are
// read too. Removed with its folder when the object goes; a folder that a
// killed process left is known by its name and its free lock, and removed
// by the next store that starts.
class LegacySnapshot {
public:
    // Made in the temporary folder, or else in `fallbackFolder`.
    LegacySnapshot(const fs::path& original, const fs::path& fallbackFolder) {
        std::error_code ignored;
        const std::string name = std::string(kLegacyCopyPrefix) + std::to_string(::getpid()) + "-XXXXXX";
        for (const fs::path& parent : {fs::temp_directory_path(ignored), fallbackFolder}) {
            std::string pattern = (parent / name).string();
            if (!parent.empty() && ::mkdtemp(pattern.data()) != nullptr) {
                folder_ = pattern;
                break;
            }
        }
        if (folder_.empty()) {
            fail(original, errno != 0 ? errno : EACCES);
        }
        // Held while the copy lives: tells a live copy from an abandoned one.
        lock_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (lock_ < 0 || ::flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            cleanUpAndFail(original, errno);
        }
        path_ = folder_ / "state.db";
        copy(original, path_, true);
        for (const char* suffix : {"-wal", "-journal"}) {
            copy(fs::path(original.string() + suffix), fs::path(path_.string() + suffix), false);
        }
    }
    ~LegacySnapshot() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        ::close(lock_);
    }
    LegacySnapshot(const LegacySnapshot&) = delete;
    LegacySnapshot& operator=(const LegacySnapshot&) = delete;

    const fs::path& path() const { return path_; }

private:
    [[noreturn]] static void fail(const fs::path& original, int error) {
        throw DatabaseError("Could not read the earlier installation's database \"" + original.string() +
                                "\": " + std::strerror(error),
                            std::nullopt);
    }

    // Copies `from` byte for byte; a missing optional file is skipped.
    void copy(const fs::path& from, const fs::path& to, bool required) {
        // Not blocking on a pipe put in the file's place; only a regular file
        // is copied.
        int source = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat info {};
        if (source >= 0 && (::fstat(source, &info) != 0 || !S_ISREG(info.st_mode))) {
            ::close(source);
            source = -1;
            errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        }
        if (source < 0) {
            int error = errno;
            if (!required && error == ENOENT) {
                return;
            }
            cleanUpAndFail(from, error);
        }
        int target = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        int error = target < 0 ? errno : 0;
        char buffer[1 << 16];
        while (error == 0) {
            ssize_t count = ::read(source, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                error = count < 0 ? errno : 0;
                break;
            }
            for (ssize_t written = 0; written < count && error == 0;) {
                ssize_t step = ::write(target, buffer + written, static_cast<size_t>(count - written));
                if (step < 0 && errno != EINTR) {
                    error = errno;
                } else if (step > 0) {
                    written += step;
                }
            }
        }
        ::close(source);
        if (target >= 0) {
            ::close(target);
        }
        if (error != 0) {
            cleanUpAndFail(from, error);
        }
    }

    [[noreturn]] void cleanUpAndFail(const fs::path& original, int error) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        if (lock_ >= 0) {
            ::close(lock_);
        }
        fail(original, error);
    }

    fs::path folder_;
    int lock_ = -1;
    fs::path path_;
};

} // namespace

struct LocalDatabase::LegacyCopy {
    LegacyCopy(const fs::path& original, const fs::path& fallbackFolder)
        : snapshot(original, fallbackFolder), handle(openDatabase(snapshot.path())) {}
    ~LegacyCopy() { sqlite3_close(handle); }
    LegacySnapshot snapshot;
    sqlite3* handle;
};

std::optional<std::string> LocalDatabase::legacyPreference(const std::string& key) {
    if (!legacyDatabaseURL_) {
        return std::nullopt;
    }
    if (!legacyCopy_) {
        std::error_code error;
        if (!fs::exists(*legacyDatabaseURL_, error)) {
            return std::nullopt;
        }
        // The earlier installation's folder is left exactly as it is: lookups
        // read a private copy, made once.
        fs::path ownFolder = databaseURL_.parent_path();
        legacyCopy_ = std::make_unique<LegacyCopy>(*legacyDatabaseURL_, ownFolder.empty() ? fs::path(".") : ownFolder);
    }
    sqlite3* legacy = legacyCopy_->handle;
    Statement statement;
    if (sqlite3_prepare_v2(legacy, preferenceSQL, -1, statement.out(), nullptr) != SQLITE_OK) {
        return std::nullopt; // not a database, or no preferences table
    }
    bindText(statement.get(), 1, key);
    int result = sqlite3_step(statement.get());
    if (result == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement.get(), 0);
        if (!text) {
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(text),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 0)));
    }
    if (result != SQLITE_DONE) {
        const char* message = sqlite3_errmsg(legacy);
        throw DatabaseError(message && *message ? message : kUnknownError, std::string(preferenceSQL));
    }
    return std::nullopt;
}

} // namespace tarnwell
