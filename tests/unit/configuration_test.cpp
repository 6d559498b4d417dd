#include "configuration.h"
#include "fake_mqtt.h"
#include "registry.h"
#include "service_fixture.h"
#include "tree.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using fake_mqtt::Op;
using quorvel::abroad_ios;

namespace {

// The registry, sorted for comparison.
using sorted_registry = std::map<std::string, std::map<std::string, std::int64_t>>;

class Configuration : public ServiceTest {
protected:
    void apply(const std::string& text) {
        quorvel::apply_configuration(client, std::vector<unsigned char>(text.begin(), text.end()));
    }

    // Every call as "subscribe <filter>" or "<topic> = <payload>".
    static std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (const auto& c : fake_mqtt::calls()) {
            if (c.op == Op::Subscribe) out.push_back("subscribe " + c.topic);
            if (c.op == Op::SendString || c.op == Op::SendBytes) out.push_back(c.topic + " = " + c.payload);
        }
        return out;
    }

    static std::vector<std::string> announced(const std::string& id,
                                              const std::vector<std::string>& controls) {
        std::vector<std::string> out = {"subscribe /qv/bridge/thirdparty_data/" + id,
                                        "/devices/" + id + "/meta/name = " + id};
        int order = 1;
        for (const auto& c : controls) {
            const auto base = "/devices/" + id + "/controls/" + c + "/meta/";
            out.push_back(base + "type = value");
            out.push_back(base + "readonly = 1");
            out.push_back(base + "order = " + std::to_string(order++));
        }
        return out;
    }

    static sorted_registry registry() {
        sorted_registry out;
        for (const auto& [id, controls] : abroad_ios) {
            auto& device = out[std::string(id)];  // a device without controls included
            for (const auto& [name, control] : controls) device[std::string(name)] = control.timestamp;
        }
        return out;
    }
};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(Configuration, AnnouncesDevicesInDocumentOrderWithOrderNumbersPerDevice) {
    apply(R"({"version": 2, "remote_ios": [
        {"id": "io2", "types": ["temp", "hum"]},
        {"id": "io1", "types": ["co2"], "extra": true}], "other": 1})");
    EXPECT_EQ(calls(), concat(announced("io2", {"temp", "hum"}), announced("io1", {"co2"})));
    for (const auto& c : fake_mqtt::sends()) {
        EXPECT_EQ(c.op, Op::SendString);
        EXPECT_EQ(c.qos, 0);
        EXPECT_TRUE(c.retain);
    }
    const sorted_registry expected = {{"io2", {{"temp", 0}, {"hum", 0}}}, {"io1", {{"co2", 0}}}};
    EXPECT_EQ(registry(), expected);
}

TEST_F(Configuration, DuplicateNamesAreAnnouncedTwiceAndRegisteredOnce) {
    apply(R"({"version": 2, "remote_ios": [{"id": "io", "types": ["a", "b", "a"]}]})");
    EXPECT_EQ(calls(), announced("io", {"a", "b", "a"}));
    EXPECT_EQ(registry()["io"].size(), 2u);
}

TEST_F(Configuration, ARepeatedIdIsAnnouncedAgainButKeepsTheFirstControls) {
    apply(R"({"version": 2, "remote_ios": [{"id": "io", "types": ["a"]}, {"id": "io", "types": ["b"]}]})");
    EXPECT_EQ(calls(), concat(announced("io", {"a"}), announced("io", {"b"})));
    const sorted_registry expected = {{"io", {{"a", 0}}}};
    EXPECT_EQ(registry(), expected);
}

TEST_F(Configuration, TypesAndRemoteIosOfEveryShape) {
    apply(R"({"version": 2, "remote_ios": {
        "z": {"id": "single", "types": "only"},
        "a": {"id": "null", "types": null},
        "m": {"id": "empty", "types": []},
        "n": {"id": "object", "types": {"y": "second", "b": "first"}}}})");
    // An object of remote ios is walked in key order: a, m, n, z.
    EXPECT_EQ(calls(), concat(concat(concat(announced("null", {}), announced("empty", {})),
                                     announced("object", {"first", "second"})),
                              announced("single", {"only"})));
    EXPECT_EQ(registry().size(), 4u);
    EXPECT_TRUE(registry()["null"].empty());
    EXPECT_TRUE(registry()["empty"].empty());
}

TEST_F(Configuration, VersionsOtherThanTwoAreIgnoredSilently) {
    for (const char* doc : {R"({"remote_ios": [{"id": "x", "types": []}]})",
                            R"({"version": 3, "remote_ios": [{"id": "x", "types": []}]})",
                            R"({"version": true, "remote_ios": [{"id": "x", "types": []}]})",
                            R"({"version": 1.9, "remote_ios": [{"id": "x", "types": []}]})",
                            R"({"version": 4294967298, "remote_ios": [{"id": "x", "types": []}]})",
                            R"({"version": -4294967294, "remote_ios": [{"id": "x", "types": []}]})",
                            R"({"version": 1e300, "remote_ios": [{"id": "x", "types": []}]})",
                            R"({"remote_ios": [{"id": "x", "types": []}], "version": 3})",
                            R"({"version": 2, "remote_ios": [{"id": "x", "types": []}], "version": 3})"}) {
        apply(doc);
        EXPECT_TRUE(calls().empty()) << doc;
        EXPECT_TRUE(abroad_ios.empty()) << doc;
    }
}

TEST_F(Configuration, VersionTwoPointFiveIsTwo) {
    apply(R"({"version": 2.5, "remote_ios": [{"id": "x", "types": ["t"]}]})");
    EXPECT_EQ(calls(), announced("x", {"t"}));
}

TEST_F(Configuration, MissingOrNullRemoteIosAnnounceNothing) {
    apply(R"({"version": 2})");
    apply(R"({"version": 2, "remote_ios": null})");
    apply(R"({"version": 2, "remote_ios": []})");
    apply(R"({"version": 2, "remote_ios": [{"id": "x", "types": []}], "remote_ios": null})");
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(abroad_ios.empty());
}

TEST_F(Configuration, MalformedDocumentsRaiseTheLibraryErrors) {
    using nlohmann::json;
    EXPECT_THROW(apply(""), json::parse_error);
    EXPECT_THROW(apply("{\"version\": 2} x"), json::parse_error);
    EXPECT_THROW(apply("not json"), json::parse_error);
    EXPECT_THROW(apply(R"([{"id": "x", "types": []}])"), json::type_error);  // 306
    EXPECT_THROW(apply("\"text\""), json::type_error);
    EXPECT_THROW(apply(R"({"version": "2"})"), json::type_error);  // 302
    EXPECT_THROW(apply(R"({"version": null})"), json::type_error);
    // After the walk's fault, as anywhere: before anything is announced.
    EXPECT_THROW(apply(R"({"version": 2, "remote_ios": [{"id": "a", "types": []}, 5, {]})"),
                 json::parse_error);
    EXPECT_TRUE(calls().empty());
    try {
        apply("[]");
    } catch (const json::type_error& e) {
        EXPECT_EQ(e.id, 306);
    }
}

TEST_F(Configuration, AFaultStopsTheWalkAndKeepsWhatCameBefore) {
    struct Case {
        const char* third;        // the faulty remote io, after two good ones
        int error_id;             // JSON library error id, 0 for a missing key
        const char* missing_key;  // named by the error
        std::vector<std::string> announced_of_third;
    } cases[] = {
        {R"(5)", 305, "", {}},
        {R"("io")", 305, "", {}},
        {R"({"id": 7, "types": []})", 302, "", {}},
        {R"({"types": []})", 0, "\"id\"", {}},
        {R"({"id": "bad"})", 0, "\"types\"", announced("bad", {})},
        {R"({"id": "bad", "types": ["ok", 3]})", 302, "", announced("bad", {"ok"})},
        {R"({"id": "bad", "types": [null]})", 302, "", announced("bad", {})},
        {R"({"id": "bad", "types": {"c": 3, "a": 4, "b": "ok", "a": "first"}})", 302, "",
         announced("bad", {"first", "ok"})},
        {R"({"id": "bad", "types": ["t"], "types": [[1]]})", 302, "", announced("bad", {})},
        {R"({"id": "ok", "types": [], "id": 7})", 302, "", {}},
        {R"([[{"id": "x"}]])", 305, "", {}},
    };
    for (const auto& c : cases) {
        SetUp();
        const std::string doc = std::string(R"({"version": 2, "remote_ios": [{"id": "a", "types": ["t"]},
            {"id": "b", "types": []}, )") +
                                c.third + R"(, {"id": "never", "types": ["x"]}]})";
        try {
            apply(doc);
            ADD_FAILURE() << "no error for " << c.third;
        } catch (const nlohmann::json::exception& e) {
            EXPECT_EQ(e.id, c.error_id) << c.third << ": " << e.what();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(c.error_id, 0) << c.third << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.missing_key), std::string::npos) << e.what();
        }
        EXPECT_EQ(calls(), concat(concat(announced("a", {"t"}), announced("b", {})), c.announced_of_third))
            << c.third;
        const sorted_registry expected = {{"a", {{"t", 0}}}, {"b", {}}};
        EXPECT_EQ(registry(), expected) << c.third;
    }
}

TEST_F(Configuration, TheLastOfRepeatedKeysCountsAndAnObjectStopsAtItsFirstFaultInKeyOrder) {
    // The first "remote_ios" would fail at once, and so would the first "a2".
    EXPECT_THROW(apply(R"({"version": 3, "remote_ios": [5], "remote_ios": {
        "b": {"id": "never", "types": []}, "a2": 5, "c": 3,
        "a1": {"id": "first", "types": {"y": "y", "x": 1, "x": "x"}},
        "a2": {"id": "second"}}, "version": 2})"),
                 std::runtime_error);  // no "types"
    EXPECT_EQ(calls(), concat(announced("first", {"x", "y"}), announced("second", {})));
    const sorted_registry expected = {{"first", {{"x", 0}, {"y", 0}}}};
    EXPECT_EQ(registry(), expected);
}

TEST_F(Configuration, TopicsTheClientRefusesEndTheStartAFullBufferDoesNot) {
    // A wildcard id still subscribes (a wildcard subscription), then its name
    // publication is refused by the client.
    EXPECT_THROW(apply(R"({"version": 2, "remote_ios": [{"id": "+", "types": ["t"]}]})"), std::runtime_error);
    EXPECT_EQ(calls(), std::vector<std::string>{"subscribe /qv/bridge/thirdparty_data/+"});
    SetUp();
    EXPECT_THROW(apply(R"({"version": 2, "remote_ios": [{"id": "io", "types": ["a#"]}]})"),
                 std::runtime_error);
    EXPECT_EQ(calls(), announced("io", {}));
    SetUp();
    EXPECT_THROW(apply(R"({"version": 2, "remote_ios": [{"id": "nul\u0000", "types": []}]})"),
                 std::runtime_error);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(abroad_ios.empty());
    // A slash is no error: it adds topic levels.
    SetUp();
    apply(R"({"version": 2, "remote_ios": [{"id": "room/1", "types": ["t/x"]}]})");
    EXPECT_EQ(calls(), announced("room/1", {"t/x"}));
    // The broker away or reading nothing: all is registered, the tree owed.
    SetUp();
    fake_mqtt::fail_send(2, "full", quorvel::mosquitto::MqttError::Code::buffer_full);
    testing::internal::CaptureStderr();
    apply(R"({"version": 2, "remote_ios": [{"id": "a", "types": ["t"]}, {"id": "b", "types": []}]})");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Не удалось объявить устройств: 1 (full)"),
              std::string::npos);
    EXPECT_EQ(registry().size(), 2u);
    EXPECT_TRUE(quorvel::take_owed_tree());
}

TEST_F(Configuration, NamesSomeBrokersRewriteAreToldAndStillAnnounced) {
    testing::internal::CaptureStderr();
    apply(R"({"version": 2, "remote_ios": [{"id": "site.a", "types": ["t.x", "hum"]},
              {"id": "a*b", "types": []}, {"id": "plain", "types": ["temp"]}]})");
    auto log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls(), concat(concat(announced("site.a", {"t.x", "hum"}), announced("a*b", {})),
                              announced("plain", {"temp"})));
    EXPECT_NE(log.find("WARNING src/services/external-source-data-getter/configuration:"), std::string::npos);
    EXPECT_NE(
        log.find("Устройство 'site.a': символ '.' в имени некоторые брокеры меняют в топиках ('.' на '/', "
                 "'*' на '+', как RabbitMQ); через такой брокер данные устройства не дойдут\n"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("Контрол 't.x' устройства 'site.a': символ '.'"), std::string::npos) << log;
    EXPECT_NE(log.find("Устройство 'a*b': символ '*'"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    // The first ten are named, the rest counted: a document of thousands stays readable.
    SetUp();
    testing::internal::CaptureStderr();
    apply(R"({"version": 2, "remote_ios": [{"id": "io", "types": ["1.", "2.", "3.", "4.", "5.", "6.", "7.",
              "8.", "9.", "10.", "11.", "12."]}]})");
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 11) << log;
    EXPECT_NE(log.find("Ещё имён с символами, которые некоторые брокеры меняют в топиках: 2\n"),
              std::string::npos);
}
