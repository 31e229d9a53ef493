#include "errors.hpp"

#include "names.hpp"

namespace ordwyne::py {

namespace {

PyObject* g_panic_type = nullptr;  // one per process, never released

constexpr const char kPanicDoc[] =
    "Raised when a call into ordwyne fails internally (a state already in use, a\n"
    "dictionary changed while it was read). Derives from BaseException so that\n"
    "`except Exception` does not swallow it.";

}  // namespace

bool make_panic_type() {
    if (g_panic_type != nullptr) return true;
    PyObject* made = PyErr_NewExceptionWithDoc("ordwyne.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (made == nullptr) return false;
    // Creating a class can run interpreter code and so let another thread
    // publish first; keep the first one.
    if (g_panic_type == nullptr) {
        g_panic_type = made;
    } else {
        Py_DECREF(made);
    }
    return true;
}

PyObject* panic_type() {
    if (g_panic_type != nullptr) return g_panic_type;
    // Only reachable before the module was executed. Creating the class must
    // not lose an exception already set; if creating it fails, its own
    // exception (MemoryError, RecursionError) is what the caller sees.
    Fetched saved = Fetched::take();
    if (!make_panic_type()) return nullptr;
    saved.restore();
    return g_panic_type;
}

void raise_panic_object(PyObject* message) {
    PyObject* type = panic_type();
    if (type != nullptr) PyErr_SetObject(type, message);
}

void raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;
    // Out of memory for the text: the MemoryError stands in for the panic.
    Ref text(PyUnicode_FromString(message));
    if (text) PyErr_SetObject(type, text.get());
}

bool is_panic(const Fetched& exception) {
    // No PanicException can exist before its class does.
    return !exception.empty() && g_panic_type != nullptr &&
           PyErr_GivenExceptionMatches(exception.type.get(), g_panic_type) != 0;
}

bool is_interrupt() {
    return PyErr_Occurred() != nullptr &&
           (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError));
}

Ref report_escaped_panic(Fetched exception) {
    Ref message(PyObject_Str(exception.value.get()));
    if (!message) {
        // The new PanicException then carries the old one's arguments.
        PyErr_Clear();
        message = Ref(PyObject_GetAttrString(exception.value.get(), "args"));
        if (!message) {
            PyErr_Clear();
            message = Ref::borrowed(Py_None);
        }
    }
    PySys_WriteStderr(
        "--- ordwyne: a PanicException came back from a callback; abandoning the call ---\n"
        "Python stack trace below:\n");
    PyErr_Display(exception.type.get(), exception.value.get(), exception.traceback.get());
    PyErr_Clear();
    return message;
}

PyObject* value_error(const Error& error) {
    Ref text(PyUnicode_FromStringAndSize(error.message.data(),
                                         static_cast<Py_ssize_t>(error.message.size())));
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

void raise_mismatch(PyObject* object, const char* required) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
        return;
    }
    auto& names = common_names();
    if (!names.ready()) return;
    Ref qualname(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names[kQualname]));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(),
                 required);
}

void attach_note(const char* param) {
    // An interrupt is not a conversion failure of the argument: it goes on
    // exactly as it was raised.
    if (is_interrupt()) return;
    Fetched exception = Fetched::take();
    if (exception.empty()) return;
    auto& names = common_names();
    if (exception.value && names.ready()) {
        // 3.10 exceptions have no add_note: the exception then goes without its note.
        Ref add_note(PyObject_GetAttr(exception.value.get(), names[kAddNote]));
        if (add_note) {
            Ref note(PyUnicode_FromFormat("while processing '%s'", param));
            if (note) {
                Ref done(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr));
            }
        }
    }
    PyErr_Clear();
    exception.restore();
}

void raise_from_cxx() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
}

}  // namespace ordwyne::py
