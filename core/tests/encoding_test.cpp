// Feature encoding: known vectors, the combining rules, name order, and a
// randomized comparison with a straightforward re-implementation.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "encoding.hpp"
#include "rng.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

FeatureVector encode(const NamedFeatures& context, std::string_view name,
                     const NamedFeatures& features, std::uint32_t bits) {
    auto r = encoding::encode_with_context(encoding::context_tokens(context), name, features, bits);
    if (!r) {
        ADD_FAILURE() << r.error().message;
        return {};
    }
    return *r;
}

NamedFeature num(std::string_view name, double x) { return {name, Value::of_number(x)}; }
NamedFeature txt(std::string_view name, std::string_view s) { return {name, Value::of_text(s)}; }
NamedFeature missing(std::string_view name) { return {name, Value::missing()}; }

// The encoder spelled out naively: concatenated strings, std::stable_sort,
// no precomputed hash states.
FeatureVector reference_encode(const NamedFeatures& context, std::string_view name,
                               const NamedFeatures& features, std::uint32_t bits) {
    auto sorted = [](NamedFeatures f) {
        std::stable_sort(f.begin(), f.end(), [](const NamedFeature& x, const NamedFeature& y) {
            return x.name < y.name;
        });
        return f;
    };
    auto terms = [&](std::string_view prefix, const NamedFeatures& f) {
        std::vector<std::pair<std::string, double>> out;
        for (const auto& [n, v] : sorted(f)) {
            std::string head = std::string(prefix) + "|" + std::string(n);
            if (v.kind == Value::Kind::Text)
                out.emplace_back(head + "=" + std::string(v.text), 1.0);
            if (v.kind == Value::Kind::Number) out.emplace_back(head, v.number);
        }
        return out;
    };
    std::vector<std::pair<std::string, double>> tokens{{"", 1.0}};
    for (auto& t : terms("c", context)) tokens.push_back(t);
    std::vector<std::pair<std::string, double>> parts{{"", 1.0}};
    for (auto& p : terms("a", features)) parts.push_back(p);
    parts.emplace_back("i|" + std::string(name), 1.0);

    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    FeatureVector raw;
    for (const auto& [tok, tw] : tokens) {
        for (const auto& [part, pw] : parts) {
            std::vector<std::uint8_t> bytes(tok.begin(), tok.end());
            bytes.push_back(0x1f);
            bytes.insert(bytes.end(), part.begin(), part.end());
            const std::uint64_t z = rng::mix64(fnv1a(bytes));
            const double signed_w = (z >> 63) ? -tw : tw;
            raw.push_back({z & mask, pw * signed_w});
        }
    }
    std::stable_sort(raw.begin(), raw.end(),
                     [](const Entry& x, const Entry& y) { return x.index < y.index; });
    FeatureVector out;
    for (std::size_t i = 0; i < raw.size();) {
        double sum = raw[i].value;
        std::size_t j = i + 1;
        for (; j < raw.size() && raw[j].index == raw[i].index; ++j) sum = sum + raw[j].value;
        if (!(sum == 0.0)) out.push_back({raw[i].index, sum});
        i = j;
    }
    return out;
}

TEST(EncodingTest, KnownVectors) {
    expect_same_vector(encode({}, "a", {}, 4), {{11, 1.0}, {14, -1.0}});
    expect_same_vector(encode({}, "a", {}, 1), {{0, -1.0}, {1, 1.0}});
    const NamedFeatures context{num("hour", 3.0), txt("device", "phone"), missing("x")};
    const NamedFeatures candidate{num("price", 2.5), txt("color", "red")};
    expect_same_vector(encode(context, "b", candidate, 8),
                       {{18, 3.0}, {27, 1.0}, {48, 1.0}, {61, 3.0}, {123, 1.0}, {131, 1.0},
                        {134, 7.5}, {166, -2.5}, {178, 1.0}, {196, -3.0}, {200, 1.0}, {201, 2.5}});
}

TEST(EncodingTest, ContextTokensStartWithBias) {
    const auto tokens =
        encoding::context_tokens({num("hour", 3.0), txt("device", "phone"), missing("x")});
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0].bytes, "");
    EXPECT_EQ(tokens[0].weight, 1.0);
    EXPECT_EQ(tokens[0].seed, 0xaf63d24c8601db8eULL);
    EXPECT_EQ(tokens[1].bytes, "c|device=phone");
    EXPECT_EQ(tokens[1].weight, 1.0);
    EXPECT_EQ(tokens[2].bytes, "c|hour");
    EXPECT_EQ(tokens[2].weight, 3.0);
}

TEST(EncodingTest, NamesSortByUnsignedBytesAndStably) {
    const auto tokens = encoding::feature_tokens(
        "p", {num("\xc3\xa9", 1.0), num("ab", 2.0), num("a", 3.0), num("B", 4.0), num("", 5.0),
              num("k", 6.0), num("k", 7.0), txt("k", "t")});
    const std::vector<std::pair<std::string, double>> want{
        {"p|", 5.0},  {"p|B", 4.0}, {"p|a", 3.0}, {"p|ab", 2.0},
        {"p|k", 6.0}, {"p|k", 7.0}, {"p|k=t", 1.0}, {"p|\xc3\xa9", 1.0}};
    ASSERT_EQ(tokens.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(tokens[i].bytes, want[i].first) << i;
        EXPECT_EQ(tokens[i].weight, want[i].second) << i;
    }
}

TEST(EncodingTest, InputOrderOfDistinctNamesNeverMatters) {
    // At bits 1 almost everything collides and the large values make the sums
    // depend on the order of addition, so any ordering slip shows.
    NamedFeatures f{num("B", 1e16), num("a", 1.0), num("ab", -1e16), num("\xc3\xa9", 3.0),
                    txt("c", "x")};
    const NamedFeatures ctx{num("h", 1e16), num("G", 0.5), txt("g", "y")};
    const FeatureVector want = reference_encode(ctx, "n", f, 1);
    std::sort(f.begin(), f.end(), [](auto& x, auto& y) { return x.name < y.name; });
    do {
        expect_same_vector(encode(ctx, "n", f, 1), want);
    } while (std::next_permutation(f.begin(), f.end(),
                                   [](auto& x, auto& y) { return x.name < y.name; }));
}

TEST(EncodingTest, EquivalentInputsGiveIdenticalVectors) {
    const FeatureVector base = encode({}, "a", {num("p", 2.0)}, 4);
    // Zero-valued numbers (false included) produce only zero entries, which drop.
    expect_same_vector(encode({num("flag", 0.0)}, "a", {num("p", 2.0)}, 4), base);
    expect_same_vector(encode({num("flag", -0.0)}, "a", {num("p", 2.0), num("q", 0.0)}, 4), base);
    // Missing contributes no token and no part.
    expect_same_vector(encode({missing("x")}, "a", {missing("y"), num("p", 2.0)}, 4), base);
    // Equal and opposite context terms cancel exactly and leave no index behind.
    expect_same_vector(encode({num("x", 1.0), num("x", -1.0)}, "a", {num("p", 2.0)}, 4), base);
    EXPECT_NE(encode({num("x", 1.0)}, "a", {num("p", 2.0)}, 4).size(), base.size());
    // "=" is not escaped: name k=v with text w equals name k with text v=w.
    expect_same_vector(encode({txt("k=v", "w")}, "a", {txt("k=v", "w")}, 8),
                       encode({txt("k", "v=w")}, "a", {txt("k", "v=w")}, 8));
}

TEST(EncodingTest, NonFiniteNumbersFlowThrough) {
    for (double x : {kNaN, kInf, -kInf}) {
        const FeatureVector v = encode({num("h", 1.0)}, "a", {num("p", x)}, 6);
        expect_same_vector(v, reference_encode({num("h", 1.0)}, "a", {num("p", x)}, 6));
        const bool has_non_finite =
            std::any_of(v.begin(), v.end(), [](const Entry& e) { return !std::isfinite(e.value); });
        EXPECT_TRUE(has_non_finite);
    }
}

TEST(EncodingTest, BitsOutOfRange) {
    const auto tokens = encoding::context_tokens({});
    for (std::uint32_t bits : {0u, 25u, 64u, 0xffffffffu})
        EXPECT_ERROR(encoding::encode_with_context(tokens, "a", {}, bits),
                     "bits must be between 1 and 24");
    const FeatureVector v = encode({txt("d", "x"), num("h", 2.0)}, "cand", {num("p", 1.5)}, 24);
    ASSERT_FALSE(v.empty());
    for (const Entry& e : v) EXPECT_LT(e.index, std::uint64_t{1} << 24);
    expect_same_vector(
        v, reference_encode({txt("d", "x"), num("h", 2.0)}, "cand", {num("p", 1.5)}, 24));
}

TEST(EncodingTest, RandomInputsMatchNaiveEncoder) {
    static const char* kNames[] = {"", "a", "B", "ab", "a|b", "=", "\xc3\xa9", "hour", "k"};
    static const char* kTexts[] = {"", "x", "red", "v=w", "|"};
    static const double kNums[] = {1.0, -1.0, 0.0, -0.0, 2.5, 1e16, -1e16, 3.0, 1e-300, 0.1};
    std::mt19937_64 gen(7);
    auto pick = [&](auto& arr) { return arr[gen() % std::size(arr)]; };
    auto features = [&](std::size_t max) {
        NamedFeatures f;
        for (std::size_t i = gen() % (max + 1); i > 0; --i) {
            switch (gen() % 3) {
                case 0: f.push_back(txt(pick(kNames), pick(kTexts))); break;
                case 1: f.push_back(num(pick(kNames), pick(kNums))); break;
                default: f.push_back(missing(pick(kNames)));
            }
        }
        return f;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = round % 100 == 0 ? 60 : 4;
        const NamedFeatures ctx = features(size);
        const NamedFeatures cand = features(size);
        const std::uint32_t bits = round % 4 == 0 ? 1 + gen() % 24 : 1 + gen() % 4;
        const char* name = pick(kNames);
        SCOPED_TRACE(round);
        expect_same_vector(encode(ctx, name, cand, bits), reference_encode(ctx, name, cand, bits));
    }
}

}  // namespace
}  // namespace ordwyne
