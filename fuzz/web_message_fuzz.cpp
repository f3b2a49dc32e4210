// Fuzzes what a page's WebSocket text goes through before a camera sees it: the message parser,
// the reply built for its id, the JSON-to-VARIANT conversion of its value and arguments for every
// parameter type, and the web's rules on the targets and ports it may put.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/com.h"
#include "web/member_calls.h"
#include "web/messages.h"

namespace {

void Convert(const nlohmann::json& value) {
    for (platform::VARTYPE type : {platform::VT_I4, platform::VT_BOOL, platform::VT_BSTR}) {
        platform::VARIANT v;
        std::string error;
        if (web::JsonToVariant(value, type, &v, &error)) {
            (void)web::ToText(web::VariantToJson(v));
            platform::VariantClear(&v);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    web::ClientMessage m;
    int status = 0;
    std::string error;
    nlohmann::json id;
    if (!web::ParseClientMessage(text, &m, &status, &error, &id)) {
        (void)web::ReplyText(id, status, {{"error", error}});
        return 0;
    }
    (void)web::ReplyText(m.id, 200, {{"result", m.value}});
    Convert(m.value);
    for (const nlohmann::json& arg : m.args) Convert(arg);

    web::CameraConfig camera;
    camera.name = "front";
    camera.target = "http://user:pw@127.0.0.1:8080/";
    camera.allow = {"127.0.0.1:8081", "192.0.2.1"};
    (void)web::WebRefusal(camera, m.member, m.value, m.camera);
    (void)web::ToText(web::WebShown(m.member, m.value));
    std::string host;
    int port = 0;
    web::SplitTarget(m.line, &host, &port);
    return 0;
}
