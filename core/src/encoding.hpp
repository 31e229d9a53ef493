// Feature encoding: named context and candidate features become one sparse
// vector per candidate in a hashed space of dimension 2**bits.
#pragma once

#include <array>
#include <cstdint>
#include <span>
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
// the 0x1f separator, computed once so each pair hashes only the part's
// bytes; the bytes themselves are never needed again, nor kept.
struct Token {
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

// Pair hashing, many context tokens at once. A job is one candidate part
// (up to four pieces hashed as if concatenated); the kernel continues the
// FNV-1a state `seeds[t]` of every lane t over the part's bytes and writes
// the SplitMix64 mix of each result to `out[t]`. `lanes` is a multiple of
// kLaneBlock; padding lanes are computed like the others.
inline constexpr std::size_t kLaneBlock = 8;
inline constexpr std::size_t kPieces = 4;

struct HashJob {
    std::array<std::string_view, kPieces> pieces;
    std::uint64_t* out;
};

// The kernels, each giving the same results. The widest one the processor
// (and its operating system) supports is chosen when first needed.
enum class HashKernel : std::uint8_t { Portable, Avx2, Avx512 };

bool kernel_supported(HashKernel k);
HashKernel active_kernel();
// For tests and diagnosis: makes every later encoding use `k`. Refuses (and
// returns false) a kernel the machine cannot run.
bool use_kernel(HashKernel k);

void hash_jobs(const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs, std::size_t n);
void hash_jobs(HashKernel k, const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs,
               std::size_t n);

inline constexpr std::size_t kRankPad = 32;
// Ranks n (at most 255) distinct 32-bit keys with the active kernel's vector
// unit (ranks[i]: how many keys are below keys[i]), so that a caller can
// place each key and whatever goes with it; false, doing nothing, under the
// portable kernel. `keys` holds whole vectors of kRankPad keys, padded with
// 0xffffffff; `ranks` has room for kRankPad * 8 entries. `distinct_above`
// tells that the keys shifted right by that many bits are still all distinct
// (0: nothing known).
bool rank_small(const std::uint32_t* keys, std::size_t n, std::uint16_t* ranks,
                unsigned& distinct_above);

// Short raw lists keep the generation number in a key's low byte.
inline constexpr unsigned kSmallGenBits = 8;

// The raw entries of one part over n tokens in the short-list layout:
// keys[t] = ((z[t] & mask) << kSmallGenBits) | (gen + t * step), and values[t] = weight
// times token t's weight (bit pattern weights[t]) with its sign flipped where
// z[t]'s top bit is set. Returns whether some value is zero. Runs on the
// active kernel's vector unit where it has one; the results never differ.
bool emit_small(const std::uint64_t* z, const std::uint64_t* weights, std::size_t n,
                std::uint64_t mask, std::uint32_t gen, std::uint32_t step, double weight,
                std::uint32_t* keys, double* values);

// Scratch memory this thread's encoder keeps between calls, in bytes of
// capacity. An encoder whose scratch grew past kScratchKeep gives the
// excess back when it is destroyed.
std::size_t scratch_bytes();
inline constexpr std::size_t kScratchKeep = std::size_t{4} << 20;

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
    ~CandidateEncoder();
    CandidateEncoder(const CandidateEncoder&) = delete;
    CandidateEncoder& operator=(const CandidateEncoder&) = delete;

    // Writes the vector into `out`, reusing its capacity.
    void encode(std::string_view name, const NamedFeatures& features, FeatureVector& out);

private:
    void hash_pending();

    const TokenList& context_;
    std::uint32_t bits_;
    Scratch* scratch_;
    std::size_t lanes_ = 0;
};

}  // namespace encoding
}  // namespace ordwyne
