// Exploration and the decision procedure: epsilon-greedy against the plain
// rule and with NaN, draw keys and draws, a known two-candidate decision, the
// candidate and hook-output rules, and hook handling.
#include <random>

#include "exploration.hpp"
#include "rng.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
using Doubles = std::vector<double>;
constexpr const char* kNoCandidates = "need at least one candidate";
constexpr const char* kOrderMsg =
    "candidate features must be (index, value) pairs in strictly increasing index order within "
    "the model dimension";
constexpr const char* kZeroMsg = "candidate feature values must be nonzero";
constexpr const char* kScoreMsg = "score must return one finite estimate per candidate";
constexpr const char* kCountMsg = "explore must return one probability per candidate";
constexpr const char* kProbMsg = "explore probabilities must be finite, nonnegative, and sum to 1";

Doubles greedy(const Doubles& estimates, double epsilon) {
    return exploration::epsilon_greedy_probabilities(estimates, epsilon).value();
}

TEST(EpsilonGreedyTest, PlainRuleAndNaN) {
    static const double kPool[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1e300, -kInf, kInf, 0.1};
    std::mt19937_64 gen(11);
    for (int round = 0; round < 2000; ++round) {
        Doubles e(1 + gen() % 6);
        for (double& x : e) x = kPool[gen() % std::size(kPool)];
        const double eps = Doubles{0.0, 0.05, 0.1, 1.0 / 3, 1.0}[gen() % 5];
        double m = e[0];
        for (double x : e) m = x > m ? x : m;
        const double k = static_cast<double>(std::count(e.begin(), e.end(), m));
        const double base = eps / static_cast<double>(e.size()), top = base + (1 - eps) / k;
        Doubles want;
        for (double x : e) want.push_back(x == m ? top : base);
        ASSERT_EQ(bits(greedy(e, eps)), bits(want)) << "round " << round;
    }
    EXPECT_EQ(greedy({0.0, 1.0, 1.0}, 0.1),
              (Doubles{0.03333333333333333, 0.48333333333333334, 0.48333333333333334}));
    EXPECT_ERROR(exploration::epsilon_greedy_probabilities({}, kNaN), kNoCandidates);
    for (double eps : {-0.1, 1.1, kNaN})
        EXPECT_ERROR(exploration::epsilon_greedy_probabilities(Doubles{1.0}, eps),
                     "epsilon must be in [0, 1]");
    // A NaN estimate never holds the maximum and gets epsilon / n; when every
    // estimate is NaN all tie, so the probabilities still sum to 1.
    const std::tuple<Doubles, double, Doubles> cases[] = {
        {{kNaN, 1.0, 0.0}, 0.1, {0.1 / 3, 0.1 / 3 + (1 - 0.1) / 1, 0.1 / 3}},
        {{0.0, kNaN, 2.0, 2.0}, 0.2, {0.05, 0.05, 0.05 + (1 - 0.2) / 2, 0.05 + (1 - 0.2) / 2}},
        {{2.0, kNaN}, 0.5, {0.25 + 0.5, 0.25}},
        {{kNaN, -1.0, -1.0}, 0.0, {0.0, 0.5, 0.5}},
        {{kNaN, kNaN, kNaN}, 0.3, Doubles(3, 0.3 / 3 + (1 - 0.3) / 3)},
        {{kNaN}, 0.05, {0.05 / 1 + (1 - 0.05) / 1}},
    };
    for (const auto& [estimates, eps, want] : cases) EXPECT_EQ(greedy(estimates, eps), want);
}

TEST(DrawTest, KnownKeysAndDraws) {
    EXPECT_EQ(rng::derive_key("", ""), 0xa8c7f832281a39c5ULL);
    EXPECT_EQ(rng::derive_key("abc:0", "abc"), 0xf574d186087a782eULL);
    EXPECT_EQ(rng::derive_key("abc:1", "abc"), 0xda8d4590ca518ac3ULL);
    const Doubles p{0.03333333333333333, 0.48333333333333334, 0.48333333333333334};
    EXPECT_EQ(exploration::uniform(0xf574d186087a782eULL, 0), 0.26202898557879184);
    EXPECT_EQ(exploration::sample_index(p, 0xf574d186087a782eULL, 0), 1u);
    EXPECT_EQ(exploration::uniform(0xda8d4590ca518ac3ULL, 0), 0.7912588096600708);
    EXPECT_EQ(exploration::sample_index(p, 0xda8d4590ca518ac3ULL, 0), 2u);
    // The counter steps the key by the golden increment.
    EXPECT_EQ(exploration::uniform(5, 3), exploration::uniform(5 + 3 * 0x9e3779b97f4a7c15ULL, 0));
    // Key 0 gives u = 0: the strict comparison skips zero-probability entries
    // and falls back to the last index when none is left.
    EXPECT_EQ(exploration::uniform(0, 0), 0.0);
    EXPECT_EQ(exploration::sample_index(Doubles{0.0, -0.0, 0.3, 0.7}, 0, 0), 2u);
    EXPECT_EQ(exploration::sample_index(Doubles{0.0, 0.0}, 0, 0), 1u);
}

// The key whose draw is m * 2**-53: the SplitMix64 output mix run backwards.
std::uint64_t key_for_draw(std::uint64_t m) {
    auto unshift = [](std::uint64_t y, int s) {
        std::uint64_t x = y;
        for (int i = 0; i < 64 / s + 1; ++i) x = y ^ (x >> s);
        return x;
    };
    auto inverse = [](std::uint64_t c) {  // of an odd number, modulo 2**64
        std::uint64_t x = c;
        for (int i = 0; i < 6; ++i) x *= 2 - c * x;
        return x;
    };
    std::uint64_t z = m << 11;
    z = unshift(z, 31) * inverse(0x94d049bb133111ebULL);
    z = unshift(z, 27) * inverse(0xbf58476d1ce4e5b9ULL);
    return unshift(z, 30);
}

// A draw at or past the final sum (which rounding leaves short of 1) takes the
// last candidate with a probability above zero, never one given 0.
TEST(DrawTest, FallBackSkipsZeroProbabilities) {
    constexpr std::uint64_t kTop = (std::uint64_t{1} << 53) - 1;  // u = 1 - 2**-53
    const std::tuple<Doubles, std::uint64_t, std::uint64_t> cases[] = {
        {{0.5, 0.49999, 0.0}, kTop, 1},
        {{0.9999999995, 0.0}, kTop, 0},
        {{0.999999999, 0.0}, kTop, 0},
        {{0.2, 0.0, 0.3, 0.0, -0.0}, kTop, 2},
        // u equal to the sum is past it: the comparison is strict.
        {{0.25, 0.25, 0.0}, std::uint64_t{1} << 52, 1},
        // A positive last entry is the last index, as always.
        {{0.5, 0.49999, 1e-6}, kTop, 2},
        {{0.999999999, 1e-300}, kTop, 1},
        // Nothing positive at all: still a defined answer, the last index.
        {{0.0, -0.0, 0.0}, kTop, 2},
        // Draws below the sum never reach the fall-back: zeros stay skipped.
        {{0.5, 0.0, 0.49999, 0.0}, std::uint64_t{1} << 52, 2},
        {{0.0, 0.5, 0.0, 0.5}, 0, 1},
    };
    for (const auto& [p, m, want] : cases) {
        const std::uint64_t key = key_for_draw(m);
        ASSERT_EQ(exploration::uniform(key, 0), static_cast<double>(m) * 0x1p-53);
        EXPECT_EQ(exploration::sample_index(p, key, 0), want) << "m " << m << " p[0] " << p[0];
    }
}

Result<DecisionRecord> run(Bandit& b, const std::vector<FeatureVector>& vs, ScoreFn score = {},
                           ExploreFn explore = {}, std::string_view salt = "s", double t = 0.0) {
    return decide::decide(b, vs, salt, score, explore, t);
}

TEST(DecideTest, KnownTwoCandidateDecision) {
    Bandit b = make_bandit(4, 10.0, 0.0, 0.05, 0.999);
    const std::vector<Candidate> cands{{"a", {}}, {"b", {}}};
    const std::vector<DecisionRecord> want{
        {"abc:0", 0.0, 0x31be19873102f2b2ULL, 0, {{11, 1.0}, {14, -1.0}}, 0.5, 0, "abc"},
        {"abc:1", 0.0, 0x31be19873102f2b2ULL, 1, {{3, 1.0}, {11, 1.0}}, 0.5, 0, "abc"}};
    for (const DecisionRecord& w : want)
        EXPECT_EQ(bits(api::decide(b, {}, cands, "abc", {}, {}, 0.0).value()), bits(w));
    EXPECT_EQ(b.decision_count, 2u);
    EXPECT_EQ(bits(records_of(b)), bits(want));
    auto alone = api::decide(b, {}, std::vector<Candidate>{{"a", {}}}, "abc", {}, {}, 0.0);
    EXPECT_EQ(alone.value().candidate_hash, 0x4dbd40a61fb1556fULL);
    EXPECT_EQ(alone->propensity, 1.0);
    // Any salt makes an id and a key; t is kept to the bit.
    const double odd_nan = from_bits(0x7ff8000000000abcULL);
    for (std::string s : {"", "a longer salt: \"quoted\", 12 and \xc3\xa9"}) {
        const std::string id = s + ":" + std::to_string(b.decision_count);
        auto r = run(b, {{{1, 1.0}}, {{2, 1.0}}}, {}, {}, s, odd_nan);
        const auto chosen = exploration::sample_index(Doubles{0.5, 0.5}, rng::derive_key(id, s), 0);
        EXPECT_EQ(std::tuple(r.value().decision_id, r->salt, bits_of(r->t), r->chosen),
                  std::tuple(id, s, bits_of(odd_nan), chosen));
    }
}

TEST(DecideTest, CandidateHashMatchesPlainFnv) {
    std::mt19937_64 gen(3);
    const double pool[] = {1.0, -1.0, -0.0, kNaN, kInf, 2.5e-300};
    const std::uint64_t dims[] = {64, 65, 1ULL << 24, (1ULL << 24) + 1, 1ULL << 40};
    for (int round = 0; round < 200; ++round) {
        std::vector<FeatureVector> vs(gen() % 4);
        const std::uint64_t dim = dims[gen() % 5];
        Bytes bytes;
        bytes.u64(vs.size());
        for (auto& v : vs) {
            for (std::uint64_t i = gen() % 3; i < dim; i += 1 + gen() % (dim / 4))
                v.push_back({i, pool[gen() % 6]});
            bytes.u64(dim).u64(v.size());
            for (const Entry& e : v) bytes.u64(e.index).f64(e.value);
        }
        EXPECT_EQ(decide::candidate_set_hash(vs, dim), fnv1a(bytes.v));
    }
}

// Candidate vectors at dimension 16 and what the score and explore hooks
// return (an empty list leaves the hook out). A failure consumes nothing.
TEST(DecideTest, CandidateAndHookOutputRules) {
    const std::vector<FeatureVector> two{{{1, 1.0}}, {{2, 1.0}}};
    const std::tuple<std::vector<FeatureVector>, Doubles, Doubles, const char*> cases[] = {
        {{}, {}, {}, kNoCandidates},
        {{{{5, 1.0}, {5, 2.0}}}, {}, {}, kOrderMsg},
        {{{{7, 1.0}, {2, 1.0}}}, {}, {}, kOrderMsg},
        {{{{16, 1.0}}}, {}, {}, kOrderMsg},
        {{{{2, -0.0}}}, {}, {}, kZeroMsg},
        {{{{3, 1.0}, {3, 0.0}}}, {}, {}, kOrderMsg},               // the index is checked first
        {{{{1, 1.0}}, {{4, 0.0}}, {{16, 1.0}}}, {}, {}, kZeroMsg},  // candidates in order
        {{{{2, kNaN}}, {{0, -kInf}, {15, 1.0}}, {}}, {}, {}, nullptr},
        {{{{9, 1.0}}, {{3, 1.0}}}, {}, {}, nullptr},  // the order restarts per candidate
        {two, {1.0}, {}, kScoreMsg},
        {two, {1.0, 2.0, 3.0}, {}, kScoreMsg},
        {two, {1.0, kInf}, {}, kScoreMsg},
        {two, {kNaN, 0.0}, {0.5, 0.5}, kScoreMsg},
        {two, {}, {0.7, 0.3000000005}, nullptr},
        {two, {}, {-0.0, 1.0}, nullptr},
        {two, {}, {5e-324, 1.0}, nullptr},
        {two, {}, {1.0}, kCountMsg},
        {two, {}, {0.5, 0.5, 0.0}, kCountMsg},
        {two, {}, {0.7, 0.3000000015}, kProbMsg},
        {two, {}, {0.7, 0.2999999985}, kProbMsg},
        {two, {}, {-1e-300, 1.0}, kProbMsg},
        {two, {}, {kNaN, 1.0}, kProbMsg},
        {two, {}, {kInf, 0.0}, kProbMsg},
    };
    for (const auto& [vs, scores, probs, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(scores) + ::testing::PrintToString(probs));
        Bandit b = make_bandit(4);
        auto score = [&](std::span<const FeatureVector>) -> Result<Doubles> { return scores; };
        auto explore = [&](std::span<const double>, double) -> Result<Doubles> { return probs; };
        auto r = run(b, vs, scores.empty() ? ScoreFn() : ScoreFn(score),
                     probs.empty() ? ExploreFn() : ExploreFn(explore), "p:x");
        if (message != nullptr) {
            EXPECT_ERROR(r, message);
            EXPECT_EQ(b.decision_count + b.ledger.size(), 0u);
        } else if (!probs.empty()) {
            // The list is used unchanged by the draw and for the propensity.
            const auto key = rng::derive_key("p:x:0", "p:x");
            EXPECT_EQ(r.value().chosen, exploration::sample_index(probs, key, 0));
            EXPECT_EQ(bits_of(r->propensity), bits_of(probs[r->chosen]));
        } else {
            EXPECT_TRUE(r.has_value());
        }
    }
}

TEST(DecideTest, HookInputsOrderAndErrors) {
    Bandit b = make_bandit(4, 10.0, 0.0, 0.25, 1.0);
    model::update(b.model, {{1, 1.0}, {5, 3.0}}, 2.0);
    const std::vector<Candidate> cands{{"x", {{"p", Value::of_number(2.0)}}}, {"y", {}}};
    std::vector<std::string> calls;
    std::vector<FeatureVector> scored;
    Doubles seen;
    auto score = [&](std::span<const FeatureVector> vs) -> Result<Doubles> {
        calls.push_back("score");
        scored.assign(vs.begin(), vs.end());
        return Doubles{0.25, -3.5};
    };
    auto explore = [&](std::span<const double> e, double eps) -> Result<Doubles> {
        calls.push_back("explore");
        seen.assign(e.begin(), e.end());
        EXPECT_EQ(eps, 0.25);
        Doubles p(e.size(), 0.0);
        p.back() = 1.0;
        return p;
    };
    auto r = api::decide(b, {{"h", Value::of_text("t")}}, cands, "q", score, explore, 1.0);
    EXPECT_EQ(calls, (std::vector<std::string>{"score", "explore"}));
    EXPECT_EQ(seen, (Doubles{0.25, -3.5}));
    ASSERT_EQ(r.value().chosen, 1u);
    EXPECT_EQ(bits(scored.at(1)), bits(r->features));
    EXPECT_EQ(r->propensity, 1.0);

    // Without score, explore sees the model's estimates.
    const std::vector<FeatureVector> vs{{{1, 1.0}, {5, -2.0}}, {{5, 1.0}}, {}};
    ASSERT_TRUE(run(b, vs, {}, explore).has_value());
    EXPECT_NE(seen.at(0), 0.0);
    EXPECT_EQ(bits(seen), bits(Doubles{model::estimate_factored(b.model, vs[0]),
                                       model::estimate_factored(b.model, vs[1]), 0.0}));

    // Hook errors pass through unchanged, and a failure consumes nothing.
    for (const char* text : {"boom", kNoCandidates, kScoreMsg, ""}) {
        int explore_calls = 0;
        auto failing_score = [&](std::span<const FeatureVector>) -> Result<Doubles> {
            return fail(Error{text});
        };
        auto failing_explore = [&](std::span<const double>, double) -> Result<Doubles> {
            ++explore_calls;
            return fail(Error{text});
        };
        EXPECT_ERROR(run(b, {{{1, 1.0}}}, failing_score, failing_explore), text);
        EXPECT_EQ(explore_calls, 0);
        EXPECT_ERROR(run(b, {{{1, 1.0}}}, {}, failing_explore), text);
        EXPECT_EQ(b.decision_count + b.ledger.size(), 4u);
    }
}

}  // namespace
}  // namespace ordwyne
