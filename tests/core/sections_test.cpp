// Section probes: a bed with sections walks, draws, heaps and reclaims exactly as one without;
// each section cell holds the one chunk resting there; sections travel with copies and states;
// placements the bed cannot take are refused. Also the bed's bound on value x volume and the
// heights buffer a bed does not keep.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bed.hpp"
#include "same_bits.hpp"

namespace {

using pilora::AveragedParameters;
using pilora::testing::same_bits;
using pilora::Bed;
using pilora::BedSettings;
using pilora::Column;
using pilora::Portions;
using pilora::SectionKind;
using pilora::SectionPlacement;
using Simulator = pilora::PiloraFast<AveragedParameters>;

constexpr SectionKind across = SectionKind::across;
constexpr SectionKind along = SectionKind::along;

// A chevron of `passes` passes along z = width / 2, portions of one chunk each (so that every
// chunk carries its portion's values): the portion's index as "time" and a grade.
struct Chevron {
    std::vector<double> x, z, volume, time, grade;

    Chevron(const Bed& bed, int passes) {
        const BedSettings& s = bed.settings();
        const int steps = static_cast<int>(s.length / bed.cell_size());
        for (int pass = 0; pass < passes; ++pass) {
            for (int j = 0; j <= steps; ++j) {
                const int at = pass % 2 == 0 ? j : steps - j;
                x.push_back(s.length * at / steps);
                z.push_back(s.circular ? s.width * (0.2 + 0.6 * at / steps) : 0.5 * s.width);
                volume.push_back(bed.chunk_volume());
                time.push_back(static_cast<double>(time.size()));
                grade.push_back(50.0 + (7 * j + 3 * pass) % 11);
            }
        }
    }

    Portions portions() const {
        const auto column = [](const std::vector<double>& v) { return Column{v.data(), sizeof(double)}; };
        Portions p;
        p.count = x.size();
        p.x = column(x);
        p.z = column(z);
        p.volume = column(volume);
        p.values = {column(time), column(grade)};
        p.names = std::vector<std::string>{"time", "grade"};
        return p;
    }
};

const BedSettings linear{30, 8, 40, 8, false, 0.6f, 45};  // 60 x 16 cells of 0.5 m
const BedSettings circular{12, 12, 60, 8, true, 0.6f, 45};

TEST(Sections, ProbesOnlyRead) {
    struct Case {
        BedSettings settings;
        std::vector<SectionPlacement> sections;
    };
    const Case cases[] = {
        {linear, {{across, 15.0f}, {along, 4.0f}}},
        {linear, {{across, 0.0f}, {across, 30.0f}, {across, 15.2f}, {along, 0.0f}, {along, 8.0f}, {along, 4.0f}}},
        {circular, {{across, 6.0f}, {across, 2.0f}}},
    };
    for (const Case& c : cases) {
        Bed plain(c.settings, 77), probed(c.settings, 77, c.sections);
        const Chevron table(plain, 12);
        plain.stack(table.portions());
        probed.stack(table.portions());
        EXPECT_EQ(probed.engine_state(), plain.engine_state());
        plain.inspect([&](const Simulator& a) {
            probed.inspect([&](const Simulator& b) {
                EXPECT_EQ(a.height_grid, b.height_grid);
                for (std::size_t i = 0; i < a.slices.size(); ++i) EXPECT_TRUE(same_bits(a.slices[i], b.slices[i])) << i;
                EXPECT_TRUE(same_bits(a.stack_buffer, b.stack_buffer));
            });
        });
        const pilora::ReclaimRows mine = probed.reclaim(0.7f), theirs = plain.reclaim(0.7f);
        EXPECT_TRUE(same_bits(mine.x, theirs.x));
        EXPECT_TRUE(same_bits(mine.volume, theirs.volume));
        EXPECT_TRUE(same_bits(mine.averages, theirs.averages));
    }
}

// Every chunk resting in a section's cells is in the section, one per (height, cell), with its
// own values: up a column the times rise, and the section's volume is the columns' chunks.
TEST(Sections, EachCellHoldsTheChunkRestingThere) {
    Bed bed(linear, 5, {{across, 15.2f}, {along, 4.1f}, {across, 29.99f}});
    bed.stack(Chevron(bed, 16).portions());
    bed.reclaim(1.0f);  // reclaiming does not touch the sections
    const double chunk = bed.chunk_volume();
    const auto grid = bed.inspect([](const Simulator& s) { return s.height_grid; });
    {
        for (std::size_t index = 0; index < 3; ++index) {
            const pilora::SectionContents c = bed.section(index);
            ASSERT_EQ(c.parameters, 2u);
            const bool is_across = c.placement.kind == across;
            EXPECT_EQ(c.width, is_across ? bed.grid_nz() : bed.grid_nx());
            std::size_t highest = 0;
            for (std::size_t j = 0; j < c.width; ++j) {
                const std::int32_t height = is_across ? grid[c.cell + 1][j + 1] : grid[j + 1][c.cell + 1];
                highest = std::max<std::size_t>(highest, static_cast<std::size_t>(height));
                double last = -1.0;
                for (std::size_t r = 0; r < c.rows; ++r) {
                    const double volume = c.volume[r * c.width + j];
                    if (static_cast<std::int32_t>(r) >= height) {
                        EXPECT_EQ(volume, 0.0) << index << " row " << r << " cell " << j;
                        continue;
                    }
                    ASSERT_EQ(volume, chunk) << index << " row " << r << " cell " << j;
                    const double time = c.sums[(r * c.width + j) * 2] / volume;
                    EXPECT_GT(time, last) << index << " row " << r << " cell " << j;
                    EXPECT_EQ(time, std::round(time));  // one portion's own time
                    last = time;
                }
            }
            EXPECT_EQ(c.rows, highest) << index;
        }
    }
    EXPECT_EQ(bed.section(1).cell, 8u);   // z 4.1 m lies in cell 8 of 0.5 m
    EXPECT_EQ(bed.section(2).cell, 59u);  // the last cell
    EXPECT_THROW(bed.section(3), std::out_of_range);
}

TEST(Sections, TravelWithCopiesAndStates) {
    Bed bed(linear, 9, {{across, 10.0f}, {along, 4.0f}});
    const Chevron table(bed, 8);
    bed.stack(table.portions());
    const Bed copy(bed);
    const std::string state = bed.save();
    std::uint32_t version;
    std::memcpy(&version, state.data() + 8, 4);
    EXPECT_EQ(version, 2u);
    const std::unique_ptr<Bed> restored = Bed::restore(state);
    EXPECT_EQ(restored->save(), state);
    EXPECT_EQ(restored->section_placements(), bed.section_placements());
    for (Bed* b : {&bed, const_cast<Bed*>(&copy), restored.get()}) b->stack(table.portions());
    EXPECT_EQ(copy.save(), bed.save());
    EXPECT_EQ(restored->save(), bed.save());
    EXPECT_TRUE(same_bits(restored->section(0).sums, bed.section(0).sums));

    // A bed without sections saves the first version, which reads back.
    Bed plain(linear, 9);
    plain.stack(table.portions());
    std::memcpy(&version, plain.save().data() + 8, 4);
    EXPECT_EQ(version, 1u);
    EXPECT_EQ(Bed::restore(plain.save())->save(), plain.save());
}

std::string sealed(std::string state) {
    state.resize(state.size() - 8);
    const std::uint64_t sum = pilora::bed_detail::checksum(state);
    for (int b = 0; b < 8; ++b) state.push_back(static_cast<char>(sum >> 8 * b));
    return state;
}

TEST(Sections, RefusedPlacementsAndStates) {
    const std::vector<std::vector<SectionPlacement>> bad = {
        {{across, -0.1f}}, {{across, 30.5f}}, {{along, 8.01f}}, {{along, std::numeric_limits<float>::quiet_NaN()}},
        {{static_cast<SectionKind>(2), 1.0f}}, std::vector<SectionPlacement>(17, {across, 1.0f})};
    for (const auto& sections : bad) EXPECT_THROW(Bed(linear, 1, sections), std::invalid_argument);
    EXPECT_THROW(Bed(circular, 1, {{along, 6.0f}}), std::invalid_argument);
    EXPECT_NO_THROW(Bed(linear, 1, std::vector<SectionPlacement>(16, {across, 1.0f})));

    Bed bed(linear, 3, {{along, 4.0f}});
    bed.stack(Chevron(bed, 4).portions());
    const std::string state = bed.save();
    // The sections follow the slices (where the state of the same bed without them ends): count,
    // kind, position, rows, then the cells.
    Bed plain(linear, 3);
    plain.stack(Chevron(plain, 4).portions());
    const std::size_t at = plain.save().size() - 8;
    const pilora::SectionContents c = bed.section(0);
    const auto edited = [&](std::size_t offset, const std::string& bytes) {
        std::string s = state;
        s.replace(offset, bytes.size(), bytes);
        return sealed(s);
    };
    const auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const auto f32 = [](float v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    EXPECT_EQ(Bed::restore(edited(at, u32(1)))->save(), state);
    for (const auto& [what, bytes] : {std::pair{"count", edited(at, u32(2))}, std::pair{"kind", edited(at + 4, "\x02")},
                                      std::pair{"position", edited(at + 5, f32(9.0f))},
                                      std::pair{"rows above the heap", edited(at + 9, u32(c.rows + 1))},
                                      std::pair{"cell volume", edited(at + 13, std::string(8, '\xff'))}}) {
        EXPECT_THROW(Bed::restore(bytes), std::invalid_argument) << what;
    }
}

// Values whose products with their volumes add up beyond what a double holds are refused before
// anything is stacked, in one call or over several; states keep loading.
TEST(Magnitudes, ValueTimesVolumeStaysFinite) {
    const BedSettings s{10, 4, 45, 1};
    Bed bed(s, 1);
    const auto one = [](const double& x, const double& volume, const double& value) {
        Portions p;
        p.count = 1;
        p.x = {&x, 0};
        p.z = {&x, 0};
        p.volume = {&volume, 0};
        p.values = {{&value, 0}};
        p.names = std::vector<std::string>{"a"};
        return p;
    };
    const double x = 2.0, big = 1e307, hundred = 100.0, one_m3 = 1.0, tenth = 0.1;
    const std::string empty = bed.save();
    EXPECT_THROW(bed.stack(one(x, hundred, big)), std::invalid_argument);
    EXPECT_EQ(bed.save(), empty);
    bed.stack(one(x, one_m3, big));   // 1e307: taken
    bed.stack(one(x, tenth, -big));   // 1.1e307 in all: taken
    const std::string taken = bed.save();
    EXPECT_THROW(bed.stack(one(x, one_m3, 1e306)), std::invalid_argument);  // beyond 2^1020 in all
    EXPECT_EQ(bed.save(), taken);
    const std::unique_ptr<Bed> restored = Bed::restore(taken);
    const pilora::ReclaimRows rows = restored->reclaim(1.0f);
    for (const double a : rows.averages) EXPECT_TRUE(std::isfinite(a));
}

TEST(HeightsBuffer, MadeOnlyWhenHeightsAreExportedThroughIt) {
    Bed bed(linear, 1);
    bed.stack(Chevron(bed, 2).portions());
    std::vector<float> heights(std::size_t{bed.grid_nx()} * bed.grid_nz());
    bed.heights_into(heights.data());
    bed.inspect([](const Simulator& s) { EXPECT_EQ(s.heights_buffer, nullptr); });
    auto simulator = std::make_unique<Simulator>(30.0f, 8.0f, 40.0f, 8.0f, false, 0.6f, 0.0f, 0.0f);
    simulator->update_heights();
    ASSERT_NE(simulator->heights_buffer, nullptr);
    EXPECT_EQ(simulator->heights_buffer[0], 0.0f);
}

}  // namespace
