#pragma once

// Reading in batches under load. When messages come faster than one per
// wake-up, the reader's next wait for input starts with a short pause, so
// that one read, one pass over the messages and one write of what they
// produce serve several of them: fewer wake-ups of the reader and of the
// broker, much less CPU per message, for at most `pause` more latency. At a
// low rate, after an isolated burst, or while the reader is behind (its
// last read took all it might), nothing is held back.
//
// Concurrency: used only by the thread that leads the reading, which the
// hand-over makes one at a time.

#include <chrono>
#include <cstddef>

namespace quorvel::mosquitto {

class ReadPacing {
public:
    using time_point = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::microseconds pause{1000};
    static constexpr long long busy_rate = 4000;  // messages per second

    // A read at `now` handed out `messages`; `filled`: it stopped at its
    // limit, not at the end of the input.
    void read(time_point now, std::size_t messages, bool filled) {
        if (messages == 0) return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - last_).count();
        busy_ = !filled && messages >= 2 && us > 0 &&
                static_cast<long long>(messages) * 1000000 >= busy_rate * us;
        last_ = now;
    }

    // How long the next wait holds off reading.
    std::chrono::microseconds before_read() const { return busy_ ? pause : std::chrono::microseconds(0); }

private:
    time_point last_{};
    bool busy_ = false;
};

}  // namespace quorvel::mosquitto
