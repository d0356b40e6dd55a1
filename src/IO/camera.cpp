#include "IO/camera.h"

#include <vector>

#include "common/messages.h"

namespace {

// Device faults of the camera's set-up are reported with the label and the runtime's text.
void checkPending(const char* label)
{
    const dev::Error pending = dev::getLastError();
    if (pending != dev::kSuccess) reportDeviceFault(label, dev::errorString(pending));
}

} // namespace

Camera::Camera(Vec3 position, Vec3 direction, int height, int width, float pixelSize)
        : settings_(makeCameraSettings(position, direction, height, width, pixelSize))
{
    try {
        film_.init(settings_.height, settings_.width);
    } catch (const dev::DeviceError& e) {
        reportDeviceFault("Error after film init: \n", dev::errorString(e.code()));
    }
    checkPending("Error after film init: \n");
    rays.resize(settings_.width * settings_.height);
    checkPending("Error after rays init: \n");
    msg::out("initialized cam\n");
}

void Camera::generateRays() { generateCameraRays(rays, settings_); }

bool Camera::writeImage(const float* deviceColours, const std::string& path)
{
    const std::size_t n = film_.values();
    try {
        const std::vector<float> colours = dev::download(deviceColours, n);
        for (std::size_t i = 0; i < n; ++i) film_.hostImage()[i] = colours[i];
        // The film writes from its device image, which must show the same picture.
        dev::upload(film_.deviceImage(), film_.hostImage(), n);
    } catch (const dev::DeviceError& e) {
        reportDeviceFault("Memcpy device data to film error:", dev::errorString(e.code()));
    }
    if (!film_.write(path)) {
        msg::out("Error: Cannot open file %s for writing\n", path.c_str());
        return false;
    }
    return true;
}
