#include "appserver/history/undo.h"

#include "appserver/history/history.h"
#include "appserver/common/faults.h"

#include <string>
#include <vector>

namespace fiscal::appserver::history {

namespace {

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

bool hasItems(storage::Connection &c, std::int64_t id, const Table &t)
{
    auto st = c.prepareCached("SELECT 1 FROM HISTITEM WHERE IDOPERACAO = $1 AND NMTABELA = $2 LIMIT 1");
    st->bindInt(1, id);
    st->bind(2, std::string_view(t.name));
    return st->step();
}

// Undoes the items of operation `id` in one table: captures what can be restored as the
// undo's items (all before writing), then writes from those items.
void undoTable(Recorder &h, std::int64_t id, const Table &t)
{
    const std::string idText = std::to_string(id);
    const std::string g = std::string("t.") + t.group;
    const std::string items = std::string(" h.IDOPERACAO = $1 AND h.NMTABELA = '") + t.name + "'";
    // The row still holds what the operation wrote ("" and NULL are one for PARAMGERAL).
    const std::string holds = t.kind == Kind::General ? "COALESCE(" + g + ", '') = COALESCE(h.CDGRUPONOVO, '')"
                                                      : g + " IS NOT DISTINCT FROM h.CDGRUPONOVO";
    // The group to put back still exists (PARAMGERAL's value refers to nothing).
    const std::string restorable = t.kind == Kind::General
        ? "1 = 1"
        : "(h.CDGRUPOANT IS NULL OR EXISTS (SELECT 1 FROM GRUPOFISCAL gf WHERE gf.CDGRUPOFISC = h.CDGRUPOANT))";
    const std::string joined = std::string(" FROM HISTITEM h JOIN ") + t.name + " t ON " + joinItem(t, "h") + " WHERE"
        + items;
    const std::vector<std::string> keys = itemKeys(t, "h");

    const std::int64_t changed = h.capture(t, Action::Changed, g, "h.CDGRUPOANT",
                                           joined + " AND h.IDACAO = 'A' AND " + holds + " AND " + restorable,
                                           {idText}, keys);
    const std::int64_t inserted = h.capture(t, Action::Deleted, g, "NULL",
                                            joined + " AND h.IDACAO = 'I' AND " + holds, {idText}, keys);
    std::string references;
    for (const Reference &r : t.references) {
        references += std::string(" AND EXISTS (SELECT 1 FROM ") + r.table + " r WHERE ";
        for (std::size_t i = 0; i < r.columns.size(); ++i)
            references += (i ? " AND r." : "r.") + std::string(r.columns[i]) + " = h.CDCHAVE"
                + std::to_string(r.keys[i] + 1);
        references += ")";
    }
    const std::int64_t deleted = h.capture(
        t, Action::Inserted, "NULL", "h.CDGRUPOANT",
        std::string(" FROM HISTITEM h WHERE") + items + " AND h.IDACAO = 'E' AND NOT EXISTS (SELECT 1 FROM " + t.name
            + " t WHERE " + joinItem(t, "h") + ") AND " + restorable + references,
        {idText}, keys);
    if (changed + inserted + deleted == 0)
        return;

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
}

} // namespace

UndoResult undoOperation(Recorder &h, std::int64_t id)
{
    storage::Connection &c = h.connection();
    const std::string idText = std::to_string(id);
    // A no-op write takes the operation's row, so that two undos of it run one after the other.
    {
        auto lock = c.prepareCached("UPDATE HISTOPERACAO SET IDDESFEITAPOR = IDDESFEITAPOR WHERE IDOPERACAO = $1");
        lock->bindInt(1, id);
        if (lock->execute() != 1)
            notFound(QStringLiteral("Operação %1 não encontrada no histórico.").arg(id));
    }
    std::int64_t items = 0;
    {
        auto st = c.prepareCached(
            "SELECT IDDESFEITAPOR, QTALTERADOS + QTINCLUIDOS + QTEXCLUIDOS FROM HISTOPERACAO WHERE IDOPERACAO = $1");
        st->bindInt(1, id);
        st->step();
        if (!st->isNull(0))
            conflict(QStringLiteral("A operação %1 já foi desfeita pela operação %2.")
                                 .arg(id)
                                 .arg(QString::fromUtf8(st->text(0).data(), qsizetype(st->text(0).size()))));
        items = std::stoll(std::string(st->text(1)));
    }

    for (const Table &t : tables())
        if (hasItems(c, id, t))
            undoTable(h, id, t);

    UndoResult r;
    for (const auto &[table, counts] : h.perTable())
        if (counts.total() > 0)
            r.tables.emplace_back(table->name);
    r.restored = h.total().total();
    r.skipped = items - r.restored;
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
