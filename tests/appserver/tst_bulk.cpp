// Automatic registration (both kinds) and replication over real HTTP, checked with SQL.

#include "writesupport.h"

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

constexpr int kOk = 0, kInvalid = -32602, kNotFound = -32002;

struct Check {
    const char *sql;          // a COUNT(*) query
    std::int64_t expected;
};

struct BulkStep {
    const char *what;
    const char *method;       // on whichever object holds it
    QCborArray args;
    int code;
    std::vector<Check> checks;
    std::int64_t result = -1; // Replica's integer, when >= 0
};

const std::string &objectOf(const std::string &method)
{
    return method == "Replica" ? kParamGrupFiscal : kCadAutParGrpFis;
}

void runScript(Env &env, const std::vector<BulkStep> &steps)
{
    for (const BulkStep &s : steps) {
        SCOPED_TRACE(s.what);
        const std::string before = snapshot(*env.db);
        const RpcResult r = env.call(objectOf(s.method), s.method, s.args);
        EXPECT_EQ(r.errorCode, s.code) << r.errorMessage.toStdString();
        if (s.code != kOk) {
            EXPECT_FALSE(r.errorMessage.isEmpty());
            EXPECT_EQ(snapshot(*env.db), before) << "a refused call wrote something";
        } else if (s.result >= 0) {
            EXPECT_EQ(r.result.toInteger(-1), s.result);
        }
        for (const Check &c : s.checks)
            EXPECT_EQ(env.db->count(c.sql), c.expected) << c.sql;
    }
}

QCborArray cadastro(const char *entity, const char *group, const char *mode, const char *tax = "",
                    const char *company = "", const char *registration = "")
{
    return strings({entity, group, "", mode, tax, company, registration});
}

class Bulk : public ::testing::TestWithParam<Backend> {};

// ---- CadastroAutomatico over the entity tables ----------------------------------------------

struct EntityTable {
    const char *entity;
    std::vector<std::string> tables;   // tables whose CDGRUPOFISC the entity sets
    const char *probe;                 // a row seeded with 901: "TABLE WHERE ..."
};

const EntityTable kEntityTables[] = {
    {"FORNECEDOR", {"FORNECEDOR"}, "FORNECEDOR WHERE CDFORNECED = 'WF1'"},
    {"CLIENTE", {"CLIENTE"}, "CLIENTE WHERE CDCLIENTE = 'WC1'"},
    {"FILIAL", {"FILIAL"}, "FILIAL WHERE CDFILIAL = 'W001'"},
    {"TIPOOPERAC", {"TIPOOPERAC"}, "TIPOOPERAC WHERE CDTIPOOPER = 'W1'"},
    {"TPFATURFIS", {"TPFATURFIS"}, "TPFATURFIS WHERE CDTPFATURFIS = 'WG001'"},
    {"PARAMFILIAL", {"TIPOFATUR", "PARAMFILIAL"}, "PARAMFILIAL WHERE CDFILIAL = 'W001' AND CDTIPOFATUR = 'W01'"},
};

TEST_P(Bulk, CadastroAutomaticoOnEntities)
{
    Env env(GetParam());
    for (const EntityTable &e : kEntityTables) {
        SCOPED_TRACE(e.entity);
        std::vector<std::string> sql;   // kept alive for the Check pointers
        const auto count = [&](const std::string &s) { sql.push_back("SELECT COUNT(*) FROM " + s); return sql.back().c_str(); };
        sql.reserve(32);
        std::vector<Check> afterV, afterT, afterL;
        for (const std::string &t : e.tables) {
            if (t == e.tables.front())   // a copy follows its record, below
                afterV.push_back({count(t + " WHERE CDGRUPOFISC IS NULL"), 0});
            afterT.push_back({count(t + " WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '902'"), 0});
            afterL.push_back({count(t + " WHERE CDGRUPOFISC IS NOT NULL"), 0});
        }
        afterV.push_back({count(std::string(e.probe) + " AND CDGRUPOFISC = '901'"), 1});
        afterL.push_back({count(e.probe), 1});   // cleared, never deleted
        runScript(env, {
            {"only records without a group", "CadastroAutomatico", cadastro(e.entity, "903", "V"), kOk, afterV},
            {"every record", "CadastroAutomatico", cadastro(e.entity, "902", "T"), kOk, afterT},
            {"clear", "CadastroAutomatico", cadastro(e.entity, "", "L"), kOk, afterL},
        });
    }
    // The tables of other entities were not touched by any of this.
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDGRUPOFISC = '902' AND CDINSCESTA = 'IE-B'"), 1);
}

// Each branch's copy of a billing type keeps the type's group: "only records without a group"
// reaches the copies of the types without one (whatever the copies held), and no other copy.
TEST_P(Bulk, CadastroAutomaticoKeepsTheBillingTypesCopiesWithTheirType)
{
    Env env(GetParam());
    env.db->exec("INSERT INTO TIPOFATUR (CDTIPOFATUR, CDGRUPOFISC) VALUES ('W02', NULL)");
    env.db->exec("INSERT INTO PARAMFILIAL (CDFILIAL, CDTIPOFATUR, CDGRUPOFISC) VALUES ('W001', 'W02', NULL), "
                 "('W002', 'W02', '902')");
    const Check disagreeing{"SELECT COUNT(*) FROM PARAMFILIAL p JOIN TIPOFATUR t ON t.CDTIPOFATUR = p.CDTIPOFATUR "
                            "WHERE p.CDGRUPOFISC <> t.CDGRUPOFISC",
                            0};
    runScript(env, {
        {"only records without a group", "CadastroAutomatico", cadastro("PARAMFILIAL", "903", "V"), kOk,
         {disagreeing,
          {"SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = 'W02' AND CDGRUPOFISC = '903'", 2},
          {"SELECT COUNT(*) FROM TIPOFATUR WHERE CDTIPOFATUR = 'W02' AND CDGRUPOFISC = '903'", 1},
          // The copy of a type that has a group is not this call's to fill.
          {"SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = 'W01' AND CDFILIAL = 'W002' AND CDGRUPOFISC IS NULL", 1}}},
        {"every record", "CadastroAutomatico", cadastro("PARAMFILIAL", "902", "T"), kOk,
         {disagreeing, {"SELECT COUNT(*) FROM PARAMFILIAL WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '902'", 0}}},
    });
}

TEST_P(Bulk, CadastroAutomaticoOnParameterTables)
{
    Env env(GetParam());
    const std::int64_t branches = env.db->count("SELECT COUNT(*) FROM FILIAL");
    const std::int64_t suppliers = env.db->count("SELECT COUNT(*) FROM FORNECEDOR");
    const std::int64_t otherTaxes = env.db->count("SELECT COUNT(*) FROM GRFISCIMPOSFILI WHERE CDIMPOSTO <> '91'");
    const char *branchRows = "SELECT COUNT(*) FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '91'";
    const char *ieA = "SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' AND CDEMPRESA = '91' AND CDINSCESTA = 'IE-A'";
    const char *ieB = "SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-B'";
    runScript(env, {
        {"branches without a row get one", "CadastroAutomatico", cadastro("GRFISCIMPOSFILI", "903", "V", "91"), kOk,
         {{branchRows, branches},
          {"SELECT COUNT(*) FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '91' AND CDFILIAL = 'W001' AND CDGRUPOFISC = '901'", 1}}},
        {"every branch", "CadastroAutomatico", cadastro("GRFISCIMPOSFILI", "902", "T", "91"), kOk,
         {{"SELECT COUNT(*) FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '91' AND CDGRUPOFISC = '902'", branches}}},
        {"clear one tax", "CadastroAutomatico", cadastro("GRFISCIMPOSFILI", "", "L", "91"), kOk,
         {{branchRows, 0}, {"SELECT COUNT(*) FROM GRFISCIMPOSFILI WHERE CDIMPOSTO <> '91'", otherTaxes}}},
        {"suppliers without a row", "CadastroAutomatico", cadastro("GRFISIMPIEFORN", "903", "V", "91", "91", "IE-A"), kOk,
         {{ieA, suppliers}, {"SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-A' AND CDFORNECED = 'WF1' AND CDGRUPOFISC = '901'", 1}}},
        {"every supplier", "CadastroAutomatico", cadastro("GRFISIMPIEFORN", "902", "T", "91", "91", "IE-A"), kOk,
         {{"SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-A' AND CDGRUPOFISC = '902'", suppliers}, {ieB, 1}}},
    });
    env.db->exec("UPDATE GRFISIMPIEFORN SET CDGRUPOFISC = '901' WHERE CDINSCESTA = 'IE-A' AND CDFORNECED = 'WF1'");
    runScript(env, {
        {"clear only one group", "CadastroAutomatico", cadastro("GRFISIMPIEFORN", "902", "L", "91", "91", "IE-A"), kOk,
         {{ieA, 1}, {ieB, 1}}},
        {"clear all groups", "CadastroAutomatico", cadastro("GRFISIMPIEFORN", "", "L", "91", "91", "IE-A"), kOk,
         {{ieA, 0}, {ieB, 1}}},
        {"clients too", "CadastroAutomatico", cadastro("GRFISIMPIECLIE", "903", "T", "91", "92", "IE-C"), kOk,
         {{"SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-C' AND CDGRUPOFISC = '903'",
           env.db->count("SELECT COUNT(*) FROM CLIENTE")}}},
    });
}

TEST_P(Bulk, CadastroAutomaticoRefusesBadArguments)
{
    Env env(GetParam());
    runScript(env, {
        {"unknown entity", "CadastroAutomatico", cadastro("XPTO", "901", "T"), kInvalid, {}},
        {"unknown mode", "CadastroAutomatico", cadastro("CLIENTE", "901", "X"), kInvalid, {}},
        {"group missing", "CadastroAutomatico", cadastro("CLIENTE", "", "T"), kInvalid, {}},
        {"group unknown", "CadastroAutomatico", cadastro("CLIENTE", "999", "V"), kNotFound, {}},
        {"group with clear on an entity", "CadastroAutomatico", cadastro("CLIENTE", "901", "L"), kInvalid, {}},
        {"tax where none applies", "CadastroAutomatico", cadastro("CLIENTE", "901", "T", "91"), kInvalid, {}},
        {"tax missing: never all taxes", "CadastroAutomatico", cadastro("GRFISCIMPOSFILI", "", "L"), kInvalid, {}},
        {"tax unknown", "CadastroAutomatico", cadastro("GRFISCIMPOSFILI", "901", "T", "99"), kNotFound, {}},
        {"registration missing", "CadastroAutomatico", cadastro("GRFISIMPIEFORN", "", "L", "91", "91"), kInvalid, {}},
        {"registration of another company", "CadastroAutomatico", cadastro("GRFISIMPIEFORN", "901", "T", "91", "91", "IE-C"), kNotFound, {}},
        {"company unknown", "CadastroAutomatico", cadastro("GRFISIMPIECLIE", "901", "T", "91", "99", "IE-A"), kNotFound, {}},
        {"six arguments", "CadastroAutomatico", strings({"CLIENTE", "901", "", "T", "", ""}), kInvalid, {}},
    });
}

// ---- CadAutoImpInscEsta ---------------------------------------------------------------------

QCborArray inscEsta(const char *tax, const char *regChoice, const char *regs, const char *cliChoice,
                    const char *clients, const char *fornChoice, const char *suppliers, const char *group,
                    const char *mode)
{
    return strings({tax, "", regChoice, regs, cliChoice, clients, fornChoice, suppliers, group, mode});
}

TEST_P(Bulk, CadAutoImpInscEsta)
{
    Env env(GetParam());
    const std::int64_t clients = env.db->count("SELECT COUNT(*) FROM CLIENTE");
    const std::int64_t suppliers = env.db->count("SELECT COUNT(*) FROM FORNECEDOR");
    const auto clie = [](const char *reg, const char *who, const char *group) {
        return "SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDIMPOSTO = '91' AND CDINSCESTA = '" + std::string(reg)
            + "' AND CDCLIENTE = '" + who + "' AND CDGRUPOFISC = '" + group + "'";
    };
    const std::vector<std::string> q{
        clie("IE-A", "WC2", "903"), clie("IE-A", "WC3", "903"), clie("IE-A", "WC1", "901"),
        "SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDIMPOSTO = '91' AND CDINSCESTA = 'IE-A'",
        clie("IE-B", "WC2", "902"),
        "SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDCLIENTE = 'WC2' AND CDGRUPOFISC = '903'",
        "SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' AND CDINSCESTA IN ('IE-A', 'IE-B') AND CDGRUPOFISC = '901'",
        "SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDINSCESTA = 'IE-C'",
    };
    runScript(env, {
        {"listed clients, one registration", "CadAutoImpInscEsta",
         inscEsta("91", "L", "'91IE-A'", "L", "'WC2','WC3'", "N", "", "903", "T"), kOk,
         {{q[0].c_str(), 1}, {q[1].c_str(), 1}, {q[2].c_str(), 1}}},
        {"only empty ones; a list beside T is ignored", "CadAutoImpInscEsta",
         inscEsta("91", "L", "'91IE-A'", "T", "not a list", "N", "", "902", "V"), kOk,
         {{q[0].c_str(), 1}, {q[2].c_str(), 1}, {q[3].c_str(), clients}}},
        {"clear one client's group everywhere", "CadAutoImpInscEsta",
         inscEsta("91", "T", "", "L", "'WC2'", "N", "", "903", "E"), kOk,
         {{q[0].c_str(), 0}, {q[4].c_str(), 1}, {q[5].c_str(), 0}}},
        {"every supplier on two registrations", "CadAutoImpInscEsta",
         inscEsta("91", "L", "'91IE-A','91IE-B'", "N", "", "T", "", "901", "T"), kOk,
         {{q[6].c_str(), 2 * suppliers}, {q[7].c_str(), 0}}},
        {"tax missing", "CadAutoImpInscEsta", inscEsta("", "T", "", "T", "", "N", "", "901", "T"), kInvalid, {}},
        {"group unknown", "CadAutoImpInscEsta", inscEsta("91", "T", "", "T", "", "N", "", "999", "T"), kNotFound, {}},
        {"group required to clear", "CadAutoImpInscEsta", inscEsta("91", "T", "", "T", "", "N", "", "", "E"), kInvalid, {}},
        {"empty registration list", "CadAutoImpInscEsta", inscEsta("91", "L", "", "T", "", "N", "", "901", "T"), kInvalid, {}},
        {"registration key without company", "CadAutoImpInscEsta", inscEsta("91", "L", "'9'", "T", "", "N", "", "901", "T"), kInvalid, {}},
        {"registration unknown", "CadAutoImpInscEsta", inscEsta("91", "L", "'91IE-C'", "T", "", "N", "", "901", "T"), kNotFound, {}},
        {"client unknown", "CadAutoImpInscEsta", inscEsta("91", "T", "", "L", "'WC1','NOPE'", "N", "", "901", "T"), kNotFound, {}},
        {"supplier list malformed", "CadAutoImpInscEsta", inscEsta("91", "T", "", "N", "", "L", "WF1", "901", "T"), kInvalid, {}},
        {"nobody selected", "CadAutoImpInscEsta", inscEsta("91", "T", "", "N", "", "N", "", "901", "T"), kInvalid, {}},
        {"mode L is the other dialog's", "CadAutoImpInscEsta", inscEsta("91", "T", "", "T", "", "N", "", "901", "L"), kInvalid, {}},
        {"registrations choice N", "CadAutoImpInscEsta", inscEsta("91", "N", "", "T", "", "N", "", "901", "T"), kInvalid, {}},
    });
}

// ---- Replica ---------------------------------------------------------------------------------

QCborArray replica(const char *tax, const char *company, const char *registration, const char *groups,
                   const char *destCompany, const char *dest, bool suppliers, bool clients)
{
    QCborArray a = strings({tax, company, registration, groups, destCompany, dest});
    a.append(suppliers);
    a.append(clients);
    return a;
}

TEST_P(Bulk, Replica)
{
    Env env(GetParam());
    env.db->exec("INSERT INTO GRFISIMPIEFORN (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC) VALUES "
                 "('91', '91', 'IE-A', 'WF3', '902'), ('91', '92', 'IE-C', 'WF2', '903'), ('92', '92', 'IE-C', 'WF2', '903')");
    const auto rows = [&](const char *company, const char *reg) {
        std::string out;
        for (const auto &r : env.db->query("SELECT CDFORNECED, CDGRUPOFISC FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' "
                                           "AND CDEMPRESA = $1 AND CDINSCESTA = $2 ORDER BY CDFORNECED", {company, reg}))
            out += str(r[0]) + "=" + str(r[1]) + " ";
        return out;
    };
    runScript(env, {{"every group to every registration of 92", "Replica",
                     replica("91", "91", "IE-A", "T", "92", "T", true, false), kOk,
                     {{"SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '92'", 1}}, 2}});
    EXPECT_EQ(rows("92", "IE-C"), "WF1=901 WF3=902 ");   // WF2's row was replaced

    runScript(env, {{"one group to a listed registration", "Replica",
                     replica("91", "91", "IE-A", "'902'", "91", "'IE-B'", true, false), kOk, {}, 1}});
    EXPECT_EQ(rows("91", "IE-B"), "WF3=902 ");           // WF2 (902) erased, WF3 copied

    runScript(env, {{"the origin is also a destination", "Replica",
                     replica("91", "91", "IE-A", "T", "91", "T", true, false), kOk, {}, 4}});
    EXPECT_EQ(rows("91", "IE-A"), "WF1=901 WF3=902 ");
    EXPECT_EQ(rows("91", "IE-B"), "WF1=901 WF3=902 ");

    runScript(env, {
        {"clients", "Replica", replica("91", "91", "IE-A", "T", "92", "'IE-C'", false, true), kOk,
         {{"SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDINSCESTA = 'IE-C' AND CDCLIENTE = 'WC1' AND CDGRUPOFISC = '901'", 1}}, 1},
        {"an origin without rows changes nothing", "Replica", replica("92", "91", "IE-A", "T", "92", "T", true, false), kOk,
         {{"SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '92'", 1}}, 0},
        {"both kinds", "Replica", replica("91", "91", "IE-A", "T", "92", "T", true, true), kInvalid, {}},
        {"neither kind", "Replica", replica("91", "91", "IE-A", "T", "92", "T", false, false), kInvalid, {}},
        {"groups empty", "Replica", replica("91", "91", "IE-A", "", "92", "T", true, false), kInvalid, {}},
        {"group unknown", "Replica", replica("91", "91", "IE-A", "'901','999'", "92", "T", true, false), kNotFound, {}},
        {"destination of another company", "Replica", replica("91", "91", "IE-A", "T", "92", "'IE-A'", true, false), kNotFound, {}},
        {"destination X", "Replica", replica("91", "91", "IE-A", "T", "92", "X", true, false), kInvalid, {}},
        {"origin registration unknown", "Replica", replica("91", "91", "IE-Z", "T", "92", "T", true, false), kNotFound, {}},
        {"tax missing", "Replica", replica("", "91", "IE-A", "T", "92", "T", true, false), kInvalid, {}},
        {"destination company unknown", "Replica", replica("91", "91", "IE-A", "T", "99", "T", true, false), kNotFound, {}},
    });
}

INSTANTIATE_TEST_SUITE_P(Writes, Bulk, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
