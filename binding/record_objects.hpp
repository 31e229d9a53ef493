// DecisionRecord and Resolution: immutable snapshots handed to the caller.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "ledger.hpp"

namespace ordwyne::py {

// Null with an exception set on failure.
PyTypeObject* record_type();
PyTypeObject* resolution_type();

// A DecisionRecord object allocated ahead of the engine call that fills it:
// once the engine has committed a decision nothing may fail before the
// caller holds its record, or the decision would be pending under an id
// nobody knows.
class RecordShell {
public:
    static RecordShell allocate();  // empty, with an exception set, on failure
    ~RecordShell();
    RecordShell(RecordShell&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    RecordShell(const RecordShell&) = delete;
    RecordShell& operator=(const RecordShell&) = delete;
    RecordShell& operator=(RecordShell&&) = delete;

    explicit operator bool() const { return object_ != nullptr; }

    // The finished record; the shell is empty afterwards.
    PyObject* fill(DecisionRecord&& record, std::optional<std::uint32_t> bits, PyObject* context,
                   PyObject* candidates) noexcept;

private:
    explicit RecordShell(PyObject* object) : object_(object) {}
    PyObject* object_;
};

// A record as decide returns it (bits, context and candidates present), or,
// with none of them, the record a train callback receives.
PyObject* new_record(DecisionRecord&& record, std::optional<std::uint32_t> bits,
                     PyObject* context, PyObject* candidates);

// Resolution objects allocated ahead of the engine call that commits the
// resolutions they will report, for the same reason as RecordShell: a
// MemoryError after the commit would lose resolutions the state no longer
// holds.
class ResolutionShells {
public:
    ResolutionShells() = default;
    ~ResolutionShells();
    ResolutionShells(const ResolutionShells&) = delete;
    ResolutionShells& operator=(const ResolutionShells&) = delete;

    // False, with an exception set, if the n objects cannot all be made.
    bool allocate(std::size_t n);

    // Shell i, finished; it is no longer held here.
    PyObject* fill(std::size_t i, Resolution&& resolution) noexcept;

private:
    std::vector<PyObject*> objects_;  // null once filled
};

// Read access for log_line; item must be an instance of the class.
struct RecordView {
    const DecisionRecord* record;
    std::optional<std::uint32_t> bits;
    PyObject* context;     // borrowed, may be null
    PyObject* candidates;  // borrowed, may be null
};
RecordView view_record(PyObject* item);
const Resolution& view_resolution(PyObject* item);

// Attribute values built anew, shared by the getters and log_line.
PyObject* features_list(const FeatureVector& features);
PyObject* text_object(const std::string& text);
PyObject* kind_text(ResolutionKind kind);
PyObject* reward_object(const std::optional<double>& reward);

}  // namespace ordwyne::py
