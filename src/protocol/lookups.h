#pragma once
// The module's lookups: every SQL statement its screens run to fill a search list or check a
// code, each once, by name. A screen asks for a statement by name (Pkg_Ger10200's makeQuery);
// the parameters, written :P_NAME in the text, are bound by name, never pasted in.
//
//   const protocol::Lookup &l = protocol::findLookup(protocol::lookup::kGrupoFiscal);
//   l.sql      "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = :P_CDGRUPOFISC"
//   l.params   {"P_CDGRUPOFISC"}
//
// Each statement runs as it is on SQLite and PostgreSQL; the texts for other databases are
// kept where a screen carries them, and never run here.

#include <span>
#include <string_view>
#include <vector>

namespace fiscal::protocol {

struct Lookup {
    const char *name;
    const char *sql;
    std::vector<const char *> params;    // in the order they first appear in the text
    const char *sqlOracle = nullptr;
    const char *sqlMssql = nullptr;
    const char *sqlIb = nullptr;
};

// The whole catalogue, in the order of the list below.
std::span<const Lookup> allLookups();
// The entry of that name; throws std::out_of_range for a name the catalogue lacks.
const Lookup &findLookup(std::string_view name);

namespace lookup {
// Taxes
inline constexpr char kImpostos[] = "Impostos";                     // all: code and name
inline constexpr char kImposto[] = "Imposto";                       // one by code
inline constexpr char kImpostoOuTodos[] = "ImpostoOuTodos";         // one, or all with :P_TCDIMPOSTO = 'T'
inline constexpr char kImpostosDetalhe[] = "ImpostosDetalhe";       // all, every column replication shows
inline constexpr char kImpostoDetalhe[] = "ImpostoDetalhe";         // one by code, the same columns
// Companies
inline constexpr char kEmpresaOuTodas[] = "EmpresaOuTodas";         // one, or all with :P_TCDEMPRESA = 'T'
inline constexpr char kEmpresas[] = "Empresas";                     // all, with the legal name
inline constexpr char kEmpresa[] = "Empresa";                       // one by code, with the legal name
// State registrations
inline constexpr char kInscricoes[] = "Inscricoes";                 // all, company and registration as COD
inline constexpr char kInscricoesDaEmpresa[] = "InscricoesDaEmpresa";             // of one company
inline constexpr char kInscricaoDaEmpresaOuTodas[] = "InscricaoDaEmpresaOuTodas"; // one, or all of the company
inline constexpr char kInscricaoDaEmpresa[] = "InscricaoDaEmpresa";               // one: does it exist
// Fiscal groups
inline constexpr char kGruposFiscais[] = "GruposFiscais";           // all
inline constexpr char kGrupoFiscal[] = "GrupoFiscal";               // one by code
// Clients and suppliers, for the lists of the registration dialog
inline constexpr char kClientes[] = "Clientes";
inline constexpr char kFornecedores[] = "Fornecedores";
// The client's local cache (clientlib/localcache.h): one whole table each
inline constexpr char kCacheFornecedor[] = "CacheFornecedor";
inline constexpr char kCacheCliente[] = "CacheCliente";
inline constexpr char kCacheFilial[] = "CacheFilial";
inline constexpr char kCacheTipoOperac[] = "CacheTipoOperac";
inline constexpr char kCacheParamFilial[] = "CacheParamFilial";
inline constexpr char kCacheParamGeral[] = "CacheParamGeral";
} // namespace lookup

} // namespace fiscal::protocol
