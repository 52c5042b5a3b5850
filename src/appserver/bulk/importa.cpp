// The import of fiscal groups from a spreadsheet: lines of (record, group) checked against
// the database set-based (the lines go into a temporary table and two joins resolve them by
// code and by CNPJ/CPF), then applied from that same table, reduced to one line per changed
// record under its code, with one statement per kind of change.

#include "appserver/bulk/bulk.h"
#include "appserver/common/args.h"
#include "appserver/common/checks.h"
#include "appserver/common/faults.h"
#include "appserver/common/temptable.h"
#include "appserver/common/text.h"
#include "appserver/history/history.h"
#include "dataset/packet.h"
#include "rpc/envelope.h"
#include "storage/documents.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace fiscal::appserver::bulk {

namespace {

namespace imp = protocol::importing;
using imp::Needs;

// How a message names one record of the entity.
QString recordNoun(const imp::Entity &e)
{
    const std::string_view t = e.records;
    if (t == "FORNECEDOR")
        return QStringLiteral("Fornecedor");
    if (t == "CLIENTE")
        return QStringLiteral("Cliente");
    if (t == "FILIAL")
        return QStringLiteral("Filial");
    if (t == "TIPOOPERAC")
        return QStringLiteral("Tipo de operação");
    if (t == "TIPOFATUR")
        return QStringLiteral("Tipo de faturamento");
    return QStringLiteral("Tipo de gestão fiscal");
}

// The digits of a CNPJ/CPF written with or without punctuation, in `out`; empty when the
// text is not one (other characters, or neither 11 nor 14 digits). A number of other length
// (a spreadsheet dropped its leading zeros) is one only when the zeros make a valid one:
// otherwise it is a code, and a missing one is told as a record not found.
std::string_view documentDigits(std::string_view key, char (&out)[14])
{
    std::size_t n = 0;
    bool punctuated = false;
    for (const char ch : key) {
        if (ch >= '0' && ch <= '9') {
            if (n == sizeof out)
                return {};
            out[n++] = ch;
        } else if (ch == '.' || ch == '/' || ch == '-' || ch == ' ') {
            punctuated = true;
        } else {
            return {};
        }
    }
    if (n == 14 || (n == 11 && punctuated))
        return std::string_view(out, n);
    if (punctuated)
        return {};
    const std::string whole = storage::documentFromNumber(std::string_view(out, n));
    if (whole.empty())
        return n == 11 ? std::string_view(out, n) : std::string_view();   // a CPF with wrong check digits
    std::copy(whole.begin(), whole.end(), out);
    return std::string_view(out, whole.size());
}

bool validDocument(std::string_view digits)
{
    return digits.size() == 11 ? storage::isValidCpf(digits) : storage::isValidCnpj(digits);
}

std::string str(std::string_view v)
{
    return std::string(v);
}

// The parameter table's filter and values for the rows of this tax (and registration).
std::string paramFilter(const ImportArgs &a, const char *alias)
{
    const std::string x = alias;
    std::string f = x + ".CDIMPOSTO = $1";
    if (a.entity->needs == Needs::Registration)
        f += " AND " + x + ".CDEMPRESA = $2 AND " + x + ".CDINSCESTA = $3";
    return f;
}

history::Params paramValues(const ImportArgs &a)
{
    if (a.entity->needs == Needs::Registration)
        return {a.tax, a.company, a.registration};
    return {a.tax};
}

// A line's value as the check keeps it: trimmed, in UTF-8. ASCII text (nearly every key and
// group) is viewed where it is, without a QString for each of a million values; other text
// is converted into `scratch`.
std::string_view lineValue(const dataset::RowRef &row, qsizetype i, std::string &scratch)
{
    const QAnyStringView v = row.view(i);
    if (dataset::isLatin1View(v)) {
        const auto *p = static_cast<const char *>(v.data());
        qsizetype b = 0, e = v.size();
        bool ascii = true;
        for (qsizetype k = 0; k < e && ascii; ++k)
            ascii = static_cast<unsigned char>(p[k]) < 0x80;
        if (ascii) {
            const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
            while (b < e && space(p[b]))
                ++b;
            while (e > b && space(p[e - 1]))
                --e;
            return std::string_view(p + b, std::size_t(e - b));
        }
    }
    scratch = v.toString().trimmed().toStdString();
    return scratch;
}

// A line's record as the joins found it. A few bytes, as there is one per line.
constexpr std::uint32_t kNotFound = ImportPlan::kByCode - 1;

struct Resolved {
    std::uint32_t record = kNotFound;      // kByCode, or in the plan's documentRecords
    std::uint32_t byDocument = kNotFound;  // the record its CNPJ/CPF names, when exactly one
    std::uint32_t current = 0;             // its group now, as ImportPlan::Change keeps it
    std::int32_t documentMatches = 0;
    std::int64_t row = 0;                  // as ImportPlan::Change keeps it
};

std::int64_t number(std::string_view text)
{
    std::int64_t n = 0;
    std::from_chars(text.data(), text.data() + text.size(), n);
    return n;
}

// The groups records hold now, each name kept once: a record keeps a number.
class GroupIds {
public:
    std::uint32_t id(std::string_view name)
    {
        if (m_last != 0 && m_names[m_last - 1] == name)
            return m_last;
        const auto [at, added] = m_ids.try_emplace(std::string(name), std::uint32_t(m_names.size() + 1));
        if (added)
            m_names.emplace_back(name);
        return m_last = at->second;
    }
    bool named(std::uint32_t id, std::string_view name) const
    {
        return id == 0 ? name.empty() : !name.empty() && m_names[id - 1] == name;
    }
    std::vector<std::string> take() { return std::move(m_names); }

private:
    std::vector<std::string> m_names;
    std::unordered_map<std::string, std::uint32_t> m_ids;
    std::uint32_t m_last = 0;
};

// The first line naming each record, by open addressing over line numbers: no allocation
// per line and one probe sequence per lookup.
constexpr std::uint32_t kNoLine = std::uint32_t(-1);

class FirstLines {
public:
    explicit FirstLines(std::size_t lines)
    {
        std::size_t size = 16;
        while (size < 2 * lines)
            size *= 2;
        m_slots.assign(size, kNoLine);
    }
    // The first line `same` accepts, or `line` itself when it is the first.
    template <class Same>
    std::uint32_t find(std::uint32_t line, Same same, std::size_t hash)
    {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
            if (m_slots[s] == kNoLine) {
                m_slots[s] = line;
                return line;
            }
            if (same(m_slots[s]))
                return m_slots[s];
        }
    }

private:
    std::vector<std::uint32_t> m_slots;
};

// The lines as SQL reads them: NRLINHA (from 0), CHAVE, DOC (the CNPJ/CPF's digits), GRUPO.
class LineRows final : public storage::RowSource {
public:
    // `docs` is empty for an entity without CNPJ/CPF.
    LineRows(const ImportArgs &a, const PackedStrings &docs) : m_a(a), m_docs(docs) {}
    std::size_t rowCount() const override { return m_a.size(); }
    std::int64_t integer(std::size_t row, std::size_t) const override { return std::int64_t(row); }
    std::optional<std::string_view> text(std::size_t row, std::size_t column) const override
    {
        if (column == 1)
            return m_a.keys[row];
        const std::string_view v = column == 3 ? m_a.groups[row] : m_docs.size() ? m_docs[row] : std::string_view();
        return v.empty() ? std::nullopt : std::optional<std::string_view>(v);
    }

private:
    const ImportArgs &m_a;
    const PackedStrings &m_docs;
};

// A plan's changes as SQL reads them: CHAVE (the record's code), GRUPO, ANTERIOR (its group
// now), LINHAREG (an entity's own record: its rowid).
class ChangeRows final : public storage::RowSource {
public:
    ChangeRows(const ImportArgs &a, const ImportPlan &plan) : m_a(a), m_plan(plan) {}
    std::size_t rowCount() const override { return m_plan.changes.size(); }
    std::int64_t integer(std::size_t row, std::size_t) const override { return m_plan.changes[row].row; }
    std::optional<std::string_view> text(std::size_t row, std::size_t column) const override
    {
        const ImportPlan::Change &c = m_plan.changes[row];
        if (column == 0)
            return c.record == ImportPlan::kByCode ? m_a.keys[c.line] : std::string_view(m_plan.documentRecords[c.record]);
        if (column == 2)
            return c.current ? std::optional<std::string_view>(m_plan.groupNames[c.current - 1]) : std::nullopt;
        const std::string_view group = m_a.groups[c.line];
        return group.empty() ? std::nullopt : std::optional<std::string_view>(group);
    }

private:
    const ImportArgs &m_a;
    const ImportPlan &m_plan;
};

} // namespace

ImportArgs readImportArgs(const QCborArray &params, const char *method)
{
    expectCount(params, 5, method);
    ImportArgs a;
    const std::string entity = stringArg(params, 0, 20, "entidade");
    a.entity = imp::findEntity(entity);
    if (!a.entity)
        invalid(QStringLiteral("Entidade desconhecida para a importação: \"%1\".").arg(q(entity)));
    a.tax = codeArg(params, 1, 2, "imposto");
    a.company = codeArg(params, 2, 2, "empresa");
    a.registration = stringArg(params, 3, 16, "inscrição estadual");
    const Needs needs = a.entity->needs;
    const auto check = [&](const std::string &v, bool needed, const char *what, const char *missing) {
        if (needed && v.empty())
            invalid(QString::fromUtf8(missing));
        if (!needed && !v.empty())
            invalid(QStringLiteral("O argumento %1 não se aplica a %2.").arg(QString::fromUtf8(what), q(entity)));
    };
    check(a.tax, needs != Needs::Nothing, "imposto", "Imposto deve ser informado.");
    check(a.company, needs == Needs::Registration, "empresa", "Empresa deve ser informada.");
    check(a.registration, needs == Needs::Registration, "inscrição estadual", "Inscrição estadual deve ser informada.");

    // A large packet comes still encoded and is read as a stream, never as a tree.
    const QCborValue &linhas = params.at(4);
    if (!linhas.isMap() && !(linhas.isTag() && linhas.tag() == QCborTag(QCborKnownTags::EncodedCbor)))
        invalid(QStringLiteral("As linhas da importação devem vir num pacote de dados."));
    dataset::DataPacket p;
    try {
        p = dataset::DataPacket::readCbor(rpc::encodedParam(linhas));
    } catch (const dataset::PacketError &e) {
        invalid(QStringLiteral("O pacote de linhas da importação é inválido: %1").arg(e.message()));
    }
    qsizetype key = -1, group = -1;
    for (qsizetype i = 0; i < p.fields.size(); ++i) {
        if (p.fields.at(i).name == QLatin1String(imp::CHAVE))
            key = i;
        else if (p.fields.at(i).name == QLatin1String(imp::CDGRUPOFISC))
            group = i;
    }
    if (key < 0 || group < 0)
        invalid(QStringLiteral("O pacote de linhas da importação deve ter os campos CHAVE e CDGRUPOFISC."));
    // Line numbers are kept in 32 bits; no request the server accepts comes near.
    if (std::uint64_t(p.rows.size()) >= kNotFound)
        invalid(QStringLiteral("O pacote de linhas da importação tem linhas demais."));
    const std::size_t n = std::size_t(p.rows.size());
    a.keys.reserve(n, 8 * n);
    a.groups.reserve(n, 3 * n);
    std::string scratch;
    for (qsizetype i = 0; i < p.rows.size(); ++i) {
        const dataset::RowRef r = p.rows.ref(i);
        a.keys.add(lineValue(r, key, scratch));
        a.groups.add(lineValue(r, group, scratch));
    }
    return a;
}

ImportPlan planImport(storage::Connection &c, const ImportArgs &a, bool keepLines)
{
    const imp::Entity &e = *a.entity;
    if (e.needs != Needs::Nothing)
        requireTax(c, a.tax);
    if (e.needs == Needs::Registration) {
        requireCompany(c, a.company);
        requireRegistration(c, a.company, a.registration);
    }
    ImportPlan plan;
    const std::size_t n = a.size();
    plan.lines = std::int64_t(n);

    std::unordered_set<std::string> groups;
    {
        auto st = c.prepare("SELECT CDGRUPOFISC FROM GRUPOFISCAL");
        while (st->step())
            groups.insert(str(st->text(0)));
    }

    // The lines as a table imp_linhas; the records they name, by code and by CNPJ/CPF.
    std::vector<Resolved> resolved(n);
    PackedStrings docs;
    bool anyDocument = false;   // some line may be a CNPJ/CPF: only then the second join
    if (!e.document.empty()) {
        docs.reserve(n, 0);
        char digits[14];
        for (std::size_t i = 0; i < n; ++i) {
            docs.add(documentDigits(a.keys[i], digits));
            anyDocument = anyDocument || !docs[i].empty();
        }
    }
    // SQLite reads the lines where they are; PostgreSQL gets them by COPY.
    const LineRows lineRows(a, docs);
    const std::vector<TempColumn> columns{{"NRLINHA", true}, {"CHAVE"}, {"DOC"}, {"GRUPO"}};
    std::vector<storage::ShownColumn> shownColumns;
    for (const TempColumn &col : columns)
        shownColumns.push_back({col.name, col.integer});
    std::unique_ptr<storage::ShownRows> shown = c.showRows("imp_linhas", shownColumns, lineRows);
    if (!shown) {
        plan.table = std::make_unique<TempTable>(c, "imp_linhas", columns);
        const auto load = plan.table->bulkInsert();
        std::vector<std::optional<std::string_view>> row(4);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string number = std::to_string(i);
            row[0] = number;
            for (std::size_t k = 1; k < 4; ++k)
                row[k] = lineRows.text(i, k);
            load->addRow(row);
        }
        load->finish();
    }
    GroupIds current;
    std::vector<std::string> documentRecords;
    // Where the changes are read in place and the records are the entity's own rows, each
    // record's rowid: the UPDATE then finds its row without a second search by code.
    const bool rows = shown && keepLines && e.needs == Needs::Nothing;
    {
        const std::string key = str(e.recordKey);
        const std::string now = e.needs == Needs::Nothing ? "r.CDGRUPOFISC" : "p.CDGRUPOFISC";
        const std::string from = " FROM imp_linhas t JOIN " + str(e.records) + " r ON ";
        const std::string param = e.needs == Needs::Nothing
            ? std::string()
            : " LEFT JOIN " + str(e.table) + " p ON p." + key + " = r." + key + " AND " + paramFilter(a, "p");
        // Each line's number, its record's group now and rowid; `also` adds columns.
        const std::string rowid = rows ? ", r.rowid" : ", 0";
        const auto run = [&](const std::string &also, const std::string &on, auto fn) {
            auto st = c.prepare("SELECT t.NRLINHA, " + now + rowid + also + from + on + param);
            const history::Params values = e.needs == Needs::Nothing ? history::Params{} : paramValues(a);
            for (std::size_t i = 0; i < values.size(); ++i)
                st->bind(int(i + 1), values[i]);
            while (st->step()) {
                Resolved &r = resolved.at(std::size_t(number(st->text(0))));
                fn(r, st->isNull(1) ? 0 : current.id(st->text(1)), number(st->text(2)), *st);
            }
        };
        // A code matches its record exactly, so the record is the line's own key.
        run("", "r." + key + " = t.CHAVE", [](Resolved &r, std::uint32_t now, std::int64_t row, storage::Statement &) {
            r.record = ImportPlan::kByCode;
            r.current = now;
            r.row = row;
        });
        if (anyDocument)
            run(", r." + key, "r." + str(e.document) + " = t.DOC",
                [&](Resolved &r, std::uint32_t now, std::int64_t row, storage::Statement &st) {
                    if (++r.documentMatches == 1 && r.record == kNotFound) {
                        r.byDocument = std::uint32_t(documentRecords.size());
                        documentRecords.emplace_back(st.text(3));
                        r.current = now;
                        r.row = row;
                    }
                });
        for (std::size_t i = 0; i < n; ++i) {
            Resolved &r = resolved[i];
            const std::string_view doc = docs.size() ? docs[i] : std::string_view();
            if (r.record == kNotFound && r.documentMatches == 1 && validDocument(doc)) {
                r.record = r.byDocument;
                plan.byDocument = true;
            }
            if (r.record != kNotFound || doc.empty())
                continue;
            // Not a code: its CNPJ/CPF decides the message.
            if (!validDocument(doc))
                r.documentMatches = -1;
        }
    }
    shown.reset();
    if (!keepLines)
        plan.table.reset();
    plan.kept = keepLines;
    const bool listChanges = keepLines && !plan.table;
    if (listChanges)
        plan.changes.reserve(n);   // an import usually changes most of its lines
    const auto recordOf = [&](std::size_t i) {
        const std::uint32_t r = resolved[i].record;
        return r == ImportPlan::kByCode ? a.keys[i] : std::string_view(documentRecords[r]);
    };

    // Each line's own error, then the records named twice with different groups. A line has
    // one error at most; one found for an earlier line puts the list out of order.
    const QString noun = recordNoun(e);
    const bool feminine = std::string_view(e.records) == "FILIAL";   // the one feminine noun
    const QString repeated = feminine ? QStringLiteral("repetida") : QStringLiteral("repetido");
    std::vector<bool> wrong(n);
    bool unordered = false;
    const auto fail = [&](std::size_t line, QString reason) {
        wrong[line] = true;
        plan.errors.emplace_back(std::int64_t(line + 1), std::move(reason));
    };
    // The first line naming each record: a flat index sized once, since a node per line
    // made this the largest part of checking 500,000 lines.
    FirstLines first(n);
    std::vector<std::uint32_t> firstOf(n, kNoLine);
    std::vector<std::uint32_t> disagreeing(n, kNoLine);   // by first line: a line with another group
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view key = a.keys[i], group = a.groups[i];
        const Resolved &r = resolved[i];
        if (key.empty())
            fail(i, QStringLiteral("Registro não informado."));
        else if (codePoints(group) > 3)
            fail(i, QStringLiteral("Grupo fiscal \"%1\" ilegível: informe o código de até 3 caracteres.").arg(q(group)));
        else if (r.documentMatches == -1)
            fail(i, QStringLiteral("CNPJ/CPF %1 com dígito verificador errado.").arg(q(key)));
        else if (r.record == kNotFound && r.documentMatches > 1)
            fail(i, QStringLiteral("CNPJ/CPF %1 pertence a %2 registros: informe o código.").arg(q(key)).arg(r.documentMatches));
        else if (r.record == kNotFound)
            fail(i, QStringLiteral("%1 %2 não %3.").arg(noun, q(key), feminine ? QStringLiteral("cadastrada") : QStringLiteral("cadastrado")));
        else if (!group.empty() && !groups.count(str(group)))
            fail(i, QStringLiteral("Grupo fiscal %1 não cadastrado.").arg(q(group)));
        // A line whose only error is its group still names its record: another line of the
        // record with another group is no choice to import either.
        const bool recordKnown = !key.empty() && r.record != kNotFound && r.documentMatches != -1;
        if (wrong[i] && !recordKnown)
            continue;
        const std::string_view record = recordOf(i);
        const std::uint32_t other = first.find(std::uint32_t(i), [&](std::uint32_t j) { return recordOf(j) == record; },
                                               std::hash<std::string_view>{}(record));
        firstOf[i] = other;
        if (other != i && a.groups[other] != group) {
            if (!wrong[i])
                fail(i, QStringLiteral("%1 %2 %3 com outro grupo fiscal (linha %4).").arg(noun, q(record), repeated).arg(other + 1));
            if (!wrong[other]) {
                fail(other, QStringLiteral("%1 %2 %3 com outro grupo fiscal (linha %4).").arg(noun, q(record), repeated).arg(i + 1));
                unordered = true;
                disagreeing[other] = std::uint32_t(i);
            }
        }
    }
    // A record whose lines disagree is wrong on every line: one that agrees with its first
    // line would otherwise go with "only the lines without error" and pick a group.
    for (std::size_t i = 0; i < n; ++i) {
        if (wrong[i] || firstOf[i] == kNoLine || disagreeing[firstOf[i]] == kNoLine)
            continue;
        fail(i, QStringLiteral("%1 %2 %3 com outro grupo fiscal (linha %4).")
                    .arg(noun, q(recordOf(i)), repeated).arg(disagreeing[firstOf[i]] + 1));
        unordered = true;
    }
    if (unordered)
        std::sort(plan.errors.begin(), plan.errors.end(), [](const auto &x, const auto &y) { return x.first < y.first; });

    std::vector<bool> counted(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (wrong[i])
            continue;
        const Resolved &r = resolved[i];
        // Every line without error has its first line; a record counts once.
        const std::uint32_t f = firstOf[i];
        if (counted[f]) {
            ++plan.same;
            ++plan.repeats;
            continue;
        }
        counted[f] = true;
        if (current.named(r.current, a.groups[i])) {
            ++plan.same;
            continue;
        }
        ++plan.toChange;
        ++(e.needs != Needs::Nothing && r.current == 0 ? plan.inserted : plan.changed);
        if (listChanges)
            plan.changes.push_back({std::uint32_t(i), r.record, r.current, r.row});
    }
    if (listChanges) {
        plan.documentRecords = std::move(documentRecords);
        plan.groupNames = current.take();
    }
    return plan;
}

void lockImport(history::Recorder &h, const ImportArgs &a)
{
    h.lock(history::table(a.entity->records));
    if (a.entity->table != a.entity->records)
        h.lock(history::table(a.entity->table));
    // The branches' copies of billing types are written too: locked before the first capture
    // numbers the operation, as every call over both tables does.
    if (std::string_view(a.entity->table) == "TIPOFATUR")
        h.lock(history::table("PARAMFILIAL"));
    // The groups the plan reads stay as they are until the commit, so a group that a line
    // names cannot be removed in between (SHARE: other imports and the saves' own checks
    // of their groups go on; adding, renaming or removing a group waits).
    if (!h.previewing() && h.connection().backend() == storage::Backend::Postgres)
        h.connection().exec("LOCK TABLE GRUPOFISCAL IN SHARE MODE");
}

bool importWritesOnlyGroups(const ImportArgs &a)
{
    return a.entity->needs == Needs::Nothing;
}

std::pair<std::int64_t, std::int64_t> applyImport(history::Recorder &h, const ImportArgs &a, ImportPlan &plan)
{
    if (!plan.errors.empty() || !plan.kept)
        throw std::logic_error("applyImport: a plan with errors, or without its lines");
    const auto done = [&plan](std::unique_ptr<storage::ShownRows> shown) {
        shown.reset();
        if (plan.table)
            plan.table->drop();
    };
    if (plan.toChange == 0) {
        done(nullptr);
        return {0, 0};
    }
    const imp::Entity &e = *a.entity;
    storage::Connection &c = h.connection();
    const std::string key = str(e.recordKey);
    const std::string t = str(e.table);
    const bool parameters = e.needs != Needs::Nothing;
    const history::Params values = parameters ? paramValues(a) : history::Params{};

    // The lines become the changes, one per record, each under its record's code.
    const auto exec = [&c](const std::string &sql, const history::Params &params) {
        auto st = c.prepare(sql);
        for (std::size_t i = 0; i < params.size(); ++i)
            st->bind(int(i + 1), params[i]);
        st->execute();
    };
    // SQLite reads the plan's changes in place, one per record under its code already.
    const ChangeRows changeRows(a, plan);
    std::unique_ptr<storage::ShownRows> shown;
    if (!plan.table)
        shown = c.showRows("imp_linhas", {{"CHAVE"}, {"GRUPO"}, {"ANTERIOR"}, {"LINHAREG", true}}, changeRows);
    if (!shown && !plan.table)
        throw std::logic_error("applyImport: the changes listed for a backend that cannot read them in place");
    if (plan.table && plan.byDocument)
        exec("UPDATE imp_linhas SET CHAVE = (SELECT r." + key + " FROM " + str(e.records) + " r WHERE r."
                    + str(e.document) + " = imp_linhas.DOC) WHERE DOC IS NOT NULL AND NOT EXISTS (SELECT 1 FROM "
                    + str(e.records) + " r WHERE r." + key + " = imp_linhas.CHAVE)",
                {});
    // Every line now names its record by code and a record's lines agree on the group: its
    // first line stands for all. One statement, since one per repeat scans the table each time.
    if (plan.table && plan.repeats > 0)
        exec("DELETE FROM imp_linhas WHERE NRLINHA NOT IN (SELECT MIN(NRLINHA) FROM imp_linhas GROUP BY CHAVE)", {});
    if (plan.table && plan.same > plan.repeats)
        exec("DELETE FROM imp_linhas WHERE GRUPO IS NOT DISTINCT FROM (SELECT x.CDGRUPOFISC FROM " + t
                    + " x WHERE x." + key + " = imp_linhas.CHAVE" + (parameters ? " AND " + paramFilter(a, "x") : "")
                    + ")",
                values);

    const history::Table &ht = history::table(t);
    if (!parameters) {
        // Read in place, the changes carry each record's group as the plan read it in this
        // transaction: the history needs no second lookup of every record.
        if (shown)
            h.capture(ht, history::Action::Changed, "m.ANTERIOR", "m.GRUPO", "FROM imp_linhas m", {}, {"m.CHAVE"});
        else
            h.capture(ht, history::Action::Changed, "x.CDGRUPOFISC", "m.GRUPO",
                      "FROM " + t + " x JOIN imp_linhas m ON x." + key + " = m.CHAVE", {}, {"x." + key});
        const std::string row = shown ? t + ".rowid = m.LINHAREG" : t + "." + key + " = m.CHAVE";
        h.write("UPDATE " + t + " SET CDGRUPOFISC = m.GRUPO FROM imp_linhas m WHERE " + row, {});
        if (t == "TIPOFATUR") {
            // Every branch's copy of a billing type's group follows it, as a save of the tab does.
            const std::string differs = " WHERE x.CDGRUPOFISC IS DISTINCT FROM m.GRUPO";
            h.capture(history::table("PARAMFILIAL"), history::Action::Changed, "x.CDGRUPOFISC", "m.GRUPO",
                      "FROM PARAMFILIAL x JOIN imp_linhas m ON x.CDTIPOFATUR = m.CHAVE" + differs, {},
                      {"x.CDFILIAL", "x.CDTIPOFATUR"});
            h.write("UPDATE PARAMFILIAL SET CDGRUPOFISC = m.GRUPO FROM imp_linhas m WHERE PARAMFILIAL.CDTIPOFATUR = "
                    "m.CHAVE AND PARAMFILIAL.CDGRUPOFISC IS DISTINCT FROM m.GRUPO",
                    {});
        }
        done(std::move(shown));
        return {plan.changed, plan.inserted};
    }

    // A parameter row with a group is changed, one without is deleted; a line whose record
    // has no row inserts one (a line without group and without row was dropped as the same).
    const bool perRegistration = e.needs == Needs::Registration;
    std::vector<std::string> keys{"x.CDIMPOSTO"};
    std::vector<std::string> newKeys{"$1"};
    if (perRegistration) {
        keys.insert(keys.end(), {"x.CDEMPRESA", "x.CDINSCESTA"});
        newKeys.insert(newKeys.end(), {"$2", "$3"});
    }
    keys.push_back("x." + key);
    newKeys.push_back("m.CHAVE");
    const std::string joined = "FROM " + t + " x JOIN imp_linhas m ON x." + key + " = m.CHAVE AND " + paramFilter(a, "x");
    const std::string own = paramFilter(a, t.c_str());
    const std::string noRow = " AND NOT EXISTS (SELECT 1 FROM " + t + " x WHERE x." + key + " = m.CHAVE AND "
        + paramFilter(a, "x") + ")";

    h.capture(ht, history::Action::Changed, "x.CDGRUPOFISC", "m.GRUPO", joined + " WHERE m.GRUPO IS NOT NULL", values, keys);
    h.write("UPDATE " + t + " SET CDGRUPOFISC = m.GRUPO FROM imp_linhas m WHERE " + t + "." + key
                + " = m.CHAVE AND m.GRUPO IS NOT NULL AND " + own,
            values);
    h.capture(ht, history::Action::Deleted, "x.CDGRUPOFISC", "NULL", joined + " WHERE m.GRUPO IS NULL", values, keys);
    h.write("DELETE FROM " + t + " WHERE " + own + " AND " + key + " IN (SELECT CHAVE FROM imp_linhas WHERE GRUPO IS NULL)",
            values);
    h.capture(ht, history::Action::Inserted, "NULL", "m.GRUPO", "FROM imp_linhas m WHERE m.GRUPO IS NOT NULL" + noRow,
              values, newKeys);
    const std::string columns = perRegistration ? "CDIMPOSTO, CDEMPRESA, CDINSCESTA, " : "CDIMPOSTO, ";
    // Cast: the same parameters are compared with the table's columns in the filter.
    const std::string params = perRegistration ? "CAST($1 AS VARCHAR), CAST($2 AS VARCHAR), CAST($3 AS VARCHAR), "
                                               : "CAST($1 AS VARCHAR), ";
    h.write("INSERT INTO " + t + " (" + columns + key + ", CDGRUPOFISC) SELECT " + params
                + "m.CHAVE, m.GRUPO FROM imp_linhas m WHERE m.GRUPO IS NOT NULL" + noRow,
            values);
    done(std::move(shown));
    return {plan.changed, plan.inserted};
}

} // namespace fiscal::appserver::bulk
