// learn and expire: resolve pending decisions, optionally through the
// caller's train callable, and report them as Resolution objects.
#include <optional>

#include "api.hpp"
#include "arguments.hpp"
#include "callbacks.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "record_objects.hpp"
#include "state_object.hpp"

namespace ordwyne::py {

namespace {

Parameters<5> learn_params("learn", {"state", "decision_id", "reward", "t", "train"}, 4);
Parameters<3> expire_params("expire", {"state", "t", "train"}, 2);

// One engine resolution call under an exclusive borrow, with the caller's
// train callable (if any) as its hook. Empty, with the exception set, when
// the borrow is refused, train raised or the engine refused.
template <class R, class Call>
std::optional<R> resolve(StateObject* state, PyObject* train, Call&& call) {
    Caught caught;
    TrainHook hook(train, caught);
    TrainFn train_fn;
    if (train != nullptr) train_fn = hook;

    Result<R> resolved;
    {
        ExclusiveBorrow borrow(state);
        if (!borrow.ok()) return std::nullopt;
        resolved = call(state->bandit, train_fn);
    }
    if (caught.raise_pending()) return std::nullopt;
    if (!resolved) {
        value_error(resolved.error());
        return std::nullopt;
    }
    return std::move(*resolved);
}

}  // namespace

PyObject* learn(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 5> a;
    if (!learn_params.bind(args, nargs, kwnames, a)) return nullptr;
    StateObject* state = state_argument(a[0], "state");
    if (state == nullptr) return nullptr;
    std::string_view decision_id;
    if (!text_argument(a[1], "decision_id", decision_id)) return nullptr;
    double reward = 0.0;
    if (!f64_argument(a[2], "reward", reward)) return nullptr;
    double t = 0.0;
    if (!f64_argument(a[3], "t", t)) return nullptr;
    PyObject* train = optional_callable(a[4]);

    auto resolved = resolve<std::optional<Resolution>>(state, train, [&](Bandit& b, TrainFn fn) {
        return api::learn(b, decision_id, reward, t, fn);
    });
    if (!resolved) return nullptr;
    if (!resolved->has_value()) Py_RETURN_NONE;
    return new_resolution(std::move(**resolved));
}

PyObject* expire(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!expire_params.bind(args, nargs, kwnames, a)) return nullptr;
    StateObject* state = state_argument(a[0], "state");
    if (state == nullptr) return nullptr;
    double t = 0.0;
    if (!f64_argument(a[1], "t", t)) return nullptr;
    PyObject* train = optional_callable(a[2]);

    auto resolved = resolve<std::vector<Resolution>>(
        state, train, [&](Bandit& b, TrainFn fn) { return api::expire(b, t, fn); });
    if (!resolved) return nullptr;
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(resolved->size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (Resolution& resolution : *resolved) {
        PyObject* object = new_resolution(std::move(resolution));
        if (object == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), i++, object);
    }
    return tuple.release();
}

}  // namespace ordwyne::py
