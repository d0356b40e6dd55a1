// The weights of the curing model's Gaussian average over neighbouring nodes, shared by
// its kernels and by the tests' all-nodes reference.
#pragma once

#include <cmath>

#include "device/device.h"

// ln 1000: a neighbour whose relative weight exp(-r^2 / (4 D dt)) is below 0.001 is cut off.
constexpr double kLn1000 = 6.907755278982137;

// Whether a neighbour at squared distance d2 (in float) may lie within the cut-off: a test
// that spares the exponential for far neighbours, with a margin that keeps it from
// dropping one the exact test in relativeWeight keeps.
__host__ __device__ inline bool withinCutoff(float d2, double c)
{
    return static_cast<double>(d2) * c <= kLn1000 * (1.0 + 1e-5);
}

// One neighbour's share of a Gaussian average: its weight exp(-r^2 / (4 D dt)) relative to
// the peak, from the squared distance d2 taken in float. The common factor
// 1 / (4 pi D dt)^1.5 cancels in the normalised average and is left out, so tiny D dt
// cannot overflow it. 0 for a neighbour past the cut-off (relative weight below 0.001).
__host__ __device__ inline double relativeWeight(float d2, double c)
{
    if (!withinCutoff(d2, c)) return 0.0;
    const double w = exp(-c * static_cast<double>(d2));
    return w < 0.001 ? 0.0 : w;
}

__host__ __device__ inline float squaredDistance(float ax, float ay, float az, float bx, float by, float bz)
{
    const float dx = ax - bx, dy = ay - by, dz = az - bz;
    return dx * dx + dy * dy + dz * dz;
}

// A value that is not a number gives no weight to its neighbours' averages (one NaN would
// otherwise spread over the whole part, a cut-off radius per step); a node holding one
// keeps it, so the fault stays in sight where it arose. Every number weighs, zero
// included: an empty region next to a filled one takes the weighted share of the filled
// one's value, not all of it.
__host__ __device__ inline bool isNumber(double v) { return v == v; }
