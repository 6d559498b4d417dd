#include "sax_router.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

// Opens a frame for every object and none for an array; records each event
// it is handed as "<frame in> <value>", "key <key>" or "close <frame> in <frame>".
class Recorder {
public:
    enum class Frame { outer, inner };
    static constexpr std::size_t most_frames = 2;

    std::optional<Frame> value(std::optional<Frame> in, json::value_t kind, const json& scalar,
                               std::string* text) {
        const std::string shown = text                            ? "\"" + *text + "\""
                                  : kind == json::value_t::object ? "{"
                                  : kind == json::value_t::array  ? "["
                                                                  : scalar.dump();
        events.push_back(name(in) + " " + shown);
        if (kind != json::value_t::object) return std::nullopt;
        return in ? Frame::inner : Frame::outer;
    }
    void key(Frame, const std::string& k) { events.push_back("key " + k); }
    void close(Frame closing, std::optional<Frame> in) {
        events.push_back("close " + name(closing) + " in " + name(in));
    }

    std::vector<std::string> events;

private:
    static std::string name(std::optional<Frame> frame) {
        if (!frame) return "-";
        return *frame == Frame::outer ? "outer" : "inner";
    }
};

struct Reading {
    bool read;
    std::vector<std::string> events;
    std::string error;
};

Reading read(const std::string& text) {
    Recorder recorder;
    quorvel::SaxRouter<Recorder> router(recorder);
    Reading out{router.read(text.begin(), text.end()), {}, {}};
    out.events = recorder.events;
    try {
        if (router.error()) std::rethrow_exception(router.error());
    } catch (const json::parse_error& e) {
        out.error = e.what();
    }
    return out;
}

TEST(SaxRouter, RoutesByFrameAndSkipsWhatOpensNone) {
    const Reading r = read(R"({"a": 1, "b": [2, {"c": 3}, [4]], "d": {"e": "x", "f": null}, "g": true})");
    EXPECT_TRUE(r.read);
    EXPECT_EQ(r.events,
              (std::vector<std::string>{"- {", "key a", "outer 1", "key b", "outer [", "key d", "outer {",
                                        "key e", "inner \"x\"", "key f", "inner null", "close inner in outer",
                                        "key g", "outer true", "close outer in -"}));
    EXPECT_EQ(r.error, "");
}

TEST(SaxRouter, ARootThatOpensNoFrameEndsTheReading) {
    const Reading r = read("[1, {}] trailing");
    EXPECT_FALSE(r.read);
    EXPECT_EQ(r.events, std::vector<std::string>{"- ["});
    EXPECT_EQ(r.error, "");  // no error of the library's own
}

TEST(SaxRouter, AScalarRootIsReadToTheEnd) {
    EXPECT_TRUE(read(" 2.5 ").read);
    const Reading r = read("2.5 x");
    EXPECT_FALSE(r.read);
    EXPECT_EQ(r.events, std::vector<std::string>{"- 2.5"});
    EXPECT_EQ(r.error,
              "[json.exception.parse_error.101] parse error at line 1, column 5: syntax error while parsing "
              "value - invalid literal; last read: '2.5 x'; expected end of input");
}

TEST(SaxRouter, KeepsTheLibrarysFirstSyntaxError) {
    const Reading r = read(R"({"a": [1,], "b": 2})");
    EXPECT_FALSE(r.read);
    EXPECT_EQ(r.error,
              "[json.exception.parse_error.101] parse error at line 1, column 10: syntax error while parsing "
              "value - unexpected ']'; expected '[', '{', or a literal");
}

TEST(SaxRouter, AFrameBeyondTheDeclaredMostIsRefused) {
    EXPECT_NO_THROW(read(R"({"a": {"b": [{"c": {}}]}})"));
    EXPECT_THROW(read(R"({"a": {"b": {}}})"), std::logic_error);
}

}  // namespace
