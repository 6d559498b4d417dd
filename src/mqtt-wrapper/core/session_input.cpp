// The receiving half of the session: framing, the validity rules for what
// a broker sends, and what each packet does.
#include "mqtt-wrapper/core/session.h"

#include "mqtt-wrapper/core/topic_rules.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace quorvel::mosquitto {

namespace {

constexpr std::size_t read_chunk_bytes = 64 * 1024;
constexpr std::size_t kept_input_bytes = 256 * 1024;  // a larger input buffer is given back
constexpr unsigned char suback_failure = 0x80;

const char* type_name(codec::Type type) {
    static const char* const names[] = {"reserved type 0", "CONNECT",  "CONNACK",     "PUBLISH",
                                        "PUBACK",          "PUBREC",   "PUBREL",      "PUBCOMP",
                                        "SUBSCRIBE",       "SUBACK",   "UNSUBSCRIBE", "UNSUBACK",
                                        "PINGREQ",         "PINGRESP", "DISCONNECT",  "reserved type 15"};
    return names[type & 0x0F];
}

const char* connack_text(int code) {
    switch (code) {
        case 1:
            return "unacceptable protocol version";
        case 2:
            return "client identifier rejected";
        case 3:
            return "server unavailable";
        case 4:
            return "bad user name or password";
        default:
            return "not authorised";
    }
}

}  // namespace

class Session::Input {
public:
    std::string_view view() const { return {data_.get(), size_}; }
    void clear() { size_ = 0; }
    char* room(std::size_t n) {
        // A large packet gets the room it takes, not twice what came before it.
        if (capacity_ - size_ < n) resize(std::max(wanted > capacity_ ? wanted : capacity_ * 2, size_ + n));
        return data_.get() + size_;
    }
    void grow(std::size_t n) { size_ += std::min(n, capacity_ - size_); }
    void consume(std::size_t n) {
        size_ -= n;
        if (size_ > 0) std::memmove(data_.get(), data_.get() + n, size_);
        if (capacity_ > kept_input_bytes && size_ < read_chunk_bytes) resize(read_chunk_bytes);
    }

    std::size_t skipping = 0;  // bytes left of an oversized PUBLISH
    std::size_t wanted = 0;    // the length of the packet begun, once its header is in

private:
    void resize(std::size_t capacity) {
        std::unique_ptr<char[]> data(new char[capacity]);
        if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
        data_ = std::move(data);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// A broken rule of what a server may send: the text names it.
void Session::violated(std::string_view what) {
    close(CloseCode::protocol_violation, fmt::format("protocol violation: {}", what));
}

Session::Session(SessionSettings settings) : settings_(std::move(settings)), in_(std::make_unique<Input>()) {}

Session::~Session() = default;

// After DISCONNECT nothing more may be sent: acknowledgements are left out.
void Session::acknowledge(codec::Type type, std::uint16_t id) {
    if (!disconnecting_) out_.priority().ack(type, id);
}

void Session::reset_input() {
    in_->clear();
    in_->skipping = 0;
    waiting_for_room_ = false;
}

void Session::receive(std::string_view bytes, steady_time now) {
    if (!bytes.empty()) std::memcpy(input_room(bytes.size()), bytes.data(), bytes.size());
    input_added(bytes.size(), now);
}

char* Session::input_room(std::size_t n) {
    return in_->room(n);
}

void Session::input_added(std::size_t n, steady_time now) {
    in_->grow(n);
    if (n > 0) last_input_ = now;
    parse(now);
}

void Session::decode(steady_time now) {
    parse(now);
}

std::size_t Session::input_pending() const {
    return in_->view().size();
}

// Whether a message of this many bytes of topic and payload may be handed
// out now, beside the ones handed out since the room was set.
bool Session::room_for(std::size_t bytes) const {
    if (messages_ >= room_.messages) return false;
    if (!room_.holding && messages_ == 0) return true;  // one message always fits
    return messages_bytes_ + bytes <= room_.bytes;
}

void Session::parse(steady_time now) {
    input_at_ = now;
    waiting_for_room_ = false;
    if (state_ != State::connecting && state_ != State::connected) {
        in_->clear();
        return;
    }
    const auto input = in_->view();
    std::size_t at = 0;
    in_->wanted = 0;
    while (at < input.size() && (state_ == State::connecting || state_ == State::connected)) {
        if (in_->skipping > 0) {
            const auto n = std::min(in_->skipping, input.size() - at);
            in_->skipping -= n;
            at += n;
            continue;
        }
        const auto type = static_cast<codec::Type>(static_cast<unsigned char>(input[at]) >> 4);
        // Before CONNACK only CONNACK may come: the first byte tells.
        if (state_ == State::connecting && type != codec::connack) {
            violated(fmt::format("{} before CONNACK", type_name(type)));
            break;
        }
        codec::Header h{};
        const auto framing = codec::read_header(input.substr(at), h);
        if (framing == codec::Framing::malformed) {
            const bool reserved = type == 0 || type == 15;
            violated(reserved ? "a reserved packet type" : "remaining length over four bytes");
            break;
        }
        if (framing == codec::Framing::incomplete) break;
        if (const char* problem = codec::server_header_problem(h)) {
            violated(fmt::format("{} ({}, first byte 0x{:02X}, remaining length {})", type_name(h.type),
                                 problem, (h.type << 4) | h.flags, h.body_bytes));
            break;
        }
        if (h.body_bytes > settings_.max_incoming_bytes) {  // only PUBLISH can be this long
            // Skipped as it streams by, once its topic (for the record and
            // for a larger limit) is in; above QoS 0 it is still acknowledged,
            // or the broker's window of messages in flight would fill: the id
            // follows the topic.
            const auto body = input.substr(at + h.header_bytes);
            if (body.size() < 2) break;
            const std::size_t topic_end = 2 + std::size_t{codec::read_u16(body)};
            const int qos = (h.flags >> 1) & 0x03;
            if (topic_end + (qos > 0 ? 2 : 0) > h.body_bytes) {
                violated("PUBLISH too short");
                break;
            }
            if (body.size() < topic_end + (qos > 0 ? 2 : 0)) break;
            const auto limit = limit_for(body.substr(2, topic_end - 2));
            if (h.body_bytes <= limit) {
                if (input.size() - at < h.header_bytes + h.body_bytes) {
                    in_->wanted = h.header_bytes + h.body_bytes;
                    break;
                }
                if (!room_for(h.body_bytes)) {
                    waiting_for_room_ = true;
                    waiting_bytes_ = h.body_bytes;
                    break;
                }
                handle(h, input.substr(at + h.header_bytes, h.body_bytes));
                at += h.header_bytes + h.body_bytes;
                continue;
            }
            if (qos > 0) {
                const std::uint16_t id = codec::read_u16(body.substr(topic_end));
                if (id == 0) {
                    violated("PUBLISH with packet id 0");
                    break;
                }
                acknowledge(qos == 1 ? codec::puback : codec::pubrec, id);
            }
            events_.emplace_back(
                Notice{fmt::format("Skipped a message of {} bytes on '{}': the limit is {}", h.body_bytes,
                                   shown_topic(body.substr(2, topic_end - 2)), limit)});
            at += h.header_bytes;
            in_->skipping = h.body_bytes;
            continue;
        }
        if (input.size() - at < h.header_bytes + h.body_bytes) {
            in_->wanted = h.header_bytes + h.body_bytes;
            break;
        }
        if (h.type == codec::publish && !room_for(h.body_bytes)) {
            waiting_for_room_ = true;
            waiting_bytes_ = h.body_bytes;
            break;
        }
        handle(h, input.substr(at + h.header_bytes, h.body_bytes));
        at += h.header_bytes + h.body_bytes;
    }
    if (state_ == State::closed) {
        in_->clear();
    } else {
        in_->consume(at);
    }
}

std::size_t Session::limit_for(std::string_view topic) const {
    std::size_t limit = settings_.max_incoming_bytes;
    for (const auto& [filter, bytes] : settings_.larger_limits) {
        if (topic_matches(filter, topic)) limit = std::max(limit, bytes);
    }
    return limit;
}

void Session::handle(const codec::Header& h, std::string_view body) {
    if (h.type == codec::connack) return handle_connack(body);
    if (state_ != State::connected) return;  // not reached: the header check came first
    served_ = true;
    if (h.type == codec::publish) return handle_publish(h, body);
    if (h.type == codec::pingresp) {
        ping_outstanding_ = false;
        return;
    }
    const auto id = codec::read_u16(body);
    if (id == 0) return violated(fmt::format("{} with packet id 0", type_name(h.type)));
    switch (h.type) {
        case codec::puback:
        case codec::pubcomp:
            return released(id);
        case codec::pubrec:
            acknowledge(codec::pubrel, id);
            return;
        case codec::pubrel:
            qos2_received_.reset(id);
            acknowledge(codec::pubcomp, id);
            return;
        case codec::suback: {
            const auto code = static_cast<unsigned char>(body[2]);
            if (code > 2 && code != suback_failure) {
                return violated(fmt::format("SUBACK with return code 0x{:02X}", code));
            }
            return acknowledged(id, code);
        }
        default:  // UNSUBACK
            return acknowledged(id, -1);
    }
}

void Session::handle_connack(std::string_view body) {
    if (state_ == State::connected) return violated("a second CONNACK");
    const auto flags = static_cast<unsigned char>(body[0]);
    const auto code = static_cast<unsigned char>(body[1]);
    if ((flags & 0xFE) != 0) return violated("CONNACK with reserved flag bits set");
    if (code > 5) return violated(fmt::format("CONNACK with return code {}", code));
    if (code == 0 && clean_session_ && (flags & 0x01) != 0) {
        return violated("CONNACK with session present on a clean session");
    }
    if (code != 0) {
        events_.emplace_back(Refused{code});
        return close(CloseCode::refused, fmt::format("refused ({})", connack_text(code)));
    }
    state_ = State::connected;
    session_present_ = (flags & 0x01) != 0;
    if (!session_present_) qos2_received_.reset();  // a broker without the session starts packet ids afresh
    events_.emplace_back(Connected{session_present_});
    replay();
}

void Session::handle_publish(const codec::Header& h, std::string_view body) {
    codec::Publish p{};
    if (const char* problem = codec::read_publish(h, body, p)) {
        return violated(problem);
    }
    if (p.qos == 1) acknowledge(codec::puback, p.id);
    if (p.qos == 2) {
        acknowledge(codec::pubrec, p.id);
        if (qos2_received_.test(p.id)) return;  // a repeat before PUBREL: delivered already
        qos2_received_.set(p.id);
    }
    // A broker that rewrites topics (one mapping '*' to '+') breaks the
    // rule for one message: closing would only loop on the next.
    if (const char* problem = received_topic_problem(p.topic)) {
        return dropped(invalid_, p.topic, p.payload.size(), problem);
    }
    try {
        MqttMessage m;
        m.topic.assign(p.topic);
        // A broker forwards only what a subscription matches; anything else
        // would sit in the hold queue, where no Receive asks for it, and push
        // out what one waits for.
        if (!subscribed(m.topic))
            return dropped(unmatched_, p.topic, p.payload.size(), "no subscription matches it");
        m.payload.assign(p.payload.begin(), p.payload.end());
        const std::size_t size = m.topic.size() + m.payload.size();
        events_.emplace_back(std::move(m));
        ++messages_;
        messages_bytes_ += size;
    } catch (const std::bad_alloc&) {
        events_.emplace_back(Notice{fmt::format("Out of memory: dropped a message of {} bytes on '{}'",
                                                p.payload.size(), shown_topic(p.topic))});
    }
}

void Session::dropped(Drops& drops, std::string_view topic, std::size_t bytes, std::string_view why) {
    drops.last = fmt::format("{} bytes on '{}': {}", bytes, shown_topic(topic), why);
    ++drops.untold;
    tell_drops(input_at_);
}

void Session::tell_drops(steady_time now) {
    for (Drops* d : {&unmatched_, &invalid_}) {
        if (d->untold == 0 || (d->told != steady_time{} && now - d->told < std::chrono::minutes(1))) continue;
        events_.emplace_back(Notice{d->untold == 1 ? fmt::format("Dropped a message of {}", d->last)
                                                   : fmt::format("Dropped {} messages {} in the last minute, "
                                                                 "the last of {}",
                                                                 d->untold, d->kind, d->last)});
        d->untold = 0;
        d->told = now;
    }
}

bool Session::subscribed(const std::string& topic) const {
    if (exact_at(topic) < subscriptions_.size()) return true;
    if (std::find(unsubscribing_.begin(), unsubscribing_.end(), topic) != unsubscribing_.end()) return true;
    return std::any_of(wildcard_filters_.begin(), wildcard_filters_.end(),
                       [&](const std::string& f) { return topic_matches(f, topic); });
}

// The subscription to exactly this filter (no wildcard), or size() if none.
std::size_t Session::exact_at(std::string_view filter) const {
    const auto at =
        std::lower_bound(exact_subscribed_.begin(), exact_subscribed_.end(), filter,
                         [&](std::uint32_t i, std::string_view f) { return subscriptions_[i].filter < f; });
    return at != exact_subscribed_.end() && subscriptions_[*at].filter == filter ? *at
                                                                                 : subscriptions_.size();
}

// Which filters a received message may match: the subscriptions, an index
// of 4 bytes each for the exact ones, and filters unsubscribed whose
// UNSUBACK is still to come.
void Session::index_filter(std::size_t subscription) {
    const std::string& f = subscriptions_[subscription].filter;
    if (f.find_first_of("+#") == std::string::npos) {
        const auto at = std::lower_bound(
            exact_subscribed_.begin(), exact_subscribed_.end(), f,
            [&](std::uint32_t i, const std::string& g) { return subscriptions_[i].filter < g; });
        exact_subscribed_.insert(at, static_cast<std::uint32_t>(subscription));
    } else if (std::find(wildcard_filters_.begin(), wildcard_filters_.end(), f) == wildcard_filters_.end()) {
        wildcard_filters_.push_back(f);
    }
}

void Session::index_filters() {
    exact_subscribed_.clear();
    unsubscribing_.clear();
    wildcard_filters_.clear();
    for (std::size_t i = 0; i < subscriptions_.size(); ++i) {
        const std::string& f = subscriptions_[i].filter;
        if (f.find_first_of("+#") == std::string::npos) {
            exact_subscribed_.push_back(static_cast<std::uint32_t>(i));
        } else if (std::find(wildcard_filters_.begin(), wildcard_filters_.end(), f) ==
                   wildcard_filters_.end()) {
            wildcard_filters_.push_back(f);
        }
    }
    std::sort(exact_subscribed_.begin(), exact_subscribed_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return subscriptions_[a].filter < subscriptions_[b].filter;
    });
    for (const auto& p : pending_) {
        if (p.subscribe) continue;
        if (p.filter.find_first_of("+#") == std::string::npos) {
            unsubscribing_.push_back(p.filter);
        } else if (std::find(wildcard_filters_.begin(), wildcard_filters_.end(), p.filter) ==
                   wildcard_filters_.end()) {
            wildcard_filters_.push_back(p.filter);
        }
    }
}

void Session::released(std::uint16_t id) {
    if (!publish_ids_.test(id)) return;  // not ours, or acknowledged already
    publish_ids_.reset(id);
    ids_in_use_.reset(id);
}

void Session::acknowledged(std::uint16_t id, int granted) {
    const auto it =
        std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.id == id; });
    if (it == pending_.end()) return;
    if (it->subscribe != (granted >= 0)) {
        return violated(fmt::format("{} for packet id {}", granted >= 0 ? "SUBACK" : "UNSUBACK", id));
    }
    if (granted == suback_failure) {
        events_.emplace_back(Completion{nullptr, it->on_failed, id, CompletionCode::refused_by_broker,
                                        "refused by the broker"});
    } else if (it->subscribe) {
        // Confirmed only by the SUBACK of its last SUBSCRIBE: an earlier one
        // may carry another QoS.
        const bool later = std::any_of(pending_.begin(), pending_.end(), [&](const Pending& p) {
            return p.subscribe && p.id != id && p.filter == it->filter;
        });
        for (auto& s : subscriptions_) {
            if (s.filter == it->filter && !later) s.confirmed = true;
        }
        events_.emplace_back(Completion{it->on_done, nullptr, id, static_cast<CompletionCode>(granted), {}});
    } else if (it->gated) {
        out_.open_gate(id);
    }
    ids_in_use_.reset(id);
    const bool unsubscribed = !it->subscribe;
    pending_.erase(it);
    if (pending_.empty() && pending_.capacity() > 64)
        std::vector<Pending>().swap(pending_);  // after a replay
    if (unsubscribed) index_filters();
}

}  // namespace quorvel::mosquitto
