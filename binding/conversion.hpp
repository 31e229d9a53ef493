// Dictionaries of named features and the candidate sequence, converted into
// the engine's inputs without copying any text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
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
        const std::size_t held = std::min(count_, kInline);
        for (std::size_t i = 0; i < held; ++i) Py_DECREF(inline_[i]);
        for (PyObject* object : overflow_) Py_DECREF(object);
    }
    void reserve(std::size_t n) {
        if (n > kInline) overflow_.reserve(n - kInline);
    }
    void add(PyObject* object) {
        if (count_ < kInline) {
            inline_[count_] = object;
        } else {
            overflow_.push_back(object);
        }
        ++count_;
        Py_INCREF(object);
    }

private:
    // Room for an ordinary call's pins without touching the heap: growing a
    // vector from empty cost several allocations and copies per call.
    static constexpr std::size_t kInline = 256;
    std::array<PyObject*, kInline> inline_;
    std::size_t count_ = 0;
    std::vector<PyObject*> overflow_;
};

// The size to reserve for a sequence's items, at most 2**16; false, with
// the exception set, only when asking raised an interrupt.
bool length_hint(PyObject* sequence, std::size_t& out);

// `features`: the dictionary's entries in insertion order. False with an
// exception set on failure (ValueError for a bad key or value type, the
// conversion's own error, PanicException if the dict changes meanwhile).
bool convert_features(PyObject* dict, NamedFeatures& out, Pins& pins);

// The candidate sequence's structure: names and (borrowed) feature dicts,
// each item pinned. Features themselves are converted afterwards. `out`
// may come with elements from an earlier call: they are reused, with their
// feature lists' capacity, and any beyond the sequence's length dropped.
bool collect_candidates(PyObject* candidates, std::vector<Candidate>& out,
                        std::vector<PyObject*>& dicts, Pins& pins);

}  // namespace ordwyne::py
