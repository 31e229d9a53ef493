// The module's functions, in the fast calling convention with keywords.
// Each may let a C++ exception out; module.cpp wraps them so none reaches
// the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ordwyne::py {

using FastFunction = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* create(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* decide(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* learn(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* expire(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* serialize(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* deserialize(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* model_bits(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* log_line(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ordwyne::py
