// The native side of the simulated camera: greeting, optional login, then a loop of 4-byte
// messages (frame, real-time data, output command, goodbye) on one connection.
// The hard part is the login: the challenge is random per connection and the response is
// checked with the same function the control answers it with. Frames are sent on request only,
// and never faster than the camera captures them: a request that comes before the next capture
// is answered when it is there. Configured faults enter in Send (trickle), the greeting
// (unauthorized, slow-accept), the frame reply and the output command.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "apps/camera/faults.h"
#include "apps/camera/net_io.h"
#include "apps/camera/session.h"
#include "device/login_response.h"

namespace camera {

namespace {

constexpr std::size_t kStatusBytes = 4;
constexpr std::size_t kReadyBlockBytes = 126;
constexpr std::size_t kShortBlockBytes = 30;
constexpr std::size_t kPaceOffset = 124;        // ready block bytes 124-125: pacing value, LE
constexpr std::size_t kFrameLengthBytes = 4;    // frame reply: 32-bit LE length, then the JPEG
constexpr std::size_t kUserBytes = 12;          // credential block: user name ...
constexpr std::size_t kPasswordBytes = 8;       // ... then password
constexpr std::size_t kSerialTokenBytes = 260;  // serial login: token, zero-padded
constexpr std::size_t kRealTimeReplyBytes = 70;
constexpr std::size_t kTimeTextOffset = 26;
constexpr std::size_t kTimeTextBytes = 44;
constexpr int kLoginTimeoutMs = 10000;
constexpr int kMessageTimeoutMs = 5000;  // for the rest of a message once it has begun
constexpr int kSendStallMs = 10000;
static_assert(kUserBytes + kPasswordBytes == device::kLoginCredentialBytes);
static_assert(kTimeTextOffset + kTimeTextBytes == kRealTimeReplyBytes);

// Statuses and messages of the protocol, four ASCII digits each.
constexpr std::string_view kStatusReady = "0200";
constexpr std::string_view kStatusReadyShort = "0501";
constexpr std::string_view kStatusLoginRequired = "0301";
constexpr std::string_view kStatusOutputDone = "0210";
constexpr std::string_view kStatusRefused = "0502";
constexpr std::string_view kMessageChallengeLogin = "0001";
constexpr std::string_view kMessageSerialLogin = "0003";
constexpr std::string_view kMessageOutput = "0002";
constexpr std::string_view kMessageFrame = "0110";
constexpr std::string_view kMessageRealTime = "0111";
constexpr std::string_view kMessageGoodbye = "1111";

constexpr char kDeviceName[] = "Quorlina simulated camera";
// A greeting answered by an HTTP request: a probe (or a browser) that took this port for a web
// server, not a failed login.
constexpr char kHttpRequestOutcome[] = "HTTP request";

// Whether four bytes a client sent begin an HTTP request ("GET ", "POST", "HEAD").
bool IsHttpMethod(std::string_view code) {
    return code == "GET " || code == "POST" || code == "HEAD";
}

void PutLe16(std::uint8_t* p, unsigned value) {
    p[0] = static_cast<std::uint8_t>(value & 0xFF);
    p[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

class NativeSession {
  public:
    NativeSession(int fd, const std::string& peer, const CameraContext& context)
        : fd_(fd),
          peer_(peer),
          ctx_(context),
          faults_(context.config.faults),
          random_(kFaultSeed) {}

    void Run() {
        ctx_.device.CountConnection(Protocol::kNative);
        if (faults_.Has(Fault::kSlowAccept) && !PauseUnlessStopped(kSlowAcceptMs, ctx_.stop))
            return;
        std::string outcome;
        if (!Greet(&outcome)) {
            if (outcome == kHttpRequestOutcome)
                ctx_.Log("native %s: HTTP request on the native port, closing", peer_.c_str());
            else
                ctx_.Log("native %s: login %s refused (%s)", peer_.c_str(),
                         to_string(ctx_.config.login), outcome.c_str());
            return;
        }
        ctx_.Log("native %s: login %s accepted", peer_.c_str(), to_string(ctx_.config.login));
        Serve();
    }

  private:
    bool Send(const void* data, std::size_t size) {
        const IoResult r =
            faults_.Has(Fault::kTrickle)
                ? SendTrickle(fd_, data, size, ctx_.stop, kSendStallMs, kTrickleGapUs)
                : SendAll(fd_, data, size, ctx_.stop, kSendStallMs);
        return r == IoResult::kOk;
    }

    bool SendStatus(std::string_view status, std::size_t block_bytes) {
        std::array<std::uint8_t, kStatusBytes + kReadyBlockBytes> reply{};
        std::memcpy(reply.data(), status.data(), kStatusBytes);
        return Send(reply.data(), kStatusBytes + block_bytes);
    }

    bool SendReady() {
        std::array<std::uint8_t, kStatusBytes + kReadyBlockBytes> reply{};
        std::memcpy(reply.data(), kStatusReady.data(), kStatusBytes);
        std::memcpy(reply.data() + kStatusBytes, kDeviceName, sizeof kDeviceName);
        PutLe16(reply.data() + kStatusBytes + kPaceOffset, static_cast<unsigned>(ctx_.config.pace));
        return Send(reply.data(), reply.size());
    }

    bool Greet(std::string* outcome) {
        if (faults_.Has(Fault::kUnauthorized)) return RefuseEveryLogin(outcome);
        switch (ctx_.config.login) {
            case LoginMode::kNone:
                return SendReady();
            case LoginMode::kNoneShort:
                return SendStatus(kStatusReadyShort, kShortBlockBytes);
            case LoginMode::kChallenge:
            case LoginMode::kSerial:
                break;
        }
        std::array<std::uint8_t, kStatusBytes + kReadyBlockBytes> greeting{};
        std::memcpy(greeting.data(), kStatusLoginRequired.data(), kStatusBytes);
        std::uint8_t* challenge = greeting.data() + kStatusBytes;
        std::random_device random;
        for (std::size_t i = 0; i < device::kLoginChallengeBytes; ++i)
            challenge[i] = static_cast<std::uint8_t>(random());
        PutLe16(challenge + kPaceOffset, static_cast<unsigned>(ctx_.config.pace));
        if (!Send(greeting.data(), greeting.size())) return false;

        const bool serial = ctx_.config.login == LoginMode::kSerial;
        char code[kStatusBytes];
        IoResult r = RecvExact(fd_, code, sizeof code, ctx_.stop, kLoginTimeoutMs);
        if (r != IoResult::kOk) {
            *outcome = to_string(r);
            return false;
        }
        const std::string_view expected_code =
            serial ? kMessageSerialLogin : kMessageChallengeLogin;
        bool accepted = std::string_view(code, sizeof code) == expected_code;
        if (!accepted && IsHttpMethod(std::string_view(code, sizeof code))) {
            *outcome = kHttpRequestOutcome;
            return false;
        }
        if (!accepted) {
            *outcome = "unexpected message " + std::string(code, sizeof code);
        } else if (serial) {
            std::array<char, kSerialTokenBytes> token{};
            r = RecvExact(fd_, token.data(), token.size(), ctx_.stop, kLoginTimeoutMs);
            std::string_view sent(token.data(), strnlen(token.data(), token.size()));
            accepted = r == IoResult::kOk && sent == ctx_.config.serial;
            *outcome = r == IoResult::kOk ? "wrong serial token" : to_string(r);
        } else {
            std::array<std::uint8_t, device::kLoginResponseBytes> response{};
            r = RecvExact(fd_, response.data(), response.size(), ctx_.stop, kLoginTimeoutMs);
            std::array<std::uint8_t, device::kLoginCredentialBytes> credentials{};
            const std::string& user = ctx_.config.user;
            const std::string& password = ctx_.config.password;
            std::copy_n(user.begin(), std::min(user.size(), kUserBytes), credentials.begin());
            std::copy_n(password.begin(), std::min(password.size(), kPasswordBytes),
                        credentials.begin() + kUserBytes);
            std::array<std::uint8_t, device::kLoginResponseBytes> want{};
            device::ComputeLoginResponse(challenge, credentials.data(), want.data());
            accepted = r == IoResult::kOk && response == want;
            *outcome = r == IoResult::kOk ? "wrong response" : to_string(r);
        }
        if (!accepted) {
            SendStatus(kStatusRefused, kShortBlockBytes);
            return false;
        }
        return SendReady();
    }

    // Asks for a login, takes in whatever login message comes, and refuses it.
    bool RefuseEveryLogin(std::string* outcome) {
        std::array<std::uint8_t, kStatusBytes + kReadyBlockBytes> greeting{};
        std::memcpy(greeting.data(), kStatusLoginRequired.data(), kStatusBytes);
        std::random_device random;
        for (std::size_t i = 0; i < device::kLoginChallengeBytes; ++i)
            greeting[kStatusBytes + i] = static_cast<std::uint8_t>(random());
        if (!Send(greeting.data(), greeting.size())) return false;
        char code[kStatusBytes];
        if (RecvExact(fd_, code, sizeof code, ctx_.stop, kLoginTimeoutMs) == IoResult::kOk) {
            const std::string_view m(code, sizeof code);
            if (IsHttpMethod(m)) {
                *outcome = kHttpRequestOutcome;
                return false;
            }
            const std::size_t rest = m == kMessageChallengeLogin ? device::kLoginResponseBytes
                                     : m == kMessageSerialLogin  ? kSerialTokenBytes
                                                                 : 0;
            std::array<char, kSerialTokenBytes> scratch{};
            if (rest > 0) RecvExact(fd_, scratch.data(), rest, ctx_.stop, kLoginTimeoutMs);
            *outcome = "every login refused, got " + std::string(m);
        } else {
            *outcome = "every login refused, got nothing";
        }
        SendStatus(kStatusRefused, kShortBlockBytes);
        return false;
    }

    void Serve() {
        for (;;) {
            char message[kStatusBytes];
            if (RecvExact(fd_, message, sizeof message, ctx_.stop, -1) != IoResult::kOk) return;
            ctx_.device.CountRequest(Protocol::kNative);
            const std::string_view m(message, sizeof message);
            bool go_on = false;
            if (m == kMessageFrame)
                go_on = SendFrame();
            else if (m == kMessageRealTime)
                go_on = SendRealTime();
            else if (m == kMessageOutput)
                go_on = SwitchOutput();
            else if (m == kMessageGoodbye)
                return;
            else if (IsHttpMethod(m))
                ctx_.Log("native %s: HTTP request on the native port, closing", peer_.c_str());
            else
                ctx_.Log("native %s: unknown message, closing", peer_.c_str());
            if (!go_on) return;
        }
    }

    // The frame reply: the length, then the JPEG, with the configured damage.
    bool SendFrame() {
        if (faults_.Has(Fault::kStallAfter) && frames_sent_ == faults_.StallAfter()) {
            ctx_.Log("native %s: stalling after %d frames", peer_.c_str(), frames_sent_);
            HoldSilent(fd_, ctx_.stop);
            return false;
        }
        if (!WaitForCapture()) return false;
        JpegBytes jpeg = ctx_.FrameNow(nullptr, nullptr);
        if (!jpeg) return false;
        std::vector<std::uint8_t> payload = DamageJpeg(*jpeg, faults_, random_);
        if (faults_.Has(Fault::kOversize)) payload = PadJpeg(payload, kOversizeNativeFrameBytes);
        const auto declared = static_cast<std::uint32_t>(
            payload.size() + (faults_.Has(Fault::kBadLength) ? kBadLengthExtraBytes : 0));
        std::vector<std::uint8_t> reply(kFrameLengthBytes + payload.size());
        PutLe16(reply.data(), declared & 0xFFFF);
        PutLe16(reply.data() + 2, declared >> 16);
        std::copy(payload.begin(), payload.end(), reply.begin() + kFrameLengthBytes);
        if (faults_.Has(Fault::kGarbage)) reply = RandomBytes(reply.size(), random_);
        if (faults_.Has(Fault::kDropAfter) && frames_sent_ == faults_.DropAfter()) {
            Send(reply.data(), kFrameLengthBytes + payload.size() / 2);
            ctx_.Log("native %s: dropping mid-frame after %d frames", peer_.c_str(), frames_sent_);
            return false;
        }
        ++frames_sent_;
        return Send(reply.data(), reply.size());
    }

    // Each captured frame goes out once: a request that comes before the next capture (at the
    // configured frame rate) waits for it. False when the camera stops meanwhile.
    bool WaitForCapture() {
        if (ctx_.config.fps == 0) return true;
        while (last_frame_ >= 0 && ctx_.CurrentFrame() <= last_frame_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                ctx_.FrameStart(last_frame_ + 1) - std::chrono::steady_clock::now());
            if (!PauseUnlessStopped(std::max(1, static_cast<int>(left.count())), ctx_.stop))
                return false;
        }
        last_frame_ = ctx_.CurrentFrame();
        return true;
    }

    // Real-time data: bytes 4 and 5 the upload and e-mail services, 8 and 9 the outputs,
    // 12..25 the clock (second, minute, hour, weekday, month, day, year; 16-bit LE each),
    // 26..69 the clock as NUL-terminated text.
    bool SendRealTime() {
        const DeviceState state = ctx_.device.Snapshot(DeviceModel::Clock::now());
        const ClockFields clock = ReadDeviceClock();
        std::array<std::uint8_t, kRealTimeReplyBytes> reply{};
        reply[4] = state.upload;
        reply[5] = state.email;
        reply[8] = state.output1;
        reply[9] = state.output2;
        const int fields[] = {clock.second, clock.minute, clock.hour, clock.weekday,
                              clock.month,  clock.day,    clock.year};
        for (std::size_t i = 0; i < std::size(fields); ++i)
            PutLe16(reply.data() + 12 + 2 * i, static_cast<unsigned>(fields[i]));
        const std::string text = FormatClock(clock);
        std::memcpy(reply.data() + kTimeTextOffset, text.data(),
                    std::min(text.size(), kTimeTextBytes - 1));
        return Send(reply.data(), reply.size());
    }

    bool SwitchOutput() {
        std::uint8_t args[2];
        if (RecvExact(fd_, args, sizeof args, ctx_.stop, kMessageTimeoutMs) != IoResult::kOk)
            return false;
        const bool refuse = ctx_.config.refuse_outputs || faults_.Has(Fault::kRefuseOutputs);
        const bool done = !refuse && ctx_.device.SwitchOutput(args[0], args[1]);
        ctx_.device.LogCommand(ReceivedCommand{std::string(kMessageOutput),
                                               std::string(reinterpret_cast<char*>(args), 2),
                                               done ? 210 : 502});
        return SendStatus(done ? kStatusOutputDone : kStatusRefused, kShortBlockBytes);
    }

    const int fd_;
    const std::string& peer_;
    const CameraContext& ctx_;
    const FaultSet& faults_;
    std::mt19937 random_;
    int frames_sent_ = 0;          // on this connection
    std::int64_t last_frame_ = -1;  // number of the last captured frame sent on it
};

}  // namespace

void ServeNativeClient(int fd, const std::string& peer, const CameraContext& context) {
    NativeSession(fd, peer, context).Run();
    CloseSocket(fd);
}

}  // namespace camera
