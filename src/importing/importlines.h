#pragma once
// A sheet's rows as import lines: which columns hold the record and the group (by their
// titles, ignoring case and accents, or the first two when there is no title row), and each
// row's record and group as the server expects them. What can be told from the file alone
// (an empty record, a key too long) is an error of that line here; the rest (check digits,
// records, groups, a group that cannot be a code) the server checks, since a line with a
// wrong group still names its record.
//
//   auto src = openSheetFile(path);  src->selectSheet(sheet);
//   ImportFile f = readImportLines(*src, *protocol::importing::findEntity("CLIENTE"));

#include "importing/sheetsource.h"
#include "protocol/importcalls.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::importing {

// A vector grown by chunks of 256 KiB that never move: appending never copies, and each chunk
// is one allocation of its own (mapped apart by the allocator), not a node among the small
// blocks of a read that are freed around it.
template <class T>
class ChunkedArray {
public:
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    T operator[](std::size_t i) const { return m_chunks[i / kPer][i % kPer]; }
    void push_back(T v)
    {
        if (m_size % kPer == 0)
            m_chunks.push_back(std::make_unique_for_overwrite<T[]>(kPer));
        m_chunks.back()[m_size++ % kPer] = v;
    }
    std::size_t heldBytes() const { return m_chunks.size() * kPer * sizeof(T); }

private:
    static constexpr std::size_t kPer = 256 * 1024 / sizeof(T);
    std::vector<std::unique_ptr<T[]>> m_chunks;
    std::size_t m_size = 0;
};

struct Columns {
    int key = -1, group = -1;        // 0-based
    std::int64_t titleLine = 0;      // 0: no title row, by position
    QString keyTitle, groupTitle;
    bool documents = false;          // the record column holds CNPJ/CPF numbers
};

struct ImportLine {
    std::int64_t line;               // in the file
    QString key;
    QString group;                   // empty: no group
};

// The lines of a file, packed: the texts of all of them in a few blocks (UTF-8) and a few
// bytes per line to find them, so that 500,000 lines take little more than their own
// characters. Everything grows by blocks that are filled and never moved: reading a file
// never copies what was read so far. Reads like a vector of ImportLine (built on each access).
class LineTable {
public:
    std::size_t size() const { return m_line.size(); }
    bool empty() const { return m_line.empty(); }
    // What the table takes in memory, its blocks' room included.
    std::size_t heldBytes() const
    {
        return m_blocks.size() * kBlock + m_line.heldBytes() + m_start.heldBytes() + m_keyBytes.heldBytes();
    }
    void push_back(const ImportLine &l);
    ImportLine operator[](std::size_t i) const { return {m_line[i], key(i), group(i)}; }

    std::int64_t line(std::size_t i) const { return m_line[i]; }
    QString key(std::size_t i) const { return QString::fromUtf8(keyUtf8(i)); }
    QString group(std::size_t i) const { return QString::fromUtf8(groupUtf8(i)); }
    std::string_view keyUtf8(std::size_t i) const
    {
        return {m_blocks[m_start[i] / kBlock].data() + m_start[i] % kBlock, m_keyBytes[i]};
    }
    std::string_view groupUtf8(std::size_t i) const
    {
        const std::string &block = m_blocks[m_start[i] / kBlock];
        const std::size_t from = m_start[i] % kBlock + m_keyBytes[i];
        const bool nextHere = i + 1 < m_start.size() && m_start[i + 1] / kBlock == m_start[i] / kBlock;
        return {block.data() + from, (nextHere ? m_start[i + 1] % kBlock : block.size()) - from};
    }

    class const_iterator {
    public:
        const_iterator(const LineTable *t, std::size_t i) : m_t(t), m_i(i) {}
        ImportLine operator*() const { return (*m_t)[m_i]; }
        const_iterator &operator++() { ++m_i; return *this; }
        bool operator!=(const const_iterator &o) const { return m_i != o.m_i; }
    private:
        const LineTable *m_t;
        std::size_t m_i;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

private:
    static constexpr std::size_t kBlock = 256 * 1024;   // a line never spans two
    std::vector<std::string> m_blocks;      // each sized kBlock once
    ChunkedArray<std::int64_t> m_line;
    ChunkedArray<std::uint32_t> m_start;    // block * kBlock + offset in it
    ChunkedArray<std::uint8_t> m_keyBytes;  // a key has at most 21 characters
};

struct LineError {
    std::int64_t line;
    QString reason;
};

struct ImportFile {
    Columns columns;
    // What a report's heading above the titles names ("Imposto", "Empresa", "Inscrição
    // Estadual") -> the code it gives, as the grids export them ("Imposto: 01 - ICMS").
    std::map<QString, QString> heading;
    std::int64_t rowsRead = 0;       // data rows, the title row not counted
    LineTable lines;                 // readable rows, in file order
    std::vector<LineError> errors;   // unreadable rows, in file order
};

// Titles the record or group column may have, compared after titleKey().
QString titleKey(const QString &title);
// The columns a title row names; key or group -1 when the row names none.
Columns findColumns(const QStringList &titles);

// The record as sent: what comes before " - " (a code with its name, as the grid exports
// it), codes of fixed width padded with zeros, and in a column titled CNPJ/CPF a number that
// lost its leading zeros completed by its number of digits. Empty when it is empty.
QString recordKey(const QString &cell, const protocol::importing::Entity &e, bool documentColumn);

// A record written as a number that lost its leading zeros: the CNPJ/CPF the server takes it
// for when no record has it as its code; empty when the zeros make no valid one.
QString documentFromNumber(const QString &digits);
// The group as sent: "003 - Descrição" is 003, "3" is 003. nullopt when it cannot be a code.
std::optional<QString> groupCode(const QString &cell);

// Reads every row of the selected sheet. `progress`, called every few thousand rows with the
// rows read, stops the reading when it answers false (then the result is incomplete and
// ImportFile::rowsRead says how far it got). Throws ReadError.
ImportFile readImportLines(SheetSource &source, const protocol::importing::Entity &e,
                           const std::function<bool(std::int64_t)> &progress = {});

} // namespace fiscal::importing
