// PostgreSQL as deployed: the schema's owner migrates (fiscal-server migrate), the servers
// connect with a runtime role that reads and writes rows and nothing else; a migration
// and a server restart never make the other servers' saves wait behind a schema
// statement while a long bulk call holds its tables.

#include "groupchanges.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <unistd.h>

using namespace fiscal::test;
namespace storage = fiscal::storage;
using namespace std::chrono_literals;

namespace {

bool postgresUnderTest()
{
    const auto b = backendsUnderTest();
    return postgresClusterUrl() && std::find(b.begin(), b.end(), Backend::Postgres) != b.end();
}

// A database of its own on the test cluster, owned by a role of its own, and the role its
// servers use; nobody else may connect.
class OwnedDatabase {
public:
    explicit OwnedDatabase(const std::string &encoding = "UTF8")
    {
        static int n = 0;
        const std::string id = std::to_string(getpid()) + "_" + std::to_string(++n);
        name = "fiscal_m_" + id;
        owner = "dono_" + id;
        runtime = "servidor_" + id;
        m_admin = storage::open(*postgresClusterUrl());
        for (const std::string &sql : {"CREATE ROLE " + owner + " LOGIN", "CREATE ROLE " + runtime + " LOGIN",
                                       "CREATE DATABASE " + name + " OWNER " + owner + " ENCODING '" + encoding
                                           + "' TEMPLATE template0",
                                       "REVOKE ALL ON DATABASE " + name + " FROM PUBLIC"})
            m_admin->exec(sql);
    }
    ~OwnedDatabase()
    {
        try {
            m_admin->exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
            m_admin->exec("DROP ROLE IF EXISTS " + runtime);
            m_admin->exec("DROP ROLE IF EXISTS " + owner);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "cleanup failed: %s\n", e.what());
        }
    }

    // The cluster's URL (postgresql://user@host:port/db) for `role` on this database.
    std::string url(const std::string &role) const
    {
        const std::string cluster = *postgresClusterUrl();
        const auto user = cluster.find("://") + 3;
        const auto at = cluster.find('@', user);
        const auto slash = cluster.find('/', at);
        return cluster.substr(0, user) + role + cluster.substr(at, slash - at) + "/" + name;
    }
    std::unique_ptr<storage::Connection> connect(const std::string &role) const { return storage::open(url(role)); }

    // The schema and the small demo data, by the owner, as the deployment guide does it.
    void prepare() const
    {
        ExitResult r = runServer({"migrate", "--db", url(owner), "--runtime-role", runtime});
        ASSERT_EQ(r.code, 0) << r.err;
        r = runServer({"--db", url(owner), "--init", "--demo", "small"});
        ASSERT_EQ(r.code, 0) << r.err;
    }

    // Sessions of this database waiting for a lock.
    std::int64_t lockWaits() const
    {
        auto st = m_admin->prepare("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = $1 AND wait_event_type = 'Lock'");
        st->bind(1, name);
        st->step();
        return std::stoll(std::string(st->text(0)));
    }

    std::string scalar(const std::string &sql) const
    {
        auto c = connect(owner);
        auto st = c->prepare(sql);
        return st->step() && !st->isNull(0) ? std::string(st->text(0)) : "<null>";
    }

    std::string name, owner, runtime;

private:
    std::unique_ptr<storage::Connection> m_admin;
};

std::vector<GroupRow> firstRows(storage::Connection &c, const char *sql)
{
    std::vector<GroupRow> rows;
    auto st = c.prepare(sql);
    while (st->step())
        rows.emplace_back(std::string(st->text(0)),
                          st->isNull(1) ? std::nullopt : std::optional<std::string>(std::string(st->text(1))));
    return rows;
}

// A one-row save of a supplier through `port`, moving it to the group it does not have.
RpcResult saveSupplier(std::uint16_t port, storage::Connection &c)
{
    const auto rows = firstRows(c, "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR ORDER BY CDFORNECED LIMIT 1");
    const std::string to = rows.at(0).second == std::optional<std::string>("001") ? "002" : "001";
    return rpcCallAs("ana", port, kParamGrupFiscal, "SetFornecedor", {groupChanges("SetFornecedor", rows, to)});
}

// Waits, up to a minute, for `ready`; the minute is a hang's bound, not a measure.
template <typename Future>
bool within(Future &f)
{
    return f.wait_for(60s) == std::future_status::ready;
}

class Migration : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!postgresUnderTest())
            GTEST_SKIP() << "PostgreSQL only";
    }
};

// SQL_ASCII takes any bytes as text and counts VARCHAR sizes in bytes: no schema is made
// there, by either way of making one, and the operator is told why.
TEST_F(Migration, NoSchemaIsMadeWhereTextIsNotChecked)
{
    const OwnedDatabase db("SQL_ASCII");
    const std::vector<std::vector<std::string>> commands = {
        {"migrate", "--db", db.url(db.owner), "--runtime-role", db.runtime},
        {"--db", db.url(db.owner), "--init"},
    };
    for (const auto &command : commands) {
        SCOPED_TRACE(command.front());
        const ExitResult r = runServer(command);
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.err.find("SQL_ASCII"), std::string::npos) << r.err;
        EXPECT_EQ(db.scalar("SELECT to_regclass('grupofiscal') IS NULL"), "t");
    }
}

TEST_F(Migration, TheRuntimeRoleReadsAndWritesRowsAndNothingElse)
{
    OwnedDatabase db;
    db.prepare();
    if (HasFatalFailure())
        return;
    struct Attempt {
        const char *what;
        const char *sql;
        bool allowed;
    };
    const std::vector<Attempt> attempts{
        {"read rows", "SELECT COUNT(*) FROM CLIENTE", true},
        {"change rows", "UPDATE GRUPOFISCAL SET DSGRUPOFISC = DSGRUPOFISC", true},
        {"add a row", "INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('ZZ9', 'Novo')", true},
        {"delete rows", "DELETE FROM HISTITEM", true},
        {"draw an operation number",
         "INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS, QTINCLUIDOS,"
         " QTEXCLUIDOS) VALUES ('2026-01-01T00:00:00.000Z', 'ana', 'SetCliente', '[]', 1, 0, 0)",
         true},
        {"stage keys in a temporary table", "CREATE TEMP TABLE CHAVES (X TEXT) ON COMMIT DROP", true},
        {"hold a table for a bulk write", "LOCK TABLE CLIENTE IN SHARE ROW EXCLUSIVE MODE", true},
        {"read the schema's version", "SELECT NRVERSAO FROM VERSAOESQUEMA", true},
        {"change the schema's version", "UPDATE VERSAOESQUEMA SET NRVERSAO = 9", false},
        {"create a table", "CREATE TABLE OUTRA (X INTEGER)", false},
        {"add a column", "ALTER TABLE CLIENTE ADD COLUMN X INTEGER", false},
        {"create an index", "CREATE INDEX IX_OUTRO ON CLIENTE (NMFANTCLIE)", false},
        {"drop an index", "DROP INDEX IX_CLIENTE_GRUPO", false},
        {"drop a table", "DROP TABLE HISTITEM", false},
        {"empty a table at a stroke", "TRUNCATE HISTITEM", false},
        {"create a function", "CREATE FUNCTION F() RETURNS INTEGER LANGUAGE SQL AS 'SELECT 1'", false},
    };
    auto c = db.connect(db.runtime);
    for (const Attempt &a : attempts) {
        storage::Transaction t(*c);   // rolled back: what is allowed changes nothing
        bool ran = true;
        try {
            c->exec(a.sql);
        } catch (const storage::Error &) {
            ran = false;
        }
        EXPECT_EQ(ran, a.allowed) << a.what;
    }

    // A server with that role serves a bulk call, its undo and a one-row save.
    ServerProcess server(db.url(db.runtime));
    QCborArray everyClientTo002;
    for (const char *arg : {"CLIENTE", "002", "", "T", "", "", ""})
        everyClientTo002.append(QString::fromLatin1(arg));
    RpcResult r = rpcCallAs("ana", server.port(), kCadAutParGrpFis, "CadastroAutomatico", everyClientTo002);
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    r = rpcCallAs("ana", server.port(), "Ger10204.rdmHistorico", "DesfazOperacao",
                  {QString::fromStdString(db.scalar("SELECT MAX(IDOPERACAO) FROM HISTOPERACAO"))});
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    r = saveSupplier(server.port(), *c);
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM HISTOPERACAO"), "3");
}

TEST_F(Migration, OnlyTheOwnerMigratesAndNoServerServesAnotherVersion)
{
    OwnedDatabase db;
    db.prepare();
    if (HasFatalFailure())
        return;
    // Current: nothing to do, whoever asks.
    EXPECT_EQ(runServer({"--db", db.url(db.runtime), "--init"}).code, 0);
    db.connect(db.owner)->exec("UPDATE VERSAOESQUEMA SET NRVERSAO = 2");
    struct Refusal {
        std::vector<std::string> args;
        const char *says;
    };
    const std::string ownerOnly = "only its owner, role " + db.owner + ", may change it";
    const std::string older = "version 2 and this program serves version " + std::to_string(fiscal::storage::kSchemaVersion);
    const std::vector<Refusal> refusals{
        {{"--db", db.url(db.runtime), "--listen", "127.0.0.1:0"}, older.c_str()},
        {{"--db", db.url(db.owner), "--listen", "127.0.0.1:0"}, "run fiscal-server migrate"},
        {{"--db", db.url(db.runtime), "--init", "--listen", "127.0.0.1:0"}, ownerOnly.c_str()},
        {{"migrate", "--db", db.url(db.runtime)}, ownerOnly.c_str()},
        {{"migrate", "--db", db.url(db.owner), "--runtime-role", db.owner}, "owns the schema"},
        {{"migrate", "--db", db.url(db.owner), "--runtime-role", "ninguem_" + db.name}, "does not exist"},
        {{"migrate", "--db", db.url(db.owner), "--runtime-role", "Servidor;"}, "not a plain role name"},
    };
    for (const Refusal &c : refusals) {
        const ExitResult r = runServer(c.args);
        EXPECT_EQ(r.code, 1) << c.args[1] << " " << c.args[2];
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // The refused role migration stopped after the schema was done; the schema itself is.
    const ExitResult r = runServer({"migrate", "--db", db.url(db.owner), "--runtime-role", db.runtime});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(db.scalar("SELECT NRVERSAO FROM VERSAOESQUEMA"), std::to_string(fiscal::storage::kSchemaVersion));
    ServerProcess server(db.url(db.runtime));
    EXPECT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetGrupoFiscal", {QString()}).ok());
}

// Tables made by another role (a migration run once as the cluster's superuser adds the
// users' tables as its own): the owner's migrate cannot give the servers' role those, and
// says so instead of reporting it done while every sign-in then fails.
TEST_F(Migration, TablesOfAnotherOwnerAreNamedNotTakenForGranted)
{
    OwnedDatabase db;
    db.prepare();
    if (HasFatalFailure())
        return;
    const std::string cluster = *postgresClusterUrl();
    const std::size_t from = cluster.find("//") + 2;
    const std::string superuser = cluster.substr(from, cluster.find('@') - from);
    auto admin = db.connect(superuser);
    admin->exec("ALTER TABLE USUARIO OWNER TO " + superuser);
    admin->exec("REVOKE ALL ON USUARIO FROM " + db.runtime);
    const ExitResult r = runServer({"migrate", "--db", db.url(db.owner), "--runtime-role", db.runtime});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.err.find("usuario: they belong to role " + superuser), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("may read and write the rows"), std::string::npos) << r.out;
}

// A server restarted while a bulk call holds its tables (as the unit restarts one after a
// crash, or an upgrade does) must not take a lock the other servers' saves then queue behind.
TEST_F(Migration, ARestartDuringALongBulkCallHoldsNoSaveBack)
{
    OwnedDatabase db;
    db.prepare();
    if (HasFatalFailure())
        return;
    ServerProcess serving(db.url(db.runtime));
    auto rows = db.connect(db.runtime);

    auto bulk = db.connect(db.runtime);
    auto held = std::make_unique<storage::Transaction>(*bulk);
    bulk->exec("LOCK TABLE CLIENTE IN SHARE ROW EXCLUSIVE MODE");
    bulk->exec("UPDATE CLIENTE SET CDGRUPOFISC = CDGRUPOFISC");

    // As the unit of an instance starts: the migration, then the server as it was started
    // before roles were split (--init, by the owner).
    auto migrated = std::async(std::launch::async, [&] { return runServer({"migrate", "--db", db.url(db.owner)}); });
    // The server runs in a thread that outlives it: a child dies with the thread that made it.
    std::promise<bool> up;
    std::promise<void> done;
    auto restarted = up.get_future();
    std::thread restart([&, finished = done.get_future()] {
        try {
            ServerProcess server(db.url(db.owner), {.extraArgs = {"--init"}});
            up.set_value(server.running());
            finished.wait();
        } catch (const std::exception &e) {
            ADD_FAILURE() << e.what();
            up.set_value(false);
        }
    });
    // Both are up, or one of them waits for a lock.
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (db.lockWaits() == 0 && std::chrono::steady_clock::now() < until
           && (migrated.wait_for(0s) != std::future_status::ready || restarted.wait_for(0s) != std::future_status::ready))
        std::this_thread::sleep_for(20ms);

    auto saved = std::async(std::launch::async, [&] { return saveSupplier(serving.port(), *rows); });
    const bool savedWhileHeld = within(saved);
    EXPECT_TRUE(savedWhileHeld) << "a save of another table waited for the bulk call";
    EXPECT_TRUE(within(migrated) && within(restarted)) << "the restart waited for the bulk call";
    held.reset();
    EXPECT_TRUE(saved.get().ok());
    EXPECT_EQ(migrated.get().code, 0);
    EXPECT_TRUE(restarted.get());
    done.set_value();
    restart.join();
}

// A second migration waits for the first one's whole run, longer than a step may wait for
// its tables, and then finds nothing left to do.
TEST_F(Migration, ASecondMigrationWaitsForTheFirstToFinish)
{
    OwnedDatabase db;
    auto first = db.connect(db.owner);
    first->exec("SELECT pg_advisory_lock(4604232401)");
    auto second = std::async(std::launch::async, [&] {
        auto c = db.connect(db.owner);
        storage::MigrationLimits limits;
        limits.giveUpAfter = 1s;
        return storage::createSchema(*c, limits);
    });
    EXPECT_EQ(second.wait_for(2500ms), std::future_status::timeout) << "the second did not wait";
    storage::createSchema(*first);
    first->exec("SELECT pg_advisory_unlock(4604232401)");
    ASSERT_TRUE(within(second));
    EXPECT_EQ(second.get(), fiscal::storage::kSchemaVersion) << "the first had done it all";
}

// Machines upgraded together each run migrate: the one that did not migrate still grants,
// and two grants at once on the same tables must both succeed.
TEST_F(Migration, GrantsGivenTogetherBothSucceed)
{
    OwnedDatabase db;
    db.prepare();
    if (HasFatalFailure())
        return;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        db.connect(db.owner)->exec("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + db.runtime);
        std::latch start(2);
        auto grant = [&] {
            auto c = db.connect(db.owner);
            start.arrive_and_wait();
            storage::grantRuntimeRole(*c, db.runtime);
        };
        auto first = std::async(std::launch::async, grant), second = std::async(std::launch::async, grant);
        ASSERT_TRUE(within(first) && within(second));
        EXPECT_NO_THROW(first.get());
        EXPECT_NO_THROW(second.get());
    }
    EXPECT_EQ(db.scalar("SELECT has_table_privilege('" + db.runtime + "', 'cliente', 'UPDATE')"), "t");
}

// A migration that must change a table in use waits a moment, lets the saves through,
// tries again, and finishes once the long call is over: its indexes built beside the
// writes, valid, under their own names.
TEST_F(Migration, AMigrationWaitingForItsTablesLetsSavesThrough)
{
    OwnedDatabase db;
    db.prepare();
    if (HasFatalFailure())
        return;
    {
        // The history as version 2 left it.
        auto owner = db.connect(db.owner);
        for (const char *sql : {"DROP INDEX IX_HISTITEM_REGISTRO", "DROP INDEX IX_HISTOPERACAO_LOTE",
                                "ALTER TABLE HISTITEM DROP COLUMN FLLOTE", "ALTER TABLE HISTOPERACAO DROP COLUMN FLLOTE",
                            "ALTER TABLE HISTOPERACAO DROP COLUMN DSENDERECO",
                                "CREATE INDEX IX_HISTITEM_REGISTRO ON HISTITEM (NMTABELA, CDCHAVE1, CDCHAVE2,"
                                " CDCHAVE3, CDCHAVE4, IDOPERACAO)",
                                "UPDATE VERSAOESQUEMA SET NRVERSAO = 2"})
            owner->exec(sql);
    }
    // An older server's save: an operation, its item, the row.
    const auto save = [&db](int n) {
        auto c = db.connect(db.runtime);
        storage::Transaction t(*c);
        c->exec("INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
                " QTINCLUIDOS, QTEXCLUIDOS) VALUES (" + std::to_string(1000 + n)
                + ", '2026-01-01T00:00:00.000Z', 'ana', 'SetCliente', '[]', 1, 0, 0)");
        c->exec("INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT,"
                " CDGRUPONOVO, IDACAO) VALUES (" + std::to_string(1000 + n) + ", 'CLIENTE', 'K" + std::to_string(n)
                + "', '', '', '', NULL, '001', 'A')");
        t.commit();
    };
    // A long bulk call of an older server, its history not yet committed.
    auto bulk = db.connect(db.runtime);
    auto held = std::make_unique<storage::Transaction>(*bulk);
    bulk->exec("INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
               " QTINCLUIDOS, QTEXCLUIDOS) VALUES (999, '2026-01-01T00:00:00.000Z', 'beto', 'CadastroAutomatico',"
               " '[]', 1, 0, 0)");

    auto migrated = std::async(std::launch::async, [&] { return runServer({"migrate", "--db", db.url(db.owner)}); });
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (db.lockWaits() == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    ASSERT_GT(db.lockWaits(), 0) << "the migration never asked for the table";
    // Saves one after another, over several of the migration's tries.
    auto saved = std::async(std::launch::async, [&] {
        for (int n = 1; n <= 4; ++n) {
            save(n);
            std::this_thread::sleep_for(500ms);
        }
    });
    EXPECT_TRUE(within(saved)) << "the saves waited behind the migration";
    EXPECT_EQ(migrated.wait_for(0s), std::future_status::timeout) << "the migration went past the held table";
    held.reset();
    saved.get();
    const ExitResult r = migrated.get();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(db.scalar("SELECT NRVERSAO FROM VERSAOESQUEMA"), std::to_string(fiscal::storage::kSchemaVersion));
    EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM HISTOPERACAO WHERE IDOPERACAO > 1000"), "4");
    EXPECT_EQ(db.scalar("SELECT string_agg(c.relname || ':' || i.indisvalid || ':' || (i.indpred IS NOT NULL), ','"
                        " ORDER BY c.relname) FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid"
                        " WHERE c.relname LIKE 'ix_hist%'"),
              "ix_histitem_registro:true:true,ix_histoperacao_data:true:false,ix_histoperacao_lote:true:true");
}

} // namespace
