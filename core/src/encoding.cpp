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

}  // namespace

// A candidate part: up to four pieces hashed as if concatenated. `shared`
// marks parts other candidates of the decision may repeat (the bias and the
// features; not the identity), whose hashes are worth remembering.
struct Part {
    std::array<std::string_view, 4> pieces;
    double weight;
    bool shared;
};

// Remembered mixed hashes of one part for every context token. Keyed on the
// addresses and sizes of the part's name and text: equal addresses mean equal
// bytes, and hosts hand the same feature names and common values over as the
// same strings, so the cheap key finds most repeats.
struct CachedPart {
    std::uint64_t epoch = 0;
    const char* name = nullptr;
    const char* text = nullptr;
    std::size_t name_size = 0;
    std::size_t text_size = 0;
    std::size_t offset = 0;  // into Scratch::mixed
};

// Buffers reused across calls so that encoding a candidate allocates only
// its output vector.
struct Scratch {
    std::vector<const NamedFeature*> order;
    std::vector<Part> parts;
    std::vector<std::uint64_t> seeds;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> sorted;
    std::vector<std::uint32_t> counts;
    std::vector<std::uint32_t> buckets;
    std::vector<double> values;
    std::vector<CachedPart> cache;
    std::vector<std::uint64_t> mixed;
    std::uint64_t epoch = 0;
};

namespace {

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

CandidateEncoder::CandidateEncoder(const TokenList& context, std::uint32_t bits)
    : context_(context), bits_(bits), scratch_(&scratch()) {
    Scratch& s = *scratch_;
    // A new epoch forgets the previous decision's parts without clearing.
    ++s.epoch;
    if (s.cache.empty()) s.cache.resize(64);
    s.mixed.clear();
    const std::size_t n_tokens = context.size();
    lanes_ = (n_tokens + 3) & ~std::size_t{3};
    s.seeds.resize(lanes_);
    for (std::size_t t = 0; t < lanes_; ++t) s.seeds[t] = t < n_tokens ? context[t].seed : 0;
}

std::size_t CandidateEncoder::mixed_hashes(const Part& part) {
    Scratch& s = *scratch_;
    CachedPart* slot = nullptr;
    if (part.shared) {
        const std::string_view name = part.pieces[1];
        const std::string_view text = part.pieces[3];
        std::size_t at = static_cast<std::size_t>(rng::mix64(
            reinterpret_cast<std::uintptr_t>(name.data()) ^
            (reinterpret_cast<std::uintptr_t>(text.data()) << 1) ^ name.size() ^
            (text.size() << 32)));
        for (std::size_t probe = 0;; ++probe) {
            CachedPart& c = s.cache[(at + probe) & (s.cache.size() - 1)];
            if (c.epoch != s.epoch) {
                slot = &c;
                break;
            }
            if (c.name == name.data() && c.name_size == name.size() && c.text == text.data() &&
                c.text_size == text.size()) {
                return c.offset;
            }
            if (probe == s.cache.size() / 4) break;  // crowded: compute without caching
        }
    }
    const std::size_t offset = s.mixed.size();
    s.mixed.resize(offset + lanes_);
    hash_part(part, s.seeds.data(), lanes_, s.mixed.data() + offset);
    for (std::size_t t = 0; t < lanes_; ++t) s.mixed[offset + t] = rng::mix64(s.mixed[offset + t]);
    if (slot != nullptr) {
        *slot = CachedPart{s.epoch,          part.pieces[1].data(), part.pieces[3].data(),
                           part.pieces[1].size(), part.pieces[3].size(), offset};
    }
    return offset;
}

void CandidateEncoder::encode(std::string_view name, const NamedFeatures& features,
                              FeatureVector& out) {
    Scratch& s = *scratch_;
    name_order(features, s.order);
    s.parts.clear();
    s.parts.push_back(Part{{}, 1.0, true});
    for (const NamedFeature* f : s.order) {
        switch (f->value.kind) {
            case Value::Kind::Text:
                s.parts.push_back(Part{{"a|", f->name, "=", f->value.text}, 1.0, true});
                break;
            case Value::Kind::Number:
                s.parts.push_back(Part{{"a|", f->name, {}, {}}, f->value.number, true});
                break;
            case Value::Kind::Missing:
                break;
        }
    }
    s.parts.push_back(Part{{"i|", name, {}, {}}, 1.0, false});

    const std::size_t n_tokens = context_.size();
    const std::size_t n_parts = s.parts.size();
    const std::size_t n_raw = n_tokens * n_parts;
    s.keys.resize(n_raw);
    s.values.resize(n_raw);
    const std::uint64_t mask = (std::uint64_t{1} << bits_) - 1;

    // Raw entries in generation order: token outer, part inner. The sort key
    // carries the generation number so that an ordinary sort is stable.
    for (std::size_t p = 0; p < n_parts; ++p) {
        const std::size_t offset = mixed_hashes(s.parts[p]);
        const double part_weight = s.parts[p].weight;
        for (std::size_t t = 0; t < n_tokens; ++t) {
            const std::uint64_t z = s.mixed[offset + t];
            const double w = (z >> 63) != 0 ? -context_[t].weight : context_[t].weight;
            const std::uint64_t gen = t * n_parts + p;
            s.keys[gen] = ((z & mask) << kGenBits) | gen;
            s.values[gen] = part_weight * w;
        }
    }
    sort_keys(s, bits_);

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
    CandidateEncoder(context, bits).encode(name, features, out);
    return out;
}

}  // namespace ordwyne::encoding
