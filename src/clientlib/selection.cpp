#include "clientlib/selection.h"

namespace fiscal::clientlib {

QString formatSelection(const QStringList &keys)
{
    QString out;
    for (const QString &key : keys) {
        if (!out.isEmpty()) {
            out += QLatin1Char(',');
        }
        QString quoted = key;
        quoted.replace(QLatin1Char('\''), QLatin1String("''"));
        out += QLatin1Char('\'') + quoted + QLatin1Char('\'');
    }
    return out;
}

std::optional<QStringList> parseSelection(const QString &selection)
{
    QStringList keys;
    const qsizetype n = selection.size();
    qsizetype i = 0;
    if (n == 0) {
        return keys;
    }
    while (true) {
        if (i >= n || selection.at(i) != QLatin1Char('\'')) {
            return std::nullopt;
        }
        ++i;
        QString key;
        bool closed = false;
        while (i < n) {
            const QChar c = selection.at(i);
            if (c == QLatin1Char('\'')) {
                if (i + 1 < n && selection.at(i + 1) == QLatin1Char('\'')) {
                    key += c;
                    i += 2;
                    continue;
                }
                ++i;
                closed = true;
                break;
            }
            key += c;
            ++i;
        }
        if (!closed) {
            return std::nullopt;
        }
        keys.append(key);
        if (i == n) {
            return keys;
        }
        if (selection.at(i) != QLatin1Char(',')) {
            return std::nullopt;
        }
        ++i;
    }
}

} // namespace fiscal::clientlib
