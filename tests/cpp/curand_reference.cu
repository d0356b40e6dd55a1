// cuRAND's own XORWOW, its device functions compiled as host functions: prints the
// draws of every case in xorwow_cases.h, one line each.
#define QUALIFIERS static __forceinline__ __host__ __device__
#include <curand_kernel.h>

#include <cstdio>

#include "xorwow_cases.h"

int main()
{
    using namespace xorwow_cases;
    for (unsigned long long seed : kSeeds)
        for (unsigned long long subsequence : kSubsequences)
            for (unsigned long long offset : kOffsets) {
                std::uint32_t raw[kDraws];
                float uniform[kDraws];
                curandStateXORWOW_t state;
                curand_init(seed, subsequence, offset, &state);
                for (int k = 0; k < kDraws; ++k) raw[k] = curand(&state);
                curand_init(seed, subsequence, offset, &state);
                for (int k = 0; k < kDraws; ++k) uniform[k] = curand_uniform(&state);
                std::printf("%s\n", line(seed, subsequence, offset, raw, uniform).c_str());
            }
    return 0;
}
