// The container's side in tests: the control created through the module's class factory, and
// IDispatch calls by dispatch number with arguments in parameter order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"

namespace test_support {

// A new control through DllGetClassObject and CreateInstance, as IDispatch; null on failure.
platform::IDispatch* CreateControl();

// Interface pointer released at scope end.
template <typename T>
struct Released {
    T* p = nullptr;
    Released() = default;
    explicit Released(T* pointer) : p(pointer) {}
    ~Released() {
        if (p != nullptr) p->Release();
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    T* operator->() const { return p; }
    T& operator*() const { return *p; }
};

platform::VARIANT Long(std::int32_t value);
platform::VARIANT Bool(platform::VARIANT_BOOL value);
// Owns its BSTR (null text: the null BSTR).
struct Text {
    platform::VARIANT v;
    explicit Text(const char* text);
    ~Text();
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
};

platform::DISPID DispidOf(platform::IDispatch& control, const std::string& name);
platform::HRESULT Get(platform::IDispatch& control, platform::DISPID id, platform::VARIANT* out);
platform::HRESULT Put(platform::IDispatch& control, platform::DISPID id, platform::VARIANT value);
platform::HRESULT Call(platform::IDispatch& control, platform::DISPID id,
                       std::vector<platform::VARIANT> args, platform::VARIANT* out,
                       platform::UINT* arg_error = nullptr);

// Shorthands by member name: the value read, or the status of the put.
std::int32_t GetLong(platform::IDispatch& control, const std::string& name);
std::string GetText(platform::IDispatch& control, const std::string& name);
platform::HRESULT PutLong(platform::IDispatch& control, const std::string& name,
                          std::int32_t value);

}  // namespace test_support
