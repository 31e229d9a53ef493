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

    // The object that reports the resolution exists before anything commits.
    ResolutionShells shell;
    if (!shell.allocate(1)) return nullptr;
    auto resolved = resolve<std::optional<Resolution>>(state, train, [&](Bandit& b, TrainFn fn) {
        return api::learn(b, decision_id, reward, t, fn);
    });
    if (!resolved) return nullptr;
    if (!resolved->has_value()) return new_none();
    return shell.fill(0, std::move(**resolved));
}

PyObject* expire(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 3> a;
    if (!expire_params.bind(args, nargs, kwnames, a)) return nullptr;
    StateObject* state = state_argument(a[0], "state");
    if (state == nullptr) return nullptr;
    double t = 0.0;
    if (!f64_argument(a[1], "t", t)) return nullptr;
    PyObject* train = optional_callable(a[2]);

    // The tuple and its objects exist before anything commits. The count
    // needs no borrow: nothing runs between it and the engine call but these
    // allocations. A state in use is left to the exclusive borrow to refuse.
    const std::size_t due = state->borrow.load(std::memory_order_relaxed) == 0
                                ? state->bandit.ledger.count_due(t)
                                : 0;
    ResolutionShells shells;
    if (!shells.allocate(due)) return nullptr;
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(due)));
    if (!tuple) return nullptr;
    // Hidden from the collector until its items are in, so that a train
    // callback calling gc.get_objects() never meets its empty slots.
    bool hidden = due > 0 && PyObject_GC_IsTracked(tuple.get()) != 0;
    if (hidden) PyObject_GC_UnTrack(tuple.get());

    auto resolved = resolve<std::vector<Resolution>>(
        state, train, [&](Bandit& b, TrainFn fn) { return api::expire(b, t, fn); });
    if (!resolved) return nullptr;
    // Only a finalizer run by the allocations above could have changed the
    // ledger since the count; then the result is built as it comes.
    if (resolved->size() != due) {
        tuple = Ref(PyTuple_New(static_cast<Py_ssize_t>(resolved->size())));
        if (!tuple || !shells.allocate(resolved->size())) return nullptr;
        hidden = false;
    }
    for (std::size_t i = 0; i < resolved->size(); ++i) {
        PyObject* object = shells.fill(i, std::move((*resolved)[i]));
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), object);
    }
    if (hidden) PyObject_GC_Track(tuple.get());
    return tuple.release();
}

}  // namespace ordwyne::py
