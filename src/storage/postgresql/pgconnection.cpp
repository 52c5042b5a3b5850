// The PostgreSQL backend in one file, over 600 lines on purpose: the connection, its
// statements (rows streamed in single-row mode) and COPY share the one libpq connection's
// state (a result still streaming, statements waiting to be deallocated, the transaction),
// and kept together that state stays private to this file instead of a header.

#include "storage/postgresql/pgconnection.h"

#include "storage/sqltext.h"
#include "storage/statementcache.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <deque>

namespace fiscal::storage::postgresql {
namespace {

struct ResultDeleter {
    void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

Error::Kind kindOfState(std::string_view state)
{
    if (state.size() != 5)
        return Error::Kind::Other;
    if (state == "40001" || state == "40P01")
        return Error::Kind::Busy;
    if (state == "55P03")   // lock_timeout
        return Error::Kind::Locked;
    if (state == "57014")   // statement_timeout
        return Error::Kind::Timeout;
    if (state == "53100")
        return Error::Kind::Full;
    if (state == "25006")
        return Error::Kind::ReadOnly;
    const std::string_view cls = state.substr(0, 2);
    if (cls == "23" || cls == "22")
        return Error::Kind::Constraint;
    if (cls == "08" || state == "57P01" || state == "57P02" || state == "57P03")
        return Error::Kind::Connection;
    if (cls == "42")
        return Error::Kind::Syntax;
    return Error::Kind::Other;
}

std::string trimmed(const char *text)
{
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

class PgStatement;

// A server-side prepared statement of the connection.
struct Prepared {
    std::string name;
    int params = 0;
};

class PgConnection final : public Connection {
public:
    explicit PgConnection(PGconn *conn) : m_conn(conn) {}
    // The server frees the session's prepared statements with the session.
    ~PgConnection() override { PQfinish(m_conn); }

    Backend backend() const override { return Backend::Postgres; }
    std::unique_ptr<Statement> prepare(std::string_view sql) override;
    std::unique_ptr<Statement> prepareCached(std::string_view sql) override;
    StatementCacheStats statementCacheStats() const override
    {
        return {m_cache.size(), m_cachePrepared, m_cacheReused};
    }
    // Takes back a cached statement whose user is done with it.
    void checkIn(std::string key, Prepared prepared);
    void exec(std::string_view sql) override;
    void setLimits(const Limits &limits) override;
    void begin() override;
    void commit() override;
    void rollback() override;
    bool inTransaction() const override;
    // A standby, or a database read-only by default: the server reports both at the start
    // and whenever they change, so no round trip.
    bool readOnly() const override
    {
        const auto on = [this](const char *name) {
            const char *value = PQparameterStatus(m_conn, name);
            return value && std::strcmp(value, "on") == 0;
        };
        return on("in_hot_standby") || on("default_transaction_read_only");
    }
    bool lostWhileIdle() override
    {
        // An idle session hears nothing from the server unless it is being ended: then its
        // last error and the end of the stream are there to read, without waiting.
        for (int i = 0; i < 4 && PQstatus(m_conn) != CONNECTION_BAD; ++i) {
            pollfd p{PQsocket(m_conn), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || PQconsumeInput(m_conn) == 0)
                break;
        }
        return PQstatus(m_conn) == CONNECTION_BAD;
    }
    std::unique_ptr<BulkInsert> bulkInsert(std::string_view table,
                                           const std::vector<std::string> &columns) override;

    PGconn *conn() const { return m_conn; }
    int socket() const override { return PQsocket(m_conn); }

    // Makes the wire free for a new command: a statement still streaming rows reads the
    // rest of them into its own buffer first.
    void settle();
    // Drops the rows of the streaming statement without keeping them.
    void abandonStream();
    void setStreaming(PgStatement *s) { m_streaming = s; }
    PgStatement *streaming() const { return m_streaming; }
    void setCopying(bool copying) { m_copying = copying; }

    std::string nextStatementName() { return "fiscal_s" + std::to_string(++m_statementCount); }
    void deallocate(const std::string &name);

    // Throws the error held by `r` (or the connection's, when r is null).
    [[noreturn]] void fail(const PGresult *r, const std::string &context);
    // Checks that `r` has one of the two accepted statuses.
    Result check(Result r, const std::string &context, ExecStatusType ok1,
                 ExecStatusType ok2 = PGRES_COMMAND_OK);
    Result run(const std::string &sql, const std::string &context);

private:
    void flushDeallocations();
    Prepared prepareNamed(std::string_view sql);

    PGconn *m_conn;
    detail::StatementCache<Prepared> m_cache{kStatementCacheCapacity};
    std::uint64_t m_cachePrepared = 0;
    std::uint64_t m_cacheReused = 0;
    PgStatement *m_streaming = nullptr;
    bool m_copying = false;
    int m_statementCount = 0;
    std::vector<std::string> m_pendingDeallocations;
    bool m_inTransactionAtSend = false;
    // The session's statement and lock time-outs as last set; -1: not yet.
    long long m_statementLimit = -1;
    long long m_lockLimit = -1;
    bool m_doomRecorded = false;
    Error::Kind m_doomKind = Error::Kind::Other;
    std::string m_doomReason;
};

class PgStatement final : public Statement {
public:
    // A statement with a cache key goes back to its connection's cache when destroyed.
    PgStatement(PgConnection &owner, Prepared prepared, std::string cacheKey = {})
        : m_owner(owner), m_name(std::move(prepared.name)),
          m_params(static_cast<std::size_t>(prepared.params)), m_cacheKey(std::move(cacheKey)) {}
    ~PgStatement() override
    {
        try {
            dropResults();
            if (m_cacheKey.empty() || m_failed)
                m_owner.deallocate(m_name);
            else
                m_owner.checkIn(std::move(m_cacheKey), {std::move(m_name), static_cast<int>(m_params.size())});
        } catch (...) {
        }
    }

    void bind(int index, std::optional<std::string_view> text) override
    {
        checkIndex(index);
        if (text)
            detail::refuseNul(*text, index);
        resetIfRun();
        if (text)
            m_params[static_cast<std::size_t>(index - 1)] = std::string(*text);
        else
            m_params[static_cast<std::size_t>(index - 1)].reset();
    }
    void bindInt(int index, std::int64_t value) override { bind(index, std::to_string(value)); }

    bool step() override;
    std::int64_t execute() override;
    int columnCount() const override { return PQnfields(shape()); }
    std::string columnName(int column) const override
    {
        const PGresult *r = shape();
        if (column < 0 || column >= PQnfields(r))
            throw Error(Error::Kind::Other, "column " + std::to_string(column) + " out of range");
        return detail::upperAscii(PQfname(r, column));
    }
    bool isNull(int column) const override
    {
        checkRow(column);
        return PQgetisnull(m_row.get(), 0, column) != 0;
    }
    std::string_view text(int column) const override
    {
        checkRow(column);
        return {PQgetvalue(m_row.get(), 0, column),
                static_cast<std::size_t>(PQgetlength(m_row.get(), 0, column))};
    }
    void reset() override
    {
        dropResults();
        m_state = State::Fresh;
    }

    void start() override;
    bool arrived() override;

    // Called by the connection before another command goes out.
    void bufferRest();
    // Called on rollback: the remaining rows are read and thrown away.
    void abandon();

private:
    enum class State { Fresh, Streaming, Buffered, Done, Abandoned };

    void checkIndex(int index) const
    {
        if (index < 1 || index > static_cast<int>(m_params.size()))
            throw Error(Error::Kind::Other, "parameter $" + std::to_string(index) + " does not exist in the statement");
    }
    void checkRow(int column) const
    {
        if (!m_row)
            throw Error(Error::Kind::Other, "no current row");
        if (column < 0 || column >= PQnfields(m_row.get()))
            throw Error(Error::Kind::Other, "column " + std::to_string(column) + " out of range");
    }
    void resetIfRun()
    {
        if (m_state != State::Fresh)
            reset();
    }
    const PGresult *shape() const;
    bool advance();
    std::int64_t run();
    void send();
    bool take(Result r);
    void dropResults();
    std::vector<const char *> values() const;

    PgConnection &m_owner;
    std::string m_name;
    std::vector<std::optional<std::string>> m_params;
    std::string m_cacheKey;
    bool m_failed = false;
    State m_state = State::Fresh;
    Result m_row;                       // current row (single-row result)
    std::deque<Result> m_buffer;        // rows read ahead when the wire was needed
    Result m_pendingError;              // failure met while buffering, thrown when reached
    mutable Result m_description;       // column names before the first row
};

// ---- PgStatement -----------------------------------------------------------------

std::vector<const char *> PgStatement::values() const
{
    std::vector<const char *> v;
    v.reserve(m_params.size());
    for (const auto &p : m_params)
        v.push_back(p ? p->c_str() : nullptr);
    return v;
}

const PGresult *PgStatement::shape() const
{
    if (m_row)
        return m_row.get();
    if (!m_description) {
        m_owner.settle();
        m_description = m_owner.check(Result(PQdescribePrepared(m_owner.conn(), m_name.c_str())),
                                      "describing statement", PGRES_COMMAND_OK);
    }
    return m_description.get();
}

void PgStatement::send()
{
    m_owner.settle();
    const auto v = values();
    if (!PQsendQueryPrepared(m_owner.conn(), m_name.c_str(), static_cast<int>(v.size()), v.data(),
                             nullptr, nullptr, 0))
        m_owner.fail(nullptr, "sending statement");
    PQsetSingleRowMode(m_owner.conn());
    m_owner.setStreaming(this);
    m_state = State::Streaming;
}

void PgStatement::dropResults()
{
    if (m_owner.streaming() == this)
        abandon();
    m_row.reset();
    m_buffer.clear();
    m_pendingError.reset();
}

// Takes one result off the stream; true when it is a row.
bool PgStatement::take(Result r)
{
    switch (PQresultStatus(r.get())) {
    case PGRES_SINGLE_TUPLE:
        m_row = std::move(r);
        return true;
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK:
        m_row.reset();
        return false;
    default:
        m_row.reset();
        m_owner.fail(r.get(), "running statement");
    }
}

bool PgStatement::step()
{
    try {
        return advance();
    } catch (...) {
        m_failed = true;
        throw;
    }
}

bool PgStatement::advance()
{
    switch (m_state) {
    case State::Done:
        return false;
    case State::Abandoned:
        throw Error(Error::Kind::Other, "statement interrupted by a rollback");
    case State::Fresh:
        send();
        [[fallthrough]];
    case State::Streaming: {
        m_row.reset();
        Result r(PQgetResult(m_owner.conn()));
        if (!r) {
            m_owner.setStreaming(nullptr);
            m_state = State::Done;
            return false;
        }
        if (PQresultStatus(r.get()) == PGRES_SINGLE_TUPLE) {
            m_row = std::move(r);
            return true;
        }
        // End of rows or an error: the stream must be read to its end either way.
        while (Result rest{PQgetResult(m_owner.conn())}) {
        }
        m_owner.setStreaming(nullptr);
        m_state = State::Done;
        take(std::move(r));
        return false;
    }
    case State::Buffered:
        m_row.reset();
        if (!m_buffer.empty()) {
            m_row = std::move(m_buffer.front());
            m_buffer.pop_front();
            return true;
        }
        m_state = State::Done;
        if (m_pendingError)
            take(std::move(m_pendingError));
        return false;
    }
    return false;
}

void PgStatement::start()
{
    try {
        resetIfRun();
        send();
    } catch (...) {
        m_failed = true;
        throw;
    }
}

// Reads what the socket holds; the answer is complete once libpq would not wait for more.
// The rows go to the buffer, as when another command needs the wire.
bool PgStatement::arrived()
{
    if (m_state != State::Streaming)
        return true;
    try {
        if (!PQconsumeInput(m_owner.conn()))
            m_owner.fail(nullptr, "reading the answer");
        while (!PQisBusy(m_owner.conn())) {
            Result r(PQgetResult(m_owner.conn()));
            if (!r) {
                m_owner.setStreaming(nullptr);
                m_state = State::Buffered;
                return true;
            }
            const ExecStatusType status = PQresultStatus(r.get());
            if (status == PGRES_SINGLE_TUPLE)
                m_buffer.push_back(std::move(r));
            else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && !m_pendingError)
                m_pendingError = std::move(r);
        }
        return false;
    } catch (...) {
        m_failed = true;
        throw;
    }
}

void PgStatement::bufferRest()
{
    while (Result r{PQgetResult(m_owner.conn())}) {
        const ExecStatusType status = PQresultStatus(r.get());
        if (status == PGRES_SINGLE_TUPLE)
            m_buffer.push_back(std::move(r));
        else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && !m_pendingError)
            m_pendingError = std::move(r);
    }
    m_owner.setStreaming(nullptr);
    m_state = State::Buffered;
}

void PgStatement::abandon()
{
    while (Result r{PQgetResult(m_owner.conn())}) {
    }
    m_owner.setStreaming(nullptr);
    m_row.reset();
    m_state = State::Abandoned;
}

std::int64_t PgStatement::execute()
{
    try {
        return run();
    } catch (...) {
        m_failed = true;
        throw;
    }
}

std::int64_t PgStatement::run()
{
    resetIfRun();
    m_owner.settle();
    const auto v = values();
    Result r(PQexecPrepared(m_owner.conn(), m_name.c_str(), static_cast<int>(v.size()), v.data(),
                            nullptr, nullptr, 0));
    m_state = State::Done;
    r = m_owner.check(std::move(r), "running statement", PGRES_TUPLES_OK);
    const char *count = PQcmdTuples(r.get());
    return count && *count ? std::strtoll(count, nullptr, 10) : 0;
}

// ---- PgConnection ----------------------------------------------------------------

void PgConnection::fail(const PGresult *r, const std::string &context)
{
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    Error::Kind kind = state ? kindOfState(state) : Error::Kind::Other;
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        kind = Error::Kind::Connection;
        // The session's prepared statements are gone with it.
        m_cache.clear([](Prepared &) {});
    }
    std::string message = trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(m_conn));
    if (message.empty())
        message = trimmed(PQerrorMessage(m_conn));
    message = context + ": " + message;
    if (state)
        message += " [SQLSTATE " + std::string(state) + "]";
    if (PQtransactionStatus(m_conn) == PQTRANS_INERROR && !m_doomRecorded) {
        m_doomRecorded = true;
        m_doomKind = kind;
        m_doomReason = message;
    }
    throw Error(kind, message);
}

Result PgConnection::check(Result r, const std::string &context, ExecStatusType ok1, ExecStatusType ok2)
{
    if (!r)
        fail(nullptr, context);
    const ExecStatusType status = PQresultStatus(r.get());
    if (status != ok1 && status != ok2)
        fail(r.get(), context);
    return r;
}

Result PgConnection::run(const std::string &sql, const std::string &context)
{
    settle();
    return check(Result(PQexec(m_conn, sql.c_str())), context, PGRES_COMMAND_OK, PGRES_TUPLES_OK);
}

void PgConnection::settle()
{
    if (m_copying)
        throw Error(Error::Kind::Other, "a bulk insert is still in progress on this connection");
    if (m_streaming)
        m_streaming->bufferRest();
    const PGTransactionStatusType s = PQtransactionStatus(m_conn);
    m_inTransactionAtSend = s == PQTRANS_INTRANS || s == PQTRANS_INERROR;
}

void PgConnection::abandonStream()
{
    if (m_streaming)
        m_streaming->abandon();
}

void PgConnection::deallocate(const std::string &name)
{
    // Inside a failed transaction every command is refused until it ends; the name
    // is freed after the rollback instead. The status is read once a statement still
    // streaming is read to its end: its last rows may be the error that fails it.
    if (!m_copying)
        settle();
    if (m_copying || PQtransactionStatus(m_conn) == PQTRANS_INERROR) {
        m_pendingDeallocations.push_back(name);
        return;
    }
    Result r(PQexec(m_conn, ("DEALLOCATE " + name).c_str()));
}

void PgConnection::flushDeallocations()
{
    std::vector<std::string> names;
    names.swap(m_pendingDeallocations);
    for (const std::string &name : names)
        deallocate(name);
}

Prepared PgConnection::prepareNamed(std::string_view sql)
{
    const int params = detail::highestDollarParam(sql);
    settle();
    std::string name = nextStatementName();
    const std::string text(sql);
    check(Result(PQprepare(m_conn, name.c_str(), text.c_str(), params, nullptr)), "preparing statement",
          PGRES_COMMAND_OK);
    return {std::move(name), params};
}

std::unique_ptr<Statement> PgConnection::prepare(std::string_view sql)
{
    return std::make_unique<PgStatement>(*this, prepareNamed(sql));
}

std::unique_ptr<Statement> PgConnection::prepareCached(std::string_view sql)
{
    if (std::optional<Prepared> idle = m_cache.take(sql)) {
        ++m_cacheReused;
        return std::make_unique<PgStatement>(*this, std::move(*idle), std::string(sql));
    }
    Prepared prepared = prepareNamed(sql);
    ++m_cachePrepared;
    return std::make_unique<PgStatement>(*this, std::move(prepared), std::string(sql));
}

void PgConnection::checkIn(std::string key, Prepared prepared)
{
    // Prepared statements are the session's, so they outlive failed transactions; a lost
    // session took them with it.
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        m_cache.clear([](Prepared &) {});
        return;
    }
    m_cache.put(std::move(key), std::move(prepared), [this](Prepared &p) { deallocate(p.name); });
}

void PgConnection::exec(std::string_view sql)
{
    run(std::string(sql), "executing SQL");
}

// Session settings, so that a statement outside a transaction has them too; sent only when
// they change, which with a few kinds of call is rarely.
void PgConnection::setLimits(const Limits &limits)
{
    const long long statement = limits.statement.count();
    const long long lock = limits.lockWait.count();
    if (statement == m_statementLimit && lock == m_lockLimit)
        return;
    m_statementLimit = m_lockLimit = -1;
    run("SET statement_timeout = " + std::to_string(statement) + "; SET lock_timeout = " + std::to_string(lock)
            + "; SET idle_in_transaction_session_timeout = " + std::to_string(statement),
        "setting time limits");
    m_statementLimit = statement;
    m_lockLimit = lock;
}

bool PgConnection::inTransaction() const
{
    const PGTransactionStatusType s = PQtransactionStatus(m_conn);
    if (s == PQTRANS_ACTIVE) // a statement is streaming: as it was when it went out
        return m_inTransactionAtSend;
    return s == PQTRANS_INTRANS || s == PQTRANS_INERROR;
}

void PgConnection::begin()
{
    settle();
    if (inTransaction())
        throw Error(Error::Kind::Other, "BEGIN: a transaction is already open");
    m_doomRecorded = false;
    run("BEGIN", "BEGIN");
}

void PgConnection::commit()
{
    settle();
    if (PQtransactionStatus(m_conn) == PQTRANS_INERROR) {
        const std::string reason = m_doomRecorded ? m_doomReason : std::string("unknown error");
        const Error::Kind kind = m_doomRecorded ? m_doomKind : Error::Kind::Other;
        rollback();
        throw Error(kind, "transaction rolled back after an earlier error: " + reason);
    }
    Result r = run("COMMIT", "COMMIT");
    m_doomRecorded = false;
    // The server answers a COMMIT of a failed transaction with ROLLBACK, not an error.
    if (std::strcmp(PQcmdStatus(r.get()), "ROLLBACK") == 0)
        throw Error(Error::Kind::Other, "COMMIT: the server rolled the transaction back");
    flushDeallocations();
}

void PgConnection::rollback()
{
    abandonStream();
    m_doomRecorded = false;
    if (m_copying)
        throw Error(Error::Kind::Other, "ROLLBACK: a bulk insert is still in progress on this connection");
    const PGTransactionStatusType s = PQtransactionStatus(m_conn);
    if (s == PQTRANS_IDLE)
        return;
    if (s == PQTRANS_UNKNOWN)
        throw Error(Error::Kind::Connection, "ROLLBACK: " + trimmed(PQerrorMessage(m_conn)));
    run("ROLLBACK", "ROLLBACK");
    flushDeallocations();
}

// ---- COPY ------------------------------------------------------------------------

class PgBulkInsert final : public BulkInsert {
public:
    PgBulkInsert(PgConnection &owner, std::size_t columns) : m_owner(owner), m_columns(columns)
    {
        m_owner.setCopying(true);
        m_data.reserve(kFlushSize + 4096);
    }
    ~PgBulkInsert() override
    {
        if (!m_finished) {
            PQputCopyEnd(m_owner.conn(), "bulk insert abandoned");
            while (Result r{PQgetResult(m_owner.conn())}) {
            }
            m_owner.setCopying(false);
        }
    }

    void addRow(const std::vector<std::optional<std::string_view>> &row) override
    {
        if (m_finished)
            throw Error(Error::Kind::Other, "bulk insert already finished");
        if (row.size() != m_columns)
            throw Error(Error::Kind::Other, "bulk insert: row has " + std::to_string(row.size())
                        + " values for " + std::to_string(m_columns) + " columns");
        // Checked before any of the row is buffered: a refused row leaves nothing behind.
        for (std::size_t i = 0; i < row.size(); ++i)
            if (row[i])
                detail::refuseNul(*row[i], int(i + 1));
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i)
                m_data.push_back('\t');
            if (!row[i]) {
                m_data.append("\\N");
                continue;
            }
            for (char c : *row[i]) {
                switch (c) {
                case '\\': m_data.append("\\\\"); break;
                case '\t': m_data.append("\\t"); break;
                case '\n': m_data.append("\\n"); break;
                case '\r': m_data.append("\\r"); break;
                default: m_data.push_back(c);
                }
            }
        }
        m_data.push_back('\n');
        ++m_rows;
        if (m_data.size() >= kFlushSize)
            flush();
    }

    std::int64_t finish() override
    {
        if (m_finished)
            throw Error(Error::Kind::Other, "bulk insert already finished");
        flush();
        m_finished = true;
        m_owner.setCopying(false);
        if (PQputCopyEnd(m_owner.conn(), nullptr) != 1)
            m_owner.fail(nullptr, "ending COPY");
        Result r(PQgetResult(m_owner.conn()));
        while (Result rest{PQgetResult(m_owner.conn())}) {
        }
        r = m_owner.check(std::move(r), "COPY", PGRES_COMMAND_OK);
        return std::strtoll(PQcmdTuples(r.get()), nullptr, 10);
    }

private:
    static constexpr std::size_t kFlushSize = 256 * 1024;

    void flush()
    {
        if (m_data.empty())
            return;
        if (PQputCopyData(m_owner.conn(), m_data.data(), static_cast<int>(m_data.size())) != 1)
            m_owner.fail(nullptr, "sending COPY data");
        m_data.clear();
    }

    PgConnection &m_owner;
    std::size_t m_columns;
    std::string m_data;
    std::int64_t m_rows = 0;
    bool m_finished = false;
};

std::unique_ptr<BulkInsert> PgConnection::bulkInsert(std::string_view table, const std::vector<std::string> &columns)
{
    if (columns.empty())
        throw Error(Error::Kind::Other, "bulk insert needs at least one column");
    std::string sql = "COPY " + std::string(table) + " (";
    for (std::size_t i = 0; i < columns.size(); ++i)
        sql += (i ? ", " : "") + columns[i];
    sql += ") FROM STDIN";
    settle();
    check(Result(PQexec(m_conn, sql.c_str())), "starting COPY", PGRES_COPY_IN);
    return std::make_unique<PgBulkInsert>(*this, columns.size());
}

void quietNotices(void *, const char *) {}

} // namespace

std::unique_ptr<Connection> open(const std::string &conninfo)
{
    // A database host that does not answer at all must not hold a call for the system's TCP
    // time-outs (a quarter of an hour for data never acknowledged, two hours and more for a
    // connection gone silent: a failed-over address, a paused machine, a dropped flow): 10 s
    // to connect; then a connection whose host stops acknowledging is dropped after a minute,
    // and an idle one, or one waiting on a long statement, is probed after 30 s and dropped
    // after three probes unanswered. A busy database still answers the probes. Over a local
    // socket none of this applies. Values in the URL come later and win.
    // Writes are written for READ COMMITTED (a save re-reads what it waited for); a database
    // whose default is stricter would turn concurrent saves and undos into serialization
    // errors. Reads ask for their own snapshot.
    const char *const keywords[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                                    "keepalives_count", "tcp_user_timeout", "options", "dbname", nullptr};
    const char *const values[] = {"10", "1", "30", "10", "3", "60000",
                                  "-c default_transaction_isolation=read\\ committed", conninfo.c_str(), nullptr};
    PGconn *conn = PQconnectdbParams(keywords, values, 1);
    if (!conn)
        throw Error(Error::Kind::Connection, "PostgreSQL: out of memory");
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string message = "connecting to PostgreSQL: " + trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        throw Error(Error::Kind::Connection, message);
    }
    // "relation already exists, skipping" and the like are not for the user's terminal.
    PQsetNoticeProcessor(conn, quietNotices, nullptr);
    if (PQsetClientEncoding(conn, "UTF8") != 0) {
        const std::string message = "PostgreSQL: cannot use UTF-8: " + trimmed(PQerrorMessage(conn));
        PQfinish(conn);
        throw Error(Error::Kind::Connection, message);
    }
    return std::make_unique<PgConnection>(conn);
}

} // namespace fiscal::storage::postgresql
