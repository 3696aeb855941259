// Coverage-guided fuzzer of the simulation core (libFuzzer, ASan, UBSan): the input chooses a small
// bed's settings and a sequence of stack, reclaim and reset calls, stacking sometimes interrupted
// by its poll, on a bed with or without two sections. Calls the Python module would refuse are
// skipped; calls the core refuses must throw and change nothing. After every call the bed's
// invariants are checked; a broken one aborts with the input that broke it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"

namespace {

using pilora::AveragedParameters;
constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

#define CHECK(c) \
    ((c) ? void() : (std::fprintf(stderr, "invariant broken at line %d: %s\n", __LINE__, #c), std::abort()))

float pick(FuzzedDataProvider& in, std::initializer_list<const float> specials, float low, float high) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return in.PickValueInArray(specials);
        case 1: return in.ConsumeFloatingPoint<float>();
        default: return in.ConsumeFloatingPointInRange(low, high);
    }
}

bool near(double a, double b, double scale) { return std::fabs(a - b) <= 1e-9 * scale + 1e-300; }

template <class Error, class Call>
bool throws(Call call) try { return call(), false; } catch (const Error&) { return true; }

bool same_bits(const AveragedParameters& a, const AveragedParameters& b) {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    return bits(a.volume) == bits(b.volume) &&
           std::ranges::equal(a.weighted_sums, b.weighted_sums, {}, bits, bits);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const float ppvu = pick(in, {nan_f, inf_f, 0.0f, -1.0f, 1e-30f, 3e38f, 1e-45f, 8.0f}, 0.05f, 50.0f);
    const float cell = 1.0f / std::pow(ppvu, 0.33333334f);
    const float size_x = pick(in, {nan_f, inf_f, -1.0f, -0.0f, 0.0f, 1e30f, 1e10f}, 0.0f, 40.0f) * cell;
    const float size_z = pick(in, {nan_f, inf_f, -1.0f, -0.0f, 0.0f, 1e30f, 1e10f}, 0.0f, 40.0f) * cell;
    const float angle = pick(in, {90.0f, 45.0f, 0.0f, 135.0f, 180.0f, 89.995f, 270.0f, nan_f}, -720, 720);
    const bool circular = in.ConsumeBool();
    const float p8 = pick(in, {0.0f, 1.0f, nan_f, inf_f, -inf_f}, -0.5f, 1.5f);
    const double constant = in.ConsumeFloatingPointInRange(-1e6, 1e6);

    // Beds of many cells are skipped before they are built, so no input can allocate much (a
    // circular bed has fewer than 210 slices then).
    const double nx = std::floor(static_cast<double>(size_x / cell) + 0.5);
    const double nz = std::floor(static_cast<double>(size_z / cell) + 0.5);
    const bool countable = std::isfinite(nx) && std::isfinite(nz) && nx < 4294967296.0 && nz < 4294967296.0;
    if (countable && std::max({nx * nz, nx, nz}) > 16384.0) return 0;
    const bool valid = countable && !(size_x < 0.0f) && !(size_z < 0.0f) && std::isfinite(angle) &&
                       std::isfinite(ppvu) && ppvu > 0.0f;
    std::optional<pilora::PiloraFast<AveragedParameters>> built;
    const auto build = [&] { built.emplace(size_x, size_z, angle, ppvu, circular, p8, 0.0f, 0.0f); };
    CHECK(valid != throws<std::invalid_argument>(build));
    if (!valid || !std::isfinite(1.0f / ppvu)) return 0;  // a chunk larger than any volume stacks nothing
    auto& bed = *built;
    if (bed.grid_nx > 0 && bed.grid_nz > 0 && in.ConsumeBool()) {  // a section across and one along
        const std::uint32_t i = in.ConsumeIntegralInRange<std::uint32_t>(1, bed.grid_nx);
        const std::uint32_t k = in.ConsumeIntegralInRange<std::uint32_t>(1, bed.grid_nz);
        bed.probes = std::make_unique<pilora::SectionProbes<AveragedParameters>>(
            bed.grid_nx, bed.grid_nz,
            std::vector<pilora::SectionPlacement>{{pilora::SectionKind::across, 0.0f},
                                                  {pilora::SectionKind::along, 0.0f}},
            std::vector<std::uint32_t>{i, k});
    }

    const double chunk = static_cast<double>(1.0f / ppvu);
    std::optional<std::size_t> count;  // the parameter count, fixed by the first portion
    // Interrupts: a poll that stops stacking at its `stop`-th call. An interrupted portion is in
    // the bed whole, its undeposited rest buffered (possibly more than a chunk) until a portion
    // is stacked to the end.
    struct Polls { int calls = 0, stop = 0; } polls;
    bool draining = false;
    double stacked = 0.0, chunks_before_reset = 0.0, chunks = 0.0, reclaimed = 0.0;  // reclaimed since reset
    std::vector<std::int32_t> last, now;  // the interior heights after the previous call, and now
    const auto check_parameters = [&](const AveragedParameters& p) {
        CHECK(p.volume >= 0.0 && (p.weighted_sums.empty() || (count && p.weighted_sums.size() == *count)));
        if (!p.weighted_sums.empty() && p.volume > 1e-100 && std::isfinite(p.volume))
            CHECK(near(p.averages()[0], constant, std::fabs(constant) + 1.0));
    };
    // The chunks on the grid are in the slices or reclaimed; all stacked volume is on the grid or
    // buffered (less than a chunk).
    const auto check_volume = [&] {
        double in_slices = reclaimed;
        for (const AveragedParameters& s : bed.slices) in_slices += s.volume;
        const double buffered = bed.stack_buffer.volume, scale = stacked + chunk;
        CHECK(near(in_slices, chunks * chunk, scale) && buffered >= 0.0 && (buffered < chunk || draining));
        CHECK(near(stacked, (chunks_before_reset + chunks) * chunk + buffered, scale));
    };
    // The border ring stays INT32_MAX, no column shrinks, no edge neighbour (nor corner, when every
    // step scans all eight) lies more than one chunk lower, the exported heights are the columns',
    // and every slice holds material of the stacked composition.
    const auto check = [&] {
        const bool corners = !(bed.eight_neighbour_probability < 1.0f);
        bed.update_heights();
        chunks = 0.0;
        now.clear();
        for (std::uint32_t i = 0; i <= bed.grid_nx + 1; ++i) {
            for (std::uint32_t k = 0; k <= bed.grid_nz + 1; ++k) {
                const std::int32_t h = bed.height_grid[i][k];
                const bool border = i == 0 || k == 0 || i == bed.grid_nx + 1 || k == bed.grid_nz + 1;
                CHECK(border ? h == INT32_MAX : h >= 0 && (last.empty() || h >= last[now.size()]));
                if (border) continue;
                chunks += h;
                now.push_back(h);
                CHECK(bed.heights_buffer[(k - 1) * bed.grid_nx + (i - 1)] ==
                      static_cast<float>(h) * bed.cell_size);
                for (int d = 0; d < 9; ++d) {
                    const int di = d / 3 - 1, dk = d % 3 - 1;
                    const std::int32_t g = bed.height_grid[i + di][k + dk];
                    if ((di == 0) != (dk == 0) || (corners && di != 0 && dk != 0))
                        CHECK(g == INT32_MAX || h - g <= 1);
                }
            }
        }
        last.swap(now);
        check_volume();
        // Each section holds one chunk per level of every column it cuts, and nothing above.
        if (bed.probes) {
            for (const auto& section : bed.probes->sections()) {
                const bool across = section.placement.kind == pilora::SectionKind::across;
                for (std::uint32_t j = 0; j < section.width; ++j) {
                    const std::int32_t h = across ? bed.height_grid[section.line][j + 1] : bed.height_grid[j + 1][section.line];
                    for (std::size_t r = 0; r < section.rows(); ++r) {
                        const double v = section.cells[r * section.width + j].volume;
                        CHECK(static_cast<std::int64_t>(r) < h ? v == chunk : v == 0.0);
                    }
                    CHECK(static_cast<std::int64_t>(section.rows()) >= h);
                }
            }
        }
        for (const AveragedParameters& s : bed.slices) check_parameters(s);
    };

    const auto stack = [&] {
        const float x = pick(in, {nan_f, inf_f, -inf_f, 3e9f, -3e9f}, -2.0f, 42.0f) * bed.cell_size;
        const float z = pick(in, {nan_f, inf_f, -inf_f, 3e9f, -3e9f}, -2.0f, 42.0f) * bed.cell_size;
        const double volume = chunk * pick(in, {nan_f, inf_f, -1.0f, -0.0f, 0.0f, 1.0f, 1e-40f}, 0.0f, 8.0f);
        std::vector<double> values(in.ConsumeIntegralInRange<std::size_t>(0, 3), constant);
        for (std::size_t j = 1; j < values.size(); ++j) values[j] = in.ConsumeFloatingPoint<double>();
        AveragedParameters portion;
        portion.add(volume, values);
        if (in.ConsumeBool()) {
            polls = {0, in.ConsumeIntegralInRange(1, 4)};
            const auto poll = [](void* p) { return ++static_cast<Polls*>(p)->calls == static_cast<Polls*>(p)->stop; };
            bed.set_interrupt_poll({poll, &polls, in.ConsumeIntegralInRange<std::uint32_t>(0, 64)});
        }
        const AveragedParameters before = bed.stack_buffer;
        const auto call = [&] { bed.stack(portion, x, z); };
        if (count && values.size() != *count) {  // refused by the module, by the core if the buffer has sums
            if (draining) return;  // a portion the core lets pass would let down the buffered rest
            CHECK(*count == 0 || throws<std::runtime_error>(call) || (values.empty() && volume < 1e-100));
            return CHECK(same_bits(bed.stack_buffer, before));
        }
        // Refused by the module (which takes far more than 4096 chunks, but that is slow here).
        if (!(std::isfinite(volume) && volume >= 0.0) || volume / chunk > 4096.0) return;
        if (bed.grid_nx == 0 || bed.grid_nz == 0 || bed.slices.empty()) {  // the module refuses all material,
            CHECK(volume < chunk || throws<std::invalid_argument>(call));  // the core whole chunks
            return void(bed.stack_buffer = before);
        }
        count = values.size();
        stacked += volume;
        try {
            call();
            draining = false;
        } catch (const pilora::StackingInterrupted&) {
            draining = true;
        }
    };
    // A refused reclaim must keep the position; check() finds any change to the slices.
    const auto reclaim_to = [&](float x) {
        const float from = bed.reclaim_position;
        const auto call = [&] { bed.reclaim(x); };
        if (!(x >= from)) return CHECK(throws<std::invalid_argument>(call) && bed.reclaim_position == from);
        const AveragedParameters taken = bed.reclaim(x);
        check_parameters(taken);
        reclaimed += taken.volume;
        CHECK(bed.reclaim_position == x);
        check_volume();
    };

    check();
    for (int op = 0; op < 200 && in.remaining_bytes() > 0; ++op) {
        const int kind = in.ConsumeIntegralInRange(0, 9);
        if (kind <= 4) {
            stack();
        } else if (kind <= 6) {
            const bool ahead = in.ConsumeBool();
            reclaim_to(ahead ? bed.reclaim_position + bed.cell_size * in.ConsumeFloatingPointInRange(0.0f, 3.0f)
                             : bed.cell_size * pick(in, {nan_f, inf_f, -inf_f, 0.0f, 1e30f}, -1.0f, 50.0f));
        } else if (kind == 7) {  // the module's reclaim loop, from the current position
            const float step = bed.cell_size * in.ConsumeFloatingPointInRange(0.0625f, 4.0f);
            int steps = 0;
            for (float x = bed.reclaim_position; !bed.reclaim_finished() && x + step != x; x = x + step) {
                CHECK(++steps <= 1 << 16);
                reclaim_to(x);
            }
        } else if (kind == 8) {
            bed.reset();  // check() then finds any chunk or slice volume left behind
            chunks_before_reset += chunks;
            reclaimed = 0.0;
            last.clear();
        }  // else nothing: check() exports the heights
        check();
    }
    return 0;
}
