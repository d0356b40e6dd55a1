#include "kernels/optics_selftest.h"

#include <algorithm>

#include "device/buffer.h"
#include "device/launch.h"

namespace tracing::selftest {
namespace {

__global__ void sampleKernel(Vec3 n, float roughness, std::uint64_t* seeds, const int* indices, Vec3* normals,
                             int count)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= count) return;
    std::uint64_t seed = seeds[i];
    normals[i] = sampleMicrofacetNormal(n, roughness, &seed, indices[i]);
    seeds[i] = seed;
}

__global__ void interactKernel(bool start, Ray ray, Vec3 faceNormal, float nInside, FaceCondition bc,
                               Interaction* result)
{
    if (dev::globalThreadIndex() != 0) return;
    Interaction r;
    r.outcome = start ? static_cast<int>(interactStartFace(&ray, faceNormal, nInside, bc, &r.normal))
                      : static_cast<int>(interactExitFace(&ray, faceNormal, nInside, bc, &r.normal));
    r.ray = ray;
    *result = r;
}

} // namespace

std::vector<Vec3> sampleNormals(Vec3 n, float roughness, std::vector<std::uint64_t>& seeds,
                                const std::vector<int>& indices)
{
    const std::size_t count = std::min(seeds.size(), indices.size());
    dev::DeviceArray<std::uint64_t> d_seeds(count, "seeds");
    dev::DeviceArray<int> d_indices(count, "indices");
    dev::DeviceArray<Vec3> d_normals(count, "normals");
    d_seeds.upload(seeds.data(), count);
    d_indices.upload(indices.data(), count);
    dev::launchItems(DEV_KERNEL(sampleKernel), count, 128, dev::kDefaultStream, n, roughness, d_seeds.data(),
                     d_indices.data(), d_normals.data(), static_cast<int>(count));
    dev::synchronize();
    d_seeds.download(seeds.data(), count);
    std::vector<Vec3> normals(count);
    d_normals.download(normals.data(), count);
    return normals;
}

Interaction interact(bool start, const Ray& ray, Vec3 faceNormal, float nInside, const FaceCondition& bc)
{
    dev::DeviceArray<Interaction> result(1, "interaction");
    dev::launch(DEV_KERNEL(interactKernel), 1, 1, dev::kDefaultStream, start, ray, faceNormal, nInside, bc,
                result.data());
    dev::synchronize();
    Interaction r;
    result.download(&r, 1);
    return r;
}

} // namespace tracing::selftest
