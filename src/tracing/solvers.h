// Path integration through a graded-index element. The state is advanced in the parameter
// sigma with dx/dsigma = p (p = n t, the optical direction vector), so
//   dxi/dsigma = J^-T p,  dp/dsigma = n grad n,  ds/dsigma = |p|,  dE/dsigma = -alpha n E,
// and the power absorbed per unit nodal volume at node k grows at N_k alpha n E / m_k.
// Energy never goes negative: every rate is capped so a step cannot take more power than
// the ray has, and the final energy is clamped at 0.
#pragma once

#include <cmath>

#include "common/vec3.h"
#include "device/device.h"
#include "rays/state_vector.h"

// The base: derivative and the energy caps. Its own integrate does nothing.
template <typename E>
struct Solver {
    // Rates of every state component at s; n and alpha are the element's nodal refractive
    // index and absorptivity in node order.
    __host__ __device__ StateVector derivative(const StateVector& s, E* element, const float* n,
                                               const float* alpha) const
    {
        StateVector k;
        const Vec3 xi = s.pos, p = s.dir;
        k.pos = element->localVelocity(xi, p);
        const Vec3 g = element->interpolateGradient(xi, n);
        const float nXi = static_cast<float>(element->interpolate(xi, n));
        k.dir = Vec3(nXi * g.x, nXi * g.y, nXi * g.z);
        k.pathLength = sqrtf(p.x * p.x + p.y * p.y + p.z * p.z);
        const float alphaXi = static_cast<float>(element->interpolate(xi, alpha));
        const float q = (alphaXi * nXi) * s.energy;
        k.energy = -q;
        for (int i = 0; i < 8; ++i) k.absorbed[i] = (element->shapeValues[i] * q) / element->nodalMass[i];
        return k;
    }

    __host__ __device__ StateVector derivative(const StateVector* s, E* element, const float* n,
                                               const float* alpha) const
    {
        return derivative(*s, element, n, alpha);
    }

    __host__ __device__ void integrate(StateVector*, E*, const float*, const float*, float) const {}

    // Scales the energy rate and the absorbed rates so that a step h ends at energy >= 0.
    // A ray with no power left and no loss (0/0) deposits nothing.
    __host__ __device__ static void capEnergyRate(StateVector* rate, const StateVector* s, float h)
    {
        const float drain = rate->energy * h;
        if (s->energy > -drain) return;
        float f = drain != 0.0f ? -s->energy / drain : 0.0f;
        if (!(f == f)) f = 0.0f; // NaN: deposit nothing
        rate->energy *= f;
        for (float& a : rate->absorbed) a *= f;
    }

    // Clamps the energy at 0 (also a NaN energy).
    __host__ __device__ static void capEnergy(StateVector* s)
    {
        if (!(s->energy > 0.0f)) s->energy = 0.0f;
    }

    // One Euler step in an element of constant index and absorptivity (no energy cap). The
    // deposits are weighted with the shape values of the point the step starts from.
    __host__ __device__ void integrateConst(StateVector* s, E* element, float nConst, float alphaConst, float h) const
    {
        const Vec3 start = s->pos;
        const Vec3 v = element->localVelocity(start, s->dir);
        const float d = length(s->dir);
        const float q = (nConst * alphaConst) * s->energy;
        element->evalShapeValues(start);
        s->pos = s->pos + v * h;
        s->pathLength += d * h;
        s->energy -= q * h;
        for (int i = 0; i < 8; ++i) s->absorbed[i] += (element->shapeValues[i] * q / element->nodalMass[i]) * h;
    }
};

template <typename E>
struct ForwardEuler : Solver<E> {
    __host__ __device__ void integrate(StateVector* s, E* element, const float* n, const float* alpha, float h) const
    {
        StateVector k = this->derivative(*s, element, n, alpha);
        Solver<E>::capEnergyRate(&k, s, h);
        *s = *s + k * h;
        Solver<E>::capEnergy(s);
    }
};

template <typename E>
struct RungeKutta4 : Solver<E> {
    __host__ __device__ void integrate(StateVector* s, E* element, const float* n, const float* alpha, float h) const
    {
        constexpr float sixth = 0.16666667f;
        const float h6 = h * sixth;
        // Each stage is capped at its weight in the final combination.
        StateVector k1 = this->derivative(*s, element, n, alpha);
        Solver<E>::capEnergyRate(&k1, s, h6);
        StateVector k2 = this->derivative(*s + (0.5f * h) * k1, element, n, alpha);
        Solver<E>::capEnergyRate(&k2, s, h6 + h6);
        StateVector k3 = this->derivative(*s + (0.5f * h) * k2, element, n, alpha);
        Solver<E>::capEnergyRate(&k3, s, h6 + h6);
        StateVector k4 = this->derivative(*s + h * k3, element, n, alpha);
        Solver<E>::capEnergyRate(&k4, s, h6);
        StateVector k = (k1 + 2.0f * k2 + 2.0f * k3 + k4) * sixth;
        Solver<E>::capEnergyRate(&k, s, h);
        *s = *s + h * k;
        Solver<E>::capEnergy(s);
    }
};
