#include "storage/backup.h"

#include "storage/database.h"
#include "storage/sqlite/sqliteconnection.h"

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fiscal::storage {

namespace {

[[noreturn]] void fail(sqlite3 *db, int rc, const std::string &what)
{
    throw Error(sqlite::kindOf(rc), what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

[[noreturn]] void failSystem(const std::string &what)
{
    const int err = errno;
    throw Error(err == ENOSPC ? Error::Kind::Full : Error::Kind::Other, what + ": " + std::strerror(err));
}

// A raw handle: the copies are not opened through open(), which would turn them into WAL
// databases and so write into a backup merely read.
class Handle {
public:
    Handle(const std::string &path, int flags)
    {
        const int rc = sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK)
            fail(m_db, rc, "opening '" + path + "'");
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, 10000);
    }
    ~Handle() { sqlite3_close_v2(m_db); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    sqlite3 *get() const { return m_db; }

    // The first column of the first row, "" when there is none.
    std::string value(const char *sql, const std::string &what) const
    {
        sqlite3_stmt *st = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr);
        if (rc != SQLITE_OK)
            fail(m_db, rc, what);
        rc = sqlite3_step(st);
        std::string out;
        if (rc == SQLITE_ROW && sqlite3_column_text(st, 0))
            out = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            fail(m_db, rc, what);
        return out;
    }

private:
    sqlite3 *m_db = nullptr;
};

// Every page of `from` into `to` in one step: one read transaction of `from`, so one
// moment of it, while its writers go on (WAL). Waits while `to` is being written.
void copyPages(const Handle &from, const Handle &to, const std::string &what)
{
    sqlite3_backup *b = sqlite3_backup_init(to.get(), "main", from.get(), "main");
    if (!b)
        fail(to.get(), sqlite3_errcode(to.get()), what);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int rc = SQLITE_OK;
    do {
        rc = sqlite3_backup_step(b, -1);
        if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && std::chrono::steady_clock::now() < giveUp)
            sqlite3_sleep(100);
        else
            break;
    } while (true);
    sqlite3_backup_finish(b);
    if (rc != SQLITE_DONE)
        fail(to.get(), rc, what);
}

// Sound pages and the fiscal tables; returns the schema's version (1 before versions).
int checkFiscal(const Handle &db, const std::string &path)
{
    const std::string check = db.value("PRAGMA quick_check", "checking '" + path + "'");
    if (check != "ok")
        throw Error(Error::Kind::Other, "'" + path + "' is damaged: " + check);
    const auto hasTable = [&](const char *sql) { return db.value(sql, "reading '" + path + "'") == "1"; };
    if (!hasTable("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'GRUPOFISCAL'"))
        throw Error(Error::Kind::Other, "'" + path + "' holds no fiscal database");
    if (!hasTable("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'VERSAOESQUEMA'"))
        return 1;
    const std::string version = db.value("SELECT MAX(NRVERSAO) FROM VERSAOESQUEMA", "reading '" + path + "'");
    return version.empty() ? 1 : std::stoi(version);
}

void syncPath(const std::string &path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        if (fd >= 0)
            ::close(fd);
        failSystem("writing '" + path + "' to disk");
    }
    ::close(fd);
}

// The copy takes its name only when whole, and never over a file. A hard link does both at
// once; where the file system has none (a FAT or exFAT disk), the name is first taken by an
// empty file of our own, which the copy then replaces.
void nameCopy(const std::string &partial, const std::string &copy)
{
    if (::link(partial.c_str(), copy.c_str()) == 0) {
        ::unlink(partial.c_str());
        return;
    }
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        failSystem("naming the copy '" + copy + "'");
    const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        failSystem("naming the copy '" + copy + "'");
    ::close(fd);
    if (::rename(partial.c_str(), copy.c_str()) != 0) {
        const int error = errno;
        ::unlink(copy.c_str());
        errno = error;
        failSystem("naming the copy '" + copy + "'");
    }
}

} // namespace

void backupSqlite(const std::string &database, const std::string &copy)
{
    namespace fs = std::filesystem;
    if (backendOf(database) != Backend::Sqlite)
        throw Error(Error::Kind::Other, "backup copies SQLite databases; for PostgreSQL use pg_dump");
    std::error_code ec;
    if (fs::exists(copy, ec))
        throw Error(Error::Kind::Other, "'" + copy + "' already exists; a backup never overwrites a file");
    // The copy is written under a name of its own beside its final one, so that a copy cut
    // short never looks like a whole one.
    std::string partial = copy + ".parcial-XXXXXX";
    const int fd = ::mkstemp(partial.data());   // mode 0600: the business's data
    if (fd < 0)
        failSystem("creating '" + partial + "'");
    ::close(fd);
    try {
        {
            // A database that is not there is an error, not a new empty one.
            const Handle from(database, SQLITE_OPEN_READWRITE);
            const Handle to(partial, SQLITE_OPEN_READWRITE);
            copyPages(from, to, "copying '" + database + "'");
            // The copy stands alone: a rollback journal, no WAL file beside it.
            if (to.value("PRAGMA journal_mode=DELETE", "writing '" + partial + "'") != "delete")
                throw Error(Error::Kind::Other, "'" + partial + "' kept its WAL journal");
            checkFiscal(to, partial);
        }
        syncPath(partial, O_RDONLY);
        nameCopy(partial, copy);
        syncPath(fs::path(copy).parent_path().empty() ? "." : fs::path(copy).parent_path().string(),
                 O_RDONLY | O_DIRECTORY);
    } catch (...) {
        ::unlink(partial.c_str());
        throw;
    }
}

int restoreSqlite(const std::string &copy, const std::string &database)
{
    if (backendOf(database) != Backend::Sqlite)
        throw Error(Error::Kind::Other, "restore fills SQLite databases; for PostgreSQL use pg_restore");
    const Handle from(copy, SQLITE_OPEN_READONLY);
    const int version = checkFiscal(from, copy);
    if (version > kSchemaVersion)
        throw Error(Error::Kind::Other, "'" + copy + "' has schema version " + std::to_string(version)
                                            + ", newer than this program's " + std::to_string(kSchemaVersion));
    // A database restored into a new file is for its owner's eyes only, as the copy was (a
    // rehearsal into /tmp must not hand every local user the business's data).
    const int fd = ::open(database.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    else if (errno != EEXIST)
        failSystem("creating '" + database + "'");
    const Handle to(database, SQLITE_OPEN_READWRITE);
    copyPages(from, to, "restoring into '" + database + "'");
    // The servers' journal, whatever the copy's header said.
    to.value("PRAGMA journal_mode=WAL", "writing '" + database + "'");
    return version;
}

} // namespace fiscal::storage
