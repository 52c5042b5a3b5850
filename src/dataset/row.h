#pragma once
// Row: the values of one record, each a string or null, kept in one string buffer with
// end offsets so that a 500k-row packet costs one allocation per row rather than one
// per value.
//
//   Row r{QStringLiteral("001"), std::nullopt};   r.size() == 2
//   r.isNull(1); r.view(0) == u"001"; r.value(1) == std::nullopt; r.text(1) == ""
//   r.set(1, u"x"); r.setNull(0); r.append(u"y"); r.appendNull();
//   r1 == r2 compares values and null-ness (null != "").

#include <QList>
#include <QString>
#include <QStringView>
#include <QVarLengthArray>
#include <algorithm>
#include <initializer_list>
#include <optional>

namespace fiscal::dataset {

class Row {
public:
    Row() = default;
    explicit Row(qsizetype width);   // every value null
    Row(std::initializer_list<std::optional<QString>> values);
    static Row fromValues(const QList<std::optional<QString>> &values);

    qsizetype size() const { return ends_.size(); }
    bool isNull(qsizetype i) const { return ends_[i] & 1; }
    QStringView view(qsizetype i) const;            // empty for null
    std::optional<QString> value(qsizetype i) const;
    QString text(qsizetype i) const;                // null -> ""
    QList<std::optional<QString>> values() const;

    void set(qsizetype i, QStringView text);
    void set(qsizetype i, const std::optional<QString> &v);
    void setNull(qsizetype i);
    void append(QStringView text);
    void appendNull();
    void reserve(qsizetype width, qsizetype chars);

    friend bool operator==(const Row &a, const Row &b)
    {
        return a.ends_.size() == b.ends_.size()
            && std::equal(a.ends_.begin(), a.ends_.end(), b.ends_.begin())
            && a.chars_ == b.chars_;
    }

private:
    friend class RowBuilder;
    qsizetype begin(qsizetype i) const { return i == 0 ? 0 : ends_[i - 1] >> 1; }
    qsizetype end(qsizetype i) const { return ends_[i] >> 1; }
    void replace(qsizetype i, QStringView text, bool null);

    QString chars_;
    // end offset of each value in chars_, shifted left once; the low bit marks null.
    QVarLengthArray<qint32, 8> ends_;
};

} // namespace fiscal::dataset
