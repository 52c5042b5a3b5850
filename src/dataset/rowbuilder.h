#pragma once
// RowBuilder: collects the values of one row in scratch buffers reused for every row, then
// writes the row's block in one go (a Row of its own, or the end of a RowTable). It keeps
// the text in Latin-1 until a character beyond it arrives, and then turns the row to UTF-16,
// so that every row comes out in its one canonical form.
//
//   RowBuilder b;
//   for each row: b.start(); b.appendUtf8(bytes) / b.append(text) / b.appendNull() ...;
//                 b.finishInto(table);          // or Row r = b.finish();

#include "dataset/row.h"
#include "dataset/rowtable.h"

#include <QStringDecoder>
#include <QVarLengthArray>
#include <algorithm>
#include <vector>

namespace fiscal::dataset {

class RowBuilder {
public:
    static constexpr qsizetype MaxWidth = RowRef::WidthMask;
    static constexpr qsizetype MaxText = (qsizetype(1) << 30) - 1;   // characters per row

    void start();
    void appendNull();
    void append(QStringView text);
    void append(QAnyStringView text);   // Latin-1 or UTF-16 views, as RowRef gives them
    void appendLatin1(const char *text, qsizetype n);
    // Decodes UTF-8 into the row; false when it is not valid UTF-8 (nothing is added then).
    bool appendUtf8(QByteArrayView utf8);

    qsizetype width() const { return m_lens.size(); }
    qsizetype textLength() const { return m_utf16 ? m_u16.size() : m_l1.size(); }
    qsizetype lastLength() const { return m_lastLength; }   // in UTF-16 units
    // The last value's characters (code points), which is what a column's size counts.
    qsizetype lastCharacters() const;

    qsizetype blockSize() const;
    void write(char *out) const;
    Row finish() const;
    void finishInto(RowTable &table) const;

private:
    // Text of the row being built: grows without clearing what it adds, since every
    // character is written right away; kept from row to row.
    template <class T>
    class Text {
    public:
        qsizetype size() const { return m_n; }
        const T *data() const { return m_buf.data(); }
        void clear() { m_n = 0; }
        T *room(qsizetype more)
        {
            if (qsizetype(m_buf.size()) < m_n + more)
                m_buf.resize(size_t(std::max(m_n + more, qsizetype(m_buf.size()) * 2)));
            return m_buf.data() + m_n;
        }
        void added(qsizetype count) { m_n += count; }
        void append(const T *p, qsizetype count)
        {
            std::copy(p, p + count, room(count));
            m_n += count;
        }
    private:
        std::vector<T> m_buf;
        qsizetype m_n = 0;
    };

    void push(qsizetype len, bool null);
    void toUtf16();

    bool m_utf16 = false;
    Text<char> m_l1;
    Text<char16_t> m_u16;
    QVarLengthArray<quint32, 16> m_lens;   // (length << 1) | null
    qsizetype m_lastLength = 0;
    bool m_long = false;
    // ConvertInitialBom: a text opening with U+FEFF keeps it (the default drops it as a byte-order mark).
    QStringDecoder m_utf8{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom};
    std::vector<char16_t> m_scratch;
};

} // namespace fiscal::dataset
