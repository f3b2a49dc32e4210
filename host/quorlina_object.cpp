// The component object: interface table, reference count, the virtual-table functions over the
// member table, the stock Enabled put, the extent's persistence and object safety.
#include "host/quorlina_object.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "host/identity.h"
#include "host/module.h"
#include "host/type_info.h"

namespace host {

using namespace platform;
using control::Member;
using control::MemberKind;
using control::Value;
using control::ValueType;

namespace {

constexpr std::array<IID, 18> kAnswered = {
    kIidIQuorlinaLite,     IID_IDispatch,          IID_IViewObjectEx,
    IID_IViewObject2,      IID_IViewObject,        IID_IOleInPlaceObjectWindowless,
    IID_IOleInPlaceObject, IID_IOleWindow,         IID_IOleInPlaceActiveObject,
    IID_IOleControl,       IID_IOleObject,         IID_IQuickActivate,
    IID_IPersistStorage,   IID_IPersistStreamInit, IID_IDataObject,
    IID_IProvideClassInfo, IID_IProvideClassInfo2, IID_IObjectSafety,
};

bool Answers(const IID& iid) {
    for (const IID& known : kAnswered)
        if (known == iid) return true;
    return iid == kIidIQuorlinaStatus;
}

constexpr DWORD kSupportedSafety =
    INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// --- the persisted form ---
constexpr const char* kExtentWidthName = "_cx";
constexpr const char* kExtentHeightName = "_cy";

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutProperty(std::vector<std::uint8_t>& out, const char* name, std::uint32_t value) {
    const std::size_t n = std::strlen(name);
    out.push_back(static_cast<std::uint8_t>(n));
    out.insert(out.end(), name, name + n);
    PutU32(out, value);
}

std::vector<std::uint8_t> EncodeExtent(std::uint32_t cx, std::uint32_t cy) {
    std::vector<std::uint8_t> out;
    PutU32(out, kPersistVersion);
    PutU32(out, 2);
    PutProperty(out, kExtentWidthName, cx);
    PutProperty(out, kExtentHeightName, cy);
    return out;
}

// Reads exactly size bytes; STG_E_READFAULT when the stream ends first.
HRESULT ReadExactly(IStream* stream, void* data, ULONG size) {
    ULONG read = 0;
    const HRESULT hr = stream->Read(data, size, &read);
    if (!Succeeded(hr)) return hr;
    return read == size ? S_OK : STG_E_READFAULT;
}

HRESULT ReadU32(IStream* stream, std::uint32_t* out) {
    std::uint8_t b[4];
    const HRESULT hr = ReadExactly(stream, b, sizeof b);
    if (hr != S_OK) return hr;
    *out = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return S_OK;
}

}  // namespace

std::span<const IID> AnsweredInterfaces() {
    return kAnswered;
}

QuorlinaObject* QuorlinaObject::Create() {
    return new QuorlinaObject();
}

QuorlinaObject::QuorlinaObject() : control_(new control::CQuorlina()) {
    control_->SetContainerSite(&site_);
    ModuleObjectCreated();
}

// Destroy stops the workers and lets go of the link before site_ (a member) releases the
// container's site and sink.
QuorlinaObject::~QuorlinaObject() {
    control_->Destroy();
    ModuleObjectDestroyed();
}

QuorlinaObject* QuorlinaObject::FromUnknown(IUnknown* unknown) {
    if (unknown == nullptr) return nullptr;
    void* lite = nullptr;
    if (!Succeeded(unknown->QueryInterface(kIidIQuorlinaLite, &lite))) return nullptr;
    auto* lite_interface = static_cast<IQuorlinaLite*>(lite);
    auto* object = dynamic_cast<QuorlinaObject*>(lite_interface);
    lite_interface->Release();
    return object;
}

// --- IUnknown ---
HRESULT QuorlinaObject::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == kIidIQuorlinaLite) {
        *object = static_cast<IQuorlinaLite*>(this);
    } else if (iid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(static_cast<IQuorlinaLite*>(this));
    } else if (iid == IID_IViewObjectEx) {
        *object = static_cast<IViewObjectEx*>(this);
    } else if (iid == IID_IViewObject2) {
        *object = static_cast<IViewObject2*>(this);
    } else if (iid == IID_IViewObject) {
        *object = static_cast<IViewObject*>(this);
    } else if (iid == IID_IOleInPlaceObjectWindowless) {
        *object = static_cast<IOleInPlaceObjectWindowless*>(this);
    } else if (iid == IID_IOleInPlaceObject) {
        *object = static_cast<IOleInPlaceObject*>(this);
    } else if (iid == IID_IOleWindow) {
        *object = static_cast<IOleWindow*>(static_cast<IOleInPlaceObject*>(this));
    } else if (iid == IID_IOleInPlaceActiveObject) {
        *object = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (iid == IID_IOleControl) {
        *object = static_cast<IOleControl*>(this);
    } else if (iid == IID_IOleObject) {
        *object = static_cast<IOleObject*>(this);
    } else if (iid == IID_IQuickActivate) {
        *object = static_cast<IQuickActivate*>(this);
    } else if (iid == IID_IPersistStorage) {
        *object = static_cast<IPersistStorage*>(this);
    } else if (iid == IID_IPersistStreamInit) {
        *object = static_cast<IPersistStreamInit*>(this);
    } else if (iid == IID_IDataObject) {
        *object = static_cast<IDataObject*>(this);
    } else if (iid == IID_IProvideClassInfo) {
        *object = static_cast<IProvideClassInfo*>(this);
    } else if (iid == IID_IProvideClassInfo2) {
        *object = static_cast<IProvideClassInfo2*>(this);
    } else if (iid == IID_IObjectSafety) {
        *object = static_cast<IObjectSafety*>(this);
    } else if (iid == kIidIQuorlinaStatus) {
        *object = static_cast<IQuorlinaStatus*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG QuorlinaObject::AddRef() {
    return ++refs_;
}

ULONG QuorlinaObject::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

// --- IDispatch ---
HRESULT QuorlinaObject::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT QuorlinaObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (info == nullptr) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *info = CreateTypeInfo();
    return S_OK;
}

HRESULT QuorlinaObject::GetIDsOfNames(const IID& iid, OLECHAR** names, UINT count, LCID,
                                      DISPID* ids) {
    if (!(iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return LookUpNames(names, count, ids);
}

HRESULT QuorlinaObject::Invoke(DISPID member, const IID& iid, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO*, UINT* arg_error) {
    if (!(iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return InvokeMember(*this, member, flags, params, result, arg_error);
}

// --- the rows ---
HRESULT QuorlinaObject::CallMember(const Member& member, const Value* args, Value* result) {
    // A member whose work this build does not have: a clear failure, never a silent success.
    if (member.accessor == nullptr) return E_NOTIMPL;
    if (member.dispid == DISPID_ENABLED && member.kind == MemberKind::PropertyPut)
        return PutEnabledStock(member, args, result);
    return member.accessor(*control_, args, result);
}

// The stock property: the container may refuse the change; it hears of it once made. With no
// connection points, the container's site is where the property-notify sink is looked for.
HRESULT QuorlinaObject::PutEnabledStock(const Member& member, const Value* args, Value* result) {
    IPropertyNotifySink* sink = nullptr;
    if (IOleClientSite* site = site_.Site()) {
        void* found = nullptr;
        if (Succeeded(site->QueryInterface(IID_IPropertyNotifySink, &found)))
            sink = static_cast<IPropertyNotifySink*>(found);
    }
    if (sink != nullptr && sink->OnRequestEdit(member.dispid) == S_FALSE) {
        sink->Release();
        return S_FALSE;
    }
    const HRESULT hr = member.accessor(*control_, args, result);
    if (Succeeded(hr)) {
        dirty_ = true;
        if (sink != nullptr) sink->OnChanged(member.dispid);
    }
    if (sink != nullptr) sink->Release();
    return hr;
}

HRESULT QuorlinaObject::CallRow(const char* name, MemberKind kind, const Value* args,
                                Value* result) {
    const Member* member = control::FindMember(name, kind);
    if (member == nullptr) return E_UNEXPECTED;  // the table lost a row this interface declares
    return CallMember(*member, args, result);
}

// A long result starts as the caller's value, so that a member that leaves its result as it was
// hands that value back unchanged.
HRESULT QuorlinaObject::GetLong(const char* name, LONG* out) {
    if (out == nullptr) return E_POINTER;
    Value r;
    r.long_value = *out;
    const HRESULT hr = CallRow(name, MemberKind::PropertyGet, nullptr, &r);
    if (Succeeded(hr) && r.type == ValueType::Long) *out = r.long_value;
    return hr;
}

HRESULT QuorlinaObject::PutLong(const char* name, LONG value) {
    const Value arg = Value::Long(value);
    Value unused;
    return CallRow(name, MemberKind::PropertyPut, &arg, &unused);
}

HRESULT QuorlinaObject::GetText(const char* name, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    Value r;
    const HRESULT hr = CallRow(name, MemberKind::PropertyGet, nullptr, &r);
    if (Succeeded(hr) && r.type == ValueType::Text) {
        BSTR text = BstrFromAnsi(r.text);
        if (text == nullptr) return E_OUTOFMEMORY;
        *out = text;
    }
    return hr;
}

HRESULT QuorlinaObject::PutText(const char* name, BSTR value) {
    const Value arg = value == nullptr ? Value::NullText() : Value::Text(AnsiFromBstr(value));
    Value unused;
    return CallRow(name, MemberKind::PropertyPut, &arg, &unused);
}

HRESULT QuorlinaObject::LongMethod(const char* name, const Value* args, LONG* out) {
    if (out == nullptr) return E_POINTER;
    Value r;
    r.long_value = *out;
    const HRESULT hr = CallRow(name, MemberKind::Method, args, &r);
    if (Succeeded(hr) && r.type == ValueType::Long) *out = r.long_value;
    return hr;
}

// --- IQuorlinaLite ---
HRESULT QuorlinaObject::put_Enabled(VARIANT_BOOL value) {
    const Value arg = Value::Bool(value);
    Value unused;
    return CallRow("Enabled", MemberKind::PropertyPut, &arg, &unused);
}
HRESULT QuorlinaObject::get_Enabled(VARIANT_BOOL* pbool) {
    if (pbool == nullptr) return E_POINTER;
    Value r;
    const HRESULT hr = CallRow("Enabled", MemberKind::PropertyGet, nullptr, &r);
    if (Succeeded(hr) && r.type == ValueType::Bool) *pbool = r.bool_value;
    return hr;
}
HRESULT QuorlinaObject::get_Window(LONG* phwnd) {
    return GetLong("Window", phwnd);
}
HRESULT QuorlinaObject::Play() {
    Value unused;
    return CallRow("Play", MemberKind::Method, nullptr, &unused);
}
HRESULT QuorlinaObject::Stop() {
    Value unused;
    return CallRow("Stop", MemberKind::Method, nullptr, &unused);
}
HRESULT QuorlinaObject::get_FrameRate(double* pVal) {
    if (pVal == nullptr) return E_POINTER;
    Value r;
    const HRESULT hr = CallRow("FrameRate", MemberKind::PropertyGet, nullptr, &r);
    if (Succeeded(hr) && r.type == ValueType::Double) *pVal = r.double_value;
    return hr;
}
HRESULT QuorlinaObject::get_RemoteHost(BSTR* pVal) {
    return GetText("RemoteHost", pVal);
}
HRESULT QuorlinaObject::put_RemoteHost(BSTR value) {
    return PutText("RemoteHost", value);
}
HRESULT QuorlinaObject::get_RemotePort(LONG* pVal) {
    return GetLong("RemotePort", pVal);
}
HRESULT QuorlinaObject::put_RemotePort(LONG value) {
    return PutLong("RemotePort", value);
}
HRESULT QuorlinaObject::get_Timeout(LONG* pVal) {
    return GetLong("Timeout", pVal);
}
HRESULT QuorlinaObject::put_Timeout(LONG value) {
    return PutLong("Timeout", value);
}
HRESULT QuorlinaObject::get_PreviewFrameRate(LONG* pVal) {
    return GetLong("PreviewFrameRate", pVal);
}
HRESULT QuorlinaObject::put_PreviewFrameRate(LONG value) {
    return PutLong("PreviewFrameRate", value);
}
HRESULT QuorlinaObject::GetRealTimeData(LONG* pVal) {
    return LongMethod("GetRealTimeData", nullptr, pVal);
}
HRESULT QuorlinaObject::get_TimeString(BSTR* pVal) {
    return GetText("TimeString", pVal);
}
HRESULT QuorlinaObject::get_IOOut1(LONG* pVal) {
    return GetLong("IOOut1", pVal);
}
HRESULT QuorlinaObject::put_IOOut1(LONG value) {
    return PutLong("IOOut1", value);
}
HRESULT QuorlinaObject::get_IOOut2(LONG* pVal) {
    return GetLong("IOOut2", pVal);
}
HRESULT QuorlinaObject::put_IOOut2(LONG value) {
    return PutLong("IOOut2", value);
}
HRESULT QuorlinaObject::get_PreviewWidth(LONG* pVal) {
    return GetLong("PreviewWidth", pVal);
}
HRESULT QuorlinaObject::put_PreviewWidth(LONG value) {
    return PutLong("PreviewWidth", value);
}
HRESULT QuorlinaObject::get_PreviewHeight(LONG* pVal) {
    return GetLong("PreviewHeight", pVal);
}
HRESULT QuorlinaObject::put_PreviewHeight(LONG value) {
    return PutLong("PreviewHeight", value);
}
HRESULT QuorlinaObject::get_DeviceSerialNo(BSTR* pVal) {
    return GetText("DeviceSerialNo", pVal);
}
HRESULT QuorlinaObject::put_DeviceSerialNo(BSTR value) {
    return PutText("DeviceSerialNo", value);
}
HRESULT QuorlinaObject::get_AuthType(LONG* pVal) {
    return GetLong("AuthType", pVal);
}
HRESULT QuorlinaObject::put_AuthType(LONG value) {
    return PutLong("AuthType", value);
}
HRESULT QuorlinaObject::get_RemoteWeb(LONG* pVal) {
    return GetLong("RemoteWeb", pVal);
}
HRESULT QuorlinaObject::put_RemoteWeb(LONG value) {
    return PutLong("RemoteWeb", value);
}
HRESULT QuorlinaObject::get_ImageUpload(LONG* pVal) {
    return GetLong("ImageUpload", pVal);
}
HRESULT QuorlinaObject::put_ImageUpload(LONG value) {
    return PutLong("ImageUpload", value);
}
HRESULT QuorlinaObject::get_EmailImage(LONG* pVal) {
    return GetLong("EmailImage", pVal);
}
HRESULT QuorlinaObject::put_EmailImage(LONG value) {
    return PutLong("EmailImage", value);
}
HRESULT QuorlinaObject::get_SetName(BSTR* pVal) {
    return GetText("SetName", pVal);
}
HRESULT QuorlinaObject::put_SetName(BSTR value) {
    return PutText("SetName", value);
}
HRESULT QuorlinaObject::get_PanSingleMoveDegree(LONG* pVal) {
    return GetLong("PanSingleMoveDegree", pVal);
}
HRESULT QuorlinaObject::put_PanSingleMoveDegree(LONG value) {
    return PutLong("PanSingleMoveDegree", value);
}
HRESULT QuorlinaObject::get_TiltSingleMoveDegree(LONG* pVal) {
    return GetLong("TiltSingleMoveDegree", pVal);
}
HRESULT QuorlinaObject::put_TiltSingleMoveDegree(LONG value) {
    return PutLong("TiltSingleMoveDegree", value);
}
HRESULT QuorlinaObject::get_GetHorizontalPosition(LONG* pVal) {
    return GetLong("GetHorizontalPosition", pVal);
}
HRESULT QuorlinaObject::put_GetHorizontalPosition(LONG value) {
    return PutLong("GetHorizontalPosition", value);
}
HRESULT QuorlinaObject::get_GetVerticalPosition(LONG* pVal) {
    return GetLong("GetVerticalPosition", pVal);
}
HRESULT QuorlinaObject::put_GetVerticalPosition(LONG value) {
    return PutLong("GetVerticalPosition", value);
}
HRESULT QuorlinaObject::get_MovePanTiltDegree(LONG* pVal) {
    return GetLong("MovePanTiltDegree", pVal);
}
HRESULT QuorlinaObject::put_MovePanTiltDegree(LONG value) {
    return PutLong("MovePanTiltDegree", value);
}
HRESULT QuorlinaObject::get_ClearPosition(LONG* pVal) {
    return GetLong("ClearPosition", pVal);
}
HRESULT QuorlinaObject::put_ClearPosition(LONG value) {
    return PutLong("ClearPosition", value);
}
HRESULT QuorlinaObject::get_SetPosition(LONG* pVal) {
    return GetLong("SetPosition", pVal);
}
HRESULT QuorlinaObject::put_SetPosition(LONG value) {
    return PutLong("SetPosition", value);
}
HRESULT QuorlinaObject::get_MovePanTiltPosition(LONG* pVal) {
    return GetLong("MovePanTiltPosition", pVal);
}
HRESULT QuorlinaObject::put_MovePanTiltPosition(LONG value) {
    return PutLong("MovePanTiltPosition", value);
}
HRESULT QuorlinaObject::get_SwingMode(LONG* pVal) {
    return GetLong("SwingMode", pVal);
}
HRESULT QuorlinaObject::put_SwingMode(LONG value) {
    return PutLong("SwingMode", value);
}
HRESULT QuorlinaObject::Zoom(LONG lMode, LONG* pVal) {
    const Value arg = Value::Long(lMode);
    return LongMethod("Zoom", &arg, pVal);
}
HRESULT QuorlinaObject::ResizeMode(LONG lMode, LONG* pVal) {
    const Value arg = Value::Long(lMode);
    return LongMethod("ResizeMode", &arg, pVal);
}
HRESULT QuorlinaObject::DisplayMode(LONG lMode, LONG* pVal) {
    const Value arg = Value::Long(lMode);
    return LongMethod("DisplayMode", &arg, pVal);
}
HRESULT QuorlinaObject::MoveToPos(LONG lPosP, LONG lPosT, LONG* pVal) {
    const Value args[] = {Value::Long(lPosP), Value::Long(lPosT)};
    return LongMethod("MoveToPos", args, pVal);
}

// --- IOleWindow ---
HRESULT QuorlinaObject::GetWindow(HWND* window) {
    if (window == nullptr) return E_POINTER;
    *window = control_->Window.load();
    return *window == nullptr ? E_FAIL : S_OK;
}

// --- IOleInPlaceObject ---
HRESULT QuorlinaObject::SetObjectRects(const RECT* position, const RECT*) {
    if (position == nullptr) return E_POINTER;
    const HWND window = control_->Window.load();
    if (window == nullptr) return E_FAIL;
    return platform::MoveWindow(window, *position) ? S_OK : E_INVALIDARG;
}

// --- IOleObject ---
// The site's ambient properties are read as it is given, so the first paint already has them.
HRESULT QuorlinaObject::SetClientSite(IOleClientSite* site) {
    site_.SetSite(site);
    return S_OK;
}

HRESULT QuorlinaObject::GetClientSite(IOleClientSite** site) {
    if (site == nullptr) return E_POINTER;
    *site = site_.Site();
    if (*site != nullptr) (*site)->AddRef();
    return S_OK;
}

HRESULT QuorlinaObject::SetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (size == nullptr) return E_POINTER;
    control_->ExtentCx = size->cx;
    control_->ExtentCy = size->cy;
    dirty_ = true;
    return S_OK;
}

HRESULT QuorlinaObject::GetExtent(DWORD aspect, SIZEL* size) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (size == nullptr) return E_POINTER;
    size->cx = control_->ExtentCx.load();
    size->cy = control_->ExtentCy.load();
    return S_OK;
}

// --- persistence ---
HRESULT QuorlinaObject::GetClassID(CLSID* clsid) {
    if (clsid == nullptr) return E_POINTER;
    *clsid = kClsidQuorlina;
    return S_OK;
}

HRESULT QuorlinaObject::IsDirty() {
    return dirty_ ? S_OK : S_FALSE;
}

HRESULT QuorlinaObject::Load(IStream* stream) {
    if (stream == nullptr) return E_POINTER;
    std::uint32_t version = 0, count = 0;
    HRESULT hr = ReadU32(stream, &version);
    if (hr == S_OK) hr = ReadU32(stream, &count);
    if (hr != S_OK) return hr;
    if (version != kPersistVersion || count > kMaxPersistedProperties) return STG_E_INVALIDHEADER;
    std::uint32_t cx = static_cast<std::uint32_t>(control_->ExtentCx.load());
    std::uint32_t cy = static_cast<std::uint32_t>(control_->ExtentCy.load());
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t length = 0;
        hr = ReadExactly(stream, &length, 1);
        if (hr != S_OK) return hr;
        if (length == 0 || length > kMaxPersistedNameBytes) return STG_E_INVALIDHEADER;
        char name[kMaxPersistedNameBytes + 1] = {};
        std::uint32_t value = 0;
        hr = ReadExactly(stream, name, length);
        if (hr == S_OK) hr = ReadU32(stream, &value);
        if (hr != S_OK) return hr;
        if (std::strcmp(name, kExtentWidthName) == 0) cx = value;
        if (std::strcmp(name, kExtentHeightName) == 0) cy = value;
    }
    control_->ExtentCx = static_cast<std::int32_t>(cx);
    control_->ExtentCy = static_cast<std::int32_t>(cy);
    dirty_ = false;
    return S_OK;
}

HRESULT QuorlinaObject::Save(IStream* stream, BOOL clear_dirty) {
    if (stream == nullptr) return E_POINTER;
    const std::vector<std::uint8_t> bytes =
        EncodeExtent(static_cast<std::uint32_t>(control_->ExtentCx.load()),
                     static_cast<std::uint32_t>(control_->ExtentCy.load()));
    ULONG written = 0;
    const HRESULT hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    if (!Succeeded(hr)) return hr;
    if (written != bytes.size()) return E_FAIL;
    if (clear_dirty) dirty_ = false;
    return S_OK;
}

HRESULT QuorlinaObject::GetSizeMax(std::uint64_t* size) {
    if (size == nullptr) return E_POINTER;
    *size = EncodeExtent(0, 0).size();
    return S_OK;
}

// A new control starts at its constructed extent; there is nothing more to set up.
HRESULT QuorlinaObject::InitNew() {
    return S_OK;
}

HRESULT QuorlinaObject::InitNew(IStorage* storage) {
    return storage == nullptr ? E_POINTER : S_OK;
}

HRESULT QuorlinaObject::Load(IStorage* storage) {
    if (storage == nullptr) return E_POINTER;
    IStream* stream = nullptr;
    HRESULT hr = storage->OpenStream(kContentsStreamName, &stream);
    if (!Succeeded(hr)) return hr;
    hr = Load(stream);
    stream->Release();
    return hr;
}

HRESULT QuorlinaObject::Save(IStorage* storage, BOOL same_as_load) {
    if (storage == nullptr) return E_POINTER;
    IStream* stream = nullptr;
    HRESULT hr = storage->CreateStream(kContentsStreamName, &stream);
    if (!Succeeded(hr)) return hr;
    hr = Save(stream, same_as_load);
    stream->Release();
    return hr;
}

// The control keeps no storage open between calls, so there is nothing to complete or let go.
HRESULT QuorlinaObject::SaveCompleted(IStorage*) {
    return S_OK;
}
HRESULT QuorlinaObject::HandsOffStorage() {
    return S_OK;
}

// --- IObjectSafety ---
HRESULT QuorlinaObject::GetInterfaceSafetyOptions(const IID& iid, DWORD* supported,
                                                  DWORD* enabled) {
    if (supported == nullptr || enabled == nullptr) return E_POINTER;
    if (!Answers(iid) && !(iid == IID_IUnknown)) {
        *supported = 0;
        *enabled = 0;
        return E_NOINTERFACE;
    }
    *supported = kSupportedSafety;
    *enabled = enabled_safety_.load();
    return S_OK;
}

HRESULT QuorlinaObject::SetInterfaceSafetyOptions(const IID& iid, DWORD mask, DWORD enabled) {
    if (!Answers(iid) && !(iid == IID_IUnknown)) return E_NOINTERFACE;
    if ((mask & ~kSupportedSafety) != 0) return E_FAIL;
    enabled_safety_ = (enabled_safety_.load() & ~enabled) | mask;
    return S_OK;
}

// --- IQuorlinaStatus ---
HRESULT QuorlinaObject::GetStatus(QuorlinaStatus* status) {
    if (status == nullptr) return E_POINTER;
    const control::SessionStatus s = control_->Status();
    status->state = static_cast<LONG>(s.state);
    status->reason = static_cast<LONG>(s.reason);
    status->sequence = s.sequence;
    status->session_frames = s.session_frames;
    status->stream_mode = s.stream_mode;
    status->command_status = s.command_status;
    status->command_sequence = s.command_sequence;
    status->commands_pending = s.commands_pending;
    return S_OK;
}

namespace {

// A text and its sequence number through the two out pointers, either of which may be null.
HRESULT TextOut(const std::string& text, ULONG number, BSTR* out, ULONG* sequence) {
    if (sequence != nullptr) *sequence = number;
    if (out == nullptr) return S_OK;
    *out = BstrFromAnsi(text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace

HRESULT QuorlinaObject::GetReasonText(BSTR* text, ULONG* sequence) {
    const control::SessionStatus s = control_->Status();
    return TextOut(s.reason_text, s.sequence, text, sequence);
}

HRESULT QuorlinaObject::GetProbeVerdict(BSTR* text) {
    if (text == nullptr) return E_POINTER;
    return TextOut(control_->Status().probe_text, 0, text, nullptr);
}

HRESULT QuorlinaObject::GetCommandText(BSTR* text, ULONG* sequence) {
    const control::SessionStatus s = control_->Status();
    return TextOut(s.command_text, s.command_sequence, text, sequence);
}

}  // namespace host
