// Creation, its check order, model_bits, and the error catalogue's one
// formatted message.
#include <cmath>
#include <limits>

#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ErrorTest, VersionMessageIsPlainDecimal) {
    EXPECT_EQ(error::unsupported_version(2).message, "unsupported state format version 2");
    EXPECT_EQ(error::unsupported_version(0).message, "unsupported state format version 0");
    EXPECT_EQ(error::unsupported_version(18446744073709551615ULL).message,
              "unsupported state format version 18446744073709551615");
}

struct CreateCase {
    const char* label;
    std::uint32_t bits;
    double horizon, epsilon, forgetfulness;
    const char* message;  // null: accepted
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << c.label; }

class CreateTest : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateTest, ChecksInOrder) {
    const auto& c = GetParam();
    auto r = api::create(c.bits, c.horizon, 0.0, c.epsilon, c.forgetfulness);
    if (c.message == nullptr) {
        ASSERT_TRUE(r.has_value()) << r.error().message;
        EXPECT_EQ(r->model.dim, std::uint64_t{1} << c.bits);
        EXPECT_EQ(api::model_bits(*r).value(), c.bits);
        EXPECT_SAME_DOUBLE(r->horizon, c.horizon);
        EXPECT_SAME_DOUBLE(r->epsilon, c.epsilon);
        EXPECT_SAME_DOUBLE(r->model.forgetting, c.forgetfulness);
    } else {
        EXPECT_ERROR(r, c.message);
    }
}

constexpr const char* kBitsMsg = "bits must be between 1 and 24";
constexpr const char* kHorizonMsg = "horizon must be positive";
constexpr const char* kEpsilonMsg = "epsilon must be in [0, 1]";
constexpr const char* kForgetMsg = "forgetting must be in (0, 1] (1.0 = never forget)";

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateTest,
    ::testing::Values(
        CreateCase{"bits1", 1, 1.0, 0.05, 0.999, nullptr},
        CreateCase{"bits24", 24, 1.0, 0.05, 0.999, nullptr},
        CreateCase{"horizonInf", 4, kInf, 0.0, 1.0, nullptr},
        CreateCase{"epsilonOne", 4, 1.0, 1.0, 1.0, nullptr},
        CreateCase{"bits0", 0, 1.0, 0.05, 0.999, kBitsMsg},
        CreateCase{"bits25", 25, 1.0, 0.05, 0.999, kBitsMsg},
        CreateCase{"bitsBeforeAll", 0, kNaN, kNaN, kNaN, kBitsMsg},
        CreateCase{"horizonZero", 4, 0.0, 2.0, 0.0, kHorizonMsg},
        CreateCase{"horizonNeg", 4, -1.0, 0.05, 0.999, kHorizonMsg},
        CreateCase{"horizonNaN", 4, kNaN, 0.05, 0.999, kHorizonMsg},
        CreateCase{"epsilonNeg", 4, 1.0, -0.1, 0.0, kEpsilonMsg},
        CreateCase{"epsilonHigh", 4, 1.0, 1.1, 0.999, kEpsilonMsg},
        CreateCase{"epsilonNaN", 4, 1.0, kNaN, kNaN, kEpsilonMsg},
        CreateCase{"forgetZero", 4, 1.0, 0.0, 0.0, kForgetMsg},
        CreateCase{"forgetHigh", 4, 1.0, 0.0, 1.5, kForgetMsg},
        CreateCase{"forgetNaN", 4, 1.0, 0.0, kNaN, kForgetMsg}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(CreateTest, FreshStateAndDefaultRewardUnchecked) {
    const double odd_reward = from_bits(0x7ff8000000000123ULL);  // NaN with a payload
    for (double reward : {odd_reward, kInf, -kInf}) {
        auto r = api::create(3, 5.0, reward, 0.1, 0.9);
        ASSERT_TRUE(r.has_value());
        EXPECT_SAME_DOUBLE(r->default_reward, reward);
        EXPECT_EQ(r->decision_count, 0u);
        EXPECT_EQ(r->model_version, 0u);
        EXPECT_TRUE(r->ledger.empty());
        EXPECT_EQ(r->model.ridge, 1.0);
        EXPECT_EQ(r->model.scale, 1.0);
        ASSERT_EQ(r->model.a.size(), 8u);
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_SAME_DOUBLE(r->model.a[i], 0.0);
            EXPECT_SAME_DOUBLE(r->model.b[i], 0.0);
        }
        EXPECT_EQ(api::model_bits(*r).value(), 3u);
    }
}

TEST(NewModelTest, ChecksInOrder) {
    EXPECT_ERROR(model::new_model(0, kNaN, -1.0), "dim must be at least 1");
    for (double f : {0.0, 1.5, kNaN, -0.0})
        EXPECT_ERROR(model::new_model(4, f, 0.0), kForgetMsg);
    for (double ridge : {0.0, -1.0, kNaN})
        EXPECT_ERROR(model::new_model(4, 1.0, ridge), "ridge must be positive");
    auto m = model::new_model(3, 1.0, 0.25);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->dim, 3u);
    EXPECT_EQ(m->ridge, 0.25);
    EXPECT_EQ(m->forgetting, 1.0);
}

TEST(ModelBitsTest, RefusesDimensionsNotBuiltByCreate) {
    constexpr const char* kMsg =
        "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()";
    for (std::uint64_t dim : {1ULL, 3ULL, 6ULL, 1ULL << 25}) {
        Bandit b = make_bandit(1);
        b.model.dim = dim;  // only the dimension is read
        EXPECT_ERROR(api::model_bits(b), kMsg);
    }
    Layout l;
    l.dim = 3;
    Bandit restored = load(l);
    EXPECT_ERROR(api::model_bits(restored), kMsg);
}

}  // namespace
}  // namespace ordwyne
