// api::decide against decide::decide over vectors encoded one candidate at a
// time: decisions of changing sizes one after another (the candidate
// vectors are reused between decisions) and a decision taken inside another
// decision's score callback.
#include <optional>
#include <string>
#include <vector>

#include "decide.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
using Doubles = std::vector<double>;

struct Input {
    std::vector<std::string> own;  // bytes the features view
    NamedFeatures context;
    std::vector<Candidate> candidates;
};

Input input(std::size_t n_context, std::size_t n_candidates, std::size_t n_features,
            std::size_t seed) {
    Input in;
    in.own.reserve(n_context + n_candidates * (n_features + 1));
    auto keep = [&](std::string s) -> std::string_view { return in.own.emplace_back(std::move(s)); };
    for (std::size_t i = 0; i < n_context; ++i) {
        in.context.push_back({keep(numbered("c", i)), Value::of_number(double(i + seed))});
    }
    for (std::size_t c = 0; c < n_candidates; ++c) {
        Candidate cand{keep(numbered("cand", c + seed)), {}};
        for (std::size_t f = 0; f < n_features; ++f) {
            cand.features.push_back(
                {keep(numbered("f", f)), Value::of_text(f % 2 ? "x" : "y")});
        }
        in.candidates.push_back(std::move(cand));
    }
    return in;
}

// The same decision through the per-candidate encoder entry point.
DecisionRecord reference(Bandit& b, const Input& in, std::uint32_t bits) {
    const TokenList tokens = encoding::context_tokens(in.context);
    std::vector<FeatureVector> vs;
    for (const Candidate& c : in.candidates) {
        vs.push_back(encoding::encode_with_context(tokens, c.name, c.features, bits).value());
    }
    return decide::decide(b, vs, "s", {}, {}, 1.0).value();
}

TEST(ApiDecideTest, DecisionsOfChangingSizeMatchPerCandidateEncoding) {
    Bandit b = make_bandit(12);
    Bandit twin = make_bandit(12);  // decides through the reference
    const std::size_t shapes[][3] = {{3, 10, 5}, {0, 2, 0}, {40, 12, 9}, {2, 1, 0},
                                     {500, 30, 3}, {1, 3, 1}, {9, 10, 5}};
    std::size_t seed = 0;
    for (const auto& [ctx, cands, feats] : shapes) {
        const Input in = input(ctx, cands, feats, seed++);
        const DecisionRecord want = reference(twin, in, 12);
        const DecisionRecord got = api::decide(b, in.context, in.candidates, "s", {}, {}, 1.0).value();
        EXPECT_EQ(bits(got), bits(want)) << ctx << " x " << cands << " x " << feats;
        // Train both on what was chosen, so later estimates differ per candidate.
        ASSERT_TRUE(api::learn(b, got.decision_id, 1.0, 1.0).has_value());
        ASSERT_TRUE(api::learn(twin, want.decision_id, 1.0, 1.0).has_value());
    }
}

TEST(ApiDecideTest, DecisionInsideAScoreCallback) {
    Bandit outer = make_bandit(10);
    Bandit inner = make_bandit(10);
    Bandit inner_twin = make_bandit(10);
    const Input outer_in = input(4, 6, 3, 1);
    const Input inner_in = input(7, 9, 2, 50);
    const DecisionRecord inner_want = reference(inner_twin, inner_in, 10);

    std::vector<FeatureVector> seen;
    std::optional<DecisionRecord> inner_got;
    auto score = [&](std::span<const FeatureVector> vs) -> Result<Doubles> {
        inner_got = api::decide(inner, inner_in.context, inner_in.candidates, "s", {}, {}, 1.0).value();
        seen.assign(vs.begin(), vs.end());  // read after the inner decision
        return Doubles(vs.size(), 0.0);
    };
    const DecisionRecord outer_got =
        api::decide(outer, outer_in.context, outer_in.candidates, "s", score, {}, 1.0).value();

    ASSERT_TRUE(inner_got.has_value());
    EXPECT_EQ(bits(*inner_got), bits(inner_want));
    const TokenList tokens = encoding::context_tokens(outer_in.context);
    ASSERT_EQ(seen.size(), outer_in.candidates.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        const Candidate& c = outer_in.candidates[i];
        EXPECT_EQ(bits(seen[i]), bits(encoding::encode_with_context(tokens, c.name, c.features, 10).value()));
    }
    EXPECT_EQ(bits(outer_got.features), bits(seen[outer_got.chosen]));
}

}  // namespace
}  // namespace ordwyne
