#include "appserver/common/transaction.h"

#include <algorithm>
#include <iostream>

namespace fiscal::appserver {

rpc::Fault lockedFault()
{
    return rpc::Fault(rpc::code::Database,
        QStringLiteral("O registro está sendo alterado por outra operação; tente novamente."));
}

rpc::Fault timedOut(const rpc::CallDeadline &call)
{
    const qint64 seconds = std::max<qint64>(1, qint64(call.length.count() / 1000));
    if (call.kind == rpc::CallKind::Read || call.kind == rpc::CallKind::HeavyRead)
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("A consulta passou do tempo limite de %1 s do servidor e foi cancelada.").arg(seconds));
    return rpc::Fault(rpc::code::Database,
        QStringLiteral("A operação passou do tempo limite de %1 s do servidor e foi cancelada; nada foi gravado.")
            .arg(seconds));
}

rpc::Fault faultFromStorage(const storage::Error &e)
{
    std::cerr << "fiscal-server: database error: " << e.what() << std::endl;
    using K = storage::Error::Kind;
    const rpc::CallDeadline &call = rpc::currentDeadline();
    switch (e.kind()) {
    case K::Locked:
        return lockedFault();
    case K::Timeout:
        return timedOut(call);
    case K::Connection:
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("Não foi possível acessar o banco de dados. Tente novamente em instantes."));
    case K::Busy:
        // A save that found its rows (SQLite: the database) taken gave up after its lock wait.
        if (call.kind == rpc::CallKind::Save)
            return lockedFault();
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("O banco de dados está ocupado com outra operação. Tente novamente."));
    case K::Constraint:
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("A operação não foi realizada porque viola uma regra de integridade do banco de dados."));
    case K::Full:
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("Não há espaço livre no disco do banco de dados. A operação não foi realizada; "
                           "avise o administrador do sistema."));
    case K::ReadOnly:
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("O banco de dados está disponível somente para leitura. A operação não foi "
                           "realizada; avise o administrador do sistema."));
    case K::Syntax:
        return rpc::Fault(rpc::code::Internal,
            QStringLiteral("Erro interno do servidor ao consultar o banco de dados."));
    case K::Other:
        break;
    }
    return rpc::Fault(rpc::code::Database,
        QStringLiteral("Falha no banco de dados. A operação não foi realizada."));
}

rpc::Fault writeMayHaveBeenMade()
{
    return rpc::Fault(rpc::code::Database,
        QStringLiteral("A conexão com o banco de dados caiu enquanto a gravação era confirmada: ela pode ter sido"
                       " feita. Atualize os dados e confira antes de repetir."));
}

namespace detail {

CallConnection::CallConnection(ConnectionPool &pool, bool forWriting)
{
    try {
        refuseIfPastDeadline();
        m_lease.emplace(pool);
        // One whose session the database ended (a restart) is replaced before the call, not
        // after failing it. A connection opened while the database file could only be read
        // stays read-only; the operator may have given the file its mode back since, so a
        // write opens one anew. At worst every idle connection is passed over.
        const auto stale = [&] {
            storage::Connection &c = m_lease->connection();
            return c.lostWhileIdle() || (forWriting && c.readOnly());
        };
        for (int left = pool.stats().size; left > 0 && stale(); --left) {
            m_lease->discard();
            m_lease.reset();
            m_lease.emplace(pool);
        }
        const rpc::CallDeadline &call = rpc::currentDeadline();
        m_lease->connection().setLimits({call.at, call.length, call.lockWait});
    } catch (const storage::Error &e) {
        if (m_lease)
            m_lease->discard();
        throw faultFromStorage(e);
    }
}

CallConnection::~CallConnection()
{
    // The deadline was this call's; the session's time-outs stay for the next call.
    const rpc::CallDeadline &call = rpc::currentDeadline();
    try {
        if (m_lease)
            m_lease->connection().setLimits({std::chrono::steady_clock::time_point::max(), call.length, call.lockWait});
    } catch (...) {
        m_lease->discard();
    }
}

void refuseIfPastDeadline()
{
    const rpc::CallDeadline &call = rpc::currentDeadline();
    if (call.passed())
        throw timedOut(call);
}

rpc::Fault callerLeft()
{
    return rpc::Fault(rpc::code::Unavailable,
        QStringLiteral("O cliente encerrou a conexão antes do fim da operação; nada foi gravado."));
}

void refuseIfCallerLeft()
{
    if (rpc::callerHasLeft())
        throw callerLeft();
    refuseIfPastDeadline();
}

void fail(ConnectionPool::Lease &lease, const storage::Error &e)
{
    // A broken connection is not worth keeping; the next call opens another.
    if (e.kind() == storage::Error::Kind::Connection)
        lease.discard();
    throw faultFromStorage(e);
}

void outcomeUnknown(ConnectionPool::Lease &lease)
{
    lease.discard();
    std::cerr << "fiscal-server: the connection to the database broke while a write was committed" << std::endl;
    throw writeMayHaveBeenMade();
}

void commit(ConnectionPool::Lease &lease, storage::Transaction &tx)
{
    try {
        tx.commit();
    } catch (const storage::Error &e) {
        // SQLite keeps or drops the whole transaction on the file itself: its failed COMMIT
        // wrote nothing.
        if (e.kind() == storage::Error::Kind::Connection && lease.connection().backend() == storage::Backend::Postgres)
            outcomeUnknown(lease);
        throw;
    }
}

namespace {

// Whether the connection's role may switch PostgreSQL's triggers, and with them the per-row
// foreign-key checks, off: a superuser, or a role granted SET on the parameter (15 and
// later). Asked rather than tried, so that a role without it leaves no error in the log.
bool maySkipChecks(storage::Connection &c)
{
    auto st = c.prepare("SELECT current_setting('is_superuser'), current_setting('server_version_num')::integer");
    if (!st->step())
        return false;
    if (st->text(0) == "on")
        return true;
    if (std::stoi(std::string(st->text(1))) < 150000)
        return false;
    st = c.prepare("SELECT has_parameter_privilege('session_replication_role', 'SET')");
    return st->step() && st->text(0) == "t";
}

} // namespace

ForeignKeysCheckedOnce::ForeignKeysCheckedOnce(ConnectionPool::Lease &lease, bool postgresToo) : m_lease(lease)
{
    storage::Connection &c = lease.connection();
    if (c.backend() == storage::Backend::Sqlite) {
        m_sqliteOff = true;
        c.exec("PRAGMA foreign_keys=OFF");
    } else {
        m_postgresOff = postgresToo && maySkipChecks(c);
    }
}

void ForeignKeysCheckedOnce::begun()
{
    // Local to the transaction: its end, whichever it is, turns the checks back on.
    if (m_postgresOff)
        m_lease.connection().exec("SET LOCAL session_replication_role = replica");
}

ForeignKeysCheckedOnce::~ForeignKeysCheckedOnce()
{
    if (!m_sqliteOff)
        return;
    // Read the setting back: inside a transaction left open the pragma is a silent no-op.
    try {
        storage::Connection &c = m_lease.connection();
        c.exec("PRAGMA foreign_keys=ON");
        auto st = c.prepare("PRAGMA foreign_keys");
        if (!st->step() || st->text(0) != "1")
            m_lease.discard();
    } catch (...) {
        m_lease.discard();
    }
}

ReadTransaction::ReadTransaction(ConnectionPool::Lease &lease, bool readOnly) : m_lease(lease)
{
    storage::Connection &c = lease.connection();
    if (c.backend() == storage::Backend::Postgres)
        c.exec(readOnly ? "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY" : "BEGIN ISOLATION LEVEL REPEATABLE READ");
    else
        c.exec("BEGIN DEFERRED");
}

ReadTransaction::~ReadTransaction()
{
    if (!m_done) {
        try {
            // The connection's own rollback, not the bare statement: it also frees on the
            // server what a statement that failed left prepared, which a connection serving
            // only reads would otherwise pile up.
            m_lease.connection().rollback();
        } catch (...) {
            // The connection's state is unknown now: never hand it to another call.
            m_lease.discard();
        }
    }
}

void ReadTransaction::commit()
{
    // A snapshot keeps nothing: ended as a rollback, which frees the same as above.
    m_lease.connection().rollback();
    m_done = true;
}

} // namespace detail
} // namespace fiscal::appserver
