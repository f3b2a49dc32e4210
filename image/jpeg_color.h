// Upsampling and colour stage of the JPEG decoder: holds one MCU row of samples per component,
// replicates subsampled components, converts YCbCr to blue-green-red through fixed-point tables
// and writes the rows into the target, clipped to its region. The row routine is chosen once per
// picture, so the per-pixel loops never branch on the sampling.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "image/image_buffer.h"
#include "image/jpeg_state.h"

namespace image::jpeg {

// Fixed-point JFIF YCbCr -> RGB tables (16 fraction bits), for i = 0..255 and x = i - 128.
struct ColourTables {
    std::array<std::int16_t, 256> cr_to_red;    // (91881 x + 32768) / 65536, toward zero
    std::array<std::int16_t, 256> cb_to_blue;   // (116130 x + 32768) / 65536, toward zero
    std::array<std::int32_t, 256> cr_to_green;  // -46802 x + 32768
    std::array<std::int32_t, 256> cb_to_green;  // -22554 x + 1024
};
const ColourTables& Colour();

class PictureWriter {
  public:
    // Sizes the sample rows for the frame's geometry and picks the row routine. kOutOfMemory when
    // the rows cannot be allocated. The target has passed ValidateImage. With vector set the
    // rows are converted by the vector routines where the processor has them.
    // With sink set the target is a band: each MCU row goes to its top rows and then to sink.
    ImageResult Init(const Frame& frame, ImageBuffer* target, bool vector,
                     JpegRowSink sink = nullptr, void* sink_context = nullptr);

    // Sample plane of component c for the current MCU row: Stride(c) bytes per row,
    // 8 * layout_v rows.
    std::uint8_t* Plane(int c) { return planes_[static_cast<std::size_t>(c)].get(); }
    std::ptrdiff_t Stride(int c) const { return strides_[static_cast<std::size_t>(c)]; }

    // True when MCU row mcu_row has picture rows inside the target region.
    bool Visible(int mcu_row) const { return mcu_row * mcu_height_ < rows_; }

    // Upsamples, converts and writes the picture rows of MCU row mcu_row.
    void EmitMcuRow(int mcu_row);

  private:
    enum class Mode { kGrey, kFullChroma, kHalfWidthChroma, kGeneral };

    void ConvertFullRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                        std::uint8_t* out) const;
    // Converts picture row y (row `local` of the MCU row), and the next one too when it shares
    // the chroma row; returns the count of extra rows done (0 or 1).
    int ConvertHalfWidthVector(int local, int y, const std::uint8_t* const* rows,
                               std::uint8_t* out) const;

    ImageBuffer* target_ = nullptr;
    JpegRowSink sink_ = nullptr;
    void* sink_context_ = nullptr;
    Mode mode_ = Mode::kGrey;
    bool vector_ = false;
    int columns_ = 0;  // picture columns written: min(picture width, region width)
    int rows_ = 0;
    int mcu_height_ = 8;
    int vmax_ = 1, hmax_ = 1;
    int count_ = 0;
    std::array<int, kMaxComponents> layout_h_{}, layout_v_{};
    std::array<ZeroedArray<std::uint8_t>, kMaxComponents> planes_;
    std::array<std::ptrdiff_t, kMaxComponents> strides_{};
    std::array<ZeroedArray<std::uint8_t>, 3> expanded_;  // full-width rows of the general mode
    ZeroedArray<std::int16_t> chroma_terms_;  // half-width mode: three terms per chroma sample
};

}  // namespace image::jpeg
