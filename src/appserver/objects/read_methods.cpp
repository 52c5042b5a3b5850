// The Get* methods: each reads its tables in one read transaction and streams one data
// packet whose fields are exactly those of the client data set that loads it.
// Empty or unknown keys give the packet without rows, never an error: the screens send
// their boxes as they stand.

#include "appserver/common/args.h"
#include "appserver/common/packetstream.h"
#include "appserver/objects/objects.h"
#include "appserver/common/transaction.h"
#include "protocol/objects.h"

#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver {

namespace method = protocol::method;

namespace {

using dataset::ValueWriter;
using storage::Connection;

// Field lists of the client data sets (names, order and sizes are the contract).
constexpr FieldSpec kGrupoFiscal[] = {{"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
constexpr FieldSpec kFornecedor[] = {{"NRINSJURFORN", 20}, {"CDFORNECED", 21}, {"NOME", 40},
                                     {"CDGRUPOFISC", 3}, {"IDTPIJURFORN", 1}, {"DSGRUPOFISC", 30}};
constexpr FieldSpec kCliente[] = {{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21},
                                  {"NOME", 50}, {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3},
                                  {"DSGRUPOFISC", 30}};
constexpr FieldSpec kFilial[] = {{"CDFILIAL", 4}, {"NOME", 30}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
constexpr FieldSpec kTipoOperac[] = {{"CDTIPOOPER", 2}, {"IDENTRSAIDOP", 1}, {"NOME", 30},
                                     {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
constexpr FieldSpec kTipoFatur[] = {{"CDTIPOFATUR", 3}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"NOME", 3}};
constexpr FieldSpec kOperInter[] = {{"CDPARGERAL", 4}, {"DSPARGERFIS", 3}};
constexpr FieldSpec kTipoGest[] = {{"NMTPFATURFIS", 58}, {"NOME", 50}, {"CDTPFATURFIS", 5},
                                   {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
constexpr FieldSpec kImpFili[] = {{"CDIMPOSTO", 2}, {"CDFILIAL", 4}, {"NOME", 30},
                                  {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
constexpr FieldSpec kFornInsc[] = {{"CDFORNECED", 21}, {"NOME", 40}, {"NRINSJURFORN", 20},
                                   {"IDTPIJURFORN", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30},
                                   {"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16}};
constexpr FieldSpec kCliInsc[] = {{"CDCLIENTE", 21}, {"NOME", 50}, {"NRINSJURCLIE", 20},
                                  {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30},
                                  {"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16}};
constexpr FieldSpec kFornInscGrup[] = {{"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16},
                                       {"CDFORNECED", 21}, {"CDGRUPOFISC", 3}};
constexpr FieldSpec kCliInscGrup[] = {{"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16},
                                      {"CDCLIENTE", 21}, {"CDGRUPOFISC", 3}};

// Column widths of the keys the methods take.
constexpr int kWidthGrupo = 3;
constexpr int kWidthImposto = 2;
constexpr int kWidthEmpresa = 2;
constexpr int kWidthInscEsta = 16;

// Whole-table packets. Suppliers and clients come in the order of the name the grid
// shows (code breaks ties); the small tables in code order.
struct TableRead {
    const char *method;
    std::span<const FieldSpec> fields;
    const char *sql;
};

const TableRead kFornecedorRead{method::GetFornecedor, kFornecedor,
    "SELECT F.NRINSJURFORN, F.CDFORNECED, F.NMRAZSOCFORN, F.CDGRUPOFISC, F.IDTPIJURFORN, G.DSGRUPOFISC"
    " FROM FORNECEDOR F LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC"
    " ORDER BY F.NMRAZSOCFORN, F.CDFORNECED"};
const TableRead kClienteRead{method::GetCliente, kCliente,
    "SELECT C.NMFANTCLIE, C.NRINSJURCLIE, C.CDCLIENTE, C.NMRAZSOCCLIE, C.IDTPIJURCLIE, C.CDGRUPOFISC,"
    " G.DSGRUPOFISC"
    " FROM CLIENTE C LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = C.CDGRUPOFISC"
    " ORDER BY COALESCE(C.NMFANTCLIE, ''), C.CDCLIENTE"};
const TableRead kFilialRead{method::GetFilial, kFilial,
    "SELECT F.CDFILIAL, F.NMFILIAL, F.CDGRUPOFISC, G.DSGRUPOFISC"
    " FROM FILIAL F LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC"
    " ORDER BY F.CDFILIAL"};
const TableRead kTipoOperacRead{method::GetTipoOperac, kTipoOperac,
    "SELECT T.CDTIPOOPER, T.IDENTRSAIDOP, T.NMTIPOOPER, T.CDGRUPOFISC, G.DSGRUPOFISC"
    " FROM TIPOOPERAC T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTIPOOPER"};
// NOME carries the code: the screen shows the name from its own message table.
const TableRead kTipoFaturRead{method::GetTipoFatur, kTipoFatur,
    "SELECT T.CDTIPOFATUR, T.CDGRUPOFISC, G.DSGRUPOFISC, T.CDTIPOFATUR"
    " FROM TIPOFATUR T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTIPOFATUR"};
const TableRead kOperInterRead{method::GetOperInter, kOperInter,
    "SELECT CDPARGERAL, DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'"};
const TableRead kTipoGestRead{method::GetTipoGest, kTipoGest,
    "SELECT T.CDTPFATURFIS || ' - ' || T.NMTPFATURFIS, T.NMTPFATURFIS, T.CDTPFATURFIS, T.CDGRUPOFISC,"
    " G.DSGRUPOFISC"
    " FROM TPFATURFIS T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTPFATURFIS"};

// The order of GetDados' array is the order the screen loads its data sets in.
const TableRead *const kDados[] = {&kFornecedorRead, &kClienteRead, &kFilialRead, &kTipoOperacRead,
                                   &kTipoFaturRead, &kOperInterRead, &kTipoGestRead};

void streamTable(Connection &c, ValueWriter &w, const TableRead &t)
{
    auto stmt = c.prepareCached(t.sql);
    writePacket(w, t.fields, *stmt);
}

// Runs `sql` with the keys bound as $1..$n and streams the packet.
void streamQuery(Connection &c, ValueWriter &w, std::span<const FieldSpec> fields,
                 const std::string &sql, const std::vector<std::string> &keys)
{
    auto stmt = c.prepareCached(sql);
    for (size_t i = 0; i < keys.size(); ++i)
        stmt->bind(int(i) + 1, keys[i]);
    writePacket(w, fields, *stmt);
}

bool anyEmpty(std::initializer_list<const std::string *> keys)
{
    for (const std::string *k : keys)
        if (k->empty())
            return true;
    return false;
}

// The parameter rows of one tax and company state registration, for suppliers or clients.
struct InscricaoTable {
    const char *table;        // GRFISIMPIEFORN / GRFISIMPIECLIE
    const char *entity;       // FORNECEDOR / CLIENTE
    const char *key;          // CDFORNECED / CDCLIENTE
    const char *name;         // the name the grid shows, over X (the supplier or client)
    const char *registration; // NRINSJURFORN / NRINSJURCLIE
    const char *personType;   // IDTPIJURFORN / IDTPIJURCLIE
};
constexpr InscricaoTable kFornInscTable{"GRFISIMPIEFORN", "FORNECEDOR", "CDFORNECED", "X.NMRAZSOCFORN",
                                        "NRINSJURFORN", "IDTPIJURFORN"};
// The client grid's name column is its trade name; a client without one shows its legal name.
constexpr InscricaoTable kCliInscTable{"GRFISIMPIECLIE", "CLIENTE", "CDCLIENTE",
                                       "COALESCE(NULLIF(TRIM(X.NMFANTCLIE), ''), X.NMRAZSOCCLIE)",
                                       "NRINSJURCLIE", "IDTPIJURCLIE"};

// Every supplier (client) with its group for the tax and registration, or none. The keys
// come from IMPOSTO and INSCRESTAD, so an unknown one yields no rows at all.
std::string inscSql(const InscricaoTable &t)
{
    const std::string key = t.key;
    return std::string("SELECT X.") + key + ", " + t.name + ", X." + t.registration + ", X." + t.personType
        + ", P.CDGRUPOFISC, G.DSGRUPOFISC, I.CDIMPOSTO, E.CDEMPRESA, E.CDINSCESTA"
          " FROM IMPOSTO I CROSS JOIN INSCRESTAD E CROSS JOIN " + t.entity + " X"
          " LEFT JOIN " + t.table + " P ON P.CDIMPOSTO = I.CDIMPOSTO AND P.CDEMPRESA = E.CDEMPRESA"
          " AND P.CDINSCESTA = E.CDINSCESTA AND P." + key + " = X." + key
        + " LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = P.CDGRUPOFISC"
          " WHERE I.CDIMPOSTO = $1 AND E.CDEMPRESA = $2 AND E.CDINSCESTA = $3"
          " ORDER BY " + t.name + ", X." + key;
}

// The parameter rows of the tax and registration ($1..$3) whose group is in the list bound
// at $4 (one parameter, whatever its length), or of any group.
std::string inscGrupSql(const InscricaoTable &t, storage::Backend backend, bool anyGroup)
{
    std::string sql = std::string("SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, ") + t.key + ", CDGRUPOFISC FROM "
        + t.table + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3";
    if (!anyGroup)
        sql += " AND CDGRUPOFISC IN (" + storage::textListSubquery(backend, 4) + ")";
    sql += std::string(" ORDER BY ") + t.key;
    return sql;
}

struct InscKeys {
    std::string imposto, empresa, inscEsta;
    bool incomplete() const { return anyEmpty({&imposto, &empresa, &inscEsta}); }
};

InscKeys inscArgs(const QCborArray &params)
{
    return {codeArg(params, 0, kWidthImposto, "código do imposto"),
            codeArg(params, 1, kWidthEmpresa, "código da empresa"),
            codeArg(params, 2, kWidthInscEsta, "código da inscrição estadual")};
}

void addInscRead(rpc::Dispatcher &d, ConnectionPool &pool, const char *method,
                 std::span<const FieldSpec> fields, const InscricaoTable &table)
{
    const std::string sql = inscSql(table);
    d.add(protocol::kParamGrupFiscal, method, [&pool, method, fields, sql](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 3, method);
        const InscKeys k = inscArgs(params);
        if (k.incomplete())
            return writeEmptyPacket(w, fields);
        withReadTransaction(pool, [&](Connection &c) {
            streamQuery(c, w, fields, sql, {k.imposto, k.empresa, k.inscEsta});
        });
    }, rpc::CallKind::HeavyRead);   // every supplier or client, with its group for the registration
}

void addInscGrupRead(rpc::Dispatcher &d, ConnectionPool &pool, const char *method,
                     std::span<const FieldSpec> fields, const InscricaoTable &table)
{
    d.add(protocol::kParamGrupFiscal, method, [&pool, method, fields, &table](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 4, method);
        const InscKeys k = inscArgs(params);
        const Selection groups = parseSelection(stringArg(params, 3, -1, "seleção de grupos fiscais"),
                                                kWidthGrupo, "seleção de grupos fiscais");
        if (k.incomplete() || (!groups.all && groups.keys.empty()))
            return writeEmptyPacket(w, fields);
        std::vector<std::string> keys{k.imposto, k.empresa, k.inscEsta};
        if (!groups.all)
            keys.push_back(storage::textListParameter(groups.keys));
        withReadTransaction(pool, [&](Connection &c) {
            streamQuery(c, w, fields, inscGrupSql(table, c.backend(), groups.all), keys);
        });
    }, rpc::CallKind::HeavyRead);
}

void addGrupoFiscal(rpc::Dispatcher &d, ConnectionPool &pool, const std::string &object)
{
    d.add(object, method::GetGrupoFiscal, [&pool](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 1, method::GetGrupoFiscal);
        const std::string code = codeArg(params, 0, kWidthGrupo, "código do grupo fiscal");
        withReadTransaction(pool, [&](Connection &c) {
            if (code.empty())
                streamQuery(c, w, kGrupoFiscal,
                            "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC", {});
            else
                streamQuery(c, w, kGrupoFiscal,
                            "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {code});
        });
    });
}

} // namespace

void registerReadMethods(rpc::Dispatcher &d, ConnectionPool &pool)
{
    addGrupoFiscal(d, pool, protocol::kParamGrupFiscal);
    addGrupoFiscal(d, pool, protocol::kCadAutParGrpFis);

    for (const TableRead *t : kDados) {
        // Every supplier or client (500,000 of them) counts against a batch's heavy calls.
        const std::string_view name = t->method;
        const rpc::CallKind kind = name == method::GetFornecedor || name == method::GetCliente
            ? rpc::CallKind::HeavyRead : rpc::CallKind::Read;
        d.add(protocol::kParamGrupFiscal, t->method, [&pool, t](const QCborArray &params, ValueWriter &w) {
            expectCount(params, 0, t->method);
            withReadTransaction(pool, [&](Connection &c) { streamTable(c, w, *t); });
        }, kind);
    }

    // One snapshot for the seven packets, so the tabs agree with each other.
    d.add(protocol::kParamGrupFiscal, method::GetDados, [&pool](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 0, method::GetDados);
        withReadTransaction(pool, [&](Connection &c) {
            w.startArray();
            for (const TableRead *t : kDados)
                streamTable(c, w, *t);
            w.endArray();
        });
    }, rpc::CallKind::HeavyRead);

    d.add(protocol::kParamGrupFiscal, method::GetImpFili, [&pool](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 1, method::GetImpFili);
        const std::string imposto = codeArg(params, 0, kWidthImposto, "código do imposto");
        if (imposto.empty())
            return writeEmptyPacket(w, kImpFili);
        withReadTransaction(pool, [&](Connection &c) {
            // Every branch, with its group for the tax or none.
            streamQuery(c, w, kImpFili,
                        "SELECT I.CDIMPOSTO, F.CDFILIAL, F.NMFILIAL, P.CDGRUPOFISC, G.DSGRUPOFISC"
                        " FROM IMPOSTO I CROSS JOIN FILIAL F"
                        " LEFT JOIN GRFISCIMPOSFILI P ON P.CDIMPOSTO = I.CDIMPOSTO AND P.CDFILIAL = F.CDFILIAL"
                        " LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = P.CDGRUPOFISC"
                        " WHERE I.CDIMPOSTO = $1"
                        " ORDER BY F.CDFILIAL",
                        {imposto});
        });
    });

    addInscRead(d, pool, method::GetFornInsc, kFornInsc, kFornInscTable);
    addInscRead(d, pool, method::GetCliInsc, kCliInsc, kCliInscTable);
    addInscGrupRead(d, pool, method::GetFornInscGrup, kFornInscGrup, kFornInscTable);
    addInscGrupRead(d, pool, method::GetCliInscGrup, kCliInscGrup, kCliInscTable);
}

} // namespace fiscal::appserver
