// Places rays on the mesh surface: every ray moves along its direction to the first
// boundary face it hits, which becomes its start face. A ray that hits nothing keeps its
// position and direction and gets start face -1.
#pragma once

#include "tracing/grid_accelerator.h"

class Mesh;
class RayCollection;

class SurfaceRayTracer {
public:
    // Builds the face grid over the mesh's boundary faces.
    void buildAccelerator(Mesh& mesh);
    void traceRays(RayCollection& rays, Mesh& mesh);
    GridAccelerator& accelerator() { return accelerator_; }

private:
    GridAccelerator accelerator_;
};
