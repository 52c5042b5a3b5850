#include "dataset/rowtable.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace fiscal::dataset {
namespace {

constexpr qsizetype FirstBlock = 4 * 1024;
constexpr qsizetype LargestBlock = 4 * 1024 * 1024;

} // namespace

struct RowTable::Store {
    std::vector<detail::RowBlock *> blocks;
    std::vector<qsizetype> firstRow;   // per block: the index of its first row
    std::vector<const char *> rows;
    bool ownsTail = true;              // may append into the last block (no other table shares it)
    qsizetype nextBlock = FirstBlock;

    Store() = default;
    Store(const Store &other)
        : blocks(other.blocks), firstRow(other.firstRow), rows(other.rows), ownsTail(false),
          nextBlock(other.nextBlock)
    {
        for (detail::RowBlock *b : blocks)
            detail::RowBlock::retain(b);
    }
    Store &operator=(const Store &) = delete;
    ~Store()
    {
        for (detail::RowBlock *b : blocks)
            detail::RowBlock::release(b);
    }

    qsizetype blockOf(qsizetype row) const
    {
        const auto it = std::upper_bound(firstRow.begin(), firstRow.end(), row);
        return qsizetype(it - firstRow.begin()) - 1;
    }
};

RowTable::RowTable(std::initializer_list<Row> rows)
{
    reserve(qsizetype(rows.size()));
    for (const Row &r : rows)
        append(r);
}

qsizetype RowTable::size() const
{
    return m_d ? qsizetype(m_d->rows.size()) : 0;
}

RowRef RowTable::ref(qsizetype i) const
{
    return RowRef(m_d->rows[size_t(i)]);
}

Row RowTable::at(qsizetype i) const
{
    detail::RowBlock *block = m_d->blocks[size_t(m_d->blockOf(i))];
    detail::RowBlock::retain(block);
    return Row(block, m_d->rows[size_t(i)]);
}

RowTable::Store &RowTable::writable()
{
    if (!m_d)
        m_d = std::make_shared<Store>();
    else if (m_d.use_count() > 1)
        m_d = std::make_shared<Store>(*m_d);
    return *m_d;
}

void RowTable::reserve(qsizetype rows)
{
    Store &s = writable();
    s.rows.reserve(size_t(rows));
}

char *RowTable::appendBlock(qsizetype bytes)
{
    Store &s = writable();
    detail::RowBlock *tail = s.blocks.empty() ? nullptr : s.blocks.back();
    if (!tail || !s.ownsTail || tail->capacity - tail->used < bytes) {
        const qsizetype capacity = std::max(bytes, s.nextBlock);
        s.nextBlock = std::min(s.nextBlock * 2, LargestBlock);
        tail = detail::RowBlock::create(capacity);
        s.blocks.push_back(tail);
        s.firstRow.push_back(qsizetype(s.rows.size()));
        s.ownsTail = true;
    }
    char *at = tail->bytes() + tail->used;
    tail->used += bytes;
    s.rows.push_back(at);
    return at;
}

void RowTable::append(RowRef row)
{
    if (!row.data()) {
        // A row without values still takes its place.
        const quint16 empty = 0;
        std::memcpy(appendBlock(2), &empty, 2);
        return;
    }
    const qsizetype n = row.byteSize();
    char *at = appendBlock(n);
    std::memcpy(at, row.data(), size_t(n));
}

void RowTable::dropIndex()
{
    if (!m_d || m_d.use_count() > 1)
        return;
    std::vector<const char *>().swap(m_d->rows);
    std::vector<qsizetype>().swap(m_d->firstRow);
    m_d->ownsTail = false;   // the blocks are kept whole, as the holder knows them
}

qsizetype RowTable::byteSize() const
{
    if (!m_d)
        return 0;
    qsizetype n = 0;
    for (const detail::RowBlock *b : m_d->blocks)
        n += b->used;
    return n;
}

bool operator==(const RowTable &a, const RowTable &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!(a.ref(i) == b.ref(i)))
            return false;
    }
    return true;
}

} // namespace fiscal::dataset
