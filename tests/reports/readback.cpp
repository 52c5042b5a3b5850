#include "readback.h"

#include <QProcess>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <stdexcept>

namespace fiscal::test {

namespace {

QByteArray run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error((program + QLatin1Char(' ') + args.join(QLatin1Char(' ')) + QStringLiteral(" failed: ")
                                  + QString::fromLocal8Bit(p.readAllStandardError())).toStdString());
    return p.readAllStandardOutput();
}

// Column index of a cell reference ("C12" -> 2).
int columnOf(const QString &ref)
{
    int col = 0;
    for (QChar ch : ref) {
        if (!ch.isLetter())
            break;
        col = col * 26 + (ch.unicode() - 'A' + 1);
    }
    return col - 1;
}

} // namespace

QString pdfText(const QString &path)
{
    return QString::fromUtf8(run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), path, QStringLiteral("-")}));
}

QByteArray xlsxPart(const QString &path, const QString &member)
{
    return run(QStringLiteral("unzip"), {QStringLiteral("-p"), path, member});
}

QList<QStringList> xlsxSheetRows(const QString &path)
{
    QStringList shared;
    QProcess list;
    list.start(QStringLiteral("unzip"), {QStringLiteral("-l"), path});
    list.waitForFinished();
    if (list.readAllStandardOutput().contains("xl/sharedStrings.xml")) {
        QXmlStreamReader xml(xlsxPart(path, QStringLiteral("xl/sharedStrings.xml")));
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("si"))
                shared << xml.readElementText(QXmlStreamReader::IncludeChildElements);
        }
    }
    QList<QStringList> rows;
    QXmlStreamReader xml(xlsxPart(path, QStringLiteral("xl/worksheets/sheet1.xml")));
    QString type;
    int col = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("row")) {
            const int r = xml.attributes().value(QStringLiteral("r")).toInt() - 1;
            while (rows.size() <= r)
                rows << QStringList();
        } else if (xml.name() == QLatin1String("c")) {
            type = xml.attributes().value(QStringLiteral("t")).toString();
            col = columnOf(xml.attributes().value(QStringLiteral("r")).toString());
        } else if (xml.name() == QLatin1String("v") || xml.name() == QLatin1String("is")) {
            QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            if (type == QLatin1String("s"))
                text = shared.value(text.toInt());
            // Characters XML cannot hold travel as _xHHHH_.
            static const QRegularExpression escaped(QStringLiteral("_x([0-9A-Fa-f]{4})_"));
            for (auto m = escaped.match(text); m.hasMatch(); m = escaped.match(text, m.capturedStart() + 1))
                text.replace(m.capturedStart(), m.capturedLength(), QChar(m.captured(1).toUShort(nullptr, 16)));
            QStringList &row = rows.last();
            while (row.size() <= col)
                row << QString();
            row[col] = text;
        }
    }
    if (xml.hasError())
        throw std::runtime_error(xml.errorString().toStdString());
    return rows;
}

QList<QStringList> parseCsv(const QByteArray &bytes)
{
    QByteArray data = bytes;
    if (data.startsWith("\xEF\xBB\xBF"))
        data.remove(0, 3);
    const QString text = QString::fromUtf8(data);
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        if (quoted) {
            if (ch == QLatin1Char('"') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('"')) {
                field += ch;
                ++i;
            } else if (ch == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += ch;
            }
        } else if (ch == QLatin1Char('"')) {
            quoted = true;
        } else if (ch == QLatin1Char(';')) {
            record << field;
            field.clear();
        } else if (ch == QLatin1Char('\r') && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n')) {
            record << field;
            records << record;
            record.clear();
            field.clear();
            ++i;
        } else {
            field += ch;
        }
    }
    if (!field.isEmpty() || !record.isEmpty())
        throw std::runtime_error("CSV does not end with CRLF");
    return records;
}

TestTable::TestTable(const QStringList &titles, QList<QStringList> data) : rows(std::move(data))
{
    table.title = QStringLiteral("Parâmetros de Grupo Fiscal");
    table.screenCode = QStringLiteral("GER10200");
    table.section = QStringLiteral("Fornecedor");
    for (const QString &t : titles)
        table.columns << reports::ReportColumn{t, 20, Qt::AlignLeft};
    table.rowCount = int(rows.size());
    table.text = [this](int r, int c) { return rows.at(r).at(c); };
}

} // namespace fiscal::test
