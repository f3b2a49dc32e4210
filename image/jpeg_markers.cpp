// Marker stage: the segment walk (T.81 B.1), table segments copied out of the data as they are
// met, and the frame checks. A byte other than 0xFF between segments is skipped, 0xFF fill bytes
// are skipped, and a length field that runs past the data is the end of the input.
#include "image/jpeg_markers.h"

#include <algorithm>
#include <cstring>

namespace image::jpeg {
namespace {

constexpr std::uint8_t kSof0 = 0xC0;  // baseline
constexpr std::uint8_t kSof1 = 0xC1;  // extended sequential
constexpr std::uint8_t kSof2 = 0xC2;  // progressive
constexpr std::uint8_t kSof3 = 0xC3;  // lossless
constexpr std::uint8_t kDht = 0xC4;
constexpr std::uint8_t kSof9 = 0xC9;   // arithmetic sequential
constexpr std::uint8_t kSof10 = 0xCA;  // arithmetic progressive
constexpr std::uint8_t kSof11 = 0xCB;  // arithmetic lossless
constexpr std::uint8_t kTem = 0x01;
constexpr std::uint8_t kRst0 = 0xD0;
constexpr std::uint8_t kRst7 = 0xD7;
constexpr std::uint8_t kSoi = 0xD8;
constexpr std::uint8_t kEoi = 0xD9;
constexpr std::uint8_t kSos = 0xDA;
constexpr std::uint8_t kDqt = 0xDB;
constexpr std::uint8_t kDri = 0xDD;
constexpr std::uint8_t kApp0 = 0xE0;

constexpr std::size_t kFrameHeaderBytes = 6;  // P, Y, X, Nf
constexpr std::size_t kFrameComponentBytes = 3;
constexpr std::size_t kHuffmanHeaderBytes = 17;  // Tc/Th and 16 counts
constexpr std::size_t kQuantEntries = 64;

int Be16(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}

bool IsFrameMarker(std::uint8_t m) {
    return m == kSof0 || m == kSof1 || m == kSof2 || m == kSof3 || m == kSof9 || m == kSof10 ||
           m == kSof11;
}

enum class Take { kOk, kEnded, kBad };

// The segment at d.pos (0xFF, marker, 2-byte length counting itself): its body, d.pos moved past.
Take TakeSegment(Decoder& d, const std::uint8_t** body, std::size_t* length) {
    if (d.size - d.pos < 4) return Take::kEnded;
    const std::size_t field = static_cast<std::size_t>(Be16(d.data + d.pos + 2));
    if (field < 2) return Take::kBad;
    if (field > d.size - d.pos - 2) return Take::kEnded;
    *body = d.data + d.pos + 4;
    *length = field - 2;
    d.pos += 2 + field;
    return Take::kOk;
}

ImageResult ReadFrameHeader(Decoder& d, std::uint8_t marker, const std::uint8_t* b, std::size_t n) {
    if (d.scans_started) return d.Fail(kBadJpegHeader, kJpegBadSegment);
    if (n < kFrameHeaderBytes) return d.Fail(kBadJpegHeader, kJpegBadSegment);
    const int count = b[5];
    if (count > kMaxComponents) return d.Fail(kBadJpegHeader, kJpegComponent);
    if (n < kFrameHeaderBytes + kFrameComponentBytes * static_cast<std::size_t>(count))
        return d.Fail(kBadJpegHeader, kJpegBadSegment);

    Frame& f = d.frame;
    f = Frame{};
    f.seen = true;
    f.type = marker & 0x0F;
    f.precision = b[0];
    f.height = Be16(b + 1);
    f.width = Be16(b + 3);
    f.count = count;
    JpegInfo& info = d.info;
    info.FrameType = f.type;
    info.Precision = f.precision;
    info.Height = f.height;
    info.Width = f.width;
    info.Components = count;
    std::fill(std::begin(info.Sampling), std::end(info.Sampling), 0);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t* p =
            b + kFrameHeaderBytes + kFrameComponentBytes * static_cast<std::size_t>(i);
        Component& c = f.components[static_cast<std::size_t>(i)];
        c.id = p[0];
        c.h = p[1] >> 4;
        c.v = p[1] & 15;
        c.quant_id = p[2];
        info.Sampling[i] = p[1];
    }
    info.BitsPerPixel = count == 1 ? 8 : 24;
    return kImageOk;
}

ImageResult ReadHuffmanTables(Decoder& d, const std::uint8_t* b, std::size_t n) {
    while (n > 0) {
        if (n < kHuffmanHeaderBytes) return d.Fail(kBadJpegHeader, kJpegBadSegment);
        const bool ac = b[0] > 15;
        const int id = b[0] & 15;
        if (id >= kTableSlots) return d.Fail(kBadJpegHeader, kJpegTableId);
        const std::uint8_t* counts = b + 1;
        std::size_t total = 0;
        for (int i = 0; i < kMaxCodeLength; ++i) total += counts[i];
        if (total > kMaxHuffmanSymbols) return d.Fail(kBadJpegHeader, kJpegBadHuffman);
        if (n < kHuffmanHeaderBytes + total) return d.Fail(kBadJpegHeader, kJpegBadSegment);
        HuffmanTable& table = ac ? d.ac_tables[static_cast<std::size_t>(id)]
                                 : d.dc_tables[static_cast<std::size_t>(id)];
        if (!BuildHuffmanTable(counts, b + kHuffmanHeaderBytes, !ac, &table))
            return d.Fail(kBadJpegHeader, kJpegBadHuffman);
        ++(ac ? d.ac_versions : d.dc_versions)[static_cast<std::size_t>(id)];
        b += kHuffmanHeaderBytes + total;
        n -= kHuffmanHeaderBytes + total;
    }
    return kImageOk;
}

ImageResult ReadQuantTables(Decoder& d, const std::uint8_t* b, std::size_t n) {
    while (n > 0) {
        const int precision = b[0] >> 4;
        const int id = b[0] & 15;
        if (id >= kTableSlots) return d.Fail(kBadJpegHeader, kJpegTableId);
        if (precision > 1) return d.Fail(kBadJpegHeader, kJpegBadSegment);
        const std::size_t entry_bytes = precision == 0 ? 1 : 2;
        const std::size_t needed = 1 + kQuantEntries * entry_bytes;
        if (n < needed) return d.Fail(kBadJpegHeader, kJpegBadSegment);
        QuantSlot& slot = d.quant[static_cast<std::size_t>(id)];
        for (std::size_t k = 0; k < kQuantEntries; ++k) {
            const std::uint8_t* p = b + 1 + k * entry_bytes;
            slot.values[kNaturalOrder[k]] = precision == 0 ? p[0] : Be16(p);
        }
        slot.defined = true;
        b += needed;
        n -= needed;
    }
    return kImageOk;
}

}  // namespace

ImageResult ReadMarkers(Decoder& d, MarkerPass pass, MarkerStop* stop) {
    const bool header = pass == MarkerPass::kHeader;
    bool first_marker = header;
    auto ended = [&]() -> ImageResult {
        *stop = MarkerStop::kEndOfInput;
        return header ? d.Fail(kBadJpegHeader, kJpegInputEnded) : kImageOk;
    };
    for (;;) {
        if (d.pos >= d.size) return ended();
        if (d.data[d.pos] != 0xFF) {
            ++d.pos;
            continue;
        }
        if (d.pos + 1 >= d.size) return ended();
        const std::uint8_t marker = d.data[d.pos + 1];
        if (marker == 0xFF) {
            ++d.pos;
            continue;
        }
        if (first_marker) {
            if (marker != kSoi) return d.Fail(kBadJpegHeader, kJpegNoSoi);
            first_marker = false;
        }
        if (marker == 0x00 || marker == kTem || (marker >= kRst0 && marker <= kRst7) ||
            marker == kSoi) {
            d.pos += 2;
            continue;
        }
        if (marker == kEoi) {
            if (header) return d.Fail(kBadJpegHeader, kJpegEoiBeforeScan);
            d.pos += 2;
            *stop = MarkerStop::kEndOfImage;
            return kImageOk;
        }
        if (marker == kSos) {
            *stop = MarkerStop::kScan;
            return kImageOk;
        }

        const std::uint8_t* body = nullptr;
        std::size_t length = 0;
        const Take take = TakeSegment(d, &body, &length);
        if (take == Take::kEnded) return ended();
        if (take == Take::kBad) return d.Fail(kBadJpegHeader, kJpegBadSegment);
        ImageResult result = kImageOk;
        if (IsFrameMarker(marker)) {
            result = ReadFrameHeader(d, marker, body, length);
        } else if (marker == kDht) {
            result = ReadHuffmanTables(d, body, length);
        } else if (marker == kDqt) {
            result = ReadQuantTables(d, body, length);
        } else if (marker == kDri) {
            if (length < 2) return d.Fail(kBadJpegHeader, kJpegBadSegment);
            d.restart_interval = static_cast<std::uint32_t>(Be16(body));
        } else if (marker == kApp0 && header && !d.seen_app0) {
            // Only the identifier's first three bytes are compared, as JFIF readers always have.
            d.seen_app0 = true;
            if (length < 3 || std::memcmp(body, "JFI", 3) != 0)
                return d.Fail(kBadJpegHeader, kJpegNotJfif);
        }
        if (result != kImageOk) return result;
    }
}

ImageResult ReadScanHeader(Decoder& d, bool* ended) {
    *ended = false;
    const std::uint8_t* b = nullptr;
    std::size_t n = 0;
    const Take take = TakeSegment(d, &b, &n);
    if (take == Take::kEnded) {
        *ended = true;
        return d.Fail(kBadJpegHeader, kJpegInputEnded);
    }
    if (take == Take::kBad || n < 1) return d.Fail(kBadJpegHeader, kJpegBadSegment);
    const int count = b[0];
    if (count < 1 || count > kMaxComponents) return d.Fail(kBadJpegHeader, kJpegBadScan);
    if (n < 1 + 2 * static_cast<std::size_t>(count) + 3)
        return d.Fail(kBadJpegHeader, kJpegBadSegment);

    Frame& f = d.frame;
    Scan& s = d.scan;
    s.count = count;
    for (int i = 0; i < count; ++i) {
        const int id = b[1 + 2 * i];
        const int tables = b[2 + 2 * i];
        // A component id the frame does not have falls back to the first component.
        int index = 0;
        for (int c = 0; c < f.count; ++c)
            if (f.components[static_cast<std::size_t>(c)].id == id) {
                index = c;
                break;
            }
        s.component[static_cast<std::size_t>(i)] = index;
        Component& c = f.components[static_cast<std::size_t>(index)];
        c.dc_table = tables >> 4;
        c.ac_table = tables & 15;
    }
    const std::uint8_t* p = b + 1 + 2 * count;
    s.ss = p[0];
    s.se = p[1];
    s.ah = p[2] >> 4;
    s.al = p[2] & 15;
    return kImageOk;
}

ImageResult ValidateFrame(Decoder& d, const ImageBuffer& target) {
    const Frame& f = d.frame;
    if (f.type != kFrameBaseline && f.type != kFrameExtended && f.type != kFrameProgressive)
        return d.Fail(kBadJpegHeader, kJpegFrameType);
    // A zero width is refused like a zero height: there would be nothing to decode.
    if (f.width == 0 || f.width > kMaxDimension) return kBadSize;
    if (f.height == 0 || f.height > kMaxDimension) return kBadSize;
    if (f.count != 1 && f.count != 3 && f.count != 4)
        return d.Fail(kBadJpegHeader, kJpegComponentCount);
    if (f.precision != 8) return d.Fail(kBadJpegHeader, kJpegPrecision);
    int blocks = 0;
    for (int i = 0; i < f.count; ++i) {
        const Component& c = f.components[static_cast<std::size_t>(i)];
        if (c.h < 1 || c.h > kMaxSamplingFactor || c.v < 1 || c.v > kMaxSamplingFactor ||
            c.quant_id >= kTableSlots || !d.quant[static_cast<std::size_t>(c.quant_id)].defined)
            return d.Fail(kBadJpegHeader, kJpegComponent);
        blocks += c.h * c.v;
    }
    if (blocks > kMaxBlocksPerMcu) return d.Fail(kBadJpegHeader, kJpegTooManyBlocks);
    const int bits = target.Header->BitCount;
    if ((bits == 8) != (f.count == 1)) return kBadDepth;
    return kImageOk;
}

void BuildGeometry(Frame& f) {
    f.hmax = 1;
    f.vmax = 1;
    for (int i = 0; i < f.count; ++i) {
        Component& c = f.components[static_cast<std::size_t>(i)];
        // One component is never interleaved: its MCU is a single block whatever it declares.
        c.layout_h = f.count == 1 ? 1 : c.h;
        c.layout_v = f.count == 1 ? 1 : c.v;
        f.hmax = std::max(f.hmax, c.layout_h);
        f.vmax = std::max(f.vmax, c.layout_v);
    }
    f.mcu_width = 8 * f.hmax;
    f.mcu_height = 8 * f.vmax;
    f.mcus_per_row = (f.width + f.mcu_width - 1) / f.mcu_width;
    f.mcu_rows = (f.height + f.mcu_height - 1) / f.mcu_height;
    for (int i = 0; i < f.count; ++i) {
        Component& c = f.components[static_cast<std::size_t>(i)];
        c.sample_width = (f.width * c.layout_h + f.hmax - 1) / f.hmax;
        c.sample_height = (f.height * c.layout_v + f.vmax - 1) / f.vmax;
        c.blocks_wide = (c.sample_width + 7) / 8;
        c.blocks_high = (c.sample_height + 7) / 8;
        c.padded_wide = f.mcus_per_row * c.layout_h;
        c.padded_high = f.mcu_rows * c.layout_v;
    }
}

void TakeQuantTables(Decoder& d) {
    for (int i = 0; i < d.frame.count; ++i) {
        Component& c = d.frame.components[static_cast<std::size_t>(i)];
        const QuantSlot& slot = d.quant[static_cast<std::size_t>(c.quant_id)];
        for (std::size_t k = 0; k < kQuantEntries; ++k)
            c.quant[k] = slot.values[k] != 0 ? slot.values[k] : 1;
    }
}

ImageResult CheckScanTables(Decoder& d, bool needs_dc, bool needs_ac) {
    for (int i = 0; i < d.scan.count; ++i) {
        const Component& c = d.frame.components[static_cast<std::size_t>(
            d.scan.component[static_cast<std::size_t>(i)])];
        if (needs_dc && (c.dc_table >= kTableSlots ||
                         !d.dc_tables[static_cast<std::size_t>(c.dc_table)].defined))
            return d.Fail(kBadJpegData, kJpegNoHuffmanTable);
        if (needs_ac && (c.ac_table >= kTableSlots ||
                         !d.ac_tables[static_cast<std::size_t>(c.ac_table)].defined))
            return d.Fail(kBadJpegData, kJpegNoHuffmanTable);
    }
    return kImageOk;
}

ImageResult CheckProgressiveScan(Decoder& d) {
    const Scan& s = d.scan;
    bool ok = s.ss == 0 ? s.se == 0 : (s.ss <= s.se && s.se <= 63 && s.count == 1);
    if (s.ah != 0 && s.ah != s.al + 1) ok = false;
    if (s.al > kMaxSuccessiveBit) ok = false;
    return ok ? kImageOk : d.Fail(kBadJpegHeader, kJpegBadScan);
}

}  // namespace image::jpeg
