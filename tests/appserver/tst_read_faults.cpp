// Reads when the database misbehaves: bad bytes in a table, connections cut under the server.

#include "testsupport.h"

#include <QCborArray>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

using namespace fiscal::test;

namespace {

class ReadFaultTest : public ::testing::TestWithParam<Backend> {};

TEST_P(ReadFaultTest, InvalidTextInTheDatabaseFailsTheCallInsteadOfSendingIt)
{
    if (GetParam() != Backend::Sqlite)
        GTEST_SKIP() << "PostgreSQL refuses invalid UTF-8 on the way in";
    auto db = TestDb::create(GetParam());
    const std::string supplier = *db->scalar("SELECT MIN(CDFORNECED) FROM FORNECEDOR");
    db->exec("UPDATE FORNECEDOR SET NMRAZSOCFORN = CAST(X'4FC328' AS TEXT) WHERE CDFORNECED = $1", {supplier});
    ServerProcess server(db->url(), ServerOptions{{}, 1, {}, {}});

    for (Encoding enc : {Encoding::Cbor, Encoding::Json}) {
        for (const char *method : {"GetFornecedor", "GetDados"}) {
            const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, method, {}, enc);
            EXPECT_EQ(r.errorCode, -32000) << method;
            EXPECT_TRUE(r.errorMessage.contains(QStringLiteral("NOME"))) << r.errorMessage.toStdString();
        }
        // the same worker, and its connection, go on serving
        EXPECT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetFilial", {}, enc).ok());
    }
}

TEST_P(ReadFaultTest, AConnectionCutUnderTheServerIsReopened)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "needs a database server that can drop a session";
    auto db = TestDb::create(GetParam());
    ServerProcess server(db->url(), ServerOptions{{}, 1, {}, {}});
    ASSERT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetDados").ok());

    const std::string name = db->url().substr(db->url().rfind('/') + 1);
    auto admin = fiscal::storage::open(*postgresClusterUrl());
    auto kill = admin->prepare("SELECT pid, pg_terminate_backend(pid) FROM pg_stat_activity"
                               " WHERE datname = $1 AND pid <> pg_backend_pid()");
    kill->bind(1, name);
    std::vector<pid_t> backends;
    while (kill->step())
        backends.push_back(pid_t(std::stol(std::string(kill->text(0)))));
    ASSERT_FALSE(backends.empty());
    // Gone for good once the process is: it closes its end of the session as it exits.
    for (pid_t pid : backends)
        for (int i = 0; i < 500 && ::kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // The worker sees that its session has ended and opens another before the call.
    for (int i = 0; i < 2; ++i) {
        const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, "GetDados");
        EXPECT_TRUE(r.ok()) << i << ": " << r.errorCode << " " << r.errorMessage.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ReadFaultTest, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ReadFaultTest);

} // namespace
