// A fixed-size, zero-terminated 8-bit text field that one thread replaces while another reads it.
// Every write replaces the whole text and every read copies the whole text, under a small lock,
// so a reader sees the text from before or after an update, never a mixture.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

namespace control {

template <std::size_t N>
class TextField {
public:
    static constexpr std::size_t kCapacity = N;  // bytes, terminator included

    // Stores at most N - 1 characters of text (a null text stores the empty text).
    void Set(const char* text) {
        std::lock_guard<std::mutex> guard(lock_);
        std::memset(text_, 0, N);
        if (text != nullptr) std::memcpy(text_, text, std::min(std::strlen(text), N - 1));
    }
    void Set(const std::string& text) { Set(text.c_str()); }
    // Stores exactly the first `length` bytes (cut to N - 1).
    void Set(const char* text, std::size_t length) {
        std::lock_guard<std::mutex> guard(lock_);
        std::memset(text_, 0, N);
        std::memcpy(text_, text, std::min(length, N - 1));
    }
    void Clear() { Set(nullptr); }

    std::string Get() const {
        std::lock_guard<std::mutex> guard(lock_);
        return std::string(text_);
    }
    // Copies into out: at most size - 1 characters and a terminator.
    void CopyTo(char* out, std::size_t size) const {
        if (size == 0) return;
        std::lock_guard<std::mutex> guard(lock_);
        std::size_t n = std::min(std::strlen(text_), size - 1);
        std::memcpy(out, text_, n);
        out[n] = '\0';
    }
    bool Empty() const {
        std::lock_guard<std::mutex> guard(lock_);
        return text_[0] == '\0';
    }
    std::size_t Length() const {
        std::lock_guard<std::mutex> guard(lock_);
        return std::strlen(text_);
    }
    // Replaces the text only when it differs; returns true when it changed.
    bool SetIfDifferent(const char* text) {
        std::lock_guard<std::mutex> guard(lock_);
        char next[N] = {};
        if (text != nullptr) std::memcpy(next, text, std::min(std::strlen(text), N - 1));
        if (std::memcmp(next, text_, N) == 0) return false;
        std::memcpy(text_, next, N);
        return true;
    }

private:
    mutable std::mutex lock_;
    char text_[N] = {};
};

}  // namespace control
