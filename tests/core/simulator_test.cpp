// The simulator's exact rules outside the walk (refused settings, start cell, slice index, reclaim
// share, pausing, interrupting) and the accumulator's refusals and allocation-free pop.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"

namespace {

using pilora::AveragedParameters;
using Bed = pilora::PiloraFast<AveragedParameters>;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Bed make_bed(float size_x, float size_z, float angle = 90, float particles = 1, bool circular = false) {
    return Bed(size_x, size_z, angle, particles, circular, 0.5f, 0.0f, 0.0f);
}

void expect_holds(const AveragedParameters& a, double volume, const std::vector<double>& sums) {
    EXPECT_EQ(a.volume, volume);
    EXPECT_EQ(a.weighted_sums, sums);
}

TEST(Bed, RefusesSettingsThatMakeTheGridUndefined) {
    const float bad[][4] = {  // size x, size z, angle, particles per volume unit
        {kNaN, 4, 45, 8}, {10, kInf, 45, 8}, {-1, 4, 45, 8},   {10, -0.5f, 45, 8},
        {10, 4, kNaN, 8}, {10, 4, -kInf, 8}, {10, 4, 45, 0},   {10, 4, 45, -8},
        {10, 4, 45, kNaN}, {10, 4, 45, kInf}, {1e5f, 1e5f, 45, 1} /* 1e10 cells */,
        {5e9f, 1, 45, 1} /* grid_nx beyond 32 bits */};
    for (const auto& s : bad) {
        EXPECT_THROW(make_bed(s[0], s[1], s[2], s[3]), std::invalid_argument)
            << s[0] << " " << s[1] << " " << s[2] << " " << s[3];
    }
}

TEST(Bed, StartCellRoundsTheQuotientAndClampsToTheGrid) {
    const Bed bed = make_bed(10, 4, 90, 8);  // cell 0.5, 20 x 8
    const struct { float position; std::int32_t cell; } cases[] = {
        {-1.0f, 1}, {0.2f, 1},  {0.25f, 2}, {0.74f, 2}, {0.75f, 3}, {9.75f, 20}, {100.0f, 20},
        {kNaN, 1},  {1e30f, 20}, {-1e30f, 1}, {kInf, 20}, {-kInf, 1}, {1.07e9f, 20}, {-1.07e9f, 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(bed.start_cell(c.position, bed.grid_nx), c.cell) << c.position;
    }
    EXPECT_EQ(bed.start_cell(3.9f, bed.grid_nz), 8);
}

TEST(Bed, LinearSliceMovesBackByHeightOverSlope) {
    const struct { float angle; std::int32_t column, height; std::size_t slice; } cases[] = {
        {90, 5, 7, 5},   {89.99f, 5, 2, 5}, {45, 5, 2, 3}, {45, 5, 0, 5},  {45, 1, 3, 0},
        {45, 19, 1, 18}, {30, 5, 1, 3},     {30, 5, 3, 0}, {0, 19, 4, 0},  {135, 0, 0, 19},
        {135, 5, 3, 19}, {180, 5, 3, 19}};
    for (const auto& c : cases) {
        EXPECT_EQ(make_bed(20, 4, c.angle).slice_index(c.column + 1, 2, c.height), c.slice)
            << c.angle << " c=" << c.column << " h=" << c.height;
    }
}

TEST(Bed, CircularSliceFollowsTheArc) {
    const Bed vertical = make_bed(10, 10, 90, 1, true);
    ASSERT_EQ(vertical.slices.size(), 16u);
    const std::int32_t cells[][3] = {{10, 5, 8}, {5, 10, 4}, {5, 1, 12}, {1, 5, 0}, {5, 5, 8}};
    for (const auto& c : cells) {
        for (std::int32_t h : {0, 9}) {
            EXPECT_EQ(vertical.slice_index(c[0], c[1], h), c[2]) << c[0] << "," << c[1] << "," << h;
        }
    }
    const Bed sloped = make_bed(10, 10, 45, 1, true);
    EXPECT_EQ(sloped.slice_index(10, 5, 3), 5u);
    EXPECT_EQ(sloped.slice_index(1, 5, 2), 15u);  // before the start of the arc: wraps
    // A nearly flat face moves the position back beyond 32 bits of slices: the low 32 bits count.
    const Bed flat = make_bed(9, 9, 5.7e-8f, 1, true);
    ASSERT_EQ(flat.slices.size(), 14u);
    EXPECT_EQ(flat.slice_index(9, 5, 3), 4u);
}

TEST(Reclaim, TakesTheShareOfWhatRemainsOfTheBoundarySliceAndNeverMovesBack) {
    Bed bed = make_bed(10, 2);  // ten slices of width 1
    bed.slices[0] = {10.0, {20.0}};
    bed.slices[1] = {4.0, {20.0}};
    expect_holds(bed.reclaim(0.3f), 3.0000001192092896, {6.000000238418579});
    expect_holds(bed.slices[0], 6.9999998807907104, {13.999999761581421});
    // 0.3 of the 0.7 of the width that remains.
    expect_holds(bed.reclaim(0.6f), 3.0000001192092896, {6.000000238418579});
    expect_holds(bed.slices[0], 3.999999761581421, {7.999999523162842});
    // The rest of slice 0 whole, then 0.2 of slice 1.
    expect_holds(bed.reclaim(1.2f), 4.799999952316284, {12.000000476837158});
    expect_holds(bed.slices[0], 0.0, {});
    expect_holds(bed.slices[1], 3.1999998092651367, {15.999999046325684});

    for (float behind : {1.1f, kNaN}) EXPECT_THROW(bed.reclaim(behind), std::invalid_argument) << behind;
    EXPECT_EQ(bed.reclaim_position, 1.2f);
    expect_holds(bed.slices[1], 3.1999998092651367, {15.999999046325684});
}

TEST(Pause, DepositWaitsWhilePaused) {
    Bed bed = make_bed(3, 3);
    bed.pause();
    std::thread stacker([&] { bed.stack({1.0, {}}, 1, 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(bed.height_grid[2][2], 0);
    bed.resume();
    stacker.join();
    EXPECT_EQ(bed.height_grid[2][2], 1);
}

double chunks_on(const Bed& bed) {
    double chunks = 0.0;
    for (std::uint32_t i = 1; i <= bed.grid_nx; ++i) {
        for (std::uint32_t k = 1; k <= bed.grid_nz; ++k) chunks += bed.height_grid[i][k];
    }
    return chunks;
}

double slice_volume(const Bed& bed) {
    double volume = 0.0;
    for (const AveragedParameters& slice : bed.slices) volume += slice.volume;
    return volume;
}

TEST(Interrupt, PollEveryIntervalChunksStopsStackingWithTheRestBuffered) {
    Bed bed = make_bed(3, 3);
    struct Polls { int calls = 0, stop = 3; } polls;
    const auto poll = [](void* context) {
        Polls& p = *static_cast<Polls*>(context);
        return ++p.calls == p.stop;
    };
    bed.set_interrupt_poll({poll, &polls, 5});
    // Polls after chunks 5, 10 and 15; the third stops stacking, the fifteenth chunk deposited.
    EXPECT_THROW(bed.stack({40.5, {81.0}}, 1, 1), pilora::StackingInterrupted);
    EXPECT_EQ(polls.calls, 3);
    EXPECT_EQ(chunks_on(bed), 15.0);
    EXPECT_EQ(slice_volume(bed), 15.0);
    EXPECT_EQ(bed.stack_buffer.volume, 25.5);
    EXPECT_NEAR(bed.stack_buffer.weighted_sums.at(0), 51.0, 1e-12);
    // The next portion takes the rest down with it; the countdown goes on across calls.
    bed.stack({0.25, {0.5}}, 1, 1);
    EXPECT_EQ(polls.calls, 8);
    EXPECT_EQ(chunks_on(bed), 40.0);
    EXPECT_EQ(slice_volume(bed) + bed.stack_buffer.volume, 40.75);
    // A default poll removes it.
    bed.set_interrupt_poll({});
    bed.stack({20.0, {40.0}}, 1, 1);
    EXPECT_EQ(polls.calls, 8);
    EXPECT_EQ(chunks_on(bed), 60.0);
}

TEST(AveragedParameters, RefusedCallsThrowAndChangeNothing) {
    AveragedParameters a{2.0, {2.0, 4.0, 6.0}};
    AveragedParameters out{9.0, {1.0, 2.0}};
    const double too_much = std::nextafter(2.0, 3.0);
    const struct { std::function<void()> call; const char* message; } cases[] = {
        {[&] { a.add(1.0, {1.0, 2.0}); }, "invalid parameter count"},
        {[&] { a.add(1.0, {}); }, "invalid parameter count"},
        {[&] { a.merge({1.0, {1.0}}); }, "invalid parameter count"},
        // Volume without sums, at or above 1e-100, cannot join material that has sums.
        {[&] { a.merge({0.5, {}}); }, "invalid parameter count"},
        {[&] { a.pop(too_much); }, "could not pop volume, not enough volume left"},
        {[&] { a.pop_into(too_much, out); }, "could not pop volume, not enough volume left"}};
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "expected std::runtime_error \"" << c.message << "\"";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        expect_holds(a, 2.0, {2.0, 4.0, 6.0});
        expect_holds(out, 9.0, {1.0, 2.0});
    }
}

// The volume and sums bit for bit, so that -0.0 and 0.0 are told apart and NaNs matched exactly.
std::vector<std::uint64_t> bits(const AveragedParameters& a) {
    std::vector<std::uint64_t> b{std::bit_cast<std::uint64_t>(a.volume)};
    for (double sum : a.weighted_sums) b.push_back(std::bit_cast<std::uint64_t>(sum));
    return b;
}

TEST(AveragedParameters, PopIntoIsBitIdenticalToPop) {
    const double inf = std::numeric_limits<double>::infinity();
    // {source {volume, sums}, volume popped}
    const struct { AveragedParameters source; double volume; } cases[] = {
        {{10.0, {0.1, 7.0}}, 3.0},    {{0.7, {0.1}}, 0.7},       {{3.0, {0.1, -6.0}}, 0.0},
        {{3.0, {-0.0}}, -0.0},        {{1e-101, {5.0}}, 1e-101}, {{2.0, {}}, 0.125},
        {{0.3, {inf, 1e308}}, 0.125}, {{-1.0, {2.0}}, -2.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.volume);
        AveragedParameters by_pop = c.source, by_pop_into = c.source;
        AveragedParameters out{9.0, {1.0, 2.0, 3.0}};  // storage to reuse
        const AveragedParameters popped = by_pop.pop(c.volume);
        by_pop_into.pop_into(c.volume, out);
        EXPECT_EQ(bits(out), bits(popped));
        EXPECT_EQ(bits(by_pop_into), bits(by_pop));
    }
}

}  // namespace
