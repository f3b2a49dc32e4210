// The command members of the control: each waits for the protocol verdict, then takes the native
// branch (the command channel on this thread, or nothing) or the HTTP branch (a request handed to
// a worker). Request building, sending and reply handling are in commands/.
#include <cstdint>

#include "commands/command_bodies.h"
#include "commands/command_workers.h"
#include "control/quorlina.h"
#include "device/native_commands.h"
#include "device/probe.h"
#include "platform/kernel.h"

namespace control {
namespace {

enum class Branch { None, Native, Http };

// The branch a command takes. None when no verdict came within the bounded wait: the member
// then reports success and sends nothing, and the command record says why.
Branch CommandBranch(ControlState& c) {
    if (!device::WaitForStreamMode(c)) {
        c.Session.CommandFinished(commands::kCommandConnectFailed,
                                  std::string("not sent: ") + to_string(ReasonCode::NoTarget));
        return Branch::None;
    }
    return c.StreamMode.load() == kStreamNative ? Branch::Native : Branch::Http;
}

// The members that only an HTTP device answers. The body is made only on that branch, from
// the stored values as they are then.
template <typename MakeBody>
HRESULT HttpOnlyPost(ControlState& c, const char* path, MakeBody make_body) {
    switch (CommandBranch(c)) {
        case Branch::Http:
            commands::PostCommand(c, path, make_body());
            break;
        case Branch::Native:
            c.Session.CommandFinished(commands::kCommandRefused,
                                      "not sent: a native camera has no such command");
            break;
        case Branch::None:
            break;
    }
    return platform::S_OK;
}

HRESULT PutOutput(ControlState& c, int output, std::int32_t value) {
    switch (CommandBranch(c)) {
        case Branch::None:
            return platform::S_OK;
        case Branch::Native:
            return device::NativeOutputCommand(c, output, value);
        case Branch::Http:
            break;
    }
    const std::string body = output == 1 ? commands::OutputsBody(value, c.IOOut2.load())
                                         : commands::OutputsBody(c.IOOut1.load(), value);
    commands::PostCommand(c, commands::kIoControlPath, body);
    return platform::S_OK;
}

}  // namespace

HRESULT CQuorlina::put_IOOut1(std::int32_t v) {
    return PutOutput(*this, 1, v);
}
HRESULT CQuorlina::put_IOOut2(std::int32_t v) {
    return PutOutput(*this, 2, v);
}

HRESULT CQuorlina::put_ImageUpload(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kIoControlPath,
                        [v] { return commands::ImageUploadBody(v); });
}

HRESULT CQuorlina::put_EmailImage(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kIoControlPath,
                        [v] { return commands::ImageEmailBody(v); });
}

HRESULT CQuorlina::GetRealTimeData(std::int32_t* v) {
    switch (CommandBranch(*this)) {
        case Branch::None:
            break;
        case Branch::Native:
            device::NativeGetRealTimeData(*this, v);
            break;
        case Branch::Http:
            commands::ReadRealTimeData(*this);
            break;
    }
    return platform::S_OK;
}

HRESULT CQuorlina::put_MovePanTiltDegree(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kPanTiltPath, [this, v] {
        return commands::SingleMoveBody(PanSingleMoveDegree.load(), TiltSingleMoveDegree.load(), v);
    });
}

HRESULT CQuorlina::put_ClearPosition(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kPanTiltPath,
                        [v] { return commands::ClearPositionBody(v); });
}

HRESULT CQuorlina::put_SetPosition(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kPanTiltPath, [this, v] {
        return commands::SetPositionBody(GetHorizontalPosition.load(), GetVerticalPosition.load(),
                                         SetName.Get(), v);
    });
}

HRESULT CQuorlina::put_MovePanTiltPosition(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kPanTiltPath, [v] { return commands::PresetMoveBody(v); });
}

HRESULT CQuorlina::put_SwingMode(std::int32_t v) {
    return HttpOnlyPost(*this, commands::kSwingModePath, [v] {
        platform::OutputDebugStringA("CQuorlina::put_SwingMode");
        return commands::SwingModeBody(v);
    });
}

HRESULT CQuorlina::MoveToPos(std::int32_t pan, std::int32_t tilt, std::int32_t*) {
    return HttpOnlyPost(*this, commands::kPanTiltPath,
                        [pan, tilt] { return commands::MoveToPositionBody(pan, tilt); });
}

}  // namespace control
