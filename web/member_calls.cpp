// JSON and VARIANT conversions, the web's refusals, and the three Invoke shapes.
#include "web/member_calls.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace web {

using namespace platform;
using nlohmann::json;

namespace {

// Owns the contents of a few VARIANTs for the length of a call.
struct Arguments {
    VARIANT v[kMaxFuncParams];
    ~Arguments() {
        for (VARIANT& x : v) VariantClear(&x);
    }
};

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Shown(const json& value) {
    std::string s = value.dump();
    if (s.size() > 40) s = s.substr(0, 37) + "...";
    return s;
}

}  // namespace

std::string ToText(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool JsonToVariant(const json& value, VARTYPE type, VARIANT* out, std::string* error) {
    switch (type) {
        case VT_I4:
            if (value.is_number_integer()) {
                const long long n = value.get<long long>();
                if (n >= INT32_MIN && n <= INT32_MAX) {
                    out->vt = VT_I4;
                    out->lVal = static_cast<std::int32_t>(n);
                    return true;
                }
            } else if (value.is_number_unsigned()) {
                // fall through to the message: too large for 32 bits
            }
            *error =
                "expected long (an integer from -2147483648 to 2147483647), got " + Shown(value);
            return false;
        case VT_BOOL:
            if (value.is_boolean()) {
                out->vt = VT_BOOL;
                out->boolVal = value.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
                return true;
            }
            if (value.is_number_integer()) {
                out->vt = VT_BOOL;
                out->boolVal = value.get<long long>() != 0 ? VARIANT_TRUE : VARIANT_FALSE;
                return true;
            }
            *error = "expected bool (true or false), got " + Shown(value);
            return false;
        case VT_BSTR: {
            if (!value.is_string()) {
                *error = "expected BSTR (a string), got " + Shown(value);
                return false;
            }
            const std::string& s = value.get_ref<const std::string&>();
            if (s.size() > kMaxTextArgumentBytes) {
                *error = "expected BSTR of at most " + std::to_string(kMaxTextArgumentBytes) +
                         " characters, got " + std::to_string(s.size());
                return false;
            }
            // Control characters would reach the camera's command bodies unchanged.
            for (unsigned char c : s) {
                if (c < 0x20 || c == 0x7F) {
                    *error = "expected BSTR without control characters";
                    return false;
                }
            }
            // The control keeps 8-bit text: UTF-8 from JSON is read as code points and those
            // above U+00FF become '?', as the platform's conversion does.
            std::u16string wide;
            for (std::size_t i = 0; i < s.size();) {
                const unsigned char c = static_cast<unsigned char>(s[i]);
                std::uint32_t cp = c;
                int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
                if (extra > 0) cp = c & (0x3F >> extra);
                ++i;
                for (int k = 0; k < extra && i < s.size(); ++k, ++i)
                    cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
                wide.push_back(cp <= 0xFF ? static_cast<char16_t>(cp) : u'?');
            }
            out->vt = VT_BSTR;
            out->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
            if (out->bstrVal == nullptr) {
                out->vt = VT_EMPTY;
                *error = "out of memory";
                return false;
            }
            return true;
        }
        default:
            *error = std::string("a parameter of type ") + TypeName(type) + " cannot be given";
            return false;
    }
}

json VariantToJson(const VARIANT& value) {
    switch (value.vt) {
        case VT_I4:
            return value.lVal;
        case VT_I2:
            return value.iVal;
        case VT_R8:
            return value.dblVal;
        case VT_BOOL:
            return value.boolVal != VARIANT_FALSE;
        case VT_BSTR: {
            // 8-bit text (ISO-8859-1) to UTF-8.
            const std::string ansi = AnsiFromBstr(value.bstrVal);
            std::string utf8;
            for (unsigned char c : ansi) {
                if (c < 0x80) {
                    utf8 += static_cast<char>(c);
                } else {
                    utf8 += static_cast<char>(0xC0 | (c >> 6));
                    utf8 += static_cast<char>(0x80 | (c & 0x3F));
                }
            }
            return utf8;
        }
        default:
            return nullptr;
    }
}

void SplitTarget(const std::string& target, std::string* host, int* port) {
    std::string t = TargetWithoutCredentials(target);
    const std::size_t scheme = t.find("://");
    if (scheme != std::string::npos) t = t.substr(scheme + 3);
    t = t.substr(0, t.find('/'));
    *port = -1;
    const std::size_t colon = t.rfind(':');
    if (colon != std::string::npos && t.find(']') == std::string::npos) {
        const std::string p = t.substr(colon + 1);
        if (!p.empty() && p.size() <= 5 && p.find_first_not_of("0123456789") == std::string::npos)
            *port = std::stoi(p);
        t = t.substr(0, colon);
    }
    *host = Lower(t);
}

std::optional<Outcome> WebRefusal(const CameraConfig& camera, const std::string& name,
                                  const json& value, const std::string& current_remote_host) {
    if (name == "DeviceSerialNo")
        return Outcome::Error(403,
                              "DeviceSerialNo cannot be put from the web: it holds the "
                              "camera's credentials");
    if (name != "RemoteHost" && name != "RemotePort" && name != "RemoteWeb") return std::nullopt;
    std::vector<std::string> allowed = camera.allow;
    allowed.push_back(camera.target);
    if (name == "RemoteHost") {
        if (value.is_string()) {
            const std::string wanted = Lower(value.get<std::string>());
            for (const std::string& a : allowed)
                if (Lower(a) == wanted) return std::nullopt;
        }
        return Outcome::Error(403, "RemoteHost " + Shown(value) +
                                       " is not a target this camera's configuration allows");
    }
    // A port is allowed when an allowed target names the current host with that port.
    if (value.is_number_integer()) {
        std::string host;
        int ignored = 0;
        SplitTarget(current_remote_host, &host, &ignored);
        for (const std::string& a : allowed) {
            std::string h;
            int p = 0;
            SplitTarget(a, &h, &p);
            if (h == host && p == value.get<long long>()) return std::nullopt;
        }
    }
    return Outcome::Error(
        403, name + " " + Shown(value) + " is not a port this camera's configuration allows");
}

json WebShown(const std::string& member, json value) {
    if (member == "DeviceSerialNo") return "";
    if (member == "RemoteHost" && value.is_string())
        return TargetWithoutCredentials(value.get<std::string>());
    return value;
}

std::string MemberCalls::CurrentRemoteHost() {
    const MemberInfo* get = types_.Find("RemoteHost", INVOKE_PROPERTYGET);
    if (get == nullptr) return {};
    VARIANT current;
    DISPPARAMS none;
    std::string host;
    if (Succeeded(control_.Invoke(get->dispid, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYGET,
                                  &none, &current, nullptr, nullptr)) &&
        current.vt == VT_BSTR)
        host = AnsiFromBstr(current.bstrVal);
    VariantClear(&current);
    return host;
}

Outcome MemberCalls::Invoke(const MemberInfo& m, WORD flags, VARIANT* args, int count,
                            const char* result_key) {
    // Invoke takes the arguments last first.
    VARIANT reversed[kMaxFuncParams];
    for (int i = 0; i < count; ++i) reversed[i] = args[count - 1 - i];
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = count > 0 ? reversed : nullptr;
    params.cArgs = static_cast<UINT>(count);
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    VARIANT result;
    UINT arg_error = 0;
    const HRESULT hr =
        control_.Invoke(m.dispid, IID_NULL, kLocaleEnglishUs, flags, &params,
                        flags == DISPATCH_PROPERTYPUT ? nullptr : &result, nullptr, &arg_error);
    if (hr < 0) {
        VariantClear(&result);
        return Outcome::Error(hr == E_NOTIMPL ? 501 : 500,
                              m.name + " failed: the control answered " + HresultName(hr));
    }
    json out = VariantToJson(result);
    VariantClear(&result);
    if (camera_ != nullptr && flags == DISPATCH_PROPERTYGET) out = WebShown(m.name, std::move(out));
    return Outcome{200, {{result_key, out}}};
}

Outcome MemberCalls::Get(const std::string& name) {
    const MemberInfo* m = types_.Find(name, INVOKE_PROPERTYGET);
    if (m == nullptr) {
        if (types_.CanonicalName(name).empty())
            return Outcome::Error(404, "unknown member \"" + name + "\"");
        return Outcome::Error(405, types_.CanonicalName(name) + " cannot be read");
    }
    if (camera_ != nullptr && m->name == "DeviceSerialNo") return Outcome{200, {{"value", ""}}};
    return Invoke(*m, DISPATCH_PROPERTYGET, nullptr, 0, "value");
}

Outcome MemberCalls::Put(const std::string& name, const json& value) {
    const MemberInfo* m = types_.Find(name, INVOKE_PROPERTYPUT);
    if (m == nullptr) {
        const std::string canonical = types_.CanonicalName(name);
        if (canonical.empty()) return Outcome::Error(404, "unknown member \"" + name + "\"");
        if (types_.Find(name, INVOKE_PROPERTYGET) != nullptr)
            return Outcome::Error(405, canonical + " is a read-only property");
        return Outcome::Error(404, canonical + " is a method, not a property");
    }
    if (m->params.size() != 1) return Outcome::Error(500, m->name + " has no single value");
    if (camera_ != nullptr) {
        const bool target = m->name == "RemotePort" || m->name == "RemoteWeb";
        if (auto refused =
                WebRefusal(*camera_, m->name, value, target ? CurrentRemoteHost() : std::string()))
            return *refused;
    }
    Arguments args;
    std::string error;
    if (!JsonToVariant(value, m->params[0].type, &args.v[0], &error))
        return Outcome::Error(400, m->name + ": " + error);
    Outcome put = Invoke(*m, DISPATCH_PROPERTYPUT, args.v, 1, "value");
    if (!put.ok()) return put;
    // The value as the control holds it now; write-only members read as null.
    if (types_.Find(m->name, INVOKE_PROPERTYGET) == nullptr)
        return Outcome{200, {{"value", nullptr}}};
    return Get(m->name);
}

Outcome MemberCalls::Call(const std::string& name, const json& args_json) {
    const MemberInfo* m = types_.Find(name, INVOKE_FUNC);
    if (m == nullptr) {
        const std::string canonical = types_.CanonicalName(name);
        if (canonical.empty()) return Outcome::Error(404, "unknown member \"" + name + "\"");
        return Outcome::Error(404, canonical + " is a property, not a method");
    }
    if (!args_json.is_array())
        return Outcome::Error(400, m->name + ": the arguments must be a JSON array");
    if (args_json.size() != m->params.size())
        return Outcome::Error(400, m->name + " takes " + std::to_string(m->params.size()) +
                                       " argument(s), " + std::to_string(args_json.size()) +
                                       " given");
    Arguments args;
    for (std::size_t i = 0; i < m->params.size(); ++i) {
        std::string error;
        if (!JsonToVariant(args_json[i], m->params[i].type, &args.v[i], &error)) {
            const std::string which =
                m->params[i].name.empty() ? "" : " (" + m->params[i].name + ")";
            return Outcome::Error(
                400, m->name + " argument " + std::to_string(i + 1) + which + ": " + error);
        }
    }
    return Invoke(*m, DISPATCH_METHOD, args.v, static_cast<int>(m->params.size()), "result");
}

json MemberCalls::ReadAll(const json& frame_rate) {
    json all = json::object();
    for (const std::string& name : types_.ReadableProperties()) {
        if (name == "FrameRate") {
            all[name] = frame_rate;
            continue;
        }
        Outcome o = Get(name);
        all[name] = o.ok() ? o.body["value"] : json(nullptr);
    }
    return all;
}

}  // namespace web
