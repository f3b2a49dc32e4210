// The native command channel: the real-time reply's fields and bounds, the output command's
// message and replies, then open-and-login, keeping and reopening the command socket against
// loopback devices and the simulated camera, and a stream's Stop while commands run.
#include "device/native_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/native_protocol.h"
#include "support/loopback_device.h"
#include "support/loopback_peer.h"
#include "support/native_harness.h"
#include "support/scripted_link.h"

using device::NativeResult;
using test_support::DeviceConnection;
using test_support::LoopbackDevice;
using test_support::NativeControl;
using test_support::ScriptedLink;
using test_support::StatusWithBlock;

namespace {

// A 70-byte real-time reply: output 1 on, output 2 = -1, clock 2026-12-08 10:11:12 (the spare
// value at 18 is 3), and its text.
std::vector<std::uint8_t> RealTimeReply(const std::string& text = "2026-12-08 10:11:12") {
    std::vector<std::uint8_t> reply(device::kRealTimeReplyBytes, 0);
    reply[4] = 1;
    reply[5] = 1;
    reply[8] = 1;
    reply[9] = 0xFF;
    const int clock[] = {12, 11, 10, 3, 12, 8, 2026};
    for (int i = 0; i < 7; ++i) {
        reply[12 + 2 * i] = static_cast<std::uint8_t>(clock[i] & 0xFF);
        reply[13 + 2 * i] = static_cast<std::uint8_t>(clock[i] >> 8);
    }
    std::memcpy(reply.data() + 26, text.data(), std::min<std::size_t>(text.size(), 44));
    return reply;
}

// "YYYY-MM-DD HH:MM:SS"
bool LooksLikeClockText(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

std::string AsText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// A device that greets with "0200" and answers "0111" with reply and "0002" with status, each
// connection until the client goes; it records every output command's six bytes.
struct AnsweringDevice {
    explicit AnsweringDevice(std::string reply_to_output = StatusWithBlock("0210", 30))
        : output_reply(std::move(reply_to_output)),
          device([this](DeviceConnection& connection) { Serve(connection); }) {}

    void Serve(DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126))) return;
        for (;;) {
            const std::string message = connection.Receive(4);
            if (message == "0111") {
                if (!connection.Send(AsText(RealTimeReply()))) return;
            } else if (message == "0002") {
                const std::string args = connection.Receive(2);
                {
                    std::lock_guard lock(mu);
                    outputs.push_back(message + args);
                }
                if (!connection.Send(output_reply)) return;
            } else {
                return;
            }
        }
    }
    std::vector<std::string> Outputs() {
        std::lock_guard lock(mu);
        return outputs;
    }

    const std::string output_reply;
    std::mutex mu;
    std::vector<std::string> outputs;
    LoopbackDevice device;  // last: its handlers use the members above
};

}  // namespace

// ---- the real-time reply ----

TEST(RealTimeReply, FieldsComeFromTheirOffsets) {
    NativeControl c(0);
    const std::vector<std::uint8_t> reply = RealTimeReply();
    device::ApplyRealTimeReply(*c, reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_EQ(c->IOOut2.load(), -1);  // a signed byte
    EXPECT_EQ(c->DeviceClock.Second.load(), 12);
    EXPECT_EQ(c->DeviceClock.Minute.load(), 11);
    EXPECT_EQ(c->DeviceClock.Hour.load(), 10);
    EXPECT_EQ(c->DeviceClock.Month.load(), 12);
    EXPECT_EQ(c->DeviceClock.Day.load(), 8);
    EXPECT_EQ(c->DeviceClock.Year.load(), 2026);
    EXPECT_EQ(c->TimeString.Get(), "2026-12-08 10:11:12");
    EXPECT_EQ(c->EmailImage.load(), 0);  // bytes 4 and 5 are not the control's
    EXPECT_EQ(c->ImageUpload.load(), 0);
}

TEST(RealTimeReply, ShortReplyKeepsTheFieldsItDidNotCarryWhole) {
    struct Row {
        int received;
        std::int32_t io1, io2, second, year;
        std::string text;
    };
    // Before each row: outputs 5 and 6, second 33, year 1999, text "old".
    const Row rows[] = {
        {0, 5, 6, 33, 1999, "old"},
        {8, 5, 6, 33, 1999, "old"},
        {9, 1, 6, 33, 1999, "old"},
        {13, 1, -1, 33, 1999, "old"},  // the second is cut in half
        {14, 1, -1, 12, 1999, "old"},
        {26, 1, -1, 12, 2026, "old"},
        {69, 1, -1, 12, 2026, "old"},  // the text field is one byte short
        {70, 1, -1, 12, 2026, "2026-12-08 10:11:12"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.received);
        NativeControl c(0);
        c->IOOut1 = 5;
        c->IOOut2 = 6;
        c->DeviceClock.Second = 33;
        c->DeviceClock.Year = 1999;
        c->TimeString.Set("old");
        // Exactly the received bytes, so any read past them is caught by the sanitizers.
        const std::vector<std::uint8_t> full = RealTimeReply();
        std::vector<std::uint8_t> part(full.begin(), full.begin() + row.received);
        device::ApplyRealTimeReply(*c, part.data(), row.received);
        EXPECT_EQ(c->IOOut1.load(), row.io1);
        EXPECT_EQ(c->IOOut2.load(), row.io2);
        EXPECT_EQ(c->DeviceClock.Second.load(), row.second);
        EXPECT_EQ(c->DeviceClock.Year.load(), row.year);
        EXPECT_EQ(c->TimeString.Get(), row.text);
    }
}

TEST(RealTimeReply, TimeTextIsReadOnlyWithinItsFortyFourBytes) {
    NativeControl c(0);
    const std::vector<std::uint8_t> reply = RealTimeReply(std::string(44, 'T'));
    device::ApplyRealTimeReply(*c, reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(c->TimeString.Get(), std::string(44, 'T'));
}

// ---- the output command ----

TEST(OutputCommand, MessageCarriesTheOutputAndTheLowByteOfTheValue) {
    const struct {
        int output;
        std::int32_t value;
        std::string bytes;
    } rows[] = {
        {1, 1, std::string("0002\x01\x01", 6)},   {2, 0, std::string("0002\x02\x00", 6)},
        {1, 256, std::string("0002\x01\x00", 6)}, {2, 0x1FF, std::string("0002\x02\xFF", 6)},
        {1, -1, std::string("0002\x01\xFF", 6)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        std::uint8_t message[device::kOutputCommandBytes];
        device::BuildOutputCommand(row.output, row.value, message);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(message), sizeof message), row.bytes);
    }
}

TEST(OutputCommand, RepliesAreClassed) {
    struct Row {
        const char* name;
        std::vector<std::string> arrivals;
        NativeResult result;
    };
    const Row rows[] = {
        {"switched", {StatusWithBlock("0210", 30)}, NativeResult::kOk},
        {"switched, status in two pieces", {"02", "10" + std::string(30, '\0')}, NativeResult::kOk},
        {"refused", {StatusWithBlock("0502", 30)}, NativeResult::kOutputRefused},
        {"a greeting is no answer", {StatusWithBlock("0200", 126)}, NativeResult::kUnknownStatus},
        {"nothing", {}, NativeResult::kNoStatus},
        {"half a status", {"02"}, NativeResult::kNoStatus},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLink link;
        link.ArriveStale("stale");
        for (const std::string& a : row.arrivals) link.Arrive(a);
        const NativeResult result = device::ExchangeOutputCommand(link, 2, 1, 1);
        EXPECT_EQ(result, row.result) << device::to_string(result);
        EXPECT_EQ(link.sent(), std::string("0002\x02\x01", 6));
    }
}

// ---- the channel against devices ----

TEST(NativeCommands, CameraOutputsAndClockAreReadBackOnOneConnection) {
    auto cam = test_support::StartNativeCamera();
    NativeControl c(cam->NativePort());
    EXPECT_EQ(device::NativeOutputCommand(*c, 1, 1), 0);
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_TRUE(cam->State().output1);

    c->IOOut1 = 0;  // forget it, so the reply must bring it back
    std::int32_t value = 0;
    device::NativeGetRealTimeData(*c, &value);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_EQ(c->IOOut2.load(), 0);
    EXPECT_GE(c->DeviceClock.Year.load(), 2024);
    EXPECT_TRUE(LooksLikeClockText(c->TimeString.Get())) << c->TimeString.Get();
    EXPECT_EQ(cam->State().native_connections, 1u);  // kept alive between the commands
}

TEST(NativeCommands, AcceptedOutputStoresTheWholeValueAndSendsItsLowByte) {
    AnsweringDevice device;
    NativeControl c(device.device.port());
    EXPECT_EQ(device::NativeOutputCommand(*c, 1, 256), 0);
    EXPECT_EQ(c->IOOut1.load(), 256);
    EXPECT_EQ(device::NativeOutputCommand(*c, 2, 3), 0);
    EXPECT_EQ(c->IOOut2.load(), 3);
    EXPECT_EQ(device.Outputs(), (std::vector<std::string>{std::string("0002\x01\x00", 6),
                                                          std::string("0002\x02\x03", 6)}));
    EXPECT_EQ(device.device.Connections(), 1);
}

TEST(NativeCommands, RefusedOutputReturnsOneAndKeepsTheOldValue) {
    camera::CameraConfig config;
    config.refuse_outputs = true;
    auto cam = test_support::StartNativeCamera(config);
    NativeControl c(cam->NativePort());
    c->IOOut2 = 7;
    EXPECT_EQ(device::NativeOutputCommand(*c, 2, 1), 1);
    EXPECT_EQ(c->IOOut2.load(), 7);
    EXPECT_FALSE(cam->State().output2);
    // A refusal leaves the channel in step: the next command uses the same connection.
    std::int32_t value = 0;
    device::NativeGetRealTimeData(*c, &value);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(cam->State().native_connections, 1u);
}

TEST(NativeCommands, OutputNumberOtherThanOneOrTwoSendsNothing) {
    AnsweringDevice device;
    NativeControl c(device.device.port());
    EXPECT_EQ(device::NativeOutputCommand(*c, 3, 1), 1);
    EXPECT_EQ(device::NativeOutputCommand(*c, 0, 1), 1);
    EXPECT_EQ(device.device.Connections(), 0);
}

TEST(NativeCommands, ChannelIsReopenedAfterTheDeviceClosesIt) {
    LoopbackDevice device([](DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126))) return;
        if (connection.Receive(4) == "0111") connection.Send(AsText(RealTimeReply()));
        // and the device closes the connection
    });
    NativeControl c(device.port());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        std::int32_t value = 0;
        device::NativeGetRealTimeData(*c, &value);
        EXPECT_EQ(value, -1);
        ASSERT_TRUE(test_support::WaitUntil([&] { return device.Connections() == i + 1; }));
        // Let the device's close arrive before the next command looks at the socket.
        platform::Sleep(20);
    }
}

TEST(NativeCommands, ShortReplyStoresWhatItCarriedAndClosesTheChannel) {
    LoopbackDevice device([](DeviceConnection& connection) {
        if (!connection.Send(StatusWithBlock("0200", 126))) return;
        if (connection.Receive(4) != "0111") return;
        connection.Send(AsText(RealTimeReply()).substr(0, 10));
        connection.WaitClosed();
    });
    NativeControl c(device.port());
    c->TimeString.Set("old");
    std::int32_t value = 7;
    device::NativeGetRealTimeData(*c, &value);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_EQ(c->IOOut2.load(), -1);
    EXPECT_EQ(c->TimeString.Get(), "old");
    EXPECT_EQ(c->CommandSocket.GetSocket(), net::kNoSocket);
}

TEST(NativeCommands, LoginsOnTheCommandChannel) {
    using camera::LoginMode;
    struct Row {
        const char* name;
        LoginMode login;
        std::int32_t auth_type;
        const char* user;
        const char* password;
        const char* serial;
        bool works;
    };
    const Row rows[] = {
        {"no login", LoginMode::kNone, 0, "", "", "", true},
        {"short greeting", LoginMode::kNoneShort, 0, "", "", "", true},
        {"challenge", LoginMode::kChallenge, 0, "viewer", "k3y", "", true},
        {"challenge, no credentials", LoginMode::kChallenge, 0, "", "", "", false},
        {"serial", LoginMode::kSerial, 1, "", "", "SN-1", true},
        {"serial, wrong token", LoginMode::kSerial, 1, "", "", "SN-2", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        camera::CameraConfig config;
        config.login = row.login;
        config.user = "viewer";
        config.password = "k3y";
        config.serial = "SN-1";
        auto cam = test_support::StartNativeCamera(config);
        NativeControl c(cam->NativePort());
        c->AuthType = row.auth_type;
        c->UserName.Set(row.user);
        c->Password.Set(row.password);
        c->DeviceSerialNo.Set(row.serial);
        std::int32_t value = 0;
        device::NativeGetRealTimeData(*c, &value);
        EXPECT_EQ(value, row.works ? -1 : 0);
        EXPECT_EQ(device::NativeOutputCommand(*c, 1, 1), row.works ? 0 : 1);
        EXPECT_EQ(cam->State().output1, row.works);
        // A failed login leaves no half-open channel behind; a working one stays open.
        EXPECT_EQ(c->CommandSocket.GetSocket() != net::kNoSocket, row.works);
        EXPECT_EQ(cam->State().native_connections, row.works ? 1u : 2u);
    }
}

TEST(NativeCommands, UnreachableDeviceFailsEveryCommand) {
    test_support::RefusingPort refusing;
    NativeControl c(refusing.port());
    std::int32_t value = 9;
    device::NativeGetRealTimeData(*c, &value);
    EXPECT_EQ(value, 0);
    c->IOOut1 = 4;
    EXPECT_EQ(device::NativeOutputCommand(*c, 1, 1), 1);
    EXPECT_EQ(c->IOOut1.load(), 4);
}

TEST(NativeCommands, StreamStopWhileCommandsRunIsSafe) {
    auto cam = test_support::StartNativeCamera();
    NativeControl c(cam->NativePort());
    c.Play();
    ASSERT_TRUE(test_support::WaitUntil([&] { return c->FramesPresented.load() >= 1; }));
    constexpr int kMaxCommands = 20000;
    constexpr int kCommandsAfterStop = 20;
    std::atomic<bool> stopped{false};
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    std::thread commands([&] {
        int after_stop = 0;
        for (int i = 0; i < kMaxCommands && after_stop < kCommandsAfterStop; ++i) {
            if (stopped.load()) ++after_stop;
            std::int32_t value = 0;
            device::NativeGetRealTimeData(*c, &value);
            if (value != -1) ++failed;
            if (device::NativeOutputCommand(*c, 1 + i % 2, i % 2) != 0) ++failed;
            ++done;
        }
    });
    ASSERT_TRUE(test_support::WaitUntil([&] { return done.load() >= 20; }));
    EXPECT_LT(c.Stop(), 2000u);
    stopped = true;
    commands.join();
    EXPECT_EQ(c->PlayState.load(), control::Ended);
    // The stop step waited for the command in flight, and the commands after it reopened the
    // channel: none of them failed.
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GE(cam->State().native_connections, 3u);  // stream, command, command after the stop
}
