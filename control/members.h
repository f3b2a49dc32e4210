// The one table of the control's scripting members: name, dispatch number, kind, parameter and
// result types, help string and accessor. The script host, the dispatch interface and the
// type-library printout all read it, so a member is added or changed here only.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "control/quorlina.h"

namespace control {

enum class MemberKind { Method, PropertyGet, PropertyPut };
enum class ValueType { None, Long, Double, Bool, Text };
const char* to_string(MemberKind kind);
const char* to_string(ValueType type);

// An argument or result: one of the automation types the members use. A Text may be null (a
// null string), which some setters treat apart from the empty text.
struct Value {
    ValueType type = ValueType::None;
    std::int32_t long_value = 0;
    double double_value = 0.0;
    std::int16_t bool_value = 0;  // -1 true, 0 false
    std::string text;
    bool null_text = false;

    static Value Long(std::int32_t v) { Value r; r.type = ValueType::Long; r.long_value = v; return r; }
    static Value Double(double v) { Value r; r.type = ValueType::Double; r.double_value = v; return r; }
    static Value Bool(std::int16_t v) { Value r; r.type = ValueType::Bool; r.bool_value = v; return r; }
    static Value Text(std::string v) { Value r; r.type = ValueType::Text; r.text = std::move(v); return r; }
    static Value NullText() { Value r; r.type = ValueType::Text; r.null_text = true; return r; }
};

inline constexpr int kMaxMemberParams = 2;

// args holds the in-parameters (already of the member's types); result receives the out value
// of getters and of methods that have one. A member whose work is not available in this build
// has no accessor.
using MemberAccessor = HRESULT (*)(CQuorlina& control, const Value* args, Value* result);

struct Member {
    int slot;                 // 1-based position in the interface's virtual table order
    std::int32_t dispid;
    const char* name;
    MemberKind kind;
    int param_count;          // in-parameters
    std::array<ValueType, kMaxMemberParams> params;
    std::array<const char*, kMaxMemberParams> param_names;
    ValueType result;         // None when the member has no out value
    const char* result_name;  // "pVal", "pbool", "phwnd", or nullptr
    const char* help;         // nullptr when the member has none
    MemberAccessor accessor;
};

std::span<const Member> Members();

// Finds a member by name (case-insensitive, as automation resolves names) and kind.
const Member* FindMember(const std::string& name, MemberKind kind);
bool HasMemberName(const std::string& name);

}  // namespace control
