// Host-side control creation (through the class factory, or bare), and the status line.
#include "apps/host.h"

#include <cstdio>

#include "host/identity.h"
#include "host/module.h"
#include "host/quorlina_object.h"

namespace apps {

namespace {
// Stands in for the control's window until the window layer gives it a real one: the control
// only needs to know that it has one.
char g_headless_window;
}  // namespace

void AddHostOptions(CLI::App& app, HostOptions& options) {
    app.add_option("--user", options.user,
                   "user name for the camera (first 12 characters are sent)");
    app.add_option("--password", options.password,
                   "password for the camera (first 8 characters are sent)");
}

HostedControl::~HostedControl() {
    if (dispatch_ != nullptr) dispatch_->Release();
}

HostedControl& HostedControl::operator=(HostedControl&& other) noexcept {
    if (this != &other) {
        if (dispatch_ != nullptr) dispatch_->Release();
        dispatch_ = other.dispatch_;
        other.dispatch_ = nullptr;
    }
    return *this;
}

control::CQuorlina& HostedControl::Inner() const {
    return host::QuorlinaObject::FromUnknown(dispatch_)->Control();
}

HostedControl CreateComponentControl(const HostOptions& options, std::string* error) {
    void* factory_pointer = nullptr;
    platform::HRESULT hr =
        DllGetClassObject(host::kClsidQuorlina, platform::IID_IClassFactory, &factory_pointer);
    if (!platform::Succeeded(hr)) {
        if (error) *error = "no class factory: " + platform::HresultName(hr);
        return {};
    }
    auto* factory = static_cast<platform::IClassFactory*>(factory_pointer);
    void* dispatch_pointer = nullptr;
    hr = factory->CreateInstance(nullptr, platform::IID_IDispatch, &dispatch_pointer);
    factory->Release();
    if (!platform::Succeeded(hr)) {
        if (error) *error = "the class factory made no control: " + platform::HresultName(hr);
        return {};
    }
    HostedControl hosted(static_cast<platform::IDispatch*>(dispatch_pointer));
    control::CQuorlina& c = hosted.Inner();
    c.UserName.Set(options.user);
    c.Password.Set(options.password);
    c.AttachWindow(reinterpret_cast<platform::HWND>(&g_headless_window));
    return hosted;
}

control::CQuorlina* CreateHostedControl(const HostOptions& options) {
    auto* c = new control::CQuorlina();
    c->UserName.Set(options.user);
    c->Password.Set(options.password);
    c->AttachWindow(reinterpret_cast<platform::HWND>(&g_headless_window));
    return c;
}

std::string StatusLine(control::CQuorlina& c, double frame_rate) {
    char line[256];
    std::snprintf(
        line, sizeof line,
        "frames %u  fps %.2f  time \"%s\"  out1 %d  out2 %d  upload %d  email %d  pan %d  tilt %d",
        c.FramesPresented.load(), frame_rate, c.TimeString.Get().c_str(), c.IOOut1.load(),
        c.IOOut2.load(), c.ImageUpload.load(), c.EmailImage.load(), c.GetHorizontalPosition.load(),
        c.GetVerticalPosition.load());
    return line;
}

}  // namespace apps
