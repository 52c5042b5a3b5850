#include "dataset/row.h"

#include "dataset/rowbuilder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace fiscal::dataset {
namespace detail {

RowBlock *RowBlock::create(qsizetype capacity)
{
    void *p = ::operator new(sizeof(RowBlock) + size_t(capacity));
    auto *b = new (p) RowBlock;
    b->refs.store(1, std::memory_order_relaxed);
    b->capacity = capacity;
    b->used = 0;
    return b;
}

void RowBlock::retain(RowBlock *b)
{
    if (b)
        b->refs.fetch_add(1, std::memory_order_relaxed);
}

void RowBlock::release(RowBlock *b)
{
    if (b && b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        b->~RowBlock();
        ::operator delete(b);
    }
}

} // namespace detail

// ---- RowRef -------------------------------------------------------------------------------

QString RowRef::text(qsizetype i) const
{
    return view(i).toString();
}

std::optional<QString> RowRef::value(qsizetype i) const
{
    if (isNull(i))
        return std::nullopt;
    return view(i).toString();
}

qsizetype RowRef::byteSize() const
{
    if (!b_)
        return 0;
    const qsizetype w = size();
    qsizetype chars = 0;
    for (qsizetype i = 0; i < w; ++i)
        chars += length(i);
    const qsizetype bytes = textOffset() + chars * (isLatin1() ? 1 : 2);
    return (bytes + 1) & ~qsizetype(1);
}

bool operator==(RowRef a, RowRef b)
{
    if (a.size() != b.size())
        return false;
    if (a.size() == 0)
        return true;
    const qsizetype n = a.byteSize();
    return n == b.byteSize() && std::memcmp(a.b_, b.b_, size_t(n)) == 0;
}

// ---- Row ----------------------------------------------------------------------------------

Row::Row(detail::RowBlock *block, const char *blob) : block_(block), blob_(blob) {}

Row::Row(qsizetype width)
{
    if (width <= 0)
        return;
    if (width > RowBuilder::MaxWidth)
        throw std::length_error("row too wide");
    RowBuilder b;
    for (qsizetype i = 0; i < width; ++i)
        b.appendNull();
    *this = b.finish();
}

namespace {

template <class Values>
Row rowOf(const Values &values)
{
    RowBuilder b;
    for (const auto &v : values) {
        if (v)
            b.append(QStringView(*v));
        else
            b.appendNull();
    }
    return b.finish();
}

} // namespace

Row::Row(std::initializer_list<std::optional<QString>> values) : Row(rowOf(values)) {}

Row Row::fromValues(const QList<std::optional<QString>> &values)
{
    return rowOf(values);
}

Row Row::copyOf(RowRef ref)
{
    if (!ref.data())
        return Row();
    const qsizetype n = ref.byteSize();
    detail::RowBlock *block = detail::RowBlock::create(n);
    std::memcpy(block->bytes(), ref.data(), size_t(n));
    block->used = n;
    return Row(block, block->bytes());
}

Row::Row(const Row &other) : block_(other.block_), blob_(other.blob_)
{
    detail::RowBlock::retain(block_);
}

Row::Row(Row &&other) noexcept : block_(other.block_), blob_(other.blob_)
{
    other.block_ = nullptr;
    other.blob_ = nullptr;
}

Row &Row::operator=(const Row &other)
{
    if (this != &other) {
        detail::RowBlock::retain(other.block_);
        detail::RowBlock::release(block_);
        block_ = other.block_;
        blob_ = other.blob_;
    }
    return *this;
}

Row &Row::operator=(Row &&other) noexcept
{
    if (this != &other) {
        detail::RowBlock::release(block_);
        block_ = other.block_;
        blob_ = other.blob_;
        other.block_ = nullptr;
        other.blob_ = nullptr;
    }
    return *this;
}

Row::~Row()
{
    detail::RowBlock::release(block_);
}

QList<std::optional<QString>> Row::values() const
{
    QList<std::optional<QString>> out;
    out.reserve(size());
    for (qsizetype i = 0; i < size(); ++i)
        out.append(value(i));
    return out;
}

// Rows are small: a change builds the block again, which also keeps the encoding canonical
// (a row loses its UTF-16 form with the last character that needed it).
void Row::replace(qsizetype i, QStringView text, bool null)
{
    const RowRef old = ref();
    RowBuilder b;
    const qsizetype width = std::max(old.size(), i + 1);   // i == size() appends
    for (qsizetype k = 0; k < width; ++k) {
        if (k == i) {
            if (null)
                b.appendNull();
            else
                b.append(text);
        } else if (old.isNull(k)) {
            b.appendNull();
        } else {
            b.append(old.view(k));
        }
    }
    *this = b.finish();
}

void Row::set(qsizetype i, QStringView text) { replace(i, text, false); }

void Row::set(qsizetype i, const std::optional<QString> &v)
{
    if (v)
        replace(i, *v, false);
    else
        replace(i, QStringView(), true);
}

void Row::setNull(qsizetype i) { replace(i, QStringView(), true); }

void Row::append(QStringView text) { replace(size(), text, false); }
void Row::appendNull() { replace(size(), QStringView(), true); }

// ---- RowBuilder ---------------------------------------------------------------------------

void RowBuilder::start()
{
    utf16_ = false;
    long_ = false;
    l1_.clear();
    u16_.clear();
    lens_.clear();
    lastLength_ = 0;
}

void RowBuilder::push(qsizetype len, bool null)
{
    if (lens_.size() >= MaxWidth)
        throw std::length_error("row too wide");
    lens_.append(quint32((len << 1) | (null ? 1 : 0)));
    if (len >= RowRef::NullLength)
        long_ = true;
    lastLength_ = len;
}

void RowBuilder::appendNull() { push(0, true); }

void RowBuilder::toUtf16()
{
    if (utf16_)
        return;
    u16_.clear();
    char16_t *out = u16_.room(l1_.size());
    for (qsizetype i = 0; i < l1_.size(); ++i)
        out[i] = char16_t(quint8(l1_.data()[i]));
    u16_.added(l1_.size());
    l1_.clear();
    utf16_ = true;
}

void RowBuilder::appendLatin1(const char *text, qsizetype n)
{
    if (utf16_) {
        char16_t *out = u16_.room(n);
        for (qsizetype i = 0; i < n; ++i)
            out[i] = char16_t(quint8(text[i]));
        u16_.added(n);
    } else {
        l1_.append(text, n);
    }
    push(n, false);
}

void RowBuilder::append(QStringView text)
{
    if (!utf16_) {
        bool wide = false;
        for (QChar c : text) {
            if (c.unicode() > 0xff) {
                wide = true;
                break;
            }
        }
        if (!wide) {
            char *out = l1_.room(text.size());
            for (qsizetype i = 0; i < text.size(); ++i)
                out[i] = char(text[i].unicode());
            l1_.added(text.size());
            push(text.size(), false);
            return;
        }
        toUtf16();
    }
    u16_.append(reinterpret_cast<const char16_t *>(text.utf16()), text.size());
    push(text.size(), false);
}

void RowBuilder::append(QAnyStringView text)
{
    text.visit([this](auto s) {
        using S = decltype(s);
        if constexpr (std::is_same_v<S, QLatin1StringView>)
            appendLatin1(s.data(), s.size());
        else if constexpr (std::is_same_v<S, QStringView>)
            append(s);
        else
            append(QStringView(s.toString()));
    });
}

// Text as it arrives in packets: ASCII and the two-byte forms of U+0080..U+00FF go straight
// into the Latin-1 text; anything else goes through Qt's decoder, which also judges validity.
bool RowBuilder::appendUtf8(QByteArrayView utf8)
{
    const auto *p = reinterpret_cast<const quint8 *>(utf8.data());
    const qsizetype n = utf8.size();
    if (!utf16_) {
        char *const start = l1_.room(n);
        char *out = start;
        qsizetype i = 0;
        bool plain = true;
        while (i < n) {
            // Eight ASCII bytes at a time: the usual case.
            if (i + 8 <= n) {
                quint64 word;
                std::memcpy(&word, p + i, 8);
                if (!(word & 0x8080808080808080ull)) {
                    std::memcpy(out, p + i, 8);
                    out += 8;
                    i += 8;
                    continue;
                }
            }
            const quint8 c = p[i];
            if (c < 0x80) {
                *out++ = char(c);
                ++i;
            } else if ((c == 0xc2 || c == 0xc3) && i + 1 < n && (p[i + 1] & 0xc0) == 0x80) {
                *out++ = char(((c & 0x1f) << 6) | (p[i + 1] & 0x3f));
                i += 2;
            } else {
                plain = false;
                break;
            }
        }
        if (plain) {
            l1_.added(out - start);
            push(out - start, false);
            return true;
        }
    }
    scratch_.resize(size_t(n));
    QChar *begin = reinterpret_cast<QChar *>(scratch_.data());
    QChar *end = utf8_.appendToBuffer(begin, utf8);
    if (utf8_.hasError()) {
        utf8_.resetState();
        return false;
    }
    append(QStringView(begin, end - begin));
    return true;
}

qsizetype RowBuilder::blockSize() const
{
    if (textLength() > MaxText)
        throw std::length_error("row too large");
    qsizetype off = 2 + lens_.size() * (long_ ? 4 : 1);
    if (utf16_ && (off & 1))
        ++off;
    const qsizetype bytes = off + (utf16_ ? 2 * u16_.size() : l1_.size());
    return (bytes + 1) & ~qsizetype(1);
}

void RowBuilder::write(char *out) const
{
    const qsizetype w = lens_.size();
    const quint16 head = quint16(w) | (long_ ? RowRef::LongFlag : 0) | (utf16_ ? RowRef::Utf16Flag : 0);
    char *p = out;
    std::memcpy(p, &head, 2);
    p += 2;
    for (quint32 e : lens_) {
        if (long_) {
            std::memcpy(p, &e, 4);
            p += 4;
        } else {
            *p++ = char((e & 1) ? RowRef::NullLength : quint8(e >> 1));
        }
    }
    if (utf16_) {
        if ((p - out) & 1)
            *p++ = 0;
        const size_t bytes = size_t(u16_.size()) * 2;
        if (bytes)
            std::memcpy(p, u16_.data(), bytes);
        p += bytes;
    } else {
        if (l1_.size())
            std::memcpy(p, l1_.data(), size_t(l1_.size()));
        p += l1_.size();
    }
    if ((p - out) & 1)
        *p = 0;
}

Row RowBuilder::finish() const
{
    if (lens_.isEmpty())
        return Row();
    const qsizetype n = blockSize();
    detail::RowBlock *block = detail::RowBlock::create(n);
    write(block->bytes());
    block->used = n;
    return Row(block, block->bytes());
}

void RowBuilder::finishInto(RowTable &table) const
{
    write(table.appendBlock(blockSize()));
}

} // namespace fiscal::dataset
