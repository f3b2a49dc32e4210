// Routes, the token, the origin rule, and the WebSocket's member calls.
#include "web/service.h"

#include <cctype>
#include <random>

#include "apps/camera/camera.h"
#include "web/assets.h"
#include "web/messages.h"

namespace web {

using nlohmann::json;

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        parts.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

Routed Respond(Response r, bool close = false) {
    Routed routed;
    routed.response = std::move(r);
    routed.close = close;
    return routed;
}

Response JsonResponse(int status, const json& body) {
    Response r;
    r.status = status;
    r.body = ToText(body);
    return r;
}

Response FromOutcome(const Outcome& o) {
    return JsonResponse(o.status, o.body);
}

Routed MethodNotAllowed(const std::string& method, const std::string& allow) {
    Response r = ErrorResponse(405, method + " is not allowed here (allowed: " + allow + ")");
    r.headers.emplace_back("Allow", allow);
    return Respond(std::move(r));
}

// The "/prefix" a reverse proxy serves this server under (X-Forwarded-Prefix); "" when none.
std::string CookiePath(const std::string& prefix) {
    if (prefix.empty() || prefix[0] != '/' || prefix.size() > 128) return "/";
    for (unsigned char c : prefix)
        if (!std::isalnum(c) && c != '/' && c != '-' && c != '_' && c != '.') return "/";
    return prefix;
}

// The target's query without the token parameter ("" or "?a=b").
std::string QueryWithoutToken(const std::string& target) {
    const std::size_t q = target.find('?');
    if (q == std::string::npos) return {};
    std::string kept;
    std::size_t start = q + 1;
    while (start <= target.size()) {
        std::size_t amp = target.find('&', start);
        if (amp == std::string::npos) amp = target.size();
        const std::string pair = target.substr(start, amp - start);
        if (!pair.empty() && pair.rfind("token=", 0) != 0 && pair != "token")
            kept += (kept.empty() ? "?" : "&") + pair;
        start = amp + 1;
    }
    return kept;
}

}  // namespace

Response ErrorResponse(int status, const std::string& message) {
    return JsonResponse(status, {{"error", message}});
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    // Runs over the expected text's length whatever the other's; the length itself is no secret.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        diff |= x ^ static_cast<unsigned char>(b[i]);
    }
    return diff == 0;
}

std::string RandomToken() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::random_device device;  // the system's random source
    std::string token;
    for (int i = 0; i < 32; ++i) token += kAlphabet[device() % 64];
    return token;
}

std::string PathOf(const std::string& target) {
    return target.substr(0, target.find('?'));
}

std::string QueryParameter(const std::string& target, const std::string& name) {
    const std::size_t q = target.find('?');
    if (q == std::string::npos) return {};
    std::size_t start = q + 1;
    while (start <= target.size()) {
        std::size_t amp = target.find('&', start);
        if (amp == std::string::npos) amp = target.size();
        const std::string pair = target.substr(start, amp - start);
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        start = amp + 1;
    }
    return {};
}

Service::Service(ServiceOptions options)
    : options_(std::move(options)), types_(TypeLib::ReadControl()) {
    token_ = options_.config.token.empty() ? RandomToken() : options_.config.token;
}

Service::~Service() {
    Shutdown();
}

bool Service::Start(Poster poster,
                    std::function<void(const std::string&, const FramePtr&)> frame_sink,
                    std::function<void(const std::string&, std::string)> event_sink,
                    std::string* error) {
    poster_ = std::move(poster);
    if (options_.simulated) {
        options_.config.cameras.clear();
        for (const char* kind : {"http", "native"}) {
            camera::CameraConfig sim;
            (kind == std::string("http") ? sim.http_port : sim.native_port) = 0;
            auto cam = std::make_unique<camera::Camera>(sim);
            if (!cam->Start(error)) {
                *error = std::string("the simulated ") + kind + " camera: " + *error;
                return false;
            }
            CameraConfig c;
            c.name = kind;
            c.target = kind == std::string("http")
                           ? "http://127.0.0.1:" + std::to_string(cam->HttpPort())
                           : "127.0.0.1:" + std::to_string(cam->NativePort());
            options_.config.cameras.push_back(c);
            simulated_.push_back(std::move(cam));
        }
    }
    for (const CameraConfig& c : options_.config.cameras) {
        const std::string name = c.name;
        CameraSinks sinks;
        sinks.frame = [frame_sink, name](const FramePtr& f) { frame_sink(name, f); };
        sinks.event = [event_sink, name](const json& e) { event_sink(name, ToText(e)); };
        cameras_[name] = std::make_unique<Camera>(c, types_, std::move(sinks), options_.camera);
        order_.push_back(name);
    }
    for (auto& [name, cam] : cameras_) cam->Start();
    return true;
}

void Service::Shutdown() {
    // Every camera's control stops on its own thread at the same time, then the threads end.
    for (auto& [name, cam] : cameras_) cam->BeginShutdown();
    for (auto& [name, cam] : cameras_) cam->Shutdown();
    for (auto& sim : simulated_) sim->Stop();
}

Camera* Service::Find(const std::string& name) {
    auto it = cameras_.find(name);
    return it == cameras_.end() ? nullptr : it->second.get();
}

std::vector<Camera*> Service::Cameras() {
    std::vector<Camera*> list;
    for (const std::string& name : order_) list.push_back(cameras_[name].get());
    return list;
}

bool Service::Authorised(const Request& request) const {
    const std::string& auth = request.authorization;
    if (auth.size() > 7 && Lower(auth.substr(0, 7)) == "bearer ")
        return ConstantTimeEqual(auth.substr(7), token_);
    const std::string query = QueryParameter(request.target, "token");
    if (!query.empty()) return ConstantTimeEqual(query, token_);
    // Cookie: "a=b; quorlina_token=T; c=d"
    const std::string& cookie = request.cookie;
    std::size_t start = 0;
    while (start < cookie.size()) {
        std::size_t end = cookie.find(';', start);
        if (end == std::string::npos) end = cookie.size();
        std::string pair = cookie.substr(start, end - start);
        const std::size_t first = pair.find_first_not_of(' ');
        pair = first == std::string::npos ? std::string() : pair.substr(first);
        const std::string key = std::string(kTokenCookie) + "=";
        if (pair.rfind(key, 0) == 0 && ConstantTimeEqual(pair.substr(key.size()), token_))
            return true;
        start = end + 1;
    }
    return false;
}

bool Service::SameOrigin(const Request& request) {
    if (request.origin.empty()) return true;
    const std::size_t scheme = request.origin.find("://");
    if (scheme == std::string::npos) return false;
    return Lower(request.origin.substr(scheme + 3)) == Lower(request.host) && !request.host.empty();
}

void Service::HandleHttp(const Request& request, std::function<void(Routed)> done) {
    const std::string path = PathOf(request.target);
    if (path.empty() || path[0] != '/' || path.find("..") != std::string::npos ||
        path.find('\\') != std::string::npos || path.find('%') != std::string::npos ||
        path.find("//") != std::string::npos) {
        done(Respond(ErrorResponse(400, "malformed path"), true));
        return;
    }
    if (!SameOrigin(request)) {
        done(Respond(ErrorResponse(
            403, "origin " + request.origin + " does not match the host " + request.host)));
        return;
    }
    const bool page = path == "/";
    if (!Authorised(request)) {
        const bool given = !QueryParameter(request.target, "token").empty() ||
                           !request.authorization.empty() ||
                           request.cookie.find(kTokenCookie) != std::string::npos;
        Response r = ErrorResponse(401, given ? "wrong token"
                                              : "no token: open the address the server printed "
                                                "(with ?token=...) or send Authorization: Bearer");
        r.headers.emplace_back("WWW-Authenticate", "Bearer");
        done(Respond(std::move(r)));
        return;
    }
    if (page && request.method == "GET" && !QueryParameter(request.target, "token").empty()) {
        // The token moves into a cookie the page's own requests carry, and out of the address.
        Response r;
        r.status = 303;
        r.content_type = "text/plain";
        r.body = "see ./\n";
        r.headers.emplace_back("Location", "./" + QueryWithoutToken(request.target));
        r.headers.emplace_back(
            "Set-Cookie", std::string(kTokenCookie) + "=" + token_ +
                              "; HttpOnly; SameSite=Strict; Path=" + CookiePath(request.prefix));
        done(Respond(std::move(r)));
        return;
    }

    if (path == "/ws") {
        if (request.method != "GET") {
            done(MethodNotAllowed(request.method, "GET"));
            return;
        }
        if (!request.upgrade) {
            done(Respond(ErrorResponse(400, "/ws takes a WebSocket upgrade")));
            return;
        }
        Routed r;
        r.action = Action::kWebSocket;
        done(std::move(r));
        return;
    }
    if (path.rfind("/api/", 0) == 0 || path.rfind("/cameras/", 0) == 0) {
        HandleCamera(request, path, std::move(done));
        return;
    }
    const Asset* asset = FindAsset(page ? "/index.html" : path);
    if (asset == nullptr) {
        done(Respond(ErrorResponse(404, "nothing at " + path)));
        return;
    }
    if (request.method != "GET") {
        done(MethodNotAllowed(request.method, "GET"));
        return;
    }
    Response r;
    r.content_type = asset->type;
    r.body.assign(reinterpret_cast<const char*>(asset->data), asset->size);
    done(Respond(std::move(r)));
}

void Service::HandleCamera(const Request& request, const std::string& path,
                           std::function<void(Routed)> done) {
    const std::vector<std::string> parts = Split(path);
    const std::string& method = request.method;
    // Replies from a camera's thread come back to the I/O thread.
    auto later = [this, done](Outcome o) { poster_([done, o] { done(Respond(FromOutcome(o))); }); };
    if (parts.size() == 2 && parts[0] == "api" && parts[1] == "typelib") {
        if (method != "GET") return done(MethodNotAllowed(method, "GET"));
        return done(Respond(JsonResponse(200, types_.Json())));
    }
    if (parts.size() == 2 && parts[0] == "api" && parts[1] == "cameras") {
        if (method != "GET") return done(MethodNotAllowed(method, "GET"));
        json list = json::array();
        for (Camera* c : Cameras()) list.push_back(c->Summary());
        return done(Respond(JsonResponse(200, list)));
    }
    const bool api = parts.size() >= 3 && parts[0] == "api" && parts[1] == "cameras";
    const bool media = parts.size() == 3 && parts[0] == "cameras";
    if (!api && !media) return done(Respond(ErrorResponse(404, "nothing at " + path)));
    const std::string& name = api ? parts[2] : parts[1];
    Camera* cam = IsCameraName(name) ? Find(name) : nullptr;
    if (cam == nullptr) return done(Respond(ErrorResponse(404, "unknown camera \"" + name + "\"")));

    if (media) {
        if (method != "GET") return done(MethodNotAllowed(method, "GET"));
        if (parts[2] == "stream.mjpg") {
            Routed r;
            r.action = Action::kStream;
            r.camera = name;
            return done(std::move(r));
        }
        if (parts[2] == "snapshot.jpg" || parts[2] == "snapshot.png") {
            cam->Snapshot(parts[2] == "snapshot.png", [this, done](Outcome o) {
                poster_([done, o] {
                    if (!o.ok()) return done(Respond(FromOutcome(o)));
                    Response r;
                    r.content_type = o.body["type"].get<std::string>();
                    const auto& bytes = o.body["bytes"].get_binary();
                    r.body.assign(bytes.begin(), bytes.end());
                    done(Respond(std::move(r)));
                });
            });
            return;
        }
        return done(Respond(ErrorResponse(404, "nothing at " + path)));
    }
    if (parts.size() == 3) {
        if (method != "GET") return done(MethodNotAllowed(method, "GET"));
        return cam->Details(later);
    }
    if (parts.size() == 5 && parts[3] == "properties") {
        const std::string& member = parts[4];
        if (method == "GET") return cam->Get(member, later);
        if (method != "PUT") return done(MethodNotAllowed(method, "GET, PUT"));
        json value = json::parse(request.body, nullptr, false);
        if (value.is_discarded())
            return done(Respond(ErrorResponse(400,
                                              "the body must be a JSON value (for example 1 "
                                              "or \"text\")")));
        return cam->Put(member, std::move(value), later);
    }
    if (parts.size() == 5 && parts[3] == "methods") {
        if (method != "POST") return done(MethodNotAllowed(method, "POST"));
        json args =
            request.body.empty() ? json::array() : json::parse(request.body, nullptr, false);
        if (args.is_discarded() || !args.is_array())
            return done(Respond(ErrorResponse(400,
                                              "the body must be a JSON array of arguments "
                                              "(for example [2])")));
        return cam->Call(parts[4], std::move(args), later);
    }
    return done(Respond(ErrorResponse(404, "nothing at " + path)));
}

void Service::HandleMessage(const std::string& text, ViewerOps& viewer,
                            std::function<void(std::string)> reply) {
    ClientMessage m;
    int status = 0;
    std::string error;
    json id;
    if (!ParseClientMessage(text, &m, &status, &error, &id))
        return reply(ReplyText(id, status, {{"error", error}}));
    if (m.op == Op::kCameras) {
        json list = json::array();
        for (Camera* c : Cameras()) list.push_back(c->Summary());
        return reply(ReplyText(id, 200, {{"result", list}}));
    }
    Camera* cam = Find(m.camera);
    if (cam == nullptr)
        return reply(ReplyText(id, 404, {{"error", "unknown camera \"" + m.camera + "\""}}));
    auto later = [this, id, reply](Outcome o) {
        poster_([id, reply, o] {
            json body = o.body;
            if (o.ok())
                body = {
                    {"result", body.is_object() && body.size() == 1 ? body.begin().value() : body}};
            reply(ReplyText(id, o.status, body));
        });
    };
    switch (m.op) {
        case Op::kWatch:
            if (viewer.Watch(m.camera)) cam->Watch();
            return cam->Details(later);
        case Op::kUnwatch:
            if (viewer.Unwatch(m.camera)) cam->Unwatch();
            return reply(ReplyText(id, 200, {{"result", nullptr}}));
        case Op::kGet:
            return cam->Get(m.member, later);
        case Op::kPut:
            return cam->Put(m.member, m.value, later);
        case Op::kCall:
            return cam->Call(m.member, m.args, later);
        case Op::kRun:
            return cam->RunLine(m.line, later);
        case Op::kCameras:
            break;
    }
}

}  // namespace web
