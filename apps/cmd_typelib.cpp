// `quorlina typelib`: prints the control's type library as a container reads it: the library,
// the class and its identifiers, and every member of IQuorlinaLite from its type information
// (virtual-table position, dispatch number, kind, parameter types and names, help string).
#include <cstdio>
#include <string>

#include "apps/cli.h"
#include "host/identity.h"
#include "host/type_info.h"

namespace apps {
namespace {

using namespace platform;

constexpr short kFirstMemberSlot = 7;  // after IUnknown's three and IDispatch's four

const char* TypeName(VARTYPE vt) {
    switch (vt) {
        case VT_I4:
            return "long";
        case VT_R8:
            return "double";
        case VT_BOOL:
            return "VARIANT_BOOL";
        case VT_BSTR:
            return "BSTR";
        default:
            return "void";
    }
}

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

std::string TakeText(BSTR text) {
    std::string s = AnsiFromBstr(text);
    SysFreeString(text);
    return s;
}

// "Zoom([in] long lMode, [out, retval] long* pVal)"
std::string Signature(ITypeInfo& info, UINT index, const FUNCDESC& desc) {
    BSTR names[1 + kMaxFuncParams + 1] = {};
    UINT count = 0;
    info.GetFuncNames(index, names, 1 + kMaxFuncParams + 1, &count);
    std::string s = count > 0 ? AnsiFromBstr(names[0]) : "?";
    s += "(";
    UINT next = 1;
    for (int p = 0; p < desc.cParams; ++p, ++next) {
        if (p > 0) s += ", ";
        s += std::string("[in] ") + TypeName(desc.paramTypes[p]);
        if (next < count && names[next] != nullptr) s += " " + AnsiFromBstr(names[next]);
    }
    if (desc.resultType != VT_VOID) {
        if (desc.cParams > 0) s += ", ";
        s += std::string("[out, retval] ") + TypeName(desc.resultType) + "*";
        if (next < count && names[next] != nullptr) s += " " + AnsiFromBstr(names[next]);
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    return s + ")";
}

int TypeLib(int argc, char** argv) {
    CLI::App app{"Prints the control's type library: identity, interface and every member.",
                 argv[0]};
    ParseOrExit(app, argc, argv);

    ITypeInfo* info = host::CreateTypeInfo();
    TYPEATTR attr;
    info->GetTypeAttr(&attr);
    BSTR name = nullptr, help = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, &help);
    const std::string interface_name = TakeText(name), interface_help = TakeText(help);

    std::printf("library %s %s version %u.%u locale %u \"%s\"\n", host::kLibraryName,
                FormatGuid(host::kLibidQuorlin).c_str(), host::kLibraryMajorVersion,
                host::kLibraryMinorVersion, host::kLibraryLocale, host::kLibraryHelp);
    std::printf("  imports the standard OLE library (IDispatch)\n");
    std::printf("coclass %s %s \"%s\" creatable, default interface %s\n", host::kClassName,
                FormatGuid(host::kClsidQuorlina).c_str(), host::kClassHelp, interface_name.c_str());
    std::printf("  implemented by %s; ProgIDs \"%s\", \"%s\"; threading %s\n",
                host::kImplementationClass, host::kProgId, host::kVersionIndependentProgId,
                host::kThreadingModel);
    std::printf("interface %s %s \"%s\"%s%s, %u members after the IDispatch slots\n",
                interface_name.c_str(), FormatGuid(attr.guid).c_str(), interface_help.c_str(),
                (attr.wTypeFlags & TYPEFLAG_FDUAL) ? " dual" : "",
                (attr.wTypeFlags & TYPEFLAG_FOLEAUTOMATION) ? ", oleautomation" : "", attr.cFuncs);
    std::printf("%4s %7s  %-8s %s\n", "#", "dispid", "kind", "member");
    for (UINT i = 0; i < attr.cFuncs; ++i) {
        FUNCDESC desc;
        if (!Succeeded(info->GetFuncDesc(i, &desc))) continue;
        BSTR doc = nullptr;
        info->GetDocumentation(desc.memid, nullptr, &doc);
        const std::string member_help = TakeText(doc);
        std::string line = Signature(*info, i, desc);
        if (!member_help.empty()) line += "  \"" + member_help + "\"";
        std::printf("%4d %7d  %-8s %s\n", desc.oVft - kFirstMemberSlot + 1, desc.memid,
                    KindName(desc.invkind), line.c_str());
    }
    info->Release();
    return 0;
}

const SubcommandRegistrar kRegistrar{{"typelib", "print the control's type library", &TypeLib}};

}  // namespace
}  // namespace apps
