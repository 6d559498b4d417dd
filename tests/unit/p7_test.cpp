#include "mqtt-wrapper/common/p7.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (auto nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    EXPECT_EQ(start, text.size()) << "unterminated last line";
    return out;
}

// "2026-12-07T19:40:01.123Z ", digit for digit.
bool starts_with_utc_stamp(const std::string& line) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok =
            shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

}  // namespace

TEST(Logging, RecordFormat) {
    testing::internal::CaptureStderr();
    P7::getTrace()->Trace(0, P7::ERROR, nullptr, 154, "src/services/external-source-data-getter/main",
                          "perform", "Ошибка обработки: %s", "abc");
    const auto lines = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(starts_with_utc_stamp(lines[0])) << lines[0];
    EXPECT_EQ(lines[0].substr(25),
              "ERROR src/services/external-source-data-getter/main:154 perform: Ошибка обработки: abc");
}

TEST(Logging, LevelNamesAndThreshold) {
    const char* names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"};
    for (int level = 0; level <= 5; ++level) {
        EXPECT_EQ(P7::format_record(level, "f", 1, "fn", "t"), std::string(names[level]) + " f:1 fn: t");
    }
    testing::internal::CaptureStderr();
    P7::getTrace()->Trace(0, P7::DEBUG, nullptr, 1, "f", "fn", "%s", "hidden");
    P7::getTrace()->Trace(0, P7::INFO, nullptr, 1, "f", "fn", "%s", "shown");
    const auto out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_NE(out.find("INFO f:1 fn: shown"), std::string::npos);
}

TEST(Logging, ControlCharactersCannotSplitOrForgeRecords) {
    const std::string forged = "x\n2026-12-07T00:00:00.000Z ERROR forged:1 f: y\r\t\x01\x1b[31m\x7F";
    EXPECT_EQ(P7::format_record(P7::INFO, "f", 2, "fn", forged),
              "INFO f:2 fn: x\\n2026-12-07T00:00:00.000Z ERROR forged:1 f: y\\r\\t\\x01\\x1B[31m\\x7F");
    // UTF-8 text is kept as it is, but for what acts on a terminal or
    // reorders the line: C1 controls, bytes that are no UTF-8, and the
    // bidirectional overrides.
    const std::pair<std::string, std::string> cases[] = {
        {"слишком старый …", "слишком старый …"},
        {"a\xC2\x9B"
         "b",
         "a\\xC2\\x9Bb"},                                   // U+009B, the 8-bit CSI
        {"a\x9B[2Jb", "a\\x9B[2Jb"},                        // the same, as a raw byte
        {"\xE2\x80\xAEtxt.exe", "\\xE2\\x80\\xAEtxt.exe"},  // U+202E
        {"\xE2\x81\xA6x\xE2\x81\xA9", "\\xE2\\x81\\xA6x\\xE2\\x81\\xA9"},
        {"\xC0\xAF \xE2\x80", "\\xC0\\xAF \\xE2\\x80"},  // overlong, cut short
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},             // a surrogate
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(P7::format_record(P7::INFO, "f", 2, "fn", text), "INFO f:2 fn: " + shown);
}

TEST(Logging, LongTextsAreCutWithTheirSize) {
    const std::string big(5000, 'z');
    testing::internal::CaptureStderr();
    P7::getTrace()->Trace(0, P7::INFO, nullptr, 1, "f", "fn", "%s", big.c_str());
    const auto lines = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(25), "INFO f:1 fn: " + std::string(4000, 'z') + "… (5000 bytes)");
    // Never inside a well-formed UTF-8 sequence; other bytes are cut at the
    // limit. Escaped, a record stays under 16 KiB.
    const std::tuple<std::string, std::size_t, std::string> cuts[] = {
        {"abcдд", 4, "abc… (7 bytes)"},
        {"abcд\xE2\x82\xAC", 6, "abcд… (8 bytes)"},
        {"abc\xF0\x9F\x98\x80", 4, "abc… (7 bytes)"},
        {"abc\xF0\x9F\x98z", 4, "abc\xF0… (7 bytes)"},  // no sequence: cut at the limit
        {"ok " + std::string(4100, '\x9B'), 4000, "ok " + std::string(3997, '\x9B') + "… (4103 bytes)"},
    };
    for (const auto& [text, max_bytes, shown] : cuts) EXPECT_EQ(P7::cut_text(text, max_bytes), shown) << text;
    EXPECT_LT(P7::format_record(P7::INFO, "f", 1, "fn", std::string(100000, '\x01')).size(), 16384u);
}

TEST(Logging, ThreadsNeverInterleaveLines) {
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const std::string text(300, static_cast<char>('a' + t));
            for (int i = 0; i < 200; ++i)
                P7::getTrace()->Trace(0, P7::INFO, nullptr, 1, "f", "fn", "%s", text.c_str());
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 800u);
    for (const auto& line : lines) {
        ASSERT_TRUE(starts_with_utc_stamp(line)) << line.substr(0, 80);
        const auto text = line.substr(25);
        ASSERT_EQ(text.size(), 313u) << line.substr(0, 80);
        ASSERT_EQ(text.substr(0, 13), "INFO f:1 fn: ");
        ASSERT_EQ(text.substr(13), std::string(300, text[13])) << line.substr(0, 80);
    }
}

TEST(P7, SyslogPrioritiesForTheJournal) {
    EXPECT_EQ(P7::syslog_prefix(P7::CRITICAL), "<2>");
    EXPECT_EQ(P7::syslog_prefix(P7::ERROR), "<3>");
    EXPECT_EQ(P7::syslog_prefix(P7::WARNING), "<4>");
    EXPECT_EQ(P7::syslog_prefix(P7::INFO), "<6>");
    EXPECT_EQ(P7::syslog_prefix(P7::DEBUG), "<7>");
    EXPECT_EQ(P7::syslog_prefix(P7::TRACE), "<7>");
}
