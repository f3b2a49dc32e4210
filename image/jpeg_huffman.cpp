// Huffman stage: table derivation, the bit reader's refill and restart resynchronisation, and
// the sequential block decoder. Every index taken from the data is bounded before use: symbol
// indices by the table's count, coefficient positions by 63, code lengths by 16.
#include "image/jpeg_huffman.h"

#include <algorithm>

namespace image::jpeg {

bool BuildHuffmanTable(const std::uint8_t* counts, const std::uint8_t* symbols, bool dc,
                       HuffmanTable* table) {
    int total = 0;
    for (int i = 0; i < kMaxCodeLength; ++i) total += counts[i];
    if (total > kMaxHuffmanSymbols) return false;
    if (dc)
        for (int i = 0; i < total; ++i)
            if (symbols[i] > kMaxDcCategory) return false;

    // Canonical codes (T.81 C.2): consecutive within a length, doubled at each longer length.
    std::array<std::int32_t, kMaxHuffmanSymbols> codes{};
    std::array<std::uint8_t, kMaxHuffmanSymbols> sizes{};
    std::int32_t code = 0;
    int p = 0;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        for (int i = 0; i < counts[length - 1]; ++i, ++p, ++code) {
            codes[p] = code;
            sizes[p] = static_cast<std::uint8_t>(length);
        }
        if (code > (1 << length)) return false;  // more codes than the length can hold
        code <<= 1;
    }

    // Every field is written below, the two 1024-entry tables entry by entry, so the table is
    // not cleared first (a decode builds up to eight of them).
    table->count = total;
    table->maxcode.fill(0);
    table->valoffset.fill(0);
    p = 0;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        const int n = counts[length - 1];
        if (n == 0) {
            table->maxcode[length] = -1;
            continue;
        }
        table->valoffset[length] = p - codes[p];
        p += n;
        table->maxcode[length] = codes[p - 1];
    }
    table->maxcode[kMaxCodeLength + 1] = 0x7FFFFFFF;  // sentinel of the canonical procedure
    std::memcpy(table->symbols.data(), symbols, static_cast<std::size_t>(total));
    // Canonical codes of up to kLookaheadBits bits cover consecutive, ascending prefix ranges;
    // the prefixes past the last of them start longer codes.
    // The entries of one code are filled a run at a time: a whole coefficient's entry is the
    // same for every prefix that shares its value bits, so it is worked out once per value.
    int prefix = 0;
    for (int i = 0; i < total && sizes[i] <= kLookaheadBits; ++i) {
        const int length = sizes[i];
        const int symbol = symbols[i];
        const int size = symbol & 15, run = symbol >> 4;
        const int spare = kLookaheadBits - length;
        const int end = (codes[i] + 1) << spare;
        const auto entry = static_cast<std::uint16_t>((length << 8) | symbol);
        std::fill(table->lookahead.begin() + prefix, table->lookahead.begin() + end, entry);
        if (size != 0 && length + size <= kLookaheadBits) {
            // Whole coefficients inside the lookahead: code, then its value bits, then
            // 2^(spare - size) prefixes of whatever follows.
            const int repeat = 1 << (spare - size);
            for (std::uint32_t bits = 0; prefix < end; ++bits, prefix += repeat) {
                const std::int32_t fast =
                    static_cast<std::int32_t>(static_cast<std::uint32_t>(Extend(bits, size))
                                              << 16) |
                    run << 8 | (length + size);
                std::fill(table->fast.begin() + prefix, table->fast.begin() + prefix + repeat,
                          fast);
            }
            continue;
        }
        std::int32_t fast = 0;
        if (size == 0) {
            // End of block (run 0) and sixteen zeros (run 15) carry value 0; other runs of size
            // 0 are left to the full decode. A DC category 0 is a difference of 0.
            if (dc || run == 0)
                fast = (dc ? 0 : kEndOfBlock << 8) | length;
            else if (run == 15)
                fast = 15 << 8 | length;
        }
        std::fill(table->fast.begin() + prefix, table->fast.begin() + end, fast);
        prefix = end;
    }
    for (; prefix < (1 << kLookaheadBits); ++prefix) {
        table->lookahead[static_cast<std::size_t>(prefix)] = 0;
        table->fast[static_cast<std::size_t>(prefix)] = 0;
    }
    table->defined = true;
    return true;
}

void BitReader::Refill() {
    if (RefillPlain(acc_, bits_)) return;
    while (bits_ <= 56) {
        if (stopped_) {
            // Beyond a marker or the end: zero bits, counted so that Overrun can tell.
            padding_ += 64 - bits_;
            bits_ = 64;
            return;
        }
        if (pos_ >= size_) {
            stopped_ = true;
            continue;
        }
        const std::uint8_t byte = data_[pos_];
        if (byte == 0xFF) {
            // 0xFF 0x00 is a stuffed 0xFF data byte; 0xFF fill bytes may precede a marker.
            std::size_t next = pos_ + 1;
            while (next < size_ && data_[next] == 0xFF) ++next;
            if (next >= size_ || data_[next] != 0x00) {
                stopped_ = true;
                continue;
            }
            pos_ = next + 1;
        } else {
            ++pos_;
        }
        acc_ |= std::uint64_t{byte} << (56 - bits_);
        bits_ += 8;
    }
}

void BitReader::Restart() {
    acc_ = 0;
    bits_ = 0;
    padding_ = 0;
    stopped_ = false;
    while (pos_ + 1 < size_) {
        if (data_[pos_] != 0xFF) {
            ++pos_;
            continue;
        }
        const std::uint8_t next = data_[pos_ + 1];
        if (next == 0x00) {
            pos_ += 2;
        } else if (next == 0xFF) {
            ++pos_;
        } else {
            pos_ += 2;
            return;
        }
    }
    pos_ = size_;
}

int DecodeSymbolSlow(BitReader& reader, const HuffmanTable& table) {
    for (int length = kLookaheadBits + 1; length <= kMaxCodeLength; ++length) {
        const auto code = static_cast<std::int32_t>(reader.Peek(length));
        if (code > table.maxcode[length]) continue;
        const int index = code + table.valoffset[length];
        if (index < 0 || index >= table.count) return -1;
        reader.Skip(length);
        return table.symbols[static_cast<std::size_t>(index)];
    }
    return -1;
}

}  // namespace image::jpeg
