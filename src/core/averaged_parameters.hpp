// Material accumulator: a volume and, per quality parameter, the sum of value times volume.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <vector>

namespace pilora {

class AveragedParameters {
public:
    double volume = 0.0;
    std::vector<double> weighted_sums;

    // Adds `v` of material whose parameters have the plain (unweighted) values `values`.
    void add(double v, const std::vector<double>& values) {
        if (weighted_sums.empty() && !values.empty()) {
            weighted_sums.assign(values.size(), 0.0);
        }
        if (weighted_sums.size() != values.size()) {
            throw std::runtime_error("invalid parameter count");
        }
        volume = volume + v;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double product = values[i] * v;
            weighted_sums[i] = product + weighted_sums[i];
        }
    }

    // Adds all material of `other`; an empty accumulator without sums changes nothing.
    void merge(const AveragedParameters& other) {
        if (other.weighted_sums.empty() && other.volume < 1e-100) {
            return;
        }
        if (weighted_sums.size() != other.weighted_sums.size()) {
            if (!weighted_sums.empty()) {
                throw std::runtime_error("invalid parameter count");
            }
            weighted_sums.assign(other.weighted_sums.size(), 0.0);
        }
        volume = other.volume + volume;
        for (std::size_t i = 0; i < weighted_sums.size(); ++i) {
            weighted_sums[i] = other.weighted_sums[i] + weighted_sums[i];
        }
    }

    // Average of every parameter; the plain sums while the volume is not above 1e-100.
    std::vector<double> averages() const {
        std::vector<double> result(weighted_sums);
        if (volume > 1e-100) {
            for (double& value : result) {
                value = value / volume;
            }
        }
        return result;
    }

    // Removes `v` of material with the current average composition and returns it.
    AveragedParameters pop(double v) {
        if (v > volume) {
            throw std::runtime_error("could not pop volume, not enough volume left");
        }
        AveragedParameters popped;
        popped.add(v, averages());
        const double remaining = volume - v;
        scale_sums_to(remaining);
        volume = remaining;
        return popped;
    }

    // Like pop(v), for callers that pop over and over (the chunk cutter): the popped material is
    // written into `out`, reusing its storage, and the result is bit-identical to pop(v).
    void pop_into(double v, AveragedParameters& out) {
        if (v > volume) {
            throw std::runtime_error("could not pop volume, not enough volume left");
        }
        out.volume = 0.0 + v;
        out.weighted_sums.resize(weighted_sums.size());
        for (std::size_t i = 0; i < weighted_sums.size(); ++i) {
            const double average = volume > 1e-100 ? weighted_sums[i] / volume : weighted_sums[i];
            const double product = average * v;
            out.weighted_sums[i] = product + 0.0;
        }
        const double remaining = volume - v;
        scale_sums_to(remaining);
        volume = remaining;
    }

    // Empties the accumulator; the sums' storage is kept.
    void clear() {
        volume = 0.0;
        weighted_sums.clear();
    }

private:
    void scale_sums_to(double remaining) {
        if (volume > 1e-100) {
            const double factor = remaining / volume;
            for (double& sum : weighted_sums) {
                sum = sum * factor;
            }
        }
    }
};

}  // namespace pilora
