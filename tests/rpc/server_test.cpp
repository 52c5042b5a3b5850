#include "rawhttp.h"

#include "rpc/client.h"
#include "rpc/dispatcher.h"
#include "rpc/httpserver.h"

#include <QCborMap>
#include <QCborStreamReader>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>

using namespace fiscal::rpc;
using fiscal::dataset::ValueWriter;

namespace {

const QString kObject = QStringLiteral("Test.rdmEcho");

void writeValue(ValueWriter &w, const QCborValue &v)
{
    switch (v.type()) {
    case QCborValue::Array:
        w.startArray();
        for (const QCborValue &e : v.toArray())
            writeValue(w, e);
        w.endArray();
        break;
    case QCborValue::Map:
        w.startMap();
        for (auto it = v.toMap().cbegin(); it != v.toMap().cend(); ++it) {
            const QByteArray k = it.key().toString().toUtf8();
            w.key(std::string_view(k.constData(), size_t(k.size())));
            writeValue(w, it.value());
        }
        w.endMap();
        break;
    case QCborValue::String:
        w.string(v.toString());
        break;
    case QCborValue::Integer:
        w.integer(v.toInteger());
        break;
    case QCborValue::True:
    case QCborValue::False:
        w.boolean(v.toBool());
        break;
    default:
        w.null();
    }
}

// A method that blocks until the test lets it go, so that "a call under way" is a fact and
// not a matter of timing.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    int entered = 0;
    bool open = false;

    void pass()
    {
        std::unique_lock lock(m);
        ++entered;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    bool waitEntered(int n)
    {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return entered >= n; });
    }
    void release()
    {
        std::lock_guard lock(m);
        open = true;
        cv.notify_all();
    }
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string obj = kObject.toStdString();
        dispatcher.add(obj, "Echo", [](const QCborArray &params, ValueWriter &w) {
            writeValue(w, params);
        });
        dispatcher.add(obj, "Big", [](const QCborArray &params, ValueWriter &w) {
            const qint64 n = params.at(0).toInteger();
            w.startArray();
            for (qint64 i = 0; i < n; ++i) {
                w.startArray();
                w.string(QStringLiteral("%1").arg(i, 6, 10, QLatin1Char('0')));
                w.string(std::string_view("Descrição do grupo fiscal"));
                w.null();
                w.endArray();
            }
            w.endArray();
        });
        dispatcher.add(obj, "Fail", [](const QCborArray &, ValueWriter &w) {
            w.startArray();   // half a result must not leak into the reply
            throw Fault(code::NotFound, QStringLiteral("Grupo fiscal não cadastrado."),
                        QCborMap{{QStringLiteral("table"), QStringLiteral("GRUPOFISCAL")}});
        });
        dispatcher.add(obj, "Crash", [](const QCborArray &, ValueWriter &) {
            throw std::runtime_error("secret detail of the crash");
        });
        dispatcher.add(obj, "Nothing", [](const QCborArray &, ValueWriter &) {});
        dispatcher.add(obj, "Gated", [this](const QCborArray &, ValueWriter &w) {
            gate.pass();
            w.string(std::string_view("done"));
        });
    }

    void TearDown() override
    {
        gate.release();
        if (server)
            server->stop();
    }

    void startServer(ServerOptions options = {})
    {
        options.maxBodyBytes = options.maxBodyBytes == ServerOptions{}.maxBodyBytes
                                   ? 1024 * 1024
                                   : options.maxBodyBytes;
        server = std::make_unique<HttpServer>(dispatcher, options);
        server->start();
        port = server->port();
        ASSERT_NE(port, 0);
    }

    Dispatcher dispatcher;
    Gate gate;
    std::unique_ptr<HttpServer> server;
    quint16 port = 0;
};

QCborValue cborErrorCode(const std::string &body)
{
    return QCborValue::fromCbor(QByteArray::fromStdString(body))
        .toMap()
        .value(QLatin1String("error"))
        .toMap()
        .value(QLatin1String("code"));
}

// The JSON-RPC error code of an HTTP answer in either encoding; 0 when there is none.
int errorCodeOf(const rawhttp::Response &res)
{
    const auto type = res.headers.find("content-type");
    if (type != res.headers.end() && type->second == "application/cbor")
        return int(cborErrorCode(res.body).toInteger());
    return rawhttp::jsonErrorCode(res.body);
}

std::string jsonCall(const std::string &method, const std::string &params = "[]")
{
    return R"({"jsonrpc":"2.0","method":")" + method + R"(","params":)" + params + R"(,"id":1})";
}

} // namespace

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

TEST_F(ServerTest, RawRequestsGetClearAnswers)
{
    ServerOptions opt;
    opt.maxHeaderBytes = 4096;
    startServer(opt);
    const std::string target = "/rpc/Test.rdmEcho";
    const std::string json = "application/json";
    const std::string badCbor("\xA2\x67jsonrpc", 9);

    struct Case {
        const char *name;
        std::string request;
        int status;
        int code;   // JSON-RPC code in a JSON body; 0: not checked
    };
    const std::vector<Case> cases = {
        {"echo json", rawhttp::post(target, json, jsonCall("Echo", "[1]")), 200, 0},
        {"json with charset", rawhttp::post(target, "application/json; charset=utf-8", jsonCall("Echo")), 200, 0},
        {"malformed json", rawhttp::post(target, json, "{\"jsonrpc\":"), 200, code::ParseError},
        {"invalid utf8 json", rawhttp::post(target, json, jsonCall("Echo", "[\"\xC3\x28\"]")), 200,
         code::ParseError},
        {"empty body", rawhttp::post(target, json, ""), 200, code::ParseError},
        {"wrong version", rawhttp::post(target, json, R"({"jsonrpc":"1.0","method":"Echo","id":1})"),
         200, code::InvalidRequest},
        {"batch", rawhttp::post(target, json, "[" + jsonCall("Echo") + "]"), 200, code::InvalidRequest},
        {"params object", rawhttp::post(target, json, jsonCall("Echo", "{}")), 200, code::InvalidRequest},
        {"unknown method", rawhttp::post(target, json, jsonCall("Nope")), 200, code::MethodNotFound},
        {"unknown object", rawhttp::post("/rpc/Nobody.rdmX", json, jsonCall("Echo")), 200,
         code::MethodNotFound},
        {"other path", rawhttp::post("/api/Test.rdmEcho", json, jsonCall("Echo")), 404, code::MethodNotFound},
        {"no object", rawhttp::post("/rpc/", json, jsonCall("Echo")), 404, 0},
        {"nested path", rawhttp::post("/rpc/Test.rdmEcho/x", json, jsonCall("Echo")), 404, 0},
        {"query string", rawhttp::post("/rpc/Test.rdmEcho?x=1", json, jsonCall("Echo")), 404, 0},
        {"get", "GET /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\n\r\n", 405, code::InvalidRequest},
        {"put", "PUT /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Length: 0\r\n\r\n", 405, 0},
        {"text/plain", rawhttp::post(target, "text/plain", jsonCall("Echo")), 415, code::InvalidRequest},
        {"no content type", "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Length: 2\r\n\r\n{}",
         415, 0},
        {"no length", "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n\r\n",
         411, 0},
        {"too large declared",
         "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n"
         "Content-Length: 100000000\r\n\r\n{",
         413, code::InvalidRequest},
        {"too large chunked",
         "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n"
         "Transfer-Encoding: chunked\r\n\r\n200000\r\n" + std::string(0x200000, ' ') + "\r\n0\r\n\r\n",
         413, 0},
        {"chunked ok",
         "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n"
         "Transfer-Encoding: chunked\r\n\r\n" + [] {
             const std::string b = jsonCall("Echo", "[\"chunk\"]");
             char len[16];
             std::snprintf(len, sizeof len, "%zx", b.size());
             return std::string(len) + "\r\n" + b + "\r\n0\r\n\r\n";
         }(), 200, 0},
        {"oversized header",
         "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nX-Filler: " + std::string(8000, 'a')
             + "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}",
         431, 0},
        {"not http", "HELLO THERE\r\n\r\n", 400, 0},
        {"bad header line", "POST /rpc/Test.rdmEcho HTTP/1.1\r\nno colon here\r\n\r\n", 400, 0},
        {"expect continue",
         rawhttp::post(target, json, jsonCall("Echo", "[2]"), "Expect: 100-continue\r\n"), 200, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rawhttp::Connection conn(port);
        conn.send(c.request);
        const rawhttp::Response res = conn.read();
        EXPECT_EQ(res.status, c.status);
        EXPECT_EQ(res.headers.count("content-type") ? res.headers.at("content-type") : "",
                  "application/json");
        if (c.code) {
            EXPECT_EQ(rawhttp::jsonErrorCode(res.body), c.code) << res.body;
        }
        if (c.status == 200 && c.code == 0) {
            EXPECT_NE(res.body.find("\"result\":"), std::string::npos) << res.body;
        }
        if (c.status != 200) {
            // The body of an HTTP refusal is an error envelope too.
            EXPECT_NE(rawhttp::jsonErrorCode(res.body), 0) << res.body;
            EXPECT_TRUE(conn.closedByPeer(10000));
        }
    }

    // CBOR requests get CBOR answers, errors included.
    rawhttp::Connection conn(port);
    conn.send(rawhttp::post(target, "application/cbor", badCbor));
    const rawhttp::Response res = conn.read();
    EXPECT_EQ(res.status, 200);
    EXPECT_EQ(res.headers.at("content-type"), "application/cbor");
    EXPECT_EQ(cborErrorCode(res.body), QCborValue(code::ParseError));
}

TEST_F(ServerTest, GarbageNeverTakesTheServerDown)
{
    ServerOptions opt;
    opt.readTimeout = std::chrono::milliseconds(300);
    startServer(opt);
    const std::string valid = rawhttp::post("/rpc/Test.rdmEcho", "application/cbor",
                                            QCborValue(QCborMap{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                                                                {QStringLiteral("method"), QStringLiteral("Echo")},
                                                                {QStringLiteral("id"), 1}})
                                                .toCbor()
                                                .toStdString());
    std::mt19937 rng(1234);
    for (int i = 0; i < 60; ++i) {
        std::string bytes = valid;
        // Flip, cut or splice random bytes of a valid request, headers included.
        const int edits = 1 + int(rng() % 6);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const std::size_t at = rng() % bytes.size();
            switch (rng() % 3) {
            case 0: bytes[at] = char(rng()); break;
            case 1: bytes.erase(at, 1 + rng() % 8); break;
            default: bytes.insert(at, std::string(1 + rng() % 4, char(rng()))); break;
            }
        }
        rawhttp::Connection conn(port);
        conn.send(bytes);
        conn.halfClose();
        const rawhttp::Response res = conn.read(5000);
        // Whatever came back is a complete answer with an envelope, or nothing at all.
        if (res.status != 0 && res.status != 200) {
            EXPECT_NE(errorCodeOf(res), 0) << res.status;
        }
    }
    Client client(QStringLiteral("127.0.0.1"), port);
    EXPECT_TRUE(client.call(kObject, QStringLiteral("Echo"), {}).ok());
}

TEST_F(ServerTest, BearerToken)
{
    ServerOptions opt;
    opt.token = "s3cret-token";
    startServer(opt);
    const std::vector<std::pair<std::string, int>> cases = {
        {"", 401},
        {"Authorization: Bearer wrong\r\n", 401},
        {"Authorization: Bearer s3cret-token2\r\n", 401},
        {"Authorization: Bearer s3cret-toke\r\n", 401},
        {"Authorization: Basic s3cret-token\r\n", 401},
        {"Authorization: s3cret-token\r\n", 401},
        {"Authorization: Bearer s3cret-token\r\n", 200},
        {"Authorization: bearer s3cret-token\r\n", 200},
    };
    for (const auto &[header, status] : cases) {
        SCOPED_TRACE(header);
        rawhttp::Connection conn(port);
        conn.send(rawhttp::post("/rpc/Test.rdmEcho", "application/json", jsonCall("Echo"), header));
        const rawhttp::Response res = conn.read();
        EXPECT_EQ(res.status, status);
        if (status == 401) {
            EXPECT_EQ(rawhttp::jsonErrorCode(res.body), code::Unauthorized);
            EXPECT_EQ(res.headers.count("www-authenticate"), 1u);
        }
    }

    // Through the client, a refusal is a failed reply and never a result.
    for (const QString &token : {QString(), QStringLiteral("wrong")}) {
        Client client(QStringLiteral("127.0.0.1"), port, token);
        const Reply r = client.call(kObject, QStringLiteral("Echo"), {1});
        ASSERT_TRUE(r.isError());
        EXPECT_EQ(r.errorCode(), code::Unauthorized);
    }
    Client good(QStringLiteral("127.0.0.1"), port, QStringLiteral("s3cret-token"));
    EXPECT_TRUE(good.call(kObject, QStringLiteral("Echo"), {1}).ok());
}

TEST_F(ServerTest, KeepAliveServesPipelinedRequestsOnOneConnection)
{
    startServer();
    rawhttp::Connection conn(port);
    const std::string target = "/rpc/Test.rdmEcho";
    conn.send(rawhttp::post(target, "application/json", jsonCall("Echo", "[\"first\"]"))
              + rawhttp::post(target, "application/json", jsonCall("Echo", "[\"second\"]")));
    const rawhttp::Response a = conn.read();
    const rawhttp::Response b = conn.read();
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(b.status, 200);
    EXPECT_NE(a.body.find("first"), std::string::npos);
    EXPECT_NE(b.body.find("second"), std::string::npos);
    // And a third, later, on the same socket.
    conn.send(rawhttp::post(target, "application/json", jsonCall("Echo", "[\"third\"]")));
    EXPECT_NE(conn.read().body.find("third"), std::string::npos);

    // HTTP/1.0 without keep-alive is answered and closed.
    rawhttp::Connection old(port);
    old.send("POST /rpc/Test.rdmEcho HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: "
             + std::to_string(jsonCall("Echo").size()) + "\r\n\r\n" + jsonCall("Echo"));
    EXPECT_EQ(old.read().status, 200);
    EXPECT_TRUE(old.closedByPeer(10000));
}

TEST_F(ServerTest, SlowClientsAreDropped)
{
    ServerOptions opt;
    opt.readTimeout = std::chrono::milliseconds(500);
    startServer(opt);

    // Connects and says nothing: closed without an answer.
    rawhttp::Connection silent(port);
    EXPECT_TRUE(silent.closedByPeer(15000));

    // Starts a request and stalls: told 408, then closed.
    rawhttp::Connection stalled(port);
    stalled.send("POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n"
                 "Content-Length: 50\r\n\r\n{\"jsonrpc\"");
    const rawhttp::Response res = stalled.read(15000);
    EXPECT_EQ(res.status, 408);
    EXPECT_EQ(rawhttp::jsonErrorCode(res.body), code::InvalidRequest);
    EXPECT_TRUE(stalled.closedByPeer(15000));

    // The server still serves others.
    Client client(QStringLiteral("127.0.0.1"), port);
    EXPECT_TRUE(client.call(kObject, QStringLiteral("Echo"), {}).ok());
}

TEST_F(ServerTest, ConnectionsBeyondTheLimitAreTurnedAway)
{
    ServerOptions opt;
    opt.maxConnections = 2;
    startServer(opt);
    auto first = std::make_unique<rawhttp::Connection>(port);
    rawhttp::Connection second(port);
    // Both are served, so both are counted before the third arrives.
    const std::string echo = rawhttp::post("/rpc/Test.rdmEcho", "application/json", jsonCall("Echo"));
    first->send(echo);
    ASSERT_EQ(first->read().status, 200);
    second.send(echo);
    ASSERT_EQ(second.read().status, 200);

    rawhttp::Connection third(port);
    const rawhttp::Response busy = third.read();
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(rawhttp::jsonErrorCode(busy.body), code::Unavailable);
    EXPECT_TRUE(third.closedByPeer(10000));

    // A slot freed is a slot served again.
    first.reset();
    bool served = false;
    for (int i = 0; i < 100 && !served; ++i) {
        rawhttp::Connection again(port);
        again.send(echo);
        served = again.read().status == 200;
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(served);
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

    // No answer in time: an error, not a hang; the client is usable afterwards.
    Client client(QStringLiteral("127.0.0.1"), port);
    try {
        client.call(kObject, QStringLiteral("Gated"), {}, 300);
        ADD_FAILURE() << "a call past its timeout returned";
    } catch (const TransportError &e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("não respondeu")));
    }
    gate.release();
    EXPECT_TRUE(client.call(kObject, QStringLiteral("Echo"), {}).ok());

    // A body over the server's limit is refused, never taken for a success.
    const QCborArray huge{QString(2 * 1024 * 1024, QLatin1Char('x'))};
    try {
        const Reply r = client.call(kObject, QStringLiteral("Echo"), huge);
        EXPECT_TRUE(r.isError());
    } catch (const TransportError &) {
    }
}

TEST_F(ServerTest, WaiterRunsOnTheCallersThread)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);
    std::thread::id waiterThread;
    int spins = 0;
    client.waiter = [&](const std::function<bool()> &done) {
        waiterThread = std::this_thread::get_id();
        while (!done()) {
            ++spins;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    const Reply r = client.call(kObject, QStringLiteral("Echo"), {QStringLiteral("x")});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), QCborValue(QCborArray{QStringLiteral("x")}));
    EXPECT_EQ(waiterThread, std::this_thread::get_id());

    // A transport failure still reaches the caller as an exception.
    Client nowhere(QStringLiteral("127.0.0.1"), 1);
    nowhere.waiter = client.waiter;
    EXPECT_THROW(nowhere.call(kObject, QStringLiteral("Echo"), {}), TransportError);

    // A call made while one is in flight on the same client is refused, not interleaved.
    client.waiter = [&](const std::function<bool()> &done) {
        EXPECT_THROW(client.call(kObject, QStringLiteral("Echo"), {}), TransportError);
        while (!done())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    EXPECT_TRUE(client.call(kObject, QStringLiteral("Echo"), {}).ok());
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

TEST_F(ServerTest, StopLetsACallUnderWayFinish)
{
    startServer();
    Client idle(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(idle.call(kObject, QStringLiteral("Echo"), {}).ok());

    auto pending = std::async(std::launch::async, [this] {
        Client client(QStringLiteral("127.0.0.1"), port);
        return client.call(kObject, QStringLiteral("Gated"), {});
    });
    ASSERT_TRUE(gate.waitEntered(1));

    auto stopped = std::async(std::launch::async, [this] { server->stop(); });
    // New connections are refused once the listening socket is closed.
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        try {
            rawhttp::Connection probe(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } catch (const std::runtime_error &) {
            refused = true;
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "stop() returned while a call was under way";

    gate.release();
    const Reply r = pending.get();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().toString(), QStringLiteral("done"));
    stopped.get();

    // The idle connection was closed with the server.
    EXPECT_THROW(idle.call(kObject, QStringLiteral("Echo"), {}, 2000), TransportError);
}

TEST_F(ServerTest, StopFromAnotherThreadBeforeAndAfterRun)
{
    // requestStop before run: run returns at once.
    {
        HttpServer s(dispatcher);
        s.requestStop();
        s.run();
    }
    // run on the caller's thread, stopped from elsewhere.
    HttpServer s(dispatcher);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        s.requestStop();
    });
    s.run();
    stopper.join();
    s.stop();   // already stopped: returns
}
