#include "clientlib/textroutines.h"

namespace fiscal::clientlib {

QString AllTrim(const QString &text)
{
    return text.trimmed();
}

bool EmptyString(const QString &text)
{
    for (const QChar c : text) {
        if (!c.isSpace() && c != QLatin1Char('_')) {
            return false;
        }
    }
    return true;
}

QString Ajusta(const QString &code, int width)
{
    QString text = code.trimmed();
    if (text.isEmpty() || width <= 0) {
        return text;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return text;
        }
    }
    while (text.size() > width && text.startsWith(QLatin1Char('0'))) {
        text.remove(0, 1);
    }
    if (text.size() < width) {
        text = QString(width - text.size(), QLatin1Char('0')) + text;
    }
    return text;
}

QString PictPess(const QString &personType)
{
    const QString t = personType.trimmed().toUpper();
    if (t == QLatin1String("F")) {
        return QStringLiteral("999.999.999-99;0;_");
    }
    if (t == QLatin1String("J")) {
        return QStringLiteral("99.999.999/9999-99;0;_");
    }
    return QString();
}

} // namespace fiscal::clientlib
