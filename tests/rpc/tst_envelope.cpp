#include "rpc/dispatcher.h"
#include "rpc/envelope.h"
#include "rpc/reply.h"

#include <QCborMap>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace fiscal::rpc;
using fiscal::dataset::Encoding;

namespace {

QByteArray cbor(const QCborValue &v) { return v.toCbor(); }

QCborMap request(const QCborValue &method, const QCborValue &params = {},
                 const QCborValue &id = QCborValue(7))
{
    QCborMap m;
    m.insert(QLatin1String("jsonrpc"), QLatin1String("2.0"));
    m.insert(QLatin1String("method"), method);
    if (!params.isUndefined())
        m.insert(QLatin1String("params"), params);
    if (!id.isUndefined())
        m.insert(QLatin1String("id"), id);
    return m;
}

// 0 when the body parses.
int parseCode(const QByteArray &body, Encoding enc, QCborValue *id = nullptr)
{
    try {
        parseRequest(body, enc, id);
        return 0;
    } catch (const Fault &f) {
        EXPECT_FALSE(f.message().isEmpty());
        return f.code();
    }
}

struct BadRequestCase {
    const char *name;
    Encoding enc;
    QByteArray body;
    int code;
};

QByteArray withTrailing(QByteArray b, const char *tail) { return b.append(tail); }

} // namespace

TEST(Envelope, RejectsMalformedRequests)
{
    const QByteArray good = cbor(request(QStringLiteral("Echo"), QCborArray{1}));
    QCborMap noVersion = request(QStringLiteral("Echo"));
    noVersion.remove(QLatin1String("jsonrpc"));
    QCborMap version1 = request(QStringLiteral("Echo"));
    version1.insert(QLatin1String("jsonrpc"), QLatin1String("1.0"));
    QCborMap extra = request(QStringLiteral("Echo"));
    extra.insert(QLatin1String("param"), QCborArray{});
    QCborMap intKey = request(QStringLiteral("Echo"));
    intKey.insert(1, 2);

    // {"jsonrpc":"2.0","method":"a","method":"b"} written by hand: QCborMap would merge it.
    const QByteArray duplicated = QByteArray::fromHex("a3676a736f6e727063"
                                                      "63322e30"
                                                      "666d6574686f64" "6161"
                                                      "666d6574686f64" "6162");
    // {"jsonrpc":"2.0","method":"\xff"}
    const QByteArray badUtf8Cbor = QByteArray::fromHex("a2676a736f6e72706363322e30"
                                                       "666d6574686f64" "61ff");

    const std::vector<BadRequestCase> cases = {
        {"cbor empty", Encoding::Cbor, {}, code::ParseError},
        {"cbor truncated", Encoding::Cbor, good.left(good.size() - 2), code::ParseError},
        {"cbor trailing garbage", Encoding::Cbor, withTrailing(good, "\x01"), code::ParseError},
        {"cbor two requests", Encoding::Cbor, good + good, code::ParseError},
        {"cbor invalid utf8", Encoding::Cbor, badUtf8Cbor, code::ParseError},
        {"cbor not a map", Encoding::Cbor, cbor(QCborValue(42)), code::InvalidRequest},
        {"cbor batch", Encoding::Cbor, cbor(QCborArray{request(QStringLiteral("Echo"))}),
         code::InvalidRequest},
        {"cbor no version", Encoding::Cbor, cbor(noVersion), code::InvalidRequest},
        {"cbor version 1.0", Encoding::Cbor, cbor(version1), code::InvalidRequest},
        {"cbor method missing", Encoding::Cbor, cbor(request(QCborValue())), code::InvalidRequest},
        {"cbor method empty", Encoding::Cbor, cbor(request(QString())), code::InvalidRequest},
        {"cbor method number", Encoding::Cbor, cbor(request(3)), code::InvalidRequest},
        {"cbor params string", Encoding::Cbor,
         cbor(request(QStringLiteral("Echo"), QStringLiteral("x"))), code::InvalidRequest},
        {"cbor id double", Encoding::Cbor,
         cbor(request(QStringLiteral("Echo"), QCborArray{}, 1.5)), code::InvalidRequest},
        {"cbor id array", Encoding::Cbor,
         cbor(request(QStringLiteral("Echo"), QCborArray{}, QCborArray{1})), code::InvalidRequest},
        {"cbor unknown member", Encoding::Cbor, cbor(extra), code::InvalidRequest},
        {"cbor non-text key", Encoding::Cbor, cbor(intKey), code::InvalidRequest},
        {"cbor duplicated member", Encoding::Cbor, duplicated, code::InvalidRequest},
        {"cbor member with U+FEFF", Encoding::Cbor,
         cbor(QCborMap{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("method"), QStringLiteral("m")},
                       {QString(QChar(0xFEFF)) + QStringLiteral("id"), 1}}),
         code::InvalidRequest},

        {"json empty", Encoding::Json, {}, code::ParseError},
        {"json broken", Encoding::Json, R"({"jsonrpc":"2.0","method":)", code::ParseError},
        {"json trailing garbage", Encoding::Json,
         R"({"jsonrpc":"2.0","method":"Echo"} x)", code::ParseError},
        {"json invalid utf8", Encoding::Json,
         "{\"jsonrpc\":\"2.0\",\"method\":\"Echo\",\"params\":[\"\xC3\x28\"]}", code::ParseError},
        {"json overlong utf8", Encoding::Json,
         "{\"jsonrpc\":\"2.0\",\"method\":\"Echo\",\"params\":[\"\xC0\xAF\"]}", code::ParseError},
        {"json lone surrogate escape", Encoding::Json,
         R"({"jsonrpc":"2.0","method":"Echo","params":["\ud800"]})", code::ParseError},
        {"json scalar", Encoding::Json, "42", code::ParseError},
        {"json byte-order mark before the object", Encoding::Json,
         "\xEF\xBB\xBF{\"jsonrpc\":\"2.0\",\"method\":\"Echo\"}", code::ParseError},
        {"json byte-order mark escaped by a backslash", Encoding::Json,
         "{\"jsonrpc\":\"2.0\",\"method\":\"Echo\",\"params\":[\"a\\\xEF\xBB\xBF\"]}", code::ParseError},
        {"json batch", Encoding::Json, R"([{"jsonrpc":"2.0","method":"Echo"}])",
         code::InvalidRequest},
        {"json version number", Encoding::Json, R"({"jsonrpc":2.0,"method":"Echo"})",
         code::InvalidRequest},
        {"json params null", Encoding::Json,
         R"({"jsonrpc":"2.0","method":"Echo","params":null})", code::InvalidRequest},
        {"json id fraction", Encoding::Json, R"({"jsonrpc":"2.0","method":"Echo","id":1.5})",
         code::InvalidRequest},
        {"json id object", Encoding::Json, R"({"jsonrpc":"2.0","method":"Echo","id":{}})",
         code::InvalidRequest},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parseCode(c.body, c.enc), c.code) << c.name;
}

TEST(Envelope, AcceptsWellFormedRequests)
{
    struct Case {
        const char *name;
        Encoding enc;
        QByteArray body;
        QString method;
        QCborArray params;
        QCborValue id;
    };
    const QCborValue null(QCborValue::Null);
    const std::vector<Case> cases = {
        {"cbor full", Encoding::Cbor,
         cbor(request(QStringLiteral("GetFornInsc"),
                      QCborArray{QStringLiteral("01"), QStringLiteral("ção"), null}, 7)),
         QStringLiteral("GetFornInsc"), QCborArray{QStringLiteral("01"), QStringLiteral("ção"), null},
         7},
        {"cbor no params", Encoding::Cbor, cbor(request(QStringLiteral("GetDados"))),
         QStringLiteral("GetDados"), {}, 7},
        {"cbor string id", Encoding::Cbor,
         cbor(request(QStringLiteral("x"), QCborArray{}, QStringLiteral("abc"))), QStringLiteral("x"),
         {}, QStringLiteral("abc")},
        {"cbor no id", Encoding::Cbor, cbor(request(QStringLiteral("x"), QCborArray{}, QCborValue())),
         QStringLiteral("x"), {}, null},
        {"json full", Encoding::Json,
         R"( {"jsonrpc":"2.0","method":"SetCliente","params":["a\u00e7",true,null,12],"id":-3} )",
         QStringLiteral("SetCliente"), QCborArray{QStringLiteral("aç"), true, null, 12}, -3},
        {"json surrogate pair", Encoding::Json,
         R"({"jsonrpc":"2.0","method":"m","params":["\ud83d\ude00"],"id":"k"})", QStringLiteral("m"),
         QCborArray{QString::fromUtf8("\xF0\x9F\x98\x80")}, QStringLiteral("k")},
        {"json null id", Encoding::Json, R"({"jsonrpc":"2.0","method":"m","id":null})",
         QStringLiteral("m"), {}, null},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        ASSERT_NO_THROW(r = parseRequest(c.body, c.enc));
        EXPECT_EQ(r.method, c.method);
        EXPECT_EQ(r.params, c.params);
        EXPECT_EQ(r.id, c.id);
    }
}

// QString::fromUtf8 drops a leading U+FEFF; a code or a method name must keep it, or it
// would name another one.
TEST(Envelope, TextKeepsALeadingByteOrderMark)
{
    const QString bom(QChar(0xFEFF));
    const struct {
        const char *name;
        Encoding enc;
        QByteArray body;
        QString method, first;
    } cases[] = {
        {"cbor", Encoding::Cbor, cbor(request(bom + QStringLiteral("Echo"), QCborArray{bom, bom + QStringLiteral("001")})),
         bom + QStringLiteral("Echo"), bom},
        {"json raw", Encoding::Json,
         "{\"jsonrpc\":\"2.0\",\"method\":\"\xEF\xBB\xBF" "Echo\",\"params\":[\"\xEF\xBB\xBF\",\"\xEF\xBB\xBF" "001\"],\"id\":1}",
         bom + QStringLiteral("Echo"), bom},
        {"json escaped", Encoding::Json, R"({"jsonrpc":"2.0","method":"\ufeffEcho","params":["\ufeff","\ufeff001"],"id":1})",
         bom + QStringLiteral("Echo"), bom},
        {"json raw inside and after an escaped backslash", Encoding::Json,
         "{\"jsonrpc\":\"2.0\",\"method\":\"Echo\",\"params\":[\"\\\\\xEF\xBB\xBF\",\"\xEF\xBB\xBF" "001\"],\"id\":1}",
         QStringLiteral("Echo"), QStringLiteral("\\") + bom},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        ASSERT_NO_THROW(r = parseRequest(c.body, c.enc));
        EXPECT_EQ(r.method, c.method);
        ASSERT_EQ(r.params.size(), 2);
        EXPECT_EQ(textOf(r.params.at(0)), c.first);
        EXPECT_EQ(textOf(r.params.at(1)), bom + QStringLiteral("001"));
    }
}

// By-name params and NUL text are refused as invalid params (-32602), after the method is found.
TEST(Envelope, ParamsNoMethodTakes)
{
    const QString nul = QStringLiteral("00000020") + QChar(0) + QStringLiteral("tail");
    const auto params = [](const QCborValue &p) { return cbor(request(QStringLiteral("Echo"), p)); };
    const struct {
        const char *name;
        Encoding enc;
        QByteArray body;
        int code;
    } cases[] = {
        {"cbor list", Encoding::Cbor, params(QCborArray{QStringLiteral("a"), 1, QCborMap{{QStringLiteral("k"), QStringLiteral("v")}}}), 0},
        {"cbor other control characters", Encoding::Cbor, params(QCborArray{QStringLiteral("\x01\t\n")}), 0},
        {"cbor by name", Encoding::Cbor, params(QCborMap{{QStringLiteral("a"), 1}}), code::InvalidParams},
        {"cbor NUL in an argument", Encoding::Cbor, params(QCborArray{QStringLiteral("ok"), nul}), code::InvalidParams},
        {"cbor NUL alone", Encoding::Cbor, params(QCborArray{QString(QChar(0))}), code::InvalidParams},
        {"cbor NUL deep in a change set", Encoding::Cbor,
         params(QCborArray{QCborMap{{QStringLiteral("changes"),
                                     QCborArray{QCborMap{{QStringLiteral("new"), QCborArray{QStringLiteral("x"), nul}}}}}}}),
         code::InvalidParams},
        {"cbor NUL in a map key", Encoding::Cbor, params(QCborArray{QCborMap{{nul, 1}}}), code::InvalidParams},
        {"cbor NUL after long texts and a long list", Encoding::Cbor,
         params(QCborArray{QString(300, u'a'), [] {
             QCborArray zeros;
             for (int i = 0; i < 70000; ++i)
                 zeros.append(0);
             return zeros;
         }(), nul}),
         code::InvalidParams},
        {"cbor NUL in a chunk of an indefinite-length text", Encoding::Cbor,
         QByteArray::fromHex("a3676a736f6e72706363322e30666d6574686f64644563686f66706172616d73817f61616100ff"),
         code::InvalidParams},
        {"json by name", Encoding::Json, R"({"jsonrpc":"2.0","method":"Echo","params":{"a":1},"id":1})", code::InvalidParams},
        {"json escaped NUL", Encoding::Json, R"({"jsonrpc":"2.0","method":"Echo","params":[["a\u0000b"]],"id":1})",
         code::InvalidParams},
        {"json NUL in a key", Encoding::Json, R"({"jsonrpc":"2.0","method":"Echo","params":[{"a\u0000":1}],"id":1})",
         code::InvalidParams},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Request r;
        ASSERT_NO_THROW(r = parseRequest(c.body, c.enc));
        try {
            checkParams(r);
            EXPECT_EQ(c.code, 0);
        } catch (const Fault &f) {
            EXPECT_EQ(f.code(), c.code) << f.message().toStdString();
        }
    }
}

// A lone CBOR request's large param is not decoded with the body: a method that reads it as
// a stream gets its bytes, any other the same value as before; the body's errors stay its own.
TEST(Envelope, LargeParamsStayEncodedUntilTheMethodIsKnown)
{
    const auto big = [](const QString &last) {
        QCborArray rows;
        for (int i = 0; i < 40000; ++i)
            rows.append(QCborArray{QStringLiteral("abcdef")});
        rows.append(QCborArray{last});
        return QCborMap{{QStringLiteral("rows"), rows}};
    };
    const QCborMap packet = big(QStringLiteral("zzzzzz"));
    const QCborArray params{QStringLiteral("x"), packet, 5};
    const QByteArray body = cbor(request(QStringLiteral("Echo"), params));
    QByteArray badUtf8 = body;
    badUtf8.replace("zzzzzz", "zz\xFFzzz");

    const struct {
        const char *name;
        Encoding enc;
        QByteArray body;
        int parse, check;        // the codes of parsing and of checkParams; 0: none
        std::size_t kept;
    } cases[] = {
        {"kept", Encoding::Cbor, body, 0, 0, 1},
        {"NUL in it", Encoding::Cbor, cbor(request(QStringLiteral("Echo"), QCborArray{1, big(QString(QChar(0)))})), 0,
         code::InvalidParams, 1},
        {"invalid UTF-8 in it", Encoding::Cbor, badUtf8, code::ParseError, 0, 0},
        {"cut short", Encoding::Cbor, body.left(body.size() - 40), code::ParseError, 0, 0},
        {"bytes after it", Encoding::Cbor, body + '\x01', code::ParseError, 0, 0},
        {"in a batch", Encoding::Cbor, cbor(QCborArray{request(QStringLiteral("Echo"), params)}), code::InvalidRequest, 0, 0},
        {"json", Encoding::Json, QJsonDocument(request(QStringLiteral("Echo"), params).toJsonObject()).toJson(), 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseCode(c.body, c.enc), c.parse);
        if (c.parse)
            continue;
        const Request r = parseRequest(c.body, c.enc);
        EXPECT_EQ(r.kept.size(), c.kept);
        try {
            checkParams(r);
            EXPECT_EQ(c.check, 0);
        } catch (const Fault &f) {
            EXPECT_EQ(f.code(), c.check);
            EXPECT_TRUE(f.message().contains(QStringLiteral("argumento 2"))) << f.message().toStdString();
            continue;
        }
        EXPECT_EQ(methodParams(r, false), params);
        const QCborArray encoded = methodParams(r, true);
        EXPECT_EQ(encoded.at(0), params.at(0));
        EXPECT_EQ(encoded.at(2), params.at(2));
        EXPECT_EQ(encodedParam(encoded.at(1)), cbor(packet));
    }
}

// A body of tiny items would take many times its size once decoded into a tree: it is refused
// before it is, in JSON, in CBOR, and as a param of a method that takes its params decoded;
// a method that reads its param as a stream still gets a param as large, encoded.
TEST(Envelope, ABodyOfTinyItemsIsRefusedBeforeItIsDecoded)
{
    const quint32 n = 600000;   // about 75 MiB as a tree, 1.2 MB as CBOR
    const auto cborArray = [](quint32 count, const QByteArray &item) {
        QByteArray a("\x9a", 1);
        for (int shift = 24; shift >= 0; shift -= 8)
            a.append(char((count >> shift) & 0xff));
        return a + item.repeated(count);
    };
    const auto cborRequest = [](const QByteArray &params) {
        return QByteArray("\xa4\x67jsonrpc\x63" "2.0\x66method\x64" "Echo\x66params") + params + QByteArray("\x62id\x07");
    };
    const QByteArray tinyArrays = cborArray(n, QByteArray("\x81\x00", 2));
    const struct {
        const char *name;
        Encoding enc;
        QByteArray body;
        int parse, decoded, encoded;   // the codes of parsing and of methodParams; 0: none
    } cases[] = {
        {"json", Encoding::Json,
         "{\"jsonrpc\":\"2.0\",\"method\":\"Echo\",\"id\":7,\"params\":[[" + QByteArray("[0],").repeated(n) + "[0]]]}",
         code::InvalidRequest, 0, 0},
        {"cbor, a param of tiny arrays", Encoding::Cbor, cborRequest(QByteArray("\x82\x01", 2) + tinyArrays), 0,
         code::InvalidRequest, 0},
        {"cbor, as many params", Encoding::Cbor, cborRequest(tinyArrays), code::InvalidRequest, 0, 0},
        {"cbor, millions of nulls", Encoding::Cbor, cborRequest(cborArray(5000000, QByteArray("\xf6", 1))),
         code::InvalidRequest, 0, 0},
        {"cbor, a param of tagged items", Encoding::Cbor,
         cborRequest(QByteArray("\x82\x01", 2) + cborArray(n, QByteArray("\xc0\x00", 2))), 0, code::InvalidRequest, 0},
        {"cbor batch", Encoding::Cbor, QByteArray("\x81", 1) + cborRequest(QByteArray("\x81", 1) + tinyArrays),
         code::InvalidRequest, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            const Body body = decodeBody(c.body, c.enc);
            EXPECT_EQ(c.parse, 0);
            const Request r = readRequest(body, body.value);
            for (const auto &[keep, expected] : {std::pair{false, c.decoded}, std::pair{true, c.encoded}}) {
                try {
                    methodParams(r, keep);
                    EXPECT_EQ(expected, 0) << keep;
                } catch (const Fault &f) {
                    EXPECT_EQ(f.code(), expected) << keep;
                    EXPECT_TRUE(f.message().contains(QStringLiteral("itens demais"))) << f.message().toStdString();
                }
            }
        } catch (const Fault &f) {
            EXPECT_EQ(f.code(), c.parse) << f.message().toStdString();
            EXPECT_TRUE(f.message().contains(QStringLiteral("itens demais"))) << f.message().toStdString();
        }
    }
}

// The bytes of each array or map param are found from the CBOR heads alone: whatever form
// the client wrote them in, a method taking them encoded gets exactly those bytes and any
// other the value they hold; a body that is not plainly well formed is left to the decoder.
TEST(Envelope, ContainerParamsAreCutAtTheirExactEnds)
{
    // {"jsonrpc": "2.0", "method": "Echo", "id": 7, "params": ...}
    const QByteArray head = QByteArray::fromHex("a4 676a736f6e727063 63322e30 666d6574686f64 644563686f 626964 07"
                                                " 66706172616d73");
    const struct {
        const char *name;
        const char *params;   // the "params" value as sent, in hex
        qsizetype keptIndex;  // the last param kept encoded; -1: none
        const char *kept;
    } cases[] = {
        {"definite map", "82 a16161 8102 03", 0, "a16161 8102"},
        {"indefinite array with an indefinite text inside", "82 01 9f 7f6161 626263 ff 05 ff", 1, "9f 7f6161 626263 ff 05 ff"},
        {"tags, two-byte numbers and lengths", "82 d864 82 c1190100 a178016b 80 a0", 1, "a0"},
        {"a map first", "81 a1 01 a1 02 9fff", 0, "a1 01 a1 02 9fff"},
        {"31 params in a one-byte length", "981f 010101010101010101010101010101010101010101010101010101010101 a0", 30, "a0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray params = QByteArray::fromHex(c.params);
        const QByteArray kept = QByteArray::fromHex(c.kept);
        const QCborArray meant = QCborValue::fromCbor(params).toArray();
        ASSERT_FALSE(meant.isEmpty());
        const QByteArray body = head + params;   // the kept params are views into it
        const Request r = parseRequest(body, Encoding::Cbor);
        ASSERT_FALSE(r.kept.empty());
        EXPECT_EQ(r.kept.back().index, c.keptIndex);
        EXPECT_EQ(r.kept.back().cbor.toByteArray(), kept);
        EXPECT_EQ(encodedParam(methodParams(r, true).at(c.keptIndex)), kept);
        EXPECT_EQ(methodParams(r, false), meant);
    }
    // Cut inside a kept param, or a break where none may be: refused as before.
    for (const char *bad : {"81 9f01", "81 8201ff"})
        EXPECT_EQ(parseCode(head + QByteArray::fromHex(bad), Encoding::Cbor), code::ParseError) << bad;
}

// What the client sends for a param it has already encoded: the value itself, in either
// encoding, whatever its size.
TEST(Envelope, AnEncodedParamTravelsAsTheValueItHolds)
{
    for (const int rows : {1, 40000}) {
        QCborArray list;
        for (int i = 0; i < rows; ++i)
            list.append(QCborArray{QStringLiteral("ação"), i});
        const QCborMap packet{{QStringLiteral("rows"), list}};
        const QCborArray sent{QStringLiteral("x"), QCborValue(QCborKnownTags::EncodedCbor, cbor(packet)), 5};
        const QCborArray meant{QStringLiteral("x"), packet, 5};
        for (const Encoding enc : {Encoding::Cbor, Encoding::Json}) {
            SCOPED_TRACE(std::to_string(rows) + (enc == Encoding::Cbor ? " cbor" : " json"));
            const QByteArray body = encodeRequest(enc, QStringLiteral("Echo"), sent, QCborValue(12));
            const Request r = parseRequest(body, enc);
            EXPECT_EQ(r.method, QStringLiteral("Echo"));
            EXPECT_EQ(r.id, QCborValue(12));
            EXPECT_EQ(methodParams(r, false), meant);
            if (enc == Encoding::Cbor) {
                EXPECT_EQ(body, encodeRequest(enc, QStringLiteral("Echo"), meant, QCborValue(12)));
            }
        }
    }
}

TEST(Envelope, ErrorKeepsTheIdWhenItWasRead)
{
    QCborValue id;
    const QByteArray body = cbor(request(QStringLiteral("x"), QStringLiteral("not a list"), 99));
    EXPECT_EQ(parseCode(body, Encoding::Cbor, &id), code::InvalidRequest);
    EXPECT_EQ(id, QCborValue(99));
}

TEST(Envelope, Utf8Validation)
{
    const std::vector<std::pair<QByteArray, bool>> cases = {
        {"", true},
        {"plain ascii", true},
        {"a\xC3\xA7\xC3\xA3o", true},                  // "ação"
        {"\xE2\x82\xAC", true},                        // U+20AC
        {"\xF0\x9F\x98\x80", true},                    // U+1F600
        {"\xF4\x8F\xBF\xBF", true},                    // U+10FFFF
        {"\xC3", false},                               // truncated
        {"\xE2\x82", false},
        {"\x80", false},                               // lone continuation
        {"\xC0\xAF", false},                           // overlong '/'
        {"\xE0\x80\xAF", false},                       // overlong
        {"\xF0\x80\x80\xAF", false},                   // overlong
        {"\xED\xA0\x80", false},                       // surrogate U+D800
        {"\xF4\x90\x80\x80", false},                   // above U+10FFFF
        {"\xF5\x80\x80\x80", false},
        {"\xFF", false},
        {"ok\xC3\xA7\xC3", false},
        {QByteArray("a\0b", 3), true},
    };
    for (const auto &[bytes, valid] : cases)
        EXPECT_EQ(isValidUtf8(bytes), valid) << bytes.toHex().constData();
}

TEST(Envelope, ContentTypes)
{
    const std::vector<std::tuple<QByteArray, bool, Encoding>> cases = {
        {"application/cbor", true, Encoding::Cbor},
        {"Application/CBOR", true, Encoding::Cbor},
        {"application/json", true, Encoding::Json},
        {"application/json; charset=utf-8", true, Encoding::Json},
        {"  application/json ;charset=UTF-8", true, Encoding::Json},
        {"text/plain", false, Encoding::Json},
        {"application/jsonx", false, Encoding::Json},
        {"", false, Encoding::Json},
    };
    for (const auto &[header, known, expected] : cases) {
        Encoding enc = Encoding::Json;
        EXPECT_EQ(encodingFromContentType(header, enc), known) << header.constData();
        if (known) {
            EXPECT_EQ(enc, expected) << header.constData();
        }
    }
}

TEST(Envelope, RepliesRoundTripThroughTheClientReader)
{
    QByteArray cborResult = QCborValue(QCborArray{QStringLiteral("001"), QCborValue(QCborValue::Null)}).toCbor();
    QByteArray jsonResult = R"(["001",null])";
    for (Encoding enc : {Encoding::Cbor, Encoding::Json}) {
        SCOPED_TRACE(enc == Encoding::Cbor ? "cbor" : "json");
        const QByteArray encoded = enc == Encoding::Cbor ? cborResult : jsonResult;
        for (const QCborValue &id : {QCborValue(7), QCborValue(QStringLiteral("x")),
                                     QCborValue(QCborValue::Null)}) {
            const Reply ok = Reply::fromBody(successReply(enc, id, encoded), enc);
            ASSERT_TRUE(ok.ok());
            EXPECT_EQ(ok.value(), QCborValue(QCborArray{QStringLiteral("001"),
                                                        QCborValue(QCborValue::Null)}));
            EXPECT_EQ(ok.resultCbor(), cborResult);
        }
        // A method that writes nothing answers null.
        const Reply empty = Reply::fromBody(successReply(enc, 1, {}), enc);
        ASSERT_TRUE(empty.ok());
        EXPECT_TRUE(empty.value().isNull());

        const QCborMap data{{QStringLiteral("table"), QStringLiteral("CLIENTE")}};
        const Reply failed = Reply::fromBody(
            errorReply(enc, 3, code::Conflict, QStringLiteral("Registro alterado por outro usuário."), data),
            enc);
        ASSERT_TRUE(failed.isError());
        EXPECT_EQ(failed.errorCode(), code::Conflict);
        EXPECT_EQ(failed.errorMessage(), QStringLiteral("Registro alterado por outro usuário."));
        EXPECT_EQ(failed.errorData(), QCborValue(data));
        EXPECT_TRUE(failed.resultCbor().isEmpty());
    }
    // A text opening with U+FEFF keeps it, whether the JSON holds it raw or escaped.
    for (const QByteArray &json : {QByteArray("[\"\xEF\xBB\xBF" "001\"]"), QByteArray(R"(["\ufeff001"])")}) {
        const Reply r = Reply::fromBody(successReply(Encoding::Json, 1, json), Encoding::Json);
        EXPECT_EQ(textOf(r.value().toArray().at(0)), QString(QChar(0xFEFF)) + QStringLiteral("001")) << json.constData();
    }
}

TEST(Envelope, ClientRejectsBodiesThatAreNotReplies)
{
    const QByteArray okCbor = successReply(Encoding::Cbor, 1, QCborValue(5).toCbor());
    QCborMap both;
    both.insert(QLatin1String("jsonrpc"), QLatin1String("2.0"));
    both.insert(QLatin1String("result"), 1);
    both.insert(QLatin1String("error"), QCborMap{{QStringLiteral("code"), 1}});
    QCborMap badError;
    badError.insert(QLatin1String("jsonrpc"), QLatin1String("2.0"));
    badError.insert(QLatin1String("error"), QCborMap{{QStringLiteral("code"), QStringLiteral("x")}});
    const std::vector<std::tuple<const char *, Encoding, QByteArray>> cases = {
        {"cbor empty", Encoding::Cbor, {}},
        {"cbor truncated", Encoding::Cbor, okCbor.left(okCbor.size() - 1)},
        {"cbor trailing", Encoding::Cbor, okCbor + QByteArray(1, '\0')},
        {"cbor array", Encoding::Cbor, QCborValue(QCborArray{1}).toCbor()},
        {"cbor result and error", Encoding::Cbor, QCborValue(both).toCbor()},
        {"cbor error without message", Encoding::Cbor, QCborValue(badError).toCbor()},
        {"json html", Encoding::Json, "<html>502</html>"},
        {"json no version", Encoding::Json, R"({"result":1,"id":1})"},
        {"json neither", Encoding::Json, R"({"jsonrpc":"2.0","id":1})"},
    };
    for (const auto &[name, enc, body] : cases)
        EXPECT_THROW(Reply::fromBody(body, enc), TransportError) << name;
}

TEST(Dispatcher, FindsMethodsWithoutRegardToCase)
{
    Dispatcher d;
    int called = 0;
    d.add("Ger10200.rdmParamGrupFiscal", "setTipoGest",
          [&](const QCborArray &, fiscal::dataset::ValueWriter &) { ++called; });
    d.add("Ger10200.rdmParamGrupFiscal", "GetDados", [](const QCborArray &, fiscal::dataset::ValueWriter &) {});

    const std::vector<std::tuple<std::string, std::string, bool>> cases = {
        {"Ger10200.rdmParamGrupFiscal", "setTipoGest", true},
        {"Ger10200.rdmParamGrupFiscal", "SetTipoGest", true},
        {"ger10200.RDMPARAMGRUPFISCAL", "SETTIPOGEST", true},
        {"Ger10200.rdmParamGrupFiscal", "getdados", true},
        {"Ger10200.rdmParamGrupFiscal", "SetTipoGes", false},
        {"Ger10201.rdmCadAutParGrpFis", "GetDados", false},
        {"", "GetDados", false},
    };
    for (const auto &[object, method, found] : cases)
        EXPECT_EQ(d.find(object, method) != nullptr, found) << object << "." << method;
    EXPECT_TRUE(d.hasObject("GER10200.rdmparamgrupfiscal"));
    EXPECT_FALSE(d.hasObject("Ger10201.rdmCadAutParGrpFis"));

    EXPECT_THROW(d.add("Ger10200.rdmParamGrupFiscal", "SETTIPOGEST",
                       [](const QCborArray &, fiscal::dataset::ValueWriter &) {}),
                 std::invalid_argument);
    EXPECT_THROW(d.add("Ger10200.rdmParamGrupFiscal", "X", {}), std::invalid_argument);
}
