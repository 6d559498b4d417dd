#include "data_message.h"
#include "fake_mqtt.h"
#include "registry.h"
#include "service_fixture.h"
#include "test_clock.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using fake_mqtt::Op;
using quorvel::abroad_ios;

namespace {

const std::string stale_record = "INFO src/services/external-source-data-getter/main:125 perform: Timestamp ";

class DataMessage : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        abroad_ios["io"] = {{"a", 0}, {"b", 0}, {"c", 0}};
        abroad_ios["bare"] = {};
    }

    // Handles one payload; returns what it logged.
    std::string handle(const std::string& payload) {
        quorvel::mosquitto::MqttMessage m{"/qv/bridge/thirdparty_data/io",
                                          std::vector<unsigned char>(payload.begin(), payload.end())};
        testing::internal::CaptureStderr();
        quorvel::handle_data_message(client, m);
        return testing::internal::GetCapturedStderr();
    }

    // Handles one payload that must fail; the loop's caller logs it.
    void handle_failing(const std::string& payload) {
        quorvel::mosquitto::MqttMessage m{"/t", std::vector<unsigned char>(payload.begin(), payload.end())};
        testing::internal::CaptureStderr();
        EXPECT_ANY_THROW(quorvel::handle_data_message(client, m)) << payload;
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(test_clock::registry_lock_is_free()) << payload;
    }

    // "<topic> = <payload>" per publication, "<topic> = []" for the empty byte vector.
    static std::vector<std::string> published() {
        std::vector<std::string> out;
        for (const auto& c : fake_mqtt::sends()) {
            EXPECT_EQ(c.qos, 0);
            EXPECT_TRUE(c.retain);
            out.push_back(c.topic + " = " + (c.op == Op::SendBytes ? "[" + c.payload + "]" : c.payload));
        }
        return out;
    }

    static std::string msg(long long ts, const std::string& data, const std::string& id = "io") {
        return R"({"version": 1, "io_id": ")" + id + R"(", "timestamp": )" + std::to_string(ts) +
               R"(, "data": )" + data + "}";
    }
};

std::vector<std::string> fresh(const std::string& control, const std::string& value) {
    return {"/devices/io/controls/" + control + "/meta/error = []",
            "/devices/io/controls/" + control + " = " + value};
}

std::vector<std::string> stale(const std::string& control, const std::string& value) {
    return {"/devices/io/controls/" + control + "/meta/error = r",
            "/devices/io/controls/" + control + " = " + value};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(DataMessage, FreshReadingsClearTheMarkerThenPublishTheSum) {
    const auto log =
        handle(msg(test_clock::now() - 10, R"({"b": {"avg": 2}, "a": {"avg": [1, 2, 3]}, "x": {"avg": 9}})"));
    EXPECT_EQ(log, "");
    EXPECT_EQ(published(), fresh("a", "6") + fresh("b", "2"));  // key order, unknown controls skipped
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, test_clock::now() - 10);
    EXPECT_EQ(abroad_ios["io"]["b"].timestamp, test_clock::now() - 10);
    EXPECT_EQ(abroad_ios["io"]["c"].timestamp, 0);
}

TEST_F(DataMessage, StalenessBoundaryAtNineHundredSeconds) {
    EXPECT_EQ(handle(msg(test_clock::now() - 900, R"({"a": {"avg": 1}})")), "");
    const std::string old = msg(test_clock::now() - 901, R"({"a": {"avg": 1}})");
    const auto log = handle(old);
    EXPECT_EQ(published(), fresh("a", "1") + stale("a", "1"));
    EXPECT_NE(log.find(stale_record + std::to_string(test_clock::now() - 901) +
                       " слишком старый, помечаем как недоступный '" + old + "'\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, test_clock::now() - 901);
    // A timestamp in the future is fresh.
    EXPECT_EQ(handle(msg(test_clock::now() + 100000, R"({"a": {"avg": 1}})")), "");
}

TEST_F(DataMessage, TheStaleRecordIsWrittenOnceEvenWithoutControls) {
    for (const char* data : {"{}", "null", R"({"a": {"avg": 1}, "b": {"avg": 2}})"}) {
        const auto log = handle(msg(5, data));
        std::size_t n = 0;
        for (auto p = log.find(stale_record); p != std::string::npos; p = log.find(stale_record, p + 1)) ++n;
        EXPECT_EQ(n, 1u) << data;
    }
    const auto log = handle(R"({"version": 1, "io_id": "io", "timestamp": 5})");
    EXPECT_NE(log.find(stale_record), std::string::npos);
}

TEST_F(DataMessage, ValuesForEveryShapeOfAvg) {
    handle(msg(test_clock::now(),
               R"({"a": {"avg": 21.5}, "b": {"avg": {"y": 2, "x": 1.25}}, "c": {"avg": [6.0]}})"));
    handle(msg(test_clock::now(), R"({"a": {}, "b": {"avg": null}, "c": null})"));
    handle(msg(test_clock::now(), R"({"a": {"avg": [0.1, 0.2]}, "b": {"avg": -0.0}, "c": {"avg": 1e21}})"));
    // The benches' values: a sum with a half, sequence numbers.
    handle(msg(test_clock::now(),
               R"({"a": {"avg": [21.5, 7]}, "b": {"avg": 1234567}, "c": {"avg": 9007199254740993}})"));
    handle(msg(test_clock::now(), R"({"a": {"avg": [1.7e308, 1.7e308]}})"));  // past the largest double
    EXPECT_EQ(published(), fresh("a", "21.5") + fresh("b", "3.25") + fresh("c", "6") +                      //
                               fresh("a", "0") + fresh("b", "0") + fresh("c", "0") +                        //
                               fresh("a", "0.30000000000000004") + fresh("b", "0") + fresh("c", "1e+21") +  //
                               fresh("a", "28.5") + fresh("b", "1234567") + fresh("c", "9007199254740992") +
                               fresh("a", "inf"));
    EXPECT_TRUE(abroad_ios["io"]["a"].has_value());
}

TEST_F(DataMessage, SilentDrops) {
    for (const std::string& payload : {
             std::string(R"({"io_id": "io", "timestamp": 1, "data": {"a": {"avg": 1}}})"),
             std::string(R"({"version": 2, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": 1}}})"),
             std::string(
                 R"({"version": 4294967297, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": 1}}})"),
             std::string(R"({"version": 2})"),                                   // no io_id: version first
             std::string(R"({"version": 1, "io_id": "unknown"})"),               // no timestamp: device first
             msg(test_clock::now(), R"({"a": {"avg": 1}})", "IO"),               // ids are case-sensitive
             msg(test_clock::now(), R"({"zz": {"avg": "not even a number"}})"),  // unknown control
             msg(test_clock::now(), R"({"a": {"avg": 1}})", "bare"),             // device without controls
             msg(test_clock::now(), "{}"), msg(test_clock::now(), "null"), msg(test_clock::now(), "[]"),
             R"({"version": 1, "io_id": "io", "timestamp": )" + std::to_string(test_clock::now()) +
                 "}",  // no data
         }) {
        EXPECT_EQ(handle(payload), "") << payload;
    }
    EXPECT_TRUE(published().empty());
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, 0);
}

TEST_F(DataMessage, VersionAcceptedAsOneAfterConversion) {
    handle(R"({"version": 1.7, "io_id": "io", "timestamp": 1765000000, "data": {"a": {"avg": 1}}})");
    handle(R"({"version": true, "io_id": "io", "timestamp": 1765000000, "data": {"b": {"avg": 1}}})");
    EXPECT_EQ(published(), fresh("a", "1") + fresh("b", "1"));
}

TEST_F(DataMessage, TimestampConversions) {
    handle(R"({"version": 1, "io_id": "io", "timestamp": 1764999999.9, "data": {"a": {"avg": 1}}})");
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, 1764999999);  // fraction dropped
    handle(R"({"version": 1, "io_id": "io", "timestamp": true, "data": {"b": {"avg": 1}}})");
    EXPECT_EQ(abroad_ios["io"]["b"].timestamp, 1);  // true is 1, on every platform, and stale
    EXPECT_EQ(published(), fresh("a", "1") + stale("b", "1"));
}

TEST_F(DataMessage, OlderTimestampsOverwriteNewerOnes) {
    handle(msg(test_clock::now(), R"({"a": {"avg": 1}})"));
    handle(msg(test_clock::now() - 5000, R"({"a": {"avg": 2}})"));
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, test_clock::now() - 5000);
}

TEST_F(DataMessage, EachFaultFailsTheMessageAndFreesTheLock) {
    const std::string faults[] = {
        "",
        "not json",
        "{\"version\": 1} trailing",
        "[1, 2]",
        R"({"version": "1", "io_id": "io"})",
        R"({"version": null, "io_id": "io"})",
        R"({"version": 1})",
        R"({"version": 1, "io_id": null})",
        R"({"version": 1, "io_id": 5})",
        R"({"version": 1, "io_id": "io"})",  // no timestamp
        R"({"version": 1, "io_id": "io", "timestamp": null})",
        R"({"version": 1, "io_id": "io", "timestamp": "1"})",
        R"({"version": 1, "io_id": "io", "timestamp": [1]})",
        R"({"version": 1, "io_id": "io", "timestamp": 1e300})",                // does not fit 64 bits
        R"({"version": 1, "io_id": "io", "timestamp": 9223372036854775808})",  // 2^63
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": [1]})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": 5})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": 7}})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": [1]}})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": "5"}}})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": true}}})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": [1, "2"]}}})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": [null]}}})",
        R"({"version": 1, "io_id": "io", "timestamp": 1, "data": {"a": {"avg": [[1]]}}})",
    };
    for (const auto& f : faults) handle_failing(f);
    EXPECT_TRUE(published().empty());
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, 0);
}

TEST_F(DataMessage, AFaultKeepsWhatEarlierControlsPublishedAndStored) {
    handle_failing(msg(test_clock::now(), R"({"a": {"avg": 1}, "b": {"avg": [2, "x"]}, "c": {"avg": 3}})"));
    EXPECT_EQ(published(), fresh("a", "1"));
    EXPECT_EQ(abroad_ios["io"]["a"].timestamp, test_clock::now());
    EXPECT_EQ(abroad_ios["io"]["b"], quorvel::ControlState());  // its value failed before the store
    EXPECT_EQ(abroad_ios["io"]["c"].timestamp, 0);              // never reached
}

TEST_F(DataMessage, AFailingSendKeepsTheStoredReadingsAndARefusalRecordsTheRest) {
    // A refusal for a full buffer owes the tree, which carries every reading
    // of the message; any other failure ends the message where it happens.
    using Code = quorvel::mosquitto::MqttError::Code;
    const Code full = Code::buffer_full;
    const struct {
        Code code;
        const char* data;
        bool b_recorded, c_recorded;
    } cases[] = {
        {Code::bad_topic, R"({"a": {"avg": 1.5}, "b": {"avg": 2}, "c": {"avg": 3}})", false, false},
        {full, R"({"a": {"avg": 1.5}, "b": {"avg": 2}, "c": {"avg": 3}})", true, true},
        {full, R"({"a": {"avg": 1.5}, "b": {"avg": [2, "x"]}, "c": {"avg": 3}})", false, false},
    };
    for (const auto& c : cases) {
        SetUp();
        fake_mqtt::fail_send(2, "refused", c.code);  // the value of "a"
        handle_failing(msg(test_clock::now(), c.data));
        EXPECT_EQ(published(), std::vector<std::string>{"/devices/io/controls/a/meta/error = []"}) << c.data;
        quorvel::ControlState a;
        a.record(test_clock::now(), 1.5);  // published again with the tree
        EXPECT_EQ(abroad_ios["io"]["a"], a);
        EXPECT_EQ(abroad_ios["io"]["b"].has_value(), c.b_recorded) << c.data;
        EXPECT_EQ(abroad_ios["io"]["c"].has_value(), c.c_recorded) << c.data;
        if (c.c_recorded) {
            EXPECT_EQ(abroad_ios["io"]["c"].value(), 3);
        }
        EXPECT_EQ(quorvel::take_owed_tree(), c.code == full);
    }
}

TEST_F(DataMessage, AControlNameThatMakesAnInvalidTopicFailsTheMessage) {
    abroad_ios["io"]["x#"] = 0;
    handle_failing(msg(test_clock::now(), R"({"a": {"avg": 1}, "x#": {"avg": 2}})"));
    EXPECT_EQ(published(), fresh("a", "1"));
}

TEST_F(DataMessage, TheStalenessRuleHoldsPast2038) {
    for (const auto now : test_clock::beyond_32_bits) {
        test_clock::install(now);
        fake_mqtt::reset();
        EXPECT_EQ(handle(msg(now - 900, R"({"a": {"avg": 1}})")), "") << now;
        const auto log = handle(msg(now - 901, R"({"b": {"avg": 2}})"));
        EXPECT_NE(log.find(stale_record + std::to_string(now - 901) + " "), std::string::npos) << log;
        EXPECT_EQ(published(), fresh("a", "1") + stale("b", "2")) << now;
        EXPECT_EQ(abroad_ios["io"]["a"].timestamp, now - 900);
        EXPECT_EQ(abroad_ios["io"]["b"].timestamp, now - 901);
    }
}

TEST_F(DataMessage, OnlyAMessageTheHandlerTakesWholeHasASupersedeKey) {
    const auto key_of = [](const std::string& payload) {
        std::string key;
        const bool has = quorvel::data_message_key({"/t", {payload.begin(), payload.end()}}, key);
        return has ? key : std::string("(none)");
    };
    // Its device and its controls as they come: stale or not, known or not.
    EXPECT_EQ(key_of(msg(1, R"({"b": {"avg": 2}, "a": {"avg": [1]}, "b": {"avg": 3}})")),
              std::string("io\0b\0a\0b", 8));
    EXPECT_EQ(key_of(msg(test_clock::now(), "{}", "other")), "other");
    for (const std::string& payload : {
             msg(1, R"({"a": {"avg": "x"}})"),  // a fault, of a known control or not
             msg(1, R"({"zz": {"avg": [true]}})"),
             std::string(R"({"version": 2, "io_id": "io", "timestamp": 1, "data": {}})"),
             std::string(R"({"version": "1", "io_id": "io", "timestamp": 1, "data": {}})"),
             std::string(R"({"version": 1, "io_id": 5, "timestamp": 1, "data": {}})"),
             std::string(R"({"version": 1, "io_id": "io", "timestamp": "1", "data": {}})"),
             std::string(R"({"version": 1, "io_id": "io", "timestamp": 1e300, "data": {}})"),
             std::string(R"({"version": 1, "io_id": "io", "timestamp": 1})"),
             std::string(R"({"version": 1, "io_id": "io", "timestamp": 1, "data": [1]})"),
             std::string("not json"),
         }) {
        EXPECT_EQ(key_of(payload), "(none)") << payload;
    }
}

TEST_F(DataMessage, TheSupersedeKeyReadsTheJsonAsTheLibraryDoes) {
    const auto key_of = [](const std::string& payload) {
        std::string key;
        const bool has = quorvel::data_message_key({"/t", {payload.begin(), payload.end()}}, key);
        return has ? key : std::string("(none)");
    };
    const std::string none = "(none)";
    const std::string a("io\0a", 4);
    const std::string head = R"({"version":1,"io_id":"io","timestamp":1,)";
    const std::pair<std::string, std::string> rows[] = {
        // Escapes and UTF-8, in names, values and the members' own names.
        {msg(1, R"({"\u00e9":null,"a\/b":{"avg":1}})", "i\\u006f"), std::string("io\0\xC3\xA9\0a/b", 9)},
        {msg(1, R"({"\ud83d\ude00":{}})"), std::string("io\0\xF0\x9F\x98\x80", 7)},
        {R"({"vers\u0069on":1,"io_id":"io","timestamp":1,"data":{}})", "io"},
        {head + "\"note\":\"\xF0\x9F\x98\x80\xE2\x82\xAC\",\"data\":{\"a\":{}}}", a},
        {head + "\"note\":\"\xC0\xAF\",\"data\":{\"a\":{}}}", none},      // overlong
        {head + "\"note\":\"\xED\xA0\x80\",\"data\":{\"a\":{}}}", none},  // a surrogate
        {head + "\"note\":\"\x01\",\"data\":{\"a\":{}}}", none},          // a control character
        {head + R"("note":"\ud800","data":{"a":{}}})", none},             // a lone surrogate
        {head + R"("note":"\ud800\u0041","data":{"a":{}}})", none},
        {head + R"("note":"\x","data":{"a":{}}})", none},
        // What surrounds the root.
        {"\xEF\xBB\xBF \n" + msg(1, "{}") + "\r\n\t ", "io"},
        {"\xEF\xBB" + msg(1, "{}"), none},
        {msg(1, "{}") + " x", none},
        {msg(1, "{}") + std::string(" \0x\0", 4), "io"},  // the library stops at a zero byte
        {std::string("\0", 1) + msg(1, "{}"), none},
        {R"({"version":1,"io_id":"io","timestamp":1)" + std::string("\0", 1) + R"(,"data":{}})", none},
        {msg(1, "{}") + "{}", none},
        {"[" + msg(1, "{}") + "]", none},
        // Numbers: the grammar, and a double's range anywhere.
        {msg(1, R"({"a":{"avg":1.7976931348623157e308}})"), a},
        {msg(1, R"({"a":{"avg":1.7976931348623159e308}})"), none},
        {msg(1, R"({"a":{"avg":[-0.5e-400, 0e999999999999999999]}})"), a},
        {msg(1, R"({"a":{"avg":1E+2}})"), a},
        {msg(1, R"({"a":{},"z":[{"y":[1e309]}]})"), none},
        {msg(1, "{\"a\":{\"avg\":1" + std::string(308, '0') + "}}"), a},
        {msg(1, "{\"a\":{\"avg\":1" + std::string(309, '0') + "}}"), none},
        {msg(1, "{\"a\":{\"avg\":0.00" + std::string(308, '0') + "1e311}}"), a},
        {msg(1, R"({"a":{"avg":01}})"), none},
        {msg(1, R"({"a":{"avg":1.}})"), none},
        {msg(1, R"({"a":{"avg":-}})"), none},
        {msg(1, R"({"a":{"avg":.5}})"), none},
        {msg(1, R"({"a":{"avg":1e}})"), none},
        {msg(1, R"({"a":{"avg":[1,]}})"), none},
        {msg(1, R"({"a":{"avg":[]},})"), none},
        {msg(1, R"({"a":{"avg":[]} })"), a},
        {msg(1, R"({"a":{"avg":nul}})"), none},
        {msg(1, R"({"a":{"x":[true,false,null,"",{}],"avg":[1, 2.5 ,-3]}})"), a},
        // The last of repeated members counts; in "data" each one does.
        {msg(1, R"({"a":{"avg":{"x":"no","x":2}}})"), a},
        {msg(1, R"({"a":{"avg":{"x":2,"x":"no"}}})"), none},
        {msg(1, R"({"a":{"avg":{"\u0078":"no","x":2}}})"), a},
        {msg(1, R"({"a":{"avg":"no","avg":null}})"), a},
        {msg(1, R"({"a":{"avg":1},"a":{"avg":true}})"), none},
        {head + R"("data":{"b":5},"data":{"a":{"avg":1}}})", a},
        {head + R"("data":{"a":{"avg":1}},"data":null})", none},
        {head + R"("io_id":null,"data":{}})", none},
        {R"({"version":1,"version":2,"io_id":"io","timestamp":1,"data":{}})", none},
        // The conversions of version and timestamp.
        {R"({"version":1.9,"io_id":"io","timestamp":true,"data":{}})", "io"},
        {R"({"version":true,"io_id":"io","timestamp":-9223372036854775809,"data":{}})", "io"},
        {R"({"version":10e-1,"io_id":"io","timestamp":9223372036854775807,"data":{}})", "io"},
        {R"({"version":false,"io_id":"io","timestamp":1,"data":{}})", none},
        {R"({"version":1,"io_id":"io","timestamp":-1e19,"data":{}})", none},
        // Deep structures are skipped whole.
        {head + "\"deep\":" + std::string(10000, '[') + std::string(10000, ']') + ",\"data\":{\"a\":{}}}", a},
        {head + "\"deep\":" + std::string(10000, '[') + std::string(9999, ']') + ",\"data\":{\"a\":{}}}",
         none},
    };
    for (const auto& [payload, key] : rows) EXPECT_EQ(key_of(payload), key) << payload;
}

TEST_F(DataMessage, MessagesTheClientRefusesMakeOneWarningPerRunAtMostOnceAMinute) {
    const std::string text = "WARNING src/services/external-source-data-getter/data_message:";
    const std::pair<std::string, std::vector<int>> rows[] = {
        {"rrrhh", {3}},  // refused, handled, 10 s apart: a run ends with the next message handled
        {"rrrrrrrrrrrrrrh", {7, 7}},  // or tells the number so far each minute
        {"rhrrh......h", {1, 2}},     // within a minute of a report it waits
        {"hhh", {}},
    };
    const auto base = test_clock::now();
    for (const auto& [events, counts] : rows) {
        quorvel::RefusedMessages refused;
        testing::internal::CaptureStderr();
        for (std::size_t i = 0; i < events.size(); ++i) {
            test_clock::now() = base + 10 * static_cast<std::int64_t>(i);
            if (events[i] != '.') events[i] == 'r' ? refused.refused("full") : refused.handled();
        }
        const auto log = testing::internal::GetCapturedStderr();
        std::vector<int> shown;
        for (auto p = log.find(text); p != std::string::npos; p = log.find(text, p + 1))
            shown.push_back(std::stoi(log.substr(log.find("с данными: ", p) + std::strlen("с данными: "))));
        EXPECT_EQ(shown, counts) << events << '\n' << log;
    }
}
