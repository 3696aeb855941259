// A simulator whose walk draws every output through std::minstd_rand itself, one call per
// output, with the draws written as plainly as possible. It places chunks exactly as PiloraFast
// does; tests pin PiloraFast's faster draws against it and benchmarks use it as the baseline.
#pragma once

#include <cstdint>
#include <random>

#include "averaged_parameters.hpp"
#include "deposition_random.hpp"
#include "pilora_fast.hpp"

namespace pilora::testing {

class LibraryEngineSimulator : public PiloraFast<AveragedParameters> {
public:
    using PiloraFast<AveragedParameters>::PiloraFast;

    void deposit(const AveragedParameters& chunk, float x, float z) override {
        std::minstd_rand& engine = deposition_engine();
        std::int32_t i = start_cell(x, grid_nx);
        std::int32_t k = start_cell(z, grid_nz);
        std::int32_t h = height_grid[i][k];
        for (;;) {
            const auto o1 = static_cast<std::uint32_t>(engine());
            const auto o2 = static_cast<std::uint32_t>(engine());
            const double u = (static_cast<double>(o1 - 1) + static_cast<double>(o2 - 1) * 2147483646.0) /
                             4.6116860098374533e18;
            const bool eight = !(u > static_cast<double>(eight_neighbour_probability));
            auto o = static_cast<std::uint32_t>(engine());
            while (o - 1 >= 2147483640u) o = static_cast<std::uint32_t>(engine());
            const unsigned s = (o - 1) % 8;
            const unsigned m = eight ? 8 : 4;
            std::int32_t best = h;
            int chosen = -1;
            for (unsigned j = 0; j < m; ++j) {
                const unsigned t = (s + j) % m;
                const std::int32_t g =
                    height_grid[i + neighbour_offsets[t][0]][k + neighbour_offsets[t][1]];
                if (g < best) {
                    best = g;
                    chosen = static_cast<int>(t);
                }
            }
            if (chosen < 0) break;
            i += neighbour_offsets[chosen][0];
            k += neighbour_offsets[chosen][1];
            h = best;
        }
        height_grid[i][k] = h + 1;
        slices[slice_index(i, k, h)].merge(chunk);
    }
};

}  // namespace pilora::testing
