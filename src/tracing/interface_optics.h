// What an optical boundary condition does to a ray: at its start face (the ray enters or
// is refused) and at a boundary face reached from inside (it is reflected or departs).
// Transmitting conditions refract by Snell's law with the Fresnel reflectance (exact, or
// Schlick's approximation where the condition asks for it) and reflect totally where
// refraction is impossible; reflecting conditions are Fresnel mirrors. Rough conditions replace the face normal by a
// Beckmann microfacet normal drawn with the ray's own seed.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/vec3.h"
#include "device/device.h"
#include "device/random.h"
#include "mesh/boundary_condition.h"
#include "mesh/mesh_data.h"
#include "rays/ray.h"

// After every interaction that continues the ray, it moves this far along its new direction.
constexpr float surfaceOffset = 1e-9f;

// One condition as the interactions read it.
struct FaceCondition {
    bool rough;
    float roughness;
    BoundaryConditionInteractionType interactionType;
    float refrIndexReal;
    float refrIndexImag;
    FresnelModel fresnel;
};

__host__ __device__ inline FaceCondition faceConditionOf(const MeshDataFlat* mesh, int bc)
{
    // The record keeps the Python enum's numbers: 1 reflects, anything else transmits.
    const auto interaction = mesh->bcInteractionType[bc] == 1 ? BoundaryConditionInteractionType::REFLECT
                                                              : BoundaryConditionInteractionType::TRANSMIT;
    const FresnelModel fresnel =
        mesh->bcFresnel != nullptr && mesh->bcFresnel[bc] == 1 ? FresnelModel::Schlick : FresnelModel::Exact;
    return {mesh->bcRoughSurface[bc] != 0, mesh->bcRoughness[bc],     interaction,
            mesh->bcRefrIndexReal[bc],     mesh->bcRefrIndexImag[bc], fresnel};
}

// Schlick's approximation; n_i incident side, n_t far side, k the far side's extinction
// coefficient (0 where it does not apply). It reflects between equal indices (3 % at 60
// degrees, 63 % at 85).
__host__ __device__ inline float schlickReflectance(float c, float ni, float nt, float k)
{
    float R0;
    if (k > 0.0f) {
        const float denominator = (ni + nt) * (ni + nt) + k * k;
        R0 = denominator <= 0.0f ? 1.0f : minf(((ni - nt) * (ni - nt) + k * k) / denominator, 1.0f);
    } else {
        const float r = (ni - nt) / (ni + nt);
        R0 = r * r;
    }
    const float x = c < 0.0f ? 1.0f : 1.0f - c;
    const float x2 = x * x;
    const float x5 = x * (x2 * x2);
    const float R = static_cast<float>(static_cast<double>(R0) + (1.0 - static_cast<double>(R0)) * x5);
    return minf(maxf(R, 0.0f), 1.0f);
}

// A complex number for the reflectance of an absorbing medium.
struct Complex {
    double re, im;
};
__host__ __device__ inline Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
__host__ __device__ inline Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
__host__ __device__ inline Complex operator*(Complex a, Complex b)
{
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
__host__ __device__ inline Complex operator/(Complex a, Complex b)
{
    const double d = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}
__host__ __device__ inline double norm2(Complex a) { return a.re * a.re + a.im * a.im; }
// The principal square root.
__host__ __device__ inline Complex complexSqrt(Complex a)
{
    const double r = sqrt(norm2(a));
    const double re = sqrt(fmax(0.5 * (r + a.re), 0.0)), im = sqrt(fmax(0.5 * (r - a.re), 0.0));
    return {re, a.im < 0.0 ? -im : im};
}

// The Fresnel equations for unpolarised light, the mean of the s and p reflectances: c the
// incidence cosine, n_i the incident side's index, n_t + i k the far side's. 1 past the
// critical angle (k = 0) and at grazing incidence; 0 between equal indices at every angle.
__host__ __device__ inline float exactReflectance(float c, float ni, float nt, float k)
{
    const double ci = c < 0.0f ? 0.0 : (c > 1.0f ? 1.0 : static_cast<double>(c));
    if (!(k > 0.0f)) {
        if (ni == nt) return 0.0f;
        const double eta = static_cast<double>(ni) / static_cast<double>(nt);
        const double sinT2 = eta * eta * (1.0 - ci * ci);
        if (sinT2 >= 1.0) return 1.0f;
        const double ct = sqrt(1.0 - sinT2);
        const double a = static_cast<double>(ni), b = static_cast<double>(nt);
        const double rs = (a * ci - b * ct) / (a * ci + b * ct);
        const double rp = (b * ci - a * ct) / (b * ci + a * ct);
        return static_cast<float>(0.5 * (rs * rs + rp * rp));
    }
    // eta = (n_t + i k) / n_i; cos_t = sqrt(1 - sin_i^2 / eta^2).
    const Complex eta{static_cast<double>(nt) / static_cast<double>(ni),
                      static_cast<double>(k) / static_cast<double>(ni)};
    const Complex cosI{ci, 0.0};
    const Complex ct = complexSqrt(Complex{1.0, 0.0} - Complex{1.0 - ci * ci, 0.0} / (eta * eta));
    const Complex rs = (cosI - eta * ct) / (cosI + eta * ct);
    const Complex rp = (eta * cosI - ct) / (eta * cosI + ct);
    const double R = 0.5 * (norm2(rs) + norm2(rp));
    return static_cast<float>(R < 0.0 ? 0.0 : (R > 1.0 ? 1.0 : R));
}

__host__ __device__ inline float fresnelReflectance(float c, float ni, float nt, float k,
                                                    FresnelModel model = FresnelModel::Exact)
{
    return model == FresnelModel::Schlick ? schlickReflectance(c, ni, nt, k) : exactReflectance(c, ni, nt, k);
}

// The incidence cosine -(d . n), clamped to [0, 1].
__host__ __device__ inline float incidenceCosine(Vec3 d, Vec3 n) { return minf(maxf(-dot(d, n), 0.0f), 1.0f); }

__host__ __device__ inline Vec3 reflectDirection(Vec3 d, Vec3 n) { return normalizedOrAsIs(d - 2.0f * dot(d, n) * n); }

// Refracted direction for eta = n_i / n_t; false on total internal reflection.
__host__ __device__ inline bool refractDirection(Vec3 d, Vec3 n, float c, float eta, Vec3* t)
{
    const float k = static_cast<float>(1.0 - static_cast<double>(eta * eta) * (1.0 - static_cast<double>(c * c)));
    if (k < 0.0f) return false;
    *t = normalizedOrAsIs(eta * d + (eta * c - sqrtf(k)) * n);
    return true;
}

// A Beckmann microfacet normal about the unit normal n, drawn from a generator seeded with
// *seed (the SplitMix64 value of the ray index when 0) on the ray's own subsequence; *seed
// advances to a value built from the generator's third and fourth draws.
__device__ inline Vec3 sampleMicrofacetNormal(Vec3 n, float roughness, std::uint64_t* seed, int index)
{
    const std::uint64_t s0 = *seed != 0 ? *seed : splitmix64Seed(static_cast<std::uint64_t>(index));
    dev::XorwowState state;
    dev::rngInit(s0, static_cast<std::uint64_t>(index), 0, &state);
    const float u1 = dev::rngUniform(&state);
    const float u2 = dev::rngUniform(&state);

    double v = static_cast<double>(u1);
    if (v <= 1e-12) v = static_cast<double>(1e-12f);
    const double w = v >= 0.999999999999 ? 0.0 : 1.0 - v;
    const double L = log(w); // -infinity for w = 0: a grazing microfacet
    float alpha = roughness;
    if (static_cast<double>(alpha) < 1e-6) alpha = 1e-6f;
    const double tan2 = static_cast<double>(-(alpha * alpha)) * L;
    const float theta = static_cast<float>(atan(sqrt(tan2)));
    const float phi = 6.2831855f * u2;

    const Vec3 a = fabs(static_cast<double>(n.z)) < 0.999 ? Vec3(0, 0, 1) : Vec3(1, 0, 0);
    const Vec3 t = normalizedOrAsIs(cross(a, n));
    const Vec3 b = normalizedOrAsIs(cross(n, t));
    const float sinTheta = sinf(theta);
    Vec3 m = (sinTheta * cosf(phi)) * t + (sinTheta * sinf(phi)) * b + cosf(theta) * n;
    if (dot(m, n) < 0.0f) m = -m;
    m = normalizedOrAsIs(m);

    const std::uint32_t x3 = dev::rngNext(&state);
    const std::uint32_t x4 = dev::rngNext(&state);
    const std::uint64_t next = (static_cast<std::uint64_t>(x3) << 32) | x4;
    *seed = next != 0 ? next : 0x13198A2E03707344ull;
    return m;
}

// The normal an interaction uses: the face normal, or for a rough condition a sampled
// microfacet normal turned against the ray.
__device__ inline Vec3 interactionNormal(const Ray* ray, Vec3 n, const FaceCondition& bc, std::uint64_t* seed)
{
    if (!bc.rough || !(bc.roughness > 0.0f)) return n;
    const Vec3 m = sampleMicrofacetNormal(n, bc.roughness, seed, ray->index);
    return normalizedOrAsIs(dot(ray->direction, m) > 0.0f ? -m : m);
}

enum class StartOutcome { Entry, Refusal };
enum class ExitOutcome { Reflection, Departure };

__host__ __device__ inline float positiveOrOne(float v) { return v > 0.0f ? v : 1.0f; }

// The ray at its start face, coming from outside; n is the face normal turned against the
// ray, nInside the mesh's index there. On entry the ray is refracted and keeps (1 - R) of
// its power. *usedNormal receives the normal of the interaction; the seed advances on a
// rough face whatever the outcome.
__device__ inline LUMETRA_GPU_OUT_OF_LINE StartOutcome interactStartFace(Ray* ray, Vec3 n, float nInside,
                                                                         const FaceCondition& bc, Vec3* usedNormal)
{
    const float ni = positiveOrOne(bc.refrIndexReal), nt = positiveOrOne(nInside);
    const Vec3 normal = interactionNormal(ray, n, bc, &ray->seed);
    *usedNormal = normal;
    const float c = incidenceCosine(ray->direction, normal);
    const float R = fresnelReflectance(c, ni, nt, 0.0f, bc.fresnel);
    if (bc.interactionType == BoundaryConditionInteractionType::REFLECT) return StartOutcome::Refusal;
    Vec3 t;
    if (!refractDirection(ray->direction, normal, c, ni / nt, &t)) return StartOutcome::Refusal;
    ray->direction = t;
    ray->power = static_cast<float>((1.0 - static_cast<double>(R)) * static_cast<double>(ray->power));
    ray->position = ray->position + surfaceOffset * t;
    return StartOutcome::Entry;
}

// The ray at a boundary face reached from inside. A reflecting condition keeps R of the
// power; a transmitting one reflects totally (power unchanged) or lets the ray depart,
// refracted and with (1 - R) of its power.
__device__ inline ExitOutcome interactExitFace(Ray* ray, Vec3 n, float nInside, const FaceCondition& bc,
                                               Vec3* usedNormal)
{
    const float ni = positiveOrOne(nInside), nt = positiveOrOne(bc.refrIndexReal);
    const float k = bc.refrIndexImag > 0.0f ? bc.refrIndexImag : 0.0f;
    const Vec3 normal = interactionNormal(ray, n, bc, &ray->seed);
    *usedNormal = normal;
    const float c = incidenceCosine(ray->direction, normal);
    if (bc.interactionType == BoundaryConditionInteractionType::REFLECT) {
        const float R = fresnelReflectance(c, ni, nt, k, bc.fresnel);
        const Vec3 r = reflectDirection(ray->direction, normal);
        ray->direction = r;
        ray->power = ray->power * R;
        ray->position = ray->position + surfaceOffset * r;
        return ExitOutcome::Reflection;
    }
    Vec3 t;
    if (refractDirection(ray->direction, normal, c, ni / nt, &t)) {
        // The departing ray, as a script reads it back: refracted, with the transmitted share.
        ray->direction = t;
        ray->power = static_cast<float>((1.0 - static_cast<double>(fresnelReflectance(c, ni, nt, k, bc.fresnel))) *
                                        static_cast<double>(ray->power));
        return ExitOutcome::Departure;
    }
    const Vec3 r = reflectDirection(ray->direction, normal);
    ray->direction = r;
    ray->position = ray->position + surfaceOffset * r;
    return ExitOutcome::Reflection;
}
