#include "appserver/server.h"

#include <atomic>
#include <unordered_map>

namespace fiscal::appserver {

namespace {

std::atomic<std::uint64_t> g_nextPoolId{1};

using ThreadConnections = std::unordered_map<std::uint64_t, std::unique_ptr<storage::Connection>>;

// Worker threads keep their connections for their whole life; they close when the thread ends.
ThreadConnections &threadConnections()
{
    thread_local ThreadConnections connections;
    return connections;
}

} // namespace

ConnectionPool::ConnectionPool(std::string url) : m_url(std::move(url)), m_id(g_nextPoolId++) {}

ConnectionPool::~ConnectionPool()
{
    threadConnections().erase(m_id);
}

storage::Connection &ConnectionPool::connection()
{
    auto &slot = threadConnections()[m_id];
    if (!slot)
        slot = storage::open(m_url);
    return *slot;
}

void ConnectionPool::discard()
{
    threadConnections().erase(m_id);
}

} // namespace fiscal::appserver
