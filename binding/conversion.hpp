// Dictionaries of named features and the candidate sequence, converted into
// the engine's inputs without copying any text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "encoding.hpp"

namespace ordwyne::py {

// Strong references to every object whose UTF-8 text an engine input views,
// so that a callback or a conversion hook that edits the caller's
// dictionaries cannot free text out from under the engine.
class Pins {
public:
    Pins() = default;
    Pins(const Pins&) = delete;
    Pins& operator=(const Pins&) = delete;
    ~Pins() {
        for (PyObject* object : objects_) Py_DECREF(object);
    }
    void reserve(std::size_t n) { objects_.reserve(n); }
    void add(PyObject* object) {
        objects_.push_back(object);
        Py_INCREF(object);
    }

private:
    std::vector<PyObject*> objects_;
};

// `features`: the dictionary's entries in insertion order. False with an
// exception set on failure (ValueError for a bad key or value type, the
// conversion's own error, PanicException if the dict changes meanwhile).
bool convert_features(PyObject* dict, NamedFeatures& out, Pins& pins);

// The candidate sequence's structure: names and (borrowed) feature dicts,
// each item pinned. Features themselves are converted afterwards.
bool collect_candidates(PyObject* candidates, std::vector<Candidate>& out,
                        std::vector<PyObject*>& dicts, Pins& pins);

}  // namespace ordwyne::py
