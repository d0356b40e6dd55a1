#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "device/buffer.h"
#include "device/device.h"
#include "kernels/device_selftest.h"

namespace {

using namespace dev;

TEST(Launch, EveryItemIsVisitedExactlyOnce)
{
    // Item counts that are not multiples of the block size, and a single partial block.
    const std::pair<std::size_t, unsigned> shapes[] = {{1, 32}, {1000, 128}, {1025, 256}, {4097, 1024}, {77777, 96}};
    for (auto [items, block] : shapes) {
        const std::vector<int> visits = selftest::launchCoverage(items, block);
        ASSERT_EQ(visits.size(), items);
        std::size_t wrong = 0;
        for (int v : visits) wrong += v != 1;
        EXPECT_EQ(wrong, 0u) << items << " items, block " << block;
    }
    EXPECT_TRUE(selftest::launchCoverage(0, 128).empty()); // an empty grid is no error
}

TEST(Launch, ShapeTheGpuRefusesRaisesAndLeavesNoStickyError)
{
    try {
        selftest::launchWithBlock(2048);
        FAIL() << "a block of 2048 threads was accepted";
    } catch (const DeviceError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("idleKernel"), std::string::npos) << what;
        EXPECT_NE(what.find("invalid configuration argument"), std::string::npos) << what;
    }
    EXPECT_EQ(getLastError(), kSuccess);
    EXPECT_NO_THROW(selftest::launchWithBlock(1024));
}

TEST(Atomics, IntegerAdditionsUnderContentionSumExactly) { EXPECT_EQ(selftest::atomicIntSum(4096, 50), 4096LL * 50); }

TEST(Atomics, FloatingPointAdditionsSumWithinRounding)
{
    // Quarter steps are exact in any order; tenths are not, but stay within rounding.
    EXPECT_EQ(selftest::atomicDoubleSum(2048, 20, 0.25), 2048 * 20 * 0.25);
    const double tenths = selftest::atomicDoubleSum(2048, 20, 0.1);
    EXPECT_NEAR(tenths, 4096.0, 4096.0 * 1e-12);
    EXPECT_EQ(selftest::atomicFloatSum(1000, 100, 1.0f), 100000.0f);
    const float floatTenths = selftest::atomicFloatSum(1000, 10, 0.1f);
    EXPECT_NEAR(floatTenths, 1000.0f, 1000.0f * 1e-3f);
}

TEST(Streams, EventOrdersUploadComputeAndDownload)
{
    std::vector<float> input(100003);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = 0.5f * static_cast<float>(i % 1000);
    const std::vector<float> output = selftest::streamPipeline(input);
    ASSERT_EQ(output.size(), input.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < input.size(); ++i) wrong += output[i] != 2.0f * input[i] + 1.0f;
    EXPECT_EQ(wrong, 0u);
}

TEST(Memory, AbsurdAllocationRaisesWithTheRuntimeText)
{
    try {
        selftest::allocateAndFree(std::size_t(1) << 62);
        FAIL() << "an allocation of 2^62 bytes succeeded";
    } catch (const DeviceError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("test allocation of 4611686018427387904 bytes failed"), std::string::npos) << what;
        EXPECT_NE(what.find(errorString(e.code())), std::string::npos) << what;
        EXPECT_NE(e.code(), kSuccess);
    }
    DeviceArray<double> huge;
    EXPECT_THROW(huge.allocate(std::size_t(1) << 61, "huge"), DeviceError);
    EXPECT_EQ(huge.data(), nullptr);
}

TEST(Memory, ArraysRoundTripAndReallocateWithoutLosingOwnership)
{
    DeviceArray<int> a(5, "a");
    const std::vector<int> values{1, 2, 3, 4, 5};
    a.upload(values);
    EXPECT_EQ(a.download(), values);

    a.allocate(3, "a"); // releases the old block; the sanitizer build would report a leak
    a.zero();
    EXPECT_EQ(a.download(), (std::vector<int>{0, 0, 0}));
    EXPECT_THROW(a.upload(values), DeviceError); // more than it holds

    DeviceArray<int> b = std::move(a);
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(b.size(), 3u);

    DeviceArray<int> empty(0, "empty");
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_TRUE(empty.download().empty());
}

TEST(Memory, CopyFromANullAddressRaises)
{
    DeviceArray<float> a(4, "a");
    EXPECT_THROW(copy(a.data(), nullptr, a.bytes(), CopyKind::HostToDevice), DeviceError);
    EXPECT_THROW(dev::memset(nullptr, 0, 16), DeviceError);
}

TEST(Memory, PinnedHostMemoryIsUsableForStreamCopies)
{
    PinnedArray<double> staging(16, "staging");
    DeviceArray<double> d(16, "d");
    std::iota(staging.data(), staging.data() + 16, 1.0);
    Stream s;
    copyAsync(d.data(), staging.data(), d.bytes(), CopyKind::HostToDevice, s.get());
    s.synchronize();
    std::fill(staging.data(), staging.data() + 16, 0.0);
    copyAsync(staging.data(), d.data(), d.bytes(), CopyKind::DeviceToHost, s.get());
    s.synchronize();
    EXPECT_EQ(staging.data()[0], 1.0);
    EXPECT_EQ(staging.data()[15], 16.0);
}

TEST(Threads, CountCanBeChangedAtRunTime)
{
    const int before = numThreads();
    setNumThreads(1);
    EXPECT_EQ(numThreads(), 1);
    EXPECT_EQ(selftest::atomicIntSum(512, 3), 1536); // still correct on one thread
    setNumThreads(before);
    EXPECT_EQ(numThreads(), before);
    EXPECT_THROW(setNumThreads(0), std::invalid_argument);
}

} // namespace
