// The surface placement without the face grid: every ray tests every boundary face. The
// reference the grid walk (tracing/surface_tracer.h) must equal, ray for ray.
#pragma once

class Mesh;
class RayCollection;

namespace tracing::selftest {

// Moves each ray along its direction to the nearest boundary face it hits, which becomes its
// start face; a ray that hits none keeps its position and gets start face -1. Waits for the
// result.
void placeRaysTestingEveryFace(RayCollection& rays, Mesh& mesh);

} // namespace tracing::selftest
