#pragma once

// A plain mutex that grants the lock in the order it was asked for. A pass
// over the tree lets the registry lock go between slices; an unfair lock
// would let it take the lock straight back and starve the message loop and
// the heartbeat.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace quorvel {

class fair_mutex {
public:
    void lock() {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto ticket = next_++;
        turn_.wait(lock, [&] { return serving_ == ticket; });
    }
    bool try_lock() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serving_ != next_) return false;
        ++next_;
        return true;
    }
    // Threads waiting for the lock, for tests.
    std::uint64_t waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_ - serving_ - (next_ > serving_ ? 1 : 0);
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++serving_;
        }
        turn_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::uint64_t next_ = 0;     // tickets handed out
    std::uint64_t serving_ = 0;  // the ticket whose turn it is
};

}  // namespace quorvel
