// The control's member table as the web sees it: read once from the component's type
// information (names, dispatch numbers, kinds, parameter and result types, help strings) and
// served as JSON, so the page and the client library are built from it and never from a list
// of their own. Looks names up case-insensitively; calling members is member_calls.h's.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/com.h"

namespace web {

struct ParamInfo {
    std::string name;  // empty when the type information gives none
    platform::VARTYPE type = platform::VT_EMPTY;
};

struct MemberInfo {
    int index = 0;  // 1-based position in the interface after the IDispatch slots
    std::string name;
    platform::DISPID dispid = 0;
    platform::INVOKEKIND kind = platform::INVOKE_FUNC;
    std::vector<ParamInfo> params;
    platform::VARTYPE result = platform::VT_VOID;
    std::string result_name;
    std::string help;
};

// "method", "propget" or "propput".
const char* KindName(platform::INVOKEKIND kind);
// "long", "double", "bool", "BSTR" or "void".
const char* TypeName(platform::VARTYPE type);

class TypeLib {
  public:
    // Reads every function of the type information.
    static TypeLib Read(platform::ITypeInfo& info);
    // The control's own type information (the same the component hands a container).
    static TypeLib ReadControl();

    const std::vector<MemberInfo>& Members() const { return members_; }
    // The member of that name (any case) and kind; null when there is none.
    const MemberInfo* Find(const std::string& name, platform::INVOKEKIND kind) const;
    // The member's name as the type information spells it; empty for an unknown name.
    std::string CanonicalName(const std::string& name) const;
    // Names of the properties that can be read, in table order.
    std::vector<std::string> ReadableProperties() const;

    // {"library", "interface", "members": [{index, name, dispid, kind, params: [{name, type}],
    // result, help}]}
    const nlohmann::json& Json() const { return json_; }

  private:
    std::string library_;
    std::string interface_;
    std::vector<MemberInfo> members_;
    nlohmann::json json_;
};

}  // namespace web
