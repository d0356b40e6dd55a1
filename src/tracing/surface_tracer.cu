#include "tracing/surface_tracer.h"
#include "device/launch.h"

#include "mesh/mesh.h"
#include "rays/ray_collection.h"

template <typename View>
__global__ void placeRaysOnSurfaceKernel(RaysDataFlat* rays, MeshDataFlat* mesh, View accelerator)
{
    const int i = static_cast<int>(dev::globalThreadIndex());
    if (i >= rays->nRays) return;
    Ray ray = rays->getRay(i);
    accelerator.findIntersection(&ray, mesh);
    if (ray.hitDistance < floatInfinity()) {
        ray.position = Vec3(fmaf(ray.hitDistance, ray.direction.x, ray.position.x),
                            fmaf(ray.hitDistance, ray.direction.y, ray.position.y),
                            fmaf(ray.hitDistance, ray.direction.z, ray.position.z));
    } else {
        ray.face = -1; // no start face, whatever an earlier placement gave it
    }
    rays->setRay(ray);
}

template <typename A>
void SurfaceRayTracer<A>::buildAccelerator(Mesh& mesh)
{
    accelerator_.buildFaceGrid(mesh);
}

template <typename A>
void SurfaceRayTracer<A>::traceRays(RayCollection& rays, Mesh& mesh)
{
    const auto view = accelerator_.view();
    dev::launchItems(DEV_KERNEL(placeRaysOnSurfaceKernel<decltype(view)>), rays.nRays, 128, dev::kDefaultStream,
                     rays.d_rdata, mesh.d_mdata, view);
    dev::synchronize();
}

template class SurfaceRayTracer<GridAccelerator>;

std::unique_ptr<SurfaceRayTracerBase> makeSurfaceRayTracer(SurfaceTracerKind kind)
{
    switch (kind) {
    case SurfaceTracerKind::Grid: return std::make_unique<SurfaceRayTracer<GridAccelerator>>();
    }
    return nullptr;
}
