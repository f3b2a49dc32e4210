// A `quorlina serve` in the test process: two simulated cameras (HTTP and native) and a server
// with a known token on a free port of 127.0.0.1. Header-only: only the web tests, which link
// the web library, include it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "apps/camera/camera.h"
#include "support/web_client.h"
#include "web/server.h"
#include "web/service.h"

namespace testsupport {

inline constexpr const char* kWebToken = "test-token-0123456789abcdef";

class WebServerTest : public ::testing::Test {
  protected:
    // Cameras "front" (HTTP; its own port under allow as a second target spelling) and "back"
    // (native). Both "watched" unless `always`.
    // fps: the HTTP camera's frame rate (0: as fast as the control takes frames).
    void StartServer(bool always = false, int max_connections = 64, int fps = 10) {
        camera::CameraConfig http;
        http.http_port = 0;
        http.fps = fps;
        http_camera_ = std::make_unique<camera::Camera>(http);
        std::string error;
        ASSERT_TRUE(http_camera_->Start(&error)) << error;
        camera::CameraConfig native;
        native.native_port = 0;
        native_camera_ = std::make_unique<camera::Camera>(native);
        ASSERT_TRUE(native_camera_->Start(&error)) << error;

        web::ServiceOptions options;
        options.config.token = kWebToken;
        web::CameraConfig front;
        front.name = "front";
        front.target = "http://127.0.0.1:" + std::to_string(http_camera_->HttpPort());
        front.allow = {"127.0.0.1:" + std::to_string(http_camera_->HttpPort())};
        front.play = always ? web::PlayPolicy::kAlways : web::PlayPolicy::kWatched;
        web::CameraConfig back;
        back.name = "back";
        back.target = "127.0.0.1:" + std::to_string(native_camera_->NativePort());
        back.play = front.play;
        options.config.cameras = {front, back};
        service_ = std::make_unique<web::Service>(options);
        web::ServerOptions server_options;
        server_options.port = 0;
        server_options.max_connections = max_connections;
        server_ = std::make_unique<web::Server>(*service_, server_options);
        ASSERT_TRUE(server_->Start(&error)) << error;
        port_ = server_->Port();
    }

    void TearDown() override {
        if (server_) server_->Stop();
        server_.reset();
        service_.reset();
        if (http_camera_) http_camera_->Stop();
        if (native_camera_) native_camera_->Stop();
    }

    HttpReply Api(const std::string& method, const std::string& target,
                  const std::string& body = "") {
        return HttpExchange(port_, method, target,
                            {{"Authorization", std::string("Bearer ") + kWebToken}}, body);
    }

    // A WebSocket with the token's cookie and the server's own origin.
    bool OpenSocket(WsClient* ws, int* status) {
        return ws->Connect(port_, "/ws",
                           {{"Cookie", std::string(web::kTokenCookie) + "=" + kWebToken},
                            {"Origin", "http://127.0.0.1:" + std::to_string(port_)}},
                           status);
    }

    std::unique_ptr<camera::Camera> http_camera_;
    std::unique_ptr<camera::Camera> native_camera_;
    std::unique_ptr<web::Service> service_;
    std::unique_ptr<web::Server> server_;
    int port_ = 0;
};

}  // namespace testsupport
