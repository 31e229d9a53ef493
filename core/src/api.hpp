// The engine's entry points. Everything the binding (or any other host)
// needs is reachable from here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decide.hpp"
#include "encoding.hpp"
#include "error.hpp"
#include "ledger.hpp"

namespace ordwyne::api {

Result<Bandit> create(std::uint32_t bits, double horizon, double default_reward, double epsilon,
                      double forgetfulness);

Result<std::uint32_t> model_bits(const Bandit& bandit);

// Absent hooks are default-constructed FunctionRefs.
Result<DecisionRecord> decide(Bandit& bandit, const NamedFeatures& context,
                              std::span<const Candidate> candidates, std::string_view salt,
                              ScoreFn score, ExploreFn explore, double t);

Result<std::optional<Resolution>> learn(Bandit& bandit, std::string_view decision_id,
                                        double reward, double t, TrainFn train = {});

Result<std::vector<Resolution>> expire(Bandit& bandit, double t, TrainFn train = {});

std::string serialize(const Bandit& bandit);

Result<Bandit> deserialize(std::string_view text);

}  // namespace ordwyne::api
