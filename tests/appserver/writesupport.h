#pragma once
// Shared by the write-method suites: a fresh demo database with a few records of our own
// (codes no demo row uses), a running server, change sets built field by field, and a
// snapshot of every table the write methods touch.

#include "testsupport.h"

#include <QCborArray>
#include <QCborMap>
#include <QString>

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fiscal::test::writes {

using V = std::optional<QString>;
inline const V null = std::nullopt;

// Records the suites work on. Groups 901..903, taxes 91/92, companies 91/92 with
// registrations IE-A, IE-B (91) and IE-C (92), suppliers WF1..WF3, clients WC1..WC3,
// branches W001/W002, operation type W1, billing type W01, management type WG001.
inline void seed(TestDb &db)
{
    const char *statements[] = {
        "INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('901', 'Grupo teste A'), ('902', 'Grupo teste B'), ('903', 'Grupo teste C')",
        "INSERT INTO IMPOSTO (CDIMPOSTO, NMIMPOSTO) VALUES ('91', 'Imposto teste A'), ('92', 'Imposto teste B')",
        "INSERT INTO EMPRESA (CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR) VALUES ('91', 'Empresa A', 'Empresa Teste A Ltda'), ('92', 'Empresa B', 'Empresa Teste B Ltda')",
        "INSERT INTO INSCRESTAD (CDEMPRESA, CDINSCESTA, SGESTADO) VALUES ('91', 'IE-A', 'SP'), ('91', 'IE-B', 'MG'), ('92', 'IE-C', 'RJ')",
        "INSERT INTO FORNECEDOR (CDFORNECED, NMRAZSOCFORN, CDGRUPOFISC) VALUES ('WF1', 'Fornecedor teste 1', '901'), ('WF2', 'Fornecedor teste 2', NULL), ('WF3', 'Fornecedor teste 3', '902')",
        "INSERT INTO CLIENTE (CDCLIENTE, NMRAZSOCCLIE, CDGRUPOFISC) VALUES ('WC1', 'Cliente teste 1', '901'), ('WC2', 'Cliente teste 2', NULL), ('WC3', 'Cliente teste 3', '902')",
        "INSERT INTO FILIAL (CDFILIAL, CDEMPRESA, NMFILIAL, CDGRUPOFISC) VALUES ('W001', '91', 'Filial teste 1', '901'), ('W002', '91', 'Filial teste 2', NULL)",
        "INSERT INTO TIPOOPERAC (CDTIPOOPER, NMTIPOOPER, IDENTRSAIDOP, CDGRUPOFISC) VALUES ('W1', 'Operação teste', 'E', '901')",
        "INSERT INTO TIPOFATUR (CDTIPOFATUR, CDGRUPOFISC) VALUES ('W01', '901')",
        "INSERT INTO PARAMFILIAL (CDFILIAL, CDTIPOFATUR, CDGRUPOFISC) VALUES ('W001', 'W01', '901'), ('W002', 'W01', NULL)",
        "INSERT INTO TPFATURFIS (CDTPFATURFIS, NMTPFATURFIS, CDGRUPOFISC) VALUES ('WG001', 'Gestão teste', '901')",
        "INSERT INTO GRFISCIMPOSFILI (CDIMPOSTO, CDFILIAL, CDGRUPOFISC) VALUES ('91', 'W001', '901')",
        "INSERT INTO GRFISIMPIEFORN (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC) VALUES ('91', '91', 'IE-A', 'WF1', '901'), ('91', '91', 'IE-B', 'WF2', '902')",
        "INSERT INTO GRFISIMPIECLIE (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDCLIENTE, CDGRUPOFISC) VALUES ('91', '91', 'IE-A', 'WC1', '901'), ('91', '91', 'IE-B', 'WC2', '902')",
    };
    for (const char *sql : statements)
        db.exec(sql);
}

// `count` more suppliers, K0000001 up, for the bulk operations that must take their time.
inline void seedSuppliers(TestDb &db, int count)
{
    if (db.backend() == Backend::Postgres)
        db.exec("INSERT INTO FORNECEDOR (CDFORNECED, NMRAZSOCFORN) SELECT 'K' || lpad(i::text, 7, '0'), "
                "'Fornecedor em massa' FROM generate_series(1, " + std::to_string(count) + ") AS i");
    else
        db.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count)
                + ") INSERT INTO FORNECEDOR (CDFORNECED, NMRAZSOCFORN) SELECT 'K' || printf('%07d', i), "
                  "'Fornecedor em massa' FROM n");
}

// One seeded database and server per test (writes change the data).
struct Env {
    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;

    explicit Env(Backend b)
    {
        db = TestDb::create(b);
        seed(*db);
        server = std::make_unique<ServerProcess>(db->url());
    }
    RpcResult call(const std::string &object, const std::string &method, const QCborArray &params,
                   Encoding enc = Encoding::Cbor) const
    {
        return rpcCall(server->port(), object, method, params, enc);
    }
    RpcResult save(const std::string &method, const QCborValue &changes, Encoding enc = Encoding::Cbor) const
    {
        return call(kParamGrupFiscal, method, QCborArray{changes}, enc);
    }
    std::optional<std::string> value(const std::string &sql, const TestDb::Row &params = {}) const
    {
        return db->scalar(sql, params);
    }
};

// The fields each saving method's data set sends, as the client defines them.
using FieldList = std::vector<std::pair<QString, int>>;
inline const std::map<std::string, FieldList> &fieldsOf()
{
    static const std::map<std::string, FieldList> f{
        {"SetFornecedor", {{"NRINSJURFORN", 20}, {"CDFORNECED", 21}, {"NOME", 40}, {"CDGRUPOFISC", 3}, {"IDTPIJURFORN", 1}, {"DSGRUPOFISC", 30}}},
        {"SetCliente", {{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21}, {"NOME", 50}, {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}}},
        {"SetFilial", {{"CDFILIAL", 4}, {"NOME", 30}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}}},
        {"SetTipoOperac", {{"CDTIPOOPER", 2}, {"IDENTRSAIDOP", 1}, {"NOME", 30}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}}},
        {"SetTipoFatur", {{"CDTIPOFATUR", 3}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"NOME", 3}}},
        {"SetOperInter", {{"CDPARGERAL", 4}, {"DSPARGERFIS", 3}}},
        {"setTipoGest", {{"NMTPFATURFIS", 58}, {"NOME", 50}, {"CDTPFATURFIS", 5}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}}},
        {"SetImpFili", {{"CDIMPOSTO", 2}, {"CDFILIAL", 4}, {"NOME", 30}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}}},
        {"SetFornInsc", {{"CDFORNECED", 21}, {"NOME", 40}, {"NRINSJURFORN", 20}, {"IDTPIJURFORN", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16}}},
        {"SetCliInsc", {{"CDCLIENTE", 21}, {"NOME", 50}, {"NRINSJURCLIE", 20}, {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}, {"CDIMPOSTO", 2}, {"CDEMPRESA", 2}, {"CDINSCESTA", 16}}},
    };
    return f;
}

// A row given by field name; fields not named are null.
using Values = std::map<QString, V>;

inline QCborValue cborOf(const V &v) { return v ? QCborValue(*v) : QCborValue(nullptr); }

class ChangeSetBuilder {
public:
    explicit ChangeSetBuilder(std::string method) : m_fields(fieldsOf().at(method)) {}

    ChangeSetBuilder &update(const Values &oldRow, const Values &newRow)
    {
        m_changes.append(QCborMap{{QStringLiteral("op"), QStringLiteral("update")},
                                  {QStringLiteral("old"), row(oldRow)}, {QStringLiteral("new"), row(newRow)}});
        return *this;
    }
    ChangeSetBuilder &remove(const Values &oldRow)
    {
        m_changes.append(QCborMap{{QStringLiteral("op"), QStringLiteral("delete")}, {QStringLiteral("old"), row(oldRow)}});
        return *this;
    }
    ChangeSetBuilder &insert(const Values &newRow)
    {
        m_changes.append(QCborMap{{QStringLiteral("op"), QStringLiteral("insert")}, {QStringLiteral("new"), row(newRow)}});
        return *this;
    }
    QCborArray fields() const
    {
        QCborArray a;
        for (const auto &[name, size] : m_fields)
            a.append(QCborMap{{QStringLiteral("name"), name}, {QStringLiteral("size"), size},
                              {QStringLiteral("type"), QStringLiteral("string")}, {QStringLiteral("required"), false}});
        return a;
    }
    QCborArray row(const Values &values) const
    {
        QCborArray r;
        for (const auto &[name, size] : m_fields) {
            auto it = values.find(name);
            r.append(it == values.end() ? QCborValue(nullptr) : cborOf(it->second));
        }
        return r;
    }
    QCborValue build() const
    {
        return QCborMap{{QStringLiteral("fields"), fields()}, {QStringLiteral("changes"), m_changes}};
    }
    // The whole packet with its change log, as setTipoGest receives it.
    QCborValue buildWhole(const std::vector<Values> &rows) const
    {
        QCborArray r;
        for (const Values &v : rows)
            r.append(row(v));
        return QCborMap{{QStringLiteral("fields"), fields()}, {QStringLiteral("rows"), r},
                        {QStringLiteral("changes"), m_changes}};
    }
    qsizetype size() const { return m_changes.size(); }

private:
    FieldList m_fields;
    QCborArray m_changes;
};

inline QCborArray strings(std::initializer_list<const char *> list)
{
    QCborArray a;
    for (const char *s : list)
        a.append(QString::fromUtf8(s));
    return a;
}

// Every row of every table the write methods may touch, in key order: two equal
// snapshots mean nothing was written.
inline std::string snapshot(const TestDb &db)
{
    static const char *queries[] = {
        "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR ORDER BY CDFORNECED",
        "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE ORDER BY CDCLIENTE",
        "SELECT CDFILIAL, CDGRUPOFISC FROM FILIAL ORDER BY CDFILIAL",
        "SELECT CDTIPOOPER, CDGRUPOFISC FROM TIPOOPERAC ORDER BY CDTIPOOPER",
        "SELECT CDTIPOFATUR, CDGRUPOFISC FROM TIPOFATUR ORDER BY CDTIPOFATUR",
        "SELECT CDFILIAL, CDTIPOFATUR, CDGRUPOFISC FROM PARAMFILIAL ORDER BY CDFILIAL, CDTIPOFATUR",
        "SELECT CDPARGERAL, DSPARGERFIS FROM PARAMGERAL ORDER BY CDPARGERAL",
        "SELECT CDTPFATURFIS, CDGRUPOFISC FROM TPFATURFIS ORDER BY CDTPFATURFIS",
        "SELECT CDIMPOSTO, CDFILIAL, CDGRUPOFISC FROM GRFISCIMPOSFILI ORDER BY CDIMPOSTO, CDFILIAL",
        "SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC FROM GRFISIMPIEFORN ORDER BY CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED",
        "SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDCLIENTE, CDGRUPOFISC FROM GRFISIMPIECLIE ORDER BY CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDCLIENTE",
        "SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC",
    };
    std::string out;
    for (const char *sql : queries) {
        out += sql;
        out += '\n';
        for (const auto &row : db.query(sql)) {
            for (const auto &v : row)
                out += v ? *v + '|' : std::string("<null>|");
            out += '\n';
        }
    }
    return out;
}

inline std::string str(const std::optional<std::string> &v) { return v ? *v : "<null>"; }

} // namespace fiscal::test::writes
