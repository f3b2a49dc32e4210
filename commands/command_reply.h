// Reading a command reply from a byte source: the 16-byte prefix with its "20" test, the rest of
// the head up to the blank line, and the body of a GET by its length header. The source is an
// interface so the steps run the same over a socket, in unit tests and under a fuzzer. The hard
// part is the body rules: the length may be absent, partly read with the head, or larger than
// the message buffer, which bounds what is ever kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "commands/command_request.h"
#include "net/socket_client.h"

namespace commands {

inline constexpr int kReplyPrefixBytes = 16;     // read before the status is looked at
inline constexpr int kMaxReplyHeadBytes = 1024;  // head bytes read after the prefix
inline constexpr int kUnsizedBodyBytes = 1024;   // GET body read when the reply gives no length
inline constexpr std::int32_t kReplyOk = 0;      // a reply step passed; no status to record

// Where reply bytes come from; `seconds` is the wait before each receive.
class ReplySource {
  public:
    virtual ~ReplySource() = default;
    // Receives up to length bytes; returns how many arrived (0 when none did in time).
    virtual int ReceiveAll(void* buffer, int length, int seconds) = 0;
    // Receives until "\r\n\r\n" is among the bytes of this call, at most max_bytes; returns how
    // many arrived. buffer has room for max_bytes + 1.
    virtual int ReceiveUntilBlankLine(char* buffer, int max_bytes, int seconds) = 0;
};

// A ReplySource over a connected socket client.
class SocketReplySource : public ReplySource {
  public:
    explicit SocketReplySource(net::SocketClient& socket) : socket_(socket) {}
    int ReceiveAll(void* buffer, int length, int seconds) override;
    int ReceiveUntilBlankLine(char* buffer, int max_bytes, int seconds) override;

  private:
    net::SocketClient& socket_;
};

struct ReplyHead {
    std::string received;        // every byte read so far: the head, then any body bytes
    std::size_t head_bytes = 0;  // length of the head, its blank line included
};

// Reads the reply head. Returns kReplyOk, or kCommandNoReply (no byte for the prefix or for the
// rest of the head), kCommandRefused (no "20" in the prefix), kCommandHeadUnended (no blank line).
// head->received holds the prefix from the moment it is whole, a refused one included.
std::int32_t ReadReplyHead(ReplySource& source, int seconds, ReplyHead* head);

// A server that is not one of the devices (a stream named by its path may come from any) has no
// command resources and answers them 404.
inline constexpr char kNoCommandResourcesReason[] =
    "the server has no command resources: not a camera of this kind";

// Why a refused reply refused, from its first bytes: kNoCommandResourcesReason for a 404 status,
// empty for any other refusal.
std::string RefusalReason(std::string_view prefix);

// The length a GET reply head announces: the value after "Content-length:", replaced by the one
// after "Content-Length:" when that is there too; 0 when neither is, or the value is negative.
std::int32_t AnnouncedLength(std::string_view head);

// Reads the body of a GET reply after its head into body, at most kMaxCommandBodyChars bytes.
// Returns kReplyOk or kCommandNoReply (the announced remainder did not come).
std::int32_t ReadGetBody(ReplySource& source, const ReplyHead& head, int seconds,
                         std::string* body);

}  // namespace commands
