#pragma once
// Row: the values of one record, each a string or null, kept in one string with their
// end offsets, so that a 500k-row packet costs one allocation per row rather than one
// per value. At most 65535 values per row.
//
//   Row r{QStringLiteral("001"), std::nullopt};   r.size() == 2
//   r.isNull(1); r.view(0) == u"001"; r.value(1) == std::nullopt; r.text(1) == ""
//   r.set(1, u"x"); r.setNull(0); r.append(u"y"); r.appendNull();
//   r1 == r2 compares values and null-ness (null != "").

#include <QList>
#include <QString>
#include <QStringView>
#include <initializer_list>
#include <optional>

namespace fiscal::dataset {

class Row {
public:
    Row() = default;
    explicit Row(qsizetype width);   // every value null
    Row(std::initializer_list<std::optional<QString>> values);
    static Row fromValues(const QList<std::optional<QString>> &values);

    qsizetype size() const { return data_.isEmpty() ? 0 : data_.at(0).unicode(); }
    bool isNull(qsizetype i) const { return endWord(i) & 1; }
    QStringView view(qsizetype i) const;            // empty for null
    std::optional<QString> value(qsizetype i) const;
    QString text(qsizetype i) const;                // null -> ""
    QList<std::optional<QString>> values() const;

    void set(qsizetype i, QStringView text);
    void set(qsizetype i, const std::optional<QString> &v);
    void setNull(qsizetype i);
    void append(QStringView text);
    void appendNull();

    friend bool operator==(const Row &a, const Row &b) { return a.data_ == b.data_; }

private:
    friend class RowBuilder;
    // data_ = [width] then per value its end offset and null flag as two UTF-16 units
    // ((end << 1) | null, low half first), then the text of all values. A row is one
    // implicitly shared string: copying it costs nothing, and it moves with memcpy.
    quint32 endWord(qsizetype i) const
    {
        return quint32(data_.at(1 + 2 * i).unicode()) | (quint32(data_.at(2 + 2 * i).unicode()) << 16);
    }
    void setEndWord(qsizetype i, quint32 w);
    qsizetype textStart() const { return 1 + 2 * size(); }
    qsizetype begin(qsizetype i) const { return i == 0 ? 0 : qsizetype(endWord(i - 1) >> 1); }
    qsizetype end(qsizetype i) const { return qsizetype(endWord(i) >> 1); }
    void replace(qsizetype i, QStringView text, bool null);
    void push(QStringView text, bool null);

    QString data_;
};

} // namespace fiscal::dataset

Q_DECLARE_TYPEINFO(fiscal::dataset::Row, Q_RELOCATABLE_TYPE);
