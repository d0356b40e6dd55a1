#include "kernels/element_selftest.h"

#include "device/buffer.h"
#include "device/launch.h"
#include "tracing/hex8_element.h"

namespace tracing::selftest {
namespace {

template <typename S>
__global__ void integrateKernel(ElementInput input, StateVector* state, float h, int steps, Vec3* global)
{
    if (dev::globalThreadIndex() != 0) return;
    HEX8Element element;
    for (int k = 0; k < 8; ++k) {
        element.nodes[k] = input.nodes[k];
        element.nodalMass[k] = input.nodalMass[k];
    }
    element.nodesSet = true;
    element.prepare();
    element.setFields(input.refrIndex, input.absorptivity);
    const S solver;
    StateVector s = *state;
    for (int i = 0; i < steps; ++i) solver.integrate(&s, element, h);
    for (int k = 0; k < 8; ++k) s.absorbed[k] /= element.nodalMass[k]; // per unit nodal volume, as a visit gives it
    *state = s;
    *global = element.localToGlobal(s.pos);
}

} // namespace

StateVector integrateInElement(const ElementInput& element, StateVector start, Integrator solver, float h, int steps,
                               Vec3* global)
{
    dev::DeviceArray<StateVector> state(1, "state");
    dev::DeviceArray<Vec3> position(1, "position");
    state.upload(&start, 1);
    switch (solver) {
    case Integrator::Euler:
        dev::launch(DEV_KERNEL(integrateKernel<ForwardEuler<HEX8Element>>), 1, 1,
                    dev::kDefaultStream, element, state.data(), h, steps, position.data());
        break;
    case Integrator::RungeKutta:
        dev::launch(DEV_KERNEL(integrateKernel<RungeKutta4<HEX8Element>>), 1, 1,
                    dev::kDefaultStream, element, state.data(), h, steps, position.data());
        break;
    default:
        dev::launch(DEV_KERNEL(integrateKernel<Solver<HEX8Element>>), 1, 1, dev::kDefaultStream,
                    element, state.data(), h, steps, position.data());
    }
    dev::synchronize();
    StateVector result;
    state.download(&result, 1);
    if (global) position.download(global, 1);
    return result;
}

} // namespace tracing::selftest
