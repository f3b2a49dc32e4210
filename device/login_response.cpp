// The native protocol's challenge login response (see login_response.h).
// The hard part is only the nibble rule: the test bits are taken from the XORed byte, before
// either nibble is masked again, so both nibbles are decided from the same value.
#include "device/login_response.h"

namespace device {

namespace {
constexpr int kLoginPasses = 2;
constexpr std::size_t kMaskOffset = 40;  // challenge bytes 40-79 hold the nibble masks
constexpr std::uint8_t kLowNibble = 0x0F;
constexpr std::uint8_t kHighNibble = 0xF0;
constexpr std::uint8_t kLowTestBit = 0x01;
constexpr std::uint8_t kHighTestBit = 0x10;
static_assert(kLoginPasses * kLoginResponseBytes + kMaskOffset == kLoginChallengeBytes);
}  // namespace

void ComputeLoginResponse(const std::uint8_t challenge[kLoginChallengeBytes],
                          const std::uint8_t credentials[kLoginCredentialBytes],
                          std::uint8_t response[kLoginResponseBytes]) {
    for (std::size_t j = 0; j < kLoginResponseBytes; ++j) response[j] = credentials[j];
    for (int r = 0; r < kLoginPasses; ++r) {
        for (std::size_t j = 0; j < kLoginResponseBytes; ++j) {
            const std::size_t k = kLoginResponseBytes * r + j;
            const std::uint8_t x = response[j] ^ challenge[k];
            std::uint8_t lo = x & kLowNibble;
            std::uint8_t hi = x & kHighNibble;
            if (x & kLowTestBit) lo = (lo ^ challenge[k + kMaskOffset]) & kLowNibble;
            if (x & kHighTestBit) hi = (hi ^ challenge[k + kMaskOffset]) & kHighNibble;
            response[j] = hi | lo;
        }
    }
}

}  // namespace device
