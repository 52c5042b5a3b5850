#pragma once
// The two remote objects of fiscal-server and what they share.
//   Ger10200.rdmParamGrupFiscal  - the main screen's reads and saves, replication
//   Ger10201.rdmCadAutParGrpFis  - automatic registration
//   Ger10205.rdmRelatorios       - the coverage report (beside the two specified objects)

#include "rpc/dispatcher.h"
#include "storage/database.h"

#include <cstdint>
#include <memory>
#include <string>

namespace fiscal::appserver {

inline const std::string kParamGrupFiscal = "Ger10200.rdmParamGrupFiscal";
inline const std::string kCadAutParGrpFis = "Ger10201.rdmCadAutParGrpFis";
inline const std::string kRelatorios = "Ger10205.rdmRelatorios";

// One database connection per worker thread, opened on first use and kept for the
// thread's life. A connection found broken is dropped and reopened on the next call.
class ConnectionPool {
public:
    explicit ConnectionPool(std::string url);
    ~ConnectionPool();
    storage::Connection &connection();
    void discard();   // drop this thread's connection (after a connection error)
    const std::string &url() const { return m_url; }
private:
    std::string m_url;
    std::uint64_t m_id;   // never reused, so a new pool never inherits a dead one's connections
};

// Storage errors reach the client as rpc::Fault with a Portuguese message; see
// transaction.h (a helper that runs one call in one transaction and maps the errors).

void registerReadMethods(rpc::Dispatcher &d, ConnectionPool &pool);   // Get*
void registerWriteMethods(rpc::Dispatcher &d, ConnectionPool &pool);  // Set*, CadastroAutomatico, CadAutoImpInscEsta, Replica
void registerReportMethods(rpc::Dispatcher &d, ConnectionPool &pool); // GetCobertura, GetSemGrupo
inline void registerAll(rpc::Dispatcher &d, ConnectionPool &pool)
{
    registerReadMethods(d, pool);
    registerWriteMethods(d, pool);
    registerReportMethods(d, pool);
}

} // namespace fiscal::appserver
