// JSON-RPC as outside clients use it, from a plain JSON client on a raw socket: batches
// answered in order, notifications run and never answered, by-name params refused, and
// answers to HEAD without a body.
#include "serverfixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace fiscal::rpc;
using namespace rpctest;

namespace {

class BatchTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        dispatcher.add(kObject.toStdString(), "Tally", [this](const QCborArray &, ValueWriter &w) {
            w.integer(++tally);
        });
        // Fails once several MiB of its reply have been written (and so sent).
        dispatcher.add(kObject.toStdString(), "FailLate", [](const QCborArray &, ValueWriter &w) {
            w.startArray();
            for (int i = 0; i < 200000; ++i)
                w.string(std::string_view("0123456789012345678901234567890123456"));
            throw Fault(code::Database, QStringLiteral("O banco de dados falhou."));
        });
    }
    std::atomic<int> tally{0};
};

const std::string kTarget = "/rpc/" + kObject.toStdString();

// One reply as "id:result" or "id:error code", so that whole answers compare as text.
std::string summary(const QJsonValue &reply)
{
    const QJsonObject o = reply.toObject();
    const QByteArray id = QJsonDocument(QJsonArray{o.value(QLatin1String("id"))}).toJson(QJsonDocument::Compact);
    if (o.contains(QLatin1String("error")))
        return id.toStdString() + ":error "
            + std::to_string(o.value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt());
    const QJsonValue result = o.value(QLatin1String("result"));
    if (result.toArray().size() > 100)   // a large result: only its size
        return id.toStdString() + ":" + std::to_string(result.toArray().size()) + " items";
    return id.toStdString() + ":" + QJsonDocument(QJsonArray{result}).toJson(QJsonDocument::Compact).toStdString();
}

// An answer body as one summary per reply; a single reply (not an array) is marked "single ".
std::string summaries(const std::string &body)
{
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body));
    if (doc.isObject())
        return "single " + summary(doc.object());
    std::string out;
    for (const QJsonValue &v : doc.array())
        out += (out.empty() ? "" : " ") + summary(v);
    return out;
}

std::string call(const char *method, const char *rest = "")
{
    return std::string(R"({"jsonrpc":"2.0","method":")") + method + "\"" + rest + "}";
}

} // namespace

TEST_F(BatchTest, BatchesAndNotificationsFromAPlainJsonClient)
{
    ServerOptions opt;
    opt.maxBatch = 5;
    startServer(opt);
    const struct {
        const char *name;
        std::string body;
        int status;
        std::string answer;   // summaries(); empty for no body
        int tallied;
    } cases[] = {
        {"batch answered in order, each call on its own",
         "[" + call("Echo", R"(,"params":[1],"id":1)") + "," + call("Nope", R"(,"id":2)") + "," + call("Tally") + ","
             + R"({"foo":1})" + "," + call("Fail", R"(,"id":"x")") + "]",
         200, R"([1]:[[1]] [2]:error -32601 [null]:error -32600 ["x"]:error -32002)", 1},
        {"by-name params and a value that is no request", "[" + call("Echo", R"(,"params":{"a":1},"id":3)") + ",7]", 200,
         "[3]:error -32602 [null]:error -32600", 0},
        {"notifications only", "[" + call("Tally") + "," + call("Tally") + "," + call("Nope") + "]", 204, "", 2},
        {"one notification", call("Tally"), 204, "", 1},
        {"a failing notification is not answered either", call("Fail"), 204, "", 0},
        {"a null id is not a notification", call("Echo", R"(,"params":[5],"id":null)"), 200, "single [null]:[[5]]", 0},
        {"empty batch", "[]", 200, "single [null]:error -32600", 0},
        {"batch over the limit runs nothing",
         "[" + call("Tally", R"(,"id":1)") + "," + call("Tally", R"(,"id":2)") + "," + call("Tally", R"(,"id":3)") + ","
             + call("Tally", R"(,"id":4)") + "," + call("Tally", R"(,"id":5)") + "," + call("Tally", R"(,"id":6)") + "]",
         200, "single [null]:error -32600", 0},
        {"batch within the limit", "[" + call("Tally", R"(,"id":1)") + "," + call("Tally", R"(,"id":2)") + "]", 200,
         "[1]:[1] [2]:[2]", 2},
        {"nested batch", "[[" + call("Echo", R"(,"id":1)") + "]]", 200, "[null]:error -32600", 0},
    };
    // One keep-alive connection for all: an answer without a body must not end it.
    rawhttp::Connection conn(port);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tally = 0;
        ASSERT_TRUE(conn.send(rawhttp::post(kTarget, "application/json", c.body)));
        const rawhttp::Response res = conn.read();
        ASSERT_EQ(res.status, c.status) << res.body;
        if (c.answer.empty()) {
            EXPECT_TRUE(res.body.empty()) << res.body;
            EXPECT_EQ(res.headers.count("content-type"), 0u);
        } else {
            EXPECT_EQ(summaries(res.body), c.answer) << res.body;
        }
        EXPECT_EQ(tally, c.tallied);
    }
}

TEST_F(BatchTest, CborBatchesAndStreamedReplies)
{
    startServer();
    const auto request = [](const char *method, const QCborArray &params, const QCborValue &id) {
        QCborMap m{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("method"), QString::fromUtf8(method)},
                   {QStringLiteral("params"), params}};
        if (!id.isUndefined())
            m.insert(QStringLiteral("id"), id);
        return m;
    };
    rawhttp::Connection cbor(port);
    cbor.send(rawhttp::post(kTarget, "application/cbor",
                            QCborValue(QCborArray{request("Echo", {QStringLiteral("a")}, 1), request("Tally", {}, {}),
                                                  request("Fail", {}, QStringLiteral("f"))})
                                .toCbor()
                                .toStdString()));
    const rawhttp::Response res = cbor.read();
    ASSERT_EQ(res.status, 200);
    EXPECT_EQ(res.headers.at("content-type"), "application/cbor");
    const QCborArray replies = QCborValue::fromCbor(QByteArray::fromStdString(res.body)).toArray();
    ASSERT_EQ(replies.size(), 2);
    EXPECT_EQ(replies.at(0).toMap().value(QStringLiteral("result")), QCborValue(QCborArray{QStringLiteral("a")}));
    EXPECT_EQ(replies.at(0).toMap().value(QStringLiteral("id")), QCborValue(1));
    EXPECT_EQ(cborErrorCode(QCborValue(replies.at(1)).toCbor().toStdString()), QCborValue(code::NotFound));
    EXPECT_EQ(tally, 1);

    // A batch whose first reply is large streams; a later failure is still an error in its
    // place, and a failure in the middle of a streamed reply never ends the body.
    const struct {
        const char *name;
        std::string body;
        std::string answer;   // empty: the body must be cut short
    } streamed[] = {
        {"large reply, then a failure and a small reply",
         "[" + call("Big", R"(,"params":[60000],"id":1)") + "," + call("Fail", R"(,"id":2)") + ","
             + call("Echo", R"(,"params":["end"],"id":3)") + "]",
         R"([1]:60000 items [2]:error -32002 [3]:[["end"]])"},
        {"large reply, then a crash", "[" + call("Big", R"(,"params":[60000],"id":1)") + "," + call("Crash", R"(,"id":2)") + "]",
         "[1]:60000 items [2]:error -32603"},
        {"a failure in the middle of its own streamed reply",
         "[" + call("Echo", R"(,"params":[1],"id":1)") + "," + call("FailLate", R"(,"id":2)") + "]", ""},
    };
    for (const auto &s : streamed) {
        SCOPED_TRACE(s.name);
        rawhttp::Connection conn(port);
        conn.send(rawhttp::post(kTarget, "application/json", s.body, "Connection: close\r\n"));
        const rawhttp::Response r = conn.read(20000);
        ASSERT_EQ(r.status, 200);
        EXPECT_EQ(r.headers.count("transfer-encoding"), 1u);
        if (s.answer.empty())
            EXPECT_THROW(rawhttp::dechunk(r.body), std::runtime_error);
        else
            EXPECT_EQ(summaries(rawhttp::dechunk(r.body)), s.answer);
    }
}

// Each call of a batch has its own deadline for its streamed reply: the second call below
// writes after the first one's deadline has passed, well within its own.
TEST_F(BatchTest, EachCallOfABatchStreamsWithinItsOwnDeadline)
{
    dispatcher.add(kObject.toStdString(), "Later", [](const QCborArray &params, ValueWriter &w) {
        std::this_thread::sleep_for(std::chrono::milliseconds(params.at(0).toInteger()));
        w.startArray();
        for (qint64 i = 0; i < params.at(1).toInteger(); ++i)
            w.string(std::string_view("0123456789012345678901234567890123456"));
        w.endArray();
    });
    // The second call writes 500 ms after the first one's deadline and has 2.5 s of its own
    // left for 2 MB: room enough on a loaded machine.
    ServerOptions opt;
    opt.limits.read = std::chrono::milliseconds(6000);
    startServer(opt);
    rawhttp::Connection conn(port);
    conn.send(rawhttp::post(kTarget, "application/json",
                            "[" + call("Later", R"(,"params":[3000,20000],"id":1)") + ","
                                + call("Later", R"(,"params":[3500,50000],"id":2)") + "]",
                            "Connection: close\r\n"));
    const rawhttp::Response r = conn.read(30000);
    ASSERT_EQ(r.status, 200);
    std::string body;
    EXPECT_NO_THROW(body = rawhttp::dechunk(r.body)) << "the reply was cut short";
    EXPECT_EQ(summaries(body), "[1]:20000 items [2]:50000 items");
}

TEST_F(BatchTest, AnswersToHeadHaveNoBody)
{
    ServerOptions opt;
    opt.token = "secret";
    startServer(opt);
    const struct {
        const char *name;
        std::string request;
        int status;
    } cases[] = {
        {"endpoint", "HEAD " + kTarget + " HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer secret\r\n\r\n", 405},
        {"no token", "HEAD " + kTarget + " HTTP/1.1\r\nHost: t\r\n\r\n", 401},
        {"other path", "HEAD /health.txt HTTP/1.1\r\nHost: t\r\nAuthorization: Bearer secret\r\n\r\n", 404},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        rawhttp::Connection conn(port);
        conn.send(c.request);
        const rawhttp::Response res = conn.read(5000);
        EXPECT_EQ(res.status, c.status);
        // The length a body would have had, and not a byte of it.
        EXPECT_GT(std::stoi(res.headers.count("content-length") ? res.headers.at("content-length") : "0"), 0);
        EXPECT_TRUE(res.body.empty()) << res.body;
        EXPECT_TRUE(conn.closedByPeer(5000));
    }
}
