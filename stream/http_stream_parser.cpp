// The parse step. Each call classifies what starts at the scan position (header block or body),
// then either takes the header (status, part length, device line, boundary) or looks for the
// boundary that ends the pending part and hands the part out as a frame. Each field is read in
// the device's exact spelling first, so its stream parses as it always has; only where that
// spelling is absent are other servers' forms looked for.
#include "stream/http_stream_parser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "stream/http_header_fields.h"

namespace stream {

namespace {

constexpr std::uint8_t kMarkerPrefix = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;
constexpr std::uint8_t kEndOfImage = 0xD9;

constexpr std::size_t kMaxDetailChars = 80;

// The line at text, up to its line end (or the text's end), cut to kMaxDetailChars.
std::string LineAt(const char* text) {
    std::size_t n = std::strcspn(text, "\r\n");
    return std::string(text, std::min(n, kMaxDetailChars));
}

std::string Lowercase(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// The content type a status head declares when no stream of pictures can follow it (a web page,
// say); empty otherwise: for a multipart type, for an image type (a camera that sends its parts
// without a boundary, taken by their lengths alone), for plain binary data (a media server that
// names no type for its stream) and when the head declares none.
std::string NonMultipartType(const std::string& head) {
    static constexpr std::string_view kKey = "content-type:";
    const std::string lower = Lowercase(head);
    const std::size_t key = lower.find(kKey);
    if (key == std::string::npos) return {};
    const std::size_t value = lower.find_first_not_of(' ', key + kKey.size());
    if (value == std::string::npos) return {};
    const std::string type = LineAt(head.c_str() + value);
    if (type.empty()) return {};
    const std::string lower_type = Lowercase(type);
    const bool pictures = lower_type.rfind("multipart/", 0) == 0 ||
                          lower_type.rfind("image/", 0) == 0 ||
                          lower_type.rfind("application/octet-stream", 0) == 0;
    return pictures ? std::string() : type;
}

}  // namespace

const char* to_string(EndReason reason) {
    switch (reason) {
        case EndReason::None: return "none";
        case EndReason::StatusNotOk: return "reply status is not 200 (or is 401)";
        case EndReason::NotMultipart: return "reply is not a multipart stream";
        case EndReason::BadPartLength: return "part length missing or out of range";
        case EndReason::BufferOverflow: return "too many bytes buffered without a frame";
        case EndReason::Silence: return "no data from the device";
        case EndReason::NoFrame: return "no frame from the device";
        case EndReason::PeerClosed: return "device closed the connection";
        case EndReason::BadChunk: return "chunked reply body is malformed";
    }
    return "unknown";
}

HttpStreamParser::HttpStreamParser(LengthlessParts lengthless)
    : buffer_(new std::uint8_t[kAccumulationBytes + 1]()), lengthless_(lengthless) {}
HttpStreamParser::~HttpStreamParser() { delete[] buffer_; }

void HttpStreamParser::RequestSent() {
    pending_discard_ = 0;
    frame_ = nullptr;
    frame_length_ = 0;
    std::memset(buffer_, 0, static_cast<std::size_t>(fill_));
    fill_ = 0;
    scan_ = 0;
    part_length_ = -1;
    phase_ = 2;
    boundary_.clear();
    first_part_pending_ = true;
    marked_part_pending_ = false;
    chunked_ = false;
    chunks_ = ChunkedDecoder();
}

void HttpStreamParser::ReleaseFrame() {
    frame_ = nullptr;
    frame_length_ = 0;
    if (pending_discard_ > 0) {
        Discard(pending_discard_);
        pending_discard_ = 0;
    }
}

bool HttpStreamParser::Append(const std::uint8_t* data, int length) {
    ReleaseFrame();
    if (length <= 0) return true;
    if (length > kAccumulationBytes - fill_) return false;
    if (chunked_) {
        fill_ += chunks_.Decode(data, length, buffer_ + fill_);
        return true;
    }
    std::memcpy(buffer_ + fill_, data, static_cast<std::size_t>(length));
    fill_ += length;
    return true;
}

void HttpStreamParser::StartChunked() {
    chunked_ = true;
    const int decoded = chunks_.Decode(buffer_, fill_, buffer_);
    std::memset(buffer_ + decoded, 0, static_cast<std::size_t>(fill_ - decoded));
    fill_ = decoded;
}

void HttpStreamParser::Discard(int count) {
    if (count > fill_) count = fill_;
    if (count <= 0) return;
    std::memmove(buffer_, buffer_ + count, static_cast<std::size_t>(fill_ - count));
    std::memset(buffer_ + fill_ - count, 0, static_cast<std::size_t>(count));
    fill_ -= count;
}

StepResult HttpStreamParser::TakeHeader(int d, bool status_head) {
    StepResult result;
    result.kind = StepKind::Header;
    char header[kMaxHeaderBytes + 2] = {};
    std::memcpy(header, buffer_ + scan_, static_cast<std::size_t>(d));
    // The header and its blank line leave the buffer, together with anything before it that the
    // scan had already passed over.
    Discard(scan_ + d + 4);
    scan_ = 0;

    auto end = [&](EndReason reason) {
        result.kind = StepKind::End;
        result.reason = reason;
        return result;
    };

    if (const char* http = std::strstr(header, "HTTP")) {
        if (std::strstr(http, "200") == nullptr || std::strstr(http, "401") != nullptr) {
            result.detail = LineAt(http);
            return end(EndReason::StatusNotOk);
        }
    }
    if (const char* key = std::strstr(header, "Content-length:")) {
        part_length_ = -1;
        const char* value = key + std::strlen("Content-length:");
        std::size_t n = HeaderLineLength(value);
        if (n > kMaxLengthDigits) n = kMaxLengthDigits;
        if (n > 0) {
            std::string digits(value, n);
            part_length_ = DecimalValue(digits.c_str());
        }
        if (part_length_ > kMaxPartBytes || part_length_ < 1) return end(EndReason::BadPartLength);
    } else if (const char* value =
                   status_head ? nullptr : FindHeaderField(header, "Content-Length")) {
        // Any letter case, spaces before the digits; the same limits. In a reply head the field
        // would size the whole endless body, not a part, so only part headers are read for it.
        part_length_ = -1;
        std::size_t n = HeaderLineLength(value);
        if (n > kMaxLengthDigits) n = kMaxLengthDigits;
        if (n > 0) part_length_ = DecimalValue(std::string(value, n).c_str());
        if (part_length_ > kMaxPartBytes || part_length_ < 1) return end(EndReason::BadPartLength);
    }
    if (const char* date = std::strstr(header, "Date:")) {
        std::size_t n = HeaderLineLength(date);
        if (n > kDeviceLineMaxChars) n = kDeviceLineMaxChars;
        result.device_line_text.assign(date, n);
        result.device_line = ParseDeviceLine(result.device_line_text.c_str());
        result.has_device_line = true;
    }
    ReadBoundary(header);
    if (!status_head) {
        // A head that declared no boundary leaves it to the first part's delimiter line.
        if (first_part_pending_ && boundary_.empty())
            boundary_ = DelimiterBoundary(header, kMaxBoundaryChars);
        first_part_pending_ = false;
        marked_part_pending_ =
            part_length_ == -1 && lengthless_ == LengthlessParts::PresentedByMarkers;
    } else if (const char* coding = FindHeaderField(header, "Transfer-Encoding")) {
        if (IsChunkedCoding(coding)) StartChunked();
    }
    return result;
}

void HttpStreamParser::ReadBoundary(const char* header) {
    const char* type = std::strstr(header, "Content-Type:");
    if (type == nullptr) type = std::strstr(header, "Content-type:");
    if (type != nullptr) {
        static constexpr char kKey[] = "multipart/x-mixed-replace;boundary=";
        const char* key = std::strstr(type, kKey);
        // The device's spelling, its value up to the line's end. A quoted value is another
        // server's, read below without its quotes.
        if (key != nullptr && key[sizeof kKey - 1] != '"') {
            const char* value = key + sizeof kKey - 1;
            std::size_t n = HeaderLineLength(value);
            if (n > kMaxBoundaryChars) n = kMaxBoundaryChars;
            if (n > 0) boundary_.assign(value, n);
            return;
        }
    }
    if (const char* value = FindHeaderField(header, "Content-Type")) {
        std::string boundary = MultipartBoundary(value, kMaxBoundaryChars);
        if (!boundary.empty()) boundary_ = std::move(boundary);
    }
}

bool HttpStreamParser::TakeMarkedFrame(int boundary_at) {
    int start = -1;
    for (int i = 0; i + 1 < boundary_at; ++i) {
        if (buffer_[i] == kMarkerPrefix && buffer_[i + 1] == kStartOfImage) {
            start = i;
            break;
        }
    }
    if (start < 0) return false;
    for (int i = boundary_at - 2; i >= start + 2; --i) {
        if (buffer_[i] == kMarkerPrefix && buffer_[i + 1] == kEndOfImage) {
            const int length = i + 2 - start;
            if (length < kMinPresentedPartBytes || length > kMaxPresentedPartBytes) return false;
            frame_ = buffer_ + start;
            frame_length_ = length;
            return true;
        }
    }
    return false;
}

StepResult HttpStreamParser::Step() {
    StepResult result;
    ReleaseFrame();
    if (chunks_.broken()) {
        result.kind = StepKind::End;
        result.reason = EndReason::BadChunk;
        return result;
    }

    // A length-less part's body is awaited as a pending part's is: its bytes are not looked at
    // for header blocks.
    if (part_length_ == -1 && !marked_part_pending_) {
        if (const char* term = std::strstr(Text(scan_), "\r\n\r\n")) {
            int d = static_cast<int>(term - Text(scan_));
            if (d < kMinHeaderBytes) {
                scan_ += 4;
                result.kind = StepKind::Skipped;
                return result;
            }
            if (d <= kMaxHeaderBytes) {
                std::string header(Text(scan_), static_cast<std::size_t>(d));
                const bool status_head = phase_ == 2;
                const char* key = status_head ? "200" : "image";
                phase_ = 0;
                if (header.find(key) != std::string::npos) {
                    StepResult taken = TakeHeader(d, status_head);
                    if (status_head && taken.kind == StepKind::Header) {
                        std::string type = NonMultipartType(header);
                        if (!type.empty()) {
                            taken.kind = StepKind::End;
                            taken.reason = EndReason::NotMultipart;
                            taken.detail = type;
                        }
                    }
                    return taken;
                }
                // A status line without "200" is the camera's answer to the request (a refusal,
                // a missing resource): no stream follows it, so the session ends on it now.
                if (status_head && header.rfind("HTTP/", 0) == 0) {
                    Discard(scan_ + d + 4);
                    scan_ = 0;
                    result.kind = StepKind::End;
                    result.reason = EndReason::StatusNotOk;
                    result.detail = LineAt(header.c_str());
                    return result;
                }
            }
        }
    }

    // Body: look for the boundary that ends the pending part (or any boundary when none is).
    const char* found = nullptr;
    const char* boundary = boundary_.c_str();
    if (part_length_ > 0) {
        if (fill_ >= part_length_ + static_cast<int>(boundary_.size()) + 6)
            found = std::strstr(Text(scan_ + part_length_), boundary);
    } else if (!boundary_.empty()) {
        // Without a boundary there is nothing to look for yet: an empty search would "find" one
        // at every position and eat a reply head that arrives in small pieces.
        int saved = scan_;
        while ((found = std::strstr(Text(scan_), boundary)) == nullptr) {
            scan_ += static_cast<int>(std::strlen(Text(scan_))) + 1;
            if (scan_ > fill_) {
                scan_ = saved;
                break;
            }
        }
    }
    if (found == nullptr) return result;

    const int boundary_at = static_cast<int>(found - Text(0));
    const int boundary_end = boundary_at + static_cast<int>(boundary_.size()) + 2;
    if (part_length_ >= kMinPresentedPartBytes && part_length_ <= kMaxPresentedPartBytes) {
        frame_ = buffer_ + scan_;
        frame_length_ = part_length_;
        result.kind = StepKind::Frame;
    } else if (marked_part_pending_ && TakeMarkedFrame(boundary_at)) {
        result.kind = StepKind::Frame;
    } else {
        result.kind = StepKind::PartSkipped;
    }
    marked_part_pending_ = false;
    // The frame stays readable until the next step: the discard runs lazily at its start.
    pending_discard_ = boundary_end;
    scan_ = 0;
    part_length_ = -1;
    return result;
}

}  // namespace stream
