// A reference for the element the walk uses (ElementFit): the trilinear hexahedron through
// its eight shape functions, with the Jacobian and its inverse in double precision, computed
// afresh at every point. Tests compare ElementFit's fitted forms against it, and the test
// kernels use it to map local points back to global ones independently of the fit.
#pragma once

#include "common/vec3.h"
#include "mesh/hex8_geometry.h"
#include "tracing/hex8_element.h"

struct Hex8Reference {
    Vec3 nodes[8];

    __host__ __device__ static void shapeValues(Vec3 q, float N[8])
    {
        for (int k = 0; k < 8; ++k) {
            const Hex8Corner c = hex8Corner(k);
            N[k] = 0.125f * (1.0f + c.xi * q.x) * (1.0f + c.eta * q.y) * (1.0f + c.zeta * q.z);
        }
    }

    __host__ __device__ void jacobian(Vec3 q, double J[3][3]) const
    {
        float derivs[8][3];
        hex8ShapeDerivs(q, derivs);
        hex8Jacobian(nodes, derivs, J);
    }

    // J^-1 at q into B; false (B untouched) where the element is singular.
    __host__ __device__ bool inverseJacobian(Vec3 q, double B[3][3]) const
    {
        double J[3][3];
        jacobian(q, J);
        return invert3x3matrix(J, B) != 0;
    }

    __host__ __device__ Vec3 localToGlobal(Vec3 q) const
    {
        float N[8];
        shapeValues(q, N);
        Vec3 x(0.0f, 0.0f, 0.0f);
        for (int k = 0; k < 8; ++k) {
            x.x += N[k] * nodes[k].x;
            x.y += N[k] * nodes[k].y;
            x.z += N[k] * nodes[k].z;
        }
        return x;
    }

    // d(xi)/d(sigma) that moves the global point along p: J^-T p (zero where singular).
    __host__ __device__ Vec3 localVelocity(Vec3 q, Vec3 p) const
    {
        double B[3][3] = {};
        inverseJacobian(q, B);
        Vec3 v;
        for (int i = 0; i < 3; ++i) {
            double sum = 0.0;
            for (int j = 0; j < 3; ++j) sum += B[j][i] * static_cast<double>(p[j]);
            v[i] = static_cast<float>(sum);
        }
        return v;
    }

    __host__ __device__ static double interpolate(Vec3 q, const float values[8])
    {
        float N[8];
        shapeValues(q, N);
        double sum = 0.0;
        for (int k = 0; k < 8; ++k) sum += static_cast<double>(N[k]) * static_cast<double>(values[k]);
        return sum;
    }

    // Global gradient J^-1 (sum_k grad_xi N_k v_k).
    __host__ __device__ Vec3 interpolateGradient(Vec3 q, const float values[8]) const
    {
        float derivs[8][3];
        hex8ShapeDerivs(q, derivs);
        double B[3][3] = {};
        inverseJacobian(q, B);
        float g[3] = {0.0f, 0.0f, 0.0f};
        for (int k = 1; k < 8; ++k)
            for (int i = 0; i < 3; ++i) g[i] += derivs[k][i] * (values[k] - values[0]);
        Vec3 grad;
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int i = 0; i < 3; ++i) sum += B[j][i] * static_cast<double>(g[i]);
            grad[j] = static_cast<float>(sum);
        }
        return grad;
    }

    // The walk's element on these nodes.
    __host__ __device__ ElementFit fit() const
    {
        ElementFit e;
        e.prepare(nodes);
        return e;
    }
};
