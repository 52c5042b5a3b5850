#include "storage/sqlite/sqliterows.h"

#include <sqlite3.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace fiscal::storage::sqlite {

// What a shown table reads; `source` is cleared when its ShownRows goes, so a table that
// outlives it (a failed DROP) answers an error instead of reading freed memory.
struct ShownSlot {
    std::string name;
    const RowSource *source = nullptr;
    std::vector<ShownColumn> columns;
};

namespace {

using Slot = ShownSlot;
using Slots = std::unordered_map<std::string, std::shared_ptr<Slot>>;

constexpr const char *kModule = "fiscal_rows";

struct Table : sqlite3_vtab {
    std::shared_ptr<Slot> slot;   // null: connected to drop a leftover
};

struct Cursor : sqlite3_vtab_cursor {
    std::size_t row = 0;
    std::size_t rows = 0;
};

const Slot *liveSlot(sqlite3_vtab *vtab)
{
    const auto *t = static_cast<Table *>(vtab);
    return t->slot && t->slot->source ? t->slot.get() : nullptr;
}

// argv: the module, the database, the table, then the columns as CREATE VIRTUAL TABLE gave them.
int connect(sqlite3 *db, void *aux, int argc, const char *const *argv, sqlite3_vtab **out, char **error)
{
    if (argc <= 3) {
        *error = sqlite3_mprintf("%s: no columns", kModule);
        return SQLITE_ERROR;
    }
    std::string ddl = "CREATE TABLE x(";
    for (int i = 3; i < argc; ++i)
        ddl += std::string(i > 3 ? ", " : "") + argv[i];
    ddl += ")";
    if (const int rc = sqlite3_declare_vtab(db, ddl.c_str()); rc != SQLITE_OK)
        return rc;
    sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY);
    auto *table = new (std::nothrow) Table();
    if (!table)
        return SQLITE_NOMEM;
    const Slots &slots = *static_cast<const Slots *>(aux);
    if (const auto it = slots.find(argv[2]); it != slots.end())
        table->slot = it->second;
    *out = table;
    return SQLITE_OK;
}

int disconnect(sqlite3_vtab *vtab)
{
    delete static_cast<Table *>(vtab);
    return SQLITE_OK;
}

// No constraint is used: the rows are read in order, once, as the outer side of a join.
int bestIndex(sqlite3_vtab *vtab, sqlite3_index_info *info)
{
    const Slot *slot = liveSlot(vtab);
    const double rows = slot ? double(slot->source->rowCount()) : 0.0;
    info->estimatedCost = rows + 1.0;
    info->estimatedRows = sqlite3_int64(rows) + 1;
    return SQLITE_OK;
}

int open(sqlite3_vtab *, sqlite3_vtab_cursor **out)
{
    auto *cursor = new (std::nothrow) Cursor();
    if (!cursor)
        return SQLITE_NOMEM;
    *out = cursor;
    return SQLITE_OK;
}

int close(sqlite3_vtab_cursor *cursor)
{
    delete static_cast<Cursor *>(cursor);
    return SQLITE_OK;
}

int filter(sqlite3_vtab_cursor *cur, int, const char *, int, sqlite3_value **)
{
    auto *cursor = static_cast<Cursor *>(cur);
    const Slot *slot = liveSlot(cur->pVtab);
    if (!slot) {
        sqlite3_free(cur->pVtab->zErrMsg);
        cur->pVtab->zErrMsg = sqlite3_mprintf("%s: the rows are no longer there", kModule);
        return SQLITE_ERROR;
    }
    cursor->row = 0;
    cursor->rows = slot->source->rowCount();
    return SQLITE_OK;
}

int next(sqlite3_vtab_cursor *cur)
{
    ++static_cast<Cursor *>(cur)->row;
    return SQLITE_OK;
}

int eof(sqlite3_vtab_cursor *cur)
{
    const auto *cursor = static_cast<Cursor *>(cur);
    return cursor->row >= cursor->rows;
}

int column(sqlite3_vtab_cursor *cur, sqlite3_context *ctx, int i)
{
    const auto *cursor = static_cast<Cursor *>(cur);
    const Slot *slot = liveSlot(cur->pVtab);
    if (!slot || i < 0 || std::size_t(i) >= slot->columns.size()) {
        sqlite3_result_error(ctx, "fiscal_rows: no such value", -1);
        return SQLITE_OK;
    }
    try {
        if (slot->columns[std::size_t(i)].integer) {
            sqlite3_result_int64(ctx, slot->source->integer(cursor->row, std::size_t(i)));
        } else if (const auto v = slot->source->text(cursor->row, std::size_t(i))) {
            // The source stays as it is while shown: no copy.
            sqlite3_result_text64(ctx, v->empty() ? "" : v->data(), v->size(), SQLITE_STATIC, SQLITE_UTF8);
        } else {
            sqlite3_result_null(ctx);
        }
    } catch (const std::exception &e) {
        sqlite3_result_error(ctx, e.what(), -1);
    }
    return SQLITE_OK;
}

int rowid(sqlite3_vtab_cursor *cur, sqlite3_int64 *out)
{
    *out = sqlite3_int64(static_cast<Cursor *>(cur)->row);
    return SQLITE_OK;
}

sqlite3_module makeModule()
{
    sqlite3_module m{};
    m.xCreate = connect;
    m.xConnect = connect;
    m.xBestIndex = bestIndex;
    m.xDisconnect = disconnect;
    m.xDestroy = disconnect;
    m.xOpen = open;
    m.xClose = close;
    m.xFilter = filter;
    m.xNext = next;
    m.xEof = eof;
    m.xColumn = column;
    m.xRowid = rowid;
    return m;
}

const sqlite3_module kRowsModule = makeModule();

class Shown final : public ShownRows {
public:
    Shown(sqlite3 *db, Slots &slots, std::shared_ptr<Slot> slot)
        : m_db(db), m_slots(slots), m_slot(std::move(slot)), m_exceptions(std::uncaught_exceptions())
    {
    }
    ~Shown() override
    {
        m_slot->source = nullptr;
        if (const auto it = m_slots.find(m_slot->name); it != m_slots.end() && it->second == m_slot)
            m_slots.erase(it);
        // On the way out of a failure the rollback takes the table away.
        if (std::uncaught_exceptions() > m_exceptions)
            return;
        const std::string sql = "DROP TABLE IF EXISTS temp." + m_slot->name;
        sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr);
    }

private:
    sqlite3 *m_db;
    Slots &m_slots;
    std::shared_ptr<Slot> m_slot;
    int m_exceptions;
};

} // namespace

ShownTables::ShownTables(sqlite3 *db) : m_db(db)
{
    if (sqlite3_create_module_v2(db, kModule, &kRowsModule, &m_slots, nullptr) != SQLITE_OK)
        throw Error(Error::Kind::Connection, std::string("registering ") + kModule + ": " + sqlite3_errmsg(db));
}

ShownTables::~ShownTables() = default;

std::unique_ptr<ShownRows> ShownTables::expose(const std::string &name, const std::vector<ShownColumn> &columns,
                                               const RowSource &source)
{
    auto slot = std::make_shared<Slot>(Slot{name, &source, columns});
    m_slots[name] = slot;
    return std::make_unique<Shown>(m_db, m_slots, std::move(slot));
}

std::string ShownTables::createSql(const std::string &name, const std::vector<ShownColumn> &columns)
{
    if (columns.empty())
        throw std::logic_error("showRows: no columns");
    std::string sql = "CREATE VIRTUAL TABLE temp." + name + " USING " + kModule + "(";
    for (std::size_t i = 0; i < columns.size(); ++i)
        sql += (i ? ", " : "") + columns[i].name + (columns[i].integer ? " INTEGER" : " TEXT");
    return sql + ")";
}

} // namespace fiscal::storage::sqlite
