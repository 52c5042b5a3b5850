// The write methods of both remote objects: the grids' saving methods, the billing-type
// propagation, automatic registration and replication. Each call is one transaction.

#include "appserver/args.h"
#include "appserver/bulk.h"
#include "appserver/changeset.h"
#include "appserver/server.h"
#include "appserver/transaction.h"
#include "appserver/write_checks.h"
#include "appserver/write_combined.h"

#include "dataset/packet.h"

namespace fiscal::appserver {

namespace {

dataset::ChangeSet readChangeSet(const changeset::TableSpec &spec, const QCborValue &v)
{
    try {
        if (!spec.wholePacket)
            return dataset::ChangeSet::fromCbor(v);
        dataset::DataPacket p = dataset::DataPacket::fromCbor(v);
        if (p.changes)
            return *std::move(p.changes);
        return dataset::ChangeSet{p.fields, {}};
    } catch (const dataset::PacketError &e) {
        writes::invalid(QStringLiteral("As alterações enviadas a %1 são inválidas: %2")
                            .arg(QLatin1String(spec.method), e.message()));
    }
}

void saveAlone(ConnectionPool &pool, const changeset::TableSpec &spec, const std::vector<changeset::Item> &items)
{
    const auto write = [&](storage::Connection &c) { changeset::apply(c, spec, items); };
    if (changeset::singleStatement(spec, items))
        withSingleStatement(pool, write);
    else if (!items.empty())
        withTransaction(pool, write);
}

void save(ConnectionPool &pool, CombinedSaves &combined, const changeset::TableSpec &spec,
          const QCborArray &params, dataset::ValueWriter &out)
{
    expectCount(params, 1, spec.method);
    std::vector<changeset::Item> items = changeset::decode(spec, readChangeSet(spec, params.at(0)));
    if (combined.accepts(spec, items))
        combined.save(spec, std::move(items));
    else
        saveAlone(pool, spec, items);
    out.null();
}

// Before a billing-type row is posted: the group and the billing type are checked, and
// nothing is written. SetTipoFatur, which follows with the row, writes the billing type and
// every branch's copy of it in one transaction, so a refused save leaves both as they were.
void setUpdateTipoFatur(ConnectionPool &pool, const QCborArray &params, dataset::ValueWriter &out)
{
    expectCount(params, 2, "SetUpdateTipoFatur");
    const std::string group = codeArg(params, 0, 3, "grupo fiscal");
    const std::string type = codeArg(params, 1, 3, "tipo de faturamento");
    if (type.empty())
        writes::invalid(QStringLiteral("O tipo de faturamento deve ser informado."));
    withReadTransaction(pool, [&](storage::Connection &c) {
        if (!group.empty())
            writes::requireGroup(c, group);
        if (!writes::exists(c, "SELECT 1 FROM TIPOFATUR WHERE CDTIPOFATUR = $1", {type}))
            writes::notFound(QStringLiteral("Tipo de faturamento %1 não cadastrado.").arg(writes::q(type)));
    });
    out.null();
}

} // namespace

void registerWriteMethods(rpc::Dispatcher &d, ConnectionPool &pool)
{
    // Shared by the saving methods for as long as the dispatcher holds them.
    auto combined = std::make_shared<CombinedSaves>(
        pool, [&pool](const changeset::TableSpec &spec, const std::vector<changeset::Item> &items) {
            saveAlone(pool, spec, items);
        });
    for (const changeset::TableSpec &spec : changeset::allSpecs())
        d.add(kParamGrupFiscal, spec.method, [&pool, &spec, combined](const QCborArray &p, dataset::ValueWriter &out) {
            save(pool, *combined, spec, p, out);
        });
    d.add(kParamGrupFiscal, "SetUpdateTipoFatur", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        setUpdateTipoFatur(pool, p, out);
    });
    d.add(kParamGrupFiscal, "Replica", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::ReplicaArgs a = bulk::readReplicaArgs(p);
        out.integer(withTransaction(pool, [&](storage::Connection &c) { return bulk::replica(c, a); }));
    });
    d.add(kCadAutParGrpFis, "CadastroAutomatico", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::CadastroArgs a = bulk::readCadastroArgs(p);
        withTransaction(pool, [&](storage::Connection &c) { bulk::cadastroAutomatico(c, a); });
        out.null();
    });
    d.add(kCadAutParGrpFis, "CadAutoImpInscEsta", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::InscEstaArgs a = bulk::readInscEstaArgs(p);
        withTransaction(pool, [&](storage::Connection &c) { bulk::cadAutoImpInscEsta(c, a); });
        out.null();
    });
}

} // namespace fiscal::appserver
