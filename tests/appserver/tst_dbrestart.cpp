// PostgreSQL stopped (a fast shutdown: every session ended, open transactions rolled back) and
// started again while calls run: a 500,000-row automatic registration, one-row saves and
// reads. Every call in flight ends with -32000 and a Portuguese message (a read whose answer
// had begun to stream ends as a broken reply, never as a short success); nothing of a failed
// call is written; while the database is away every call is answered at once with the same
// error and /health says 503; once it is back, /health says 200 and the same server serves
// again on every thread.
//
// The cluster is the test's own (ctest starts it as the fixture postgresql_restart), so
// stopping it disturbs no other test.

#include "writesupport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

void cluster(const char *action)
{
    const std::string command = std::string(std::getenv("FISCAL_PG_CLUSTER_SCRIPT")) + " " + action + " "
        + std::getenv("FISCAL_PG_CLUSTER_STATE");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

bool registrationWriting(const std::string &clusterUrl)
{
    try {
        auto admin = fiscal::storage::open(clusterUrl);
        auto q = admin->prepare("SELECT COUNT(*) FROM pg_stat_activity WHERE state = 'active' "
                                "AND query LIKE 'INSERT INTO GRFISIMPIEFORN%'");
        return q->step() && q->text(0) != "0";
    } catch (const fiscal::storage::Error &) {
        return false;
    }
}

// What the calls of one kind got: successes, clean database errors, anything else.
struct Tally {
    std::atomic<int> ok{0}, databaseError{0}, brokenReply{0}, other{0};
    std::mutex mutex;
    std::string others;

    void count(const std::function<RpcResult()> &call, bool mayBreak)
    {
        try {
            const RpcResult r = call();
            if (r.ok())
                ++ok;
            else if (r.errorCode == -32000 && r.errorMessage.contains(QStringLiteral("banco de dados")))
                ++databaseError;
            else
                note(std::to_string(r.errorCode) + " " + r.errorMessage.toStdString());
        } catch (const std::exception &e) {
            if (mayBreak)
                ++brokenReply;
            else
                note(e.what());
        }
    }
    void note(const std::string &what)
    {
        ++other;
        std::lock_guard lock(mutex);
        others += what + "\n";
    }
};

TEST(DatabaseGoesAway, CallsInFlightFailCleanlyAndTheServerServesAgainOnItsOwn)
{
    auto db = TestDb::create(Backend::Postgres);
    seed(*db);
    seedSuppliers(*db, 500000);
    const std::string before = snapshot(*db);
    ServerProcess server(db->url());

    std::atomic<bool> stop = false;
    Tally saves, reads;
    // One-row saves of branch W001, 901 and 902 in turn; `saved` is what the database holds.
    std::string saved = "901";
    std::thread saver([&] {
        while (!stop) {
            const std::string next = saved == "901" ? "902" : "901";
            const QCborValue change = ChangeSetBuilder("SetFilial")
                                          .update({{"CDFILIAL", "W001"}, {"CDGRUPOFISC", QString::fromStdString(saved)}},
                                                  {{"CDFILIAL", "W001"}, {"CDGRUPOFISC", QString::fromStdString(next)}})
                                          .build();
            const int okBefore = saves.ok;
            saves.count([&] { return rpcCall(server.port(), kParamGrupFiscal, "SetFilial", QCborArray{change}); }, false);
            if (saves.ok > okBefore)
                saved = next;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::thread reader([&] {
        while (!stop)
            reads.count([&] { return rpcCall(server.port(), kParamGrupFiscal, "GetDados"); }, true);
    });

    RpcResult bulk;
    std::thread registration([&] {
        bulk = rpcCall(server.port(), kCadAutParGrpFis, "CadastroAutomatico",
                       strings({"GRFISIMPIEFORN", "903", "", "T", "91", "91", "IE-A"}));
    });
    const std::string clusterUrl = *postgresClusterUrl();
    bool seen = false;
    for (int i = 0; i < 3000 && !seen; ++i) {
        seen = registrationWriting(clusterUrl);
        if (!seen)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    cluster("halt");
    registration.join();
    ASSERT_TRUE(seen) << "the registration never got to writing";
    EXPECT_EQ(bulk.errorCode, -32000) << bulk.errorMessage.toStdString();
    EXPECT_TRUE(bulk.errorMessage.contains(QStringLiteral("banco de dados"))) << bulk.errorMessage.toStdString();

    // Away: answered at once, with the same error.
    for (const char *method : {"GetFilial", "GetGrupoFiscal"}) {
        const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, method,
                                    std::string(method) == "GetFilial" ? QCborArray{} : strings({"001"}));
        EXPECT_EQ(r.errorCode, -32000) << method;
    }
    // Saves of one row and of several, which go as one statement: nothing was written, and
    // neither is said to may have been.
    const auto clientTo903 = [](ChangeSetBuilder &b, const char *client, const char *group) -> ChangeSetBuilder & {
        return b.update({{"CDCLIENTE", client}, {"CDGRUPOFISC", group}}, {{"CDCLIENTE", client}, {"CDGRUPOFISC", "903"}});
    };
    ChangeSetBuilder one("SetCliente"), two("SetCliente");
    clientTo903(one, "WC1", "901");
    clientTo903(clientTo903(two, "WC1", "901"), "WC3", "902");
    for (ChangeSetBuilder *save : {&one, &two}) {
        const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, "SetCliente", QCborArray{save->build()});
        EXPECT_EQ(r.errorCode, -32000) << r.errorMessage.toStdString();
        EXPECT_TRUE(r.errorMessage.contains(QStringLiteral("Não foi possível acessar o banco de dados")))
            << r.errorMessage.toStdString();
    }
    EXPECT_TRUE(healthBecomes(server.port(), 503)) << "/health still says the database answers";

    cluster("resume");
    EXPECT_TRUE(healthBecomes(server.port(), 200)) << "/health never saw the database back";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));   // a few calls after the return
    stop = true;
    saver.join();
    reader.join();
    std::printf("during the stop: saves %d ok, %d database errors; reads %d ok, %d database errors, %d broken\n",
                saves.ok.load(), saves.databaseError.load(), reads.ok.load(), reads.databaseError.load(),
                reads.brokenReply.load());
    EXPECT_EQ(saves.other + reads.other, 0) << saves.others << reads.others;
    EXPECT_GT(saves.databaseError + reads.databaseError + reads.brokenReply, 0) << "no call met the stop";

    // Back: every serving thread has a working connection again, with no restart.
    for (int i = 0; i < 8; ++i) {
        const RpcResult r = rpcCall(server.port(), kParamGrupFiscal, "GetFilial");
        EXPECT_TRUE(r.ok()) << i << ": " << r.errorMessage.toStdString();
    }
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM FILIAL WHERE CDFILIAL = 'W001'"), saved);
    db->exec("UPDATE FILIAL SET CDGRUPOFISC = '901' WHERE CDFILIAL = 'W001'");
    EXPECT_EQ(snapshot(*db), before) << "the registration left nothing behind";

    const RpcResult again = rpcCall(server.port(), kCadAutParGrpFis, "CadastroAutomatico",
                                    strings({"GRFISIMPIEFORN", "903", "", "T", "91", "91", "IE-A"}));
    EXPECT_TRUE(again.ok()) << again.errorMessage.toStdString();
}

} // namespace
