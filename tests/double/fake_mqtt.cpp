#include "fake_mqtt.h"

#include "mqtt-wrapper/core/topic_rules.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace fake_mqtt {

namespace {

struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Call> calls;
    std::deque<quorvel::mosquitto::MqttMessage> script;
    bool closed = false;
    int sends = 0;
    std::set<int> failing;
    std::string failure_text;
    quorvel::mosquitto::MqttError::Code failure_code{};
    std::map<int, std::function<void()>> hooks;
    bool connected = true;
};

State& state() {
    static State* s = new State;  // outlives detached threads of the service
    return *s;
}

void record(Call call) {
    call.thread = std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(state().mutex);
    state().calls.push_back(std::move(call));
}

void record_send(Op op, const std::string& topic, std::string payload, quorvel::mosquitto::Qos qos,
                 bool retain) {
    auto& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const int n = ++s.sends;
    if (const auto hook = s.hooks.find(n); hook != s.hooks.end()) {
        const auto run = std::move(hook->second);
        s.hooks.erase(hook);
        lock.unlock();
        run();
        lock.lock();
    }
    if (s.failing.count(n)) {
        lock.unlock();
        throw quorvel::mosquitto::MqttError(s.failure_text, s.failure_code);
    }
    lock.unlock();
    // Same refusal as the real client, so callers meet the same errors.
    const auto problem = quorvel::mosquitto::topic_name_problem(topic);
    if (!problem.empty()) {
        throw quorvel::mosquitto::MqttError("Refused to publish to topic '" + topic + "': it " + problem,
                                            quorvel::mosquitto::MqttError::Code::bad_topic);
    }
    record({op, topic, std::move(payload), static_cast<int>(qos), retain, {}});
}

}  // namespace

void reset() {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.clear();
    s.script.clear();
    s.closed = false;
    s.sends = 0;
    s.failing.clear();
    s.hooks.clear();
    s.connected = true;
}

void set_connected(bool connected) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().connected = connected;
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().calls;
}

std::vector<Call> sends() {
    std::vector<Call> out;
    for (auto& c : calls()) {
        if (c.op == Op::SendString || c.op == Op::SendBytes) out.push_back(c);
    }
    return out;
}

void push_message(const std::string& topic, const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().script.push_back({topic, std::vector<unsigned char>(payload.begin(), payload.end())});
    }
    state().cv.notify_all();
}

void close_script() {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().closed = true;
    }
    state().cv.notify_all();
}

void fail_send(int n, const std::string& what, quorvel::mosquitto::MqttError::Code code) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failing.insert(state().sends + n);
    state().failure_text = what;
    state().failure_code = code;
}

void on_send(int n, std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().hooks[state().sends + n] = std::move(hook);
}

std::string describe(const Call& c) {
    static const char* names[] = {"construct", "connect", "subscribe", "unsubscribe",
                                  "receive",   "send",    "send-bytes"};
    std::string out = names[static_cast<int>(c.op)];
    out += ' ' + c.topic;
    if (c.op == Op::SendString || c.op == Op::SendBytes) out += " = '" + c.payload + "'";
    return out;
}

}  // namespace fake_mqtt

namespace quorvel::mosquitto {

using fake_mqtt::Op;

struct MqttAsyncWrapper::Impl {};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId) {
    fake_mqtt::record({Op::Construct, clientId, {}, 0, false, {}});
}

MqttAsyncWrapper::~MqttAsyncWrapper() = default;

void MqttAsyncWrapper::Connect(bool cleanSession, MQTTAsync_onSuccess*, MQTTAsync_onFailure*) {
    fake_mqtt::record({Op::Connect, cleanSession ? "clean" : "keep", {}, 0, false, {}});
}

void MqttAsyncWrapper::SetConnectionLost(MQTTAsync_connectionLost*) {}

void MqttAsyncWrapper::SetMessageLimit(const std::string&, std::size_t) {}

void MqttAsyncWrapper::SetSupersede(const std::string&, MqttSupersedeKey*) {}

void MqttAsyncWrapper::Subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess*,
                                 MQTTAsync_onFailure*) {
    const auto problem = topic_filter_problem(filter);
    if (!problem.empty())
        throw MqttError("Refused to subscribe to '" + filter + "': it " + problem,
                        MqttError::Code::bad_topic);
    fake_mqtt::record({Op::Subscribe, filter, {}, static_cast<int>(qos), false, {}});
}

void MqttAsyncWrapper::Unsubscribe(const std::string& filter) {
    fake_mqtt::record({Op::Unsubscribe, filter, {}, 0, false, {}});
}

MqttMessage MqttAsyncWrapper::Receive(const std::string& filter, int timeoutMs) {
    fake_mqtt::record({Op::Receive, filter, {}, 0, false, {}});
    auto& s = fake_mqtt::state();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        for (auto it = s.script.begin(); it != s.script.end(); ++it) {
            if (topic_matches(filter, it->topic)) {
                MqttMessage m = std::move(*it);
                s.script.erase(it);
                return m;
            }
        }
        if (s.closed) throw fake_mqtt::EndOfScript();
        // A timeout passes at once: the test's clock says how long it was.
        if (timeoutMs > 0) throw MqttError("No message", MqttError::Code::timed_out);
        s.cv.wait(lock);
    }
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos, bool retain) {
    fake_mqtt::record_send(Op::SendString, topic, payload, qos, retain);
}

void MqttAsyncWrapper::Send(const std::string& topic, const std::vector<unsigned char>& payload, Qos qos,
                            bool retain) {
    fake_mqtt::record_send(Op::SendBytes, topic, std::string(payload.begin(), payload.end()), qos, retain);
}

void MqttAsyncWrapper::WaitForOutputRoom() {}

bool MqttAsyncWrapper::InputHeldBack() const {
    return false;
}

bool MqttAsyncWrapper::IsConnected() const {
    std::lock_guard<std::mutex> lock(fake_mqtt::state().mutex);
    return fake_mqtt::state().connected;
}

const std::string& MqttAsyncWrapper::ServerUri() const {
    static const std::string uri = "tcp://fake";
    return uri;
}

void MqttAsyncWrapper::onSuccess(void*, MQTTAsync_successData*) {}
void MqttAsyncWrapper::onFailure(void*, MQTTAsync_failureData*) {}

}  // namespace quorvel::mosquitto
