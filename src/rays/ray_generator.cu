#include "rays/ray_generator.h"
#include "device/launch.h"

#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>

__global__ void generateCameraRaysKernel(RaysDataFlat* rays, RayGenSettings s)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= rays->nRays) return;
    const int c = i % s.width;
    const int r = (i / s.width) % s.height;
    // A fresh ray as getRay gives it (its seed is the one the collection's set-up drew).
    Ray ray = rays->getRay(i);
    ray.position = CameraRays::getPositionGrid(c, r, s);
    ray.direction = CameraRays::getDirection(ray.position, s);
    ray.power = CameraRays::getPayload(ray.position, s);
    ray.face = -1;
    ray.index = r * s.width + c;
    rays->setRay(ray);
}

void checkImageSize(long long rows, long long columns, const char* what)
{
    if (rows <= 0)
        throw std::runtime_error(std::string(what) + " height must be at least 1 pixel, not " + std::to_string(rows));
    if (columns <= 0)
        throw std::runtime_error(std::string(what) + " width must be at least 1 pixel, not " + std::to_string(columns));
    // Both are positive, so the quotient test cannot overflow.
    if (rows > INT_MAX / 3 / columns) {
        throw std::runtime_error(std::string(what) + " of " + std::to_string(rows) + " x " + std::to_string(columns) +
                                 " pixels is too large: its 3 colour planes must hold fewer than 2^31 values");
    }
}

namespace {

bool finite(Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

} // namespace

RayGenSettings makeCameraSettings(Vec3 position, Vec3 direction, long long height, long long width, float pixelSize)
{
    checkImageSize(height, width, "camera image");
    if (!finite(position)) throw std::runtime_error("camera position must be finite");
    const float L = length(direction);
    if (!finite(direction) || !(L > 0.0f) || !std::isfinite(L)) {
        throw std::runtime_error("camera direction must be a finite vector of non-zero length");
    }
    if (!(pixelSize > 0.0f) || !std::isfinite(pixelSize)) {
        throw std::runtime_error("camera pixel size must be positive and finite, not " + std::to_string(pixelSize));
    }
    RayGenSettings s{};
    s.position = position;
    s.direction = Vec3(direction.x / L, direction.y / L, direction.z / L);
    Vec3 right = cross(s.direction, Vec3(0.0f, 0.0f, 1.0f));
    // Within about 1e-6 rad of the z axis the cross product is rounding noise.
    if (length(right) < 1e-6f) right = cross(s.direction, Vec3(0.0f, 1.0f, 0.0f));
    s.right = normalizedOrAsIs(right);
    s.up = cross(s.right, s.direction);
    s.pixelSizeX = pixelSize;
    s.pixelSizeY = pixelSize;
    s.height = static_cast<int>(height);
    s.width = static_cast<int>(width);
    return s;
}

void generateCameraRays(RayCollection& rays, const RayGenSettings& settings)
{
    dev::launchItems(DEV_KERNEL(generateCameraRaysKernel), rays.nRays, 128, dev::kDefaultStream, rays.d_rdata,
                     settings);
    dev::synchronize();
}
