#pragma once
// A CBOR pull reader for the packet decoder: the part of QCborStreamReader's interface the
// decoder uses, over either a whole byte array or a ByteSource that is still receiving.
// Anything malformed (bad head, truncation, a break out of place) throws PacketError at
// once. Text values come back as views into the input whenever they sit there whole, so
// the hot path copies each value once, into its row.

#include "dataset/packet.h"

#include <QByteArrayView>
#include <QCborError>
#include <QString>
#include <QStringDecoder>
#include <QtEndian>
#include <QVarLengthArray>
#include <cstring>
#include <vector>

namespace fiscal::dataset::detail {

class CborCursor {
public:
    explicit CborCursor(QByteArrayView whole)
        : m_p(reinterpret_cast<const uchar *>(whole.data())), m_end(m_p + whole.size()),
          m_knownSize(whole.size())
    {
        preparse();
    }
    explicit CborCursor(ByteSource &source) : m_src(&source)
    {
        m_buf.resize(kBlock);
        m_p = m_end = m_buf.data();
        preparse();
    }

    QCborError lastError() const { return {}; }   // failures throw instead

    bool isMap() const { return m_type == Map; }
    bool isArray() const { return m_type == Array; }
    bool isString() const { return m_type == Text; }
    bool isNull() const { return m_type == Null; }
    bool isBool() const { return m_type == Bool; }
    bool isUnsignedInteger() const { return m_type == Unsigned; }
    bool isNegativeInteger() const { return m_type == Negative; }
    bool isDouble() const { return m_type == Double; }
    bool isFloat() const { return m_type == Float; }
    bool isFloat16() const { return m_type == Half; }
    bool toBool() const { return m_value != 0; }
    quint64 toUnsignedInteger() const { return m_value; }
    bool isLengthKnown() const { return !m_indefinite; }
    quint64 length() const { return m_value; }
    double toDouble() const { double d; std::memcpy(&d, &m_value, sizeof d); return d; }
    float toFloat() const
    {
        const quint32 bits = quint32(m_value);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    qfloat16 toFloat16() const
    {
        const quint16 bits = quint16(m_value);
        qfloat16 h;
        std::memcpy(static_cast<void *>(&h), &bits, sizeof h);
        return h;
    }

    bool hasNext() const { return m_type != End; }

    // Past a scalar (containers and strings are not skipped by the decoder).
    void next()
    {
        if (m_type == End || m_type == Array || m_type == Map || m_type == Text || m_type == Bytes)
            malformed("elemento inesperado");
        m_p += m_headLen;
        itemDone();
    }

    void enterContainer()
    {
        if (m_type != Array && m_type != Map)
            malformed("não é uma lista nem um mapa");
        if (!m_indefinite && m_type == Map && m_value > (quint64(1) << 62))
            malformed("mapa grande demais");
        m_p += m_headLen;
        m_levels.append(Level{m_indefinite ? 0 : (m_type == Map ? 2 * m_value : m_value), m_indefinite});
        preparse();
    }

    void leaveContainer()
    {
        if (m_levels.isEmpty() || m_type != End)
            malformed("fim de lista fora do lugar");
        if (m_levels.last().indefinite)
            ++m_p;   // the break
        m_levels.removeLast();
        itemDone();
    }

    // Hands the UTF-8 bytes of the current text string to `use`, then moves past it.
    template <class Use>
    void text(Use &&use)
    {
        if (m_type != Text)
            malformed("não é um texto");
        QByteArrayView out;
        if (!m_indefinite) {
            const quint64 n = m_value;
            if (n > quint64(std::numeric_limits<qsizetype>::max() / 2))
                malformed("texto grande demais");
            need(m_headLen + qsizetype(n));
            out = QByteArrayView(m_p + m_headLen, qsizetype(n));
            m_p += m_headLen + qsizetype(n);
        } else {
            m_p += m_headLen;
            m_scratch.clear();
            for (;;) {
                need(1);
                if (*m_p == 0xff) {
                    ++m_p;
                    break;
                }
                qsizetype h;
                const quint64 n = head(h);
                if ((*m_p >> 5) != 3 || (*m_p & 0x1f) == 31)
                    malformed("pedaço de texto inválido");
                if (n > quint64(std::numeric_limits<qsizetype>::max() / 2))
                    malformed("texto grande demais");
                need(h + qsizetype(n));
                m_scratch.insert(m_scratch.end(), m_p + h, m_p + h + n);
                m_p += h + qsizetype(n);
            }
            out = QByteArrayView(reinterpret_cast<const char *>(m_scratch.data()),
                                 qsizetype(m_scratch.size()));
        }
        // Used before the next element is looked at: that may move the buffer.
        use(out);
        itemDone();
    }

    // Whole text, validated as UTF-8; false when it is not valid.
    bool readText(QString &out)
    {
        bool ok = true;
        text([&](QByteArrayView u) {
            out.resize(u.size());
            QChar *end = m_utf8.appendToBuffer(out.data(), u);
            out.truncate(end - out.constData());
            ok = !m_utf8.hasError();
        });
        return ok;
    }

    // Nothing left after the top-level value.
    bool atEnd() { return m_levels.isEmpty() && !has(1); }
    // How many items a declared length can plausibly hold, to bound what is reserved.
    qsizetype reserveLimit() const { return m_knownSize >= 0 ? m_knownSize : qsizetype(1) << 16; }

private:
    enum Type { End, Unsigned, Negative, Bytes, Text, Array, Map, Tag, Simple, Bool, Null,
                Undefined, Half, Float, Double };
    struct Level {
        quint64 remaining;
        bool indefinite;
    };
    static constexpr qsizetype kBlock = 256 * 1024;

    [[noreturn]] static void malformed(const char *what)
    {
        throw PacketError(QStringLiteral("Pacote de dados inválido: CBOR mal formado (%1).")
                              .arg(QString::fromUtf8(what)));
    }

    bool has(qsizetype n) { return m_end - m_p >= n || fill(n); }
    void need(qsizetype n)
    {
        if (!has(n))
            malformed("dados truncados");
    }

    // Slow path of has(): moves what is left to the front and reads until n bytes are
    // there. The buffer grows only with bytes that really arrived, whatever length the
    // input declares.
    bool fill(qsizetype n)
    {
        if (!m_src || m_eof)
            return false;
        qsizetype avail = m_end - m_p;
        if (m_p != m_buf.data() && avail > 0)
            std::memmove(m_buf.data(), m_p, size_t(avail));
        m_p = m_buf.data();
        m_end = m_p + avail;
        while (avail < n) {
            if (avail == qsizetype(m_buf.size())) {
                const qsizetype grown = std::min<qsizetype>(n, avail + 4 * kBlock);
                m_buf.resize(size_t(std::max<qsizetype>(grown, qsizetype(m_buf.size()))));
                m_p = m_buf.data();
                m_end = m_p + avail;
            }
            const qsizetype got = m_src->read(reinterpret_cast<char *>(m_buf.data()) + avail,
                                             qsizetype(m_buf.size()) - avail);
            if (got <= 0) {
                m_eof = true;
                return false;
            }
            avail += got;
            m_end = m_p + avail;
        }
        return true;
    }

    // The argument of the head at m_p (length, value); `len` gets the head's size.
    quint64 head(qsizetype &len)
    {
        const uchar info = *m_p & 0x1f;
        if (info < 24) {
            len = 1;
            return info;
        }
        if (info > 27)
            malformed(info == 31 ? "tamanho indefinido inesperado" : "cabeçalho reservado");
        const qsizetype bytes = qsizetype(1) << (info - 24);
        len = 1 + bytes;
        need(len);
        switch (bytes) {
        case 1: return m_p[1];
        case 2: return qFromBigEndian<quint16>(m_p + 1);
        case 4: return qFromBigEndian<quint32>(m_p + 1);
        default: return qFromBigEndian<quint64>(m_p + 1);
        }
    }

    // One item of the enclosing container is complete.
    void itemDone()
    {
        if (m_levels.isEmpty())
            m_topDone = true;
        else if (!m_levels.last().indefinite)
            --m_levels.last().remaining;
        preparse();
    }

    void preparse()
    {
        m_type = End;
        m_indefinite = false;
        if (m_levels.isEmpty()) {
            if (m_topDone)
                return;
        } else if (!m_levels.last().indefinite && m_levels.last().remaining == 0) {
            return;
        }
        need(1);
        const uchar b = *m_p;
        if (b == 0xff) {
            if (m_levels.isEmpty() || !m_levels.last().indefinite)
                malformed("fim de lista fora do lugar");
            return;
        }
        const uchar major = b >> 5;
        const uchar info = b & 0x1f;
        if (info == 31) {
            if (major != 2 && major != 3 && major != 4 && major != 5)
                malformed("tamanho indefinido inesperado");
            m_indefinite = true;
            m_headLen = 1;
            m_value = 0;
        } else if (major != 7) {
            m_value = head(m_headLen);
        }
        switch (major) {
        case 0: m_type = Unsigned; break;
        case 1: m_type = Negative; break;
        case 2: m_type = Bytes; break;
        case 3: m_type = Text; break;
        case 4: m_type = Array; break;
        case 5: m_type = Map; break;
        case 6: m_type = Tag; break;
        default: simple(info); break;
        }
    }

    void simple(uchar info)
    {
        m_headLen = 1;
        switch (info) {
        case 20: m_type = Bool; m_value = 0; return;
        case 21: m_type = Bool; m_value = 1; return;
        case 22: m_type = Null; return;
        case 23: m_type = Undefined; return;
        case 24:
            need(2);
            if (m_p[1] < 32)
                malformed("valor simples inválido");
            m_headLen = 2;
            m_type = Simple;
            return;
        case 25: need(3); m_headLen = 3; m_type = Half; m_value = qFromBigEndian<quint16>(m_p + 1); return;
        case 26: need(5); m_headLen = 5; m_type = Float; m_value = qFromBigEndian<quint32>(m_p + 1); return;
        case 27: need(9); m_headLen = 9; m_type = Double; m_value = qFromBigEndian<quint64>(m_p + 1); return;
        default:
            if (info < 20) {
                m_type = Simple;
                return;
            }
            malformed("valor simples reservado");
        }
    }

    const uchar *m_p = nullptr;
    const uchar *m_end = nullptr;
    qsizetype m_knownSize = -1;
    ByteSource *m_src = nullptr;
    std::vector<uchar> m_buf;
    bool m_eof = false;

    Type m_type = End;
    bool m_indefinite = false;
    quint64 m_value = 0;
    qsizetype m_headLen = 0;
    bool m_topDone = false;
    QVarLengthArray<Level, 8> m_levels;
    std::vector<uchar> m_scratch;
    // ConvertInitialBom: a text opening with U+FEFF keeps it (the default drops it as a byte-order mark).
    QStringDecoder m_utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom};
};

} // namespace fiscal::dataset::detail
