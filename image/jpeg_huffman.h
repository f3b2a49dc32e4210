// Huffman stage of the JPEG decoder: decode tables from a DHT segment (T.81 annex C and F.2.2.3,
// with a 10-bit lookahead), the bit reader and the sequential block decoder (F.2.2). Hard part:
// ending safely. The reader stops at any marker or the end of the bytes, then supplies zero bits
// and counts them, so a caller learns after each MCU whether it used bits the data never held.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace image::jpeg {

inline constexpr int kBlockCoefficients = 64;
// Codes of up to 10 bits, and most codes with their value bits, resolve with one lookup (tables
// of 1024 entries; an 8-bit lookahead misses too often on detailed pictures).
inline constexpr int kLookaheadBits = 10;
inline constexpr int kMaxCodeLength = 16;
inline constexpr int kMaxHuffmanSymbols = 256;
inline constexpr int kMaxDcCategory = 15;
// Advance of an end-of-block entry in HuffmanTable::fast: past any coefficient position.
inline constexpr int kEndOfBlock = 64;

// Zig-zag position -> natural (row-major) position in the 8 x 8 block (T.81 figure A.6).
inline constexpr std::array<std::uint8_t, 64> kNaturalOrder = {
    0,  1,  8,  16, 9,  2,  3,  10,  //
    17, 24, 32, 25, 18, 11, 4,  5,   //
    12, 19, 26, 33, 40, 48, 41, 34,  //
    27, 20, 13, 6,  7,  14, 21, 28,  //
    35, 42, 49, 56, 57, 50, 43, 36,  //
    29, 22, 15, 23, 30, 37, 44, 51,  //
    58, 59, 52, 45, 38, 31, 39, 46,  //
    53, 60, 61, 54, 47, 55, 62, 63,  //
};

// The large arrays are left uninitialised: BuildHuffmanTable writes all of them, and nothing
// reads a table that is not defined.
struct HuffmanTable {
    bool defined = false;
    int count = 0;  // number of symbols
    // For each kLookaheadBits-bit prefix: (length << 8) | symbol of the code of at most that
    // many bits it starts with, or 0 when the code is longer.
    std::array<std::uint16_t, 1 << kLookaheadBits> lookahead;
    // From the same prefix, when a code and its value bits fit in it together:
    // (value << 16) | (advance << 8) | (code length + size). In an AC table advance is the run
    // of zeros before the coefficient, 15 with value 0 for sixteen zeros, kEndOfBlock for the
    // end of block; in a DC table it is 0 and value is the difference. 0 when the full decode
    // is needed.
    std::array<std::int32_t, 1 << kLookaheadBits> fast;
    std::array<std::int32_t, kMaxCodeLength + 2> maxcode{};    // -1: no code of that length
    std::array<std::int32_t, kMaxCodeLength + 1> valoffset{};  // symbol index = code + valoffset
    std::array<std::uint8_t, kMaxHuffmanSymbols> symbols;
};

// Derives a decode table from the 16 code counts and the symbols. False for a code set that
// overfills its lengths, more than 256 symbols, or (dc) a DC category above 15.
bool BuildHuffmanTable(const std::uint8_t* counts, const std::uint8_t* symbols, bool dc,
                       HuffmanTable* table);

class BitReader {
  public:
    void Start(const std::uint8_t* data, std::size_t size, std::size_t pos) {
        data_ = data;
        size_ = size;
        pos_ = pos;
        acc_ = 0;
        bits_ = 0;
        padding_ = 0;
        stopped_ = false;
    }

    // Ensures at least 32 bits (real or padding) are buffered.
    void Fill() {
        if (bits_ < 32) Refill();
    }
    // n in 1..16; needs a preceding Fill.
    std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(acc_ >> (64 - n)); }
    void Skip(int n) {
        acc_ <<= n;
        bits_ -= n;
    }
    std::uint32_t Get(int n) {
        const std::uint32_t v = Peek(n);
        Skip(n);
        return v;
    }

    // True once more bits were consumed than the data held before a marker or their end.
    bool Overrun() const { return bits_ < padding_; }
    // True when the next 16 bits reach past the data: a bad code there means the data ran out.
    bool NearEnd() const { return bits_ - padding_ < kMaxCodeLength; }

    // Drops the buffered bits and skips past the next marker (0xFF followed by neither 0x00 nor
    // 0xFF), whatever its number: the resynchronisation of a restart interval.
    void Restart();

    // Input position of the first byte not taken into the buffer.
    std::size_t Position() const { return pos_; }

  private:
    friend class BitCursor;
    void Refill();

    // Most of the time the next eight bytes hold neither stuffing nor a marker: then as many
    // whole bytes as fit are taken at once. False when the byte-by-byte refill is needed.
    bool RefillPlain(std::uint64_t& acc, int& bits) {
        if (stopped_ || size_ - pos_ < 8) return false;
        std::uint64_t next = 0;
        std::memcpy(&next, data_ + pos_, 8);
        if constexpr (std::endian::native == std::endian::little) next = __builtin_bswap64(next);
        constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
        if (((~next - kOnes) & next & kHighs) != 0) return false;  // a byte is 0xFF
        const int bytes = (63 - bits) >> 3;
        acc |= (next >> (64 - 8 * bytes)) << (64 - bits - 8 * bytes);
        pos_ += static_cast<std::size_t>(bytes);
        bits += 8 * bytes;
        return true;
    }

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
    std::uint64_t acc_ = 0;  // left-aligned; bits past bits_ are zero
    int bits_ = 0;
    int padding_ = 0;  // zero bits appended after a marker or the end of the data
    bool stopped_ = false;
};

// The reader's buffer held in locals while one block is decoded, so that it stays in registers;
// it goes back to the reader around refills and slow decodes, and when the cursor ends.
class BitCursor {
  public:
    explicit BitCursor(BitReader& reader) : reader_(reader), data_(reader.data_) { Load(); }
    ~BitCursor() { Store(); }
    BitCursor(const BitCursor&) = delete;
    BitCursor& operator=(const BitCursor&) = delete;

    // Ensures at least Need (at most 32) bits (real or padding) are buffered. Most of the time
    // the next eight bytes lie inside the data and hold neither stuffing nor a marker: then as
    // many whole bytes as fit are taken with one load (56 bits or more are then buffered);
    // otherwise the reader refills byte by byte (to 32 bits or more).
    template <int Need = 32>
    [[gnu::always_inline]] void Fill() {
        static_assert(Need > 0 && Need <= 32);
        if (bits_ >= Need) return;
        if (static_cast<std::ptrdiff_t>(pos_) <= plain_limit_) {
            std::uint64_t next = 0;
            std::memcpy(&next, data_ + pos_, 8);
            if constexpr (std::endian::native == std::endian::little)
                next = __builtin_bswap64(next);
            constexpr std::uint64_t kOnes = 0x0101010101010101ull;
            constexpr std::uint64_t kHighs = 0x8080808080808080ull;
            if (((~next - kOnes) & next & kHighs) == 0) {  // no byte is 0xFF
                const int bytes = (63 - bits_) >> 3;
                acc_ |= (next >> (64 - 8 * bytes)) << (64 - bits_ - 8 * bytes);
                pos_ += static_cast<std::size_t>(bytes);
                bits_ += 8 * bytes;
                return;
            }
        }
        Store();
        reader_.Refill();
        Load();
    }
    std::uint32_t Peek(int n) const { return static_cast<std::uint32_t>(acc_ >> (64 - n)); }
    void Skip(int n) {
        acc_ <<= n;
        bits_ -= n;
    }
    std::uint32_t Get(int n) {
        const std::uint32_t v = Peek(n);
        Skip(n);
        return v;
    }
    // As BitReader::Overrun and NearEnd, for the bits the cursor holds.
    bool Overrun() const { return bits_ < reader_.padding_; }
    bool NearEnd() const { return bits_ - reader_.padding_ < kMaxCodeLength; }

    // Runs f(reader) on the reader itself (for the rarely taken paths).
    template <class F>
    auto WithReader(F f) {
        Store();
        auto result = f(reader_);
        Load();
        return result;
    }

  private:
    void Store() {
        reader_.acc_ = acc_;
        reader_.bits_ = bits_;
        reader_.pos_ = pos_;
    }
    void Load() {
        acc_ = reader_.acc_;
        bits_ = reader_.bits_;
        pos_ = reader_.pos_;
        // Eight-byte loads are taken from positions up to size - 8, and none once the reader
        // has stopped at a marker or the end.
        plain_limit_ = reader_.stopped_ || reader_.size_ < 8
                           ? -1
                           : static_cast<std::ptrdiff_t>(reader_.size_ - 8);
    }
    BitReader& reader_;
    const std::uint8_t* const data_;
    std::size_t pos_ = 0;
    std::ptrdiff_t plain_limit_ = -1;
    std::uint64_t acc_ = 0;
    int bits_ = 0;
};

// Sign extension of an s-bit magnitude (T.81 F.2.2.1 EXTEND); s in 1..15, v below 2^s. Without
// a branch: the sign of a coefficient cannot be predicted, and a miss costs more than the
// arithmetic. A clear top bit gives v - 2^s + 1.
inline int Extend(std::uint32_t v, int s) {
    const auto negative = static_cast<int>((v >> (s - 1)) ^ 1u);
    return static_cast<int>(v) - ((negative << s) - negative);
}

// Decodes one symbol, or returns -1 for a code longer than 16 bits. Needs a preceding Fill.
int DecodeSymbolSlow(BitReader& reader, const HuffmanTable& table);
inline int DecodeSymbol(BitReader& reader, const HuffmanTable& table) {
    const std::uint16_t entry = table.lookahead[reader.Peek(kLookaheadBits)];
    if (entry != 0) {
        reader.Skip(entry >> 8);
        return entry & 0xFF;
    }
    return DecodeSymbolSlow(reader, table);
}

// The same through a cursor: the lookahead inline, longer codes through the reader.
inline int DecodeSymbol(BitCursor& bits, const HuffmanTable& table) {
    const std::uint16_t entry = table.lookahead[bits.Peek(kLookaheadBits)];
    if (entry != 0) {
        bits.Skip(entry >> 8);
        return entry & 0xFF;
    }
    return bits.WithReader([&](BitReader& reader) { return DecodeSymbolSlow(reader, table); });
}

// Wrapping additions and scalings in 32 bits: corrupt data may push them past any range, and the
// results are only ever stored as 16 bits.
inline std::int32_t WrapAdd(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// Decodes one sequential block into coefficients (natural order, or zig-zag order with ZigZag;
// stored as 16 bits; block must be zero on entry), each multiplied by the quantiser of its
// natural position when Dequantise (quant is then in natural order).
// Returns the zig-zag index of the last coefficient written (0 when only DC; a run of sixteen
// zeros may count as written), or -1 for a bad code. Inline, so that the scan loop keeps the
// cursor in registers from block to block.
template <bool Dequantise, bool ZigZag = false>
[[gnu::always_inline]] inline int DecodeBlock(BitCursor& bits, const HuffmanTable& dc,
                                              const HuffmanTable& ac, std::int32_t* predictor,
                                              const std::int32_t* quant, std::int16_t* block) {
    bits.Fill();
    int diff = 0;
    if (const int whole = dc.fast[bits.Peek(kLookaheadBits)]; whole != 0) {
        bits.Skip(whole & 0xFF);
        diff = whole >> 16;
    } else {
        const int category = DecodeSymbol(bits, dc);
        if (category < 0) return -1;
        if (category != 0) diff = Extend(bits.Get(category), category);
    }
    *predictor = WrapAdd(*predictor, diff);
    const auto dc_value = static_cast<std::int16_t>(*predictor);
    block[0] = Dequantise ? static_cast<std::int16_t>(dc_value * quant[0]) : dc_value;

    // Only the position k is carried from coefficient to coefficient (so that it stays in a
    // register); the last position written is worked out from it where the block ends.
    // A whole-coefficient entry takes at most kLookaheadBits bits, so the loop tops the buffer
    // up only when fewer remain: a refill then lasts several coefficients, and the branch that
    // decides it (which follows no pattern) is taken less often. The full decode below, up to
    // 16 code bits and 15 value bits, fills to 32 first.
    int k = 1;
    for (;;) {
        bits.Fill<kLookaheadBits>();
        const int whole = ac.fast[bits.Peek(kLookaheadBits)];
        if (whole != 0) {
            // A coefficient, sixteen zeros (value 0) or the end of block (past position 63).
            bits.Skip(whole & 0xFF);
            const int advance = (whole >> 8) & 0xFF;
            k += advance;
            if (k >= kBlockCoefficients) return k - advance - 1;
            const int at = ZigZag ? k : kNaturalOrder[static_cast<std::size_t>(k)];
            const int value = whole >> 16;
            block[at] = static_cast<std::int16_t>(Dequantise ? value * quant[at] : value);
            if (++k >= kBlockCoefficients) return kBlockCoefficients - 1;
            continue;
        }
        bits.Fill();
        const int symbol = DecodeSymbol(bits, ac);
        if (symbol < 0) return -1;
        const int run = symbol >> 4;
        const int size = symbol & 15;
        if (size == 0) {
            if (run != 15) return k - 1;  // end of block
            k += 16;
            if (k >= kBlockCoefficients) return kBlockCoefficients - 1;
            continue;
        }
        k += run;
        const int value = Extend(bits.Get(size), size);
        if (k >= kBlockCoefficients) return k - run - 1;  // a position past 63 ends the block
        const int at = ZigZag ? k : kNaturalOrder[static_cast<std::size_t>(k)];
        block[at] = static_cast<std::int16_t>(Dequantise ? value * quant[at] : value);
        if (++k >= kBlockCoefficients) return kBlockCoefficients - 1;
    }
}

}  // namespace image::jpeg
