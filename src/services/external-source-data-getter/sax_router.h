#pragma once

// The JSON library's SAX events routed to a reader by the frame they come
// in, a frame being what the reader made of an open structure. The reader
// declares `Frame` and `most_frames` (how many are open at most) and takes:
//   std::optional<Frame> value(std::optional<Frame> in, Kind kind,
//                              const json& scalar, std::string* text);
//     a value in its frame (none: the root); scalar holds a boolean or a
//     number, text a string's text, which the reader may take. For a
//     structure it returns the frame it opens, or none to skip the
//     structure with all it holds.
//   void key(Frame in, const std::string& key);
//   void close(Frame closing, std::optional<Frame> in);
// A structure at the root that opens no frame ends the reading.

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace quorvel {

template <class Reader>
class SaxRouter {
public:
    using json = nlohmann::json;
    using Kind = json::value_t;
    using Frame = typename Reader::Frame;

    explicit SaxRouter(Reader& reader) : reader_(reader) {}

    // Whether [first, last) is one JSON value, read to its end. If not,
    // error() is the library's error for it, or null where the reading ended.
    template <class Iterator>
    bool read(Iterator first, Iterator last) {
        return json::sax_parse(first, last, this);
    }
    std::exception_ptr error() const { return error_; }

    bool null() { return value(Kind::null, null_); }
    bool boolean(bool b) { return value(Kind::boolean, json(b)); }
    bool number_integer(json::number_integer_t n) { return value(Kind::number_integer, json(n)); }
    bool number_unsigned(json::number_unsigned_t n) { return value(Kind::number_unsigned, json(n)); }
    bool number_float(json::number_float_t n, const std::string&) {
        return value(Kind::number_float, json(n));
    }
    bool string(std::string& s) { return value(Kind::string, null_, &s); }
    bool binary(json::binary_t&) { return value(Kind::binary, null_); }
    bool start_object(std::size_t) { return open(Kind::object); }
    bool start_array(std::size_t) { return open(Kind::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(std::string& k) {
        if (skipped_ == 0) reader_.key(frames_[depth_ - 1], k);
        return true;
    }
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& e) {
        error_ = std::make_exception_ptr(e);
        return false;
    }

private:
    std::optional<Frame> in() const {
        if (depth_ == 0) return std::nullopt;
        return frames_[depth_ - 1];
    }
    bool value(Kind kind, const json& scalar, std::string* text = nullptr) {
        if (skipped_ == 0) reader_.value(in(), kind, scalar, text);
        return true;
    }
    // open and close stay small enough for the parser's loop to inline
    // them: most structures of a large document are skipped ones.
    bool open(Kind kind) {
        if (skipped_ == 0) return enter(kind);
        ++skipped_;
        return true;
    }
    bool enter(Kind kind) {
        const std::optional<Frame> frame = reader_.value(in(), kind, null_, nullptr);
        if (!frame) {
            ++skipped_;
            return depth_ > 0;
        }
        if (depth_ == frames_.size()) throw std::logic_error("a reader opened more frames than it declares");
        frames_[depth_++] = *frame;
        return true;
    }
    bool close() {
        if (skipped_ == 0) return leave();
        --skipped_;
        return true;
    }
    bool leave() {
        const Frame closing = frames_[--depth_];
        reader_.close(closing, in());
        return true;
    }

    Reader& reader_;
    const json null_;  // the scalar of a null, a string or a structure, made once
    std::array<Frame, Reader::most_frames> frames_{};
    std::size_t depth_ = 0;
    std::size_t skipped_ = 0;  // how deep within a skipped structure
    std::exception_ptr error_;
};

}  // namespace quorvel
