// The database connection pool: never more connections than its size, calls beyond it
// wait (and are counted), a wait too long is -32003, and a connection in doubt is closed;
// and a bulk call's foreign values checked once, on each database.

#include "appserver/common/checks.h"
#include "appserver/common/connectionpool.h"
#include "appserver/common/transaction.h"
#include "appserver/history/history.h"
#include "appserver/history/undo.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

using fiscal::appserver::ConnectionPool;
using fiscal::appserver::ForeignKeys;
using fiscal::appserver::withTransaction;
using namespace fiscal::test;
namespace fs = std::filesystem;

namespace {

class PoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto b = backendsUnderTest();
        if (std::find(b.begin(), b.end(), Backend::Sqlite) == b.end())
            GTEST_SKIP() << "the pool itself is tested on SQLite";
        dir = fs::temp_directory_path() / ("fiscal-pool-" + std::to_string(getpid()));
        fs::create_directories(dir);
        db = (dir / "p.sqlite").string();
        fiscal::storage::createSchema(*fiscal::storage::open(db));
    }
    void TearDown() override
    {
        if (!dir.empty())
            fs::remove_all(dir);
    }

    static bool eventually(const std::function<bool()> &condition)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    fs::path dir;
    std::string db;
};

TEST_F(PoolTest, CallsBeyondTheSizeWaitForAConnection)
{
    ConnectionPool pool(db, 2);
    auto first = std::make_unique<ConnectionPool::Lease>(pool);
    fiscal::storage::Connection *firstConnection = &first->connection();
    ConnectionPool::Lease second(pool);
    EXPECT_EQ(pool.stats().open, 2);
    EXPECT_EQ(pool.stats().inUse, 2);

    std::atomic<fiscal::storage::Connection *> third{nullptr};
    std::thread waiter([&] {
        ConnectionPool::Lease lease(pool);
        third = &lease.connection();
    });
    ASSERT_TRUE(eventually([&] { return pool.stats().waiting == 1; }));
    EXPECT_EQ(third.load(), nullptr);

    first.reset();
    waiter.join();
    EXPECT_EQ(third.load(), firstConnection) << "the freed connection is handed on, not a new one";
    const ConnectionPool::Stats s = pool.stats();
    EXPECT_EQ(s.open, 2);
    EXPECT_EQ(s.inUse, 1);
    EXPECT_EQ(s.waiting, 0);
    EXPECT_EQ(s.waits, 1u);
    EXPECT_GT(s.waitSeconds, 0.0);
}

TEST_F(PoolTest, AWaitTooLongIsUnavailable)
{
    ConnectionPool pool(db, 1, std::chrono::milliseconds(50));
    ConnectionPool::Lease busy(pool);
    try {
        ConnectionPool::Lease lease(pool);
        FAIL() << "a second connection was handed out";
    } catch (const fiscal::rpc::Fault &f) {
        EXPECT_EQ(f.code(), fiscal::rpc::code::Unavailable);
        EXPECT_EQ(f.message().toStdString(),
                  "Servidor ocupado: todas as conexões com o banco de dados estão em uso. "
                  "Tente novamente em instantes.");
    }
    EXPECT_EQ(pool.stats().waiting, 0);
}

TEST_F(PoolTest, ConnectionsInDoubtAreClosed)
{
    ConnectionPool pool(db, 2);
    struct Case {
        const char *what;
        std::function<void(ConnectionPool::Lease &)> leave;
        int openAfter;
    };
    const std::vector<Case> cases{
        {"a connection handed back clean is kept", [](ConnectionPool::Lease &) {}, 1},
        {"one left inside a transaction is closed", [](ConnectionPool::Lease &l) { l.connection().begin(); }, 0},
        {"one found broken is closed", [](ConnectionPool::Lease &l) { l.discard(); }, 0},
    };
    for (const Case &c : cases) {
        {
            ConnectionPool::Lease lease(pool);
            lease.connection().exec("SELECT 1");
            c.leave(lease);
        }
        EXPECT_EQ(pool.stats().open, c.openAfter) << c.what;
        EXPECT_EQ(pool.stats().inUse, 0) << c.what;
    }
    // A storage failure inside a call's transaction reaches the caller as a Fault and
    // returns the connection (the statement's failure dooms nothing beyond the call).
    EXPECT_THROW(fiscal::appserver::withTransaction(pool, [](fiscal::storage::Connection &c) {
                     c.exec("SELECT * FROM NO_SUCH_TABLE");
                 }),
                 fiscal::rpc::Fault);
    EXPECT_EQ(pool.stats().inUse, 0);
}

// A database file that went away while the server runs (moved, restored over) is an error for
// the next connection, never a new empty database in its place.
TEST_F(PoolTest, AFileThatWentAwayIsNotCreatedAgainEmpty)
{
    const std::string path = (dir / "gone.sqlite").string();
    fiscal::storage::open(path)->exec("CREATE TABLE T (A INTEGER)");
    ConnectionPool pool(path, 1);
    std::filesystem::remove(path);
    EXPECT_THROW(ConnectionPool::Lease lease(pool), fiscal::storage::Error);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(PoolTest, AnUnreachableDatabaseFreesItsPlace)
{
    ConnectionPool pool((dir / "missing" / "x.sqlite").string(), 1);
    for (int i = 0; i < 2; ++i)
        EXPECT_THROW(ConnectionPool::Lease lease(pool), fiscal::storage::Error);
    EXPECT_EQ(pool.stats().open, 0);
    EXPECT_EQ(pool.stats().inUse, 0);
}

// ---- foreign values checked once, on each database ------------------------------------------

class CheckedOnce : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        db = TestDb::create(GetParam(), Demo::None);
        db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('Z01', 'Novo')");
        db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ('00000001', 'Cliente')");
    }
    bool postgres() const { return GetParam() == Backend::Postgres; }
    std::unique_ptr<TestDb> db;
};

// Whether the database checks each row's foreign keys on this connection now.
bool checksEachRow(fiscal::storage::Connection &c)
{
    const bool sqlite = c.backend() == fiscal::storage::Backend::Sqlite;
    auto st = c.prepare(sqlite ? "PRAGMA foreign_keys" : "SHOW session_replication_role");
    return st->step() && st->text(0) == (sqlite ? "1" : "origin");
}

// A bulk call that checked its values once may write without the per-row checks (PostgreSQL
// only when it also holds them); the connection checks every row again for the next call,
// whether the bulk call committed or failed.
TEST_P(CheckedOnce, PerRowChecksAreBackForTheNextCall)
{
    ConnectionPool pool(db->url(), 1);
    for (const ForeignKeys keys : {ForeignKeys::CheckedOnce, ForeignKeys::HeldOnce}) {
        const bool held = keys == ForeignKeys::HeldOnce;
        for (const bool fails : {false, true}) {
            bool checkedInside = true;
            const auto bulk = [&] {
                withTransaction(pool, [&](fiscal::storage::Connection &c) {
                    checkedInside = checksEachRow(c);
                    if (fails)
                        throw fiscal::rpc::Fault(fiscal::rpc::code::InvalidParams, QStringLiteral("recusada"));
                }, keys);
            };
            if (fails)
                EXPECT_THROW(bulk(), fiscal::rpc::Fault);
            else
                bulk();
            EXPECT_EQ(checkedInside, postgres() && !held) << "held " << held << ", fails " << fails;
            EXPECT_THROW(withTransaction(pool, [](fiscal::storage::Connection &c) {
                             c.exec("UPDATE CLIENTE SET CDGRUPOFISC = 'ZZZ'");
                         }),
                         fiscal::rpc::Fault) << "held " << held << ", fails " << fails;
            EXPECT_EQ(pool.stats().open, 1) << "held " << held << ", fails " << fails;
        }
    }
}

// Without the per-row checks nothing else stops the group being deleted between the check
// and the commit, leaving clients in a group that no longer exists: held, the delete waits
// for the commit and then finds the group in use.
TEST_P(CheckedOnce, AHeldGroupOutlivesTheWrite)
{
    if (!postgres())
        GTEST_SKIP() << "SQLite has one writer at a time";
    ConnectionPool pool(db->url(), 1);
    auto other = db->connect();
    other->exec("SET lock_timeout = '300ms'");
    const auto deleteGroup = [&]() -> std::optional<fiscal::storage::Error::Kind> {
        try {
            other->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = 'Z01'");
            return std::nullopt;
        } catch (const fiscal::storage::Error &e) {
            return e.kind();
        }
    };
    std::optional<fiscal::storage::Error::Kind> meanwhile;
    withTransaction(pool, [&](fiscal::storage::Connection &c) {
        fiscal::appserver::holdGroup(c, "Z01");
        c.exec("UPDATE CLIENTE SET CDGRUPOFISC = 'Z01'");
        ASSERT_FALSE(checksEachRow(c));
        meanwhile = deleteGroup();
    }, ForeignKeys::HeldOnce);
    EXPECT_EQ(meanwhile, fiscal::storage::Error::Kind::Locked);
    EXPECT_EQ(deleteGroup(), fiscal::storage::Error::Kind::Constraint);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM CLIENTE c JOIN GRUPOFISCAL g ON g.CDGRUPOFISC = c.CDGRUPOFISC"), 1);
}

// An undo writes without the per-row checks as well, so what it restores must be held: the
// group it puts back in a client, and the branch a tax row it inserts again refers to. Unheld,
// both could be deleted before the commit, the restored rows still invisible to the delete.
TEST_P(CheckedOnce, AnUndoHoldsWhatItRestores)
{
    if (!postgres())
        GTEST_SKIP() << "SQLite has one writer at a time";
    namespace history = fiscal::appserver::history;
    db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('Z02', 'Anterior')");
    db->exec("INSERT INTO IMPOSTO (CDIMPOSTO, NMIMPOSTO) VALUES ('W1', 'Imposto')");
    db->exec("INSERT INTO FILIAL (CDFILIAL, NMFILIAL) VALUES ('WF9', 'Filial')");
    db->exec("UPDATE CLIENTE SET CDGRUPOFISC = 'Z01'");
    // The operation moved the client from Z02 to Z01 and deleted W1's row for WF9 (in Z02).
    const std::int64_t id = std::stoll(*db->scalar(
        "INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS)"
        " VALUES ('2026-12-09T10:00:00.000Z', 'ana', 'Replica', '[]', 1, 0, 1) RETURNING IDOPERACAO"));
    db->exec("INSERT INTO HISTITEM VALUES ($1::bigint, 'CLIENTE', '00000001', '', '', '', 'Z02', 'Z01', 'A'),"
             " ($1::bigint, 'GRFISCIMPOSFILI', 'W1', 'WF9', '', '', 'Z02', NULL, 'E')", {std::to_string(id)});

    ConnectionPool pool(db->url(), 1);
    auto other = db->connect();
    other->exec("SET lock_timeout = '300ms'");
    const auto remove = [&](const char *sql) -> std::optional<fiscal::storage::Error::Kind> {
        try {
            other->exec(sql);
            return std::nullopt;
        } catch (const fiscal::storage::Error &e) {
            return e.kind();
        }
    };
    const char *const removals[] = {"DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = 'Z02'",
                                    "DELETE FROM FILIAL WHERE CDFILIAL = 'WF9'"};
    std::vector<std::optional<fiscal::storage::Error::Kind>> meanwhile;
    withTransaction(pool, [&](fiscal::storage::Connection &c) {
        history::Recorder h(c, {"DesfazOperacao", "[" + std::to_string(id) + "]", id});
        ASSERT_EQ(history::undoOperation(h, id).restored(), 2);
        ASSERT_FALSE(checksEachRow(c));
        for (const char *sql : removals)
            meanwhile.push_back(remove(sql));
    }, ForeignKeys::HeldOnce);
    for (std::size_t i = 0; i < std::size(removals); ++i) {
        EXPECT_EQ(meanwhile.at(i), fiscal::storage::Error::Kind::Locked) << removals[i];
        EXPECT_EQ(remove(removals[i]), fiscal::storage::Error::Kind::Constraint) << removals[i];
    }
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM CLIENTE"), "Z02");
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDFILIAL = 'WF9'"), "Z02");
}

class FailedReads : public CheckedOnce {};

class Pruning : public CheckedOnce {};
class LostCommits : public CheckedOnce {};

// A stop asked for during pruning (the server stopping) ends it between two of its short
// transactions: the operations already taken are gone whole, their items go next round.
TEST_P(Pruning, StopsBetweenItsTransactions)
{
    namespace history = fiscal::appserver::history;
    db->exec("INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
             " QTINCLUIDOS, QTEXCLUIDOS) VALUES (1, '2020-01-01T00:00:00.000Z', 'ana', 'SetCliente', '[]', 1, 0, 0),"
             " (2, '2020-01-01T00:00:00.000Z', 'ana', 'SetCliente', '[]', 1, 0, 0)");
    db->exec("INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT,"
             " CDGRUPONOVO, IDACAO) VALUES (1, 'CLIENTE', '00000001', '', '', '', NULL, 'Z01', 'A'),"
             " (2, 'CLIENTE', '00000001', '', '', '', 'Z01', NULL, 'A')");
    auto c = db->connect();
    const struct { const char *what; int stopAtAsk; std::int64_t removed, operations, items; } rounds[] = {
        {"stopped before anything", 1, 0, 2, 2},
        {"stopped once the operations went, before their items", 2, 2, 0, 2},
        {"the next round takes the items left", 0, 0, 0, 0},
    };
    for (const auto &r : rounds) {
        SCOPED_TRACE(r.what);
        int asked = 0;
        const auto stopping = [&] { return r.stopAtAsk > 0 && ++asked >= r.stopAtAsk; };
        EXPECT_EQ(history::prune(*c, 30, stopping), r.removed);
        EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), r.operations);
        EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTITEM"), r.items);
    }
}

// A statement that fails inside a read or a preview leaves nothing prepared on the server for
// the connection, which goes back to the pool and serves on.
TEST_P(FailedReads, LeaveNothingPreparedBehind)
{
    if (!postgres())
        GTEST_SKIP() << "SQLite prepares in the process";
    ConnectionPool pool(db->url(), 1);
    const auto failing = [](fiscal::storage::Connection &c) {
        auto st = c.prepareCached("SELECT 1 / CAST($1 AS INTEGER) AS FALHA");
        st->bind(1, std::string("0"));
        st->step();
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_THROW(withReadTransaction(pool, failing), fiscal::rpc::Fault);
        EXPECT_THROW(withPreviewTransaction(pool, failing), fiscal::rpc::Fault);
    }
    const std::string left = withReadTransaction(pool, [](fiscal::storage::Connection &c) {
        auto st = c.prepare("SELECT COUNT(*) FROM pg_prepared_statements WHERE statement LIKE '%AS ' || 'FALHA%'");
        st->step();
        return std::string(st->text(0));
    });
    EXPECT_EQ(left, "0");
    EXPECT_EQ(pool.stats().open, 1);
}

// A write whose connection broke while it was committed may be in the database: never said
// to have failed, with "try again", which would have the clerk make it twice.
TEST_P(LostCommits, AreNeverSaidToHaveWrittenNothing)
{
    if (!postgres())
        GTEST_SKIP() << "SQLite's failed COMMIT wrote nothing";
    ConnectionPool pool(db->url(), 1);
    auto admin = fiscal::storage::open(db->url());
    // The connection's session ends after its write and before the commit is confirmed.
    const auto endSession = [&](fiscal::storage::Connection &c) {
        auto pid = c.prepare("SELECT pg_backend_pid()::text");
        ASSERT_TRUE(pid->step());
        auto kill = admin->prepare("SELECT pg_terminate_backend(CAST($1 AS INTEGER), 10000)");
        kill->bind(1, std::string(pid->text(0)));
        kill->step();
    };
    const struct {
        const char *name;
        std::function<void()> write;
    } cases[] = {
        {"a transaction",
         [&] {
             withTransaction(pool, [&](fiscal::storage::Connection &c) {
                 c.exec("UPDATE CLIENTE SET CDGRUPOFISC = 'Z01' WHERE CDCLIENTE = '00000001'");
                 endSession(c);
             });
         }},
        {"a statement on its own",
         [&] {
             fiscal::appserver::withSingleStatement(pool, [&](fiscal::storage::Connection &c) {
                 endSession(c);
                 c.exec("UPDATE CLIENTE SET CDGRUPOFISC = 'Z01' WHERE CDCLIENTE = '00000001'");
             });
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.write();
            ADD_FAILURE() << "the write was said to have gone in";
        } catch (const fiscal::rpc::Fault &f) {
            EXPECT_TRUE(f.message().contains(QStringLiteral("pode ter sido feita"))) << f.message().toStdString();
        }
        EXPECT_EQ(pool.stats().open, 0) << "the broken connection is not kept";
    }
}

INSTANTIATE_TEST_SUITE_P(Pool, CheckedOnce, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
INSTANTIATE_TEST_SUITE_P(Pool, FailedReads, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
INSTANTIATE_TEST_SUITE_P(Pool, LostCommits, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
INSTANTIATE_TEST_SUITE_P(Pool, Pruning, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
