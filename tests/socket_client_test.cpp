// Socket client against scripted peers on 127.0.0.1: connect paths and their result codes, the
// time-outs, the capped receive loops, the drain, the liveness check and descriptor hygiene.
// Names that must fail to resolve are chosen so that the resolver rejects them without a query.
#include "net/socket_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_peer.h"

using namespace net;
using test_support::LoopbackPeer;
using test_support::PeerStep;

namespace {

constexpr int kPeerWaitMs = 2000;
constexpr char kLoopback[] = "127.0.0.1";
// A 64-character label is longer than DNS allows, so the lookup fails before any query is sent.
const std::string kUnresolvableName = std::string(64, 'x') + ".invalid";

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Records what each receive call returned and how many sockets were created.
class CountingClient : public SocketClient {
  public:
    int RecvRaw(SocketHandle socket, void* buffer, int length, int flags) override {
        int n = SocketClient::RecvRaw(socket, buffer, length, flags);
        receive_results.push_back(n);
        return n;
    }
    int CreateSocket(SocketHandle& handle, int family, int type, int protocol) override {
        ++sockets_created;
        return SocketClient::CreateSocket(handle, family, type, protocol);
    }
    std::vector<int> receive_results;
    int sockets_created = 0;
};

int ConnectTo(SocketClient& client, int port, int seconds = 1) {
    return client.Connect(port, kLoopback, seconds, kAfInet, kSockStream);
}

// Waits until at least `bytes` are queued on the socket (the peer's data has arrived).
bool WaitForQueuedBytes(SocketHandle socket, int bytes) {
    for (auto start = Clock::now(); MsSince(start) < kPeerWaitMs;) {
        int queued = 0;
        if (ioctl(socket, FIONREAD, &queued) == 0 && queued >= bytes) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Waits until the peer's close or reset has reached the socket.
bool WaitForPeerGone(LoopbackPeer& peer, SocketHandle socket) {
    if (!peer.WaitDone(kPeerWaitMs)) return false;
    pollfd entry = {socket, POLLIN, 0};
    return poll(&entry, 1, kPeerWaitMs) == 1;
}

bool IsNonBlocking(SocketHandle socket) {
    return (fcntl(socket, F_GETFL) & O_NONBLOCK) != 0;
}

}  // namespace

TEST(SocketClient, ConnectTakesDottedTextAsItIsAndLooksUpOnlyTheNameAfterTheLastAtSign) {
    struct Row {
        const char* host;
        const char* address_text;
    };
    // "127.1" is kept verbatim: a lookup would have turned it into "127.0.0.1".
    const Row rows[] = {{"127.0.0.1", "127.0.0.1"},
                        {"127.1", "127.1"},
                        {"localhost", "127.0.0.1"},
                        {"user@127.0.0.1", "127.0.0.1"},
                        {"a@b@localhost", "127.0.0.1"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.host);
        LoopbackPeer peer({LoopbackPeer::Hold()});
        SocketClient client;
        ASSERT_EQ(client.Connect(peer.port(), row.host, 1, kAfInet, kSockStream), SocketOk);
        EXPECT_STREQ(client.AddressText(), row.address_text);
        EXPECT_TRUE(peer.WaitAccepted(kPeerWaitMs));
    }
}

TEST(SocketClient, IsDottedAddressRejectsNamesAndTheAllOnesAddress) {
    struct Row {
        const char* text;
        int dotted;
    };
    const Row rows[] = {{"127.0.0.1", 1},
                        {"10.1.2.3", 1},
                        {"255.255.255.254", 1},
                        {"255.255.255.255", 0},
                        {"localhost", 0},
                        {"user@127.0.0.1", 0},
                        {"", 0},
                        {nullptr, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text ? row.text : "(null)");
        EXPECT_EQ(SocketClient::IsDottedAddress(row.text), row.dotted);
    }
}

TEST(SocketClient, GetAddressByNameNeedsRoomForTheTextAndItsTerminator) {
    char output[16];
    std::memset(output, '#', sizeof output);
    EXPECT_EQ(SocketClient::GetAddressByName("localhost", output, 9), SocketBufferTooShort);
    EXPECT_EQ(output[0], '#');
    EXPECT_EQ(SocketClient::GetAddressByName("localhost", output, 10), SocketOk);
    EXPECT_STREQ(output, "127.0.0.1");
    EXPECT_EQ(SocketClient::GetAddressByName(kUnresolvableName.c_str(), output, 16),
              SocketLookupFailed);
}

TEST(SocketClient, UnresolvableHostFailsWithoutCreatingASocket) {
    CountingClient client;
    EXPECT_EQ(client.Connect(80, kUnresolvableName.c_str(), 1, kAfInet, kSockStream),
              SocketHostUnresolved);
    EXPECT_EQ(client.sockets_created, 0);
    EXPECT_EQ(client.GetSocket(), kNoSocket);
}

TEST(SocketClient, ConnectOnAConnectedObjectFailsAndLeavesTheConnectionWorking) {
    LoopbackPeer peer({LoopbackPeer::Receive(4), LoopbackPeer::Send("pong"), LoopbackPeer::Hold()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    SocketHandle socket = client.GetSocket();
    EXPECT_EQ(ConnectTo(client, peer.port()), SocketAlreadyOpen);
    EXPECT_EQ(client.GetSocket(), socket);
    EXPECT_EQ(client.Send("ping", 4), 4);
    char reply[8] = {};
    EXPECT_EQ(client.ReceiveAll(reply, 4, 1), 4);
    EXPECT_STREQ(reply, "pong");
}

TEST(SocketClient, ConnectUsesOnlyTheLowSixteenBitsOfThePort) {
    LoopbackPeer peer({LoopbackPeer::Hold()});
    SocketClient client;
    EXPECT_EQ(ConnectTo(client, 65536 + peer.port()), SocketOk);
    EXPECT_TRUE(peer.WaitAccepted(kPeerWaitMs));
}

TEST(SocketClient, ConnectedSocketIsBlockingWithThirtySecondTimeOuts) {
    LoopbackPeer peer({LoopbackPeer::Hold()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    EXPECT_FALSE(IsNonBlocking(client.GetSocket()));
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        SCOPED_TRACE(option);
        timeval value = {};
        socklen_t length = sizeof value;
        ASSERT_EQ(getsockopt(client.GetSocket(), SOL_SOCKET, option, &value, &length), 0);
        EXPECT_EQ(value.tv_sec, kDefaultSocketTimeoutMs / 1000);
        EXPECT_EQ(value.tv_usec, 0);
    }
    EXPECT_EQ(fcntl(client.GetSocket(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(SocketClient, TimeOutSettersRememberOnlyWhatTheSocketAccepted) {
    SocketClient client;
    EXPECT_EQ(client.SetReceiveTimeout(500), -1);  // no socket yet
    EXPECT_EQ(client.SetSendTimeout(500), -1);
    EXPECT_EQ(client.ReceiveTimeoutMs(), kDefaultSocketTimeoutMs);
    EXPECT_EQ(client.SendTimeoutMs(), kDefaultSocketTimeoutMs);

    LoopbackPeer peer({LoopbackPeer::Hold()});
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    EXPECT_EQ(client.SetReceiveTimeout(200), 0);
    EXPECT_EQ(client.ReceiveTimeoutMs(), 200);
    // A receive without a wait now ends after the socket's own time-out, as an error.
    char byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(client.Receive(&byte, 1, 0), -1);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 1500);
}

// A refusal is an answer: bounded or not, the connect fails at once and says it was refused; a
// host that never answers runs the time-out out and says so.
TEST(SocketClient, RefusedPortFailsAtOnceAndSilentHostTimesOut) {
    test_support::RefusingPort refusing;
    SocketClient client;
    for (int seconds : {2, -1}) {
        SCOPED_TRACE(seconds);
        auto start = Clock::now();
        EXPECT_EQ(ConnectTo(client, refusing.port(), seconds), SocketConnectFailed);
        EXPECT_LT(MsSince(start), 500);
        EXPECT_EQ(client.ConnectError(), ECONNREFUSED);
        EXPECT_EQ(client.GetSocket(), kNoSocket);
    }
    test_support::UnansweringPort silent;
    ASSERT_TRUE(silent.ready());
    auto start = Clock::now();
    EXPECT_EQ(ConnectTo(client, silent.port(), 1), SocketConnectTimeout);
    EXPECT_GE(MsSince(start), 950);
    EXPECT_EQ(client.ConnectError(), ETIMEDOUT);

    LoopbackPeer peer({LoopbackPeer::Hold()});
    EXPECT_EQ(ConnectTo(client, peer.port()), SocketOk) << "a failed connect leaves it reusable";
    EXPECT_EQ(client.ConnectError(), 0);
}

TEST(SocketClient, ZeroSecondConnectToAHostThatHasNotAnsweredTimesOutAtOnce) {
    test_support::UnansweringPort silent;
    ASSERT_TRUE(silent.ready());
    int before = test_support::OpenDescriptorCount();
    SocketClient client;
    auto start = Clock::now();
    EXPECT_EQ(ConnectTo(client, silent.port(), 0), SocketConnectTimeout);
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(client.GetSocket(), kNoSocket);
    EXPECT_EQ(test_support::OpenDescriptorCount(), before);
}

TEST(SocketClient, SendWithoutALengthSendsTheTextUpToItsTerminator) {
    const char request[] = "GET /HOME.htm HTTP/1.0\r\n\r\n";
    for (int length : {0, -1}) {
        SCOPED_TRACE(length);
        LoopbackPeer peer({LoopbackPeer::ReceiveUntil("\r\n\r\n")});
        SocketClient client;
        ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
        EXPECT_EQ(client.Send(request, length), static_cast<int>(std::strlen(request)));
        ASSERT_TRUE(peer.WaitDone(kPeerWaitMs));
        EXPECT_EQ(peer.Received(), request);
    }
}

TEST(SocketClient, SendOnAClosedObjectReturnsZero) {
    SocketClient client;
    EXPECT_EQ(client.Send("x", 1), 0);
    EXPECT_EQ(client.SendAll("abc", 3), 0);
}

TEST(SocketClient, SendToAPeerThatHasClosedFailsWithoutSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);  // the default action would end this process
    LoopbackPeer peer({LoopbackPeer::Close()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    ASSERT_TRUE(peer.WaitDone(kPeerWaitMs));
    // The first send may still be accepted; the peer's reset makes a later one fail.
    int last = client.Send("first", 5);
    for (int attempt = 0; attempt < 20 && last != 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        last = client.Send("again", 5);
    }
    EXPECT_EQ(last, 0);
}

TEST(SocketClient, ReceiveWithAWaitReturnsZeroOnSilenceAndAtOnceAfterThePeerClosed) {
    LoopbackPeer silent({LoopbackPeer::Hold()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, silent.port()), SocketOk);
    char buffer[16];
    auto start = Clock::now();
    EXPECT_EQ(client.Receive(buffer, sizeof buffer, 1), 0);
    EXPECT_GE(MsSince(start), 950);
    EXPECT_LT(MsSince(start), 2000);

    LoopbackPeer closing({LoopbackPeer::Close()});
    SocketClient other;
    ASSERT_EQ(ConnectTo(other, closing.port()), SocketOk);
    ASSERT_TRUE(closing.WaitDone(kPeerWaitMs));
    start = Clock::now();
    EXPECT_EQ(other.Receive(buffer, sizeof buffer, 1), 0);
    EXPECT_LT(MsSince(start), 500);
}

TEST(SocketClient, ReceiveAllStopsAfterTheCallCapWhenThePeerClosesEarly) {
    LoopbackPeer peer({LoopbackPeer::Send(std::string(600, 'a')), LoopbackPeer::Close()});
    CountingClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    ASSERT_TRUE(peer.WaitDone(kPeerWaitMs));
    std::vector<char> buffer(1000);
    EXPECT_EQ(client.ReceiveAll(buffer.data(), 1000, 1), 600);
    EXPECT_EQ(client.receive_results.size(), static_cast<size_t>(kMaxReceiveCalls + 1));
    EXPECT_EQ(client.receive_results.back(), 0);
}

TEST(SocketClient, ReceiveAllWaitsBeforeEachCallAndKeepsWhatArrived) {
    LoopbackPeer peer({LoopbackPeer::Send(std::string(100, 'b')), LoopbackPeer::Hold()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    ASSERT_TRUE(WaitForQueuedBytes(client.GetSocket(), 100));
    std::vector<char> buffer(1000);
    auto start = Clock::now();
    EXPECT_EQ(client.ReceiveAll(buffer.data(), 1000, 1), 100);
    EXPECT_GE(MsSince(start), 950);
    EXPECT_LT(MsSince(start), 2000);
}

TEST(SocketClient, ReceiveUntilStopsAtTheHeaderTerminatorOrTheReadCap) {
    const std::string header = std::string(116, 'h') + "\r\n\r\n";  // ends at byte 120
    const std::string hidden = std::string(50, 'h') + std::string(1, '\0') + header;
    struct Row {
        const char* name;
        std::string sent;
        int max_bytes;
        char prefill;  // what the buffer holds before the call
        int expected;
    };
    const Row rows[] = {
        {"header then body", header + "BODY", 512, '\0', 120},
        {"long header", std::string(300, 'h') + "\r\n\r\n", 512, '\0', kMaxReceiveCalls + 1},
        {"NUL hides the terminator", hidden + "BODY", 512, '\0', kMaxReceiveCalls + 1},
        {"max bytes first", header, 50, '\0', 50},
        {"buffer without a NUL", "ab\r\n\r\nBODY", 64, 'x', 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackPeer peer({LoopbackPeer::Send(row.sent), LoopbackPeer::Hold()});
        SocketClient client;
        ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
        // Exactly max_bytes long, so a search past the end shows up under AddressSanitizer.
        std::vector<char> buffer(static_cast<size_t>(row.max_bytes), row.prefill);
        EXPECT_EQ(client.ReceiveUntil(buffer.data(), row.max_bytes, 1, kHeaderTerminatorKind),
                  row.expected);
        EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(row.expected)),
                  row.sent.substr(0, static_cast<size_t>(row.expected)));
        std::string rest(row.sent.size() - static_cast<size_t>(row.expected), '\0');
        EXPECT_EQ(client.ReceiveAll(rest.data(), static_cast<int>(rest.size()), 1),
                  static_cast<int>(rest.size()));
        EXPECT_EQ(rest, row.sent.substr(static_cast<size_t>(row.expected)));
    }
}

TEST(SocketClient, ReceiveUntilEndsAfterOneByteWhenTheBufferAlreadyHoldsTheTerminator) {
    LoopbackPeer peer({LoopbackPeer::Send("abc"), LoopbackPeer::Hold()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    char buffer[32] = "x\r\n\r\n";
    EXPECT_EQ(client.ReceiveUntil(buffer, sizeof buffer, 1, kHeaderTerminatorKind), 1);
    EXPECT_EQ(client.ReceiveUntil(buffer, sizeof buffer, 1, kHeaderTerminatorKind + 1), 0)
        << "an unknown terminator kind reads nothing";
    char rest[3] = {};
    EXPECT_EQ(client.ReceiveAll(rest, 2, 1), 2);
    EXPECT_EQ(std::string(rest, 2), "bc");
}

TEST(SocketClient, ClearReceiveBufferDrainsInScratchSizedReads) {
    LoopbackPeer peer({LoopbackPeer::Send(std::string(1000, 'z')), LoopbackPeer::Hold()});
    CountingClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    ASSERT_TRUE(WaitForQueuedBytes(client.GetSocket(), 1000));
    EXPECT_EQ(client.ClearReceiveBuffer(), SocketOk);
    EXPECT_EQ(client.receive_results, (std::vector<int>{256, 256, 256, 232}));
    EXPECT_EQ(client.IsDataWaiting(client.GetSocket()), 0);
}

TEST(SocketClient, IsConnectionAliveTellsIdleAndBusyFromClosedAndReset) {
    struct Row {
        const char* name;
        std::vector<PeerStep> script;
        bool peer_goes;
        int alive;
    };
    const Row rows[] = {
        {"idle", {LoopbackPeer::Hold()}, false, 1},
        {"data waiting", {LoopbackPeer::Send("x"), LoopbackPeer::Hold()}, false, 1},
        {"peer closed", {LoopbackPeer::Close()}, true, 0},
        // The peer resets only once the client has spoken: a reset that beats the client's
        // check of its connect would fail the connect instead.
        {"peer reset", {LoopbackPeer::Receive(1), LoopbackPeer::Reset()}, true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackPeer peer(row.script);
        SocketClient client;
        ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
        ASSERT_TRUE(peer.WaitAccepted(kPeerWaitMs));
        if (row.script.front().kind == PeerStep::Kind::kReceive) {
            ASSERT_EQ(client.Send("x", 1), 1);
        }
        if (row.peer_goes) {
            ASSERT_TRUE(WaitForPeerGone(peer, client.GetSocket()));
        }
        if (row.script.front().kind == PeerStep::Kind::kSend) {
            ASSERT_TRUE(WaitForQueuedBytes(client.GetSocket(), 1));
        }
        EXPECT_EQ(client.IsConnectionAlive(), row.alive);
        if (row.alive == 1) {
            EXPECT_FALSE(IsNonBlocking(client.GetSocket()));
            EXPECT_EQ(client.IsDataWaiting(client.GetSocket()),
                      row.script.front().kind == PeerStep::Kind::kSend ? 1 : 0)
                << "the peek leaves the data in place";
        }
    }
    SocketClient closed;
    EXPECT_EQ(closed.IsConnectionAlive(), 0);
}

TEST(SocketClient, CloseConnectionTwiceDoesNothingTheSecondTime) {
    LoopbackPeer peer({LoopbackPeer::Hold()});
    SocketClient client;
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    EXPECT_EQ(client.CloseConnection(), SocketOk);
    EXPECT_EQ(client.GetSocket(), kNoSocket);
    EXPECT_STREQ(client.AddressText(), "");
    EXPECT_TRUE(peer.WaitDone(kPeerWaitMs)) << "the peer sees the close";
    EXPECT_EQ(client.CloseConnection(), SocketOk);
}

TEST(SocketClient, ResetWinsockClosesASocketThatIsStillOpen) {
    LoopbackPeer peer({LoopbackPeer::Hold()});
    SocketClient client;
    int before = test_support::OpenDescriptorCount();
    ASSERT_EQ(ConnectTo(client, peer.port()), SocketOk);
    ASSERT_TRUE(peer.WaitAccepted(kPeerWaitMs));
    // The peer runs in this process: its accepted descriptor counts too.
    EXPECT_EQ(test_support::OpenDescriptorCount(), before + 2);
    EXPECT_EQ(client.ResetWinsock(), SocketOk);
    EXPECT_EQ(client.GetSocket(), kNoSocket);
    EXPECT_STREQ(client.AddressText(), "");
    EXPECT_TRUE(peer.WaitDone(kPeerWaitMs)) << "the peer sees the close";
    EXPECT_EQ(test_support::OpenDescriptorCount(), before);
    EXPECT_EQ(client.ResetWinsock(), SocketOk);
}
