#pragma once

// A password in memory: one heap buffer of its own (no small-string copy
// inside the object, so a move hands the buffer over and leaves nothing
// behind), never copied implicitly, and wiped before any buffer it used is
// given back: when it grows, is assigned, cleared or destroyed.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include <string.h>  // explicit_bzero

namespace quorvel::mosquitto {

// Zeroes bytes in a way the compiler may not drop as a dead store.
inline void wipe(void* data, std::size_t size) {
    if (size > 0) ::explicit_bzero(data, size);
}

class Secret {
public:
    Secret() = default;
    explicit Secret(std::string_view text) { assign(text); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Secret& operator=(std::string_view text) {
        assign(text);
        return *this;
    }
    ~Secret() { release(); }

    std::string_view view() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    void assign(std::string_view text) {
        clear();
        append(text.data(), text.size());
    }
    // Room for n bytes in all; growing copies into a new buffer and wipes
    // the old one.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        char* grown = new char[n];
        if (size_ > 0) std::memcpy(grown, data_, size_);
        release_buffer();
        data_ = grown;
        capacity_ = n;
    }
    void append(const char* bytes, std::size_t n) {
        if (n == 0) return;
        if (size_ + n > capacity_) reserve(std::max(size_ + n, capacity_ * 2));
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    void push_back(char c) { append(&c, 1); }
    // Drops the last n bytes, wiping them.
    void drop_back(std::size_t n) {
        n = std::min(n, size_);
        wipe(data_ + size_ - n, n);
        size_ -= n;
    }
    // Wipes the bytes and keeps the buffer.
    void clear() { drop_back(size_); }

    friend bool operator==(const Secret& a, std::string_view b) { return a.view() == b; }
    friend bool operator!=(const Secret& a, std::string_view b) { return a.view() != b; }

private:
    void release_buffer() {
        if (data_ == nullptr) return;
        wipe(data_, capacity_);
        delete[] data_;
        data_ = nullptr;
        capacity_ = 0;
    }
    void release() {
        release_buffer();
        size_ = 0;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorvel::mosquitto
