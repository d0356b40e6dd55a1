// Places rays on the mesh surface: every ray moves along its direction to the first
// boundary face it hits, which becomes its start face. A ray that hits nothing keeps its
// position and direction and gets start face -1.
#pragma once

#include <memory>

#include "tracing/grid_accelerator.h"

class Mesh;
class RayCollection;

class SurfaceRayTracerBase {
public:
    virtual ~SurfaceRayTracerBase() = default;
    virtual void buildAccelerator(Mesh& mesh) = 0;
    virtual void traceRays(RayCollection& rays, Mesh& mesh) = 0;
};

// A: GridAccelerator (walks the face grid).
template <typename A>
class SurfaceRayTracer : public SurfaceRayTracerBase {
public:
    void buildAccelerator(Mesh& mesh) override;
    void traceRays(RayCollection& rays, Mesh& mesh) override;
    A& accelerator() { return accelerator_; }

private:
    A accelerator_;
};

// The numbers are those the test hooks pass.
enum class SurfaceTracerKind : int { Grid = 1 };

// nullptr for a kind that does not exist.
std::unique_ptr<SurfaceRayTracerBase> makeSurfaceRayTracer(SurfaceTracerKind kind);
