// Applying a decoded change set: which way is taken (apply.h), and the copies of a billing
// type's group.

#include "appserver/saving/apply.h"

#include "appserver/common/checks.h"
#include "appserver/history/history.h"
#include "appserver/saving/apply_p.h"

namespace fiscal::appserver::changeset {

namespace detail {

std::string keyColumns(const TableSpec &spec, const char *prefix)
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
        requireGroup(c, g);
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

} // namespace detail

using namespace detail;

namespace {

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
    // The copies are written after the rows: both tables are locked before the first row's
    // record numbers the operation, so that no writer of the copies in between (an undo)
    // numbers its operation later and writes first.
    if (spec.copiedTo)
        h.lockAll({spec.table, spec.copiedTo});
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
