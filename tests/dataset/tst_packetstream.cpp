// The packet decoder against the QCborStreamReader one it replaced, on random packets and
// on random damage to them; and decoding from bytes that arrive piece by piece.
#include "dataset/packet.h"
#include "helpers.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamWriter>

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace fiscal::dataset;

class Random {
public:
    explicit Random(unsigned seed) : m_gen(seed) {}
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_gen); }
    bool chance(int percent) { return between(1, 100) <= percent; }

    QString text(int maxLen)
    {
        static const char16_t alphabet[] = u"ABCxyz019 -'\"\\çÃé€\u00a0";
        QString s;
        const int n = between(0, maxLen);
        for (int i = 0; i < n; ++i) {
            if (chance(3))
                s += QString::fromUcs4(U"\U0001F600", 1);   // outside the BMP
            else
                s += QChar(alphabet[between(0, int(std::size(alphabet)) - 2)]);
        }
        return s;
    }

    // At most `size` UTF-16 units, never half a surrogate pair.
    static QString fit(QString s, int size)
    {
        if (size > 0 && s.size() > size) {
            s.truncate(size);
            if (s.back().isHighSurrogate())
                s.chop(1);
        }
        return s;
    }

    Row row(const QList<FieldDef> &fields)
    {
        Row r;
        for (const FieldDef &f : fields) {
            if (chance(20))
                r.appendNull();
            else
                r.append(fit(text(12), f.size));
        }
        return r;
    }

    DataPacket packet()
    {
        DataPacket p;
        const int nFields = between(1, 5);
        for (int i = 0; i < nFields; ++i)
            p.fields.append(FieldDef{QStringLiteral("F%1").arg(i), between(0, 8) * 3});
        const int nRows = between(0, 30);
        for (int i = 0; i < nRows; ++i)
            p.rows.append(row(p.fields));
        if (chance(30)) {
            ChangeSet cs{p.fields, {}};
            const int n = between(0, 4);
            for (int i = 0; i < n; ++i) {
                Change c;
                c.op = Change::Op(between(0, 2));
                if (c.op != Change::Insert)
                    c.oldValues = row(p.fields);
                if (c.op != Change::Delete)
                    c.newValues = row(p.fields);
                cs.changes.append(c);
            }
            p.changes = cs;
        }
        return p;
    }

    QByteArray damage(QByteArray bytes)
    {
        if (bytes.isEmpty())
            return bytes;
        const int at = between(0, int(bytes.size()) - 1);
        switch (between(0, 4)) {
        case 0: bytes[at] = char(between(0, 255)); break;
        case 1: bytes.truncate(at); break;
        case 2: bytes.insert(at, char(between(0, 255))); break;
        case 3: bytes.remove(at, 1); break;
        default: bytes[at] = char(bytes[at] ^ (1 << between(0, 7))); break;
        }
        return bytes;
    }

private:
    std::mt19937 m_gen;
};

// The same packet with definite-length containers, as a tree encoder writes it.
QByteArray definiteForm(const QByteArray &cbor)
{
    return QCborValue::fromCbor(cbor).toCbor();
}

// Hands out the bytes in pieces of random size, as a connection would.
class PieceSource final : public ByteSource {
public:
    PieceSource(QByteArray bytes, unsigned seed) : m_bytes(std::move(bytes)), m_random(seed) {}
    qsizetype read(char *out, qsizetype max) override
    {
        ++reads;
        const qsizetype n = std::min<qsizetype>({max, m_bytes.size() - m_pos, m_random.between(1, 700)});
        std::memcpy(out, m_bytes.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    int reads = 0;

private:
    QByteArray m_bytes;
    qsizetype m_pos = 0;
    Random m_random;
};

struct Outcome {
    bool ok = false;
    DataPacket packet;
};

template <class Decode>
Outcome attempt(Decode decode)
{
    try {
        return {true, decode()};
    } catch (const PacketError &) {
        return {};
    }
}

TEST(PacketDecoder, AgreesWithTheReferenceOnRandomAndDamagedPackets)
{
    Random random(20261207);
    int accepted = 0, refused = 0;
    for (int i = 0; i < 400; ++i) {
        const DataPacket p = random.packet();
        const QByteArray indefinite = p.toCbor();
        for (const QByteArray &good : {indefinite, definiteForm(indefinite)}) {
            ASSERT_EQ(DataPacket::readCbor(good), p) << i;
            ASSERT_EQ(detail::readPacketReference(good), p) << i;
            PieceSource source(good, unsigned(i));
            ASSERT_EQ(DataPacket::readCbor(source), p) << i;
        }
        for (int k = 0; k < 10; ++k) {
            const QByteArray bad = random.damage(k % 2 ? indefinite : definiteForm(indefinite));
            const Outcome fast = attempt([&] { return DataPacket::readCbor(bad); });
            const Outcome reference = attempt([&] { return detail::readPacketReference(bad); });
            ASSERT_EQ(fast.ok, reference.ok) << i << " " << bad.toHex().toStdString();
            if (fast.ok) {
                EXPECT_EQ(fast.packet, reference.packet) << bad.toHex().toStdString();
                ++accepted;
            } else {
                ++refused;
            }
            PieceSource source(bad, unsigned(k));
            const Outcome streamed = attempt([&] { return DataPacket::readCbor(source); });
            ASSERT_EQ(streamed.ok, fast.ok) << bad.toHex().toStdString();
            if (streamed.ok) {
                EXPECT_EQ(streamed.packet, fast.packet);
            }
        }
    }
    // Both kinds of outcome were really exercised.
    EXPECT_GT(accepted, 50);
    EXPECT_GT(refused, 1000);
}

TEST(PacketDecoder, ChangeSetsAgreeWithTheReference)
{
    Random random(7);
    for (int i = 0; i < 300; ++i) {
        DataPacket p = random.packet();
        const ChangeSet cs = p.changes.value_or(ChangeSet{p.fields, {}});
        const QByteArray good = cs.toCbor();
        ASSERT_EQ(ChangeSet::readCbor(good), cs);
        for (int k = 0; k < 10; ++k) {
            const QByteArray bad = random.damage(good);
            bool fastOk = true, referenceOk = true;
            ChangeSet a, b;
            try { a = ChangeSet::readCbor(bad); } catch (const PacketError &) { fastOk = false; }
            try { b = detail::readChangeSetReference(bad); } catch (const PacketError &) { referenceOk = false; }
            ASSERT_EQ(fastOk, referenceOk) << bad.toHex().toStdString();
            if (fastOk) {
                EXPECT_EQ(a, b);
            }
        }
    }
}

// Hand-made inputs at the edges of CBOR that random damage rarely reaches.
TEST(PacketDecoder, AgreesOnCborEdgeCases)
{
    const QByteArray head = QByteArray::fromHex("a2" "666669656c6473" "81" "a2" "646e616d65" "6143"
                                                "6473697a65");
    const QByteArray rowsKey = QByteArray::fromHex("64726f7773");
    struct Case {
        const char *name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"size as a long head", head + QByteArray::fromHex("1b0000000000000003") + rowsKey + QByteArray::fromHex("80")},
        {"size as half float", head + QByteArray::fromHex("f94200") + rowsKey + QByteArray::fromHex("80")},
        {"size as float", head + QByteArray::fromHex("fa40400000") + rowsKey + QByteArray::fromHex("80")},
        {"size as fraction", head + QByteArray::fromHex("fb3ff8000000000000") + rowsKey + QByteArray::fromHex("80")},
        {"size negative", head + QByteArray::fromHex("20") + rowsKey + QByteArray::fromHex("80")},
        {"size tagged", head + QByteArray::fromHex("c003") + rowsKey + QByteArray::fromHex("80")},
        {"reserved head", head + QByteArray::fromHex("1c") + rowsKey + QByteArray::fromHex("80")},
        {"indefinite integer", head + QByteArray::fromHex("1f") + rowsKey + QByteArray::fromHex("80")},
        {"value undefined", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("8181f7")},
        {"value simple", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("8181f820")},
        {"value bad simple", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("8181f810")},
        {"value tagged text", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("8181c06161")},
        {"break in definite row", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("8181ff")},
        {"byte chunk in text", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("81817f4161ff")},
        {"nested indefinite text", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("81817f7fffff")},
        {"chunked text", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("81817f61616162ff")},
        {"empty chunked text", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("81817fff")},
        {"overlong utf-8", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("818162c0af")},
        {"surrogate utf-8", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("818163eda080")},
        {"valid", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("8181626162")},
        {"rows too long declared", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("9b0000000100000000")},
        {"map too long declared", QByteArray::fromHex("bb4000000000000001")},
        {"two top-level values", head + QByteArray::fromHex("03") + rowsKey + QByteArray::fromHex("80a0")},
    };
    for (const Case &c : cases) {
        const Outcome fast = attempt([&] { return DataPacket::readCbor(c.bytes); });
        const Outcome reference = attempt([&] { return detail::readPacketReference(c.bytes); });
        EXPECT_EQ(fast.ok, reference.ok) << c.name;
        if (fast.ok && reference.ok) {
            EXPECT_EQ(fast.packet, reference.packet) << c.name;
        }
    }
}

struct Broken : std::runtime_error {
    Broken() : std::runtime_error("connection lost") {}
};

// Gives some bytes, then fails the way a broken connection does.
class FailingSource final : public ByteSource {
public:
    explicit FailingSource(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    qsizetype read(char *out, qsizetype max) override
    {
        if (m_done)
            throw Broken();
        const qsizetype n = std::min(max, m_bytes.size());
        std::memcpy(out, m_bytes.constData(), size_t(n));
        m_done = true;
        return n;
    }

private:
    QByteArray m_bytes;
    bool m_done = false;
};

TEST(PacketDecoder, StreamedInputFailures)
{
    DataPacket p;
    p.fields = test::groupFields();
    for (int i = 0; i < 2000; ++i)
        p.rows.append(test::row(QStringLiteral("%1|Grupo %1").arg(i % 1000, 3, 10, QLatin1Char('0'))));
    const QByteArray bytes = p.toCbor();

    // The source's own failure comes through unchanged, not as a decoding error.
    FailingSource failing(bytes.left(bytes.size() / 2));
    EXPECT_THROW(DataPacket::readCbor(failing), Broken);

    // Bytes that end early are a malformed packet.
    for (qsizetype cut : {qsizetype(0), qsizetype(1), bytes.size() / 3, bytes.size() - 1}) {
        PieceSource source(bytes.left(cut), 3);
        EXPECT_THROW(DataPacket::readCbor(source), PacketError) << cut;
    }
    // A declared length beyond what arrives fails when the bytes end.
    PieceSource huge(QByteArray::fromHex("a2" "666669656c6473" "81" "a2" "646e616d65" "6143" "6473697a65" "00"
                                         "64726f7773" "81" "81" "7b" "0000000100000000") + QByteArray(5000, 'a'), 1);
    EXPECT_THROW(DataPacket::readCbor(huge), PacketError);
}

TEST(PacketDecoder, ReadsAnArrayOfPackets)
{
    Random random(99);
    QList<DataPacket> packets;
    QByteArray bytes;
    {
        QCborStreamWriter w(&bytes);
        w.startArray();
    }
    for (int i = 0; i < 7; ++i) {
        packets.append(random.packet());
        bytes += packets.last().toCbor();
    }
    bytes += char(0xff);

    EXPECT_EQ(readCborPackets(bytes), packets);
    PieceSource source(bytes, 5);
    EXPECT_EQ(readCborPackets(source), packets);
    EXPECT_EQ(readCborPackets(QByteArray::fromHex("80")), QList<DataPacket>());

    struct Case {
        const char *name;
        QByteArray bytes;
    };
    const Case bad[] = {
        {"a packet, not an array", packets[0].toCbor()},
        {"an element that is not a packet", QByteArray::fromHex("8101")},
        {"unterminated", bytes.chopped(1)},
        {"trailing bytes", bytes + QByteArray::fromHex("00")},
    };
    for (const Case &c : bad)
        EXPECT_THROW(readCborPackets(c.bytes), PacketError) << c.name;
}

} // namespace
