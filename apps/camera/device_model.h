// The simulated camera's device state: outputs, upload and e-mail services, the pan/tilt head with
// its presets and swing, and the traffic counters, shared by both protocols under one lock.
// The hard part is time: services fall back and swing moves by the clock passed in, so callers
// (and tests) decide what "now" is. Wire formats and sockets are left to the session files.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace camera {

// Head travel in degrees. Pan runs 0..340 (the head's stop blocks the last 20 degrees), tilt
// 0..90 (0 = level with the horizon, 90 = straight up). Every move is clamped to these ranges.
inline constexpr int kPanMinDegrees = 0;
inline constexpr int kPanMaxDegrees = 340;
inline constexpr int kTiltMinDegrees = 0;
inline constexpr int kTiltMaxDegrees = 90;
inline constexpr int kHomePanDegrees = 170;
inline constexpr int kHomeTiltDegrees = 45;
inline constexpr int kPresetCount = 16;  // preset numbers 1..16
inline constexpr std::size_t kMaxPresetNameBytes = 63;
inline constexpr int kDefaultStepDegrees = 10;  // single move without a degree field
inline constexpr int kServiceBusyMs = 1000;     // upload / e-mail reset after this long
inline constexpr int kSwingDegreesPerSecond = 40;
inline constexpr std::size_t kMaxLoggedCommands = 4096;

struct Preset {
    bool stored = false;
    int pan = 0;
    int tilt = 0;
    std::string name;
};

// One consistent copy of the device, as State() hands it out.
struct DeviceState {
    bool output1 = false;
    bool output2 = false;
    bool upload = false;  // image upload service busy
    bool email = false;   // image e-mail service busy
    int pan = kHomePanDegrees;
    int tilt = kHomeTiltDegrees;
    bool swing = false;
    std::array<Preset, kPresetCount> presets{};  // presets[n - 1] is preset number n
    std::uint64_t http_connections = 0;
    std::uint64_t native_connections = 0;
    std::uint64_t http_requests = 0;    // request heads read, whatever their outcome
    std::uint64_t native_messages = 0;  // 4-byte messages read after the greeting
    std::uint64_t frames_sent = 0;      // stream parts and native frames, both protocols
};

// A command as the camera received it: the POST path and its raw body, or the native "0002"
// message with its two argument bytes. status is the HTTP status replied (native: 200 or 502).
struct ReceivedCommand {
    std::string path;
    std::string body;
    int status = 0;
};

enum class CommandResult {
    kApplied,    // state changed as the body asked
    kIgnored,    // well-formed, nothing to do (a preset number that holds no preset)
    kMalformed,  // unknown field, bad number, missing or conflicting fields: no change
};
const char* to_string(CommandResult result);

enum class Protocol { kHttp, kNative };

// Wall-clock fields of the device clock (local time of the host).
struct ClockFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, weekday = 0;
};
ClockFields ReadDeviceClock();
std::string FormatClock(const ClockFields& clock);  // "YYYY-MM-DD HH:MM:SS"

class DeviceModel {
  public:
    using Clock = std::chrono::steady_clock;

    DeviceState Snapshot(Clock::time_point now);
    std::vector<ReceivedCommand> CommandLog() const;

    // Bodies of "/iocontrol.cgi" and "/pantiltcontrol.cgi" (trailing line ends are tolerated).
    CommandResult ApplyIoControl(std::string_view body, Clock::time_point now);
    CommandResult ApplyPanTilt(std::string_view body, Clock::time_point now);
    // Native output command: output 1 or 2, any non-zero state byte switches it on.
    bool SwitchOutput(int output, int state);

    void CountConnection(Protocol protocol);
    void CountRequest(Protocol protocol);
    void CountFrame();
    void LogCommand(ReceivedCommand command);

  private:
    void Advance(Clock::time_point now);  // services fall back, swing moves

    mutable std::mutex mu_;
    DeviceState state_;
    Clock::time_point upload_since_{};
    Clock::time_point email_since_{};
    Clock::time_point swing_since_{};  // time the swing position was last advanced to
    double swing_pan_ = 0;             // pan during swing, with its fraction of a degree
    int swing_direction_ = 1;
    std::deque<ReceivedCommand> log_;
};

}  // namespace camera
