// The angle of repose: at 45 degrees the cube model, bit for bit; at other angles chunks of the
// same volume whose height and cell width make one chunk per cell the chosen slope, with the
// heights and the reclaim face's booking following, and the refused angles.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <vector>

#include "averaged_parameters.hpp"
#include "deposition_random.hpp"
#include "pilora_fast.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::deposition_engine;
using Bed = pilora::PiloraFast<AveragedParameters>;

constexpr double kDegree = 0.017453292519943295;

struct Settings { float size_x, size_z, reclaim_angle, particles; bool circular; float eight; };

void PrintTo(const Settings& s, std::ostream* out) {
    *out << s.size_x << " x " << s.size_z << (s.circular ? " circular" : " linear") << ", reclaim "
         << s.reclaim_angle << ", " << s.particles << " per volume unit, eight " << s.eight;
}

// The bed with the eight settings only, or with an angle of repose as well.
std::unique_ptr<Bed> make(const Settings& s, const float* repose = nullptr) {
    if (repose == nullptr) {
        return std::make_unique<Bed>(s.size_x, s.size_z, s.reclaim_angle, s.particles, s.circular,
                                     s.eight, 0.0f, 0.0f);
    }
    return std::make_unique<Bed>(s.size_x, s.size_z, s.reclaim_angle, s.particles, s.circular,
                                 s.eight, 0.0f, 0.0f, *repose);
}

// Chevron-like passes across the bed, positions in cells so that beds of equal grids with
// different cell widths receive their chunks on the same cells.
void stack_passes(Bed& bed, std::uint32_t seed) {
    deposition_engine().seed(seed);
    const float nx = static_cast<float>(bed.grid_nx);
    const float nz = static_cast<float>(bed.grid_nz);
    const double chunk = static_cast<double>(1.0f / bed.particles_per_volume_unit);
    for (int pass = 0; pass < 10; ++pass) {
        for (int j = 0; j <= 30; ++j) {
            const float cell_x = (nx - 1.0f) * static_cast<float>(pass % 2 == 0 ? j : 30 - j) / 30.0f;
            const float cell_z = (nz - 1.0f) * (0.3f + 0.1f * static_cast<float>(pass % 4));
            AveragedParameters portion;
            portion.add(1.7 * chunk, {static_cast<double>(j % 7), static_cast<double>(pass)});
            bed.stack(portion, cell_x * bed.cell_size, cell_z * bed.cell_size);
        }
    }
}

// Every reclaim step of a bed, in steps of a third of a cell.
std::vector<AveragedParameters> reclaim_all(Bed& bed) {
    std::vector<AveragedParameters> rows;
    const float step = bed.cell_size / 3.0f;
    for (float x = 0.0f; !bed.reclaim_finished(); x += step) rows.push_back(bed.reclaim(x));
    return rows;
}

void expect_same(const AveragedParameters& a, const AveragedParameters& b, const char* what, std::size_t i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.volume), std::bit_cast<std::uint64_t>(b.volume)) << what << " " << i;
    EXPECT_EQ(a.weighted_sums, b.weighted_sums) << what << " " << i;
}

class CubeModelAt45 : public ::testing::TestWithParam<Settings> {};

// The explicit 45 degrees must take the cube model's path: 11 chunks per volume unit is a density
// for which the general cell width, 1 / cbrt(particles * tan 45), rounds differently.
TEST_P(CubeModelAt45, HeightsSlicesAndReclaimAreBitIdentical) {
    const float at45 = 45.0f;
    const auto cube = make(GetParam());
    const auto repose = make(GetParam(), &at45);
    EXPECT_EQ(repose->cell_size, 1.0f / std::pow(GetParam().particles, 0.33333334f));
    EXPECT_EQ(repose->chunk_height, repose->cell_size);
    EXPECT_EQ(repose->height_ratio, 1.0f);
    stack_passes(*cube, 11);
    stack_passes(*repose, 11);
    EXPECT_EQ(cube->height_grid, repose->height_grid);
    cube->update_heights();
    repose->update_heights();
    const std::size_t cells = std::size_t{cube->grid_nx} * cube->grid_nz;
    for (std::size_t i = 0; i < cells; ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(cube->heights_buffer[i]),
                  std::bit_cast<std::uint32_t>(repose->heights_buffer[i])) << "cell " << i;
    }
    ASSERT_EQ(cube->slices.size(), repose->slices.size());
    for (std::size_t i = 0; i < cube->slices.size(); ++i) expect_same(cube->slices[i], repose->slices[i], "slice", i);
    const auto cube_rows = reclaim_all(*cube);
    const auto repose_rows = reclaim_all(*repose);
    ASSERT_EQ(cube_rows.size(), repose_rows.size());
    for (std::size_t i = 0; i < cube_rows.size(); ++i) expect_same(cube_rows[i], repose_rows[i], "row", i);
}

INSTANTIATE_TEST_SUITE_P(
    Beds, CubeModelAt45,
    ::testing::Values(Settings{14, 5, 45, 11, false, 0.0f}, Settings{14, 5, 30, 11, false, 0.5f},
                      Settings{14, 5, 60, 1000, false, 1.0f}, Settings{8, 8, 45, 11, true, 0.5f},
                      Settings{8, 8, 35, 11, true, 0.25f}));

// Angles of repose other than 45 degrees, with a density each.
struct Repose { float angle, particles; };

void PrintTo(const Repose& r, std::ostream* out) { *out << r.angle << " degrees, " << r.particles << " per volume unit"; }

class OtherAngles : public ::testing::TestWithParam<Repose> {};

TEST_P(OtherAngles, ChunkKeepsItsVolumeAndOneChunkPerCellIsTheSlope) {
    const auto [angle, particles] = GetParam();
    const Bed bed(20, 8, 45, particles, false, 0.5f, 0, 0, angle);
    const double w = bed.cell_size;
    const double tangent = std::tan(angle * kDegree);
    EXPECT_NEAR(w * w * bed.chunk_height * particles, 1.0, 1e-6);
    EXPECT_NEAR(bed.chunk_height / w, tangent, 1e-6 * tangent);
    EXPECT_EQ(bed.height_ratio, bed.chunk_height / bed.cell_size);
    EXPECT_EQ(bed.grid_nx, static_cast<std::uint32_t>(20.0f / bed.cell_size + 0.5));
}

// The walk works on chunk counts alone: a bed with another angle and the same grid, drawing the
// same numbers, lays every chunk on the same cell, and only the height of a chunk changes. The
// volume the heights show is the volume stacked, and the slices hold all of it.
TEST_P(OtherAngles, HeightsScaleAndTheVolumeIsKept) {
    const auto [angle, particles] = GetParam();
    const Bed probe(1, 1, 45, particles, false, 0.5f, 0, 0, angle);
    const float nx = 18, nz = 7;  // size the beds so that both have this grid
    Bed sloped(nx * probe.cell_size, nz * probe.cell_size, 45, particles, false, 0.5f, 0, 0, angle);
    const float cube_size = 1.0f / std::pow(particles, 0.33333334f);
    Bed cube(nx * cube_size, nz * cube_size, 45, particles, false, 0.5f, 0, 0);
    ASSERT_EQ(sloped.grid_nx, cube.grid_nx);
    ASSERT_EQ(sloped.grid_nz, cube.grid_nz);
    stack_passes(sloped, 5);
    stack_passes(cube, 5);
    EXPECT_EQ(sloped.height_grid, cube.height_grid);

    sloped.update_heights();
    double volume = 0.0;
    std::int64_t chunks = 0;
    for (std::uint32_t k = 0; k < sloped.grid_nz; ++k) {
        for (std::uint32_t i = 0; i < sloped.grid_nx; ++i) {
            const std::int32_t count = sloped.height_grid[i + 1][k + 1];
            const float height = sloped.heights_buffer[std::size_t{k} * sloped.grid_nx + i];
            ASSERT_EQ(height, static_cast<float>(count) * sloped.chunk_height) << i << ", " << k;
            volume += static_cast<double>(height) * sloped.cell_size * sloped.cell_size;
            chunks += count;
        }
    }
    const double chunk_volume = 1.0 / particles;
    EXPECT_NEAR(volume, static_cast<double>(chunks) * chunk_volume, 1e-5 * volume);
    double booked = 0.0;
    for (const AveragedParameters& slice : sloped.slices) booked += slice.volume;
    EXPECT_NEAR(booked, volume, 1e-5 * volume);
}

// A single cone: neighbours sharing an edge differ by at most one chunk, and the flank along
// each axis rises by about one chunk per cell, so the cone stands at the angle of repose.
TEST_P(OtherAngles, SingleConeStandsAtTheAngle) {
    const auto [angle, particles] = GetParam();
    const Bed probe(1, 1, 45, particles, false, 1.0f, 0, 0, angle);
    const float n = 41;
    Bed bed(n * probe.cell_size, n * probe.cell_size, 45, particles, false, 1.0f, 0, 0, angle);
    ASSERT_EQ(bed.grid_nx, 41u);
    deposition_engine().seed(17);
    AveragedParameters portion;
    portion.add(3000.0 / particles, {1.0});
    const float centre = 20.0f * bed.cell_size;
    bed.stack(portion, centre, centre);

    const auto& g = bed.height_grid;
    const std::int32_t peak = g[21][21];
    // The flank along +x, -x, +z and -z from the centre: chunk counts per cell.
    for (const auto [dx, dz] : {std::pair{1, 0}, std::pair{-1, 0}, std::pair{0, 1}, std::pair{0, -1}}) {
        std::int32_t reach = 0;
        for (std::int32_t r = 1; r <= 20; ++r) {
            const std::int32_t inner = g[21 + (r - 1) * dx][21 + (r - 1) * dz];
            const std::int32_t outer = g[21 + r * dx][21 + r * dz];
            ASSERT_LE(inner - outer, 1) << "step " << r;
            ASSERT_LE(outer - inner, 1) << "step " << r;
            if (outer > 0) reach = r;
        }
        ASSERT_LT(reach, 20) << "the cone reaches the edge of the bed";
        // Height over the radius to the last covered cell's outer edge, in length units.
        const double slope = peak * static_cast<double>(bed.chunk_height) / ((reach + 0.5) * bed.cell_size);
        EXPECT_NEAR(std::atan(slope) / kDegree, angle, 3.0) << dx << ", " << dz;
    }
}

INSTANTIATE_TEST_SUITE_P(Angles, OtherAngles,
                         ::testing::Values(Repose{35, 1}, Repose{37.5f, 8}, Repose{30, 0.3f},
                                           Repose{60, 2}, Repose{10, 1}));

// The reclaim face books a chunk by the height it lies at: h chunks of height
// w tan(repose) put it h tan(repose) / tan(reclaim) cells back (rounded half up) on a linear bed,
// and that length back along the arc on a circular one.
TEST(ReposeBooking, LinearFaceMovesBackByTheChunksHeight) {
    const struct { float repose, reclaim; std::int32_t column, height; std::size_t slice; } cases[] = {
        {30, 45, 10, 7, 6},   // 7 tan 30 = 4.04
        {30, 45, 10, 2, 9},   // 1.15
        {30, 60, 10, 2, 9},   // 2 tan 30 / tan 60 = 0.67
        {30, 60, 10, 1, 10},  // 0.33
        {60, 45, 10, 3, 5},   // 5.20
        {60, 30, 10, 1, 7},   // 3
        {30, 90, 10, 9, 10},  // vertical face: the column's own slice
        {60, 45, 2, 3, 0},    // clamped from -3
    };
    for (const auto& c : cases) {
        const Bed bed(20, 4, c.reclaim, 1, false, 0.5f, 0, 0, c.repose);
        EXPECT_EQ(bed.slice_index(c.column + 1, 2, c.height), c.slice)
            << c.repose << " / " << c.reclaim << " h=" << c.height;
    }
}

// A face as steep as the heap's flank books a chunk h counts up exactly h cells back along the
// arc, whatever the angle.
TEST(ReposeBooking, CircularFaceAtTheAngleOfReposeMovesBackOneCellPerChunk) {
    for (const float repose : {30.0f, 45.0f, 52.5f}) {
        const Bed face(10, 10, repose, 1, true, 0.5f, 0, 0, repose);
        const Bed vertical(10, 10, 90, 1, true, 0.5f, 0, 0, repose);
        const auto n = static_cast<std::int64_t>(face.slices.size());
        for (const auto [i, k] : {std::pair{10, 5}, std::pair{3, 2}, std::pair{8, 2}}) {
            for (const std::int32_t h : {1, 3, 6}) {
                const auto own = static_cast<std::int64_t>(vertical.slice_index(i, k, h));
                ASSERT_GE(own, h) << "a cell whose slices do not wrap past the start of the arc";
                EXPECT_EQ(static_cast<std::int64_t>(face.slice_index(i, k, h)), ((own - h) % n + n) % n)
                    << repose << " degrees, cell " << i << ", " << k << ", h=" << h;
            }
        }
    }
}

TEST(ReposeRefusals, AnglesOutsideTheOpenQuarterAreRefused) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    for (const float angle : {0.0f, -0.0f, 90.0f, nan, -30.0f, 120.0f, inf, -inf}) {
        EXPECT_THROW(Bed(20, 8, 45, 1, false, 0.5f, 0, 0, angle), std::invalid_argument) << angle;
    }
    // The extremes of the open range still give a finite, positive geometry.
    for (const auto [angle, particles] : {std::pair{1e-30f, 1e-30f}, std::pair{89.99999f, 3e38f},
                                          std::pair{1.4e-45f, 3e38f}, std::pair{89.99999f, 1e-38f}}) {
        const Bed bed(0, 0, 45, particles, false, 0.5f, 0, 0, angle);
        EXPECT_TRUE(std::isfinite(bed.cell_size) && bed.cell_size > 0 && std::isfinite(bed.chunk_height) &&
                    bed.chunk_height > 0 && std::isfinite(bed.height_ratio))
            << angle << " degrees, " << particles << " per volume unit";
    }
}

}  // namespace
