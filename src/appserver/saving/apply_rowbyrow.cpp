// The first way of applying a change set (apply.h): row by row, each statement prepared
// once and run per item.

#include "appserver/common/checks.h"
#include "appserver/history/history.h"
#include "appserver/saving/apply.h"
#include "appserver/saving/apply_p.h"

#include <functional>

namespace fiscal::appserver::changeset::detail {

namespace {

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
            requireGroup(m_c, *item.newGroup);
        if (m_spec.kind == TableKind::Entity && !refExists(m_c, m_spec.references.front(), item.key))
            notFound(format(m_spec.references.front().missing, item.key));
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

} // namespace

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

} // namespace fiscal::appserver::changeset::detail
