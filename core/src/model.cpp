#include "model.hpp"

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

double estimate_factored(const Model& model, const FeatureVector& x) {
    double acc = 0.0;
    const double scale = model.scale;
    const double ridge = model.ridge;
    const double* a = model.a.data();
    const double* b = model.b.data();
    for (const Entry& e : x) {
        const double term = e.value * ((scale * b[e.index]) * (1.0 / (scale * a[e.index] + ridge)));
        acc = acc + term;
    }
    return acc;
}

}  // namespace model
}  // namespace ordwyne
