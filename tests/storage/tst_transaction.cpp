#include "backendfixture.h"

namespace fiscal::storage::test {
namespace {

using Kind = Error::Kind;

class TransactionTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        createSchema(*db);
        db->exec("INSERT INTO GRUPOFISCAL VALUES ('001', 'Um')");
    }
    std::string count() { return scalar(*db, "SELECT COUNT(*) FROM GRUPOFISCAL"); }
};

TEST_F(TransactionTest, CommitIsSeenByOthersOnlyAfterwards)
{
    auto other = openAnother();
    Transaction t(*db);
    EXPECT_TRUE(db->inTransaction());
    db->prepare("INSERT INTO GRUPOFISCAL VALUES ('002', 'Dois')")->execute();
    EXPECT_EQ(scalar(*other, "SELECT COUNT(*) FROM GRUPOFISCAL"), "1") << "uncommitted rows are private";
    t.commit();
    EXPECT_FALSE(db->inTransaction());
    EXPECT_EQ(scalar(*other, "SELECT COUNT(*) FROM GRUPOFISCAL"), "2");
}

TEST_F(TransactionTest, EndingWithoutCommitRollsBack)
{
    struct Case {
        const char *label;
        bool throwInside;
    };
    for (const Case c : {Case{"scope left normally", false}, Case{"scope left by an exception", true}}) {
        SCOPED_TRACE(c.label);
        try {
            Transaction t(*db);
            db->prepare("INSERT INTO GRUPOFISCAL VALUES ('002', 'Dois')")->execute();
            db->prepare("UPDATE GRUPOFISCAL SET DSGRUPOFISC = 'mudou'")->execute();
            if (c.throwInside)
                throw std::runtime_error("abort");
        } catch (const std::runtime_error &) {
        }
        EXPECT_FALSE(db->inTransaction());
        EXPECT_EQ(rows(*db, "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL"),
                  (std::vector<std::vector<std::string>>{{"001", "Um"}}));
    }
}

// A failed statement dooms its transaction on both backends: committing afterwards must
// not write the statements that did succeed and must not look like success.
TEST_F(TransactionTest, ErrorInTheMiddleMakesCommitFailAndWritesNothing)
{
    struct Case {
        const char *label;
        std::string failing;
        Kind kind;
    };
    const Case cases[] = {
        {"constraint", "INSERT INTO GRUPOFISCAL VALUES ('001', 'duplicado')", Kind::Constraint},
        {"syntax", "UPDAT GRUPOFISCAL SET X = 1", Kind::Syntax},
        {"missing parent", "INSERT INTO FILIAL (CDFILIAL, NMFILIAL, CDGRUPOFISC) VALUES ('0001', 'F', '777')",
         Kind::Constraint},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        {
            Transaction t(*db);
            db->prepare("INSERT INTO GRUPOFISCAL VALUES ('002', 'Dois')")->execute();
            try {
                db->prepare(c.failing)->execute();
                FAIL() << "the failing statement succeeded";
            } catch (const Error &e) {
                EXPECT_EQ(e.kind(), c.kind) << e.what();
            }
            try {
                t.commit();
                ADD_FAILURE() << "commit after a failed statement reported success";
            } catch (const Error &e) {
                EXPECT_EQ(e.kind(), c.kind) << e.what();
            }
        }
        EXPECT_FALSE(db->inTransaction());
        EXPECT_EQ(count(), "1");
        // The connection is usable afterwards.
        Transaction t(*db);
        db->prepare("INSERT INTO GRUPOFISCAL VALUES ('003', 'Três')")->execute();
        t.commit();
        db->prepare("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '003'")->execute();
    }
}

TEST_F(TransactionTest, NestedBeginIsRefused)
{
    Transaction t(*db);
    EXPECT_THROW(db->begin(), Error);
    EXPECT_TRUE(db->inTransaction());
}

TEST_F(TransactionTest, RollbackWhileReadingAResult)
{
    auto insert = db->prepare("INSERT INTO GRUPOFISCAL VALUES ($1, 'g')");
    for (int i = 2; i <= 300; ++i) {
        insert->bind(1, std::to_string(i));
        insert->execute();
    }
    auto reader = db->prepare("SELECT CDGRUPOFISC FROM GRUPOFISCAL");
    {
        Transaction t(*db);
        db->prepare("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '001'")->execute();
        ASSERT_TRUE(reader->step());
        ASSERT_TRUE(reader->step());
    } // rolled back with the result half read
    EXPECT_FALSE(db->inTransaction());
    EXPECT_EQ(count(), "300");
    reader->reset();
    int n = 0;
    while (reader->step())
        ++n;
    EXPECT_EQ(n, 300);
}

TEST_F(TransactionTest, SecondWriterWaitsForTheFirst)
{
    // The first writer holds its transaction; a second connection's write must not
    // succeed around it and must not corrupt it. On both backends the second one sees
    // the first one's work once it commits.
    auto other = openAnother();
    Transaction t(*db);
    db->prepare("UPDATE GRUPOFISCAL SET DSGRUPOFISC = 'primeiro'")->execute();
    t.commit();
    Transaction t2(*other);
    other->prepare("UPDATE GRUPOFISCAL SET DSGRUPOFISC = DSGRUPOFISC || ' e segundo'")->execute();
    t2.commit();
    EXPECT_EQ(scalar(*db, "SELECT DSGRUPOFISC FROM GRUPOFISCAL"), "primeiro e segundo");
}

} // namespace
} // namespace fiscal::storage::test
