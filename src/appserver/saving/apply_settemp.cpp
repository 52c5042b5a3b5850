// The second way of applying a change set (apply.h): set-based, the items in a temporary
// table and one statement per kind of action over it.

#include "appserver/common/temptable.h"
#include "appserver/history/history.h"
#include "appserver/saving/apply_p.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <stdexcept>

namespace fiscal::appserver::changeset::detail {

namespace {

constexpr const char *kTemp = "wr_changes";
constexpr std::size_t kEachTupleUpTo = 32;

const char *actionCode(Action a)
{
    switch (a) {
    case Action::None: return "N";
    case Action::SetGroup: return "S";
    case Action::Insert: return "I";
    case Action::Update: return "U";
    case Action::Delete: return "D";
    }
    return "N";
}

std::string k(std::size_t i) { return "K" + std::to_string(i + 1); }

// "T.K = c.K1 AND ..." joining the target (or a reference) with the temporary table.
std::string joinKeys(const TableSpec &spec, const std::string &alias)
{
    std::string s;
    for (std::size_t i = 0; i < spec.keys.size(); ++i)
        s += (i ? " AND " : "") + alias + "." + spec.keys[i].name + " = c." + k(i);
    return s;
}

const Item &itemAt(const std::vector<Item> &items, std::string_view seqText)
{
    int seq = 0;
    std::from_chars(seqText.data(), seqText.data() + seqText.size(), seq);
    auto it = std::lower_bound(items.begin(), items.end(), seq,
                               [](const Item &i, int s) { return i.seq < s; });
    if (it == items.end() || it->seq != seq)
        throw std::logic_error("change-set item not found");
    return *it;
}

// First item (by position) that the query selects, as SEQ in column 0.
const Item *firstSelected(storage::Connection &c, const std::vector<Item> &items, const std::string &sql)
{
    auto st = c.prepare(sql);
    if (!st->step())
        return nullptr;
    return &itemAt(items, st->text(0));
}

void checkReferencesSetBased(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items)
{
    for (const Reference &ref : spec.references) {
        std::set<std::vector<std::string>> tuples;
        for (const Item &i : items) {
            tuples.insert(refValues(ref, i));
            if (tuples.size() > kEachTupleUpTo)
                break;
        }
        if (tuples.size() <= kEachTupleUpTo) {
            checkReferenceEach(c, ref, items, [](const Item &i) -> const Item & { return i; });
            continue;
        }
        std::string match;
        for (std::size_t i = 0; i < ref.keys.size(); ++i)
            match += (i ? " AND " : "") + std::string("r.") + ref.columns[i] + " = c." + k(std::size_t(ref.keys[i]));
        const Item *bad = firstSelected(c, items,
            std::string("SELECT c.SEQ FROM ") + kTemp + " c WHERE NOT EXISTS (SELECT 1 FROM " + ref.table
                + " r WHERE " + match + ") ORDER BY c.SEQ LIMIT 1");
        if (bad)
            notFound(format(ref.missing, bad->key));
    }
}

// The rows of the temporary table, all written now, as history items.
void recordSetBased(const TableSpec &spec, const std::map<Action, std::int64_t> &expected, history::Recorder &h)
{
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < spec.keys.size(); ++i)
        keys.push_back("c." + k(i));
    struct Kind { Action action; history::Action as; const char *before, *after; };
    const Kind kinds[] = {
        {Action::SetGroup, history::Action::Changed, "c.OLDG", "c.NEWG"},
        {Action::Update, history::Action::Changed, "c.OLDG", "c.NEWG"},
        {Action::Insert, history::Action::Inserted, "NULL", "c.NEWG"},
        {Action::Delete, history::Action::Deleted, "c.OLDG", "NULL"},
    };
    for (const Kind &kind : kinds) {
        const auto it = expected.find(kind.action);
        if (it == expected.end() || !it->second)
            continue;
        h.record(history::table(spec.table), kind.as, kind.before, kind.after,
                 std::string("FROM ") + kTemp + " c WHERE c.ACT = '" + actionCode(kind.action) + "'", {}, keys);
    }
}

} // namespace

void applySetBased(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items,
                   history::Recorder &h)
{
    std::vector<TempColumn> columns{{"SEQ", true}, {"ACT"}};
    for (std::size_t i = 0; i < spec.keys.size(); ++i)
        columns.push_back({k(i)});
    columns.push_back({"OLDG"});
    columns.push_back({"NEWG"});
    TempTable temp(c, kTemp, columns);

    std::map<Action, std::int64_t> expected;
    std::vector<std::optional<std::string_view>> row;
    for (const Item &i : items) {
        const std::string seq = std::to_string(i.seq);
        row.assign({seq, actionCode(i.action)});
        for (const std::string &key : i.key)
            row.push_back(key);
        row.push_back(opt(i.oldGroup));
        row.push_back(opt(i.newGroup));
        temp.add(row);
        ++expected[i.action];
    }
    temp.finish();

    checkReferencesSetBased(c, spec, items);

    const std::string t = spec.table;
    const std::string g = spec.groupColumn;
    std::vector<std::pair<Action, std::string>> statements;
    std::string diagnosis;
    if (spec.kind == TableKind::Entity) {
        statements.emplace_back(Action::SetGroup,
            "UPDATE " + t + " SET " + g + " = c.NEWG FROM " + kTemp + " c WHERE c.ACT = 'S' AND "
                + joinKeys(spec, t) + " AND " + t + "." + g + " IS NOT DISTINCT FROM c.OLDG");
        diagnosis = "SELECT c.SEQ FROM " + std::string(kTemp) + " c LEFT JOIN " + t + " t ON "
            + joinKeys(spec, "t") + " WHERE c.ACT = 'S' AND (t." + spec.keys[0].name
            + " IS NULL OR NOT (t." + g + " IS NOT DISTINCT FROM c.OLDG)) ORDER BY c.SEQ LIMIT 1";
    } else {
        std::string cols;
        for (std::size_t i = 0; i < spec.keys.size(); ++i)
            cols += "c." + k(i) + ", ";
        statements.emplace_back(Action::Delete,
            "DELETE FROM " + t + " WHERE (" + keyColumns(spec) + ", " + g + ") IN (SELECT " + cols
                + "c.OLDG FROM " + kTemp + " c WHERE c.ACT = 'D')");
        statements.emplace_back(Action::Update,
            "UPDATE " + t + " SET " + g + " = c.NEWG FROM " + kTemp + " c WHERE c.ACT = 'U' AND "
                + joinKeys(spec, t) + " AND " + t + "." + g + " = c.OLDG");
        statements.emplace_back(Action::Insert,
            "INSERT INTO " + t + " (" + keyColumns(spec) + ", " + g + ") SELECT " + cols + "c.NEWG FROM "
                + kTemp + " c WHERE c.ACT = 'I' ON CONFLICT (" + keyColumns(spec) + ") DO NOTHING");
        diagnosis = "SELECT c.SEQ FROM " + std::string(kTemp) + " c LEFT JOIN " + t + " t ON "
            + joinKeys(spec, "t") + " WHERE (c.ACT = 'I' AND t." + spec.keys[0].name + " IS NOT NULL)"
            + " OR (c.ACT IN ('U', 'D') AND (t." + spec.keys[0].name + " IS NULL OR t." + g
            + " <> c.OLDG)) ORDER BY c.SEQ LIMIT 1";
    }

    c.exec("SAVEPOINT wr_apply");
    for (const auto &[action, sql] : statements) {
        if (!expected[action])
            continue;
        const std::int64_t n = c.prepare(sql)->execute();
        if (n == expected[action])
            continue;
        // Look at the rows as they were before this call touched them.
        c.exec("ROLLBACK TO SAVEPOINT wr_apply");
        if (const Item *bad = firstSelected(c, items, diagnosis))
            conflict(conflictMessage(recordText(spec, *bad)));
        conflict(QStringLiteral("Um dos registros enviados foi alterado por outro usuário. "
                                "Atualize os dados e tente novamente."));
    }
    c.exec("RELEASE SAVEPOINT wr_apply");
    recordSetBased(spec, expected, h);
    temp.drop();
}

} // namespace fiscal::appserver::changeset::detail
