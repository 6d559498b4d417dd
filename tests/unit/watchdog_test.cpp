#include "clock.h"
#include "configuration.h"
#include "data_message.h"
#include "fake_mqtt.h"
#include "registry.h"
#include "service_fixture.h"
#include "supervision.h"
#include "test_clock.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using fake_mqtt::Op;
using quorvel::abroad_ios;
using quorvel::mosquitto::MqttAsyncWrapper;

namespace {

class Watchdog : public ServiceTest {
protected:
    // topic -> "r" (string form) or "[]" (empty byte vector)
    static std::map<std::string, std::string> markers() {
        std::map<std::string, std::string> out;
        for (const auto& c : fake_mqtt::sends()) {
            EXPECT_EQ(c.qos, 0);
            EXPECT_TRUE(c.retain);
            EXPECT_EQ(out.count(c.topic), 0u) << "published twice: " << c.topic;
            if (c.op == Op::SendBytes) {
                EXPECT_EQ(c.payload, "");
            }
            out[c.topic] = c.op == Op::SendBytes ? "[]" : c.payload;
        }
        return out;
    }
};

std::string marker(const std::string& id, const std::string& control) {
    return "/devices/" + id + "/controls/" + control + "/meta/error";
}

// The watchdog's waits, driven by the test: each is recorded, then lasts
// until the test lets its time pass or the service wakes it. Never
// destroyed: the watchdog stays parked in it.
struct DrivenWait {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::chrono::milliseconds> asked;
    bool time_passes = false;
    bool woken = false;
};
DrivenWait& driven = *new DrivenWait;

std::chrono::milliseconds driven_wait(std::chrono::milliseconds time) {
    std::unique_lock<std::mutex> lock(driven.mutex);
    driven.asked.push_back(time);
    driven.changed.notify_all();
    driven.changed.wait(lock, [] { return driven.time_passes || driven.woken; });
    if (std::exchange(driven.woken, false)) return time;
    driven.time_passes = false;
    return {};
}

void driven_wake() {
    std::lock_guard<std::mutex> lock(driven.mutex);
    driven.woken = true;
    driven.changed.notify_all();
}

// What the watchdog is woken by, or its time passing.
enum class Event { time_passes, connection, refusal };

// Brings the event about and returns once the watchdog waits again.
void step(Event event) {
    test_clock::now() += 100;  // each record of the tree is told
    std::unique_lock<std::mutex> lock(driven.mutex);
    const auto waits = driven.asked.size();
    driven.time_passes = event == Event::time_passes;
    lock.unlock();
    if (event == Event::connection) quorvel::note_connection();
    if (event == Event::refusal)
        quorvel::owe_tree_if_refused(
            quorvel::mosquitto::MqttError("full", quorvel::mosquitto::MqttError::Code::buffer_full));
    lock.lock();
    driven.changed.notify_all();
    ASSERT_TRUE(
        driven.changed.wait_for(lock, std::chrono::seconds(10), [&] { return driven.asked.size() > waits; }));
}

}  // namespace

TEST_F(Watchdog, OneMarkerPerRegisteredControlJudgedByItsTimestamp) {
    abroad_ios["io"] = {{"never", 0},
                        {"at900", test_clock::now() - 900},
                        {"at901", test_clock::now() - 901},
                        {"future", test_clock::now() + 3600}};
    abroad_ios["room/1"] = {{"t", test_clock::now()}};
    abroad_ios["empty"] = {};
    quorvel::sweep_markers(client);
    const std::map<std::string, std::string> expected = {
        {marker("io", "never"), "r"},   {marker("io", "at900"), "[]"}, {marker("io", "at901"), "r"},
        {marker("io", "future"), "[]"}, {marker("room/1", "t"), "[]"},
    };
    EXPECT_EQ(markers(), expected);
}

TEST_F(Watchdog, MarkersPast2038) {
    for (const auto now : test_clock::beyond_32_bits) {
        test_clock::install(now);
        fake_mqtt::reset();
        abroad_ios["io"] = {{"at900", now - 900}, {"at901", now - 901}, {"never", 0}};
        quorvel::sweep_markers(client);
        const std::map<std::string, std::string> expected = {
            {marker("io", "at900"), "[]"}, {marker("io", "at901"), "r"}, {marker("io", "never"), "r"}};
        EXPECT_EQ(markers(), expected) << now;
    }
}

TEST_F(Watchdog, AnEmptyRegistryPublishesNothing) {
    quorvel::sweep_markers(client);
    abroad_ios["a"] = {};
    abroad_ios["b"] = {};
    quorvel::sweep_markers(client);
    EXPECT_TRUE(fake_mqtt::sends().empty());
}

TEST_F(Watchdog, ASweepGoesOnPastFailingPublishesLogsThemOnceAndARefusedOneOwesTheTree) {
    const struct {
        int controls, refused_from, refused_to;  // sends refused for a full buffer
        std::size_t published;
        std::string record;
    } rows[] = {
        {10, 0, -1, 10, "маркер '/devices/io/controls/bad+name/meta/error': Refused"},
        {10, 4, 4, 9, "маркеров: 2 из 11 (buffer full); дерево будет опубликовано заново\n"},
        {5000, 1, 5001, 0, "маркеров: 5001 из 5001 (buffer full); дерево будет опубликовано заново\n"},
    };
    for (const auto& row : rows) {
        abroad_ios.clear();
        for (int i = 0; i < row.controls; ++i) abroad_ios["io"]["c" + std::to_string(i)] = 0;
        abroad_ios["io"]["bad+name"] = 0;  // refused by the client: owes nothing
        fake_mqtt::reset();
        for (int n = row.refused_from; n <= row.refused_to; ++n)
            fake_mqtt::fail_send(n, "buffer full", quorvel::mosquitto::MqttError::Code::buffer_full);
        testing::internal::CaptureStderr();
        quorvel::sweep_markers(client);
        const auto log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(markers().size(), row.published);
        EXPECT_EQ(log.find('\n'), log.size() - 1) << "one record: " << log;
        EXPECT_NE(log.find("ERROR src/services/external-source-data-getter/tree:"), std::string::npos);
        EXPECT_NE(log.find(" sync_timeouts: Не удалось опубликовать " + row.record), std::string::npos)
            << log;
        EXPECT_EQ(abroad_ios["io"].size(), row.controls + 1u);
        // The next sweep publishes the whole tree, every valid marker included; then it is a sweep again.
        for (const bool owed : {row.refused_from > 0, false}) {
            fake_mqtt::reset();
            testing::internal::CaptureStderr();
            EXPECT_EQ(quorvel::republish_if_owed(client), owed);
            testing::internal::GetCapturedStderr();
            EXPECT_EQ(markers().size(), owed ? row.controls : 0u);
        }
    }
}

TEST_F(Watchdog, ASweepAndADataMessageNeverInterleave) {
    for (int d = 0; d < 20; ++d) abroad_ios["io" + std::to_string(d)] = {{"a", 0}, {"b", 0}, {"c", 0}};
    constexpr int sweeps = 50;
    constexpr int messages = 500;
    std::atomic<bool> go{false};
    std::thread watchdog([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < sweeps; ++i) quorvel::sweep_markers(client);
    });
    std::thread loop([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < messages; ++i) {
            const std::string payload =
                R"({"version": 1, "io_id": "io)" + std::to_string(i % 20) +
                R"(", "timestamp": 1765000000, "data": {"a": {"avg": 1}, "b": {"avg": 2}, "c": {"avg": 3}}})";
            quorvel::handle_data_message(client,
                                         {"/t", std::vector<unsigned char>(payload.begin(), payload.end())});
        }
    });
    go = true;
    watchdog.join();
    loop.join();

    const auto sends = fake_mqtt::sends();
    ASSERT_EQ(sends.size(), static_cast<std::size_t>(sweeps * 60 + messages * 6));
    // Runs of one thread's publications: whole sweeps (60) and whole messages (6).
    std::size_t i = 0;
    while (i < sends.size()) {
        const bool from_sweep =
            sends[i].topic.find("/meta/error") != std::string::npos &&
            (i + 1 == sends.size() || sends[i + 1].topic.find("/meta/error") != std::string::npos);
        const std::size_t run = from_sweep ? 60 : 6;
        ASSERT_LE(i + run, sends.size());
        for (std::size_t k = i; k < i + run; ++k) ASSERT_EQ(sends[k].thread, sends[i].thread) << "at " << k;
        i += run;
    }
}

TEST_F(Watchdog, APassLetsAWaitingReadingInBetweenSlicesAndPublishesTheNewestValue) {
    // 600 controls with a value of 1: three slices of the tree published again.
    for (int d = 0; d < 20; ++d)
        for (int c = 0; c < 30; ++c)
            abroad_ios["io" + std::to_string(d)]["c" + std::to_string(c)].record(1, 1);
    const std::string reading =
        R"({"version": 1, "io_id": "io19", "timestamp": 1765000000, "data": {"c0": {"avg": 2}}})";
    std::thread loop;
    fake_mqtt::on_send(1, [&] {  // the first slice holds the lock: the reading waits for it
        loop = std::thread([&] {
            quorvel::handle_data_message(client,
                                         {"/t", std::vector<unsigned char>(reading.begin(), reading.end())});
        });
        while (quorvel::m_mutex.waiting() == 0) std::this_thread::yield();
    });
    quorvel::owe_tree_if_refused(
        quorvel::mosquitto::MqttError("full", quorvel::mosquitto::MqttError::Code::buffer_full));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(quorvel::republish_if_owed(client));
    testing::internal::GetCapturedStderr();
    const auto loop_thread = loop.get_id();
    loop.join();
    const auto sends = fake_mqtt::sends();
    ASSERT_EQ(sends.size(), 1200u + 2);
    for (std::size_t i = 0; i < sends.size(); ++i) {
        const bool of_reading = i == 512 || i == 513;  // right after the first slice of 256 controls
        EXPECT_EQ(sends[i].thread == loop_thread, of_reading) << i;
    }
    std::vector<std::string> io19_c0;
    for (const auto& c : sends)
        if (c.topic == "/devices/io19/controls/c0") io19_c0.push_back(c.payload);
    EXPECT_EQ(io19_c0, (std::vector<std::string>{"2", "2"}));  // never back to 1

    // A connection made during a pass starts it over after the slice.
    quorvel::note_connection();
    fake_mqtt::reset();
    fake_mqtt::on_send(1, [] { quorvel::note_connection(); });
    testing::internal::CaptureStderr();
    EXPECT_TRUE(quorvel::republish_if_due(client));
    EXPECT_EQ(fake_mqtt::sends().size(), 512u);
    EXPECT_TRUE(quorvel::republish_if_due(client));
    EXPECT_FALSE(quorvel::republish_if_due(client));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(fake_mqtt::sends().size(), 512u + 1200);

    // A sweep gives way to the tree the same way.
    fake_mqtt::reset();
    fake_mqtt::on_send(1, [] { quorvel::note_connection(); });
    quorvel::sweep_markers(client);
    EXPECT_EQ(fake_mqtt::sends().size(), 256u);
}

TEST_F(Watchdog, EachNewConnectionGetsTheAnnouncementsThenEveryMarkerWithItsLastValueOnce) {
    const std::string configuration =
        R"({"version": 2, "remote_ios": [{"id": "io", "types": ["t", "u"]}, {"id": "io", "types": ["x"]}]})";
    const auto client_ptr = std::make_shared<MqttAsyncWrapper>("test");
    quorvel::apply_configuration(*client_ptr,
                                 std::vector<unsigned char>(configuration.begin(), configuration.end()));
    abroad_ios["io"]["t"].record(test_clock::now(), 21.5);
    std::vector<std::string> expected;
    for (const auto& c : fake_mqtt::sends()) expected.push_back(fake_mqtt::describe(c));
    ASSERT_EQ(expected.size(), 11u);  // a repeated id is announced again, as at start
    expected.push_back("send-bytes " + marker("io", "t") + " = ''");
    expected.push_back("send /devices/io/controls/t = '21.5'");
    expected.push_back("send " + marker("io", "u") + " = 'r'");  // never had a value
    const auto published = [] {
        std::vector<std::string> out;
        for (const auto& c : fake_mqtt::sends()) out.push_back(fake_mqtt::describe(c));
        return out;
    };

    // Only a new connection is due, once.
    fake_mqtt::reset();
    EXPECT_FALSE(quorvel::republish_if_due(*client_ptr));
    quorvel::note_connection();
    EXPECT_TRUE(quorvel::republish_if_due(*client_ptr));
    EXPECT_FALSE(quorvel::republish_if_due(*client_ptr));
    EXPECT_EQ(published(), expected);

    // A link that keeps dropping: one record a minute, counting the others.
    testing::internal::CaptureStderr();
    const auto then = test_clock::now();
    for (const auto at : {then + 1000, then + 1030, then + 1060}) {
        test_clock::install(at);
        quorvel::note_connection();
        quorvel::republish_if_due(*client_ptr);
    }
    const auto log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("заново после подключения к брокеру (и ещё 1 раз с прошлой записи)\n"),
              std::string::npos)
        << log;
}

TEST_F(Watchdog, ItsThreadSweepsAfter5sThenEvery90sAndPublishesTheTreeAfterAConnectionOrARefusal) {
    using std::chrono::seconds;
    quorvel::set_wait_for_testing(&driven_wait, &driven_wake);
    abroad_ios["io"]["t"].record(test_clock::now(), 21.5);
    std::thread(quorvel::sync_timeouts, std::make_shared<MqttAsyncWrapper>("test")).detach();
    const struct {
        Event event;
        bool connected;
        std::size_t published;  // the marker alone, or the whole tree (marker and value)
    } rows[] = {
        {Event::time_passes, true, 1},  // the sweep
        {Event::connection, true, 2},   // the whole tree at once, the sweep still 90 s on
        {Event::refusal, true, 2},      // the whole tree once the output has room
        {Event::refusal, true, 0},      // once between two sweeps: left to the sweep
        {Event::time_passes, true, 2},  // the whole tree instead of the sweep
        {Event::refusal, false, 0},     // the broker away: left to the connection
        {Event::connection, true, 2},  {Event::time_passes, true, 1},
    };
    {
        std::unique_lock<std::mutex> lock(driven.mutex);
        ASSERT_TRUE(driven.changed.wait_for(lock, seconds(10), [] { return !driven.asked.empty(); }));
        EXPECT_EQ(driven.asked, std::vector<std::chrono::milliseconds>{seconds(5)});
    }
    testing::internal::CaptureStderr();
    for (const auto& row : rows) {
        fake_mqtt::reset();
        fake_mqtt::set_connected(row.connected);
        step(row.event);
        EXPECT_EQ(fake_mqtt::sends().size(), row.published) << &row - rows;
        const std::lock_guard<std::mutex> lock(driven.mutex);
        EXPECT_EQ(driven.asked.back(), seconds(90));
    }
    const auto log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("заново после подключения к брокеру\n"), std::string::npos) << log;
    EXPECT_NE(log.find("заново после публикаций, не принятых клиентом\n"), std::string::npos) << log;
}

TEST_F(Watchdog, TheStatusLineCountsDevicesControlsAndStaleOnes) {
    abroad_ios["io"] = {{"fresh", test_clock::now()}, {"old", test_clock::now() - 901}};
    abroad_ios["pump"] = {{"never", 0}};
    EXPECT_EQ(quorvel::status_line(client, false), "waiting for the configuration");
    const auto before = quorvel::messages_handled.exchange(1234567);
    EXPECT_EQ(quorvel::status_line(client, true),
              "connected to tcp://fake; 2 devices, 3 controls, 2 stale; 1,234,567 messages");
    abroad_ios.erase("pump");
    abroad_ios["io"].erase("old");
    quorvel::messages_handled = 1;
    EXPECT_EQ(quorvel::status_line(client, true),
              "connected to tcp://fake; 1 device, 1 control, 0 stale; 1 message");
    quorvel::messages_handled = before;
    EXPECT_EQ(quorvel::with_thousands(0), "0");
    EXPECT_EQ(quorvel::with_thousands(999), "999");
    EXPECT_EQ(quorvel::with_thousands(1000), "1,000");
}
