#include "backendfixture.h"

namespace fiscal::storage::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// (code, name or NULL) rows with their position as an integer column.
class Pairs final : public RowSource {
public:
    explicit Pairs(std::vector<std::pair<std::string, std::optional<std::string>>> rows) : m_rows(std::move(rows)) {}
    std::size_t rowCount() const override { return m_rows.size(); }
    std::int64_t integer(std::size_t row, std::size_t) const override { return std::int64_t(row) * 10; }
    std::optional<std::string_view> text(std::size_t row, std::size_t column) const override
    {
        if (column == 1)
            return m_rows[row].first;
        return m_rows[row].second ? std::optional<std::string_view>(*m_rows[row].second) : std::nullopt;
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_rows;
};

const std::vector<ShownColumn> kColumns{{"N", true}, {"K"}, {"V"}};

class ShownRowsTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        createSchema(*db);
        if (isPostgres()) {
            Pairs none({});
            EXPECT_EQ(db->showRows("x", kColumns, none), nullptr) << "PostgreSQL loads a temporary table instead";
            GTEST_SKIP() << "SQLite only";
        }
    }
};

TEST_F(ShownRowsTest, ReadInPlaceJoinedAndWrittenFrom)
{
    db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('001', 'Um'), ('002', 'Dois')");
    const Pairs pairs({{"001", "Ação"}, {"002", ""}, {"003", std::nullopt}, {"", "vazio"}});
    Transaction t(*db);
    auto shown = db->showRows("x", kColumns, pairs);
    ASSERT_NE(shown, nullptr);
    // Empty text stays text, NULL stays NULL, integers are integers.
    EXPECT_EQ(rows(*db, "SELECT N, typeof(N), K, V, V IS NULL FROM temp.x"),
              (Rows{{"0", "integer", "001", "Ação", "0"},
                    {"10", "integer", "002", "", "0"},
                    {"20", "integer", "003", "<null>", "1"},
                    {"30", "integer", "", "vazio", "0"}}));
    EXPECT_EQ(rows(*db, "SELECT g.CDGRUPOFISC, x.N FROM temp.x JOIN GRUPOFISCAL g ON g.CDGRUPOFISC = x.K ORDER BY 1"),
              (Rows{{"001", "0"}, {"002", "10"}}));
    EXPECT_EQ(db->prepare("UPDATE GRUPOFISCAL SET DSGRUPOFISC = x.V FROM temp.x WHERE GRUPOFISCAL.CDGRUPOFISC = x.K "
                          "AND x.V <> ''")->execute(),
              1);
    shown.reset();
    t.commit();
    EXPECT_EQ(scalar(*db, "SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '001'"), "Ação");
    EXPECT_THROW(rows(*db, "SELECT * FROM temp.x"), Error) << "the table goes with its handle";
}

// A handle that goes while a failure unwinds leaves the table to the rollback; were the
// transaction committed instead, the table left over reads as an error, never freed memory,
// and the next showing under its name replaces it.
TEST_F(ShownRowsTest, LeftoverNeverReadsFreedRows)
{
    for (const bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "rolled back");
        {
            Transaction t(*db);
            try {
                auto source = std::make_unique<Pairs>(std::vector<std::pair<std::string, std::optional<std::string>>>{
                    {"001", "um"}});
                auto shown = db->showRows("x", kColumns, *source);
                EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM temp.x"), "1");
                throw std::runtime_error("the call failed");
            } catch (const std::runtime_error &) {
            }
            if (commit) {
                t.commit();
                EXPECT_THROW(rows(*db, "SELECT * FROM temp.x"), Error);
            }
        }
        const Pairs again({{"a", "b"}, {"c", "d"}});
        auto shown = db->showRows("x", kColumns, again);
        EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM temp.x"), "2");
    }
}

} // namespace
} // namespace fiscal::storage::test
