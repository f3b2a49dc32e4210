// Creation through DllGetClassObject and IClassFactory, activation in a window of its own screen,
// and the replay backoff. Until the component offers in-place activation, a client site with
// ambient properties and a status interface, this file reaches the control's record behind the
// interface for those (window, site, credentials, play state, frames presented) and nowhere else.
#include "web/camera_host.h"

#include <algorithm>

#include "control/container_site.h"
#include "control/quorlina.h"
#include "host/identity.h"
#include "host/module.h"
#include "host/quorlina_object.h"
#include "image/jpeg_decoder.h"
#include "platform/kernel.h"

namespace web {

using namespace platform;

const char* to_string(CameraState state) {
    switch (state) {
        case CameraState::kIdle:
            return "idle";
        case CameraState::kConnecting:
            return "connecting";
        case CameraState::kPlaying:
            return "playing";
        case CameraState::kEnded:
            return "ended";
    }
    return "?";
}

namespace {

// The extent is in hundredths of a millimetre; screen pixels are taken at 96 to the inch.
constexpr int kHimetricPerInch = 2540;
constexpr int kPixelsPerInch = 96;

// The ambient properties of this container: run mode and the configured background.
class Site final : public control::ContainerSite {
  public:
    explicit Site(std::uint32_t rgb) : background_(rgb) {}
    bool AmbientUserMode(bool* run_mode) override {
        *run_mode = true;
        return true;
    }
    bool AmbientBackColor(OLE_COLOR* color) override {
        *color = RGB(static_cast<std::uint8_t>(background_ >> 16),
                     static_cast<std::uint8_t>(background_ >> 8),
                     static_cast<std::uint8_t>(background_));
        return true;
    }

  private:
    std::uint32_t background_;
};

template <typename T>
T* Query(IUnknown& object, const IID& iid) {
    void* p = nullptr;
    if (!Succeeded(object.QueryInterface(iid, &p))) return nullptr;
    return static_cast<T*>(p);
}

}  // namespace

struct CameraHost::Impl {
    CameraConfig config;
    IDispatch* dispatch = nullptr;
    control::CQuorlina* inner = nullptr;  // the record behind dispatch (see the file's opener)
    HWND screen = nullptr;
    HWND window = nullptr;
    Site site{kDefaultBackground};

    // Replay: after an end no one asked for, play again after delay_ms.
    std::uint32_t frames_at_play = 0;
    bool ended_seen = false;
    platform::Tick ended_at = 0;
    std::uint32_t delay_ms = kFirstReplayDelayMs;

    explicit Impl(const CameraConfig& c) : config(c), site(c.background) {}
    ~Impl() {
        if (dispatch == nullptr) return;
        if (inner != nullptr) inner->SetContainerSite(nullptr);
        dispatch->Release();  // the last release: the control stops and goes with its window
        if (screen != nullptr) DestroyWindow(screen);
    }

    bool PutLong(const char* name, std::int32_t value) {
        std::u16string wide = Utf16FromAnsi(name);
        OLECHAR* names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        if (!Succeeded(dispatch->GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id)))
            return false;
        VARIANT arg;
        arg.vt = VT_I4;
        arg.lVal = value;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params;
        params.rgvarg = &arg;
        params.cArgs = 1;
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
        return Succeeded(dispatch->Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYPUT,
                                          &params, nullptr, nullptr, nullptr));
    }
    bool PutText(const char* name, const std::string& text) {
        std::u16string wide = Utf16FromAnsi(name);
        OLECHAR* names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        if (!Succeeded(dispatch->GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id)))
            return false;
        VARIANT arg;
        arg.vt = VT_BSTR;
        arg.bstrVal = BstrFromAnsi(text);
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params;
        params.rgvarg = &arg;
        params.cArgs = 1;
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
        const bool ok =
            Succeeded(dispatch->Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYPUT,
                                       &params, nullptr, nullptr, nullptr));
        VariantClear(&arg);
        return ok;
    }
    void Call(const char* name, std::int32_t* argument) {
        std::u16string wide = Utf16FromAnsi(name);
        OLECHAR* names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        if (!Succeeded(dispatch->GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id))) return;
        VARIANT arg;
        arg.vt = VT_I4;
        arg.lVal = argument != nullptr ? *argument : 0;
        DISPPARAMS params;
        if (argument != nullptr) {
            params.rgvarg = &arg;
            params.cArgs = 1;
        }
        VARIANT result;
        dispatch->Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_METHOD, &params, &result, nullptr,
                         nullptr);
        VariantClear(&result);
    }
};

CameraHost::CameraHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CameraHost::~CameraHost() = default;

std::unique_ptr<CameraHost> CameraHost::Create(const CameraConfig& config, std::string* error) {
    auto impl = std::make_unique<Impl>(config);
    void* factory_pointer = nullptr;
    HRESULT hr = DllGetClassObject(host::kClsidQuorlina, IID_IClassFactory, &factory_pointer);
    if (!Succeeded(hr)) {
        *error = "no class factory: " + HresultName(hr);
        return nullptr;
    }
    auto* factory = static_cast<IClassFactory*>(factory_pointer);
    void* dispatch_pointer = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IDispatch, &dispatch_pointer);
    factory->Release();
    if (!Succeeded(hr)) {
        *error = "the class factory made no control: " + HresultName(hr);
        return nullptr;
    }
    impl->dispatch = static_cast<IDispatch*>(dispatch_pointer);
    impl->inner = &host::QuorlinaObject::FromUnknown(impl->dispatch)->Control();
    control::CQuorlina& c = *impl->inner;
    c.SetContainerSite(&impl->site);
    c.UserName.Set(config.user);
    c.Password.Set(config.password);

    const RECT place{0, 0, config.preview_width, config.preview_height};
    impl->screen = CreateScreen(config.preview_width, config.preview_height, config.depth);
    if (impl->screen == nullptr) {
        *error = "no screen of " + std::to_string(config.depth) + " bits for the window";
        return nullptr;
    }
    impl->window = c.CreateControlWindow(impl->screen, place);
    if (impl->window == nullptr) {
        *error = "the control made no window";
        return nullptr;
    }
    if (IOleObject* ole = Query<IOleObject>(*impl->dispatch, IID_IOleObject)) {
        SIZEL extent{config.preview_width * kHimetricPerInch / kPixelsPerInch,
                     config.preview_height * kHimetricPerInch / kPixelsPerInch};
        ole->SetExtent(DVASPECT_CONTENT, &extent);
        ole->Release();
    }
    if (IOleInPlaceObject* in_place =
            Query<IOleInPlaceObject>(*impl->dispatch, IID_IOleInPlaceObject)) {
        in_place->SetObjectRects(&place, &place);
        in_place->Release();
    }
    impl->PutLong("PreviewWidth", config.preview_width);
    impl->PutLong("PreviewHeight", config.preview_height);
    std::int32_t v = config.zoom;
    impl->Call("Zoom", &v);
    v = config.resize;
    impl->Call("ResizeMode", &v);
    v = config.display;
    impl->Call("DisplayMode", &v);
    impl->PutLong("AuthType", config.auth_type);
    if (config.timeout > 0) impl->PutLong("Timeout", config.timeout);
    PumpMessages();                              // the window's first paint: its background
    impl->PutText("RemoteHost", config.target);  // the probe, on this thread as a container does
    return std::unique_ptr<CameraHost>(new CameraHost(std::move(impl)));
}

IDispatch& CameraHost::Dispatch() {
    return *impl_->dispatch;
}

void CameraHost::Play() {
    wanted_ = true;
    impl_->ended_seen = false;
    impl_->delay_ms = kFirstReplayDelayMs;
    impl_->frames_at_play = FramesPresented();
    impl_->Call("Play", nullptr);
}

void CameraHost::Stop() {
    wanted_ = false;
    impl_->ended_seen = false;
    impl_->Call("Stop", nullptr);
}

void CameraHost::NoteScriptPlay(bool playing) {
    wanted_ = playing;
    impl_->ended_seen = false;
    impl_->delay_ms = kFirstReplayDelayMs;
    if (playing) impl_->frames_at_play = FramesPresented();
}

void CameraHost::Tick() {
    PumpMessages();
    if (!wanted_) return;
    const std::int32_t state = impl_->inner->PlayState.load();
    if (state == control::Playing) {
        // A session that showed frames earns a fresh backoff.
        if (FramesPresented() != impl_->frames_at_play) impl_->delay_ms = kFirstReplayDelayMs;
        return;
    }
    const platform::Tick now = GetTickCount();
    if (!impl_->ended_seen) {
        impl_->ended_seen = true;
        impl_->ended_at = now;
        return;
    }
    if (now - impl_->ended_at < impl_->delay_ms) return;
    const std::uint32_t next = std::min(impl_->delay_ms * 2, kMaxReplayDelayMs);
    impl_->ended_seen = false;
    impl_->frames_at_play = FramesPresented();
    impl_->Call("Play", nullptr);
    impl_->delay_ms = next;
}

CameraStatus CameraHost::Status() const {
    CameraStatus s;
    const std::int32_t state = impl_->inner->PlayState.load();
    if (!wanted_) {
        s.state = CameraState::kIdle;
    } else if (state == control::Playing) {
        s.state = FramesPresented() != impl_->frames_at_play ? CameraState::kPlaying
                                                             : CameraState::kConnecting;
    } else {
        s.state = CameraState::kEnded;
        if (impl_->ended_seen) {
            const std::uint32_t waited = GetTickCount() - impl_->ended_at;
            s.retry_in_ms = waited < impl_->delay_ms ? impl_->delay_ms - waited : 0;
        } else {
            s.retry_in_ms = impl_->delay_ms;
        }
    }
    return s;
}

std::uint64_t CameraHost::ChangeCount() const {
    return ScreenChangeCount(impl_->window);
}

bool CameraHost::ReadPixels(WindowPixels* pixels) const {
    return ReadWindowPixels(impl_->window, pixels);
}

std::uint32_t CameraHost::FramesPresented() const {
    return impl_->inner->FramesPresented.load();
}

bool CameraHost::ForwardableFrame(std::string* jpeg) const {
    control::CQuorlina& c = *impl_->inner;
    if (impl_->config.depth != 32 || c.ZoomFactor.load() != 1) return false;
    RECT client;
    if (!GetClientRect(impl_->window, &client)) return false;
    const int width = c.PreviewWidth.load(), height = c.PreviewHeight.load();
    if (client.right != width || client.bottom != height) return false;
    {
        std::lock_guard<std::mutex> lock(c.FrameLock);
        if (c.FrameLength <= 0) return false;
        jpeg->assign(reinterpret_cast<const char*>(c.FrameBuffer),
                     static_cast<std::size_t>(c.FrameLength));
    }
    image::JpegInfo info;
    if (image::ReadJpegInfo(reinterpret_cast<const std::uint8_t*>(jpeg->data()), jpeg->size(),
                            &info) != image::kImageOk)
        return false;
    return info.Width == width && info.Height == height;
}

}  // namespace web
