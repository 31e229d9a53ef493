// Engine benchmarks over the standard workload (workload.hpp).
//
// Figures only; nothing here asserts on time. Run with
//   ordwyne_engine_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
// and read the medians.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api.hpp"
#include "exploration.hpp"
#include "model.hpp"
#include "rng.hpp"
#include "state.hpp"
#include "states.hpp"
#include "workload.hpp"

namespace {

using namespace ordwyne;
using bench::Workload;

const Workload& workload() {
    static const Workload w;
    return w;
}

Bandit trained(std::size_t n, std::uint32_t bits = bench::kBits) {
    return bench::trained_bandit(workload(), n, bits);
}

Bandit fresh() { return bench::fresh_bandit(); }

using bench::id_of;

// Pre-encoded plans: context tokens per plan and the 10 vectors of each.
struct Encoded {
    std::vector<TokenList> tokens;                   // per plan
    std::vector<std::vector<FeatureVector>> vectors; // per plan, 10 each
    std::size_t entries = 0;                         // over all vectors
};

const Encoded& encoded() {
    static const Encoded e = [] {
        const Workload& w = workload();
        Encoded out;
        for (std::size_t p = 0; p < bench::kPlans; ++p) {
            out.tokens.push_back(encoding::context_tokens(w.context(p)));
            std::vector<FeatureVector> vs;
            for (const Candidate& c : w.candidates(p)) {
                vs.push_back(*encoding::encode_with_context(out.tokens.back(), c.name, c.features,
                                                            bench::kBits));
                out.entries += vs.back().size();
            }
            out.vectors.push_back(std::move(vs));
        }
        return out;
    }();
    return e;
}

// ---------------------------------------------------------------- decide

// One decision and, right away, its outcome: the ledger holds at most one
// record, so this is decide + learn at the smallest ledger.
void BM_decide_then_learn(benchmark::State& st) {
    const Workload& w = workload();
    Bandit b = trained(20000);
    std::uint64_t i = 20000;
    for (auto _ : st) {
        auto rec = api::decide(b, w.context(i), w.candidates(i), bench::kSalt, {}, {},
                               Workload::time(i));
        auto res = api::learn(b, rec->decision_id, Workload::reward(i), Workload::time(i));
        benchmark::DoNotOptimize(res);
        ++i;
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_decide_then_learn)->Name("api_decide/learn_each_at_once");

// Decisions only, the ledger cleared by one expire every 4096 decisions
// (its cost amortised into the figure): the ledger stays below 4096.
void BM_decide_expire_every_4096(benchmark::State& st) {
    const Workload& w = workload();
    Bandit b = trained(20000);
    std::uint64_t i = 20000;
    for (auto _ : st) {
        auto rec = api::decide(b, w.context(i), w.candidates(i), bench::kSalt, {}, {},
                               Workload::time(i));
        benchmark::DoNotOptimize(rec);
        if ((i & 4095) == 4095) {
            auto res = api::expire(b, Workload::time(i) + bench::kHorizon);
            benchmark::DoNotOptimize(res);
        }
        ++i;
    }
    st.SetItemsProcessed(st.iterations());
}
BENCHMARK(BM_decide_expire_every_4096)->Name("api_decide/expire_every_4096");

// ---------------------------------------------------------------- parts

void BM_context_tokens(benchmark::State& st) {
    const Workload& w = workload();
    std::size_t i = 0;
    for (auto _ : st) {
        TokenList t = encoding::context_tokens(w.context(i++));
        benchmark::DoNotOptimize(t);
    }
}
BENCHMARK(BM_context_tokens)->Name("encoding/context_tokens");

// The encoder api::decide uses: one per decision, all 10 candidates.
void encode_decisions(benchmark::State& st) {
    const Workload& w = workload();
    const Encoded& e = encoded();
    FeatureVector out;
    std::size_t p = 0;
    for (auto _ : st) {
        encoding::CandidateEncoder encoder(e.tokens[p], bench::kBits);
        for (const Candidate& c : w.candidates(p)) {
            encoder.encode(c.name, c.features, out);
            benchmark::DoNotOptimize(out.data());
        }
        p = (p + 1) % bench::kPlans;
    }
}

void BM_candidate_encoder(benchmark::State& st) {
    encode_decisions(st);
    const Encoded& e = encoded();
    st.counters["entries"] =
        static_cast<double>(e.entries) / static_cast<double>(bench::kPlans * bench::kCandidates);
}
BENCHMARK(BM_candidate_encoder)->Name("encoding/candidate_encoder_10_candidates");

void BM_encode_with_context(benchmark::State& st) {
    const Workload& w = workload();
    const Encoded& e = encoded();
    std::size_t i = 0;
    for (auto _ : st) {
        const std::size_t p = (i / bench::kCandidates) % bench::kPlans;
        const Candidate& c = w.candidates(p)[i % bench::kCandidates];
        auto v = encoding::encode_with_context(e.tokens[p], c.name, c.features, bench::kBits);
        benchmark::DoNotOptimize(v);
        ++i;
    }
}
BENCHMARK(BM_encode_with_context)->Name("encoding/encode_with_context_one_candidate");

// ---------------------------------------------------------------- encoder kernels and input size
// (encoder block: the pair-hashing kernels, and decisions whose inputs grow)

// The decision's encoder with each pair-hashing kernel the machine runs.
void BM_candidate_encoder_kernel(benchmark::State& st) {
    const auto kernel = static_cast<encoding::HashKernel>(st.range(0));
    if (!encoding::kernel_supported(kernel)) {
        st.SkipWithError("kernel not supported here");
        return;
    }
    const encoding::HashKernel before = encoding::active_kernel();
    encoding::use_kernel(kernel);
    encode_decisions(st);
    encoding::use_kernel(before);
}
BENCHMARK(BM_candidate_encoder_kernel)
    ->Name("encoding/candidate_encoder_10_candidates/kernel")
    ->ArgName("portable0_avx2_1_avx512_2")
    ->Arg(static_cast<int>(encoding::HashKernel::Portable))
    ->Arg(static_cast<int>(encoding::HashKernel::Avx2))
    ->Arg(static_cast<int>(encoding::HashKernel::Avx512));

// One decision with one candidate whose context or own feature list has n
// features, named so that their input order is the reverse of name order
// (or all with one name). The figure that matters is the time per raw entry
// (context tokens x candidate parts): it must stay flat as n grows.
enum class Grow { Context, Candidate };
enum class Names { Reversed, Equal };

struct BigInput {
    std::vector<std::string> names;
    NamedFeatures context;
    std::vector<Candidate> candidates;
    double raw_entries = 0;
};

BigInput big_input(Grow grow, Names names, std::size_t n) {
    BigInput in;
    in.names.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "feature_%09zu", n - i);
        in.names.push_back(names == Names::Equal ? std::string("feature") : std::string(buf));
    }
    NamedFeatures features;
    features.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        features.push_back({in.names[i], Value::of_number(1.0 + static_cast<double>(i % 7))});
    }
    if (grow == Grow::Context) {
        in.context = std::move(features);
        in.candidates.push_back(Candidate{"only", {}});
        in.raw_entries = static_cast<double>(n + 1) * 2.0;
    } else {
        in.context = {{"device", Value::of_text("phone")}};
        in.candidates.push_back(Candidate{"only", std::move(features)});
        in.raw_entries = 2.0 * static_cast<double>(n + 2);
    }
    return in;
}

template <Grow G, Names N>
void BM_growing_input(benchmark::State& st) {
    const BigInput in = big_input(G, N, static_cast<std::size_t>(st.range(0)));
    Bandit b = fresh();
    for (auto _ : st) {
        auto rec = api::decide(b, in.context, in.candidates, bench::kSalt, {}, {}, 0.0);
        benchmark::DoNotOptimize(rec);
        st.PauseTiming();
        (void)api::learn(b, rec->decision_id, 0.0, 0.0);
        st.ResumeTiming();
    }
    st.counters["raw_entries"] = in.raw_entries;
    st.counters["ns_per_raw_entry"] = benchmark::Counter(
        in.raw_entries, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// Sizes from 10^3 by tens to the largest each shape is run at.
const bool kGrowingRegistered = [] {
    const auto grow = [](const char* name, void (*fn)(benchmark::State&), std::int64_t largest) {
        benchmark::RegisterBenchmark(name, fn)
            ->RangeMultiplier(10)->Range(1000, largest)->Unit(benchmark::kMillisecond);
    };
    grow("decide_growing/context_features_reversed",
         BM_growing_input<Grow::Context, Names::Reversed>, 1000000);
    grow("decide_growing/context_features_equal_names",
         BM_growing_input<Grow::Context, Names::Equal>, 1000000);
    grow("decide_growing/candidate_features_reversed",
         BM_growing_input<Grow::Candidate, Names::Reversed>, 100000);
    grow("decide_growing/candidate_features_equal_names",
         BM_growing_input<Grow::Candidate, Names::Equal>, 100000);
    return true;
}();

// (end of encoder block)

void BM_estimate_factored(benchmark::State& st) {
    const Encoded& e = encoded();
    const Bandit b = trained(20000);
    std::size_t i = 0;
    for (auto _ : st) {
        const std::size_t p = (i / bench::kCandidates) % bench::kPlans;
        double x = model::estimate_factored(b.model, e.vectors[p][i % bench::kCandidates]);
        benchmark::DoNotOptimize(x);
        ++i;
    }
}
BENCHMARK(BM_estimate_factored)->Name("model/estimate_factored_one_candidate");

// Epsilon-greedy over 10 estimates, the draw key and the draw.
void BM_explore_and_draw(benchmark::State& st) {
    const Encoded& e = encoded();
    const Bandit b = trained(20000);
    std::vector<std::vector<double>> estimates(bench::kPlans);
    std::vector<std::string> ids(bench::kPlans);
    for (std::size_t p = 0; p < bench::kPlans; ++p) {
        for (const FeatureVector& v : e.vectors[p]) {
            estimates[p].push_back(model::estimate_factored(b.model, v));
        }
        ids[p] = id_of(20000 + p);
    }
    std::size_t i = 0;
    for (auto _ : st) {
        const std::size_t p = i++ % bench::kPlans;
        auto probs = exploration::epsilon_greedy_probabilities(estimates[p], bench::kEpsilon);
        const std::uint64_t key = rng::derive_key(ids[p], bench::kSalt);
        std::uint64_t chosen = exploration::sample_index(*probs, key, 0);
        benchmark::DoNotOptimize(chosen);
    }
}
BENCHMARK(BM_explore_and_draw)->Name("exploration/epsilon_greedy+derive_key+sample_index");

void BM_candidate_set_hash(benchmark::State& st) {
    const Encoded& e = encoded();
    std::size_t i = 0;
    for (auto _ : st) {
        std::uint64_t h =
            decide::candidate_set_hash(e.vectors[i++ % bench::kPlans], std::uint64_t{1} << bench::kBits);
        benchmark::DoNotOptimize(h);
    }
    st.counters["bytes"] = 8.0 + 10.0 * 16.0 +
                           16.0 * static_cast<double>(e.entries) / static_cast<double>(bench::kPlans);
}
BENCHMARK(BM_candidate_set_hash)->Name("decide/candidate_set_hash_10_vectors");

void BM_model_update(benchmark::State& st) {
    const Encoded& e = encoded();
    Bandit b = trained(20000);
    std::size_t i = 0;
    for (auto _ : st) {
        const std::size_t p = (i / bench::kCandidates) % bench::kPlans;
        model::update(b.model, e.vectors[p][i % bench::kCandidates], Workload::reward(i));
        benchmark::ClobberMemory();
        ++i;
    }
}
BENCHMARK(BM_model_update)->Name("model/update_one_vector");

// ---------------------------------------------------------------- ledger

// A bandit kept at about `size` pending decisions. Filling 10^6 takes
// seconds, so each size is built once and reused across runs.
struct Pending {
    Bandit bandit = trained(20000);
    std::uint64_t next = 20000;           // next decision number
    std::vector<std::uint64_t> pending;   // decision numbers still in the ledger
    bench::SplitMix64 pick{bench::kSeed};

    void fill(std::size_t size) {
        const Workload& w = workload();
        while (bandit.ledger.size() < size) {
            auto rec = api::decide(bandit, w.context(next), w.candidates(next), bench::kSalt, {},
                                   {}, Workload::time(next));
            benchmark::DoNotOptimize(rec);
            pending.push_back(next++);
        }
    }
    // Takes a random pending decision out of the pool (not yet learned).
    std::uint64_t take_random() {
        const std::size_t j = pick.below(pending.size());
        const std::uint64_t d = pending[j];
        pending[j] = pending.back();
        pending.pop_back();
        return d;
    }
};

Pending& pending_at(std::size_t size) {
    static std::map<std::size_t, std::unique_ptr<Pending>> cache;
    auto& slot = cache[size];
    if (!slot) {
        slot = std::make_unique<Pending>();
        slot->fill(size);
    }
    return *slot;
}

// learn of random pending ids; every batch of 1000 (100 at 10^3) the ledger
// is topped up again outside the timed region, so it stays in [N - batch, N].
void BM_learn_at(benchmark::State& st) {
    const std::size_t size = static_cast<std::size_t>(st.range(0));
    const std::size_t batch = size >= 10000 ? 1000 : size / 10;
    Pending& pool = pending_at(size);
    std::vector<std::pair<std::string, std::uint64_t>> ids;
    for (auto _ : st) {
        if (ids.empty()) {
            st.PauseTiming();
            pool.fill(size);
            for (std::size_t k = 0; k < batch; ++k) {
                const std::uint64_t d = pool.take_random();
                ids.emplace_back(id_of(d), d);
            }
            st.ResumeTiming();
        }
        const auto& [id, d] = ids.back();
        auto res = api::learn(pool.bandit, id, Workload::reward(d), Workload::time(d));
        benchmark::DoNotOptimize(res);
        ids.pop_back();
    }
    // Learn what was taken but not learned, so the pool stays consistent.
    for (const auto& [id, d] : ids) (void)api::learn(pool.bandit, id, 0.0, Workload::time(d));
    st.counters["pending"] = static_cast<double>(pool.bandit.ledger.size());
}
BENCHMARK(BM_learn_at)->Name("api_learn/pending")->Arg(1000)->Arg(100000)->Arg(1000000);

// expire with nothing due: every pending decision has t >= 0, so at t = 0
// none has reached t + horizon.
void BM_expire_nothing_due(benchmark::State& st) {
    const std::size_t size = static_cast<std::size_t>(st.range(0));
    Pending& pool = pending_at(size);
    pool.fill(size);
    for (auto _ : st) {
        auto res = api::expire(pool.bandit, 0.0);
        benchmark::DoNotOptimize(res);
    }
    st.counters["pending"] = static_cast<double>(pool.bandit.ledger.size());
}
BENCHMARK(BM_expire_nothing_due)->Name("api_expire_nothing_due/pending")->Arg(1000000);

// Heap bytes per pending record, from the allocator's own count: one
// measurement of 10^5 decisions appended to a fresh ledger.
void BM_ledger_bytes_per_record(benchmark::State& st) {
    const Workload& w = workload();
    const std::size_t n = 100000;
    double per = 0.0;
    for (auto _ : st) {
        Bandit b = fresh();
        const std::size_t before = mallinfo2().uordblks;
        for (std::uint64_t i = 0; i < n; ++i) {
            auto rec = api::decide(b, w.context(i), w.candidates(i), bench::kSalt, {}, {},
                                   Workload::time(i));
            benchmark::DoNotOptimize(rec);
        }
        const std::size_t after = mallinfo2().uordblks;
        per = static_cast<double>(after - before) / static_cast<double>(n);
    }
    st.counters["heap_bytes_per_record"] = per;
}
BENCHMARK(BM_ledger_bytes_per_record)
    ->Name("ledger/heap_bytes_per_pending_record")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- state

// The persistence states of states.hpp, each built once.
const Bandit& big_state(std::uint32_t bits, bench::Fill fill) {
    static std::map<std::pair<std::uint32_t, bench::Fill>, std::unique_ptr<Bandit>> cache;
    auto& slot = cache[{bits, fill}];
    if (!slot) slot = std::make_unique<Bandit>(bench::persistence_state(workload(), bits, fill));
    return *slot;
}

int iterations_for(std::uint32_t bits) { return bits <= 16 ? 50 : bits <= 20 ? 10 : 3; }

void state_args(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond);
    b->UseRealTime();
}

// What each state benchmark starts from, prepared outside the timing.
const Bandit* the_state(const Bandit& b) { return &b; }
std::string as_text(const Bandit& b) { return api::serialize(b); }
std::vector<std::uint8_t> as_bytes(const Bandit& b) { return state::serialize(b); }
// Bytes whose stored checksum is wrong are refused right after the checksum
// is computed (the magic check before it is 8 bytes), so reading them times
// the engine's own checksum, whatever it does to compute it.
std::vector<std::uint8_t> as_rejected_bytes(const Bandit& b) {
    auto bytes = state::serialize(b);
    bytes.back() ^= 1;
    return bytes;
}

// The timed operations.
std::string serialize_text(const Bandit* b) { return api::serialize(*b); }
std::vector<std::uint8_t> serialize_bytes(const Bandit* b) { return state::serialize(*b); }
Result<Bandit> deserialize_text(const std::string& text) { return api::deserialize(text); }
Result<Bandit> deserialize_bytes(const std::vector<std::uint8_t>& bytes) {
    return state::deserialize(bytes);
}
Result<std::vector<std::uint8_t>> decode_hex(const std::string& text) {
    return state::decode_hex(text);
}

template <std::uint32_t Bits, bench::Fill F, auto Input, auto Run>
void BM_state(benchmark::State& st) {
    const auto input = Input(big_state(Bits, F));
    for (auto _ : st) {
        auto out = Run(input);
        benchmark::DoNotOptimize(out);
    }
}

#define BM_serialize(B, F) BM_state<B, F, the_state, serialize_text>
#define BM_serialize_bytes(B, F) BM_state<B, F, the_state, serialize_bytes>
#define BM_checksum(B, F) BM_state<B, F, as_rejected_bytes, deserialize_bytes>
#define BM_deserialize(B, F) BM_state<B, F, as_text, deserialize_text>
#define BM_decode_hex(B, F) BM_state<B, F, as_text, decode_hex>
#define BM_deserialize_bytes(B, F) BM_state<B, F, as_bytes, deserialize_bytes>

#define STATE_BENCH(fn, label, bits, fill)                                              \
    BENCHMARK(fn(bits, bench::Fill::fill))                                               \
        ->Name(label "/bits:" #bits "/" #fill)                                           \
        ->Iterations(iterations_for(bits))                                               \
        ->Apply(state_args)

STATE_BENCH(BM_serialize, "state/api_serialize", 16, Populated);
STATE_BENCH(BM_serialize_bytes, "state/serialize_bytes", 16, Populated);
STATE_BENCH(BM_checksum, "state/checksum_via_rejected_bytes", 16, Populated);
STATE_BENCH(BM_deserialize, "state/api_deserialize", 16, Populated);
STATE_BENCH(BM_decode_hex, "state/decode_hex", 16, Populated);
STATE_BENCH(BM_deserialize_bytes, "state/deserialize_bytes", 16, Populated);
STATE_BENCH(BM_serialize, "state/api_serialize", 16, Sparse);
STATE_BENCH(BM_checksum, "state/checksum_via_rejected_bytes", 16, Sparse);
STATE_BENCH(BM_deserialize, "state/api_deserialize", 16, Sparse);
STATE_BENCH(BM_serialize, "state/api_serialize", 20, Populated);
STATE_BENCH(BM_serialize_bytes, "state/serialize_bytes", 20, Populated);
STATE_BENCH(BM_checksum, "state/checksum_via_rejected_bytes", 20, Populated);
STATE_BENCH(BM_deserialize, "state/api_deserialize", 20, Populated);
STATE_BENCH(BM_decode_hex, "state/decode_hex", 20, Populated);
STATE_BENCH(BM_deserialize_bytes, "state/deserialize_bytes", 20, Populated);
STATE_BENCH(BM_serialize, "state/api_serialize", 20, Sparse);
STATE_BENCH(BM_checksum, "state/checksum_via_rejected_bytes", 20, Sparse);
STATE_BENCH(BM_deserialize, "state/api_deserialize", 20, Sparse);
STATE_BENCH(BM_serialize, "state/api_serialize", 24, Populated);
STATE_BENCH(BM_serialize_bytes, "state/serialize_bytes", 24, Populated);
STATE_BENCH(BM_checksum, "state/checksum_via_rejected_bytes", 24, Populated);
STATE_BENCH(BM_deserialize, "state/api_deserialize", 24, Populated);
STATE_BENCH(BM_decode_hex, "state/decode_hex", 24, Populated);
STATE_BENCH(BM_deserialize_bytes, "state/deserialize_bytes", 24, Populated);
STATE_BENCH(BM_serialize, "state/api_serialize", 24, Sparse);
STATE_BENCH(BM_checksum, "state/checksum_via_rejected_bytes", 24, Sparse);
STATE_BENCH(BM_deserialize, "state/api_deserialize", 24, Sparse);

}  // namespace

// ---------------------------------------------------------------- FNV kernels
// The bulk FNV-1a kernels one by one (those this processor runs), on the
// standard fingerprint's own bytes (12.3 KB of index/value words of one
// plan) and on 1 MiB of dense and of half-zero bytes; and the fingerprint
// with the portable path forced, as a machine without AVX-512 runs it.
#include <bit>

#include "fnv_kernels.hpp"

namespace {

std::vector<std::uint8_t> fingerprint_bytes(std::size_t plan) {
    std::vector<std::uint8_t> out;
    auto word = [&](std::uint64_t w) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    };
    const auto& vs = encoded().vectors[plan];
    word(vs.size());
    for (const FeatureVector& v : vs) {
        word(std::uint64_t{1} << bench::kBits);
        word(v.size());
        for (const Entry& e : v) {
            word(e.index);
            word(std::bit_cast<std::uint64_t>(e.value));
        }
    }
    return out;
}

std::vector<std::uint8_t> mib_of(bool half_zero) {
    std::vector<std::uint8_t> out(1 << 20);
    bench::SplitMix64 r{bench::kSeed};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto x = static_cast<std::uint8_t>(r.below(256));
        out[i] = half_zero && (i / 8) % 2 == 1 ? 0 : x;
    }
    return out;
}

void BM_fnv_kernel(benchmark::State& st, rng::FnvKernel kernel, int input) {
    if (!rng::fnv_kernel_available(kernel)) {
        st.SkipWithError("kernel not available on this processor");
        return;
    }
    const std::vector<std::uint8_t> bytes = input == 0 ? fingerprint_bytes(0) : mib_of(input == 2);
    std::uint64_t h = rng::kFnvOffset;
    for (auto _ : st) {
        h = rng::fnv1a_with(kernel, h, bytes.data(), bytes.size());
        benchmark::DoNotOptimize(h);
    }
    st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * bytes.size()));
}

#define FNV_KERNEL_BENCH(K, name)                                                           \
    BENCHMARK_CAPTURE(BM_fnv_kernel, K##_fingerprint, rng::FnvKernel::K, 0)                 \
        ->Name("fnv/" name "/standard_fingerprint_bytes");                                   \
    BENCHMARK_CAPTURE(BM_fnv_kernel, K##_dense, rng::FnvKernel::K, 1)                       \
        ->Name("fnv/" name "/1MiB_dense");                                                   \
    BENCHMARK_CAPTURE(BM_fnv_kernel, K##_half_zero, rng::FnvKernel::K, 2)                   \
        ->Name("fnv/" name "/1MiB_half_zero_words")
FNV_KERNEL_BENCH(Portable, "portable");
FNV_KERNEL_BENCH(Avx2, "avx2");
FNV_KERNEL_BENCH(Avx512, "avx512");

void BM_candidate_set_hash_portable(benchmark::State& st) {
    const Encoded& e = encoded();
    rng::force_portable_fnv(true);
    std::size_t p = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(
            decide::candidate_set_hash(e.vectors[p], std::uint64_t{1} << bench::kBits));
        p = (p + 1) % e.vectors.size();
    }
    rng::force_portable_fnv(false);
}
BENCHMARK(BM_candidate_set_hash_portable)->Name("decide/candidate_set_hash_10_vectors_portable");

}  // namespace

// api_decide/learn_each_at_once with the portable hash forced: the same
// binary without the AVX-512 fingerprint, to separate its share.
namespace {
void BM_decide_then_learn_portable_fnv(benchmark::State& st) {
    rng::force_portable_fnv(true);
    BM_decide_then_learn(st);
    rng::force_portable_fnv(false);
}
BENCHMARK(BM_decide_then_learn_portable_fnv)->Name("api_decide/learn_each_at_once_portable_fnv");
}  // namespace
