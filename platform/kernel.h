// Kernel services the control runs on: millisecond ticks, sleeping, detached worker threads,
// debugger output and the per-thread component-runtime calls.
// Threads are never joined; the live count lets tests and the soak check that none is left behind.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start, as a 32-bit value: differences are taken modulo 2^32.
using Tick = std::uint32_t;
Tick GetTickCount();

// Puts a clock of the caller's in place of the system clock behind GetTickCount (null: the system
// clock again). For tests that need two readings in the same millisecond, or a chosen distance
// apart; the source must be safe to call from any thread.
using TickSource = Tick (*)();
void SetTickSource(TickSource source);

void Sleep(std::uint32_t milliseconds);

// Writes a text to the debugger output. Silent unless QUORLINA_TRACE=1, which sends it to stderr.
void OutputDebugStringA(const char* text);

// Starts a detached thread running entry(arg). Returns false when no thread could be created.
bool StartThread(void (*entry)(void*), void* arg);

// Number of threads started by StartThread that have not returned yet.
int LiveThreadCount();

// Per-thread component-runtime initialisation; nothing to set up on this platform.
inline void CoInitialize() {}
inline void CoUninitialize() {}

}  // namespace platform
