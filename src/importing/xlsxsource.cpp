#include "importing/xlsxsource.h"

#include <QHash>

#include <algorithm>

namespace fiscal::importing {

namespace {

// XML of the workbook's small parts (workbook, relationships): a few MB at most.
constexpr std::int64_t kSmallPart = 16 * 1024 * 1024;

// "AB12" -> 27 (0-based column); -1 when there is no column.
int columnOf(QStringView ref)
{
    int column = 0, letters = 0;
    for (const QChar c : ref) {
        if (c < QLatin1Char('A') || c > QLatin1Char('Z'))
            break;
        if (++letters > 3)
            return -1;
        column = column * 26 + (c.unicode() - 'A' + 1);
    }
    return letters ? column - 1 : -1;
}

// Width of a number format that shows a number with leading zeros ("000000": 123 is
// "000123"); 0 for any other format. Only the positive section counts.
int zeroPaddedWidth(QStringView formatCode)
{
    const qsizetype semicolon = formatCode.indexOf(QLatin1Char(';'));
    const QStringView positive = semicolon < 0 ? formatCode : formatCode.left(semicolon);
    if (positive.size() < 2 || positive.size() > 20)
        return 0;
    for (const QChar c : positive) {
        if (c != QLatin1Char('0'))
            return 0;
    }
    return int(positive.size());
}

QString entryPath(const QString &target)
{
    if (target.startsWith(QLatin1Char('/')))
        return target.mid(1);
    return QStringLiteral("xl/") + target;
}

} // namespace

XlsxSource::XlsxSource(const QString &path, const Limits &limits) : m_path(path), m_zip(path, limits), m_limits(limits)
{
    readWorkbook();
}

XlsxSource::~XlsxSource()
{
    m_xml.reset();
    m_entry.reset();
}

void XlsxSource::readWorkbook()
{
    QHash<QString, QString> targets;
    QString stylesEntry;
    {
        ZipEntry rels(m_zip, QStringLiteral("xl/_rels/workbook.xml.rels"), kSmallPart);
        QXmlStreamReader x(&rels);
        while (nextToken(x, rels)) {
            if (x.isStartElement() && x.name() == QLatin1String("Relationship")) {
                const QString target = entryPath(x.attributes().value(QLatin1String("Target")).toString());
                targets.insert(x.attributes().value(QLatin1String("Id")).toString(), target);
                const QStringView type = x.attributes().value(QLatin1String("Type"));
                if (type.endsWith(QLatin1String("/sharedStrings")))
                    m_sharedStringsEntry = target;
                else if (type.endsWith(QLatin1String("/styles")))
                    stylesEntry = target;
            }
        }
    }
    {
        ZipEntry book(m_zip, QStringLiteral("xl/workbook.xml"), kSmallPart);
        QXmlStreamReader x(&book);
        while (nextToken(x, book)) {
            if (!x.isStartElement() || x.name() != QLatin1String("sheet"))
                continue;
            const QXmlStreamAttributes a = x.attributes();
            QString id;
            for (const QXmlStreamAttribute &attr : a) {
                if (attr.name() == QLatin1String("id"))   // r:id, whatever the prefix
                    id = attr.value().toString();
            }
            const QString state = a.value(QLatin1String("state")).toString();
            m_sheets.push_back({a.value(QLatin1String("name")).toString(), !state.isEmpty() && state != QLatin1String("visible")});
            m_targets << targets.value(id);
        }
    }
    if (m_sheets.empty())
        brokenFile(QStringLiteral("pasta de trabalho sem folhas"));
    if (!stylesEntry.isEmpty() && m_zip.has(stylesEntry)) {
        // Only the zeros of some codes depend on it: styles that cannot be read (a part
        // swollen past the limit, broken XML) leave the numbers bare rather than refuse
        // the workbook.
        try {
            readStyles(stylesEntry);
        } catch (const ReadError &) {
            m_zeroWidthOfStyle.clear();
        }
    }
}

void XlsxSource::readStyles(const QString &entry)
{
    // A code kept as a number shows its zeros through its cell's format only: the format of
    // each cell style (cellXfs, by index) is read to give them back.
    QHash<int, int> widthOfFormat;
    ZipEntry styles(m_zip, entry, kSmallPart);
    QXmlStreamReader x(&styles);
    bool inCellXfs = false;
    while (nextToken(x, styles)) {
        if (x.isStartElement()) {
            const QXmlStreamAttributes a = x.attributes();
            if (x.name() == QLatin1String("numFmt")) {
                const int width = zeroPaddedWidth(a.value(QLatin1String("formatCode")));
                if (width)
                    widthOfFormat.insert(a.value(QLatin1String("numFmtId")).toInt(), width);
            } else if (x.name() == QLatin1String("cellXfs")) {
                inCellXfs = true;
            } else if (inCellXfs && x.name() == QLatin1String("xf")) {
                m_zeroWidthOfStyle.push_back(widthOfFormat.value(a.value(QLatin1String("numFmtId")).toInt()));
            }
        } else if (x.isEndElement() && x.name() == QLatin1String("cellXfs")) {
            inCellXfs = false;
        }
    }
}

void XlsxSource::selectSheet(int index)
{
    if (index < 0 || index >= int(m_sheets.size()))
        throw ReadError(QStringLiteral("A planilha não tem a folha %1.").arg(index + 1));
    m_xml.reset();
    m_entry.reset();
    m_shared.reset();
    const bool hasShared = !m_sharedStringsEntry.isEmpty() && m_zip.has(m_sharedStringsEntry);
    m_shared = std::make_unique<SharedStrings>(m_path, hasShared ? m_sharedStringsEntry : QString(), m_limits);
    if (!m_zip.has(m_targets[std::size_t(index)]))
        brokenFile(QStringLiteral("falta a folha %1").arg(m_sheets[std::size_t(index)].name));
    m_sheet = index;
    m_kept.clear();
    m_entry = std::make_unique<ZipEntry>(m_zip, m_targets[std::size_t(index)], m_limits.maxEntryBytes);
    m_xml = std::make_unique<QXmlStreamReader>(m_entry.get());
    m_lastLine = 0;
    m_rows = 0;
    m_done = false;
}

void XlsxSource::keepColumns(const std::vector<int> &columns)
{
    if (m_sheet < 0)
        return;
    m_kept.assign(std::size_t(m_limits.maxColumns), false);
    for (const int c : columns) {
        if (c >= 0 && c < m_limits.maxColumns)
            m_kept[std::size_t(c)] = true;
    }
    // Which strings the kept columns use, and which more than once: only those are held, and
    // those only until their last use. The sheet is open on the first handle.
    ZipArchive zip(m_path, m_limits);
    ZipEntry scan(zip, m_targets[std::size_t(m_sheet)], m_limits.maxEntryBytes);
    m_shared->start(countSharedUses(scan, m_kept));
}

QString XlsxSource::cellValue(const QString &type, int style, int column)
{
    // Inside <c>: <v> (shared index, number, cached formula value) or <is> (inline string).
    QString value, inlineText;
    bool hasInline = false, hasFormula = false, hasValue = false;
    int phonetic = 0;
    while (nextToken(*m_xml, *m_entry)) {
        if (m_xml->isStartElement()) {
            if (m_xml->name() == QLatin1String("v")) {
                value = m_xml->readElementText();
                hasValue = true;
            } else if (m_xml->name() == QLatin1String("f")) {
                hasFormula = true;
            } else if (m_xml->name() == QLatin1String("is")) {
                hasInline = true;
            } else if (m_xml->name() == QLatin1String("rPh")) {
                ++phonetic;
            } else if (m_xml->name() == QLatin1String("t") && hasInline && !phonetic) {
                inlineText += m_xml->readElementText();
            }
        } else if (m_xml->isEndElement()) {
            if (m_xml->name() == QLatin1String("rPh"))
                --phonetic;
            else if (m_xml->name() == QLatin1String("c"))
                break;
        }
    }
    if (type == QLatin1String("inlineStr") || hasInline)
        return inlineText;
    // Written by a program that does not calculate (no <v>, or an empty one: a formula whose
    // result is really "" is a "str"): read as empty, a group column would clear the group.
    // As a text no code can be, the line is refused instead.
    if (hasFormula && (!hasValue || (value.isEmpty() && type != QLatin1String("str"))))
        return formulaWithoutValue();
    if (type == QLatin1String("s")) {
        bool ok = false;
        const int i = value.toInt(&ok);
        if (!ok || i < 0)
            brokenFile(QStringLiteral("texto compartilhado %1 inexistente").arg(value));
        const bool kept = m_kept.empty() || (column < int(m_kept.size()) && m_kept[std::size_t(column)]);
        return m_shared->take(std::size_t(i), kept);
    }
    if (type.isEmpty() || type == QLatin1String("n")) {
        if (value.isEmpty())
            return value;
        const QString number = numberText(value);
        const int width = style >= 0 && style < int(m_zeroWidthOfStyle.size()) ? m_zeroWidthOfStyle[std::size_t(style)] : 0;
        const bool digits = !number.isEmpty() && std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); });
        return digits && number.size() < width ? number.rightJustified(width, QLatin1Char('0')) : number;
    }
    return value;   // str (formula text), b, e, d: as cached
}

bool XlsxSource::next(SheetRow &row)
{
    if (!m_xml)
        throw ReadError(QStringLiteral("Nenhuma folha escolhida."));
    if (m_done)
        return false;
    while (nextToken(*m_xml, *m_entry)) {
        if (!m_xml->isStartElement() || m_xml->name() != QLatin1String("row"))
            continue;
        bool ok = false;
        const std::int64_t r = m_xml->attributes().value(QLatin1String("r")).toLongLong(&ok);
        row.line = ok ? r : m_lastLine + 1;
        m_lastLine = row.line;
        row.cells.clear();
        int column = -1;
        while (nextToken(*m_xml, *m_entry)) {
            if (m_xml->isEndElement() && m_xml->name() == QLatin1String("row"))
                break;
            if (!m_xml->isStartElement() || m_xml->name() != QLatin1String("c"))
                continue;
            const QXmlStreamAttributes a = m_xml->attributes();
            const QStringView ref = a.value(QLatin1String("r"));
            const int at = ref.isEmpty() ? column + 1 : columnOf(ref);
            column = at < 0 ? column + 1 : at;
            bool styled = false;
            const int style = a.value(QLatin1String("s")).toInt(&styled);
            const QString text = cellValue(a.value(QLatin1String("t")).toString(), styled ? style : -1, column);
            detail::putCell(row.cells, column, text, m_limits);
        }
        if (!detail::trimRow(row.cells))
            continue;
        if (++m_rows > m_limits.maxRows)
            detail::tooManyRows(m_limits);
        return true;
    }
    m_entry->verify();
    m_shared->finish();
    m_done = true;
    return false;
}

} // namespace fiscal::importing
