#include "tracing/surface_tracer.h"
#include "device/launch.h"

#include "mesh/mesh.h"
#include "rays/ray_collection.h"

__global__ void placeRaysOnSurfaceKernel(RaysDataFlat* rays, MeshDataFlat* mesh, FaceGridView accelerator)
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

void SurfaceRayTracer::buildAccelerator(Mesh& mesh) { accelerator_.buildFaceGrid(mesh); }

void SurfaceRayTracer::traceRays(RayCollection& rays, Mesh& mesh)
{
    dev::launchItems(DEV_KERNEL(placeRaysOnSurfaceKernel), rays.nRays, 128, dev::kDefaultStream, rays.d_rdata,
                     mesh.d_mdata, accelerator_.view());
    dev::synchronize();
}
