#include "api.hpp"

#include <bit>

#include "spare.hpp"
#include "state.hpp"

namespace ordwyne::api {

namespace {

// A decision's candidate vectors, kept for the next decision on this thread
// (while modest, like the encoder's own scratch) so that it reuses their
// capacity instead of allocating one per candidate.
struct Vectors {
    std::vector<FeatureVector> v;
    std::size_t capacity_bytes() const {
        std::size_t bytes = v.capacity() * sizeof(FeatureVector);
        for (const FeatureVector& x : v) bytes += x.capacity() * sizeof(Entry);
        return bytes;
    }
};

}  // namespace

Result<Bandit> create(std::uint32_t bits, double horizon, double default_reward, double epsilon,
                      double forgetfulness) {
    if (bits < 1 || bits > 24) return fail(error::make(error::kBits));
    return decide::new_bandit(std::uint64_t{1} << bits, horizon, default_reward, epsilon,
                              forgetfulness);
}

Result<std::uint32_t> model_bits(const Bandit& bandit) {
    const std::uint64_t dim = bandit.model.dim;
    if (std::has_single_bit(dim)) {
        const auto bits = static_cast<std::uint32_t>(std::countr_zero(dim));
        if (bits >= 1 && bits <= 24) return bits;
    }
    return fail(error::make(error::kModelDim));
}

Result<DecisionRecord> decide(Bandit& bandit, const NamedFeatures& context,
                              std::span<const Candidate> candidates, std::string_view salt,
                              ScoreFn score, ExploreFn explore, double t) {
    Result<std::uint32_t> bits = model_bits(bandit);
    if (!bits) return fail(std::move(bits.error()));
    Spare<Vectors, encoding::kScratchKeep> spare;
    std::vector<FeatureVector>& vectors = spare->v;
    vectors.resize(candidates.size());
    {
        const TokenList tokens = encoding::context_tokens(context);
        // The bits were checked above, so encoding cannot fail here. The
        // encoder is gone before any callback runs.
        encoding::CandidateEncoder encoder(tokens, *bits);
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            encoder.encode(candidates[i].name, candidates[i].features, vectors[i]);
        }
    }
    return decide::decide(bandit, vectors, salt, score, explore, t, /*checked=*/false);
}

Result<std::optional<Resolution>> learn(Bandit& bandit, std::string_view decision_id,
                                        double reward, double t, TrainFn train) {
    if (!train) return ledger::learn(bandit, decision_id, reward, t);
    return ledger::learn(bandit, decision_id, reward, t, train);
}

Result<std::vector<Resolution>> expire(Bandit& bandit, double t, TrainFn train) {
    if (!train) return ledger::expire(bandit, t);
    return ledger::expire(bandit, t, train);
}

std::string serialize(const Bandit& bandit) { return state::serialize_hex(bandit); }

Result<Bandit> deserialize(std::string_view text) {
    Result<std::vector<std::uint8_t>> bytes = state::decode_hex(text);
    if (!bytes) return fail(std::move(bytes.error()));
    return state::deserialize(*bytes);
}

}  // namespace ordwyne::api
