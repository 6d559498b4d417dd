#pragma once

#include "mqtt-wrapper/export.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Logging shim: every record is one line on standard error,
//   <UTC time>Z <LEVEL> <file>:<line> <function>: <text>
// with control characters of the text escaped, so no text can split or
// forge a record. When standard error is the journal's stream (systemd's
// JOURNAL_STREAM), the time gives way to a syslog priority prefix such as
// "<3>". Safe to use from any thread; lines never interleave.
namespace P7 {

enum Level : int { TRACE = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4, CRITICAL = 5 };

class Module;

class MQTT_WRAPPER_API Tracer {
public:
    // Records below this level are dropped (default INFO).
    void SetVerbosity(int level);

    void Trace(std::uint16_t id, int level, Module* module, std::uint16_t line, const char* file,
               const char* function, const char* format, ...) __attribute__((format(printf, 8, 9)));
};

extern MQTT_WRAPPER_API const char* const MainTrace;

// Names the channel and the program; returns false for an empty channel.
MQTT_WRAPPER_API bool LoggerInit(const std::string& channel, const char* programPath);

// The process-wide trace object. It is never destroyed, so any thread may
// use it until the process ends.
MQTT_WRAPPER_API Tracer* getTrace();

// "<3>" for ERROR and so on; exposed for tests.
MQTT_WRAPPER_API std::string syslog_prefix(int level);

// A text as a record shows it: at most max_bytes, cut between two UTF-8
// sequences, then "… (N bytes)" with the whole size. Every record's text is
// cut so at record_text_bytes, which its escaping can at most quadruple.
constexpr std::size_t record_text_bytes = 4000;
MQTT_WRAPPER_API std::string cut_text(std::string_view text, std::size_t max_bytes = record_text_bytes);

// One record's line without the time stamp and newline; exposed for tests.
MQTT_WRAPPER_API std::string format_record(int level, const char* file, unsigned line, const char* function,
                                           const std::string& text);

}  // namespace P7

// A record of the calling file (its own source_file), on the line of the
// call, naming the function it is in.
#define MQTT_LOG(level, ...) \
    P7::getTrace()->Trace(0, level, nullptr, __LINE__, source_file, __func__, __VA_ARGS__)
