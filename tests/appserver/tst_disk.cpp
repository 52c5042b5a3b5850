// The SQLite database when its disk fills up in the middle of a large automatic registration,
// and when its file turns read-only: a clear error, the database as it was, reads served on,
// and saves again once the operator has mended the disk.
//
// The small disk is a tmpfs mounted in a mount namespace of the test's own (entered in main,
// before any thread starts; as another user than root, inside a user namespace), so it goes
// away with the test and nobody else sees it.

#include "writesupport.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>

using namespace fiscal::test;
using namespace fiscal::test::writes;
namespace fs = std::filesystem;

namespace {

std::string g_noMounts;   // why this test cannot mount, when it cannot

bool writeFile(const char *path, const std::string &text)
{
    std::ofstream out(path);
    out << text;
    return bool(out.flush());
}

void enterPrivateMounts()
{
    if (geteuid() != 0) {
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0
            || !writeFile("/proc/self/setgroups", "deny")
            || !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
            || !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            g_noMounts = std::string("no user namespace for a private mount: ") + std::strerror(errno);
            return;
        }
    } else if (unshare(CLONE_NEWNS) != 0) {
        g_noMounts = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        return;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        g_noMounts = std::string("making the mounts private: ") + std::strerror(errno);
}

// A tmpfs of a given size; `leaveFree` fills it up to a few bytes with a file of its own.
class SmallDisk {
public:
    explicit SmallDisk(std::uint64_t bytes)
    {
        std::string pattern = (fs::temp_directory_path() / "fiscal-disk-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_dir = pattern;
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        if (mount("fiscal-test-disk", m_dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            throw std::runtime_error(std::string("mounting a tmpfs: ") + std::strerror(errno));
    }
    ~SmallDisk()
    {
        umount2(m_dir.c_str(), MNT_DETACH);
        rmdir(m_dir.c_str());
    }
    const std::string &path() const { return m_dir; }

    void leaveFree(std::uint64_t bytes)
    {
        struct statvfs s {};
        ASSERT_EQ(statvfs(m_dir.c_str(), &s), 0);
        const std::uint64_t available = std::uint64_t(s.f_bavail) * s.f_frsize;
        ASSERT_GT(available, bytes);
        const int fd = open(filler().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(posix_fallocate(fd, 0, off_t(available - bytes)), 0);
        close(fd);
    }
    void freeUp() { fs::remove(filler()); }

private:
    std::string filler() const { return m_dir + "/filler"; }
    std::string m_dir;
};

const char *const kDiskFull = "espaço livre no disco";
const char *const kReadOnly = "somente para leitura";

QCborArray everySupplierToGroup903()
{
    return strings({"GRFISIMPIEFORN", "903", "", "T", "91", "91", "IE-A"});
}

// Reads that must go on whatever happened to the writes.
void expectReadsServed(std::uint16_t port)
{
    for (const char *method : {"GetDados", "GetFornecedor"}) {
        const RpcResult r = rpcCall(port, kParamGrupFiscal, method);
        EXPECT_TRUE(r.ok()) << method << ": " << r.errorMessage.toStdString();
    }
}

TEST(DiskFull, ABulkRegistrationThatFillsTheDiskChangesNothingAndTheServerGoesOn)
{
    if (!g_noMounts.empty())
        GTEST_SKIP() << g_noMounts;
    SmallDisk disk(512u << 20);
    auto db = TestDb::create(Backend::Sqlite, Demo::Small, disk.path());
    seed(*db);
    seedSuppliers(*db, 50000);
    db->query("PRAGMA wal_checkpoint(TRUNCATE)");
    const std::string before = snapshot(*db);
    ServerProcess server(db->url());
    disk.leaveFree(1u << 20);

    const RpcResult full = rpcCall(server.port(), kCadAutParGrpFis, "CadastroAutomatico", everySupplierToGroup903());
    EXPECT_EQ(full.errorCode, -32000);
    EXPECT_TRUE(full.errorMessage.contains(QString::fromUtf8(kDiskFull))) << full.errorMessage.toStdString();
    EXPECT_EQ(snapshot(*db), before);
    expectReadsServed(server.port());

    // The operator makes room: the same server takes the same call.
    disk.freeUp();
    const RpcResult again = rpcCall(server.port(), kCadAutParGrpFis, "CadastroAutomatico", everySupplierToGroup903());
    EXPECT_TRUE(again.ok()) << again.errorMessage.toStdString();
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' AND CDEMPRESA = '91' "
                        "AND CDINSCESTA = 'IE-A' AND CDGRUPOFISC = '903'"),
              db->count("SELECT COUNT(*) FROM FORNECEDOR"));
}

TEST(ReadOnlyFile, ReadsAreServedSavesRefusedUntilTheFileIsWritableAgain)
{
    auto db = TestDb::create(Backend::Sqlite);
    seed(*db);
    const std::string before = snapshot(*db);
    const auto writable = fs::status(db->url()).permissions();
    fs::permissions(db->url(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ServerOptions options;
    options.honourFileModes = true;
    ServerProcess server(db->url(), options);

    expectReadsServed(server.port());
    const struct {
        const char *what;
        std::string object, method;
        QCborArray params;
    } saves[] = {
        {"one row", kParamGrupFiscal, "SetFilial",
         QCborArray{ChangeSetBuilder("SetFilial")
                        .update({{"CDFILIAL", "W001"}, {"CDGRUPOFISC", "901"}}, {{"CDFILIAL", "W001"}, {"CDGRUPOFISC", "902"}})
                        .build()}},
        {"automatic registration", kCadAutParGrpFis, "CadastroAutomatico", strings({"FILIAL", "903", "", "T", "", "", ""})},
    };
    for (const auto &save : saves) {
        SCOPED_TRACE(save.what);
        const RpcResult r = rpcCall(server.port(), save.object, save.method, save.params);
        EXPECT_EQ(r.errorCode, -32000);
        EXPECT_TRUE(r.errorMessage.contains(QString::fromUtf8(kReadOnly))) << r.errorMessage.toStdString();
    }
    EXPECT_EQ(snapshot(*db), before);
    expectReadsServed(server.port());

    // The operator gives the file back its mode; the running server saves again.
    fs::permissions(db->url(), writable);
    for (const auto &save : saves) {
        SCOPED_TRACE(save.what);
        const RpcResult r = rpcCall(server.port(), save.object, save.method, save.params);
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    }
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM FILIAL WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '903'"), 0);

    // Made read-only under the running server: /health says so (a load balancer sends the
    // saves elsewhere), and healthy again once writable.
    ASSERT_TRUE(healthBecomes(server.port(), 200));
    fs::permissions(db->url(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_TRUE(healthBecomes(server.port(), 503)) << "/health still says the database takes writes";
    EXPECT_NE(httpGet(server.port(), "/health").body.toStdString().find("read-only"), std::string::npos);
    fs::permissions(db->url(), writable);
    EXPECT_TRUE(healthBecomes(server.port(), 200));
}

// The seeded branch W001 moved from one group to another through `port`.
RpcResult saveBranch(std::uint16_t port, const char *from, const char *to)
{
    return rpcCall(port, kParamGrupFiscal, "SetFilial",
                   QCborArray{ChangeSetBuilder("SetFilial")
                                  .update({{"CDFILIAL", "W001"}, {"CDGRUPOFISC", from}},
                                          {{"CDFILIAL", "W001"}, {"CDGRUPOFISC", to}})
                                  .build()});
}

// The file taken away (moved, or removed) under a running server: saves are refused, not
// written into the file the server still has open and lost with it, and /health says so;
// put back, it is served again.
TEST(MovedFile, AFileTakenAwayIsNoLongerWrittenTo)
{
    auto db = TestDb::create(Backend::Sqlite);
    seed(*db);
    ServerProcess server(db->url());
    const auto save = [&](const char *from, const char *to) { return saveBranch(server.port(), from, to); };
    ASSERT_TRUE(save("901", "902").ok());   // the server's connections are open on the file
    ASSERT_TRUE(healthBecomes(server.port(), 200));
    const std::string away = db->url() + ".away";
    for (const std::string suffix : {"", "-wal", "-shm"})
        if (fs::exists(db->url() + suffix))
            fs::rename(db->url() + suffix, away + suffix);

    const RpcResult moved = save("902", "903");
    EXPECT_FALSE(moved.ok()) << "a save answered as done into a file nobody will open again";
    EXPECT_TRUE(healthBecomes(server.port(), 503));

    for (const std::string suffix : {"", "-wal", "-shm"})
        if (fs::exists(away + suffix))
            fs::rename(away + suffix, db->url() + suffix);
    EXPECT_TRUE(save("902", "903").ok());
    EXPECT_TRUE(healthBecomes(server.port(), 200));
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM FILIAL WHERE CDFILIAL = 'W001'"), std::optional<std::string>("903"));
}

// An older copy put in the file's place under a running server (a restore without stopping
// it): the server opens it anew and finds it lacks what it writes, so saves are refused with
// the reason, not failed inside; /health says so. Brought up to date, it is served again.
TEST(MovedFile, AnOlderCopyInItsPlaceIsNotServed)
{
    // Put in the file's place by a move (a new file), or by `fiscal-server restore` under the
    // running server (the same file, its pages written over).
    const struct {
        const char *how;
        std::function<void(const std::string &db, const std::string &copy)> put;
    } ways[] = {
        {"moved", [](const std::string &db, const std::string &copy) {
             for (const std::string suffix : {"", "-wal", "-shm"})
                 if (fs::exists(db + suffix))
                     fs::rename(db + suffix, db + ".antes" + suffix);
             fs::rename(copy, db);
         }},
        {"restored", [](const std::string &db, const std::string &copy) {
             const ExitResult r = runServer({"restore", "--db", db, copy});
             ASSERT_EQ(r.code, 0) << r.err;
         }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.how);
        auto db = TestDb::create(Backend::Sqlite);
        seed(*db);
        ServerProcess server(db->url());
        const auto save = [&](const char *from, const char *to) { return saveBranch(server.port(), from, to); };
        ASSERT_TRUE(save("901", "902").ok());
        ASSERT_TRUE(healthBecomes(server.port(), 200));
        const std::string copy = db->url() + ".copia";
        ASSERT_EQ(runServer({"backup", "--db", db->url(), copy}).code, 0);
        const std::string current = std::to_string(fiscal::storage::kSchemaVersion);
        fiscal::storage::open(copy)->exec("DELETE FROM VERSAOESQUEMA WHERE NRVERSAO = " + current);
        way.put(db->url(), copy);

        const RpcResult older = save("902", "903");
        EXPECT_FALSE(older.ok());
        EXPECT_NE(older.errorMessage.indexOf(QStringLiteral("anterior à versão ") + QString::fromStdString(current)), -1)
            << older.errorMessage.toStdString();
        EXPECT_TRUE(healthBecomes(server.port(), 503));

        fiscal::storage::open(db->url())->exec("INSERT INTO VERSAOESQUEMA (NRVERSAO) VALUES (" + current + ")");
        EXPECT_TRUE(save("902", "903").ok());
        EXPECT_TRUE(healthBecomes(server.port(), 200));
    }
}

} // namespace

int main(int argc, char **argv)
{
    enterPrivateMounts();   // before gtest or Qt start a thread
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
