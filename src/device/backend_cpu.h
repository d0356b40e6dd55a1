// CPU backend of the device layer: the CUDA keywords become plain C++, "device" memory
// is host memory, and a launch runs its blocks in parallel with OpenMP (dynamic schedule,
// since items such as rays cost very different amounts) and the threads of a block one
// after another. Include device/device.h rather than this file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/host_device.h"

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int x_ = 1, unsigned int y_ = 1, unsigned int z_ = 1) : x(x_), y(y_), z(z_) {}
};

// Set by the launch loop for the thread being run. The launch writes these for every thread it runs and kernels read
// them for every item: with the default model of a shared library each access is a call into the dynamic loader, which
// cost more than the work of a simple kernel. The initial-exec model makes them plain offsets from the thread pointer
// (the 49 bytes fit the space the loader keeps for modules loaded at run time).
#define LUMETRA_FAST_TLS __attribute__((tls_model("initial-exec")))
inline thread_local dim3 threadIdx LUMETRA_FAST_TLS{0, 0, 0};
inline thread_local dim3 blockIdx LUMETRA_FAST_TLS{0, 0, 0};
inline thread_local dim3 blockDim LUMETRA_FAST_TLS{1, 1, 1};
inline thread_local dim3 gridDim LUMETRA_FAST_TLS{1, 1, 1};

namespace dev {

struct CpuStream;
struct CpuEvent;
using StreamHandle = CpuStream*;
using EventHandle = CpuEvent*;
using Error = int;

constexpr StreamHandle kDefaultStream = nullptr;

namespace detail {
using ThreadBody = void (*)(void* context);
// The parameters of a kernel as a tuple of values (declared only, for its type).
template <typename... Params>
std::tuple<std::decay_t<Params>...> parameterTuple(void (*)(Params...));
// Runs body(context) once for every block of the grid, which runs the block's threads; throws DeviceError for a launch
// shape CUDA would refuse. Device printf output of the launch is written out afterwards
// by the calling thread.
void runGrid(const char* name, dim3 grid, dim3 block, ThreadBody body, void* context);
void devicePrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
} // namespace detail

namespace detail {
// Use dev::launch / dev::launchItems (device/launch.h), which name the kernel.
template <auto kernel, typename... Args>
void launchNamed(const char* name, dim3 grid, dim3 block, StreamHandle /*stream*/, Args&&... args)
{
    using Arguments = decltype(parameterTuple(kernel));
    Arguments context(std::forward<Args>(args)...);
    // Each thread gets its own copy of the parameters, as on the GPU; the kernel is called
    // directly, thread after thread of a block.
    detail::runGrid(
        name, grid, block,
        [](void* p) {
            const auto& arguments = *static_cast<const Arguments*>(p);
            const dim3 shape = blockDim;
            for (unsigned z = 0; z < shape.z; ++z)
                for (unsigned y = 0; y < shape.y; ++y)
                    for (unsigned x = 0; x < shape.x; ++x) {
                        threadIdx = dim3(x, y, z);
                        std::apply(kernel, arguments);
                    }
        },
        &context);
}
} // namespace detail

namespace detail {
// True while the calling thread runs a launch alone (one block, or one worker thread): no
// other thread of the launch can touch device memory then (a launch completes before its
// host thread goes on; launches from two host threads share no memory, as no engine or
// model is used from two threads at once), and an atomic operation can be a plain one. A
// locked compare-and-swap loop, which is what an atomic addition of a float or double is on
// the CPU, stalls the core for its duration even without contention.
inline thread_local bool soleThread LUMETRA_FAST_TLS = false;
} // namespace detail

// Whether the atomic operations of the running launch are plain ones (see soleThread).
inline bool atomicsArePlain() { return detail::soleThread; }

template <typename T>
inline T atomicAdd(T* address, T value)
{
    static_assert(std::is_arithmetic_v<T>, "atomicAdd needs an arithmetic type");
    if (detail::soleThread) {
        const T old = *address;
        *address = old + value;
        return old;
    }
    return std::atomic_ref<T>(*address).fetch_add(value, std::memory_order_relaxed);
}

// Hints that *address will be read or written soon: on the CPU the cache line is fetched
// now, so a later load or atomic does not wait for memory (a GPU hides that latency with
// other warps).
inline void prefetch(const void* address) { __builtin_prefetch(address, 0, 3); }
inline void prefetchForWrite(const void* address) { __builtin_prefetch(address, 1, 3); }

// printf from device code: buffered while a launch runs, written by the caller after it.
template <typename... Args>
inline void printf(const char* format, Args... args)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    detail::devicePrintf(format, args...);
#pragma GCC diagnostic pop
}

inline std::size_t globalThreadIndex() { return static_cast<std::size_t>(blockIdx.x) * blockDim.x + threadIdx.x; }

} // namespace dev
