#include "help/manual.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextDocument>

#include <algorithm>

namespace fiscal::help {

namespace {
const QString kRoot = QStringLiteral(":/help");
}

QString foldForSearch(const QString &text)
{
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    QString out;
    out.reserve(decomposed.size());
    for (const QChar ch : decomposed) {
        if (ch.category() != QChar::Mark_NonSpacing)
            out += ch.toLower();
    }
    return out;
}

QList<Manual> Manual::all()
{
    QList<Manual> manuals;
    for (const QString &name : QDir(kRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        Manual m = load(name);
        if (m.isValid())
            manuals << m;
    }
    return manuals;
}

Manual Manual::load(const QString &name)
{
    Manual m;
    QFile file(kRoot + QLatin1Char('/') + name + QStringLiteral("/manual.json"));
    if (!file.open(QIODevice::ReadOnly))
        return m;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    m.m_name = name;
    m.m_title = root.value(QStringLiteral("title")).toString();
    for (const QJsonValue &v : root.value(QStringLiteral("pages")).toArray()) {
        const QJsonObject o = v.toObject();
        ManualPage p;
        p.id = o.value(QStringLiteral("id")).toString();
        p.title = o.value(QStringLiteral("title")).toString();
        p.file = o.value(QStringLiteral("file")).toString();
        p.level = o.value(QStringLiteral("level")).toInt();
        for (const QJsonValue &k : o.value(QStringLiteral("keywords")).toArray())
            p.keywords << k.toString();
        for (const QJsonValue &c : o.value(QStringLiteral("contexts")).toArray())
            p.contexts << c.toInt();
        if (!p.id.isEmpty() && !p.file.isEmpty())
            m.m_pages << p;
    }
    return m;
}

const ManualPage *Manual::page(const QString &id) const
{
    for (const ManualPage &p : m_pages) {
        if (p.id == id)
            return &p;
    }
    return nullptr;
}

const ManualPage *Manual::pageForKeyword(const QString &keyword) const
{
    if (const ManualPage *p = page(keyword))
        return p;
    for (const ManualPage &p : m_pages) {
        for (const QString &k : p.keywords) {
            if (k.compare(keyword, Qt::CaseInsensitive) == 0)
                return &p;
        }
    }
    return nullptr;
}

const ManualPage *Manual::pageForContext(int context) const
{
    for (const ManualPage &p : m_pages) {
        if (p.contexts.contains(context))
            return &p;
    }
    return nullptr;
}

const ManualPage *Manual::pageForUrl(const QUrl &url) const
{
    const QString file = url.path().section(QLatin1Char('/'), -1);
    for (const ManualPage &p : m_pages) {
        if (p.file == file)
            return &p;
    }
    return nullptr;
}

QUrl Manual::url(const ManualPage &page) const
{
    return QUrl(QStringLiteral("qrc:/help/%1/%2").arg(m_name, page.file));
}

QString Manual::plainText(const ManualPage &page) const
{
    QFile file(kRoot + QLatin1Char('/') + m_name + QLatin1Char('/') + page.file);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QTextDocument doc;
    doc.setHtml(QString::fromUtf8(file.readAll()));
    return doc.toPlainText();
}

QStringList Manual::search(const QString &words) const
{
    const QStringList wanted = foldForSearch(words).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (wanted.isEmpty())
        return {};
    struct Hit { QString id; qsizetype count; int order; };
    QList<Hit> hits;
    for (int i = 0; i < m_pages.size(); ++i) {
        const ManualPage &p = m_pages.at(i);
        const QString text = foldForSearch(p.title + QLatin1Char('\n') + plainText(p));
        qsizetype count = 0;
        bool all = true;
        for (const QString &w : wanted) {
            const qsizetype n = text.count(w);
            all = all && n > 0;
            count += n;
        }
        if (all)
            hits << Hit{p.id, count, i};
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit &a, const Hit &b) { return a.count > b.count; });
    QStringList ids;
    for (const Hit &h : hits)
        ids << h.id;
    return ids;
}

} // namespace fiscal::help
