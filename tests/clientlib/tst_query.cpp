// The query component and the local cache on a real demo database (SQLite file or the
// PostgreSQL test cluster), through the shared data module.
#include "clientlib/adoibquery.h"
#include "clientlib/dbgeral.h"
#include "clientlib/localcache.h"
#include "clientlib/settings.h"
#include "dataset/datasource.h"
#include "testsupport.h"

#include "qtprint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace fiscal;
using namespace fiscal::clientlib;

namespace {

class QueryTest : public ::testing::TestWithParam<test::Backend> {
protected:
    void SetUp() override
    {
        db = test::TestDb::create(GetParam());
        Settings::instance().setDatabase(QString::fromStdString(db->url()));
        LocalCache::instance().clear();
    }
    void TearDown() override
    {
        dtmDBGeral().close();
    }
    std::string firstValue(const std::string &sql, const test::TestDb::Row &params = {})
    {
        return db->scalar(sql, params).value_or("");
    }

    std::unique_ptr<test::TestDb> db;
};

// The screens' lookups, with the parameter values they set.
TEST_P(QueryTest, ScreenQueriesFindWhatTheDatabaseHolds)
{
    const std::string empresa = firstValue("SELECT MIN(CDEMPRESA) FROM EMPRESA");
    const std::string imposto = firstValue("SELECT MIN(CDIMPOSTO) FROM IMPOSTO");
    const std::string inscricao = firstValue("SELECT MIN(CDINSCESTA) FROM INSCRESTAD WHERE CDEMPRESA = $1", {empresa});
    ASSERT_FALSE(empresa.empty());
    ASSERT_FALSE(imposto.empty());
    ASSERT_FALSE(inscricao.empty());
    const QString qEmpresa = QString::fromStdString(empresa);

    struct Case {
        const char *sql;
        std::vector<std::pair<const char *, QString>> params;
        std::string expectedCountSql;
        std::vector<std::optional<std::string>> countParams;
    };
    const std::vector<Case> cases = {
        {"SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E WHERE (E.CDEMPRESA = :P_CDEMPRESA OR :P_TCDEMPRESA = 'T') ORDER BY E.CDEMPRESA",
         {{"P_CDEMPRESA", QString()}, {"P_TCDEMPRESA", QStringLiteral("T")}},
         "SELECT COUNT(*) FROM EMPRESA", {}},
        {"SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E WHERE (E.CDEMPRESA = :P_CDEMPRESA OR :P_TCDEMPRESA = 'T') ORDER BY E.CDEMPRESA",
         {{"P_CDEMPRESA", qEmpresa}, {"P_TCDEMPRESA", QString()}},
         "SELECT COUNT(*) FROM EMPRESA WHERE CDEMPRESA = $1", {empresa}},
        {"SELECT CDIMPOSTO, NMIMPOSTO FROM IMPOSTO WHERE CDIMPOSTO = :P_CDIMPOSTO",
         {{"P_CDIMPOSTO", QString::fromStdString(imposto)}},
         "SELECT 1", {}},
        {"SELECT CDIMPOSTO, NMIMPOSTO FROM IMPOSTO WHERE CDIMPOSTO = :P_CDIMPOSTO",
         {{"P_CDIMPOSTO", QStringLiteral("zz")}},
         "SELECT 0", {}},
        {"SELECT I.CDINSCESTA FROM INSCRESTAD I WHERE I.CDEMPRESA = :P_CDEMPRESA "
         "AND (I.CDINSCESTA = :P_CDINSCESTA OR :P_TCDINSCESTA = 'T')",
         {{"P_CDEMPRESA", qEmpresa}, {"P_CDINSCESTA", QString()}, {"P_TCDINSCESTA", QStringLiteral("T")}},
         "SELECT COUNT(*) FROM INSCRESTAD WHERE CDEMPRESA = $1", {empresa}},
        // A quote in a value is data, never SQL.
        {"SELECT CDEMPRESA FROM EMPRESA WHERE NMEMPRESA = :P_NOME",
         {{"P_NOME", QStringLiteral("x' OR '1'='1")}},
         "SELECT 0", {}},
    };
    for (const Case &c : cases) {
        TADOIBQuery qry;
        qry.setSQL(QString::fromUtf8(c.sql));
        qry.Close();
        for (const auto &[name, value] : c.params) {
            qry.ParamByName(QString::fromUtf8(name)).setAsString(value);
        }
        qry.Open();
        EXPECT_EQ(qry.RecordCount(), db->count(c.expectedCountSql, c.countParams)) << c.sql;
        EXPECT_EQ(qry.IsEmpty(), qry.RecordCount() == 0);
    }
}

TEST_P(QueryTest, FieldsReadAsStringsAndShowThroughADataSource)
{
    TADOIBQuery qry;
    qry.setSQL(QStringLiteral("SELECT cdempresa, nmrazsocempr FROM EMPRESA WHERE CDEMPRESA = :P_CDEMPRESA"));
    const std::string empresa = firstValue("SELECT MIN(CDEMPRESA) FROM EMPRESA");
    qry.ParamByName(QStringLiteral(":p_cdempresa")).setAsString(QString::fromStdString(empresa));
    dataset::TDataSource dts;
    dts.setDataSet(&qry);
    qry.Open();
    EXPECT_EQ(dts.State(), dataset::dsBrowse);
    ASSERT_EQ(qry.RecordCount(), 1);
    EXPECT_EQ(qry.FieldByName(QStringLiteral("CDEMPRESA"))->AsString(), QString::fromStdString(empresa));
    EXPECT_EQ(qry.Fields(1)->FieldName(), QStringLiteral("NMRAZSOCEMPR"));
    EXPECT_EQ(qry.FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString().toStdString(),
              firstValue("SELECT NMRAZSOCEMPR FROM EMPRESA WHERE CDEMPRESA = '" + empresa + "'"));
    EXPECT_TRUE(qry.Fields(0)->ReadOnly());

    // Open on an open query changes nothing; Close and Open runs it with new values.
    qry.ParamByName(QStringLiteral("P_CDEMPRESA")).setAsString(QStringLiteral("zz"));
    qry.Open();
    EXPECT_EQ(qry.RecordCount(), 1);
    qry.Close();
    EXPECT_EQ(dts.State(), dataset::dsInactive);
    qry.Open();
    EXPECT_TRUE(qry.IsEmpty());
}

// A desktop stays open for days: a session the database ended meanwhile (a restart, a
// terminated backend) is opened again by the next lookup, not failed from then on.
TEST_P(QueryTest, ALookupAfterTheDatabaseEndedTheSessionOpensANewOne)
{
    if (GetParam() != test::Backend::Postgres)
        GTEST_SKIP() << "a SQLite file has no session to end";
    TADOIBQuery qry;
    qry.setSQL(QStringLiteral("SELECT COUNT(*) AS N FROM IMPOSTO"));
    qry.Open();
    const QString count = qry.FieldByName(QStringLiteral("N"))->AsString();
    qry.Close();
    const std::string others = " FROM pg_stat_activity WHERE datname = current_database() AND pid <> pg_backend_pid()";
    db->exec("SELECT pg_terminate_backend(pid)" + others);
    // Gone from the list once its backend has exited, and so its socket closed.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (firstValue("SELECT COUNT(*)" + others) != "0" && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    qry.Open();
    EXPECT_EQ(qry.FieldByName(QStringLiteral("N"))->AsString(), count);
}

TEST_P(QueryTest, TextPerDatabaseAndClearErrors)
{
    TADOIBQuery qry;
    qry.setSQL(QStringLiteral("SELECT 'geral' AS ORIGEM"));
    qry.setSQL_ORACLE(QStringLiteral("SELECT 'oracle' AS ORIGEM FROM DUAL"));
    qry.setSQL_SQLITE(QStringLiteral("SELECT 'sqlite' AS ORIGEM"));
    qry.Open();
    const char *expected = GetParam() == test::Backend::Sqlite ? "sqlite" : "geral";
    EXPECT_EQ(qry.FieldByName(QStringLiteral("ORIGEM"))->AsString(), QString::fromUtf8(expected));

    // Text comes back as the database holds it, a leading U+FEFF included.
    TADOIBQuery mark;
    mark.setSQL(QStringLiteral("SELECT :P_X AS VALOR"));
    const QString marked = QString(QChar(0xFEFF)) + QStringLiteral("Ação");
    mark.ParamByName(QStringLiteral("P_X")).setAsString(marked);
    mark.Open();
    EXPECT_EQ(mark.FieldByName(QStringLiteral("VALOR"))->AsString(), marked);

    TADOIBQuery bad;
    bad.setSQL(QStringLiteral("SELECT X FROM TABELA_QUE_NAO_EXISTE WHERE X = :P_X"));
    EXPECT_THROW(bad.ParamByName(QStringLiteral("P_Y")), dataset::EDatabaseError);
    bad.ParamByName(QStringLiteral("P_X")).setAsString(QStringLiteral("1"));
    try {
        bad.Open();
        ADD_FAILURE() << "a query of a missing table opened";
    } catch (const dataset::EDatabaseError &e) {
        // Said to the clerk in Portuguese; the database's own English goes to the log.
        EXPECT_TRUE(e.message().startsWith(QStringLiteral("Falha na consulta ao banco de dados: o banco de dados ")))
            << e.message().toStdString();
        for (const char *english : {"statement", "table", "SQLSTATE", "error"})
            EXPECT_FALSE(e.message().contains(QLatin1String(english), Qt::CaseInsensitive)) << e.message().toStdString();
    }
    EXPECT_FALSE(bad.Active());
}

TEST_P(QueryTest, LocalCacheRefreshesPerKeyAndDropsEverything)
{
    LocalCache &cache = LocalCache::instance();
    // Reads since this test began (the counts are the process's, over every backend).
    QMap<QString, int> base;
    for (const QString &key : LocalCache::tableKeys())
        base[key] = cache.loadCount(key);
    const auto reads = [&](const char *key) { return cache.loadCount(QLatin1String(key)) - base[QLatin1String(key)]; };
    for (const QString &key : LocalCache::tableKeys()) {
        const dataset::DataPacket &t = cache.table(key);
        EXPECT_EQ(t.rows.size(), db->count("SELECT COUNT(*) FROM " + key.toStdString())) << key.toStdString();
        EXPECT_EQ(cache.loadCount(key) - base[key], 1);
    }

    // A save elsewhere, then the refresh of that key: the table is dropped, not read again
    // until it is used (a save of one row must not wait for the whole table); then the
    // cache shows it, and the other tables were never read again.
    const std::string cliente = firstValue("SELECT MIN(CDCLIENTE) FROM CLIENTE");
    db->exec("UPDATE CLIENTE SET CDGRUPOFISC = NULL WHERE CDCLIENTE = $1", {cliente});
    AtualizaLocalCache({QStringLiteral("cliente")});
    EXPECT_FALSE(cache.isCached(QStringLiteral("CLIENTE")));
    EXPECT_EQ(reads("CLIENTE"), 1);
    EXPECT_TRUE(cache.isCached(QStringLiteral("FORNECEDOR")));
    const dataset::DataPacket &clientes = cache.table(QStringLiteral("CLIENTE"));
    int code = -1, group = -1;
    for (int i = 0; i < clientes.fields.size(); ++i) {
        if (clientes.fields.at(i).name == QStringLiteral("CDCLIENTE")) code = i;
        if (clientes.fields.at(i).name == QStringLiteral("CDGRUPOFISC")) group = i;
    }
    ASSERT_GE(code, 0);
    ASSERT_GE(group, 0);
    EXPECT_EQ(reads("CLIENTE"), 2);
    EXPECT_EQ(reads("FORNECEDOR"), 1);
    bool found = false;
    for (const dataset::Row &row : clientes.rows) {
        if (row.text(code) == QString::fromStdString(cliente)) {
            found = true;
            EXPECT_TRUE(row.isNull(group));
        }
    }
    EXPECT_TRUE(found);

    AtualizaLocalCache({QStringLiteral("DELETECACHE")});
    for (const QString &key : LocalCache::tableKeys()) {
        EXPECT_FALSE(cache.isCached(key)) << key.toStdString();
    }
    cache.table(QStringLiteral("FILIAL"));   // read again on its next use
    EXPECT_EQ(reads("FILIAL"), 2);

    EXPECT_THROW(AtualizaLocalCache({QStringLiteral("GRUPOFISCAL; DROP TABLE CLIENTE")}), dataset::EDatabaseError);
    EXPECT_THROW(AtualizaLocalCache({}), dataset::EDatabaseError);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM CLIENTE") > 0, true);
}

INSTANTIATE_TEST_SUITE_P(Backends, QueryTest, ::testing::ValuesIn(test::backendsUnderTest()),
                         test::BackendParamName());

TEST(DtmDBGeral, MissingDatabaseIsAClearError)
{
    Settings::instance().setDatabase(QStringLiteral("/nonexistent/fiscal.sqlite"));
    dtmDBGeral().close();
    try {
        dtmDBGeral().connection();
        ADD_FAILURE() << "opened a database that does not exist";
    } catch (const dataset::EDatabaseError &e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("/nonexistent/fiscal.sqlite")));
    }
    Settings::instance().setDatabase(QString());
    EXPECT_THROW(dtmDBGeral().connection(), dataset::EDatabaseError);
}

// Every PostgreSQL connection string is tried as one, not taken for a missing file, and
// the refusal never shows the text (it may hold a password).
TEST(DtmDBGeral, APostgresConnectionStringIsNeverTakenForAFileNorShown)
{
    for (const char *url : {"user=fiscal password=s3cret host=/nonexistent dbname=fiscal",
                            "host = /nonexistent dbname=fiscal password=s3cret",
                            "hostaddr=127.0.0.1 port=1 password=s3cret connect_timeout=2"}) {
        SCOPED_TRACE(url);
        Settings::instance().setDatabase(QString::fromLatin1(url));
        dtmDBGeral().close();
        try {
            dtmDBGeral().connection();
            ADD_FAILURE() << "opened a database that does not exist";
        } catch (const dataset::EDatabaseError &e) {
            EXPECT_TRUE(e.message().startsWith(QStringLiteral("Não foi possível abrir o banco de dados: o banco de dados "
                                                              "não respondeu"))) << e.message().toStdString();
            EXPECT_FALSE(e.message().contains(QStringLiteral("s3cret"))) << e.message().toStdString();
            for (const char *english : {"connecting", "PostgreSQL", "server", "failed"})
                EXPECT_FALSE(e.message().contains(QLatin1String(english), Qt::CaseInsensitive)) << e.message().toStdString();
        }
    }
    Settings::instance().setDatabase(QString());
    dtmDBGeral().close();
}

} // namespace
