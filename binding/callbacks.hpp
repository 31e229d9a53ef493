// The caller's score, explore and train callables as engine hooks, and
// `Caught`, which carries a callable's exception across the engine call so
// that the module function can raise that very exception afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <string>
#include <vector>

#include "decide.hpp"
#include "error.hpp"
#include "ledger.hpp"
#include "ref.hpp"

namespace ordwyne::py {

class Caught {
public:
    Caught() = default;
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    // Keeps the exception (the latest wins) and returns "<name> callback raised".
    std::string stash(Fetched exception, const char* callback);

    // The current exception came out of the named callable: stash it, or,
    // for a PanicException, report it and mark the call abandoned.
    Error callback_raised(const char* callback);

    // The callable's result could not be used. An ordinary exception from the
    // conversion is discarded; an interrupt (KeyboardInterrupt, MemoryError,
    // ...) is kept as if the callable had raised it.
    Error result_unusable(const char* callback, std::string_view message);

    // Something failed inside the module while a hook ran.
    Error internal_failure(const char* message);

    // After the engine returned: raises what is pending and returns true, or
    // returns false if nothing is. A panic outranks a stashed exception.
    bool raise_pending();

private:
    bool busy_ = false;
    Fetched pending_;
    Ref panic_message_;
};

class ScoreHook {
public:
    ScoreHook(PyObject* callable, PyObject* context, PyObject* candidates, Caught& caught)
        : callable_(callable), context_(context), candidates_(candidates), caught_(caught) {}
    // The encoded candidates are not passed on: the caller scores its own objects.
    Result<std::vector<double>> operator()(std::span<const FeatureVector> encoded) const;

private:
    PyObject* callable_;
    PyObject* context_;
    PyObject* candidates_;
    Caught& caught_;
};

class ExploreHook {
public:
    ExploreHook(PyObject* callable, Caught& caught) : callable_(callable), caught_(caught) {}
    Result<std::vector<double>> operator()(std::span<const double> estimates, double epsilon) const;

private:
    PyObject* callable_;
    Caught& caught_;
};

class TrainHook {
public:
    TrainHook(PyObject* callable, Caught& caught) : callable_(callable), caught_(caught) {}
    Status operator()(const DecisionRecord& record, double reward) const;

private:
    PyObject* callable_;
    Caught& caught_;
};

}  // namespace ordwyne::py
