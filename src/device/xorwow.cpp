// Skip-ahead for the CPU XORWOW generator. The xorshift part of the state (five 32-bit
// words) advances by a linear map M over GF(2)^160; skipping n draws applies M^n. We build
// the powers M^(2^k) (offsets) and M^(2^(67+k)) (subsequences, 2^67 draws apart) once, by
// repeated squaring from M itself, and apply those whose bit is set in n. The Weyl
// counter d advances by 362437 per draw; a whole subsequence moves it by a multiple of
// 2^32, i.e. not at all.
#include "device/random.h"

#include <array>
#include <memory>

namespace dev {
namespace {

constexpr int kWords = 5;
constexpr int kBits = 32 * kWords;

using Bits = std::array<std::uint32_t, kWords>;

// Column j holds M applied to the j-th unit vector, so M x is the XOR of the columns
// selected by the set bits of x.
struct Matrix {
    std::array<Bits, kBits> column;
};

Bits xorshiftStep(const Bits& v)
{
    XorwowState s{0, {v[0], v[1], v[2], v[3], v[4]}};
    rngNext(&s);
    return {s.v[0], s.v[1], s.v[2], s.v[3], s.v[4]};
}

Bits applyMatrix(const Matrix& m, const Bits& x)
{
    Bits r{};
    for (int word = 0; word < kWords; ++word) {
        for (std::uint32_t bits = x[word]; bits != 0; bits &= bits - 1) {
            const Bits& c = m.column[word * 32 + __builtin_ctz(bits)];
            for (int i = 0; i < kWords; ++i) r[i] ^= c[i];
        }
    }
    return r;
}

Matrix square(const Matrix& m)
{
    Matrix r;
    for (int j = 0; j < kBits; ++j) r.column[j] = applyMatrix(m, m.column[j]);
    return r;
}

struct SkipTables {
    std::array<Matrix, 64> offset;   // M^(2^k)
    std::array<Matrix, 64> sequence; // M^(2^(67+k))
};

std::unique_ptr<SkipTables> buildTables()
{
    auto t = std::make_unique<SkipTables>();
    Matrix m;
    for (int j = 0; j < kBits; ++j) {
        Bits unit{};
        unit[j / 32] = 1u << (j % 32);
        m.column[j] = xorshiftStep(unit);
    }
    for (int k = 0; k < 64; ++k) {
        t->offset[k] = m;
        m = square(m);
    }
    // m is now M^(2^64); three more squarings reach one subsequence, M^(2^67).
    for (int k = 64; k < 67; ++k) m = square(m);
    for (int k = 0; k < 64; ++k) {
        t->sequence[k] = m;
        if (k + 1 < 64) m = square(m);
    }
    return t;
}

const SkipTables& skipTables()
{
    static const std::unique_ptr<SkipTables> tables = buildTables();
    return *tables;
}

void skip(const std::array<Matrix, 64>& powers, std::uint64_t n, Bits& v)
{
    for (int k = 0; n != 0; ++k, n >>= 1) {
        if (n & 1u) v = applyMatrix(powers[k], v);
    }
}

} // namespace

void rngInit(std::uint64_t seed, std::uint64_t subsequence, std::uint64_t offset, XorwowState* state)
{
    // Seed scrambling as cuRAND does it: split the seed, salt and multiply each half.
    const std::uint32_t s0 = static_cast<std::uint32_t>(seed) ^ 0xaad26b49u;
    const std::uint32_t s1 = static_cast<std::uint32_t>(seed >> 32) ^ 0xf7dcefddu;
    const std::uint32_t t0 = 1099087573u * s0;
    const std::uint32_t t1 = 2591861531u * s1;
    Bits v{123456789u + t0, 362436069u ^ t0, 521288629u + t1, 88675123u ^ t1, 5783321u + t0};
    state->d = 6615241u + t1 + t0;

    if (subsequence != 0 || offset != 0) {
        const SkipTables& tables = skipTables();
        skip(tables.sequence, subsequence, v);
        skip(tables.offset, offset, v);
    }
    for (int i = 0; i < kWords; ++i) state->v[i] = v[i];
    state->d += 362437u * static_cast<std::uint32_t>(offset);
}

} // namespace dev
