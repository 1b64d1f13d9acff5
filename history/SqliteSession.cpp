// The SQLite engine of the history (libsqlite3).
#include <sqlite3.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>

#include <map>
#include <string>

#include "base/EvenorError.h"
#include "history/SqlSession.h"

namespace evenor {

namespace {

class SqliteSession final : public SqlSession {
public:
    SqliteSession(const std::string& path, const SqliteOptions& options)
    {
        // A session is used by one thread at a time (its statement cache is
        // not shared either), so SQLite need not lock at every call.
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
        if (options.Create) flags |= SQLITE_OPEN_CREATE;
        const int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        if (code != SQLITE_OK) {
            const std::string message = db_ ? Explained(code, sqlite3_errmsg(db_)) : sqlite3_errstr(code);
            sqlite3_close(db_);
            db_ = nullptr;
            throw EvenorError(message);
        }
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, options.BusyTimeoutMs);
        busyTimeoutMs_ = options.BusyTimeoutMs;
        // The first read of the file: a file that is not a database fails here.
        Run("PRAGMA foreign_keys = ON", {});
        // A file this user may only read is opened read-only by SQLite: it
        // can still be listed, in the journal mode it has.
        const bool readOnly = sqlite3_db_readonly(db_, "main") == 1;
        const auto mode = Run(readOnly ? "PRAGMA journal_mode" : "PRAGMA journal_mode = WAL", {});
        if (readOnly) return;
        if (mode.empty() || AsText(mode.front().front()) != "wal")
            throw EvenorError("cannot switch to write-ahead logging (journal mode " +
                              (mode.empty() ? std::string("unknown") : AsText(mode.front().front())) + ")");
        // In WAL mode FULL syncs the log at every commit: a recorded test
        // survives a power cut, not only a crash of the program.
        Run("PRAGMA synchronous = FULL", {});
        // Reads of a long history go through memory mapping rather than one
        // system call per page (a detector's 10,000 records are tens of MB).
        Run("PRAGMA mmap_size = 268435456", {});
        Run("PRAGMA cache_size = -32768", {});
        if (options.MaxPageCount > 0) Run("PRAGMA max_page_count = " + std::to_string(options.MaxPageCount), {});
    }

    ~SqliteSession() override
    {
        for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
        sqlite3_close(db_);
    }

    SqlEngine Engine() const override { return SqlEngine::Sqlite; }

    std::vector<SqlRow> Run(std::string_view sql, std::span<const SqlValue> params) override
    {
        std::vector<SqlRow> rows;
        ForEach(sql, params, [&](const SqlRow& row) { rows.push_back(row); });
        return rows;
    }

    void ForEach(std::string_view sql, std::span<const SqlValue> params,
                 const std::function<void(const SqlRow&)>& each) override
    {
        sqlite3_stmt* statement = Prepare(sql);
        // Reset on every exit, so the statement holds no lock afterwards.
        struct Reset {
            sqlite3_stmt* s;
            ~Reset()
            {
                sqlite3_reset(s);
                sqlite3_clear_bindings(s);
            }
        } reset{statement};
        for (std::size_t i = 0; i < params.size(); ++i) Bind(statement, static_cast<int>(i + 1), params[i]);
        // One row, refilled: its texts keep their buffers from row to row.
        SqlRow row(static_cast<std::size_t>(sqlite3_column_count(statement)));
        for (;;) {
            const int code = sqlite3_step(statement);
            if (code == SQLITE_DONE) return;
            if (code != SQLITE_ROW) Fail();
            for (std::size_t c = 0; c < row.size(); ++c) Column(statement, static_cast<int>(c), row[c]);
            each(row);
        }
    }

    void Begin() override { Run("BEGIN IMMEDIATE", {}); }
    void Commit() override { Run("COMMIT", {}); }
    void Rollback() noexcept override
    {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

private:
    [[noreturn]] void Fail() { throw EvenorError(Explained(sqlite3_extended_errcode(db_), sqlite3_errmsg(db_))); }

    // SQLite's message, with what the user needs to know about the two
    // failures it names too briefly.
    std::string Explained(int code, const std::string& message) const
    {
        if ((code & 0xff) == SQLITE_BUSY) {
            char seconds[32];
            const auto end = std::to_chars(seconds, seconds + sizeof seconds, busyTimeoutMs_ / 1000.0).ptr;
            return message + " (waited " + std::string(seconds, end) +
                   " s for it: another Evenor, or another program, is writing to it; try again when it has "
                   "finished)";
        }
        // A database the user may write, in a folder the user may not: the
        // journal files of write-ahead logging cannot be made beside it.
        if ((code & 0xff) == SQLITE_READONLY || (code & 0xff) == SQLITE_CANTOPEN) {
            const char* file = db_ ? sqlite3_db_filename(db_, "main") : nullptr;
            if (file != nullptr && *file != '\0') {
                const std::string folder = std::filesystem::path(file).parent_path().string();
                if (::access(file, W_OK) == 0 && ::access(folder.c_str(), W_OK) != 0)
                    return message + " (SQLite needs to create its journal files beside the database, in the folder " +
                           folder + ", and this user may not write there)";
            }
        }
        return message;
    }

    sqlite3_stmt* Prepare(std::string_view sql)
    {
        const std::string key(sql);
        if (const auto found = statements_.find(key); found != statements_.end()) return found->second;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, key.c_str(), static_cast<int>(key.size()), &statement, nullptr) != SQLITE_OK)
            Fail();
        statements_.emplace(key, statement);
        return statement;
    }

    void Bind(sqlite3_stmt* statement, int index, const SqlValue& value)
    {
        int code = SQLITE_OK;
        if (std::holds_alternative<std::monostate>(value))
            code = sqlite3_bind_null(statement, index);
        else if (const auto* i = std::get_if<std::int64_t>(&value))
            code = sqlite3_bind_int64(statement, index, *i);
        else if (const auto* d = std::get_if<double>(&value))
            code = sqlite3_bind_double(statement, index, *d);
        else {
            const auto& bytes = std::get<std::string>(value);
            code = sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
        }
        if (code != SQLITE_OK) Fail();
    }

    static void Column(sqlite3_stmt* statement, int c, SqlValue& value)
    {
        const int type = sqlite3_column_type(statement, c);
        switch (type) {
        case SQLITE_INTEGER:
            value = static_cast<std::int64_t>(sqlite3_column_int64(statement, c));
            return;
        case SQLITE_FLOAT:
            value = sqlite3_column_double(statement, c);
            return;
        case SQLITE_NULL:
            value = std::monostate{};
            return;
        default: {
            // TEXT or BLOB: the bytes as they are.
            const bool text = type == SQLITE_TEXT;
            const auto* bytes = text ? reinterpret_cast<const char*>(sqlite3_column_text(statement, c))
                                     : static_cast<const char*>(sqlite3_column_blob(statement, c));
            const auto size = bytes ? static_cast<std::size_t>(sqlite3_column_bytes(statement, c)) : 0;
            if (auto* kept = std::get_if<std::string>(&value))
                kept->assign(bytes ? bytes : "", size);
            else
                value.emplace<std::string>(bytes ? bytes : "", size);
        }
        }
    }

    sqlite3* db_ = nullptr;
    int busyTimeoutMs_ = 0;
    std::map<std::string, sqlite3_stmt*, std::less<>> statements_;
};

}  // namespace

std::unique_ptr<SqlSession> OpenSqliteSession(const std::string& path, const SqliteOptions& options)
{
    return std::make_unique<SqliteSession>(path, options);
}

bool IsNull(const SqlValue& value) { return std::holds_alternative<std::monostate>(value); }

std::int64_t AsInt(const SqlValue& value)
{
    if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
    if (const auto* d = std::get_if<double>(&value)) return static_cast<std::int64_t>(*d);
    if (const auto* s = std::get_if<std::string>(&value)) return std::stoll(*s);
    return 0;
}

double AsReal(const SqlValue& value) { return AsOptionalReal(value).value_or(0.0); }

std::optional<double> AsOptionalReal(const SqlValue& value)
{
    if (const auto* d = std::get_if<double>(&value)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return static_cast<double>(*i);
    return std::nullopt;
}

std::string AsText(const SqlValue& value)
{
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
    return {};
}

}  // namespace evenor
