// The script-facing optical boundary condition: what happens to light at a set of boundary
// faces, and the medium behind them.
#pragma once

#include <cstdint>
#include <vector>

// Unscoped because scripts compare it with ints (TRANSMIT == 0); C++ code names the values
// qualified.
enum BoundaryConditionInteractionType : std::int32_t {
    TRANSMIT = 0, // Snell refraction with Fresnel losses, total internal reflection where needed
    REFLECT = 1,  // Fresnel mirror: the reflected share of the power is kept
};

// How the reflected share of the power is computed: the Fresnel equations (unpolarised: the
// mean of the s and p terms), or Schlick's approximation of them.
enum class FresnelModel : std::int32_t { Exact = 0, Schlick = 1 };

struct OpticalBoundaryCondition {
    bool rough_surface = false;
    double roughness = 0.0; // Beckmann roughness (rms microfacet slope)
    BoundaryConditionInteractionType interaction_type = BoundaryConditionInteractionType::TRANSMIT;
    double refractive_index_real = 1.0; // outside medium
    double refractive_index_imag = 0.0;
    FresnelModel fresnel = FresnelModel::Exact;
    std::vector<int> faces; // boundary-face ids
};
