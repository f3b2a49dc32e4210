// The chunk decoder: a byte-at-a-time state machine for the size lines and line ends, and whole
// runs for the data.
#include "stream/chunked_body.h"

#include <algorithm>
#include <cstring>

namespace stream {

namespace {

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int ChunkedDecoder::Decode(const std::uint8_t* in, int length, std::uint8_t* out) {
    int written = 0;
    int i = 0;
    while (i < length) {
        const std::uint8_t c = in[i];
        switch (state_) {
            case State::kSize: {
                const int v = HexValue(c);
                if (v >= 0) {
                    if (digits_ == kMaxChunkSizeDigits) {
                        state_ = State::kBroken;
                        break;
                    }
                    size_ = size_ * 16 + static_cast<std::uint32_t>(v);
                    ++digits_;
                    ++i;
                    break;
                }
                if (digits_ == 0) {
                    state_ = State::kBroken;
                    break;
                }
                line_chars_ = 0;
                state_ = State::kSizeLine;  // this byte is looked at again there
                break;
            }
            case State::kSizeLine:
                ++i;
                if (c == '\n') {
                    remaining_ = size_;
                    size_ = 0;
                    digits_ = 0;
                    saw_cr_ = false;
                    state_ = remaining_ == 0 ? State::kFinished : State::kData;
                } else if (++line_chars_ > kMaxChunkLineChars) {
                    state_ = State::kBroken;
                }
                break;
            case State::kData: {
                const int n = static_cast<int>(
                    std::min<std::uint32_t>(remaining_, static_cast<std::uint32_t>(length - i)));
                std::memmove(out + written, in + i, static_cast<std::size_t>(n));
                written += n;
                i += n;
                remaining_ -= static_cast<std::uint32_t>(n);
                if (remaining_ == 0) state_ = State::kDataEnd;
                break;
            }
            case State::kDataEnd:
                ++i;
                if (c == '\r' && !saw_cr_) {
                    saw_cr_ = true;
                } else if (c == '\n') {
                    state_ = State::kSize;
                } else {
                    state_ = State::kBroken;
                }
                break;
            case State::kFinished:
            case State::kBroken:
                return written;
        }
    }
    return written;
}

}  // namespace stream
