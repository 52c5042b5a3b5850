// SimulaImportaGrupos and ImportaGrupos over real HTTP: every error reason at its line, the
// database after the import equal to the preview's promise, one operation whose undo
// restores the tables exactly, nothing recorded when nothing changes, and arguments refused
// whole with nothing written.

#include "historysupport.h"

#include "storage/documents.h"

#include <chrono>
#include <future>
#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;
using fiscal::test::history::importArgs;
using fiscal::test::history::kHistorico;
using fiscal::test::history::Lines;
using fiscal::test::history::linesPacket;

namespace {

constexpr int kInvalid = -32602;

struct Simulated {
    std::int64_t lines = -1, toChange = -1, same = -1, errors = -1;
    std::vector<std::pair<std::int64_t, QString>> reasons;
};

Simulated simulate(const Env &env, const QCborArray &args)
{
    const RpcResult r = env.call(kCadAutParGrpFis, "SimulaImportaGrupos", args);
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    Simulated s;
    if (!r.ok())
        return s;
    const Packet counts = Packet::from(r.result.toArray().at(0));
    const Packet errors = Packet::from(r.result.toArray().at(1));
    const auto n = [&](const char *f) { return counts.rows[0][counts.column(QString::fromLatin1(f))]->toLongLong(); };
    s = {n("QTLINHAS"), n("QTALTERAR"), n("QTIGUAIS"), n("QTERROS"), {}};
    for (const auto &row : errors.rows)
        s.reasons.emplace_back(row[0]->toLongLong(), *row[1]);
    return s;
}

struct Imported {
    std::optional<QString> operation;
    std::int64_t changed = -1, inserted = -1;
};

Imported import(const Env &env, const QCborArray &args)
{
    const RpcResult r = env.call(kCadAutParGrpFis, "ImportaGrupos", args);
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    if (!r.ok())
        return {};
    const Packet p = Packet::from(r.result);
    EXPECT_EQ(p.names(), (QStringList{"IDOPERACAO", "QTALTERADOS", "QTINCLUIDOS"}));
    return {p.rows[0][0], p.rows[0][1]->toLongLong(), p.rows[0][2]->toLongLong()};
}

void undo(const Env &env, const QString &id)
{
    const RpcResult r = env.call(kHistorico, "DesfazOperacao", {id});
    EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
}

class Import : public ::testing::TestWithParam<Backend> {};

TEST_P(Import, EveryReasonAtItsLineAndTheDatabaseAsPromised)
{
    Env env(GetParam());
    const std::string cnpj = fiscal::storage::completeCnpj("112223330001");
    std::string wrong = cnpj;
    wrong.back() = wrong.back() == '9' ? '0' : char(wrong.back() + 1);
    const std::string cpf = fiscal::storage::completeCpf("123456789");
    env.db->exec("UPDATE CLIENTE SET NRINSJURCLIE = '" + cnpj + "' WHERE CDCLIENTE = 'WC2'");
    env.db->exec("UPDATE CLIENTE SET NRINSJURCLIE = '" + cpf + "' WHERE CDCLIENTE = 'WC3'");
    env.db->exec("INSERT INTO CLIENTE (CDCLIENTE, NRINSJURCLIE, NMRAZSOCCLIE) VALUES ('WC4', '" + cpf + "', 'Cliente 4')");
    const std::string punctuated = cnpj.substr(0, 2) + "." + cnpj.substr(2, 3) + "." + cnpj.substr(5, 3) + "/"
                                   + cnpj.substr(8, 4) + "-" + cnpj.substr(12);

    const Lines lines = {
        {"WC1", "902"},                  // 1 changes
        {punctuated.c_str(), "903"},     // 2 WC2, found by its CNPJ, and 12 disagree
        {"WCX", "901"},                  // 3
        {"WC3", "999"},                  // 4 and 11 disagree, though 4's group is no group
        {wrong.c_str(), "901"},          // 5
        {cpf.c_str(), "901"},            // 6 two clients share it
        {"WC1", "902"},                  // 7 the same again: nothing more
        {"WC4", "901"},                  // 8 and 9 disagree
        {"WC4", "902"},                  // 9
        {"", "901"},                     // 10
        {"WC3", "902"},                  // 11 already so, were it alone
        {"WC2", "901"},                  // 12 by its code
        {"WC4", "901"},                  // 13 agrees with 8, yet its record's lines disagree
    };
    const Simulated s = simulate(env, importArgs("CLIENTE", lines));
    EXPECT_EQ(s.lines, 13);
    EXPECT_EQ(s.toChange, 1);
    EXPECT_EQ(s.same, 1);
    EXPECT_EQ(s.errors, 11);
    const std::vector<std::pair<std::int64_t, QString>> expected = {
        {2, QStringLiteral("Cliente WC2 repetido com outro grupo fiscal (linha 12).")},
        {3, QStringLiteral("Cliente WCX não cadastrado.")},
        {4, QStringLiteral("Grupo fiscal 999 não cadastrado.")},
        {5, QStringLiteral("CNPJ/CPF %1 com dígito verificador errado.").arg(QString::fromStdString(wrong))},
        {6, QStringLiteral("CNPJ/CPF %1 pertence a 2 registros: informe o código.").arg(QString::fromStdString(cpf))},
        {8, QStringLiteral("Cliente WC4 repetido com outro grupo fiscal (linha 9).")},
        {9, QStringLiteral("Cliente WC4 repetido com outro grupo fiscal (linha 8).")},
        {10, QStringLiteral("Registro não informado.")},
        {11, QStringLiteral("Cliente WC3 repetido com outro grupo fiscal (linha 4).")},
        {12, QStringLiteral("Cliente WC2 repetido com outro grupo fiscal (linha 2).")},
        {13, QStringLiteral("Cliente WC4 repetido com outro grupo fiscal (linha 9).")},
    };
    EXPECT_EQ(s.reasons, expected);

    // A branch is named in the feminine.
    const std::string branch = *env.db->scalar("SELECT MIN(CDFILIAL) FROM FILIAL");
    const Simulated branches = simulate(env, importArgs("FILIAL", {{"9999", "901"}, {branch.c_str(), "901"},
                                                                   {branch.c_str(), "902"}}));
    const std::vector<std::pair<std::int64_t, QString>> branchReasons = {
        {1, QStringLiteral("Filial 9999 não cadastrada.")},
        {2, QStringLiteral("Filial %1 repetida com outro grupo fiscal (linha 3).").arg(QString::fromStdString(branch))},
        {3, QStringLiteral("Filial %1 repetida com outro grupo fiscal (linha 2).").arg(QString::fromStdString(branch))},
    };
    EXPECT_EQ(branches.reasons, branchReasons);

    // Spaces around a value are not part of it, whatever the spaces.
    const Simulated spaced = simulate(env, importArgs("CLIENTE", {{" WC1\t", "902"}, {"\xC2\xA0WC3\xC2\xA0", "902"}}));
    EXPECT_EQ(spaced.errors, 0);
    EXPECT_EQ(spaced.toChange + spaced.same, 2);

    // Refused whole, naming the first wrong line, nothing written.
    const std::string before = snapshot(*env.db);
    const auto operations = [&] { return env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"); };
    const std::int64_t opsBefore = operations();
    const RpcResult refused = env.call(kCadAutParGrpFis, "ImportaGrupos", importArgs("CLIENTE", lines));
    EXPECT_EQ(refused.errorCode, kInvalid);
    EXPECT_EQ(refused.errorMessage, QStringLiteral("Linha 2: cliente WC2 repetido com outro grupo fiscal (linha 12)."));
    EXPECT_EQ(snapshot(*env.db), before);

    // The valid lines only: what the preview promised, as one operation that undo reverses.
    const Lines valid = {lines[0], lines[1], lines[6], lines[10]};
    const Simulated promise = simulate(env, importArgs("CLIENTE", valid));
    const Imported done = import(env, importArgs("CLIENTE", valid));
    EXPECT_EQ(done.changed + done.inserted, promise.toChange);
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'"), "902");
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC2'"), "903");
    EXPECT_EQ(operations(), opsBefore + 1);
    ASSERT_TRUE(done.operation);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = " + done.operation->toStdString()), 2);

    // Again: nothing changes, nothing is recorded.
    const Imported again = import(env, importArgs("CLIENTE", valid));
    EXPECT_FALSE(again.operation);
    EXPECT_EQ(again.changed, 0);
    EXPECT_EQ(operations(), opsBefore + 1);

    undo(env, *done.operation);
    EXPECT_EQ(snapshot(*env.db), before);
}

// A spreadsheet drops the leading zeros of numbers: a number names the record whose code it
// is, and only then the one whose CNPJ/CPF it makes with its zeros back.
TEST_P(Import, ANumberIsACodeBeforeADocumentThatLostItsZeros)
{
    Env env(GetParam());
    namespace docs = fiscal::storage;
    const std::string cnpj = docs::completeCnpj("012223330001");
    const std::string cpf = docs::completeCpf("012345678");
    const std::string numeric = cnpj.substr(1);   // a client's code, and WC2's CNPJ without its zero
    // Three zeros lost: 11 digits that are no CPF, but a CNPJ once the zeros are back.
    std::string base = "000123456780";
    while (docs::isValidCpf(docs::completeCnpj(base).substr(3)))
        base.back() = char(base.back() + 1);
    const std::string cnpjOfEleven = docs::completeCnpj(base);
    const std::string twelve = "123456789012";   // makes no valid CNPJ either
    ASSERT_FALSE(docs::isValidCnpj("00" + twelve));
    env.db->exec("UPDATE CLIENTE SET NRINSJURCLIE = '" + cnpj + "' WHERE CDCLIENTE = 'WC2'");
    env.db->exec("UPDATE CLIENTE SET NRINSJURCLIE = '" + cpf + "' WHERE CDCLIENTE = 'WC3'");
    env.db->exec("UPDATE CLIENTE SET NRINSJURCLIE = '" + cnpjOfEleven + "' WHERE CDCLIENTE = 'WC1'");
    for (const std::string &code : {numeric, std::string("4711")})
        env.db->exec("INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE) VALUES ('" + code + "', 'Código numérico')");
    const std::optional<std::string> wc2 = env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC2'");

    const std::string cpfNumber = cpf.substr(1), elevenNumber = cnpjOfEleven.substr(3);
    const Lines lines = {{"4711", "901"}, {numeric.c_str(), "902"}, {cpfNumber.c_str(), "901"},
                         {elevenNumber.c_str(), "903"}, {"4712", "901"}, {twelve.c_str(), "901"}};
    const Simulated s = simulate(env, importArgs("CLIENTE", lines));
    const std::vector<std::pair<std::int64_t, QString>> expected = {
        {5, QStringLiteral("Cliente 4712 não cadastrado.")},
        {6, QStringLiteral("Cliente %1 não cadastrado.").arg(QString::fromStdString(twelve))}};
    EXPECT_EQ(s.reasons, expected);

    import(env, importArgs("CLIENTE", {lines[0], lines[1], lines[2], lines[3]}));
    const struct { std::string record; std::optional<std::string> group; } after[] = {
        {"4711", "901"}, {numeric, "902"}, {"WC3", "901"}, {"WC1", "903"}, {"WC2", wc2}};
    for (const auto &a : after)
        EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = '" + a.record + "'"), a.group) << a.record;
}

TEST_P(Import, EveryTableAppliedAndUndoneExactly)
{
    const struct Case {
        const char *entity, *tax, *company, *registration;
        Lines lines;
        std::int64_t changed, inserted;
        std::vector<std::pair<const char *, const char *>> after;   // query, value ("<null>")
    } cases[] = {
        {"FORNECEDOR", "", "", "", {{"WF2", "903"}, {"WF1", ""}}, 2, 0,
         {{"SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = 'WF2'", "903"},
          {"SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = 'WF1'", "<null>"}}},
        {"FILIAL", "", "", "", {{"W002", "902"}}, 1, 0, {{"SELECT CDGRUPOFISC FROM FILIAL WHERE CDFILIAL = 'W002'", "902"}}},
        {"TIPOOPERAC", "", "", "", {{"W1", "903"}}, 1, 0, {{"SELECT CDGRUPOFISC FROM TIPOOPERAC WHERE CDTIPOOPER = 'W1'", "903"}}},
        {"TPFATURFIS", "", "", "", {{"WG001", ""}}, 1, 0,
         {{"SELECT CDGRUPOFISC FROM TPFATURFIS WHERE CDTPFATURFIS = 'WG001'", "<null>"}}},
        // A billing type's group goes to every branch's copy of it.
        {"TIPOFATUR", "", "", "", {{"W01", "902"}}, 1, 0,
         {{"SELECT CDGRUPOFISC FROM TIPOFATUR WHERE CDTIPOFATUR = 'W01'", "902"},
          {"SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = 'W01' AND CDGRUPOFISC = '902'", "2"}}},
        {"GRFISCIMPOSFILI", "91", "", "", {{"W001", "902"}, {"W002", "901"}}, 1, 1,
         {{"SELECT CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '91' AND CDFILIAL = 'W001'", "902"},
          {"SELECT CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '91' AND CDFILIAL = 'W002'", "901"}}},
        // A row without group goes; a record without a row gets one.
        {"GRFISIMPIECLIE", "91", "91", "IE-A", {{"WC1", ""}, {"WC2", "903"}, {"WC3", "901"}}, 1, 2,
         {{"SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-A' AND CDCLIENTE = 'WC1'", "0"},
          {"SELECT CDGRUPOFISC FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-A' AND CDCLIENTE = 'WC2'", "903"},
          {"SELECT CDGRUPOFISC FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-B' AND CDCLIENTE = 'WC2'", "902"}}},
        // Lines already so (a row with that group, no row and no group) and a repeated line
        // change nothing beside the one insertion.
        {"GRFISIMPIECLIE", "91", "91", "IE-A", {{"WC1", "901"}, {"WC2", ""}, {"WC3", "903"}, {"WC3", "903"}}, 0, 1,
         {{"SELECT CDGRUPOFISC FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-A' AND CDCLIENTE = 'WC1'", "901"},
          {"SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-A' AND CDCLIENTE = 'WC2'", "0"},
          {"SELECT CDGRUPOFISC FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-A' AND CDCLIENTE = 'WC3'", "903"}}},
        {"GRFISIMPIEFORN", "91", "91", "IE-B", {{"WF2", "901"}}, 1, 0,
         {{"SELECT CDGRUPOFISC FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-B' AND CDFORNECED = 'WF2'", "901"}}},
    };
    Env env(GetParam());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entity);
        const std::string before = snapshot(*env.db);
        const QCborArray args = importArgs(c.entity, c.lines, c.tax, c.company, c.registration);
        const Simulated promise = simulate(env, args);
        EXPECT_EQ(snapshot(*env.db), before) << "the preview wrote";
        EXPECT_EQ(promise.toChange, c.changed + c.inserted);
        const Imported done = import(env, args);
        EXPECT_EQ(done.changed, c.changed);
        EXPECT_EQ(done.inserted, c.inserted);
        for (const auto &[sql, value] : c.after)
            EXPECT_EQ(str(env.value(sql)), value) << sql;
        ASSERT_TRUE(done.operation);
        EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = " + done.operation->toStdString()
                                + " AND NMTABELA = '" + c.entity + "'"),
                  c.changed + c.inserted);
        undo(env, *done.operation);
        EXPECT_EQ(snapshot(*env.db), before) << "the undo did not restore";
    }
}

TEST_P(Import, WrongArgumentsAreRefusedWhole)
{
    Env env(GetParam());
    const Lines one = {{"WC1", "902"}};
    QCborArray noGroupField = strings({"CLIENTE", "", "", ""});
    QCborMap packet = linesPacket(one);
    QCborArray fields = packet.value(QStringLiteral("fields")).toArray();
    fields.removeLast();
    packet[QStringLiteral("fields")] = fields;
    packet[QStringLiteral("rows")] = QCborArray{QCborArray{QStringLiteral("WC1")}};
    noGroupField.append(packet);
    QCborArray notAPacket = strings({"CLIENTE", "", "", "", "WC1;902"});

    const struct {
        const char *what;
        QCborArray args;
        const char *message;   // a part of it
    } cases[] = {
        {"unknown entity", importArgs("PARAMGERAL", one), "Entidade desconhecida"},
        {"tax missing", importArgs("GRFISCIMPOSFILI", {{"W001", "901"}}), "Imposto deve ser informado"},
        {"registration missing", importArgs("GRFISIMPIECLIE", one, "91", "91"), "Inscrição estadual deve ser informada"},
        {"tax where none applies", importArgs("CLIENTE", one, "91"), "não se aplica"},
        {"packet without CDGRUPOFISC", noGroupField, "CHAVE e CDGRUPOFISC"},
        {"not a packet", notAPacket, "pacote"},
        {"four arguments", strings({"CLIENTE", "", "", ""}), ""},
    };
    const std::string before = snapshot(*env.db);
    for (const auto &c : cases) {
        for (const char *method : {"SimulaImportaGrupos", "ImportaGrupos"}) {
            SCOPED_TRACE(std::string(c.what) + " " + method);
            const RpcResult r = env.call(kCadAutParGrpFis, method, c.args);
            EXPECT_EQ(r.errorCode, kInvalid);
            EXPECT_TRUE(r.errorMessage.contains(QString::fromUtf8(c.message))) << r.errorMessage.toStdString();
        }
    }
    EXPECT_EQ(snapshot(*env.db), before);
}

// A client another session adds while an import waits to write is seen by its check: the
// CNPJ/CPF two clients now share is the line's error, never a failure inside the apply.
TEST_P(Import, AClientAddedMeanwhileIsSeenByTheCheck)
{
    Env env(GetParam());
    const std::string cpf = fiscal::storage::completeCpf("123456789");
    env.db->exec("UPDATE CLIENTE SET NRINSJURCLIE = '" + cpf + "' WHERE CDCLIENTE = 'WC3'");
    const std::int64_t operations = env.db->count("SELECT COUNT(*) FROM HISTOPERACAO");
    const auto group = [&] { return env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC3'"); };
    const auto before = group();
    const auto other = env.db->connect();
    other->begin();
    other->exec("INSERT INTO CLIENTE (CDCLIENTE, NRINSJURCLIE, NMRAZSOCCLIE) VALUES ('WC4', '" + cpf + "', 'Cliente 4')");
    auto pending = std::async(std::launch::async, [&] {
        return env.call(kCadAutParGrpFis, "ImportaGrupos", importArgs("CLIENTE", {{cpf.c_str(), "903"}}));
    });
    // Long enough for the import to reach its check, had it not waited for the other writer.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    other->commit();
    const RpcResult r = pending.get();
    EXPECT_EQ(r.errorCode, kInvalid);
    EXPECT_EQ(r.errorMessage,
              QStringLiteral("Linha 1: CNPJ/CPF %1 pertence a 2 registros: informe o código.").arg(QString::fromStdString(cpf)));
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations);
    EXPECT_EQ(group(), before);
}

// A group another session removes while an import waits to write is seen by its check, and
// no client is left in a group that no longer exists (the apply skips the database's own
// per-row check where it may).
TEST_P(Import, AGroupRemovedMeanwhileIsSeenByTheCheck)
{
    Env env(GetParam());
    const std::int64_t operations = env.db->count("SELECT COUNT(*) FROM HISTOPERACAO");
    const auto other = env.db->connect();
    other->begin();
    other->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '903'");
    auto pending = std::async(std::launch::async, [&] {
        return env.call(kCadAutParGrpFis, "ImportaGrupos", importArgs("CLIENTE", {{"WC3", "903"}}));
    });
    // Long enough for the import to reach its check, had it not waited for the other writer.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    other->commit();
    const RpcResult r = pending.get();
    EXPECT_EQ(r.errorCode, kInvalid);
    EXPECT_EQ(r.errorMessage, QStringLiteral("Linha 1: grupo fiscal 903 não cadastrado."));
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations);
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC3'"), "902");
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM CLIENTE c WHERE c.CDGRUPOFISC IS NOT NULL AND NOT EXISTS"
                            " (SELECT 1 FROM GRUPOFISCAL g WHERE g.CDGRUPOFISC = c.CDGRUPOFISC)"),
              0);
}

// Lines past a few hundred KiB reach the methods still encoded and are read as a stream:
// the same counts, the same line numbers, the same refusals.
TEST_P(Import, ALargePacketIsCheckedAndAppliedLikeASmallOne)
{
    Env env(GetParam());
    constexpr int kRepeats = 60000;
    Lines lines(kRepeats, {"WC1", "902"});
    lines.push_back({"WCX", "901"});
    const Simulated s = simulate(env, importArgs("CLIENTE", lines));
    EXPECT_EQ(s.lines, kRepeats + 1);
    EXPECT_EQ(s.toChange, 1);
    EXPECT_EQ(s.same, kRepeats - 1);
    EXPECT_EQ(s.reasons, (std::vector<std::pair<std::int64_t, QString>>{
                             {kRepeats + 1, QStringLiteral("Cliente WCX não cadastrado.")}}));

    const std::string before = snapshot(*env.db);
    const RpcResult refused = env.call(kCadAutParGrpFis, "ImportaGrupos", importArgs("CLIENTE", lines));
    EXPECT_EQ(refused.errorCode, kInvalid);
    EXPECT_EQ(refused.errorMessage, QStringLiteral("Linha %1: cliente WCX não cadastrado.").arg(kRepeats + 1));
    EXPECT_EQ(snapshot(*env.db), before);

    QCborMap noGroup = linesPacket(lines);
    noGroup[QStringLiteral("fields")] = QCborArray{noGroup.value(QStringLiteral("fields")).toArray().at(0)};
    QCborArray keysOnly;
    for (int i = 0; i < kRepeats; ++i)
        keysOnly.append(QCborArray{QStringLiteral("WC1")});
    noGroup[QStringLiteral("rows")] = keysOnly;
    QCborArray args = strings({"CLIENTE", "", "", ""});
    args.append(noGroup);
    const RpcResult wrong = env.call(kCadAutParGrpFis, "ImportaGrupos", args);
    EXPECT_EQ(wrong.errorCode, kInvalid);
    EXPECT_TRUE(wrong.errorMessage.contains(QStringLiteral("CHAVE e CDGRUPOFISC"))) << wrong.errorMessage.toStdString();

    lines.pop_back();
    const Imported done = import(env, importArgs("CLIENTE", lines));
    ASSERT_TRUE(done.operation);
    EXPECT_EQ(done.changed, 1);
    EXPECT_EQ(env.value("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'"), "902");
    // The operation names the lines by their count.
    EXPECT_EQ(env.value("SELECT DSARGUMENTOS FROM HISTOPERACAO WHERE IDOPERACAO = " + done.operation->toStdString()),
              "[\"CLIENTE\",\"\",\"\",\"\"," + std::to_string(kRepeats) + "]");
    undo(env, *done.operation);
    EXPECT_EQ(snapshot(*env.db), before);
}

INSTANTIATE_TEST_SUITE_P(Writes, Import, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
