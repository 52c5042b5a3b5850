#pragma once
// The raw database loading what GetDados loads: the server's seven SELECTs run in this
// process through the database's own C library (sqlite3, libpq), and every row is kept in
// memory the way a small C program keeps it: one allocation per row holding the lengths of
// its values and their bytes. This is the baseline of loading the main screen: what it
// costs to hold the same rows without a server, a packet format or a data set.
//
//   KeptRows rows = keepEveryRow(db);    // SQLite file or PostgreSQL URL
//   rows.count(), rows.bytes()

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fiscal::bench {

// The server's seven reads of GetDados, word for word.
extern const char *const kGetDadosSelects[7];

class KeptRows {
public:
    KeptRows() = default;
    KeptRows(const KeptRows &) = delete;
    KeptRows &operator=(const KeptRows &) = delete;
    KeptRows(KeptRows &&other) noexcept;
    ~KeptRows();

    std::int64_t count() const { return std::int64_t(m_rows.size()); }
    std::size_t bytes() const { return m_bytes; }
    // One row: `values` lengths (-1 for null), then the bytes.
    void add(int values, const int *lengths, const char *const *text);

private:
    std::vector<char *> m_rows;
    std::size_t m_bytes = 0;
};

KeptRows keepEveryRow(const std::string &db);

} // namespace fiscal::bench
