// Undoing an operation over real HTTP: the database comes back exactly, rows changed since
// keep their new value and are counted by reason, and undoing the undo gives the
// operation's result.

#include "historysupport.h"

#include <future>

using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace fiscal::test::history;

namespace {

// The answer of DesfazOperacao, or of its preview summed over the tables.
struct Undone {
    std::optional<QString> operation;
    std::int64_t restored = -1, skipped = -1, later = -1, outside = -1, gone = -1;
};

std::int64_t number(const Packet &p, int row, const char *field)
{
    const int c = p.column(QString::fromLatin1(field));
    EXPECT_GE(c, 0) << field;
    return c < 0 ? -1 : p.rows[row][c].value_or(QString()).toLongLong();
}

Undone undo(const Env &env, const std::string &id, int expectedCode = 0)
{
    const RpcResult r = rpcCallAs("Beto", env.server->port(), kHistorico, "DesfazOperacao", {QString::fromStdString(id)});
    EXPECT_EQ(r.errorCode, expectedCode) << r.errorMessage.toStdString();
    if (!r.ok())
        return {};
    const Packet p = Packet::from(r.result);
    EXPECT_EQ(p.rows.size(), 1);
    Undone u{p.rows[0][0], number(p, 0, "QTRESTAURADOS"), number(p, 0, "QTIGNORADOS"),
             number(p, 0, "QTALTERADOSDEPOIS"), number(p, 0, "QTALTERADOSFORA"), number(p, 0, "QTINEXISTENTES")};
    EXPECT_EQ(u.skipped, u.later + u.outside + u.gone) << "every skipped row has one reason";
    return u;
}

// SimulaDesfazOperacao, per table: items, restored, later, outside, gone.
std::map<std::string, std::vector<std::int64_t>> preview(const Env &env, const std::string &id)
{
    const RpcResult r = env.call(kHistorico, "SimulaDesfazOperacao", {QString::fromStdString(id)});
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    std::map<std::string, std::vector<std::int64_t>> out;
    if (!r.ok())
        return out;
    const Packet p = Packet::from(r.result);
    for (int row = 0; row < int(p.rows.size()); ++row)
        for (const char *f : {"QTREGISTROS", "QTRESTAURADOS", "QTALTERADOSDEPOIS", "QTALTERADOSFORA", "QTINEXISTENTES"})
            out[p.rows[row][0].value_or(QString()).toStdString()].push_back(number(p, row, f));
    return out;
}

struct Operation {
    const char *what;
    const std::string &object;
    const char *method;
    QCborValue arg;   // an array: the arguments; else the one change set
};

class Undo : public ::testing::TestWithParam<Backend> {};

TEST_P(Undo, RestoresTheDatabaseExactlyAndUndoingTheUndoRedoes)
{
    Env env(GetParam());
    const std::vector<Operation> cases{
        {"every client gets a group", kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "901", "", "T", "", "", ""})},
        {"tax per branch deleted", kCadAutParGrpFis, "CadastroAutomatico", strings({"GRFISCIMPOSFILI", "", "", "L", "01", "", ""})},
        {"rows inserted and changed", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "T", "", "L", "'WF1','WF3'", "903", "T"})},
        {"replication: inserted, changed and deleted", kParamGrupFiscal, "Replica",
         QCborArray{"01", "01", "362143930808", "T", "01", "'1358506423827'", true, false}},
        {"billing type and its branch copies", kParamGrupFiscal, "SetTipoFatur",
         ChangeSetBuilder("SetTipoFatur").update({{"CDTIPOFATUR", "W01"}, {"CDGRUPOFISC", "901"}},
                                                 {{"CDTIPOFATUR", "W01"}, {"CDGRUPOFISC", "903"}}).build()},
        {"interstate row created", kParamGrupFiscal, "SetOperInter", QCborValue()},
    };
    for (const Operation &c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.method) == "SetOperInter")
            env.db->exec("DELETE FROM PARAMGERAL");
        const QCborArray args = c.arg.isArray() ? c.arg.toArray()
            : c.arg.isUndefined() ? QCborArray{ChangeSetBuilder("SetOperInter").insert({{"DSPARGERFIS", "902"}}).build()}
                                  : QCborArray{c.arg};
        const std::string before = snapshot(*env.db);
        ASSERT_TRUE(env.call(c.object, c.method, args).ok());
        const std::string done = snapshot(*env.db);
        ASSERT_NE(done, before);
        const std::string id = *lastOperation(*env.db);
        const std::int64_t rows = env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = $1", {id});

        const Undone u = undo(env, id);
        EXPECT_EQ(snapshot(*env.db), before);
        EXPECT_EQ(u.restored, rows);
        EXPECT_EQ(u.skipped, 0);
        ASSERT_TRUE(u.operation);
        EXPECT_EQ(env.db->scalar("SELECT IDDESFEITAPOR FROM HISTOPERACAO WHERE IDOPERACAO = $1", {id}),
                  u.operation->toStdString());
        EXPECT_EQ(env.db->scalar("SELECT NMUSUARIO FROM HISTOPERACAO WHERE IDOPERACAO = $1", {u.operation->toStdString()}),
                  recordedAs("Beto"));
        undo(env, id, -32001);   // once is enough

        const Undone redo = undo(env, u.operation->toStdString());
        EXPECT_EQ(snapshot(*env.db), done);
        EXPECT_EQ(redo.restored, rows);
    }
}

// A bulk operation, then some of its rows changed again: by later saves (one of them changed
// back to what the operation wrote), outside the server, and rows whose group before or whose
// record is gone. The preview counts exactly what the undo then does and changes nothing.
TEST_P(Undo, RowsChangedSinceKeepTheirValueAndAreCountedByReason)
{
    Env env(GetParam());
    env.db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('904', 'Grupo que será removido')");
    env.db->exec("UPDATE CLIENTE SET CDGRUPOFISC = '904' WHERE CDCLIENTE = 'WC3'");
    env.db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ('WX1', 'Cliente removido', '902')");
    const State before = state(*env.db);
    ASSERT_TRUE(env.call(kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "903", "", "T", "", "", ""})).ok());
    const std::string id = *lastOperation(*env.db);
    const std::int64_t rows = env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = $1", {id});
    const auto setClient = [&](const char *client, const char *from, const char *to) {
        ASSERT_TRUE(env.save("SetCliente", ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", client}, {"CDGRUPOFISC", from}},
                                                                                 {{"CDCLIENTE", client}, {"CDGRUPOFISC", to}}).build()).ok());
    };
    setClient("WC2", "903", "901");
    setClient("00000001", "903", "902");
    setClient("WC1", "903", "902");   // and back: it holds what the operation wrote, yet it is not its value
    setClient("WC1", "902", "903");
    env.db->exec("UPDATE CLIENTE SET CDGRUPOFISC = '901' WHERE CDCLIENTE = '00000002'");
    env.db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '904'");
    env.db->exec("DELETE FROM CLIENTE WHERE CDCLIENTE = 'WX1'");

    const State changed = state(*env.db);
    EXPECT_EQ(preview(env, id), (std::map<std::string, std::vector<std::int64_t>>{{"CLIENTE", {rows, rows - 6, 3, 1, 2}}}));
    EXPECT_EQ(state(*env.db), changed) << "the preview changes nothing";

    const Undone u = undo(env, id);
    EXPECT_EQ(u.restored, rows - 6);
    EXPECT_EQ(u.skipped, 6);
    EXPECT_EQ((std::vector<std::int64_t>{u.later, u.outside, u.gone}), (std::vector<std::int64_t>{3, 1, 2}));
    const State after = state(*env.db);
    const std::map<std::string, std::optional<std::string>> left{
        {"WC1", "903"}, {"WC2", "901"}, {"00000001", "902"}, {"00000002", "901"}, {"WC3", "903"}};
    for (const auto &[client, group] : left)
        EXPECT_EQ(after.at({"CLIENTE", {client}}), group) << client;
    EXPECT_FALSE(after.count({"CLIENTE", {"WX1"}}));
    // Every other client is back where it was.
    for (const auto &[key, group] : before)
        if (key.first == "CLIENTE" && !left.count(key.second[0]) && key.second[0] != "WX1") {
            EXPECT_EQ(after.at(key), group) << key.second[0];
        }
}

// The interstate parameter holds a group code as every grid does: an undo puts back no
// group that is gone since (a save would refuse it), and puts back "no group" as it was.
TEST_P(Undo, TheInterstateGroupPutBackMustStillExist)
{
    Env env(GetParam());
    const struct {
        const char *what;
        const char *before;   // the parameter before the save
        bool removed;         // its group deleted before the undo
        std::vector<std::int64_t> counts;   // restored, later, outside, gone
        const char *after;
    } cases[] = {
        {"its group still there", "904", false, {1, 0, 0, 0}, "904"},
        {"its group removed since", "904", true, {0, 0, 0, 1}, "902"},
        {"no group before", "", false, {1, 0, 0, 0}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        env.db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '904'");
        env.db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('904', 'Grupo interestadual')");
        env.db->exec("DELETE FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
        env.db->exec("INSERT INTO PARAMGERAL (CDPARGERAL, DSPARGERFIS) VALUES ('OPIN', $1)", {c.before});
        ASSERT_TRUE(env.save("SetOperInter", ChangeSetBuilder("SetOperInter")
                                                 .update({{"CDPARGERAL", "OPIN"}, {"DSPARGERFIS", c.before}},
                                                         {{"CDPARGERAL", "OPIN"}, {"DSPARGERFIS", "902"}})
                                                 .build()).ok());
        const std::string id = *lastOperation(*env.db);
        if (c.removed)
            env.db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '904'");
        const Undone u = undo(env, id);
        EXPECT_EQ((std::vector<std::int64_t>{u.restored, u.later, u.outside, u.gone}), c.counts);
        EXPECT_EQ(env.value("SELECT COALESCE(DSPARGERFIS, '') FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'").value_or("?"),
                  std::string(c.after));
    }
}

// One client through a sequence of saves, changes outside the server and undos. A later
// write blocks the row unless an undo took it back, so operations undone newest first come
// back one by one, and an undo of an undo counts as a write again.
TEST_P(Undo, ARowIsRestoredOnlyWhenNoLaterOperationInForceWroteIt)
{
    Env env(GetParam());
    struct Step {
        enum Kind { Save, Outside, Undo } kind;
        const char *group;                  // Save, Outside: the new group
        int target = -1;                    // Undo: the step whose operation is undone
        std::vector<std::int64_t> counts;   // Undo: restored, later, outside, gone
    };
    struct Case {
        const char *what;
        std::vector<Step> steps;
        std::optional<std::string> group;   // the client's group at the end
    };
    using S = Step;
    const std::vector<Case> cases{
        {"changed since, then back to what the operation wrote",
         {{S::Save, "902"}, {S::Save, "903"}, {S::Save, "902"}, {S::Undo, nullptr, 0, {0, 1, 0, 0}}}, "902"},
        {"the newest first, then the one before",
         {{S::Save, "902"}, {S::Save, "903"}, {S::Undo, nullptr, 1, {1, 0, 0, 0}}, {S::Undo, nullptr, 0, {1, 0, 0, 0}}},
         "901"},
        {"the later operation undone and redone",
         {{S::Save, "902"}, {S::Save, "903"}, {S::Undo, nullptr, 1, {1, 0, 0, 0}}, {S::Undo, nullptr, 2, {1, 0, 0, 0}},
          {S::Undo, nullptr, 0, {0, 1, 0, 0}}},
         "903"},
        {"the redo undone again",
         {{S::Save, "902"}, {S::Save, "903"}, {S::Undo, nullptr, 1, {1, 0, 0, 0}}, {S::Undo, nullptr, 2, {1, 0, 0, 0}},
          {S::Undo, nullptr, 3, {1, 0, 0, 0}}, {S::Undo, nullptr, 0, {1, 0, 0, 0}}},
         "901"},
        {"an older operation undone after an undo: the undo cannot be redone",
         {{S::Save, "902"}, {S::Save, "903"}, {S::Undo, nullptr, 1, {1, 0, 0, 0}}, {S::Undo, nullptr, 0, {1, 0, 0, 0}},
          {S::Undo, nullptr, 2, {0, 1, 0, 0}}},
         "901"},
        {"changed outside the server", {{S::Save, "902"}, {S::Outside, "903"}, {S::Undo, nullptr, 0, {0, 0, 1, 0}}}, "903"},
        {"changed outside and back", {{S::Save, "902"}, {S::Outside, "903"}, {S::Outside, "902"},
                                      {S::Undo, nullptr, 0, {1, 0, 0, 0}}}, "901"},
        {"the record removed", {{S::Save, "902"}, {S::Outside, nullptr}, {S::Undo, nullptr, 0, {0, 0, 0, 1}}}, std::nullopt},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string client = "WU" + std::to_string(++n);
        env.db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ($1, 'Cliente', '901')", {client});
        const auto group = [&] { return env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {client}); };
        std::vector<std::string> ids;   // per step, its operation ("" when none)
        for (const Step &s : c.steps) {
            ids.emplace_back();
            if (s.kind == S::Save) {
                const V from = group() ? V(QString::fromStdString(*group())) : null;
                const QString code = QString::fromStdString(client);
                ASSERT_TRUE(env.save("SetCliente", ChangeSetBuilder("SetCliente")
                                                       .update({{"CDCLIENTE", code}, {"CDGRUPOFISC", from}},
                                                               {{"CDCLIENTE", code}, {"CDGRUPOFISC", s.group}})
                                                       .build()).ok());
                ids.back() = *lastOperation(*env.db);
            } else if (s.kind == S::Outside) {
                if (s.group)
                    env.db->exec("UPDATE CLIENTE SET CDGRUPOFISC = $1 WHERE CDCLIENTE = $2", {s.group, client});
                else
                    env.db->exec("DELETE FROM CLIENTE WHERE CDCLIENTE = $1", {client});
            } else {
                const Undone u = undo(env, ids.at(std::size_t(s.target)));
                EXPECT_EQ((std::vector<std::int64_t>{u.restored, u.later, u.outside, u.gone}), s.counts)
                    << "undo of step " << s.target;
                ids.back() = u.operation.value_or(QString()).toStdString();
            }
        }
        EXPECT_EQ(group(), c.group);
    }
}

// On PostgreSQL an operation still writing the table when the undo starts commits before
// the undo looks at the later operations, and counts as one: the row it wrote is skipped as
// changed later, not as changed outside the server.
TEST_P(Undo, AnOperationCommittingWhileTheUndoWaitsCountsAsLater)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    Env env(GetParam());
    const std::string from = env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC2'").value_or("");
    ASSERT_TRUE(env.save("SetCliente", ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC2"}, {"CDGRUPOFISC", QString::fromStdString(from)}},
                                                                             {{"CDCLIENTE", "WC2"}, {"CDGRUPOFISC", "903"}}).build()).ok());
    const std::string id = *lastOperation(*env.db);

    // Another writer of the table, as a bulk call holds it, not yet committed.
    auto other = env.db->connect();
    other->begin();
    other->exec("LOCK TABLE CLIENTE IN SHARE ROW EXCLUSIVE MODE");
    other->exec("UPDATE CLIENTE SET CDGRUPOFISC = '901' WHERE CDCLIENTE = 'WC2'");
    other->exec("WITH o AS (INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
                " QTINCLUIDOS, QTEXCLUIDOS, DSENDERECO) VALUES ('2099-01-01T00:00:00.000Z', 'Outro', 'SetCliente',"
                " '[1]', 1, 0, 0, '127.0.0.1') RETURNING IDOPERACAO) INSERT INTO HISTITEM (IDOPERACAO, NMTABELA,"
                " CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT, CDGRUPONOVO, IDACAO)"
                " SELECT IDOPERACAO, 'CLIENTE', 'WC2', '', '', '', '903', '901', 'A' FROM o");
    auto undone = std::async(std::launch::async, [&] { return undo(env, id); });
    EXPECT_TRUE(someoneWaitsForALock(*env.db)) << "the undo waits for the other writer";
    other->commit();

    const Undone u = undone.get();
    EXPECT_EQ((std::vector<std::int64_t>{u.restored, u.later, u.outside}), (std::vector<std::int64_t>{0, 1, 0}));
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC2'"), "901");
}

TEST_P(Undo, ThePreviewRefusesWhatTheUndoRefuses)
{
    Env env(GetParam());
    ASSERT_TRUE(env.call(kCadAutParGrpFis, "CadastroAutomatico", strings({"FORNECEDOR", "903", "", "T", "", "", ""})).ok());
    const std::string id = *lastOperation(*env.db);
    undo(env, id);
    for (const auto &[operation, code] : {std::pair{id, -32001}, {std::string("424242"), -32002}, {std::string("x"), -32602}})
        EXPECT_EQ(env.call(kHistorico, "SimulaDesfazOperacao", {QString::fromStdString(operation)}).errorCode, code)
            << operation;
}

INSTANTIATE_TEST_SUITE_P(Backends, Undo, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
