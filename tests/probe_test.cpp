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
