// Interface optics run as kernels, so tests check the device code of either variant.
#pragma once

#include <cstdint>
#include <vector>

#include "tracing/interface_optics.h"

namespace tracing::selftest {

// Microfacet normals about n for rays with these seeds and indices; seeds advance in place.
std::vector<Vec3> sampleNormals(Vec3 n, float roughness, std::vector<std::uint64_t>& seeds,
                                const std::vector<int>& indices);

struct Interaction {
    int outcome; // start face: 0 entry, 1 refusal; exit face: 0 reflection, 1 departure
    Vec3 normal;
    Ray ray;
};

// One interaction at a start face (start = true) or an exit face.
Interaction interact(bool start, const Ray& ray, Vec3 faceNormal, float nInside, const FaceCondition& bc);

} // namespace tracing::selftest
