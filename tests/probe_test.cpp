// The probe's decision on a reply head, the RemoteHost parsing and the proxy settings.
#include <gtest/gtest.h>

#include "control/quorlina.h"
#include "device/probe.h"
#include "platform/registry.h"

using namespace device;

namespace {
struct ControlPtr {
    control::CQuorlina* c = new control::CQuorlina();
    ~ControlPtr() { c->Destroy(); }
};
}  // namespace

TEST(ProbeDecision, HeadsAreClassedAsTheDeviceTheyComeFrom) {
    struct Row {
        const char* head;
        ProbeCaller caller;
        int mode;
        bool set_port, read_body;
    };
    const auto H = ProbeCaller::RemoteHost;
    const auto P = ProbeCaller::RemotePortOrWeb;
    const Row rows[] = {
        {"HTTP/1.0 200 OK\r\nContent-Length: 256\r\n\r\n", H, 1, true, true},
        {"HTTP/1.0 200 OK\r\nContent-Length: 256\r\n\r\n", P, 1, false, true},
        {"HTTP/1.0 200 OK\r\n\r\n", H, 1, true, false},
        {"HTTP/1.0 200 OK\r\n\r\n", P, 1, false, false},
        {"HTTP/1.0 404 Not Found\r\n\r\n", H, 0, false, false},
        {"HTTP/1.0 500 Oops\r\n\r\n", H, 1, true, false},
        {"0301", H, 0, false, false},
        {"0200xxxx", H, 0, false, false},
        {"0501\r\n\r\n", H, 0, false, false},
        {"garbage", H, 1, false, false},
        // An ordinary server's Date header holds "02"; its head is still HTTP.
        {"HTTP/1.1 200 OK\r\nDate: Tue, 08 Dec 2026 02:05:03 GMT\r\nContent-Length: 300\r\n\r\n", H, 1,
         true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.head);
        ProbeDecision d = DecideProbe(r.head, r.caller);
        EXPECT_EQ(d.stream_mode, r.mode);
        EXPECT_EQ(d.set_remote_port, r.set_port);
        EXPECT_EQ(d.read_body, r.read_body);
    }
}

TEST(ProbeRemoteHost, SchemeHostAndPort) {
    ControlPtr cp;
    EXPECT_EQ(ParseRemoteHost(*cp.c, "http://camhost:81"), 81);
    EXPECT_EQ(cp.c->StreamMode.load(), 1);
    EXPECT_EQ(cp.c->HostName.Get(), "camhost");
    EXPECT_EQ(cp.c->RemotePort.load(), 81);

    ControlPtr bare;
    EXPECT_EQ(ParseRemoteHost(*bare.c, "10.1.2.3"), 80);
    EXPECT_EQ(bare.c->StreamMode.load(), 99);
    EXPECT_EQ(bare.c->HostName.Get(), "10.1.2.3");
    EXPECT_EQ(bare.c->RemotePort.load(), 8481);

    ControlPtr mixed;
    EXPECT_EQ(ParseRemoteHost(*mixed.c, "Http://camhost:81"), 0);
    EXPECT_EQ(mixed.c->HostName.Get(), "Http");
    EXPECT_EQ(mixed.c->RemotePort.load(), 0);
}

TEST(ProbeProxy, RegistryIsReadUntilAProxyIsFound) {
    platform::RegResetForTesting(false);
    ControlPtr cp;
    LoadProxySettings(*cp.c, 1);
    EXPECT_EQ(cp.c->ProxyState.load(), -1);  // nothing configured: read again next time
    // A configured proxy that does not answer is ruled out for good.
    platform::RegWriteDword(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                            "ProxyEnable", 1);
    platform::RegWriteString(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                             "ProxyServer", "127.0.0.1:1");
    LoadProxySettings(*cp.c, 0);
    EXPECT_EQ(cp.c->ProxyHost.Get(), "127.0.0.1");
    EXPECT_EQ(cp.c->ProxyPort.load(), 1);
    EXPECT_EQ(cp.c->ProxyState.load(), 0);
    platform::RegResetForTesting(false);
}

TEST(ProbeSetters, PortAndWebZeroChangeNothing) {
    ControlPtr cp;
    cp.c->StreamMode = 1;
    cp.c->RemotePort = 8080;
    PutRemotePort(*cp.c, 9999);  // HTTP device: the port is not taken
    EXPECT_EQ(cp.c->RemotePort.load(), 8080);
    PutRemotePort(*cp.c, 0);
    PutRemoteWeb(*cp.c, 0);
    EXPECT_EQ(cp.c->RemotePort.load(), 8080);
    EXPECT_EQ(cp.c->RemoteWeb.load(), 0);
}

TEST(ProbeSetters, UnreachableDeviceIsClassedNative) {
    platform::RegResetForTesting(false);
    ControlPtr cp;
    cp.c->put_RemoteHost("127.0.0.1:1");
    EXPECT_EQ(cp.c->StreamMode.load(), 0);
    EXPECT_EQ(cp.c->RemotePort.load(), 1);
    std::string text;
    cp.c->get_RemoteHost(&text);
    EXPECT_EQ(text, "127.0.0.1:1");
}

// A path or query after the host (and port) of an http:// target names the stream; "/" alone
// names none. Without a port such a target is on HTTP's port, where a bare host still means the
// native device's.
TEST(ProbeRemoteHost, StreamPathAfterTheHost) {
    struct Row {
        const char* text;
        const char* host;
        int port;
        const char* path;
    };
    const Row rows[] = {
        {"http://cam:81/video/live.mjpg?fps=10", "cam", 81, "/video/live.mjpg?fps=10"},
        {"http://cam/axis-cgi/mjpg/video.cgi", "cam", 80, "/axis-cgi/mjpg/video.cgi"},
        {"http://cam:8081?action=stream", "cam", 8081, "/?action=stream"},
        {"http://cam:81/", "cam", 81, ""},
        {"http://cam:81", "cam", 81, ""},
        {"http://cam", "cam", 8481, ""},
        {"cam:81/not/a/path", "cam", 81, ""},  // no scheme: step A as ever, no path
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        ControlPtr cp;
        ParseRemoteHost(*cp.c, r.text);
        EXPECT_EQ(cp.c->HostName.Get(), r.host);
        EXPECT_EQ(cp.c->RemotePort.load(), r.port);
        EXPECT_EQ(cp.c->StreamPath.Get(), r.path);
    }
    // A later target without a path drops the earlier one's.
    ControlPtr cp;
    ParseRemoteHost(*cp.c, "http://cam:81/a.mjpg");
    ParseRemoteHost(*cp.c, "http://cam:82");
    EXPECT_EQ(cp.c->StreamPath.Get(), "");
}

// The longest text taken is kept whole and read back as set; one character more, a control
// character or a space in the path is refused with a reason, and the earlier target stays.
TEST(ProbeRemoteHost, OverlongOrUnsafeTextsAreRefusedWhole) {
    platform::RegResetForTesting(false);
    ControlPtr cp;
    const std::string head = "http://127.0.0.1:1/";
    const std::string longest = head + std::string(kMaxRemoteHostChars - head.size(), 'a');
    EXPECT_EQ(cp.c->put_RemoteHost(longest.c_str()), platform::S_OK);
    std::string back;
    cp.c->get_RemoteHost(&back);
    EXPECT_EQ(back, longest);
    EXPECT_EQ(cp.c->StreamMode.load(), 1) << "a path target is not probed";

    for (const std::string& bad :
         {longest + "a", head + "a\r\nX-Injected: 1", head + "a b", std::string("cam\t:81")}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(RemoteHostRefusal(bad.c_str()).empty());
        EXPECT_EQ(cp.c->put_RemoteHost(bad.c_str()), platform::E_INVALIDARG);
        cp.c->get_RemoteHost(&back);
        EXPECT_EQ(back, longest);
        EXPECT_EQ(cp.c->HostName.Get(), "127.0.0.1");
    }
    EXPECT_NE(RemoteHostRefusal((longest + "a").c_str()).find("at most"), std::string::npos);
    EXPECT_TRUE(RemoteHostRefusal("http://cam:81/a%20b").empty());
}
