// Type information of IQuorlinaLite as a container reads it: one function per row of the control's
// member table (dispatch number, kind, parameter and result types, names, help strings), and the
// name lookup that IDispatch::GetIDsOfNames shares. Reads the table; describes no other type.
#pragma once

#include "control/members.h"
#include "platform/com.h"

namespace host {

platform::VARTYPE VartypeOf(control::ValueType type);

// names[0] is a member name; names[1..] are parameter names of that member. Each resolves
// case-insensitively to its dispatch number (a parameter to its zero-based position). An unknown
// name gets DISPID_UNKNOWN and makes the result DISP_E_UNKNOWNNAME; the others are still filled.
platform::HRESULT LookUpNames(platform::OLECHAR** names, platform::UINT count,
                              platform::DISPID* ids);

// A new type-information object with one reference.
platform::ITypeInfo* CreateTypeInfo();

}  // namespace host
