#pragma once

// How the tree is published, for every path (the announcements at start, a
// data message, the watchdog's sweep, the tree published again), and what a
// publication the client refused leaves owed.

#include "fair_mutex.h"
#include "registry.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quorvel {

// Publish one remote io's name, and one of its controls' type, readonly
// flag and order (0-based), as the configuration announced them.
void announce_name(mosquitto::MqttAsyncWrapper& client, const announced_io& io);
void announce_control(mosquitto::MqttAsyncWrapper& client, const announced_io& io, std::size_t i);
// About how many bytes the announcement of a control takes, for pacing.
inline std::size_t announced_bytes(const announced_io& io, std::size_t i) {
    return 3 * (io.id().size() + io.name(i).size() + 40);
}

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
// record, at finish().
class TreePass {
public:
    static constexpr std::size_t slice_controls = 256;
    static constexpr std::size_t slice_bytes = 32 * 1024;

    // abandon: asked between slices, without the lock; true ends the pass.
    explicit TreePass(mosquitto::MqttAsyncWrapper& client, std::function<bool()> abandon = {});
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
    std::function<bool()> abandon_;
    std::unique_lock<fair_mutex> lock_;
    std::size_t in_slice_ = 0;
    std::size_t slice_bytes_ = 0;
    std::size_t attempted_ = 0;
    std::unique_ptr<Failures> failures_;
};

// A publication the client refused because its buffer was full (the broker
// away, or reading nothing) leaves the tree owed: the watchdog publishes it
// whole at its next sweep. True when e was such a refusal.
bool owe_tree_if_refused(const std::exception& e);
// Whether the tree is owed; clears it.
bool take_owed_tree();

}  // namespace quorvel
