#include "kernels/element_selftest.h"

#include "device/buffer.h"
#include "device/launch.h"
#include "kernels/hex8_reference.h"

namespace tracing::selftest {
namespace {

template <typename S>
__global__ void integrateKernel(ElementInput input, StateVector* state, float h, int steps, Vec3* global)
{
    if (dev::globalThreadIndex() != 0) return;
    ElementFit element;
    element.prepare(input.nodes);
    element.setFields(input.refrIndex, input.absorptivity);
    const S solver;
    StateVector s = *state;
    for (int i = 0; i < steps; ++i) fixedStep(solver, &s, element, h);
    for (int k = 0; k < 8; ++k) s.absorbed[k] /= input.nodalMass[k]; // per unit nodal volume, as a visit gives it
    *state = s;
    Hex8Reference reference;
    for (int k = 0; k < 8; ++k) reference.nodes[k] = input.nodes[k];
    *global = reference.localToGlobal(s.pos);
}

} // namespace

StateVector integrateInElement(const ElementInput& element, StateVector start, Integrator solver, float h, int steps,
                               Vec3* global)
{
    dev::DeviceArray<StateVector> state(1, "state");
    dev::DeviceArray<Vec3> position(1, "position");
    state.upload(&start, 1);
    if (solver == Integrator::RungeKutta) {
        dev::launch(DEV_KERNEL(integrateKernel<RungeKutta4<>>), 1, 1, dev::kDefaultStream, element, state.data(), h,
                    steps, position.data());
    } else {
        dev::launch(DEV_KERNEL(integrateKernel<ForwardEuler<>>), 1, 1, dev::kDefaultStream, element, state.data(), h,
                    steps, position.data());
    }
    dev::synchronize();
    StateVector result;
    state.download(&result, 1);
    if (global) position.download(global, 1);
    return result;
}

} // namespace tracing::selftest
