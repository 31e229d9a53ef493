// create, model_bits and the persistence pair: the functions that make,
// inspect or copy a state without running caller code.
#include "api.hpp"
#include "arguments.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "state_object.hpp"

namespace ordwyne::py {

namespace {

Parameters<5> create_params("create",
                            {"bits", "horizon", "default_reward", "epsilon", "forgetfulness"}, 2);
Parameters<1> model_bits_params("model_bits", {"state"}, 1);
Parameters<1> serialize_params("serialize", {"state"}, 1);
Parameters<1> deserialize_params("deserialize", {"data"}, 1);

}  // namespace

PyObject* create(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!create_params.bind(args, nargs, kwnames, a)) return nullptr;
    std::uint32_t bits = 0;
    if (!u32_argument(a[0], "bits", bits)) return nullptr;
    double horizon = 0.0;
    double default_reward = 0.0;
    double epsilon = 0.05;
    double forgetfulness = 0.999;
    if (!f64_argument(a[1], "horizon", horizon)) return nullptr;
    if (a[2] != nullptr && !f64_argument(a[2], "default_reward", default_reward)) return nullptr;
    if (a[3] != nullptr && !f64_argument(a[3], "epsilon", epsilon)) return nullptr;
    if (a[4] != nullptr && !f64_argument(a[4], "forgetfulness", forgetfulness)) return nullptr;
    Result<Bandit> made = api::create(bits, horizon, default_reward, epsilon, forgetfulness);
    if (!made) return value_error(made.error());
    return new_state(std::move(*made));
}

PyObject* model_bits(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!model_bits_params.bind(args, nargs, kwnames, a)) return nullptr;
    StateObject* state = state_argument(a[0], "state");
    if (state == nullptr) return nullptr;
    auto bits = read_shared(state, api::model_bits);
    if (!bits) return nullptr;
    if (!*bits) return value_error(bits->error());
    return PyLong_FromUnsignedLong(**bits);
}

PyObject* serialize(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!serialize_params.bind(args, nargs, kwnames, a)) return nullptr;
    StateObject* state = state_argument(a[0], "state");
    if (state == nullptr) return nullptr;
    auto text = read_shared(state, api::serialize);
    if (!text) return nullptr;
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

PyObject* deserialize(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!deserialize_params.bind(args, nargs, kwnames, a)) return nullptr;
    std::string_view text;
    if (!text_argument(a[0], "data", text)) return nullptr;
    Result<Bandit> restored = api::deserialize(text);
    if (!restored) return value_error(restored.error());
    return new_state(std::move(*restored));
}

}  // namespace ordwyne::py
