#pragma once
// Row: the values of one record, each a string or null, in one compact block:
//
//   head (2 bytes)   value count, and two flags: long lengths, UTF-16 text
//   lengths          one byte per value (255 = null), or four when a value is 255 characters
//                    or longer ((length << 1) | null)
//   text             the values one after another: Latin-1, one byte per character, unless
//                    some value holds a character beyond Latin-1; then the whole row is UTF-16
//
// Every row has exactly one encoding, so equal rows are equal bytes. A Row shares the block
// it lives in: a block of its own, or a slice of a RowTable's storage, so taking a row out of
// a 500k-row packet copies nothing. At most 16383 values per row.
//
//   Row r{QStringLiteral("001"), std::nullopt};   r.size() == 2
//   r.isNull(1); r.view(0) == u"001"; r.value(1) == std::nullopt; r.text(1) == ""
//   r.set(1, u"x"); r.setNull(0); r.append(u"y"); r.appendNull();
//   r1 == r2 compares values and null-ness (null != "").
//
// RowRef reads a block in place without owning it (the data set's records, sorting and
// finding); it stays valid as long as whatever holds the block does.

#include <QAnyStringView>
#include <QList>
#include <QString>
#include <QStringView>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <type_traits>

namespace fiscal::dataset {

class RowTable;
class RowBuilder;

namespace detail {
// A reference-counted block of row bytes; a standalone row has one of its own, a RowTable
// fills blocks with many rows.
struct RowBlock {
    std::atomic<int> refs;
    qsizetype capacity;
    qsizetype used;
    char *bytes() { return reinterpret_cast<char *>(this + 1); }
    static RowBlock *create(qsizetype capacity);
    static void retain(RowBlock *b);
    static void release(RowBlock *b);
};
} // namespace detail

class RowRef {
public:
    RowRef() = default;
    explicit RowRef(const char *block) : m_b(block) {}

    const char *data() const { return m_b; }
    qsizetype size() const { return m_b ? head() & WidthMask : 0; }
    bool isNull(qsizetype i) const;
    qsizetype length(qsizetype i) const;              // UTF-16 units (Latin-1: characters); 0 for null
    bool isLatin1() const { return !(head() & Utf16Flag); }
    QAnyStringView view(qsizetype i) const;           // empty for null
    QString text(qsizetype i) const;                  // null -> ""
    std::optional<QString> value(qsizetype i) const;
    qsizetype byteSize() const;                       // the whole block, padded to even

    friend bool operator==(RowRef a, RowRef b);

    static constexpr quint16 WidthMask = 0x3fff;
    static constexpr quint16 LongFlag = 0x4000;
    static constexpr quint16 Utf16Flag = 0x8000;
    static constexpr quint8 NullLength = 255;

private:
    quint16 head() const
    {
        quint16 h;
        std::memcpy(&h, m_b, sizeof h);
        return h;
    }
    bool isLong() const { return head() & LongFlag; }
    static quint32 load32(const char *p)
    {
        quint32 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    // Where value i's text begins (in characters from the text start) and its length.
    void locate(qsizetype i, qsizetype &begin, qsizetype &len) const;
    qsizetype textOffset() const;   // bytes from the block start

    const char *m_b = nullptr;
};

// Reading runs for every cell painted, sorted or searched: kept inline.
inline qsizetype RowRef::textOffset() const
{
    const quint16 h = head();
    qsizetype off = 2 + (h & WidthMask) * ((h & LongFlag) ? 4 : 1);
    if ((h & Utf16Flag) && (off & 1))
        ++off;
    return off;
}

inline void RowRef::locate(qsizetype i, qsizetype &begin, qsizetype &len) const
{
    begin = 0;
    if (isLong()) {
        for (qsizetype j = 0; j < i; ++j)
            begin += qsizetype(load32(m_b + 2 + 4 * j) >> 1);
        len = qsizetype(load32(m_b + 2 + 4 * i) >> 1);
        return;
    }
    const auto *lens = reinterpret_cast<const quint8 *>(m_b + 2);
    for (qsizetype j = 0; j < i; ++j)
        begin += lens[j] == NullLength ? 0 : lens[j];
    len = lens[i] == NullLength ? 0 : lens[i];
}

inline bool RowRef::isNull(qsizetype i) const
{
    if (isLong())
        return load32(m_b + 2 + 4 * i) & 1;
    return quint8(m_b[2 + i]) == NullLength;
}

inline qsizetype RowRef::length(qsizetype i) const
{
    if (isLong())
        return qsizetype(load32(m_b + 2 + 4 * i) >> 1);
    const quint8 l = quint8(m_b[2 + i]);
    return l == NullLength ? 0 : l;
}

inline QAnyStringView RowRef::view(qsizetype i) const
{
    qsizetype begin, len;
    locate(i, begin, len);
    const char *text = m_b + textOffset();
    if (isLatin1())
        return QLatin1StringView(text + begin, len);
    return QStringView(reinterpret_cast<const char16_t *>(text) + begin, len);
}

class Row {
public:
    Row() = default;
    explicit Row(qsizetype width);   // every value null
    Row(std::initializer_list<std::optional<QString>> values);
    static Row fromValues(const QList<std::optional<QString>> &values);
    static Row copyOf(RowRef ref);   // a block of its own with the same values

    Row(const Row &other);
    Row(Row &&other) noexcept;
    Row &operator=(const Row &other);
    Row &operator=(Row &&other) noexcept;
    ~Row();

    RowRef ref() const { return RowRef(m_blob); }
    qsizetype size() const { return ref().size(); }
    bool isNull(qsizetype i) const { return ref().isNull(i); }
    QAnyStringView view(qsizetype i) const { return ref().view(i); }
    std::optional<QString> value(qsizetype i) const { return ref().value(i); }
    QString text(qsizetype i) const { return ref().text(i); }
    QList<std::optional<QString>> values() const;

    void set(qsizetype i, QStringView text);
    void set(qsizetype i, const std::optional<QString> &v);
    void setNull(qsizetype i);
    void append(QStringView text);
    void appendNull();

    friend bool operator==(const Row &a, const Row &b) { return a.ref() == b.ref(); }

private:
    friend class RowTable;
    friend class RowBuilder;
    Row(detail::RowBlock *block, const char *blob);   // takes one reference
    void replace(qsizetype i, QStringView text, bool null);

    detail::RowBlock *m_block = nullptr;
    const char *m_blob = nullptr;
};

// Whether a view holds Latin-1 text (RowRef gives Latin-1 or UTF-16 views; QAnyStringView
// keeps its own test private).
inline bool isLatin1View(QAnyStringView v)
{
    return v.visit([](auto s) { return std::is_same_v<decltype(s), QLatin1StringView>; });
}

} // namespace fiscal::dataset

Q_DECLARE_TYPEINFO(fiscal::dataset::Row, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(fiscal::dataset::RowRef, Q_PRIMITIVE_TYPE);
