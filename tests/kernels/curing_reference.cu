#include "kernels/curing_reference.h"

#include "common/vec3.h"
#include "curing/neighbour_weight.h"
#include "device/launch.h"

namespace curing::selftest {
namespace {

__host__ __device__ inline Vec3 nodeAt(const float* coords, int n, int i)
{
    return {coords[i], coords[n + i], coords[2 * n + i]};
}

__global__ void diffuseKernel(double* out, const double* in, const float* coords, double D, double dt, int n)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= n) return;
    if (!(dt > 0.0) || !(D > 0.0) || !isNumber(in[i])) {
        out[i] = in[i];
        return;
    }
    const double c = 1.0 / (4.0 * D * dt);
    const Vec3 xi = nodeAt(coords, n, i);
    double num = 0.0, den = 0.0;
    for (int j = 0; j < n; ++j) {
        const double v = in[j];
        if (!isNumber(v)) continue;
        const Vec3 xj = nodeAt(coords, n, j);
        const double w = relativeWeight(squaredDistance(xi.x, xi.y, xi.z, xj.x, xj.y, xj.z), c);
        if (w == 0.0) continue;
        num += w * v;
        den += w;
    }
    out[i] = den > 0.0 ? num / den : in[i];
}

} // namespace

void diffuseAllNodes(double* out, const double* in, const float* coords, double D, double dt, int n)
{
    dev::launchItems(DEV_KERNEL(diffuseKernel), static_cast<std::size_t>(n), 128, dev::kDefaultStream, out, in, coords,
                     D, dt, n);
    dev::synchronize();
}

} // namespace curing::selftest
