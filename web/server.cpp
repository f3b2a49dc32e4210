// Beast sessions on one I/O thread, so sessions and the hub need no locks: the listener, an HTTP
// session per connection, the multipart stream and the WebSocket it may turn into, and the hub
// that hands each camera's frames and events to the sessions watching it. Camera threads reach
// this thread only through net::post.
#include "web/server.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "platform/kernel.h"
#include "web/messages.h"

namespace web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;

namespace {

constexpr const char* kBoundary = "quorlinaframe";
constexpr std::size_t kMaxQueuedTexts = 1024;  // a page this far behind on replies is dropped
constexpr int kStopWaitMs = 1000;              // sessions get this long to close on Stop

const char* Reason(int status) {
    return http::obsolete_reason(static_cast<http::status>(status)).data();
}

}  // namespace

class Hub;

// What the hub knows of a session that watches cameras.
class Viewer {
  public:
    virtual ~Viewer() = default;
    virtual void OfferFrame(const std::string& camera, const FramePtr& frame) = 0;
    virtual void OfferText(const std::string& camera, const std::string& text) = 0;
    virtual void Close() = 0;
};

struct Server::Impl {
    Service& service;
    ServerOptions options;
    // I/O thread only (and the destructor, once that thread has ended).
    std::map<std::string, std::set<Viewer*>> watchers;
    std::set<std::weak_ptr<Viewer>, std::owner_less<std::weak_ptr<Viewer>>> sessions;
    // Made before and destroyed before the state above: handlers still queued go with the
    // context, and the sessions they hold let go of the hub as they are destroyed.
    std::unique_ptr<net::io_context> context = std::make_unique<net::io_context>(1);
    net::io_context& ioc = *context;
    std::unique_ptr<tcp::acceptor> acceptor_holder = std::make_unique<tcp::acceptor>(ioc);
    tcp::acceptor& acceptor = *acceptor_holder;
    std::thread thread;
    std::atomic<bool> running{false};
    bool stopped = false;

    std::atomic<int> connections{0};
    std::atomic<int> viewers{0};
    std::atomic<std::uint64_t> frames_sent{0};
    std::atomic<std::uint64_t> frames_replaced{0};

    Impl(Service& s, ServerOptions o) : service(s), options(std::move(o)) {}
    ~Impl() {
        acceptor_holder.reset();
        context.reset();
    }
    void Accept();
};

namespace {

// Decrements the open-connection count when the last handler of a connection is gone.
struct ConnectionSlot {
    std::atomic<int>& count;
    explicit ConnectionSlot(std::atomic<int>& c) : count(c) { count.fetch_add(1); }
    ~ConnectionSlot() { count.fetch_sub(1); }
};

Request ToRequest(const http::request<http::string_body>& r) {
    Request q;
    q.method = std::string(r.method_string());
    q.target = std::string(r.target());
    q.host = std::string(r[http::field::host]);
    q.origin = std::string(r[http::field::origin]);
    q.authorization = std::string(r[http::field::authorization]);
    q.cookie = std::string(r[http::field::cookie]);
    q.prefix = std::string(r["X-Forwarded-Prefix"]);
    q.body = r.body();
    q.upgrade = websocket::is_upgrade(r);
    return q;
}

// ---------------------------------------------------------------- WebSocket

class WsSession : public Viewer, public ViewerOps, public std::enable_shared_from_this<WsSession> {
  public:
    WsSession(Server::Impl& server, beast::tcp_stream stream, std::shared_ptr<ConnectionSlot> slot)
        : server_(server), ws_(std::move(stream)), slot_(std::move(slot)) {}

    ~WsSession() override {
        for (const std::string& camera : watching_) {
            Leave(camera);
            if (Camera* cam = server_.service.Find(camera)) cam->Unwatch();
        }
        server_.viewers.fetch_sub(1);
    }

    void Run(http::request<http::string_body> request) {
        server_.viewers.fetch_add(1);
        server_.sessions.insert(weak_from_this());
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts =
            websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = std::chrono::milliseconds(server_.options.idle_timeout_ms);
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.read_message_max(kMaxMessageBytes);
        // Each frame leaves as one WebSocket frame in one write: cut into write-buffer-sized
        // pieces it would cost every viewer a system call (and a segment) per piece.
        ws_.auto_fragment(false);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "quorlina"); }));
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
            if (ec) return;
            self->open_ = true;
            self->Read();
        });
    }

    // ViewerOps: on the I/O thread.
    bool Watch(const std::string& camera) override {
        if (!watching_.insert(camera).second) return false;
        server_.watchers[camera].insert(this);
        // The picture as it is now, without waiting for the next change.
        if (Camera* cam = server_.service.Find(camera))
            if (FramePtr frame = cam->LastFrame()) OfferFrame(camera, frame);
        return true;
    }
    bool Unwatch(const std::string& camera) override {
        if (watching_.erase(camera) == 0) return false;
        Leave(camera);
        return true;
    }

    // Viewer
    void OfferFrame(const std::string& camera, const FramePtr& frame) override {
        if (!open_) return;
        FramePtr& slot = pending_frames_[camera];
        if (slot != nullptr) server_.frames_replaced.fetch_add(1);
        slot = frame;
        Write();
    }
    void OfferText(const std::string&, const std::string& text) override { SendText(text); }
    void Close() override {
        if (!open_) {
            beast::get_lowest_layer(ws_).close();
            return;
        }
        open_ = false;
        ws_.async_close(websocket::close_code::going_away,
                        [self = shared_from_this()](beast::error_code) {});
    }

  private:
    // The hub stops offering this camera's frames; the camera's viewer count is the caller's.
    void Leave(const std::string& camera) {
        auto it = server_.watchers.find(camera);
        if (it != server_.watchers.end()) it->second.erase(this);
        pending_frames_.erase(camera);
    }

    void Read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                self->open_ = false;
                return;
            }
            if (!self->ws_.got_text()) {
                self->buffer_.consume(self->buffer_.size());
                self->SendText(ReplyText(nullptr, 400, {{"error", "send text messages (JSON)"}}));
                return self->Read();
            }
            std::string text = beast::buffers_to_string(self->buffer_.data());
            self->buffer_.consume(self->buffer_.size());
            std::weak_ptr<WsSession> weak = self;
            self->server_.service.HandleMessage(text, *self, [weak](std::string reply) {
                if (auto s = weak.lock()) s->SendText(std::move(reply));
            });
            self->Read();
        });
    }

    void SendText(std::string text) {
        if (!open_) return;
        if (texts_.size() >= kMaxQueuedTexts) {
            Close();  // the page reads nothing: let it go rather than grow
            return;
        }
        texts_.push_back(std::make_shared<const std::string>(std::move(text)));
        Write();
    }

    void Write() {
        if (writing_ || !open_) return;
        if (!texts_.empty()) {
            auto text = texts_.front();
            texts_.pop_front();
            writing_ = true;
            ws_.text(true);
            ws_.async_write(net::buffer(*text),
                            [self = shared_from_this(), text](beast::error_code ec, std::size_t) {
                                self->Wrote(ec, false);
                            });
            return;
        }
        // Frames: the camera after the one written last, so that none starves the others.
        if (pending_frames_.empty()) return;
        auto it = pending_frames_.upper_bound(last_camera_);
        if (it == pending_frames_.end()) it = pending_frames_.begin();
        FramePtr frame = std::move(it->second);
        last_camera_ = it->first;
        pending_frames_.erase(it);
        writing_ = true;
        ws_.binary(true);
        ws_.async_write(net::buffer(frame->bytes),
                        [self = shared_from_this(), frame](beast::error_code ec, std::size_t) {
                            self->Wrote(ec, true);
                        });
    }

    void Wrote(beast::error_code ec, bool frame) {
        writing_ = false;
        if (ec) {
            open_ = false;
            return;
        }
        if (frame) server_.frames_sent.fetch_add(1);
        Write();
    }

    Server::Impl& server_;
    websocket::stream<beast::tcp_stream> ws_;
    std::shared_ptr<ConnectionSlot> slot_;
    beast::flat_buffer buffer_;
    bool open_ = false;
    bool writing_ = false;
    std::set<std::string> watching_;
    std::map<std::string, FramePtr> pending_frames_;
    std::string last_camera_;
    std::deque<std::shared_ptr<const std::string>> texts_;
};

// ---------------------------------------------------------------- multipart stream

class StreamSession : public Viewer, public std::enable_shared_from_this<StreamSession> {
  public:
    StreamSession(Server::Impl& server, beast::tcp_stream stream, std::string camera,
                  std::shared_ptr<ConnectionSlot> slot)
        : server_(server),
          stream_(std::move(stream)),
          camera_(std::move(camera)),
          slot_(std::move(slot)) {}

    ~StreamSession() override {
        auto it = server_.watchers.find(camera_);
        if (it != server_.watchers.end()) it->second.erase(this);
        if (Camera* cam = server_.service.Find(camera_)) cam->Unwatch();
        server_.viewers.fetch_sub(1);
    }

    void Run() {
        server_.viewers.fetch_add(1);
        server_.sessions.insert(weak_from_this());
        server_.watchers[camera_].insert(this);
        if (Camera* cam = server_.service.Find(camera_)) {
            cam->Watch();
            pending_ = cam->LastFrame();
        }
        head_ =
            std::string("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=") +
            kBoundary +
            "\r\nCache-Control: no-store\r\nPragma: no-cache\r\nConnection: close\r\n"
            "Server: quorlina\r\n\r\n";
        writing_ = true;
        stream_.expires_after(std::chrono::milliseconds(server_.options.idle_timeout_ms));
        net::async_write(stream_, net::buffer(head_),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->Wrote(ec, false);
                         });
        WatchForClose();
    }

    void OfferFrame(const std::string&, const FramePtr& frame) override {
        if (closed_) return;
        if (pending_ != nullptr) server_.frames_replaced.fetch_add(1);
        pending_ = frame;
        Write();
    }
    void OfferText(const std::string&, const std::string&) override {}
    void Close() override {
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

  private:
    // The viewer sends nothing more; a read that ends means it has gone.
    void WatchForClose() {
        stream_.socket().async_read_some(
            net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
                if (ec) {
                    if (!self->closed_) self->Close();
                    return;
                }
                self->WatchForClose();
            });
    }

    void Write() {
        if (writing_ || closed_ || pending_ == nullptr) return;
        FramePtr frame = std::move(pending_);
        const std::string_view jpeg = frame->Jpeg();
        part_head_ =
            std::string("--") + kBoundary +
            "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
            "\r\n\r\n";
        const std::array<net::const_buffer, 3> buffers{
            net::buffer(part_head_), net::buffer(jpeg.data(), jpeg.size()), net::buffer("\r\n", 2)};
        writing_ = true;
        stream_.expires_after(std::chrono::milliseconds(server_.options.idle_timeout_ms));
        net::async_write(stream_, buffers,
                         [self = shared_from_this(), frame](beast::error_code ec, std::size_t) {
                             self->Wrote(ec, true);
                         });
    }

    void Wrote(beast::error_code ec, bool frame) {
        writing_ = false;
        if (ec) {
            if (!closed_) Close();
            return;
        }
        if (frame) server_.frames_sent.fetch_add(1);
        Write();
    }

    Server::Impl& server_;
    beast::tcp_stream stream_;
    std::string camera_;
    std::shared_ptr<ConnectionSlot> slot_;
    std::string head_;
    std::string part_head_;
    FramePtr pending_;
    bool writing_ = false;
    bool closed_ = false;
    char sink_[256];
};

// ---------------------------------------------------------------- HTTP

class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(Server::Impl& server, tcp::socket socket, std::shared_ptr<ConnectionSlot> slot)
        : server_(server), stream_(std::move(socket)), slot_(std::move(slot)) {}

    void Read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(kMaxHeadBytes));
        parser_->body_limit(kMaxBodyBytes);
        stream_.expires_after(std::chrono::milliseconds(server_.options.idle_timeout_ms));
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
    }

  private:
    void OnRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset ||
            ec == net::error::eof) {
            return Shut();
        }
        if (ec == http::error::header_limit)
            return Send(ErrorResponse(413, "request head larger than " +
                                               std::to_string(kMaxHeadBytes) + " bytes"),
                        true, 11);
        if (ec == http::error::body_limit)
            return Send(ErrorResponse(413, "request body larger than " +
                                               std::to_string(kMaxBodyBytes) + " bytes"),
                        true, 11);
        if (ec)
            return Send(ErrorResponse(400, std::string("malformed request: ") + ec.message()), true,
                        11);
        request_ = parser_->release();
        const unsigned version = request_.version();
        const bool keep_alive = request_.keep_alive();
        server_.service.HandleHttp(ToRequest(request_),
                                   [self = shared_from_this(), version, keep_alive](Routed routed) {
                                       self->OnRouted(std::move(routed), version, keep_alive);
                                   });
    }

    void OnRouted(Routed routed, unsigned version, bool keep_alive) {
        if (routed.action == Action::kWebSocket) {
            std::make_shared<WsSession>(server_, std::move(stream_), std::move(slot_))
                ->Run(std::move(request_));
            return;
        }
        if (routed.action == Action::kStream) {
            std::make_shared<StreamSession>(server_, std::move(stream_), routed.camera,
                                            std::move(slot_))
                ->Run();
            return;
        }
        Send(std::move(routed.response), routed.close || !keep_alive, version);
    }

    void Send(Response r, bool close, unsigned version) {
        auto res = std::make_shared<http::response<http::string_body>>();
        res->version(version);
        res->result(static_cast<unsigned>(r.status));
        res->reason(Reason(r.status));
        res->set(http::field::server, "quorlina");
        res->set(http::field::content_type, r.content_type);
        res->set(http::field::cache_control, "no-store");
        res->set("X-Content-Type-Options", "nosniff");
        res->set("X-Frame-Options", "DENY");
        for (const auto& [name, value] : r.headers) res->insert(name, value);
        res->body() = std::move(r.body);
        res->keep_alive(!close);
        res->prepare_payload();
        http::async_write(
            stream_, *res,
            [self = shared_from_this(), res, close](beast::error_code ec, std::size_t) {
                if (ec || close) return self->Shut();
                self->Read();
            });
    }

    void Shut() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    Server::Impl& server_;
    beast::tcp_stream stream_;
    std::shared_ptr<ConnectionSlot> slot_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::request<http::string_body> request_;
};

}  // namespace

void Server::Impl::Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
            return Accept();
        }
        if (connections.load() >= options.max_connections) {
            // Over the limit: a short answer, then the connection goes.
            static const std::string kBusy =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                "Content-Length: 37\r\nConnection: close\r\n\r\n{\"error\": \"too many connections "
                "open\"}";
            auto s = std::make_shared<tcp::socket>(std::move(socket));
            net::async_write(*s, net::buffer(kBusy), [s](beast::error_code, std::size_t) {
                beast::error_code ignored;
                s->shutdown(tcp::socket::shutdown_both, ignored);
                s->close(ignored);
            });
            return Accept();
        }
        // Frames go out as soon as they are written: without this a frame's last segment can
        // wait for the viewer's delayed acknowledgement of the one before (tens of ms).
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto slot = std::make_shared<ConnectionSlot>(connections);
        std::make_shared<HttpSession>(*this, std::move(socket), std::move(slot))->Read();
        Accept();
    });
}

Server::Server(Service& service, ServerOptions options)
    : impl_(std::make_unique<Impl>(service, std::move(options))) {}

Server::~Server() {
    Stop();
}

bool Server::Start(std::string* error) {
    Impl& s = *impl_;
    beast::error_code ec;
    const net::ip::address address = net::ip::make_address(s.options.host, ec);
    tcp::endpoint endpoint;
    if (ec) {
        tcp::resolver resolver(s.ioc);
        auto results = resolver.resolve(s.options.host, std::to_string(s.options.port), ec);
        if (ec || results.empty()) {
            *error = "cannot resolve " + s.options.host + ": " + ec.message();
            return false;
        }
        endpoint = results.begin()->endpoint();
    } else {
        endpoint = tcp::endpoint(address, static_cast<unsigned short>(s.options.port));
    }
    const std::string where = s.options.host + ":" + std::to_string(s.options.port);
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) s.acceptor.bind(endpoint, ec);
    if (!ec) s.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        *error = "cannot listen on " + where + ": " + ec.message();
        s.acceptor.close(ec);
        return false;
    }
    auto poster = [&s](std::function<void()> fn) { net::post(s.ioc, std::move(fn)); };
    auto frame_sink = [&s](const std::string& camera, const FramePtr& frame) {
        net::post(s.ioc, [&s, camera, frame] {
            auto it = s.watchers.find(camera);
            if (it == s.watchers.end()) return;
            for (Viewer* v : std::vector<Viewer*>(it->second.begin(), it->second.end()))
                v->OfferFrame(camera, frame);
        });
    };
    auto event_sink = [&s](const std::string& camera, std::string text) {
        net::post(s.ioc, [&s, camera, text = std::move(text)] {
            auto it = s.watchers.find(camera);
            if (it == s.watchers.end()) return;
            for (Viewer* v : std::vector<Viewer*>(it->second.begin(), it->second.end()))
                v->OfferText(camera, text);
        });
    };
    if (!s.service.Start(poster, frame_sink, event_sink, error)) {
        s.acceptor.close(ec);
        return false;
    }
    s.Accept();
    s.running = true;
    s.thread = std::thread([&s] { s.ioc.run(); });
    return true;
}

int Server::Port() const {
    beast::error_code ec;
    const tcp::endpoint e = impl_->acceptor.local_endpoint(ec);
    return ec ? -1 : e.port();
}

void Server::Stop() {
    Impl& s = *impl_;
    if (s.stopped) return;
    s.stopped = true;
    if (s.running) {
        // Close the door and every connection on the I/O thread, then let it finish.
        std::promise<void> closed;
        net::post(s.ioc, [&s, &closed] {
            beast::error_code ignored;
            s.acceptor.close(ignored);
            for (const auto& weak : s.sessions)
                if (auto v = weak.lock()) v->Close();
            s.sessions.clear();
            closed.set_value();
        });
        closed.get_future().wait_for(std::chrono::milliseconds(kStopWaitMs));
    }
    s.service.Shutdown();
    s.ioc.stop();
    if (s.thread.joinable()) s.thread.join();
    s.running = false;
}

ServerCounters Server::Counters() const {
    ServerCounters c;
    c.connections = impl_->connections.load();
    c.viewers = impl_->viewers.load();
    c.frames_sent = impl_->frames_sent.load();
    c.frames_replaced = impl_->frames_replaced.load();
    return c;
}

}  // namespace web
