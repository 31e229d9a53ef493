#include "state_object.hpp"

#include <utility>

#include "classes.hpp"
#include "errors.hpp"

namespace ordwyne::py {

namespace {

PyTypeObject* g_state_type = nullptr;

constexpr const char kStateDoc[] =
    "The bandit's state: an opaque handle. Treat it linearly — always rebind\n"
    "the returned state — and persist it with serialize/deserialize.";

void state_dealloc(PyObject* self) {
    auto* state = reinterpret_cast<StateObject*>(self);
    if (state->built) {
        state->bandit.~Bandit();
        state->borrow.~atomic();
    }
    free_instance(self);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_doc, const_cast<char*>(kStateDoc)},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "ordwyne.BanditState",
    static_cast<int>(sizeof(StateObject)),
    0,
    kClassFlags,
    state_slots,
};

}  // namespace

PyTypeObject* state_type() { return build_class_once(g_state_type, state_spec, "BanditState"); }

PyObject* new_state(Bandit&& bandit) {
    PyTypeObject* type = state_type();
    if (type == nullptr) return nullptr;
    auto* state = allocate<StateObject>(type);
    if (state == nullptr) return nullptr;
    // Bandit's move cannot throw: its parts are arrays, lists and maps moved by pointer.
    new (&state->bandit) Bandit(std::move(bandit));
    new (&state->borrow) std::atomic<std::intptr_t>(0);
    state->built = true;
    return reinterpret_cast<PyObject*>(state);
}

StateObject* state_argument(PyObject* argument, const char* param) {
    PyTypeObject* type = state_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(argument, type)) {
        raise_mismatch(argument, "BanditState");
        attach_note(param);
        return nullptr;
    }
    auto* state = reinterpret_cast<StateObject*>(argument);
    if (!state->built) {
        raise_panic("BanditState has no engine state: states come only from create() and "
                    "deserialize()");
        return nullptr;
    }
    return state;
}

SharedBorrow::SharedBorrow(StateObject* state) {
    std::intptr_t seen = state->borrow.load(std::memory_order_relaxed);
    do {
        if (seen == -1) {
            raise_panic("Already mutably borrowed: PyBorrowError");
            return;
        }
    } while (!state->borrow.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed));
    Py_INCREF(reinterpret_cast<PyObject*>(state));
    state_ = state;
}

SharedBorrow::~SharedBorrow() {
    if (state_ == nullptr) return;
    state_->borrow.fetch_sub(1, std::memory_order_release);
    Py_DECREF(reinterpret_cast<PyObject*>(state_));
}

ExclusiveBorrow::ExclusiveBorrow(StateObject* state) {
    std::intptr_t expected = 0;
    if (!state->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                               std::memory_order_relaxed)) {
        raise_panic("Already borrowed: PyBorrowMutError");
        return;
    }
    Py_INCREF(reinterpret_cast<PyObject*>(state));
    state_ = state;
}

ExclusiveBorrow::~ExclusiveBorrow() {
    if (state_ == nullptr) return;
    state_->borrow.store(0, std::memory_order_release);
    Py_DECREF(reinterpret_cast<PyObject*>(state_));
}

}  // namespace ordwyne::py
