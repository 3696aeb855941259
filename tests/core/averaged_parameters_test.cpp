#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "test_bed.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::testing::accumulator;
using pilora::testing::material;

void expect_holds(const AveragedParameters& a, double volume, const std::vector<double>& sums) {
    EXPECT_EQ(a.volume, volume);
    EXPECT_EQ(a.weighted_sums, sums);
}

void expect_runtime_error(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected std::runtime_error \"" << message << "\"";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), message);
    }
}

// Equal bit for bit, so that -0.0 and 0.0 are told apart and NaNs matched exactly.
std::uint64_t bits(double value) {
    std::uint64_t b;
    std::memcpy(&b, &value, sizeof b);
    return b;
}

void expect_bit_identical(const AveragedParameters& a, const AveragedParameters& b) {
    EXPECT_EQ(bits(a.volume), bits(b.volume)) << a.volume << " vs " << b.volume;
    ASSERT_EQ(a.weighted_sums.size(), b.weighted_sums.size());
    for (std::size_t i = 0; i < a.weighted_sums.size(); ++i) {
        EXPECT_EQ(bits(a.weighted_sums[i]), bits(b.weighted_sums[i])) << "sum " << i;
    }
}

TEST(AveragedParameters, AddWeighsValuesByVolumeAndAdoptsTheFirstCount) {
    expect_holds(material(2.0, {1.0, 3.0}), 2.0, {2.0, 6.0});

    AveragedParameters a = material(1.0);
    expect_holds(a, 1.0, {});
    a.add(1.0, {5.0});
    expect_holds(a, 2.0, {5.0});
}

TEST(AveragedParameters, CountMismatchThrowsAndChangesNothing) {
    AveragedParameters a = material(2.0, {1.0, 2.0, 3.0});
    expect_runtime_error([&] { a.add(1.0, {1.0, 2.0}); }, "invalid parameter count");
    expect_runtime_error([&] { a.add(1.0, {}); }, "invalid parameter count");
    expect_runtime_error([&] { a.merge(material(1.0, {1.0})); }, "invalid parameter count");
    // Volume without sums, at or above 1e-100, cannot join material that has sums.
    expect_runtime_error([&] { a.merge(material(0.5)); }, "invalid parameter count");
    expect_holds(a, 2.0, {2.0, 4.0, 6.0});
}

TEST(AveragedParameters, MergeAddsVolumesAndSums) {
    AveragedParameters a = material(2.0, {1.0, 3.0});
    a.merge(AveragedParameters{});
    a.merge(accumulator(1e-101, {}));
    expect_holds(a, 2.0, {2.0, 6.0});

    const AveragedParameters other = material(1.0, {4.0, 0.5});
    a.merge(other);
    expect_holds(a, 3.0, {6.0, 6.5});
    expect_holds(other, 1.0, {4.0, 0.5});

    AveragedParameters empty;
    empty.merge(accumulator(0.1, {0.7, -2.5}));
    expect_holds(empty, 0.1, {0.7, -2.5});

    AveragedParameters volume_only = material(1.0);
    volume_only.merge(material(0.5));
    volume_only.merge(accumulator(1e-101, {}));
    expect_holds(volume_only, 1.5, {});
}

TEST(AveragedParameters, PopTakesVolumeAtTheAverageComposition) {
    AveragedParameters a = accumulator(4.0, {8.0});
    expect_holds(a.pop(1.0), 1.0, {2.0});
    expect_holds(a, 3.0, {6.0});

    // The popped sums are (s / V) * v, rounded twice; the rest is scaled by (V - v) / V.
    AveragedParameters b = accumulator(10.0, {0.1});
    expect_holds(b.pop(3.0), 3.0, {0.03});
    expect_holds(b, 7.0, {0.06999999999999999});

    AveragedParameters all = accumulator(3.0, {0.1});
    expect_holds(all.pop(3.0), 3.0, {0.1});
    expect_holds(all, 0.0, {0.0});

    AveragedParameters none = accumulator(3.0, {0.1, -6.0});
    expect_holds(none.pop(0.0), 0.0, {0.0, 0.0});
    expect_holds(none, 3.0, {0.1, -6.0});

    // At most 1e-100 of volume: sums are neither divided nor scaled.
    AveragedParameters tiny = accumulator(1e-101, {5.0});
    expect_holds(tiny.pop(1e-101), 1e-101, {5.0 * 1e-101});
    expect_holds(tiny, 0.0, {5.0});
}

TEST(AveragedParameters, PopOfMoreThanIsHeldThrowsAndChangesNothing) {
    AveragedParameters a = accumulator(4.0, {8.0});
    AveragedParameters out = accumulator(9.0, {1.0, 2.0});
    const double too_much = std::nextafter(4.0, 5.0);
    expect_runtime_error([&] { a.pop(too_much); }, "could not pop volume, not enough volume left");
    expect_runtime_error([&] { a.pop_into(too_much, out); },
                         "could not pop volume, not enough volume left");
    expect_holds(a, 4.0, {8.0});
    expect_holds(out, 9.0, {1.0, 2.0});
}

TEST(AveragedParameters, PopIntoIsBitIdenticalToPop) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        AveragedParameters source;
        double volume;
    } cases[] = {
        {accumulator(10.0, {0.1, 7.0}), 3.0},   {accumulator(0.7, {0.1}), 0.7},
        {accumulator(3.0, {0.1, -6.0}), 0.0},   {accumulator(3.0, {-0.0}), -0.0},
        {accumulator(1e-101, {5.0}), 1e-101},   {accumulator(2.0, {}), 0.125},
        {accumulator(0.3, {inf, 1e308}), 0.125}, {accumulator(-1.0, {2.0}), -2.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.volume);
        AveragedParameters by_pop = c.source;
        AveragedParameters by_pop_into = c.source;
        AveragedParameters out = accumulator(9.0, {1.0, 2.0, 3.0});  // reused storage
        const AveragedParameters popped = by_pop.pop(c.volume);
        by_pop_into.pop_into(c.volume, out);
        expect_bit_identical(out, popped);
        expect_bit_identical(by_pop_into, by_pop);
    }
}

TEST(AveragedParameters, AveragesDivideByVolumeAboveTheThreshold) {
    EXPECT_EQ(accumulator(4.0, {8.0, 2.0}).averages(), (std::vector<double>{2.0, 0.5}));
    EXPECT_EQ(accumulator(0.0, {0.0, 0.0}).averages(), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(accumulator(1e-101, {3.0}).averages(), (std::vector<double>{3.0}));
    EXPECT_TRUE(material(2.0).averages().empty());
}

TEST(AveragedParameters, ClearEmptiesAndLetsTheNextOperandSetTheCount) {
    AveragedParameters a = material(2.0, {1.0, 2.0, 3.0});
    const std::size_t capacity = a.weighted_sums.capacity();
    a.clear();
    expect_holds(a, 0.0, {});
    EXPECT_EQ(a.weighted_sums.capacity(), capacity);
    a.add(1.0, {7.0});
    expect_holds(a, 1.0, {7.0});
}

}  // namespace
