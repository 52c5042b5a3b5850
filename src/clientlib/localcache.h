#pragma once
// The client's local cache of tables that many screens read and few change. After a
// screen saves one of them it refreshes the cache:
//
//   AtualizaLocalCache({"CLIENTE"});       drops CLIENTE; it is read again on its next use
//   AtualizaLocalCache({"DELETECACHE"});   drops every cached table (after a deletion)
//
// Keys: FORNECEDOR, CLIENTE, FILIAL, TIPOOPERAC, PARAMFILIAL, PARAMGERAL (each the table
// of that name) and DELETECACHE; case does not matter. An unknown key is an error, and a
// database failure leaves the table out of the cache (never a stale half-read table).
//
//   LocalCache::instance().table("CLIENTE")    the cached rows (reads them if needed)
//   LocalCache::instance().isCached("CLIENTE") / loadCount("CLIENTE") / clear()

#include "dataset/databaseerror.h"
#include "dataset/packet.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace fiscal::clientlib {

class LocalCache {
public:
    static LocalCache &instance();
    static const QStringList &tableKeys();

    // The cached table; reads it from the database when it is not cached.
    const dataset::DataPacket &table(const QString &key);
    bool isCached(const QString &key) const;
    // How many times the table was read from the database (for tests and diagnostics).
    int loadCount(const QString &key) const;

    // Drops the key's table (every table for DELETECACHE) until its next use.
    void refresh(const QString &key);
    void clear();

private:
    LocalCache() = default;
    static QString normalise(const QString &key);
    void load(const QString &key);

    QMap<QString, dataset::DataPacket> m_tables;
    QMap<QString, int> m_loads;
};

// keys: an array of one key, as the screens pass it; every key given is handled in order.
void AtualizaLocalCache(const QStringList &keys);

} // namespace fiscal::clientlib
