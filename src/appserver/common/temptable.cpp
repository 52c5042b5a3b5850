#include "appserver/common/temptable.h"

#include "appserver/common/faults.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace fiscal::appserver {

namespace {
// Both backends take thousands of parameters per statement (SQLite 32766, PostgreSQL
// 65535); a few thousand keeps every batch well inside either limit.
constexpr std::size_t kMaxParameters = 4000;
constexpr std::size_t kMaxRows = 500;
}

TempTable::TempTable(storage::Connection &c, std::string name, std::vector<TempColumn> columns)
    : m_c(c), m_name(std::move(name)), m_columns(std::move(columns)),
      m_exceptions(std::uncaught_exceptions())
{
    m_batchRows = std::max<std::size_t>(1, std::min(kMaxRows, kMaxParameters / m_columns.size()));
    const bool pg = m_c.backend() == storage::Backend::Postgres;
    // PostgreSQL drops it at commit by itself (and would print a notice for IF EXISTS).
    if (!pg)
        m_c.exec("DROP TABLE IF EXISTS temp." + m_name);
    std::string ddl = "CREATE TEMP TABLE " + m_name + " (";
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (i)
            ddl += ", ";
        ddl += m_columns[i].name + (m_columns[i].integer ? " INTEGER" : " TEXT");
    }
    ddl += pg ? ") ON COMMIT DROP" : ")";
    m_c.exec(ddl);
    m_buffer.reserve(m_batchRows * m_columns.size());
}

std::string TempTable::insertSql(std::size_t rowCount) const
{
    std::string sql = "INSERT INTO " + m_name + " (";
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (i)
            sql += ", ";
        sql += m_columns[i].name;
    }
    sql += ") VALUES ";
    int n = 1;
    for (std::size_t r = 0; r < rowCount; ++r) {
        sql += r ? ",(" : "(";
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            if (i)
                sql += ',';
            const std::string p = "$" + std::to_string(n++);
            // Every value travels as text; the cast keeps PostgreSQL from guessing.
            sql += m_columns[i].integer ? "CAST(" + p + " AS INTEGER)" : p;
        }
        sql += ')';
    }
    return sql;
}

void TempTable::add(std::initializer_list<std::optional<std::string_view>> row)
{
    add(std::vector<std::optional<std::string_view>>(row));
}

void TempTable::add(const std::vector<std::optional<std::string_view>> &row)
{
    if (row.size() != m_columns.size())
        throw std::logic_error("TempTable::add: wrong number of values");
    for (const auto &v : row)
        m_buffer.push_back(v ? std::optional<std::string>(std::string(*v)) : std::nullopt);
    if (m_buffer.size() == m_batchRows * m_columns.size())
        flush(m_batchRows);
}

std::unique_ptr<storage::BulkInsert> TempTable::bulkInsert()
{
    std::vector<std::string> names;
    for (const TempColumn &col : m_columns)
        names.push_back(col.name);
    return m_c.bulkInsert(m_name, names);
}

void TempTable::finish()
{
    const std::size_t pending = m_buffer.size() / m_columns.size();
    if (pending)
        flush(pending);
}

void TempTable::flush(std::size_t rowCount)
{
    std::unique_ptr<storage::Statement> partial;
    storage::Statement *st;
    if (rowCount == m_batchRows) {
        if (!m_fullBatch)
            m_fullBatch = m_c.prepare(insertSql(rowCount));
        else
            m_fullBatch->reset();
        st = m_fullBatch.get();
    } else {
        partial = m_c.prepare(insertSql(rowCount));
        st = partial.get();
    }
    for (std::size_t i = 0; i < m_buffer.size(); ++i)
        st->bind(int(i + 1), m_buffer[i] ? std::optional<std::string_view>(*m_buffer[i]) : std::nullopt);
    st->execute();
    m_rows += std::int64_t(rowCount);
    m_buffer.clear();
}

TempTable::~TempTable()
{
    if (m_dropped || std::uncaught_exceptions() > m_exceptions)
        return;
    try {
        drop();
    } catch (...) {
        // The transaction ends right after; a leftover is dropped by the next call.
    }
}

void TempTable::drop()
{
    if (m_dropped)
        return;
    m_fullBatch.reset();
    m_dropped = true;
    m_c.exec("DROP TABLE " + m_name);
}

std::unique_ptr<TempTable> loadKeys(storage::Connection &c, const char *name, const std::vector<std::string> &keys,
                                    const std::string &existsSql,
                                    std::initializer_list<std::optional<std::string_view>> params,
                                    const std::function<QString(std::string_view key)> &missing)
{
    auto t = std::make_unique<TempTable>(c, name, std::vector<TempColumn>{{"SEQ", true}, {"K"}});
    for (std::size_t i = 0; i < keys.size(); ++i)
        t->add({std::to_string(i), keys[i]});
    t->finish();
    if (keys.empty())
        return t;
    auto st = c.prepare("SELECT s.K FROM " + std::string(name) + " s WHERE NOT EXISTS (" + existsSql
                        + ") ORDER BY s.SEQ LIMIT 1");
    int i = 1;
    for (const auto &p : params)
        st->bind(i++, p);
    if (st->step())
        notFound(missing(st->text(0)));
    return t;
}

} // namespace fiscal::appserver
