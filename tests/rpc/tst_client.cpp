// The synchronous client against a real server: results, failures, reconnection, timeouts.
#include "serverfixture.h"

#include "rpc/tls_p.h"

#include <openssl/ssl.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace fiscal::rpc;
using namespace rpctest;

TEST_F(ServerTest, ClientCallsAndServerFailures)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);

    const QCborArray params{QStringLiteral("001"), QStringLiteral("Ação"), QCborValue(QCborValue::Null),
                            true, 42, QCborArray{QStringLiteral("x")}};
    const Reply echo = client.call(kObject, QStringLiteral("Echo"), params);
    ASSERT_TRUE(echo.ok()) << echo.errorMessage().toStdString();
    EXPECT_EQ(echo.value(), QCborValue(params));

    struct Case {
        const char *object;
        const char *method;
        int code;
        const char *message;   // nullptr: any
    };
    const std::vector<Case> cases = {
        {"Test.rdmEcho", "Fail", code::NotFound, "Grupo fiscal não cadastrado."},
        {"Test.rdmEcho", "Crash", code::Internal, "Erro interno do servidor."},
        {"Test.rdmEcho", "NoSuchMethod", code::MethodNotFound, nullptr},
        {"Test.rdmNoSuchObject", "Echo", code::MethodNotFound, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.method);
        const Reply r = client.call(QString::fromUtf8(c.object), QString::fromUtf8(c.method), {});
        ASSERT_TRUE(r.isError());
        EXPECT_EQ(r.errorCode(), c.code);
        if (c.message) {
            EXPECT_EQ(r.errorMessage(), QString::fromUtf8(c.message));
        }
        EXPECT_FALSE(r.errorMessage().contains(QLatin1String("secret")));
    }
    const Reply fail = client.call(kObject, QStringLiteral("Fail"), {});
    EXPECT_EQ(fail.errorData().toMap().value(QLatin1String("table")).toString(),
              QStringLiteral("GRUPOFISCAL"));

    const Reply nothing = client.call(kObject, QStringLiteral("Nothing"), {});
    ASSERT_TRUE(nothing.ok());
    EXPECT_TRUE(nothing.value().isNull());

    // The connection survived every failure above.
    EXPECT_TRUE(client.isConnected());
}

TEST_F(ServerTest, NamesMatchWithoutRegardToCase)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);
    const std::vector<std::pair<QString, QString>> names = {
        {QStringLiteral("Test.rdmEcho"), QStringLiteral("echo")},
        {QStringLiteral("test.RDMECHO"), QStringLiteral("ECHO")},
        {QStringLiteral("TEST.rdmecho"), QStringLiteral("eChO")},
    };
    for (const auto &[object, method] : names) {
        const Reply r = client.call(object, method, {1});
        ASSERT_TRUE(r.ok()) << object.toStdString() << "." << method.toStdString();
        EXPECT_EQ(r.value(), QCborValue(QCborArray{1}));
    }
}

TEST_F(ServerTest, BigResultStreamsAsRawCbor)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);
    const int rows = 200000;
    const Reply r = client.call(kObject, QStringLiteral("Big"), {rows});
    ASSERT_TRUE(r.ok());
    // Read it the way the data-set library does: a stream, no tree.
    QCborStreamReader reader(r.resultCbor());
    ASSERT_TRUE(reader.isArray());
    reader.enterContainer();
    int count = 0;
    QString last;
    while (reader.hasNext()) {
        reader.enterContainer();
        auto s = reader.readString();
        last.clear();
        while (s.status == QCborStreamReader::Ok) {
            last += s.data;
            s = reader.readString();
        }
        while (reader.hasNext())
            reader.next();
        reader.leaveContainer();
        ++count;
    }
    reader.leaveContainer();
    EXPECT_EQ(reader.lastError(), QCborError::NoError);
    EXPECT_EQ(reader.currentOffset(), r.resultCbor().size());
    EXPECT_EQ(count, rows);
    EXPECT_EQ(last, QStringLiteral("199999"));
}

TEST_F(ServerTest, ClientReopensAConnectionTheServerClosedWhileIdle)
{
    ServerOptions opt;
    opt.readTimeout = std::chrono::milliseconds(200);
    startServer(opt);
    Client client(QStringLiteral("127.0.0.1"), port);
    for (int i = 0; i < 3; ++i) {
        const Reply r = client.call(kObject, QStringLiteral("Echo"), {i});
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(r.value(), QCborValue(QCborArray{i}));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));   // outlive the idle limit
    }
}

// Every answer names the server's limits, kept or streamed, a refusal too; the process keeps
// the last ones of each server.
TEST_F(ServerTest, AnswersNameTheServersLimits)
{
    using std::chrono::seconds;
    ServerOptions opt;
    opt.limits.read = seconds(200);
    opt.limits.save = seconds(45);
    opt.limits.bulk = seconds(1800);
    startServer(opt);
    const std::string target = "/rpc/" + kObject.toStdString();
    const struct { const char *what; std::string request; int status; } cases[] = {
        {"a small reply", rawhttp::post(target, "application/json", R"({"jsonrpc":"2.0","method":"Echo","params":[1],"id":1})"), 200},
        {"a streamed reply", rawhttp::post(target, "application/json", R"({"jsonrpc":"2.0","method":"Big","params":[60000],"id":1})"), 200},
        {"not JSON (answered in the envelope)", rawhttp::post(target, "application/json", "{"), 200},
        {"a GET", "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n", 405},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        rawhttp::Connection conn(port);
        ASSERT_TRUE(conn.send(c.request));
        const rawhttp::Response r = conn.read();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.headers.count("x-fiscal-limits") ? r.headers.at("x-fiscal-limits") : std::string("(none)"),
                  "read=200, save=45, bulk=1800");
    }
    Client client(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(client.call(kObject, QStringLiteral("Big"), {60000}).ok());
    const std::optional<CallLimits> named = announcedLimits(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->read, seconds(200));
    EXPECT_EQ(named->save, seconds(45));
    EXPECT_EQ(named->bulk, seconds(1800));
}

TEST(CallLimits, AHeaderIsReadWholeOrNotAtAll)
{
    using std::chrono::seconds;
    const struct { const char *value; long long read, save, bulk; } cases[] = {
        {"read=120, save=30, bulk=900", 120, 30, 900},
        {"bulk=1800,read=5 ,  save=7", 5, 7, 1800},
        {"read=1, save=1, bulk=604800, later=3", 1, 1, 604800},   // a name a later server adds
        {"", 0, 0, 0},
        {"read=120, save=30", 0, 0, 0},                            // one missing
        {"read=120, read=30, read=900", 0, 0, 0},
        {"read=0, save=30, bulk=900", 0, 0, 0},
        {"read=-5, save=30, bulk=900", 0, 0, 0},
        {"read=120, save=30, bulk=604801", 0, 0, 0},               // past a week
        {"read=120, save=30, bulk=99999999999999999999", 0, 0, 0},
        {"read=12x, save=30, bulk=900", 0, 0, 0},
        {"read, save=30, bulk=900", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        const std::optional<CallLimits> l = limitsFromHeader(c.value);
        ASSERT_EQ(l.has_value(), c.read > 0);
        if (l) {
            EXPECT_EQ(l->read, seconds(c.read));
            EXPECT_EQ(l->save, seconds(c.save));
            EXPECT_EQ(l->bulk, seconds(c.bulk));
        }
    }
    CallLimits written;
    written.read = seconds(61);
    EXPECT_EQ(limitsFromHeader(limitsHeaderValue(written))->read, seconds(61));
}

TEST_F(ServerTest, ClientTransportFailuresAreThrown)
{
    startServer();
    // Nothing listens on a port we just closed.
    quint16 deadPort;
    {
        HttpServer probe(dispatcher);
        deadPort = probe.port();
    }
    Client nowhere(QStringLiteral("127.0.0.1"), deadPort);
    EXPECT_THROW(nowhere.call(kObject, QStringLiteral("Echo"), {}), TransportError);

    Client bad(QStringLiteral("127.0.0.1"), port);
    EXPECT_THROW(bad.call(QStringLiteral("Test rdm/../x"), QStringLiteral("Echo"), {}), TransportError);

    // No answer in time: an error, not a hang, with a pump or without (each call holds a
    // serving thread until the gate opens); the clients are usable afterwards.
    Client client(QStringLiteral("127.0.0.1"), port);
    Client pumped(QStringLiteral("127.0.0.1"), port);
    int pumps = 0;
    pumped.pump = [&] { ++pumps; };
    for (Client *c : {&client, &pumped}) {
        try {
            c->call(kObject, QStringLiteral("Gated"), {}, 300);
            ADD_FAILURE() << "a call past its timeout returned";
        } catch (const TransportError &e) {
            EXPECT_TRUE(e.message().contains(QStringLiteral("não respondeu")));
        }
    }
    EXPECT_GT(pumps, 0);
    gate.release();
    EXPECT_TRUE(client.call(kObject, QStringLiteral("Echo"), {}).ok());
    EXPECT_TRUE(pumped.call(kObject, QStringLiteral("Echo"), {}).ok());

    // A body over the server's limit is refused, never taken for a success.
    const QCborArray huge{QString(2 * 1024 * 1024, QLatin1Char('x'))};
    try {
        const Reply r = client.call(kObject, QStringLiteral("Echo"), huge);
        EXPECT_TRUE(r.isError());
    } catch (const TransportError &) {
    }
}

// The exchange waits on the caller's thread and pumps there: the call cannot finish until
// the pump has let the gated method go, so a pump that never ran would time out.
TEST_F(ServerTest, PumpRunsOnTheCallersThreadWhileACallWaits)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);
    std::thread::id pumpThread;
    bool refused = false;
    client.pump = [&] {
        pumpThread = std::this_thread::get_id();
        // A call made while one is in flight on the same client is refused, not interleaved.
        try {
            client.call(kObject, QStringLiteral("Echo"), {});
        } catch (const TransportError &) {
            refused = true;
        }
        if (gate.waitEntered(1))
            gate.release();
    };
    for (const bool streamed : {false, true}) {
        SCOPED_TRACE(streamed ? "streamed" : "whole");
        {
            std::lock_guard lock(gate.m);
            gate.open = false;
            gate.entered = 0;
        }
        QByteArray got;
        const Reply r = streamed ? client.call(kObject, QStringLiteral("Gated"), {},
                                               [&](fiscal::dataset::ByteSource &s) {
                                                   char buf[64];
                                                   for (qsizetype n; (n = s.read(buf, sizeof buf)) > 0;)
                                                       got.append(buf, n);
                                               }, 20000)
                                 : client.call(kObject, QStringLiteral("Gated"), {}, 20000);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(streamed ? QCborValue::fromCbor(got) : r.value(), QCborValue(QStringLiteral("done")));
        EXPECT_EQ(pumpThread, std::this_thread::get_id());
        EXPECT_TRUE(refused);
    }

    // A transport failure still reaches the caller as an exception.
    Client nowhere(QStringLiteral("127.0.0.1"), 1);
    nowhere.pump = [] {};
    EXPECT_THROW(nowhere.call(kObject, QStringLiteral("Echo"), {}), TransportError);
}

TEST_F(ServerTest, ConcurrentClients)
{
    ServerOptions opt;
    opt.workers = 3;
    startServer(opt);
    constexpr int kClients = 8, kCalls = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            Client client(QStringLiteral("127.0.0.1"), port);
            for (int i = 0; i < kCalls; ++i) {
                const QCborArray p{c, i, QStringLiteral("cliente %1").arg(c)};
                const Reply r = client.call(kObject, QStringLiteral("Echo"), p);
                if (r.ok() && r.value() == QCborValue(p))
                    ++good;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(good.load(), kClients * kCalls);

    // Calls really run side by side on the workers: three can be inside a method at once.
    // A new connection goes to the serving thread with the fewest, so the clients above must
    // be gone first, or two of the three might share one thread, the second behind the first.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server->openConnections() > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(server->openConnections(), 0u);
    std::vector<std::future<Reply>> calls;
    for (int i = 0; i < 3; ++i)
        calls.push_back(std::async(std::launch::async, [this] {
            Client client(QStringLiteral("127.0.0.1"), port);
            return client.call(kObject, QStringLiteral("Gated"), {});
        }));
    EXPECT_TRUE(gate.waitEntered(3));
    gate.release();
    for (auto &f : calls)
        EXPECT_TRUE(f.get().ok());
}

// A server named by its IPv6 address: the Host header carries it in brackets, or nginx in
// front answers 400 (it reads the host up to the first colon).
TEST(ClientHead, AnIpv6HostIsBracketed)
{
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_addr = in6addr_loopback;
    socklen_t size = sizeof at;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        if (listener >= 0)
            ::close(listener);
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&at), &size), 0);
    std::string head;
    std::thread server([&] {
        const int c = ::accept(listener, nullptr, nullptr);
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            head.append(buf, std::size_t(n));
        }
        const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        (void)!::write(c, answer.data(), answer.size());
        ::close(c);
    });
    Client client(QStringLiteral("::1"), ntohs(at.sin6_port));
    try {
        client.call(QStringLiteral("Objeto"), QStringLiteral("Metodo"), {}, 10000);
    } catch (const TransportError &) {
    }
    server.join();
    ::close(listener);
    EXPECT_NE(head.find("\r\nHost: [::1]:" + std::to_string(ntohs(at.sin6_port)) + "\r\n"), std::string::npos) << head;
}

// The name the server's certificate must carry: one OpenSSL cannot check it against (an
// IPv6 address with its interface) is refused, or only the chain would be checked.
TEST(Tls, AServerNameTheCertificateCannotBeCheckedAgainstIsRefused)
{
    boost::asio::ssl::context ctx = detail::makeClientContext(QString());
    struct Case {
        const char *host;
        bool accepted;
    };
    for (const Case &c : {Case{"servidor.empresa.local", true}, Case{"127.0.0.1", true}, Case{"::1", true},
                          Case{"fe80::1%lo", false}}) {
        SCOPED_TRACE(c.host);
        SSL *ssl = SSL_new(ctx.native_handle());
        bool accepted = true;
        try {
            detail::expectServerName(ssl, c.host);
        } catch (const TransportError &) {
            accepted = false;
        }
        SSL_free(ssl);
        EXPECT_EQ(accepted, c.accepted);
    }
}

// A token over plain HTTP to another machine could be read on the way: the client refuses
// to send it, before connecting, and says why. On this machine, or without a token, it calls.
TEST_F(ServerTest, TokenNeverTravelsInClearToAnotherMachine)
{
    startServer();
    struct Case {
        const char *host;
        bool loopback;
    };
    for (const Case &c : {Case{"127.0.0.1", true}, Case{"127.8.0.1", true}, Case{"localhost", true},
                          Case{"[::1]", true}, Case{"LOCALHOST", true}, Case{"192.0.2.10", false},
                          Case{"127.0.0.1.example.com", false}, Case{"::ffff:192.0.2.10", false},
                          Case{"servidor.empresa.local", false}, Case{"fiscal.localhost", false}}) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(isLoopbackHost(QString::fromLatin1(c.host)), c.loopback);
    }
    Client remote(QStringLiteral("192.0.2.10"), port, QStringLiteral("um-token-de-acesso-de-32-caracteres"));
    try {
        remote.call(kObject, QStringLiteral("Echo"), {}, 500);
        ADD_FAILURE() << "the token went over plain HTTP";
    } catch (const TransportError &e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("sem criptografia"))) << e.message().toStdString();
    }
    Client local(QStringLiteral("127.0.0.1"), port, QStringLiteral("um-token-de-acesso-de-32-caracteres"));
    EXPECT_TRUE(local.call(kObject, QStringLiteral("Echo"), {}).ok());
}

namespace {

// An array of `rows` strings, its CBOR given in pieces of the size asked; `extra` bytes more
// than it announces make it lie about its size.
class RowsParam final : public StreamedParam {
public:
    RowsParam(int rows, int extra = 0) : m_extra(extra)
    {
        QCborArray a;
        for (int i = 0; i < rows; ++i)
            a.append(QStringLiteral("linha %1 ação").arg(i));
        m_value = a;
        m_cbor = QCborValue(a).toCbor();
    }
    std::uint64_t size() override { return std::uint64_t(m_cbor.size()); }
    void rewind() override { m_at = 0; ++rewinds; }
    bool next(QByteArray &piece, qsizetype hint) override
    {
        const qsizetype total = m_cbor.size() + m_extra;
        if (m_at >= total)
            return false;
        piece = (m_cbor + QByteArray(m_extra, '\xf6')).mid(m_at, hint);
        m_at += piece.size();
        return true;
    }
    const QCborArray &value() const { return m_value; }
    int rewinds = 0;

private:
    QCborArray m_value;
    QByteArray m_cbor;
    qsizetype m_at = 0;
    int m_extra;
};

} // namespace

TEST_F(ServerTest, StreamedParamArrivesAsTheWholeBodyWould)
{
    // Long enough for the client's own work between two requests on a loaded machine (the
    // time counts from the end of the last reply); short enough to wait out below.
    ServerOptions opt;
    opt.readTimeout = std::chrono::milliseconds(2000);
    startServer(opt);
    Client client(QStringLiteral("127.0.0.1"), port);
    const QCborArray leading{QStringLiteral("CLIENTE"), QString()};
    // Small enough to be decoded with the request, and large enough to be left encoded
    // until the method is known, in many pieces.
    for (const int rows : {3, 40000}) {
        SCOPED_TRACE(rows);
        RowsParam param(rows);
        QCborArray whole = leading;
        whole.append(param.value());
        const Reply streamed = client.call(kObject, QStringLiteral("Echo"), leading, param);
        ASSERT_TRUE(streamed.ok()) << streamed.errorMessage().toStdString();
        EXPECT_EQ(streamed.value(), QCborValue(whole));
        EXPECT_EQ(streamed.value(), client.call(kObject, QStringLiteral("Echo"), whole).value());

        // A kept connection the server closed meanwhile: the call goes on a new one, the
        // param again from its start (twice, when the close comes as the request is sent).
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const int before = param.rewinds;
        const Reply again = client.call(kObject, QStringLiteral("Echo"), leading, param);
        ASSERT_TRUE(again.ok()) << again.errorMessage().toStdString();
        EXPECT_EQ(again.value(), QCborValue(whole));
        EXPECT_GE(param.rewinds, before + 1);
    }

    // A param that gives more than it announced never reaches the server as a call.
    RowsParam liar(100, 5);
    EXPECT_THROW(client.call(kObject, QStringLiteral("Echo"), leading, liar), TransportError);
    const Reply after = client.call(kObject, QStringLiteral("Echo"), {1});
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.value(), QCborValue(QCborArray{1}));
}
