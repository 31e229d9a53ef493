// Shared helpers for the engine tests: bit-level double comparison, error
// assertions, ledger snapshots and a hand-written state layout builder that
// is independent of the engine's writer.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "decide.hpp"
#include "error.hpp"
#include "ledger.hpp"

namespace ordwyne::testing {

inline std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// Bitwise double equality: distinguishes -0.0 from +0.0 and compares NaN
// payloads.
#define EXPECT_SAME_DOUBLE(a, b) \
    EXPECT_EQ(::ordwyne::testing::bits_of(a), ::ordwyne::testing::bits_of(b))

// The result must be an Error with exactly this text.
#define EXPECT_ERROR(expr, text)                                        \
    do {                                                                \
        const auto& r_ = (expr);                                        \
        ASSERT_FALSE(r_.has_value()) << "expected error: " << (text);   \
        EXPECT_EQ(r_.error().message, std::string(text));               \
    } while (0)

inline Bandit make_bandit(std::uint32_t bits = 4, double horizon = 10.0,
                          double default_reward = 0.0, double epsilon = 0.05,
                          double forgetfulness = 1.0) {
    auto r = api::create(bits, horizon, default_reward, epsilon, forgetfulness);
    if (!r) {
        ADD_FAILURE() << "create failed: " << r.error().message;
        return std::move(*api::create(1, 1.0, 0.0, 0.0, 1.0));
    }
    return std::move(*r);
}

inline std::vector<DecisionRecord> records_of(const Bandit& b) {
    std::vector<DecisionRecord> out;
    b.ledger.for_each([&](const DecisionRecord& r) { out.push_back(r); });
    return out;
}

inline void expect_same_vector(const FeatureVector& got, const FeatureVector& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].index, want[i].index) << "entry " << i;
        EXPECT_SAME_DOUBLE(got[i].value, want[i].value) << "entry " << i;
    }
}

inline void expect_same_record(const DecisionRecord& got, const DecisionRecord& want) {
    EXPECT_EQ(got.decision_id, want.decision_id);
    EXPECT_SAME_DOUBLE(got.t, want.t);
    EXPECT_EQ(got.candidate_hash, want.candidate_hash);
    EXPECT_EQ(got.chosen, want.chosen);
    expect_same_vector(got.features, want.features);
    EXPECT_SAME_DOUBLE(got.propensity, want.propensity);
    EXPECT_EQ(got.model_version, want.model_version);
    EXPECT_EQ(got.salt, want.salt);
}

inline std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::uint8_t c : bytes) h = (h ^ c) * 0x100000001b3ULL;
    return h;
}

inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t c : bytes) {
        s += kDigits[c >> 4];
        s += kDigits[c & 15];
    }
    return s;
}

// Little-endian byte builder for crafted states.
struct Bytes {
    std::vector<std::uint8_t> v;

    Bytes& u64(std::uint64_t x) {
        for (int i = 0; i < 8; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
        return *this;
    }
    Bytes& f64(double x) { return u64(bits_of(x)); }
    Bytes& raw(std::string_view s) {
        for (char c : s) v.push_back(static_cast<std::uint8_t>(c));
        return *this;
    }
    Bytes& text(std::string_view s) { return u64(s.size()).raw(s); }
    Bytes& magic() { return raw(std::string_view("ordwyne\0", 8)); }

    // Appends the checksum of everything so far and renders the text.
    std::string sealed_hex() const {
        Bytes out = *this;
        out.u64(fnv1a(v));
        return to_hex(out.v);
    }
};

// Every field of a state, written in layout order by hand.
struct Layout {
    std::uint64_t dim = 2;
    double ridge = 1.0, forgetting = 1.0, scale = 1.0;
    std::vector<double> a, b;  // zeros when empty
    std::uint64_t decision_count = 0, model_version = 0;
    double horizon = 10.0, default_reward = 0.0, epsilon = 0.05;
    std::vector<DecisionRecord> records;
    std::optional<std::uint64_t> record_count;  // forged count if set

    static void record(Bytes& out, const DecisionRecord& r) {
        out.text(r.decision_id).f64(r.t).u64(r.candidate_hash).u64(r.chosen);
        out.u64(r.features.size());
        for (const Entry& e : r.features) out.u64(e.index).f64(e.value);
        out.f64(r.propensity).u64(r.model_version).text(r.salt);
    }

    Bytes body() const {
        Bytes out;
        out.magic().u64(1).u64(dim).f64(ridge).f64(forgetting).f64(scale);
        for (std::uint64_t i = 0; i < dim; ++i) out.f64(a.empty() ? 0.0 : a[i]);
        for (std::uint64_t i = 0; i < dim; ++i) out.f64(b.empty() ? 0.0 : b[i]);
        out.u64(decision_count).u64(model_version).f64(horizon).f64(default_reward).f64(epsilon);
        out.u64(record_count.value_or(records.size()));
        for (const auto& r : records) record(out, r);
        return out;
    }

    std::string hex() const { return body().sealed_hex(); }
};

// The reward model written straight from its definition, for comparisons.
struct RefModel {
    double ridge = 1.0, forgetting = 1.0, scale = 1.0;
    std::vector<double> a, b;

    RefModel(std::size_t dim, double forgetting_) : forgetting(forgetting_), a(dim), b(dim) {}

    void update(const FeatureVector& x, double r) {
        const double s = forgetting * scale;
        if (!x.empty()) {
            const double inv = 1.0 / s;
            for (const Entry& e : x) {
                a[e.index] = a[e.index] + inv * (e.value * e.value);
                b[e.index] = inv * (r * e.value) + b[e.index];
            }
        }
        if (s <= 0x1p-512) {
            for (double& v : a) v = v * s;
            for (double& v : b) v = v * s;
            scale = 1.0;
        } else {
            scale = s;
        }
    }

    double estimate(const FeatureVector& x) const {
        double acc = 0.0;
        for (const Entry& e : x)
            acc = acc + e.value * ((scale * b[e.index]) * (1.0 / (scale * a[e.index] + ridge)));
        return acc;
    }

    // Bitwise comparison with the engine's model; false on the first difference.
    bool same_as(const Model& m) const {
        if (bits_of(m.scale) != bits_of(scale) || m.a.size() != a.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (bits_of(m.a[i]) != bits_of(a[i]) || bits_of(m.b[i]) != bits_of(b[i])) return false;
        return true;
    }
};

inline DecisionRecord make_record(std::string id, double t, FeatureVector features = {{1, 1.0}},
                                  std::string salt = "s") {
    DecisionRecord r;
    r.decision_id = std::move(id);
    r.t = t;
    r.candidate_hash = 0x1234;
    r.chosen = 0;
    r.features = std::move(features);
    r.propensity = 0.5;
    r.model_version = 0;
    r.salt = std::move(salt);
    return r;
}

inline Bandit load(const Layout& layout) {
    auto r = api::deserialize(layout.hex());
    if (!r) {
        ADD_FAILURE() << "deserialize failed: " << r.error().message;
        return make_bandit();
    }
    return std::move(*r);
}

}  // namespace ordwyne::testing
