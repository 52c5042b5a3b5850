#include "importing/sheetsource.h"

#include "importing/csvsource.h"
#include "importing/odssource.h"
#include "importing/xlsxsource.h"
#include "importing/zipentry.h"

#include <QFile>
#include <QLocale>

#include <cmath>

namespace fiscal::importing {

std::unique_ptr<SheetSource> openSheetFile(const QString &path, const Limits &limits)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw ReadError(QStringLiteral("Não foi possível abrir o arquivo %1: %2.").arg(path, f.errorString()));
    const QByteArray head = f.read(8);
    f.close();
    if (head.startsWith("PK\x03\x04") || head.startsWith("PK\x05\x06")) {
        const ZipKind kind = zipKind(path);
        if (kind == ZipKind::Xlsx)
            return std::make_unique<XlsxSource>(path, limits);
        if (kind == ZipKind::Ods)
            return std::make_unique<OdsSource>(path, limits);
        throw ReadError(QStringLiteral("O arquivo compactado não é uma planilha XLSX nem ODS."));
    }
    if (head.startsWith("\xD0\xCF\x11\xE0"))
        throw ReadError(QStringLiteral("Planilhas no formato antigo do Excel (.xls) não são lidas: "
                                       "salve a planilha como .xlsx ou .csv."));
    return std::make_unique<CsvSource>(path, limits);
}

int firstVisibleSheet(const SheetSource &source)
{
    const std::vector<SheetInfo> list = source.sheets();
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!list[i].hidden)
            return int(i);
    }
    throw ReadError(QStringLiteral("A planilha não tem nenhuma folha visível."));
}

QString formulaWithoutValue()
{
    return QStringLiteral("#FÓRMULA SEM VALOR");
}

QString numberText(const QString &stored)
{
    const QString s = stored.trimmed();
    bool ok = false;
    const double d = s.toDouble(&ok);
    // Past 2^53 a double no longer holds every integer: keep the text as stored.
    if (!ok || !std::isfinite(d) || std::fabs(d) >= 9007199254740992.0)
        return s;
    if (d == std::floor(d))
        return QString::number(static_cast<long long>(d));
    return QString::number(d, 'f', QLocale::FloatingPointShortest);
}

namespace detail {

void putCell(QStringList &cells, int column, const QString &text, const Limits &limits)
{
    if (column < 0 || column >= limits.maxColumns)
        return;
    while (cells.size() < column)
        cells.append(QString());
    const QString cut = text.size() > limits.maxCellChars ? text.left(limits.maxCellChars) : text;
    if (cells.size() == column)
        cells.append(cut);
    else
        cells[column] = cut;
}

bool trimRow(QStringList &cells)
{
    while (!cells.isEmpty() && cells.last().trimmed().isEmpty())
        cells.removeLast();
    return !cells.isEmpty();
}

void tooManyRows(const Limits &limits)
{
    throw ReadError(QStringLiteral("A planilha tem mais de %1 linhas, o máximo que se importa de uma vez: "
                                   "divida-a em partes menores.")
                        .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(qlonglong(limits.maxRows))));
}

} // namespace detail

} // namespace fiscal::importing
