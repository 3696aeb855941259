#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "test_bed.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::testing::Bed;
using pilora::testing::make_bed;
using pilora::testing::material;

void expect_holds(const AveragedParameters& a, double volume, const std::vector<double>& sums) {
    EXPECT_EQ(a.volume, volume);
    EXPECT_EQ(a.weighted_sums, sums);
}

// A linear bed of ten slices of width 1.
class Reclaim : public ::testing::Test {
protected:
    Bed bed = make_bed(10, 2);
};

TEST_F(Reclaim, TakesTheShareOfWhatRemainsOfTheBoundarySlice) {
    bed.slices[0] = material(10.0, {2.0});
    bed.slices[1] = material(4.0, {5.0});

    expect_holds(bed.reclaim(0.3f), 3.0000001192092896, {6.000000238418579});
    expect_holds(bed.slices[0], 6.9999998807907104, {13.999999761581421});

    // 0.3 of the 0.7 of the width that remains.
    expect_holds(bed.reclaim(0.6f), 3.0000001192092896, {6.000000238418579});
    expect_holds(bed.slices[0], 3.999999761581421, {7.999999523162842});

    // The rest of slice 0 whole, then 0.2 of slice 1.
    expect_holds(bed.reclaim(1.2f), 4.799999952316284, {12.000000476837158});
    expect_holds(bed.slices[0], 0.0, {});
    expect_holds(bed.slices[1], 3.1999998092651367, {15.999999046325684});
    EXPECT_EQ(bed.reclaim_position, 1.2f);
}

TEST_F(Reclaim, NoWidthTakesNothing) {
    bed.slices[0] = material(2.0, {1.0, 3.0});
    expect_holds(bed.reclaim(0.0f), 0.0, {0.0, 0.0});  // the popped zero volume keeps its sums
    expect_holds(bed.slices[0], 2.0, {2.0, 6.0});
    bed.reclaim(0.5f);
    expect_holds(bed.reclaim(0.5f), 0.0, {0.0, 0.0});
    expect_holds(bed.slices[0], 1.0, {1.0, 3.0});

    Bed other = make_bed(10, 2);
    other.slices[1] = material(2.0, {1.0});
    expect_holds(other.reclaim(0.0f), 0.0, {});
}

TEST_F(Reclaim, PositionOnASliceBoundaryTakesWholeSlicesOnly) {
    for (int n = 0; n < 10; ++n) bed.slices[n] = material(1.0 + n, {static_cast<double>(n)});
    bed.reclaim(0.5f);
    expect_holds(bed.reclaim(3.0f), 5.5, {8.0});
    for (int n = 0; n < 3; ++n) expect_holds(bed.slices[n], 0.0, {});
    expect_holds(bed.slices[3], 4.0, {12.0});
}

TEST_F(Reclaim, BeyondTheEndTakesEveryRemainingSliceWhole) {
    for (auto& slice : bed.slices) slice = material(1.0, {3.0});
    expect_holds(bed.reclaim(4.5f), 4.5, {13.5});
    expect_holds(bed.reclaim(100.0f), 5.5, {16.5});
    for (const auto& slice : bed.slices) expect_holds(slice, 0.0, {});
    EXPECT_TRUE(bed.reclaim_finished());
    expect_holds(bed.reclaim(200.0f), 0.0, {});
}

TEST_F(Reclaim, EmptyAndVolumeOnlyBeds) {
    expect_holds(bed.reclaim(5.5f), 0.0, {});

    Bed volume_only = make_bed(10, 2);
    for (auto& slice : volume_only.slices) slice = material(2.0);
    expect_holds(volume_only.reclaim(3.5f), 7.0, {});
}

TEST_F(Reclaim, RefusesAPositionBehindTheCurrentOne) {
    for (auto& slice : bed.slices) slice = material(1.0, {3.0});
    bed.reclaim(2.5f);
    EXPECT_THROW(bed.reclaim(2.4f), std::invalid_argument);
    EXPECT_EQ(bed.reclaim_position, 2.5f);
    expect_holds(bed.slices[2], 0.5, {1.5});

    Bed fresh = make_bed(10, 2);
    EXPECT_THROW(fresh.reclaim(-1.0f), std::invalid_argument);
    EXPECT_EQ(fresh.reclaim_position, 0.0f);
}

TEST_F(Reclaim, ParameterCountMismatchKeepsThePosition) {
    bed.slices[0] = material(1.0, {1.0});
    bed.slices[1] = material(1.0);
    EXPECT_THROW(bed.reclaim(5.0f), std::runtime_error);
    EXPECT_EQ(bed.reclaim_position, 0.0f);
}

TEST(ReclaimFinished, RoundedPositionReachesTheSliceCount) {
    Bed ten = make_bed(10, 2);  // 10 slices of 1
    ten.reclaim_position = 9.49f;
    EXPECT_FALSE(ten.reclaim_finished());
    ten.reclaim_position = 9.5f;
    EXPECT_TRUE(ten.reclaim_finished());

    Bed twenty = make_bed(10, 4, 90, 8);  // 20 slices of 0.5
    const struct {
        float position;
        bool finished;
    } cases[] = {{9.74f, false}, {9.75f, true}, {-0.74f, false}, {-0.76f, true}};
    for (const auto& c : cases) {
        twenty.reclaim_position = c.position;
        EXPECT_EQ(twenty.reclaim_finished(), c.finished) << c.position;
    }

    Bed none = make_bed(0.4f, 2);  // no slice
    EXPECT_TRUE(none.reclaim_finished());
    none.reclaim_position = -0.74f;
    EXPECT_TRUE(none.reclaim_finished());
}

TEST(ReclaimCycle, ReportsTheStackedVolumeAndLeavesTheHeights) {
    Bed bed = make_bed(10, 4, 45, 8);
    for (int n = 0; n < 40; ++n) bed.stack(material(0.5, {1.0 * n}), 0.25f * n, 2.0f);
    const auto heights = bed.height_grid;

    double reclaimed = 0;
    float x = 0;
    while (!bed.reclaim_finished()) {
        reclaimed += bed.reclaim(x).volume;
        x += 0.1f;
    }
    double left = 0;
    for (const auto& slice : bed.slices) left += slice.volume;
    EXPECT_NEAR(reclaimed + left, 20.0, 1e-9);
    EXPECT_LE(left, bed.slices.back().volume + 1e-12);  // only the unreported tail stays
    EXPECT_EQ(bed.height_grid, heights);
}

}  // namespace
