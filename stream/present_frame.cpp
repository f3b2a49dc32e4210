// Frame presentation: header, count, decode under the frame lock (the presenter reads exactly
// FrameLength bytes while no session can rewrite them), then scale and paint outside it.
#include "stream/present_frame.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "image/display.h"
#include "image/jpeg_decoder.h"
#include "image/resize.h"
#include "platform/gdi.h"

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
    if (length > 0) std::memcpy(c.FrameBuffer, data, static_cast<std::size_t>(length));
    c.FrameLength = length;
    c.FramesReceived.fetch_add(1);
    c.Session.FrameReceived();
}

FrameGeometry ComputeFrameGeometry(std::int32_t preview_width, std::int32_t preview_height,
                                   std::int32_t zoom) {
    if (zoom == 1) return FrameGeometry{preview_width, preview_height, 0, 0};
    const std::int64_t w = std::int64_t{preview_width} * zoom;
    const std::int64_t h = std::int64_t{preview_height} * zoom;
    return FrameGeometry{w, h, w / 2 - preview_width / 2, h / 2 - preview_height / 2};
}

namespace {

bool FitsInt32(std::int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

// Scales the decoded picture to the zoomed size and paints the window's part of it.
image::ImageResult ScaleAndPaint(control::ControlState& c, platform::HWND window, platform::HDC dc,
                                 image::ImageBuffer* source) {
    control::FramePictures& pictures = c.Pictures;
    const FrameGeometry g =
        ComputeFrameGeometry(c.PreviewWidth.load(), c.PreviewHeight.load(), c.ZoomFactor.load());
    if (!FitsInt32(g.width) || !FitsInt32(g.height)) return image::kBadSize;
    platform::HPALETTE palette = nullptr;
    image::ImageBuffer* shown = source;
    // Scaling to the same size copies every pixel unchanged and a true-colour picture has no
    // colour table, so the decoded picture is painted as it is.
    if (g.width != source->Header->Width || g.height != source->Header->Height ||
        source->Header->BitCount != 24) {
        image::ImageResult r =
            image::ReuseImage(&pictures.Scaled, static_cast<std::int32_t>(g.width),
                              static_cast<std::int32_t>(g.height), source->Header->BitCount);
        if (r == image::kImageOk)
            r = image::ResizeImage(source, &pictures.Scaled, c.ResizeMethod.load());
        if (r != image::kImageOk) return r;
        shown = &pictures.Scaled;
    }
    image::DisplayImageReusing(window, dc, &palette, static_cast<std::int32_t>(g.x),
                               static_cast<std::int32_t>(g.y), shown, 0, 0, c.DisplayMethod.load(),
                               &pictures.Reduced);
    if (palette != nullptr) platform::DeleteObject(palette);
    return image::kImageOk;
}

}  // namespace

int PresentFrame(control::ControlState& c, int no_count) {
    const platform::HWND window = c.Window.load();
    const platform::HDC dc = platform::GetDC(window);
    c.PaintDC = dc;
    control::FramePictures& pictures = c.Pictures;
    std::lock_guard<std::mutex> pictures_guard(pictures.Lock);
    image::ImageResult r;
    {
        std::lock_guard<std::mutex> guard(c.FrameLock);
        const auto length = static_cast<std::size_t>(
            std::clamp(c.FrameLength, std::int32_t{0}, control::kFrameBufferBytes));
        image::JpegInfo info;
        r = image::ReadJpegInfo(c.FrameBuffer, length, &info);
        if (r == image::kImageOk && no_count == 0) CountFrame(c);
        if (r == image::kImageOk)
            r = image::ReuseImage(&pictures.Decoded, info.Width, info.Height, info.BitsPerPixel);
        if (r == image::kImageOk) {
            r = image::DecodeJpeg(c.FrameBuffer, length, &pictures.Decoded);
            if (r != image::kImageOk) {
                char trace[32];
                std::snprintf(trace, sizeof trace, "Error=%d", r);
                platform::OutputDebugStringA(trace);
            }
        }
    }
    if (r == image::kImageOk) r = ScaleAndPaint(c, window, dc, &pictures.Decoded);
    platform::ReleaseDC(window, dc);
    return r;
}

}  // namespace stream
