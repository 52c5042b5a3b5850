// The two roads of the client's lookups give the same data: every statement of the
// module's catalogue, and every table of the local cache, read straight from the database
// and through the application server, on each backend.
#include "clientlib/adoibquery.h"
#include "clientlib/dbgeral.h"
#include "clientlib/localcache.h"
#include "clientlib/settings.h"
#include "protocol/lookups.h"
#include "testsupport.h"

#include "qtprint.h"

#include <gtest/gtest.h>

using namespace fiscal;
using namespace fiscal::clientlib;

namespace {

class RoadsTest : public ::testing::TestWithParam<test::Backend> {
protected:
    void SetUp() override
    {
        db = test::TestDb::create(GetParam());
        // A null in what the lookups read (the demo's names carry accents already).
        db->exec("UPDATE IMPOSTO SET IDORGARRECAD = NULL WHERE CDIMPOSTO = '02'");
        server = std::make_unique<test::ServerProcess>(db->url());
        Settings::instance().setServerHost(QStringLiteral("127.0.0.1"));
        Settings::instance().setServerPort(server->port());
    }
    void TearDown() override
    {
        Settings::instance().setDatabase(QString());
        dtmDBGeral().close();
        LocalCache::instance().clear();
    }
    void road(bool direct)
    {
        Settings::instance().setDatabase(direct ? QString::fromStdString(db->url()) : QString());
        dtmDBGeral().close();
        LocalCache::instance().clear();
    }

    std::unique_ptr<test::TestDb> db;
    std::unique_ptr<test::ServerProcess> server;
};

enum class Values { CodesAndAll, CodesOnly, Unset };

dataset::DataPacket runLookup(const protocol::Lookup &l, Values values)
{
    TADOIBQuery qry;
    qry.setSQL(QString::fromUtf8(l.sql));
    qry.setConsulta(QString::fromUtf8(l.name));
    if (values != Values::Unset) {
        for (const char *p : l.params) {
            const std::string name = p;
            QString v = name.find("GRUPO") != std::string::npos ? QStringLiteral("012") : QStringLiteral("01");
            if (name.starts_with("P_T"))
                v = values == Values::CodesAndAll ? QStringLiteral("T") : QString();
            qry.ParamByName(QString::fromStdString(name)).setAsString(v);
        }
    }
    qry.Open();
    return qry.Data();
}

TEST_P(RoadsTest, EveryCatalogueStatementAnswersTheSameOnBothRoads)
{
    int withRows = 0;
    for (const protocol::Lookup &l : protocol::allLookups()) {
        for (Values values : {Values::CodesAndAll, Values::CodesOnly, Values::Unset}) {
            SCOPED_TRACE(std::string(l.name) + " values " + std::to_string(int(values)));
            road(true);
            dataset::DataPacket direct;
            ASSERT_NO_THROW(direct = runLookup(l, values));
            road(false);
            dataset::DataPacket remote;
            ASSERT_NO_THROW(remote = runLookup(l, values));
            EXPECT_EQ(remote.fields, direct.fields);
            EXPECT_EQ(remote.rows.size(), direct.rows.size());
            EXPECT_TRUE(remote == direct);
            withRows += direct.rows.isEmpty() ? 0 : 1;
        }
    }
    EXPECT_GT(withRows, int(protocol::allLookups().size())) << "most lookups must have rows to compare";
}

TEST_P(RoadsTest, TheLocalCacheReadsTheSameTablesOnBothRoads)
{
    for (const QString &key : LocalCache::tableKeys()) {
        SCOPED_TRACE(key.toStdString());
        road(true);
        dataset::DataPacket direct;
        ASSERT_NO_THROW(direct = LocalCache::instance().table(key));
        road(false);
        dataset::DataPacket remote;
        ASSERT_NO_THROW(AtualizaLocalCache({key}));
        EXPECT_TRUE(LocalCache::instance().isCached(key));
        remote = LocalCache::instance().table(key);
        EXPECT_EQ(remote.fields, direct.fields);
        EXPECT_TRUE(remote == direct);
    }
}

// Without a database nor a server to ask, a lookup fails with a message, never empty data.
TEST_P(RoadsTest, AServerThatIsGoneIsAnErrorNotAnEmptyList)
{
    road(false);
    server->kill();
    const protocol::Lookup &l = protocol::findLookup(protocol::lookup::kGruposFiscais);
    TADOIBQuery qry;
    qry.setSQL(QString::fromUtf8(l.sql));
    qry.setConsulta(QString::fromUtf8(l.name));
    EXPECT_THROW(qry.Open(), dataset::EDatabaseError);
    EXPECT_FALSE(qry.Active());
    EXPECT_THROW(AtualizaLocalCache({QStringLiteral("CLIENTE")}), dataset::EDatabaseError);
    EXPECT_FALSE(LocalCache::instance().isCached(QStringLiteral("CLIENTE")));
}

INSTANTIATE_TEST_SUITE_P(Backends, RoadsTest, ::testing::ValuesIn(test::backendsUnderTest()),
                         test::BackendParamName());

} // namespace
