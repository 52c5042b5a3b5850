#include "appserver/transaction.h"

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

storage::Connection &freshConnection(ConnectionPool &pool)
{
    storage::Connection *c = &pool.connection();
    if (c->inTransaction()) {
        pool.discard();
        c = &pool.connection();
    }
    return *c;
}

void fail(ConnectionPool &pool, const storage::Error &e)
{
    // A broken connection is not worth keeping; the next call on this thread reopens it.
    if (e.kind() == storage::Error::Kind::Connection)
        pool.discard();
    throw faultFromStorage(e);
}

ReadTransaction::ReadTransaction(ConnectionPool &pool, storage::Connection &c)
    : m_pool(pool), m_c(c)
{
    if (c.backend() == storage::Backend::Postgres)
        c.exec("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
    else
        c.exec("BEGIN DEFERRED");
}

ReadTransaction::~ReadTransaction()
{
    if (!m_done) {
        try {
            m_c.exec("ROLLBACK");
        } catch (...) {
            // The connection's state is unknown now: never hand it to another call.
            m_pool.discard();
        }
    }
}

void ReadTransaction::commit()
{
    m_c.exec("COMMIT");
    m_done = true;
}

} // namespace detail
} // namespace fiscal::appserver
