// The random state of deposition and the two draws a walk step takes from it.
//
// Deposition draws from one process-wide std::minstd_rand (x -> x * 48271 mod 2^31 - 1). A walk
// step takes three outputs: two for a uniform real u in [0, 1), one (rarely more) for a start
// index s in 0..7. Both draws are written out here rather than taken from <random>'s
// distributions, whose algorithms differ between standard libraries.
#pragma once

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>

namespace pilora {

inline std::minstd_rand& deposition_engine();

namespace detail {

// Runs in the child after fork(): a child must not replay its parent's draws, so the engine is
// seeded afresh from the operating system, as Python's own random module does. getrandom() is
// safe to call between fork and exec; the engine costs nothing extra per chunk.
inline void reseed_deposition_engine_after_fork() {
    std::uint32_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) {
        deposition_engine().seed(seed);
    } else {
        // No entropy source in the child: move away from the parent's stream all the same.
        deposition_engine().seed(static_cast<std::uint32_t>(deposition_engine()()) ^
                                 static_cast<std::uint32_t>(getpid()));
    }
}

}  // namespace detail

// The engine deposition draws from, seeded once from the operating system's random source on
// first use, and again in every child made by fork(). Tests and benchmarks seed it through
// this reference to make runs repeatable.
inline std::minstd_rand& deposition_engine() {
    static std::minstd_rand engine = [] {
        pthread_atfork(nullptr, nullptr, &detail::reseed_deposition_engine_after_fork);
        return std::minstd_rand(std::random_device("/dev/urandom")());
    }();
    return engine;
}

namespace minstd {

inline constexpr std::uint32_t modulus = 2147483647u;  // 2^31 - 1
inline constexpr std::uint32_t multiplier = 48271u;

// a * b mod 2^31 - 1 for a and b in 1..2^31 - 2; the result lies in 1..2^31 - 2. Two folds of
// the high bits onto the low ones, without a comparison: a compiler may turn a comparison into
// a branch, which would be mispredicted about every other time. The first fold leaves at most
// 2^32 - 2, the second at most 2^31 - 1; neither fold can reach 0 or 2^31 - 1 itself, as the
// product of two nonzero residues modulo a prime is not 0 modulo it.
constexpr std::uint32_t mul_mod(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t t = static_cast<std::uint64_t>(a) * b;
    const std::uint64_t r = (t & modulus) + (t >> 31);
    return static_cast<std::uint32_t>((r & modulus) + (r >> 31));
}

constexpr std::uint32_t pow_mod(std::uint32_t base, std::uint32_t exponent) {
    std::uint32_t result = 1;
    while (exponent != 0) {
        if (exponent & 1u) result = mul_mod(result, base);
        base = mul_mod(base, base);
        exponent >>= 1;
    }
    return result;
}

// Multipliers that advance the engine by one, two and three outputs, and the one that steps it
// back by one (so the state before an output can be recovered from that output).
inline constexpr std::uint32_t advance_1 = multiplier;
inline constexpr std::uint32_t advance_2 = pow_mod(multiplier, 2);
inline constexpr std::uint32_t advance_3 = pow_mod(multiplier, 3);
inline constexpr std::uint32_t step_back = pow_mod(multiplier, modulus - 2);
static_assert(mul_mod(step_back, multiplier) == 1);

// The uniform real draw from two consecutive outputs: ((o1 - 1) + (o2 - 1) * 2147483646) / 2147483646^2.
inline constexpr double unit_divisor = 4.6116860098374533e18;

inline double unit_draw_sum(std::uint32_t o1, std::uint32_t o2) {
    const double high = static_cast<double>(o2 - 1) * 2147483646.0;
    return static_cast<double>(o1 - 1) + high;
}

inline double unit_draw(std::uint32_t o1, std::uint32_t o2) {
    return unit_draw_sum(o1, o2) / unit_divisor;
}

// The draw lies above p exactly when its sum is at least this limit: the division is correctly
// rounded and so never decreases as the sum grows, and the limit is the smallest sum whose
// draw exceeds p. Lets a walk step compare the sum and skip the division. +infinity where no
// draw exceeds p (p of 1 or more, or NaN), -infinity where every draw does (p below 0).
inline double unit_draw_limit(double p) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (p != p || p >= 1.0) return infinity;
    if (p < 0.0) return -infinity;
    // Bisection over the bit patterns of the doubles in [0, divisor], which are ordered as
    // their values: the draw of `low` is never above p, the draw of `high` (1.0) always is.
    std::uint64_t low = 0;
    std::uint64_t high = std::bit_cast<std::uint64_t>(unit_divisor);
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (std::bit_cast<double>(middle) / unit_divisor > p) {
            high = middle;
        } else {
            low = middle;
        }
    }
    return std::bit_cast<double>(high);
}

// The test unit_draw_sum(o1, o2) >= limit in integers, which is shorter than the conversions
// and the arithmetic it replaces. With x = o2 - 1 and y = o1 - 1 the sum, rounded twice, never
// decreases as x or y grows; so the pairs that reach the limit are every pair with x above
// row + 1, and the pairs in rows `row` and row + 1 with y at least a threshold. A third row is
// never partial: one row's sums span 2147483645, less than the step of 2 * 2147483646 between a
// row and the one after next, and rounding moves sums below 2^62 by at most 2^9 each. In the
// order of the pair's key o2 * 2^32 + o1 these pairs are the keys from `first` on, less a gap
// at the start of row + 1 where its threshold is above 0.
struct DrawSumThreshold {
    std::uint64_t first;
    std::uint64_t gap_begin;
    std::uint64_t gap_size;

    static constexpr std::uint64_t key(std::uint32_t o1, std::uint32_t o2) {
        return static_cast<std::uint64_t>(o2) << 32 | o1;
    }

    bool reached_by(std::uint32_t o1, std::uint32_t o2) const {
        const std::uint64_t k = key(o1, o2);
        return (k >= first) & (k - gap_begin >= gap_size);
    }
};

inline DrawSumThreshold draw_sum_threshold(double limit) {
    constexpr std::uint32_t top = modulus - 1;  // the largest output
    // The smallest output in 1..top for which `reaches` holds (it holds from there on), or
    // top + 1 where it holds for none.
    const auto first = [](auto reaches) {
        std::uint32_t low = 1;
        std::uint32_t high = top;
        while (low < high) {
            const std::uint32_t middle = low + (high - low) / 2;
            if (reaches(middle)) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        return reaches(low) ? low : low + 1;
    };
    if (!(limit > -std::numeric_limits<double>::infinity())) return {0, 0, 0};  // every pair
    if (!(unit_draw_sum(top, top) >= limit)) return {UINT64_MAX, 0, 0};        // no pair
    const std::uint32_t row = first([&](std::uint32_t o2) { return unit_draw_sum(top, o2) >= limit; });
    const std::uint32_t row_from = first([&](std::uint32_t o1) { return unit_draw_sum(o1, row) >= limit; });
    if (row == top) return {DrawSumThreshold::key(row_from, row), 0, 0};
    const std::uint32_t next_row_from =
        first([&](std::uint32_t o1) { return unit_draw_sum(o1, row + 1) >= limit; });
    return {DrawSumThreshold::key(row_from, row), DrawSumThreshold::key(1, row + 1),
            DrawSumThreshold::key(next_row_from, row + 1) - DrawSumThreshold::key(1, row + 1)};
}

// Outputs whose (o - 1) lies at or above this are drawn again by the start-index draw.
inline constexpr std::uint32_t start_index_limit = 2147483640u;

// The start index of the neighbour scan from an accepted output.
inline unsigned start_index(std::uint32_t o) { return (o - 1) & 7u; }

// The state of an engine (its last output, 1 .. 2^31 - 2), which std::minstd_rand does not
// expose: its next output stepped back by one, on a copy.
inline std::uint32_t state_of(const std::minstd_rand& engine) {
    std::minstd_rand copy = engine;
    return mul_mod(static_cast<std::uint32_t>(copy()), step_back);
}

}  // namespace minstd
}  // namespace pilora
