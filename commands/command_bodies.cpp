// Body formats of the command setters; each ends with the blank line the device expects.
#include "commands/command_bodies.h"

#include <cstdio>

namespace commands {
namespace {

constexpr int kNumbersBodyBytes =
    160;  // the longest numeric body, three 11-character values, is 98

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char body[kNumbersBodyBytes];
    std::snprintf(body, sizeof body, format, args...);
    return body;
}

}  // namespace

std::string OutputsBody(std::int32_t out1, std::int32_t out2) {
    return Format("Trigger1=%d&Trigger2=%d\r\n\r\n", out1, out2);
}
std::string ImageUploadBody(std::int32_t value) {
    return Format("ImageUpload=%d\r\n\r\n", value);
}
std::string ImageEmailBody(std::int32_t value) {
    return Format("ImageEmail=%d\r\n\r\n", value);
}
std::string SingleMoveBody(std::int32_t pan_degrees, std::int32_t tilt_degrees,
                           std::int32_t value) {
    return Format("PanSingleMoveDegree=%d&TiltSingleMoveDegree=%d&PanTiltSingleMove=%d\r\n\r\n",
                  pan_degrees, tilt_degrees, value);
}
std::string ClearPositionBody(std::int32_t value) {
    return Format("ClearPosition=%d\r\n\r\n", value);
}
std::string SetPositionBody(std::int32_t pan, std::int32_t tilt, const std::string& name,
                            std::int32_t value) {
    // The name can be long, so it is joined rather than formatted into the fixed area.
    return Format("PanTiltHorizontal=%d&PanTiltVertical=%d&SetName=", pan, tilt) + name +
           Format("&SetPosition=%d\r\n\r\n", value);
}
std::string PresetMoveBody(std::int32_t value) {
    return Format("PanTiltPresetPositionMove=%d\r\n\r\n", value);
}
std::string SwingModeBody(std::int32_t value) {
    return Format("PanTiltSwingMode=%d\r\n\r\n", value);
}
std::string MoveToPositionBody(std::int32_t pan, std::int32_t tilt) {
    return Format("PanTiltHorizontal=%d&PanTiltVertical=%d&PanTiltPositionMove=true\r\n\r\n", pan,
                  tilt);
}

}  // namespace commands
