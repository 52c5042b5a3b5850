#pragma once
// The remote objects of fiscal-server (names: protocol/objects.h) and what each exposes,
// registered on the dispatcher by the files of this folder:
//   read_methods.cpp     Ger10200.rdmParamGrupFiscal Get*, GetGrupoFiscal of both objects
//   write_methods.cpp    the saving methods (Set*), SetUpdateTipoFatur, Replica,
//                        CadastroAutomatico, CadAutoImpInscEsta and their previews (Simula*)
//   report_methods.cpp   Ger10205.rdmRelatorios
//   history_methods.cpp  Ger10204.rdmHistorico
//   lookup_methods.cpp   Ger10207.rdmConsultas
//   session_methods.cpp  Ger10206.rdmSessao; it also puts every call to the role guard

#include "appserver/access/sessions.h"
#include "appserver/common/connectionpool.h"
#include "rpc/dispatcher.h"

namespace fiscal::appserver {

void registerReadMethods(rpc::Dispatcher &d, ConnectionPool &pool);
void registerWriteMethods(rpc::Dispatcher &d, ConnectionPool &pool);
void registerReportMethods(rpc::Dispatcher &d, ConnectionPool &pool);
void registerHistoryMethods(rpc::Dispatcher &d, ConnectionPool &pool);
void registerLookupMethods(rpc::Dispatcher &d, ConnectionPool &pool);
// Signing in and the users, and the guard that checks every call's role (access/roles.h).
// The settings and sessions must outlive the dispatcher's use.
void registerSessionMethods(rpc::Dispatcher &d, ConnectionPool &pool, const access::AuthSettings &settings,
                            access::Sessions &sessions);

// Every object and method the server offers.
inline void registerAll(rpc::Dispatcher &d, ConnectionPool &pool)
{
    registerReadMethods(d, pool);
    registerWriteMethods(d, pool);
    registerReportMethods(d, pool);
    registerHistoryMethods(d, pool);
    registerLookupMethods(d, pool);
}

} // namespace fiscal::appserver
