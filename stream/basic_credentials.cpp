// Base64 (RFC 4648 alphabet, most significant bits first) with the control's token cache.
#include "stream/basic_credentials.h"

#include <cstring>
#include <string>

namespace stream {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kEncodeAreaBytes = 1025;
constexpr int kMaxEncodedChars = 1021;  // further characters are dropped
constexpr int kMaxStoredTokenChars = 259;

// Copies src over text without ever writing past capacity (the token may be longer than the
// caller's buffer).
void CopyBounded(char* text, int capacity, const std::string& src) {
    if (capacity <= 0) return;
    std::size_t n = std::min<std::size_t>(src.size(), static_cast<std::size_t>(capacity - 1));
    std::memcpy(text, src.data(), n);
    text[n] = '\0';
}
}  // namespace

char* EncodeBasicCredentials(control::ControlState& control, char* text, int capacity) {
    const int n = static_cast<int>(strnlen(text, static_cast<std::size_t>(capacity)));
    std::string stored = control.DeviceSerialNo.Get();
    if (n < 2 || !stored.empty()) {
        CopyBounded(text, capacity, stored);
        return text;
    }
    char encoded[kEncodeAreaBytes] = {};
    int written = 0;
    auto put = [&](char c) {
        if (written < kMaxEncodedChars) encoded[written++] = c;
    };
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    int i = 0;
    for (; i + 2 < n; i += 3) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    if (n - i == 1) {
        unsigned v = in[i] << 16;
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
    } else if (n - i == 2) {
        unsigned v = (in[i] << 16) | (in[i + 1] << 8);
        put(kAlphabet[(v >> 18) & 63]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
    }
    if (n % 3 == 1) {
        encoded[written++] = '=';
        encoded[written++] = '=';
    } else if (n % 3 == 2) {
        encoded[written++] = '=';
    }
    if (written < capacity) std::memcpy(text, encoded, static_cast<std::size_t>(written) + 1);
    if (written <= kMaxStoredTokenChars) control.DeviceSerialNo.Set(encoded);
    return text;
}

std::string WireUserName(control::ControlState& control) {
    return control.UserName.Get().substr(0, kUserNameWireChars);
}

char* BuildBasicToken(control::ControlState& control, char out[kCredentialBufferBytes]) {
    std::string plain = WireUserName(control) + ":" +
                        control.Password.Get().substr(0, kPasswordWireChars);
    CopyBounded(out, kCredentialBufferBytes, plain);
    return EncodeBasicCredentials(control, out, kCredentialBufferBytes);
}

}  // namespace stream
