// Coverage-guided fuzzer of the simulation core (libFuzzer, with ASan and UBSan).
//
// The input bytes choose the settings of a small bed and a sequence of stacking, reclaiming,
// reset and height-export operations on PiloraFast. Calls the Python module would refuse
// (non-finite or negative volumes, another parameter count, material for a bed without cells)
// are refused here the same way; calls the core itself refuses must throw its documented
// exception and change nothing. After every operation the bed's invariants are checked; a broken
// one aborts, so libFuzzer reports it with the input that caused it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"

namespace {

using pilora::AveragedParameters;
using Bed = pilora::PiloraFast<AveragedParameters>;

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();
constexpr std::size_t max_cells = 1u << 14;  // keeps every bed small

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "invariant broken at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

float pick(FuzzedDataProvider& in, std::initializer_list<const float> specials, float low, float high) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return in.PickValueInArray(specials);
        case 1: return in.ConsumeFloatingPoint<float>();
        default: return in.ConsumeFloatingPointInRange(low, high);
    }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

bool near(double a, double b, double scale) {
    return std::fabs(a - b) <= 1e-9 * scale + 1e-300;
}

struct Run {
    Bed& bed;
    double chunk;               // volume of one unit chunk
    double constant;            // value of parameter 0 of every portion
    std::optional<std::size_t> count;  // parameter count, fixed by the first portion
    double stacked = 0.0;       // all volume handed to stack
    double chunks_before_reset = 0.0;
    double reclaimed = 0.0;     // volume returned by reclaim since the last reset
    std::vector<std::int32_t> last;  // interior heights after the previous operation

    Run(Bed& bed, double chunk, double constant) : bed(bed), chunk(chunk), constant(constant) {}

    std::int64_t grid_chunks() const {
        std::int64_t total = 0;
        for (std::uint32_t i = 1; i <= bed.grid_nx; ++i)
            for (std::uint32_t k = 1; k <= bed.grid_nz; ++k) total += bed.height_grid[i][k];
        return total;
    }

    double slice_volume() const {
        double total = 0.0;
        for (const AveragedParameters& s : bed.slices) total += s.volume;
        return total;
    }

    void check_parameters(const AveragedParameters& p) const {
        CHECK(p.volume >= 0.0);
        CHECK(p.weighted_sums.empty() || (count && p.weighted_sums.size() == *count));
        if (!p.weighted_sums.empty() && p.volume > 1e-100 && std::isfinite(p.volume)) {
            CHECK(near(p.averages()[0], constant, std::fabs(constant) + 1.0));
        }
    }

    void check() {
        const std::uint32_t nx = bed.grid_nx, nz = bed.grid_nz;
        const bool corners = !(bed.eight_neighbour_probability < 1.0f);
        std::vector<std::int32_t> now;
        for (std::uint32_t i = 0; i <= nx + 1; ++i) {
            for (std::uint32_t k = 0; k <= nz + 1; ++k) {
                const std::int32_t h = bed.height_grid[i][k];
                if (i == 0 || k == 0 || i == nx + 1 || k == nz + 1) {
                    CHECK(h == INT32_MAX);
                    continue;
                }
                CHECK(h >= 0);
                now.push_back(h);
                for (int di = -1; di <= 1; ++di) {
                    for (int dk = -1; dk <= 1; ++dk) {
                        const std::int32_t g = bed.height_grid[i + di][k + dk];
                        if ((di == 0) != (dk == 0) || (corners && di != 0 && dk != 0)) {
                            CHECK(g == INT32_MAX || h - g <= 1);
                        }
                    }
                }
            }
        }
        if (!last.empty()) {
            for (std::size_t j = 0; j < now.size(); ++j) CHECK(now[j] >= last[j]);
        }
        last = std::move(now);

        const double chunks = chunks_before_reset + static_cast<double>(grid_chunks());
        const double scale = stacked + chunk;
        CHECK(bed.stack_buffer.volume >= 0.0 && bed.stack_buffer.volume < chunk);
        CHECK(near(stacked, chunks * chunk + bed.stack_buffer.volume, scale));
        CHECK(near(slice_volume() + reclaimed,
                   static_cast<double>(grid_chunks()) * chunk, scale));
        for (const AveragedParameters& s : bed.slices) check_parameters(s);
    }

    void stack(FuzzedDataProvider& in) {
        const float x = pick(in, {nan_f, inf_f, -inf_f, 3e9f, -3e9f}, -2.0f, 42.0f) * bed.cell_size;
        const float z = pick(in, {nan_f, inf_f, -inf_f, 3e9f, -3e9f}, -2.0f, 42.0f) * bed.cell_size;
        const double volume =
            static_cast<double>(pick(in, {nan_f, inf_f, -1.0f, -0.0f, 0.0f, 1.0f, 1e-40f}, 0.0f,
                                     8.0f)) * chunk;
        const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 3);
        std::vector<double> values;
        for (std::size_t j = 0; j < n; ++j) {
            values.push_back(j == 0 ? constant : in.ConsumeFloatingPoint<double>());
        }
        AveragedParameters portion;
        portion.add(volume, values);

        if (count && *count == 0 && n != 0) return;  // refused by the module
        if (count && n != *count) {
            // The module refuses this; so does the core, as the buffer holds sums.
            const AveragedParameters before = bed.stack_buffer;
            try {
                bed.stack(portion, x, z);
                CHECK(n == 0 && volume < 1e-100);
            } catch (const std::runtime_error&) {
            }
            CHECK(bed.stack_buffer.volume == before.volume);
            CHECK(same_bits(bed.stack_buffer.weighted_sums, before.weighted_sums));
            return;
        }
        if (!(std::isfinite(volume) && volume >= 0.0)) return;  // refused by the module
        if (volume / chunk > 4096.0) return;  // the module refuses only far more: too slow here
        if (bed.grid_nx == 0 || bed.grid_nz == 0 || bed.slices.empty()) {
            // The module refuses all material here; the core refuses whole chunks.
            if (volume >= chunk) {
                const AveragedParameters saved = bed.stack_buffer;
                bool refused = false;
                try {
                    bed.stack(portion, x, z);
                } catch (const std::invalid_argument&) {
                    refused = true;
                }
                CHECK(refused);
                bed.stack_buffer = saved;
            }
            return;
        }
        count = n;
        stacked += volume;
        bed.stack(portion, x, z);
    }

    void reclaim_to(float x) {
        const double before = slice_volume();
        const float from = bed.reclaim_position;
        if (!(x >= from)) {
            bool refused = false;
            try {
                bed.reclaim(x);
            } catch (const std::invalid_argument&) {
                refused = true;
            }
            CHECK(refused && bed.reclaim_position == from);
            CHECK(slice_volume() == before);
            return;
        }
        const AveragedParameters taken = bed.reclaim(x);
        check_parameters(taken);
        CHECK(bed.reclaim_position == x);
        reclaimed += taken.volume;
        CHECK(near(slice_volume() + taken.volume, before, before + chunk));
    }

    // The module's reclaim loop, from the current position, with an increment it accepts.
    void reclaim_all(FuzzedDataProvider& in) {
        const float increment = bed.cell_size * in.ConsumeFloatingPointInRange(0.0625f, 4.0f);
        float x = bed.reclaim_position;
        for (int steps = 0; !bed.reclaim_finished(); ++steps) {
            CHECK(steps < 1 << 16);
            if (x + increment == x) return;
            reclaim_to(x);
            x = x + increment;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const float ppvu = pick(in, {nan_f, inf_f, 0.0f, -1.0f, 1e-30f, 3e38f, 1e-45f, 8.0f}, 0.05f, 50.0f);
    const float cell = 1.0f / std::pow(ppvu, 0.33333334f);
    const float size_x = pick(in, {nan_f, inf_f, -1.0f, -0.0f, 0.0f, 1e30f, 1e10f}, 0.0f, 40.0f) * cell;
    const float size_z = pick(in, {nan_f, inf_f, -1.0f, -0.0f, 0.0f, 1e30f, 1e10f}, 0.0f, 40.0f) * cell;
    const float angle = pick(in, {90.0f, 45.0f, 0.0f, 135.0f, 180.0f, 89.995f, 270.0f, nan_f},
                             -720.0f, 720.0f);
    const bool circular = in.ConsumeBool();
    const float p8 = pick(in, {0.0f, 1.0f, nan_f, inf_f, -inf_f}, -0.5f, 1.5f);
    const double constant = in.ConsumeFloatingPointInRange(-1e6, 1e6);

    // Refuse beds with many cells before building them, so no input can allocate much.
    const double nx = static_cast<double>(size_x / cell) + 0.5;
    const double nz = static_cast<double>(size_z / cell) + 0.5;
    const double arc = static_cast<double>(std::min(size_x, size_z)) * 1.5707963705062866;
    if (std::isfinite(nx) && std::isfinite(nz) && nx < 4294967296.0 && nz < 4294967296.0 &&
        (std::floor(nx) * std::floor(nz) > max_cells || std::floor(nx) > max_cells ||
         std::floor(nz) > max_cells ||
         (circular && arc / static_cast<double>(cell) + 0.5 > max_cells))) {
        return 0;
    }
    const bool valid = std::isfinite(size_x) && std::isfinite(size_z) && !(size_x < 0.0f) &&
                       !(size_z < 0.0f) && std::isfinite(angle) && std::isfinite(ppvu) &&
                       ppvu > 0.0f && nx < 4294967296.0 && nz < 4294967296.0;
    std::optional<Bed> built;
    try {
        built.emplace(size_x, size_z, angle, ppvu, circular, p8, 0.0f, 0.0f);
    } catch (const std::invalid_argument&) {
        CHECK(!valid);
        return 0;
    }
    CHECK(valid);
    Bed& bed = *built;
    if (!std::isfinite(1.0f / ppvu)) return 0;  // a chunk larger than any volume: nothing stacks
    CHECK(bed.heights_buffer != nullptr || bed.grid_nx * bed.grid_nz == 0);

    Run run(bed, static_cast<double>(1.0f / ppvu), constant);
    run.check();
    for (int op = 0; op < 200 && in.remaining_bytes() > 0; ++op) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
            case 0: case 1: case 2: case 3: case 4:
                run.stack(in);
                break;
            case 5: case 6:
                run.reclaim_to(in.ConsumeBool()
                                   ? bed.reclaim_position +
                                         bed.cell_size * in.ConsumeFloatingPointInRange(0.0f, 3.0f)
                                   : pick(in, {nan_f, inf_f, -inf_f, 0.0f, 1e30f}, -1.0f, 50.0f) *
                                         bed.cell_size);
                break;
            case 7:
                run.reclaim_all(in);
                break;
            case 8: {
                run.chunks_before_reset += static_cast<double>(run.grid_chunks());
                run.reclaimed = 0.0;
                bed.reset();
                run.last.clear();
                CHECK(run.grid_chunks() == 0 && run.slice_volume() == 0.0);
                break;
            }
            default: {
                bed.update_heights();
                for (std::uint32_t k = 0; k < bed.grid_nz; ++k)
                    for (std::uint32_t i = 0; i < bed.grid_nx; ++i)
                        CHECK(bed.heights_buffer[k * bed.grid_nx + i] ==
                              static_cast<float>(bed.height_grid[i + 1][k + 1]) * bed.cell_size);
            }
        }
        run.check();
    }
    return 0;
}
