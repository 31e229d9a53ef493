// The state format: a versioned, checksummed little-endian layout of the
// whole bandit, and its reading with every check in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decide.hpp"
#include "error.hpp"

namespace ordwyne {

// A cursor over the bytes that precede the checksum.
class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::size_t position)
        : bytes_(bytes), position_(position) {}

    // The next 8 bytes as one little-endian word (u64 fields and f64 bits).
    Result<std::uint64_t> f64();
    // A u64 byte count, then that many bytes of strict UTF-8.
    Result<std::string> string();

    std::size_t remaining() const { return bytes_.size() - position_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_;
};

namespace state {

inline constexpr std::uint64_t kVersion = 1;
inline constexpr char kMagic[8] = {'o', 'r', 'd', 'w', 'y', 'n', 'e', '\0'};

std::vector<std::uint8_t> serialize(const Bandit& bandit);

// The layout rendered directly as lowercase hexadecimal, checksum included.
std::string serialize_hex(const Bandit& bandit);

Result<Bandit> deserialize(std::span<const std::uint8_t> bytes);

// Hexadecimal text to bytes; either case accepted.
Result<std::vector<std::uint8_t>> decode_hex(std::string_view text);

}  // namespace state
}  // namespace ordwyne
