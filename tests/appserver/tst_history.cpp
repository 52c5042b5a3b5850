// The change history over real HTTP: every saving and bulk method records exactly the rows
// it changed, with its user and arguments; a preview counts exactly what the call then does
// and changes nothing; a refused call records nothing; the read methods.

#include "historysupport.h"

#include <future>

using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace fiscal::test::history;

namespace {

constexpr const char *kUser = "Conceição";

// Calls `method` as kUser and checks that the newest operation holds exactly what changed.
// Returns that operation's id.
std::string expectRecorded(Env &env, const std::string &object, const std::string &method, const QCborArray &args,
                           const std::string &arguments)
{
    const State before = state(*env.db);
    const RpcResult r = rpcCallAs(kUser, env.server->port(), object, method, args);
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    const Items changed = diff(before, state(*env.db));
    EXPECT_FALSE(changed.empty()) << "the case should change something";
    const std::string id = lastOperation(*env.db).value_or("");
    const Items recorded = itemsOf(*env.db, id);
    EXPECT_TRUE(recorded == changed) << "recorded:\n" << describe(recorded, changed) << "changed:\n"
                                     << describe(changed, recorded);
    const auto op = env.db->query("SELECT NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS + QTINCLUIDOS + QTEXCLUIDOS"
                                  " FROM HISTOPERACAO WHERE IDOPERACAO = $1", {id});
    EXPECT_EQ(op.size(), 1u);
    if (op.size() == 1) {
        EXPECT_EQ(str(op[0][0]), recordedAs(kUser));
        EXPECT_EQ(str(op[0][1]), method);
        EXPECT_EQ(str(op[0][2]), arguments);
        EXPECT_EQ(str(op[0][3]), std::to_string(changed.size()));
    }
    return id;
}

class History : public ::testing::TestWithParam<Backend> {};

struct Save {
    const char *what;
    const char *method;
    ChangeSetBuilder changes;
};

TEST_P(History, EverySavingMethodRecordsTheRowsItChanged)
{
    Env env(GetParam());
    // Twenty demo clients moved to 901 at once go through the set-based path.
    ChangeSetBuilder many("SetCliente");
    for (const auto &row : env.db->query("SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE LIKE '000000%'"
                                         " AND CDGRUPOFISC IS NOT NULL ORDER BY CDCLIENTE LIMIT 20")) {
        const V code = QString::fromStdString(*row[0]);
        many.update({{"CDCLIENTE", code}, {"CDGRUPOFISC", QString::fromStdString(*row[1])}},
                    {{"CDCLIENTE", code}, {"CDGRUPOFISC", "901"}});
    }
    const auto inscKey = [](const char *party, const char *code, const char *tax, const char *reg) {
        return Values{{party, code}, {"CDIMPOSTO", tax}, {"CDEMPRESA", "91"}, {"CDINSCESTA", reg}};
    };
    const auto with = [](Values v, const char *group) { v["CDGRUPOFISC"] = group ? V(group) : null; return v; };
    const std::vector<Save> cases{
        {"an entity row changes group", "SetFornecedor",
         ChangeSetBuilder("SetFornecedor").update({{"CDFORNECED", "WF1"}, {"CDGRUPOFISC", "901"}},
                                                  {{"CDFORNECED", "WF1"}, {"CDGRUPOFISC", "902"}})},
        {"a deleted grid row clears the group", "SetCliente",
         ChangeSetBuilder("SetCliente").remove({{"CDCLIENTE", "WC3"}, {"CDGRUPOFISC", "902"}})},
        {"a group where there was none", "SetFilial",
         ChangeSetBuilder("SetFilial").update({{"CDFILIAL", "W002"}, {"CDGRUPOFISC", null}},
                                              {{"CDFILIAL", "W002"}, {"CDGRUPOFISC", "903"}})},
        {"operation type", "SetTipoOperac",
         ChangeSetBuilder("SetTipoOperac").update({{"CDTIPOOPER", "W1"}, {"CDGRUPOFISC", "901"}},
                                                  {{"CDTIPOOPER", "W1"}, {"CDGRUPOFISC", "902"}})},
        {"billing type and every branch's copy", "SetTipoFatur",
         ChangeSetBuilder("SetTipoFatur").update({{"CDTIPOFATUR", "W01"}, {"CDGRUPOFISC", "901"}},
                                                 {{"CDTIPOFATUR", "W01"}, {"CDGRUPOFISC", "902"}})},
        {"management type, whole packet", "setTipoGest",
         ChangeSetBuilder("setTipoGest").update({{"CDTPFATURFIS", "WG001"}, {"CDGRUPOFISC", "901"}},
                                                {{"CDTPFATURFIS", "WG001"}, {"CDGRUPOFISC", "903"}})},
        {"interstate operations", "SetOperInter",
         ChangeSetBuilder("SetOperInter").update({{"CDPARGERAL", "OPIN"}, {"DSPARGERFIS", "003"}},
                                                 {{"CDPARGERAL", "OPIN"}, {"DSPARGERFIS", "901"}})},
        {"tax per branch: a row inserted", "SetImpFili",
         ChangeSetBuilder("SetImpFili").update({{"CDIMPOSTO", "91"}, {"CDFILIAL", "W002"}, {"CDGRUPOFISC", null}},
                                               {{"CDIMPOSTO", "91"}, {"CDFILIAL", "W002"}, {"CDGRUPOFISC", "902"}})},
        {"suppliers per registration: one changed, one deleted", "SetFornInsc",
         ChangeSetBuilder("SetFornInsc")
             .update(with(inscKey("CDFORNECED", "WF1", "91", "IE-A"), "901"), with(inscKey("CDFORNECED", "WF1", "91", "IE-A"), "903"))
             .remove(with(inscKey("CDFORNECED", "WF2", "91", "IE-B"), "902"))},
        {"clients per registration: a row inserted", "SetCliInsc",
         ChangeSetBuilder("SetCliInsc").insert(with(inscKey("CDCLIENTE", "WC3", "92", "IE-A"), "901"))},
        {"twenty rows at once", "SetCliente", many},
    };
    for (const Save &c : cases) {
        SCOPED_TRACE(c.what);
        const bool whole = std::string(c.method) == "setTipoGest";
        const QCborValue changes = whole ? c.changes.buildWhole({}) : c.changes.build();
        expectRecorded(env, kParamGrupFiscal, c.method, {changes}, "[" + std::to_string(c.changes.size()) + "]");
    }
}

// Whichever way the save goes (one row, or twenty set-based), a row deleted in the grid
// while it had no group writes nothing and so records no operation.
TEST_P(History, ADeletedRowThatHadNoGroupRecordsNothing)
{
    Env env(GetParam());
    env.db->exec("UPDATE CLIENTE SET CDGRUPOFISC = NULL WHERE CDCLIENTE LIKE '000000%'");
    ChangeSetBuilder one("SetCliente");
    one.remove({{"CDCLIENTE", "WC2"}, {"CDGRUPOFISC", null}});
    ChangeSetBuilder many("SetCliente");
    for (const auto &row : env.db->query("SELECT CDCLIENTE FROM CLIENTE WHERE CDCLIENTE LIKE '000000%'"
                                         " ORDER BY CDCLIENTE LIMIT 20"))
        many.remove({{"CDCLIENTE", QString::fromStdString(*row[0])}, {"CDGRUPOFISC", null}});
    ASSERT_EQ(many.size(), 20);
    for (const ChangeSetBuilder *b : {&one, &many}) {
        SCOPED_TRACE(b->size());
        const State before = state(*env.db);
        const std::int64_t operations = env.db->count("SELECT COUNT(*) FROM HISTOPERACAO");
        const RpcResult r = env.save("SetCliente", b->build());
        ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
        EXPECT_TRUE(diff(before, state(*env.db)).empty());
        EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations);
    }
}

struct Bulk {
    const char *what;
    const char *method;
    QCborArray args;
    std::vector<const char *> tables;   // the tables the preview lists, in order
};

const std::string &objectOf(const char *method)
{
    return std::string(method) == "Replica" ? kParamGrupFiscal : kCadAutParGrpFis;
}

// Per table: changed / inserted / deleted, as "TABLE a/i/e".
std::vector<std::string> previewCounts(const QCborValue &result)
{
    std::vector<std::string> out;
    const Packet p = Packet::from(result);
    for (const auto &row : p.rows)
        out.push_back((*row[0] + ' ' + *row[1] + '/' + *row[2] + '/' + *row[3]).toStdString());
    return out;
}

std::vector<std::string> recordedCounts(const TestDb &db, const std::string &id, const std::vector<const char *> &tables)
{
    std::vector<std::string> out;
    for (const char *t : tables) {
        std::string counts = std::string(t) + ' ';
        for (const char *a : {"A", "I", "E"})
            counts += std::to_string(db.count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = $1 AND NMTABELA = $2"
                                              " AND IDACAO = $3", {id, t, a}))
                + (a[0] == 'E' ? "" : "/");
        out.push_back(counts);
    }
    return out;
}

TEST_P(History, EveryBulkCallIsRecordedAndItsPreviewCountsWhatItDoes)
{
    Env env(GetParam());
    const char *sp = "362143930808", *mg = "1358506423827";
    const std::vector<Bulk> cases{
        {"suppliers, every one", "CadastroAutomatico", strings({"FORNECEDOR", "901", "", "T", "", "", ""}), {"FORNECEDOR"}},
        {"clients without a group", "CadastroAutomatico", strings({"CLIENTE", "902", "", "V", "", "", ""}), {"CLIENTE"}},
        {"billing types and branch copies", "CadastroAutomatico", strings({"PARAMFILIAL", "903", "", "T", "", "", ""}),
         {"TIPOFATUR", "PARAMFILIAL"}},
        {"operation types cleared", "CadastroAutomatico", strings({"TIPOOPERAC", "", "", "L", "", "", ""}), {"TIPOOPERAC"}},
        {"tax per branch, upsert", "CadastroAutomatico", strings({"GRFISCIMPOSFILI", "902", "", "T", "01", "", ""}),
         {"GRFISCIMPOSFILI"}},
        {"tax per branch cleared", "CadastroAutomatico", strings({"GRFISCIMPOSFILI", "", "", "L", "02", "", ""}),
         {"GRFISCIMPOSFILI"}},
        {"suppliers per registration, only new", "CadastroAutomatico",
         strings({"GRFISIMPIEFORN", "903", "", "V", "01", "01", sp}), {"GRFISIMPIEFORN"}},
        {"clients per registration, one group cleared", "CadastroAutomatico",
         strings({"GRFISIMPIECLIE", "006", "", "L", "01", "01", sp}), {"GRFISIMPIECLIE"}},
        {"by registration: listed clients, every supplier", "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "L", "'WC1','WC2'", "T", "", "903", "T"}), {"GRFISIMPIECLIE", "GRFISIMPIEFORN"}},
        {"by registration: one registration, new rows only", "CadAutoImpInscEsta",
         strings({"01", "", "L", "'011358506423827'", "N", "", "T", "", "901", "V"}), {"GRFISIMPIEFORN"}},
        {"by registration: rows of a group deleted", "CadAutoImpInscEsta",
         strings({"01", "", "T", "", "T", "", "N", "", "005", "E"}), {"GRFISIMPIECLIE"}},
        {"replication of every group to another registration", "Replica",
         QCborArray{"01", "01", sp, "T", "01", QString("'%1'").arg(mg), true, false}, {"GRFISIMPIEFORN"}},
        {"replication of two groups over the company, origin included", "Replica",
         QCborArray{"01", "01", sp, "'005','006'", "01", "T", true, false}, {"GRFISIMPIEFORN"}},
        {"replication of clients to another company", "Replica",
         QCborArray{"02", "01", sp, "T", "02", "T", false, true}, {"GRFISIMPIECLIE"}},
        // Registrations without a row of the tax: the copy only inserts.
        {"replication of suppliers into another company's empty registrations", "Replica",
         QCborArray{"01", "01", sp, "T", "02", "T", true, false}, {"GRFISIMPIEFORN"}},
    };
    for (const Bulk &c : cases) {
        SCOPED_TRACE(c.what);
        const State before = state(*env.db);
        const RpcResult preview = rpcCallAs(kUser, env.server->port(), objectOf(c.method),
                                            std::string("Simula") + c.method, c.args);
        ASSERT_TRUE(preview.ok()) << preview.errorMessage.toStdString();
        EXPECT_TRUE(diff(before, state(*env.db)).empty()) << "a preview wrote something";
        const std::string id = expectRecorded(env, objectOf(c.method), c.method, c.args, argumentsJson(c.args));
        EXPECT_EQ(previewCounts(preview.result), recordedCounts(*env.db, id, c.tables));
    }
}

struct Refused {
    const char *what;
    const std::string &object;
    const char *method;
    QCborValue arg;   // an array: the arguments; else the one change set
};

TEST_P(History, ARefusedCallRecordsNothing)
{
    Env env(GetParam());
    const std::vector<Refused> cases{
        {"conflict", kParamGrupFiscal, "SetCliente",
         ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "903"}},
                                               {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "902"}}).build()},
        {"unknown group", kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "999", "", "T", "", "", ""})},
        {"unknown client in the list", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "L", "'WC1','NOPE'", "N", "", "901", "T"})},
        {"both or neither side", kParamGrupFiscal, "Replica", QCborArray{"01", "01", "362143930808", "T", "02", "T", true, true}},
        {"unknown operation to undo", kHistorico, "DesfazOperacao", strings({"424242"})},
    };
    for (const Refused &c : cases) {
        SCOPED_TRACE(c.what);
        const QCborArray args = c.arg.isArray() ? c.arg.toArray() : QCborArray{c.arg};
        EXPECT_FALSE(rpcCallAs(kUser, env.server->port(), c.object, c.method, args).ok());
        EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 0);
        EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTITEM"), 0);
    }
    // Nothing changed is nothing recorded: the same group again, and the billing-type check.
    EXPECT_TRUE(env.save("SetCliente", ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "901"}},
                                                                             {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "901"}}).build()).ok());
    EXPECT_TRUE(env.call(kParamGrupFiscal, "SetUpdateTipoFatur", strings({"902", "W01"})).ok());
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 0);
}

TEST_P(History, ReadsARecordsHistoryAndPagesTheOperations)
{
    Env env(GetParam());
    const auto setWC1 = [&](const char *from, const char *to) {
        return rpcCallAs(kUser, env.server->port(), kParamGrupFiscal, "SetCliente",
                         {ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", from}},
                                                                {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", to}}).build()});
    };
    ASSERT_TRUE(setWC1("901", "902").ok());
    ASSERT_TRUE(setWC1("902", "903").ok());
    const RpcResult h = env.call(kHistorico, "GetHistoricoRegistro", strings({"CLIENTE", "'WC1'"}));
    ASSERT_TRUE(h.ok()) << h.errorMessage.toStdString();
    const Packet p = Packet::from(h.result);
    EXPECT_EQ(p.columnValues("CDGRUPOANT"), QStringList({"902", "901"}));
    EXPECT_EQ(p.columnValues("DSGRUPONOVO"), QStringList({"Grupo teste C", "Grupo teste B"}));
    EXPECT_EQ(p.columnValues("NMUSUARIO"), QStringList(2, QString::fromStdString(recordedAs(kUser))));
    // A key of four fields, in key order, finds the parameter row.
    ASSERT_TRUE(env.call(kCadAutParGrpFis, "CadastroAutomatico", strings({"GRFISIMPIEFORN", "903", "", "T", "91", "91", "IE-A"})).ok());
    const RpcResult four = env.call(kHistorico, "GetHistoricoRegistro", strings({"GRFISIMPIEFORN", "'91','91','IE-A','WF1'"}));
    EXPECT_EQ(Packet::from(four.result).columnValues("CDGRUPONOVO"), QStringList({"903"}));

    // Pages of the operations, newest first.
    const RpcResult page1 = env.call(kHistorico, "GetOperacoes", strings({"2", ""}));
    ASSERT_TRUE(page1.ok()) << page1.errorMessage.toStdString();
    const QStringList ids = Packet::from(page1.result).columnValues("IDOPERACAO");
    ASSERT_EQ(ids.size(), 2);
    EXPECT_EQ(Packet::from(page1.result).columnValues("NMMETODO"), QStringList({"CadastroAutomatico", "SetCliente"}));
    // Each operation with the address it came from, the bulk one too.
    EXPECT_EQ(Packet::from(page1.result).columnValues("DSENDERECO"), QStringList({"127.0.0.1", "127.0.0.1"}));
    const RpcResult page2 = env.call(kHistorico, "GetOperacoes", {QString("10"), ids.last()});
    EXPECT_EQ(Packet::from(page2.result).columnValues("IDOPERACAO").size(), 1);
    const RpcResult items = env.call(kHistorico, "GetOperacaoItens", {ids.last()});
    EXPECT_EQ(Packet::from(items.result).columnValues("CDCHAVE1"), QStringList({"WC1"}));

    struct Bad { const char *method; QCborArray args; int code; };
    const std::vector<Bad> bad{
        {"GetHistoricoRegistro", strings({"GRUPOFISCAL", "'001'"}), -32602},
        {"GetHistoricoRegistro", strings({"GRFISIMPIEFORN", "'91','91','IE-A'"}), -32602},
        {"GetHistoricoRegistro", strings({"CLIENTE", "T"}), -32602},
        {"GetOperacoes", strings({"0", ""}), -32602},
        {"GetOperacoes", strings({"10", "-1"}), -32602},
        {"GetOperacaoItens", strings({"999999"}), -32002},
        {"DesfazOperacao", strings({"x"}), -32602},
    };
    for (const Bad &b : bad)
        EXPECT_EQ(env.call(kHistorico, b.method, b.args).errorCode, b.code) << b.method;
}

// Past a thousand rows an operation's items stay out of the record index; a record's history
// must still find them, beside the indexed items of small operations, once each.
TEST_P(History, ARecordsHistoryFindsTheItemsOfBulkOperations)
{
    Env env(GetParam());
    env.db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL"
                 " SELECT i + 1 FROM n WHERE i < 1100) SELECT 'WB' || i, 'Cliente em lote' FROM n");
    const auto run = [&](const std::string &object, const std::string &method, const QCborArray &args) {
        const RpcResult r = rpcCallAs(kUser, env.server->port(), object, method, args);
        EXPECT_TRUE(r.ok()) << method << ": " << r.errorMessage.toStdString();
        return lastOperation(*env.db).value_or("");
    };
    const std::string bulk = run(kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "901", "", "V", "", "", ""}));
    run(kParamGrupFiscal, "SetCliente", {ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WB1"}, {"CDGRUPOFISC", "901"}},
                                                                              {{"CDCLIENTE", "WB1"}, {"CDGRUPOFISC", "902"}}).build()});
    run(kCadAutParGrpFis, "CadastroAutomatico", strings({"FORNECEDOR", "903", "", "T", "", "", ""}));
    const RpcResult undo = rpcCallAs(kUser, env.server->port(), kHistorico, "DesfazOperacao", strings({bulk.c_str()}));
    ASSERT_TRUE(undo.ok()) << undo.errorMessage.toStdString();
    std::vector<std::string> marks;   // the registration and its undo are bulk; the other two not
    for (const auto &row : env.db->query("SELECT FLLOTE FROM HISTOPERACAO ORDER BY IDOPERACAO"))
        marks.push_back(str(row[0]));
    EXPECT_EQ(marks, (std::vector<std::string>{"S", "N", "N", "S"}));
    EXPECT_EQ(env.value("SELECT COUNT(*) FROM HISTITEM h JOIN HISTOPERACAO o ON o.IDOPERACAO = h.IDOPERACAO"
                        " WHERE h.FLLOTE <> o.FLLOTE"), "0");

    struct Case { const char *table, *key; QStringList methods, after; };
    const std::vector<Case> cases{
        {"CLIENTE", "'WB1'", {"SetCliente", "CadastroAutomatico"}, {"902", "901"}},   // the undo left it alone
        {"CLIENTE", "'WB2'", {"DesfazOperacao", "CadastroAutomatico"}, {"<null>", "901"}},
        {"FORNECEDOR", "'WF1'", {"CadastroAutomatico"}, {"903"}},                      // small: indexed
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.table) + " " + c.key);
        const RpcResult h = env.call(kHistorico, "GetHistoricoRegistro", strings({c.table, c.key}));
        ASSERT_TRUE(h.ok()) << h.errorMessage.toStdString();
        EXPECT_EQ(Packet::from(h.result).columnValues("NMMETODO"), c.methods);
        EXPECT_EQ(Packet::from(h.result).columnValues("CDGRUPONOVO"), c.after);
    }
}

// On PostgreSQL a client that another system adds while a registration runs gets its row
// and its history item, or neither. The registration's first history statement is held by
// a trigger until the new client is committed: the write after it would see the client the
// history did not.
TEST_P(History, AClientAddedWhileARegistrationRunsGetsItsRowAndItsItemTogether)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    struct Case { const char *what; std::string object, method; QCborArray args; };
    const std::vector<Case> cases{
        {"one registration", kCadAutParGrpFis, "CadastroAutomatico",
         strings({"GRFISIMPIECLIE", "903", "", "T", "91", "92", "IE-C"})},
        {"per tax and registration", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "T", "", "N", "", "903", "T"})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Env env(GetParam());
        env.db->exec("CREATE FUNCTION test_hold() RETURNS trigger LANGUAGE plpgsql AS"
                     " $$ BEGIN PERFORM pg_advisory_xact_lock(4242); RETURN NULL; END $$");
        env.db->exec("CREATE TRIGGER test_hold BEFORE INSERT ON HISTITEM FOR EACH STATEMENT EXECUTE FUNCTION test_hold()");
        auto other = env.db->connect();
        other->begin();
        other->exec("SELECT pg_advisory_xact_lock(4242)");
        other->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ('WNOVO', 'Cliente novo')");
        auto done = std::async(std::launch::async, [&] { return env.call(c.object, c.method, c.args); });
        EXPECT_TRUE(someoneWaitsForALock(*env.db)) << "the registration waits for the other system";
        other->commit();
        const RpcResult r = done.get();
        ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
        EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDCLIENTE = 'WNOVO'"),
                  env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE NMTABELA = 'GRFISIMPIECLIE' AND CDCHAVE4 = 'WNOVO'"));
        EXPECT_GT(env.db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDCLIENTE = 'WNOVO'"), 0);
    }
}

// On PostgreSQL a save of the origin that commits while a replication waits for the table is
// what the replication copies: read before the table was its own, the older value would be
// put back over the save.
TEST_P(History, AReplicationCopiesTheOriginAsItIsOnceTheTableIsItsOwn)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    Env env(GetParam());
    auto other = env.db->connect();
    other->begin();
    other->exec("UPDATE GRFISIMPIEFORN SET CDGRUPOFISC = '902' WHERE CDIMPOSTO = '91' AND CDEMPRESA = '91' "
                "AND CDINSCESTA = 'IE-A' AND CDFORNECED = 'WF1'");
    const QCborArray args{QStringLiteral("91"), QStringLiteral("91"), QStringLiteral("IE-A"), QStringLiteral("T"),
                          QStringLiteral("91"), QStringLiteral("T"), true, false};
    auto done = std::async(std::launch::async, [&] { return env.call(kParamGrupFiscal, "Replica", args); });
    EXPECT_TRUE(someoneWaitsForALock(*env.db)) << "the replication waits for the save";
    other->commit();
    const RpcResult r = done.get();
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' AND CDEMPRESA = '91' "
                            "AND CDFORNECED = 'WF1' AND CDGRUPOFISC <> '902'"),
              0);
}

// "Registros Vazios" on the billing types takes the types before their branch copies, as a
// billing-type save does: a save holding a type and then writing its copies goes through.
TEST_P(History, ABillingTypesRegistrationTakesTheTypesBeforeTheCopies)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    Env env(GetParam());
    env.db->exec("INSERT INTO TIPOFATUR (CDTIPOFATUR, CDGRUPOFISC) VALUES ('W02', NULL)");
    env.db->exec("INSERT INTO PARAMFILIAL (CDFILIAL, CDTIPOFATUR, CDGRUPOFISC) VALUES ('W001', 'W02', NULL)");
    auto save = env.db->connect();
    save->begin();
    save->exec("UPDATE TIPOFATUR SET CDGRUPOFISC = '902' WHERE CDTIPOFATUR = 'W01'");
    const QCborArray args{QStringLiteral("PARAMFILIAL"), QStringLiteral("903"), QString(), QStringLiteral("V"),
                          QString(), QString(), QString()};
    auto done = std::async(std::launch::async, [&] { return env.call(kCadAutParGrpFis, "CadastroAutomatico", args); });
    ASSERT_TRUE(someoneWaitsForALock(*env.db)) << "the registration waits for the save";
    EXPECT_NO_THROW(save->exec("UPDATE PARAMFILIAL SET CDGRUPOFISC = '902' WHERE CDTIPOFATUR = 'W01'"));
    save->commit();
    const RpcResult r = done.get();
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM PARAMFILIAL p JOIN TIPOFATUR t ON t.CDTIPOFATUR = p.CDTIPOFATUR "
                            "WHERE p.CDTIPOFATUR IN ('W01', 'W02') AND p.CDGRUPOFISC IS DISTINCT FROM t.CDGRUPOFISC"),
              0);
}

// On PostgreSQL a call over two tables is numbered once both are its own: another writer of
// the second table, committed while the call waits for it, wrote there first and so has the
// lower number (an undo and "Situação em" read the numbers as the order of the writes).
TEST_P(History, ACallOverTwoTablesIsNumberedAfterAWriterItWaitedFor)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    struct Case { const char *what, *second; const std::string &object; const char *method; QCborArray args; };
    const std::vector<Case> cases{
        {"clients and suppliers", "GRFISIMPIEFORN", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "T", "", "T", "", "903", "T"})},
        {"billing types and their copies", "PARAMFILIAL", kCadAutParGrpFis, "CadastroAutomatico",
         strings({"PARAMFILIAL", "903", "", "T", "", "", ""})},
        {"a billing type saved, and its copies", "PARAMFILIAL", kParamGrupFiscal, "SetTipoFatur",
         {ChangeSetBuilder("SetTipoFatur").update({{"CDTIPOFATUR", "W01"}, {"CDGRUPOFISC", "901"}},
                                                  {{"CDTIPOFATUR", "W01"}, {"CDGRUPOFISC", "902"}}).build()}},
        {"a billing type imported, and its copies", "PARAMFILIAL", kCadAutParGrpFis, "ImportaGrupos",
         importArgs("TIPOFATUR", {{"W01", "903"}})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Env env(GetParam());
        auto other = env.db->connect();
        other->begin();
        other->exec(std::string("LOCK TABLE ") + c.second + " IN ROW EXCLUSIVE MODE");
        auto done = std::async(std::launch::async, [&] { return env.call(c.object, c.method, c.args); });
        ASSERT_TRUE(someoneWaitsForALock(*env.db)) << "the call waits for the other writer";
        const auto st = other->prepare("INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS,"
                                       " QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS, DSENDERECO) VALUES"
                                       " ('2026-12-10T10:00:00.000Z', 'outro', 'SetFornInsc', '[]', 1, 0, 0, '')"
                                       " RETURNING IDOPERACAO");
        ASSERT_TRUE(st->step());
        const long long others = std::stoll(std::string(st->text(0)));
        st->reset();
        other->commit();
        const RpcResult r = done.get();
        ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
        EXPECT_GT(env.db->count(std::string("SELECT IDOPERACAO FROM HISTOPERACAO WHERE NMMETODO = '") + c.method + "'"),
                  others);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, History, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
