// log_line: one compact JSON line per decision or resolution, rendered by the
// interpreter's own json module so the offline tools read exactly its output.
#include "arguments.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "names.hpp"
#include "record_objects.hpp"

namespace ordwyne::py {

namespace {

Parameters<1> log_line_params("log_line", {"item"}, 1);

enum Key : std::size_t {
    kEvent, kBits, kContext, kCandidates, kRecord, kDecisionId, kT, kCandidateHash, kChosen,
    kFeatures, kPropensity, kModelVersion, kSalt, kKind, kReward, kDumps, kSeparators, kKeyCount
};

NameTable<kKeyCount> keys({"event", "bits", "context", "candidates", "record", "decision_id", "t",
                           "candidate_hash", "chosen", "features", "propensity", "model_version",
                           "salt", "kind", "reward", "dumps", "separators"});

// Sets one key to a new reference; false if the value could not be made.
bool put(PyObject* dict, Key key, PyObject* owned) {
    Ref value(owned);
    return value && PyDict_SetItem(dict, keys[key], value.get()) == 0;
}

bool put_text(PyObject* dict, Key key, const char* text) {
    return put(dict, key, PyUnicode_FromString(text));
}

bool fill_decision(PyObject* line, const RecordView& view) {
    const DecisionRecord& r = *view.record;
    if (!put_text(line, kEvent, "decision")) return false;
    if (!put(line, kBits, PyLong_FromUnsignedLong(*view.bits))) return false;
    if (PyDict_SetItem(line, keys[kContext], view.context) != 0) return false;
    if (PyDict_SetItem(line, keys[kCandidates], view.candidates) != 0) return false;
    Ref record(PyDict_New());
    if (!record) return false;
    PyObject* d = record.get();
    if (!put(d, kDecisionId, text_object(r.decision_id))) return false;
    if (!put(d, kT, PyFloat_FromDouble(r.t))) return false;
    if (!put(d, kCandidateHash, PyLong_FromUnsignedLongLong(r.candidate_hash))) return false;
    if (!put(d, kChosen, PyLong_FromUnsignedLongLong(r.chosen))) return false;
    if (!put(d, kFeatures, features_list(r.features))) return false;
    if (!put(d, kPropensity, PyFloat_FromDouble(r.propensity))) return false;
    if (!put(d, kModelVersion, PyLong_FromUnsignedLongLong(r.model_version))) return false;
    if (!put(d, kSalt, text_object(r.salt))) return false;
    return PyDict_SetItem(line, keys[kRecord], d) == 0;
}

bool fill_resolution(PyObject* line, const Resolution& r) {
    return put_text(line, kEvent, "resolution") &&
           put(line, kDecisionId, text_object(r.decision_id)) &&
           put(line, kKind, kind_text(r.kind)) && put(line, kReward, reward_object(r.reward));
}

}  // namespace

PyObject* log_line(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> a;
    if (!log_line_params.bind(args, nargs, kwnames, a)) return nullptr;
    PyObject* item = a[0];
    if (!keys.ready()) return nullptr;

    // Imported on every call: whatever the interpreter's json is right now.
    Ref json(PyImport_ImportModule("json"));
    if (!json) return nullptr;
    Ref kwargs(Py_BuildValue("{O:(ss)}", keys[kSeparators], ",", ":"));
    if (!kwargs) return nullptr;
    Ref line(PyDict_New());
    if (!line) return nullptr;

    PyTypeObject* record_class = record_type();
    if (record_class == nullptr) return nullptr;
    PyTypeObject* resolution_class = resolution_type();
    if (resolution_class == nullptr) return nullptr;
    if (PyObject_TypeCheck(item, record_class)) {
        RecordView view = view_record(item);
        if (!view.bits || view.context == nullptr || view.candidates == nullptr) {
            PyErr_SetString(PyExc_ValueError,
                            "log_line needs the record decide returned (it carries the inputs)");
            return nullptr;
        }
        if (!fill_decision(line.get(), view)) return nullptr;
    } else if (PyObject_TypeCheck(item, resolution_class)) {
        if (!fill_resolution(line.get(), view_resolution(item))) return nullptr;
    } else {
        PyErr_SetString(PyExc_ValueError, "log_line takes a DecisionRecord or Resolution");
        return nullptr;
    }

    Ref dumps(PyObject_GetAttr(json.get(), keys[kDumps]));
    if (!dumps) return nullptr;
    Ref call_args(PyTuple_Pack(1, line.get()));
    if (!call_args) return nullptr;
    Ref text(PyObject_Call(dumps.get(), call_args.get(), kwargs.get()));
    if (!text) return nullptr;
    if (!PyUnicode_Check(text.get())) {
        raise_mismatch(text.get(), "str");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) return nullptr;
    return PyUnicode_FromStringAndSize(utf8, size);
}

}  // namespace ordwyne::py
