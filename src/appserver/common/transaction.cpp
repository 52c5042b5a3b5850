#include "appserver/common/transaction.h"

#include <iostream>

namespace fiscal::appserver {

rpc::Fault faultFromStorage(const storage::Error &e)
{
    std::cerr << "fiscal-server: database error: " << e.what() << std::endl;
    using K = storage::Error::Kind;
    switch (e.kind()) {
    case K::Connection:
        return rpc::Fault(rpc::code::Database,
            QStringLiteral("Não foi possível acessar o banco de dados. Tente novamente em instantes."));
    case K::Busy:
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

namespace detail {

CallConnection::CallConnection(ConnectionPool &pool, bool forWriting)
{
    try {
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
    } catch (const storage::Error &e) {
        throw faultFromStorage(e);
    }
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
}

void fail(ConnectionPool::Lease &lease, const storage::Error &e)
{
    // A broken connection is not worth keeping; the next call opens another.
    if (e.kind() == storage::Error::Kind::Connection)
        lease.discard();
    throw faultFromStorage(e);
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
            m_lease.connection().exec("ROLLBACK");
        } catch (...) {
            // The connection's state is unknown now: never hand it to another call.
            m_lease.discard();
        }
    }
}

void ReadTransaction::commit()
{
    m_lease.connection().exec("COMMIT");
    m_done = true;
}

} // namespace detail
} // namespace fiscal::appserver
