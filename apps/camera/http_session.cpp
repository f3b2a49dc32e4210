// The HTTP side of the simulated camera: one HTTP/1.0 request per connection, the probe pages,
// the Motion-JPEG stream and the command CGIs, behind an optional Basic credentials check.
// The hard part is the wire shape the control depends on: reply heads stay short and free of
// the native status digits, and each stream part is followed at once by the next boundary line
// so the receiver can close a frame without waiting for the next one. Configured faults and
// styles enter here: in Send (trickle), in the stream's head and part builder and in the router.
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "apps/camera/faults.h"
#include "apps/camera/net_io.h"
#include "apps/camera/session.h"

namespace camera {

namespace {

constexpr std::size_t kMaxRequestHeadBytes = 8192;
constexpr std::size_t kMaxCommandBodyBytes = 4096;
constexpr int kRequestTimeoutMs = 10000;  // for the head and for the body
constexpr int kSendStallMs = 10000;       // a client that takes nothing this long is dropped
constexpr std::size_t kReceiveChunkBytes = 2048;
constexpr char kBoundary[] = "QuorlinaFrameBoundary";
constexpr char kSpacedBoundary[] = "Quorlina frame boundary";  // quoted-boundary style

// Probe page sizes: fixed so that no head ever carries a length with the native status digits.
constexpr std::size_t kDevInfoBytes = 256;
constexpr std::size_t kDevInfoIdOffset = 204;
constexpr std::array<std::uint8_t, 6> kDeviceId = {0x02, 0x51, 0x4C, 0x43, 0x41, 0x4D};

constexpr char kHomePage[] =
    "<html><head><title>Quorlina camera</title></head><body>"
    "<h1>Quorlina simulated camera</h1><img src=\"/mjpeg.cgi\" alt=\"live picture\">"
    "</body></html>\r\n";

// HTTP status codes the camera replies with.
enum HttpStatus {
    kStatusOk = 200,
    kStatusBadRequest = 400,
    kStatusUnauthorized = 401,
    kStatusNotFound = 404,
    kStatusServerError = 500,
};

const char* ReasonPhrase(int status) {
    switch (status) {
        case kStatusOk:
            return "OK";
        case kStatusBadRequest:
            return "Bad Request";
        case kStatusUnauthorized:
            return "Unauthorized";
        case kStatusNotFound:
            return "Not Found";
        case kStatusServerError:
            return "Internal Server Error";
    }
    return "Error";
}

struct Request {
    std::string method;
    std::string path;  // without scheme, authority and query
    std::vector<std::pair<std::string, std::string>> headers;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

const std::string* FindHeader(const Request& request, std::string_view name) {
    for (const auto& [key, value] : request.headers)
        if (EqualsNoCase(key, name)) return &value;
    return nullptr;
}

// Parses the request line and header lines of a head (without its final empty line).
// Absolute targets ("http://host:port/path", as a proxy would pass them) are reduced to the path.
std::optional<Request> ParseHead(std::string_view head) {
    Request request;
    std::size_t eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == 0 || sp2 == std::string_view::npos || line.substr(sp2 + 1).rfind("HTTP/", 0) != 0)
        return std::nullopt;
    request.method = std::string(line.substr(0, sp1));
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    if (target.size() > 7 && EqualsNoCase(target.substr(0, 7), "http://")) {
        std::size_t slash = target.find('/', 7);
        target = slash == std::string_view::npos ? "/" : target.substr(slash);
    }
    target = target.substr(0, target.find('?'));
    if (target.empty() || target.front() != '/') return std::nullopt;
    request.path = std::string(target);
    while (eol != std::string_view::npos) {
        head.remove_prefix(eol + 2);
        eol = head.find("\r\n");
        line = head.substr(0, eol);
        if (line.empty()) continue;
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return std::nullopt;
        request.headers.emplace_back(std::string(line.substr(0, colon)),
                                     std::string(Trim(line.substr(colon + 1))));
    }
    return request;
}

std::string Base64(std::string_view text) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16 |
                     static_cast<unsigned char>(text[i + 1]) << 8 |
                     static_cast<unsigned char>(text[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 0x3F];
    }
    if (i + 1 == text.size()) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16;
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += "==";
    } else if (i + 2 == text.size()) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16 |
                     static_cast<unsigned char>(text[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += kAlphabet[(v >> 6) & 0x3F];
        out += '=';
    }
    return out;
}

bool Authorized(const Request& request, const CameraConfig& config) {
    if (config.user.empty() && config.password.empty()) return true;
    const std::string* value = FindHeader(request, "Authorization");
    if (!value) return false;
    std::string_view v = *value;
    if (v.size() < 6 || !EqualsNoCase(v.substr(0, 6), "Basic ")) return false;
    return Trim(v.substr(6)) == Base64(config.user + ":" + config.password);
}

// "HTTP/1.0 <status> <reason>" with the given headers; short by design (no Date, no Server).
std::string ReplyHead(int status, const char* content_type, std::size_t content_length) {
    std::string head = "HTTP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
    if (status == kStatusUnauthorized) head += "WWW-Authenticate: Basic realm=\"camera\"\r\n";
    if (content_type) head += std::string("Content-Type: ") + content_type + "\r\n";
    head += "Content-Length: " + std::to_string(content_length) + "\r\n\r\n";
    return head;
}

std::vector<std::uint8_t> DevInfoBody(const CameraConfig& config) {
    char text[kDevInfoIdOffset + 1];
    std::snprintf(text, sizeof text,
                  "DeviceName=Quorlina simulated camera\r\nFirmware=1.0.0\r\nModel=QSC-1\r\n"
                  "Picture=%dx%d\r\nPanTilt=yes\r\n",
                  config.width, config.height);
    std::vector<std::uint8_t> body(kDevInfoBytes, ' ');
    std::copy(text, text + std::char_traits<char>::length(text), body.begin());
    std::copy(kDeviceId.begin(), kDeviceId.end(), body.begin() + kDevInfoIdOffset);
    body[kDevInfoBytes - 2] = '\r';
    body[kDevInfoBytes - 1] = '\n';
    return body;
}

// The device line of a stream part: clock, "O_" with four spare zeros, e-mail, upload, output 2,
// output 1, and "PT_" with pan and tilt as three digits each.
std::string DeviceLine(const DeviceState& state, const ClockFields& clock) {
    char line[80];
    std::snprintf(line, sizeof line, "Date: %s O_0000%c%c%c%c PT_%03d_%03d",
                  FormatClock(clock).c_str(), state.email ? '1' : '0', state.upload ? '1' : '0',
                  state.output2 ? '1' : '0', state.output1 ? '1' : '0', state.pan, state.tilt);
    return line;
}

std::string IoStatusBody(const DeviceState& state, const ClockFields& clock) {
    char body[128];
    std::snprintf(
        body, sizeof body, "Trigger1=%d&Trigger2=%d&ImageUpload=%d&ImageEmail=%d&CurrentTime=%s",
        state.output1, state.output2, state.upload, state.email, FormatClock(clock).c_str());
    return body;
}

class HttpSession {
  public:
    HttpSession(int fd, const std::string& peer, const CameraContext& context)
        : fd_(fd),
          peer_(peer),
          ctx_(context),
          faults_(context.config.faults),
          styles_(context.config.styles) {}

    void Run() {
        ctx_.device.CountConnection(Protocol::kHttp);
        if (faults_.Has(Fault::kSlowAccept) && !PauseUnlessStopped(kSlowAcceptMs, ctx_.stop))
            return;
        std::string why;
        if (!ReadHead(&why)) {
            ctx_.Log("http %s: no request (%s)", peer_.c_str(), why.c_str());
            return;
        }
        ctx_.device.CountRequest(Protocol::kHttp);
        std::optional<Request> request = ParseHead(head_);
        if (!request) {
            Reply(kStatusBadRequest, "malformed request head");
            return;
        }
        request_ = std::move(*request);
        std::string body;
        const bool is_post = request_.method == "POST";
        if (is_post && !ReadBody(&body)) {
            Reply(kStatusBadRequest, "missing, oversized or short body");
            return;
        }
        int status = Route(body);
        if (is_post)
            ctx_.device.LogCommand(ReceivedCommand{request_.path, std::move(body), status});
    }

  private:
    bool Send(std::string_view bytes) {
        const IoResult r = faults_.Has(Fault::kTrickle)
                               ? SendTrickle(fd_, bytes.data(), bytes.size(), ctx_.stop,
                                             kSendStallMs, kTrickleGapUs)
                               : SendAll(fd_, bytes.data(), bytes.size(), ctx_.stop, kSendStallMs);
        return r == IoResult::kOk;
    }

    // Reads up to the empty line; what follows it stays in rest_.
    bool ReadHead(std::string* why) {
        char chunk[kReceiveChunkBytes];
        for (;;) {
            std::size_t end = head_.find("\r\n\r\n");
            if (end != std::string::npos) {
                rest_ = head_.substr(end + 4);
                head_.resize(end);
                return true;
            }
            if (head_.size() > kMaxRequestHeadBytes) {
                *why = "head too long";
                return false;
            }
            std::size_t got = 0;
            IoResult r = RecvSome(fd_, chunk, sizeof chunk, &got, ctx_.stop, kRequestTimeoutMs);
            if (r != IoResult::kOk) {
                *why = to_string(r);
                return false;
            }
            head_.append(chunk, got);
        }
    }

    bool ReadBody(std::string* body) {
        const std::string* length_text = FindHeader(request_, "Content-Length");
        if (!length_text) return false;
        std::size_t length = 0;
        auto [end, ec] =
            std::from_chars(length_text->data(), length_text->data() + length_text->size(), length);
        if (ec != std::errc() || end != length_text->data() + length_text->size() ||
            length > kMaxCommandBodyBytes)
            return false;
        *body = rest_.substr(0, length);
        if (body->size() < length) {
            std::string more(length - body->size(), '\0');
            if (RecvExact(fd_, more.data(), more.size(), ctx_.stop, kRequestTimeoutMs) !=
                IoResult::kOk)
                return false;
            *body += more;
        }
        return true;
    }

    // Sends a head with an empty body and ends the exchange.
    int Reply(int status, const char* why) {
        Send(ReplyHead(status, nullptr, 0));
        ctx_.Log("http %s: %s %s -> %d (%s)", peer_.c_str(), request_.method.c_str(),
                 request_.path.c_str(), status, why);
        return status;
    }

    int ReplyBody(const char* content_type, std::string_view body) {
        Send(ReplyHead(kStatusOk, content_type, body.size()) + std::string(body));
        ctx_.Log("http %s: %s %s -> 200", peer_.c_str(), request_.method.c_str(),
                 request_.path.c_str());
        return kStatusOk;
    }

    int Command(CommandResult result) {
        if (result == CommandResult::kMalformed) return Reply(kStatusBadRequest, "malformed body");
        return ReplyBody("text/plain", result == CommandResult::kApplied ? "OK\r\n" : "NONE\r\n");
    }

    int Route(const std::string& body) {
        if (faults_.Has(Fault::kUnauthorized))
            return Reply(kStatusUnauthorized, "every request refused");
        if (!Authorized(request_, ctx_.config)) return Reply(kStatusUnauthorized, "credentials");
        const std::string& path = request_.path;
        const bool get = request_.method == "GET";
        const bool post = request_.method == "POST";
        const auto now = DeviceModel::Clock::now();
        const bool device_page =
            EqualsNoCase(path, "/HOME.htm") || EqualsNoCase(path, "/DevInfo.CGI") ||
            EqualsNoCase(path, "/iocontrol.cgi") || EqualsNoCase(path, "/pantiltcontrol.cgi");
        if (device_page && styles_.Has(Style::kNoDevicePages))
            return Reply(kStatusNotFound, "no device pages in this style");
        if (styles_.Has(Style::kStreamPath)) {
            if (get && path == kStyleStreamPath) return Stream();
            if (EqualsNoCase(path, "/mjpeg.cgi"))
                return Reply(kStatusNotFound, "the stream is at its own path in this style");
        }
        if (get && EqualsNoCase(path, "/HOME.htm")) return ReplyBody("text/html", kHomePage);
        if (get && EqualsNoCase(path, "/DevInfo.CGI")) {
            std::vector<std::uint8_t> info = DevInfoBody(ctx_.config);
            return ReplyBody(
                "text/plain",
                std::string_view(reinterpret_cast<const char*>(info.data()), info.size()));
        }
        if (get && EqualsNoCase(path, "/mjpeg.cgi")) return Stream();
        if (get && EqualsNoCase(path, "/iocontrol.cgi"))
            return ReplyBody("text/plain",
                             IoStatusBody(ctx_.device.Snapshot(now), ReadDeviceClock()));
        const bool command = post && (EqualsNoCase(path, "/iocontrol.cgi") ||
                                      EqualsNoCase(path, "/pantiltcontrol.cgi"));
        if (command && faults_.Has(Fault::kRefuseOutputs))
            return Reply(kStatusServerError, "commands refused");
        if (post && EqualsNoCase(path, "/iocontrol.cgi"))
            return Command(ctx_.device.ApplyIoControl(body, now));
        if (post && EqualsNoCase(path, "/pantiltcontrol.cgi"))
            return Command(ctx_.device.ApplyPanTilt(body, now));
        return Reply(kStatusNotFound, "no such resource");
    }

    // The Motion-JPEG stream: one part per frame tick until the client leaves or the camera
    // stops. Part = length header, device line, type header, empty line, JPEG, CR LF, boundary.
    int Stream() {
        const bool bounded = !faults_.Has(Fault::kNoBoundary);
        const std::string boundary =
            styles_.Has(Style::kQuotedBoundary) ? kSpacedBoundary : kBoundary;
        const std::string boundary_line = bounded ? "--" + boundary + "\r\n" : "";
        ctx_.Log(
            "http %s: GET %s -> 200 (stream%s%s%s%s)", peer_.c_str(), request_.path.c_str(),
            faults_.Empty() ? "" : ", faults: ", faults_.Empty() ? "" : faults_.Describe().c_str(),
            styles_.Empty() ? "" : ", style: ", styles_.Empty() ? "" : styles_.Describe().c_str());
        std::string head = "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace";
        if (bounded && styles_.Has(Style::kQuotedBoundary))
            head += " ; Boundary = \"" + boundary + "\"";
        else if (bounded && !styles_.Has(Style::kLateBoundary))
            head += ";boundary=" + boundary;
        if (!Send(head + "\r\nPragma: no-cache\r\n\r\n" + boundary_line)) return kStatusOk;
        std::mt19937 random(kFaultSeed);
        for (int sent = 0;; ++sent) {
            if (faults_.Has(Fault::kStallAfter) && sent == faults_.StallAfter()) {
                ctx_.Log("http %s: stalling after %d frames", peer_.c_str(), sent);
                HoldSilent(fd_, ctx_.stop);
                return kStatusOk;
            }
            DeviceState state;
            ClockFields clock;
            const std::int64_t frame = ctx_.CurrentFrame();
            JpegBytes jpeg = ctx_.FrameNow(&state, &clock);
            if (!jpeg) return kStatusOk;
            std::size_t payload_at = 0;
            std::size_t payload_size = 0;
            const std::string part = BuildPart(*jpeg, DeviceLine(state, clock), boundary_line,
                                               random, &payload_at, &payload_size);
            if (faults_.Has(Fault::kDropAfter) && sent == faults_.DropAfter()) {
                Send(std::string_view(part).substr(0, payload_at + payload_size / 2));
                ctx_.Log("http %s: dropping mid-frame after %d frames", peer_.c_str(), sent);
                return kStatusOk;
            }
            if (!Send(part)) return kStatusOk;
            if (!WaitForNextFrame(frame)) return kStatusOk;
        }
    }

    // One stream part with the configured damage. *payload_at and *payload_size tell where the
    // JPEG (as damaged) lies in it; garbage replaces the whole part by as many random bytes.
    std::string BuildPart(const std::vector<std::uint8_t>& jpeg, const std::string& device_line,
                          const std::string& boundary_line, std::mt19937& random,
                          std::size_t* payload_at, std::size_t* payload_size) const {
        std::vector<std::uint8_t> payload = DamageJpeg(jpeg, faults_, random);
        if (faults_.Has(Fault::kOversize)) payload = PadJpeg(payload, kOversizeHttpPartBytes);
        const std::size_t declared =
            payload.size() + (faults_.Has(Fault::kBadLength) ? kBadLengthExtraBytes : 0);
        std::string part;
        if (styles_.Has(Style::kPaddedLength)) {
            char line[48];
            std::snprintf(line, sizeof line, "Content-Length: %*zu\r\n", kPaddedLengthDigits,
                          declared);
            part = line;
        } else if (!styles_.Has(Style::kNoLength)) {
            part = faults_.Has(Fault::kCapitalLength) ? "Content-Length: " : "Content-length: ";
            part += std::to_string(declared) + "\r\n";
        }
        part += device_line + "\r\nContent-type: image/jpeg\r\n\r\n";
        *payload_at = part.size();
        *payload_size = payload.size();
        part.append(reinterpret_cast<const char*>(payload.data()), payload.size());
        part += "\r\n" + boundary_line;
        if (faults_.Has(Fault::kGarbage)) {
            const std::vector<std::uint8_t> noise = RandomBytes(part.size(), random);
            part.assign(reinterpret_cast<const char*>(noise.data()), noise.size());
        }
        return part;
    }

    // Waits for the next frame tick, reading (and dropping) anything the client sends; false
    // when the client closed or the camera stops.
    bool WaitForNextFrame(std::int64_t frame) {
        char scratch[kReceiveChunkBytes];
        std::size_t got = 0;
        if (ctx_.config.fps == 0) {
            // Unpaced: only what the client sent is taken up; the socket's flow control paces.
            const IoResult r = RecvSome(fd_, scratch, sizeof scratch, &got, ctx_.stop, 0);
            return r == IoResult::kOk || r == IoResult::kTimeout;
        }
        const auto next = ctx_.FrameStart(frame + 1);
        while (ctx_.CurrentFrame() <= frame) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                next - std::chrono::steady_clock::now());
            left = std::max(left, std::chrono::milliseconds(1));
            IoResult r = RecvSome(fd_, scratch, sizeof scratch, &got, ctx_.stop,
                                  static_cast<int>(left.count()));
            if (r != IoResult::kOk && r != IoResult::kTimeout) return false;
        }
        return true;
    }

    const int fd_;
    const std::string& peer_;
    const CameraContext& ctx_;
    const FaultSet& faults_;
    const StyleSet& styles_;
    std::string head_;
    std::string rest_;
    Request request_;
};

}  // namespace

void ServeHttpClient(int fd, const std::string& peer, const CameraContext& context) {
    HttpSession(fd, peer, context).Run();
    ::shutdown(fd, SHUT_WR);
    CloseSocket(fd);
}

}  // namespace camera
