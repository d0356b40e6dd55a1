#include <gtest/gtest.h>

#include <cmath>

#include "kernels/hex8_reference.h"
#include "tracing/hex8_element.h"

namespace {

const Vec3 kUnitCube[8] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
// Not affine: the top face is twisted and tilted.
const Vec3 kDistorted[8] = {{0.0f, 0.1f, -0.2f}, {1.3f, 0.0f, 0.1f}, {1.1f, 1.4f, 0.0f}, {-0.2f, 0.9f, 0.2f},
                            {0.1f, -0.1f, 1.2f}, {1.0f, 0.2f, 0.9f}, {1.5f, 1.2f, 1.6f}, {0.0f, 1.1f, 1.0f}};

// The reference element (shape functions, double-precision Jacobian) on these nodes.
Hex8Reference referenceOf(const Vec3 (&nodes)[8])
{
    Hex8Reference e;
    for (int k = 0; k < 8; ++k) e.nodes[k] = nodes[k];
    return e;
}

TEST(Hex8Element, ShapeValuesAreOneAtTheirCornerAndAnEighthAtTheCentre)
{
    float N[8];
    for (int k = 0; k < 8; ++k) {
        const Hex8Corner c = hex8Corner(k);
        ElementFit::shapeAt(Vec3(c.xi, c.eta, c.zeta), N);
        for (int j = 0; j < 8; ++j) EXPECT_EQ(N[j], j == k ? 1.0f : 0.0f);
    }
    ElementFit::shapeAt(Vec3(0, 0, 0), N);
    for (float n : N) EXPECT_EQ(n, 0.125f);
    const Vec3 q(0.3f, -0.7f, 0.45f);
    float reference[8];
    ElementFit::shapeAt(q, N);
    Hex8Reference::shapeValues(q, reference);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(N[k], reference[k], 1e-7f);
}

TEST(Hex8Element, UnitCubeJacobianAndInverse)
{
    const Hex8Reference reference = referenceOf(kUnitCube);
    const Vec3 q(0.3f, -0.2f, 0.7f);
    double J[3][3];
    reference.jacobian(q, J);
    const ElementFit e = reference.fit();
    float B[3][3];
    ASSERT_TRUE(e.inverseAt(q, B));
    EXPECT_TRUE(e.affine);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(J[i][j], i == j ? 0.5 : 0.0, 1e-7);
            EXPECT_NEAR(B[i][j], i == j ? 2.0f : 0.0f, 1e-6f);
        }
    EXPECT_NEAR(det3x3(J), 0.125, 1e-7);
}

TEST(Hex8Element, GlobalToLocalInvertsLocalToGlobalOnADistortedElement)
{
    const Hex8Reference reference = referenceOf(kDistorted);
    const Vec3 points[] = {{0.3f, -0.6f, 0.2f}, {-0.9f, 0.8f, -0.7f}, {0.99f, 0.0f, 0.5f}, {0, 0, 0}};
    for (const Vec3& q : points) {
        const Vec3 x = reference.localToGlobal(q);
        for (int face : {-1, 0, 3, 5, 17}) {
            const ElementFit fresh = reference.fit();
            const Vec3 back = fresh.globalToLocal(x, face);
            EXPECT_LE(length(fresh.localToGlobal(back) - x), 1e-5f);
            EXPECT_NEAR(back.x, q.x, 1e-4f);
            EXPECT_NEAR(back.y, q.y, 1e-4f);
            EXPECT_NEAR(back.z, q.z, 1e-4f);
        }
    }
}

TEST(Hex8Element, PointOutsideGivesAClampedBoundaryPoint)
{
    const ElementFit e = referenceOf(kUnitCube).fit();
    const Vec3 q = e.globalToLocal(Vec3(3.0f, 0.5f, 0.25f));
    EXPECT_EQ(q.x, 1.0f);
    EXPECT_NEAR(q.y, 0.0f, 1e-5f);
    EXPECT_NEAR(q.z, -0.5f, 1e-5f);
    EXPECT_EQ(ElementFit::overshootError(q), 0.0f);
}

TEST(Hex8Element, ExitFaceAndOvershoot)
{
    const Vec3 any(0, 0, 0);
    EXPECT_EQ(ElementFit::getExitFace(any, Vec3(1.2f, 0, 0)), 3);
    EXPECT_EQ(ElementFit::getExitFace(any, Vec3(0, 0, -1.5f)), 0);
    EXPECT_EQ(ElementFit::getExitFace(any, Vec3(1.1f, 1.1f, 0)), 3); // tie: the earlier candidate
    EXPECT_EQ(ElementFit::getExitFace(any, Vec3(0, 0, 0)), 2);
    EXPECT_EQ(ElementFit::getExitFace(any, Vec3(0, -0.95f, 0.2f)), 4); // inside: the nearest face
    const float nan = std::nanf("");
    EXPECT_EQ(ElementFit::getExitFace(any, Vec3(nan, nan, nan)), -1);
    EXPECT_NEAR(ElementFit::overshootError(Vec3(0.2f, -1.3f, 0.9f)), 0.3f, 1e-6f);
}

TEST(Hex8Element, DegenerateElementIsRefusedAndStaysFinite)
{
    Vec3 nodes[8];
    for (Vec3& n : nodes) n = Vec3(1, 2, 3);
    const Hex8Reference reference = referenceOf(nodes);
    double B[3][3] = {};
    EXPECT_FALSE(reference.inverseJacobian(Vec3(0.1f, 0.2f, 0.3f), B));
    const ElementFit e = reference.fit();
    const Vec3 q = e.globalToLocal(Vec3(5, 5, 5));
    EXPECT_TRUE(std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z));
    float F[3][3];
    EXPECT_FALSE(e.inverseAt(Vec3(0, 0, 0), F));
    EXPECT_EQ(length(e.rate(Vec3(0, 0, 0), Vec3(0, 0, 1)).velocity), 0.0f) << "no motion in a flat element";
}

TEST(Hex8Element, FittedFieldAndGradientReproduceALocallyLinearField)
{
    // A field linear in local coordinates is reproduced on any element; its global gradient
    // satisfies J grad = local gradient.
    const Hex8Reference reference = referenceOf(kDistorted);
    float values[8], alpha[8];
    for (int k = 0; k < 8; ++k) {
        const Hex8Corner c = hex8Corner(k);
        values[k] = 2.0f + 0.5f * c.xi - 0.25f * c.eta + c.zeta;
        alpha[k] = 0.0f;
    }
    ElementFit e = reference.fit();
    e.setFields(values, alpha);
    const Vec3 q(0.2f, -0.4f, 0.6f);
    EXPECT_NEAR(e.index.at(q), 2.0 + 0.1 + 0.1 + 0.6, 1e-6);
    EXPECT_NEAR(Hex8Reference::interpolate(q, values), 2.0 + 0.1 + 0.1 + 0.6, 1e-6);
    const RayRate r = e.rate(q, Vec3(0, 0, 1));
    const Vec3 g = r.bend * (1.0f / r.index);
    double J[3][3];
    reference.jacobian(q, J);
    const double local[3] = {0.5, -0.25, 1.0};
    for (int i = 0; i < 3; ++i) {
        const double projected = J[i][0] * g.x + J[i][1] * g.y + J[i][2] * g.z;
        EXPECT_NEAR(projected, local[i], 1e-5);
    }
}

TEST(Hex8Element, VelocityMovesTheGlobalPointAlongTheVector)
{
    ElementFit e = referenceOf(kDistorted).fit();
    const float n[8] = {1, 1, 1, 1, 1, 1, 1, 1}, alpha[8] = {};
    e.setFields(n, alpha);
    const Vec3 q(0.1f, 0.2f, -0.3f), p(0.3f, -0.5f, 0.8f);
    const Vec3 v = e.rate(q, p).velocity;
    const float eps = 1e-3f;
    const Vec3 moved = (e.localToGlobal(q + v * eps) - e.localToGlobal(q)) * (1.0f / eps);
    EXPECT_NEAR(moved.x, p.x, 2e-3f);
    EXPECT_NEAR(moved.y, p.y, 2e-3f);
    EXPECT_NEAR(moved.z, p.z, 2e-3f);
}

TEST(Hex8Element, PreparedFormsAgreeWithTheShapeFunctions)
{
    float n[8], alpha[8];
    for (int k = 0; k < 8; ++k) {
        n[k] = 1.3f + 0.1f * kDistorted[k].x - 0.07f * kDistorted[k].y * kDistorted[k].z;
        alpha[k] = 0.5f;
    }
    for (const auto* nodes : {&kDistorted, &kUnitCube}) {
        const Hex8Reference reference = referenceOf(*nodes);
        ElementFit e = reference.fit();
        e.setFields(n, alpha);
        EXPECT_EQ(e.affine, nodes == &kUnitCube);
        EXPECT_FALSE(e.uniformIndex);
        EXPECT_TRUE(e.uniformAbsorptivity);
        const Vec3 q(0.3f, -0.7f, 0.45f), p(0.2f, -0.6f, 1.1f);
        const Vec3 x = e.localToGlobal(q), y = reference.localToGlobal(q);
        EXPECT_LT(length(x - y), 1e-6f);
        EXPECT_NEAR(e.index.at(q), Hex8Reference::interpolate(q, n), 1e-6);
        const RayRate r = e.rate(q, p);
        const Vec3 v = reference.localVelocity(q, p), g = reference.interpolateGradient(q, n);
        EXPECT_LT(length(r.velocity - v), 1e-5f * length(v));
        EXPECT_LT(length(r.bend - g * r.index), 1e-5f * length(g));
        EXPECT_NEAR(r.gradient, length(g), 1e-5f * length(g));
    }
}

TEST(Hex8Element, ElementsOfAnySizeInvertAndLocatePoints)
{
    // Metres for micro-optics to kilometres: no absolute tolerance may decide.
    for (float scale : {1e-6f, 1e-3f, 1.0f, 1e3f}) {
        Vec3 nodes[8];
        for (int k = 0; k < 8; ++k) nodes[k] = kDistorted[k] * scale;
        Hex8Reference reference;
        for (int k = 0; k < 8; ++k) reference.nodes[k] = nodes[k];
        const ElementFit e = reference.fit();
        const Vec3 q(0.3f, -0.6f, 0.2f);
        const Vec3 back = e.globalToLocal(reference.localToGlobal(q), 0);
        EXPECT_LT(length(back - q), 1e-4f) << "scale " << scale;
        float B[3][3];
        ASSERT_TRUE(e.inverseAt(q, B)) << "scale " << scale;
        EXPECT_LT(length(e.rate(q, Vec3(0, 0, 1)).velocity - reference.localVelocity(q, Vec3(0, 0, 1))), 1e-5f / scale)
            << "scale " << scale;
    }
}

TEST(Vec3Math, MaxAndMinIgnoreANaNLikeTheLibrary)
{
    const float nan = std::nanf("");
    EXPECT_TRUE(std::isnan(maxf(nan, nan)) && std::isnan(minf(nan, nan)));
    EXPECT_EQ(maxf(nan, 2.0f), 2.0f);
    EXPECT_EQ(maxf(2.0f, nan), 2.0f);
    EXPECT_EQ(minf(nan, -2.0f), -2.0f);
    EXPECT_EQ(minf(-2.0f, nan), -2.0f);
    EXPECT_EQ(maxf(-1.0f, 3.0f), 3.0f);
    EXPECT_EQ(minf(-1.0f, 3.0f), -1.0f);
}

} // namespace
