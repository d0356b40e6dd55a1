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

// Kernel launch bounds mean nothing to a host compiler (the CUDA variant's plain C++ sources
// see kernel templates too).
#if !defined(__CUDACC__) && !defined(__launch_bounds__)
#define __launch_bounds__(...)
#endif

// For heavy or rarely taken device paths: kept out of line in GPU code, so that their own
// registers do not add to the caller's (a trace kernel's register count sets how many
// threads a GPU can keep running); inline everywhere else.
#if defined(__CUDA_ARCH__)
#define LUMETRA_GPU_OUT_OF_LINE __noinline__
#else
#define LUMETRA_GPU_OUT_OF_LINE
#endif
