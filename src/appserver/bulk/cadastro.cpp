// CadastroAutomatico: one fiscal group for every record of an entity, only for the records
// without one, or cleared from all of them.

#include "appserver/common/args.h"
#include "appserver/bulk/bulk.h"
#include "appserver/history/history.h"
#include "protocol/bulkcalls.h"
#include "appserver/common/checks.h"
#include "appserver/common/faults.h"
#include "appserver/common/text.h"

#include <array>
#include <utility>

namespace fiscal::appserver::bulk {

namespace {

enum class Needs { Nothing, Tax, Registration };

struct Entity {
    const char *code;
    Needs needs;
    std::vector<const char *> tables;    // entity tables whose CDGRUPOFISC is set
    const char *paramTable = nullptr;    // parameter table filled per branch/supplier/client
    const char *paramKey = nullptr;      // its per-record key column
    const char *source = nullptr;        // the table listing every record
    const char *copyKey = nullptr;       // tables after the first are copies of it, per this key
};

const std::vector<Entity> &entities()
{
    static const std::vector<Entity> list{
        {"FORNECEDOR", Needs::Nothing, {"FORNECEDOR"}},
        {"CLIENTE", Needs::Nothing, {"CLIENTE"}},
        {"FILIAL", Needs::Nothing, {"FILIAL"}},
        {"TIPOOPERAC", Needs::Nothing, {"TIPOOPERAC"}},
        {"TPFATURFIS", Needs::Nothing, {"TPFATURFIS"}},
        // Billing types: the type's own group and every branch's copy of it.
        {"PARAMFILIAL", Needs::Nothing, {"TIPOFATUR", "PARAMFILIAL"}, nullptr, nullptr, nullptr, "CDTIPOFATUR"},
        {"GRFISCIMPOSFILI", Needs::Tax, {}, "GRFISCIMPOSFILI", "CDFILIAL", "FILIAL"},
        {"GRFISIMPIEFORN", Needs::Registration, {}, "GRFISIMPIEFORN", "CDFORNECED", "FORNECEDOR"},
        {"GRFISIMPIECLIE", Needs::Registration, {}, "GRFISIMPIECLIE", "CDCLIENTE", "CLIENTE"},
    };
    return list;
}

const Entity &entityFor(const std::string &code)
{
    for (const Entity &e : entities())
        if (code == e.code)
            return e;
    invalid(QStringLiteral("Entidade desconhecida para o cadastramento automático: \"%1\".").arg(rpc::echoed(q(code))));
}

} // namespace

bool cadastroWritesOnlyTheGroup(const CadastroArgs &a)
{
    return entityFor(a.entity).paramTable == nullptr;
}

CadastroArgs readCadastroArgs(const QCborArray &params, const char *method)
{
    const auto sent = protocol::CadastroAutomaticoArgs::decode(StrictArguments(params), method);
    CadastroArgs a;
    a.entity = sent.entity.toStdString();
    a.group = sent.group.toStdString();
    const std::string mode = sent.mode.toStdString();
    a.tax = sent.tax.toStdString();
    a.company = sent.company.toStdString();
    a.registration = sent.registration.toStdString();

    const Entity &e = entityFor(a.entity);
    if (mode != "T" && mode != "V" && mode != "L")
        invalid(QStringLiteral("Tipo de cadastramento inválido: \"%1\" (use T, V ou L).").arg(q(mode)));
    a.mode = mode[0];

    if (a.mode != 'L' && a.group.empty())
        invalid(QStringLiteral("Grupo fiscal deve ser informado."));
    // Outside the registration entities a group in mode L would read as "only that group",
    // which is not what they do: refuse it rather than clear everything.
    if (a.mode == 'L' && !a.group.empty() && e.needs != Needs::Registration)
        invalid(QStringLiteral("No modo Limpar o grupo fiscal não deve ser informado para %1.").arg(q(a.entity)));

    const auto required = [](const std::string &v, const char *message) {
        if (v.empty())
            invalid(QString::fromUtf8(message));
    };
    const auto unused = [&](const std::string &v, const char *what) {
        if (!v.empty())
            invalid(QStringLiteral("O argumento %1 não se aplica a %2.").arg(QString::fromUtf8(what), q(a.entity)));
    };
    if (e.needs == Needs::Nothing)
        unused(a.tax, "imposto");
    else
        required(a.tax, "Imposto deve ser informado.");
    if (e.needs == Needs::Registration) {
        required(a.company, "Empresa deve ser informada.");
        required(a.registration, "Inscrição estadual deve ser informada.");
    } else {
        unused(a.company, "empresa");
        unused(a.registration, "inscrição estadual");
    }
    return a;
}

void cadastroAutomatico(history::Recorder &h, const CadastroArgs &a)
{
    storage::Connection &c = h.connection();
    const Entity &e = entityFor(a.entity);
    const std::optional<std::string_view> group =
        a.group.empty() ? std::nullopt : std::optional<std::string_view>(a.group);
    // These checks stand for the per-row foreign keys, which this call's transaction skips
    // on SQLite (and on PostgreSQL where only the group is written): every value written
    // is one of them or a key read from its own table.
    if (group) {
        if (h.previewing())
            requireGroup(c, *group);
        else
            holdGroup(c, *group);
    }
    if (e.needs != Needs::Nothing)
        requireTax(c, a.tax);
    if (e.needs == Needs::Registration) {
        requireCompany(c, a.company);
        requireRegistration(c, a.company, a.registration);
    }

    // Rows that already hold the group are left alone: fewer writes, same result.
    const std::string where = a.mode == 'T' ? " WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> $1"
                            : a.mode == 'V' ? " WHERE CDGRUPOFISC IS NULL"
                                            : " WHERE CDGRUPOFISC IS NOT NULL";
    std::vector<std::pair<std::string, std::string>> updates;   // table, WHERE
    for (const char *table : e.tables)
        updates.emplace_back(table, where);
    if (a.mode == 'V' && e.copyKey) {
        // A copy keeps its record's group: in V the copies of the records without one change,
        // whatever they held, and before those records do (the choice reads them).
        const std::string owner = e.tables.front();
        const std::string ownerKey = e.copyKey;
        // The records are locked first (below), in the order every call takes the two tables,
        // and so that none loses or gains its group between the choice of copies and its own update.
        updates.erase(updates.begin());
        for (auto &[table, copyWhere] : updates)
            copyWhere = " WHERE (CDGRUPOFISC IS NULL OR CDGRUPOFISC <> $1) AND " + ownerKey + " IN (SELECT " + ownerKey
                + " FROM " + owner + " WHERE CDGRUPOFISC IS NULL)";
        updates.emplace_back(owner, where);
    }
    h.lockAll(std::vector<std::string_view>(e.tables.begin(), e.tables.end()));
    for (const auto &[t, w] : updates) {
        const char *after = a.mode == 'L' ? "NULL" : "$1";
        const history::Params params = a.mode == 'L' ? history::Params{} : history::Params{group};
        h.capture(history::table(t), history::Action::Changed, "CDGRUPOFISC", after, "FROM " + t + w, params);
        h.write("UPDATE " + t + " SET CDGRUPOFISC = " + after + w, params);
    }
    if (!e.paramTable)
        return;

    const std::string p = e.paramTable;
    const history::Table &ht = history::table(p);
    const bool perRegistration = e.needs == Needs::Registration;
    const std::string keys = perRegistration ? "CDIMPOSTO, CDEMPRESA, CDINSCESTA, " + std::string(e.paramKey)
                                             : "CDIMPOSTO, " + std::string(e.paramKey);
    if (a.mode == 'L') {
        if (perRegistration) {
            std::string where = " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3";
            if (group) {
                where += " AND CDGRUPOFISC = $4";
                h.capture(ht, history::Action::Deleted, "CDGRUPOFISC", "NULL", "FROM " + p + where,
                          {a.tax, a.company, a.registration, group});
                h.write("DELETE FROM " + p + where, {a.tax, a.company, a.registration, group});
            } else {
                h.capture(ht, history::Action::Deleted, "CDGRUPOFISC", "NULL", "FROM " + p + where,
                          {a.tax, a.company, a.registration});
                h.write("DELETE FROM " + p + where, {a.tax, a.company, a.registration});
            }
        } else {
            h.capture(ht, history::Action::Deleted, "CDGRUPOFISC", "NULL", "FROM " + p + " WHERE CDIMPOSTO = $1",
                      {a.tax});
            h.write("DELETE FROM " + p + " WHERE CDIMPOSTO = $1", {a.tax});
        }
        return;
    }

    // The records without a row get one (T and V); in T the rows of another group change.
    h.hold(e.source);
    const std::string record = std::string("s.") + e.paramKey;
    if (perRegistration) {
        h.capture(ht, history::Action::Inserted, "NULL", "$4",
                  std::string("FROM ") + e.source + " s WHERE NOT EXISTS (SELECT 1 FROM " + p
                      + " x WHERE x.CDIMPOSTO = $1 AND x.CDEMPRESA = $2 AND x.CDINSCESTA = $3 AND x." + e.paramKey
                      + " = " + record + ")",
                  {a.tax, a.company, a.registration, group}, {"$1", "$2", "$3", record});
        if (a.mode == 'T')
            h.capture(ht, history::Action::Changed, "CDGRUPOFISC", "$4",
                      "FROM " + p + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3 AND CDGRUPOFISC <> $4",
                      {a.tax, a.company, a.registration, group});
    } else {
        h.capture(ht, history::Action::Inserted, "NULL", "$2",
                  std::string("FROM ") + e.source + " s WHERE NOT EXISTS (SELECT 1 FROM " + p
                      + " x WHERE x.CDIMPOSTO = $1 AND x." + e.paramKey + " = " + record + ")",
                  {a.tax, group}, {"$1", record});
        if (a.mode == 'T')
            h.capture(ht, history::Action::Changed, "CDGRUPOFISC", "$2",
                      "FROM " + p + " WHERE CDIMPOSTO = $1 AND CDGRUPOFISC <> $2", {a.tax, group});
    }

    const std::string onConflict = a.mode == 'T'
        ? " ON CONFLICT (" + keys + ") DO UPDATE SET CDGRUPOFISC = excluded.CDGRUPOFISC WHERE "
              + p + ".CDGRUPOFISC <> excluded.CDGRUPOFISC"
        : " ON CONFLICT (" + keys + ") DO NOTHING";
    // "WHERE true" keeps SQLite from reading ON CONFLICT as a join constraint.
    if (perRegistration)
        h.write("INSERT INTO " + p + " (" + keys + ", CDGRUPOFISC) SELECT $1, $2, $3, " + e.paramKey + ", $4 FROM "
                    + e.source + " WHERE true" + onConflict,
                {a.tax, a.company, a.registration, group});
    else
        h.write("INSERT INTO " + p + " (" + keys + ", CDGRUPOFISC) SELECT $1, " + e.paramKey + ", $2 FROM "
                    + e.source + " WHERE true" + onConflict,
                {a.tax, group});
}

} // namespace fiscal::appserver::bulk
