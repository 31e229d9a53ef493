#include "arguments.hpp"

#include <limits>

#include "errors.hpp"
#include "ref.hpp"

namespace ordwyne::py {

namespace {

// Keyword names from call sites are interned, so identity settles most lookups.
bool same_name(PyObject* keyword, PyObject* interned, const char* text) {
    if (keyword == interned) return true;
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, text) == 0;
}

PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw,
                       PyObject* interned, const char* text) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyTuple_GetItem(kwnames, k) == interned) return kwvalues[k];
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (same_name(PyTuple_GetItem(kwnames, k), interned, text)) return kwvalues[k];
    }
    return nullptr;
}

}  // namespace

// The checks and their wording follow the interpreter's own keyword parser
// for builtins, in the same order.
bool bind_arguments(const char* function, const char* const* texts, PyObject* const* names,
                    std::size_t count, std::size_t required, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    if (nkw < 0) return false;
    const auto total = static_cast<Py_ssize_t>(count);
    if (nargs + nkw > total) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", function,
                     total, nargs == 0 ? "keyword " : "", total == 1 ? "" : "s", nargs + nkw);
        return false;
    }
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = nkw;
    for (std::size_t i = 0; i < count; ++i) {
        const auto pos = static_cast<Py_ssize_t>(i);
        if (pos < nargs) {
            out[i] = args[i];
        } else if (unused > 0) {
            out[i] = find_keyword(kwnames, kwvalues, nkw, names[i], texts[i]);
            if (out[i] != nullptr) --unused;
        }
        if (out[i] == nullptr && i < required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         function, texts[i], pos + 1);
            return false;
        }
    }
    if (unused == 0) return true;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (find_keyword(kwnames, kwvalues, nkw, names[i], texts[i]) != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%s') and position (%zd)", function,
                         texts[i], i + 1);
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
        bool known = false;
        for (std::size_t i = 0; i < count && !known; ++i) {
            known = same_name(keyword, names[i], texts[i]);
        }
        if (!known) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                         keyword);
            return false;
        }
    }
    // Unreachable with well-formed keyword names; keep the call from going on regardless.
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for an argument", function);
    return false;
}

bool u32_argument(PyObject* argument, const char* param, std::uint32_t& out) {
    Ref index(PyNumber_Index(argument));
    if (!index) {
        attach_note(param);
        return false;
    }
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        attach_note(param);
        return false;
    }
    constexpr long kMax = std::numeric_limits<std::uint32_t>::max();
    if (value < 0 || value > kMax) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        attach_note(param);
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool f64_argument(PyObject* argument, const char* param, double& out) {
    const double value = PyFloat_AsDouble(argument);
    if (value == -1.0 && PyErr_Occurred()) {
        attach_note(param);
        return false;
    }
    out = value;
    return true;
}

bool text_argument(PyObject* argument, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(argument)) {
        raise_mismatch(argument, "str");
        attach_note(param);
        return false;
    }
    if (!utf8_view(argument, out)) {
        attach_note(param);
        return false;
    }
    return true;
}

}  // namespace ordwyne::py
