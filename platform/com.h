// The component-object basics the control and its hosts share: interface identifiers, IUnknown,
// BSTR (length-prefixed UTF-16) with its 8-bit conversions, VARIANT with the automation coercions,
// the dispatch and type-information interfaces, and the embedding interfaces the control answers
// and calls, each with the platform's methods in the platform's order. The platform's binary
// layout (calling convention, structure packing) is not reproduced.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com_types.h"
#include "platform/window.h"
#include "platform/window_types.h"

namespace platform {

using ULONG = std::uint32_t;
using LONG = std::int32_t;  // the automation "long"
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using UINT = unsigned int;
using BOOL = std::int32_t;
using LCID = std::uint32_t;
using DISPID = std::int32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// --- status codes beyond the common ones in com_types.h ---
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001u);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);
inline constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000Eu);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000Fu);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802Bu);
inline constexpr HRESULT DV_E_DVASPECT = static_cast<HRESULT>(0x8004006Bu);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);
inline constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002u);
inline constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001Eu);
inline constexpr HRESULT STG_E_INVALIDHEADER = static_cast<HRESULT>(0x800300FBu);

// The name of a status code ("DISP_E_TYPEMISMATCH"), or its hexadecimal value when unnamed.
std::string HresultName(HRESULT hr);

// --- interface identifiers ---
struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};
using IID = GUID;
using CLSID = GUID;

// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits in either case); false otherwise.
bool ParseGuid(std::string_view text, GUID* out);
// Writes the braced form with upper-case digits, as the registry holds it.
std::string FormatGuid(const GUID& guid);

// The standard identifiers of the interfaces the control answers or calls.
inline constexpr GUID IID_NULL = {};
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IViewObjectEx = {
    0x3AF24292, 0x0C96, 0x11CE, {0xA0, 0xCF, 0x00, 0xAA, 0x00, 0x60, 0x0A, 0xB8}};
inline constexpr IID IID_IViewObject2 = {
    0x00000127, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IViewObject = {0x0000010D, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceObjectWindowless = {
    0x1C2056CC, 0x5EF4, 0x101B, {0x8B, 0xC8, 0x00, 0xAA, 0x00, 0x3E, 0x3B, 0x29}};
inline constexpr IID IID_IOleInPlaceObject = {
    0x00000113, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleWindow = {0x00000114, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleInPlaceActiveObject = {
    0x00000117, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IOleControl = {
    0xB196B288, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IOleObject = {0x00000112, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IQuickActivate = {
    0xCF51ED10, 0x62FE, 0x11CF, {0xBF, 0x86, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0x36}};
inline constexpr IID IID_IPersistStorage = {
    0x0000010A, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IPersistStreamInit = {
    0x7FD52380, 0x4E07, 0x101B, {0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7, 0x13}};
inline constexpr IID IID_IDataObject = {0x0000010E, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IProvideClassInfo = {
    0xB196B283, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IProvideClassInfo2 = {
    0xA6BC3AC0, 0xDBAA, 0x11CE, {0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
inline constexpr IID IID_IObjectSafety = {
    0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
// Interfaces the container implements and the control calls.
inline constexpr IID IID_IOleClientSite = {
    0x00000118, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IAdviseSink = {0x0000010F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IPropertyNotifySink = {
    0x9BFBBC02, 0xEFF1, 0x101A, {0x84, 0xED, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
// Interfaces of the in-memory stream and storage that persistence writes to.
inline constexpr IID IID_IStream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IStorage = {0x0000000B, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// --- IUnknown ---
class IUnknown {
  public:
    // On success *object holds a new reference; otherwise it is null and E_NOINTERFACE returned.
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;  // objects go away through Release only
};

// The IUnknown part of an object that offers one interface: QueryInterface answers IUnknown and
// `Interface` (identified by `kIid`) with the same pointer, and the last Release deletes the
// object. It starts with one reference, its creator's.
template <class Interface, const IID& kIid>
class SingleInterfaceObject : public Interface {
  public:
    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == kIid) {
            AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

  protected:
    virtual ~SingleInterfaceObject() = default;

  private:
    std::atomic<ULONG> refs_{1};
};

// --- BSTR ---
// A BSTR points at the text; a 32-bit byte length sits just before it and a zero code unit just
// after. The null BSTR is a valid empty text (but see the members that tell it apart).
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // text may be null: zero-filled
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);  // in code units; 0 for the null BSTR

// Text crosses between BSTRs and the control's 8-bit fields in ISO-8859-1, this platform's ANSI
// code page: byte b is code point b and back. A character outside it (above U+00FF, or a whole
// surrogate pair) becomes one '?'. An embedded U+0000 is kept.
BSTR BstrFromAnsi(std::string_view text);  // null when out of memory
std::string AnsiFromBstr(BSTR text);
std::string AnsiFromWide(std::u16string_view text);  // for zero-terminated OLECHAR texts
std::u16string Utf16FromAnsi(std::string_view text);

// --- VARIANT ---
enum VarEnum : VARTYPE {
    VT_EMPTY = 0,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_VARIANT = 12,  // only as VT_BYREF | VT_VARIANT
    VT_I8 = 20,       // 64 bits: here only a handle's bits (the ambient palette)
    VT_VOID = 24,     // in type information: no value
    VT_BYREF = 0x4000,
};

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    union {
        std::int16_t iVal;
        std::int32_t lVal;
        std::int64_t llVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        std::int16_t* piVal;
        std::int32_t* plVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        BSTR* pbstrVal;
        VARIANT* pvarVal;
    };
    VARIANT() : lVal(0) {}
};

void VariantInit(VARIANT* v);
// Frees what the variant owns (a BSTR held by value) and makes it VT_EMPTY.
HRESULT VariantClear(VARIANT* v);

// Converts src (any of VT_EMPTY, VT_I2, VT_I4, VT_R8, VT_BOOL, VT_BSTR, or a VT_BYREF form of
// those or of VT_VARIANT) to vt (VT_I4, VT_BOOL or VT_BSTR) as automation coerces:
//   to VT_I4   - I2 and BOOL widen; R8 rounds half to even; a BSTR is read as a decimal number
//                (spaces around it allowed, a fraction rounds); EMPTY is 0;
//   to VT_BOOL - any non-zero number is VARIANT_TRUE; a BSTR is "True"/"False" (any case) or a
//                number; EMPTY is VARIANT_FALSE;
//   to VT_BSTR - numbers in decimal ("-1"/"0" for BOOL, up to 15 significant digits for R8);
//                EMPTY is the empty text; a BSTR is copied (the null BSTR stays null).
// DISP_E_OVERFLOW when the number does not fit, DISP_E_TYPEMISMATCH for anything else that
// cannot be converted. dest must not hold anything that needs freeing; it is written on success.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, VARTYPE vt);

// --- dispatch ---
inline constexpr WORD DISPATCH_METHOD = 0x1;
inline constexpr WORD DISPATCH_PROPERTYGET = 0x2;
inline constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
inline constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;
inline constexpr DISPID MEMBERID_NIL = DISPID_UNKNOWN;
inline constexpr DISPID DISPID_ENABLED = -514;
inline constexpr DISPID DISPID_HWND = -515;

inline constexpr LCID kLocaleEnglishUs = 1033;

// Arguments in reverse order: rgvarg[cArgs - 1] is the first parameter. Named arguments come
// first in rgvarg, their dispatch numbers in rgdispidNamedArgs.
struct DISPPARAMS {
    VARIANT* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

// Exception details are not produced: failures come back as status codes only.
struct EXCEPINFO;

enum TYPEKIND { TKIND_DISPATCH = 4 };
enum INVOKEKIND { INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4 };
inline constexpr WORD TYPEFLAG_FDUAL = 0x40;
inline constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
inline constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

inline constexpr int kMaxFuncParams = 2;  // in-parameters of any member this system describes

struct TYPEATTR {
    GUID guid;
    LCID lcid = 0;
    TYPEKIND typekind = TKIND_DISPATCH;
    UINT cFuncs = 0;
    WORD wTypeFlags = 0;
};

// One function of the dispatch view: in-parameters only; an [out, retval] parameter is the
// result type (VT_VOID when the function has none).
struct FUNCDESC {
    DISPID memid = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    short cParams = 0;
    VARTYPE paramTypes[kMaxFuncParams] = {};
    VARTYPE resultType = VT_VOID;
    short oVft = 0;  // position in the interface's virtual table, IUnknown's first slot being 0
};

// The part of the type-information interface this system's hosts call. Descriptors are filled
// into the caller's structures rather than allocated and released, and names are asked for by
// function index (a property's get and put share one dispatch number).
class ITypeInfo : public IUnknown {
  public:
    virtual HRESULT GetTypeAttr(TYPEATTR* attr) = 0;
    virtual HRESULT GetFuncDesc(UINT index, FUNCDESC* desc) = 0;
    // The function's name, then its in-parameters' names, then its result's name; an unnamed one
    // is the null BSTR. *count tells how many of names[0..max) were written (caller frees them).
    virtual HRESULT GetFuncNames(UINT index, BSTR* names, UINT max, UINT* count) = 0;
    // Name and help string of a member, or of the type itself for MEMBERID_NIL. Either pointer may
    // be null; a member without help string gives the null BSTR.
    virtual HRESULT GetDocumentation(DISPID memid, BSTR* name, BSTR* help) = 0;
    virtual HRESULT GetIDsOfNames(OLECHAR** names, UINT count, DISPID* ids) = 0;
};

class IDispatch : public IUnknown {
  public:
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, UINT count, LCID lcid,
                                  DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* exception, UINT* arg_error) = 0;
};

// --- class factory ---
class IClassFactory : public IUnknown {
  public:
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;
};

// --- streams and storages ---
enum StreamSeek : DWORD { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

class IStream : public IUnknown {
  public:
    // Reads up to size bytes; *read (may be null) tells how many. Reading past the end is not an
    // error: it reads fewer.
    virtual HRESULT Read(void* data, ULONG size, ULONG* read) = 0;
    virtual HRESULT Write(const void* data, ULONG size, ULONG* written) = 0;
    virtual HRESULT Seek(std::int64_t move, DWORD origin, std::uint64_t* position) = 0;
};

// Named streams in one flat storage (no sub-storages).
class IStorage : public IUnknown {
  public:
    // Creates the stream, or empties it when it exists.
    virtual HRESULT CreateStream(const OLECHAR* name, IStream** stream) = 0;
    // STG_E_FILENOTFOUND when there is no stream of that name.
    virtual HRESULT OpenStream(const OLECHAR* name, IStream** stream) = 0;
};

// --- the embedding interfaces ---
// Each declares the platform's methods in the platform's order, so a container reaches every
// method of an interface it is handed. The control implements those its containers call and
// answers E_NOTIMPL to the rest; types that only those other methods take are declared without a
// body.

struct SIZEL {
    std::int32_t cx = 0;
    std::int32_t cy = 0;
};
struct POINT {
    std::int32_t x = 0;
    std::int32_t y = 0;
};
using RECTL = RECT;  // the same four 32-bit edges

struct MSG;
struct LOGPALETTE;  // gdi.h
struct FORMATETC;
struct STGMEDIUM;
struct DVTARGETDEVICE;
struct DVEXTENTINFO;
struct CONTROLINFO;
struct QACONTAINER;
struct QACONTROL;
class IMoniker;
class IOleContainer;
class IEnumOLEVERB;
class IEnumSTATDATA;
class IEnumFORMATETC;
class IDropTarget;
class IOleInPlaceUIWindow;

// Drawing aspects; the control draws only its content.
inline constexpr DWORD DVASPECT_CONTENT = 1;
// Advise flags of IViewObject::SetAdvise.
inline constexpr DWORD ADVF_PRIMEFIRST = 0x2;  // send one notice at once
inline constexpr DWORD ADVF_ONLYONCE = 0x4;    // drop the sink after its first notice

// Verbs of IOleObject::DoVerb.
inline constexpr LONG OLEIVERB_PRIMARY = 0;
inline constexpr LONG OLEIVERB_SHOW = -1;
inline constexpr LONG OLEIVERB_HIDE = -3;
inline constexpr LONG OLEIVERB_UIACTIVATE = -4;
inline constexpr LONG OLEIVERB_INPLACEACTIVATE = -5;
// IOleObject::Close: what to do with unsaved changes.
inline constexpr DWORD OLECLOSE_NOSAVE = 1;
// IOleObject::GetMiscStatus flags.
inline constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
inline constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
inline constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
inline constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
inline constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;

// Ambient properties a container's site gives through its IDispatch (property gets).
inline constexpr DISPID DISPID_AMBIENT_BACKCOLOR = -701;
inline constexpr DISPID DISPID_AMBIENT_USERMODE = -709;
inline constexpr DISPID DISPID_AMBIENT_PALETTE = -726;

inline constexpr HRESULT OLEOBJ_E_INVALIDVERB = static_cast<HRESULT>(0x80040181u);

// Implemented by the container: told when the control's view changes. Its methods return
// nothing; the control may call OnViewChange from its worker threads.
class IAdviseSink : public IUnknown {
  public:
    virtual void OnDataChange(FORMATETC* format, STGMEDIUM* medium) = 0;
    virtual void OnViewChange(DWORD aspect, LONG index) = 0;
    virtual void OnRename(IMoniker* moniker) = 0;
    virtual void OnSave() = 0;
    virtual void OnClose() = 0;
};

// Implemented by the container: its site for the control. The same object answers IDispatch
// with the ambient properties.
class IOleClientSite : public IUnknown {
  public:
    virtual HRESULT SaveObject() = 0;
    virtual HRESULT GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) = 0;
    virtual HRESULT GetContainer(IOleContainer** container) = 0;
    virtual HRESULT ShowObject() = 0;
    virtual HRESULT OnShowWindow(BOOL show) = 0;
    virtual HRESULT RequestNewObjectLayout() = 0;
};

// Implemented by the container, found through its site: asked before a bindable property
// changes (S_FALSE refuses) and told after.
class IPropertyNotifySink : public IUnknown {
  public:
    virtual HRESULT OnChanged(DISPID member) = 0;
    virtual HRESULT OnRequestEdit(DISPID member) = 0;
};

using DrawContinue = BOOL (*)(std::uintptr_t argument);

class IViewObject : public IUnknown {
  public:
    // Draws the aspect into draw_dc within bounds (device units of that context).
    virtual HRESULT Draw(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* target,
                         HDC target_dc, HDC draw_dc, const RECTL* bounds,
                         const RECTL* window_bounds, DrawContinue keep_going,
                         std::uintptr_t keep_going_argument) = 0;
    virtual HRESULT GetColorSet(DWORD aspect, LONG index, void* aspect_info, DVTARGETDEVICE* target,
                                HDC target_dc, LOGPALETTE** colors) = 0;
    virtual HRESULT Freeze(DWORD aspect, LONG index, void* aspect_info, DWORD* freeze) = 0;
    virtual HRESULT Unfreeze(DWORD freeze) = 0;
    // The sink to tell of view changes of the given aspects (null: none any more).
    virtual HRESULT SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) = 0;
    // Any pointer may be null; the sink comes with a reference.
    virtual HRESULT GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) = 0;
};
class IViewObject2 : public IViewObject {
  public:
    virtual HRESULT GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target, SIZEL* size) = 0;
};
class IViewObjectEx : public IViewObject2 {
  public:
    virtual HRESULT GetRect(DWORD aspect, RECTL* rect) = 0;
    virtual HRESULT GetViewStatus(DWORD* status) = 0;
    virtual HRESULT QueryHitPoint(DWORD aspect, const RECT* bounds, POINT location, LONG close_hint,
                                  DWORD* hit) = 0;
    virtual HRESULT QueryHitRect(DWORD aspect, const RECT* bounds, const RECT* location,
                                 LONG close_hint, DWORD* hit) = 0;
    virtual HRESULT GetNaturalExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target,
                                     HDC target_dc, DVEXTENTINFO* info, SIZEL* size) = 0;
};

class IOleWindow : public IUnknown {
  public:
    // The control's window; E_FAIL while it has none.
    virtual HRESULT GetWindow(HWND* window) = 0;
    virtual HRESULT ContextSensitiveHelp(BOOL enter) = 0;
};
class IOleInPlaceObject : public IOleWindow {
  public:
    // Leaves in-place activation: the control's window is destroyed (which stops its stream).
    virtual HRESULT InPlaceDeactivate() = 0;
    virtual HRESULT UIDeactivate() = 0;
    // The container moves or resizes the control: position is the control's window rectangle in
    // the container window's client coordinates; clip is the visible part of it (the control's
    // window is a real child window, so the window system clips it already).
    virtual HRESULT SetObjectRects(const RECT* position, const RECT* clip) = 0;
    virtual HRESULT ReactivateAndUndo() = 0;
};
class IOleInPlaceObjectWindowless : public IOleInPlaceObject {
  public:
    virtual HRESULT OnWindowMessage(UINT message, WPARAM wparam, LPARAM lparam,
                                    LRESULT* result) = 0;
    virtual HRESULT GetDropTarget(IDropTarget** target) = 0;
};
class IOleInPlaceActiveObject : public IOleWindow {
  public:
    virtual HRESULT TranslateAccelerator(MSG* message) = 0;
    virtual HRESULT OnFrameWindowActivate(BOOL activate) = 0;
    virtual HRESULT OnDocWindowActivate(BOOL activate) = 0;
    virtual HRESULT ResizeBorder(const RECT* border, IOleInPlaceUIWindow* window,
                                 BOOL frame_window) = 0;
    virtual HRESULT EnableModeless(BOOL enable) = 0;
};

class IOleControl : public IUnknown {
  public:
    virtual HRESULT GetControlInfo(CONTROLINFO* info) = 0;
    virtual HRESULT OnMnemonic(MSG* message) = 0;
    // The container changed the ambient property `member` (DISPID_UNKNOWN: several or all).
    virtual HRESULT OnAmbientPropertyChange(DISPID member) = 0;
    virtual HRESULT FreezeEvents(BOOL freeze) = 0;
};

class IDataObject;

class IOleObject : public IUnknown {
  public:
    // The control reads the site's ambient properties when it is given one; null drops the site.
    virtual HRESULT SetClientSite(IOleClientSite* site) = 0;
    virtual HRESULT GetClientSite(IOleClientSite** site) = 0;
    virtual HRESULT SetHostNames(const OLECHAR* application, const OLECHAR* document) = 0;
    virtual HRESULT Close(DWORD save_option) = 0;
    virtual HRESULT SetMoniker(DWORD which, IMoniker* moniker) = 0;
    virtual HRESULT GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) = 0;
    virtual HRESULT InitFromData(IDataObject* data, BOOL creation, DWORD reserved) = 0;
    virtual HRESULT GetClipboardData(DWORD reserved, IDataObject** data) = 0;
    // The activating verbs make the control's window in `parent` at `position` (the parent's
    // client coordinates).
    virtual HRESULT DoVerb(LONG verb, MSG* message, IOleClientSite* active_site, LONG index,
                           HWND parent, const RECT* position) = 0;
    virtual HRESULT EnumVerbs(IEnumOLEVERB** verbs) = 0;
    virtual HRESULT Update() = 0;
    virtual HRESULT IsUpToDate() = 0;
    virtual HRESULT GetUserClassID(CLSID* clsid) = 0;
    virtual HRESULT GetUserType(DWORD form, OLECHAR** user_type) = 0;
    // The extent in hundredths of a millimetre; only DVASPECT_CONTENT is known.
    virtual HRESULT SetExtent(DWORD aspect, SIZEL* size) = 0;
    virtual HRESULT GetExtent(DWORD aspect, SIZEL* size) = 0;
    virtual HRESULT Advise(IAdviseSink* sink, DWORD* connection) = 0;
    virtual HRESULT Unadvise(DWORD connection) = 0;
    virtual HRESULT EnumAdvise(IEnumSTATDATA** advises) = 0;
    virtual HRESULT GetMiscStatus(DWORD aspect, DWORD* status) = 0;
    virtual HRESULT SetColorScheme(LOGPALETTE* palette) = 0;
};

class IQuickActivate : public IUnknown {
  public:
    virtual HRESULT QuickActivate(QACONTAINER* container, QACONTROL* control) = 0;
    virtual HRESULT SetContentExtent(SIZEL* size) = 0;
    virtual HRESULT GetContentExtent(SIZEL* size) = 0;
};

class IPersist : public IUnknown {
  public:
    virtual HRESULT GetClassID(CLSID* clsid) = 0;
};

class IPersistStreamInit : public IPersist {
  public:
    virtual HRESULT IsDirty() = 0;  // S_OK when changed since the last save, else S_FALSE
    virtual HRESULT Load(IStream* stream) = 0;
    virtual HRESULT Save(IStream* stream, BOOL clear_dirty) = 0;
    virtual HRESULT GetSizeMax(std::uint64_t* size) = 0;
    virtual HRESULT InitNew() = 0;
};

class IPersistStorage : public IPersist {
  public:
    virtual HRESULT IsDirty() = 0;
    virtual HRESULT InitNew(IStorage* storage) = 0;
    virtual HRESULT Load(IStorage* storage) = 0;
    virtual HRESULT Save(IStorage* storage, BOOL same_as_load) = 0;
    virtual HRESULT SaveCompleted(IStorage* storage) = 0;
    virtual HRESULT HandsOffStorage() = 0;
};

class IDataObject : public IUnknown {
  public:
    virtual HRESULT GetData(FORMATETC* format, STGMEDIUM* medium) = 0;
    virtual HRESULT GetDataHere(FORMATETC* format, STGMEDIUM* medium) = 0;
    virtual HRESULT QueryGetData(FORMATETC* format) = 0;
    virtual HRESULT GetCanonicalFormatEtc(FORMATETC* format, FORMATETC* canonical) = 0;
    virtual HRESULT SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) = 0;
    virtual HRESULT EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) = 0;
    virtual HRESULT DAdvise(FORMATETC* format, DWORD advf, IAdviseSink* sink,
                            DWORD* connection) = 0;
    virtual HRESULT DUnadvise(DWORD connection) = 0;
    virtual HRESULT EnumDAdvise(IEnumSTATDATA** advises) = 0;
};

class IProvideClassInfo : public IUnknown {
  public:
    // The type information of the control's one scripting interface.
    virtual HRESULT GetClassInfo(ITypeInfo** info) = 0;
};
class IProvideClassInfo2 : public IProvideClassInfo {
  public:
    virtual HRESULT GetGUID(DWORD kind, GUID* guid) = 0;
};

inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
inline constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

class IObjectSafety : public IUnknown {
  public:
    virtual HRESULT GetInterfaceSafetyOptions(const IID& iid, DWORD* supported, DWORD* enabled) = 0;
    virtual HRESULT SetInterfaceSafetyOptions(const IID& iid, DWORD mask, DWORD enabled) = 0;
};

}  // namespace platform
