// Bit-for-bit comparisons of the core's numbers, for tests that pin results exactly.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "averaged_parameters.hpp"

namespace pilora::testing {

// The same volume and weighted sums, bit for bit (NaN payloads and the sign of zero included).
inline bool same_bits(const AveragedParameters& a, const AveragedParameters& b) {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    if (bits(a.volume) != bits(b.volume) || a.weighted_sums.size() != b.weighted_sums.size()) return false;
    for (std::size_t i = 0; i < a.weighted_sums.size(); ++i) {
        if (bits(a.weighted_sums[i]) != bits(b.weighted_sums[i])) return false;
    }
    return true;
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace pilora::testing
