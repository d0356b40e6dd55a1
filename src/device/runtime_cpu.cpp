// Runtime of the CPU backend: "device" memory is aligned host memory, every operation
// completes before it returns (so stream and event ordering holds trivially), and a
// launch runs its blocks on OpenMP threads.
#include "device/device.h"
#include "device/profile.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/messages.h"

#if defined(_OPENMP)
#include <omp.h>
#endif

namespace dev {

struct CpuStream {
    int unused = 0;
};
struct CpuEvent {
    int unused = 0;
};

namespace {

// CUDA's numbering for the errors this backend can have.
constexpr Error kInvalidValue = 1;
constexpr Error kMemoryAllocation = 2;
constexpr Error kInvalidConfiguration = 9;
constexpr Error kLaunchFailure = 719;

// cudaMalloc aligns to at least 256 bytes; keep that, so alignment bugs show on the CPU too.
constexpr std::size_t kAlignment = 256;

[[noreturn]] void fail(Error code, const std::string& what)
{
    throw DeviceError(what + ": " + errorString(code), code);
}

void* alignedAlloc(std::size_t bytes, const char* what)
{
    if (bytes == 0) return nullptr;
    const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    void* p = rounded < bytes ? nullptr : std::aligned_alloc(kAlignment, rounded);
    if (p == nullptr) fail(kMemoryAllocation, std::string(what) + " of " + std::to_string(bytes) + " bytes failed");
    return p;
}

void checkCopy(void* dst, const void* src, std::size_t bytes, CopyKind kind)
{
    const int k = static_cast<int>(kind);
    if (k < 0 || k > 4) fail(kInvalidValue, "copy with an unknown direction");
    if (bytes != 0 && (dst == nullptr || src == nullptr)) {
        fail(kInvalidValue, "copy of " + std::to_string(bytes) + " bytes with a null address");
    }
}

// Device printf of the running launch. Worker threads only append here; the thread that
// called launch writes it out (it holds the interpreter lock, the workers do not).
std::mutex printfMutex;
std::string printfBuffer;
thread_local bool insideKernel = false;

void flushDevicePrintf()
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(printfMutex);
        text.swap(printfBuffer);
    }
    msg::write(msg::Stream::Out, text);
}

bool validShape(dim3 grid, dim3 block)
{
    if (block.x == 0 || block.y == 0 || block.z == 0) return false;
    if (block.x > 1024 || block.y > 1024 || block.z > 64) return false;
    if (static_cast<unsigned long long>(block.x) * block.y * block.z > 1024) return false;
    return grid.x <= 2147483647u && grid.y <= 65535u && grid.z <= 65535u;
}

#if defined(_OPENMP)
int initialThreads() { return omp_get_max_threads(); }
#else
int initialThreads() { return 1; }
#endif
std::atomic<int> threadCount{initialThreads()};

} // namespace

const char* backendName() noexcept { return "cpu"; }

void* deviceAlloc(std::size_t bytes, const char* what) { return alignedAlloc(bytes, what); }
void deviceFree(void* ptr) noexcept { std::free(ptr); }
void* hostAlloc(std::size_t bytes, const char* what) { return alignedAlloc(bytes, what); }
void hostFree(void* ptr) noexcept { std::free(ptr); }

void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind)
{
    checkCopy(dst, src, bytes, kind);
    if (bytes != 0) std::memmove(dst, src, bytes);
}

void copyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, StreamHandle)
{
    copy(dst, src, bytes, kind);
}

void memset(void* dst, int value, std::size_t bytes)
{
    if (bytes != 0 && dst == nullptr)
        fail(kInvalidValue, "memset of " + std::to_string(bytes) + " bytes at a null address");
    if (bytes != 0) std::memset(dst, value, bytes);
}

void synchronize() {}

StreamHandle streamCreate() { return new CpuStream; }
void streamDestroy(StreamHandle stream) noexcept { delete stream; }
void streamSynchronize(StreamHandle) {}

EventHandle eventCreate() { return new CpuEvent; }
void eventDestroy(EventHandle event) noexcept { delete event; }
void eventRecord(EventHandle event, StreamHandle)
{
    if (event == nullptr) fail(kInvalidValue, "recording a null event");
}
void eventSynchronize(EventHandle event)
{
    if (event == nullptr) fail(kInvalidValue, "waiting for a null event");
}
void streamWaitEvent(StreamHandle, EventHandle event)
{
    if (event == nullptr) fail(kInvalidValue, "stream waiting for a null event");
}

// Every failure is reported by the exception of the call that failed, and nothing runs
// asynchronously, so no error is ever pending.
Error getLastError() noexcept { return kSuccess; }

const char* errorString(Error code) noexcept
{
    switch (code) {
    case kSuccess: return "no error";
    case kInvalidValue: return "invalid argument";
    case kMemoryAllocation: return "out of memory";
    case kInvalidConfiguration: return "invalid configuration argument";
    case kLaunchFailure: return "unspecified launch failure";
    default: return "unrecognized error code";
    }
}

void setNumThreads(int threads) { threadCount.store(detail::checkedThreadCount(threads)); }

int numThreads() noexcept { return threadCount.load(); }

int deviceCount(std::string* why)
{
    if (why) *why = "this is the CPU variant";
    return 0;
}

namespace detail {

void devicePrintf(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::string text = msg::vformat(format, args);
    va_end(args);
    if (!insideKernel) {
        msg::write(msg::Stream::Out, text);
        return;
    }
    std::lock_guard<std::mutex> lock(printfMutex);
    printfBuffer += text;
}

void runGrid(const char* name, dim3 grid, dim3 block, ThreadBody body, void* context)
{
    if (grid.x == 0 || grid.y == 0 || grid.z == 0) return; // a launch over no items
    if (!validShape(grid, block)) {
        fail(kInvalidConfiguration, std::string("launch of ") + name + " with grid (" + std::to_string(grid.x) + ", " +
                                        std::to_string(grid.y) + ", " + std::to_string(grid.z) + ") and block (" +
                                        std::to_string(block.x) + ", " + std::to_string(block.y) + ", " +
                                        std::to_string(block.z) + ")");
    }
    const long long blocks = static_cast<long long>(grid.x) * grid.y * grid.z;
    std::atomic<bool> crashed{false};
    const bool timed = profiling();
    const auto started = timed ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};

    // A launch of one block runs on the calling thread: a parallel region would only add its
    // start and end (a scheduler slice each when the cores are busy with other work).
    const bool alone = blocks == 1 || numThreads() == 1;
#pragma omp parallel for schedule(dynamic, 1) num_threads(numThreads()) if (blocks > 1)
    for (long long b = 0; b < blocks; ++b) {
        soleThread = alone;
        gridDim = grid;
        blockDim = block;
        blockIdx = dim3(static_cast<unsigned>(b % grid.x), static_cast<unsigned>((b / grid.x) % grid.y),
                        static_cast<unsigned>(b / (static_cast<long long>(grid.x) * grid.y)));
        insideKernel = true;
        // Device code throws nothing; this only keeps a stray exception from escaping the
        // parallel region (which would end the process).
        try {
            body(context);
        } catch (...) {
            crashed.store(true);
        }
        insideKernel = false;
        soleThread = false;
    }

    if (timed) {
        recordKernelTime(name, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    flushDevicePrintf();
    if (crashed.load()) fail(kLaunchFailure, std::string("kernel ") + name);
}

} // namespace detail
} // namespace dev
