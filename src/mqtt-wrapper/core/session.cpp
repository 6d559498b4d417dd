#include "mqtt-wrapper/core/session.h"

#include "mqtt-wrapper/core/topic_rules.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace quorvel::mosquitto {

namespace {

// A PINGREQ goes after three quarters of the keep-alive without output, and
// its PINGRESP is waited for as long again: a dead broker is noticed within
// 1.5 keep-alives, when the broker gives up on a silent client.
std::chrono::milliseconds ping_after(std::chrono::seconds keep_alive) {
    return std::chrono::milliseconds(keep_alive) * 3 / 4;
}

}  // namespace

void Session::open(bool clean_session, steady_time now) {
    clean_session_ = clean_session;
    state_ = State::connecting;
    served_ = false;
    session_present_ = false;
    opened_ = now;
    last_output_ = now;
    blocked_ = false;
    ping_outstanding_ = false;
    written_ = left_ = ping_end_ = 0;
    last_drain_ = last_sample_ = last_input_ = now;
    reset_input();
    codec::Credentials credentials;
    credentials.user = settings_.user;
    credentials.password = settings_.password.view();
    credentials.has_password = settings_.has_password;
    out_.priority().connect(settings_.client_id, clean_session,
                            static_cast<std::uint16_t>(settings_.keep_alive.count()), credentials);
    if (settings_.has_password) out_.holds_secret();  // the CONNECT's bytes are wiped once written
}

std::size_t Session::lost() {
    // The unsent keep their ids; every other unacknowledged publication is
    // lost. A broker may have acknowledged an unsent one already: only ids
    // still unacknowledged count. Counted in place, as a set of 65,536 bits
    // is 8 KiB, too much for temporaries on a small target's stack.
    const auto unsent = out_.keep_unsent_publishes();
    for (const auto id : unsent.ids) publish_ids_.reset(id);
    const std::size_t lost_publications = publish_ids_.count() + unsent.torn;
    publish_ids_.reset();
    ids_in_use_.reset();
    for (const auto id : unsent.ids) {
        publish_ids_.set(id);
        ids_in_use_.set(id);
    }
    // One failure per callback, however many requests were pending, so that
    // a loss during a start with thousands of subscriptions is one record.
    std::vector<std::pair<Completion, std::size_t>> failed;
    for (auto& p : pending_) {
        if (p.subscribe) {
            if (!p.on_failed) continue;
            const auto same = std::find_if(failed.begin(), failed.end(),
                                           [&](const auto& f) { return f.first.on_failed == p.on_failed; });
            if (same != failed.end()) {
                ++same->second;
            } else {
                failed.push_back(
                    {Completion{nullptr, p.on_failed, p.id, CompletionCode::connection_lost, {}}, 1});
            }
        } else if (!clean_session_ && std::find(unsubscribe_later_.begin(), unsubscribe_later_.end(),
                                                p.filter) == unsubscribe_later_.end()) {
            unsubscribe_later_.push_back(std::move(p.filter));
        }
    }
    for (auto& [completion, count] : failed) {
        completion.message =
            count == 1 ? "connection lost" : fmt::format("connection lost with {} requests pending", count);
        events_.emplace_back(std::move(completion));
    }
    pending_.clear();
    index_filters();
    for (auto& s : subscriptions_) s.issued = false;
    if (clean_session_) qos2_received_.reset();
    reset_input();
    ping_outstanding_ = false;
    blocked_ = false;
    state_ = State::idle;
    return lost_publications;
}

void Session::disconnect() {
    if (disconnecting_) return;
    disconnecting_ = true;
    if (state_ == State::connected) out_.tail().bare(codec::disconnect);
}

void Session::close(CloseCode code, std::string reason) {
    if (state_ == State::closed) return;
    state_ = State::closed;
    events_.emplace_back(Closed{code, std::move(reason)});
}

std::uint16_t Session::allocate_id() {
    for (int tries = 0; tries < 65535; ++tries) {
        if (++last_id_ == 0) last_id_ = 1;
        if (!ids_in_use_.test(last_id_)) break;
    }
    ids_in_use_.set(last_id_);
    return last_id_;
}

void Session::put_subscribe(Outbound::Packets& out, Subscription& s) {
    s.issued = true;
    const auto id = allocate_id();
    out.subscribe(id, s.filter, s.qos);
    // Its result is told once: a subscription replayed later has no callbacks.
    pending_.push_back(
        {id, true, s.filter, std::exchange(s.on_done, nullptr), std::exchange(s.on_failed, nullptr), false});
}

void Session::put_unsubscribe(Outbound::Packets& out, const std::string& filter) {
    const auto id = allocate_id();
    out.unsubscribe(id, filter);
    pending_.push_back({id, false, filter, nullptr, nullptr, false});
}

// After CONNACK: what the broker must be told again goes ahead of the
// publications kept from the last connection.
void Session::replay() {
    Outbound::Packets first;
    // A broker without the session, or one that ends it with a clean
    // connection, holds none of them.
    if (!session_present_ || clean_session_) {
        for (auto& s : subscriptions_) s.confirmed = false;
    }
    // A filter subscribed again since needs no UNSUBSCRIBE, which the broker
    // might complete after the SUBSCRIBE.
    for (const auto& filter : unsubscribe_later_) {
        const bool again = std::any_of(subscriptions_.begin(), subscriptions_.end(),
                                       [&](const Subscription& s) { return s.filter == filter; });
        if (!again) put_unsubscribe(first, filter);
    }
    for (auto& s : subscriptions_) {
        const bool unsubscribed = std::find(unsubscribe_later_.begin(), unsubscribe_later_.end(), s.filter) !=
                                  unsubscribe_later_.end();
        if (session_present_ && s.confirmed && !unsubscribed) {
            s.issued = true;  // the broker kept it
        } else {
            put_subscribe(first, s);
        }
    }
    unsubscribe_later_.clear();
    out_.put_first(first);
    index_filters();
}

void Session::tick(steady_time now) {
    tell_drops(now);
    if (state_ == State::connecting && now - opened_ >= settings_.connect_timeout) {
        return close(CloseCode::no_connack, "no answer to CONNECT");
    }
    if (state_ != State::connected || disconnecting_) return;  // nothing may follow DISCONNECT
    // The next look at the socket's queue is due a second after this tick,
    // whether or not the driver looked with it.
    last_sample_ = std::max(last_sample_, now);
    if (ping_outstanding_) {
        const auto window = ping_after(settings_.keep_alive);
        if (ping_left_) {
            if (now - std::max(ping_left_at_, last_input_) < window) return;
            return close(CloseCode::no_ping_answer, "no answer to a ping");
        }
        if (now - std::max(ping_sent_, last_drain_) < window) return;
        const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - last_drain_);
        return close(CloseCode::output_stalled,
                     fmt::format("the broker has read nothing for {} s", silent.count()));
    }
    if (now - last_output_ >= ping_after(settings_.keep_alive)) {
        out_.priority().bare(codec::pingreq);
        ping_outstanding_ = true;
        ping_left_ = false;
        ping_end_ = 0;
        ping_sent_ = now;
    }
}

bool Session::output_stalled(steady_time now) const {
    return state_ == State::connected && blocked_ &&
           now - std::max({blocked_since_, last_output_, last_drain_}) >= settings_.output_stall;
}

steady_time Session::next_deadline() const {
    auto at = keep_alive_deadline();
    for (const Drops* d : {&unmatched_, &invalid_}) {
        if (d->untold > 0) at = std::min(at, d->told + std::chrono::minutes(1));
    }
    return at;
}

steady_time Session::keep_alive_deadline() const {
    if (state_ == State::connecting) return opened_ + settings_.connect_timeout;
    if (state_ != State::connected || disconnecting_) return steady_time::max();
    const auto window = ping_after(settings_.keep_alive);
    if (!ping_outstanding_) return last_output_ + window;
    if (ping_left_) return std::max(ping_left_at_, last_input_) + window;
    // Not out yet: the socket's queue is looked at every second meanwhile.
    return std::min(std::max(ping_sent_, last_drain_) + window, last_sample_ + std::chrono::seconds(1));
}

void Session::publish(std::string_view topic, const unsigned char* payload, std::size_t size, Qos qos,
                      bool retain, steady_time now) {
    const auto problem = topic_name_problem(topic);
    if (!problem.empty()) {
        throw MqttError(fmt::format("Refused to publish to topic '{}': it {}", shown_topic(topic), problem),
                        MqttError::Code::bad_topic);
    }
    const int q = static_cast<int>(qos);
    if (q < 0 || q > 2)
        throw MqttError(fmt::format("Refused to publish to topic '{}': QoS {}", shown_topic(topic), q),
                        MqttError::Code::bad_topic);
    if (size > codec::max_remaining_length - 4 - topic.size()) {
        throw MqttError(fmt::format("Cannot publish to topic '{}': {} bytes is more than MQTT carries",
                                    shown_topic(topic), size),
                        MqttError::Code::too_large);
    }
    const bool stalled = output_stalled(now);
    if ((state_ != State::connected || stalled) &&
        (out_.queued_publishes() >= settings_.max_offline_publishes ||
         out_.queued_bytes() + codec::publish_size(topic.size(), size, q) > settings_.max_offline_bytes)) {
        throw MqttError(fmt::format("Cannot publish to topic '{}': the broker {} and the buffer of "
                                    "waiting publications is full",
                                    shown_topic(topic), stalled ? "reads nothing" : "is unreachable"),
                        MqttError::Code::buffer_full);
    }
    std::uint16_t id = 0;
    if (q > 0) {
        id = allocate_id();
        publish_ids_.set(id);
    }
    out_.tail().publish(topic, payload, size, q, retain, id);
}

void Session::subscribe(const std::string& filter, Qos qos, MQTTAsync_onSuccess* on_done,
                        MQTTAsync_onFailure* on_failed) {
    const auto problem = topic_filter_problem(filter);
    if (!problem.empty())
        throw MqttError(fmt::format("Refused to subscribe to '{}': it {}", shown_topic(filter), problem),
                        MqttError::Code::bad_topic);
    auto it = subscriptions_.begin() + static_cast<std::ptrdiff_t>(exact_at(filter));
    if (it == subscriptions_.end() && filter.find_first_of("+#") != std::string::npos) {
        it = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                          [&](const Subscription& s) { return s.filter == filter; });
    }
    if (it == subscriptions_.end()) {
        it = subscriptions_.insert(subscriptions_.end(), Subscription{filter, 0, {}, {}, false, false});
        index_filter(subscriptions_.size() - 1);  // one at a time: thousands are made in a row
    }
    *it = {filter, static_cast<int>(qos), on_done, on_failed, false, false};
    if (state_ != State::connected) return;  // replayed after CONNACK
    // Sent again, the broker hands out the retained messages again; after an
    // UNSUBSCRIBE of the same filter, only once that is acknowledged.
    for (auto& p : pending_) {
        if (!p.subscribe && !p.gated && p.filter == filter) {
            p.gated = true;
            out_.gate(p.id);
        }
    }
    put_subscribe(out_.tail(), *it);
}

void Session::unsubscribe(const std::string& filter) {
    const auto problem = topic_filter_problem(filter);
    if (!problem.empty()) {
        throw MqttError(fmt::format("Refused to unsubscribe from '{}': it {}", shown_topic(filter), problem),
                        MqttError::Code::bad_topic);
    }
    subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                        [&](const Subscription& s) { return s.filter == filter; }),
                         subscriptions_.end());
    if (state_ == State::connected) {
        put_unsubscribe(out_.tail(), filter);
    } else if (!clean_session_ && std::find(unsubscribe_later_.begin(), unsubscribe_later_.end(), filter) ==
                                      unsubscribe_later_.end()) {
        unsubscribe_later_.push_back(filter);  // a clean session forgets it with the connection
    }
    index_filters();
}

std::string_view Session::pending_output() {
    if (state_ == State::closed || state_ == State::idle) return {};
    const bool batch_starts = !out_.writing();
    const auto out = out_.pending(state_ == State::connected);
    // A PINGREQ leads the first batch after it was queued.
    if (batch_starts && ping_outstanding_ && ping_end_ == 0 && out_.lead_bytes() > 0) {
        ping_end_ = written_ + out_.lead_bytes();
    }
    return out;
}

void Session::note_unsent(std::size_t unsent, steady_time now) {
    last_sample_ = now;
    const std::uint64_t left = written_ - std::min<std::uint64_t>(unsent, written_);
    if (left > left_) {
        left_ = left;
        last_drain_ = now;
    }
    if (ping_outstanding_ && !ping_left_ && ping_end_ != 0 && left_ >= ping_end_) {
        ping_left_ = true;
        ping_left_at_ = now;
    }
}

void Session::output_unsent(std::size_t unsent, steady_time now) {
    if (state_ == State::connecting || state_ == State::connected) note_unsent(unsent, now);
}

void Session::output_written(std::size_t n, steady_time now, std::size_t unsent) {
    out_.written(n);
    written_ += n;
    note_unsent(unsent, now);
    if (n > 0) last_output_ = now;
    // The socket took less than it was given: blocked until a batch is done.
    if (!out_.writing()) {
        blocked_ = false;
    } else if (!blocked_) {
        blocked_ = true;
        blocked_since_ = now;
    }
}

void Session::take_events(std::vector<Event>& into) {
    if (into.empty()) {
        into.swap(events_);
    } else {
        into.insert(into.end(), std::make_move_iterator(events_.begin()),
                    std::make_move_iterator(events_.end()));
    }
    events_.clear();
    messages_ = 0;
    messages_bytes_ = 0;
}

}  // namespace quorvel::mosquitto
