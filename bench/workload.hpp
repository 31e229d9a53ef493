// The standard benchmark workload: one news-feed style decision, a context
// of 10 features (5 text, 5 numbers) and 10 candidate articles of 5
// features each (3 text, 2 numbers), bits 18, the model's own estimates.
//
// Values come from fixed pools (64 contexts, 256 articles) mixed into 1024
// decision plans by a seeded SplitMix64, so repeated decisions revisit the
// same tokens and model coordinates the way real traffic does, without
// collapsing into one hot cache line. bench/workload.py builds exactly the
// same pools and plans; fingerprint() must agree between the two.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encoding.hpp"

namespace ordwyne::bench {

inline constexpr std::uint32_t kBits = 18;
inline constexpr double kHorizon = 3600.0;
inline constexpr double kDefaultReward = 0.0;
inline constexpr double kEpsilon = 0.05;
inline constexpr double kForgetfulness = 0.999;
inline constexpr std::uint64_t kSeed = 20240601;
inline constexpr std::size_t kContexts = 64;
inline constexpr std::size_t kArticles = 256;
inline constexpr std::size_t kPlans = 1024;
inline constexpr std::size_t kCandidates = 10;
inline constexpr std::string_view kSalt = "bench";

// SplitMix64 (with its increment): the workload's only source of variety.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        state += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
};

namespace pools {
inline constexpr std::array<std::string_view, 4> kDevice = {"phone", "tablet", "desktop", "tv"};
inline constexpr std::array<std::string_view, 12> kCountry = {"de", "fr", "us", "gb", "es", "it",
                                                              "nl", "pl", "se", "br", "jp", "in"};
inline constexpr std::array<std::string_view, 5> kDaypart = {"morning", "midday", "afternoon",
                                                             "evening", "night"};
inline constexpr std::array<std::string_view, 8> kInterest = {
    "sports", "politics", "tech", "culture", "science", "travel", "food", "finance"};
inline constexpr std::array<std::string_view, 4> kBrowser = {"firefox", "chrome", "safari", "edge"};
inline constexpr std::array<std::string_view, 8> kTopic = {
    "sports", "politics", "tech", "culture", "science", "travel", "food", "finance"};
inline constexpr std::array<std::string_view, 5> kLanguage = {"de", "en", "fr", "es", "it"};
inline constexpr std::size_t kAuthors = 32;  // author_00 .. author_31
}  // namespace pools

// Owns every string the features view, so it is neither copied nor moved.
class Workload {
public:
    explicit Workload(std::uint64_t seed = kSeed) {
        SplitMix64 rng{seed};
        for (std::size_t i = 0; i < pools::kAuthors; ++i) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "author_%02zu", i);
            authors_[i] = buf;
        }
        for (auto& c : contexts_) {
            c.reserve(10);
            c.push_back({"device", Value::of_text(pools::kDevice[rng.below(4)])});
            c.push_back({"country", Value::of_text(pools::kCountry[rng.below(12)])});
            c.push_back({"daypart", Value::of_text(pools::kDaypart[rng.below(5)])});
            c.push_back({"interest", Value::of_text(pools::kInterest[rng.below(8)])});
            c.push_back({"browser", Value::of_text(pools::kBrowser[rng.below(4)])});
            c.push_back({"hour", Value::of_number(static_cast<double>(rng.below(24)))});
            c.push_back({"age", Value::of_number(static_cast<double>(18 + rng.below(63)))});
            c.push_back({"visits", Value::of_number(static_cast<double>(1 + rng.below(50)))});
            c.push_back({"session_minutes",
                         Value::of_number(static_cast<double>(1 + rng.below(240)) * 0.25)});
            c.push_back({"scroll_depth", Value::of_number(static_cast<double>(rng.below(21)) * 0.05)});
        }
        for (std::size_t k = 0; k < kArticles; ++k) {
            names_[k] = "article_" + std::to_string(1000 + k);
            NamedFeatures& f = articles_[k];
            f.reserve(5);
            f.push_back({"topic", Value::of_text(pools::kTopic[rng.below(8)])});
            f.push_back({"author", Value::of_text(authors_[rng.below(pools::kAuthors)])});
            f.push_back({"language", Value::of_text(pools::kLanguage[rng.below(5)])});
            f.push_back({"length", Value::of_number(static_cast<double>(200 + 50 * rng.below(57)))});
            f.push_back(
                {"age_hours", Value::of_number(static_cast<double>(1 + rng.below(144)) * 0.5)});
        }
        plans_.resize(kPlans);
        for (Plan& p : plans_) {
            p.context = rng.below(kContexts);
            const std::uint64_t start = rng.below(kArticles);
            const std::uint64_t step = 1 + 2 * rng.below(kArticles / 2);  // odd: all distinct
            p.candidates.reserve(kCandidates);
            for (std::size_t j = 0; j < kCandidates; ++j) {
                const std::size_t a = (start + j * step) % kArticles;
                p.articles[j] = a;
                p.candidates.push_back({names_[a], articles_[a]});
            }
        }
    }
    Workload(const Workload&) = delete;
    Workload& operator=(const Workload&) = delete;

    // Decision i of the stream uses plan i mod kPlans.
    const NamedFeatures& context(std::size_t i) const {
        return contexts_[plans_[i % kPlans].context];
    }
    std::span<const Candidate> candidates(std::size_t i) const {
        return plans_[i % kPlans].candidates;
    }
    // The click: about one decision in ten is rewarded 1.0.
    static double reward(std::uint64_t i) {
        SplitMix64 r{kSeed ^ i};
        return r.below(10) == 0 ? 1.0 : 0.0;
    }
    // Decision i happens at t = i seconds.
    static double time(std::uint64_t i) { return static_cast<double>(i); }

    // FNV-1a 64 over every plan's context and candidates, value bits
    // included: equal in C++ and Python exactly when the workloads agree.
    std::uint64_t fingerprint() const {
        std::uint64_t h = 0xcbf29ce484222325ULL;
        auto byte = [&](std::uint8_t b) { h = (h ^ b) * 0x100000001b3ULL; };
        auto u64 = [&](std::uint64_t v) {
            for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
        };
        auto text = [&](std::string_view s) {
            u64(s.size());
            for (char c : s) byte(static_cast<std::uint8_t>(c));
        };
        auto features = [&](const NamedFeatures& fs) {
            u64(fs.size());
            for (const NamedFeature& f : fs) {
                text(f.name);
                if (f.value.kind == Value::Kind::Text) {
                    byte('T');
                    text(f.value.text);
                } else {
                    byte('N');
                    std::uint64_t bits;
                    std::memcpy(&bits, &f.value.number, 8);
                    u64(bits);
                }
            }
        };
        for (std::size_t i = 0; i < kPlans; ++i) {
            features(context(i));
            u64(candidates(i).size());
            for (const Candidate& c : candidates(i)) {
                text(c.name);
                features(c.features);
            }
        }
        return h;
    }

private:
    struct Plan {
        std::size_t context = 0;
        std::array<std::size_t, kCandidates> articles{};
        std::vector<Candidate> candidates;
    };

    std::array<std::string, pools::kAuthors> authors_;
    std::array<std::string, kArticles> names_;
    std::array<NamedFeatures, kContexts> contexts_;
    std::array<NamedFeatures, kArticles> articles_;
    std::vector<Plan> plans_;
};

}  // namespace ordwyne::bench
