#include "encoding.hpp"

#include <algorithm>
#include <array>

#include "rng.hpp"

namespace ordwyne::encoding {

namespace {

// Features in stable ascending byte order of their names. Feature lists are
// short, so an insertion sort over pointers beats an allocating stable sort.
void name_order(const NamedFeatures& features, std::vector<const NamedFeature*>& out) {
    out.clear();
    for (const NamedFeature& f : features) {
        const NamedFeature* p = &f;
        std::size_t j = out.size();
        out.push_back(p);
        // char_traits<char> compares as unsigned bytes, shorter prefix first.
        while (j > 0 && p->name < out[j - 1]->name) {
            out[j] = out[j - 1];
            --j;
        }
        out[j] = p;
    }
}

std::uint64_t token_seed(std::string_view bytes) {
    rng::Fnv1a h;
    h.bytes(bytes);
    h.byte(kSeparator);
    return h.state;
}

// A candidate part: up to four pieces hashed as if concatenated.
struct Part {
    std::array<std::string_view, 4> pieces;
    double weight;
};

// Buffers reused across calls so that encoding a candidate allocates only
// its output vector.
struct Scratch {
    std::vector<const NamedFeature*> order;
    std::vector<Part> parts;
    std::vector<std::uint64_t> seeds;
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> sorted;
    std::vector<std::uint32_t> counts;
    std::vector<std::uint32_t> buckets;
    std::vector<double> values;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

constexpr unsigned kGenBits = 40;
constexpr std::uint64_t kGenMask = (std::uint64_t{1} << kGenBits) - 1;

// Continues the FNV-1a state of every token over the part's bytes. Four
// independent chains advance side by side so their multiplies overlap; the
// seeds are padded to a multiple of four so no chain runs alone.
void hash_part(const Part& part, const std::uint64_t* seeds, std::size_t lanes,
               std::uint64_t* h) {
    for (std::size_t t = 0; t < lanes; t += 4) {
        std::uint64_t h0 = seeds[t], h1 = seeds[t + 1], h2 = seeds[t + 2], h3 = seeds[t + 3];
        for (std::string_view piece : part.pieces) {
            for (unsigned char c : piece) {
                h0 = (h0 ^ c) * rng::kFnvPrime;
                h1 = (h1 ^ c) * rng::kFnvPrime;
                h2 = (h2 ^ c) * rng::kFnvPrime;
                h3 = (h3 ^ c) * rng::kFnvPrime;
            }
        }
        h[t] = h0;
        h[t + 1] = h1;
        h[t + 2] = h2;
        h[t + 3] = h3;
    }
}

// Sorts the raw keys (index above, generation number below). The indices are
// hash outputs, spread evenly, so one counting pass on their top bits puts
// almost every key in place and an insertion pass finishes the job without
// allocating.
void sort_keys(Scratch& s, std::uint32_t bits) {
    const std::size_t n = s.keys.size();
    unsigned shift = 0;
    while ((std::size_t{2} << shift) < n) ++shift;  // about two keys a bucket
    const std::size_t buckets = std::size_t{1} << shift;
    s.counts.assign(buckets + 1, 0);
    s.buckets.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<std::uint32_t>(((s.keys[i] >> kGenBits) << shift) >> bits);
        s.buckets[i] = b;
        ++s.counts[b + 1];
    }
    for (std::size_t b = 0; b < buckets; ++b) s.counts[b + 1] += s.counts[b];
    s.sorted.resize(n);
    for (std::size_t i = 0; i < n; ++i) s.sorted[s.counts[s.buckets[i]]++] = s.keys[i];
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t key = s.sorted[i];
        std::size_t j = i;
        while (j > 0 && s.sorted[j - 1] > key) {
            s.sorted[j] = s.sorted[j - 1];
            --j;
        }
        s.sorted[j] = key;
    }
    s.keys.swap(s.sorted);
}

}  // namespace

TokenList feature_tokens(std::string_view prefix, const NamedFeatures& features) {
    std::vector<const NamedFeature*> order;
    name_order(features, order);
    TokenList tokens;
    tokens.reserve(order.size());
    for (const NamedFeature* f : order) {
        if (f->value.kind == Value::Kind::Missing) continue;
        std::string bytes;
        const bool text = f->value.kind == Value::Kind::Text;
        bytes.reserve(prefix.size() + 2 + f->name.size() + (text ? f->value.text.size() : 0));
        bytes.append(prefix).push_back('|');
        bytes.append(f->name);
        if (text) bytes.append("=").append(f->value.text);
        const double weight = text ? 1.0 : f->value.number;
        const std::uint64_t seed = token_seed(bytes);
        tokens.push_back(Token{std::move(bytes), weight, seed});
    }
    return tokens;
}

TokenList context_tokens(const NamedFeatures& context) {
    TokenList features = feature_tokens("c", context);
    TokenList tokens;
    tokens.reserve(features.size() + 1);
    tokens.push_back(Token{std::string(), 1.0, token_seed({})});
    for (Token& t : features) tokens.push_back(std::move(t));
    return tokens;
}

void encode_into(const TokenList& context, std::string_view name, const NamedFeatures& features,
                 std::uint32_t bits, FeatureVector& out) {
    Scratch& s = scratch();
    name_order(features, s.order);
    s.parts.clear();
    s.parts.push_back(Part{{}, 1.0});
    for (const NamedFeature* f : s.order) {
        switch (f->value.kind) {
            case Value::Kind::Text:
                s.parts.push_back(Part{{"a|", f->name, "=", f->value.text}, 1.0});
                break;
            case Value::Kind::Number:
                s.parts.push_back(Part{{"a|", f->name, {}, {}}, f->value.number});
                break;
            case Value::Kind::Missing:
                break;
        }
    }
    s.parts.push_back(Part{{"i|", name, {}, {}}, 1.0});

    const std::size_t n_tokens = context.size();
    const std::size_t n_parts = s.parts.size();
    const std::size_t n_raw = n_tokens * n_parts;
    const std::size_t lanes = (n_tokens + 3) & ~std::size_t{3};
    s.seeds.resize(lanes);
    for (std::size_t t = 0; t < lanes; ++t) s.seeds[t] = t < n_tokens ? context[t].seed : 0;
    s.hashes.resize(lanes);
    s.keys.resize(n_raw);
    s.values.resize(n_raw);
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;

    // Raw entries in generation order: token outer, part inner. The sort key
    // carries the generation number so that an ordinary sort is stable.
    for (std::size_t p = 0; p < n_parts; ++p) {
        hash_part(s.parts[p], s.seeds.data(), lanes, s.hashes.data());
        const double part_weight = s.parts[p].weight;
        for (std::size_t t = 0; t < n_tokens; ++t) {
            const std::uint64_t z = rng::mix64(s.hashes[t]);
            const double w = (z >> 63) != 0 ? -context[t].weight : context[t].weight;
            const std::uint64_t gen = t * n_parts + p;
            s.keys[gen] = ((z & mask) << kGenBits) | gen;
            s.values[gen] = part_weight * w;
        }
    }
    sort_keys(s, bits);

    out.clear();
    out.reserve(n_raw);
    std::size_t i = 0;
    while (i < n_raw) {
        const std::uint64_t index = s.keys[i] >> kGenBits;
        double sum = s.values[s.keys[i] & kGenMask];
        std::size_t j = i + 1;
        for (; j < n_raw && (s.keys[j] >> kGenBits) == index; ++j) {
            sum = sum + s.values[s.keys[j] & kGenMask];
        }
        if (!(sum == 0.0)) out.push_back(Entry{index, sum});
        i = j;
    }
}

Result<FeatureVector> encode_with_context(const TokenList& context, std::string_view name,
                                          const NamedFeatures& features, std::uint32_t bits) {
    if (!(bits - 1u < 24u)) return fail(error::make(error::kBits));
    FeatureVector out;
    encode_into(context, name, features, bits, out);
    return out;
}

}  // namespace ordwyne::encoding
