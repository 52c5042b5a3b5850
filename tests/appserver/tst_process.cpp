// The fiscal-server process: its command line, --init, the bearer token, stopping.

#include "testsupport.h"

#include <QCborArray>
#include <QUrl>
#include <QUrlQuery>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fiscal::test;
namespace fs = std::filesystem;

namespace {

// A folder of its own in the system's temporary folder (another user may be let in), removed
// when the tests end.
std::string tempDir()
{
    static struct Made {
        std::vector<fs::path> paths;
        ~Made()
        {
            std::error_code ignored;
            for (const fs::path &p : paths)
                fs::remove_all(p, ignored);
        }
    } made;
    const fs::path p = fs::temp_directory_path() / ("fiscal-proc-" + std::to_string(getpid()) + "-"
                                                    + std::to_string(made.paths.size() + 1));
    fs::remove_all(p);
    fs::create_directories(p);
    made.paths.push_back(p);
    return p.string();
}

// ---- command lines (no database needed) ----

// These run once, in the SQLite pass.
bool sqlitePass()
{
    const auto b = backendsUnderTest();
    return std::find(b.begin(), b.end(), Backend::Sqlite) != b.end();
}

struct BadLine {
    std::vector<std::string> args;
    const char *mentions;   // the message names the problem
    std::map<std::string, std::string> env = {};
};

TEST(CommandLine, BadCommandLinesExitWith2)
{
    if (!sqlitePass())
        GTEST_SKIP();
    const std::vector<BadLine> cases{
        {{}, "--db"},
        {{"--db"}, "--db"},
        {{"--db", "x.sqlite"}, "--init"},
        {{"--bogus"}, "--bogus"},
        {{"--db", "x.sqlite", "--listen", "nope"}, "--listen"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:99999"}, "port"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:"}, "port"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:80x"}, "port"},
        {{"--db", "x.sqlite", "--demo", "small"}, "--demo"},
        {{"--db", "x.sqlite", "--init", "--demo", "medium"}, "medium"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--workers", "0"}, "--workers"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--workers", "many"}, "--workers"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--token"}, "--token"},
        {{"--db", "x.sqlite", "--init", "--token", "abc"}, "--token"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--pool", "0"}, "--pool"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--pool", "257"}, "--pool"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--drain", "-1"}, "--drain"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--drain", "301"}, "--drain"},
        {{"--db", "x.sqlite", "--init", "--pool", "2"}, "--pool"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0"}, "FISCAL_POOL", {{"FISCAL_POOL", "muitas"}}},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0"}, "FISCAL_DRAIN", {{"FISCAL_DRAIN", "1e3"}}},
        {{"--db", "x.sqlite", "--init", "--tokens", "f"}, "--tokens"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--history-days", "-1"}, "--history-days"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--token", "curto-demais-para-adivinhar-313"}, "32 caracteres"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0"}, "32 caracteres", {{"FISCAL_SERVER_TOKEN", "segredo"}}},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--trusted-proxy", "nginx.local"}, "--trusted-proxy"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0"}, "FISCAL_TRUSTED_PROXY", {{"FISCAL_TRUSTED_PROXY", "127.0.0.1;::1"}}},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--read-limit", "0"}, "--read-limit"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--lock-wait", "601"}, "--lock-wait"},
        {{"--db", "x.sqlite", "--init", "--bulk-limit", "60"}, "--listen"},
        // Without sign-in, only this machine may call.
        {{"--db", "x.sqlite", "--listen", "0.0.0.0:0", "--auth", "nenhuma"}, "nenhuma"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--auth", "ldap"}, "ldap"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--auth", "pam:"}, "pam"},
        {{"--db", "x.sqlite", "--listen", "127.0.0.1:0", "--session-hours", "0"}, "--session-hours"},
        {{"--db", "x.sqlite", "user", "add", "maria"}, "--role"},
        {{"--db", "x.sqlite", "user", "role", "maria", "chefe"}, "chefe"},
        {{"--db", "x.sqlite", "user", "role", "maria", ""}, "pede o papel"},
        {{"--db", "x.sqlite", "user", "passwd"}, "passwd"},
        {{"user", "list"}, "--db"},
    };
    for (const BadLine &c : cases) {
        std::string line;
        for (const auto &a : c.args)
            line += a + " ";
        const ExitResult r = runServer(c.args, c.env);
        EXPECT_EQ(r.code, 2) << line << "\n" << r.err;
        EXPECT_NE(r.err.find(c.mentions), std::string::npos) << line << "\n" << r.err;
        EXPECT_NE(r.err.find("uso: fiscal-server"), std::string::npos) << line;
    }
    const ExitResult help = runServer({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--listen"), std::string::npos);
}

TEST(CommandLine, UnusableDatabasesExitWith1)
{
    if (!sqlitePass())
        GTEST_SKIP();
    const std::string dir = tempDir();
    {
        std::ofstream(dir + "/empty.sqlite");   // a file without the schema
    }
    const std::vector<std::vector<std::string>> cases{
        {"--db", dir + "/missing.sqlite", "--listen", "127.0.0.1:0"},
        {"--db", dir + "/empty.sqlite", "--listen", "127.0.0.1:0"},
        {"--db", dir + "/no/such/folder/x.sqlite", "--init"},
        {"--db", "postgresql://nobody@127.0.0.1:1/none?connect_timeout=5", "--listen", "127.0.0.1:0"},
        {"--db", "postgresql://nobody@127.0.0.1:1/none?connect_timeout=5", "--init"},
    };
    for (const auto &args : cases) {
        const ExitResult r = runServer(args);
        EXPECT_EQ(r.code, 1) << args[1] << " " << args[2] << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << args[1];
    }
    // --listen never creates a database file by accident
    EXPECT_FALSE(fs::exists(dir + "/missing.sqlite"));
    fs::remove_all(dir);
}

TEST(CommandLine, AddressInUseExitsWith1)
{
    if (!sqlitePass())
        GTEST_SKIP();
    auto db = TestDb::create(Backend::Sqlite);
    ServerProcess first(db->url());
    const ExitResult r = runServer({"--db", db->url(), "--listen", "127.0.0.1:" + std::to_string(first.port())});
    EXPECT_EQ(r.code, 1) << r.err;
}

// The migration may hold the database owner's password in its environment while it waits for
// its locks; the instances run as the same system user and must not read it from /proc. A
// process that is not dumpable has its /proc files owned by root.
TEST(CommandLine, AMigrationsEnvironmentIsNotReadableByItsOwnUser)
{
    if (!sqlitePass() || geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the migration as another user";
    const std::string dir = tempDir();
    fs::permissions(dir, fs::perms::all);
    const std::string file = dir + "/novo.sqlite";
    const std::string exe = serverExecutable();
    const auto asNobody = [&](std::vector<std::string> args) {
        std::vector<std::string> all{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--", exe};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    };
    std::string check;
    for (const std::string &a : asNobody({"--version"}))
        check += "'" + a + "' ";
    if (std::system((check + ">/dev/null 2>&1").c_str()) != 0
        || std::system(("/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups -- /usr/bin/test -w '" + dir
                        + "'").c_str()) != 0)
        GTEST_SKIP() << exe << " or " << dir << " cannot be used by another user here";
    // A new database whose write lock the test holds: the migration waits for it.
    auto holder = fiscal::storage::open(file);
    holder->begin();
    for (const char *suffix : {"", "-wal", "-shm"})
        if (fs::exists(file + suffix))
            fs::permissions(file + suffix, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read
                                               | fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
    const std::vector<std::string> args = asNobody({"migrate", "--db", file});
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    ASSERT_GT(child, 0);
    const std::string environ = "/proc/" + std::to_string(child) + "/environ";
    // While the migration waits for the lock (10 s at most), once fiscal-server runs: its
    // files are to become root's.
    struct stat seen{};
    bool running = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < until) {
        // comm, not exe: reading another user's exe takes CAP_SYS_PTRACE, which containers drop.
        std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
        std::string name;
        running = std::getline(comm, name) && name == "fiscal-server";
        if (running && ::stat(environ.c_str(), &seen) == 0 && seen.st_uid == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    holder->rollback();
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(running);
    EXPECT_EQ(seen.st_uid, 0u) << "the migration's environment is readable by its own user";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// ---- per backend ----

class ProcessTest : public ::testing::TestWithParam<Backend> {};

TEST_P(ProcessTest, InitIsIdempotentAndDemoNeverDuplicates)
{
    auto db = TestDb::create(GetParam(), Demo::None);
    const char *tables[] = {"GRUPOFISCAL", "FORNECEDOR", "CLIENTE", "FILIAL", "GRFISIMPIECLIE"};
    const auto counts = [&] {
        std::vector<std::int64_t> c;
        for (const char *t : tables)
            c.push_back(db->count(std::string("SELECT COUNT(*) FROM ") + t));
        return c;
    };

    ExitResult r = runServer({"--db", db->url(), "--init"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(counts(), std::vector<std::int64_t>(5, 0));

    r = runServer({"--db", db->url(), "--init", "--demo", "small"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto once = counts();
    for (auto n : once)
        EXPECT_GT(n, 0);

    for (const char *again : {"small", "large"}) {
        r = runServer({"--db", db->url(), "--init", "--demo", again});
        EXPECT_EQ(r.code, 0) << again << "\n" << r.err;
        EXPECT_NE(r.out.find("not added"), std::string::npos) << r.out;
        EXPECT_EQ(counts(), once) << again;
    }
    r = runServer({"--db", db->url(), "--init"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(counts(), once);

    // Users alone are data too: the demo's, whose passwords are public, never join them.
    auto users = TestDb::create(GetParam(), Demo::None);
    ASSERT_EQ(runServer({"--db", users->url(), "--init"}).code, 0);
    users->exec("INSERT INTO USUARIO (NMUSUARIO, NMCOMPLETO, DSPAPEL, FLATIVO, DTCRIACAO, FLTROCARSENHA) "
                "VALUES ('maria', 'Maria', 'administrador', 'S', '2026-12-11T00:00:00.000Z', 'N')");
    r = runServer({"--db", users->url(), "--init", "--demo", "small"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("not added"), std::string::npos) << r.out;
    EXPECT_EQ(users->count("SELECT COUNT(*) FROM USUARIO"), 1);
    EXPECT_EQ(users->count("SELECT COUNT(*) FROM GRUPOFISCAL"), 0);

    // Nor is a login named as the history names the server token's calls.
    r = runServer({"--db", users->url(), "user", "add", "Token", "--role", "operador"});
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("reservado"), std::string::npos) << r.err;
    EXPECT_EQ(users->count("SELECT COUNT(*) FROM USUARIO"), 1);
}

// A libpq keyword string names a PostgreSQL database whichever keyword comes first: the
// server serves it, not a file of that name.
TEST_P(ProcessTest, AKeywordConnectionStringIsServed)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "keyword strings name PostgreSQL databases";
    auto db = TestDb::create(GetParam(), Demo::None);
    const QUrl url(QString::fromStdString(db->url()));
    const QUrlQuery query(url);
    std::string keywords = "user=" + url.userName().toStdString() + " dbname=" + url.path().mid(1).toStdString();
    const QString host = query.hasQueryItem(QStringLiteral("host")) ? query.queryItemValue(QStringLiteral("host")) : url.host();
    if (!host.isEmpty())
        keywords += " host=" + host.toStdString();
    const int port = query.hasQueryItem(QStringLiteral("port")) ? query.queryItemValue(QStringLiteral("port")).toInt()
                                                                 : url.port();
    if (port > 0)
        keywords += " port=" + std::to_string(port);
    const ExitResult init = runServer({"--db", keywords, "--init"});
    ASSERT_EQ(init.code, 0) << init.err;
    ServerProcess server(keywords);
    EXPECT_TRUE(healthBecomes(server.port(), 200));
}

TEST_P(ProcessTest, TokenIsRequiredWhenSet)
{
    auto db = TestDb::create(GetParam());
    struct Case {
        const char *how;
        ServerOptions options;
    };
    const std::vector<Case> servers{
        {"--token", ServerOptions{"s3cret-token-de-teste-com-32-caracteres", 0, {}, {}}},
        {"FISCAL_SERVER_TOKEN", ServerOptions{{}, 0, {}, {{"FISCAL_SERVER_TOKEN", "s3cret-token-de-teste-com-32-caracteres"}}}},
    };
    for (const Case &c : servers) {
        SCOPED_TRACE(c.how);
        ServerProcess server(db->url(), c.options);
        const QCborArray args{QStringLiteral("")};
        for (const std::string &token : {std::string(), std::string("wrong"), std::string("s3cret-token-de-teste-com-32-caractere"), std::string("S3CRET-TOKEN-DE-TESTE-COM-32-CARACTERES")}) {
            const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, "GetGrupoFiscal", args, Encoding::Json, token);
            EXPECT_EQ(r.httpStatus, 401) << "token '" << token << "'";
            EXPECT_FALSE(r.ok());
        }
        const RpcResult ok = rpcCall(server.port(), kParamGrupFiscal, "GetGrupoFiscal", args, Encoding::Cbor,
                                     "s3cret-token-de-teste-com-32-caracteres");
        EXPECT_EQ(ok.httpStatus, 200);
        EXPECT_TRUE(ok.ok()) << ok.errorMessage.toStdString();
        EXPECT_EQ(server.stop(), 0);
    }
    // without a token nothing is asked
    ServerProcess open(db->url());
    EXPECT_TRUE(rpcCall(open.port(), kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("")}).ok());
}

TEST_P(ProcessTest, SigtermFinishesCallsUnderWayAndExits0)
{
    auto db = TestDb::create(GetParam());
    ServerProcess server(db->url(), ServerOptions{{}, 2, {}, {}});
    ASSERT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetDados").ok());

    // Clients keep calling while the server is told to stop: every answer that comes must be
    // whole and correct; afterwards connections are refused.
    std::atomic<bool> done{false};
    std::atomic<int> good{0}, broken{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            while (!done) {
                try {
                    const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, "GetDados");
                    if (r.ok() && r.result.isArray() && r.result.toArray().size() == 7)
                        ++good;
                    else if (r.errorCode != -32003)   // "shutting down" is an honest answer
                        ++broken;
                } catch (const std::exception &e) {
                    // refused or closed before a reply: the request was not taken
                    const std::string what = e.what();
                    if (what.find("middle of the body") != std::string::npos
                        || what.find("not valid") != std::string::npos)
                        ++broken;
                    if (what.find("cannot connect") != std::string::npos)
                        return;
                }
            }
        });
    }
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (good < 8 && broken == 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(good, 8) << "the server answered no calls";
    EXPECT_EQ(server.stop(), 0);
    done = true;
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(broken, 0);
    EXPECT_THROW(rpcCall(server.port(), kParamGrupFiscal, "GetDados"), std::runtime_error);
}

TEST_P(ProcessTest, SigkillLeavesTheDatabaseUsable)
{
    auto db = TestDb::create(GetParam());
    {
        ServerProcess server(db->url());
        ASSERT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetDados").ok());
        EXPECT_EQ(server.kill(), 128 + 9);
    }
    ServerProcess again(db->url());
    EXPECT_TRUE(rpcCall(again.port(), kParamGrupFiscal, "GetDados").ok());
}

INSTANTIATE_TEST_SUITE_P(Backends, ProcessTest, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ProcessTest);

} // namespace
