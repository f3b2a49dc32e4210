// Takes the chunked transfer coding off a reply body as its bytes arrive: size lines, chunk ends
// and the last chunk go, the data stays. Servers that send chunks to an HTTP/1.0 request (as
// some streaming servers do) then look to the parse step like any other stream. Bytes may come in
// any pieces; the decoder keeps its place between calls. It never writes ahead of what it reads,
// so it can decode a buffer in place.
#pragma once

#include <cstdint>

namespace stream {

inline constexpr int kMaxChunkSizeDigits = 8;   // hex digits of a chunk size (up to 4 GiB)
inline constexpr int kMaxChunkLineChars = 256;  // a size line's extension, after the digits

class ChunkedDecoder {
  public:
    // Decodes length bytes from in to out (out may be in, or lie before it). Returns how many
    // bytes of data were written. Once broken() nothing more is written.
    int Decode(const std::uint8_t* in, int length, std::uint8_t* out);

    // A size line without hex digits, with too many, or too long; or a chunk not followed by its
    // line end.
    bool broken() const { return state_ == State::kBroken; }
    // The last chunk (size 0) has come; whatever follows it is dropped.
    bool finished() const { return state_ == State::kFinished; }

  private:
    enum class State { kSize, kSizeLine, kData, kDataEnd, kFinished, kBroken };
    State state_ = State::kSize;
    std::uint32_t size_ = 0;  // of the chunk whose size line is being read
    int digits_ = 0;
    int line_chars_ = 0;
    std::uint32_t remaining_ = 0;  // data bytes of the current chunk still to come
    bool saw_cr_ = false;          // the CR of the line end after a chunk's data
};

}  // namespace stream
