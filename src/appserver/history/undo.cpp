#include "appserver/history/undo.h"

#include "appserver/history/history.h"
#include "appserver/common/faults.h"

#include <string>
#include <utility>
#include <vector>

namespace fiscal::appserver::history {

namespace {

// Why an item is left alone; 0: it is restored.
enum Reason { Restore = 0, Later = 1, Outside = 2, Gone = 3 };

// "t.K = h.CDCHAVE1 AND ..." between a table and the items of the history.
std::string joinItem(const Table &t, const char *item)
{
    std::string s;
    for (std::size_t i = 0; i < t.keys.size(); ++i)
        s += (i ? " AND " : "") + std::string("t.") + t.keys[i] + " = " + item + ".CDCHAVE" + std::to_string(i + 1);
    return s;
}

std::vector<std::string> itemKeys(const Table &t, const char *item)
{
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < t.keys.size(); ++i)
        keys.push_back(std::string(item) + ".CDCHAVE" + std::to_string(i + 1));
    return keys;
}

std::string idList(const std::vector<std::int64_t> &ids)
{
    std::string s;
    for (std::int64_t i : ids)
        s += (s.empty() ? "" : ", ") + std::to_string(i);
    return s;
}

std::int64_t number(storage::Statement &st, int column)
{
    return std::stoll(std::string(st.text(column)));
}

// The undos recorded after the operation being undone, as the later-write check needs them.
struct LaterUndos {
    std::vector<std::int64_t> removing;   // take a value off their rows: an undo, the undo of a redo, ...
    std::vector<std::int64_t> below;      // undo an operation older than the one being undone
};

LaterUndos laterUndos(storage::Connection &c, std::int64_t id)
{
    // Each undo's depth in its chain (the undo of an undo of ...): odd depths take a value off.
    auto st = c.prepareCached(
        "WITH RECURSIVE cadeia (IDOPERACAO, IDALVO, NRNIVEL) AS ("
        "SELECT IDOPERACAO, IDDESFAZ, 1 FROM HISTOPERACAO WHERE IDOPERACAO > $1 AND IDDESFAZ IS NOT NULL"
        " UNION ALL SELECT c.IDOPERACAO, o.IDDESFAZ, c.NRNIVEL + 1 FROM cadeia c"
        " JOIN HISTOPERACAO o ON o.IDOPERACAO = c.IDALVO WHERE o.IDDESFAZ IS NOT NULL)"
        " SELECT c.IDOPERACAO, u.IDDESFAZ, MAX(c.NRNIVEL) FROM cadeia c"
        " JOIN HISTOPERACAO u ON u.IDOPERACAO = c.IDOPERACAO GROUP BY c.IDOPERACAO, u.IDDESFAZ");
    st->bindInt(1, id);
    LaterUndos out;
    while (st->step()) {
        const std::int64_t undo = number(*st, 0), target = number(*st, 1), depth = number(*st, 2);
        if (target < id)
            out.below.push_back(undo);
        else if (target > id && depth % 2 == 1)
            out.removing.push_back(undo);
    }
    st->reset();
    return out;
}

std::int64_t countOf(storage::Connection &c, const char *sql, std::int64_t id, const Table &t)
{
    auto st = c.prepareCached(sql);
    st->bindInt(1, id);
    st->bind(2, std::string_view(t.name));
    const std::int64_t n = st->step() ? number(*st, 0) : 0;
    st->reset();
    return n;
}

// The statements of one table's undo.
class TableUndoSql {
public:
    TableUndoSql(const Table &t, std::int64_t id, bool anyLater, const LaterUndos &undos)
        : m_t(t), m_id(std::to_string(id)), m_anyLater(anyLater), m_undos(undos)
    {
    }

    // "FROM HISTITEM h ... WHERE" the operation's items of the table, beside the table's row
    // and the later writes of it. `own`: the undo's id once recorded, whose items are no
    // later writes.
    std::string from(std::int64_t own) const
    {
        std::string s = std::string(" FROM HISTITEM h LEFT JOIN ") + m_t.name + " t ON " + joinItem(m_t, "h");
        if (m_anyLater)
            s += laterJoin(own);
        return s + " WHERE h.IDOPERACAO = " + m_id + " AND h.NMTABELA = '" + m_t.name + "'";
    }

    // The Reason of an item, as an SQL expression over h, t and b.
    std::string reason() const
    {
        const std::string g = std::string("t.") + m_t.group;
        const std::string present = std::string("t.") + m_t.keys[0] + " IS NOT NULL";
        // "" and NULL are one for PARAMGERAL.
        const std::string holds = m_t.kind == Kind::General
            ? "COALESCE(" + g + ", '') = COALESCE(h.CDGRUPONOVO, '')"
            : g + " IS NOT DISTINCT FROM h.CDGRUPONOVO";
        // The group to put back still exists ("" is no group for PARAMGERAL, whose interstate
        // group has no foreign key to hold it).
        const std::string groupExists = std::string("(")
            + (m_t.kind == Kind::General ? "NULLIF(h.CDGRUPOANT, '')" : "h.CDGRUPOANT")
            + " IS NULL OR EXISTS (SELECT 1 FROM GRUPOFISCAL gf WHERE gf.CDGRUPOFISC = h.CDGRUPOANT))";
        std::string references;
        for (const Reference &r : m_t.references) {
            references += std::string(" AND EXISTS (SELECT 1 FROM ") + r.table + " r WHERE ";
            for (std::size_t i = 0; i < r.columns.size(); ++i)
                references += (i ? " AND r." : "r.") + std::string(r.columns[i]) + " = h.CDCHAVE"
                    + std::to_string(r.keys[i] + 1);
            references += ")";
        }
        const auto n = [](Reason r) { return std::to_string(int(r)); };
        return std::string("CASE") + (m_anyLater ? " WHEN b.CDCHAVE1 IS NOT NULL THEN " + n(Later) : "")
            // A deleted row: it must still be missing, and what its key refers to must exist.
            + " WHEN h.IDACAO = 'E' THEN CASE WHEN " + present + " THEN " + n(Outside) + " WHEN " + groupExists
            + references + " THEN " + n(Restore) + " ELSE " + n(Gone) + " END"
            // A changed or inserted row: it must be there and hold what the operation wrote.
            + " WHEN NOT (" + present + ") THEN " + n(Gone) + " WHEN NOT (" + holds + ") THEN " + n(Outside)
            + " WHEN h.IDACAO = 'A' AND NOT " + groupExists + " THEN " + n(Gone) + " ELSE " + n(Restore) + " END";
    }

private:
    // The rows some later operation still in force has written: their later items do not
    // cancel out (see undo.h).
    std::string laterJoin(std::int64_t own) const
    {
        const std::string keys = "l.CDCHAVE1, l.CDCHAVE2, l.CDCHAVE3, l.CDCHAVE4";
        const std::string sign =
            m_undos.removing.empty() ? "1" : "CASE WHEN l.IDOPERACAO IN (" + idList(m_undos.removing) + ") THEN -1 ELSE 1 END";
        std::string s = " LEFT JOIN (SELECT " + keys + " FROM HISTITEM l WHERE l.IDOPERACAO > " + m_id
            + " AND l.NMTABELA = '" + m_t.name + "'" + (own ? " AND l.IDOPERACAO <> " + std::to_string(own) : "")
            + " GROUP BY " + keys + " HAVING SUM(" + sign + ") <> 0";
        if (!m_undos.below.empty())
            s += " OR MAX(CASE WHEN l.IDOPERACAO IN (" + idList(m_undos.below) + ") THEN 1 ELSE 0 END) = 1";
        s += ") b ON";
        for (int i = 1; i <= 4; ++i)
            s += std::string(i > 1 ? " AND" : "") + " b.CDCHAVE" + std::to_string(i) + " = h.CDCHAVE" + std::to_string(i);
        return s;
    }

    const Table &m_t;
    std::string m_id;
    bool m_anyLater;
    const LaterUndos &m_undos;
};

// On PostgreSQL, what the undo writes that must exist elsewhere, taken FOR KEY SHARE until the
// commit: the groups it puts back and, where it inserts deleted rows again, the records
// they refer to. Nobody may delete them meanwhile, so the reasons read after this stay true
// to the commit and the call skips the per-row foreign-key checks (ForeignKeys::HeldOnce):
// for 500,000 rows those checks cost more than the writes.
void holdWhatIsRestored(storage::Connection &c, std::int64_t id)
{
    if (c.backend() != storage::Backend::Postgres)
        return;
    auto groups = c.prepareCached(
        "SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC IN (SELECT CDGRUPOANT FROM HISTITEM WHERE IDOPERACAO = $1"
        " AND IDACAO <> 'I') FOR KEY SHARE");
    groups->bindInt(1, id);
    groups->execute();
    auto deleted = c.prepareCached("SELECT QTEXCLUIDOS FROM HISTOPERACAO WHERE IDOPERACAO = $1");
    deleted->bindInt(1, id);
    const bool anyDeleted = deleted->step() && number(*deleted, 0) > 0;
    deleted->reset();
    if (!anyDeleted)
        return;
    for (const Table &t : tables())
        for (const Reference &r : t.references) {
            std::string columns, keys;
            for (std::size_t i = 0; i < r.columns.size(); ++i) {
                columns += (i ? ", " : "") + std::string(r.columns[i]);
                keys += (i ? ", h.CDCHAVE" : "h.CDCHAVE") + std::to_string(r.keys[i] + 1);
            }
            auto st = c.prepareCached(std::string("SELECT 1 FROM ") + r.table + " WHERE (" + columns + ") IN (SELECT "
                                      + keys + " FROM HISTITEM h WHERE h.IDOPERACAO = $1 AND h.NMTABELA = '" + t.name
                                      + "' AND h.IDACAO = 'E') FOR KEY SHARE");
            st->bindInt(1, id);
            st->execute();
        }
}

// Undoes the items of operation `id` in one table: captures what can be restored as the
// undo's items (all before writing), counts the rest by reason, then writes from those items.
TableUndo undoTable(Recorder &h, std::int64_t id, const Table &t, std::int64_t items, const LaterUndos &undos)
{
    storage::Connection &c = h.connection();
    const bool anyLater =
        countOf(c, "SELECT COUNT(*) FROM (SELECT 1 FROM HISTITEM WHERE IDOPERACAO > $1 AND NMTABELA = $2 LIMIT 1) x",
                id, t) > 0;
    const TableUndoSql sql(t, id, anyLater, undos);
    const std::string g = std::string("t.") + t.group;
    const std::string restore = " AND (" + sql.reason() + ") = 0";
    const std::vector<std::string> keys = itemKeys(t, "h");

    TableUndo u;
    u.table = &t;
    u.items = items;
    const std::int64_t changed = h.capture(t, Action::Changed, g, "h.CDGRUPOANT",
                                           sql.from(h.recordedId()) + " AND h.IDACAO = 'A'" + restore, {}, keys);
    const std::int64_t inserted = h.capture(t, Action::Deleted, g, "NULL",
                                            sql.from(h.recordedId()) + " AND h.IDACAO = 'I'" + restore, {}, keys);
    const std::int64_t deleted = h.capture(t, Action::Inserted, "NULL", "h.CDGRUPOANT",
                                           sql.from(h.recordedId()) + " AND h.IDACAO = 'E'" + restore, {}, keys);
    u.restored = changed + inserted + deleted;
    if (u.restored < items) {
        auto st = c.prepare("SELECT " + sql.reason() + ", COUNT(*)" + sql.from(h.recordedId()) + " GROUP BY 1");
        while (st->step()) {
            const std::int64_t n = number(*st, 1);
            switch (Reason(number(*st, 0))) {
            case Later: u.skipped.later += n; break;
            case Outside: u.skipped.outside += n; break;
            case Gone: u.skipped.gone += n; break;
            case Restore: break;
            }
        }
    }
    if (u.restored == 0 || h.previewing())
        return u;

    // From here on the undo's own items say what to write.
    const std::string undo = std::to_string(h.id());
    const std::string mine = std::string(" y.IDOPERACAO = ") + undo + " AND y.NMTABELA = '" + t.name + "'";
    std::string keyColumns, itemColumns, byKey;
    for (std::size_t i = 0; i < t.keys.size(); ++i) {
        keyColumns += (i ? ", " : "") + std::string(t.keys[i]);
        itemColumns += (i ? ", y.CDCHAVE" : "y.CDCHAVE") + std::to_string(i + 1);
        byKey += std::string(" AND ") + t.name + "." + t.keys[i] + " = y.CDCHAVE" + std::to_string(i + 1);
    }
    if (changed)
        h.write(std::string("UPDATE ") + t.name + " SET " + t.group + " = y.CDGRUPONOVO FROM HISTITEM y WHERE" + mine
                    + " AND y.IDACAO = 'A'" + byKey,
                {});
    if (inserted)
        h.write(std::string("DELETE FROM ") + t.name + " WHERE (" + keyColumns + ") IN (SELECT " + itemColumns
                    + " FROM HISTITEM y WHERE" + mine + " AND y.IDACAO = 'E')",
                {});
    if (deleted)
        h.write(std::string("INSERT INTO ") + t.name + " (" + keyColumns + ", " + t.group + ") SELECT " + itemColumns
                    + ", y.CDGRUPONOVO FROM HISTITEM y WHERE" + mine + " AND y.IDACAO = 'I'",
                {});
    return u;
}

} // namespace

std::int64_t UndoResult::restored() const
{
    std::int64_t n = 0;
    for (const TableUndo &t : tables)
        n += t.restored;
    return n;
}

Skipped UndoResult::skipped() const
{
    Skipped s;
    for (const TableUndo &t : tables) {
        s.later += t.skipped.later;
        s.outside += t.skipped.outside;
        s.gone += t.skipped.gone;
    }
    return s;
}

UndoResult undoOperation(Recorder &h, std::int64_t id)
{
    storage::Connection &c = h.connection();
    const auto unknown = [id] { notFound(QStringLiteral("Operação %1 não encontrada no histórico.").arg(id)); };
    // A no-op write takes the operation's row, so that two undos of it run one after the other.
    if (!h.previewing()) {
        auto lock = c.prepareCached("UPDATE HISTOPERACAO SET IDDESFEITAPOR = IDDESFEITAPOR WHERE IDOPERACAO = $1");
        lock->bindInt(1, id);
        if (lock->execute() != 1)
            unknown();
    }
    {
        auto st = c.prepareCached("SELECT IDDESFEITAPOR FROM HISTOPERACAO WHERE IDOPERACAO = $1");
        st->bindInt(1, id);
        if (!st->step())
            unknown();
        if (!st->isNull(0))
            conflict(QStringLiteral("A operação %1 já foi desfeita pela operação %2.")
                                 .arg(id)
                                 .arg(QString::fromUtf8(st->text(0).data(), qsizetype(st->text(0).size()))));
        st->reset();
    }

    if (!h.previewing())
        holdWhatIsRestored(c, id);
    // The tables are held before the later operations are looked at: one still writing them
    // commits first and is seen, and none can write them after the look.
    std::vector<std::pair<const Table *, std::int64_t>> touched;
    for (const Table &t : tables())
        if (const std::int64_t items =
                countOf(c, "SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = $1 AND NMTABELA = $2", id, t)) {
            h.lock(t);
            touched.emplace_back(&t, items);
        }
    const LaterUndos undos = laterUndos(c, id);
    UndoResult r;
    for (const auto &[t, items] : touched)
        r.tables.push_back(undoTable(h, id, *t, items, undos));

    r.operation = h.finish();
    if (r.operation) {
        auto mark = c.prepareCached("UPDATE HISTOPERACAO SET IDDESFEITAPOR = $1 WHERE IDOPERACAO = $2");
        mark->bindInt(1, r.operation);
        mark->bindInt(2, id);
        mark->execute();
    }
    return r;
}

} // namespace fiscal::appserver::history
