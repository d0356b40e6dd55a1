#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "IO/mesh_readers.h"
#include "mesh/mesh.h"
#include "mesh_fixtures.h"
#include "rays/ray_collection.h"
#include "kernels/surface_reference.h"
#include "tracing/surface_tracer.h"

namespace {

using fixtures::CapturedOutput;
using fixtures::fetch;
using fixtures::TempFile;

std::unique_ptr<Mesh> loadQuiet(const std::string& text)
{
    TempFile file("surface.vtk", text);
    CapturedOutput quiet;
    return readVTK(file.path());
}

const std::string kUnitCube = "# vtk DataFile Version 3.0\ncube\nASCII\nDATASET UNSTRUCTURED_GRID\n"
                              "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1\n"
                              "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n";

// Rays from (position, direction) pairs.
std::unique_ptr<RayCollection> raysOf(const std::vector<std::pair<Vec3, Vec3>>& list)
{
    auto rays = std::make_unique<RayCollection>(static_cast<int>(list.size()));
    const int n = rays->nRays;
    std::vector<float> p(3 * n), d(3 * n);
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            p[c * n + i] = list[i].first[c];
            d[c * n + i] = list[i].second[c];
        }
    dev::upload(rays->h_rdata.positions, p);
    dev::upload(rays->h_rdata.directions, d);
    return rays;
}

// The face grid's walk, and the reference that tests every face; they must agree.
enum class Placement { FaceGrid, EveryFace };
constexpr Placement kBoth[] = {Placement::FaceGrid, Placement::EveryFace};

// The start faces a placement gives.
std::vector<int> place(Mesh& mesh, RayCollection& rays, Placement how)
{
    if (how == Placement::EveryFace) {
        tracing::selftest::placeRaysTestingEveryFace(rays, mesh);
    } else {
        SurfaceRayTracer tracer;
        CapturedOutput quiet;
        tracer.buildAccelerator(mesh);
        tracer.traceRays(rays, mesh);
    }
    return fetch(rays.h_rdata.startFaces, static_cast<std::size_t>(rays.nRays));
}

// The boundary face of element e's local face f.
int faceOf(Mesh& mesh, int e, int f)
{
    return fetch(mesh.h_mdata_devlink.elementNeighbors,
                 6 * static_cast<std::size_t>(mesh.h_mdata_devlink.nElements))[6 * e + f];
}

TEST(FaceGrid, UnitCubeBuildAndOccupancyReport)
{
    auto mesh = loadQuiet(kUnitCube);
    GridAccelerator grid;
    CapturedOutput out;
    grid.buildFaceGrid(*mesh);
    EXPECT_EQ(out.str(), "Cell structure built:\n Grid: (2, 2, 2)\n Cell dimensions (1.000000, 1.000000, 1.000000)\n"
                         "\nFace grid occupancy:\n"
                         "  cells total/non-empty/empty: 8 / 4 / 4\n"
                         "  elements linked/check: 6 / 6\n"
                         "  per-cell count mean(all/non-empty): 0.750 / 1.500\n"
                         "  per-cell count min/p50/p90/max: 1 / 0.5 / 1.6 / 3\n"
                         "  27-cell stencil count mean: 6.000\n"
                         "  27-cell stencil count min/p10/p50/p90/max: 6 / 6.0 / 6.0 / 6.0 / 6\n");
    const GridView v = grid.view();
    EXPECT_EQ(v.origin, Vec3(-0.5f, -0.5f, -0.5f));
    EXPECT_EQ(v.cellSize, Vec3(1, 1, 1));
}

TEST(SpatialGrid, OneRoundingRulePlacesCoordinatesOnCells)
{
    // Floor, not truncation: just before the first cell is outside (clamped: cell 0); the
    // far edge belongs to no cell; huge values and NaN are decided before any conversion.
    const float nan = std::nanf("");
    for (float below : {-0.5f, -1e-7f}) {
        EXPECT_EQ(cellOrNone(below, 4), -1);
        EXPECT_EQ(clampedCell(below, 4), 0);
        EXPECT_EQ(clampedCell(static_cast<double>(below), 4), 0);
    }
    EXPECT_EQ(cellOrNone(2.999f, 4), 2);
    EXPECT_EQ(cellOrNone(3.0, 4), 3);
    EXPECT_EQ(cellOrNone(4.0f, 4), -1);
    EXPECT_EQ(clampedCell(4.0f, 4), 3);
    EXPECT_EQ(clampedCell(1e30f, 4), 3);
    EXPECT_EQ(clampedCell(-1e30, 4), 0);
    EXPECT_EQ(cellOrNone(nan, 4), -1);
    EXPECT_EQ(clampedCell(nan, 4), 0);
    GridView g;
    g.nx = g.ny = g.nz = 2;
    g.cellSize = Vec3(1, 1, 1);
    g.origin = Vec3(-0.5f, -0.5f, -0.5f);
    EXPECT_EQ(g.cellOf(Vec3(0.7f, -0.2f, 1.2f)), g.cellIndex(1, 0, 1));
    EXPECT_EQ(g.cellOf(Vec3(-0.6f, 0, 0)), -1);
    EXPECT_EQ(g.cellOf(Vec3(nan, 0, 0)), -1);
    EXPECT_EQ(g.clampedCellAlong(1, -7.0f), 0);
    EXPECT_EQ(g.clampedCellAlong(2, 7.0f), 1);
}

TEST(FaceGrid, PercentilesInterpolateBetweenNeighbours)
{
    const std::vector<int> v{0, 0, 1, 3};
    EXPECT_FLOAT_EQ(occupancyPercentile(v, 0.5f), 0.5f);
    EXPECT_FLOAT_EQ(occupancyPercentile(v, 0.9f), 2.4f);
    EXPECT_EQ(occupancyPercentile({}, 0.5f), 0.0f);
    EXPECT_EQ(occupancyPercentile(v, 2.0f), 3.0f); // the fraction is clamped
}

TEST(SurfaceTracer, RayAimedAtAFaceLandsOnItsPlane)
{
    auto mesh = loadQuiet(kUnitCube);
    for (Placement kind : kBoth) {
        auto rays = raysOf({{Vec3(0.3f, 0.4f, -5.0f), Vec3(0, 0, 1)}, {Vec3(0.25f, 7.0f, 0.6f), Vec3(0, -1, 0)}});
        const auto faces = place(*mesh, *rays, kind);
        EXPECT_EQ(faces[0], faceOf(*mesh, 0, 0)); // zeta = -1: the z = 0 plane
        EXPECT_EQ(faces[1], faceOf(*mesh, 0, 5)); // eta = +1: the y = 1 plane
        const auto p = fetch(rays->h_rdata.positions, 6);
        EXPECT_NEAR(p[4], 0.0f, 1e-6f);
        EXPECT_FLOAT_EQ(p[0], 0.3f);
        EXPECT_NEAR(p[3], 1.0f, 1e-6f);
    }
}

TEST(SurfaceTracer, NearerOfTwoFacesAlongTheRayWins)
{
    auto mesh = loadQuiet(std::string(fixtures::kTwoCubes));
    for (Placement kind : kBoth) {
        auto rays = raysOf({{Vec3(5.0f, 0.5f, 0.5f), Vec3(-1, 0, 0)}, {Vec3(-3.0f, 0.2f, 0.7f), Vec3(1, 0, 0)}});
        const auto faces = place(*mesh, *rays, kind);
        EXPECT_EQ(faces[0], faceOf(*mesh, 1, 3)) << "kind " << static_cast<int>(kind);
        EXPECT_EQ(faces[1], faceOf(*mesh, 0, 2)) << "kind " << static_cast<int>(kind);
        const auto p = fetch(rays->h_rdata.positions, 6);
        EXPECT_NEAR(p[0], 2.0f, 1e-6f);
        EXPECT_NEAR(p[1], 0.0f, 1e-6f);
    }
}

TEST(SurfaceTracer, RaysFromFarAwayFindTheirEntryCell)
{
    // 1000 units above a unit cube, the entry point's rounding (about 6e-5) exceeds a nudge
    // of 1e-5 of the grid across its face: a ray located by a nudged point finds no cell.
    auto mesh = loadQuiet(kUnitCube);
    for (Placement kind : kBoth) {
        auto rays = raysOf({{Vec3(0.3f, 0.4f, 1000.0f), Vec3(0, 0, -1)}, {Vec3(3000.0f, 0.6f, 0.7f), Vec3(-1, 0, 0)}});
        const auto faces = place(*mesh, *rays, kind);
        EXPECT_EQ(faces[0], faceOf(*mesh, 0, 1)) << "kind " << static_cast<int>(kind); // zeta = +1: z = 1
        EXPECT_EQ(faces[1], faceOf(*mesh, 0, 3)) << "kind " << static_cast<int>(kind); // xi = +1: x = 1
    }
}

TEST(SurfaceTracer, RaysThatMissKeepPositionAndLoseTheirFace)
{
    auto mesh = loadQuiet(kUnitCube);
    for (Placement kind : kBoth) {
        // Away from the mesh; parallel to a slab it is outside of; from inside, outward.
        auto rays = raysOf({{Vec3(3, 3, 3), Vec3(1, 0, 0)},
                            {Vec3(0.5f, 5.0f, 0.5f), Vec3(1, 0, 0)},
                            {Vec3(0.5f, 0.5f, 0.5f), Vec3(0, 0, 1)}});
        const std::vector<int> earlier{4, 4, 4};
        dev::upload(rays->h_rdata.startFaces, earlier);
        const auto before = fetch(rays->h_rdata.positions, 9);
        const auto faces = place(*mesh, *rays, kind);
        EXPECT_EQ(faces[0], -1);
        EXPECT_EQ(faces[1], -1);
        EXPECT_EQ(faces[2], faceOf(*mesh, 0, 1)) << "a ray inside leaves through zeta = +1";
        const auto after = fetch(rays->h_rdata.positions, 9);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(after[c * 3 + 0], before[c * 3 + 0]);
            EXPECT_EQ(after[c * 3 + 1], before[c * 3 + 1]);
        }
        EXPECT_NEAR(after[2 * 3 + 2], 1.0f, 1e-6f);
    }
}

TEST(SurfaceTracer, FlatSurfaceGetsACellSizeOnItsFlatAxis)
{
    TempFile file("flat.obj", "v 0 0 0\nv 2 0 0\nv 2 1 0\nv 0 1 0\nv 4 0 0\nv 4 1 0\nf 1 2 3 4\nf 2 5 6 3\n");
    std::unique_ptr<Mesh> mesh;
    {
        CapturedOutput quiet;
        mesh = readOBJ(file.path());
    }
    GridAccelerator grid;
    {
        CapturedOutput quiet;
        grid.buildFaceGrid(*mesh);
    }
    EXPECT_EQ(grid.view().cellSize, Vec3(2, 1, 2));
    EXPECT_EQ(grid.view().nz, 1);
    auto rays = raysOf({{Vec3(3.0f, 0.5f, 5.0f), Vec3(0, 0, -1)}});
    EXPECT_EQ(place(*mesh, *rays, Placement::FaceGrid)[0], 1);
    EXPECT_NEAR(fetch(rays->h_rdata.positions, 3)[2], 0.0f, 1e-6f);
}

} // namespace
