#pragma once
// The idle prepared statements of one connection, keyed by their SQL text. A statement is
// taken out while in use and put back when its user is done with it, so two users of the
// same text never share one. Beyond the capacity the least recently used one is freed.

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace fiscal::storage::detail {

template <class Entry>
class StatementCache {
public:
    explicit StatementCache(std::size_t capacity) : m_capacity(capacity) {}
    StatementCache(const StatementCache &) = delete;
    StatementCache &operator=(const StatementCache &) = delete;

    // Removes and returns the idle entry for `sql`, if there is one.
    std::optional<Entry> take(std::string_view sql)
    {
        const auto it = m_index.find(sql);
        if (it == m_index.end())
            return std::nullopt;
        const auto node = it->second;
        m_index.erase(it);
        std::optional<Entry> entry(std::move(node->second));
        m_lru.erase(node);
        return entry;
    }

    // Keeps `entry` for `sql`. What does not fit goes to `dispose`: the entry itself when
    // the text already has an idle one, else the least recently used entries.
    template <class Dispose>
    void put(std::string sql, Entry entry, Dispose &&dispose)
    {
        if (m_capacity == 0 || m_index.count(sql)) {
            dispose(entry);
            return;
        }
        m_lru.emplace_front(std::move(sql), std::move(entry));
        m_index.emplace(m_lru.front().first, m_lru.begin());
        while (m_lru.size() > m_capacity) {
            auto &oldest = m_lru.back();
            m_index.erase(oldest.first);
            Entry victim = std::move(oldest.second);
            m_lru.pop_back();
            dispose(victim);
        }
    }

    // Frees every idle entry (or, with a no-op `dispose`, just forgets them).
    template <class Dispose>
    void clear(Dispose &&dispose)
    {
        m_index.clear();
        while (!m_lru.empty()) {
            Entry e = std::move(m_lru.back().second);
            m_lru.pop_back();
            dispose(e);
        }
    }

    std::size_t size() const { return m_lru.size(); }

private:
    using List = std::list<std::pair<std::string, Entry>>;
    std::size_t m_capacity;
    List m_lru;   // most recently returned first
    // Keys view the strings held by the list's nodes, which never move.
    std::unordered_map<std::string_view, typename List::iterator> m_index;
};

} // namespace fiscal::storage::detail
