#pragma once
// One thin interface over the two database backends (SQLite and PostgreSQL).
// Statements use $1, $2, ... placeholders on both backends; the SQLite backend rewrites
// them. Values are bound and read as UTF-8 text or NULL; integers are bound as text too
// unless bindInt is used.
//
// A Connection and its statements are used by one thread at a time. After any statement
// fails inside a transaction, the transaction is doomed on both backends: commit()
// rolls back and throws, so a partial write never looks like success.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::storage {

enum class Backend { Sqlite, Postgres };

// Root of the storage errors. kind() lets the server map them to its error codes.
class Error : public std::runtime_error {
public:
    // Full: no space left for the database; ReadOnly: the database takes no writes (a file
    // the server may only read, a standby server); Locked: a lock another session held was
    // waited for as long as Limits::lockWait; Timeout: the statement ran past its limit.
    enum class Kind { Connection, Busy, Locked, Timeout, Constraint, Syntax, Full, ReadOnly, Other };
    Error(Kind kind, const std::string &what) : std::runtime_error(what), m_kind(kind) {}
    Kind kind() const { return m_kind; }
private:
    Kind m_kind;
};

class Statement {
public:
    virtual ~Statement() = default;
    // Parameters are 1-based, matching $1, $2, ...; std::nullopt binds NULL.
    virtual void bind(int index, std::optional<std::string_view> text) = 0;
    virtual void bindInt(int index, std::int64_t value) = 0;
    // Runs the statement on the first call, then advances; true while a row is available.
    virtual bool step() = 0;
    // Runs a statement that returns no rows; returns the number of rows it changed.
    virtual std::int64_t execute() = 0;
    virtual int columnCount() const = 0;
    // Upper-cased (ASCII), since PostgreSQL folds unquoted names to lower case and the
    // system's names are upper case on both backends. Valid once step() has run.
    virtual std::string columnName(int column) const = 0;
    virtual bool isNull(int column) const = 0;
    // Valid until the next step() or reset().
    virtual std::string_view text(int column) const = 0;
    // Clears the result so the statement can be bound and run again; bindings are kept.
    virtual void reset() = 0;

    // Running without waiting (PostgreSQL only): start() sends the statement and returns;
    // once the connection's socket() can be read, arrived() takes in what came and says
    // whether the whole answer is there, after which step() reads it without waiting.
    // Nothing else may use the connection in between. SQLite throws.
    virtual void start();
    virtual bool arrived();
};

// Fast loading of many rows into one table (COPY on PostgreSQL, a reused prepared
// INSERT on SQLite). Nothing else may run on the connection until finish() returns.
// Dropping it without finish() abandons the rows sent so far (and, on PostgreSQL, fails
// the surrounding transaction).
class BulkInsert {
public:
    virtual ~BulkInsert() = default;
    // One value per column given to bulkInsert(); std::nullopt is NULL.
    virtual void addRow(const std::vector<std::optional<std::string_view>> &row) = 0;
    // Returns the number of rows written.
    virtual std::int64_t finish() = 0;
};

// Rows the caller holds, for Connection::showRows.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual std::size_t rowCount() const = 0;
    // A text column's value, std::nullopt for NULL; it must stay valid while shown.
    virtual std::optional<std::string_view> text(std::size_t row, std::size_t column) const = 0;
    // An integer column's value.
    virtual std::int64_t integer(std::size_t row, std::size_t column) const = 0;
};

struct ShownColumn {
    std::string name;
    bool integer = false;
};

// While it lives, SQL reads a RowSource as a temporary table; destroying it drops the table
// (statements reading it must be finished first).
class ShownRows {
public:
    virtual ~ShownRows() = default;
};

// How the connection's statement cache has been doing; for tests and diagnostics.
struct StatementCacheStats {
    std::size_t idle = 0;          // prepared statements kept, waiting for their text again
    std::uint64_t prepared = 0;    // prepareCached() calls that had to prepare
    std::uint64_t reused = 0;      // prepareCached() calls served from the cache
};

// Idle statements a connection keeps at most; the least recently used goes first.
constexpr std::size_t kStatementCacheCapacity = 64;

// What one call may spend on a connection (the server sets them before each call's work).
struct Limits {
    // SQLite: a statement still running then is interrupted (Timeout).
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // PostgreSQL: statement_timeout, and idle_in_transaction_session_timeout; 0: none.
    std::chrono::milliseconds statement{0};
    // Waiting for a lock another session holds (a row on PostgreSQL, the write lock on
    // SQLite) ends after this; 0: the backend's default (PostgreSQL none, SQLite 10 s).
    std::chrono::milliseconds lockWait{0};
};

class Connection {
public:
    virtual ~Connection() = default;
    // Applies from the next statement on. PostgreSQL sends them only when they changed.
    virtual void setLimits(const Limits &) {}
    virtual Backend backend() const = 0;
    virtual std::unique_ptr<Statement> prepare(std::string_view sql) = 0;
    // Like prepare(), for SQL text that is run again and again: when the statement is
    // destroyed its prepared form stays with the connection, keyed by the text, and the
    // next prepareCached() of the same text reuses it (on PostgreSQL without a round trip).
    // A statement in use is never shared: the same text prepared meanwhile gets one of its
    // own. A reused statement starts with every parameter NULL. A statement that failed
    // is not kept. Statements over tables that are dropped and recreated (temporary
    // tables) belong with prepare().
    virtual std::unique_ptr<Statement> prepareCached(std::string_view sql) = 0;
    virtual StatementCacheStats statementCacheStats() const = 0;
    // Runs one or more statements without parameters or results (DDL, BEGIN, ...).
    virtual void exec(std::string_view sql) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual bool inTransaction() const = 0;
    // True when the database takes no writes through this connection (SQLite: a file the
    // process may only read, whether when it was opened or since; a PostgreSQL standby, or
    // read-only by default); writing then fails with kind ReadOnly.
    virtual bool readOnly() const { return false; }
    // True when the database has ended the session since the last statement (a restart, an
    // administrator's terminate): what it sent before closing is read without a round trip.
    // SQLite: the file was removed or replaced since it was opened. A connection for which
    // this is true must not be used again; open another.
    virtual bool lostWhileIdle() { return false; }
    // Table and column names are the caller's own constants, never user text.
    virtual std::unique_ptr<BulkInsert> bulkInsert(std::string_view table,
                                                   const std::vector<std::string> &columns) = 0;
    // SQLite: `source` read in place as the read-only temporary table `name`, for as long as
    // the answer lives: a list the caller already holds reaches SQL without a row being
    // copied. The source must outlive the answer and not change meanwhile; statements over
    // it belong with prepare(). nullptr where the backend cannot (PostgreSQL): load a
    // temporary table instead. Names are the caller's own constants, never user text.
    virtual std::unique_ptr<ShownRows> showRows(const std::string &, const std::vector<ShownColumn> &,
                                                const RowSource &)
    {
        return nullptr;
    }
    // The socket to wait on for Statement::arrived(); -1 when there is none (SQLite).
    virtual int socket() const { return -1; }
};

// "postgresql://..." or "postgres://..." or a libpq keyword string starting with
// "host=" / "dbname=" opens PostgreSQL (PGHOST and friends apply); anything else is a
// SQLite file path, opened in WAL mode with a busy timeout and foreign keys on.
std::unique_ptr<Connection> open(const std::string &url);
// Like open(), for a database that must be there already (a server's connections): a SQLite
// file that went away is an error, never a new empty database in its place.
std::unique_ptr<Connection> openExisting(const std::string &url);
// The backend open() would choose for `url`, without opening anything.
Backend backendOf(const std::string &url);

// Rolls back in the destructor unless committed.
class Transaction {
public:
    explicit Transaction(Connection &c) : m_c(c) { m_c.begin(); }
    ~Transaction() { if (!m_done) { try { m_c.rollback(); } catch (...) {} } }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    void commit() { m_c.commit(); m_done = true; }
private:
    Connection &m_c;
    bool m_done = false;
};

// A list of texts of any length bound as one parameter: one parameter per key would pass
// the backends' limits (PostgreSQL's 65,535) and make statements that grow with the list.
// Bind textListParameter(keys) at $n and read it as a subquery of one column, `value`:
//   "... WHERE CDGRUPOFISC IN (" + textListSubquery(c.backend(), 4) + ")"
// The texts travel as a JSON array; both backends read it in one pass.
std::string textListParameter(const std::vector<std::string> &texts);
std::string textListSubquery(Backend backend, int param);

// Named-parameter SQL (":P_CDEMPRESA") as the screens write it, rewritten to $n.
struct NamedSql {
    std::string sql;                  // with $1..$n
    std::vector<std::string> names;   // names[i] is the parameter bound to $(i+1)
};
NamedSql translateNamed(std::string_view sqlWithNames);

// The schema's version this program writes; see docs/storage.md.
constexpr int kSchemaVersion = 5;

// How a migration waits for tables other sessions are using (PostgreSQL).
struct MigrationLimits {
    // A schema statement waits this long for its table lock; then its step is rolled back
    // and tried again after a pause, so that saves never queue behind it for longer.
    std::chrono::milliseconds lockTimeout{1000};
    // No try starts after this; the migration fails with an Error of kind Busy.
    std::chrono::seconds giveUpAfter{600};
    // PostgreSQL: how long to wait for another process that is migrating (the installed
    // migrate unit allows 30 minutes); giveUpAfter counts from when it is done.
    std::chrono::seconds otherMigrationWait{1800};
};

// Creates every table and index, or migrates an older schema in place; does nothing at all
// (no statement that locks a table) when the version is current. Returns the version
// found: 0 for an empty database. An empty database and a SQLite file change in one
// transaction; an existing PostgreSQL database one step at a time, with its indexes built
// concurrently, and a migration cut short resumes where it stopped. Processes migrating
// one PostgreSQL database at once take turns. A schema newer than kSchemaVersion, and an
// older one the connection's role does not own, are refused (Error, kind Other) and left
// as they are.
int createSchema(Connection &c, const MigrationLimits &limits = {});

// PostgreSQL: whether the database's encoding is SQL_ASCII, where text is not checked as
// UTF-8 and VARCHAR sizes count bytes. createSchema refuses to make a schema there.
bool uncheckedTextEncoding(Connection &c);

// The version of the schema in the database, without changing anything: 0 when there is
// none, 1 for a schema older than versions.
int schemaVersion(Connection &c);

// PostgreSQL: lets `role` read and write the rows of the tables the connection's role owns
// in the current schema (the version table only read) and draw from their sequences, with
// nothing else on them; lets it connect and make temporary tables when it cannot yet.
// Changes nothing when the role already has exactly that. The role must exist and be
// neither the owner nor a superuser (Error, kind Other). Tables of another owner on which
// the role lacks those rights are an error too, naming them. Throws on SQLite.
void grantRuntimeRole(Connection &owner, const std::string &role);

} // namespace fiscal::storage
