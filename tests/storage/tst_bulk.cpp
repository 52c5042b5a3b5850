#include "backendfixture.h"

#include <fstream>

namespace fiscal::storage::test {
namespace {

using Rows = std::vector<std::vector<std::string>>;

class BulkTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        createSchema(*db);
    }
};

TEST_F(BulkTest, AwkwardValuesArriveIntact)
{
    const std::vector<std::optional<std::string>> names = {
        "Araújo & Conceição", "tab\there", "line\nbreak", "back\\slash \\N", "carriage\rreturn", std::nullopt, "",
        "\\.",
    };
    {
        Transaction t(*db);
        auto bulk = db->bulkInsert("CLIENTE", {"CDCLIENTE", "NMRAZSOCCLIE", "NMFANTCLIE"});
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string code = std::to_string(i);
            bulk->addRow({code, "razão", names[i] ? std::optional<std::string_view>(*names[i]) : std::nullopt});
        }
        EXPECT_EQ(bulk->finish(), static_cast<std::int64_t>(names.size()));
        t.commit();
    }
    const Rows got = rows(*db, "SELECT CDCLIENTE, NMFANTCLIE FROM CLIENTE ORDER BY CAST(CDCLIENTE AS INTEGER)");
    ASSERT_EQ(got.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(got[i][1], names[i].value_or("<null>")) << i;
}

TEST_F(BulkTest, BadRowsFailAndLeaveNothing)
{
    struct Case {
        const char *label;
        std::vector<std::optional<std::string>> row;
    };
    const Case cases[] = {
        {"unknown fiscal group", {"0001", "Filial", "999"}},
        {"duplicate key", {"0001", "Filial", std::nullopt}},
        {"NULL in a NOT NULL column", {"0002", std::nullopt, std::nullopt}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        try {
            Transaction t(*db);
            auto bulk = db->bulkInsert("FILIAL", {"CDFILIAL", "NMFILIAL", "CDGRUPOFISC"});
            bulk->addRow({"0001", "Primeira", std::nullopt});
            std::vector<std::optional<std::string_view>> values;
            for (const auto &v : c.row)
                values.push_back(v ? std::optional<std::string_view>(*v) : std::nullopt);
            bulk->addRow(values);
            bulk->finish();
            t.commit();
            ADD_FAILURE() << "bad bulk load committed";
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), Error::Kind::Constraint) << e.what();
        }
        EXPECT_FALSE(db->inTransaction());
        EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM FILIAL"), "0");
    }
}

TEST_F(BulkTest, MisuseIsRefused)
{
    Transaction t(*db);
    auto bulk = db->bulkInsert("GRUPOFISCAL", {"CDGRUPOFISC", "DSGRUPOFISC"});
    EXPECT_THROW(bulk->addRow({"001"}), Error) << "too few values";
    bulk->addRow({"001", "Um"});
    EXPECT_EQ(bulk->finish(), 1);
    EXPECT_THROW(bulk->addRow({"002", "Dois"}), Error) << "after finish";
    EXPECT_THROW(db->bulkInsert("GRUPOFISCAL", {}), Error);
    t.commit();
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM GRUPOFISCAL"), "1");
}

TEST_F(BulkTest, AbandonedLoadWritesNothing)
{
    {
        Transaction t(*db);
        auto bulk = db->bulkInsert("GRUPOFISCAL", {"CDGRUPOFISC", "DSGRUPOFISC"});
        bulk->addRow({"001", "Um"});
    } // neither finished nor committed
    EXPECT_FALSE(db->inTransaction());
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM GRUPOFISCAL"), "0");
}

long peakRssKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

// 500,000 rows of about 200 bytes: held whole they would take about 100 MB more; read
// as a stream they take next to nothing.
TEST_F(BulkTest, LargeSelectStreams)
{
    const std::string sql = isPostgres()
        ? "SELECT g, repeat('x', 200) FROM generate_series(1, 500000) AS g"
        : "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < 500000) "
          "SELECT n, printf('%.200c', 'x') FROM g";
    auto s = db->prepare(sql);
    const long before = peakRssKb();
    long long count = 0, sum = 0;
    while (s->step()) {
        ++count;
        sum += std::stoll(std::string(s->text(0)));
        ASSERT_EQ(s->text(1).size(), 200u);
    }
    EXPECT_EQ(count, 500000);
    EXPECT_EQ(sum, 500000LL * 500001 / 2);
    EXPECT_LT(peakRssKb() - before, 40 * 1024) << "the result was held in memory";
}

} // namespace
} // namespace fiscal::storage::test
