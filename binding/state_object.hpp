// BanditState: the interpreter object that owns one engine state, and the
// borrow flag that keeps a callback from reaching a state already in use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "decide.hpp"
#include "ref.hpp"

namespace ordwyne::py {

struct StateObject {
    PyObject_HEAD
    // Set once the members below are constructed. Instance memory starts
    // zeroed, so an object that did not come from create or deserialize
    // reads false and is refused rather than used.
    bool built;
    Bandit bandit;
    // 0 free, n > 0 shared borrows, -1 borrowed exclusively.
    std::atomic<std::intptr_t> borrow;
};

// The class, built at first use; null with an exception set on failure.
PyTypeObject* state_type();

// Wraps an engine state in a new object; null with an exception set.
PyObject* new_state(Bandit&& bandit);

// The type test of a `state` argument, with the note on failure; a state
// whose engine state was never built is refused with PanicException.
StateObject* state_argument(PyObject* argument, const char* param);

// Borrows for the length of one engine call. A refused borrow leaves
// PanicException set and ok() false. Each holds its own reference to the object.
class SharedBorrow {
public:
    explicit SharedBorrow(StateObject* state);
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    bool ok() const { return state_ != nullptr; }

private:
    StateObject* state_ = nullptr;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(StateObject* state);
    ~ExclusiveBorrow();
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    bool ok() const { return state_ != nullptr; }

private:
    StateObject* state_ = nullptr;
};

// Runs `read` on the engine state under a shared borrow; empty, with the
// PanicException set, when the borrow is refused.
template <class Read>
auto read_shared(StateObject* state, Read&& read)
    -> std::optional<decltype(read(std::as_const(state->bandit)))> {
    SharedBorrow borrow(state);
    if (!borrow.ok()) return std::nullopt;
    return read(std::as_const(state->bandit));
}

}  // namespace ordwyne::py
