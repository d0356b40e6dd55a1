#include "kernels/device_selftest.h"

#include "device/buffer.h"
#include "device/device.h"
#include "device/launch.h"
#include "device/random.h"

namespace dev::selftest {
namespace {

__global__ void countVisitsKernel(int* visits, std::size_t n)
{
    const std::size_t i = globalThreadIndex();
    if (i >= n) return;
    dev::atomicAdd(&visits[i], 1);
}

template <typename T>
__global__ void accumulateKernel(T* total, std::size_t threads, int repeats, T value)
{
    if (globalThreadIndex() >= threads) return;
    for (int r = 0; r < repeats; ++r) dev::atomicAdd(total, value);
}

__global__ void affineKernel(float* data, std::size_t n)
{
    const std::size_t i = globalThreadIndex();
    if (i < n) data[i] = 2.0f * data[i] + 1.0f;
}

__global__ void printKernel(int n)
{
    const std::size_t i = globalThreadIndex();
    if (i < static_cast<std::size_t>(n)) dev::printf("device thread %d\n", static_cast<int>(i));
}

__global__ void xorwowKernel(std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset, int count,
                             std::uint32_t* raw, float* uniform)
{
    if (globalThreadIndex() != 0) return;
    XorwowState state;
    rngInit(seed, subsequence, offset, &state);
    for (int k = 0; k < count; ++k) raw[k] = rngNext(&state);
    rngInit(seed, subsequence, offset, &state);
    for (int k = 0; k < count; ++k) uniform[k] = rngUniform(&state);
}

__global__ void idleKernel() {}

template <typename T>
T accumulate(std::size_t threads, int repeats, T value)
{
    DeviceArray<T> total(1, "atomic total");
    total.zero();
    const unsigned block = 128;
    launchItems(DEV_KERNEL(accumulateKernel<T>), threads, block, kDefaultStream, total.data(), threads, repeats, value);
    synchronize();
    return total.download()[0];
}

} // namespace

std::vector<int> launchCoverage(std::size_t items, unsigned blockSize)
{
    DeviceArray<int> visits(items, "visit counts");
    visits.zero();
    launchItems(DEV_KERNEL(countVisitsKernel), items, blockSize, kDefaultStream, visits.data(), items);
    synchronize();
    return visits.download();
}

long long atomicIntSum(std::size_t threads, int repeats) { return accumulate<int>(threads, repeats, 1); }
double atomicDoubleSum(std::size_t threads, int repeats, double value) { return accumulate(threads, repeats, value); }
float atomicFloatSum(std::size_t threads, int repeats, float value) { return accumulate(threads, repeats, value); }

std::vector<float> streamPipeline(const std::vector<float>& input)
{
    const std::size_t n = input.size();
    PinnedArray<float> staging(n, "staging buffer");
    for (std::size_t i = 0; i < n; ++i) staging.data()[i] = input[i];
    DeviceArray<float> data(n, "pipeline data");
    Stream upload, compute;
    Event uploaded;

    copyAsync(data.data(), staging.data(), data.bytes(), CopyKind::HostToDevice, upload.get());
    uploaded.record(upload.get());
    streamWaitEvent(compute.get(), uploaded.get());
    const unsigned block = 256;
    launchItems(DEV_KERNEL(affineKernel), n, block, compute.get(), data.data(), n);
    copyAsync(staging.data(), data.data(), data.bytes(), CopyKind::DeviceToHost, compute.get());
    compute.synchronize();
    return std::vector<float>(staging.data(), staging.data() + n);
}

void devicePrintf(int threads)
{
    const unsigned block = 32;
    launchItems(DEV_KERNEL(printKernel), static_cast<std::size_t>(threads), block, kDefaultStream, threads);
    synchronize();
}

void xorwowDraws(std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset, int count, std::uint32_t* raw,
                 float* uniform)
{
    DeviceArray<std::uint32_t> d_raw(static_cast<std::size_t>(count), "raw draws");
    DeviceArray<float> d_uniform(static_cast<std::size_t>(count), "uniform draws");
    launch(DEV_KERNEL(xorwowKernel), 1, 1, kDefaultStream, seed, subsequence, offset, count, d_raw.data(),
           d_uniform.data());
    synchronize();
    d_raw.download(raw, d_raw.size());
    d_uniform.download(uniform, d_uniform.size());
}

void allocateAndFree(std::size_t bytes) { DeviceArray<unsigned char> block(bytes, "test allocation"); }

void launchWithBlock(unsigned blockSize)
{
    launch(DEV_KERNEL(idleKernel), 1, blockSize, kDefaultStream);
    synchronize();
}

} // namespace dev::selftest
