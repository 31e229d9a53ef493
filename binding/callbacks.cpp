#include "callbacks.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "conversion.hpp"
#include "errors.hpp"
#include "record_objects.hpp"

namespace ordwyne::py {

namespace {

Error message_error(std::string text) { return Error{std::move(text)}; }

// A callable's result as a list of doubles; false if it is not usable, with
// the conversion's exception (if any) still set.
bool to_doubles(PyObject* result, std::vector<double>& out) {
    if (PyUnicode_Check(result) || !PySequence_Check(result)) return false;
    std::size_t hint;
    if (!length_hint(result, hint)) return false;
    out.reserve(hint);
    Ref iterator(PyObject_GetIter(result));
    if (!iterator) return false;
    for (;;) {
        Ref item(PyIter_Next(iterator.get()));
        if (!item) break;
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) return false;
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

// Runs a hook body so that no C++ exception unwinds through the engine.
template <class R, class F>
R hook_body(Caught& caught, const char* callback, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return std::unexpected(caught.callback_raised(callback));
    } catch (const std::exception& e) {
        return std::unexpected(caught.internal_failure(e.what()));
    } catch (...) {
        return std::unexpected(caught.internal_failure("unknown C++ exception in a hook"));
    }
}

// Calls a score or explore callable with its packed arguments (null if
// packing failed) and reads the result as doubles; a result that does not
// read gives the engine's own message for it.
Result<std::vector<double>> call_for_doubles(Caught& caught, const char* callback,
                                             PyObject* callable, PyObject* args,
                                             std::string_view unusable) {
    if (args == nullptr) return std::unexpected(caught.callback_raised(callback));
    Ref result(PyObject_Call(callable, args, nullptr));
    if (!result) return std::unexpected(caught.callback_raised(callback));
    std::vector<double> values;
    if (!to_doubles(result.get(), values)) {
        return std::unexpected(caught.result_unusable(callback, unusable));
    }
    return values;
}

}  // namespace

std::string Caught::stash(Fetched exception, const char* callback) {
    std::string text = std::string(callback) + " callback raised";
    if (busy_) {
        internal_failure("the callback exception holder was re-entered");
        return text;
    }
    busy_ = true;
    pending_ = std::move(exception);  // releases one held before
    busy_ = false;
    return text;
}

Error Caught::callback_raised(const char* callback) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "callback failed without setting an exception");
    }
    Fetched exception = Fetched::take();
    if (is_panic(exception)) {
        if (!panic_message_) panic_message_ = report_escaped_panic(std::move(exception));
        return message_error(std::string(callback) + " callback raised");
    }
    return message_error(stash(std::move(exception), callback));
}

Error Caught::result_unusable(const char* callback, std::string_view message) {
    if (PyErr_Occurred()) {
        if (is_interrupt()) {
            callback_raised(callback);
        } else {
            PyErr_Clear();
        }
    }
    return message_error(std::string(message));
}

Error Caught::internal_failure(const char* message) {
    if (!panic_message_) {
        panic_message_ = Ref(PyUnicode_FromString(message));
        if (!panic_message_) {
            PyErr_Clear();
            panic_message_ = Ref::borrowed(Py_None);
        }
    }
    return message_error(message);
}

bool Caught::raise_pending() {
    if (panic_message_) {
        if (panic_message_.get() == Py_None) {
            raise_panic("internal failure in a hook");
        } else {
            raise_panic_object(panic_message_.get());
        }
        return true;
    }
    if (!pending_.empty()) {
        pending_.restore();
        return true;
    }
    return false;
}

Result<std::vector<double>> ScoreHook::operator()(std::span<const FeatureVector>) const {
    using R = Result<std::vector<double>>;
    return hook_body<R>(caught_, "score", [&]() -> R {
        Ref args(PyTuple_Pack(2, context_, candidates_));
        return call_for_doubles(caught_, "score", callable_, args.get(), error::kScore);
    });
}

Result<std::vector<double>> ExploreHook::operator()(std::span<const double> estimates,
                                                    double epsilon) const {
    using R = Result<std::vector<double>>;
    return hook_body<R>(caught_, "explore", [&]() -> R {
        Ref list(PyList_New(static_cast<Py_ssize_t>(estimates.size())));
        if (!list) return std::unexpected(caught_.callback_raised("explore"));
        for (std::size_t i = 0; i < estimates.size(); ++i) {
            PyObject* value = PyFloat_FromDouble(estimates[i]);
            if (value == nullptr) return std::unexpected(caught_.callback_raised("explore"));
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);
        }
        Ref eps(PyFloat_FromDouble(epsilon));
        if (!eps) return std::unexpected(caught_.callback_raised("explore"));
        Ref args(PyTuple_Pack(2, list.get(), eps.get()));
        return call_for_doubles(caught_, "explore", callable_, args.get(), error::kExploreCount);
    });
}

Status TrainHook::operator()(const DecisionRecord& record, double reward) const {
    return hook_body<Status>(caught_, "train", [&]() -> Status {
        Ref object(new_record(DecisionRecord(record), std::nullopt, nullptr, nullptr));
        if (!object) return std::unexpected(caught_.callback_raised("train"));
        Ref value(PyFloat_FromDouble(reward));
        if (!value) return std::unexpected(caught_.callback_raised("train"));
        Ref args(PyTuple_Pack(2, object.get(), value.get()));
        if (!args) return std::unexpected(caught_.callback_raised("train"));
        Ref result(PyObject_Call(callable_, args.get(), nullptr));
        if (!result) return std::unexpected(caught_.callback_raised("train"));
        return {};
    });
}

}  // namespace ordwyne::py
