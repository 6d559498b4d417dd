#include "mqtt-wrapper/core/outbound.h"

#include "mqtt-wrapper/core/secret.h"

#include <utility>

namespace quorvel::mosquitto {

namespace {

constexpr std::size_t kept_buffer_bytes = 256 * 1024;  // a larger write buffer is given back

}  // namespace

void Outbound::Packets::connect(std::string_view client_id, bool clean_session, std::uint16_t keep_alive_s,
                                const codec::Credentials& credentials) {
    const auto from = bytes_.size();
    codec::put_connect(bytes_, client_id, clean_session, keep_alive_s, credentials);
    added(codec::connect, 0, 0, from);
}

void Outbound::Packets::subscribe(std::uint16_t id, std::string_view filter, int qos) {
    const auto from = bytes_.size();
    codec::put_subscribe(bytes_, id, filter, qos);
    added(codec::subscribe, qos, id, from);
}

void Outbound::Packets::unsubscribe(std::uint16_t id, std::string_view filter) {
    const auto from = bytes_.size();
    codec::put_unsubscribe(bytes_, id, filter);
    added(codec::unsubscribe, 0, id, from);
}

void Outbound::Packets::ack(codec::Type type, std::uint16_t id) {
    const auto from = bytes_.size();
    codec::put_ack(bytes_, type, id);
    added(type, 0, id, from);
}

void Outbound::Packets::bare(codec::Type type) {
    const auto from = bytes_.size();
    codec::put_bare(bytes_, type);
    added(type, 0, 0, from);
}

void Outbound::Packets::append(const Packets& other) {
    bytes_ += other.bytes_;
    packets_.insert(packets_.end(), other.packets_.begin(), other.packets_.end());
    publishes_ += other.publishes_;
}

void Outbound::Packets::prepend(const Packets& other) {
    bytes_.insert(0, other.bytes_);
    packets_.insert(packets_.begin(), other.packets_.begin(), other.packets_.end());
    publishes_ += other.publishes_;
}

void Outbound::Packets::swap(Packets& other) noexcept {
    bytes_.swap(other.bytes_);
    packets_.swap(other.packets_);
    std::swap(publishes_, other.publishes_);
}

void Outbound::Packets::clear() {
    bytes_.clear();
    packets_.clear();
    publishes_ = 0;
}

void Outbound::Packets::clear_and_trim() {
    if (bytes_.capacity() > kept_buffer_bytes) {
        std::string().swap(bytes_);
        std::vector<Packet>().swap(packets_);
    }
    clear();
}

void Outbound::Packets::wipe() {
    mosquitto::wipe(bytes_.data(), bytes_.size());
}

Outbound::~Outbound() {
    if (secret_in_sending_) sending_.wipe();
    if (secret_in_priority_) priority_.wipe();
}

void Outbound::written(std::size_t n) {
    sent_ += n;
    if (secret_in_sending_ && sent_ >= sending_.size()) {
        sending_.wipe();
        secret_in_sending_ = false;
    }
}

void Outbound::gate(std::uint16_t id) {
    gated_.push_back({id, false, {}});
}

void Outbound::open_gate(std::uint16_t id) {
    for (auto& g : gated_) {
        if (g.id == id) g.open = true;
    }
    while (!gated_.empty() && gated_.front().open) {
        ready_.append(gated_.front().packets);
        gated_.pop_front();
    }
}

void Outbound::put_first(const Packets& packets) {
    ready_.prepend(packets);
}

std::string_view Outbound::pending(bool stream_open) {
    if (sent_ == sending_.size()) {
        sending_.clear_and_trim();
        sent_ = 0;
        sending_.swap(priority_);
        lead_ = sending_.size();
        secret_in_sending_ = std::exchange(secret_in_priority_, false);
        // A batch with a password goes alone: appending could move it and
        // leave a copy in the buffer given back.
        if (stream_open && !ready_.empty() && !secret_in_sending_) {
            if (sending_.empty()) {
                sending_.swap(ready_);
            } else {
                sending_.append(ready_);
            }
            ready_.clear();
        }
    }
    return std::string_view(sending_.bytes_).substr(sent_);
}

std::size_t Outbound::queued_publishes() const {
    std::size_t n = ready_.publishes_;
    for (const auto& g : gated_) n += g.packets.publishes_;
    return n;
}

std::size_t Outbound::queued_bytes() const {
    std::size_t n = sending_.size() - sent_ + priority_.size() + ready_.size();
    for (const auto& g : gated_) n += g.packets.size();
    return n;
}

Outbound::Unsent Outbound::keep_unsent_publishes() {
    Unsent unsent;
    Packets kept;
    kept.bytes_.reserve(queued_bytes());  // one allocation, however much waits
    // Every PUBLISH of from that starts at or after written bytes.
    auto keep = [&](const Packets& from, std::size_t written) {
        std::size_t at = 0;
        for (const auto& p : from.packets_) {
            const std::size_t end = at + p.bytes;
            if (p.type == codec::publish) {
                if (at >= written) {
                    kept.bytes_.append(from.bytes_, at, p.bytes);
                    kept.packets_.push_back(p);
                    ++kept.publishes_;
                    if (p.qos > 0) unsent.ids.push_back(p.id);
                } else if (end > written && p.qos == 0) {
                    ++unsent.torn;
                }
            }
            at = end;
        }
    };
    keep(sending_, sent_);
    keep(ready_, 0);
    for (const auto& g : gated_) keep(g.packets, 0);
    unsent.kept = kept.publishes_;
    if (std::exchange(secret_in_sending_, false)) sending_.wipe();
    if (std::exchange(secret_in_priority_, false)) priority_.wipe();
    sending_.clear();
    sent_ = 0;
    lead_ = 0;
    priority_.clear();
    gated_.clear();
    ready_.swap(kept);
    return unsent;
}

}  // namespace quorvel::mosquitto
