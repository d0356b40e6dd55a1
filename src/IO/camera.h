// A camera: a ray generator for a pixel grid (rays/ray_generator.h) with a bitmap film
// into which a per-pixel colour array can be copied and written. It sits with the file
// writers because its film writes bitmaps.
#pragma once

#include <string>

#include "IO/bmp_file.h"
#include "rays/ray_generator.h"

class Camera : public RayGenerator, public CameraRays {
public:
    // Settings as makeCameraSettings makes them (bad arguments raise std::runtime_error),
    // a film of width x height and one ray per pixel; prints "initialized cam". Device
    // faults are reported with their labels and raise.
    Camera(Vec3 position, Vec3 direction, int height, int width, float pixelSize);

    // One ray per pixel in raster order; waits for the device.
    void generateRays() override;

    // Copies 3 * width * height floats (the red, green and blue planes, pixel i = row *
    // width + column) from device memory into the film and writes the bitmap. False, after
    // "Error: Cannot open file ... for writing", when the file cannot be opened.
    bool writeImage(const float* deviceColours, const std::string& path);

    const RayGenSettings& settings() const { return settings_; }
    const BMPFile& film() const { return film_; }

private:
    RayGenSettings settings_;
    BMPFile film_;
};
