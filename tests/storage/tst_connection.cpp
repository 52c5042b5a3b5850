#include "backendfixture.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>

namespace fiscal::storage::test {
namespace {

using Kind = Error::Kind;

class ConnectionTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        createSchema(*db);
    }
};

TEST_F(ConnectionTest, TextRoundTripsExactly)
{
    struct Case {
        const char *label;
        std::optional<std::string_view> value;
    };
    const Case cases[] = {
        {"accents", "São Paulo, Conceição, Araújo"},
        {"empty string is not NULL", ""},
        {"an empty view without storage is not NULL either", std::string_view()},
        {"NULL", std::nullopt},
        {"quotes and placeholders inside the value", "D'ÁVILA $1 :P_X ?1"},
        {"tab, newline and backslash", "a\tb\nc\\d"},
        {"four-byte UTF-8", "Grupo 🙂"},
        {"leading and trailing blanks are kept", "  12 "},
    };
    auto update = db->prepare("UPDATE CLIENTE SET NMFANTCLIE = $2 WHERE CDCLIENTE = $1");
    db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ('1', 'n')");
    auto select = db->prepare("SELECT NMFANTCLIE, CDCLIENTE FROM CLIENTE WHERE CDCLIENTE = $1");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        update->bind(1, "1");
        update->bind(2, c.value);
        ASSERT_EQ(update->execute(), 1);
        select->bind(1, "1");
        ASSERT_TRUE(select->step());
        EXPECT_EQ(select->isNull(0), !c.value.has_value());
        if (c.value) {
            EXPECT_EQ(select->text(0), *c.value);
        }
        EXPECT_EQ(select->text(1), "1");
        EXPECT_FALSE(select->step());
    }
}

// PostgreSQL would cut a text at its first NUL and so match or store another value: both
// backends refuse such a text before anything runs, in statements and in bulk loads alike.
TEST_F(ConnectionTest, TextWithANulByteIsNeverBound)
{
    db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ('00000020', 'n', NULL)");
    const std::string cut("00000020\0tail", 13);
    const std::function<void()> attempts[] = {
        [&] {
            auto st = db->prepare("UPDATE CLIENTE SET NMFANTCLIE = 'x' WHERE CDCLIENTE = $1");
            st->bind(1, cut);
            st->execute();
        },
        [&] {
            auto st = db->prepareCached("SELECT 1 FROM CLIENTE WHERE CDCLIENTE = $1");
            st->bind(1, cut);
            st->step();
        },
        [&] {
            auto bulk = db->bulkInsert("CLIENTE", {"CDCLIENTE", "NMRAZSOCCLIE"});
            bulk->addRow({"ok", "n"});
            bulk->addRow({"00000021", cut});
            bulk->finish();
        },
    };
    for (const auto &attempt : attempts) {
        Transaction tx(*db);
        try {
            attempt();
            ADD_FAILURE() << "a text with a NUL byte was bound";
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), Kind::Constraint) << e.what();
        }
    }
    EXPECT_EQ(rows(*db, "SELECT CDCLIENTE, COALESCE(NMFANTCLIE, '-') FROM CLIENTE"),
              (std::vector<std::vector<std::string>>{{"00000020", "-"}}));
}

// A list bound as one parameter comes back exactly, whatever its texts and its length.
TEST_F(ConnectionTest, TextListsTravelAsOneParameter)
{
    const std::vector<std::vector<std::string>> lists = {
        {},
        {""},
        {"001", "D'ÁVILA", "a\"b", "back\\slash", "tab\tnew\nline\x01\x1f", "\xEF\xBB\xBF" "001", "Grupo 🙂", " 12 "},
        [] {
            std::vector<std::string> many;
            for (int i = 0; i < 70000; ++i)
                many.push_back(std::to_string(i));
            return many;
        }(),
    };
    auto st = db->prepare("SELECT value FROM (" + textListSubquery(db->backend(), 1) + ") t");
    for (const auto &list : lists) {
        SCOPED_TRACE(list.size());
        st->bind(1, textListParameter(list));
        std::vector<std::string> back;
        while (st->step())
            back.emplace_back(st->text(0));
        std::vector<std::string> expected = list;
        std::sort(expected.begin(), expected.end());
        std::sort(back.begin(), back.end());
        EXPECT_EQ(back, expected);
    }
    EXPECT_THROW(textListParameter({"ok", std::string("a\0b", 3)}), Error);
}

TEST_F(ConnectionTest, PlaceholdersBindByNumberNotByOrder)
{
    db->exec("INSERT INTO GRUPOFISCAL VALUES ('001', 'Um'), ('002', 'Dois'), ('003', 'Três')");
    struct Case {
        std::string sql;
        std::vector<std::optional<std::string>> params;
        std::vector<std::vector<std::string>> expected;
    };
    const Case cases[] = {
        {"SELECT CDGRUPOFISC FROM GRUPOFISCAL WHERE DSGRUPOFISC = $2 OR CDGRUPOFISC = $1 ORDER BY 1",
         {"001", "Três"}, {{"001"}, {"003"}}},
        {"SELECT CDGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1 OR DSGRUPOFISC = $1", {"Dois"}, {{"002"}}},
        {"SELECT CDGRUPOFISC FROM GRUPOFISCAL WHERE DSGRUPOFISC = '$1' OR CDGRUPOFISC = $1", {"002"}, {{"002"}}},
        {"SELECT CDGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {std::nullopt}, {}},
        {"SELECT CDGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC IN ($1, $2, $3) ORDER BY 1",
         {"003", "x", "001"}, {{"001"}, {"003"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sql);
        EXPECT_EQ(rows(*db, c.sql, c.params), c.expected);
    }
}

TEST_F(ConnectionTest, ExecuteReportsRowsChanged)
{
    struct Case {
        std::string sql;
        std::int64_t changed;
    };
    const Case cases[] = {
        {"INSERT INTO GRUPOFISCAL VALUES ('001', 'a'), ('002', 'b'), ('003', 'c')", 3},
        {"UPDATE GRUPOFISCAL SET DSGRUPOFISC = 'z' WHERE CDGRUPOFISC >= '002'", 2},
        {"UPDATE GRUPOFISCAL SET DSGRUPOFISC = 'z' WHERE CDGRUPOFISC = '999'", 0},
        // A statement that changes nothing must not report the previous statement's count.
        {"CREATE TABLE IF NOT EXISTS SCRATCH (X VARCHAR(1))", 0},
        {"DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '001'", 1},
        {"DELETE FROM GRUPOFISCAL", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sql);
        EXPECT_EQ(db->prepare(c.sql)->execute(), c.changed);
    }
}

TEST_F(ConnectionTest, ErrorsCarryTheirKind)
{
    db->exec("INSERT INTO GRUPOFISCAL VALUES ('001', 'Um')");
    db->exec("INSERT INTO EMPRESA VALUES ('01', 'E', 'E')");
    db->exec("INSERT INTO FILIAL VALUES ('0002', '01', 'F', '001')");
    struct Case {
        const char *label;
        std::string sql;
        Kind kind;
    };
    const Case cases[] = {
        {"duplicate key", "INSERT INTO GRUPOFISCAL VALUES ('001', 'Outro')", Kind::Constraint},
        {"missing parent", "INSERT INTO FILIAL VALUES ('0001', '01', 'F', '999')", Kind::Constraint},
        {"missing composite parent",
         "INSERT INTO GRFISIMPIEFORN VALUES ('01', '01', 'nope', '1', '001')", Kind::Constraint},
        {"NOT NULL", "INSERT INTO GRUPOFISCAL (CDGRUPOFISC) VALUES ('002')", Kind::Constraint},
        {"deleting a referenced parent", "DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '001'", Kind::Constraint},
        {"bad SQL", "SELEC 1", Kind::Syntax},
        {"unknown table", "SELECT * FROM NO_SUCH_TABLE", Kind::Syntax},
        {"unknown column", "SELECT NO_SUCH_COLUMN FROM GRUPOFISCAL", Kind::Syntax},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        try {
            db->prepare(c.sql)->execute();
            ADD_FAILURE() << "no error";
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), c.kind) << e.what();
            EXPECT_GT(std::string(e.what()).size(), 20u) << "the message should carry the database's own";
        }
    }
    // Nothing of the failed statements was written.
    EXPECT_EQ(rows(*db, "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL"),
              (std::vector<std::vector<std::string>>{{"001", "Um"}}));
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM FILIAL"), "1");
}

// A database that takes no more writes says why: no space left, or read-only. (The server
// tells the user each in words of its own; a real full disk is in the server's tests.)
TEST_F(ConnectionTest, ADatabaseThatTakesNoWritesSaysWhy)
{
    struct Case {
        const char *label;
        const char *setup;   // on this connection; empty: not on this backend
        const char *undo;
        const char *write;
        Kind kind;
    };
    const Case cases[] = {
        {"read-only", isPostgres() ? "SET default_transaction_read_only = on" : "PRAGMA query_only = ON",
         isPostgres() ? "SET default_transaction_read_only = off" : "PRAGMA query_only = OFF",
         "INSERT INTO GRUPOFISCAL VALUES ('001', 'Um')", Kind::ReadOnly},
        {"no page left", isPostgres() ? "" : "PRAGMA max_page_count = 1", "PRAGMA max_page_count = 1000000",
         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
         "INSERT INTO GRUPOFISCAL SELECT printf('%03d', i), 'Grupo fiscal de teste' FROM n", Kind::Full},
    };
    for (const Case &c : cases) {
        if (!*c.setup)
            continue;
        SCOPED_TRACE(c.label);
        db->exec(c.setup);
        if (isPostgres() && c.kind == Kind::ReadOnly) {
            EXPECT_TRUE(db->readOnly()) << "known before a write fails";
        }
        try {
            db->exec(c.write);
            ADD_FAILURE() << "no error";
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), c.kind) << e.what();
        }
        db->exec(c.undo);
        EXPECT_FALSE(db->readOnly());
        EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM GRUPOFISCAL"), "0");
    }
}

// After a large write the SQLite journal (the -wal file beside the database) goes back to a
// usual size once it is written to the database, rather than keeping the largest size since
// the connection opened.
TEST_F(ConnectionTest, TheJournalShrinksBackAfterALargeWrite)
{
    if (isPostgres())
        GTEST_SKIP() << "PostgreSQL keeps its own journal";
    const std::string wal = rows(*db, "PRAGMA database_list").at(0).at(2) + "-wal";
    db->exec("CREATE TABLE GRANDE (X BLOB)");
    db->exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30000) "
             "INSERT INTO GRANDE SELECT randomblob(1024) FROM n");
    EXPECT_GT(std::filesystem::file_size(wal), std::uintmax_t(24) << 20);
    for (int i = 0; i < 2; ++i)
        db->exec("INSERT INTO GRANDE VALUES (x'00')");
    EXPECT_LE(std::filesystem::file_size(wal), std::uintmax_t(16) << 20);
}

// A database set to a stricter isolation by default still gets the writes it was written
// for: READ COMMITTED, inside a transaction and out of one.
TEST_F(ConnectionTest, WritesAreReadCommittedWhateverTheDatabasesDefault)
{
    if (!isPostgres())
        GTEST_SKIP() << "SQLite has one isolation";
    db->exec("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET default_transaction_isolation = serializable', "
             "current_database()); END $$");
    auto other = openAnother();
    EXPECT_EQ(scalar(*other, "SHOW transaction_isolation"), "read committed");
    other->begin();
    EXPECT_EQ(scalar(*other, "SHOW transaction_isolation"), "read committed");
    other->rollback();
}

TEST_F(ConnectionTest, StatementIsReusableAndKeepsBindings)
{
    db->exec("INSERT INTO GRUPOFISCAL VALUES ('001', 'Um'), ('002', 'Dois')");
    auto s = db->prepare("SELECT cdgrupofisc, DSGRUPOFISC AS descricao FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1");
    ASSERT_EQ(s->columnCount(), 2); // known before the first step
    s->bind(1, "001");
    ASSERT_TRUE(s->step());
    EXPECT_EQ(s->columnName(0), "CDGRUPOFISC");
    EXPECT_EQ(s->columnName(1), "DESCRICAO");
    EXPECT_EQ(s->text(1), "Um");
    // Rebinding mid-result starts over with the new value.
    s->bind(1, "002");
    ASSERT_TRUE(s->step());
    EXPECT_EQ(s->text(1), "Dois");
    EXPECT_FALSE(s->step());
    EXPECT_FALSE(s->step()) << "a finished statement stays finished until reset";
    s->reset();
    ASSERT_TRUE(s->step()) << "reset keeps the bindings";
    EXPECT_EQ(s->text(0), "002");

    EXPECT_THROW(s->bind(2, "x"), Error) << "no $2 in the statement";
    auto ints = db->prepare("SELECT CDGRUPOFISC FROM GRUPOFISCAL WHERE CAST(CDGRUPOFISC AS INTEGER) = $1");
    ints->bindInt(1, 2);
    ASSERT_TRUE(ints->step());
    EXPECT_EQ(ints->text(0), "002");
}

TEST_F(ConnectionTest, ReadingWithoutARowIsAnError)
{
    auto s = db->prepare("SELECT CDGRUPOFISC FROM GRUPOFISCAL");
    EXPECT_THROW(s->text(0), Error);
    EXPECT_FALSE(s->step());
    EXPECT_THROW(s->isNull(0), Error);
    EXPECT_THROW(s->columnName(5), Error);
}

TEST_F(ConnectionTest, IdempotentSchemaKeepsData)
{
    db->exec("INSERT INTO GRUPOFISCAL VALUES ('001', 'Um')");
    createSchema(*db);
    createSchema(*db);
    EXPECT_EQ(scalar(*db, "SELECT DSGRUPOFISC FROM GRUPOFISCAL"), "Um");
    EXPECT_FALSE(db->inTransaction());
}

TEST_F(ConnectionTest, InterleavedStatementsOnOneConnection)
{
    // Reading one result while another statement runs must neither lose rows nor fail
    // (PostgreSQL streams rows and has to put the rest aside first).
    auto insert = db->prepare("INSERT INTO GRUPOFISCAL VALUES ($1, $2)");
    for (int i = 1; i <= 50; ++i) {
        char code[4];
        std::snprintf(code, sizeof code, "%03d", i);
        insert->bind(1, code);
        insert->bind(2, "g");
        insert->execute();
    }
    auto outer = db->prepare("SELECT CDGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC");
    auto touch = db->prepare("UPDATE GRUPOFISCAL SET DSGRUPOFISC = 'visto' WHERE CDGRUPOFISC = $1");
    int seen = 0;
    while (outer->step()) {
        ++seen;
        const std::string code(outer->text(0));
        touch->bind(1, code);
        EXPECT_EQ(touch->execute(), 1);
    }
    EXPECT_EQ(seen, 50);
    EXPECT_EQ(scalar(*db, "SELECT COUNT(*) FROM GRUPOFISCAL WHERE DSGRUPOFISC = 'visto'"), "50");
}

TEST_F(ConnectionTest, OpenFailuresAreConnectionErrors)
{
    std::vector<std::string> bad = {"/nonexistent-dir/sub/fiscal.db", ""};
    if (isPostgres())
        bad.push_back("postgresql://fiscal@127.0.0.1:1/fiscal?connect_timeout=2");
    // A file that is not a database; named per process, as both backends' runs may be at it at once.
    const auto junk = std::filesystem::temp_directory_path()
                      / ("storage-test-not-a-db-" + std::to_string(getpid()) + ".txt");
    {
        std::ofstream out(junk);
        out << std::string(4096, 'x');
    }
    bad.push_back(junk.string());
    for (const std::string &url : bad) {
        try {
            open(url);
            ADD_FAILURE() << "opened " << url;
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), Kind::Connection) << url << ": " << e.what();
        }
    }
    std::filesystem::remove(junk);
}

} // namespace
} // namespace fiscal::storage::test
