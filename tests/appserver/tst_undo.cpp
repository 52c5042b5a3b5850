// Undoing an operation over real HTTP: the database comes back exactly, rows changed since
// keep their new value and are counted, and undoing the undo gives the operation's result.

#include "historysupport.h"

using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace fiscal::test::history;

namespace {

struct Undone {
    std::optional<QString> operation;
    std::int64_t restored = -1, skipped = -1;
    QStringList tables;   // the tables the undo wrote, as the answer names them
};

Undone undo(const Env &env, const std::string &id, int expectedCode = 0)
{
    const RpcResult r = rpcCallAs("Beto", env.server->port(), kHistorico, "DesfazOperacao", {QString::fromStdString(id)});
    EXPECT_EQ(r.errorCode, expectedCode) << r.errorMessage.toStdString();
    if (!r.ok())
        return {};
    const Packet p = Packet::from(r.result);
    EXPECT_EQ(p.rows.size(), 1);
    QStringList tables = p.rows[0][3].value_or(QString()).split(QLatin1Char(','), Qt::SkipEmptyParts);
    tables.sort();
    return {p.rows[0][0], p.rows[0][1]->toLongLong(), p.rows[0][2]->toLongLong(), tables};
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

        QStringList written;   // the tables the operation wrote, as its items say
        for (const auto &row : env.db->query("SELECT DISTINCT NMTABELA FROM HISTITEM WHERE IDOPERACAO = $1 ORDER BY 1", {id}))
            written << QString::fromStdString(str(row[0]));

        const Undone u = undo(env, id);
        EXPECT_EQ(snapshot(*env.db), before);
        EXPECT_EQ(u.restored, rows);
        EXPECT_EQ(u.tables, written);
        EXPECT_EQ(u.skipped, 0);
        ASSERT_TRUE(u.operation);
        EXPECT_EQ(env.db->scalar("SELECT IDDESFEITAPOR FROM HISTOPERACAO WHERE IDOPERACAO = $1", {id}),
                  u.operation->toStdString());
        EXPECT_EQ(env.db->scalar("SELECT NMUSUARIO FROM HISTOPERACAO WHERE IDOPERACAO = $1", {u.operation->toStdString()}),
                  "Beto");
        undo(env, id, -32001);   // once is enough

        const Undone redo = undo(env, u.operation->toStdString());
        EXPECT_EQ(snapshot(*env.db), done);
        EXPECT_EQ(redo.restored, rows);
    }
}

TEST_P(Undo, RowsChangedSinceKeepTheirValueAndAreCounted)
{
    Env env(GetParam());
    env.db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('904', 'Grupo que será removido')");
    env.db->exec("UPDATE CLIENTE SET CDGRUPOFISC = '904' WHERE CDCLIENTE = 'WC3'");
    const State before = state(*env.db);
    ASSERT_TRUE(env.call(kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "901", "", "T", "", "", ""})).ok());
    const std::string id = *lastOperation(*env.db);
    const std::int64_t rows = env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = $1", {id});
    // Another user moves two of those clients on, and the group a third had is removed.
    for (const auto &[client, group] : {std::pair{"WC2", "903"}, {"00000001", "902"}})
        ASSERT_TRUE(env.save("SetCliente", ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", client}, {"CDGRUPOFISC", "901"}},
                                                                                 {{"CDCLIENTE", client}, {"CDGRUPOFISC", group}}).build()).ok());
    env.db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '904'");

    const Undone u = undo(env, id);
    EXPECT_EQ(u.skipped, 3);
    EXPECT_EQ(u.restored, rows - 3);
    const State after = state(*env.db);
    EXPECT_EQ(after.at({"CLIENTE", {"WC2"}}), "903");
    EXPECT_EQ(after.at({"CLIENTE", {"00000001"}}), "902");
    EXPECT_EQ(after.at({"CLIENTE", {"WC3"}}), "901");
    // Every other client is back where it was.
    for (const auto &[key, group] : before)
        if (key.first == "CLIENTE" && key.second[0] != "WC2" && key.second[0] != "00000001" && key.second[0] != "WC3") {
            EXPECT_EQ(after.at(key), group) << key.second[0];
        }
}

INSTANTIATE_TEST_SUITE_P(Backends, Undo, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
