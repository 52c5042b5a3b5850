// Text reaches the database exactly as sent. A NUL byte anywhere in the arguments is refused
// before any database work (PostgreSQL would cut the text there and find another record), and
// a leading U+FEFF is part of the text (never dropped, so never another code). Every string
// argument, selection key and change-set value of every method, in both encodings.

#include "writesupport.h"

#include <algorithm>
#include <set>

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

constexpr int kInvalid = -32602, kConflict = -32001, kNotFound = -32002;
const QChar kBom(0xFEFF);

enum class Spoil { Nul, Bom, BomAlone };

QString spoiled(const QString &v, Spoil s)
{
    switch (s) {
    case Spoil::Nul:
        // In place of the last character: the text keeps its width, so only the NUL is wrong.
        return v.isEmpty() ? QString(QChar(0)) : v.chopped(1) + QChar(0);
    case Spoil::Bom:
        return kBom + v;
    case Spoil::BomAlone:
        break;
    }
    return QString(kBom);
}

const char *spoilName(Spoil s) { return s == Spoil::Nul ? "NUL" : s == Spoil::Bom ? "U+FEFF first" : "U+FEFF alone"; }

// A selection "'k1','k2'" with its first key spoiled.
QString spoiledFirstKey(const QString &selection, Spoil s)
{
    const qsizetype close = selection.indexOf(u'\'', 1);
    return QLatin1Char('\'') + spoiled(selection.mid(1, close - 1), s) + selection.mid(close);
}

QCborArray args(std::initializer_list<QCborValue> list) { return QCborArray(list); }

struct MethodCall {
    std::string object;
    const char *method;
    QCborArray args;
    std::set<int> unused;      // arguments the method ignores: any text goes
    std::set<int> selections;  // "'k1',..." lists: their keys are spoiled too
};

// Reads answer an unknown code with an empty packet; writes with an error.
const std::vector<MethodCall> kReads = {
    {kParamGrupFiscal, "GetGrupoFiscal", args({"901"}), {}, {}},
    {kParamGrupFiscal, "GetGrupoFiscal", args({""}), {}, {}},
    {kCadAutParGrpFis, "GetGrupoFiscal", args({"901"}), {}, {}},
    {kParamGrupFiscal, "GetImpFili", args({"91"}), {}, {}},
    {kParamGrupFiscal, "GetFornInsc", args({"91", "91", "IE-A"}), {}, {}},
    {kParamGrupFiscal, "GetCliInsc", args({"91", "91", "IE-A"}), {}, {}},
    {kParamGrupFiscal, "GetFornInscGrup", args({"91", "91", "IE-A", "'901','902'"}), {}, {3}},
    {kParamGrupFiscal, "GetCliInscGrup", args({"91", "91", "IE-A", "'901','902'"}), {}, {3}},
};

const std::vector<MethodCall> kWrites = {
    {kParamGrupFiscal, "SetUpdateTipoFatur", args({"902", "W01"}), {}, {}},
    {kParamGrupFiscal, "SetUpdateTipoFatur", args({"", "W01"}), {}, {}},
    {kCadAutParGrpFis, "CadastroAutomatico", args({"CLIENTE", "902", "", "T", "", "", ""}), {2}, {}},
    {kCadAutParGrpFis, "CadastroAutomatico", args({"GRFISIMPIECLIE", "903", "", "V", "91", "91", "IE-A"}), {2}, {}},
    {kCadAutParGrpFis, "CadAutoImpInscEsta",
     args({"91", "", "L", "'91IE-A','91IE-B'", "L", "'WC1','WC2'", "L", "'WF1'", "903", "T"}), {1}, {3, 5, 7}},
    {kParamGrupFiscal, "Replica", args({"91", "91", "IE-A", "'901','902'", "92", "'IE-C'", true, false}), {}, {3, 5}},
    {kParamGrupFiscal, "Replica", args({"91", "91", "IE-A", "T", "91", "T", false, true}), {}, {}},
};

// One update per saving method, every field filled in, from the seeded group to another.
struct SaveCase {
    const char *method;
    Values oldRow, newRow;
    std::set<QString> codes;   // the fields that name a record or a group
};

Values with(Values row, const QString &field, const QString &value)
{
    row[field] = value;
    return row;
}

std::vector<SaveCase> saveCases()
{
    const auto q = [](const char *s) { return V(QString::fromUtf8(s)); };
    std::vector<SaveCase> out;
    const auto add = [&](const char *method, Values row, const char *groupField, const char *from, const char *to,
                         std::set<QString> keys) {
        // Whatever the field list holds beyond the given values is a derived field: text.
        for (const auto &[name, size] : fieldsOf().at(method))
            if (!row.count(name))
                row[name] = QString(QLatin1Char('x')).repeated(std::min(size, 5));
        keys.insert(QString::fromUtf8(groupField));
        out.push_back({method, with(row, QString::fromUtf8(groupField), QString::fromUtf8(from)),
                       with(row, QString::fromUtf8(groupField), QString::fromUtf8(to)), keys});
    };
    add("SetFornecedor", {{"CDFORNECED", q("WF1")}}, "CDGRUPOFISC", "901", "902", {"CDFORNECED"});
    add("SetCliente", {{"CDCLIENTE", q("WC1")}}, "CDGRUPOFISC", "901", "902", {"CDCLIENTE"});
    add("SetFilial", {{"CDFILIAL", q("W001")}}, "CDGRUPOFISC", "901", "902", {"CDFILIAL"});
    add("SetTipoOperac", {{"CDTIPOOPER", q("W1")}}, "CDGRUPOFISC", "901", "902", {"CDTIPOOPER"});
    add("SetTipoFatur", {{"CDTIPOFATUR", q("W01")}}, "CDGRUPOFISC", "901", "902", {"CDTIPOFATUR"});
    add("setTipoGest", {{"CDTPFATURFIS", q("WG001")}}, "CDGRUPOFISC", "901", "902", {"CDTPFATURFIS"});
    add("SetImpFili", {{"CDIMPOSTO", q("91")}, {"CDFILIAL", q("W001")}}, "CDGRUPOFISC", "901", "902",
        {"CDIMPOSTO", "CDFILIAL"});
    const Values registration{{"CDIMPOSTO", q("91")}, {"CDEMPRESA", q("91")}, {"CDINSCESTA", q("IE-A")}};
    add("SetFornInsc", with(registration, "CDFORNECED", "WF1"), "CDGRUPOFISC", "901", "902",
        {"CDIMPOSTO", "CDEMPRESA", "CDINSCESTA", "CDFORNECED"});
    add("SetCliInsc", with(registration, "CDCLIENTE", "WC1"), "CDGRUPOFISC", "901", "902",
        {"CDIMPOSTO", "CDEMPRESA", "CDINSCESTA", "CDCLIENTE"});
    add("SetOperInter", {{"CDPARGERAL", q("OPIN")}}, "DSPARGERFIS", "003", "901", {"CDPARGERAL"});
    return out;
}

QCborValue changeSet(const SaveCase &c, const Values &oldRow, const Values &newRow)
{
    ChangeSetBuilder b(c.method);
    b.update(oldRow, newRow);
    return c.method == std::string("setTipoGest") ? b.buildWhole({newRow}) : b.build();
}

// The first line of the dump that differs, to say what was written.
std::string firstDifference(const std::string &before, const std::string &after)
{
    std::size_t at = 0;
    while (at < before.size() && at < after.size() && before[at] == after[at])
        ++at;
    const std::size_t line = before.rfind('\n', at) + 1;
    return "before: " + before.substr(line, before.find('\n', at) - line) + "\nafter:  "
        + after.substr(line, after.find('\n', at) - line);
}

class TextFaults : public ::testing::TestWithParam<Backend> {};

TEST_P(TextFaults, NulAndByteOrderMarkNeverReachAnotherRecord)
{
    Env env(GetParam());
    const std::string before = snapshot(*env.db);
    const auto expectUntouched = [&](const RpcResult &r, bool read, Spoil s) {
        if (s == Spoil::Nul) {
            EXPECT_EQ(r.errorCode, kInvalid) << r.errorMessage.toStdString();
        } else if (read && r.ok()) {
            EXPECT_EQ(Packet::from(r.result).rows.size(), 0) << "a code with U+FEFF found rows";
        } else {
            const std::set<int> refused{kInvalid, kNotFound, kConflict};
            EXPECT_TRUE(refused.count(r.errorCode)) << r.errorCode << " " << r.errorMessage.toStdString();
        }
        const std::string after = snapshot(*env.db);
        EXPECT_TRUE(after == before) << firstDifference(before, after);
    };

    for (Encoding enc : {Encoding::Cbor, Encoding::Json}) {
        SCOPED_TRACE(enc == Encoding::Cbor ? "CBOR" : "JSON");
        for (const auto *list : {&kReads, &kWrites}) {
            const bool read = list == &kReads;
            for (const MethodCall &m : *list) {
                for (int i = 0; i < m.args.size(); ++i) {
                    if (!m.args.at(i).isString())
                        continue;
                    const QString arg = m.args.at(i).toString();
                    for (Spoil s : {Spoil::Nul, Spoil::Bom, Spoil::BomAlone}) {
                        if (s != Spoil::Nul && m.unused.count(i))
                            continue;
                        std::vector<QString> variants{spoiled(arg, s)};
                        if (m.selections.count(i) && arg != QLatin1String("T") && s != Spoil::BomAlone)
                            variants.push_back(spoiledFirstKey(arg, s));
                        for (const QString &v : variants) {
                            SCOPED_TRACE(std::string(m.method) + " argument " + std::to_string(i + 1) + ", "
                                         + spoilName(s) + ": " + v.toStdString());
                            QCborArray a = m.args;
                            a[i] = v;
                            expectUntouched(env.call(m.object, m.method, a, enc), read, s);
                        }
                    }
                }
            }
        }

        for (const SaveCase &c : saveCases()) {
            for (const auto &[field, size] : fieldsOf().at(c.method)) {
                for (bool inOld : {true, false}) {
                    for (Spoil s : {Spoil::Nul, Spoil::Bom, Spoil::BomAlone}) {
                        // U+FEFF in a derived field is just text the server ignores.
                        if (s != Spoil::Nul && !c.codes.count(field))
                            continue;
                        SCOPED_TRACE(std::string(c.method) + (inOld ? " old " : " new ") + field.toStdString()
                                     + ", " + spoilName(s));
                        Values oldRow = c.oldRow, newRow = c.newRow;
                        Values &row = inOld ? oldRow : newRow;
                        row[field] = spoiled(row[field].value_or(QString()), s);
                        expectUntouched(env.save(c.method, changeSet(c, oldRow, newRow), enc), false, s);
                    }
                }
            }
        }
    }

    // A NUL in the rows that setTipoGest receives beside its changes, which it otherwise ignores.
    const std::vector<SaveCase> cases = saveCases();
    const SaveCase &gest = *std::find_if(cases.begin(), cases.end(),
                                         [](const SaveCase &c) { return c.method == std::string("setTipoGest"); });
    ChangeSetBuilder b(gest.method);
    b.update(gest.oldRow, gest.newRow);
    expectUntouched(env.save(gest.method, b.buildWhole({with(gest.newRow, "NOME", QStringLiteral("a") + QChar(0))})),
                    false, Spoil::Nul);

    // The untouched calls do their work: every case above was one character away from it.
    for (const MethodCall &m : kReads) {
        const RpcResult r = env.call(m.object, m.method, m.args);
        ASSERT_TRUE(r.ok()) << m.method << ": " << r.errorMessage.toStdString();
        EXPECT_GT(Packet::from(r.result).rows.size(), 0) << m.method;
    }
    for (const SaveCase &c : saveCases()) {
        const RpcResult r = env.save(c.method, changeSet(c, c.oldRow, c.newRow));
        EXPECT_TRUE(r.ok()) << c.method << ": " << r.errorMessage.toStdString();
    }
    for (const MethodCall &m : kWrites) {
        const RpcResult r = env.call(m.object, m.method, m.args);
        EXPECT_TRUE(r.ok()) << m.method << ": " << r.errorMessage.toStdString();
    }
    EXPECT_NE(snapshot(*env.db), before);
}

// The faults as they were found: each wrote to or read a record the caller did not name.
TEST_P(TextFaults, CodesAreMatchedExactlyAsSent)
{
    Env env(GetParam());
    const QString bom(kBom);
    const std::string before = snapshot(*env.db);

    const RpcResult groups = env.call(kParamGrupFiscal, "GetGrupoFiscal", args({bom}));
    ASSERT_TRUE(groups.ok()) << groups.errorMessage.toStdString();
    EXPECT_EQ(Packet::from(groups.result).rows.size(), 0);

    EXPECT_EQ(env.call(kParamGrupFiscal, "SetUpdateTipoFatur", args({bom, "W01"})).errorCode, kNotFound);
    const RpcResult cut = env.save("SetFornInsc", ChangeSetBuilder("SetFornInsc")
        .update({}, {{"CDIMPOSTO", QStringLiteral("91")}, {"CDEMPRESA", QStringLiteral("91")},
                     {"CDINSCESTA", QStringLiteral("IE-A")}, {"CDFORNECED", QStringLiteral("WF2") + QChar(0) + QStringLiteral("tail")},
                     {"CDGRUPOFISC", QStringLiteral("903")}})
        .build());
    EXPECT_EQ(cut.errorCode, kInvalid);
    EXPECT_TRUE(cut.errorMessage.contains(QStringLiteral("caractere nulo"))) << cut.errorMessage.toStdString();
    // A registrations list key is the company's two characters, then the registration.
    EXPECT_EQ(env.call(kCadAutParGrpFis, "CadAutoImpInscEsta",
                       args({"91", "", "L", QStringLiteral("'") + bom + QStringLiteral("91IE-A'"), "L", "'WC2'", "N", "",
                             "903", "T"}))
                  .errorCode,
              kNotFound);
    EXPECT_EQ(snapshot(*env.db), before);
}

INSTANTIATE_TEST_SUITE_P(Writes, TextFaults, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
