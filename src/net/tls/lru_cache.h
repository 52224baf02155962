#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <unordered_map>
#include <utility>

// A map that keeps its most recently used entries within a capacity: the least recently used go
// first. Each entry costs one unit unless a cost function says otherwise (a size in bytes, for
// example); an entry that costs more than the whole capacity is not kept. Not locked: its owner
// guards it.
template <typename Key, typename Value> class LruCache {
public:
    using CostOf = std::function<std::size_t(const Value &)>;

    explicit LruCache(std::size_t capacity, CostOf costOf = nullptr)
        : m_capacity(capacity), m_costOf(std::move(costOf))
    {
    }

    // The key's value, now the most recently used; null when there is none.
    Value *find(const Key &key)
    {
        const auto found = m_index.find(key);
        if (found == m_index.end())
            return nullptr;
        m_entries.splice(m_entries.begin(), m_entries, found->second);
        return &found->second->second;
    }

    // Adds or replaces the key's value as the most recently used; false when it costs more than
    // the whole capacity (any older value of the key is then gone too).
    bool put(const Key &key, Value value)
    {
        erase(key);
        const std::size_t cost = costOf(value);
        if (cost > m_capacity)
            return false;
        while (!m_entries.empty() && m_cost + cost > m_capacity)
            erase(m_entries.back().first);
        m_entries.emplace_front(key, std::move(value));
        m_index.emplace(key, m_entries.begin());
        m_cost += cost;
        return true;
    }

    void erase(const Key &key)
    {
        const auto found = m_index.find(key);
        if (found == m_index.end())
            return;
        m_cost -= costOf(found->second->second);
        m_entries.erase(found->second);
        m_index.erase(found);
    }

    void clear()
    {
        m_entries.clear();
        m_index.clear();
        m_cost = 0;
    }

    std::size_t size() const { return m_entries.size(); }
    std::size_t cost() const { return m_cost; }

private:
    std::size_t costOf(const Value &value) const { return m_costOf ? m_costOf(value) : 1; }

    std::size_t m_capacity;
    CostOf m_costOf;
    std::size_t m_cost = 0;
    // The most recently used first; the index finds an entry by its key.
    std::list<std::pair<Key, Value>> m_entries;
    std::unordered_map<Key, typename std::list<std::pair<Key, Value>>::iterator> m_index;
};
