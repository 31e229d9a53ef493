#include "state.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "rng.hpp"

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

// Renders the layout as text while hashing it, in one pass over the state.
struct HexSink : SinkBase<HexSink> {
    char* out;

    void bytes(const void* data, std::size_t n) {
        if (n == 0) return;
        auto* p = static_cast<const std::uint8_t*>(data);
        hash.bytes(p, n);
        for (std::size_t i = 0; i < n; ++i) {
            std::memcpy(out, kHex.pairs[p[i]], 2);
            out += 2;
        }
    }
};

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
        HexSink sink;
        sink.out = buffer;
        write_layout(bandit, sink);
        return size;
    });
    return text;
}

Result<std::vector<std::uint8_t>> decode_hex(std::string_view text) {
    if (text.size() % 2 != 0) return fail(error::make(error::kNotHex));
    std::vector<std::uint8_t> bytes(text.size() / 2);
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int hi = kNibble.value[s[2 * i]];
        const int lo = kNibble.value[s[2 * i + 1]];
        if ((hi | lo) < 0) return fail(error::make(error::kNotHex));
        bytes[i] = static_cast<std::uint8_t>((hi << 4) | lo);
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
