// The encoder's pair hashing: FNV-1a continued from every context token's
// seed over one part's bytes, then the SplitMix64 output mix, for many lanes
// side by side. One portable kernel and two for x86-64 vector units, chosen
// once at run time from what the processor offers, so one build runs on any
// x86-64 and uses the widest unit it finds.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

#include "encoding.hpp"
#include "rng.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define ORDWYNE_X86_KERNELS 1
#include <immintrin.h>
// GCC 12's AVX-512 intrinsics build their results from a deliberately
// undefined vector, which this warning then reports in every caller.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace ordwyne::encoding {

namespace {

constexpr std::uint64_t kMix1 = 0xbf58476d1ce4e5b9ULL;
constexpr std::uint64_t kMix2 = 0x94d049bb133111ebULL;

// Four scalar chains at a time: the multiplier takes a new product every
// cycle but needs three to finish one, so four chains keep it busy.
void hash_portable(const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs,
                   std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) {
        std::uint64_t* out = jobs[j].out;
        for (std::size_t t = 0; t < lanes; t += 4) {
            std::uint64_t h0 = seeds[t], h1 = seeds[t + 1], h2 = seeds[t + 2], h3 = seeds[t + 3];
            for (std::string_view piece : jobs[j].pieces) {
                for (unsigned char byte : piece) {
                    const std::uint64_t c = byte;
                    h0 = (h0 ^ c) * rng::kFnvPrime;
                    h1 = (h1 ^ c) * rng::kFnvPrime;
                    h2 = (h2 ^ c) * rng::kFnvPrime;
                    h3 = (h3 ^ c) * rng::kFnvPrime;
                }
            }
            out[t] = rng::mix64(h0);
            out[t + 1] = rng::mix64(h1);
            out[t + 2] = rng::mix64(h2);
            out[t + 3] = rng::mix64(h3);
        }
    }
}

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

bool emit_small_portable(const std::uint64_t* z, const std::uint64_t* weights, std::size_t n,
                         std::uint64_t mask, std::uint32_t gen, std::uint32_t step, double weight,
                         std::uint32_t* keys, double* values) {
    bool zero = false;
    for (std::size_t t = 0; t < n; ++t, gen += step) {
        keys[t] = static_cast<std::uint32_t>(((z[t] & mask) << kSmallGenBits) | gen);
        const double v = weight * std::bit_cast<double>(weights[t] ^ (z[t] & kSignBit));
        values[t] = v;
        zero |= v == 0.0;
    }
    return zero;
}

#ifdef ORDWYNE_X86_KERNELS
// The same header bug, reported as certain in the fixed-size item groups.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"

// A work item: one job over one block of eight lanes.
struct Item {
    const std::string_view* pieces;
    const std::uint64_t* seeds;
    std::uint64_t* out;
};

// The longest piece number q among the first g items.
std::size_t longest_piece(const Item* items, std::size_t g, std::size_t q) {
    std::size_t longest = 0;
    for (std::size_t k = 0; k < g; ++k) longest = std::max(longest, items[k].pieces[q].size());
    return longest;
}

// Byte i of piece q of item k, and whether it exists (else the item waits).
inline bool piece_byte(const Item* items, std::size_t g, std::size_t k, std::size_t q,
                       std::size_t i, long long& c) {
    if (k >= g || i >= items[k].pieces[q].size()) {
        c = 0;
        return false;
    }
    c = static_cast<unsigned char>(items[k].pieces[q][i]);
    return true;
}

// Parts up to this many bytes are hashed in lockstep from rows of bytes
// padded with zeros to the group's longest part. A zero byte multiplies the
// state by the prime, and the prime is odd, so the padding is undone by one
// multiply with the inverse power: exact, and no item ever waits.
constexpr std::size_t kShort = 64;

constexpr std::uint64_t inverse_prime() {
    std::uint64_t x = rng::kFnvPrime;  // right in 3 bits; each step doubles that
    for (int i = 0; i < 6; ++i) x *= 2 - rng::kFnvPrime * x;
    return x;
}

struct InversePowers {
    std::uint64_t p[kShort + 1];
    constexpr InversePowers() : p{} {
        p[0] = 1;
        for (std::size_t d = 1; d <= kShort; ++d) p[d] = p[d - 1] * inverse_prime();
    }
};
constexpr InversePowers kInversePowers{};
static_assert(kInversePowers.p[1] * rng::kFnvPrime == 1);

std::size_t job_size(const HashJob& job) {
    std::size_t n = 0;
    for (std::string_view piece : job.pieces) n += piece.size();
    return n;
}

// Copies the few bytes of a piece (at most kShort) without a library call,
// which costs more than the copy at these sizes: overlapping fixed-size
// moves that stay inside both ranges.
inline void copy_short(std::uint8_t* dst, const char* src, std::size_t n) {
    if (n >= 8) {
        std::size_t i = 0;
        for (; i + 8 < n; i += 8) std::memcpy(dst + i, src + i, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) dst[i] = static_cast<std::uint8_t>(src[i]);
    }
}

// The most items a kernel runs side by side.
constexpr std::size_t kMaxItems = 8;

// Up to kMaxItems short items laid out as zero-padded rows of bytes. Rows
// of absent items hold whatever they held: only their own, unused, lanes
// read them.
struct ShortGroup {
    Item items[kMaxItems];
    std::size_t size[kMaxItems];
    std::size_t g = 0;
    std::size_t longest = 0;
    alignas(64) std::uint8_t rows[kMaxItems][kShort] = {};

    void add(const Item& item, std::size_t n) {
        items[g] = item;
        size[g] = n;
        std::uint8_t* row = rows[g];
        if (g != 0 && items[g - 1].pieces == item.pieces) {
            // The same job's next block of lanes: the same bytes.
            std::memcpy(row, rows[g - 1], kShort);
        } else {
            // Whole-row stores of a constant size, which compile to a few
            // vector moves, then the pieces over the zeros.
            std::memset(row, 0, kShort);
            for (std::size_t q = 0; q < kPieces; ++q) {
                const std::string_view piece = item.pieces[q];
                copy_short(row, piece.data(), piece.size());
                row += piece.size();
            }
        }
        longest = std::max(longest, n);
        ++g;
    }
    void clear() {
        g = 0;
        longest = 0;
    }
};

// Splits the jobs into items (one job over one block of eight lanes) and
// runs them `width` at a time: short ones from padded rows, long ones in
// place.
void drive(const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs, std::size_t n,
           std::size_t width, void (*run_short)(ShortGroup&),
           void (*run_long)(const Item*, std::size_t)) {
    const std::size_t blocks = lanes / 8;
    ShortGroup grp;
    Item longs[kMaxItems];
    std::size_t n_long = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t size = job_size(jobs[j]);
        for (std::size_t b = 0; b < blocks; ++b) {
            const Item item{jobs[j].pieces.data(), seeds + 8 * b, jobs[j].out + 8 * b};
            if (size <= kShort) {
                grp.add(item, size);
                if (grp.g == width) run_short(grp);
            } else {
                longs[n_long++] = item;
                if (n_long == width) {
                    run_long(longs, n_long);
                    n_long = 0;
                }
            }
        }
    }
    if (grp.g != 0) run_short(grp);
    if (n_long != 0) run_long(longs, n_long);
}

#define ORDWYNE_AVX512 __attribute__((target("avx512f,avx512dq,avx512bw")))
#define ORDWYNE_AVX2 __attribute__((target("avx2")))

// AVX-512: eight lanes per register and a 64-bit multiply (vpmullq) whose
// result takes about fifteen cycles but which accepts a new one every one
// or two; eight items advance together so it is rarely left waiting.
constexpr std::size_t kItems512 = 8;

ORDWYNE_AVX512 inline __m512i mix_512(__m512i z) {
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 30));
    z = _mm512_mullo_epi64(z, _mm512_set1_epi64(static_cast<long long>(kMix1)));
    z = _mm512_xor_si512(z, _mm512_srli_epi64(z, 27));
    z = _mm512_mullo_epi64(z, _mm512_set1_epi64(static_cast<long long>(kMix2)));
    return _mm512_xor_si512(z, _mm512_srli_epi64(z, 31));
}

// G occupied items: a group is often part full (a candidate's few new parts
// at the end of its batch), and idle items would still cost their multiplies.
template <std::size_t G>
ORDWYNE_AVX512 inline void run_short_512_of(ShortGroup& grp) {
    const __m512i prime = _mm512_set1_epi64(static_cast<long long>(rng::kFnvPrime));
    __m512i h[G];
    for (std::size_t k = 0; k < G; ++k) h[k] = _mm512_loadu_si512(grp.items[k].seeds);
    for (std::size_t i = 0; i < grp.longest; ++i) {
        for (std::size_t k = 0; k < G; ++k) {
            h[k] = _mm512_mullo_epi64(_mm512_xor_si512(h[k], _mm512_set1_epi64(grp.rows[k][i])),
                                      prime);
        }
    }
    for (std::size_t k = 0; k < G; ++k) {
        const std::uint64_t undo = kInversePowers.p[grp.longest - grp.size[k]];
        const __m512i z = _mm512_mullo_epi64(h[k], _mm512_set1_epi64(static_cast<long long>(undo)));
        _mm512_storeu_si512(grp.items[k].out, mix_512(z));
    }
}

ORDWYNE_AVX512 void run_short_512(ShortGroup& grp) {
    switch (grp.g) {
        case 1: run_short_512_of<1>(grp); break;
        case 2: run_short_512_of<2>(grp); break;
        case 3: run_short_512_of<3>(grp); break;
        case 4: run_short_512_of<4>(grp); break;
        case 5: run_short_512_of<5>(grp); break;
        case 6: run_short_512_of<6>(grp); break;
        case 7: run_short_512_of<7>(grp); break;
        default: run_short_512_of<kItems512>(grp); break;
    }
    grp.clear();
}

// Eight tokens per step; the last step masked, so nothing past n is read
// or written.
ORDWYNE_AVX512 bool emit_small_512(const std::uint64_t* z, const std::uint64_t* weights,
                                   std::size_t n, std::uint64_t mask, std::uint32_t gen,
                                   std::uint32_t step, double weight, std::uint32_t* keys,
                                   double* values) {
    const __m512i index_mask = _mm512_set1_epi64(static_cast<long long>(mask));
    const __m512i sign = _mm512_set1_epi64(static_cast<long long>(kSignBit));
    const __m512i quiet = _mm512_set1_epi64(std::int64_t{1} << 51);
    const __m512d w = _mm512_set1_pd(weight);
    const long long s = step;
    __m512i g = _mm512_add_epi64(_mm512_set1_epi64(gen),
                                 _mm512_setr_epi64(0, s, 2 * s, 3 * s, 4 * s, 5 * s, 6 * s, 7 * s));
    const __m512i g_step = _mm512_set1_epi64(8 * s);
    __mmask8 zero = 0;
    for (std::size_t t = 0; t < n; t += 8) {
        const __mmask8 live = n - t >= 8 ? __mmask8{0xff}
                                         : static_cast<__mmask8>((1u << (n - t)) - 1u);
        const __m512i zz = _mm512_maskz_loadu_epi64(live, z + t);
        const __m512i key = _mm512_or_si512(_mm512_slli_epi64(_mm512_and_si512(zz, index_mask), kSmallGenBits), g);
        _mm512_mask_cvtepi64_storeu_epi32(keys + t, live, key);
        const __m512i bits = _mm512_xor_si512(_mm512_maskz_loadu_epi64(live, weights + t),
                                              _mm512_and_si512(zz, sign));
        const __m512d x = _mm512_castsi512_pd(bits);
        // A NaN token weight comes out as itself, quieted, even when the part's
        // weight is NaN too, as in the portable multiply; the vector one
        // might keep either operand's NaN.
        const __m512d v = _mm512_mask_mov_pd(
            _mm512_mul_pd(w, x), _mm512_cmp_pd_mask(x, x, _CMP_UNORD_Q),
            _mm512_castsi512_pd(_mm512_or_si512(bits, quiet)));
        _mm512_mask_storeu_pd(values + t, live, v);
        zero |= _mm512_mask_cmp_pd_mask(live, v, _mm512_setzero_pd(), _CMP_EQ_OQ);
        g = _mm512_add_epi64(g, g_step);
    }
    return zero != 0;
}

// Longer parts, piece by piece in place; an item whose piece is done keeps
// its state through a masked multiply (AVX-512) or a blend (AVX2).
ORDWYNE_AVX512 void run_long_512(const Item* items, std::size_t g) {
    const __m512i prime = _mm512_set1_epi64(static_cast<long long>(rng::kFnvPrime));
    __m512i h[kItems512];
    for (std::size_t k = 0; k < kItems512; ++k) {
        h[k] = k < g ? _mm512_loadu_si512(items[k].seeds) : _mm512_setzero_si512();
    }
    for (std::size_t q = 0; q < kPieces; ++q) {
        const std::size_t longest = longest_piece(items, g, q);
        for (std::size_t i = 0; i < longest; ++i) {
            for (std::size_t k = 0; k < kItems512; ++k) {
                long long c;
                const bool live = piece_byte(items, g, k, q, i, c);
                const __mmask8 m = static_cast<__mmask8>(-static_cast<int>(live));
                h[k] = _mm512_mask_mullo_epi64(h[k], m,
                                               _mm512_xor_si512(h[k], _mm512_set1_epi64(c)), prime);
            }
        }
    }
    for (std::size_t k = 0; k < g; ++k) _mm512_storeu_si512(items[k].out, mix_512(h[k]));
}

// AVX2: four lanes per register and no 64-bit multiply. The FNV prime is
// 2**40 + 0x1b3, so h * prime = h * 0x1b3 + (h << 40), and h * 0x1b3 is two
// 32 x 32 -> 64 bit products: low half, and high half shifted up by 32.
constexpr std::size_t kItems256 = 4;  // each two registers wide

ORDWYNE_AVX2 inline __m256i fnv_step_256(__m256i h, __m256i c, __m256i low_prime) {
    h = _mm256_xor_si256(h, c);
    const __m256i lo = _mm256_mul_epu32(h, low_prime);
    const __m256i hi = _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(h, 32), low_prime), 32);
    return _mm256_add_epi64(_mm256_add_epi64(lo, hi), _mm256_slli_epi64(h, 40));
}

// Low 64 bits of a full 64 x 64 product.
ORDWYNE_AVX2 inline __m256i mul64_256(__m256i a, __m256i b) {
    const __m256i lo = _mm256_mul_epu32(a, b);
    const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), b),
                                           _mm256_mul_epu32(a, _mm256_srli_epi64(b, 32)));
    return _mm256_add_epi64(lo, _mm256_slli_epi64(cross, 32));
}

ORDWYNE_AVX2 inline __m256i mix_256(__m256i z) {
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 30));
    z = mul64_256(z, _mm256_set1_epi64x(static_cast<long long>(kMix1)));
    z = _mm256_xor_si256(z, _mm256_srli_epi64(z, 27));
    z = mul64_256(z, _mm256_set1_epi64x(static_cast<long long>(kMix2)));
    return _mm256_xor_si256(z, _mm256_srli_epi64(z, 31));
}

ORDWYNE_AVX2 void run_short_256(ShortGroup& grp) {
    const __m256i low_prime =
        _mm256_set1_epi64x(static_cast<long long>(rng::kFnvPrime & 0xffffffffu));
    __m256i h[2 * kItems256];
    for (std::size_t k = 0; k < kItems256; ++k) {
        for (std::size_t r = 0; r < 2; ++r) {
            h[2 * k + r] = k < grp.g ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                                           grp.items[k].seeds + 4 * r))
                                     : _mm256_setzero_si256();
        }
    }
    for (std::size_t i = 0; i < grp.longest; ++i) {
        for (std::size_t k = 0; k < kItems256; ++k) {
            const __m256i c = _mm256_set1_epi64x(grp.rows[k][i]);
            h[2 * k] = fnv_step_256(h[2 * k], c, low_prime);
            h[2 * k + 1] = fnv_step_256(h[2 * k + 1], c, low_prime);
        }
    }
    for (std::size_t k = 0; k < grp.g; ++k) {
        const __m256i undo = _mm256_set1_epi64x(
            static_cast<long long>(kInversePowers.p[grp.longest - grp.size[k]]));
        for (std::size_t r = 0; r < 2; ++r) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(grp.items[k].out + 4 * r),
                                mix_256(mul64_256(h[2 * k + r], undo)));
        }
    }
    grp.clear();
}

ORDWYNE_AVX2 void run_long_256(const Item* items, std::size_t g) {
    const __m256i low_prime =
        _mm256_set1_epi64x(static_cast<long long>(rng::kFnvPrime & 0xffffffffu));
    __m256i h[2 * kItems256];
    for (std::size_t k = 0; k < kItems256; ++k) {
        for (std::size_t r = 0; r < 2; ++r) {
            h[2 * k + r] = k < g ? _mm256_loadu_si256(
                                       reinterpret_cast<const __m256i*>(items[k].seeds + 4 * r))
                                 : _mm256_setzero_si256();
        }
    }
    for (std::size_t q = 0; q < kPieces; ++q) {
        const std::size_t longest = longest_piece(items, g, q);
        for (std::size_t i = 0; i < longest; ++i) {
            for (std::size_t k = 0; k < kItems256; ++k) {
                long long byte;
                const bool live = piece_byte(items, g, k, q, i, byte);
                const __m256i keep = _mm256_set1_epi64x(live ? 0 : -1);
                const __m256i c = _mm256_set1_epi64x(byte);
                for (std::size_t r = 0; r < 2; ++r) {
                    const __m256i next = fnv_step_256(h[2 * k + r], c, low_prime);
                    h[2 * k + r] = _mm256_blendv_epi8(next, h[2 * k + r], keep);
                }
            }
        }
    }
    for (std::size_t k = 0; k < g; ++k) {
        for (std::size_t r = 0; r < 2; ++r) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(items[k].out + 4 * r),
                                mix_256(h[2 * k + r]));
        }
    }
}

void hash_avx2(const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs,
               std::size_t n) {
    drive(seeds, lanes, jobs, n, kItems256, run_short_256, run_long_256);
}

void hash_avx512(const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs,
                 std::size_t n) {
    drive(seeds, lanes, jobs, n, kItems512, run_short_512, run_long_512);
}

// Sorting by rank: the rank of a key is the number of keys below it, which
// a vector of keys compared against one broadcast key adds up for sixteen
// (eight) keys at once, without a branch. Quadratic, so only for the short
// lists of one candidate; each key then goes straight to its place. Up to
// eight registers of keys are ranked per sweep over all keys.
template <std::size_t R>
ORDWYNE_AVX512 void rank_sweep_512(const std::uint32_t* keys, std::size_t n, std::size_t first,
                                   std::uint32_t* ranks) {
    __m512i k[R], rank[R];
    for (std::size_t r = 0; r < R; ++r) {
        k[r] = _mm512_loadu_si512(keys + 16 * (first + r));
        rank[r] = _mm512_setzero_si512();
    }
    const __m512i one = _mm512_set1_epi32(1);
    for (std::size_t j = 0; j < n; ++j) {
        const __m512i b = _mm512_set1_epi32(static_cast<int>(keys[j]));
        for (std::size_t r = 0; r < R; ++r) {
            rank[r] = _mm512_mask_add_epi32(rank[r], _mm512_cmplt_epu32_mask(b, k[r]), rank[r], one);
        }
    }
    for (std::size_t r = 0; r < R; ++r) _mm512_storeu_si512(ranks + 16 * (first + r), rank[r]);
}

// The same on the keys' top sixteen significant bits, thirty-two to a
// register: fewer compares, but keys that agree there tie. Ties show in the
// sum of the ranks, which is n(n - 1)/2 exactly when all ranks differ;
// then the 32-bit ranking runs instead.
template <std::size_t R>
ORDWYNE_AVX512 bool rank16_512(const std::uint32_t* keys, std::size_t n, unsigned shift,
                               std::uint16_t* ranks) {
    alignas(64) std::uint16_t short_keys[kRankPad * 16];
    for (std::size_t r = 0; r < 2 * R; ++r) {
        const __m512i k = _mm512_srli_epi32(_mm512_loadu_si512(keys + 16 * r), shift);
        _mm256_store_si256(reinterpret_cast<__m256i*>(short_keys + 16 * r), _mm512_cvtepi32_epi16(k));
    }
    __m512i k[R], rank[R];
    for (std::size_t r = 0; r < R; ++r) {
        k[r] = _mm512_load_si512(short_keys + 32 * r);
        rank[r] = _mm512_setzero_si512();
    }
    const __m512i one = _mm512_set1_epi16(1);
    for (std::size_t j = 0; j < n; ++j) {
        const __m512i b = _mm512_set1_epi16(static_cast<short>(short_keys[j]));
        for (std::size_t r = 0; r < R; ++r) {
            rank[r] = _mm512_mask_add_epi16(rank[r], _mm512_cmplt_epu16_mask(b, k[r]), rank[r], one);
        }
    }
    // The sum over the real keys' lanes, in the registers: eight ranks below
    // 256 per 16-bit lane cannot overflow it.
    __m512i lane_sums = _mm512_setzero_si512();
    for (std::size_t r = 0; r < R; ++r) {
        _mm512_storeu_si512(ranks + 32 * r, rank[r]);
        const std::size_t live = std::min<std::size_t>(n - std::min(n, 32 * r), 32);
        const __mmask32 m = live == 32 ? ~__mmask32{0} : (__mmask32{1} << live) - 1;
        lane_sums = _mm512_add_epi16(lane_sums, _mm512_maskz_mov_epi16(m, rank[r]));
    }
    const std::size_t sum = static_cast<std::size_t>(
        _mm512_reduce_add_epi32(_mm512_madd_epi16(lane_sums, _mm512_set1_epi16(1))));
    return sum == n * (n - 1) / 2;
}

ORDWYNE_AVX512 unsigned rank_small_512(const std::uint32_t* keys, std::size_t n,
                                       std::uint16_t* ranks) {
    // Shift so the sixteen bits kept are the keys' highest set ones.
    std::uint32_t top = 0;
    for (std::size_t i = 0; i < n; ++i) top |= keys[i];
    const unsigned bits = 32 - static_cast<unsigned>(__builtin_clz(top | 1u));
    const unsigned shift = bits > 16 ? bits - 16 : 0;
    const std::size_t regs16 = (n + 31) / 32;
    bool distinct = false;
    switch (regs16) {
        case 1: distinct = rank16_512<1>(keys, n, shift, ranks); break;
        case 2: distinct = rank16_512<2>(keys, n, shift, ranks); break;
        case 3: distinct = rank16_512<3>(keys, n, shift, ranks); break;
        case 4: distinct = rank16_512<4>(keys, n, shift, ranks); break;
        case 5: distinct = rank16_512<5>(keys, n, shift, ranks); break;
        case 6: distinct = rank16_512<6>(keys, n, shift, ranks); break;
        case 7: distinct = rank16_512<7>(keys, n, shift, ranks); break;
        default: distinct = rank16_512<8>(keys, n, shift, ranks); break;
    }
    if (distinct) return shift;
    alignas(64) std::uint32_t ranks32[kRankPad * 16];
    const std::size_t regs = (n + 15) / 16;
    for (std::size_t first = 0; first < regs; first += 8) {
        switch (std::min<std::size_t>(regs - first, 8)) {
            case 1: rank_sweep_512<1>(keys, n, first, ranks32); break;
            case 2: rank_sweep_512<2>(keys, n, first, ranks32); break;
            case 3: rank_sweep_512<3>(keys, n, first, ranks32); break;
            case 4: rank_sweep_512<4>(keys, n, first, ranks32); break;
            case 5: rank_sweep_512<5>(keys, n, first, ranks32); break;
            case 6: rank_sweep_512<6>(keys, n, first, ranks32); break;
            case 7: rank_sweep_512<7>(keys, n, first, ranks32); break;
            default: rank_sweep_512<8>(keys, n, first, ranks32); break;
        }
    }
    for (std::size_t i = 0; i < n; ++i) ranks[i] = static_cast<std::uint16_t>(ranks32[i]);
    return 0;
}

ORDWYNE_AVX2 void rank_small_256(const std::uint32_t* keys, std::size_t n, std::uint16_t* ranks) {
    const std::size_t regs = (n + 7) / 8;
    alignas(32) std::uint32_t ranks32[kRankPad * 16];
    // Unsigned order through the signed compare: flip the top bits.
    const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    for (std::size_t r0 = 0; r0 < regs; r0 += 4) {
        __m256i k[4], rank[4];
        for (std::size_t r = 0; r < 4; ++r) {
            k[r] = r0 + r < regs ? _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(
                                                        keys + 8 * (r0 + r))),
                                                    flip)
                                 : _mm256_set1_epi32(static_cast<int>(0x80000000u));
            rank[r] = _mm256_setzero_si256();
        }
        for (std::size_t j = 0; j < n; ++j) {
            const __m256i b = _mm256_set1_epi32(static_cast<int>(keys[j] ^ 0x80000000u));
            // key_j < key_i gives all ones (-1) in lane i; subtracting counts it.
            for (std::size_t r = 0; r < 4; ++r) {
                rank[r] = _mm256_sub_epi32(rank[r], _mm256_cmpgt_epi32(k[r], b));
            }
        }
        for (std::size_t r = 0; r < 4 && r0 + r < regs; ++r) {
            _mm256_store_si256(reinterpret_cast<__m256i*>(ranks32 + 8 * (r0 + r)), rank[r]);
        }
    }
    for (std::size_t i = 0; i < n; ++i) ranks[i] = static_cast<std::uint16_t>(ranks32[i]);
}

#pragma GCC diagnostic pop
#endif  // ORDWYNE_X86_KERNELS

using KernelFn = void (*)(const std::uint64_t*, std::size_t, const HashJob*, std::size_t);

KernelFn kernel_fn(HashKernel k) {
    switch (k) {
#ifdef ORDWYNE_X86_KERNELS
        case HashKernel::Avx512: return hash_avx512;
        case HashKernel::Avx2: return hash_avx2;
#endif
        default: return hash_portable;
    }
}

HashKernel best_kernel() {
    for (HashKernel k : {HashKernel::Avx512, HashKernel::Avx2}) {
        if (kernel_supported(k)) return k;
    }
    return HashKernel::Portable;
}

std::atomic<HashKernel>& active() {
    static std::atomic<HashKernel> k{best_kernel()};
    return k;
}

}  // namespace

bool kernel_supported(HashKernel k) {
    switch (k) {
        case HashKernel::Portable: return true;
#ifdef ORDWYNE_X86_KERNELS
        // The checks include the operating system's support for the wider
        // registers, not only the instruction set.
        case HashKernel::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512bw");
        case HashKernel::Avx2: return __builtin_cpu_supports("avx2");
#endif
        default: return false;
    }
}

HashKernel active_kernel() { return active().load(std::memory_order_relaxed); }

bool use_kernel(HashKernel k) {
    if (!kernel_supported(k)) return false;
    active().store(k, std::memory_order_relaxed);
    return true;
}

void hash_jobs(HashKernel k, const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs,
               std::size_t n) {
    kernel_fn(k)(seeds, lanes, jobs, n);
}

bool rank_small(const std::uint32_t* keys, std::size_t n, std::uint16_t* ranks,
                unsigned& distinct_above) {
    distinct_above = 0;
    if (n == 0) return active_kernel() != HashKernel::Portable;
    switch (active_kernel()) {
#ifdef ORDWYNE_X86_KERNELS
        case HashKernel::Avx512: distinct_above = rank_small_512(keys, n, ranks); return true;
        case HashKernel::Avx2: rank_small_256(keys, n, ranks); return true;
#endif
        default: return false;
    }
}

bool emit_small(const std::uint64_t* z, const std::uint64_t* weights, std::size_t n,
                std::uint64_t mask, std::uint32_t gen, std::uint32_t step, double weight,
                std::uint32_t* keys, double* values) {
#ifdef ORDWYNE_X86_KERNELS
    if (active_kernel() == HashKernel::Avx512) {
        return emit_small_512(z, weights, n, mask, gen, step, weight, keys, values);
    }
#endif
    return emit_small_portable(z, weights, n, mask, gen, step, weight, keys, values);
}

void hash_jobs(const std::uint64_t* seeds, std::size_t lanes, const HashJob* jobs, std::size_t n) {
    kernel_fn(active_kernel())(seeds, lanes, jobs, n);
}

}  // namespace ordwyne::encoding
