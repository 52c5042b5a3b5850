// fiscal-server backup and restore on SQLite, as an operator runs them: a copy taken while
// eight clients keep saving restores to the database as it was at one moment, every table
// of it; a copy is never written over a file, and a bad one never restored.

#include "groupchanges.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <unistd.h>

using namespace fiscal::test;
namespace storage = fiscal::storage;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool sqliteUnderTest()
{
    const auto b = backendsUnderTest();
    return std::find(b.begin(), b.end(), Backend::Sqlite) != b.end();
}

using Rows = std::vector<std::vector<std::string>>;

Rows rows(storage::Connection &c, const std::string &sql)
{
    Rows out;
    auto st = c.prepare(sql);
    while (st->step()) {
        std::vector<std::string> row;
        for (int i = 0; i < st->columnCount(); ++i)
            row.push_back(st->isNull(i) ? "<null>" : std::string(st->text(i)));
        out.push_back(std::move(row));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Every table of the database, whole.
std::map<std::string, Rows> everything(storage::Connection &c)
{
    std::map<std::string, Rows> tables;
    for (const auto &t : rows(c, "SELECT name FROM sqlite_master WHERE type = 'table'"))
        tables[t[0]] = rows(c, "SELECT * FROM " + t[0]);
    return tables;
}

// One client saving its own three clients again and again, each time to another group.
struct Saver {
    std::vector<std::string> keys;
    std::map<std::string, std::optional<std::string>> current;
    std::vector<std::string> problems;

    void run(std::uint16_t port, const std::vector<std::string> &groups, std::atomic<int> &saves,
             const std::atomic<bool> &stop)
    {
        for (std::size_t attempt = 0; !stop; ++attempt) {
            const std::string to = groups[attempt % groups.size()];
            std::vector<GroupRow> changes;
            for (const std::string &k : keys)
                changes.emplace_back(k, current[k]);
            const RpcResult r = rpcCall(port, kParamGrupFiscal, "SetCliente", {groupChanges("SetCliente", changes, to)});
            if (!r.ok()) {
                problems.push_back(r.errorMessage.toStdString());
                return;
            }
            for (const std::string &k : keys)
                current[k] = to;
            ++saves;
        }
    }
};

class Backup : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!sqliteUnderTest())
            GTEST_SKIP() << "SQLite only";
        dir = fs::temp_directory_path() / ("fiscal-backup-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string file(const char *name) const { return (dir / name).string(); }

    fs::path dir;
};

TEST_F(Backup, ACopyTakenWhileEightClientsSaveRestoresOneMomentOfEveryTable)
{
    auto db = TestDb::create(Backend::Sqlite);
    auto source = db->connect();
    std::vector<std::string> groups;
    for (const auto &g : rows(*source, "SELECT CDGRUPOFISC FROM GRUPOFISCAL"))
        groups.push_back(g[0]);
    const Rows clients = rows(*source, "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE");
    ASSERT_GE(clients.size(), 24u);
    std::map<std::string, std::string> initial;
    for (const auto &c : clients)
        initial[c[0]] = c[1];

    std::vector<Saver> savers(8);
    for (std::size_t i = 0; i < 24; ++i) {
        Saver &s = savers[i / 3];
        s.keys.push_back(clients[i][0]);
        s.current[clients[i][0]] = clients[i][1] == "<null>" ? std::nullopt : std::optional(clients[i][1]);
    }
    ServerProcess server(db->url(), {.workers = 4});
    std::atomic<int> saves{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (Saver &s : savers)
        threads.emplace_back([&] { s.run(server.port(), groups, saves, stop); });
    const auto waitSaves = [&](int n) {
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (saves < n && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(10ms);
    };
    waitSaves(40);
    const ExitResult copied = runServer({"backup", "--db", db->url(), file("copia.sqlite")});
    waitSaves(saves + 40);
    stop = true;
    for (auto &t : threads)
        t.join();
    server.stop();
    ASSERT_EQ(copied.code, 0) << copied.err;
    for (const Saver &s : savers)
        EXPECT_TRUE(s.problems.empty()) << s.problems.front();
    // The copy is one file, for its owner's eyes only.
    EXPECT_FALSE(fs::exists(file("copia.sqlite-wal")));
    EXPECT_EQ(fs::status(file("copia.sqlite")).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    const ExitResult restored = runServer({"restore", "--db", file("restaurado.sqlite"), file("copia.sqlite")});
    ASSERT_EQ(restored.code, 0) << restored.err;
    EXPECT_EQ(fs::status(file("restaurado.sqlite")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    auto copy = storage::open(file("restaurado.sqlite"));
    auto inCopy = everything(*copy);
    auto now = everything(*source);

    // The moment: the last operation in the copy. Saves went on before and after it.
    const std::string last = rows(*copy, "SELECT MAX(IDOPERACAO) FROM HISTOPERACAO").at(0).at(0);
    const int n = std::stoi(last);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, saves.load());
    const std::string upToN = " WHERE IDOPERACAO <= " + last;
    EXPECT_EQ(inCopy["HISTOPERACAO"], rows(*source, "SELECT * FROM HISTOPERACAO" + upToN));
    EXPECT_EQ(inCopy["HISTITEM"], rows(*source, "SELECT * FROM HISTITEM" + upToN));
    EXPECT_EQ(inCopy["sqlite_sequence"], Rows({{"HISTOPERACAO", last}}));
    // Every client as the first n operations left it.
    std::map<std::string, std::string> expected = initial;
    for (const auto &item : rows(*source, "SELECT printf('%09d', IDOPERACAO), CDCHAVE1, COALESCE(CDGRUPONOVO, '<null>')"
                                          " FROM HISTITEM WHERE NMTABELA = 'CLIENTE' AND IDOPERACAO <= " + last))
        expected[item[1]] = item[2];
    Rows expectedClients;
    for (const auto &[key, group] : expected)
        expectedClients.push_back({key, group});
    EXPECT_EQ(rows(*copy, "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE"), expectedClients);
    const char *unchanged = "SELECT CDCLIENTE, IDTPIJURCLIE, NRINSJURCLIE, NMRAZSOCCLIE, NMFANTCLIE FROM CLIENTE";
    EXPECT_EQ(rows(*copy, unchanged), rows(*source, unchanged));
    for (const char *moved : {"HISTOPERACAO", "HISTITEM", "sqlite_sequence", "CLIENTE"}) {
        inCopy.erase(moved);
        now.erase(moved);
    }
    EXPECT_EQ(inCopy, now);

    // Put back over the database itself, the copy is all there is.
    const ExitResult back = runServer({"restore", "--db", db->url(), file("copia.sqlite")});
    ASSERT_EQ(back.code, 0) << back.err;
    source = db->connect();
    EXPECT_EQ(everything(*source), everything(*copy));
    ServerProcess again(db->url());
    EXPECT_TRUE(rpcCall(again.port(), kParamGrupFiscal, "GetGrupoFiscal", {QString()}).ok());
}

TEST_F(Backup, ACopyNeverOverwritesAndABadOneIsNeverRestored)
{
    auto db = TestDb::create(Backend::Sqlite);
    ASSERT_EQ(runServer({"backup", "--db", db->url(), file("copia.sqlite")}).code, 0);
    std::ofstream(file("texto.sqlite")) << "não é um banco";
    ASSERT_EQ(runServer({"backup", "--db", db->url(), file("nova.sqlite")}).code, 0);
    storage::open(file("nova.sqlite"))->exec("UPDATE VERSAOESQUEMA SET NRVERSAO = 99");
    ASSERT_EQ(runServer({"--db", file("vazio.sqlite"), "--init"}).code, 0);
    storage::open(file("vazio.sqlite"))->exec("DROP TABLE GRUPOFISCAL");
    const auto before = everything(*db->connect());
    const auto copyBefore = everything(*storage::open(file("copia.sqlite")));

    struct Refusal {
        std::vector<std::string> args;
        int code;
        const char *says;
    };
    const std::vector<Refusal> refusals{
        {{"backup", "--db", db->url(), file("copia.sqlite")}, 1, "already exists"},
        {{"backup", "--db", file("nenhum.sqlite"), file("outra.sqlite")}, 1, "nenhum.sqlite"},
        {{"restore", "--db", db->url(), file("texto.sqlite")}, 1, "texto.sqlite"},
        {{"restore", "--db", db->url(), file("nova.sqlite")}, 1, "newer than this program's"},
        {{"restore", "--db", db->url(), file("vazio.sqlite")}, 1, "no fiscal database"},
        {{"restore", "--db", db->url(), file("nenhum.sqlite")}, 1, "nenhum.sqlite"},
        {{"backup", "--db", "postgresql://fiscal@127.0.0.1/fiscal", file("pg.sqlite")}, 2, "pg_dump"},
        {{"restore", "--db", db->url()}, 2, "ARQUIVO"},
        // Run before every start of a server: a file moved away is not made again empty.
        {{"migrate", "--db", file("nenhum.sqlite")}, 1, "does not exist"},
    };
    for (const Refusal &r : refusals) {
        const ExitResult got = runServer(r.args);
        EXPECT_EQ(got.code, r.code) << r.args[0] << " " << r.args.back() << "\n" << got.err;
        EXPECT_NE(got.err.find(r.says), std::string::npos) << got.err;
    }
    EXPECT_EQ(everything(*db->connect()), before);
    EXPECT_EQ(everything(*storage::open(file("copia.sqlite"))), copyBefore);
    for (const char *absent : {"nenhum.sqlite", "outra.sqlite", "pg.sqlite"})
        EXPECT_FALSE(fs::exists(file(absent))) << absent;
    // Nothing half-written is left beside the copies.
    for (const auto &entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find("parcial"), std::string::npos) << entry.path();
}

// A USB disk formatted as exFAT, through FUSE on a loop device: no hard links. Skipped where
// such mounts are not allowed (not root, no /dev/fuse or loop devices).
TEST_F(Backup, ACopyToADiskWithoutHardLinksIsWholeAndNeverOverwrites)
{
    const fs::path image = dir / "pendrive.img";
    const fs::path disk = dir / "pendrive";
    fs::create_directories(disk);
    { std::ofstream(image).close(); }
    fs::resize_file(image, 64 << 20);
    const std::string quiet = " >/dev/null 2>&1";
    if (std::system(("mkfs.exfat " + image.string() + quiet).c_str()) != 0
        || std::system(("mount -o loop -t exfat-fuse " + image.string() + " " + disk.string() + quiet).c_str()) != 0)
        GTEST_SKIP() << "cannot mount an exFAT disk here";
    struct Unmount {
        std::string path;
        ~Unmount() { std::system(("umount " + path + " >/dev/null 2>&1").c_str()); }
    } unmount{disk.string()};

    auto db = TestDb::create(Backend::Sqlite);
    const std::string copy = (disk / "copia.sqlite").string();
    const ExitResult first = runServer({"backup", "--db", db->url(), copy});
    ASSERT_EQ(first.code, 0) << first.err;
    const ExitResult again = runServer({"backup", "--db", db->url(), copy});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
    const ExitResult restored = runServer({"restore", "--db", file("restaurado.sqlite"), copy});
    ASSERT_EQ(restored.code, 0) << restored.err;
    EXPECT_EQ(everything(*storage::open(file("restaurado.sqlite"))), everything(*db->connect()));
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(disk))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"copia.sqlite"});
}

} // namespace
