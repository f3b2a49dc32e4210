// The parse step of the HTTP Motion-JPEG session: an accumulation buffer fed with received
// bytes, and one step at a time that takes a header block or a part body out of it. The step
// returns what happened (nothing, a header taken, a frame ready, or the session must end and
// why); it owns no socket and never touches the control, so it can be driven from memory.
// The device's own keys are found by plain case-sensitive substring searches that stop at the
// first zero byte, exactly as its text protocol expects; other servers' spellings of the same
// fields are read as HTTP reads them (http_header_fields), and a chunked reply body is decoded
// as it arrives. The bytes after the filled length are always zero.
#pragma once

#include <cstdint>
#include <string>

#include "stream/chunked_body.h"
#include "stream/device_line.h"

namespace stream {

inline constexpr int kAccumulationBytes = 200000;
inline constexpr int kMaxBufferedBytes = 150000;    // more than this buffered ends the session
inline constexpr int kMaxPartBytes = 140000;        // a Content-length above this ends it
inline constexpr int kMinPresentedPartBytes = 101;  // parts of 1..100 bytes are skipped
inline constexpr int kMaxPresentedPartBytes = 149999;
inline constexpr int kMaxHeaderBytes = 1023;  // a longer header block is taken as body
inline constexpr int kMinHeaderBytes = 10;    // a shorter one only moves the scan position
inline constexpr int kMaxBoundaryChars = 127;
inline constexpr int kMaxLengthDigits = 127;
inline constexpr int kReceiveChunkBytes = 1600;
inline constexpr int kParseThresholdBytes = 10;  // a step runs when more than this is unscanned

enum class EndReason {
    None,
    StatusNotOk,      // the reply head carries no "200" after "HTTP", or carries "401"
    NotMultipart,     // the reply head declares a content type that is not multipart
    BadPartLength,    // "Content-length:" missing its value, below 1 or above the limit
    BufferOverflow,   // more than kMaxBufferedBytes buffered
    Silence,          // no data for too long (decided by the session)
    NoFrame,          // no frame for too long (decided by the session)
    PeerClosed,       // (decided by the session)
    BadChunk,         // a chunked reply body broke its coding
};
const char* to_string(EndReason reason);

enum class StepKind {
    Nothing,      // nothing could be taken yet
    Skipped,      // a short header block moved the scan position
    Header,       // a header block was taken (the session skips its sleep)
    PartSkipped,  // a boundary was found but the part was not a presentable frame
    Frame,        // a frame is ready: frame() / frame_length()
    End,          // the session must end: reason
};

struct StepResult {
    StepKind kind = StepKind::Nothing;
    EndReason reason = EndReason::None;
    std::string detail;  // End: the status line (StatusNotOk) or the content type (NotMultipart)
    bool has_device_line = false;
    DeviceLine device_line;
    std::string device_line_text;
};

// What becomes of a part whose header gives no length. The device's parts always carry one, and
// a length-less part of its stream is skipped; a server named by a stream path may send parts
// framed by their boundaries alone, and each such part's JPEG is presented.
enum class LengthlessParts {
    Skipped,
    PresentedByMarkers,  // the bytes from the first start-of-image marker to the last
                         // end-of-image marker before the closing boundary
};

class HttpStreamParser {
  public:
    explicit HttpStreamParser(LengthlessParts lengthless = LengthlessParts::Skipped);

    // Starts a new exchange: phase 2 (status not yet seen), empty buffer, no boundary yet.
    void RequestSent();

    // Appends received bytes. Returns false (and appends nothing) when they would not fit; the
    // caller ends the session when buffered() exceeds kMaxBufferedBytes. A frame handed out by
    // the previous step is released first.
    bool Append(const std::uint8_t* data, int length);

    // True when a step should run: more than kParseThresholdBytes unscanned bytes, or a broken
    // chunked body for the step to end the session on.
    bool ShouldStep() {
        ReleaseFrame();
        return fill_ > scan_ + kParseThresholdBytes || chunks_.broken();
    }

    // One parse step. A Frame result points into the buffer until the next call.
    StepResult Step();

    int buffered() {
        ReleaseFrame();
        return fill_;
    }
    int scan_position() const { return scan_; }
    int part_length() const { return part_length_; }
    int phase() const { return phase_; }
    const std::string& boundary() const { return boundary_; }
    const std::uint8_t* frame() const { return frame_; }
    int frame_length() const { return frame_length_; }

  private:
    void Discard(int count);
    // Drops the part handed out as a frame, with its boundary and the two bytes after it.
    void ReleaseFrame();
    // status_head: the block is the reply's head (the first one taken after the request).
    StepResult TakeHeader(int d, bool status_head);
    void ReadBoundary(const char* header);
    // From here on the buffered body and every Append are decoded from the chunked coding.
    void StartChunked();
    // Points frame_ at the JPEG markers of a length-less part that ends at boundary_at.
    bool TakeMarkedFrame(int boundary_at);
    const char* Text(int offset) const { return reinterpret_cast<const char*>(buffer_ + offset); }

    // One byte more than the buffer so that a zero always ends a search.
    std::uint8_t* buffer_;
    int fill_ = 0;
    int scan_ = 0;
    int part_length_ = -1;
    int phase_ = 2;
    std::string boundary_;
    const LengthlessParts lengthless_;
    bool first_part_pending_ = true;    // no part header taken yet: it may teach the boundary
    bool marked_part_pending_ = false;  // a length-less part's body is awaited (by markers)
    bool chunked_ = false;
    ChunkedDecoder chunks_;
    const std::uint8_t* frame_ = nullptr;
    int frame_length_ = 0;
    int pending_discard_ = 0;

  public:
    ~HttpStreamParser();
    HttpStreamParser(const HttpStreamParser&) = delete;
    HttpStreamParser& operator=(const HttpStreamParser&) = delete;
};

}  // namespace stream
