// The parse step. Each call classifies what starts at the scan position (header block or body),
// then either takes the header (status, part length, device line, boundary) or looks for the
// boundary that ends the pending part and hands the part out as a frame.
#include "stream/http_stream_parser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace stream {

namespace {

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
// without a boundary, taken by their lengths alone) and when the head declares none.
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
    const bool pictures = lower_type.rfind("multipart/", 0) == 0 || lower_type.rfind("image/", 0) == 0;
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
    }
    return "unknown";
}

HttpStreamParser::HttpStreamParser() : buffer_(new std::uint8_t[kAccumulationBytes + 1]()) {}
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
    std::memcpy(buffer_ + fill_, data, static_cast<std::size_t>(length));
    fill_ += length;
    return true;
}

void HttpStreamParser::Discard(int count) {
    if (count > fill_) count = fill_;
    if (count <= 0) return;
    std::memmove(buffer_, buffer_ + count, static_cast<std::size_t>(fill_ - count));
    std::memset(buffer_ + fill_ - count, 0, static_cast<std::size_t>(count));
    fill_ -= count;
}

StepResult HttpStreamParser::TakeHeader(int d) {
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
        const char* crlf = std::strstr(value, "\r\n");
        std::size_t n = crlf ? static_cast<std::size_t>(crlf - value) : std::strlen(value);
        if (n > kMaxLengthDigits) n = kMaxLengthDigits;
        if (n > 0) {
            std::string digits(value, n);
            part_length_ = DecimalValue(digits.c_str());
        }
        if (part_length_ > kMaxPartBytes || part_length_ < 1) return end(EndReason::BadPartLength);
    }
    if (const char* date = std::strstr(header, "Date:")) {
        if (const char* cr = std::strstr(date, "\r\n")) {
            std::size_t n = static_cast<std::size_t>(cr - date);
            if (n > kDeviceLineMaxChars) n = kDeviceLineMaxChars;
            result.device_line_text.assign(date, n);
            result.device_line = ParseDeviceLine(result.device_line_text.c_str());
            result.has_device_line = true;
        }
    }
    const char* type = std::strstr(header, "Content-Type:");
    if (type == nullptr) type = std::strstr(header, "Content-type:");
    if (type != nullptr) {
        static constexpr char kKey[] = "multipart/x-mixed-replace;boundary=";
        if (const char* key = std::strstr(type, kKey)) {
            const char* value = key + sizeof kKey - 1;
            if (const char* crlf = std::strstr(value, "\r\n")) {
                std::size_t n = static_cast<std::size_t>(crlf - value);
                if (n > kMaxBoundaryChars) n = kMaxBoundaryChars;
                if (n > 0) boundary_.assign(value, n);
            }
        }
    }
    return result;
}

StepResult HttpStreamParser::Step() {
    StepResult result;
    ReleaseFrame();

    if (part_length_ == -1) {
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
                    StepResult taken = TakeHeader(d);
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

    const int boundary_end = static_cast<int>(found - Text(0)) + static_cast<int>(boundary_.size()) + 2;
    if (part_length_ >= kMinPresentedPartBytes && part_length_ <= kMaxPresentedPartBytes) {
        frame_ = buffer_ + scan_;
        frame_length_ = part_length_;
        result.kind = StepKind::Frame;
    } else {
        result.kind = StepKind::PartSkipped;
    }
    // The frame stays readable until the next step: the discard runs lazily at its start.
    pending_discard_ = boundary_end;
    scan_ = 0;
    part_length_ = -1;
    return result;
}

}  // namespace stream
