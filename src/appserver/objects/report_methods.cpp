// Ger10205.rdmRelatorios: the counts behind the coverage report and the records it lists.
//
//   GetCobertura()   one row per entity, per tax (branches) and per tax and company state
//                    registration (suppliers, clients): records, with a group, without one
//   GetSemGrupo(entity, tax, company, registration)
//                    the records of one such row that have no group
//
// Both are set-based reads in one snapshot: a handful of grouped counts, whatever the size
// of the tables, and one anti-join for the list.

#include "appserver/common/args.h"
#include "appserver/common/packetstream.h"
#include "appserver/objects/objects.h"
#include "appserver/common/transaction.h"
#include "protocol/objects.h"

#include <string>
#include <vector>

namespace fiscal::appserver {

namespace method = protocol::method;

namespace {

using dataset::ValueWriter;
using storage::Connection;

constexpr FieldSpec kCobertura[] = {{"CDENTIDADE", 15}, {"CDIMPOSTO", 2}, {"NMIMPOSTO", 30}, {"CDEMPRESA", 2},
                                    {"CDINSCESTA", 16}, {"QTREGISTROS", 12}, {"QTCOMGRUPO", 12},
                                    {"QTSEMGRUPO", 12}};
constexpr FieldSpec kSemGrupo[] = {{"CODIGO", 21}, {"NOME", 50}, {"NRINSJUR", 20}, {"IDTPIJUR", 1}};

// A record "has a group" when its CDGRUPOFISC is set; the parameter tables hold a row only
// for a set group, so there a row is the group.
std::string entityCount(const char *entity, const char *table, int order)
{
    return std::string("SELECT ") + std::to_string(order) + " AS ORD, '" + entity
        + "' AS CDENTIDADE, CAST(NULL AS VARCHAR(2)) AS CDIMPOSTO, CAST(NULL AS VARCHAR(30)) AS NMIMPOSTO,"
          " CAST(NULL AS VARCHAR(2)) AS CDEMPRESA, CAST(NULL AS VARCHAR(16)) AS CDINSCESTA,"
          " COUNT(*) AS QTREGISTROS, COUNT(NULLIF(CDGRUPOFISC, '')) AS QTCOMGRUPO,"
          " COUNT(*) - COUNT(NULLIF(CDGRUPOFISC, '')) AS QTSEMGRUPO FROM " + table;
}

std::string registrationCount(const char *entity, const char *parties, const char *table, int order)
{
    return std::string("SELECT ") + std::to_string(order) + ", '" + entity
        + "', I.CDIMPOSTO, I.NMIMPOSTO, E.CDEMPRESA, E.CDINSCESTA, X.N, COALESCE(P.N, 0), X.N - COALESCE(P.N, 0)"
          " FROM IMPOSTO I CROSS JOIN INSCRESTAD E CROSS JOIN (SELECT COUNT(*) AS N FROM " + parties + ") X"
          " LEFT JOIN (SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, COUNT(*) AS N FROM " + table
        + " GROUP BY CDIMPOSTO, CDEMPRESA, CDINSCESTA) P"
          " ON P.CDIMPOSTO = I.CDIMPOSTO AND P.CDEMPRESA = E.CDEMPRESA AND P.CDINSCESTA = E.CDINSCESTA";
}

const std::string kCoberturaSql =
    "SELECT CDENTIDADE, CDIMPOSTO, NMIMPOSTO, CDEMPRESA, CDINSCESTA, QTREGISTROS, QTCOMGRUPO, QTSEMGRUPO FROM ("
    + entityCount("FORNECEDOR", "FORNECEDOR", 1) + " UNION ALL "
    + entityCount("CLIENTE", "CLIENTE", 2) + " UNION ALL "
    + entityCount("FILIAL", "FILIAL", 3) + " UNION ALL "
    + entityCount("TIPOOPERAC", "TIPOOPERAC", 4) + " UNION ALL "
    + entityCount("TIPOFATUR", "TIPOFATUR", 5) + " UNION ALL "
    + entityCount("TPFATURFIS", "TPFATURFIS", 6) + " UNION ALL "
    "SELECT 7, 'GRFISCIMPOSFILI', I.CDIMPOSTO, I.NMIMPOSTO, NULL, NULL, F.N, COALESCE(P.N, 0), F.N - COALESCE(P.N, 0)"
    " FROM IMPOSTO I CROSS JOIN (SELECT COUNT(*) AS N FROM FILIAL) F"
    " LEFT JOIN (SELECT CDIMPOSTO, COUNT(*) AS N FROM GRFISCIMPOSFILI GROUP BY CDIMPOSTO) P"
    " ON P.CDIMPOSTO = I.CDIMPOSTO UNION ALL "
    + registrationCount("GRFISIMPIEFORN", "FORNECEDOR", "GRFISIMPIEFORN", 8) + " UNION ALL "
    + registrationCount("GRFISIMPIECLIE", "CLIENTE", "GRFISIMPIECLIE", 9)
    + ") U ORDER BY ORD, CDIMPOSTO, CDEMPRESA, CDINSCESTA";

// What GetSemGrupo lists for each entity, and which keys it takes.
struct Missing {
    const char *entity;
    int keys;   // 0: none; 1: tax; 3: tax, company, registration
    const char *sql;
};

const Missing kMissing[] = {
    {"FORNECEDOR", 0,
     "SELECT CDFORNECED, NMRAZSOCFORN, NRINSJURFORN, IDTPIJURFORN FROM FORNECEDOR"
     " WHERE COALESCE(CDGRUPOFISC, '') = '' ORDER BY NMRAZSOCFORN, CDFORNECED"},
    // A client is named by its trade name, or its legal name when that is blank, as its grids
    // name it.
    {"CLIENTE", 0,
     "SELECT CDCLIENTE, COALESCE(NULLIF(TRIM(NMFANTCLIE), ''), NMRAZSOCCLIE), NRINSJURCLIE, IDTPIJURCLIE FROM CLIENTE"
     " WHERE COALESCE(CDGRUPOFISC, '') = '' ORDER BY 2, CDCLIENTE"},
    {"FILIAL", 0,
     "SELECT CDFILIAL, NMFILIAL, NULL, NULL FROM FILIAL WHERE COALESCE(CDGRUPOFISC, '') = '' ORDER BY CDFILIAL"},
    {"TIPOOPERAC", 0,
     "SELECT CDTIPOOPER, NMTIPOOPER, NULL, NULL FROM TIPOOPERAC WHERE COALESCE(CDGRUPOFISC, '') = ''"
     " ORDER BY CDTIPOOPER"},
    {"TIPOFATUR", 0,
     "SELECT CDTIPOFATUR, NULL, NULL, NULL FROM TIPOFATUR WHERE COALESCE(CDGRUPOFISC, '') = '' ORDER BY CDTIPOFATUR"},
    {"TPFATURFIS", 0,
     "SELECT CDTPFATURFIS, NMTPFATURFIS, NULL, NULL FROM TPFATURFIS WHERE COALESCE(CDGRUPOFISC, '') = ''"
     " ORDER BY CDTPFATURFIS"},
    // The tax and the registration come from their tables, so an unknown one lists nothing.
    {"GRFISCIMPOSFILI", 1,
     "SELECT F.CDFILIAL, F.NMFILIAL, NULL, NULL FROM IMPOSTO I CROSS JOIN FILIAL F WHERE I.CDIMPOSTO = $1"
     " AND NOT EXISTS (SELECT 1 FROM GRFISCIMPOSFILI P WHERE P.CDIMPOSTO = I.CDIMPOSTO AND P.CDFILIAL = F.CDFILIAL)"
     " ORDER BY F.CDFILIAL"},
    {"GRFISIMPIEFORN", 3,
     "SELECT X.CDFORNECED, X.NMRAZSOCFORN, X.NRINSJURFORN, X.IDTPIJURFORN"
     " FROM IMPOSTO I CROSS JOIN INSCRESTAD E CROSS JOIN FORNECEDOR X"
     " WHERE I.CDIMPOSTO = $1 AND E.CDEMPRESA = $2 AND E.CDINSCESTA = $3 AND NOT EXISTS (SELECT 1 FROM GRFISIMPIEFORN P"
     " WHERE P.CDIMPOSTO = I.CDIMPOSTO AND P.CDEMPRESA = E.CDEMPRESA AND P.CDINSCESTA = E.CDINSCESTA"
     " AND P.CDFORNECED = X.CDFORNECED) ORDER BY X.NMRAZSOCFORN, X.CDFORNECED"},
    {"GRFISIMPIECLIE", 3,
     "SELECT X.CDCLIENTE, COALESCE(NULLIF(TRIM(X.NMFANTCLIE), ''), X.NMRAZSOCCLIE), X.NRINSJURCLIE, X.IDTPIJURCLIE"
     " FROM IMPOSTO I CROSS JOIN INSCRESTAD E CROSS JOIN CLIENTE X"
     " WHERE I.CDIMPOSTO = $1 AND E.CDEMPRESA = $2 AND E.CDINSCESTA = $3 AND NOT EXISTS (SELECT 1 FROM GRFISIMPIECLIE P"
     " WHERE P.CDIMPOSTO = I.CDIMPOSTO AND P.CDEMPRESA = E.CDEMPRESA AND P.CDINSCESTA = E.CDINSCESTA"
     " AND P.CDCLIENTE = X.CDCLIENTE) ORDER BY 2, X.CDCLIENTE"},
};

[[noreturn]] void invalid(const QString &message)
{
    throw rpc::Fault(rpc::code::InvalidParams, message);
}

} // namespace

void registerReportMethods(rpc::Dispatcher &d, ConnectionPool &pool)
{
    d.add(protocol::kRelatorios, method::GetCobertura, [&pool](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 0, method::GetCobertura);
        withReadTransaction(pool, [&](Connection &c) {
            auto stmt = c.prepareCached(kCoberturaSql);
            writePacket(w, kCobertura, *stmt);
        });
    }, rpc::CallKind::HeavyRead);

    d.add(protocol::kRelatorios, method::GetSemGrupo, [&pool](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 4, method::GetSemGrupo);
        const std::string entity = stringArg(params, 0, 15, "entidade");
        const std::vector<std::string> keys{codeArg(params, 1, 2, "código do imposto"),
                                            codeArg(params, 2, 2, "código da empresa"),
                                            codeArg(params, 3, 16, "código da inscrição estadual")};
        const Missing *m = nullptr;
        for (const Missing &candidate : kMissing) {
            if (entity == candidate.entity)
                m = &candidate;
        }
        if (!m)
            invalid(QStringLiteral("Entidade desconhecida: %1.").arg(QString::fromStdString(entity)));
        // A key the entity does not use is a slip, never "any"; a key it needs must be there.
        for (int i = 0; i < 3; ++i) {
            if (i >= m->keys && !keys[size_t(i)].empty())
                invalid(QStringLiteral("A entidade %1 não usa o argumento %2.").arg(QString::fromStdString(entity)).arg(i + 2));
            if (i < m->keys && keys[size_t(i)].empty())
                invalid(QStringLiteral("A entidade %1 precisa do argumento %2.").arg(QString::fromStdString(entity)).arg(i + 2));
        }
        withReadTransaction(pool, [&](Connection &c) {
            auto stmt = c.prepareCached(m->sql);
            for (int i = 0; i < m->keys; ++i)
                stmt->bind(i + 1, keys[size_t(i)]);
            writePacket(w, kSemGrupo, *stmt);
        });
    }, rpc::CallKind::HeavyRead);
}

} // namespace fiscal::appserver
