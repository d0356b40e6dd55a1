// A three-plane image kept on the device and on the host, written as a 24-bit uncompressed
// Windows bitmap. Plane p (0 red, 1 green, 2 blue) holds rows x columns doubles in [0, 1]
// at p * rows * columns + pixel, pixel = row * columns + column; row 0 is the bottom row
// of the picture (a bitmap with positive height stores its rows bottom-up).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/buffer.h"

class BMPFile {
public:
    int rows = 1024;
    int columns = 1024;
    double pixelSize = 0.0; // kept for the render objective; the file does not use it

    // Zeroed host and device images of rows x columns pixels, replacing (and releasing) any
    // earlier ones. Sizes that are not positive or too large raise std::runtime_error.
    void init(int rows, int columns);
    bool allocated() const { return !device_.empty(); }
    std::size_t values() const { return device_.size(); } // 3 * rows * columns once allocated

    // Copies the device image to the host and writes the bitmap. False when the file cannot
    // be opened (nothing is written then); a write that fails midway raises.
    bool write(const std::string& name);
    // The host image as it stands.
    bool writeHostImage(const std::string& name) const;

    // A gradient for checking the writer and a viewer: red grows along a row, green falls
    // from the bottom row up; blue keeps its values. Ends with both images equal.
    void testPattern();

    double* hostImage() { return host_.data(); }
    const double* hostImage() const { return host_.data(); }
    double* deviceImage() const { return device_.data(); }

private:
    dev::PinnedArray<double> host_;
    dev::DeviceArray<double> device_;
};

// The whole bitmap file for these planes: 54 header bytes, then the rows bottom-up, each
// pixel blue, green, red (value * 255 truncated, low 8 bits), each row padded with zero
// bytes to a multiple of 4.
std::vector<std::uint8_t> encodeBitmap(const double* planes, int rows, int columns);
