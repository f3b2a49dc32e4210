// The container's site: reference count, interface table, the ambient dispatch and the view sink.
#include "container/client_site.h"

namespace container {

using namespace platform;

ClientSite* ClientSite::Create(const Ambients& ambients) {
    return new ClientSite(ambients);
}

HRESULT ClientSite::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite)
        *object = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IDispatch)
        *object = static_cast<IDispatch*>(this);
    else if (iid == IID_IAdviseSink)
        *object = static_cast<IAdviseSink*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG ClientSite::AddRef() {
    return ++refs_;
}

ULONG ClientSite::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

// --- IOleClientSite ---
HRESULT ClientSite::SaveObject() {
    return E_NOTIMPL;
}
HRESULT ClientSite::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker != nullptr) *moniker = nullptr;
    return E_NOTIMPL;
}
HRESULT ClientSite::GetContainer(IOleContainer** container) {
    if (container != nullptr) *container = nullptr;
    return E_NOTIMPL;
}
HRESULT ClientSite::ShowObject() {
    return E_NOTIMPL;
}
HRESULT ClientSite::OnShowWindow(BOOL) {
    return E_NOTIMPL;
}
HRESULT ClientSite::RequestNewObjectLayout() {
    return E_NOTIMPL;
}

// --- IDispatch ---
HRESULT ClientSite::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT ClientSite::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
}

HRESULT ClientSite::GetIDsOfNames(const IID&, OLECHAR**, UINT count, LCID, DISPID* ids) {
    for (UINT i = 0; ids != nullptr && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT ClientSite::Invoke(DISPID member, const IID&, LCID, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO*, UINT*) {
    if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
    if (params != nullptr && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (result == nullptr) return E_POINTER;
    switch (member) {
        case DISPID_AMBIENT_USERMODE:
            result->vt = VT_BOOL;
            result->boolVal = ambients_.user_mode ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        case DISPID_AMBIENT_BACKCOLOR:
            if (!ambients_.back_color) return DISP_E_MEMBERNOTFOUND;
            result->vt = VT_I4;
            result->lVal = static_cast<LONG>(*ambients_.back_color);
            return S_OK;
        case DISPID_AMBIENT_PALETTE:
            if (ambients_.palette == nullptr) return DISP_E_MEMBERNOTFOUND;
            result->vt = VT_I8;
            result->llVal =
                static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(ambients_.palette));
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

// --- IAdviseSink ---
void ClientSite::OnDataChange(FORMATETC*, STGMEDIUM*) {}

void ClientSite::OnViewChange(DWORD aspect, LONG) {
    if ((aspect & DVASPECT_CONTENT) != 0) view_changes_.fetch_add(1);
}

void ClientSite::OnRename(IMoniker*) {}
void ClientSite::OnSave() {}
void ClientSite::OnClose() {}

}  // namespace container
