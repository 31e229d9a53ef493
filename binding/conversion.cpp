#include "conversion.hpp"

#include <algorithm>

#include "arguments.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace ordwyne::py {

namespace {

// A length the sequence reports is only a hint; a lying __len__ must not
// make us reserve absurd amounts up front.

// The exact-type tests first: with the limited API each subtype test is a
// call into the interpreter, and exact types are the common case.
bool is_text(PyObject* object) { return PyUnicode_CheckExact(object) || PyUnicode_Check(object); }

// `hooked`: set when the conversion may have run a subclass's __float__,
// which is the only interpreter code a successful conversion can reach.
bool convert_value(PyObject* key, PyObject* value, Value& out, bool& hooked) {
    if (value == Py_None) {
        out = Value::missing();
        return true;
    }
    if (is_text(value)) {
        std::string_view text;
        if (!utf8_view(value, text)) return false;
        out = Value::of_text(text);
        return true;
    }
    if (value == Py_True || value == Py_False) {
        out = Value::of_number(value == Py_True ? 1.0 : 0.0);
        return true;
    }
    const bool exact = PyFloat_CheckExact(value) || PyLong_CheckExact(value);
    if (exact || PyLong_Check(value) || PyFloat_Check(value)) {
        if (!exact) hooked = true;
        const double number = PyFloat_AsDouble(value);
        if (number == -1.0 && PyErr_Occurred()) return false;
        out = Value::of_number(number);
        return true;
    }
    auto& names = common_names();
    if (!names.ready()) return false;
    Ref type_name(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), names[kName]));
    if (!type_name) return false;
    PyErr_Format(PyExc_ValueError, "feature '%U' has unsupported type %S", key, type_name.get());
    return false;
}

}  // namespace

bool convert_features(PyObject* dict, NamedFeatures& out, Pins& pins) {
    const Py_ssize_t size = PyDict_Size(dict);
    if (size < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(size));
    Py_ssize_t position = 0;
    Py_ssize_t remaining = size;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool hooked = false;
    for (;;) {
        // Only a value's own conversion hook can edit the dict; checked like
        // the interpreter's dict iterator, before each step. Until a hook
        // may have run, the size cannot have changed: skip the call.
        if (hooked && PyDict_Size(dict) != size) {
            raise_panic("dictionary changed size during iteration");
            return false;
        }
        if (remaining == -1) {
            raise_panic("dictionary keys changed during iteration");
            return false;
        }
        if (!PyDict_Next(dict, &position, &key, &value)) break;
        --remaining;
        pins.add(key);
        pins.add(value);
        std::string_view name;
        if (!is_text(key) || !utf8_view(key, name)) {
            // Running out of memory is not a bad name.
            if (is_interrupt()) return false;
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "feature names must be strings");
            return false;
        }
        Value converted;
        if (!convert_value(key, value, converted, hooked)) return false;
        out.push_back(NamedFeature{name, converted});
    }
    return true;
}

bool length_hint(PyObject* sequence, std::size_t& out) {
    // The length only sizes a list: an ordinary failure of it is ignored, but
    // an interrupt (or MemoryError) raised by __len__ ends the call. A lying
    // length cannot make the reservation huge.
    constexpr Py_ssize_t kMaxReserve = 1 << 16;
    Py_ssize_t hint = PySequence_Size(sequence);
    if (hint < 0) {
        if (is_interrupt()) return false;
        PyErr_Clear();
        hint = 0;
    }
    out = static_cast<std::size_t>(std::min(hint, kMaxReserve));
    return true;
}

bool collect_candidates(PyObject* candidates, std::vector<Candidate>& out,
                        std::vector<PyObject*>& dicts, Pins& pins) {
    if (PyUnicode_Check(candidates)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(candidates)) {
        raise_mismatch(candidates, "Sequence");
        return false;
    }
    std::size_t hint;
    if (!length_hint(candidates, hint)) return false;
    out.reserve(hint);
    dicts.clear();
    dicts.reserve(hint);
    std::size_t count = 0;
    // Whatever way this returns, `out` holds exactly the candidates seen.
    struct Trim {
        std::vector<Candidate>& out;
        std::size_t& count;
        ~Trim() { out.resize(count); }
    } trim{out, count};
    Ref iterator(PyObject_GetIter(candidates));
    if (!iterator) return false;
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) break;
        if (!PyTuple_CheckExact(item.get()) && !PyTuple_Check(item.get())) {
            raise_mismatch(item.get(), "tuple");
            return false;
        }
        const Py_ssize_t length = PyTuple_Size(item.get());
        if (length != 2) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length 2, but got tuple of length %zd", length);
            return false;
        }
        PyObject* name = PyTuple_GetItem(item.get(), 0);
        if (!is_text(name)) {
            raise_mismatch(name, "str");
            return false;
        }
        std::string_view name_text;
        if (!utf8_view(name, name_text)) return false;
        PyObject* features = PyTuple_GetItem(item.get(), 1);
        if (!PyDict_CheckExact(features) && !PyDict_Check(features)) {
            raise_mismatch(features, "dict");
            return false;
        }
        // The tuple keeps its name and dict alive for the whole call.
        pins.add(item.get());
        if (count < out.size()) {
            out[count].name = name_text;
        } else {
            out.push_back(Candidate{name_text, {}});
        }
        ++count;
        dicts.push_back(features);
    }
    return !PyErr_Occurred();
}

}  // namespace ordwyne::py
