// The limits every call runs under, over real HTTP on both backends: a save that finds its
// row held, a bulk call stuck behind a lock, a reader too slow for its reply, a batch of
// heavy calls, a selection of too many keys; each ends within its limit with a message that
// says why, and writes nothing. Also what the history keeps of a call: the client's address
// behind a trusted proxy, and a long selection as its count and digest.

#include "writesupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace std::chrono_literals;

namespace {

const QString kLocked = QStringLiteral("O registro está sendo alterado por outra operação; tente novamente.");

// Every limit short, so that a call that waits past one shows within the test's patience.
const std::vector<std::string> kShortLimits{"--lock-wait", "1", "--save-limit", "10", "--read-limit", "2",
                                            "--bulk-limit", "2"};

struct LimitedEnv {
    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;

    explicit LimitedEnv(Backend b, std::vector<std::string> args = kShortLimits)
    {
        db = TestDb::create(b);
        seed(*db);
        server = std::make_unique<ServerProcess>(db->url(), ServerOptions{.extraArgs = std::move(args)});
    }
};

// Another session of the database holding the write it began: a client's row on
// PostgreSQL, the database's write lock on SQLite.
class HeldWrite {
public:
    HeldWrite(const TestDb &db, const std::string &sql) : m_c(db.connect()), m_tx(*m_c) { m_c->exec(sql); }
private:
    std::unique_ptr<fiscal::storage::Connection> m_c;
    fiscal::storage::Transaction m_tx;
};

QCborValue clientGroup(const char *client, const V &from, const V &to)
{
    const V key = QString::fromLatin1(client);
    return ChangeSetBuilder("SetCliente")
        .update({{"CDCLIENTE", key}, {"CDGRUPOFISC", from}}, {{"CDCLIENTE", key}, {"CDGRUPOFISC", to}})
        .build();
}

// The call on a thread of its own: a call that never answers must not hang the test.
std::future<RpcResult> callLater(std::uint16_t port, const std::string &object, const std::string &method,
                                 const QCborArray &params)
{
    return std::async(std::launch::async, [=] { return rpcCall(port, object, method, params); });
}

// Waits for the answer at most `patience`; empty when it had not come.
std::optional<RpcResult> answerWithin(std::future<RpcResult> &f, std::chrono::seconds patience)
{
    if (f.wait_for(patience) != std::future_status::ready)
        return std::nullopt;
    return f.get();
}

class Limits : public ::testing::TestWithParam<Backend> {};

TEST_P(Limits, ASaveOfAHeldRowAnswersInsteadOfWaiting)
{
    LimitedEnv env(GetParam());
    const auto port = env.server->port();
    const auto operations = env.db->count("SELECT COUNT(*) FROM HISTOPERACAO");
    std::future<RpcResult> save;
    {
        HeldWrite held(*env.db, "UPDATE CLIENTE SET NMRAZSOCCLIE = 'Outra operação' WHERE CDCLIENTE = 'WC1'");
        save = callLater(port, kParamGrupFiscal, "SetCliente", QCborArray{clientGroup("WC1", QStringLiteral("901"), QStringLiteral("902"))});
        const std::optional<RpcResult> r = answerWithin(save, 30s);
        ASSERT_TRUE(r) << "the save waited as long as the other transaction held the row";
        EXPECT_EQ(r->errorCode, -32000);
        EXPECT_EQ(r->errorMessage, kLocked);
        if (GetParam() == Backend::Postgres) {
            // Only that row is held: another client's save goes on meanwhile.
            const RpcResult other = rpcCall(port, kParamGrupFiscal, "SetCliente", QCborArray{clientGroup("WC2", null, QStringLiteral("903"))});
            EXPECT_TRUE(other.ok()) << other.errorMessage.toStdString();
        }
    }
    EXPECT_EQ(env.db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'"), "901") << "the refused save wrote";
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE CDCHAVE1 = 'WC1'"), 0);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations + (GetParam() == Backend::Postgres ? 1 : 0));
    // Once the row is free the same save goes through.
    const RpcResult again = rpcCall(port, kParamGrupFiscal, "SetCliente", QCborArray{clientGroup("WC1", QStringLiteral("901"), QStringLiteral("902"))});
    EXPECT_TRUE(again.ok()) << again.errorMessage.toStdString();
}

// PostgreSQL: while one save waits for a row another transaction holds, the saves of other
// rows go on meanwhile, not queued behind it; once the row is free it goes through too.
TEST_P(Limits, ASaveWaitingForAHeldRowHoldsUpNoOtherSave)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    LimitedEnv env(GetParam(), {"--lock-wait", "60"});
    const auto port = env.server->port();
    std::future<RpcResult> held, other;
    {
        HeldWrite hold(*env.db, "UPDATE CLIENTE SET NMRAZSOCCLIE = 'Outra operação' WHERE CDCLIENTE = 'WC1'");
        held = callLater(port, kParamGrupFiscal, "SetCliente", QCborArray{clientGroup("WC1", QStringLiteral("901"), QStringLiteral("902"))});
        bool waiting = false;
        for (int i = 0; i < 3000 && !waiting; ++i) {
            waiting = env.db->count("SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock' "
                                    "AND datname = current_database()") > 0;
            if (!waiting)
                std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(waiting) << "the save of the held row never waited for it";
        other = callLater(port, kParamGrupFiscal, "SetCliente", QCborArray{clientGroup("WC2", null, QStringLiteral("903"))});
        const std::optional<RpcResult> r = answerWithin(other, 30s);
        ASSERT_TRUE(r) << "the other row's save queued behind the held one";
        EXPECT_TRUE(r->ok()) << r->errorMessage.toStdString();
        EXPECT_EQ(held.wait_for(0s), std::future_status::timeout) << "the held row's save did not wait for it";
    }
    const std::optional<RpcResult> r = answerWithin(held, 30s);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->ok()) << r->errorMessage.toStdString();
    EXPECT_EQ(env.db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'"), "902");
}

// A bulk call stuck behind a lock ends at its own limit (2 s here), not at the lock wait of
// a save, and leaves nothing; a server started meanwhile on the same database (a restart of
// another instance) comes up and serves while the bulk call is still waiting.
TEST_P(Limits, ABulkCallPastItsLimitWritesNothing)
{
    LimitedEnv env(GetParam());
    const std::string before = snapshot(*env.db);
    const auto operations = env.db->count("SELECT COUNT(*) FROM HISTOPERACAO");
    std::future<RpcResult> bulk;
    {
        HeldWrite held(*env.db, "UPDATE FORNECEDOR SET NMRAZSOCFORN = 'Outra operação' WHERE CDFORNECED = 'WF2'");
        bulk = callLater(env.server->port(), kCadAutParGrpFis, "CadastroAutomatico",
                         strings({"FORNECEDOR", "903", "", "T", "", "", ""}));
        ServerProcess restarted(env.db->url(), {.extraArgs = kShortLimits});
        const RpcResult read = rpcCall(restarted.port(), kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("901")});
        EXPECT_TRUE(read.ok()) << read.errorMessage.toStdString();
        const std::optional<RpcResult> r = answerWithin(bulk, 30s);
        ASSERT_TRUE(r) << "the bulk call waited as long as the other transaction held its row";
        EXPECT_EQ(r->errorCode, -32000);
        EXPECT_EQ(r->errorMessage,
                  QStringLiteral("A operação passou do tempo limite de 2 s do servidor e foi cancelada; nada foi gravado."));
    }
    EXPECT_TRUE(snapshot(*env.db) == before) << "the bulk call that ran out of time wrote something";
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations);
}

// A client that takes its reply slowly but steadily (each piece well within the write
// time-out) still has the reply cut at the call's deadline, and the serving thread is free
// again. The limit leaves a loaded machine time to begin the reply (the rows are sorted
// first); the whole of it would take the reader a minute.
TEST_P(Limits, ASlowReaderIsCutAtTheCallsDeadline)
{
    LimitedEnv env(GetParam(), {"--read-limit", "8"});
    seedSuppliers(*env.db, 200000);

    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    const int small = 4096;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(env.server->port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    const std::string body = R"({"jsonrpc":"2.0","method":"GetDados","params":[],"id":1})";
    const std::string request = "POST /rpc/" + kParamGrupFiscal + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(::send(s, request.data(), request.size(), 0), ssize_t(request.size()));

    const timeval wait{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string tail;
    std::size_t received = 0;
    bool closed = false;
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    char buffer[4096];
    while (!closed && std::chrono::steady_clock::now() < giveUp) {
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n > 0) {
            received += std::size_t(n);
            tail = (tail + std::string(buffer, std::size_t(n))).substr(std::max<std::ptrdiff_t>(0, std::ptrdiff_t(tail.size() + n) - 16));
        }
        closed = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        std::this_thread::sleep_for(10ms);   // at most 400 KB/s
    }
    ::close(s);
    ASSERT_TRUE(closed) << "the server was still sending after 60 s (" << received << " bytes)";
    EXPECT_GT(received, std::size_t(256 * 1024)) << "the reply was not streamed";
    EXPECT_EQ(tail.find("0\r\n\r\n"), std::string::npos) << "the whole reply arrived: it was not cut";
    const RpcResult next = rpcCall(env.server->port(), kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("901")});
    EXPECT_TRUE(next.ok()) << next.errorMessage.toStdString();
}

QByteArray batchOf(const std::vector<std::string> &methods, const char *params = "[]")
{
    QByteArray body = "[";
    for (std::size_t i = 0; i < methods.size(); ++i)
        body += QByteArray(i ? "," : "") + R"({"jsonrpc":"2.0","method":")" + methods[i].c_str()
            + R"(","params":)" + params + R"(,"id":)" + QByteArray::number(qint64(i + 1)) + "}";
    return body + "]";
}

TEST_P(Limits, ABatchOfTooManyHeavyCallsIsRefusedWhole)
{
    LimitedEnv env(GetParam(), {"--heavy-per-batch", "2"});
    struct Case {
        const char *what;
        std::vector<std::string> methods;
        bool refused;
        std::string object = kParamGrupFiscal;
        const char *params = "[]";
    };
    const std::vector<Case> cases{
        {"as many heavy calls as allowed, with light ones", {"GetDados", "GetFilial", "GetDados", "GetTipoFatur"}, false},
        {"one heavy call too many", {"GetDados", "GetDados", "GetFilial", "GetDados"}, true},
        {"every supplier or client is heavy", {"GetCliente", "GetFornecedor", "GetFilial", "GetCliente"}, true},
        // A lookup may read every client: three of them are one too many, whatever they read.
        {"lookups", {"Consulta", "Consulta", "Consulta"}, true, "Ger10207.rdmConsultas", R"(["CacheCliente",[]])"},
        {"two lookups", {"Consulta", "Consulta"}, false, "Ger10207.rdmConsultas", R"(["CacheCliente",[]])"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const HttpResponse http = httpPost(env.server->port(), "/rpc/" + c.object, batchOf(c.methods, c.params),
                                           "application/json");
        ASSERT_EQ(http.status, 200);
        const QJsonDocument reply = QJsonDocument::fromJson(http.body);
        if (c.refused) {
            ASSERT_TRUE(reply.isObject()) << http.body.toStdString();
            EXPECT_EQ(reply[QStringLiteral("error")][QStringLiteral("code")].toInt(), -32600);
            EXPECT_TRUE(reply[QStringLiteral("error")][QStringLiteral("message")].toString().contains(
                QStringLiteral("3 chamadas pesadas")))
                << http.body.toStdString();
        } else {
            ASSERT_TRUE(reply.isArray()) << http.body.toStdString();
            EXPECT_EQ(reply.array().size(), qsizetype(c.methods.size()));
        }
    }
}

TEST_P(Limits, ASelectionOfTooManyKeysIsRefused)
{
    LimitedEnv env(GetParam(), {});
    const std::string before = snapshot(*env.db);
    QString clients;
    clients.reserve(11 * 1000001);
    for (int i = 0; i <= 1000000; ++i)
        clients += (i ? QStringLiteral(",'") : QStringLiteral("'")) + QString::number(i) + QLatin1Char('\'');
    const RpcResult r = rpcCall(env.server->port(), kCadAutParGrpFis, "CadAutoImpInscEsta",
                                QCborArray{QStringLiteral("91"), QString(), QStringLiteral("L"), QStringLiteral("'91IE-A'"),
                                           QStringLiteral("L"), clients, QStringLiteral("N"), QString(),
                                           QStringLiteral("903"), QStringLiteral("T")});
    EXPECT_EQ(r.errorCode, -32602);
    EXPECT_TRUE(r.errorMessage.contains(QStringLiteral("mais de 1.000.000 chaves"))) << r.errorMessage.toStdString();
    EXPECT_TRUE(snapshot(*env.db) == before);
}

// The history keeps a 3,000-client list as its count and the digest of the text as sent,
// and every row the call changed in its items.
TEST_P(Limits, TheHistoryKeepsALongSelectionAsItsDigest)
{
    LimitedEnv env(GetParam(), {});
    constexpr int kClients = 3000;
    env.db->exec(GetParam() == Backend::Postgres
                     ? "INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) SELECT 'SD' || lpad(i::text, 5, '0'), "
                       "'Cliente em massa' FROM generate_series(1, 3000) AS i"
                     : "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                       "INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) SELECT 'SD' || printf('%05d', i), "
                       "'Cliente em massa' FROM n");
    QString clients;
    for (int i = 1; i <= kClients; ++i)
        clients += (i > 1 ? QStringLiteral(",'") : QStringLiteral("'")) + QStringLiteral("SD%1").arg(i, 5, 10, QChar(u'0'))
            + QLatin1Char('\'');
    const RpcResult r = rpcCall(env.server->port(), kCadAutParGrpFis, "CadAutoImpInscEsta",
                                QCborArray{QStringLiteral("91"), QString(), QStringLiteral("L"), QStringLiteral("'91IE-A'"),
                                           QStringLiteral("L"), clients, QStringLiteral("N"), QString(),
                                           QStringLiteral("903"), QStringLiteral("T")});
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    const std::string kept = env.db->scalar("SELECT DSARGUMENTOS FROM HISTOPERACAO").value_or("");
    const std::string digest =
        QCryptographicHash::hash(clients.toUtf8(), QCryptographicHash::Sha256).toHex().toStdString();
    EXPECT_LT(kept.size(), 300u) << kept.substr(0, 300);
    EXPECT_NE(kept.find("\"3000 chaves; SHA-256 " + digest + "\""), std::string::npos) << kept;
    EXPECT_NE(kept.find("\"'91IE-A'\""), std::string::npos) << "a short list is kept as it came: " << kept;
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE NMTABELA = 'GRFISIMPIECLIE' AND CDCHAVE4 LIKE 'SD%'"),
              kClients);
}

INSTANTIATE_TEST_SUITE_P(Backends, Limits, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

// Behind a proxy the client's address is the one the proxy saw, in the call log and in the
// history; from a peer that is not a trusted proxy the header is the client's own claim.
class ClientAddress : public ::testing::TestWithParam<Backend> {};

TEST_P(ClientAddress, ComesFromATrustedProxyOnly)
{
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string forwarded;
        std::string recorded;
    };
    const std::vector<Case> cases{
        {"through a trusted proxy: the address it appended", {"--trusted-proxy", "10.9.9.9,127.0.0.1"},
         "203.0.113.9, 198.51.100.7", "198.51.100.7"},
        {"the header from a peer that is no proxy", {}, "198.51.100.7", "127.0.0.1"},
        {"a trusted proxy's header that is no address", {"--trusted-proxy", "127.0.0.1"}, "desconhecido", "127.0.0.1"},
        {"a proxy named as IPv4 mapped into IPv6", {"--trusted-proxy", "::ffff:127.0.0.1"}, "198.51.100.7",
         "198.51.100.7"},
    };
    const QByteArray call =
        R"({"jsonrpc":"2.0","method":"CadastroAutomatico","params":["CLIENTE","002","","T","","",""],"id":1})";
    // A script's token: without sign-in nothing that came through a proxy is served (below).
    const std::string token(40, 't');
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto db = TestDb::create(GetParam());
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--token", token});
        ServerProcess server(db->url(), {.extraArgs = args, .captureStderr = true});
        const HttpResponse http = httpPost(server.port(), "/rpc/" + kCadAutParGrpFis, call, "application/json",
                                           {{"X-Forwarded-For", c.forwarded}, {"Authorization", "Bearer " + token}});
        EXPECT_TRUE(decodeReply(http).ok()) << http.body.toStdString();
        EXPECT_EQ(db->scalar("SELECT DSENDERECO FROM HISTOPERACAO"), c.recorded);
        EXPECT_EQ(server.stop(), 0);
        EXPECT_NE(server.errors().find("method=CadastroAutomatico"), std::string::npos) << server.errors();
        EXPECT_NE(server.errors().find("peer=" + c.recorded), std::string::npos) << server.errors();
    }
    // Without sign-in only this machine may call, whether or not the proxy is trusted: nginx
    // in front of the loopback port would let every machine in as the administrator.
    auto db = TestDb::create(GetParam());
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"--trusted-proxy", "127.0.0.1"}}) {
        ServerProcess server(db->url(), {.extraArgs = args});
        EXPECT_EQ(httpPost(server.port(), "/rpc/" + kCadAutParGrpFis, call, "application/json",
                           {{"X-Forwarded-For", "198.51.100.7"}}).status, 401);
        EXPECT_TRUE(decodeReply(httpPost(server.port(), "/rpc/" + kCadAutParGrpFis, call, "application/json")).ok());
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ClientAddress, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
