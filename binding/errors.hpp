// How failures become interpreter exceptions: engine errors, argument
// errors with their notes, and PanicException for internal failures.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "error.hpp"
#include "ref.hpp"

namespace ordwyne::py {

// The PanicException type, created at first need; aborts the process if it
// cannot be created, since nothing else could report the failure.
PyObject* panic_type();

// Sets PanicException with the text as its only argument.
void raise_panic(const char* message);
void raise_panic_object(PyObject* message);

bool is_panic(const Fetched& exception);

// A PanicException that came back out of interpreter code: prints a notice
// and its traceback to stderr and returns its message for a new one.
Ref report_escaped_panic(Fetched exception);

// Sets ValueError with the engine's message as its single argument; returns null.
PyObject* value_error(const Error& error);

// "'<type>' object is not an instance of '<required>'", or the None form.
void raise_mismatch(PyObject* object, const char* required);

// Adds "while processing '<param>'" to the current exception where the
// interpreter supports notes (3.11+); the exception stays set either way.
void attach_note(const char* param);

// Turns the C++ exception being handled into an interpreter exception.
void raise_from_cxx() noexcept;

// Runs an entry point's body so that no C++ exception reaches the interpreter.
template <class F>
auto guarded(F&& body, decltype(body()) on_failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_from_cxx();
        return on_failure;
    }
}

}  // namespace ordwyne::py
