#pragma once

// A table of names kept as one sorted vector: its size follows its content
// (no nodes, no buckets), and a lookup is a binary search. The registry is
// filled once, at configuration, and then only read and overwritten in
// place; inserting one name is linear and meant for tests and small tables,
// building from a list (sorted once) for the configuration.

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

template <class V>
class sorted_table {
public:
    using value_type = std::pair<std::string, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    sorted_table() = default;
    // Of names repeated in the list, the first is kept.
    explicit sorted_table(std::vector<value_type> items) : items_(std::move(items)) {
        std::stable_sort(items_.begin(), items_.end(), by_name);
        const auto same = [](const value_type& a, const value_type& b) { return a.first == b.first; };
        items_.erase(std::unique(items_.begin(), items_.end(), same), items_.end());
        items_.shrink_to_fit();
    }
    sorted_table(std::initializer_list<value_type> items) : sorted_table(std::vector<value_type>(items)) {}

    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() { items_ = {}; }

    iterator find(std::string_view name) { return found(items_, name); }
    const_iterator find(std::string_view name) const { return found(items_, name); }

    // Keeps an entry that is already there, as a map does.
    std::pair<iterator, bool> emplace(std::string name, V value) {
        const auto at = std::lower_bound(items_.begin(), items_.end(), name, below);
        if (at != items_.end() && at->first == name) return {at, false};
        return {items_.emplace(at, std::move(name), std::move(value)), true};
    }
    V& operator[](const std::string& name) { return emplace(name, V{}).first->second; }
    void erase(std::string_view name) {
        const auto at = find(name);
        if (at != end()) items_.erase(at);
    }

    friend bool operator==(const sorted_table& a, const sorted_table& b) { return a.items_ == b.items_; }
    friend bool operator!=(const sorted_table& a, const sorted_table& b) { return !(a == b); }

private:
    static bool by_name(const value_type& a, const value_type& b) { return a.first < b.first; }
    static bool below(const value_type& item, std::string_view name) { return item.first < name; }

    template <class Items>
    static auto found(Items& items, std::string_view name) {
        const auto at = std::lower_bound(items.begin(), items.end(), name, below);
        return at != items.end() && at->first == name ? at : items.end();
    }

    std::vector<value_type> items_;
};

}  // namespace quorvel
