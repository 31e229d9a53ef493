// The encoder's vector kernels against plain scalar definitions: pair
// hashing (FNV-1a continued from each lane's seed, then the SplitMix64 mix)
// and the small-list sort, for every kernel this machine runs.
#include <algorithm>
#include <cmath>
#include <random>

#include "encoding.hpp"
#include "rng.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using encoding::HashJob;
using encoding::HashKernel;
using testing::bits_of;
using testing::from_bits;
using testing::kInf;
using testing::kNaN;

const char* kernel_name(HashKernel k) {
    switch (k) {
        case HashKernel::Portable: return "portable";
        case HashKernel::Avx2: return "avx2";
        case HashKernel::Avx512: return "avx512";
    }
    return "?";
}

class KernelTest : public ::testing::TestWithParam<HashKernel> {
protected:
    void SetUp() override {
        if (!encoding::kernel_supported(GetParam())) GTEST_SKIP() << "not on this machine";
    }
    void TearDown() override { encoding::use_kernel(before_); }

    const HashKernel before_ = encoding::active_kernel();
};

// One byte string cut into up to four pieces, as a part is.
struct Bytes {
    std::string text;
    std::array<std::size_t, 3> cuts;

    std::array<std::string_view, encoding::kPieces> pieces() const {
        const std::string_view t = text;
        return {t.substr(0, cuts[0]), t.substr(cuts[0], cuts[1] - cuts[0]),
                t.substr(cuts[1], cuts[2] - cuts[1]), t.substr(cuts[2])};
    }
};

Bytes random_bytes(std::mt19937_64& gen, std::size_t size, int style) {
    Bytes b;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t r = gen();
        switch (style) {
            case 0: b.text.push_back(static_cast<char>(r)); break;
            case 1: b.text.push_back(static_cast<char>(r % 4 == 0 ? r >> 8 : 0)); break;  // zero-heavy
            case 2: b.text.push_back('\0'); break;
            default: b.text.push_back(static_cast<char>(0xff)); break;
        }
    }
    std::array<std::size_t, 3> cuts{gen() % (size + 1), gen() % (size + 1), gen() % (size + 1)};
    std::sort(cuts.begin(), cuts.end());
    b.cuts = cuts;
    return b;
}

std::uint64_t reference_pair(std::uint64_t seed, const std::string& bytes) {
    return rng::mix64(testing::fnv1a(seed, bytes.data(), bytes.size()));
}

TEST_P(KernelTest, PairHashesMatchTheScalarDefinition) {
    std::mt19937_64 gen(11);
    // Every part length up to 300 (past the kernels' short-row bound), each
    // byte style, lane counts of one to three blocks, and batches whose
    // item count is not a multiple of the vector width.
    std::vector<Bytes> parts;
    for (std::size_t size = 0; size <= 300; ++size) parts.push_back(random_bytes(gen, size, 0));
    for (int style = 1; style <= 3; ++style) {
        for (std::size_t size : {1, 7, 8, 9, 63, 64, 65, 200}) {
            parts.push_back(random_bytes(gen, size, style));
        }
    }
    std::shuffle(parts.begin(), parts.end(), gen);
    for (std::size_t lanes : {8, 16, 24}) {
        std::vector<std::uint64_t> seeds(lanes);
        for (auto& s : seeds) s = gen();
        seeds[0] = encoding::context_tokens({})[0].seed;
        for (std::size_t batch : {1, 3, 8, 13, 64}) {
            for (std::size_t first = 0; first < parts.size(); first += batch) {
                const std::size_t n = std::min(batch, parts.size() - first);
                std::vector<std::uint64_t> out(n * lanes, 0);
                std::vector<HashJob> jobs;
                for (std::size_t j = 0; j < n; ++j) {
                    jobs.push_back(HashJob{parts[first + j].pieces(), out.data() + j * lanes});
                }
                encoding::hash_jobs(GetParam(), seeds.data(), lanes, jobs.data(), n);
                for (std::size_t j = 0; j < n; ++j) {
                    for (std::size_t t = 0; t < lanes; ++t) {
                        ASSERT_EQ(out[j * lanes + t], reference_pair(seeds[t], parts[first + j].text))
                            << "lanes " << lanes << " batch " << batch << " part size "
                            << parts[first + j].text.size() << " lane " << t;
                    }
                }
            }
        }
    }
}

// The keys placed at their ranks; false where the kernel has no vector sort.
bool sort_small(const std::uint32_t* keys, std::size_t n, std::uint32_t* out) {
    std::uint16_t ranks[encoding::kRankPad * 8];
    unsigned distinct_above;
    if (!encoding::rank_small(keys, n, ranks, distinct_above)) return false;
    for (std::size_t i = 0; i < n; ++i) out[ranks[i]] = keys[i];
    return true;
}

TEST_P(KernelTest, SmallSortOrdersDistinctKeys) {
    if (GetParam() == HashKernel::Portable) GTEST_SKIP() << "the portable kernel has no vector sort";
    encoding::use_kernel(GetParam());
    std::mt19937_64 gen(5);
    for (std::size_t n = 1; n <= 255; n += (n < 40 ? 1 : 7)) {
        for (int shape = 0; shape < 4; ++shape) {
            std::vector<std::uint32_t> keys;
            for (std::size_t i = 0; i < n; ++i) {
                // Index above, generation number in the low byte, as the encoder
                // builds them: random indices, all one index, descending, and
                // indices at the top of the 24-bit range.
                std::uint32_t index = 0;
                switch (shape) {
                    case 0: index = static_cast<std::uint32_t>(gen() % (1u << 18)); break;
                    case 1: index = 5; break;
                    case 2: index = static_cast<std::uint32_t>(n - i); break;
                    default: index = 0xffffffu - static_cast<std::uint32_t>(gen() % 3); break;
                }
                keys.push_back((index << 8) | static_cast<std::uint32_t>(i));
            }
            std::vector<std::uint32_t> padded = keys;
            padded.resize((n + encoding::kRankPad - 1) / encoding::kRankPad * encoding::kRankPad,
                          0xffffffffu);
            std::vector<std::uint32_t> out(padded.size(), 0);
            ASSERT_TRUE(sort_small(padded.data(), n, out.data()));
            out.resize(n);
            std::sort(keys.begin(), keys.end());
            ASSERT_EQ(out, keys) << "n " << n << " shape " << shape;
        }
    }
    encoding::use_kernel(HashKernel::Portable);
    std::vector<std::uint32_t> any(16, 0xffffffffu), out(16);
    EXPECT_FALSE(sort_small(any.data(), 1, out.data()));
}

TEST_P(KernelTest, EmitMatchesTheScalarDefinition) {
    // Every kernel's short-list entries, bit for bit: whole and partial
    // vector steps, and weights at IEEE's edges. A NaN token weight comes
    // out as itself, quieted, even when the part's weight is NaN as well.
    encoding::use_kernel(GetParam());
    constexpr std::uint64_t kQuiet = std::uint64_t{1} << 51, kSign = std::uint64_t{1} << 63;
    const std::uint64_t specials[] = {bits_of(0.0),     bits_of(-0.0),    1,  // a subnormal
                                      bits_of(kInf),    bits_of(-kInf),   bits_of(kNaN),
                                      bits_of(kNaN) | kSign, 0x7ff0000000000001ULL,  // signalling
                                      bits_of(1.5),     bits_of(-2.25)};
    std::mt19937_64 gen(31);
    for (std::size_t n : {1, 7, 8, 9, 17}) {
        for (int round = 0; round < 200; ++round) {
            std::vector<std::uint64_t> z(n), w(n);
            for (std::size_t t = 0; t < n; ++t) {
                z[t] = gen();
                w[t] = specials[gen() % std::size(specials)];
            }
            const double weight = from_bits(specials[gen() % std::size(specials)]);
            const std::uint64_t mask = (std::uint64_t{1} << (1 + gen() % 24)) - 1;
            std::vector<std::uint32_t> keys(n);
            std::vector<double> values(n);
            const bool zero = encoding::emit_small(z.data(), w.data(), n, mask, 3, 7, weight,
                                                   keys.data(), values.data());
            bool want_zero = false;
            for (std::size_t t = 0; t < n; ++t) {
                const double x = from_bits(w[t] ^ (z[t] & kSign));
                const double v = std::isnan(x)        ? from_bits(bits_of(x) | kQuiet)
                                 : std::isnan(weight) ? from_bits(bits_of(weight) | kQuiet)
                                                      : weight * x;
                want_zero |= v == 0.0;
                ASSERT_EQ(keys[t], ((z[t] & mask) << encoding::kSmallGenBits) | (3 + 7 * t))
                    << "n " << n << " t " << t;
                ASSERT_EQ(bits_of(values[t]), bits_of(v)) << "n " << n << " t " << t;
            }
            ASSERT_EQ(zero, want_zero) << "n " << n;
        }
    }
}

TEST(KernelSelection, OnlySupportedKernelsAreTaken) {
    EXPECT_TRUE(encoding::kernel_supported(HashKernel::Portable));
    const HashKernel before = encoding::active_kernel();
    EXPECT_TRUE(encoding::kernel_supported(before));
    for (HashKernel k : {HashKernel::Avx2, HashKernel::Avx512}) {
        EXPECT_EQ(encoding::use_kernel(k), encoding::kernel_supported(k)) << kernel_name(k);
    }
    EXPECT_TRUE(encoding::use_kernel(before));
    EXPECT_EQ(encoding::active_kernel(), before);
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelTest,
                         ::testing::Values(HashKernel::Portable, HashKernel::Avx2,
                                           HashKernel::Avx512),
                         [](const auto& info) { return std::string(kernel_name(info.param)); });

}  // namespace
}  // namespace ordwyne
