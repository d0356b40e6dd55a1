// The generator states compared with cuRAND: every combination of these seeds,
// subsequences and offsets, eight draws each.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace xorwow_cases {

constexpr unsigned long long kSeeds[] = {0ull, 1ull, 0xE220A8397B1DCDAFull, 0x0123456789ABCDEFull,
                                         0xFFFFFFFFFFFFFFFFull};
constexpr unsigned long long kSubsequences[] = {
    0ull, 1ull, 5ull, 1000ull, 123456ull, (1ull << 31) - 1, (1ull << 40) + 3};
constexpr unsigned long long kOffsets[] = {0ull, 7ull};
constexpr int kDraws = 8;

// One line per state: the raw draws, then the bit patterns of the uniform draws.
inline std::string line(unsigned long long seed, unsigned long long subsequence, unsigned long long offset,
                        const std::uint32_t* raw, const float* uniform)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%016llx %llu %llu:", seed, subsequence, offset);
    std::string text = buffer;
    for (int k = 0; k < kDraws; ++k) {
        std::snprintf(buffer, sizeof buffer, " %08x", static_cast<unsigned>(raw[k]));
        text += buffer;
    }
    text += " |";
    for (int k = 0; k < kDraws; ++k) {
        std::uint32_t bits;
        std::memcpy(&bits, &uniform[k], sizeof bits);
        std::snprintf(buffer, sizeof buffer, " %08x", static_cast<unsigned>(bits));
        text += buffer;
    }
    return text;
}

} // namespace xorwow_cases
