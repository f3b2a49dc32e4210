// The native stream: the greeting, login and frame steps driven from memory, then the thread
// against scripted loopback devices and the simulated camera (logins, pacing, the frame-length
// limit, reconnecting, the stop step) and the probe's verdict on a native device.
#include "device/native_stream.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "control/quorlina.h"
#include "device/native_commands.h"
#include "device/native_protocol.h"
#include "device/probe.h"
#include "platform/kernel.h"
#include "support/loopback_device.h"
#include "support/loopback_peer.h"
#include "support/native_harness.h"
#include "support/scripted_link.h"

using device::NativeResult;
using test_support::DeviceConnection;
using test_support::FrameLength;
using test_support::LoopbackDevice;
using test_support::NativeControl;
using test_support::ScriptedLink;
using test_support::StatusWithBlock;
using test_support::WaitUntil;

namespace {

using Block = std::uint8_t[device::kBlockBufferBytes];

std::string Bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A login challenge block: distinct key and mask bytes, pacing 5 at 124-125.
std::string ChallengeBlock() {
    std::string block = StatusWithBlock("0301", device::kReadyBlockBytes, 5).substr(4);
    for (int i = 0; i < 80; ++i) block[i] = static_cast<char>(i * 7 + 3);
    return block;
}

std::string LoginResponseFor(const std::string& challenge_block, const std::string& user,
                             const std::string& password) {
    std::uint8_t credentials[device::kLoginCredentialBytes];
    device::BuildCredentialBlock(user, password, credentials);
    std::uint8_t response[device::kLoginResponseBytes];
    device::ComputeLoginResponse(reinterpret_cast<const std::uint8_t*>(challenge_block.data()),
                                 credentials, response);
    return "0001" + Bytes(response, sizeof response);
}

std::string SerialLoginFor(const std::string& token) {
    std::string message = "0003" + token;
    message.resize(device::kSerialLoginBytes, '\0');
    return message;
}

device::LoginSettings Settings(std::int32_t auth_type) {
    device::LoginSettings s;
    s.auth_type = auth_type;
    device::BuildCredentialBlock("admin", "secret", s.credentials);
    device::BuildSerialLogin("TOKEN-42", s.serial_login);
    return s;
}

// Answers frame requests with length 0 until the client goes; counts the requests.
void ServeEmptyFrames(DeviceConnection& connection, std::atomic<int>* requests = nullptr) {
    while (connection.Receive(4) == device::kFrameRequest) {
        if (requests) ++*requests;
        if (!connection.Send(FrameLength(0))) return;
    }
}

}  // namespace

// ---- greeting and login, from memory ----

TEST(NativeSession, GreetingsAndLoginsFollowTheStateTable) {
    const std::string challenge = ChallengeBlock();
    const std::string ready2 = StatusWithBlock("0200", device::kReadyBlockBytes, 2);
    struct Row {
        const char* name;
        std::vector<std::string> arrivals;
        std::int32_t auth_type;
        NativeResult result;
        std::string sent;
        int pacing;  // from the block afterwards; the block starts with pacing 7
    };
    const std::string login = LoginResponseFor(challenge, "admin", "secret");
    const std::string serial = SerialLoginFor("TOKEN-42");
    const std::string zeros126(126, '\0');
    // clang-format off
    const Row rows[] = {
        {"0200", {StatusWithBlock("0200", 126, 9)}, 0, NativeResult::kOk, "", 9},
        {"0201", {StatusWithBlock("0201", 126, 3)}, 0, NativeResult::kOk, "", 3},
        {"0202", {StatusWithBlock("0202", 126, 0)}, 0, NativeResult::kOk, "", 0},
        {"0501 keeps the pacing bytes", {StatusWithBlock("0501", 30)}, 0, NativeResult::kOk, "", 7},
        {"challenge login", {"0301", challenge, ready2}, 0, NativeResult::kOk, login, 2},
        {"serial login", {"0301" + challenge, ready2}, 1, NativeResult::kOk, serial, 2},
        {"no login for AuthType 2", {"0301" + challenge}, 2, NativeResult::kOk, "", 7},
        {"no login for AuthType -1", {"0301" + challenge}, -1, NativeResult::kOk, "", 7},
        {"refused login", {"0301" + challenge, StatusWithBlock("0502", 30)}, 0,
         NativeResult::kLoginRefused, login, 5},
        {"0501 after a login is no ready status", {"0301" + challenge, StatusWithBlock("0501", 30)},
         1, NativeResult::kLoginRefused, serial, 5},
        {"no status after the login", {"0301" + challenge}, 0, NativeResult::kNoStatus, login, 5},
        {"short challenge", {"0301" + challenge.substr(0, 100)}, 0, NativeResult::kShortBlock, "",
         7},
        {"short ready block", {"0200" + zeros126.substr(26)}, 0, NativeResult::kShortBlock, "", 7},
        {"short 0501 block", {"0501" + zeros126.substr(106)}, 0, NativeResult::kShortBlock, "", 7},
        {"unknown greeting", {"0999" + zeros126}, 0, NativeResult::kUnknownGreeting, "", 7},
        {"output status as greeting", {StatusWithBlock("0210", 30)}, 0,
         NativeResult::kUnknownGreeting, "", 7},
        {"greeting split over two receives", {"02", "00" + zeros126}, 0, NativeResult::kNoStatus,
         "", 7},
        {"nothing", {}, 0, NativeResult::kNoStatus, "", 7},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLink link;
        for (const std::string& a : row.arrivals) link.Arrive(a);
        Block block = {};
        block[124] = 7;
        const NativeResult result = device::OpenSession(link, device::StatusRead::kOneReceive,
                                                        Settings(row.auth_type), 1, block);
        EXPECT_EQ(result, row.result) << device::to_string(result);
        EXPECT_EQ(link.sent(), row.sent);
        EXPECT_EQ(device::PacingValue(block), row.pacing);
    }
}

TEST(NativeSession, CommandChannelFillsTheGreetingStatus) {
    ScriptedLink link;
    link.Arrive("02");
    link.Arrive("01" + std::string(126, '\0'));
    Block block = {};
    EXPECT_EQ(device::OpenSession(link, device::StatusRead::kFill, Settings(0), 1, block),
              NativeResult::kOk);
    EXPECT_EQ(link.unread(), 0u);
}

TEST(NativeSession, LoginTextsAreCutAndZeroFilled) {
    std::uint8_t block[device::kLoginCredentialBytes];
    device::BuildCredentialBlock("abcdefghijklmnop", "123456789", block);
    EXPECT_EQ(Bytes(block, sizeof block), "abcdefghijkl12345678");
    device::BuildCredentialBlock("ab", "c", block);
    EXPECT_EQ(Bytes(block, sizeof block), std::string("ab\0\0\0\0\0\0\0\0\0\0c\0\0\0\0\0\0\0", 20));

    std::uint8_t serial[device::kSerialLoginBytes];
    device::BuildSerialLogin("TOKEN", serial);
    EXPECT_EQ(Bytes(serial, sizeof serial), SerialLoginFor("TOKEN"));
    device::BuildSerialLogin(std::string(300, 'x'), serial);
    EXPECT_EQ(Bytes(serial, sizeof serial), "0003" + std::string(259, 'x') + '\0');
}

TEST(NativePacing, DelayIsAThousandMillisecondsOverNPlusOne) {
    const std::pair<std::int32_t, std::uint32_t> rows[] = {{0, 0},   {1, 500},  {9, 100},  {99, 10},
                                                           {999, 1}, {1000, 0}, {65535, 0}};
    for (const auto& [n, delay] : rows) {
        SCOPED_TRACE(n);
        EXPECT_EQ(device::PacingDelayMs(n), delay);
    }
    Block block = {};
    block[124] = 0x34;
    block[125] = 0x12;
    EXPECT_EQ(device::PacingValue(block), 0x1234);
}

// ---- one frame request, from memory ----

TEST(NativeFrame, LengthsAreCheckedBeforeTheFrameIsRead) {
    const std::string jpeg = "\xFF\xD8" + std::string(65534, 'j');
    struct Row {
        const char* name;
        std::string stale;
        std::vector<std::string> arrivals;
        NativeResult result;
        int length;
    };
    const std::string small = "\xFF\xD8\xFF\xD9";
    // clang-format off
    const Row rows[] = {
        {"no frame this time", "", {FrameLength(0)}, NativeResult::kNoFrame, 0},
        {"a small frame", "", {FrameLength(4), small}, NativeResult::kOk, 4},
        {"the largest frame", "", {FrameLength(65536) + jpeg}, NativeResult::kOk, 65536},
        {"one byte too long", "", {FrameLength(65537) + jpeg + "x"}, NativeResult::kFrameTooLong,
         0},
        {"all ones", "", {FrameLength(0xFFFFFFFFu)}, NativeResult::kFrameTooLong, 0},
        {"length split over two receives", "", {"\x04\x00", "\x00\x00" + small},
         NativeResult::kNoLength, 0},
        {"silence or close", "", {}, NativeResult::kNoLength, 0},
        {"frame cut short", "", {FrameLength(100) + std::string(50, 'j')},
         NativeResult::kShortFrame, 0},
        {"stale input is dropped first", FrameLength(4) + small, {FrameLength(0)},
         NativeResult::kNoFrame, 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLink link;
        link.ArriveStale(row.stale);
        for (const std::string& a : row.arrivals) link.Arrive(a);
        std::vector<std::uint8_t> buffer(device::kReceiveBufferBytes);
        const device::FrameReply reply = device::RequestFrame(link, 1, buffer.data());
        EXPECT_EQ(reply.result, row.result) << device::to_string(reply.result);
        EXPECT_EQ(reply.length, row.length);
        EXPECT_EQ(link.sent(), "0110");
    }
}

TEST(NativeFrame, FailedRequestIsNotFollowedByAReceive) {
    ScriptedLink link;
    link.LimitSends(2);
    link.Arrive(FrameLength(0));
    std::vector<std::uint8_t> buffer(device::kReceiveBufferBytes);
    EXPECT_EQ(device::RequestFrame(link, 1, buffer.data()).result, NativeResult::kSendFailed);
    EXPECT_EQ(link.unread(), 4u);
}

// ---- the thread against scripted devices ----

TEST(NativeStreamThread, PacingNineSpacesRequestsAboutAHundredMilliseconds) {
    std::mutex mu;
    std::vector<platform::Tick> times;
    LoopbackDevice device([&](DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126, 9))) return;
        while (connection.Receive(4) == "0110") {
            {
                std::lock_guard lock(mu);
                times.push_back(platform::GetTickCount());
            }
            if (!connection.Send(FrameLength(0))) return;
        }
    });
    NativeControl c(device.port());
    const platform::Tick started = platform::GetTickCount();
    c.Play();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(mu);
        return times.size() >= 6;
    }));
    c.Stop();
    EXPECT_EQ(c->NativePacing.load(), 9);
    std::lock_guard lock(mu);
    EXPECT_GE(times[0] - started, 90u);  // the pause comes before the first request too
    for (std::size_t i = 1; i < times.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(times[i] - times[i - 1], 90u);
        EXPECT_LE(times[i] - times[i - 1], 400u);
    }
}

TEST(NativeStreamThread, NoPacingRequestsBackToBack) {
    std::atomic<int> requests{0};
    LoopbackDevice device([&](DeviceConnection& connection) {
        if (connection.Send(StatusWithBlock("0200", 126, 0)))
            ServeEmptyFrames(connection, &requests);
    });
    NativeControl c(device.port());
    c.Play();
    // 200 requests within two seconds: no pause of the pacing kind between them.
    EXPECT_TRUE(WaitUntil([&] { return requests.load() >= 200; }, 2000));
    c.Stop();
    EXPECT_EQ(device.Connections(), 1);
}

TEST(NativeStreamThread, FrameLengthLimitIsInclusiveAndOneMoreReconnects) {
    const std::string largest = "\xFF\xD8" + std::string(65534, 'j');
    LoopbackDevice device([&](DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126))) return;
        if (connection.index() == 0) {
            // Length 0, then the largest frame, then one byte more than that.
            if (connection.Receive(4) != "0110" || !connection.Send(FrameLength(0))) return;
            if (connection.Receive(4) != "0110" || !connection.Send(FrameLength(65536) + largest))
                return;
            if (connection.Receive(4) != "0110" || !connection.Send(FrameLength(65537))) return;
            connection.WaitClosed();
            return;
        }
        ServeEmptyFrames(connection);
    });
    NativeControl c(device.port());
    c.Play();
    ASSERT_TRUE(device.WaitConnections(2));
    c.Stop();
    EXPECT_EQ(c->FramesReceived.load(), 1u);
    std::lock_guard<std::mutex> guard(c->FrameLock);
    EXPECT_EQ(c->FrameLength, 65536);
    EXPECT_EQ(std::memcmp(c->FrameBuffer, largest.data(), largest.size()), 0);
}

TEST(NativeStreamThread, DeviceDroppingMidFrameIsReconnectedAndThePartIsNotShown) {
    const std::string small = "\xFF\xD8\xFF\xD9";
    LoopbackDevice device([&](DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126))) return;
        if (connection.Receive(4) != "0110") return;
        if (connection.index() == 0) {
            connection.Send(FrameLength(1000) + "\xFF\xD8" + std::string(498, 'p'));
            return;  // the connection closes with half the frame sent
        }
        if (!connection.Send(FrameLength(4) + small)) return;
        ServeEmptyFrames(connection);
    });
    NativeControl c(device.port());
    c.Play();
    ASSERT_TRUE(WaitUntil([&] { return c->FramesReceived.load() >= 1; }));
    c.Stop();
    EXPECT_EQ(device.Connections(), 2);
    EXPECT_EQ(c->FramesReceived.load(), 1u);
    std::lock_guard<std::mutex> guard(c->FrameLock);
    EXPECT_EQ(Bytes(c->FrameBuffer, c->FrameLength), small);
}

TEST(NativeStreamThread, LoginFreeAuthTypeGoesStraightToFrames) {
    std::mutex mu;
    std::string first_message;
    LoopbackDevice device([&](DeviceConnection& connection) {
        // A challenge whose pacing bytes say 9: the thread must not take them.
        if (!connection.Send("0301" + StatusWithBlock("", 126, 9))) return;
        const std::string message = connection.Receive(4);
        {
            std::lock_guard lock(mu);
            first_message = message;
        }
        if (message == "0110" && connection.Send(FrameLength(0))) ServeEmptyFrames(connection);
    });
    NativeControl c(device.port());
    c->AuthType = 2;
    c.Play();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(mu);
        return !first_message.empty();
    }));
    c.Stop();
    std::lock_guard lock(mu);
    EXPECT_EQ(first_message, "0110");
    EXPECT_EQ(c->NativePacing.load(), 0);
    EXPECT_EQ(device.Connections(), 1);
}

TEST(NativeStreamThread, StopSaysGoodbyeOnBothSocketsAndEndsTheSession) {
    std::atomic<int> goodbyes{0};
    std::atomic<int> closed{0};
    LoopbackDevice device([&](DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126, 0))) return;
        for (;;) {
            const std::string message = connection.Receive(4);
            if (message == "0110") {
                if (!connection.Send(FrameLength(0))) return;
            } else if (message == "0111") {
                if (!connection.Send(std::string(70, '\0'))) return;
            } else {
                if (message == "1111") ++goodbyes;
                if (connection.WaitClosed()) ++closed;
                return;
            }
        }
    });
    NativeControl c(device.port());
    c.Play();
    std::int32_t value = 0;
    device::NativeGetRealTimeData(*c, &value);
    ASSERT_EQ(value, -1);
    ASSERT_TRUE(device.WaitConnections(2));
    EXPECT_LT(c.Stop(), 2000u);
    EXPECT_TRUE(WaitUntil([&] { return closed.load() == 2; }));
    EXPECT_EQ(goodbyes.load(), 2);
    EXPECT_EQ(c->PlayState.load(), control::Ended);
    EXPECT_EQ(c->ThreadRunning.load(), 0);
    EXPECT_EQ(c->repaints.load(), 1);
    EXPECT_EQ(c->StreamSocket.GetSocket(), net::kNoSocket);
    EXPECT_EQ(c->CommandSocket.GetSocket(), net::kNoSocket);
}

TEST(NativeStreamThread, StopIsNoticedWhileTheDeviceIsSilentOrAbsent) {
    LoopbackDevice silent([](DeviceConnection& connection) {
        if (connection.Send(StatusWithBlock("0200", 126, 0))) connection.WaitClosed();
    });
    test_support::RefusingPort refusing;
    const std::pair<const char*, int> rows[] = {{"silent after the greeting", silent.port()},
                                                {"refusing connections", refusing.port()}};
    for (const auto& [name, port] : rows) {
        SCOPED_TRACE(name);
        NativeControl c(port);
        c.Play();
        platform::Sleep(300);
        // One receive wait of Timeout (1 s) at most, plus the retry pause.
        EXPECT_LT(c.Stop(), 1500u);
        EXPECT_EQ(c->PlayState.load(), control::Ended);
    }
}

// ---- the thread against the simulated camera ----

TEST(NativeStreamCamera, EveryLoginModeStreamsWithTheRightCredentials) {
    using camera::LoginMode;
    struct Row {
        const char* name;
        LoginMode login;
        std::int32_t auth_type;
        const char* user;
        const char* password;
        const char* serial;
        bool streams;
    };
    // The camera wants "administrator"/"password1", of which it too checks 12 and 8 bytes.
    const Row rows[] = {
        {"no login", LoginMode::kNone, 0, "", "", "", true},
        {"short greeting", LoginMode::kNoneShort, 0, "", "", "", true},
        {"challenge", LoginMode::kChallenge, 0, "administrator", "password1", "", true},
        {"challenge, bytes past 12 and 8 are not sent", LoginMode::kChallenge, 0, "administratoZ",
         "password9", "", true},
        // Not a password one bit off: the response folds such pairs together for about one
        // challenge in sixteen, and the camera would then rightly let the control in.
        {"challenge, no credentials", LoginMode::kChallenge, 0, "", "", "", false},
        {"serial", LoginMode::kSerial, 1, "", "", "TOKEN-7", true},
        {"serial, wrong token", LoginMode::kSerial, 1, "", "", "TOKEN-8", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        camera::CameraConfig config;
        config.login = row.login;
        config.user = "administrator";
        config.password = "password1";
        config.serial = "TOKEN-7";
        auto cam = test_support::StartNativeCamera(config);
        NativeControl c(cam->NativePort());
        c->AuthType = row.auth_type;
        c->UserName.Set(row.user);
        c->Password.Set(row.password);
        c->DeviceSerialNo.Set(row.serial);
        c.Play();
        if (row.streams) {
            EXPECT_TRUE(WaitUntil([&] { return c->FramesPresented.load() >= 3; }));
            EXPECT_EQ(cam->State().native_connections, 1u);
            std::lock_guard<std::mutex> guard(c->FrameLock);
            EXPECT_GT(c->FrameLength, 2);
            EXPECT_EQ(c->FrameBuffer[0], 0xFF);
            EXPECT_EQ(c->FrameBuffer[1], 0xD8);
        } else {
            EXPECT_TRUE(WaitUntil([&] { return cam->State().native_connections >= 3; }));
            EXPECT_EQ(c->FramesPresented.load(), 0u);
        }
        c.Stop();
        EXPECT_EQ(c->PlayState.load(), control::Ended);
    }
}

TEST(NativeStreamCamera, ControlProbesPlaysAndStops) {
    char window = 0;
    auto cam = test_support::StartNativeCamera();
    auto* c = new control::CQuorlina();
    c->AttachWindow(reinterpret_cast<platform::HWND>(&window));
    const std::string target = "127.0.0.1:" + std::to_string(cam->NativePort());
    c->put_RemoteHost(target.c_str());
    EXPECT_EQ(c->StreamMode.load(), control::kStreamNative);
    EXPECT_EQ(c->RemotePort.load(), cam->NativePort());
    c->Play();
    EXPECT_TRUE(WaitUntil([&] { return c->FramesPresented.load() >= 3; }));
    c->Stop();
    EXPECT_NE(c->PlayState.load(), control::Playing);
    EXPECT_EQ(c->ThreadRunning.load(), 0);
    c->Destroy();
}

// A camera cannot send faster than it captures: without pacing (N = 0) the thread asks for frames
// back to back, and a camera capturing 5 a second answers 5 a second.
TEST(NativeStreamCamera, CameraCapturingFiveASecondSendsFiveASecondSlow) {
    camera::CameraConfig config;
    config.native_port = 0;
    config.width = 160;
    config.height = 120;
    config.fps = 5;
    camera::Camera paced(config);
    std::string error;
    ASSERT_TRUE(paced.Start(&error)) << error;
    NativeControl c(paced.NativePort());
    c.Play();
    ASSERT_TRUE(WaitUntil([&] { return c->FramesPresented.load() >= 1; }));
    const std::uint32_t first = c->FramesPresented.load();
    const platform::Tick t0 = platform::GetTickCount();
    platform::Sleep(2000);
    const double seconds = (platform::GetTickCount() - t0) / 1000.0;
    const double rate = (c->FramesPresented.load() - first) / seconds;
    EXPECT_GE(rate, 3.5);
    EXPECT_LE(rate, 6.5);
    c.Stop();
}

// ---- the probe on a native device ----

TEST(NativeDeviceProbe, CameraOnItsPortIsClassedNativeWhateverItsLogin) {
    using camera::LoginMode;
    for (LoginMode login :
         {LoginMode::kNone, LoginMode::kNoneShort, LoginMode::kChallenge, LoginMode::kSerial}) {
        SCOPED_TRACE(camera::to_string(login));
        camera::CameraConfig config;
        config.login = login;
        config.serial = "TOKEN";
        auto cam = test_support::StartNativeCamera(config);
        auto* c = new control::CQuorlina();
        const std::string target = "127.0.0.1:" + std::to_string(cam->NativePort());
        device::PutRemoteHost(*c, target.c_str());
        EXPECT_EQ(c->StreamMode.load(), control::kStreamNative);
        EXPECT_EQ(c->RemotePort.load(), cam->NativePort());
        EXPECT_EQ(c->HostName.Get(), "127.0.0.1");
        c->Destroy();
    }
}

TEST(NativeDeviceProbe, NativeGreetingLeavesThePortOfAHostWithoutOne) {
    // The greeting a native device sends on the probe's connection, as the probe reads it.
    const std::string greeting = StatusWithBlock("0200", 126, 0);
    const device::ProbeDecision d = device::DecideProbe(greeting, device::ProbeCaller::RemoteHost);
    EXPECT_EQ(d.stream_mode, control::kStreamNative);
    EXPECT_FALSE(d.set_remote_port);

    auto* c = new control::CQuorlina();
    EXPECT_EQ(device::ParseRemoteHost(*c, "127.0.0.1"), device::kHttpDefaultPort);
    EXPECT_EQ(c->RemotePort.load(), control::kNativeDefaultPort);
    c->Destroy();
}

// The probe goes to port 80, where nothing answers here: its refused connect is held for the
// probe's 5-second connect time-out before the device is classed native on 8481.
TEST(NativeDeviceProbe, HostWithoutPortEndsOnTheNativePortSlow) {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(device::kHttpDefaultPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool port80_taken =
        ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (port80_taken) GTEST_SKIP() << "something listens on 127.0.0.1:80";
    auto* c = new control::CQuorlina();
    device::PutRemoteHost(*c, "127.0.0.1");
    EXPECT_EQ(c->StreamMode.load(), control::kStreamNative);
    EXPECT_EQ(c->RemotePort.load(), control::kNativeDefaultPort);
    c->Destroy();
}
