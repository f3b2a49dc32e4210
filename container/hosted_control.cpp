// Creation, activation, sizing, ambient changes, drawing and teardown of a hosted control.
#include "container/hosted_control.h"

#include <algorithm>

#include "host/identity.h"
#include "host/module.h"
#include "host/quorlina_object.h"
#include "platform/window.h"

namespace container {

using namespace platform;

namespace {

template <typename T>
T* Query(IUnknown* object, const IID& iid) {
    void* found = nullptr;
    if (object == nullptr || !Succeeded(object->QueryInterface(iid, &found))) return nullptr;
    return static_cast<T*>(found);
}

template <typename T>
void ReleaseAndClear(T*& p) {
    if (p != nullptr) p->Release();
    p = nullptr;
}

// A long property read through IDispatch, or `fallback` when the control does not give it.
LONG GetLongMember(IDispatch& dispatch, const char* name, LONG fallback) {
    std::u16string wide = Utf16FromAnsi(name);
    OLECHAR* names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    if (!Succeeded(dispatch.GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id)))
        return fallback;
    DISPPARAMS none;
    VARIANT value;
    if (!Succeeded(dispatch.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYGET, &none,
                                   &value, nullptr, nullptr)))
        return fallback;
    VARIANT number;
    const bool ok = VariantChangeType(&number, &value, VT_I4) == S_OK;
    VariantClear(&value);
    return ok ? number.lVal : fallback;
}

}  // namespace

SIZEL ExtentOfPixels(int width, int height) {
    return SIZEL{width * kHimetricPerInch / kPixelsPerInch,
                 height * kHimetricPerInch / kPixelsPerInch};
}

HWND CreateScreenFor(const ScreenOptions& screen, int width, int height) {
    return CreateScreen(std::max(width, screen.screen_width),
                        std::max(height, screen.screen_height), screen.depth);
}

struct HostedControl::Parts {
    IOleObject* ole = nullptr;  // the reference the container holds; the others are views of it
    IDispatch* dispatch = nullptr;
    IOleInPlaceObject* in_place = nullptr;
    IOleControl* control = nullptr;
    IViewObject* view = nullptr;
    ClientSite* site = nullptr;
    HWND screen = nullptr;
    bool advising = false;

    // The container's teardown: no more notices, close (the window goes and the stream stops),
    // drop the site, let go of the control (the last release destroys it), then the screen.
    ~Parts() {
        if (advising) view->SetAdvise(DVASPECT_CONTENT, 0, nullptr);
        if (ole != nullptr) {
            ole->Close(OLECLOSE_NOSAVE);
            ole->SetClientSite(nullptr);
        }
        ReleaseAndClear(view);
        ReleaseAndClear(control);
        ReleaseAndClear(in_place);
        ReleaseAndClear(dispatch);
        ReleaseAndClear(ole);
        ReleaseAndClear(site);
        if (screen != nullptr) DestroyWindow(screen);
    }
};

HostedControl::HostedControl() = default;
HostedControl::HostedControl(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
HostedControl::~HostedControl() = default;
HostedControl::HostedControl(HostedControl&& other) noexcept = default;
HostedControl& HostedControl::operator=(HostedControl&& other) noexcept = default;

HostedControl HostedControl::Create(const ControlOptions& options, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return HostedControl();
    };
    void* factory_pointer = nullptr;
    HRESULT hr = DllGetClassObject(host::kClsidQuorlina, IID_IClassFactory, &factory_pointer);
    if (!Succeeded(hr)) return fail("no class factory: " + HresultName(hr));
    auto* factory = static_cast<IClassFactory*>(factory_pointer);
    void* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IOleObject, &object);
    factory->Release();
    if (!Succeeded(hr)) return fail("the class factory made no control: " + HresultName(hr));

    auto parts = std::make_unique<Parts>();
    parts->ole = static_cast<IOleObject*>(object);
    parts->dispatch = Query<IDispatch>(parts->ole, IID_IDispatch);
    parts->in_place = Query<IOleInPlaceObject>(parts->ole, IID_IOleInPlaceObject);
    parts->control = Query<IOleControl>(parts->ole, IID_IOleControl);
    parts->view = Query<IViewObject>(parts->ole, IID_IViewObject);
    auto* persist = Query<IPersistStreamInit>(parts->ole, IID_IPersistStreamInit);
    if (parts->dispatch == nullptr || parts->in_place == nullptr || parts->control == nullptr ||
        parts->view == nullptr || persist == nullptr) {
        if (persist != nullptr) persist->Release();
        return fail("the control lacks an interface a container needs");
    }
    parts->site = ClientSite::Create(options.ambients);

    // A control that asks for its site first gets it before it is initialised, so its ambient
    // properties are there from the start.
    DWORD misc = 0;
    const bool site_first = Succeeded(parts->ole->GetMiscStatus(DVASPECT_CONTENT, &misc)) &&
                            (misc & OLEMISC_SETCLIENTSITEFIRST) != 0;
    if (site_first) parts->ole->SetClientSite(parts->site);
    hr = persist->InitNew();
    persist->Release();
    if (!Succeeded(hr)) return fail("the control refused to initialise: " + HresultName(hr));
    if (!site_first) parts->ole->SetClientSite(parts->site);

    // The documented exception to "interfaces only": no scripting member sets the credentials.
    if (host::QuorlinaObject* inner = host::QuorlinaObject::FromUnknown(parts->ole)) {
        inner->Control().UserName.Set(options.user);
        inner->Control().Password.Set(options.password);
    }

    const ScreenOptions& screen = options.screen;
    const int width = screen.width > 0
                          ? screen.width
                          : static_cast<int>(GetLongMember(*parts->dispatch, "PreviewWidth", 0));
    const int height = screen.height > 0
                           ? screen.height
                           : static_cast<int>(GetLongMember(*parts->dispatch, "PreviewHeight", 0));
    parts->screen = CreateScreenFor(screen, width, height);
    if (parts->screen == nullptr)
        return fail("no screen of " + std::to_string(screen.depth) + " bits for a " +
                    std::to_string(width) + "x" + std::to_string(height) + " window");
    SIZEL extent = ExtentOfPixels(width, height);
    parts->ole->SetExtent(DVASPECT_CONTENT, &extent);
    const RECT place{0, 0, width, height};
    hr = parts->ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, parts->site, 0, parts->screen,
                            &place);
    if (!Succeeded(hr)) return fail("the control did not activate in place: " + HresultName(hr));
    hr = parts->view->SetAdvise(DVASPECT_CONTENT, 0, static_cast<IAdviseSink*>(parts->site));
    parts->advising = Succeeded(hr);
    return HostedControl(std::move(parts));
}

IDispatch& HostedControl::Dispatch() const {
    return *parts_->dispatch;
}

IUnknown& HostedControl::Unknown() const {
    return *parts_->ole;
}

HWND HostedControl::Window() const {
    HWND window = nullptr;
    return Succeeded(parts_->in_place->GetWindow(&window)) ? window : nullptr;
}

HWND HostedControl::Screen() const {
    return parts_->screen;
}

bool HostedControl::Resize(int width, int height) {
    RECT screen_area;
    if (!GetClientRect(parts_->screen, &screen_area) || width < 1 || height < 1 ||
        width > screen_area.right || height > screen_area.bottom)
        return false;
    const RECT place{0, 0, width, height};
    if (!Succeeded(parts_->in_place->SetObjectRects(&place, &place))) return false;
    SIZEL extent = ExtentOfPixels(width, height);
    return Succeeded(parts_->ole->SetExtent(DVASPECT_CONTENT, &extent));
}

const Ambients& HostedControl::CurrentAmbients() const {
    return parts_->site->CurrentAmbients();
}

void HostedControl::ChangeAmbients(const Ambients& ambients, DISPID member) {
    parts_->site->SetAmbients(ambients);
    parts_->control->OnAmbientPropertyChange(member);
}

void HostedControl::SetUserMode(bool run_mode) {
    Ambients a = CurrentAmbients();
    a.user_mode = run_mode;
    ChangeAmbients(a, DISPID_AMBIENT_USERMODE);
}

void HostedControl::SetBackColor(std::optional<OLE_COLOR> color) {
    Ambients a = CurrentAmbients();
    a.back_color = color;
    ChangeAmbients(a, DISPID_AMBIENT_BACKCOLOR);
}

void HostedControl::SetPalette(HPALETTE palette) {
    Ambients a = CurrentAmbients();
    a.palette = palette;
    ChangeAmbients(a, DISPID_AMBIENT_PALETTE);
}

std::uint64_t HostedControl::ViewChanges() const {
    return parts_->site->ViewChanges();
}

HRESULT HostedControl::DrawInto(HDC dc, const RECT& bounds) const {
    return parts_->view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                              nullptr, 0);
}

}  // namespace container
