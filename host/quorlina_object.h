// The control as a component: a reference-counted object that owns one CQuorlina and answers
// IQuorlinaLite (through its virtual table and through IDispatch), the embedding interfaces (its
// client site and ambient properties, view drawing and notices, activation and sizing), the
// persistence of its extent and IObjectSafety. Every scripting member runs the member table's
// row; this object adds only what the framework does around the rows (the stock Enabled
// property's edit request and change notification). The container calls it on one thread.
//
// Persisted form, little-endian, written to a stream (IPersistStreamInit) or to the stream
// "Contents" of a storage (IPersistStorage):
//   u32 version (1), u32 property count (at most kMaxPersistedProperties), then per property:
//   u8 name length (1..kMaxPersistedNameBytes), the name's ASCII bytes, u32 value.
// The control writes "_cx" and "_cy", the extent in hundredths of a millimetre; on load, names
// it does not know are skipped and a damaged or cut form changes nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "control/members.h"
#include "control/quorlina.h"
#include "host/dispatch.h"
#include "host/iquorlina_lite.h"
#include "host/iquorlina_status.h"
#include "host/site_link.h"
#include "platform/com.h"

namespace host {

inline constexpr std::uint32_t kPersistVersion = 1;
inline constexpr std::uint32_t kMaxPersistedProperties = 16;
inline constexpr std::uint32_t kMaxPersistedNameBytes = 32;
inline constexpr const char16_t* kContentsStreamName = u"Contents";

// The interfaces QueryInterface answers, in its order; the first also serves for IUnknown.
// IQuorlinaStatus is answered after them, for the containers.
std::span<const platform::IID> AnsweredInterfaces();

class QuorlinaObject final : public IQuorlinaLite,
                             public platform::IViewObjectEx,
                             public platform::IOleInPlaceObjectWindowless,
                             public platform::IOleInPlaceActiveObject,
                             public platform::IOleControl,
                             public platform::IOleObject,
                             public platform::IQuickActivate,
                             public platform::IPersistStorage,
                             public platform::IPersistStreamInit,
                             public platform::IDataObject,
                             public platform::IProvideClassInfo2,
                             public platform::IObjectSafety,
                             public IQuorlinaStatus,
                             private MemberCaller {
  public:
    // A new object with one reference and a new control.
    static QuorlinaObject* Create();

    // The object behind an interface pointer this module handed out, or null for anything else.
    // No reference is added. For in-process hosts that must set fields no scripting member sets,
    // and for diagnostics that read the control's record.
    static QuorlinaObject* FromUnknown(platform::IUnknown* unknown);
    control::CQuorlina& Control() { return *control_; }

    // --- IUnknown ---
    HRESULT QueryInterface(const platform::IID& iid, void** object) override;
    platform::ULONG AddRef() override;
    platform::ULONG Release() override;

    // --- IDispatch ---
    HRESULT GetTypeInfoCount(platform::UINT* count) override;
    HRESULT GetTypeInfo(platform::UINT index, platform::LCID lcid,
                        platform::ITypeInfo** info) override;
    HRESULT GetIDsOfNames(const platform::IID& iid, platform::OLECHAR** names, platform::UINT count,
                          platform::LCID lcid, platform::DISPID* ids) override;
    HRESULT Invoke(platform::DISPID member, const platform::IID& iid, platform::LCID lcid,
                   platform::WORD flags, platform::DISPPARAMS* params, platform::VARIANT* result,
                   platform::EXCEPINFO* exception, platform::UINT* arg_error) override;

    // --- IQuorlinaLite ---
    HRESULT put_Enabled(VARIANT_BOOL value) override;
    HRESULT get_Enabled(VARIANT_BOOL* pbool) override;
    HRESULT get_Window(LONG* phwnd) override;
    HRESULT Play() override;
    HRESULT Stop() override;
    HRESULT get_FrameRate(double* pVal) override;
    HRESULT get_RemoteHost(BSTR* pVal) override;
    HRESULT put_RemoteHost(BSTR value) override;
    HRESULT get_RemotePort(LONG* pVal) override;
    HRESULT put_RemotePort(LONG value) override;
    HRESULT get_Timeout(LONG* pVal) override;
    HRESULT put_Timeout(LONG value) override;
    HRESULT get_PreviewFrameRate(LONG* pVal) override;
    HRESULT put_PreviewFrameRate(LONG value) override;
    HRESULT GetRealTimeData(LONG* pVal) override;
    HRESULT get_TimeString(BSTR* pVal) override;
    HRESULT get_IOOut1(LONG* pVal) override;
    HRESULT put_IOOut1(LONG value) override;
    HRESULT get_IOOut2(LONG* pVal) override;
    HRESULT put_IOOut2(LONG value) override;
    HRESULT get_PreviewWidth(LONG* pVal) override;
    HRESULT put_PreviewWidth(LONG value) override;
    HRESULT get_PreviewHeight(LONG* pVal) override;
    HRESULT put_PreviewHeight(LONG value) override;
    HRESULT get_DeviceSerialNo(BSTR* pVal) override;
    HRESULT put_DeviceSerialNo(BSTR value) override;
    HRESULT get_AuthType(LONG* pVal) override;
    HRESULT put_AuthType(LONG value) override;
    HRESULT get_RemoteWeb(LONG* pVal) override;
    HRESULT put_RemoteWeb(LONG value) override;
    HRESULT get_ImageUpload(LONG* pVal) override;
    HRESULT put_ImageUpload(LONG value) override;
    HRESULT get_EmailImage(LONG* pVal) override;
    HRESULT put_EmailImage(LONG value) override;
    HRESULT get_SetName(BSTR* pVal) override;
    HRESULT put_SetName(BSTR value) override;
    HRESULT get_PanSingleMoveDegree(LONG* pVal) override;
    HRESULT put_PanSingleMoveDegree(LONG value) override;
    HRESULT get_TiltSingleMoveDegree(LONG* pVal) override;
    HRESULT put_TiltSingleMoveDegree(LONG value) override;
    HRESULT get_GetHorizontalPosition(LONG* pVal) override;
    HRESULT put_GetHorizontalPosition(LONG value) override;
    HRESULT get_GetVerticalPosition(LONG* pVal) override;
    HRESULT put_GetVerticalPosition(LONG value) override;
    HRESULT get_MovePanTiltDegree(LONG* pVal) override;
    HRESULT put_MovePanTiltDegree(LONG value) override;
    HRESULT get_ClearPosition(LONG* pVal) override;
    HRESULT put_ClearPosition(LONG value) override;
    HRESULT get_SetPosition(LONG* pVal) override;
    HRESULT put_SetPosition(LONG value) override;
    HRESULT get_MovePanTiltPosition(LONG* pVal) override;
    HRESULT put_MovePanTiltPosition(LONG value) override;
    HRESULT get_SwingMode(LONG* pVal) override;
    HRESULT put_SwingMode(LONG value) override;
    HRESULT Zoom(LONG lMode, LONG* pVal) override;
    HRESULT ResizeMode(LONG lMode, LONG* pVal) override;
    HRESULT DisplayMode(LONG lMode, LONG* pVal) override;
    HRESULT MoveToPos(LONG lPosP, LONG lPosT, LONG* pVal) override;

    // --- the embedding interfaces ---
    // IViewObject, IViewObject2, IViewObjectEx
    HRESULT Draw(platform::DWORD aspect, LONG index, void* aspect_info,
                 platform::DVTARGETDEVICE* target, platform::HDC target_dc, platform::HDC draw_dc,
                 const platform::RECTL* bounds, const platform::RECTL* window_bounds,
                 platform::DrawContinue keep_going, std::uintptr_t keep_going_argument) override;
    HRESULT GetColorSet(platform::DWORD aspect, LONG index, void* aspect_info,
                        platform::DVTARGETDEVICE* target, platform::HDC target_dc,
                        platform::LOGPALETTE** colors) override;
    HRESULT Freeze(platform::DWORD aspect, LONG index, void* aspect_info,
                   platform::DWORD* freeze) override;
    HRESULT Unfreeze(platform::DWORD freeze) override;
    HRESULT SetAdvise(platform::DWORD aspects, platform::DWORD advf,
                      platform::IAdviseSink* sink) override;
    HRESULT GetAdvise(platform::DWORD* aspects, platform::DWORD* advf,
                      platform::IAdviseSink** sink) override;
    HRESULT GetExtent(platform::DWORD aspect, LONG index, platform::DVTARGETDEVICE* target,
                      platform::SIZEL* size) override;
    HRESULT GetRect(platform::DWORD aspect, platform::RECTL* rect) override;
    HRESULT GetViewStatus(platform::DWORD* status) override;
    HRESULT QueryHitPoint(platform::DWORD aspect, const platform::RECT* bounds,
                          platform::POINT location, LONG close_hint, platform::DWORD* hit) override;
    HRESULT QueryHitRect(platform::DWORD aspect, const platform::RECT* bounds,
                         const platform::RECT* location, LONG close_hint,
                         platform::DWORD* hit) override;
    HRESULT GetNaturalExtent(platform::DWORD aspect, LONG index, platform::DVTARGETDEVICE* target,
                             platform::HDC target_dc, platform::DVEXTENTINFO* info,
                             platform::SIZEL* size) override;

    // IOleWindow (through IOleInPlaceObject and IOleInPlaceActiveObject)
    HRESULT GetWindow(platform::HWND* window) override;
    HRESULT ContextSensitiveHelp(platform::BOOL enter) override;
    // IOleInPlaceObject, IOleInPlaceObjectWindowless
    HRESULT InPlaceDeactivate() override;
    HRESULT UIDeactivate() override;
    HRESULT SetObjectRects(const platform::RECT* position, const platform::RECT* clip) override;
    HRESULT ReactivateAndUndo() override;
    HRESULT OnWindowMessage(platform::UINT message, platform::WPARAM wparam,
                            platform::LPARAM lparam, platform::LRESULT* result) override;
    HRESULT GetDropTarget(platform::IDropTarget** target) override;
    // IOleInPlaceActiveObject
    HRESULT TranslateAccelerator(platform::MSG* message) override;
    HRESULT OnFrameWindowActivate(platform::BOOL activate) override;
    HRESULT OnDocWindowActivate(platform::BOOL activate) override;
    HRESULT ResizeBorder(const platform::RECT* border, platform::IOleInPlaceUIWindow* window,
                         platform::BOOL frame_window) override;
    HRESULT EnableModeless(platform::BOOL enable) override;

    // IOleControl
    HRESULT GetControlInfo(platform::CONTROLINFO* info) override;
    HRESULT OnMnemonic(platform::MSG* message) override;
    HRESULT OnAmbientPropertyChange(platform::DISPID member) override;
    HRESULT FreezeEvents(platform::BOOL freeze) override;

    // IOleObject
    HRESULT SetClientSite(platform::IOleClientSite* site) override;
    HRESULT GetClientSite(platform::IOleClientSite** site) override;
    HRESULT SetHostNames(const platform::OLECHAR* application,
                         const platform::OLECHAR* document) override;
    HRESULT Close(platform::DWORD save_option) override;
    HRESULT SetMoniker(platform::DWORD which, platform::IMoniker* moniker) override;
    HRESULT GetMoniker(platform::DWORD assign, platform::DWORD which,
                       platform::IMoniker** moniker) override;
    HRESULT InitFromData(platform::IDataObject* data, platform::BOOL creation,
                         platform::DWORD reserved) override;
    HRESULT GetClipboardData(platform::DWORD reserved, platform::IDataObject** data) override;
    HRESULT DoVerb(LONG verb, platform::MSG* message, platform::IOleClientSite* active_site,
                   LONG index, platform::HWND parent, const platform::RECT* position) override;
    HRESULT EnumVerbs(platform::IEnumOLEVERB** verbs) override;
    HRESULT Update() override;
    HRESULT IsUpToDate() override;
    HRESULT GetUserClassID(platform::CLSID* clsid) override;
    HRESULT GetUserType(platform::DWORD form, platform::OLECHAR** user_type) override;
    HRESULT SetExtent(platform::DWORD aspect, platform::SIZEL* size) override;
    HRESULT GetExtent(platform::DWORD aspect, platform::SIZEL* size) override;
    HRESULT Advise(platform::IAdviseSink* sink, platform::DWORD* connection) override;
    HRESULT Unadvise(platform::DWORD connection) override;
    HRESULT EnumAdvise(platform::IEnumSTATDATA** advises) override;
    HRESULT GetMiscStatus(platform::DWORD aspect, platform::DWORD* status) override;
    HRESULT SetColorScheme(platform::LOGPALETTE* palette) override;

    // IQuickActivate
    HRESULT QuickActivate(platform::QACONTAINER* container, platform::QACONTROL* control) override;
    HRESULT SetContentExtent(platform::SIZEL* size) override;
    HRESULT GetContentExtent(platform::SIZEL* size) override;

    // IDataObject
    HRESULT GetData(platform::FORMATETC* format, platform::STGMEDIUM* medium) override;
    HRESULT GetDataHere(platform::FORMATETC* format, platform::STGMEDIUM* medium) override;
    HRESULT QueryGetData(platform::FORMATETC* format) override;
    HRESULT GetCanonicalFormatEtc(platform::FORMATETC* format,
                                  platform::FORMATETC* canonical) override;
    HRESULT SetData(platform::FORMATETC* format, platform::STGMEDIUM* medium,
                    platform::BOOL release) override;
    HRESULT EnumFormatEtc(platform::DWORD direction, platform::IEnumFORMATETC** formats) override;
    HRESULT DAdvise(platform::FORMATETC* format, platform::DWORD advf, platform::IAdviseSink* sink,
                    platform::DWORD* connection) override;
    HRESULT DUnadvise(platform::DWORD connection) override;
    HRESULT EnumDAdvise(platform::IEnumSTATDATA** advises) override;

    // IProvideClassInfo, IProvideClassInfo2
    HRESULT GetClassInfo(platform::ITypeInfo** info) override;
    HRESULT GetGUID(platform::DWORD kind, platform::GUID* guid) override;

    // --- IPersist, IPersistStreamInit, IPersistStorage ---
    HRESULT GetClassID(platform::CLSID* clsid) override;
    HRESULT IsDirty() override;
    HRESULT Load(platform::IStream* stream) override;
    HRESULT Save(platform::IStream* stream, platform::BOOL clear_dirty) override;
    HRESULT GetSizeMax(std::uint64_t* size) override;
    HRESULT InitNew() override;
    HRESULT InitNew(platform::IStorage* storage) override;
    HRESULT Load(platform::IStorage* storage) override;
    HRESULT Save(platform::IStorage* storage, platform::BOOL same_as_load) override;
    HRESULT SaveCompleted(platform::IStorage* storage) override;
    HRESULT HandsOffStorage() override;

    // --- IObjectSafety ---
    HRESULT GetInterfaceSafetyOptions(const platform::IID& iid, platform::DWORD* supported,
                                      platform::DWORD* enabled) override;
    HRESULT SetInterfaceSafetyOptions(const platform::IID& iid, platform::DWORD mask,
                                      platform::DWORD enabled) override;

    // --- IQuorlinaStatus ---
    HRESULT GetStatus(QuorlinaStatus* status) override;
    HRESULT GetReasonText(BSTR* text, platform::ULONG* sequence) override;
    HRESULT GetProbeVerdict(BSTR* text) override;
    HRESULT GetCommandText(BSTR* text, platform::ULONG* sequence) override;

  private:
    QuorlinaObject();
    ~QuorlinaObject();

    // MemberCaller: every scripting call, from Invoke or the virtual table, ends here.
    HRESULT CallMember(const control::Member& member, const control::Value* args,
                       control::Value* result) override;
    HRESULT PutEnabledStock(const control::Member& member, const control::Value* args,
                            control::Value* result);

    // The virtual-table functions: find their row by name and kind and translate the types.
    HRESULT CallRow(const char* name, control::MemberKind kind, const control::Value* args,
                    control::Value* result);
    HRESULT GetLong(const char* name, LONG* out);
    HRESULT PutLong(const char* name, LONG value);
    HRESULT GetText(const char* name, BSTR* out);
    HRESULT PutText(const char* name, BSTR value);
    HRESULT LongMethod(const char* name, const control::Value* args, LONG* out);

    std::atomic<platform::ULONG> refs_{1};
    SiteLink site_;                // outlives the control's use of it (see the destructor)
    control::CQuorlina* control_;  // holds the container's reference; Destroy() drops it
    std::atomic<bool> dirty_{false};
    std::atomic<platform::DWORD> enabled_safety_{0};
};

}  // namespace host
