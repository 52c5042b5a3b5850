// Saves that arrive together. On PostgreSQL one serving thread sends the one-row saves of
// every thread queued behind a statement under way as one UPDATE; every call must still get
// the answer it would have had alone. The first save is held on a row the test locks, so that the others are
// read and queued while it waits, then all go when the lock is let go. SQLite runs the same
// calls one after the other and must answer them alike.

#include "writesupport.h"

#include "rpc/client.h"

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

constexpr int kConflict = -32001, kNotFound = -32002;

class Combined : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        db = TestDb::create(GetParam());
        seed(*db);
        db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ('WCB', 'Cliente bloqueado', '901'),"
                 " ('WC4', 'Cliente 4', '901'), ('WC5', 'Cliente 5', '901'), ('WC6', 'Cliente 6', '901'),"
                 " ('WC7', 'Cliente 7', '901'), ('WC8', 'Cliente 8', '901'), ('WC9', 'Cliente 9', '901')");
        if (GetParam() == Backend::Postgres) {
            // A save of WCB runs on until the test lets it go: a statement that runs, not one
            // that waits for a lock (the combined statement gives a held row up soon).
            db->exec("CREATE FUNCTION test_hold() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
                     " IF NEW.CDCLIENTE = 'WCB' THEN"
                     " WHILE NOT pg_try_advisory_xact_lock_shared(4242) LOOP PERFORM pg_sleep(0.005); END LOOP;"
                     " END IF; RETURN NEW; END $$");
            db->exec("CREATE TRIGGER test_hold BEFORE UPDATE ON CLIENTE FOR EACH ROW EXECUTE FUNCTION test_hold()");
        }
        ServerOptions options;
        options.workers = workers();
        server = std::make_unique<ServerProcess>(db->url(), options);
    }

    // One: every connection on the thread whose statement is held.
    virtual int workers() const { return 1; }

    struct Save {
        std::string method;
        QCborValue changes;
        std::string user;   // named in X-Fiscal-User when not empty
    };

    // A save of WCB held until `lock` commits or rolls back: by the trigger above on
    // PostgreSQL, by the database's write lock on SQLite.
    struct Held {
        std::unique_ptr<fiscal::storage::Connection> lock;
        std::future<RpcResult> save;
    };
    Held holdASave()
    {
        Held h{db->connect(), {}};
        h.lock->begin();
        if (GetParam() == Backend::Postgres)
            h.lock->exec("SELECT pg_advisory_xact_lock(4242)");
        else
            h.lock->exec("UPDATE CLIENTE SET NMRAZSOCCLIE = 'Cliente bloqueado' WHERE CDCLIENTE = 'WCB'");
        h.save = std::async(std::launch::async, [this] {
            return call(moveClient("WCB", QStringLiteral("901"), QStringLiteral("902")));
        });
        waitUntilHeld();
        return h;
    }

    // Holds the first save on a locked row, sends the others meanwhile, then lets go; the
    // answers in the order of `saves`, after the first one's.
    std::vector<RpcResult> sendTogether(const std::vector<Save> &saves)
    {
        auto [lock, first] = holdASave();
        std::vector<std::future<RpcResult>> rest;
        for (const Save &s : saves)
            rest.push_back(std::async(std::launch::async, [this, s] { return call(s); }));
        // Time for the server to read them; the answers must not depend on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        lock->commit();
        const RpcResult held = first.get();
        EXPECT_TRUE(held.ok()) << held.errorMessage.toStdString();
        std::vector<RpcResult> results;
        for (auto &f : rest)
            results.push_back(f.get());
        return results;
    }

    RpcResult call(const Save &s) const
    {
        if (!s.user.empty())
            return rpcCallAs(s.user, server->port(), kParamGrupFiscal, s.method, QCborArray{s.changes});
        return rpcCall(server->port(), kParamGrupFiscal, s.method, QCborArray{s.changes});
    }

    // PostgreSQL shows the held statement in the trigger's sleep. SQLite's wait for the
    // write lock is not seen (and the server's one worker is in it, so /metrics is not
    // answered meanwhile): the save is given time to arrive, well inside its 5 s wait.
    void waitUntilHeld()
    {
        if (GetParam() != Backend::Postgres) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            return;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (db->count("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database()"
                         " AND wait_event = 'PgSleep'") == 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "the first save was never held";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::optional<std::string> groupOf(const char *client) const
    {
        return db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {std::string(client)});
    }

    static Save moveClient(const char *client, const V &from, const V &to)
    {
        return {"SetCliente", ChangeSetBuilder("SetCliente")
                                  .update({{"CDCLIENTE", client}, {"CDGRUPOFISC", from}},
                                          {{"CDCLIENTE", client}, {"CDGRUPOFISC", to}})
                                  .build()};
    }

    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;
};

TEST_P(Combined, SavesOfOneRowGiveOneSuccessAndConflictsForTheRest)
{
    std::vector<Save> saves;
    for (int i = 0; i < 6; ++i)
        saves.push_back(moveClient("WC1", QStringLiteral("901"), i % 2 ? QStringLiteral("903") : QStringLiteral("902")));
    for (const char *other : {"WC4", "WC5", "WC6", "WC7", "WC8"})
        saves.push_back(moveClient(other, QStringLiteral("901"), QStringLiteral("902")));

    const std::vector<RpcResult> results = sendTogether(saves);
    int successes = 0;
    std::optional<std::string> winner;
    for (std::size_t i = 0; i < 6; ++i) {
        if (results[i].ok()) {
            ++successes;
            winner = i % 2 ? "903" : "902";
            continue;
        }
        EXPECT_EQ(results[i].errorCode, kConflict) << results[i].errorMessage.toStdString();
        EXPECT_TRUE(results[i].errorMessage.contains(QStringLiteral("do cliente WC1 foi alterado por outro usuário")))
            << results[i].errorMessage.toStdString();
    }
    EXPECT_EQ(successes, 1);
    EXPECT_EQ(groupOf("WC1"), winner);
    for (std::size_t i = 6; i < results.size(); ++i)
        EXPECT_TRUE(results[i].ok()) << results[i].errorMessage.toStdString();
    for (const char *other : {"WC4", "WC5", "WC6", "WC7", "WC8"})
        EXPECT_EQ(groupOf(other), std::optional<std::string>("902")) << other;
}

// A save under way when the server is told to stop is still answered, and as it was done:
// the server ends after the answer, not before it with the save applied or lost unseen.
TEST_P(Combined, ASaveUnderWayWhenTheServerStopsIsAnswered)
{
    auto [lock, held] = holdASave();
    ASSERT_EQ(::kill(server->pid(), SIGTERM), 0);
    // The stop has begun while the save is held.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lock->commit();
    const RpcResult r = held.get();
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    EXPECT_EQ(groupOf("WCB"), std::optional<std::string>("902"));
    EXPECT_EQ(server->waitForExit(20000), 0);
}

// Saves sent as one statement are recorded as the calls alone would be: one operation per
// call that changed its row, under that call's user, with the row's group before and after;
// the call that lost the row leaves nothing.
TEST_P(Combined, EachSaveIsRecordedAsItsOwnOperationUnderItsOwnUser)
{
    std::vector<Save> saves;
    for (const char *client : {"WC4", "WC5", "WC6", "WC7", "WC8"}) {
        Save s = moveClient(client, QStringLiteral("901"), QStringLiteral("902"));
        s.user = std::string("usuário ") + client;
        saves.push_back(s);
    }
    Save lost = moveClient("WC4", QStringLiteral("901"), QStringLiteral("903"));
    lost.user = "perdeu";
    saves.push_back(lost);
    const std::vector<RpcResult> results = sendTogether(saves);
    ASSERT_EQ(results.size(), 6u);
    for (std::size_t i = 1; i < 5; ++i)
        EXPECT_TRUE(results[i].ok()) << results[i].errorMessage.toStdString();
    // Two saves of WC4: whichever came first wins, the other is a conflict.
    ASSERT_NE(results[0].ok(), results[5].ok());
    EXPECT_EQ((results[0].ok() ? results[5] : results[0]).errorCode, kConflict);
    const bool lostWon = results[5].ok();

    const auto recorded = db->query(
        "SELECT I.CDCHAVE1, O.NMUSUARIO, O.NMMETODO, O.DSARGUMENTOS, O.QTALTERADOS, I.CDGRUPOANT, I.CDGRUPONOVO,"
        " I.IDACAO FROM HISTOPERACAO O JOIN HISTITEM I ON I.IDOPERACAO = O.IDOPERACAO"
        " WHERE I.NMTABELA = 'CLIENTE' AND I.CDCHAVE1 LIKE 'WC%' ORDER BY I.CDCHAVE1");
    ASSERT_EQ(recorded.size(), 6u);
    for (const TestDb::Row &row : recorded) {
        const std::string client = row[0].value_or("");
        // The held save of WCB named nobody.
        const std::string user = client == "WCB" ? "(não autenticado)" : recordedAs(client == "WC4" && lostWon ? "perdeu" : "usuário " + client);
        EXPECT_EQ(row, (TestDb::Row{client, user, "SetCliente", "[1]", "1", "901",
                                    client == "WC4" && lostWon ? "903" : "902", "A"}));
    }
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 6);
}

TEST_P(Combined, CallsOfSeveralRowsAreAppliedWholeOrNotAtAll)
{
    const struct Case {
        const char *name;
        Save save;
        int code;                                                         // 0: success
        const char *message;                                              // part of the error
        std::vector<std::pair<const char *, std::optional<std::string>>> after;
    } cases[] = {
        // Each call moves its rows to one group: the saves the server combines.
        {"a stale row", {"SetCliente", ChangeSetBuilder("SetCliente")
                                           .update({{"CDCLIENTE", "WC4"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC4"}, {"CDGRUPOFISC", "903"}})
                                           .update({{"CDCLIENTE", "WC5"}, {"CDGRUPOFISC", "902"}}, {{"CDCLIENTE", "WC5"}, {"CDGRUPOFISC", "903"}})
                                           .build()},
         kConflict, "do cliente WC5 foi alterado por outro usuário", {{"WC4", "901"}, {"WC5", "901"}}},
        {"every row current", {"SetCliente", ChangeSetBuilder("SetCliente")
                                                 .update({{"CDCLIENTE", "WC6"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC6"}, {"CDGRUPOFISC", "903"}})
                                                 .update({{"CDCLIENTE", "WC7"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC7"}, {"CDGRUPOFISC", "903"}})
                                                 .build()},
         0, "", {{"WC6", "903"}, {"WC7", "903"}}},
        {"a record that does not exist", {"SetCliente", ChangeSetBuilder("SetCliente")
                                                            .update({{"CDCLIENTE", "WC8"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC8"}, {"CDGRUPOFISC", "902"}})
                                                            .update({{"CDCLIENTE", "WC0"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC0"}, {"CDGRUPOFISC", "902"}})
                                                            .build()},
         kNotFound, "Cliente WC0 não cadastrado.", {{"WC8", "901"}}},
        {"a group that does not exist", moveClient("WC9", QStringLiteral("901"), QStringLiteral("999")),
         kNotFound, "Grupo fiscal 999 não cadastrado.", {{"WC9", "901"}}},
        {"a lone row beside them", moveClient("WC2", null, QStringLiteral("901")), 0, "", {{"WC2", "901"}}},
        {"another table", {"SetFornecedor", ChangeSetBuilder("SetFornecedor")
                                                .update({{"CDFORNECED", "WF1"}, {"CDGRUPOFISC", "901"}}, {{"CDFORNECED", "WF1"}, {"CDGRUPOFISC", "903"}})
                                                .build()},
         0, "", {}},
    };
    std::vector<Save> saves;
    for (const Case &c : cases)
        saves.push_back(c.save);
    const std::vector<RpcResult> results = sendTogether(saves);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(results[i].errorCode, c.code) << results[i].errorMessage.toStdString();
        EXPECT_TRUE(results[i].errorMessage.contains(QString::fromUtf8(c.message))) << results[i].errorMessage.toStdString();
        for (const auto &[client, group] : c.after)
            EXPECT_EQ(groupOf(client), group) << client;
    }
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = 'WF1'"), std::optional<std::string>("903"));

    // Each call that went through is one operation of its own, whatever shared its statement;
    // the calls that failed left nothing (WCB: the fixture's held save).
    const auto recorded = db->query(
        "SELECT I.CDCHAVE1, O.QTALTERADOS, O.DSARGUMENTOS, I.CDGRUPOANT, I.CDGRUPONOVO,"
        " (SELECT COUNT(*) FROM HISTITEM J WHERE J.IDOPERACAO = O.IDOPERACAO)"
        " FROM HISTOPERACAO O JOIN HISTITEM I ON I.IDOPERACAO = O.IDOPERACAO"
        " WHERE I.NMTABELA = 'CLIENTE' AND I.CDCHAVE1 <> 'WCB' ORDER BY I.CDCHAVE1");
    EXPECT_EQ(recorded, (std::vector<TestDb::Row>{{"WC2", "1", "[1]", std::nullopt, "901", "1"},
                                                  {"WC6", "2", "[2]", "901", "903", "2"},
                                                  {"WC7", "2", "[2]", "901", "903", "2"}}));
}

// A call of several rows whose client gave up while it waited is not saved: the client has
// told its user the save failed.
TEST_P(Combined, ACallOfSeveralRowsWhoseClientLeftIsNotSaved)
{
    auto [lock, held] = holdASave();
    const QCborValue both = ChangeSetBuilder("SetCliente")
                                .update({{"CDCLIENTE", "WC6"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC6"}, {"CDGRUPOFISC", "903"}})
                                .update({{"CDCLIENTE", "WC7"}, {"CDGRUPOFISC", "901"}}, {{"CDCLIENTE", "WC7"}, {"CDGRUPOFISC", "903"}})
                                .build();
    fiscal::rpc::Client impatient(QStringLiteral("127.0.0.1"), server->port());
    EXPECT_THROW(impatient.call(QString::fromStdString(kParamGrupFiscal), QStringLiteral("SetCliente"), QCborArray{both}, 300),
                 fiscal::rpc::TransportError);
    lock->commit();
    EXPECT_TRUE(held.get().ok());
    // Answered after the abandoned call has ended.
    EXPECT_TRUE(call(moveClient("WC4", QStringLiteral("901"), QStringLiteral("902"))).ok());
    EXPECT_EQ(groupOf("WC6"), std::optional<std::string>("901"));
    EXPECT_EQ(groupOf("WC7"), std::optional<std::string>("901"));
}

// The connection of a statement under way is lost: the answer may have been applied or
// not, so its calls fail as a lone save would (never a success, never run again), and the
// next save works on a new connection.
TEST_P(Combined, ALostStatementFailsItsCallsAndTheNextSaveWorks)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "only PostgreSQL sends saves without waiting";
    auto [lock, held] = holdASave();
    db->exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = current_database()"
             " AND wait_event = 'PgSleep'");
    const RpcResult lost = held.get();
    lock->rollback();
    EXPECT_EQ(lost.errorCode, -32000) << lost.errorMessage.toStdString();
    // Its answer is what is lost: the save may have been made, and the clerk is told to look.
    EXPECT_TRUE(lost.errorMessage.contains(QStringLiteral("pode ter sido feita"))) << lost.errorMessage.toStdString();
    EXPECT_EQ(groupOf("WCB"), std::optional<std::string>("901"));

    const RpcResult next = call(moveClient("WC4", QStringLiteral("901"), QStringLiteral("903")));
    EXPECT_TRUE(next.ok()) << next.errorMessage.toStdString();
    EXPECT_EQ(groupOf("WC4"), std::optional<std::string>("903"));
}

// Saves arriving on several serving threads are sent by one of them: while the first save's
// statement runs, saves of other rows wait behind it (alone each would be written at once),
// and when it goes each still gets its own answer, conflict and user.
class CombinedAcrossThreads : public Combined {
protected:
    int workers() const override { return 4; }
};

TEST_P(CombinedAcrossThreads, SavesOfEveryThreadShareTheStatementAndKeepTheirAnswers)
{
    auto [lock, held] = holdASave();
    std::vector<Save> saves;
    for (int i = 0; i < 4; ++i)
        saves.push_back(moveClient("WC1", QStringLiteral("901"), i % 2 ? QStringLiteral("903") : QStringLiteral("902")));
    const std::vector<const char *> others{"WC4", "WC5", "WC6", "WC7", "WC8"};
    for (const char *client : others) {
        Save s = moveClient(client, QStringLiteral("901"), QStringLiteral("902"));
        s.user = std::string("usuário ") + client;
        saves.push_back(s);
    }
    std::vector<std::future<RpcResult>> answers;
    for (const Save &s : saves)
        answers.push_back(std::async(std::launch::async, [this, s] { return call(s); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    for (const char *client : others)
        EXPECT_EQ(groupOf(client), std::optional<std::string>("901")) << client << " went before the held save";
    lock->commit();
    EXPECT_TRUE(held.get().ok());

    int won = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const RpcResult r = answers[i].get();
        won += r.ok();
        EXPECT_TRUE(r.ok() || r.errorCode == kConflict) << r.errorMessage.toStdString();
    }
    EXPECT_EQ(won, 1);
    for (std::size_t i = 0; i < others.size(); ++i) {
        const RpcResult r = answers[4 + i].get();
        EXPECT_TRUE(r.ok()) << others[i] << ": " << r.errorMessage.toStdString();
        EXPECT_EQ(groupOf(others[i]), std::optional<std::string>("902")) << others[i];
        EXPECT_EQ(db->scalar("SELECT O.NMUSUARIO FROM HISTOPERACAO O JOIN HISTITEM I ON I.IDOPERACAO = O.IDOPERACAO"
                             " WHERE I.NMTABELA = 'CLIENTE' AND I.CDCHAVE1 = $1", {std::string(others[i])}),
                  std::optional<std::string>(recordedAs(std::string("usuário ") + others[i])));
    }
}

// Busy clients, each on its own kept connection, saving one row after another: the server
// holds a statement back for the others' saves, and each call still gets its own answer.
// Every third save names a group its row does not hold: a conflict, whatever it shared a
// statement with, and nothing recorded for it.
TEST_P(CombinedAcrossThreads, ClientsSavingInTurnKeepTheirOwnAnswersAndHistory)
{
    constexpr int kClients = 4, kSaves = 15;
    const auto code = [](int t, int k) { return "WK" + std::to_string(t) + "_" + std::to_string(k); };
    for (int t = 0; t < kClients; ++t)
        for (int k = 0; k < kSaves; ++k)
            db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ($1, 'Cliente', '901')",
                     {code(t, k)});
    const auto stale = [](int k) { return k % 3 == 2; };
    std::vector<std::future<std::vector<int>>> clients;
    for (int t = 0; t < kClients; ++t)
        clients.push_back(std::async(std::launch::async, [&, t] {
            fiscal::rpc::Client client(QStringLiteral("127.0.0.1"), server->port());
            client.setUser(QString::fromStdString("usuário " + std::to_string(t)));
            std::vector<int> codes;
            for (int k = 0; k < kSaves; ++k) {
                const std::string c = code(t, k);
                const Save s = moveClient(c.c_str(), stale(k) ? QStringLiteral("902") : QStringLiteral("901"),
                                          QStringLiteral("903"));
                codes.push_back(client.call(QString::fromStdString(kParamGrupFiscal), QString::fromStdString(s.method),
                                            QCborArray{s.changes}).errorCode());
            }
            return codes;
        }));
    for (int t = 0; t < kClients; ++t) {
        const std::vector<int> codes = clients[t].get();
        for (int k = 0; k < kSaves; ++k) {
            SCOPED_TRACE(code(t, k));
            EXPECT_EQ(codes[k], stale(k) ? kConflict : 0);
            EXPECT_EQ(groupOf(code(t, k).c_str()), std::optional<std::string>(stale(k) ? "901" : "903"));
            const auto users = db->query("SELECT O.NMUSUARIO FROM HISTOPERACAO O JOIN HISTITEM I ON I.IDOPERACAO ="
                                         " O.IDOPERACAO WHERE I.NMTABELA = 'CLIENTE' AND I.CDCHAVE1 = $1",
                                         {code(t, k)});
            EXPECT_EQ(users, stale(k) ? std::vector<TestDb::Row>{}
                                      : std::vector<TestDb::Row>{{recordedAs("usuário " + std::to_string(t))}});
        }
    }
}

// A client saving alone is never held back for others' saves: no other save is coming. The
// server says at its end how many statements were held back.
TEST_P(CombinedAcrossThreads, ALoneClientsSavesAreNeverHeldBack)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "only PostgreSQL combines saves";
    ServerOptions options;
    options.workers = workers();
    options.captureStderr = true;
    ServerProcess lone(db->url(), options);
    fiscal::rpc::Client client(QStringLiteral("127.0.0.1"), lone.port());
    for (const char *c : {"WC4", "WC5", "WC6", "WC7", "WC8", "WC9"}) {
        const Save s = moveClient(c, QStringLiteral("901"), QStringLiteral("902"));
        ASSERT_TRUE(client.call(QString::fromStdString(kParamGrupFiscal), QString::fromStdString(s.method),
                                QCborArray{s.changes}).ok()) << c;
    }
    client.disconnect();
    EXPECT_EQ(lone.stop(), 0);
    EXPECT_NE(lone.errors().find("statements by saves carried: 1: 6; held back for other clients' saves: 0"),
              std::string::npos) << lone.errors();
}

INSTANTIATE_TEST_SUITE_P(Backends, CombinedAcrossThreads, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

INSTANTIATE_TEST_SUITE_P(Backends, Combined, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
