// The serve configuration: the example in the repository reads as documented, every fault names
// the field's path, and `quorlina serve` exits 2 on one; targets are shown without credentials.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "web/config.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ServeConfig, TheExampleReadsWithEveryField) {
    web::ServeConfig c;
    std::string error;
    ASSERT_TRUE(web::ParseServeConfig(
        ReadFile(std::string(QUORLINA_SOURCE_DIR) + "/examples/cameras.json"), &c, &error))
        << error;
    EXPECT_EQ(c.listen_host, "127.0.0.1");
    EXPECT_EQ(c.port, 8080);
    EXPECT_TRUE(c.token.empty());
    ASSERT_EQ(c.cameras.size(), 2u);
    const web::CameraConfig& front = c.cameras[0];
    EXPECT_EQ(front.preview_width, 640);
    EXPECT_EQ(front.preview_height, 480);
    EXPECT_EQ(front.background, 0x202020u);
    EXPECT_EQ(front.timeout, 10);
    EXPECT_EQ(front.play, web::PlayPolicy::kWatched);
    const web::CameraConfig& yard = c.cameras[1];
    EXPECT_EQ(yard.play, web::PlayPolicy::kAlways);
    EXPECT_EQ(yard.quality, web::kDefaultQuality);
    EXPECT_EQ(yard.background, web::kDefaultBackground);
    EXPECT_EQ(yard.allow, std::vector<std::string>{"192.168.1.22:8481"});
}

TEST(ServeConfig, EachFaultNamesItsPath) {
    struct Row {
        const char* text;
        const char* error;
    };
    const Row rows[] = {
        {R"({"cameras": [{"name": "a", "target": "h"}, {"name": "b", "target": "h"},
                         {"name": "c", "target": "h", "zoom": 0}]})",
         "cameras[2].zoom: 0 is outside 1..8"},
        {R"({"cameras": [{"name": "a", "target": "h", "zom": 2}]})", "cameras[0]"},
        {R"({"cameras": [{"name": "a b", "target": "h"}]})", "cameras[0].name"},
        {R"({"cameras": [{"name": "a", "target": "h"}, {"name": "a", "target": "h"}]})",
         "cameras[1].name: \"a\" is used by an earlier camera"},
        {R"({"cameras": [{"name": "a"}]})", "cameras[0].target: missing"},
        {R"({"cameras": [{"name": "a", "target": "h", "preview": "640"}]})", "cameras[0].preview"},
        {R"({"cameras": [{"name": "a", "target": "h", "play": "sometimes"}]})",
         "cameras[0].play"},
        {R"({"cameras": [{"name": "a", "target": "h", "background": "red"}]})",
         "cameras[0].background"},
        {R"({"cameras": [{"name": "a", "target": "h", "allow": [""]}]})", "cameras[0].allow[0]"},
        {R"({"cameras": [{"name": "a", "target": "h", "password": "far-too-long"}]})",
         "cameras[0].password"},
        {R"({"listen": "8080", "cameras": [{"name": "a", "target": "h"}]})", "listen"},
        {R"({"token": "short", "cameras": [{"name": "a", "target": "h"}]})", "token"},
        {R"({"cameras": []})", "cameras: empty"},
        {R"({"cameras": [{"name": "a", "target": "h"}]} x)", "not valid JSON"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        web::ServeConfig c;
        std::string error;
        EXPECT_FALSE(web::ParseServeConfig(row.text, &c, &error));
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << error;
    }
}

TEST(ServeConfig, ServeExitsTwoNamingTheField) {
    char path[] = "/tmp/quorlina-config-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = R"({"cameras": [{"name": "a", "target": "h", "depth": 7}]})";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    const std::string command = std::string(QUORLINA_BIN_DIR) + "/quorlina serve --config " +
                                path + " --listen 127.0.0.1:0 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    const int status = ::pclose(p);
    ::unlink(path);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status << " " << out;
    EXPECT_NE(out.find("cameras[0].depth"), std::string::npos) << out;
}

TEST(ServeConfig, TargetsAreShownWithoutCredentials) {
    EXPECT_EQ(web::TargetWithoutCredentials("http://root:pw@10.0.0.5:8080/x@y"),
              "http://10.0.0.5:8080/x@y");
    EXPECT_EQ(web::TargetWithoutCredentials("user:p@ss@10.0.0.5:8481"), "10.0.0.5:8481");
    EXPECT_EQ(web::TargetWithoutCredentials("http://10.0.0.5/"), "http://10.0.0.5/");
    std::string host;
    int port = 0;
    EXPECT_TRUE(web::ParseListen("[::1]:9000", &host, &port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 9000);
    EXPECT_FALSE(web::ParseListen("127.0.0.1:70000", &host, &port));
    EXPECT_FALSE(web::ParseListen("127.0.0.1/x:80", &host, &port));
}

}  // namespace
