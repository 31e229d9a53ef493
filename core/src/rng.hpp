// The engine's one hash (FNV-1a 64), the SplitMix64 output mix, and the
// decision's draw key. There is no generator with state anywhere.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace ordwyne::rng {

inline constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// FNV-1a 64, one byte at a time; integers enter as 8 bytes little-endian.
struct Fnv1a {
    std::uint64_t state = kFnvOffset;

    void byte(std::uint8_t b) { state = (state ^ b) * kFnvPrime; }
    void bytes(const void* data, std::size_t size) {
        auto* p = static_cast<const std::uint8_t*>(data);
        std::uint64_t h = state;
        for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * kFnvPrime;
        state = h;
    }
    void bytes(std::string_view s) { bytes(s.data(), s.size()); }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        u64(bits);
    }
};

// The SplitMix64 output mix, without the increment.
inline constexpr std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// FNV-1a 64 over first's length (u64 LE), first's bytes, then second's bytes.
std::uint64_t derive_key(std::string_view first, std::string_view second);

}  // namespace ordwyne::rng
