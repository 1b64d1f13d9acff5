// The PostgreSQL engine of the history (libpq).
#include <dlfcn.h>
#include <libpq-fe.h>

#include <charconv>
#include <memory>
#include <string>
#include <type_traits>

#include "base/EvenorError.h"
#include "history/SqlSession.h"

namespace evenor {

namespace {

// libpq is loaded when the first PostgreSQL database is opened, not when the
// program starts: it pulls in some twenty libraries (TLS, Kerberos, LDAP)
// that a run without a shared database should not pay for.
struct LibPq {
    decltype(&::PQclear) PQclear = nullptr;
    decltype(&::PQconnectdb) PQconnectdb = nullptr;
    decltype(&::PQconsumeInput) PQconsumeInput = nullptr;
    decltype(&::PQerrorMessage) PQerrorMessage = nullptr;
    decltype(&::PQexec) PQexec = nullptr;
    decltype(&::PQexecParams) PQexecParams = nullptr;
    decltype(&::PQfinish) PQfinish = nullptr;
    decltype(&::PQfreemem) PQfreemem = nullptr;
    decltype(&::PQftype) PQftype = nullptr;
    decltype(&::PQgetisnull) PQgetisnull = nullptr;
    decltype(&::PQgetlength) PQgetlength = nullptr;
    decltype(&::PQgetvalue) PQgetvalue = nullptr;
    decltype(&::PQnfields) PQnfields = nullptr;
    decltype(&::PQntuples) PQntuples = nullptr;
    decltype(&::PQresultErrorMessage) PQresultErrorMessage = nullptr;
    decltype(&::PQreset) PQreset = nullptr;
    decltype(&::PQresultStatus) PQresultStatus = nullptr;
    decltype(&::PQsetNoticeProcessor) PQsetNoticeProcessor = nullptr;
    decltype(&::PQstatus) PQstatus = nullptr;
    decltype(&::PQtransactionStatus) PQtransactionStatus = nullptr;
    decltype(&::PQunescapeBytea) PQunescapeBytea = nullptr;
};

const LibPq& LoadLibPq()
{
    static const LibPq functions = [] {
        LibPq pq;
        void* library = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* reason = dlerror();
            throw EvenorError("cannot load the PostgreSQL client library (libpq.so.5, Debian package libpq5)" +
                              std::string(reason ? ": " + std::string(reason) : std::string()));
        }
        const auto find = [library](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
            if (function == nullptr) throw EvenorError(std::string("the PostgreSQL client library has no ") + name);
        };
        find(pq.PQclear, "PQclear");
        find(pq.PQconnectdb, "PQconnectdb");
        find(pq.PQconsumeInput, "PQconsumeInput");
        find(pq.PQerrorMessage, "PQerrorMessage");
        find(pq.PQexec, "PQexec");
        find(pq.PQexecParams, "PQexecParams");
        find(pq.PQfinish, "PQfinish");
        find(pq.PQfreemem, "PQfreemem");
        find(pq.PQftype, "PQftype");
        find(pq.PQgetisnull, "PQgetisnull");
        find(pq.PQgetlength, "PQgetlength");
        find(pq.PQgetvalue, "PQgetvalue");
        find(pq.PQnfields, "PQnfields");
        find(pq.PQntuples, "PQntuples");
        find(pq.PQresultErrorMessage, "PQresultErrorMessage");
        find(pq.PQreset, "PQreset");
        find(pq.PQresultStatus, "PQresultStatus");
        find(pq.PQsetNoticeProcessor, "PQsetNoticeProcessor");
        find(pq.PQstatus, "PQstatus");
        find(pq.PQtransactionStatus, "PQtransactionStatus");
        find(pq.PQunescapeBytea, "PQunescapeBytea");
        return pq;
    }();
    return functions;
}

// Type OIDs of the columns the history uses (pg_type.h, stable since 7.x).
constexpr Oid kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701,
              kNumeric = 1700;

std::string Trimmed(const char* message)
{
    std::string text = message ? message : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// "?" placeholders to "$1", "$2", ... (outside quoted literals).
std::string Numbered(std::string_view sql)
{
    std::string out;
    out.reserve(sql.size() + 16);
    int next = 1;
    bool quoted = false;
    for (const char c : sql) {
        if (c == '\'') quoted = !quoted;
        if (c == '?' && !quoted)
            out += '$' + std::to_string(next++);
        else
            out += c;
    }
    return out;
}

class PostgresSession final : public SqlSession {
public:
    explicit PostgresSession(const std::string& uri)
        : connection_(LoadLibPq().PQconnectdb(uri.c_str()), LoadLibPq().PQfinish)
    {
        if (!connection_) throw EvenorError("out of memory");
        if (LoadLibPq().PQstatus(connection_.get()) != CONNECTION_OK)
            throw EvenorError(Trimmed(LoadLibPq().PQerrorMessage(connection_.get())));
        // Notices ("relation already exists, skipping") are not for the user.
        LoadLibPq().PQsetNoticeProcessor(
            connection_.get(), [](void*, const char*) {}, nullptr);
        Run("SET client_min_messages = warning", {});
    }

    SqlEngine Engine() const override { return SqlEngine::Postgres; }

    std::vector<SqlRow> Run(std::string_view sql, std::span<const SqlValue> params) override
    {
        Reconnect();
        const std::string text = Numbered(sql);
        std::vector<Oid> types(params.size(), 0);
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        std::vector<int> lengths(params.size(), 0);
        std::vector<int> formats(params.size(), 0);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const SqlValue& value = params[i];
            if (const auto* n = std::get_if<std::int64_t>(&value)) {
                types[i] = kInt8;
                texts[i] = std::to_string(*n);
                values[i] = texts[i].c_str();
            } else if (const auto* d = std::get_if<double>(&value)) {
                types[i] = kFloat8;
                // Shortest text that reads back to the same double, "." whatever the locale.
                char buffer[32];
                const auto end = std::to_chars(buffer, buffer + sizeof buffer, *d).ptr;
                texts[i].assign(buffer, end);
                values[i] = texts[i].c_str();
            } else if (const auto* bytes = std::get_if<std::string>(&value)) {
                // Binary format: the bytes as they are, any byte allowed.
                types[i] = kBytea;
                values[i] = bytes->data();
                lengths[i] = static_cast<int>(bytes->size());
                formats[i] = 1;
            }
        }
        std::unique_ptr<PGresult, decltype(&PQclear)> result(
            LoadLibPq().PQexecParams(connection_.get(), text.c_str(), static_cast<int>(params.size()), types.data(),
                                     values.data(), lengths.data(), formats.data(), 0),
            LoadLibPq().PQclear);
        const ExecStatusType status = result ? LoadLibPq().PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw EvenorError(Trimmed(result ? LoadLibPq().PQresultErrorMessage(result.get())
                                             : LoadLibPq().PQerrorMessage(connection_.get())));
        std::vector<SqlRow> rows;
        const int count = LoadLibPq().PQntuples(result.get());
        const int columns = LoadLibPq().PQnfields(result.get());
        rows.reserve(static_cast<std::size_t>(count));
        for (int r = 0; r < count; ++r) {
            SqlRow row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) row.push_back(Value(result.get(), r, c));
            rows.push_back(std::move(row));
        }
        return rows;
    }

    void Begin() override
    {
        inTransaction_ = false;  // whatever came before has ended
        Run("BEGIN", {});
        inTransaction_ = true;
    }
    // Never on a new connection: a COMMIT there would say success for a
    // transaction that was lost with the old one.
    void Commit() override
    {
        struct Ended {
            bool& flag;
            ~Ended() { flag = false; }
        } ended{inTransaction_};
        Run("COMMIT", {});
    }
    void Rollback() noexcept override
    {
        inTransaction_ = false;
        if (LoadLibPq().PQtransactionStatus(connection_.get()) == PQTRANS_IDLE) return;
        LoadLibPq().PQclear(LoadLibPq().PQexec(connection_.get(), "ROLLBACK"));
    }

private:
    // A long-running program (serve, watch) outlives a restart of the server:
    // a connection the server has closed is opened again before the next
    // statement, so that the first statement after an outage does not fail
    // for nothing. Only between transactions: within one, the statements
    // before are lost with the connection, and the failure is the caller's
    // to see. Throws EvenorError when the server cannot be reached.
    void Reconnect()
    {
        if (inTransaction_) return;
        PGconn* connection = connection_.get();
        // An idle connection learns of its end only by reading: the server's
        // goodbye ("terminating connection due to administrator command"),
        // then the end of the stream. Reading what is there never blocks.
        for (int look = 0; look < 2 && LoadLibPq().PQstatus(connection) == CONNECTION_OK; ++look)
            LoadLibPq().PQconsumeInput(connection);
        if (LoadLibPq().PQstatus(connection) == CONNECTION_OK) return;
        LoadLibPq().PQreset(connection);
        if (LoadLibPq().PQstatus(connection) != CONNECTION_OK) {
            // On one line: a long-running program logs it as one event.
            std::string text = Trimmed(LoadLibPq().PQerrorMessage(connection));
            for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
                const auto end = text.find_first_not_of(" \t", at + 1);
                text.replace(at, (end == std::string::npos ? text.size() : end) - at, "; ");
            }
            throw EvenorError(text);
        }
        // The new connection's settings, as the first one had them.
        Run("SET client_min_messages = warning", {});
    }

    static SqlValue Value(const PGresult* result, int r, int c)
    {
        if (LoadLibPq().PQgetisnull(result, r, c)) return std::monostate{};
        const char* text = LoadLibPq().PQgetvalue(result, r, c);
        switch (LoadLibPq().PQftype(result, c)) {
        case kInt2:
        case kInt4:
        case kInt8:
            return static_cast<std::int64_t>(std::stoll(text));
        case kFloat4:
        case kFloat8:
        case kNumeric: {
            // Not strtod: the program may run under a comma-decimal locale.
            double value = 0.0;
            const char* end = text + LoadLibPq().PQgetlength(result, r, c);
            if (std::from_chars(text, end, value).ec != std::errc()) throw EvenorError("unreadable number from server");
            return value;
        }
        case kBool:
            return static_cast<std::int64_t>(text[0] == 't');
        case kBytea: {
            std::size_t length = 0;
            unsigned char* bytes = LoadLibPq().PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &length);
            if (!bytes) throw EvenorError("out of memory");
            std::string value(reinterpret_cast<const char*>(bytes), length);
            LoadLibPq().PQfreemem(bytes);
            return value;
        }
        default:
            return std::string(text, static_cast<std::size_t>(LoadLibPq().PQgetlength(result, r, c)));
        }
    }

    std::unique_ptr<PGconn, decltype(LoadLibPq().PQfinish)> connection_;
    bool inTransaction_ = false;  // between Begin and Commit or Rollback
};

}  // namespace

std::unique_ptr<SqlSession> OpenPostgresSession(const std::string& uri)
{
    return std::make_unique<PostgresSession>(uri);
}

}  // namespace evenor
