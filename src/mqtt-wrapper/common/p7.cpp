#include "mqtt-wrapper/common/p7.h"

#include "mqtt-wrapper/core/utf8.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

namespace P7 {

const char* const MainTrace = "external-source-data-getter";

namespace {

const char* const level_names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"};

std::atomic<int> verbosity{INFO};

// Never destroyed: the detached threads of a service may still log while
// static objects are torn down at exit.
std::mutex& write_mutex = *new std::mutex;

// Code points that would act on a terminal or reorder the text: C1
// controls and the bidirectional embeddings, overrides and isolates.
bool escaped_code_point(std::uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void append_escaped(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    const auto escape = [&](std::size_t from, std::size_t n) {
        for (std::size_t k = from; k < from + n; ++k) {
            const auto c = static_cast<unsigned char>(text[k]);
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n";
            ++i;
        } else if (c == '\r') {
            out += "\\r";
            ++i;
        } else if (c == '\t') {
            out += "\\t";
            ++i;
        } else if (c < 0x80) {
            escape(i++, 1);
        } else {
            // A byte that starts no well-formed sequence is escaped alone.
            std::uint32_t cp = 0;
            const std::size_t len = quorvel::mosquitto::utf8_sequence(text, i, cp);
            if (len == 0) {
                escape(i++, 1);
            } else {
                if (escaped_code_point(cp)) {
                    escape(i, len);
                } else {
                    out.append(text, i, len);
                }
                i += len;
            }
        }
    }
}

std::string utc_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    const time_t seconds = ts.tv_sec;
    gmtime_r(&seconds, &parts);
    char buf[40];
    const auto n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ ",
                                 parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                                 parts.tm_min, parts.tm_sec, static_cast<long>(ts.tv_nsec / 1000000));
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Whether standard error is the stream journald connected, as JOURNAL_STREAM
// ("device:inode") says; not inherited by a child whose stderr goes elsewhere.
bool stderr_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

void write_all(const std::string& line) {
    std::lock_guard<std::mutex> lock(write_mutex);
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const auto n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string cut_text(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return std::string(text);
    // Back to the start of a well-formed sequence the cut would split; other
    // bytes are cut where they are (and escaped when written).
    std::size_t end = max_bytes;
    for (std::size_t start = end; start > 0 && start + 3 > end;) {
        std::uint32_t cp = 0;
        const auto len = quorvel::mosquitto::utf8_sequence(text, --start, cp);
        if (len > 0) {
            if (start + len > end) end = start;
            break;
        }
    }
    std::string out(text.substr(0, end));
    out += "… (" + std::to_string(text.size()) + " bytes)";
    return out;
}

std::string format_record(int level, const char* file, unsigned line, const char* function,
                          const std::string& text) {
    const bool known = level >= TRACE && level <= CRITICAL;
    std::string out = known ? level_names[level] : "LEVEL" + std::to_string(level);
    out += ' ';
    out += file ? file : "?";
    out += ':';
    out += std::to_string(line);
    out += ' ';
    out += function ? function : "?";
    out += ": ";
    if (text.size() <= record_text_bytes) {
        append_escaped(out, text);
    } else {
        append_escaped(out, cut_text(text));
    }
    return out;
}

std::string syslog_prefix(int level) {
    switch (level) {
        case CRITICAL:
            return "<2>";
        case ERROR:
            return "<3>";
        case WARNING:
            return "<4>";
        case TRACE:
        case DEBUG:
            return "<7>";
        default:
            return "<6>";
    }
}

void Tracer::SetVerbosity(int level) {
    verbosity.store(level);
}

void Tracer::Trace(std::uint16_t, int level, Module*, std::uint16_t line, const char* file,
                   const char* function, const char* format, ...) {
    if (level < verbosity.load(std::memory_order_relaxed)) return;
    std::string text;
    if (format) {
        va_list args;
        va_start(args, format);
        va_list again;
        va_copy(again, args);
        char small[512];
        const int n = std::vsnprintf(small, sizeof small, format, args);
        if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
            text.assign(small, static_cast<std::size_t>(n));
        } else if (n >= 0) {
            std::vector<char> big(static_cast<std::size_t>(n) + 1);
            std::vsnprintf(big.data(), big.size(), format, again);
            text.assign(big.data(), static_cast<std::size_t>(n));
        }
        va_end(again);
        va_end(args);
    }
    // The journal keeps its own time and takes a syslog priority prefix.
    static const bool journal = stderr_is_journal();
    write_all((journal ? syslog_prefix(level) : utc_now()) +
              format_record(level, file, line, function, text) + '\n');
}

bool LoggerInit(const std::string& channel, const char*) {
    return !channel.empty();
}

Tracer* getTrace() {
    static Tracer* const trace = new Tracer;
    return trace;
}

}  // namespace P7
