#include "protocol/selectiondigest.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace fiscal::protocol {

namespace {
const QString kDigestWords = QStringLiteral(" chaves; SHA-256 ");
}

qint64 selectionKeyCount(QStringView selection)
{
    qint64 keys = 0;
    bool inside = false;
    for (qsizetype i = 0; i < selection.size(); ++i) {
        if (selection[i] != QLatin1Char('\''))
            continue;
        if (inside && i + 1 < selection.size() && selection[i + 1] == QLatin1Char('\'')) {
            ++i;   // a quote inside a key
            continue;
        }
        inside = !inside;
        if (inside)
            ++keys;
    }
    return keys;
}

QString keptSelection(const QString &text)
{
    if (text.size() <= kKeptSelectionLength || !text.startsWith(QLatin1Char('\'')))
        return text;
    const QByteArray digest = QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QString::number(selectionKeyCount(text)) + kDigestWords + QString::fromLatin1(digest);
}

std::optional<qint64> digestedKeys(QStringView kept)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,18}) chaves; SHA-256 [0-9a-f]{64}$"));
    const QRegularExpressionMatch m = form.match(kept.toString());
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(1).toLongLong();
}

} // namespace fiscal::protocol
