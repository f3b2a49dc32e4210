// Frame presentation. Until the picture pipeline is in place, a frame counts when the buffer
// starts with the JPEG start-of-image marker.
#include "stream/present_frame.h"

#include <cstring>

namespace stream {

void CountFrame(control::ControlState& c) {
    std::int32_t current = c.FrameCount.load();
    std::int32_t next;
    do {
        next = current + 1;
        if (next >= control::kFrameCountWrap) next = 0;
    } while (!c.FrameCount.compare_exchange_weak(current, next));
    c.FramesPresented.fetch_add(1);
}

void StoreFrame(control::ControlState& c, const std::uint8_t* data, int length) {
    if (length < 0) length = 0;
    if (length > control::kFrameBufferBytes) length = control::kFrameBufferBytes;
    std::lock_guard<std::mutex> guard(c.FrameLock);
    std::memcpy(c.FrameBuffer, data, static_cast<std::size_t>(length));
    c.FrameLength = length;
    c.FramesReceived.fetch_add(1);
}

int PresentFrame(control::ControlState& c, int no_count) {
    bool is_jpeg;
    {
        std::lock_guard<std::mutex> guard(c.FrameLock);
        is_jpeg = c.FrameLength >= 2 && c.FrameBuffer[0] == 0xFF && c.FrameBuffer[1] == 0xD8;
    }
    if (!is_jpeg) return -43;
    if (no_count == 0) CountFrame(c);
    return 0;
}

}  // namespace stream
