// Shared helpers for the engine tests: bitwise comparisons, error assertions,
// a reference reward model and a hand-written state layout builder that is
// independent of the engine's writer.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "api.hpp"

namespace ordwyne::testing {

// prefix followed by the decimal digits of i.
inline std::string numbered(std::string_view prefix, std::size_t i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }
inline double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// The error text of a result, to compare with the expected one.
template <class R>
std::string error_of(const R& r) {
    return r.has_value() ? std::string("(no error)") : r.error().message;
}
#define EXPECT_ERROR(expr, text) EXPECT_EQ(::ordwyne::testing::error_of(expr), std::string(text))

inline Bandit make_bandit(std::uint32_t bits = 4, double horizon = 10.0,
                          double default_reward = 0.0, double epsilon = 0.05,
                          double forgetfulness = 1.0) {
    return api::create(bits, horizon, default_reward, epsilon, forgetfulness).value();
}

inline std::vector<DecisionRecord> records_of(const Bandit& b) {
    std::vector<DecisionRecord> out;
    b.ledger.for_each([&](const DecisionRecord& r) { out.push_back(r); });
    return out;
}

// Bit patterns: comparing these tells -0.0 from 0.0 and NaN payloads apart,
// and gtest prints any difference.
inline std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double x : v) out.push_back(bits_of(x));
    return out;
}
inline std::vector<std::pair<std::uint64_t, std::uint64_t>> bits(const FeatureVector& v) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const Entry& e : v) out.emplace_back(e.index, bits_of(e.value));
    return out;
}
inline auto bits(const DecisionRecord& r) {
    return std::tuple(r.decision_id, bits_of(r.t), r.candidate_hash, r.chosen, bits(r.features),
                      bits_of(r.propensity), r.model_version, r.salt);
}
inline auto bits(const std::vector<DecisionRecord>& records) {
    std::vector<decltype(bits(DecisionRecord{}))> out;
    for (const DecisionRecord& r : records) out.push_back(bits(r));
    return out;
}

// FNV-1a byte by byte, the definition every fast path is checked against,
// continued from the state h.
inline std::uint64_t fnv1a(std::uint64_t h, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
    return h;
}

inline std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
    return fnv1a(0xcbf29ce484222325ULL, bytes.data(), bytes.size());
}

inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t c : bytes) s += {kDigits[c >> 4], kDigits[c & 15]};
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
    Bytes& cut(std::size_t size) {
        v.resize(size);
        return *this;
    }
    // Appends the checksum of everything so far and renders the text.
    std::string sealed_hex() const {
        Bytes out = *this;
        return to_hex(out.u64(fnv1a(v)).v);
    }
};

inline DecisionRecord make_record(std::string id, double t, FeatureVector features = {{1, 1.0}},
                                  std::string salt = "s") {
    return {std::move(id), t, 0x1234, 0, std::move(features), 0.5, 0, std::move(salt)};
}

// Every field of a state, written in layout order by hand.
struct Layout {
    std::uint64_t dim = 2;
    double ridge = 1.0, forgetting = 1.0, scale = 1.0;
    std::vector<double> a, b;  // zeros when empty
    std::uint64_t decision_count = 0, model_version = 0;
    double horizon = 10.0, default_reward = 0.0, epsilon = 0.05;
    std::vector<DecisionRecord> records;
    std::optional<std::uint64_t> record_count;  // forged count if set

    Bytes body() const {
        Bytes out;
        out.raw(std::string_view("ordwyne\0", 8)).u64(1).u64(dim).f64(ridge).f64(forgetting);
        out.f64(scale);
        for (std::uint64_t i = 0; i < dim; ++i) out.f64(a.empty() ? 0.0 : a[i]);
        for (std::uint64_t i = 0; i < dim; ++i) out.f64(b.empty() ? 0.0 : b[i]);
        out.u64(decision_count).u64(model_version).f64(horizon).f64(default_reward).f64(epsilon);
        out.u64(record_count.value_or(records.size()));
        for (const auto& r : records) {
            out.text(r.decision_id).f64(r.t).u64(r.candidate_hash).u64(r.chosen);
            out.u64(r.features.size());
            for (const Entry& e : r.features) out.u64(e.index).f64(e.value);
            out.f64(r.propensity).u64(r.model_version).text(r.salt);
        }
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
        for (const Entry& e : x) {
            a[e.index] = a[e.index] + (1.0 / s) * (e.value * e.value);
            b[e.index] = (1.0 / s) * (r * e.value) + b[e.index];
        }
        scale = s;
        if (s <= 0x1p-512) {
            for (double& v : a) v = v * s;
            for (double& v : b) v = v * s;
            scale = 1.0;
        }
    }

    double estimate(const FeatureVector& x) const {
        double acc = 0.0;
        for (const Entry& e : x)
            acc = acc + e.value * ((scale * b[e.index]) * (1.0 / (scale * a[e.index] + ridge)));
        return acc;
    }

    // Bitwise comparison with the engine's model.
    bool same_as(const Model& m) const {
        if (bits_of(m.scale) != bits_of(scale) || m.a.size() != a.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (bits_of(m.a[i]) != bits_of(a[i]) || bits_of(m.b[i]) != bits_of(b[i])) return false;
        return true;
    }
};

}  // namespace ordwyne::testing
