#include "backendfixture.h"

#include "storage/demo.h"
#include "storage/documents.h"

namespace fiscal::storage::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

class DemoTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        populateDemo(*db, DemoSize::Small);
    }
};

TEST_F(DemoTest, SmallSetHasTheDocumentedCounts)
{
    const std::pair<const char *, const char *> counts[] = {
        {"GRUPOFISCAL", "12"}, {"IMPOSTO", "8"},         {"EMPRESA", "3"},         {"INSCRESTAD", "9"},
        {"FILIAL", "8"},       {"TIPOOPERAC", "10"},     {"TIPOFATUR", "9"},       {"PARAMFILIAL", "72"},
        {"PARAMGERAL", "1"},   {"TPFATURFIS", "6"},      {"FORNECEDOR", "30"},     {"CLIENTE", "40"},
        {"GRFISCIMPOSFILI", "48"}, {"GRFISIMPIEFORN", "233"}, {"GRFISIMPIECLIE", "206"},
    };
    for (const auto &[table, expected] : counts)
        EXPECT_EQ(scalar(*db, std::string("SELECT COUNT(*) FROM ") + table), expected) << table;
}

TEST_F(DemoTest, TaxpayerNumbersMatchTheirPersonType)
{
    const char *queries[] = {
        "SELECT IDTPIJURFORN, NRINSJURFORN, CDFORNECED FROM FORNECEDOR",
        "SELECT IDTPIJURCLIE, NRINSJURCLIE, CDCLIENTE FROM CLIENTE",
        "SELECT IDTPIJURIEST, NRINSJURIEST, CDINSCESTA FROM INSCRESTAD",
    };
    for (const char *sql : queries) {
        SCOPED_TRACE(sql);
        int people = 0, companies = 0;
        for (const auto &row : rows(*db, sql)) {
            if (row[0] == "F") {
                ++people;
                EXPECT_TRUE(isValidCpf(row[1])) << row[2] << " " << row[1];
            } else {
                ++companies;
                EXPECT_EQ(row[0], "J");
                EXPECT_TRUE(isValidCnpj(row[1])) << row[2] << " " << row[1];
            }
        }
        EXPECT_GT(people, 0);
        EXPECT_GT(companies, 0);
    }
}

TEST_F(DemoTest, CodesAreStoredAtTheirWidth)
{
    const std::pair<const char *, int> widths[] = {
        {"SELECT CDGRUPOFISC FROM GRUPOFISCAL", 3}, {"SELECT CDIMPOSTO FROM IMPOSTO", 2},
        {"SELECT CDEMPRESA FROM EMPRESA", 2},       {"SELECT CDFILIAL FROM FILIAL", 4},
        {"SELECT CDTIPOOPER FROM TIPOOPERAC", 2},    {"SELECT CDTIPOFATUR FROM TIPOFATUR", 3},
        {"SELECT CDTPFATURFIS FROM TPFATURFIS", 5},  {"SELECT CDFORNECED FROM FORNECEDOR", kDemoPartyCodeWidth},
        {"SELECT CDCLIENTE FROM CLIENTE", kDemoPartyCodeWidth},
    };
    for (const auto &[sql, width] : widths) {
        for (const auto &row : rows(*db, sql)) {
            EXPECT_EQ(static_cast<int>(row[0].size()), width) << sql << ": " << row[0];
            EXPECT_EQ(row[0].find_first_not_of("0123456789"), std::string::npos) << row[0];
        }
    }
    for (const auto &row : rows(*db, "SELECT CDINSCESTA, SGESTADO FROM INSCRESTAD")) {
        EXPECT_LE(row[0].size(), 16u);
        EXPECT_EQ(row[1].size(), 2u);
    }
}

TEST_F(DemoTest, DocumentedFactsHold)
{
    struct Case {
        const char *sql;
        Rows expected;
    };
    const Case cases[] = {
        {"SELECT IDTPIJURFORN, CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED IN ('00000001', '00000004', "
         "'00000005') ORDER BY CDFORNECED",
         {{"J", "001"}, {"F", "004"}, {"J", "<null>"}}},
        {"SELECT IDTPIJURCLIE, CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE IN ('00000001', '00000003', '00000004') "
         "ORDER BY CDCLIENTE",
         {{"J", "004"}, {"F", "006"}, {"J", "<null>"}}},
        {"SELECT CDFILIAL, CDEMPRESA, NMFILIAL, CDGRUPOFISC FROM FILIAL WHERE CDFILIAL IN ('0001', '0004') "
         "ORDER BY CDFILIAL",
         {{"0001", "01", "Matriz São Paulo", "001"}, {"0004", "01", "Filial Belo Horizonte", "<null>"}}},
        {"SELECT CDTIPOOPER, NMTIPOOPER, IDENTRSAIDOP, CDGRUPOFISC FROM TIPOOPERAC WHERE CDTIPOOPER IN ('01', '03') "
         "ORDER BY 1",
         {{"01", "Venda de mercadoria", "S", "001"}, {"03", "Devolução de venda", "E", "<null>"}}},
        {"SELECT CDTIPOFATUR, CDGRUPOFISC FROM TIPOFATUR WHERE CDTIPOFATUR IN ('001', '009') ORDER BY 1",
         {{"001", "001"}, {"009", "<null>"}}},
        {"SELECT CDFILIAL, CDTIPOFATUR, CDGRUPOFISC FROM PARAMFILIAL WHERE CDTIPOFATUR = '002' "
         "AND CDFILIAL IN ('0001', '0004') ORDER BY 1",
         {{"0001", "002", "002"}, {"0004", "002", "<null>"}}},
        {"SELECT CDPARGERAL, DSPARGERFIS FROM PARAMGERAL", {{"OPIN", "003"}}},
        {"SELECT CDTPFATURFIS, NMTPFATURFIS, CDGRUPOFISC FROM TPFATURFIS WHERE CDTPFATURFIS IN ('00001', '00003') "
         "ORDER BY 1",
         {{"00001", "Faturamento normal", "001"}, {"00003", "Bonificação e brindes", "<null>"}}},
        {"SELECT CDFILIAL, CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '01' AND CDFILIAL <= '0004' ORDER BY 1",
         {{"0001", "003"}, {"0002", "004"}, {"0004", "006"}}},
        {"SELECT G.CDFORNECED, G.CDGRUPOFISC FROM GRFISIMPIEFORN G JOIN INSCRESTAD I ON I.CDEMPRESA = G.CDEMPRESA "
         "AND I.CDINSCESTA = G.CDINSCESTA WHERE G.CDIMPOSTO = '01' AND G.CDEMPRESA = '01' AND I.SGESTADO = 'SP' "
         "AND G.CDFORNECED <= '00000007' ORDER BY 1",
         {{"00000001", "005"}, {"00000002", "006"}, {"00000003", "007"}, {"00000004", "008"}, {"00000005", "009"},
          {"00000007", "011"}}},
        {"SELECT CDIMPOSTO, SGIMPOSTO, NMIMPOSTO FROM IMPOSTO WHERE CDIMPOSTO IN ('01', '05') ORDER BY 1",
         {{"01", "ICMS", "ICMS Próprio"}, {"05", "ISS", "Imposto sobre Serviços"}}},
        {"SELECT CDEMPRESA, NMEMPRESA FROM EMPRESA ORDER BY 1",
         {{"01", "Alimentos Conceição"}, {"02", "Araújo & Filhos Distribuidora"}, {"03", "Serviços Gerais São João"}}},
        {"SELECT CDEMPRESA, SGESTADO, IDTPIJURIEST FROM INSCRESTAD ORDER BY CDEMPRESA, SGESTADO",
         {{"01", "MG", "J"}, {"01", "RJ", "J"}, {"01", "SP", "J"}, {"02", "BA", "J"}, {"02", "PE", "J"},
          {"02", "SP", "J"}, {"03", "PR", "J"}, {"03", "RS", "J"}, {"03", "SC", "F"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sql);
        EXPECT_EQ(rows(*db, c.sql), c.expected);
    }
}

TEST_F(DemoTest, SameRowsOnEveryRun)
{
    auto other = openOtherDatabase();
    populateDemo(*other, DemoSize::Small);
    const char *dumps[] = {
        "SELECT * FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA",
        "SELECT * FROM FORNECEDOR ORDER BY CDFORNECED",
        "SELECT * FROM CLIENTE ORDER BY CDCLIENTE",
        "SELECT * FROM GRFISIMPIECLIE ORDER BY CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDCLIENTE",
    };
    for (const char *sql : dumps)
        EXPECT_EQ(rows(*db, sql), rows(*other, sql)) << sql;
}

TEST_F(DemoTest, RefusesADatabaseWithData)
{
    try {
        populateDemo(*db, DemoSize::Small);
        FAIL() << "populated twice";
    } catch (const Error &e) {
        EXPECT_NE(std::string(e.what()).find("already holds data"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(db->inTransaction());
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM FORNECEDOR"), "30");
}

} // namespace
} // namespace fiscal::storage::test

namespace fiscal::storage::test {
namespace {

class LargeDemoTest : public BackendTest {};

TEST_F(LargeDemoTest, LoadsEveryRowWithIndexesAndConsistentKeys)
{
    populateDemo(*db, DemoSize::Large);
    const std::pair<const char *, const char *> counts[] = {
        {"GRUPOFISCAL", "60"},     {"IMPOSTO", "20"},          {"EMPRESA", "10"},         {"INSCRESTAD", "270"},
        {"FILIAL", "500"},         {"TIPOOPERAC", "99"},       {"TIPOFATUR", "9"},        {"PARAMFILIAL", "4500"},
        {"TPFATURFIS", "50"},      {"FORNECEDOR", "100000"},   {"CLIENTE", "500000"},     {"GRFISCIMPOSFILI", "7500"},
        {"GRFISIMPIEFORN", "630000"}, {"GRFISIMPIECLIE", "2250000"},
    };
    for (const auto &[table, expected] : counts)
        EXPECT_EQ(scalar(*db, std::string("SELECT COUNT(*) FROM ") + table), expected) << table;
    // One registration per state for every company.
    EXPECT_EQ(scalar(*db, "SELECT COUNT(DISTINCT SGESTADO) FROM INSCRESTAD WHERE CDEMPRESA = '10'"), "27");
    // The indexes dropped for the load are back (7), beside the history's three and the users' three.
    const std::string indexQuery = isPostgres()
        ? "SELECT COUNT(*) FROM pg_indexes WHERE schemaname = current_schema() AND indexname LIKE 'ix_%'"
        : "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'IX_%'";
    EXPECT_EQ(scalar(*db, indexQuery), "13");
    // Orphans would mean the load went around the foreign keys.
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM GRFISIMPIECLIE g WHERE NOT EXISTS "
                          "(SELECT 1 FROM CLIENTE c WHERE c.CDCLIENTE = g.CDCLIENTE)"),
              "0");
    // The keys are still enforced after the load.
    EXPECT_THROW(db->prepare("INSERT INTO GRFISIMPIECLIE VALUES ('01', '01', 'x', '99999999', '001')")->execute(),
                 Error);
}

} // namespace
} // namespace fiscal::storage::test
