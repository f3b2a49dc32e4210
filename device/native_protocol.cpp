// The native protocol's steps (see native_protocol.h). Each step reads with the socket client's
// own calls and checks every count before it uses the bytes: a status, block, length or frame
// that did not arrive whole ends the step with its own result.
#include "device/native_protocol.h"

#include <algorithm>
#include <cstring>

namespace device {

namespace {

constexpr int kSerialTextBytes = kSerialLoginBytes - kStatusBytes;  // 260
constexpr int kOutputNumberOffset = 4;
constexpr int kOutputStateOffset = 5;

// Real-time reply layout: offset of each field the control stores.
constexpr int kOutput1Offset = 8;
constexpr int kOutput2Offset = 9;
constexpr int kClockSecondOffset = 12;
constexpr int kClockMinuteOffset = 14;
constexpr int kClockHourOffset = 16;
constexpr int kClockMonthOffset = 20;  // 18-19 hold a value the control does not use
constexpr int kClockDayOffset = 22;
constexpr int kClockYearOffset = 24;
constexpr int kTimeTextOffset = 26;
constexpr int kTimeTextBytes = 44;
static_assert(kTimeTextOffset + kTimeTextBytes == kRealTimeReplyBytes);

bool IsCode(const std::uint8_t* bytes, const char* code) {
    return std::memcmp(bytes, code, kStatusBytes) == 0;
}

void CopyText(const std::string& text, std::uint8_t* out, std::size_t capacity) {
    std::memcpy(out, text.data(), std::min(text.size(), capacity));
}

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The four status bytes as text, each unprintable byte as '?'; empty when none arrived.
std::string StatusText(const std::uint8_t status[kStatusBytes]) {
    std::string text;
    for (int i = 0; i < kStatusBytes && status[i] != 0; ++i)
        text += (status[i] >= 0x20 && status[i] < 0x7F) ? static_cast<char>(status[i]) : '?';
    return text;
}

bool Carried(int received, int offset, int width) {
    return received >= offset + width;
}

// Sends a message whole; false when the socket took fewer bytes.
bool SendWhole(net::SocketClient& link, const void* data, int length) {
    return link.SendAll(data, length) == length;
}

// After a login message: one receive of the status, which must be a ready status, then the
// ready block.
NativeResult FinishLogin(net::SocketClient& link, int timeout_s,
                         std::uint8_t block[kBlockBufferBytes], std::string* status_text) {
    std::uint8_t status[kStatusBytes];
    const NativeStatus answer = ReadStatus(link, StatusRead::kOneReceive, timeout_s, status);
    if (status_text != nullptr) *status_text = StatusText(status);
    if (answer == NativeStatus::kIncomplete) return NativeResult::kNoStatus;
    if (answer != NativeStatus::kReady) return NativeResult::kLoginRefused;
    if (link.ReceiveAll(block, kReadyBlockBytes, timeout_s) != kReadyBlockBytes) {
        return NativeResult::kShortBlock;
    }
    return NativeResult::kOk;
}

}  // namespace

const char* to_string(NativeStatus status) {
    switch (status) {
        case NativeStatus::kReady:
            return "ready";
        case NativeStatus::kLoginRequired:
            return "login required";
        case NativeStatus::kReadyShort:
            return "ready with a short block";
        case NativeStatus::kOutputDone:
            return "output switched";
        case NativeStatus::kOutputRefused:
            return "output refused";
        case NativeStatus::kOther:
            return "unknown status";
        case NativeStatus::kIncomplete:
            return "incomplete status";
    }
    return "unknown status";
}

const char* to_string(NativeResult result) {
    switch (result) {
        case NativeResult::kOk:
            return "ok";
        case NativeResult::kNoFrame:
            return "no frame this time";
        case NativeResult::kConnectFailed:
            return "connect failed";
        case NativeResult::kNoStatus:
            return "status did not arrive whole";
        case NativeResult::kUnknownGreeting:
            return "unknown greeting";
        case NativeResult::kShortBlock:
            return "block did not arrive whole";
        case NativeResult::kSendFailed:
            return "send failed";
        case NativeResult::kLoginRefused:
            return "login refused";
        case NativeResult::kNoLength:
            return "frame length did not arrive whole";
        case NativeResult::kFrameTooLong:
            return "frame length too large";
        case NativeResult::kShortFrame:
            return "frame did not arrive whole";
        case NativeResult::kShortReply:
            return "real-time reply did not arrive whole";
        case NativeResult::kOutputRefused:
            return "output command refused";
        case NativeResult::kUnknownStatus:
            return "unknown reply status";
    }
    return "unknown result";
}

namespace {

// A step that ended short: the device closed the connection, or did not answer in time.
control::Reason ShortRead(net::SocketClient& link, const char* what, int timeout_s) {
    if (!link.IsConnectionAlive())
        return {control::ReasonCode::ClosedByCamera,
                std::string("connection closed by the camera (no ") + what + ")"};
    return {control::ReasonCode::NoAnswer,
            std::string("no ") + what + " within " + std::to_string(timeout_s) + " s"};
}

}  // namespace

control::Reason FailureReason(NativeResult result, net::SocketClient& link, int timeout_s,
                              const std::string& status, std::uint32_t declared) {
    using control::ReasonCode;
    switch (result) {
        case NativeResult::kUnknownGreeting:
            return {ReasonCode::UnknownGreeting, "unknown greeting \"" + status + "\""};
        case NativeResult::kLoginRefused:
            return {ReasonCode::LoginRefused, "camera refused the login (" + status + ")"};
        case NativeResult::kFrameTooLong:
            return {ReasonCode::FrameLength, "frame length " + std::to_string(declared) +
                                                 " above " + std::to_string(kMaxFrameBytes)};
        case NativeResult::kOutputRefused:
            return {ReasonCode::NoAnswer, "camera refused the output command (0502)"};
        case NativeResult::kUnknownStatus:
            return {ReasonCode::NoAnswer, "unknown answer \"" + status + "\""};
        case NativeResult::kShortBlock:
            return ShortRead(link, "whole block after the status", timeout_s);
        case NativeResult::kShortFrame:
            return ShortRead(link, "whole frame", timeout_s);
        case NativeResult::kNoLength:
            return ShortRead(link, "frame length", timeout_s);
        case NativeResult::kShortReply:
            return ShortRead(link, "whole real-time reply", timeout_s);
        case NativeResult::kSendFailed:
            return ShortRead(link, "room for the request", timeout_s);
        case NativeResult::kConnectFailed:
            return {ReasonCode::ConnectFailed, "connect failed"};
        default:
            return ShortRead(link, "status", timeout_s);
    }
}

NativeStatus ClassifyStatus(const std::uint8_t* bytes, int received) {
    if (received != kStatusBytes) return NativeStatus::kIncomplete;
    if (IsCode(bytes, "0200") || IsCode(bytes, "0201") || IsCode(bytes, "0202")) {
        return NativeStatus::kReady;
    }
    if (IsCode(bytes, "0301")) return NativeStatus::kLoginRequired;
    if (IsCode(bytes, "0501")) return NativeStatus::kReadyShort;
    if (IsCode(bytes, "0210")) return NativeStatus::kOutputDone;
    if (IsCode(bytes, "0502")) return NativeStatus::kOutputRefused;
    return NativeStatus::kOther;
}

void BuildCredentialBlock(const std::string& user, const std::string& password,
                          std::uint8_t out[kLoginCredentialBytes]) {
    std::memset(out, 0, kLoginCredentialBytes);
    CopyText(user, out, kUserNameLoginBytes);
    CopyText(password, out + kUserNameLoginBytes, kPasswordLoginBytes);
}

void BuildSerialLogin(const std::string& serial, std::uint8_t out[kSerialLoginBytes]) {
    std::memset(out, 0, kSerialLoginBytes);
    std::memcpy(out, kSerialLoginCode, kStatusBytes);
    CopyText(serial, out + kStatusBytes, kSerialTextBytes - 1);
}

void BuildOutputCommand(int output, std::int32_t value, std::uint8_t out[kOutputCommandBytes]) {
    std::memcpy(out, kOutputCommandCode, kStatusBytes);
    out[kOutputNumberOffset] = static_cast<std::uint8_t>(output);
    out[kOutputStateOffset] = static_cast<std::uint8_t>(value & 0xFF);
}

LoginSettings LoginSettingsOf(const control::ControlState& c) {
    LoginSettings settings;
    settings.auth_type = c.AuthType.load();
    BuildCredentialBlock(c.UserName.Get(), c.Password.Get(), settings.credentials);
    BuildSerialLogin(c.DeviceSerialNo.Get(), settings.serial_login);
    return settings;
}

NativeStatus ReadStatus(net::SocketClient& link, StatusRead read, int timeout_s,
                        std::uint8_t status[kStatusBytes]) {
    std::memset(status, 0, kStatusBytes);
    const int got = read == StatusRead::kOneReceive
                        ? link.Receive(status, kStatusBytes, timeout_s)
                        : link.ReceiveAll(status, kStatusBytes, timeout_s);
    return ClassifyStatus(status, got);
}

NativeResult OpenSession(net::SocketClient& link, StatusRead greeting_read,
                         const LoginSettings& settings, int timeout_s,
                         std::uint8_t block[kBlockBufferBytes], std::string* status_text) {
    std::uint8_t status[kStatusBytes];
    const NativeStatus greeting = ReadStatus(link, greeting_read, timeout_s, status);
    if (status_text != nullptr) *status_text = StatusText(status);
    switch (greeting) {
        case NativeStatus::kReady:
            if (link.ReceiveAll(block, kReadyBlockBytes, timeout_s) != kReadyBlockBytes) {
                return NativeResult::kShortBlock;
            }
            return NativeResult::kOk;
        case NativeStatus::kReadyShort:
            if (link.ReceiveAll(block, kShortBlockBytes, timeout_s) != kShortBlockBytes) {
                return NativeResult::kShortBlock;
            }
            return NativeResult::kOk;
        case NativeStatus::kLoginRequired:
            break;
        case NativeStatus::kIncomplete:
            return NativeResult::kNoStatus;
        case NativeStatus::kOutputDone:
        case NativeStatus::kOutputRefused:
        case NativeStatus::kOther:
            return NativeResult::kUnknownGreeting;
    }

    if (settings.auth_type == kAuthChallenge) {
        if (link.ReceiveAll(block, kReadyBlockBytes, timeout_s) != kReadyBlockBytes) {
            return NativeResult::kShortBlock;
        }
        std::uint8_t message[kLoginMessageBytes];
        std::memcpy(message, kChallengeLoginCode, kStatusBytes);
        ComputeLoginResponse(block, settings.credentials, message + kStatusBytes);
        if (!SendWhole(link, message, kLoginMessageBytes)) return NativeResult::kSendFailed;
    } else if (settings.auth_type == kAuthSerial) {
        if (link.ReceiveAll(block, kReadyBlockBytes, timeout_s) != kReadyBlockBytes) {
            return NativeResult::kShortBlock;
        }
        if (!SendWhole(link, settings.serial_login, kSerialLoginBytes)) {
            return NativeResult::kSendFailed;
        }
    } else {
        return NativeResult::kOk;
    }
    return FinishLogin(link, timeout_s, block, status_text);
}

std::int32_t PacingValue(const std::uint8_t block[kBlockBufferBytes]) {
    return Le16(block + kPacingOffset);
}

std::uint32_t PacingDelayMs(std::int32_t pacing) {
    if (pacing <= 0) return 0;
    return kPacingBaseMs / (static_cast<std::uint32_t>(pacing) + 1);
}

FrameReply RequestFrame(net::SocketClient& link, int timeout_s, std::uint8_t* buffer) {
    FrameReply reply;
    link.ClearReceiveBuffer();
    if (link.Send(kFrameRequest, kStatusBytes) != kStatusBytes) {
        reply.result = NativeResult::kSendFailed;
        return reply;
    }
    std::uint8_t length_bytes[kStatusBytes] = {};
    // One receive, as the device sends the length in one piece; anything but four bytes (an
    // error, a time-out, a closed connection or a partial length) leaves no usable length.
    if (link.Receive(length_bytes, kStatusBytes, timeout_s) != kStatusBytes) {
        reply.result = NativeResult::kNoLength;
        return reply;
    }
    const std::uint32_t length = Le32(length_bytes);
    reply.declared = length;
    if (length > kMaxFrameBytes) {
        reply.result = NativeResult::kFrameTooLong;
        return reply;
    }
    if (length == 0) {
        reply.result = NativeResult::kNoFrame;
        return reply;
    }
    const int wanted = static_cast<int>(length);
    if (link.ReceiveAll(buffer, wanted, timeout_s) != wanted) {
        reply.result = NativeResult::kShortFrame;
        return reply;
    }
    reply.result = NativeResult::kOk;
    reply.length = wanted;
    return reply;
}

int RequestRealTimeData(net::SocketClient& link, int timeout_s,
                        std::uint8_t reply[kRealTimeReplyBytes]) {
    link.ClearReceiveBuffer();
    if (link.Send(kRealTimeRequest, kStatusBytes) != kStatusBytes) return 0;
    const int got = link.Receive(reply, kRealTimeReplyBytes, timeout_s);
    return got < 0 ? 0 : got;
}

void ApplyRealTimeReply(control::ControlState& c, const std::uint8_t* reply, int received) {
    if (Carried(received, kOutput1Offset, 1)) {
        c.IOOut1 = static_cast<std::int8_t>(reply[kOutput1Offset]);
    }
    if (Carried(received, kOutput2Offset, 1)) {
        c.IOOut2 = static_cast<std::int8_t>(reply[kOutput2Offset]);
    }
    struct ClockField {
        int offset;
        std::atomic<std::int32_t>& field;
    };
    const ClockField clock[] = {
        {kClockSecondOffset, c.DeviceClock.Second}, {kClockMinuteOffset, c.DeviceClock.Minute},
        {kClockHourOffset, c.DeviceClock.Hour},     {kClockMonthOffset, c.DeviceClock.Month},
        {kClockDayOffset, c.DeviceClock.Day},       {kClockYearOffset, c.DeviceClock.Year},
    };
    for (const ClockField& f : clock) {
        if (Carried(received, f.offset, 2)) f.field = Le16(reply + f.offset);
    }
    if (Carried(received, kTimeTextOffset, kTimeTextBytes)) {
        const char* text = reinterpret_cast<const char*>(reply + kTimeTextOffset);
        c.TimeString.Set(text, ::strnlen(text, kTimeTextBytes));
    }
}

NativeResult ExchangeOutputCommand(net::SocketClient& link, int output, std::int32_t value,
                                   int timeout_s, std::string* status_text) {
    std::uint8_t message[kOutputCommandBytes];
    BuildOutputCommand(output, value, message);
    link.ClearReceiveBuffer();
    if (!SendWhole(link, message, kOutputCommandBytes)) return NativeResult::kSendFailed;
    std::uint8_t status[kStatusBytes];
    const NativeStatus answer = ReadStatus(link, StatusRead::kFill, timeout_s, status);
    if (status_text != nullptr) *status_text = StatusText(status);
    if (answer == NativeStatus::kIncomplete) return NativeResult::kNoStatus;
    if (answer != NativeStatus::kOutputDone && answer != NativeStatus::kOutputRefused) {
        return NativeResult::kUnknownStatus;
    }
    // The block carries nothing the control uses; a short one only means the device has
    // stopped talking, which the next command's liveness check finds.
    std::uint8_t block[kShortBlockBytes];
    link.ReceiveAll(block, kShortBlockBytes, timeout_s);
    return answer == NativeStatus::kOutputDone ? NativeResult::kOk : NativeResult::kOutputRefused;
}

}  // namespace device
