#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>
#include <utility>

// Values kept by key up to a capacity, the least recently used going first when a new one needs
// room. Each entry has a cost (1 unless told otherwise), and the capacity is in the same units:
// a count of entries by default, or bytes, say, when each entry is put with its size. An entry
// that costs more than maxEntryCost is not kept at all. Not locked: its owner guards it.
template <typename Key, typename Value> class LruCache {
public:
    explicit LruCache(size_t capacity, size_t maxEntryCost = size_t(-1))
        : m_capacity(capacity), m_maxEntryCost(maxEntryCost < capacity ? maxEntryCost : capacity)
    {
    }

    // Keeps value as key's, the most recently used; older entries go until the total fits.
    // Replaces what key had. Null when the entry costs too much to be kept (key then has none).
    Value *put(const Key &key, Value value, size_t cost = 1)
    {
        erase(key);
        if (cost > m_maxEntryCost)
            return nullptr;
        while (!m_uses.empty() && m_totalCost + cost > m_capacity)
            eraseUse(std::prev(m_uses.end()));
        m_uses.push_front(Entry{key, std::move(value), cost});
        m_entries.emplace(key, m_uses.begin());
        m_totalCost += cost;
        return &m_uses.front().value;
    }

    // key's value, now the most recently used; null when there is none.
    Value *find(const Key &key)
    {
        const auto found = m_entries.find(key);
        if (found == m_entries.end())
            return nullptr;
        m_uses.splice(m_uses.begin(), m_uses, found->second);
        return &found->second->value;
    }

    // key's value, its place in the order left as it is; null when there is none.
    Value *peek(const Key &key)
    {
        const auto found = m_entries.find(key);
        return found == m_entries.end() ? nullptr : &found->second->value;
    }

    void erase(const Key &key)
    {
        const auto found = m_entries.find(key);
        if (found != m_entries.end())
            eraseUse(found->second);
    }

    void clear()
    {
        m_entries.clear();
        m_uses.clear();
        m_totalCost = 0;
    }

    size_t size() const { return m_uses.size(); }
    size_t totalCost() const { return m_totalCost; }

private:
    struct Entry {
        Key key;
        Value value;
        size_t cost;
    };
    using Use = typename std::list<Entry>::iterator;

    void eraseUse(Use use)
    {
        m_totalCost -= use->cost;
        m_entries.erase(use->key);
        m_uses.erase(use);
    }

    size_t m_capacity;
    size_t m_maxEntryCost;
    size_t m_totalCost = 0;
    std::list<Entry> m_uses; // the most recently used first
    std::unordered_map<Key, Use> m_entries;
};
