#include "decide.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "exploration.hpp"
#include "fnv_kernels.hpp"
#include "rng.hpp"

namespace ordwyne::decide {

namespace {

// Both rules of a candidate vector; the first broken one names the failure.
Status check_vectors(std::span<const FeatureVector> candidates, std::uint64_t dim) {
    for (const FeatureVector& v : candidates) {
        bool has_previous = false;
        std::uint64_t previous = 0;
        for (const Entry& e : v) {
            if ((has_previous && e.index <= previous) || e.index >= dim) {
                return fail(error::make(error::kCandidateOrder));
            }
            if (e.value == 0.0) return fail(error::make(error::kCandidateZero));
            previous = e.index;
            has_previous = true;
        }
    }
    return {};
}

Result<std::vector<double>> estimates_of(Bandit& bandit, std::span<const FeatureVector> candidates,
                                         ScoreFn score) {
    if (score) {
        Result<std::vector<double>> scored = score(candidates);
        if (!scored) return scored;
        return validated_estimates(std::move(*scored), candidates.size());
    }
    std::vector<double> estimates(candidates.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        estimates[i] = model::estimate_factored(bandit.model, candidates[i]);
    }
    return estimates;
}

Result<std::vector<double>> probabilities_of(const Bandit& bandit,
                                             const std::vector<double>& estimates,
                                             ExploreFn explore) {
    if (explore) {
        Result<std::vector<double>> explored = explore(estimates, bandit.epsilon);
        if (!explored) return explored;
        return validated_probabilities(std::move(*explored), estimates.size());
    }
    return exploration::epsilon_greedy_probabilities(estimates, bandit.epsilon);
}

}  // namespace

Result<Bandit> new_bandit(std::uint64_t dim, double horizon, double default_reward, double epsilon,
                          double forgetfulness) {
    if (!(horizon > 0.0)) return fail(error::make(error::kHorizon));
    if (!(epsilon >= 0.0 && epsilon <= 1.0)) return fail(error::make(error::kEpsilon));
    Result<Model> model = model::new_model(dim, forgetfulness, 1.0);
    if (!model) return fail(std::move(model.error()));
    Bandit bandit;
    bandit.model = std::move(*model);
    bandit.horizon = horizon;
    bandit.default_reward = default_reward;
    bandit.epsilon = epsilon;
    return bandit;
}

Result<DecisionRecord> decide(Bandit& bandit, std::span<const FeatureVector> candidates,
                              std::string_view salt, ScoreFn score, ExploreFn explore, double t,
                              bool checked) {
    if (candidates.empty()) return fail(error::make(error::kNoCandidates));
    if (checked) {
        if (Status ok = check_vectors(candidates, bandit.model.dim); !ok) return fail(ok.error());
    }

    Result<std::vector<double>> estimates = estimates_of(bandit, candidates, score);
    if (!estimates) return fail(std::move(estimates.error()));
    Result<std::vector<double>> probabilities = probabilities_of(bandit, *estimates, explore);
    if (!probabilities) return fail(std::move(probabilities.error()));

    DecisionRecord record;
    record.decision_id.reserve(salt.size() + 21);
    record.decision_id.append(salt).push_back(':');
    record.decision_id.append(std::to_string(bandit.decision_count));
    const std::uint64_t key = rng::derive_key(record.decision_id, salt);
    record.chosen = exploration::sample_index(*probabilities, key, 0);
    record.candidate_hash = candidate_set_hash(candidates, bandit.model.dim);
    record.t = t;
    record.features = candidates[record.chosen];
    record.propensity = (*probabilities)[record.chosen];
    record.model_version = bandit.model_version;
    record.salt = std::string(salt);

    // The ledger's copy goes in before the counter moves, so running out of
    // memory part way leaves the state as it was.
    bandit.ledger.push_back(record, record.t + bandit.horizon);
    bandit.decision_count += 1;
    return record;
}

std::uint64_t candidate_set_hash(std::span<const FeatureVector> candidates, std::uint64_t dim) {
    // Without the AVX-512 kernel, the byte chain that skips the zero bytes of
    // each word (most of an index, many of a value) is the faster one.
    if (rng::fnv_active_kernel() != rng::FnvKernel::Avx512) {
        rng::Fnv1a h;
        h.u64(candidates.size());
        // Indices lie below dim; below 2**24 (every model create builds) their
        // three low bytes are all there is to hash.
        const bool small = dim <= (std::uint64_t{1} << 24);
        for (const FeatureVector& v : candidates) {
            h.u64(dim);
            h.u64(v.size());
            for (const Entry& e : v) {
                if (small) h.u64_below_2_24(e.index);
                else h.u64(e.index);
                h.f64(e.value);
            }
        }
        return h.state;
    }
    // The words are gathered in a stack buffer and hashed a buffer at a time:
    // the bulk hash runs many bytes side by side instead of one multiply
    // chain, and needs them in one place. An entry's memory is exactly its
    // two little-endian words.
    static_assert(sizeof(Entry) == 16 && offsetof(Entry, index) == 0 &&
                  offsetof(Entry, value) == 8 && std::is_trivially_copyable_v<Entry>);
    constexpr std::size_t kWords = 2048;  // 16 KiB, a multiple of the kernels' blocks
    alignas(64) std::uint64_t buffer[kWords];
    std::size_t used = 0;
    std::uint64_t h = rng::kFnvOffset;
    const auto flush = [&] {
        h = rng::fnv1a_bulk(h, buffer, 8 * used);
        used = 0;
    };
    const auto put = [&](std::uint64_t word) {
        if (used == kWords) flush();
        buffer[used++] = word;
    };
    put(candidates.size());
    for (const FeatureVector& v : candidates) {
        put(dim);
        put(v.size());
        const Entry* e = v.data();
        std::size_t left = v.size();
        while (left != 0) {
            const std::size_t n = std::min(left, (kWords - used) / 2);
            if (n == 0) {
                flush();
                continue;
            }
            std::memcpy(buffer + used, e, 16 * n);
            used += 2 * n;
            e += n;
            left -= n;
        }
    }
    flush();
    return h;
}

Result<std::vector<double>> validated_estimates(std::vector<double> estimates, std::size_t n) {
    if (estimates.size() != n) return fail(error::make(error::kScore));
    for (double e : estimates) {
        if (!std::isfinite(e)) return fail(error::make(error::kScore));
    }
    return estimates;
}

Result<std::vector<double>> validated_probabilities(std::vector<double> probabilities,
                                                    std::size_t n) {
    if (probabilities.size() != n) return fail(error::make(error::kExploreCount));
    for (double p : probabilities) {
        // Zero of either sign, or a finite positive number.
        if (!(p == 0.0 || (p > 0.0 && std::isfinite(p)))) {
            return fail(error::make(error::kExploreValues));
        }
    }
    double s = 0.0;
    for (double p : probabilities) s = s + p;
    if (!(std::fabs(s - 1.0) <= 1e-9)) return fail(error::make(error::kExploreValues));
    return probabilities;
}

}  // namespace ordwyne::decide
