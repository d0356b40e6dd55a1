// Path integration through a graded-index element. The state is advanced in the parameter
// sigma with dx/dsigma = p (p = n t, the optical direction vector), so
//   dxi/dsigma = J^-T p,  dp/dsigma = n grad n,  ds/dsigma = |p|,  dE/dsigma = -alpha n E.
// The solvers step position, direction and path length. The power is not one of their
// stages: each step's optical depth is integrated along the step's chord and the power
// falls by exactly exp(-depth), so it can neither go negative nor grow, whatever the step
// (Beer-Lambert is exact in a uniform absorber for both solvers). The drop is shared onto
// the nodes by where along the chord it was absorbed (absorbAlongStep).
#pragma once

#include <cmath>

#include "common/vec3.h"
#include "device/device.h"
#include "rays/state_vector.h"
#include "tracing/hex8_element.h"

// How an element visit chooses its steps (the walk's step rule).
//  Aimed: each step is sized to land just past the face the ray is heading for, limited by
//    the solver's bending and absorption limits; a uniform-index affine element is crossed
//    in one exact straight step.
//  Stepped: the same without the exact straight crossing (for comparison).
//  Fine: Stepped with limits 16 times tighter: a reference for accuracy measurements.
enum class StepRule : int { Aimed = 0, Stepped = 1, Fine = 2 };

// Moments of the share of a step's absorbed power along the chord, t in [0, 1], for a
// uniform absorption rate: density tau exp(-tau t) / (1 - exp(-tau)). Returns
// M1..M3 (M0 = 1) and the share of the power absorbed, 1 - exp(-tau). A power series below
// tau = 1 (the recurrence loses digits there; its first sum is that share over tau, so no
// exponential is needed), the recurrence M_m = (m M_{m-1} - tau / expm1(tau)) / tau above.
__host__ __device__ inline float absorptionMoments(float tau, float M[3])
{
    if (tau < 1.0f) {
        // S_m = sum_j (-tau)^j / (j! (m + j + 1)); M_m = S_m / S_0. The terms fall at least
        // as fast as tau^j / j!, so the sum stops once they are below float resolution.
        // Reciprocals from a table: divisions by the loop's counters would cost more than the
        // rest of the sum.
        constexpr float kInverse[16] = {0.0f,         1.0f,         1.0f / 2.0f,  1.0f / 3.0f,
                                        1.0f / 4.0f,  1.0f / 5.0f,  1.0f / 6.0f,  1.0f / 7.0f,
                                        1.0f / 8.0f,  1.0f / 9.0f,  1.0f / 10.0f, 1.0f / 11.0f,
                                        1.0f / 12.0f, 1.0f / 13.0f, 1.0f / 14.0f, 1.0f / 15.0f};
        float S[4] = {1.0f, 0.5f, 1.0f / 3.0f, 0.25f};
        float power = 1.0f;
        for (int j = 1; j < 12; ++j) {
            power *= -tau * kInverse[j];
            if (fabsf(power) < 1e-9f) break;
            for (int m = 0; m < 4; ++m) S[m] += power * kInverse[m + j + 1];
        }
        for (int m = 0; m < 3; ++m) M[m] = S[m + 1] / S[0];
        return tau * S[0];
    }
    const float grown = tau < 80.0f ? expm1f(tau) : floatInfinity(); // exp(tau) - 1
    const float tail = tau < 80.0f ? tau / grown : 0.0f;
    float previous = 1.0f;
    for (int m = 1; m <= 3; ++m) {
        previous = (static_cast<float>(m) * previous - tail) / tau;
        M[m - 1] = previous;
    }
    return tau < 80.0f ? grown / (1.0f + grown) : 1.0f;
}

// Moves the power the ray lost over one step into its nodal deposits (power per node; the
// visit divides by the nodal volumes once at its end): the optical depth is
// Simpson's rule of alpha n along the chord from `from` to the state's position (exact for a
// trilinear absorptivity in a uniform index on an affine element, where alpha is cubic
// along the chord), the power falls by exp(-depth), and the drop is shared onto the nodes
// by the two-point Gauss rule for the exponential absorption density along the chord,
// which is exact for the trilinear shape functions (cubic along the chord) in a uniform
// absorber; where the rate varies along the step, the two weights are corrected by the
// true density at their nodes.
//
// The step's path is taken as the parabola from `from` with the step's starting move
// `start` (h times the local velocity at `from`) to the state's position: a straight chord
// where the path is straight, and within the curvature's third-order term where it bends,
// so a long Runge-Kutta step shares its deposits where the ray actually went.
__host__ __device__ inline LUMETRA_GPU_OUT_OF_LINE void absorbAlongStep(StateVector* s, const ElementFit& element,
                                                                        Vec3 from, Vec3 start, float h)
{
    if (element.absorptivityMax <= 0.0f || !(s->energy > 0.0f)) return;
    const Vec3 to = s->pos;
    const Vec3 bow = to - from - start;
    auto along = [&](float t) { return from + (start + bow * t) * t; };
    float tau, a0 = 0.0f, am = 0.0f, a1 = 0.0f;
    const bool uniform = element.uniformAbsorptivity && element.uniformIndex;
    if (uniform) {
        tau = element.absorptivity.c[0] * element.index.c[0] * h;
    } else {
        // alpha n; a uniform absorptivity (the usual resin, in a graded index) is not evaluated.
        auto rate = [&](Vec3 q) {
            const float n = element.index.at(q);
            return (element.uniformAbsorptivity ? element.absorptivity.c[0] : element.absorptivity.at(q)) * n;
        };
        a0 = rate(from);
        am = rate(along(0.5f));
        a1 = rate(to);
        tau = maxf(h * (a0 + 4.0f * am + a1) * (1.0f / 6.0f), 0.0f);
    }
    if (!(tau > 0.0f)) return;
    float M[3];
    const float drop = s->energy * absorptionMoments(tau, M);
    if (!(drop > 0.0f)) return;
    s->energy -= drop;
    if (!(s->energy > 0.0f)) s->energy = 0.0f;

    // Gauss nodes for the weight exp(-tau t) on [0, 1]: roots of t^2 + a t + b, orthogonal
    // to 1 and t under that weight.
    const float variance = maxf(M[1] - M[0] * M[0], 1e-30f);
    const float a = (M[0] * M[1] - M[2]) / variance;
    const float b = -(M[1] + a * M[0]);
    const float root = sqrtf(maxf(0.25f * a * a - b, 0.0f));
    float t1 = minf(maxf(-0.5f * a - root, 0.0f), 1.0f), t2 = minf(maxf(-0.5f * a + root, 0.0f), 1.0f);
    float w1 = t2 != t1 ? minf(maxf((t2 - M[0]) / (t2 - t1), 0.0f), 1.0f) : 0.5f;
    if (tau > 1e4f) { // all of it within 1e-4 of the chord's start: one node at the mean
        t1 = t2 = M[0];
        w1 = 1.0f;
    }
    if (!uniform && tau > 0.0f) {
        // Where the rate varies along the step (quadratic through a0, am, a1), each node's
        // weight is corrected by the ratio of the true absorption density to the uniform
        // one: rate(t) / mean rate times exp(uniform depth - true depth) up to t. The mean
        // rate cancels in the normalised weights. The depths differ by a small fraction of
        // the step's depth, where four terms of the exponential's series are exact in float.
        const float B = -3.0f * a0 + 4.0f * am - a1, C = 2.0f * (a0 - 2.0f * am + a1);
        auto ratio = [&](float t) {
            const float depth = h * t * (a0 + t * (0.5f * B + t * (C / 3.0f)));
            const float x = minf(tau * t - depth, 80.0f);
            const float grows =
                fabsf(x) < 1e-2f ? 1.0f + x * (1.0f + x * (0.5f + x * (1.0f / 6.0f + x * (1.0f / 24.0f)))) : expf(x);
            return maxf(a0 + t * (B + t * C), 0.0f) * grows;
        };
        const float r1 = w1 * ratio(t1), r2 = (1.0f - w1) * ratio(t2);
        if (r1 + r2 > 0.0f) w1 = r1 / (r1 + r2);
    }
    float N1[8], N2[8];
    ElementFit::shapeAt(along(t1), N1);
    ElementFit::shapeAt(along(t2), N2);
    for (int k = 0; k < 8; ++k) s->absorbed[k] += drop * (w1 * N1[k] + (1.0f - w1) * N2[k]);
}

// Euler is exact on straight paths (uniform index, affine element), so it needs small steps
// only where the ray bends or the element is curved: the bend per step is held to 1e-3 rad,
// which keeps its first-order path error where the fixed 0.1 step held it on unit elements.
//
// kBendPerStep: the largest change of direction per step, |grad n| h (radians), in a graded
// element; kCurvedStep: the largest move per step in local coordinates in a curved
// (non-affine) element.
template <StepRule R = StepRule::Aimed>
struct ForwardEuler {
    static constexpr float kBendPerStep = 1e-3f;
    static constexpr float kCurvedStep = 0.25f;
    template <StepRule R2>
    using WithRule = ForwardEuler<R2>;
    static constexpr StepRule rule = R;

    __host__ __device__ void advance(StateVector* s, const ElementFit&, const RayRate& k1, float h) const
    {
        s->pathLength += h * length(s->dir);
        s->pos = s->pos + k1.velocity * h;
        s->dir = s->dir + k1.bend * h;
    }
};

// Classical fourth-order Runge-Kutta on position and direction; the path length is the same
// combination of |p| at the stages.
//
// The walk sizes its steps by the error estimate of the embedded third-order solution with
// weights (1/6, 1/3, 1/3, 0, 1/6) on k1..k4 and k5, the rate at the new point (the next
// step's k1, so the estimate costs no extra stage on steps that stay in the element): the
// two solutions differ by h/6 (k4 - k5). The error is measured in local coordinates for the
// position and relative to |p| for the direction, so the steps do not depend on the mesh
// unit. The estimate is that of the third-order solution; the fourth-order one is kept.
template <StepRule R = StepRule::Aimed>
struct RungeKutta4 {
    static constexpr float kBendPerStep = 0.02f; // the Fine rule's bend limit (over 16)
    static constexpr float kCurvedStep = 1.0f;
    // Largest estimated error per step, in local units and in radians of direction.
    static constexpr float kTolerance = 1e-5f;
    template <StepRule R2>
    using WithRule = RungeKutta4<R2>;
    static constexpr StepRule rule = R;

    __host__ __device__ void advance(StateVector* s, const ElementFit& element, const RayRate& k1, float h) const
    {
        step(s, element, k1, h);
    }

    // The step of advance; the rate at the new point goes to `end`. Returns the step's
    // estimated error over kTolerance (the step is good at 1 or below).
    __host__ __device__ float advanceEstimating(StateVector* s, const ElementFit& element, const RayRate& k1, float h,
                                                RayRate* end) const
    {
        const RayRate k4 = step(s, element, k1, h);
        *end = element.rate(s->pos, s->dir);
        const float h6 = h * (1.0f / 6.0f);
        const float position = length(k4.velocity - end->velocity) * h6;
        const float direction = length(k4.bend - end->bend) * h6 / maxf(length(s->dir), 1e-30f);
        return maxf(position, direction) * (1.0f / kTolerance);
    }

private:
    // One classical step; returns k4.
    __host__ __device__ RayRate step(StateVector* s, const ElementFit& element, const RayRate& k1, float h) const
    {
        const float half = 0.5f * h;
        const Vec3 q = s->pos, p = s->dir;
        const Vec3 p2 = p + k1.bend * half;
        const RayRate k2 = element.rate(q + k1.velocity * half, p2);
        const Vec3 p3 = p + k2.bend * half;
        const RayRate k3 = element.rate(q + k2.velocity * half, p3);
        const Vec3 p4 = p + k3.bend * h;
        const RayRate k4 = element.rate(q + k3.velocity * h, p4);
        const float h6 = h * (1.0f / 6.0f);
        s->pathLength += h6 * (length(p) + 2.0f * length(p2) + 2.0f * length(p3) + length(p4));
        s->pos = q + (k1.velocity + 2.0f * k2.velocity + 2.0f * k3.velocity + k4.velocity) * h6;
        s->dir = p + (k1.bend + 2.0f * k2.bend + 2.0f * k3.bend + k4.bend) * h6;
        return k4;
    }
};
