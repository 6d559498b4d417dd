#include "registry.h"

#include <algorithm>
#include <numeric>
#include <tuple>

namespace quorvel {

RemoteIoRegistry& abroad_ios = *new RemoteIoRegistry;
AnnouncementList& announcements = *new AnnouncementList;
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

void NameRun::insert(std::size_t i, std::string_view name) {
    const std::uint32_t from = i == 0 ? 0 : ends_[i - 1];
    text_.insert(from, name);
    ends_.insert(ends_.begin() + static_cast<std::ptrdiff_t>(i), from);
    for (std::size_t j = i; j < ends_.size(); ++j) ends_[j] += static_cast<std::uint32_t>(name.size());
}

void NameRun::erase(std::size_t i) {
    const std::uint32_t from = i == 0 ? 0 : ends_[i - 1];
    const std::uint32_t size = ends_[i] - from;
    text_.erase(from, size);
    ends_.erase(ends_.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::size_t j = i; j < ends_.size(); ++j) ends_[j] -= size;
}

ControlTable::ControlTable(std::vector<value_type> items) {
    const auto order =
        sorted_unique(items.size(), [&](std::uint32_t i) { return std::string_view(items[i].first); });
    for (const auto i : order) {
        names_.add(items[i].first);
        states_.push_back(items[i].second);
    }
}

template <class Name>
void RemoteIoRegistry::append(std::string_view id, std::size_t count, Name name, const ControlState* states) {
    devices_.push_back({static_cast<std::uint32_t>(names_.count()),
                        static_cast<std::uint32_t>(states_.size()), static_cast<std::uint32_t>(count)});
    names_.add(id);
    for (std::size_t i = 0; i < count; ++i) {
        names_.add(name(i));
        states_.push_back(states ? states[i] : ControlState());
    }
}

RemoteIoRegistry RemoteIoRegistry::built(const RemoteIoRegistry& before, const AnnouncementList& ios,
                                         const std::vector<bool>& registered) {
    // Those already there first, so that they keep their place.
    struct Entry {
        std::string_view id;
        std::size_t before;  // index in before, or size() for an announced io
        std::size_t io;
    };
    std::vector<Entry> entries;
    std::size_t bytes = 0;
    std::size_t names = 0;
    for (std::size_t d = 0; d < before.size(); ++d)
        entries.push_back({before.names_.name(before.devices_[d].id), d, 0});
    for (std::size_t i = 0; i < ios.size() && i < registered.size(); ++i) {
        if (registered[i]) entries.push_back({ios[i].id(), before.size(), i});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.id < b.id; });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const Entry& a, const Entry& b) { return a.id == b.id; }),
                  entries.end());
    for (const auto& e : entries) {
        if (e.before < before.size()) {
            names += before.devices_[e.before].count + 1;
            bytes += e.id.size();
            const auto c = before.const_controls_of(e.before);
            for (std::size_t i = 0; i < c.size(); ++i) bytes += c.name(i).size();
        } else {
            const AnnouncedIo io = ios[e.io];
            names += io.count() + 1;
            bytes += io.id().size();
            for (std::size_t i = 0; i < io.count(); ++i) bytes += io.name(i).size();
        }
    }
    RemoteIoRegistry out;
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
            const AnnouncedIo io = ios[e.io];
            const auto order = sorted_unique(io.count(), [&](std::uint32_t i) { return io.name(i); });
            out.append(
                e.id, order.size(), [&](std::size_t i) { return io.name(order[i]); }, nullptr);
        }
    }
    out.states_.shrink_to_fit();  // short of the reserve only by repeated names
    return out;
}

RemoteIoRegistry::RemoteIoRegistry(std::initializer_list<std::pair<std::string, ControlTable>> devices) {
    for (const auto& [id, table] : devices) emplace(id, table);
}

RemoteIoRegistry::controls RemoteIoRegistry::operator[](std::string_view id) {
    const std::size_t at = lower_bound(id);
    if (at == size() || names_.name(devices_[at].id) != id) {
        devices_.insert(
            devices_.begin() + static_cast<std::ptrdiff_t>(at),
            {static_cast<std::uint32_t>(names_.count()), static_cast<std::uint32_t>(states_.size()), 0});
        names_.add(id);
    }
    return controls(this, at);
}

void RemoteIoRegistry::emplace(std::string_view id, const ControlTable& table) {
    if (found(id) == size()) (*this)[id] = table;
}

ControlState& RemoteIoRegistry::control(std::size_t d, std::string_view name) {
    const auto here = controls(this, d);
    const auto it = here.find(name);
    if (it != here.end()) return it->second;
    const std::size_t at = lower_bound_of(
        here.size(), [&](std::size_t i) { return here.name(i); }, name);
    const std::size_t n = devices_[d].id + 1 + at;
    const std::size_t p = devices_[d].first + at;
    names_.insert(n, name);
    states_.insert(states_.begin() + static_cast<std::ptrdiff_t>(p), ControlState());
    for (std::size_t e = 0; e < devices_.size(); ++e) {
        if (e == d) continue;
        if (devices_[e].id >= n) ++devices_[e].id;
        if (devices_[e].first >= p) ++devices_[e].first;
    }
    ++devices_[d].count;
    return states_[p];
}

void RemoteIoRegistry::erase_control(std::size_t d, std::string_view name) {
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

void RemoteIoRegistry::set_controls(std::size_t d, const ControlTable& table) {
    while (devices_[d].count > 0) erase_control(d, controls(this, d).name(devices_[d].count - 1));
    for (std::size_t i = 0; i < table.size(); ++i) control(d, table.name(i)) = table.state(i);
}

void RemoteIoRegistry::erase(std::string_view id) {
    const std::size_t d = found(id);
    if (d == size()) return;
    set_controls(d, ControlTable());
    const std::size_t n = devices_[d].id;
    names_.erase(n);
    devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(d));
    for (auto& e : devices_) {
        if (e.id > n) --e.id;
    }
}

bool operator==(const RemoteIoRegistry& a, const RemoteIoRegistry& b) {
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

void AnnouncementList::push_back(std::string_view id, const NameRun& names) {
    starts_.push_back(static_cast<std::uint32_t>(run_.count()));
    run_.add(id);
    for (std::size_t i = 0; i < names.count(); ++i) run_.add(names.name(i));
}

void AnnouncementList::push_back(const AnnouncedIo& io) {
    starts_.push_back(static_cast<std::uint32_t>(run_.count()));
    run_.add(io.id());
    for (std::size_t n = 0; n < io.count(); ++n) run_.add(io.name(n));
}

void AnnouncementList::resize(std::size_t ios) {
    if (ios >= size()) return;
    run_.resize(starts_[ios]);
    starts_.resize(ios);
}

}  // namespace quorvel
