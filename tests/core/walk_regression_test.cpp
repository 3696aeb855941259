// Pins the walk: PiloraFast must place every chunk and leave the engine exactly as a simulator
// drawing each output through std::minstd_rand does, take the recorded draws, and keep the
// recorded bed of a seeded workload.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

#include "library_engine_simulator.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::deposition_engine;
using Fast = pilora::PiloraFast<AveragedParameters>;
using Library = pilora::testing::LibraryEngineSimulator;
const AveragedParameters chunk{1.0, {}};

struct Settings { float size_x, size_z, angle, particles; bool circular; float eight; };

void PrintTo(const Settings& s, std::ostream* out) {
    *out << s.size_x << " x " << s.size_z << (s.circular ? " circular" : " linear") << ", angle "
         << s.angle << ", " << s.particles << " per volume unit, eight " << s.eight;
}

template <class Simulator>
std::unique_ptr<Simulator> stacked(const Settings& s, std::uint32_t seed) {
    auto bed = std::make_unique<Simulator>(s.size_x, s.size_z, s.angle, s.particles, s.circular,
                                           s.eight, 0.0f, 0.0f);
    deposition_engine().seed(seed);
    for (int pass = 0; pass < 12; ++pass) {
        for (int j = 0; j <= 40; ++j) {
            const float x = s.size_x * static_cast<float>(pass % 2 == 0 ? j : 40 - j) / 40.0f;
            AveragedParameters portion;
            portion.add(0.37, {static_cast<double>(j % 7), static_cast<double>(pass)});
            bed->stack(portion, x, s.size_z * (0.3f + 0.05f * static_cast<float>(pass % 5)));
        }
    }
    return bed;
}

std::uint64_t fingerprint(const Fast& bed) {
    std::uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](std::uint64_t value) { hash = (hash ^ value) * 1099511628211ull; };
    for (const auto& row : bed.height_grid)
        for (std::int32_t h : row) mix(static_cast<std::uint32_t>(h));
    for (const AveragedParameters& slice : bed.slices) {
        mix(std::bit_cast<std::uint64_t>(slice.volume));
        for (double sum : slice.weighted_sums) mix(std::bit_cast<std::uint64_t>(sum));
    }
    return hash;
}

class WalkAgainstLibraryEngine : public ::testing::TestWithParam<Settings> {};

TEST_P(WalkAgainstLibraryEngine, PlacesEveryChunkAlikeAndLeavesTheEngineAlike) {
    for (std::uint32_t seed : {1u, 42u, 2147483646u}) {
        const auto fast = stacked<Fast>(GetParam(), seed);
        const std::minstd_rand after_fast = deposition_engine();
        const auto library = stacked<Library>(GetParam(), seed);
        EXPECT_TRUE(after_fast == deposition_engine()) << "seed " << seed;
        EXPECT_EQ(fast->height_grid, library->height_grid) << "seed " << seed;
        ASSERT_EQ(fast->slices.size(), library->slices.size());
        for (std::size_t i = 0; i < fast->slices.size(); ++i) {
            EXPECT_EQ(fast->slices[i].volume, library->slices[i].volume) << "slice " << i;
            EXPECT_EQ(fast->slices[i].weighted_sums, library->slices[i].weighted_sums) << "slice " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Beds, WalkAgainstLibraryEngine,
    ::testing::Values(Settings{20, 6, 45, 8, false, 0.5f}, Settings{20, 6, 30, 8, false, 0.0f},
                      Settings{20, 6, 90, 8, false, 1.0f}, Settings{12, 12, 45, 1, true, 0.5f},
                      Settings{5, 1, 135, 27, false, 0.25f},
                      Settings{9, 5, 60, 1, false, std::numeric_limits<float>::quiet_NaN()}));

// Two beds stacked in turn, with outside draws and reseeding in between: each deposit must
// draw from wherever the shared engine stands, not from where its bed last left it.
template <class Simulator>
auto stacked_in_turn() {
    auto first = std::make_unique<Simulator>(20.0f, 6.0f, 45.0f, 8.0f, false, 0.5f, 0.0f, 0.0f);
    auto second = std::make_unique<Simulator>(12.0f, 12.0f, 30.0f, 1.0f, true, 0.5f, 0.0f, 0.0f);
    std::minstd_rand& engine = deposition_engine();
    engine.seed(3);
    std::vector<std::uint32_t> outside_draws;
    for (int n = 0; n < 900; ++n) {
        AveragedParameters portion;
        portion.add(0.3, {static_cast<double>(n % 5)});
        Simulator& bed = n % 3 == 2 ? *second : *first;
        bed.stack(portion, static_cast<float>(n % 17), static_cast<float>(n % 4) + 1.0f);
        if (n % 7 == 0) outside_draws.push_back(static_cast<std::uint32_t>(engine()));
        if (n % 11 == 0) engine.seed(outside_draws.back());
    }
    return std::tuple{std::move(first), std::move(second), outside_draws, engine};
}

TEST(WalkRegression, BedsSharingTheEngineDrawFromItsCurrentState) {
    const auto [fast_first, fast_second, fast_draws, fast_engine] = stacked_in_turn<Fast>();
    const auto [library_first, library_second, library_draws, library_engine] = stacked_in_turn<Library>();
    EXPECT_EQ(fast_draws, library_draws);
    EXPECT_TRUE(fast_engine == library_engine);
    EXPECT_EQ(fast_first->height_grid, library_first->height_grid);
    EXPECT_EQ(fast_second->height_grid, library_second->height_grid);
}

TEST(WalkRegression, SeededWorkloadKeepsItsBed) {
    const auto linear = stacked<Fast>(Settings{20, 6, 45, 8, false, 0.5f}, 7);
    const auto circular = stacked<Fast>(Settings{12, 12, 30, 1, true, 0.5f}, 7);
    EXPECT_EQ(fingerprint(*linear), 4084381714160229450u);
    EXPECT_EQ(fingerprint(*circular), 8997878451978690235u);
}

TEST(WalkDraws, SecondChunkOnAFreshGridMovesToTheDrawnEdgeNeighbour) {
    // Engine state 1: outputs 48271, 182605794 (u = 0.085), 1291394886 (s = 5), then 1914720637,
    // 2078669041 (u = 0.968), 407355683 (s = 2), then 1105902161, 854716505, 564586691 for the
    // step that finds nothing lower. The engine's state is its last output.
    Fast bed(9, 9, 90, 1, false, 0.5f, 0, 0);
    deposition_engine().seed(1);
    bed.deposit(chunk, 4, 4);  // start cell (5, 5): nothing lower, one walk step
    EXPECT_EQ(bed.height_grid[5][5], 1);
    EXPECT_EQ(deposition_engine(), std::minstd_rand(1291394886u));
    bed.deposit(chunk, 4, 4);  // u = 0.968 > 0.5: four neighbours from entry 2, (0, +1)
    EXPECT_EQ(bed.height_grid[5][5], 1);
    EXPECT_EQ(bed.height_grid[5][6], 1);
    EXPECT_EQ(deposition_engine(), std::minstd_rand(564586691u));
}

TEST(WalkDraws, StartIndexIsDrawnAgainForTheTopOutputs) {
    // Outputs 1922112213, 247665088, 2147483646 (drawn again), 2147435376 (s = 7), then 1964877853,
    // 856088761, 232763010 for the step that finds nothing lower. Always eight neighbours, all
    // lowest but entry 7 (+1, +1): the scan from 7 goes on to entry 0 (-1, 0). Without the redraw
    // it would start at entry 5 (-1, +1); scanning backwards from 7 would pick entry 6 (+1, -1).
    Fast bed(3, 3, 90, 1, false, 1.0f, 0, 0);
    for (int i = 1; i <= 3; ++i)
        for (int k = 1; k <= 3; ++k) bed.height_grid[i][k] = 1;
    bed.height_grid[2][2] = 5;
    bed.height_grid[3][3] = 2;
    deposition_engine().seed(1290683230u);
    bed.deposit(chunk, 1, 1);
    EXPECT_EQ(bed.height_grid[1][2], 2);
    EXPECT_EQ(bed.height_grid[1][3] + bed.height_grid[3][1], 2);
    EXPECT_EQ(deposition_engine(), std::minstd_rand(232763010u));
}

// The walk compares the draw's sum with a limit instead of dividing; the decision must be the
// division's for every probability, at the limit and on both sides of it.
TEST(UnitDrawLimit, DecidesLikeTheDivision) {
    using namespace pilora::minstd;
    std::minstd_rand engine(99);
    const float probabilities[] = {0.0f, -0.0f, 0.5f, 0.1f, 1e-9f, 1.4e-45f, 0.99999994f, 0.3f, 1.0f,
                                   -0.25f, 2.0f, std::numeric_limits<float>::quiet_NaN(),
                                   std::numeric_limits<float>::infinity()};
    for (const float probability : probabilities) {
        const double p = probability;
        const double limit = unit_draw_limit(p);
        const DrawSumThreshold threshold = draw_sum_threshold(limit);
        auto agrees = [&](double sum) { return (sum / unit_divisor > p) == (sum >= limit); };
        auto decides = [&](std::uint32_t o1, std::uint32_t o2) {
            return threshold.reached_by(o1, o2) == (unit_draw(o1, o2) > p);
        };
        for (int n = 0; n < 20000; ++n) {
            const auto o1 = static_cast<std::uint32_t>(engine());
            const auto o2 = static_cast<std::uint32_t>(engine());
            ASSERT_TRUE(agrees(unit_draw_sum(o1, o2)) && decides(o1, o2)) << p;
        }
        // Outputs around the first key and the gap of the integer test, and at the ends.
        const std::int64_t top = modulus - 1;
        const std::int64_t row = static_cast<std::int64_t>(threshold.first >> 32);
        std::vector<std::int64_t> lows = {1, 2, top - 1, top};
        for (const std::uint64_t key : {threshold.first, threshold.gap_begin + threshold.gap_size}) {
            const auto low = static_cast<std::int64_t>(key & 0xffffffffu);
            lows.insert(lows.end(), {low - 1, low, low + 1});
        }
        for (const std::int64_t o2 : {row - 1, row, row + 1, row + 2, std::int64_t{1}, top}) {
            for (const std::int64_t o1 : lows) {
                if (o1 < 1 || o1 > top || o2 < 1 || o2 > top) continue;
                EXPECT_TRUE(decides(static_cast<std::uint32_t>(o1), static_cast<std::uint32_t>(o2)))
                    << p << " at o1 = " << o1 << ", o2 = " << o2;
            }
        }
        EXPECT_TRUE(agrees(0.0) && agrees(unit_divisor - 1.0)) << p;
        if (std::isfinite(limit)) {
            for (const double sum : {limit, std::nextafter(limit, 0.0), std::nextafter(limit, unit_divisor),
                                     std::floor(limit), std::ceil(limit)})
                EXPECT_TRUE(agrees(sum)) << p << " at " << sum;
        }
    }
}

// A limit between the top of one row and the start of the next: the next row then starts below
// it, and the integer test must leave that gap out.
TEST(UnitDrawLimit, IntegerTestLeavesOutTheStartOfTheNextRow) {
    using namespace pilora::minstd;
    constexpr std::uint32_t top = modulus - 1;
    std::uint32_t row = 1u << 30;
    while (!(unit_draw_sum(top, row) > unit_draw_sum(1, row + 1))) ++row;
    const double limit = unit_draw_sum(top, row);
    const DrawSumThreshold threshold = draw_sum_threshold(limit);
    EXPECT_GT(threshold.gap_size, 0u);
    std::minstd_rand engine(5);
    for (const std::uint32_t o2 : {row - 1, row, row + 1, row + 2}) {
        std::vector<std::uint32_t> lows = {1, 2, top - 1, top};
        for (int n = 0; n < 2000; ++n) lows.push_back(static_cast<std::uint32_t>(engine()));
        for (const std::uint64_t key : {threshold.first, threshold.gap_begin + threshold.gap_size}) {
            const auto low = static_cast<std::uint32_t>(key);
            lows.insert(lows.end(), {low - 1, low, low + 1});
        }
        for (const std::uint32_t o1 : lows) {
            if (o1 < 1 || o1 > top) continue;
            ASSERT_EQ(threshold.reached_by(o1, o2), unit_draw_sum(o1, o2) >= limit) << o1 << ", " << o2;
        }
    }
}

// The walk's modular product folds the high bits twice instead of comparing; it must agree
// with the remainder for the residues at both ends, where each fold carries, and at random.
TEST(ModularProduct, AgreesWithTheRemainder) {
    using namespace pilora::minstd;
    std::vector<std::uint32_t> values = {1u, 2u, 48271u, 65536u, 1u << 30, (1u << 31) - 3, (1u << 31) - 2};
    std::minstd_rand engine(7);
    for (int n = 0; n < 2000; ++n) values.push_back(static_cast<std::uint32_t>(engine()));
    for (const std::uint32_t a : values) {
        for (const std::uint32_t b : values) {
            const auto expected = static_cast<std::uint32_t>(std::uint64_t{a} * b % modulus);
            ASSERT_EQ(mul_mod(a, b), expected) << a << " * " << b;
        }
    }
}

}  // namespace
