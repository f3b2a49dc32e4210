// A container's calls of a control's scripting members by name, through its IDispatch only: each
// name resolved once with GetIDsOfNames, then Invoke as a property get, a property put (the one
// argument named DISPID_PROPERTYPUT) or a method call. Types are the members' own (long, double,
// BSTR); it does not know what any member does.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/com.h"

namespace container {

class DispatchCalls {
  public:
    explicit DispatchCalls(platform::IDispatch& control) : control_(control) {}

    // The status of the put or call; DISP_E_UNKNOWNNAME for a name the control does not know.
    platform::HRESULT PutLong(const std::string& name, std::int32_t value);
    platform::HRESULT PutText(const std::string& name, const std::string& text);
    platform::HRESULT Call(const std::string& name);
    // A method with one long argument and a long result (Zoom, ResizeMode, DisplayMode).
    platform::HRESULT CallLong(const std::string& name, std::int32_t argument,
                               std::int32_t* result);

    // The value read, or `fallback` when the get fails or gives another type.
    std::int32_t GetLong(const std::string& name, std::int32_t fallback = 0);
    double GetDouble(const std::string& name, double fallback = 0);
    std::string GetText(const std::string& name);

    platform::IDispatch& Control() const { return control_; }

  private:
    platform::DISPID IdOf(const std::string& name);
    // Sets the property `id` to `value` (a property put with its one named argument).
    platform::HRESULT Put(platform::DISPID id, platform::VARIANT* value);
    platform::HRESULT Get(const std::string& name, platform::VARIANT* out);

    platform::IDispatch& control_;
    std::map<std::string, platform::DISPID> ids_;
};

}  // namespace container
