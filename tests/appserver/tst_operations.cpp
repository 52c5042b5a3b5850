// What operators see of a running fiscal-server: /health, /metrics, the call log on
// standard error, and the drain after SIGTERM.

#include "testsupport.h"

#include "rpc/client.h"

#include <QCborArray>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <chrono>
#include <future>
#include <poll.h>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace fiscal::test;

namespace {

class OperationsTest : public ::testing::TestWithParam<Backend> {};

double sample(const std::map<std::string, double> &samples, const std::string &key)
{
    const auto it = samples.find(key);
    return it == samples.end() ? -1 : it->second;
}

TEST_P(OperationsTest, MetricsHealthAndOneLogLinePerCall)
{
    auto db = TestDb::create(GetParam());
    ServerOptions options;
    options.workers = 3;
    options.captureStderr = true;
    ServerProcess server(db->url(), options);

    const auto before = prometheusSamples(httpGet(server.port(), "/metrics").body.toStdString());
    const std::string group = "method=GetGrupoFiscal,object=Ger10200.rdmParamGrupFiscal";
    EXPECT_EQ(sample(before, "fiscal_rpc_calls_total{" + group + "}"), -1);
    EXPECT_EQ(sample(before, "fiscal_db_pool_size"), 3);
    EXPECT_EQ(sample(before, "fiscal_database_up"), 1);

    ASSERT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("001")}).ok());
    ASSERT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "getgrupofiscal", {QStringLiteral("")}).ok());
    EXPECT_EQ(rpcCall(server.port(), kParamGrupFiscal, "Inexistente").errorCode, -32601);
    EXPECT_EQ(rpcCall(server.port(), kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("0000")}).errorCode, -32602);
    EXPECT_EQ(httpPost(server.port(), "/outro", "{}", "application/json").status, 404);
    // A batch is three calls, the notification among them.
    const QByteArray batch = R"([{"jsonrpc":"2.0","method":"GetGrupoFiscal","params":["001"],"id":1},)"
                             R"({"jsonrpc":"2.0","method":"GetGrupoFiscal","params":["002"],"id":2},)"
                             R"({"jsonrpc":"2.0","method":"GetGrupoFiscal","params":["003"]}])";
    EXPECT_EQ(httpPost(server.port(), "/rpc/" + kParamGrupFiscal, batch, "application/json").status, 200);

    const HttpResponse metrics = httpGet(server.port(), "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.contentType, "text/plain; version=0.0.4; charset=utf-8");
    const auto after = prometheusSamples(metrics.body.toStdString());
    const std::vector<std::pair<std::string, double>> expected{
        {"fiscal_rpc_calls_total{" + group + "}", 6},   // both spellings count as one method
        {"fiscal_rpc_errors_total{code=-32602," + group + "}", 1},
        {"fiscal_rpc_duration_seconds_count{" + group + "}", 6},
        {"fiscal_rpc_calls_total{method=unknown,object=unknown}", 1},
        {"fiscal_rpc_errors_total{code=-32601,method=unknown,object=unknown}", 1},
        {"fiscal_http_refusals_total{status=404}", 1},
        {"fiscal_db_pool_in_use", 0},
        {"fiscal_db_pool_waiting", 0},
        {"fiscal_draining", 0},
    };
    for (const auto &[key, v] : expected)
        EXPECT_EQ(sample(after, key), v) << key;
    EXPECT_GT(sample(after, "fiscal_rpc_response_bytes_total{" + group + "}"), 0);
    EXPECT_GE(sample(after, "fiscal_db_pool_open"), 1);

    // One line per call and per refusal; /health and /metrics are not calls. The server runs
    // without sign-in, and these calls declare nobody.
    const std::string log = server.errors();
    const std::regex line(R"re(time=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z level=(info|warning|error) user=(-|"\(não autenticado\)") )re"
                          R"(object=\S+ method=\S+ code=-?\d+ status=\d+ duration_ms=\d+\.\d{3} )"
                          R"(bytes_in=\d+ bytes_out=\d+ peer=127\.0\.0\.1)");
    int lines = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
        ++lines;
    EXPECT_EQ(lines, 8) << log;
    EXPECT_NE(log.find("level=info user=\"(não autenticado)\" object=Ger10200.rdmParamGrupFiscal method=GetGrupoFiscal"
                       " code=0 status=200"),
              std::string::npos) << log;
    EXPECT_NE(log.find("level=warning user=- object=- method=- code=-32601 status=404"), std::string::npos) << log;

    // The database stops answering (its probe fails) and comes back.
    EXPECT_EQ(httpGet(server.port(), "/health").status, 200);
    db->exec("ALTER TABLE PARAMGERAL RENAME TO PARAMGERAL_FORA");
    EXPECT_TRUE(healthBecomes(server.port(), 503));
    const HttpResponse down = httpGet(server.port(), "/health");
    EXPECT_EQ(down.body.toStdString(), "{\"status\":\"unavailable\",\"database\":\"down\",\"draining\":false}\n");
    db->exec("ALTER TABLE PARAMGERAL_FORA RENAME TO PARAMGERAL");
    EXPECT_TRUE(healthBecomes(server.port(), 200));
}

TEST_P(OperationsTest, DrainAnswersUntilTheConnectionsAreGone)
{
    auto db = TestDb::create(GetParam());
    ServerOptions options;
    options.extraArgs = {"--drain", "120"};
    for (const bool secondSignal : {false, true}) {
        ServerProcess server(db->url(), options);
        fiscal::rpc::Client kept(QStringLiteral("127.0.0.1"), server.port());
        ASSERT_TRUE(kept.call(QString::fromStdString(kParamGrupFiscal), QStringLiteral("GetGrupoFiscal"),
                              {QStringLiteral("001")}).ok());
        ASSERT_TRUE(kept.isConnected());

        // A hang-up (a "reload", a closed terminal) stops nothing, before the drain or during it.
        const auto hangUp = [&] {
            ::kill(server.pid(), SIGHUP);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        };
        hangUp();
        ASSERT_TRUE(kept.call(QString::fromStdString(kParamGrupFiscal), QStringLiteral("GetGrupoFiscal"),
                              {QStringLiteral("001")}).ok());

        ::kill(server.pid(), SIGTERM);
        ASSERT_TRUE(healthBecomes(server.port(), 503));
        EXPECT_EQ(httpGet(server.port(), "/health").body.toStdString(),
                  "{\"status\":\"unavailable\",\"database\":\"ok\",\"draining\":true}\n");
        if (secondSignal) {
            // A second signal ends the drain at once, with the connection still open.
            ::kill(server.pid(), SIGTERM);
            EXPECT_EQ(server.waitForExit(20000), 0);
            continue;
        }
        // Calls are still answered, and their connections closed after the answer; with no
        // connection left the server stops long before the drain time is over.
        hangUp();
        EXPECT_TRUE(kept.call(QString::fromStdString(kParamGrupFiscal), QStringLiteral("GetGrupoFiscal"),
                              {QStringLiteral("001")}).ok());
        EXPECT_FALSE(kept.isConnected());
        EXPECT_EQ(server.waitForExit(20000), 0);
    }
}

TEST_P(OperationsTest, SystemdHearsReadyThenStopping)
{
    auto db = TestDb::create(GetParam(), Demo::None);
    const std::string path = "/tmp/fiscal-notify-" + std::to_string(getpid());
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const auto next = [fd]() -> std::string {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) != 1)
            return "(nothing)";
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, std::size_t(n)) : std::string("(error)");
    };

    ServerOptions options;
    options.env = {{"NOTIFY_SOCKET", path}};
    ServerProcess server(db->url(), options);
    EXPECT_EQ(next(), "READY=1\nSTATUS=Atendendo em 127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(next(), "STOPPING=1");
    close(fd);
    unlink(path.c_str());
}

// Instances started together on an empty PostgreSQL database all come up: the schema is
// created by one of them at a time.
TEST(Startup, InstancesStartedTogetherCreateTheSchemaOnce)
{
    const auto cluster = postgresClusterUrl();
    const auto backends = backendsUnderTest();
    if (!cluster || std::find(backends.begin(), backends.end(), Backend::Postgres) == backends.end())
        GTEST_SKIP() << "PostgreSQL only";
    const std::string name = "fiscal_init_" + std::to_string(getpid());
    auto admin = fiscal::storage::open(*cluster);
    admin->exec("CREATE DATABASE " + name);
    const std::string url = cluster->substr(0, cluster->rfind('/') + 1) + name;
    std::vector<std::future<ExitResult>> starts;
    for (int i = 0; i < 4; ++i)
        starts.push_back(std::async(std::launch::async, [&url] { return runServer({"--db", url, "--init"}); }));
    for (auto &s : starts) {
        const ExitResult r = s.get();
        EXPECT_EQ(r.code, 0) << r.err;
    }
    admin->exec("DROP DATABASE " + name + " WITH (FORCE)");
}

INSTANTIATE_TEST_SUITE_P(Backends, OperationsTest, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(OperationsTest);

} // namespace
