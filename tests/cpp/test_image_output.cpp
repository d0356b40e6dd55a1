// Bitmaps byte for byte, the render's pixel colours, and the camera's pixel grid.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "IO/bmp_file.h"
#include "IO/camera.h"
#include "mesh_fixtures.h"
#include "objectives/render.h"
#include "rays/ray_generator.h"

namespace {

using fixtures::CapturedOutput;
using fixtures::fetch;

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::vector<std::uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string errorOf(auto&& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Bitmap, HeaderRowsBottomUpAndPadding)
{
    // 2 rows of 3 pixels: each row 9 bytes and 3 padding bytes.
    const int H = 2, W = 3, P = H * W;
    std::vector<double> planes(3 * P, 0.0);
    planes[0] = 1.0;         // red of pixel 0 (row 0, column 0)
    planes[P + 0] = 0.5;     // green: trunc(127.5)
    planes[2 * P + 5] = 1.5; // blue of the last pixel wraps: 382 mod 256
    planes[P + 3] = 0.999;   // green of row 1, column 0: 254
    const auto b = encodeBitmap(planes.data(), H, W);
    ASSERT_EQ(b.size(), 78u);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(u32(b, 2), 78u);
    EXPECT_EQ(u32(b, 10), 54u);
    EXPECT_EQ(u32(b, 14), 40u);
    EXPECT_EQ(u32(b, 18), 3u);
    EXPECT_EQ(u32(b, 22), 2u);
    EXPECT_EQ(b[26] | b[27] << 8, 1);
    EXPECT_EQ(b[28] | b[29] << 8, 24);
    for (std::size_t at = 30; at < 54; at += 4) EXPECT_EQ(u32(b, at), 0u) << at;
    // Row 0 first, each pixel blue, green, red.
    EXPECT_EQ(std::vector<int>(b.begin() + 54, b.begin() + 57), (std::vector<int>{0, 127, 255}));
    EXPECT_EQ(b[54 + 12 + 1], 254);
    EXPECT_EQ(b[54 + 12 + 6], 126);
    for (int row = 0; row < 2; ++row)
        for (int k = 9; k < 12; ++k) EXPECT_EQ(b[54 + 12 * row + k], 0) << row << " " << k;

    const auto square = encodeBitmap(std::vector<double>(48, 0.25).data(), 4, 4);
    EXPECT_EQ(square.size(), 102u);
    EXPECT_EQ(u32(square, 2), 102u);
    EXPECT_EQ(square[101], 63); // no padding: the last byte is the last pixel's red
}

TEST(Bitmap, WritesWhatItEncodesAndRefusesBadSizes)
{
    BMPFile film;
    film.init(2, 3);
    film.testPattern();
    // Red grows along a row, green falls from the bottom row, blue stays zero.
    const double* h = film.hostImage();
    for (int i = 0; i < 6; ++i) {
        EXPECT_DOUBLE_EQ(h[i], (i % 3) / 3.0);
        EXPECT_DOUBLE_EQ(h[6 + i], 1.0 - (i / 3) / 2.0);
        EXPECT_EQ(h[12 + i], 0.0);
    }
    const std::string path = ::testing::TempDir() + "pattern.bmp";
    ASSERT_TRUE(film.write(path));
    EXPECT_EQ(readFile(path), encodeBitmap(h, 2, 3));
    EXPECT_FALSE(film.write(::testing::TempDir() + "no/such/dir/p.bmp"));

    EXPECT_EQ(errorOf([&] { film.init(0, 3); }), "image height must be at least 1 pixel, not 0");
    EXPECT_EQ(errorOf([&] { film.init(3, -2); }), "image width must be at least 1 pixel, not -2");
    EXPECT_NE(errorOf([&] { film.init(40000, 40000); }).find("too large"), std::string::npos);
    // A refused size leaves the image as it was.
    EXPECT_EQ(film.rows, 2);
    EXPECT_EQ(film.values(), 18u);
}

TEST(Render, PaintsTheRaysPixelFromTheStartNormal)
{
    std::vector<double> planes(18, -1.0);
    RenderView view;
    view.image = planes.data();
    view.rows = 2;
    view.columns = 3;
    Ray ray{};
    ray.face = 0;
    ray.index = 4;
    ray.normal = Vec3(0.0f, 0.0f, 1.0f);
    view.interactInterface(&ray);
    EXPECT_EQ(planes[4], 0.0);
    EXPECT_EQ(planes[6 + 4], 0.5);
    EXPECT_EQ(planes[12 + 4], 0.5);
    const auto b = encodeBitmap(planes.data(), 2, 3);
    EXPECT_EQ(std::vector<int>(b.begin() + 54 + 12 + 3, b.begin() + 54 + 12 + 6), (std::vector<int>{127, 127, 0}));

    ray.normal = Vec3(-1.0f, 0.0f, 0.0f);
    ray.index = 0;
    view.interactInterface(&ray);
    EXPECT_EQ(std::make_tuple(planes[0], planes[6], planes[12]), std::make_tuple(0.5, 1.0, 0.5));

    // No start face, or no pixel for the ray's index: nothing painted.
    const std::vector<double> before = planes;
    ray.index = 1;
    ray.face = -1;
    view.interactInterface(&ray);
    ray.face = 2;
    ray.index = 6;
    view.interactInterface(&ray);
    EXPECT_EQ(planes, before);
}

TEST(Camera, PixelCentresAroundTheGridCentre)
{
    CapturedOutput out;
    const Vec3 centre(1.0f, 2.0f, 3.0f);
    Camera camera(centre, Vec3(2.0f, 0.0f, 0.0f), 2, 3, 0.1f);
    EXPECT_EQ(out.str(), "initialized cam\n");
    camera.generateRays();
    ASSERT_EQ(camera.rays.nRays, 6);
    // Looking along +x: right = d x z = -y, up = right x d = +z.
    const RayGenSettings& s = camera.settings();
    EXPECT_EQ(s.direction, Vec3(1, 0, 0));
    EXPECT_EQ(s.right, Vec3(0, -1, 0));
    EXPECT_EQ(s.up, Vec3(0, 0, 1));
    const auto p = fetch(camera.rays.h_rdata.positions, 18);
    const auto d = fetch(camera.rays.h_rdata.directions, 18);
    const auto power = fetch(camera.rays.h_rdata.power, 6);
    const auto faces = fetch(camera.rays.h_rdata.startFaces, 6);
    const auto seeds = fetch(camera.rays.h_rdata.seeds, 6);
    for (int i = 0; i < 6; ++i) {
        const float a = 0.1f * (i % 3 - 1);    // columns at -0.1, 0, 0.1 along right
        const float b = 0.1f * (i / 3 - 0.5f); // rows at -0.05, 0.05 along up
        EXPECT_FLOAT_EQ(p[i], 1.0f) << i;
        EXPECT_NEAR(p[6 + i], 2.0f - a, 1e-6f) << i;
        EXPECT_NEAR(p[12 + i], 3.0f + b, 1e-6f) << i;
        EXPECT_EQ(Vec3(d[i], d[6 + i], d[12 + i]), Vec3(1, 0, 0));
        EXPECT_EQ(power[i], 1.0f);
        EXPECT_EQ(faces[i], -1);
        EXPECT_EQ(seeds[i], splitmix64Seed(static_cast<std::uint64_t>(i)));
    }
    // Ray 4 is column 1, row 1: offset (0, 0.05) from the centre along (right, up).
    const Vec3 q = Camera::getPositionGrid(1, 1, s);
    EXPECT_EQ(q.y, 2.0f);
    EXPECT_FLOAT_EQ(q.z, 3.05f);
}

TEST(Camera, LookingAlongTheZAxisKeepsTheWholeGrid)
{
    for (float dz : {-1.0f, 1.0f}) {
        CapturedOutput out;
        Camera camera(Vec3(0.5f, 0.5f, 4.0f), Vec3(0.0f, 0.0f, dz), 2, 3, 0.25f);
        camera.generateRays();
        const RayGenSettings& s = camera.settings();
        EXPECT_EQ(s.right, Vec3(-dz, 0, 0)) << dz; // direction x (0, 1, 0)
        EXPECT_EQ(s.up, Vec3(0, 1, 0)) << dz;
        const auto p = fetch(camera.rays.h_rdata.positions, 18);
        std::set<std::pair<float, float>> distinct;
        for (int i = 0; i < 6; ++i) {
            distinct.insert({p[i], p[6 + i]});
            EXPECT_EQ(p[12 + i], 4.0f);
        }
        EXPECT_EQ(distinct.size(), 6u) << dz;
    }
}

TEST(Camera, RefusesArgumentsThatMakeNoPicture)
{
    const Vec3 o(0, 0, 0), x(1, 0, 0);
    EXPECT_EQ(errorOf([&] { makeCameraSettings(o, Vec3(0, 0, 0), 2, 2, 0.1f); }),
              "camera direction must be a finite vector of non-zero length");
    EXPECT_NE(errorOf([&] { makeCameraSettings(o, x, 2, 2, 0.0f); }).find("camera pixel size must be positive"),
              std::string::npos);
    EXPECT_EQ(errorOf([&] { makeCameraSettings(o, x, 0, 2, 0.1f); }),
              "camera image height must be at least 1 pixel, not 0");
    EXPECT_NE(errorOf([&] { makeCameraSettings(o, x, 1LL << 20, 1LL << 20, 0.1f); }).find("too large"),
              std::string::npos);
}

TEST(Camera, FilmWritesTheColoursItIsGiven)
{
    CapturedOutput out;
    Camera camera(Vec3(0, 0, 0), Vec3(0, 1, 0), 2, 2, 1.0f);
    std::vector<float> colours(12);
    for (int i = 0; i < 12; ++i) colours[i] = i / 12.0f;
    dev::DeviceArray<float> device(12);
    device.upload(colours);
    const std::string path = ::testing::TempDir() + "film.bmp";
    ASSERT_TRUE(camera.writeImage(device.data(), path));
    std::vector<double> widened(colours.begin(), colours.end());
    EXPECT_EQ(readFile(path), encodeBitmap(widened.data(), 2, 2));
    const std::string bad = ::testing::TempDir() + "missing/film.bmp";
    EXPECT_FALSE(camera.writeImage(device.data(), bad));
    EXPECT_EQ(out.str(), "initialized cam\nError: Cannot open file " + bad + " for writing\n");
}

} // namespace
