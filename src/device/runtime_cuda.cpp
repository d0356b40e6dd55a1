// Runtime of the CUDA backend: forwards to the CUDA runtime and turns every failing
// return code into a DeviceError carrying the runtime's own text.
#include "device/device.h"
#include "device/profile.h"

#include <atomic>
#include <cstdarg>
#include <string>

#include "common/messages.h"

namespace dev {
namespace {

[[noreturn]] void fail(cudaError_t code, const std::string& what)
{
    throw DeviceError(what + ": " + cudaGetErrorString(code), static_cast<Error>(code));
}

void check(cudaError_t code, const char* what)
{
    if (code != cudaSuccess) {
        cudaGetLastError(); // clear a non-sticky error so later calls are not blamed for it
        fail(code, what);
    }
}

std::atomic<int> threadCount{1};

} // namespace

const char* backendName() noexcept { return "cuda"; }

void* deviceAlloc(std::size_t bytes, const char* what)
{
    if (bytes == 0) return nullptr;
    void* p = nullptr;
    const cudaError_t code = cudaMalloc(&p, bytes);
    if (code != cudaSuccess || p == nullptr) {
        cudaGetLastError();
        fail(code, std::string(what) + " of " + std::to_string(bytes) + " bytes failed");
    }
    return p;
}

void deviceFree(void* ptr) noexcept
{
    if (ptr) cudaFree(ptr);
}

void* hostAlloc(std::size_t bytes, const char* what)
{
    if (bytes == 0) return nullptr;
    void* p = nullptr;
    const cudaError_t code = cudaHostAlloc(&p, bytes, cudaHostAllocDefault);
    if (code != cudaSuccess || p == nullptr) {
        cudaGetLastError();
        fail(code, std::string(what) + " of " + std::to_string(bytes) + " bytes failed");
    }
    return p;
}

void hostFree(void* ptr) noexcept
{
    if (ptr) cudaFreeHost(ptr);
}

void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind)
{
    if (bytes == 0) return;
    check(cudaMemcpy(dst, src, bytes, static_cast<cudaMemcpyKind>(kind)), "copy");
}

void copyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, StreamHandle stream)
{
    if (bytes == 0) return;
    check(cudaMemcpyAsync(dst, src, bytes, static_cast<cudaMemcpyKind>(kind), stream), "asynchronous copy");
}

void memset(void* dst, int value, std::size_t bytes)
{
    if (bytes == 0) return;
    check(cudaMemset(dst, value, bytes), "memset");
}

void synchronize() { check(cudaDeviceSynchronize(), "device synchronization"); }

StreamHandle streamCreate()
{
    cudaStream_t s = nullptr;
    check(cudaStreamCreate(&s), "stream creation");
    return s;
}

void streamDestroy(StreamHandle stream) noexcept
{
    if (stream) cudaStreamDestroy(stream);
}

void streamSynchronize(StreamHandle stream) { check(cudaStreamSynchronize(stream), "stream synchronization"); }

EventHandle eventCreate()
{
    cudaEvent_t e = nullptr;
    check(cudaEventCreate(&e), "event creation");
    return e;
}

void eventDestroy(EventHandle event) noexcept
{
    if (event) cudaEventDestroy(event);
}

void eventRecord(EventHandle event, StreamHandle stream) { check(cudaEventRecord(event, stream), "event record"); }
void eventSynchronize(EventHandle event) { check(cudaEventSynchronize(event), "event synchronization"); }
void streamWaitEvent(StreamHandle stream, EventHandle event)
{
    check(cudaStreamWaitEvent(stream, event, 0), "stream wait on event");
}

Error getLastError() noexcept { return static_cast<Error>(cudaGetLastError()); }
const char* errorString(Error code) noexcept { return cudaGetErrorString(static_cast<cudaError_t>(code)); }

void setNumThreads(int threads) { threadCount.store(detail::checkedThreadCount(threads)); }
int numThreads() noexcept { return threadCount.load(); }

int deviceCount(std::string* why)
{
    int count = 0;
    const cudaError_t code = cudaGetDeviceCount(&count);
    if (code != cudaSuccess) {
        cudaGetLastError();
        if (why) *why = cudaGetErrorString(code);
        return 0;
    }
    if (count == 0 && why) *why = "no CUDA device is visible";
    return count;
}

namespace detail {

void checkLaunch(const char* name)
{
    const cudaError_t code = cudaGetLastError();
    if (code != cudaSuccess) fail(code, std::string("launch of ") + name);
}

LaunchTiming beginTiming(cudaStream_t stream)
{
    LaunchTiming t;
    check(cudaEventCreate(&t.start), "event creation");
    check(cudaEventCreate(&t.stop), "event creation");
    check(cudaEventRecord(t.start, stream), "event record");
    return t;
}

void endTiming(const char* name, LaunchTiming t, cudaStream_t stream)
{
    float ms = 0.0f;
    const cudaError_t recorded = cudaEventRecord(t.stop, stream);
    const cudaError_t waited = recorded == cudaSuccess ? cudaEventSynchronize(t.stop) : recorded;
    if (waited == cudaSuccess) cudaEventElapsedTime(&ms, t.start, t.stop);
    cudaEventDestroy(t.start);
    cudaEventDestroy(t.stop);
    check(waited, (std::string("timing of ") + name).c_str());
    recordKernelTime(name, 1e-3 * ms);
}

void hostPrintf(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    const std::string text = msg::vformat(format, args);
    va_end(args);
    msg::write(msg::Stream::Out, text);
}

} // namespace detail
} // namespace dev
