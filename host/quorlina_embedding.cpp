// The embedding interfaces a container uses beyond sizing and the site: drawing into the
// container's device context and view-change notices (IViewObject), in-place activation and
// deactivation (DoVerb, Close, InPlaceDeactivate), ambient-property changes (IOleControl), the
// miscellaneous status and the class information. Methods no container of ours calls answer
// E_NOTIMPL, so a container that tries one learns so instead of calling through an empty slot.
#include "host/identity.h"
#include "host/quorlina_object.h"
#include "host/type_info.h"

namespace host {

using namespace platform;

// --- IViewObject, IViewObject2, IViewObjectEx ---
HRESULT QuorlinaObject::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC draw_dc,
                             const RECTL* bounds, const RECTL*, DrawContinue, std::uintptr_t) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (draw_dc == nullptr || bounds == nullptr) return E_INVALIDARG;
    return control_->DrawView(draw_dc, *bounds);
}

HRESULT QuorlinaObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE**) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::Freeze(DWORD, LONG, void*, DWORD*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::Unfreeze(DWORD) {
    return E_NOTIMPL;
}

HRESULT QuorlinaObject::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) {
    return site_.SetAdvise(aspects, advf, sink);
}

HRESULT QuorlinaObject::GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) {
    return site_.GetAdvise(aspects, advf, sink);
}

HRESULT QuorlinaObject::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, SIZEL* size) {
    return GetExtent(aspect, size);
}

HRESULT QuorlinaObject::GetRect(DWORD, RECTL*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetViewStatus(DWORD*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::QueryHitPoint(DWORD, const RECT*, POINT, LONG, DWORD*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::QueryHitRect(DWORD, const RECT*, const RECT*, LONG, DWORD*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*, SIZEL*) {
    return E_NOTIMPL;
}

// --- IOleWindow, IOleInPlaceObject, IOleInPlaceObjectWindowless, IOleInPlaceActiveObject ---
HRESULT QuorlinaObject::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

// Destroying the window stops the stream (its destroy message calls Stop) and ends the in-place
// activation; a control without a window has nothing to leave.
HRESULT QuorlinaObject::InPlaceDeactivate() {
    if (const HWND window = control_->Window.load(); IsWindow(window)) DestroyWindow(window);
    return S_OK;
}

HRESULT QuorlinaObject::UIDeactivate() {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::ReactivateAndUndo() {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetDropTarget(IDropTarget**) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::TranslateAccelerator(MSG*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::OnFrameWindowActivate(BOOL) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::OnDocWindowActivate(BOOL) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::ResizeBorder(const RECT*, IOleInPlaceUIWindow*, BOOL) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::EnableModeless(BOOL) {
    return E_NOTIMPL;
}

// --- IOleControl ---
HRESULT QuorlinaObject::GetControlInfo(CONTROLINFO*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::OnMnemonic(MSG*) {
    return E_NOTIMPL;
}

// The new value is read at once and the control repainted (its window, or the container's view
// when it has none), so the change shows without waiting for the next frame.
HRESULT QuorlinaObject::OnAmbientPropertyChange(DISPID member) {
    site_.ReadAmbients(member);
    control_->RequestRepaint();
    return S_OK;
}

HRESULT QuorlinaObject::FreezeEvents(BOOL) {
    return E_NOTIMPL;
}

// --- IOleObject (the site and the extent are in quorlina_object.cpp) ---
HRESULT QuorlinaObject::SetHostNames(const OLECHAR*, const OLECHAR*) {
    return E_NOTIMPL;
}

HRESULT QuorlinaObject::Close(DWORD) {
    return InPlaceDeactivate();
}

HRESULT QuorlinaObject::SetMoniker(DWORD, IMoniker*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetMoniker(DWORD, DWORD, IMoniker**) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::InitFromData(IDataObject*, BOOL, DWORD) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetClipboardData(DWORD, IDataObject**) {
    return E_NOTIMPL;
}

// Every activating verb activates in place: the control always has a window of its own, made in
// the parent the container names, at the given place. Again on an active control it only moves.
HRESULT QuorlinaObject::DoVerb(LONG verb, MSG*, IOleClientSite*, LONG, HWND parent,
                               const RECT* position) {
    if (verb != OLEIVERB_PRIMARY && verb != OLEIVERB_SHOW && verb != OLEIVERB_UIACTIVATE &&
        verb != OLEIVERB_INPLACEACTIVATE)
        return verb == OLEIVERB_HIDE ? E_NOTIMPL : OLEOBJ_E_INVALIDVERB;
    if (position == nullptr) return E_INVALIDARG;
    if (const HWND window = control_->Window.load(); IsWindow(window))
        return MoveWindow(window, *position) ? S_OK : E_INVALIDARG;
    if (parent == nullptr) return E_INVALIDARG;
    return control_->CreateControlWindow(parent, *position) != nullptr ? S_OK : E_FAIL;
}

HRESULT QuorlinaObject::EnumVerbs(IEnumOLEVERB**) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::Update() {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::IsUpToDate() {
    return E_NOTIMPL;
}

HRESULT QuorlinaObject::GetUserClassID(CLSID* clsid) {
    return GetClassID(clsid);
}

HRESULT QuorlinaObject::GetUserType(DWORD, OLECHAR**) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::Advise(IAdviseSink*, DWORD*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::Unadvise(DWORD) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::EnumAdvise(IEnumSTATDATA**) {
    return E_NOTIMPL;
}

// A container reads this before anything else: set-client-site-first tells it to give the site
// (and with it the ambient properties) before loading or activating the control.
HRESULT QuorlinaObject::GetMiscStatus(DWORD aspect, DWORD* status) {
    if (status == nullptr) return E_POINTER;
    *status = 0;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *status = kMiscStatus;
    return S_OK;
}

HRESULT QuorlinaObject::SetColorScheme(LOGPALETTE*) {
    return E_NOTIMPL;
}

// --- IQuickActivate ---
HRESULT QuorlinaObject::QuickActivate(QACONTAINER*, QACONTROL*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::SetContentExtent(SIZEL*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetContentExtent(SIZEL*) {
    return E_NOTIMPL;
}

// --- IDataObject ---
HRESULT QuorlinaObject::GetData(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetDataHere(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::QueryGetData(FORMATETC*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::SetData(FORMATETC*, STGMEDIUM*, BOOL) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::EnumFormatEtc(DWORD, IEnumFORMATETC**) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::DUnadvise(DWORD) {
    return E_NOTIMPL;
}
HRESULT QuorlinaObject::EnumDAdvise(IEnumSTATDATA**) {
    return E_NOTIMPL;
}

// --- IProvideClassInfo, IProvideClassInfo2 ---
HRESULT QuorlinaObject::GetClassInfo(ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = CreateTypeInfo();
    return *info != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The control raises no events, so it has no outgoing interface to name.
HRESULT QuorlinaObject::GetGUID(DWORD, GUID* guid) {
    if (guid == nullptr) return E_POINTER;
    *guid = IID_NULL;
    return E_NOTIMPL;
}

}  // namespace host
