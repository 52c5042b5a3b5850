#include "clientlib/adoibquery.h"
#include "clientlib/statementpacket_p.h"

#include "clientlib/dbgeral.h"
#include "clientlib/remotelookup_p.h"
#include "clientlib/waitloop.h"

#include <QScopeGuard>

#include <atomic>
#include <thread>

namespace fiscal::clientlib {

TADOIBQuery::TADOIBQuery(QObject *parent) : dataset::TClientDataSet(parent)
{
}

void TADOIBQuery::setSQL(const QString &sql)
{
    m_sql = sql;
    syncParams();
}

void TADOIBQuery::setSQL_SQLITE(const QString &sql)
{
    m_sqlSqlite = sql;
    syncParams();
}

void TADOIBQuery::setSQL_POSTGRES(const QString &sql)
{
    m_sqlPostgres = sql;
    syncParams();
}

QString TADOIBQuery::sqlFor(storage::Backend backend) const
{
    const QString &special = backend == storage::Backend::Sqlite ? m_sqlSqlite : m_sqlPostgres;
    return special.trimmed().isEmpty() ? m_sql : special;
}

void TADOIBQuery::syncParams()
{
    // The parameters are those of every text that can run here; values set before a text
    // change survive under the same name.
    std::vector<TParam> next;
    for (const QString *text : {&m_sql, &m_sqlSqlite, &m_sqlPostgres}) {
        const storage::NamedSql named = storage::translateNamed(text->toStdString());
        for (const std::string &n : named.names) {
            const QString name = QString::fromStdString(n);
            bool known = false;
            for (const TParam &p : next) {
                known = known || p.Name().compare(name, Qt::CaseInsensitive) == 0;
            }
            if (known) {
                continue;
            }
            TParam param(name);
            for (const TParam &old : m_params) {
                if (old.Name().compare(name, Qt::CaseInsensitive) == 0 && old.Value()) {
                    param.setAsString(*old.Value());
                }
            }
            next.push_back(param);
        }
    }
    m_params = std::move(next);
}

QStringList TADOIBQuery::ParamNames() const
{
    QStringList names;
    for (const TParam &p : m_params) {
        names.append(p.Name());
    }
    return names;
}

TParam &TADOIBQuery::ParamByName(const QString &name)
{
    QString wanted = name.trimmed();
    if (wanted.startsWith(QLatin1Char(':'))) {
        wanted.remove(0, 1);
    }
    for (TParam &p : m_params) {
        if (p.Name().compare(wanted, Qt::CaseInsensitive) == 0) {
            return p;
        }
    }
    throw dataset::EDatabaseError(QStringLiteral("%1: parâmetro '%2' não encontrado.").arg(objectName(), name));
}

void TADOIBQuery::Open()
{
    if (Active()) {
        return;
    }
    if (m_opening) {
        throw dataset::EDatabaseError(QStringLiteral("%1: a consulta ainda está em andamento.").arg(objectName()));
    }
    m_opening = true;
    const auto opened = qScopeGuard([this] { m_opening = false; });
    dataset::DataPacket packet =
        lookupsThroughServer() && !m_consulta.isEmpty() ? readThroughServer() : readDirect();
    setData(std::move(packet));
    for (int i = 0; i < FieldCount(); ++i) {
        Fields(i)->setReadOnly(true);
    }
}

dataset::DataPacket TADOIBQuery::readThroughServer()
{
    std::vector<std::optional<QString>> values;
    for (const TParam &p : m_params) {
        values.push_back(p.Value());
    }
    return remoteLookup(m_consulta, values, QStringLiteral("Falha na consulta ao banco de dados: "));
}

dataset::DataPacket TADOIBQuery::readDirect()
{
    // A session the database ended (a restart) may not have shown yet when the connection
    // was taken: a read is sent once more, on a new connection.
    for (int attempt = 1;; ++attempt) {
        try {
            return readDirectOnce();
        } catch (const storage::Error &e) {
            if (attempt > 1 || e.kind() != storage::Error::Kind::Connection)
                throw dataset::EDatabaseError(QStringLiteral("Falha na consulta ao banco de dados: %1").arg(databaseFailureText(e)));
        }
        dtmDBGeral().close();
    }
}

dataset::DataPacket TADOIBQuery::readDirectOnce()
{
    storage::Connection &db = dtmDBGeral().connection();
    const QString text = sqlFor(db.backend());
    if (text.trimmed().isEmpty()) {
        throw dataset::EDatabaseError(QStringLiteral("%1: consulta sem texto SQL.").arg(objectName()));
    }
    const storage::NamedSql named = storage::translateNamed(text.toStdString());
    std::vector<std::optional<QByteArray>> values;
    for (const std::string &name : named.names) {
        const TParam &p = ParamByName(QString::fromStdString(name));
        values.push_back(p.Value() ? std::optional<QByteArray>(p.Value()->toUtf8()) : std::nullopt);
    }
    // Read on a thread of its own while this one waits as for a server call: half a million
    // rows take seconds, and the screen stays drawn meanwhile.
    dataset::DataPacket packet;
    std::optional<storage::Error> failure;
    std::atomic<bool> finished = false;
    std::thread reader([&] {
        try {
            const auto inUse = dtmDBGeral().use();
            std::unique_ptr<storage::Statement> st = db.prepare(named.sql);
            for (size_t i = 0; i < values.size(); ++i) {
                if (values[i]) {
                    st->bind(int(i) + 1, std::string_view(values[i]->constData(), size_t(values[i]->size())));
                } else {
                    st->bind(int(i) + 1, std::nullopt);
                }
            }
            packet = readStatementPacket(*st);
        } catch (const storage::Error &e) {
            failure = e;
        } catch (const std::exception &e) {
            failure = storage::Error(storage::Error::Kind::Other, e.what());
        }
        finished = true;
    });
    waitWithoutInput([&] { return finished.load(); });
    reader.join();
    if (failure)
        throw *failure;
    return packet;
}

void TADOIBQuery::Close()
{
    dataset::TClientDataSet::Close();
}

} // namespace fiscal::clientlib
