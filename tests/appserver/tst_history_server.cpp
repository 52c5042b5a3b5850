// The history's server side: whose name an operation carries (tokens file, shared token,
// declared name), the schema migrated in place by --init, the retention of old operations.

#include "historysupport.h"

#include <QCryptographicHash>
#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <fstream>

using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace fiscal::test::history;
namespace fs = std::filesystem;

namespace {

// Changes at least client 00000001 when it has group 001.
const QCborArray kSomeChange = strings({"CLIENTE", "002", "", "T", "", "", ""});
const char *kResetSql = "UPDATE CLIENTE SET CDGRUPOFISC = '001' WHERE CDCLIENTE = '00000001'";

std::string writeFile(const std::string &name, const std::string &text)
{
    static const QTemporaryDir dir;   // removed when the tests end; a folder per run was left behind
    const fs::path path = fs::path(dir.path().toStdString()) / name;
    std::ofstream(path) << text;
    return path.string();
}

std::string sha256(const char *token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex().toStdString();
}

std::optional<std::string> lastUser(const TestDb &db)
{
    return db.scalar("SELECT NMUSUARIO FROM HISTOPERACAO ORDER BY IDOPERACAO DESC LIMIT 1");
}

class HistoryServer : public ::testing::TestWithParam<Backend> {};

struct Caller {
    const char *what;
    const char *declared;
    const char *token;
    int code;
    const char *recorded;   // nullptr: nothing recorded
};

TEST_P(HistoryServer, TheTokensUserIsRecordedNeverTheDeclaredName)
{
    auto db = TestDb::create(GetParam());
    const std::string tokens = writeFile("tokens", "# usuário:sha256 do token\n\nana:" + sha256("tok-ana")
                                                       + "\n  beto : " + sha256("tok-beto") + "  \n");
    ServerProcess server(db->url(), {.token = "compartilhado-entre-todos-os-usuarios", .extraArgs = {"--tokens", tokens}});
    const std::vector<Caller> cases{
        {"ana's token, another name declared", "beto", "tok-ana", 0, "ana"},
        {"beto's token, no name", "", "tok-beto", 0, "beto"},
        {"the shared token: never the declared name", "Conceição", "compartilhado-entre-todos-os-usuarios", 0, "token"},
        {"an unknown token", "ana", "tok-nobody", -32004, nullptr},
        {"no token at all", "ana", "", -32004, nullptr},
    };
    for (const Caller &c : cases) {
        SCOPED_TRACE(c.what);
        const auto before = db->count("SELECT COUNT(*) FROM HISTOPERACAO");
        db->exec(kResetSql);
        const RpcResult r = rpcCallAs(c.declared, server.port(), kCadAutParGrpFis, "CadastroAutomatico", kSomeChange, c.token);
        EXPECT_EQ(r.errorCode, c.code) << r.errorMessage.toStdString();
        EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), before + (c.recorded ? 1 : 0));
        if (c.recorded) {
            EXPECT_EQ(lastUser(*db), c.recorded);
        }
    }
}

TEST_P(HistoryServer, WithoutTokensTheDeclaredNameIsRecordedAndAMalformedOneRefused)
{
    auto db = TestDb::create(GetParam());
    ServerProcess server(db->url());
    ASSERT_TRUE(rpcCallAs("joão.silva", server.port(), kCadAutParGrpFis, "CadastroAutomatico", kSomeChange).ok());
    EXPECT_EQ(lastUser(*db), recordedAs("joão.silva"));
    for (const std::string &bad : std::vector<std::string>{"%ZZ", "a%0Ab", "%C3", std::string(65, 'x')}) {
        const HttpResponse r = httpPost(server.port(), "/rpc/" + kCadAutParGrpFis,
                                        R"({"jsonrpc":"2.0","method":"CadastroAutomatico","params":[],"id":1})",
                                        "application/json", {{"X-Fiscal-User", bad}});
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(decodeReply(r).errorCode, -32600) << bad;
    }
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 1);
}

TEST_P(HistoryServer, AnOlderSchemaIsMigratedByInitAndNeitherAnOlderNorANewerOneServed)
{
    auto db = TestDb::create(GetParam());
    for (const char *table : {"HISTITEM", "HISTOPERACAO", "VERSAOESQUEMA"})
        db->exec(std::string("DROP TABLE ") + table);
    const std::string data = snapshot(*db);
    const ExitResult old = runServer({"--db", db->url(), "--listen", "127.0.0.1:0"});
    EXPECT_EQ(old.code, 1);
    EXPECT_NE(old.err.find("version 1 and this program serves version " + std::to_string(fiscal::storage::kSchemaVersion) + ": run fiscal-server migrate"), std::string::npos)
        << old.err;
    {
        ServerProcess server(db->url(), {.extraArgs = {"--init"}});
        EXPECT_EQ(db->scalar("SELECT NRVERSAO FROM VERSAOESQUEMA"), std::to_string(fiscal::storage::kSchemaVersion));
        EXPECT_EQ(snapshot(*db), data);
        ASSERT_TRUE(rpcCallAs("ana", server.port(), kCadAutParGrpFis, "CadastroAutomatico", kSomeChange).ok());
        EXPECT_EQ(lastUser(*db), recordedAs("ana"));
        server.stop();
    }
    // --init again changes nothing; a schema from a newer program is left alone.
    EXPECT_EQ(runServer({"--db", db->url(), "--init"}).code, 0);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 1);
    db->exec("UPDATE VERSAOESQUEMA SET NRVERSAO = 99");
    for (const auto &args : {std::vector<std::string>{"--db", db->url(), "--init"},
                             std::vector<std::string>{"--db", db->url(), "--listen", "127.0.0.1:0"}}) {
        const ExitResult r = runServer(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("newer"), std::string::npos) << r.err;
    }
    EXPECT_EQ(db->scalar("SELECT NRVERSAO FROM VERSAOESQUEMA"), "99");
}

TEST_P(HistoryServer, AVersionTwoHistoryIsStillReadAfterTheMigration)
{
    auto db = TestDb::create(GetParam());
    // The history as version 2 left it: no FLLOTE, every item in the record index.
    for (const char *sql : {"DROP INDEX IX_HISTITEM_REGISTRO", "DROP INDEX IX_HISTOPERACAO_LOTE",
                            "ALTER TABLE HISTITEM DROP COLUMN FLLOTE", "ALTER TABLE HISTOPERACAO DROP COLUMN FLLOTE",
                            "ALTER TABLE HISTOPERACAO DROP COLUMN DSENDERECO",
                            "CREATE INDEX IX_HISTITEM_REGISTRO ON HISTITEM (NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3,"
                            " CDCHAVE4, IDOPERACAO)",
                            "UPDATE VERSAOESQUEMA SET NRVERSAO = 2",
                            "INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS,"
                            " QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS) VALUES (7, '2026-01-01T00:00:00.000Z', 'ana',"
                            " 'SetCliente', '[1]', 1, 0, 0)",
                            "INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4,"
                            " CDGRUPOANT, CDGRUPONOVO, IDACAO) VALUES (7, 'CLIENTE', '00000001', '', '', '', '001',"
                            " '002', 'A')"})
        db->exec(sql);
    ServerProcess server(db->url(), {.extraArgs = {"--init"}});
    EXPECT_EQ(db->scalar("SELECT NRVERSAO FROM VERSAOESQUEMA"), std::to_string(fiscal::storage::kSchemaVersion));
    const RpcResult h = rpcCall(server.port(), kHistorico, "GetHistoricoRegistro", strings({"CLIENTE", "'00000001'"}));
    ASSERT_TRUE(h.ok()) << h.errorMessage.toStdString();
    EXPECT_EQ(Packet::from(h.result).columnValues("IDOPERACAO"), QStringList({"7"}));
}

// Pruned in short transactions: more old operations than one batch takes, one of them with
// more items than one batch deletes, and items an interrupted round left behind.
TEST_P(HistoryServer, OperationsOlderThanTheRetentionArePruned)
{
    auto db = TestDb::create(GetParam());
    const std::string op = "INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS,"
                           " QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS) ";
    const std::string item = "INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4,"
                             " CDGRUPOANT, CDGRUPONOVO, IDACAO) ";
    // 1,201 old operations (3 and 10..1209), one young (5000); items: 45,000 of operation 3,
    // one of each other, and three of operation 2, whose operation is already gone.
    db->exec("WITH RECURSIVE n(i) AS (SELECT 10 UNION ALL SELECT i + 1 FROM n WHERE i < 1209) " + op
             + "SELECT i, '2020-01-01T00:00:00.000Z', 'ana', 'SetCliente', '[1]', 1, 0, 0 FROM n");
    db->exec(op + "VALUES (3, '2020-01-01T00:00:00.000Z', 'ana', 'CadastroAutomatico', '[1]', 45000, 0, 0)");
    db->exec(op + "VALUES (5000, '2999-01-01T00:00:00.000Z', 'ana', 'SetCliente', '[1]', 1, 0, 0)");
    // Numbered after the young one though stamped long before (it waited for a lock): kept, or
    // the history kept would lack an operation after its first.
    db->exec(op + "VALUES (6000, '2020-01-01T00:00:00.000Z', 'ana', 'CadastroAutomatico', '[1]', 1, 0, 0)");
    db->exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 45000) " + item
             + "SELECT 3, 'CLIENTE', CAST(100000 + i AS VARCHAR(21)), '', '', '', '001', '002', 'A' FROM n");
    db->exec(item + "SELECT IDOPERACAO, 'CLIENTE', '00000001', '', '', '', '001', '002', 'A' FROM HISTOPERACAO"
                    " WHERE IDOPERACAO <> 3");
    db->exec(item + "VALUES (2, 'CLIENTE', '00000001', '', '', '', '001', '002', 'A'), (2, 'CLIENTE', '00000002', '',"
                    " '', '', '001', '002', 'A'), (2, 'FILIAL', '0001', '', '', '', NULL, '002', 'A')");
    ServerProcess server(db->url(), {.extraArgs = {"--history-days", "30"}});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (db->count("SELECT COUNT(*) FROM HISTITEM") > 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 2);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTITEM"), 2);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO IN (5000, 6000)"), 2);
    if (GetParam() == Backend::Postgres) {
        // Nothing held for the hour to the next round, which the database's idle timeout
        // would cut. No call has been made: the server's one connection left is /health's.
        const std::string others = "SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database()"
                                   " AND pid <> pg_backend_pid() AND application_name <> 'fiscal-server health'";
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (db->count(others) > 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(db->count(others), 0);
    }
}

TEST_P(HistoryServer, ABadTokensFileIsAWrongSetting)
{
    auto db = TestDb::create(GetParam(), Demo::None);
    for (const std::string &text : std::vector<std::string>{"ana\n", "ana:abc\n", ":" + sha256("x") + "\n", ""}) {
        const ExitResult r = runServer({"--db", db->url(), "--listen", "127.0.0.1:0", "--tokens", writeFile("bad", text)});
        EXPECT_EQ(r.code, 2) << text;
    }
    EXPECT_EQ(runServer({"--db", db->url(), "--listen", "127.0.0.1:0", "--tokens", "/nonexistent/tokens"}).code, 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, HistoryServer, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
