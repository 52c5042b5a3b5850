#include "importing/zipentry.h"

#include <minizip/unzip.h>

#include <QFile>
#include <QLocale>

namespace fiscal::importing {

void brokenFile(const QString &why)
{
    throw ReadError(QStringLiteral("O arquivo está corrompido ou não é uma planilha válida (%1).").arg(why));
}

ZipArchive::ZipArchive(const QString &path, const Limits &limits) : m_limits(limits)
{
    m_zip = unzOpen64(QFile::encodeName(path).constData());
    if (!m_zip)
        brokenFile(QStringLiteral("zip ilegível"));
    // Only the names: every entry is read later, and only the ones a sheet needs.
    int err = unzGoToFirstFile(m_zip);
    while (err == UNZ_OK) {
        char name[512];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(m_zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
            brokenFile(QStringLiteral("índice do zip ilegível"));
        m_names << QString::fromUtf8(name);
        if (m_names.size() > 10000)
            brokenFile(QStringLiteral("arquivos demais no zip"));
        err = unzGoToNextFile(m_zip);
    }
    if (err != UNZ_END_OF_LIST_OF_FILE)
        brokenFile(QStringLiteral("índice do zip ilegível"));
}

ZipArchive::~ZipArchive()
{
    unzClose(m_zip);
}

bool ZipArchive::has(const QString &name) const
{
    return m_names.contains(name);
}

QStringList ZipArchive::names() const
{
    return m_names;
}

ZipKind zipKind(const QString &path)
{
    ZipArchive zip(path, Limits{});
    if (zip.has(QStringLiteral("xl/workbook.xml")))
        return ZipKind::Xlsx;
    if (zip.has(QStringLiteral("content.xml")) && zip.has(QStringLiteral("mimetype"))) {
        ZipEntry mime(zip, QStringLiteral("mimetype"), 256);
        if (mime.readAll().trimmed() == "application/vnd.oasis.opendocument.spreadsheet")
            return ZipKind::Ods;
    }
    return ZipKind::Other;
}

ZipEntry::ZipEntry(ZipArchive &zip, const QString &name, std::int64_t limit) : m_zip(zip.handle()), m_limit(limit)
{
    if (!zip.has(name) || unzLocateFile(m_zip, name.toUtf8().constData(), 1) != UNZ_OK)
        brokenFile(QStringLiteral("falta %1").arg(name));
    if (unzOpenCurrentFile(m_zip) != UNZ_OK)
        brokenFile(QStringLiteral("%1 ilegível").arg(name));
    m_open = true;
    open(QIODevice::ReadOnly);
}

ZipEntry::~ZipEntry()
{
    if (m_open)
        unzCloseCurrentFile(m_zip);
}

qint64 ZipEntry::readData(char *data, qint64 maxSize)
{
    if (m_exceeded || !m_open)
        return -1;
    const int n = unzReadCurrentFile(m_zip, data, unsigned(qMin<qint64>(maxSize, 1 << 20)));
    if (n < 0) {
        m_broken = true;
        return -1;
    }
    m_read += n;
    if (m_read > m_limit) {
        m_exceeded = true;
        return -1;
    }
    return n;
}

void ZipEntry::verify()
{
    m_open = false;
    if (unzCloseCurrentFile(m_zip) != UNZ_OK)
        brokenFile(QStringLiteral("soma de verificação errada"));
}

bool nextToken(QXmlStreamReader &x, ZipEntry &entry)
{
    const QXmlStreamReader::TokenType t = x.readNext();
    if (t == QXmlStreamReader::DTD || t == QXmlStreamReader::EntityReference)
        throw ReadError(QStringLiteral("A planilha contém declarações XML (DTD ou entidades) que não são aceitas."));
    if (entry.exceeded())
        throw ReadError(QStringLiteral("O conteúdo compactado da planilha passa de %1 MB ao ser expandido: "
                                       "o arquivo não é lido.")
                            .arg(QLocale(QLocale::Portuguese, QLocale::Brazil)
                                     .toString(qlonglong(entry.limit() / (1024 * 1024)))));
    if (entry.broken())
        brokenFile(QStringLiteral("dados compactados ilegíveis"));
    if (t == QXmlStreamReader::Invalid)
        brokenFile(QStringLiteral("XML inválido: %1").arg(x.errorString()));
    return t != QXmlStreamReader::EndDocument;
}

} // namespace fiscal::importing
