// The Basic authorization token of every HTTP request. The first token made is cached in the
// control's DeviceSerialNo and returned for every later request, so a token the script set
// through DeviceSerialNo is what goes to the device.
#pragma once

#include "control/control_state.h"

namespace stream {

inline constexpr int kCredentialBufferBytes = 128;
inline constexpr int kUserNameWireChars = 12;  // at most this much of UserName is ever sent
inline constexpr int kPasswordWireChars = 8;   // at most this much of Password is ever sent

// text holds "user:password" on entry and the Authorization value on return; capacity is the
// buffer's size in bytes. Returns text.
char* EncodeBasicCredentials(control::ControlState& control, char* text, int capacity);

// Builds "user:password" from the control's fields cut to their wire limits and encodes it into
// out (kCredentialBufferBytes bytes). Returns out.
char* BuildBasicToken(control::ControlState& control, char out[kCredentialBufferBytes]);

// The first kUserNameWireChars characters of UserName.
std::string WireUserName(control::ControlState& control);

}  // namespace stream
