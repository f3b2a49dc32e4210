// `quorlina serve` over loopback against simulated cameras: the type library, every kind of
// member through PUT and POST, each error status, an output put through the API seen on the
// camera, the security rules one by one, the multipart stream read by ffmpeg, and the
// WebSocket's frames, calls and events.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/web_server_fixture.h"

namespace {

using nlohmann::json;
using testsupport::HttpExchange;
using testsupport::HttpReply;
using testsupport::kWebToken;
using testsupport::RawExchange;
using testsupport::WsClient;
using testsupport::WsMessage;

json Body(const HttpReply& r) { return json::parse(r.body, nullptr, false); }

template <typename F>
bool Eventually(F condition, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

class WebApi : public testsupport::WebServerTest {};

TEST_F(WebApi, TypelibListsTheFiftyEightMembersOfTheControl) {
    StartServer();
    HttpReply r = Api("GET", "/api/typelib");
    ASSERT_EQ(r.status, 200);
    const json lib = Body(r);
    ASSERT_EQ(lib["members"].size(), 58u);
    EXPECT_EQ(lib["interface"], "IQuorlinaLite");
    const json& zoom = lib["members"][54];
    EXPECT_EQ(zoom["name"], "Zoom");
    EXPECT_EQ(zoom["dispid"], 181);
    EXPECT_EQ(zoom["kind"], "method");
    EXPECT_EQ(zoom["params"][0]["name"], "lMode");
    EXPECT_EQ(zoom["params"][0]["type"], "long");
    EXPECT_EQ(zoom["result"], "long");
    EXPECT_EQ(zoom["help"], "method Zoom");
    EXPECT_EQ(lib["members"][0]["name"], "Enabled");
    EXPECT_EQ(lib["members"][0]["help"], "");
}

TEST_F(WebApi, CamerasShowTargetsWithoutCredentialsAndEveryReadableProperty) {
    StartServer();
    const json list = Body(Api("GET", "/api/cameras"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["name"], "front");  // as configured
    EXPECT_EQ(list[1]["name"], "back");
    EXPECT_EQ(list[0]["state"], "idle");  // watched by no one yet
    EXPECT_EQ(list[0]["target"], "http://127.0.0.1:" + std::to_string(http_camera_->HttpPort()));
    const json front = Body(Api("GET", "/api/cameras/front"));
    EXPECT_EQ(front["properties"].size(), 27u);  // every propget of the table
    EXPECT_EQ(front["properties"]["PreviewWidth"], 320);
    EXPECT_EQ(front["properties"]["DeviceSerialNo"], "");
    EXPECT_TRUE(front["properties"]["MovePanTiltDegree"].is_null());  // write-only
}

TEST_F(WebApi, EveryKindOfMemberGoesThroughPutAndPost) {
    StartServer();
    struct Row {
        const char* method;
        const char* path;
        const char* body;
        json expected;
    };
    const Row rows[] = {
        {"PUT", "/api/cameras/front/properties/PanSingleMoveDegree", "5", {{"value", 5}}},
        {"PUT", "/api/cameras/front/properties/SetName", "\"door\"", {{"value", "door"}}},
        {"PUT", "/api/cameras/front/properties/Enabled", "false", {{"value", false}}},
        {"PUT", "/api/cameras/front/properties/Enabled", "true", {{"value", true}}},
        {"PUT", "/api/cameras/front/properties/Timeout", "-7", {{"value", 3}}},  // kept
        {"PUT", "/api/cameras/front/properties/SwingMode", "0", {{"value", nullptr}}},
        {"GET", "/api/cameras/front/properties/FrameRate", "", {{"value", 0.0}}},
        {"GET", "/api/cameras/front/properties/setname", "", {{"value", "door"}}},
        {"POST", "/api/cameras/front/methods/Zoom", "[2]", {{"result", 2}}},
        {"POST", "/api/cameras/front/methods/ResizeMode", "[1]", {{"result", 1}}},
        {"POST", "/api/cameras/front/methods/DisplayMode", "[0]", {{"result", 0}}},
        {"POST", "/api/cameras/front/methods/MoveToPos", "[120, 45]", {{"result", 0}}},
        {"POST", "/api/cameras/front/methods/Stop", "[]", {{"result", nullptr}}},
        {"POST", "/api/cameras/front/methods/Stop", "", {{"result", nullptr}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path + " " + row.body);
        HttpReply r = Api(row.method, row.path, row.body);
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(Body(r), row.expected);
        EXPECT_EQ(r.headers["content-type"], "application/json");
    }
}

TEST_F(WebApi, ErrorsNameWhatWasWrong) {
    StartServer();
    struct Row {
        const char* method;
        const char* path;
        std::string body;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {"POST", "/api/cameras/front/methods/Zoom", "[\"x\"]", 400,
         "Zoom argument 1 (lMode): expected long"},
        {"POST", "/api/cameras/front/methods/Zoom", "[1, 2]", 400, "Zoom takes 1 argument(s), 2"},
        {"POST", "/api/cameras/front/methods/Zoom", "{", 400, "JSON array"},
        {"POST", "/api/cameras/front/methods/Zoom", "[4294967296]", 400, "expected long"},
        {"PUT", "/api/cameras/front/properties/SetName", "7", 400, "SetName: expected BSTR"},
        {"PUT", "/api/cameras/front/properties/SetName", "\"a\\r\\nb\"", 400, "control characters"},
        {"PUT", "/api/cameras/front/properties/PreviewWidth", "nope", 400, "JSON value"},
        {"GET", "/api/cameras/nobody", "", 404, "unknown camera \"nobody\""},
        {"GET", "/api/cameras/front/properties/Nothing", "", 404, "unknown member \"Nothing\""},
        {"POST", "/api/cameras/front/methods/IOOut1", "[1]", 404, "IOOut1 is a property"},
        {"PUT", "/api/cameras/front/properties/Play", "1", 404, "Play is a method"},
        {"PUT", "/api/cameras/front/properties/FrameRate", "1", 405, "read-only"},
        {"DELETE", "/api/cameras/front", "", 405, "DELETE is not allowed"},
        {"POST", "/api/typelib", "", 405, "allowed: GET"},
        {"GET", "/nowhere", "", 404, "nothing at /nowhere"},
        {"PUT", "/api/cameras/front/properties/DeviceSerialNo", "\"x\"", 403, "credentials"},
        {"PUT", "/api/cameras/front/properties/RemoteHost", "\"http://10.1.2.3\"", 403,
         "not a target this camera's configuration allows"},
        {"PUT", "/api/cameras/front/properties/RemotePort", "80", 403, "not a port"},
        {"PUT", "/api/cameras/front/properties/PreviewWidth", std::string(70000, '1'), 413,
         "body larger than 65536"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path);
        HttpReply r = Api(row.method, row.path, row.body);
        EXPECT_EQ(r.status, row.status) << r.body;
        const json body = Body(r);
        ASSERT_TRUE(body.contains("error")) << r.body;
        EXPECT_NE(body["error"].get<std::string>().find(row.says), std::string::npos)
            << body["error"];
    }
}

TEST_F(WebApi, OutputPutThroughTheApiReachesTheCameraAndComesBack) {
    StartServer(/*always=*/true);
    ASSERT_EQ(Api("PUT", "/api/cameras/front/properties/IOOut1", "1").status, 200);
    EXPECT_TRUE(Eventually([&] { return http_camera_->State().output1; }));
    // The stream's device line brings the new state back into the control.
    EXPECT_TRUE(Eventually(
        [&] { return Body(Api("GET", "/api/cameras/front/properties/IOOut1"))["value"] == 1; }));
    ASSERT_EQ(Api("PUT", "/api/cameras/front/properties/IOOut1", "0").status, 200);
    EXPECT_TRUE(Eventually([&] { return !http_camera_->State().output1; }));
    // Native: the command channel answers at once, and GetRealTimeData reads it back.
    ASSERT_EQ(Api("PUT", "/api/cameras/back/properties/IOOut1", "1").status, 200);
    EXPECT_TRUE(Eventually([&] { return native_camera_->State().output1; }));
    EXPECT_EQ(Body(Api("POST", "/api/cameras/back/methods/GetRealTimeData", "[]"))["result"], -1);
    EXPECT_EQ(Body(Api("GET", "/api/cameras/back/properties/IOOut1"))["value"], 1);
}

TEST_F(WebApi, AllowedTargetsMayBePutAndOthersNot) {
    StartServer();
    const std::string port = std::to_string(http_camera_->HttpPort());
    EXPECT_EQ(Api("PUT", "/api/cameras/front/properties/RemoteHost", "\"127.0.0.1:" + port + "\"")
                  .status,
              200);
    EXPECT_EQ(Api("PUT", "/api/cameras/front/properties/RemotePort", port).status, 200);
    EXPECT_EQ(Api("PUT", "/api/cameras/front/properties/RemoteWeb", "1").status, 403);
    EXPECT_EQ(Api("PUT", "/api/cameras/back/properties/RemoteHost", "\"127.0.0.1:" + port + "\"")
                  .status,
              403);
}

TEST_F(WebApi, FfmpegReadsTwentyFramesOfTheStream) {
    StartServer();
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) +
                            "/cameras/front/stream.mjpg?token=" + kWebToken;
    const std::string command = "timeout 60 ffmpeg -nostdin -hide_banner -loglevel error -i '" +
                                url + "' -frames:v 20 -f null - 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

TEST_F(WebApi, StreamPartsCarryTypeAndLength) {
    StartServer();
    const std::string raw =
        RawExchange(port_,
                    "GET /cameras/back/stream.mjpg HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                        std::string(kWebToken) + "\r\n\r\n",
                    3000);
    EXPECT_NE(raw.find("Content-Type: multipart/x-mixed-replace; boundary=quorlinaframe"),
              std::string::npos);
    const std::size_t part = raw.find("--quorlinaframe\r\nContent-Type: image/jpeg\r\nContent-Length: ");
    ASSERT_NE(part, std::string::npos);
    const std::size_t length_at = raw.find("Content-Length: ", part) + 16;
    const std::size_t length = std::stoul(raw.substr(length_at));
    const std::size_t jpeg = raw.find("\r\n\r\n", length_at) + 4;
    ASSERT_LE(jpeg + length + 2, raw.size());
    EXPECT_EQ(raw.substr(jpeg, 2), "\xFF\xD8");
    EXPECT_EQ(raw.substr(jpeg + length - 2, 4), "\xFF\xD9\r\n");
}

TEST_F(WebApi, SnapshotsAreTheWindowAsJpegAndPng) {
    StartServer();
    HttpReply jpg = Api("GET", "/cameras/front/snapshot.jpg");
    EXPECT_EQ(jpg.status, 200);
    EXPECT_EQ(jpg.headers["content-type"], "image/jpeg");
    EXPECT_EQ(jpg.body.substr(0, 2), "\xFF\xD8");
    HttpReply png = Api("GET", "/cameras/front/snapshot.png");
    EXPECT_EQ(png.headers["content-type"], "image/png");
    EXPECT_EQ(png.body.substr(1, 3), "PNG");
}

// ---------------------------------------------------------------- security, one rule at a time

class WebSecurity : public testsupport::WebServerTest {};

TEST_F(WebSecurity, EveryRequestNeedsTheToken) {
    StartServer();
    for (const char* path : {"/", "/quorlina.js", "/static/app.css", "/api/typelib",
                             "/api/cameras", "/cameras/front/snapshot.jpg",
                             "/cameras/front/stream.mjpg"}) {
        SCOPED_TRACE(path);
        HttpReply r = HttpExchange(port_, "GET", path);
        EXPECT_EQ(r.status, 401);
        EXPECT_NE(Body(r)["error"].get<std::string>().find("no token"), std::string::npos);
    }
}

TEST_F(WebSecurity, AWrongTokenIsRefusedWhereverItIsGiven) {
    StartServer();
    const std::string wrong = std::string(kWebToken).substr(0, 26) + "X";
    EXPECT_EQ(HttpExchange(port_, "GET", "/api/cameras", {{"Authorization", "Bearer " + wrong}}).status, 401);
    EXPECT_EQ(HttpExchange(port_, "GET", "/api/cameras", {{"Cookie", "quorlina_token=" + wrong}}).status, 401);
    EXPECT_EQ(HttpExchange(port_, "GET", "/api/cameras?token=" + wrong).status, 401);
    EXPECT_EQ(HttpExchange(port_, "GET", "/api/cameras?token=short").status, 401);
    int status = 0;
    WsClient ws;
    EXPECT_FALSE(ws.Connect(port_, "/ws", {{"Cookie", "quorlina_token=" + wrong}}, &status));
    EXPECT_EQ(status, 401);
}

TEST_F(WebSecurity, BearerCookieAndAddressTokensAreAccepted) {
    StartServer();
    EXPECT_EQ(HttpExchange(port_, "GET", "/api/cameras",
                           {{"Authorization", std::string("Bearer ") + kWebToken}}).status, 200);
    EXPECT_EQ(HttpExchange(port_, "GET", "/api/cameras",
                           {{"Cookie", std::string("a=b; quorlina_token=") + kWebToken + "; c=d"}})
                  .status,
              200);
    EXPECT_EQ(HttpExchange(port_, "GET", std::string("/api/cameras?token=") + kWebToken).status, 200);
}

TEST_F(WebSecurity, TheTokenInTheAddressBecomesAStrictHttpOnlyCookie) {
    StartServer();
    HttpReply r = HttpExchange(port_, "GET", std::string("/?token=") + kWebToken + "&x=1");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.headers["location"], "./?x=1");
    const std::string cookie = r.headers["set-cookie"];
    EXPECT_NE(cookie.find(std::string("quorlina_token=") + kWebToken), std::string::npos);
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    HttpReply page = HttpExchange(port_, "GET", "/", {{"Cookie", "quorlina_token=" + std::string(kWebToken)}});
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("quorlina.js"), std::string::npos);
}

TEST_F(WebSecurity, AnotherSitesPageCannotOpenTheWebSocketOrPut) {
    StartServer();
    const std::string cookie = std::string("quorlina_token=") + kWebToken;
    WsClient foreign;
    int status = 0;
    EXPECT_FALSE(foreign.Connect(port_, "/ws", {{"Cookie", cookie}, {"Origin", "http://evil.example"}}, &status));
    EXPECT_EQ(status, 403);
    WsClient other_port;
    EXPECT_FALSE(other_port.Connect(port_, "/ws", {{"Cookie", cookie}, {"Origin", "http://127.0.0.1:1"}}, &status));
    EXPECT_EQ(status, 403);
    EXPECT_EQ(HttpExchange(port_, "PUT", "/api/cameras/front/properties/IOOut1",
                           {{"Cookie", cookie}, {"Origin", "http://evil.example"}}, "1").status,
              403);
    WsClient own;
    EXPECT_TRUE(OpenSocket(&own, &status));
    EXPECT_EQ(status, 101);
}

TEST_F(WebSecurity, TheCredentialTokenIsNeitherShownNorSet) {
    StartServer();
    EXPECT_EQ(Api("PUT", "/api/cameras/front/properties/DeviceSerialNo", "\"abc\"").status, 403);
    EXPECT_EQ(Body(Api("GET", "/api/cameras/front/properties/DeviceSerialNo"))["value"], "");
    // The console applies the same rules.
    WsClient ws;
    int status = 0;
    ASSERT_TRUE(OpenSocket(&ws, &status));
    ws.SendText(R"({"id": 1, "op": "run", "camera": "front", "line": "DeviceSerialNo = \"x\""})");
    std::string reply;
    ASSERT_TRUE(ws.ReceiveText(&reply));
    EXPECT_EQ(json::parse(reply)["status"], 403) << reply;
    ws.SendText(R"({"id": 2, "op": "run", "camera": "front", "line": "RemoteHost = \"http://10.9.9.9\""})");
    ASSERT_TRUE(ws.ReceiveText(&reply));
    EXPECT_EQ(json::parse(reply)["status"], 403) << reply;
}

TEST_F(WebSecurity, HeadAndBodyLimitsHoldInPairs) {
    StartServer();
    const std::string auth = std::string("Authorization: Bearer ") + kWebToken + "\r\n";
    auto with_head = [&](std::size_t filler) {
        return RawExchange(port_, "GET /api/typelib HTTP/1.1\r\nHost: x\r\n" + auth +
                                      "X-Filler: " + std::string(filler, 'a') +
                                      "\r\nConnection: close\r\n\r\n");
    };
    EXPECT_EQ(with_head(7000).substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(with_head(9000).substr(0, 12), "HTTP/1.1 413");
    const std::string just_under(65536 - 2, '1');
    EXPECT_EQ(Api("PUT", "/api/cameras/front/properties/SetName", "\"" + just_under + "\"").status,
              400);  // within the limit, refused for its length only
    EXPECT_EQ(Api("PUT", "/api/cameras/front/properties/SetName", "\"" + just_under + "12\"").status,
              413);
}

TEST_F(WebSecurity, MalformedRequestsGet400AndTheirConnectionCloses) {
    StartServer();
    const std::string garbage = RawExchange(port_, "NOT HTTP AT ALL\r\n\r\n", 3000);
    EXPECT_EQ(garbage.substr(0, 12), "HTTP/1.1 400");
    EXPECT_NE(garbage.find("Connection: close"), std::string::npos);
    const std::string dots = RawExchange(
        port_, "GET /static/../../etc/passwd HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                   std::string(kWebToken) + "\r\n\r\n", 3000);
    EXPECT_EQ(dots.substr(0, 12), "HTTP/1.1 400");
    EXPECT_NE(dots.find("malformed path"), std::string::npos);
    EXPECT_EQ(Api("GET", "/static/%2e%2e/x").status, 400);
}

// ---------------------------------------------------------------- the WebSocket

class WebSocketApi : public testsupport::WebServerTest {};

TEST_F(WebSocketApi, WatchingBringsTaggedFramesAndCallsAreAnswered) {
    StartServer();
    WsClient ws;
    int status = 0;
    ASSERT_TRUE(OpenSocket(&ws, &status));
    ws.SendText(R"({"id": 1, "op": "watch", "camera": "front"})");
    std::string text;
    json reply = json::object();
    // Events of the now watched camera may come before the reply.
    for (int i = 0; i < 50 && reply.value("id", json()) != 1; ++i) {
        ASSERT_TRUE(ws.ReceiveText(&text));
        reply = json::parse(text);
    }
    EXPECT_EQ(reply["id"], 1);
    EXPECT_EQ(reply["status"], 200);
    EXPECT_EQ(reply["result"]["name"], "front");
    EXPECT_TRUE(reply["result"]["properties"].is_object());
    // Frames: tag (length, name), then a JPEG.
    WsMessage m;
    int frames = 0;
    for (int i = 0; i < 50 && frames < 3; ++i) {
        ASSERT_TRUE(ws.Receive(&m));
        if (!m.binary) continue;
        ++frames;
        ASSERT_GT(m.data.size(), 8u);
        EXPECT_EQ(m.data[0], 5);
        EXPECT_EQ(m.data.substr(1, 5), "front");
        EXPECT_EQ(m.data.substr(6, 2), "\xFF\xD8");
    }
    EXPECT_EQ(frames, 3);

    ws.SendText(R"({"id": "z", "op": "call", "camera": "front", "member": "Zoom", "args": [2]})");
    reply = json::object();
    for (int i = 0; i < 50 && reply.value("id", json()) != "z"; ++i) {
        ASSERT_TRUE(ws.ReceiveText(&text));
        reply = json::parse(text);
    }
    EXPECT_EQ(reply["id"], "z");
    EXPECT_EQ(reply["result"], 2);

    ws.SendText(R"({"id": 3, "op": "put", "camera": "front", "member": "TiltSingleMoveDegree", "value": 4})");
    bool answered = false, changed = false;
    for (int i = 0; i < 20 && !(answered && changed); ++i) {
        ASSERT_TRUE(ws.ReceiveText(&text));
        reply = json::parse(text);
        if (reply.value("id", json()) == 3) answered = reply["result"] == 4;
        if (reply.value("event", "") == "change" && reply["member"] == "TiltSingleMoveDegree")
            changed = reply["value"] == 4;
    }
    EXPECT_TRUE(answered);
    EXPECT_TRUE(changed);

    ws.SendText(R"({"id": 4, "op": "run", "camera": "front", "line": "print TiltSingleMoveDegree"})");
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(ws.ReceiveText(&text));
        reply = json::parse(text);
        if (reply.value("id", json()) == 4) break;
    }
    EXPECT_EQ(reply["result"], "TiltSingleMoveDegree = 4\n");
}

// Raw bytes of a socket, as many as asked for within the wait.
bool ReadRaw(int fd, unsigned char* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, testsupport::kWebWaitMs) != 1) return false;
        const ssize_t n = ::recv(fd, data + got, size - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// A frame goes out as one final WebSocket frame, not cut into pieces: every piece would cost
// each viewer another write.
TEST_F(WebSocketApi, EachFrameLeavesAsOneWebSocketFrame) {
    StartServer();
    WsClient ws;
    int status = 0;
    ASSERT_TRUE(OpenSocket(&ws, &status));
    ws.SendText(R"({"id": 1, "op": "watch", "camera": "front"})");
    int binary = 0;
    for (int i = 0; i < 200 && binary < 3; ++i) {
        unsigned char head[2];
        ASSERT_TRUE(ReadRaw(ws.fd(), head, 2));
        std::uint64_t length = head[1] & 0x7F;
        if (length >= 126) {
            unsigned char ext[8];
            const std::size_t bytes = length == 126 ? 2 : 8;
            ASSERT_TRUE(ReadRaw(ws.fd(), ext, bytes));
            length = 0;
            for (std::size_t k = 0; k < bytes; ++k) length = (length << 8) | ext[k];
        }
        std::vector<unsigned char> payload(length);
        ASSERT_TRUE(length == 0 || ReadRaw(ws.fd(), payload.data(), length));
        const int opcode = head[0] & 0x0F;
        EXPECT_NE(opcode, 0x0) << "a continuation: a message was cut into pieces";
        if (opcode != 0x2) continue;
        EXPECT_EQ(head[0], 0x82) << "final bit and binary opcode in the one frame";
        if (length > 4096) ++binary;  // larger than a write buffer, and whole
    }
    EXPECT_EQ(binary, 3) << "three camera pictures larger than a write buffer";
}

TEST_F(WebSocketApi, BadMessagesAreAnsweredWithWhatWasWrong) {
    StartServer();
    WsClient ws;
    int status = 0;
    ASSERT_TRUE(OpenSocket(&ws, &status));
    struct Row {
        const char* message;
        int status;
        const char* says;
    };
    const Row rows[] = {
        {"not json", 400, "not valid JSON"},
        {"[1]", 400, "JSON object"},
        {R"({"id": 1, "op": "fly"})", 400, "unknown op \"fly\""},
        {R"({"id": 1, "op": "get", "camera": "nobody", "member": "IOOut1"})", 404, "unknown camera"},
        {R"({"id": 1, "op": "get", "camera": "front"})", 400, "\"member\" is missing"},
        {R"({"id": 1, "op": "call", "camera": "front", "member": "Zoom", "args": 2})", 400, "array"},
        {R"({"id": 1, "op": "run", "camera": "front", "line": "wait 60000"})", 400, "at most"},
        {R"({"id": 1, "op": "run", "camera": "front", "line": "Nothing = 1"})", 400, "line 1: unknown member"},
        {R"({"id": {"a": 1}, "op": "cameras"})", 400, "\"id\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        ASSERT_TRUE(ws.SendText(row.message));
        std::string text;
        ASSERT_TRUE(ws.ReceiveText(&text));
        const json reply = json::parse(text);
        EXPECT_EQ(reply["status"], row.status) << text;
        EXPECT_NE(reply["error"].get<std::string>().find(row.says), std::string::npos) << text;
    }
}

}  // namespace

namespace {

// The camera's viewer count follows the page: watching twice counts once, an unwatch releases
// once, and closing the page releases what it still watched.
TEST_F(WebSocketApi, WatchAndUnwatchKeepTheCamerasViewerCountExact) {
    StartServer();
    web::Camera* front = service_->Find("front");
    ASSERT_NE(front, nullptr);
    {
        WsClient ws;
        int status = 0;
        ASSERT_TRUE(OpenSocket(&ws, &status));
        const char* steps[] = {
            R"({"id": 1, "op": "watch", "camera": "front"})",
            R"({"id": 2, "op": "watch", "camera": "front"})",
            R"({"id": 3, "op": "unwatch", "camera": "front"})",
            R"({"id": 4, "op": "unwatch", "camera": "front"})",
            R"({"id": 5, "op": "watch", "camera": "front"})",
        };
        const int expected[] = {1, 1, 0, 0, 1};
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(steps[i]);
            ASSERT_TRUE(ws.SendText(steps[i]));
            // The reply to this step (events of the watched camera may come in between).
            json reply = json::object();
            for (int n = 0; n < 50 && reply.value("id", json()) != i + 1; ++n) {
                std::string text;
                ASSERT_TRUE(ws.ReceiveText(&text));
                reply = json::parse(text);
            }
            EXPECT_EQ(reply["status"], 200);
            EXPECT_EQ(front->Watchers(), expected[i]);
        }
    }
    EXPECT_TRUE(Eventually([&] { return front->Watchers() == 0; })) << front->Watchers();
}

}  // namespace

namespace {

// A page that starts watching an idle camera sees its properties then, and from then on every
// change: once the camera plays, the head's position it reports reaches the page.
TEST_F(WebSocketApi, APageSeesEveryChangeAfterTheValuesItWasGiven) {
    StartServer();
    WsClient ws;
    int status = 0;
    ASSERT_TRUE(OpenSocket(&ws, &status));
    ASSERT_TRUE(ws.SendText(R"({"id": 1, "op": "watch", "camera": "front"})"));
    json view;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end &&
           !(view.is_object() && view.value("GetHorizontalPosition", 0) == 170 &&
             view.value("GetVerticalPosition", 0) == 45)) {
        std::string text;
        if (!ws.ReceiveText(&text, 2000)) continue;
        const json m = json::parse(text);
        if (m.value("id", json()) == 1) view = m["result"]["properties"];
        if (m.value("event", "") == "change" && view.is_object()) view[m["member"]] = m["value"];
    }
    ASSERT_TRUE(view.is_object());
    EXPECT_EQ(view["GetHorizontalPosition"], 170);
    EXPECT_EQ(view["GetVerticalPosition"], 45);
}

}  // namespace
