// Row selection, argument checks and VARIANT <-> control::Value translation for Invoke.
#include "host/dispatch.h"

#include "host/type_info.h"

namespace host {

using namespace platform;
using control::Member;
using control::MemberKind;
using control::Value;
using control::ValueType;

namespace {

WORD FlagOf(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method:
            return DISPATCH_METHOD;
        case MemberKind::PropertyGet:
            return DISPATCH_PROPERTYGET;
        case MemberKind::PropertyPut:
            return DISPATCH_PROPERTYPUT;
    }
    return 0;
}

// The first row with the number whose kind the caller asked for (a script engine often asks for
// "method or get" at once).
const Member* SelectRow(DISPID member, WORD flags) {
    if ((flags & DISPATCH_PROPERTYPUTREF) != 0) flags |= DISPATCH_PROPERTYPUT;
    for (const Member& m : control::Members())
        if (m.dispid == member && (FlagOf(m.kind) & flags) != 0) return &m;
    return nullptr;
}

// arg already has the parameter's automation type.
Value ValueOf(const VARIANT& arg, ValueType type) {
    switch (type) {
        case ValueType::Long:
            return Value::Long(arg.lVal);
        case ValueType::Bool:
            return Value::Bool(arg.boolVal);
        case ValueType::Text:
            return arg.bstrVal == nullptr ? Value::NullText()
                                          : Value::Text(AnsiFromBstr(arg.bstrVal));
        case ValueType::Double:
        case ValueType::None:
            break;
    }
    return Value{};
}

HRESULT WriteResult(const Value& value, VARIANT* out) {
    switch (value.type) {
        case ValueType::None:
            return S_OK;
        case ValueType::Long:
            out->vt = VT_I4;
            out->lVal = value.long_value;
            return S_OK;
        case ValueType::Double:
            out->vt = VT_R8;
            out->dblVal = value.double_value;
            return S_OK;
        case ValueType::Bool:
            out->vt = VT_BOOL;
            out->boolVal = value.bool_value;
            return S_OK;
        case ValueType::Text: {
            BSTR text = BstrFromAnsi(value.text);
            if (text == nullptr) return E_OUTOFMEMORY;
            out->vt = VT_BSTR;
            out->bstrVal = text;
            return S_OK;
        }
    }
    return S_OK;
}

}  // namespace

HRESULT InvokeMember(MemberCaller& caller, DISPID member, WORD flags, DISPPARAMS* params,
                     VARIANT* result, UINT* arg_error) {
    if (params == nullptr) return E_INVALIDARG;
    if ((params->cArgs > 0 && params->rgvarg == nullptr) ||
        (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr) ||
        params->cNamedArgs > params->cArgs)
        return E_INVALIDARG;
    const Member* m = SelectRow(member, flags);
    if (m == nullptr) return DISP_E_MEMBERNOTFOUND;

    if (m->kind == MemberKind::PropertyPut) {
        if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTOPTIONAL;
    } else if (params->cNamedArgs > 0) {
        return DISP_E_NONAMEDARGS;
    }
    const UINT wanted = static_cast<UINT>(m->param_count);
    if (params->cArgs > wanted) return DISP_E_BADPARAMCOUNT;
    if (params->cArgs < wanted) return DISP_E_PARAMNOTOPTIONAL;

    Value args[control::kMaxMemberParams];
    for (UINT i = 0; i < wanted; ++i) {
        const UINT position = params->cArgs - 1 - i;  // arguments arrive last first
        VARIANT converted;
        const HRESULT hr =
            VariantChangeType(&converted, &params->rgvarg[position], VartypeOf(m->params[i]));
        if (hr != S_OK) {
            if (arg_error != nullptr) *arg_error = position;
            return hr;
        }
        args[i] = ValueOf(converted, m->params[i]);
        VariantClear(&converted);
    }

    // A long result starts as the caller's, so that a member that leaves it alone leaves it alone.
    Value out;
    if (result != nullptr && result->vt == VT_I4) out.long_value = result->lVal;
    const HRESULT hr = caller.CallMember(*m, args, &out);
    if (Succeeded(hr) && result != nullptr) {
        const HRESULT written = WriteResult(out, result);
        if (written != S_OK) return written;
    }
    return hr;
}

}  // namespace host
