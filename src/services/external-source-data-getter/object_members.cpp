#include "object_members.h"

#include <algorithm>

namespace quorvel {

std::string& ObjectMembers::add(std::string_view tag, std::string_view key, std::uint32_t value) {
    const std::size_t most = most_members(payload_size_);
    reserve_once(members_, most);
    reserve_once(text_, tag_size_ * most + payload_size_);
    if (members_.size() == compact_at_) compact();
    sorted_ = false;
    members_.push_back({size32(text_.size()), size32(key.size()), value});
    text_ += tag;
    text_ += key;
    return text_;
}

std::size_t ObjectMembers::sort() {
    if (!sorted_) compact();
    return members_.size();
}

// Sorts the members by key and keeps the last of each.
void ObjectMembers::compact() {
    const std::string_view text(text_);
    const auto key = [&](const Member& m) { return text.substr(m.at + tag_size_, m.key_size); };
    // Where a member starts orders repeated keys as they came.
    std::sort(members_.begin(), members_.end(), [&](const Member& a, const Member& b) {
        const int order = key(a).compare(key(b));
        return order < 0 || (order == 0 && a.at < b.at);
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        if (i + 1 < members_.size() && key(members_[i + 1]) == key(members_[i])) continue;
        members_[kept++] = members_[i];
    }
    members_.resize(kept);
    compact_at_ = std::max(2 * kept, first_compaction);
    sorted_ = true;
}

}  // namespace quorvel
