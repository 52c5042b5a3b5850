#include "reports/spreadsheet.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QTemporaryFile>

#include <minizip/unzip.h>
#include <xlsxwriter.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

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
    name = name.left(31);
    if (!name.isEmpty() && name.back().isHighSurrogate())
        name.chop(1);   // half of an emoji cut at the end would be written as a '?'
    // A sheet name may not begin or end with an apostrophe ("SANT'ANA" cut after the
    // apostrophe): the workbook would refuse the sheet.
    for (;;) {
        const QString cut = name.trimmed();
        if (cut.startsWith(QLatin1Char('\'')))
            name = cut.mid(1);
        else if (cut.endsWith(QLatin1Char('\'')))
            name = cut.chopped(1);
        else {
            name = cut;
            break;
        }
    }
    return name.isEmpty() ? QStringLiteral("Planilha") : name;
}

// The file system's own text for a failed flush is "Unknown error".
const QString kCutShort = QStringLiteral("o arquivo não foi gravado por inteiro (verifique o espaço livre no disco).");

} // namespace

QString writeFailure(const QFileDevice &file)
{
    return file.error() == QFileDevice::NoError ? kCutShort : file.errorString();
}

namespace {

[[noreturn]] void fail(const QString &path, const QString &why)
{
    throw ExportError(QStringLiteral("Não foi possível gravar o arquivo %1: %2").arg(path, why).toStdString());
}

// The workbook library's failures, said in Portuguese.
QString xlsxErrorText(lxw_error err)
{
    switch (err) {
    case LXW_ERROR_MEMORY_MALLOC_FAILED:
        return QStringLiteral("falta memória para montar a planilha.");
    case LXW_ERROR_CREATING_XLSX_FILE:
        return QStringLiteral("o arquivo não pôde ser criado (verifique a permissão de gravação na pasta).");
    case LXW_ERROR_CREATING_TMPFILE:
    case LXW_ERROR_READING_TMPFILE:
        return QStringLiteral("o arquivo temporário da planilha não pôde ser gravado ou lido na pasta escolhida "
                              "(verifique o espaço livre e a permissão de gravação).");
    case LXW_ERROR_ZIP_FILE_OPERATION:
    case LXW_ERROR_ZIP_FILE_ADD:
    case LXW_ERROR_ZIP_CLOSE:
        return QStringLiteral("a gravação do arquivo falhou (verifique o espaço livre no disco).");
    case LXW_ERROR_MAX_STRING_LENGTH_EXCEEDED:
        return QStringLiteral("um texto passa de 32.767 caracteres, o máximo de uma célula.");
    default:
        return QStringLiteral("erro interno da biblioteca de planilhas (código %1).").arg(int(err));
    }
}

// The library does not check its own writes to its temporary files: a full disk can leave
// a sheet cut short in a zip that closes without an error. The sheet is read back to its
// end (checksum included) and its last row must be the last one written.
bool sheetIsWhole(const QByteArray &xlsx, int lastRow)
{
    unzFile zip = unzOpen64(xlsx.constData());
    if (!zip)
        return false;
    bool whole = false;
    if (unzLocateFile(zip, "xl/worksheets/sheet1.xml", 1) == UNZ_OK && unzOpenCurrentFile(zip) == UNZ_OK) {
        static const QByteArray rowStart("<row r=\"");
        QByteArray tail;
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        int seenRow = 0;
        int n = 0;
        while ((n = unzReadCurrentFile(zip, chunk.data(), unsigned(chunk.size()))) > 0) {
            tail += QByteArrayView(chunk.constData(), n);
            const qsizetype at = tail.lastIndexOf(rowStart);
            if (at >= 0) {
                const qsizetype from = at + rowStart.size();
                const qsizetype end = tail.indexOf('"', from);
                if (end > from)
                    seenRow = tail.mid(from, end - from).toInt();
            }
            tail = tail.right(64);   // enough for a row's head cut between two reads
        }
        const bool checked = unzCloseCurrentFile(zip) == UNZ_OK;
        whole = n == 0 && checked && tail.trimmed().endsWith("</worksheet>") && seenRow == lastRow;
    }
    unzClose(zip);
    return whole;
}

// The mode a new file gets from this process (0666 less the umask), read where no thread
// can see it change.
// The library prints widths and margins with printf, in the C library's locale, which a
// desktop in Portuguese has set to a decimal comma (QApplication takes the system's): the
// sheet would then need repairing. For as long as it lives, this thread prints numbers with a
// point.
class PointForDecimals {
public:
    PointForDecimals()
    {
        // Numbers alone: messages, dates and characters stay the desktop's for whatever the
        // event loop runs meanwhile (the progress dialog draws while rows are written).
        if (const locale_t base = duplocale(LC_GLOBAL_LOCALE)) {
            m_c = newlocale(LC_NUMERIC_MASK, "C", base);
            if (!m_c)
                freelocale(base);
        }
        if (m_c)
            m_previous = uselocale(m_c);
    }
    ~PointForDecimals()
    {
        if (m_c) {
            uselocale(m_previous);
            freelocale(m_c);
        }
    }
    PointForDecimals(const PointForDecimals &) = delete;
    PointForDecimals &operator=(const PointForDecimals &) = delete;

private:
    locale_t m_c = locale_t(0);
    locale_t m_previous = locale_t(0);
};

QFileDevice::Permissions newFilePermissions()
{
    unsigned mask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("Umask:"))
                mask = line.mid(6).trimmed().toUInt(nullptr, 8);
    }
    QFileDevice::Permissions p;
    const std::pair<unsigned, QFileDevice::Permission> bits[] = {
        {0400, QFileDevice::ReadOwner}, {0200, QFileDevice::WriteOwner}, {0040, QFileDevice::ReadGroup},
        {0020, QFileDevice::WriteGroup}, {0004, QFileDevice::ReadOther}, {0002, QFileDevice::WriteOther}};
    for (const auto &[bit, permission] : bits)
        if (!(mask & bit))
            p |= permission;
    return p;
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
    // What the rows belong to ("Imposto: 01 - ICMS"), as the printout says it: without it two
    // exports of one tab for two taxes could not be told apart.
    for (const QString &line : t.context) {
        chunk += csvField(line);
        endLine();
    }
    if (!t.context.isEmpty())
        endLine();
    QList<int> columns;
    for (int c = 0; c < t.columns.size(); ++c)
        if (!t.columns.at(c).leftOutOfCsv)
            columns << c;
    for (int c : columns) {
        if (c != columns.first())
            chunk += ';';
        chunk += csvField(t.columns.at(c).title);
    }
    endLine();
    for (int r = 0; r < t.rowCount; ++r) {
        for (int c : columns) {
            if (c != columns.first())
                chunk += ';';
            chunk += csvField(t.text(r, c));
        }
        endLine();
        if ((r + 1) % kProgressEvery == 0) {
            if (file.write(chunk) != chunk.size())
                fail(path, writeFailure(file));
            chunk.clear();
            if (progress && !progress(r + 1, t.rowCount)) {
                file.cancelWriting();
                return false;
            }
        }
    }
    if (file.write(chunk) != chunk.size())
        fail(path, writeFailure(file));
    // commit() does not look at the buffer it writes out itself: flush first, and see.
    if (!file.flush())
        fail(path, kCutShort);
    if (!file.commit())
        fail(path, file.errorString());
    return true;
}

bool writeXlsx(const ReportTable &t, const QString &path, const ExportProgress &progress)
{
    // The context lines first, as in the CSV, then a blank row and the titles.
    const int headRows = t.context.isEmpty() ? 0 : int(t.context.size()) + 1;
    if (t.rowCount > kXlsxMaxRows - headRows)
        fail(path, QStringLiteral("uma planilha comporta no máximo %1 linhas, e o relatório tem %2.")
                       .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(kXlsxMaxRows - headRows),
                            QLocale(QLocale::Portuguese, QLocale::Brazil).toString(t.rowCount)));
    // Through a link, the file it points to is replaced and the link stays, as QSaveFile does.
    QFileInfo target(path);
    for (int hops = 0; target.isSymLink() && hops < 40; ++hops)
        target.setFile(target.symLinkTarget());
    // As a save of any other kind: a file the user made read-only is not replaced.
    if (target.exists() && !target.isWritable())
        fail(path, QStringLiteral("o arquivo existente não pode ser alterado (somente leitura)."));
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.") + target.completeBaseName()
                        + QStringLiteral(".XXXXXX.xlsx"));
    if (!temp.open())
        fail(path, temp.errorString());
    temp.close();
    const QByteArray tempName = QFile::encodeName(temp.fileName());

    const QList<double> widths = columnWidths(t);
    int lastRow = 0;   // the sheet's last row with a cell written, counted from 1
    {
        const PointForDecimals point;
        Workbook book;
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE;   // rows go to disk as they are written
        // Its temporary files beside the target, on the disk the file goes to, not in /tmp.
        QByteArray tempDir = QFile::encodeName(target.absolutePath());
        options.tmpdir = tempDir.data();
        book.wb = workbook_new_opt(tempName.constData(), &options);
        if (!book.wb)
            fail(path, QStringLiteral("a planilha não pôde ser criada."));
        const QByteArray name = sheetName(t).toUtf8();
        lxw_worksheet *sheet = workbook_add_worksheet(book.wb, name.constData());
        if (!sheet)
            fail(path, QStringLiteral("a folha \"%1\" não pôde ser criada.").arg(QString::fromUtf8(name)));
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
        const auto head = lxw_row_t(headRows);
        worksheet_freeze_panes(sheet, head + 1, 0);
        if (columns > 0)
            worksheet_autofilter(sheet, head, 0, head + lxw_row_t(t.rowCount), columns - 1);

        lxw_error err = LXW_NO_ERROR;
        for (int i = 0; i < t.context.size() && !err; ++i) {
            err = worksheet_write_string(sheet, lxw_row_t(i), 0, t.context.at(i).toUtf8().constData(), nullptr);
            lastRow = i + 1;
        }
        for (lxw_col_t c = 0; c < columns && !err; ++c)
            err = worksheet_write_string(sheet, head, c, t.columns.at(int(c)).title.toUtf8().constData(), bold);
        if (columns > 0)
            lastRow = int(head) + 1;
        for (int r = 0; r < t.rowCount && !err; ++r) {
            for (lxw_col_t c = 0; c < columns && !err; ++c) {
                const QString value = t.text(r, int(c));
                if (!value.isEmpty()) {
                    err = worksheet_write_string(sheet, head + lxw_row_t(r + 1), c, value.toUtf8().constData(), text);
                    lastRow = int(head) + r + 2;
                }
            }
            if ((r + 1) % kProgressEvery == 0 && progress && !progress(r + 1, t.rowCount))
                return false;   // the temporary file goes with `temp`
        }
        if (err)
            fail(path, xlsxErrorText(err));
        lxw_error closed = workbook_close(book.wb);
        book.wb = nullptr;
        if (closed)
            fail(path, xlsxErrorText(closed));
    }
    if (!sheetIsWhole(tempName, lastRow))
        fail(path, QStringLiteral("a planilha gravada ficou incompleta (verifique o espaço livre no disco)."));
    // The file as others would get it from any save here, or as the one it replaces was.
    if (!temp.setPermissions(target.exists() ? QFile::permissions(target.absoluteFilePath()) : newFilePermissions()))
        fail(path, temp.errorString());
    // On the disk before it takes the old file's name, as QSaveFile does for the other
    // formats: else a power cut soon after could leave an empty file where the old one was.
    const int fd = ::open(tempName.constData(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        fail(path, QString::fromLocal8Bit(std::strerror(errno)));
    // rename() replaces an existing file in one step.
    if (std::rename(tempName.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) != 0)
        fail(path, QString::fromLocal8Bit(std::strerror(errno)));
    temp.setAutoRemove(false);
    return true;
}

} // namespace fiscal::reports
