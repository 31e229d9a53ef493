// The engine's one error type and its whole message catalogue.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace ordwyne {

// An owned message and nothing else: two errors mean the same exactly when
// their texts are equal.
struct Error {
    std::string message;

    bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

namespace error {

// Callers match on these texts, so they live in one place.
inline constexpr std::string_view kBits = "bits must be between 1 and 24";
inline constexpr std::string_view kHorizon = "horizon must be positive";
inline constexpr std::string_view kEpsilon = "epsilon must be in [0, 1]";
inline constexpr std::string_view kForgetting = "forgetting must be in (0, 1] (1.0 = never forget)";
inline constexpr std::string_view kRidge = "ridge must be positive";
inline constexpr std::string_view kDim = "dim must be at least 1";
inline constexpr std::string_view kScale = "scale must be in (0, 1]";
inline constexpr std::string_view kModelDim =
    "model dimension is not 2**bits for bits in [1, 24]; the state was not built by create()";
inline constexpr std::string_view kNoCandidates = "need at least one candidate";
inline constexpr std::string_view kCandidateOrder =
    "candidate features must be (index, value) pairs in strictly increasing index order within "
    "the model dimension";
inline constexpr std::string_view kCandidateZero = "candidate feature values must be nonzero";
inline constexpr std::string_view kScore = "score must return one finite estimate per candidate";
inline constexpr std::string_view kExploreCount = "explore must return one probability per candidate";
inline constexpr std::string_view kExploreValues =
    "explore probabilities must be finite, nonnegative, and sum to 1";
inline constexpr std::string_view kNotHex = "state must be a hexadecimal string";
inline constexpr std::string_view kTruncated = "truncated state";
inline constexpr std::string_view kBadMagic = "not a ordwyne state (bad magic)";
inline constexpr std::string_view kChecksum = "state checksum mismatch";
inline constexpr std::string_view kNotUtf8 = "state string is not valid UTF-8";
inline constexpr std::string_view kTrailing = "trailing bytes in state";
inline constexpr std::string_view kRecordFeatures =
    "record features must be (index, value) pairs in strictly increasing index order within the "
    "model dimension, values nonzero";
inline constexpr std::string_view kVersionPrefix = "unsupported state format version ";

// A fixed text, copied in so the error outlives the operation that made it.
Error make(std::string_view text);

// "unsupported state format version " followed by the number in plain decimal.
Error unsupported_version(std::uint64_t version);

}  // namespace error
}  // namespace ordwyne
