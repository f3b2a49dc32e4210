// A socket client without a socket, for driving the native protocol steps from memory (tests and
// fuzz targets): what it "receives" is a queue of chunks, one receive never crossing a chunk, and
// what is sent is recorded. Input marked stale is what ClearReceiveBuffer drops.
// Header-only so the fuzz targets can use it without the test libraries.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "net/socket_client.h"

namespace test_support {

class ScriptedLink : public net::SocketClient {
  public:
    // Bytes that arrive as one piece; an empty queue reads as a closed connection.
    void Arrive(std::string_view bytes) {
        if (!bytes.empty()) chunks_.emplace_back(bytes);
    }
    // Bytes already waiting before the next request, dropped by ClearReceiveBuffer.
    void ArriveStale(std::string_view bytes) { stale_ += bytes; }
    // Sends accept at most this many more bytes in total (then fail as a broken connection).
    void LimitSends(std::size_t bytes) { send_budget_ = bytes; }

    const std::string& sent() const { return sent_; }
    std::size_t unread() const {
        std::size_t n = stale_.size();
        for (const std::string& c : chunks_) n += c.size();
        return n;
    }

    int Receive(void* buffer, int length, int) override { return Take(buffer, length); }
    int ReceiveAll(void* buffer, int length, int) override {
        int got = 0;
        for (int calls = 0; got < length && calls <= net::kMaxReceiveCalls; ++calls) {
            const int n = Take(static_cast<char*>(buffer) + got, length - got);
            if (n == 0) break;
            got += n;
        }
        return got;
    }
    int Send(const void* data, int length) override {
        if (data == nullptr || length <= 0) return 0;
        const std::size_t n = std::min(static_cast<std::size_t>(length), send_budget_);
        send_budget_ -= n;
        sent_.append(static_cast<const char*>(data), n);
        return static_cast<int>(n);
    }
    int SendAll(const void* data, int length) override {
        int sent = 0;
        while (length - sent > 0) {
            const int n = Send(static_cast<const char*>(data) + sent, length - sent);
            if (n == 0) break;
            sent += n;
        }
        return sent;
    }
    int ClearReceiveBuffer() override {
        stale_.clear();
        return net::SocketOk;
    }

  private:
    int Take(void* buffer, int length) {
        if (length <= 0) return 0;
        std::string* source = !stale_.empty()   ? &stale_
                              : chunks_.empty() ? nullptr
                                                : &chunks_.front();
        if (source == nullptr) return 0;
        const std::size_t n = std::min(static_cast<std::size_t>(length), source->size());
        std::memcpy(buffer, source->data(), n);
        source->erase(0, n);
        if (source != &stale_ && source->empty()) chunks_.pop_front();
        return static_cast<int>(n);
    }

    std::deque<std::string> chunks_;
    std::string stale_;
    std::string sent_;
    std::size_t send_budget_ = static_cast<std::size_t>(-1);
};

}  // namespace test_support
