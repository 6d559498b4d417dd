#pragma once

// The locks of the service, in the order they may be taken: a thread that
// holds one takes only locks further down.
//
// 1. m_mutex (here): the registry, the announcements and every Send of the
//    tree. The bootstrap fills them on the main thread before the watchdog
//    exists; from then on every access holds m_mutex: the message loop for
//    one data message, the watchdog for one slice of a pass over the tree
//    (see TreePass), the heartbeat to count. Fair (granted in the order
//    asked for), never nested, always scope-bound; never taken on the
//    client's thread.
// 2. The client's own locks (src/mqtt-wrapper), taken inside Send and the
//    other calls, m_mutex held or not.
// 3. Leaves, held only to read or set a flag, never while taking another:
//    the watchdog's wake (clock.cpp: the connection callback wakes it from
//    the client's thread, a refused publication with m_mutex held or not),
//    the heartbeat's status change (supervision.cpp)
//    and the log shim's line. fair_mutex's own mutex lives only inside
//    m_mutex's lock() and unlock().
//
// The tree's state (connections made and published, the tree owed) and the
// status flags are atomics, so the client's thread never waits for m_mutex.

#include "fair_mutex.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {

// A control's last reading: its timestamp, seconds since 1970 in 64 bits on
// every target (0 until the first reading), and the value as published, kept
// so that a broker that lost it gets it again after a reconnection.
class ControlState {
public:
    ControlState(std::int64_t ts = 0) : timestamp(ts) {}  // known since ts, no value yet
    std::int64_t timestamp;

    bool has_value() const { return !is_none(value_); }
    double value() const { return value_; }
    void record(std::int64_t ts, double v) {
        timestamp = ts;
        value_ = v;
    }

    bool operator==(std::int64_t) const = delete;  // compare the timestamp, or a whole state
    friend bool operator==(const ControlState& a, const ControlState& b) {
        const bool same_value = a.value_ == b.value_ || (std::isnan(a.value_) && std::isnan(b.value_));
        return a.timestamp == b.timestamp && a.has_value() == b.has_value() && same_value;
    }

private:
    // "No value" is a NaN that no sum of JSON numbers can make (at worst an
    // infinity; arithmetic makes only the default NaN), so a control costs
    // no flag and no padding.
    static constexpr std::uint64_t none_bits = 0x7FF4'0000'0000'0001;
    static double none() { return bit_cast_double(none_bits); }
    static bool is_none(double v) { return bits_of(v) == none_bits; }
    static double bit_cast_double(std::uint64_t bits) {
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    static std::uint64_t bits_of(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return bits;
    }

    double value_ = none();
};
// Names one after another in one text, each found by where it ends: no
// allocation of its own per name.
class NameRun {
public:
    std::size_t count() const { return ends_.size(); }
    std::string_view name(std::size_t i) const {
        const std::size_t from = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(from, ends_[i] - from);
    }
    void add(std::string_view name) {
        text_ += name;
        ends_.push_back(static_cast<std::uint32_t>(text_.size()));
    }
    void clear() {
        text_.clear();
        ends_.clear();
    }
    void insert(std::size_t i, std::string_view name);
    void erase(std::size_t i);
    void resize(std::size_t names) {  // to fewer
        ends_.resize(names);
        text_.resize(names == 0 ? 0 : ends_.back());
    }
    void reserve(std::size_t bytes, std::size_t names) {
        text_.reserve(bytes);
        ends_.reserve(names);
    }
    void shrink_to_fit() {
        text_.shrink_to_fit();
        ends_.shrink_to_fit();
    }
    const std::string& text() const { return text_; }
    const std::vector<std::uint32_t>& ends() const { return ends_; }

private:
    std::string text_;
    std::vector<std::uint32_t> ends_;
};

// Visits a table's entries as (name, value) pairs, by index: the table
// gives name(i) and value(i).
template <class Table, class Value>
class PairIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using difference_type = std::ptrdiff_t;
    using reference = std::pair<std::string_view, Value>;
    using value_type = reference;
    struct pointer {
        reference pair;
        const reference* operator->() const { return &pair; }
    };
    PairIterator(Table table, std::size_t at) : table_(table), at_(at) {}
    reference operator*() const { return {table_.name(at_), table_.value(at_)}; }
    pointer operator->() const { return {**this}; }
    PairIterator& operator++() {
        ++at_;
        return *this;
    }
    bool operator==(const PairIterator& o) const { return at_ == o.at_; }
    bool operator!=(const PairIterator& o) const { return at_ != o.at_; }

private:
    Table table_;
    std::size_t at_;
};

// Where name would go among the count names name(0).. in order.
template <class Name>
std::size_t lower_bound_of(std::size_t count, Name name_at, std::string_view name) {
    std::size_t low = 0;
    std::size_t high = count;
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        if (name_at(mid) < name) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// A device's controls as a value: their names sorted, in one run, and their
// last readings beside them. What the registry is built from, and what a
// test sets a device to.
class ControlTable {
public:
    using value_type = std::pair<std::string, ControlState>;

    ControlTable() = default;
    // Of names repeated in the list, the first is kept.
    explicit ControlTable(std::vector<value_type> items);
    ControlTable(std::initializer_list<value_type> items) : ControlTable(std::vector<value_type>(items)) {}

    std::size_t size() const { return states_.size(); }
    std::string_view name(std::size_t i) const { return names_.name(i); }
    const ControlState& state(std::size_t i) const { return states_[i]; }

private:
    NameRun names_;
    std::vector<ControlState> states_;
};

class AnnouncementList;

// Every registered device and its controls in three arrays: per control its
// name in one run and its state beside it, about 20 bytes beyond the name;
// per device 12 bytes. Built once, at configuration, then only read and
// overwritten in place. Used as a map of device id to a map of control name
// to ControlState, both in name order; inserting and erasing are linear,
// meant for tests.
class RemoteIoRegistry {
    struct Device {
        std::uint32_t id;     // its id in names_, its controls' names after it
        std::uint32_t first;  // its first control in states_
        std::uint32_t count;
    };

public:
    // One device's controls: (name, ControlState&) pairs in name order.
    template <class Registry, class State>
    class BasicControls {
    public:
        using iterator = PairIterator<BasicControls, State&>;
        BasicControls(Registry* registry, std::size_t device) : r_(registry), d_(device) {}

        iterator begin() const { return {*this, 0}; }
        iterator end() const { return {*this, size()}; }
        std::size_t size() const { return dev().count; }
        bool empty() const { return size() == 0; }
        iterator find(std::string_view name) const {
            const std::size_t at = lower_bound_of(
                size(), [this](std::size_t i) { return this->name(i); }, name);
            return {*this, at < size() && this->name(at) == name ? at : size()};
        }
        std::string_view name(std::size_t i) const { return r_->names_.name(dev().id + 1 + i); }
        State& value(std::size_t i) const { return r_->states_[dev().first + i]; }

        // For tests: a missing name is inserted.
        ControlState& operator[](std::string_view name) const { return r_->control(d_, name); }
        void erase(std::string_view name) const { r_->erase_control(d_, name); }
        const BasicControls& operator=(const ControlTable& table) const {
            r_->set_controls(d_, table);
            return *this;
        }

    private:
        const Device& dev() const { return r_->devices_[d_]; }
        Registry* r_;
        std::size_t d_;
    };
    using controls = BasicControls<RemoteIoRegistry, ControlState>;
    using const_controls = BasicControls<const RemoteIoRegistry, const ControlState>;

    template <class Registry, class Controls>
    class BasicView {
    public:
        explicit BasicView(Registry* r) : r_(r) {}
        std::string_view name(std::size_t i) const { return r_->names_.name(r_->devices_[i].id); }
        Controls value(std::size_t i) const { return Controls(r_, i); }

    private:
        Registry* r_;
    };
    using iterator = PairIterator<BasicView<RemoteIoRegistry, controls>, controls>;
    using const_iterator = PairIterator<BasicView<const RemoteIoRegistry, const_controls>, const_controls>;

    RemoteIoRegistry() = default;
    // The remote ios registered among those announced, a repeated id keeping
    // the first entry, those already in `before` included; a name listed
    // twice is one control.
    static RemoteIoRegistry built(const RemoteIoRegistry& before, const AnnouncementList& ios,
                                  const std::vector<bool>& registered);
    // For tests and the reference of the fuzzers: devices by id, the first of repeated ids kept.
    RemoteIoRegistry(std::initializer_list<std::pair<std::string, ControlTable>> devices);

    iterator begin() { return {BasicView<RemoteIoRegistry, controls>(this), 0}; }
    iterator end() { return {BasicView<RemoteIoRegistry, controls>(this), size()}; }
    const_iterator begin() const { return {BasicView<const RemoteIoRegistry, const_controls>(this), 0}; }
    const_iterator end() const { return {BasicView<const RemoteIoRegistry, const_controls>(this), size()}; }
    std::size_t size() const { return devices_.size(); }
    bool empty() const { return devices_.empty(); }
    std::size_t controls_count() const { return states_.size(); }
    iterator find(std::string_view id) { return {BasicView<RemoteIoRegistry, controls>(this), found(id)}; }
    const_iterator find(std::string_view id) const {
        return {BasicView<const RemoteIoRegistry, const_controls>(this), found(id)};
    }

    // For tests: a missing id is inserted without controls.
    controls operator[](std::string_view id);
    // Keeps a device that is already there, as a map does.
    void emplace(std::string_view id, const ControlTable& table);
    void erase(std::string_view id);
    void clear() { *this = RemoteIoRegistry(); }

    friend bool operator==(const RemoteIoRegistry& a, const RemoteIoRegistry& b);
    friend bool operator!=(const RemoteIoRegistry& a, const RemoteIoRegistry& b) { return !(a == b); }

private:
    const_controls const_controls_of(std::size_t d) const { return const_controls(this, d); }
    std::size_t lower_bound(std::string_view id) const {
        return lower_bound_of(
            size(), [this](std::size_t i) { return names_.name(devices_[i].id); }, id);
    }
    std::size_t found(std::string_view id) const {
        const std::size_t at = lower_bound(id);
        return at < size() && names_.name(devices_[at].id) == id ? at : size();
    }
    // Appends a device after those there.
    template <class Name>
    void append(std::string_view id, std::size_t count, Name name, const ControlState* states);
    // The same registry with device d's controls replaced: linear.
    void set_controls(std::size_t d, const ControlTable& controls);
    ControlState& control(std::size_t d, std::string_view name);
    void erase_control(std::size_t d, std::string_view name);

    NameRun names_;                     // per device its id, then its controls' names in order
    std::vector<Device> devices_;       // in id order
    std::vector<ControlState> states_;  // per control, a device's together
};

// One remote io as the configuration announced it: its id and its control
// names in their order (a repeated name included).
class AnnouncedIo {
public:
    AnnouncedIo(const NameRun& run, std::size_t at, std::size_t count) : run_(&run), at_(at), count_(count) {}
    std::string_view id() const { return run_->name(at_); }
    std::size_t count() const { return count_; }
    std::string_view name(std::size_t i) const { return run_->name(at_ + 1 + i); }

private:
    const NameRun* run_;
    std::size_t at_;
    std::size_t count_;
};

// The remote ios in the order of the configuration, a repeated id announced
// again, so that the device tree can be announced again, the same, without a
// copy of every topic: ids and names in one run, 4 bytes each beside them.
class AnnouncementList {
public:
    void push_back(std::string_view id, const NameRun& names);
    void push_back(const AnnouncedIo& io);
    void resize(std::size_t ios);  // to fewer
    std::size_t size() const { return starts_.size(); }
    bool empty() const { return starts_.empty(); }
    AnnouncedIo operator[](std::size_t i) const {
        const std::size_t next = i + 1 < starts_.size() ? starts_[i + 1] : run_.count();
        return AnnouncedIo(run_, starts_[i], next - starts_[i] - 1);
    }
    void clear() {
        run_.clear();
        starts_.clear();
    }
    void reserve(std::size_t bytes, std::size_t names) { run_.reserve(bytes, names); }
    void shrink_to_fit() {
        run_.shrink_to_fit();
        starts_.shrink_to_fit();
    }

private:
    NameRun run_;                        // each io's id, then its names
    std::vector<std::uint32_t> starts_;  // where each io's id is in run_
};

// Both live until the process ends and are never destroyed, so the detached
// watchdog can never touch a destroyed object while the process exits.
extern RemoteIoRegistry& abroad_ios;
extern AnnouncementList& announcements;
extern fair_mutex& m_mutex;

constexpr std::int64_t stale_after_s = 900;

// ts + 900 < now, without overflow at the ends of the range.
bool is_stale(std::int64_t ts, std::int64_t now);

}  // namespace quorvel
