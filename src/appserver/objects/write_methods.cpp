// The write methods of both remote objects: the grids' saving methods, the billing-type
// propagation, automatic registration and replication. Each call is one transaction.

#include "appserver/common/args.h"
#include "appserver/bulk/bulk.h"
#include "appserver/saving/changeset.h"
#include "appserver/history/history.h"
#include "appserver/common/packetstream.h"
#include "appserver/objects/objects.h"
#include "appserver/common/transaction.h"
#include "appserver/common/checks.h"
#include "appserver/saving/apply_combined.h"

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
    // The arguments are the rows the change set carried, as argumentsJson gives them and as
    // the combined statement (write_combined.cpp) records them too.
    const history::Operation op{spec.method, "[" + std::to_string(items.size()) + "]", {}};
    const auto write = [&](storage::Connection &c) {
        history::Recorder h(c, op);
        changeset::apply(c, spec, items, h);
        h.finish();
    };
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

// A bulk call in one transaction, recorded as one operation.
template <class Fn>
std::int64_t recorded(ConnectionPool &pool, const char *method, const QCborArray &params, Fn fn)
{
    const history::Operation op{method, history::argumentsJson(params), {}};
    return withTransaction(pool, [&](storage::Connection &c) {
        history::Recorder h(c, op);
        const std::int64_t result = fn(h);
        h.finish();
        return result;
    });
}

constexpr FieldSpec kPreviewFields[] = {{"NMTABELA", 20}, {"QTALTERADOS", 12}, {"QTINCLUIDOS", 12}, {"QTEXCLUIDOS", 12}};

// One row per table the call would write, with what it would change, insert and delete.
template <class Fn>
void preview(ConnectionPool &pool, dataset::ValueWriter &out, Fn fn)
{
    withPreviewTransaction(pool, [&](storage::Connection &c) {
        history::Recorder h(c, {}, history::Recorder::Mode::Preview);
        fn(h);
        out.startMap();
        out.key("fields");
        writeFieldDefs(out, kPreviewFields);
        out.key("rows");
        out.startArray();
        for (const auto &[table, counts] : h.perTable()) {
            out.startArray();
            out.string(std::string_view(table->name));
            for (std::int64_t n : {counts.changed, counts.inserted, counts.deleted})
                out.string(std::to_string(n));
            out.endArray();
        }
        out.endArray();
        out.endMap();
    });
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
        out.integer(recorded(pool, "Replica", p, [&](history::Recorder &h) { return bulk::replica(h, a); }));
    });
    d.add(kCadAutParGrpFis, "CadastroAutomatico", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::CadastroArgs a = bulk::readCadastroArgs(p);
        recorded(pool, "CadastroAutomatico", p, [&](history::Recorder &h) { bulk::cadastroAutomatico(h, a); return 0; });
        out.null();
    });
    d.add(kCadAutParGrpFis, "CadAutoImpInscEsta", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::InscEstaArgs a = bulk::readInscEstaArgs(p);
        recorded(pool, "CadAutoImpInscEsta", p, [&](history::Recorder &h) { bulk::cadAutoImpInscEsta(h, a); return 0; });
        out.null();
    });

    // Previews: the same arguments, checks and statements, counted and rolled back.
    d.add(kParamGrupFiscal, "SimulaReplica", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        expectCount(p, 8, "SimulaReplica");
        const bulk::ReplicaArgs a = bulk::readReplicaArgs(p);
        preview(pool, out, [&](history::Recorder &h) { bulk::replica(h, a); });
    });
    d.add(kCadAutParGrpFis, "SimulaCadastroAutomatico", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        expectCount(p, 7, "SimulaCadastroAutomatico");
        const bulk::CadastroArgs a = bulk::readCadastroArgs(p);
        preview(pool, out, [&](history::Recorder &h) { bulk::cadastroAutomatico(h, a); });
    });
    d.add(kCadAutParGrpFis, "SimulaCadAutoImpInscEsta", [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        expectCount(p, 10, "SimulaCadAutoImpInscEsta");
        const bulk::InscEstaArgs a = bulk::readInscEstaArgs(p);
        preview(pool, out, [&](history::Recorder &h) { bulk::cadAutoImpInscEsta(h, a); });
    });
}

} // namespace fiscal::appserver
