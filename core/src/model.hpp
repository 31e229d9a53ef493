// The reward model: per-coordinate ridge regression with exponential
// forgetting, the discount applied lazily through one common scale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "encoding.hpp"
#include "error.hpp"

namespace ordwyne {

// `dim` doubles from zero-filled memory in one step (calloc): a large model
// costs no clearing pass and no resident memory until it is written.
class ZeroedArray {
public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t n);  // throws std::bad_alloc
    ZeroedArray(const ZeroedArray& other);
    ZeroedArray& operator=(const ZeroedArray& other);
    ZeroedArray(ZeroedArray&&) noexcept = default;
    ZeroedArray& operator=(ZeroedArray&&) noexcept = default;

    double* data() { return data_.get(); }
    const double* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    double& operator[](std::size_t i) { return data_[i]; }
    double operator[](std::size_t i) const { return data_[i]; }

private:
    struct Free {
        void operator()(double* p) const;
    };
    std::unique_ptr<double[], Free> data_;
    std::size_t size_ = 0;
};

struct Model {
    std::uint64_t dim = 0;
    double ridge = 1.0;
    double forgetting = 1.0;
    double scale = 1.0;
    ZeroedArray a;
    ZeroedArray b;
};

namespace model {

// 2**-512: below this the scale is folded into the arrays.
inline constexpr double RESCALE_FLOOR = 0x1p-512;

Result<Model> new_model(std::uint64_t dim, double forgetting, double ridge);

void update(Model& model, const FeatureVector& x, double reward);

double estimate_factored(const Model& model, const FeatureVector& x);

}  // namespace model
}  // namespace ordwyne
