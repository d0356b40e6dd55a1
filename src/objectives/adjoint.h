// The transpose of the light-transport trace. A trace deposits, per ray, a share of the
// ray's power at the nodes of every element it crosses; the absorbed power is linear in
// the ray powers, Q = A p. This objective reads a nodal field g instead of writing one and
// gives, per ray, (A^T g)_i: the sum over the ray's deposits of (deposit per unit power)
// times g at the node. Each ray is traced with power 1 and is owned by one thread, which
// adds to its own value (no atomics); the rays' seeds are left as they were, so a rough
// face draws the same normals in the next forward trace and the values belong to the map
// that trace applies.
#pragma once

#include <vector>

#include "device/buffer.h"
#include "objectives/objective.h"

struct AdjointView : ObjectiveView {
    static constexpr bool kUnitPower = true;
    static constexpr bool kKeepsSeeds = true;

    const double* field = nullptr; // g, one value per node
    double* perRay = nullptr;      // (A^T g), one value per ray
    int firstRay = 0;              // of the launch: a trace may run in batches of rays

    __device__ void prepareElement(const int* nodes)
    {
        for (int k = 0; k < 8; ++k) dev::prefetch(&field[nodes[k]]);
    }

    // The visit's deposits (per unit volume, as the forward trace adds them) weighed by g.
    __device__ void interactElementLocal(StateVector* state, Vec3, const int* nodes)
    {
        double sum = 0.0;
        for (int k = 0; k < 8; ++k) sum += static_cast<double>(state->absorbed[k]) * field[nodes[k]];
        perRay[firstRay + static_cast<long long>(dev::globalThreadIndex())] += sum;
    }
};

class Adjoint : public CallerObjective {
public:
    using View = AdjointView;

    // The field g (node count values) and zeroed per-ray values for `rays` rays; storage of
    // the right sizes is kept.
    void prepare(const double* field, int nodes, int rays);
    // The per-ray values of the last trace (ray count doubles).
    void getResult(double* host) override;
    void resetResult() override { perRay_.zero(); }
    double* getResultArrayDevicePtr() override { return perRay_.data(); }

    View view(const MeshDataFlat&) const
    {
        View v;
        v.field = field_.data();
        v.perRay = perRay_.data();
        return v;
    }

private:
    dev::DeviceArray<double> field_;
    dev::DeviceArray<double> perRay_;
};
