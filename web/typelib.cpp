// Type information to MemberInfo rows and to the JSON the page and /quorlina.js read.
#include "web/typelib.h"

#include <cctype>

#include "host/identity.h"
#include "host/type_info.h"

namespace web {

using namespace platform;

const char* KindName(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_FUNC:
            return "method";
        case INVOKE_PROPERTYGET:
            return "propget";
        case INVOKE_PROPERTYPUT:
            return "propput";
    }
    return "?";
}

const char* TypeName(VARTYPE type) {
    switch (type) {
        case VT_I4:
            return "long";
        case VT_R8:
            return "double";
        case VT_BOOL:
            return "bool";
        case VT_BSTR:
            return "BSTR";
        default:
            return "void";
    }
}

namespace {

constexpr short kFirstMemberSlot = 7;  // after IUnknown's three and IDispatch's four

std::string Take(BSTR text) {
    std::string s = text != nullptr ? AnsiFromBstr(text) : std::string();
    SysFreeString(text);
    return s;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

TypeLib TypeLib::Read(ITypeInfo& info) {
    TypeLib lib;
    lib.library_ = host::kLibraryName;
    TYPEATTR attr;
    if (!Succeeded(info.GetTypeAttr(&attr))) return lib;
    BSTR name = nullptr;
    info.GetDocumentation(MEMBERID_NIL, &name, nullptr);
    lib.interface_ = Take(name);
    for (UINT i = 0; i < attr.cFuncs; ++i) {
        FUNCDESC desc;
        if (!Succeeded(info.GetFuncDesc(i, &desc))) continue;
        BSTR names[1 + kMaxFuncParams + 1] = {};
        UINT count = 0;
        info.GetFuncNames(i, names, 1 + kMaxFuncParams + 1, &count);
        MemberInfo m;
        m.index = desc.oVft - kFirstMemberSlot + 1;
        m.dispid = desc.memid;
        m.kind = desc.invkind;
        m.result = desc.resultType;
        UINT next = 0;
        m.name = next < count ? Take(names[next++]) : std::string();
        for (int p = 0; p < desc.cParams && p < kMaxFuncParams; ++p) {
            ParamInfo param;
            param.type = desc.paramTypes[p];
            if (next < count) param.name = Take(names[next++]);
            m.params.push_back(std::move(param));
        }
        if (m.result != VT_VOID && next < count) m.result_name = Take(names[next++]);
        for (; next < count; ++next) SysFreeString(names[next]);
        BSTR help = nullptr;
        info.GetDocumentation(desc.memid, nullptr, &help);
        m.help = Take(help);
        lib.members_.push_back(std::move(m));
    }
    nlohmann::json members = nlohmann::json::array();
    for (const MemberInfo& m : lib.members_) {
        nlohmann::json params = nlohmann::json::array();
        for (const ParamInfo& p : m.params)
            params.push_back(
                {{"name", p.name.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.name)},
                 {"type", TypeName(p.type)}});
        members.push_back({{"index", m.index},
                           {"name", m.name},
                           {"dispid", m.dispid},
                           {"kind", KindName(m.kind)},
                           {"params", params},
                           {"result", TypeName(m.result)},
                           {"help", m.help}});
    }
    lib.json_ = {{"library", lib.library_}, {"interface", lib.interface_}, {"members", members}};
    return lib;
}

TypeLib TypeLib::ReadControl() {
    ITypeInfo* info = host::CreateTypeInfo();
    TypeLib lib = Read(*info);
    info->Release();
    return lib;
}

const MemberInfo* TypeLib::Find(const std::string& name, INVOKEKIND kind) const {
    for (const MemberInfo& m : members_)
        if (m.kind == kind && SameName(m.name, name)) return &m;
    return nullptr;
}

std::string TypeLib::CanonicalName(const std::string& name) const {
    for (const MemberInfo& m : members_)
        if (SameName(m.name, name)) return m.name;
    return {};
}

std::vector<std::string> TypeLib::ReadableProperties() const {
    std::vector<std::string> names;
    for (const MemberInfo& m : members_)
        if (m.kind == INVOKE_PROPERTYGET) names.push_back(m.name);
    return names;
}

}  // namespace web
