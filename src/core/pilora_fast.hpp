// The grid simulator: a bed of square cells holding columns of unit chunks, with reclaim slices
// along its length (linear bed) or along an arc (circular bed).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "deposition_random.hpp"
#include "pilora.hpp"
#include "sections.hpp"

namespace pilora {

namespace detail {

// Truncation toward zero that is defined for every double: NaN gives 0, values beyond the
// signed 32-bit range give its nearest end.
inline std::int32_t truncate_to_int32(double value) {
    if (value != value) return 0;
    if (value >= 2147483648.0) return INT32_MAX;
    if (value <= -2147483649.0) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

// The same for the signed 64-bit range.
inline std::int64_t truncate_to_int64(double value) {
    if (value != value) return 0;
    if (value >= 9223372036854775808.0) return INT64_MAX;
    if (value < -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(value);
}

inline void require(bool condition, const char* message) {
    if (!condition) throw std::invalid_argument(message);
}

// A count derived from a setting: `value` truncated to unsigned 32 bits, refused beyond that.
inline std::uint32_t checked_count(double value, const char* message) {
    require(value < 4294967296.0, message);
    return static_cast<std::uint32_t>(value);
}

}  // namespace detail

template <class Parameters>
class PiloraFast : public Pilora<Parameters> {
    using Base = Pilora<Parameters>;

public:
    float cell_size;        // width of a cell and a slice, length units
    float repose_angle;     // degrees: the slope of one chunk per cell
    float chunk_height;     // height of one chunk in a column, length units
    float height_ratio;     // chunk_height / cell_size; exactly 1 at 45 degrees
    float reclaim_position = 0.0f;
    float reclaim_slope;
    double arc_length = 0.0;
    std::vector<std::vector<std::int32_t>> height_grid;  // (grid_nx + 2) rows of grid_nz + 2
    std::vector<Parameters> slices;
    // Sections that record the chunks coming to rest in them; none by default.
    std::unique_ptr<SectionProbes<Parameters>> probes;

    // (dx, dz) of the neighbours a walk step scans: the four edge neighbours, then the corners.
    static constexpr std::int32_t neighbour_offsets[8][2] = {
        {-1, 0}, {0, -1}, {0, 1}, {1, 0}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}};

    using Row = std::vector<std::int32_t>;

    // Low bits of the scan keys, by [eight neighbours scanned][start index][table index]: the
    // neighbour's place in the rotated scan order, then the move to it as byte offsets, (dx + 1)
    // rows into the row table and (dz + 1) counts into a row; 2^50 (above every scanned key) for
    // a corner that a four-neighbour step does not scan.
    static constexpr int dz_field = 0;      // 4 bits: (dz + 1) * sizeof(std::int32_t)
    static constexpr int dx_field = 4;      // 6 bits: (dx + 1) * sizeof(Row)
    static constexpr int order_field = 10;  // 3 bits
    static constexpr int scan_key_bits = 13;
    static_assert(2 * sizeof(std::int32_t) < 16 && 2 * sizeof(Row) < 64);
    static constexpr auto scan_order_keys = [] {
        std::array<std::array<std::array<std::int64_t, 8>, 8>, 2> keys{};
        for (unsigned eight = 0; eight < 2; ++eight) {
            const unsigned m = eight ? 8 : 4;
            for (unsigned s = 0; s < 8; ++s) {
                for (unsigned t = 0; t < 8; ++t) {
                    const auto dx = static_cast<std::int64_t>(neighbour_offsets[t][0]);
                    const auto dz = static_cast<std::int64_t>(neighbour_offsets[t][1]);
                    const std::int64_t move =
                        (dx + 1) * static_cast<std::int64_t>(sizeof(Row)) << dx_field |
                        (dz + 1) * static_cast<std::int64_t>(sizeof(std::int32_t)) << dz_field;
                    const auto place = static_cast<std::int64_t>((t + m - s % m) % m);
                    keys[eight][s][t] = t < m ? place << order_field | move : std::int64_t{1} << 50;
                }
            }
        }
        return keys;
    }();

    // The smaller of two keys; the hint (either is as likely) makes the compiler select rather
    // than branch, as a branch here would be mispredicted at random.
    static constexpr std::int64_t branchless_min(std::int64_t a, std::int64_t b) {
#if defined(__GNUC__)
        return __builtin_expect_with_probability(a < b, 1, 0.5) ? a : b;
#else
        return a < b ? a : b;
#endif
    }

    // The smallest of eight keys as a tree of depth three. The register barriers keep the
    // compiler from folding the tree into a chain of seven dependent selections.
    static std::int64_t min_of_eight(const std::int64_t (&key)[8]) {
        const auto pinned = [](std::int64_t v) {
#if defined(__GNUC__)
            asm("" : "+r"(v));
#endif
            return v;
        };
        const std::int64_t a = pinned(branchless_min(key[0], key[1]));
        const std::int64_t b = pinned(branchless_min(key[2], key[3]));
        const std::int64_t c = pinned(branchless_min(key[4], key[5]));
        const std::int64_t d = pinned(branchless_min(key[6], key[7]));
        return branchless_min(pinned(branchless_min(a, b)), pinned(branchless_min(c, d)));
    }

    // Settings that would make the geometry undefined or the grid larger than 32-bit counts
    // are refused with std::invalid_argument naming the setting.
    //
    // `repose_angle` (degrees, above 0 and below 90) is the slope that one chunk per cell makes:
    // a chunk keeps the volume 1 / particles_per_volume_unit, and its cell's width w and its
    // height w * tan(repose_angle) follow from it. At 45 degrees (the default) chunks are cubes
    // and every result is that of the cube model.
    PiloraFast(float bed_size_x, float bed_size_z, float reclaim_angle,
               float particles_per_volume_unit, bool circular, float eight_neighbour_probability,
               float stored_setting_a, float stored_setting_b, float repose_angle = 45.0f)
        : Base(bed_size_x, bed_size_z, reclaim_angle, particles_per_volume_unit, circular,
               eight_neighbour_probability, stored_setting_a, stored_setting_b),
          repose_angle(repose_angle) {
        using detail::require;
        require(std::isfinite(bed_size_x), "bed_size_x must be a finite number");
        require(std::isfinite(bed_size_z), "bed_size_z must be a finite number");
        require(!(bed_size_x < 0.0f), "bed_size_x must not be negative");
        require(!(bed_size_z < 0.0f), "bed_size_z must not be negative");
        require(std::isfinite(reclaim_angle), "reclaim_angle must be a finite number");
        require(std::isfinite(particles_per_volume_unit) && particles_per_volume_unit > 0.0f,
                "particles_per_volume_unit must be a finite number above zero");

        require(std::isfinite(repose_angle) && repose_angle > 0.0f && repose_angle < 90.0f,
                "repose_angle must be a number of degrees above 0 and below 90");

        if (repose_angle == 45.0f) {
            cell_size = 1.0f / std::pow(particles_per_volume_unit, 0.33333334f);
            chunk_height = cell_size;
            height_ratio = 1.0f;
        } else {
            const double slope = std::tan(std::atan(1.0) * static_cast<double>(repose_angle) / 45.0);
            cell_size = static_cast<float>(
                1.0 / std::cbrt(static_cast<double>(particles_per_volume_unit) * slope));
            chunk_height = static_cast<float>(static_cast<double>(cell_size) * slope);
            height_ratio = chunk_height / cell_size;
        }
        require(std::isfinite(cell_size) && cell_size > 0.0f && std::isfinite(chunk_height) &&
                    chunk_height > 0.0f,
                "particles_per_volume_unit gives no usable cell size");

        const double from_right_angle = static_cast<double>(std::fabs(90.0f - reclaim_angle));
        if (from_right_angle < 0.01) {
            reclaim_slope = std::numeric_limits<float>::infinity();
        } else {
            const double t = std::atan(1.0) * static_cast<double>(reclaim_angle) * 4.0 / 180.0;
            reclaim_slope = static_cast<float>(std::tan(t));
        }

        const std::uint32_t nx = detail::checked_count(
            static_cast<double>(bed_size_x / cell_size) + 0.5,
            "bed_size_x gives more grid cells than 32 bits can count");
        const std::uint32_t nz = detail::checked_count(
            static_cast<double>(bed_size_z / cell_size) + 0.5,
            "bed_size_z gives more grid cells than 32 bits can count");
        require(static_cast<std::uint64_t>(nx) * nz <= UINT32_MAX,
                "bed_size_x and bed_size_z give more grid cells than 32 bits can count");

        std::uint32_t slice_count = nx;
        if (circular) {
            const float radius = bed_size_z < bed_size_x ? bed_size_z : bed_size_x;
            arc_length = static_cast<double>(radius) * 1.5707963705062866;
            slice_count = detail::checked_count(arc_length / static_cast<double>(cell_size) + 0.5,
                                                "bed_size_x and bed_size_z give more slices than "
                                                "32 bits can count");
        }

        height_grid.assign(std::size_t{nx} + 2, std::vector<std::int32_t>(std::size_t{nz} + 2, 0));
        slices.resize(slice_count);
        this->grid_nx = nx;
        this->grid_nz = nz;
        reset();
    }

    void reset() override {
        const std::size_t nx = this->grid_nx;
        std::fill(height_grid.front().begin(), height_grid.front().end(), INT32_MAX);
        std::fill(height_grid.back().begin(), height_grid.back().end(), INT32_MAX);
        for (std::size_t i = 1; i <= nx; ++i) {
            std::vector<std::int32_t>& row = height_grid[i];
            std::fill(row.begin() + 1, row.end() - 1, 0);
            row.front() = INT32_MAX;
            row.back() = INT32_MAX;
        }
        for (Parameters& slice : slices) slice.clear();
        if (probes) {
            for (auto& section : probes->sections()) section.cells.clear();
        }
    }

    void finish_stacking() override {}

    bool reclaim_finished() override { return finished_at(reclaim_position); }

    // Whether reclaiming is finished once the reclaim position is `position`: when the rounded
    // slice index of the position reaches the slice count (a negative index counts as finished).
    bool finished_at(float position) const {
        const float p = position / cell_size;
        const std::int32_t r = detail::truncate_to_int32(static_cast<double>(p) + 0.5);
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(r)) >= slices.size();
    }

    // Removes the material between the reclaim position and x: whole slices, then the share of
    // the slice x falls in. Positions behind the reclaim position are refused.
    Parameters reclaim(float x) override {
        if (!(x >= reclaim_position)) {
            throw std::invalid_argument("reclaim position must not move backwards");
        }
        const std::int64_t n = static_cast<std::int64_t>(slices.size());
        const float p = reclaim_position / cell_size;
        const float q = x / cell_size;
        const std::int64_t first = std::max<std::int32_t>(detail::truncate_to_int32(p), 0);
        const std::int64_t last = std::min<std::int64_t>(detail::truncate_to_int32(q), n);

        Parameters result;
        for (std::int64_t i = first; i < last; ++i) {
            result.merge(slices[i]);
            slices[i].clear();
        }
        if (last < n) {
            Parameters& slice = slices[last];
            const double volume = slice.volume;
            double amount;
            if (first == last) {
                const double remaining =
                    (static_cast<double>(first) - static_cast<double>(p)) + 1.0;
                if (remaining > 1e-20) {
                    const double share = volume / remaining;
                    amount = std::min(volume,
                                      (static_cast<double>(q) - static_cast<double>(p)) * share);
                } else {
                    slice.clear();
                    amount = 0.0;
                }
            } else {
                amount = (static_cast<double>(q) - static_cast<double>(last)) * volume;
            }
            result.merge(slice.pop(amount));
        }
        reclaim_position = x;
        return result;
    }

    // Drops one unit chunk at (x, z), lets it slide down to rest and books it into its slice.
    void deposit(const Parameters& chunk, float x, float z) override {
        if (this->grid_nx == 0 || this->grid_nz == 0 || slices.empty()) {
            throw std::invalid_argument("the bed has no cell or no slice to place material on");
        }
        while (this->paused.load()) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(50'000'000));
        }

        const StartCells& start = start_cells(x, z);
        std::int32_t i = start.i;
        std::int32_t k = start.k;
        std::int32_t h = height_grid[i][k];

        // The walk. Every step takes three engine outputs (more when the start index is drawn
        // again); they are computed here from the last output with the engine's multipliers,
        // and the engine is left in the state std::minstd_rand would hold after them.
        std::minstd_rand& engine = *engine_;
        std::uint32_t last = engine_state(engine);
        const minstd::DrawSumThreshold eight_above = eight_neighbour_threshold();
        // The position as byte offsets: of row i - 1 in the row table, and of entry k in a row;
        // a move adds the offsets its key carries.
        const char* const rows = reinterpret_cast<const char*>(height_grid.data());
        std::ptrdiff_t row_offset = static_cast<std::ptrdiff_t>(i - 1) * static_cast<std::ptrdiff_t>(sizeof(Row));
        std::ptrdiff_t entry_offset = static_cast<std::ptrdiff_t>(k) * static_cast<std::ptrdiff_t>(sizeof(std::int32_t));
        const auto entry = [&entry_offset](const Row& row) {
            return reinterpret_cast<const std::int32_t*>(reinterpret_cast<const char*>(row.data()) + entry_offset);
        };
        for (;;) {
            const std::uint32_t o1 = minstd::mul_mod(last, minstd::advance_1);
            const std::uint32_t o2 = minstd::mul_mod(last, minstd::advance_2);
            std::uint32_t o3 = minstd::mul_mod(last, minstd::advance_3);
            while (o3 - 1 >= minstd::start_index_limit) o3 = minstd::mul_mod(o3, minstd::advance_1);
            last = o3;
            const bool eight = !eight_above.reached_by(o1, o2);
            const unsigned s = minstd::start_index(o3);

            // The scan, without branches: every neighbour gets a key, its height followed by
            // its place in this step's scan order and the move to it; the smallest key is the
            // lowest neighbour met first. The chunk moves there if it is lower than its cell.
            const Row* const three_rows = reinterpret_cast<const Row*>(rows + row_offset);
            const std::int32_t* const west = entry(three_rows[0]);
            const std::int32_t* const here = entry(three_rows[1]);
            const std::int32_t* const east = entry(three_rows[2]);
            const std::int32_t g[8] = {west[0], here[-1], here[1], east[0],
                                       west[-1], west[1], east[-1], east[1]};
            const std::int64_t* const order = scan_order_keys[eight][s].data();
            std::int64_t key[8];
            for (unsigned t = 0; t < 8; ++t) key[t] = (static_cast<std::int64_t>(g[t]) << scan_key_bits) + order[t];
            const std::int64_t low = min_of_eight(key);
            if (low >= (static_cast<std::int64_t>(h) << scan_key_bits)) break;
            row_offset += ((low >> dx_field) & 63) - static_cast<std::ptrdiff_t>(sizeof(Row));
            entry_offset += ((low >> dz_field) & 15) - static_cast<std::ptrdiff_t>(sizeof(std::int32_t));
            h = static_cast<std::int32_t>(low >> scan_key_bits);
        }
        i = static_cast<std::int32_t>(row_offset / static_cast<std::ptrdiff_t>(sizeof(Row))) + 1;
        k = static_cast<std::int32_t>(entry_offset / static_cast<std::ptrdiff_t>(sizeof(std::int32_t)));
        engine.seed(last);
        engine_left_ = engine;
        engine_left_state_ = last;

        height_grid[i][k] = h + 1;
        slices[slice_index(i, k, h)].merge(chunk);
        if (probes != nullptr && probes->cuts(i, k)) [[unlikely]] probes->record(i, k, h, chunk);
    }

    // Writes the heights into heights_buffer, which is made on the first call (a bed that never
    // exports its heights this way keeps no grid-sized buffer).
    void update_heights() override {
        const std::size_t nx = this->grid_nx;
        const std::size_t nz = this->grid_nz;
        if (!this->heights_buffer) this->heights_buffer = std::make_unique<float[]>(nx * nz);
        float* buffer = this->heights_buffer.get();
        for (std::size_t k = 0; k < nz; ++k) {
            for (std::size_t i = 0; i < nx; ++i) {
                const std::int32_t h = height_grid[i + 1][k + 1];
                buffer[k * nx + i] = h > 0 ? static_cast<float>(h) * chunk_height : 0.0f;
            }
        }
    }

    // Grid index (1-based, inside the border ring) of the cell a drop at `position` starts on:
    // the rounded quotient position / cell_size, clamped to the grid.
    std::int32_t start_cell(float position, std::uint32_t cells) const {
        const float quotient = position / cell_size;
        const std::int64_t index = detail::truncate_to_int32(static_cast<double>(quotient) + 0.5);
        return static_cast<std::int32_t>(
            std::max<std::int64_t>(std::min<std::int64_t>(index, std::int64_t{cells} - 1), 0) + 1);
    }

    // The slice that receives a chunk resting on cell (i, k) at height h (before placing).
    std::size_t slice_index(std::int32_t i, std::int32_t k, std::int32_t h) const {
        const std::int64_t n = static_cast<std::int64_t>(slices.size());
        const bool vertical_face = reclaim_slope > 1e10f;
        const bool flat_face = static_cast<double>(reclaim_slope) < 1e-10;
        if (!this->circular) {
            std::int64_t index = i - 1;
            if (vertical_face) {
            } else if (flat_face) {
                index = this->reclaim_angle < 90.0f ? 0 : n - 1;
            } else {
                const float back = static_cast<float>(h) * height_ratio / reclaim_slope + 0.5f;
                index -= detail::truncate_to_int32(back);
            }
            if (index < 0) index = 0;
            if (index >= n) index = n - 1;
            return static_cast<std::size_t>(index);
        }
        const double cell = static_cast<double>(cell_size);
        const double cx = static_cast<double>(static_cast<float>(i) - 0.5f) * cell +
                          static_cast<double>(this->bed_size_x) * -0.5 + 0.5;
        const double cz = static_cast<double>(static_cast<float>(k) - 0.5f) * cell +
                          static_cast<double>(this->bed_size_z) * -0.5 + 0.5;
        const double theta = std::atan2(cz, cx);
        double along = (theta / -3.1415927410125732 + 1.0) * 0.5 * arc_length;
        if (!vertical_face && !flat_face) {
            along = along - static_cast<double>((chunk_height * static_cast<float>(h)) / reclaim_slope);
        }
        const std::int64_t v = detail::truncate_to_int64(along / cell + 0.5);
        const std::int64_t r = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return static_cast<std::size_t>(((r % n) + n) % n);
    }

    // The engine deposition draws from: the process-wide deposition_engine() unless a bed
    // brings its own. The walk is the same code for either.
    void use_engine(std::minstd_rand& engine) { engine_ = &engine; }
    std::minstd_rand& engine() const { return *engine_; }

private:
    // The engine's state, which std::minstd_rand does not expose: the state this simulator left
    // it in, when nothing has drawn from it since; otherwise recovered from its next output
    // (which the walk then counts as drawn).
    std::uint32_t engine_state(std::minstd_rand& engine) {
        if (engine == engine_left_) [[likely]] return engine_left_state_;
        return minstd::mul_mod(static_cast<std::uint32_t>(engine()), minstd::step_back);
    }

    struct StartCells {
        std::uint32_t x_bits = 0, z_bits = 0, cell_size_bits = 0, nx = 0, nz = 0;
        bool known = false;
        std::int32_t i = 0, k = 0;
    };

    // The start cells of a drop at (x, z), kept for the last position: the chunks of a portion
    // all fall at the same place.
    const StartCells& start_cells(float x, float z) {
        const std::uint32_t x_bits = std::bit_cast<std::uint32_t>(x);
        const std::uint32_t z_bits = std::bit_cast<std::uint32_t>(z);
        const std::uint32_t cell_size_bits = std::bit_cast<std::uint32_t>(cell_size);
        const StartCells& c = start_;
        if (!(c.known && c.x_bits == x_bits && c.z_bits == z_bits && c.cell_size_bits == cell_size_bits &&
              c.nx == this->grid_nx && c.nz == this->grid_nz)) [[unlikely]] {
            find_start_cells(x, z);
        }
        return c;
    }

    // Kept out of line, so that the check above stays small enough to be inlined.
    [[gnu::noinline]] void find_start_cells(float x, float z) {
        start_ = {std::bit_cast<std::uint32_t>(x), std::bit_cast<std::uint32_t>(z),
                  std::bit_cast<std::uint32_t>(cell_size), this->grid_nx, this->grid_nz, true,
                  start_cell(x, this->grid_nx), start_cell(z, this->grid_nz)};
    }

    // A walk step scans eight neighbours when its draw is not above eight_neighbour_probability,
    // that is when its outputs do not reach this threshold; kept for the probability (by its
    // bits) it was computed for, which starts as 0.0.
    const minstd::DrawSumThreshold& eight_neighbour_threshold() {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(this->eight_neighbour_probability);
        if (bits != threshold_probability_bits_) [[unlikely]] find_eight_neighbour_threshold();
        return eight_threshold_;
    }

    [[gnu::noinline]] void find_eight_neighbour_threshold() {
        threshold_probability_bits_ = std::bit_cast<std::uint32_t>(this->eight_neighbour_probability);
        eight_threshold_ = minstd::draw_sum_threshold(
            minstd::unit_draw_limit(static_cast<double>(this->eight_neighbour_probability)));
    }

    std::uint32_t threshold_probability_bits_ = std::bit_cast<std::uint32_t>(0.0f);
    minstd::DrawSumThreshold eight_threshold_ = minstd::draw_sum_threshold(minstd::unit_draw_limit(0.0));
    std::minstd_rand* engine_ = &deposition_engine();
    std::minstd_rand engine_left_{1};    // the engine as the last deposit left it,
    std::uint32_t engine_left_state_ = 1;  // and its state
    StartCells start_;
};

}  // namespace pilora
