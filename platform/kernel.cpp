// Kernel services on POSIX: a monotonic clock cut to 32 bits, nanosleep, std::thread detached.
#include "platform/kernel.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace platform {
namespace {

std::atomic<int> g_live_threads{0};
std::atomic<TickSource> g_tick_source{nullptr};

bool TraceEnabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("QUORLINA_TRACE");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return enabled;
}

}  // namespace

Tick GetTickCount() {
    if (const TickSource source = g_tick_source.load(std::memory_order_relaxed)) return source();
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<Tick>(static_cast<std::uint64_t>(ms));
}

void SetTickSource(TickSource source) {
    g_tick_source.store(source);
}

void Sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void OutputDebugStringA(const char* text) {
    if (!TraceEnabled() || text == nullptr) return;
    std::fprintf(stderr, "%s", text);
    std::size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n') std::fputc('\n', stderr);
}

bool StartThread(void (*entry)(void*), void* arg) {
    g_live_threads.fetch_add(1);
    try {
        std::thread([entry, arg] {
            entry(arg);
            g_live_threads.fetch_sub(1);
        }).detach();
    } catch (...) {
        g_live_threads.fetch_sub(1);
        return false;
    }
    return true;
}

int LiveThreadCount() {
    return g_live_threads.load();
}

}  // namespace platform
