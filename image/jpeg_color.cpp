// Upsampling by replication and YCbCr -> BGR conversion into the target rows: R = Y + 1.402 Cr',
// G = Y - 0.34414 Cb' - 0.71414 Cr', B = Y + 1.772 Cb' (Cb' = Cb - 128, Cr' = Cr - 128), the
// products from tables and the sums clamped through the sample-range table, so that a pixel costs
// lookups and additions only.
#include "image/jpeg_color.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "image/jpeg_color_x86.h"
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

// The three chroma terms of each sample of a chroma row (blue, green, red offsets added to Y).
void ChromaTerms(const std::uint8_t* cb, const std::uint8_t* cr, std::int16_t* terms, int samples) {
    for (int i = 0; i < samples; ++i, terms += 3) {
        const auto b = static_cast<std::size_t>(cb[i]), r = static_cast<std::size_t>(cr[i]);
        terms[0] = kColour.cb_to_blue[b];
        terms[1] =
            static_cast<std::int16_t>((kColour.cr_to_green[r] + kColour.cb_to_green[b]) >> 16);
        terms[2] = kColour.cr_to_red[r];
    }
}

// Two pixels, blue-green-red each, as one 4-byte and one 2-byte store where the byte order
// allows (the pixel bytes are formed in registers, so no store can be taken for a table read).
inline void StorePair(std::uint8_t* out, int b0, int g0, int r0, int b1, int g1, int r1) {
    if constexpr (std::endian::native == std::endian::little) {
        const std::uint32_t first =
            static_cast<std::uint32_t>(b0) | static_cast<std::uint32_t>(g0) << 8 |
            static_cast<std::uint32_t>(r0) << 16 | static_cast<std::uint32_t>(b1) << 24;
        const auto second = static_cast<std::uint16_t>(g1 | r1 << 8);
        std::memcpy(out, &first, 4);
        std::memcpy(out + 4, &second, 2);
    } else {
        const std::uint8_t bytes[6] = {
            static_cast<std::uint8_t>(b0), static_cast<std::uint8_t>(g0),
            static_cast<std::uint8_t>(r0), static_cast<std::uint8_t>(b1),
            static_cast<std::uint8_t>(g1), static_cast<std::uint8_t>(r1)};
        std::memcpy(out, bytes, 6);
    }
}

// One chroma sample per picture column.
void ConvertFull(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                 std::uint8_t* out, int columns) {
    const std::uint8_t* range = SampleRange();
    auto green = [](std::size_t b, std::size_t r) {
        return static_cast<std::ptrdiff_t>((kColour.cr_to_green[r] + kColour.cb_to_green[b]) >> 16);
    };
    int x = 0;
    for (; x + 1 < columns; x += 2, out += 6) {
        const std::size_t b0 = cb[x], r0 = cr[x], b1 = cb[x + 1], r1 = cr[x + 1];
        const std::ptrdiff_t y0 = y[x], y1 = y[x + 1];
        StorePair(out, range[y0 + kColour.cb_to_blue[b0]], range[y0 + green(b0, r0)],
                  range[y0 + kColour.cr_to_red[r0]], range[y1 + kColour.cb_to_blue[b1]],
                  range[y1 + green(b1, r1)], range[y1 + kColour.cr_to_red[r1]]);
    }
    if (x < columns) StorePixel(range, y[x], cb[x], cr[x], out);
}

// Chroma at half the width: each sample's terms serve two picture columns.
void ConvertHalfWidth(const std::uint8_t* y, const std::int16_t* terms, std::uint8_t* out,
                      int columns) {
    const std::uint8_t* range = SampleRange();
    int x = 0;
    for (; x + 1 < columns; x += 2, out += 6, terms += 3) {
        // Pointer-sized values, so that the sums index the table without sign extensions.
        const std::ptrdiff_t blue = terms[0], green = terms[1], red = terms[2];
        const std::ptrdiff_t y0 = y[x], y1 = y[x + 1];
        StorePair(out, range[y0 + blue], range[y0 + green], range[y0 + red], range[y1 + blue],
                  range[y1 + green], range[y1 + red]);
    }
    if (x < columns) {
        const int luma = y[x];
        out[0] = range[luma + terms[0]];
        out[1] = range[luma + terms[1]];
        out[2] = range[luma + terms[2]];
    }
}

// Two picture rows that share one chroma row (vertical subsampling as well): each sample's terms
// serve four pixels.
void ConvertHalfWidthTwoRows(const std::uint8_t* y0, const std::uint8_t* y1,
                             const std::int16_t* terms, std::uint8_t* out0, std::uint8_t* out1,
                             int columns) {
    const std::uint8_t* range = SampleRange();
    int x = 0;
    for (; x + 1 < columns; x += 2, out0 += 6, out1 += 6, terms += 3) {
        const std::ptrdiff_t blue = terms[0], green = terms[1], red = terms[2];
        const std::ptrdiff_t a = y0[x], b = y0[x + 1], c = y1[x], d = y1[x + 1];
        StorePair(out0, range[a + blue], range[a + green], range[a + red], range[b + blue],
                  range[b + green], range[b + red]);
        StorePair(out1, range[c + blue], range[c + green], range[c + red], range[d + blue],
                  range[d + green], range[d + red]);
    }
    if (x < columns) {
        ConvertHalfWidth(y0 + x, terms, out0, 1);
        ConvertHalfWidth(y1 + x, terms, out1, 1);
    }
}

// Columns first..columns-1 of a half-width row straight from the chroma samples (the vector
// routines leave these over).
void ConvertHalfWidthFrom(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                          std::uint8_t* out, int first, int columns) {
    const std::uint8_t* range = SampleRange();
    for (int x = first; x < columns; ++x)
        StorePixel(range, y[x], cb[x / 2], cr[x / 2], out + 3 * x);
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

ImageResult PictureWriter::Init(const Frame& frame, ImageBuffer* target, bool vector,
                                JpegRowSink sink, void* sink_context) {
    target_ = target;
    sink_ = sink;
    sink_context_ = sink_context;
    vector_ = vector && x86::Available();
    columns_ = std::min<int>(frame.width, static_cast<int>(target->Right - target->Left + 1));
    rows_ = std::min<int>(frame.height, static_cast<int>(target->Bottom - target->Top + 1));
    if (sink != nullptr) {
        // A band holds one MCU row at a time; the whole picture goes through it.
        if (static_cast<int>(target->Bottom - target->Top + 1) < frame.mcu_height) return kBadSize;
        rows_ = frame.height;
    }
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
        chroma_terms_ =
            AllocZeroed<std::int16_t>(3 * static_cast<std::size_t>(columns_ + 1) / 2 * 2);
        if (!chroma_terms_) return kOutOfMemory;
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
    // Picture rows that share both chroma rows (vertical subsampling) share their terms. Cb and
    // Cr may have different vertical factors, so the terms are keyed on the pair of rows.
    const std::uint8_t* terms_cb = nullptr;
    const std::uint8_t* terms_cr = nullptr;
    const int first = mcu_row * mcu_height_;
    const int count = std::min(mcu_height_, rows_ - first);
    for (int local = 0; local < count; ++local) {
        const int y = first + local;
        // Rows are replicated by taking sample row local * v / vmax of each component.
        const std::uint8_t* rows[kMaxComponents] = {};
        for (int c = 0; c < count_; ++c) {
            const auto i = static_cast<std::size_t>(c);
            rows[c] = planes_[i].get() + (local * layout_v_[i] / vmax_) * strides_[i];
        }
        const int at = sink_ != nullptr ? local : y;
        std::uint8_t* out =
            target_->Bits +
            PixelOffset(*target_, target_->Left, target_->Top + static_cast<std::uint32_t>(at));
        switch (mode_) {
            case Mode::kGrey:
                std::memcpy(out, rows[0], static_cast<std::size_t>(columns_));
                break;
            case Mode::kFullChroma:
                ConvertFullRow(rows[0], rows[1], rows[2], out);
                break;
            case Mode::kHalfWidthChroma:
                if (vector_) {
                    local += ConvertHalfWidthVector(local, y, rows, out);
                    break;
                }
                if (rows[1] != terms_cb || rows[2] != terms_cr) {
                    ChromaTerms(rows[1], rows[2], chroma_terms_.get(), (columns_ + 1) / 2);
                    terms_cb = rows[1];
                    terms_cr = rows[2];
                }
                if (local + 1 < mcu_height_ && y + 1 < rows_ &&
                    (local + 1) * layout_v_[1] / vmax_ == local * layout_v_[1] / vmax_ &&
                    (local + 1) * layout_v_[2] / vmax_ == local * layout_v_[2] / vmax_) {
                    const std::uint8_t* next_luma =
                        planes_[0].get() + ((local + 1) * layout_v_[0] / vmax_) * strides_[0];
                    ConvertHalfWidthTwoRows(rows[0], next_luma, chroma_terms_.get(), out,
                                            out - target_->RowBytes, columns_);
                    ++local;
                } else {
                    ConvertHalfWidth(rows[0], chroma_terms_.get(), out, columns_);
                }
                break;
            case Mode::kGeneral:
                for (int c = 0; c < 3; ++c) {
                    const auto i = static_cast<std::size_t>(c);
                    if (layout_h_[i] == hmax_) continue;
                    Replicate(rows[c], layout_h_[i], hmax_, expanded_[i].get(), columns_);
                    rows[c] = expanded_[i].get();
                }
                ConvertFullRow(rows[0], rows[1], rows[2], out);
                break;
        }
    }
    if (sink_ != nullptr && count > 0) sink_(sink_context_, *target_, first, count);
}

void PictureWriter::ConvertFullRow(const std::uint8_t* y, const std::uint8_t* cb,
                                   const std::uint8_t* cr, std::uint8_t* out) const {
    const int done = vector_ ? x86::ConvertFull(y, cb, cr, out, columns_) : 0;
    ConvertFull(y + done, cb + done, cr + done, out + 3 * done, columns_ - done);
}

int PictureWriter::ConvertHalfWidthVector(int local, int y, const std::uint8_t* const* rows,
                                          std::uint8_t* out) const {
    if (local + 1 < mcu_height_ && y + 1 < rows_ &&
        (local + 1) * layout_v_[1] / vmax_ == local * layout_v_[1] / vmax_ &&
        (local + 1) * layout_v_[2] / vmax_ == local * layout_v_[2] / vmax_) {
        const std::uint8_t* next_luma =
            planes_[0].get() + ((local + 1) * layout_v_[0] / vmax_) * strides_[0];
        std::uint8_t* next_out = out - target_->RowBytes;
        const int done = x86::ConvertHalfWidthTwoRows(rows[0], next_luma, rows[1], rows[2], out,
                                                      next_out, columns_);
        ConvertHalfWidthFrom(rows[0], rows[1], rows[2], out, done, columns_);
        ConvertHalfWidthFrom(next_luma, rows[1], rows[2], next_out, done, columns_);
        return 1;
    }
    const int done = x86::ConvertHalfWidth(rows[0], rows[1], rows[2], out, columns_);
    ConvertHalfWidthFrom(rows[0], rows[1], rows[2], out, done, columns_);
    return 0;
}

}  // namespace image::jpeg
