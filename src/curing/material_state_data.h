// The resin state at the mesh nodes, as kernels see it, and the two rate laws of one node.
// Per-node arrays are indexed like the optics mesh's nodes.
#pragma once

#include <cmath>

#include "common/host_device.h"

struct MaterialStateVec {
    double monomer;
    double radical;
    double oxygen;
    double degreeOfCuring;
};

struct MaterialStateDataFlat {
    int nNodes;
    double* monomer;
    double* radical;
    double* radicalSource; // what the radical diffusion reads: a copy of the absorbed power
    double* oxygen;
    double* oxygenSource; // oxygen before the diffusion of this step
    double* degreeOfCuring;
    double kpropagation;
    double koxygen;
    double cMonomer0;
    double dtReact; // half of dtDiff: the step is split around the diffusion
    double dtDiff;
    double n0;
    double n1;
    double alpha0;
    double alpha1;
    double diffusionOxygen;
    double diffusionRadical;
    int diffusionBc;
    int diffusionBcRadical;
    int diffusionBcOxygen;
    double dirichletRadical;
    double dirichletOxygen;
    double oxygenGelPoint;
};

// x in [0, 1]; NaN becomes 0, so a clamped value is always a number.
__host__ __device__ inline double clampUnit(double x) { return x > 0.0 ? (x < 1.0 ? x : 1.0) : 0.0; }

// Conversion follows the monomer used, relative to the initial monomer; a resin that
// started without monomer has nothing to convert (rather than 0 / 0).
__host__ __device__ inline double conversionRate(const MaterialStateDataFlat* s, double rp)
{
    return s->cMonomer0 > 0.0 ? rp / s->cMonomer0 : 0.0;
}

// Rates of the model: light drives propagation through sqrt(dU), oxygen inhibits it.
// Oxygen is a fraction of saturation; a value outside [0, 1] (an initial value above
// saturation, say) enters the rate law clamped, so the square roots stay defined.
__host__ __device__ inline MaterialStateVec derivativeSqrt(const MaterialStateDataFlat* s, MaterialStateVec u,
                                                           double dU)
{
    const double o = clampUnit(u.oxygen);
    const double rp = u.monomer * s->kpropagation * sqrt((1.0 - o) * dU);
    const double ro = o * s->koxygen * sqrt(o * dU);
    return {-rp, 0.0, -ro, conversionRate(s, rp)};
}

// A full radical balance (initiation from the absorbed power, consumption by propagation
// and by oxygen); kept beside the model's law for comparison, the step kernels do not use
// it.
__host__ __device__ inline MaterialStateVec derivative(const MaterialStateDataFlat* s, MaterialStateVec u, double dU)
{
    const double g = dU / 327970.9079090491;
    const double rp = s->kpropagation * u.radical * u.monomer;
    const double ro = s->koxygen * u.radical * u.oxygen;
    return {-rp, 2.0 * (1.38 * g) - rp - ro, -ro, conversionRate(s, rp)};
}
