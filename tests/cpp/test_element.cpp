#include <gtest/gtest.h>

#include <cmath>

#include "tracing/hex8_element.h"

namespace {

const Vec3 kUnitCube[8] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
// Not affine: the top face is twisted and tilted.
const Vec3 kDistorted[8] = {{0.0f, 0.1f, -0.2f}, {1.3f, 0.0f, 0.1f}, {1.1f, 1.4f, 0.0f}, {-0.2f, 0.9f, 0.2f},
                            {0.1f, -0.1f, 1.2f}, {1.0f, 0.2f, 0.9f}, {1.5f, 1.2f, 1.6f}, {0.0f, 1.1f, 1.0f}};

HEX8Element elementOf(const Vec3 (&nodes)[8])
{
    HEX8Element e;
    for (int k = 0; k < 8; ++k) e.nodes[k] = nodes[k];
    return e;
}

TEST(Hex8Element, ShapeValuesAreOneAtTheirCornerAndAnEighthAtTheCentre)
{
    HEX8Element e = elementOf(kUnitCube);
    for (int k = 0; k < 8; ++k) {
        const Hex8Corner c = hex8Corner(k);
        e.evalShapeValues(Vec3(c.xi, c.eta, c.zeta));
        for (int j = 0; j < 8; ++j) EXPECT_EQ(e.shapeValues[j], j == k ? 1.0f : 0.0f);
    }
    e.evalShapeValues(Vec3(0, 0, 0));
    for (float n : e.shapeValues) EXPECT_EQ(n, 0.125f);
}

TEST(Hex8Element, UnitCubeJacobianAndInverse)
{
    HEX8Element e = elementOf(kUnitCube);
    e.evalInvJacobian(Vec3(0.3f, -0.2f, 0.7f));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_NEAR(e.jacobian[i][j], i == j ? 0.5 : 0.0, 1e-7);
            EXPECT_NEAR(e.invJacobian[i][j], i == j ? 2.0 : 0.0, 1e-6);
        }
    EXPECT_NEAR(det3x3(e.jacobian), 0.125, 1e-7);
}

TEST(Hex8Element, GlobalToLocalInvertsLocalToGlobalOnADistortedElement)
{
    HEX8Element e = elementOf(kDistorted);
    const Vec3 points[] = {{0.3f, -0.6f, 0.2f}, {-0.9f, 0.8f, -0.7f}, {0.99f, 0.0f, 0.5f}, {0, 0, 0}};
    for (const Vec3& q : points) {
        const Vec3 x = e.localToGlobal(q);
        for (int face : {-1, 0, 3, 5, 17}) {
            HEX8Element fresh = elementOf(kDistorted);
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
    HEX8Element e = elementOf(kUnitCube);
    const Vec3 q = e.globalToLocal(Vec3(3.0f, 0.5f, 0.25f));
    EXPECT_EQ(q.x, 1.0f);
    EXPECT_NEAR(q.y, 0.0f, 1e-5f);
    EXPECT_NEAR(q.z, -0.5f, 1e-5f);
    EXPECT_EQ(HEX8Element::overshootError(q), 0.0f);
}

TEST(Hex8Element, ExitFaceAndOvershoot)
{
    const Vec3 any(0, 0, 0);
    EXPECT_EQ(HEX8Element::getExitFace(any, Vec3(1.2f, 0, 0)), 3);
    EXPECT_EQ(HEX8Element::getExitFace(any, Vec3(0, 0, -1.5f)), 0);
    EXPECT_EQ(HEX8Element::getExitFace(any, Vec3(1.1f, 1.1f, 0)), 3); // tie: the earlier candidate
    EXPECT_EQ(HEX8Element::getExitFace(any, Vec3(0, 0, 0)), 2);
    EXPECT_EQ(HEX8Element::getExitFace(any, Vec3(0, -0.95f, 0.2f)), 4); // inside: the nearest face
    const float nan = std::nanf("");
    EXPECT_EQ(HEX8Element::getExitFace(any, Vec3(nan, nan, nan)), -1);
    EXPECT_NEAR(HEX8Element::overshootError(Vec3(0.2f, -1.3f, 0.9f)), 0.3f, 1e-6f);
}

TEST(Hex8Element, CachesMatchWithinOneTenBillionth)
{
    HEX8Element e = elementOf(kDistorted);
    e.evalInvJacobian(Vec3(0, 0, 0));
    e.evalInvJacobian(Vec3(0, 1e-11f, 0));
    EXPECT_EQ(e.invJacobianAt.y, 0.0f) << "1e-11 away is the same point";
    EXPECT_EQ(e.jacobianAt.y, 0.0f);
    e.evalInvJacobian(Vec3(0, 1e-9f, 0));
    EXPECT_EQ(e.invJacobianAt.y, 1e-9f) << "1e-9 away is another point";
    EXPECT_EQ(e.jacobianAt.y, 1e-9f);
    EXPECT_EQ(e.shapeDerivsAt.y, 1e-9f);
    EXPECT_EQ(e.shapeValuesAt.x, -100.0f) << "the shape-value cache is independent";
}

TEST(Hex8Element, DegenerateElementKeepsItsInverseAndStaysFinite)
{
    HEX8Element e;
    for (Vec3& n : e.nodes) n = Vec3(1, 2, 3);
    e.evalInvJacobian(Vec3(0.1f, 0.2f, 0.3f));
    for (auto& row : e.invJacobian)
        for (double v : row) EXPECT_EQ(v, 0.0);
    const Vec3 q = e.globalToLocal(Vec3(5, 5, 5));
    EXPECT_TRUE(std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z));
    e.prepare();
    float B[3][3];
    EXPECT_FALSE(e.inverseAt(Vec3(0, 0, 0), B));
}

TEST(Hex8Element, InterpolationReproducesATrilinearField)
{
    HEX8Element e = elementOf(kDistorted);
    // A field linear in global coordinates is reproduced exactly by an affine element only;
    // a field linear in local coordinates is reproduced on any element.
    float values[8];
    for (int k = 0; k < 8; ++k) {
        const Hex8Corner c = hex8Corner(k);
        values[k] = 2.0f + 0.5f * c.xi - 0.25f * c.eta + c.zeta;
    }
    const Vec3 q(0.2f, -0.4f, 0.6f);
    EXPECT_NEAR(e.interpolate(q, values), 2.0 + 0.1 + 0.1 + 0.6, 1e-6);
    // Its global gradient satisfies J grad = local gradient.
    const Vec3 g = e.interpolateGradient(q, values);
    const double local[3] = {0.5, -0.25, 1.0};
    for (int i = 0; i < 3; ++i) {
        const double projected = e.jacobian[i][0] * g.x + e.jacobian[i][1] * g.y + e.jacobian[i][2] * g.z;
        EXPECT_NEAR(projected, local[i], 1e-5);
    }
}

TEST(Hex8Element, VelocityMovesTheGlobalPointAlongTheVector)
{
    HEX8Element e = elementOf(kDistorted);
    const Vec3 q(0.1f, 0.2f, -0.3f), p(0.3f, -0.5f, 0.8f);
    const Vec3 v = e.localVelocity(q, p);
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
        HEX8Element e = elementOf(*nodes);
        e.prepare();
        e.setFields(n, alpha);
        EXPECT_EQ(e.affine, nodes == &kUnitCube);
        EXPECT_FALSE(e.uniformIndex);
        EXPECT_TRUE(e.uniformAbsorptivity);
        const Vec3 q(0.3f, -0.7f, 0.45f), p(0.2f, -0.6f, 1.1f);
        const Vec3 x = e.geometry.at(q), y = e.localToGlobal(q);
        EXPECT_LT(length(x - y), 1e-6f);
        EXPECT_NEAR(e.index.at(q), e.interpolate(q, n), 1e-6);
        const RayRate r = e.rate(q, p);
        const Vec3 v = e.localVelocity(q, p), g = e.interpolateGradient(q, n);
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
        HEX8Element e = elementOf(nodes);
        const Vec3 q(0.3f, -0.6f, 0.2f);
        const Vec3 back = e.globalToLocal(e.localToGlobal(q), 0);
        EXPECT_LT(length(back - q), 1e-4f) << "scale " << scale;
        e.prepare();
        float B[3][3];
        ASSERT_TRUE(e.inverseAt(q, B)) << "scale " << scale;
        EXPECT_LT(length(e.rate(q, Vec3(0, 0, 1)).velocity - e.localVelocity(q, Vec3(0, 0, 1))),
                  1e-5f / scale) << "scale " << scale;
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

TEST(Hex8Element, ReferenceIndexProfile)
{
    EXPECT_FLOAT_EQ(linearRefrIndexGradient(Vec3(0, 0, 7)), 2.0f);
    EXPECT_FLOAT_EQ(linearRefrIndexGradient(Vec3(0.6f, 0.8f, 0)), 1.0f);
}

} // namespace
