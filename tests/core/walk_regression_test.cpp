// Pins the walk: PiloraFast, with its own draws, must place every chunk exactly where a
// simulator that draws each output through std::minstd_rand places it, and leave the engine in
// the same state; and a seeded workload must keep producing the recorded bed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <tuple>

#include "library_engine_simulator.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::deposition_engine;
using Fast = pilora::PiloraFast<AveragedParameters>;
using Library = pilora::testing::LibraryEngineSimulator;

struct Settings {
    float size_x, size_z, angle, particles;
    bool circular;
    float eight;
};

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
        std::uint64_t bits;
        std::memcpy(&bits, &slice.volume, sizeof bits);
        mix(bits);
        for (double sum : slice.weighted_sums) {
            std::memcpy(&bits, &sum, sizeof bits);
            mix(bits);
        }
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
                      Settings{5, 1, 135, 27, false, 0.25f}));

TEST(WalkRegression, SeededWorkloadKeepsItsBed) {
    const auto linear = stacked<Fast>(Settings{20, 6, 45, 8, false, 0.5f}, 7);
    const auto circular = stacked<Fast>(Settings{12, 12, 30, 1, true, 0.5f}, 7);
    EXPECT_EQ(fingerprint(*linear), 4084381714160229450u);
    EXPECT_EQ(fingerprint(*circular), 8997878451978690235u);
}

}  // namespace

namespace {

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
        auto agrees = [&](double sum) { return (sum / unit_divisor > p) == (sum >= limit); };
        for (int n = 0; n < 20000; ++n) {
            const auto o1 = static_cast<std::uint32_t>(engine());
            const auto o2 = static_cast<std::uint32_t>(engine());
            ASSERT_TRUE(agrees(unit_draw_sum(o1, o2))) << p;
        }
        if (std::isfinite(limit)) {
            EXPECT_TRUE(agrees(limit)) << p;
            EXPECT_TRUE(agrees(std::nextafter(limit, 0.0))) << p;
            EXPECT_TRUE(agrees(std::nextafter(limit, unit_divisor))) << p;
            EXPECT_TRUE(agrees(std::floor(limit))) << p;
            EXPECT_TRUE(agrees(std::ceil(limit))) << p;
        }
        EXPECT_TRUE(agrees(0.0)) << p;
        EXPECT_TRUE(agrees(unit_divisor - 1.0)) << p;
    }
}

}  // namespace
