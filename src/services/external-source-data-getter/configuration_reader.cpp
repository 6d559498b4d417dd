#include "configuration_reader.h"

#include "json_numbers.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorvel {

namespace {

using nlohmann::json;
using Kind = json::value_t;

constexpr int supported_version = 2;

// A value of the kind: what the library's accessors raise their type errors on.
json of_kind(Kind kind) {
    switch (kind) {
        case Kind::null:
            return json(nullptr);
        case Kind::boolean:
            return json(false);
        case Kind::number_integer:
            return json(std::int64_t{0});
        case Kind::number_unsigned:
            return json(std::uint64_t{0});
        case Kind::number_float:
            return json(0.0);
        case Kind::string:
            return json("");
        case Kind::array:
            return json::array();
        default:
            return json::object();
    }
}

// The error a step raises, caught to be raised later.
template <class Step>
std::exception_ptr error_of(Step step) {
    try {
        step();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

std::exception_ptr missing(const char* key) {
    return std::make_exception_ptr(
        std::runtime_error(fmt::format("В конфигурации у remote io нет ключа \"{}\"", key)));
}

// A control name, or the kind of the value that stands where one should.
struct Item {
    Kind kind;
    std::string name;
};

// The "types" of a remote io: its names up to the first value that is not
// a string (null included), whose kind is the fault.
struct Types {
    announced_io names;
    std::optional<Kind> fault;
    std::map<std::string, Item> keyed;  // of an object, until it ends

    void add(Kind kind, const std::string& name) {
        if (fault) return;
        if (kind == Kind::string) {
            names.add(name);
        } else {
            fault = kind;
        }
    }
};

struct RemoteIo {
    Kind kind = Kind::object;
    std::optional<Kind> id_kind;
    std::string id;
    std::optional<Types> types;
};

class Reader {
public:
    ConfigurationReading read(const std::vector<unsigned char>& payload) {
        if (!json::sax_parse(payload.begin(), payload.end(), this)) std::rethrow_exception(error_);
        return walk();
    }

    // The SAX interface of the JSON library.
    bool null() { return scalar(Kind::null); }
    bool boolean(bool b) { return scalar(Kind::boolean, json(b)); }
    bool number_integer(json::number_integer_t n) { return scalar(Kind::number_integer, json(n)); }
    bool number_unsigned(json::number_unsigned_t n) { return scalar(Kind::number_unsigned, json(n)); }
    bool number_float(json::number_float_t n, const std::string&) {
        return scalar(Kind::number_float, json(n));
    }
    bool string(std::string& s) { return scalar(Kind::string, json(), &s); }
    bool binary(json::binary_t&) { return scalar(Kind::binary); }
    bool start_object(std::size_t) {
        start(Kind::object);
        return true;
    }
    bool start_array(std::size_t) {
        start(Kind::array);
        return true;
    }
    bool end_object() { return end(); }
    bool end_array() { return end(); }
    bool key(std::string& k);
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& e) {
        error_ = std::make_exception_ptr(e);
        return false;
    }

private:
    // What an open structure is, which decides where its values go.
    enum class Frame { root, ios_array, ios_object, remote_io, types_array, types_object, ignored };
    enum class Slot { other, version, remote_ios, id, types };

    bool scalar(Kind kind, json value = json(), std::string* text = nullptr) {
        place(kind, value, text);
        return true;
    }
    void start(Kind kind) { place(kind, json(), nullptr); }
    void place(Kind kind, const json& value, std::string* text);
    void open(Frame frame) { frames_.push_back(frame); }
    RemoteIo& new_remote_io(Kind kind);
    bool end();
    ConfigurationReading walk();

    std::vector<Frame> frames_;
    std::optional<Kind> root_;
    Slot slot_ = Slot::other;
    std::string key_;  // the last key of an object of remote ios or of types
    std::optional<json> version_;
    std::vector<RemoteIo> ios_;
    std::map<std::string, RemoteIo> keyed_ios_;  // of an object, until it ends
    RemoteIo* current_ = nullptr;
    std::exception_ptr error_;
};

bool Reader::key(std::string& k) {
    switch (frames_.back()) {
        case Frame::root:
            slot_ = k == "version" ? Slot::version : k == "remote_ios" ? Slot::remote_ios : Slot::other;
            break;
        case Frame::remote_io:
            slot_ = k == "id" ? Slot::id : k == "types" ? Slot::types : Slot::other;
            break;
        case Frame::ios_object:
        case Frame::types_object:
            key_ = k;
            break;
        default:
            break;
    }
    return true;
}

RemoteIo& Reader::new_remote_io(Kind kind) {
    RemoteIo io;
    io.kind = kind;
    if (frames_.back() == Frame::ios_object) {
        current_ = &(keyed_ios_[key_] = std::move(io));  // the last of repeated keys counts
    } else {
        ios_.push_back(std::move(io));
        current_ = &ios_.back();
    }
    return *current_;
}

void Reader::place(Kind kind, const json& value, std::string* text) {
    const bool structure = kind == Kind::object || kind == Kind::array;
    auto frame = Frame::ignored;
    if (frames_.empty()) {
        root_ = kind;
        frame = kind == Kind::object ? Frame::root : Frame::ignored;
    } else {
        switch (frames_.back()) {
            case Frame::root:
                if (slot_ == Slot::version) {
                    version_ = structure ? of_kind(kind) : text ? json(*text) : value;
                } else if (slot_ == Slot::remote_ios) {
                    ios_.clear();
                    keyed_ios_.clear();
                    current_ = nullptr;
                    if (kind == Kind::array) {
                        frame = Frame::ios_array;
                    } else if (kind == Kind::object) {
                        frame = Frame::ios_object;
                    } else if (kind != Kind::null) {
                        new_remote_io(kind);  // a single value is walked as itself
                    }
                }
                break;
            case Frame::ios_array:
            case Frame::ios_object:
                new_remote_io(kind);
                if (kind == Kind::object) frame = Frame::remote_io;
                break;
            case Frame::remote_io:
                if (slot_ == Slot::id) {
                    current_->id_kind = kind;
                    current_->id = text ? std::move(*text) : std::string();
                } else if (slot_ == Slot::types) {
                    auto& types = current_->types.emplace();  // the last of repeated keys counts
                    if (kind == Kind::array) {
                        frame = Frame::types_array;
                    } else if (kind == Kind::object) {
                        frame = Frame::types_object;
                    } else if (kind != Kind::null) {  // null: no types at all
                        types.add(kind, text ? *text : std::string());
                    }
                }
                break;
            case Frame::types_array:
                current_->types->add(kind, text ? *text : std::string());
                break;
            case Frame::types_object:
                current_->types->keyed[key_] = {kind, text ? std::move(*text) : std::string()};
                break;
            case Frame::ignored:
                break;
        }
    }
    if (structure) open(frame);
}

bool Reader::end() {
    const Frame closing = frames_.back();
    frames_.pop_back();
    if (closing == Frame::types_object) {
        // Its values in key order, as walking an object gives them.
        auto& types = *current_->types;
        for (const auto& [k, item] : types.keyed) types.add(item.kind, item.name);
        types.keyed.clear();
    } else if (closing == Frame::ios_object) {
        for (auto& [k, io] : keyed_ios_) ios_.push_back(std::move(io));
        keyed_ios_.clear();
        current_ = nullptr;
    }
    return true;
}

ConfigurationReading Reader::walk() {
    ConfigurationReading out;
    if (*root_ != Kind::object) of_kind(*root_).value("version", 0);  // the library's type error
    if (!version_ || checked_integer<int>(*version_) != supported_version) return out;
    for (auto& io : ios_) {
        if (io.kind != Kind::object) {
            out.fault = error_of([&] { static_cast<const json&>(of_kind(io.kind))["id"]; });
            break;
        }
        if (!io.id_kind) {
            out.fault = missing("id");
            break;
        }
        if (*io.id_kind != Kind::string) {
            out.fault = error_of([&] { of_kind(*io.id_kind).get<std::string>(); });
            break;
        }
        announced_io announced;
        if (io.types) announced = std::move(io.types->names);
        announced.id = std::move(io.id);
        announced.names.shrink_to_fit();
        announced.ends.shrink_to_fit();
        out.ios.push_back(std::move(announced));
        out.whole.push_back(false);
        if (!io.types) {
            out.fault = missing("types");
            break;
        }
        if (io.types->fault) {
            out.fault = error_of([&] { of_kind(*io.types->fault).get<std::string>(); });
            break;
        }
        out.whole.back() = true;
    }
    return out;
}

}  // namespace

ConfigurationReading read_configuration(const std::vector<unsigned char>& payload) {
    Reader reader;
    return reader.read(payload);
}

}  // namespace quorvel
