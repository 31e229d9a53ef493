// The engine's one hash (FNV-1a 64), the SplitMix64 output mix, and the
// decision's draw key. There is no generator with state anywhere.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ordwyne::rng {

inline constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

inline constexpr std::uint64_t kPrimePowers[9] = {
    1,
    kFnvPrime,
    kFnvPrime * kFnvPrime,
    kFnvPrime * kFnvPrime * kFnvPrime,
    kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime,
    kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime,
    kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime,
    kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime,
    kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime * kFnvPrime,
};

// FNV-1a 64 continued from `h`, one byte at a time. Eight zero bytes are one
// multiply by prime**8; model arrays are mostly zero.
inline std::uint64_t fnv1a_serial(std::uint64_t h, const std::uint8_t* p, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word == 0) {
            h *= kPrimePowers[8];
        } else {
            for (std::size_t j = 0; j < 8; ++j) h = (h ^ p[i + j]) * kFnvPrime;
        }
    }
    for (; i < size; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

// The same result as fnv1a_serial, from the widest vector kernel the
// processor runs (fnv_kernels.cpp); worth it from a few hundred bytes on.
std::uint64_t fnv1a_bulk(std::uint64_t h, const void* data, std::size_t size);

// For tests: while on, fnv1a_bulk runs the portable kernel.
void force_portable_fnv(bool on);

inline constexpr std::size_t kFnvBulkFrom = 256;

// FNV-1a 64, one byte at a time; integers enter as 8 bytes little-endian.
struct Fnv1a {
    std::uint64_t state = kFnvOffset;

    void byte(std::uint8_t b) { state = (state ^ b) * kFnvPrime; }
    void bytes(const void* data, std::size_t size) {
        auto* p = static_cast<const std::uint8_t*>(data);
        state = size >= kFnvBulkFrom ? fnv1a_bulk(state, p, size) : fnv1a_serial(state, p, size);
    }
    void bytes(std::string_view s) { bytes(s.data(), s.size()); }
    // XOR with a zero byte changes nothing, so a run of k zero bytes is one
    // multiply by prime**k. Indices and short-mantissa doubles are mostly
    // zero bytes, which halves the fingerprint's serial chain.
    void u64(std::uint64_t v) {
        if (v == 0) {
            state *= kPrimePowers[8];
            return;
        }
        const unsigned leading = static_cast<unsigned>(std::countr_zero(v)) / 8;
        const unsigned trailing = static_cast<unsigned>(std::countl_zero(v)) / 8;
        std::uint64_t h = state;
        if (leading != 0) h *= kPrimePowers[leading];
        v >>= 8 * leading;
        for (unsigned i = leading; i < 8 - trailing; ++i, v >>= 8) {
            h = (h ^ (v & 0xff)) * kFnvPrime;
        }
        if (trailing != 0) h *= kPrimePowers[trailing];
        state = h;
    }
    // The same result as u64 for a value below 2**24, without branches.
    void u64_below_2_24(std::uint64_t v) {
        std::uint64_t h = state;
        h = (h ^ (v & 0xff)) * kFnvPrime;
        h = (h ^ ((v >> 8) & 0xff)) * kFnvPrime;
        h = (h ^ (v >> 16)) * kFnvPrime;
        state = h * kPrimePowers[5];
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
