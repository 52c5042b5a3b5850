// GetSituacaoEm over real HTTP: after saves, bulk calls, a replication and an undo, each
// tab's table at every moment between them is the table as it stood then; moments are
// ordered to the millisecond whatever form they come in; a moment the history cannot
// answer is refused with the time from which it can.

#include "historysupport.h"

#include <QDateTime>

#include <thread>

using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace fiscal::test::history;

namespace {

std::string nowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

// A tab's table and the filters the screen sends with it.
struct Grid {
    const char *table;
    std::vector<const char *> filters;   // tax, company, registration: as many as the table takes
};

const std::vector<Grid> kGrids{
    {"FORNECEDOR", {}},  {"CLIENTE", {}},     {"FILIAL", {}},      {"TIPOOPERAC", {}},
    {"TIPOFATUR", {}},   {"PARAMFILIAL", {}}, {"PARAMGERAL", {}},  {"TPFATURFIS", {}},
    {"GRFISCIMPOSFILI", {"91"}},               {"GRFISIMPIEFORN", {"91", "91", "IE-A"}},
    {"GRFISIMPIEFORN", {"91", "91", "IE-B"}}, {"GRFISIMPIECLIE", {"91", "91", "IE-A"}},
};

QCborArray situationArgs(const Grid &g, const std::string &moment)
{
    QCborArray a{QString::fromLatin1(g.table)};
    for (std::size_t i = 0; i < 3; ++i)
        a.append(i < g.filters.size() ? QString::fromLatin1(g.filters[i]) : QString());
    a.append(QString::fromStdString(moment));
    return a;
}

// A table's records as a key -> group map; the parameter tables' records are only those
// with a row (a group), in the rows the filters select.
using Groups = std::map<std::vector<std::string>, std::optional<std::string>>;

bool isParameter(const Grid &g) { return !g.filters.empty(); }

Groups fromSnapshot(const State &s, const Grid &g)
{
    Groups out;
    for (const auto &[key, group] : s) {
        if (key.first != g.table)
            continue;
        if (!std::equal(g.filters.begin(), g.filters.end(), key.second.begin()))
            continue;
        if (isParameter(g) && !group)
            continue;
        out[key.second] = group;
    }
    return out;
}

// The packet's rows keyed as the history keys the table, with one of its group columns.
Groups fromPacket(const Packet &p, const Grid &g, const char *groupField)
{
    const Recorded &t = *std::find_if(recordedTables().begin(), recordedTables().end(),
                                      [&](const Recorded &r) { return r.table == std::string(g.table); });
    std::vector<int> keyColumns;
    for (const char *k : t.keys)
        keyColumns.push_back(p.column(QString::fromLatin1(k)));
    const int group = p.column(QString::fromLatin1(groupField));
    Groups out;
    for (const auto &row : p.rows) {
        std::vector<std::string> key;
        for (int c : keyColumns)
            key.push_back(c < 0 ? "<no column>" : row[c].value_or(QString()).toStdString());
        std::optional<std::string> value;
        if (row[group])
            value = row[group]->toStdString();
        if (isParameter(g) && !value)
            continue;
        out[key] = value;
    }
    return out;
}

class Situation : public ::testing::TestWithParam<Backend> {};

TEST_P(Situation, EveryTableAtEveryMomentIsTheTableAsItStoodThen)
{
    Env env(GetParam());
    seedSuppliers(*env.db, 1200);   // enough for an operation whose items stay out of the record index
    struct Step {
        const char *what;
        std::function<RpcResult()> run;
    };
    const std::vector<Step> steps{
        {"a client saved", [&] {
             return env.save("SetCliente", ChangeSetBuilder("SetCliente")
                                               .update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "901"}},
                                                       {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "902"}})
                                               .build());
         }},
        {"every supplier given a group (bulk)",
         [&] { return env.call(kCadAutParGrpFis, "CadastroAutomatico", strings({"FORNECEDOR", "902", "", "T", "", "", ""})); }},
        {"every client given a group for a registration",
         [&] {
             return env.call(kCadAutParGrpFis, "CadAutoImpInscEsta",
                             strings({"91", "", "L", "'91IE-A'", "T", "", "N", "", "903", "T"}));
         }},
        {"suppliers replicated to another registration",
         [&] { return env.call(kParamGrupFiscal, "Replica", QCborArray{"91", "91", "IE-A", "T", "91", "'IE-B'", true, false}); }},
        {"the bulk operation undone",
         [&] {
             const std::string id = *env.db->scalar("SELECT MAX(IDOPERACAO) FROM HISTOPERACAO WHERE FLLOTE = 'S'");
             return env.call(kHistorico, "DesfazOperacao", {QString::fromStdString(id)});
         }},
        {"a supplier saved after the undo", [&] {
             return env.save("SetFornecedor", ChangeSetBuilder("SetFornecedor")
                                                  .update({{"CDFORNECED", "K0000001"}, {"CDGRUPOFISC", null}},
                                                          {{"CDFORNECED", "K0000001"}, {"CDGRUPOFISC", "901"}})
                                                  .build());
         }},
        {"a tax per branch inserted", [&] {
             return env.save("SetImpFili", ChangeSetBuilder("SetImpFili")
                                               .insert({{"CDIMPOSTO", "91"}, {"CDFILIAL", "W002"}, {"CDGRUPOFISC", "902"}})
                                               .build());
         }},
    };
    // The moment before the first step, then the one after each: the state and the last
    // operation of every record then.
    std::vector<std::string> moments{nowUtc()};
    std::vector<State> states{state(*env.db)};
    std::vector<std::string> operations;
    for (const Step &s : steps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const RpcResult r = s.run();
        ASSERT_TRUE(r.ok()) << s.what << ": " << r.errorMessage.toStdString();
        operations.push_back(*lastOperation(*env.db));
        ASSERT_NE(state(*env.db), states.back()) << s.what;
        states.push_back(state(*env.db));
        moments.push_back(nowUtc());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO WHERE FLLOTE = 'S'"), 2) << "the bulk call and its undo";

    for (std::size_t i = 1; i < moments.size(); ++i) {
        SCOPED_TRACE("after: " + std::string(steps[i - 1].what) + " (" + moments[i] + ")");
        for (const Grid &g : kGrids) {
            SCOPED_TRACE(std::string(g.table) + (g.filters.empty() ? "" : std::string(" ") + g.filters.back()));
            const RpcResult r = env.call(kHistorico, "GetSituacaoEm", situationArgs(g, moments[i]));
            ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
            const Packet p = Packet::from(r.result);
            EXPECT_EQ(fromPacket(p, g, "CDGRUPOEM"), fromSnapshot(states[i], g));
            EXPECT_EQ(fromPacket(p, g, "CDGRUPOATUAL"), fromSnapshot(states.back(), g));
            // The operation shown is the last one, up to then, whose step changed the record.
            const int idColumn = p.column(QStringLiteral("IDOPERACAO"));
            for (const auto &row : p.rows) {
                const Groups one = fromPacket(Packet{p.fields, {row}}, g, "CDGRUPOEM");
                if (one.empty())
                    continue;
                const auto key = std::make_pair(std::string(g.table), one.begin()->first);
                std::optional<std::string> expected;
                for (std::size_t k = 1; k <= i; ++k) {
                    const auto a = states[k - 1].find(key), b = states[k].find(key);
                    const auto value = [](const State &s, State::const_iterator it) {
                        return it == s.end() ? std::optional<std::string>() : it->second;
                    };
                    if (value(states[k - 1], a) != value(states[k], b))
                        expected = operations[k - 1];
                }
                const std::optional<QString> shown = row[idColumn];
                EXPECT_EQ(shown ? std::optional(shown->toStdString()) : std::nullopt, expected)
                    << "record " << one.begin()->first.back();
            }
        }
    }

    // Before the first operation the history cannot tell: refused, saying from when it can.
    const RpcResult early = env.call(kHistorico, "GetSituacaoEm", situationArgs(kGrids[1], moments[0]));
    EXPECT_EQ(early.errorCode, -32602);
    const std::string first = *env.db->scalar("SELECT MIN(DTOPERACAO) FROM HISTOPERACAO");
    EXPECT_NE(early.errorMessage.toStdString().find(first), std::string::npos) << early.errorMessage.toStdString();
    EXPECT_EQ(early.errorData.toMap().value(QStringLiteral("completoDesde")).toString().toStdString(), first);

    // An operation numbered later but stamped earlier (its call waited for a lock) is no
    // history from before the first one kept: what came before that one may be pruned.
    const std::string lowest = *env.db->scalar("SELECT MIN(IDOPERACAO) FROM HISTOPERACAO");
    const std::string lowestTime = *env.db->scalar("SELECT DTOPERACAO FROM HISTOPERACAO WHERE IDOPERACAO = " + lowest);
    env.db->exec("UPDATE HISTOPERACAO SET DTOPERACAO = '2000-01-01T00:00:00.000Z' WHERE IDOPERACAO ="
                 " (SELECT MIN(IDOPERACAO) FROM HISTOPERACAO WHERE IDOPERACAO > " + lowest + ")");
    const RpcResult between = env.call(kHistorico, "GetSituacaoEm", situationArgs(kGrids[1], "2010-01-01T00:00:00.000Z"));
    EXPECT_EQ(between.errorCode, -32602);
    EXPECT_EQ(between.errorData.toMap().value(QStringLiteral("completoDesde")).toString().toStdString(), lowestTime);
}

// Operations a fraction of a second apart, asked for with moments in every form ISO 8601
// allows: the moment is compared as the instant it names, to the millisecond.
TEST_P(Situation, MomentsAreOrderedToTheMillisecondInAnyForm)
{
    Env env(GetParam());
    const char *ops[][5] = {
        {"1", "2026-01-01T09:00:00.000Z", "WC3", "902", "901"},
        {"2", "2026-01-01T10:00:00.100Z", "WC1", "901", "902"},
        {"3", "2026-01-01T10:00:00.900Z", "WC1", "902", "903"},
    };
    for (const auto &o : ops) {
        env.db->exec("INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
                     " QTINCLUIDOS, QTEXCLUIDOS) VALUES ($1, $2, 'ana', 'SetCliente', '[1]', 1, 0, 0)", {o[0], o[1]});
        env.db->exec("INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT,"
                     " CDGRUPONOVO, IDACAO) VALUES ($1, 'CLIENTE', $2, '', '', '', $3, $4, 'A')", {o[0], o[2], o[3], o[4]});
        env.db->exec("UPDATE CLIENTE SET CDGRUPOFISC = $1 WHERE CDCLIENTE = $2", {o[4], o[2]});
    }
    struct Case {
        const char *moment;
        const char *group;       // WC1's
        const char *operation;   // the last one before it that changed WC1
    };
    const std::vector<Case> cases{
        {"2026-01-01T09:00:00Z", "901", nullptr},        // the first operation's own instant
        {"2026-01-01T10:00:00Z", "901", nullptr},        // the same second, before .100
        {"2026-01-01T10:00:00.0999Z", "901", nullptr},   // digits past the millisecond cut, not rounded
        {"2026-01-01T10:00:00.100Z", "902", "2"},
        {"2026-01-01T10:00:00,5Z", "902", "2"},
        {"2026-01-01T07:00:00.950-03:00", "903", "3"},
        {"2026-01-01T11:00+01:00", "901", nullptr},      // no seconds: 10:00:00.000 UTC
        {"2026-01-01T10:00:01Z", "903", "3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.moment);
        const RpcResult r = env.call(kHistorico, "GetSituacaoEm", strings({"CLIENTE", "", "", "", c.moment}));
        ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
        const Packet p = Packet::from(r.result);
        const int key = p.column(QStringLiteral("CDCLIENTE"));
        const auto row = std::find_if(p.rows.begin(), p.rows.end(), [&](const auto &row) { return row[key] == QStringLiteral("WC1"); });
        ASSERT_NE(row, p.rows.end());
        EXPECT_EQ((*row)[p.column(QStringLiteral("CDGRUPOEM"))], QString::fromLatin1(c.group));
        EXPECT_EQ((*row)[p.column(QStringLiteral("CDGRUPOATUAL"))], QStringLiteral("903"));
        EXPECT_EQ((*row)[p.column(QStringLiteral("IDOPERACAO"))],
                  c.operation ? std::optional(QString::fromLatin1(c.operation)) : std::nullopt);
    }
}

TEST_P(Situation, WhatCannotBeAnsweredIsRefused)
{
    Env env(GetParam());
    ASSERT_TRUE(env.call(kCadAutParGrpFis, "CadastroAutomatico", strings({"CLIENTE", "902", "", "T", "", "", ""})).ok());
    struct Case {
        const char *what;
        QCborArray args;
    };
    const std::vector<Case> cases{
        {"no time zone", strings({"CLIENTE", "", "", "", "2026-03-15T14:30:00"})},
        {"a space for the T", strings({"CLIENTE", "", "", "", "2026-03-15 14:30:00Z"})},
        {"not a date", strings({"CLIENTE", "", "", "", "ontem"})},
        {"month 13", strings({"CLIENTE", "", "", "", "2026-13-01T00:00:00Z"})},
        {"hour 24", strings({"CLIENTE", "", "", "", "2026-03-15T24:00:00Z"})},
        {"the future", strings({"CLIENTE", "", "", "", "2999-01-01T00:00:00Z"})},
        {"a table without history", strings({"GRUPOFISCAL", "", "", "", "2026-03-15T14:30:00Z"})},
        {"a tax for a table without one", strings({"CLIENTE", "91", "", "", "2026-03-15T14:30:00Z"})},
        {"a number for the moment", QCborArray{"CLIENTE", "", "", "", 20260315}},
        {"four arguments", strings({"CLIENTE", "", "", ""})},
    };
    for (const Case &c : cases) {
        const RpcResult r = env.call(kHistorico, "GetSituacaoEm", c.args);
        EXPECT_EQ(r.errorCode, -32602) << c.what;
        EXPECT_FALSE(r.errorMessage.isEmpty()) << c.what;
    }
    // A future moment's refusal carries the server's time, for a desktop whose clock runs ahead.
    const RpcResult future = env.call(kHistorico, "GetSituacaoEm", strings({"CLIENTE", "", "", "", "2999-01-01T00:00:00Z"}));
    const QString serverNow = future.errorData.toMap().value(QStringLiteral("agoraServidor")).toString();
    EXPECT_TRUE(serverNow.startsWith(QString::fromStdString(nowUtc()).left(10))) << serverNow.toStdString();
    // A parameter table without its filters is the empty grid, as the tab shows it.
    const RpcResult empty = env.call(kHistorico, "GetSituacaoEm", strings({"GRFISIMPIECLIE", "91", "", "", nowUtc().c_str()}));
    ASSERT_TRUE(empty.ok()) << empty.errorMessage.toStdString();
    EXPECT_TRUE(Packet::from(empty.result).rows.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backends, Situation, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
