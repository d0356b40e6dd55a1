#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "curing/material_state.h"
#include "kernels/curing_reference.h"
#include "mesh/mesh.h"
#include "mesh_fixtures.h"

namespace {

using fixtures::fetch;

// A mesh that is only nodes: a k^3 lattice of spacing 1, each node moved by up to
// `jitter` along every axis.
std::unique_ptr<Mesh> lattice(int k, float jitter = 0.0f, unsigned seed = 1)
{
    const int n = k * k * k;
    auto mesh = std::make_unique<Mesh>(n, 0, 0);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> shift(-jitter, jitter);
    std::vector<float> coords(3 * static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const int idx[3] = {i % k, (i / k) % k, i / (k * k)};
        for (int a = 0; a < 3; ++a) coords[a * n + i] = static_cast<float>(idx[a]) + (jitter > 0 ? shift(rng) : 0.0f);
    }
    dev::upload(mesh->h_mdata_devlink.nodeCoords, coords);
    return mesh;
}

template <typename T>
dev::DeviceArray<T> onDevice(const std::vector<T>& host)
{
    dev::DeviceArray<T> a(host.size());
    a.upload(host);
    return a;
}

CuralisProps resin()
{
    CuralisProps p;
    p.kpropagation = 2.0;
    p.koxygen = 3.0;
    p.dt = 0.2; // half steps of 0.1
    p.c_monomer0 = 1.0;
    p.n0 = 1.48;
    p.n1 = 1.52;
    p.alpha0 = 0.5;
    p.alpha1 = 0.25;
    return p;
}

struct Node {
    double monomer, radical, oxygen, cure;
};

Node nodeOf(const MaterialState& s, int i)
{
    const int n = s.nodeCount();
    const auto& r = s.record();
    return {fetch(r.monomer, n)[i], fetch(r.radical, n)[i], fetch(r.oxygen, n)[i], fetch(r.degreeOfCuring, n)[i]};
}

} // namespace

TEST(CuringRateLaw, LimitsOfTheSquareRootLaw)
{
    // Node 0 unlit, node 1 moderate light, node 2 enough light to use up more than all monomer,
    // node 3 a power that is not a number.
    const auto power = onDevice<double>({0.0, 4.0, 1e6, std::nan("")});
    CuralisProps p = resin();
    p.c_radical0 = 0.3;

    p.c_oxygen0 = 0.0; // no inhibition: monomer goes at M kp sqrt(dU)
    MaterialState free(p, 4);
    free.solveRate(power.data());
    const Node unlit = nodeOf(free, 0), lit = nodeOf(free, 1), burnt = nodeOf(free, 2), nan = nodeOf(free, 3);
    EXPECT_EQ(unlit.monomer, 1.0);
    EXPECT_EQ(unlit.radical, 0.3);
    EXPECT_EQ(unlit.oxygen, 0.0);
    EXPECT_EQ(unlit.cure, 0.0);
    EXPECT_DOUBLE_EQ(lit.monomer, 1.0 - 2.0 * std::sqrt(4.0) * 0.1);
    EXPECT_DOUBLE_EQ(lit.cure, 2.0 * std::sqrt(4.0) * 0.1);
    EXPECT_EQ(lit.oxygen, 0.0);
    EXPECT_EQ(lit.radical, 0.3); // the square-root law leaves radicals alone
    EXPECT_EQ(burnt.monomer, 0.0);
    EXPECT_EQ(burnt.cure, 1.0);
    EXPECT_EQ(nan.monomer, 1.0);
    EXPECT_EQ(nan.cure, 0.0);

    p.c_oxygen0 = 1.0; // saturated with oxygen: no propagation, oxygen decays
    MaterialState inhibited(p, 4);
    inhibited.solveRate(power.data());
    EXPECT_EQ(nodeOf(inhibited, 1).monomer, 1.0);
    EXPECT_EQ(nodeOf(inhibited, 1).cure, 0.0);
    EXPECT_DOUBLE_EQ(nodeOf(inhibited, 1).oxygen, 1.0 - 3.0 * std::sqrt(4.0) * 0.1);
    EXPECT_EQ(nodeOf(inhibited, 2).oxygen, 0.0);

    p.c_oxygen0 = 1.5; // above saturation: enters the law as 1, no NaN anywhere
    MaterialState over(p, 4);
    over.solveRate(power.data());
    EXPECT_EQ(nodeOf(over, 1).monomer, 1.0);
    EXPECT_DOUBLE_EQ(nodeOf(over, 1).oxygen, 1.5 - 3.0 * std::sqrt(4.0) * 0.1);
    for (int i = 0; i < 4; ++i) {
        const Node v = nodeOf(over, i);
        EXPECT_TRUE(std::isfinite(v.monomer) && std::isfinite(v.oxygen) && std::isfinite(v.cure)) << i;
    }
}

TEST(CuringProperties, EndsOfTheInterpolationAndNoMonomerToConvert)
{
    for (double x : {0.0, 1.0}) {
        CuralisProps p = resin();
        p.degree_of_curing0 = x;
        MaterialState s(p, 3);
        dev::DeviceArray<float> alpha(3), index(3);
        s.updateProperties(alpha.data(), index.data());
        for (float a : alpha.download()) EXPECT_EQ(a, static_cast<float>(x == 0.0 ? 0.5 : 0.25));
        for (float r : index.download()) EXPECT_EQ(r, static_cast<float>(x == 0.0 ? 1.48 : 1.52));
    }
    // A resin without monomer has nothing to convert: lit nodes keep their degree of curing.
    CuralisProps p = resin();
    p.c_monomer0 = 0.0;
    p.degree_of_curing0 = 0.25;
    MaterialState empty(p, 1);
    const auto power = onDevice<double>({5.0});
    empty.solveRate(power.data());
    EXPECT_EQ(nodeOf(empty, 0).cure, 0.25);
}

class Diffusion : public ::testing::Test {
protected:
    static constexpr int k = 7, n = k * k * k;
    std::unique_ptr<Mesh> mesh = lattice(k);
    const float* coords() const { return mesh->h_mdata_devlink.nodeCoords; }
    SpatialGrid grid;
    double D = 0.25, dt = 1.0; // cut-off radius sqrt(4 ln 1000) = 2.63 node spacings
    void SetUp() override
    {
        fixtures::CapturedOutput quiet;
        const float edge = static_cast<float>(diffusionCutoffRadius(D, dt) * 1.0001);
        grid.buildNodalGrid(*mesh, Vec3(edge, edge, edge));
    }
    std::vector<double> accelerated(const std::vector<double>& in, const double* gel = nullptr, double gelPoint = 1.0,
                                    const int* mask = nullptr, double value = 0.0, double step = -1.0)
    {
        auto dIn = onDevice(in);
        dev::DeviceArray<double> out(in.size());
        diffuseAccelerated(out.data(), dIn.data(), coords(), D, step < 0 ? dt : step, n, grid.view(), gel, gel ? 1 : 0,
                           gelPoint, mask, mask ? 1 : 0, value);
        dev::synchronize();
        return out.download();
    }
    std::vector<double> allNodes(const std::vector<double>& in)
    {
        auto dIn = onDevice(in);
        dev::DeviceArray<double> out(in.size());
        curing::selftest::diffuseAllNodes(out.data(), dIn.data(), coords(), D, dt, n);
        dev::synchronize();
        return out.download();
    }
    static int at(int x, int y, int z) { return x + k * (y + k * z); }
};

TEST_F(Diffusion, UniformFieldStaysAndASpikeSpreadsAsANormalisedGaussianAverage)
{
    for (const auto& out : {accelerated(std::vector<double>(n, 0.7)), allNodes(std::vector<double>(n, 0.7))}) {
        for (double v : out) EXPECT_NEAR(v, 0.7, 4e-15); // the rounding of a sum of ~80 weights
    }

    // Node (3, 3, 4) averages its neighbours within the cut-off, weighted exp(-r^2 / 4Ddt).
    const auto weightsAround = [&](int cx, int cy, int cz, const std::vector<double>& field, double& den) {
        double num = 0.0;
        den = 0.0;
        for (int z = 0; z < k; ++z)
            for (int y = 0; y < k; ++y)
                for (int x = 0; x < k; ++x) {
                    const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy) + (z - cz) * (z - cz);
                    const double w = std::exp(-r2 / (4 * D * dt));
                    if (w < 0.001) continue;
                    num += w * field[at(x, y, z)];
                    den += w;
                }
        return num;
    };
    std::vector<double> in(n, 1.0);
    const int centre = at(3, 3, 3);
    in[centre] = 2.0;
    const std::vector<double> out = accelerated(in);
    double den = 0.0;
    const double num = weightsAround(3, 3, 4, in, den);
    EXPECT_NEAR(out[at(3, 3, 4)], num / den, 1e-14); // lattice distances are exact in float
    EXPECT_LT(out[centre], 2.0);
    EXPECT_GT(out[at(3, 3, 4)], out[at(3, 4, 4)]);          // falls off with distance
    EXPECT_NEAR(out[at(3, 3, 4)], out[at(2, 3, 3)], 1e-15); // the same distance gives the same value
    EXPECT_EQ(out[at(0, 0, 0)], 1.0);                       // past the cut-off

    // Zeros weigh like any other value: a lone spike in an empty field spreads as the same
    // average, so it falls and each node within reach takes its weighted share, not all of it.
    std::vector<double> lone(n, 0.0);
    lone[centre] = 3.0;
    for (const auto& spread : {accelerated(lone), allNodes(lone)}) {
        EXPECT_NEAR(spread[at(3, 3, 4)], weightsAround(3, 3, 4, lone, den) / den, 1e-14);
        EXPECT_NEAR(spread[at(3, 3, 4)], 3.0 * std::exp(-1.0) / den, 1e-14);
        EXPECT_NEAR(spread[centre], weightsAround(3, 3, 3, lone, den) / den, 1e-14);
        EXPECT_LT(spread[centre], 0.6); // under a fifth of the spike
        EXPECT_EQ(spread[at(0, 0, 0)], 0.0);
    }

    // A value that is not a number stays where it is, in sight, and reaches no neighbour.
    std::vector<double> hole(n, 1.0);
    hole[centre] = std::nan("");
    for (const auto& out : {accelerated(hole), allNodes(hole)}) {
        EXPECT_TRUE(std::isnan(out[centre]));
        for (int i = 0; i < n; ++i) {
            if (i != centre) EXPECT_NEAR(out[i], 1.0, 4e-15) << i;
        }
    }
}

TEST_F(Diffusion, GelledNodesFreezeDirichletNodesHoldAndZeroStepCopies)
{
    std::vector<double> in(n, 1.0);
    const int frozen = at(3, 3, 3);
    in[frozen] = 5.0;
    std::vector<double> gel(n, 0.2);
    gel[frozen] = 0.9;
    auto dGel = onDevice(gel);
    const std::vector<double> out = accelerated(in, dGel.data(), 0.8);
    EXPECT_EQ(out[frozen], 5.0);
    for (int i = 0; i < n; ++i) {
        if (i == frozen) continue;
        EXPECT_NEAR(out[i], 1.0, 1e-15) << i; // the frozen value reaches nobody
    }

    std::vector<int> mask(n, 0);
    mask[at(0, 3, 3)] = 1;
    auto dMask = onDevice(mask);
    std::vector<double> ramp(n);
    for (int i = 0; i < n; ++i) ramp[i] = 1.0 + i % k;
    const std::vector<double> held = accelerated(ramp, nullptr, 1.0, dMask.data(), 0.125);
    EXPECT_EQ(held[at(0, 3, 3)], 0.125);
    EXPECT_NE(held[at(1, 3, 3)], ramp[at(1, 3, 3)]);

    EXPECT_EQ(accelerated(ramp, nullptr, 1.0, nullptr, 0.0, 0.0), ramp);

    dev::DeviceArray<double> field(n);
    EXPECT_THROW(diffuseAccelerated(field.data(), field.data(), coords(), D, dt, n, grid.view(), nullptr, 0, 1.0,
                                    nullptr, 0, 0.0),
                 std::invalid_argument);
    dev::DeviceArray<double> other(n);
    EXPECT_THROW(diffuseAccelerated(other.data(), field.data(), coords(), D, dt, n - 1, grid.view(), nullptr, 0, 1.0,
                                    nullptr, 0, 0.0),
                 std::invalid_argument); // a grid over another node count
}

TEST(CuringGrid, TheGridWalkEqualsTheAllNodesKernelWhateverTheCellSize)
{
    // A jittered lattice far from the origin, where the float rounding of coordinates and
    // cell indices is largest, and a field with zeros in it. Radicals diffuse 16 times
    // faster than oxygen; the model's grid serves both, and so must grids with cells much
    // smaller or larger than the cut-off.
    const int k = 9, n = k * k * k;
    auto mesh = lattice(k, 0.3f);
    std::vector<float> coords = dev::download(mesh->h_mdata_devlink.nodeCoords, 3 * static_cast<std::size_t>(n));
    for (float& x : coords) x += 1000.0f;
    dev::upload(mesh->h_mdata_devlink.nodeCoords, coords);
    CuralisProps p = resin();
    p.dt = 1.0;
    p.diffusion_oxygen = 0.01;
    p.diffusion_radical = 0.16;
    MaterialState model(p, n);
    fixtures::CapturedOutput quiet;
    model.initializeAccelerator(mesh.get());

    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> field(n);
    for (double& v : field) v = u(rng) < 0.3 ? 0.0 : u(rng);
    auto in = onDevice(field);
    const float* xyz = mesh->h_mdata_devlink.nodeCoords;
    SpatialGrid foreign[3];
    const float edges[3] = {0.3f, 1.0f, 5.0f};
    for (int g = 0; g < 3; ++g) foreign[g].buildNodalGrid(*mesh, Vec3(edges[g], edges[g], edges[g]));
    for (double D : {0.16, 0.01}) {
        dev::DeviceArray<double> all(n), walked(n);
        curing::selftest::diffuseAllNodes(all.data(), in.data(), xyz, D, 1.0, n);
        dev::synchronize();
        const auto a = all.download();
        for (int g = -1; g < 3; ++g) {
            const GridView view = g < 0 ? model.grid() : foreign[g].view();
            diffuseAccelerated(walked.data(), in.data(), xyz, D, 1.0, n, view, nullptr, 0, 1.0, nullptr, 0, 0.0);
            dev::synchronize();
            const auto w = walked.download();
            for (int i = 0; i < n; ++i)
                EXPECT_NEAR(w[i], a[i], 1e-12 * std::fabs(a[i]) + 1e-300) << D << " " << g << " " << i;
        }
    }
}

TEST(CuringGrid, NoDiffusionGetsASoundGridAndAStepCopiesTheFields)
{
    auto mesh = lattice(4);
    CuralisProps p = resin();
    p.c_oxygen0 = 0.5;
    MaterialState model(p, 64); // no diffusion at all: the cut-off radius is 0
    fixtures::CapturedOutput quiet;
    model.initializeAccelerator(mesh.get());
    EXPECT_EQ(model.cellEdge(), 3.0f); // the mesh's width
    dev::DeviceArray<double> power(64);
    power.zero();
    dev::DeviceArray<float> alpha(64), index(64);
    MeshDataFlat link = mesh->h_mdata_devlink;
    link.absorptivity = alpha.data();
    link.refrIndex = index.data();
    model.reactionStep(power.data(), &link);
    for (double o : fetch(model.record().oxygen, 64)) EXPECT_EQ(o, 0.5);
    for (double r : fetch(model.record().radical, 64)) EXPECT_EQ(r, 0.0); // the radical field is the (zero) power
    for (float a : alpha.download()) EXPECT_EQ(a, 0.5f);
}

namespace {
// A block of k x k x layers hexahedra whose plane is warped (no quadrilateral a
// parallelogram) and whose layers are unevenly spaced, with its nodes numbered at random;
// `tilt` moves the top of one column aside and `pocket` leaves out an element inside, either
// of which makes the mesh no longer extruded.
struct WarpedBlock {
    int n = 0, E = 0;
    dev::DeviceArray<float> coords;
    dev::DeviceArray<int> elements;
    MeshDataFlat flat{};
    WarpedBlock(int k, int layers, float tilt, bool pocket)
    {
        const int m = k + 1, mz = layers + 1;
        n = m * m * mz;
        std::mt19937 rng(11);
        std::vector<int> id(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) id[i] = i;
        std::shuffle(id.begin(), id.end(), rng);
        std::vector<float> xyz(3 * static_cast<std::size_t>(n));
        for (int z = 0; z < mz; ++z)
            for (int y = 0; y < m; ++y)
                for (int x = 0; x < m; ++x) {
                    const int i = id[x + m * (y + m * z)];
                    xyz[i] = static_cast<float>(x + 0.2 * std::sin(1.3 * y) + 0.05 * x * y);
                    xyz[n + i] = static_cast<float>(y + 0.15 * std::cos(0.7 * x));
                    xyz[2 * n + i] = static_cast<float>(0.5 * z + 0.1 * z * z / layers);
                    if (x == 1 && y == 1 && z == layers) xyz[i] += tilt;
                }
        static const int corner[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                         {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
        std::vector<int> nodes;
        for (int z = 0; z < layers; ++z)
            for (int y = 0; y < k; ++y)
                for (int x = 0; x < k; ++x) {
                    if (pocket && x == 1 && y == 1 && z == 1) continue;
                    for (const auto& c : corner) nodes.push_back(id[(x + c[0]) + m * ((y + c[1]) + m * (z + c[2]))]);
                }
        E = static_cast<int>(nodes.size() / 8);
        coords = onDevice(xyz);
        elements = onDevice(nodes);
        flat.nNodes = n;
        flat.nElements = E;
        flat.nodeCoords = coords.data();
        flat.elementNodes = elements.data();
    }
};
} // namespace

TEST(FemExtrusion, TheColumnPassesSolveTheAssembledStepAndOnlyExtrudedMeshesUseThem)
{
    // Both ways through the same steps: with and without the cure's coefficient (gelled and
    // fixed nodes among the rest), with the diagonal (the same iterations, the iterates apart
    // by the assembled weights' single precision and the search directions' float rounding)
    // and with multigrid (whose aggregates follow the numbering), both to the solver's
    // tolerance. The tall block has columns of several runs.
    struct Case {
        int k, layers;
        float tilt;
        bool pocket, extruded;
    };
    FemDiffusion reused;
    for (const Case& c : {Case{7, 7, 0.0f, false, true}, Case{2, 140, 0.0f, false, true},
                          Case{7, 7, 0.01f, false, false}, Case{7, 7, 0.0f, true, false}}) {
        WarpedBlock block(c.k, c.layers, c.tilt, c.pocket);
        const int n = block.n;
        std::mt19937 rng(5);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<double> field(n), cure(n);
        std::vector<int> mask(n);
        for (int i = 0; i < n; ++i) {
            field[i] = u(rng);
            cure[i] = u(rng) < 0.1 ? 0.9 : 0.6 * u(rng);
            mask[i] = u(rng) < 0.05;
        }
        const auto dField = onDevice(field), dCure = onDevice(cure);
        const auto dMask = onDevice(mask);
        for (auto preconditioner : {FemPreconditioner::Diagonal, FemPreconditioner::Multigrid}) {
            for (bool gel : {false, true}) {
                std::vector<double> result[2];
                int iterations[2];
                for (int way = 0; way < 2; ++way) {
                    FemDiffusion fresh;
                    FemDiffusion& fem = way == 0 ? reused : fresh; // built again on every block
                    fem.build(block.flat, preconditioner, 0.0, way == 0);
                    EXPECT_EQ(fem.extruded(), way == 0 && c.extruded);
                    dev::DeviceArray<double> out(static_cast<std::size_t>(n));
                    iterations[way] =
                        fem.step(out.data(), dField.data(), 0.8, 1.0, dCure.data(), gel, 0.8, dMask.data(), true, 0.3);
                    result[way] = out.download();
                }
                const bool exact = preconditioner == FemPreconditioner::Diagonal;
                if (exact) EXPECT_EQ(iterations[0], iterations[1]);
                double largest = 0.0, apart = 0.0;
                for (int i = 0; i < n; ++i) {
                    largest = std::max(largest, std::fabs(result[1][i]));
                    apart = std::max(apart, std::fabs(result[0][i] - result[1][i]));
                    if (mask[i]) EXPECT_EQ(result[0][i], 0.3);
                    if (gel && !mask[i] && cure[i] >= 0.8) EXPECT_DOUBLE_EQ(result[0][i], field[i]);
                }
                EXPECT_LE(apart, (exact ? 1e-6 : 1e-5) * largest) << c.layers << " " << c.tilt << " " << gel;
            }
        }
    }
}

TEST(FemHistory, StepsThatStartFromTheLastChangeAndReuseTheLevelsSolveTheSameSteps)
{
    // Steps from one field with a history against steps without: the same results to the
    // solver's tolerance, a repeated step found without iterating, and the kept levels still
    // right once the cure has advanced and the fixed nodes have changed under the same mask.
    WarpedBlock block(7, 7, 0.0f, false);
    const int n = block.n;
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> field(n), cure(n);
    std::vector<int> mask(n);
    for (int i = 0; i < n; ++i) {
        field[i] = u(rng);
        cure[i] = 0.5 * u(rng);
        mask[i] = u(rng) < 0.05;
    }
    const auto dField = onDevice(field);
    dev::DeviceArray<double> dCure(static_cast<std::size_t>(n)), out(static_cast<std::size_t>(n));
    dev::DeviceArray<int> dMask(static_cast<std::size_t>(n));
    for (auto preconditioner : {FemPreconditioner::Diagonal, FemPreconditioner::Multigrid}) {
        FemDiffusion kept, fresh;
        kept.build(block.flat, preconditioner, 0.0);
        fresh.build(block.flat, preconditioner, 0.0);
        for (int s = 0; s < 4; ++s) {
            if (s == 2) { // the cure advances and some fixed nodes are freed, others fixed
                for (int i = 0; i < n; ++i) {
                    cure[i] = std::min(0.95, cure[i] + 0.4 * u(rng));
                    mask[i] = u(rng) < 0.05;
                }
            }
            dCure.upload(cure);
            dMask.upload(mask);
            const int full =
                fresh.step(out.data(), dField.data(), 0.8, 1.0, dCure.data(), true, 0.8, dMask.data(), true, 0.3);
            const std::vector<double> expected = out.download();
            const int iterations =
                kept.step(out.data(), dField.data(), 0.8, 1.0, dCure.data(), true, 0.8, dMask.data(), true, 0.3, 1);
            const std::vector<double> result = out.download();
            if (s == 1 || s == 3) { // the same step as the one before: converged, or one iteration away
                EXPECT_LE(iterations, 1) << s;
                EXPECT_GT(full, 4) << s;
            }
            for (int i = 0; i < n; ++i) {
                if (mask[i]) EXPECT_EQ(result[i], 0.3) << s;
                else if (cure[i] >= 0.8) EXPECT_DOUBLE_EQ(result[i], field[i]) << s;
                else EXPECT_NEAR(result[i], expected[i], 1e-5) << s << " " << i;
            }
        }
    }
    // A field emptied after a step that changed it stays exactly empty, without iterating:
    // solved in place, in the mesh's numbering and in the columns' one.
    for (bool extrusion : {false, true}) {
        FemDiffusion fem;
        fem.build(block.flat, FemPreconditioner::Diagonal, 0.0, extrusion);
        auto f = onDevice(field);
        fem.step(f.data(), f.data(), 0.8, 1.0, nullptr, false, 0.8, nullptr, false, 0.0, 0);
        f.upload(std::vector<double>(static_cast<std::size_t>(n), 0.0));
        EXPECT_EQ(fem.step(f.data(), f.data(), 0.8, 1.0, nullptr, false, 0.8, nullptr, false, 0.0, 0), 0) << extrusion;
        for (double v : f.download()) EXPECT_EQ(v, 0.0) << extrusion;
    }
    FemDiffusion fem;
    fem.build(block.flat);
    EXPECT_THROW(fem.step(out.data(), dField.data(), 0.8, 1.0, nullptr, false, 0.8, nullptr, false, 0.0,
                          FemDiffusion::kHistories),
                 std::invalid_argument);
}

TEST(FemFaults, AnIndefiniteStepThrowsLeavingTheFieldAndANodeOfNoElementKeepsItsValue)
{
    // Layers a fifth as far apart as the plane's nodes, so that some weights are negative, and
    // a cure that jumps from 0.3 to the gel point between two layers: the operator scaled edge
    // by edge is indefinite (the diagonal's iterations took it for converged, at -35 to 49).
    // Refused every way through the solver, the field as it was.
    WarpedBlock block(6, 10, 0.0f, false);
    const int n = block.n;
    const std::vector<float> xyz = block.coords.download();
    std::vector<float> flatter = xyz;
    std::vector<double> field(n), cure(n);
    for (int i = 0; i < n; ++i) {
        field[i] = 0.5 + 0.4 * std::sin(1.7 * i);
        cure[i] = xyz[2 * static_cast<std::size_t>(n) + i] < 2.3f ? 1.0 : 0.3;
        flatter[2 * static_cast<std::size_t>(n) + i] *= 0.4f;
    }
    const auto dFlatter = onDevice(flatter);
    MeshDataFlat thin = block.flat;
    thin.nodeCoords = dFlatter.data();
    const auto dCure = onDevice(cure);
    for (auto preconditioner : {FemPreconditioner::Diagonal, FemPreconditioner::Multigrid}) {
        for (bool extrusion : {false, true}) {
            FemDiffusion fem;
            fem.build(thin, preconditioner, 0.0, extrusion);
            auto f = onDevice(field);
            EXPECT_THROW(fem.step(f.data(), f.data(), 4.0, 1.0, dCure.data(), true, 1.0, nullptr, false, 0.0),
                         std::runtime_error);
            EXPECT_EQ(f.download(), field) << extrusion;
        }
    }

    // The same block with one more node that no element holds: it keeps its value, and the
    // others step as without it.
    std::vector<float> more(3 * static_cast<std::size_t>(n + 1));
    for (int a = 0; a < 3; ++a) {
        std::copy(xyz.begin() + a * n, xyz.begin() + (a + 1) * n, more.begin() + a * (n + 1));
        more[a * (n + 1) + n] = 40.0f;
    }
    const auto dMore = onDevice(more);
    MeshDataFlat flat = block.flat;
    flat.nNodes = n + 1;
    flat.nodeCoords = dMore.data();
    std::vector<double> with = field;
    with.push_back(7.0);
    const auto dField = onDevice(field), dWith = onDevice(with);
    dev::DeviceArray<double> out(static_cast<std::size_t>(n)), outWith(static_cast<std::size_t>(n + 1));
    FemDiffusion plain, orphan;
    plain.build(block.flat, FemPreconditioner::Diagonal, 0.0, false);
    orphan.build(flat, FemPreconditioner::Diagonal, 0.0, false);
    plain.step(out.data(), dField.data(), 1.0, 1.0, nullptr, false, 1.0, nullptr, false, 0.0);
    orphan.step(outWith.data(), dWith.data(), 1.0, 1.0, nullptr, false, 1.0, nullptr, false, 0.0);
    const auto expected = out.download(), result = outWith.download();
    EXPECT_EQ(result[n], 7.0);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(result[i], expected[i], 1e-9) << i;
}
