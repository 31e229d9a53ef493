// Estimates become selection probabilities, and a key becomes one draw.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace ordwyne::exploration {

// Epsilon-greedy: every candidate gets epsilon / n, the tied maxima share the
// rest. NaN estimates never count as the maximum unless all are NaN.
Result<std::vector<double>> epsilon_greedy_probabilities(std::span<const double> estimates,
                                                         double epsilon);

// The uniform number in [0, 1) that a key and counter give.
double uniform(std::uint64_t key, std::uint64_t counter);

// One uniform draw over the cumulative sums. If u is not below the final sum,
// the last index with a probability above zero (the last index if none is).
std::uint64_t sample_index(std::span<const double> probabilities, std::uint64_t key,
                           std::uint64_t counter);

}  // namespace ordwyne::exploration
