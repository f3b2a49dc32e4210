// The native protocol's challenge login: the 20-byte response a client proves its credentials with.
// Pure function over fixed-size arrays; the control's native login and the simulated camera's
// check of that login both call it. Building the credential block is left to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace device {

inline constexpr std::size_t kLoginChallengeBytes = 80;
inline constexpr std::size_t kLoginCredentialBytes = 20;  // 12 bytes user name, 8 bytes password
inline constexpr std::size_t kLoginResponseBytes = 20;

// Two passes over the credential block. Pass r XORs byte j with challenge[20r + j] (bytes 0-39
// are the keys); a nibble whose low bit is set after that XOR is XORed again with
// challenge[20r + j + 40] (bytes 40-79 are the masks), masked back to its own nibble.
void ComputeLoginResponse(const std::uint8_t challenge[kLoginChallengeBytes],
                          const std::uint8_t credentials[kLoginCredentialBytes],
                          std::uint8_t response[kLoginResponseBytes]);

}  // namespace device
