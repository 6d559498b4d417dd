#include "mqtt-wrapper/io/link.h"

#include "mqtt-wrapper/common/p7.h"
#include "mqtt-wrapper/io/callback_data.h"

namespace quorvel::mosquitto {

namespace {

using steady = std::chrono::steady_clock;
const char* const source_file = "src/mqtt-wrapper/io/link";

}  // namespace

void deliver(LinkEvents& events, void* context) {
    for (const auto& event : events.told) {
        if (const auto* notice = std::get_if<Notice>(&event)) {
            MQTT_LOG(P7::WARNING, "%s", notice->text.c_str());
        }
    }
    HoldQueue::log(std::exchange(events.held, {}));
    for (const auto& event : events.told) {
        const auto* completion = std::get_if<Completion>(&event);
        if (!completion) continue;
        const auto& c = *completion;
        try {
            if (c.on_done) {
                MQTTAsync_successData data{};
                data.token = c.token;
                data.qos = static_cast<int>(c.code);
                c.on_done(context, &data);
            } else if (c.on_failed) {
                MQTTAsync_failureData data{};
                data.token = c.token;
                data.code = static_cast<int>(c.code);
                data.message = c.message.c_str();
                c.on_failed(context, &data);
            }
        } catch (const std::exception& e) {
            MQTT_LOG(P7::ERROR, "A completion callback threw: %s", e.what());
        } catch (...) {
            MQTT_LOG(P7::ERROR, "A completion callback threw");
        }
    }
    events.told.clear();
}

Link::Link(SessionSettings settings, BrokerAddress address, HoldQueue& held)
    : address_(std::move(address)),
      tls_(address_.kind == BrokerAddress::Kind::tls ? TlsContext::for_address(address_) : nullptr),
      held_(held),
      session_(std::move(settings)) {}

bool Link::publish(std::string_view topic, const unsigned char* payload, std::size_t size, Qos qos,
                   bool retain) {
    std::lock_guard<std::mutex> lock(mutex_);
    session_.publish(topic, payload, size, qos, retain, steady::now());
    return session_.state() == Session::State::connected;
}

bool Link::subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* on_done,
                     MQTTAsync_onFailure* on_failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    session_.subscribe(filter, qos, on_done, on_failed);
    return session_.state() == Session::State::connected;
}

bool Link::unsubscribe(const std::string& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    session_.unsubscribe(filter);
    return session_.state() == Session::State::connected;
}

void Link::allow_larger(std::string filter, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    session_.allow_larger(std::move(filter), bytes);
}

Link::Flush Link::flush() {
    auto result = Flush::done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!transport_.is_open() || broken_) return Flush::done;
        for (;;) {
            const auto out = session_.pending_output();
            if (out.empty()) break;
            const auto n = transport_.write(out.data(), out.size());
            if (n < 0) {
                broken_ = with_tls_failure(CloseCode::io, "write failed");
                result = Flush::broken;
                break;
            }
            session_.output_written(static_cast<std::size_t>(n), steady::now(), transport_.unsent());
            if (static_cast<std::size_t>(n) < out.size()) {
                result = Flush::partial;
                break;
            }
        }
    }
    room_.notify_all();
    return result;
}

bool Link::full(std::size_t limit, bool through_stalls) {
    std::lock_guard<std::mutex> lock(mutex_);
    return must_wait(limit, steady::now(), through_stalls);
}

bool Link::must_wait(std::size_t limit, steady::time_point now, bool through_stalls) {
    if (session_.state() != Session::State::connected || broken_ || session_.queued_bytes() <= limit)
        return false;
    if (through_stalls) return true;
    session_.output_unsent(transport_.unsent(), now);  // the output may be moving in the kernel
    return !session_.output_stalled(now);
}

void Link::wait_for_room(std::size_t limit, const std::atomic<bool>& stop, bool through_stalls) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Woken by every write; a stall is looked for a few times a second.
    while (!stop && must_wait(limit, steady::now(), through_stalls))
        room_.wait_for(lock, std::chrono::milliseconds(250));
}

void Link::wake_room_waiters() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    room_.notify_all();
}

bool Link::read(std::size_t max_bytes, LinkEvents& events, bool beyond_room) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!transport_.is_open() || broken_) return false;
    if (session_.waiting_for_room()) decode(events, beyond_room);
    if (!session_.waiting_for_room()) {
        const auto n = transport_.read(session_.input_room(max_bytes), max_bytes);
        if (n < 0) {
            broken_ = with_tls_failure(CloseCode::closed_by_peer, "closed by the broker");
        } else if (n > 0) {
            set_room(beyond_room);
            session_.input_added(static_cast<std::size_t>(n), steady::now());
            events.filled = static_cast<std::size_t>(n) == max_bytes;
            collect(events);
            if (session_.waiting_for_room()) decode(events, beyond_room);
        }
    }
    if (session_.waiting_for_room()) held_.reader_waits();
    return !broken_;
}

void Link::decode(LinkEvents& events, bool beyond_room) {
    // Messages that replace held ones make room as they go.
    for (;;) {
        set_room(beyond_room);
        const auto before = events.messages;
        session_.decode(steady::now());
        collect(events);
        if (!session_.waiting_for_room() || events.messages == before) return;
    }
}

void Link::set_room(bool beyond_room) {
    if (beyond_room) return session_.set_room({SIZE_MAX, SIZE_MAX, false});
    session_.set_room(held_.room());
}

bool Link::decodable() {
    if (!session_.waiting_for_room()) return false;
    return session_.fits(held_.room());
}

void Link::collect(LinkEvents& events) {
    session_.take_events(events_);
    // Messages go to the hold queue in one push, in the order read;
    // notices and completions to the caller, in theirs.
    for (auto& event : events_) {
        if (auto* message = std::get_if<MqttMessage>(&event)) {
            arrived_.push_back(std::move(*message));
        } else if (auto* closed = std::get_if<Closed>(&event)) {
            if (!broken_) broken_ = std::move(*closed);
        } else if (std::holds_alternative<Notice>(event) || std::holds_alternative<Completion>(event)) {
            events.told.push_back(std::move(event));
        }
    }
    events_.clear();
    // A burst (thousands of subscriptions acknowledged at once) would leave
    // its room behind for good.
    if (events_.capacity() > 256) std::vector<Event>().swap(events_);
    events.messages += arrived_.size();
    const auto report = held_.push(arrived_);
    events.held.dropped += report.dropped;
    if (report.replaced > 0) events.held = {events.held.dropped, report.replaced, report.replaced_over};
}

Closed Link::with_tls_failure(CloseCode code, const char* what) const {
    const auto tls = transport_.failure();
    return tls.empty() ? Closed{code, what} : Closed{CloseCode::tls, "TLS: " + tls};
}

bool Link::broken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return broken_.has_value();
}

std::optional<Closed> Link::connect(bool clean_session, int abort_fd) {
    Transport transport;
    auto failed = transport.open(address_, tls_.get(), steady::now() + std::chrono::seconds(5), abort_fd);
    if (failed) return failed;
    std::lock_guard<std::mutex> lock(mutex_);
    transport_ = std::move(transport);
    broken_.reset();
    session_.open(clean_session, steady::now());
    return std::nullopt;
}

std::string Link::transport_description() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transport_.description();
}

bool Link::buffered(bool beyond_room) {
    std::lock_guard<std::mutex> lock(mutex_);
    return (tls_ && transport_.buffered()) || (beyond_room ? session_.waiting_for_room() : decodable());
}

bool Link::waiting_for_room() {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.waiting_for_room() && !decodable();
}

void Link::tick(steady::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (transport_.is_open()) session_.output_unsent(transport_.unsent(), now);
    session_.tick(now);
    LinkEvents none;  // a tick only closes
    collect(none);
}

steady::time_point Link::next_deadline() {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.next_deadline();
}

bool Link::output_pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transport_.is_open() && session_.queued_bytes() > 0;
}

void Link::disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    session_.disconnect();
}

bool Link::disconnect_written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.disconnecting() && session_.queued_bytes() == 0;
}

Session::State Link::state() {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.state();
}

int Link::fd() {
    std::lock_guard<std::mutex> lock(mutex_);
    return transport_.fd();
}

void Link::shutdown_write() {
    std::lock_guard<std::mutex> lock(mutex_);
    transport_.shutdown_write();
}

std::size_t Link::unsent_publications() {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_.queued_publishes();
}

Link::Loss Link::drop(LinkEvents& events) {
    Loss loss;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        loss.closed = broken_ ? std::move(*broken_) : Closed{CloseCode::stopped, {}};
        loss.served = session_.served();
        loss.lost_publications = session_.lost();
        collect(events);
        transport_.close();
        broken_.reset();
    }
    room_.notify_all();
    return loss;
}

}  // namespace quorvel::mosquitto
