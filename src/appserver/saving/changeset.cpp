#include "appserver/saving/changeset.h"

#include "appserver/common/faults.h"
#include "appserver/common/text.h"
#include "protocol/objects.h"
#include "rpc/dispatcher.h"

#include <QStringList>
#include <set>

namespace fiscal::appserver::changeset {

namespace method = protocol::method;

namespace {

TableSpec entity(const char *method, const char *table, KeyColumn key, const char *missing,
                 const char *record)
{
    return TableSpec{method, table, TableKind::Entity, {key}, "CDGRUPOFISC",
                     {Reference{table, {0}, {key.name}, missing}}, record};
}

TableSpec byRegistration(const char *method, const char *table, KeyColumn who,
                         const char *whoTable, const char *missing, const char *record)
{
    return TableSpec{method, table, TableKind::Parameter,
                     {{"CDIMPOSTO", 2, "código do imposto"},
                      {"CDEMPRESA", 2, "código da empresa"},
                      {"CDINSCESTA", 16, "código da inscrição estadual"},
                      who},
                     "CDGRUPOFISC",
                     {Reference{"IMPOSTO", {0}, {"CDIMPOSTO"}, "Imposto %1 não cadastrado."},
                      Reference{"EMPRESA", {1}, {"CDEMPRESA"}, "Empresa %2 não cadastrada."},
                      Reference{"INSCRESTAD", {1, 2}, {"CDEMPRESA", "CDINSCESTA"},
                                "Inscrição estadual %3 não cadastrada para a empresa %2."},
                      Reference{whoTable, {3}, {who.name}, missing}},
                     record};
}

std::vector<TableSpec> makeSpecs()
{
    std::vector<TableSpec> s;
    s.push_back(entity(method::SetFornecedor, "FORNECEDOR", {"CDFORNECED", 21, "código do fornecedor"},
                       "Fornecedor %1 não cadastrado.", "do fornecedor %1"));
    s.push_back(entity(method::SetCliente, "CLIENTE", {"CDCLIENTE", 21, "código do cliente"},
                       "Cliente %1 não cadastrado.", "do cliente %1"));
    s.push_back(entity(method::SetFilial, "FILIAL", {"CDFILIAL", 4, "código da filial"},
                       "Filial %1 não cadastrada.", "da filial %1"));
    s.push_back(entity(method::SetTipoOperac, "TIPOOPERAC", {"CDTIPOOPER", 2, "código do tipo de operação"},
                       "Tipo de operação %1 não cadastrado.", "do tipo de operação %1"));
    s.push_back(entity(method::SetTipoFatur, "TIPOFATUR", {"CDTIPOFATUR", 3, "código do tipo de faturamento"},
                       "Tipo de faturamento %1 não cadastrado.", "do tipo de faturamento %1"));
    s.back().copiedTo = "PARAMFILIAL";
    s.push_back(entity(method::SetTipoGest, "TPFATURFIS", {"CDTPFATURFIS", 5, "código do tipo de gestão fiscal"},
                       "Tipo de gestão fiscal %1 não cadastrado.", "do tipo de gestão fiscal %1"));
    s.back().wholePacket = true;
    s.push_back(TableSpec{method::SetImpFili, "GRFISCIMPOSFILI", TableKind::Parameter,
                          {{"CDIMPOSTO", 2, "código do imposto"}, {"CDFILIAL", 4, "código da filial"}},
                          "CDGRUPOFISC",
                          {Reference{"IMPOSTO", {0}, {"CDIMPOSTO"}, "Imposto %1 não cadastrado."},
                           Reference{"FILIAL", {1}, {"CDFILIAL"}, "Filial %2 não cadastrada."}},
                          "do imposto %1 da filial %2"});
    s.push_back(byRegistration(method::SetFornInsc, "GRFISIMPIEFORN", {"CDFORNECED", 21, "código do fornecedor"},
                               "FORNECEDOR", "Fornecedor %4 não cadastrado.",
                               "do fornecedor %4 (imposto %1, empresa %2, inscrição estadual %3)"));
    s.push_back(byRegistration(method::SetCliInsc, "GRFISIMPIECLIE", {"CDCLIENTE", 21, "código do cliente"},
                               "CLIENTE", "Cliente %4 não cadastrado.",
                               "do cliente %4 (imposto %1, empresa %2, inscrição estadual %3)"));
    s.push_back(TableSpec{method::SetOperInter, "PARAMGERAL", TableKind::General,
                          {{"CDPARGERAL", 4, "código do parâmetro"}}, "DSPARGERFIS", {},
                          "das operações interestaduais"});
    return s;
}

// The one row of PARAMGERAL the interstate tab edits.
constexpr std::string_view kInterstate = "OPIN";

Value valueAt(const dataset::Row &row, int index)
{
    if (index < 0 || index >= row.size() || row.isNull(index))
        return std::nullopt;
    return row.view(index).toString().toStdString();
}

// The screens send an empty group as null or as "" (the interstate box): both mean none.
Value groupAt(const dataset::Row &row, int index)
{
    Value v = valueAt(row, index);
    if (v && v->empty())
        return std::nullopt;
    return v;
}

struct FieldIndexes {
    std::vector<int> keys;
    int group = -1;
};

FieldIndexes locateFields(const TableSpec &spec, const QList<dataset::FieldDef> &fields)
{
    const auto find = [&](const char *name) {
        for (qsizetype i = 0; i < fields.size(); ++i)
            if (fields[i].name == QLatin1String(name))
                return int(i);
        invalid(QStringLiteral("O conjunto de alterações enviado a %1 não tem o campo %2.")
                    .arg(QLatin1String(spec.method), QLatin1String(name)));
    };
    FieldIndexes ix;
    for (const KeyColumn &k : spec.keys)
        ix.keys.push_back(find(k.name));
    ix.group = find(spec.groupColumn);
    return ix;
}

QString keyWhat(const KeyColumn &k) { return QString::fromUtf8(k.what); }

} // namespace

const std::vector<TableSpec> &allSpecs()
{
    static const std::vector<TableSpec> specs = makeSpecs();
    return specs;
}

const TableSpec &specFor(std::string_view method)
{
    const QString m = QString::fromUtf8(method.data(), qsizetype(method.size()));
    for (const TableSpec &s : allSpecs())
        if (m.compare(QLatin1String(s.method), Qt::CaseInsensitive) == 0)
            return s;
    throw std::logic_error("no change-set spec for " + std::string(method));
}

QString recordText(const TableSpec &spec, const Item &item)
{
    return format(spec.record, item.key);
}

std::vector<Item> decode(const TableSpec &spec, const dataset::ChangeSet &changes)
{
    const FieldIndexes ix = locateFields(spec, changes.fields);
    std::vector<Item> items;
    items.reserve(std::size_t(changes.changes.size()));
    std::set<std::vector<std::string>> seen;

    for (qsizetype n = 0; n < changes.changes.size(); ++n) {
        const dataset::Change &ch = changes.changes[n];
        const int seq = int(n + 1);
        if (ch.op == dataset::Change::Insert && spec.kind == TableKind::Entity)
            invalid(QStringLiteral("%1 não aceita a inclusão de registros (alteração %2).")
                        .arg(QLatin1String(spec.method)).arg(seq));

        Item item;
        item.seq = seq;
        item.oldGroup = ch.op == dataset::Change::Insert ? std::nullopt : groupAt(ch.oldValues, ix.group);
        item.newGroup = ch.op == dataset::Change::Delete ? std::nullopt : groupAt(ch.newValues, ix.group);
        item.deleted = ch.op == dataset::Change::Delete;
        if (item.newGroup && codePoints(*item.newGroup) > 3)
            invalid(QStringLiteral("Grupo fiscal com mais de 3 caracteres na alteração %1: \"%2\".")
                        .arg(seq).arg(rpc::echoed(q(*item.newGroup))));

        // Parameter rows get their key from the posted values: the screen copies the tax,
        // company and registration into the row just before posting.
        const bool keyFromNew = ch.op == dataset::Change::Insert
            || (ch.op == dataset::Change::Update && spec.kind != TableKind::Entity);
        const dataset::Row &keyRow = keyFromNew ? ch.newValues : ch.oldValues;
        const dataset::Row &otherRow = keyFromNew ? ch.oldValues : ch.newValues;
        const auto blank = [](const Value &x) { return !x || x->empty(); };
        bool complete = true;
        for (std::size_t k = 0; k < spec.keys.size(); ++k) {
            Value v = valueAt(keyRow, ix.keys[k]);
            if (ch.op == dataset::Change::Update) {
                const Value other = valueAt(otherRow, ix.keys[k]);
                // An entity's key cannot change; a parameter row's loaded key may be blank, and
                // so may either side of the interstate row's.
                const bool changed = spec.kind == TableKind::General ? (!blank(other) && !blank(v) && other != v)
                    : keyFromNew ? (!blank(other) && other != v)
                                 : (blank(other) != blank(v) || (!blank(v) && other != v));
                if (changed)
                    invalid(QStringLiteral("O %1 não pode ser alterado (alteração %2).")
                                .arg(keyWhat(spec.keys[k])).arg(seq));
            }
            if (spec.kind == TableKind::General) {
                // A new interstate row arrives without its code.
                if (blank(v))
                    v = valueAt(otherRow, ix.keys[k]);
                if (blank(v))
                    v = std::string(kInterstate);
            }
            if (blank(v)) {
                complete = false;
                item.key.emplace_back();
                continue;
            }
            if (codePoints(*v) > std::size_t(spec.keys[k].width))
                invalid(QStringLiteral("O %1 tem mais de %2 caracteres na alteração %3: \"%4\".")
                            .arg(keyWhat(spec.keys[k])).arg(spec.keys[k].width).arg(seq)
                            .arg(rpc::echoed(q(*v))));
            if (spec.kind == TableKind::General && *v != kInterstate)
                invalid(QStringLiteral("%1 só grava o parâmetro %2, não \"%3\".")
                            .arg(QLatin1String(spec.method), q(kInterstate), rpc::echoed(q(*v))));
            item.key.push_back(std::move(*v));
        }

        switch (spec.kind) {
        case TableKind::Entity:
            // A deleted row that had no group changes nothing either, on every path.
            item.action = item.oldGroup == item.newGroup ? Action::None : Action::SetGroup;
            break;
        case TableKind::General:
            if (ch.op == dataset::Change::Insert)
                item.action = Action::Insert;
            else
                item.action = ch.op == dataset::Change::Update && item.oldGroup == item.newGroup
                    ? Action::None : Action::SetGroup;
            break;
        case TableKind::Parameter:
            if (item.oldGroup == item.newGroup)
                item.action = Action::None;
            else if (!item.oldGroup)
                item.action = Action::Insert;
            else if (!item.newGroup)
                item.action = Action::Delete;
            else
                item.action = Action::Update;
            break;
        }

        if (!complete) {
            // A parameter row that had and still has no group stores nothing, even when the
            // screen never filled in its tax or registration.
            if (spec.kind == TableKind::Parameter && item.action == Action::None)
                continue;
            for (std::size_t k = 0; k < spec.keys.size(); ++k)
                if (item.key[k].empty())
                    invalid(QStringLiteral("O %1 não foi informado na alteração %2.")
                                .arg(keyWhat(spec.keys[k])).arg(seq));
        }
        if (!seen.insert(item.key).second)
            invalid(QStringLiteral("O registro %1 aparece mais de uma vez nas alterações enviadas.")
                        .arg(recordText(spec, item)));
        items.push_back(std::move(item));
    }
    return items;
}

} // namespace fiscal::appserver::changeset
