#include "backendfixture.h"

#include "protocol/lookups.h"
#include "storage/demo.h"

#include <map>
#include <set>

namespace fiscal::storage::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// The screens' own SQL (the module's catalogue, protocol/lookups.h), with named parameters,
// run through translateNamed against the small demo data, the way the client's query
// component runs it.
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

// The statement of that name in the module's catalogue.
const char *sqlOf(const char *name)
{
    return protocol::findLookup(name).sql;
}

namespace lookup = protocol::lookup;
const char *const kQryEmpresa = sqlOf(lookup::kEmpresaOuTodas);
const char *const kQryImp = sqlOf(lookup::kImpostoOuTodos);
const char *const kQryValidImposto = sqlOf(lookup::kImposto);
const char *const kQryValidGrupo = sqlOf(lookup::kGrupoFiscal);
const char *const kQryValidEmpresa = sqlOf(lookup::kEmpresa);

// Every statement of the catalogue runs on this database with every parameter bound, and
// names exactly the parameters its text has, in order: a screen binds them by those names.
TEST_F(ScreenQueryTest, EveryCatalogueStatementRunsWithTheParametersItNames)
{
    ASSERT_FALSE(protocol::allLookups().empty());
    std::set<std::string> names;
    for (const protocol::Lookup &l : protocol::allLookups()) {
        SCOPED_TRACE(l.name);
        EXPECT_TRUE(names.insert(l.name).second) << "named twice";
        const NamedSql named = translateNamed(l.sql);
        std::vector<std::string> expected(l.params.begin(), l.params.end());
        EXPECT_EQ(named.names, expected);
        // Codes "01" (a tax and a company of the demo data); the "all" flags (P_T...) set.
        std::map<std::string, std::string> values;
        bool all = l.params.empty();
        for (const std::string p : l.params) {
            const bool flag = p.starts_with("P_T");
            values[p] = flag ? "T" : "01";
            all = all || flag;
        }
        Rows got;
        ASSERT_NO_THROW(got = run(l.sql, values));
        if (all) {
            EXPECT_FALSE(got.empty()) << "the demo data has rows for every list";
        }
    }
}

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
    const char *qryInscEsta = sqlOf(lookup::kInscricaoDaEmpresaOuTodas);
    const Rows all = run(qryInscEsta, {{"P_CDEMPRESA", "01"}, {"P_CDINSCESTA", ""}, {"P_TCDINSCESTA", "T"}});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_LT(all[0][0], all[1][0]);
    const Rows one = run(qryInscEsta, {{"P_CDEMPRESA", "01"}, {"P_CDINSCESTA", sp}, {"P_TCDINSCESTA", ""}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0][3], "SP");
    EXPECT_EQ(run(qryInscEsta, {{"P_CDEMPRESA", "02"}, {"P_CDINSCESTA", sp}, {"P_TCDINSCESTA", ""}}).size(), 0u)
        << "a registration belongs to its company";

    const char *qryValidInscEstad = sqlOf(lookup::kInscricaoDaEmpresa);
    EXPECT_EQ(run(qryValidInscEstad, {{"P_CDINSCESTA", sp}, {"P_CDEMPRESA", "01"}}), (Rows{{sp}}));

    // Concatenated key of the registration list.
    const char *qryInscrestad = sqlOf(lookup::kInscricoes);
    const Rows list = run(qryInscrestad, {});
    ASSERT_EQ(list.size(), 9u);
    for (const auto &row : list)
        EXPECT_EQ(row[0], row[2] + row[1]);
}

TEST_F(ScreenQueryTest, PartyListsAreOrderedByTaxpayerNumber)
{
    const char *qryCliente = sqlOf(lookup::kClientes);
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
