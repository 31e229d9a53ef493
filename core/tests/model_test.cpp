// Creation and its check order, model_bits, and the reward model: exact
// values, the fold at the scale floor, and a randomized comparison with the
// model written from its definition.
#include <array>
#include <random>

#include "model.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
using Doubles = std::vector<double>;
constexpr const char* kForgetMsg = "forgetting must be in (0, 1] (1.0 = never forget)";

TEST(CreateTest, ChecksInOrderAndModelBits) {
    constexpr const char* kBits = "bits must be between 1 and 24";
    constexpr const char* kHorizon = "horizon must be positive";
    constexpr const char* kEpsilon = "epsilon must be in [0, 1]";
    const std::tuple<std::uint32_t, double, double, double, const char*> cases[] = {
        {1, 1.0, 0.05, 0.999, nullptr}, {24, kInf, 1.0, 1.0, nullptr},
        {0, kNaN, kNaN, kNaN, kBits},   {25, 1.0, 0.05, 0.999, kBits},
        {4, 0.0, 2.0, 0.0, kHorizon},   {4, kNaN, 0.05, 0.999, kHorizon},
        {4, 1.0, -0.1, 0.0, kEpsilon},  {4, 1.0, 1.1, 0.999, kEpsilon},
        {4, 1.0, kNaN, kNaN, kEpsilon}, {4, 1.0, 0.0, 0.0, kForgetMsg},
        {4, 1.0, 0.0, 1.5, kForgetMsg}, {4, 1.0, 0.0, kNaN, kForgetMsg},
    };
    // The default reward is never checked: a NaN with a payload is kept as is.
    const double reward = from_bits(0x7ff8000000000123ULL);
    for (const auto& [bits, horizon, epsilon, forgetting, message] : cases) {
        auto r = api::create(bits, horizon, reward, epsilon, forgetting);
        if (message != nullptr) {
            EXPECT_ERROR(r, message) << bits << " " << horizon << " " << epsilon;
            continue;
        }
        EXPECT_EQ(api::model_bits(r.value()).value(), bits);
        EXPECT_EQ(std::tuple(bits_of(r->horizon), bits_of(r->epsilon), bits_of(r->default_reward),
                             bits_of(r->model.forgetting), r->model.ridge, r->decision_count,
                             r->model_version, r->ledger.size()),
                  std::tuple(bits_of(horizon), bits_of(epsilon), bits_of(reward),
                             bits_of(forgetting), 1.0, 0u, 0u, 0u));
        if (bits == 1) {
            EXPECT_TRUE(RefModel(2, forgetting).same_as(r->model));
        }
    }
    EXPECT_ERROR(model::new_model(0, kNaN, -1.0), "dim must be at least 1");
    EXPECT_ERROR(model::new_model(4, -0.0, 0.0), kForgetMsg);
    for (double ridge : {0.0, kNaN})
        EXPECT_ERROR(model::new_model(4, 1.0, ridge), "ridge must be positive");
    EXPECT_EQ(model::new_model(3, 1.0, 0.25).value().ridge, 0.25);
    // Only the dimension is read; a restored state may carry any.
    for (std::uint64_t dim : {1ULL, 3ULL, 1ULL << 25}) {
        Bandit b = make_bandit(1);
        b.model.dim = dim;
        EXPECT_ERROR(api::model_bits(b), "model dimension is not 2**bits for bits in [1, 24]; "
                                         "the state was not built by create()");
    }
}

TEST(ModelTest, KnownValuesAndTheFoldAtTheFloor) {
    // forgetting, then per update: reward, a, b, scale, estimate at index 5.
    const std::vector<std::pair<double, std::vector<std::array<double, 5>>>> runs{
        {1.0, {{1.0, 1.0, 1.0, 1.0, 0.5}, {1.0, 2.0, 2.0, 1.0, 0.6666666666666666}}},
        {0.5, {{1.0, 2.0, 2.0, 0.5, 0.5}, {0.0, 6.0, 2.0, 0.25, 0.2}}},
    };
    for (const auto& [forgetting, steps] : runs) {
        Model m = model::new_model(8, forgetting, 1.0).value();
        for (const auto& [reward, a, b, scale, estimate] : steps) {
            model::update(m, {{5, 1.0}}, reward);
            EXPECT_EQ(Doubles({m.a[5], m.b[5], m.scale, model::estimate_factored(m, {{5, 1.0}})}),
                      Doubles({a, b, scale, estimate}));
        }
    }
    Model m = model::new_model(4, 0.5, 1.0).value();
    model::update(m, {{1, 1.0}}, 1.0);  // a[1] = b[1] = 2
    for (int n = 2; n <= 511; ++n) model::update(m, {}, 7.0);
    EXPECT_EQ(m.scale, 0x1p-511);
    EXPECT_EQ(m.a[1], 2.0);
    // The 512th update lands exactly on 2**-512 and folds everything.
    model::update(m, {{0, 3.0}}, 2.0);
    EXPECT_EQ(bits(Doubles{m.scale, m.a[0], m.b[0], m.a[1], m.b[1], m.a[2]}),
              bits(Doubles{1.0, 9.0, 6.0, 0x1p-511, 0x1p-511, 0.0}));
}

TEST(ModelTest, RandomUpdatesMatchTheDefinitionBitForBit) {
    for (double forgetting : {1.0, 0.9, 0.5, 0.25}) {
        std::mt19937_64 gen(static_cast<std::uint64_t>(forgetting * 100));
        std::uniform_real_distribution<double> val(-3.0, 3.0);
        Model m = model::new_model(16, forgetting, forgetting == 0.9 ? 0.3 : 1.0).value();
        RefModel ref(16, forgetting);
        ref.ridge = m.ridge;
        for (int step = 0; step < 3000; ++step) {
            FeatureVector x;
            for (std::uint64_t i = 0; i < 16; ++i)
                if (gen() % 4 == 0) x.push_back({i, val(gen)});
            const double r = val(gen);
            model::update(m, x, r);
            ref.update(x, r);
            ASSERT_TRUE(ref.same_as(m)) << "forgetting " << forgetting << " step " << step;
            ASSERT_EQ(bits_of(model::estimate_factored(m, x)), bits_of(ref.estimate(x)));
        }
    }
}

}  // namespace
}  // namespace ordwyne
