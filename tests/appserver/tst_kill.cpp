// A server killed (SIGKILL) in the middle of a large automatic registration or replication
// leaves the database exactly as it was, and a new server on it serves at once; a client that
// gives up on a call leaves nothing of it behind either.

#include "writesupport.h"

#include "rpc/client.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

constexpr int kSuppliers = 200000;

struct KillCase {
    const char *what;
    const char *method;
    bool replicaOrigin;     // seed the origin rows a replication copies
};

const KillCase kCases[] = {
    {"automatic registration of every supplier", "CadastroAutomatico", false},
    {"replication of every supplier", "Replica", true},
};

const std::string &kind(const KillCase &k)
{
    return std::string(k.method) == "Replica" ? kParamGrupFiscal : kCadAutParGrpFis;
}

QCborArray argsOf(const KillCase &k)
{
    if (std::string(k.method) == "CadastroAutomatico")
        return strings({"GRFISIMPIEFORN", "903", "", "T", "91", "91", "IE-A"});
    QCborArray a = strings({"91", "91", "IE-A", "T", "91", "'IE-B'"});
    a.append(true);
    a.append(false);
    return a;
}

struct KillParam {
    Backend backend;
    KillCase op;
};

void PrintTo(const KillParam &p, std::ostream *os) { *os << backendName(p.backend) << '/' << p.op.method; }

class Kill : public ::testing::TestWithParam<KillParam> {};

// Evidence that the server is inside the big statement: PostgreSQL shows it as active;
// SQLite has begun spilling its uncommitted pages into the write-ahead log.
bool writing(const TestDb &db)
{
    if (db.backend() == Backend::Postgres)
        return db.count("SELECT COUNT(*) FROM pg_stat_activity WHERE pid <> pg_backend_pid() AND state = 'active' "
                        "AND datname = current_database() "
                        "AND query LIKE 'INSERT INTO GRFISIMPIEFORN%'") > 0;
    std::error_code ec;
    const auto size = std::filesystem::file_size(db.url() + "-wal", ec);
    return !ec && size > 1024 * 1024;
}

TEST_P(Kill, LeavesTheDatabaseAsItWas)
{
    const KillCase &k = GetParam().op;
    Env env(GetParam().backend);
    seedSuppliers(*env.db, kSuppliers);
    if (k.replicaOrigin)
        env.db->exec("INSERT INTO GRFISIMPIEFORN (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC) "
                     "SELECT '91', '91', 'IE-A', CDFORNECED, '902' FROM FORNECEDOR WHERE CDFORNECED LIKE 'K%'");
    if (env.db->backend() == Backend::Sqlite)
        env.db->query("PRAGMA wal_checkpoint(TRUNCATE)");
    const std::string before = snapshot(*env.db);

    std::atomic<bool> answered = false;
    std::thread caller([&] {
        try {
            if (rpcCall(env.server->port(), kind(k), k.method, argsOf(k)).httpStatus > 0)
                answered = true;
        } catch (const std::exception &) {
            // The connection dies with the server.
        }
    });
    bool seen = false;
    for (int i = 0; i < 6000 && !answered && !seen; ++i) {
        seen = writing(*env.db);
        if (!seen)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    env.server->kill();
    caller.join();
    ASSERT_TRUE(seen && !answered) << "the call ended before the server could be killed inside it";

    // PostgreSQL finishes the orphaned statement before it notices the client is gone.
    if (env.db->backend() == Backend::Postgres)
        for (int i = 0; i < 6000 && writing(*env.db); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(snapshot(*env.db), before);

    ServerProcess restarted(env.db->url());
    const RpcResult read = rpcCall(restarted.port(), kParamGrupFiscal, "GetFornInsc", strings({"91", "91", "IE-B"}));
    EXPECT_TRUE(read.ok()) << read.errorMessage.toStdString();
    const RpcResult write = rpcCall(restarted.port(), kCadAutParGrpFis, "CadastroAutomatico",
                                    strings({"FILIAL", "903", "", "T", "", "", ""}));
    EXPECT_TRUE(write.ok()) << write.errorMessage.toStdString();
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM FILIAL WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '903'"), 0);
}

std::vector<KillParam> killParams()
{
    std::vector<KillParam> out;
    for (Backend b : backendsUnderTest())
        for (const KillCase &k : kCases)
            out.push_back({b, k});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Writes, Kill, ::testing::ValuesIn(killParams()),
                         [](const ::testing::TestParamInfo<KillParam> &i) {
                             return backendName(i.param.backend) + "_" + i.param.op.method;
                         });

// The other way round: the client gives up (its time-out) while the server waits for a lock.
// The call, once it can go on, finds its client gone and rolls back instead of committing
// what the client has already reported as failed.
class ClientGone : public ::testing::TestWithParam<Backend> {};

TEST_P(ClientGone, ACallWhoseClientLeftIsRolledBack)
{
    auto db = TestDb::create(GetParam());
    seed(*db);
    const std::string before = snapshot(*db);
    ServerProcess server(db->url(), ServerOptions{{}, 1, {}, {}});   // one thread: calls queue
    {
        auto lock = db->connect();
        lock->begin();
        if (db->backend() == Backend::Postgres)
            lock->exec("LOCK TABLE FILIAL IN EXCLUSIVE MODE");
        fiscal::rpc::Client impatient(QStringLiteral("127.0.0.1"), server.port());
        EXPECT_THROW(impatient.call(QString::fromStdString(kCadAutParGrpFis), QStringLiteral("CadastroAutomatico"),
                                    strings({"FILIAL", "903", "", "T", "", "", ""}), 500),
                     fiscal::rpc::TransportError);
        lock->rollback();
    }
    // Served once the abandoned call has ended.
    EXPECT_TRUE(rpcCall(server.port(), kParamGrupFiscal, "GetFilial").ok());
    EXPECT_EQ(snapshot(*db), before);
}

INSTANTIATE_TEST_SUITE_P(Backends, ClientGone, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
