// Play/stop state machine, destruction and the field accessors of the control.
#include "control/quorlina.h"

#include "device/native_stream.h"
#include "device/probe.h"
#include "stream/http_stream.h"

namespace control {

CQuorlina::CQuorlina() = default;

void CQuorlina::HttpStreamThread(ControlState& c) { stream::RunHttpStream(c); }
void CQuorlina::NativeStreamThread(ControlState& c) { device::RunNativeStream(c); }

HRESULT CQuorlina::Play() {
    if (Window.load() == nullptr) return platform::S_OK;
    if (PlayState.load() == Playing) return platform::S_OK;
    const std::int32_t previous = PlayState.exchange(Playing);
    // Without a probe verdict there is nothing to play; give up after a bounded wait rather
    // than holding the container's thread forever, and leave the state as it was.
    if (!device::WaitForStreamMode(*this)) {
        PlayState = previous;
        if (ProbesInProgress.load() > 0)
            Session.End(ReasonCode::NoTarget, "the probe has not decided the protocol within " +
                                                  std::to_string(device::kUndecidedWaitLimitMs /
                                                                 1000) +
                                                  " s");
        else
            Session.End(ReasonCode::NoTarget, to_string(ReasonCode::NoTarget));
        return platform::S_OK;
    }
    ThreadRunning = 1;
    Session.Begin();
    if (!StartWorker(StreamMode.load() == kStreamHttp ? &HttpStreamThread : &NativeStreamThread))
        Session.End(ReasonCode::NoWorker, to_string(ReasonCode::NoWorker));
    return platform::S_OK;
}

SessionStatus CQuorlina::Status() const {
    SessionStatus status = Session.Read();
    status.stream_mode = StreamMode.load();
    return status;
}

void CQuorlina::WaitForWorker() {
    for (int counter = 0;; ++counter) {
        if (PlayState.load() == Ended) break;
        if (counter > kStopPolls) {
            PlayState = StopRequested;
            break;
        }
        if (ThreadRunning.load() == 0) break;
        platform::Sleep(kStopPollMs);
        PlayState = StopRequested;
    }
    ThreadRunning = 0;
}

HRESULT CQuorlina::Stop() {
    if (PlayState.load() != Playing) return platform::S_OK;
    PlayState = StopRequested;
    WaitForWorker();
    return platform::S_OK;
}

void CQuorlina::Destroy() {
    if (destroyed_) return;
    destroyed_ = true;
    PlayState = StopRequested;
    WaitForWorker();
    AmbientUserMode = 1;
    {
        std::lock_guard<std::mutex> guard(ReplyLock);
        Replies = ReplyTable{};
    }
    {
        std::lock_guard<std::mutex> guard(CommandSocketLock);
        CommandSocket.CloseConnection();
    }
    if (const platform::HWND window = Window.load(); platform::IsWindow(window))
        platform::DestroyWindow(window);
    site_ = nullptr;
    Release();
}

HRESULT CQuorlina::get_FrameRate(double* value) {
    const std::int32_t count = FrameCount.exchange(0);
    double rate = 0.0;
    if (count >= 1) {
        RateTickNow = platform::GetTickCount();
        if (RateTickNow != RateTickLast) {
            const std::uint32_t elapsed = RateTickNow - RateTickLast;
            MeasuredFrameRate =
                static_cast<double>(static_cast<std::int64_t>(static_cast<double>(count) / elapsed * 100000.0)) /
                100.0;
            rate = MeasuredFrameRate;
        }
    }
    RateTickLast = platform::GetTickCount();
    *value = rate;
    return platform::S_OK;
}

HRESULT CQuorlina::get_RemoteHost(std::string* v) {
    *v = RemoteHost.Get();
    return platform::S_OK;
}
HRESULT CQuorlina::put_RemoteHost(const char* v) {
    // A refused text (the reason goes to the debugger output) changes nothing.
    return device::PutRemoteHost(*this, v) ? platform::S_OK : platform::E_INVALIDARG;
}
HRESULT CQuorlina::get_RemotePort(std::int32_t* v) {
    *v = RemotePort.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_RemotePort(std::int32_t v) {
    device::PutRemotePort(*this, v);
    return platform::S_OK;
}
HRESULT CQuorlina::get_RemoteWeb(std::int32_t* v) {
    *v = RemoteWeb.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_RemoteWeb(std::int32_t v) {
    device::PutRemoteWeb(*this, v);
    return platform::S_OK;
}
HRESULT CQuorlina::get_Timeout(std::int32_t* v) {
    *v = Timeout.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_Timeout(std::int32_t v) {
    // Only a value above (current - 10) is taken; 64-bit so that extreme values cannot overflow.
    if (static_cast<std::int64_t>(v) + 10 > Timeout.load()) Timeout = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_PreviewFrameRate(std::int32_t* v) {
    *v = PreviewFrameRate.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_PreviewFrameRate(std::int32_t) { return platform::S_OK; }
HRESULT CQuorlina::get_TimeString(std::string* v) {
    *v = TimeString.Get();
    return platform::S_OK;
}
HRESULT CQuorlina::get_IOOut1(std::int32_t* v) {
    *v = IOOut1.load();
    return platform::S_OK;
}
HRESULT CQuorlina::get_IOOut2(std::int32_t* v) {
    *v = IOOut2.load();
    return platform::S_OK;
}
HRESULT CQuorlina::get_ImageUpload(std::int32_t* v) {
    *v = ImageUpload.load();
    return platform::S_OK;
}
HRESULT CQuorlina::get_EmailImage(std::int32_t* v) {
    *v = EmailImage.load();
    return platform::S_OK;
}
HRESULT CQuorlina::get_PreviewWidth(std::int32_t* v) {
    *v = PreviewWidth.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_PreviewWidth(std::int32_t v) {
    PreviewWidth = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_PreviewHeight(std::int32_t* v) {
    *v = PreviewHeight.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_PreviewHeight(std::int32_t v) {
    PreviewHeight = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_DeviceSerialNo(std::string* v) {
    *v = DeviceSerialNo.Get();
    return platform::S_OK;
}
HRESULT CQuorlina::put_DeviceSerialNo(const char* v) {
    if (v != nullptr) DeviceSerialNo.Set(v);
    return platform::S_OK;
}
HRESULT CQuorlina::get_AuthType(std::int32_t* v) {
    if (v == nullptr) return platform::E_POINTER;
    *v = AuthType.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_AuthType(std::int32_t v) {
    AuthType = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_SetName(std::string* v) {
    *v = SetName.Get();
    return platform::S_OK;
}
HRESULT CQuorlina::put_SetName(const char* v) {
    SetName.Set(v);
    return platform::S_OK;
}
HRESULT CQuorlina::get_PanSingleMoveDegree(std::int32_t* v) {
    *v = PanSingleMoveDegree.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_PanSingleMoveDegree(std::int32_t v) {
    PanSingleMoveDegree = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_TiltSingleMoveDegree(std::int32_t* v) {
    *v = TiltSingleMoveDegree.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_TiltSingleMoveDegree(std::int32_t v) {
    TiltSingleMoveDegree = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_GetHorizontalPosition(std::int32_t* v) {
    *v = GetHorizontalPosition.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_GetHorizontalPosition(std::int32_t v) {
    GetHorizontalPosition = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_GetVerticalPosition(std::int32_t* v) {
    *v = GetVerticalPosition.load();
    return platform::S_OK;
}
HRESULT CQuorlina::put_GetVerticalPosition(std::int32_t v) {
    GetVerticalPosition = v;
    return platform::S_OK;
}
HRESULT CQuorlina::get_WriteOnly(std::int32_t*) { return platform::S_OK; }
HRESULT CQuorlina::Zoom(std::int32_t mode, std::int32_t* v) {
    ZoomFactor = mode;
    *v = ZoomFactor.load();
    return platform::S_OK;
}
HRESULT CQuorlina::ResizeMode(std::int32_t mode, std::int32_t* v) {
    ResizeMethod = mode;
    *v = ResizeMethod.load();
    return platform::S_OK;
}
HRESULT CQuorlina::DisplayMode(std::int32_t mode, std::int32_t* v) {
    DisplayMethod = mode;
    *v = DisplayMethod.load();
    return platform::S_OK;
}
HRESULT CQuorlina::get_Enabled(std::int16_t* v) {
    *v = EnabledFlag.load() ? -1 : 0;
    return platform::S_OK;
}
HRESULT CQuorlina::put_Enabled(std::int16_t v) {
    EnabledFlag = v != 0;
    RequestRepaint();
    return platform::S_OK;
}
HRESULT CQuorlina::get_Window(std::int32_t* v) {
    *v = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(Window.load()));
    return platform::S_OK;
}

}  // namespace control
