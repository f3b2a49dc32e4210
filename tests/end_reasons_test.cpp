// Why a session ended, as a container reads it through the component's status interface: each
// end reached against the simulated camera's fault modes, a closed port, a wrong password,
// scripted peers for the answers the camera never gives, and the commands' outcomes.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "apps/camera/camera.h"
#include "commands/command_request.h"
#include "control/quorlina.h"
#include "host/iquorlina_status.h"
#include "host/quorlina_object.h"
#include "platform/kernel.h"
#include "support/dispatch_client.h"
#include "support/loopback_device.h"
#include "support/loopback_peer.h"
#include "support/native_harness.h"

namespace {

using control::ReasonCode;
using control::SessionState;
using test_support::LoopbackPeer;

constexpr std::uint32_t kSaidWithinMs = 2000;  // a reason known at once is there within this
constexpr std::uint32_t kPollMs = 10;

// One control made through the class factory, as a container holds it: IDispatch for the
// members, the status interface for why things ended.
class Component {
public:
    Component() {
        dispatch_ = test_support::CreateControl();
        inner_ = &host::QuorlinaObject::FromUnknown(dispatch_)->Control();
        inner_->AttachWindow(reinterpret_cast<platform::HWND>(&window_));
        void* status = nullptr;
        EXPECT_EQ(dispatch_->QueryInterface(host::kIidIQuorlinaStatus, &status), platform::S_OK);
        status_ = static_cast<host::IQuorlinaStatus*>(status);
    }
    ~Component() {
        status_->Release();
        dispatch_->Release();
    }
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    control::CQuorlina& Inner() { return *inner_; }
    platform::IDispatch& Dispatch() { return *dispatch_; }

    void Target(const std::string& target) {
        test_support::Text text(target.c_str());
        test_support::Put(*dispatch_, test_support::DispidOf(*dispatch_, "RemoteHost"), text.v);
    }
    void Call(const char* method) {
        platform::VARIANT ignored;
        test_support::Call(*dispatch_, test_support::DispidOf(*dispatch_, method), {}, &ignored);
    }
    host::QuorlinaStatus Status() {
        host::QuorlinaStatus s;
        EXPECT_EQ(status_->GetStatus(&s), platform::S_OK);
        return s;
    }
    std::string Reason() { return Text(&host::IQuorlinaStatus::GetReasonText); }
    std::string Command() { return Text(&host::IQuorlinaStatus::GetCommandText); }
    std::string Probe() {
        platform::BSTR text = nullptr;
        EXPECT_EQ(status_->GetProbeVerdict(&text), platform::S_OK);
        std::string out = platform::AnsiFromBstr(text);
        platform::SysFreeString(text);
        return out;
    }
    // Plays and waits until the session has ended or an attempt has failed; the wait in ms, or
    // limit_ms + 1 when neither came.
    std::uint32_t PlayUntilEnd(std::uint32_t limit_ms) {
        const std::uint32_t before = Status().sequence;
        const platform::Tick t0 = platform::GetTickCount();
        Call("Play");
        while (platform::GetTickCount() - t0 <= limit_ms) {
            const host::QuorlinaStatus s = Status();
            if (s.sequence != before && (s.state == static_cast<int>(SessionState::Ended) ||
                                         s.state == static_cast<int>(SessionState::Retrying)))
                return platform::GetTickCount() - t0;
            platform::Sleep(kPollMs);
        }
        return limit_ms + 1;
    }

private:
    std::string Text(platform::HRESULT (host::IQuorlinaStatus::*get)(platform::BSTR*,
                                                                     platform::ULONG*)) {
        platform::BSTR text = nullptr;
        platform::ULONG sequence = 0;
        EXPECT_EQ((status_->*get)(&text, &sequence), platform::S_OK);
        std::string out = platform::AnsiFromBstr(text);
        platform::SysFreeString(text);
        return out;
    }

    char window_ = 0;
    platform::IDispatch* dispatch_ = nullptr;
    control::CQuorlina* inner_ = nullptr;
    host::IQuorlinaStatus* status_ = nullptr;
};

std::unique_ptr<camera::Camera> StartCamera(camera::CameraConfig config, const char* fault = "") {
    config.width = 64;
    config.height = 48;
    std::string error;
    if (*fault != '\0') {
        EXPECT_TRUE(config.faults.Add(fault, &error)) << error;
    }
    auto cam = std::make_unique<camera::Camera>(config);
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

std::unique_ptr<camera::Camera> HttpCamera(const char* fault = "") {
    camera::CameraConfig config;
    config.http_port = 0;
    return StartCamera(config, fault);
}

std::string HttpTarget(int port) { return "http://127.0.0.1:" + std::to_string(port); }

// A control aimed at a scripted HTTP peer without a probe (the peer answers one connection).
void AimAtHttpPeer(Component& c, int port, int probe_timeout_s = 5) {
    c.Inner().HostName.Set("127.0.0.1");
    c.Inner().RemotePort = port;
    c.Inner().StreamMode = control::kStreamHttp;
    c.Inner().ProbeTimeout = probe_timeout_s;
}

void ExpectEnded(Component& c, ReasonCode code, const std::string& text) {
    const host::QuorlinaStatus s = c.Status();
    EXPECT_EQ(s.state, static_cast<int>(SessionState::Ended));
    EXPECT_EQ(s.reason, static_cast<int>(code));
    EXPECT_EQ(c.Reason(), text);
}

}  // namespace

// The camera's faults that end an HTTP session, each with the reason a user is shown; the wrong
// password and the closed port are what a user meets first. All are known at once.
TEST(EndReasons, HttpSessionsEndWithTheCamerasFault) {
    struct Row {
        const char* fault;
        ReasonCode code;
        const char* text;
        std::uint32_t frames;
    };
    const Row rows[] = {
        {"unauthorized", ReasonCode::CredentialsRefused,
         "camera refused the credentials: HTTP/1.0 401 Unauthorized", 0},
        {"oversize", ReasonCode::BadPartLength, "part length 140001 above 140000", 0},
        {"drop-after=2", ReasonCode::ClosedByCamera, "connection closed by the camera", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        auto cam = HttpCamera(row.fault);
        Component c;
        c.Target(HttpTarget(cam->HttpPort()));
        EXPECT_EQ(c.Status().stream_mode, control::kStreamHttp);
        EXPECT_LT(c.PlayUntilEnd(5000), kSaidWithinMs + 1000 * row.frames);
        ExpectEnded(c, row.code, row.text);
        EXPECT_EQ(c.Status().session_frames, row.frames);
    }

    camera::CameraConfig locked;
    locked.http_port = 0;
    locked.user = "admin";
    locked.password = "secret";
    auto cam = StartCamera(locked);
    Component c;
    c.Inner().UserName.Set("admin");
    c.Inner().Password.Set("wrong");
    c.Target(HttpTarget(cam->HttpPort()));
    EXPECT_EQ(c.Probe(),
              "HOME.htm answered 401 Unauthorized, DevInfo.CGI answered 401 Unauthorized: HTTP");
    EXPECT_LT(c.PlayUntilEnd(5000), kSaidWithinMs);
    ExpectEnded(c, ReasonCode::CredentialsRefused,
                "camera refused the credentials: HTTP/1.0 401 Unauthorized");
}

// Streams that go wrong within themselves, noise instead of parts or parts longer than they say:
// with frames of a real size, the buffer limit ends them long before the frame limit would.
TEST(EndReasons, BrokenStreamsEndOnTheBufferLimit) {
    for (const char* fault : {"garbage", "bad-length"}) {
        SCOPED_TRACE(fault);
        camera::CameraConfig config;
        config.http_port = 0;
        config.width = 640;
        config.height = 480;
        std::string error;
        EXPECT_TRUE(config.faults.Add(fault, &error)) << error;
        camera::Camera cam(config);
        ASSERT_TRUE(cam.Start(&error)) << error;
        Component c;
        c.Target(HttpTarget(cam.HttpPort()));
        EXPECT_LT(c.PlayUntilEnd(5000), kSaidWithinMs);
        ExpectEnded(c, ReasonCode::BufferOverflow, "more than 150000 bytes without a frame");
        EXPECT_EQ(c.Status().session_frames, 0u);
    }
}

// Nothing listens: the probe says so and classes the device native, whose session then retries
// by itself, each attempt refused. A Stop ends it as the host's own end.
TEST(EndReasons, ClosedPortIsRefusedAtOnceAndStopIsTheHostsEnd) {
    test_support::RefusingPort closed;
    Component c;
    const platform::Tick t0 = platform::GetTickCount();
    c.Target(HttpTarget(closed.port()));
    EXPECT_EQ(c.Probe(), "HOME.htm: connection refused: native");
    EXPECT_LT(c.PlayUntilEnd(5000) + (platform::GetTickCount() - t0), kSaidWithinMs);
    EXPECT_EQ(c.Status().state, static_cast<int>(SessionState::Retrying));
    EXPECT_EQ(c.Status().reason, static_cast<int>(ReasonCode::ConnectRefused));
    EXPECT_EQ(c.Reason(), "connection refused");
    c.Call("Stop");
    ExpectEnded(c, ReasonCode::StoppedByHost, "stopped by the host");

    auto cam = HttpCamera();
    Component playing;
    playing.Target(HttpTarget(cam->HttpPort()));
    EXPECT_EQ(playing.Probe(), "HOME.htm answered 200 OK, DevInfo.CGI answered 200 OK: HTTP");
    playing.Call("Play");
    ASSERT_TRUE(test_support::WaitUntil(
        [&] { return playing.Status().state == static_cast<int>(SessionState::Playing); }));
    playing.Call("Stop");
    ExpectEnded(playing, ReasonCode::StoppedByHost, "stopped by the host");
}

// Answers the simulated camera never gives: another status, another content type, a reset.
TEST(EndReasons, HttpAnswersThatAreNoStreamEndWithWhatTheServerSaid) {
    struct Row {
        const char* name;
        std::vector<test_support::PeerStep> script;
        ReasonCode code;
        const char* text;
    };
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: ";
    const Row rows[] = {
        {"not found",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")},
         ReasonCode::HttpStatus,
         "camera answered HTTP/1.0 404 Not Found"},
        {"a web page",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send(head + "text/html\r\n\r\n<html></html>\r\n"), LoopbackPeer::Hold()},
         ReasonCode::NotMultipart,
         "not a multipart stream: text/html"},
        {"missing part length",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send(head + "multipart/x-mixed-replace;boundary=b\r\n\r\n"),
          LoopbackPeer::Pause(100),
          LoopbackPeer::Send("--b\r\nContent-length:\r\nContent-type: image/jpeg\r\n\r\n"),
          LoopbackPeer::Hold()},
         ReasonCode::BadPartLength,
         "part length missing"},
        {"reset",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send(head + "multipart/x-mixed-replace;boundary=b\r\n\r\n"),
          LoopbackPeer::Pause(100), LoopbackPeer::Reset()},
         ReasonCode::ResetByCamera,
         "connection reset by the camera"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackPeer peer(row.script);
        Component c;
        AimAtHttpPeer(c, peer.port());
        EXPECT_LT(c.PlayUntilEnd(5000), kSaidWithinMs);
        ExpectEnded(c, row.code, row.text);
    }
}

// A stream head and then nothing: the data limit (ProbeTimeout x 2 s) ends it, not the frame one.
TEST(EndReasons, SilentStreamEndsOnTheDataLimitSlow) {
    LoopbackPeer peer({LoopbackPeer::ReceiveUntil("\r\n\r\n"),
                       LoopbackPeer::Send("HTTP/1.0 200 OK\r\nContent-Type: "
                                          "multipart/x-mixed-replace;boundary=b\r\n\r\n"),
                       LoopbackPeer::Hold()});
    Component c;
    AimAtHttpPeer(c, peer.port(), 1);
    const std::uint32_t waited = c.PlayUntilEnd(6000);
    EXPECT_GE(waited, 1900u);
    EXPECT_LT(waited, 4000u);
    ExpectEnded(c, ReasonCode::DataSilence, "no data for 2 s");
}

// The native session retries by itself; each failed attempt says why while it does.
TEST(EndReasons, NativeAttemptsFailWithTheCamerasAnswer) {
    camera::CameraConfig login;
    login.native_port = 0;
    login.login = camera::LoginMode::kChallenge;
    login.user = "admin";
    login.password = "secret";
    camera::CameraConfig plain;
    plain.native_port = 0;
    struct Row {
        const char* name;
        camera::CameraConfig config;
        const char* fault;
        ReasonCode code;
        const char* text;
    };
    const Row rows[] = {
        {"wrong password", login, "", ReasonCode::LoginRefused, "camera refused the login (0502)"},
        {"oversize", plain, "oversize", ReasonCode::FrameLength, "frame length 65537 above 65536"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto cam = StartCamera(row.config, row.fault);
        Component c;
        c.Inner().UserName.Set("admin");
        c.Inner().Password.Set("wrong");
        c.Target("127.0.0.1:" + std::to_string(cam->NativePort()));
        EXPECT_EQ(c.Status().stream_mode, control::kStreamNative);
        EXPECT_LT(c.PlayUntilEnd(5000), kSaidWithinMs);
        EXPECT_EQ(c.Status().state, static_cast<int>(SessionState::Retrying));
        EXPECT_EQ(c.Status().reason, static_cast<int>(row.code));
        EXPECT_EQ(c.Reason(), row.text);
    }

    // A web server on the port: its answer is no greeting of the protocol.
    test_support::LoopbackDevice web([](test_support::DeviceConnection& connection) {
        connection.Send("HTTP/1.0 400 Bad Request\r\n\r\n");
        connection.WaitClosed();
    });
    Component c;
    c.Inner().HostName.Set("127.0.0.1");
    c.Inner().RemotePort = web.port();
    c.Inner().StreamMode = control::kStreamNative;
    EXPECT_LT(c.PlayUntilEnd(5000), kSaidWithinMs);
    EXPECT_EQ(c.Reason(), "unknown greeting \"HTTP\"");

    // A host that never answers the connect: the control's Timeout runs out.
    test_support::UnansweringPort silent;
    ASSERT_TRUE(silent.ready());
    Component slow;
    slow.Inner().HostName.Set("127.0.0.1");
    slow.Inner().RemotePort = silent.port();
    slow.Inner().StreamMode = control::kStreamNative;
    slow.Inner().Timeout = 1;
    const std::uint32_t waited = slow.PlayUntilEnd(4000);
    EXPECT_GE(waited, 900u);
    EXPECT_LT(waited, 3000u);
    EXPECT_EQ(slow.Status().reason, static_cast<int>(ReasonCode::ConnectTimedOut));
    EXPECT_EQ(slow.Reason(), "connect timed out after 1 s");
}

// Without RemoteHost there is nothing to play or command: both say so at once instead of waiting
// for a verdict that cannot come.
TEST(EndReasons, NoTargetIsSaidAtOnce) {
    Component c;
    const platform::Tick t0 = platform::GetTickCount();
    c.Call("Play");
    test_support::PutLong(c.Dispatch(), "IOOut1", 1);
    EXPECT_LT(platform::GetTickCount() - t0, 500u);
    ExpectEnded(c, ReasonCode::NoTarget, "no camera: RemoteHost has not been set");
    EXPECT_EQ(c.Status().command_status, commands::kCommandConnectFailed);
    EXPECT_EQ(c.Command(), "not sent: no camera: RemoteHost has not been set");
}

// A command's outcome is readable: done, or refused with the camera's answer, on either protocol.
TEST(EndReasons, CommandsLeaveTheirOutcome) {
    for (const char* fault : {"", "refuse-outputs"}) {
        SCOPED_TRACE(fault);
        auto cam = HttpCamera(fault);
        Component c;
        c.Target(HttpTarget(cam->HttpPort()));
        const std::uint32_t before = c.Status().command_sequence;
        test_support::PutLong(c.Dispatch(), "IOOut1", 1);
        ASSERT_TRUE(test_support::WaitUntil([&] {
            const host::QuorlinaStatus s = c.Status();
            return s.command_sequence != before && s.commands_pending == 0;
        }));
        const bool refused = *fault != '\0';
        EXPECT_EQ(c.Status().command_status,
                  refused ? commands::kCommandRefused : commands::kCommandPosted);
        EXPECT_EQ(c.Command(), refused ? "camera refused the command: HTTP/1.0 500"
                                       : "done: HTTP/1.0 200");
    }
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse);
        camera::CameraConfig config;
        config.native_port = 0;
        config.refuse_outputs = refuse;
        auto cam = StartCamera(config);
        Component c;
        c.Target("127.0.0.1:" + std::to_string(cam->NativePort()));
        test_support::PutLong(c.Dispatch(), "IOOut2", 1);
        EXPECT_EQ(c.Status().command_status,
                  refuse ? commands::kCommandRefused : commands::kCommandPosted);
        EXPECT_EQ(c.Command(), refuse ? "output 2: camera refused the output command (0502)"
                                      : "output 2 switched to 1");
    }
}

// The reason texts of failed connects, from the socket's result and error number.
TEST(EndReasons, ConnectFailuresAreNamed) {
    struct Row {
        int result;
        int error;
        ReasonCode code;
        const char* text;
    };
    const Row rows[] = {
        {net::SocketConnectFailed, ECONNREFUSED, ReasonCode::ConnectRefused, "connection refused"},
        {net::SocketConnectTimeout, ETIMEDOUT, ReasonCode::ConnectTimedOut,
         "connect timed out after 5 s"},
        {net::SocketHostUnresolved, 0, ReasonCode::NameNotResolved, "name not resolved"},
        {net::SocketConnectFailed, EHOSTUNREACH, ReasonCode::ConnectFailed, "no route to host"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const control::Reason reason = control::ConnectFailure(row.result, row.error, 5);
        EXPECT_EQ(reason.code, row.code);
        EXPECT_EQ(reason.text, row.text);
    }
}
