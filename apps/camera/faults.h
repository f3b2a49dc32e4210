// Deliberate misbehaviour of the simulated camera: the fault set parsed from "--fault MODE" texts
// and the byte damage the sessions apply (JPEG bit flips, cuts, padding, random bytes).
// The hard part is damage that stays where it is meant to: bit flips touch only entropy bytes, so
// a damaged frame keeps a readable header. Where each fault enters the wire is the sessions' part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace camera {

enum class Fault {
    kDropAfter,      // close mid-frame after N frames on a connection
    kStallAfter,     // after N frames stop sending, keep the connection open
    kTrickle,        // send one byte at a time with a short pause after each
    kGarbage,        // random bytes instead of stream parts or native frame replies
    kOversize,       // a part or frame length one over what a viewer accepts
    kBadLength,      // a declared length beyond the data that follows it
    kCapitalLength,  // "Content-Length:" instead of "Content-length:" in stream parts
    kNoBoundary,     // no boundary in the stream head; parts follow each other by length only
    kCorruptJpeg,    // bit flips in the entropy-coded data
    kTruncateJpeg,   // the JPEG cut short, its declared length matching the cut
    kUnauthorized,   // every HTTP request gets 401; every native login is refused
    kRefuseOutputs,  // HTTP command requests get 500; native output commands get "0502"
    kSlowAccept,     // a connection is taken up only after kSlowAcceptMs
};
inline constexpr int kFaultCount = 13;

// The mode's name as --fault takes it ("drop-after", "trickle", ...).
const char* to_string(Fault fault);

inline constexpr std::size_t kOversizeHttpPartBytes = 140001;      // the viewer takes 140000
inline constexpr std::uint32_t kOversizeNativeFrameBytes = 65537;  // the viewer takes 65536
inline constexpr std::size_t kBadLengthExtraBytes = 1000;          // declared, never sent
inline constexpr int kTrickleGapUs = 200;  // pause after each byte: ~5 KB/s, 2-3 s per frame
inline constexpr int kSlowAcceptMs = 2000;
inline constexpr int kCorruptBitFlips = 16;              // per frame
inline constexpr int kMaxFaultFrames = 1000000;          // largest N of drop-after and stall-after
inline constexpr std::uint32_t kFaultSeed = 0x51C0FFEE;  // damage repeats from run to run

class FaultSet {
  public:
    // Adds one mode as given on the command line: a name, or "drop-after=N"/"stall-after=N".
    // False with a message naming the mode when it is unknown or its N is missing or bad.
    bool Add(std::string_view mode, std::string* error);

    bool Has(Fault fault) const { return (bits_ & Bit(fault)) != 0; }
    bool Empty() const { return bits_ == 0; }
    int DropAfter() const { return drop_after_; }    // meaningful when Has(kDropAfter)
    int StallAfter() const { return stall_after_; }  // meaningful when Has(kStallAfter)
    // The modes in --fault form, comma-separated ("drop-after=3,trickle"); "none" when empty.
    std::string Describe() const;

  private:
    static unsigned Bit(Fault fault) { return 1u << static_cast<unsigned>(fault); }
    unsigned bits_ = 0;
    int drop_after_ = 0;
    int stall_after_ = 0;
};

// Where the entropy-coded data of a baseline JPEG lies: from the end of its first scan header
// to its end-of-image marker. False when the markers do not lead there.
bool FindEntropyData(const std::vector<std::uint8_t>& jpeg, std::size_t* begin, std::size_t* end);

// Flips `flips` bits in the entropy-coded data. Bytes 0xFF, the byte after each 0xFF and flips
// that would make a 0xFF are left alone, so the marker structure (and the header) stays intact.
// Returns the JPEG unchanged when its entropy data cannot be found.
std::vector<std::uint8_t> CorruptEntropyData(const std::vector<std::uint8_t>& jpeg, int flips,
                                             std::mt19937& random);

// The JPEG cut in the middle of its entropy data: the header stays whole, the end-of-image
// marker is gone. Cut at half its size when the entropy data cannot be found.
std::vector<std::uint8_t> TruncateJpeg(const std::vector<std::uint8_t>& jpeg);

// The JPEG followed by zero bytes up to `size` bytes (unchanged when it is already as long).
std::vector<std::uint8_t> PadJpeg(const std::vector<std::uint8_t>& jpeg, std::size_t size);

// The frame as the set's JPEG faults damage it: bit flips (corrupt-jpeg), then the cut
// (truncate-jpeg). A copy of the frame when neither is set.
std::vector<std::uint8_t> DamageJpeg(const std::vector<std::uint8_t>& jpeg, const FaultSet& faults,
                                     std::mt19937& random);

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::mt19937& random);

}  // namespace camera
