// Rays made on the device instead of read from a file. A camera makes one ray per pixel of
// a rectangular grid centred on a position and perpendicular to the viewing direction: all
// rays parallel to that direction, power 1, in raster order (ray r * width + c is column c
// of row r, row 0 at the bottom of the picture), so that a render paints pixel i with ray i.
#pragma once

#include "common/vec3.h"
#include "device/device.h"
#include "rays/ray.h"
#include "rays/ray_collection.h"

// What the camera kernel reads. right and up are the grid axes, fixed once on the host so
// that the choice of axes lives in one place (makeCameraSettings).
struct RayGenSettings {
    Vec3 position;  // centre of the pixel grid
    Vec3 right;     // unit grid axis along a row
    Vec3 direction; // unit viewing direction
    Vec3 up;        // unit grid axis along a column
    float pixelSizeX;
    float pixelSizeY;
    int width;  // pixels per row
    int height; // rows
};

// Refuses image sizes that are not positive, or so large that the three colour planes
// (3 * rows * columns values) could not be indexed with an int. The message names `what`
// ("image", "camera") and the offending size.
void checkImageSize(long long rows, long long columns, const char* what);

// The settings of a camera at `position` looking along `direction` (normalised here) with
// a grid of height x width pixels of `pixelSize`. Grid axes: right = direction x (0, 0, 1),
// normalised, up = right x direction. Looking along the z axis that cross product
// vanishes; the axes then come from the y axis instead, right = direction x (0, 1, 0), so
// that a view straight down -z has right = +x and up = +y. Throws std::runtime_error
// naming the argument for a zero or non-finite direction, a non-finite position, a pixel
// size that is not positive and finite, or an image size checkImageSize refuses.
RayGenSettings makeCameraSettings(Vec3 position, Vec3 direction, long long height, long long width, float pixelSize);

// The device functions of a camera: pure functions of its settings.
struct CameraRays {
    __host__ __device__ static Vec3 getPosition(const RayGenSettings& s) { return s.position; }
    __host__ __device__ static Vec3 getDirection(Vec3 /*point*/, const RayGenSettings& s) { return s.direction; }
    __host__ __device__ static float getPayload(Vec3 /*point*/, const RayGenSettings& /*s*/) { return 1.0f; }
    // Centre of pixel (column i, row j); pixel centres are symmetric about the grid centre.
    __host__ __device__ static Vec3 getPositionGrid(int i, int j, const RayGenSettings& s)
    {
        const float a = s.pixelSizeX * (static_cast<float>(i) + 0.5f - 0.5f * static_cast<float>(s.width));
        const float b = s.pixelSizeY * (static_cast<float>(j) + 0.5f - 0.5f * static_cast<float>(s.height));
        return s.position + a * s.right + b * s.up;
    }
};

// Fills every ray of the collection from the camera (blocks of 128 threads) and waits.
void generateCameraRays(RayCollection& rays, const RayGenSettings& settings);

// A source of rays: owns its collection and fills it on the device.
class RayGenerator {
public:
    RayGenerator() : rays(0) {}
    virtual ~RayGenerator() = default;
    RayGenerator(const RayGenerator&) = delete;
    RayGenerator& operator=(const RayGenerator&) = delete;

    virtual void generateRays() = 0;

    RayCollection rays;
};
