// Workload W1: a linear bed 100 x 20 at 8 chunks per volume unit (cell 0.5, grid 200 x 40),
// reclaim face at 45 degrees, eight neighbours with probability 0.5; chevron stacking along
// z = 10: portions of volume 0.5 with two quality parameters every 0.25 along x, forth and back,
// 100 passes (40,100 portions, 160,400 chunks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "averaged_parameters.hpp"
#include "deposition_random.hpp"
#include "pilora_fast.hpp"

namespace pilora::bench {

inline constexpr std::uint32_t w1_seed = 12345;
inline constexpr int w1_passes = 100;
inline constexpr int w1_positions = 401;  // x = 0, 0.25, ..., 100
inline constexpr std::size_t w1_chunks = std::size_t{w1_passes} * w1_positions * 4;

struct Portion {
    AveragedParameters material;
    float x;
    float z;
};

inline std::vector<Portion> w1_portions() {
    std::vector<Portion> portions;
    portions.reserve(std::size_t{w1_passes} * w1_positions);
    for (int pass = 0; pass < w1_passes; ++pass) {
        for (int j = 0; j < w1_positions; ++j) {
            const int position = pass % 2 == 0 ? j : w1_positions - 1 - j;
            Portion portion{{}, 0.25f * static_cast<float>(position), 10.0f};
            const double grade = 50.0 + static_cast<double>((position * 7 + pass * 3) % 11);
            const double moisture = 5.0 + static_cast<double>((position + pass) % 5) * 0.5;
            portion.material.add(0.5, {grade, moisture});
            portions.push_back(std::move(portion));
        }
    }
    return portions;
}

template <class Simulator = PiloraFast<AveragedParameters>>
std::unique_ptr<Simulator> w1_bed() {
    return std::make_unique<Simulator>(100.0f, 20.0f, 45.0f, 8.0f, false, 0.5f, 0.0f, 0.0f);
}

template <class Simulator>
void stack_all(Simulator& bed, const std::vector<Portion>& portions) {
    for (const Portion& portion : portions) bed.stack(portion.material, portion.x, portion.z);
}

// Engine outputs drawn since the engine stood at `seed`, found by replaying a copy of the
// engine until it reaches `now`.
inline std::uint64_t outputs_since(std::uint32_t seed, const std::minstd_rand& now) {
    std::minstd_rand replay(seed);
    std::uint64_t outputs = 0;
    while (!(replay == now)) {
        replay();
        ++outputs;
    }
    return outputs;
}

}  // namespace pilora::bench
