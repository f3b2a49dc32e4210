// Class-factory creation and IDispatch calls for tests.
#include "support/dispatch_client.h"

#include <algorithm>

#include "host/identity.h"
#include "host/module.h"

namespace test_support {

using namespace platform;

IDispatch* CreateControl() {
    void* factory = nullptr;
    if (DllGetClassObject(host::kClsidQuorlina, IID_IClassFactory, &factory) != S_OK)
        return nullptr;
    void* object = nullptr;
    const HRESULT hr =
        static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, IID_IDispatch, &object);
    static_cast<IClassFactory*>(factory)->Release();
    return hr == S_OK ? static_cast<IDispatch*>(object) : nullptr;
}

VARIANT Long(std::int32_t value) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT Bool(VARIANT_BOOL value) {
    VARIANT v;
    v.vt = VT_BOOL;
    v.boolVal = value;
    return v;
}

Text::Text(const char* text) {
    v.vt = VT_BSTR;
    v.bstrVal = text == nullptr ? nullptr : BstrFromAnsi(text);
}

Text::~Text() {
    VariantClear(&v);
}

DISPID DispidOf(IDispatch& control, const std::string& name) {
    std::u16string wide = Utf16FromAnsi(name);
    OLECHAR* names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    control.GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id);
    return id;
}

HRESULT Get(IDispatch& control, DISPID id, VARIANT* out) {
    DISPPARAMS none;
    return control.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYGET, &none, out, nullptr,
                          nullptr);
}

HRESULT Put(IDispatch& control, DISPID id, VARIANT value) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = &value;
    params.cArgs = 1;
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
    return control.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYPUT, &params, nullptr,
                          nullptr, nullptr);
}

HRESULT Call(IDispatch& control, DISPID id, std::vector<VARIANT> args, VARIANT* out,
             UINT* arg_error) {
    std::reverse(args.begin(), args.end());
    DISPPARAMS params;
    params.rgvarg = args.empty() ? nullptr : args.data();
    params.cArgs = static_cast<UINT>(args.size());
    return control.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_METHOD, &params, out, nullptr,
                          arg_error);
}

std::int32_t GetLong(IDispatch& control, const std::string& name) {
    VARIANT v;
    Get(control, DispidOf(control, name), &v);
    return v.vt == VT_I4 ? v.lVal : -999999;
}

std::string GetText(IDispatch& control, const std::string& name) {
    VARIANT v;
    Get(control, DispidOf(control, name), &v);
    if (v.vt != VT_BSTR) return "<not a text>";
    std::string s = AnsiFromBstr(v.bstrVal);
    VariantClear(&v);
    return s;
}

HRESULT PutLong(IDispatch& control, const std::string& name, std::int32_t value) {
    return Put(control, DispidOf(control, name), Long(value));
}

}  // namespace test_support
