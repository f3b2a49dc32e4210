// The web container's core without sockets: its cameras (configured, or two simulated ones it
// starts itself), the token and the rules every request meets, the routes of the HTTP surface,
// and the WebSocket's member calls. The server (server.h) feeds it parsed requests and messages
// and gets answers back on its own I/O thread through the poster it gives; frames and events
// leave through the sinks the server sets.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "web/camera.h"
#include "web/config.h"
#include "web/typelib.h"

namespace camera {
class Camera;
}

namespace web {

inline constexpr std::size_t kMaxHeadBytes = 8 * 1024;
inline constexpr std::size_t kMaxBodyBytes = 64 * 1024;
inline constexpr std::uint32_t kIdleTimeoutMs = 60000;
inline constexpr const char* kTokenCookie = "quorlina_token";

// A request as the server read it (header values as sent; empty when absent).
struct Request {
    std::string method;
    std::string target;  // path and query
    std::string host;
    std::string origin;
    std::string authorization;
    std::string cookie;
    std::string prefix;  // X-Forwarded-Prefix: the path a reverse proxy serves this server under
    std::string body;
    bool upgrade = false;  // a WebSocket upgrade
};

struct Response {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// What the server does with a request.
enum class Action {
    kRespond,    // send the response (and close when it is an error that says so)
    kStream,     // the camera's multipart stream
    kWebSocket,  // accept the upgrade
};

struct Routed {
    Action action = Action::kRespond;
    Response response;
    std::string camera;  // kStream
    bool close = false;  // close the connection after the response
};

// A response {"error": message} with its status.
Response ErrorResponse(int status, const std::string& message);

// Equal in time that does not depend on where the texts differ.
bool ConstantTimeEqual(const std::string& a, const std::string& b);

// A random token of 32 URL-safe characters.
std::string RandomToken();

// The path of a target without its query; the value of one query parameter ("" when absent).
std::string PathOf(const std::string& target);
std::string QueryParameter(const std::string& target, const std::string& name);

// What the WebSocket session does for the service, on the I/O thread: the viewer's own list of
// watched cameras. The cameras' viewer counts are the service's to change.
class ViewerOps {
  public:
    virtual ~ViewerOps() = default;
    virtual bool Watch(const std::string& camera) = 0;  // false: was watching already
    virtual bool Unwatch(const std::string& camera) = 0;
};

struct ServiceOptions {
    ServeConfig config;
    bool simulated = false;  // no configuration: two simulated cameras started here
    CameraOptions camera;
};

class Service {
  public:
    using Poster = std::function<void(std::function<void()>)>;

    explicit Service(ServiceOptions options);
    ~Service();  // Shutdown()
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts the simulated cameras (when asked) and every camera's threads; frames and events
    // go to the sinks, replies through the poster. False with *error when a simulated camera
    // cannot start.
    bool Start(Poster poster, std::function<void(const std::string& camera, const FramePtr&)> frame,
               std::function<void(const std::string& camera, std::string text)> event,
               std::string* error);
    // Stops every control, then the cameras' threads and the simulated cameras.
    void Shutdown();

    const std::string& Token() const { return token_; }
    const ServeConfig& Config() const { return options_.config; }
    const TypeLib& Types() const { return types_; }
    Camera* Find(const std::string& name);
    std::vector<Camera*> Cameras();

    // Authorisation and routing. done runs on the I/O thread (at once, or later through the
    // poster).
    void HandleHttp(const Request& request, std::function<void(Routed)> done);
    // One text message of a WebSocket; reply runs on the I/O thread.
    void HandleMessage(const std::string& text, ViewerOps& viewer,
                       std::function<void(std::string)> reply);

    // Whether the request carries the token (Bearer, cookie or ?token=).
    bool Authorised(const Request& request) const;
    // Whether an Origin header, when there is one, names the Host the request went to.
    static bool SameOrigin(const Request& request);

  private:
    void HandleCamera(const Request& request, const std::string& path,
                      std::function<void(Routed)> done);

    ServiceOptions options_;
    std::string token_;
    TypeLib types_;
    Poster poster_;
    std::vector<std::unique_ptr<camera::Camera>> simulated_;
    std::map<std::string, std::unique_ptr<Camera>> cameras_;
    std::vector<std::string> order_;  // camera names as configured
};

}  // namespace web
