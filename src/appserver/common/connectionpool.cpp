#include "appserver/common/connectionpool.h"

#include "rpc/dispatcher.h"

#include <algorithm>

namespace fiscal::appserver {

ConnectionPool::ConnectionPool(std::string url, int size, std::chrono::milliseconds maxWait)
    : m_url(std::move(url)), m_size(std::max(1, size)), m_maxWait(maxWait)
{
    m_stats.size = m_size;
}

ConnectionPool::~ConnectionPool() = default;

ConnectionPool::Stats ConnectionPool::stats() const
{
    std::lock_guard lock(m_mutex);
    return m_stats;
}

ConnectionPool::Lease::Lease(ConnectionPool &pool) : m_pool(pool)
{
    std::unique_lock lock(pool.m_mutex);
    Stats &st = pool.m_stats;
    if (pool.m_idle.empty() && st.open >= pool.m_size) {
        const auto start = std::chrono::steady_clock::now();
        ++st.waiting;
        ++st.waits;
        const bool got = pool.m_freed.wait_for(lock, pool.m_maxWait, [&] {
            return !pool.m_idle.empty() || st.open < pool.m_size;
        });
        --st.waiting;
        st.waitSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!got)
            throw rpc::Fault(rpc::code::Unavailable,
                             QStringLiteral("Servidor ocupado: todas as conexões com o banco de dados "
                                            "estão em uso. Tente novamente em instantes."));
    }
    ++st.inUse;
    if (!pool.m_idle.empty()) {
        m_conn = std::move(pool.m_idle.back());   // the most recently used: its caches are warm
        pool.m_idle.pop_back();
        return;
    }
    ++st.open;
    lock.unlock();
    try {
        m_conn = storage::openExisting(pool.m_url);
        // The version was checked at start; a SQLite file replaced since (an old copy restored
        // under the running server) is opened anew here and may lack what this server writes.
        // A newer schema is served: during an upgrade the old instances serve the new schema,
        // which only adds.
        if (const int version = storage::schemaVersion(*m_conn); version < storage::kSchemaVersion)
            throw rpc::Fault(rpc::code::Unavailable,
                             QStringLiteral("O esquema do banco de dados está na versão %1, anterior à versão %2 que "
                                            "este servidor atende. Avise o administrador do sistema.")
                                 .arg(version)
                                 .arg(storage::kSchemaVersion));
    } catch (...) {
        lock.lock();
        --st.open;
        --st.inUse;
        pool.m_freed.notify_one();
        throw;
    }
}

ConnectionPool::Lease::~Lease()
{
    // A connection still inside a transaction was left by a failure: its state is unknown.
    const bool keep = !m_discard && !m_conn->inTransaction();
    std::unique_ptr<storage::Connection> closing;
    {
        std::lock_guard lock(m_pool.m_mutex);
        --m_pool.m_stats.inUse;
        if (keep) {
            m_pool.m_idle.push_back(std::move(m_conn));
        } else {
            --m_pool.m_stats.open;
            closing = std::move(m_conn);
        }
    }
    m_pool.m_freed.notify_one();
    // Closed outside the lock: closing a PostgreSQL connection is a round trip.
}

} // namespace fiscal::appserver
