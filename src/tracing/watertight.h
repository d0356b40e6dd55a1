// The watertight ray-triangle test of Woop, Benthin and Wald (2013), single precision:
// rays through a shared edge or vertex hit at least one of the triangles.
#pragma once

#include <cmath>

#include "common/vec3.h"
#include "device/device.h"
#include "rays/ray.h"

// True when the ray o + t d hits triangle (a, b, c) at 0 < t <= min(hitDistance,
// maxDistance); *t receives the distance.
__host__ __device__ inline bool intersectTriangleWatertight(Vec3 o, Vec3 d, Vec3 a, Vec3 b, Vec3 c, float hitDistance,
                                                            float maxDistance, float* t)
{
    const float ax = fabsf(d.x), ay = fabsf(d.y), az = fabsf(d.z);
    const int kz = (ax > ay && ax > az) ? 0 : (ay > az ? 1 : 2);
    const int kx = (kz + 1) % 3;
    const int ky = (kx + 1) % 3;
    const float Sx = -d[kx] / d[kz];
    const float Sy = -d[ky] / d[kz];
    const float Sz = 1.0f / d[kz];

    const Vec3 A = a - o, B = b - o, C = c - o;
    const float Ax = A[kx] + Sx * A[kz], Ay = A[ky] + Sy * A[kz];
    const float Bx = B[kx] + Sx * B[kz], By = B[ky] + Sy * B[kz];
    const float Cx = C[kx] + Sx * C[kz], Cy = C[ky] + Sy * C[kz];

    const float U = Cx * By - Cy * Bx;
    const float V = Ax * Cy - Ay * Cx;
    const float W = Bx * Ay - By * Ax;
    constexpr float eps = 1e-16f;
    if ((U < -eps || V < -eps || W < -eps) && (U > eps || V > eps || W > eps)) return false;
    const float det = U + V + W;
    if (fabsf(det) < eps) return false;
    const float T = Sz * (U * A[kz] + V * B[kz] + W * C[kz]);
    if (det < 0.0f) {
        if (!(T < 0.0f && T >= det * hitDistance && T >= det * maxDistance)) return false;
    } else {
        if (!(T > 0.0f && T <= det * hitDistance && T <= det * maxDistance)) return false;
    }
    *t = T / det;
    return true;
}

// The quadrilateral (c0, c1, c2, c3) as the triangles (c0, c1, c2) and, when that misses,
// (c0, c2, c3): a nearer hit sets the ray's hitDistance, face and normal
// ((c1 - c0) x (c3 - c0), normalised).
__host__ __device__ inline void intersectQuad(Ray* ray, Vec3 c0, Vec3 c1, Vec3 c2, Vec3 c3, int face)
{
    float t;
    if (!intersectTriangleWatertight(ray->position, ray->direction, c0, c1, c2, ray->hitDistance, ray->maxDistance,
                                     &t) &&
        !intersectTriangleWatertight(ray->position, ray->direction, c0, c2, c3, ray->hitDistance, ray->maxDistance,
                                     &t)) {
        return;
    }
    ray->hitDistance = t;
    ray->face = face;
    ray->normal = normalizedOrAsIs(cross(c1 - c0, c3 - c0));
}
