#pragma once
// The remote objects of fiscal-server and what they share.
//   Ger10200.rdmParamGrupFiscal  - the main screen's reads and saves, replication
//   Ger10201.rdmCadAutParGrpFis  - automatic registration
//   Ger10204.rdmHistorico        - the change history and undo (beside the two specified objects)
//   Ger10205.rdmRelatorios       - the coverage report (likewise)

#include "rpc/dispatcher.h"
#include "storage/database.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fiscal::appserver {

inline const std::string kParamGrupFiscal = "Ger10200.rdmParamGrupFiscal";
inline const std::string kCadAutParGrpFis = "Ger10201.rdmCadAutParGrpFis";
inline const std::string kHistorico = "Ger10204.rdmHistorico";
inline const std::string kRelatorios = "Ger10205.rdmRelatorios";

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

// Storage errors reach the client as rpc::Fault with a Portuguese message; see
// transaction.h (a helper that runs one call in one transaction and maps the errors).

void registerReadMethods(rpc::Dispatcher &d, ConnectionPool &pool);   // Get*
void registerWriteMethods(rpc::Dispatcher &d, ConnectionPool &pool);  // Set*, CadastroAutomatico, CadAutoImpInscEsta, Replica
void registerReportMethods(rpc::Dispatcher &d, ConnectionPool &pool); // GetCobertura, GetSemGrupo
void registerHistoryMethods(rpc::Dispatcher &d, ConnectionPool &pool); // GetOperacoes, DesfazOperacao, ...
inline void registerAll(rpc::Dispatcher &d, ConnectionPool &pool)
{
    registerReadMethods(d, pool);
    registerWriteMethods(d, pool);
    registerReportMethods(d, pool);
    registerHistoryMethods(d, pool);
}

} // namespace fiscal::appserver
