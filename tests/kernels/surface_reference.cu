#include "kernels/surface_reference.h"

#include "device/launch.h"
#include "mesh/mesh.h"
#include "rays/ray_collection.h"
#include "tracing/grid_accelerator.h"

namespace tracing::selftest {
namespace {

__global__ void placeTestingEveryFaceKernel(RaysDataFlat* rays, MeshDataFlat* mesh)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= rays->nRays) return;
    Ray ray = rays->getRay(i);
    for (int f = 0; f < mesh->nFaces; ++f) intersectBoundaryFace(&ray, mesh, f);
    if (ray.hitDistance < floatInfinity()) {
        ray.position = Vec3(fmaf(ray.hitDistance, ray.direction.x, ray.position.x),
                            fmaf(ray.hitDistance, ray.direction.y, ray.position.y),
                            fmaf(ray.hitDistance, ray.direction.z, ray.position.z));
    } else {
        ray.face = -1;
    }
    rays->setRay(ray);
}

} // namespace

void placeRaysTestingEveryFace(RayCollection& rays, Mesh& mesh)
{
    dev::launchItems(DEV_KERNEL(placeTestingEveryFaceKernel), rays.nRays, 128, dev::kDefaultStream, rays.d_rdata,
                     mesh.d_mdata);
    dev::synchronize();
}

} // namespace tracing::selftest
