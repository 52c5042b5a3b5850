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
    if (!m_b)
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
    return n == b.byteSize() && std::memcmp(a.m_b, b.m_b, size_t(n)) == 0;
}

// ---- Row ----------------------------------------------------------------------------------

Row::Row(detail::RowBlock *block, const char *blob) : m_block(block), m_blob(blob) {}

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

Row::Row(const Row &other) : m_block(other.m_block), m_blob(other.m_blob)
{
    detail::RowBlock::retain(m_block);
}

Row::Row(Row &&other) noexcept : m_block(other.m_block), m_blob(other.m_blob)
{
    other.m_block = nullptr;
    other.m_blob = nullptr;
}

Row &Row::operator=(const Row &other)
{
    if (this != &other) {
        detail::RowBlock::retain(other.m_block);
        detail::RowBlock::release(m_block);
        m_block = other.m_block;
        m_blob = other.m_blob;
    }
    return *this;
}

Row &Row::operator=(Row &&other) noexcept
{
    if (this != &other) {
        detail::RowBlock::release(m_block);
        m_block = other.m_block;
        m_blob = other.m_blob;
        other.m_block = nullptr;
        other.m_blob = nullptr;
    }
    return *this;
}

Row::~Row()
{
    detail::RowBlock::release(m_block);
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
    m_utf16 = false;
    m_long = false;
    m_l1.clear();
    m_u16.clear();
    m_lens.clear();
    m_lastLength = 0;
}

void RowBuilder::push(qsizetype len, bool null)
{
    if (m_lens.size() >= MaxWidth)
        throw std::length_error("row too wide");
    m_lens.append(quint32((len << 1) | (null ? 1 : 0)));
    if (len >= RowRef::NullLength)
        m_long = true;
    m_lastLength = len;
}

void RowBuilder::appendNull() { push(0, true); }

qsizetype RowBuilder::lastCharacters() const
{
    if (!m_utf16)
        return m_lastLength;
    const char16_t *end = m_u16.data() + m_u16.size();
    return m_lastLength - std::count_if(end - m_lastLength, end, [](char16_t c) { return QChar::isLowSurrogate(c); });
}

void RowBuilder::toUtf16()
{
    if (m_utf16)
        return;
    m_u16.clear();
    char16_t *out = m_u16.room(m_l1.size());
    for (qsizetype i = 0; i < m_l1.size(); ++i)
        out[i] = char16_t(quint8(m_l1.data()[i]));
    m_u16.added(m_l1.size());
    m_l1.clear();
    m_utf16 = true;
}

void RowBuilder::appendLatin1(const char *text, qsizetype n)
{
    if (m_utf16) {
        char16_t *out = m_u16.room(n);
        for (qsizetype i = 0; i < n; ++i)
            out[i] = char16_t(quint8(text[i]));
        m_u16.added(n);
    } else {
        m_l1.append(text, n);
    }
    push(n, false);
}

void RowBuilder::append(QStringView text)
{
    if (!m_utf16) {
        bool wide = false;
        for (QChar c : text) {
            if (c.unicode() > 0xff) {
                wide = true;
                break;
            }
        }
        if (!wide) {
            char *out = m_l1.room(text.size());
            for (qsizetype i = 0; i < text.size(); ++i)
                out[i] = char(text[i].unicode());
            m_l1.added(text.size());
            push(text.size(), false);
            return;
        }
        toUtf16();
    }
    m_u16.append(reinterpret_cast<const char16_t *>(text.utf16()), text.size());
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
    if (!m_utf16) {
        char *const start = m_l1.room(n);
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
            m_l1.added(out - start);
            push(out - start, false);
            return true;
        }
    }
    m_scratch.resize(size_t(n));
    QChar *begin = reinterpret_cast<QChar *>(m_scratch.data());
    QChar *end = m_utf8.appendToBuffer(begin, utf8);
    if (m_utf8.hasError()) {
        m_utf8.resetState();
        return false;
    }
    append(QStringView(begin, end - begin));
    return true;
}

qsizetype RowBuilder::blockSize() const
{
    if (textLength() > MaxText)
        throw std::length_error("row too large");
    qsizetype off = 2 + m_lens.size() * (m_long ? 4 : 1);
    if (m_utf16 && (off & 1))
        ++off;
    const qsizetype bytes = off + (m_utf16 ? 2 * m_u16.size() : m_l1.size());
    return (bytes + 1) & ~qsizetype(1);
}

void RowBuilder::write(char *out) const
{
    const qsizetype w = m_lens.size();
    const quint16 head = quint16(w) | (m_long ? RowRef::LongFlag : 0) | (m_utf16 ? RowRef::Utf16Flag : 0);
    char *p = out;
    std::memcpy(p, &head, 2);
    p += 2;
    for (quint32 e : m_lens) {
        if (m_long) {
            std::memcpy(p, &e, 4);
            p += 4;
        } else {
            *p++ = char((e & 1) ? RowRef::NullLength : quint8(e >> 1));
        }
    }
    if (m_utf16) {
        if ((p - out) & 1)
            *p++ = 0;
        const size_t bytes = size_t(m_u16.size()) * 2;
        if (bytes)
            std::memcpy(p, m_u16.data(), bytes);
        p += bytes;
    } else {
        if (m_l1.size())
            std::memcpy(p, m_l1.data(), size_t(m_l1.size()));
        p += m_l1.size();
    }
    if ((p - out) & 1)
        *p = 0;
}

Row RowBuilder::finish() const
{
    if (m_lens.isEmpty())
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
