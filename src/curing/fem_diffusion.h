// Diffusion of a nodal field by finite elements on the optics mesh: the trilinear
// hexahedron's stiffness with a lumped (diagonal) mass, advanced by backward Euler,
//   (M + dt K) u_new = M u_old,
// and solved by conjugate gradients preconditioned with the diagonal or with an aggregation
// multigrid V-cycle (FemPreconditioner). The new field is then
// taken in flux form from the solution (old field minus the fluxes), so the amount is kept
// to rounding however far the solver went.
//
// The stiffness is assembled once per mesh as node-to-node weights w_ij = -K_ij (i != j);
// since a constant field has no flux, K_ii = sum_j w_ij, and K u at node i is the sum of
// w_ij (u_i - u_j). Each weight enters row i and row j as the same number, so what leaves
// one node arrives at the other and the amount sum_i m_i u_i is kept to rounding with
// no-flux boundaries. When gel coupling is on, the coefficient of an edge is D times the
// geometric mean of (1 - X) at its two nodes, and an edge with a node at or past the gel
// point carries nothing, so such nodes keep their value and exchange nothing. (The
// geometric mean agrees with the arithmetic one where the cure varies smoothly, to second
// order in the difference, and factors: see below.) Not every weight of the trilinear
// hexahedron is positive: an element much flatter in one direction than in the others has
// negative ones across its wide faces. Scaled edge by edge, those can make the operator
// indefinite where the cure jumps within an element or two and the step is stiff; step then
// throws instead of returning what the conjugate gradients made of such a system.
//
// Dirichlet nodes hold the boundary value; every other boundary has no flux.
//
// Backward Euler rather than Crank-Nicolson: a cure step is long against the time a
// species needs to cross an element (D dt / h^2 of 1 to 10 at print resolution), where
// Crank-Nicolson rings at a fixed boundary value or a sharp cure front and backward Euler
// stays smooth and positive on regular meshes. It is first order in dt.
//
// A mesh that is a quadrilateral mesh extruded along z (layers of nodes at the same x, y,
// each element a quadrilateral of the plane times the interval between two neighbouring
// layers; the generated boxes and vials are) has as stiffness the tensor product
// K = K2 (x) M1 + M2 (x) K1 of the plane's bilinear stiffness and mass with those of the
// line. The solver's matrix passes then read a few numbers per quadrilateral corner and per
// layer instead of 26 weights and columns per node: the nodes are renumbered column by column
// (all layers of one point of the plane in a run), and a pass sums over the plane for a whole
// run of layers and then along it. With the cure's coefficient g_i g_j w_ij, g = sqrt(1 - X)
// and g = 0 past the gel point, the sum over j of g_i g_j w_ij (u_i - u_j) is
// g_i (K g u)_i - g_i (K g)_i u_i: one product per pass, and K g once per step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "device/buffer.h"
#include "mesh/mesh_data.h"

// What the conjugate gradients are preconditioned with. The diagonal costs a vector pass per
// iteration, but the iterations grow as 1/h at a fixed D dt. Multigrid: plain aggregation (a
// node with its neighbours, formed once per mesh, again on the aggregates), the coarse
// operators the Galerkin product of the operator of the step that formed them (so the cure's
// coefficient, gelled and fixed nodes are seen on every level; levels kept for later steps
// change how fast those converge, not what to). On the mesh the preconditioner is the
// l1-Jacobi diagonal plus the coarse correction (additive: no matrix pass beyond the
// solver's own, about 10 % more per iteration than the diagonal); below it, a V-cycle with
// one l1-Jacobi sweep before and one after the correction. Both parts are symmetric, so the
// whole is a symmetric positive definite preconditioner and the conjugate gradients stay
// exact in what they converge to. A step that is not stiff (FemDiffusion::kMultigridFrom) is
// solved with the diagonal even then: the levels would cost more than they save.
enum class FemPreconditioner { Diagonal, Multigrid };

class FemDiffusion {
public:
    // The stiffness weights and lumped masses of the mesh, from its record of device
    // addresses, and the aggregates of the multigrid levels with that preconditioner; again
    // after every change of the mesh. Throws std::invalid_argument for an element with a
    // non-positive Jacobian at a quadrature point.
    // multigridFrom: the stiffness from which a step uses the levels (kMultigridFrom).
    // extrusion: use the tensor-product passes where the mesh is extruded (tests compare
    // both ways).
    void build(const MeshDataFlat& mesh, FemPreconditioner preconditioner = FemPreconditioner::Diagonal,
               double multigridFrom = kMultigridFrom, bool extrusion = true);

    // One backward-Euler step of length dt with coefficient D: out (device, n) from in
    // (device, n; may be the same array). gel (device, n) couples the coefficient to the
    // degree of curing when useGel; mask (device, n, 1 = Dirichlet) fixes nodes at value
    // when applyMask. Returns the conjugate-gradient iterations taken; throws
    // std::runtime_error when the solve does not converge or the step's system is not positive
    // definite (the cure's coefficient can make it so: see the top of this file).
    // history in [0, kHistories): the solver starts from in plus the change of the last step
    // taken with that history (per unit D dt, so scaled to this step), and records this step's
    // change there. A field that changes smoothly from step to step (a species under steady
    // light) then needs a fraction of the iterations; a sudden change costs a few more. What
    // the step converges to is the same. One history per field; -1: start from in.
    // A step that throws leaves out as it was (the solver works in solution_).
    int step(double* out, const double* in, double D, double dt, const double* gel, bool useGel, double gelPoint,
             const int* mask, bool applyMask, double value, int history = -1);
    static constexpr int kHistories = 2;

    // Relative residual the solver stops at, in the norm of the preconditioner. Backward
    // Euler's own error in a cure step is orders of magnitude above it; the amount is kept
    // to rounding in any case (flux form).
    static constexpr double kTolerance = 1e-6;
    static constexpr int kMaxIterations = 2000;
    // The levels pay only where a step is stiff: with D dt times the mean over the nodes of
    // the row sum of the weights over the mass (about 8 D dt / (3 h^2) on cubes) below this,
    // the diagonal alone converges in about as few iterations at less cost per iteration
    // (measured on the refined vials and on cubes, docs/performance.md).
    static constexpr double kMultigridFrom = 8.0;

    // Levels of the multigrid hierarchy, the finest included (0 with the diagonal, or where the
    // mesh has nothing to coarsen).
    int levels() const { return static_cast<int>(levels_.size()); }
    // Whether the matrix passes use the mesh's extrusion (the tensor-product form).
    bool extruded() const { return extruded_; }

    // The extruded mesh's operator as the passes read it: per point p of the plane the
    // entries planeStart[p] .. planeStart[p + 1] of the plane's stiffness and consistent mass
    // (the diagonal included), per layer k the line's mass and stiffness towards layer k + d,
    // d = -1, 0, 1 (line[(d + 1) * layers + k]; 0 beyond the ends). Node p * layers + k of the
    // solver's numbering is layer k of column p.
    struct Extrusion {
        int columns = 0, layers = 0;
        int run = 0, runs = 0; // the layers one item of a pass covers, and its items per column
        const int *planeStart = nullptr, *planeColumns = nullptr;
        const double *planeStiffness = nullptr, *planeMass = nullptr, *lineMass = nullptr, *lineStiffness = nullptr;
        // The lumped masses of the points and of the layers: node p * layers + k has their product.
        const double *pointMass = nullptr, *layerMass = nullptr;
    };

private:
    // One level of the multigrid hierarchy. Level 0 is the mesh (its operator is the
    // solver's own); a coarser level's node is an aggregate of the finer level's nodes, and
    // its operator is A_IJ = -values, A_II = diagonal, formed by a step and kept while they
    // serve the field's later steps (LevelsOrigin).
    struct Level {
        int n = 0;
        dev::DeviceArray<int> rowStart, columns, memberStart, members; // coarser levels only
        dev::DeviceArray<double> values, diagonal;                     // coarser levels only
        // l1-Jacobi diagonal, A_ii + sum_j |A_ij| (level 0: its inverse); r right-hand side,
        // x and t work vectors (coarser levels).
        dev::DeviceArray<double> smoother, r, x, t;
        // To the next coarser level (all but the coarsest): each node's aggregate in this
        // step (-1 for a node that takes no part: fixed, or without coupling), and per matrix
        // entry the entry of the coarse row it adds to (-1: within the aggregate, so it adds
        // to the diagonal).
        dev::DeviceArray<int> coarse;
        dev::DeviceArray<std::int16_t> slot; // offset within the coarse row
        dev::DeviceArray<int> aggregate;     // level 0: each node's aggregate
    };

    // The launch shape of the extruded passes: items, each a run of layers of one column.
    std::size_t extrudedItems() const;
    Extrusion extrusionView() const;

    // The sums of a and of b (when given) over the nodes, in a fixed order.
    std::pair<double, double> reduce(const double* a, const double* b);
    void buildHierarchy(std::vector<int> rowStart, std::vector<int> columns);
    // The coarse operators of a step whose fine operator is M + Ddt K(w) (when operators; the
    // nodes' parts in them always); with factor, w_ij times factor_i factor_j.
    void formCoarseLevels(const float* w, const double* factor, const double* rowSum, double Ddt, const int* fixed,
                          bool operators);
    // What the coarse operators were formed for. Steps with the same history, D dt, mask and
    // coupling reuse them: the preconditioner is the fine smoothing plus a coarse correction,
    // symmetric positive definite with any positive definite coarse operator, so the
    // conjugate gradients converge to the same solution; only their speed depends on how well
    // the levels match the step. The cure changes the operator slowly, so levels are formed
    // again only once a step takes more than kLevelsSlack iterations beyond the fewest the
    // levels have taken. Which nodes take part (fixed, frozen) is found every step.
    struct LevelsOrigin {
        int history = -1;
        double Ddt = 0.0;
        const int* mask = nullptr;
        bool coupled = false;
        int fewest = 0;
        bool sameAs(const LevelsOrigin& other) const;
    };
    void keepLevels(const LevelsOrigin& origin, int iterations);
    static constexpr int kLevelsSlack = 2;
    LevelsOrigin levelsOrigin_;
    // out = B_l r: on the mesh the smoothing plus the coarse correction P B_1 P^T r; below, a
    // V-cycle (smoothing, coarse correction, smoothing); the coarsest level smooths twice.
    void vcycle(int l, const double* r, double* out);
    // The solver's u = B r (with the diagonal, its kernels have already formed u).
    void precondition();

    FemPreconditioner preconditioner_ = FemPreconditioner::Diagonal;
    // The mean over the nodes of the row sum of the weights over the mass (about 8 / (3 h^2)
    // on cubes), and whether this step uses the levels.
    double stiffness_ = 0.0, multigridFrom_ = kMultigridFrom;
    bool useLevels_ = false;
    std::vector<Level> levels_;

    int nodes_ = 0;
    bool built_ = false, extruded_ = false;
    // The extruded operator (Extrusion), and the solver's numbering of the nodes: order_[i] is
    // the mesh node of solver node i (empty where they are the same), place_ its inverse. The solver keeps the field
    // in solution_; with a numbering of its own also the fixed nodes (fixed_) and the cure's
    // factors (factor_); the extruded passes read the step's g_i (K g)_i (coupled_) and sum
    // the inner products per run (runPartial_).
    int points_ = 0, layers_ = 0;
    dev::DeviceArray<int> planeStart_, planeColumns_, order_, place_, fixed_;
    dev::DeviceArray<double> planeStiffness_, planeMass_, lineMass_, lineStiffness_, pointMass_, layerMass_, solution_,
        coupled_, factor_, runPartial_;
    std::vector<double> hostRunPartial_;
    dev::DeviceArray<int> rowStart_, columns_;
    dev::DeviceArray<float> weights_, gelWeights_;
    dev::DeviceArray<double> mass_, rowSum_, gelRowSum_, diagonal_, rhs_, residual_, preconditioned_, scratchA_,
        scratchB_, partial_;
    // The operator's product with the preconditioned residual, the search direction and its
    // product, in float (femUpdateKernel).
    dev::DeviceArray<float> product_, direction_, directionProduct_;
    std::vector<double> hostPartial_;
    // The change per unit D dt of the last step taken with each history, in the solver's
    // numbering; allocated (as 0) on first use, dropped by build.
    dev::DeviceArray<double> history_[kHistories];
};
