// Fixed work on the standard workload, for callgrind or perf, and the
// persistence states for the Python harness:
//   ordwyne_profile_driver decide N        N x (api::decide, then api::learn)
//   ordwyne_profile_driver learn N         N decisions pending, then all learned
//   ordwyne_profile_driver state BITS PATH [sparse]
//                                          write the persistence state as text
// The work modes print only a checksum, so nothing is optimised away.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api.hpp"
#include "states.hpp"
#include "workload.hpp"

using namespace ordwyne;
using bench::Workload;

namespace {

int usage(const char* argv0) {
    std::fprintf(stderr, "usage: %s decide N | learn N | state BITS PATH [sparse]\n", argv0);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage(argv[0]);
    const std::uint64_t n = std::strtoull(argv[2], nullptr, 10);
    const auto start = std::chrono::steady_clock::now();
    const Workload w;

    if (std::strcmp(argv[1], "state") == 0) {
        if (argc != 4 && argc != 5) return usage(argv[0]);
        const bool sparse = argc == 5 && std::strcmp(argv[4], "sparse") == 0;
        const std::string text = api::serialize(bench::persistence_state(
            w, static_cast<std::uint32_t>(n), sparse ? bench::Fill::Sparse : bench::Fill::Populated));
        std::FILE* f = std::fopen(argv[3], "wb");
        if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
            std::fclose(f) != 0) {
            std::perror(argv[3]);
            return 1;
        }
        return 0;
    }

    Bandit b = bench::fresh_bandit();
    std::uint64_t sum = 0;
    if (std::strcmp(argv[1], "decide") == 0) {
        for (std::uint64_t i = 0; i < n; ++i) {
            auto rec = api::decide(b, w.context(i), w.candidates(i), bench::kSalt, {}, {},
                                   Workload::time(i));
            sum += rec->chosen;
            auto res = api::learn(b, rec->decision_id, Workload::reward(i), Workload::time(i));
            sum += res->has_value();
        }
    } else if (std::strcmp(argv[1], "learn") == 0) {
        for (std::uint64_t i = 0; i < n; ++i) {
            auto rec = api::decide(b, w.context(i), w.candidates(i), bench::kSalt, {}, {},
                                   Workload::time(i));
            sum += rec->chosen;
        }
        // Outcomes arrive in no particular order, as in the benchmarks.
        std::vector<std::string> ids(n);
        for (std::uint64_t i = 0; i < n; ++i) ids[i] = bench::id_of(i);
        bench::SplitMix64 r{bench::kSeed};
        for (std::uint64_t i = n; i > 1; --i) std::swap(ids[i - 1], ids[r.below(i)]);
        // When the learning starts, for `perf record -D` on the learn phase.
        std::fprintf(stderr, "learning from %lld ms\n",
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - start)
                                                .count()));
        for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint64_t i = 
                std::strtoull(ids[k].c_str() + bench::kSalt.size() + 1, nullptr, 10);
            auto res = api::learn(b, ids[k], Workload::reward(i), Workload::time(i));
            sum += res->has_value();
        }
    } else {
        return usage(argv[0]);
    }
    std::printf("%" PRIu64 "\n", sum);
    return 0;
}
