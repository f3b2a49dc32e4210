// `quorlina serve` behind a real nginx on 127.0.0.1, configured with the example's locations at
// the root and, as for several servers behind one nginx, under a path prefix: the page, the API,
// the multipart stream and the WebSocket through the proxy, the origin check still holding, and
// the token's cookie scoped to the prefix.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/web_server_fixture.h"

extern char** environ;

namespace {

using nlohmann::json;
using testsupport::HttpExchange;
using testsupport::HttpReply;
using testsupport::kWebToken;
using testsupport::RawExchange;
using testsupport::WsClient;
using testsupport::WsMessage;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kNginx = "/usr/sbin/nginx";

// A port nobody listens on right now (the kernel's choice for a socket bound to port 0).
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

class BehindNginx : public testsupport::WebServerTest {
  protected:
    void SetUp() override {
        if (::access(kNginx, X_OK) != 0) GTEST_SKIP() << kNginx << " is not installed";
        StartServer();
        char pattern[] = "/tmp/quorlina-nginx-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        nginx_port_ = FreePort();
        const std::string d = dir_.string();
        std::ofstream conf(dir_ / "nginx.conf");
        conf << "daemon off;\nmaster_process off;\npid " << d << "/nginx.pid;\n"
             << "error_log " << d << "/error.log warn;\nevents {}\nhttp {\n"
             << "  access_log off;\n"
             << "  client_body_temp_path " << d << "/body;\n"
             << "  proxy_temp_path " << d << "/proxy;\n"
             << "  fastcgi_temp_path " << d << "/fastcgi;\n"
             << "  uwsgi_temp_path " << d << "/uwsgi;\n"
             << "  scgi_temp_path " << d << "/scgi;\n"
             << "  upstream quorlina { server 127.0.0.1:" << port_ << "; }\n"
             << "  server {\n    listen 127.0.0.1:" << nginx_port_ << ";\n"
             << "    include " << QUORLINA_SOURCE_DIR << "/examples/nginx/quorlina-locations.conf;\n"
             // One server of several, routed by its path; the prefix is stripped on the way in.
             << "    location /north/ {\n"
             << "      proxy_pass http://quorlina/;\n"
             << "      proxy_http_version 1.1;\n"
             << "      proxy_set_header Upgrade $http_upgrade;\n"
             << "      proxy_set_header Connection $http_connection;\n"
             << "      proxy_set_header Host $http_host;\n"
             << "      proxy_set_header X-Forwarded-Prefix /north;\n"
             << "      proxy_buffering off;\n"
             << "      client_max_body_size 64k;\n"
             << "    }\n  }\n}\n";
        conf.close();
        const std::string conf_path = d + "/nginx.conf";
        const char* argv[] = {kNginx, "-p", d.c_str(), "-c", conf_path.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (d + "/stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&nginx_, kNginx, &actions, nullptr, const_cast<char**>(argv), environ),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        // Ready once it answers.
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end && Via("GET", "/api/cameras").status == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_NE(Via("GET", "/api/cameras").status, 0) << Log();
    }

    void TearDown() override {
        if (nginx_ > 0) {
            ::kill(nginx_, SIGQUIT);
            int status = 0;
            const auto end = Clock::now() + std::chrono::seconds(5);
            while (::waitpid(nginx_, &status, WNOHANG) == 0) {
                if (Clock::now() > end) {
                    ::kill(nginx_, SIGKILL);
                    ::waitpid(nginx_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        WebServerTest::TearDown();
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    HttpReply Via(const std::string& method, const std::string& target,
                  const std::string& body = "", bool bearer = true) {
        std::vector<std::pair<std::string, std::string>> headers;
        if (bearer) headers.emplace_back("Authorization", std::string("Bearer ") + kWebToken);
        return HttpExchange(nginx_port_, method, target, headers, body);
    }

    std::string Log() {
        std::ifstream in(dir_ / "error.log");
        std::ifstream err(dir_ / "stderr");
        return std::string(std::istreambuf_iterator<char>(in), {}) +
               std::string(std::istreambuf_iterator<char>(err), {});
    }

    std::string NginxOrigin() const { return "http://127.0.0.1:" + std::to_string(nginx_port_); }

    fs::path dir_;
    int nginx_port_ = 0;
    pid_t nginx_ = 0;
};

TEST_F(BehindNginx, PageApiAndPutsPassThrough) {
    for (const std::string prefix : {"", "/north"}) {
        SCOPED_TRACE(prefix.empty() ? "at the root" : prefix);
        HttpReply page = Via("GET", prefix + "/");
        EXPECT_EQ(page.status, 200);
        EXPECT_NE(page.body.find("<html"), std::string::npos);
        EXPECT_EQ(Via("GET", prefix + "/quorlina.js").status, 200);
        EXPECT_EQ(Via("GET", prefix + "/", "", /*bearer=*/false).status, 401);

        HttpReply cameras = Via("GET", prefix + "/api/cameras");
        ASSERT_EQ(cameras.status, 200) << cameras.body;
        EXPECT_EQ(json::parse(cameras.body).size(), 2u);
        HttpReply put = Via("PUT", prefix + "/api/cameras/front/properties/PanSingleMoveDegree",
                            prefix.empty() ? "3" : "5");
        EXPECT_EQ(put.status, 200) << put.body;
        EXPECT_EQ(json::parse(put.body)["value"], prefix.empty() ? 3 : 5);
        // More than 64 KB is refused by nginx itself, as the server would (a server that answers
        // before the body is read would otherwise meet the proxy still sending it).
        EXPECT_EQ(Via("PUT", prefix + "/api/cameras/front/properties/PanSingleMoveDegree",
                      std::string(70 * 1024, '1'))
                      .status,
                  413);
    }
}

TEST_F(BehindNginx, TheTokensCookieIsScopedToThePathTheProxyServes) {
    HttpReply root = Via("GET", std::string("/?token=") + kWebToken, "", false);
    EXPECT_EQ(root.status, 303);
    const std::string& cookie = root.headers["set-cookie"];
    EXPECT_EQ(cookie.substr(cookie.rfind("Path=")), "Path=/") << cookie;
    HttpReply north = Via("GET", std::string("/north/?token=") + kWebToken, "", false);
    EXPECT_EQ(north.status, 303);
    EXPECT_NE(north.headers["set-cookie"].find("Path=/north"), std::string::npos)
        << north.headers["set-cookie"];
    EXPECT_EQ(north.headers["location"], "./");
}

TEST_F(BehindNginx, TheStreamFlowsPartByPart) {
    for (const std::string prefix : {"", "/north"}) {
        SCOPED_TRACE(prefix.empty() ? "at the root" : prefix);
        const std::string got = RawExchange(
            nginx_port_,
            "GET " + prefix + "/cameras/back/stream.mjpg?token=" + kWebToken +
                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(nginx_port_) + "\r\n\r\n",
            3000);
        EXPECT_NE(got.find("multipart/x-mixed-replace"), std::string::npos) << got.substr(0, 300);
        // The stream never ends; unbuffered, several parts arrive within the wait.
        std::size_t parts = 0;
        for (std::size_t at = got.find("Content-Type: image/jpeg"); at != std::string::npos;
             at = got.find("Content-Type: image/jpeg", at + 1))
            ++parts;
        EXPECT_GE(parts, 2u);
    }
}

TEST_F(BehindNginx, TheWebSocketPassesAndTheOriginCheckStillHolds) {
    for (const std::string prefix : {"", "/north"}) {
        SCOPED_TRACE(prefix.empty() ? "at the root" : prefix);
        const std::string cookie = std::string(web::kTokenCookie) + "=" + kWebToken;
        WsClient ws;
        int status = 0;
        ASSERT_TRUE(ws.Connect(nginx_port_, prefix + "/ws",
                               {{"Cookie", cookie}, {"Origin", NginxOrigin()}}, &status))
            << status << Log();
        ASSERT_TRUE(ws.SendText(R"({"id": 7, "op": "watch", "camera": "back"})"));
        // The reply (events of the now watched camera may come first).
        json reply = json::object();
        for (int i = 0; i < 50 && reply.value("id", json()) != 7; ++i) {
            std::string text;
            ASSERT_TRUE(ws.ReceiveText(&text));
            reply = json::parse(text);
        }
        EXPECT_EQ(reply["status"], 200);
        int frames = 0;
        WsMessage m;
        for (int i = 0; i < 20 && frames < 2 && ws.Receive(&m); ++i)
            if (m.binary) ++frames;
        EXPECT_EQ(frames, 2);

        // Another site's page, with the user's cookie, through the same proxy.
        WsClient foreign;
        EXPECT_FALSE(foreign.Connect(nginx_port_, prefix + "/ws",
                                     {{"Cookie", cookie}, {"Origin", "http://evil.example"}},
                                     &status));
        EXPECT_EQ(status, 403);
    }
}

}  // namespace
