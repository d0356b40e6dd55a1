// Diffusion of a nodal field by finite elements on the optics mesh: the trilinear
// hexahedron's stiffness with a lumped (diagonal) mass, advanced by backward Euler,
//   (M + dt K) u_new = M u_old,
// and solved by conjugate gradients preconditioned with the diagonal. The new field is then
// taken in flux form from the solution (old field minus the fluxes), so the amount is kept
// to rounding however far the solver went.
//
// The stiffness is assembled once per mesh as node-to-node weights w_ij = -K_ij (i != j);
// since a constant field has no flux, K_ii = sum_j w_ij, and K u at node i is the sum of
// w_ij (u_i - u_j). Each weight enters row i and row j as the same number, so what leaves
// one node arrives at the other and the amount sum_i m_i u_i is kept to rounding with
// no-flux boundaries. The coefficient of an edge is D times the mean of (1 - X) at its two
// nodes when gel coupling is on; an edge with a node at or past the gel point carries
// nothing, so such nodes keep their value and exchange nothing.
//
// Dirichlet nodes hold the boundary value; every other boundary has no flux.
//
// Backward Euler rather than Crank-Nicolson: a cure step is long against the time a
// species needs to cross an element (D dt / h^2 of 1 to 10 at print resolution), where
// Crank-Nicolson rings at a fixed boundary value or a sharp cure front and backward Euler
// stays smooth and positive on regular meshes. It is first order in dt.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "device/buffer.h"
#include "mesh/mesh_data.h"

class FemDiffusion {
public:
    // The stiffness weights and lumped masses of the mesh, from its record of device
    // addresses; again after every change of the mesh. Throws std::invalid_argument for an
    // element with a non-positive Jacobian at a quadrature point.
    void build(const MeshDataFlat& mesh);

    // One backward-Euler step of length dt with coefficient D: out (device, n) from in
    // (device, n; may be the same array). gel (device, n) couples the coefficient to the
    // degree of curing when useGel; mask (device, n, 1 = Dirichlet) fixes nodes at value
    // when applyMask. Returns the conjugate-gradient iterations taken; throws
    // std::runtime_error when the solve does not converge.
    int step(double* out, const double* in, double D, double dt, const double* gel, bool useGel, double gelPoint,
             const int* mask, bool applyMask, double value);

    // Relative residual the solver stops at, in the norm of the preconditioner. Backward
    // Euler's own error in a cure step is orders of magnitude above it; the amount is kept
    // to rounding in any case (flux form).
    static constexpr double kTolerance = 1e-6;
    static constexpr int kMaxIterations = 2000;

private:
    // The sums of a and of b (when given) over the nodes, in a fixed order.
    std::pair<double, double> reduce(const double* a, const double* b);

    int nodes_ = 0;
    bool built_ = false;
    dev::DeviceArray<int> rowStart_, columns_;
    dev::DeviceArray<float> weights_, gelWeights_;
    dev::DeviceArray<double> mass_, rowSum_, gelRowSum_, diagonal_, rhs_, residual_, preconditioned_, product_,
        direction_, directionProduct_, scratchA_, scratchB_, partial_;
    std::vector<double> hostPartial_;
};
