// IDispatch::Invoke over the member table: picks the row by dispatch number and call kind, checks
// the argument count and the named arguments, coerces each argument to its parameter's type as
// automation does, calls the row through the object, and hands the result back as a VARIANT.
// What a row does is the object's business (see MemberCaller); this file only translates.
#pragma once

#include "control/members.h"
#include "platform/com.h"

namespace host {

class MemberCaller {
  public:
    // args hold the row's in-parameters in order; result starts as ValueType::None (with the
    // caller's long result as its long_value) and stays None when the member writes no result.
    virtual platform::HRESULT CallMember(const control::Member& member, const control::Value* args,
                                         control::Value* result) = 0;

  protected:
    ~MemberCaller() = default;
};

// The Invoke steps after the interface identifier check. Failures:
//   DISP_E_MEMBERNOTFOUND     no row has the number, or none of the asked kinds;
//   DISP_E_PARAMNOTOPTIONAL   too few arguments, or a put whose value is not the one argument
//                             named DISPID_PROPERTYPUT;
//   DISP_E_BADPARAMCOUNT      too many arguments;
//   DISP_E_NONAMEDARGS        named arguments on a get or a method;
//   DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW   an argument that does not coerce; *arg_error (when
//                             given) is its index in rgvarg;
// and otherwise whatever the member returns. result (may be null) is written only when the
// member produced a value; it must not hold anything that needs freeing.
platform::HRESULT InvokeMember(MemberCaller& caller, platform::DISPID member, platform::WORD flags,
                               platform::DISPPARAMS* params, platform::VARIANT* result,
                               platform::UINT* arg_error);

}  // namespace host
