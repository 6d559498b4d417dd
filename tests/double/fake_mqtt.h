#pragma once

// Controls and inspects the test double of the MQTT client, which is linked
// instead of the real library: every call of every client instance is
// recorded in one process-wide log, and Receive serves a scripted queue.

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fake_mqtt {

enum class Op { Construct, Connect, Subscribe, Unsubscribe, Receive, SendString, SendBytes };

struct Call {
    Op op;
    std::string topic;  // client id for Construct, filter for Subscribe/Receive
    std::string payload;
    int qos = 0;
    bool retain = false;
    std::thread::id thread;
};

// Thrown by Receive once the script is exhausted and closed.
struct EndOfScript : std::runtime_error {
    EndOfScript() : std::runtime_error("end of the scripted messages") {}
};

void reset();
std::vector<Call> calls();
std::vector<Call> sends();  // SendString and SendBytes only

void push_message(const std::string& topic, const std::string& payload);
// Receive throws EndOfScript when nothing matching is left; before, with a
// timeout, MqttError timed_out at once.
void close_script();
// The n-th Send from now on (1-based) throws an MqttError with this text and code.
// Without a code: one the service cannot take back later (a refused topic).
void fail_send(int n, const std::string& what = "injected failure",
               quorvel::mosquitto::MqttError::Code code = quorvel::mosquitto::MqttError::Code::bad_topic);
// The n-th Send from now on runs hook first, on the sending thread.
void on_send(int n, std::function<void()> hook);
// What IsConnected says from now on; true after reset().
void set_connected(bool connected);

std::string describe(const Call& call);  // e.g. "send /a/b = 'x'" for failure messages

}  // namespace fake_mqtt
