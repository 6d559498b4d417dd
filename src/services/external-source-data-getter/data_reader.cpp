#include "data_reader.h"

#include <algorithm>

namespace quorvel {

bool DataReader::read(const unsigned char* first, const unsigned char* last, bool as_document) {
    frames_.clear();
    root_seen_ = false;
    root_is_object_ = false;
    for (auto& member : top_) member.reset();
    data_shape_ = DataShape::none;
    controls_.clear();
    const bool parsed = json::sax_parse(first, last, this);
    if (!parsed || !root_is_object_) return false;
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

bool DataReader::null() {
    value(Kind::null, 0.0, json());
    return true;
}

bool DataReader::scalar(Kind kind, double number, json scalar_value) {
    value(kind, number, scalar_value);
    return true;
}

bool DataReader::string(std::string& s) {
    // Only a top-level member keeps its text; everywhere else a string is a fault.
    const bool kept =
        !frames_.empty() && frames_.back() == Frame::root && slot_ != Slot::data && slot_ != Slot::other;
    value(Kind::other, 0.0, kept ? json(s) : json());
    return true;
}

bool DataReader::start_object(std::size_t) {
    value(Kind::object, 0.0, json());
    return root_is_object_;  // anything else at the root ends the reading
}

bool DataReader::start_array(std::size_t) {
    value(Kind::array, 0.0, json());
    return root_is_object_;
}

bool DataReader::key(std::string& k) {
    switch (frames_.back()) {
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
    return true;
}

bool DataReader::end_object() {
    if (frames_.back() == Frame::avg_object) finish_avg_object();
    frames_.pop_back();
    return true;
}

bool DataReader::end_array() {
    frames_.pop_back();
    return true;
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

void DataReader::value(Kind kind, double number, const json& scalar_value) {
    const bool structure = kind == Kind::object || kind == Kind::array;
    if (!root_seen_) {
        root_seen_ = true;
        root_is_object_ = kind == Kind::object;
        if (root_is_object_) frames_.push_back(Frame::root);
        return;
    }
    Frame next = Frame::ignored;  // the frame a structure opens
    switch (frames_.back()) {
        case Frame::root:
            if (slot_ == Slot::other) break;
            if (slot_ != Slot::data) {
                top_[static_cast<int>(slot_)] = structure ? json::array() : scalar_value;
                break;
            }
            controls_.clear();
            data_shape_ = kind == Kind::null || kind == Kind::object || kind == Kind::array
                              ? (kind == Kind::object ? DataShape::object : DataShape::none)
                              : DataShape::invalid;
            if (kind == Kind::object) next = Frame::data;
            if (kind == Kind::array) next = Frame::data_array;
            break;
        case Frame::data_array:
            data_shape_ = DataShape::invalid;  // iterating a non-empty array asks for keys
            break;
        case Frame::data:
            controls_.push_back(Control{member_key_, 0.0, kind == Kind::null || kind == Kind::object});
            if (kind == Kind::object) {
                next = Frame::control;
                avg_key_ = false;
            }
            break;
        case Frame::control:
            if (!avg_key_) break;
            current().sum = 0.0;
            current().valid = kind == Kind::null || kind == Kind::number || structure;
            if (kind == Kind::number) current().sum += number;
            if (kind == Kind::array) next = Frame::avg_array;
            if (kind == Kind::object) {
                next = Frame::avg_object;
                avg_members_.clear();
            }
            break;
        case Frame::avg_array:
            if (kind == Kind::number) {
                current().sum += number;
            } else {
                current().valid = false;
            }
            break;
        case Frame::avg_object:
            avg_members_[member_key_] = kind == Kind::number ? std::optional<double>(number) : std::nullopt;
            break;
        case Frame::ignored:
            break;
    }
    if (structure) frames_.push_back(next);
}

}  // namespace quorvel
