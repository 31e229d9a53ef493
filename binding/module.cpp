// The module: its definition, the one table of functions with their
// documentation, and the execution step that registers everything.
#include "classes.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "names.hpp"
#include "record_objects.hpp"
#include "state_object.hpp"

namespace ordwyne::py {

namespace {

// No C++ exception may leave a function the interpreter calls.
template <FastFunction Body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return Body(args, nargs, kwnames); }, nullptr);
}

template <FastFunction Body>
PyCFunction as_cfunction() {
    // METH_FASTCALL | METH_KEYWORDS functions are stored under the generic pointer type.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Body>));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

// Signature line, "\n--\n\n", body: the interpreter turns the first part
// into __text_signature__ and the rest into __doc__.
PyMethodDef functions[] = {
    {"create", as_cfunction<create>(), kFlags,
     "create(bits, horizon, default_reward=0.0, epsilon=..., forgetfulness=...)\n--\n\n"},
    {"decide", as_cfunction<decide>(), kFlags,
     "decide(state, context, candidates, t, salt, score=None, explore=None)\n--\n\n"},
    {"learn", as_cfunction<learn>(), kFlags,
     "learn(state, decision_id, reward, t, train=None)\n--\n\n"
     "The resolution, or None if the id is unknown or already resolved.\n"
     "The engine classifies against the horizon at time `t`: a reward\n"
     "arriving at or past the record's `t + horizon` resolves as expired\n"
     "with the default reward. `train` is the BYO training tap: it replaces\n"
     "the built-in update and fires after the resolution commits, exactly\n"
     "once, with the classified reward."},
    {"expire", as_cfunction<expire>(), kFlags,
     "expire(state, t, train=None)\n--\n\n"
     "Every decision past its horizon at time `t`, resolved as expired, in\n"
     "ledger order. `train` as on `learn`, fired per due record."},
    {"serialize", as_cfunction<serialize>(), kFlags,
     "serialize(state)\n--\n\n"
     "The current state as one plain hex string — storable anywhere text\n"
     "goes, with no byte handling on the caller's side."},
    {"deserialize", as_cfunction<deserialize>(), kFlags, "deserialize(data)\n--\n\n"},
    {"model_bits", as_cfunction<model_bits>(), kFlags, "model_bits(state)\n--\n\n"},
    {"log_line", as_cfunction<log_line>(), kFlags,
     "log_line(item)\n--\n\n"
     "One canonical experience-log line for a decision record\n"
     "or resolution — append it to your log verbatim; it is exactly what\n"
     "the `ordwyne` CLI's verify/eval/replay consume. Decision records must\n"
     "be the ones `decide` returned (they carry the inputs; a `train`\n"
     "callback's record does not — its inputs are already in your log)."},
    {nullptr, nullptr, 0, nullptr},
};

// Appends the name to __all__ (creating the list if needed), then binds it.
bool add_name(PyObject* module, const char* name, PyObject* object) {
    auto& names = common_names();
    if (!names.ready()) return false;
    Ref all(PyObject_GetAttr(module, names[kAll]));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all) return false;
        if (PyObject_SetAttr(module, names[kAll], all.get()) != 0) return false;
    } else if (!PyList_Check(all.get())) {
        raise_mismatch(all.get(), "list");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return false;
    if (PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, text.get(), object) == 0;
}

bool add_class(PyObject* module, const char* name, PyTypeObject* (*make)()) {
    PyTypeObject* type = make();
    return type != nullptr && add_name(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_mismatch(module, "module");
        return -1;
    }
    if (!make_panic_type()) return -1;
    if (!add_class(module, "BanditState", state_type)) return -1;
    if (!add_class(module, "DecisionRecord", record_type)) return -1;
    if (!add_class(module, "Resolution", resolution_type)) return -1;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        Ref function(PyCFunction_NewEx(def, module, module_name.get()));
        if (!function) return -1;
        if (!add_name(module, def->ml_name, function.get())) return -1;
    }
    return 0;
}

int exec_entry(PyObject* module) {
    return guarded([module] { return exec_module(module); }, -1);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_entry)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "ordwyne",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace ordwyne::py

PyMODINIT_FUNC PyInit_ordwyne(void) { return PyModuleDef_Init(&ordwyne::py::definition); }
