// Upsampling by replication and YCbCr -> BGR conversion into the target rows.
//   R = Y + 1.40200 (Cr - 128)
//   G = Y - 0.34414 (Cb - 128) - 0.71414 (Cr - 128)
//   B = Y + 1.77200 (Cb - 128)
// with the products from tables and the sums clamped through the sample-range table, so a pixel
// costs lookups and additions only.
#include "image/jpeg_color.h"

#include <algorithm>
#include <cstring>

#include "image/jpeg_idct.h"

namespace image::jpeg {
namespace {

constexpr ColourTables MakeColourTables() {
    ColourTables t{};
    for (int i = 0; i < 256; ++i) {
        const std::int32_t x = i - 128;
        t.cr_to_red[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>((91881 * x + 32768) / 65536);
        t.cb_to_blue[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>((116130 * x + 32768) / 65536);
        t.cr_to_green[static_cast<std::size_t>(i)] = -46802 * x + 32768;
        t.cb_to_green[static_cast<std::size_t>(i)] = -22554 * x + 1024;
    }
    return t;
}
constexpr ColourTables kColour = MakeColourTables();

inline void StorePixel(const std::uint8_t* range, int y, int cb, int cr, std::uint8_t* out) {
    out[0] = range[y + kColour.cb_to_blue[static_cast<std::size_t>(cb)]];
    out[1] = range[y + ((kColour.cr_to_green[static_cast<std::size_t>(cr)] +
                         kColour.cb_to_green[static_cast<std::size_t>(cb)]) >>
                        16)];
    out[2] = range[y + kColour.cr_to_red[static_cast<std::size_t>(cr)]];
}

void ConvertFull(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                 std::uint8_t* out, int columns) {
    const std::uint8_t* range = SampleRange();
    for (int x = 0; x < columns; ++x, out += 3) StorePixel(range, y[x], cb[x], cr[x], out);
}

// Chroma at half the width: each chroma sample serves two picture columns.
void ConvertHalfWidth(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                      std::uint8_t* out, int columns) {
    const std::uint8_t* range = SampleRange();
    int x = 0;
    for (; x + 1 < columns; x += 2, out += 6) {
        const int b = cb[x >> 1];
        const int r = cr[x >> 1];
        StorePixel(range, y[x], b, r, out);
        StorePixel(range, y[x + 1], b, r, out + 3);
    }
    if (x < columns) StorePixel(range, y[x], cb[x >> 1], cr[x >> 1], out);
}

// Column x of the full-size row takes sample x * h / hmax: each sample repeated hmax / h times.
void Replicate(const std::uint8_t* in, int h, int hmax, std::uint8_t* out, int columns) {
    if (hmax == 2 * h) {
        for (int x = 0; x < columns; ++x) out[x] = in[x >> 1];
        return;
    }
    for (int x = 0; x < columns; ++x) out[x] = in[x * h / hmax];
}

}  // namespace

const ColourTables& Colour() {
    return kColour;
}

ImageResult PictureWriter::Init(const Frame& frame, ImageBuffer* target) {
    target_ = target;
    columns_ = std::min<int>(frame.width, static_cast<int>(target->Right - target->Left + 1));
    rows_ = std::min<int>(frame.height, static_cast<int>(target->Bottom - target->Top + 1));
    mcu_height_ = frame.mcu_height;
    hmax_ = frame.hmax;
    vmax_ = frame.vmax;
    count_ = frame.count;
    for (int c = 0; c < frame.count; ++c) {
        const Component& component = frame.components[static_cast<std::size_t>(c)];
        const auto i = static_cast<std::size_t>(c);
        layout_h_[i] = component.layout_h;
        layout_v_[i] = component.layout_v;
        strides_[i] = std::ptrdiff_t{component.padded_wide} * 8;
        planes_[i] = AllocZeroed<std::uint8_t>(static_cast<std::size_t>(strides_[i]) * 8 *
                                               static_cast<std::size_t>(component.layout_v));
        if (!planes_[i]) return kOutOfMemory;
    }
    if (frame.count == 1) {
        mode_ = Mode::kGrey;
    } else if (layout_h_[0] == hmax_ && layout_h_[1] == hmax_ && layout_h_[2] == hmax_) {
        mode_ = Mode::kFullChroma;
    } else if (layout_h_[0] == hmax_ && 2 * layout_h_[1] == hmax_ && 2 * layout_h_[2] == hmax_) {
        mode_ = Mode::kHalfWidthChroma;
    } else {
        mode_ = Mode::kGeneral;
        for (auto& row : expanded_) {
            row = AllocZeroed<std::uint8_t>(static_cast<std::size_t>(columns_));
            if (!row) return kOutOfMemory;
        }
    }
    return kImageOk;
}

void PictureWriter::EmitMcuRow(int mcu_row) {
    for (int local = 0; local < mcu_height_; ++local) {
        const int y = mcu_row * mcu_height_ + local;
        if (y >= rows_) return;
        // Rows are replicated by taking sample row local * v / vmax of each component.
        const std::uint8_t* rows[kMaxComponents] = {};
        for (int c = 0; c < count_; ++c) {
            const auto i = static_cast<std::size_t>(c);
            rows[c] = planes_[i].get() + (local * layout_v_[i] / vmax_) * strides_[i];
        }
        std::uint8_t* out =
            target_->Bits +
            PixelOffset(*target_, target_->Left, target_->Top + static_cast<std::uint32_t>(y));
        switch (mode_) {
            case Mode::kGrey:
                std::memcpy(out, rows[0], static_cast<std::size_t>(columns_));
                break;
            case Mode::kFullChroma:
                ConvertFull(rows[0], rows[1], rows[2], out, columns_);
                break;
            case Mode::kHalfWidthChroma:
                ConvertHalfWidth(rows[0], rows[1], rows[2], out, columns_);
                break;
            case Mode::kGeneral:
                for (int c = 0; c < 3; ++c) {
                    const auto i = static_cast<std::size_t>(c);
                    if (layout_h_[i] == hmax_) continue;
                    Replicate(rows[c], layout_h_[i], hmax_, expanded_[i].get(), columns_);
                    rows[c] = expanded_[i].get();
                }
                ConvertFull(rows[0], rows[1], rows[2], out, columns_);
                break;
        }
    }
}

}  // namespace image::jpeg
