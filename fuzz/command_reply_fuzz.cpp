// Fuzzes the command reply steps as a device's reply would drive them: the head, the GET body and
// the splitting of that body into reply fields. The first input byte sets the receive size, so
// heads and bodies arrive cut at every place a socket could cut them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "commands/command_reply.h"
#include "commands/reply_fields.h"

namespace {

class FuzzSource : public commands::ReplySource {
  public:
    FuzzSource(const std::uint8_t* data, std::size_t size, std::size_t step)
        : data_(data), size_(size), step_(step) {}
    int ReceiveAll(void* buffer, int length, int) override {
        const std::size_t n = Take(static_cast<std::size_t>(std::max(length, 0)));
        std::memcpy(buffer, data_ + at_ - n, n);
        return static_cast<int>(n);
    }
    int ReceiveUntilBlankLine(char* buffer, int max_bytes, int) override {
        std::memset(buffer, 0, static_cast<std::size_t>(max_bytes) + 1);
        int got = 0;
        while (got < max_bytes && at_ < size_) {
            buffer[got++] = static_cast<char>(data_[at_++]);
            if (got >= 4 && std::memcmp(buffer + got - 4, "\r\n\r\n", 4) == 0) break;
        }
        return got;
    }

  private:
    std::size_t Take(std::size_t want) {
        const std::size_t n = std::min({want, step_, size_ - at_});
        at_ += n;
        return n;
    }
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t step_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    FuzzSource source(data + 1, size - 1, static_cast<std::size_t>(data[0]) + 1);
    commands::ReplyHead head;
    if (commands::ReadReplyHead(source, 1, &head) != commands::kReplyOk) return 0;
    std::string body;
    if (commands::ReadGetBody(source, head, 1, &body) != commands::kReplyOk) return 0;
    if (body.size() > static_cast<std::size_t>(commands::kMaxCommandBodyChars)) __builtin_trap();
    auto table = std::make_unique<control::ReplyTable>();
    commands::SplitReplyFields(body, "&", table.get());
    commands::ReadRealTimeFields(*table);
    return 0;
}
