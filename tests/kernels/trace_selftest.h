// A trace that records the path of ray 0 (global exit point, path length and power after
// every element visit), for tests of the walk on either variant.
#pragma once

#include <vector>

#include "common/vec3.h"

class Mesh;
class RayCollection;

namespace tracing::selftest {

struct PathSample {
    Vec3 position;
    float pathLength;
    float power;
    int firstNode; // the visited element's node 0
};

std::vector<PathSample> recordPath(RayCollection& rays, Mesh& mesh, int solverType, int capacity);

} // namespace tracing::selftest
