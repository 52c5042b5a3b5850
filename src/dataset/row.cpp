#include "dataset/row.h"

#include <limits>
#include <stdexcept>

namespace fiscal::dataset {

Row::Row(qsizetype width)
{
    ends_.reserve(width);
    for (qsizetype i = 0; i < width; ++i)
        ends_.append(1);
}

Row::Row(std::initializer_list<std::optional<QString>> values)
{
    ends_.reserve(qsizetype(values.size()));
    for (const auto &v : values) {
        if (v)
            append(*v);
        else
            appendNull();
    }
}

Row Row::fromValues(const QList<std::optional<QString>> &values)
{
    Row r;
    r.ends_.reserve(values.size());
    for (const auto &v : values) {
        if (v)
            r.append(*v);
        else
            r.appendNull();
    }
    return r;
}

QStringView Row::view(qsizetype i) const
{
    const qsizetype b = begin(i);
    return QStringView(chars_).mid(b, end(i) - b);
}

std::optional<QString> Row::value(qsizetype i) const
{
    if (isNull(i))
        return std::nullopt;
    return view(i).toString();
}

QString Row::text(qsizetype i) const
{
    if (isNull(i))
        return QString();
    return view(i).toString();
}

QList<std::optional<QString>> Row::values() const
{
    QList<std::optional<QString>> out;
    out.reserve(size());
    for (qsizetype i = 0; i < size(); ++i)
        out.append(value(i));
    return out;
}

void Row::append(QStringView text)
{
    const qsizetype e = chars_.size() + text.size();
    if (e > (std::numeric_limits<qint32>::max() >> 1))
        throw std::length_error("row too large");
    chars_.append(text);
    ends_.append(qint32(e << 1));
}

void Row::appendNull()
{
    ends_.append(qint32((chars_.size() << 1) | 1));
}

void Row::reserve(qsizetype width, qsizetype chars)
{
    ends_.reserve(width);
    chars_.reserve(chars);
}

void Row::set(qsizetype i, QStringView text) { replace(i, text, false); }

void Row::set(qsizetype i, const std::optional<QString> &v)
{
    if (v)
        replace(i, *v, false);
    else
        replace(i, {}, true);
}

void Row::setNull(qsizetype i) { replace(i, {}, true); }

void Row::replace(qsizetype i, QStringView text, bool null)
{
    const qsizetype b = begin(i);
    const qsizetype oldLen = end(i) - b;
    const qsizetype delta = text.size() - oldLen;
    if (chars_.size() + delta > (std::numeric_limits<qint32>::max() >> 1))
        throw std::length_error("row too large");
    if (text.size() != oldLen || view(i) != text) {
        // `text` may point into chars_ itself; copy before replacing.
        const QString copy = text.toString();
        chars_.replace(b, oldLen, copy);
    }
    ends_[i] = qint32(((b + text.size()) << 1) | (null ? 1 : 0));
    if (delta != 0) {
        for (qsizetype k = i + 1; k < ends_.size(); ++k)
            ends_[k] += qint32(delta * 2);
    }
}

} // namespace fiscal::dataset
