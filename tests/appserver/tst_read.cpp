// The read methods of both remote objects, over real HTTP against a running fiscal-server
// on a fresh demo database; every case runs in CBOR and in JSON.

#include "testsupport.h"

#include "dataset/packet.h"

#include <QCborArray>
#include <QCborMap>
#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace fiscal::test;

namespace {

// One demo database and one server per backend, shared by the read suites (reads change
// nothing). Torn down at the end of the program.
struct Shared {
    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;
};

Shared &shared(Backend b)
{
    static std::map<Backend, Shared> all;
    Shared &s = all[b];
    if (!s.server) {
        s.db = TestDb::create(b);
        s.server = std::make_unique<ServerProcess>(s.db->url());
    }
    return s;
}

using Fields = std::vector<std::pair<QString, int>>;

Fields fieldsOf(const Packet &p)
{
    Fields f;
    for (const auto &x : p.fields)
        f.emplace_back(x.name, x.size);
    return f;
}

QString q(const std::optional<std::string> &s)
{
    return s ? QString::fromStdString(*s) : QStringLiteral("<null>");
}

QString q(const std::optional<QString> &s)
{
    return s ? *s : QStringLiteral("<null>");
}

QCborArray strings(std::initializer_list<const char *> list)
{
    QCborArray a;
    for (const char *s : list)
        a.append(QString::fromUtf8(s));
    return a;
}

struct Param {
    Backend backend;
    Encoding encoding;
};

std::vector<Param> params()
{
    std::vector<Param> out;
    for (Backend b : backendsUnderTest())
        for (Encoding e : {Encoding::Cbor, Encoding::Json})
            out.push_back({b, e});
    return out;
}

std::string paramName(const ::testing::TestParamInfo<Param> &i)
{
    return backendName(i.param.backend) + (i.param.encoding == Encoding::Cbor ? "_cbor" : "_json");
}

class ReadTest : public ::testing::TestWithParam<Param> {
protected:
    TestDb &db() { return *shared(GetParam().backend).db; }
    std::uint16_t port() { return shared(GetParam().backend).server->port(); }

    RpcResult call(const std::string &method, const QCborArray &args = {},
                   const std::string &object = kParamGrupFiscal)
    {
        return rpcCall(port(), object, method, args, GetParam().encoding);
    }

    Packet packet(const std::string &method, const QCborArray &args = {},
                  const std::string &object = kParamGrupFiscal)
    {
        const RpcResult r = call(method, args, object);
        if (!r.ok())
            throw std::runtime_error(method + " failed: " + r.errorMessage.toStdString());
        return Packet::from(r.result);
    }

    // Group descriptions by code, for checking the joined DSGRUPOFISC.
    std::map<std::string, std::string> groups()
    {
        std::map<std::string, std::string> g;
        for (const auto &r : db().query("SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL"))
            g[*r[0]] = *r[1];
        return g;
    }

    std::optional<QString> describe(const std::optional<QString> &code)
    {
        if (!code)
            return std::nullopt;
        const auto g = groups();
        const auto it = g.find(code->toStdString());
        return it == g.end() ? std::nullopt : std::optional<QString>(QString::fromStdString(it->second));
    }

    // A (tax, company, registration) with parameter rows in `table`, the one with the most.
    std::vector<std::string> busiestKey(const std::string &table)
    {
        const auto rows = db().query("SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, COUNT(*) FROM " + table
                                     + " GROUP BY CDIMPOSTO, CDEMPRESA, CDINSCESTA"
                                       " ORDER BY COUNT(*) DESC, CDIMPOSTO, CDEMPRESA, CDINSCESTA");
        if (rows.empty())
            throw std::runtime_error("the demo has no rows in " + table);
        return {*rows[0][0], *rows[0][1], *rows[0][2]};
    }
};

// ---- field lists: exactly those of the client data sets ----

struct FieldCase {
    const char *method;
    QCborArray args;
    Fields fields;
};

const Fields kGrupoFiscal{{"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
const Fields kFornecedor{{"NRINSJURFORN", 20}, {"CDFORNECED", 21}, {"NOME", 40}, {"CDGRUPOFISC", 3},
                         {"IDTPIJURFORN", 1}, {"DSGRUPOFISC", 30}};
const Fields kCliente{{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21}, {"NOME", 50},
                      {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
const Fields kFilial{{"CDFILIAL", 4}, {"NOME", 30}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
const Fields kTipoOperac{{"CDTIPOOPER", 2}, {"IDENTRSAIDOP", 1}, {"NOME", 30}, {"CDGRUPOFISC", 3},
                         {"DSGRUPOFISC", 30}};
const Fields kTipoFatur{{"CDTIPOFATUR", 3}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"NOME", 3}};
const Fields kOperInter{{"CDPARGERAL", 4}, {"DSPARGERFIS", 3}};
const Fields kTipoGest{{"NMTPFATURFIS", 58}, {"NOME", 50}, {"CDTPFATURFIS", 5}, {"CDGRUPOFISC", 3},
                       {"DSGRUPOFISC", 30}};
const Fields kImpFili{{"CDIMPOSTO", 2}, {"CDFILIAL", 4}, {"NOME", 30}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
const Fields kFornInsc{{"CDFORNECED", 21}, {"NOME", 40}, {"NRINSJURFORN", 20}, {"IDTPIJURFORN", 1},
                       {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"CDIMPOSTO", 2}, {"CDEMPRESA", 2},
                       {"CDINSCESTA", 16}};
const Fields kCliInsc{{"CDCLIENTE", 21}, {"NOME", 50}, {"NRINSJURCLIE", 20}, {"IDTPIJURCLIE", 1},
                      {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"CDIMPOSTO", 2}, {"CDEMPRESA", 2},
                      {"CDINSCESTA", 16}};
const Fields kFornInscGrup{{"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16}, {"CDFORNECED", 21},
                           {"CDGRUPOFISC", 3}};
const Fields kCliInscGrup{{"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16}, {"CDCLIENTE", 21},
                          {"CDGRUPOFISC", 3}};

const std::vector<FieldCase> &fieldCases()
{
    static const std::vector<FieldCase> cases{
        {"GetGrupoFiscal", strings({""}), kGrupoFiscal},
        {"GetFornecedor", {}, kFornecedor},
        {"GetCliente", {}, kCliente},
        {"GetFilial", {}, kFilial},
        {"GetTipoOperac", {}, kTipoOperac},
        {"GetTipoFatur", {}, kTipoFatur},
        {"GetOperInter", {}, kOperInter},
        {"GetTipoGest", {}, kTipoGest},
        // empty keys: the fields still come, without rows
        {"GetImpFili", strings({""}), kImpFili},
        {"GetFornInsc", strings({"", "", ""}), kFornInsc},
        {"GetCliInsc", strings({"", "", ""}), kCliInsc},
        {"GetFornInscGrup", strings({"", "", "", "T"}), kFornInscGrup},
        {"GetCliInscGrup", strings({"", "", "", "T"}), kCliInscGrup},
    };
    return cases;
}

TEST_P(ReadTest, EveryPacketHasTheDataSetFields)
{
    for (const FieldCase &c : fieldCases()) {
        SCOPED_TRACE(c.method);
        const Packet p = packet(c.method, c.args);
        EXPECT_EQ(fieldsOf(p), c.fields);
    }
}

TEST_P(ReadTest, TheClientDecoderAcceptsEveryPacket)
{
    // The data-set library's strict decoder is what the screens load packets with.
    const RpcResult dados = call("GetDados");
    ASSERT_TRUE(dados.ok());
    for (const QCborValue &v : dados.result.toArray()) {
        try {
            const auto p = fiscal::dataset::DataPacket::fromCbor(v);
            EXPECT_FALSE(p.fields.isEmpty());
        } catch (const fiscal::dataset::PacketError &e) {
            ADD_FAILURE() << e.message().toStdString();
        }
    }
    const auto k = busiestKey("GRFISIMPIECLIE");
    for (const char *method : {"GetCliInsc", "GetFornInsc"}) {
        const RpcResult r = call(method, strings({k[0].c_str(), k[1].c_str(), k[2].c_str()}));
        ASSERT_TRUE(r.ok());
        EXPECT_NO_THROW(fiscal::dataset::DataPacket::fromCbor(r.result)) << method;
    }
}

TEST_P(ReadTest, EmptyKeysGiveEmptyPackets)
{
    for (const FieldCase &c : fieldCases()) {
        if (c.args.isEmpty() || std::string(c.method) == "GetGrupoFiscal")
            continue;
        SCOPED_TRACE(c.method);
        EXPECT_TRUE(packet(c.method, c.args).rows.isEmpty());
    }
}

// ---- the whole-table packets against the database ----

TEST_P(ReadTest, GrupoFiscalAllOneOrNone)
{
    const auto g = groups();
    ASSERT_FALSE(g.empty());
    const Packet all = packet("GetGrupoFiscal", strings({""}));
    ASSERT_EQ(all.rows.size(), qsizetype(g.size()));
    auto it = g.begin();
    for (const auto &row : all.rows) {   // ordered by code
        EXPECT_EQ(q(row[0]), QString::fromStdString(it->first));
        EXPECT_EQ(q(row[1]), QString::fromStdString(it->second));
        ++it;
    }
    const std::string code = g.rbegin()->first;
    for (const std::string &object : {kParamGrupFiscal, kCadAutParGrpFis}) {
        SCOPED_TRACE(object);
        const Packet one = packet("GetGrupoFiscal", strings({code.c_str()}), object);
        ASSERT_EQ(one.rows.size(), 1);
        EXPECT_EQ(q(one.rows[0][0]), QString::fromStdString(code));
        EXPECT_EQ(q(one.rows[0][1]), QString::fromStdString(g.rbegin()->second));
        for (const char *unknown : {"999", "01", "1", " 01", "00'", "%"})
            EXPECT_TRUE(packet("GetGrupoFiscal", strings({unknown}), object).rows.isEmpty()) << unknown;
    }
}

struct EntityCase {
    const char *method;
    const char *sql;              // key column first, then the packet's fields by name
    std::vector<QString> columns; // packet fields matching sql columns 1..n
    const char *key;              // packet field holding the key
};

TEST_P(ReadTest, EntityPacketsMatchTheDatabase)
{
    const std::vector<EntityCase> cases{
        {"GetFornecedor", "SELECT CDFORNECED, NRINSJURFORN, NMRAZSOCFORN, CDGRUPOFISC, IDTPIJURFORN FROM FORNECEDOR",
         {"NRINSJURFORN", "NOME", "CDGRUPOFISC", "IDTPIJURFORN"}, "CDFORNECED"},
        {"GetCliente", "SELECT CDCLIENTE, NMFANTCLIE, NRINSJURCLIE, NMRAZSOCCLIE, IDTPIJURCLIE, CDGRUPOFISC FROM CLIENTE",
         {"NMFANTCLIE", "NRINSJURCLIE", "NOME", "IDTPIJURCLIE", "CDGRUPOFISC"}, "CDCLIENTE"},
        {"GetFilial", "SELECT CDFILIAL, NMFILIAL, CDGRUPOFISC FROM FILIAL", {"NOME", "CDGRUPOFISC"}, "CDFILIAL"},
        {"GetTipoOperac", "SELECT CDTIPOOPER, IDENTRSAIDOP, NMTIPOOPER, CDGRUPOFISC FROM TIPOOPERAC",
         {"IDENTRSAIDOP", "NOME", "CDGRUPOFISC"}, "CDTIPOOPER"},
        {"GetTipoFatur", "SELECT CDTIPOFATUR, CDGRUPOFISC, CDTIPOFATUR FROM TIPOFATUR", {"CDGRUPOFISC", "NOME"},
         "CDTIPOFATUR"},
        {"GetTipoGest", "SELECT CDTPFATURFIS, NMTPFATURFIS, CDGRUPOFISC FROM TPFATURFIS", {"NOME", "CDGRUPOFISC"},
         "CDTPFATURFIS"},
    };
    for (const EntityCase &c : cases) {
        SCOPED_TRACE(c.method);
        std::map<QString, TestDb::Row> expected;
        for (auto &r : db().query(c.sql))
            expected[q(r[0])] = r;
        ASSERT_FALSE(expected.empty());
        const Packet p = packet(c.method);
        ASSERT_EQ(p.rows.size(), qsizetype(expected.size()));
        bool someWithGroup = false, someWithout = false;
        std::set<QString> seen;
        for (const auto &row : p.rows) {
            const QString key = q(row[p.column(c.key)]);
            ASSERT_TRUE(expected.count(key)) << key.toStdString();
            EXPECT_TRUE(seen.insert(key).second) << "twice: " << key.toStdString();
            const TestDb::Row &e = expected[key];
            for (size_t i = 0; i < c.columns.size(); ++i)
                EXPECT_EQ(q(row[p.column(c.columns[i])]), q(e[i + 1]))
                    << key.toStdString() << " " << c.columns[i].toStdString();
            const auto group = row[p.column(QStringLiteral("CDGRUPOFISC"))];
            (group ? someWithGroup : someWithout) = true;
            EXPECT_EQ(q(row[p.column(QStringLiteral("DSGRUPOFISC"))]), q(describe(group))) << key.toStdString();
        }
        EXPECT_TRUE(someWithGroup);
    }
}

TEST_P(ReadTest, RowOrder)
{
    // Small tables by code; suppliers by name, clients by trade name (code breaks ties).
    const std::vector<std::pair<const char *, const char *>> byCode{
        {"GetFilial", "CDFILIAL"}, {"GetTipoOperac", "CDTIPOOPER"}, {"GetTipoFatur", "CDTIPOFATUR"},
        {"GetTipoGest", "CDTPFATURFIS"}};
    for (const auto &[method, column] : byCode) {
        const QStringList codes = packet(method).columnValues(QString::fromUtf8(column));
        QStringList sorted = codes;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(codes, sorted) << method;
    }
    const auto checkByName = [&](const char *method, const char *name, const char *code) {
        const Packet p = packet(method);
        for (qsizetype i = 1; i < p.rows.size(); ++i) {
            const auto key = [&](qsizetype r) {
                return std::make_pair(q(p.rows[r][p.column(QString::fromUtf8(name))]).toUtf8().replace("<null>", ""),
                                      q(p.rows[r][p.column(QString::fromUtf8(code))]).toUtf8());
            };
            EXPECT_LE(key(i - 1), key(i)) << method << " row " << i;
        }
    };
    checkByName("GetFornecedor", "NOME", "CDFORNECED");
    checkByName("GetCliente", "NMFANTCLIE", "CDCLIENTE");
}

TEST_P(ReadTest, DerivedColumns)
{
    const Packet gest = packet("GetTipoGest");
    ASSERT_FALSE(gest.rows.isEmpty());
    for (const auto &row : gest.rows)
        EXPECT_EQ(q(row[0]), q(row[2]) + QStringLiteral(" - ") + q(row[1]));
    const Packet fatur = packet("GetTipoFatur");
    EXPECT_EQ(fatur.rows.size(), 9);
    for (const auto &row : fatur.rows)
        EXPECT_EQ(q(row[3]), q(row[0]));   // NOME carries the code
}

TEST_P(ReadTest, OperInterIsTheOpinRow)
{
    const Packet p = packet("GetOperInter");
    const auto stored = db().query("SELECT CDPARGERAL, DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
    ASSERT_EQ(p.rows.size(), qsizetype(stored.size()));
    if (!stored.empty()) {
        EXPECT_EQ(q(p.rows[0][0]), QStringLiteral("OPIN"));
        EXPECT_EQ(q(p.rows[0][1]), q(stored[0][1]));
    }
}

TEST_P(ReadTest, GetDadosIsTheSevenPacketsInOrder)
{
    const RpcResult r = call("GetDados");
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    ASSERT_TRUE(r.result.isArray());
    const QCborArray a = r.result.toArray();
    const char *order[] = {"GetFornecedor", "GetCliente", "GetFilial", "GetTipoOperac",
                           "GetTipoFatur", "GetOperInter", "GetTipoGest"};
    ASSERT_EQ(a.size(), 7);
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(order[i]);
        const Packet fromDados = Packet::from(a.at(i));
        const Packet alone = packet(order[i]);
        EXPECT_EQ(fieldsOf(fromDados), fieldsOf(alone));
        EXPECT_EQ(fromDados.rows, alone.rows);
    }
}

// ---- the keyed packets ----

TEST_P(ReadTest, ImpFiliListsEveryBranchWithItsGroupForTheTax)
{
    const std::string tax = *db().scalar(
        "SELECT CDIMPOSTO FROM GRFISCIMPOSFILI GROUP BY CDIMPOSTO ORDER BY COUNT(*) DESC, CDIMPOSTO");
    std::map<QString, std::optional<std::string>> expected;
    for (auto &r : db().query("SELECT CDFILIAL FROM FILIAL"))
        expected[q(r[0])] = std::nullopt;
    for (auto &r : db().query("SELECT CDFILIAL, CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = $1", {tax}))
        expected[q(r[0])] = r[1];

    const Packet p = packet("GetImpFili", strings({tax.c_str()}));
    ASSERT_EQ(p.rows.size(), qsizetype(expected.size()));
    QStringList branches = p.columnValues(QStringLiteral("CDFILIAL"));
    QStringList sorted = branches;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(branches, sorted);
    for (const auto &row : p.rows) {
        EXPECT_EQ(q(row[0]), QString::fromStdString(tax));
        EXPECT_EQ(q(row[3]), q(expected[q(row[1])])) << q(row[1]).toStdString();
        EXPECT_EQ(q(row[4]), q(describe(row[3])));
        EXPECT_EQ(q(row[2]), q(db().scalar("SELECT NMFILIAL FROM FILIAL WHERE CDFILIAL = $1",
                                           {q(row[1]).toStdString()})));
    }
    for (const char *unknown : {"99", "", "1", "%"})
        EXPECT_TRUE(packet("GetImpFili", strings({unknown})).rows.isEmpty()) << unknown;
}

struct InscCase {
    const char *method;
    const char *table;
    const char *entity;
    const char *key;
    const char *name;
    const char *tradeName;   // shown instead of the name when not blank
};

const InscCase kInscCases[] = {
    {"GetFornInsc", "GRFISIMPIEFORN", "FORNECEDOR", "CDFORNECED", "NMRAZSOCFORN", "NULL"},
    {"GetCliInsc", "GRFISIMPIECLIE", "CLIENTE", "CDCLIENTE", "NMRAZSOCCLIE", "NMFANTCLIE"},
};

TEST_P(ReadTest, InscListsEveryPartyWithItsGroupForTheRegistration)
{
    for (const InscCase &c : kInscCases) {
        SCOPED_TRACE(c.method);
        const auto k = busiestKey(c.table);
        std::map<QString, std::pair<std::optional<std::string>, std::optional<std::string>>> expected;
        int tradeNames = 0;
        for (auto &r : db().query(std::string("SELECT ") + c.key + ", " + c.name + ", " + c.tradeName + " FROM " + c.entity)) {
            const bool trade = r[2] && !QString::fromStdString(*r[2]).trimmed().isEmpty();
            tradeNames += trade;
            expected[q(r[0])] = {trade ? r[2] : r[1], std::nullopt};
        }
        if (QLatin1String(c.tradeName) != QLatin1String("NULL")) {
            EXPECT_GT(tradeNames, 0);
            EXPECT_LT(tradeNames, int(expected.size())) << "some clients have no trade name";
        }
        for (auto &r : db().query(std::string("SELECT ") + c.key + ", CDGRUPOFISC FROM " + c.table
                                      + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3",
                                  {k[0], k[1], k[2]}))
            expected[q(r[0])].second = r[1];

        const Packet p = packet(c.method, strings({k[0].c_str(), k[1].c_str(), k[2].c_str()}));
        ASSERT_EQ(p.rows.size(), qsizetype(expected.size()));
        int withGroup = 0;
        for (const auto &row : p.rows) {
            const QString key = q(row[0]);
            ASSERT_TRUE(expected.count(key)) << key.toStdString();
            EXPECT_EQ(q(row[1]), q(expected[key].first));
            EXPECT_EQ(q(row[4]), q(expected[key].second)) << key.toStdString();
            EXPECT_EQ(q(row[5]), q(describe(row[4])));
            EXPECT_EQ(q(row[6]), QString::fromStdString(k[0]));
            EXPECT_EQ(q(row[7]), QString::fromStdString(k[1]));
            EXPECT_EQ(q(row[8]), QString::fromStdString(k[2]));
            withGroup += row[4].has_value();
        }
        EXPECT_EQ(withGroup, db().count(std::string("SELECT COUNT(*) FROM ") + c.table
                                            + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3",
                                        {k[0], k[1], k[2]}));

        // Each key empty or unknown on its own: no rows.
        for (int i = 0; i < 3; ++i) {
            for (const char *bad : {"", "9"}) {
                auto args = k;
                args[i] = bad;
                EXPECT_TRUE(packet(c.method, strings({args[0].c_str(), args[1].c_str(), args[2].c_str()}))
                                .rows.isEmpty())
                    << "key " << i << " = '" << bad << "'";
            }
        }
    }
}

TEST_P(ReadTest, InscGrupFiltersByGroupSelection)
{
    const std::vector<std::tuple<const char *, const char *, const char *>> cases{
        {"GetFornInscGrup", "GRFISIMPIEFORN", "CDFORNECED"}, {"GetCliInscGrup", "GRFISIMPIECLIE", "CDCLIENTE"}};
    for (const auto &[method, table, key] : cases) {
        SCOPED_TRACE(method);
        const auto k = busiestKey(table);
        const std::string where = " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3";
        const auto byGroup = db().query(std::string("SELECT CDGRUPOFISC, COUNT(*) FROM ") + table + where
                                            + " GROUP BY CDGRUPOFISC ORDER BY CDGRUPOFISC",
                                        {k[0], k[1], k[2]});
        ASSERT_FALSE(byGroup.empty());
        const std::int64_t total = db().count(std::string("SELECT COUNT(*) FROM ") + table + where, {k[0], k[1], k[2]});
        const auto run = [&](const std::string &selection) {
            return packet(method, strings({k[0].c_str(), k[1].c_str(), k[2].c_str(), selection.c_str()}));
        };

        const Packet all = run("T");
        EXPECT_EQ(all.rows.size(), total);
        const QStringList keys = all.columnValues(QString::fromUtf8(key));
        QStringList sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(keys, sorted);
        for (const auto &row : all.rows) {
            EXPECT_EQ(q(row[0]), QString::fromStdString(k[0]));
            EXPECT_EQ(q(row[1]), QString::fromStdString(k[1]));
            EXPECT_EQ(q(row[2]), QString::fromStdString(k[2]));
        }

        const std::string g1 = *byGroup.front()[0];
        const Packet one = run("'" + g1 + "'");
        EXPECT_EQ(one.rows.size(), std::stoll(*byGroup.front()[1]));
        for (const auto &row : one.rows)
            EXPECT_EQ(q(row[4]), QString::fromStdString(g1));

        if (byGroup.size() > 1) {
            const std::string g2 = *byGroup.back()[0];
            EXPECT_EQ(run("'" + g1 + "','" + g2 + "','998'").rows.size(),
                      std::stoll(*byGroup.front()[1]) + std::stoll(*byGroup.back()[1]));
        }
        EXPECT_TRUE(run("").rows.isEmpty());          // nothing chosen
        EXPECT_TRUE(run("'998'").rows.isEmpty());     // a group nobody has
        EXPECT_TRUE(packet(method, strings({"", k[1].c_str(), k[2].c_str(), "T"})).rows.isEmpty());
    }
}

// ---- refused calls ----

struct BadCall {
    const char *method;
    QCborArray args;
    int code;
};

TEST_P(ReadTest, BadArgumentsAreRefused)
{
    const std::vector<BadCall> cases{
        // wrong counts
        {"GetGrupoFiscal", {}, -32602},
        {"GetGrupoFiscal", strings({"001", "002"}), -32602},
        {"GetDados", strings({""}), -32602},
        {"GetFornecedor", strings({"x"}), -32602},
        {"GetImpFili", {}, -32602},
        {"GetFornInsc", strings({"01", "01"}), -32602},
        {"GetCliInsc", strings({"01", "01", "1", "x"}), -32602},
        {"GetFornInscGrup", strings({"01", "01", "1"}), -32602},
        // wrong types
        {"GetGrupoFiscal", {QCborValue(nullptr)}, -32602},
        {"GetGrupoFiscal", {1}, -32602},
        {"GetImpFili", {true}, -32602},
        {"GetFornInsc", {QStringLiteral("01"), 1, QStringLiteral("1")}, -32602},
        {"GetCliInscGrup", {QStringLiteral("01"), QStringLiteral("01"), QStringLiteral("1"), QCborArray{}}, -32602},
        // codes longer than their columns
        {"GetGrupoFiscal", strings({"0001"}), -32602},
        {"GetImpFili", strings({"001"}), -32602},
        {"GetFornInsc", strings({"01", "001", "1"}), -32602},
        {"GetCliInsc", strings({"01", "01", "12345678901234567"}), -32602},
        {"GetFornInscGrup", strings({"001", "01", "1", "T"}), -32602},
        // malformed selections
        {"GetFornInscGrup", strings({"01", "01", "1", "001"}), -32602},
        {"GetCliInscGrup", strings({"01", "01", "1", "'001' OR 1=1"}), -32602},
        {"GetCliInscGrup", strings({"01", "01", "1", "'0001'"}), -32602},
        {"GetCliInscGrup", strings({"01", "01", "1", "X"}), -32602},
        // methods that do not exist, or not on this object
        {"GetNada", {}, -32601},
        {"", {}, -32600},
    };
    for (const BadCall &c : cases) {
        const RpcResult r = call(c.method, c.args);
        EXPECT_EQ(r.errorCode, c.code) << c.method << " " << QCborValue(c.args).toDiagnosticNotation().toStdString();
        if (!r.ok()) {
            EXPECT_FALSE(r.errorMessage.isEmpty());
        }
    }
    const RpcResult tooLong = call("GetGrupoFiscal", strings({"0001"}));
    EXPECT_TRUE(tooLong.errorMessage.contains(QStringLiteral("grupo fiscal"))) << tooLong.errorMessage.toStdString();
}

TEST_P(ReadTest, ObjectsAndMethodNames)
{
    // names match without regard to case
    for (const char *name : {"getdados", "GETDADOS", "GetDados", "gEtDaDoS"}) {
        const RpcResult r = call(name);
        EXPECT_TRUE(r.ok()) << name << ": " << r.errorMessage.toStdString();
    }
    // the automatic-registration object has GetGrupoFiscal and none of the main screen's reads
    EXPECT_TRUE(call("getgrupofiscal", strings({""}), kCadAutParGrpFis).ok());
    EXPECT_EQ(call("GetDados", {}, kCadAutParGrpFis).errorCode, -32601);
    EXPECT_EQ(call("GetDados", {}, "Ger10202.rdmOutro").errorCode, -32601);
}

TEST_P(ReadTest, WriteMethodsNeverSucceedWithoutTheirArguments)
{
    // Absent (-32601) until they are built, then refusing the empty call (-32602); a write
    // that reports success without saving anything is the fault this guards against.
    const std::vector<std::pair<std::string, const char *>> writes{
        {kParamGrupFiscal, "SetFornecedor"}, {kParamGrupFiscal, "SetCliente"}, {kParamGrupFiscal, "SetFilial"},
        {kParamGrupFiscal, "SetTipoOperac"}, {kParamGrupFiscal, "SetOperInter"}, {kParamGrupFiscal, "SetTipoFatur"},
        {kParamGrupFiscal, "SetImpFili"}, {kParamGrupFiscal, "SetFornInsc"}, {kParamGrupFiscal, "SetCliInsc"},
        {kParamGrupFiscal, "setTipoGest"}, {kParamGrupFiscal, "SetUpdateTipoFatur"}, {kParamGrupFiscal, "Replica"},
        {kCadAutParGrpFis, "CadastroAutomatico"}, {kCadAutParGrpFis, "CadAutoImpInscEsta"}};
    for (const auto &[object, method] : writes) {
        const int code = call(method, {}, object).errorCode;
        EXPECT_TRUE(code == -32601 || code == -32602) << method << " gave " << code;
    }
}

TEST_P(ReadTest, HostileKeysAreJustKeys)
{
    const std::int64_t groups = db().count("SELECT COUNT(*) FROM GRUPOFISCAL");
    for (const char *k : {"'", "';", "%", "_", "\\"}) {
        EXPECT_TRUE(packet("GetGrupoFiscal", strings({k})).rows.isEmpty()) << k;
        EXPECT_TRUE(packet("GetFornInsc", strings({k, k, k})).rows.isEmpty()) << k;
    }
    EXPECT_TRUE(packet("GetCliInsc", strings({"01", "01", "' OR '1'='1"})).rows.isEmpty());
    EXPECT_EQ(db().count("SELECT COUNT(*) FROM GRUPOFISCAL"), groups);
}

INSTANTIATE_TEST_SUITE_P(Backends, ReadTest, ::testing::ValuesIn(params()), paramName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReadTest);

} // namespace
