#include "curing/fem_diffusion.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/messages.h"
#include "curing/material_state_data.h"
#include "device/launch.h"
#include "mesh/hex8_geometry.h"

namespace {

constexpr unsigned kBlock = 128;
// Values one thread of the reduction adds up; the partial sums are added on the host in
// order, so a solve gives the same numbers whatever the thread count.
constexpr int kChunk = 256;

// A node's share of the coefficient at degree of curing x: 1 - x, and 0 (frozen) at or past
// the gel point. Its factor is the square root of the share: an edge carries the product of
// its nodes' factors, the geometric mean of their shares, which is nothing when either node is
// frozen, and the stiffness with the cure is G K G less a diagonal (G the factors), one matrix
// product per pass.
__host__ __device__ inline double gelShare(double x, double gelPoint)
{
    x = clampUnit(x);
    return x >= clampUnit(gelPoint) ? 0.0 : 1.0 - x;
}

// Sum over row i of w_ij (u_i - u_j): the stiffness applied at node i, without D dt. Four
// running sums, so that the 26 additions of a row are not one chain of dependent additions
// (which set the pace on a CPU core); the order is fixed, so the result is too.
__host__ __device__ inline double rowFlux(int i, const int* rowStart, const int* columns, const float* weights,
                                          const double* u)
{
    const double ui = u[i];
    double f0 = 0.0, f1 = 0.0, f2 = 0.0, f3 = 0.0;
    int k = rowStart[i];
    const int end = rowStart[i + 1];
    for (; k + 4 <= end; k += 4) {
        f0 += static_cast<double>(weights[k]) * (ui - u[columns[k]]);
        f1 += static_cast<double>(weights[k + 1]) * (ui - u[columns[k + 1]]);
        f2 += static_cast<double>(weights[k + 2]) * (ui - u[columns[k + 2]]);
        f3 += static_cast<double>(weights[k + 3]) * (ui - u[columns[k + 3]]);
    }
    for (; k < end; ++k) f0 += static_cast<double>(weights[k]) * (ui - u[columns[k]]);
    return (f0 + f1) + (f2 + f3);
}

__host__ __device__ inline bool fixedNode(const int* mask, int i) { return mask != nullptr && mask[i] != 0; }

} // namespace

// Sum of the weights of each row.
__global__ void femRowSumKernel(int n, const int* rowStart, const float* weights, double* rowSum)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    double sum = 0.0;
    for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) sum += static_cast<double>(weights[k]);
    rowSum[i] = sum;
}

// The factor of the coefficient per node, sqrt(gelShare); order: the mesh node of each solver
// node (nullptr: the same). The roots in a loop of their own, which the compiler vectorizes.
__global__ void femGelFactorKernel(int n, const int* order, const double* gel, double gelPoint, double* factor)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) factor[i] = gelShare(gel[order ? order[i] : i], gelPoint);
    for (int i = run.begin; i < run.end; ++i) factor[i] = sqrt(factor[i]);
}

// to[i] = from[order[i]]: a mesh field into the solver's numbering (order_), or back (place_).
template <typename T>
__global__ void femGatherKernel(int n, const int* __restrict__ order, const T* __restrict__ from, T* __restrict__ to)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) to[i] = from[order[i]];
}

// The weights of a step whose coefficient follows the cure: w_ij times the product of the
// factors of its nodes, and their sum per row. Nodes at or past the gel point keep no weight at all.
__global__ void femGelWeightsKernel(int n, const int* rowStart, const int* columns, const float* weights,
                                    const double* factor, float* effective, double* rowSum)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    const double gi = factor[i];
    double sum = 0.0;
    for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) {
        const float w = static_cast<float>(weights[k] * (gi * factor[columns[k]]));
        effective[k] = w;
        sum += static_cast<double>(w);
    }
    rowSum[i] = sum;
}

// The step's starting point x = in (plus D dt times the last step's change per unit D dt,
// when given; the boundary value on fixed nodes), its right-hand side
// M in, the diagonal of M + D dt K, b^2 / diagonal for the size of the right-hand side, and
// in flag 1 where the diagonal is not positive (else 0).
__global__ void femSetupKernel(int n, const double* rowSum, const double* mass, double Ddt, const int* mask,
                               double value, const double* in, const double* change, double* x, double* rhs,
                               double* diagonal, double* scratch, double* flag)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) {
        const double v = in[i]; // in may be x
        if (fixedNode(mask, i)) {
            x[i] = value;
            rhs[i] = value;
            diagonal[i] = 1.0;
            scratch[i] = 0.0; // fixed nodes are not part of the solve
            flag[i] = 0.0;
            continue;
        }
        x[i] = change ? v + Ddt * change[i] : v;
        rhs[i] = mass[i] * v;
        diagonal[i] = mass[i] + Ddt * rowSum[i];
        scratch[i] = rhs[i] * rhs[i] / diagonal[i];
        flag[i] = diagonal[i] <= 0.0 ? 1.0 : 0.0;
    }
}

// x = rhs / mass on the free nodes: the field itself as the solver's start (setup wrote the
// start over the field where the solve runs in place).
__global__ void femRestartKernel(int n, const int* mask, const double* rhs, const double* mass, double* x)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) {
        if (!fixedNode(mask, i)) x[i] = rhs[i] / mass[i];
    }
}

// The solver is the conjugate gradient method in the form of Chronopoulos and Gear (1989):
// both of an iteration's inner products come from one pass, so an iteration is one
// matrix pass, one vector pass and one reduction. r is the residual, u = r / diagonal, w =
// A u, p the search direction and s = A p (w, p and s in float, see femUpdateKernel).

// r = b - A x and u = r / diagonal.
__global__ void femResidualKernel(int n, const int* rowStart, const int* columns, const float* weights,
                                  const double* mass, double Ddt, const int* mask, const double* x, const double* rhs,
                                  const double* diagonal, double* r, double* u)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    double ri = 0.0;
    if (!fixedNode(mask, i)) ri = rhs[i] - mass[i] * x[i] - Ddt * rowFlux(i, rowStart, columns, weights, x);
    r[i] = ri;
    if (diagonal) u[i] = ri / diagonal[i];
}

// w = A u, with r u and w u per node (u is 0 on fixed nodes, whose rows are the identity).
__global__ void femApplyKernel(int n, const int* rowStart, const int* columns, const float* weights, const double* mass,
                               double Ddt, const int* mask, const double* r, const double* u, float* w, double* ru,
                               double* wu)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    float wi = 0.0f;
    if (!fixedNode(mask, i)) wi = static_cast<float>(mass[i] * u[i] + Ddt * rowFlux(i, rowStart, columns, weights, u));
    w[i] = wi;
    ru[i] = r[i] * u[i];
    wu[i] = wi * u[i];
}

// p = u + beta p, s = w + beta s (p = u, s = w in the first iteration), x += alpha p,
// r -= alpha s, and u = r / diagonal unless diagonal is nullptr (the multigrid forms u).
// w, p and s are kept to float, and x and r move by the numbers kept, so r stays x's
// residual but for the rounding of s against A p (at the end of the tests' solves the two
// differ by 1e-8 of the field at most, against a tolerance of 1e-6). This kernel streams the
// most of an iteration; in float, a step on meshes past the processor's cache takes a tenth
// less time.
__global__ void femUpdateKernel(int n, bool first, double alpha, double beta, const float* __restrict__ w,
                                const double* __restrict__ diagonal, float* __restrict__ p, float* __restrict__ s,
                                double* __restrict__ x, double* __restrict__ r, double* __restrict__ u)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i) {
        const float pf = static_cast<float>(first ? u[i] : u[i] + beta * p[i]);
        const float sf = static_cast<float>(first ? w[i] : w[i] + beta * s[i]);
        p[i] = pf;
        s[i] = sf;
        const double pi = pf, si = sf;
        x[i] += alpha * pi;
        const double ri = r[i] - alpha * si;
        r[i] = ri;
        if (diagonal) u[i] = ri / diagonal[i];
    }
}

// The step in flux form from the solution x: u_i = u_old_i - D dt / m_i sum_j w_ij (x_i -
// x_j), with u_old = b / m. It differs from x by the solver's residual over the mass, and
// what it takes from one node it gives to another to the last bit. change (when given) =
// (x - u_old) / (D dt), 0 on fixed nodes: the solution's own change, from which the same
// step would start converged.
__global__ void femConservativeKernel(int n, const int* rowStart, const int* columns, const float* weights,
                                      const double* mass, double Ddt, const int* mask, const double* rhs,
                                      const double* x, double* u, double* change)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    if (fixedNode(mask, i)) {
        u[i] = x[i];
        if (change) change[i] = 0.0;
        return;
    }
    u[i] = (rhs[i] - Ddt * rowFlux(i, rowStart, columns, weights, x)) / mass[i];
    if (change) change[i] = (x[i] - rhs[i] / mass[i]) / Ddt;
}

// partial[t] = the sum of a[t * chunk, (t + 1) * chunk), in order, and partial[parts + t]
// that of b (when b is given).
__global__ void femChunkSumKernel(const double* a, const double* b, int n, int chunk, double* partial, int parts)
{
    const int t = static_cast<int>(dev::globalThreadIndex());
    if (t >= parts) return;
    const int begin = t * chunk, end = begin + chunk < n ? begin + chunk : n;
    double sa = 0.0, sb = 0.0;
    for (int i = begin; i < end; ++i) sa += a[i];
    partial[t] = sa;
    if (b == nullptr) return;
    for (int i = begin; i < end; ++i) sb += b[i];
    partial[parts + t] = sb;
}

// The passes of an extruded mesh (FemDiffusion::Extrusion). An item is a run of layers of
// one column: on the CPU a run long enough for the vector unit, which then works along the
// column (the nodes of a run lie side by side, and so do those of each neighbouring column),
// and up to 128 layers, so that most columns are one run and read their plane entries once;
// on a GPU one layer per thread. With runs, an item also sums what the iteration's inner
// products need over its layers, so that the solver neither writes nor reads them per node.
// A block of runs is the share the OpenMP threads take in turn: 8 columns, so that the
// vials' few thousand columns keep 16 threads busy.
#if defined(LUMETRA_BACKEND_CUDA)
constexpr int kLayerRun = 1;
constexpr unsigned kRunsBlock = kBlock;
#else
constexpr int kLayerRun = 128;
constexpr unsigned kRunsBlock = 8;
#endif
constexpr bool kRunSums = kLayerRun > 1;

// The plane's sums for layer lo + s of column p, over the plane's entries in their order:
// with K the plane's stiffness and M its mass, sk = K v and sm = M v, where v = g u when
// Scaled (g the nodes' square roots of the cure's factor) and v = u otherwise.
template <bool Scaled>
__host__ __device__ __forceinline__ void extrudedPlaneSums(const FemDiffusion::Extrusion& op, int p, int lo, int s,
                                                           const double* u, const double* g, double* sk, double* sm)
{
    double a0 = 0.0, a1 = 0.0;
    for (int e = op.planeStart[p]; e < op.planeStart[p + 1]; ++e) {
        const double K = op.planeStiffness[e], M = op.planeMass[e];
        const std::size_t at = static_cast<std::size_t>(op.planeColumns[e]) * op.layers + lo + s;
        double v = u[at];
        if constexpr (Scaled) v = g[at] * v;
        a0 += K * v;
        a1 += M * v;
    }
    sk[s] = a0;
    sm[s] = a1;
}

#if !defined(LUMETRA_BACKEND_CUDA)
// Eight layers side by side as two vectors of four (AVX2 registers where the clone has them),
// summed in registers over the plane's entries and stored once: the operations of
// extrudedPlaneSums lane by lane, so the numbers are the same.
using Lanes = double __attribute__((vector_size(32)));
using FloatLanes = float __attribute__((vector_size(16)));

template <bool Scaled>
__forceinline__ void extrudedPlaneLanes(const FemDiffusion::Extrusion& op, int p, int lo, int s0, const double* u,
                                        const double* g, double* sk, double* sm)
{
    const Lanes zero = {0.0, 0.0, 0.0, 0.0};
    Lanes a0[2] = {zero, zero}, a1[2] = {zero, zero};
    for (int e = op.planeStart[p]; e < op.planeStart[p + 1]; ++e) {
        const double K = op.planeStiffness[e], M = op.planeMass[e];
        const std::size_t base = static_cast<std::size_t>(op.planeColumns[e]) * op.layers + lo + s0;
        for (int h = 0; h < 2; ++h) {
            Lanes v;
            std::memcpy(&v, u + base + 4 * h, sizeof v);
            if constexpr (Scaled) {
                Lanes gv;
                std::memcpy(&gv, g + base + 4 * h, sizeof gv);
                v = gv * v;
            }
            a0[h] += K * v;
            a1[h] += M * v;
        }
    }
    for (int h = 0; h < 2; ++h) {
        std::memcpy(sk + s0 + 4 * h, &a0[h], sizeof(Lanes));
        std::memcpy(sm + s0 + 4 * h, &a1[h], sizeof(Lanes));
    }
}
#endif

// For the layers k0 <= k < k1 of column p: kv[k - k0] = (K v)_k with v = g u when Scaled,
// else v = u. The sums over the plane are taken for each layer the line reaches (one beyond
// each end of the run), eight layers at a time, then the line's three entries combine them;
// each layer's numbers come out the same whichever run holds it.
template <bool Scaled>
__host__ __device__ __forceinline__ void extrudedProducts(const FemDiffusion::Extrusion& op, int p, int k0, int k1,
                                                          const double* u, const double* g, double* kv)
{
    // Index 1 + k - k0 holds layer k; the ends beyond the column stay 0 (so do the line's
    // entries there), so that the line's sums need no test.
    constexpr int kSpan = kLayerRun + 2;
    double stiff[kSpan], mass[kSpan];
    const int lo = k0 > 0 ? k0 - 1 : k0, hi = k1 < op.layers ? k1 + 1 : k1, m = hi - lo, first = 1 + lo - k0;
    if (first > 0) stiff[0] = mass[0] = 0.0;
    if (first + m < k1 - k0 + 2) stiff[first + m] = mass[first + m] = 0.0;
    double *sk = stiff + first, *sm = mass + first;
    int layer = 0;
#if !defined(LUMETRA_BACKEND_CUDA)
    for (; layer + 8 <= m; layer += 8) extrudedPlaneLanes<Scaled>(op, p, lo, layer, u, g, sk, sm);
#endif
    for (; layer < m; ++layer) extrudedPlaneSums<Scaled>(op, p, lo, layer, u, g, sk, sm);
    const int L = op.layers, count = k1 - k0;
    const double *mLo = op.lineMass + k0, *mMid = mLo + L, *mHi = mMid + L;
    const double *kLo = op.lineStiffness + k0, *kMid = kLo + L, *kHi = kMid + L;
    for (int s = 0; s < count; ++s) {
        kv[s] = (mLo[s] * stiff[s] + kLo[s] * mass[s]) + (mMid[s] * stiff[s + 1] + kMid[s] * mass[s + 1]) +
                (mHi[s] * stiff[s + 2] + kHi[s] * mass[s + 2]);
    }
}

enum class ExtrudedPass { Factors, Residual, Apply, Conservative };

// What a pass reads and writes, as the assembled passes do: Factors: out0 = g_i (K g)_i per
// node (g: the factors, each the square root of the node's share of the coefficient), out1 =
// the row sums of the cure's weights;
// Residual (from x = in): out0 = r, out1 = u; Apply (u = in): product = w, out1 = r u, out2 =
// w u; Conservative (x = in): out0 = the step in flux form, out1 (when given) x's change per
// unit D dt.
struct ExtrudedArgs {
    ExtrudedPass pass;
    bool withCure;
    double Ddt;
    const double *factor, *coupled, *diagonal, *rhs, *in, *r;
    const int* mask;
    double *out0, *out1, *out2;
    // Apply: w, in float (femUpdateKernel).
    float* product;
    // Apply with kRunSums: instead of out1 and out2, item t's sums of r u and w u go to
    // partial[t] and partial[items + t].
    double* partial;
};

// ru = sum of r u and wu = sum of w u over a run of count layers, each as eight running sums
// (layer s in sum s mod 8) added in one order at the end: on the CPU eight layers at a time in
// vectors, with the same numbers as one at a time.
__host__ __device__ __forceinline__ void runSums(const double* r, const float* w, const double* u, int count,
                                                 double& ru, double& wu)
{
    double sr[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}, sw[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    int s = 0;
#if !defined(LUMETRA_BACKEND_CUDA)
    if (count >= 8) {
        const Lanes zero = {0.0, 0.0, 0.0, 0.0};
        Lanes r0 = zero, r1 = zero, w0 = zero, w1 = zero;
        for (; s + 8 <= count; s += 8) {
            Lanes ra, rb, ua, ub;
            FloatLanes wfa, wfb;
            std::memcpy(&ra, r + s, sizeof ra);
            std::memcpy(&rb, r + s + 4, sizeof rb);
            std::memcpy(&wfa, w + s, sizeof wfa);
            std::memcpy(&wfb, w + s + 4, sizeof wfb);
            const Lanes wa = __builtin_convertvector(wfa, Lanes), wb = __builtin_convertvector(wfb, Lanes);
            std::memcpy(&ua, u + s, sizeof ua);
            std::memcpy(&ub, u + s + 4, sizeof ub);
            r0 += ra * ua;
            r1 += rb * ub;
            w0 += wa * ua;
            w1 += wb * ub;
        }
        std::memcpy(sr, &r0, sizeof r0);
        std::memcpy(sr + 4, &r1, sizeof r1);
        std::memcpy(sw, &w0, sizeof w0);
        std::memcpy(sw + 4, &w1, sizeof w1);
    }
#endif
    for (; s < count; ++s) {
        sr[s & 7] += r[s] * u[s];
        sw[s & 7] += static_cast<double>(w[s]) * u[s];
    }
    ru = ((sr[0] + sr[1]) + (sr[2] + sr[3])) + ((sr[4] + sr[5]) + (sr[6] + sr[7]));
    wu = ((sw[0] + sw[1]) + (sw[2] + sw[3])) + ((sw[4] + sw[5]) + (sw[6] + sw[7]));
}

// On the CPU also built for AVX2, chosen at load where the processor has it: the runs along
// the columns are the solver's work. Each layer is a lane of its own and nothing is
// contracted, so both give the same numbers.
#if defined(LUMETRA_BACKEND_CUDA)
#define LUMETRA_WIDE_VECTORS
#else
#define LUMETRA_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#endif
LUMETRA_WIDE_VECTORS __global__ void femExtrudedKernel(FemDiffusion::Extrusion op, ExtrudedArgs a)
{
    const int t = static_cast<int>(dev::globalThreadIndex()), items = op.columns * op.runs;
    if (t >= items) return;
    const int p = t / op.runs, k0 = (t % op.runs) * op.run, k1 = k0 + op.run < op.layers ? k0 + op.run : op.layers;
    const int count = k1 - k0;
    const std::size_t i0 = static_cast<std::size_t>(p) * op.layers + k0;
    double ka[kLayerRun];
    if (a.pass == ExtrudedPass::Factors) {
        extrudedProducts<false>(op, p, k0, k1, a.factor, nullptr, ka);
        // The flux's part that goes with u_i, g_i (K g)_i, and the sum over j != i of w_ij g_i
        // g_j = g_i^2 K_ii - g_i (K g)_i, as the sum over j != i of w_ij is K_ii (K's rows sum
        // to 0); K_ii from the plane's and line's diagonals.
        double planeK = 0.0, planeM = 0.0;
        for (int e = op.planeStart[p]; e < op.planeStart[p + 1]; ++e) {
            if (op.planeColumns[e] == p) planeK = op.planeStiffness[e], planeM = op.planeMass[e];
        }
        for (int s = 0; s < count; ++s) {
            const double gi = a.factor[i0 + s];
            const double kii = planeK * op.lineMass[op.layers + k0 + s] + planeM * op.lineStiffness[op.layers + k0 + s];
            const double own = gi * ka[s];
            a.out0[i0 + s] = own;
            a.out1[i0 + s] = gi > 0.0 ? gi * gi * kii - own : 0.0;
        }
        return;
    }
    const double* u = a.in + i0;
    if (a.withCure) {
        // The sum over j of w_ij g_i g_j (u_i - u_j) = g_i (K g u)_i - g_i (K g)_i u_i.
        extrudedProducts<true>(op, p, k0, k1, a.in, a.factor, ka);
        const double *g = a.factor + i0, *own = a.coupled + i0;
        for (int s = 0; s < count; ++s) ka[s] = g[s] * ka[s] - own[s] * u[s];
    } else {
        extrudedProducts<false>(op, p, k0, k1, a.in, nullptr, ka);
    }
    // ka: the flux of each layer; a fixed node's row is the identity.
    // Each layer's lumped mass: its point's times its layer's.
    const double pointMass = op.pointMass[p], *layerMass = op.layerMass + k0;
    const int* mask = a.mask ? a.mask + i0 : nullptr;
    switch (a.pass) {
    case ExtrudedPass::Residual:
        for (int s = 0; s < count; ++s) {
            const double ri = mask && mask[s] ? 0.0 : a.rhs[i0 + s] - pointMass * layerMass[s] * u[s] - a.Ddt * ka[s];
            a.out0[i0 + s] = ri;
            a.out1[i0 + s] = ri / a.diagonal[i0 + s];
        }
        break;
    case ExtrudedPass::Apply:
        for (int s = 0; s < count; ++s) {
            a.product[i0 + s] =
                mask && mask[s] ? 0.0f : static_cast<float>(pointMass * layerMass[s] * u[s] + a.Ddt * ka[s]);
        }
        if (a.partial) {
            runSums(a.r + i0, a.product + i0, u, count, a.partial[t], a.partial[items + t]);
            break;
        }
        for (int s = 0; s < count; ++s) {
            a.out1[i0 + s] = a.r[i0 + s] * u[s];
            a.out2[i0 + s] = static_cast<double>(a.product[i0 + s]) * u[s];
        }
        break;
    case ExtrudedPass::Conservative:
        for (int s = 0; s < count; ++s) {
            a.out0[i0 + s] = mask && mask[s] ? u[s] : (a.rhs[i0 + s] - a.Ddt * ka[s]) / (pointMass * layerMass[s]);
        }
        if (a.out1) {
            for (int s = 0; s < count; ++s) {
                a.out1[i0 + s] = mask && mask[s] ? 0.0 : (u[s] - a.rhs[i0 + s] / (pointMass * layerMass[s])) / a.Ddt;
            }
        }
        break;
    case ExtrudedPass::Factors: break;
    }
}

// The multigrid V-cycle. Level 0 is the solver's operator M + Ddt K(w) with its fixed nodes;
// a coarser level holds A_IJ = -values (I != J) and A_II = diagonal. Each coarse row is
// formed, restricted to and smoothed by one thread, so the numbers do not depend on the
// thread count.

// A node of level 0 takes part in the coarse levels when it is free and coupled: a fixed
// node's value is given, and a frozen one (no weight left) is solved exactly by the smoother.
// coarse = its aggregate if so, else -1.
__global__ void mgFineRoleKernel(int n, const int* aggregate, const double* rowSum, const int* mask, int* coarse)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    coarse[i] = !fixedNode(mask, i) && rowSum[i] > 0.0 ? aggregate[i] : -1;
}

// A coarse row starts empty; once its entries are summed, its diagonal d and its l1
// diagonal (d plus the entries' magnitudes) are stored. A row no member takes part in gets a
// diagonal of 1: nothing is restricted to it, and it stays 0.
__device__ inline double* emptyCoarseRow(int I, const int* coarseRowStart, double* values)
{
    for (int s = coarseRowStart[I]; s < coarseRowStart[I + 1]; ++s) values[s] = 0.0;
    return values + coarseRowStart[I];
}

__device__ inline void finishCoarseRow(int I, const int* coarseRowStart, const double* values, double d,
                                       double* diagonal, double* coarseSmoother)
{
    double spread = 0.0;
    for (int s = coarseRowStart[I]; s < coarseRowStart[I + 1]; ++s) spread += values[s] < 0.0 ? -values[s] : values[s];
    if (!(d > 0.0)) d = 1.0;
    diagonal[I] = d;
    coarseSmoother[I] = d + spread;
}

// Level 1 from level 0, one thread per aggregate I: A_II = sum of A_ij over i, j in I,
// values_IJ = Ddt sum of w_ij over i in I, j in J (P^T A P with P the aggregates' indicator
// over the nodes taking part); also level 0's smoother, as 1 / (A_ii + sum_j |A_ij|). With
// factor, the weights are w_ij factor_i factor_j.
__global__ void mgFineGalerkinKernel(int nc, const int* memberStart, const int* members, const int* rowStart,
                                     const int* columns, const float* weights, const double* factor,
                                     const double* rowSum, const double* mass, double Ddt, const std::int16_t* slot,
                                     const int* coarse, double* smoother, const int* coarseRowStart, double* values,
                                     double* diagonal, double* coarseSmoother)
{
    const int I = static_cast<int>(dev::globalThreadIndex());
    if (I >= nc) return;
    double* row = emptyCoarseRow(I, coarseRowStart, values);
    double d = 0.0;
    for (int m = memberStart[I]; m < memberStart[I + 1]; ++m) {
        const int i = members[m];
        const double aii = mass[i] + Ddt * rowSum[i];
        // A fixed node (its residual is 0) gets its smoother too: kept levels serve steps
        // whose mask may free it. It takes no part in the coarse rows.
        const bool active = coarse[i] >= 0;
        if (active) d += aii;
        // Two running sums of each kind, so that the additions of a row are not one chain.
        double spread[2] = {0.0, 0.0}, inner[2] = {0.0, 0.0};
        const double fi = factor ? Ddt * factor[i] : Ddt;
        for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) {
            const double a = (factor ? fi * factor[columns[k]] : fi) * static_cast<double>(weights[k]);
            spread[k & 1] += a < 0.0 ? -a : a;
            if (!active || coarse[columns[k]] < 0) continue;
            if (slot[k] < 0) inner[k & 1] += a;
            else row[slot[k]] += a;
        }
        d -= inner[0] + inner[1];
        smoother[i] = 1.0 / (aii + (spread[0] + spread[1]));
    }
    finishCoarseRow(I, coarseRowStart, values, d, diagonal, coarseSmoother);
}

// A coarse node takes part in the next level when it is coupled: its l1 diagonal exceeds
// its diagonal.
__host__ __device__ inline bool coarseActive(const double* diagonal, const double* smoother, int i)
{
    return smoother[i] > diagonal[i];
}

// Level l + 1 from level l (l >= 1), as mgFineGalerkinKernel.
__global__ void mgCoarseGalerkinKernel(int nc, const int* memberStart, const int* members, const int* rowStart,
                                       const int* columns, const double* fineValues, const double* fineDiagonal,
                                       const double* fineSmoother, const std::int16_t* slot, int* coarse,
                                       const int* coarseRowStart, double* values, double* diagonal,
                                       double* coarseSmoother)
{
    const int I = static_cast<int>(dev::globalThreadIndex());
    if (I >= nc) return;
    double* row = emptyCoarseRow(I, coarseRowStart, values);
    double d = 0.0;
    for (int m = memberStart[I]; m < memberStart[I + 1]; ++m) {
        const int i = members[m];
        const bool active = coarseActive(fineDiagonal, fineSmoother, i);
        coarse[i] = active ? I : -1;
        if (!active) continue;
        d += fineDiagonal[i];
        for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) {
            if (!coarseActive(fineDiagonal, fineSmoother, columns[k])) continue;
            if (slot[k] < 0) d -= fineValues[k];
            else row[slot[k]] += fineValues[k];
        }
    }
    finishCoarseRow(I, coarseRowStart, values, d, diagonal, coarseSmoother);
}

// x = r / smoother: the first l1-Jacobi sweep from 0.
__global__ void mgSmoothStartKernel(int n, const double* r, const double* smoother, double theta, double* x)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    x[i] = theta * r[i] / smoother[i];
}

// out = r - A x on a coarser level, or, with post, out = x + theta (r - A x) / smoother.
__global__ void mgCoarseSweepKernel(int n, const int* rowStart, const int* columns, const double* values,
                                    const double* diagonal, const double* smoother, const double* r, const double* x,
                                    bool post, double theta, double* out)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    // Four running sums, so that a row's products are not one chain of additions.
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    int k = rowStart[i];
    const int end = rowStart[i + 1];
    for (; k + 4 <= end; k += 4) {
        a0 += values[k] * x[columns[k]];
        a1 += values[k + 1] * x[columns[k + 1]];
        a2 += values[k + 2] * x[columns[k + 2]];
        a3 += values[k + 3] * x[columns[k + 3]];
    }
    for (; k < end; ++k) a0 += values[k] * x[columns[k]];
    const double residual = r[i] - (diagonal[i] * x[i] - ((a0 + a1) + (a2 + a3)));
    out[i] = post ? x[i] + theta * residual / smoother[i] : residual;
}

// rc_I = sum of the residuals of I's active members (P^T t).
__global__ void mgRestrictKernel(int nc, const int* memberStart, const int* members, const int* coarse, const double* t,
                                 double* rc)
{
    const int I = static_cast<int>(dev::globalThreadIndex());
    if (I >= nc) return;
    // Four running sums, as in mgCoarseSweepKernel.
    auto share = [&](int m) { return coarse[members[m]] >= 0 ? t[members[m]] : 0.0; };
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    int m = memberStart[I];
    const int end = memberStart[I + 1];
    for (; m + 4 <= end; m += 4) {
        s0 += share(m);
        s1 += share(m + 1);
        s2 += share(m + 2);
        s3 += share(m + 3);
    }
    for (; m < end; ++m) s0 += share(m);
    rc[I] = (s0 + s1) + (s2 + s3);
}

// out = theta r / smoother + P e: the preconditioner on the mesh (inverse: 1 / smoother).
__global__ void mgFineCombineKernel(int n, const double* __restrict__ r, const double* __restrict__ inverse,
                                    double theta, const int* __restrict__ coarse, const double* __restrict__ e,
                                    double* __restrict__ out)
{
    const dev::ItemRange run = dev::itemRange(n);
    for (int i = run.begin; i < run.end; ++i)
        out[i] = theta * r[i] * inverse[i] + (coarse[i] >= 0 ? e[coarse[i]] : 0.0);
}

// x += P e.
__global__ void mgProlongKernel(int n, const int* coarse, const double* e, double* x)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    if (coarse[i] >= 0) x[i] += e[coarse[i]];
}

namespace {

// Stiffness (8 x 8) and lumped masses of one trilinear hexahedron by 2 x 2 x 2 Gauss
// quadrature, in double. Returns false where the Jacobian is not positive.
bool elementMatrices(const double x[8][3], double K[8][8], double m[8])
{
    static const int corner[8][3] = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                     {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
    const double g = 1.0 / std::sqrt(3.0);
    for (int a = 0; a < 8; ++a) {
        m[a] = 0.0;
        for (int b = 0; b < 8; ++b) K[a][b] = 0.0;
    }
    for (int qp = 0; qp < 8; ++qp) {
        const double q[3] = {corner[qp][0] * g, corner[qp][1] * g, corner[qp][2] * g};
        double N[8], dN[8][3];
        for (int k = 0; k < 8; ++k) {
            const double s[3] = {1.0 + corner[k][0] * q[0], 1.0 + corner[k][1] * q[1], 1.0 + corner[k][2] * q[2]};
            N[k] = 0.125 * s[0] * s[1] * s[2];
            dN[k][0] = 0.125 * corner[k][0] * s[1] * s[2];
            dN[k][1] = 0.125 * corner[k][1] * s[0] * s[2];
            dN[k][2] = 0.125 * corner[k][2] * s[0] * s[1];
        }
        double J[3][3] = {}; // J[i][j] = d x_i / d xi_j
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) J[i][j] += x[k][i] * dN[k][j];
        const double det = J[0][0] * (J[1][1] * J[2][2] - J[1][2] * J[2][1]) -
                           J[0][1] * (J[1][0] * J[2][2] - J[1][2] * J[2][0]) +
                           J[0][2] * (J[1][0] * J[2][1] - J[1][1] * J[2][0]);
        double B[3][3];
        if (!(det > 0.0) || !invert3x3matrix(J, B)) return false;
        double grad[8][3]; // d N_k / d x_i = sum_j dN_k/dxi_j dxi_j/dx_i
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < 3; ++i) grad[k][i] = dN[k][0] * B[0][i] + dN[k][1] * B[1][i] + dN[k][2] * B[2][i];
        for (int a = 0; a < 8; ++a) {
            m[a] += N[a] * det;
            for (int b = a; b < 8; ++b) {
                K[a][b] += det * (grad[a][0] * grad[b][0] + grad[a][1] * grad[b][1] + grad[a][2] * grad[b][2]);
            }
        }
    }
    for (int a = 0; a < 8; ++a)
        for (int b = 0; b < a; ++b) K[a][b] = K[b][a]; // the same number in both rows
    return true;
}

// Stiffness and consistent mass (4 x 4) of one bilinear quadrilateral (corners x[a] = (x,
// y), counter-clockwise) by 2 x 2 Gauss quadrature, as the hexahedron's quadrature sees its
// plane. Returns false where the Jacobian is not positive.
bool quadMatrices(const double x[4][2], double K[4][4], double M[4][4])
{
    static const int corner[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    const double g = 1.0 / std::sqrt(3.0);
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b) K[a][b] = M[a][b] = 0.0;
    for (int qp = 0; qp < 4; ++qp) {
        const double q[2] = {corner[qp][0] * g, corner[qp][1] * g};
        double N[4], dN[4][2];
        for (int k = 0; k < 4; ++k) {
            const double s[2] = {1.0 + corner[k][0] * q[0], 1.0 + corner[k][1] * q[1]};
            N[k] = 0.25 * s[0] * s[1];
            dN[k][0] = 0.25 * corner[k][0] * s[1];
            dN[k][1] = 0.25 * corner[k][1] * s[0];
        }
        double J[2][2] = {}; // J[i][j] = d x_i / d xi_j
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j) J[i][j] += x[k][i] * dN[k][j];
        const double det = J[0][0] * J[1][1] - J[0][1] * J[1][0];
        if (!(det > 0.0)) return false;
        const double B[2][2] = {{J[1][1] / det, -J[0][1] / det}, {-J[1][0] / det, J[0][0] / det}}; // d xi_j / d x_i
        double grad[4][2];
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < 2; ++i) grad[k][i] = dN[k][0] * B[0][i] + dN[k][1] * B[1][i];
        for (int a = 0; a < 4; ++a)
            for (int b = a; b < 4; ++b) {
                K[a][b] += det * (grad[a][0] * grad[b][0] + grad[a][1] * grad[b][1]);
                M[a][b] += det * N[a] * N[b];
            }
    }
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < a; ++b) K[a][b] = K[b][a], M[a][b] = M[b][a];
    return true;
}

// An extruded mesh on the host (FemDiffusion::Extrusion), and order[i], the mesh node of
// solver node i = p * layers + k.
struct HostExtrusion {
    int points = 0, layers = 0;
    std::vector<int> planeStart, planeColumns, order;
    std::vector<double> planeStiffness, planeMass, lineMass, lineStiffness;
    // The lumped masses of the plane's points and of the line's layers: a node's lumped mass
    // is the product of its point's and its layer's.
    std::vector<double> pointMass, layerMass;
};

// The extrusion of a mesh (coordinates component-major, element nodes valid), or false: every
// element's corners 4-7 stand above its corners 0-3 (the same x and y, each four at one
// height), the nodes lie on layers of the same points of the plane, and every quadrilateral
// of the plane spans every pair of neighbouring layers once.
bool findExtrusion(const std::vector<float>& coords, const std::vector<int>& elements, int n, HostExtrusion& ex)
{
    const std::size_t E = elements.size() / 8;
    if (E == 0) return false;
    const float *X = coords.data(), *Y = X + n, *Z = Y + n;
    for (std::size_t e = 0; e < E; ++e) {
        const int* c = &elements[8 * e];
        for (int a = 0; a < 4; ++a) {
            if (X[c[a]] != X[c[a + 4]] || Y[c[a]] != Y[c[a + 4]] || Z[c[a]] != Z[c[0]] || Z[c[a + 4]] != Z[c[4]])
                return false;
        }
        if (!(Z[c[4]] > Z[c[0]])) return false;
    }
    std::vector<float> heights(Z, Z + n);
    std::sort(heights.begin(), heights.end());
    heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
    const int L = static_cast<int>(heights.size());
    if (L < 2 || n % L != 0) return false;
    const int P = n / L;
    // A point of the plane by the bits of its coordinates (-0 taken as 0), numbered in the
    // order of its node in the lowest layer.
    auto key = [&](int i) {
        const float x = X[i] + 0.0f, y = Y[i] + 0.0f;
        std::uint32_t bx, by;
        std::memcpy(&bx, &x, sizeof bx);
        std::memcpy(&by, &y, sizeof by);
        return (static_cast<std::uint64_t>(bx) << 32) | by;
    };
    std::vector<std::pair<std::uint64_t, int>> points;
    for (int i = 0; i < n; ++i) {
        if (Z[i] == heights[0]) points.emplace_back(key(i), static_cast<int>(points.size()));
    }
    if (static_cast<int>(points.size()) != P) return false;
    std::sort(points.begin(), points.end());
    std::vector<int> pointOf(static_cast<std::size_t>(n)), layerOf(static_cast<std::size_t>(n));
    ex.order.assign(static_cast<std::size_t>(n), -1);
    for (int i = 0; i < n; ++i) {
        const auto at = std::lower_bound(points.begin(), points.end(), std::make_pair(key(i), INT_MIN));
        if (at == points.end() || at->first != key(i)) return false;
        const int p = at->second,
                  k = static_cast<int>(std::lower_bound(heights.begin(), heights.end(), Z[i]) - heights.begin());
        int& slot = ex.order[static_cast<std::size_t>(p) * L + k];
        if (slot >= 0) return false; // two nodes at one place
        slot = i;
        pointOf[i] = p;
        layerOf[i] = k;
    }
    // Each element: its quadrilateral (sorted), lower layer and index.
    std::vector<std::array<int, 6>> cells(E);
    for (std::size_t e = 0; e < E; ++e) {
        const int* c = &elements[8 * e];
        std::array<int, 6>& cell = cells[e];
        for (int a = 0; a < 4; ++a) cell[a] = pointOf[c[a]];
        std::sort(cell.begin(), cell.begin() + 4);
        cell[4] = layerOf[c[0]];
        cell[5] = static_cast<int>(e);
        if (layerOf[c[4]] != cell[4] + 1 || cell[0] == cell[1] || cell[1] == cell[2] || cell[2] == cell[3])
            return false;
    }
    std::sort(cells.begin(), cells.end());
    std::vector<int> representative; // one element of each quadrilateral
    for (std::size_t c = 0; c < E; ++c) {
        const bool sameQuad = c > 0 && std::equal(cells[c].begin(), cells[c].begin() + 4, cells[c - 1].begin());
        if (sameQuad && cells[c][4] == cells[c - 1][4]) return false; // one quadrilateral twice between two layers
        if (!sameQuad) representative.push_back(cells[c][5]);
    }
    if (representative.size() * static_cast<std::size_t>(L - 1) != E) return false;

    // The plane: rows of the points sharing a quadrilateral with each point, the point itself
    // included; the entries summed quadrilateral by quadrilateral in the same order in both rows.
    std::vector<std::vector<int>> rows(static_cast<std::size_t>(P));
    for (int e : representative) {
        const int* c = &elements[8 * static_cast<std::size_t>(e)];
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) rows[pointOf[c[a]]].push_back(pointOf[c[b]]);
    }
    ex.planeStart.assign(static_cast<std::size_t>(P) + 1, 0);
    ex.planeColumns.clear();
    for (int p = 0; p < P; ++p) {
        std::vector<int>& row = rows[p];
        std::sort(row.begin(), row.end());
        row.erase(std::unique(row.begin(), row.end()), row.end());
        ex.planeColumns.insert(ex.planeColumns.end(), row.begin(), row.end());
        ex.planeStart[p + 1] = static_cast<int>(ex.planeColumns.size());
        std::vector<int>().swap(row);
    }
    ex.planeStiffness.assign(ex.planeColumns.size(), 0.0);
    ex.planeMass.assign(ex.planeColumns.size(), 0.0);
    for (int e : representative) {
        const int* c = &elements[8 * static_cast<std::size_t>(e)];
        double x[4][2], K[4][4], M[4][4];
        int point[4];
        for (int a = 0; a < 4; ++a) {
            point[a] = pointOf[c[a]];
            x[a][0] = X[c[a]];
            x[a][1] = Y[c[a]];
        }
        if (!quadMatrices(x, K, M)) return false; // the general assembly names the element
        for (int a = 0; a < 4; ++a) {
            const auto begin = ex.planeColumns.begin() + ex.planeStart[point[a]],
                       end = ex.planeColumns.begin() + ex.planeStart[point[a] + 1];
            for (int b = 0; b < 4; ++b) {
                const std::size_t at =
                    static_cast<std::size_t>(std::lower_bound(begin, end, point[b]) - ex.planeColumns.begin());
                ex.planeStiffness[at] += K[a][b];
                ex.planeMass[at] += M[a][b];
            }
        }
    }
    // The line: linear elements between neighbouring layers, consistent mass h/6 (2 1; 1 2),
    // stiffness 1/h (1 -1; -1 1).
    ex.lineMass.assign(3 * static_cast<std::size_t>(L), 0.0);
    ex.lineStiffness.assign(3 * static_cast<std::size_t>(L), 0.0);
    for (int k = 0; k + 1 < L; ++k) {
        const double h = static_cast<double>(heights[k + 1]) - static_cast<double>(heights[k]);
        ex.lineMass[L + k] += h / 3.0;
        ex.lineMass[2 * L + k] = h / 6.0;
        ex.lineMass[k + 1] = h / 6.0;
        ex.lineMass[L + k + 1] += h / 3.0;
        ex.lineStiffness[L + k] += 1.0 / h;
        ex.lineStiffness[2 * L + k] = -1.0 / h;
        ex.lineStiffness[k + 1] = -1.0 / h;
        ex.lineStiffness[L + k + 1] += 1.0 / h;
    }
    // The lumped masses: the consistent masses' row sums.
    ex.pointMass.assign(static_cast<std::size_t>(P), 0.0);
    for (int p = 0; p < P; ++p) {
        for (int e = ex.planeStart[p]; e < ex.planeStart[p + 1]; ++e) ex.pointMass[p] += ex.planeMass[e];
    }
    ex.layerMass.resize(static_cast<std::size_t>(L));
    for (int k = 0; k < L; ++k) ex.layerMass[k] = ex.lineMass[k] + ex.lineMass[L + k] + ex.lineMass[2 * L + k];
    ex.points = P;
    ex.layers = L;
    return true;
}

// Whether the weights assembled from the hexahedra (solver's numbering) are the tensor
// product's, entry for entry, to rounding: the same stencil, each weight within 1e-9 of the
// largest of its row, and each lumped mass within 1e-9 of its point's times its layer's.
bool extrusionMatches(const HostExtrusion& ex, const std::vector<int>& rowStart, const std::vector<int>& columns,
                      const std::vector<double>& weights, const std::vector<double>& mass)
{
    const int L = ex.layers;
    if (ex.points < 1 || L < 2 || static_cast<std::size_t>(ex.points) * L + 1 != rowStart.size()) return false;
    for (int p = 0; p < ex.points; ++p) {
        const auto begin = ex.planeColumns.begin() + ex.planeStart[p],
                   end = ex.planeColumns.begin() + ex.planeStart[p + 1];
        for (int k = 0; k < L; ++k) {
            const int i = p * L + k;
            const int reach = (k > 0) + 1 + (k + 1 < L); // layers of the line around k
            if (rowStart[i + 1] - rowStart[i] != static_cast<int>(end - begin) * reach - 1) return false;
            double largest = 0.0;
            for (int s = rowStart[i]; s < rowStart[i + 1]; ++s) largest = std::max(largest, std::fabs(weights[s]));
            for (int s = rowStart[i]; s < rowStart[i + 1]; ++s) {
                const int q = columns[s] / L, dk = columns[s] % L - k;
                const auto at = std::lower_bound(begin, end, q);
                if (dk < -1 || dk > 1 || at == end || *at != q) return false;
                const std::size_t e = static_cast<std::size_t>(at - ex.planeColumns.begin());
                const std::size_t d = static_cast<std::size_t>(1 + dk) * L + k;
                const double w = -(ex.planeStiffness[e] * ex.lineMass[d] + ex.planeMass[e] * ex.lineStiffness[d]);
                if (!(std::fabs(w - weights[s]) <= 1e-9 * largest)) return false;
            }
            const double m = ex.pointMass[p] * ex.layerMass[k];
            if (!(std::fabs(m - mass[i]) <= 1e-9 * mass[i])) return false;
        }
    }
    return true;
}

// Greedy aggregation of a graph (rows of neighbours): a node whose neighbours all belong to
// no aggregate yet forms one with them (3 x 3 x 3 nodes inside a regular mesh); each node
// left over joins the aggregate among its neighbours it has most links to. Returns the
// number of aggregates.
int aggregateGraph(const std::vector<int>& rowStart, const std::vector<int>& columns, std::vector<int>& aggregate)
{
    const int n = static_cast<int>(rowStart.size()) - 1;
    aggregate.assign(static_cast<std::size_t>(n), -1);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (aggregate[i] >= 0) continue;
        bool free = true;
        for (int k = rowStart[i]; k < rowStart[i + 1] && free; ++k) free = aggregate[columns[k]] < 0;
        if (!free) continue;
        aggregate[i] = count;
        for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) aggregate[columns[k]] = count;
        ++count;
    }
    const std::vector<int> rooted = aggregate;
    for (int i = 0; i < n; ++i) {
        if (aggregate[i] >= 0) continue;
        int best = -1, bestLinks = 0;
        for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) {
            const int a = rooted[columns[k]];
            if (a < 0) continue;
            int links = 0;
            for (int q = rowStart[i]; q < rowStart[i + 1]; ++q) links += rooted[columns[q]] == a;
            if (links > bestLinks) best = a, bestLinks = links;
        }
        aggregate[i] = best >= 0 ? best : count++;
    }
    return count;
}

// Below this many nodes a level is the coarsest; its two smoothing sweeps are the solve.
constexpr int kCoarsestNodes = 32;
constexpr int kMaxLevels = 12;
// Weights of the l1-Jacobi sweeps. On the mesh the smoothing is added to the coarse
// correction (any positive weight keeps the preconditioner positive definite; 2 makes it
// the diagonal's where the weights are positive); on the coarser levels it is a sweep before
// and after the correction, which stays positive definite below 2. Measured on cubes at D dt
// / h^2 of 2.5 to 23: 1.8 takes a third fewer iterations than 1.
constexpr double kFineWeight = 2.0;
constexpr double kCoarseWeight = 1.8;

} // namespace

void FemDiffusion::build(const MeshDataFlat& mesh, FemPreconditioner preconditioner, double multigridFrom,
                         bool extrusion)
{
    built_ = extruded_ = false;
    preconditioner_ = preconditioner;
    multigridFrom_ = multigridFrom;
    levels_.clear();
    levelsOrigin_ = LevelsOrigin();
    for (auto& h : history_) h.release();
    for (auto* v : {&planeStart_, &planeColumns_, &order_, &place_, &fixed_}) v->release();
    for (auto* v : {&planeStiffness_, &planeMass_, &lineMass_, &lineStiffness_, &pointMass_, &layerMass_, &solution_,
                    &coupled_, &factor_, &runPartial_})
        v->release();
    const int n = mesh.nNodes, E = mesh.nElements;
    if (n <= 0) {
        nodes_ = 0;
        built_ = true;
        return;
    }
    std::vector<float> coords = dev::download(mesh.nodeCoords, 3 * static_cast<std::size_t>(n));
    std::vector<int> elements =
        E > 0 ? dev::download(mesh.elementNodes, 8 * static_cast<std::size_t>(E)) : std::vector<int>();
    for (int id : elements) {
        if (id < 0 || id >= n) throw std::invalid_argument(msg::format("diffusion: element node %d is not a node", id));
    }
    // An extruded mesh is solved in its columns' numbering: everything below is in it.
    HostExtrusion ex;
    if (extrusion && findExtrusion(coords, elements, n, ex)) {
        std::vector<int> solverNode(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) solverNode[ex.order[i]] = i;
        for (int& id : elements) id = solverNode[id];
        std::vector<float> renumbered(coords.size());
        for (int a = 0; a < 3; ++a)
            for (int i = 0; i < n; ++i)
                renumbered[static_cast<std::size_t>(a) * n + i] = coords[static_cast<std::size_t>(a) * n + ex.order[i]];
        coords.swap(renumbered);
    } else {
        ex = HostExtrusion(); // nothing of a search that failed part way
    }

    // Rows: the nodes that share an element with each node, sorted.
    std::vector<int> incidence(static_cast<std::size_t>(n) + 1, 0);
    for (int id : elements) ++incidence[id + 1];
    for (int i = 0; i < n; ++i) incidence[i + 1] += incidence[i];
    std::vector<int> elementOf(elements.size()), fill(incidence.begin(), incidence.end() - 1);
    for (std::size_t k = 0; k < elements.size(); ++k) elementOf[fill[elements[k]]++] = static_cast<int>(k / 8);

    std::vector<int> rowStart(static_cast<std::size_t>(n) + 1, 0), columns;
    columns.reserve(27 * static_cast<std::size_t>(n));
    std::vector<int> row;
    for (int i = 0; i < n; ++i) {
        row.clear();
        for (int k = incidence[i]; k < incidence[i + 1]; ++k) {
            const int e = elementOf[k];
            for (int c = 0; c < 8; ++c) {
                const int j = elements[8 * static_cast<std::size_t>(e) + c];
                if (j != i) row.push_back(j);
            }
        }
        std::sort(row.begin(), row.end());
        row.erase(std::unique(row.begin(), row.end()), row.end());
        columns.insert(columns.end(), row.begin(), row.end());
        if (columns.size() > static_cast<std::size_t>(INT_MAX)) {
            throw std::runtime_error(msg::format(
                "diffusion: the mesh's %d nodes have more than %d stiffness entries, the most the finite-element "
                "scheme indexes; use the kernel scheme or split the mesh",
                n, INT_MAX));
        }
        rowStart[i + 1] = static_cast<int>(columns.size());
    }

    // Weights -K_ij, summed element by element in element order in both rows alike.
    std::vector<double> weights(columns.size(), 0.0), mass(static_cast<std::size_t>(n), 0.0);
    auto slot = [&](int i, int j) {
        const auto begin = columns.begin() + rowStart[i], end = columns.begin() + rowStart[i + 1];
        return static_cast<std::size_t>(std::lower_bound(begin, end, j) - columns.begin());
    };
    for (int e = 0; e < E; ++e) {
        double x[8][3], K[8][8], m[8];
        int node[8];
        for (int c = 0; c < 8; ++c) {
            node[c] = elements[8 * static_cast<std::size_t>(e) + c];
            for (int a = 0; a < 3; ++a) x[c][a] = coords[static_cast<std::size_t>(a) * n + node[c]];
        }
        if (!elementMatrices(x, K, m)) {
            throw std::invalid_argument(
                msg::format("diffusion: element %d is inverted or flat (its Jacobian is not positive)", e));
        }
        for (int a = 0; a < 8; ++a) {
            mass[node[a]] += m[a];
            for (int b = 0; b < 8; ++b) {
                if (node[b] != node[a]) weights[slot(node[a], node[b])] -= K[a][b];
            }
        }
    }
    std::vector<float> weights32(weights.begin(), weights.end());
    if (!ex.order.empty()) {
        const std::size_t N = static_cast<std::size_t>(n);
        order_.allocate(N, "diffusion numbering");
        order_.upload(ex.order);
        std::vector<int> place(N);
        for (int i = 0; i < n; ++i) place[static_cast<std::size_t>(ex.order[static_cast<std::size_t>(i)])] = i;
        place_.allocate(N, "diffusion numbering");
        place_.upload(place);
        fixed_.allocate(N, "diffusion fixed nodes");
        factor_.allocate(N, "diffusion factors of the cure");
        // The tensor product serves the passes only where it is the assembled operator.
        extruded_ = extrusionMatches(ex, rowStart, columns, weights, mass);
    }
    if (extruded_) {
        // The passes take the masses as products, and so does everything else.
        for (int p = 0; p < ex.points; ++p) {
            for (int k = 0; k < ex.layers; ++k)
                mass[static_cast<std::size_t>(p) * ex.layers + k] = ex.pointMass[p] * ex.layerMass[k];
        }
        points_ = ex.points;
        layers_ = ex.layers;
        auto put = [](auto& device, const auto& host, const char* what) {
            device.allocate(host.size(), what);
            device.upload(host);
        };
        put(planeStart_, ex.planeStart, "diffusion plane rows");
        put(planeColumns_, ex.planeColumns, "diffusion plane columns");
        put(planeStiffness_, ex.planeStiffness, "diffusion plane stiffness");
        put(planeMass_, ex.planeMass, "diffusion plane mass");
        put(lineMass_, ex.lineMass, "diffusion line mass");
        put(lineStiffness_, ex.lineStiffness, "diffusion line stiffness");
        put(pointMass_, ex.pointMass, "diffusion plane masses");
        put(layerMass_, ex.layerMass, "diffusion line masses");
        coupled_.allocate(static_cast<std::size_t>(n), "diffusion products of the cure");
        if (kRunSums) {
            runPartial_.allocate(2 * extrudedItems(), "diffusion partial sums");
            hostRunPartial_.assign(2 * extrudedItems(), 0.0);
        }
    }
    ex = HostExtrusion();
    stiffness_ = 0.0;
    for (int i = 0; i < n; ++i) {
        double sum = 0.0;
        for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) sum += weights[k];
        if (mass[i] > 0.0) stiffness_ += sum / mass[i];
    }
    stiffness_ /= n;
    // A node of no element exchanges nothing: with a mass of 1 its row is u_new = u_old.
    for (int i = 0; i < n; ++i) {
        if (incidence[i + 1] == incidence[i]) mass[i] = 1.0;
    }

    const std::size_t N = static_cast<std::size_t>(n);
    rowStart_.allocate(N + 1, "diffusion rows");
    rowStart_.upload(rowStart);
    columns_.allocate(std::max<std::size_t>(columns.size(), 1), "diffusion columns");
    weights_.allocate(std::max<std::size_t>(columns.size(), 1), "diffusion weights");
    if (!columns.empty()) {
        columns_.upload(columns);
        weights_.upload(weights32);
    }
    mass_.allocate(N, "diffusion masses");
    solution_.allocate(N, "diffusion solver vector");
    mass_.upload(mass);
    for (auto* v : {&rowSum_, &gelRowSum_, &diagonal_, &rhs_, &residual_, &preconditioned_, &scratchA_, &scratchB_})
        v->allocate(N, "diffusion solver vector");
    for (auto* v : {&product_, &direction_, &directionProduct_}) v->allocate(N, "diffusion solver vector");
    // The cure's weights of a step are stored where the passes read them (the coarse levels of
    // an extruded mesh take the mesh's with the factors).
    if (extruded_) gelWeights_.release();
    else gelWeights_.allocate(std::max<std::size_t>(columns.size(), 1), "diffusion weights of the cure");
    dev::launchItems(DEV_KERNEL(femRowSumKernel), N, kBlock, dev::kDefaultStream, n, rowStart_.data(), weights_.data(),
                     rowSum_.data());
    const std::size_t parts = (N + kChunk - 1) / kChunk;
    partial_.allocate(2 * parts, "diffusion partial sums");
    hostPartial_.assign(2 * parts, 0.0);
    if (preconditioner == FemPreconditioner::Multigrid) {
        // What the levels do not need goes first: the peak memory of a build is that of the mesh.
        for (auto* v : {&incidence, &elementOf, &fill}) std::vector<int>().swap(*v);
        std::vector<double>().swap(weights);
        std::vector<float>().swap(weights32);
        buildHierarchy(std::move(rowStart), std::move(columns));
    }
    nodes_ = n;
    built_ = true;
}

std::size_t FemDiffusion::extrudedItems() const
{
    const Extrusion op = extrusionView();
    return static_cast<std::size_t>(op.columns) * static_cast<std::size_t>(op.runs);
}

FemDiffusion::Extrusion FemDiffusion::extrusionView() const
{
    Extrusion op;
    op.columns = points_;
    op.layers = layers_;
    // Runs of at most kLayerRun layers, as even as they can be.
    op.runs = (layers_ + kLayerRun - 1) / kLayerRun;
    op.run = op.runs > 0 ? (layers_ + op.runs - 1) / op.runs : 0;
    op.planeStart = planeStart_.data();
    op.planeColumns = planeColumns_.data();
    op.planeStiffness = planeStiffness_.data();
    op.planeMass = planeMass_.data();
    op.lineMass = lineMass_.data();
    op.lineStiffness = lineStiffness_.data();
    op.pointMass = pointMass_.data();
    op.layerMass = layerMass_.data();
    return op;
}

void FemDiffusion::buildHierarchy(std::vector<int> rowStart, std::vector<int> columns)
{
    levels_.emplace_back();
    levels_[0].n = static_cast<int>(rowStart.size()) - 1;
    while (static_cast<int>(levels_.size()) < kMaxLevels && levels_.back().n > kCoarsestNodes) {
        const int n = levels_.back().n;
        std::vector<int> aggregate;
        const int nc = aggregateGraph(rowStart, columns, aggregate);
        if (nc >= n) break; // nothing coupled left to merge
        std::vector<int> memberStart(static_cast<std::size_t>(nc) + 1, 0), members(static_cast<std::size_t>(n));
        for (int a : aggregate) ++memberStart[a + 1];
        for (int c = 0; c < nc; ++c) memberStart[c + 1] += memberStart[c];
        std::vector<int> fill(memberStart.begin(), memberStart.end() - 1);
        for (int i = 0; i < n; ++i) members[fill[aggregate[i]]++] = i;

        // The coarse rows: the aggregates next to each aggregate, sorted.
        std::vector<int> coarseStart(static_cast<std::size_t>(nc) + 1, 0), coarseColumns, row;
        for (int c = 0; c < nc; ++c) {
            row.clear();
            for (int m = memberStart[c]; m < memberStart[c + 1]; ++m) {
                const int i = members[m];
                for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) {
                    if (aggregate[columns[k]] != c) row.push_back(aggregate[columns[k]]);
                }
            }
            std::sort(row.begin(), row.end());
            row.erase(std::unique(row.begin(), row.end()), row.end());
            coarseColumns.insert(coarseColumns.end(), row.begin(), row.end());
            coarseStart[c + 1] = static_cast<int>(coarseColumns.size());
        }
        // Offsets within the coarse row, in 16 bits: an aggregate borders a few dozen others.
        std::vector<std::int16_t> slot(columns.size(), -1);
        for (int i = 0; i < n; ++i) {
            const int c = aggregate[i];
            const auto begin = coarseColumns.begin() + coarseStart[c], end = coarseColumns.begin() + coarseStart[c + 1];
            if (end - begin > INT16_MAX) {
                throw std::runtime_error(msg::format("diffusion: a multigrid aggregate borders %d others (at most %d)",
                                                     static_cast<int>(end - begin), INT16_MAX));
            }
            for (int k = rowStart[i]; k < rowStart[i + 1]; ++k) {
                const int to = aggregate[columns[k]];
                if (to != c) slot[k] = static_cast<std::int16_t>(std::lower_bound(begin, end, to) - begin);
            }
        }

        Level& fine = levels_.back();
        if (levels_.size() == 1) {
            fine.aggregate.allocate(static_cast<std::size_t>(n), "multigrid aggregates");
            fine.aggregate.upload(aggregate);
        }
        fine.coarse.allocate(static_cast<std::size_t>(n), "multigrid aggregates of the step");
        fine.slot.allocate(std::max<std::size_t>(slot.size(), 1), "multigrid coarse entries");
        if (!slot.empty()) fine.slot.upload(slot);

        Level coarse;
        coarse.n = nc;
        const std::size_t count = static_cast<std::size_t>(nc),
                          entries = std::max<std::size_t>(coarseColumns.size(), 1);
        coarse.rowStart.allocate(count + 1, "multigrid rows");
        coarse.rowStart.upload(coarseStart);
        coarse.columns.allocate(entries, "multigrid columns");
        if (!coarseColumns.empty()) coarse.columns.upload(coarseColumns);
        coarse.memberStart.allocate(count + 1, "multigrid members");
        coarse.memberStart.upload(memberStart);
        coarse.members.allocate(static_cast<std::size_t>(n), "multigrid members");
        coarse.members.upload(members);
        coarse.values.allocate(entries, "multigrid operator");
        coarse.diagonal.allocate(count, "multigrid operator");
        for (auto* v : {&coarse.r, &coarse.t}) v->allocate(count, "multigrid vector");
        levels_.push_back(std::move(coarse));
        rowStart = std::move(coarseStart);
        columns = std::move(coarseColumns);
    }
    for (Level& level : levels_) level.smoother.allocate(static_cast<std::size_t>(level.n), "multigrid smoother");
    for (std::size_t l = 1; l < levels_.size(); ++l) levels_[l].x.allocate(levels_[l].r.size(), "multigrid vector");
    if (levels_.size() < 2) levels_.clear(); // a mesh without coupled nodes: the diagonal is exact
}

void FemDiffusion::formCoarseLevels(const float* w, const double* factor, const double* rowSum, double Ddt,
                                    const int* fixed, bool operators)
{
    Level& fine = levels_[0];
    Level& first = levels_[1];
    dev::launchItems(DEV_KERNEL(mgFineRoleKernel), static_cast<std::size_t>(fine.n), kBlock, dev::kDefaultStream,
                     fine.n, fine.aggregate.data(), rowSum, fixed, fine.coarse.data());
    if (!operators) return;
    dev::launchItems(DEV_KERNEL(mgFineGalerkinKernel), static_cast<std::size_t>(first.n), kBlock, dev::kDefaultStream,
                     first.n, first.memberStart.data(), first.members.data(), rowStart_.data(), columns_.data(), w,
                     factor, rowSum, mass_.data(), Ddt, fine.slot.data(), fine.coarse.data(), fine.smoother.data(),
                     first.rowStart.data(), first.values.data(), first.diagonal.data(), first.smoother.data());
    for (std::size_t l = 1; l + 1 < levels_.size(); ++l) {
        Level& from = levels_[l];
        Level& to = levels_[l + 1];
        dev::launchItems(DEV_KERNEL(mgCoarseGalerkinKernel), static_cast<std::size_t>(to.n), kBlock,
                         dev::kDefaultStream, to.n, to.memberStart.data(), to.members.data(), from.rowStart.data(),
                         from.columns.data(), from.values.data(), from.diagonal.data(), from.smoother.data(),
                         from.slot.data(), from.coarse.data(), to.rowStart.data(), to.values.data(), to.diagonal.data(),
                         to.smoother.data());
    }
}

bool FemDiffusion::LevelsOrigin::sameAs(const LevelsOrigin& o) const
{
    return history >= 0 && history == o.history && Ddt == o.Ddt && mask == o.mask && coupled == o.coupled;
}

void FemDiffusion::keepLevels(const LevelsOrigin& origin, int iterations)
{
    if (origin.history < 0) return;
    const bool formed = !origin.sameAs(levelsOrigin_);
    if (formed) levelsOrigin_ = origin;
    if (formed || iterations < levelsOrigin_.fewest) levelsOrigin_.fewest = iterations;
    // Levels that have fallen behind the cure are formed again by the next step.
    if (iterations > levelsOrigin_.fewest + kLevelsSlack) levelsOrigin_ = LevelsOrigin();
}

void FemDiffusion::vcycle(int l, const double* r, double* out)
{
    Level& level = levels_[static_cast<std::size_t>(l)];
    const std::size_t items = static_cast<std::size_t>(level.n);
    const bool last = static_cast<std::size_t>(l) + 1 == levels_.size();
    Level* coarse = last ? nullptr : &levels_[static_cast<std::size_t>(l) + 1];
    auto restrictTo = [&](const double* t) {
        dev::launchItems(DEV_KERNEL(mgRestrictKernel), static_cast<std::size_t>(coarse->n), kBlock, dev::kDefaultStream,
                         coarse->n, coarse->memberStart.data(), coarse->members.data(), level.coarse.data(), t,
                         coarse->r.data());
        vcycle(l + 1, coarse->r.data(), coarse->t.data());
    };
    auto prolongTo = [&](double* x) {
        dev::launchItems(DEV_KERNEL(mgProlongKernel), items, kBlock, dev::kDefaultStream, level.n, level.coarse.data(),
                         coarse->t.data(), x);
    };
    if (l == 0) { // out = smoothing + P B_1 P^T r
        restrictTo(r);
        dev::launchRuns(DEV_KERNEL(mgFineCombineKernel), level.n, dev::kDefaultStream, level.n, r,
                        level.smoother.data(), kFineWeight, level.coarse.data(), coarse->t.data(), out);
        return;
    }
    auto sweep = [&](bool post, double* to) {
        dev::launchItems(DEV_KERNEL(mgCoarseSweepKernel), items, kBlock, dev::kDefaultStream, level.n,
                         level.rowStart.data(), level.columns.data(), level.values.data(), level.diagonal.data(),
                         level.smoother.data(), r, level.x.data(), post, kCoarseWeight, to);
    };
    dev::launchItems(DEV_KERNEL(mgSmoothStartKernel), items, kBlock, dev::kDefaultStream, level.n, r,
                     level.smoother.data(), kCoarseWeight, level.x.data());
    if (!last) {
        sweep(false, level.t.data());
        restrictTo(level.t.data());
        prolongTo(level.x.data());
    }
    sweep(true, out);
}

void FemDiffusion::precondition()
{
    if (!useLevels_) return; // u = r / diagonal, as the solver's kernels left it
    vcycle(0, residual_.data(), preconditioned_.data());
}

namespace {
// The sums, in order, of partial[0, parts) and (with both) of partial[parts, 2 parts).
std::pair<double, double> sumInOrder(const std::vector<double>& partial, std::size_t parts, bool both)
{
    double sa = 0.0, sb = 0.0;
    for (std::size_t t = 0; t < parts; ++t) sa += partial[t];
    if (both) {
        for (std::size_t t = 0; t < parts; ++t) sb += partial[parts + t];
    }
    return {sa, sb};
}
} // namespace

std::pair<double, double> FemDiffusion::reduce(const double* a, const double* b)
{
    const int parts = static_cast<int>(hostPartial_.size() / 2);
    dev::launchItems(DEV_KERNEL(femChunkSumKernel), static_cast<std::size_t>(parts), kBlock, dev::kDefaultStream, a, b,
                     nodes_, kChunk, partial_.data(), parts);
    partial_.download(hostPartial_.data(), b ? hostPartial_.size() : static_cast<std::size_t>(parts));
    return sumInOrder(hostPartial_, static_cast<std::size_t>(parts), b != nullptr);
}

int FemDiffusion::step(double* out, const double* in, double D, double dt, const double* gel, bool useGel,
                       double gelPoint, const int* mask, bool applyMask, double value, int history)
{
    if (!built_) throw std::runtime_error("diffusion: the mesh's stiffness has not been built");
    if (history < -1 || history >= kHistories) {
        throw std::invalid_argument(
            msg::format("diffusion: history %d is not one of -1 .. %d", history, kHistories - 1));
    }
    const int n = nodes_;
    if (n == 0) return 0;
    const std::size_t items = static_cast<std::size_t>(n);
    const double Ddt = D > 0.0 && dt > 0.0 ? D * dt : 0.0;
    const int* rows = rowStart_.data();
    const int* cols = columns_.data();
    const float* w = weights_.data();
    const double* rowSum = rowSum_.data();
    // The solver's own numbering: the field, fixed nodes and factors taken into it.
    const int* order = order_.empty() ? nullptr : order_.data();
    // The solver works in its own vector, so a step that fails leaves out as it was.
    double* x = solution_.data();
    const int* fixed = applyMask ? mask : nullptr;
    if (order) {
        dev::launchRuns(DEV_KERNEL(femGatherKernel<double>), n, dev::kDefaultStream, n, order, in, x);
        in = x;
        if (fixed) {
            dev::launchRuns(DEV_KERNEL(femGatherKernel<int>), n, dev::kDefaultStream, n, order, fixed, fixed_.data());
            fixed = fixed_.data();
        }
    }
    const bool coupled = useGel && gel != nullptr && Ddt > 0.0;
    useLevels_ = !levels_.empty() && Ddt > 0.0 && Ddt * stiffness_ >= multigridFrom_;
    const LevelsOrigin origin{history, Ddt, applyMask ? mask : nullptr, coupled};
    const bool reuseLevels = useLevels_ && history >= 0 && origin.sameAs(levelsOrigin_);
    if (useLevels_ && !reuseLevels) levelsOrigin_ = LevelsOrigin(); // until formed and used
    const Extrusion op = extruded_ ? extrusionView() : Extrusion();
    ExtrudedArgs args{};
    args.withCure = coupled;
    args.Ddt = Ddt;
    args.mask = fixed;
    args.rhs = rhs_.data();
    args.diagonal = diagonal_.data();
    auto extrudedPass = [&](ExtrudedPass pass, const double* from, double* out0, double* out1, double* out2) {
        args.pass = pass;
        args.in = from;
        args.out0 = out0;
        args.out1 = out1;
        args.out2 = out2;
        dev::launchItems(DEV_KERNEL(femExtrudedKernel), extrudedItems(), kRunsBlock, dev::kDefaultStream, op, args);
    };
    const double* levelFactor = nullptr; // the factors the coarse levels' weights take, when not w's own
    if (coupled) {
        double* factor = order ? factor_.data() : scratchA_.data(); // the setup below fills the scratch afresh
        dev::launchRuns(DEV_KERNEL(femGelFactorKernel), n, dev::kDefaultStream, n, order, gel, gelPoint, factor);
        if (extruded_) {
            args.factor = factor;
            args.coupled = coupled_.data();
            extrudedPass(ExtrudedPass::Factors, nullptr, coupled_.data(), gelRowSum_.data(), nullptr);
        }
        // The passes of an extruded mesh read no weights, and coarse levels formed anew take the
        // mesh's with the factors.
        if (extruded_) {
            levelFactor = factor;
        } else {
            dev::launchItems(DEV_KERNEL(femGelWeightsKernel), items, kBlock, dev::kDefaultStream, n, rows, cols, w,
                             factor, gelWeights_.data(), gelRowSum_.data());
            w = gelWeights_.data();
        }
        rowSum = gelRowSum_.data();
    }
    double *r = residual_.data(), *u = preconditioned_.data(), *ru = scratchA_.data(), *wu = scratchB_.data();
    // w = A u, the search direction and its product in float (see femUpdateKernel).
    float *Au = product_.data(), *p = direction_.data(), *s = directionProduct_.data();
    args.product = Au;
    const double* diagonal = diagonal_.data();
    auto finish = [&](const double* field) {
        if (order) {
            // Back to the mesh's numbering, read in the solver's: the writes stream.
            dev::launchRuns(DEV_KERNEL(femGatherKernel<double>), n, dev::kDefaultStream, n, place_.data(), field, out);
        } else if (field != out) {
            dev::copy(out, field, items * sizeof(double), dev::CopyKind::DeviceToDevice);
        }
    };
    double* change = nullptr;
    if (history >= 0 && Ddt > 0.0) {
        dev::DeviceArray<double>& h = history_[history];
        if (h.size() != items) {
            h.allocate(items, "diffusion history");
            h.zero();
        }
        change = h.data();
    }
    dev::launchRuns(DEV_KERNEL(femSetupKernel), n, dev::kDefaultStream, n, rowSum, mass_.data(), Ddt, fixed, value, in,
                    change, x, rhs_.data(), diagonal_.data(), ru, wu);
    if (Ddt == 0.0) { // x holds the input (and the boundary values)
        finish(x);
        return 0;
    }
    if (useLevels_) formCoarseLevels(w, levelFactor, rowSum, Ddt, fixed, !reuseLevels);
    // A system that is not positive definite has no solution the conjugate gradients can be
    // trusted to find, nor one that diffusion would give: it is refused, not solved.
    auto indefinite = [&]() {
        levelsOrigin_ = LevelsOrigin();
        throw std::runtime_error(msg::format(
            "diffusion: the implicit step's system is not positive definite (D = %g, dt = %g), as where the cure's "
            "coefficient jumps across elements much flatter in one direction than in the others; a shorter step, "
            "more nearly cubic elements or the kernel scheme avoid it",
            D, dt));
    };
    const auto [size, notPositive] = reduce(ru, wu);
    if (notPositive > 0.0) indefinite();
    if (!(size > 0.0) && change) {
        // The free nodes hold nothing, so the last change says nothing about this step's
        // solution: start from the field itself (and the boundary values).
        dev::launchRuns(DEV_KERNEL(femRestartKernel), items, dev::kDefaultStream, n, fixed, rhs_.data(), mass_.data(),
                        x);
    }
    // w = A u and the inner products r u and w u.
    auto apply = [&]() -> std::pair<double, double> {
        if (extruded_) {
            args.r = r;
            args.partial = kRunSums ? runPartial_.data() : nullptr;
            extrudedPass(ExtrudedPass::Apply, u, nullptr, ru, wu);
            args.partial = nullptr;
            if (!kRunSums) return reduce(ru, wu);
            runPartial_.download(hostRunPartial_.data(), hostRunPartial_.size());
            return sumInOrder(hostRunPartial_, hostRunPartial_.size() / 2, true);
        }
        dev::launchItems(DEV_KERNEL(femApplyKernel), items, kBlock, dev::kDefaultStream, n, rows, cols, w, mass_.data(),
                         Ddt, fixed, r, u, Au, ru, wu);
        return reduce(ru, wu);
    };
    if (extruded_) {
        extrudedPass(ExtrudedPass::Residual, x, r, u, nullptr);
    } else {
        dev::launchItems(DEV_KERNEL(femResidualKernel), items, kBlock, dev::kDefaultStream, n, rows, cols, w,
                         mass_.data(), Ddt, fixed, x, rhs_.data(), diagonal, r, u);
    }
    precondition();
    auto [gamma, delta] = apply();
    // Relative to the field, or to what the boundary drives into an empty one.
    const double target = kTolerance * kTolerance * std::max(size, gamma);
    double alpha = gamma / delta, beta = 0.0;
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        // r B r is not negative with a positive definite system, but for rounding once converged.
        if (gamma < -target) indefinite();
        if (!(gamma > target)) {
            if (!std::isfinite(gamma)) break;
            double* field = wu; // free once the iterations are done
            if (extruded_) {
                extrudedPass(ExtrudedPass::Conservative, x, field, change, nullptr);
            } else {
                dev::launchItems(DEV_KERNEL(femConservativeKernel), items, kBlock, dev::kDefaultStream, n, rows, cols,
                                 w, mass_.data(), Ddt, fixed, rhs_.data(), x, field, change);
            }
            finish(field);
            if (useLevels_) keepLevels(reuseLevels ? levelsOrigin_ : origin, iteration);
            return iteration;
        }
        if (!(alpha > 0.0) || !std::isfinite(alpha)) {
            if (alpha <= 0.0 && gamma > 0.0) indefinite(); // a direction of no positive curvature
            break;
        }
        dev::launchRuns(DEV_KERNEL(femUpdateKernel), n, dev::kDefaultStream, n, iteration == 0, alpha, beta, Au,
                        useLevels_ ? nullptr : diagonal, p, s, x, r, u);
        precondition();
        const auto [nextGamma, nextDelta] = apply();
        beta = nextGamma / gamma;
        alpha = nextGamma / (nextDelta - beta * nextGamma / alpha);
        gamma = nextGamma;
    }
    levelsOrigin_ = LevelsOrigin();
    throw std::runtime_error(msg::format(
        "diffusion: the implicit step did not converge (D = %g, dt = %g); a field holds a value that is not a "
        "number, or the mesh has elements too distorted for the finite-element scheme",
        D, dt));
}
