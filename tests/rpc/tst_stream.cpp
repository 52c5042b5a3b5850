// Replies sent while they are written and results decoded while they arrive: the bytes
// are the same as a whole reply's, and a reply that breaks off is never taken for a
// shorter success.
#include "serverfixture.h"

#include "rpc/replywriter_p.h"

using namespace fiscal::rpc;
using namespace rpctest;
using fiscal::dataset::ByteSource;
using fiscal::dataset::Encoding;

namespace {

// Everything the source delivers.
QByteArray drain(ByteSource &source)
{
    QByteArray out;
    char buf[4096];
    for (qsizetype n; (n = source.read(buf, sizeof buf)) > 0;)
        out.append(buf, n);
    return out;
}

// Writes about `bytes` of rows, then fails the way a database error would.
void writeThenFail(ValueWriter &w, qint64 bytes)
{
    w.startArray();
    for (qint64 written = 0; written < bytes; written += 40) {
        w.startArray();
        w.string(std::string_view("0123456789012345678901234567890123456"));
        w.endArray();
    }
    throw Fault(code::Database, QStringLiteral("O banco de dados falhou."));
}

class StreamTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        const std::string obj = kObject.toStdString();
        dispatcher.add(obj, "FailEarly", [](const QCborArray &, ValueWriter &w) { writeThenFail(w, 1000); });
        dispatcher.add(obj, "FailLate", [](const QCborArray &, ValueWriter &w) { writeThenFail(w, 4 << 20); });
        dispatcher.add(obj, "CrashLate", [](const QCborArray &, ValueWriter &w) {
            w.startArray();
            for (int i = 0; i < 200000; ++i)
                w.string(std::string_view("0123456789"));
            throw std::runtime_error("secret");
        });
    }
};

TEST_F(StreamTest, StreamedResultsEqualWholeOnes)
{
    startServer();
    Client plain(QStringLiteral("127.0.0.1"), port);
    Client streamed(QStringLiteral("127.0.0.1"), port);
    // waitForPump: the decoder reads nothing until the client has pumped, which it does
    // only while a full pipe holds the transfer up.
    struct Case {
        const char *method;
        QCborArray params;
        bool waitForPump;
    };
    const std::vector<Case> cases = {
        {"Echo", {QStringLiteral("Ação"), 7, QCborValue(QCborValue::Null)}, false},
        {"Nothing", {}, false},
        {"Big", {10}, false},
        {"Big", {6000}, false},    // just past what is decoded whole
        {"Big", {60000}, false},   // several MiB: sent in chunks
        {"Big", {200000}, true},
        {"Echo", {1}, false},
    };
    std::atomic<bool> pumped{false};
    streamed.pump = [&] { pumped = true; };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + std::to_string(c.params.isEmpty() ? 0 : c.params.at(0).toInteger()));
        const Reply whole = plain.call(kObject, QString::fromUtf8(c.method), c.params);
        ASSERT_TRUE(whole.ok());
        pumped = false;
        QByteArray got;
        int reads = 0;
        const Reply r = streamed.call(kObject, QString::fromUtf8(c.method), c.params,
                                      [&](ByteSource &s) {
                                          ++reads;
                                          for (int i = 0; c.waitForPump && !pumped && i < 20000; ++i)
                                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                          got = drain(s);
                                      });
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(reads, 1);
        EXPECT_EQ(got, whole.resultCbor());
        EXPECT_TRUE(r.resultCbor().isEmpty());
        if (c.waitForPump) {
            EXPECT_TRUE(pumped);
        }
    }
    EXPECT_TRUE(streamed.isConnected());   // kept alive across streamed replies
}

TEST_F(StreamTest, FailuresAreNeverSuccesses)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);
    struct Case {
        const char *method;
        int code;   // 0: the reply breaks off (TransportError); 1: success
    };
    const Case cases[] = {
        {"Fail", code::NotFound},
        {"FailEarly", code::Database},    // before anything was sent: a proper error reply
        {"FailLate", 0},                  // after part of the reply went out
        {"CrashLate", 0},
        {"Echo", 1},                      // the connection recovers after each of them
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        bool readerCalled = false;
        const auto reader = [&](ByteSource &s) {
            readerCalled = true;
            drain(s);
        };
        if (c.code == 0) {
            EXPECT_THROW(client.call(kObject, QString::fromUtf8(c.method), {}, reader), TransportError);
            EXPECT_THROW(client.call(kObject, QString::fromUtf8(c.method), {}), TransportError);
            continue;
        }
        const Reply r = client.call(kObject, QString::fromUtf8(c.method), {1}, reader);
        if (c.code == 1) {
            EXPECT_TRUE(r.ok());
            EXPECT_TRUE(readerCalled);
            continue;
        }
        ASSERT_TRUE(r.isError());
        EXPECT_EQ(r.errorCode(), c.code);
        EXPECT_FALSE(readerCalled);
    }
}

TEST_F(StreamTest, ReaderFailuresStopTheTransfer)
{
    startServer();
    Client client(QStringLiteral("127.0.0.1"), port);
    struct Stop : std::runtime_error {
        Stop() : std::runtime_error("decoder gave up") {}
    };
    // Gives up after the first bytes of a big result: its own error comes out.
    EXPECT_THROW(client.call(kObject, QStringLiteral("Big"), {200000},
                             [](ByteSource &s) {
                                 char c[100];
                                 s.read(c, sizeof c);
                                 throw Stop();
                             }),
                 Stop);
    // Stops reading before the end: the rest of the result is not silently dropped.
    EXPECT_THROW(client.call(kObject, QStringLiteral("Big"), {1000},
                             [](ByteSource &s) {
                                 char c[100];
                                 s.read(c, sizeof c);
                             }),
                 TransportError);
    // The server and the client both carry on.
    const Reply r = client.call(kObject, QStringLiteral("Echo"), {5});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), QCborValue(QCborArray{5}));
}

TEST_F(StreamTest, ChunkedOnlyForHttp11AndNeverFinishedOnFailure)
{
    startServer();
    const std::string big = jsonCall("Big", "[60000]");
    struct Case {
        const char *name;
        std::string request;
        bool chunked;
        bool complete;
    };
    const Case cases[] = {
        {"HTTP/1.1", rawhttp::post("/rpc/" + kObject.toStdString(), "application/json", big, "Connection: close\r\n"), true, true},
        {"HTTP/1.0", [&] {
             std::string r = rawhttp::post("/rpc/" + kObject.toStdString(), "application/json", big);
             r.replace(r.find("HTTP/1.1"), 8, "HTTP/1.0");
             return r;
         }(), false, true},
        {"failure after the start", rawhttp::post("/rpc/" + kObject.toStdString(), "application/json",
                                                  jsonCall("FailLate"), "Connection: close\r\n"), true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rawhttp::Connection conn(port);
        ASSERT_TRUE(conn.send(c.request));
        const rawhttp::Response res = conn.read(20000);
        ASSERT_EQ(res.status, 200);
        const auto te = res.headers.find("transfer-encoding");
        EXPECT_EQ(te != res.headers.end() && te->second == "chunked", c.chunked);
        EXPECT_EQ(res.headers.count("content-length") != 0, !c.chunked);
        if (c.chunked) {
            const std::string end = "\r\n0\r\n\r\n";
            const bool finished = res.body.size() > end.size()
                                  && res.body.compare(res.body.size() - end.size(), end.size(), end) == 0;
            EXPECT_EQ(finished, c.complete);
        } else {
            EXPECT_EQ(res.body.back(), '}');
        }
    }
}

TEST_F(StreamTest, ClientThatLeavesOrStopsReadingFreesTheThread)
{
    ServerOptions opt;
    opt.workers = 1;   // a call stuck on its connection would hold the only thread
    opt.writeTimeout = std::chrono::milliseconds(300);
    startServer(opt);
    for (const bool staysConnected : {false, true}) {
        SCOPED_TRACE(staysConnected ? "stops reading" : "leaves");
        std::vector<std::unique_ptr<rawhttp::Connection>> kept;
        for (int i = 0; i < 3; ++i) {
            auto conn = std::make_unique<rawhttp::Connection>(port);
            ASSERT_TRUE(conn->send(rawhttp::post("/rpc/" + kObject.toStdString(), "application/json",
                                                 jsonCall("Big", "[2000000]"))));
            if (staysConnected)
                kept.push_back(std::move(conn));   // open, but never reads the reply
        }
        Client client(QStringLiteral("127.0.0.1"), port);
        const Reply r = client.call(kObject, QStringLiteral("Echo"), {1}, 60000);
        ASSERT_TRUE(r.ok());
    }
}

TEST(ReplyWriter, CborBytesEqualTheDataSetWriters)
{
    const auto write = [](ValueWriter &w) {
        w.startMap();
        w.key("fields");
        w.startArray();
        for (std::int64_t v : {0LL, 23LL, 24LL, 255LL, 256LL, 65535LL, 65536LL, 4294967295LL,
                               4294967296LL, -1LL, -24LL, -25LL, -256LL, -257LL, -4294967297LL})
            w.integer(v);
        w.boolean(true);
        w.boolean(false);
        w.null();
        w.string(std::string_view(""));
        w.string(std::string_view("Ação"));
        w.string(std::string(300, 'x'));
        w.string(std::string(70000, 'y'));
        w.endArray();
        w.endMap();
    };
    QByteArray expected;
    {
        const auto w = fiscal::dataset::makeWriter(Encoding::Cbor, expected);
        write(*w);
    }
    for (const qsizetype threshold : {qsizetype(1), qsizetype(100), qsizetype(1) << 30}) {
        for (const Encoding enc : {Encoding::Cbor, Encoding::Json}) {
            QByteArray reference;
            if (enc == Encoding::Json) {
                const auto w = fiscal::dataset::makeWriter(enc, reference);
                write(*w);
            } else {
                reference = expected;
            }
            QByteArray sent, out;
            int spills = 0;
            {
                const auto w = detail::makeReplyWriter(enc, out, threshold, [&](QByteArray &body) {
                    ++spills;
                    sent += body;
                    body.clear();
                });
                write(*w);
            }
            sent += out;
            EXPECT_EQ(sent, reference) << threshold;
            EXPECT_EQ(spills > 0, threshold < (qsizetype(1) << 30));
        }
    }
}

} // namespace
