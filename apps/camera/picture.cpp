// The test picture and its shared JPEG encoding (see picture.h).
// The hard part is keeping every change visible at any picture size: the layout scales with the
// width, and the world the bars live in is measured in degrees so pan and tilt shift it.
#include "apps/camera/picture.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "apps/camera/font.h"

namespace camera {

namespace {

constexpr int kBaseWidth = 160;           // widths up to this draw the font at scale 1
constexpr double kBarsPerWidth = 8.0;     // bars across one picture width at pan 0
constexpr int kSweepPixelsPerFrame = 3;   // sweep line speed, times the font scale
constexpr int kTickerPixelsPerFrame = 4;  // ticker speed, times the font scale

constexpr std::array<Rgb, 8> kBarColours = {{
    {235, 235, 235},
    {235, 235, 16},
    {16, 235, 235},
    {16, 235, 16},
    {235, 16, 235},
    {235, 16, 16},
    {16, 16, 235},
    {40, 40, 40},
}};
constexpr Rgb kPanelColour = {0, 0, 0};
constexpr Rgb kTextColour = {255, 255, 255};
constexpr Rgb kOnColour = {40, 230, 40};
constexpr Rgb kOffColour = {150, 150, 150};
constexpr Rgb kBusyColour = {255, 200, 0};

void FillRect(std::vector<std::uint8_t>& rgb, int width, int height, int x0, int y0, int x1, int y1,
              Rgb c) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, width);
    y1 = std::min(y1, height);
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
}

int PositiveModulo(long long value, int modulus) {
    long long m = value % modulus;
    return static_cast<int>(m < 0 ? m + modulus : m);
}

}  // namespace

void RenderTestPicture(std::vector<std::uint8_t>& rgb, int width, int height, std::int64_t frame,
                       const DeviceState& state, const ClockFields& clock) {
    rgb.assign(static_cast<std::size_t>(width) * height * 3, 0);
    const int scale = std::max(1, width / kBaseWidth);
    // One degree of pan or tilt moves the scene by this many pixels: the full pan range covers
    // a little over two picture widths.
    const double pixels_per_degree = width / 160.0;
    const int bar_width = std::max(1, static_cast<int>(width / kBarsPerWidth));
    const long long world_dx = static_cast<long long>(state.pan * pixels_per_degree);
    const long long world_dy = static_cast<long long>(state.tilt * pixels_per_degree);
    const int band = std::max(2, height);  // brightness ramp period in world rows

    for (int y = 0; y < height; ++y) {
        // Tilting up brings higher parts of the scene into view: the scene moves down.
        int wy = PositiveModulo(y - world_dy, 2 * band);
        int ramp = wy < band ? wy : 2 * band - 1 - wy;  // 0..band-1 and back
        int shade = 96 + 159 * ramp / (band - 1);       // 96..255
        for (int x = 0; x < width; ++x) {
            int bar =
                PositiveModulo((x + world_dx) / bar_width, static_cast<int>(kBarColours.size()));
            const Rgb& c = kBarColours[static_cast<std::size_t>(bar)];
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<std::uint8_t>(c.r * shade / 255);
            p[1] = static_cast<std::uint8_t>(c.g * shade / 255);
            p[2] = static_cast<std::uint8_t>(c.b * shade / 255);
        }
    }

    // Time: a sweep line crossing the picture and a grey ticker along the bottom.
    int sweep_x = PositiveModulo(frame * kSweepPixelsPerFrame * scale, width);
    FillRect(rgb, width, height, sweep_x, 0, sweep_x + scale, height, kTextColour);
    const int ticker_height = 4 * scale;
    for (int y = height - ticker_height; y < height; ++y) {
        if (y < 0) continue;
        for (int x = 0; x < width; ++x) {
            auto v = static_cast<std::uint8_t>(
                PositiveModulo(x * 4 + frame * kTickerPixelsPerFrame * scale, 256));
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = p[1] = p[2] = v;
        }
    }

    // The status panel.
    const int line = (kGlyphHeight + 3) * scale;
    const int margin = 2 * scale;
    const int advance = kGlyphAdvance * scale;
    FillRect(rgb, width, height, 0, 0, 20 * advance + 2 * margin, 4 * line + margin, kPanelColour);
    int y = margin;
    DrawText(rgb.data(), width, height, margin, y, scale, FormatClock(clock), kTextColour);
    y += line;
    int x = margin;
    DrawText(rgb.data(), width, height, x, y, scale, "OUT1", kTextColour);
    x += 5 * advance;
    DrawText(rgb.data(), width, height, x, y, scale, state.output1 ? "ON" : "OFF",
             state.output1 ? kOnColour : kOffColour);
    x += 4 * advance;
    DrawText(rgb.data(), width, height, x, y, scale, "OUT2", kTextColour);
    x += 5 * advance;
    DrawText(rgb.data(), width, height, x, y, scale, state.output2 ? "ON" : "OFF",
             state.output2 ? kOnColour : kOffColour);
    y += line;
    char head[32];
    std::snprintf(head, sizeof head, "PAN %03d TILT %03d", state.pan, state.tilt);
    DrawText(rgb.data(), width, height, margin, y, scale, head, kTextColour);
    y += line;
    x = margin;
    if (state.upload) {
        DrawText(rgb.data(), width, height, x, y, scale, "UPLOAD", kBusyColour);
        x += 7 * advance;
    }
    if (state.email) {
        DrawText(rgb.data(), width, height, x, y, scale, "EMAIL", kBusyColour);
        x += 6 * advance;
    }
    if (state.swing) DrawText(rgb.data(), width, height, x, y, scale, "SWING", kBusyColour);
}

PictureSource::PictureSource(int width, int height, int quality)
    : width_(width), height_(height), quality_(quality) {}

PictureSource::~PictureSource() {
    if (encoder_) tjDestroy(static_cast<tjhandle>(encoder_));
}

bool PictureSource::Init(std::string* error) {
    encoder_ = tjInitCompress();
    if (!encoder_) {
        *error = std::string("cannot start the JPEG encoder: ") + tjGetErrorStr();
        return false;
    }
    return true;
}

JpegBytes PictureSource::Frame(std::int64_t frame, const DeviceState& state,
                               const ClockFields& clock) {
    std::lock_guard lock(mu_);
    if (frame == cached_frame_ && cached_) return cached_;
    RenderTestPicture(rgb_, width_, height_, frame, state, clock);
    auto jpeg = std::make_shared<std::vector<std::uint8_t>>(tjBufSize(width_, height_, TJSAMP_420));
    unsigned char* out = jpeg->data();
    unsigned long size = jpeg->size();
    if (tjCompress2(static_cast<tjhandle>(encoder_), rgb_.data(), width_, 0, height_, TJPF_RGB,
                    &out, &size, TJSAMP_420, quality_, TJFLAG_NOREALLOC) != 0)
        return nullptr;
    jpeg->resize(size);
    cached_frame_ = frame;
    cached_ = std::move(jpeg);
    return cached_;
}

}  // namespace camera
