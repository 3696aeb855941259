// PiloraLibPython: the native class behind the Python class PiloraLib. It owns one simulator,
// converts portions and tables into accumulators, and turns reclaim steps into columns.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"

namespace pilora {

namespace python {

// A new reference made by the Python C API, or the error it set (MemoryError where an
// allocation failed) thrown.
inline pybind11::object made(PyObject* object) {
    if (object == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(object);
}

// A new Python float, or the MemoryError of a failed allocation thrown.
inline PyObject* new_float(double value) {
    PyObject* made = PyFloat_FromDouble(value);
    if (made == nullptr) [[unlikely]] throw pybind11::error_already_set();
    return made;
}

// Stacking polls for pending signals every this many chunks, running their Python handlers:
// about half a millisecond of work on a bed like W1, a few milliseconds where chunks slide far.
inline constexpr std::uint32_t signal_poll_interval = 4096;

// The poll: a handler that raised (KeyboardInterrupt for Ctrl-C) leaves its error set, and
// stacking stops with StackingInterrupted; the caller then raises that error.
inline bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace python

class PiloraLibPython {
public:
    using Simulator = Pilora<AveragedParameters>;
    using FastSimulator = PiloraFast<AveragedParameters>;
    using Table = pybind11::array_t<double, pybind11::array::forcecast>;

    std::unique_ptr<Simulator> simulator;
    float reclaim_increment;
    std::vector<std::string> parameter_names;
    // Number of parameter values of every portion, fixed by the first portion stacked or by
    // the first parameter names recorded.
    std::optional<std::size_t> parameter_count;
    // Unit chunks handed to the simulator so far (whole and partial), for the capacity check.
    double chunks_stacked = 0.0;
    // True while the simulator stacks, when the signal poll may run Python handlers: a call on
    // this bed from one of them is refused (see Stacking).
    bool stacking = false;

    PiloraLibPython(float bed_size_x, float bed_size_z, float reclaim_angle,
                    float particles_per_volume_unit, bool circular,
                    float eight_neighbour_probability, float stored_setting_a,
                    float stored_setting_b, bool detailed, float reclaim_increment)
        : reclaim_increment(reclaim_increment) {
        if (detailed) {
            throw std::runtime_error("Detailed simulator not available on this platform.");
        }
        if (!(std::isfinite(reclaim_increment) && reclaim_increment > 0.0f)) {
            throw std::invalid_argument("reclaim_increment must be a finite number above zero");
        }
        simulator = std::make_unique<FastSimulator>(
            bed_size_x, bed_size_z, reclaim_angle, particles_per_volume_unit, circular,
            eight_neighbour_probability, stored_setting_a, stored_setting_b);
        simulator->set_interrupt_poll(
            {&python::signal_raised, nullptr, python::signal_poll_interval});
    }

    void stack(double timestamp, float x, float z, double volume,
               std::vector<double> parameter_values) {
        static_cast<void>(timestamp);
        require_volume(volume);
        require_bed_takes_material();
        const double chunks = capacity().after(chunks_stacked, volume);
        require_parameter_count(parameter_values.size());
        for (std::size_t i = 0; i < parameter_values.size(); ++i) {
            require_value(parameter_values[i], volume,
                          [i] { return "parameter_values[" + std::to_string(i) + "]"; });
        }
        portion_.clear();
        portion_.add(volume, parameter_values);
        reserve_sums(parameter_values.size());
        parameter_count = parameter_values.size();
        chunks_stacked = chunks;
        // Interrupted or not, the whole portion is in the bed: deposited or buffered.
        try {
            const Stacking busy(*this);
            simulator->stack(portion_, x, z);
        } catch (const StackingInterrupted&) {
            throw pybind11::error_already_set();
        }
    }

    void stack_list(Table table, std::vector<std::string> column_names) {
        const auto cells = table.unchecked<2>();  // refuses other than two dimensions
        const Columns columns = classify(column_names, cells.shape(1));
        const std::size_t rows = static_cast<std::size_t>(cells.shape(0));

        require_parameter_count(columns.parameters.size());
        std::vector<std::string> names;
        for (const pybind11::ssize_t column : columns.parameters) {
            names.push_back(column_names[static_cast<std::size_t>(column)]);
        }
        if (!parameter_names.empty() && names != parameter_names) {
            throw std::invalid_argument(
                "parameter names differ from those recorded by an earlier stack_list call");
        }
        // One pass over the rows: each volume and parameter value must be valid (the first
        // fault in row order is named), and all volumes together must fit; a bed that takes no
        // material is named before a volume that does not fit.
        const Capacity bed_capacity = capacity();
        double chunks = chunks_stacked;
        bool fits = true;
        bool values_finite = true;
        for (std::size_t row = 0; row < rows; ++row) {
            const double volume = cells(row, columns.volume);
            if (!valid_volume(volume)) [[unlikely]] {
                refuse_first_fault(cells, columns.volume, columns.parameters, names, row);
            }
            for (const pybind11::ssize_t column : columns.parameters) {
                values_finite = std::isfinite(cells(row, column) * volume) & values_finite;
            }
            fits = bed_capacity.adds(chunks, volume) & fits;
        }
        if (!values_finite) {
            refuse_first_fault(cells, columns.volume, columns.parameters, names, rows - 1);
        }
        if (rows > 0) require_bed_takes_material();
        if (!fits) bed_capacity.refuse();

        // What the rows need, before anything changes: then stacking a row allocates nothing
        // until the simulator has taken the portion.
        values_.resize(columns.parameters.size());
        portion_.weighted_sums.reserve(columns.parameters.size());
        if (rows > 0 || !columns.parameters.empty()) reserve_sums(columns.parameters.size());

        if (parameter_names.empty() && !names.empty()) parameter_names = std::move(names);
        if (rows > 0 || !columns.parameters.empty()) parameter_count = columns.parameters.size();
        const double chunks_before = chunks_stacked;
        chunks_stacked = chunks;
        stack_rows(cells, columns.x, columns.z, columns.volume, columns.parameters, chunks_before);
    }

    // Reclaims the bed into columns. The number of rows is known before anything moves, and so
    // is every container of the result; should a later allocation fail all the same, the slices
    // and the reclaim position are put back as they were, so the call can be repeated.
    pybind11::dict reclaim() {
        finish_stacking();
        const std::size_t rows = reclaim_rows();
        auto result =
            pybind11::reinterpret_steal<pybind11::dict>(python::made(PyDict_New()).release());
        std::vector<pybind11::object> columns;
        columns.reserve(2 + parameter_names.size());
        const auto add_column = [&](PyObject* key) {
            const pybind11::object name = python::made(key);
            columns.push_back(python::made(PyList_New(static_cast<Py_ssize_t>(rows))));
            if (PyDict_SetItem(result.ptr(), name.ptr(), columns.back().ptr()) != 0) {
                throw pybind11::error_already_set();
            }
        };
        add_column(PyUnicode_FromString("x"));
        add_column(PyUnicode_FromString("volume"));
        for (const std::string& name : parameter_names) {
            add_column(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                            "strict"));
        }
        if (rows == 0) return result;

        const SavedSlices saved(fast());
        try {
            const std::size_t named = parameter_names.size();
            float x = 0.0f;
            for (std::size_t row = 0; row < rows; ++row) {
                const AveragedParameters step = simulator->reclaim(x);
                const auto i = static_cast<Py_ssize_t>(row);
                PyList_SET_ITEM(columns[0].ptr(), i, python::new_float(x));
                PyList_SET_ITEM(columns[1].ptr(), i,
                                python::new_float(step.volume));
                // The averages (weighted sums over the volume, the sums where there is no
                // volume), and 0.0 for a name without a sum.
                for (std::size_t p = 0; p < named; ++p) {
                    double average = 0.0;
                    if (p < step.weighted_sums.size()) {
                        average = step.weighted_sums[p];
                        if (step.volume > 1e-100) average = average / step.volume;
                    }
                    PyList_SET_ITEM(columns[2 + p].ptr(), i,
                                    python::new_float(average));
                }
                x = x + reclaim_increment;
            }
        } catch (...) {
            saved.restore(fast());
            throw;
        }
        return result;
    }

    pybind11::typing::List<pybind11::typing::List<float>> get_heights() {
        finish_stacking();
        const std::size_t nx = simulator->grid_nx;
        const std::size_t nz = simulator->grid_nz;
        using Heights = pybind11::typing::List<pybind11::typing::List<float>>;
        auto heights = pybind11::reinterpret_steal<Heights>(
            python::made(PyList_New(static_cast<Py_ssize_t>(nz))).release());
        simulator->update_heights();
        const float* buffer = simulator->heights_buffer.get();
        for (std::size_t z = 0; z < nz; ++z) {
            pybind11::object row = python::made(PyList_New(static_cast<Py_ssize_t>(nx)));
            for (std::size_t x = 0; x < nx; ++x) {
                PyList_SET_ITEM(row.ptr(), static_cast<Py_ssize_t>(x),
                                python::new_float(buffer[z * nx + x]));
            }
            PyList_SET_ITEM(heights.ptr(), static_cast<Py_ssize_t>(z), row.release().ptr());
        }
        return heights;
    }

    void finish_stacking() { simulator->finish_stacking(); }

private:
    struct Columns {
        pybind11::ssize_t x = -1;
        pybind11::ssize_t z = -1;
        pybind11::ssize_t volume = -1;
        std::vector<pybind11::ssize_t> parameters;
    };

    // The slices' contents and the reclaim position, to put back after a reclaim that failed.
    class SavedSlices {
    public:
        explicit SavedSlices(const FastSimulator& bed) : position_(bed.reclaim_position) {
            sizes_.reserve(bed.slices.size());
            std::size_t total = bed.slices.size();
            for (const AveragedParameters& slice : bed.slices) total += slice.weighted_sums.size();
            values_.reserve(total);
            for (const AveragedParameters& slice : bed.slices) {
                sizes_.push_back(slice.weighted_sums.size());
                values_.push_back(slice.volume);
                values_.insert(values_.end(), slice.weighted_sums.begin(),
                               slice.weighted_sums.end());
            }
        }

        // Reclaiming only empties and shrinks slices, which keeps their storage: putting the
        // sums back allocates nothing.
        void restore(FastSimulator& bed) const noexcept {
            const double* value = values_.data();
            for (std::size_t i = 0; i < bed.slices.size(); ++i) {
                AveragedParameters& slice = bed.slices[i];
                slice.volume = *value++;
                slice.weighted_sums.resize(sizes_[i]);
                for (double& sum : slice.weighted_sums) sum = *value++;
            }
            bed.reclaim_position = position_;
        }

    private:
        float position_;
        std::vector<std::size_t> sizes_;
        std::vector<double> values_;  // per slice: the volume, then the sums
    };

    AveragedParameters portion_;  // reused for every portion, so stacking allocates nothing
    std::vector<double> values_;

    FastSimulator& fast() const { return static_cast<FastSimulator&>(*simulator); }

    // Marks the bed as stacking for a scope.
    class Stacking {
    public:
        explicit Stacking(PiloraLibPython& bed) : bed_(bed) { bed_.stacking = true; }
        ~Stacking() { bed_.stacking = false; }
        Stacking(const Stacking&) = delete;
        Stacking& operator=(const Stacking&) = delete;

    private:
        PiloraLibPython& bed_;
    };

    // Stacks the rows of a checked table. Should stacking stop part-way (Ctrl-C, memory running
    // out), the row it stopped in is in the bed, deposited or buffered, and the rows after it
    // are not: the chunk count is then made again as the check did, up to that row. Kept out
    // of line and given the table and its columns by value, so that the loop stays small and
    // holds them in registers.
    template <class Cells>
    [[gnu::noinline]] void stack_rows(Cells cells, pybind11::ssize_t x, pybind11::ssize_t z,
                                      pybind11::ssize_t volume,
                                      std::span<const pybind11::ssize_t> parameters,
                                      double chunks_before) {
        const auto rows = static_cast<std::size_t>(cells.shape(0));
        std::vector<double>& values = values_;
        std::size_t row = 0;
        try {
            const Stacking busy(*this);
            for (; row < rows; ++row) {
                for (std::size_t p = 0; p < parameters.size(); ++p) {
                    values[p] = cells(row, parameters[p]);
                }
                portion_.clear();
                portion_.add(cells(row, volume), values);
                simulator->stack(portion_, static_cast<float>(cells(row, x)),
                                 static_cast<float>(cells(row, z)));
            }
        } catch (...) {
            const Capacity bed_capacity = capacity();
            double counted = chunks_before;
            for (std::size_t done = 0; done <= row && done < rows; ++done) {
                bed_capacity.adds(counted, cells(done, volume));
            }
            chunks_stacked = counted;
            try {
                throw;
            } catch (const StackingInterrupted&) {
                throw pybind11::error_already_set();
            }
        }
    }

    static Columns classify(const std::vector<std::string>& names, pybind11::ssize_t available) {
        if (static_cast<std::size_t>(available) < names.size()) {
            throw std::invalid_argument("column_names names " + std::to_string(names.size()) +
                                        " columns but the table has " +
                                        std::to_string(available));
        }
        Columns columns;
        for (std::size_t j = 0; j < names.size(); ++j) {
            const std::string& name = names[j];
            const auto column = static_cast<pybind11::ssize_t>(j);
            if (name == "x") {
                columns.x = column;
            } else if (name == "z") {
                columns.z = column;
            } else if (name == "volume") {
                columns.volume = column;
            } else if (name != "timestamp") {
                require_text(name);
                for (const pybind11::ssize_t earlier : columns.parameters) {
                    if (names[static_cast<std::size_t>(earlier)] == name) {
                        throw std::invalid_argument("column_names names the parameter \"" + name +
                                                    "\" more than once");
                    }
                }
                columns.parameters.push_back(column);
            }
        }
        if (columns.x < 0 || columns.z < 0 || columns.volume < 0) {
            throw std::invalid_argument("column_names must name the columns \"x\", \"z\" and \"volume\"");
        }
        return columns;
    }

    static void require_text(const std::string& name) {
        PyObject* decoded = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                                 "strict");
        if (decoded == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                throw pybind11::error_already_set();  // MemoryError
            }
            PyErr_Clear();
            throw std::invalid_argument("column name is not valid UTF-8");
        }
        Py_DECREF(decoded);
    }

    static bool valid_volume(double volume) { return std::isfinite(volume) && volume >= 0.0; }

    static void require_volume(double volume) {
        if (!valid_volume(volume)) {
            throw std::invalid_argument("volume must be a finite number not below zero");
        }
    }

    // Throws for the first invalid volume or parameter value of the table, in row order, up to
    // row `last`, which holds one. Takes the table and the column indices by value: a reference
    // to them would let them escape, and the loops over the rows would reload them.
    template <class Cells>
    [[noreturn, gnu::noinline]] static void refuse_first_fault(
        Cells cells, pybind11::ssize_t volume_column, std::span<const pybind11::ssize_t> parameters,
        const std::vector<std::string>& names, std::size_t last) {
        for (std::size_t row = 0; row <= last; ++row) {
            const double volume = cells(row, volume_column);
            require_volume(volume);
            for (std::size_t p = 0; p < parameters.size(); ++p) {
                require_value(cells(row, parameters[p]), volume, [&] {
                    return "the parameter value in row " + std::to_string(row) + ", column " +
                           std::to_string(parameters[p]) + " (\"" + names[p] + "\")";
                });
            }
        }
        throw std::logic_error("no invalid volume or parameter value up to the row named");
    }

    // A parameter value must be finite, and so must its product with the (valid) volume, which
    // the accumulator adds to its sums: a NaN or an infinity there would stay in the stack
    // buffer's sums and spoil the averages of every later portion. `where` names the value.
    template <class Where>
    static void require_value(double value, double volume, const Where& where) {
        const double product = value * volume;
        if (std::isfinite(product)) [[likely]] return;
        if (!std::isfinite(value)) {
            throw std::invalid_argument(where() + " must be a finite number");
        }
        throw std::invalid_argument(where() + " times the volume is beyond the range of double");
    }

    // What the bed can hold, in unit chunks: a column may not pass 2147483646 chunks (its 32-bit
    // count), and as no cell stands more than one chunk above an edge neighbour, no column can
    // while the average stays grid_nx + grid_nz below that. A portion of 2^52 chunks or more is
    // refused too: cutting a chunk off such a buffer may no longer lower its volume, and
    // stacking would never end.
    struct Capacity {
        double chunk_volume;
        double chunks;

        // Adds the chunks of `volume` to `stacked`; whether they fit.
        bool adds(double& stacked, double volume) const {
            const double portion = volume / chunk_volume;
            stacked = stacked + portion;
            return (portion < 0x1p52) & (stacked <= chunks);
        }

        // The chunk count after stacking `volume` on top of `stacked`, refusing what does not fit.
        double after(double stacked, double volume) const {
            if (!adds(stacked, volume)) refuse();
            return stacked;
        }

        [[noreturn]] static void refuse() {
            throw std::invalid_argument("volume is more than the bed can hold");
        }
    };

    Capacity capacity() const {
        const FastSimulator& bed = fast();
        const double per_column = 2147483646.0 - static_cast<double>(bed.grid_nx) - bed.grid_nz;
        return {static_cast<double>(1.0f / bed.particles_per_volume_unit),
                static_cast<double>(bed.grid_nx) * static_cast<double>(bed.grid_nz) * per_column};
    }

    void require_bed_takes_material() const {
        const FastSimulator& bed = fast();
        if (bed.grid_nx == 0 || bed.grid_nz == 0 || bed.slices.empty()) {
            throw std::invalid_argument(
                "the bed is smaller than half a cell along an axis and cannot take material");
        }
    }

    void require_parameter_count(std::size_t count) const {
        if (parameter_count && *parameter_count != count) {
            throw std::runtime_error("invalid parameter count");
        }
    }

    // Before the parameter count is fixed: room for `count` sums in the stack buffer and in
    // every slice, so that stacking allocates nothing afterwards. Running out of memory then
    // happens here, before any material moves, and never between a chunk's column and its slice.
    void reserve_sums(std::size_t count) {
        if (parameter_count || count == 0) return;
        FastSimulator& bed = fast();
        bed.stack_buffer.weighted_sums.reserve(count);
        for (AveragedParameters& slice : bed.slices) slice.weighted_sums.reserve(count);
    }

    // The rows reclaim() will report: it steps the position from 0 by the increment while the
    // position of the step before (the simulator's, first) is not finished. Refuses an
    // increment that stops moving the single-precision position before the end of the bed.
    std::size_t reclaim_rows() const {
        const FastSimulator& bed = fast();
        if (bed.finished_at(bed.reclaim_position)) return 0;
        std::size_t rows = 1;
        for (float x = 0.0f; !bed.finished_at(x); ++rows) {
            const float next = x + reclaim_increment;
            if (next == x) {
                throw std::invalid_argument(
                    "reclaim_increment is too small to move the reclaim position to the end of "
                    "the bed");
            }
            x = next;
        }
        return rows;
    }
};

}  // namespace pilora
