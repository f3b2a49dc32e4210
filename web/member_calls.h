// Calls of a control's scripting members by name with JSON values, through its IDispatch only:
// JSON to VARIANT by the member's parameter types (each mismatch named: which argument, what type
// was expected), Invoke, the result back to JSON. It also applies what the web may not do: the
// credential token reads as empty and cannot be put, and the target properties can be put only
// to targets the camera's configuration allows. Runs on the thread that owns the control.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/com.h"
#include "web/config.h"
#include "web/typelib.h"

namespace web {

// An HTTP-like status and its JSON body ({"value": ...}, {"result": ...} or {"error": "..."}).
struct Outcome {
    int status = 200;
    nlohmann::json body;

    static Outcome Error(int status, std::string message) {
        return Outcome{status, {{"error", std::move(message)}}};
    }
    bool ok() const { return status == 200; }
};

// JSON text of a value; bytes that are not UTF-8 (8-bit text from a camera) become U+FFFD
// instead of failing.
std::string ToText(const nlohmann::json& value);

// JSON to a VARIANT of the given type: long (an integer in 32 bits), bool (true/false, or an
// integer), BSTR (a string without control characters, at most kMaxTextArgumentBytes). False
// with what was expected in *error; the VARIANT then holds nothing to free.
inline constexpr std::size_t kMaxTextArgumentBytes = 259;
bool JsonToVariant(const nlohmann::json& value, platform::VARTYPE type, platform::VARIANT* out,
                   std::string* error);
// VT_I4 and VT_R8 as numbers, VT_BOOL as true/false, VT_BSTR as a string; anything else null.
nlohmann::json VariantToJson(const platform::VARIANT& value);

// Host and port of a target ("http://user:pw@host:port/path", "host:port", "host"); port -1 when
// it names none. Host in lower case.
void SplitTarget(const std::string& target, std::string* host, int* port);

// Why the web may not put `member` to `value` on this camera (403), or nothing when it may:
// DeviceSerialNo never; RemoteHost only to the configured target or one under `allow`;
// RemotePort and RemoteWeb only to a port that such a target names for the current host
// (current_remote_host: what RemoteHost reads now).
std::optional<Outcome> WebRefusal(const CameraConfig& camera, const std::string& member,
                                  const nlohmann::json& value,
                                  const std::string& current_remote_host);

// What the web is shown of a property's value: the credential token never, a target without
// its credentials.
nlohmann::json WebShown(const std::string& member, nlohmann::json value);

class MemberCalls {
  public:
    // camera: the configuration whose rules apply; null applies none (a host of its own).
    MemberCalls(platform::IDispatch& control, const TypeLib& types, const CameraConfig* camera)
        : control_(control), types_(types), camera_(camera) {}

    Outcome Get(const std::string& name);                               // {"value": v}
    Outcome Put(const std::string& name, const nlohmann::json& value);  // {"value": read back}
    Outcome Call(const std::string& name, const nlohmann::json& args);  // {"result": r}
    // Every readable property and its value, as an object. FrameRate counts the frames since its
    // previous reading, so a listing does not read it: frame_rate stands in for it.
    nlohmann::json ReadAll(const nlohmann::json& frame_rate);

  private:
    std::string CurrentRemoteHost();
    Outcome Invoke(const MemberInfo& m, platform::WORD flags, platform::VARIANT* args, int count,
                   const char* result_key);

    platform::IDispatch& control_;
    const TypeLib& types_;
    const CameraConfig* camera_;
};

}  // namespace web
