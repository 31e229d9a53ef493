#include "classes.hpp"

#include "ref.hpp"

namespace ordwyne::py {

PyTypeObject* build_class_once(PyTypeObject*& cache, PyType_Spec& spec, const char* name) {
    if (cache != nullptr) return cache;
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) {
        Fetched cause = Fetched::take();
        Ref text(PyUnicode_FromFormat("An error occurred while initializing class %s", name));
        if (!text) return nullptr;
        Ref runtime(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
        if (!runtime) return nullptr;
        if (cause.value) PyException_SetCause(runtime.get(), cause.value.release());
        PyErr_SetObject(PyExc_RuntimeError, runtime.get());
        return nullptr;
    }
    // Building can run interpreter code, which may let another thread in and
    // publish first: the first one published is the one everybody uses.
    if (cache != nullptr) {
        Py_DECREF(made);
        return cache;
    }
    cache = reinterpret_cast<PyTypeObject*>(made);
    return cache;
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_fn != nullptr) {
        free_fn(self);
    } else {
        PyObject_Free(self);
    }
    Py_DECREF(type);
}

}  // namespace ordwyne::py
