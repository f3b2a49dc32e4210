// The WebSocket's text messages, both ways, as pure functions (no sockets, no cameras): a page's
// request parsed and checked, and the texts of replies and events. Binary messages (frames) are
// camera.h's Frame. Format:
//   page -> server  {"id": 7, "op": "watch"|"unwatch"|"get"|"put"|"call"|"run"|"cameras",
//                    "camera": "front", "member": "IOOut1", "value": 1, "args": [2],
//                    "line": "print FrameRate"}
//   server -> page  {"id": 7, "status": 200, "result": ...} or {"id": 7, "status": 4xx,
//                    "error": "..."}; events {"event": "change"|"state", "camera": ..., ...}
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace web {

inline constexpr std::size_t kMaxMessageBytes = 64 * 1024;
inline constexpr std::size_t kMaxIdBytes = 64;  // a string id is echoed back: kept short

enum class Op { kWatch, kUnwatch, kGet, kPut, kCall, kRun, kCameras };
const char* to_string(Op op);

struct ClientMessage {
    nlohmann::json id;  // null, an integer or a short string
    Op op = Op::kCameras;
    std::string camera;
    std::string member;
    nlohmann::json value;                           // put
    nlohmann::json args = nlohmann::json::array();  // call
    std::string line;                               // run
};

// Parses one text message. False with *status (400 or 413) and *error naming what was wrong;
// *id is filled whenever the message had a usable id, so the error can answer it.
bool ParseClientMessage(std::string_view text, ClientMessage* message, int* status,
                        std::string* error, nlohmann::json* id);

// {"id", "status", "result"} with the value under key; the body of an Outcome passes through.
std::string ReplyText(const nlohmann::json& id, int status, const nlohmann::json& body);

}  // namespace web
