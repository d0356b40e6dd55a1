// The flat ray record kernels receive, and the per-ray working record they unpack from it.
#pragma once

#include <climits>
#include <cstdint>

#include "common/vec3.h"
#include "device/device.h"

// The seed a ray gets when it has none: the SplitMix64 finaliser of its index plus the
// golden-ratio increment (ray 0 gets 0xE220A8397B1DCDAF); never 0.
__host__ __device__ inline std::uint64_t splitmix64Seed(std::uint64_t index)
{
    std::uint64_t z = index + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z = z ^ (z >> 31);
    return z == 0 ? 0xA4093822299F31D0ull : z;
}

// Kernels index the component-major ray arrays as a[2 * nRays + i] in int: the largest
// count for which that cannot overflow.
constexpr int kMaxRays = INT_MAX / 3;

struct Ray {
    Vec3 position;
    Vec3 direction;
    float power;
    Vec3 normal;
    float hitDistance;
    float maxDistance;
    int face;
    Vec3 localExit;
    int element;
    int exitFace;
    float refrIndex;
    int index;
    std::uint64_t seed;
};

struct RaysDataFlat {
    float* positions;     // 3 * nRays, component-major
    float* directions;    // 3 * nRays, component-major, unit length
    float* power;         // nRays
    int* startFaces;      // nRays: boundary face the ray lies on, -1 none
    std::uint64_t* seeds; // nRays, may be null
    int nRays;

    __host__ __device__ Vec3 getVector(int i, const float* a) const { return {a[i], a[nRays + i], a[2 * nRays + i]}; }
    __host__ __device__ void setVector(int i, Vec3 v, float* a) const
    {
        a[i] = v.x;
        a[nRays + i] = v.y;
        a[2 * nRays + i] = v.z;
    }

    __host__ __device__ Ray getRay(int i) const
    {
        Ray r;
        r.position = getVector(i, positions);
        r.direction = getVector(i, directions);
        r.power = power[i];
        r.normal = Vec3(0.0f, 0.0f, 0.0f);
        r.hitDistance = floatInfinity();
        r.maxDistance = r.hitDistance;
        r.face = startFaces[i];
        r.localExit = Vec3(0.0f, 0.0f, 0.0f);
        r.element = -1;
        r.exitFace = -1;
        r.refrIndex = 1.0f;
        r.index = i;
        r.seed = seeds ? seeds[i] : splitmix64Seed(static_cast<std::uint64_t>(i));
        return r;
    }

    __host__ __device__ void setRay(Ray& ray) const
    {
        const int i = ray.index;
        setVector(i, ray.position, positions);
        setVector(i, ray.direction, directions);
        power[i] = ray.power;
        startFaces[i] = ray.face;
        if (ray.seed == 0) ray.seed = splitmix64Seed(static_cast<std::uint64_t>(i));
        if (seeds) seeds[i] = ray.seed;
    }
};
