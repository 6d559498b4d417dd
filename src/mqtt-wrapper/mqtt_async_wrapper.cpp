// Locking: mutex_ guards the connection state, the subscription table and the
// offline buffer; held_mutex_ the hold queue; publish_mutex_ the publish
// completion count. None of these is held while calling into Paho: Paho runs
// its callbacks under its own lock, and the callbacks take these leaf locks.
// handle_mutex_ keeps the Paho handle alive for callers outside callbacks
// (shared) against its replacement by the supervisor (exclusive). Callbacks
// never take it: destroying a handle waits for its running callbacks.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include "mqtt-wrapper/broker_probe.h"
#include "mqtt-wrapper/p7.h"
#include "mqtt-wrapper/topic_rules.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <utility>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* default_broker = "tcp://127.0.0.1:1883";
constexpr int max_queued_publishes = 2048;  // in Paho, written or not yet
constexpr std::size_t max_offline_publishes = 2048;
constexpr std::size_t max_offline_bytes = 1 << 20;
constexpr std::size_t max_held_messages = 1000;
constexpr std::size_t max_held_bytes = 1 << 20;
constexpr auto reconnect_delay_min = 20ms;
constexpr auto reconnect_delay_max = 250ms;
constexpr int probe_timeout_ms = 2000;
constexpr auto drop_report_interval = 10s;
constexpr auto publish_room_poll = 100ms;
constexpr int keep_alive_s = 30;
constexpr int connect_timeout_s = 5;
constexpr int disconnect_timeout_ms = 2000;
constexpr std::size_t topic_shown_bytes = 200;

const char* const source_file = "src/mqtt-wrapper/mqtt_async_wrapper";

#define WRAPPER_LOG(level, ...) \
    P7::getTrace()->Trace(0, level, nullptr, __LINE__, source_file, __func__, __VA_ARGS__)

std::string shown(const std::string& topic) {
    if (topic.size() <= topic_shown_bytes) return topic;
    return topic.substr(0, topic_shown_bytes) + "...";
}

std::string broker_address() {
    const char* env = std::getenv("MQTT_BROKER");
    return env && *env ? env : default_broker;
}

struct Outgoing {
    std::string topic;
    std::vector<unsigned char> payload;
    int qos;
    bool retain;
};

}  // namespace

struct MqttAsyncWrapper::Impl {
    struct Subscription {
        std::string filter;
        int qos;
        MQTTAsync_onSuccess* on_done;
        MQTTAsync_onFailure* on_failed;
        unsigned long issued_on;  // number of the connection it was last sent on
    };

    MqttAsyncWrapper* const owner;
    const std::string uri;
    const std::string client_id;

    std::shared_mutex handle_mutex_;
    MQTTAsync handle_ = nullptr;

    std::mutex mutex_;
    std::condition_variable state_cv_;
    bool started_ = false;
    bool connected_ = false;
    bool connecting_ = false;
    bool flushing_ = false;
    bool stopping_ = false;
    bool failing_ = false;
    bool disconnected_ = false;
    bool clean_session_ = true;
    unsigned long connection_ = 0;
    MQTTAsync_onSuccess* on_connected_ = nullptr;
    std::vector<Subscription> subscriptions_;
    std::deque<Outgoing> offline_;
    std::size_t offline_bytes_ = 0;
    std::thread supervisor_;

    std::mutex held_mutex_;
    std::condition_variable held_cv_;
    std::deque<MqttMessage> held_;
    std::size_t held_bytes_ = 0;
    std::size_t dropped_unreported_ = 0;
    steady::time_point last_drop_report_{};

    std::mutex publish_mutex_;
    std::condition_variable publish_cv_;
    unsigned long long publishes_done_ = 0;
    std::atomic<unsigned long> publishes_failed_{0};

    Impl(MqttAsyncWrapper* o, std::string id) : owner(o), uri(broker_address()), client_id(std::move(id)) {}

    // Called with handle_mutex_ held exclusively.
    void create_handle() {
        MQTTAsync_createOptions opts = MQTTAsync_createOptions_initializer;
        opts.sendWhileDisconnected = 0;  // the offline buffer is ours
        opts.maxBufferedMessages = max_queued_publishes;
        opts.MQTTVersion = MQTTVERSION_3_1_1;
        int rc = MQTTAsync_createWithOptions(&handle_, uri.c_str(), client_id.c_str(),
                                             MQTTCLIENT_PERSISTENCE_NONE, nullptr, &opts);
        if (rc != MQTTASYNC_SUCCESS) {
            throw MqttError(
                fmt::format("Cannot create an MQTT client for broker '{}': {}", uri, MQTTAsync_strerror(rc)),
                rc);
        }
        rc = MQTTAsync_setCallbacks(handle_, this, &Impl::connection_lost, &Impl::message_arrived, nullptr);
        if (rc != MQTTASYNC_SUCCESS) {
            MQTTAsync_destroy(&handle_);
            throw MqttError(fmt::format("Cannot set MQTT callbacks: {}", MQTTAsync_strerror(rc)), rc);
        }
    }

    // Called with handle_mutex_ held.
    int start_connect() {
        MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
        opts.keepAliveInterval = keep_alive_s;
        opts.cleansession = clean_session_ ? 1 : 0;
        opts.connectTimeout = connect_timeout_s;
        opts.MQTTVersion = MQTTVERSION_3_1_1;
        opts.onSuccess = &Impl::connect_succeeded;
        opts.onFailure = &Impl::connect_failed;
        opts.context = this;
        return MQTTAsync_connect(handle_, &opts);
    }

    // Reconnects after every loss or failed attempt. Paho's own retry runs on
    // a tick of seconds, and a reused handle takes a second to finish a new
    // connection, so the supervisor probes the broker itself on a short
    // back-off and connects a fresh handle once the broker accepts.
    void supervise() {
        auto delay = std::chrono::milliseconds(reconnect_delay_min);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            state_cv_.wait(lock, [&] { return stopping_ || (!connected_ && !connecting_); });
            if (stopping_) return;
            if (state_cv_.wait_for(lock, delay, [&] { return stopping_; })) return;
            lock.unlock();
            const bool reachable = broker_accepts_connections(uri, probe_timeout_ms);
            int rc = MQTTASYNC_FAILURE;
            std::string error;
            if (reachable) {
                std::unique_lock<std::shared_mutex> handle_lock(handle_mutex_);
                MQTTAsync_destroy(&handle_);
                try {
                    create_handle();
                    rc = start_connect();
                    if (rc != MQTTASYNC_SUCCESS) error = MQTTAsync_strerror(rc);
                } catch (const std::exception& e) {
                    error = e.what();
                }
            }
            lock.lock();
            if (rc == MQTTASYNC_SUCCESS) {
                connecting_ = true;
                delay = reconnect_delay_min;
                continue;
            }
            delay = std::min(delay * 2, std::chrono::milliseconds(reconnect_delay_max));
            if (!failing_) {
                failing_ = true;
                WRAPPER_LOG(P7::WARNING, "Cannot connect to %s: %s; retrying until it is up", uri.c_str(),
                            reachable ? error.c_str() : "no answer");
            }
        }
    }

    // Sends every subscription not yet sent on the current connection. The
    // caller keeps the handle alive (a callback, or handle_mutex_ held).
    void issue_subscriptions() {
        std::vector<Subscription> todo;
        unsigned long connection = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!connected_) return;
            connection = connection_;
            for (auto& s : subscriptions_) {
                if (s.issued_on != connection) {
                    s.issued_on = connection;
                    todo.push_back(s);
                }
            }
        }
        for (const auto& s : todo) {
            MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
            opts.onSuccess = s.on_done;
            opts.onFailure = s.on_failed;
            opts.context = owner;
            if (MQTTAsync_subscribe(handle_, s.filter.c_str(), s.qos, &opts) == MQTTASYNC_SUCCESS) {
                continue;
            }
            // Lost the connection in between: the next connection sends it.
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& entry : subscriptions_) {
                if (entry.filter == s.filter && entry.issued_on == connection) entry.issued_on = 0;
            }
        }
    }

    // Hands what was buffered while disconnected to Paho, in order; Send
    // keeps buffering until this is done, so nothing overtakes it.
    void flush_offline() {
        for (;;) {
            std::deque<Outgoing> batch;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (offline_.empty() || !connected_) {
                    flushing_ = false;
                    return;
                }
                batch.swap(offline_);
                offline_bytes_ = 0;
            }
            std::size_t lost = 0;
            for (const auto& m : batch) {
                if (send_now(m.topic, m.payload.data(), m.payload.size(), m.qos, m.retain) !=
                    MQTTASYNC_SUCCESS) {
                    ++lost;
                }
            }
            if (lost > 0) {
                WRAPPER_LOG(P7::WARNING, "Lost %zu publications buffered while disconnected", lost);
            }
        }
    }

    static void connect_succeeded(void* context, MQTTAsync_successData* response) {
        auto* self = static_cast<Impl*>(context);
        MQTTAsync_onSuccess* user = nullptr;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->connected_ = true;
            self->connecting_ = false;
            self->failing_ = false;
            self->flushing_ = true;
            ++self->connection_;
            user = self->on_connected_;
        }
        WRAPPER_LOG(P7::INFO, "Connected to %s as %s", self->uri.c_str(), self->client_id.c_str());
        if (const auto lost = self->publishes_failed_.exchange(0)) {
            WRAPPER_LOG(P7::WARNING, "%lu publications were lost with the previous connection", lost);
        }
        self->issue_subscriptions();
        self->flush_offline();
        self->publish_cv_.notify_all();
        if (user) user(self->owner, response);
    }

    static void connect_failed(void* context, MQTTAsync_failureData* response) {
        auto* self = static_cast<Impl*>(context);
        bool report = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->connecting_ = false;
            report = !self->failing_;
            self->failing_ = true;
        }
        if (report) {
            WRAPPER_LOG(P7::WARNING, "Cannot connect to %s (code %d%s%s); retrying until it is up",
                        self->uri.c_str(), response ? response->code : 0,
                        response && response->message ? ": " : "",
                        response && response->message ? response->message : "");
        }
        self->state_cv_.notify_all();
    }

    static void connection_lost(void* context, char*) {
        auto* self = static_cast<Impl*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->connected_ = false;
        }
        WRAPPER_LOG(P7::WARNING, "Connection to %s lost; reconnecting", self->uri.c_str());
        self->state_cv_.notify_all();
        self->publish_cv_.notify_all();
    }

    static int message_arrived(void* context, char* topic, int topic_len, MQTTAsync_message* m) {
        auto* self = static_cast<Impl*>(context);
        try {
            MqttMessage message;
            message.topic.assign(topic,
                                 topic_len > 0 ? static_cast<std::size_t>(topic_len) : std::strlen(topic));
            const auto* bytes = static_cast<const unsigned char*>(m->payload);
            if (m->payloadlen > 0) message.payload.assign(bytes, bytes + m->payloadlen);
            self->hold(std::move(message));
        } catch (...) {
            // Out of memory: this message is lost, the client goes on.
        }
        MQTTAsync_freeMessage(&m);
        MQTTAsync_free(topic);
        return 1;
    }

    static void publish_done(void* context, MQTTAsync_successData*) {
        static_cast<Impl*>(context)->count_publish();
    }

    // Publications in flight when a connection drops fail together; they
    // are counted and reported once the next connection is up.
    static void publish_failed(void* context, MQTTAsync_failureData*) {
        auto* self = static_cast<Impl*>(context);
        ++self->publishes_failed_;
        self->count_publish();
    }

    static void disconnect_done(void* context, MQTTAsync_successData*) {
        static_cast<Impl*>(context)->mark_disconnected();
    }

    static void disconnect_failed(void* context, MQTTAsync_failureData*) {
        static_cast<Impl*>(context)->mark_disconnected();
    }

    void mark_disconnected() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            disconnected_ = true;
        }
        state_cv_.notify_all();
    }

    void count_publish() {
        {
            std::lock_guard<std::mutex> lock(publish_mutex_);
            ++publishes_done_;
        }
        publish_cv_.notify_all();
    }

    // Never blocks: on overflow the oldest held message goes.
    void hold(MqttMessage message) {
        std::size_t report = 0;
        {
            std::lock_guard<std::mutex> lock(held_mutex_);
            held_bytes_ += message.payload.size() + message.topic.size();
            held_.push_back(std::move(message));
            while (held_.size() > 1 && (held_.size() > max_held_messages || held_bytes_ > max_held_bytes)) {
                held_bytes_ -= held_.front().payload.size() + held_.front().topic.size();
                held_.pop_front();
                ++dropped_unreported_;
            }
            report = take_drop_report();
        }
        held_cv_.notify_all();
        log_drops(report);
    }

    // Called with held_mutex_ held: the count to report now, if one is due:
    // at most once per interval while overflowing, and once more when the
    // queue has drained, so the count of every overflow gets reported.
    std::size_t take_drop_report() {
        if (dropped_unreported_ == 0) return 0;
        const auto now = steady::now();
        if (!held_.empty() && last_drop_report_ != steady::time_point{} &&
            now - last_drop_report_ < drop_report_interval) {
            return 0;
        }
        last_drop_report_ = now;
        return std::exchange(dropped_unreported_, 0);
    }

    static void log_drops(std::size_t count) {
        if (count == 0) return;
        WRAPPER_LOG(P7::WARNING, "Receive queue full: dropped %zu oldest messages", count);
    }

    int send_now(const std::string& topic, const unsigned char* data, std::size_t size, int qos,
                 bool retain) {
        MQTTAsync_message message = MQTTAsync_message_initializer;
        message.payload = const_cast<unsigned char*>(data);
        message.payloadlen = static_cast<int>(size);
        message.qos = qos;
        message.retained = retain ? 1 : 0;
        MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
        opts.onSuccess = &Impl::publish_done;
        opts.onFailure = &Impl::publish_failed;
        opts.context = this;
        return MQTTAsync_sendMessage(handle_, topic.c_str(), &message, &opts);
    }

    // True when buffered for later; throws when the buffer is full.
    bool buffer_if_offline(const std::string& topic, const unsigned char* data, std::size_t size, int qos,
                           bool retain) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_ && !flushing_) return false;
        if (offline_.size() >= max_offline_publishes || offline_bytes_ + size > max_offline_bytes) {
            throw MqttError(fmt::format("Cannot publish to topic '{}': the broker is unreachable and "
                                        "the buffer of waiting publications is full",
                                        shown(topic)),
                            MQTTASYNC_MAX_BUFFERED_MESSAGES);
        }
        offline_.push_back({topic, std::vector<unsigned char>(data, data + size), qos, retain});
        offline_bytes_ += size;
        return true;
    }

    void publish(const std::string& topic, const unsigned char* data, std::size_t size, Qos qos,
                 bool retain) {
        const auto problem = topic_name_problem(topic);
        if (!problem.empty()) {
            throw MqttError(fmt::format("Refused to publish to topic '{}': it {}", shown(topic), problem),
                            MQTTASYNC_FAILURE);
        }
        const int q = static_cast<int>(qos);
        for (;;) {
            if (buffer_if_offline(topic, data, size, q, retain)) return;
            unsigned long long seen = 0;
            {
                std::lock_guard<std::mutex> lock(publish_mutex_);
                seen = publishes_done_;
            }
            int rc = MQTTASYNC_DISCONNECTED;
            {
                std::shared_lock<std::shared_mutex> handle_lock(handle_mutex_);
                rc = send_now(topic, data, size, q, retain);
            }
            if (rc == MQTTASYNC_SUCCESS) return;
            if (rc == MQTTASYNC_DISCONNECTED) continue;  // buffered on the next pass
            if (rc != MQTTASYNC_MAX_BUFFERED_MESSAGES) {
                throw MqttError(
                    fmt::format("Cannot publish to topic '{}': {}", shown(topic), MQTTAsync_strerror(rc)),
                    rc);
            }
            // Back-pressure: wait until the send thread has written something out.
            std::unique_lock<std::mutex> lock(publish_mutex_);
            publish_cv_.wait_for(lock, publish_room_poll, [&] { return publishes_done_ != seen; });
        }
    }
};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : impl_(std::make_unique<Impl>(this, clientId)) {
    std::unique_lock<std::shared_mutex> handle_lock(impl_->handle_mutex_);
    impl_->create_handle();
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
    Impl& s = *impl_;
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex_);
        s.stopping_ = true;
        connected = s.connected_;
    }
    s.state_cv_.notify_all();
    if (s.supervisor_.joinable()) s.supervisor_.join();
    std::unique_lock<std::shared_mutex> handle_lock(s.handle_mutex_);
    if (connected) {
        // The DISCONNECT is queued behind every pending publication, and the
        // socket closes only after it, so the broker reads all of them.
        MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
        opts.timeout = disconnect_timeout_ms;
        opts.onSuccess = &Impl::disconnect_done;
        opts.onFailure = &Impl::disconnect_failed;
        opts.context = impl_.get();
        if (MQTTAsync_disconnect(s.handle_, &opts) == MQTTASYNC_SUCCESS) {
            std::unique_lock<std::mutex> lock(s.mutex_);
            s.state_cv_.wait_for(lock, std::chrono::milliseconds(disconnect_timeout_ms + 1000),
                                 [&] { return s.disconnected_; });
        }
    }
    MQTTAsync_destroy(&s.handle_);
}

void MqttAsyncWrapper::Connect(bool cleanSession, MQTTAsync_onSuccess* onConnected, MQTTAsync_onFailure*) {
    Impl& s = *impl_;
    {
        std::lock_guard<std::mutex> lock(s.mutex_);
        if (s.started_) return;
        s.started_ = true;
        s.clean_session_ = cleanSession;
        s.on_connected_ = onConnected;
        s.connecting_ = true;
    }
    int rc = MQTTASYNC_FAILURE;
    {
        std::shared_lock<std::shared_mutex> handle_lock(s.handle_mutex_);
        rc = s.start_connect();
    }
    if (rc != MQTTASYNC_SUCCESS) {
        std::lock_guard<std::mutex> lock(s.mutex_);
        s.connecting_ = false;
    }
    s.supervisor_ = std::thread([&s] { s.supervise(); });
}

void MqttAsyncWrapper::Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onDone,
                                 MQTTAsync_onFailure* onFailed) {
    const auto problem = topic_filter_problem(filter);
    if (!problem.empty()) {
        throw MqttError(fmt::format("Refused to subscribe to '{}': it {}", shown(filter), problem),
                        MQTTASYNC_FAILURE);
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        auto& subs = impl_->subscriptions_;
        const Impl::Subscription entry{filter, static_cast<int>(qos), onDone, onFailed, 0};
        auto it = std::find_if(subs.begin(), subs.end(),
                               [&](const Impl::Subscription& s) { return s.filter == filter; });
        if (it == subs.end()) {
            subs.push_back(entry);
        } else {
            *it = entry;
        }
    }
    std::shared_lock<std::shared_mutex> handle_lock(impl_->handle_mutex_);
    impl_->issue_subscriptions();
}

void MqttAsyncWrapper::Unsubscribe(const std::string& filter) {
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex_);
        auto& subs = impl_->subscriptions_;
        subs.erase(std::remove_if(subs.begin(), subs.end(),
                                  [&](const Impl::Subscription& s) { return s.filter == filter; }),
                   subs.end());
        connected = impl_->connected_;
    }
    // A clean session forgets subscriptions with the connection, so only a
    // live connection needs the UNSUBSCRIBE.
    if (connected) {
        MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
        opts.onFailure = &MqttAsyncWrapper::onFailure;
        opts.context = this;
        std::shared_lock<std::shared_mutex> handle_lock(impl_->handle_mutex_);
        MQTTAsync_unsubscribe(impl_->handle_, filter.c_str(), &opts);
    }
}

MqttMessage MqttAsyncWrapper::Receive(const std::string& filter, int timeoutMs) {
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.held_mutex_);
    std::deque<MqttMessage>::iterator found;
    auto ready = [&] {
        found = std::find_if(s.held_.begin(), s.held_.end(),
                             [&](const MqttMessage& m) { return topic_matches(filter, m.topic); });
        return found != s.held_.end();
    };
    if (timeoutMs <= 0) {
        s.held_cv_.wait(lock, ready);
    } else if (!s.held_cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        throw MqttError(fmt::format("No message on '{}' within {} ms", shown(filter), timeoutMs));
    }
    MqttMessage message = std::move(*found);
    s.held_bytes_ -= message.payload.size() + message.topic.size();
    s.held_.erase(found);
    const auto report = s.take_drop_report();
    lock.unlock();
    Impl::log_drops(report);
    return message;
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos, bool retain) {
    const auto* data = reinterpret_cast<const unsigned char*>(payload.data());
    impl_->publish(topic, data, payload.size(), qos, retain);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos,
                            bool retain) {
    impl_->publish(topic, payload.data(), payload.size(), qos, retain);
}

void MqttAsyncWrapper::onSuccess(void*, MQTTAsync_successData*) {}

void MqttAsyncWrapper::onFailure(void*, MQTTAsync_failureData* response) {
    WRAPPER_LOG(P7::WARNING, "MQTT request failed (code %d%s%s)", response ? response->code : 0,
                response && response->message ? ": " : "",
                response && response->message ? response->message : "");
}

}  // namespace quorvel::mosquitto
