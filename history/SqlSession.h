#pragma once
// The history's two database engines behind one small interface: a
// connection that runs SQL with bound parameters. The engines are the plain
// client libraries Debian keeps, sqlite3 (the default: one file, no server)
// and libpq (PostgreSQL, for a department that shares one database); see
// history/README.md for why not a wrapper library.
//
// Statements are written once, with "?" placeholders; the PostgreSQL engine
// numbers them. Every value reaches the engine as a bound parameter, never
// as SQL text. Texts are bytes: they are bound and stored as BLOB (SQLite)
// or BYTEA (PostgreSQL), so that a tag value with quotes, NUL bytes or
// invalid UTF-8 comes back exactly as it went in.
//
// Failure contract: every call throws EvenorError with the engine's own
// message (without the database's name; HistoryStore adds it).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace evenor {

// NULL, an integer, a real, or bytes.
using SqlValue = std::variant<std::monostate, std::int64_t, double, std::string>;
using SqlRow = std::vector<SqlValue>;

enum class SqlEngine : std::uint8_t { Sqlite, Postgres };

// A session is used by one thread at a time.
class SqlSession {
public:
    virtual ~SqlSession() = default;
    virtual SqlEngine Engine() const = 0;
    // Runs one statement and returns the rows it yields (none for most).
    virtual std::vector<SqlRow> Run(std::string_view sql, std::span<const SqlValue> params = {}) = 0;
    // Runs one statement and hands its rows to each, one at a time, without
    // keeping them: the same row object may come back refilled, so each copies
    // what it keeps. each may run other statements, not this one.
    virtual void ForEach(std::string_view sql, std::span<const SqlValue> params,
                         const std::function<void(const SqlRow&)>& each)
    {
        for (const SqlRow& row : Run(sql, params)) each(row);
    }
    // A write transaction. SQLite takes the write lock at Begin (waiting up to
    // the busy timeout), so two writers never deadlock half-way.
    virtual void Begin() = 0;
    virtual void Commit() = 0;
    // Never throws; a transaction that is not open is left alone.
    virtual void Rollback() noexcept = 0;
};

struct SqliteOptions {
    int BusyTimeoutMs = 10000;  // how long a write waits for another writer
    bool Create = true;         // create the file when missing
    // Largest size in pages (0: SQLite's default). Tests use it to make the
    // database "full" without filling a disk.
    std::int64_t MaxPageCount = 0;
};

// path: a file name, or an SQLite URI starting with "file:". The file gets
// write-ahead logging, so readers never wait for a writer.
std::unique_ptr<SqlSession> OpenSqliteSession(const std::string& path, const SqliteOptions& options = {});

// uri: a libpq connection string ("postgresql://user@host/db"); what it leaves
// out comes from PGHOST, PGPORT, PGUSER, PGPASSWORD and PGDATABASE.
std::unique_ptr<SqlSession> OpenPostgresSession(const std::string& uri);

// Accessors that accept the types either engine returns for a column.
bool IsNull(const SqlValue& value);
std::int64_t AsInt(const SqlValue& value);  // 0 for NULL
double AsReal(const SqlValue& value);       // 0 for NULL
std::optional<double> AsOptionalReal(const SqlValue& value);
std::string AsText(const SqlValue& value);  // empty for NULL

}  // namespace evenor
