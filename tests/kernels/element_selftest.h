// One element's path integration run as a kernel, so tests check the device code of
// whichever variant they are linked against.
#pragma once

#include "common/vec3.h"
#include "tracing/solvers.h"

namespace tracing::selftest {

enum class Integrator { Euler = 1, RungeKutta = 2 };

// One step of size h with the solver's own stages from the rate at the state, then the
// absorption along it: what a visit does with a step it has sized (no aiming, no limits).
template <typename S>
__host__ __device__ inline void fixedStep(const S& solver, StateVector* s, const ElementFit& element, float h)
{
    const Vec3 from = s->pos;
    const RayRate k1 = element.rate(s->pos, s->dir);
    solver.advance(s, element, k1, h);
    absorbAlongStep(s, element, from, k1.velocity * h, h);
}

struct ElementInput {
    Vec3 nodes[8];
    float refrIndex[8];
    float absorptivity[8];
    float nodalMass[8];
};

// `steps` steps of size h from `start`; returns the final state, *global its position.
StateVector integrateInElement(const ElementInput& element, StateVector start, Integrator solver, float h, int steps,
                               Vec3* global);

} // namespace tracing::selftest
