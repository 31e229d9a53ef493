#include "state.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "fnv_kernels.hpp"
#include "rng.hpp"

#ifdef __linux__
#include <sys/mman.h>
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define ORDWYNE_HEX_X86 1
#include <immintrin.h>
#endif

namespace ordwyne {

static_assert(std::endian::native == std::endian::little,
              "the layout is little-endian and arrays are copied as they lie in memory");

namespace {

constexpr std::size_t kHeader = 48;    // magic .. scale
constexpr std::size_t kCounters = 48;  // decision_count .. record count
constexpr std::size_t kChecksum = 8;

std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

double bits_to_f64(std::uint64_t bits) { return std::bit_cast<double>(bits); }

std::size_t record_size(const DecisionRecord& r) {
    return 64 + r.decision_id.size() + r.salt.size() + 16 * r.features.size();
}

std::size_t layout_size(const Bandit& bandit) {
    std::size_t n = kHeader + 16 * bandit.model.dim + kCounters + kChecksum;
    bandit.ledger.for_each([&](const DecisionRecord& r) { n += record_size(r); });
    return n;
}

// Writes the layout through a sink that sees every byte once, in order.
template <class Sink>
void write_layout(const Bandit& bandit, Sink& sink) {
    const Model& m = bandit.model;
    sink.bytes(state::kMagic, 8);
    sink.u64(state::kVersion);
    sink.u64(m.dim);
    sink.f64(m.ridge);
    sink.f64(m.forgetting);
    sink.f64(m.scale);
    sink.bytes(m.a.data(), 8 * m.dim);
    sink.bytes(m.b.data(), 8 * m.dim);
    sink.u64(bandit.decision_count);
    sink.u64(bandit.model_version);
    sink.f64(bandit.horizon);
    sink.f64(bandit.default_reward);
    sink.f64(bandit.epsilon);
    sink.u64(bandit.ledger.size());
    bandit.ledger.for_each([&](const DecisionRecord& r) {
        sink.text(r.decision_id);
        sink.f64(r.t);
        sink.u64(r.candidate_hash);
        sink.u64(r.chosen);
        sink.u64(r.features.size());
        for (const Entry& e : r.features) {
            sink.u64(e.index);
            sink.f64(e.value);
        }
        sink.f64(r.propensity);
        sink.u64(r.model_version);
        sink.text(r.salt);
    });
    const std::uint64_t checksum = sink.hash.state;
    sink.bytes(&checksum, 8);
}

// Shared field encoders; the derived sink supplies bytes().
template <class Derived>
struct SinkBase {
    rng::Fnv1a hash;

    void u64(std::uint64_t v) { static_cast<Derived*>(this)->bytes(&v, 8); }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    void text(const std::string& s) {
        u64(s.size());
        static_cast<Derived*>(this)->bytes(s.data(), s.size());
    }
};

struct ByteSink : SinkBase<ByteSink> {
    std::uint8_t* out;

    void bytes(const void* data, std::size_t n) {
        if (n == 0) return;
        hash.bytes(data, n);
        std::memcpy(out, data, n);
        out += n;
    }
};

constexpr char kDigits[] = "0123456789abcdef";

struct HexTable {
    char pairs[256][2];
    constexpr HexTable() : pairs() {
        for (int i = 0; i < 256; ++i) {
            pairs[i][0] = kDigits[i >> 4];
            pairs[i][1] = kDigits[i & 15];
        }
    }
};
constexpr HexTable kHex;

struct NibbleTable {
    std::int8_t value[256];
    constexpr NibbleTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = -1;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<std::int8_t>(i);
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = static_cast<std::int8_t>(10 + i);
            value['A' + i] = static_cast<std::int8_t>(10 + i);
        }
    }
};
constexpr NibbleTable kNibble;

void encode_portable(const std::uint8_t* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, kHex.pairs[in[i]], 2);
}

// n bytes from 2n characters; false if any character is not a hex digit.
bool decode_portable(const char* text, std::size_t n, std::uint8_t* out) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text);
    int bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int hi = kNibble.value[s[2 * i]];
        const int lo = kNibble.value[s[2 * i + 1]];
        bad |= hi | lo;
        out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return bad >= 0;
}

#ifdef ORDWYNE_HEX_X86

#define ORDWYNE_HEX_AVX2 __attribute__((target("avx2")))

// 32 bytes to 64 characters a step: nibbles through a 16-entry lookup.
ORDWYNE_HEX_AVX2 void encode_avx2(const std::uint8_t* in, std::size_t n, char* out) {
    const __m256i digits = _mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a',
                                            'b', 'c', 'd', 'e', 'f', '0', '1', '2', '3', '4', '5',
                                            '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
    const __m256i low_nibble = _mm256_set1_epi8(0x0f);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i hi = _mm256_shuffle_epi8(
            digits, _mm256_and_si256(_mm256_srli_epi16(v, 4), low_nibble));
        const __m256i lo = _mm256_shuffle_epi8(digits, _mm256_and_si256(v, low_nibble));
        // Interleaving works within 128-bit halves; the permutes restore order.
        const __m256i a = _mm256_unpacklo_epi8(hi, lo);
        const __m256i b = _mm256_unpackhi_epi8(hi, lo);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                            _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i + 32),
                            _mm256_permute2x128_si256(a, b, 0x31));
    }
    encode_portable(in + i, n - i, out + 2 * i);
}

// 32 characters to nibbles, and a mask of the characters that are not digits.
ORDWYNE_HEX_AVX2 inline __m256i nibbles_avx2(__m256i c, __m256i& bad) {
    const __m256i digit = _mm256_sub_epi8(c, _mm256_set1_epi8('0'));
    const __m256i letter =
        _mm256_sub_epi8(_mm256_or_si256(c, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
    const __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit);
    const __m256i is_letter =
        _mm256_cmpeq_epi8(_mm256_min_epu8(letter, _mm256_set1_epi8(5)), letter);
    bad = _mm256_or_si256(bad, _mm256_andnot_si256(_mm256_or_si256(is_digit, is_letter),
                                                   _mm256_set1_epi8(-1)));
    return _mm256_blendv_epi8(_mm256_add_epi8(letter, _mm256_set1_epi8(10)), digit, is_digit);
}

ORDWYNE_HEX_AVX2 bool decode_avx2(const char* text, std::size_t n, std::uint8_t* out) {
    // Each pair of nibbles becomes 16 * high + low in a 16-bit lane.
    const __m256i weights = _mm256_set1_epi16(0x0110);
    __m256i bad = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const auto* s = reinterpret_cast<const __m256i*>(text + 2 * i);
        const __m256i a = _mm256_maddubs_epi16(nibbles_avx2(_mm256_loadu_si256(s), bad), weights);
        const __m256i b =
            _mm256_maddubs_epi16(nibbles_avx2(_mm256_loadu_si256(s + 1), bad), weights);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xd8));
    }
    const bool tail = decode_portable(text + 2 * i, n - i, out + i);
    return tail && _mm256_testz_si256(bad, bad);
}

#endif  // ORDWYNE_HEX_X86

// The vector paths follow the bulk hash's choice, so the hash's test hook
// forcing the portable path covers these as well.
bool hex_vector() {
#ifdef ORDWYNE_HEX_X86
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && rng::fnv_active_kernel() != rng::FnvKernel::Portable;
#else
    return false;
#endif
}

void encode_hex(const std::uint8_t* in, std::size_t n, char* out) {
#ifdef ORDWYNE_HEX_X86
    if (hex_vector()) return encode_avx2(in, n, out);
#endif
    encode_portable(in, n, out);
}

bool decode_hex_into(const char* text, std::size_t n, std::uint8_t* out) {
#ifdef ORDWYNE_HEX_X86
    if (hex_vector()) return decode_avx2(text, n, out);
#endif
    return decode_portable(text, n, out);
}

// Renders the layout as text while hashing it, in one pass over the state.
// Long inputs go in pieces that stay in the cache between the hash and the
// rendering.
struct HexSink : SinkBase<HexSink> {
    char* out;

    void bytes(const void* data, std::size_t n) {
        constexpr std::size_t kPiece = 32 * 1024;
        auto* p = static_cast<const std::uint8_t*>(data);
        while (n != 0) {
            const std::size_t k = n < kPiece ? n : kPiece;
            hash.bytes(p, k);
            encode_hex(p, k, out);
            out += 2 * k;
            p += k;
            n -= k;
        }
    }
};

// A fresh buffer of hundreds of megabytes costs one page fault per 4 KiB on
// first write, more than rendering it; ask for huge pages where the system
// leaves that to the program. Only a hint: nothing changes if it is refused.
void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (n < 4 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHuge - 1);
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::uint8_t* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

Error truncated() { return error::make(error::kTruncated); }

// Reads `dim` doubles, refusing before allocating when the bytes cannot hold
// them: a forged dimension must not reserve memory.
Result<ZeroedArray> read_array(std::span<const std::uint8_t> bytes, std::size_t& position,
                               std::uint64_t dim) {
    if (dim > (bytes.size() - position) / 8) return fail(truncated());
    ZeroedArray a(dim);
    advise_huge_pages(a.data(), 8 * dim);
    std::memcpy(a.data(), bytes.data() + position, 8 * dim);
    position += 8 * dim;
    return a;
}

bool valid_record_pair(bool has_previous, std::uint64_t previous, std::uint64_t index,
                       double value, std::uint64_t dim) {
    return index < dim && (!has_previous || index > previous) && !(value == 0.0);
}

}  // namespace

Result<std::uint64_t> Reader::f64() {
    if (remaining() < 8) return fail(truncated());
    const std::uint64_t v = load_u64(bytes_.data() + position_);
    position_ += 8;
    return v;
}

Result<std::string> Reader::string() {
    Result<std::uint64_t> length = f64();
    if (!length) return fail(std::move(length.error()));
    // Compared with what remains before anything is copied.
    if (*length > remaining()) return fail(truncated());
    const std::uint8_t* p = bytes_.data() + position_;
    if (!valid_utf8(p, *length)) return fail(error::make(error::kNotUtf8));
    position_ += *length;
    return std::string(reinterpret_cast<const char*>(p), *length);
}

namespace state {

std::vector<std::uint8_t> serialize(const Bandit& bandit) {
    std::vector<std::uint8_t> out(layout_size(bandit));
    ByteSink sink;
    sink.out = out.data();
    write_layout(bandit, sink);
    return out;
}

std::string serialize_hex(const Bandit& bandit) {
    const std::size_t n = layout_size(bandit);
    std::string text;
    // Every character is written by the sink; skip zero-filling 2n bytes.
    text.resize_and_overwrite(2 * n, [&](char* buffer, std::size_t size) {
        advise_huge_pages(buffer, size);
        HexSink sink;
        sink.out = buffer;
        write_layout(bandit, sink);
        return size;
    });
    return text;
}

Result<std::vector<std::uint8_t>> decode_hex(std::string_view text) {
    if (text.size() % 2 != 0) return fail(error::make(error::kNotHex));
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    advise_huge_pages(bytes.data(), bytes.capacity());
    bytes.resize(text.size() / 2);
    // Every pair is checked; which one is bad does not change the message.
    if (!decode_hex_into(text.data(), bytes.size(), bytes.data())) {
        return fail(error::make(error::kNotHex));
    }
    return bytes;
}

Result<Bandit> deserialize(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 24) return fail(truncated());
    if (std::memcmp(bytes.data(), kMagic, 8) != 0) return fail(error::make(error::kBadMagic));
    const std::size_t body = bytes.size() - kChecksum;
    rng::Fnv1a checksum;
    checksum.bytes(bytes.data(), body);
    if (load_u64(bytes.data() + body) != checksum.state) {
        return fail(error::make(error::kChecksum));
    }
    const std::uint64_t version = load_u64(bytes.data() + 8);
    if (version != kVersion) return fail(error::unsupported_version(version));
    if (bytes.size() < 40) return fail(truncated());

    const std::span<const std::uint8_t> data = bytes.first(body);
    const std::uint64_t dim = load_u64(data.data() + 16);
    const double ridge = bits_to_f64(load_u64(data.data() + 24));
    Reader reader(data, 32);
    Result<std::uint64_t> forgetting_bits = reader.f64();
    if (!forgetting_bits) return fail(std::move(forgetting_bits.error()));
    Result<std::uint64_t> scale_bits = reader.f64();
    if (!scale_bits) return fail(std::move(scale_bits.error()));
    const double forgetting = bits_to_f64(*forgetting_bits);
    const double scale = bits_to_f64(*scale_bits);

    if (dim == 0) return fail(error::make(error::kDim));
    if (!(forgetting > 0.0 && forgetting <= 1.0)) return fail(error::make(error::kForgetting));
    if (!(ridge > 0.0)) return fail(error::make(error::kRidge));
    if (!(scale > 0.0 && scale <= 1.0)) return fail(error::make(error::kScale));

    Bandit bandit;
    bandit.model.dim = dim;
    bandit.model.ridge = ridge;
    bandit.model.forgetting = forgetting;
    bandit.model.scale = scale;
    std::size_t position = data.size() - reader.remaining();
    Result<ZeroedArray> a = read_array(data, position, dim);
    if (!a) return fail(std::move(a.error()));
    Result<ZeroedArray> b = read_array(data, position, dim);
    if (!b) return fail(std::move(b.error()));
    bandit.model.a = std::move(*a);
    bandit.model.b = std::move(*b);
    reader = Reader(data, position);

    std::uint64_t words[5];
    for (std::uint64_t& w : words) {
        Result<std::uint64_t> v = reader.f64();
        if (!v) return fail(std::move(v.error()));
        w = *v;
    }
    bandit.decision_count = words[0];
    bandit.model_version = words[1];
    bandit.horizon = bits_to_f64(words[2]);
    bandit.default_reward = bits_to_f64(words[3]);
    bandit.epsilon = bits_to_f64(words[4]);
    if (!(bandit.horizon > 0.0)) return fail(error::make(error::kHorizon));
    if (!(bandit.epsilon >= 0.0 && bandit.epsilon <= 1.0)) {
        return fail(error::make(error::kEpsilon));
    }

    Result<std::uint64_t> count = reader.f64();
    if (!count) return fail(std::move(count.error()));
    for (std::uint64_t r = 0; r < *count; ++r) {
        DecisionRecord record;
        Result<std::string> id = reader.string();
        if (!id) return fail(std::move(id.error()));
        record.decision_id = std::move(*id);
        std::uint64_t head[4];  // t, candidate_hash, chosen, feature count
        for (std::uint64_t& w : head) {
            Result<std::uint64_t> v = reader.f64();
            if (!v) return fail(std::move(v.error()));
            w = *v;
        }
        record.t = bits_to_f64(head[0]);
        record.candidate_hash = head[1];
        record.chosen = head[2];
        // Never reserve more than the remaining bytes could hold.
        record.features.reserve(std::min<std::uint64_t>(head[3], reader.remaining() / 16));
        for (std::uint64_t i = 0; i < head[3]; ++i) {
            Result<std::uint64_t> index = reader.f64();
            if (!index) return fail(std::move(index.error()));
            Result<std::uint64_t> value = reader.f64();
            if (!value) return fail(std::move(value.error()));
            const Entry e{*index, bits_to_f64(*value)};
            const bool has_previous = !record.features.empty();
            const std::uint64_t previous = has_previous ? record.features.back().index : 0;
            if (!valid_record_pair(has_previous, previous, e.index, e.value, dim)) {
                return fail(error::make(error::kRecordFeatures));
            }
            record.features.push_back(e);
        }
        Result<std::uint64_t> propensity = reader.f64();
        if (!propensity) return fail(std::move(propensity.error()));
        Result<std::uint64_t> version_stamp = reader.f64();
        if (!version_stamp) return fail(std::move(version_stamp.error()));
        Result<std::string> salt = reader.string();
        if (!salt) return fail(std::move(salt.error()));
        record.propensity = bits_to_f64(*propensity);
        record.model_version = *version_stamp;
        record.salt = std::move(*salt);
        const double due = record.t + bandit.horizon;
        bandit.ledger.push_back(std::move(record), due);
    }
    if (reader.remaining() != 0) return fail(error::make(error::kTrailing));
    return bandit;
}

}  // namespace state
}  // namespace ordwyne
