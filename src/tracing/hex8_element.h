// The trilinear 8-node hexahedron the tracer works on: shape functions, Jacobian and its
// inverse, the maps between local (xi, eta, zeta) and global coordinates, interpolation of
// nodal fields and their gradients. Four point-keyed caches let the many evaluations of a
// solver step at one point share their work. An element is a value in one thread's local
// storage; everything compiles for host and device.
#pragma once

#include <cmath>

#include "common/vec3.h"
#include "device/device.h"
#include "mesh/hex8_geometry.h"
#include "mesh/mesh_data.h"

// Inverts A into B (double). Returns 0 and leaves B untouched when |det A| < 1e-12.
__host__ __device__ inline int invert3x3matrix(const double A[3][3], double B[3][3])
{
    const double c00 = A[1][1] * A[2][2] - A[1][2] * A[2][1];
    const double c10 = A[1][0] * A[2][2] - A[1][2] * A[2][0];
    const double c20 = A[1][0] * A[2][1] - A[1][1] * A[2][0];
    const double det = A[0][0] * c00 - A[0][1] * c10 + A[0][2] * c20;
    if (fabs(det) < 1e-12) return 0;
    const double r = 1.0 / det;
    B[0][0] = c00 * r;
    B[0][1] = -(A[0][1] * A[2][2] - A[0][2] * A[2][1]) * r;
    B[0][2] = (A[0][1] * A[1][2] - A[0][2] * A[1][1]) * r;
    B[1][0] = -c10 * r;
    B[1][1] = (A[0][0] * A[2][2] - A[0][2] * A[2][0]) * r;
    B[1][2] = -(A[0][0] * A[1][2] - A[0][2] * A[1][0]) * r;
    B[2][0] = c20 * r;
    B[2][1] = -(A[0][0] * A[2][1] - A[0][1] * A[2][0]) * r;
    B[2][2] = (A[0][0] * A[1][1] - A[0][1] * A[1][0]) * r;
    return 1;
}

// The analytic radial reference profile sqrt(4 (1 - 0.75 r^2)), r = sqrt(x^2 + y^2):
// 2 on the axis, 1 at r = 1.
__host__ __device__ inline float linearRefrIndexGradient(Vec3 p)
{
    const float r = sqrtf(p.x * p.x + p.y * p.y);
    return sqrtf(4.0f * (1.0f - 0.75f * r * r));
}

struct HEX8Element {
    int elementId = -1;
    Vec3 nodes[8];
    float shapeValues[8] = {};
    float shapeDerivs[8][3] = {};
    double jacobian[3][3] = {};
    double invJacobian[3][3] = {}; // zero until the first successful inversion
    double volume = 0.0;
    float nodalMass[8] = {};
    bool nodesSet = false;
    // Keys of the four caches; -100 matches no local point, so the first evaluation computes.
    Vec3 jacobianAt{-100.0f, -100.0f, -100.0f};
    Vec3 invJacobianAt{-100.0f, -100.0f, -100.0f};
    Vec3 shapeValuesAt{-100.0f, -100.0f, -100.0f};
    Vec3 shapeDerivsAt{-100.0f, -100.0f, -100.0f};

    // A cached value is reused when every component differs from its key by at most 1e-10
    // (difference taken in float, compared in double).
    __host__ __device__ static bool sameKey(Vec3 q, Vec3 key)
    {
        return static_cast<double>(fabsf(q.x - key.x)) <= 1e-10 && static_cast<double>(fabsf(q.y - key.y)) <= 1e-10 &&
               static_cast<double>(fabsf(q.z - key.z)) <= 1e-10;
    }

    __host__ __device__ void evalShapeValues(Vec3 q)
    {
        if (sameKey(q, shapeValuesAt)) return;
        shapeValuesAt = q;
        for (int k = 0; k < 8; ++k) {
            const Hex8Corner c = hex8Corner(k);
            shapeValues[k] = 0.125f * (1.0f + c.xi * q.x) * (1.0f + c.eta * q.y) * (1.0f + c.zeta * q.z);
        }
    }

    __host__ __device__ void evalShapeDerivs(Vec3 q)
    {
        if (sameKey(q, shapeDerivsAt)) return;
        shapeDerivsAt = q;
        hex8ShapeDerivs(q, shapeDerivs);
    }

    __host__ __device__ void evalJacobian(Vec3 q)
    {
        if (sameKey(q, jacobianAt)) return;
        jacobianAt = q;
        evalShapeDerivs(q);
        hex8Jacobian(nodes, shapeDerivs, jacobian);
    }

    // A singular Jacobian keeps the previous inverse.
    __host__ __device__ void evalInvJacobian(Vec3 q)
    {
        if (sameKey(q, invJacobianAt)) return;
        invJacobianAt = q;
        evalJacobian(q);
        invert3x3matrix(jacobian, invJacobian);
    }

    __host__ __device__ Vec3 localToGlobal(Vec3 q)
    {
        evalShapeValues(q);
        Vec3 x(0.0f, 0.0f, 0.0f);
        for (int k = 0; k < 8; ++k) {
            x.x += shapeValues[k] * nodes[k].x;
            x.y += shapeValues[k] * nodes[k].y;
            x.z += shapeValues[k] * nodes[k].z;
        }
        return x;
    }

    // d(xi)/d(sigma) that moves the global point along p: J^-T p.
    __host__ __device__ Vec3 localVelocity(Vec3 q, Vec3 p)
    {
        evalInvJacobian(q);
        Vec3 v;
        for (int i = 0; i < 3; ++i) {
            double sum = 0.0;
            for (int j = 0; j < 3; ++j) sum += invJacobian[j][i] * static_cast<double>(p[j]);
            v[i] = static_cast<float>(sum);
        }
        return v;
    }

    __host__ __device__ double interpolate(Vec3 q, const float values[8])
    {
        evalShapeValues(q);
        double sum = 0.0;
        for (int k = 0; k < 8; ++k) sum += static_cast<double>(shapeValues[k]) * static_cast<double>(values[k]);
        return sum;
    }

    // Global gradient J^-1 (sum_k grad_xi N_k v_k). The values are taken relative to node
    // 0's (the derivatives sum to zero, so the gradient is the same): a constant field then
    // has a gradient of exactly zero instead of float round-off, which would bend rays in a
    // homogeneous medium.
    __host__ __device__ Vec3 interpolateGradient(Vec3 q, const float values[8])
    {
        evalShapeDerivs(q);
        evalInvJacobian(q);
        float g[3] = {0.0f, 0.0f, 0.0f};
        for (int k = 1; k < 8; ++k)
            for (int i = 0; i < 3; ++i) g[i] += shapeDerivs[k][i] * (values[k] - values[0]);
        Vec3 grad;
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int i = 0; i < 3; ++i) sum += invJacobian[j][i] * static_cast<double>(g[i]);
            grad[j] = static_cast<float>(sum);
        }
        return grad;
    }

    // Newton's method from the centre of the entry face (0-5) or of the element, every
    // iterate clamped to the element; stops at a global residual of 1e-5 or after 200
    // updates and returns the last iterate.
    __host__ __device__ Vec3 globalToLocal(Vec3 target, int face = -1)
    {
        Vec3 q(0.0f, 0.0f, 0.0f);
        if (face >= 0 && face <= 5) {
            const int axis[6] = {2, 2, 0, 0, 1, 1};
            q[axis[face]] = face % 2 == 0 ? -1.0f : 1.0f;
        } else {
            for (float& n : shapeValues) n = 0.125f;
            shapeValuesAt = q;
        }
        Vec3 r = target - localToGlobal(q);
        if (length(r) <= 1e-5f) return q;
        for (int update = 0; update < 200; ++update) {
            q = q + localVelocity(q, r);
            for (int a = 0; a < 3; ++a) q[a] = fminf(fmaxf(q[a], -1.0f), 1.0f);
            r = target - localToGlobal(q);
            if (length(r) <= 1e-5f) break;
        }
        return q;
    }

    __host__ __device__ double computeVolume() const { return hex8Volume(nodes); }

    // Negative inside, zero on the surface, positive outside.
    __host__ __device__ static float overshootError(Vec3 q)
    {
        return fmaxf(fabsf(q.x), fmaxf(fabsf(q.y), fabsf(q.z))) - 1.0f;
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

    __host__ __device__ void setNodes(const MeshDataFlat* mesh, int e)
    {
        for (int k = 0; k < 8; ++k) {
            const int node = mesh->getElementNode(e, k);
            nodes[k] = mesh->getNodeVec(node, mesh->nodeCoords);
            nodalMass[k] = mesh->nodalMass[node];
        }
        nodesSet = true;
        volume = computeVolume();
        elementId = e;
    }
};
