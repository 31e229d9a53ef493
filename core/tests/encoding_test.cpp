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

TEST(EncodingTest, KnownVectors) {
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
}

TEST(EncodingTest, RandomInputsMatchNaiveEncoder) {
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

}  // namespace
}  // namespace ordwyne
