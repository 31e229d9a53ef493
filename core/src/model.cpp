#include "model.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ordwyne {

void ZeroedArray::Free::operator()(double* p) const { std::free(p); }

ZeroedArray::ZeroedArray(std::size_t n) : size_(n) {
    if (n == 0) return;
    // calloc maps fresh zero pages lazily: no clearing pass, no resident
    // memory until a coordinate is written.
    auto* p = static_cast<double*>(std::calloc(n, sizeof(double)));
    if (p == nullptr) throw std::bad_alloc();
    data_.reset(p);
}

ZeroedArray::ZeroedArray(const ZeroedArray& other) : ZeroedArray(other.size_) {
    if (size_ != 0) std::memcpy(data_.get(), other.data_.get(), size_ * sizeof(double));
}

ZeroedArray& ZeroedArray::operator=(const ZeroedArray& other) {
    if (this != &other) *this = ZeroedArray(other);
    return *this;
}

namespace model {

Result<Model> new_model(std::uint64_t dim, double forgetting, double ridge) {
    if (dim == 0) return fail(error::make(error::kDim));
    if (!(forgetting > 0.0 && forgetting <= 1.0)) return fail(error::make(error::kForgetting));
    if (!(ridge > 0.0)) return fail(error::make(error::kRidge));
    Model m;
    m.dim = dim;
    m.ridge = ridge;
    m.forgetting = forgetting;
    m.scale = 1.0;
    m.a = ZeroedArray(dim);
    m.b = ZeroedArray(dim);
    return m;
}

void update(Model& model, const FeatureVector& x, double reward) {
    const double s = model.forgetting * model.scale;
    if (!x.empty()) {
        const double inv = 1.0 / s;
        double* a = model.a.data();
        double* b = model.b.data();
        for (const Entry& e : x) {
            a[e.index] = a[e.index] + inv * (e.value * e.value);
            b[e.index] = inv * (reward * e.value) + b[e.index];
        }
    }
    if (s <= RESCALE_FLOOR) {
        // Fold the scale into the arrays before it underflows.
        double* a = model.a.data();
        double* b = model.b.data();
        for (std::size_t i = 0; i < model.dim; ++i) a[i] *= s;
        for (std::size_t i = 0; i < model.dim; ++i) b[i] *= s;
        model.scale = 1.0;
    } else {
        model.scale = s;
    }
}

namespace {

// One entry's term, written once so that every path agrees bit for bit.
inline double term(double value, double a, double b, double scale, double ridge) {
    return value * ((scale * b) * (1.0 / (scale * a + ridge)));
}

}  // namespace

double estimate_factored(const Model& model, const FeatureVector& x) {
    double acc = 0.0;
    const double* a = model.a.data();
    const double* b = model.b.data();
    for (const Entry& e : x) acc = acc + term(e.value, a[e.index], b[e.index], model.scale, model.ridge);
    return acc;
}

void estimate_all(const Model& model, std::span<const FeatureVector> xs, double* out) {
    // Four vectors at a time, one per lane: each lane's sum is still its own
    // chain of additions in entry order, but the four chains and their
    // divisions overlap instead of each waiting on the last.
    using V4 = double __attribute__((vector_size(32)));
    const double* a = model.a.data();
    const double* b = model.b.data();
    const double scale = model.scale;
    const double ridge = model.ridge;
    const std::size_t count = xs.size();
    for (std::size_t i = 0; i < count; i += 4) {
        // A last group of fewer than four repeats its last vector in the
        // spare lanes, whose sums are dropped.
        const Entry* p[4];
        std::size_t n[4];
        for (std::size_t k = 0; k < 4; ++k) {
            const FeatureVector& x = xs[std::min(i + k, count - 1)];
            p[k] = x.data();
            n[k] = x.size();
        }
        const std::size_t common = std::min(std::min(n[0], n[1]), std::min(n[2], n[3]));
        V4 acc = {0.0, 0.0, 0.0, 0.0};
        const V4 vscale = {scale, scale, scale, scale};
        const V4 vridge = {ridge, ridge, ridge, ridge};
        const V4 one = {1.0, 1.0, 1.0, 1.0};
        for (std::size_t j = 0; j < common; ++j) {
            const Entry e0 = p[0][j], e1 = p[1][j], e2 = p[2][j], e3 = p[3][j];
            const V4 va = {a[e0.index], a[e1.index], a[e2.index], a[e3.index]};
            const V4 vb = {b[e0.index], b[e1.index], b[e2.index], b[e3.index]};
            const V4 vv = {e0.value, e1.value, e2.value, e3.value};
            acc = acc + vv * ((vscale * vb) * (one / (vscale * va + vridge)));
        }
        for (std::size_t k = 0; k < 4 && i + k < count; ++k) {
            double sum = acc[k];
            for (std::size_t j = common; j < n[k]; ++j) {
                const Entry& e = p[k][j];
                sum = sum + term(e.value, a[e.index], b[e.index], scale, ridge);
            }
            out[i + k] = sum;
        }
    }
}

}  // namespace model
}  // namespace ordwyne
