#pragma once
// RowTable: the rows of a packet, packed one after another into a few large blocks (the
// block size doubles up to 4 MiB), with one pointer per row to find it again. A 500k-row
// packet costs some twenty allocations, and the data set that loads it keeps the blocks
// as they are instead of copying the rows.
//
// It reads like a QList<Row>: size, isEmpty, at / operator[] (a Row sharing the block),
// iteration (Rows by value), append / push_back, reserve, clear, ==. Copies share the
// storage until one of them appends (copy on write).
//
//   ref(i)      the row in place, without reference counting (for walking many rows)
//   byteSize()  the bytes the rows take (blocks as filled, without the per-row pointers)
//   dropIndex() for a holder that points at the rows itself (a data set's records) and
//               keeps the table only so that they stay alive: forgets where each row
//               starts (eight bytes a row) and reads as empty from then on; nothing
//               happens while another table shares the rows

#include "dataset/row.h"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>

namespace fiscal::dataset {

class RowTable {
public:
    RowTable() = default;
    RowTable(std::initializer_list<Row> rows);

    qsizetype size() const;
    qsizetype count() const { return size(); }
    bool isEmpty() const { return size() == 0; }
    bool empty() const { return isEmpty(); }

    RowRef ref(qsizetype i) const;
    Row at(qsizetype i) const;
    Row operator[](qsizetype i) const { return at(i); }

    void append(const Row &row) { append(row.ref()); }
    void append(RowRef row);
    void push_back(const Row &row) { append(row.ref()); }
    void reserve(qsizetype rows);
    void clear() { m_d.reset(); }
    void dropIndex();

    qsizetype byteSize() const;

    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = Row;
        using difference_type = qsizetype;
        using pointer = void;
        using reference = Row;
        const_iterator() = default;
        const_iterator(const RowTable *t, qsizetype i) : m_t(t), m_i(i) {}
        Row operator*() const { return m_t->at(m_i); }
        const_iterator &operator++() { ++m_i; return *this; }
        const_iterator operator++(int) { const_iterator c = *this; ++m_i; return c; }
        const_iterator &operator--() { --m_i; return *this; }
        const_iterator &operator+=(qsizetype n) { m_i += n; return *this; }
        const_iterator operator+(qsizetype n) const { return {m_t, m_i + n}; }
        qsizetype operator-(const_iterator o) const { return m_i - o.m_i; }
        Row operator[](qsizetype n) const { return m_t->at(m_i + n); }
        friend bool operator==(const_iterator a, const_iterator b) { return a.m_i == b.m_i; }
        friend auto operator<=>(const_iterator a, const_iterator b) { return a.m_i <=> b.m_i; }
    private:
        const RowTable *m_t = nullptr;
        qsizetype m_i = 0;
    };
    using iterator = const_iterator;
    using value_type = Row;
    using size_type = qsizetype;

    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    friend bool operator==(const RowTable &a, const RowTable &b);

private:
    friend class RowBuilder;
    struct Store;
    // Room for one more row of `bytes` bytes at the end; the caller fills it at once.
    char *appendBlock(qsizetype bytes);
    Store &writable();

    std::shared_ptr<Store> m_d;
};

} // namespace fiscal::dataset
