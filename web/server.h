// The HTTP and WebSocket server of `quorlina serve` (Boost.Beast, one I/O thread): accepts
// connections up to the limit, reads requests within the head and body limits, hands them to
// the Service and writes what it answers: responses, a camera's multipart stream, or a WebSocket
// that carries every watched camera's frames and the page's member calls. Every viewer has one
// pending frame slot per camera: a newer frame replaces an unsent one, and a write starts only
// when the previous one ended. Everything Beast is in server.cpp alone.
#pragma once

#include <memory>
#include <string>

#include "web/service.h"

namespace web {

struct ServerOptions {
    std::string host = kDefaultListenHost;
    int port = kDefaultPort;  // 0: any free port
    int max_connections = kDefaultMaxConnections;
    std::uint32_t idle_timeout_ms = kIdleTimeoutMs;
};

// Counters for tests and the soak.
struct ServerCounters {
    int connections = 0;                // open now
    int viewers = 0;                    // WebSocket sessions and streams open now
    std::uint64_t frames_sent = 0;      // frame messages and stream parts written
    std::uint64_t frames_replaced = 0;  // unsent frames a newer one replaced
};

class Server {
  public:
    Server(Service& service, ServerOptions options);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, starts the service's cameras and the I/O thread. False with *error (the address
    // and the cause) when the port cannot be had or a camera cannot start.
    bool Start(std::string* error);
    int Port() const;
    // Closes the listener and every connection, stops every control, ends the threads.
    void Stop();
    ServerCounters Counters() const;

    struct Impl;  // server.cpp's sessions share it

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace web
