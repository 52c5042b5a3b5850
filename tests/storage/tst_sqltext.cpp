#include "storage/database.h"
#include "storage/demo.h"
#include "storage/sqltext.h"

#include <gtest/gtest.h>

namespace fiscal::storage {
namespace {

struct NamedCase {
    const char *label;
    std::string_view input;
    std::string_view sql;
    std::vector<std::string> names;
};

TEST(TranslateNamed, RewritesNamesOutsideLiteralsAndCasts)
{
    const NamedCase cases[] = {
        {"screen query, same name twice keeps one number",
         "SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E WHERE (E.CDEMPRESA = :P_CDEMPRESA OR :P_TCDEMPRESA = 'T') "
         "ORDER BY E.CDEMPRESA",
         "SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E WHERE (E.CDEMPRESA = $1 OR $2 = 'T') ORDER BY E.CDEMPRESA",
         {"P_CDEMPRESA", "P_TCDEMPRESA"}},
        {"repeated name", "WHERE A = :P_X OR B = :P_Y OR C = :P_X", "WHERE A = $1 OR B = $2 OR C = $1", {"P_X", "P_Y"}},
        {"names match without regard to case", "WHERE A = :p_x OR B = :P_X", "WHERE A = $1 OR B = $1", {"p_x"}},
        {"colon inside a string literal", "WHERE A = ':P_NOT' AND B = :P_B", "WHERE A = ':P_NOT' AND B = $1", {"P_B"}},
        {"doubled quote inside literal", "WHERE A = 'it''s :P_NOT' AND B=:P_B", "WHERE A = 'it''s :P_NOT' AND B=$1",
         {"P_B"}},
        {"cast is not a parameter", "SELECT :P_A::text, x::integer", "SELECT $1::text, x::integer", {"P_A"}},
        {"quoted identifier", "SELECT \":P_COL\" FROM T WHERE X = :P_X", "SELECT \":P_COL\" FROM T WHERE X = $1",
         {"P_X"}},
        {"line comment", "SELECT 1 -- :P_NOT\nWHERE X = :P_X", "SELECT 1 -- :P_NOT\nWHERE X = $1", {"P_X"}},
        {"block comment", "SELECT /* :P_NOT */ :P_X", "SELECT /* :P_NOT */ $1", {"P_X"}},
        {"parenthesis before the name", "WHERE ((CDIMPOSTO = :P_CDIMPOSTO) OR (:P_TCDIMPOSTO = 'T'))",
         "WHERE ((CDIMPOSTO = $1) OR ($2 = 'T'))", {"P_CDIMPOSTO", "P_TCDIMPOSTO"}},
        {"colon followed by a digit stays", "SELECT a[1:2]", "SELECT a[1:2]", {}},
        {"no parameters", "SELECT 1", "SELECT 1", {}},
        {"unterminated literal swallows the rest", "SELECT 'abc :P_X", "SELECT 'abc :P_X", {}},
    };
    for (const NamedCase &c : cases) {
        SCOPED_TRACE(c.label);
        const NamedSql got = translateNamed(c.input);
        EXPECT_EQ(got.sql, c.sql);
        EXPECT_EQ(got.names, c.names);
    }
}

struct DollarCase {
    std::string_view input;
    std::string_view sqlite;
    int highest;
};

TEST(DollarPlaceholders, RewrittenForSqliteAndCountedOutsideLiterals)
{
    const DollarCase cases[] = {
        {"SELECT $1, $2", "SELECT ?1, ?2", 2},
        {"SELECT $2 WHERE X = $1", "SELECT ?2 WHERE X = ?1", 2},
        {"SELECT '$1' || $1", "SELECT '$1' || ?1", 1},
        {"SELECT $$ $3 $$, $1", "SELECT $$ $3 $$, ?1", 1},
        {"SELECT $tag$ it's $2 $tag$ || $1", "SELECT $tag$ it's $2 $tag$ || ?1", 1},
        {"SELECT a$1 FROM t", "SELECT a$1 FROM t", 0},
        {"SELECT $12", "SELECT ?12", 12},
        {"SELECT E'it\\'s $2', $1", "SELECT E'it\\'s $2', ?1", 1},
        {"-- $9\nSELECT $1", "-- $9\nSELECT ?1", 1},
    };
    for (const DollarCase &c : cases) {
        SCOPED_TRACE(std::string(c.input));
        EXPECT_EQ(detail::dollarToQuestion(c.input), c.sqlite);
        EXPECT_EQ(detail::highestDollarParam(c.input), c.highest);
    }
}

TEST(SplitStatements, SplitsOnSemicolonsThatEndStatements)
{
    const std::string script = "-- heading; with a semicolon\n"
                               "CREATE TABLE A (X VARCHAR(3)); \n"
                               "INSERT INTO A VALUES ('a;b');\n"
                               "/* block; */\n"
                               ";;\n"
                               "SELECT 1 -- trailing; comment\n";
    const std::vector<std::string> expected = {"CREATE TABLE A (X VARCHAR(3))", "INSERT INTO A VALUES ('a;b')",
                                               "SELECT 1"};
    EXPECT_EQ(detail::splitStatements(script), expected);
}

TEST(SplitStatements, EmbeddedSchemaHasEveryTableAndIndex)
{
    const auto statements = detail::splitStatements(detail::schemaSql());
    int tables = 0, indexes = 0;
    for (const auto &s : statements) {
        tables += s.starts_with("CREATE TABLE IF NOT EXISTS");
        indexes += s.starts_with("CREATE INDEX IF NOT EXISTS");
        EXPECT_TRUE(s.starts_with("CREATE TABLE IF NOT EXISTS") || s.starts_with("CREATE INDEX IF NOT EXISTS")) << s;
    }
    EXPECT_EQ(tables, 16);
    EXPECT_EQ(indexes, 7);
}

TEST(DemoSize, ParsesOnlyTheTwoSizes)
{
    EXPECT_EQ(parseDemoSize("small"), DemoSize::Small);
    EXPECT_EQ(parseDemoSize("large"), DemoSize::Large);
    for (std::string_view bad : {"", "Small", "medium", "large "})
        EXPECT_THROW(parseDemoSize(bad), std::invalid_argument) << bad;
}

} // namespace
} // namespace fiscal::storage
