#pragma once
// The server's database connections, shared by every call of every remote object.

#include "storage/database.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fiscal::appserver {

// The server's database connections: at most `size`, opened when first needed and kept.
// A call holds one for as long as it works with the database (a Lease); while all are in
// use the next call waits for one, at most `maxWait`, then fails with -32003. A connection
// found broken, or left inside a transaction, is closed instead of coming back.
class ConnectionPool {
public:
    explicit ConnectionPool(std::string url, int size = 4,
                            std::chrono::milliseconds maxWait = std::chrono::seconds(30));
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool &) = delete;
    ConnectionPool &operator=(const ConnectionPool &) = delete;

    class Lease {
    public:
        // Waits for a connection, opening one when there is room. Throws rpc::Fault -32003
        // after maxWait; a failure to open passes as the storage::Error it is.
        explicit Lease(ConnectionPool &pool);
        ~Lease();
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        storage::Connection &connection() { return *m_conn; }
        // Close it instead of handing it back (after a connection error).
        void discard() { m_discard = true; }
    private:
        ConnectionPool &m_pool;
        std::unique_ptr<storage::Connection> m_conn;
        bool m_discard = false;
    };

    struct Stats {
        int size = 0;            // the most that may be open
        int open = 0;            // open now, in use or idle
        int inUse = 0;
        int waiting = 0;         // calls waiting for one
        std::uint64_t waits = 0; // calls that had to wait, since the start
        double waitSeconds = 0;  // time they waited, in all
    };
    Stats stats() const;
    const std::string &url() const { return m_url; }

private:
    std::string m_url;
    int m_size;
    std::chrono::milliseconds m_maxWait;
    mutable std::mutex m_mutex;
    std::condition_variable m_freed;
    std::vector<std::unique_ptr<storage::Connection>> m_idle;
    Stats m_stats;
};

} // namespace fiscal::appserver
