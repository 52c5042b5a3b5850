// Value writers, rows, and the packet / change-set codec.

#include "dataset/packet.h"
#include "helpers.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace fiscal::dataset;
using fiscal::dataset::test::compact;
using fiscal::dataset::test::row;

namespace {

std::string str(const QByteArray &b) { return b.toStdString(); }

TEST(JsonWriter, EscapesStrings)
{
    struct Case { const char *in; const char *json; };
    const Case cases[] = {
        {"plain", R"("plain")"},
        {"a\"b", R"("a\"b")"},
        {"back\\slash", R"("back\\slash")"},
        {"line\nfeed\r\t", R"("line\nfeed\r\t")"},
        {"\b\f", R"("\b\f")"},
        {"\x01\x1f", R"("\u0001\u001f")"},
        {"ação – ✓", "\"ação – ✓\""},
        {"", R"("")"},
        {"</script>", R"("</script>")"},
    };
    for (const Case &c : cases) {
        QByteArray out;
        makeWriter(Encoding::Json, out)->string(std::string_view(c.in));
        EXPECT_EQ(str(out), c.json) << c.in;
        // Whatever we write must read back as the same text.
        const QJsonDocument doc = QJsonDocument::fromJson("[" + out + "]");
        ASSERT_TRUE(doc.isArray()) << c.in;
        EXPECT_EQ(doc.array().at(0).toString(), QString::fromUtf8(c.in));
    }
}

// The same sequence of calls on both writers yields the same value.
void writeSample(ValueWriter &w)
{
    w.startMap();
    w.key("a");
    w.startArray();
    w.integer(-7);
    w.boolean(true);
    w.boolean(false);
    w.null();
    w.string(QStringLiteral("x\"y"));
    w.startArray();
    w.endArray();
    w.endArray();
    w.key("b");
    w.startMap();
    w.endMap();
    w.key("c");
    w.integer(1234567890123);
    w.endMap();
}

TEST(ValueWriter, CborAndJsonAgree)
{
    QByteArray json, cbor;
    writeSample(*makeWriter(Encoding::Json, json));
    writeSample(*makeWriter(Encoding::Cbor, cbor));
    EXPECT_EQ(str(json), R"({"a":[-7,true,false,null,"x\"y",[]],"b":{},"c":1234567890123})");
    QCborParserError err;
    const QCborValue fromCbor = QCborValue::fromCbor(cbor, &err);
    ASSERT_EQ(err.error, QCborError::NoError);
    EXPECT_EQ(fromCbor.toJsonValue(), QJsonDocument::fromJson(json).object());
}

// The hand-written CBOR is the bytes Qt's writer makes, at every size boundary of a head.
TEST(ValueWriter, CborHeadsAtEverySizeBoundary)
{
    QByteArray ours;
    QByteArray qt;
    QCborStreamWriter reference(&qt);
    auto w = makeWriter(Encoding::Cbor, ours);
    w->startArray();
    reference.startArray();
    for (std::int64_t v : {0LL, 23LL, 24LL, 255LL, 256LL, 65535LL, 65536LL, 4294967295LL, 4294967296LL,
                           -1LL, -24LL, -25LL, -256LL, -257LL, -65537LL, -4294967297LL}) {
        w->integer(v);
        reference.append(qint64(v));
    }
    for (qsizetype n : {0, 23, 24, 255, 256, 65535, 65536}) {
        const std::string text(size_t(n), 'a');
        w->string(text);
        reference.appendTextString(text.data(), n);
    }
    w->startMap();
    reference.startMap();
    w->key("k");
    reference.appendTextString("k", 1);
    w->null();
    reference.append(nullptr);
    w->endMap();
    reference.endMap();
    w->boolean(true);
    w->boolean(false);
    reference.append(true);
    reference.append(false);
    w->endArray();
    reference.endArray();
    EXPECT_EQ(ours.toHex(), qt.toHex());
}

TEST(ValueWriter, AppendsToExistingBytes)
{
    for (Encoding enc : {Encoding::Cbor, Encoding::Json}) {
        QByteArray out("prefix");
        makeWriter(enc, out)->null();
        EXPECT_TRUE(out.startsWith("prefix"));
        EXPECT_GT(out.size(), 6);
    }
}

TEST(Row, SetKeepsOtherValuesAndNullness)
{
    struct Case { const char *start; int index; std::optional<QString> value; const char *expected; };
    const Case cases[] = {
        {"001|Alfa|~", 0, QStringLiteral("9"), "9|Alfa|~"},
        {"001|Alfa|~", 1, QStringLiteral("Alfabeto longo"), "001|Alfabeto longo|~"},
        {"001|Alfa|~", 1, std::nullopt, "001|~|~"},
        {"001|Alfa|~", 2, QString(), "001|Alfa|"},
        {"001||x", 1, QStringLiteral("m"), "001|m|x"},
        {"~|~|~", 1, QStringLiteral("m"), "~|m|~"},
    };
    for (const Case &c : cases) {
        Row r = row(QString::fromUtf8(c.start));
        r.set(c.index, c.value);
        EXPECT_EQ(compact(r), QString::fromUtf8(c.expected)) << c.start << " @" << c.index;
    }
}

TEST(Row, NullIsNotEmpty)
{
    EXPECT_FALSE(row("~") == row(""));
    EXPECT_TRUE(row("~|a") == row("~|a"));
    EXPECT_FALSE(row("ab|c") == row("a|bc"));
    EXPECT_EQ(row("~").value(0), std::nullopt);
    EXPECT_EQ(row("").value(0), QString());
    EXPECT_TRUE(row("").value(0).has_value());
}

// A row keeps one form per content (Latin-1, or UTF-16 once a character needs it; short or
// long lengths), whichever way it was built, decoded or stored.
TEST(Row, SameValuesSameRowWhateverTheRoute)
{
    const QString wide(300, QChar(0x2713));
    struct Case { const char *name; QList<std::optional<QString>> values; };
    const Case cases[] = {
        {"ascii", {QStringLiteral("001"), QStringLiteral("ICMS normal"), std::nullopt}},
        {"latin-1", {QStringLiteral("Ação"), QStringLiteral("Gestão ÿ"), QString()}},
        {"beyond latin-1", {QStringLiteral("Ação ✓"), QStringLiteral("x"), std::nullopt}},
        {"a value of 300 characters", {QString(300, u'x'), QStringLiteral("é"), std::nullopt}},
        {"long and beyond latin-1", {wide, std::nullopt, QStringLiteral("ç")}},
    };
    for (const Case &c : cases) {
        const Row built = Row::fromValues(c.values);
        EXPECT_EQ(built.values(), c.values) << c.name;
        Row appended;
        for (const auto &v : c.values)
            v ? appended.append(*v) : appended.appendNull();
        EXPECT_EQ(appended, built) << c.name;
        // Through a value beyond Latin-1 and back.
        Row detour = built;
        detour.set(0, QStringView(u"✓"));
        detour.set(0, c.values[0]);
        EXPECT_EQ(detour, built) << c.name;

        DataPacket p;
        p.fields = {FieldDef{QStringLiteral("A"), 0}, FieldDef{QStringLiteral("B"), 0}, FieldDef{QStringLiteral("C"), 0}};
        p.rows = {built, row("1|2|3"), built};
        const DataPacket back = DataPacket::readCbor(p.toCbor());
        EXPECT_EQ(back, p) << c.name;
        EXPECT_EQ(back.rows.at(2).values(), c.values) << c.name;
    }
}

TEST(RowTable, RowsOutliveTheTableAndCopiesGrowApart)
{
    Row kept;
    RowTable copy;
    {
        RowTable t;
        for (int i = 0; i < 20000; ++i)   // several blocks
            t.append(row(QStringLiteral("%1|%2").arg(i).arg(QString(i % 97, u'x'))));
        kept = t.at(15000);
        copy = t;
        copy.append(row("copy|~"));
        t.append(row("original|~"));
        ASSERT_EQ(t.size(), 20001);
        EXPECT_EQ(compact(t.at(20000)), QStringLiteral("original|~"));
        EXPECT_EQ(compact(t[19999]), QStringLiteral("19999|%1").arg(QString(19999 % 97, u'x')));
        EXPECT_EQ(compact(t[4097]), QStringLiteral("4097|%1").arg(QString(4097 % 97, u'x')));
    }
    EXPECT_EQ(compact(kept), QStringLiteral("15000|%1").arg(QString(15000 % 97, u'x')));
    ASSERT_EQ(copy.size(), 20001);
    EXPECT_EQ(compact(copy.at(20000)), QStringLiteral("copy|~"));
    EXPECT_EQ(compact(copy.at(0)), QStringLiteral("0|"));
}

DataPacket samplePacket(bool withChanges)
{
    DataPacket p;
    p.fields = {FieldDef{QStringLiteral("CDGRUPOFISC"), 3, QStringLiteral("string"), true},
                FieldDef{QStringLiteral("DSGRUPOFISC"), 30}, FieldDef{QStringLiteral("NOTA"), 0}};
    p.rows = {row("001|ICMS normal|~"), row("002||\"aspas\" e \\barra\\"), row("003|Ação ✓|\n\t")};
    if (withChanges) {
        ChangeSet cs;
        cs.fields = p.fields;
        cs.changes = {Change{Change::Update, row("001|ICMS|~"), row("001|ICMS normal|~")},
                      Change{Change::Delete, row("004|Velho|x"), Row()},
                      Change{Change::Insert, Row(), row("003|Ação ✓|\n\t")}};
        p.changes = cs;
    }
    return p;
}

TEST(Packet, RoundTrips)
{
    for (bool withChanges : {false, true}) {
        const DataPacket p = samplePacket(withChanges);
        SCOPED_TRACE(withChanges ? "with changes" : "rows only");
        EXPECT_EQ(DataPacket::readCbor(p.toCbor()), p);
        EXPECT_EQ(DataPacket::fromJson(p.toJson()), p);
        EXPECT_EQ(DataPacket::fromCbor(QCborValue::fromCbor(p.toCbor())), p);
        // JSON and CBOR carry the same layout.
        EXPECT_EQ(QCborValue::fromCbor(p.toCbor()).toJsonValue(),
                  QJsonDocument::fromJson(p.toJson()).object());
    }
}

TEST(Packet, EmptyPacketRoundTrips)
{
    DataPacket p;
    p.fields = fiscal::dataset::test::groupFields();
    EXPECT_EQ(DataPacket::readCbor(p.toCbor()), p);
    EXPECT_EQ(DataPacket::fromJson(p.toJson()), p);
}

TEST(ChangeSet, RoundTrips)
{
    const ChangeSet cs = *samplePacket(true).changes;
    EXPECT_EQ(ChangeSet::readCbor(cs.toCbor()), cs);
    EXPECT_EQ(ChangeSet::fromJson(cs.toJson()), cs);
    EXPECT_EQ(ChangeSet::fromCbor(QCborValue::fromCbor(cs.toCbor())), cs);
    EXPECT_EQ(str(ChangeSet{fiscal::dataset::test::groupFields(),
                            {Change{Change::Delete, row("001|A"), Row()}}}.toJson()),
              R"({"fields":[{"name":"CDGRUPOFISC","size":3,"type":"string","required":false},)"
              R"({"name":"DSGRUPOFISC","size":30,"type":"string","required":false}],)"
              R"("changes":[{"op":"delete","old":["001","A"]}]})");
}

TEST(Packet, StreamedFromRowsEqualsWholePacket)
{
    const DataPacket p = samplePacket(false);
    for (Encoding enc : {Encoding::Cbor, Encoding::Json}) {
        QByteArray out;
        auto w = makeWriter(enc, out);
        writePacketHeader(*w, p.fields);
        beginRows(*w);
        for (const Row &r : p.rows)
            writeRow(*w, r);
        endPacket(*w);
        EXPECT_EQ(out, enc == Encoding::Cbor ? p.toCbor() : p.toJson());
    }
}

TEST(Packet, FieldsMayFollowRows)
{
    const QByteArray json = R"({"rows":[["001","A"]],"fields":[{"name":"C","size":3},{"name":"D","size":1}]})";
    const DataPacket p = DataPacket::fromJson(json);
    EXPECT_EQ(p.rows.size(), 1);
    EXPECT_EQ(p.fields[1].type, QStringLiteral("string"));
    EXPECT_FALSE(p.fields[1].required);
}

// A size counts characters as the database's VARCHAR does: a character beyond the BMP, two
// UTF-16 units, is one. Rows before or after their fields, and a change's values alike.
TEST(Packet, ASizeCountsCharacters)
{
    const QByteArray fields = R"("fields":[{"name":"C","size":3}])";
    const QByteArray fits = "a\\ud83d\\ude00b", over = "ab\\ud83d\\ude00c";
    const struct { QByteArray json; bool accepted; } cases[] = {
        {"{" + fields + R"(,"rows":[[")" + fits + R"("]]})", true},
        {R"({"rows":[[")" + fits + R"("]],)" + fields + "}", true},
        {"{" + fields + R"(,"rows":[],"changes":[{"op":"insert","new":[")" + fits + R"("]}]})", true},
        {"{" + fields + R"(,"rows":[[")" + over + R"("]]})", false},
        {R"({"rows":[[")" + over + R"("]],)" + fields + "}", false},
        {"{" + fields + R"(,"rows":[],"changes":[{"op":"insert","new":[")" + over + R"("]}]})", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json.constData());
        try {
            DataPacket::fromJson(c.json);
            EXPECT_TRUE(c.accepted);
        } catch (const PacketError &e) {
            EXPECT_FALSE(c.accepted) << e.what();
            EXPECT_TRUE(e.message().contains(QStringLiteral("maior que 3 caracteres"))) << e.what();
        }
    }
}

// Each malformed input is refused, and the message says what is wrong.
TEST(Packet, StrictDecoderRefusesMalformedInput)
{
    const char *f2 = R"("fields":[{"name":"C","size":3},{"name":"D","size":5}])";
    struct Case { QByteArray json; const char *expect; };
    const auto pkt = [&](const char *rest) { return QByteArray("{") + f2 + "," + rest + "}"; };
    const Case cases[] = {
        {R"({"rows":[]})", "falta \"fields\""},
        {R"({"fields":[]})", "falta \"rows\""},
        {R"({"fields":{},"rows":[]})", "\"fields\" deve ser uma lista"},
        {R"({"fields":[{"size":3}],"rows":[]})", "campo 1 sem nome"},
        {R"({"fields":[{"name":" ","size":3}],"rows":[]})", "campo 1 sem nome"},
        {R"({"fields":[{"name":"C"}],"rows":[]})", "sem tamanho"},
        {R"({"fields":[{"name":"C","size":-1}],"rows":[]})", "tamanho -1"},
        {R"({"fields":[{"name":"C","size":"3"}],"rows":[]})", "deve ser um número inteiro"},
        {R"({"fields":[{"name":"C","size":2.5}],"rows":[]})", "deve ser um número inteiro"},
        {R"({"fields":[{"name":"C","size":99999999}],"rows":[]})", "inválido"},
        {R"({"fields":[{"name":"C","size":3,"type":"integer"}],"rows":[]})", "não suportado"},
        {R"({"fields":[{"name":"C","size":3,"required":"yes"}],"rows":[]})", "verdadeiro ou falso"},
        {R"({"fields":[{"name":"C","size":3,"width":3}],"rows":[]})", "\"width\" inesperada"},
        {R"({"fields":[{"name":"C","size":3},{"name":"c","size":3}],"rows":[]})", "repetido"},
        {R"({"fields":["C"],"rows":[]})", "deve ser um mapa"},
        {pkt(R"("rows":{})"), "\"rows\" deve ser uma lista"},
        {pkt(R"("rows":["001"])"), "linha 1 deve ser uma lista"},
        {pkt(R"("rows":[["001"]])"), "linha 1 tem 1 valores para 2 campos"},
        {pkt(R"("rows":[["001","a","b"]])"), "mais valores"},
        {pkt(R"("rows":[["001","a"],[1,"a"]])"), "linha 2, valor 1: deve ser texto ou nulo"},
        {pkt(R"("rows":[["001",true]])"), "deve ser texto ou nulo"},
        {pkt(R"("rows":[["0001","a"]])"), "maior que 3 caracteres"},
        {pkt(R"("rows":[],"extra":1)"), "\"extra\" inesperada"},
        {pkt(R"("rows":[],"changes":{})"), "\"changes\" deve ser uma lista"},
        {pkt(R"("rows":[],"changes":[1])"), "alteração 1 deve ser um mapa"},
        {pkt(R"("rows":[],"changes":[{"old":["1","a"]}])"), "sem \"op\""},
        {pkt(R"("rows":[],"changes":[{"op":"upsert","new":["1","a"]}])"), "\"upsert\" desconhecida"},
        {pkt(R"("rows":[],"changes":[{"op":"update","new":["1","a"]}])"), "sem \"old\""},
        {pkt(R"("rows":[],"changes":[{"op":"update","old":["1","a"]}])"), "sem \"new\""},
        {pkt(R"("rows":[],"changes":[{"op":"delete","old":["1","a"],"new":["1","a"]}])"), "não leva \"new\""},
        {pkt(R"("rows":[],"changes":[{"op":"insert","old":["1","a"],"new":["1","a"]}])"), "não leva \"old\""},
        {pkt(R"("rows":[],"changes":[{"op":"insert","new":["1"]}])"), "valores novos tem 1 valores"},
        {pkt(R"("rows":[],"changes":[{"op":"delete","old":["1",5]}])"), "deve ser texto ou nulo"},
        {R"({"rows":[["0001"]],"fields":[{"name":"C","size":3}]})", "maior que 3 caracteres"},
        {R"({"rows":[["1","2"]],"fields":[{"name":"C","size":3}]})", "linha 1 tem"},
        {"[]", "esperado um objeto"},
        {"{", "JSON mal formado"},
    };
    for (const Case &c : cases) {
        try {
            DataPacket::fromJson(c.json);
            ADD_FAILURE() << "accepted: " << c.json.constData();
        } catch (const PacketError &e) {
            EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.expect)))
                << c.json.constData() << " -> " << e.what();
        }
    }
}

TEST(ChangeSet, StrictDecoderRefusesMalformedInput)
{
    struct Case { QByteArray json; const char *expect; };
    const Case cases[] = {
        {R"({"fields":[{"name":"C","size":3}]})", "falta \"changes\""},
        {R"({"changes":[]})", "falta \"fields\""},
        {R"({"fields":[{"name":"C","size":3}],"changes":[],"rows":[]})", "\"rows\" inesperada"},
        {R"({"fields":[{"name":"C","size":3}],"changes":[{"op":"update","old":["1"],"new":["12345"]}]})",
         "maior que 3"},
        {R"({"changes":[{"op":"insert","new":["1","2"]}],"fields":[{"name":"C","size":3}]})",
         "valores novos tem 2 valores para 1 campos"},
    };
    for (const Case &c : cases) {
        try {
            ChangeSet::fromJson(c.json);
            ADD_FAILURE() << "accepted: " << c.json.constData();
        } catch (const PacketError &e) {
            EXPECT_TRUE(e.message().contains(QString::fromUtf8(c.expect)))
                << c.json.constData() << " -> " << e.what();
        }
    }
}

// Byte-level faults only CBOR can carry.
TEST(Packet, StreamingDecoderRefusesBadCbor)
{
    const QByteArray good = samplePacket(true).toCbor();

    QByteArray badUtf8;
    {
        QCborStreamWriter w(&badUtf8);
        w.startMap();
        w.append(QLatin1String("fields"));
        w.startArray();
        w.startMap();
        w.append(QLatin1String("name"));
        w.append(QLatin1String("C"));
        w.append(QLatin1String("size"));
        w.append(3);
        w.endMap();
        w.endArray();
        w.append(QLatin1String("rows"));
        w.startArray();
        w.startArray();
        w.appendTextString("\xff\xfe", 2);
        w.endArray();
        w.endArray();
        w.endMap();
    }
    QByteArray dupKey;
    {
        QCborStreamWriter w(&dupKey);
        w.startMap();
        w.append(QLatin1String("fields"));
        w.startArray();
        w.endArray();
        w.append(QLatin1String("fields"));
        w.startArray();
        w.endArray();
        w.append(QLatin1String("rows"));
        w.startArray();
        w.endArray();
        w.endMap();
    }
    struct Case { const char *name; QByteArray bytes; };
    const Case cases[] = {
        {"empty", QByteArray()},
        {"truncated", good.left(good.size() / 2)},
        {"trailing bytes", good + QByteArray(1, '\0')},
        {"invalid utf-8 value", badUtf8},
        {"repeated key", dupKey},
        {"integer at top", QCborValue(5).toCbor()},
        // a text value claiming 4 GiB in a packet of a few bytes
        {"string longer than the input",
         QByteArray::fromHex("bf" "666669656c6473" "81" "a2" "646e616d65" "6143" "6473697a65" "00"
                             "64726f7773" "81" "81" "7b" "0000000100000000")},
        {"byte string value", QByteArray::fromHex("a2666669656c647381a2646e616d656143647369"
                                                   "7a650364726f77738181" "4130")},
    };
    for (const Case &c : cases) {
        EXPECT_THROW(DataPacket::readCbor(c.bytes), PacketError) << c.name;
    }
    EXPECT_NO_THROW(DataPacket::readCbor(good));
}

TEST(Packet, ReadsIndefiniteAndChunkedStrings)
{
    // {"fields": [{"name": "C", "size": 0}], "rows": [[<"ab" "çd" as chunks>]]}, with
    // indefinite-length containers around it.
    QByteArray bytes = QByteArray::fromHex("bf" "666669656c6473" "9f" "a2" "646e616d65" "6143" "6473697a65" "00" "ff"
                                           "64726f7773" "9f" "81" "7f" "626162" "63");
    bytes += QByteArray("\xc3\xa7" "d");
    bytes += QByteArray::fromHex("ff" "ff" "ff");
    const DataPacket p = DataPacket::readCbor(bytes);
    ASSERT_EQ(p.rows.size(), 1);
    EXPECT_EQ(p.rows[0].text(0), QStringLiteral("abçd"));
}

} // namespace
