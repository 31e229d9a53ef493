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

// Creates the PanicException type once per process; the module's execution
// step calls it, so that a failure later (at the recursion limit, out of
// memory) never has to create a class. False with the exception set.
bool make_panic_type();

// The PanicException type; null, with the reason set, only if it did not
// exist yet and could not be made.
PyObject* panic_type();

// Sets PanicException with the text as its only argument. If even that
// cannot be built, the exception that stopped it (MemoryError, ...) is set
// instead: a failure is always reported as an exception, never an abort.
void raise_panic(const char* message);
void raise_panic_object(PyObject* message);

bool is_panic(const Fetched& exception);

// The current exception must not be swallowed where an ordinary failure
// would be: it is not an Exception (KeyboardInterrupt, SystemExit, ...), or
// it is a MemoryError.
bool is_interrupt();

// A PanicException that came back out of interpreter code: prints a notice
// and its traceback to stderr and returns its message for a new one.
Ref report_escaped_panic(Fetched exception);

// Sets ValueError with the engine's message as its single argument; returns null.
PyObject* value_error(const Error& error);

// "'<type>' object is not an instance of '<required>'", or the None form.
void raise_mismatch(PyObject* object, const char* required);

// Adds "while processing '<param>'" to the current exception where the
// interpreter supports notes (3.11+), unless it is an interrupt; the
// exception stays set either way.
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
