#pragma once
// Lists the server already holds (an import's 500,000 lines), read by SQLite in place
// through a read-only virtual table instead of being copied into a temporary one.

#include "storage/database.h"

#include <memory>
#include <string>
#include <unordered_map>

struct sqlite3;

namespace fiscal::storage::sqlite {

struct ShownSlot;

// The tables one connection shows; it must outlive every ShownRows it made.
class ShownTables {
public:
    explicit ShownTables(sqlite3 *db);   // registers the module on the connection
    ShownTables(const ShownTables &) = delete;
    ShownTables &operator=(const ShownTables &) = delete;
    ~ShownTables();

    // Creates temp.`name` over `source`; `exec` runs SQL on the connection, throwing Error.
    template <class Exec>
    std::unique_ptr<ShownRows> show(const std::string &name, const std::vector<ShownColumn> &columns,
                                    const RowSource &source, Exec exec)
    {
        exec("DROP TABLE IF EXISTS temp." + name);   // a leftover of a call cut short
        auto shown = expose(name, columns, source);
        exec(createSql(name, columns));
        return shown;
    }

private:
    std::unique_ptr<ShownRows> expose(const std::string &name, const std::vector<ShownColumn> &columns,
                                      const RowSource &source);
    static std::string createSql(const std::string &name, const std::vector<ShownColumn> &columns);

    sqlite3 *m_db;
    std::unordered_map<std::string, std::shared_ptr<ShownSlot>> m_slots;
};

} // namespace fiscal::storage::sqlite
