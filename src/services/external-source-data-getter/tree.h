#pragma once

// The device tree as the broker keeps it, published from one place: the
// announcements, a control's marker and value for every path (the start, a
// data message, the sweep, the whole tree again), whether the tree is owed,
// the connections it was published for, and the watchdog thread that does
// what is due.
//
// A broker may come back without its retained messages (no persistence, a
// fail-over), and a value written to a connection that then broke may never
// have reached it: after every new connection the watchdog publishes the
// whole tree again, announcements first, then each control's error marker
// by the staleness rule followed by its last value. A publication the
// client refused for a full buffer leaves the tree owed and wakes the
// watchdog: it publishes the whole tree once the output has room again,
// at most once between two sweeps; a sweep publishes the whole tree
// instead of the markers while it is owed.

#include "fair_mutex.h"
#include "registry.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace quorvel {

// One remote io announced as the configuration lists it: its name, and each
// control's type, readonly flag and order. paced counts the bytes announced
// since the client last had room; past a slice's worth it waits for room.
void announce_io(mosquitto::MqttAsyncWrapper& client, const AnnouncedIo& io, std::size_t& paced);

// A control's topic, "/devices/<id>/controls/<name>", written over topic
// (its buffer kept); its marker's is that and "/meta/error".
void control_topic(std::string& topic, std::string_view id, std::string_view name);
inline constexpr std::string_view marker_suffix = "/meta/error";

// Publishes a control's error marker, retained: "r" (string form) when
// stale, a zero-length payload (byte-vector form) that clears it otherwise.
void publish_error_marker(mosquitto::MqttAsyncWrapper& client, const std::string& topic, bool stale);

// Publishes a control's value, retained, as the text "{}" makes of it.
void publish_value(mosquitto::MqttAsyncWrapper& client, const std::string& topic, double value);

// One pass over the tree: a sweep of the markers, or the whole tree
// published again. It holds m_mutex for a slice of at most slice_controls
// controls or slice_bytes of topics and payloads at a time, and lets it go
// between slices, where it waits for room in the client's output at the
// link's pace. So readings and the heartbeat go on whatever the link's
// speed: a reading handled in between is published at once, and a slice
// publishes what the registry holds then, so no control's value goes back
// to an older reading. A control's publications are never split. A
// failing marker or value does not stop the others: the failures make one
// record, at finish(). A connection that comes during a pass ends it after
// the slice: the whole tree follows.
class TreePass {
public:
    static constexpr std::size_t slice_controls = 256;
    static constexpr std::size_t slice_bytes = 32 * 1024;

    explicit TreePass(mosquitto::MqttAsyncWrapper& client);
    ~TreePass();
    TreePass(const TreePass&) = delete;
    TreePass& operator=(const TreePass&) = delete;
    // Every configured remote io announced again; throws as a Send does.
    // False when the pass was abandoned.
    bool announce();
    // Every registered control's error marker judged against now;
    // with_values: each followed by the control's last value, where it has one.
    bool markers(std::int64_t now, bool with_values);
    void finish(const char* kinds);  // the record of the failures, if any

private:
    class Failures;
    bool next(std::size_t bytes);  // after a control, with the bytes of its topics and payloads

    mosquitto::MqttAsyncWrapper& client_;
    std::unique_lock<fair_mutex> lock_;
    std::size_t in_slice_ = 0;
    std::size_t slice_bytes_ = 0;
    std::size_t attempted_ = 0;
    std::unique_ptr<Failures> failures_;
};

// One sweep: every registered control's error marker judged against one
// reading of the clock, in slices. It goes on past a failing publish; its
// failures make one record.
void sweep_markers(mosquitto::MqttAsyncWrapper& client);

// A refusal for a full buffer (the broker away, or reading nothing) owes
// the tree and wakes the watchdog; true when e was one. Never waits for
// m_mutex.
bool owe_tree_if_refused(const std::exception& e);
// Whether the tree is owed; clears it.
bool take_owed_tree();

// The client's connection callback calls it: counts the connection and
// wakes the watchdog. Never waits for m_mutex.
void note_connection();
unsigned long connections_so_far();
// The tree as configured has reached, or waits in the client for, the
// first `connections` connections.
void tree_sent_for(unsigned long connections);

// The whole tree again, slice by slice, when a connection came since it
// was last published (a connection meanwhile ends it early: call again),
// or when it is owed. False when it was not due.
bool republish_if_due(mosquitto::MqttAsyncWrapper& client);
bool republish_if_owed(mosquitto::MqttAsyncWrapper& client);

// The watchdog thread: the first sweep 5 s after it starts, then one every
// 90 s, the whole tree instead when it is owed; the whole tree at once
// after every connection. Holds its own reference to the client, so the
// client outlives it.
void sync_timeouts(std::shared_ptr<mosquitto::MqttAsyncWrapper> client);

}  // namespace quorvel
