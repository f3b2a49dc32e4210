// Fault modes of the simulated camera (see faults.h): parsing the --fault texts and the JPEG
// damage. The marker walk reads only what the camera's own encoder writes (one baseline scan);
// anything else is reported as "not found" and the damage falls back to a plain cut or no flip.
#include "apps/camera/faults.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace camera {

namespace {

struct FaultName {
    Fault fault;
    const char* name;
    bool takes_count;  // "name=N"
};

constexpr std::array<FaultName, kFaultCount> kFaultNames = {{
    {Fault::kDropAfter, "drop-after", true},
    {Fault::kStallAfter, "stall-after", true},
    {Fault::kTrickle, "trickle", false},
    {Fault::kGarbage, "garbage", false},
    {Fault::kOversize, "oversize", false},
    {Fault::kBadLength, "bad-length", false},
    {Fault::kCapitalLength, "capital-length", false},
    {Fault::kNoBoundary, "no-boundary", false},
    {Fault::kCorruptJpeg, "corrupt-jpeg", false},
    {Fault::kTruncateJpeg, "truncate-jpeg", false},
    {Fault::kUnauthorized, "unauthorized", false},
    {Fault::kRefuseOutputs, "refuse-outputs", false},
    {Fault::kSlowAccept, "slow-accept", false},
}};

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::uint8_t kStartOfScan = 0xDA;
constexpr std::uint8_t kTem = 0x01;  // standalone marker without a length
constexpr std::uint8_t kRst0 = 0xD0;
constexpr std::uint8_t kRst7 = 0xD7;
constexpr std::size_t kMarkerBytes = 2;
constexpr int kFlipAttemptsPerFlip = 8;

}  // namespace

const char* to_string(Fault fault) {
    for (const FaultName& entry : kFaultNames)
        if (entry.fault == fault) return entry.name;
    return "unknown";
}

bool FaultSet::Add(std::string_view mode, std::string* error) {
    const std::size_t equals = mode.find('=');
    const std::string_view name = mode.substr(0, equals);
    for (const FaultName& entry : kFaultNames) {
        if (name != entry.name) continue;
        if (!entry.takes_count) {
            if (equals != std::string_view::npos) {
                *error = "fault mode \"" + std::string(name) + "\" takes no value";
                return false;
            }
            bits_ |= Bit(entry.fault);
            return true;
        }
        const std::string_view count =
            equals == std::string_view::npos ? std::string_view() : mode.substr(equals + 1);
        int n = -1;
        auto [end, ec] = std::from_chars(count.data(), count.data() + count.size(), n);
        if (count.empty() || ec != std::errc() || end != count.data() + count.size() || n < 0 ||
            n > kMaxFaultFrames) {
            *error = "fault mode \"" + std::string(name) + "\" needs =N with N in 0.." +
                     std::to_string(kMaxFaultFrames) + " (frames), got \"" + std::string(mode) +
                     "\"";
            return false;
        }
        (entry.fault == Fault::kDropAfter ? drop_after_ : stall_after_) = n;
        bits_ |= Bit(entry.fault);
        return true;
    }
    *error = "unknown fault mode \"" + std::string(mode) + "\"";
    return false;
}

std::string FaultSet::Describe() const {
    std::string text;
    for (const FaultName& entry : kFaultNames) {
        if (!Has(entry.fault)) continue;
        if (!text.empty()) text += ',';
        text += entry.name;
        if (entry.fault == Fault::kDropAfter) text += "=" + std::to_string(drop_after_);
        if (entry.fault == Fault::kStallAfter) text += "=" + std::to_string(stall_after_);
    }
    return text.empty() ? "none" : text;
}

bool FindEntropyData(const std::vector<std::uint8_t>& jpeg, std::size_t* begin, std::size_t* end) {
    const std::size_t size = jpeg.size();
    if (size < 2 * kMarkerBytes || jpeg[0] != kMarkerPrefix || jpeg[1] != kStartOfImage)
        return false;
    std::size_t pos = kMarkerBytes;
    while (pos + 4 <= size) {
        if (jpeg[pos] != kMarkerPrefix) return false;
        const std::uint8_t marker = jpeg[pos + 1];
        if (marker == kMarkerPrefix) {  // fill byte before a marker
            ++pos;
            continue;
        }
        if (marker == kStartOfImage || marker == kTem || (marker >= kRst0 && marker <= kRst7)) {
            pos += kMarkerBytes;
            continue;
        }
        if (marker == kEndOfImage) return false;
        const std::size_t length = static_cast<std::size_t>(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (length < 2 || pos + kMarkerBytes + length > size) return false;
        const std::size_t segment_end = pos + kMarkerBytes + length;
        if (marker == kStartOfScan) {
            if (jpeg[size - 2] != kMarkerPrefix || jpeg[size - 1] != kEndOfImage ||
                segment_end > size - kMarkerBytes)
                return false;
            *begin = segment_end;
            *end = size - kMarkerBytes;
            return true;
        }
        pos = segment_end;
    }
    return false;
}

std::vector<std::uint8_t> CorruptEntropyData(const std::vector<std::uint8_t>& jpeg, int flips,
                                             std::mt19937& random) {
    std::vector<std::uint8_t> out = jpeg;
    std::size_t begin = 0;
    std::size_t end = 0;
    if (!FindEntropyData(jpeg, &begin, &end) || end <= begin) return out;
    std::uniform_int_distribution<std::size_t> where(begin, end - 1);
    std::uniform_int_distribution<int> bit(0, 7);
    for (int flip = 0; flip < flips; ++flip) {
        for (int attempt = 0; attempt < kFlipAttemptsPerFlip; ++attempt) {
            const std::size_t i = where(random);
            if (out[i] == kMarkerPrefix || (i > begin && out[i - 1] == kMarkerPrefix)) continue;
            const auto flipped = static_cast<std::uint8_t>(out[i] ^ (1u << bit(random)));
            if (flipped == kMarkerPrefix) continue;
            out[i] = flipped;
            break;
        }
    }
    return out;
}

std::vector<std::uint8_t> TruncateJpeg(const std::vector<std::uint8_t>& jpeg) {
    std::size_t begin = 0;
    std::size_t end = 0;
    const std::size_t cut =
        FindEntropyData(jpeg, &begin, &end) ? begin + (end - begin) / 2 : jpeg.size() / 2;
    return std::vector<std::uint8_t>(jpeg.begin(), jpeg.begin() + static_cast<long>(cut));
}

std::vector<std::uint8_t> PadJpeg(const std::vector<std::uint8_t>& jpeg, std::size_t size) {
    std::vector<std::uint8_t> out = jpeg;
    if (out.size() < size) out.resize(size, 0);
    return out;
}

std::vector<std::uint8_t> DamageJpeg(const std::vector<std::uint8_t>& jpeg, const FaultSet& faults,
                                     std::mt19937& random) {
    std::vector<std::uint8_t> out =
        faults.Has(Fault::kCorruptJpeg) ? CorruptEntropyData(jpeg, kCorruptBitFlips, random) : jpeg;
    if (faults.Has(Fault::kTruncateJpeg)) out = TruncateJpeg(out);
    return out;
}

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::mt19937& random) {
    std::vector<std::uint8_t> out(size);
    std::uniform_int_distribution<int> byte(0, 255);
    std::generate(out.begin(), out.end(), [&] { return static_cast<std::uint8_t>(byte(random)); });
    return out;
}

}  // namespace camera
