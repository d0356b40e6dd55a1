// The element visit's step rule as it was before the exit-aimed steps: every visit starts
// at a fixed step (or one sized from the element's diagonal) and halves it on overshoot,
// and the solvers carry the eight nodal deposits through every stage. Kept only so the
// benchmark can time both rules in one run (LUMETRA_STEP_RULE=legacy); it goes once the
// figures are recorded.
#pragma once

#include <cmath>

#include "common/vec3.h"
#include "device/device.h"
#include "mesh/hex8_geometry.h"
#include "rays/state_vector.h"
#include "tracing/hex8_element.h"

// The base: derivative and the energy caps. Its own integrate does nothing.
template <typename E>
struct LegacySolver {
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
};

template <typename E>
struct LegacyEuler : LegacySolver<E> {
    __host__ __device__ void integrate(StateVector* s, E* element, const float* n, const float* alpha, float h) const
    {
        StateVector k = this->derivative(*s, element, n, alpha);
        LegacySolver<E>::capEnergyRate(&k, s, h);
        *s = *s + k * h;
        LegacySolver<E>::capEnergy(s);
    }
};

template <typename E>
struct LegacyRungeKutta4 : LegacySolver<E> {
    __host__ __device__ void integrate(StateVector* s, E* element, const float* n, const float* alpha, float h) const
    {
        constexpr float sixth = 0.16666667f;
        const float h6 = h * sixth;
        // Each stage is capped at its weight in the final combination.
        StateVector k1 = this->derivative(*s, element, n, alpha);
        LegacySolver<E>::capEnergyRate(&k1, s, h6);
        StateVector k2 = this->derivative(*s + (0.5f * h) * k1, element, n, alpha);
        LegacySolver<E>::capEnergyRate(&k2, s, h6 + h6);
        StateVector k3 = this->derivative(*s + (0.5f * h) * k2, element, n, alpha);
        LegacySolver<E>::capEnergyRate(&k3, s, h6 + h6);
        StateVector k4 = this->derivative(*s + h * k3, element, n, alpha);
        LegacySolver<E>::capEnergyRate(&k4, s, h6);
        StateVector k = (k1 + 2.0f * k2 + 2.0f * k3 + k4) * sixth;
        LegacySolver<E>::capEnergyRate(&k, s, h);
        *s = *s + h * k;
        LegacySolver<E>::capEnergy(s);
    }
};

// The starting step of an element visit. The step of the solvers' parameter sigma moves the
// ray |p| = n mesh units per unit, and one visit makes at most 199 steps, so a fixed start
// of 0.1 cannot cross elements much larger than 20 n mesh units (a mesh in micrometres).
// Elements whose longest diagonal D is at most 10 n keep 0.1; larger ones start at D / (100 n),
// which crosses them in about as many steps as 0.1 crosses an element of 10 n.
//
// Strong absorption limits the step too: a step may remove at most a quarter of the power
// (alpha n h <= 0.25, alpha and n the largest nodal values). Beyond that Euler dumps all
// the power on the entry nodes and Runge-Kutta leaves its stability region and creates
// power. An element that then needs more than 199 steps has an optical depth above 50: the
// ray leaves it with no power to speak of.
__host__ __device__ inline float legacyInitialStep(const HEX8Element& element, float nEntry, const float index[8],
                                                   const float absorptivity[8])
{
    const int opposite[4][2] = {{0, 6}, {1, 7}, {2, 4}, {3, 5}};
    float D = 0.0f;
    for (const auto& pair : opposite) D = fmaxf(D, length(element.nodes[pair[1]] - element.nodes[pair[0]]));
    const float n = nEntry > 0.0f ? nEntry : 1.0f;
    float h = D <= 10.0f * n ? 0.1f : D / (100.0f * n);
    float alphaMax = 0.0f, nMax = 0.0f;
    for (int k = 0; k < 8; ++k) {
        alphaMax = fmaxf(alphaMax, absorptivity[k]);
        nMax = fmaxf(nMax, fabsf(index[k]));
    }
    const float loss = alphaMax * nMax;
    if (loss * h > 0.25f) h = 0.25f / loss;
    return h;
}


// Integrates one visit by the old rule from `state`, with the old solver L; returns the
// state at the end (inside the element when the 199 steps ran out).
template <typename L>
__host__ __device__ inline void legacyIntegrateVisit(HEX8Element& element, StateVector& state, float nEntry,
                                                     const float index[8], const float absorptivity[8])
{
    // The old element computed its volume on every visit; 0 * volume keeps that cost.
    state.pathLength += 0.0f * static_cast<float>(hex8Volume(element.nodes));
    // Steps land strictly inside, are accepted when they leave by at most 0.001 in local
    // coordinates, and are repeated with half the size when they overshoot further.
    const L solver;
    float h = legacyInitialStep(element, nEntry, index, absorptivity);
    float error = floatInfinity();
    bool first = true;
    auto inside = [](Vec3 q) { return q.x * q.x < 1.0f && q.y * q.y < 1.0f && q.z * q.z < 1.0f; };
    for (int steps = 0; steps < 199 && (first || error > 0.001f || inside(state.pos));) {
        const StateVector saved = state;
        ++steps;
        solver.integrate(&state, &element, index, absorptivity, h);
        first = false;
        if (inside(state.pos)) continue;
        error = HEX8Element::overshootError(state.pos);
        if (error > 0.001f) {
            state = saved;
            h *= 0.5f;
        }
    }
}
