#include "dataset/row.h"

#include <limits>
#include <stdexcept>

namespace fiscal::dataset {
namespace {

constexpr qsizetype MaxText = (std::numeric_limits<qint32>::max() >> 1);

} // namespace

Row::Row(qsizetype width)
{
    if (width <= 0)
        return;
    if (width > 0xffff)
        throw std::length_error("row too wide");
    data_.resize(1 + 2 * width);
    data_[0] = QChar(char16_t(width));
    for (qsizetype i = 0; i < width; ++i)
        setEndWord(i, 1);
}

Row::Row(std::initializer_list<std::optional<QString>> values)
{
    for (const auto &v : values)
        push(v ? QStringView(*v) : QStringView(), !v);
}

Row Row::fromValues(const QList<std::optional<QString>> &values)
{
    Row r;
    for (const auto &v : values)
        r.push(v ? QStringView(*v) : QStringView(), !v);
    return r;
}

void Row::setEndWord(qsizetype i, quint32 w)
{
    data_[1 + 2 * i] = QChar(char16_t(w & 0xffff));
    data_[2 + 2 * i] = QChar(char16_t(w >> 16));
}

QStringView Row::view(qsizetype i) const
{
    const qsizetype b = begin(i);
    return QStringView(data_).mid(textStart() + b, end(i) - b);
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

// Adds a value at the end: one more end word in the header, the text after the others.
void Row::push(QStringView text, bool null)
{
    const qsizetype width = size();
    if (width >= 0xffff)
        throw std::length_error("row too wide");
    const qsizetype used = width == 0 ? 0 : end(width - 1);
    if (used + text.size() > MaxText)
        throw std::length_error("row too large");
    const QString copy = text.toString();   // `text` may point into data_
    if (width == 0)
        data_ = QString(QChar(char16_t(0)));
    data_.insert(1 + 2 * width, QString(2, QChar()));
    data_[0] = QChar(char16_t(width + 1));
    setEndWord(width, quint32(((used + copy.size()) << 1) | (null ? 1 : 0)));
    data_.append(copy);
}

void Row::append(QStringView text) { push(text, false); }
void Row::appendNull() { push(QStringView(), true); }

void Row::set(qsizetype i, QStringView text) { replace(i, text, false); }

void Row::set(qsizetype i, const std::optional<QString> &v)
{
    if (v)
        replace(i, *v, false);
    else
        replace(i, QStringView(), true);
}

void Row::setNull(qsizetype i) { replace(i, QStringView(), true); }

void Row::replace(qsizetype i, QStringView text, bool null)
{
    const qsizetype b = begin(i);
    const qsizetype oldLen = end(i) - b;
    const qsizetype delta = text.size() - oldLen;
    if (end(size() - 1) + delta > MaxText)
        throw std::length_error("row too large");
    if (text.size() != oldLen || view(i) != text) {
        const QString copy = text.toString();   // `text` may point into data_
        data_.replace(textStart() + b, oldLen, copy);
    }
    setEndWord(i, quint32(((b + text.size()) << 1) | (null ? 1 : 0)));
    for (qsizetype k = i + 1; k < size(); ++k)
        setEndWord(k, quint32(qint64(endWord(k)) + delta * 2));
}

} // namespace fiscal::dataset
