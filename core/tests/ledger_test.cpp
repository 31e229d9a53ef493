// Resolving pending decisions: long randomized runs of decide, learn and
// expire against a plain vector ledger resolved by linear scans. The runs
// cover the horizon boundary, non-finite times, duplicate ids from restored
// states and rewound counters (a few each, or one id shared by hundreds of
// records), unknown ids, and failing train hooks. A state of 40,000 records
// under one id loads and resolves in any order in linear time.
#include <chrono>
#include <cmath>
#include <ctime>
#include <random>

#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;

// A train hook that logs its calls and fails on one chosen call (0: never).
struct Hook {
    int fail_at = 0, calls = 0;
    std::vector<std::pair<std::string, std::uint64_t>> log;  // id, reward bits

    Status operator()(const DecisionRecord& r, double reward) {
        log.emplace_back(r.decision_id, bits_of(reward));
        if (++calls == fail_at) return fail(Error{"train failed"});
        return {};
    }
};

// A result as one comparable value: the error text, or the resolutions.
using Outcome = std::pair<std::string, std::vector<std::tuple<std::uint64_t, std::string, int>>>;
Outcome outcome(const Result<std::vector<Resolution>>& r) {
    if (!r) return {r.error().message, {}};
    Outcome out{"ok", {}};
    for (const Resolution& x : *r)
        out.second.emplace_back(bits_of(x.reward.value()), x.decision_id, static_cast<int>(x.kind));
    return out;
}
Outcome outcome(const Result<std::optional<Resolution>>& r) {
    if (!r) return {r.error().message, {}};
    return outcome(r->has_value() ? std::vector{**r} : std::vector<Resolution>{});
}

// The ledger as a plain vector, resolved by linear scan and erase.
struct RefState {
    std::vector<DecisionRecord> ledger;
    RefModel model;
    std::uint64_t model_version = 0;
    double horizon, default_reward;

    // Resolves the pending records `pick` accepts, in ledger order: the first
    // only (learn) or all (expire). Each commits before its hook runs.
    Result<std::vector<Resolution>> resolve(auto pick, bool all, double reward, double t,
                                            Hook* hook) {
        std::vector<Resolution> out;
        for (std::size_t i = 0; i < ledger.size() && (all || out.empty());) {
            if (!pick(ledger[i])) {
                ++i;
                continue;
            }
            const DecisionRecord rec = ledger[i];
            ledger.erase(ledger.begin() + static_cast<std::ptrdiff_t>(i));
            const bool expired = rec.t + horizon <= t;
            const double r = expired ? default_reward : reward;
            if (hook == nullptr) model.update(rec.features, r);
            ++model_version;
            if (hook != nullptr)
                if (auto st = (*hook)(rec, r); !st) return fail(st.error());
            out.push_back({r, rec.decision_id, expired ? ResolutionKind::Expired
                                                       : ResolutionKind::Rewarded});
        }
        return out;
    }
};

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
    // "s" repeat once more; spread in time so they meet the new ones. With an
    // infinite horizon, -inf + inf is NaN and never due. From seed 7 on, long
    // chains: hundreds of records share two ids, and rewound counters keep
    // adding to them, so removals hit the first, middle and last of a chain.
    const bool long_chains = seed >= 7;
    const int restored = long_chains ? 400 : 40;
    for (int k = 0; k < restored; ++k) {
        const double t = chance(0.2) ? kNaN : chance(0.1) ? -kInf : unit(gen) * 400;
        const int id = long_chains ? (chance(0.9) ? 0 : 1) : k % 20;
        l.records.push_back(make_record("s:" + std::to_string(id), t, random_vector()));
    }
    Bandit b = api::deserialize(l.hex()).value();
    RefState ref{records_of(b), RefModel(16, l.forgetting), 0, l.horizon, l.default_reward};
    ASSERT_EQ(ref.ledger.size(), static_cast<std::size_t>(restored));
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
        Hook real_hook{static_cast<int>(gen() % 4), 0, {}}, ref_hook = real_hook;
        const bool use_hook = chance(0.4);
        TrainFn train = use_hook ? TrainFn(real_hook) : TrainFn();
        Hook* ref_train = use_hook ? &ref_hook : nullptr;
        const double op = unit(gen);
        if (op < 0.4) {
            // Winding the counter back, as a restored state may, repeats ids.
            if (chance(long_chains ? 0.8 : 0.3)) b.decision_count = gen() % (long_chains ? 2 : 4);
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
            auto same_id = [&](const DecisionRecord& r) { return r.decision_id == id; };
            const Outcome want = outcome(ref.resolve(same_id, false, reward, t, ref_train));
            ASSERT_EQ(outcome(api::learn(b, id, reward, t, train)), want);
            if (!want.second.empty()) resolved.push_back(id);
        } else {
            const double t = query_time();
            auto due = [&](const DecisionRecord& r) { return r.t + l.horizon <= t; };
            ASSERT_EQ(outcome(api::expire(b, t, train)),
                      outcome(ref.resolve(due, true, 0.0, t, ref_train)));
        }
        ASSERT_EQ(real_hook.log, ref_hook.log);
        ASSERT_EQ(b.model_version, ref.model_version);
        ASSERT_TRUE(ref.model.same_as(b.model));
        ASSERT_EQ(b.ledger.size(), ref.ledger.size());
        ASSERT_EQ(bits(records_of(b)), bits(ref.ledger));
        // A restored state must rebuild its indexes in the same ledger order.
        if (step % 701 == 700) b = api::deserialize(api::serialize(b)).value();
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LedgerRandomTest, ::testing::Range(1, 11));

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// One id on every record of a large restored state. Appending to the id's
// chain and taking a record out of its middle or end must not walk the
// chain: each phase below takes tens of seconds if either does, and a few
// hundredths of a second if neither does. The bound leaves room for
// sanitizers and a loaded machine.
TEST(LedgerScaleTest, OneIdOnEveryRecord) {
    constexpr std::size_t kN = 40000;
    constexpr double kBound = 2.0;  // CPU seconds per phase
    Layout l;
    l.horizon = 1.0;
    // Ledger order 0..n-1; record i is due at time n - i, so the latest
    // copies fall due first.
    for (std::size_t i = 0; i < kN; ++i)
        l.records.push_back(make_record("dup", static_cast<double>(kN - i) - 1.0, {{1, 1.0}}));
    const std::string hex = l.hex();

    double start = cpu_seconds();
    Bandit b = api::deserialize(hex).value();
    ASSERT_LT(cpu_seconds() - start, kBound) << "loading";
    ASSERT_EQ(b.ledger.size(), kN);

    // The later half in one expire, each removal from the end of the chain.
    start = cpu_seconds();
    const auto late = api::expire(b, static_cast<double>(kN / 2), {}).value();
    ASSERT_LT(cpu_seconds() - start, kBound) << "expire of the later half";
    ASSERT_EQ(late.size(), kN / 2);
    EXPECT_EQ(b.model_version, kN / 2);

    // learn takes the chain's first; then the rest one at a time from the
    // back, with a train hook, each the last of a long chain.
    std::size_t trained = 0;
    auto count = [&](const DecisionRecord&, double) -> Status {
        ++trained;
        return {};
    };
    start = cpu_seconds();
    ASSERT_EQ(api::learn(b, "dup", 1.0, 0.0, {}).value()->decision_id, "dup");
    for (std::size_t due = kN / 2 + 1; due <= kN - 1; ++due)
        ASSERT_EQ(api::expire(b, static_cast<double>(due), TrainFn(count)).value().size(), 1u);
    ASSERT_LT(cpu_seconds() - start, kBound) << "expire one by one";
    EXPECT_EQ(trained, kN / 2 - 1);
    ASSERT_EQ(b.ledger.size(), 0u);
    EXPECT_EQ(b.model_version, kN);
}

}  // namespace
}  // namespace ordwyne
