// The device layer: the one place that knows whether kernels run on an NVIDIA GPU
// (CUDA runtime) or on the CPU (OpenMP over the blocks of a launch). Everything else
// is written once, CUDA-style, against the names declared here and in the backend
// header it pulls in:
//
//   __global__ / __device__ / __host__, dim3, threadIdx, blockIdx, blockDim, gridDim
//   dev::launch(name, kernel, grid, block, stream, args...)
//   dev::atomicAdd, dev::printf, dev::globalThreadIndex
//
// A launch over an empty grid (no items) does nothing, on both backends.
//
// Host-side operations below check every call and throw dev::DeviceError carrying the
// runtime's own error text, so a failure never leaves a null address behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#if defined(LUMETRA_BACKEND_CUDA)
#include "device/backend_cuda.h"
#elif defined(LUMETRA_BACKEND_CPU)
#include "device/backend_cpu.h"
#else
#error "Compile with LUMETRA_BACKEND_CPU or LUMETRA_BACKEND_CUDA defined"
#endif

namespace dev {

// Raised by every host operation of the layer that fails; code() is the runtime's error
// code (CUDA's numbering, which the CPU backend reuses for the errors it can have).
class DeviceError : public std::runtime_error {
public:
    DeviceError(const std::string& what, Error code) : std::runtime_error(what), code_(code) {}
    Error code() const noexcept { return code_; }

private:
    Error code_;
};

// Same numbering as cudaMemcpyKind.
enum class CopyKind : int {
    HostToHost = 0,
    HostToDevice = 1,
    DeviceToHost = 2,
    DeviceToDevice = 3,
    Default = 4,
};

constexpr Error kSuccess = 0;

// Name of the compiled backend: "cpu" or "cuda".
const char* backendName() noexcept;

// Device memory. A zero-byte request returns nullptr without error.
void* deviceAlloc(std::size_t bytes, const char* what = "device allocation");
void deviceFree(void* ptr) noexcept;

// Page-locked host memory (ordinary aligned memory on the CPU backend).
void* hostAlloc(std::size_t bytes, const char* what = "page-locked host allocation");
void hostFree(void* ptr) noexcept;

void copy(void* dst, const void* src, std::size_t bytes, CopyKind kind);
void copyAsync(void* dst, const void* src, std::size_t bytes, CopyKind kind, StreamHandle stream);
void memset(void* dst, int value, std::size_t bytes);

// Waits for all device work; a fault raised by an earlier kernel surfaces here.
void synchronize();

StreamHandle streamCreate();
void streamDestroy(StreamHandle stream) noexcept;
void streamSynchronize(StreamHandle stream);

EventHandle eventCreate();
void eventDestroy(EventHandle event) noexcept;
void eventRecord(EventHandle event, StreamHandle stream);
void eventSynchronize(EventHandle event);
void streamWaitEvent(StreamHandle stream, EventHandle event);

// The last error of the runtime, cleared by reading it (cudaGetLastError's contract).
Error getLastError() noexcept;
const char* errorString(Error code) noexcept;

// CPU threads that run the blocks of a launch (OMP_NUM_THREADS at start-up). The CUDA
// backend keeps the value for host-side loops only.
void setNumThreads(int threads);
int numThreads() noexcept;

// Number of usable devices; 0 with the reason in *why when there is none.
int deviceCount(std::string* why = nullptr);

} // namespace dev
