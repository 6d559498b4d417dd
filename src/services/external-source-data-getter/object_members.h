#pragma once

// The members of a JSON object read as it streams by, kept until it ends to
// be visited in key order, the last of repeated keys counting, as a document
// keeps them: fixed records over one text instead of a node each, so that
// memory follows the payload. And what the readers of a payload of bounded
// size reserve their buffers by.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

inline std::uint32_t size32(std::size_t n) {
    return static_cast<std::uint32_t>(n);  // the payload is far below 4 GiB
}

// What a payload of n bytes can hold at most: members of one object (each at
// least `"":0,`) and strings in one array (`"",`).
inline std::size_t most_members(std::size_t n) {
    return n / 5 + 1;
}
inline std::size_t most_strings(std::size_t n) {
    return n / 3 + 1;
}

// A buffer reserved once for the most it can hold costs only the pages it
// writes to, and never grows by copying, which needs the old and the new
// buffer at once.
template <class Buffer>
void reserve_once(Buffer& buffer, std::size_t most) {
    if (buffer.capacity() < most) buffer.reserve(most);
}

// A member is a fixed record; its tag (what its owner keeps of the value),
// its key and its value's text follow one another in one text, the tag
// first, so that no two members start at the same place. Repeated keys are
// dropped as the records double, so that they cost no more than their text.
class ObjectMembers {
public:
    ObjectMembers(std::size_t tag_size, std::size_t payload_size)
        : tag_size_(tag_size), payload_size_(payload_size) {}

    // Returns the text, for the value's text to follow.
    std::string& add(std::string_view tag, std::string_view key, std::uint32_t value);

    // How many members drain would visit at most.
    std::size_t sort();

    // Visits each key's last member in key order, with its tag, the text
    // from its value on and its value, until visit returns false; then
    // forgets them all.
    template <class Visit>
    void drain(Visit visit) {
        sort();
        const std::string_view text(text_);
        for (const Member& m : members_) {
            if (!visit(text.substr(m.at, tag_size_), text.substr(m.at + tag_size_ + m.key_size), m.value))
                break;
        }
        text_.clear();
        members_.clear();
        compact_at_ = first_compaction;
    }

private:
    struct Member {
        std::uint32_t at;
        std::uint32_t key_size;
        std::uint32_t value;
    };
    static constexpr std::size_t first_compaction = 64;

    void compact();

    std::size_t tag_size_;
    std::size_t payload_size_;
    std::size_t compact_at_ = first_compaction;
    bool sorted_ = true;
    std::string text_;
    std::vector<Member> members_;
};

}  // namespace quorvel
