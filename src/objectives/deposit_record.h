// Every deposit of a trace as a (node, ray, value) triplet: the sparse matrix A of the map
// from ray powers to absorbed power (per unit volume), recorded in one trace. As for the
// adjoint, each ray is traced with power 1 and the rays' seeds are left for the next trace,
// so the matrix is that of the next forward trace. One triplet per node per element visit:
// for small problems.
#pragma once

#include <vector>

#include "device/buffer.h"
#include "objectives/objective.h"

struct DepositRecordView : ObjectiveView {
    static constexpr bool kUnitPower = true;
    static constexpr bool kKeepsSeeds = true;

    int* nodes = nullptr;
    int* rays = nullptr;
    float* values = nullptr;
    unsigned long long* count = nullptr; // triplets of the trace, also those beyond capacity
    unsigned long long capacity = 0;
    int firstRay = 0; // of the launch: a trace may run in batches of rays

    // One reservation per visit for its non-zero deposits; what does not fit is counted only.
    __device__ void interactElementLocal(StateVector* state, Vec3, const int* ids)
    {
        unsigned long long m = 0;
        for (int k = 0; k < 8; ++k) m += state->absorbed[k] != 0.0f ? 1 : 0;
        if (m == 0) return;
        const int ray = firstRay + static_cast<int>(dev::globalThreadIndex());
        unsigned long long slot = dev::atomicAdd(count, m);
        for (int k = 0; k < 8; ++k) {
            if (state->absorbed[k] == 0.0f) continue;
            if (slot < capacity) {
                nodes[slot] = ids[k];
                rays[slot] = ray;
                values[slot] = state->absorbed[k];
            }
            ++slot;
        }
    }
};

class DepositRecord : public CallerObjective {
public:
    using View = DepositRecordView;

    // Room for `capacity` triplets and a zero count.
    void prepare(unsigned long long capacity);
    // Triplets the last trace made (more than the capacity when they did not all fit).
    unsigned long long count() const;
    unsigned long long capacity() const { return static_cast<unsigned long long>(values_.size()); }
    // The first min(count, capacity) triplets.
    void download(std::vector<int>& nodes, std::vector<int>& rays, std::vector<float>& values) const;

    void getResult(double*) override {}
    void resetResult() override {}

    View view(const MeshDataFlat&) const
    {
        View v;
        v.nodes = nodes_.data();
        v.rays = rays_.data();
        v.values = values_.data();
        v.count = count_.data();
        v.capacity = capacity();
        return v;
    }

private:
    dev::DeviceArray<int> nodes_, rays_;
    dev::DeviceArray<float> values_;
    dev::DeviceArray<unsigned long long> count_;
};
