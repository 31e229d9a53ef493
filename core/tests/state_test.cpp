// The state format: the writer against a hand-built layout, exact round
// trips in either hex case, and the reading checks in order, from crafted
// bytes with a valid checksum.
#include <cctype>

#include "state.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(StateTest, FreshStateLayout) {
    const std::string fresh = api::serialize(make_bandit(1, 10.0, 0.0, 0.05, 1.0));
    EXPECT_EQ(fresh.substr(0, 32), "6f726477796e65000100000000000000");
    EXPECT_EQ(fresh, Layout{}.hex());
}

// Odd values everywhere, and a dimension create() never builds: the state
// loads and saves, but cannot decide.
TEST(StateTest, RoundTripsBitForBitInEitherCase) {
    Layout l{3, 0.3, 0.75, 0x1p-500, {from_bits(0x7ff8000000000123ULL), -0.0, 4.9e-324},
             {-kInf, from_bits(0xfff0000000000001ULL), -1.0}, kMax, 7, kInf,
             from_bits(0xfff8000000000042ULL), 1.0, {}, {}};
    l.records = {make_record("caf\xc3\xa9:1\xed\x9f\xbf\xe0\xa0\x80", kNaN, {{0, kNaN}, {2, -kInf}},
                             "\xe2\x82\xac"),
                 make_record("", -0.0, {}, ""),
                 make_record("\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", 2.0, {{1, 1e-320}},
                             std::string(1, '\0'))};
    l.records[1].propensity = -0.0;
    l.records[2].candidate_hash = l.records[2].chosen = kMax;
    const std::string text = l.hex();
    std::string upper = text, mixed = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t i = 0; i < mixed.size(); i += 3) mixed[i] = upper[i];
    for (const std::string& input : {text, upper, mixed}) {
        Bandit b = api::deserialize(input).value();
        EXPECT_EQ(api::serialize(b), text);
        EXPECT_EQ(to_hex(state::serialize(b)), text);
        EXPECT_EQ(std::tuple(b.decision_count, bits_of(b.default_reward), bits_of(b.model.b[1])),
                  std::tuple(kMax, bits_of(l.default_reward), bits_of(l.b[1])));
        EXPECT_EQ(bits(records_of(b)), bits(l.records));
        EXPECT_ERROR(api::decide(b, {}, std::vector<Candidate>{{"a", {}}}, "s", {}, {}, 0.0),
                     "model dimension is not 2**bits for bits in [1, 24]; the state was not "
                     "built by create()");
    }
}

Bytes header(std::uint64_t dim, double ridge = 1.0, double forgetting = 1.0, double scale = 1.0,
             std::uint64_t version = 1) {
    Bytes b;
    b.raw(std::string_view("ordwyne\0", 8)).u64(version).u64(dim).f64(ridge).f64(forgetting);
    return b.f64(scale);
}

// A state at dimension 2 whose record count is still to come.
Bytes up_to_records(std::uint64_t count) {
    Layout l;
    l.record_count = count;
    return l.body();
}

// One record at dimension 2; the low byte of its t follows the id.
std::string with_record(FeatureVector features, std::string id = "a:0", std::string salt = "s") {
    Layout l;
    l.records = {make_record(std::move(id), from_bits(0xac), std::move(features), std::move(salt))};
    return l.hex();
}

TEST(StateTest, EachReadingFailureInItsPlace) {
    constexpr const char* kHex = "state must be a hexadecimal string";
    constexpr const char* kShort = "truncated state";
    constexpr const char* kMagic = "not a ordwyne state (bad magic)";
    constexpr const char* kForget = "forgetting must be in (0, 1] (1.0 = never forget)";
    constexpr const char* kScale = "scale must be in (0, 1]";
    constexpr const char* kRecord =
        "record features must be (index, value) pairs in strictly increasing index order within "
        "the model dimension, values nonzero";
    std::vector<std::pair<std::string, std::string>> cases{
        {"0", kHex},
        {Layout{}.hex().substr(0, 270) + "0g", kHex},
        {"\xc3\xa9", kHex},
        {"", kShort},
        {to_hex(header(2).cut(23).v), kShort},
        {Bytes().raw("ordwynf").u64(1).u64(0).sealed_hex(), kMagic},
        {header(2, 1.0, 1.0, 1.0, kMax).cut(16).sealed_hex(),
         "unsupported state format version 18446744073709551615"},
        {header(0, kNaN, kNaN, kNaN, 0).sealed_hex(), "unsupported state format version 0"},
        {header(0, 0.0, kNaN, 2.0).sealed_hex(), "dim must be at least 1"},
        {header(2, -1.0, kNaN, 0.0).sealed_hex(), kForget},
        {header(2, -1.0, 1.5, 0.0).sealed_hex(), kForget},
        {header(2, kNaN, 1.0, 0.0).sealed_hex(), "ridge must be positive"},
        {header(2, 1.0, 1.0, -0.0).sealed_hex(), kScale},
        {header(2, 1.0, 1.0, 1.5).sealed_hex(), kScale},
        {header(2, 1.0, 1.0, kNaN).sealed_hex(), kScale},
        {header(2).sealed_hex(), kShort},
        {Layout{}.body().cut(48 + 24).sealed_hex(), kShort},
        // Forged counts and lengths: refused before anything is reserved.
        {header(1ULL << 62).f64(0.0).f64(0.0).sealed_hex(), kShort},
        {header(kMax).sealed_hex(), kShort},
        {up_to_records(1ULL << 62).sealed_hex(), kShort},
        {up_to_records(kMax).sealed_hex(), kShort},
        {up_to_records(1).text("a:0").f64(0.0).u64(0).u64(0).u64(1ULL << 61).sealed_hex(), kShort},
        {up_to_records(1).u64(1ULL << 62).raw("abc").sealed_hex(), kShort},
        {up_to_records(1).u64(kMax).raw("abc").sealed_hex(), kShort},
        {up_to_records(1).u64(4).raw("ab\xff").sealed_hex(), kShort},  // length before content
        {with_record({{1, 1.0}, {1, 2.0}}), kRecord},
        {with_record({{2, 1.0}}), kRecord},
        {with_record({{1, -0.0}}), kRecord},
        // A pair is checked as soon as it is read, before the bytes run out.
        {up_to_records(1).text("a:0").f64(0.0).u64(0).u64(0).u64(3).u64(1).f64(0.0).sealed_hex(),
         kRecord},
        {Bytes(Layout{}.body()).raw("x").sealed_hex(), "trailing bytes in state"},
    };
    for (std::size_t n = 16; n < 48; ++n) cases.push_back({header(2).cut(n).sealed_hex(), kShort});
    // Every changed byte is caught: in the magic, or by the checksum.
    Layout one;
    one.records = {make_record("a:0", 1.0)};
    Bytes sealed = one.body();
    sealed.u64(fnv1a(one.body().v));
    for (std::size_t i = 0; i < sealed.v.size(); ++i) {
        Bytes changed = sealed;
        changed.v[i] ^= 0x01;
        cases.push_back({to_hex(changed.v), i < 8 ? kMagic : "state checksum mismatch"});
    }
    // The range checks after the arrays come before the record count is read.
    for (auto [horizon, epsilon, message] : {std::tuple{0.0, 2.0, "horizon must be positive"},
                                              {kNaN, 0.5, "horizon must be positive"},
                                              {1.0, -0.1, "epsilon must be in [0, 1]"},
                                              {1.0, kNaN, "epsilon must be in [0, 1]"}}) {
        Layout l;
        l.horizon = horizon;
        l.epsilon = epsilon;
        cases.push_back({l.body().cut(136 - 16).sealed_hex(), message});
    }
    for (std::uint64_t count : {1, 3}) {
        Layout l;
        l.records = {make_record("a:0", 1.0), make_record("a:1", 2.0)};
        l.record_count = count;
        cases.push_back({l.hex(), count == 1 ? "trailing bytes in state" : kShort});
    }
    // In the id and in the salt; "\xe2\x82" is followed by t's low byte 0xac.
    for (const char* s : {"\xc3\x28", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80",
                          "\xe2\x82", "\xff", "\xe0\x80\xaf", "\xe2\x82\xc0", "\xf0\x8f\xbf\xbf"}) {
        cases.push_back({with_record({}, s), "state string is not valid UTF-8"});
        cases.push_back({with_record({}, "a:0", s), "state string is not valid UTF-8"});
    }
    for (const auto& [text, message] : cases)
        EXPECT_ERROR(api::deserialize(text), message) << "input " << text.substr(0, 300);
}

}  // namespace
}  // namespace ordwyne
