// Every bulk FNV-1a kernel this processor runs against the byte-at-a-time
// definition: all short lengths, long buffers of several shapes, arbitrary
// starting states and alignments, and the engine's hashes built on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "api.hpp"
#include "decide.hpp"
#include "fnv_kernels.hpp"
#include "rng.hpp"
#include "state.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using rng::FnvKernel;

std::uint64_t reference(std::uint64_t h, const std::uint8_t* p, std::size_t n) {
    return testing::fnv1a(h, p, n);
}

struct Rand {
    std::uint64_t s;
    std::uint64_t next() { return rng::mix64(s += 0x9e3779b97f4a7c15ULL); }
};

// Buffer shapes: the kernels' lookups and carries see different bit patterns
// in each (zero runs, saturated bytes, every low-byte value).
enum class Shape { Random, ZeroHeavy, AllZero, AllOnes, SmallWords, Ramp };

std::vector<std::uint8_t> make(Shape shape, std::size_t n, std::uint64_t seed) {
    Rand r{seed};
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t x = r.next();
        switch (shape) {
            case Shape::Random: v[i] = static_cast<std::uint8_t>(x); break;
            case Shape::ZeroHeavy: v[i] = (x & 7) == 0 ? static_cast<std::uint8_t>(x >> 8) : 0; break;
            case Shape::AllZero: v[i] = 0; break;
            case Shape::AllOnes: v[i] = 0xff; break;
            // Little words as the fingerprint sees them: three low bytes, then zeros.
            case Shape::SmallWords: v[i] = (i % 8) < 3 ? static_cast<std::uint8_t>(x) : 0; break;
            case Shape::Ramp: v[i] = static_cast<std::uint8_t>(i * 7); break;
        }
    }
    return v;
}

const FnvKernel kKernels[] = {FnvKernel::Portable, FnvKernel::Avx2, FnvKernel::Avx512};

class Kernel : public ::testing::TestWithParam<FnvKernel> {
protected:
    void SetUp() override {
        if (!rng::fnv_kernel_available(GetParam())) GTEST_SKIP() << "not on this processor";
    }
    std::uint64_t run(std::uint64_t h, const std::vector<std::uint8_t>& v, std::size_t from = 0,
                      std::size_t n = SIZE_MAX) {
        if (n == SIZE_MAX) n = v.size() - from;
        return rng::fnv1a_with(GetParam(), h, v.data() + from, n);
    }
};

std::string kernel_name(const ::testing::TestParamInfo<FnvKernel>& info) {
    switch (info.param) {
        case FnvKernel::Portable: return "Portable";
        case FnvKernel::Avx2: return "Avx2";
        case FnvKernel::Avx512: return "Avx512";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Fnv, Kernel, ::testing::ValuesIn(kKernels), kernel_name);

TEST_P(Kernel, EveryShortLengthFromManyStates) {
    Rand r{GetParam() == FnvKernel::Portable ? 1u : 2u};
    for (std::size_t n = 0; n <= 300; ++n) {
        for (Shape shape : {Shape::Random, Shape::ZeroHeavy, Shape::AllOnes}) {
            const auto v = make(shape, n, r.next());
            // The offset basis, and states whose low byte takes other values.
            for (std::uint64_t h : {rng::kFnvOffset, r.next(), std::uint64_t{0},
                                    ~std::uint64_t{0}, r.next() & ~std::uint64_t{0xff}}) {
                ASSERT_EQ(run(h, v), reference(h, v.data(), n))
                    << "n=" << n << " shape=" << static_cast<int>(shape) << " h=" << h;
            }
        }
    }
}

TEST_P(Kernel, LongBuffersOfEveryShape) {
    const std::size_t sizes[] = {4096, 4096 + 63, 12352, 65536 + 17, (1u << 20) + 5};
    const Shape shapes[] = {Shape::Random,  Shape::ZeroHeavy,  Shape::AllZero,
                            Shape::AllOnes, Shape::SmallWords, Shape::Ramp};
    std::uint64_t seed = 77;
    for (std::size_t n : sizes) {
        for (Shape shape : shapes) {
            const auto v = make(shape, n, ++seed);
            const std::uint64_t h = rng::mix64(seed);
            ASSERT_EQ(run(h, v), reference(h, v.data(), n))
                << "n=" << n << " shape=" << static_cast<int>(shape);
        }
    }
}

TEST_P(Kernel, AnyAlignmentAndAnySplitContinueTheChain) {
    const auto v = make(Shape::Random, 2000, 5);
    const std::uint64_t whole = reference(rng::kFnvOffset, v.data(), v.size());
    for (std::size_t from = 0; from < 8; ++from) {
        EXPECT_EQ(run(rng::kFnvOffset, v, from), reference(rng::kFnvOffset, v.data() + from, 2000 - from));
    }
    for (std::size_t split : {1u, 63u, 64u, 65u, 700u, 1024u, 1999u}) {
        const std::uint64_t first = run(rng::kFnvOffset, v, 0, split);
        EXPECT_EQ(run(first, v, split), whole) << "split=" << split;
    }
}

// Every starting low byte against every byte value at a block boundary: the
// carried bits are where a kernel differs from a plain vector loop.
TEST_P(Kernel, EveryStartingLowByte) {
    auto v = make(Shape::Random, 130, 9);
    for (unsigned low = 0; low < 256; ++low) {
        const std::uint64_t h = 0x0123456789abcd00ULL | low;
        v[63] = static_cast<std::uint8_t>(low * 37);
        v[64] = static_cast<std::uint8_t>(low);
        ASSERT_EQ(run(h, v), reference(h, v.data(), v.size())) << "low=" << low;
    }
}

// Lengths of whole groups of eight blocks (the AVX-512 kernel's bit planes),
// of whole and partial chunks of several groups, and of block and byte tails,
// from many starting low bytes: the carried bits cross every kind of boundary.
TEST_P(Kernel, GroupAndChunkBoundariesFromManyLowBytes) {
    for (Shape shape : {Shape::Random, Shape::ZeroHeavy, Shape::AllOnes}) {
        const auto v = make(shape, 512 * 13 + 64 * 7 + 63, 13 + static_cast<int>(shape));
        for (std::size_t groups = 0; groups <= 13; ++groups) {
            for (std::size_t tail : {0u, 64u * 3 + 1, 64u * 7 + 63}) {
                const std::size_t n = 512 * groups + tail;
                // Every low byte once, else a spread of them.
                const unsigned step = groups == 7 ? 1 : 29;
                for (unsigned low = groups % step; low < 256; low += step) {
                    const std::uint64_t h = 0x0123456789abcd00ULL | low;
                    ASSERT_EQ(run(h, v, 0, n), reference(h, v.data(), n))
                        << "n=" << n << " low=" << low << " shape=" << static_cast<int>(shape);
                }
            }
        }
    }
}

TEST(FnvDispatch, ForcedPortableGivesTheSameHashes) {
    const auto v = make(Shape::Random, 10000, 3);
    const std::uint64_t expected = reference(rng::kFnvOffset, v.data(), v.size());
    EXPECT_EQ(rng::fnv1a_bulk(rng::kFnvOffset, v.data(), v.size()), expected);
    rng::force_portable_fnv(true);
    EXPECT_EQ(rng::fnv_active_kernel(), FnvKernel::Portable);
    EXPECT_EQ(rng::fnv1a_bulk(rng::kFnvOffset, v.data(), v.size()), expected);
    rng::force_portable_fnv(false);
    EXPECT_TRUE(rng::fnv_kernel_available(rng::fnv_active_kernel()));
}

// Long buffers go in pieces, and an all-zero piece is one multiply: zero
// stretches that cover whole pieces, part of one, or all but one byte.
TEST(FnvDispatch, ZeroStretchesInLongBuffers) {
    auto v = make(Shape::Random, 600000, 8);
    std::fill(v.begin() + 5000, v.begin() + 200000, 0);
    std::fill(v.begin() + 262144, v.end(), 0);
    v[131072] = 1;
    v[393215] = 0x80;
    for (std::uint64_t h : {rng::kFnvOffset, std::uint64_t{0x1234567890abcdefULL}}) {
        for (std::size_t from : {0u, 1u, 65535u}) {
            EXPECT_EQ(rng::fnv1a_bulk(h, v.data() + from, v.size() - from),
                      reference(h, v.data() + from, v.size() - from))
                << "from=" << from;
        }
    }
    const std::vector<std::uint8_t> zeros(3 * 65536 + 5, 0);
    EXPECT_EQ(rng::fnv1a_bulk(7, zeros.data(), zeros.size()), reference(7, zeros.data(), zeros.size()));
}

// The engine's hashes on both sides of the bulk threshold, with the widest
// kernel and with the portable one.
class EngineHashes : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { rng::force_portable_fnv(GetParam()); }
    void TearDown() override { rng::force_portable_fnv(false); }
};

INSTANTIATE_TEST_SUITE_P(Fnv, EngineHashes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Portable" : "Widest"; });

TEST_P(EngineHashes, WorkedExamples) {
    EXPECT_EQ(rng::derive_key("", ""), 0xa8c7f832281a39c5ULL);
    EXPECT_EQ(rng::derive_key("abc:0", "abc"), 0xf574d186087a782eULL);
    EXPECT_EQ(rng::derive_key("abc:1", "abc"), 0xda8d4590ca518ac3ULL);
    const FeatureVector a = {{11, 1.0}, {14, -1.0}};
    const FeatureVector b = {{3, 1.0}, {11, 1.0}};
    EXPECT_EQ(decide::candidate_set_hash(std::vector<FeatureVector>{a, b}, 16), 0x31be19873102f2b2ULL);
    EXPECT_EQ(decide::candidate_set_hash(std::vector<FeatureVector>{a}, 16), 0x4dbd40a61fb1556fULL);
}

TEST_P(EngineHashes, LongKeysAndBytesCallsMatchTheDefinition) {
    for (std::size_t n : {rng::kFnvBulkFrom - 1, rng::kFnvBulkFrom, rng::kFnvBulkFrom + 1,
                          std::size_t{5000}}) {
        const auto v = make(Shape::Random, n, n);
        const std::string first(v.begin(), v.end());
        const std::string second(first.rbegin(), first.rend());
        std::vector<std::uint8_t> all(8);
        for (int i = 0; i < 8; ++i) all[i] = static_cast<std::uint8_t>(n >> (8 * i));
        all.insert(all.end(), v.begin(), v.end());
        all.insert(all.end(), second.begin(), second.end());
        EXPECT_EQ(rng::derive_key(first, second), reference(rng::kFnvOffset, all.data(), all.size()))
            << "n=" << n;
        rng::Fnv1a h;
        h.bytes(v.data(), n);
        EXPECT_EQ(h.state, reference(rng::kFnvOffset, v.data(), n));
    }
}

// Candidate sets from tiny to larger than the fingerprint's staging buffer
// (16 KiB), so chunk boundaries fall inside headers and inside entries.
TEST_P(EngineHashes, CandidateSetsOfEverySize) {
    Rand r{11};
    for (std::size_t candidates : {1u, 2u, 10u, 40u}) {
        for (std::size_t entries : {0u, 1u, 7u, 76u, 300u, 1100u}) {
            std::vector<FeatureVector> vs(candidates);
            std::vector<std::uint8_t> bytes;
            auto word = [&](std::uint64_t w) {
                for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
            };
            const std::uint64_t dim = std::uint64_t{1} << 18;
            word(candidates);
            for (FeatureVector& v : vs) {
                const std::size_t m = entries + r.next() % 3;
                word(dim);
                word(m);
                std::uint64_t index = 0;
                for (std::size_t i = 0; i < m; ++i) {
                    index += 1 + r.next() % 200;
                    const double value = static_cast<double>(r.next() % 1000) / 8.0 - 60.0;
                    v.push_back({index, value == 0.0 ? 1.0 : value});
                    word(v.back().index);
                    word(testing::bits_of(v.back().value));
                }
            }
            ASSERT_EQ(decide::candidate_set_hash(vs, dim),
                      reference(rng::kFnvOffset, bytes.data(), bytes.size()))
                << candidates << " candidates of about " << entries << " entries";
        }
    }
}


// The state text, written and read with the vector paths and with the
// portable ones: long arrays (many pieces of the writer), dense and zero
// stretches, records, and text lengths that end inside and outside a vector
// step.
class StateText : public EngineHashes {};

INSTANTIATE_TEST_SUITE_P(Fnv, StateText, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Portable" : "Widest"; });

TEST_P(StateText, SerializedTextIsTheLayoutInHexAndReadsBack) {
    testing::Layout layout;
    layout.dim = 1 << 13;  // 128 KiB per array
    Rand r{21};
    for (std::uint64_t i = 0; i < layout.dim; ++i) {
        // A zero stretch in the middle, as in a model trained on few features.
        const bool zero = i > 2000 && i < 7000;
        layout.a.push_back(zero ? 0.0 : testing::from_bits(r.next()));
        layout.b.push_back(zero ? 0.0 : static_cast<double>(r.next() % 1000) - 500.0);
    }
    layout.records = {testing::make_record("s:0", 1.0, {{1, 1.0}, {4000, -2.5}}),
                      testing::make_record("s:1", 2.0)};
    layout.decision_count = 2;
    const std::string text = layout.hex();
    Result<Bandit> bandit = api::deserialize(text);
    ASSERT_TRUE(bandit.has_value()) << testing::error_of(bandit);
    EXPECT_EQ(api::serialize(*bandit), text);
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Result<Bandit> again = api::deserialize(upper);
    ASSERT_TRUE(again.has_value()) << testing::error_of(again);
    EXPECT_EQ(api::serialize(*again), text);
}

TEST_P(StateText, DecodesEveryLengthAndCaseMix) {
    Rand r{31};
    for (std::size_t n = 0; n <= 130; ++n) {
        const auto bytes = make(Shape::Random, n, r.next());
        std::string text = testing::to_hex(bytes);
        for (char& c : text) {
            if ((r.next() & 1) != 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        Result<std::vector<std::uint8_t>> decoded = state::decode_hex(text);
        ASSERT_TRUE(decoded.has_value()) << "n=" << n;
        EXPECT_EQ(*decoded, bytes) << "n=" << n;
    }
}

// One bad character anywhere, in the vector part or the tail, is refused;
// the characters next to the digits and letters in ASCII are the likely misses.
TEST_P(StateText, RefusesAnyNonDigitAnywhere) {
    const std::string good = testing::to_hex(make(Shape::Random, 100, 41));
    const char bad[] = {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\x7f', '\x80', '\xc1', '\xff'};
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (char c : bad) {
            std::string text = good;
            text[at] = c;
            ASSERT_EQ(testing::error_of(state::decode_hex(text)), error::kNotHex)
                << "at=" << at << " char=" << static_cast<int>(static_cast<unsigned char>(c));
        }
    }
}

}  // namespace
}  // namespace ordwyne
