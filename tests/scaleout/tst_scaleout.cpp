// Several fiscal-server processes behind nginx over one PostgreSQL, as operators run them:
// the database and its roles made as docs/deploy.md says, the schema migrated by its owner,
// the site of deploy/nginx with TLS (tests/support/nginx-proxy.sh), two servers with the
// runtime role, a token and a drain time, sixteen clients speaking HTTPS through nginx.
// Saves are applied once or refused as conflicts; a server killed in the middle costs only
// the calls it had in flight, each applied whole or not at all; a restarted server takes
// calls again; a server draining after SIGTERM answers 503 on /health and is left by nginx
// without a single failed call; nginx turns away what needs no server; the guide's backup,
// taken while the clients save, restores in its drill to one moment of the database.
//
// The phases run in order on one database and share the servers; each starts by making sure
// both servers run.

#include "testsupport.h"
#include "../appserver/writesupport.h"

#include "appserver/access/passwords.h"
#include "rpc/client.h"
#include "rpc/streamedparam.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClients = 16;
constexpr int kOwnRows = 3;     // each client's change sets: three rows, all or nothing
constexpr int kSharedRows = 4;  // rows every client saves
const std::string kToken = "token-de-teste-escalonado-0123456789";
const QString kObject = QString::fromStdString(kParamGrupFiscal);

std::string supportScript(const char *name)
{
    return (fs::path(FISCAL_PROMETHEUS_READ).parent_path() / name).string();
}

// Runs a shell command; its standard output, or an exception with its status.
std::string shell(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("cannot run " + command);
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    if (pclose(p) != 0)
        throw std::runtime_error("failed: " + command + "\n" + out);
    return out;
}

std::string quotedForShell(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The code block of docs/deploy.md after the line holding `text`, its folder of copies
// moved to `copies`.
std::string guideBlock(const std::string &text, const std::string &copies = {})
{
    const std::string guide = (fs::path(FISCAL_PROMETHEUS_READ).parent_path() / "../../docs/deploy.md").string();
    std::string block = shell(quotedForShell(supportScript("guide-block.sh")) + " " + quotedForShell(guide) + " "
                              + quotedForShell(text));
    for (std::size_t at; !copies.empty() && (at = block.find("/var/backups/fiscal")) != std::string::npos;)
        block.replace(at, std::strlen("/var/backups/fiscal"), copies);
    return block;
}

// The test cluster (its superuser is postgres) for `role` on `database`, and the libpq
// variables that point its tools there.
std::string clusterUrl(const std::string &role, const std::string &database)
{
    const std::string cluster = *postgresClusterUrl();   // postgresql://postgres@host:port/postgres
    const auto at = cluster.find('@');
    return "postgresql://" + role + cluster.substr(at, cluster.rfind('/') - at) + "/" + database;
}
std::string clusterVariables()
{
    const std::string cluster = *postgresClusterUrl();
    const auto at = cluster.find('@'), colon = cluster.find(':', at), slash = cluster.rfind('/');
    return "PGHOST=" + cluster.substr(at + 1, colon - at - 1) + " PGPORT=" + cluster.substr(colon + 1, slash - colon - 1)
           + " PGUSER=postgres";
}

// Runs a block of the guide as the postgres user would, against the test cluster.
std::string runAsPostgres(const std::string &block)
{
    return shell(clusterVariables() + " bash -euo pipefail -c " + quotedForShell(block) + " 2>&1");
}

// The deployment's database, made as the guide says: the roles, the database, the schema
// migrated by its owner, which lets the servers' role read and write rows.
class Database {
public:
    Database()
    {
        auto admin = fiscal::storage::open(*postgresClusterUrl());
        for (const char *sql : {"DROP DATABASE IF EXISTS fiscal_ensaio WITH (FORCE)",
                                "DROP DATABASE IF EXISTS fiscal WITH (FORCE)", "DROP ROLE IF EXISTS fiscal",
                                "DROP ROLE IF EXISTS fiscal_consulta", "DROP ROLE IF EXISTS fiscal_dono"})
            admin->exec(sql);
        shell("printf '%s\\n' " + quotedForShell(guideBlock("Como o usuário `postgres` (`sudo -u postgres psql`):"))
              + " | " + clusterVariables() + " psql -q -v ON_ERROR_STOP=1 --dbname postgres 2>&1");
        const ExitResult r = runServer({"migrate", "--db", clusterUrl("fiscal_dono", "fiscal"), "--runtime-role", "fiscal"});
        if (r.code != 0)
            throw std::runtime_error("migrate: " + r.err);
        m_admin = fiscal::storage::open(clusterUrl("postgres", "fiscal"));
    }
    // The servers' connection: the runtime role.
    std::string url() const { return clusterUrl("fiscal", "fiscal"); }
    std::unique_ptr<fiscal::storage::Connection> connect() const { return fiscal::storage::open(url()); }
    void exec(const std::string &sql) const { m_admin->exec(sql); }
    std::optional<std::string> scalar(const std::string &sql, const std::string &param) const
    {
        auto st = m_admin->prepare(sql);
        st->bind(1, param);
        if (!st->step() || st->isNull(0))
            return std::nullopt;
        return std::string(st->text(0));
    }

private:
    std::unique_ptr<fiscal::storage::Connection> m_admin;
};

std::uint16_t freePort()
{
    namespace net = boost::asio;
    net::io_context ioc;
    net::ip::tcp::acceptor a(ioc, {net::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

struct HttpsAnswer {
    int status = 0;   // 0: no TLS connection
    std::string server, body;
    bool ticket = false;   // the server handed a session ticket
};

// One request over HTTPS trusting `ca` (a POST of a call, or a GET); `ciphers` narrows the
// client to TLS 1.2 with those suites.
HttpsAnswer httpsRequest(bool post, std::uint16_t port, const std::string &ca, const std::string &path,
                         const std::vector<std::pair<std::string, std::string>> &headers = {},
                         const std::string &ciphers = {}, const std::string &body = {})
{
    namespace net = boost::asio;
    namespace beast = boost::beast;
    namespace http = beast::http;
    HttpsAnswer answer;
    try {
        net::io_context ioc;
        net::ssl::context ctx(net::ssl::context::tls_client);
        ctx.load_verify_file(ca);
        ctx.set_verify_mode(net::ssl::verify_peer);
        if (!ciphers.empty()) {
            SSL_CTX_set_max_proto_version(ctx.native_handle(), TLS1_2_VERSION);
            SSL_CTX_set_cipher_list(ctx.native_handle(), ciphers.c_str());
        }
        beast::ssl_stream<beast::tcp_stream> s(ioc, ctx);
        s.next_layer().expires_after(std::chrono::seconds(10));
        s.next_layer().connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        s.handshake(net::ssl::stream_base::client);
        http::request<http::string_body> req{post ? http::verb::post : http::verb::get, path, 11};
        req.set(http::field::host, "127.0.0.1");
        for (const auto &[name, value] : headers)
            req.set(name, value);
        if (post) {
            req.set(http::field::content_type, "application/json");
            req.body() = body.empty() ? std::string(R"({"jsonrpc":"2.0","method":"GetGrupoFiscal","params":["S00"],"id":1})")
                                      : body;
            req.prepare_payload();
        }
        http::write(s, req);
        beast::flat_buffer buffer;
        http::response<http::string_body> res;
        http::read(s, buffer, res);
        answer.status = int(res.result_int());
        answer.server = std::string(res[http::field::server]);
        answer.body = res.body();
        answer.ticket = SSL_SESSION_has_ticket(SSL_get_session(s.native_handle())) == 1;
    } catch (const std::exception &) {
    }
    return answer;
}

// GET over HTTPS, trusting `ca`: the status, or 0 when nothing answered.
int httpsGet(std::uint16_t port, const std::string &ca, const std::string &path)
{
    return httpsRequest(false, port, ca, path).status;
}

// nginx with the shipped site in front of the given ports; stopped and removed at the end.
class Proxy {
public:
    explicit Proxy(const std::vector<std::uint16_t> &upstreams)
    {
        char dir[] = "/tmp/fiscal-scaleout-nginx.XXXXXX";
        if (!mkdtemp(dir))
            throw std::runtime_error("mkdtemp failed");
        m_dir = dir;
        std::string command = "'" + supportScript("nginx-proxy.sh") + "' start '" + m_dir + "'";
        for (std::uint16_t p : upstreams)
            command += " " + std::to_string(p);
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("nginx did not start: " + command);
        std::ifstream(m_dir + "/port") >> m_port;
    }
    ~Proxy()
    {
        const std::string command = "'" + supportScript("nginx-proxy.sh") + "' stop '" + m_dir + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "nginx did not stop\n");
        fs::remove_all(m_dir);
    }
    std::uint16_t port() const { return m_port; }
    std::string ca() const { return m_dir + "/ca.pem"; }
    // nginx's own account of each request: request, status, the upstream that served it.
    std::string accessLog() const
    {
        std::ifstream in(m_dir + "/access.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string m_dir;
    std::uint16_t m_port = 0;
};

std::string ownKey(int client, int row)
{
    return "SO" + std::to_string(100 + client).substr(1) + std::to_string(row);
}
std::string sharedKey(int row) { return "SOS00" + std::to_string(row); }
// A group code no other save uses: one letter per client, two digits per attempt.
std::string groupFor(int client, int attempt)
{
    return std::string(1, char('A' + client)) + std::to_string(100 + attempt % 100).substr(1);
}

QCborValue clientChanges(const std::vector<std::string> &keys, const std::optional<std::string> &was,
                         const std::string &now)
{
    ChangeSetBuilder b("SetCliente");
    const V before = was ? V(QString::fromStdString(*was)) : null;
    for (const std::string &k : keys) {
        const QString key = QString::fromStdString(k);
        b.update({{"CDCLIENTE", key}, {"CDGRUPOFISC", before}},
                 {{"CDCLIENTE", key}, {"CDGRUPOFISC", QString::fromStdString(now)}});
    }
    return b.build();
}

std::optional<std::string> groupOf(fiscal::storage::Connection &c, const std::string &key)
{
    auto stmt = c.prepare("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1");
    stmt->bind(1, key);
    if (!stmt->step() || stmt->isNull(0))
        return std::nullopt;
    return std::string(stmt->text(0));
}

struct Env {
    std::unique_ptr<Database> db;
    std::uint16_t ports[2] = {freePort(), freePort()};
    std::unique_ptr<ServerProcess> servers[2];
    std::unique_ptr<Proxy> proxy;

    Env()
    {
        db = std::make_unique<Database>();
        std::string groups = "INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('S00', 'Grupo inicial')";
        for (int c = 0; c < kClients; ++c)
            for (int a = 0; a < 100; ++a)
                groups += ", ('" + groupFor(c, a) + "', 'Grupo " + groupFor(c, a) + "')";
        db->exec(groups);
        std::string clients = "INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ";
        for (int r = 1; r <= kSharedRows; ++r)
            clients += "('" + sharedKey(r) + "', 'Cliente comum', 'S00'), ";
        for (int c = 0; c < kClients; ++c)
            for (int r = 1; r <= kOwnRows; ++r)
                clients += "('" + ownKey(c, r) + "', 'Cliente de um só', 'S00')" + (c + 1 < kClients || r < kOwnRows ? ", " : "");
        db->exec(clients);
        start(0);
        start(1);
        proxy = std::make_unique<Proxy>(std::vector<std::uint16_t>{ports[0], ports[1]});
    }

    void start(int i)
    {
        ServerOptions o;
        o.workers = 2;
        o.captureStderr = true;
        o.auth = "usuarios";
        o.env = {{"FISCAL_SERVER_TOKEN", kToken}, {"FISCAL_DRAIN", "10"}};
        o.extraArgs = {"--listen", "127.0.0.1:" + std::to_string(ports[i])};
        servers[i].reset();
        servers[i] = std::make_unique<ServerProcess>(db->url(), o);
    }
    void ensureRunning()
    {
        for (int i = 0; i < 2; ++i)
            if (!servers[i] || !servers[i]->running())
                start(i);
    }

    std::unique_ptr<fiscal::rpc::Client> client(const std::string &token = kToken) const
    {
        return std::make_unique<fiscal::rpc::Client>(QStringLiteral("127.0.0.1"), proxy->port(),
                                                     QString::fromStdString(token),
                                                     fiscal::rpc::TlsOptions{true, QString::fromStdString(proxy->ca())});
    }

    // SetCliente calls a server has answered, from its own /metrics; -1 when it does not answer.
    double savesOf(int i) const
    {
        try {
            const HttpResponse r = httpPost(ports[i], "/metrics", {}, {}, {}, "GET");
            const auto s = prometheusSamples(r.body.toStdString());
            const auto it = s.find("fiscal_rpc_calls_total{method=SetCliente,object=Ger10200.rdmParamGrupFiscal}");
            return it == s.end() ? 0 : it->second;
        } catch (const std::exception &) {
            return -1;
        }
    }
};

Env *g_env = nullptr;

class ScaleOut : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_env = new Env(); }
    static void TearDownTestSuite()
    {
        delete g_env;
        g_env = nullptr;
    }
    void SetUp() override { g_env->ensureRunning(); }
    Env &env() { return *g_env; }
};

// One client saving its own rows again and again, three at a time, knowing what it saved.
// A call that fails without an answer is looked up in the database: its three rows must
// hold all the new group or all the old one.
struct OwnRowsSaver {
    int client;
    std::optional<std::string> current = std::string("S00");
    int attempt = 0;
    int ok = 0;
    std::vector<std::pair<Clock::time_point, std::string>> failures;   // call start, message
    std::vector<std::string> problems;                                 // partial or wrong answers
    std::vector<Clock::time_point> okStarts;

    void once(fiscal::rpc::Client &c, fiscal::storage::Connection &db)
    {
        std::vector<std::string> keys;
        for (int r = 1; r <= kOwnRows; ++r)
            keys.push_back(ownKey(client, r));
        const std::string next = groupFor(client, attempt++);
        const auto started = Clock::now();
        try {
            const fiscal::rpc::Reply reply = c.call(kObject, QStringLiteral("SetCliente"),
                                                    QCborArray{clientChanges(keys, current, next)});
            if (reply.ok()) {
                current = next;
                ++ok;
                okStarts.push_back(started);
            } else {
                problems.push_back("refused: " + reply.errorMessage().toStdString());
            }
            return;
        } catch (const fiscal::rpc::TransportError &e) {
            failures.emplace_back(started, e.message().toStdString());
        }
        // One statement, so one snapshot: the killed server's database session may still be
        // committing the call, and reads one row at a time could fall on both sides of it.
        std::set<std::optional<std::string>> seen;
        std::string sql = "SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE IN (";
        for (int i = 1; i <= kOwnRows; ++i)
            sql += (i > 1 ? ", $" : "$") + std::to_string(i);
        auto rows = db.prepare(sql + ")");
        for (int i = 0; i < kOwnRows; ++i)
            rows->bind(i + 1, keys[std::size_t(i)]);
        while (rows->step())
            seen.insert(rows->isNull(0) ? std::nullopt : std::optional<std::string>(std::string(rows->text(0))));
        if (seen.size() != 1 || (*seen.begin() != current && *seen.begin() != next))
            problems.push_back("a failed call left its rows half written");
        current = *seen.begin();
    }
};

TEST_F(ScaleOut, SixteenClientsSaveOnceOrConflictNeverLose)
{
    struct Shared {
        std::string row, from, to;
    };
    std::mutex mutex;
    std::vector<Shared> applied;
    std::vector<std::string> problems;
    std::atomic<int> conflicts{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            auto client = env().client();
            auto db = env().db->connect();
            OwnRowsSaver own{c};
            for (int a = 0; a < 24; ++a) {
                if (a % 2 == 0) {
                    own.once(*client, *db);
                    continue;
                }
                // A shared row, as the client loaded it a moment ago.
                const std::string row = sharedKey(1 + (a / 2 + c) % kSharedRows);
                const std::optional<std::string> was = groupOf(*db, row);
                const std::string to = groupFor(c, 50 + a);
                try {
                    const auto reply = client->call(kObject, QStringLiteral("SetCliente"),
                                                    QCborArray{clientChanges({row}, was, to)});
                    std::lock_guard lock(mutex);
                    if (reply.ok())
                        applied.push_back({row, was.value_or("<null>"), to});
                    else if (reply.errorCode() == -32001)
                        ++conflicts;
                    else
                        problems.push_back(reply.errorMessage().toStdString());
                } catch (const fiscal::rpc::TransportError &e) {
                    std::lock_guard lock(mutex);
                    problems.push_back(e.message().toStdString());
                }
            }
            std::lock_guard lock(mutex);
            for (const auto &f : own.failures)
                problems.push_back(f.second);
            problems.insert(problems.end(), own.problems.begin(), own.problems.end());
            if (own.ok != 12)
                problems.push_back("client " + std::to_string(c) + " saved its own rows " + std::to_string(own.ok) + " times of 12");
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems, the first: " << problems.front();

    // Every save of a shared row that succeeded follows the previous one: from the initial
    // group, each success starts where another ended, and the last ends in the database.
    for (int r = 1; r <= kSharedRows; ++r) {
        const std::string row = sharedKey(r);
        std::map<std::string, std::string> next;
        for (const Shared &s : applied) {
            if (s.row == row) {
                EXPECT_TRUE(next.emplace(s.from, s.to).second) << row << ": two saves applied over " << s.from;
            }
        }
        std::string at = "S00";
        std::size_t steps = 0;
        while (next.count(at)) {
            at = next[at];
            ++steps;
        }
        EXPECT_EQ(steps, next.size()) << row << ": a save applied over a value no other save left";
        EXPECT_EQ(env().db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", row), at) << row;
    }
    EXPECT_GT(conflicts.load(), 0) << "the clients never met on a shared row";
    EXPECT_EQ(applied.size() + std::size_t(conflicts), std::size_t(kClients * 12));
    // Both servers took saves.
    EXPECT_GT(env().savesOf(0), 0);
    EXPECT_GT(env().savesOf(1), 0);
}

// Runs the sixteen own-row savers until `stop`, then gathers them.
struct Load {
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<OwnRowsSaver> savers;
    std::vector<std::thread> threads;

    explicit Load(Env &env)
    {
        auto *db = env.db.get();
        for (int c = 0; c < kClients; ++c) {
            OwnRowsSaver s{c};
            auto conn = db->connect();
            s.current = groupOf(*conn, ownKey(c, 1));
            s.attempt = 0;
            savers.push_back(s);
        }
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back([this, &env, db, c] {
                auto client = env.client();
                auto conn = db->connect();
                OwnRowsSaver &s = savers[std::size_t(c)];
                while (!stop) {
                    s.attempt %= 100;
                    // Never back to the group the rows hold: every save must change them.
                    if (s.current == groupFor(c, s.attempt))
                        ++s.attempt;
                    s.once(*client, *conn);
                    ++calls;
                }
            });
        }
    }
    void waitCalls(int n)
    {
        const auto until = Clock::now() + std::chrono::seconds(60);
        const int target = calls + n;
        while (calls < target && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    void finish()
    {
        stop = true;
        for (auto &t : threads)
            t.join();
    }
    std::vector<std::string> problems() const
    {
        std::vector<std::string> all;
        for (const auto &s : savers)
            all.insert(all.end(), s.problems.begin(), s.problems.end());
        return all;
    }
    std::vector<std::pair<Clock::time_point, std::string>> failures() const
    {
        std::vector<std::pair<Clock::time_point, std::string>> all;
        for (const auto &s : savers)
            all.insert(all.end(), s.failures.begin(), s.failures.end());
        return all;
    }
    int okAfter(Clock::time_point t) const
    {
        int n = 0;
        for (const auto &s : savers)
            for (const auto &at : s.okStarts)
                n += at > t;
        return n;
    }
};

TEST_F(ScaleOut, AKilledServerCostsOnlyItsCallsInFlight)
{
    Load load(env());
    load.waitCalls(100);
    const auto killed = Clock::now();
    EXPECT_EQ(env().servers[0]->kill(), 128 + SIGKILL);
    load.waitCalls(100);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    load.waitCalls(100);
    load.finish();

    const auto problems = load.problems();
    EXPECT_TRUE(problems.empty()) << problems.front();
    // Only the calls under way when the server died fail, each with a clear message; nginx
    // sends the following ones to the other server.
    const auto settled = killed + std::chrono::seconds(2);
    for (const auto &[started, message] : load.failures()) {
        EXPECT_LT(started, settled) << "a call failed long after the kill: " << message;
        EXPECT_NE(message.find("servidor de aplicação"), std::string::npos) << message;
    }
    EXPECT_LE(load.failures().size(), std::size_t(2 * kClients));
    EXPECT_GE(load.okAfter(settled), 100);
}

TEST_F(ScaleOut, ARestartedServerTakesCallsAgain)
{
    // The first server was killed by the phase before (or is started fresh): it is back now,
    // and nginx, which had left it, sends it calls again.
    const double before = env().savesOf(0);
    Load load(env());
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (env().savesOf(0) <= before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    load.finish();
    EXPECT_GT(env().savesOf(0), before) << "nginx never sent the restarted server a call";
    EXPECT_TRUE(load.problems().empty());
    EXPECT_TRUE(load.failures().empty()) << load.failures().front().second;
}

TEST_F(ScaleOut, ADrainingServerIsLeftWithoutAFailedCall)
{
    ServerProcess &draining = *env().servers[0];
    Load load(env());
    load.waitCalls(100);

    // Monitoring asks nginx's /health, as operators set it up: a 503 from the draining
    // server takes it out of nginx's rotation. Each question goes to either server, so the
    // drain is sure to be seen only after several: the time of the tenth after the signal.
    using SysClock = std::chrono::system_clock;
    std::atomic<bool> monitoring{true};
    std::atomic<bool> signalled{false};
    std::atomic<long long> tenthMs{std::numeric_limits<long long>::max()};
    const auto msOf = [](SysClock::time_point t) -> long long {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    };
    std::thread monitor([&] {
        int asked = 0;
        while (monitoring) {
            const bool after = signalled;
            httpsGet(env().proxy->port(), env().proxy->ca(), "/health");
            if (after && ++asked == 10)
                tenthMs = msOf(SysClock::now());
        }
    });
    const auto terminated = SysClock::now();
    ::kill(draining.pid(), SIGTERM);
    signalled = true;
    bool saw503 = false;
    for (int i = 0; i < 100 && !saw503; ++i) {
        saw503 = httpPost(env().ports[0], "/health", {}, {}, {}, "GET").status == 503;
        if (!saw503)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(saw503) << "/health did not turn 503 during the drain";
    EXPECT_EQ(draining.waitForExit(60000), 0);
    load.waitCalls(200);
    monitoring = false;
    monitor.join();
    load.finish();

    EXPECT_TRUE(load.problems().empty()) << load.problems().front();
    EXPECT_TRUE(load.failures().empty()) << load.failures().size() << " calls failed, the first: "
                                         << load.failures().front().second;

    // From a second after the signal, once monitoring has surely seen the drain, until
    // nginx may try the server again (fail_timeout, 5 s from a mark made after the signal),
    // the draining server answered no call: the call log's times say so.
    const long long fromMs = std::max(msOf(terminated + std::chrono::seconds(1)), tenthMs.load());
    const long long toMs = msOf(terminated + std::chrono::milliseconds(4500));
    const std::string log = draining.errors();
    const std::regex callLine(R"(time=(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.(\d{3})Z [^\n]*method=SetCliente)");
    int late = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), callLine), end; it != end; ++it) {
        std::tm t{};
        t.tm_year = std::stoi((*it)[1]) - 1900;
        t.tm_mon = std::stoi((*it)[2]) - 1;
        t.tm_mday = std::stoi((*it)[3]);
        t.tm_hour = std::stoi((*it)[4]);
        t.tm_min = std::stoi((*it)[5]);
        t.tm_sec = std::stoi((*it)[6]);
        const long long ms = (long long)timegm(&t) * 1000 + std::stoi((*it)[7]);
        late += ms > fromMs && ms < toMs;
    }
    EXPECT_EQ(late, 0) << "nginx kept sending calls to the draining server";
}

TEST_F(ScaleOut, BadCertificatesAndTokensAreRefusedClearly)
{
    struct Case {
        const char *what;
        QString host;
        std::uint16_t port;
        fiscal::rpc::TlsOptions tls;
        std::string token;
        const char *says;   // part of the message
    };
    const QString ca = QString::fromStdString(env().proxy->ca());
    const std::uint16_t proxy = env().proxy->port();
    const std::vector<Case> cases{
        {"an authority the system does not know", QStringLiteral("127.0.0.1"), proxy, {true, {}}, kToken,
         "não foi emitido por uma autoridade em que este computador confia"},
        {"a name the certificate does not carry", QStringLiteral("localhost"), proxy, {true, ca}, kToken,
         "o certificado não é de localhost"},
        {"no such authority file", QStringLiteral("127.0.0.1"), proxy, {true, QStringLiteral("/nao/existe.pem")}, kToken,
         "/nao/existe.pem não existe ou não pode ser lido"},
        {"a server without TLS", QStringLiteral("127.0.0.1"), env().ports[1], {true, ca}, kToken,
         "Não foi possível abrir uma conexão segura (HTTPS) com o servidor de aplicação em 127.0.0.1"},
        {"a server without TLS, said in words", QStringLiteral("127.0.0.1"), env().ports[1], {true, ca}, kToken,
         "não fala HTTPS; confira o endereço e a porta"},
    };
    for (const Case &c : cases) {
        fiscal::rpc::Client client(c.host, c.port, QString::fromStdString(c.token), c.tls);
        try {
            client.call(kObject, QStringLiteral("GetGrupoFiscal"), {QStringLiteral("S00")});
            ADD_FAILURE() << c.what << ": the call went through";
        } catch (const fiscal::rpc::TransportError &e) {
            EXPECT_NE(e.message().indexOf(QString::fromUtf8(c.says)), -1) << c.what << ": " << e.message().toStdString();
        }
    }
    // The bearer token passes nginx; a wrong one is the server's clear refusal.
    EXPECT_TRUE(env().client()->call(kObject, QStringLiteral("GetGrupoFiscal"), {QStringLiteral("S00")}).ok());
    const auto refused = env().client("outro")->call(kObject, QStringLiteral("GetGrupoFiscal"), {QStringLiteral("S00")});
    EXPECT_EQ(refused.errorCode(), -32004);
}

// An import's lines encoded while the call goes out through nginx over TLS, past the size the
// server leaves encoded until the method runs: the same answer as the lines sent whole.
TEST_F(ScaleOut, StreamedLinesPassNginxOverTlsAsAWholeBodyWould)
{
    class Encoded final : public fiscal::rpc::StreamedParam {
    public:
        explicit Encoded(QByteArray cbor) : m_cbor(std::move(cbor)) {}
        std::uint64_t size() override { return std::uint64_t(m_cbor.size()); }
        void rewind() override { m_at = 0; }
        bool next(QByteArray &piece, qsizetype hint) override
        {
            piece = m_cbor.mid(m_at, std::min<qsizetype>(hint, 1000));   // many small pieces
            m_at += piece.size();
            return !piece.isEmpty();
        }

    private:
        QByteArray m_cbor;
        qsizetype m_at = 0;
    };
    QCborArray fields;
    for (const auto &[name, size] : {std::pair{"CHAVE", 21}, std::pair{"CDGRUPOFISC", 3}})
        fields.append(QCborMap{{QStringLiteral("name"), QString::fromLatin1(name)}, {QStringLiteral("size"), size},
                               {QStringLiteral("type"), QStringLiteral("string")}, {QStringLiteral("required"), false}});
    QCborArray rows;
    for (int i = 0; i < 30000; ++i)
        rows.append(QCborArray{QStringLiteral("SEM%1").arg(i), QStringLiteral("001")});
    const QCborMap lines{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
    Encoded streamed(QCborValue(lines).toCbor());
    ASSERT_GT(streamed.size(), 256u * 1024);

    const QString object = QString::fromStdString(kCadAutParGrpFis);
    const QCborArray leading{QStringLiteral("CLIENTE"), QString(), QString(), QString()};
    QCborArray whole = leading;
    whole.append(lines);
    auto client = env().client();
    const fiscal::rpc::Reply a = client->call(object, QStringLiteral("SimulaImportaGrupos"), leading, streamed);
    ASSERT_TRUE(a.ok()) << a.errorMessage().toStdString();
    const fiscal::rpc::Reply b = client->call(object, QStringLiteral("SimulaImportaGrupos"), whole);
    ASSERT_TRUE(b.ok()) << b.errorMessage().toStdString();
    EXPECT_EQ(a.value(), b.value());
    EXPECT_EQ(a.value().toArray().at(1).toMap().value(QStringLiteral("rows")).toArray().size(), 30000);
}

// A call with `token` straight to server `i` until it is refused with 401, at most `limit`.
bool refusedWithin(int i, const std::string &token, std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (rpcCall(g_env->ports[i], kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("S00")}, Encoding::Cbor, token)
                .httpStatus == 401)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST_F(ScaleOut, ASessionOpenedOnOneServerServesOnBothAndEndsOnBoth)
{
    g_env->ensureRunning();
    for (const char *user : {"ana", "chefe"}) {
        const std::string role = std::string(user) == "ana" ? "operador" : "administrador";
        g_env->db->exec("INSERT INTO USUARIO (NMUSUARIO, NMCOMPLETO, DSPAPEL, FLATIVO, DSSENHA, DTCRIACAO, QTFALHAS,"
                       " FLTROCARSENHA) VALUES ('" + std::string(user) + "', '" + user + "', '" + role + "', 'S', '"
                       + fiscal::appserver::access::hashPassword(std::string(user) + "-senha-longa")
                       + "', '2026-12-08T10:00:00.000Z', 0, 'N')");
    }
    const auto signIn = [](int i, const char *user) {
        const RpcResult r = rpcCall(g_env->ports[i], "Ger10206.rdmSessao", "Entrar",
                                    {QString::fromUtf8(user), QString::fromUtf8(user) + "-senha-longa"});
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        return r.ok() ? Packet::from(r.result).rows.at(0).at(0)->toStdString() : std::string();
    };
    const auto works = [](int i, const std::string &token) {
        return rpcCall(g_env->ports[i], kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("S00")}, Encoding::Cbor,
                       token).ok();
    };
    const std::string ana = signIn(0, "ana");
    EXPECT_TRUE(works(1, ana));
    EXPECT_TRUE(works(0, ana));
    // Disabled on one server: refused by the other within two seconds.
    const std::string chefe = signIn(1, "chefe");
    ASSERT_TRUE(rpcCall(g_env->ports[1], "Ger10206.rdmSessao", "SetUsuario", {"ana", "ana", "operador", false},
                        Encoding::Cbor, chefe).ok());
    EXPECT_TRUE(refusedWithin(0, ana, std::chrono::milliseconds(2000)));
    // Signed out on one server: refused by the other within two seconds.
    ASSERT_TRUE(works(0, chefe));
    ASSERT_TRUE(rpcCall(g_env->ports[1], "Ger10206.rdmSessao", "Sair", {}, Encoding::Cbor, chefe).ok());
    EXPECT_TRUE(refusedWithin(0, chefe, std::chrono::milliseconds(2000)));
}

TEST_F(ScaleOut, NginxTurnsAwayWhatNeedsNoServer)
{
    const std::string ca = env().proxy->ca();
    const std::uint16_t proxy = env().proxy->port();
    const std::pair<std::string, std::string> bearer{"Authorization", "Bearer " + kToken};
    struct Case {
        const char *what;
        std::string path;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string ciphers;
        int status;           // 0: no connection at all; -1: whatever the server answers
        bool reachesServer;
        std::string body = {};   // empty: a small call
    };
    const std::vector<Case> cases{
        {"a call with its token", "/rpc/" + kParamGrupFiscal, {bearer}, {}, 200, true},
        {"a call without a token", "/rpc/" + kParamGrupFiscal, {}, {}, 401, false},
        {"a call with an empty Authorization", "/rpc/" + kParamGrupFiscal, {{"Authorization", ""}}, {}, 401, false},
        {"the sign-in, which comes without one", "/rpc/Ger10206.rdmSessao", {}, {}, -1, true},
        {"a suite with forward secrecy", "/rpc/" + kParamGrupFiscal, {bearer}, "ECDHE-RSA-AES128-GCM-SHA256", 200, true},
        {"a suite without forward secrecy", "/rpc/" + kParamGrupFiscal, {bearer}, "AES128-GCM-SHA256:AES256-SHA", 0, false},
        // Nobody signed in yet: a body far past a user and a password is not even read.
        {"a sign-in past the size of one", "/rpc/Ger10206.rdmSessao", {}, {}, 413, false,
         R"({"jsonrpc":"2.0","method":"Entrar","params":[")" + std::string(100 * 1024, 'a') + R"(",""],"id":1})"},
    };
    for (const Case &c : cases) {
        const std::size_t logged = env().proxy->accessLog().size();
        const HttpsAnswer a = httpsRequest(true, proxy, ca, c.path, c.headers, c.ciphers, c.body);
        if (c.status >= 0) {
            EXPECT_EQ(a.status, c.status) << c.what;
        }
        if (a.status == 0)
            continue;
        EXPECT_EQ(a.server, "nginx") << c.what << ": the version shows";
        EXPECT_FALSE(a.ticket && !c.ciphers.empty()) << c.what << ": a TLS 1.2 session ticket";
        if (c.status == 401) {
            EXPECT_NE(a.body.find("-32004"), std::string::npos) << c.what << ": " << a.body;
        }
        std::string line;
        for (int i = 0; i < 50 && line.empty(); ++i) {   // nginx writes the line after the answer
            line = env().proxy->accessLog().substr(logged);
            if (line.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(line.find("upstream=-") == std::string::npos, c.reachesServer) << c.what << ": " << line;
    }
}

TEST_F(ScaleOut, TheGuidesBackupTakenWhileClientsSaveRestoresOneMoment)
{
    char dir[] = "/tmp/fiscal-scaleout-copies.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string copies = dir;
    Load load(env());
    load.waitCalls(50);
    runAsPostgres(guideBlock("O script, em `/usr/local/sbin/fiscal-backup`", copies));
    load.waitCalls(50);
    load.finish();
    EXPECT_TRUE(load.problems().empty()) << load.problems().front();
    const std::string drill = runAsPostgres(guideBlock("sudo -iu postgres", copies));
    fs::remove_all(copies);

    // The drill's database as it was at the copy's moment: every client's rows saved
    // together hold one group; every operation there is one of the database's, with all
    // its items.
    auto copy = fiscal::storage::open(clusterUrl("postgres", "fiscal_ensaio"));
    auto source = fiscal::storage::open(clusterUrl("postgres", "fiscal"));
    for (int c = 0; c < kClients; ++c) {
        std::set<std::optional<std::string>> groups;
        for (int r = 1; r <= kOwnRows; ++r)
            groups.insert(groupOf(*copy, ownKey(c, r)));
        EXPECT_EQ(groups.size(), 1u) << "client " << c << " is torn in the copy";
    }
    const auto operations = [](fiscal::storage::Connection &db) {
        std::map<std::string, std::string> ops;
        auto st = db.prepare("SELECT o.IDOPERACAO, o.NMMETODO || o.DSARGUMENTOS || o.QTALTERADOS || '/'"
                             " || ((SELECT COUNT(*) FROM HISTITEM i WHERE i.IDOPERACAO = o.IDOPERACAO)"
                             "     = o.QTALTERADOS + o.QTINCLUIDOS + o.QTEXCLUIDOS)"
                             " FROM HISTOPERACAO o");
        while (st->step())
            ops[std::string(st->text(0))] = std::string(st->text(1));
        return ops;
    };
    const auto inCopy = operations(*copy);
    const auto inSource = operations(*source);
    EXPECT_GT(inCopy.size(), 0u) << drill;
    EXPECT_LT(inCopy.size(), inSource.size()) << "no save came after the copy";
    for (const auto &[id, what] : inCopy) {
        EXPECT_EQ(inSource.count(id) ? inSource.at(id) : "<none>", what) << "operation " << id;
        EXPECT_EQ(what.substr(what.rfind('/') + 1), "true") << "operation " << id << " lacks items: " << what;
    }
    EXPECT_NE(drill.find("operacoes"), std::string::npos) << drill;

    // The servers' role serves the restored database: the grants came with the copy.
    ServerProcess restored(clusterUrl("fiscal", "fiscal_ensaio"));
    OwnRowsSaver saver{0};
    saver.current = groupOf(*copy, ownKey(0, 1));
    saver.attempt = 99;
    fiscal::rpc::Client direct(QStringLiteral("127.0.0.1"), restored.port(), {});
    saver.once(direct, *copy);
    EXPECT_EQ(saver.ok, 1) << (saver.problems.empty() ? std::string() : saver.problems.front());
    copy.reset();
    fiscal::storage::open(*postgresClusterUrl())->exec("DROP DATABASE fiscal_ensaio WITH (FORCE)");
}

} // namespace
