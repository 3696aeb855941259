// PiloraLibPython: the native class behind the Python class PiloraLib. It owns one simulator,
// converts portions and tables into accumulators, and turns reclaim steps into columns.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"

namespace pilora {

class PiloraLibPython {
public:
    using Simulator = Pilora<AveragedParameters>;
    using FastSimulator = PiloraFast<AveragedParameters>;

    std::unique_ptr<Simulator> simulator;
    float reclaim_increment;
    std::vector<std::string> parameter_names;
    // Number of parameter values of every portion, fixed by the first portion stacked or by
    // the first parameter names recorded.
    std::optional<std::size_t> parameter_count;
    // Unit chunks handed to the simulator so far (whole and partial), for the capacity check.
    double chunks_stacked = 0.0;

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
    }

    void stack(double timestamp, float x, float z, double volume,
               std::vector<double> parameter_values) {
        static_cast<void>(timestamp);
        require_volume(volume);
        require_bed_takes_material();
        const double chunks = capacity().after(chunks_stacked, volume);
        require_parameter_count(parameter_values.size());
        portion_.clear();
        portion_.add(volume, parameter_values);
        parameter_count = parameter_values.size();
        chunks_stacked = chunks;
        simulator->stack(portion_, x, z);
    }

    void stack_list(pybind11::array_t<double, pybind11::array::forcecast> table,
                    std::vector<std::string> column_names) {
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
        // One pass over the volumes: each must be valid, and all together must fit; a bed that
        // takes no material is named before a volume that does not fit.
        const Capacity bed_capacity = capacity();
        double chunks = chunks_stacked;
        bool fits = true;
        for (std::size_t row = 0; row < rows; ++row) {
            const double volume = cells(row, columns.volume);
            require_volume(volume);
            fits = bed_capacity.adds(chunks, volume) & fits;
        }
        if (rows > 0) require_bed_takes_material();
        if (!fits) bed_capacity.refuse();

        if (parameter_names.empty() && !names.empty()) parameter_names = std::move(names);
        if (rows > 0 || !columns.parameters.empty()) parameter_count = columns.parameters.size();
        chunks_stacked = chunks;

        std::vector<double>& values = values_;
        values.resize(columns.parameters.size());
        for (std::size_t row = 0; row < rows; ++row) {
            for (std::size_t p = 0; p < columns.parameters.size(); ++p) {
                values[p] = cells(row, columns.parameters[p]);
            }
            portion_.clear();
            portion_.add(cells(row, columns.volume), values);
            simulator->stack(portion_, static_cast<float>(cells(row, columns.x)),
                             static_cast<float>(cells(row, columns.z)));
        }
    }

    pybind11::dict reclaim() {
        finish_stacking();
        const std::size_t named = parameter_names.size();
        std::vector<double> xs;
        std::vector<double> volumes;
        std::vector<std::vector<double>> averages(named);

        if (!simulator->reclaim_finished()) {
            require_increment_reaches_end();
            float x = 0.0f;
            while (!simulator->reclaim_finished()) {
                const AveragedParameters step = simulator->reclaim(x);
                xs.push_back(static_cast<double>(x));
                volumes.push_back(step.volume);
                const std::vector<double> a = step.averages();
                for (std::size_t i = 0; i < named; ++i) {
                    averages[i].push_back(i < a.size() ? a[i] : 0.0);
                }
                x = x + reclaim_increment;
            }
        }

        pybind11::dict result;
        result["x"] = pybind11::cast(xs);
        result["volume"] = pybind11::cast(volumes);
        for (std::size_t i = 0; i < named; ++i) {
            result[pybind11::str(parameter_names[i].c_str())] = pybind11::cast(averages[i]);
        }
        return result;
    }

    std::vector<std::vector<float>> get_heights() {
        finish_stacking();
        const std::size_t nx = simulator->grid_nx;
        const std::size_t nz = simulator->grid_nz;
        std::vector<std::vector<float>> heights;
        heights.reserve(nz);
        simulator->update_heights();
        const float* buffer = simulator->heights_buffer.get();
        for (std::size_t z = 0; z < nz; ++z) {
            heights.emplace_back(buffer + z * nx, buffer + (z + 1) * nx);
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

    AveragedParameters portion_;  // reused for every portion, so stacking allocates nothing
    std::vector<double> values_;

    FastSimulator& fast() const { return static_cast<FastSimulator&>(*simulator); }

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
            PyErr_Clear();
            throw std::invalid_argument("column name is not valid UTF-8");
        }
        Py_DECREF(decoded);
    }

    static void require_volume(double volume) {
        if (!(std::isfinite(volume) && volume >= 0.0)) {
            throw std::invalid_argument("volume must be a finite number not below zero");
        }
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

    // Reclaiming steps the position from 0 by the increment until the end of the bed; refuse an
    // increment that stops moving the single-precision position before it gets there.
    void require_increment_reaches_end() const {
        const FastSimulator& bed = fast();
        float x = 0.0f;
        while (!bed.finished_at(x)) {
            const float next = x + reclaim_increment;
            if (next == x) {
                throw std::invalid_argument(
                    "reclaim_increment is too small to move the reclaim position to the end of "
                    "the bed");
            }
            x = next;
        }
    }
};

}  // namespace pilora
