// Kernel launches. Every launch names its kernel, from the identifier itself so the two
// cannot drift apart:
//
//   dev::launchItems(DEV_KERNEL(computeNormalsKernel), nFaces, 128, dev::kDefaultStream, d_mdata);
//   dev::launch(DEV_KERNEL(printDeviceData), 1, 1, dev::kDefaultStream, d_mdata, count);
//
// launchItems runs one thread per item: ceil(items / blockSize) blocks of blockSize
// threads, nothing at all for zero items. launch takes an explicit grid, for the few
// launches whose shape is not derived from an item count. The name appears in every launch
// error and, with LUMETRA_PROFILE=1 in the environment, in the table of kernel times
// printed at exit (device/profile.h).
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "device/device.h"

namespace dev {

// A kernel and its name. The kernel is a template argument, so that the CPU backend's loop
// over the threads of a block calls it directly (and may inline it) rather than through a
// pointer for every thread.
template <auto Function>
struct Kernel {
    const char* name;
};

template <auto Function>
constexpr Kernel<Function> kernel(const char* name)
{
    // "::kernel" (a kernel named like a member of the calling class) is listed as "kernel".
    return {name[0] == ':' && name[1] == ':' ? name + 2 : name};
}

// A kernel with the name it is written with, template arguments included.
#define DEV_KERNEL(...) ::dev::kernel<&__VA_ARGS__>(#__VA_ARGS__)

// Blocks of blockSize threads that cover `items` threads.
inline unsigned blocksFor(std::size_t items, unsigned blockSize)
{
    const std::size_t blocks = blockSize == 0 ? 0 : (items + blockSize - 1) / blockSize;
    if (blocks > 2147483647u)
        throw DeviceError("launch over " + std::to_string(items) + " items needs too many blocks", 9);
    return static_cast<unsigned>(blocks);
}

namespace detail {
template <typename... Params, typename... Args>
constexpr void checkArguments(void (*)(Params...), const Args&...)
{
    static_assert(sizeof...(Params) == sizeof...(Args), "kernel called with the wrong number of arguments");
}
} // namespace detail

template <auto Function, typename... Args>
void launch(Kernel<Function> k, dim3 grid, dim3 block, StreamHandle stream, Args&&... args)
{
    detail::checkArguments(Function, args...);
    detail::launchNamed<Function>(k.name, grid, block, stream, std::forward<Args>(args)...);
}

// Elementwise kernels over many cheap items (a field's nodes): on the CPU a thread of the
// launch takes a run of kItemRun items, a plain loop the compiler can vectorize, where one
// thread per item would have its index set for every item; on a GPU one item per thread.
// launchRuns starts the threads for n items (on the CPU in blocks of two runs, the share the
// OpenMP threads take in turn: small enough that a mesh of some ten thousand nodes still
// keeps 16 threads busy); each loops over its itemRange(n).
#if defined(LUMETRA_BACKEND_CUDA)
inline constexpr int kItemRun = 1;
inline constexpr unsigned kRunBlock = 128;
#else
inline constexpr int kItemRun = 128;
inline constexpr unsigned kRunBlock = 2;
#endif

struct ItemRange {
    int begin, end;
};

__device__ inline ItemRange itemRange(int n)
{
    const std::size_t first = globalThreadIndex() * kItemRun;
    if (first >= static_cast<std::size_t>(n)) return {0, 0};
    const int begin = static_cast<int>(first);
    return {begin, n - begin < kItemRun ? n : begin + kItemRun};
}

template <auto Function, typename... Args>
void launchItems(Kernel<Function> k, std::size_t items, unsigned blockSize, StreamHandle stream, Args&&... args)
{
    if (items == 0) return;
    launch(k, dim3(blocksFor(items, blockSize)), dim3(blockSize), stream, std::forward<Args>(args)...);
}

template <auto Function, typename... Args>
void launchRuns(Kernel<Function> k, std::size_t n, StreamHandle stream, Args&&... args)
{
    launchItems(k, (n + kItemRun - 1) / kItemRun, kRunBlock, stream, std::forward<Args>(args)...);
}

} // namespace dev
