// The decision procedure: a known two-candidate decision, vector rules, hook handling
// and validation, and that a failed decision leaves no trace.
#include <limits>
#include <random>

#include "exploration.hpp"
#include "rng.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kOrderMsg =
    "candidate features must be (index, value) pairs in strictly increasing index order within "
    "the model dimension";
constexpr const char* kZeroMsg = "candidate feature values must be nonzero";
constexpr const char* kScoreMsg = "score must return one finite estimate per candidate";
constexpr const char* kExploreCountMsg = "explore must return one probability per candidate";
constexpr const char* kExploreMsg =
    "explore probabilities must be finite, nonnegative, and sum to 1";

Result<DecisionRecord> run(Bandit& b, const std::vector<FeatureVector>& vs, ScoreFn score = {},
                           ExploreFn explore = {}, std::string_view salt = "s", double t = 0.0) {
    return decide::decide(b, vs, salt, score, explore, t);
}

std::uint64_t reference_hash(const std::vector<FeatureVector>& vs, std::uint64_t dim) {
    Bytes bytes;
    bytes.u64(vs.size());
    for (const auto& v : vs) {
        bytes.u64(dim).u64(v.size());
        for (const Entry& e : v) bytes.u64(e.index).f64(e.value);
    }
    return fnv1a(bytes.v);
}

TEST(DecideTest, KnownTwoCandidateDecision) {
    Bandit b = make_bandit(4, 10.0, 0.0, 0.05, 0.999);
    const std::vector<Candidate> cands{{"a", {}}, {"b", {}}};
    auto first = api::decide(b, {}, cands, "abc", {}, {}, 0.0);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->decision_id, "abc:0");
    EXPECT_EQ(first->chosen, 0u);
    EXPECT_EQ(first->propensity, 0.5);
    expect_same_vector(first->features, {{11, 1.0}, {14, -1.0}});
    EXPECT_EQ(first->candidate_hash, 0x31be19873102f2b2ULL);
    EXPECT_EQ(first->model_version, 0u);
    EXPECT_EQ(first->salt, "abc");
    EXPECT_SAME_DOUBLE(first->t, 0.0);
    EXPECT_EQ(b.decision_count, 1u);

    auto second = api::decide(b, {}, cands, "abc", {}, {}, 0.0);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->decision_id, "abc:1");
    EXPECT_EQ(second->chosen, 1u);
    EXPECT_EQ(second->propensity, 0.5);
    expect_same_vector(second->features, {{3, 1.0}, {11, 1.0}});
    EXPECT_EQ(second->candidate_hash, 0x31be19873102f2b2ULL);
    const auto ledger = records_of(b);
    ASSERT_EQ(ledger.size(), 2u);
    expect_same_record(ledger[0], *first);
    expect_same_record(ledger[1], *second);

    const std::vector<Candidate> alone{{"a", {}}};
    auto third = api::decide(b, {}, alone, "abc", {}, {}, 0.0);
    ASSERT_TRUE(third.has_value());
    EXPECT_EQ(third->candidate_hash, 0x4dbd40a61fb1556fULL);
    EXPECT_EQ(third->chosen, 0u);
    EXPECT_EQ(third->propensity, 1.0);
}

TEST(DecideTest, CandidateHashCoversOrderDimAndValueBits) {
    const std::vector<FeatureVector> two{{{11, 1.0}, {14, -1.0}}, {{3, 1.0}, {11, 1.0}}};
    EXPECT_EQ(decide::candidate_set_hash(two, 16), 0x31be19873102f2b2ULL);
    std::mt19937_64 gen(3);
    const double pool[] = {1.0, -1.0, -0.0, kNaN, kInf, 2.5e-300};
    for (int round = 0; round < 200; ++round) {
        std::vector<FeatureVector> vs(gen() % 4);
        for (auto& v : vs)
            for (std::uint64_t i = 0; i < 64; i += 1 + gen() % 20)
                v.push_back({i, pool[gen() % 6]});
        const std::uint64_t dim = 64 + gen() % 3;
        EXPECT_EQ(decide::candidate_set_hash(vs, dim), reference_hash(vs, dim));
    }
}

struct VectorCase {
    const char* label;
    std::vector<FeatureVector> vectors;
    const char* message;  // null: accepted
};

void PrintTo(const VectorCase& c, std::ostream* os) { *os << c.label; }

class VectorRuleTest : public ::testing::TestWithParam<VectorCase> {};

TEST_P(VectorRuleTest, AtDimension16) {
    Bandit b = make_bandit(4);
    auto r = run(b, GetParam().vectors);
    if (GetParam().message == nullptr) {
        ASSERT_TRUE(r.has_value()) << r.error().message;
        EXPECT_EQ(b.decision_count, 1u);
    } else {
        EXPECT_ERROR(r, GetParam().message);
        EXPECT_EQ(b.decision_count, 0u);
        EXPECT_TRUE(b.ledger.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VectorRuleTest,
    ::testing::Values(
        VectorCase{"empty", {}, "need at least one candidate"},
        VectorCase{"repeat", {{{5, 1.0}, {5, 2.0}}}, kOrderMsg},
        VectorCase{"decrease", {{{7, 1.0}, {2, 1.0}}}, kOrderMsg},
        VectorCase{"atDim", {{{16, 1.0}}}, kOrderMsg},
        VectorCase{"hugeIndex", {{{~0ULL, 1.0}}}, kOrderMsg},
        VectorCase{"zero", {{{2, 0.0}}}, kZeroMsg},
        VectorCase{"negZero", {{{2, -0.0}}}, kZeroMsg},
        VectorCase{"indexBeforeValue", {{{3, 1.0}, {3, 0.0}}}, kOrderMsg},
        VectorCase{"zeroLater", {{{1, 1.0}, {2, -0.0}}}, kZeroMsg},
        VectorCase{"pairsInOrder", {{{3, 0.0}, {2, 1.0}}}, kZeroMsg},
        VectorCase{"candidatesInOrder", {{{1, 1.0}}, {{4, 0.0}}, {{16, 1.0}}}, kZeroMsg},
        VectorCase{"nan", {{{2, kNaN}}}, nullptr},
        VectorCase{"inf", {{{0, -kInf}, {15, 1.0}}}, nullptr},
        VectorCase{"emptyVector", {{}}, nullptr},
        VectorCase{"resetPerCandidate", {{{9, 1.0}}, {{3, 1.0}}}, nullptr}),
    [](const auto& info) { return std::string(info.param.label); });

struct ProbCase {
    const char* label;
    std::vector<double> probs;
    const char* message;
};

void PrintTo(const ProbCase& c, std::ostream* os) { *os << c.label; }

class ProbabilityRuleTest : public ::testing::TestWithParam<ProbCase> {};

TEST_P(ProbabilityRuleTest, ThroughExploreHook) {
    const auto& c = GetParam();
    Bandit b = make_bandit(4);
    auto explore = [&](std::span<const double>, double) -> Result<std::vector<double>> {
        return c.probs;
    };
    auto r = run(b, {{{1, 1.0}}, {{2, 1.0}}}, {}, explore, "p:x", 3.0);
    if (c.message == nullptr) {
        ASSERT_TRUE(r.has_value()) << r.error().message;
        // The list is used unchanged by the draw and for the propensity.
        const auto key = rng::derive_key("p:x:0", "p:x");
        EXPECT_EQ(r->chosen, exploration::sample_index(c.probs, key, 0));
        EXPECT_SAME_DOUBLE(r->propensity, c.probs[r->chosen]);
    } else {
        EXPECT_ERROR(r, c.message);
        EXPECT_EQ(b.decision_count, 0u);
        EXPECT_TRUE(b.ledger.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProbabilityRuleTest,
    ::testing::Values(ProbCase{"withinTolerance", {0.7, 0.3000000005}, nullptr},
                      ProbCase{"zeroLast", {0.9999999995, 0.0}, nullptr},
                      ProbCase{"negZero", {-0.0, 1.0}, nullptr},
                      ProbCase{"subnormal", {5e-324, 1.0}, nullptr},
                      ProbCase{"tooShort", {1.0}, kExploreCountMsg},
                      ProbCase{"tooLong", {0.5, 0.5, 0.0}, kExploreCountMsg},
                      ProbCase{"sumOff", {0.7, 0.31}, kExploreMsg},
                      ProbCase{"justOutside", {0.7, 0.3000000015}, kExploreMsg},
                      ProbCase{"justOutsideBelow", {0.7, 0.2999999985}, kExploreMsg},
                      ProbCase{"negative", {1.5, -0.5}, kExploreMsg},
                      ProbCase{"tinyNegative", {-1e-300, 1.0}, kExploreMsg},
                      ProbCase{"nan", {kNaN, 1.0}, kExploreMsg},
                      ProbCase{"inf", {kInf, 0.0}, kExploreMsg}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(DecideTest, ScoreOutputValidation) {
    const std::vector<FeatureVector> three{{{1, 1.0}}, {{2, 1.0}}, {{3, 1.0}}};
    for (const std::vector<double>& bad : std::vector<std::vector<double>>{
             {1.0, 2.0}, {1.0, 2.0, 3.0, 4.0}, {1.0, kInf, 0.0}, {kNaN, 0.0, 0.0}, {-kInf, 0, 0}}) {
        Bandit b = make_bandit(4);
        auto score = [&](std::span<const FeatureVector>) -> Result<std::vector<double>> {
            return bad;
        };
        EXPECT_ERROR(run(b, three, score), kScoreMsg);
        EXPECT_EQ(b.decision_count, 0u);
    }
}

TEST(DecideTest, HookErrorsPassThroughUnchanged) {
    for (const char* text : {"boom", "need at least one candidate", kScoreMsg, ""}) {
        Bandit b = make_bandit(4);
        int explore_calls = 0;
        auto failing_score = [&](std::span<const FeatureVector>) -> Result<std::vector<double>> {
            return fail(Error{text});
        };
        auto explore = [&](std::span<const double>, double) -> Result<std::vector<double>> {
            ++explore_calls;
            return std::vector<double>{1.0};
        };
        EXPECT_ERROR(run(b, {{{1, 1.0}}}, failing_score, explore), text);
        EXPECT_EQ(explore_calls, 0);
        auto failing_explore = [&](std::span<const double>, double) -> Result<std::vector<double>> {
            return fail(Error{text});
        };
        EXPECT_ERROR(run(b, {{{1, 1.0}}}, {}, failing_explore), text);
        EXPECT_EQ(b.decision_count, 0u);
        EXPECT_TRUE(b.ledger.empty());
    }
}

TEST(DecideTest, HooksRunOnceInOrderAndSeeEachOthersValues) {
    Bandit b = make_bandit(4, 10.0, 0.0, 0.25, 1.0);
    const std::vector<Candidate> cands{{"x", {{"p", Value::of_number(2.0)}}}, {"y", {}}};
    const NamedFeatures ctx{{"h", Value::of_text("t")}};
    std::vector<std::string> calls;
    std::vector<FeatureVector> scored;
    auto score = [&](std::span<const FeatureVector> vs) -> Result<std::vector<double>> {
        calls.push_back("score");
        scored.assign(vs.begin(), vs.end());
        return std::vector<double>{0.25, -3.5};
    };
    auto explore = [&](std::span<const double> e, double eps) -> Result<std::vector<double>> {
        calls.push_back("explore");
        EXPECT_EQ(std::vector<double>(e.begin(), e.end()), (std::vector<double>{0.25, -3.5}));
        EXPECT_EQ(eps, 0.25);
        return std::vector<double>{0.0, 1.0};
    };
    auto r = api::decide(b, ctx, cands, "q", score, explore, 1.0);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(calls, (std::vector<std::string>{"score", "explore"}));
    ASSERT_EQ(scored.size(), 2u);
    const auto tokens = encoding::context_tokens(ctx);
    for (std::size_t i = 0; i < 2; ++i)
        expect_same_vector(
            scored[i], *encoding::encode_with_context(tokens, cands[i].name, cands[i].features, 4));
    EXPECT_EQ(r->chosen, 1u);
    EXPECT_EQ(r->propensity, 1.0);
}

TEST(DecideTest, WithoutScoreExploreSeesModelEstimates) {
    Bandit b = make_bandit(4);
    const std::vector<FeatureVector> vs{{{1, 1.0}, {5, -2.0}}, {{5, 1.0}}, {}};
    model::update(b.model, {{1, 1.0}, {5, 3.0}}, 2.0);
    std::vector<double> seen;
    auto explore = [&](std::span<const double> e, double) -> Result<std::vector<double>> {
        seen.assign(e.begin(), e.end());
        return std::vector<double>{0.5, 0.5, 0.0};
    };
    ASSERT_TRUE(run(b, vs, {}, explore).has_value());
    ASSERT_EQ(seen.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_SAME_DOUBLE(seen[i], model::estimate_factored(b.model, vs[i]));
    EXPECT_NE(seen[0], 0.0);
}

TEST(DecideTest, FailuresConsumeNothing) {
    Bandit b = make_bandit(4);
    ASSERT_TRUE(run(b, {{{1, 1.0}}}, {}, {}, "k").has_value());
    EXPECT_ERROR(run(b, {}), "need at least one candidate");
    EXPECT_ERROR(run(b, {{{1, 0.0}}}), kZeroMsg);
    EXPECT_ERROR(api::decide(b, {}, std::vector<Candidate>{}, "k", {}, {}, 0.0),
                 "need at least one candidate");
    b.epsilon = 2.0;  // unreachable through create; reaches the built-in check
    EXPECT_ERROR(run(b, {{{1, 1.0}}}), "epsilon must be in [0, 1]");
    b.epsilon = 0.0;
    EXPECT_EQ(b.decision_count, 1u);
    ASSERT_EQ(b.ledger.size(), 1u);
    auto next = run(b, {{{1, 1.0}}}, {}, {}, "k");
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->decision_id, "k:1");
}

TEST(DecideTest, IdsKeysTimesAndRestoredDimensions) {
    Bandit b = make_bandit(4);
    const double odd_nan = from_bits(0x7ff8000000000abcULL);
    auto r = run(b, {{{1, 1.0}}, {{2, 1.0}}}, {}, {}, "", odd_nan);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->decision_id, ":0");
    EXPECT_SAME_DOUBLE(r->t, odd_nan);
    const std::vector<double> even{0.5, 0.5};
    EXPECT_EQ(r->chosen, exploration::sample_index(even, rng::derive_key(":0", ""), 0));
    const std::string salt = "a longer salt: with \"quotes\", 12 and \xc3\xa9";
    auto named = run(b, {{{1, 1.0}}, {{2, 1.0}}}, {}, {}, salt);
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->decision_id, salt + ":1");
    EXPECT_EQ(named->salt, salt);
    EXPECT_EQ(named->chosen,
              exploration::sample_index(even, rng::derive_key(salt + ":1", salt), 0));

    Layout l;
    l.dim = 3;
    Bandit odd = load(l);
    const std::vector<Candidate> cands{{"a", {}}};
    EXPECT_ERROR(api::decide(odd, {}, cands, "s", {}, {}, 0.0),
                 "model dimension is not 2**bits for bits in [1, 24]; the state was not built by "
                 "create()");
    EXPECT_EQ(odd.decision_count, 0u);
}

}  // namespace
}  // namespace ordwyne
