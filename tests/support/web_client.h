// Clients of `quorlina serve` for the tests, on plain blocking sockets (no Beast, so the test
// programs compile quickly): one HTTP exchange per connection, raw bytes for malformed requests,
// and a small WebSocket client (handshake, masked client frames, text and binary messages,
// answering pings). Loopback only; every wait is bounded.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr int kWebWaitMs = 10000;

struct HttpReply {
    int status = 0;  // 0: no answer
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

// One request with "Connection: close"; the reply read to its end.
HttpReply HttpExchange(int port, const std::string& method, const std::string& target,
                       const std::vector<std::pair<std::string, std::string>>& headers = {},
                       const std::string& body = "");
// Sends the bytes as they are and reads until the server closes or the wait runs out.
std::string RawExchange(int port, const std::string& bytes, int wait_ms = kWebWaitMs);

struct WsMessage {
    bool binary = false;
    std::string data;
};

class WsClient {
  public:
    WsClient() = default;
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // The upgrade of GET path; *status is the reply's status (101 when it was accepted).
    bool Connect(int port, const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& headers, int* status);
    bool SendText(const std::string& text);
    // The next text or binary message; false on close, error or time-out.
    bool Receive(WsMessage* message, int wait_ms = kWebWaitMs);
    // The next text message (binary ones in between are counted in *frames when given).
    bool ReceiveText(std::string* text, int wait_ms = kWebWaitMs, int* frames = nullptr);
    void Close();
    int fd() const { return fd_; }

  private:
    bool SendFrame(int opcode, const std::string& payload);
    bool ReadExact(char* data, std::size_t size, int wait_ms);
    int fd_ = -1;
    std::string pending_;  // bytes read past the handshake
};

// Counts of this process: open descriptors and threads.
int OpenDescriptorCount();
int ThreadCount();

}  // namespace testsupport
