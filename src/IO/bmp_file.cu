#include "IO/bmp_file.h"
#include "device/launch.h"

#include <cstdio>
#include <stdexcept>

#include "rays/ray_generator.h"

__global__ void generateraysKernel(double* image, int rows, int columns)
{
    const int j = static_cast<int>(dev::globalThreadIndex());
    const int P = rows * columns;
    if (j >= 3 * P) return;
    const int plane = j / P;
    if (plane == 0) image[j] = static_cast<double>(j % columns) / columns;
    else if (plane == 1) image[j] = 1.0 - static_cast<double>((j / columns) % rows) / rows;
}

void BMPFile::init(int rows_, int columns_)
{
    checkImageSize(rows_, columns_, "image");
    const std::size_t n = 3 * static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns_);
    dev::PinnedArray<double> host(n, "bitmap host image");
    dev::DeviceArray<double> device(n, "bitmap device image");
    for (std::size_t i = 0; i < n; ++i) host.data()[i] = 0.0;
    dev::upload(device.data(), host.data(), n);
    host_ = std::move(host);
    device_ = std::move(device);
    rows = rows_;
    columns = columns_;
}

void BMPFile::testPattern()
{
    if (!allocated()) throw std::runtime_error("the bitmap has no image: init it first");
    dev::launchItems(DEV_KERNEL(generateraysKernel), values(), 128, dev::kDefaultStream, device_.data(), rows, columns);
    dev::download(device_.data(), host_.data(), values());
    dev::synchronize();
}

namespace {

void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

// value * 255 truncated toward zero, low 8 bits kept (values outside [0, 1] wrap).
std::uint8_t byteOf(double value) { return static_cast<std::uint8_t>(static_cast<long long>(value * 255.0)); }

} // namespace

std::vector<std::uint8_t> encodeBitmap(const double* planes, int rows, int columns)
{
    const std::size_t W = static_cast<std::size_t>(columns), H = static_cast<std::size_t>(rows);
    const std::size_t pad = W % 4; // (4 - 3W mod 4) mod 4
    const std::size_t rowBytes = 3 * W + pad;
    std::vector<std::uint8_t> file(54 + H * rowBytes, 0);
    std::uint8_t* h = file.data();
    put16(h + 0, 0x4D42);
    put32(h + 2, static_cast<std::uint32_t>(file.size()));
    put32(h + 10, 54);
    put32(h + 14, 40);
    put32(h + 18, static_cast<std::uint32_t>(columns));
    put32(h + 22, static_cast<std::uint32_t>(rows));
    put16(h + 26, 1);
    put16(h + 28, 24);
    const std::size_t P = H * W;
    for (std::size_t r = 0; r < H; ++r) {
        std::uint8_t* out = h + 54 + r * rowBytes;
        for (std::size_t c = 0; c < W; ++c) {
            const std::size_t i = r * W + c;
            out[3 * c + 0] = byteOf(planes[2 * P + i]);
            out[3 * c + 1] = byteOf(planes[P + i]);
            out[3 * c + 2] = byteOf(planes[i]);
        }
    }
    return file;
}

bool BMPFile::write(const std::string& name)
{
    if (!allocated()) throw std::runtime_error("the bitmap has no image: init it first");
    dev::download(device_.data(), host_.data(), values());
    return writeHostImage(name);
}

bool BMPFile::writeHostImage(const std::string& name) const
{
    if (!allocated()) throw std::runtime_error("the bitmap has no image: init it first");
    const std::vector<std::uint8_t> bytes = encodeBitmap(host_.data(), rows, columns);
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) throw std::runtime_error("writing the bitmap " + name + " failed");
    return true;
}
