#include "clientlib/localcache.h"
#include "clientlib/statementpacket_p.h"

#include "clientlib/dbgeral.h"
#include "clientlib/remotelookup_p.h"
#include "protocol/lookups.h"

namespace fiscal::clientlib {

namespace {
const QString kDeleteCache = QStringLiteral("DELETECACHE");

// The catalogue's statement of each table, for the road through the server.
const char *consultaOf(const QString &key)
{
    namespace lookup = protocol::lookup;
    static const QMap<QString, const char *> names = {
        {QStringLiteral("FORNECEDOR"), lookup::kCacheFornecedor}, {QStringLiteral("CLIENTE"), lookup::kCacheCliente},
        {QStringLiteral("FILIAL"), lookup::kCacheFilial}, {QStringLiteral("TIPOOPERAC"), lookup::kCacheTipoOperac},
        {QStringLiteral("PARAMFILIAL"), lookup::kCacheParamFilial},
        {QStringLiteral("PARAMGERAL"), lookup::kCacheParamGeral},
    };
    return names.value(key);
}
dataset::DataPacket readTable(const QString &key)
{
    try {
        storage::Connection &db = dtmDBGeral().connection();
        const auto inUse = dtmDBGeral().use();
        // The key is one of the fixed table names above, never text from elsewhere.
        std::unique_ptr<storage::Statement> st = db.prepare(("SELECT * FROM " + key).toStdString());
        return readStatementPacket(*st);
    } catch (const storage::Error &e) {
        throw dataset::EDatabaseError(QStringLiteral("Falha ao atualizar o cache local (%1): %2")
                                          .arg(key, databaseFailureText(e)));
    }
}
} // namespace

LocalCache &LocalCache::instance()
{
    static LocalCache cache;
    return cache;
}

const QStringList &LocalCache::tableKeys()
{
    static const QStringList keys = {
        QStringLiteral("FORNECEDOR"), QStringLiteral("CLIENTE"), QStringLiteral("FILIAL"),
        QStringLiteral("TIPOOPERAC"), QStringLiteral("PARAMFILIAL"), QStringLiteral("PARAMGERAL"),
    };
    return keys;
}

QString LocalCache::normalise(const QString &key)
{
    const QString k = key.trimmed().toUpper();
    if (k != kDeleteCache && !tableKeys().contains(k)) {
        throw dataset::EDatabaseError(
            QStringLiteral("Chave de cache local desconhecida: \"%1\".").arg(key));
    }
    return k;
}

bool LocalCache::isCached(const QString &key) const
{
    return m_tables.contains(key.trimmed().toUpper());
}

int LocalCache::loadCount(const QString &key) const
{
    return m_loads.value(key.trimmed().toUpper());
}

const dataset::DataPacket &LocalCache::table(const QString &key)
{
    const QString k = normalise(key);
    if (k == kDeleteCache) {
        throw dataset::EDatabaseError(QStringLiteral("DELETECACHE não é uma tabela do cache local."));
    }
    if (!m_tables.contains(k)) {
        load(k);
    }
    return m_tables[k];
}

void LocalCache::refresh(const QString &key)
{
    const QString k = normalise(key);
    if (k == kDeleteCache) {
        clear();
        return;
    }
    // Dropped now, read again on its next use: a save of one row must not wait for the whole
    // table (500,000 clients) to come again, nor report a failed read after the save went in.
    m_tables.remove(k);
}

void LocalCache::load(const QString &k)
{
    dataset::DataPacket packet = lookupsThroughServer()
        ? remoteLookup(QString::fromLatin1(consultaOf(k)), {},
                       QStringLiteral("Falha ao atualizar o cache local (%1): ").arg(k))
        : readTable(k);
    m_tables.insert(k, std::move(packet));
    m_loads[k] += 1;
}

void LocalCache::clear()
{
    m_tables.clear();
}

void AtualizaLocalCache(const QStringList &keys)
{
    if (keys.isEmpty()) {
        throw dataset::EDatabaseError(QStringLiteral("Nenhuma chave de cache local informada."));
    }
    for (const QString &key : keys) {
        LocalCache::instance().refresh(key);
    }
}

} // namespace fiscal::clientlib
