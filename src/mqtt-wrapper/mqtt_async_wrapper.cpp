// The front of the client: each call goes to the link (the protocol
// session and the socket under one lock), the hold queue, the reader or the
// I/O loop; the locking rule of each is at the top of its own file. This
// file holds no lock of its own.
#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include "mqtt-wrapper/common/broker_address.h"
#include "mqtt-wrapper/common/p7.h"
#include "mqtt-wrapper/core/codec.h"
#include "mqtt-wrapper/io/callback_data.h"
#include "mqtt-wrapper/io/hold_queue.h"
#include "mqtt-wrapper/io/io_loop.h"
#include "mqtt-wrapper/io/link.h"
#include "mqtt-wrapper/io/reader.h"

#include <atomic>

namespace quorvel::mosquitto {

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr std::size_t max_out_bytes = 64 * 1024;  // while connected, Send waits beyond this
// WaitForOutputRoom waits beyond this: room for a batch of publications
// that then never make Send wait.
constexpr std::size_t room_out_bytes = 16 * 1024;
constexpr std::size_t max_held_messages = 1000;
constexpr std::size_t max_held_bytes = 1 << 20;
constexpr auto reader_lease = 10ms;  // longest the socket waits for a receive loop to come back
const char* const source_file = "src/mqtt-wrapper/mqtt_async_wrapper";

// The session's settings take the password over from the address: the
// session keeps the one copy.
SessionSettings settings_for(const std::string& client_id, BrokerAddress& address) {
    if (client_id.size() > codec::max_string_bytes) {
        throw MqttError("Client identifier longer than 65535 bytes", MqttError::Code::bad_login);
    }
    SessionSettings s;
    s.client_id = client_id;
    s.user = address.user;
    s.password = std::move(address.password);
    s.has_password = address.has_password;
    return s;
}

}  // namespace

struct MqttAsyncWrapper::Impl {
    MqttAsyncWrapper* const owner;
    HoldQueue held{max_held_messages, max_held_bytes};
    Link link;
    Reader reader;
    IoLoop io;
    std::atomic<bool> closing{false};
    MQTTAsync_connectionLost* on_lost = nullptr;

    Impl(MqttAsyncWrapper* o, const std::string& client_id)
        : Impl(o, client_id, broker_address_from_environment()) {}
    Impl(MqttAsyncWrapper* o, const std::string& client_id, BrokerAddress address)
        : Impl(o, settings_for(client_id, address), std::move(address)) {}
    // A reference: settings_for has had the address before it moves on.
    Impl(MqttAsyncWrapper* o, SessionSettings settings, BrokerAddress&& address)
        : owner(o),
          link(std::move(settings), std::move(address), held),
          reader(link, held, reader_lease, owner, wake_io, this),
          io(link, reader, owner) {}

    static void wake_io(void* impl) { static_cast<Impl*>(impl)->io.wake(); }

    // Output was queued: the I/O loop writes it, unless a receive loop is
    // between two Receive calls and will write it itself.
    void queued() {
        if (!reader.lease_held(steady::now())) io.wake();
    }

    void publish(const std::string& topic, const unsigned char* data, std::size_t size, Qos qos,
                 bool retain) {
        if (!link.publish(topic, data, size, qos, retain)) return;
        if (!link.full(max_out_bytes) || io.on_io_thread()) return queued();
        wait_for_room(max_out_bytes, false);
    }

    // Back-pressure: write what the socket takes, then wait for the I/O
    // loop to write the rest (never on the I/O thread itself).
    void wait_for_room(std::size_t limit, bool through_stalls) {
        if (link.flush() != Link::Flush::done) io.wake();
        while (!closing && link.full(limit, through_stalls)) {
            io.wake();
            link.wait_for_room(limit, closing, through_stalls);
        }
    }
};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : impl_(std::make_unique<Impl>(this, clientId)) {}

MqttAsyncWrapper::~MqttAsyncWrapper() {
    Impl& s = *impl_;
    s.closing = true;
    s.held.close();
    s.link.wake_room_waiters();
    if (!s.io.started()) {
        if (const auto unsent = s.link.unsent_publications()) {
            MQTT_LOG(P7::WARNING, "%zu publications were never sent: the client was never connected", unsent);
        }
    }
    s.io.stop();
    s.held.wait_until_empty_of_callers();
}

void MqttAsyncWrapper::Connect(bool cleanSession, MQTTAsync_onSuccess* onConnected, MQTTAsync_onFailure*) {
    impl_->io.start(cleanSession, onConnected, impl_->on_lost);
}

void MqttAsyncWrapper::SetConnectionLost(MQTTAsync_connectionLost* onLost) {
    impl_->on_lost = onLost;
}

void MqttAsyncWrapper::SetMessageLimit(const std::string& filter, std::size_t maxBytes) {
    impl_->link.allow_larger(filter, maxBytes);
}

void MqttAsyncWrapper::SetSupersede(const std::string& filter, MqttSupersedeKey* key) {
    impl_->held.supersede(filter, key);
}

void MqttAsyncWrapper::Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onDone,
                                 MQTTAsync_onFailure* onFailed) {
    if (impl_->link.subscribe(filter, qos, onDone, onFailed)) impl_->queued();
}

void MqttAsyncWrapper::Unsubscribe(const std::string& filter) {
    if (impl_->link.unsubscribe(filter)) impl_->queued();
}

MqttMessage MqttAsyncWrapper::Receive(const std::string& filter, int timeoutMs) {
    return impl_->reader.receive(filter, timeoutMs);
}

void MqttAsyncWrapper::WaitForOutputRoom() {
    if (!impl_->io.on_io_thread()) impl_->wait_for_room(room_out_bytes, true);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos, bool retain) {
    impl_->publish(topic, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), qos,
                   retain);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos,
                            bool retain) {
    impl_->publish(topic, payload.data(), payload.size(), qos, retain);
}

bool MqttAsyncWrapper::IsConnected() const {
    return impl_->link.state() == Session::State::connected && !impl_->link.broken();
}

bool MqttAsyncWrapper::InputHeldBack() const {
    return impl_->io.held_back_lately() || impl_->held.replaced_lately();
}

const std::string& MqttAsyncWrapper::ServerUri() const {
    return impl_->link.address().uri;
}

void MqttAsyncWrapper::onSuccess(void*, MQTTAsync_successData*) {}

void MqttAsyncWrapper::onFailure(void*, MQTTAsync_failureData* response) {
    MQTT_LOG(P7::WARNING, "MQTT request failed (code %d%s%s)", response ? response->code : 0,
             response && response->message ? ": " : "",
             response && response->message ? response->message : "");
}

}  // namespace quorvel::mosquitto
