// Small launches that exercise the device layer itself, so that the test suites (C++ and,
// through lumetra._testing, Python) check whichever variant they are linked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dev::selftest {

// How often each of n items was visited by a one-dimensional launch with the given block
// size (grid rounded up, surplus threads idle).
std::vector<int> launchCoverage(std::size_t items, unsigned blockSize);

// `threads` threads each add to one shared counter `repeats` times.
long long atomicIntSum(std::size_t threads, int repeats);
double atomicDoubleSum(std::size_t threads, int repeats, double value);
float atomicFloatSum(std::size_t threads, int repeats, float value);

// Upload on stream A, event, stream B waits and runs y = 2x + 1, download on stream B.
std::vector<float> streamPipeline(const std::vector<float>& input);

// Threads 0 .. n-1 print "device thread <i>\n" with device printf.
void devicePrintf(int threads);

// Draws of one XORWOW state made on the device.
void xorwowDraws(std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset, int count, std::uint32_t* raw,
                 float* uniform);

// Allocates and frees `bytes` of device memory.
void allocateAndFree(std::size_t bytes);

// Launches with a block of `blockSize` threads (more than 1024 is refused).
void launchWithBlock(unsigned blockSize);

} // namespace dev::selftest
