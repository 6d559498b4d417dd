#include "data_key.h"

#include "json_numbers.h"

#include <nlohmann/json.hpp>

#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

namespace {

using byte = unsigned char;

constexpr int data_version = 1;
constexpr long long exponent_cap = 1'000'000'000'000LL;  // far beyond any double

// Bytes that stand for themselves inside a string: printable ASCII but the
// quote and the backslash.
struct PlainBytes {
    bool plain[256] = {};
    constexpr PlainBytes() {
        for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    }
};
constexpr PlainBytes plain_bytes;

inline bool digit(byte c) {
    return static_cast<unsigned>(c - '0') < 10;
}

int hex_digit(byte c) {
    if (digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at `at`, or -1.
long hex4(const byte* at) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_digit(at[i]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

char* put_utf8(unsigned long cp, char* out) {
    const auto put = [&](unsigned long b) { *out++ = static_cast<char>(b); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
    return out;
}

// Past the bytes from q on that stand for themselves in a string, eight at
// a time: a byte is flagged when it is a quote, a backslash, below 0x20 or
// above 0x7F. Only bytes above a flagged one can be flagged wrongly, so the
// lowest flag is exact.
inline const byte* plain_run(const byte* q, const byte* end) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    while (little_endian && end - q >= 8) {
        std::uint64_t x;
        std::memcpy(&x, q, 8);
        const std::uint64_t quote = x ^ (ones * '"');
        const std::uint64_t backslash = x ^ (ones * '\\');
        const std::uint64_t flags =
            (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((x - ones * 0x20) & ~x) | x) &
            highs;
        if (flags != 0) return q + __builtin_ctzll(flags) / 8;
        q += 8;
    }
    while (q < end && plain_bytes.plain[*q]) ++q;
    return q;
}

// A string's text between its quotes, already checked.
struct Span {
    const byte* first = nullptr;
    const byte* last = nullptr;
    bool escaped = false;  // its text is not its value

    std::size_t size() const { return static_cast<std::size_t>(last - first); }
};

// The value of a checked string at out, which has room for its text (a
// value is never longer); returns the end.
char* decode(const Span& s, char* out) {
    if (!s.escaped) {
        if (s.size() > 0) std::memcpy(out, s.first, s.size());
        return out + s.size();
    }
    for (const byte* q = s.first; q < s.last;) {
        if (*q != '\\') {
            *out++ = static_cast<char>(*q++);
            continue;
        }
        const byte e = q[1];
        q += 2;
        switch (e) {
            case 'b':
                *out++ = '\b';
                break;
            case 'f':
                *out++ = '\f';
                break;
            case 'n':
                *out++ = '\n';
                break;
            case 'r':
                *out++ = '\r';
                break;
            case 't':
                *out++ = '\t';
                break;
            case 'u': {
                auto cp = static_cast<unsigned long>(hex4(q));
                q += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<unsigned long>(hex4(q + 2)) - 0xDC00);
                    q += 6;
                }
                out = put_utf8(cp, out);
                break;
            }
            default:
                *out++ = static_cast<char>(e);
                break;  // '"', '\\', '/'
        }
    }
    return out;
}

// What a member at the root held last.
enum class Kind : std::uint8_t { absent, number, yes, no, string, other };
struct Scalar {
    Kind kind = Kind::absent;
    Span text;  // a number's or a string's
};

// Kept by each thread between messages.
struct Buffers {
    std::string names;  // each control's zero byte and name
    std::string closers;
    std::string a, b;  // decoded strings to compare
    struct AvgMember {
        Span key;
        bool number;
    };
    std::vector<AvgMember> avg;
};

class Scanner {
public:
    Scanner(const byte* first, const byte* last, Buffers& buffers)
        : p_(first), end_(last), buffers_(buffers) {
        const auto size = static_cast<std::size_t>(last - first);
        if (buffers_.names.size() < size + 8) buffers_.names.resize(size + 8);  // see add_name
    }

    bool read(std::string& key) {
        // The library skips a byte-order mark, and only a whole one.
        if (p_ < end_ && *p_ == 0xEF) {
            if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF) return false;
            p_ += 3;
        }
        space();
        if (peek() != '{') return false;
        ++p_;
        space();
        if (peek() == '}') return false;  // no version
        Scalar version, timestamp, io_id;
        bool data = false;  // the last "data" is an object of valid controls
        for (;;) {
            Span name;
            if (!string(name) || !colon()) return false;
            bool ok = false;
            if (is(name, "version")) {
                ok = scalar(version);
            } else if (is(name, "timestamp")) {
                ok = scalar(timestamp);
            } else if (is(name, "io_id")) {
                ok = scalar(io_id);
            } else if (is(name, "data")) {
                data = peek() == '{';
                ok = data ? controls(data) : skip();
            } else {
                ok = skip();
            }
            if (!ok) return false;
            space();
            if (peek() == '}') break;
            if (peek() != ',') return false;
            ++p_;
            space();
        }
        ++p_;
        space();
        if (p_ != end_ && *p_ != '\0') return false;  // the library stops at a zero byte
        if (!data || io_id.kind != Kind::string || !version_is_current(version) || !timestamp_fits(timestamp))
            return false;
        key.resize(io_id.text.size());
        key.resize(static_cast<std::size_t>(decode(io_id.text, key.data()) - key.data()));
        key.append(buffers_.names.data(), names_size_);
        return true;
    }

private:
    byte peek() const { return p_ < end_ ? *p_ : 0; }

    void space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool colon() {
        space();
        if (peek() != ':') return false;
        ++p_;
        space();
        return true;
    }

    bool literal(const char* word, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }

    // At a quote: past the closing one.
    bool string(Span& s) {
        if (peek() != '"') return false;
        s.first = ++p_;
        s.escaped = false;
        for (;;) {
            p_ = plain_run(p_, end_);
            if (p_ == end_) return false;
            if (*p_ == '"') {
                s.last = p_++;
                return true;
            }
            if (*p_ == '\\') {
                if (!escape()) return false;
                s.escaped = true;
            } else if (!utf8()) {
                return false;
            }
        }
    }

    bool escape() {
        if (end_ - p_ < 2) return false;
        switch (p_[1]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                p_ += 2;
                return true;
            case 'u':
                break;
            default:
                return false;
        }
        if (end_ - p_ < 6) return false;
        const long cp = hex4(p_ + 2);
        if (cp < 0) return false;
        p_ += 6;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
        if (cp < 0xD800 || cp > 0xDBFF) return true;
        // A high surrogate takes a low one.
        if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') return false;
        const long low = hex4(p_ + 2);
        if (low < 0xDC00 || low > 0xDFFF) return false;
        p_ += 6;
        return true;
    }

    // At a byte that is not printable ASCII: past one well-formed UTF-8
    // sequence, or false (a control character, or a malformed sequence).
    bool utf8() {
        const byte c = *p_;
        const auto left = end_ - p_;
        const auto in = [&](int i, byte low, byte high) { return p_[i] >= low && p_[i] <= high; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || !in(1, 0x80, 0xBF)) return false;
            p_ += 2;
            return true;
        }
        if (c >= 0xE0 && c <= 0xEF) {
            const auto low = static_cast<byte>(c == 0xE0 ? 0xA0 : 0x80);
            const auto high = static_cast<byte>(c == 0xED ? 0x9F : 0xBF);
            if (left < 3 || !in(1, low, high) || !in(2, 0x80, 0xBF)) return false;
            p_ += 3;
            return true;
        }
        if (c >= 0xF0 && c <= 0xF4) {
            const auto low = static_cast<byte>(c == 0xF0 ? 0x90 : 0x80);
            const auto high = static_cast<byte>(c == 0xF4 ? 0x8F : 0xBF);
            if (left < 4 || !in(1, low, high) || !in(2, 0x80, 0xBF) || !in(3, 0x80, 0xBF)) return false;
            p_ += 4;
            return true;
        }
        return false;
    }

    // Past a number, or false: not one, or one the library refuses as too
    // large for a double.
    bool number() {
        const byte* const first = p_;
        if (peek() == '-') ++p_;
        const byte* const int_first = p_;
        if (peek() == '0') {
            ++p_;
        } else if (peek() >= '1' && peek() <= '9') {
            do ++p_;
            while (p_ < end_ && digit(*p_));
        } else {
            return false;
        }
        const auto int_digits = static_cast<long long>(p_ - int_first);
        if (peek() == '.') {
            ++p_;
            if (!digit(peek())) return false;
            do ++p_;
            while (p_ < end_ && digit(*p_));
        }
        long long exponent = 0;
        if (peek() == 'e' || peek() == 'E') {
            ++p_;
            const bool negative = peek() == '-';
            if (negative || peek() == '+') ++p_;
            if (!digit(peek())) return false;
            do {
                if (exponent < exponent_cap) exponent = exponent * 10 + (*p_ - '0');
                ++p_;
            } while (p_ < end_ && digit(*p_));
            if (negative) exponent = -exponent;
        }
        // Below 10^308, whatever its digits, it is a finite double.
        return int_digits + exponent <= 308 || finite(first, int_first, int_digits, exponent);
    }

    // Whether a number of 10^308 or more reads as a finite double: by the
    // place of its first significant digit, and next to the largest double
    // by the library's own conversion.
    bool finite(const byte* first, const byte* int_first, long long int_digits, long long exponent) const {
        long long zeros = 0;
        const byte* q = int_first;
        for (; q < p_ && (digit(*q) || *q == '.'); ++q) {
            if (*q == '.') continue;
            if (*q != '0') break;
            ++zeros;
        }
        if (q == p_ || !digit(*q)) return true;  // zero
        const long long magnitude = int_digits - 1 - zeros + exponent;
        if (magnitude != 308) return magnitude < 308;
        std::string text(first, p_);
        const char* point = std::localeconv()->decimal_point;
        for (char& c : text) {
            if (c == '.') c = point ? *point : '.';
        }
        return std::isfinite(std::strtod(text.c_str(), nullptr));
    }

    // Past any value (structures without recursion), or false.
    bool skip() {
        std::string& closers = buffers_.closers;
        closers.clear();
        for (;;) {
            const byte c = peek();
            if (c == '{' || c == '[') {
                ++p_;
                const char closer = c == '{' ? '}' : ']';
                space();
                if (peek() != closer) {
                    closers.push_back(closer);
                    if (closer == '}' && !member_name()) return false;
                    continue;
                }
                ++p_;
            } else if (!scalar_value()) {
                return false;
            }
            for (;;) {  // after a value
                if (closers.empty()) return true;
                space();
                if (peek() == ',') {
                    ++p_;
                    space();
                    if (closers.back() == '}' && !member_name()) return false;
                    break;
                }
                if (peek() != static_cast<byte>(closers.back())) return false;
                ++p_;
                closers.pop_back();
            }
        }
    }

    bool member_name() {
        Span name;
        return string(name) && colon();
    }

    bool scalar_value() {
        Span s;
        switch (peek()) {
            case '"':
                return string(s);
            case 't':
                return literal("true", 4);
            case 'f':
                return literal("false", 5);
            case 'n':
                return literal("null", 4);
            default:
                return number();
        }
    }

    // A member of the root that the key reads.
    bool scalar(Scalar& v) {
        const byte c = peek();
        v.text.first = p_;
        if (c == '"') {
            v.kind = Kind::string;
            return string(v.text);
        }
        if (c == '-' || digit(c)) {
            v.kind = Kind::number;
            if (!number()) return false;
            v.text.last = p_;
            return true;
        }
        v.kind = c == 't' ? Kind::yes : c == 'f' ? Kind::no : Kind::other;
        return skip();
    }

    // At the object of "data": its names in the buffer; valid: the handler
    // would take each of its controls.
    bool controls(bool& valid) {
        names_size_ = 0;
        valid = true;
        ++p_;
        space();
        if (peek() == '}') {
            ++p_;
            return true;
        }
        for (;;) {
            if (quick_control()) {
                if (peek() == ',') {
                    ++p_;
                    continue;
                }
            } else if (!control_member(valid)) {
                return false;
            }
            space();
            if (peek() == '}') {
                ++p_;
                return true;
            }
            if (peek() != ',') return false;
            ++p_;
            space();
        }
    }

    // A member of "data" in any form.
    bool control_member(bool& valid) {
        Span name;
        if (!string(name) || !colon()) return false;
        if (name.escaped) {
            char* const at = &buffers_.names[names_size_];
            *at = '\0';
            names_size_ = static_cast<std::size_t>(decode(name, at + 1) - buffers_.names.data());
        } else {
            add_name(name.first, name.size());
        }
        const byte c = peek();
        if (c == '{') {
            bool control_valid = true;
            if (!control(control_valid)) return false;
            valid = valid && control_valid;
            return true;
        }
        if (c == 'n') return literal("null", 4);
        valid = false;  // the handler iterates no other value
        return skip();
    }

    // The common form of a control, `"name":{"avg":number}` or with "avg" an
    // array of numbers, all without spaces, an exponent or an escape: its
    // name added and past it; anything else is left to the general path.
    bool quick_control() {
        const byte* q = p_;
        if (q == end_ || *q != '"') return false;
        const byte* const name = ++q;
        while (q < end_ && plain_bytes.plain[*q]) ++q;
        if (q == end_ || *q != '"') return false;
        const auto size = static_cast<std::size_t>(q - name);
        ++q;
        static constexpr char avg_key[] = ":{\"avg\":";
        if (end_ - q < 8 || std::memcmp(q, avg_key, 8) != 0) return false;
        q += 8;
        if (q < end_ && *q == '[') {
            do {
                ++q;
                if (!quick_number(q)) return false;
            } while (q < end_ && *q == ',');
            if (q == end_ || *q != ']') return false;
            ++q;
        } else if (!quick_number(q)) {
            return false;
        }
        if (q == end_ || *q != '}') return false;
        p_ = q + 1;
        add_name(name, size);
        return true;
    }

    // Past a number without an exponent and of fewer than 309 digits
    // before its point: a finite double.
    bool quick_number(const byte*& q) const {
        if (q < end_ && *q == '-') ++q;
        if (q == end_) return false;
        const byte* const int_first = q;
        if (*q == '0') {
            ++q;
        } else if (*q >= '1' && *q <= '9') {
            do ++q;
            while (q < end_ && digit(*q));
            if (q - int_first > 308) return false;
        } else {
            return false;
        }
        if (q < end_ && *q == '.') {
            ++q;
            if (q == end_ || !digit(*q)) return false;
            do ++q;
            while (q < end_ && digit(*q));
        }
        return q == end_ || (*q != 'e' && *q != 'E');
    }

    // A zero byte and a name, from its text in the payload. The buffer has
    // room for them and eight bytes more: short names go by whole words.
    void add_name(const byte* name, std::size_t size) {
        char* const at = &buffers_.names[names_size_];
        *at = '\0';
        if (size <= 8 && end_ - name >= 8) {
            std::memcpy(at + 1, name, 8);
        } else if (size > 0) {
            std::memcpy(at + 1, name, size);
        }
        names_size_ += size + 1;
    }

    // At a control's object; valid: its last "avg" sums.
    bool control(bool& valid) {
        ++p_;
        space();
        if (peek() == '}') {
            ++p_;
            return true;
        }
        for (;;) {
            Span name;
            if (!string(name) || !colon()) return false;
            if (!(is(name, "avg") ? avg(valid) : skip())) return false;
            space();
            if (peek() == '}') {
                ++p_;
                return true;
            }
            if (peek() != ',') return false;
            ++p_;
            space();
        }
    }

    bool avg(bool& valid) {
        const byte c = peek();
        valid = true;
        if (c == '-' || digit(c)) return number();
        if (c == 'n') return literal("null", 4);
        if (c == '[') return avg_array(valid);
        if (c == '{') return avg_object(valid);
        valid = false;  // a string or a boolean
        return skip();
    }

    bool avg_array(bool& valid) {
        ++p_;
        space();
        if (peek() == ']') {
            ++p_;
            return true;
        }
        for (;;) {
            const byte c = peek();
            if (c == '-' || digit(c)) {
                if (!number()) return false;
            } else {
                valid = false;
                if (!skip()) return false;
            }
            space();
            if (peek() == ']') {
                ++p_;
                return true;
            }
            if (peek() != ',') return false;
            ++p_;
            space();
        }
    }

    // Its members by name, the last of each counting: each must be a number.
    bool avg_object(bool& valid) {
        auto& members = buffers_.avg;
        members.clear();
        ++p_;
        space();
        if (peek() != '}') {
            for (;;) {
                Span name;
                if (!string(name) || !colon()) return false;
                const byte c = peek();
                const bool number_value = c == '-' || digit(c);
                if (!(number_value ? number() : skip())) return false;
                members.push_back({name, number_value});
                space();
                if (peek() == '}') break;
                if (peek() != ',') return false;
                ++p_;
                space();
            }
        }
        ++p_;
        for (std::size_t i = 0; i < members.size() && valid; ++i) {
            if (members[i].number) continue;
            valid = false;
            for (std::size_t j = i + 1; j < members.size() && !valid; ++j)
                valid = same(members[i].key, members[j].key);
        }
        return true;
    }

    template <std::size_t N>
    bool is(const Span& s, const char (&word)[N]) {
        if (!s.escaped) return s.size() == N - 1 && std::memcmp(s.first, word, N - 1) == 0;
        return decoded(s, buffers_.a) == word;
    }

    bool same(const Span& x, const Span& y) {
        if (!x.escaped && !y.escaped)
            return x.size() == y.size() && std::memcmp(x.first, y.first, x.size()) == 0;
        return decoded(x, buffers_.a) == decoded(y, buffers_.b);
    }

    static const std::string& decoded(const Span& s, std::string& out) {
        out.resize(s.size());
        out.resize(static_cast<std::size_t>(decode(s, out.data()) - out.data()));
        return out;
    }

    static bool version_is_current(const Scalar& v) {
        if (v.kind == Kind::yes) return data_version == 1;  // true reads as 1
        if (v.kind != Kind::number) return false;
        if (v.text.size() == 1 && *v.text.first == '0' + data_version) return true;
        const auto n = library_number(v.text);
        return n && checked_integer<int>(*n) == data_version;
    }

    static bool timestamp_fits(const Scalar& v) {
        if (v.kind == Kind::yes || v.kind == Kind::no) return true;
        if (v.kind != Kind::number) return false;
        bool plain = v.text.size() <= 18;  // digits only: below 2^63
        for (const byte* q = v.text.first; plain && q < v.text.last; ++q) plain = digit(*q);
        if (plain) return true;
        const auto n = library_number(v.text);
        return n && checked_integer<std::int64_t>(*n).has_value();
    }

    // A number as the library reads it: an integer, unsigned or floating.
    static std::optional<nlohmann::json> library_number(const Span& text) {
        auto n = nlohmann::json::parse(text.first, text.last, nullptr, false);
        if (!n.is_number()) return std::nullopt;
        return n;
    }

    const byte* p_;
    const byte* const end_;
    Buffers& buffers_;
    std::size_t names_size_ = 0;
};

}  // namespace

bool scan_data_key(const unsigned char* first, const unsigned char* last, std::string& key) {
    thread_local Buffers buffers;
    return Scanner(first, last, buffers).read(key);
}

}  // namespace quorvel
