#include "dataset/valuewriter.h"

#include <QList>

namespace fiscal::dataset {
namespace {

// CBOR by hand too: each value goes straight onto the end of the bytes (the item heads of
// RFC 8949, containers of indefinite length, as QCborStreamWriter writes them) without a
// device in between; the server writes 600,000 rows this way.
class CborWriter final : public ValueWriter {
public:
    explicit CborWriter(QByteArray &out) : m_out(out) {}
    void startArray() override { m_out.append(char(0x9f)); }
    void endArray() override { m_out.append(char(0xff)); }
    void startMap() override { m_out.append(char(0xbf)); }
    void endMap() override { m_out.append(char(0xff)); }
    void key(std::string_view utf8) override { string(utf8); }
    void string(std::string_view utf8) override
    {
        head(3, utf8.size());
        m_out.append(utf8.data(), qsizetype(utf8.size()));
    }
    void null() override { m_out.append(char(0xf6)); }
    void integer(std::int64_t v) override
    {
        if (v >= 0)
            head(0, quint64(v));
        else
            head(1, quint64(-1 - v));
    }
    void boolean(bool v) override { m_out.append(char(v ? 0xf5 : 0xf4)); }

private:
    void head(quint8 major, quint64 v)
    {
        char buf[9];
        qsizetype n = 1;
        const char type = char(major << 5);
        if (v < 24) {
            buf[0] = char(type | char(v));
        } else {
            int bytes = v <= 0xff ? 1 : v <= 0xffff ? 2 : v <= 0xffffffffull ? 4 : 8;
            buf[0] = char(type | char(bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27));
            for (int i = bytes; i > 0; --i, v >>= 8)
                buf[i] = char(v & 0xff);
            n = 1 + bytes;
        }
        m_out.append(buf, n);
    }

    QByteArray &m_out;
};

// JSON by hand: QJsonDocument would need the whole tree in memory.
class JsonWriter final : public ValueWriter {
public:
    explicit JsonWriter(QByteArray &out) : m_out(out) {}
    void startArray() override { open('['); }
    void endArray() override { close(']'); }
    void startMap() override { open('{'); }
    void endMap() override { close('}'); }
    void key(std::string_view utf8) override
    {
        separate();
        quoted(utf8);
        m_out.append(':');
        m_afterKey = true;
    }
    void string(std::string_view utf8) override
    {
        separate();
        quoted(utf8);
    }
    void null() override
    {
        separate();
        m_out.append("null", 4);
    }
    void integer(std::int64_t v) override
    {
        separate();
        m_out.append(QByteArray::number(qlonglong(v)));
    }
    void boolean(bool v) override
    {
        separate();
        if (v)
            m_out.append("true", 4);
        else
            m_out.append("false", 5);
    }

private:
    // A value inside a container is preceded by a comma unless it is the first one
    // or the value of a key just written.
    void separate()
    {
        if (m_afterKey) {
            m_afterKey = false;
            return;
        }
        if (!m_first.isEmpty()) {
            if (m_first.last())
                m_first.last() = false;
            else
                m_out.append(',');
        }
    }
    void open(char c)
    {
        separate();
        m_out.append(c);
        m_first.append(true);
    }
    void close(char c)
    {
        if (!m_first.isEmpty())
            m_first.removeLast();
        m_out.append(c);
    }
    void quoted(std::string_view s)
    {
        static const char hex[] = "0123456789abcdef";
        m_out.append('"');
        const char *run = s.data();
        const char *end = s.data() + s.size();
        for (const char *p = run; p != end; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c != '"' && c != '\\')
                continue;
            m_out.append(run, p - run);
            run = p + 1;
            switch (c) {
            case '"': m_out.append("\\\"", 2); break;
            case '\\': m_out.append("\\\\", 2); break;
            case '\n': m_out.append("\\n", 2); break;
            case '\r': m_out.append("\\r", 2); break;
            case '\t': m_out.append("\\t", 2); break;
            case '\b': m_out.append("\\b", 2); break;
            case '\f': m_out.append("\\f", 2); break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
                m_out.append(esc, 6);
            }
            }
        }
        m_out.append(run, end - run);
        m_out.append('"');
    }

    QByteArray &m_out;
    QList<bool> m_first;
    bool m_afterKey = false;
};

} // namespace

std::unique_ptr<ValueWriter> makeWriter(Encoding enc, QByteArray &out)
{
    if (enc == Encoding::Cbor)
        return std::make_unique<CborWriter>(out);
    return std::make_unique<JsonWriter>(out);
}

} // namespace fiscal::dataset
