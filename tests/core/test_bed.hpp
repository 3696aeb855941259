// Shared helpers of the core tests: the simulator type, material builders and a bed factory.
#pragma once

#include <cstdint>
#include <vector>

#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"

namespace pilora::testing {

using Bed = PiloraFast<AveragedParameters>;

inline AveragedParameters material(double volume, const std::vector<double>& values = {}) {
    AveragedParameters a;
    a.add(volume, values);
    return a;
}

inline AveragedParameters accumulator(double volume, std::vector<double> sums) {
    AveragedParameters a;
    a.volume = volume;
    a.weighted_sums = std::move(sums);
    return a;
}

// A bed with the settings that matter to most tests; stored settings are 0.
inline Bed make_bed(float size_x, float size_z, float angle = 90.0f, float particles = 1.0f,
                    bool circular = false, float eight_probability = 0.5f) {
    return Bed(size_x, size_z, angle, particles, circular, eight_probability, 0.0f, 0.0f);
}

// Sets every interior cell of the bed to `h`.
inline void fill_interior(Bed& bed, std::int32_t h) {
    for (std::uint32_t i = 1; i <= bed.grid_nx; ++i)
        for (std::uint32_t k = 1; k <= bed.grid_nz; ++k) bed.height_grid[i][k] = h;
}

}  // namespace pilora::testing
