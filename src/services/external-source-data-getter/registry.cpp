#include "registry.h"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace quorvel {

remote_io_registry& abroad_ios = *new remote_io_registry;
announcement_list& announcements = *new announcement_list;
fair_mutex& m_mutex = *new fair_mutex;

bool is_stale(std::int64_t ts, std::int64_t now) {
    if (ts >= now) return false;
    // now - ts is positive here and fits the unsigned type exactly.
    return static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(ts) >
           static_cast<std::uint64_t>(stale_after_s);
}

namespace {

// Indices 0..count-1 in the order of their names, the first of repeated names kept.
template <class Name>
std::vector<std::uint32_t> sorted_unique(std::size_t count, Name name) {
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return name(a) < name(b); });
    order.erase(std::unique(order.begin(), order.end(), [&](auto a, auto b) { return name(a) == name(b); }),
                order.end());
    return order;
}

}  // namespace

void name_run::insert(std::size_t i, std::string_view name) {
    const std::uint32_t from = i == 0 ? 0 : ends_[i - 1];
    text_.insert(from, name);
    ends_.insert(ends_.begin() + static_cast<std::ptrdiff_t>(i), from);
    for (std::size_t j = i; j < ends_.size(); ++j) ends_[j] += static_cast<std::uint32_t>(name.size());
}

void name_run::erase(std::size_t i) {
    const std::uint32_t from = i == 0 ? 0 : ends_[i - 1];
    const std::uint32_t size = ends_[i] - from;
    text_.erase(from, size);
    ends_.erase(ends_.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::size_t j = i; j < ends_.size(); ++j) ends_[j] -= size;
}

control_table::control_table(std::vector<value_type> items) {
    const auto order =
        sorted_unique(items.size(), [&](std::uint32_t i) { return std::string_view(items[i].first); });
    for (const auto i : order) {
        names_.add(items[i].first);
        states_.push_back(items[i].second);
    }
}

template <class Name>
void remote_io_registry::append(std::string_view id, std::size_t count, Name name,
                                const control_state* states) {
    devices_.push_back({static_cast<std::uint32_t>(names_.count()),
                        static_cast<std::uint32_t>(states_.size()), static_cast<std::uint32_t>(count)});
    names_.add(id);
    for (std::size_t i = 0; i < count; ++i) {
        names_.add(name(i));
        states_.push_back(states ? states[i] : control_state());
    }
}

remote_io_registry remote_io_registry::built(const remote_io_registry& before, const announcement_list& ios,
                                             const std::vector<bool>& registered) {
    // Those already there first, so that they keep their place.
    struct entry {
        std::string_view id;
        std::size_t before;  // index in before, or size() for an announced io
        std::size_t io;
    };
    std::vector<entry> entries;
    std::size_t bytes = 0;
    std::size_t names = 0;
    for (std::size_t d = 0; d < before.size(); ++d)
        entries.push_back({before.names_.name(before.devices_[d].id), d, 0});
    for (std::size_t i = 0; i < ios.size() && i < registered.size(); ++i) {
        if (registered[i]) entries.push_back({ios[i].id(), before.size(), i});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const entry& a, const entry& b) { return a.id < b.id; });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const entry& a, const entry& b) { return a.id == b.id; }),
                  entries.end());
    for (const auto& e : entries) {
        if (e.before < before.size()) {
            names += before.devices_[e.before].count + 1;
            bytes += e.id.size();
            const auto c = before.const_controls_of(e.before);
            for (std::size_t i = 0; i < c.size(); ++i) bytes += c.name(i).size();
        } else {
            const announced_io io = ios[e.io];
            names += io.count() + 1;
            bytes += io.id().size();
            for (std::size_t i = 0; i < io.count(); ++i) bytes += io.name(i).size();
        }
    }
    remote_io_registry out;
    // Reserved at once: doubling would need the old and the new buffer beside each other.
    out.names_.reserve(bytes, names);
    out.states_.reserve(names - entries.size());
    out.devices_.reserve(entries.size());
    for (const auto& e : entries) {
        if (e.before < before.size()) {
            const auto c = before.const_controls_of(e.before);
            out.append(
                e.id, c.size(), [&](std::size_t i) { return c.name(i); },
                before.states_.data() + before.devices_[e.before].first);
        } else {
            const announced_io io = ios[e.io];
            const auto order = sorted_unique(io.count(), [&](std::uint32_t i) { return io.name(i); });
            out.append(
                e.id, order.size(), [&](std::size_t i) { return io.name(order[i]); }, nullptr);
        }
    }
    out.states_.shrink_to_fit();  // short of the reserve only by repeated names
    return out;
}

remote_io_registry::remote_io_registry(std::initializer_list<std::pair<std::string, control_table>> devices) {
    for (const auto& [id, table] : devices) emplace(id, table);
}

remote_io_registry::controls remote_io_registry::operator[](std::string_view id) {
    const std::size_t at = lower_bound(id);
    if (at == size() || names_.name(devices_[at].id) != id) {
        devices_.insert(
            devices_.begin() + static_cast<std::ptrdiff_t>(at),
            {static_cast<std::uint32_t>(names_.count()), static_cast<std::uint32_t>(states_.size()), 0});
        names_.add(id);
    }
    return controls(this, at);
}

void remote_io_registry::emplace(std::string_view id, const control_table& table) {
    if (found(id) == size()) (*this)[id] = table;
}

control_state& remote_io_registry::control(std::size_t d, std::string_view name) {
    const auto here = controls(this, d);
    const auto it = here.find(name);
    if (it != here.end()) return it->second;
    const std::size_t at = lower_bound_of(
        here.size(), [&](std::size_t i) { return here.name(i); }, name);
    const std::size_t n = devices_[d].id + 1 + at;
    const std::size_t p = devices_[d].first + at;
    names_.insert(n, name);
    states_.insert(states_.begin() + static_cast<std::ptrdiff_t>(p), control_state());
    for (std::size_t e = 0; e < devices_.size(); ++e) {
        if (e == d) continue;
        if (devices_[e].id >= n) ++devices_[e].id;
        if (devices_[e].first >= p) ++devices_[e].first;
    }
    ++devices_[d].count;
    return states_[p];
}

void remote_io_registry::erase_control(std::size_t d, std::string_view name) {
    const auto here = controls(this, d);
    const std::size_t at = lower_bound_of(
        here.size(), [&](std::size_t i) { return here.name(i); }, name);
    if (at == here.size() || here.name(at) != name) return;
    const std::size_t n = devices_[d].id + 1 + at;
    const std::size_t p = devices_[d].first + at;
    names_.erase(n);
    states_.erase(states_.begin() + static_cast<std::ptrdiff_t>(p));
    for (std::size_t e = 0; e < devices_.size(); ++e) {
        if (e == d) continue;
        if (devices_[e].id > n) --devices_[e].id;
        if (devices_[e].first > p) --devices_[e].first;
    }
    --devices_[d].count;
}

void remote_io_registry::set_controls(std::size_t d, const control_table& table) {
    while (devices_[d].count > 0) erase_control(d, controls(this, d).name(devices_[d].count - 1));
    for (std::size_t i = 0; i < table.size(); ++i) control(d, table.name(i)) = table.state(i);
}

void remote_io_registry::erase(std::string_view id) {
    const std::size_t d = found(id);
    if (d == size()) return;
    set_controls(d, control_table());
    const std::size_t n = devices_[d].id;
    names_.erase(n);
    devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(d));
    for (auto& e : devices_) {
        if (e.id > n) --e.id;
    }
}

bool operator==(const remote_io_registry& a, const remote_io_registry& b) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        const auto [id, controls] = *i;
        const auto [other_id, others] = *j;
        if (id != other_id || controls.size() != others.size()) return false;
        for (std::size_t c = 0; c < controls.size(); ++c) {
            if (controls.name(c) != others.name(c) || !(controls.value(c) == others.value(c))) return false;
        }
    }
    return true;
}

void announcement_list::push_back(std::string_view id, const name_run& names) {
    starts_.push_back(static_cast<std::uint32_t>(run_.count()));
    run_.add(id);
    for (std::size_t i = 0; i < names.count(); ++i) run_.add(names.name(i));
}

void announcement_list::push_back(const announced_io& io) {
    starts_.push_back(static_cast<std::uint32_t>(run_.count()));
    run_.add(io.id());
    for (std::size_t n = 0; n < io.count(); ++n) run_.add(io.name(n));
}

void announcement_list::resize(std::size_t ios) {
    if (ios >= size()) return;
    run_.resize(starts_[ios]);
    starts_.resize(ios);
}

}  // namespace quorvel
