// Interned strings for attribute names, keywords and dictionary keys: made
// once, then every lookup compares pointers instead of building text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>

namespace ordwyne::py {

template <std::size_t N>
class NameTable {
public:
    explicit constexpr NameTable(std::array<const char*, N> texts) : texts_(texts) {}

    // False, with the exception set, when interning failed; a later call retries.
    bool ready() {
        if (made_) return true;
        for (std::size_t i = 0; i < N; ++i) {
            if (objects_[i] != nullptr) continue;
            objects_[i] = PyUnicode_InternFromString(texts_[i]);
            if (objects_[i] == nullptr) return false;
        }
        made_ = true;
        return true;
    }

    PyObject* operator[](std::size_t i) const { return objects_[i]; }
    PyObject* const* objects() const { return objects_.data(); }
    const char* text(std::size_t i) const { return texts_[i]; }
    static constexpr std::size_t size() { return N; }

private:
    std::array<const char*, N> texts_;
    std::array<PyObject*, N> objects_{};  // kept for the life of the process
    bool made_ = false;
};

// Names used across the module.
enum Common : std::size_t { kAddNote, kQualname, kName, kAll, kCommonCount };
NameTable<kCommonCount>& common_names();

}  // namespace ordwyne::py
