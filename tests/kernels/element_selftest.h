// One element's path integration run as a kernel, so tests check the device code of
// whichever variant they are linked against.
#pragma once

#include "common/vec3.h"
#include "tracing/solvers.h"

namespace tracing::selftest {

enum class Integrator { None = 0, Euler = 1, RungeKutta = 2 };

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
