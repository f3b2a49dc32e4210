// Reply head and GET body steps. The blank line is looked for in everything received, so a head
// whose blank line straddles the 16-byte prefix (as the shortest "HTTP/1.0 200 OK" head's does)
// is still whole, and reading stops right after it: the body is left to the body step.
#include "commands/command_reply.h"

#include <algorithm>
#include <cstring>

#include "stream/device_line.h"

namespace commands {
namespace {

constexpr std::string_view kBlankLine = "\r\n\r\n";

std::int32_t LengthAfter(std::string_view head, std::string_view key, bool* found) {
    const std::size_t at = head.find(key);
    *found = at != std::string_view::npos;
    if (!*found) return 0;
    std::string_view value = head.substr(at + key.size());
    value = value.substr(0, value.find("\r\n"));
    return stream::DecimalValue(std::string(value).c_str());
}

// Length of the longest end of text that begins the blank line without completing it (0 to 3).
std::size_t PartialBlankLine(std::string_view text) {
    for (std::size_t k = kBlankLine.size() - 1; k > 0; --k)
        if (text.size() >= k && text.substr(text.size() - k) == kBlankLine.substr(0, k)) return k;
    return 0;
}

}  // namespace

int SocketReplySource::ReceiveAll(void* buffer, int length, int seconds) {
    return socket_.ReceiveAll(buffer, length, seconds);
}

int SocketReplySource::ReceiveUntilBlankLine(char* buffer, int max_bytes, int seconds) {
    // The client looks for the terminator in the buffer as text: it must start out zeroed.
    std::memset(buffer, 0, static_cast<std::size_t>(max_bytes) + 1);
    return socket_.ReceiveUntil(buffer, max_bytes, seconds, net::kHeaderTerminatorKind);
}

std::int32_t ReadReplyHead(ReplySource& source, int seconds, ReplyHead* head) {
    char prefix[kReplyPrefixBytes];
    int got = 0;
    while (got < kReplyPrefixBytes) {
        const int n = source.ReceiveAll(prefix + got, kReplyPrefixBytes - got, seconds);
        if (n <= 0) return kCommandNoReply;
        got += n;
    }
    // Kept whatever it says: a refusal is shown with the camera's status and told by it.
    head->received.assign(prefix, kReplyPrefixBytes);
    // "200" or "20" anywhere in the prefix; the first holds the second, so one look suffices.
    if (std::string_view(prefix, kReplyPrefixBytes).find("20") == std::string_view::npos)
        return kCommandRefused;

    int rest = 0;
    char chunk[kMaxReplyHeadBytes + 1];
    while (head->received.find(kBlankLine) == std::string::npos && rest < kMaxReplyHeadBytes) {
        // The blank line may begin in what is already here; ReceiveUntilBlankLine looks only at
        // the bytes of its own call and would read past it, so its last bytes come one by one.
        const int n = PartialBlankLine(head->received) > 0
                          ? source.ReceiveAll(chunk, 1, seconds)
                          : source.ReceiveUntilBlankLine(chunk, kMaxReplyHeadBytes - rest, seconds);
        if (n <= 0) break;
        head->received.append(chunk, static_cast<std::size_t>(n));
        rest += n;
    }
    const std::size_t blank = head->received.find(kBlankLine);
    if (blank == std::string::npos) return rest == 0 ? kCommandNoReply : kCommandHeadUnended;
    head->head_bytes = blank + kBlankLine.size();
    return kReplyOk;
}

std::string RefusalReason(std::string_view prefix) {
    // "HTTP/1.x 404": the status code stands after the first space of the status line.
    const std::size_t space = prefix.find(' ');
    if (prefix.substr(0, 5) == "HTTP/" && space != std::string_view::npos &&
        prefix.substr(space + 1, 3) == "404")
        return kNoCommandResourcesReason;
    return {};
}

std::int32_t AnnouncedLength(std::string_view head) {
    bool lower = false, upper = false;
    std::int32_t length = LengthAfter(head, "Content-length:", &lower);
    const std::int32_t replacing = LengthAfter(head, "Content-Length:", &upper);
    if (upper) length = replacing;
    return std::max(length, 0);
}

std::int32_t ReadGetBody(ReplySource& source, const ReplyHead& head, int seconds,
                         std::string* body) {
    const std::string_view received(head.received);
    const std::string_view after = received.substr(std::min(head.head_bytes, received.size()));
    const int have = static_cast<int>(std::min<std::size_t>(after.size(), kMaxCommandBodyChars));
    int length = AnnouncedLength(received.substr(0, head.head_bytes));
    if (length == 0) length = have;
    length = std::min(length, kMaxCommandBodyChars);

    if (have < length) {
        body->assign(after.substr(0, static_cast<std::size_t>(have)));
        body->resize(static_cast<std::size_t>(length));
        const int n = source.ReceiveAll(body->data() + have, length - have, seconds);
        if (n < 1) {
            body->clear();
            return kCommandNoReply;
        }
        body->resize(static_cast<std::size_t>(have + n));
    } else if (have > 0) {
        body->assign(after.substr(0, static_cast<std::size_t>(length)));
    } else {
        body->resize(kUnsizedBodyBytes);
        const int n = source.ReceiveAll(body->data(), kUnsizedBodyBytes, seconds);
        body->resize(static_cast<std::size_t>(std::max(n, 0)));
    }
    return kReplyOk;
}

}  // namespace commands
