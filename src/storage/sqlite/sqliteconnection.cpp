#include "storage/sqlite/sqliteconnection.h"
#include "storage/sqlite/sqliterows.h"

#include "storage/sqltext.h"
#include "storage/statementcache.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace fiscal::storage::sqlite {

Error::Kind kindOf(int code)
{
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return Error::Kind::Busy;
    case SQLITE_INTERRUPT:   // the progress handler: past the call's deadline
        return Error::Kind::Timeout;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
        return Error::Kind::Constraint;
    case SQLITE_FULL:
        return Error::Kind::Full;
    case SQLITE_READONLY:
        return Error::Kind::ReadOnly;
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return Error::Kind::Connection;
    default:
        return Error::Kind::Other;
    }
}

namespace {

class SqliteConnection;

class SqliteStatement final : public Statement {
public:
    // A statement with a cache key goes back to its connection's cache when destroyed.
    SqliteStatement(SqliteConnection &owner, sqlite3_stmt *stmt, std::string cacheKey = {})
        : m_owner(owner), m_stmt(stmt), m_cacheKey(std::move(cacheKey)) {}
    ~SqliteStatement() override;

    void bind(int index, std::optional<std::string_view> text) override;
    void bindInt(int index, std::int64_t value) override;
    bool step() override;
    std::int64_t execute() override;
    int columnCount() const override { return sqlite3_column_count(m_stmt); }
    std::string columnName(int column) const override;
    bool isNull(int column) const override;
    std::string_view text(int column) const override;
    void reset() override;

private:
    void checkBind(int rc, int index);
    void checkColumn(int column) const;
    void resetIfRun();

    SqliteConnection &m_owner;
    sqlite3_stmt *m_stmt;
    std::string m_cacheKey;
    bool m_failed = false;
    enum class State { Fresh, Row, Done } m_state = State::Fresh;
};

class SqliteBulkInsert;

class SqliteConnection final : public Connection {
public:
    explicit SqliteConnection(sqlite3 *db) : m_db(db)
    {
        sqlite3_busy_handler(m_db, &SqliteConnection::onBusy, this);
        sqlite3_progress_handler(m_db, kProgressSteps, &SqliteConnection::onProgress, this);
    }
    ~SqliteConnection() override
    {
        m_cache.clear(sqlite3_finalize);
        sqlite3_finalize(m_cookie);
        sqlite3_close_v2(m_db);
    }

    Backend backend() const override { return Backend::Sqlite; }
    std::unique_ptr<Statement> prepare(std::string_view sql) override;
    std::unique_ptr<Statement> prepareCached(std::string_view sql) override;
    StatementCacheStats statementCacheStats() const override
    {
        return {m_cache.size(), m_cachePrepared, m_cacheReused};
    }
    // Takes back a cached statement whose user is done with it.
    void checkIn(std::string key, sqlite3_stmt *stmt)
    {
        // An idle statement must hold no read cursor and no values of its last user.
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        m_cache.put(std::move(key), stmt, sqlite3_finalize);
    }
    void exec(std::string_view sql) override;
    void begin() override;
    void commit() override;
    void rollback() override;
    bool inTransaction() const override { return sqlite3_get_autocommit(m_db) == 0; }
    bool readOnly() const override
    {
        if (sqlite3_db_readonly(m_db, "main") == 1)
            return true;
        // A file, or its file system, made read-only after this connection opened it:
        // SQLite finds out only at the next write.
        const char *file = sqlite3_db_filename(m_db, "main");
        return file && *file && ::faccessat(AT_FDCWD, file, W_OK, AT_EACCESS) != 0
               && (errno == EACCES || errno == EROFS || errno == EPERM);
    }
    bool lostWhileIdle() override
    {
        // The file was removed or another put in its place: in WAL mode SQLite would go on
        // writing the one it has open, and every save would be lost with it.
        int moved = 0;
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK && moved != 0)
            return true;
        // Its pages written over (`fiscal-server restore` under the running server): the copy
        // takes a new schema cookie, and this connection's check of the schema's version, made
        // when it opened, no longer holds.
        const std::optional<int> cookie = schemaCookie();
        return cookie && m_openedCookie && *cookie != *m_openedCookie;
    }
    // Taken once the connection is set up, for lostWhileIdle().
    void rememberSchemaCookie() { m_openedCookie = schemaCookie(); }
    void setLimits(const Limits &limits) override { m_limits = limits; }
    std::unique_ptr<BulkInsert> bulkInsert(std::string_view table,
                                           const std::vector<std::string> &columns) override;
    std::unique_ptr<ShownRows> showRows(const std::string &name, const std::vector<ShownColumn> &columns,
                                        const RowSource &source) override
    {
        return m_shown.show(name, columns, source, [this](const std::string &sql) { exec(sql); });
    }

    // Throws the error of the last call on this connection, with `context` in front.
    [[noreturn]] void fail(int rc, const std::string &context, std::optional<Error::Kind> kindOverride = {})
    {
        Error::Kind kind = kindOverride ? *kindOverride : kindOf(rc);
        const LockWaitEnded ended = std::exchange(m_lockWaitEnded, LockWaitEnded::No);
        if (kind == Error::Kind::Busy && ended != LockWaitEnded::No)
            kind = ended == LockWaitEnded::Deadline ? Error::Kind::Timeout : Error::Kind::Locked;
        std::string message = context + ": " + sqlite3_errmsg(m_db);
        if (inTransaction() && !m_doomed) {
            m_doomed = true;
            m_doomReason = message;
            m_doomKind = kind;
        }
        throw Error(kind, message);
    }
    sqlite3 *db() const { return m_db; }

private:
    void simple(const char *sql);
    sqlite3_stmt *compile(std::string_view sql);

    // Virtual machine steps between two looks at the clock: a few microseconds of work.
    static constexpr int kProgressSteps = 4000;
    // Another connection holds the lock this one needs: wait, a little longer each time,
    // until the call's lock wait or deadline is over. Without limits, 10 s.
    static int onBusy(void *self, int tries)
    {
        auto &c = *static_cast<SqliteConnection *>(self);
        const auto now = std::chrono::steady_clock::now();
        if (tries == 0)
            c.m_busySince = now;
        const auto wait = c.m_limits.lockWait.count() > 0 ? c.m_limits.lockWait : std::chrono::milliseconds(10000);
        if (now >= c.m_limits.deadline) {
            c.m_lockWaitEnded = LockWaitEnded::Deadline;
            return 0;
        }
        if (now - c.m_busySince >= wait) {
            c.m_lockWaitEnded = c.m_limits.lockWait.count() > 0 ? LockWaitEnded::LockWait : LockWaitEnded::No;
            return 0;
        }
        sqlite3_sleep(std::min(1 + tries, 20));
        return 1;
    }
    // A statement still running at the call's deadline is interrupted (and its transaction
    // rolled back by SQLite). A rollback itself never is.
    static int onProgress(void *self)
    {
        auto &c = *static_cast<SqliteConnection *>(self);
        return !c.m_rollingBack && std::chrono::steady_clock::now() >= c.m_limits.deadline;
    }

    std::optional<int> schemaCookie()
    {
        if (!m_cookie && sqlite3_prepare_v2(m_db, "PRAGMA schema_version", -1, &m_cookie, nullptr) != SQLITE_OK)
            return std::nullopt;
        std::optional<int> cookie;
        if (sqlite3_step(m_cookie) == SQLITE_ROW)
            cookie = sqlite3_column_int(m_cookie, 0);
        sqlite3_reset(m_cookie);
        return cookie;
    }

    sqlite3 *m_db;
    sqlite3_stmt *m_cookie = nullptr;
    std::optional<int> m_openedCookie;
    ShownTables m_shown{m_db};
    Limits m_limits;
    std::chrono::steady_clock::time_point m_busySince;
    // Why the busy handler last gave up: the error is then Locked or Timeout, not Busy.
    enum class LockWaitEnded { No, LockWait, Deadline } m_lockWaitEnded = LockWaitEnded::No;
    bool m_rollingBack = false;
    detail::StatementCache<sqlite3_stmt *> m_cache{kStatementCacheCapacity};
    std::uint64_t m_cachePrepared = 0;
    std::uint64_t m_cacheReused = 0;
    bool m_doomed = false;
    std::string m_doomReason;
    Error::Kind m_doomKind = Error::Kind::Other;
};

SqliteStatement::~SqliteStatement()
{
    if (m_cacheKey.empty() || m_failed)
        sqlite3_finalize(m_stmt);
    else
        m_owner.checkIn(std::move(m_cacheKey), m_stmt);
}

void SqliteStatement::resetIfRun()
{
    if (m_state != State::Fresh)
        reset();
}

void SqliteStatement::checkBind(int rc, int index)
{
    if (rc == SQLITE_RANGE)
        throw Error(Error::Kind::Other, "parameter $" + std::to_string(index) + " does not exist in the statement");
    if (rc != SQLITE_OK)
        m_owner.fail(rc, "binding parameter $" + std::to_string(index));
}

void SqliteStatement::bind(int index, std::optional<std::string_view> text)
{
    resetIfRun();
    int rc;
    if (!text) {
        rc = sqlite3_bind_null(m_stmt, index);
    } else {
        detail::refuseNul(*text, index);
        // SQLite binds NULL for a null pointer; an empty view may have one and is still text.
        rc = sqlite3_bind_text64(m_stmt, index, text->data() ? text->data() : "", text->size(),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    checkBind(rc, index);
}

void SqliteStatement::bindInt(int index, std::int64_t value)
{
    resetIfRun();
    checkBind(sqlite3_bind_int64(m_stmt, index, value), index);
}

bool SqliteStatement::step()
{
    if (m_state == State::Done)
        return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        m_state = State::Row;
        return true;
    }
    if (rc == SQLITE_DONE) {
        m_state = State::Done;
        return false;
    }
    m_state = State::Done;
    m_failed = true;
    sqlite3_reset(m_stmt);
    m_owner.fail(rc, "running statement");
}

std::int64_t SqliteStatement::execute()
{
    resetIfRun();
    // sqlite3_changes64 keeps the count of the last INSERT/UPDATE/DELETE, so a statement
    // that changed nothing (DDL, SELECT) must not report a stale count.
    const sqlite3_int64 before = sqlite3_total_changes64(m_owner.db());
    while (step()) {
    }
    if (sqlite3_total_changes64(m_owner.db()) == before)
        return 0;
    return sqlite3_changes64(m_owner.db());
}

void SqliteStatement::checkColumn(int column) const
{
    if (m_state != State::Row)
        throw Error(Error::Kind::Other, "no current row");
    if (column < 0 || column >= sqlite3_column_count(m_stmt))
        throw Error(Error::Kind::Other, "column " + std::to_string(column) + " out of range");
}

std::string SqliteStatement::columnName(int column) const
{
    if (column < 0 || column >= sqlite3_column_count(m_stmt))
        throw Error(Error::Kind::Other, "column " + std::to_string(column) + " out of range");
    const char *name = sqlite3_column_name(m_stmt, column);
    return detail::upperAscii(name ? name : "");
}

bool SqliteStatement::isNull(int column) const
{
    checkColumn(column);
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

std::string_view SqliteStatement::text(int column) const
{
    checkColumn(column);
    const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    if (!p)
        return {};
    return {p, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column))};
}

void SqliteStatement::reset()
{
    // The step that failed has already been reported; reset's repeat of it is not news.
    sqlite3_reset(m_stmt);
    m_state = State::Fresh;
}

sqlite3_stmt *SqliteConnection::compile(std::string_view sql)
{
    const std::string text = detail::dollarToQuestion(sql);
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, text.c_str(), static_cast<int>(text.size() + 1), &stmt, &tail);
    if (rc != SQLITE_OK) {
        // Bad SQL, unknown tables and columns all come back as SQLITE_ERROR here.
        const Error::Kind kind = (rc & 0xff) == SQLITE_ERROR ? Error::Kind::Syntax : kindOf(rc);
        fail(rc, "preparing statement", kind);
    }
    if (!stmt)
        throw Error(Error::Kind::Syntax, "preparing statement: no SQL statement in the text");
    if (tail && std::string_view(tail).find_first_not_of(" \t\r\n;") != std::string_view::npos) {
        sqlite3_finalize(stmt);
        throw Error(Error::Kind::Syntax, "preparing statement: more than one statement in the text");
    }
    return stmt;
}

std::unique_ptr<Statement> SqliteConnection::prepare(std::string_view sql)
{
    return std::make_unique<SqliteStatement>(*this, compile(sql));
}

std::unique_ptr<Statement> SqliteConnection::prepareCached(std::string_view sql)
{
    if (sql.empty())
        return prepare(sql);
    if (const std::optional<sqlite3_stmt *> idle = m_cache.take(sql)) {
        ++m_cacheReused;
        return std::make_unique<SqliteStatement>(*this, *idle, std::string(sql));
    }
    sqlite3_stmt *stmt = compile(sql);
    ++m_cachePrepared;
    return std::make_unique<SqliteStatement>(*this, stmt, std::string(sql));
}

void SqliteConnection::exec(std::string_view sql)
{
    const std::string text(sql);
    char *err = nullptr;
    m_rollingBack = text == "ROLLBACK";
    const int rc = sqlite3_exec(m_db, text.c_str(), nullptr, nullptr, &err);
    m_rollingBack = false;
    if (rc != SQLITE_OK) {
        sqlite3_free(err);
        fail(rc, "executing SQL");
    }
}

void SqliteConnection::simple(const char *sql)
{
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        fail(rc, sql);
}

void SqliteConnection::begin()
{
    if (inTransaction())
        throw Error(Error::Kind::Other, "BEGIN: a transaction is already open");
    m_doomed = false;
    simple("BEGIN IMMEDIATE");
}

void SqliteConnection::commit()
{
    if (m_doomed && inTransaction()) {
        const std::string reason = m_doomReason;
        const Error::Kind kind = m_doomKind;
        rollback();
        throw Error(kind, "transaction rolled back after an earlier error: " + reason);
    }
    m_doomed = false;
    simple("COMMIT");
}

void SqliteConnection::rollback()
{
    m_doomed = false;
    // SQLite rolls back by itself on some errors; a second rollback is not an error.
    if (!inTransaction())
        return;
    m_rollingBack = true;
    const int rc = sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_rollingBack = false;
    if (rc != SQLITE_OK)
        throw Error(kindOf(rc), std::string("ROLLBACK: ") + sqlite3_errmsg(m_db));
}

class SqliteBulkInsert final : public BulkInsert {
public:
    SqliteBulkInsert(std::unique_ptr<Statement> insert, std::size_t columns)
        : m_insert(std::move(insert)), m_columns(columns) {}

    void addRow(const std::vector<std::optional<std::string_view>> &row) override
    {
        if (m_finished)
            throw Error(Error::Kind::Other, "bulk insert already finished");
        if (row.size() != m_columns)
            throw Error(Error::Kind::Other, "bulk insert: row has " + std::to_string(row.size())
                        + " values for " + std::to_string(m_columns) + " columns");
        for (std::size_t i = 0; i < row.size(); ++i)
            m_insert->bind(static_cast<int>(i + 1), row[i]);
        m_count += m_insert->execute();
    }

    std::int64_t finish() override
    {
        m_finished = true;
        return m_count;
    }

private:
    std::unique_ptr<Statement> m_insert;
    std::size_t m_columns;
    std::int64_t m_count = 0;
    bool m_finished = false;
};

std::unique_ptr<BulkInsert> SqliteConnection::bulkInsert(std::string_view table,
                                                         const std::vector<std::string> &columns)
{
    if (columns.empty())
        throw Error(Error::Kind::Other, "bulk insert needs at least one column");
    std::string sql = "INSERT INTO " + std::string(table) + " (";
    std::string values;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        sql += (i ? ", " : "") + columns[i];
        values += (i ? ", $" : "$") + std::to_string(i + 1);
    }
    sql += ") VALUES (" + values + ")";
    return std::make_unique<SqliteBulkInsert>(prepare(sql), columns.size());
}

} // namespace

std::unique_ptr<Connection> open(const std::string &path, bool create)
{
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = "opening SQLite database '" + path + "': "
            + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        throw Error(Error::Kind::Connection, message);
    }
    sqlite3_extended_result_codes(db, 1);
    auto connection = std::make_unique<SqliteConnection>(db);
    try {
        // Reading the journal mode back also proves the file is a database.
        auto mode = connection->prepare("PRAGMA journal_mode=WAL");
        mode->step();
        const std::string got(mode->text(0));
        if (got != "wal" && got != "memory")
            throw Error(Error::Kind::Connection, "SQLite database '" + path + "' refused WAL mode (" + got + ")");
        mode.reset();
        // The journal beside the file grows to the largest transaction (a registration of
        // every client) and stayed that size while the server ran: cut back once written.
        connection->exec("PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=16777216;");
        connection->rememberSchemaCookie();
    } catch (const Error &e) {
        if (e.kind() == Error::Kind::Connection)
            throw;
        throw Error(Error::Kind::Connection, "opening SQLite database '" + path + "': " + e.what());
    }
    return connection;
}

} // namespace fiscal::storage::sqlite
