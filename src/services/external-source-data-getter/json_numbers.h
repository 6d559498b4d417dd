#pragma once

// The JSON library's integer conversions, without their silent wrap-around:
// a number that does not fit the target type gives no value. Booleans are 0
// or 1 and floating numbers lose their fraction, as in the library, whatever
// the width of the target type; other JSON types raise the library's type error.

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

namespace quorvel {

template <class T>
std::optional<T> checked_integer(const nlohmann::json& v) {
    static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
    using limits = std::numeric_limits<T>;
    switch (v.type()) {
        case nlohmann::json::value_t::boolean:
            return static_cast<T>(v.get<bool>() ? 1 : 0);
        case nlohmann::json::value_t::number_integer: {
            const auto n = v.get<nlohmann::json::number_integer_t>();
            if (n < limits::min() || n > limits::max()) return std::nullopt;
            return static_cast<T>(n);
        }
        case nlohmann::json::value_t::number_unsigned: {
            const auto n = v.get<nlohmann::json::number_unsigned_t>();
            if (n > static_cast<std::make_unsigned_t<T>>(limits::max())) return std::nullopt;
            return static_cast<T>(n);
        }
        case nlohmann::json::value_t::number_float: {
            const double d = std::trunc(v.get<double>());
            // min is -2^(N-1), exactly representable; max + 1 is its negation.
            const double low = static_cast<double>(limits::min());
            if (!(d >= low && d < -low)) return std::nullopt;
            return static_cast<T>(d);
        }
        default:
            return v.get<T>();  // the library's type error
    }
}

// Whether "version" reads as wanted with value("version", 0) as an int: a
// missing member is 0, a root that is not an object raises type error 306,
// and a number that does not fit an int is no version at all.
inline bool version_is(const nlohmann::json& document, int wanted) {
    if (!document.is_object()) return document.value("version", 0) == wanted;
    const auto it = document.find("version");
    if (it == document.end()) return wanted == 0;
    return checked_integer<int>(*it) == wanted;
}

}  // namespace quorvel
