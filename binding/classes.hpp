// What the module's three classes share: flags, one-time building, and
// allocation and release of instances that hold C++ members.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

namespace ordwyne::py {

#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
#define Py_TPFLAGS_DISALLOW_INSTANTIATION (1UL << 7)
#endif

#ifndef Py_TPFLAGS_IMMUTABLETYPE
#define Py_TPFLAGS_IMMUTABLETYPE (1UL << 8)
#endif

// Not instantiable from the interpreter, not subclassable, no dict, and
// immutable: nobody can give a class a __new__ that makes instances whose
// C++ members were never built, or delete its attributes.
inline constexpr unsigned int kClassFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// Returns the cached type, or builds it from its PyType_Spec and caches it. On
// failure: null with RuntimeError "An error occurred while initializing
// class <name>" whose cause is the underlying exception.
PyTypeObject* build_class_once(PyTypeObject*& cache, PyType_Spec& spec, const char* name);

// A new, zero-filled instance of a class whose C++ members the caller then
// constructs in place; null with an exception set on failure.
template <class T>
T* allocate(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc != nullptr ? alloc(type, 0) : PyType_GenericAlloc(type, 0);
    return reinterpret_cast<T*>(self);
}

// Frees an instance after its C++ members have been destroyed, and drops the
// reference every instance of a heap type holds on its type.
void free_instance(PyObject* self) noexcept;

}  // namespace ordwyne::py
