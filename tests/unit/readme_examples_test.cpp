// The examples of the README are the ones fed to the service here, so the
// documentation stays true.
#include "configuration.h"
#include "data_message.h"
#include "fake_mqtt.h"
#include "registry.h"
#include "service_fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef README_PATH
#error README_PATH must name the README
#endif

namespace {

// The fenced block right after "<!-- example: NAME -->".
std::string example(const std::string& name) {
    std::ifstream in(README_PATH);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const auto marker = text.find("<!-- example: " + name + " -->");
    if (marker == std::string::npos) return {};
    const auto open = text.find('\n', text.find("```", marker)) + 1;
    const auto close = text.find("```", open);
    return text.substr(open, close - open);
}

std::vector<unsigned char> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// The README's data message is ten seconds old.
constexpr std::int64_t readme_now_s = 1765000000 + 10;

class ReadmeExamples : public ServiceTest {};

}  // namespace

TEST_F(ReadmeExamples, ConfigurationAndDataMessageDoWhatTheReadmeSays) {
    const auto configuration = example("configuration");
    const auto data = example("data message");
    const auto published = example("published");
    ASSERT_FALSE(configuration.empty());
    ASSERT_FALSE(data.empty());
    ASSERT_FALSE(published.empty());

    quorvel::apply_configuration(client, bytes(configuration));
    EXPECT_EQ(quorvel::abroad_ios.size(), 2u);
    EXPECT_EQ(quorvel::abroad_ios["greenhouse"].size(), 3u);

    fake_mqtt::reset();
    test_clock::now() = readme_now_s;
    quorvel::handle_data_message(client, {"/qv/bridge/thirdparty_data/boiler", bytes(data)});

    std::string seen;
    for (const auto& c : fake_mqtt::sends()) {
        seen += c.topic + " = " + (c.op == fake_mqtt::Op::SendBytes ? "(empty: cleared)" : c.payload) + "\n";
    }
    EXPECT_EQ(seen, published);
}
