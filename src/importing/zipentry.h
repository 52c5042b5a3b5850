#pragma once
// The zip side of XLSX and ODS, through the system's minizip (the library the XLSX export
// already loads; see docs/decisions.md on why not a second copy of it): which of the two a zip is, and its entries read through a
// device that refuses to expand past a limit (a zip bomb ends there, with a message, after
// reading no more than the limit). XML is read with every DTD refused, so no entity of any
// kind (internal expansion or external file) is ever declared.

#include "importing/sheetsource.h"

#include <QIODevice>
#include <QXmlStreamReader>

#include <memory>

namespace fiscal::importing {

enum class ZipKind { Xlsx, Ods, Other };
ZipKind zipKind(const QString &path);   // ReadError when the zip is broken

class ZipArchive;

// One entry, decompressed as it is read, at most `limit` bytes.
class ZipEntry : public QIODevice {
public:
    ZipEntry(ZipArchive &zip, const QString &name, std::int64_t limit);
    ~ZipEntry() override;
    bool isSequential() const override { return true; }
    bool exceeded() const { return m_exceeded; }
    std::int64_t limit() const { return m_limit; }
    bool broken() const { return m_broken; }
    // After reading to the end: ReadError when the entry's checksum is wrong.
    void verify();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    void *m_zip;                  // unzFile, with this entry open
    std::int64_t m_limit;
    std::int64_t m_read = 0;
    bool m_open = false;
    bool m_exceeded = false;
    bool m_broken = false;
};

class ZipArchive {
public:
    ZipArchive(const QString &path, const Limits &limits);
    ~ZipArchive();
    ZipArchive(const ZipArchive &) = delete;
    ZipArchive &operator=(const ZipArchive &) = delete;
    bool has(const QString &name) const;
    QStringList names() const;
    const Limits &limits() const { return m_limits; }
    void *handle() const { return m_zip; }   // unzFile

private:
    void *m_zip = nullptr;
    Limits m_limits;
    QStringList m_names;
};

// Reads the next token; throws ReadError on a DTD, on malformed XML and when the entry
// passes its limit. False at the end of the document.
bool nextToken(QXmlStreamReader &x, ZipEntry &entry);

[[noreturn]] void brokenFile(const QString &why);

} // namespace fiscal::importing
