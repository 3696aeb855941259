#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "test_bed.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::testing::Bed;
using pilora::testing::make_bed;
using pilora::testing::material;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Records the chunks handed to deposit instead of placing them.
class RecordingBed : public Bed {
public:
    using Bed::Bed;
    struct Drop {
        AveragedParameters chunk;
        float x, z;
    };
    std::vector<Drop> drops;
    void deposit(const AveragedParameters& chunk, float x, float z) override {
        drops.push_back({chunk, x, z});
    }
};

// The 20 x 8 grid of a 10 x 4 bed with cell 0.5: an INT_MAX ring around zeros.
void expect_empty_grid(const Bed& bed) {
    ASSERT_EQ(bed.height_grid.size(), 22u);
    for (std::size_t i = 0; i < 22; ++i) {
        ASSERT_EQ(bed.height_grid[i].size(), 10u);
        for (std::size_t k = 0; k < 10; ++k) {
            const bool border = i == 0 || i == 21 || k == 0 || k == 9;
            EXPECT_EQ(bed.height_grid[i][k], border ? INT_MAX : 0) << i << "," << k;
        }
    }
}

TEST(Geometry, LinearAndCircularBedsFromTheirSettings) {
    Bed linear = make_bed(10, 4, 45, 8, false);
    EXPECT_EQ(linear.cell_size, 0.5f);
    EXPECT_EQ(linear.grid_nx, 20u);
    EXPECT_EQ(linear.grid_nz, 8u);
    EXPECT_EQ(linear.slices.size(), 20u);
    EXPECT_EQ(linear.arc_length, 0.0);
    expect_empty_grid(linear);
    for (std::size_t n = 0; n < 20u * 8u; ++n) EXPECT_EQ(linear.heights_buffer[n], 0.0f);
    EXPECT_FALSE(linear.reclaim_finished());
    EXPECT_EQ(linear.reclaim_position, 0.0f);
    EXPECT_EQ(linear.stack_buffer.volume, 0.0);

    const Bed circular = make_bed(10, 4, 45, 8, true);
    EXPECT_EQ(circular.arc_length, 6.2831854820251465);
    EXPECT_EQ(circular.slices.size(), 13u);
    EXPECT_EQ(circular.grid_nx, 20u);
    EXPECT_EQ(make_bed(4, 10, 45, 8, true).arc_length, 6.2831854820251465);
}

TEST(Geometry, ReclaimSlopeFromTheAngle) {
    EXPECT_EQ(make_bed(10, 4, 45).reclaim_slope, 1.0f);
    EXPECT_EQ(make_bed(10, 4, 0).reclaim_slope, 0.0f);
    EXPECT_EQ(make_bed(10, 4, 135).reclaim_slope, -1.0f);
    EXPECT_EQ(make_bed(10, 4, 30).reclaim_slope, 0.57735026f);
    EXPECT_EQ(make_bed(10, 4, 89.99f).reclaim_slope, 5728.354f);
    for (float angle : {89.995f, 90.0f, 90.005f}) {
        EXPECT_EQ(make_bed(10, 4, angle).reclaim_slope, kInf) << angle;
    }
}

TEST(Geometry, RefusesSettingsThatMakeTheGridUndefined) {
    const float bad[][4] = {
        {kNaN, 4, 45, 8}, {10, kInf, 45, 8}, {-1, 4, 45, 8},   {10, -0.5f, 45, 8},
        {10, 4, kNaN, 8}, {10, 4, -kInf, 8}, {10, 4, 45, 0},   {10, 4, 45, -8},
        {10, 4, 45, kNaN}, {10, 4, 45, kInf}, {1e5f, 1e5f, 45, 1},  // 1e10 cells
        {5e9f, 1, 45, 1},                                          // grid_nx beyond 32 bits
    };
    for (const auto& s : bad) {
        EXPECT_THROW(make_bed(s[0], s[1], s[2], s[3]), std::invalid_argument)
            << s[0] << " " << s[1] << " " << s[2] << " " << s[3];
    }
    // Any float is accepted for the neighbour probability and the stored settings.
    EXPECT_NO_THROW(Bed(10, 4, 45, 8, false, kNaN, kNaN, -kInf));
    // A bed below half a cell is constructible, has no cell or slice and refuses material.
    Bed tiny = make_bed(0.4f, 3, 90, 1);
    EXPECT_EQ(tiny.grid_nx, 0u);
    EXPECT_EQ(tiny.grid_nz, 3u);
    EXPECT_TRUE(tiny.slices.empty());
    EXPECT_TRUE(tiny.reclaim_finished());
    tiny.update_heights();
    EXPECT_THROW(tiny.stack(material(2.0), 0, 0), std::invalid_argument);
}

TEST(Stacking, CutsPortionsIntoUnitChunksAndBuffersTheRemainder) {
    RecordingBed bed(10, 4, 45, 8, false, 0.5f, 0, 0);  // chunk volume 0.125
    bed.stack(material(0.3, {2.0}), 1.0f, 2.0f);
    ASSERT_EQ(bed.drops.size(), 2u);
    for (const auto& drop : bed.drops) {
        EXPECT_EQ(drop.chunk.volume, 0.125);
        ASSERT_EQ(drop.chunk.weighted_sums.size(), 1u);
        EXPECT_DOUBLE_EQ(drop.chunk.weighted_sums[0], 0.25);
        EXPECT_EQ(drop.x, 1.0f);
        EXPECT_EQ(drop.z, 2.0f);
    }
    EXPECT_EQ(bed.stack_buffer.volume, 0.04999999999999999);

    bed.stack(material(0.1, {2.0}), 3.0f, 4.0f);
    ASSERT_EQ(bed.drops.size(), 3u);
    EXPECT_EQ(bed.drops[2].x, 3.0f);
    EXPECT_EQ(bed.drops[2].z, 4.0f);
    EXPECT_EQ(bed.stack_buffer.volume, 0.024999999999999994);

    // Another parameter count is refused before anything is deposited.
    EXPECT_THROW(bed.stack(material(1.0, {1.0, 2.0}), 0, 0), std::runtime_error);
    EXPECT_EQ(bed.drops.size(), 3u);
    EXPECT_EQ(bed.stack_buffer.volume, 0.024999999999999994);
}

TEST(Stacking, ExactlyOneChunkEmptiesTheBufferAndLessDepositsNothing) {
    RecordingBed bed(10, 4, 45, 8, false, 0.5f, 0, 0);
    bed.stack(material(0.125), 0, 0);
    EXPECT_EQ(bed.drops.size(), 1u);
    EXPECT_EQ(bed.stack_buffer.volume, 0.0);
    bed.stack(material(0.124), 0, 0);
    EXPECT_EQ(bed.drops.size(), 1u);
    EXPECT_EQ(bed.stack_buffer.volume, 0.124);
}

TEST(Reset, EmptiesGridAndSlicesButKeepsTheBufferedRemainder) {
    Bed bed = make_bed(10, 4, 90, 8);
    bed.stack(material(3.3, {1.0}), 5, 2);
    bed.reclaim(1.0f);
    bed.reset();
    expect_empty_grid(bed);
    for (const auto& slice : bed.slices) {
        EXPECT_EQ(slice.volume, 0.0);
        EXPECT_TRUE(slice.weighted_sums.empty());
    }
    EXPECT_NEAR(bed.stack_buffer.volume, 0.05, 1e-12);
    EXPECT_EQ(bed.reclaim_position, 1.0f);

    bed.stack(material(0.1, {1.0}), 5, 2);  // with the remainder: one chunk
    EXPECT_EQ(bed.height_grid[11][5], 1);
}

TEST(Heights, ExportRowsOfXCellsPerZCell) {
    Bed bed = make_bed(3, 2, 90, 8);  // cell 0.5: 6 x 4 cells
    bed.height_grid[2][4] = 3;        // x cell 1, z cell 3
    bed.height_grid[6][1] = 1;        // x cell 5, z cell 0
    bed.update_heights();
    for (std::size_t n = 0; n < 24; ++n) {
        const float expected = n == 3 * 6 + 1 ? 1.5f : n == 5 ? 0.5f : 0.0f;
        EXPECT_EQ(bed.heights_buffer[n], expected) << n;
    }
}

TEST(Pause, DepositWaitsWhilePaused) {
    Bed bed = make_bed(3, 3);
    EXPECT_FALSE(bed.is_paused());
    bed.pause();
    EXPECT_TRUE(bed.is_paused());
    std::thread stacker([&] { bed.stack(material(1.0), 1, 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(bed.height_grid[2][2], 0);
    bed.resume();
    stacker.join();
    EXPECT_FALSE(bed.is_paused());
    EXPECT_EQ(bed.height_grid[2][2], 1);
}

}  // namespace
