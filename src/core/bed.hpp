// A blending bed as a whole: the grid simulator with a random engine of its own, stacking that
// checks everything before it changes anything, reclaiming into arrays sized up front, copies, and
// a versioned binary state that is checked in full when it is read back.
//
// Every operation holds the bed's mutex, so one bed may be used from several threads; the calls
// are then serialised. Lengths are in metres, volumes in cubic metres, angles in degrees.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "averaged_parameters.hpp"
#include "deposition_random.hpp"
#include "pilora.hpp"
#include "pilora_fast.hpp"
#include "sections.hpp"

namespace pilora {

// The settings of a bed, in the single precision the simulator holds them in.
struct BedSettings {
    float length = 1.0f;                        // m, along x
    float width = 1.0f;                         // m, along z
    float reclaim_angle = 45.0f;                // degrees from the horizontal, above 0 and at most 90
    float chunks_per_volume_unit = 1.0f;        // unit chunks per m³ (see default_chunks_per_volume_unit)
    bool circular = false;
    float eight_neighbour_probability = 0.85f;  // chance that a walk step also scans the corners
    float repose_angle = 45.0f;                 // degrees: the slope of one chunk per cell

    friend bool operator==(const BedSettings&, const BedSettings&) = default;
};

// A column of doubles read through a byte stride, as NumPy lays them out (any alignment). A stride
// of 0 repeats the first value for every portion.
struct Column {
    const void* data = nullptr;
    std::ptrdiff_t stride = 0;

    double operator[](std::size_t i) const {
        double value;
        std::memcpy(&value, static_cast<const char*>(data) + stride * static_cast<std::ptrdiff_t>(i),
                    sizeof value);
        return value;
    }
};

// A table of portions to stack: `count` rows of x, z (m), volume (m³) and one column per quality
// parameter. `names` names the value columns; without names they are the bed's recorded ones.
// With `names_in_any_order`, names that are the recorded ones in another order are accepted and
// the columns taken in the recorded order.
struct Portions {
    std::size_t count = 0;
    Column x, z, volume;
    std::vector<Column> values;
    std::optional<std::vector<std::string>> names;
    bool names_in_any_order = false;
};

// Rows of a reclaim: position (m), volume (m³) and, row after row, the volume-weighted average of
// each of `parameters` quality parameters.
struct ReclaimRows {
    std::vector<double> x;
    std::vector<double> volume;
    std::vector<double> averages;  // x.size() rows of `parameters` values
    std::size_t parameters = 0;
    std::vector<std::string> names;  // the parameters' names
};

// Where the material a bed was given is now (m³): accepted in total, reclaimed, in the slices,
// waiting in the stack buffer, and the volume of the chunks standing in the columns (which
// reclaiming does not lower: deposited = reclaimed + on_bed, up to rounding).
struct VolumeBalance {
    double stacked = 0.0;
    double reclaimed = 0.0;
    double on_bed = 0.0;
    double buffered = 0.0;
    double deposited = 0.0;
};

// Thrown by reclaiming when its interrupt poll asks it to stop; the rows reclaimed so far are
// gone from the bed and counted as reclaimed.
class ReclaimInterrupted : public std::exception {
public:
    const char* what() const noexcept override { return "reclaiming interrupted"; }
};

// Thrown when a thread calls a bed it is already working on: a signal handler or finaliser that
// runs while the bed stacks or reclaims, and reaches the same bed.
class BedBusy : public std::logic_error {
public:
    BedBusy()
        : std::logic_error("the bed is busy in this thread: it was called back (from a signal handler or a "
                           "finaliser) while it stacks or reclaims") {}
};

// The bed's mutex: a thread that asks for it while holding it gets BedBusy instead of waiting for
// itself for ever.
class BedMutex {
public:
    void lock() {
        const std::thread::id me = std::this_thread::get_id();
        if (owner_.load(std::memory_order_relaxed) == me) throw BedBusy();
        mutex_.lock();
        owner_.store(me, std::memory_order_relaxed);
    }

    void unlock() {
        owner_.store(std::thread::id{}, std::memory_order_relaxed);
        mutex_.unlock();
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

namespace bed_detail {

[[noreturn]] inline void refuse(const std::string& message) { throw std::invalid_argument(message); }

// The shortest decimal that reads back as `value`.
template <class Number>
std::string decimal(Number value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

inline bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t code;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2, code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3, code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4, code = byte & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (std::size_t j = 1; j < length; ++j) {
            const auto next = static_cast<unsigned char>(text[i + j]);
            if ((next & 0xC0) != 0x80) return false;
            code = code << 6 | (next & 0x3F);
        }
        static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

inline std::string quoted_names(const std::vector<std::string>& names) {
    std::string text = "(";
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", '" : "'") + names[i] + "'";
    return text + ")";
}

// FNV-1a over the state's bytes, eight at a time.
inline std::uint64_t checksum(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word = 0;
        for (int b = 0; b < 8; ++b) word |= std::uint64_t{static_cast<unsigned char>(bytes[i + b])} << 8 * b;
        hash = (hash ^ word) * 1099511628211ull;
    }
    for (; i < bytes.size(); ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return hash;
}

// Little-endian encoding of the state.
class StateWriter {
public:
    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u32(std::uint32_t v) {
        for (int b = 0; b < 4; ++b) out_.push_back(static_cast<char>(v >> 8 * b));
    }
    void u64(std::uint64_t v) {
        for (int b = 0; b < 8; ++b) out_.push_back(static_cast<char>(v >> 8 * b));
    }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void bytes(std::string_view text) { out_.append(text); }
    void text(std::string_view text) {
        u32(static_cast<std::uint32_t>(text.size()));
        bytes(text);
    }
    void accumulator(const AveragedParameters& a) {
        f64(a.volume);
        u32(static_cast<std::uint32_t>(a.weighted_sums.size()));
        for (double sum : a.weighted_sums) f64(sum);
    }
    void reserve(std::size_t n) { out_.reserve(n); }
    std::string finish() {
        u64(checksum(out_));
        return std::move(out_);
    }

private:
    std::string out_;
};

class StateReader {
public:
    explicit StateReader(std::string_view in) : in_(in) {}

    std::size_t remaining() const { return in_.size() - at_; }
    void need(std::size_t n) const {
        if (remaining() < n) refuse("bed state is truncated");
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)[0]); }
    std::uint32_t u32() {
        const std::string_view b = take(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= std::uint32_t{static_cast<unsigned char>(b[i])} << 8 * i;
        return v;
    }
    std::uint64_t u64() {
        const std::string_view b = take(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(b[i])} << 8 * i;
        return v;
    }
    float f32() { return std::bit_cast<float>(u32()); }
    double f64() { return std::bit_cast<double>(u64()); }
    std::string_view take(std::size_t n) {
        need(n);
        const std::string_view b = in_.substr(at_, n);
        at_ += n;
        return b;
    }
    std::string text() { return std::string(take(u32())); }

    // An accumulator of a bed whose portions carry `parameters` values: a finite volume not below
    // zero and either that many finite sums, or none while it holds no volume.
    AveragedParameters accumulator(std::size_t parameters, const char* what) {
        AveragedParameters a;
        a.volume = f64();
        const std::uint32_t sums = u32();
        if (!(std::isfinite(a.volume) && a.volume >= 0.0)) refuse(std::string("bed state: ") + what + " volume is not valid");
        if (sums != parameters && !(sums == 0 && a.volume == 0.0)) {
            refuse(std::string("bed state: ") + what + " holds another number of parameters than the bed");
        }
        need(std::size_t{sums} * 8);
        a.weighted_sums.resize(sums);
        for (double& sum : a.weighted_sums) {
            sum = f64();
            if (!std::isfinite(sum)) refuse(std::string("bed state: ") + what + " holds a sum that is not finite");
        }
        return a;
    }

private:
    std::string_view in_;
    std::size_t at_ = 0;
};

}  // namespace bed_detail

// What one section of a bed holds, copied out: `rows` rows of `width` cells, row 0 on the floor;
// per cell the volume (m³) and, per parameter, the sum of value times volume.
struct SectionContents {
    SectionPlacement placement;
    std::uint32_t cell = 0;  // the grid index (0-based) of the cut: x index across, z index along
    std::size_t rows = 0;
    std::size_t width = 0;
    std::size_t parameters = 0;
    std::vector<double> volume;  // rows * width
    std::vector<double> sums;    // rows * width * parameters
};

class Bed {
public:
    using Simulator = PiloraFast<AveragedParameters>;
    using Probes = SectionProbes<AveragedParameters>;

    static constexpr std::string_view state_magic{"PILORBED", 8};
    // Version 1: a bed without sections; version 2 adds the sections. A bed without sections
    // saves version 1, the bytes it always saved; both are read.
    static constexpr std::uint32_t state_version = 2;
    static constexpr std::size_t max_sections = Probes::max_sections;
    // Per parameter, the sum of |value x volume| over all material a bed takes stays below this,
    // so that no accumulator's sum (a slice's, the buffer's, a reclaimed row's, a section cell's)
    // can overflow, rounding included (the largest double is about 2^1024).
    static constexpr double magnitude_limit = 0x1p1020;

    // The engine's starting state for a seed: seed mod (2^31 - 1), or 1 where that is 0; that is
    // std::minstd_rand's own seeding.
    static std::uint32_t engine_state_for(std::uint64_t seed) {
        const auto state = static_cast<std::uint32_t>(seed % minstd::modulus);
        return state == 0 ? 1u : state;
    }

    // Refuses settings the bed cannot be built from, and sections it cannot place (outside the
    // bed, along a circular bed, more than max_sections), with std::invalid_argument naming them.
    Bed(const BedSettings& settings, std::uint64_t seed, const std::vector<SectionPlacement>& sections = {})
        : settings_(settings), seed_(seed), engine_(engine_state_for(seed)) {
        build_simulator();
        place_sections(sections);
    }

    // An independent copy: the same settings, heap, slices, buffer, engine state and records.
    Bed(const Bed& other) {
        std::lock_guard lock(other.mutex_);
        settings_ = other.settings_;
        seed_ = other.seed_;
        engine_ = other.engine_;
        build_simulator();
        Simulator& mine = *simulator_;
        const Simulator& theirs = *other.simulator_;
        mine.height_grid = theirs.height_grid;
        mine.slices = theirs.slices;
        mine.stack_buffer = theirs.stack_buffer;
        mine.reclaim_position = theirs.reclaim_position;
        if (theirs.probes) mine.probes = std::make_unique<Probes>(*theirs.probes);
        magnitude_ = other.magnitude_;
        names_ = other.names_;
        stacked_volume_ = other.stacked_volume_;
        reclaimed_volume_ = other.reclaimed_volume_;
    }

    Bed& operator=(const Bed&) = delete;

    // The chunks per volume unit whose cells come closest to `cell_size` (m) at `repose_angle`
    // (exactly that size where one of the single-precision values near 1 / (cell_size³ tan(repose))
    // gives it).
    static float chunks_per_volume_unit_for(float cell_size, float repose_angle) {
        if (!(std::isfinite(cell_size) && cell_size > 0.0f)) {
            bed_detail::refuse("cell_size must be a finite number of metres above zero");
        }
        if (!(repose_angle > 0.0f && repose_angle < 90.0f)) {
            bed_detail::refuse("repose_angle must be a number of degrees above 0 and below 90");
        }
        const double slope = std::tan(static_cast<double>(repose_angle) * 3.14159265358979323846 / 180.0);
        const double c = static_cast<double>(cell_size);
        const auto estimate = static_cast<float>(1.0 / (c * c * c * slope));
        if (!(std::isfinite(estimate) && estimate > 0.0f)) {
            bed_detail::refuse("cell_size gives no usable chunk volume");
        }
        float below = estimate, above = estimate;
        for (int step = 0; step <= 16; ++step) {
            for (const float candidate : {below, above}) {
                if (cell_size_of(candidate, repose_angle) == cell_size) return candidate;
            }
            below = std::nextafter(below, 0.0f);
            above = std::nextafter(above, std::numeric_limits<float>::infinity());
        }
        return estimate;
    }

    // Cells across the bed's width when the settings give no resolution: finer grids move the
    // blending measures by less than 5 % (docs/model.md).
    static constexpr float default_cells_across = 120.0f;

    // The chunks per volume unit of the default cells, width / default_cells_across at
    // `repose_angle` (as chunks_per_volume_unit_for). A width that is no finite length above zero
    // gives 1, for the bed's own checks to refuse.
    static float default_chunks_per_volume_unit(float width, float repose_angle) {
        if (!(std::isfinite(width) && width > 0.0f)) return 1.0f;
        if (!(repose_angle > 0.0f && repose_angle < 90.0f)) {
            bed_detail::refuse("repose_angle must be a number of degrees above 0 and below 90");
        }
        try {
            return chunks_per_volume_unit_for(width / default_cells_across, repose_angle);
        } catch (const std::invalid_argument&) {
            bed_detail::refuse("width " + bed_detail::decimal(width) +
                               " m gives default cells without a usable chunk volume: give "
                               "chunks_per_volume_unit or cell_size");
        }
    }

    // Settings, fixed for the bed's life: read without the lock.
    const BedSettings& settings() const { return settings_; }
    std::uint64_t seed() const { return seed_; }
    float cell_size() const { return simulator_->cell_size; }
    float chunk_height() const { return simulator_->chunk_height; }
    double chunk_volume() const { return static_cast<double>(1.0f / settings_.chunks_per_volume_unit); }
    std::uint32_t grid_nx() const { return simulator_->grid_nx; }
    std::uint32_t grid_nz() const { return simulator_->grid_nz; }
    std::size_t slice_count() const { return simulator_->slices.size(); }
    // Length of the reclaim axis the slices cover (m): slice_count cells.
    double reclaim_length() const {
        return static_cast<double>(slice_count()) * static_cast<double>(cell_size());
    }
    // What the bed can take in all (m³): a column may not pass 2147483646 chunks (its 32-bit
    // count), and as no column stands more than one chunk above an edge neighbour, none can while
    // the average stays grid_nx + grid_nz below that.
    double capacity() const { return capacity_chunks() * chunk_volume(); }

    // State that stacking and reclaiming change: read under the lock.
    std::optional<std::vector<std::string>> parameter_names() const {
        std::lock_guard lock(mutex_);
        return names_;
    }
    float reclaim_position() const {
        std::lock_guard lock(mutex_);
        return simulator_->reclaim_position;
    }
    std::uint32_t engine_state() const {
        std::lock_guard lock(mutex_);
        return minstd::state_of(engine_);
    }
    VolumeBalance balance() const {
        std::lock_guard lock(mutex_);
        VolumeBalance b;
        b.stacked = stacked_volume_;
        b.reclaimed = reclaimed_volume_;
        for (const AveragedParameters& slice : simulator_->slices) b.on_bed += slice.volume;
        b.buffered = simulator_->stack_buffer.volume;
        b.deposited = static_cast<double>(chunks_on_grid()) * chunk_volume();
        return b;
    }

    // The sections' placements, in the order given (fixed for the bed's life).
    std::vector<SectionPlacement> section_placements() const {
        std::vector<SectionPlacement> placements;
        if (simulator_->probes) {
            for (const auto& section : simulator_->probes->sections()) placements.push_back(section.placement);
        }
        return placements;
    }

    // The grid index (0-based) of the cells section `index` cuts: x index across, z index along.
    std::uint32_t section_cell(std::size_t index) const { return simulator_->probes->sections().at(index).line - 1; }

    // A copy of what section `index` holds; std::out_of_range for an index beyond the sections.
    SectionContents section(std::size_t index) const {
        std::lock_guard lock(mutex_);
        if (!simulator_->probes || index >= simulator_->probes->sections().size()) {
            throw std::out_of_range("section index " + std::to_string(index) + " is out of range");
        }
        const Section<AveragedParameters>& section = simulator_->probes->sections()[index];
        SectionContents out;
        out.placement = section.placement;
        out.cell = section.line - 1;
        out.rows = section.rows();
        out.width = section.width;
        out.parameters = names_ ? names_->size() : 0;
        out.volume.resize(out.rows * out.width);
        out.sums.assign(out.rows * out.width * out.parameters, 0.0);
        for (std::size_t c = 0; c < section.cells.size(); ++c) {
            const AveragedParameters& cell = section.cells[c];
            out.volume[c] = cell.volume;
            const std::size_t sums = std::min(out.parameters, cell.weighted_sums.size());
            for (std::size_t p = 0; p < sums; ++p) out.sums[c * out.parameters + p] = cell.weighted_sums[p];
        }
        return out;
    }

    // Calls `read` with the simulator, under the lock: for tests and tools that look inside.
    template <class Read>
    decltype(auto) inspect(Read read) const {
        std::lock_guard lock(mutex_);
        return read(static_cast<const Simulator&>(*simulator_));
    }

    // Stacks the portions in order. Everything is checked first; a refusal (std::invalid_argument)
    // changes nothing. `poll` may stop the work after any chunk (StackingInterrupted): the portions
    // before then are stacked, the one in progress counts as stacked and its rest stays in the
    // stack buffer (which then may hold more than one chunk; it goes down with the next portion).
    //
    // The columns are read once, into a copy of the bed's own, which is then checked and stacked:
    // a caller that changes its arrays during the call (another thread) cannot put values into
    // the bed that were not checked.
    void stack(Portions portions, const InterruptPoll& poll = {}) {
        std::lock_guard lock(mutex_);
        const std::size_t n = portions.count;
        std::optional<std::vector<std::string>> names = settle_names(portions);
        const std::size_t parameters = portions.values.size();
        const std::vector<std::string>& value_names = names ? *names : *names_;
        const std::size_t columns = 3 + parameters;
        // Row i: x, z, volume, then the values; left uninitialised, as the pass below fills it.
        const std::unique_ptr<double[]> copy(new double[n * columns]);
        double* const table = copy.get();

        // One pass copies every row and checks it, without branches (with four partial sums of
        // the volume, and per parameter the sum of |value x volume| over what the bed took before
        // and these rows); only where it found a fault, another names it.
        const double limit = capacity();
        const double largest = 0x1p52 * chunk_volume();  // a portion of more chunks cannot be cut
        bool valid = true;
        double partial[4] = {0.0, 0.0, 0.0, 0.0};
        std::vector<double> magnitude(parameters, 0.0);
        for (std::size_t p = 0; p < parameters && p < magnitude_.size(); ++p) magnitude[p] = magnitude_[p];
        for (std::size_t i = 0; i < n; ++i) {
            double* row = table + i * columns;
            row[0] = portions.x[i];
            row[1] = portions.z[i];
            const double volume = row[2] = portions.volume[i];
            valid &= std::isfinite(row[0]);
            valid &= std::isfinite(row[1]);
            valid &= volume >= 0.0 && volume < largest;
            for (std::size_t p = 0; p < parameters; ++p) {
                const double value = row[3 + p] = portions.values[p][i];
                valid &= std::isfinite(value);
                magnitude[p] += std::fabs(value * volume);
            }
            partial[i & 3] += volume;
        }
        if (!valid) refuse_first_fault(table, n, columns, value_names, largest);
        const double total = stacked_volume_ + ((partial[0] + partial[1]) + (partial[2] + partial[3]));
        if (!(total <= limit)) {
            bed_detail::refuse("the portions' volume (" + bed_detail::decimal(total - stacked_volume_) +
                               " m³) is more than the bed can still take (" +
                               bed_detail::decimal(limit - stacked_volume_) + " m³ of " +
                               bed_detail::decimal(limit) + " m³)");
        }
        for (std::size_t p = 0; p < parameters; ++p) {
            if (!(magnitude[p] < magnitude_limit)) refuse_magnitude(table, n, columns, value_names, p);
        }

        // Nothing is refused from here on.
        if (names) names_ = std::move(names);
        magnitude_ = std::move(magnitude);
        Simulator& simulator = *simulator_;
        struct PollRemoval {
            Simulator& simulator;
            ~PollRemoval() { simulator.set_interrupt_poll({}); }
        } removal{simulator};
        simulator.set_interrupt_poll(poll);
        // Each portion as add() makes it on an empty accumulator, bit for bit: the volume 0 + v and
        // per parameter value * v + 0.
        portion_.clear();
        portion_.weighted_sums.resize(parameters);
        double* const sums = portion_.weighted_sums.data();
        for (std::size_t i = 0; i < n; ++i) {
            const double* row = table + i * columns;
            const double volume = row[2];
            portion_.volume = 0.0 + volume;
            for (std::size_t p = 0; p < parameters; ++p) sums[p] = row[3 + p] * volume + 0.0;
            stacked_volume_ = stacked_volume_ + volume;
            simulator.stack(portion_, static_cast<float>(row[0]), static_cast<float>(row[1]));
        }
    }

    // The heights of the heap (m) into `out`, grid_nz rows of grid_nx values: out[z * nx + x].
    void heights_into(float* out) const {
        std::lock_guard lock(mutex_);
        const Simulator& s = *simulator_;
        const std::size_t nx = s.grid_nx, nz = s.grid_nz;
        const float chunk_height = s.chunk_height;
        for (std::size_t i = 0; i < nx; ++i) {
            const std::int32_t* column = s.height_grid[i + 1].data() + 1;
            float* target = out + i;
            for (std::size_t k = 0; k < nz; ++k) {
                const std::int32_t h = column[k];
                target[k * nx] = h > 0 ? static_cast<float>(h) * chunk_height : 0.0f;
            }
        }
    }

    // Reclaims from the reclaim position to the end of the bed in steps of `increment` (m), one
    // row per step, as the specified module's reclaim() does: a row at the current position
    // first (volume 0 on a fresh bed), then every `increment`, until the position passes the
    // middle of the last slice. Parameters of a row without material average 0. `poll` is asked
    // every 4096 rows and may stop the call (ReclaimInterrupted).
    ReclaimRows reclaim(float increment, const InterruptPoll& poll = {}) {
        if (!(std::isfinite(increment) && increment > 0.0f)) {
            bed_detail::refuse("increment must be a finite number of metres above zero");
        }
        std::lock_guard lock(mutex_);
        Simulator& simulator = *simulator_;
        const std::uint32_t interval = poll.interval == 0 ? 1 : poll.interval;
        std::uint32_t countdown = interval;
        const auto check_poll = [&] {
            if (--countdown == 0) {
                countdown = interval;
                if (poll.poll != nullptr && poll.poll(poll.context)) throw ReclaimInterrupted();
            }
        };

        // The rows the loop below makes: it stops once the position a step leaves is finished.
        std::size_t rows = 0;
        for (float position = simulator.reclaim_position, x = position; !simulator.finished_at(position);) {
            ++rows;
            position = x;
            const float next = x + increment;
            if (next == x && !simulator.finished_at(position)) {
                bed_detail::refuse("increment is too small to move the reclaim position to the end of the bed");
            }
            x = next;
            check_poll();
        }

        ReclaimRows out;
        const std::size_t parameters = names_ ? names_->size() : 0;
        out.parameters = parameters;
        if (names_) out.names = *names_;
        out.x.resize(rows);
        out.volume.resize(rows);
        out.averages.resize(rows * parameters);
        float x = simulator.reclaim_position;
        for (std::size_t row = 0; row < rows; ++row) {
            const AveragedParameters step = simulator.reclaim(x);
            out.x[row] = static_cast<double>(x);
            out.volume[row] = step.volume;
            reclaimed_volume_ = reclaimed_volume_ + step.volume;
            double* averages = out.averages.data() + row * parameters;
            const std::size_t sums = std::min(parameters, step.weighted_sums.size());
            for (std::size_t p = 0; p < sums; ++p) {
                const double sum = step.weighted_sums[p];
                averages[p] = step.volume > 1e-100 ? sum / step.volume : sum;
            }
            x = x + increment;
            check_poll();
        }
        return out;
    }

    // The bed's whole state as bytes: magic, version, settings, seed, engine, records, stack
    // buffer, heights and slices, then a checksum (layout under write_state).
    std::string save() const {
        std::lock_guard lock(mutex_);
        return write_state();
    }

    // A bed from save()'s bytes. Everything is checked; truncated, corrupted or inconsistent
    // bytes are refused with std::invalid_argument.
    static std::unique_ptr<Bed> restore(std::string_view state) {
        using bed_detail::refuse;
        const std::size_t header = state_magic.size() + 4;
        if (state.size() < header + 8 || state.substr(0, state_magic.size()) != state_magic) {
            refuse("not a bed state");
        }
        bed_detail::StateReader in(state.substr(0, state.size() - 8));
        in.take(state_magic.size());
        const std::uint32_t version = in.u32();
        if (version != 1 && version != state_version) {
            refuse("bed state version " + std::to_string(version) +
                   " is not supported (this build reads versions 1 to " + std::to_string(state_version) + ")");
        }
        bed_detail::StateReader tail(state.substr(state.size() - 8));
        if (tail.u64() != bed_detail::checksum(state.substr(0, state.size() - 8))) {
            refuse("bed state is corrupted (its checksum does not match)");
        }

        BedSettings settings;
        settings.length = in.f32();
        settings.width = in.f32();
        settings.reclaim_angle = in.f32();
        settings.chunks_per_volume_unit = in.f32();
        const std::uint8_t circular = in.u8();
        if (circular > 1) refuse("bed state: circular is not a boolean");
        settings.circular = circular == 1;
        settings.eight_neighbour_probability = in.f32();
        settings.repose_angle = in.f32();
        const std::uint64_t seed = in.u64();
        const std::uint32_t engine_state = in.u32();
        if (engine_state == 0 || engine_state >= minstd::modulus) refuse("bed state: engine state out of range");
        const std::uint32_t nx = in.u32(), nz = in.u32(), slice_count = in.u32();

        // The grid the settings give, before anything of that size is made.
        try {
            check_settings(settings);
        } catch (const std::invalid_argument& e) {
            refuse(std::string("bed state: ") + e.what());
        }
        const float cell = cell_size_of(settings.chunks_per_volume_unit, settings.repose_angle);
        if (static_cast<double>(nx) != std::floor(static_cast<double>(settings.length / cell) + 0.5) ||
            static_cast<double>(nz) != std::floor(static_cast<double>(settings.width / cell) + 0.5)) {
            refuse("bed state: the grid does not match the settings");
        }
        in.need(std::size_t{nx} * nz * 4 + std::size_t{slice_count} * 12);

        auto bed = std::unique_ptr<Bed>(new Bed(settings, seed));
        Simulator& s = *bed->simulator_;
        if (s.grid_nx != nx || s.grid_nz != nz || s.slices.size() != slice_count) {
            refuse("bed state: the grid does not match the settings");
        }
        bed->engine_.seed(engine_state);

        const std::uint8_t fixed = in.u8();
        if (fixed > 1) refuse("bed state: parameter record is not valid");
        const std::uint32_t parameters = in.u32();
        if (!fixed && parameters != 0) refuse("bed state: parameter record is not valid");
        in.need(std::size_t{parameters} * 4);
        std::vector<std::string> names;
        for (std::uint32_t p = 0; p < parameters; ++p) {
            names.push_back(in.text());
            if (!bed_detail::valid_utf8(names.back())) refuse("bed state: a parameter name is not UTF-8 text");
        }
        if (std::set<std::string>(names.begin(), names.end()).size() != names.size()) {
            refuse("bed state: parameter names repeat");
        }
        if (fixed) bed->names_ = std::move(names);

        const double stacked = in.f64(), reclaimed = in.f64();
        if (!(std::isfinite(stacked) && stacked >= 0.0 && stacked <= bed->capacity() * (1.0 + 1e-9)) ||
            !(std::isfinite(reclaimed) && reclaimed >= 0.0)) {
            refuse("bed state: a volume record is not valid");
        }
        if (!fixed && stacked != 0.0) refuse("bed state: material stacked without a parameter record");
        bed->stacked_volume_ = stacked;
        bed->reclaimed_volume_ = reclaimed;
        const float position = in.f32();
        if (!(std::isfinite(position) && position >= 0.0f)) refuse("bed state: reclaim position is not valid");
        s.reclaim_position = position;
        s.stack_buffer = in.accumulator(parameters, "the stack buffer");

        // Heights: whole chunks, no column more than one chunk above an edge neighbour (as the
        // walk leaves them), none beyond the per-column limit, and no more chunks than were
        // stacked. Together these keep every later deposit inside 32-bit counts.
        const std::int64_t column_limit = 2147483646ll - nx - nz;
        std::uint64_t chunks = 0;
        for (std::uint32_t i = 1; i <= nx; ++i) {
            std::int32_t* column = s.height_grid[i].data();
            for (std::uint32_t k = 1; k <= nz; ++k) {
                const auto h = static_cast<std::int32_t>(in.u32());
                if (h < 0 || h > column_limit) refuse("bed state: a column height is out of range");
                column[k] = h;
                chunks += static_cast<std::uint32_t>(h);
            }
        }
        for (std::uint32_t i = 1; i <= nx; ++i) {
            for (std::uint32_t k = 1; k <= nz; ++k) {
                const std::int32_t h = s.height_grid[i][k];
                if ((i > 1 && h - s.height_grid[i - 1][k] > 1) || (i < nx && h - s.height_grid[i + 1][k] > 1) ||
                    (k > 1 && h - s.height_grid[i][k - 1] > 1) || (k < nz && h - s.height_grid[i][k + 1] > 1)) {
                    refuse("bed state: the heap is steeper than the walk leaves it");
                }
            }
        }
        if (static_cast<double>(chunks) > std::floor(stacked / bed->chunk_volume() * (1.0 + 0x1p-40)) + 1.0 ||
            (stacked == 0.0 && chunks != 0)) {
            refuse("bed state: the heap holds more than was stacked");
        }
        for (AveragedParameters& slice : s.slices) slice = in.accumulator(parameters, "a slice");
        if (version >= 2) bed->read_sections(in, parameters);
        if (in.remaining() != 0) refuse("bed state has bytes beyond its end");

        // The volumes balance as stacking and reclaiming leave them, up to rounding: what was
        // stacked is deposited or buffered, and what was deposited is reclaimed or in the slices.
        const double deposited = static_cast<double>(chunks) * bed->chunk_volume();
        double on_bed = 0.0;
        for (const AveragedParameters& slice : s.slices) on_bed += slice.volume;
        const auto near = [&](double a, double b) {
            return std::isfinite(a) && std::isfinite(b) && std::fabs(a - b) <= 1e-6 * (a + b + bed->chunk_volume());
        };
        if (!near(stacked, deposited + s.stack_buffer.volume) || !near(deposited, reclaimed + on_bed)) {
            refuse("bed state: the volumes do not balance");
        }
        if (!fixed) {  // nothing stacked yet: no material anywhere
            bool empty = s.stack_buffer.volume == 0.0 && chunks == 0;
            for (const AveragedParameters& slice : s.slices) empty = empty && slice.volume == 0.0;
            if (!empty) refuse("bed state: material without a parameter record");
        }
        if (s.probes) {  // a section holds no more than was deposited
            for (const auto& section : s.probes->sections()) {
                double volume = 0.0;
                for (const AveragedParameters& cell : section.cells) volume += cell.volume;
                if (!(volume <= deposited * (1.0 + 1e-9) + bed->chunk_volume())) {
                    refuse("bed state: a section holds more than was deposited");
                }
            }
        }
        bed->bound_magnitudes();
        return bed;
    }

private:
    mutable BedMutex mutex_;
    BedSettings settings_;
    std::uint64_t seed_ = 0;
    std::minstd_rand engine_;
    std::unique_ptr<Simulator> simulator_;
    // The parameter names of every portion, fixed by the first call that stacks a portion or
    // names its parameters; none before.
    std::optional<std::vector<std::string>> names_;
    double stacked_volume_ = 0.0;
    double reclaimed_volume_ = 0.0;
    // Per parameter, the sum of |value x volume| of all material taken (a bound on every sum
    // the bed keeps; from a state, recomputed from what it holds).
    std::vector<double> magnitude_;
    AveragedParameters portion_;  // reused for every portion

    static void check_settings(const BedSettings& s) {
        using bed_detail::refuse;
        if (!(std::isfinite(s.length) && s.length > 0.0f)) refuse("length must be a finite number of metres above zero");
        if (!(std::isfinite(s.width) && s.width > 0.0f)) refuse("width must be a finite number of metres above zero");
        if (!(s.reclaim_angle > 0.0f && s.reclaim_angle <= 90.0f)) {
            refuse("reclaim_angle must be a number of degrees above 0 and at most 90");
        }
        if (!(std::isfinite(s.chunks_per_volume_unit) && s.chunks_per_volume_unit > 0.0f)) {
            refuse("chunks_per_volume_unit must be a finite number above zero");
        }
        if (!(s.eight_neighbour_probability >= 0.0f && s.eight_neighbour_probability <= 1.0f)) {
            refuse("eight_neighbour_probability must be a number from 0 to 1");
        }
        if (!(s.repose_angle > 0.0f && s.repose_angle < 90.0f)) {
            refuse("repose_angle must be a number of degrees above 0 and below 90");
        }
    }

    // The cell size (m) the simulator derives, from a bed without cells.
    static float cell_size_of(float chunks_per_volume_unit, float repose_angle) {
        try {
            return Simulator(0.0f, 0.0f, 90.0f, chunks_per_volume_unit, false, 0.5f, 0.0f, 0.0f, repose_angle)
                .cell_size;
        } catch (const std::invalid_argument&) {
            return 0.0f;
        }
    }

    void build_simulator() {
        check_settings(settings_);
        const BedSettings& s = settings_;
        simulator_ = std::make_unique<Simulator>(s.length, s.width, s.reclaim_angle, s.chunks_per_volume_unit,
                                                 s.circular, s.eight_neighbour_probability, 0.0f, 0.0f,
                                                 s.repose_angle);
        if (simulator_->grid_nx == 0 || simulator_->grid_nz == 0 || simulator_->slices.empty()) {
            bed_detail::refuse("length and width must each be at least half a cell (cell size " +
                               bed_detail::decimal(simulator_->cell_size) + " m)");
        }
        simulator_->use_engine(engine_);
    }

    double capacity_chunks() const {
        const double nx = simulator_->grid_nx, nz = simulator_->grid_nz;
        return nx * nz * (2147483646.0 - nx - nz);
    }

    std::uint64_t chunks_on_grid() const {
        std::uint64_t chunks = 0;
        const Simulator& s = *simulator_;
        for (std::uint32_t i = 1; i <= s.grid_nx; ++i) {
            const std::int32_t* column = s.height_grid[i].data();
            for (std::uint32_t k = 1; k <= s.grid_nz; ++k) chunks += static_cast<std::uint32_t>(column[k]);
        }
        return chunks;
    }

    [[noreturn]] static void refuse_portion(std::size_t i, const std::string& what, double value) {
        bed_detail::refuse("portion " + std::to_string(i) + ": " + what + " (" + bed_detail::decimal(value) + ")");
    }

    // Refuses the first portion of the table (rows of x, z, volume, values) with a value stack()
    // does not take, naming it.
    [[noreturn]] static void refuse_first_fault(const double* table, std::size_t n, std::size_t columns,
                                                const std::vector<std::string>& names, double largest) {
        for (std::size_t i = 0; i < n; ++i) {
            const double* row = table + i * columns;
            const double x = row[0], z = row[1], volume = row[2];
            if (!std::isfinite(x)) refuse_portion(i, "x is not a finite number", x);
            if (!std::isfinite(z)) refuse_portion(i, "z is not a finite number", z);
            if (!(std::isfinite(volume) && volume >= 0.0)) {
                refuse_portion(i, "volume must be a finite number not below zero", volume);
            }
            if (!(volume < largest)) refuse_portion(i, "volume is more than the bed can hold", volume);
            for (std::size_t p = 3; p < columns; ++p) {
                if (!std::isfinite(row[p])) {
                    refuse_portion(i, "value of '" + names[p - 3] + "' is not a finite number", row[p]);
                }
            }
        }
        bed_detail::refuse("a portion holds a value that is not valid");
    }

    // Refuses values of parameter p whose products with their volumes add up to magnitude_limit,
    // naming the portion where they do.
    [[noreturn]] void refuse_magnitude(const double* table, std::size_t n, std::size_t columns,
                                       const std::vector<std::string>& names, std::size_t p) const {
        using bed_detail::decimal;
        double magnitude = p < magnitude_.size() ? magnitude_[p] : 0.0;
        std::size_t i = 0;
        for (; i + 1 < n; ++i) {
            magnitude += std::fabs(table[i * columns + 3 + p] * table[i * columns + 2]);
            if (!(magnitude < magnitude_limit)) break;
        }
        const double value = table[i * columns + 3 + p], volume = table[i * columns + 2];
        bed_detail::refuse("portion " + std::to_string(i) + ": value of '" + names[p] + "' (" + decimal(value) +
                           ") times its volume (" + decimal(volume) +
                           " m³) takes the sum of |value x volume| the bed holds beyond 2^1020 (about 1.1e307): "
                           "give the values in a smaller unit");
    }

    // The sections, checked and placed on the grid.
    void place_sections(const std::vector<SectionPlacement>& placements) {
        if (placements.empty()) return;
        if (placements.size() > max_sections) {
            bed_detail::refuse(std::to_string(placements.size()) + " sections: a bed takes at most " +
                               std::to_string(max_sections));
        }
        std::vector<std::uint32_t> lines;
        for (const SectionPlacement& placement : placements) lines.push_back(section_line(placement));
        simulator_->probes = std::make_unique<Probes>(grid_nx(), grid_nz(), placements, lines);
    }

    // The grid line (1-based) a section cuts: the cell whose extent holds its position (the cell
    // i spans i * cell_size to (i + 1) * cell_size; a position at the bed's far end takes the
    // last cell).
    std::uint32_t section_line(const SectionPlacement& placement) const {
        using bed_detail::decimal;
        if (placement.kind != SectionKind::across && placement.kind != SectionKind::along) {
            bed_detail::refuse("a section is 'across' or 'along' the bed");
        }
        const bool across = placement.kind == SectionKind::across;
        if (settings_.circular && !across) {
            bed_detail::refuse("a section along a circular bed (at z = " + decimal(placement.position) +
                               " m) follows no line of its ring: place sections across it, at x");
        }
        const float extent = across ? settings_.length : settings_.width;
        const char* axis = across ? "x" : "z";
        if (!(std::isfinite(placement.position) && placement.position >= 0.0f && placement.position <= extent)) {
            bed_detail::refuse(std::string("the section ") + (across ? "across" : "along") + " the bed at " + axis +
                               " = " + decimal(placement.position) + " m lies outside it (" + axis + " from 0 to " +
                               decimal(extent) + " m)");
        }
        const std::uint32_t cells = across ? grid_nx() : grid_nz();
        const double index = std::floor(static_cast<double>(placement.position) / static_cast<double>(cell_size()));
        return static_cast<std::uint32_t>(std::min(index, static_cast<double>(cells - 1))) + 1;
    }

    // Per parameter, a bound on the sum of |value x volume| of every accumulator of a bed read
    // from a state: the slices' and the buffer's together, or a section's, whichever is larger.
    void bound_magnitudes() {
        const std::size_t parameters = names_ ? names_->size() : 0;
        const Simulator& s = *simulator_;
        std::vector<double> magnitude(parameters, 0.0);
        const auto add = [&](std::vector<double>& into, const AveragedParameters& a) {
            for (std::size_t p = 0; p < a.weighted_sums.size() && p < parameters; ++p) {
                into[p] += std::fabs(a.weighted_sums[p]);
            }
        };
        add(magnitude, s.stack_buffer);
        for (const AveragedParameters& slice : s.slices) add(magnitude, slice);
        if (s.probes) {
            for (const auto& section : s.probes->sections()) {
                std::vector<double> own(parameters, 0.0);
                for (const AveragedParameters& cell : section.cells) add(own, cell);
                for (std::size_t p = 0; p < parameters; ++p) magnitude[p] = std::max(magnitude[p], own[p]);
            }
        }
        for (const double m : magnitude) {
            if (!(m < magnitude_limit)) bed_detail::refuse("bed state: its sums are beyond what a bed holds");
        }
        magnitude_ = std::move(magnitude);
    }

    // The names of the portions' values, checked against the record: the names to record when
    // none are recorded yet (std::nullopt otherwise); the value columns are put into the recorded
    // order where the names may come in any order.
    std::optional<std::vector<std::string>> settle_names(Portions& portions) const {
        using bed_detail::quoted_names;
        using bed_detail::refuse;
        const std::size_t parameters = portions.values.size();
        if (portions.names) {
            const std::vector<std::string>& names = *portions.names;
            if (names.size() != parameters) {
                refuse(std::to_string(names.size()) + " names for " + std::to_string(parameters) +
                       " value columns");
            }
            for (const std::string& name : names) {
                if (!bed_detail::valid_utf8(name)) refuse("a parameter name is not UTF-8 text");
            }
            if (std::set<std::string>(names.begin(), names.end()).size() != names.size()) {
                refuse("parameter names repeat: " + quoted_names(names));
            }
        }
        if (names_) {
            const std::vector<std::string>& recorded = *names_;
            if (!portions.names) {
                if (parameters != recorded.size()) {
                    refuse("values have " + std::to_string(parameters) + " columns, the bed's portions " +
                           std::to_string(recorded.size()) + " parameters " + quoted_names(recorded));
                }
                return std::nullopt;
            }
            const std::vector<std::string>& names = *portions.names;
            if (names == recorded) return std::nullopt;
            if (portions.names_in_any_order && names.size() == recorded.size() &&
                std::set<std::string>(names.begin(), names.end()) ==
                    std::set<std::string>(recorded.begin(), recorded.end())) {
                std::vector<Column> ordered;
                for (const std::string& name : recorded) {
                    ordered.push_back(portions.values[std::find(names.begin(), names.end(), name) - names.begin()]);
                }
                portions.values = std::move(ordered);
                return std::nullopt;
            }
            refuse("parameter names " + quoted_names(names) + " differ from the bed's " + quoted_names(recorded));
        }
        if (portions.names) return portions.names;
        if (parameters > 0) refuse("the first values stacked on a bed need their parameter names");
        if (portions.count > 0) return std::vector<std::string>{};
        return std::nullopt;
    }

    // Layout, all little-endian: "PILORBED", u32 version; f32 length, width, reclaim_angle,
    // chunks_per_volume_unit, u8 circular, f32 eight_neighbour_probability, repose_angle; u64 seed;
    // u32 engine state; u32 grid_nx, grid_nz, slice count; u8 names recorded, u32 name count, per
    // name u32 length and UTF-8 bytes; f64 stacked, reclaimed volume; f32 reclaim position; the
    // stack buffer; grid_nx * grid_nz i32 column heights (x outer, z inner); every slice; u64
    // checksum (FNV-1a) of all bytes before it. An accumulator is f64 volume, u32 sum count, f64
    // sums.
    //
    // Version 2 (a bed with sections) goes on after the slices: u32 section count, then per
    // section u8 kind (0 across, 1 along), f32 position, u32 rows and rows x width accumulators
    // (row 0 on the floor; width the grid cells across or along).
    std::string write_state() const {
        const Simulator& s = *simulator_;
        bed_detail::StateWriter out;
        const std::size_t parameters = names_ ? names_->size() : 0;
        out.reserve(128 + std::size_t{s.grid_nx} * s.grid_nz * 4 + s.slices.size() * (12 + parameters * 8));
        out.bytes(state_magic);
        out.u32(s.probes ? state_version : 1);
        out.f32(settings_.length);
        out.f32(settings_.width);
        out.f32(settings_.reclaim_angle);
        out.f32(settings_.chunks_per_volume_unit);
        out.u8(settings_.circular ? 1 : 0);
        out.f32(settings_.eight_neighbour_probability);
        out.f32(settings_.repose_angle);
        out.u64(seed_);
        out.u32(minstd::state_of(engine_));
        out.u32(s.grid_nx);
        out.u32(s.grid_nz);
        out.u32(static_cast<std::uint32_t>(s.slices.size()));
        out.u8(names_ ? 1 : 0);
        out.u32(static_cast<std::uint32_t>(parameters));
        if (names_) {
            for (const std::string& name : *names_) out.text(name);
        }
        out.f64(stacked_volume_);
        out.f64(reclaimed_volume_);
        out.f32(s.reclaim_position);
        out.accumulator(s.stack_buffer);
        for (std::uint32_t i = 1; i <= s.grid_nx; ++i) {
            for (std::uint32_t k = 1; k <= s.grid_nz; ++k) out.u32(static_cast<std::uint32_t>(s.height_grid[i][k]));
        }
        for (const AveragedParameters& slice : s.slices) out.accumulator(slice);
        if (s.probes) {
            out.u32(static_cast<std::uint32_t>(s.probes->sections().size()));
            for (const auto& section : s.probes->sections()) {
                out.u8(static_cast<std::uint8_t>(section.placement.kind));
                out.f32(section.placement.position);
                out.u32(static_cast<std::uint32_t>(section.rows()));
                for (const AveragedParameters& cell : section.cells) out.accumulator(cell);
            }
        }
        return out.finish();
    }

    // The sections of a version 2 state, read into this bed (made from the state's settings).
    void read_sections(bed_detail::StateReader& in, std::size_t parameters) {
        using bed_detail::refuse;
        const std::uint32_t count = in.u32();
        if (count == 0 || count > max_sections) refuse("bed state: the section count is not valid");
        std::vector<SectionPlacement> placements;
        const Simulator& s = *simulator_;
        std::vector<std::vector<AveragedParameters>> cells;
        for (std::uint32_t c = 0; c < count; ++c) {
            const std::uint8_t kind = in.u8();
            if (kind > 1) refuse("bed state: a section kind is not valid");
            const SectionPlacement placement{static_cast<SectionKind>(kind), in.f32()};
            std::uint32_t line = 0;
            try {
                line = section_line(placement);
            } catch (const std::invalid_argument& e) {
                refuse(std::string("bed state: ") + e.what());
            }
            const std::uint32_t section_rows = in.u32();
            const bool across = placement.kind == SectionKind::across;
            const std::size_t width = across ? s.grid_nz : s.grid_nx;
            // No row above the highest column the section cuts.
            std::int64_t highest = 0;
            for (std::size_t j = 1; j <= width; ++j) {
                highest = std::max<std::int64_t>(highest, across ? s.height_grid[line][j] : s.height_grid[j][line]);
            }
            if (section_rows > highest) refuse("bed state: a section is higher than the heap");
            in.need(std::size_t{section_rows} * width * 12);
            std::vector<AveragedParameters> read(std::size_t{section_rows} * width);
            for (AveragedParameters& cell : read) cell = in.accumulator(parameters, "a section cell");
            placements.push_back(placement);
            cells.push_back(std::move(read));
        }
        place_sections(placements);
        for (std::size_t c = 0; c < count; ++c) simulator_->probes->sections()[c].cells = std::move(cells[c]);
    }
};

}  // namespace pilora
