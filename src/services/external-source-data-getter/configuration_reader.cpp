#include "configuration_reader.h"

#include "json_numbers.h"
#include "object_members.h"
#include "sax_router.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Where the walk stops at a remote io, if it does.
enum class Fault : std::uint8_t { none, not_object, no_id, id_not_string, no_types, type_not_string };

// Whether the walk gets to announce the remote io.
bool announces(Fault fault) {
    return fault == Fault::none || fault == Fault::no_types || fault == Fault::type_not_string;
}

// What the walk raises at the fault; kind is that of the value at fault.
std::exception_ptr error_for(Fault fault, Kind kind) {
    switch (fault) {
        case Fault::none:
            return nullptr;
        case Fault::not_object:
            return error_of([&] { static_cast<const json&>(of_kind(kind))["id"]; });
        case Fault::no_id:
            return missing("id");
        case Fault::no_types:
            return missing("types");
        default:
            return error_of([&] { of_kind(kind).get<std::string>(); });
    }
}

template <class Reader>
void parse(const std::vector<unsigned char>& payload, Reader& reader) {
    SaxRouter<Reader> router(reader);
    if (!router.read(payload.begin(), payload.end())) std::rethrow_exception(router.error());
}

// What decides whether the document is read at all: the root's kind and its
// "version"; and how often "remote_ios" comes, since the last one counts.
class Survey {
public:
    enum class Frame : std::uint8_t { root };
    static constexpr std::size_t most_frames = 1;

    std::optional<Frame> value(std::optional<Frame> in, Kind kind, const json& scalar, std::string*) {
        if (!in) {
            root = kind;
            return Frame::root;
        }
        if (at_version_) version = scalar.is_null() ? of_kind(kind) : scalar;
        return std::nullopt;
    }
    void key(Frame, const std::string& k) {
        at_version_ = k == "version";
        if (k == "remote_ios") ++remote_ios;
    }
    void close(Frame, std::optional<Frame>) {}

    Kind root = Kind::discarded;
    std::optional<json> version;
    std::size_t remote_ios = 0;

private:
    bool at_version_ = false;
};

// The remote io being read.
struct IoBeingRead {
    std::optional<Kind> id_kind;
    std::string id;
    bool has_types = false;
    std::optional<Kind> type_fault;  // null included
    NameRun names;                   // up to the first type that is not a string

    void start() {
        id_kind.reset();
        id.clear();
        start_types(false);
    }
    void start_types(bool present) {
        has_types = present;
        type_fault.reset();
        names.clear();
    }
    void add_type(Kind kind, std::string_view name) {
        if (type_fault) return;
        if (kind == Kind::string) {
            names.add(name);
        } else {
            type_fault = kind;
        }
    }

    Fault fault(Kind& kind) const {
        if (!id_kind) return Fault::no_id;
        kind = *id_kind;
        if (*id_kind != Kind::string) return Fault::id_not_string;
        if (!has_types) return Fault::no_types;
        if (!type_fault) return Fault::none;
        kind = *type_fault;
        return Fault::type_not_string;
    }
};

// Reads a document of version 2 for what the walk looks at, and walks it as
// it goes: nothing is kept past the walk's fault, and an object's members
// only until it ends. Structures where nothing is looked at are skipped.
class Reader {
public:
    enum class Frame : std::uint8_t { root, ios_array, ios_object, remote_io, types_array, types_object };
    static constexpr std::size_t most_frames = 4;

    Reader(std::size_t payload_size, std::size_t remote_ios)
        : payload_size_(payload_size), remote_ios_left_(remote_ios) {}

    std::optional<Frame> value(std::optional<Frame> in, Kind kind, const json&, std::string* text);
    void key(Frame in, const std::string& k);
    void close(Frame closing, std::optional<Frame> in);

    // The remote ios' names go to one run reserved for the most the payload
    // holds, of which only what is written costs memory: it never grows by
    // copying, which needs the old and the new buffer at once.
    ConfigurationReading take() { return std::move(out_); }

private:
    enum class Slot : std::uint8_t { other, remote_ios, id, types };

    // A remote io of an object, kept after its key: its id, then its names.
    struct Kept {
        std::uint32_t id_size;
        std::uint32_t ends_from;  // its names' ends in kept_ends_
        std::uint32_t ends_to;
    };

    void end_remote_io(Frame in, Fault fault, Kind kind);
    void walk(Fault fault, Kind kind, std::string_view id, const NameRun& names);

    std::size_t payload_size_;
    std::size_t remote_ios_left_;
    Slot slot_ = Slot::other;
    std::string io_key_;
    std::string type_key_;
    IoBeingRead io_;
    ObjectMembers types_{1, payload_size_};  // tag: the value's kind; value: its text's size
    ObjectMembers ios_{2, payload_size_};    // tag: the fault and its kind; value: an index in kept_
    std::vector<Kept> kept_;
    std::vector<std::uint32_t> kept_ends_;
    NameRun kept_names_;    // of the remote io of an object being walked
    bool stopped_ = false;  // the walk met its fault
    ConfigurationReading out_;
};

void Reader::key(Frame in, const std::string& k) {
    switch (in) {
        case Frame::root:
            slot_ = Slot::other;
            if (k == "remote_ios" && --remote_ios_left_ == 0) slot_ = Slot::remote_ios;
            break;
        case Frame::remote_io:
            slot_ = k == "id" ? Slot::id : k == "types" ? Slot::types : Slot::other;
            break;
        case Frame::ios_object:
            io_key_ = k;
            break;
        case Frame::types_object:
            type_key_ = k;
            break;
        default:
            break;
    }
}

std::optional<Reader::Frame> Reader::value(std::optional<Frame> in, Kind kind, const json&,
                                           std::string* text) {
    const std::string_view name = text ? std::string_view(*text) : std::string_view();
    if (!in) return Frame::root;  // an object: the survey saw it
    switch (*in) {
        case Frame::root:
            if (slot_ != Slot::remote_ios) break;
            if (kind == Kind::array) return Frame::ios_array;
            if (kind == Kind::object) return Frame::ios_object;
            if (kind != Kind::null)
                end_remote_io(*in, Fault::not_object, kind);  // a single value is walked as itself
            break;
        case Frame::ios_array:
        case Frame::ios_object:
            if (stopped_) break;
            if (kind == Kind::object) {
                io_.start();
                return Frame::remote_io;
            }
            end_remote_io(*in, Fault::not_object, kind);
            break;
        case Frame::remote_io:
            if (slot_ == Slot::id) {
                io_.id_kind = kind;
                io_.id = text ? std::move(*text) : std::string();
            } else if (slot_ == Slot::types) {  // the last of repeated keys counts
                io_.start_types(true);
                if (kind == Kind::array) return Frame::types_array;
                if (kind == Kind::object) return Frame::types_object;
                if (kind != Kind::null) io_.add_type(kind, name);  // null: no types at all
            }
            break;
        case Frame::types_array:
            io_.add_type(kind, name);
            break;
        case Frame::types_object: {
            const char tag = static_cast<char>(kind);
            types_.add(std::string_view(&tag, 1), type_key_, size32(name.size())) += name;
            break;
        }
    }
    return std::nullopt;
}

void Reader::close(Frame closing, std::optional<Frame> in) {
    if (closing == Frame::remote_io) {
        Kind kind = Kind::object;
        const Fault fault = io_.fault(kind);
        end_remote_io(*in, fault, kind);
    } else if (closing == Frame::types_object) {
        // At once: doubling would need the old and the new buffer beside the members.
        io_.names.reserve(0, types_.sort());
        types_.drain([&](std::string_view tag, std::string_view rest, std::uint32_t size) {
            io_.add_type(static_cast<Kind>(tag[0]), rest.substr(0, size));
            return !io_.type_fault;
        });
    } else if (closing == Frame::ios_object) {
        ios_.drain([&](std::string_view tag, std::string_view rest, std::uint32_t index) {
            const auto fault = static_cast<Fault>(tag[0]);
            std::string_view id;
            kept_names_.clear();
            if (announces(fault)) {
                const Kept& kept = kept_[index];
                id = rest.substr(0, kept.id_size);
                std::uint32_t from = 0;
                for (auto e = kept.ends_from; e < kept.ends_to; ++e) {
                    kept_names_.add(rest.substr(kept.id_size + from, kept_ends_[e] - from));
                    from = kept_ends_[e];
                }
            }
            walk(fault, static_cast<Kind>(tag[1]), id, kept_names_);
            return !stopped_;
        });
    }
}

// Walks the remote io at once, or in an object keeps it until the object ends.
void Reader::end_remote_io(Frame in, Fault fault, Kind kind) {
    if (in != Frame::ios_object) {
        walk(fault, kind, io_.id, io_.names);
        return;
    }
    const char tag[] = {static_cast<char>(fault), static_cast<char>(kind)};
    std::string& text = ios_.add(std::string_view(tag, sizeof tag), io_key_, size32(kept_.size()));
    if (!announces(fault)) return;
    const auto& names = io_.names;
    text += io_.id;
    text += names.text();
    reserve_once(kept_, most_members(payload_size_));
    reserve_once(kept_ends_, most_strings(payload_size_));
    kept_.push_back(
        {size32(io_.id.size()), size32(kept_ends_.size()), size32(kept_ends_.size() + names.count())});
    kept_ends_.insert(kept_ends_.end(), names.ends().begin(), names.ends().end());
}

void Reader::walk(Fault fault, Kind kind, std::string_view id, const NameRun& names) {
    if (announces(fault)) {
        if (out_.ios.empty()) out_.ios.reserve(payload_size_, most_strings(payload_size_));
        out_.ios.push_back(id, names);
        out_.whole.push_back(fault == Fault::none);
    }
    if (fault != Fault::none) {
        out_.fault = error_for(fault, kind);
        stopped_ = true;
    }
}

}  // namespace

ConfigurationReading read_configuration(const std::vector<unsigned char>& payload) {
    Survey survey;
    parse(payload, survey);
    if (survey.root != Kind::object) of_kind(survey.root).value("version", 0);  // the library's type error
    if (!survey.version || checked_integer<int>(*survey.version) != supported_version) return {};
    Reader reader(payload.size(), survey.remote_ios);
    parse(payload, reader);
    return reader.take();
}

}  // namespace quorvel
