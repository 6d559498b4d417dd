#include "perform.h"
#include "clock.h"
#include "fake_mqtt.h"
#include "registry.h"
#include "service_fixture.h"
#include "supervision.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include <string>
#include <vector>

using fake_mqtt::Op;

namespace {

std::vector<unsigned> slept;  // by the main thread

// Never destroyed: parked watchdog threads wait on them until the process ends.
std::mutex& watchdog_mutex = *new std::mutex;
std::condition_variable& watchdog_cv = *new std::condition_variable;
int watchdogs_started = 0;
std::size_t sends_before_watchdog = 0;

// The watchdog's first wait parks it for good: these tests drive no sweeps.
std::chrono::milliseconds park_watchdog(std::chrono::milliseconds) {
    std::unique_lock<std::mutex> lock(watchdog_mutex);
    ++watchdogs_started;
    sends_before_watchdog = fake_mqtt::sends().size();
    watchdog_cv.notify_all();
    watchdog_cv.wait(lock, [] { return false; });
    return {};
}

void record_sleep(unsigned seconds) {
    slept.push_back(seconds);
}

// The real clock, with sleeps recorded instead of slept.
class Perform : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        slept.clear();
        std::lock_guard<std::mutex> lock(watchdog_mutex);
        watchdogs_started = 0;
        quorvel::set_clock_for_testing(nullptr, &record_sleep);
        quorvel::set_wait_for_testing(&park_watchdog, [] {});
    }

    // Runs the service until the scripted messages are used up, and waits
    // until its watchdog is parked, so no thread of it outlives the test.
    std::string run(bool closed = true) {
        if (closed) fake_mqtt::close_script();
        testing::internal::CaptureStderr();
        EXPECT_THROW(quorvel::perform(), fake_mqtt::EndOfScript);
        const auto log = testing::internal::GetCapturedStderr();
        std::unique_lock<std::mutex> lock(watchdog_mutex);
        EXPECT_TRUE(
            watchdog_cv.wait_for(lock, std::chrono::seconds(10), [] { return watchdogs_started > 0; }));
        return log;
    }
};

std::size_t count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(Perform, BootstrapCallSequence) {
    fake_mqtt::push_message("/qv/bridge/configuration", "first, discarded");
    fake_mqtt::push_message("/qv/bridge/configuration", R"({"version": 3})");
    run();

    std::vector<std::string> seen;
    for (const auto& c : fake_mqtt::calls()) {
        if (c.thread == std::this_thread::get_id()) seen.push_back(fake_mqtt::describe(c));
    }
    const std::vector<std::string> expected = {
        "construct mqtt-external-source-data-getter", "connect clean",
        "subscribe /qv/bridge/configuration",         "receive /qv/bridge/configuration",
        "unsubscribe /qv/bridge/configuration",       "subscribe /qv/bridge/configuration",
        "receive /qv/bridge/configuration",           "receive /#",
    };
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(slept.front(), 5u);
    for (const auto& c : fake_mqtt::calls()) {
        if (c.op == Op::Subscribe) {
            EXPECT_EQ(c.qos, 0);
        }
    }
}

TEST_F(Perform, PauseFallsBetweenFirstReadAndResubscribe) {
    // The pause must come after the first message was taken: nothing is
    // asked of the client while the bootstrap sleeps.
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    quorvel::set_clock_for_testing(nullptr, [](unsigned s) {
        slept.push_back(s);
        const auto calls = fake_mqtt::calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().op, Op::Receive);
    });
    run();
    ASSERT_FALSE(slept.empty());
    EXPECT_EQ(slept.front(), 5u);
}

TEST_F(Perform, OneRecordPerFailedMessageAndTheLoopGoesOn) {
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", "not json\nforged line");
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", R"({"version": 2})");
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", "");
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", std::string("ab\0cd", 5));
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", "A" + std::string(99999, '\0'));
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", "[1, 2");
    fake_mqtt::push_message("/qv/bridge/thirdparty_data/io1", "[" + std::string(1048575, '\x01'));
    const auto log = run();

    EXPECT_EQ(count(log, "ERROR src/services/external-source-data-getter/main:154 perform: "), 6u) << log;
    // A large payload is cut, with its size: one message cannot flood the journal.
    std::string cut = "perform: Ошибка обработки: [";
    for (int i = 0; i < 2047; ++i) cut += "\\x01";
    EXPECT_NE(log.find(cut + "… (1048576 bytes)\n"), std::string::npos);
    EXPECT_LT(log.size(), 16384u);
    EXPECT_NE(log.find("perform: Ошибка обработки: not json\\nforged line\n"), std::string::npos);
    EXPECT_NE(log.find("perform: Ошибка обработки: \n"), std::string::npos);  // empty payload
    // Cut at a zero byte, where "%s" would end it, with its size.
    EXPECT_NE(log.find("perform: Ошибка обработки: ab… (5 bytes)\n"), std::string::npos);
    EXPECT_NE(log.find("perform: Ошибка обработки: A… (100000 bytes)\n"), std::string::npos);
    EXPECT_NE(log.find("perform: Ошибка обработки: [1, 2\n"), std::string::npos);
    EXPECT_EQ(log.find("{\"version\": 2}"), std::string::npos);
}

TEST_F(Perform, ReadingsTheClientRefusesForAFullBufferOweTheTreeAndMakeOneWarning) {
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    fake_mqtt::push_message("/qv/bridge/configuration",
                            R"({"version": 2, "remote_ios": [{"id": "io", "types": ["t"]}]})");
    for (int i = 0; i < 4; ++i) {
        fake_mqtt::push_message("/qv/bridge/thirdparty_data/io",
                                R"({"version": 1, "io_id": "io", "timestamp": )" +
                                    std::to_string(std::time(nullptr)) + R"(, "data": {"t": {"avg": 2}}})");
    }
    for (const int n : {6, 7, 8})  // after 4 announcements: the value, then two markers
        fake_mqtt::fail_send(n, "full", quorvel::mosquitto::MqttError::Code::buffer_full);
    EXPECT_FALSE(quorvel::take_owed_tree());
    const auto log = run();
    EXPECT_EQ(count(log, "perform: Ошибка обработки: "), 3u) << log;
    EXPECT_EQ(count(log, "WARNING src/services/external-source-data-getter/data_message:"), 1u) << log;
    EXPECT_NE(log.find(" perform: Не удалось опубликовать сообщений с данными: 3 (full)"), std::string::npos);
    EXPECT_TRUE(quorvel::take_owed_tree());  // their readings are published again with the tree
}

std::int64_t waited_s = 0;  // on the test's clock, which each timed-out Receive moves 30 s on
std::string status_when_told_again;

TEST_F(Perform, AMinuteConnectedWithoutAConfigurationIsToldThenEveryTenMinutes) {
    waited_s = 0;
    quorvel::set_clock_for_testing(
        [] {
            waited_s += 30;  // connected from 30 s on: told at 90 s, then at 690 s
            if (waited_s == 690)
                status_when_told_again =
                    quorvel::status_line(quorvel::mosquitto::MqttAsyncWrapper("x"), false);
            if (waited_s == 1200) {
                fake_mqtt::push_message("/qv/bridge/configuration", "{}");
                fake_mqtt::push_message("/qv/bridge/configuration", "{}");
                fake_mqtt::close_script();
            }
            return std::int64_t{1'800'000'000} + waited_s;
        },
        &record_sleep);
    const auto log = run(false);
    EXPECT_EQ(count(log, "WARNING src/services/external-source-data-getter/perform:"), 2u) << log;
    EXPECT_NE(log.find("await_configuration: Конфигурации нет после 1 мин связи с брокером: сервис ждёт её в "
                       "'/qv/bridge/configuration'\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Конфигурации нет после 11 мин"), std::string::npos) << log;
    EXPECT_EQ(status_when_told_again,
              "waiting for the configuration on /qv/bridge/configuration, none after a minute connected");
}

TEST_F(Perform, EmptiesTheRegistryAtStart) {
    quorvel::abroad_ios["left-over"]["c"] = 1;
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    fake_mqtt::push_message("/qv/bridge/configuration", "{}");
    run();
    EXPECT_TRUE(quorvel::abroad_ios.empty());
}

TEST_F(Perform, StartsTheWatchdogOnceAfterTheConfigurationEvenWhenNothingIsConfigured) {
    for (const char* configuration :
         {R"({"version": 2, "remote_ios": [{"id": "io", "types": ["t"]}]})", R"({"version": 7})"}) {
        SetUp();
        fake_mqtt::push_message("/qv/bridge/configuration", "{}");
        fake_mqtt::push_message("/qv/bridge/configuration", configuration);
        run();
        std::lock_guard<std::mutex> lock(watchdog_mutex);
        EXPECT_EQ(watchdogs_started, 1);
        EXPECT_EQ(sends_before_watchdog, fake_mqtt::sends().size()) << configuration;
    }
}
