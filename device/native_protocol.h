// The native binary protocol's exchanges as small steps over a connected socket client: reading a
// status, answering the greeting (with the challenge or serial-number login), one frame request,
// the real-time data request and the output command. The hard part is that every count and
// length from the device is checked before it is used, so a short read ends the step instead of
// leaving the connection out of step. Connecting, retrying and locking are left to the stream
// thread and the command channel.
#pragma once

#include <cstdint>
#include <string>

#include "control/control_state.h"
#include "device/login_response.h"
#include "net/socket_client.h"

namespace device {

inline constexpr int kStatusBytes = 4;          // every status and message code: four digits
inline constexpr int kReadyBlockBytes = 126;    // after a ready status and after "0301"
inline constexpr int kShortBlockBytes = 30;     // after "0501", "0210" and "0502"
inline constexpr int kBlockBufferBytes = 130;   // the stream's block buffer
inline constexpr int kPacingOffset = 124;       // ready block bytes 124-125: pacing N, LE
inline constexpr int kLoginMessageBytes = 24;   // "0001" + the 20-byte response
inline constexpr int kSerialLoginBytes = 264;   // "0003" + DeviceSerialNo zero-padded to 260
inline constexpr int kUserNameLoginBytes = 12;  // credential block: first 12 bytes of UserName
inline constexpr int kPasswordLoginBytes = 8;   // ... then the first 8 bytes of Password
inline constexpr std::uint32_t kMaxFrameBytes = 65536;
inline constexpr int kReceiveBufferBytes = 100000;  // the stream thread's frame receive buffer
inline constexpr int kRealTimeReplyBytes = 70;
inline constexpr int kOutputCommandBytes = 6;         // "0002", output number, new state
inline constexpr std::uint32_t kPacingBaseMs = 1000;  // D = 1000 / (N + 1) ms

static_assert(kUserNameLoginBytes + kPasswordLoginBytes == kLoginCredentialBytes);
static_assert(kStatusBytes + kLoginResponseBytes == kLoginMessageBytes);
static_assert(kLoginChallengeBytes <= kReadyBlockBytes);
static_assert(kPacingOffset + 2 <= kReadyBlockBytes && kReadyBlockBytes <= kBlockBufferBytes);
static_assert(kMaxFrameBytes <= kReceiveBufferBytes &&
              kMaxFrameBytes <= static_cast<std::uint32_t>(control::kFrameBufferBytes));

// Messages of the control, four ASCII digits, sent without terminator.
inline constexpr char kChallengeLoginCode[] = "0001";
inline constexpr char kOutputCommandCode[] = "0002";
inline constexpr char kSerialLoginCode[] = "0003";
inline constexpr char kFrameRequest[] = "0110";
inline constexpr char kRealTimeRequest[] = "0111";
inline constexpr char kGoodbye[] = "1111";

// AuthType values that select a login; any other value logs in with nothing.
inline constexpr std::int32_t kAuthChallenge = 0;
inline constexpr std::int32_t kAuthSerial = 1;

// A status as the device sent it.
enum class NativeStatus {
    kReady,          // "0200", "0201", "0202": a 126-byte ready block follows
    kLoginRequired,  // "0301": a 126-byte block beginning with the 80-byte challenge follows
    kReadyShort,     // "0501": a 30-byte block follows
    kOutputDone,     // "0210": a 30-byte block follows
    kOutputRefused,  // "0502": a 30-byte block follows
    kOther,          // four bytes that are none of these
    kIncomplete,     // fewer than four bytes arrived (error, time-out, close or a short read)
};
const char* to_string(NativeStatus status);
NativeStatus ClassifyStatus(const std::uint8_t* bytes, int received);

// What a step came to.
enum class NativeResult {
    kOk = 0,
    kNoFrame,          // the device answered a frame request with length 0
    kConnectFailed,    // the connection could not be opened
    kNoStatus,         // a status did not arrive whole
    kUnknownGreeting,  // the greeting was none of the greeting statuses
    kShortBlock,       // the block after a status did not arrive whole
    kSendFailed,       // a message could not be sent whole
    kLoginRefused,     // the status after the login was not a ready status
    kNoLength,         // the frame length did not arrive whole
    kFrameTooLong,     // the frame length is above kMaxFrameBytes
    kShortFrame,       // the frame ended before its length
    kShortReply,       // the real-time reply did not arrive whole
    kOutputRefused,    // "0502": the device did not carry out the output command
    kUnknownStatus,    // the reply to an output command was neither "0210" nor "0502"
};
const char* to_string(NativeResult result);

// How a status is read: the stream's greeting and every status after a login take one receive;
// the command channel's greeting and output status fill all four bytes.
enum class StatusRead { kOneReceive, kFill };

// What a login needs, taken from the control once per connection.
struct LoginSettings {
    std::int32_t auth_type = kAuthChallenge;
    std::uint8_t credentials[kLoginCredentialBytes] = {};
    std::uint8_t serial_login[kSerialLoginBytes] = {};
};
LoginSettings LoginSettingsOf(const control::ControlState& control);

// Bytes 0-11 from user, 12-19 from password, each cut to its length and zero-filled.
void BuildCredentialBlock(const std::string& user, const std::string& password,
                          std::uint8_t out[kLoginCredentialBytes]);
// "0003" and the serial text, cut to 259 characters so the 260 bytes always end in a NUL.
void BuildSerialLogin(const std::string& serial, std::uint8_t out[kSerialLoginBytes]);
// "0002", the output number and the low byte of value.
void BuildOutputCommand(int output, std::int32_t value, std::uint8_t out[kOutputCommandBytes]);

// Why a step failed, for the session's record and the command's: the device's status for a
// refused login or an unknown greeting or answer, the declared length of an oversized frame,
// and for a short read whether the device closed the connection or did not answer in time
// (asked of the link, which must still hold the connection).
control::Reason FailureReason(NativeResult result, net::SocketClient& link, int timeout_s,
                              const std::string& status = {}, std::uint32_t declared = 0);

// Reads a status into status (zeroed first) and classifies it.
NativeStatus ReadStatus(net::SocketClient& link, StatusRead read, int timeout_s,
                        std::uint8_t status[kStatusBytes]);

// Reads the greeting status and answers it: reads its block into block, sends the login that
// settings.auth_type selects, checks the status after it and reads the ready block. A "0301"
// greeting with an AuthType that selects no login sends nothing and reads nothing more. On kOk
// the block buffer holds the device's last block (a 30-byte block only overwrites its start).
// When given, *status receives the last status read (the greeting, or the answer to the login)
// as its four characters, for telling the user what the device said.
NativeResult OpenSession(net::SocketClient& link, StatusRead greeting_read,
                         const LoginSettings& settings, int timeout_s,
                         std::uint8_t block[kBlockBufferBytes], std::string* status = nullptr);

// N from block bytes 124-125, and the pause D before each frame request (0 when N is 0).
std::int32_t PacingValue(const std::uint8_t block[kBlockBufferBytes]);
std::uint32_t PacingDelayMs(std::int32_t pacing);

struct FrameReply {
    NativeResult result = NativeResult::kNoLength;
    int length = 0;  // bytes of the frame at the start of the buffer when result is kOk
    std::uint32_t declared = 0;  // the length the device sent, once all four bytes came
};
// Drops stale input, sends "0110", reads the 4-byte length in one receive and then the frame
// into buffer (kReceiveBufferBytes bytes).
FrameReply RequestFrame(net::SocketClient& link, int timeout_s, std::uint8_t* buffer);

// Drops stale input, sends "0111" and takes the reply in one receive. Returns the bytes received
// (0 to kRealTimeReplyBytes; 0 also when the request could not be sent).
int RequestRealTimeData(net::SocketClient& link, int timeout_s,
                        std::uint8_t reply[kRealTimeReplyBytes]);

// Stores the fields the first `received` bytes of a real-time reply carry whole: the outputs,
// the clock and the time text (read only within its 44 bytes). Fields beyond them stay as they
// were.
void ApplyRealTimeReply(control::ControlState& control, const std::uint8_t* reply, int received);

// Drops stale input, sends the output command and reads the reply status and its block.
// kOk: the device switched the output ("0210" and the whole block).
// *status (when given) receives the answer's status characters.
NativeResult ExchangeOutputCommand(net::SocketClient& link, int output, std::int32_t value,
                                   int timeout_s, std::string* status = nullptr);

}  // namespace device
