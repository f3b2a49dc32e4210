// Blocking loopback sockets with poll-bounded reads.
#include "support/web_client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <random>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads what arrives until the peer closes or the wait runs out.
std::string ReadToEnd(int fd, int wait_ms) {
    std::string out;
    const auto end = Clock::now() + std::chrono::milliseconds(wait_ms);
    char buffer[16384];
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (::poll(&p, 1, std::max(left, 1)) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Status and headers of a reply head ("HTTP/1.1 200 OK\r\n...\r\n\r\n").
void ParseHead(const std::string& head, HttpReply* reply) {
    std::size_t line_end = head.find("\r\n");
    const std::string status_line = head.substr(0, line_end);
    if (status_line.size() >= 12) reply->status = std::atoi(status_line.c_str() + 9);
    while (line_end != std::string::npos && line_end + 2 < head.size()) {
        const std::size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        const std::string line = head.substr(start, line_end - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        reply->headers[Lower(line.substr(0, colon))] = value;
    }
}

}  // namespace

HttpReply HttpExchange(int port, const std::string& method, const std::string& target,
                       const std::vector<std::pair<std::string, std::string>>& headers,
                       const std::string& body) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                          std::to_string(port) + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    if (!body.empty() || method == "PUT" || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    HttpReply reply;
    const std::string raw = RawExchange(port, request);
    const std::size_t head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) return reply;
    ParseHead(raw.substr(0, head_end + 2), &reply);
    reply.body = raw.substr(head_end + 4);
    return reply;
}

std::string RawExchange(int port, const std::string& bytes, int wait_ms) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) return {};
    SendAll(fd, bytes);
    std::string out = ReadToEnd(fd, wait_ms);
    ::close(fd);
    return out;
}

WsClient::~WsClient() { Close(); }

void WsClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool WsClient::Connect(int port, const std::string& path,
                       const std::vector<std::pair<std::string, std::string>>& headers,
                       int* status) {
    *status = 0;
    fd_ = ConnectLoopback(port);
    if (fd_ < 0) return false;
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    request += "\r\n";
    if (!SendAll(fd_, request)) return false;
    std::string head;
    const auto end = Clock::now() + std::chrono::milliseconds(kWebWaitMs);
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && Clock::now() < end) {
        if (!ReadExact(&c, 1, kWebWaitMs)) return false;
        head += c;
    }
    HttpReply reply;
    ParseHead(head, &reply);
    *status = reply.status;
    return reply.status == 101;
}

bool WsClient::SendFrame(int opcode, const std::string& payload) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    const std::size_t n = payload.size();
    if (n < 126) {
        frame += static_cast<char>(0x80 | n);
    } else if (n < 65536) {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(n >> 8);
        frame += static_cast<char>(n & 0xFF);
    } else {
        frame += static_cast<char>(0x80 | 127);
        for (int i = 7; i >= 0; --i) frame += static_cast<char>((n >> (8 * i)) & 0xFF);
    }
    static std::mt19937 random(12345);
    char mask[4];
    for (char& m : mask) m = static_cast<char>(random());
    frame.append(mask, 4);
    for (std::size_t i = 0; i < n; ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return SendAll(fd_, frame);
}

bool WsClient::SendText(const std::string& text) { return fd_ >= 0 && SendFrame(0x1, text); }

bool WsClient::ReadExact(char* data, std::size_t size, int wait_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(wait_ms);
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd_, POLLIN, 0};
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
        const ssize_t n = ::recv(fd_, data + got, size - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool WsClient::Receive(WsMessage* message, int wait_ms) {
    if (fd_ < 0) return false;
    message->data.clear();
    for (;;) {
        unsigned char head[2];
        if (!ReadExact(reinterpret_cast<char*>(head), 2, wait_ms)) return false;
        const int opcode = head[0] & 0x0F;
        std::uint64_t length = head[1] & 0x7F;
        if (length == 126 || length == 127) {
            unsigned char ext[8];
            const int bytes = length == 126 ? 2 : 8;
            if (!ReadExact(reinterpret_cast<char*>(ext), bytes, wait_ms)) return false;
            length = 0;
            for (int i = 0; i < bytes; ++i) length = (length << 8) | ext[i];
        }
        if (length > 64u * 1024 * 1024) return false;
        std::string payload(length, '\0');
        if (length > 0 && !ReadExact(payload.data(), length, wait_ms)) return false;
        if (opcode == 0x9) {  // ping: answer and go on
            SendFrame(0xA, payload);
            continue;
        }
        if (opcode == 0xA) continue;
        if (opcode == 0x8) return false;
        if (opcode == 0x1 || opcode == 0x2) message->binary = opcode == 0x2;
        message->data += payload;
        if (head[0] & 0x80) return true;
    }
}

bool WsClient::ReceiveText(std::string* text, int wait_ms, int* frames) {
    const auto end = Clock::now() + std::chrono::milliseconds(wait_ms);
    WsMessage m;
    while (Clock::now() < end) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        if (!Receive(&m, std::max(left, 1))) return false;
        if (!m.binary) {
            *text = m.data;
            return true;
        }
        if (frames != nullptr) ++*frames;
    }
    return false;
}

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++count;
        ::closedir(d);
    }
    return count - 1;  // the directory's own descriptor
}

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

}  // namespace testsupport
