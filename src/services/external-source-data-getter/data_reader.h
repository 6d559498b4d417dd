#pragma once

// Reads a data message in one pass, without building a document: the JSON
// library's SAX events are routed to the few members the handler looks at,
// and every "avg" is summed as it streams by. What it records is what the
// document would have given: the last of repeated keys, controls in key
// order, and each fault kept where the handler would meet it, so that a
// fault of an unknown control or device goes unnoticed as before.
//
// One reader serves one thread; reusing it keeps its buffers.

#include "sax_router.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvel {

class DataReader {
public:
    struct Control {
        std::string name;
        double sum = 0.0;
        bool valid = true;  // false: the handler's sum of "avg" would throw
    };
    enum class DataShape { none, object, invalid };  // invalid: iterating it would throw

    // Whether the payload is JSON with an object at its root. as_document
    // false: the members of "data" as they come, repeated names included.
    bool read(const unsigned char* first, const unsigned char* last, bool as_document = true);

    // Top-level members as scalars (a structure reads as an empty array);
    // nullopt when absent.
    const std::optional<nlohmann::json>& version() const { return top_[0]; }
    const std::optional<nlohmann::json>& io_id() const { return top_[1]; }
    const std::optional<nlohmann::json>& timestamp() const { return top_[2]; }
    DataShape data_shape() const { return data_shape_; }
    // Members of "data" when it is an object: sorted by name, names unique
    // (see read()).
    const std::vector<Control>& controls() const { return controls_; }

private:
    using json = nlohmann::json;
    using Kind = json::value_t;
    // What an open structure is, which decides where its values go.
    enum class Frame : std::uint8_t { root, data, data_array, control, avg_array, avg_object };
    static constexpr std::size_t most_frames = 4;
    enum class Slot { version, io_id, timestamp, data, other };
    friend class SaxRouter<DataReader>;

    std::optional<Frame> value(std::optional<Frame> in, Kind kind, const json& scalar, std::string* text);
    void key(Frame in, const std::string& k);
    void close(Frame closing, std::optional<Frame> in);
    Control& current() { return controls_.back(); }
    void finish_avg_object();

    bool root_is_object_ = false;
    Slot slot_ = Slot::other;  // of the last key of the root
    bool avg_key_ = false;     // the last key of the current control is "avg"
    std::string member_key_;   // the last key of "data" or of an "avg" object
    std::optional<json> top_[3];
    DataShape data_shape_ = DataShape::none;
    std::vector<Control> controls_;
    std::map<std::string, std::optional<double>> avg_members_;  // an "avg" object, in key order
};

}  // namespace quorvel
