#include "appserver/history/situation.h"

#include "appserver/common/packetstream.h"
#include "appserver/history/history.h"
#include "protocol/historypackets.h"
#include "rpc/dispatcher.h"

#include <QCborMap>
#include <QDateTime>
#include <QRegularExpression>

#include <limits>
#include <stdexcept>
#include <vector>

namespace fiscal::appserver::history {

namespace {

// A tab's grid over its table: the fields it shows but the group (named as in the tab's
// packet), the rows it lists, the record keys in the history's key order, the group now.
struct Grid {
    const char *table;
    int filters;                    // 0; 1: tax ($1); 3: tax, company, registration ($1..$3)
    std::vector<FieldSpec> fields;
    const char *select;             // the fields' expressions
    const char *from;               // FROM ... [WHERE ...]
    std::vector<const char *> keys;
    const char *group;
    const char *order;
};

const std::vector<Grid> &grids()
{
    static const std::vector<Grid> list{
        {"FORNECEDOR", 0, {{"NRINSJURFORN", 20}, {"CDFORNECED", 21}, {"NOME", 40}, {"IDTPIJURFORN", 1}},
         "F.NRINSJURFORN, F.CDFORNECED, F.NMRAZSOCFORN, F.IDTPIJURFORN", "FROM FORNECEDOR F", {"F.CDFORNECED"},
         "F.CDGRUPOFISC", "F.NMRAZSOCFORN, F.CDFORNECED"},
        {"CLIENTE", 0,
         {{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21}, {"NOME", 50}, {"IDTPIJURCLIE", 1}},
         "C.NMFANTCLIE, C.NRINSJURCLIE, C.CDCLIENTE, C.NMRAZSOCCLIE, C.IDTPIJURCLIE", "FROM CLIENTE C",
         {"C.CDCLIENTE"}, "C.CDGRUPOFISC", "COALESCE(C.NMFANTCLIE, ''), C.CDCLIENTE"},
        {"FILIAL", 0, {{"CDFILIAL", 4}, {"NOME", 30}}, "F.CDFILIAL, F.NMFILIAL", "FROM FILIAL F", {"F.CDFILIAL"},
         "F.CDGRUPOFISC", "F.CDFILIAL"},
        {"TIPOOPERAC", 0, {{"CDTIPOOPER", 2}, {"IDENTRSAIDOP", 1}, {"NOME", 30}},
         "T.CDTIPOOPER, T.IDENTRSAIDOP, T.NMTIPOOPER", "FROM TIPOOPERAC T", {"T.CDTIPOOPER"}, "T.CDGRUPOFISC",
         "T.CDTIPOOPER"},
        {"TIPOFATUR", 0, {{"CDTIPOFATUR", 3}, {"NOME", 3}}, "T.CDTIPOFATUR, T.CDTIPOFATUR", "FROM TIPOFATUR T",
         {"T.CDTIPOFATUR"}, "T.CDGRUPOFISC", "T.CDTIPOFATUR"},
        {"PARAMFILIAL", 0, {{"CDFILIAL", 4}, {"CDTIPOFATUR", 3}}, "P.CDFILIAL, P.CDTIPOFATUR", "FROM PARAMFILIAL P",
         {"P.CDFILIAL", "P.CDTIPOFATUR"}, "P.CDGRUPOFISC", "P.CDFILIAL, P.CDTIPOFATUR"},
        // The interstate operations' one parameter, also at a moment when its row was missing.
        {"PARAMGERAL", 0, {{"CDPARGERAL", 4}}, "K.CDPARGERAL",
         "FROM (SELECT CAST('OPIN' AS VARCHAR(4)) AS CDPARGERAL) K"
         " LEFT JOIN PARAMGERAL P ON P.CDPARGERAL = K.CDPARGERAL",
         {"K.CDPARGERAL"}, "P.DSPARGERFIS", "K.CDPARGERAL"},
        {"TPFATURFIS", 0, {{"NMTPFATURFIS", 58}, {"NOME", 50}, {"CDTPFATURFIS", 5}},
         "T.CDTPFATURFIS || ' - ' || T.NMTPFATURFIS, T.NMTPFATURFIS, T.CDTPFATURFIS", "FROM TPFATURFIS T",
         {"T.CDTPFATURFIS"}, "T.CDGRUPOFISC", "T.CDTPFATURFIS"},
        {"GRFISCIMPOSFILI", 1, {{"CDIMPOSTO", 2}, {"CDFILIAL", 4}, {"NOME", 30}},
         "I.CDIMPOSTO, F.CDFILIAL, F.NMFILIAL",
         "FROM IMPOSTO I CROSS JOIN FILIAL F"
         " LEFT JOIN GRFISCIMPOSFILI P ON P.CDIMPOSTO = I.CDIMPOSTO AND P.CDFILIAL = F.CDFILIAL"
         " WHERE I.CDIMPOSTO = $1",
         {"I.CDIMPOSTO", "F.CDFILIAL"}, "P.CDGRUPOFISC", "F.CDFILIAL"},
        {"GRFISIMPIEFORN", 3,
         {{"CDFORNECED", 21}, {"NOME", 40}, {"NRINSJURFORN", 20}, {"IDTPIJURFORN", 1}, {"CDIMPOSTO", 2},
          {"CDEMPRESA", 2}, {"CDINSCESTA", 16}},
         "X.CDFORNECED, X.NMRAZSOCFORN, X.NRINSJURFORN, X.IDTPIJURFORN, I.CDIMPOSTO, E.CDEMPRESA, E.CDINSCESTA",
         "FROM IMPOSTO I CROSS JOIN INSCRESTAD E CROSS JOIN FORNECEDOR X"
         " LEFT JOIN GRFISIMPIEFORN P ON P.CDIMPOSTO = I.CDIMPOSTO AND P.CDEMPRESA = E.CDEMPRESA"
         " AND P.CDINSCESTA = E.CDINSCESTA AND P.CDFORNECED = X.CDFORNECED"
         " WHERE I.CDIMPOSTO = $1 AND E.CDEMPRESA = $2 AND E.CDINSCESTA = $3",
         {"I.CDIMPOSTO", "E.CDEMPRESA", "E.CDINSCESTA", "X.CDFORNECED"}, "P.CDGRUPOFISC",
         "X.NMRAZSOCFORN, X.CDFORNECED"},
        {"GRFISIMPIECLIE", 3,
         {{"CDCLIENTE", 21}, {"NOME", 50}, {"NRINSJURCLIE", 20}, {"IDTPIJURCLIE", 1}, {"CDIMPOSTO", 2},
          {"CDEMPRESA", 2}, {"CDINSCESTA", 16}},
         "X.CDCLIENTE, COALESCE(NULLIF(TRIM(X.NMFANTCLIE), ''), X.NMRAZSOCCLIE), X.NRINSJURCLIE, X.IDTPIJURCLIE,"
         " I.CDIMPOSTO, E.CDEMPRESA, E.CDINSCESTA",
         "FROM IMPOSTO I CROSS JOIN INSCRESTAD E CROSS JOIN CLIENTE X"
         " LEFT JOIN GRFISIMPIECLIE P ON P.CDIMPOSTO = I.CDIMPOSTO AND P.CDEMPRESA = E.CDEMPRESA"
         " AND P.CDINSCESTA = E.CDINSCESTA AND P.CDCLIENTE = X.CDCLIENTE"
         " WHERE I.CDIMPOSTO = $1 AND E.CDEMPRESA = $2 AND E.CDINSCESTA = $3",
         {"I.CDIMPOSTO", "E.CDEMPRESA", "E.CDINSCESTA", "X.CDCLIENTE"}, "P.CDGRUPOFISC",
         "COALESCE(NULLIF(TRIM(X.NMFANTCLIE), ''), X.NMRAZSOCCLIE), X.CDCLIENTE"},
    };
    return list;
}

const Grid *findGrid(const std::string &table)
{
    for (const Grid &g : grids())
        if (table == g.table)
            return &g;
    return nullptr;
}

[[noreturn]] void refuse(const QString &message, QCborValue data = {})
{
    throw rpc::Fault(rpc::code::InvalidParams, message, std::move(data));
}

// "alias.CDCHAVE1 = k1 AND ... AND alias.CDCHAVE4 = ''"
std::string keyMatch(const char *alias, const Grid &g)
{
    std::string s;
    for (std::size_t i = 0; i < 4; ++i) {
        s += i ? " AND " : "";
        s += std::string(alias) + ".CDCHAVE" + std::to_string(i + 1) + " = ";
        s += i < g.keys.size() ? std::string(g.keys[i]) : "''";
    }
    return s;
}

// The operation of one record's item in the record index, its first from the cut on
// (MIN, ">=") or its last before it (MAX, "<"); bulkItemOf: the same among the bulk
// operations' items, sought by primary key one bulk operation at a time.
std::string itemOf(const Grid &g, const char *aggregate, const char *side, const std::string &cut)
{
    const std::string table = std::string("'") + g.table + "'";
    const std::string key = "L.NMTABELA = " + table + " AND " + keyMatch("L", g);
    const std::string id = std::string(" ") + side + " " + cut;
    return std::string("(SELECT ") + aggregate + "(L.IDOPERACAO) FROM HISTITEM L WHERE L.FLLOTE = 'N' AND " + key
        + " AND L.IDOPERACAO" + id + ")";
}

std::string bulkItemOf(const Grid &g, const char *aggregate, const char *side, const std::string &cut)
{
    const std::string table = std::string("'") + g.table + "'";
    return std::string("(SELECT ") + aggregate + "(B.IDOPERACAO) FROM HISTOPERACAO B CROSS JOIN HISTITEM L"
        " WHERE B.FLLOTE = 'S' AND B.IDOPERACAO " + side + " " + cut + " AND L.IDOPERACAO = B.IDOPERACAO"
        " AND L.NMTABELA = " + table + " AND " + keyMatch("L", g) + " AND L.FLLOTE = 'S')";
}

// Every row of the grid with two lookups by key: its first item from the cut on, whose group
// before is the group it had (today's when there is none), and its last operation before
// the cut. Each is a seek in the record index and one per bulk operation, so no record's
// lookup reads the items of the others.
std::string situationSql(const Grid &g, storage::Backend backend, const std::string &cut)
{
    const bool pg = backend == storage::Backend::Postgres;
    const std::string none = "9223372036854775807";
    const std::string first = pg
        ? "LEAST(" + itemOf(g, "MIN", ">=", cut) + ", " + bulkItemOf(g, "MIN", ">=", cut) + ")"
        : "NULLIF(MIN(COALESCE(" + itemOf(g, "MIN", ">=", cut) + ", " + none + "), COALESCE("
            + bulkItemOf(g, "MIN", ">=", cut) + ", " + none + ")), " + none + ")";
    const std::string last = std::string(pg ? "GREATEST" : "MAX") + "(COALESCE(" + itemOf(g, "MAX", "<", cut)
        + ", 0), COALESCE(" + bulkItemOf(g, "MAX", "<", cut) + ", 0))";
    const std::string then = std::string("CASE WHEN A.IDOPERACAO IS NULL THEN ") + g.group
        + " ELSE A.CDGRUPOANT END";
    // PostgreSQL would rather hash the items than look each one up by an expression of the
    // row; LATERAL makes it a lookup. SQLite looks it up by primary key as it is.
    const auto itemIs = [&](const char *alias) {
        return std::string(alias) + ".IDOPERACAO = " + first + " AND " + alias + ".NMTABELA = '" + g.table + "' AND "
            + keyMatch(alias, g);
    };
    const std::string firstItem = pg
        ? " LEFT JOIN LATERAL (SELECT H.IDOPERACAO, H.CDGRUPOANT FROM HISTITEM H WHERE " + itemIs("H") + ") A ON TRUE"
        : " LEFT JOIN HISTITEM A ON " + itemIs("A");
    const std::string from = g.from;
    const std::size_t where = from.find(" WHERE ");
    return "SELECT " + std::string(g.select) + ", " + then + ", GE.DSGRUPOFISC, " + g.group
        + ", GA.DSGRUPOFISC, O.IDOPERACAO, O.DTOPERACAO, O.NMUSUARIO "
        + from.substr(0, where) + firstItem
        + " LEFT JOIN GRUPOFISCAL GE ON GE.CDGRUPOFISC = " + then
        + " LEFT JOIN GRUPOFISCAL GA ON GA.CDGRUPOFISC = " + g.group
        + " LEFT JOIN HISTOPERACAO O ON O.IDOPERACAO = " + last
        + (where == std::string::npos ? std::string() : from.substr(where))
        + " ORDER BY " + g.order;
}

// The moment of the first operation kept, by number: pruning keeps every operation from it on,
// and one numbered later may be stamped earlier (its call waited for a lock) while others
// stamped before it are gone.
std::optional<std::string> firstOperationTime(storage::Connection &c)
{
    auto st = c.prepareCached("SELECT DTOPERACAO FROM HISTOPERACAO ORDER BY IDOPERACAO LIMIT 1");
    if (!st->step() || st->isNull(0))
        return std::nullopt;
    return std::string(st->text(0));
}

// The id of the first operation recorded after the moment; past the last one when none was.
std::int64_t cutAfter(storage::Connection &c, const std::string &moment)
{
    auto st = c.prepareCached("SELECT MIN(IDOPERACAO) FROM HISTOPERACAO WHERE DTOPERACAO > $1");
    st->bind(1, moment);
    if (!st->step() || st->isNull(0))
        return std::numeric_limits<std::int64_t>::max();
    return std::stoll(std::string(st->text(0)));
}

} // namespace

std::string situationStatement(const std::string &table, storage::Backend backend)
{
    const Grid *g = findGrid(table);
    if (!g)
        throw std::invalid_argument("no grid for table " + table);
    return situationSql(*g, backend, "$" + std::to_string(g->filters + 1));
}

std::optional<std::string> normalizedMoment(const QString &text)
{
    static const QRegularExpression re(QStringLiteral(
        R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d+))?)?(?:(Z)|([+-])(\d{2}):?(\d{2}))$)"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const auto n = [&m](int i) { return m.captured(i).toInt(); };
    const QDate date(n(1), n(2), n(3));
    const QString fraction = (m.captured(7) + QStringLiteral("000")).left(3);
    const QTime time(n(4), n(5), n(6), fraction.toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    QDateTime utc(date, time, Qt::UTC);
    if (m.captured(8).isEmpty()) {
        if (n(10) > 23 || n(11) > 59)
            return std::nullopt;
        const int offset = (n(10) * 60 + n(11)) * 60;
        utc = utc.addSecs(m.captured(9) == QLatin1String("+") ? -offset : offset);
    }
    return utc.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ")).toStdString();
}

void writeSituation(storage::Connection &c, const SituationQuery &q, dataset::ValueWriter &w)
{
    const Grid *g = findGrid(q.table);
    if (!g)
        refuse(QStringLiteral("A tabela %1 não tem histórico.").arg(QString::fromStdString(q.table)));
    const std::string *filters[] = {&q.imposto, &q.empresa, &q.inscricao};
    static const char *const names[] = {"imposto", "empresa", "inscrição estadual"};
    bool incomplete = false;
    for (int i = 0; i < 3; ++i) {
        if (i >= g->filters && !filters[i]->empty())
            refuse(QStringLiteral("A tabela %1 não é filtrada por %2.")
                       .arg(QLatin1String(g->table), QString::fromUtf8(names[i])));
        incomplete = incomplete || (i < g->filters && filters[i]->empty());
    }

    const std::optional<std::string> first = firstOperationTime(c);
    if (!first || q.moment < *first) {
        const QString from = first ? QString::fromStdString(*first) : QString();
        refuse(first ? QStringLiteral("O histórico de alterações só está completo a partir de %1: a situação"
                                      " antes desse momento não pode ser reconstruída.").arg(from)
                     : QStringLiteral("O histórico de alterações não tem nenhuma operação guardada: a situação de"
                                      " um momento passado não pode ser reconstruída."),
               QCborMap{{QStringLiteral("completoDesde"), first ? QCborValue(from) : QCborValue(nullptr)}});
    }

    std::vector<FieldSpec> fields = g->fields;
    fields.insert(fields.end(), std::begin(protocol::history::kSituacao), std::end(protocol::history::kSituacao));
    if (incomplete)
        return writeEmptyPacket(w, fields);
    auto st = c.prepare(situationStatement(q.table, c.backend()));
    for (int i = 0; i < g->filters; ++i)
        st->bind(i + 1, *filters[i]);
    st->bindInt(g->filters + 1, cutAfter(c, q.moment));
    writePacket(w, fields, *st);
}

} // namespace fiscal::appserver::history
