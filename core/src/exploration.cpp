#include "exploration.hpp"

#include <cmath>

#include "rng.hpp"

namespace ordwyne::exploration {

namespace {
constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
}

Result<std::vector<double>> epsilon_greedy_probabilities(std::span<const double> estimates,
                                                         double epsilon) {
    const std::size_t n = estimates.size();
    if (n == 0) return fail(error::make(error::kNoCandidates));
    if (!(epsilon >= 0.0 && epsilon <= 1.0)) return fail(error::make(error::kEpsilon));

    // The maximum over the non-NaN estimates: a NaN in first place must not
    // leave every candidate off the top and the probabilities short of 1.
    std::size_t first = 0;
    while (first < n && std::isnan(estimates[first])) ++first;
    const bool all_nan = first == n;
    double m = all_nan ? 0.0 : estimates[first];
    for (std::size_t i = first + 1; i < n; ++i) {
        if (estimates[i] > m) m = estimates[i];
    }
    auto on_top = [&](double e) { return all_nan || e == m; };
    std::size_t k = 0;
    for (double e : estimates) k += on_top(e) ? 1 : 0;

    const double base = epsilon / static_cast<double>(n);
    const double top = base + (1.0 - epsilon) / static_cast<double>(k);
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = on_top(estimates[i]) ? top : base;
    return out;
}

double uniform(std::uint64_t key, std::uint64_t counter) {
    const std::uint64_t z = rng::mix64(key + counter * kGolden);
    return static_cast<double>(z >> 11) * 0x1p-53;
}

std::uint64_t sample_index(std::span<const double> probabilities, std::uint64_t key,
                           std::uint64_t counter) {
    const double u = uniform(key, counter);
    double s = 0.0;
    for (std::size_t i = 0; i < probabilities.size(); ++i) {
        s = s + probabilities[i];
        if (u < s) return i;
    }
    // u reached the sum, which rounding leaves slightly short of 1: take the
    // last candidate that may be chosen at all, never one given probability 0
    // (its propensity would be 0 in the log). With no positive entry, which
    // the decision's checks rule out, the last index is still an answer.
    for (std::size_t i = probabilities.size(); i-- > 0;) {
        if (probabilities[i] > 0.0) return i;
    }
    return probabilities.size() - 1;
}

}  // namespace ordwyne::exploration
