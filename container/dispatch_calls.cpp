// Name lookup (cached per name, failures too) and the three Invoke shapes.
#include "container/dispatch_calls.h"

namespace container {

using namespace platform;

DISPID DispatchCalls::IdOf(const std::string& name) {
    auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    std::u16string wide = Utf16FromAnsi(name);
    OLECHAR* names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    if (!Succeeded(control_.GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id)))
        id = DISPID_UNKNOWN;
    ids_.emplace(name, id);
    return id;
}

HRESULT DispatchCalls::Put(DISPID id, VARIANT* value) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = value;
    params.cArgs = 1;
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
    return control_.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYPUT, &params, nullptr,
                           nullptr, nullptr);
}

HRESULT DispatchCalls::PutLong(const std::string& name, std::int32_t value) {
    const DISPID id = IdOf(name);
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    VARIANT argument;
    argument.vt = VT_I4;
    argument.lVal = value;
    return Put(id, &argument);
}

HRESULT DispatchCalls::PutText(const std::string& name, const std::string& text) {
    const DISPID id = IdOf(name);
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    VARIANT argument;
    argument.vt = VT_BSTR;
    argument.bstrVal = BstrFromAnsi(text);
    const HRESULT hr = Put(id, &argument);
    VariantClear(&argument);
    return hr;
}

HRESULT DispatchCalls::Call(const std::string& name) {
    const DISPID id = IdOf(name);
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    DISPPARAMS none;
    VARIANT result;
    return control_.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_METHOD, &none, &result, nullptr,
                           nullptr);
}

HRESULT DispatchCalls::CallLong(const std::string& name, std::int32_t argument,
                                std::int32_t* result) {
    const DISPID id = IdOf(name);
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    VARIANT in;
    in.vt = VT_I4;
    in.lVal = argument;
    DISPPARAMS params;
    params.rgvarg = &in;
    params.cArgs = 1;
    VARIANT out;
    const HRESULT hr = control_.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_METHOD, &params,
                                       &out, nullptr, nullptr);
    if (Succeeded(hr) && result != nullptr && out.vt == VT_I4) *result = out.lVal;
    VariantClear(&out);
    return hr;
}

HRESULT DispatchCalls::Get(const std::string& name, VARIANT* out) {
    const DISPID id = IdOf(name);
    if (id == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    DISPPARAMS none;
    return control_.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYGET, &none, out,
                           nullptr, nullptr);
}

std::int32_t DispatchCalls::GetLong(const std::string& name, std::int32_t fallback) {
    VARIANT v;
    if (!Succeeded(Get(name, &v)) || v.vt != VT_I4) {
        VariantClear(&v);
        return fallback;
    }
    return v.lVal;
}

double DispatchCalls::GetDouble(const std::string& name, double fallback) {
    VARIANT v;
    if (!Succeeded(Get(name, &v)) || v.vt != VT_R8) {
        VariantClear(&v);
        return fallback;
    }
    return v.dblVal;
}

std::string DispatchCalls::GetText(const std::string& name) {
    VARIANT v;
    std::string text;
    if (Succeeded(Get(name, &v)) && v.vt == VT_BSTR) text = AnsiFromBstr(v.bstrVal);
    VariantClear(&v);
    return text;
}

}  // namespace container
