// A forwarding IDispatch that refuses what the web may not do and filters what it may not see,
// then the script host over it.
#include "web/console.h"

#include <cctype>
#include <optional>
#include <sstream>

#include "apps/script.h"

namespace web {

using namespace platform;
using nlohmann::json;

namespace {

constexpr DISPID kPlayId = 1;
constexpr DISPID kStopId = 2;
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005u);

// Lives on the stack for one line: reference counts are not used.
class GuardedDispatch final : public IDispatch {
  public:
    GuardedDispatch(IDispatch& inner, const CameraConfig& camera, const ConsoleHooks& hooks)
        : inner_(inner), camera_(camera), hooks_(hooks) {}

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT GetTypeInfoCount(UINT* count) override { return inner_.GetTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
        return inner_.GetTypeInfo(index, lcid, info);
    }
    HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, UINT count, LCID lcid,
                          DISPID* ids) override {
        return inner_.GetIDsOfNames(iid, names, count, lcid, ids);
    }
    HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* arg_error) override {
        const std::string name = NameOf(member);
        if (flags == DISPATCH_METHOD && member == kPlayId && hooks_.play) {
            hooks_.play();
            return S_OK;
        }
        if (flags == DISPATCH_METHOD && member == kStopId && hooks_.stop) {
            hooks_.stop();
            return S_OK;
        }
        if (flags == DISPATCH_PROPERTYPUT && params != nullptr && params->cArgs == 1) {
            const json value = VariantToJson(params->rgvarg[0]);
            std::string current;
            if (name == "RemotePort" || name == "RemoteWeb") current = CurrentHost();
            if (std::optional<Outcome> refused = WebRefusal(camera_, name, value, current)) {
                refusal_ = refused->body["error"].get<std::string>();
                return kAccessDenied;
            }
        }
        const HRESULT hr =
            inner_.Invoke(member, iid, lcid, flags, params, result, exception, arg_error);
        if (flags == DISPATCH_PROPERTYGET && result != nullptr && Succeeded(hr) &&
            result->vt == VT_BSTR && (name == "DeviceSerialNo" || name == "RemoteHost")) {
            const json shown = WebShown(name, VariantToJson(*result));
            VariantClear(result);
            result->vt = VT_BSTR;
            result->bstrVal = BstrFromAnsi(shown.get<std::string>());
        }
        return hr;
    }

    const std::string& refusal() const { return refusal_; }

  private:
    std::string NameOf(DISPID member) {
        ITypeInfo* info = nullptr;
        std::string name;
        if (Succeeded(inner_.GetTypeInfo(0, kLocaleEnglishUs, &info)) && info != nullptr) {
            BSTR text = nullptr;
            if (Succeeded(info->GetDocumentation(member, &text, nullptr)) && text != nullptr)
                name = AnsiFromBstr(text);
            SysFreeString(text);
            info->Release();
        }
        return name;
    }
    std::string CurrentHost() {
        std::u16string wide = u"RemoteHost";
        OLECHAR* names[] = {wide.data()};
        DISPID id = DISPID_UNKNOWN;
        if (!Succeeded(inner_.GetIDsOfNames(IID_NULL, names, 1, kLocaleEnglishUs, &id))) return {};
        DISPPARAMS none;
        VARIANT v;
        std::string host;
        if (Succeeded(inner_.Invoke(id, IID_NULL, kLocaleEnglishUs, DISPATCH_PROPERTYGET, &none, &v,
                                    nullptr, nullptr)) &&
            v.vt == VT_BSTR)
            host = AnsiFromBstr(v.bstrVal);
        VariantClear(&v);
        return host;
    }

    IDispatch& inner_;
    const CameraConfig& camera_;
    const ConsoleHooks& hooks_;
    std::string refusal_;
};

// The milliseconds of a "wait N" line, or -1 when the line is no wait.
long long WaitMs(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word != "wait") return -1;
    long long ms = -1;
    in >> ms;
    return ms;
}

}  // namespace

Outcome RunConsoleLine(IDispatch& control, const CameraConfig& camera, const std::string& line,
                       std::uint32_t max_wait_ms, const ConsoleHooks& hooks) {
    if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos)
        return Outcome::Error(400, "one line at a time");
    if (WaitMs(line) > static_cast<long long>(max_wait_ms))
        return Outcome::Error(
            400, "line 1: the console waits at most " + std::to_string(max_wait_ms) + " ms");
    GuardedDispatch guarded(control, camera, hooks);
    std::istringstream script(line);
    std::ostringstream out;
    std::string error;
    if (!apps::RunScript(script, guarded, out, &error)) {
        if (!guarded.refusal().empty()) return Outcome::Error(403, "line 1: " + guarded.refusal());
        return Outcome::Error(400, error);
    }
    return Outcome{200, {{"output", out.str()}}};
}

}  // namespace web
