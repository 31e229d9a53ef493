// Feature encoding: known vectors and a randomized comparison with a
// straightforward re-implementation.
#include <algorithm>
#include <random>

#include "encoding.hpp"
#include "rng.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;

FeatureVector encode(const NamedFeatures& context, std::string_view name,
                     const NamedFeatures& features, std::uint32_t bits) {
    return encoding::encode_with_context(encoding::context_tokens(context), name, features, bits)
        .value();
}

NamedFeature num(std::string_view name, double x) { return {name, Value::of_number(x)}; }
NamedFeature txt(std::string_view name, std::string_view s) { return {name, Value::of_text(s)}; }

// The encoder spelled out naively: concatenated strings, std::stable_sort,
// no precomputed hash states.
FeatureVector reference_encode(const NamedFeatures& context, std::string_view name,
                               const NamedFeatures& features, std::uint32_t bits) {
    using Terms = std::vector<std::pair<std::string, double>>;
    auto terms = [](Terms out, std::string_view prefix, NamedFeatures f) {
        std::stable_sort(f.begin(), f.end(), [](auto& x, auto& y) { return x.name < y.name; });
        for (const auto& [n, v] : f) {
            const std::string head = std::string(prefix) + "|" + std::string(n);
            if (v.kind == Value::Kind::Text)
                out.emplace_back(head + "=" + std::string(v.text), 1.0);
            if (v.kind == Value::Kind::Number) out.emplace_back(head, v.number);
        }
        return out;
    };
    const Terms tokens = terms({{"", 1.0}}, "c", context);
    Terms parts = terms({{"", 1.0}}, "a", features);
    parts.emplace_back("i|" + std::string(name), 1.0);

    FeatureVector raw;
    for (const auto& [tok, tw] : tokens) {
        for (const auto& [part, pw] : parts) {
            std::vector<std::uint8_t> bytes(tok.begin(), tok.end());
            bytes.push_back(0x1f);
            bytes.insert(bytes.end(), part.begin(), part.end());
            const std::uint64_t z = rng::mix64(fnv1a(bytes));
            raw.push_back({z & ((std::uint64_t{1} << bits) - 1), pw * ((z >> 63) ? -tw : tw)});
        }
    }
    std::stable_sort(raw.begin(), raw.end(), [](auto& x, auto& y) { return x.index < y.index; });
    FeatureVector out;
    for (std::size_t i = 0, j; i < raw.size(); i = j) {
        double sum = raw[i].value;
        for (j = i + 1; j < raw.size() && raw[j].index == raw[i].index; ++j)
            sum = sum + raw[j].value;
        if (!(sum == 0.0)) out.push_back({raw[i].index, sum});
    }
    return out;
}

// Every encoder test runs under each kernel this machine supports.
class EncodingTest : public ::testing::TestWithParam<encoding::HashKernel> {
protected:
    void SetUp() override {
        if (!encoding::use_kernel(GetParam())) GTEST_SKIP() << "kernel not on this machine";
    }
    void TearDown() override { encoding::use_kernel(before_); }

    const encoding::HashKernel before_ = encoding::active_kernel();
};

TEST_P(EncodingTest, KnownVectors) {
    EXPECT_EQ(bits(encode({}, "a", {}, 4)), bits(FeatureVector{{11, 1.0}, {14, -1.0}}));
    EXPECT_EQ(bits(encode({}, "a", {}, 1)), bits(FeatureVector{{0, -1.0}, {1, 1.0}}));
    const NamedFeatures context{num("hour", 3.0), txt("device", "phone"), {"x", Value::missing()}};
    const NamedFeatures candidate{num("price", 2.5), txt("color", "red")};
    EXPECT_EQ(bits(encode(context, "b", candidate, 8)),
              bits(FeatureVector{{18, 3.0}, {27, 1.0}, {48, 1.0}, {61, 3.0}, {123, 1.0}, {131, 1.0},
                                 {134, 7.5}, {166, -2.5}, {178, 1.0}, {196, -3.0}, {200, 1.0},
                                 {201, 2.5}}));
    for (std::uint32_t n : {0u, 25u})
        EXPECT_ERROR(encoding::encode_with_context(encoding::context_tokens({}), "a", {}, n),
                     "bits must be between 1 and 24");
    // A token list without even the bias token pairs with nothing.
    EXPECT_TRUE(encoding::encode_with_context(TokenList{}, "a", {num("x", 1.0)}, 8).value().empty());
}

TEST_P(EncodingTest, RandomInputsMatchNaiveEncoder) {
    // Repeated, byte-ordered and non-ASCII names, "=" and "|" inside names and
    // texts; at low bits almost everything collides and the large values make
    // sums depend on the order of addition, so any ordering slip shows.
    static const char* kNames[] = {"", "a", "B", "ab", "a|b", "=", "\xc3\xa9", "hour", "k"};
    static const char* kTexts[] = {"", "x", "red", "v=w", "|"};
    static const double kNums[] = {1.0, -1.0, 0.0, -0.0, 2.5,  1e16, -1e16,
                                   3.0, 1e-300, 0.1, kNaN, kInf, -kInf};
    std::mt19937_64 gen(7);
    auto pick = [&](auto& arr) { return arr[gen() % std::size(arr)]; };
    auto features = [&](std::size_t max) {
        NamedFeatures f;
        for (std::size_t i = gen() % (max + 1); i > 0; --i) {
            switch (gen() % 3) {
                case 0: f.push_back(txt(pick(kNames), pick(kTexts))); break;
                case 1: f.push_back(num(pick(kNames), pick(kNums))); break;
                default: f.push_back({pick(kNames), Value::missing()});
            }
        }
        return f;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = round % 100 == 0 ? 60 : 5;
        const NamedFeatures ctx = features(size), cand = features(size);
        const std::uint32_t n = round % 4 == 0 ? 1 + gen() % 24 : 1 + gen() % 4;
        const char* name = pick(kNames);
        ASSERT_EQ(bits(encode(ctx, name, cand, n)), bits(reference_encode(ctx, name, cand, n)))
            << "round " << round;
    }
    // Parts that differ only in the bytes or only in the length of their name
    // or text (views of one buffer) must never share hashes.
    std::vector<std::string> own;
    for (int i = 100; i < 140; ++i) own.push_back(std::to_string(i));
    const std::string buffer(40, 'x');
    NamedFeatures lists[4];
    for (std::size_t i = 0; i < 40; ++i) {
        const std::string_view prefix = std::string_view(buffer).substr(0, i + 1);
        lists[0].push_back(txt("k", own[i]));
        lists[1].push_back(txt(own[i], "v"));
        lists[2].push_back(txt("k", prefix));
        lists[3].push_back(txt(prefix, "v"));
    }
    for (const NamedFeatures& f : lists)
        EXPECT_EQ(bits(encode({}, "n", f, 16)), bits(reference_encode({}, "n", f, 16)));
}


// Names for large feature lists; `own` keeps the bytes.
std::vector<std::string> names_of(std::size_t n, bool reversed) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(numbered("f", reversed ? n - i : (i * 7919) % n));
    }
    return out;
}

TEST_P(EncodingTest, LargeListsMatchNaiveEncoder) {
    // Past the insertion-sort bound for names and the small-sort bound for
    // raw entries: names in reverse order, all names equal, and bits so low
    // that every entry shares one of two indices (one long run each).
    struct Case {
        std::size_t context, candidate;
        bool equal_names;
        std::uint32_t bits;
    };
    const Case cases[] = {
        {40, 3, false, 18}, {3, 40, false, 18}, {300, 0, false, 24}, {0, 300, true, 24},
        {50, 50, false, 13}, {100, 20, true, 1},  {20, 100, false, 2}, {1000, 5, false, 9},
        {33, 33, true, 4},
    };
    std::mt19937_64 gen(3);
    for (const Case& c : cases) {
        const auto ctx_names = names_of(c.context, true);
        const auto cand_names = names_of(c.candidate, true);
        NamedFeatures ctx, cand;
        for (std::size_t i = 0; i < c.context; ++i) {
            const std::string_view n = c.equal_names ? std::string_view("same") : ctx_names[i];
            if (i % 3 == 0) ctx.push_back(txt(n, ctx_names[(i * 5) % c.context]));
            else ctx.push_back(num(n, static_cast<double>(gen() % 9) - 4.0));
        }
        for (std::size_t i = 0; i < c.candidate; ++i) {
            const std::string_view n = c.equal_names ? std::string_view("same") : cand_names[i];
            if (i % 2 == 0) cand.push_back(txt(n, "v"));
            else cand.push_back(num(n, 0.5 * static_cast<double>(gen() % 5)));
        }
        ASSERT_EQ(bits(encode(ctx, "cand", cand, c.bits)),
                  bits(reference_encode(ctx, "cand", cand, c.bits)))
            << c.context << " x " << c.candidate << " bits " << c.bits;
    }
}

TEST_P(EncodingTest, OneEncoderForManyCandidatesMatchesNaiveEncoder) {
    // Candidates of one decision share feature strings, so their parts come
    // from the encoder's remembered hashes. Enough distinct parts to fill
    // the memory it keeps, contexts wide enough to cap it, and the same
    // part twice within one candidate.
    std::vector<std::string> values;
    for (int i = 0; i < 400; ++i) values.push_back(numbered("value", i));
    const std::string_view shared_name = "shared";
    for (std::size_t context_size : {0, 5, 9, 700}) {
        const auto ctx_names = names_of(context_size, false);
        NamedFeatures ctx;
        for (std::size_t i = 0; i < context_size; ++i) ctx.push_back(num(ctx_names[i], 1.5));
        const TokenList tokens = encoding::context_tokens(ctx);
        encoding::CandidateEncoder encoder(tokens, 16);
        FeatureVector out;
        for (int c = 0; c < 120; ++c) {
            NamedFeatures cand;
            for (int k = 0; k < 4; ++k) cand.push_back(txt(shared_name, values[(c * 3 + k) % 400]));
            cand.push_back(num(shared_name, 2.0));
            cand.push_back(txt(shared_name, values[c % 400]));  // repeats the first part
            const std::string name = numbered("c", c);
            encoder.encode(name, cand, out);
            ASSERT_EQ(bits(out), bits(reference_encode(ctx, name, cand, 16)))
                << "context " << context_size << " candidate " << c;
        }
    }
}

TEST_P(EncodingTest, CandidatesReorderingTheSameNamesMatchNaiveEncoder) {
    // The encoder first tries the previous candidate's name order. Short
    // lists of varying length over two names make that order often fit the
    // next list but for its equal names, and their values sum differently
    // in another order (1e16 + 0.1 rounds back to 1e16); at one bit every
    // part shares indices, so a wrong order of different names shows too.
    std::mt19937_64 gen(23);
    const NamedFeatures ctx{num("hour", 2.0), txt("device", "tv")};
    const TokenList tokens = encoding::context_tokens(ctx);
    const char* names[] = {"a", "b"};
    const double values[] = {1e16, -1e16, 0.1, 3.0};
    for (std::uint32_t width : {1u, 12u}) {
        encoding::CandidateEncoder encoder(tokens, width);
        FeatureVector out;
        for (int c = 0; c < 300; ++c) {
            NamedFeatures cand;
            for (std::size_t k = 1 + gen() % 4; k > 0; --k) {
                cand.push_back(num(names[gen() % 2], values[gen() % 4]));
            }
            encoder.encode("n", cand, out);
            ASSERT_EQ(bits(out), bits(reference_encode(ctx, "n", cand, width)))
                << "bits " << width << " candidate " << c;
        }
    }
}

TEST_P(EncodingTest, PartsWithEqualAddressesButDifferentKindsStayApart) {
    // The remembered hashes are found by the addresses of a part's name and
    // text. An empty text with no storage, a number under the same name, and
    // a number whose empty name has no storage (like the bias part) must
    // still hash as their own bytes.
    const std::string_view name = "k";
    const NamedFeatures ctx{num("hour", 2.0)};
    const NamedFeatures lists[] = {
        {{name, Value::of_text(std::string_view{})}},
        {{name, Value::of_number(3.0)}},
        {{std::string_view{}, Value::of_number(5.0)}},
        {{name, Value::of_text(std::string_view{})}, {name, Value::of_number(3.0)}},
    };
    const TokenList tokens = encoding::context_tokens(ctx);
    encoding::CandidateEncoder encoder(tokens, 20);
    FeatureVector out;
    for (const NamedFeatures& f : lists) {
        encoder.encode("n", f, out);
        EXPECT_EQ(bits(out), bits(reference_encode(ctx, "n", f, 20)));
    }
}

TEST(EncodingNameOrder, LongListsInByteOrderStably) {
    // Past the insertion-sort bound: names sharing long prefixes, names that
    // are the shared prefix itself or end in zero bytes, bytes above 0x7f,
    // differences beyond the first eight bytes after the shared prefix, and
    // many equal names whose input order must stay.
    std::mt19937_64 gen(17);
    const char alphabet[] = {'\0', 'a', 'b', '\x7f', '\x80', '\xff'};
    for (std::size_t prefix_len : {0, 3, 20}) {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::string> names;
            const std::string prefix(prefix_len, 'p');
            for (int i = 0; i < 200; ++i) {
                std::string n = prefix;
                const std::size_t len = gen() % 14;
                for (std::size_t k = 0; k < len; ++k) {
                    n.push_back(k < 9 && round % 2 ? 'x' : alphabet[gen() % std::size(alphabet)]);
                }
                names.push_back(n);
            }
            NamedFeatures f;
            for (std::size_t i = 0; i < names.size(); ++i) {
                f.push_back(num(names[i], static_cast<double>(i)));  // weight tells input order
            }
            auto want = f;
            std::stable_sort(want.begin(), want.end(),
                             [](const auto& x, const auto& y) { return x.name < y.name; });
            const TokenList got = encoding::feature_tokens("c", f);
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                const std::string bytes = "c|" + std::string(want[i].name) + "\x1f";
                ASSERT_EQ(got[i].seed, fnv1a(0xcbf29ce484222325ULL, bytes.data(), bytes.size()))
                    << "at " << i;
                ASSERT_EQ(got[i].weight, want[i].value.number) << "at " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, EncodingTest,
                         ::testing::Values(encoding::HashKernel::Portable,
                                           encoding::HashKernel::Avx2,
                                           encoding::HashKernel::Avx512));

TEST(EncodingScratch, GrownScratchIsGivenBackSmallIsKept) {
    // One candidate of 300 context tokens x 5000 parts: about 1.5 million raw
    // entries, tens of megabytes of scratch while it runs.
    const auto names = names_of(5000, true);
    NamedFeatures ctx, cand;
    for (std::size_t i = 0; i < 299; ++i) ctx.push_back(num(names[i], 1.0));
    for (const std::string& n : names) cand.push_back(num(n, 2.0));
    const FeatureVector big = encode(ctx, "big", cand, 24);
    EXPECT_GT(big.size(), 1000000u);
    EXPECT_LE(encoding::scratch_bytes(), encoding::kScratchKeep);

    (void)encode({num("a", 1.0)}, "small", {num("b", 1.0)}, 8);
    const std::size_t kept = encoding::scratch_bytes();
    EXPECT_GT(kept, 0u);
    EXPECT_LE(kept, encoding::kScratchKeep);
    (void)encode({num("a", 1.0)}, "small", {num("b", 1.0)}, 8);
    EXPECT_EQ(encoding::scratch_bytes(), kept);  // reused, not grown
}

}  // namespace
}  // namespace ordwyne
