#pragma once
// Writers of a reply body that may be sent while it is being written: CBOR encoded by hand
// straight into the body (the same bytes QCborStreamWriter gives, without a QIODevice per
// value), JSON through the data-set library's writer. After every value the body is offered
// to `spill`, which may send what is there and empty it.

#include "dataset/valuewriter.h"

#include <QByteArray>
#include <QtEndian>
#include <functional>
#include <memory>

namespace fiscal::rpc::detail {

class ReplyWriter : public dataset::ValueWriter {
public:
    // Called with the body whenever it has reached `threshold` bytes.
    using Spill = std::function<void(QByteArray &body)>;
    ReplyWriter(QByteArray &out, qsizetype threshold, Spill spill)
        : m_out(out), m_threshold(threshold), m_spill(std::move(spill)) {}

protected:
    void offer()
    {
        if (m_out.size() >= m_threshold && m_spill)
            m_spill(m_out);
    }
    QByteArray &m_out;

private:
    qsizetype m_threshold;
    Spill m_spill;
};

class CborReplyWriter final : public ReplyWriter {
public:
    using ReplyWriter::ReplyWriter;
    void startArray() override { byte(0x9f); }
    void endArray() override { byte(0xff); }
    void startMap() override { byte(0xbf); }
    void endMap() override { byte(0xff); }
    void key(std::string_view utf8) override { string(utf8); }
    void string(std::string_view utf8) override
    {
        head(3, utf8.size());
        m_out.append(utf8.data(), qsizetype(utf8.size()));
        offer();
    }
    void null() override { byte(0xf6); }
    void integer(std::int64_t v) override
    {
        if (v >= 0)
            head(0, quint64(v));
        else
            head(1, quint64(-1 - v));
        offer();
    }
    void boolean(bool v) override { byte(v ? 0xf5 : 0xf4); }

private:
    void byte(uchar b)
    {
        m_out.append(char(b));
        offer();
    }
    // The shortest head for the argument, as RFC 8949's preferred serialisation.
    void head(uchar major, quint64 arg)
    {
        char h[9];
        qsizetype n;
        const uchar m = uchar(major << 5);
        if (arg < 24) {
            h[0] = char(m | arg);
            n = 1;
        } else if (arg <= 0xff) {
            h[0] = char(m | 24);
            h[1] = char(arg);
            n = 2;
        } else if (arg <= 0xffff) {
            h[0] = char(m | 25);
            qToBigEndian(quint16(arg), h + 1);
            n = 3;
        } else if (arg <= 0xffffffffu) {
            h[0] = char(m | 26);
            qToBigEndian(quint32(arg), h + 1);
            n = 5;
        } else {
            h[0] = char(m | 27);
            qToBigEndian(arg, h + 1);
            n = 9;
        }
        m_out.append(h, n);
    }
};

// JSON keeps the data-set library's writer, which only ever appends to the body.
class JsonReplyWriter final : public ReplyWriter {
public:
    JsonReplyWriter(QByteArray &out, qsizetype threshold, Spill spill)
        : ReplyWriter(out, threshold, std::move(spill)),
          m_inner(dataset::makeWriter(dataset::Encoding::Json, out)) {}
    void startArray() override { m_inner->startArray(); offer(); }
    void endArray() override { m_inner->endArray(); offer(); }
    void startMap() override { m_inner->startMap(); offer(); }
    void endMap() override { m_inner->endMap(); offer(); }
    void key(std::string_view utf8) override { m_inner->key(utf8); offer(); }
    void string(std::string_view utf8) override { m_inner->string(utf8); offer(); }
    void null() override { m_inner->null(); offer(); }
    void integer(std::int64_t v) override { m_inner->integer(v); offer(); }
    void boolean(bool v) override { m_inner->boolean(v); offer(); }

private:
    std::unique_ptr<dataset::ValueWriter> m_inner;
};

inline std::unique_ptr<ReplyWriter> makeReplyWriter(dataset::Encoding enc, QByteArray &out,
                                                    qsizetype threshold, ReplyWriter::Spill spill)
{
    if (enc == dataset::Encoding::Cbor)
        return std::make_unique<CborReplyWriter>(out, threshold, std::move(spill));
    return std::make_unique<JsonReplyWriter>(out, threshold, std::move(spill));
}

} // namespace fiscal::rpc::detail
