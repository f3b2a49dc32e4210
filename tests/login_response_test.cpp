// The native challenge login response: known vectors worked out by hand and properties that
// hold for any challenge.
#include "device/login_response.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

using device::ComputeLoginResponse;

namespace {

using Challenge = std::array<std::uint8_t, device::kLoginChallengeBytes>;
using Block = std::array<std::uint8_t, device::kLoginResponseBytes>;

Block Respond(const Challenge& challenge, const Block& credentials) {
    Block response{};
    ComputeLoginResponse(challenge.data(), credentials.data(), response.data());
    return response;
}

}  // namespace

TEST(LoginResponse, AllZeroChallengeAndCredentialsGiveZero) {
    EXPECT_EQ(Respond(Challenge{}, Block{}), Block{});
}

// Keys challenge[k] = k for k < 40, every mask 0xA5; credentials 0x31, 0x10, then zeros.
//
// Byte 0, pass 0: x = 0x31 ^ challenge[0] (0x00) = 0x31; lo = 0x1, hi = 0x30. Bit 0 is set:
//   lo = (0x1 ^ 0xA5) & 0x0F = 0x4. Bit 4 is set: hi = (0x30 ^ 0xA5) & 0xF0 = 0x90. -> 0x94.
// Byte 0, pass 1: x = 0x94 ^ challenge[20] (0x14) = 0x80; neither bit set. -> 0x80.
// Byte 1, pass 0: x = 0x10 ^ 0x01 = 0x11; lo = (0x1 ^ 0xA5) & 0x0F = 0x4,
//   hi = (0x10 ^ 0xA5) & 0xF0 = 0xB0. -> 0xB4.
// Byte 1, pass 1: x = 0xB4 ^ 0x15 = 0xA1; bit 0 set: lo = 0x4; bit 4 clear: hi = 0xA0. -> 0xA4.
// Byte 2, pass 0: x = 0x00 ^ 0x02 = 0x02; neither bit set. -> 0x02.
// Byte 2, pass 1: x = 0x02 ^ 0x16 = 0x14; bit 0 clear: lo = 0x4; bit 4 set: hi = 0xB0. -> 0xB4.
// Byte 3, pass 0: x = 0x03; bit 0 set: lo = (0x3 ^ 0xA5) & 0x0F = 0x6, hi = 0x00. -> 0x06.
// Byte 3, pass 1: x = 0x06 ^ 0x17 = 0x11; lo = 0x4, hi = 0xB0. -> 0xB4.
TEST(LoginResponse, MatchesHandComputedVector) {
    Challenge challenge{};
    for (std::size_t k = 0; k < 40; ++k) challenge[k] = static_cast<std::uint8_t>(k);
    for (std::size_t k = 40; k < 80; ++k) challenge[k] = 0xA5;
    Block credentials{};
    credentials[0] = 0x31;
    credentials[1] = 0x10;
    Block response = Respond(challenge, credentials);
    EXPECT_EQ(response[0], 0x80);
    EXPECT_EQ(response[1], 0xA4);
    EXPECT_EQ(response[2], 0xB4);
    EXPECT_EQ(response[3], 0xB4);
}

// With all masks zero the nibble rule changes nothing: each byte is the credential XOR both keys.
// With all keys and credentials zero no test bit is ever set, so the masks never apply.
TEST(LoginResponse, PropertiesHoldForAnyChallenge) {
    struct Case {
        const char* name;
        std::uint8_t key_seed;
        std::uint8_t mask_seed;
        std::uint8_t credential_seed;
    };
    const Case cases[] = {
        {"keys only, text credentials", 0x5C, 0x00, 0x61},
        {"keys only, high bytes", 0xF7, 0x00, 0xE3},
        {"masks only, zero credentials", 0x00, 0x9D, 0x00},
        {"masks only, all ones in masks", 0x00, 0xFF, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Challenge challenge{};
        Block credentials{};
        for (std::size_t k = 0; k < 40; ++k)
            challenge[k] = static_cast<std::uint8_t>(c.key_seed * (k + 1));
        for (std::size_t k = 40; k < 80; ++k)
            challenge[k] = static_cast<std::uint8_t>(c.mask_seed * (k + 1));
        for (std::size_t j = 0; c.credential_seed != 0 && j < 20; ++j)
            credentials[j] = static_cast<std::uint8_t>(c.credential_seed + j);
        Block response = Respond(challenge, credentials);
        for (std::size_t j = 0; j < 20; ++j) {
            SCOPED_TRACE(j);
            if (c.mask_seed == 0) {
                EXPECT_EQ(response[j], credentials[j] ^ challenge[j] ^ challenge[20 + j]);
            }
            if (c.key_seed == 0 && c.credential_seed == 0) {
                EXPECT_EQ(response[j], 0);
            }
        }
    }
}
