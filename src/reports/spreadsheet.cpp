#include "reports/spreadsheet.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QTemporaryFile>

#include <xlsxwriter.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fiscal::reports {

namespace {

constexpr int kProgressEvery = 2000;

QString sheetName(const ReportTable &t)
{
    QString name = t.section.isEmpty() ? t.title : t.section;
    for (QChar &ch : name) {
        if (QStringLiteral("[]:*?/\\").contains(ch))
            ch = QLatin1Char('-');
    }
    name = name.left(31).trimmed();
    return name.isEmpty() ? QStringLiteral("Planilha") : name;
}

[[noreturn]] void fail(const QString &path, const QString &why)
{
    throw ExportError(QStringLiteral("Não foi possível gravar o arquivo %1: %2").arg(path, why).toStdString());
}

// Widths in characters: the title, the width the report asks, and the first rows.
QList<double> columnWidths(const ReportTable &t)
{
    QList<double> widths;
    for (int c = 0; c < t.columns.size(); ++c) {
        int w = qMax(int(t.columns.at(c).title.size()), t.columns.at(c).width);
        for (int r = 0; r < qMin(t.rowCount, 500); ++r)
            w = qMax(w, int(t.text(r, c).size()));
        widths << qMin(w + 2, 80);
    }
    return widths;
}

// Holds a workbook until it is closed, so that an exception does not leak it.
struct Workbook {
    lxw_workbook *wb = nullptr;
    ~Workbook()
    {
        if (wb)
            workbook_close(wb);
    }
};

} // namespace

QByteArray csvField(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    // A name such as "=HIPERLINK(...)" would run as a formula where the file is opened: the
    // apostrophe makes it text there, shown as typed.
    static const QByteArray kFormulaStart("=+-@\t\r");
    if (!utf8.isEmpty() && kFormulaStart.contains(utf8.front()))
        utf8.prepend('\'');
    if (!utf8.contains(';') && !utf8.contains('"') && !utf8.contains('\n') && !utf8.contains('\r'))
        return utf8;
    utf8.replace("\"", "\"\"");
    return '"' + utf8 + '"';
}

bool writeCsv(const ReportTable &t, const QString &path, const ExportProgress &progress)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(path, file.errorString());
    QByteArray chunk("\xEF\xBB\xBF");
    auto endLine = [&chunk] { chunk += "\r\n"; };
    for (int c = 0; c < t.columns.size(); ++c) {
        if (c)
            chunk += ';';
        chunk += csvField(t.columns.at(c).title);
    }
    endLine();
    for (int r = 0; r < t.rowCount; ++r) {
        for (int c = 0; c < t.columns.size(); ++c) {
            if (c)
                chunk += ';';
            chunk += csvField(t.text(r, c));
        }
        endLine();
        if ((r + 1) % kProgressEvery == 0) {
            if (file.write(chunk) != chunk.size())
                fail(path, file.errorString());
            chunk.clear();
            if (progress && !progress(r + 1, t.rowCount)) {
                file.cancelWriting();
                return false;
            }
        }
    }
    if (file.write(chunk) != chunk.size() || !file.commit())
        fail(path, file.errorString());
    return true;
}

bool writeXlsx(const ReportTable &t, const QString &path, const ExportProgress &progress)
{
    if (t.rowCount > kXlsxMaxRows)
        fail(path, QStringLiteral("uma planilha comporta no máximo %1 linhas, e o relatório tem %2.")
                       .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(kXlsxMaxRows),
                            QLocale(QLocale::Portuguese, QLocale::Brazil).toString(t.rowCount)));
    const QFileInfo target(path);
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.") + target.completeBaseName()
                        + QStringLiteral(".XXXXXX.xlsx"));
    if (!temp.open())
        fail(path, temp.errorString());
    temp.close();
    const QByteArray tempName = QFile::encodeName(temp.fileName());

    const QList<double> widths = columnWidths(t);
    {
        Workbook book;
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;   // rows go to disk as they are written
        book.wb = workbook_new_opt(tempName.constData(), &options);
        if (!book.wb)
            fail(path, QStringLiteral("a planilha não pôde ser criada."));
        const QByteArray name = sheetName(t).toUtf8();
        lxw_worksheet *sheet = workbook_add_worksheet(book.wb, name.constData());
        lxw_format *bold = workbook_add_format(book.wb);
        format_set_bold(bold);
        format_set_bottom(bold, LXW_BORDER_THIN);
        lxw_format *text = workbook_add_format(book.wb);
        format_set_num_format(text, "@");

        QByteArray title = (t.section.isEmpty() ? t.title : t.title + QStringLiteral(" - ") + t.section).toUtf8();
        QByteArray subject = t.context.join(QStringLiteral("; ")).toUtf8();
        lxw_doc_properties props{};
        props.title = title.data();
        props.subject = subject.data();
        workbook_set_properties(book.wb, &props);

        const auto columns = lxw_col_t(t.columns.size());
        for (lxw_col_t c = 0; c < columns; ++c)
            worksheet_set_column(sheet, c, c, widths.at(int(c)), text);
        worksheet_freeze_panes(sheet, 1, 0);
        if (columns > 0)
            worksheet_autofilter(sheet, 0, 0, lxw_row_t(t.rowCount), columns - 1);

        lxw_error err = LXW_NO_ERROR;
        for (lxw_col_t c = 0; c < columns && !err; ++c)
            err = worksheet_write_string(sheet, 0, c, t.columns.at(int(c)).title.toUtf8().constData(), bold);
        for (int r = 0; r < t.rowCount && !err; ++r) {
            for (lxw_col_t c = 0; c < columns && !err; ++c) {
                const QString value = t.text(r, int(c));
                if (!value.isEmpty())
                    err = worksheet_write_string(sheet, lxw_row_t(r + 1), c, value.toUtf8().constData(), text);
            }
            if ((r + 1) % kProgressEvery == 0 && progress && !progress(r + 1, t.rowCount))
                return false;   // the temporary file goes with `temp`
        }
        if (err)
            fail(path, QString::fromUtf8(lxw_strerror(err)));
        lxw_error closed = workbook_close(book.wb);
        book.wb = nullptr;
        if (closed)
            fail(path, QString::fromUtf8(lxw_strerror(closed)));
    }
    // rename() replaces an existing file in one step.
    if (std::rename(tempName.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) != 0)
        fail(path, QString::fromLocal8Bit(std::strerror(errno)));
    temp.setAutoRemove(false);
    return true;
}

} // namespace fiscal::reports
