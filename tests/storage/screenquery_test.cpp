#include "backendfixture.h"

#include "storage/demo.h"

#include <map>

namespace fiscal::storage::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// The screens' own SQL, with named parameters, run through translateNamed against the
// small demo data, the way the client's query component runs it.
class ScreenQueryTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        populateDemo(*db, DemoSize::Small);
    }

    Rows run(std::string_view namedSql, const std::map<std::string, std::string> &params)
    {
        const NamedSql named = translateNamed(namedSql);
        std::vector<std::optional<std::string>> values;
        for (const std::string &name : named.names) {
            const auto it = params.find(name);
            if (it == params.end())
                throw std::runtime_error("no value for " + name);
            values.emplace_back(it->second);
        }
        return rows(*db, named.sql, values);
    }

    std::string registration(const char *company, const char *uf)
    {
        return scalar(*db, "SELECT CDINSCESTA FROM INSCRESTAD WHERE CDEMPRESA = $1 AND SGESTADO = $2",
                      {std::string(company), std::string(uf)});
    }
};

constexpr const char *kQryEmpresa =
    "SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E WHERE (E.CDEMPRESA = :P_CDEMPRESA OR :P_TCDEMPRESA = 'T') "
    "ORDER BY E.CDEMPRESA";
constexpr const char *kQryImp =
    "SELECT I.CDIMPOSTO, I.NMIMPOSTO FROM IMPOSTO I WHERE (I.CDIMPOSTO = :P_CDIMPOSTO OR :P_TCDIMPOSTO = 'T') "
    "ORDER BY I.CDIMPOSTO";
constexpr const char *kQryImposto = "SELECT CDIMPOSTO, NMIMPOSTO\n  FROM IMPOSTO\n"
                                    " WHERE ((CDIMPOSTO = :P_CDIMPOSTO) OR (:P_TCDIMPOSTO = 'T'))\nORDER BY CDIMPOSTO";
constexpr const char *kQryValidImposto = "SELECT\n   CDIMPOSTO,\n   NMIMPOSTO\nFROM\n   IMPOSTO\nWHERE\n"
                                         "   (CDIMPOSTO = :P_CDIMPOSTO)";
constexpr const char *kQryValidGrupo = "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = :P_CDGRUPOFISC";
constexpr const char *kQryValidEmpresa = "SELECT CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR FROM EMPRESA WHERE (CDEMPRESA = "
                                         ":P_CDEMPRESA) ORDER BY CDEMPRESA";

TEST_F(ScreenQueryTest, CodeOrAllQueriesGiveTheRightRows)
{
    struct Case {
        const char *label;
        const char *sql;
        std::map<std::string, std::string> params;
        Rows expected;
    };
    const Rows allCompanies = {{"01", "Alimentos Conceição"},
                               {"02", "Araújo & Filhos Distribuidora"},
                               {"03", "Serviços Gerais São João"}};
    const Case cases[] = {
        {"company list: empty code, flag T", kQryEmpresa, {{"P_CDEMPRESA", ""}, {"P_TCDEMPRESA", "T"}}, allCompanies},
        {"company check: code, empty flag", kQryEmpresa, {{"P_CDEMPRESA", "02"}, {"P_TCDEMPRESA", ""}},
         {{"02", "Araújo & Filhos Distribuidora"}}},
        {"company check: unknown code", kQryEmpresa, {{"P_CDEMPRESA", "99"}, {"P_TCDEMPRESA", ""}}, {}},
        {"company check: unpadded code finds nothing", kQryEmpresa, {{"P_CDEMPRESA", "2"}, {"P_TCDEMPRESA", ""}}, {}},
        {"tax list", kQryImp, {{"P_CDIMPOSTO", ""}, {"P_TCDIMPOSTO", "T"}}, {}},
        {"tax check", kQryImp, {{"P_CDIMPOSTO", "05"}, {"P_TCDIMPOSTO", ""}}, {{"05", "Imposto sobre Serviços"}}},
        {"tax check, multi-line text", kQryImposto, {{"P_CDIMPOSTO", "01"}, {"P_TCDIMPOSTO", ""}},
         {{"01", "ICMS Próprio"}}},
        {"tax validation", kQryValidImposto, {{"P_CDIMPOSTO", "03"}}, {{"03", "PIS/PASEP"}}},
        {"tax validation, unknown", kQryValidImposto, {{"P_CDIMPOSTO", "55"}}, {}},
        {"group validation", kQryValidGrupo, {{"P_CDGRUPOFISC", "012"}}, {{"012", "Órgão público"}}},
        {"company validation", kQryValidEmpresa, {{"P_CDEMPRESA", "01"}},
         {{"01", "Alimentos Conceição", "Alimentos Conceição Ltda."}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const Rows got = run(c.sql, c.params);
        if (std::string(c.label) == "tax list") {
            ASSERT_EQ(got.size(), 8u);
            EXPECT_EQ(got.front().front(), "01");
            EXPECT_EQ(got.back().front(), "08");
            continue;
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(ScreenQueryTest, RegistrationQueries)
{
    const std::string sp = registration("01", "SP");
    const char *qryInscEsta =
        "SELECT I.CDINSCESTA, I.NRINSJURIEST, I.NMREPRINSEST, I.SGESTADO, I.IDTPIJURIEST FROM INSCRESTAD I "
        "WHERE I.CDEMPRESA = :P_CDEMPRESA AND (I.CDINSCESTA = :P_CDINSCESTA OR :P_TCDINSCESTA = 'T') "
        "ORDER BY I.CDINSCESTA";
    const Rows all = run(qryInscEsta, {{"P_CDEMPRESA", "01"}, {"P_CDINSCESTA", ""}, {"P_TCDINSCESTA", "T"}});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_LT(all[0][0], all[1][0]);
    const Rows one = run(qryInscEsta, {{"P_CDEMPRESA", "01"}, {"P_CDINSCESTA", sp}, {"P_TCDINSCESTA", ""}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0][3], "SP");
    EXPECT_EQ(run(qryInscEsta, {{"P_CDEMPRESA", "02"}, {"P_CDINSCESTA", sp}, {"P_TCDINSCESTA", ""}}).size(), 0u)
        << "a registration belongs to its company";

    const char *qryValidInscEstad = "SELECT CDINSCESTA FROM INSCRESTAD WHERE (CDINSCESTA = :P_CDINSCESTA ) AND "
                                    "(CDEMPRESA = :P_CDEMPRESA) ORDER BY CDINSCESTA";
    EXPECT_EQ(run(qryValidInscEstad, {{"P_CDINSCESTA", sp}, {"P_CDEMPRESA", "01"}}), (Rows{{sp}}));

    // Concatenated key of the registration list.
    const char *qryInscrestad = "SELECT\n   CDEMPRESA||CDINSCESTA AS COD,\n   CDINSCESTA, CDEMPRESA, NRINSJURIEST,\n"
                                "   NMREPRINSEST, IDTPIJURIEST\nFROM\n   INSCRESTAD\nORDER BY\n   CDEMPRESA, CDINSCESTA";
    const Rows list = run(qryInscrestad, {});
    ASSERT_EQ(list.size(), 9u);
    for (const auto &row : list)
        EXPECT_EQ(row[0], row[2] + row[1]);
}

TEST_F(ScreenQueryTest, PartyListsAreOrderedByTaxpayerNumber)
{
    const char *qryCliente = "SELECT CDCLIENTE, IDTPIJURCLIE, NMRAZSOCCLIE, NRINSJURCLIE\n  FROM CLIENTE\nORDER BY NRINSJURCLIE";
    const Rows clients = run(qryCliente, {});
    ASSERT_EQ(clients.size(), 40u);
    for (std::size_t i = 1; i < clients.size(); ++i)
        EXPECT_LT(clients[i - 1][3], clients[i][3]);
    auto s = db->prepare(translateNamed(qryCliente).sql);
    ASSERT_TRUE(s->step());
    EXPECT_EQ(s->columnName(3), "NRINSJURCLIE");
}

} // namespace
} // namespace fiscal::storage::test
