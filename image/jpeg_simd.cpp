// Kernel choice of the JPEG decoder: one atomic flag, initialised from the environment, and the
// processor check. Decodes read the flag once each, so flipping it never splits one picture.
#include "image/jpeg_simd.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace image::jpeg {
namespace {

bool PortableFromEnvironment() {
    const char* value = std::getenv("QUORLINA_JPEG_PORTABLE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

std::atomic<bool>& PortableFlag() {
    static std::atomic<bool> flag{PortableFromEnvironment()};
    return flag;
}

}  // namespace

bool PortableKernelsForced() {
    return PortableFlag().load(std::memory_order_relaxed);
}

void ForcePortableKernels(bool portable) {
    PortableFlag().store(portable, std::memory_order_relaxed);
}

bool CpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

}  // namespace image::jpeg
