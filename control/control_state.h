// The control's record: every setting and every piece of device state, with its default, in one
// flat object shared by the container thread and the workers. Integers that cross threads are
// atomics; texts are TextFields; the frame buffer, the command texts, the reply table and the
// command socket each have a small lock. No behaviour beyond small accessors: the sessions and
// requests that read and write these fields live in stream/, device/ and commands/.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "control/session_status.h"
#include "control/text_field.h"
#include "image/image_buffer.h"
#include "net/socket_client.h"
#include "platform/kernel.h"
#include "platform/refcount.h"
#include "platform/window_types.h"

namespace control {

// PlayState values.
enum PlayStateValue : std::int32_t {
    Idle = 0,           // constructed, never played
    StopRequested = 1,  // Stop (or a failed connect) asked the worker to end
    Ended = 2,          // the worker has ended its session
    Playing = 5,
};

// StreamMode values; any value other than 1 and 99 selects the native stream.
inline constexpr std::int32_t kStreamNative = 0;
inline constexpr std::int32_t kStreamHttp = 1;
inline constexpr std::int32_t kStreamUndecided = 99;

// Loopback: no default may send traffic to another address.
inline constexpr const char* kFactoryDefaultHost = "127.0.0.1";
inline constexpr std::int32_t kNativeDefaultPort = 8481;

inline constexpr int kFrameBufferBytes = 200000;
inline constexpr std::int32_t kFrameCountWrap = 65530;  // FrameCount wraps to 0 on reaching it
inline constexpr int kMessageBufferBytes = 10000;
inline constexpr int kReplyTableEntries = 200;
inline constexpr int kReplyTextBytes = 64;
inline constexpr int kDeviceInfoBytes = 226;
// RemoteHost and StreamPath, terminator included: room for the long paths and queries that
// cameras' stream URLs carry.
inline constexpr std::size_t kRemoteHostBytes = 256;
inline constexpr int kDeviceIdBytes = 6;

// Kinds of ReplyTable entries.
inline constexpr std::int32_t kReplyNameValue = 0;
inline constexpr std::int32_t kReplySection = 2;

struct ReplyEntry {
    char Name[kReplyTextBytes];
    char Value[kReplyTextBytes];
    std::int32_t Kind;
};
static_assert(sizeof(ReplyEntry) == 132);

struct ReplyTable {
    ReplyEntry Entries[kReplyTableEntries];
    std::int32_t Count;
};

// Device clock fields as the stream's "Date:" line and the native real-time reply give them.
struct DeviceClockFields {
    std::atomic<std::int32_t> Second{0}, Minute{0}, Hour{0}, Month{0}, Day{0}, Year{0};
};

// The picture blocks of frame presentation: the decoded frame, its scaled copy and a palette
// display's reduction. They are kept from frame to frame and reused while their sizes hold, so a
// stream of same-sized frames allocates no picture memory; freed with the record. Lock keeps
// them to one presenter at a time (the stream worker and the present-frame thread may overlap).
struct FramePictures {
    FramePictures() = default;
    ~FramePictures();
    FramePictures(const FramePictures&) = delete;
    FramePictures& operator=(const FramePictures&) = delete;

    std::mutex Lock;
    image::ImageBuffer Decoded{};
    image::ImageBuffer Scaled{};
    image::ImageBuffer Reduced{};
};

class ControlState : public platform::RefCounted {
public:
    ControlState();

    // Asks for the control to be repainted (the end of every stream session). The control object
    // overrides it; a bare record has no window to repaint.
    virtual void RequestRepaint() {}

    // Starts a detached worker that holds a reference to the record until entry returns, so the
    // record is never freed while a worker still uses it. False when no thread could be made.
    bool StartWorker(void (*entry)(ControlState&));
    // The same with a context handed to entry. entry owns the context once the worker has
    // started; when false is returned the caller still owns it.
    bool StartWorker(void (*entry)(ControlState&, void*), void* context);

    // --- framework state ---
    std::atomic<platform::HWND> Window{nullptr};  // the control's own child window, or null
    std::atomic<std::int32_t> ExtentCx{5080};     // hundredths of a millimetre
    std::atomic<std::int32_t> ExtentCy{5080};
    std::atomic<bool> EnabledFlag{true};

    // --- own fields, in declaration order ---
    std::atomic<platform::HDC> PaintDC{nullptr};
    std::atomic<std::int32_t> AmbientUserMode{1};
    net::SocketClient StreamSocket;   // the native stream connection
    net::SocketClient CommandSocket;  // the native command connection
    std::mutex CommandSocketLock;     // one thread at a time on CommandSocket (use and close)
    TextField<260> HostName;
    TextField<260> UserName;
    TextField<260> Password;
    TextField<260> DeviceSerialNo;
    std::atomic<std::int32_t> AuthType{0};
    std::atomic<std::int32_t> StreamMode{kStreamUndecided};
    std::atomic<std::int32_t> PlayState{Idle};
    platform::Tick RateTickNow;
    platform::Tick RateTickLast;
    double MeasuredFrameRate = 0.0;
    std::atomic<std::int32_t> RemotePort{kNativeDefaultPort};
    std::atomic<std::int32_t> Timeout{3};
    std::atomic<std::int32_t> PreviewFrameRate{0};
    std::mutex FrameLock;  // held while FrameBuffer is written or read
    std::uint8_t FrameBuffer[kFrameBufferBytes] = {};
    std::int32_t FrameLength = 0;  // bytes of the JPEG in FrameBuffer (under FrameLock)
    std::atomic<std::int32_t> ThreadRunning{0};
    std::atomic<std::int32_t> PreviewWidth{320};
    std::atomic<std::int32_t> PreviewHeight{240};
    DeviceClockFields DeviceClock;
    std::atomic<std::int32_t> GetHorizontalPosition{0};
    std::atomic<std::int32_t> GetVerticalPosition{0};
    std::atomic<std::int32_t> FrameCount{0};
    std::atomic<std::uint32_t> FramesPresented{0};  // every counted frame, never reset
    std::atomic<std::uint32_t> FramesReceived{0};   // every frame handed to the presenter
    TextField<260> TimeString;
    std::atomic<std::int32_t> IOOut1{0};
    std::atomic<std::int32_t> IOOut2{0};
    std::atomic<std::int32_t> EmailImage{0};
    std::atomic<std::int32_t> ImageUpload{0};
    std::atomic<platform::Tick> PresentTick;
    std::atomic<platform::Tick> RequestTick{0};
    TextField<kRemoteHostBytes> RemoteHost;
    // The path (and query) of an "http://" RemoteHost that names one; empty for the device's own
    // stream resource.
    TextField<kRemoteHostBytes> StreamPath;
    TextField<64> ProxyHost;
    std::atomic<std::int32_t> ProxyPort{0};
    std::atomic<std::int32_t> ProxyState{-1};
    std::atomic<std::int32_t> ProbeTimeout{5};
    std::atomic<std::int32_t> RemoteWeb{0};
    TextField<260> SetName;
    std::atomic<std::int32_t> PanSingleMoveDegree{1};
    std::atomic<std::int32_t> TiltSingleMoveDegree{1};
    std::atomic<std::int32_t> ZoomFactor{1};
    std::atomic<std::int32_t> ResizeMethod{0};
    std::atomic<std::int32_t> DisplayMethod{0};

    // --- frame presentation ---
    FramePictures Pictures;

    // --- device probe ---
    std::atomic<std::int32_t> ProbesInProgress{0};  // probes running now, on any thread
    std::uint8_t DeviceInfoBlock[kDeviceInfoBytes] = {};
    std::uint8_t DeviceIdBytes[kDeviceIdBytes] = {};

    // --- native stream ---
    std::atomic<std::int32_t> NativePacing{0};  // N from the ready block
    std::atomic<double> LastFrameTime{0.0};     // tick of the last native frame

    // --- command requests ---
    std::mutex CommandLock;  // guards CommandPath and MessageBuffer
    char CommandPath[64] = {};
    char MessageBuffer[kMessageBufferBytes] = {};
    std::atomic<std::int32_t> CommandStatus{0};
    // Why the last HTTP command failed, where its reply tells more than CommandStatus (empty
    // otherwise); set before CommandStatus.
    TextField<96> CommandReason;
    std::mutex ReplyLock;  // guards Replies; workers publish a whole table at once
    ReplyTable Replies = {};

    // --- why things ended ---
    SessionRecord Session;  // the session's state and last end, the probe's verdict, commands

protected:
    ~ControlState() override = default;
};

}  // namespace control
