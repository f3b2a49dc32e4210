// The type-information object over control::Members(). Names go out as BSTRs converted from the
// table's 8-bit texts; names coming in are converted to 8-bit text before they are compared.
#include "host/type_info.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <string_view>

#include "host/identity.h"
#include "host/module.h"

namespace host {

using namespace platform;
using control::Member;
using control::MemberKind;
using control::ValueType;

VARTYPE VartypeOf(ValueType type) {
    switch (type) {
        case ValueType::None:
            return VT_VOID;
        case ValueType::Long:
            return VT_I4;
        case ValueType::Double:
            return VT_R8;
        case ValueType::Bool:
            return VT_BOOL;
        case ValueType::Text:
            return VT_BSTR;
    }
    return VT_VOID;
}

namespace {

constexpr short kFirstMemberSlot = 7;  // after IUnknown's three and IDispatch's four

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

INVOKEKIND InvokeKindOf(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method:
            return INVOKE_FUNC;
        case MemberKind::PropertyGet:
            return INVOKE_PROPERTYGET;
        case MemberKind::PropertyPut:
            return INVOKE_PROPERTYPUT;
    }
    return INVOKE_FUNC;
}

// Allocates the BSTR for a table text; a null text is the null BSTR.
HRESULT TextToBstr(const char* text, BSTR* out) {
    if (text == nullptr) {
        *out = nullptr;
        return S_OK;
    }
    *out = BstrFromAnsi(text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

const Member* FirstWithDispid(DISPID memid) {
    for (const Member& m : control::Members())
        if (m.dispid == memid) return &m;
    return nullptr;
}

class TypeInfo final : public SingleInterfaceObject<ITypeInfo, IID_ITypeInfo> {
  public:
    TypeInfo() { ModuleObjectCreated(); }

    HRESULT GetTypeAttr(TYPEATTR* attr) override {
        if (attr == nullptr) return E_POINTER;
        *attr = TYPEATTR{};
        attr->guid = kIidIQuorlinaLite;
        attr->lcid = kLibraryLocale;
        attr->typekind = TKIND_DISPATCH;
        attr->cFuncs = static_cast<UINT>(control::Members().size());
        attr->wTypeFlags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
        return S_OK;
    }

    HRESULT GetFuncDesc(UINT index, FUNCDESC* desc) override {
        if (desc == nullptr) return E_POINTER;
        const auto members = control::Members();
        if (index >= members.size()) return TYPE_E_ELEMENTNOTFOUND;
        const Member& m = members[index];
        *desc = FUNCDESC{};
        desc->memid = m.dispid;
        desc->invkind = InvokeKindOf(m.kind);
        desc->cParams = static_cast<short>(m.param_count);
        for (int i = 0; i < m.param_count && i < kMaxFuncParams; ++i)
            desc->paramTypes[i] = VartypeOf(m.params[i]);
        desc->resultType = VartypeOf(m.result);
        desc->oVft = static_cast<short>(kFirstMemberSlot + m.slot - 1);
        return S_OK;
    }

    HRESULT GetFuncNames(UINT index, BSTR* names, UINT max, UINT* count) override {
        if (count == nullptr || (names == nullptr && max > 0)) return E_POINTER;
        *count = 0;
        const auto members = control::Members();
        if (index >= members.size()) return TYPE_E_ELEMENTNOTFOUND;
        const Member& m = members[index];
        const char* texts[1 + control::kMaxMemberParams + 1] = {m.name};
        UINT n = 1;
        for (int i = 0; i < m.param_count; ++i) texts[n++] = m.param_names[i];
        if (m.result != ValueType::None) texts[n++] = m.result_name;
        for (UINT i = 0; i < n && i < max; ++i) {
            const HRESULT hr = TextToBstr(texts[i], &names[i]);
            if (hr != S_OK) {
                for (UINT j = 0; j < i; ++j) SysFreeString(names[j]);
                return hr;
            }
            *count = i + 1;
        }
        return S_OK;
    }

    HRESULT GetDocumentation(DISPID memid, BSTR* name, BSTR* help) override {
        const char* name_text = kInterfaceName;
        const char* help_text = kInterfaceHelp;
        if (memid != MEMBERID_NIL) {
            const Member* m = FirstWithDispid(memid);
            if (m == nullptr) return TYPE_E_ELEMENTNOTFOUND;
            name_text = m->name;
            help_text = m->help;
        }
        BSTR n = nullptr, h = nullptr;
        if ((name != nullptr && TextToBstr(name_text, &n) != S_OK) ||
            (help != nullptr && TextToBstr(help_text, &h) != S_OK)) {
            SysFreeString(n);
            return E_OUTOFMEMORY;
        }
        if (name != nullptr) *name = n;
        if (help != nullptr) *help = h;
        return S_OK;
    }

    HRESULT GetIDsOfNames(OLECHAR** names, UINT count, DISPID* ids) override {
        return LookUpNames(names, count, ids);
    }

  private:
    ~TypeInfo() { ModuleObjectDestroyed(); }
};

}  // namespace

HRESULT LookUpNames(OLECHAR** names, UINT count, DISPID* ids) {
    if (count == 0) return S_OK;
    if (names == nullptr || ids == nullptr) return E_POINTER;
    HRESULT result = S_OK;
    const std::string member = names[0] == nullptr ? std::string() : AnsiFromWide(names[0]);
    const Member* first = nullptr;
    for (const Member& m : control::Members()) {
        if (SameName(member, m.name)) {
            first = &m;
            break;
        }
    }
    ids[0] = first != nullptr ? first->dispid : DISPID_UNKNOWN;
    if (first == nullptr) result = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        const std::string param = names[i] == nullptr ? std::string() : AnsiFromWide(names[i]);
        for (const Member& m : control::Members()) {
            if (first == nullptr || !SameName(member, m.name)) continue;
            for (int p = 0; p < m.param_count; ++p)
                if (m.param_names[p] != nullptr && SameName(param, m.param_names[p])) ids[i] = p;
        }
        if (ids[i] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
    }
    return result;
}

ITypeInfo* CreateTypeInfo() {
    return new TypeInfo();
}

}  // namespace host
