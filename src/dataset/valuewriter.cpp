#include "dataset/valuewriter.h"

#include <QList>

namespace fiscal::dataset {
namespace {

// CBOR by hand too: each value goes straight onto the end of the bytes (the item heads of
// RFC 8949, containers of indefinite length, as QCborStreamWriter writes them) without a
// device in between; the server writes 600,000 rows this way.
class CborWriter final : public ValueWriter {
public:
    explicit CborWriter(QByteArray &out) : out_(out) {}
    void startArray() override { out_.append(char(0x9f)); }
    void endArray() override { out_.append(char(0xff)); }
    void startMap() override { out_.append(char(0xbf)); }
    void endMap() override { out_.append(char(0xff)); }
    void key(std::string_view utf8) override { string(utf8); }
    void string(std::string_view utf8) override
    {
        head(3, utf8.size());
        out_.append(utf8.data(), qsizetype(utf8.size()));
    }
    void null() override { out_.append(char(0xf6)); }
    void integer(std::int64_t v) override
    {
        if (v >= 0)
            head(0, quint64(v));
        else
            head(1, quint64(-1 - v));
    }
    void boolean(bool v) override { out_.append(char(v ? 0xf5 : 0xf4)); }

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
        out_.append(buf, n);
    }

    QByteArray &out_;
};

// JSON by hand: QJsonDocument would need the whole tree in memory.
class JsonWriter final : public ValueWriter {
public:
    explicit JsonWriter(QByteArray &out) : out_(out) {}
    void startArray() override { open('['); }
    void endArray() override { close(']'); }
    void startMap() override { open('{'); }
    void endMap() override { close('}'); }
    void key(std::string_view utf8) override
    {
        separate();
        quoted(utf8);
        out_.append(':');
        afterKey_ = true;
    }
    void string(std::string_view utf8) override
    {
        separate();
        quoted(utf8);
    }
    void null() override
    {
        separate();
        out_.append("null", 4);
    }
    void integer(std::int64_t v) override
    {
        separate();
        out_.append(QByteArray::number(qlonglong(v)));
    }
    void boolean(bool v) override
    {
        separate();
        if (v)
            out_.append("true", 4);
        else
            out_.append("false", 5);
    }

private:
    // A value inside a container is preceded by a comma unless it is the first one
    // or the value of a key just written.
    void separate()
    {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (!first_.isEmpty()) {
            if (first_.last())
                first_.last() = false;
            else
                out_.append(',');
        }
    }
    void open(char c)
    {
        separate();
        out_.append(c);
        first_.append(true);
    }
    void close(char c)
    {
        if (!first_.isEmpty())
            first_.removeLast();
        out_.append(c);
    }
    void quoted(std::string_view s)
    {
        static const char hex[] = "0123456789abcdef";
        out_.append('"');
        const char *run = s.data();
        const char *end = s.data() + s.size();
        for (const char *p = run; p != end; ++p) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c != '"' && c != '\\')
                continue;
            out_.append(run, p - run);
            run = p + 1;
            switch (c) {
            case '"': out_.append("\\\"", 2); break;
            case '\\': out_.append("\\\\", 2); break;
            case '\n': out_.append("\\n", 2); break;
            case '\r': out_.append("\\r", 2); break;
            case '\t': out_.append("\\t", 2); break;
            case '\b': out_.append("\\b", 2); break;
            case '\f': out_.append("\\f", 2); break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
                out_.append(esc, 6);
            }
            }
        }
        out_.append(run, end - run);
        out_.append('"');
    }

    QByteArray &out_;
    QList<bool> first_;
    bool afterKey_ = false;
};

} // namespace

std::unique_ptr<ValueWriter> makeWriter(Encoding enc, QByteArray &out)
{
    if (enc == Encoding::Cbor)
        return std::make_unique<CborWriter>(out);
    return std::make_unique<JsonWriter>(out);
}

} // namespace fiscal::dataset
