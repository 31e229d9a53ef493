// Binding a fast call's arguments to named parameters, and the scalar
// conversions every module function shares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "names.hpp"

namespace ordwyne::py {

// Positional-or-keyword parameters only. Fills out[i] with a borrowed
// reference, or null where an optional parameter was not passed. On a
// binding error: false with the interpreter-style TypeError set.
bool bind_arguments(const char* function, const char* const* texts, PyObject* const* names,
                    std::size_t count, std::size_t required, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
class Parameters {
public:
    constexpr Parameters(const char* function, std::array<const char*, N> names,
                         std::size_t required)
        : function_(function), texts_(names), names_(names), required_(required) {}

    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::array<PyObject*, N>& out) {
        if (!names_.ready()) return false;
        out.fill(nullptr);
        return bind_arguments(function_, texts_.data(), names_.objects(), N, required_, args,
                              nargs, kwnames, out.data());
    }

private:
    const char* function_;
    std::array<const char*, N> texts_;
    NameTable<N> names_;
    std::size_t required_;
};

// Each conversion reports its failure with the parameter's note and returns false.

// An int or object with __index__, in [0, 2**32 - 1].
bool u32_argument(PyObject* argument, const char* param, std::uint32_t& out);

// The interpreter's float conversion (float, int, __float__, __index__).
bool f64_argument(PyObject* argument, const char* param, double& out);

// A str or subclass, viewed as the interpreter's own UTF-8 text; the view
// lives as long as the string object.
bool text_argument(PyObject* argument, const char* param, std::string_view& out);

// UTF-8 of a known str; false with the interpreter's encoding error set.
// Inline: it runs for every feature name and text value of every call.
inline bool utf8_view(PyObject* text, std::string_view& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// None or a missing argument mean "not given".
inline PyObject* optional_callable(PyObject* argument) {
    return argument == Py_None ? nullptr : argument;
}

}  // namespace ordwyne::py
