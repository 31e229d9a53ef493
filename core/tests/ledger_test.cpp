// Resolving pending decisions: classification at the horizon, ledger order,
// duplicate ids, the hook paths, and a long randomized run against a plain
// vector-based ledger with linear scans.
#include <cmath>
#include <limits>
#include <random>

#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A train hook that logs its calls and fails on one chosen call (0: never).
struct Hook {
    explicit Hook(int fail_on = 0) : fail_at(fail_on) {}

    int fail_at;
    int calls = 0;
    std::vector<std::pair<std::string, std::uint64_t>> log;  // id, reward bits

    Status operator()(const DecisionRecord& r, double reward) {
        log.emplace_back(r.decision_id, bits_of(reward));
        if (++calls == fail_at) return fail(Error{"train failed"});
        return {};
    }
};

bool same_record(const DecisionRecord& x, const DecisionRecord& y) {
    if (x.decision_id != y.decision_id || bits_of(x.t) != bits_of(y.t) ||
        x.candidate_hash != y.candidate_hash || x.chosen != y.chosen ||
        bits_of(x.propensity) != bits_of(y.propensity) || x.model_version != y.model_version ||
        x.salt != y.salt || x.features.size() != y.features.size())
        return false;
    for (std::size_t i = 0; i < x.features.size(); ++i)
        if (x.features[i].index != y.features[i].index ||
            bits_of(x.features[i].value) != bits_of(y.features[i].value))
            return false;
    return true;
}

bool same_resolution(const Resolution& x, const Resolution& y) {
    return x.reward.has_value() && y.reward.has_value() &&
           bits_of(*x.reward) == bits_of(*y.reward) && x.decision_id == y.decision_id &&
           x.kind == y.kind;
}

// The ledger as a plain vector, resolved by linear scan and erase.
struct RefState {
    std::vector<DecisionRecord> ledger;
    RefModel model;
    std::uint64_t model_version = 0;
    double horizon, default_reward;

    bool due(const DecisionRecord& r, double t) const { return r.t + horizon <= t; }

    Result<std::optional<Resolution>> learn(std::string_view id, double reward, double t,
                                            Hook* hook) {
        auto it = std::find_if(ledger.begin(), ledger.end(),
                               [&](const DecisionRecord& r) { return r.decision_id == id; });
        if (it == ledger.end()) return std::optional<Resolution>{};
        DecisionRecord rec = *it;
        ledger.erase(it);
        const bool expired = due(rec, t);
        const double r = expired ? default_reward : reward;
        if (hook != nullptr) {
            ++model_version;
            if (auto st = (*hook)(rec, r); !st) return fail(st.error());
        } else {
            model.update(rec.features, r);
            ++model_version;
        }
        return Resolution{r, rec.decision_id,
                          expired ? ResolutionKind::Expired : ResolutionKind::Rewarded};
    }

    Result<std::vector<Resolution>> expire(double t, Hook* hook) {
        std::vector<Resolution> out;
        for (std::size_t i = 0; i < ledger.size();) {
            if (!due(ledger[i], t)) {
                ++i;
                continue;
            }
            DecisionRecord rec = ledger[i];
            ledger.erase(ledger.begin() + static_cast<std::ptrdiff_t>(i));
            if (hook == nullptr) model.update(rec.features, default_reward);
            ++model_version;
            out.push_back({default_reward, rec.decision_id, ResolutionKind::Expired});
            if (hook != nullptr)
                if (auto st = (*hook)(rec, default_reward); !st) return fail(st.error());
        }
        return out;
    }
};

Layout three_records(double horizon = 10.0) {
    Layout l;
    l.dim = 16;
    l.horizon = horizon;
    l.default_reward = -1.0;
    l.records = {make_record("r0", 0.0, {{1, 1.0}}), make_record("r1", 50.0, {{2, 1.0}}),
                 make_record("r2", 5.0, {{3, 2.0}})};
    return l;
}

std::vector<std::string> ids(const Bandit& b) {
    std::vector<std::string> out;
    for (const auto& r : records_of(b)) out.push_back(r.decision_id);
    return out;
}

TEST(LedgerTest, UnknownIdsAndEmptyLedgersChangeNothing) {
    Bandit b = make_bandit(4);
    Hook hook;
    EXPECT_FALSE(api::learn(b, "x:0", 1.0, 0.0).value().has_value());
    EXPECT_FALSE(api::learn(b, "x:0", 1.0, 0.0, hook).value().has_value());
    EXPECT_TRUE(api::expire(b, kInf).value().empty());
    Bandit loaded = load(three_records());
    EXPECT_FALSE(api::learn(loaded, "r", 1.0, 0.0, hook).value().has_value());
    EXPECT_FALSE(api::learn(loaded, "r00", 1.0, 0.0).value().has_value());
    EXPECT_TRUE(api::expire(loaded, 9.0).value().empty());
    EXPECT_EQ(hook.calls, 0);
    EXPECT_EQ(loaded.model_version, 0u);
    EXPECT_EQ(loaded.ledger.size(), 3u);
    EXPECT_TRUE(RefModel(16, 1.0).same_as(loaded.model));
}

TEST(LedgerTest, HorizonBoundaryIsComputedInDoubles) {
    // 0.1 + 0.2 is 0.30000000000000004: the reward at 0.3 still counts.
    for (bool with_hook : {false, true}) {
        Layout l = three_records(0.2);
        l.records[0].t = 0.1;
        Bandit b = load(l);
        Hook hook;
        TrainFn train = with_hook ? TrainFn(hook) : TrainFn();
        auto on_time = api::learn(b, "r0", 4.0, 0.3, train);
        ASSERT_TRUE(on_time.has_value() && on_time->has_value());
        EXPECT_EQ((*on_time)->kind, ResolutionKind::Rewarded);
        EXPECT_EQ((*on_time)->reward, 4.0);
        EXPECT_EQ(0.3, std::nextafter(0.1 + 0.2, 0.0));
        auto late = api::learn(b, "r2", 4.0, 5.0 + 0.2, train);
        ASSERT_TRUE(late.has_value() && late->has_value());
        EXPECT_EQ((*late)->kind, ResolutionKind::Expired);
        EXPECT_EQ((*late)->reward, -1.0);
        EXPECT_EQ(b.model_version, 2u);
    }
}

TEST(LedgerTest, NonFiniteTimesAreNeverDue) {
    Layout l = three_records(kInf);
    l.records[0].t = kNaN;
    l.records[1].t = -kInf;  // -inf + inf is NaN
    Bandit b = load(l);
    EXPECT_TRUE(api::expire(b, kNaN).value().empty());
    auto r = api::expire(b, kInf).value();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].decision_id, "r2");
    EXPECT_EQ(ids(b), (std::vector<std::string>{"r0", "r1"}));
    auto nan_t = api::learn(b, "r0", 2.0, kInf).value();
    EXPECT_EQ(nan_t->kind, ResolutionKind::Rewarded);
    auto nan_query = api::learn(b, "r1", 2.0, kNaN).value();
    EXPECT_EQ(nan_query->kind, ResolutionKind::Rewarded);
}

TEST(LedgerTest, DuplicateIdsResolveInLedgerOrder) {
    Layout l = three_records();
    l.records[0].decision_id = "d";
    l.records[2].decision_id = "d";
    l.records[0].t = 1000.0;  // the first is not due, the second is
    Bandit b = load(l);
    auto first = api::learn(b, "d", 3.0, 20.0).value();
    EXPECT_EQ(first->kind, ResolutionKind::Rewarded);
    EXPECT_EQ(ids(b), (std::vector<std::string>{"r1", "d"}));
    auto second = api::learn(b, "d", 3.0, 20.0).value();
    EXPECT_EQ(second->kind, ResolutionKind::Expired);
    EXPECT_FALSE(api::learn(b, "d", 3.0, 20.0).value().has_value());
    EXPECT_EQ(ids(b), (std::vector<std::string>{"r1"}));
}

TEST(LedgerTest, ExpireResolvesInLedgerOrderAndTrains) {
    Bandit b = load(three_records());
    RefModel ref(16, 1.0);
    auto r = api::expire(b, 15.0).value();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(same_resolution(r[0], {-1.0, "r0", ResolutionKind::Expired}));
    EXPECT_TRUE(same_resolution(r[1], {-1.0, "r2", ResolutionKind::Expired}));
    EXPECT_EQ(ids(b), (std::vector<std::string>{"r1"}));
    EXPECT_EQ(b.model_version, 2u);
    ref.update({{1, 1.0}}, -1.0);
    ref.update({{3, 2.0}}, -1.0);
    EXPECT_TRUE(ref.same_as(b.model));
}

TEST(LedgerTest, HookPathsCommitBeforeTheHookAndNeverTrain) {
    Layout l = three_records();
    l.records.push_back(make_record("r3", 1.0, {{4, 1.0}}));
    Bandit b = load(l);
    Hook hook(2);
    EXPECT_ERROR(api::expire(b, 15.0, hook), "train failed");
    EXPECT_EQ(ids(b), (std::vector<std::string>{"r1", "r3"}));
    EXPECT_EQ(b.model_version, 2u);
    ASSERT_EQ(hook.log.size(), 2u);
    EXPECT_EQ(hook.log[1], (std::pair<std::string, std::uint64_t>{"r2", bits_of(-1.0)}));

    Hook learn_hook(1);
    EXPECT_ERROR(api::learn(b, "r1", 7.0, 0.0, learn_hook), "train failed");
    EXPECT_EQ(learn_hook.log[0].second, bits_of(7.0));
    EXPECT_EQ(ids(b), (std::vector<std::string>{"r3"}));
    EXPECT_EQ(b.model_version, 3u);

    Hook ok;
    auto r = api::expire(b, 15.0, ok).value();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(b.model_version, 4u);
    EXPECT_TRUE(RefModel(16, 1.0).same_as(b.model));
}

// Long random runs of decide, learn and expire against RefState.
class LedgerRandomTest : public ::testing::TestWithParam<int> {};

TEST_P(LedgerRandomTest, MatchesLinearReference) {
    const int seed = GetParam();
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto chance = [&](double p) { return unit(gen) < p; };

    Layout l;
    l.dim = 16;
    l.forgetting = std::vector<double>{1.0, 0.5, 0.97}[seed % 3];
    l.horizon = seed % 4 == 3 ? kInf : 5.0;
    l.default_reward = seed % 2 ? -0.5 : 0.0;
    auto random_vector = [&] {
        FeatureVector v;
        for (std::uint64_t i = 0; i < 16; ++i)
            if (chance(0.25)) v.push_back({i, unit(gen) * 4 - 2});
        return v;
    };
    // Restored ids that repeat each other and that later decisions with salt
    // "s" repeat once more; spread in time so they meet the new ones.
    for (int k = 0; k < 40; ++k)
        l.records.push_back(make_record("s:" + std::to_string(k % 20),
                                        chance(0.2) ? kNaN : unit(gen) * 400, random_vector(),
                                        "s"));
    Bandit b = load(l);
    RefState ref{records_of(b), RefModel(16, l.forgetting), 0, l.horizon, l.default_reward};
    ASSERT_EQ(ref.ledger.size(), 40u);
    std::vector<std::string> resolved;
    double clock = 0.0;

    auto query_time = [&] {
        if (chance(0.05)) return kNaN;
        if (chance(0.03)) return chance(0.5) ? kInf : -kInf;
        if (!ref.ledger.empty() && chance(0.2)) {
            const double due = ref.ledger[gen() % ref.ledger.size()].t + l.horizon;
            return chance(0.5) ? due : std::nextafter(due, -kInf);
        }
        return clock + unit(gen) * 6 - 3;
    };

    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " step " << step);
        clock += unit(gen) * 0.5;
        Hook real_hook(static_cast<int>(gen() % 4)), ref_hook = real_hook;
        const bool use_hook = chance(0.4);
        TrainFn train = use_hook ? TrainFn(real_hook) : TrainFn();
        Hook* ref_train = use_hook ? &ref_hook : nullptr;
        const double op = unit(gen);
        if (op < 0.4) {
            // Winding the counter back, as a restored state may, repeats ids.
            if (chance(0.3)) b.decision_count = gen() % 4;
            std::vector<FeatureVector> vs(1 + gen() % 3);
            for (auto& v : vs) v = random_vector();
            const char* salt = std::vector<const char*>{"s", "s", "u", "s:1"}[gen() % 4];
            const double t = chance(0.05) ? kNaN : clock - unit(gen) * 2;
            auto r = decide::decide(b, vs, salt, {}, {}, t);
            ASSERT_TRUE(r.has_value());
            EXPECT_EQ(r->model_version, ref.model_version);
            ref.ledger.push_back(*r);
        } else if (op < 0.75) {
            std::string id = "never";
            if (!ref.ledger.empty() && chance(0.7))
                id = ref.ledger[gen() % ref.ledger.size()].decision_id;
            else if (!resolved.empty() && chance(0.6))
                id = resolved[gen() % resolved.size()];
            const double reward = unit(gen) * 4 - 2, t = query_time();
            auto got = api::learn(b, id, reward, t, train);
            auto want = ref.learn(id, reward, t, ref_train);
            ASSERT_EQ(got.has_value(), want.has_value());
            if (want.has_value()) {
                ASSERT_EQ(got->has_value(), want->has_value());
                if (want->has_value()) {
                    ASSERT_TRUE(same_resolution(**got, **want));
                    resolved.push_back(id);
                }
            } else {
                ASSERT_EQ(got.error(), want.error());
            }
        } else {
            const double t = query_time();
            auto got = api::expire(b, t, train);
            auto want = ref.expire(t, ref_train);
            ASSERT_EQ(got.has_value(), want.has_value());
            if (want.has_value()) {
                ASSERT_EQ(got->size(), want->size());
                for (std::size_t i = 0; i < want->size(); ++i)
                    ASSERT_TRUE(same_resolution((*got)[i], (*want)[i])) << "resolution " << i;
            } else {
                ASSERT_EQ(got.error(), want.error());
            }
        }
        ASSERT_EQ(real_hook.log, ref_hook.log);
        ASSERT_EQ(b.model_version, ref.model_version);
        ASSERT_TRUE(ref.model.same_as(b.model));
        const auto pending = records_of(b);
        ASSERT_EQ(pending.size(), ref.ledger.size());
        ASSERT_EQ(b.ledger.size(), ref.ledger.size());
        for (std::size_t i = 0; i < pending.size(); ++i)
            ASSERT_TRUE(same_record(pending[i], ref.ledger[i])) << "ledger position " << i;
        // A restored state must rebuild its indexes in the same ledger order.
        if (step % 701 == 700) b = std::move(*api::deserialize(api::serialize(b)));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LedgerRandomTest, ::testing::Range(1, 7));

}  // namespace
}  // namespace ordwyne
