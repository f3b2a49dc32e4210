// Placeholder until the simulated camera lands.
#include "apps/camera/camera.h"

namespace camera {
struct Camera::Impl {
    CameraConfig config;
};
Camera::Camera(CameraConfig config) : impl_(new Impl{std::move(config)}) {}
Camera::~Camera() { delete impl_; }
bool Camera::Start(std::string* error) {
    if (error) *error = "not built yet";
    return false;
}
void Camera::Stop() {}
int Camera::HttpPort() const { return -1; }
int Camera::NativePort() const { return -1; }
}  // namespace camera
