// The grids' saving methods over real HTTP: every entity and parameter table walks through
// the same script of saves, stale saves and bad values, checked with direct SQL.

#include "writesupport.h"

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

enum class Op { Update, Delete, Insert };

constexpr int kOk = 0, kInvalid = -32602, kConflict = -32001, kNotFound = -32002;

// ---- entity tables ----------------------------------------------------------------------

struct EntityCase {
    const char *method;
    const char *table;
    const char *keyField;
    const char *key;          // seeded with group 901
    const char *unknown;      // a code no record has
    Values derived;           // other fields the row carries (never stored)
};

const EntityCase kEntities[] = {
    {"SetFornecedor", "FORNECEDOR", "CDFORNECED", "WF1", "NOPE", {{"NOME", QStringLiteral("Fornecedor teste 1")}, {"IDTPIJURFORN", QStringLiteral("J")}}},
    {"SetCliente", "CLIENTE", "CDCLIENTE", "WC1", "NOPE", {{"NOME", QStringLiteral("Cliente teste 1")}, {"NMFANTCLIE", QStringLiteral("Fantasia")}}},
    {"SetFilial", "FILIAL", "CDFILIAL", "W001", "ZZZZ", {{"NOME", QStringLiteral("Filial teste 1")}}},
    {"SetTipoOperac", "TIPOOPERAC", "CDTIPOOPER", "W1", "ZZ", {{"NOME", QStringLiteral("Operação teste")}, {"IDENTRSAIDOP", QStringLiteral("E")}}},
    {"SetTipoFatur", "TIPOFATUR", "CDTIPOFATUR", "W01", "ZZZ", {{"NOME", QStringLiteral("W01")}}},
    {"setTipoGest", "TPFATURFIS", "CDTPFATURFIS", "WG001", "NOPE", {{"NMTPFATURFIS", QStringLiteral("WG001 - Gestão teste")}, {"NOME", QStringLiteral("Gestão teste")}}},
};

struct EntityStep {
    const char *what;
    Op op;
    V oldGroup, newGroup;
    int code;                 // expected error code, 0 = success
    V stored;                 // the record's group afterwards
};

// Starts from group 901; each step sees the state the previous one left.
const EntityStep kEntityScript[] = {
    {"change 901 to 902", Op::Update, QStringLiteral("901"), QStringLiteral("902"), kOk, QStringLiteral("902")},
    {"stale original value", Op::Update, QStringLiteral("901"), QStringLiteral("903"), kConflict, QStringLiteral("902")},
    {"only derived fields change", Op::Update, QStringLiteral("902"), QStringLiteral("902"), kOk, QStringLiteral("902")},
    {"empty string clears", Op::Update, QStringLiteral("902"), QStringLiteral(""), kOk, null},
    {"unknown group", Op::Update, null, QStringLiteral("999"), kNotFound, null},
    {"group too long", Op::Update, null, QStringLiteral("9011"), kInvalid, null},
    {"set from none", Op::Update, null, QStringLiteral("903"), kOk, QStringLiteral("903")},
    {"delete clears the group", Op::Delete, QStringLiteral("903"), null, kOk, null},
    {"stale delete", Op::Delete, QStringLiteral("901"), null, kConflict, null},
    {"insert refused", Op::Insert, null, QStringLiteral("901"), kInvalid, null},
};

struct EntityParam {
    Backend backend;
    EntityCase entity;
};

std::vector<EntityParam> entityParams()
{
    std::vector<EntityParam> out;
    for (Backend b : backendsUnderTest())
        for (const EntityCase &e : kEntities)
            out.push_back({b, e});
    return out;
}

void PrintTo(const EntityParam &p, std::ostream *os) { *os << backendName(p.backend) << '/' << p.entity.method; }

class EntitySave : public ::testing::TestWithParam<EntityParam> {};

QCborValue entityChange(const EntityCase &e, Op op, const V &oldGroup, const V &newGroup,
                        const char *key = nullptr)
{
    ChangeSetBuilder b(e.method);
    Values oldRow = e.derived, newRow = e.derived;
    oldRow[e.keyField] = newRow[e.keyField] = QString::fromUtf8(key ? key : e.key);
    oldRow["CDGRUPOFISC"] = oldGroup;
    oldRow["DSGRUPOFISC"] = oldGroup ? V(QStringLiteral("Descrição antiga")) : null;
    newRow["CDGRUPOFISC"] = newGroup;
    newRow["DSGRUPOFISC"] = newGroup ? V(QStringLiteral("Descrição nova")) : null;
    if (op == Op::Update)
        b.update(oldRow, newRow);
    else if (op == Op::Delete)
        b.remove(oldRow);
    else
        b.insert(newRow);
    return std::string(e.method) == "setTipoGest" ? b.buildWhole({newRow}) : b.build();
}

TEST_P(EntitySave, FollowsTheScript)
{
    const EntityCase &e = GetParam().entity;
    Env env(GetParam().backend);
    const std::string groupSql = std::string("SELECT CDGRUPOFISC FROM ") + e.table + " WHERE " + e.keyField + " = $1";
    const std::string others = std::string("SELECT COUNT(*) FROM ") + e.table + " WHERE " + e.keyField
        + " <> $1 AND CDGRUPOFISC IS NOT NULL";
    const std::int64_t othersBefore = env.db->count(others, {e.key});

    for (const EntityStep &s : kEntityScript) {
        SCOPED_TRACE(s.what);
        const RpcResult r = env.save(e.method, entityChange(e, s.op, s.oldGroup, s.newGroup));
        EXPECT_EQ(r.errorCode, s.code) << r.errorMessage.toStdString();
        if (s.code == kConflict) {
            EXPECT_TRUE(r.errorMessage.contains(QStringLiteral("foi alterado por outro usuário"))) << r.errorMessage.toStdString();
            EXPECT_TRUE(r.errorMessage.contains(QString::fromUtf8(e.key))) << r.errorMessage.toStdString();
        }
        if (s.code != kOk) {
            EXPECT_FALSE(r.errorMessage.isEmpty());
        }
        EXPECT_EQ(env.value(groupSql, {e.key}), s.stored ? std::optional<std::string>(s.stored->toStdString()) : std::nullopt);
    }
    // The record itself is never deleted, and no other record was touched.
    EXPECT_EQ(env.db->count(std::string("SELECT COUNT(*) FROM ") + e.table + " WHERE " + e.keyField + " = $1", {e.key}), 1);
    EXPECT_EQ(env.db->count(others, {e.key}), othersBefore);

    const RpcResult unknown = env.save(e.method, entityChange(e, Op::Update, null, QStringLiteral("901"), e.unknown));
    EXPECT_EQ(unknown.errorCode, kNotFound);
    EXPECT_TRUE(unknown.errorMessage.contains(QString::fromUtf8(e.unknown))) << unknown.errorMessage.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Writes, EntitySave, ::testing::ValuesIn(entityParams()),
                         [](const ::testing::TestParamInfo<EntityParam> &i) {
                             return backendName(i.param.backend) + "_" + i.param.entity.method;
                         });

// ---- parameter tables -------------------------------------------------------------------

struct ParamCase {
    const char *method;
    const char *table;
    Values key;               // a key with no parameter row yet
    Values unknownKey;        // a key part that does not exist (patched over `key`)
    Values foreignKey;        // a key part that exists but does not fit (patched over `key`)
};

const ParamCase kParams[] = {
    {"SetImpFili", "GRFISCIMPOSFILI",
     {{"CDIMPOSTO", QStringLiteral("91")}, {"CDFILIAL", QStringLiteral("W002")}},
     {{"CDFILIAL", QStringLiteral("ZZZZ")}}, {{"CDIMPOSTO", QStringLiteral("99")}}},
    {"SetFornInsc", "GRFISIMPIEFORN",
     {{"CDIMPOSTO", QStringLiteral("91")}, {"CDEMPRESA", QStringLiteral("91")}, {"CDINSCESTA", QStringLiteral("IE-A")}, {"CDFORNECED", QStringLiteral("WF2")}},
     {{"CDFORNECED", QStringLiteral("NOPE")}}, {{"CDINSCESTA", QStringLiteral("IE-C")}}},
    {"SetCliInsc", "GRFISIMPIECLIE",
     {{"CDIMPOSTO", QStringLiteral("91")}, {"CDEMPRESA", QStringLiteral("91")}, {"CDINSCESTA", QStringLiteral("IE-A")}, {"CDCLIENTE", QStringLiteral("WC2")}},
     {{"CDCLIENTE", QStringLiteral("NOPE")}}, {{"CDINSCESTA", QStringLiteral("IE-C")}}},
};

enum class KeyPatch { None, Unknown, Foreign, BlankTax };

struct ParamStep {
    const char *what;
    Op op;
    V oldGroup, newGroup;
    KeyPatch patch;
    int code;
    V stored;                 // null = no parameter row
};

// The old row's key fields are blank, as a row loaded without a parameter has them.
const ParamStep kParamScript[] = {
    {"a group where there was none inserts", Op::Update, null, QStringLiteral("901"), KeyPatch::None, kOk, QStringLiteral("901")},
    {"the same again is stale", Op::Update, null, QStringLiteral("902"), KeyPatch::None, kConflict, QStringLiteral("901")},
    {"change the group", Op::Update, QStringLiteral("901"), QStringLiteral("902"), KeyPatch::None, kOk, QStringLiteral("902")},
    {"stale change", Op::Update, QStringLiteral("901"), QStringLiteral("903"), KeyPatch::None, kConflict, QStringLiteral("902")},
    {"clearing deletes the row", Op::Update, QStringLiteral("902"), null, KeyPatch::None, kOk, null},
    {"stale clear", Op::Update, QStringLiteral("902"), null, KeyPatch::None, kConflict, null},
    {"incomplete key", Op::Update, null, QStringLiteral("901"), KeyPatch::BlankTax, kInvalid, null},
    {"unknown key", Op::Update, null, QStringLiteral("901"), KeyPatch::Unknown, kNotFound, null},
    {"key that does not fit", Op::Update, null, QStringLiteral("901"), KeyPatch::Foreign, kNotFound, null},
    {"unknown group", Op::Update, null, QStringLiteral("999"), KeyPatch::None, kNotFound, null},
    {"nothing to store", Op::Update, null, null, KeyPatch::None, kOk, null},
    {"insert op", Op::Insert, null, QStringLiteral("903"), KeyPatch::None, kOk, QStringLiteral("903")},
    {"delete op", Op::Delete, QStringLiteral("903"), null, KeyPatch::None, kOk, null},
    {"delete of a row without group", Op::Delete, null, null, KeyPatch::None, kOk, null},
};

struct ParamParam {
    Backend backend;
    ParamCase table;
};

std::vector<ParamParam> paramParams()
{
    std::vector<ParamParam> out;
    for (Backend b : backendsUnderTest())
        for (const ParamCase &p : kParams)
            out.push_back({b, p});
    return out;
}

void PrintTo(const ParamParam &p, std::ostream *os) { *os << backendName(p.backend) << '/' << p.table.method; }

class ParameterSave : public ::testing::TestWithParam<ParamParam> {};

TEST_P(ParameterSave, FollowsTheScript)
{
    const ParamCase &p = GetParam().table;
    Env env(GetParam().backend);
    std::string where;
    TestDb::Row keyValues;
    for (const auto &[name, value] : p.key) {
        where += (where.empty() ? "" : " AND ") + name.toStdString() + " = $" + std::to_string(keyValues.size() + 1);
        keyValues.push_back(value->toStdString());
    }
    const std::string groupSql = std::string("SELECT CDGRUPOFISC FROM ") + p.table + " WHERE " + where;
    const std::string countAll = std::string("SELECT COUNT(*) FROM ") + p.table;
    const std::int64_t rowsBefore = env.db->count(countAll);

    for (const ParamStep &s : kParamScript) {
        SCOPED_TRACE(s.what);
        ChangeSetBuilder b(p.method);
        Values oldRow{{"NOME", QStringLiteral("Nome")}}, newRow = oldRow;
        for (const auto &[name, value] : p.key) {
            newRow[name] = value;
            // A loaded row without parameter carries the record's own code only.
            const bool recordCode = name == "CDFILIAL" || name == "CDFORNECED" || name == "CDCLIENTE";
            oldRow[name] = s.oldGroup || recordCode || s.op == Op::Delete ? value : null;
        }
        const Values &patch = s.patch == KeyPatch::Unknown ? p.unknownKey
            : s.patch == KeyPatch::Foreign ? p.foreignKey : Values{};
        for (const auto &[name, value] : patch)
            newRow[name] = oldRow[name] = value;
        if (s.patch == KeyPatch::BlankTax)
            newRow["CDIMPOSTO"] = QStringLiteral("");
        oldRow["CDGRUPOFISC"] = s.oldGroup;
        newRow["CDGRUPOFISC"] = s.newGroup;
        if (s.op == Op::Update)
            b.update(oldRow, newRow);
        else if (s.op == Op::Delete)
            b.remove(oldRow);
        else
            b.insert(newRow);

        const RpcResult r = env.save(p.method, b.build());
        EXPECT_EQ(r.errorCode, s.code) << r.errorMessage.toStdString();
        if (s.code == kConflict) {
            EXPECT_TRUE(r.errorMessage.contains(QStringLiteral("foi alterado por outro usuário"))) << r.errorMessage.toStdString();
        }
        EXPECT_EQ(env.value(groupSql, keyValues), s.stored ? std::optional<std::string>(s.stored->toStdString()) : std::nullopt);
        EXPECT_EQ(env.db->count(countAll), rowsBefore + (s.stored ? 1 : 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Writes, ParameterSave, ::testing::ValuesIn(paramParams()),
                         [](const ::testing::TestParamInfo<ParamParam> &i) {
                             return backendName(i.param.backend) + "_" + i.param.table.method;
                         });

// ---- interstate parameter and billing-type propagation ------------------------------------

class WriteMisc : public ::testing::TestWithParam<Backend> {};

TEST_P(WriteMisc, InterstateParameter)
{
    Env env(GetParam());
    env.db->exec("DELETE FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
    const std::string stored = "SELECT COALESCE(DSPARGERFIS, '') FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'";
    struct Step {
        const char *what;
        Op op;
        V code;              // CDPARGERAL sent
        V oldGroup, newGroup;
        int expect;
        std::optional<std::string> after;   // stored group ("" = none), nullopt = no row
    };
    const Step steps[] = {
        {"a new row arrives without its code", Op::Insert, null, null, QStringLiteral("901"), kOk, "901"},
        {"a second insert finds the row", Op::Insert, null, null, QStringLiteral("902"), kConflict, "901"},
        {"change", Op::Update, QStringLiteral("OPIN"), QStringLiteral("901"), QStringLiteral("902"), kOk, "902"},
        {"stale change", Op::Update, QStringLiteral("OPIN"), QStringLiteral("901"), QStringLiteral("903"), kConflict, "902"},
        {"cleared box sends an empty string", Op::Update, QStringLiteral("OPIN"), QStringLiteral("902"), QStringLiteral(""), kOk, ""},
        {"unknown group", Op::Update, QStringLiteral("OPIN"), QStringLiteral(""), QStringLiteral("999"), kNotFound, ""},
        {"another parameter", Op::Update, QStringLiteral("XXXX"), QStringLiteral(""), QStringLiteral("901"), kInvalid, ""},
        {"set again", Op::Update, QStringLiteral("OPIN"), null, QStringLiteral("903"), kOk, "903"},
        {"delete clears but keeps the row", Op::Delete, QStringLiteral("OPIN"), QStringLiteral("903"), null, kOk, ""},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        ChangeSetBuilder b("SetOperInter");
        const Values oldRow{{"CDPARGERAL", s.code}, {"DSPARGERFIS", s.oldGroup}};
        const Values newRow{{"CDPARGERAL", s.code}, {"DSPARGERFIS", s.newGroup}};
        if (s.op == Op::Insert)
            b.insert(newRow);
        else if (s.op == Op::Delete)
            b.remove(oldRow);
        else
            b.update(oldRow, newRow);
        const RpcResult r = env.save("SetOperInter", b.build(), Encoding::Json);
        EXPECT_EQ(r.errorCode, s.expect) << r.errorMessage.toStdString();
        EXPECT_EQ(env.value(stored), s.after);
    }
}

TEST_P(WriteMisc, BillingTypeIsCheckedFirstAndSavedWithItsBranchCopies)
{
    Env env(GetParam());
    const std::string before = snapshot(*env.db);
    // SetUpdateTipoFatur only checks what the post is about to send; it writes nothing.
    const struct {
        const char *what;
        QCborArray args;
        int expect;
    } checks[] = {
        {"known group", strings({"902", "W01"}), kOk},
        {"empty group", strings({"", "W01"}), kOk},
        {"unknown group", strings({"999", "W01"}), kNotFound},
        {"unknown billing type", strings({"901", "ZZZ"}), kNotFound},
        {"billing type missing", strings({"901", ""}), kInvalid},
        {"group too long", strings({"9021", "W01"}), kInvalid},
        {"one argument", strings({"901"}), kInvalid},
    };
    for (const auto &c : checks) {
        SCOPED_TRACE(c.what);
        const RpcResult r = env.call(kParamGrupFiscal, "SetUpdateTipoFatur", c.args);
        EXPECT_EQ(r.errorCode, c.expect) << r.errorMessage.toStdString();
        EXPECT_EQ(snapshot(*env.db), before);
    }

    // SetTipoFatur writes the billing type and every branch's copy of it; a deletion clears
    // the billing type alone.
    const std::string own = "SELECT CDGRUPOFISC FROM TIPOFATUR WHERE CDTIPOFATUR = 'W01'";
    const std::string copies = "SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = 'W01' AND CDGRUPOFISC = $1";
    const std::string uncopied = "SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = 'W01' AND CDGRUPOFISC IS NULL";
    const std::string others = "SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR <> 'W01'";
    const std::int64_t otherRows = env.db->count(others);
    const Values w01{{"CDTIPOFATUR", QStringLiteral("W01")}};
    const auto with = [&](const V &group) { Values v = w01; v["CDGRUPOFISC"] = group; return v; };
    const struct {
        const char *what;
        QCborValue changes;
        std::optional<std::string> group;   // TIPOFATUR afterwards
        std::int64_t with902, without;      // branch copies afterwards
    } saves[] = {
        {"set", ChangeSetBuilder("SetTipoFatur").update(with(QStringLiteral("901")), with(QStringLiteral("902"))).build(),
         "902", 2, 0},
        {"cleared", ChangeSetBuilder("SetTipoFatur").update(with(QStringLiteral("902")), with(null)).build(),
         std::nullopt, 0, 2},
        {"set again", ChangeSetBuilder("SetTipoFatur").update(with(null), with(QStringLiteral("902"))).build(),
         "902", 2, 0},
        {"deleted", ChangeSetBuilder("SetTipoFatur").remove(with(QStringLiteral("902"))).build(),
         std::nullopt, 2, 0},
    };
    for (const auto &s : saves) {
        SCOPED_TRACE(s.what);
        const RpcResult r = env.save("SetTipoFatur", s.changes);
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        EXPECT_EQ(env.value(own), s.group);
        EXPECT_EQ(env.db->count(copies, {"902"}), s.with902);
        EXPECT_EQ(env.db->count(uncopied), s.without);
        EXPECT_EQ(env.db->count(others), otherRows);
    }
}

TEST_P(WriteMisc, MalformedChangeSetsAreRefused)
{
    Env env(GetParam());
    const std::string before = snapshot(*env.db);
    const Values wc1{{"CDCLIENTE", QStringLiteral("WC1")}, {"CDGRUPOFISC", QStringLiteral("901")}};
    const Values wc1to902{{"CDCLIENTE", QStringLiteral("WC1")}, {"CDGRUPOFISC", QStringLiteral("902")}};

    QCborMap noKeyField = ChangeSetBuilder("SetFilial").update({}, {}).build().toMap();
    QCborArray fields = noKeyField.value(QStringLiteral("fields")).toArray();
    fields.removeAt(0);   // CDFILIAL
    noKeyField.insert(QStringLiteral("fields"), fields);
    QCborMap changedKey = ChangeSetBuilder("SetCliente")
        .update(wc1, {{"CDCLIENTE", QStringLiteral("WC2")}, {"CDGRUPOFISC", QStringLiteral("902")}}).build().toMap();

    const struct {
        const char *what;
        const char *method;
        QCborValue value;
    } cases[] = {
        {"not a change set", "SetCliente", QCborValue(QStringLiteral("abc"))},
        {"the same record twice", "SetCliente", ChangeSetBuilder("SetCliente").update(wc1, wc1to902).update(wc1, wc1to902).build()},
        {"key field missing", "SetFilial", noKeyField},
        {"key changed", "SetCliente", changedKey},
        {"key longer than its column", "SetCliente",
         ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", QString(22, u'1')}}, {{"CDCLIENTE", QString(22, u'1')}, {"CDGRUPOFISC", QStringLiteral("901")}}).build()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const RpcResult r = env.save(c.method, c.value);
        EXPECT_EQ(r.errorCode, kInvalid) << r.errorMessage.toStdString();
        EXPECT_FALSE(r.errorMessage.isEmpty());
    }
    EXPECT_EQ(env.call(kParamGrupFiscal, "SetCliente", {}).errorCode, kInvalid);
    EXPECT_EQ(snapshot(*env.db), before);
}

INSTANTIATE_TEST_SUITE_P(Writes, WriteMisc, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
