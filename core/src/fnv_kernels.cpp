// FNV-1a 64 over long buffers without the byte-serial multiply chain.
//
// With h' = (h ^ b) * P: XOR with a byte changes only the low byte l of h, so
// h ^ b = h + d with d = (l ^ b) - l, and after n bytes
//     h_n = h_0 * P^n + sum_i d_i * P^(n - i)   (mod 2^64).
// Once every l_i is known the sum is independent multiply-adds. The low bytes
// run their own 8-bit chain, l' = ((l ^ b) * 0xb3) mod 256 (0xb3 = P mod 256),
// and multiplying by an odd constant is triangular in the bits: bit k of the
// product is bit k of the input XOR a carry that depends only on the bits
// below k. So bit k of every l_i in a block is an exclusive prefix XOR of
// t_i = bit k of ((l_i ^ b_i) mod 2^(k+1)) * 0xb3, which needs only the lower
// bits of l_i: eight passes per block, lowest bit first, each one vector
// lookup and one 64-bit prefix XOR, with one bit per pass carried from block
// to block. The AVX-512 kernel runs the passes on bit planes of eight blocks
// at once, and only the last few blocks one by one.
#include "fnv_kernels.hpp"

#include <atomic>
#include <cstring>

#include "rng.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define ORDWYNE_FNV_X86 1
#include <immintrin.h>
// GCC 12's AVX-512 headers self-initialise their "undefined" vectors, which
// -Wmaybe-uninitialized reports at every inlined use (GCC bug 105593).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace ordwyne::rng {

namespace {

constexpr std::uint8_t kLowPrime = static_cast<std::uint8_t>(kFnvPrime);  // 0xb3

constexpr std::uint64_t power(std::uint64_t base, std::uint64_t e) {
    std::uint64_t r = 1;
    for (; e != 0; e >>= 1, base *= base) {
        if (e & 1) r *= base;
    }
    return r;
}

// Bit k of (v mod 2^(k+1)) * 0xb3: the toggle of bit k of l for a byte
// whose l ^ b has the low bits v, as 0x80 (or 0).
constexpr std::uint8_t toggle(unsigned k, unsigned v) {
    const unsigned x = v & ((2u << k) - 1u);
    return static_cast<std::uint8_t>(((x * kLowPrime) >> k & 1u) << 7);
}

// Weights P^(block - j) of byte j in a block, split so that a signed
// 32 x 32 -> 64-bit product of each half with d (|d| < 256) gives
// d * weight mod 2^64 as lo + (hi << 32).
template <std::size_t Block>
struct Weights {
    alignas(64) std::int64_t lo[Block];
    alignas(64) std::int64_t hi[Block];
    constexpr Weights() : lo(), hi() {
        for (std::size_t j = 0; j < Block; ++j) {
            const std::uint64_t w = power(kFnvPrime, Block - j);
            const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(w));
            lo[j] = low;
            hi[j] = static_cast<std::int64_t>((w - static_cast<std::uint64_t>(
                                                       static_cast<std::int64_t>(low))) >> 32);
        }
    }
};

std::uint64_t portable(std::uint64_t h, const std::uint8_t* p, std::size_t n) {
    return fnv1a_serial(h, p, n);
}

#ifdef ORDWYNE_FNV_X86

// ------------------------------------------------------------ AVX-512

#define ORDWYNE_FNV512_TARGET \
    "avx512f,avx512bw,avx512dq,avx512vbmi,avx512vnni,avx512bitalg,gfni,pclmul"
#define ORDWYNE_FNV512 __attribute__((target(ORDWYNE_FNV512_TARGET), always_inline)) inline

struct Tables512 {
    // Passes 0..5 as 64-bit tables for vpshufbitqmb (bit v for index v);
    // pass 6 and pass 7's carry over 7 index bits for vpermi2b, as 0x80.
    std::uint64_t bits[6];
    alignas(64) std::uint8_t six[128];
    alignas(64) std::uint8_t seven[128];
    constexpr Tables512() : bits(), six(), seven() {
        for (unsigned k = 0; k < 6; ++k) {
            for (unsigned v = 0; v < 64; ++v) {
                if (toggle(k, v) != 0) bits[k] |= std::uint64_t{1} << v;
            }
        }
        for (unsigned v = 0; v < 128; ++v) {
            six[v] = toggle(6, v);
            seven[v] = static_cast<std::uint8_t>((v * kLowPrime) & 0x80u);
        }
    }
};
constexpr Tables512 kTables512;
constexpr Weights<64> kWeights64;

// Bit K of every l_i from the toggles: an exclusive prefix XOR (a carry-less
// multiply by all ones) with the carried bit folded in. `carry` is bit K of
// the block's first l as 0 or all ones, and becomes the next block's.
template <unsigned K>
ORDWYNE_FNV512 __m512i finish512(__m512i l, std::uint64_t toggles, std::uint64_t& carry) {
    const auto inclusive = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
        _mm_cvtsi64_si128(static_cast<long long>(toggles)), _mm_set1_epi64x(-1), 0)));
    const std::uint64_t bits = (inclusive << 1) ^ carry;
    carry ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(inclusive) >> 63);
    return _mm512_mask_add_epi8(l, _cvtu64_mask64(bits), l, _mm512_set1_epi8(1 << K));
}

// One pass over a block: bit K of every l_i, given the bits below K.
template <unsigned K>
ORDWYNE_FNV512 __m512i pass512(__m512i l, __m512i b, std::uint64_t& carry) {
    const __m512i x = _mm512_xor_si512(l, b);
    if constexpr (K < 6) {
        // One bit-table lookup per byte, straight into a mask.
        const __mmask64 t = _mm512_bitshuffle_epi64_mask(
            _mm512_set1_epi64(static_cast<std::int64_t>(kTables512.bits[K])), x);
        return finish512<K>(l, _cvtmask64_u64(t), carry);
    } else {
        const unsigned char* table = K == 6 ? kTables512.six : kTables512.seven;
        __m512i t = _mm512_permutex2var_epi8(_mm512_load_si512(table), x,
                                             _mm512_load_si512(table + 64));
        if constexpr (K == 7) t = _mm512_xor_si512(t, x);  // bit 7 of l ^ b itself
        return finish512<K>(l, _cvtmask64_u64(_mm512_movepi8_mask(t)), carry);
    }
}

// Passes K to 7 of G consecutive blocks, pass by pass: a pass of one block
// waits only for the block's previous pass and for one carried bit, so the
// G blocks' passes overlap where one block's eight would run back to back.
template <unsigned K = 0, std::size_t G>
ORDWYNE_FNV512 void rows512(__m512i (&l)[G], const __m512i (&b)[G], std::uint64_t (&carry)[8]) {
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) l[g] = pass512<K>(l[g], b[g], carry[K]);
    if constexpr (K < 7) rows512<K + 1>(l, b, carry);
}

// The low bytes l of G blocks from p.
template <std::size_t G>
ORDWYNE_FNV512 void low_bytes512(const std::uint8_t* p, std::uint64_t (&carry)[8],
                                 __m512i (&b)[G], __m512i (&l)[G]) {
#pragma GCC unroll 16
    for (std::size_t g = 0; g < G; ++g) {
        b[g] = _mm512_loadu_si512(p + 64 * g);
        l[g] = _mm512_setzero_si512();
    }
    rows512(l, b, carry);
}

// Eight d (16-bit words) times their weights, into the two partial sums.
ORDWYNE_FNV512 void add512(__m512i& lo, __m512i& hi, __m128i words, int q) {
    const __m512i d = _mm512_cvtepi16_epi64(words);
    lo = _mm512_add_epi64(lo, _mm512_mul_epi32(d, _mm512_load_si512(kWeights64.lo + 8 * q)));
    hi = _mm512_add_epi64(hi, _mm512_mul_epi32(d, _mm512_load_si512(kWeights64.hi + 8 * q)));
}

// One block: acc <- acc * P^64 + sum_j d_j * P^(64 - j).
ORDWYNE_FNV512 void sum1_512(__m512i b, __m512i l, __m512i& acc) {
    const __m512i x = _mm512_xor_si512(l, b);
    const __m512i d0 = _mm512_sub_epi16(_mm512_cvtepu8_epi16(_mm512_castsi512_si256(x)),
                                        _mm512_cvtepu8_epi16(_mm512_castsi512_si256(l)));
    const __m512i d1 = _mm512_sub_epi16(_mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(x, 1)),
                                        _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(l, 1)));
    __m512i lo = _mm512_setzero_si512();
    __m512i hi = _mm512_setzero_si512();
    add512(lo, hi, _mm512_extracti32x4_epi32(d0, 0), 0);
    add512(lo, hi, _mm512_extracti32x4_epi32(d0, 1), 1);
    add512(lo, hi, _mm512_extracti32x4_epi32(d0, 2), 2);
    add512(lo, hi, _mm512_extracti32x4_epi32(d0, 3), 3);
    add512(lo, hi, _mm512_extracti32x4_epi32(d1, 0), 4);
    add512(lo, hi, _mm512_extracti32x4_epi32(d1, 1), 5);
    add512(lo, hi, _mm512_extracti32x4_epi32(d1, 2), 6);
    add512(lo, hi, _mm512_extracti32x4_epi32(d1, 3), 7);
    const __m512i p64 = _mm512_set1_epi64(static_cast<std::int64_t>(power(kFnvPrime, 64)));
    acc = _mm512_add_epi64(_mm512_mullo_epi64(acc, p64),
                           _mm512_add_epi64(lo, _mm512_slli_epi64(hi, 32)));
}

// The last G < 8 blocks folded into acc, one pass at a time.
template <std::size_t G>
ORDWYNE_FNV512 void blocks512(const std::uint8_t* p, std::uint64_t (&carry)[8], __m512i& acc) {
    __m512i b[G], l[G];
    low_bytes512<G>(p, carry, b, l);
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) sum1_512(b[g], l[g], acc);
}

// ------------------------------------------------ AVX-512, bit planes
//
// Eight blocks (a group, 512 bytes) at a time as bit planes: plane k holds
// bit k of every byte, in 64 bytes; its byte j covers the group's bytes
// 8j..8j+7, the first of them in bit 7. Pass k is then a few bitwise steps
// for all 512 toggles at once (the carries of x * 0xb3 from the planes
// below, with vpternlog) and one prefix XOR over 512 bits: inside each byte
// by an affine map, across the 64 bytes by a carry-less multiply of their
// parities. Per byte that is far less shuffle-port work than a lookup and a
// mask round trip per bit. The planes come from the bytes and go back by an
// 8 x 8 bit transpose per 8 bytes (vgf2p8affineqb) and byte and qword
// transposes (vpermb, vpermt2q).

// Groups per chunk: the passes of one group wait on each other, six groups
// side by side keep the ports busy meanwhile (four were slower, eight no
// faster).
constexpr std::size_t kGroups512 = 6;
constexpr std::size_t kChunk512 = 512 * kGroups512;
// A digit sum's 32-bit lane takes two products |d| * |digit| <= 255 * 2^15
// per vpdpwssd, two of those per block.
static_assert(8 * kGroups512 * 4 * 255 * 32768ULL < (1ULL << 31));

// Weights P^(kChunk512 - q) of the bytes q of a chunk as four signed
// base-65536 digits each (row m holds digit m of every byte), so that
// sum_q d_q * weight_q = sum_m 65536^m * sum_q d_q * digit(m, q): 16-bit dot
// products (vpdpwssd), exact in 32-bit lanes over a whole chunk. Each
// 64-byte column holds its even bytes' digits, then its odd bytes'. A chunk
// of n < kGroups512 groups uses the last 512 n columns.
struct Words512 {
    alignas(64) std::int16_t digit[4][kChunk512];
    constexpr Words512() : digit() {
        for (std::size_t q = 0; q < kChunk512; ++q) {
            std::uint64_t w = power(kFnvPrime, kChunk512 - q);
            const std::size_t at = q / 64 * 64 + q % 2 * 32 + q % 64 / 2;
            for (std::size_t m = 0; m < 4; ++m) {
                const auto d = static_cast<std::int16_t>(static_cast<std::uint16_t>(w));
                digit[m][at] = d;
                w = (w - static_cast<std::uint64_t>(static_cast<std::int64_t>(d))) >> 16;
            }
        }
    }
};
constexpr Words512 kWords512;

// The transposed blocks (register g, qword q, byte k) and the planes
// (register k, qword g, byte q) are one byte transpose inside each register
// (vpermb) and one 8 x 8 transpose of qwords across registers (vpermt2q)
// apart; vpermt2b would do it in fewer steps but each costs two.
struct Shuffles512 {
    // Qword transpose: round r, output i, from registers i & ~d and (i & ~d) + d
    // with d = 4 >> r, as vpermt2q indices.
    alignas(64) std::int64_t qwords[3][8][8];
    // Inside a register: (qword q, byte k) -> (qword k, byte q), and back to
    // (qword q, byte 7 - k), the order the inverse bit transpose wants.
    alignas(64) std::uint8_t forward[64];
    alignas(64) std::uint8_t back[64];
    constexpr Shuffles512() : qwords(), forward(), back() {
        std::uint8_t reg[8][8] = {};  // tag 8 r + p: qword p of register r
        for (unsigned r = 0; r < 8; ++r) {
            for (unsigned p = 0; p < 8; ++p) reg[r][p] = static_cast<std::uint8_t>(8 * r + p);
        }
        for (unsigned round = 0; round < 3; ++round) {
            const unsigned d = 4u >> round;
            std::uint8_t next[8][8] = {};
            for (unsigned i = 0; i < 8; ++i) {
                const unsigned lo = i & ~d;
                unsigned filled = 0;
                for (unsigned src : {lo, lo + d}) {
                    for (unsigned p = 0; p < 8; ++p) {
                        const unsigned tag = reg[src][p];
                        if ((tag % 8 & d) != (i & d)) continue;  // bound for another register
                        const unsigned at = round == 2 ? tag / 8 : filled++;
                        next[i][at] = static_cast<std::uint8_t>(tag);
                        qwords[round][i][at] = p + (src == lo ? 0 : 8);
                    }
                }
            }
            for (unsigned i = 0; i < 8; ++i) {
                for (unsigned p = 0; p < 8; ++p) reg[i][p] = next[i][p];
            }
        }
        for (unsigned a = 0; a < 8; ++a) {
            for (unsigned b = 0; b < 8; ++b) {
                forward[8 * b + a] = static_cast<std::uint8_t>(8 * a + b);
                back[8 * a + 7 - b] = static_cast<std::uint8_t>(8 * b + a);
            }
        }
    }
};
constexpr Shuffles512 kShuffles512;

ORDWYNE_FNV512 void transpose_qwords512(__m512i (&v)[8]) {
#pragma GCC unroll 3
    for (unsigned round = 0; round < 3; ++round) {
        const unsigned d = 4u >> round;
        __m512i next[8];
#pragma GCC unroll 8
        for (unsigned i = 0; i < 8; ++i) {
            const unsigned lo = i & ~d;
            next[i] = _mm512_permutex2var_epi64(
                v[lo], _mm512_load_si512(kShuffles512.qwords[round][i]), v[lo + d]);
        }
#pragma GCC unroll 8
        for (unsigned i = 0; i < 8; ++i) v[i] = next[i];
    }
}

// vgf2p8affineqb sets bit i of a byte to the parity of (byte & row 7 - i),
// rows being the bytes of the matrix operand. With the data as the matrix and
// bytes 1 << r (or 1 << 7 - r) as the vector it transposes each 8 x 8 bits.
constexpr std::int64_t kTranspose = 0x8040201008040201LL;
constexpr std::int64_t kTransposeBack = 0x0102040810204080LL;
// Rows for the prefix XOR inside a byte, first byte in bit 7: bit i gets
// the bits above it (the bytes before), and bit 7, always zero there, gets
// the byte's parity instead.
constexpr std::int64_t kPrefixRows = static_cast<std::int64_t>(0xfefcf8f0e0c080ffULL);

template <int Imm>
ORDWYNE_FNV512 __m512i tern(__m512i a, __m512i b, __m512i c) {
    return _mm512_ternarylogic_epi64(a, b, c, Imm);
}
constexpr int kA = 0xf0, kB = 0xcc, kC = 0xaa;
constexpr int kXor3 = kA ^ kB ^ kC;
constexpr int kMajority = (kA & kB) | (kA & kC) | (kB & kC);

// Plane x_K of a group from its toggles t and data plane b: the exclusive
// prefix XOR of t over the 512 bytes, with `carry` (bit K of the group's
// first l, as 0 or all ones) in front, XOR b. `carry` moves to the next group.
ORDWYNE_FNV512 __m512i prefix512(__m512i t, __m512i b, std::uint64_t& carry) {
    const __m512i e = _mm512_gf2p8affine_epi64_epi8(t, _mm512_set1_epi64(kPrefixRows), 0);
    const std::uint64_t parity = _cvtmask64_u64(_mm512_movepi8_mask(e));
    const auto inclusive = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
        _mm_cvtsi64_si128(static_cast<long long>(parity)), _mm_set1_epi64x(-1), 0)));
    const std::uint64_t flip = (inclusive << 1) ^ carry;
    carry ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(inclusive) >> 63);
    const __m512i y = tern<(kA & kB) ^ kC>(e, _mm512_set1_epi8(0x7f), b);
    // ~y in the bytes whose bits before them XOR to one.
    return _mm512_mask_sub_epi8(y, _cvtu64_mask64(flip), _mm512_set1_epi8(-1), y);
}

// A group's planes: b (data), x (l ^ b, filled pass by pass) and the carry
// terms of x * 0xb3 = u + (u << 4) + (x << 7), u = x + (x << 1), that the
// later passes share: a, the carry into u's next bit; e, into v = u + (u << 4);
// u1, u2 and u3 ^ x0, bits of u.
struct Group512 {
    __m512i b[8], x[8];
    __m512i a, e, u1, u2, u3x0, w4;
};

// Pass K of a group. Bit K of l_(i+1) is bit K of l_i XOR a toggle: bit K of
// b_i XOR the carry into bit K of x_i * 0xb3 and its other terms there.
template <unsigned K>
ORDWYNE_FNV512 void pass_planes512(Group512& s, std::uint64_t& carry) {
    __m512i* x = s.x;
    const __m512i* b = s.b;
    if constexpr (K == 0) {
        x[0] = prefix512(b[0], b[0], carry);
    } else if constexpr (K == 1) {
        x[1] = prefix512(_mm512_xor_si512(b[1], x[0]), b[1], carry);
        s.a = _mm512_and_si512(x[1], x[0]);  // into u's bit 2
        s.u1 = _mm512_xor_si512(x[1], x[0]);
    } else if constexpr (K == 2) {
        x[2] = prefix512(tern<kA ^ (kB & ~kC)>(b[2], x[1], x[0]), b[2], carry);
        s.u2 = tern<kXor3>(x[2], x[1], s.a);
        s.a = tern<kMajority>(x[2], x[1], s.a);
    } else if constexpr (K == 3) {
        const __m512i r = _mm512_xor_si512(x[2], s.a);
        x[3] = prefix512(_mm512_xor_si512(b[3], r), b[3], carry);
        s.u3x0 = tern<kXor3>(x[3], r, x[0]);
        s.a = tern<kMajority>(x[3], x[2], s.a);
        s.w4 = _mm512_xor_si512(x[3], s.a);  // u's bit 4 but x4
    } else if constexpr (K == 4) {
        x[4] = prefix512(tern<kXor3>(b[4], s.w4, x[0]), b[4], carry);
        s.e = tern<(kA ^ kB) & kC>(x[4], s.w4, x[0]);  // u4 & u0
        s.a = tern<kMajority>(x[4], x[3], s.a);
    } else if constexpr (K == 5 || K == 6) {
        // Passes 5 and 6 differ only in the partial product they take in.
        const __m512i u = K == 5 ? s.u1 : s.u2;
        const __m512i r = tern<kXor3>(x[K - 1], s.a, u);
        x[K] = prefix512(tern<kXor3>(b[K], r, s.e), b[K], carry);
        const __m512i uk = tern<kXor3>(x[K], x[K - 1], s.a);
        s.a = tern<kMajority>(x[K], x[K - 1], s.a);
        s.e = tern<kMajority>(uk, u, s.e);
    } else {
        const __m512i r = tern<kXor3>(x[6], s.a, s.e);
        x[7] = prefix512(tern<kXor3>(b[7], r, s.u3x0), b[7], carry);
    }
}

// Passes K to 7 of N groups, pass by pass (see rows512).
template <unsigned K = 0, std::size_t N>
ORDWYNE_FNV512 void rows_planes512(Group512 (&s)[N], std::uint64_t (&carry)[8]) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < N; ++g) pass_planes512<K>(s[g], carry[K]);
    if constexpr (K < 7) rows_planes512<K + 1>(s, carry);
}

// One block's d = x - l, even and odd bytes as 16-bit words, into the four
// digit sums.
ORDWYNE_FNV512 void dot16_512(__m512i (&sum)[4], __m512i x, __m512i b, std::size_t column) {
    const __m512i low = _mm512_set1_epi16(0xff);
    const __m512i l = _mm512_xor_si512(x, b);
    const __m512i even = _mm512_sub_epi16(_mm512_and_si512(x, low), _mm512_and_si512(l, low));
    const __m512i odd = _mm512_sub_epi16(_mm512_srli_epi16(x, 8), _mm512_srli_epi16(l, 8));
#pragma GCC unroll 4
    for (std::size_t m = 0; m < 4; ++m) {
        const __m512i we = _mm512_load_si512(kWords512.digit[m] + column);
        const __m512i wo = _mm512_load_si512(kWords512.digit[m] + column + 32);
        sum[m] = _mm512_dpwssd_epi32(_mm512_dpwssd_epi32(sum[m], even, we), odd, wo);
    }
}

// The last N groups of a chunk from p folded into acc: acc <- acc * P^(512 N)
// + sum_q d_q * P^(512 N - q).
template <std::size_t N>
ORDWYNE_FNV512 void groups512(const std::uint8_t* p, std::uint64_t (&carry)[8], __m512i& acc) {
    Group512 s[N];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < N; ++g) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) {
            s[g].b[j] = _mm512_permutexvar_epi8(
                _mm512_load_si512(kShuffles512.forward),
                _mm512_gf2p8affine_epi64_epi8(_mm512_set1_epi64(kTranspose),
                                              _mm512_loadu_si512(p + 512 * g + 64 * j), 0));
        }
        transpose_qwords512(s[g].b);
    }
    rows_planes512(s, carry);
    __m512i sum[4];
#pragma GCC unroll 4
    for (std::size_t m = 0; m < 4; ++m) sum[m] = _mm512_setzero_si512();
#pragma GCC unroll 8
    for (std::size_t g = 0; g < N; ++g) {
        transpose_qwords512(s[g].x);
#pragma GCC unroll 8
        for (std::size_t j = 0; j < 8; ++j) {
            const __m512i x = _mm512_gf2p8affine_epi64_epi8(
                _mm512_set1_epi64(kTransposeBack),
                _mm512_permutexvar_epi8(_mm512_load_si512(kShuffles512.back), s[g].x[j]), 0);
            dot16_512(sum, x, _mm512_loadu_si512(p + 512 * g + 64 * j),
                      kChunk512 - 512 * N + 512 * g + 64 * j);
        }
    }
    __m512i total = _mm512_setzero_si512();
#pragma GCC unroll 4
    for (std::size_t m = 0; m < 4; ++m) {
        const __m512i wide =
            _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(sum[m])),
                             _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(sum[m], 1)));
        total = _mm512_add_epi64(total, _mm512_slli_epi64(wide, 16 * m));
    }
    const __m512i scale = _mm512_set1_epi64(static_cast<std::int64_t>(power(kFnvPrime, 512 * N)));
    acc = _mm512_add_epi64(_mm512_mullo_epi64(acc, scale), total);
}

// The 1 <= n <= N groups left after the whole chunks.
template <std::size_t N>
ORDWYNE_FNV512 void last_groups512(std::size_t n, const std::uint8_t* p, std::uint64_t (&carry)[8],
                                   __m512i& acc) {
    if constexpr (N > 1) {
        if (n < N) return last_groups512<N - 1>(n, p, carry, acc);
    }
    groups512<N>(p, carry, acc);
}

__attribute__((target(ORDWYNE_FNV512_TARGET))) std::uint64_t avx512(std::uint64_t h,
                                                                   const std::uint8_t* p,
                                                                   std::size_t n) {
    const std::size_t blocks = n / 64;
    if (blocks == 0) return fnv1a_serial(h, p, n);
    std::uint64_t carry[8];
    for (unsigned k = 0; k < 8; ++k) carry[k] = 0 - (h >> k & 1);
    // acc: the blocks' sums so far, in eight lanes, each weighted by P^64 for
    // every block after it.
    __m512i acc = _mm512_setzero_si512();
    const std::uint8_t* q = p;
    std::size_t left = blocks;
    for (; left >= 8 * kGroups512; left -= 8 * kGroups512, q += kChunk512) {
        groups512<kGroups512>(q, carry, acc);
    }
    if (left >= 8) {
        last_groups512<kGroups512 - 1>(left / 8, q, carry, acc);
        q += 512 * (left / 8);
        left %= 8;
    }
    switch (left) {
        case 7: blocks512<7>(q, carry, acc); break;
        case 6: blocks512<6>(q, carry, acc); break;
        case 5: blocks512<5>(q, carry, acc); break;
        case 4: blocks512<4>(q, carry, acc); break;
        case 3: blocks512<3>(q, carry, acc); break;
        case 2: blocks512<2>(q, carry, acc); break;
        case 1: blocks512<1>(q, carry, acc); break;
        default: break;
    }
    // Lanes added as vectors and unsigned words: the library's reduction adds
    // signed scalars, whose wrap-around is undefined.
    const __m256i s4 = _mm256_add_epi64(_mm512_castsi512_si256(acc), _mm512_extracti64x4_epi64(acc, 1));
    const __m128i s2 = _mm_add_epi64(_mm256_castsi256_si128(s4), _mm256_extracti128_si256(s4, 1));
    h = h * power(kFnvPrime, 64 * blocks) + static_cast<std::uint64_t>(_mm_cvtsi128_si64(s2)) +
        static_cast<std::uint64_t>(_mm_extract_epi64(s2, 1));
    return fnv1a_serial(h, p + 64 * blocks, n - 64 * blocks);
}

// ------------------------------------------------------------ AVX2

#define ORDWYNE_FNV256_TARGET "avx2,bmi2,pclmul"
#define ORDWYNE_FNV256 __attribute__((target(ORDWYNE_FNV256_TARGET), always_inline)) inline

struct Tables256 {
    // Toggles of passes 0..3 over the low 4 bits, for vpshufb.
    alignas(32) std::uint8_t low[4][32];
    constexpr Tables256() : low() {
        for (unsigned k = 0; k < 4; ++k) {
            for (unsigned v = 0; v < 32; ++v) low[k][v] = toggle(k, v & 15u);
        }
    }
};
constexpr Tables256 kTables256;
constexpr Weights<32> kWeights32;

template <unsigned K>
ORDWYNE_FNV256 __m256i pass256(__m256i l, __m256i b, std::uint32_t& carry) {
    const __m256i y =
        _mm256_and_si256(_mm256_xor_si256(l, b), _mm256_set1_epi8(static_cast<char>((2u << K) - 1u)));
    __m256i t;
    if constexpr (K < 4) {
        t = _mm256_shuffle_epi8(_mm256_load_si256(reinterpret_cast<const __m256i*>(kTables256.low[K])), y);
    } else {
        // Bytes times 0xb3 in 16-bit lanes: the low byte of a lane's product
        // is right as it is, the high byte when the low byte is cleared first.
        const __m256i c = _mm256_set1_epi16(kLowPrime);
        const __m256i even = _mm256_mullo_epi16(y, c);
        const __m256i odd = _mm256_mullo_epi16(_mm256_and_si256(y, _mm256_set1_epi16(-256)), c);
        const __m256i prod = _mm256_or_si256(_mm256_and_si256(even, _mm256_set1_epi16(0xff)), odd);
        t = _mm256_slli_epi16(prod, 7 - K);
    }
    // Exclusive prefix XOR of the toggles: a carry-less multiply by all ones.
    const auto toggles = static_cast<std::uint32_t>(_mm256_movemask_epi8(t));
    const auto inclusive = static_cast<std::uint32_t>(_mm_cvtsi128_si32(
        _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(toggles)), _mm_set1_epi64x(-1), 0)));
    const std::uint32_t bits = (inclusive << 1) ^ carry;
    carry ^= static_cast<std::uint32_t>(static_cast<std::int32_t>(inclusive) >> 31);
    // The 32 bits back to bytes: byte i takes bit i.
    const __m256i spread = _mm256_shuffle_epi8(
        _mm256_set1_epi32(static_cast<int>(bits)),
        _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3,
                         3, 3, 3, 3, 3, 3, 3));
    const __m256i select = _mm256_set1_epi64x(0x8040201008040201LL);
    const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(spread, select), select);
    return _mm256_or_si256(l, _mm256_and_si256(set, _mm256_set1_epi8(1 << K)));
}

ORDWYNE_FNV256 void add256(__m256i& lo, __m256i& hi, __m128i words, int q) {
    const __m256i d = _mm256_cvtepi16_epi64(words);
    const auto* wlo = reinterpret_cast<const __m256i*>(kWeights32.lo + 4 * q);
    const auto* whi = reinterpret_cast<const __m256i*>(kWeights32.hi + 4 * q);
    lo = _mm256_add_epi64(lo, _mm256_mul_epi32(d, _mm256_load_si256(wlo)));
    hi = _mm256_add_epi64(hi, _mm256_mul_epi32(d, _mm256_load_si256(whi)));
}

ORDWYNE_FNV256 __m256i block_sum256(__m256i l, __m256i b) {
    const __m256i x = _mm256_xor_si256(l, b);
    const __m256i d0 = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(x)),
                                        _mm256_cvtepu8_epi16(_mm256_castsi256_si128(l)));
    const __m256i d1 = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(x, 1)),
                                        _mm256_cvtepu8_epi16(_mm256_extracti128_si256(l, 1)));
    __m256i lo = _mm256_setzero_si256();
    __m256i hi = _mm256_setzero_si256();
    const __m128i d00 = _mm256_castsi256_si128(d0), d01 = _mm256_extracti128_si256(d0, 1);
    const __m128i d10 = _mm256_castsi256_si128(d1), d11 = _mm256_extracti128_si256(d1, 1);
    add256(lo, hi, d00, 0);
    add256(lo, hi, _mm_unpackhi_epi64(d00, d00), 1);
    add256(lo, hi, d01, 2);
    add256(lo, hi, _mm_unpackhi_epi64(d01, d01), 3);
    add256(lo, hi, d10, 4);
    add256(lo, hi, _mm_unpackhi_epi64(d10, d10), 5);
    add256(lo, hi, d11, 6);
    add256(lo, hi, _mm_unpackhi_epi64(d11, d11), 7);
    return _mm256_add_epi64(lo, _mm256_slli_epi64(hi, 32));
}

// Passes K to 7 of G consecutive blocks (see rows512).
template <unsigned K = 0, std::size_t G>
ORDWYNE_FNV256 void rows256(__m256i (&l)[G], const __m256i (&b)[G], std::uint32_t (&carry)[8]) {
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) l[g] = pass256<K>(l[g], b[g], carry[K]);
    if constexpr (K < 7) rows256<K + 1>(l, b, carry);
}

// G blocks folded into h: h <- h * P^32 + sum_j d_j * P^(32 - j) per block.
template <std::size_t G>
ORDWYNE_FNV256 std::uint64_t blocks256(const std::uint8_t* p, std::uint32_t (&carry)[8],
                                       std::uint64_t h) {
    __m256i b[G], l[G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        b[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * g));
        l[g] = _mm256_setzero_si256();
    }
    rows256(l, b, carry);
    constexpr std::uint64_t p32 = power(kFnvPrime, 32);
#pragma GCC unroll 8
    for (std::size_t g = 0; g < G; ++g) {
        const __m256i s = block_sum256(l[g], b[g]);
        const __m128i s2 = _mm_add_epi64(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
        const auto sum = static_cast<std::uint64_t>(_mm_cvtsi128_si64(s2)) +
                         static_cast<std::uint64_t>(_mm_extract_epi64(s2, 1));
        h = h * p32 + sum;
    }
    return h;
}

__attribute__((target(ORDWYNE_FNV256_TARGET))) std::uint64_t avx2(std::uint64_t h,
                                                                 const std::uint8_t* p,
                                                                 std::size_t n) {
    const std::size_t blocks = n / 32;
    if (blocks == 0) return fnv1a_serial(h, p, n);
    std::uint32_t carry[8];
    for (unsigned k = 0; k < 8; ++k) carry[k] = 0u - static_cast<std::uint32_t>(h >> k & 1);
    const std::uint8_t* q = p;
    std::size_t left = blocks;
    for (; left >= 8; left -= 8, q += 256) h = blocks256<8>(q, carry, h);
    for (; left != 0; --left, q += 32) h = blocks256<1>(q, carry, h);
    return fnv1a_serial(h, p + 32 * blocks, n - 32 * blocks);
}

#endif  // ORDWYNE_FNV_X86

using KernelFn = std::uint64_t (*)(std::uint64_t, const std::uint8_t*, std::size_t);

KernelFn kernel_of(FnvKernel kernel) {
    switch (kernel) {
#ifdef ORDWYNE_FNV_X86
        case FnvKernel::Avx512:
            return avx512;
        case FnvKernel::Avx2:
            return avx2;
#endif
        default:
            return portable;
    }
}

FnvKernel widest_available() {
    if (fnv_kernel_available(FnvKernel::Avx512)) return FnvKernel::Avx512;
    if (fnv_kernel_available(FnvKernel::Avx2)) return FnvKernel::Avx2;
    return FnvKernel::Portable;
}

std::atomic<bool> g_force_portable{false};

// Pieces of long buffers, each hashed by the kernel that suits its zero
// words; a whole number of 64-byte blocks.
constexpr std::size_t kPiece = 16 * 1024;

}  // namespace

bool fnv_kernel_available(FnvKernel kernel) {
#ifdef ORDWYNE_FNV_X86
    switch (kernel) {
        case FnvKernel::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vbmi") &&
                   __builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512bitalg") &&
                   __builtin_cpu_supports("gfni") && __builtin_cpu_supports("pclmul");
        case FnvKernel::Avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                   __builtin_cpu_supports("pclmul");
        case FnvKernel::Portable:
            return true;
    }
    return false;
#else
    return kernel == FnvKernel::Portable;
#endif
}

std::uint64_t fnv1a_with(FnvKernel kernel, std::uint64_t h, const std::uint8_t* p,
                         std::size_t n) {
    return kernel_of(kernel)(h, p, n);
}

FnvKernel fnv_active_kernel() {
    // Resolved once; the test hook is one relaxed load per call.
    static const FnvKernel widest = widest_available();
    return g_force_portable.load(std::memory_order_relaxed) ? FnvKernel::Portable : widest;
}

namespace {

// Whether most of a piece's 8-byte words are zero, judged from 64 words
// spread over it: the choice of kernel only decides speed, never the result.
bool mostly_zero_words(const std::uint8_t* p) {
    constexpr std::size_t kStride = kPiece / 64;
    unsigned zeros = 0;
    for (std::size_t i = 0; i < kPiece; i += kStride) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        zeros += w == 0;
    }
    return zeros >= 48;
}

}  // namespace

std::uint64_t fnv1a_bulk(std::uint64_t h, const void* data, std::size_t n) {
    const KernelFn fn = kernel_of(fnv_active_kernel());
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (fn == portable || n < 2 * kPiece) return fn(h, p, n);
    // Long buffers in pieces. The portable chain takes a zero word in one
    // multiply, so a piece that is mostly zero words (a young model's arrays)
    // is quicker there than in a vector kernel, which pays for every byte.
    for (; n >= kPiece; p += kPiece, n -= kPiece) {
        h = mostly_zero_words(p) ? portable(h, p, kPiece) : fn(h, p, kPiece);
    }
    return fn(h, p, n);
}

void force_portable_fnv(bool on) { g_force_portable.store(on, std::memory_order_relaxed); }

}  // namespace ordwyne::rng
