// The bandit state and the decision procedure: validate, estimate, explore,
// draw, fingerprint, record.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "encoding.hpp"
#include "error.hpp"
#include "hook.hpp"
#include "ledger.hpp"
#include "model.hpp"

namespace ordwyne {

// The engine's whole state; the state format writes these fields in order.
struct Bandit {
    Model model;
    std::uint64_t decision_count = 0;
    std::uint64_t model_version = 0;
    double horizon = 1.0;
    double default_reward = 0.0;
    double epsilon = 0.0;
    Ledger ledger;
};

// The caller's replacements for the model's estimates and for epsilon-greedy.
using ScoreFn = FunctionRef<Result<std::vector<double>>(std::span<const FeatureVector>)>;
using ExploreFn = FunctionRef<Result<std::vector<double>>(std::span<const double>, double)>;

namespace decide {

Result<Bandit> new_bandit(std::uint64_t dim, double horizon, double default_reward, double epsilon,
                          double forgetfulness);

// `checked` false skips the vectors' own rules, for vectors the encoder
// built: they are sorted, distinct, non-zero and below dim by construction.
Result<DecisionRecord> decide(Bandit& bandit, std::span<const FeatureVector> candidates,
                              std::string_view salt, ScoreFn score, ExploreFn explore, double t,
                              bool checked = true);

std::uint64_t candidate_set_hash(std::span<const FeatureVector> candidates, std::uint64_t dim);

Result<std::vector<double>> validated_estimates(std::vector<double> estimates, std::size_t n);
Result<std::vector<double>> validated_probabilities(std::vector<double> probabilities,
                                                    std::size_t n);

}  // namespace decide
}  // namespace ordwyne
