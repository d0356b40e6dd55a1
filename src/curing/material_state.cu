#include "curing/material_state.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "common/messages.h"
#include "curing/kernels.h"
#include "curing/neighbour_weight.h"
#include "device/launch.h"
#include "mesh/mesh.h"

namespace {

constexpr unsigned kStepBlock = 128;
constexpr unsigned kInitBlock = 256;
// Cells per cut-off radius of the nodal grid. Half the radius tests about 2.4 nodes per
// neighbour found on a graded hexahedral mesh (4.6 at the full radius); smaller cells test
// fewer still but add rows, and the weighing, not the testing, sets the cost there.
constexpr double kCellsPerCutoff = 2.0;

// One axis of the nodal grid, in double precision. The build put a node in a cell by
// dividing in float, so a node of cell k lies in [origin + k edge, origin + (k + 1) edge]
// only up to a rounding, which `slack` (1e-6 of the grid's reach from zero, several float
// steps) bounds.
struct GridAxis {
    double origin, edge, inverse, slack;
    int count;

    __host__ __device__ GridAxis(const GridView& g, int axis, double slackIn)
            : origin(g.origin[axis]), edge(g.cellSize[axis]), inverse(1.0 / static_cast<double>(g.cellSize[axis])),
              slack(slackIn), count(axis == 0 ? g.nx : (axis == 1 ? g.ny : g.nz))
    {
    }
    // The cell of coordinate x, clamped to the grid. Cells from cellAt(x - h - slack) to
    // cellAt(x + h + slack) hold every node within h of x along this axis.
    __host__ __device__ int cellAt(double x) const { return clampedCell((x - origin) * inverse, count); }
    // A lower bound on the distance from x to any node of cell k along this axis.
    __host__ __device__ double gap(int k, double x) const
    {
        const double lo = origin + k * edge, hi = lo + edge;
        const double g = x < lo ? lo - x : (x > hi ? x - hi : 0.0);
        return g > slack ? g - slack : 0.0;
    }
};

// Neighbours within the cut-off, weighed together once the batch is full. The order of the
// sums is the order the neighbours were found in.
struct NeighbourBatch {
    static constexpr int kSize = 32;
    int node[kSize];
    float d2[kSize];
    int count = 0;

    __host__ __device__ void flush(const double* in, double c, const double* gel, double gelStar, double& num,
                                   double& den)
    {
        for (int k = 0; k < count; ++k) {
            const double w = relativeWeight(d2[k], c);
            const double v = in[node[k]];
            if (w == 0.0 || !isNumber(v)) continue;
            if (gel != nullptr && clampUnit(gel[node[k]]) >= gelStar) continue; // frozen neighbours give nothing
            num += w * v;
            den += w;
        }
        count = 0;
    }
};

} // namespace

// --- Kernels -------------------------------------------------------------------------------

__global__ void initializeStateKernel(MaterialStateDataFlat* s, MaterialStateVec v)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= s->nNodes) return;
    s->monomer[i] = v.monomer;
    s->radical[i] = v.radical;
    s->oxygen[i] = v.oxygen;
    s->degreeOfCuring[i] = v.degreeOfCuring;
    if (i == 0) s->cMonomer0 = v.monomer; // one writer: the CPU backend's threads share the record
}

__global__ void solveRateEquations(MaterialStateDataFlat* s, const double* dU, int n)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) {
        const double d = dU[i];
        if (!(d >= 1e-15)) continue; // no light (or no number): the node does not react
        const MaterialStateVec u{s->monomer[i], s->radical[i], s->oxygen[i], s->degreeOfCuring[i]};
        const MaterialStateVec r = derivativeSqrt(s, u, d);
        const double h = s->dtReact;
        s->monomer[i] = fmax(u.monomer + r.monomer * h, 0.0);
        s->radical[i] = fmax(u.radical + r.radical * h, 0.0);
        s->oxygen[i] = fmax(u.oxygen + r.oxygen * h, 0.0);
        s->degreeOfCuring[i] = clampUnit(u.degreeOfCuring + r.degreeOfCuring * h);
    }
}

__global__ void updateMaterialProperties(MaterialStateDataFlat* s, float* absorptivity, float* refractiveIndex, int n)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) {
        const double x = s->degreeOfCuring[i];
        absorptivity[i] = static_cast<float>((1.0 - x) * s->alpha0 + x * s->alpha1);
        refractiveIndex[i] = static_cast<float>((1.0 - x) * s->n0 + x * s->n1);
    }
}

__global__ void applyDirichletBoundaryKernel(double* field, const int* mask, double value, int n)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n || mask == nullptr) return;
    if (mask[i] != 0) field[i] = value;
}

// One thread per node, in the grid's cell order (threads next to each other search the
// same cells); each writes only its own node's output, in the mesh's numbering.
__global__ void diffuseKernelAccelerated(double* out, const double* in, double D, double dt, int n, GridView grid,
                                         const double* gel, int useGel, double gelPoint, const int* mask, int applyMask,
                                         double value)
{
    const int t = static_cast<int>(dev::globalThreadIndex());
    if (t >= n) return;
    const CellNode self = grid.cellNodes[t];
    const int i = self.node;
    if (mask != nullptr && applyMask == 1 && mask[i] != 0) {
        out[i] = value;
        return;
    }
    const bool gelCoupled = gel != nullptr && useGel != 0;
    const double gelStar = clampUnit(gelPoint);
    double Dn = D;
    if (gelCoupled) {
        const double x = clampUnit(gel[i]);
        if (x >= gelStar) { // cured past the gel point: nothing moves here any more
            out[i] = in[i];
            return;
        }
        Dn = (1.0 - x) * D;
    }
    const int nx = grid.nx, ny = grid.ny, nz = grid.nz;
    // Without diffusion, for a node in no cell, and for a node whose own value is not a
    // number, the value stays.
    if (!(dt > 0.0) || !(Dn > 0.0) || t >= grid.cellStart[nx * ny * nz] || !isNumber(in[i])) {
        out[i] = in[i];
        return;
    }
    const double c = 1.0 / (4.0 * Dn * dt);
    // The reach covers every neighbour relativeWeight keeps, whose float distance may be a
    // rounding shorter than the exact one.
    const double reach2 = kLn1000 / c * (1.0 + 1e-4);
    double size = 0.0;
    for (int a = 0; a < 3; ++a) {
        const int cells = a == 0 ? nx : (a == 1 ? ny : nz);
        size = fmax(size, fabs(static_cast<double>(grid.origin[a])) + cells * static_cast<double>(grid.cellSize[a]));
    }
    const double slack = 1e-6 * size;
    const GridAxis ax(grid, 0, slack), ay(grid, 1, slack), az(grid, 2, slack);
    const double reach = sqrt(reach2) + slack;
    const float px = self.x, py = self.y, pz = self.z;
    const int z1 = az.cellAt(pz + reach), y0 = ay.cellAt(py - reach), y1 = ay.cellAt(py + reach);
    double num = 0.0, den = 0.0;
    NeighbourBatch batch;
    for (int cz = az.cellAt(pz - reach); cz <= z1; ++cz) {
        const double gz = az.gap(cz, pz);
        for (int cy = y0; cy <= y1; ++cy) {
            const double gy = ay.gap(cy, py);
            const double left2 = reach2 - gz * gz - gy * gy;
            if (left2 < 0.0) continue; // the row lies wholly past the cut-off
            // Along x the row is one run of memory; only the cells within the sphere's
            // chord at this row are read.
            const double chord = sqrt(left2) + slack;
            const int row = grid.cellIndex(0, cy, cz);
            const int end = grid.cellStart[row + ax.cellAt(px + chord) + 1];
            for (int k = grid.cellStart[row + ax.cellAt(px - chord)]; k < end; ++k) {
                const CellNode q = grid.cellNodes[k];
                // Gathered without a branch per node: which of them lie within the cut-off
                // is hard to predict, and mispredicted branches cost more than weighing.
                const float d2 = squaredDistance(px, py, pz, q.x, q.y, q.z);
                batch.node[batch.count] = q.node;
                batch.d2[batch.count] = d2;
                batch.count += withinCutoff(d2, c) ? 1 : 0;
                if (batch.count == NeighbourBatch::kSize)
                    batch.flush(in, c, gelCoupled ? gel : nullptr, gelStar, num, den);
            }
        }
    }
    batch.flush(in, c, gelCoupled ? gel : nullptr, gelStar, num, den);
    out[i] = den > 0.0 ? num / den : in[i];
}

// --- Host launches -------------------------------------------------------------------------

double diffusionCutoffRadius(double D, double dt)
{
    if (!(D > 0.0) || !(dt > 0.0)) return 0.0;
    return std::sqrt(4.0 * D * dt * kLn1000);
}

namespace {
void refuseAliasing(const double* out, const double* in, int n, const char* what)
{
    if (n > 0 && out < in + n && in < out + n) {
        throw std::invalid_argument(std::string(what) + ": the input and output fields must be different arrays");
    }
}
} // namespace

void diffuseAccelerated(double* out, const double* in, const float* /*coords*/, double D, double dt, int n,
                        const GridView& grid, const double* gel, int useGel, double gelPoint, const int* mask,
                        int applyMask, double value, dev::StreamHandle stream)
{
    refuseAliasing(out, in, n, "diffuseKernelAccelerated");
    if (n > 0 && (grid.cellNodes == nullptr || grid.nodeCount != n)) {
        throw std::invalid_argument(msg::format(
            "diffuseKernelAccelerated: the field has %d nodes but the nodal grid holds %d; build the grid from the "
            "field's mesh",
            n, grid.cellNodes == nullptr ? 0 : grid.nodeCount));
    }
    dev::launchItems(DEV_KERNEL(diffuseKernelAccelerated), static_cast<std::size_t>(n), kStepBlock, stream, out, in, D,
                     dt, n, grid, gel, useGel, gelPoint, mask, applyMask, value);
}

void applyDirichletBoundary(double* field, const int* mask, double value, int n, dev::StreamHandle stream)
{
    dev::launchItems(DEV_KERNEL(applyDirichletBoundaryKernel), static_cast<std::size_t>(n), kStepBlock, stream, field,
                     mask, value, n);
}

// --- MaterialState -------------------------------------------------------------------------

namespace {
void require(bool ok, const std::string& text)
{
    if (!ok) throw std::invalid_argument("Curalis: " + text);
}
} // namespace

MaterialState::MaterialState(const CuralisProps& p, int nNodes)
{
    require(nNodes >= 0, msg::format("n_nodes must not be negative (got %d)", nNodes));
    const std::pair<const char*, double> numbers[] = {{"kpropagation", p.kpropagation},
                                                      {"koxygen", p.koxygen},
                                                      {"diffusion_oxygen", p.diffusion_oxygen},
                                                      {"diffusion_radical", p.diffusion_radical},
                                                      {"dirichlet_radical", p.dirichlet_radical},
                                                      {"dirichlet_oxygen", p.dirichlet_oxygen},
                                                      {"oxygen_gel_point", p.oxygen_gel_point},
                                                      {"dt", p.dt},
                                                      {"n0", p.n0},
                                                      {"n1", p.n1},
                                                      {"alpha0", p.alpha0},
                                                      {"alpha1", p.alpha1},
                                                      {"c_monomer0", p.c_monomer0},
                                                      {"c_radical0", p.c_radical0},
                                                      {"c_oxygen0", p.c_oxygen0},
                                                      {"degree_of_curing0", p.degree_of_curing0},
                                                      {"fem_multigrid_from", p.fem_multigrid_from}};
    for (const auto& [name, value] : numbers)
        require(std::isfinite(value), msg::format("%s must be a finite number", name));
    // A step of no time changes nothing, and a negative one runs the rate law backwards.
    require(p.dt > 0.0, msg::format("dt must be positive (got %g)", p.dt));
    // Rate constants, diffusion coefficients, concentrations and absorptivities below zero
    // have no physical reading: they would create monomer, sharpen a field instead of
    // smoothing it, or amplify light.
    const std::pair<const char*, double> nonNegative[] = {{"kpropagation", p.kpropagation},
                                                          {"koxygen", p.koxygen},
                                                          {"diffusion_oxygen", p.diffusion_oxygen},
                                                          {"diffusion_radical", p.diffusion_radical},
                                                          {"dirichlet_radical", p.dirichlet_radical},
                                                          {"dirichlet_oxygen", p.dirichlet_oxygen},
                                                          {"alpha0", p.alpha0},
                                                          {"alpha1", p.alpha1},
                                                          {"c_monomer0", p.c_monomer0},
                                                          {"c_radical0", p.c_radical0},
                                                          {"c_oxygen0", p.c_oxygen0},
                                                          {"fem_multigrid_from", p.fem_multigrid_from}};
    for (const auto& [name, value] : nonNegative) {
        require(value >= 0.0, msg::format("%s must not be negative (got %g)", name, value));
    }
    // The optics engine refuses an index of 0 or below; the model would write one into its mesh.
    require(p.n0 > 0.0, msg::format("n0 must be positive (got %g)", p.n0));
    require(p.n1 > 0.0, msg::format("n1 must be positive (got %g)", p.n1));
    require(p.degree_of_curing0 >= 0.0 && p.degree_of_curing0 <= 1.0,
            msg::format("degree_of_curing0 must lie in [0, 1] (got %g)", p.degree_of_curing0));
    require(p.oxygen_gel_point >= 0.0 && p.oxygen_gel_point <= 1.0,
            msg::format("oxygen_gel_point must lie in [0, 1] (got %g): it is a degree of curing", p.oxygen_gel_point));
    // The kernels test the switches for 1: any other value would silently mean "off".
    const std::pair<const char*, int> switches[] = {{"diffusion_bc", p.diffusion_bc},
                                                    {"diffusion_bc_radical", p.diffusion_bc_radical},
                                                    {"diffusion_bc_oxygen", p.diffusion_bc_oxygen}};
    for (const auto& [name, value] : switches) {
        require(value == 0 || value == 1, msg::format("%s must be 0 or 1 (got %d)", name, value));
    }

    d_state_.allocate(1, "material state record");
    MaterialStateDataFlat& h = h_state_;
    h.kpropagation = p.kpropagation;
    h.koxygen = p.koxygen;
    h.dtReact = 0.5 * p.dt;
    h.dtDiff = p.dt;
    h.n0 = p.n0;
    h.n1 = p.n1;
    h.alpha0 = p.alpha0;
    h.alpha1 = p.alpha1;
    h.diffusionOxygen = p.diffusion_oxygen;
    h.diffusionRadical = p.diffusion_radical;
    h.diffusionBc = p.diffusion_bc;
    h.diffusionBcRadical = p.diffusion_bc_radical;
    h.diffusionBcOxygen = p.diffusion_bc_oxygen;
    // The general switch stands for both species when neither names its own.
    if (p.diffusion_bc_radical == 0 && p.diffusion_bc_oxygen == 0 && p.diffusion_bc != 0) {
        h.diffusionBcRadical = p.diffusion_bc;
        h.diffusionBcOxygen = p.diffusion_bc;
    }
    h.dirichletRadical = p.dirichlet_radical;
    h.dirichletOxygen = p.dirichlet_oxygen;
    h.oxygenGelPoint = p.oxygen_gel_point;

    if (p.diffusion_scheme == "fem") scheme_ = DiffusionScheme::Fem;
    else if (p.diffusion_scheme == "kernel") scheme_ = DiffusionScheme::Kernel;
    else require(false, "diffusion_scheme must be \"kernel\" or \"fem\" (got \"" + p.diffusion_scheme + "\")");
    multigridFrom_ = p.fem_multigrid_from;
    if (p.fem_preconditioner == "multigrid") preconditioner_ = FemPreconditioner::Multigrid;
    else if (p.fem_preconditioner == "diagonal") preconditioner_ = FemPreconditioner::Diagonal;
    else {
        require(false,
                "fem_preconditioner must be \"diagonal\" or \"multigrid\" (got \"" + p.fem_preconditioner + "\")");
    }

    oxygenBcGroups_ = p.oxygen_dirichlet_bc_groups;
    oxygenFaceIds_ = p.oxygen_dirichlet_face_ids;
    oxygenAllBoundary_ = p.oxygen_dirichlet_all_boundary && oxygenBcGroups_.empty() && oxygenFaceIds_.empty();

    allocate(nNodes);
    initialize({p.c_monomer0, p.c_radical0, p.c_oxygen0, p.degree_of_curing0});
}

void MaterialState::allocate(int n)
{
    const std::size_t count = static_cast<std::size_t>(std::max(n, 0));
    monomer_.allocate(count, "monomer");
    radical_.allocate(count, "radical");
    radicalSource_.allocate(count, "radical source");
    oxygen_.allocate(count, "oxygen");
    oxygenSource_.allocate(count, "oxygen source");
    degreeOfCuring_.allocate(count, "degree of curing");
    h_state_.nNodes = n;
    h_state_.monomer = monomer_.data();
    h_state_.radical = radical_.data();
    h_state_.radicalSource = radicalSource_.data();
    h_state_.oxygen = oxygen_.data();
    h_state_.oxygenSource = oxygenSource_.data();
    h_state_.degreeOfCuring = degreeOfCuring_.data();
    upload();
}

void MaterialState::upload() { d_state_.upload(&h_state_, 1); }

void MaterialState::initialize(MaterialStateVec v)
{
    // The kernel also writes cMonomer0 on the device; the host copy follows, so a later
    // upload does not undo it.
    h_state_.cMonomer0 = v.monomer;
    upload();
    dev::launchItems(DEV_KERNEL(initializeStateKernel), static_cast<std::size_t>(h_state_.nNodes), kInitBlock,
                     dev::kDefaultStream, d_state_.data(), v);
    dev::synchronize();
}

void MaterialState::release() noexcept
{
    monomer_.release();
    radical_.release();
    radicalSource_.release();
    oxygen_.release();
    oxygenSource_.release();
    degreeOfCuring_.release();
    kept_.release();
}

void MaterialState::solveRate(const double* dU)
{
    dev::launchRuns(DEV_KERNEL(solveRateEquations), static_cast<std::size_t>(h_state_.nNodes), dev::kDefaultStream,
                    d_state_.data(), dU, h_state_.nNodes);
    dev::synchronize();
}

void MaterialState::updateProperties(float* absorptivity, float* refractiveIndex)
{
    dev::launchRuns(DEV_KERNEL(updateMaterialProperties), static_cast<std::size_t>(h_state_.nNodes),
                    dev::kDefaultStream, d_state_.data(), absorptivity, refractiveIndex, h_state_.nNodes);
    dev::synchronize();
}

void MaterialState::initializeAccelerator(const Mesh* mesh)
{
    if (mesh == nullptr) throw std::runtime_error("mesh_ptr is null");
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    const int n = h_state_.nNodes;
    if (m.nNodes != n) {
        throw std::runtime_error(msg::format("initialize_accelerator: the model has %d nodes but the mesh has %d; "
                                             "create the model with the mesh's node count",
                                             n, m.nNodes));
    }
    // An id the mesh does not have would be skipped, and with it the oxygen boundary.
    for (std::size_t i = 0; i < oxygenFaceIds_.size(); ++i) {
        if (oxygenFaceIds_[i] >= m.nFaces) {
            throw std::invalid_argument(msg::format(
                "initialize_accelerator: oxygen_dirichlet_face_ids[%zu] = %d is not a boundary face of this mesh "
                "(it has %d, numbered from 0; -1: the whole boundary)",
                i, oxygenFaceIds_[i], m.nFaces));
        }
    }
    for (std::size_t i = 0; i < oxygenBcGroups_.size(); ++i) {
        if (oxygenBcGroups_[i] >= m.nBC) {
            throw std::invalid_argument(msg::format(
                "initialize_accelerator: oxygen_dirichlet_bc_groups[%zu] = %d is not a boundary condition of the "
                "engine (it has %d, numbered from 0; -1: the whole boundary)",
                i, oxygenBcGroups_[i], m.nBC));
        }
    }
    if (scheme_ == DiffusionScheme::Fem) {
        gridReady_ = false;
        fem_.build(m, preconditioner_, multigridFrom_);
        buildMasks(m);
        gridReady_ = true;
        return;
    }
    const std::vector<float> coords = dev::download(m.nodeCoords, 3 * static_cast<std::size_t>(n));
    float extent[3] = {0.0f, 0.0f, 0.0f};
    for (int a = 0; a < 3 && n > 0; ++a) {
        const auto [lo, hi] = std::minmax_element(coords.begin() + a * n, coords.begin() + (a + 1) * n);
        extent[a] = *hi - *lo;
    }
    const float widest = std::max(extent[0], std::max(extent[1], extent[2]));

    // The walk reads every cell within a cut-off radius of a node, whatever the cell size,
    // so the size only sets the cost: smaller cells follow the sphere of the cut-off more
    // closely (fewer nodes tested and dropped) but add rows to visit.
    double edge = std::max(diffusionCutoffRadius(h_state_.diffusionOxygen, h_state_.dtDiff),
                           diffusionCutoffRadius(h_state_.diffusionRadical, h_state_.dtDiff)) /
                  kCellsPerCutoff;
    // Without diffusion (D = 0 or dt = 0) both kernels copy their input and never walk the
    // grid, so any cell size is sound: one cell as wide as the mesh keeps the grid small
    // (1 for a mesh that is a single point).
    if (!(edge > 0.0) || !std::isfinite(edge)) edge = widest > 0.0f ? widest : 1.0;
    // A cut-off much shorter than the node spacing would need far more cells than nodes;
    // larger cells only add nodes the cut-off test drops, so cells grow until there are at
    // most about two per node.
    const double maxCells = std::max(2.0 * n, 32768.0);
    for (int attempt = 0; attempt < 8; ++attempt) {
        double cells = 1.0;
        for (float e : extent) cells *= std::ceil(e / edge) + 1.0;
        if (cells <= maxCells) break;
        edge *= std::cbrt(cells / maxCells) * 1.01;
    }
    cellEdge_ = static_cast<float>(edge);
    if (static_cast<double>(cellEdge_) < edge) cellEdge_ = std::nextafter(cellEdge_, floatInfinity());
    gridReady_ = false;
    grid_.buildNodalGrid(const_cast<Mesh&>(*mesh), Vec3(cellEdge_, cellEdge_, cellEdge_));
    buildMasks(m);
    gridReady_ = true;
}

void MaterialState::buildMasks(const MeshDataFlat& m)
{
    const int n = h_state_.nNodes;
    if (n <= 0) return;
    const int F = m.nFaces;
    std::vector<int> all(static_cast<std::size_t>(n), 0);
    std::vector<int> faceNodes;
    if (F > 0 && m.faceNodes != nullptr) {
        faceNodes = dev::download(m.faceNodes, 4 * static_cast<std::size_t>(F));
        for (int id : faceNodes) {
            if (id >= 0 && id < n) all[id] = 1;
        }
    }
    auto markFace = [&](std::vector<int>& mask, int face) {
        for (int k = 0; k < 4; ++k) {
            const int id = faceNodes[4 * static_cast<std::size_t>(face) + k];
            if (id >= 0 && id < n) mask[id] = 1;
        }
    };
    const auto negative = [](const std::vector<int>& v) {
        return std::any_of(v.begin(), v.end(), [](int x) { return x < 0; });
    };
    std::vector<int> oxygen;
    // A negative entry in either list (-1) stands for the whole boundary.
    if (oxygenAllBoundary_ || (oxygenFaceIds_.empty() && oxygenBcGroups_.empty()) || negative(oxygenFaceIds_) ||
        negative(oxygenBcGroups_)) {
        oxygen = all;
    } else {
        oxygen.assign(static_cast<std::size_t>(n), 0);
        if (!faceNodes.empty()) {
            for (int face : oxygenFaceIds_) {
                if (face >= 0 && face < F) markFace(oxygen, face);
            }
            if (m.faceBC != nullptr && !oxygenBcGroups_.empty()) {
                const std::vector<int> faceBC = dev::download(m.faceBC, static_cast<std::size_t>(F));
                for (int face = 0; face < F; ++face) {
                    if (std::find(oxygenBcGroups_.begin(), oxygenBcGroups_.end(), faceBC[face]) !=
                        oxygenBcGroups_.end())
                        markFace(oxygen, face);
                }
            }
        }
    }
    allBoundaryCount_ = static_cast<int>(std::count(all.begin(), all.end(), 1));
    oxygenBoundaryCount_ = static_cast<int>(std::count(oxygen.begin(), oxygen.end(), 1));
    allBoundaryMask_.release();
    oxygenMask_.release();
    allBoundaryMask_.allocate(all.size(), "boundary node mask");
    allBoundaryMask_.upload(all);
    oxygenMask_.allocate(oxygen.size(), "oxygen boundary node mask");
    oxygenMask_.upload(oxygen);
}

void MaterialState::reactionStep(const double* absorbedPower, const MeshDataFlat* meshDevlink)
{
    if (absorbedPower == nullptr) throw std::runtime_error("result_device_ptr is null");
    if (meshDevlink == nullptr) throw std::runtime_error("mesh_devlink_ptr is null");
    if (!gridReady_)
        throw std::runtime_error("accelerator is not initialized; call initialize_accelerator(mesh_ptr) first");
    const int n = h_state_.nNodes;
    if (meshDevlink->nNodes != n) {
        throw std::runtime_error(
            msg::format("reaction_step: the model has %d nodes but the mesh has %d; the kernels would run past the "
                        "end of the mesh's arrays",
                        n, meshDevlink->nNodes));
    }
    const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(double);
    const GridView grid = grid_.view();
    const float* coords = meshDevlink->nodeCoords;
    const dev::StreamHandle a = streamRadical_.get(), b = streamOxygen_.get();

    if (scheme_ == DiffusionScheme::Fem) {
        // The solver can refuse a step (fem_.step throws): the fields are kept until it is
        // through, so that the model stands where it stood before the step.
        dev::DeviceArray<double>* fields[] = {&monomer_, &radical_, &oxygen_, &degreeOfCuring_};
        if (kept_.size() != 4 * static_cast<std::size_t>(n))
            kept_.allocate(4 * static_cast<std::size_t>(n), "kept fields");
        auto copyFields = [&](bool back) {
            for (int f = 0; f < 4; ++f) {
                double* k = kept_.data() + f * static_cast<std::size_t>(n);
                dev::copy(back ? fields[f]->data() : k, back ? k : fields[f]->data(), bytes,
                          dev::CopyKind::DeviceToDevice);
            }
        };
        copyFields(false);
        solveRate(absorbedPower);
        // The radicals follow the absorbed power diffused over the step; oxygen diffuses in
        // place. Both on the default stream: each iteration of a solve waits for its sums.
        // Each starts from what diffusion changed in its field the step before.
        constexpr int kRadicalHistory = 0, kOxygenHistory = 1;
        const int* allMask = allBoundaryMask_.data();
        const int* oxyMask = oxygenMask_.data();
        try {
            radicalIterations_ =
                fem_.step(radical_.data(), absorbedPower, h_state_.diffusionRadical, h_state_.dtDiff, nullptr, false,
                          1.0, allMask, h_state_.diffusionBcRadical == 1, h_state_.dirichletRadical, kRadicalHistory);
            oxygenIterations_ = fem_.step(oxygen_.data(), oxygen_.data(), h_state_.diffusionOxygen, h_state_.dtDiff,
                                          degreeOfCuring_.data(), true, h_state_.oxygenGelPoint, oxyMask,
                                          h_state_.diffusionBcOxygen == 1, h_state_.dirichletOxygen, kOxygenHistory);
        } catch (...) {
            copyFields(true);
            throw;
        }
        solveRate(radical_.data());
        updateProperties(meshDevlink->absorptivity, meshDevlink->refrIndex);
        return;
    }

    solveRate(absorbedPower);

    // The two species read and write disjoint arrays (both read the degree of curing, which
    // neither writes), so each runs in order on its own stream, and the wait below joins them.
    dev::copyAsync(radicalSource_.data(), absorbedPower, bytes, dev::CopyKind::DeviceToDevice, a);
    const int* allMask = allBoundaryMask_.data();
    if (h_state_.diffusionBcRadical == 1 && allMask != nullptr) {
        applyDirichletBoundary(radicalSource_.data(), allMask, h_state_.dirichletRadical, n, a);
    }
    diffuseAccelerated(radical_.data(), radicalSource_.data(), coords, h_state_.diffusionRadical, h_state_.dtDiff, n,
                       grid, nullptr, 0, 1.0, allMask, h_state_.diffusionBcRadical, h_state_.dirichletRadical, a);

    dev::copyAsync(oxygenSource_.data(), oxygen_.data(), bytes, dev::CopyKind::DeviceToDevice, b);
    const int* oxyMask = oxygenMask_.data();
    if (h_state_.diffusionBcOxygen == 1 && oxyMask != nullptr) {
        applyDirichletBoundary(oxygenSource_.data(), oxyMask, h_state_.dirichletOxygen, n, b);
    }
    diffuseAccelerated(oxygen_.data(), oxygenSource_.data(), coords, h_state_.diffusionOxygen, h_state_.dtDiff, n, grid,
                       degreeOfCuring_.data(), 1, h_state_.oxygenGelPoint, oxyMask, h_state_.diffusionBcOxygen,
                       h_state_.dirichletOxygen, b);
    dev::synchronize();

    // The second half is driven by the diffused radicals rather than the raw power.
    solveRate(radical_.data());
    updateProperties(meshDevlink->absorptivity, meshDevlink->refrIndex);
}

void MaterialState::copyDegreeOfCuring(double* host) const { degreeOfCuring_.download(host, degreeOfCuring_.size()); }

void MaterialState::copyOxygen(double* host) const { oxygen_.download(host, oxygen_.size()); }

void MaterialState::copyMonomer(double* host) const { monomer_.download(host, monomer_.size()); }

void MaterialState::copyRadical(double* host) const { radical_.download(host, radical_.size()); }

void MaterialState::checkField(const std::string& field, const double* host, int n)
{
    const bool unit = field == "degree_of_curing";
    require(unit || field == "monomer" || field == "radical" || field == "oxygen",
            "no node field named \"" + field + "\" (monomer, radical, oxygen, degree_of_curing)");
    for (int i = 0; i < n; ++i) {
        const double v = host[i];
        if (unit) {
            require(v >= 0.0 && v <= 1.0, msg::format("%s must lie in [0, 1] (node %d holds %g)", field.c_str(), i, v));
        } else {
            require(v >= 0.0 && std::isfinite(v),
                    msg::format("%s must be finite and not negative (node %d holds %g)", field.c_str(), i, v));
        }
    }
}

void MaterialState::setField(const std::string& field, const double* host)
{
    checkField(field, host, h_state_.nNodes);
    dev::DeviceArray<double>& target = field == "monomer"   ? monomer_
                                       : field == "radical" ? radical_
                                       : field == "oxygen"  ? oxygen_
                                                            : degreeOfCuring_;
    target.upload(host, static_cast<std::size_t>(h_state_.nNodes));
}
