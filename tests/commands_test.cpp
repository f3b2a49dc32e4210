// HTTP command requests: reply handling over a scripted byte source and over loopback peers, the
// setters' accessor pattern with its 200 ms minimum, back-to-back commands against a fake device
// that records every request, the status read, and the native device's silence.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "commands/command_bodies.h"
#include "commands/command_reply.h"
#include "commands/http_command.h"
#include "control/members.h"
#include "control/quorlina.h"
#include "platform/kernel.h"
#include "support/loopback_peer.h"

using namespace commands;
using test_support::LoopbackPeer;

namespace {

// ---- a byte source that hands out scripted chunks ----

// Each receive call takes from the front chunk only, as a socket hands out what one segment
// brought; an exhausted script reads as a silent peer.
class ChunkSource : public ReplySource {
  public:
    explicit ChunkSource(std::vector<std::string> chunks) : chunks_(chunks.begin(), chunks.end()) {}
    int ReceiveAll(void* buffer, int length, int) override {
        int got = 0;
        while (got < length && !chunks_.empty())
            got += Take(static_cast<char*>(buffer) + got, length - got);
        return got;
    }
    int ReceiveUntilBlankLine(char* buffer, int max_bytes, int) override {
        std::memset(buffer, 0, static_cast<std::size_t>(max_bytes) + 1);
        int got = 0;
        while (got < max_bytes && !chunks_.empty()) {
            got += Take(buffer + got, 1);
            if (std::strstr(buffer, "\r\n\r\n") != nullptr) break;
        }
        return got;
    }

  private:
    int Take(char* out, int length) {
        std::string& front = chunks_.front();
        const int n = std::min<int>(length, static_cast<int>(front.size()));
        std::memcpy(out, front.data(), static_cast<std::size_t>(n));
        front.erase(0, static_cast<std::size_t>(n));
        if (front.empty()) chunks_.pop_front();
        return n;
    }
    std::deque<std::string> chunks_;
};

// ---- the control under test ----

struct ControlPtr {
    control::CQuorlina* c = new control::CQuorlina();
    explicit ControlPtr(int port, std::int32_t mode = control::kStreamHttp) {
        c->StreamMode = mode;
        c->RemotePort = port;
        c->Timeout = 1;
    }
    ~ControlPtr() { c->Destroy(); }
    control::CQuorlina* operator->() { return c; }
};

// Waits until CommandStatus leaves -1; returns what it became.
std::int32_t AwaitStatus(control::ControlState& c, int timeout_ms = 3000) {
    for (int waited = 0; waited < timeout_ms && c.CommandStatus.load() == kCommandPending;
         waited += 5)
        platform::Sleep(5);
    return c.CommandStatus.load();
}

void AwaitThreads(int count) {
    for (int i = 0; i < 600 && platform::LiveThreadCount() > count; ++i) platform::Sleep(5);
}

std::string PostOf(const std::string& path, const std::string& body) {
    RequestSettings s;
    s.host = "127.0.0.1";
    return BuildPostRequest(s, path, body);
}

// ---- a device that takes any number of requests and records them ----

struct Recorded {
    std::string method, path, body;
    bool operator<(const Recorded& o) const {
        return std::tie(method, path, body) < std::tie(o.method, o.path, o.body);
    }
    bool operator==(const Recorded&) const = default;
};

void PrintTo(const Recorded& r, std::ostream* os) {
    *os << r.method << " " << r.path << " [" << r.body << "]";
}

// Serves connections one after another on 127.0.0.1: reads a request (head and the body its
// Content-Length announces), waits reply_delay_ms, answers with reply(request), closes. Stops by
// itself after kMaxLifetimeMs or kMaxConnections.
class FakeDevice {
  public:
    static constexpr int kMaxLifetimeMs = 10000;
    static constexpr int kMaxConnections = 40;

    explicit FakeDevice(std::function<std::string(const Recorded&)> reply, int reply_delay_ms = 0)
        : reply_(std::move(reply)), delay_ms_(reply_delay_ms) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 16) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeDevice() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    std::vector<Recorded> Requests() const {
        std::lock_guard<std::mutex> g(lock_);
        return requests_;
    }
    std::vector<std::string> Raw() const {
        std::lock_guard<std::mutex> g(lock_);
        return raw_;
    }
    // Waits until `count` requests have been answered.
    bool AwaitRequests(std::size_t count, int timeout_ms = 5000) const {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            if (answered_.load() >= count) return true;
            platform::Sleep(5);
        }
        return false;
    }

  private:
    void Run() {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxLifetimeMs);
        for (int served = 0;
             !stop_ && served < kMaxConnections && std::chrono::steady_clock::now() < end;) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            ++served;
            Serve(conn);
            ::close(conn);
        }
    }
    bool ReadSome(int conn, std::string& into) {
        pollfd p = {conn, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) return false;
        char chunk[4096];
        const ssize_t n = ::recv(conn, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        into.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    void Serve(int conn) {
        std::string in;
        while (in.find("\r\n\r\n") == std::string::npos)
            if (!ReadSome(conn, in)) return;
        const std::size_t head_end = in.find("\r\n\r\n") + 4;
        std::size_t length = 0;
        const std::size_t key = in.find("Content-Length: ");
        if (key != std::string::npos && key < head_end) length = std::stoul(in.substr(key + 16));
        while (in.size() < head_end + length)
            if (!ReadSome(conn, in)) return;
        Recorded r;
        r.method = in.substr(0, in.find(' '));
        const std::size_t path_start = in.find(' ') + 1;
        r.path = in.substr(path_start, in.find(' ', path_start) - path_start);
        r.body = in.substr(head_end, length);
        {
            std::lock_guard<std::mutex> g(lock_);
            requests_.push_back(r);
            raw_.push_back(in);
        }
        if (delay_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
        const std::string out = reply_(r);
        ::send(conn, out.data(), out.size(), MSG_NOSIGNAL);
        ++answered_;
    }

    std::function<std::string(const Recorded&)> reply_;
    int delay_ms_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> answered_{0};
    mutable std::mutex lock_;
    std::vector<Recorded> requests_;
    std::vector<std::string> raw_;
    std::thread thread_;
};

std::string Ok(const Recorded&) {
    return "HTTP/1.0 200 OK\r\n\r\n";
}

constexpr const char* kStatusBody =
    "Trigger1=1&Trigger2=0&ImageUpload=1&ImageEmail=0&CurrentTime=2024-01-02 03:04:05";

std::string StatusReply(const Recorded& r) {
    if (r.method != "GET") return Ok(r);
    return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(std::strlen(kStatusBody)) + "\r\n\r\n" + kStatusBody;
}

}  // namespace

// ---- reply head and body over a scripted source ----

TEST(CommandReplyHead, StatusAndBlankLineDecideTheOutcome) {
    struct Row {
        const char* name;
        std::vector<std::string> chunks;
        std::int32_t code;
    };
    const Row rows[] = {
        {"200 passes", {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n"}, kReplyOk},
        {"204 passes the 20 test", {"HTTP/1.0 204 No Content\r\n\r\n"}, kReplyOk},
        {"prefix arriving in pieces", {"HTTP/1", ".0 20", "0 OK\r\n", "\r\n"}, kReplyOk},
        {"whole head inside the prefix", {"HTTP/1.0 204\r\n\r\n"}, kReplyOk},
        {"blank line straddles the prefix", {"HTTP/1.0 200 O\r\n", "\r\n"}, kReplyOk},
        {"500 is refused", {"HTTP/1.0 500 Internal Server Error\r\n\r\n"}, kCommandRefused},
        {"404 is refused", {"HTTP/1.0 404 Not Found\r\n\r\n"}, kCommandRefused},
        {"nothing at all", {}, kCommandNoReply},
        {"prefix cut short", {"HTTP/1.0 200"}, kCommandNoReply},
        {"nothing after the prefix", {"HTTP/1.0 200 OK\r"}, kCommandNoReply},
        {"head without blank line",
         {"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"},
         kCommandHeadUnended},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ChunkSource source(r.chunks);
        ReplyHead head;
        EXPECT_EQ(ReadReplyHead(source, 1, &head), r.code);
        if (r.code == kReplyOk) {
            EXPECT_EQ(head.received.size(), head.head_bytes);  // nothing read past the head
            EXPECT_EQ(head.received.substr(head.head_bytes - 4), "\r\n\r\n");
        }
    }
}

TEST(CommandReplyHead, HeadIsReadUpTo1024BytesAfterThePrefix) {
    const std::string prefix = "HTTP/1.0 200 OK\r";  // 16 bytes
    for (int rest : {1023, 1024, 1025}) {
        SCOPED_TRACE(rest);
        const std::string tail =
            "\n" + std::string(static_cast<std::size_t>(rest) - 5, 'x') + "\r\n\r\n";
        ChunkSource source({prefix + tail});
        ReplyHead head;
        EXPECT_EQ(ReadReplyHead(source, 1, &head), rest <= 1024 ? kReplyOk : kCommandHeadUnended);
    }
}

TEST(CommandReplyBody, LengthRulesAndTheBufferBound) {
    using namespace std::string_literals;
    const std::string big(12000, 'z');
    struct Row {
        const char* name;
        std::vector<std::string> chunks;
        std::int32_t code;
        std::string body;
    };
    const Row rows[] = {
        {"length with the head",
         {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
         kReplyOk,
         "hello"},
        {"remainder read later",
         {"HTTP/1.0 200 OK\r\nContent-length: 10\r\n\r\nabcd", "efghij"},
         kReplyOk,
         "abcdefghij"},
        {"upper-case name replaces lower",
         {"HTTP/1.0 200 OK\r\nContent-length: 3\r\nContent-Length: 5\r\n\r\nabcdefgh"},
         kReplyOk,
         "abcde"},
        {"extra bytes beyond the length",
         {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabcdef"},
         kReplyOk,
         "abc"},
        {"remainder comes short",
         {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabcd"},
         kReplyOk,
         "abcd"},
        {"remainder never comes",
         {"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n"},
         kCommandNoReply,
         ""},
        {"no length, body with the head", {"HTTP/1.0 200 OK\r\n\r\nabc"}, kReplyOk, "abc"},
        {"no length, body afterwards",
         {"HTTP/1.0 200 OK\r\n\r\n", std::string(2000, 'b')},
         kReplyOk,
         std::string(1024, 'b')},
        {"no length, no body", {"HTTP/1.0 200 OK\r\n\r\n"}, kReplyOk, ""},
        {"negative length counts as none",
         {"HTTP/1.0 200 OK\r\nContent-Length: -5\r\n\r\nabc"},
         kReplyOk,
         "abc"},
        {"long body cut at the buffer",
         {"HTTP/1.0 200 OK\r\nContent-Length: 12000\r\n\r\n", big},
         kReplyOk,
         big.substr(0, 9999)},
        {"long body with the head cut at the buffer",
         {"HTTP/1.0 200 OK\r\nContent-Length: 12000\r\n\r\n" + big},
         kReplyOk,
         big.substr(0, 9999)},
        {"a length in the body is not the head's",
         {"HTTP/1.0 200 OK\r\n\r\nContent-Length: 2\r\n"},
         kReplyOk,
         "Content-Length: 2\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ChunkSource source(r.chunks);
        ReplyHead head;
        ASSERT_EQ(ReadReplyHead(source, 1, &head), kReplyOk);
        std::string body = "stale";
        EXPECT_EQ(ReadGetBody(source, head, 1, &body), r.code);
        EXPECT_EQ(body, r.body);
    }
}

// ---- the request operations against loopback peers ----

TEST(HttpPostCommand, SendsTheRequestWholeAndTakesA204) {
    LoopbackPeer peer({LoopbackPeer::ReceiveUntil("\r\n\r\nImageUpload=1\r\n\r\n"),
                       LoopbackPeer::Send("HTTP/1.0 204 No Content\r\n\r\n")});
    ControlPtr c(peer.port());
    const CommandRequest request = MakeCommandRequest(kIoControlPath, ImageUploadBody(1));
    EXPECT_EQ(HttpPostCommand(*c.c, request), kRequestDone);
    EXPECT_EQ(c->CommandStatus.load(), kCommandPosted);
    ASSERT_TRUE(peer.WaitDone(2000));
    EXPECT_EQ(peer.Received(), PostOf(kIoControlPath, ImageUploadBody(1)));
}

// Each failure leaves its code; a 404 (a server without the device's command resources) also
// says so in CommandReason, and any later outcome clears it.
TEST(HttpPostCommand, FailuresLeaveTheirCode) {
    struct Row {
        const char* name;
        std::vector<test_support::PeerStep> script;
        std::int32_t code;
        const char* reason = "";
    };
    const Row rows[] = {
        {"500",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"), LoopbackPeer::Send("HTTP/1.0 500 Oops\r\n\r\n")},
         kCommandRefused},
        {"404 from a server of another kind",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")},
         kCommandRefused,
         kNoCommandResourcesReason},
        {"404 text in a 500's reason phrase is not a 404",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send("HTTP/1.0 500 404 x\r\n\r\n")},
         kCommandRefused},
        {"no reply",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"), LoopbackPeer::Close()},
         kCommandNoReply},
        {"head without blank line",
         {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
          LoopbackPeer::Send("HTTP/1.0 200 OK\r\nServer: x\r\n"), LoopbackPeer::Close()},
         kCommandHeadUnended},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LoopbackPeer peer(r.script);
        ControlPtr c(peer.port());
        c->CommandReason.Set("left over");
        EXPECT_EQ(HttpPostCommand(*c.c, MakeCommandRequest(kIoControlPath, "a=1")), kRequestFailed);
        EXPECT_EQ(c->CommandStatus.load(), r.code);
        EXPECT_EQ(c->CommandReason.Get(), r.reason);
    }
    test_support::RefusingPort refusing;
    ControlPtr c(refusing.port());
    c->Timeout = 0;
    EXPECT_EQ(HttpPostCommand(*c.c, MakeCommandRequest(kIoControlPath, "a=1")), kRequestFailed);
    EXPECT_EQ(c->CommandStatus.load(), kCommandConnectFailed);
}

TEST(HttpPostCommand, ProxyFormGoesToTheProxy) {
    LoopbackPeer proxy({LoopbackPeer::ReceiveUntil("\r\n\r\nClearPosition=2\r\n\r\n"),
                        LoopbackPeer::Send("HTTP/1.0 200 OK\r\n\r\n")});
    ControlPtr c(8080);
    c->HostName.Set("cam.local");
    c->ProxyState = 1;
    c->ProxyHost.Set("127.0.0.1");
    c->ProxyPort = proxy.port();
    EXPECT_EQ(HttpPostCommand(*c.c, MakeCommandRequest(kPanTiltPath, ClearPositionBody(2))),
              kRequestDone);
    ASSERT_TRUE(proxy.WaitDone(2000));
    EXPECT_EQ(proxy.Received().rfind("POST HTTP://cam.local:8080/pantiltcontrol.cgi HTTP/1.0\r\n"
                                     "Proxy-Connection: Keep-Alive\r\nHost: cam.local\r\n",
                                     0),
              0u);
}

TEST(HttpGetCommand, BodyLandsInTheCallerAndMessageBuffer) {
    LoopbackPeer peer({LoopbackPeer::ReceiveUntil("\r\n\r\n"),
                       LoopbackPeer::Send("HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\nA=1&B=2")});
    ControlPtr c(peer.port());
    c->CommandStatus = 77;
    std::string body;
    EXPECT_EQ(HttpGetCommand(*c.c, MakeCommandRequest(kIoStatusPath, ""), &body), kRequestDone);
    EXPECT_EQ(body, "A=1&B=2");
    EXPECT_STREQ(c->MessageBuffer, "A=1&B=2");
    EXPECT_EQ(c->CommandStatus.load(), 77);  // a successful GET leaves the status as it was
    ASSERT_TRUE(peer.WaitDone(2000));
    EXPECT_EQ(peer.Received(),
              "GET /IOCONTROL.CGI HTTP/1.0\r\nUser-Agent: \r\nAuthorization: Basic \r\n\r\n");
}

TEST(HttpGetCommand, UnsizedReplyReadsUpTo1024Bytes) {
    LoopbackPeer peer({LoopbackPeer::ReceiveUntil("\r\n\r\n"),
                       LoopbackPeer::Send("HTTP/1.0 200 OK\r\n\r\n"), LoopbackPeer::Pause(50),
                       LoopbackPeer::Send(std::string(1500, 'q'))});
    ControlPtr c(peer.port());
    std::string body;
    EXPECT_EQ(HttpGetCommand(*c.c, MakeCommandRequest(kIoStatusPath, ""), &body), kRequestDone);
    EXPECT_EQ(body, std::string(1024, 'q'));
}

TEST(HttpGetCommand, OversizedBodyStopsAtTheMessageBuffer) {
    const std::string big(12000, 'z');
    LoopbackPeer peer(
        {LoopbackPeer::ReceiveUntil("\r\n\r\n"),
         LoopbackPeer::Send("HTTP/1.0 200 OK\r\nContent-Length: 12000\r\n\r\n" + big)});
    ControlPtr c(peer.port());
    std::string body;
    EXPECT_EQ(HttpGetCommand(*c.c, MakeCommandRequest(kIoStatusPath, ""), &body), kRequestDone);
    EXPECT_EQ(body.size(), 9999u);
    EXPECT_EQ(std::strlen(c->MessageBuffer), 9999u);
}

TEST(HttpGetCommand, LongHeadIsStillRead) {
    std::string head = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < 20; ++i)
        head += "X-Padding-" + std::to_string(i) + ": " + std::string(30, 'p') + "\r\n";
    head += "Content-Length: 3\r\n\r\nT=1";
    ASSERT_GT(head.size(), 600u);
    LoopbackPeer peer({LoopbackPeer::ReceiveUntil("\r\n\r\n"), LoopbackPeer::Send(head)});
    ControlPtr c(peer.port());
    std::string body;
    EXPECT_EQ(HttpGetCommand(*c.c, MakeCommandRequest(kIoStatusPath, ""), &body), kRequestDone);
    EXPECT_EQ(body, "T=1");
}

// ---- the setters ----

TEST(CommandSetters, LastAtLeast200MsAndRecordTheRequest) {
    FakeDevice device(Ok);
    ControlPtr c(device.port());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c->put_IOOut2(1), platform::S_OK);
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    {
        std::lock_guard<std::mutex> g(c->CommandLock);
        EXPECT_STREQ(c->CommandPath, "/iocontrol.cgi");
        EXPECT_STREQ(c->MessageBuffer, "Trigger1=0&Trigger2=1\r\n\r\n");
    }
    EXPECT_EQ(c->IOOut2.load(), 0);  // stored values change only when the device reports them
    EXPECT_EQ(AwaitStatus(*c.c), kCommandPosted);
    ASSERT_TRUE(device.AwaitRequests(1));
    EXPECT_NE(device.Raw()[0].find("Content-Length: 25\r\n\r\nTrigger1=0&Trigger2=1\r\n\r\n"),
              std::string::npos);
}

TEST(CommandSetters, BackToBackCommandsEachArriveAsSet) {
    // The device answers slowly, so every worker is still at work when the next setter runs.
    FakeDevice device(Ok, 250);
    ControlPtr c(device.port());
    c->Timeout = 3;  // the last worker waits for the nine before it
    c->IOOut1 = 1;
    c->PanSingleMoveDegree = 5;
    c->TiltSingleMoveDegree = -3;
    c->GetHorizontalPosition = 120;
    c->GetVerticalPosition = 45;
    c->put_SetName("door&1");
    std::int32_t untouched = 1234;
    c->put_IOOut1(0);
    c->put_IOOut2(1);
    c->put_ImageUpload(1);
    c->put_EmailImage(1);
    c->put_MovePanTiltDegree(1);
    c->put_ClearPosition(2);
    c->put_SetPosition(3);
    c->put_MovePanTiltPosition(4);
    c->put_SwingMode(1);
    c->MoveToPos(200, 10, &untouched);
    EXPECT_EQ(untouched, 1234);
    std::vector<Recorded> expected = {
        {"POST", "/iocontrol.cgi", "Trigger1=0&Trigger2=0\r\n\r\n"},
        {"POST", "/iocontrol.cgi", "Trigger1=1&Trigger2=1\r\n\r\n"},
        {"POST", "/iocontrol.cgi", "ImageUpload=1\r\n\r\n"},
        {"POST", "/iocontrol.cgi", "ImageEmail=1\r\n\r\n"},
        {"POST", "/pantiltcontrol.cgi",
         "PanSingleMoveDegree=5&TiltSingleMoveDegree=-3&PanTiltSingleMove=1\r\n\r\n"},
        {"POST", "/pantiltcontrol.cgi", "ClearPosition=2\r\n\r\n"},
        {"POST", "/pantiltcontrol.cgi",
         "PanTiltHorizontal=120&PanTiltVertical=45&SetName=door&1&SetPosition=3\r\n\r\n"},
        {"POST", "/pantiltcontrol.cgi", "PanTiltPresetPositionMove=4\r\n\r\n"},
        {"POST", "/PANTILTCONTROL.CGI", "PanTiltSwingMode=1\r\n\r\n"},
        {"POST", "/pantiltcontrol.cgi",
         "PanTiltHorizontal=200&PanTiltVertical=10&PanTiltPositionMove=true\r\n\r\n"},
    };
    ASSERT_TRUE(device.AwaitRequests(expected.size()));
    std::vector<Recorded> got = device.Requests();
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(AwaitStatus(*c.c), kCommandPosted);
}

TEST(CommandSetters, WorkerOutlivesTheControlsRelease) {
    FakeDevice device(Ok, 200);
    const int threads = platform::LiveThreadCount();
    {
        ControlPtr c(device.port());
        c->put_ClearPosition(1);
    }  // the container lets go while the worker still waits for the reply
    ASSERT_TRUE(device.AwaitRequests(1));
    AwaitThreads(threads);
    EXPECT_EQ(platform::LiveThreadCount(), threads);
    EXPECT_EQ(device.Requests()[0].body, "ClearPosition=1\r\n\r\n");
}

TEST(CommandSetters, NativeDeviceGetsNoPanTiltUploadOrEmail) {
    LoopbackPeer peer({LoopbackPeer::Hold()});
    ControlPtr c(peer.port(), control::kStreamNative);
    const auto t0 = std::chrono::steady_clock::now();
    std::int32_t untouched = 7;
    EXPECT_EQ(c->put_ImageUpload(1), platform::S_OK);
    EXPECT_EQ(c->put_EmailImage(1), platform::S_OK);
    EXPECT_EQ(c->put_MovePanTiltDegree(1), platform::S_OK);
    EXPECT_EQ(c->put_ClearPosition(1), platform::S_OK);
    EXPECT_EQ(c->put_SetPosition(1), platform::S_OK);
    EXPECT_EQ(c->put_MovePanTiltPosition(1), platform::S_OK);
    EXPECT_EQ(c->put_SwingMode(1), platform::S_OK);
    EXPECT_EQ(c->MoveToPos(1, 2, &untouched), platform::S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_EQ(untouched, 7);
    EXPECT_FALSE(peer.WaitAccepted(100));
    EXPECT_EQ(c->CommandStatus.load(), 0);
}

// ---- the status read ----

TEST(CommandRealTimeData, GetsTwiceAndStoresTheFields) {
    FakeDevice device(StatusReply);
    ControlPtr c(device.port());
    std::int32_t untouched = 1234;
    EXPECT_EQ(c->GetRealTimeData(&untouched), platform::S_OK);
    EXPECT_EQ(untouched, 1234);  // an HTTP device's read does not write the result
    ASSERT_TRUE(device.AwaitRequests(2));
    for (int i = 0; i < 400 && c->TimeString.Get().empty(); ++i) platform::Sleep(5);
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_EQ(c->IOOut2.load(), 0);
    EXPECT_EQ(c->ImageUpload.load(), 1);
    EXPECT_EQ(c->EmailImage.load(), 0);
    EXPECT_EQ(c->TimeString.Get(), "2024-01-02 03:04:05");
    for (const Recorded& r : device.Requests()) EXPECT_EQ(r.path, "/IOCONTROL.CGI");
    std::lock_guard<std::mutex> g(c->ReplyLock);
    EXPECT_EQ(c->Replies.Count, 5);
    EXPECT_STREQ(c->Replies.Entries[4].Name, "CurrentTime");
}

TEST(CommandRealTimeData, FailedReadKeepsTheStoredValues) {
    FakeDevice device([](const Recorded&) { return std::string("HTTP/1.0 500 Oops\r\n\r\n"); });
    ControlPtr c(device.port());
    c->IOOut1 = 1;
    c->TimeString.Set("before");
    std::int32_t v = 0;
    c->GetRealTimeData(&v);
    ASSERT_TRUE(device.AwaitRequests(2));
    EXPECT_EQ(AwaitStatus(*c.c), kCommandRefused);
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_EQ(c->TimeString.Get(), "before");
}

TEST(CommandRealTimeData, ReadsRacingSettersStayWhole) {
    FakeDevice device(StatusReply);
    ControlPtr c(device.port());
    std::int32_t v = 0;
    for (int i = 0; i < 3; ++i) {
        c->GetRealTimeData(&v);
        c->put_IOOut1(i);
    }
    ASSERT_TRUE(device.AwaitRequests(9));
    AwaitStatus(*c.c);
    EXPECT_EQ(c->TimeString.Get(), "2024-01-02 03:04:05");
    int posts = 0;
    for (const Recorded& r : device.Requests()) {
        if (r.method == "POST") {
            EXPECT_EQ(r.body.rfind("Trigger1=", 0), 0u) << r.body;
            ++posts;
        } else {
            EXPECT_EQ(r.body, "");
        }
    }
    EXPECT_EQ(posts, 3);
}

// ---- through the member table ----

TEST(CommandMembers, EveryMemberHasAnAccessor) {
    for (const control::Member& m : control::Members()) {
        SCOPED_TRACE(m.name);
        EXPECT_NE(m.accessor, nullptr);
    }
}

TEST(CommandMembers, TableDrivesTheCommands) {
    FakeDevice device(Ok);
    ControlPtr c(device.port());
    const control::Member* upload =
        control::FindMember("imageupload", control::MemberKind::PropertyPut);
    const control::Member* move = control::FindMember("MoveToPos", control::MemberKind::Method);
    ASSERT_NE(upload, nullptr);
    ASSERT_NE(move, nullptr);
    const control::Value one[] = {control::Value::Long(1)};
    EXPECT_EQ(upload->accessor(*c.c, one, nullptr), platform::S_OK);
    const control::Value pos[] = {control::Value::Long(30), control::Value::Long(-20)};
    control::Value result = control::Value::Long(99);
    EXPECT_EQ(move->accessor(*c.c, pos, &result), platform::S_OK);
    EXPECT_EQ(result.long_value, 99);
    ASSERT_TRUE(device.AwaitRequests(2));
    std::vector<Recorded> got = device.Requests();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[0].body, "ImageUpload=1\r\n\r\n");
    EXPECT_EQ(got[1].body,
              "PanTiltHorizontal=30&PanTiltVertical=-20&PanTiltPositionMove=true\r\n\r\n");
}
