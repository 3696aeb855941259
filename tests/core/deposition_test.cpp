#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "test_bed.hpp"

namespace {

using pilora::deposition_engine;
using pilora::testing::Bed;
using pilora::testing::fill_interior;
using pilora::testing::make_bed;
using pilora::testing::material;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The engine after `steps` walk steps: two outputs for the four-or-eight draw, then one for the
// start index, drawn again while (o - 1) >= 2147483640.
std::minstd_rand after_walk_steps(std::minstd_rand engine, int steps) {
    for (int n = 0; n < steps; ++n) {
        engine();
        engine();
        while (engine() - 1 >= 2147483640u) {
        }
    }
    return engine;
}

TEST(DepositionDraws, SecondChunkOnAFreshGridMovesToTheDrawnEdgeNeighbour) {
    // Engine state 1: outputs 48271, 182605794 (u = 0.085), 1291394886 (s = 5), then
    // 1914720637, 2078669041 (u = 0.968), 407355683 (s = 2).
    Bed bed = make_bed(9, 9, 90, 1, false, 0.5f);
    deposition_engine().seed(1);
    bed.deposit(material(1.0), 4, 4);  // start cell (5, 5): nothing lower, one walk step
    EXPECT_EQ(bed.height_grid[5][5], 1);
    EXPECT_EQ(deposition_engine(), after_walk_steps(std::minstd_rand(1), 1));

    // u = 0.968 > 0.5: four neighbours from entry 2, (0, +1).
    bed.deposit(material(1.0), 4, 4);
    EXPECT_EQ(bed.height_grid[5][5], 1);
    EXPECT_EQ(bed.height_grid[5][6], 1);
    EXPECT_EQ(deposition_engine(), after_walk_steps(std::minstd_rand(1), 3));
}

TEST(DepositionDraws, FirstStepScansEightFromEntryFiveThenFourFromEntryTwo) {
    Bed bed = make_bed(9, 9, 90, 1, false, 0.5f);
    fill_interior(bed, 20);
    auto& g = bed.height_grid;
    g[5][5] = 10;
    for (int dx = -1; dx <= 1; ++dx)
        for (int dz = -1; dz <= 1; ++dz)
            if (dx != 0 || dz != 0) g[5 + dx][5 + dz] = 3;
    // Around (4, 6): edge neighbours (4, 7) (entry 2) and (3, 6) (entry 0) tie at 2, so the
    // start entry decides; the corner (3, 5) at 0 only an eight-neighbour scan would find.
    g[4][7] = 2;
    g[3][6] = 2;
    g[3][5] = 0;

    deposition_engine().seed(1);
    bed.deposit(material(1.0), 4, 4);
    // (5, 5) -> entry 5 (-1, +1) -> (4, 6) -> entry 2 (0, +1) -> (4, 7), where it rests.
    EXPECT_EQ(g[4][7], 3);
    EXPECT_EQ(g[3][5], 0);
    EXPECT_EQ(g[4][6], 3);
    EXPECT_EQ(g[5][5], 10);
    EXPECT_EQ(bed.slices[3].volume, 1.0);
    EXPECT_EQ(deposition_engine(), after_walk_steps(std::minstd_rand(1), 3));
}

TEST(DepositionDraws, StartIndexIsDrawnAgainForTheTopOutputs) {
    // From this state the third output is 2147483646, refused; the next one gives entry 7.
    constexpr std::uint32_t state = 1290683230u;
    std::minstd_rand check(state);
    check.discard(2);
    ASSERT_EQ(check(), 2147483646u);

    // Always eight neighbours; all lowest but entry 7 (+1, +1), so the scan from 7 goes on to
    // entry 0 (-1, 0). Without the redraw it would start at entry 5 (-1, +1); scanning
    // backwards from 7 would pick entry 6 (+1, -1).
    Bed bed = make_bed(3, 3, 90, 1, false, 1.0f);
    fill_interior(bed, 1);
    bed.height_grid[2][2] = 5;
    bed.height_grid[3][3] = 2;
    deposition_engine().seed(state);
    bed.deposit(material(1.0), 1, 1);
    EXPECT_EQ(bed.height_grid[1][2], 2);
    EXPECT_EQ(bed.height_grid[1][3] + bed.height_grid[3][1], 2);
    EXPECT_EQ(deposition_engine(), after_walk_steps(std::minstd_rand(state), 2));
}

TEST(ForcedWalks, OneCellGridStacksEveryChunkOnItsOnlyCell) {
    Bed bed = make_bed(1, 1);
    ASSERT_EQ(bed.grid_nx, 1u);
    const float positions[][2] = {{0, 0}, {-50, 7}, {kNaN, 1e30f}, {0.4f, -kInf}};
    int expected = 0;
    for (const auto& p : positions) {
        bed.deposit(material(1.0), p[0], p[1]);
        EXPECT_EQ(bed.height_grid[1][1], ++expected);
    }
    EXPECT_EQ(bed.slices[0].volume, 4.0);
}

TEST(ForcedWalks, FourNeighbourScanIgnoresALowerCorner) {
    for (float probability : {0.0f, 1.0f, kNaN}) {
        SCOPED_TRACE(probability);
        Bed bed = make_bed(3, 3, 90, 1, false, probability);
        fill_interior(bed, 1);
        for (int i : {1, 3})
            for (int k : {1, 3}) bed.height_grid[i][k] = 0;
        bed.deposit(material(1.0), 1, 1);
        const int corners = bed.height_grid[1][1] + bed.height_grid[1][3] +
                            bed.height_grid[3][1] + bed.height_grid[3][3];
        if (probability == 0.0f) {
            EXPECT_EQ(bed.height_grid[2][2], 2);
            EXPECT_EQ(corners, 0);
        } else {  // 1 and NaN scan all eight
            EXPECT_EQ(bed.height_grid[2][2], 1);
            EXPECT_EQ(corners, 1);
        }
    }
}

TEST(StartCell, RoundsTheQuotientAndClampsToTheGrid) {
    const Bed bed = make_bed(10, 4, 90, 8);  // cell 0.5, 20 x 8
    const struct {
        float position;
        std::int32_t cell;
    } along_x[] = {{-1.0f, 1}, {0.0f, 1},  {0.2f, 1},  {0.25f, 2}, {0.74f, 2},  {0.75f, 3},
                   {9.75f, 20}, {100.0f, 20}, {kNaN, 1}, {1e30f, 20}, {-1e30f, 1}, {kInf, 20},
                   {-kInf, 1},  {1.07e9f, 20}, {-1.07e9f, 1}};
    for (const auto& c : along_x) {
        EXPECT_EQ(bed.start_cell(c.position, bed.grid_nx), c.cell) << c.position;
    }
    EXPECT_EQ(bed.start_cell(3.9f, bed.grid_nz), 8);
    EXPECT_EQ(make_bed(10, 10).start_cell(2.7f, 10), 4);

    Bed fresh = make_bed(10, 4, 90, 8);
    fresh.deposit(material(0.125), kNaN, 1e30f);
    fresh.deposit(material(0.125), -1e30f, kNaN);
    EXPECT_EQ(fresh.height_grid[1][8], 1);
    EXPECT_EQ(fresh.height_grid[1][1], 1);
}

TEST(SliceIndex, LinearBedMovesBackByHeightOverSlope) {
    const struct {
        float angle;
        std::int32_t column, height;
        std::size_t slice;
    } cases[] = {
        {90, 5, 0, 5},  {90, 5, 7, 5},  {89.99f, 5, 2, 5}, {45, 5, 2, 3},  {45, 5, 0, 5},
        {45, 1, 3, 0},  {45, 19, 1, 18}, {30, 5, 1, 3},    {30, 5, 3, 0},  {0, 5, 0, 0},
        {0, 19, 4, 0},  {135, 0, 0, 19}, {135, 5, 3, 19},  {180, 5, 3, 19},
    };
    for (const auto& c : cases) {
        const Bed bed = make_bed(20, 4, c.angle);
        ASSERT_EQ(bed.slices.size(), 20u);
        EXPECT_EQ(bed.slice_index(c.column + 1, 2, c.height), c.slice)
            << c.angle << " c=" << c.column << " h=" << c.height;
    }
}

TEST(SliceIndex, CircularBedFollowsTheArc) {
    const Bed vertical = make_bed(10, 10, 90, 1, true);
    ASSERT_EQ(vertical.slices.size(), 16u);
    EXPECT_EQ(vertical.arc_length, 15.707963705062866);
    EXPECT_EQ(vertical.slice_index(10, 5, 0), 8u);
    EXPECT_EQ(vertical.slice_index(10, 5, 9), 8u);
    EXPECT_EQ(vertical.slice_index(5, 10, 0), 4u);
    EXPECT_EQ(vertical.slice_index(5, 1, 0), 12u);
    EXPECT_EQ(vertical.slice_index(1, 5, 0), 0u);
    EXPECT_EQ(vertical.slice_index(5, 5, 0), 8u);

    const Bed sloped = make_bed(10, 10, 45, 1, true);
    EXPECT_EQ(sloped.slice_index(10, 5, 3), 5u);
    EXPECT_EQ(sloped.slice_index(1, 5, 2), 15u);  // before the start of the arc: wraps

    // A nearly flat face moves the position back by more than 32 bits of slices: the low 32
    // bits of the index count (14 slices).
    const Bed flat = make_bed(9, 9, 5.7e-8f, 1, true);
    ASSERT_EQ(flat.slices.size(), 14u);
    EXPECT_EQ(flat.slice_index(9, 5, 3), 4u);
}

// Many portions at random positions: the heap keeps its shape and its material.
TEST(Deposition, ManyRandomPortionsKeepTheHeapAndItsMaterial) {
    const struct {
        bool circular;
        float probability, angle;
    } cases[] = {{false, 0.3f, 45}, {true, 1.0f, 40}, {false, 0.0f, 90}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.circular << " " << c.probability << " " << c.angle);
        Bed bed(12, 8, c.angle, 8, c.circular, c.probability, 0, 0);  // cell 0.5, 24 x 16
        std::mt19937 positions(7);
        deposition_engine().seed(20261208);
        long chunks = 0;
        double weighted = 0;
        for (int n = 0; n < 400; ++n) {
            const int k = 1 + static_cast<int>(positions() % 8);
            const float x = static_cast<float>(positions() % 1400) / 100.0f - 1.0f;
            const float z = static_cast<float>(positions() % 1000) / 100.0f - 1.0f;
            const double value = static_cast<double>(positions() % 1000) / 10.0;
            bed.stack(material(0.125 * k, {value}), x, z);
            chunks += k;
            weighted += value * 0.125 * k;
        }

        long height_total = 0;
        for (std::uint32_t i = 1; i <= bed.grid_nx; ++i) {
            for (std::uint32_t k = 1; k <= bed.grid_nz; ++k) {
                const std::int32_t h = bed.height_grid[i][k];
                height_total += h;
                for (int dx = -1; dx <= 1; ++dx) {
                    for (int dz = -1; dz <= 1; ++dz) {
                        const bool corner = dx != 0 && dz != 0;
                        if ((dx == 0 && dz == 0) || (corner && c.probability < 1.0f)) continue;
                        const std::int32_t g = bed.height_grid[i + dx][k + dz];
                        if (g != INT32_MAX) {
                            EXPECT_LE(h - g, 1) << i << "," << k;
                        }
                    }
                }
            }
        }
        EXPECT_EQ(height_total, chunks);
        double volume = 0, sums = 0;
        for (const auto& slice : bed.slices) {
            volume += slice.volume;
            if (!slice.weighted_sums.empty()) sums += slice.weighted_sums[0];
        }
        EXPECT_EQ(volume, 0.125 * static_cast<double>(chunks));
        EXPECT_NEAR(sums, weighted, 1e-9 * weighted);
        EXPECT_EQ(bed.stack_buffer.volume, 0.0);
    }
}

}  // namespace
