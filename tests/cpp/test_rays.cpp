#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "mesh_fixtures.h"
#include "rays/ray_collection.h"

namespace {

using fixtures::CapturedOutput;
using fixtures::fetch;
using fixtures::TempFile;

std::string errorOf(const std::string& text)
{
    TempFile file("rays.ry", text);
    try {
        readRayFile(file.path());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(Rays, SeedsAreTheSplitMixFinaliserOfTheIndex)
{
    // Independent SplitMix64 finaliser: the generator's output for a state of index + 1 step.
    auto finaliser = [](std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    RayCollection rays(3);
    const auto seeds = fetch(rays.h_rdata.seeds, 3);
    EXPECT_EQ(seeds[0], 0xE220A8397B1DCDAFull);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(seeds[i], finaliser(0x9E3779B97F4A7C15ull + i));
    for (int f : fetch(rays.h_rdata.startFaces, 3)) EXPECT_EQ(f, -1);
}

TEST(Rays, RecordRoundTripAndSeedFallback)
{
    RaysDataFlat flat{};
    std::vector<float> pos(6), dir(6), power(2);
    std::vector<int> faces(2, 7);
    flat = {pos.data(), dir.data(), power.data(), faces.data(), nullptr, 2};
    Ray r = flat.getRay(1);
    EXPECT_EQ(r.face, 7);
    EXPECT_EQ(r.element, -1);
    EXPECT_TRUE(std::isinf(r.hitDistance));
    EXPECT_EQ(r.seed, splitmix64Seed(1)); // no seed array: derived from the index
    r.position = Vec3(1, 2, 3);
    r.seed = 0;
    flat.setRay(r);
    EXPECT_EQ(pos[1], 1.0f);
    EXPECT_EQ(pos[3], 2.0f);
    EXPECT_EQ(pos[5], 3.0f);
    EXPECT_EQ(r.seed, splitmix64Seed(1));
}

TEST(RayFile, ReadsTheDocumentedExample)
{
    TempFile file("example.ry", "# two rays\n2\n0 0 -5 0 0 1 0.5\n1 0 -5 0 0 2 0.5\n");
    auto rays = readRayFile(file.path());
    ASSERT_EQ(rays->nRays, 2);
    EXPECT_EQ(fetch(rays->h_rdata.positions, 6), (std::vector<float>{0, 1, 0, 0, -5, -5}));
    EXPECT_EQ(fetch(rays->h_rdata.directions, 6), (std::vector<float>{0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(fetch(rays->h_rdata.power, 2), (std::vector<float>{0.5f, 0.5f}));
    EXPECT_EQ(fetch(rays->h_rdata.seeds, 2)[1], splitmix64Seed(1));
}

TEST(RayFile, CountLineRulesAndLayoutFreedom)
{
    // Comments and blank lines first; the count line goes on with other words; records
    // span lines or share them.
    TempFile file("layout.ry", "\n# comment\n\n3 rays follow\n0 0 0 3 0 4 1 0 0 0\n0 2 0 2\n2 2 2 0 0 1e-30 1\n");
    auto rays = readRayFile(file.path());
    ASSERT_EQ(rays->nRays, 3);
    const auto d = fetch(rays->h_rdata.directions, 9);
    EXPECT_FLOAT_EQ(d[0], 0.6f); // (3, 0, 4) normalised
    EXPECT_FLOAT_EQ(d[6], 0.8f);
    EXPECT_EQ(d[1], 0.0f); // (0, 2, 0) normalised
    EXPECT_EQ(d[4], 1.0f);
    EXPECT_EQ(d[7], 0.0f);
    EXPECT_EQ(d[8], 1.0f); // (0, 0, 1e-30): its square leaves float's range
    EXPECT_EQ(d[2], 0.0f);
}

TEST(RayFile, RefusesShortInvalidAndUnreadableFiles)
{
    // The count line: text, nothing but comments, overflow, forms stoull would half-read.
    for (const char* text : {"rays\n", "99999999999999999999999\n", "1e2\n0 0 0 0 0 1 1\n", "0x10\n", "-3\n"}) {
        EXPECT_NE(errorOf(text).find("is not a valid count"), std::string::npos) << text;
    }
    EXPECT_NE(errorOf("# only a comment\n\n").find("no ray count line"), std::string::npos);
    EXPECT_NE(errorOf("").find("no ray count line"), std::string::npos);
    EXPECT_NE(errorOf("1\n0 0 0 0 0 0 1\n").find("ray 0 has a zero direction"), std::string::npos);
    EXPECT_NE(errorOf("2\n0 0 0 0 0 1 1\n0 0 0 0 0 1 -1\n").find("ray 1 has a negative power"), std::string::npos);
    EXPECT_NE(errorOf("3\n0 0 0 0 0 1 1\n0 0 0 0 0 1 1\n").find("read 2 complete rays of the 3 declared"),
              std::string::npos);
    EXPECT_NE(errorOf("2\n0 0 0 0 0 1 1\n0 0 0 0 0 1\n").find("read 1 complete rays of the 2 declared"),
              std::string::npos);
    EXPECT_NE(errorOf("2\n0 0 0 0 0 1 1\n# comment\n0 0 0 0 0 1 1\n").find("ray 1 is interrupted by a comment"),
              std::string::npos);
    EXPECT_NE(errorOf("1\n0 0 0 0 0 1 1e60\n").find("ray 0 holds a number that is not finite (1e60)"),
              std::string::npos);
    EXPECT_NE(errorOf("1\n0 0 0 0 0 1 x\n").find("ray 0: 'x' is not a number"), std::string::npos);
    EXPECT_EQ(errorOf("0\n"), "(no error)");
    // A mistyped count does not reserve memory for rays the file does not hold.
    EXPECT_NE(errorOf("700000000\n0 0 0 0 0 1 1\n").find("read 1 complete rays of the 700000000 declared"),
              std::string::npos);
    // Kernels index ray arrays as 2 * nRays + i in int.
    EXPECT_NE(errorOf("715827883\n")
                  .find("the ray count 715827883 is more than the engine holds (at most 715827882 "
                        "rays)"),
              std::string::npos);
    try {
        readRayFile("/nonexistent/rays.ry");
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to open file /nonexistent/rays.ry: ", 0), 0u) << e.what();
    }
}

TEST(Rays, RotationMovesBackTenUnitsAndTurnsAboutTheAxis)
{
    TempFile file("rot.ry", "2\n1 2 3 0 0 1 1\n0 0 0 1 0 0 1\n");
    auto rays = readRayFile(file.path());
    rays->rotateRaysAroundAxis(Vec3(0, 0, 5), 0.0f); // the axis is normalised
    auto p = fetch(rays->h_rdata.positions, 6);
    EXPECT_EQ(p, (std::vector<float>{1, -10, 2, 0, -7, 0}));

    rays->rotateRaysAroundAxis(Vec3(0, 0, 1), 2.0f * static_cast<float>(M_PI));
    p = fetch(rays->h_rdata.positions, 6);
    const std::vector<float> expected{1, -20, 2, 0, -17, 0};
    for (int k = 0; k < 6; ++k) EXPECT_NEAR(p[k], expected[k], 1e-4f);

    // A quarter turn about +z takes +x to +y (right-hand rule).
    rays->rotateRaysAroundAxis(Vec3(0, 0, 1), static_cast<float>(M_PI / 2));
    const auto d = fetch(rays->h_rdata.directions, 6);
    EXPECT_NEAR(d[1], 0.0f, 1e-6f); // ray 1: (1, 0, 0) -> (0, 1, 0)
    EXPECT_NEAR(d[3], 1.0f, 1e-6f);
    EXPECT_NEAR(d[4], 1.0f, 1e-6f); // ray 0 points along the axis and keeps its direction
}

TEST(Rays, RotatingAnEmptyCollectionWarnsAndChangesNothing)
{
    RayCollection rays(0);
    CapturedOutput out;
    rays.rotateRaysAroundAxis(Vec3(0, 0, 1), 1.0f);
    EXPECT_EQ(out.str(), "Warning: rotateRaysAroundAxis called with nRays = 0\n");
}

TEST(Rays, ResizeReplacesEveryArray)
{
    RayCollection rays(4);
    rays.resize(300);
    EXPECT_EQ(rays.nRays, 300);
    EXPECT_EQ(rays.h_rdata.nRays, 300);
    const auto seeds = fetch(rays.h_rdata.seeds, 300);
    EXPECT_EQ(seeds[299], splitmix64Seed(299));
    const RaysDataFlat device = fetch(rays.d_rdata, 1)[0];
    EXPECT_EQ(device.nRays, 300);
    EXPECT_EQ(device.positions, rays.h_rdata.positions);
    EXPECT_THROW(rays.resize(-1), std::invalid_argument);
}

} // namespace
