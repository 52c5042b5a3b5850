// Writing a decoded change set: row by row for the usual one-row save, set-based through a
// temporary table for large ones. Both paths give the same results and the same messages.

#include "appserver/saving/changeset.h"

#include "appserver/history/history.h"
#include "appserver/common/checks.h"
#include "appserver/common/temptable.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <set>

namespace fiscal::appserver::changeset {

using writes::conflict;
using writes::conflictMessage;
using writes::notFound;

namespace {

using Param = std::optional<std::string_view>;

Param opt(const Value &v) { return v ? Param(*v) : std::nullopt; }

std::string keyColumns(const TableSpec &spec, const char *prefix = "")
{
    std::string s;
    for (std::size_t k = 0; k < spec.keys.size(); ++k)
        s += (k ? ", " : "") + std::string(prefix) + spec.keys[k].name;
    return s;
}

// "A = $first AND B = $first+1 ..."
std::string keyEquals(const TableSpec &spec, int first)
{
    std::string s;
    for (std::size_t k = 0; k < spec.keys.size(); ++k)
        s += (k ? " AND " : "") + std::string(spec.keys[k].name) + " = $" + std::to_string(first + int(k));
    return s;
}

void checkGroups(storage::Connection &c, const std::vector<Item> &items)
{
    std::set<std::string> groups;
    for (const Item &i : items)
        if (i.action != Action::None && i.newGroup)
            groups.insert(*i.newGroup);
    for (const std::string &g : groups)
        writes::requireGroup(c, g);
}

std::vector<std::string> refValues(const Reference &ref, const Item &item)
{
    std::vector<std::string> v;
    for (int k : ref.keys)
        v.push_back(item.key[std::size_t(k)]);
    return v;
}

bool refExists(storage::Connection &c, const Reference &ref, const std::vector<std::string> &values)
{
    std::string sql = std::string("SELECT 1 FROM ") + ref.table + " WHERE ";
    for (std::size_t i = 0; i < ref.columns.size(); ++i)
        sql += (i ? " AND " : "") + std::string(ref.columns[i]) + " = $" + std::to_string(i + 1);
    auto st = c.prepareCached(sql);
    for (std::size_t i = 0; i < values.size(); ++i)
        st->bind(int(i + 1), values[i]);
    return st->step();
}

// Checks one reference of `items` tuple by tuple (distinct tuples only).
template <class Items, class Get>
void checkReferenceEach(storage::Connection &c, const Reference &ref, const Items &items, Get get)
{
    std::set<std::vector<std::string>> checked;
    for (const auto &entry : items) {
        const Item &item = get(entry);
        std::vector<std::string> values = refValues(ref, item);
        if (!checked.insert(values).second)
            continue;
        if (!refExists(c, ref, values))
            notFound(writes::format(ref.missing, item.key));
    }
}

// ---- row by row ------------------------------------------------------------------------

class RowWriter {
public:
    // With `groupInUpdate`, the entity UPDATE itself only writes a group that exists, and a
    // missing group is found when the UPDATE misses: one statement instead of two per save.
    // Only for change sets whose messages cannot depend on the order of the checks.
    // With `inlineHistory` (PostgreSQL, a one-row save) that UPDATE also records the
    // operation, so that the save stays one statement.
    RowWriter(storage::Connection &c, const TableSpec &spec, history::Recorder &h, bool groupInUpdate = false,
              bool inlineHistory = false)
        : m_c(c), m_spec(spec), m_h(h), m_table(history::table(spec.table)), m_groupInUpdate(groupInUpdate),
          m_inline(inlineHistory) {}

    void write(const Item &item)
    {
        switch (item.action) {
        case Action::None:
            return;
        case Action::SetGroup:
            return setGroup(item);
        case Action::Insert:
            return insert(item);
        case Action::Update:
            expectOne(item, m_update, [&] {
                return "UPDATE " + table() + " SET " + group() + " = $1 WHERE " + keyEquals(m_spec, 2)
                    + " AND " + group() + " = $" + std::to_string(2 + keyCount());
            }, {opt(item.newGroup)}, opt(item.oldGroup));
            return m_h.add(m_table, history::Action::Changed, item.key, opt(item.oldGroup), opt(item.newGroup));
        case Action::Delete:
            expectOne(item, m_delete, [&] {
                return "DELETE FROM " + table() + " WHERE " + keyEquals(m_spec, 1)
                    + " AND " + group() + " = $" + std::to_string(1 + keyCount());
            }, {}, opt(item.oldGroup));
            return m_h.add(m_table, history::Action::Deleted, item.key, opt(item.oldGroup), std::nullopt);
        }
    }

private:
    std::string table() const { return m_spec.table; }
    std::string group() const { return m_spec.groupColumn; }
    int keyCount() const { return int(m_spec.keys.size()); }

    void setGroup(const Item &item)
    {
        // The interstate parameter was written by screens that stored "" for no group.
        const std::string was = m_spec.kind == TableKind::General
            ? "COALESCE(" + group() + ", '') = COALESCE($" + std::to_string(2 + keyCount()) + ", '')"
            : group() + " IS NOT DISTINCT FROM $" + std::to_string(2 + keyCount());
        const bool groupInUpdate = m_groupInUpdate && item.newGroup;
        const int opParam = 3 + keyCount();
        const std::int64_t n = run(groupInUpdate ? m_setGroupChecked : m_setGroup, [&] {
            std::string sql = "UPDATE " + table() + " SET " + group() + " = $1 WHERE " + keyEquals(m_spec, 2)
                + " AND " + was;
            if (groupInUpdate)
                sql += " AND EXISTS (SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1)";
            if (!m_inline)
                return sql;
            std::vector<std::string> keyParams;
            for (int k = 0; k < keyCount(); ++k)
                keyParams.push_back("$" + std::to_string(2 + k));
            return m_h.inlineSql(sql, m_table, history::Action::Changed, keyParams,
                                 "$" + std::to_string(2 + keyCount()), "$1", opParam);
        }, {opt(item.newGroup)}, item, opt(item.oldGroup), [&](storage::Statement &st) {
            if (m_inline)
                m_h.bindInline(st, opParam);
        });
        if (n == 1) {
            if (m_inline)
                m_h.inlined(m_table, history::Action::Changed);
            else
                m_h.add(m_table, history::Action::Changed, item.key, opt(item.oldGroup), opt(item.newGroup));
            return;
        }
        // The group is what the separate check would have refused first.
        if (groupInUpdate)
            writes::requireGroup(m_c, *item.newGroup);
        if (m_spec.kind == TableKind::Entity && !refExists(m_c, m_spec.references.front(), item.key))
            notFound(writes::format(m_spec.references.front().missing, item.key));
        conflict(conflictMessage(recordText(m_spec, item)));
    }

    void insert(const Item &item)
    {
        std::string values;
        for (int k = 1; k <= keyCount() + 1; ++k)
            values += (k > 1 ? ", $" : "$") + std::to_string(k);
        const std::int64_t n = run(m_insert, [&] {
            return "INSERT INTO " + table() + " (" + keyColumns(m_spec) + ", " + group() + ") VALUES ("
                + values + ") ON CONFLICT (" + keyColumns(m_spec) + ") DO NOTHING";
        }, {}, item, opt(item.newGroup));
        if (n != 1)
            conflict(conflictMessage(recordText(m_spec, item)));
        m_h.add(m_table, history::Action::Inserted, item.key, std::nullopt, opt(item.newGroup));
    }

    template <class Sql>
    void expectOne(const Item &item, std::unique_ptr<storage::Statement> &st, Sql sql,
                   std::initializer_list<Param> before, Param after)
    {
        if (run(st, sql, before, item, after) != 1)
            conflict(conflictMessage(recordText(m_spec, item)));
    }

    // Binds `before`, then the key, then `after` (and what `more` binds), and runs the
    // statement (prepared once).
    template <class Sql>
    std::int64_t run(std::unique_ptr<storage::Statement> &st, Sql sql, std::initializer_list<Param> before,
                     const Item &item, Param after,
                     const std::function<void(storage::Statement &)> &more = {})
    {
        if (!st)
            st = m_c.prepareCached(sql());
        else
            st->reset();
        int i = 1;
        for (const Param &p : before)
            st->bind(i++, p);
        for (const std::string &k : item.key)
            st->bind(i++, std::string_view(k));
        st->bind(i, after);
        if (more)
            more(*st);
        return st->execute();
    }

    storage::Connection &m_c;
    const TableSpec &m_spec;
    history::Recorder &m_h;
    const history::Table &m_table;
    const bool m_groupInUpdate;
    const bool m_inline;
    std::unique_ptr<storage::Statement> m_setGroup, m_setGroupChecked, m_insert, m_update, m_delete;
};

// The usual save (entity rows moved to one group) checks its group inside the UPDATE. The
// messages stay those of checking the group first: with one group and no other check
// before the writes, the first UPDATE that misses is where that check would have failed.
bool groupCheckFitsInUpdate(const TableSpec &spec, const std::vector<Item> &items)
{
    if (spec.kind != TableKind::Entity)
        return false;
    std::optional<std::string> group;
    for (const Item &i : items) {
        if (i.action != Action::SetGroup)
            return false;
        if (i.newGroup && group && *group != *i.newGroup)
            return false;
        if (i.newGroup)
            group = i.newGroup;
    }
    return true;
}

void applyRowByRow(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items,
                   history::Recorder &h)
{
    const bool groupInUpdate = groupCheckFitsInUpdate(spec, items);
    if (!groupInUpdate)
        checkGroups(c, items);

    // An entity row that is written proves its key by the write itself.
    std::vector<const Item *> toCheck;
    for (const Item &i : items)
        if (spec.kind != TableKind::Entity || i.action == Action::None)
            toCheck.push_back(&i);
    for (const Reference &ref : spec.references)
        checkReferenceEach(c, ref, toCheck, [](const Item *i) -> const Item & { return *i; });

    const bool inlineHistory = c.backend() == storage::Backend::Postgres && singleStatement(spec, items);
    RowWriter writer(c, spec, h, groupInUpdate, inlineHistory);
    for (const Item &i : items)
        writer.write(i);
}

// ---- set-based -------------------------------------------------------------------------

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
            notFound(writes::format(ref.missing, bad->key));
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

void applySetBased(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items,
                   history::Recorder &h)
{
    std::vector<writes::TempColumn> columns{{"SEQ", true}, {"ACT"}};
    for (std::size_t i = 0; i < spec.keys.size(); ++i)
        columns.push_back({k(i)});
    columns.push_back({"OLDG"});
    columns.push_back({"NEWG"});
    writes::TempTable temp(c, kTemp, columns);

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

// The copies of each group an update set: one statement per changed key (a billing type
// has nine at most).
void writeCopies(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items,
                 history::Recorder &h)
{
    const std::string g = spec.groupColumn;
    const std::string copies = spec.copiedTo;
    std::unique_ptr<storage::Statement> st;
    for (const Item &i : items) {
        if (i.action != Action::SetGroup || i.deleted)
            continue;
        h.capture(history::table(copies), history::Action::Changed, g, "$1",
                  "FROM " + copies + " WHERE " + spec.keys[0].name + " = $2 AND " + g + " IS DISTINCT FROM $1",
                  {opt(i.newGroup), i.key[0]});
        if (!st)
            st = c.prepareCached("UPDATE " + std::string(spec.copiedTo) + " SET " + g + " = $1 WHERE "
                                 + spec.keys[0].name + " = $2 AND " + g + " IS DISTINCT FROM $1");
        st->bind(1, opt(i.newGroup));
        st->bind(2, i.key[0]);
        st->execute();
    }
}

} // namespace

bool singleStatement(const TableSpec &spec, const std::vector<Item> &items)
{
    return items.size() == 1 && combinable(spec, items);
}

bool combinable(const TableSpec &spec, const std::vector<Item> &items)
{
    return !items.empty() && items.size() < kSetBasedFrom && !spec.copiedTo
           && groupCheckFitsInUpdate(spec, items);
}

void apply(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items, history::Recorder &h)
{
    // The interstate parameter is one row: never worth a temporary table.
    if (items.size() < kSetBasedFrom || spec.kind == TableKind::General) {
        applyRowByRow(c, spec, items, h);
    } else {
        checkGroups(c, items);
        applySetBased(c, spec, items, h);
    }
    if (spec.copiedTo)
        writeCopies(c, spec, items, h);
}

} // namespace fiscal::appserver::changeset
