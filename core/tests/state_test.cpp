// The state format: the writer against a hand-built layout, exact round
// trips, and every reading error from crafted bytes with a valid checksum.
#include <cctype>
#include <limits>
#include <tuple>

#include "state.hpp"
#include "test_support.hpp"

namespace ordwyne {
namespace {

using namespace ordwyne::testing;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr const char* kTruncated = "truncated state";
constexpr const char* kRecordMsg =
    "record features must be (index, value) pairs in strictly increasing index order within the "
    "model dimension, values nonzero";
constexpr const char* kForgetMsg = "forgetting must be in (0, 1] (1.0 = never forget)";
constexpr const char* kUtf8Msg = "state string is not valid UTF-8";

Bytes header(std::uint64_t dim, double ridge = 1.0, double forgetting = 1.0, double scale = 1.0,
             std::uint64_t version = 1) {
    Bytes b;
    b.magic().u64(version).u64(dim).f64(ridge).f64(forgetting).f64(scale);
    return b;
}

Bytes cut(Bytes b, std::size_t size) {
    b.v.resize(size);
    return b;
}

// A state with no records and the record count still to come.
Bytes up_to_records(std::uint64_t records) {
    Layout l;
    l.record_count = records;
    return l.body();
}

Layout rich_layout() {
    Layout l;
    l.dim = 4;
    l.ridge = 0.3;
    l.forgetting = 0.75;
    l.scale = 0x1p-500;
    l.a = {from_bits(0x7ff8000000000123ULL), -0.0, kInf, 4.9e-324};
    l.b = {-kInf, from_bits(0xfff0000000000001ULL), 0.0, -1.0};  // a signalling NaN too
    l.decision_count = kMax;
    l.model_version = 7;
    l.horizon = kInf;
    l.default_reward = from_bits(0xfff8000000000042ULL);
    l.epsilon = 1.0;
    l.records = {make_record("caf\xc3\xa9:1", kNaN, {{0, kNaN}, {3, -kInf}}, "caf\xc3\xa9"),
                 make_record("", -0.0, {}, ""),
                 make_record("\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf", 2.0, {{1, -0.5}},
                             std::string(1, '\0'))};
    l.records[1].propensity = -0.0;
    l.records[2].candidate_hash = kMax;
    l.records[2].chosen = kMax;
    return l;
}

TEST(StateTest, FreshStateLayout) {
    const std::string text = api::serialize(make_bandit(1, 10.0, 0.0, 0.05, 1.0));
    EXPECT_EQ(text.size(), 272u);
    EXPECT_EQ(text.substr(0, 32), "6f726477796e65000100000000000000");
    EXPECT_EQ(text, Layout{}.hex());
}

TEST(StateTest, WriterMatchesTheLayoutWithRecords) {
    Bandit b = make_bandit(3, 4.0, -1.0, 0.2, 0.9);
    const std::vector<FeatureVector> vs{{{1, 1.0}, {6, -2.0}}, {{2, 0.5}}};
    for (const char* salt : {"x", "", "y\xc3\xa9"})
        ASSERT_TRUE(decide::decide(b, vs, salt, {}, {}, 1.5).has_value());
    ASSERT_TRUE(api::learn(b, ":1", 1.0, 2.0).has_value());
    Layout l;
    l.dim = 8;
    l.forgetting = 0.9;
    l.scale = b.model.scale;
    for (std::size_t i = 0; i < 8; ++i) {
        l.a.push_back(b.model.a[i]);
        l.b.push_back(b.model.b[i]);
    }
    l.decision_count = 3;
    l.model_version = 1;
    l.horizon = 4.0;
    l.default_reward = -1.0;
    l.epsilon = 0.2;
    l.records = records_of(b);
    ASSERT_EQ(l.records.size(), 2u);
    EXPECT_EQ(api::serialize(b), l.hex());
    EXPECT_EQ(to_hex(state::serialize(b)), l.hex());
}

TEST(StateTest, RoundTripsBitForBitInEitherCase) {
    const Layout l = rich_layout();
    const std::string text = l.hex();
    std::string upper = text, mixed = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (std::size_t i = 0; i < mixed.size(); i += 3)
        mixed[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(mixed[i])));
    for (const std::string& input : {text, upper, mixed}) {
        auto b = api::deserialize(input);
        ASSERT_TRUE(b.has_value()) << b.error().message;
        EXPECT_EQ(api::serialize(*b), text);
        EXPECT_EQ(b->decision_count, kMax);
        EXPECT_SAME_DOUBLE(b->default_reward, l.default_reward);
        EXPECT_SAME_DOUBLE(b->model.b[1], l.b[1]);
        const auto recs = records_of(*b);
        ASSERT_EQ(recs.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) expect_same_record(recs[i], l.records[i]);
    }
}

TEST(StateTest, EveryChangedByteIsCaught) {
    Layout l;
    l.records = {make_record("a:0", 1.0)};
    const std::vector<std::uint8_t> good = l.body().v;
    Bytes sealed = l.body();
    sealed.u64(fnv1a(good));
    for (std::size_t i = 0; i < sealed.v.size(); ++i) {
        Bytes changed = sealed;
        changed.v[i] ^= 0x01;
        SCOPED_TRACE(i);
        EXPECT_ERROR(api::deserialize(to_hex(changed.v)),
                     i < 8 ? "not a ordwyne state (bad magic)" : "state checksum mismatch");
    }
}

struct BadState {
    const char* label;
    std::string text;
    std::string message;
};

std::vector<BadState> bad_states() {
    const std::string fresh = Layout{}.hex();
    std::vector<BadState> cases{
        {"oddDigits", "0", "state must be a hexadecimal string"},
        {"oddFull", fresh.substr(1), "state must be a hexadecimal string"},
        {"oddBadChars", "zzz", "state must be a hexadecimal string"},
        {"badChar", fresh.substr(0, 270) + "0g", "state must be a hexadecimal string"},
        {"space", " 0", "state must be a hexadecimal string"},
        {"nonAscii", "\xc3\xa9", "state must be a hexadecimal string"},
        {"empty", "", kTruncated},
        {"23Bytes", to_hex(cut(header(2), 23).v), kTruncated},
        {"shortBadMagic", Bytes().raw("ordwynf").u64(1).u64(0).sealed_hex(),
         "not a ordwyne state (bad magic)"},
        {"version2", Bytes().magic().u64(2).raw("garbage!").sealed_hex(),
         "unsupported state format version 2"},
        {"version2Bare", Bytes().magic().u64(2).sealed_hex(), "unsupported state format version 2"},
        {"version0", header(0, kNaN, kNaN, kNaN, 0).sealed_hex(),
         "unsupported state format version 0"},
        {"versionMax", Bytes().magic().u64(kMax).sealed_hex(),
         "unsupported state format version 18446744073709551615"},
        {"40Bytes", cut(header(2), 32).sealed_hex(), kTruncated},
        {"48Bytes", cut(header(2), 40).sealed_hex(), kTruncated},
        {"dimFirst", header(0, 0.0, kNaN, 2.0).sealed_hex(), "dim must be at least 1"},
        {"forgettingZero", header(2, -1.0, 0.0).sealed_hex(), kForgetMsg},
        {"forgettingHigh", header(2, -1.0, 1.5).sealed_hex(), kForgetMsg},
        {"forgettingNaN", header(2, 1.0, kNaN, 0.0).sealed_hex(), kForgetMsg},
        {"ridgeZero", header(2, 0.0, 1.0, 0.0).sealed_hex(), "ridge must be positive"},
        {"ridgeNaN", header(2, kNaN).sealed_hex(), "ridge must be positive"},
        {"scaleZero", header(2, 1.0, 1.0, -0.0).sealed_hex(), "scale must be in (0, 1]"},
        {"scaleHigh", header(2, 1.0, 1.0, 1.5).sealed_hex(), "scale must be in (0, 1]"},
        {"scaleNaN", header(2, 1.0, 1.0, kNaN).sealed_hex(), "scale must be in (0, 1]"},
        {"noArrays", header(2).sealed_hex(), kTruncated},
        {"shortArray", cut(Layout{}.body(), 48 + 8 * 3).sealed_hex(), kTruncated},
        {"hugeDim", header(1ULL << 62).f64(0.0).f64(0.0).sealed_hex(), kTruncated},
        {"maxDim", header(kMax).sealed_hex(), kTruncated},
        {"hugeRecordCount", up_to_records(1ULL << 62).sealed_hex(), kTruncated},
        {"maxRecordCount", up_to_records(kMax).sealed_hex(), kTruncated},
        {"hugeFeatureCount",
         up_to_records(1).text("a:0").f64(0.0).u64(0).u64(0).u64(1ULL << 61).u64(0).sealed_hex(),
         kTruncated},
        {"hugeText", up_to_records(1).u64(1ULL << 62).raw("abc").sealed_hex(), kTruncated},
        {"maxText", up_to_records(1).u64(kMax).raw("abc").sealed_hex(), kTruncated},
        {"textOneLong", up_to_records(1).u64(4).raw("abc").sealed_hex(), kTruncated},
        {"trailing", Bytes(Layout{}.body()).raw("x").sealed_hex(), "trailing bytes in state"},
    };
    // Range checks after the arrays come before the record count is read.
    for (auto [label, horizon, epsilon, msg] :
         std::vector<std::tuple<const char*, double, double, const char*>>{
             {"horizonZero", 0.0, 2.0, "horizon must be positive"},
             {"horizonNeg", -kInf, 0.5, "horizon must be positive"},
             {"horizonNaN", kNaN, 0.5, "horizon must be positive"},
             {"epsilonNeg", 1.0, -0.1, "epsilon must be in [0, 1]"},
             {"epsilonHigh", 1.0, 1.1, "epsilon must be in [0, 1]"},
             {"epsilonNaN", 1.0, kNaN, "epsilon must be in [0, 1]"}}) {
        Layout l;
        l.horizon = horizon;
        l.epsilon = epsilon;
        cases.push_back({label, cut(l.body(), 136 - 8 - 8).sealed_hex(), msg});
    }
    for (std::size_t extra = 0; extra < 16; ++extra)
        cases.push_back({"24to39", cut(header(2), 16 + extra).sealed_hex(), kTruncated});
    return cases;
}

TEST(StateReadTest, EachFailureInItsPlace) {
    for (const auto& c : bad_states()) {
        SCOPED_TRACE(c.label);
        EXPECT_ERROR(api::deserialize(c.text), c.message);
    }
}

TEST(StateReadTest, RecordCountsAgainstRecords) {
    Layout l;
    l.records = {make_record("a:0", 1.0), make_record("a:1", 2.0)};
    l.record_count = 3;
    EXPECT_ERROR(api::deserialize(l.hex()), kTruncated);
    l.record_count = 1;
    EXPECT_ERROR(api::deserialize(l.hex()), "trailing bytes in state");
    l.record_count.reset();
    EXPECT_TRUE(api::deserialize(l.hex()).has_value());
}

TEST(StateReadTest, RecordFeatureRule) {
    const std::vector<std::pair<FeatureVector, bool>> cases{
        {{{1, 1.0}, {1, 2.0}}, false}, {{{1, 1.0}, {0, 2.0}}, false}, {{{2, 1.0}}, false},
        {{{kMax, 1.0}}, false},        {{{0, 0.0}}, false},            {{{1, -0.0}}, false},
        {{{0, 1.0}, {1, 0.0}}, false}, {{{0, kNaN}}, true},            {{}, true},
        {{{0, -kInf}, {1, 1e-320}}, true}};
    for (const auto& [features, ok] : cases) {
        Layout l;  // dim 2
        l.records = {make_record("a:0", 0.0, features)};
        auto r = api::deserialize(l.hex());
        if (ok)
            EXPECT_TRUE(r.has_value());
        else
            EXPECT_ERROR(r, kRecordMsg);
    }
    // The pair is checked as soon as it is read, before the bytes run out.
    EXPECT_ERROR(api::deserialize(up_to_records(1).text("a:0").f64(0.0).u64(0).u64(0).u64(3)
                                      .u64(1).f64(0.0).sealed_hex()),
                 kRecordMsg);
}

TEST(StateReadTest, StringsMustBeStrictUtf8) {
    const std::vector<std::pair<std::string, bool>> cases{
        {"\xc3\x28", false},         {"\xc0\x80", false},     {"\xed\xa0\x80", false},
        {"\xf4\x90\x80\x80", false}, {"\x80", false},         {"\xe2\x82", false},
        {"\xff", false},             {"\xe0\x80\xaf", false}, {"\xed\x9f\xbf", true},
        {"\xf4\x8f\xbf\xbf", true},  {"\xe2\x82\xac", true},  {std::string(1, '\0'), true}};
    for (const auto& [text, ok] : cases) {
        for (bool in_salt : {false, true}) {
            Layout l;
            l.records = {
                make_record(in_salt ? "a:0" : text, 0.0, {{1, 1.0}}, in_salt ? text : "a")};
            auto r = api::deserialize(l.hex());
            if (ok)
                EXPECT_TRUE(r.has_value());
            else
                EXPECT_ERROR(r, kUtf8Msg);
        }
    }
}

TEST(StateReadTest, OddDimensionLoadsButCannotDecide) {
    Layout l;
    l.dim = 3;
    l.a = {1.0, 2.0, 3.0};
    l.b = {4.0, 5.0, 6.0};
    l.records = {make_record("z:0", 0.0, {{2, 1.0}})};
    auto b = api::deserialize(l.hex());
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(api::serialize(*b), l.hex());
    EXPECT_FALSE(api::model_bits(*b).has_value());
}

}  // namespace
}  // namespace ordwyne
