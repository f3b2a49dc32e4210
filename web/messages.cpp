// Field-by-field checks of a page's message; unknown fields are ignored (newer pages), wrong
// types are not.
#include "web/messages.h"

#include "web/config.h"
#include "web/member_calls.h"

namespace web {

using nlohmann::json;

const char* to_string(Op op) {
    switch (op) {
        case Op::kWatch:
            return "watch";
        case Op::kUnwatch:
            return "unwatch";
        case Op::kGet:
            return "get";
        case Op::kPut:
            return "put";
        case Op::kCall:
            return "call";
        case Op::kRun:
            return "run";
        case Op::kCameras:
            return "cameras";
    }
    return "?";
}

namespace {

bool Fail(int code, std::string what, int* status, std::string* error) {
    *status = code;
    *error = std::move(what);
    return false;
}

bool StringField(const json& doc, const char* key, std::size_t max, std::string* out, int* status,
                 std::string* error) {
    if (!doc.contains(key))
        return Fail(400, std::string("\"") + key + "\" is missing", status, error);
    const json& v = doc[key];
    if (!v.is_string())
        return Fail(400, std::string("\"") + key + "\" must be a string", status, error);
    *out = v.get<std::string>();
    if (out->size() > max)
        return Fail(400, std::string("\"") + key + "\" is longer than " + std::to_string(max),
                    status, error);
    return true;
}

}  // namespace

bool ParseClientMessage(std::string_view text, ClientMessage* m, int* status, std::string* error,
                        json* id) {
    *id = nullptr;
    if (text.size() > kMaxMessageBytes)
        return Fail(413, "message larger than " + std::to_string(kMaxMessageBytes) + " bytes",
                    status, error);
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) return Fail(400, "not valid JSON", status, error);
    if (!doc.is_object()) return Fail(400, "a message must be a JSON object", status, error);
    if (doc.contains("id")) {
        const json& v = doc["id"];
        if (v.is_number_integer() ||
            (v.is_string() && v.get_ref<const std::string&>().size() <= kMaxIdBytes)) {
            *id = v;
        } else if (!v.is_null()) {
            return Fail(400,
                        "\"id\" must be an integer or a string of at most " +
                            std::to_string(kMaxIdBytes) + " characters",
                        status, error);
        }
    }
    m->id = *id;
    std::string op;
    if (!StringField(doc, "op", 16, &op, status, error)) return false;
    if (op == "watch")
        m->op = Op::kWatch;
    else if (op == "unwatch")
        m->op = Op::kUnwatch;
    else if (op == "get")
        m->op = Op::kGet;
    else if (op == "put")
        m->op = Op::kPut;
    else if (op == "call")
        m->op = Op::kCall;
    else if (op == "run")
        m->op = Op::kRun;
    else if (op == "cameras")
        m->op = Op::kCameras;
    else
        return Fail(400, "unknown op \"" + op + "\" (watch, unwatch, get, put, call, run, cameras)",
                    status, error);
    if (m->op == Op::kCameras) return true;
    if (!StringField(doc, "camera", kMaxCameraNameBytes, &m->camera, status, error)) return false;
    if (!IsCameraName(m->camera))
        return Fail(404, "unknown camera \"" + m->camera + "\"", status, error);
    switch (m->op) {
        case Op::kGet:
        case Op::kPut:
        case Op::kCall:
            if (!StringField(doc, "member", 64, &m->member, status, error)) return false;
            break;
        default:
            break;
    }
    if (m->op == Op::kPut) {
        if (!doc.contains("value")) return Fail(400, "\"value\" is missing", status, error);
        m->value = doc["value"];
    }
    if (m->op == Op::kCall) {
        if (doc.contains("args")) m->args = doc["args"];
        if (!m->args.is_array()) return Fail(400, "\"args\" must be an array", status, error);
    }
    if (m->op == Op::kRun && !StringField(doc, "line", 1024, &m->line, status, error)) return false;
    return true;
}

std::string ReplyText(const json& id, int status, const json& body) {
    json reply = body.is_object() ? body : json::object();
    reply["id"] = id;
    reply["status"] = status;
    return ToText(reply);
}

}  // namespace web
