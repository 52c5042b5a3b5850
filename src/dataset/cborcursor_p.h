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
        : p_(reinterpret_cast<const uchar *>(whole.data())), end_(p_ + whole.size()),
          knownSize_(whole.size())
    {
        preparse();
    }
    explicit CborCursor(ByteSource &source) : src_(&source)
    {
        buf_.resize(kBlock);
        p_ = end_ = buf_.data();
        preparse();
    }

    QCborError lastError() const { return {}; }   // failures throw instead

    bool isMap() const { return type_ == Map; }
    bool isArray() const { return type_ == Array; }
    bool isString() const { return type_ == Text; }
    bool isNull() const { return type_ == Null; }
    bool isBool() const { return type_ == Bool; }
    bool isUnsignedInteger() const { return type_ == Unsigned; }
    bool isNegativeInteger() const { return type_ == Negative; }
    bool isDouble() const { return type_ == Double; }
    bool isFloat() const { return type_ == Float; }
    bool isFloat16() const { return type_ == Half; }
    bool toBool() const { return value_ != 0; }
    quint64 toUnsignedInteger() const { return value_; }
    bool isLengthKnown() const { return !indefinite_; }
    quint64 length() const { return value_; }
    double toDouble() const { double d; std::memcpy(&d, &value_, sizeof d); return d; }
    float toFloat() const
    {
        const quint32 bits = quint32(value_);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    qfloat16 toFloat16() const
    {
        const quint16 bits = quint16(value_);
        qfloat16 h;
        std::memcpy(static_cast<void *>(&h), &bits, sizeof h);
        return h;
    }

    bool hasNext() const { return type_ != End; }

    // Past a scalar (containers and strings are not skipped by the decoder).
    void next()
    {
        if (type_ == End || type_ == Array || type_ == Map || type_ == Text || type_ == Bytes)
            malformed("elemento inesperado");
        p_ += headLen_;
        itemDone();
    }

    void enterContainer()
    {
        if (type_ != Array && type_ != Map)
            malformed("não é uma lista nem um mapa");
        if (!indefinite_ && type_ == Map && value_ > (quint64(1) << 62))
            malformed("mapa grande demais");
        p_ += headLen_;
        levels_.append(Level{indefinite_ ? 0 : (type_ == Map ? 2 * value_ : value_), indefinite_});
        preparse();
    }

    void leaveContainer()
    {
        if (levels_.isEmpty() || type_ != End)
            malformed("fim de lista fora do lugar");
        if (levels_.last().indefinite)
            ++p_;   // the break
        levels_.removeLast();
        itemDone();
    }

    // Hands the UTF-8 bytes of the current text string to `use`, then moves past it.
    template <class Use>
    void text(Use &&use)
    {
        if (type_ != Text)
            malformed("não é um texto");
        QByteArrayView out;
        if (!indefinite_) {
            const quint64 n = value_;
            if (n > quint64(std::numeric_limits<qsizetype>::max() / 2))
                malformed("texto grande demais");
            need(headLen_ + qsizetype(n));
            out = QByteArrayView(p_ + headLen_, qsizetype(n));
            p_ += headLen_ + qsizetype(n);
        } else {
            p_ += headLen_;
            scratch_.clear();
            for (;;) {
                need(1);
                if (*p_ == 0xff) {
                    ++p_;
                    break;
                }
                qsizetype h;
                const quint64 n = head(h);
                if ((*p_ >> 5) != 3 || (*p_ & 0x1f) == 31)
                    malformed("pedaço de texto inválido");
                if (n > quint64(std::numeric_limits<qsizetype>::max() / 2))
                    malformed("texto grande demais");
                need(h + qsizetype(n));
                scratch_.insert(scratch_.end(), p_ + h, p_ + h + n);
                p_ += h + qsizetype(n);
            }
            out = QByteArrayView(reinterpret_cast<const char *>(scratch_.data()),
                                 qsizetype(scratch_.size()));
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
            QChar *end = utf8_.appendToBuffer(out.data(), u);
            out.truncate(end - out.constData());
            ok = !utf8_.hasError();
        });
        return ok;
    }

    // Nothing left after the top-level value.
    bool atEnd() { return levels_.isEmpty() && !has(1); }
    // How many items a declared length can plausibly hold, to bound what is reserved.
    qsizetype reserveLimit() const { return knownSize_ >= 0 ? knownSize_ : qsizetype(1) << 16; }

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

    bool has(qsizetype n) { return end_ - p_ >= n || fill(n); }
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
        if (!src_ || eof_)
            return false;
        qsizetype avail = end_ - p_;
        if (p_ != buf_.data() && avail > 0)
            std::memmove(buf_.data(), p_, size_t(avail));
        p_ = buf_.data();
        end_ = p_ + avail;
        while (avail < n) {
            if (avail == qsizetype(buf_.size())) {
                const qsizetype grown = std::min<qsizetype>(n, avail + 4 * kBlock);
                buf_.resize(size_t(std::max<qsizetype>(grown, qsizetype(buf_.size()))));
                p_ = buf_.data();
                end_ = p_ + avail;
            }
            const qsizetype got = src_->read(reinterpret_cast<char *>(buf_.data()) + avail,
                                             qsizetype(buf_.size()) - avail);
            if (got <= 0) {
                eof_ = true;
                return false;
            }
            avail += got;
            end_ = p_ + avail;
        }
        return true;
    }

    // The argument of the head at p_ (length, value); `len` gets the head's size.
    quint64 head(qsizetype &len)
    {
        const uchar info = *p_ & 0x1f;
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
        case 1: return p_[1];
        case 2: return qFromBigEndian<quint16>(p_ + 1);
        case 4: return qFromBigEndian<quint32>(p_ + 1);
        default: return qFromBigEndian<quint64>(p_ + 1);
        }
    }

    // One item of the enclosing container is complete.
    void itemDone()
    {
        if (levels_.isEmpty())
            topDone_ = true;
        else if (!levels_.last().indefinite)
            --levels_.last().remaining;
        preparse();
    }

    void preparse()
    {
        type_ = End;
        indefinite_ = false;
        if (levels_.isEmpty()) {
            if (topDone_)
                return;
        } else if (!levels_.last().indefinite && levels_.last().remaining == 0) {
            return;
        }
        need(1);
        const uchar b = *p_;
        if (b == 0xff) {
            if (levels_.isEmpty() || !levels_.last().indefinite)
                malformed("fim de lista fora do lugar");
            return;
        }
        const uchar major = b >> 5;
        const uchar info = b & 0x1f;
        if (info == 31) {
            if (major != 2 && major != 3 && major != 4 && major != 5)
                malformed("tamanho indefinido inesperado");
            indefinite_ = true;
            headLen_ = 1;
            value_ = 0;
        } else if (major != 7) {
            value_ = head(headLen_);
        }
        switch (major) {
        case 0: type_ = Unsigned; break;
        case 1: type_ = Negative; break;
        case 2: type_ = Bytes; break;
        case 3: type_ = Text; break;
        case 4: type_ = Array; break;
        case 5: type_ = Map; break;
        case 6: type_ = Tag; break;
        default: simple(info); break;
        }
    }

    void simple(uchar info)
    {
        headLen_ = 1;
        switch (info) {
        case 20: type_ = Bool; value_ = 0; return;
        case 21: type_ = Bool; value_ = 1; return;
        case 22: type_ = Null; return;
        case 23: type_ = Undefined; return;
        case 24:
            need(2);
            if (p_[1] < 32)
                malformed("valor simples inválido");
            headLen_ = 2;
            type_ = Simple;
            return;
        case 25: need(3); headLen_ = 3; type_ = Half; value_ = qFromBigEndian<quint16>(p_ + 1); return;
        case 26: need(5); headLen_ = 5; type_ = Float; value_ = qFromBigEndian<quint32>(p_ + 1); return;
        case 27: need(9); headLen_ = 9; type_ = Double; value_ = qFromBigEndian<quint64>(p_ + 1); return;
        default:
            if (info < 20) {
                type_ = Simple;
                return;
            }
            malformed("valor simples reservado");
        }
    }

    const uchar *p_ = nullptr;
    const uchar *end_ = nullptr;
    qsizetype knownSize_ = -1;
    ByteSource *src_ = nullptr;
    std::vector<uchar> buf_;
    bool eof_ = false;

    Type type_ = End;
    bool indefinite_ = false;
    quint64 value_ = 0;
    qsizetype headLen_ = 0;
    bool topDone_ = false;
    QVarLengthArray<Level, 8> levels_;
    std::vector<uchar> scratch_;
    // ConvertInitialBom: a text opening with U+FEFF keeps it (the default drops it as a byte-order mark).
    QStringDecoder utf8_{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom};
};

} // namespace fiscal::dataset::detail
