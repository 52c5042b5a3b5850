#include "protocol/lookups.h"

#include <stdexcept>
#include <string>

namespace fiscal::protocol {

namespace {

#define FISCAL_TAX_COLUMNS                                                                                       \
    "SELECT CDIMPOSTO, CDFORNECED, NMIMPOSTO, IDTRATIMPO, CDOFICIMPO, SGIMPOSTO, IDTIPCONTAB, IDPRODNOTA, "   \
    "IDUTMUNIORIG, IDUTUFORIG, IDUTUFDEST, IDUTFAIXVLR, IDUTPARCDED, IDUTREDUBC, IDUTALIQTPOPER"
// The tax check's last column takes a function each database spells its own way;
// COALESCE and SUBSTR read alike on SQLite and PostgreSQL.
#define FISCAL_TAX_BY_CODE(orgao)                                                                                \
    FISCAL_TAX_COLUMNS ", IDUTVLRQTDEIMPO, ID1UTREDUBC, " orgao " IDORGARRECAD FROM IMPOSTO "                    \
    "WHERE (CDIMPOSTO = :P_CDIMPOSTO) ORDER BY CDIMPOSTO"

const std::vector<Lookup> &catalogue()
{
    using namespace lookup;
    static const std::vector<Lookup> list{
        {kImpostos, "SELECT CDIMPOSTO, NMIMPOSTO FROM IMPOSTO ORDER BY CDIMPOSTO", {}},
        {kImposto, "SELECT CDIMPOSTO, NMIMPOSTO FROM IMPOSTO WHERE (CDIMPOSTO = :P_CDIMPOSTO)", {"P_CDIMPOSTO"}},
        {kImpostoOuTodos,
         "SELECT I.CDIMPOSTO, I.NMIMPOSTO FROM IMPOSTO I WHERE (I.CDIMPOSTO = :P_CDIMPOSTO "
         "OR :P_TCDIMPOSTO = 'T') ORDER BY I.CDIMPOSTO",
         {"P_CDIMPOSTO", "P_TCDIMPOSTO"}},
        {kImpostosDetalhe, FISCAL_TAX_COLUMNS " FROM IMPOSTO ORDER BY CDIMPOSTO", {}},
        {kImpostoDetalhe, FISCAL_TAX_BY_CODE("SUBSTR(COALESCE(IDORGARRECAD, 'F'), 1, 1)"), {"P_CDIMPOSTO"},
         FISCAL_TAX_BY_CODE("SUBSTR(NVL(IDORGARRECAD, 'F'), 1, 1)"),
         FISCAL_TAX_BY_CODE("SUBSTRING(ISNULL(IDORGARRECAD, 'F'), 1, 1)"),
         FISCAL_TAX_BY_CODE("SUBSTR(NVLSTR(IDORGARRECAD, 'F'), 1, 1)")},
        {kEmpresaOuTodas,
         "SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E WHERE (E.CDEMPRESA = :P_CDEMPRESA "
         "OR :P_TCDEMPRESA = 'T') ORDER BY E.CDEMPRESA",
         {"P_CDEMPRESA", "P_TCDEMPRESA"}},
        {kEmpresas, "SELECT CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR FROM EMPRESA ORDER BY CDEMPRESA", {}},
        {kEmpresa,
         "SELECT CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR FROM EMPRESA WHERE (CDEMPRESA = :P_CDEMPRESA) "
         "ORDER BY CDEMPRESA",
         {"P_CDEMPRESA"}},
        {kInscricoes,
         "SELECT CDEMPRESA||CDINSCESTA AS COD, CDINSCESTA, CDEMPRESA, NRINSJURIEST, NMREPRINSEST, IDTPIJURIEST "
         "FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA",
         {}},
        {kInscricoesDaEmpresa,
         "SELECT CDINSCESTA, CDEMPRESA, NRINSJURIEST, NMREPRINSEST, SGESTADO, IDTPIJURIEST FROM INSCRESTAD "
         "WHERE (CDEMPRESA = :P_CDEMPRESA) ORDER BY CDINSCESTA",
         {"P_CDEMPRESA"}},
        {kInscricaoDaEmpresaOuTodas,
         "SELECT I.CDINSCESTA, I.NRINSJURIEST, I.NMREPRINSEST, I.SGESTADO, I.IDTPIJURIEST "
         "FROM INSCRESTAD I WHERE I.CDEMPRESA = :P_CDEMPRESA AND (I.CDINSCESTA = :P_CDINSCESTA "
         "OR :P_TCDINSCESTA = 'T') ORDER BY I.CDINSCESTA",
         {"P_CDEMPRESA", "P_CDINSCESTA", "P_TCDINSCESTA"}},
        {kInscricaoDaEmpresa,
         "SELECT CDINSCESTA FROM INSCRESTAD WHERE (CDINSCESTA = :P_CDINSCESTA) AND "
         "(CDEMPRESA = :P_CDEMPRESA) ORDER BY CDINSCESTA",
         {"P_CDINSCESTA", "P_CDEMPRESA"}},
        {kGruposFiscais, "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC", {}},
        {kGrupoFiscal, "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = :P_CDGRUPOFISC",
         {"P_CDGRUPOFISC"}},
        {kClientes, "SELECT CDCLIENTE, IDTPIJURCLIE, NMRAZSOCCLIE, NRINSJURCLIE FROM CLIENTE ORDER BY NRINSJURCLIE",
         {}},
        {kFornecedores,
         "SELECT CDFORNECED, IDTPIJURFORN, NRINSJURFORN, NMRAZSOCFORN FROM FORNECEDOR ORDER BY NRINSJURFORN", {}},
        {kCacheFornecedor, "SELECT * FROM FORNECEDOR", {}},
        {kCacheCliente, "SELECT * FROM CLIENTE", {}},
        {kCacheFilial, "SELECT * FROM FILIAL", {}},
        {kCacheTipoOperac, "SELECT * FROM TIPOOPERAC", {}},
        {kCacheParamFilial, "SELECT * FROM PARAMFILIAL", {}},
        {kCacheParamGeral, "SELECT * FROM PARAMGERAL", {}},
    };
    return list;
}

#undef FISCAL_TAX_BY_CODE
#undef FISCAL_TAX_COLUMNS

} // namespace

std::span<const Lookup> allLookups()
{
    return catalogue();
}

const Lookup &findLookup(std::string_view name)
{
    for (const Lookup &l : catalogue())
        if (name == l.name)
            return l;
    throw std::out_of_range("no lookup named " + std::string(name));
}

} // namespace fiscal::protocol
