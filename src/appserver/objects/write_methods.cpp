// The write methods of both remote objects: the grids' saving methods, the billing-type
// propagation, automatic registration, replication and the import of groups. Each call is one transaction.

#include "appserver/objects/objects.h"

#include "appserver/bulk/bulk.h"
#include "appserver/common/args.h"
#include "appserver/common/checks.h"
#include "appserver/common/faults.h"
#include "appserver/common/packetstream.h"
#include "appserver/common/text.h"
#include "appserver/common/transaction.h"
#include "appserver/history/history.h"
#include "appserver/saving/saves.h"
#include "protocol/historypackets.h"
#include "protocol/importcalls.h"
#include "protocol/objects.h"

namespace fiscal::appserver {

namespace method = protocol::method;

namespace {

// Before a billing-type row is posted: the group and the billing type are checked, and
// nothing is written. SetTipoFatur, which follows with the row, writes the billing type and
// every branch's copy of it in one transaction, so a refused save leaves both as they were.
void setUpdateTipoFatur(ConnectionPool &pool, const QCborArray &params, dataset::ValueWriter &out)
{
    expectCount(params, 2, method::SetUpdateTipoFatur);
    const std::string group = codeArg(params, 0, 3, "grupo fiscal");
    const std::string type = codeArg(params, 1, 3, "tipo de faturamento");
    if (type.empty())
        invalid(QStringLiteral("O tipo de faturamento deve ser informado."));
    withReadTransaction(pool, [&](storage::Connection &c) {
        if (!group.empty())
            requireGroup(c, group);
        if (!exists(c, "SELECT 1 FROM TIPOFATUR WHERE CDTIPOFATUR = $1", {type}))
            notFound(QStringLiteral("Tipo de faturamento %1 não cadastrado.").arg(q(type)));
    });
    out.null();
}

// A bulk call in one transaction, recorded as one operation.
template <class Fn>
std::int64_t recorded(ConnectionPool &pool, const char *method, const QCborArray &params, Fn fn,
                      ForeignKeys keys = ForeignKeys::PerRow)
{
    const history::Operation op{method, history::argumentsJson(params), {}};
    return withTransaction(pool, [&](storage::Connection &c) {
        history::Recorder h(c, op);
        const std::int64_t result = fn(h);
        h.finish();
        return result;
    }, keys);
}

// One row per table the call would write, with what it would change, insert and delete.
template <class Fn>
void preview(ConnectionPool &pool, dataset::ValueWriter &out, Fn fn)
{
    withPreviewTransaction(pool, [&](storage::Connection &c) {
        history::Recorder h(c, {}, history::Recorder::Mode::Preview);
        fn(h);
        out.startMap();
        out.key("fields");
        writeFieldDefs(out, protocol::history::kPrevia);
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

// A packet of `fields` whose rows `rows` writes.
template <class Rows>
void packet(dataset::ValueWriter &out, std::span<const FieldSpec> fields, Rows rows)
{
    out.startMap();
    out.key("fields");
    writeFieldDefs(out, fields);
    out.key("rows");
    out.startArray();
    rows();
    out.endArray();
    out.endMap();
}

// SimulaImportaGrupos: the counts and every line's error, nothing written.
void simulaImportaGrupos(ConnectionPool &pool, const QCborArray &params, dataset::ValueWriter &out)
{
    namespace imp = protocol::importing;
    const bulk::ImportArgs a = bulk::readImportArgs(params, method::SimulaImportaGrupos);
    withPreviewTransaction(pool, [&](storage::Connection &c) {
        const bulk::ImportPlan plan = bulk::planImport(c, a);
        out.startArray();
        packet(out, imp::kContagem, [&] {
            out.startArray();
            for (std::int64_t n : {plan.lines, plan.toChange, plan.same, std::int64_t(plan.errors.size())})
                out.string(std::to_string(n));
            out.endArray();
        });
        packet(out, imp::kErros, [&] {
            for (const auto &[line, reason] : plan.errors) {
                out.startArray();
                out.string(std::to_string(line));
                out.string(reason.toStdString());
                out.endArray();
            }
        });
        out.endArray();
    });
}

// ImportaGrupos: checked again, refused whole at the first wrong line, else applied and
// recorded as one operation (none when nothing changed).
void importaGrupos(ConnectionPool &pool, const QCborArray &params, dataset::ValueWriter &out)
{
    namespace imp = protocol::importing;
    const bulk::ImportArgs a = bulk::readImportArgs(params, method::ImportaGrupos);
    std::pair<std::int64_t, std::int64_t> counts;
    // The plan checks every group, record, tax and registration the lines name, inside this
    // transaction, so SQLite need not look them up again for each row written (nor
    // PostgreSQL, where only groups are written: lockImport holds them).
    const std::int64_t id = withTransaction(pool, [&](storage::Connection &c) {
        // The lines are recorded by their count.
        QCborArray shown = params;
        shown[4] = qint64(a.size());
        history::Recorder h(c, {method::ImportaGrupos, history::argumentsJson(shown), {}});
        bulk::lockImport(h, a);
        bulk::ImportPlan plan = bulk::planImport(c, a, true);
        if (!plan.errors.empty()) {
            const QString &reason = plan.errors.front().second;
            // "Cliente X..." reads "cliente X..." after "Linha 3: "; "CNPJ/CPF..." stays.
            const bool acronym = reason.size() > 1 && reason.at(1).isUpper();
            invalid(QStringLiteral("Linha %1: %2%3")
                        .arg(plan.errors.front().first)
                        .arg(acronym ? reason.left(1) : reason.left(1).toLower(), reason.mid(1)));
        }
        counts = bulk::applyImport(h, a, plan);
        return h.finish();
    }, bulk::importWritesOnlyGroups(a) ? ForeignKeys::HeldOnce : ForeignKeys::CheckedOnce);
    packet(out, imp::kResultado, [&] {
        out.startArray();
        if (id)
            out.string(std::to_string(id));
        else
            out.null();
        out.string(std::to_string(counts.first));
        out.string(std::to_string(counts.second));
        out.endArray();
    });
}

} // namespace

void registerWriteMethods(rpc::Dispatcher &d, ConnectionPool &pool)
{
    // Shared by the saving methods for as long as the dispatcher holds them.
    auto saves = std::make_shared<Saves>(pool);
    for (const changeset::TableSpec &spec : changeset::allSpecs())
        d.add(protocol::kParamGrupFiscal, spec.method, [&spec, saves](const QCborArray &p, dataset::ValueWriter &out) {
            saves->save(spec, p, out);
        }, rpc::CallKind::Save, rpc::LargeParams::Encoded);
    d.add(protocol::kParamGrupFiscal, method::SetUpdateTipoFatur, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        setUpdateTipoFatur(pool, p, out);
    }, rpc::CallKind::Save);
    d.add(protocol::kParamGrupFiscal, method::Replica, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::ReplicaArgs a = bulk::readReplicaArgs(p);
        out.integer(recorded(pool, method::Replica, p, [&](history::Recorder &h) { return bulk::replica(h, a); }));
    }, rpc::CallKind::Bulk);
    d.add(protocol::kCadAutParGrpFis, method::CadastroAutomatico, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::CadastroArgs a = bulk::readCadastroArgs(p);
        // Its group, tax and registration are checked once; record keys come from their own table.
        recorded(pool, method::CadastroAutomatico, p, [&](history::Recorder &h) { bulk::cadastroAutomatico(h, a); return 0; },
                 bulk::cadastroWritesOnlyTheGroup(a) ? ForeignKeys::HeldOnce : ForeignKeys::CheckedOnce);
        out.null();
    }, rpc::CallKind::Bulk);
    d.add(protocol::kCadAutParGrpFis, method::CadAutoImpInscEsta, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::InscEstaArgs a = bulk::readInscEstaArgs(p);
        recorded(pool, method::CadAutoImpInscEsta, p, [&](history::Recorder &h) { bulk::cadAutoImpInscEsta(h, a); return 0; });
        out.null();
    }, rpc::CallKind::Bulk);

    d.add(protocol::kCadAutParGrpFis, method::ImportaGrupos, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        importaGrupos(pool, p, out);
    }, rpc::CallKind::Bulk, rpc::LargeParams::Encoded);
    d.add(protocol::kCadAutParGrpFis, method::SimulaImportaGrupos, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        simulaImportaGrupos(pool, p, out);
    }, rpc::CallKind::Bulk, rpc::LargeParams::Encoded);

    // Previews: the same arguments, checks and statements, counted and rolled back.
    d.add(protocol::kParamGrupFiscal, method::SimulaReplica, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::ReplicaArgs a = bulk::readReplicaArgs(p, method::SimulaReplica);
        preview(pool, out, [&](history::Recorder &h) { bulk::replica(h, a); });
    }, rpc::CallKind::Bulk);
    d.add(protocol::kCadAutParGrpFis, method::SimulaCadastroAutomatico, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::CadastroArgs a = bulk::readCadastroArgs(p, method::SimulaCadastroAutomatico);
        preview(pool, out, [&](history::Recorder &h) { bulk::cadastroAutomatico(h, a); });
    }, rpc::CallKind::Bulk);
    d.add(protocol::kCadAutParGrpFis, method::SimulaCadAutoImpInscEsta, [&pool](const QCborArray &p, dataset::ValueWriter &out) {
        const bulk::InscEstaArgs a = bulk::readInscEstaArgs(p, method::SimulaCadAutoImpInscEsta);
        preview(pool, out, [&](history::Recorder &h) { bulk::cadAutoImpInscEsta(h, a); });
    }, rpc::CallKind::Bulk);
}

} // namespace fiscal::appserver
