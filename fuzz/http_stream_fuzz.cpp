// Fuzzes the HTTP stream's parse step with a byte stream split into receives of fuzzed sizes:
// the first bytes of the input choose the receive sizes (the lowest bit of the first one also
// whether length-less parts are presented by their JPEG markers), the rest is what the server
// sends.
// Checks that a frame handed out always lies within the buffer and has a presentable length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "stream/http_stream_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint8_t* sizes = data;
    constexpr std::size_t kSizeBytes = 4;
    data += kSizeBytes;
    size -= kSizeBytes;
    // One parser of each kind (and its 200 KB buffer) for every input: a new exchange starts
    // from nothing.
    static stream::HttpStreamParser by_markers(stream::LengthlessParts::PresentedByMarkers);
    static stream::HttpStreamParser skipping(stream::LengthlessParts::Skipped);
    stream::HttpStreamParser& parser = (sizes[0] & 1) != 0 ? by_markers : skipping;
    parser.RequestSent();
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < size; ++i) {
        int n = 1 + sizes[i % kSizeBytes] * 8;
        if (n > stream::kReceiveChunkBytes) n = stream::kReceiveChunkBytes;
        if (static_cast<std::size_t>(n) > size - pos) n = static_cast<int>(size - pos);
        parser.Append(data + pos, n);
        pos += static_cast<std::size_t>(n);
        if (parser.buffered() > stream::kMaxBufferedBytes) break;
        if (!parser.ShouldStep()) continue;
        stream::StepResult r = parser.Step();
        if (r.kind == stream::StepKind::End) break;
        if (r.kind == stream::StepKind::Frame) {
            if (parser.frame_length() < stream::kMinPresentedPartBytes ||
                parser.frame_length() > stream::kMaxPresentedPartBytes)
                std::abort();
            // Touch every byte of the frame: ASan reports it if any lies outside the buffer.
            std::uint8_t sum = 0;
            for (int k = 0; k < parser.frame_length(); ++k) sum ^= parser.frame()[k];
            volatile std::uint8_t sink = sum;
            (void)sink;
        }
    }
    return 0;
}
