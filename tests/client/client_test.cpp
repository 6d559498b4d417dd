// The client library against a real mosquitto.
#include "broker.h"
#include "stderr_capture.h"

#include "mqtt-wrapper/mqtt_async_wrapper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

using quorvel::mosquitto::MqttAsyncWrapper;
using quorvel::mosquitto::MqttError;
using quorvel::mosquitto::MqttMessage;
using quorvel::mosquitto::Qos;
using test_support::Broker;

namespace {

constexpr int deadline_ms = 10000;

std::unique_ptr<MqttAsyncWrapper> connected_client(const std::string& id) {
    auto c = std::make_unique<MqttAsyncWrapper>(id);
    c->Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    return c;
}

void subscribe(MqttAsyncWrapper& c, const std::string& filter) {
    c.Subscribe(filter, Qos::AtMostOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
}

std::string text(const MqttMessage& m) {
    return std::string(m.payload.begin(), m.payload.end());
}

// Publishes until the subscriber's subscription is live, then drains the probes.
void wait_until_subscribed(MqttAsyncWrapper& publisher, MqttAsyncWrapper& subscriber,
                           const std::string& probe_topic) {
    for (int i = 0; i < deadline_ms / 50; ++i) {
        publisher.Send(probe_topic, std::string("probe"), Qos::AtMostOnce, false);
        try {
            subscriber.Receive(probe_topic, 50);
        } catch (const MqttError&) {
            continue;
        }
        // Drain the probes still on their way.
        publisher.Send(probe_topic, std::string("last"), Qos::AtMostOnce, false);
        while (text(subscriber.Receive(probe_topic, deadline_ms)) != "last") {
        }
        return;
    }
    FAIL() << "subscription to " << probe_topic << " never became live";
}

class Client : public testing::Test {
protected:
    Broker broker;
    void SetUp() override { test_support::use_broker(broker); }

    // A client with a live subscription to filter: probes that publisher (or
    // the client itself) sends reach it, on the filter with "probe" for its
    // "#", or on the filter itself.
    static std::unique_ptr<MqttAsyncWrapper> subscribed(const std::string& id, const std::string& filter,
                                                        MqttAsyncWrapper* publisher = nullptr) {
        auto c = connected_client(id);
        subscribe(*c, filter);
        const bool wildcard = !filter.empty() && filter.back() == '#';
        wait_until_subscribed(publisher ? *publisher : *c, *c,
                              wildcard ? filter.substr(0, filter.size() - 1) + "probe" : filter);
        return c;
    }
};

}  // namespace

TEST_F(Client, ReceiveHandsOutMatchingMessagesAndHoldsTheRest) {
    auto pub = connected_client("pub");
    auto sub = subscribed("sub", "/#", pub.get());

    pub->Send("/b/1", std::string("b1"), Qos::AtMostOnce, false);
    pub->Send("/a/1", std::string("a1"), Qos::AtMostOnce, false);
    pub->Send("/a/2", std::string("a2"), Qos::AtMostOnce, false);
    EXPECT_EQ(text(sub->Receive("/a/+", deadline_ms)), "a1");
    EXPECT_EQ(text(sub->Receive("/a/+", deadline_ms)), "a2");
    const auto held = sub->Receive("/#", deadline_ms);
    EXPECT_EQ(held.topic, "/b/1");
    EXPECT_EQ(text(held), "b1");
    try {
        sub->Receive("/#", 100);
        ADD_FAILURE() << "a message where none was left";
    } catch (const MqttError& e) {
        EXPECT_EQ(e.code(), MqttError::Code::timed_out);
        EXPECT_STREQ(e.what(), "No message on '/#' within 100 ms");
    }
}

TEST_F(Client, PayloadBytesSurviveAndAnEmptyVectorClearsTheRetainedMessage) {
    auto pub = connected_client("pub");
    const std::vector<unsigned char> bytes = {'a', 0, 'b', 0, 0xFF};
    pub->Send("/r/t", bytes, Qos::AtMostOnce, true);

    auto sub = connected_client("sub");
    subscribe(*sub, "/r/t");
    EXPECT_EQ(sub->Receive("/r/t", deadline_ms).payload, bytes);

    pub->Send("/r/t", std::vector<unsigned char>{}, Qos::AtMostOnce, true);
    const auto cleared = sub->Receive("/r/t", deadline_ms);  // live subscribers see it empty
    EXPECT_TRUE(cleared.payload.empty());

    auto late = subscribed("late", "/r/#", pub.get());
    EXPECT_THROW(late->Receive("/r/t", 200), MqttError);  // nothing retained is left
}

TEST_F(Client, UnsubscribeAndSubscribeAgainRedeliversTheRetainedMessage) {
    auto pub = connected_client("pub");
    pub->Send("/cfg", std::string("v1"), Qos::AtMostOnce, true);
    auto c = connected_client("c");
    subscribe(*c, "/cfg");
    EXPECT_EQ(text(c->Receive("/cfg", deadline_ms)), "v1");
    c->Unsubscribe("/cfg");
    subscribe(*c, "/cfg");
    EXPECT_EQ(text(c->Receive("/cfg", deadline_ms)), "v1");
}

TEST_F(Client, StartedBeforeTheBrokerItConnectsWhenTheBrokerComesUp) {
    broker.stop();
    auto c = connected_client("early");
    subscribe(*c, "/late/#");
    c->Send("/late/buffered", std::string("sent while down"), Qos::AtMostOnce, true);
    broker.start();
    // The retained publication buffered while down reached the broker, and the
    // subscription made before the connection came back with it.
    EXPECT_EQ(text(c->Receive("/late/#", deadline_ms)), "sent while down");
}

TEST_F(Client, SubscriptionsComeBackAfterABrokerRestart) {
    auto pub = connected_client("pub");
    auto sub = subscribed("sub", "/data/#", pub.get());

    broker.stop();
    broker.start();
    EXPECT_TRUE(broker.wait_for_log("as sub", std::chrono::milliseconds(deadline_ms)));
    wait_until_subscribed(*pub, *sub, "/data/probe");
    pub->Send("/data/x", std::string("after restart"), Qos::AtMostOnce, false);
    EXPECT_EQ(text(sub->Receive("/data/x", deadline_ms)), "after restart");
}

TEST_F(Client, InvalidTopicsThrowAndTheConnectionSurvives) {
    auto c = connected_client("c");
    subscribe(*c, "/ok/#");
    const std::string bad[] = {
        "", "/a/+", "/a/#", std::string("/a\0b", 4), "/a/\xC3\x28", "/a/\n", std::string(70000, 'x')};
    for (const auto& topic : bad) {
        try {
            c->Send(topic, std::string("x"), Qos::AtMostOnce, false);
            ADD_FAILURE() << "no error for a topic of " << topic.size() << " bytes";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("Refused to publish to topic '"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_THROW(c->Send("/a/+", std::vector<unsigned char>{}, Qos::AtMostOnce, true), MqttError);
    EXPECT_THROW(subscribe(*c, "/a/b#"), MqttError);
    wait_until_subscribed(*c, *c, "/ok/still");
    EXPECT_EQ(broker.log().find("disconnected due to"), std::string::npos) << broker.log();
}

TEST_F(Client, SendProceedsWhileAnotherThreadWaitsInReceive) {
    auto c = connected_client("c");
    subscribe(*c, "/loop/#");
    std::atomic<bool> waiting{true};
    std::thread waiter([&] {
        c->Receive("/loop/release", deadline_ms * 3);
        waiting = false;
    });
    auto sink = subscribed("sink", "/out/#", c.get());
    for (int i = 0; i < 500; ++i) c->Send("/out/n", std::to_string(i), Qos::AtMostOnce, false);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(text(sink->Receive("/out/n", deadline_ms)), std::to_string(i));
    EXPECT_TRUE(waiting);
    c->Send("/loop/release", std::string("x"), Qos::AtMostOnce, false);
    waiter.join();
}

TEST_F(Client, BurstsBeyondTheOutgoingBufferAreNotLost) {
    auto c = connected_client("c");
    auto sink = subscribed("sink", "/burst/#", c.get());
    // Each batch is more than the client buffers (Send waits for room) and
    // fewer messages than the sink holds, so a slow sink drops none.
    constexpr int batches = 5;
    constexpr int per_batch = 400;
    const std::string pad(200, 'p');
    for (int b = 0; b < batches; ++b) {
        for (int i = 0; i < per_batch; ++i) {
            c->Send("/burst/n", std::to_string(b * per_batch + i) + pad, Qos::AtMostOnce, false);
        }
        for (int i = 0; i < per_batch; ++i) {
            ASSERT_EQ(text(sink->Receive("/burst/n", deadline_ms)), std::to_string(b * per_batch + i) + pad);
        }
    }
}

TEST_F(Client, AFullHoldQueueLeavesTheRestWithTheBroker) {
    // Five times what the queue holds, in messages or in bytes.
    for (const std::size_t padding : {0, 4000}) {
        auto pub = connected_client("pub");
        auto c = subscribed("c", "/flood/#", pub.get());
        const test_support::StderrCapture log;
        const int n = padding == 0 ? 5000 : 1300;
        const std::string pad(padding, ' ');
        for (int i = 0; i < n; ++i) pub->Send("/flood/n", std::to_string(i) + pad, Qos::AtMostOnce, false);
        EXPECT_TRUE(log.wait_for("reading held back, the broker queues the rest")) << log.text();
        EXPECT_TRUE(c->InputHeldBack());
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(text(c->Receive("/flood/#", deadline_ms)), std::to_string(i) + pad)
                << log.text() << broker.log();
        }
        EXPECT_EQ(log.text().find("dropped"), std::string::npos) << log.text();
        EXPECT_EQ(log.text().find("lost"), std::string::npos) << log.text();
    }
}

namespace {
bool key_before_bar(const MqttMessage& m, std::string& key) {
    const std::string t = text(m);
    if (t.find('|') == std::string::npos) return false;
    key = t.substr(0, t.find('|'));
    return true;
}
}  // namespace

// The broker would drop the newest of what a client leaves to it.
TEST_F(Client, UnderOverloadNewerMessagesReplaceHeldOnesOfTheirKeySoTheNewestArrive) {
    auto c = std::make_unique<MqttAsyncWrapper>("c");
    c->SetSupersede("/flood/#", &key_before_bar);
    c->Connect(true, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    subscribe(*c, "/flood/#");
    auto pub = connected_client("pub");
    wait_until_subscribed(*pub, *c, "/flood/probe");
    const test_support::StderrCapture log;
    constexpr int n = 20000;  // twenty times what the queue holds, a tenth of it in keys
    for (int i = 0; i < n; ++i)
        pub->Send("/flood/n", std::to_string(i % 100) + "|" + std::to_string(i), Qos::AtMostOnce, false);
    EXPECT_TRUE(log.wait_for("newer ones replace held ones")) << log.text();
    std::vector<int> last(100, -1);
    while (last[(n - 1) % 100] != n - 1) {
        const auto t = text(c->Receive("/flood/n", deadline_ms));
        const int key = std::stoi(t), i = std::stoi(t.substr(t.find('|') + 1));
        ASSERT_GT(i, last[static_cast<std::size_t>(key)]) << "out of order";
        last[static_cast<std::size_t>(key)] = i;
    }
    for (int key = 0; key < 100; ++key) EXPECT_EQ(last[static_cast<std::size_t>(key)], n - 100 + key);
    EXPECT_TRUE(c->InputHeldBack());  // for the status line
    EXPECT_EQ(log.text().find("dropped"), std::string::npos) << log.text();
}

// A caller that waits for another topic reads on; then the oldest go.
TEST_F(Client, AFullHoldQueueDropsTheOldestAndSaysSo) {
    auto pub = connected_client("pub");
    auto c = subscribed("c", "/flood/#", pub.get());
    const test_support::StderrCapture log;
    constexpr int n = 1500;
    for (int i = 0; i < n; ++i) pub->Send("/flood/n", std::to_string(i), Qos::AtMostOnce, false);
    pub->Send("/flood/last", std::string("last"), Qos::AtMostOnce, false);
    c->Receive("/flood/last", deadline_ms);
    const auto first = std::stoi(text(c->Receive("/flood/n", deadline_ms)));
    EXPECT_GE(first, n - 1000);  // at most 1000 held
    // Logged by the thread that dropped them, which may still be at it.
    EXPECT_TRUE(log.wait_for("Receive queue full: dropped ")) << log.text();
    EXPECT_NE(log.text().find("WARNING src/mqtt-wrapper/io/hold_queue:"), std::string::npos);
}

TEST_F(Client, PublicationsMadeJustBeforeDestructionReachTheBroker) {
    // The sink gets all of them at once, as retained messages: fewer than its
    // hold queue takes, so none is dropped there.
    constexpr int n = 900;
    {
        auto c = subscribed("leaving", "/keep/probe");
        for (int i = 0; i < n; ++i)
            c->Send("/keep/" + std::to_string(i), std::string("v"), Qos::AtMostOnce, true);
    }  // destroyed at once: the clean close must still deliver everything
    auto sink = connected_client("sink");
    subscribe(*sink, "/keep/+");
    std::set<std::string> seen;
    while (seen.size() < n) {
        const auto m = sink->Receive("/keep/+", deadline_ms);
        if (m.topic != "/keep/probe") seen.insert(m.topic);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(n));
}

TEST_F(Client, QosOneAndTwoCompleteTheirHandshakesBothWays) {
    auto c = connected_client("c");
    c->Subscribe("/q/#", Qos::ExactlyOnce, &MqttAsyncWrapper::onSuccess, &MqttAsyncWrapper::onFailure);
    wait_until_subscribed(*c, *c, "/q/probe");
    // Ten of each stay within the broker's window of messages in flight:
    // beyond it, mosquitto 2.0.11 holds back queued QoS 1 messages behind
    // QoS 2 ones, whichever client library sends them.
    for (int i = 0; i < 10; ++i) {
        c->Send("/q/1", std::to_string(i), Qos::AtLeastOnce, false);
        c->Send("/q/2", std::to_string(i), Qos::ExactlyOnce, false);
    }
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(text(c->Receive("/q/1", deadline_ms)), std::to_string(i));
        ASSERT_EQ(text(c->Receive("/q/2", deadline_ms)), std::to_string(i));
    }
    EXPECT_EQ(broker.log().find("disconnected due to"), std::string::npos) << broker.log();
}

TEST_F(Client, AMessageTooLargeToHoldIsSkippedAndTheNextArrives) {
    auto pub = connected_client("pub");
    auto c = subscribed("c", "/big/#", pub.get());
    const test_support::StderrCapture log;
    pub->Send("/big/huge", std::string(5 << 20, 'x'), Qos::AtMostOnce, false);
    pub->Send("/big/next", std::string("small"), Qos::AtMostOnce, false);
    const auto next = c->Receive("/big/#", deadline_ms);
    EXPECT_EQ(next.topic, "/big/next");
    EXPECT_TRUE(log.wait_for("Skipped a message of 5242")) << log.text();
}

TEST_F(Client, ThreadsReceivingTheirOwnTopicsEachGetAllTheirsInOrder) {
    auto pub = connected_client("pub");
    auto c = subscribed("c", "/m/#", pub.get());
    // Fewer than the hold queue takes, so none may be dropped; fast enough
    // that reads come in batches. A fourth thread keeps timing out beside
    // them, leaving Receive while another reads the socket.
    constexpr int threads = 3;
    constexpr int n = 300;
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> receivers;
    for (int t = 0; t < threads; ++t) {
        receivers.emplace_back([&, t] {
            const std::string topic = "/m/" + std::to_string(t);
            try {
                for (int i = 0; i < n; ++i) {
                    if (text(c->Receive(topic, deadline_ms)) != std::to_string(i)) ++wrong;
                }
            } catch (const MqttError&) {
                ++wrong;
            }
        });
    }
    std::thread impatient([&] {
        while (!done) {
            try {
                c->Receive("/m/never", 1);
            } catch (const MqttError&) {
            }
        }
    });
    for (int i = 0; i < n; ++i) {
        for (int t = 0; t < threads; ++t)
            pub->Send("/m/" + std::to_string(t), std::to_string(i), Qos::AtMostOnce, false);
    }
    for (auto& r : receivers) r.join();
    done = true;
    impatient.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(Client, PublicationsOfAThreadThatStopsReceivingStillGoOut) {
    // A thread that receives writes its own publications when it next waits
    // in Receive; one that never comes back must not keep them.
    auto c = connected_client("c");
    subscribe(*c, "/in/#");
    auto sink = subscribed("sink", "/out/#", c.get());
    wait_until_subscribed(*sink, *c, "/in/probe");
    std::thread worker([&] {
        sink->Send("/in/request", std::string("go"), Qos::AtMostOnce, false);
        c->Receive("/in/request", deadline_ms);
        c->Send("/out/reply", std::string("done"), Qos::AtMostOnce, false);
    });
    worker.join();
    EXPECT_EQ(text(sink->Receive("/out/reply", deadline_ms)), "done");
}

namespace {
std::atomic<int> subacks{0};
void count_suback(void*, MQTTAsync_successData*) {
    ++subacks;
}
}  // namespace

TEST_F(Client, TheClientReadsForAThreadThatStopsReceiving) {
    // Once a thread has waited in Receive, the client leaves the reading to
    // it; when it stays away, the client must read again, or acknowledgements
    // (and a lost connection) would go unnoticed.
    auto c = subscribed("c", "/r/#");
    int before = subacks;
    c->Subscribe("/other", Qos::AtMostOnce, &count_suback, &MqttAsyncWrapper::onFailure);
    EXPECT_TRUE(test_support::eventually([&] { return subacks > before; }));

    // The same after a Receive that ended by its timeout.
    EXPECT_THROW(c->Receive("/nothing", 50), MqttError);
    before = subacks;
    c->Subscribe("/another", Qos::AtMostOnce, &count_suback, &MqttAsyncWrapper::onFailure);
    EXPECT_TRUE(test_support::eventually([&] { return subacks > before; }));
}

TEST_F(Client, PacketsLeaveInCallOrderSoASubscribeSeesTheNewRetainedValue) {
    // A subscription queued after a publication must not overtake it: the
    // broker would hand out the value retained before.
    auto other = subscribed("other", "/order/#");
    other->Send("/order/x", std::string("old"), Qos::AtMostOnce, true);
    EXPECT_EQ(text(other->Receive("/order/x", deadline_ms)), "old");  // stored by now

    auto c = subscribed("c", "/order/probe");
    c->Send("/order/x", std::string("new"), Qos::AtMostOnce, true);
    subscribe(*c, "/order/x");
    EXPECT_EQ(text(c->Receive("/order/x", deadline_ms)), "new");
}

TEST_F(Client, UnsubscribeRefusesFiltersThatSubscribeRefuses) {
    auto c = connected_client("c");
    for (const auto& bad :
         {std::string(), std::string("a/#/b"), std::string("a+"), std::string(70000, 'x')}) {
        EXPECT_THROW(c->Unsubscribe(bad), MqttError) << bad.size();
    }
    subscribe(*c, "/still/#");
    wait_until_subscribed(*c, *c, "/still/probe");
    EXPECT_EQ(broker.log().find("disconnected due to"), std::string::npos) << broker.log();
}

TEST_F(Client, DestroyingTheClientWakesAThreadWaitingInReceive) {
    for (const bool connected : {true, false}) {
        if (!connected) broker.stop();
        auto c = connected_client("c");
        if (connected) {
            subscribe(*c, "/d/#");
            wait_until_subscribed(*c, *c, "/d/probe");
        }
        std::atomic<pid_t> tid{0};
        std::string error;
        MqttAsyncWrapper* const client = c.get();
        std::thread waiter([&] {
            tid = static_cast<pid_t>(::syscall(SYS_gettid));
            try {
                client->Receive("/d/never", 0);
            } catch (const MqttError& e) {
                if (e.code() == MqttError::Code::destroyed) error = e.what();
            }
        });
        // Asleep in samples over 150 ms: inside Receive, not on its way in.
        const auto settled = [&] {
            for (int i = 0; i < 4; ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (!test_support::thread_sleeps(tid)) return false;
            }
            return true;
        };
        ASSERT_TRUE(test_support::eventually([&] { return tid != 0 && settled(); }));
        c.reset();  // must return, and the waiter with it
        waiter.join();
        EXPECT_EQ(error, "The MQTT client is being destroyed")
            << (connected ? "connected" : "never connected");
    }
}

namespace {
std::atomic<bool> callback_done{false};
std::atomic<pid_t> callback_thread{0};
Broker* stalling_broker = nullptr;
void send_from_callback(void* context, MQTTAsync_successData*) {
    if (callback_thread != 0) return;  // again after the reconnection: nothing to prove
    stalling_broker->freeze();
    callback_thread = static_cast<pid_t>(::syscall(SYS_gettid));
    auto* c = static_cast<MqttAsyncWrapper*>(context);
    const std::string big(1 << 20, 'x');  // more than the socket buffers and the client take
    try {
        for (int i = 0; i < 16; ++i) c->Send("/cb/big", big, Qos::AtMostOnce, false);
    } catch (const MqttError&) {
        // the buffer of waiting publications is full once the connection is gone
    }
    callback_done = true;
}
void throw_from_callback(void*, MQTTAsync_successData*) {
    throw std::runtime_error("boom");
}
}  // namespace

TEST_F(Client, ACallbackThatSendsWhileTheBrokerStallsReturnsOnceTheConnectionDrops) {
    auto c = subscribed("c", "/cb/probe");
    // A receive loop, so the callback may run on its thread as well as on the client's.
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) {
            try {
                c->Receive("/cb/none", 50);
            } catch (const MqttError&) {
            }
        }
    });
    callback_done = false;
    callback_thread = 0;
    stalling_broker = &broker;
    c->Subscribe("/cb/#", Qos::AtMostOnce, &send_from_callback, &MqttAsyncWrapper::onFailure);
    // The callback froze the broker and fills the output until Send has to
    // wait (or, on the client's own thread, queues it); then the connection drops.
    ASSERT_TRUE(test_support::eventually([&] {
        return callback_done || (callback_thread != 0 && test_support::thread_sleeps(callback_thread));
    }));
    broker.stop();
    EXPECT_TRUE(test_support::eventually([&] { return callback_done.load(); }));
    stop = true;
    loop.join();
    broker.start();
    // The publications kept from the lost connection fill the offline buffer
    // until the client is back.
    ASSERT_TRUE(test_support::eventually([&] {
        try {
            c->Send("/cb/probe", std::string("back"), Qos::AtMostOnce, false);
            return true;
        } catch (const MqttError&) {
            return false;
        }
    }));
    wait_until_subscribed(*c, *c, "/cb/probe");
}

TEST_F(Client, SendToABrokerThatReadsNothingFailsOnceTheBufferIsFullButWaitForOutputRoomWaitsOn) {
    auto c = subscribed("c", "/s/probe");
    broker.freeze();
    // The socket's buffers fill, Send waits while the output moves, then keeps
    // what fits in the buffer of waiting publications and refuses the rest.
    const std::string big(64 * 1024, 'x');
    std::optional<MqttError::Code> code;
    for (int i = 0; i < 1000 && !code; ++i) {
        try {
            c->Send("/s/big", big, Qos::AtMostOnce, false);
        } catch (const MqttError& e) {
            code = e.code();
        }
    }
    EXPECT_EQ(code, MqttError::Code::buffer_full);
    // A caller that paces itself waits through the stall while the connection
    // lasts, and goes on once the output drains.
    std::atomic<pid_t> waiter_thread{0};
    std::atomic<bool> room{false};
    std::thread waiter([&] {
        waiter_thread = static_cast<pid_t>(::syscall(SYS_gettid));
        c->WaitForOutputRoom();
        room = true;
    });
    EXPECT_TRUE(test_support::eventually(
        [&] { return waiter_thread != 0 && test_support::thread_sleeps(waiter_thread); }));
    EXPECT_FALSE(room);
    broker.thaw();
    EXPECT_TRUE(test_support::eventually([&] { return room.load(); }));
    waiter.join();
}

TEST_F(Client, ACallbackThatThrowsIsLoggedAndTheClientGoesOn) {
    auto c = connected_client("c");
    // The SUBACK's callback may run on the client's thread after the probes.
    const test_support::StderrCapture log;
    c->Subscribe("/t/#", Qos::AtMostOnce, &throw_from_callback, &MqttAsyncWrapper::onFailure);
    wait_until_subscribed(*c, *c, "/t/probe");
    c->Send("/t/after", std::string("still here"), Qos::AtMostOnce, false);
    EXPECT_EQ(text(c->Receive("/t/after", deadline_ms)), "still here");
    EXPECT_TRUE(log.wait_for("A completion callback threw: boom")) << log.text();
}

namespace {
std::promise<void> connection_seen;
std::shared_future<void> connection_released;
void held_connected(void*, MQTTAsync_successData*) {
    connection_seen.set_value();
    connection_released.wait_for(std::chrono::seconds(10));
}
}  // namespace

TEST_F(Client, NoMessageOfAConnectionIsHandedOutBeforeItsCallbackReturns) {
    {
        auto publisher = connected_client("p");
        subscribe(*publisher, "/order/t");
        publisher->Send("/order/t", std::string("retained"), Qos::AtMostOnce, true);
        ASSERT_EQ(text(publisher->Receive("/order/t", deadline_ms)), "retained");  // the broker keeps it
    }
    connection_seen = {};
    std::promise<void> release;
    connection_released = release.get_future().share();
    MqttAsyncWrapper c("c");
    subscribe(c, "/order/t");
    c.Connect(true, &held_connected, &MqttAsyncWrapper::onFailure);
    connection_seen.get_future().wait();
    // The subscription is on the broker by now and the retained message on its way.
    EXPECT_THROW(c.Receive("/order/t", 300), MqttError) << "handed out while onConnected still ran";
    release.set_value();
    EXPECT_EQ(text(c.Receive("/order/t", deadline_ms)), "retained");
}
