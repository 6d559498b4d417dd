#include "mqtt-wrapper/outbound.h"

#include "mqtt-wrapper/codec.h"
#include "mqtt-wrapper/secret.h"

#include <utility>

namespace quorvel::mosquitto {

namespace {

constexpr std::size_t kept_buffer_bytes = 256 * 1024;  // a larger write buffer is given back

// Calls f(header, packet) for every whole packet of bytes, which starts at a
// packet boundary; returns where the whole packets end.
template <class F>
std::size_t each_packet(std::string_view bytes, F f) {
    std::size_t at = 0;
    codec::Header h{};
    while (at < bytes.size() && codec::read_header(bytes.substr(at), h) == codec::Framing::complete) {
        const std::size_t end = at + h.header_bytes + h.body_bytes;
        if (end > bytes.size()) break;
        f(h, bytes.substr(at, end - at));
        at = end;
    }
    return at;
}

}  // namespace

Outbound::~Outbound() {
    if (secret_in_sending_) wipe(sending_.data(), sending_.size());
    if (secret_in_priority_) wipe(priority_.data(), priority_.size());
}

void Outbound::written(std::size_t n) {
    sent_ += n;
    if (secret_in_sending_ && sent_ >= sending_.size()) {
        wipe(sending_.data(), sending_.size());
        secret_in_sending_ = false;
    }
}

void Outbound::gate(std::uint16_t id) {
    gated_.push_back({id, false, {}, 0});
}

void Outbound::open_gate(std::uint16_t id) {
    for (auto& g : gated_) {
        if (g.id == id) g.open = true;
    }
    while (!gated_.empty() && gated_.front().open) {
        ready_ += gated_.front().bytes;
        publishes_ += gated_.front().publishes;
        gated_.pop_front();
    }
}

void Outbound::put_first(const std::string& bytes) {
    ready_.insert(0, bytes);
}

std::string_view Outbound::pending(bool stream_open) {
    if (sent_ == sending_.size()) {
        if (sending_.capacity() > kept_buffer_bytes) {
            std::string().swap(sending_);
        } else {
            sending_.clear();
        }
        sent_ = 0;
        sending_.swap(priority_);
        secret_in_sending_ = std::exchange(secret_in_priority_, false);
        // A batch with a password goes alone: appending could move it and
        // leave a copy in the buffer given back.
        if (stream_open && !ready_.empty() && !secret_in_sending_) {
            if (sending_.empty()) {
                sending_.swap(ready_);
            } else {
                sending_ += ready_;
                ready_.clear();
            }
            publishes_ = 0;
        }
    }
    return std::string_view(sending_).substr(sent_);
}

std::size_t Outbound::queued_publishes() const {
    std::size_t n = publishes_;
    for (const auto& g : gated_) n += g.publishes;
    return n;
}

std::size_t Outbound::queued_bytes() const {
    std::size_t n = sending_.size() - sent_ + priority_.size() + ready_.size();
    for (const auto& g : gated_) n += g.bytes.size();
    return n;
}

Outbound::Unsent Outbound::keep_unsent_publishes() {
    Unsent unsent;
    std::string kept;
    kept.reserve(queued_bytes());  // one allocation, however much waits
    auto keep = [&](const codec::Header& h, std::string_view packet) {
        if (h.type != codec::publish) return;
        kept += packet;
        ++unsent.kept;
        if (((h.flags >> 1) & 0x03) != 0) {
            codec::Publish p{};
            if (!codec::read_publish(h, packet.substr(h.header_bytes), p)) unsent.ids.push_back(p.id);
        }
    };
    const std::string_view sending(sending_);
    each_packet(sending, [&](const codec::Header& h, std::string_view packet) {
        const std::size_t at = static_cast<std::size_t>(packet.data() - sending.data());
        if (at >= sent_) {
            keep(h, packet);
        } else if (at + packet.size() > sent_ && h.type == codec::publish && ((h.flags >> 1) & 0x03) == 0) {
            ++unsent.torn;
        }
    });
    each_packet(ready_, keep);
    for (const auto& g : gated_) each_packet(g.bytes, keep);
    if (std::exchange(secret_in_sending_, false)) wipe(sending_.data(), sending_.size());
    if (std::exchange(secret_in_priority_, false)) wipe(priority_.data(), priority_.size());
    sending_.clear();
    sent_ = 0;
    priority_.clear();
    gated_.clear();
    ready_.swap(kept);
    publishes_ = unsent.kept;
    return unsent;
}

}  // namespace quorvel::mosquitto
