// The reward model: exact values of update and estimate, the lazy scale and
// its fold at the floor.
#include <cmath>
#include <random>

#include "model.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;

Model fresh(std::uint64_t dim, double forgetting) {
    return *model::new_model(dim, forgetting, 1.0);
}

TEST(ModelTest, NeverForgetting) {
    Model m = fresh(8, 1.0);
    const FeatureVector x{{5, 1.0}};
    model::update(m, x, 1.0);
    EXPECT_EQ(m.a[5], 1.0);
    EXPECT_EQ(m.b[5], 1.0);
    EXPECT_EQ(m.scale, 1.0);
    EXPECT_EQ(model::estimate_factored(m, x), 0.5);
    model::update(m, x, 1.0);
    EXPECT_EQ(model::estimate_factored(m, x), 0.6666666666666666);
}

TEST(ModelTest, HalfForgetting) {
    Model m = fresh(8, 0.5);
    const FeatureVector x{{2, 1.0}};
    model::update(m, x, 1.0);
    EXPECT_EQ(m.a[2], 2.0);
    EXPECT_EQ(m.b[2], 2.0);
    EXPECT_EQ(m.scale, 0.5);
    EXPECT_EQ(model::estimate_factored(m, x), 0.5);
    model::update(m, x, 0.0);
    EXPECT_EQ(m.a[2], 6.0);
    EXPECT_EQ(m.b[2], 2.0);
    EXPECT_EQ(m.scale, 0.25);
    EXPECT_EQ(model::estimate_factored(m, x), 0.2);
}

TEST(ModelTest, ScaleHalvesExactlyAndFoldsAtTheFloor) {
    Model m = fresh(4, 0.5);
    model::update(m, {{1, 1.0}}, 1.0);  // a[1] = b[1] = 2
    for (int n = 2; n <= 511; ++n) {
        model::update(m, {}, 7.0);
        ASSERT_EQ(bits_of(m.scale), bits_of(std::ldexp(1.0, -n))) << n;
    }
    EXPECT_EQ(m.a[1], 2.0);
    // The 512th update lands exactly on 2**-512 and folds everything.
    model::update(m, {{0, 3.0}}, 2.0);
    EXPECT_EQ(m.scale, 1.0);
    EXPECT_EQ(m.a[0], 9.0);
    EXPECT_EQ(m.b[0], 6.0);
    EXPECT_EQ(m.a[1], 0x1p-511);
    EXPECT_EQ(m.b[1], 0x1p-511);
    EXPECT_SAME_DOUBLE(m.a[2], 0.0);
    EXPECT_SAME_DOUBLE(m.b[3], 0.0);
}

TEST(ModelTest, EmptyVectorsAndUntrainedCoordinates) {
    Model m = fresh(8, 0.5);
    EXPECT_SAME_DOUBLE(model::estimate_factored(m, {}), 0.0);
    EXPECT_SAME_DOUBLE(model::estimate_factored(m, {{0, -2.0}, {7, 3.0}}), 0.0);
    model::update(m, {{3, 1.0}}, 1.0);
    model::update(m, {}, 1.0);  // discounts only
    EXPECT_EQ(m.scale, 0.25);
    EXPECT_EQ(m.a[3], 2.0);
    EXPECT_EQ(m.b[3], 2.0);
    EXPECT_SAME_DOUBLE(model::estimate_factored(m, {{1, -4.0}}), 0.0);
    EXPECT_SAME_DOUBLE(model::estimate_factored(m, {}), 0.0);
}

TEST(ModelTest, RandomUpdatesMatchTheDefinitionBitForBit) {
    for (double forgetting : {1.0, 0.9, 0.5, 0.25}) {
        std::mt19937_64 gen(static_cast<std::uint64_t>(forgetting * 100));
        std::uniform_real_distribution<double> val(-3.0, 3.0);
        Model m = *model::new_model(16, forgetting, forgetting == 0.9 ? 0.3 : 1.0);
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
