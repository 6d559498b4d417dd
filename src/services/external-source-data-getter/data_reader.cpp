#include "data_reader.h"

#include <algorithm>

namespace quorvel {

namespace {

// A number as the handler sums it: what get<double>() gives, inline.
double number_of(const nlohmann::json& n) {
    using json = nlohmann::json;
    if (n.is_number_unsigned()) return static_cast<double>(*n.get_ptr<const json::number_unsigned_t*>());
    if (n.is_number_integer()) return static_cast<double>(*n.get_ptr<const json::number_integer_t*>());
    return *n.get_ptr<const json::number_float_t*>();
}

}  // namespace

bool DataReader::read(const unsigned char* first, const unsigned char* last, bool as_document) {
    root_is_object_ = false;
    for (auto& member : top_) member.reset();
    data_shape_ = DataShape::none;
    controls_.clear();
    SaxRouter<DataReader> router(*this);
    if (!router.read(first, last) || !root_is_object_) return false;
    if (data_shape_ == DataShape::object && as_document) {
        // The document keeps the last of repeated names, in name order.
        std::stable_sort(controls_.begin(), controls_.end(),
                         [](const Control& a, const Control& b) { return a.name < b.name; });
        auto kept = controls_.begin();
        for (auto it = controls_.begin(); it != controls_.end(); ++it) {
            const auto next = it + 1;
            if (next != controls_.end() && next->name == it->name) continue;
            if (kept != it) *kept = std::move(*it);
            ++kept;
        }
        controls_.erase(kept, controls_.end());
    }
    return true;
}

void DataReader::key(Frame in, const std::string& k) {
    switch (in) {
        case Frame::root:
            slot_ = k == "version"     ? Slot::version
                    : k == "io_id"     ? Slot::io_id
                    : k == "timestamp" ? Slot::timestamp
                    : k == "data"      ? Slot::data
                                       : Slot::other;
            break;
        case Frame::control:
            avg_key_ = k == "avg";
            break;
        case Frame::data:
        case Frame::avg_object:
            member_key_ = k;
            break;
        default:
            break;
    }
}

void DataReader::close(Frame closing, std::optional<Frame>) {
    if (closing == Frame::avg_object) finish_avg_object();
}

void DataReader::finish_avg_object() {
    Control& control = current();
    control.sum = 0.0;
    control.valid = true;
    for (const auto& member : avg_members_) {
        if (!member.second) {
            control.valid = false;
            return;
        }
        control.sum += *member.second;
    }
}

std::optional<DataReader::Frame> DataReader::value(std::optional<Frame> in, Kind kind, const json& scalar,
                                                   std::string* text) {
    if (!in) {
        root_is_object_ = kind == Kind::object;
        if (root_is_object_) return Frame::root;
        return std::nullopt;  // anything else at the root ends the reading
    }
    const bool structure = kind == Kind::object || kind == Kind::array;
    const bool number = scalar.is_number();
    switch (*in) {
        case Frame::root:
            if (slot_ == Slot::other) break;
            if (slot_ != Slot::data) {
                // Only a top-level member keeps its text; everywhere else a string is a fault.
                top_[static_cast<int>(slot_)] = structure ? json::array() : text ? json(*text) : scalar;
                break;
            }
            controls_.clear();
            data_shape_ = kind == Kind::null || structure
                              ? (kind == Kind::object ? DataShape::object : DataShape::none)
                              : DataShape::invalid;
            if (kind == Kind::object) return Frame::data;
            if (kind == Kind::array) return Frame::data_array;
            break;
        case Frame::data_array:
            data_shape_ = DataShape::invalid;  // iterating a non-empty array asks for keys
            break;
        case Frame::data:
            controls_.push_back(Control{member_key_, 0.0, kind == Kind::null || kind == Kind::object});
            if (kind == Kind::object) {
                avg_key_ = false;
                return Frame::control;
            }
            break;
        case Frame::control:
            if (!avg_key_) break;
            current().sum = 0.0;
            current().valid = kind == Kind::null || number || structure;
            if (number) current().sum += number_of(scalar);
            if (kind == Kind::array) return Frame::avg_array;
            if (kind == Kind::object) {
                avg_members_.clear();
                return Frame::avg_object;
            }
            break;
        case Frame::avg_array:
            if (number) {
                current().sum += number_of(scalar);
            } else {
                current().valid = false;
            }
            break;
        case Frame::avg_object:
            avg_members_[member_key_] = number ? std::optional<double>(number_of(scalar)) : std::nullopt;
            break;
    }
    return std::nullopt;
}

}  // namespace quorvel
