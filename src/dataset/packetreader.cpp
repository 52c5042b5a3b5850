// Streaming decoder of data packets and change sets. Strict: anything that is not exactly
// the documented layout is refused with a message that says where.

#include "dataset/packet.h"

#include "dataset/cborcursor_p.h"
#include "dataset/rowbuilder.h"

#include <QCborStreamReader>
#include <QSet>
#include <algorithm>
#include <type_traits>
#include <vector>

namespace fiscal::dataset {

namespace {

// Text from the packet as a message repeats it: cut, so a huge key never comes back whole.
QString shown(const QString &text)
{
    return text.size() <= 40 ? text : text.left(40) + QChar(0x2026);
}

constexpr qint64 MaxFieldSize = 1 << 20;

// A field's size counts characters, as the database's VARCHAR does: a character beyond the
// BMP is one, though it takes two UTF-16 units.
qsizetype characters(QAnyStringView v)
{
    return v.visit([](auto s) -> qsizetype {
        if constexpr (std::is_same_v<decltype(s), QStringView>)
            return s.size() - std::count_if(s.begin(), s.end(), [](QChar c) { return c.isLowSurrogate(); });
        else
            return s.size();
    });
}

// Where a row sits, turned into text only when there is something to complain about.
struct Where {
    const char *format;   // UTF-8, with %1 for the number
    qsizetype number;
    QString text() const { return QString::fromUtf8(format).arg(number); }
};

QString where(const char *what) { return QString::fromLatin1(what); }

// What a message speaks of: given as text, or as "campo 3" and its key, made into text only
// when there is something to complain about (a change set is read on every save).
class Label {
public:
    Label(const QString &text) : m_text(text) {}
    Label(const char *format, qsizetype number, const char *key = nullptr)
        : m_format(format), m_number(number), m_key(key) {}
    Label operator/(const char *key) const { return Label(m_format, m_number, key); }
    QString text() const
    {
        if (!m_format)
            return m_text;
        QString t = QString::fromUtf8(m_format).arg(m_number);
        if (m_key)
            t += QStringLiteral(": \"%1\"").arg(QLatin1String(m_key));
        return t;
    }

private:
    QString m_text;
    const char *m_format = nullptr;
    qsizetype m_number = 0;
    const char *m_key = nullptr;
};

// The same interface over QCborStreamReader: the reference the fast cursor is checked
// against.
class QtCursor : public QCborStreamReader {
public:
    explicit QtCursor(const QByteArray &data) : QCborStreamReader(data), m_data(data) {}

    template <class Use>
    void text(Use &&use)
    {
        qsizetype total = 0;
        for (;;) {
            const qsizetype n = currentStringChunkSize();
            // A length the input cannot hold is refused before anything is allocated for it.
            if (n < 0 || n > m_data.size() - currentOffset())
                throw PacketError(QStringLiteral("Pacote de dados inválido: texto truncado."));
            if (qsizetype(m_bytes.size()) < total + n)
                m_bytes.resize(size_t(total + n));
            const auto res = readStringChunk(m_bytes.data() + total, n);
            if (res.status == QCborStreamReader::Error)
                throw PacketError(QStringLiteral("Pacote de dados inválido: texto inválido (%1).")
                                      .arg(lastError().toString()));
            if (res.status == QCborStreamReader::EndOfString)
                break;
            total += res.data;
        }
        use(QByteArrayView(m_bytes.data(), total));
    }
    bool readText(QString &out)
    {
        out.clear();
        auto res = readString();
        while (res.status == QCborStreamReader::Ok) {
            out += res.data;
            res = readString();
        }
        return res.status != QCborStreamReader::Error;
    }
    bool atEnd() const { return currentOffset() == m_data.size(); }
    qsizetype reserveLimit() const { return m_data.size(); }

private:
    QByteArray m_data;
    std::vector<char> m_bytes;
};

template <class Cursor>
class Reader {
public:
    template <class Input>
    explicit Reader(Input &&input) : m_r(std::forward<Input>(input)) {}

    // An array of packets, as a call that answers several tables at once returns them.
    QList<DataPacket> packets()
    {
        QList<DataPacket> out;
        enterArray(QStringLiteral("a resposta"));
        while (m_r.hasNext())
            out.append(packetValue());
        leave();
        finish();
        return out;
    }

    DataPacket packet()
    {
        DataPacket p = packetValue();
        finish();
        return p;
    }

private:
    DataPacket packetValue()
    {

        DataPacket p;
        bool haveFields = false, haveRows = false, haveChanges = false, rowsChecked = false;
        QList<Change> changes;
        enterMap("pacote");
        while (m_r.hasNext()) {
            const QString &k = key();
            if (k == u"fields" && !haveFields) {
                p.fields = fields();
                haveFields = true;
            } else if (k == u"rows" && !haveRows) {
                p.rows = rows(haveFields ? &p.fields : nullptr);
                rowsChecked = haveFields;
                haveRows = true;
            } else if (k == u"changes" && !haveChanges) {
                changes = changeList(haveFields ? &p.fields : nullptr);
                haveChanges = true;
            } else {
                unexpectedKey(k, "pacote");
            }
        }
        leave();
        if (!haveFields)
            fail(QStringLiteral("falta \"fields\""));
        if (!haveRows)
            fail(QStringLiteral("falta \"rows\""));
        for (qsizetype i = 0; i < p.rows.size() && !rowsChecked; ++i)
            checkRow(p.rows.ref(i), p.fields, Where{"linha %1", i + 1});
        if (haveChanges) {
            checkChanges(changes, p.fields);
            p.changes = ChangeSet{p.fields, std::move(changes)};
        }
        return p;
    }

public:
    ChangeSet changeSet()
    {
        ChangeSet cs;
        bool haveFields = false, haveChanges = false;
        enterMap("conjunto de alterações");
        while (m_r.hasNext()) {
            const QString &k = key();
            if (k == u"fields" && !haveFields) {
                cs.fields = fields();
                haveFields = true;
            } else if (k == u"changes" && !haveChanges) {
                cs.changes = changeList(haveFields ? &cs.fields : nullptr);
                haveChanges = true;
            } else {
                unexpectedKey(k, "conjunto de alterações");
            }
        }
        leave();
        finish();
        if (!haveFields)
            fail(QStringLiteral("falta \"fields\""));
        if (!haveChanges)
            fail(QStringLiteral("falta \"changes\""));
        checkChanges(cs.changes, cs.fields);
        return cs;
    }

private:
    [[noreturn]] void fail(const QString &what) const
    {
        throw PacketError(QStringLiteral("Pacote de dados inválido: %1.").arg(what));
    }

    void checkStream()
    {
        if (m_r.lastError() != QCborError::NoError)
            fail(QStringLiteral("CBOR mal formado (%1)").arg(m_r.lastError().toString()));
    }

    void enterMap(const char *what)
    {
        checkStream();
        if (!m_r.isMap())
            fail(QStringLiteral("%1 deve ser um mapa").arg(where(what)));
        m_r.enterContainer();
        checkStream();
    }

    void enterArray(const QString &what)
    {
        checkStream();
        if (!m_r.isArray())
            fail(QStringLiteral("%1 deve ser uma lista").arg(what));
        m_r.enterContainer();
        checkStream();
    }

    void leave()
    {
        checkStream();
        m_r.leaveContainer();
        checkStream();
    }

    // Nothing may follow the top-level value.
    void finish()
    {
        checkStream();
        if (!m_r.atEnd())
            fail(QStringLiteral("dados após o fim do pacote"));
    }

    [[noreturn]] void unexpectedKey(const QString &k, const char *in) const
    {
        fail(QStringLiteral("chave \"%1\" inesperada ou repetida em %2").arg(shown(k), where(in)));
    }

    QString text(const Label &what)
    {
        QString out;
        readText(what, out);
        return out;
    }

    void readText(const Label &what, QString &out)
    {
        checkStream();
        if (!m_r.isString())
            fail(QStringLiteral("%1 deve ser um texto").arg(what.text()));
        if (!m_r.readText(out))
            fail(QStringLiteral("%1: texto inválido").arg(what.text()));
    }

    // Read into one buffer, which the next key() overwrites.
    const QString &key()
    {
        readText(QStringLiteral("chave"), m_key);
        return m_key;
    }

    qint64 integer(const Label &what)
    {
        checkStream();
        qint64 v = 0;
        if (m_r.isUnsignedInteger()) {
            const quint64 u = quint64(m_r.toUnsignedInteger());
            if (u > quint64(std::numeric_limits<qint64>::max()))
                fail(QStringLiteral("%1 fora do intervalo").arg(what.text()));
            v = qint64(u);
        } else if (m_r.isNegativeInteger()) {
            v = -1;   // any negative value is refused by the callers
        } else if (m_r.isDouble() || m_r.isFloat() || m_r.isFloat16()) {
            // JSON numbers may arrive as doubles; accept only whole ones.
            const double d = m_r.isDouble() ? m_r.toDouble()
                           : m_r.isFloat() ? double(m_r.toFloat()) : double(float(m_r.toFloat16()));
            if (!(d >= -1e15 && d <= 1e15) || d != double(qint64(d)))
                fail(QStringLiteral("%1 deve ser um número inteiro").arg(what.text()));
            v = qint64(d);
        } else {
            fail(QStringLiteral("%1 deve ser um número inteiro").arg(what.text()));
        }
        m_r.next();
        return v;
    }

    bool boolean(const Label &what)
    {
        checkStream();
        if (!m_r.isBool())
            fail(QStringLiteral("%1 deve ser verdadeiro ou falso").arg(what.text()));
        const bool b = m_r.toBool();
        m_r.next();
        return b;
    }

    QList<FieldDef> fields()
    {
        QList<FieldDef> out;
        QSet<QString> names;
        enterArray(QStringLiteral("\"fields\""));
        while (m_r.hasNext()) {
            const Label what("campo %1", out.size() + 1);
            FieldDef f;
            bool haveName = false, haveSize = false, haveType = false, haveRequired = false;
            checkStream();
            if (!m_r.isMap())
                fail(QStringLiteral("%1 deve ser um mapa").arg(what.text()));
            m_r.enterContainer();
            while (m_r.hasNext()) {
                const QString &k = key();
                if (k == u"name" && !haveName) {
                    f.name = text(what / "name");
                    haveName = true;
                } else if (k == u"size" && !haveSize) {
                    const qint64 s = integer(what / "size");
                    if (s < 0 || s > MaxFieldSize)
                        fail(QStringLiteral("%1: tamanho %2 inválido").arg(what.text()).arg(s));
                    f.size = int(s);
                    haveSize = true;
                } else if (k == u"type" && !haveType) {
                    f.type = text(what / "type");
                    if (f.type != u"string")
                        fail(QStringLiteral("%1: tipo \"%2\" não suportado").arg(what.text(), shown(f.type)));
                    haveType = true;
                } else if (k == u"required" && !haveRequired) {
                    f.required = boolean(what / "required");
                    haveRequired = true;
                } else {
                    fail(QStringLiteral("chave \"%1\" inesperada ou repetida em %2").arg(shown(k), what.text()));
                }
            }
            leave();
            if (!haveName || f.name.trimmed().isEmpty())
                fail(QStringLiteral("%1 sem nome").arg(what.text()));
            if (!haveSize)
                fail(QStringLiteral("%1 (%2) sem tamanho").arg(what.text(), shown(f.name)));
            QString upper = f.name.toUpper();
            if (names.contains(upper))
                fail(QStringLiteral("campo \"%1\" repetido").arg(shown(f.name)));
            names.insert(std::move(upper));
            out.append(std::move(f));
        }
        leave();
        return out;
    }

    // Reads one row into m_rb; the caller writes it where it belongs.
    void row(const QList<FieldDef> *defs, const Where &where)
    {
        checkStream();
        if (!m_r.isArray())
            fail(QStringLiteral("%1 deve ser uma lista").arg(where.text()));
        m_r.enterContainer();
        checkStream();
        m_rb.start();
        while (m_r.hasNext()) {
            checkStream();
            const qsizetype col = m_rb.width();
            if (defs && col >= defs->size())
                fail(QStringLiteral("%1 tem mais valores que os %2 campos").arg(where.text()).arg(defs->size()));
            if (col >= RowBuilder::MaxWidth)
                fail(QStringLiteral("linha com valores demais"));
            if (m_r.isNull()) {
                m_rb.appendNull();
                m_r.next();
                continue;
            }
            if (!m_r.isString())
                fail(QStringLiteral("%1, valor %2: deve ser texto ou nulo").arg(where.text()).arg(col + 1));
            value(where, col);
            if (defs) {
                const int size = (*defs)[col].size;
                if (size > 0 && m_rb.lastLength() > size && m_rb.lastCharacters() > size)
                    fail(QStringLiteral("%1: valor do campo %2 maior que %3 caracteres")
                             .arg(where.text(), shown((*defs)[col].name)).arg(size));
            }
        }
        leave();
        if (defs && m_rb.width() != defs->size())
            fail(QStringLiteral("%1 tem %2 valores para %3 campos").arg(where.text()).arg(m_rb.width()).arg(defs->size()));
    }

    // Decodes a text value straight into the row buffer.
    void value(const Where &where, qsizetype col)
    {
        bool valid = true;
        m_r.text([&](QByteArrayView u) { valid = m_rb.appendUtf8(u); });
        if (!valid)
            fail(QStringLiteral("%1, valor %2: UTF-8 inválido").arg(where.text()).arg(col + 1));
        if (m_rb.textLength() > RowBuilder::MaxText)
            fail(QStringLiteral("linha grande demais"));
    }

    RowTable rows(const QList<FieldDef> *defs)
    {
        RowTable out;
        checkStream();
        // Each row takes at least one byte, yet 8 to keep: a declared count reserves no more
        // than a first share, and the table grows with the rows that do come.
        if (m_r.isArray() && m_r.isLengthKnown())
            out.reserve(qsizetype(std::min({m_r.length(), quint64(m_r.reserveLimit()), quint64(1) << 16})));
        enterArray(QStringLiteral("\"rows\""));
        while (m_r.hasNext()) {
            row(defs, Where{"linha %1", out.size() + 1});
            m_rb.finishInto(out);
        }
        leave();
        return out;
    }

    QList<Change> changeList(const QList<FieldDef> *defs)
    {
        QList<Change> out;
        enterArray(QStringLiteral("\"changes\""));
        while (m_r.hasNext()) {
            const Label what("alteração %1", out.size() + 1);
            Change c;
            bool haveOp = false, haveOld = false, haveNew = false;
            checkStream();
            if (!m_r.isMap())
                fail(QStringLiteral("%1 deve ser um mapa").arg(what.text()));
            m_r.enterContainer();
            while (m_r.hasNext()) {
                const QString &k = key();
                if (k == u"op" && !haveOp) {
                    const QString op = text(what / "op");
                    if (op == u"update")
                        c.op = Change::Update;
                    else if (op == u"delete")
                        c.op = Change::Delete;
                    else if (op == u"insert")
                        c.op = Change::Insert;
                    else
                        fail(QStringLiteral("%1: operação \"%2\" desconhecida").arg(what.text(), shown(op)));
                    haveOp = true;
                } else if (k == u"old" && !haveOld) {
                    row(defs, Where{"alteração %1, valores antigos", out.size() + 1});
                    c.oldValues = m_rb.finish();
                    haveOld = true;
                } else if (k == u"new" && !haveNew) {
                    row(defs, Where{"alteração %1, valores novos", out.size() + 1});
                    c.newValues = m_rb.finish();
                    haveNew = true;
                } else {
                    fail(QStringLiteral("chave \"%1\" inesperada ou repetida em %2").arg(shown(k), what.text()));
                }
            }
            leave();
            if (!haveOp)
                fail(QStringLiteral("%1 sem \"op\"").arg(what.text()));
            const bool wantOld = c.op != Change::Insert;
            const bool wantNew = c.op != Change::Delete;
            if (haveOld != wantOld)
                fail(QString::fromUtf8(wantOld ? "%1 (%2) sem \"old\"" : "%1 (%2) não leva \"old\"")
                         .arg(what.text(), QLatin1String(opName(c.op))));
            if (haveNew != wantNew)
                fail(QString::fromUtf8(wantNew ? "%1 (%2) sem \"new\"" : "%1 (%2) não leva \"new\"")
                         .arg(what.text(), QLatin1String(opName(c.op))));
            out.append(std::move(c));
        }
        leave();
        return out;
    }

    // For a packet whose "fields" came after its rows: the same checks, afterwards.
    void checkRow(RowRef r, const QList<FieldDef> &defs, const Where &where) const
    {
        if (r.size() != defs.size())
            fail(QStringLiteral("%1 tem %2 valores para %3 campos").arg(where.text()).arg(r.size()).arg(defs.size()));
        for (qsizetype i = 0; i < r.size(); ++i) {
            const int size = defs[i].size;
            if (size > 0 && r.length(i) > size && characters(r.view(i)) > size)
                fail(QStringLiteral("%1: valor do campo %2 maior que %3 caracteres")
                         .arg(where.text(), shown(defs[i].name)).arg(size));
        }
    }

    void checkChanges(const QList<Change> &changes, const QList<FieldDef> &defs) const
    {
        for (qsizetype i = 0; i < changes.size(); ++i) {
            if (changes[i].op != Change::Insert)
                checkRow(changes[i].oldValues.ref(), defs, Where{"alteração %1, valores antigos", i + 1});
            if (changes[i].op != Change::Delete)
                checkRow(changes[i].newValues.ref(), defs, Where{"alteração %1, valores novos", i + 1});
        }
    }

    Cursor m_r;
    RowBuilder m_rb;
    QString m_key;   // the last key read
};

} // namespace

using FastReader = Reader<detail::CborCursor>;

DataPacket DataPacket::readCbor(const QByteArray &cbor) { return FastReader(QByteArrayView(cbor)).packet(); }
DataPacket DataPacket::readCbor(ByteSource &source) { return FastReader(source).packet(); }
ChangeSet ChangeSet::readCbor(const QByteArray &cbor) { return FastReader(QByteArrayView(cbor)).changeSet(); }
QList<DataPacket> readCborPackets(const QByteArray &cbor) { return FastReader(QByteArrayView(cbor)).packets(); }
QList<DataPacket> readCborPackets(ByteSource &source) { return FastReader(source).packets(); }

namespace detail {
DataPacket readPacketReference(const QByteArray &cbor) { return Reader<QtCursor>(cbor).packet(); }
ChangeSet readChangeSetReference(const QByteArray &cbor) { return Reader<QtCursor>(cbor).changeSet(); }
} // namespace detail

} // namespace fiscal::dataset
