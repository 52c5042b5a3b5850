#pragma once
// The shared data module: the client's read-only database connection, opened from the
// settings (Settings::database(): a SQLite file or a PostgreSQL URL) on first use.
//
//   dtmDBGeral().connection()     the open connection (opens it; throws dataset::EDatabaseError)
//   dtmDBGeral().backend()        SQLite or PostgreSQL, for the query texts per database
//   dtmDBGeral().close()          drops it; the next use reopens with the current settings
//   auto inUse = dtmDBGeral().use();   held while statements of the connection run
//
// One per process copy of this library, used from the GUI thread; a long read may run on
// a thread of its own (adoibquery.h) while the GUI thread waits, holding use() meanwhile,
// so whatever else the waiting GUI thread reads (a timer) waits for it.

#include "dataset/databaseerror.h"
#include "storage/database.h"

#include <QString>
#include <memory>
#include <mutex>

namespace fiscal::clientlib {

// Failures to open or query the database carry a message for the user.
using dataset::EDatabaseError;

class TdtmDBGeral {
public:
    storage::Connection &connection();
    storage::Backend backend();
    bool isOpen() const { return m_connection != nullptr; }
    QString url() const { return m_url; }
    void close();
    std::unique_lock<std::mutex> use() { return std::unique_lock<std::mutex>(m_use); }

private:
    std::mutex m_use;
    std::unique_ptr<storage::Connection> m_connection;
    QString m_url;
};

TdtmDBGeral &dtmDBGeral();

// What a failure of the database means for the clerk, in Portuguese. The database's own text
// (English from libpq and SQLite, with SQLSTATEs) goes to standard error, for the
// administrator.
QString databaseFailureText(const std::exception &e);

} // namespace fiscal::clientlib
