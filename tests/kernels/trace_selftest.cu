#include "kernels/trace_selftest.h"
#include "device/launch.h"

#include "mesh/mesh.h"
#include "rays/ray_collection.h"
#include "kernels/hex8_reference.h"
#include "tracing/fe_tracer.h"

namespace tracing::selftest {
namespace {

struct PathRecorderView : ObjectiveView {
    const MeshDataFlat* mesh;
    PathSample* samples;
    int* count;
    int capacity;

    __device__ void interactElementLocal(StateVector* state, Vec3 exit, const int* nodes)
    {
        if (dev::globalThreadIndex() != 0 || *count >= capacity) return;
        Hex8Reference element;
        for (int k = 0; k < 8; ++k) element.nodes[k] = mesh->getNodeVec(nodes[k], mesh->nodeCoords);
        samples[*count] = {element.localToGlobal(exit), state->pathLength, state->energy, nodes[0]};
        ++*count;
    }
};

template <typename S>
void run(RayCollection& rays, Mesh& mesh, PathRecorderView view, TraceStats* stats)
{
    mesh.packNodeRecords();
    dev::launchItems(DEV_KERNEL(traceRaysKernel<PathRecorderView, S>), rays.nRays, kTraceBlockSize, dev::kDefaultStream,
                     rays.d_rdata, mesh.d_mdata, view, stats, RayExits{}, 0, rays.nRays);
}

} // namespace

std::vector<PathSample> recordPath(RayCollection& rays, Mesh& mesh, int solverType, int capacity)
{
    dev::DeviceArray<PathSample> samples(static_cast<std::size_t>(capacity), "path samples");
    dev::DeviceArray<int> count(1, "sample count");
    dev::DeviceArray<TraceStats> stats(1, "trace counters");
    count.zero();
    stats.zero();
    PathRecorderView view;
    view.mesh = mesh.d_mdata;
    view.samples = samples.data();
    view.count = count.data();
    view.capacity = capacity;
    if (solverType == 1) run<RungeKutta4<>>(rays, mesh, view, stats.data());
    else run<ForwardEuler<>>(rays, mesh, view, stats.data());
    dev::synchronize();
    std::vector<PathSample> out = samples.download();
    out.resize(static_cast<std::size_t>(count.download()[0]));
    return out;
}

} // namespace tracing::selftest
