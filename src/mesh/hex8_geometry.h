// Trilinear HEX8 shape functions, Jacobian, its inverse and volume, shared by the mesh's
// nodal volume, the curing model's element matrices and the tracer's element. Node k sits
// at the local corner kHex8Corner[k] of [-1, 1]^3.
#pragma once

#include "common/vec3.h"
#include "device/device.h"

struct Hex8Corner {
    float xi, eta, zeta;
};

__host__ __device__ constexpr Hex8Corner hex8Corner(int k)
{
    constexpr Hex8Corner corners[8] = {{-1, -1, -1}, {+1, -1, -1}, {+1, +1, -1}, {-1, +1, -1},
                                       {-1, -1, +1}, {+1, -1, +1}, {+1, +1, +1}, {-1, +1, +1}};
    return corners[k];
}

// dN_k/dxi, dN_k/deta, dN_k/dzeta at q (float, the signed factor 0.125 first).
__host__ __device__ inline void hex8ShapeDerivs(Vec3 q, float derivs[8][3])
{
    for (int k = 0; k < 8; ++k) {
        const Hex8Corner c = hex8Corner(k);
        const float a = 1.0f + c.xi * q.x;
        const float b = 1.0f + c.eta * q.y;
        const float d = 1.0f + c.zeta * q.z;
        derivs[k][0] = 0.125f * c.xi * b * d;
        derivs[k][1] = 0.125f * c.eta * a * d;
        derivs[k][2] = 0.125f * c.zeta * a * b;
    }
}

// J[i][j] = dx_j / dxi_i: each float product widened to double before it is added.
__host__ __device__ inline void hex8Jacobian(const Vec3 nodes[8], const float derivs[8][3], double J[3][3])
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) J[i][j] = 0.0;
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) J[i][j] += static_cast<double>(derivs[k][i] * nodes[k][j]);
}

// Inverts A into B. Returns 0 and leaves B untouched when A is singular relative to its size
// (|det A| <= tolerance |a0| |a1| |a2|, the a_i its rows): an absolute threshold would call
// every element of a mesh written in metres singular.
__host__ __device__ inline float squareRoot(float x) { return sqrtf(x); }
__host__ __device__ inline double squareRoot(double x) { return sqrt(x); }
__host__ __device__ inline float absolute(float x) { return fabsf(x); }
__host__ __device__ inline double absolute(double x) { return fabs(x); }

template <typename T>
__host__ __device__ inline int invert3x3(const T A[3][3], T B[3][3], T tolerance)
{
    const T c00 = A[1][1] * A[2][2] - A[1][2] * A[2][1];
    const T c10 = A[1][0] * A[2][2] - A[1][2] * A[2][0];
    const T c20 = A[1][0] * A[2][1] - A[1][1] * A[2][0];
    const T det = A[0][0] * c00 - A[0][1] * c10 + A[0][2] * c20;
    T scale = 1;
    for (int i = 0; i < 3; ++i) scale *= squareRoot(A[i][0] * A[i][0] + A[i][1] * A[i][1] + A[i][2] * A[i][2]);
    if (!(absolute(det) > tolerance * scale)) return 0;
    const T r = T(1) / det;
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

// A Jacobian inverse in double (the curing model's element matrices).
__host__ __device__ inline int invert3x3matrix(const double A[3][3], double B[3][3]) { return invert3x3(A, B, 1e-12); }

// The same in float, for the per-visit work.
__host__ __device__ inline int invert3x3(const float A[3][3], float B[3][3]) { return invert3x3(A, B, 1e-6f); }

// Cofactor expansion along the first row.
__host__ __device__ inline double det3x3(const double A[3][3])
{
    const double c00 = A[1][1] * A[2][2] - A[1][2] * A[2][1];
    const double c10 = A[1][0] * A[2][2] - A[1][2] * A[2][0];
    const double c20 = A[1][0] * A[2][1] - A[1][1] * A[2][0];
    return A[0][0] * c00 - A[0][1] * c10 + A[0][2] * c20;
}

// det J at the eight points of the 2x2x2 Gauss rule, in the rule's order.
__host__ __device__ inline void hex8GaussDeterminants(const Vec3 nodes[8], double dets[8])
{
    constexpr float g = 0.57735026919f;
    int i = 0;
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 2; ++c) {
                const Vec3 q(a ? g : -g, b ? g : -g, c ? g : -g);
                float derivs[8][3];
                double J[3][3];
                hex8ShapeDerivs(q, derivs);
                hex8Jacobian(nodes, derivs, J);
                dets[i++] = det3x3(J);
            }
}

// Signed volume by the 2x2x2 Gauss rule (unit weights); negative for a mirrored element.
__host__ __device__ inline double hex8Volume(const Vec3 nodes[8])
{
    double dets[8];
    hex8GaussDeterminants(nodes, dets);
    double volume = 0.0;
    for (double d : dets) volume += d;
    return volume;
}

// +1 for an element whose Jacobian is positive at every Gauss point, -1 for one whose
// node order is mirrored (negative at every point), 0 for one that is degenerate or
// tangled (a determinant that vanishes or changes sign): no node order makes it valid.
__host__ __device__ inline int hex8Orientation(const Vec3 nodes[8])
{
    double dets[8];
    hex8GaussDeterminants(nodes, dets);
    int positive = 0, negative = 0;
    for (double d : dets) {
        positive += d > 0.0;
        negative += d < 0.0;
    }
    return positive == 8 ? 1 : negative == 8 ? -1 : 0;
}

// hex8Orientation of the element with these node ids, positions looked up by `position`.
template <typename Position>
inline int hex8OrientationOf(const int ids[8], Position position)
{
    Vec3 nodes[8];
    for (int k = 0; k < 8; ++k) nodes[k] = position(ids[k]);
    return hex8Orientation(nodes);
}

// The same element with its faces zeta = -1 and zeta = +1 swapped: a mirrored element
// becomes a positive one, its faces and neighbours unchanged.
constexpr int kHex8Mirror[8] = {4, 5, 6, 7, 0, 1, 2, 3};
