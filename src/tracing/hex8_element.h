// The trilinear 8-node hexahedron the tracer works on: shape functions, Jacobian and its
// inverse, the maps between local (xi, eta, zeta) and global coordinates, interpolation of
// nodal fields and their gradients, as the lean ElementFit the walk fits once per visit. An
// element is a value in one thread's local storage; everything compiles for host and device.
#pragma once

#include <cmath>

#include "common/vec3.h"
#include "device/device.h"
#include "mesh/hex8_geometry.h"
#include "mesh/mesh_data.h"

// A trilinear field in local coordinates as f(q) = c0 + c1 xi + c2 eta + c3 zeta + c4 xi eta +
// c5 eta zeta + c6 zeta xi + c7 xi eta zeta. Fitted from the corner values relative to corner
// 0's, so a constant field has higher terms of exactly zero (no bending from round-off) and
// coordinates far from the origin lose no digits of the element's own size. T is float or Vec3.
template <typename T>
struct Trilinear {
    T c[8];

    __host__ __device__ void fit(const T v[8])
    {
        // Sums and differences along xi, then eta, then zeta (corner k at hex8Corner(k)).
        T d[8];
        d[0] = T();
        for (int k = 1; k < 8; ++k) d[k] = v[k] - v[0];
        const T a0 = d[0] + d[1], x0 = d[1] - d[0], a1 = d[3] + d[2], x1 = d[2] - d[3];
        const T a2 = d[4] + d[5], x2 = d[5] - d[4], a3 = d[7] + d[6], x3 = d[6] - d[7];
        const T p0 = a0 + a1, q0 = a1 - a0, p1 = a2 + a3, q1 = a3 - a2;
        const T r0 = x0 + x1, s0 = x1 - x0, r1 = x2 + x3, s1 = x3 - x2;
        c[0] = (p0 + p1) * 0.125f + v[0];
        c[1] = (r0 + r1) * 0.125f;
        c[2] = (q0 + q1) * 0.125f;
        c[3] = (p1 - p0) * 0.125f;
        c[4] = (s0 + s1) * 0.125f;
        c[5] = (q1 - q0) * 0.125f;
        c[6] = (r1 - r0) * 0.125f;
        c[7] = (s1 - s0) * 0.125f;
    }

    __host__ __device__ T at(Vec3 q) const
    {
        return c[0] + c[1] * q.x + c[2] * q.y + c[3] * q.z + c[4] * (q.x * q.y) + c[5] * (q.y * q.z) +
               c[6] * (q.z * q.x) + c[7] * (q.x * q.y * q.z);
    }

    // df/dxi, df/deta, df/dzeta.
    __host__ __device__ void localGradient(Vec3 q, T g[3]) const
    {
        g[0] = c[1] + c[4] * q.y + c[6] * q.z + c[7] * (q.y * q.z);
        g[1] = c[2] + c[4] * q.x + c[5] * q.z + c[7] * (q.x * q.z);
        g[2] = c[3] + c[5] * q.y + c[6] * q.x + c[7] * (q.x * q.y);
    }
};

// What one evaluation of the ray equation gives at a point: the local velocity dxi/dsigma,
// dp/dsigma = n grad n, the index there and |grad n| (which sizes the step).
struct RayRate {
    Vec3 velocity;
    Vec3 bend;
    float index;
    float gradient;
};

// An element as one visit of the walk sees it: the geometry and the two nodal fields as
// trilinear polynomials, fitted once per visit, so a step evaluates them without shape
// functions, and an affine element (a parallelepiped, the usual structured mesh) reuses one
// inverse Jacobian. Small enough to live in registers on a GPU.
struct ElementFit {
    Trilinear<Vec3> geometry;
    Trilinear<float> index, absorptivity;
    float affineInverse[3][3] = {}; // J^-1 of an affine element
    float size = 0.0f;              // the longest of the three half-edge vectors
    float indexMax = 0.0f, absorptivityRange = 0.0f, absorptivityMax = 0.0f;
    bool affine = false;
    bool uniformIndex = false, uniformAbsorptivity = false;

    // The trilinear form of the geometry, whether it is affine, and the inverse Jacobian of
    // an affine element. Affine: the bilinear and trilinear terms are below 1e-5 of the
    // element's linear size, which float node coordinates cannot resolve better anyway.
    __host__ __device__ void prepare(const Vec3 corners[8])
    {
        geometry.fit(corners);
        float twist2 = 0.0f, size2 = 0.0f; // squared: one square root instead of seven
        for (int i = 1; i < 4; ++i) size2 = maxf(size2, dot(geometry.c[i], geometry.c[i]));
        for (int i = 4; i < 8; ++i) twist2 = maxf(twist2, dot(geometry.c[i], geometry.c[i]));
        size = sqrtf(size2);
        affine = twist2 <= 1e-10f * size2;
        if (affine) {
            float J[3][3];
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) J[i][j] = geometry.c[i + 1][j];
            affine = invert3x3(J, affineInverse) != 0; // a flat element is left to inverseAt to refuse
        }
    }

    // The nodal refractive index and absorptivity of this visit. Uniform: every node within
    // 1e-6 (relative) of node 0, where a ray bends by less than float resolution.
    //
    // A uniform field is not fitted: it is its mean (the constant term the fit would give)
    // everywhere, with higher terms of zero.
    __host__ __device__ void setFields(const float n[8], const float alpha[8])
    {
        float nLo = n[0], nHi = n[0], aLo = alpha[0], aHi = alpha[0];
        for (int k = 1; k < 8; ++k) {
            nLo = minf(nLo, n[k]);
            nHi = maxf(nHi, n[k]);
            aLo = minf(aLo, alpha[k]);
            aHi = maxf(aHi, alpha[k]);
        }
        uniformIndex = nHi - nLo <= 1e-6f * fabsf(n[0]);
        uniformAbsorptivity = aHi == aLo;
        if (uniformIndex) {
            float sum = 0.0f;
            for (int k = 0; k < 8; ++k) sum += n[k] - n[0];
            index.c[0] = n[0] + 0.125f * sum;
            for (int i = 1; i < 8; ++i) index.c[i] = 0.0f;
        } else {
            index.fit(n);
        }
        if (uniformAbsorptivity) {
            absorptivity.c[0] = alpha[0];
            for (int i = 1; i < 8; ++i) absorptivity.c[i] = 0.0f;
        } else {
            absorptivity.fit(alpha);
        }
        indexMax = maxf(fabsf(nLo), fabsf(nHi));
        absorptivityRange = aHi - aLo;
        absorptivityMax = aHi;
    }

    __host__ __device__ Vec3 localToGlobal(Vec3 q) const { return geometry.at(q); }

    // J^-1 at q into B; false where the element is singular.
    __host__ __device__ bool inverseAt(Vec3 q, float B[3][3]) const
    {
        if (affine) {
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) B[i][j] = affineInverse[i][j];
            return true;
        }
        Vec3 rows[3];
        geometry.localGradient(q, rows);
        float J[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) J[i][j] = rows[i][j];
        return invert3x3(J, B) != 0;
    }

    // The local move J^-T d that moves the global point by d (B = J^-1 at that point).
    __host__ __device__ static Vec3 localMove(const float B[3][3], Vec3 d)
    {
        Vec3 v;
        for (int i = 0; i < 3; ++i) v[i] = B[0][i] * d.x + B[1][i] * d.y + B[2][i] * d.z;
        return v;
    }

    // Newton's method from the centre of the entry face (0-5) or of the element, every
    // iterate clamped to the element; stops at a global residual of 1.2e-5 of the element's
    // longest half edge (but not below float resolution at the target), when an update
    // moves the point by less than 1e-6 in local coordinates, when three updates in a row
    // bring the residual no lower (a target that rounding puts just outside the element),
    // or after 200 updates, and returns the iterate of the smallest residual. The tolerance
    // scales with the element, so a mesh in metres converges as well as one in millimetres.
    // Needs prepare().
    __host__ __device__ Vec3 globalToLocal(Vec3 target, int face = -1) const
    {
        Vec3 q(0.0f, 0.0f, 0.0f);
        if (face >= 0 && face <= 5) q[faceNormalAxis(face)] = faceSide(face);
        const float reach = maxf(fabsf(target.x), maxf(fabsf(target.y), fabsf(target.z)));
        const float tolerance = maxf(1.2e-5f * size, 2.4e-7f * reach);
        Vec3 r = target - localToGlobal(q);
        Vec3 best = q;
        float bestResidual = length(r);
        for (int update = 0, idle = 0; update < 200 && bestResidual > tolerance && idle < 3; ++update) {
            float B[3][3];
            if (!inverseAt(q, B)) break;
            const Vec3 before = q;
            q = q + localMove(B, r);
            for (int a = 0; a < 3; ++a) q[a] = minf(maxf(q[a], -1.0f), 1.0f);
            r = target - localToGlobal(q);
            const float residual = length(r);
            if (residual < bestResidual) {
                best = q;
                bestResidual = residual;
                idle = 0;
            } else {
                ++idle;
            }
            const Vec3 moved = q - before;
            if (maxf(fabsf(moved.x), maxf(fabsf(moved.y), fabsf(moved.z))) < 1e-6f) break;
        }
        return best;
    }

    // The ray equation at local point q with optical direction p (after prepare and
    // setFields): dxi/dsigma = J^-T p and dp/dsigma = n grad n, grad n = J^-1 grad_xi n.
    __host__ __device__ RayRate rate(Vec3 q, Vec3 p) const
    {
        float B[3][3];
        RayRate r{};
        if (!inverseAt(q, B)) return r; // no motion: the visit cannot finish and says so
        r.velocity = localMove(B, p);
        if (uniformIndex) {
            r.index = index.c[0];
            return r;
        }
        float g[3];
        index.localGradient(q, g);
        Vec3 grad;
        for (int j = 0; j < 3; ++j) grad[j] = B[j][0] * g[0] + B[j][1] * g[1] + B[j][2] * g[2];
        r.index = index.at(q);
        r.bend = grad * r.index;
        r.gradient = length(grad);
        return r;
    }

    // The eight shape values at q (the lumped weights of the nodes).
    __host__ __device__ static void shapeAt(Vec3 q, float N[8])
    {
        const float xm = 1.0f - q.x, xp = 1.0f + q.x, ym = 1.0f - q.y, yp = 1.0f + q.y;
        const float zm = 0.125f * (1.0f - q.z), zp = 0.125f * (1.0f + q.z);
        N[0] = xm * ym * zm;
        N[1] = xp * ym * zm;
        N[2] = xp * yp * zm;
        N[3] = xm * yp * zm;
        N[4] = xm * ym * zp;
        N[5] = xp * ym * zp;
        N[6] = xp * yp * zp;
        N[7] = xm * yp * zp;
    }

    // Negative inside, zero on the surface, positive outside.
    __host__ __device__ static float overshootError(Vec3 q)
    {
        return maxf(fabsf(q.x), maxf(fabsf(q.y), fabsf(q.z))) - 1.0f;
    }

    // The face of the largest excess beyond the element, candidates in the order xi-, xi+,
    // eta-, eta+, zeta-, zeta+ (faces 2, 3, 4, 5, 0, 1); ties go to the earlier one.
    __host__ __device__ static int getExitFace(Vec3 /*previous*/, Vec3 q)
    {
        const float excess[6] = {-1.0f - q.x, q.x - 1.0f, -1.0f - q.y, q.y - 1.0f, -1.0f - q.z, q.z - 1.0f};
        const int faces[6] = {2, 3, 4, 5, 0, 1};
        float best = -floatInfinity();
        int face = -1;
        for (int i = 0; i < 6; ++i) {
            if (excess[i] > best) {
                best = excess[i];
                face = faces[i];
            }
        }
        return face;
    }
};
