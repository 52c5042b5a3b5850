// Replica: copies the per-registration fiscal groups of one origin (tax, company,
// registration, groups) to every chosen registration of a destination company.

#include "appserver/common/args.h"
#include "appserver/bulk/bulk.h"
#include "appserver/history/history.h"
#include "protocol/bulkcalls.h"
#include "appserver/common/checks.h"
#include "appserver/common/faults.h"
#include "appserver/common/text.h"
#include "appserver/common/temptable.h"

namespace fiscal::appserver::bulk {

namespace {

std::int64_t run(storage::Connection &c, const std::string &sql,
                 std::initializer_list<std::optional<std::string_view>> params)
{
    auto st = c.prepare(sql);
    int i = 1;
    for (const auto &p : params)
        st->bind(i++, p);
    return st->execute();
}

void required(const std::string &v, const char *message)
{
    if (v.empty())
        invalid(QString::fromUtf8(message));
}

} // namespace

ReplicaArgs readReplicaArgs(const QCborArray &params, const char *method)
{
    const auto sent = protocol::ReplicaArgs::decode(StrictArguments(params), method);
    ReplicaArgs a;
    a.tax = sent.tax.toStdString();
    a.company = sent.company.toStdString();
    a.registration = sent.registration.toStdString();
    const Selection groups = parseSelection(sent.groups.toStdString(), 3, "seleção de grupos fiscais");
    a.destCompany = sent.destCompany.toStdString();
    const Selection dest = parseSelection(sent.destRegistrations.toStdString(), 16,
                                          "seleção de inscrições estaduais de destino");
    a.suppliers = sent.suppliers;
    const bool clients = sent.clients;

    required(a.tax, "Imposto de origem deve ser informado.");
    required(a.company, "Empresa de origem deve ser informada.");
    required(a.registration, "Incrição estadual de origem deve ser informada.");
    required(a.destCompany, "Empresa de destino deve ser informada.");
    if (!groups.all && groups.keys.empty())
        invalid(QStringLiteral("Grupo fiscal deve ser informado."));
    if (!dest.all && dest.keys.empty())
        invalid(QStringLiteral("Inscrição estadual de destino deve ser informada."));
    if (a.suppliers == clients)
        invalid(QStringLiteral("Informe fornecedores ou clientes: exatamente um dos dois."));
    a.allGroups = groups.all;
    a.groups = groups.keys;
    a.allDestinations = dest.all;
    a.destinations = dest.keys;
    return a;
}

std::int64_t replica(history::Recorder &h, const ReplicaArgs &a)
{
    storage::Connection &c = h.connection();
    requireTax(c, a.tax);
    requireCompany(c, a.company);
    requireRegistration(c, a.company, a.registration);
    // The lists go into temporary tables and are checked there, a few statements whatever
    // their length.
    std::unique_ptr<TempTable> groups;
    if (!a.allGroups)
        groups = loadKeys(c, "wr_rep_groups", a.groups, "SELECT 1 FROM GRUPOFISCAL g WHERE g.CDGRUPOFISC = s.K",
                                  {}, [](std::string_view g) {
                                      return QStringLiteral("Grupo fiscal %1 não cadastrado.").arg(q(g));
                                  });
    requireCompany(c, a.destCompany);
    const auto dest = loadKeys(
        c, "wr_rep_dest", a.destinations, "SELECT 1 FROM INSCRESTAD i WHERE i.CDEMPRESA = $1 AND i.CDINSCESTA = s.K",
        {a.destCompany}, [&](std::string_view r) {
            return QStringLiteral("Inscrição estadual %1 não cadastrada para a empresa %2.").arg(q(r), q(a.destCompany));
        });

    const std::string p = a.suppliers ? "GRFISIMPIEFORN" : "GRFISIMPIECLIE";
    const std::string key = a.suppliers ? "CDFORNECED" : "CDCLIENTE";
    const std::string inGroups = groups ? " AND CDGRUPOFISC IN (SELECT K FROM wr_rep_groups)" : "";

    // The table is this call's before the origin is read: a save committed meanwhile would
    // otherwise be overwritten by the value it replaced (the origin may be a destination).
    const history::Table &ht = history::table(p);
    h.lock(ht);
    // The origin is read before anything is erased: it may be one of the destinations.
    // In key order, which the statements below read it in: the history's items and the
    // destination's rows then go in at the end of their indexes instead of all over them
    // (read by the group index, 90,000 rows took three times as long).
    TempTable origin(c, "wr_rep_orig", {{"K"}, {"G"}});
    const std::int64_t originRows = run(c,
        "INSERT INTO wr_rep_orig (K, G) SELECT " + key + ", CDGRUPOFISC FROM " + p
            + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3" + inGroups + " ORDER BY " + key,
        {a.tax, a.company, a.registration});

    const std::int64_t destRows = a.allDestinations
        ? run(c, "INSERT INTO wr_rep_dest (K) SELECT CDINSCESTA FROM INSCRESTAD WHERE CDEMPRESA = $1 ORDER BY CDINSCESTA",
              {a.destCompany})
        : dest->rows();
    h.touch(ht);
    // Nothing to copy (or nowhere to): erasing the destination would lose data and the
    // screen would still say the replication failed.
    if (originRows == 0 || destRows == 0)
        return 0;

    // What the copy changes, row by row: a destination row the origin has is inserted or
    // takes the origin's group (with a group list, whatever group it had); one it lacks is
    // deleted when the copy replaces its group.
    const std::string replaced = " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2"
                                 " AND CDINSCESTA IN (SELECT K FROM wr_rep_dest)" + inGroups;
    const std::vector<std::string> keys{"$1", "$2", "d.K", "o.K"};
    // Into destinations without a row of the tax (a new registration, the usual case) every
    // row is inserted and none changed or deleted: the statements that look for those go.
    const bool destinationsEmpty = !exists(c,
        "SELECT 1 FROM " + p + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA IN (SELECT K FROM wr_rep_dest)"
            " LIMIT 1",
        {a.tax, a.destCompany});
    if (destinationsEmpty) {
        h.capture(ht, history::Action::Inserted, "NULL", "o.G", "FROM wr_rep_dest d CROSS JOIN wr_rep_orig o",
                  {a.tax, a.destCompany}, keys);
    } else {
        const std::string destRow = "x.CDIMPOSTO = $1 AND x.CDEMPRESA = $2 AND x.CDINSCESTA = d.K AND x." + key
            + " = o.K";
        h.capture(ht, history::Action::Inserted, "NULL", "o.G",
                  "FROM wr_rep_dest d CROSS JOIN wr_rep_orig o WHERE NOT EXISTS (SELECT 1 FROM " + p + " x WHERE "
                      + destRow + ")",
                  {a.tax, a.destCompany}, keys);
        h.capture(ht, history::Action::Changed, "x.CDGRUPOFISC", "o.G",
                  "FROM wr_rep_dest d CROSS JOIN wr_rep_orig o JOIN " + p + " x ON " + destRow
                      + " WHERE x.CDGRUPOFISC <> o.G",
                  {a.tax, a.destCompany}, keys);
        h.capture(ht, history::Action::Deleted, "CDGRUPOFISC", "NULL",
                  "FROM " + p + replaced + " AND " + key + " NOT IN (SELECT K FROM wr_rep_orig)",
                  {a.tax, a.destCompany});
        h.write("DELETE FROM " + p + replaced, {a.tax, a.destCompany});
    }
    // With a group list a destination row of another group is overwritten by the origin's.
    const std::string onConflict = groups
        ? " ON CONFLICT (CDIMPOSTO, CDEMPRESA, CDINSCESTA, " + key + ") DO UPDATE SET CDGRUPOFISC = excluded.CDGRUPOFISC"
        : "";
    return h.write("INSERT INTO " + p + " (CDIMPOSTO, CDEMPRESA, CDINSCESTA, " + key + ", CDGRUPOFISC)"
                       " SELECT $1, $2, d.K, o.K, o.G FROM wr_rep_dest d CROSS JOIN wr_rep_orig o WHERE true"
                       + onConflict,
                   {a.tax, a.destCompany});
}

} // namespace fiscal::appserver::bulk
