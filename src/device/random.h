// XORWOW random numbers with cuRAND's semantics: rngInit(seed, subsequence, offset)
// behaves as curand_init, rngNext as curand and rngUniform as curand_uniform. The CUDA
// backend forwards to cuRAND; the CPU backend reproduces its sequences bit for bit,
// subsequence skip-ahead included, so both variants make the same random draws.
#pragma once

#include <cstdint>

#include "device/device.h"

#if defined(LUMETRA_BACKEND_CUDA)

#include <curand_kernel.h>

namespace dev {
using XorwowState = curandStateXORWOW_t;

__device__ __forceinline__ void rngInit(std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset,
                                        XorwowState* state)
{
    curand_init(seed, subsequence, offset, state);
}
__device__ __forceinline__ std::uint32_t rngNext(XorwowState* state) { return curand(state); }
__device__ __forceinline__ float rngUniform(XorwowState* state) { return curand_uniform(state); }
} // namespace dev

#else

namespace dev {
struct XorwowState {
    std::uint32_t d;
    std::uint32_t v[5];
};

// Seeding and skip-ahead by 2^67 * subsequence + offset draws (xorwow.cpp).
void rngInit(std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset, XorwowState* state);

inline std::uint32_t rngNext(XorwowState* state)
{
    std::uint32_t t = state->v[0] ^ (state->v[0] >> 2);
    state->v[0] = state->v[1];
    state->v[1] = state->v[2];
    state->v[2] = state->v[3];
    state->v[3] = state->v[4];
    state->v[4] = (state->v[4] ^ (state->v[4] << 4)) ^ (t ^ (t << 1));
    state->d += 362437u;
    return state->v[4] + state->d;
}

// A float in (0, 1]. The scale is exactly 2^-32, so the product is exact and the result
// does not depend on whether the compiler fuses the multiply and the add.
inline float rngUniform(XorwowState* state)
{
    constexpr float kScale = 2.3283064e-10f;
    return static_cast<float>(rngNext(state)) * kScale + kScale / 2.0f;
}
} // namespace dev

#endif
