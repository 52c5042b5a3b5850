#include "backendfixture.h"

#include <string>
#include <vector>

namespace fiscal::storage::test {
namespace {

using Kind = Error::Kind;

const std::string kByCode = "SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = COALESCE($1, '002')";
const std::string kInsert = "INSERT INTO GRUPOFISCAL VALUES ($1, $2)";

class StatementCacheTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        createSchema(*db);
        db->exec("INSERT INTO GRUPOFISCAL VALUES ('001', 'Um'), ('002', 'Dois'), ('003', 'Três')");
    }

    // Runs the cached lookup once; an unbound $1 is NULL.
    std::vector<std::string> lookup(std::optional<std::string_view> code, bool bindIt = true)
    {
        auto st = db->prepareCached(kByCode);
        if (bindIt)
            st->bind(1, code);
        std::vector<std::string> out;
        while (st->step())
            out.emplace_back(st->text(0));
        return out;
    }

    // PostgreSQL: how many server-side statements the session holds for `sql`.
    int serverCopies(const std::string &sql)
    {
        return std::stoi(scalar(*db, "SELECT COUNT(*) FROM pg_prepared_statements WHERE statement = $1", {sql}));
    }

    StatementCacheStats stats() const { return db->statementCacheStats(); }
};

TEST_F(StatementCacheTest, ReusedAcrossCallsAndTransactionsWithFreshBindings)
{
    struct Step {
        const char *label;
        bool inTransaction;
        bool bindIt;
        std::optional<std::string> code;
        std::vector<std::string> expected;
    };
    const Step steps[] = {
        {"first use prepares", false, true, "001", {"Um"}},
        {"reuse inside a transaction", true, true, "003", {"Três"}},
        {"reuse does not keep the last binding", false, false, std::nullopt, {"Dois"}},
        {"explicit NULL", true, true, std::nullopt, {"Dois"}},
        {"no row", false, true, "999", {}},
    };
    std::uint64_t uses = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.label);
        std::optional<Transaction> tx;
        if (s.inTransaction)
            tx.emplace(*db);
        EXPECT_EQ(lookup(s.code ? std::optional<std::string_view>(*s.code) : std::nullopt, s.bindIt), s.expected);
        if (tx)
            tx->commit();
        ++uses;
        EXPECT_EQ(stats().prepared, 1u);
        EXPECT_EQ(stats().reused, uses - 1);
        EXPECT_EQ(stats().idle, 1u);
        if (isPostgres()) {
            EXPECT_EQ(serverCopies(kByCode), 1);
        }
    }
}

// A statement put back half-read must hold neither rows nor locks, and start over.
TEST_F(StatementCacheTest, HalfReadStatementIsPutBackClean)
{
    db->exec("CREATE TABLE SCRATCH (X VARCHAR(3))");
    db->exec("INSERT INTO SCRATCH VALUES ('a'), ('b'), ('c')");
    const std::string sql = "SELECT X FROM SCRATCH ORDER BY X";
    {
        auto st = db->prepareCached(sql);
        ASSERT_TRUE(st->step());
        EXPECT_EQ(st->text(0), "a");
    }
    {
        auto st = db->prepareCached(sql);
        std::string all;
        while (st->step())
            all += st->text(0);
        EXPECT_EQ(all, "abc");
    }
    {
        auto st = db->prepareCached(sql);
        ASSERT_TRUE(st->step());
    }
    EXPECT_EQ(stats().reused, 2u);
    // An open read cursor on SQLite would refuse this with "database table is locked".
    EXPECT_NO_THROW(db->exec("DROP TABLE SCRATCH"));
}

// The same text asked for while a statement of it is still being stepped gets a statement
// of its own; afterwards one copy is kept, the other freed.
TEST_F(StatementCacheTest, SameTextWhileInUseIsNotShared)
{
    const std::string sql = "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC >= $1 ORDER BY 1";
    std::vector<std::string> seen;
    {
        auto outer = db->prepareCached(sql);
        outer->bind(1, "001");
        while (outer->step()) {
            const std::string code(outer->text(0));
            auto inner = db->prepareCached(sql);
            inner->bind(1, code);
            int n = 0;
            while (inner->step())
                ++n;
            seen.push_back(code + ":" + std::string(outer->text(1)) + ":" + std::to_string(n));
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"001:Um:3", "002:Dois:2", "003:Três:1"}));
    EXPECT_EQ(stats().prepared, 2u);
    EXPECT_EQ(stats().reused, 2u);
    EXPECT_EQ(stats().idle, 1u);
    if (isPostgres()) {
        EXPECT_EQ(serverCopies(sql), 1) << "the copy that did not fit must be deallocated";
    }
}

// Prepared statements outlive a failed transaction: those that did not fail are reused
// afterwards, whether they were prepared before the transaction or inside it.
TEST_F(StatementCacheTest, KeptAfterAFailedTransaction)
{
    struct Case {
        const char *label;
        bool preparedBefore;
        bool endByCommit;   // commit() of the doomed transaction, else rollback
    };
    const Case cases[] = {
        {"prepared before, rolled back", true, false},
        {"prepared before, commit refused", true, true},
        {"prepared inside, rolled back", false, false},
        {"prepared inside, commit refused", false, true},
    };
    int round = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const std::string n = std::to_string(++round);   // a text of its own per case
        const std::string sql = "UPDATE GRUPOFISCAL SET DSGRUPOFISC = $1 WHERE CDGRUPOFISC = '001' AND "
            + n + " = " + n;
        if (c.preparedBefore) {
            auto st = db->prepareCached(sql);
            st->bind(1, "Um");
            EXPECT_EQ(st->execute(), 1);
        }
        const StatementCacheStats before = stats();
        {
            Transaction tx(*db);
            {
                auto st = db->prepareCached(sql);
                st->bind(1, "mudou");
                EXPECT_EQ(st->execute(), 1);
            }
            EXPECT_THROW(db->prepare("INSERT INTO GRUPOFISCAL VALUES ('001', 'dup')")->execute(), Error);
            if (c.endByCommit) {
                EXPECT_THROW(tx.commit(), Error);
            } else {
                db->rollback();
            }
        }
        EXPECT_FALSE(db->inTransaction());
        EXPECT_EQ(scalar(*db, "SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '001'"), "Um");
        auto again = db->prepareCached(sql);
        EXPECT_EQ(stats().prepared, before.prepared + (c.preparedBefore ? 0u : 1u));
        again->bind(1, "depois");
        EXPECT_EQ(again->execute(), 1);
        again.reset();
        EXPECT_EQ(scalar(*db, "SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '001'"), "depois");
        db->exec("UPDATE GRUPOFISCAL SET DSGRUPOFISC = 'Um' WHERE CDGRUPOFISC = '001'");
        if (isPostgres()) {
            EXPECT_EQ(serverCopies(sql), 1);
        }
    }
}

// A statement dropped while another one still streams, and fails in its later rows, is
// freed on the server after the rollback instead of staying for the session's life.
TEST_F(StatementCacheTest, AStatementDroppedWhileAnotherFailsIsFreedAfterTheRollback)
{
    if (!isPostgres())
        GTEST_SKIP() << "SQLite divides by zero without an error";
    const std::string dropped = "SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1 AND 7 = 7";
    {
        Transaction tx(*db);
        auto first = db->prepare(dropped);
        auto failing = db->prepare("SELECT 1 / (n - 3) FROM generate_series(1, 5) n");
        ASSERT_TRUE(failing->step());
        first.reset();
        EXPECT_THROW(
            while (failing->step()) {}, Error);
        failing.reset();
        db->rollback();
    }
    EXPECT_EQ(serverCopies(dropped), 0);
}

TEST_F(StatementCacheTest, FailedStatementIsNotKept)
{
    struct Case {
        const char *label;
        bool inTransaction;
    };
    for (const Case c : {Case{"outside a transaction", false}, Case{"inside a transaction", true}}) {
        SCOPED_TRACE(c.label);
        db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '009'");
        {
            std::optional<Transaction> tx;
            if (c.inTransaction)
                tx.emplace(*db);
            auto st = db->prepareCached(kInsert);
            st->bind(1, "001");
            st->bind(2, "dup");
            try {
                st->execute();
                ADD_FAILURE() << "no error";
            } catch (const Error &e) {
                EXPECT_EQ(e.kind(), Kind::Constraint) << e.what();
            }
        }
        if (isPostgres()) {
            EXPECT_EQ(serverCopies(kInsert), 0) << "the failed statement was not deallocated";
        }
        const StatementCacheStats before = stats();
        auto st = db->prepareCached(kInsert);
        EXPECT_EQ(stats().prepared, before.prepared + 1) << "the failed statement went back into the cache";
        st->bind(1, "009");
        st->bind(2, "Nove");
        EXPECT_EQ(st->execute(), 1);
    }   // this one succeeded and is kept: the next round starts from the cache
}

TEST_F(StatementCacheTest, LeastRecentlyUsedIsEvicted)
{
    const std::size_t total = kStatementCacheCapacity + 6;
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < total; ++i)
        texts.push_back("SELECT COUNT(*) + " + std::to_string(i) + " FROM GRUPOFISCAL");
    const auto use = [&](std::size_t i) {
        auto st = db->prepareCached(texts[i]);
        ASSERT_TRUE(st->step());
        EXPECT_EQ(st->text(0), std::to_string(3 + i));
    };
    for (std::size_t i = 0; i < kStatementCacheCapacity; ++i)
        use(i);
    use(0);   // 0 becomes the most recent: 1..6 are the oldest now
    for (std::size_t i = kStatementCacheCapacity; i < total; ++i)
        use(i);
    EXPECT_EQ(stats().idle, kStatementCacheCapacity);
    if (isPostgres()) {
        EXPECT_EQ(std::stoi(scalar(*db, "SELECT COUNT(*) FROM pg_prepared_statements"
                                        " WHERE statement LIKE 'SELECT COUNT(*) + %'")),
                  int(kStatementCacheCapacity))
            << "evicted statements must be deallocated on the server";
    }
    struct Case {
        std::size_t index;
        bool kept;
    };
    const Case cases[] = {{0, true}, {7, true}, {total - 1, true}, {1, false}, {6, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(texts[c.index]);
        const StatementCacheStats before = stats();
        use(c.index);
        EXPECT_EQ(stats().reused - before.reused, c.kept ? 1u : 0u);
    }
}

TEST_F(StatementCacheTest, LostConnectionDropsTheCache)
{
    if (!isPostgres())
        GTEST_SKIP() << "a SQLite file cannot be taken away from its connection";
    EXPECT_EQ(lookup("001"), std::vector<std::string>{"Um"});
    ASSERT_EQ(stats().idle, 1u);
    const std::string pid = scalar(*db, "SELECT pg_backend_pid()");
    auto admin = openAnother();
    scalar(*admin, "SELECT pg_terminate_backend(" + pid + ", 10000)::text");
    try {
        lookup("001");
        ADD_FAILURE() << "no error";
    } catch (const Error &e) {
        EXPECT_EQ(e.kind(), Kind::Connection) << e.what();
    }
    EXPECT_EQ(stats().idle, 0u);
    EXPECT_THROW(db->prepareCached(kByCode), Error);
}

} // namespace
} // namespace fiscal::storage::test
