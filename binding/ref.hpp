// Owning interpreter references and a fetched exception, so that every path
// out of a function (early returns and C++ exceptions alike) drops what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ordwyne::py {

// One strong reference, released on destruction.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A new reference to None. Not Py_RETURN_NONE: the 3.12.0 and 3.12.1 headers
// expand it to a bare `return Py_None` even in a build for the 3.10 stable
// ABI, which on 3.10 and 3.11 (where None is not immortal) takes one
// reference per call that was never given, until None itself is freed.
inline PyObject* new_none() noexcept {
    Py_INCREF(Py_None);
    return Py_None;
}

// An exception taken out of the interpreter, normalised, its traceback kept
// on the exception object so that raising it again shows the original frames.
struct Fetched {
    Ref type;
    Ref value;
    Ref traceback;

    // Takes the current exception; empty if none is set.
    static Fetched take() noexcept {
        PyObject* t = nullptr;
        PyObject* v = nullptr;
        PyObject* tb = nullptr;
        // PyErr_GetRaisedException exists only from 3.12; this triple works everywhere.
        PyErr_Fetch(&t, &v, &tb);
        if (t != nullptr) {
            PyErr_NormalizeException(&t, &v, &tb);
            if (v != nullptr && tb != nullptr) PyException_SetTraceback(v, tb);
        }
        return Fetched{Ref(t), Ref(v), Ref(tb)};
    }

    bool empty() const noexcept { return !type; }

    // Puts the exception back as the current one; leaves this empty.
    void restore() noexcept {
        PyErr_Restore(type.release(), value.release(), traceback.release());
    }
};

}  // namespace ordwyne::py
