#pragma once
// The remote objects of fiscal-server and their methods: the names a client sends in
// POST /rpc/<object> and in the request's "method" (matched without regard to case).
// The server registers exactly these; the screens call exactly these.

#include <algorithm>
#include <string_view>

namespace fiscal::protocol {

inline constexpr char kParamGrupFiscal[] = "Ger10200.rdmParamGrupFiscal";  // main screen, replication
inline constexpr char kCadAutParGrpFis[] = "Ger10201.rdmCadAutParGrpFis";  // automatic registration
inline constexpr char kHistorico[] = "Ger10204.rdmHistorico";              // history and undo
inline constexpr char kRelatorios[] = "Ger10205.rdmRelatorios";            // coverage report
inline constexpr char kConsultas[] = "Ger10207.rdmConsultas";              // the lookups (lookups.h)
inline constexpr char kSessao[] = "Ger10206.rdmSessao";                    // sign-in and users (sessionpackets.h)

namespace method {

// ---- Ger10200.rdmParamGrupFiscal ----
// Reads: one data packet each (GetDados: the first seven in one array).
inline constexpr char GetDados[] = "GetDados";
inline constexpr char GetFornecedor[] = "GetFornecedor";
inline constexpr char GetCliente[] = "GetCliente";
inline constexpr char GetFilial[] = "GetFilial";
inline constexpr char GetTipoOperac[] = "GetTipoOperac";
inline constexpr char GetTipoFatur[] = "GetTipoFatur";
inline constexpr char GetOperInter[] = "GetOperInter";
inline constexpr char GetTipoGest[] = "GetTipoGest";
inline constexpr char GetImpFili[] = "GetImpFili";
inline constexpr char GetFornInsc[] = "GetFornInsc";
inline constexpr char GetCliInsc[] = "GetCliInsc";
inline constexpr char GetFornInscGrup[] = "GetFornInscGrup";
inline constexpr char GetCliInscGrup[] = "GetCliInscGrup";
inline constexpr char GetGrupoFiscal[] = "GetGrupoFiscal";   // also on Ger10201.rdmCadAutParGrpFis
// Saves: one change set each.
inline constexpr char SetFornecedor[] = "SetFornecedor";
inline constexpr char SetCliente[] = "SetCliente";
inline constexpr char SetFilial[] = "SetFilial";
inline constexpr char SetTipoOperac[] = "SetTipoOperac";
inline constexpr char SetTipoFatur[] = "SetTipoFatur";
inline constexpr char SetTipoGest[] = "setTipoGest";          // lower-case s, as the screens call it
inline constexpr char SetImpFili[] = "SetImpFili";
inline constexpr char SetFornInsc[] = "SetFornInsc";
inline constexpr char SetCliInsc[] = "SetCliInsc";
inline constexpr char SetOperInter[] = "SetOperInter";
inline constexpr char SetUpdateTipoFatur[] = "SetUpdateTipoFatur";
// Replication (arguments: bulkcalls.h) and its preview.
inline constexpr char Replica[] = "Replica";
inline constexpr char SimulaReplica[] = "SimulaReplica";

// ---- Ger10201.rdmCadAutParGrpFis ----
inline constexpr char CadastroAutomatico[] = "CadastroAutomatico";
inline constexpr char SimulaCadastroAutomatico[] = "SimulaCadastroAutomatico";
inline constexpr char CadAutoImpInscEsta[] = "CadAutoImpInscEsta";
inline constexpr char SimulaCadAutoImpInscEsta[] = "SimulaCadAutoImpInscEsta";
// Import of groups from a spreadsheet (packets: importcalls.h). ImportaGrupos writes, as
// CadastroAutomatico does; SimulaImportaGrupos is a preview and writes nothing.
inline constexpr char ImportaGrupos[] = "ImportaGrupos";
inline constexpr char SimulaImportaGrupos[] = "SimulaImportaGrupos";

// ---- Ger10204.rdmHistorico (packets: historypackets.h) ----
inline constexpr char GetHistoricoRegistro[] = "GetHistoricoRegistro";
inline constexpr char GetOperacoes[] = "GetOperacoes";
inline constexpr char GetOperacaoItens[] = "GetOperacaoItens";
inline constexpr char DesfazOperacao[] = "DesfazOperacao";
inline constexpr char SimulaDesfazOperacao[] = "SimulaDesfazOperacao";
inline constexpr char GetSituacaoEm[] = "GetSituacaoEm";     // a tab's table as it was at a moment

// ---- Ger10205.rdmRelatorios ----
inline constexpr char GetCobertura[] = "GetCobertura";
inline constexpr char GetSemGrupo[] = "GetSemGrupo";

// ---- Ger10207.rdmConsultas ----
// Consulta(name, [parameters]): runs the catalogue's statement of that name (lookups.h)
// with its parameters (strings or null, in the order of Lookup::params) bound, and answers
// the data packet the direct query would give.
inline constexpr char Consulta[] = "Consulta";
// ---- Ger10206.rdmSessao ----
inline constexpr char Entrar[] = "Entrar";                // (usuario, senha): the only call without a session
inline constexpr char Sair[] = "Sair";                    // ()
inline constexpr char TrocarSenha[] = "TrocarSenha";      // (atual, nova)
inline constexpr char GetUsuarios[] = "GetUsuarios";      // (): administradores
inline constexpr char SetUsuario[] = "SetUsuario";        // (usuario, nome, papel, ativo)
inline constexpr char RedefineSenha[] = "RedefineSenha";  // (usuario): a temporary password

// The methods the server runs as bulk work (many rows written or previewed), with a bulk
// call's time limit: a client waits as long for them.
inline constexpr const char *kBulk[] = {Replica, SimulaReplica, CadastroAutomatico, SimulaCadastroAutomatico,
                                        CadAutoImpInscEsta, SimulaCadAutoImpInscEsta, ImportaGrupos,
                                        SimulaImportaGrupos, DesfazOperacao, SimulaDesfazOperacao};

constexpr bool isBulk(std::string_view name)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::string_view m : kBulk)
        if (m.size() == name.size() && std::equal(m.begin(), m.end(), name.begin(),
                                                  [&](char a, char b) { return lower(a) == lower(b); }))
            return true;
    return false;
}

} // namespace method

} // namespace fiscal::protocol
