// Fuzzes the probe's decision on a received reply head.
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string head(reinterpret_cast<const char*>(data), size);
    device::DecideProbe(head, device::ProbeCaller::RemoteHost);
    device::DecideProbe(head, device::ProbeCaller::RemotePortOrWeb);
    return 0;
}
