// Bandits in the shapes the benchmarks need, built from the standard
// workload. Shared by the engine benchmarks and the profile driver (which
// also writes the serialized states the Python harness loads).
#pragma once

#include <cstdint>
#include <string>

#include "api.hpp"
#include "workload.hpp"

namespace ordwyne::bench {

inline Bandit fresh_bandit(std::uint32_t bits = kBits) {
    return *api::create(bits, kHorizon, kDefaultReward, kEpsilon, kForgetfulness);
}

inline std::string id_of(std::uint64_t count) {
    return std::string(kSalt) + ":" + std::to_string(count);
}

// A bandit whose model has seen decisions 0 .. n-1 of the workload, each
// learned right away, so estimates read trained coordinates.
inline Bandit trained_bandit(const Workload& w, std::size_t n, std::uint32_t bits = kBits) {
    Bandit b = fresh_bandit(bits);
    for (std::uint64_t i = 0; i < n; ++i) {
        auto rec = api::decide(b, w.context(i), w.candidates(i), kSalt, {}, {}, Workload::time(i));
        (void)api::learn(b, rec->decision_id, Workload::reward(i), Workload::time(i));
    }
    return b;
}

// The states the persistence figures use: 2000 decisions learned and 1000
// pending. Sparse leaves the model as trained (the workload touches about
// 12k coordinates, so at large bits most of both arrays stay zero, as in a
// young model). Populated then writes every coordinate, as in a long-trained
// model of that size: the worst case, with no zero runs or untouched pages.
// The values are exact binary fractions, the same on every build.
enum class Fill { Sparse, Populated };

inline Bandit persistence_state(const Workload& w, std::uint32_t bits, Fill fill) {
    Bandit b = trained_bandit(w, 2000, bits);
    if (fill == Fill::Populated) {
        Model& m = b.model;
        SplitMix64 r{bits};
        for (std::uint64_t i = 0; i < m.dim; ++i) {
            m.a[i] = static_cast<double>(1 + r.below(1000)) * 0.125;
            m.b[i] = static_cast<double>(r.below(1000)) * 0.0625 - 20.0;
        }
    }
    for (std::uint64_t i = 2000; i < 3000; ++i) {
        (void)api::decide(b, w.context(i), w.candidates(i), kSalt, {}, {}, Workload::time(i));
    }
    return b;
}

}  // namespace ordwyne::bench
