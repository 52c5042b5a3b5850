// Ger10207.rdmConsultas over real HTTP: only the catalogue's statements run, with exactly
// their parameters, bound as data.

#include "testsupport.h"

#include <QCborArray>
#include <gtest/gtest.h>

using namespace fiscal::test;

namespace {

const std::string kConsultas = "Ger10207.rdmConsultas";

class LookupCallTest : public ::testing::TestWithParam<Backend> {};

TEST_P(LookupCallTest, RefusesWhatIsNotACataloguedStatementAndRunsNothing)
{
    auto db = TestDb::create(GetParam());
    ServerProcess server(db->url());
    const std::int64_t groups = db->count("SELECT COUNT(*) FROM GRUPOFISCAL");
    const struct {
        const char *label;
        QCborArray params;
    } cases[] = {
        {"unknown name", {QStringLiteral("Tabelas"), QCborArray{}}},
        {"name in another case", {QStringLiteral("gruposfiscais"), QCborArray{}}},
        {"SQL as the name", {QStringLiteral("SELECT * FROM GRUPOFISCAL"), QCborArray{}}},
        {"statement after a name", {QStringLiteral("GruposFiscais; DELETE FROM GRUPOFISCAL"), QCborArray{}}},
        {"too few parameters", {QStringLiteral("GrupoFiscal"), QCborArray{}}},
        {"too many parameters", {QStringLiteral("Impostos"), QCborArray{QStringLiteral("01")}}},
        {"parameter not text", {QStringLiteral("GrupoFiscal"), QCborArray{12}}},
        {"parameters not a list", {QStringLiteral("GrupoFiscal"), QStringLiteral("012")}},
        {"name missing", {QCborValue(nullptr), QCborArray{}}},
        {"no parameter list", {QStringLiteral("Impostos")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const RpcResult r = rpcCall(server.port(), kConsultas, "Consulta", c.params);
        EXPECT_EQ(r.errorCode, -32602) << r.errorMessage.toStdString();
    }
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM GRUPOFISCAL"), groups);
}

// A parameter's value is data: quotes and SQL in it find nothing and change nothing;
// null is NULL, which the "or all" statements compare as not 'T'.
TEST_P(LookupCallTest, ParametersAreBoundAsData)
{
    auto db = TestDb::create(GetParam());
    ServerProcess server(db->url());
    const std::int64_t companies = db->count("SELECT COUNT(*) FROM EMPRESA");
    const struct {
        const char *label;
        QCborArray values;
        qsizetype rows;
    } cases[] = {
        {"all", {QStringLiteral(""), QStringLiteral("T")}, qsizetype(companies)},
        {"one", {QStringLiteral("01"), QCborValue(nullptr)}, 1},
        {"quote in the value", {QStringLiteral("01' OR '1'='1"), QStringLiteral("")}, 0},
        {"statement in the value", {QStringLiteral("01'; DELETE FROM EMPRESA; --"), QStringLiteral("")}, 0},
        {"nulls", {QCborValue(nullptr), QCborValue(nullptr)}, 0},
        {"a byte-order mark before the code", {QString(QChar(0xFEFF)) + QStringLiteral("01"), QStringLiteral("")}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        for (Encoding enc : {Encoding::Cbor, Encoding::Json}) {
            const RpcResult r = rpcCall(server.port(), kConsultas, "Consulta",
                                        {QStringLiteral("EmpresaOuTodas"), c.values}, enc);
            ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
            const Packet p = Packet::from(r.result);
            EXPECT_EQ(p.names(), (QStringList{QStringLiteral("CDEMPRESA"), QStringLiteral("NMEMPRESA")}));
            EXPECT_EQ(p.rows.size(), c.rows);
        }
    }
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM EMPRESA"), companies);
}

INSTANTIATE_TEST_SUITE_P(Backends, LookupCallTest, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
