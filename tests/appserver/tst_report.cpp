// Ger10205.rdmRelatorios over real HTTP: the coverage counts against counts made directly
// in SQL (written another way than the server's), and the lists of records without a group
// against the same counts.

#include "testsupport.h"

#include <QCborArray>
#include <gtest/gtest.h>

#include <set>

using namespace fiscal::test;

namespace {

const std::string kRelatorios = "Ger10205.rdmRelatorios";

class ReportTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        db = TestDb::create(GetParam());
        // Some parameter rows gone, so that registrations differ from each other.
        db->exec("DELETE FROM GRFISIMPIECLIE WHERE CDCLIENTE IN (SELECT CDCLIENTE FROM CLIENTE ORDER BY CDCLIENTE LIMIT 5)");
        db->exec("DELETE FROM GRFISCIMPOSFILI WHERE CDFILIAL = (SELECT MIN(CDFILIAL) FROM FILIAL)");
        server = std::make_unique<ServerProcess>(db->url());
    }
    Packet call(const std::string &method, const QCborArray &params = {})
    {
        const RpcResult r = rpcCall(server->port(), kRelatorios, method, params);
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        return r.ok() ? Packet::from(r.result) : Packet{};
    }
    std::int64_t count(const std::string &sql, const TestDb::Row &params = {}) { return db->count(sql, params); }

    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;
};

struct Expected {
    std::string entity, imposto, empresa, insc;
    std::int64_t total, with;
};

TEST_P(ReportTest, CountsAreThoseOfTheDatabase)
{
    std::vector<Expected> expected;
    const std::pair<const char *, const char *> entities[] = {
        {"FORNECEDOR", "FORNECEDOR"}, {"CLIENTE", "CLIENTE"}, {"FILIAL", "FILIAL"},
        {"TIPOOPERAC", "TIPOOPERAC"}, {"TIPOFATUR", "TIPOFATUR"}, {"TPFATURFIS", "TPFATURFIS"}};
    for (const auto &[entity, table] : entities)
        expected.push_back({entity, "", "", "", count(std::string("SELECT COUNT(*) FROM ") + table),
                            count(std::string("SELECT COUNT(*) FROM ") + table + " WHERE CDGRUPOFISC IS NOT NULL")});
    const auto taxes = db->query("SELECT CDIMPOSTO FROM IMPOSTO ORDER BY CDIMPOSTO");
    const auto registrations = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    for (const auto &t : taxes)
        expected.push_back({"GRFISCIMPOSFILI", *t[0], "", "", count("SELECT COUNT(*) FROM FILIAL"),
                            count("SELECT COUNT(*) FROM FILIAL F WHERE EXISTS (SELECT 1 FROM GRFISCIMPOSFILI P"
                                  " WHERE P.CDFILIAL = F.CDFILIAL AND P.CDIMPOSTO = $1)", {t[0]})});
    const std::pair<const char *, const char *> parties[] = {{"GRFISIMPIEFORN", "FORNECEDOR"}, {"GRFISIMPIECLIE", "CLIENTE"}};
    for (const auto &[table, party] : parties) {
        for (const auto &t : taxes) {
            for (const auto &r : registrations) {
                expected.push_back({table, *t[0], *r[0], *r[1], count(std::string("SELECT COUNT(*) FROM ") + party),
                                    count(std::string("SELECT COUNT(*) FROM ") + table
                                              + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3",
                                          {t[0], r[0], r[1]})});
            }
        }
    }

    const Packet p = call("GetCobertura");
    EXPECT_EQ(p.names(), (QStringList{"CDENTIDADE", "CDIMPOSTO", "NMIMPOSTO", "CDEMPRESA", "CDINSCESTA",
                                      "QTREGISTROS", "QTCOMGRUPO", "QTSEMGRUPO"}));
    ASSERT_EQ(p.rows.size(), qsizetype(expected.size()));
    std::int64_t someWithout = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const Expected &e = expected[i];
        const auto &row = p.rows.at(qsizetype(i));
        SCOPED_TRACE(e.entity + " " + e.imposto + " " + e.empresa + " " + e.insc);
        EXPECT_EQ(row.at(0).value_or(QString()).toStdString(), e.entity);
        EXPECT_EQ(row.at(1).value_or(QString()).toStdString(), e.imposto);
        EXPECT_EQ(row.at(3).value_or(QString()).toStdString(), e.empresa);
        EXPECT_EQ(row.at(4).value_or(QString()).toStdString(), e.insc);
        EXPECT_EQ(row.at(5).value_or(QString()).toLongLong(), e.total);
        EXPECT_EQ(row.at(6).value_or(QString()).toLongLong(), e.with);
        EXPECT_EQ(row.at(7).value_or(QString()).toLongLong(), e.total - e.with);
        someWithout += e.total - e.with;
    }
    EXPECT_GT(someWithout, 0) << "the demo should leave records without a group";
}

// The list of a row holds exactly the records the row counts as without a group.
TEST_P(ReportTest, ListsAreTheRecordsCountedWithout)
{
    // Clients with a blank trade name are named by their legal name, never left nameless.
    const auto firstClients = db->query("SELECT CDCLIENTE FROM CLIENTE ORDER BY CDCLIENTE LIMIT 2");
    ASSERT_EQ(firstClients.size(), 2u);
    db->exec("UPDATE CLIENTE SET NMFANTCLIE = '', CDGRUPOFISC = NULL WHERE CDCLIENTE = $1", {firstClients[0][0]});
    db->exec("UPDATE CLIENTE SET NMFANTCLIE = '  ', CDGRUPOFISC = NULL WHERE CDCLIENTE = $1", {firstClients[1][0]});
    const Packet coverage = call("GetCobertura");
    const auto tax = db->scalar("SELECT MIN(CDIMPOSTO) FROM IMPOSTO");
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA LIMIT 1").at(0);
    const struct { QString entity, imposto, empresa, insc; std::string sql; TestDb::Row params; } cases[] = {
        {"FORNECEDOR", "", "", "", "SELECT CDFORNECED FROM FORNECEDOR WHERE CDGRUPOFISC IS NULL", {}},
        {"CLIENTE", "", "", "", "SELECT CDCLIENTE FROM CLIENTE WHERE CDGRUPOFISC IS NULL", {}},
        {"TIPOFATUR", "", "", "", "SELECT CDTIPOFATUR FROM TIPOFATUR WHERE CDGRUPOFISC IS NULL", {}},
        {"GRFISCIMPOSFILI", QString::fromStdString(*tax), "", "",
         "SELECT CDFILIAL FROM FILIAL WHERE CDFILIAL NOT IN (SELECT CDFILIAL FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = $1)", {tax}},
        {"GRFISIMPIECLIE", QString::fromStdString(*tax), QString::fromStdString(*reg[0]), QString::fromStdString(*reg[1]),
         "SELECT CDCLIENTE FROM CLIENTE WHERE CDCLIENTE NOT IN (SELECT CDCLIENTE FROM GRFISIMPIECLIE"
         " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3)", {tax, reg[0], reg[1]}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.entity.toStdString());
        const Packet list = call("GetSemGrupo", {c.entity, c.imposto, c.empresa, c.insc});
        EXPECT_EQ(list.names(), (QStringList{"CODIGO", "NOME", "NRINSJUR", "IDTPIJUR"}));
        std::set<std::string> got, want;
        for (const QString &code : list.columnValues(QStringLiteral("CODIGO")))
            got.insert(code.toStdString());
        for (const auto &r : db->query(c.sql, c.params))
            want.insert(*r[0]);
        EXPECT_EQ(got, want);
        EXPECT_EQ(got.size(), size_t(list.rows.size())) << "a record listed twice";
        if (c.entity == QLatin1String("CLIENTE") || c.entity == QLatin1String("GRFISIMPIECLIE")) {
            for (const QString &name : list.columnValues(QStringLiteral("NOME")))
                EXPECT_FALSE(name.trimmed().isEmpty()) << "a client listed without a name";
        }
        qsizetype counted = -1;
        for (const auto &row : coverage.rows) {
            if (row.at(0) == c.entity && row.at(1).value_or(QString()) == c.imposto
                && row.at(3).value_or(QString()) == c.empresa && row.at(4).value_or(QString()) == c.insc)
                counted = row.at(7)->toLongLong();
        }
        EXPECT_EQ(counted, list.rows.size());
    }
}

TEST_P(ReportTest, ArgumentsAreCheckedNotGuessed)
{
    const struct { QCborArray params; int code; } refused[] = {
        {{"PRODUTO", "", "", ""}, -32602},          // unknown entity
        {{"FILIAL", "01", "", ""}, -32602},         // a tax the entity does not use
        {{"GRFISCIMPOSFILI", "", "", ""}, -32602},  // the tax it needs
        {{"GRFISIMPIEFORN", "01", "01", ""}, -32602},
        {{"GRFISCIMPOSFILI", "123", "", ""}, -32602},   // too long for a tax code
        {{"FILIAL"}, -32602},
    };
    for (const auto &r : refused) {
        const RpcResult res = rpcCall(server->port(), kRelatorios, "GetSemGrupo", r.params);
        EXPECT_EQ(res.errorCode, r.code) << QCborValue(r.params).toDiagnosticNotation().toStdString();
    }
    EXPECT_EQ(rpcCall(server->port(), kRelatorios, "GetCobertura", {"x"}).errorCode, -32602);
    // An unknown tax lists nothing rather than every branch.
    EXPECT_TRUE(call("GetSemGrupo", {"GRFISCIMPOSFILI", "99", "", ""}).rows.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backends, ReportTest, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
