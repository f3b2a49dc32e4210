// Fuzzes the device line parser with any text, as the "Date:" header of a part may carry.
#include <cstddef>
#include <cstdint>
#include <string>

#include "stream/device_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text = "Date:" + std::string(reinterpret_cast<const char*>(data), size);
    stream::ParseDeviceLine(text.c_str());
    stream::DecimalValue(text.c_str() + 5);
    return 0;
}
