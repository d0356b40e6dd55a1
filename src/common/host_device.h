// The CUDA function qualifiers, for code that both variants compile. nvcc knows them; the
// host compiler of the CUDA variant takes the toolkit's own definitions; the CPU variant
// maps them to plain C++.
#pragma once

#if defined(__CUDACC__)
// nvcc: built in.
#elif defined(LUMETRA_BACKEND_CUDA)
#include <cuda_runtime_api.h>
#else
#define __host__
#define __device__
#define __global__
#define __forceinline__ inline __attribute__((always_inline))
#define __restrict__ __restrict
#endif
