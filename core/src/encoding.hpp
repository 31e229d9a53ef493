// Feature encoding: named context and candidate features become one sparse
// vector per candidate in a hashed space of dimension 2**bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace ordwyne {

// One raw feature value. Text views bytes owned by the caller, which keeps
// them alive for the length of the engine call; nothing here outlives it.
struct Value {
    enum class Kind : std::uint8_t { Missing, Text, Number };

    Kind kind = Kind::Missing;
    double number = 0.0;
    std::string_view text;

    static Value missing() { return {}; }
    static Value of_text(std::string_view s) { return {Kind::Text, 0.0, s}; }
    static Value of_number(double x) { return {Kind::Number, x, {}}; }
};

struct NamedFeature {
    std::string_view name;
    Value value;
};
using NamedFeatures = std::vector<NamedFeature>;

struct Candidate {
    std::string_view name;
    NamedFeatures features;
};

// One context token. `seed` is the FNV-1a state after the token's bytes and
// the 0x1f separator, computed once so each pair hashes only the part's bytes.
struct Token {
    std::string bytes;
    double weight;
    std::uint64_t seed;
};
using TokenList = std::vector<Token>;

// One (index, value) pair of a sparse vector.
struct Entry {
    std::uint64_t index;
    double value;

    bool operator==(const Entry&) const = default;
};
using FeatureVector = std::vector<Entry>;

namespace encoding {

inline constexpr std::uint8_t kSeparator = 0x1f;

// The bias token, then the tokens of the context under the prefix "c".
TokenList context_tokens(const NamedFeatures& context);

// Tokens of a feature list in name order: Text gives prefix|name=text with
// weight 1, Number gives prefix|name with the number as its weight.
TokenList feature_tokens(std::string_view prefix, const NamedFeatures& features);

Result<FeatureVector> encode_with_context(const TokenList& context, std::string_view name,
                                          const NamedFeatures& features, std::uint32_t bits);

struct Part;
struct Scratch;

// Encodes the candidates of one decision against one context, with the same
// results as encode_with_context. Parts that candidates share (the bias,
// numeric features, common text values) are hashed once per decision, so
// the features' bytes must stay put for the encoder's life. The bits must
// already be valid. One encoder per thread at a time.
class CandidateEncoder {
public:
    CandidateEncoder(const TokenList& context, std::uint32_t bits);
    CandidateEncoder(const CandidateEncoder&) = delete;
    CandidateEncoder& operator=(const CandidateEncoder&) = delete;

    // Writes the vector into `out`, reusing its capacity.
    void encode(std::string_view name, const NamedFeatures& features, FeatureVector& out);

private:
    // Where the part's mixed hash for every token starts in the scratch store.
    std::size_t mixed_hashes(const Part& part);

    const TokenList& context_;
    std::uint32_t bits_;
    Scratch* scratch_;
    std::size_t lanes_ = 0;
};

}  // namespace encoding
}  // namespace ordwyne
