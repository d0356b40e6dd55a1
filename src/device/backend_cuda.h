// CUDA backend of the device layer: thin forwards to the CUDA runtime. Include
// device/device.h rather than this file. Kernel launches (the <<<>>> syntax) exist only
// in translation units compiled by nvcc.
#pragma once

#include <cstddef>
#include <cuda_runtime.h>
#include <utility>

namespace dev {

using StreamHandle = cudaStream_t;
using EventHandle = cudaEvent_t;
using Error = int;

constexpr StreamHandle kDefaultStream = nullptr;

namespace detail {
// Throws DeviceError naming the kernel when the launch just made failed.
void checkLaunch(const char* name);
// Kernel timing (LUMETRA_PROFILE): events around one launch on its stream.
struct LaunchTiming {
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
};
LaunchTiming beginTiming(cudaStream_t stream);
void endTiming(const char* name, LaunchTiming timing, cudaStream_t stream);
void hostPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
} // namespace detail

#if defined(__CUDACC__)
namespace detail {
bool profiling() noexcept; // device/profile.cpp
// Use dev::launch / dev::launchItems (device/launch.h), which name the kernel.
template <auto kernel, typename... Args>
void launchNamed(const char* name, dim3 grid, dim3 block, StreamHandle stream, Args&&... args)
{
    if (grid.x == 0 || grid.y == 0 || grid.z == 0) return; // a launch over no items does nothing
    if (!profiling()) {
        kernel<<<grid, block, 0, stream>>>(std::forward<Args>(args)...);
        checkLaunch(name);
        return;
    }
    const LaunchTiming timing = beginTiming(stream);
    kernel<<<grid, block, 0, stream>>>(std::forward<Args>(args)...);
    checkLaunch(name);
    endTiming(name, timing, stream);
}
} // namespace detail

__device__ __forceinline__ double atomicAdd(double* address, double value) { return ::atomicAdd(address, value); }
__device__ __forceinline__ float atomicAdd(float* address, float value) { return ::atomicAdd(address, value); }
__device__ __forceinline__ int atomicAdd(int* address, int value) { return ::atomicAdd(address, value); }
__device__ __forceinline__ unsigned int atomicAdd(unsigned int* address, unsigned int value)
{
    return ::atomicAdd(address, value);
}
__device__ __forceinline__ unsigned long long atomicAdd(unsigned long long* address, unsigned long long value)
{
    return ::atomicAdd(address, value);
}

// Hints for the CPU's caches; nothing on a GPU, whose other warps hide the latency.
__device__ __forceinline__ void prefetch(const void*) {}
__device__ __forceinline__ void prefetchForWrite(const void*) {}

// printf from device code goes to the device's printf buffer, flushed to the process's
// standard output at the next synchronisation; from host code it goes through the
// message helper like every other host message.
template <typename... Args>
__host__ __device__ inline void printf(const char* format, Args... args)
{
#if defined(__CUDA_ARCH__)
    ::printf(format, args...);
#else
    detail::hostPrintf(format, args...);
#endif
}

__device__ __forceinline__ std::size_t globalThreadIndex()
{
    return static_cast<std::size_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}
#else
// Host compilers see device code only in inline functions that kernels (compiled by nvcc)
// call; declarations let such headers be included by plain C++ sources.
template <typename T>
T atomicAdd(T* address, T value);
template <typename... Args>
void printf(const char* format, Args... args);
std::size_t globalThreadIndex();
void prefetch(const void*);
void prefetchForWrite(const void*);
#endif

} // namespace dev
