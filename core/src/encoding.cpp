#include "encoding.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "rng.hpp"

namespace ordwyne::encoding {

namespace {

// Below this many features an insertion sort over pointers beats merging.
constexpr std::size_t kInsertionMax = 32;

// Byte order of names, as a sign: unsigned bytes over the common length,
// then the shorter first. Names mostly differ in their first bytes, which
// this finds without a library call.
inline int name_compare(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

inline bool name_less(std::string_view a, std::string_view b) { return name_compare(a, b) < 0; }

// Candidates of one decision mostly list the same names in the same order,
// so the previous candidate's order (positions in its list) is tried first:
// it is this list's stable name order exactly when it leaves the names
// ascending and equal names in list order. One comparison per feature.
bool reuse_order(const NamedFeatures& features, const std::vector<std::uint32_t>& order,
                 std::vector<const NamedFeature*>& out) {
    const std::size_t n = features.size();
    if (order.size() != n || n < 2) return false;
    out.resize(n);
    out[0] = &features[order[0]];
    for (std::size_t i = 1; i < n; ++i) {
        out[i] = &features[order[i]];
        const int c = name_compare(out[i - 1]->name, out[i]->name);
        // Equal names in strictly rising positions: this also proves the
        // positions distinct, so `order` is a permutation of this list.
        if (c > 0 || (c == 0 && order[i - 1] >= order[i])) return false;
    }
    return true;
}

// Features in stable ascending byte order of their names.
void name_order(const NamedFeatures& features, std::vector<const NamedFeature*>& out) {
    out.clear();
    out.reserve(features.size());
    for (const NamedFeature& f : features) out.push_back(&f);
    if (out.size() <= kInsertionMax) {
        for (std::size_t i = 1; i < out.size(); ++i) {
            const NamedFeature* p = out[i];
            std::size_t j = i;
            while (j > 0 && name_less(p->name, out[j - 1]->name)) {
                out[j] = out[j - 1];
                --j;
            }
            out[j] = p;
        }
        return;
    }
    // Merge sort: O(n log n) comparisons whatever the order of the input.
    // Each name carries the eight bytes that follow the prefix all names
    // share, big-endian and zero-padded: comparing those words orders most
    // pairs without touching the names, and only equal words compare the
    // names themselves. (Zero padding only ever makes words equal that the
    // names would order, so the words never contradict the names.)
    std::string_view common = out[0]->name;
    for (const NamedFeature* f : out) {
        std::size_t k = 0;
        const std::size_t limit = std::min(common.size(), f->name.size());
        while (k < limit && common[k] == f->name[k]) ++k;
        common = common.substr(0, k);
    }
    struct Named {
        std::uint64_t word;
        std::string_view name;
        const NamedFeature* feature;
    };
    std::vector<Named> named;
    named.reserve(out.size());
    for (const NamedFeature* f : out) {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            const std::size_t at = common.size() + i;
            const auto byte = at < f->name.size() ? static_cast<unsigned char>(f->name[at]) : 0u;
            word = (word << 8) | byte;
        }
        named.push_back(Named{word, f->name, f});
    }
    std::stable_sort(named.begin(), named.end(), [](const Named& a, const Named& b) {
        return a.word != b.word ? a.word < b.word : a.name < b.name;
    });
    for (std::size_t i = 0; i < named.size(); ++i) out[i] = named[i].feature;
}

}  // namespace

// A candidate part: up to four pieces hashed as if concatenated. `shared`
// marks parts other candidates of the decision may repeat (the bias and the
// features; not the identity), whose hashes are worth remembering.
struct Part {
    std::array<std::string_view, kPieces> pieces;
    double weight;
    bool shared;
    std::uint8_t kind;  // 0 bias, 1 number, 2 text: part of the cache key
};

// Remembered mixed hashes of one part for every context token. Keyed on the
// part's kind and the addresses and sizes of its name and text: equal
// addresses mean equal bytes, and hosts hand the same feature names and
// common values over as the same strings, so the cheap key finds most
// repeats.
struct CachedPart {
    std::uint64_t epoch = 0;
    const char* name = nullptr;
    const char* text = nullptr;
    std::size_t name_size = 0;
    std::size_t text_size = 0;
    std::size_t offset = 0;  // into Scratch::mixed
    std::uint8_t kind = 0;
    bool ready = false;  // hashes computed (else still in the pending batch)
};

// A part whose hashes the next kernel call computes.
struct Pending {
    std::size_t part;
    std::size_t offset;  // into Scratch::mixed if cached, else Scratch::batch
    CachedPart* slot;    // null if not cached
};

// Buffers reused across calls so that encoding a candidate allocates only
// its output vector.
struct Scratch {
    std::vector<const NamedFeature*> order;
    std::vector<std::uint32_t> last_order;  // the last sorted list's order, as positions
    std::vector<Part> parts;
    std::vector<std::uint64_t> seeds;
    std::vector<std::uint64_t> weights;  // token weights' bit patterns
    std::vector<CachedPart> cache;
    std::vector<std::uint64_t> mixed;  // hashes of cached parts
    std::vector<std::uint64_t> batch;  // hashes of parts in the pending batch
    std::vector<Pending> pending;
    std::vector<HashJob> jobs;
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> sorted;
    std::vector<std::uint32_t> counts;
    std::vector<double> values;
    // Small raw lists use 32-bit keys: index above, generation number in
    // the low byte. Keys and values are stored part by part (position
    // p * tokens + t), which lets emit write runs; the portable sort reads the
    // values through `by_gen`, in generation order.
    std::vector<std::uint32_t> keys32;
    std::vector<std::uint32_t> sorted32;
    std::vector<std::uint16_t> ranks;
    std::vector<double> by_gen;
    bool small = false;
    bool zero = false;  // some raw value of the candidate is zero (small lists)
    std::uint64_t epoch = 0;
    std::size_t cached = 0;      // cache slots used in this epoch
    std::size_t batch_used = 0;  // words of `batch` claimed by pending parts
    std::size_t n_parts = 0;     // of the candidate being encoded
    std::uint64_t mask = 0;

    std::size_t capacity_bytes() const {
        return order.capacity() * sizeof(order[0]) + parts.capacity() * sizeof(Part) +
               last_order.capacity() * sizeof(std::uint32_t) +
               (seeds.capacity() + weights.capacity() + mixed.capacity() + batch.capacity() +
                keys.capacity() + sorted.capacity()) *
                   sizeof(std::uint64_t) +
               (keys32.capacity() + sorted32.capacity()) * sizeof(std::uint32_t) +
               ranks.capacity() * sizeof(std::uint16_t) + by_gen.capacity() * sizeof(double) +
               cache.capacity() * sizeof(CachedPart) + pending.capacity() * sizeof(Pending) +
               jobs.capacity() * sizeof(HashJob) + counts.capacity() * sizeof(std::uint32_t) +
               values.capacity() * sizeof(double);
    }
};

namespace {

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

constexpr unsigned kGenBits = 40;
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// Cache bounds: slots (a power of two, used at most half) and the words of
// remembered hashes. A decision with a huge context caches nothing; its
// parts are hashed per candidate, which costs no more than the pairs do.
constexpr std::size_t kCacheSlots = 256;
constexpr std::size_t kCacheWords = std::size_t{1} << 17;  // 1 MiB
// Pending parts are hashed once this many words or parts are waiting, so
// the batch stays small whatever the number of parts.
constexpr std::size_t kBatchWords = 4096;
constexpr std::size_t kBatchParts = 64;

// Raw lists up to this size get 32-bit keys, (index << 8) | generation
// number, sorted by ranking on a vector unit (every key compared with every
// other, without a branch) or else by bucketing on the top index bits and an
// insertion pass; both quadratic at worst, but only within this bound.
// Longer lists get 64-bit keys and a radix sort, linear whatever the indices.
constexpr std::size_t kSmallSort = 255;

// Bucketing on the top index bits (the indices are hash outputs, spread
// evenly, so one counting pass puts almost every key in place) and an
// insertion pass; the keys are all distinct.
void sort_small_portable(Scratch& s, std::size_t n, std::uint32_t bits) {
    unsigned shift = 0;
    while ((std::size_t{2} << shift) < n) ++shift;  // about two keys a bucket
    const std::size_t buckets = std::size_t{1} << shift;
    s.counts.assign(buckets + 1, 0);
    std::uint32_t* counts = s.counts.data();
    const std::uint32_t* keys = s.keys32.data();
    std::uint32_t* sorted = s.sorted32.data();
    auto bucket = [&](std::uint32_t key) {
        return static_cast<std::uint32_t>(
            ((std::uint64_t{key} >> kSmallGenBits) << shift) >> bits);
    };
    for (std::size_t i = 0; i < n; ++i) ++counts[bucket(keys[i]) + 1];
    for (std::size_t b = 0; b < buckets; ++b) counts[b + 1] += counts[b];
    for (std::size_t i = 0; i < n; ++i) sorted[counts[bucket(keys[i])]++] = keys[i];
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint32_t key = sorted[i];
        std::size_t j = i;
        while (j > 0 && sorted[j - 1] > key) {
            sorted[j] = sorted[j - 1];
            --j;
        }
        sorted[j] = key;
    }
}

// Least-significant-digit radix sort on the index bits. The keys arrive in
// generation order and every pass is stable, so equal indices keep it.
void sort_radix(Scratch& s, std::size_t n, std::uint32_t bits) {
    const unsigned widest = n < 4096 ? 8 : 12;
    const unsigned passes = (bits + widest - 1) / widest;
    const unsigned width = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << width;
    const std::uint64_t digit_mask = buckets - 1;
    s.sorted.resize(n);
    for (unsigned pass = 0, shift = kGenBits; pass < passes; ++pass, shift += width) {
        s.counts.assign(buckets + 1, 0);
        std::uint32_t* counts = s.counts.data();
        const std::uint64_t* keys = s.keys.data();
        for (std::size_t i = 0; i < n; ++i) ++counts[((keys[i] >> shift) & digit_mask) + 1];
        for (std::size_t b = 0; b < buckets; ++b) counts[b + 1] += counts[b];
        std::uint64_t* sorted = s.sorted.data();
        for (std::size_t i = 0; i < n; ++i) {
            sorted[counts[(keys[i] >> shift) & digit_mask]++] = keys[i];
        }
        s.keys.swap(s.sorted);
    }
}


// The raw entries of one part, whose mixed hash for token t is z[t].
void emit(Scratch& s, std::size_t n_tokens, std::size_t p, const std::uint64_t* z) {
    const std::size_t n_parts = s.n_parts;
    const double part_weight = s.parts[p].weight;
    const std::uint64_t mask = s.mask;
    const std::uint64_t* weights = s.weights.data();
    std::uint64_t* keys = s.keys.data();
    double* values = s.values.data();
    std::uint64_t gen = p;
    if (s.small) {
        s.zero |= emit_small(z, weights, n_tokens, mask, static_cast<std::uint32_t>(p),
                             static_cast<std::uint32_t>(n_parts), part_weight,
                             s.keys32.data() + p * n_tokens, values + p * n_tokens);
        return;
    }
    // Sign bit set: the token's weight negated, that is, its sign flipped.
    for (std::size_t t = 0; t < n_tokens; ++t, gen += n_parts) {
        keys[gen] = ((z[t] & mask) << kGenBits) | gen;
        values[gen] = part_weight * std::bit_cast<double>(weights[t] ^ (z[t] & kSignBit));
    }
}

// Each run of equal indices in the sorted keys becomes one entry, the sum of
// its values from the first onward; sums equal to zero are dropped. Writes
// through a plain pointer: the vector's own end pointer would chain every
// iteration through memory.
template <class Key>
void combine(const Key* keys, std::size_t n, unsigned gen_bits, const double* values,
             FeatureVector& out) {
    const Key gen_mask = static_cast<Key>((Key{1} << gen_bits) - 1);
    // Every entry is overwritten: resizing without clearing leaves the ones
    // the previous candidate wrote instead of zeroing them first.
    out.resize(n);
    Entry* const first = out.data();
    Entry* o = first;
    std::size_t i = 0;
    while (i < n) {
        const std::uint64_t index = keys[i] >> gen_bits;
        double sum = values[keys[i] & gen_mask];
        std::size_t j = i + 1;
        for (; j < n && (keys[j] >> gen_bits) == index; ++j) sum = sum + values[keys[j] & gen_mask];
        *o = Entry{index, sum};
        o += !(sum == 0.0);
        i = j;
    }
    out.resize(static_cast<std::size_t>(o - first));
    // Runs that collapsed a long raw list must not leave it all reserved.
    if (out.capacity() > 2 * out.size() + 4096) out.shrink_to_fit();
}

// Sums each run of equal indices of sorted entries in place, from its first
// entry onward, and drops the sums equal to zero; returns the new count.
std::size_t sum_runs(Entry* first, std::size_t n) {
    Entry* o = first;
    std::size_t i = 0;
    while (i < n) {
        const std::uint64_t index = first[i].index;
        double sum = first[i].value;
        std::size_t j = i + 1;
        for (; j < n && first[j].index == index; ++j) sum = sum + first[j].value;
        *o = Entry{index, sum};
        o += !(sum == 0.0);
        i = j;
    }
    return static_cast<std::size_t>(o - first);
}

// The vector sort's path: every raw entry goes straight to its rank in
// `out`, then the runs are summed in place (the write position never passes
// the read position), in the same order as combine.
void combine_ranked(const std::uint32_t* keys, const std::uint16_t* ranks, std::size_t n,
                    bool distinct, bool zero, const double* values, FeatureVector& out) {
    out.resize(n);
    Entry* const first = out.data();
    for (std::size_t i = 0; i < n; ++i) {
        first[ranks[i]] = Entry{keys[i] >> kSmallGenBits, values[i]};
    }
    // Mostly the sort has shown the indices distinct and emit found no zero
    // value: then the placed entries are final.
    if (distinct && !zero) return;
    out.resize(sum_runs(first, n));
}

}  // namespace

std::size_t scratch_bytes() { return scratch().capacity_bytes(); }

namespace {

void append_tokens(std::string_view prefix, const NamedFeatures& features, TokenList& tokens) {
    std::vector<const NamedFeature*> order;
    name_order(features, order);
    tokens.reserve(tokens.size() + order.size());
    for (const NamedFeature* f : order) {
        if (f->value.kind == Value::Kind::Missing) continue;
        // The token's bytes, prefix|name or prefix|name=text, hashed as they
        // go by instead of gathered first.
        rng::Fnv1a h;
        h.bytes(prefix);
        h.byte('|');
        h.bytes(f->name);
        const bool text = f->value.kind == Value::Kind::Text;
        if (text) {
            h.byte('=');
            h.bytes(f->value.text);
        }
        h.byte(kSeparator);
        tokens.push_back(Token{text ? 1.0 : f->value.number, h.state});
    }
}

}  // namespace

TokenList feature_tokens(std::string_view prefix, const NamedFeatures& features) {
    TokenList tokens;
    append_tokens(prefix, features, tokens);
    return tokens;
}

TokenList context_tokens(const NamedFeatures& context) {
    TokenList tokens;
    tokens.reserve(context.size() + 1);
    rng::Fnv1a bias;  // the bias token has no bytes: its seed hashes the separator alone
    bias.byte(kSeparator);
    tokens.push_back(Token{1.0, bias.state});
    append_tokens("c", context, tokens);
    return tokens;
}

CandidateEncoder::CandidateEncoder(const TokenList& context, std::uint32_t bits)
    : context_(context), bits_(bits), scratch_(&scratch()) {
    Scratch& s = *scratch_;
    // A new epoch forgets the previous decision's parts without clearing.
    ++s.epoch;
    s.cached = 0;
    if (s.cache.size() != kCacheSlots) s.cache.assign(kCacheSlots, CachedPart{});
    s.mixed.clear();
    s.pending.clear();
    s.batch_used = 0;
    s.mask = (std::uint64_t{1} << bits) - 1;
    const std::size_t n_tokens = context.size();
    lanes_ = (n_tokens + kLaneBlock - 1) / kLaneBlock * kLaneBlock;
    s.seeds.assign(lanes_, 0);
    s.weights.assign(lanes_, 0);
    for (std::size_t t = 0; t < n_tokens; ++t) {
        s.seeds[t] = context[t].seed;
        s.weights[t] = std::bit_cast<std::uint64_t>(context[t].weight);
    }
}

CandidateEncoder::~CandidateEncoder() {
    // One huge decision must not pin its scratch for the thread's life.
    if (scratch_->capacity_bytes() > kScratchKeep) {
        const std::uint64_t epoch = scratch_->epoch;
        *scratch_ = Scratch{};
        scratch_->epoch = epoch;
    }
}

void CandidateEncoder::hash_pending() {
    Scratch& s = *scratch_;
    if (s.pending.empty()) return;
    if (s.batch.size() < s.batch_used) s.batch.resize(s.batch_used);
    s.jobs.clear();
    for (const Pending& q : s.pending) {
        std::uint64_t* out = (q.slot != nullptr ? s.mixed.data() : s.batch.data()) + q.offset;
        s.jobs.push_back(HashJob{s.parts[q.part].pieces, out});
    }
    hash_jobs(s.seeds.data(), lanes_, s.jobs.data(), s.jobs.size());
    const std::size_t n_tokens = context_.size();
    for (std::size_t k = 0; k < s.pending.size(); ++k) {
        const Pending& q = s.pending[k];
        if (q.slot != nullptr) q.slot->ready = true;
        emit(s, n_tokens, q.part, s.jobs[k].out);
    }
    s.pending.clear();
    s.batch_used = 0;
}

void CandidateEncoder::encode(std::string_view name, const NamedFeatures& features,
                              FeatureVector& out) {
    Scratch& s = *scratch_;
    if (!reuse_order(features, s.last_order, s.order)) {
        name_order(features, s.order);
        s.last_order.resize(s.order.size());
        for (std::size_t i = 0; i < s.order.size(); ++i) {
            s.last_order[i] = static_cast<std::uint32_t>(s.order[i] - features.data());
        }
    }
    s.parts.clear();
    s.parts.push_back(Part{{}, 1.0, true, 0});
    for (const NamedFeature* f : s.order) {
        switch (f->value.kind) {
            case Value::Kind::Text:
                s.parts.push_back(Part{{"a|", f->name, "=", f->value.text}, 1.0, true, 2});
                break;
            case Value::Kind::Number:
                s.parts.push_back(Part{{"a|", f->name, {}, {}}, f->value.number, true, 1});
                break;
            case Value::Kind::Missing:
                break;
        }
    }
    s.parts.push_back(Part{{"i|", name, {}, {}}, 1.0, false, 0});

    const std::size_t n_tokens = context_.size();
    const std::size_t n_parts = s.parts.size();
    const std::size_t n_raw = n_tokens * n_parts;
    if (n_raw == 0) {  // a token list without even the bias
        out.clear();
        return;
    }
    s.n_parts = n_parts;
    s.values.resize(n_raw);
    s.small = n_raw <= kSmallSort;
    s.zero = false;
    if (s.small) {
        // Padded to whole vectors with keys above every real one.
        const std::size_t padded = (n_raw + kRankPad - 1) / kRankPad * kRankPad;
        s.keys32.resize(padded);
        s.sorted32.resize(padded);
        std::fill(s.keys32.begin() + static_cast<std::ptrdiff_t>(n_raw), s.keys32.end(),
                  ~std::uint32_t{0});
    } else {
        s.keys.resize(n_raw);
    }

    // Raw entries land at their generation number (token outer, part inner),
    // which the sort key carries too, so an ordinary sort is stable.
    const std::size_t slots = s.cache.size();
    for (std::size_t p = 0; p < n_parts; ++p) {
        const Part& part = s.parts[p];
        CachedPart* slot = nullptr;
        bool hit = false;
        if (part.shared) {
            const std::string_view pname = part.pieces[1];
            const std::string_view text = part.pieces[3];
            const std::size_t at = static_cast<std::size_t>(rng::mix64(
                reinterpret_cast<std::uintptr_t>(pname.data()) ^
                (reinterpret_cast<std::uintptr_t>(text.data()) << 1) ^ pname.size() ^
                (text.size() << 32) ^ (std::uint64_t{part.kind} << 62)));
            for (std::size_t probe = 0; probe < 16; ++probe) {
                CachedPart& c = s.cache[(at + probe) & (slots - 1)];
                if (c.epoch != s.epoch) {
                    // Free: claim it if the store has room for one more part.
                    if (s.cached < slots / 2 && s.mixed.size() + lanes_ <= kCacheWords) slot = &c;
                    break;
                }
                if (c.kind == part.kind && c.name == pname.data() &&
                    c.name_size == pname.size() && c.text == text.data() &&
                    c.text_size == text.size()) {
                    if (!c.ready) hash_pending();  // the same part twice in one candidate
                    emit(s, n_tokens, p, s.mixed.data() + c.offset);
                    hit = true;
                    break;
                }
            }
        }
        if (hit) continue;
        if (slot != nullptr) {
            *slot = CachedPart{s.epoch,         part.pieces[1].data(), part.pieces[3].data(),
                               part.pieces[1].size(), part.pieces[3].size(), s.mixed.size(),
                               part.kind,       false};
            ++s.cached;
            s.mixed.resize(s.mixed.size() + lanes_);
            s.pending.push_back(Pending{p, slot->offset, slot});
        } else {
            s.pending.push_back(Pending{p, s.batch_used, nullptr});
            s.batch_used += lanes_;
        }
        if (s.batch_used >= kBatchWords || s.pending.size() >= kBatchParts) hash_pending();
    }
    hash_pending();

    const double* values = s.values.data();
    if (s.small) {
        s.ranks.resize(kRankPad * 8);
        unsigned distinct_above;
        if (rank_small(s.keys32.data(), n_raw, s.ranks.data(), distinct_above)) {
            combine_ranked(s.keys32.data(), s.ranks.data(), n_raw,
                           distinct_above >= kSmallGenBits, s.zero, values, out);
            return;
        }
        s.by_gen.resize(n_raw);
        for (std::size_t p = 0; p < n_parts; ++p) {
            for (std::size_t t = 0; t < n_tokens; ++t) {
                s.by_gen[t * n_parts + p] = values[p * n_tokens + t];
            }
        }
        sort_small_portable(s, n_raw, bits_);
        combine(s.sorted32.data(), n_raw, kSmallGenBits, s.by_gen.data(), out);
    } else {
        sort_radix(s, n_raw, bits_);
        combine(s.keys.data(), n_raw, kGenBits, values, out);
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
