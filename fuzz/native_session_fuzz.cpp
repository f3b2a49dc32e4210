// Fuzzes the native protocol steps with device bytes from memory: the greeting and login with
// each AuthType kind, a run of frame requests, the real-time reply and the output command reply.
// The input is cut into receive-sized pieces at every '|' byte, so short reads are explored too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/native_protocol.h"
#include "tests/support/scripted_link.h"

namespace {

constexpr int kMaxFrameRequests = 8;

class FuzzControl : public control::ControlState {
  public:
    using control::ControlState::ControlState;
};

void Feed(test_support::ScriptedLink& link, const std::uint8_t* data, std::size_t size) {
    std::string piece;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '|') {
            link.Arrive(piece);
            piece.clear();
        } else {
            piece.push_back(static_cast<char>(data[i]));
        }
    }
    link.Arrive(piece);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::int32_t auth_types[] = {device::kAuthChallenge, device::kAuthSerial, 2};
    device::LoginSettings settings;
    settings.auth_type = auth_types[data[0] % 3];
    device::BuildCredentialBlock("user", "password", settings.credentials);
    device::BuildSerialLogin("serial", settings.serial_login);

    test_support::ScriptedLink link;
    Feed(link, data + 1, size - 1);
    std::uint8_t block[device::kBlockBufferBytes] = {};
    const device::StatusRead read =
        (data[0] & 0x80) ? device::StatusRead::kFill : device::StatusRead::kOneReceive;
    if (device::OpenSession(link, read, settings, 1, block) == device::NativeResult::kOk) {
        (void)device::PacingDelayMs(device::PacingValue(block));
        std::vector<std::uint8_t> buffer(device::kReceiveBufferBytes);
        for (int i = 0; i < kMaxFrameRequests; ++i) {
            const device::FrameReply reply = device::RequestFrame(link, 1, buffer.data());
            if (reply.result != device::NativeResult::kOk &&
                reply.result != device::NativeResult::kNoFrame)
                break;
        }
    }
    auto* c = new FuzzControl();
    std::uint8_t reply[device::kRealTimeReplyBytes];
    device::ApplyRealTimeReply(*c, reply, device::RequestRealTimeData(link, 1, reply));
    device::ExchangeOutputCommand(link, 1, 1, 1);
    c->Release();
    return 0;
}
