// The control's client site and advise sink (see site_link.h).
#include "host/site_link.h"

namespace host {

using namespace platform;

namespace {

// One property get on the site's ambient dispatch; false when the site does not give it.
bool GetAmbient(IDispatch& ambient, DISPID member, VARIANT* value) {
    DISPPARAMS none;
    VariantInit(value);
    if (!Succeeded(ambient.Invoke(member, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYGET, &none,
                                  value, nullptr, nullptr)))
        return false;
    return true;
}

}  // namespace

SiteLink::~SiteLink() {
    SetSite(nullptr);
    SetAdvise(0, 0, nullptr);
}

void SiteLink::SetSite(IOleClientSite* site) {
    if (site != nullptr) site->AddRef();
    if (site_ != nullptr) site_->Release();
    site_ = site;
    ReadAmbients(DISPID_UNKNOWN);
}

void SiteLink::ReadAmbients(DISPID member) {
    const bool all = member == DISPID_UNKNOWN;
    IDispatch* ambient = nullptr;
    if (site_ != nullptr) {
        void* found = nullptr;
        if (Succeeded(site_->QueryInterface(IID_IDispatch, &found)))
            ambient = static_cast<IDispatch*>(found);
    }
    VARIANT value;
    if (all || member == DISPID_AMBIENT_USERMODE) {
        int mode = kNotGiven;
        VARIANT flag;
        if (ambient != nullptr && GetAmbient(*ambient, DISPID_AMBIENT_USERMODE, &value) &&
            VariantChangeType(&flag, &value, VT_BOOL) == S_OK)
            mode = flag.boolVal != VARIANT_FALSE ? 1 : 0;
        VariantClear(&value);
        user_mode_ = mode;
    }
    if (all || member == DISPID_AMBIENT_BACKCOLOR) {
        std::int64_t color = kNotGiven;
        VARIANT number;
        // An OLE_COLOR is unsigned: a system colour (0x80000000 | index) comes as a negative long.
        if (ambient != nullptr && GetAmbient(*ambient, DISPID_AMBIENT_BACKCOLOR, &value) &&
            VariantChangeType(&number, &value, VT_I4) == S_OK)
            color = static_cast<OLE_COLOR>(number.lVal);
        VariantClear(&value);
        back_color_ = color;
    }
    if (all || member == DISPID_AMBIENT_PALETTE) {
        // A palette handle needs all 64 bits here; anything else is no palette.
        HPALETTE palette = nullptr;
        if (ambient != nullptr && GetAmbient(*ambient, DISPID_AMBIENT_PALETTE, &value) &&
            value.vt == VT_I8)
            palette = reinterpret_cast<HPALETTE>(static_cast<std::intptr_t>(value.llVal));
        VariantClear(&value);
        palette_ = palette;
    }
    if (ambient != nullptr) ambient->Release();
}

bool SiteLink::AmbientUserMode(bool* run_mode) {
    const int mode = user_mode_.load();
    if (mode == kNotGiven) return false;
    *run_mode = mode != 0;
    return true;
}

bool SiteLink::AmbientBackColor(OLE_COLOR* color) {
    const std::int64_t value = back_color_.load();
    if (value == kNotGiven) return false;
    *color = static_cast<OLE_COLOR>(value);
    return true;
}

bool SiteLink::AmbientPalette(HPALETTE* palette) {
    const HPALETTE value = palette_.load();
    if (value == nullptr) return false;
    *palette = value;
    return true;
}

HRESULT SiteLink::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) {
    if (sink != nullptr) sink->AddRef();
    IAdviseSink* old = nullptr;
    {
        std::lock_guard<std::mutex> guard(sink_lock_);
        old = sink_;
        sink_ = sink;
        sink_aspects_ = sink != nullptr ? aspects : 0;
        sink_advf_ = sink != nullptr ? advf : 0;
    }
    if (old != nullptr) old->Release();
    if (sink != nullptr && (advf & ADVF_PRIMEFIRST) != 0) OnViewChange();
    return S_OK;
}

HRESULT SiteLink::GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) {
    std::lock_guard<std::mutex> guard(sink_lock_);
    if (aspects != nullptr) *aspects = sink_aspects_;
    if (advf != nullptr) *advf = sink_advf_;
    if (sink != nullptr) {
        *sink = sink_;
        if (sink_ != nullptr) sink_->AddRef();
    }
    return S_OK;
}

void SiteLink::OnViewChange() {
    IAdviseSink* sink = nullptr;
    {
        std::lock_guard<std::mutex> guard(sink_lock_);
        if (sink_ == nullptr || (sink_aspects_ & DVASPECT_CONTENT) == 0) return;
        sink = sink_;
        if ((sink_advf_ & ADVF_ONLYONCE) != 0) {
            sink_ = nullptr;  // its reference goes with this notice
            sink_aspects_ = 0;
            sink_advf_ = 0;
        } else {
            sink->AddRef();
        }
    }
    // Called outside the lock: the sink may set a new one from inside its notice.
    sink->OnViewChange(DVASPECT_CONTENT, -1);
    sink->Release();
}

}  // namespace host
