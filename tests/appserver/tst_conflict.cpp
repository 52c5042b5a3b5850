// Saves that must not overwrite or half-apply: two users on the same row, change sets with
// one bad row (row by row and set-based), and hostile text in every argument.

#include "writesupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

constexpr int kInvalid = -32602, kConflict = -32001, kNotFound = -32002;

class Conflict : public ::testing::TestWithParam<Backend> {};

// The change set a screen builds from a loaded packet: the row as loaded, and the same row
// with another group.
QCborValue changeFromPacket(const QCborValue &packet, const char *keyField, const QString &key, const V &group)
{
    const QCborMap p = packet.toMap();
    const QCborArray fields = p.value(QStringLiteral("fields")).toArray();
    int keyAt = -1, groupAt = -1;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const QString name = fields[i].toMap().value(QStringLiteral("name")).toString();
        if (name == QLatin1String(keyField))
            keyAt = int(i);
        if (name == QLatin1String("CDGRUPOFISC"))
            groupAt = int(i);
    }
    for (const QCborValue &row : p.value(QStringLiteral("rows")).toArray()) {
        if (row.toArray().at(keyAt).toString() != key)
            continue;
        QCborArray changed = row.toArray();
        changed[groupAt] = cborOf(group);
        return QCborMap{{QStringLiteral("fields"), fields},
                        {QStringLiteral("changes"), QCborArray{QCborMap{{QStringLiteral("op"), QStringLiteral("update")},
                                                                        {QStringLiteral("old"), row}, {QStringLiteral("new"), changed}}}}};
    }
    ADD_FAILURE() << "row " << key.toStdString() << " not in the packet";
    return {};
}

TEST_P(Conflict, SecondSaveOfTheSameRowFails)
{
    Env env(GetParam());
    const struct {
        const char *read;
        QCborArray readArgs;
        const char *save;
        const char *keyField;
        const char *key;
        const char *check;
    } cases[] = {
        {"GetCliente", {}, "SetCliente", "CDCLIENTE", "WC2", "SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC2'"},
        {"GetFornInsc", strings({"91", "91", "IE-A"}), "SetFornInsc", "CDFORNECED", "WF2",
         "SELECT CDGRUPOFISC FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' AND CDINSCESTA = 'IE-A' AND CDFORNECED = 'WF2'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.save);
        // Both users load the same data before either saves.
        const RpcResult a = env.call(kParamGrupFiscal, c.read, c.readArgs);
        const RpcResult b = env.call(kParamGrupFiscal, c.read, c.readArgs);
        ASSERT_TRUE(a.ok() && b.ok()) << a.errorMessage.toStdString();
        const RpcResult first = env.save(c.save, changeFromPacket(a.result, c.keyField, QString::fromUtf8(c.key), QStringLiteral("901")));
        EXPECT_TRUE(first.ok()) << first.errorMessage.toStdString();
        const RpcResult second = env.save(c.save, changeFromPacket(b.result, c.keyField, QString::fromUtf8(c.key), QStringLiteral("902")));
        EXPECT_EQ(second.errorCode, kConflict);
        EXPECT_TRUE(second.errorMessage.contains(QStringLiteral("foi alterado por outro usuário"))) << second.errorMessage.toStdString();
        EXPECT_TRUE(second.errorMessage.contains(QString::fromUtf8(c.key))) << second.errorMessage.toStdString();
        EXPECT_EQ(env.value(c.check), std::optional<std::string>("901"));
    }
}

// A billing-type post is two calls: SetUpdateTipoFatur with the row's group and code, then
// SetTipoFatur with the change. A refused save must leave the billing type and every
// branch's copy as they were, however the branches stood.
TEST_P(Conflict, RefusedBillingTypeSaveLeavesTheBranchesAlone)
{
    Env env(GetParam());
    // One branch holds a group of its own, the other none.
    env.db->exec("UPDATE PARAMFILIAL SET CDGRUPOFISC = '903' WHERE CDFILIAL = 'W001' AND CDTIPOFATUR = 'W01'");
    const RpcResult first = env.call(kParamGrupFiscal, "GetTipoFatur", {});
    const RpcResult second = env.call(kParamGrupFiscal, "GetTipoFatur", {});
    ASSERT_TRUE(first.ok() && second.ok()) << first.errorMessage.toStdString();
    const auto post = [&](const RpcResult &loaded, const char *group) {
        const RpcResult check = env.call(kParamGrupFiscal, "SetUpdateTipoFatur", strings({group, "W01"}));
        EXPECT_TRUE(check.ok()) << check.errorMessage.toStdString();
        return env.save("SetTipoFatur", changeFromPacket(loaded.result, "CDTIPOFATUR", QStringLiteral("W01"),
                                                         QString::fromUtf8(group)));
    };
    const std::string copies = "SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = 'W01' AND CDGRUPOFISC = $1";
    // Every billing type and every branch's copy, as "key|group" lines.
    const auto billing = [&] {
        std::string out;
        for (const char *sql : {"SELECT CDTIPOFATUR, CDGRUPOFISC FROM TIPOFATUR ORDER BY 1",
                                "SELECT CDFILIAL || '/' || CDTIPOFATUR, CDGRUPOFISC FROM PARAMFILIAL ORDER BY 1"})
            for (const auto &row : env.db->query(sql))
                out += str(row[0]) + '|' + str(row[1]) + '\n';
        return out;
    };

    // Without a conflict both tables change.
    EXPECT_TRUE(post(second, "902").ok());
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM TIPOFATUR WHERE CDTIPOFATUR = 'W01'"), std::optional<std::string>("902"));
    EXPECT_EQ(env.db->count(copies, {"902"}), 2);

    // The first user's post is refused and nothing moves, also after a branch took its own group again.
    env.db->exec("UPDATE PARAMFILIAL SET CDGRUPOFISC = NULL WHERE CDFILIAL = 'W002' AND CDTIPOFATUR = 'W01'");
    const std::string before = billing();
    const RpcResult refused = post(first, "903");
    EXPECT_EQ(refused.errorCode, kConflict);
    EXPECT_TRUE(refused.errorMessage.contains(QStringLiteral("foi alterado por outro usuário"))) << refused.errorMessage.toStdString();
    EXPECT_TRUE(refused.errorMessage.contains(QStringLiteral("W01"))) << refused.errorMessage.toStdString();
    EXPECT_EQ(billing(), before);
}

// 200 clients WL0001..WL0200 without group, and 60 supplier parameters at IE-B.
void seedMany(TestDb &db)
{
    std::string sql = "INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ";
    for (int i = 1; i <= 200; ++i)
        sql += (i > 1 ? "," : "") + QStringLiteral("('WL%1', 'Cliente em lote')").arg(i, 4, 10, QChar(u'0')).toStdString();
    db.exec(sql);
    sql = "INSERT INTO FORNECEDOR (CDFORNECED, NMRAZSOCFORN) VALUES ";
    for (int i = 1; i <= 120; ++i)
        sql += (i > 1 ? "," : "") + QStringLiteral("('WM%1', 'Fornecedor em lote')").arg(i, 4, 10, QChar(u'0')).toStdString();
    db.exec(sql);
    sql = "INSERT INTO GRFISIMPIEFORN (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC) VALUES ";
    for (int i = 1; i <= 60; ++i)
        sql += (i > 1 ? "," : "") + QStringLiteral("('91', '91', 'IE-B', 'WM%1', '901')").arg(i, 4, 10, QChar(u'0')).toStdString();
    db.exec(sql);
}

QString code(const char *prefix, int i) { return QStringLiteral("%1%2").arg(QLatin1String(prefix)).arg(i, 4, 10, QChar(u'0')); }

TEST_P(Conflict, OneBadRowAppliesNothing)
{
    Env env(GetParam());
    seedMany(*env.db);

    // The clients' change set: every row from none to 901; `bad` spoils one row.
    enum class Spoil { Nothing, StaleRow, UnknownGroup, UnknownKey };
    const auto clients = [](int rows, Spoil spoil, int at) {
        ChangeSetBuilder b("SetCliente");
        for (int i = 1; i <= rows; ++i) {
            QString key = code("WL", i);
            V was = null, now = QStringLiteral("901");
            if (i == at && spoil == Spoil::StaleRow)
                was = QStringLiteral("902");
            if (i == at && spoil == Spoil::UnknownGroup)
                now = QStringLiteral("999");
            if (i == at && spoil == Spoil::UnknownKey)
                key = QStringLiteral("WX9999");
            b.update({{"CDCLIENTE", key}, {"CDGRUPOFISC", was}}, {{"CDCLIENTE", key}, {"CDGRUPOFISC", now}});
        }
        return b.build();
    };
    // A small clients' change set, row by row: {key, group as loaded, new group}.
    struct ClientRow {
        const char *key;
        V was, now;
    };
    const auto clientRows = [](std::initializer_list<ClientRow> rows) {
        ChangeSetBuilder b("SetCliente");
        for (const ClientRow &r : rows)
            b.update({{"CDCLIENTE", QString::fromUtf8(r.key)}, {"CDGRUPOFISC", r.was}},
                     {{"CDCLIENTE", QString::fromUtf8(r.key)}, {"CDGRUPOFISC", r.now}});
        return b.build();
    };
    const V g901 = QStringLiteral("901"), g902 = QStringLiteral("902"), g999 = QStringLiteral("999");
    // Supplier parameters at IE-B: 60 changed 901->902, 30 cleared, 30 new rows 903.
    const auto suppliers = [](bool stale) {
        ChangeSetBuilder b("SetFornInsc");
        const Values key{{"CDIMPOSTO", QStringLiteral("91")}, {"CDEMPRESA", QStringLiteral("91")}, {"CDINSCESTA", QStringLiteral("IE-B")}};
        for (int i = 1; i <= 120; ++i) {
            Values oldRow = key, newRow = key;
            oldRow["CDFORNECED"] = newRow["CDFORNECED"] = code("WM", i);
            oldRow["CDGRUPOFISC"] = i <= 60 ? V(QStringLiteral("901")) : null;
            newRow["CDGRUPOFISC"] = i <= 30 ? V(QStringLiteral("902")) : i <= 60 ? null : V(QStringLiteral("903"));
            if (stale && i == 45)
                oldRow["CDGRUPOFISC"] = QStringLiteral("903");
            if (i > 60)
                oldRow["CDIMPOSTO"] = oldRow["CDEMPRESA"] = oldRow["CDINSCESTA"] = null;
            b.update(oldRow, newRow);
        }
        return b.build();
    };

    const struct {
        const char *what;
        const char *method;
        QCborValue changes;
        int code;
        const char *named;     // must appear in the message
    } refused[] = {
        {"small set, stale last row", "SetCliente", clients(3, Spoil::StaleRow, 3), kConflict, "WL0003"},
        // An unknown group is reported before anything about the rows, whatever their state.
        {"one row, unknown group", "SetCliente", clientRows({{"WL0001", null, g999}}), kNotFound, "999"},
        {"one row, stale, unknown group", "SetCliente", clientRows({{"WL0001", g902, g999}}), kNotFound, "999"},
        {"one row, unknown client, unknown group", "SetCliente", clientRows({{"WX9999", null, g999}}), kNotFound, "999"},
        {"stale row before a good one, unknown group", "SetCliente",
         clientRows({{"WL0001", g902, g999}, {"WL0002", null, g999}}), kNotFound, "999"},
        {"stale row, another row to an unknown group", "SetCliente",
         clientRows({{"WL0001", g902, g901}, {"WL0002", null, g999}}), kNotFound, "999"},
        {"good row, then a stale one", "SetCliente",
         clientRows({{"WL0001", null, g901}, {"WL0002", g901, g901}, {"WL0003", g902, g901}}), kConflict, "WL0003"},
        {"good row, then an unknown client", "SetCliente",
         clientRows({{"WL0001", null, g901}, {"WX9999", null, g901}}), kNotFound, "WX9999"},
        {"unknown client cleared", "SetCliente", clientRows({{"WX9999", g901, null}}), kNotFound, "WX9999"},
        {"large set, stale row", "SetCliente", clients(200, Spoil::StaleRow, 137), kConflict, "WL0137"},
        {"large set, unknown group", "SetCliente", clients(200, Spoil::UnknownGroup, 50), kNotFound, "999"},
        {"large set, unknown client", "SetCliente", clients(200, Spoil::UnknownKey, 180), kNotFound, "WX9999"},
        {"large parameter set, stale row", "SetFornInsc", suppliers(true), kConflict, "WM0045"},
    };
    const std::string before = snapshot(*env.db);
    for (const auto &r : refused) {
        SCOPED_TRACE(r.what);
        const RpcResult res = env.save(r.method, r.changes);
        EXPECT_EQ(res.errorCode, r.code) << res.errorMessage.toStdString();
        EXPECT_TRUE(res.errorMessage.contains(QString::fromUtf8(r.named))) << res.errorMessage.toStdString();
        EXPECT_EQ(snapshot(*env.db), before);
    }

    EXPECT_TRUE(env.save("SetCliente", clients(200, Spoil::Nothing, 0)).ok());
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM CLIENTE WHERE CDCLIENTE LIKE 'WL%' AND CDGRUPOFISC = '901'"), 200);
    const RpcResult ok = env.save("SetFornInsc", suppliers(false));
    EXPECT_TRUE(ok.ok()) << ok.errorMessage.toStdString();
    const auto at = [&](const char *group) {
        return env.db->count(std::string("SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-B' AND CDFORNECED LIKE 'WM%' AND CDGRUPOFISC ")
                             + (group ? std::string("= '") + group + "'" : "IS NULL"));
    };
    EXPECT_EQ(at("902"), 30);
    EXPECT_EQ(at("901"), 0);
    EXPECT_EQ(at("903"), 60);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-B' AND CDFORNECED LIKE 'WM%'"), 90);
}

TEST_P(Conflict, HostileTextChangesOnlyWhatItNamesLiterally)
{
    Env env(GetParam());
    // A client whose code really holds quotes and a semicolon.
    env.db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ($1, 'Cliente com aspas')", {"D'AV;--"});
    const std::string before = snapshot(*env.db);

    const auto setCliente = [](const char *key, const char *group) {
        return ChangeSetBuilder("SetCliente")
            .update({{"CDCLIENTE", QString::fromUtf8(key)}}, {{"CDCLIENTE", QString::fromUtf8(key)}, {"CDGRUPOFISC", QString::fromUtf8(group)}})
            .build();
    };
    const struct {
        const char *what;
        const std::string object;
        const char *method;
        QCborArray args;
        int code;
    } hostile[] = {
        {"key with OR", kParamGrupFiscal, "SetCliente", {setCliente("1' OR '1'='1", "901")}, kNotFound},
        {"key with a statement", kParamGrupFiscal, "SetCliente", {setCliente("x';DELETE FROM CLIENTE", "901")}, kInvalid},
        {"group with a quote", kParamGrupFiscal, "SetCliente", {setCliente("WC1", "1';")}, kNotFound},
        {"billing type", kParamGrupFiscal, "SetUpdateTipoFatur", strings({"901", "'--"}), kNotFound},
        {"entity", kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE;", "901", "", "T", "", "", ""}), kInvalid},
        {"group", kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "0'1", "", "T", "", "", ""}), kNotFound},
        {"mode", kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "901", "", "'", "", "", ""}), kInvalid},
        {"tax", kCadAutParGrpFis, "CadastroAutomatico", strings({"GRFISCIMPOSFILI", "901", "", "T", "'1", "", ""}), kNotFound},
        {"registration", kCadAutParGrpFis, "CadastroAutomatico",
         strings({"GRFISIMPIECLIE", "", "", "L", "91", "91", "x' OR 'a'='a"}), kNotFound},
        {"client list", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "L", "'1'' OR ''1''=''1'", "N", "", "901", "T"}), kNotFound},
        {"client list with a statement", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "T", "", "L", "'WC1');DELETE FROM CLIENTE;--", "N", "", "901", "T"}), kInvalid},
        {"registration list", kCadAutParGrpFis, "CadAutoImpInscEsta",
         strings({"91", "", "L", "'91IE-A'' OR ''x''=''x'", "T", "", "N", "", "901", "T"}), kNotFound},
        {"replica groups", kParamGrupFiscal, "Replica",
         [] { QCborArray a = strings({"91", "91", "IE-A", "'9'';'", "92", "T"}); a.append(true); a.append(false); return a; }(), kNotFound},
        {"replica destinations", kParamGrupFiscal, "Replica",
         [] { QCborArray a = strings({"91", "91", "IE-A", "T", "92", "'IE-C'' OR ''1''=''1'"}); a.append(true); a.append(false); return a; }(), kNotFound},
        {"replica origin", kParamGrupFiscal, "Replica",
         [] { QCborArray a = strings({"91", "91", "IE-A' --", "T", "92", "T"}); a.append(true); a.append(false); return a; }(), kNotFound},
    };
    for (const auto &h : hostile) {
        SCOPED_TRACE(h.what);
        const RpcResult r = env.call(h.object, h.method, h.args);
        EXPECT_EQ(r.errorCode, h.code) << r.errorMessage.toStdString();
        EXPECT_EQ(snapshot(*env.db), before);
    }

    // The literal code works like any other, and only its own rows change.
    EXPECT_TRUE(env.save("SetCliente", setCliente("D'AV;--", "903")).ok());
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {"D'AV;--"}), std::optional<std::string>("903"));
    const RpcResult listed = env.call(kCadAutParGrpFis, "CadAutoImpInscEsta",
                                      strings({"91", "", "L", "'91IE-A'", "L", "'D''AV;--'", "N", "", "902", "T"}));
    EXPECT_TRUE(listed.ok()) << listed.errorMessage.toStdString();
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDCLIENTE = $1 AND CDGRUPOFISC = '902'", {"D'AV;--"}), 1);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = '903'"), 1);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDGRUPOFISC = '902'"),
              2);   // the seeded WC2 row at IE-B and the new one
}

// A batch from an outside client: every call is a transaction of its own, so a refused one
// undoes nothing of the others; a notification is saved and never answered.
TEST_P(Conflict, EachCallOfABatchIsItsOwnTransaction)
{
    Env env(GetParam());
    const auto save = [](const char *key, const V &was, const V &now, const QCborValue &id) {
        QCborMap call{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")}, {QStringLiteral("method"), QStringLiteral("SetCliente")},
                      {QStringLiteral("params"), QCborArray{ChangeSetBuilder("SetCliente")
                                                                 .update({{"CDCLIENTE", key}, {"CDGRUPOFISC", was}},
                                                                         {{"CDCLIENTE", key}, {"CDGRUPOFISC", now}})
                                                                 .build()}}};
        if (!id.isUndefined())
            call.insert(QStringLiteral("id"), id);
        return call;
    };
    const QCborArray batch{save("WC2", null, QStringLiteral("901"), 1),
                           save("WC1", QStringLiteral("902"), QStringLiteral("903"), 2),   // stale: WC1 holds 901
                           save("WC3", QStringLiteral("902"), QStringLiteral("903"), QCborValue())};
    const HttpResponse r = httpPost(env.server->port(), "/rpc/" + kParamGrupFiscal,
                                    QJsonDocument(QCborValue(batch).toJsonValue().toArray()).toJson(), "application/json");
    ASSERT_EQ(r.status, 200);
    const QJsonArray replies = QJsonDocument::fromJson(r.body).array();
    ASSERT_EQ(replies.size(), 2) << r.body.toStdString();
    EXPECT_EQ(replies[0].toObject().value(QStringLiteral("id")).toInt(), 1);
    EXPECT_TRUE(replies[0].toObject().contains(QStringLiteral("result")));
    EXPECT_EQ(replies[1].toObject().value(QStringLiteral("id")).toInt(), 2);
    EXPECT_EQ(replies[1].toObject().value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt(), kConflict);
    EXPECT_EQ(str(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC2'")), "901");
    EXPECT_EQ(str(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'")), "901");
    EXPECT_EQ(str(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC3'")), "903");
}

INSTANTIATE_TEST_SUITE_P(Writes, Conflict, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
