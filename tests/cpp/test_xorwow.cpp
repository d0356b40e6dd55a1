#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kernels/device_selftest.h"
#include "xorwow_cases.h"

namespace {

using namespace xorwow_cases;

struct Draws {
    std::vector<std::uint32_t> raw;
    std::vector<float> uniform;
};

Draws draw(unsigned long long seed, unsigned long long subsequence, unsigned long long offset, int count)
{
    Draws d{std::vector<std::uint32_t>(count), std::vector<float>(count)};
    dev::selftest::xorwowDraws(seed, subsequence, offset, count, d.raw.data(), d.uniform.data());
    return d;
}

TEST(Xorwow, OffsetSkipsThatManyDraws)
{
    for (unsigned long long subsequence : {0ull, 3ull, (1ull << 40) + 3}) {
        const Draws base = draw(0xE220A8397B1DCDAFull, subsequence, 0, 40);
        for (unsigned long long offset : {1ull, 7ull, 32ull}) {
            const Draws skipped = draw(0xE220A8397B1DCDAFull, subsequence, offset, 8);
            for (int k = 0; k < 8; ++k) {
                EXPECT_EQ(skipped.raw[k], base.raw[offset + k])
                    << "subsequence " << subsequence << " offset " << offset;
                EXPECT_EQ(skipped.uniform[k], base.uniform[offset + k]);
            }
        }
    }
}

TEST(Xorwow, UniformDrawsLieInHalfOpenUnitInterval)
{
    const Draws d = draw(12345, 678, 0, 4096);
    double mean = 0.0;
    for (float u : d.uniform) {
        EXPECT_GT(u, 0.0f);
        EXPECT_LE(u, 1.0f);
        mean += u;
    }
    EXPECT_NEAR(mean / d.uniform.size(), 0.5, 0.02);
}

#if defined(LUMETRA_CURAND_REFERENCE)
TEST(Xorwow, MatchesCuRandBitForBit)
{
    std::FILE* pipe = popen(LUMETRA_CURAND_REFERENCE, "r");
    ASSERT_NE(pipe, nullptr) << "cannot run " << LUMETRA_CURAND_REFERENCE;
    std::vector<std::string> reference;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        std::string text = buffer;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        reference.push_back(text);
    }
    ASSERT_EQ(pclose(pipe), 0) << "the cuRAND reference program failed";

    std::vector<std::string> ours;
    for (unsigned long long seed : kSeeds)
        for (unsigned long long subsequence : kSubsequences)
            for (unsigned long long offset : kOffsets) {
                const Draws d = draw(seed, subsequence, offset, kDraws);
                ours.push_back(line(seed, subsequence, offset, d.raw.data(), d.uniform.data()));
            }

    ASSERT_EQ(reference.size(), ours.size());
    for (std::size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], reference[i]);
}
#else
TEST(Xorwow, MatchesCuRandBitForBit)
{
    GTEST_SKIP() << "built without a CUDA compiler: no cuRAND reference to compare with";
}
#endif

} // namespace
