// Epsilon-greedy probabilities, the draw key and the draw.
#include <cmath>
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

std::vector<double> greedy(std::vector<double> estimates, double epsilon) {
    auto r = exploration::epsilon_greedy_probabilities(estimates, epsilon);
    if (!r) {
        ADD_FAILURE() << r.error().message;
        return {};
    }
    return *r;
}

// The rule for NaN-free estimates, written out literally.
std::vector<double> literal_greedy(const std::vector<double>& e, double epsilon) {
    double m = e[0];
    for (std::size_t i = 1; i < e.size(); ++i)
        if (e[i] > m) m = e[i];
    std::size_t k = 0;
    for (double x : e) k += x == m;
    const double base = epsilon / static_cast<double>(e.size());
    const double top = base + (1 - epsilon) / static_cast<double>(k);
    std::vector<double> out;
    for (double x : e) out.push_back(x == m ? top : base);
    return out;
}

void expect_same_list(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_SAME_DOUBLE(got[i], want[i]) << i;
}

TEST(EpsilonGreedyTest, KnownValues) {
    const auto p = greedy({0.0, 1.0, 1.0}, 0.1);
    expect_same_list(p, {0.03333333333333333, 0.48333333333333334, 0.48333333333333334});
    EXPECT_EQ(greedy({-7.0}, 0.05), std::vector<double>{1.0});
    EXPECT_EQ(greedy({-0.0, 0.0}, 0.0), (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(greedy({3.0, -1.0, 3.0, kInf}, 1.0), std::vector<double>(4, 0.25));
    expect_same_list(greedy({-kInf, -kInf}, 0.0), {0.5, 0.5});
}

TEST(EpsilonGreedyTest, Errors) {
    for (double eps : {kNaN, 0.5})
        EXPECT_ERROR(exploration::epsilon_greedy_probabilities({}, eps),
                     "need at least one candidate");
    const std::vector<double> one{1.0};
    for (double eps : {-0.1, 1.1, kNaN, -kInf})
        EXPECT_ERROR(exploration::epsilon_greedy_probabilities(one, eps),
                     "epsilon must be in [0, 1]");
}

struct NanCase {
    const char* label;
    std::vector<double> estimates;
    double epsilon;
    std::vector<double> want;
};

void PrintTo(const NanCase& c, std::ostream* os) { *os << c.label; }

class EpsilonGreedyNanTest : public ::testing::TestWithParam<NanCase> {};

// A NaN estimate never holds the maximum and gets epsilon / n; when every
// estimate is NaN all tie, so the probabilities still sum to 1.
TEST_P(EpsilonGreedyNanTest, MaximumIgnoresNaN) {
    const auto& c = GetParam();
    const auto p = greedy(c.estimates, c.epsilon);
    expect_same_list(p, c.want);
    double sum = 0.0;
    for (double x : p) sum += x;
    EXPECT_NEAR(sum, 1.0, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EpsilonGreedyNanTest,
    ::testing::Values(
        NanCase{"first", {kNaN, 1.0, 0.0}, 0.1, {0.1 / 3, 0.1 / 3 + (1 - 0.1) / 1, 0.1 / 3}},
        NanCase{"middle", {0.0, kNaN, 2.0, 2.0}, 0.2,
                {0.2 / 4, 0.2 / 4, 0.2 / 4 + (1 - 0.2) / 2, 0.2 / 4 + (1 - 0.2) / 2}},
        NanCase{"firstBeforeTies", {kNaN, -1.0, -1.0}, 0.0, {0.0, 0.5, 0.5}},
        NanCase{"all", {kNaN, kNaN, kNaN}, 0.3,
                {0.3 / 3 + (1 - 0.3) / 3, 0.3 / 3 + (1 - 0.3) / 3, 0.3 / 3 + (1 - 0.3) / 3}},
        NanCase{"alone", {kNaN}, 0.05, {0.05 / 1 + (1 - 0.05) / 1}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(EpsilonGreedyTest, NanFreeInputsFollowTheLiteralRule) {
    static const double kPool[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1e300, -kInf, kInf, 0.1};
    std::mt19937_64 gen(11);
    for (int round = 0; round < 2000; ++round) {
        std::vector<double> e(1 + gen() % 6);
        for (double& x : e) x = kPool[gen() % std::size(kPool)];
        const double eps = std::vector<double>{0.0, 0.05, 0.1, 1.0 / 3, 1.0}[gen() % 5];
        SCOPED_TRACE(round);
        expect_same_list(greedy(e, eps), literal_greedy(e, eps));
    }
}

TEST(DrawKeyTest, KnownKeys) {
    EXPECT_EQ(rng::derive_key("", ""), 0xa8c7f832281a39c5ULL);
    EXPECT_EQ(rng::derive_key("abc:0", "abc"), 0xf574d186087a782eULL);
    EXPECT_EQ(rng::derive_key("abc:1", "abc"), 0xda8d4590ca518ac3ULL);
    // Only first carries a length, so moving bytes across the boundary matters.
    EXPECT_NE(rng::derive_key("ab", "c"), rng::derive_key("a", "bc"));
    EXPECT_EQ(rng::derive_key("", "\xff"), [] {
        std::vector<std::uint8_t> bytes(8, 0);
        bytes.push_back(0xff);
        return fnv1a(bytes);
    }());
}

TEST(DrawTest, KnownDraws) {
    const std::vector<double> p{0.03333333333333333, 0.48333333333333334, 0.48333333333333334};
    EXPECT_EQ(exploration::uniform(0xf574d186087a782eULL, 0), 0.26202898557879184);
    EXPECT_EQ(exploration::sample_index(p, 0xf574d186087a782eULL, 0), 1u);
    EXPECT_EQ(exploration::uniform(0xda8d4590ca518ac3ULL, 0), 0.7912588096600708);
    EXPECT_EQ(exploration::sample_index(p, 0xda8d4590ca518ac3ULL, 0), 2u);
    // The counter steps the key by the golden increment.
    EXPECT_EQ(exploration::uniform(5, 3), exploration::uniform(5 + 3 * 0x9e3779b97f4a7c15ULL, 0));
    // Key 0 mixes to 0: u = 0 skips zero-probability entries.
    EXPECT_EQ(exploration::uniform(0, 0), 0.0);
    EXPECT_EQ(exploration::sample_index(std::vector<double>{0.0, -0.0, 0.3, 0.7}, 0, 0), 2u);
}

TEST(DrawTest, ComparisonIsStrict) {
    const std::uint64_t key = 0xf574d186087a782eULL;
    const double u = exploration::uniform(key, 0);
    EXPECT_EQ(exploration::sample_index(std::vector<double>{u, 1.0 - u}, key, 0), 1u);
    const std::vector<double> just_above{std::nextafter(u, 1.0), 0.5};
    EXPECT_EQ(exploration::sample_index(just_above, key, 0), 0u);
}

TEST(DrawTest, FallsBackToLastIndexEvenWithZeroProbability) {
    const std::vector<double> p{0.5, 0.49999, 0.0};
    std::uint64_t counter = 0;
    while (exploration::uniform(42, counter) < 0.99999) ++counter;
    EXPECT_EQ(exploration::sample_index(p, 42, counter), 2u);
    EXPECT_EQ(exploration::sample_index(std::vector<double>{0.0}, 42, counter), 0u);
    EXPECT_EQ(exploration::sample_index(std::vector<double>{0.0, 0.0}, 0, 0), 1u);
}

}  // namespace
}  // namespace ordwyne
