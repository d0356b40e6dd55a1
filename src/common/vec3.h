// Three single-precision components: the position, direction and normal type of all
// device code.
#pragma once

#include <cmath>

#include "common/host_device.h"

__host__ __device__ inline float floatInfinity() { return __builtin_inff(); }

// fmaxf and fminf (a NaN argument yields the other one) in a form the CPU compiler inlines:
// on the host the library's are calls, which the walk makes by the dozen per element.
__host__ __device__ inline float maxf(float a, float b)
{
#if defined(__CUDA_ARCH__)
    return fmaxf(a, b);
#else
    return a > b || b != b ? a : b;
#endif
}
__host__ __device__ inline float minf(float a, float b)
{
#if defined(__CUDA_ARCH__)
    return fminf(a, b);
#else
    return a < b || b != b ? a : b;
#endif
}

struct Vec3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    __host__ __device__ constexpr Vec3() = default;
    __host__ __device__ constexpr Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    __host__ __device__ float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    __host__ __device__ float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};

__host__ __device__ inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
__host__ __device__ inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
__host__ __device__ inline Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
__host__ __device__ inline Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
__host__ __device__ inline Vec3 operator*(float s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
__host__ __device__ inline bool operator==(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

__host__ __device__ inline float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
__host__ __device__ inline Vec3 cross(Vec3 a, Vec3 b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
__host__ __device__ inline float length(Vec3 a) { return sqrtf(dot(a, a)); }

// v / |v|, or v itself when it has zero length.
__host__ __device__ inline Vec3 normalizedOrAsIs(Vec3 v)
{
    const float L = length(v);
    return L != 0.0f ? Vec3(v.x / L, v.y / L, v.z / L) : v;
}
