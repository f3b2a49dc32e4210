// The device's command resources and the name=value bodies the command setters send to them:
// outputs, upload and e-mail on the I/O control resource, single steps, presets, swing and
// absolute moves on the pan/tilt resource. Every number goes out in decimal, unchanged; the preset
// name goes in as it stands, with no escaping. Sending is http_command's.
#pragma once

#include <cstdint>
#include <string>

namespace commands {

inline constexpr const char* kIoControlPath = "/iocontrol.cgi";
inline constexpr const char* kIoStatusPath = "/IOCONTROL.CGI";
inline constexpr const char* kPanTiltPath = "/pantiltcontrol.cgi";
inline constexpr const char* kSwingModePath = "/PANTILTCONTROL.CGI";

std::string OutputsBody(std::int32_t out1, std::int32_t out2);
std::string ImageUploadBody(std::int32_t value);
std::string ImageEmailBody(std::int32_t value);
std::string SingleMoveBody(std::int32_t pan_degrees, std::int32_t tilt_degrees, std::int32_t value);
std::string ClearPositionBody(std::int32_t value);
std::string SetPositionBody(std::int32_t pan, std::int32_t tilt, const std::string& name,
                            std::int32_t value);
std::string PresetMoveBody(std::int32_t value);
std::string SwingModeBody(std::int32_t value);
std::string MoveToPositionBody(std::int32_t pan, std::int32_t tilt);

}  // namespace commands
