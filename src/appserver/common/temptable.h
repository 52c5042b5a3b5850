#pragma once
// A temporary table filled with multi-row INSERT batches, so that a change set or a
// selection of 200,000 keys reaches the database in a few hundred statements and the
// work itself is one set-based statement over it.
//
//   TempTable t(conn, "wr_changes", {{"SEQ", true}, {"K1"}, {"OLDG"}});
//   t.add({"1", "000123", std::nullopt}); ...; t.finish();
//   ... UPDATE ... FROM wr_changes ...;  t.drop();
//
// It is created inside the call's transaction: a rollback takes it away with everything
// else, and a leftover from an earlier call on the same connection is dropped first.

#include "storage/database.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver {

struct TempColumn {
    std::string name;
    bool integer = false;
};

class TempTable {
public:
    TempTable(storage::Connection &c, std::string name, std::vector<TempColumn> columns);
    ~TempTable();   // drops the table unless an exception is on its way (the rollback does it)
    TempTable(const TempTable &) = delete;
    TempTable &operator=(const TempTable &) = delete;

    const std::string &name() const { return m_name; }
    // One value per column; integers as decimal text.
    void add(std::initializer_list<std::optional<std::string_view>> row);
    void add(const std::vector<std::optional<std::string_view>> &row);
    void finish();                        // sends what is still buffered
    // Instead of add(): the backend's bulk load (COPY on PostgreSQL), values in column order.
    // Nothing else may run on the connection until its finish().
    std::unique_ptr<storage::BulkInsert> bulkInsert();
    std::int64_t rows() const { return m_rows; }
    void drop();   // statements reading the table must be finished first

private:
    void flush(std::size_t rowCount);
    std::string insertSql(std::size_t rowCount) const;

    storage::Connection &m_c;
    std::string m_name;
    std::vector<TempColumn> m_columns;
    std::size_t m_batchRows;
    std::vector<std::optional<std::string>> m_buffer;
    std::unique_ptr<storage::Statement> m_fullBatch;
    std::int64_t m_rows = 0;
    bool m_dropped = false;
    int m_exceptions;
};

// The keys of a selection in a temporary table `name` (SEQ, K), checked in one statement:
// the first key, in the order given, that `existsSql` (a query over s.K, with `params` bound
// as $1..) does not find throws notFound(missing(key)). So a list of any length costs a few
// statements, never one per key.
//   loadKeys(c, "wr_sel_clie", keys, "SELECT 1 FROM CLIENTE e WHERE e.CDCLIENTE = s.K", {},
//            [](std::string_view k) { return QStringLiteral("Cliente %1 não cadastrado.").arg(q(k)); });
std::unique_ptr<TempTable> loadKeys(storage::Connection &c, const char *name, const std::vector<std::string> &keys,
                                    const std::string &existsSql,
                                    std::initializer_list<std::optional<std::string_view>> params,
                                    const std::function<QString(std::string_view key)> &missing);

} // namespace fiscal::appserver
