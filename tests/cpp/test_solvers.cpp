#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "kernels/element_selftest.h"
#include "tracing/solvers.h"

namespace {

using tracing::selftest::ElementInput;
using tracing::selftest::Integrator;

// A cube [0, L]^3 in node order; n and alpha per node from functions of the position.
template <typename N, typename A>
ElementInput cube(float L, N index, A absorptivity, float mass = 0.125f)
{
    ElementInput in{};
    for (int k = 0; k < 8; ++k) {
        const Hex8Corner c = hex8Corner(k);
        in.nodes[k] = Vec3(0.5f * L * (1 + c.xi), 0.5f * L * (1 + c.eta), 0.5f * L * (1 + c.zeta));
        in.refrIndex[k] = index(in.nodes[k]);
        in.absorptivity[k] = absorptivity(in.nodes[k]);
        in.nodalMass[k] = mass;
    }
    return in;
}

ElementFit elementOf(const ElementInput& in)
{
    ElementFit e;
    e.prepare(in.nodes);
    e.setFields(in.refrIndex, in.absorptivity);
    return e;
}

StateVector stateAt(Vec3 local, Vec3 p, float energy)
{
    StateVector s;
    s.pos = local;
    s.dir = p;
    s.energy = energy;
    return s;
}

float depositedPower(const StateVector& s, const ElementInput& in)
{
    float sum = 0;
    for (int i = 0; i < 8; ++i) sum += s.absorbed[i] * in.nodalMass[i];
    return sum;
}

TEST(Solvers, HomogeneousElementMovesTheRayStraightByHTimesP)
{
    const ElementInput in = cube(
        2.0f, [](Vec3) { return 1.5f; }, [](Vec3) { return 0.0f; });
    const Vec3 p = Vec3(0.6f, 0.0f, 0.8f) * 1.5f;
    for (Integrator kind : {Integrator::Euler, Integrator::RungeKutta}) {
        Vec3 moved;
        const StateVector s =
            tracing::selftest::integrateInElement(in, stateAt(Vec3(0, 0, 0), p, 1.0f), kind, 0.1f, 1, &moved);
        EXPECT_NEAR(moved.x, 1.0f + 0.1f * p.x, 1e-6f);
        EXPECT_NEAR(moved.y, 1.0f, 1e-6f);
        EXPECT_NEAR(moved.z, 1.0f + 0.1f * p.z, 1e-6f);
        EXPECT_EQ(s.dir, p);                           // no bending
        EXPECT_NEAR(s.pathLength, 0.1f * 1.5f, 1e-6f); // ds = |p| dsigma
        EXPECT_EQ(s.energy, 1.0f);                     // alpha 0: nothing absorbed
        for (float a : s.absorbed) EXPECT_EQ(a, 0.0f);
    }
}

TEST(Solvers, AStepOfLargeOpticalDepthLosesExactlyItsBeerLambertShare)
{
    // alpha n h = 1.5: an explicit step of the power would take 150 % of it; the exact
    // exponential keeps exp(-1.5) and deposits the rest, for both solvers.
    const ElementInput in = cube(
        1.0f, [](Vec3) { return 1.0f; }, [](Vec3) { return 15.0f; });
    const StateVector start = stateAt(Vec3(0.1f, -0.3f, 0.2f), Vec3(1, 0, 0), 2.0f);
    for (Integrator kind : {Integrator::Euler, Integrator::RungeKutta}) {
        const StateVector s = tracing::selftest::integrateInElement(in, start, kind, 0.1f, 1, nullptr);
        EXPECT_NEAR(s.energy, 2.0f * std::exp(-1.5f), 1e-6f);
        EXPECT_NEAR(s.energy + depositedPower(s, in), 2.0f, 2e-6f);
        for (float a : s.absorbed) EXPECT_GE(a, 0.0f);
    }
}

TEST(Solvers, NodalSplitOfAStepIsTheExactIntegralInAUniformAbsorber)
{
    // A chord across a unit cube; the share of node k is the integral of N_k(t) tau
    // exp(-tau t) dt along it, computed here by a fine midpoint rule.
    const ElementInput in = cube(
        1.0f, [](Vec3) { return 1.0f; }, [](Vec3) { return 1.0f; });
    const ElementFit e = elementOf(in);
    const Vec3 from(-0.9f, -0.3f, 0.6f), to(0.8f, 0.5f, -0.7f);
    for (float tau : {1e-4f, 0.3f, 0.99f, 1.01f, 4.0f, 40.0f, 3e4f}) {
        ElementFit element = e;
        element.absorptivity.c[0] = tau; // n 1, h 1: depth tau
        StateVector s = stateAt(to, Vec3(1, 0, 0), 1.0f);
        absorbAlongStep(&s, element, from, to - from, 1.0f);
        const double drop = -std::expm1(-static_cast<double>(tau));
        EXPECT_NEAR(s.energy, 1.0 - drop, 1e-6);
        double exact[8] = {};
        const int n = 200000;
        for (int i = 0; i < n; ++i) {
            const double t = (i + 0.5) / n, w = tau * std::exp(-tau * t) / n;
            float N[8];
            ElementFit::shapeAt(from + (to - from) * static_cast<float>(t), N);
            for (int k = 0; k < 8; ++k) exact[k] += w * N[k];
        }
        for (int k = 0; k < 8; ++k)
            EXPECT_NEAR(s.absorbed[k], exact[k], 2e-6 + 2e-3 * exact[k]) << "tau " << tau << " node " << k;
    }
}

TEST(Solvers, AbsorptionFollowsBeerLambertAndConservesPower)
{
    // Constant alpha and n: E(s) = E0 exp(-alpha s); everything lost is deposited.
    const float alpha = 0.8f;
    const ElementInput in = cube(
        4.0f, [](Vec3) { return 1.0f; }, [=](Vec3) { return alpha; }, 8.0f);
    const StateVector s = tracing::selftest::integrateInElement(in, stateAt(Vec3(-0.9f, 0, 0), Vec3(1, 0, 0), 1.0f),
                                                                Integrator::RungeKutta, 0.05f, 40, nullptr);
    EXPECT_NEAR(s.pathLength, 2.0f, 1e-5f);
    EXPECT_NEAR(s.energy, std::exp(-alpha * 2.0f), 1e-6f);
    EXPECT_NEAR(s.energy + depositedPower(s, in), 1.0f, 1e-6f);
}

TEST(Solvers, RungeKuttaIsTheClassicalCombinationOfItsStages)
{
    const ElementInput in = cube(
        2.0f, [](Vec3 x) { return 1.2f + 0.1f * x.x - 0.05f * x.y * x.z; }, [](Vec3 x) { return 0.1f + 0.02f * x.z; });
    const StateVector s0 = stateAt(Vec3(0.1f, -0.2f, 0.3f), Vec3(0.5f, 0.9f, -0.3f), 1.0f);
    const float h = 0.2f;
    const ElementFit e = elementOf(in);
    const RayRate k1 = e.rate(s0.pos, s0.dir);
    const RayRate k2 = e.rate(s0.pos + k1.velocity * (0.5f * h), s0.dir + k1.bend * (0.5f * h));
    const RayRate k3 = e.rate(s0.pos + k2.velocity * (0.5f * h), s0.dir + k2.bend * (0.5f * h));
    const RayRate k4 = e.rate(s0.pos + k3.velocity * h, s0.dir + k3.bend * h);
    StateVector s = s0;
    tracing::selftest::fixedStep(RungeKutta4<>(), &s, e, h);
    auto expect = [&](float got, float a, float b, float c, float d, float start) {
        EXPECT_NEAR(got, start + h * (a + 2 * b + 2 * c + d) / 6, 1e-6f);
    };
    for (int i = 0; i < 3; ++i) {
        expect(s.pos[i], k1.velocity[i], k2.velocity[i], k3.velocity[i], k4.velocity[i], s0.pos[i]);
        expect(s.dir[i], k1.bend[i], k2.bend[i], k3.bend[i], k4.bend[i], s0.dir[i]);
    }
    // The power falls by exp(-depth) along the step, everything lost deposited (a step
    // deposits power per node; a visit divides by the nodal volumes).
    EXPECT_LT(s.energy, 1.0f);
    EXPECT_NEAR(s.energy + std::accumulate(s.absorbed, s.absorbed + 8, 0.0f), 1.0f, 1e-6f);
}

TEST(Solvers, ExhaustedRayStaysAtZeroWithoutNaN)
{
    const ElementInput in = cube(
        1.0f, [](Vec3) { return 1.3f; }, [](Vec3) { return 0.0f; });
    for (Integrator kind : {Integrator::Euler, Integrator::RungeKutta}) {
        const StateVector s = tracing::selftest::integrateInElement(in, stateAt(Vec3(0, 0, 0), Vec3(0, 0, 1.3f), 0.0f),
                                                                    kind, 0.1f, 3, nullptr);
        EXPECT_EQ(s.energy, 0.0f);
        for (float a : s.absorbed) EXPECT_EQ(a, 0.0f);
        EXPECT_TRUE(std::isfinite(s.pos.z));
    }
}

// The error of integrating sigma in [0, S] in an index n = n0 + k x, which the trilinear
// element represents exactly, against the closed form
//   x(sigma) = -n0/k + A cosh(k sigma) + B sinh(k sigma),  y, z straight.
double positionError(Integrator kind, float k, float h, int steps)
{
    const float n0 = 1.0f, L = 4.0f;
    const ElementInput in = cube(
        L, [&](Vec3 x) { return n0 + k * x.x; }, [](Vec3) { return 0.0f; }, 1.0f);
    const Vec3 x0(0.5f, 2.0f, 2.0f);
    const float n = n0 + k * x0.x;
    const Vec3 p0 = Vec3(0.8f, 0.6f, 0.0f) * n;
    const Vec3 local(2 * x0.x / L - 1, 2 * x0.y / L - 1, 2 * x0.z / L - 1);
    Vec3 got;
    tracing::selftest::integrateInElement(in, stateAt(local, p0, 1.0f), kind, h, steps, &got);
    const double S = static_cast<double>(h) * steps;
    const double A = x0.x + n0 / k, B = p0.x / k;
    const double x = -n0 / k + A * std::cosh(k * S) + B * std::sinh(k * S);
    const double y = x0.y + p0.y * S;
    return std::sqrt((got.x - x) * (got.x - x) + (got.y - y) * (got.y - y) + (got.z - x0.z) * (got.z - x0.z));
}

TEST(Solvers, EulerConvergesAtFirstOrder)
{
    const double e1 = positionError(Integrator::Euler, 0.25f, 0.1f, 20);
    const double e2 = positionError(Integrator::Euler, 0.25f, 0.05f, 40);
    const double e3 = positionError(Integrator::Euler, 0.25f, 0.025f, 80);
    EXPECT_GT(e3, 1e-4) << "stay above float round-off";
    EXPECT_GT(e1 / e2, 1.6);
    EXPECT_LT(e1 / e2, 2.6);
    EXPECT_GT(e2 / e3, 1.6);
    EXPECT_LT(e2 / e3, 2.6);
}

TEST(Solvers, RungeKuttaConvergesAtFourthOrder)
{
    // A stronger gradient (n from 1 to 3 across the element) keeps the finest error well
    // above float round-off of the positions (about 3e-7).
    const double e1 = positionError(Integrator::RungeKutta, 0.5f, 0.75f, 2);
    const double e2 = positionError(Integrator::RungeKutta, 0.5f, 0.375f, 4);
    const double e3 = positionError(Integrator::RungeKutta, 0.5f, 0.1875f, 8);
    EXPECT_GT(e3, 1e-6) << "stay above float round-off";
    EXPECT_GT(e1 / e2, 10.0);
    EXPECT_LT(e1 / e2, 24.0);
    EXPECT_GT(e2 / e3, 10.0);
    EXPECT_LT(e2 / e3, 24.0);
}

} // namespace
