// The Bed: the same heaps, slices and reclaim rows as the simulator on the process engine in the
// same state; copies and saved states that continue exactly; refusals that change nothing; saved
// states that are refused when truncated, corrupted or inconsistent; interrupts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
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
using Simulator = pilora::PiloraFast<AveragedParameters>;

constexpr double nan_d = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_d = std::numeric_limits<double>::infinity();

// A small chevron-like table: portions of 0.37 m³ with two parameters along x, back and forth.
struct Table {
    std::vector<double> x, z, volume, grade, moisture;

    Table(const BedSettings& s, int passes, int first_pass = 0) {
        for (int pass = first_pass; pass < first_pass + passes; ++pass) {
            for (int j = 0; j <= 40; ++j) {
                x.push_back(s.length * (pass % 2 == 0 ? j : 40 - j) / 40.0);
                z.push_back(s.width * (0.3 + 0.05 * (pass % 5)));
                volume.push_back(0.37);
                grade.push_back(j % 7);
                moisture.push_back(pass + 0.25 * (j % 3));
            }
        }
    }

    static Column column(const std::vector<double>& v) { return {v.data(), sizeof(double)}; }

    Portions portions() const {
        Portions p;
        p.count = x.size();
        p.x = column(x);
        p.z = column(z);
        p.volume = column(volume);
        p.values = {column(grade), column(moisture)};
        p.names = std::vector<std::string>{"grade", "moisture"};
        return p;
    }

    void stack_into(Simulator& simulator) const {
        for (std::size_t i = 0; i < x.size(); ++i) {
            AveragedParameters portion;
            portion.add(volume[i], {grade[i], moisture[i]});
            simulator.stack(portion, static_cast<float>(x[i]), static_cast<float>(z[i]));
        }
    }
};

std::unique_ptr<Simulator> simulator_for(const BedSettings& s) {
    return std::make_unique<Simulator>(s.length, s.width, s.reclaim_angle, s.chunks_per_volume_unit, s.circular,
                                       s.eight_neighbour_probability, 0.0f, 0.0f, s.repose_angle);
}

// The specified module's reclaim loop on a simulator: rows of x, volume and averages.
pilora::ReclaimRows reclaim_like_the_module(Simulator& simulator, float increment, std::size_t parameters) {
    pilora::ReclaimRows rows;
    rows.parameters = parameters;
    float x = 0.0f;
    while (!simulator.reclaim_finished()) {
        const AveragedParameters step = simulator.reclaim(x);
        rows.x.push_back(static_cast<double>(x));
        rows.volume.push_back(step.volume);
        const std::vector<double> a = step.averages();
        for (std::size_t i = 0; i < parameters; ++i) rows.averages.push_back(i < a.size() ? a[i] : 0.0);
        x = x + increment;
    }
    return rows;
}

struct Case {
    BedSettings settings;
    std::uint64_t seed;
};

void PrintTo(const Case& c, std::ostream* out) {
    const BedSettings& s = c.settings;
    *out << s.length << " x " << s.width << (s.circular ? " circular" : " linear") << ", reclaim "
         << s.reclaim_angle << ", " << s.chunks_per_volume_unit << "/m3, eight " << s.eight_neighbour_probability
         << ", repose " << s.repose_angle << ", seed " << c.seed;
}

class SameAsProcessEngine : public testing::TestWithParam<Case> {};

TEST_P(SameAsProcessEngine, HeapsSlicesAndReclaimRows) {
    const Case& c = GetParam();
    const Table table(c.settings, 6);
    Bed bed(c.settings, c.seed);
    bed.stack(table.portions());

    auto reference = simulator_for(c.settings);
    pilora::deposition_engine().seed(c.seed);
    table.stack_into(*reference);

    EXPECT_EQ(bed.engine_state(), pilora::minstd::state_of(pilora::deposition_engine()));
    bed.inspect([&](const Simulator& s) {
        EXPECT_EQ(s.height_grid, reference->height_grid);
        ASSERT_EQ(s.slices.size(), reference->slices.size());
        for (std::size_t i = 0; i < s.slices.size(); ++i) EXPECT_TRUE(same_bits(s.slices[i], reference->slices[i])) << i;
        EXPECT_TRUE(same_bits(s.stack_buffer, reference->stack_buffer));
    });
    std::vector<float> heights(std::size_t{bed.grid_nx()} * bed.grid_nz());
    bed.heights_into(heights.data());
    reference->update_heights();
    EXPECT_EQ(std::memcmp(heights.data(), reference->heights_buffer.get(), heights.size() * sizeof(float)), 0);

    for (const float increment : {bed.cell_size(), 0.3f * bed.cell_size()}) {
        Bed copy(bed);
        auto twin = simulator_for(c.settings);
        twin->height_grid = reference->height_grid;
        twin->slices = reference->slices;
        const pilora::ReclaimRows mine = copy.reclaim(increment);
        const pilora::ReclaimRows theirs = reclaim_like_the_module(*twin, increment, 2);
        EXPECT_TRUE(same_bits(mine.x, theirs.x));
        EXPECT_TRUE(same_bits(mine.volume, theirs.volume));
        EXPECT_TRUE(same_bits(mine.averages, theirs.averages));
        EXPECT_EQ(mine.names, (std::vector<std::string>{"grade", "moisture"}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    BedWithEngine, SameAsProcessEngine,
    testing::Values(Case{{20, 6, 45, 8, false, 0.5f, 45}, 0}, Case{{20, 6, 45, 8, false, 0.5f, 45}, 12345},
                    Case{{20, 6, 30, 5, false, 0.0f, 45}, 2147483647ull},  // state 1, as seed 0
                    Case{{20, 6, 90, 8, false, 1.0f, 37.5f}, 0xFFFFFFFFFFFFFFFFull},
                    Case{{12, 12, 60, 3, true, 0.3f, 45}, 2147483648ull}));

TEST(BedWithEngine, SeedMapsToTheEngineStateModuloTheEnginesModulus) {
    const BedSettings s{4, 4};
    const std::pair<std::uint64_t, std::uint32_t> cases[] = {
        {0, 1}, {1, 1}, {12345, 12345}, {2147483646, 2147483646}, {2147483647, 1}, {2147483648ull, 1},
        {2147483649ull, 2}, {0xFFFFFFFFFFFFFFFFull, 3}};
    for (const auto& [seed, state] : cases) EXPECT_EQ(Bed(s, seed).engine_state(), state) << seed;
}

TEST(BedWithEngine, CellSizeChoosesChunksThatGiveExactlyThatCell) {
    for (const float repose : {45.0f, 30.0f, 37.5f}) {
        for (const float cell : {0.3f, 0.5f, 0.25f, 1.7f, 1.0f}) {
            const float chunks = Bed::chunks_per_volume_unit_for(cell, repose);
            EXPECT_EQ(Bed(BedSettings{10, 4, 45, chunks, false, 0.5f, repose}, 1).cell_size(), cell)
                << cell << " at " << repose;
        }
    }
    EXPECT_THROW(Bed::chunks_per_volume_unit_for(0.0f, 45.0f), std::invalid_argument);
    EXPECT_THROW(Bed::chunks_per_volume_unit_for(0.5f, 90.0f), std::invalid_argument);
}

TEST(BedWithEngine, DefaultCellsSpanTheWidthIn120) {
    for (const float repose : {45.0f, 35.0f}) {
        for (const float width : {40.0f, 8.0f, 30.0f}) {
            const float chunks = Bed::default_chunks_per_volume_unit(width, repose);
            const Bed bed(BedSettings{2 * width, width, 45, chunks, false, 0.85f, repose}, 1);
            EXPECT_EQ(bed.cell_size(), width / 120.0f) << width << " at " << repose;
            EXPECT_EQ(bed.grid_nz(), 120u);
        }
    }
    EXPECT_EQ(Bed::default_chunks_per_volume_unit(-1.0f, 45.0f), 1.0f);  // left to the bed's checks
    EXPECT_THROW(Bed::default_chunks_per_volume_unit(1e-30f, 45.0f), std::invalid_argument);
    EXPECT_EQ(BedSettings{}.eight_neighbour_probability, 0.85f);
}

TEST(BedWithEngine, RefusesSettingsAndEmptyGrids) {
    const BedSettings bad[] = {{0, 4},  {10, -1}, {10, 4, 0}, {10, 4, 91}, {10, 4, 45, 0}, {10, 4, 45, 1, false, 1.5f},
                               {10, 4, 45, 1, false, 0.5f, 90}, {0.4f, 4}, {10, 4, 45, 1, false, -0.0001f}};
    for (const BedSettings& s : bad) EXPECT_THROW(Bed(s, 1), std::invalid_argument) << s.length << " " << s.width;
}

TEST(BedWithEngine, CopiesAndRestoredStatesContinueExactly) {
    const BedSettings s{20, 6, 45, 8, false, 0.5f, 45};
    Bed bed(s, 99);
    bed.stack(Table(s, 3).portions());
    const Bed copy(bed);
    const std::unique_ptr<Bed> restored = Bed::restore(bed.save());
    EXPECT_EQ(restored->save(), bed.save());
    const Table rest(s, 3, 3);
    for (Bed* b : {&bed, const_cast<Bed*>(&copy), restored.get()}) b->stack(rest.portions());
    EXPECT_EQ(copy.save(), bed.save());
    EXPECT_EQ(restored->save(), bed.save());
    const auto rows = bed.reclaim(0.5f);
    for (Bed* b : {const_cast<Bed*>(&copy), restored.get()}) EXPECT_TRUE(same_bits(b->reclaim(0.5f).volume, rows.volume));
}

TEST(BedWithEngine, RefusalsChangeNothing) {
    const BedSettings s{20, 6, 45, 8, false, 0.5f, 45};
    Bed bed(s, 7);
    Table table(s, 2);
    bed.stack(table.portions());
    const std::string before = bed.save();

    struct Refusal {
        const char* what;
        std::function<void(Table&, Portions&)> edit;
    };
    const std::vector<Refusal> refusals = {
        {"NaN x", [](Table& t, Portions& p) { t.x[40] = nan_d; p = t.portions(); }},
        {"infinite z", [](Table& t, Portions& p) { t.z[3] = -inf_d; p = t.portions(); }},
        {"negative volume", [](Table& t, Portions& p) { t.volume.back() = -0.1; p = t.portions(); }},
        {"NaN value", [](Table& t, Portions& p) { t.moisture[7] = nan_d; p = t.portions(); }},
        {"beyond capacity", [](Table& t, Portions& p) { t.volume[0] = 1e300; p = t.portions(); }},
        {"all together beyond capacity", [&](Table& t, Portions& p) {
             p = t.portions();
             p.volume = {&t.volume[0], 0};
             t.volume[0] = bed.capacity() / 4;
             p.count = 5;
         }},
        {"other names", [](Table& t, Portions& p) { p = t.portions(); p.names = {{"grade", "iron"}}; }},
        {"reordered names in an array", [](Table& t, Portions& p) { p = t.portions(); p.names = {{"moisture", "grade"}}; }},
        {"fewer values", [](Table& t, Portions& p) { p = t.portions(); p.values.pop_back(); p.names.reset(); }},
        {"names for no column", [](Table& t, Portions& p) { p = t.portions(); p.names->push_back("extra"); }},
        {"repeated names", [](Table& t, Portions& p) { p = t.portions(); (*p.names)[1] = "grade"; }},
        {"names not UTF-8", [](Table& t, Portions& p) { p = t.portions(); (*p.names)[0] = "\xC3("; }},
    };
    for (const Refusal& r : refusals) {
        Table t = table;
        Portions portions;
        r.edit(t, portions);
        EXPECT_THROW(bed.stack(std::move(portions)), std::invalid_argument) << r.what;
        EXPECT_EQ(bed.save(), before) << r.what;
    }

    // A mapping's columns may come in any order: the same state as in the recorded order.
    Bed reordered(bed);
    Portions p = table.portions();
    std::swap(p.values[0], p.values[1]);
    p.names = {{"moisture", "grade"}};
    p.names_in_any_order = true;
    reordered.stack(std::move(p));
    bed.stack(table.portions());
    EXPECT_EQ(reordered.save(), bed.save());
}

TEST(BedWithEngine, FirstValuesNeedNamesAndPortionsWithoutValuesFixNone) {
    const BedSettings s{20, 6};
    Table table(s, 1);
    Bed bed(s, 1);
    Portions unnamed = table.portions();
    unnamed.names.reset();
    EXPECT_THROW(bed.stack(std::move(unnamed)), std::invalid_argument);
    Portions plain = table.portions();
    plain.values.clear();
    plain.names.reset();
    bed.stack(std::move(plain));
    EXPECT_EQ(bed.parameter_names(), std::vector<std::string>{});
    EXPECT_THROW(bed.stack(table.portions()), std::invalid_argument);
}

TEST(BedWithEngine, ReclaimRefusesIncrementsThatNeverReachTheEnd) {
    Bed bed(BedSettings{1e6f, 1, 45, 1}, 1);
    for (const float increment : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), 0.01f}) {
        EXPECT_THROW(bed.reclaim(increment), std::invalid_argument) << increment;
    }
    EXPECT_EQ(bed.reclaim_position(), 0.0f);
    EXPECT_EQ(bed.reclaim(2e5f).x, (std::vector<double>{0, 2e5, 4e5, 6e5, 8e5, 1e6}));
    EXPECT_TRUE(bed.reclaim(1.0f).x.empty());  // finished
}

// One portion without parameters, read from the three values (kept alive by the caller).
Portions one_portion(const double& x, const double& z, const double& volume) {
    Portions p;
    p.count = 1;
    p.x = {&x, 0};
    p.z = {&z, 0};
    p.volume = {&volume, 0};
    p.names = std::vector<std::string>{};
    return p;
}

// A poll that answers true on its `stop_at`-th call.
struct CountingPoll {
    int calls = 0;
    int stop_at;
    static bool poll(void* self) {
        auto& p = *static_cast<CountingPoll*>(self);
        return ++p.calls == p.stop_at;
    }
};

TEST(BedWithEngine, InterruptsLeaveTheVolumesBalanced) {
    const BedSettings s{20, 6, 45, 8};
    Bed bed(s, 3);
    CountingPoll stop{0, 3};
    const double volume = 1000.0, x = 10.0, z = 3.0;
    const Portions p = one_portion(x, z, volume);
    EXPECT_THROW(bed.stack(p, {&CountingPoll::poll, &stop, 16}), pilora::StackingInterrupted);
    pilora::VolumeBalance b = bed.balance();
    EXPECT_EQ(b.stacked, volume);
    EXPECT_EQ(b.deposited, 48 * bed.chunk_volume());  // three polls, 16 chunks apart
    EXPECT_DOUBLE_EQ(b.on_bed + b.buffered, b.stacked);

    bed.stack(p);  // the buffer goes down with the next portion
    EXPECT_EQ(bed.balance().deposited, 2 * volume);

    CountingPoll rows{0, 600};  // past the ~400 polls of counting the rows, inside reclaiming
    EXPECT_THROW(bed.reclaim(0.001f, {&CountingPoll::poll, &rows, 50}), pilora::ReclaimInterrupted);
    b = bed.balance();
    EXPECT_GT(bed.reclaim_position(), 0.0f);
    EXPECT_NEAR(b.reclaimed + b.on_bed + b.buffered, b.stacked, 1e-9 * b.stacked);
}

// A poll that calls back into the bed it polls for, as a signal handler may.
struct CallingBackPoll {
    const Bed* bed;
    static bool poll(void* self) {
        static_cast<CallingBackPoll*>(self)->bed->balance();
        return false;
    }
};

TEST(BedWithEngine, CallsBackFromItsOwnWorkAreRefusedAndOtherThreadsWait) {
    Bed bed(BedSettings{20, 6, 45, 8}, 3);
    CallingBackPoll back{&bed};
    const double volume = 100.0, x = 10.0, z = 3.0;
    const Portions p = one_portion(x, z, volume);
    EXPECT_THROW(bed.stack(p, {&CallingBackPoll::poll, &back, 16}), pilora::BedBusy);
    EXPECT_EQ(bed.balance().stacked, volume);  // refused in the poll: stacked and buffered
    EXPECT_THROW(bed.reclaim(0.5f, {&CallingBackPoll::poll, &back, 1}), pilora::BedBusy);
    bed.stack(p);  // usable after both

    // Another thread's call waits for the lock instead of being refused.
    double seen = 0.0;
    std::thread other;
    struct Starting {
        const Bed* bed;
        double* seen;
        std::thread* other;
        static bool poll(void* self) {
            auto& s = *static_cast<Starting*>(self);
            if (!s.other->joinable()) *s.other = std::thread([&s] { *s.seen = s.bed->balance().stacked; });
            return false;
        }
    } starting{&bed, &seen, &other};
    bed.stack(p, {&Starting::poll, &starting, 16});
    other.join();
    EXPECT_EQ(seen, 3 * volume);  // read once the stacking had finished
}

// ---- saved state ----------------------------------------------------------------------------------

std::string sealed(std::string state) {
    state.resize(state.size() - 8);
    const std::uint64_t sum = pilora::bed_detail::checksum(state);
    for (int b = 0; b < 8; ++b) state.push_back(static_cast<char>(sum >> 8 * b));
    return state;
}

template <class T>
void put(std::string& state, std::size_t at, T value) {
    std::memcpy(state.data() + at, &value, sizeof value);  // little-endian host, as the layout
}

TEST(BedState, TruncatedOrFlippedBytesAreRefused) {
    const BedSettings s{10, 3, 45, 8};
    Bed bed(s, 5);
    bed.stack(Table(s, 2).portions());
    const std::string state = bed.save();
    for (std::size_t size = 0; size < state.size(); size += size < 200 ? 1 : 97) {
        EXPECT_THROW(Bed::restore(state.substr(0, size)), std::invalid_argument) << size;
    }
    for (std::size_t at = 0; at < state.size(); at += 13) {
        std::string flipped = state;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
        EXPECT_THROW(Bed::restore(flipped), std::invalid_argument) << at;
    }
    EXPECT_THROW(Bed::restore(state + "x"), std::invalid_argument);
}

TEST(BedState, InconsistentContentIsRefusedEvenWithAValidChecksum) {
    const BedSettings s{10, 3, 45, 8};  // 20 x 6 cells
    Bed bed(s, 5);
    bed.stack(Table(s, 2).portions());
    const std::string state = bed.save();
    // Offsets in the layout (see Bed::write_state).
    constexpr std::size_t version = 8, length = 12, circular = 28, engine = 45, nx = 49, fixed = 61, names = 62;
    const std::size_t records = names + 4 + (4 + 5) + (4 + 8);  // "grade", "moisture"
    const std::size_t stacked = records, position = records + 16, buffer = position + 4;
    const std::size_t heights = buffer + 12 + 16, slices = heights + 20 * 6 * 4;
    ASSERT_EQ(state.substr(names + 8, 5), "grade");
    ASSERT_EQ(state.size(), slices + 20 * (12 + 16) + 8);
    struct Edit {
        const char* what;
        std::function<void(std::string&)> apply;
    };
    const std::vector<Edit> edits = {
        {"version", [](std::string& b) { put<std::uint32_t>(b, version, 2); }},
        {"length", [](std::string& b) { put<float>(b, length, std::numeric_limits<float>::infinity()); }},
        {"grid of other settings", [](std::string& b) { put<float>(b, length, 30.0f); }},
        {"circular", [](std::string& b) { b[circular] = 2; }},
        {"engine state", [](std::string& b) { put<std::uint32_t>(b, engine, 0); }},
        {"grid count", [](std::string& b) { put<std::uint32_t>(b, nx, 21); }},
        {"record flag", [](std::string& b) { b[fixed] = 7; }},
        {"repeated name", [](std::string& b) { b.replace(names + 4 + 9, 12, std::string("\x05\0\0\0grade", 9)); }},
        {"stacked volume", [](std::string& b) { put<double>(b, stacked, -1.0); }},
        {"reclaim position", [](std::string& b) { put<float>(b, position, std::numeric_limits<float>::quiet_NaN()); }},
        {"buffer sum", [](std::string& b) { put<double>(b, buffer + 12, inf_d); }},
        {"buffer sum count", [](std::string& b) { put<std::uint32_t>(b, buffer + 8, 3); }},
        {"negative column", [](std::string& b) { put<std::int32_t>(b, heights, -1); }},
        {"steep column", [](std::string& b) { put<std::int32_t>(b, heights + 4 * 6 * 10 + 8, 500); }},
        {"more chunks than stacked", [](std::string& b) { for (std::size_t i = 0; i < 120; ++i) put<std::int32_t>(b, heights + 4 * i, 100); }},
        {"slice volume", [](std::string& b) { put<double>(b, slices, nan_d); }},
        {"slice without sums", [](std::string& b) { put<std::uint32_t>(b, slices + 28 * 10 + 8, 0); }},
    };
    for (const Edit& e : edits) {
        std::string edited = state;
        e.apply(edited);
        EXPECT_THROW(Bed::restore(sealed(edited)), std::invalid_argument) << e.what;
    }
    EXPECT_EQ(Bed::restore(sealed(state))->save(), state);
}

}  // namespace
