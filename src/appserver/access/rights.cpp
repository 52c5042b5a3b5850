// Which right each remote method needs (roles.h). Every method the server registers must
// appear here; a test goes over the dispatcher's whole table.

#include "appserver/access/roles.h"

#include "protocol/objects.h"
#include "rpc/caller.h"

#include <algorithm>

namespace fiscal::appserver::access {

namespace {

namespace m = protocol::method;

struct Rule {
    const char *object;
    const char *method;
    Right right;
};

const Rule kRules[] = {
    // Reads and previews.
    {protocol::kParamGrupFiscal, m::GetDados, Right::Read},
    {protocol::kParamGrupFiscal, m::GetFornecedor, Right::Read},
    {protocol::kParamGrupFiscal, m::GetCliente, Right::Read},
    {protocol::kParamGrupFiscal, m::GetFilial, Right::Read},
    {protocol::kParamGrupFiscal, m::GetTipoOperac, Right::Read},
    {protocol::kParamGrupFiscal, m::GetTipoFatur, Right::Read},
    {protocol::kParamGrupFiscal, m::GetOperInter, Right::Read},
    {protocol::kParamGrupFiscal, m::GetTipoGest, Right::Read},
    {protocol::kParamGrupFiscal, m::GetImpFili, Right::Read},
    {protocol::kParamGrupFiscal, m::GetFornInsc, Right::Read},
    {protocol::kParamGrupFiscal, m::GetCliInsc, Right::Read},
    {protocol::kParamGrupFiscal, m::GetFornInscGrup, Right::Read},
    {protocol::kParamGrupFiscal, m::GetCliInscGrup, Right::Read},
    {protocol::kParamGrupFiscal, m::GetGrupoFiscal, Right::Read},
    {protocol::kParamGrupFiscal, m::SimulaReplica, Right::Read},
    {protocol::kCadAutParGrpFis, m::GetGrupoFiscal, Right::Read},
    {protocol::kCadAutParGrpFis, m::SimulaCadastroAutomatico, Right::Read},
    {protocol::kCadAutParGrpFis, m::SimulaCadAutoImpInscEsta, Right::Read},
    {protocol::kHistorico, m::GetHistoricoRegistro, Right::Read},
    {protocol::kHistorico, m::GetOperacoes, Right::Read},
    {protocol::kHistorico, m::GetOperacaoItens, Right::Read},
    {protocol::kHistorico, m::SimulaDesfazOperacao, Right::Read},
    {protocol::kHistorico, m::GetSituacaoEm, Right::Read},
    {protocol::kCadAutParGrpFis, m::SimulaImportaGrupos, Right::Read},
    {protocol::kRelatorios, m::GetCobertura, Right::Read},
    {protocol::kRelatorios, m::GetSemGrupo, Right::Read},
    {protocol::kConsultas, m::Consulta, Right::Read},
    // One-row saves and bulk operations.
    {protocol::kParamGrupFiscal, m::SetFornecedor, Right::Write},
    {protocol::kParamGrupFiscal, m::SetCliente, Right::Write},
    {protocol::kParamGrupFiscal, m::SetFilial, Right::Write},
    {protocol::kParamGrupFiscal, m::SetTipoOperac, Right::Write},
    {protocol::kParamGrupFiscal, m::SetTipoFatur, Right::Write},
    {protocol::kParamGrupFiscal, m::SetTipoGest, Right::Write},
    {protocol::kParamGrupFiscal, m::SetImpFili, Right::Write},
    {protocol::kParamGrupFiscal, m::SetFornInsc, Right::Write},
    {protocol::kParamGrupFiscal, m::SetCliInsc, Right::Write},
    {protocol::kParamGrupFiscal, m::SetOperInter, Right::Write},
    {protocol::kParamGrupFiscal, m::SetUpdateTipoFatur, Right::Write},
    {protocol::kParamGrupFiscal, m::Replica, Right::Write},
    {protocol::kCadAutParGrpFis, m::CadastroAutomatico, Right::Write},
    {protocol::kCadAutParGrpFis, m::CadAutoImpInscEsta, Right::Write},
    {protocol::kCadAutParGrpFis, m::ImportaGrupos, Right::Write},
    {protocol::kHistorico, m::DesfazOperacao, Right::Undo},
    // Sessions and users.
    {protocol::kSessao, m::Entrar, Right::Open},
    {protocol::kSessao, m::Sair, Right::Session},
    {protocol::kSessao, m::TrocarSenha, Right::Session},
    {protocol::kSessao, m::GetUsuarios, Right::Manage},
    {protocol::kSessao, m::SetUsuario, Right::Manage},
    {protocol::kSessao, m::RedefineSenha, Right::Manage},
};

bool sameName(std::string_view a, std::string_view b)
{
    // ASCII only, inline: names are ASCII, and the C library's tolower per byte of every
    // rule's name was 1% of the server's CPU per call.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

} // namespace

std::optional<Right> rightOf(std::string_view object, std::string_view method)
{
    for (const Rule &r : kRules)
        if (sameName(object, r.object) && sameName(method, r.method))
            return r.right;
    return std::nullopt;
}

} // namespace fiscal::appserver::access
