#include "importing/odssource.h"

#include <QSet>

#include <algorithm>

namespace fiscal::importing {

namespace {

const QString kContent = QStringLiteral("content.xml");

// Attributes by local name, whatever prefix the file gives their namespace.
QStringView attr(const QXmlStreamAttributes &a, QLatin1String localName)
{
    for (const QXmlStreamAttribute &x : a) {
        if (x.name() == localName)
            return x.value();
    }
    return {};
}

std::int64_t repeatOf(const QXmlStreamAttributes &a, QLatin1String localName)
{
    bool ok = false;
    const std::int64_t n = attr(a, localName).toLongLong(&ok);
    return ok && n > 0 ? n : 1;
}

} // namespace

OdsSource::OdsSource(const QString &path, const Limits &limits) : m_zip(path, limits), m_limits(limits)
{
    listTables();
}

OdsSource::~OdsSource()
{
    m_xml.reset();
    m_entry.reset();
}

void OdsSource::listTables()
{
    ZipEntry entry(m_zip, kContent, m_limits.maxEntryBytes);
    QXmlStreamReader x(&entry);
    QSet<QString> hiddenStyles;
    QString style;
    while (nextToken(x, entry)) {
        if (!x.isStartElement())
            continue;
        const QStringView name = x.name();
        if (name == QLatin1String("style")) {
            style = attr(x.attributes(), QLatin1String("name")).toString();
        } else if (name == QLatin1String("table-properties")) {
            if (attr(x.attributes(), QLatin1String("display")) == QLatin1String("false"))
                hiddenStyles.insert(style);
        } else if (name == QLatin1String("table")) {
            const QXmlStreamAttributes a = x.attributes();
            m_sheets.push_back({attr(a, QLatin1String("name")).toString(),
                                hiddenStyles.contains(attr(a, QLatin1String("style-name")).toString())});
            x.skipCurrentElement();
            if (entry.exceeded())
                nextToken(x, entry);   // reports the limit
        }
    }
    if (x.hasError())
        brokenFile(x.errorString());
    entry.verify();
    if (m_sheets.empty())
        brokenFile(QStringLiteral("planilha sem tabelas"));
}

void OdsSource::selectSheet(int index)
{
    if (index < 0 || index >= int(m_sheets.size()))
        throw ReadError(QStringLiteral("A planilha não tem a folha %1.").arg(index + 1));
    // The old entry goes first: closing it after the new one opens would close the new one,
    // since both read through the archive's one open entry.
    m_xml.reset();
    m_entry.reset();
    m_entry = std::make_unique<ZipEntry>(m_zip, kContent, m_limits.maxEntryBytes);
    m_xml = std::make_unique<QXmlStreamReader>(m_entry.get());
    m_line = 0;
    m_rows = 0;
    m_repeatLeft = 0;
    m_done = false;
    int seen = -1;
    while (nextToken(*m_xml, *m_entry)) {
        if (m_xml->isStartElement() && m_xml->name() == QLatin1String("table") && ++seen == index)
            return;
    }
    brokenFile(QStringLiteral("folha %1 não encontrada").arg(index + 1));
}

QString OdsSource::cellText()
{
    // At the start of a cell: its typed value if it has one, else the text of its paragraphs.
    const QXmlStreamAttributes a = m_xml->attributes();
    const QStringView type = attr(a, QLatin1String("value-type"));
    QString typed;
    if (type == QLatin1String("float") || type == QLatin1String("percentage") || type == QLatin1String("currency"))
        typed = numberText(attr(a, QLatin1String("value")).toString());
    else if (type == QLatin1String("date"))
        typed = attr(a, QLatin1String("date-value")).toString();
    else if (type == QLatin1String("time"))
        typed = attr(a, QLatin1String("time-value")).toString();
    else if (type == QLatin1String("boolean"))
        typed = attr(a, QLatin1String("boolean-value")).toString();
    else if (type == QLatin1String("string") && !attr(a, QLatin1String("string-value")).isNull())
        typed = attr(a, QLatin1String("string-value")).toString();

    QString text;
    // Every piece counts against the cell's cut, the spaces of <text:s> too.
    const auto add = [&](QStringView piece) {
        if (text.size() <= m_limits.maxCellChars)
            text += piece;
    };
    int paragraphs = 0, depth = 1;
    while (depth > 0 && nextToken(*m_xml, *m_entry)) {
        if (m_xml->isStartElement()) {
            ++depth;
            const QStringView n = m_xml->name();
            if (n == QLatin1String("p") && paragraphs++) {
                add(u"\n");
            } else if (n == QLatin1String("s")) {
                const auto spaces = qMin<std::int64_t>(repeatOf(m_xml->attributes(), QLatin1String("c")), 64);
                add(QString(qsizetype(spaces), QLatin1Char(' ')));
            } else if (n == QLatin1String("tab")) {
                add(u"\t");
            } else if (n == QLatin1String("line-break")) {
                add(u"\n");
            } else if (n == QLatin1String("annotation")) {
                // A comment on the cell is not its value.
                m_xml->skipCurrentElement();
                --depth;
            }
        } else if (m_xml->isEndElement()) {
            --depth;
        } else if (m_xml->isCharacters()) {
            add(m_xml->text());
        }
    }
    if (typed.isNull() && text.isEmpty() && type.isEmpty() && !attr(a, QLatin1String("formula")).isNull())
        return formulaWithoutValue();   // a formula saved without its result
    // A code kept as a number shows its leading zeros through its format: the cell's text has them.
    if (type == QLatin1String("float") && text.startsWith(QLatin1Char('0')) && numberText(text) == typed
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); }))
        return text;
    return typed.isNull() ? text : typed;
}

bool OdsSource::readRow(QStringList &cells, std::int64_t &repeat)
{
    // At the start of a row.
    repeat = repeatOf(m_xml->attributes(), QLatin1String("number-rows-repeated"));
    cells.clear();
    int column = 0;
    while (nextToken(*m_xml, *m_entry)) {
        if (m_xml->isEndElement() && m_xml->name() == QLatin1String("table-row"))
            break;
        if (!m_xml->isStartElement())
            continue;
        const QStringView n = m_xml->name();
        if (n != QLatin1String("table-cell") && n != QLatin1String("covered-table-cell"))
            continue;
        const std::int64_t times = repeatOf(m_xml->attributes(), QLatin1String("number-columns-repeated"));
        const QString text = cellText();
        for (std::int64_t i = 0; i < times && column < m_limits.maxColumns; ++i) {
            if (!text.isEmpty())
                detail::putCell(cells, column, text, m_limits);
            ++column;
        }
    }
    return detail::trimRow(cells);
}

bool OdsSource::next(SheetRow &row)
{
    if (!m_xml)
        throw ReadError(QStringLiteral("Nenhuma folha escolhida."));
    for (;;) {
        if (m_repeatLeft > 0) {
            --m_repeatLeft;
            row.line = ++m_line;
            row.cells = m_repeated;
            if (++m_rows > m_limits.maxRows)
                detail::tooManyRows(m_limits);
            return true;
        }
        if (m_done)
            return false;
        bool found = false;
        while (nextToken(*m_xml, *m_entry)) {
            if (m_xml->isEndElement() && m_xml->name() == QLatin1String("table")) {
                m_done = true;
                return false;
            }
            if (m_xml->isStartElement() && m_xml->name() == QLatin1String("table-row")) {
                found = true;
                break;
            }
        }
        if (!found) {
            m_done = true;
            return false;
        }
        std::int64_t repeat = 1;
        if (!readRow(m_repeated, repeat)) {
            m_line += repeat;
            continue;
        }
        m_repeatLeft = repeat;
    }
}

} // namespace fiscal::importing
