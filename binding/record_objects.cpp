#include "record_objects.hpp"

#include <utility>

#include "classes.hpp"
#include "errors.hpp"

namespace ordwyne::py {

namespace {

struct RecordObject {
    PyObject_HEAD
    DecisionRecord record;
    std::optional<std::uint32_t> bits;
    PyObject* context;     // owned, or null
    PyObject* candidates;  // owned, or null
};

struct ResolutionObject {
    PyObject_HEAD
    Resolution resolution;
};

PyTypeObject* g_record_type = nullptr;
PyTypeObject* g_resolution_type = nullptr;

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }
const Resolution& resolution_of(PyObject* self) {
    return reinterpret_cast<ResolutionObject*>(self)->resolution;
}

PyObject* or_none(PyObject* object) {
    PyObject* result = object != nullptr ? object : Py_None;
    Py_INCREF(result);
    return result;
}

// Getters must not let a C++ exception out either.
template <PyObject* (*Read)(PyObject*)>
PyObject* getter(PyObject* self, void*) {
    return guarded([self] { return Read(self); }, nullptr);
}

PyObject* get_decision_id(PyObject* self) {
    return text_object(as_record(self)->record.decision_id);
}
PyObject* get_t(PyObject* self) { return PyFloat_FromDouble(as_record(self)->record.t); }
PyObject* get_candidate_hash(PyObject* self) {
    return PyLong_FromUnsignedLongLong(as_record(self)->record.candidate_hash);
}
PyObject* get_chosen(PyObject* self) {
    return PyLong_FromUnsignedLongLong(as_record(self)->record.chosen);
}
PyObject* get_features(PyObject* self) { return features_list(as_record(self)->record.features); }
PyObject* get_propensity(PyObject* self) {
    return PyFloat_FromDouble(as_record(self)->record.propensity);
}
PyObject* get_model_version(PyObject* self) {
    return PyLong_FromUnsignedLongLong(as_record(self)->record.model_version);
}
PyObject* get_salt(PyObject* self) { return text_object(as_record(self)->record.salt); }
PyObject* get_bits(PyObject* self) {
    const auto& bits = as_record(self)->bits;
    if (!bits) return new_none();
    return PyLong_FromUnsignedLong(*bits);
}
PyObject* get_context(PyObject* self) { return or_none(as_record(self)->context); }
PyObject* get_candidates(PyObject* self) { return or_none(as_record(self)->candidates); }

PyObject* get_resolution_id(PyObject* self) { return text_object(resolution_of(self).decision_id); }
PyObject* get_kind(PyObject* self) { return kind_text(resolution_of(self).kind); }
PyObject* get_reward(PyObject* self) { return reward_object(resolution_of(self).reward); }

// Records take part in cyclic garbage collection: a caller may well store a
// record inside the very context it describes (context["record"] = record).
int record_traverse(PyObject* self, visitproc visit, void* arg) {
    RecordObject* r = as_record(self);
    Py_VISIT(r->context);
    Py_VISIT(r->candidates);
    // Instances of a heap type hold a reference to it.
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int record_clear(PyObject* self) {
    RecordObject* r = as_record(self);
    Py_CLEAR(r->context);
    Py_CLEAR(r->candidates);
    return 0;
}

void record_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    record_clear(self);
    RecordObject* r = as_record(self);
    r->record.~DecisionRecord();
    r->bits.~optional();
    free_instance(self);
}

void resolution_dealloc(PyObject* self) {
    reinterpret_cast<ResolutionObject*>(self)->resolution.~Resolution();
    free_instance(self);
}

PyGetSetDef record_getset[] = {
    {"decision_id", getter<get_decision_id>, nullptr, nullptr, nullptr},
    {"t", getter<get_t>, nullptr, nullptr, nullptr},
    {"candidate_hash", getter<get_candidate_hash>, nullptr, nullptr, nullptr},
    {"chosen", getter<get_chosen>, nullptr, nullptr, nullptr},
    {"features", getter<get_features>, nullptr, nullptr, nullptr},
    {"propensity", getter<get_propensity>, nullptr, nullptr, nullptr},
    {"model_version", getter<get_model_version>, nullptr, nullptr, nullptr},
    {"salt", getter<get_salt>, nullptr, nullptr, nullptr},
    {"bits", getter<get_bits>, nullptr, nullptr, nullptr},
    {"context", getter<get_context>, nullptr, nullptr, nullptr},
    {"candidates", getter<get_candidates>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef resolution_getset[] = {
    {"decision_id", getter<get_resolution_id>, nullptr, nullptr, nullptr},
    {"kind", getter<get_kind>, nullptr, nullptr, nullptr},
    {"reward", getter<get_reward>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kRecordDoc[] =
    "One decision, self-contained: what was chosen, with what probability,\n"
    "under which id — everything outcome reporting and offline evaluation\n"
    "need. Records returned by `decide` additionally carry the inputs the\n"
    "decision was made over (`bits`, `context`, `candidates` — the\n"
    "caller's own objects), so they log as-is via `log_line`; records that\n"
    "crossed the state boundary (a `train` callback's) carry None there —\n"
    "the ledger keeps only the compact record.";

constexpr const char kResolutionDoc[] =
    "One resolution event: how a decision left the ledger. `reward` is what\n"
    "the model trained with.";

PyType_Slot record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(record_clear)},
    {Py_tp_doc, const_cast<char*>(kRecordDoc)},
    {Py_tp_getset, record_getset},
    {0, nullptr},
};

PyType_Slot resolution_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resolution_dealloc)},
    {Py_tp_doc, const_cast<char*>(kResolutionDoc)},
    {Py_tp_getset, resolution_getset},
    {0, nullptr},
};

PyType_Spec record_spec = {
    "ordwyne.DecisionRecord", static_cast<int>(sizeof(RecordObject)), 0,
    kClassFlags | Py_TPFLAGS_HAVE_GC, record_slots,
};

PyType_Spec resolution_spec = {
    "ordwyne.Resolution", static_cast<int>(sizeof(ResolutionObject)), 0, kClassFlags,
    resolution_slots,
};

}  // namespace

PyTypeObject* record_type() {
    return build_class_once(g_record_type, record_spec, "DecisionRecord");
}

PyTypeObject* resolution_type() {
    return build_class_once(g_resolution_type, resolution_spec, "Resolution");
}

RecordShell RecordShell::allocate() {
    PyTypeObject* type = record_type();
    if (type == nullptr) return RecordShell(nullptr);
    PyObject* object = reinterpret_cast<PyObject*>(ordwyne::py::allocate<RecordObject>(type));
    // The collector must not hand an unfilled shell to interpreter code
    // (gc.get_objects() in a callback) that could keep it past its release
    // below: it is tracked once it is filled.
    if (object != nullptr) PyObject_GC_UnTrack(object);
    return RecordShell(object);
}

RecordShell::~RecordShell() {
    // Never filled: no member was constructed, so only the memory goes.
    if (object_ != nullptr) free_instance(object_);
}

PyObject* RecordShell::fill(DecisionRecord&& record, std::optional<std::uint32_t> bits,
                            PyObject* context, PyObject* candidates) noexcept {
    RecordObject* r = as_record(object_);
    object_ = nullptr;
    // Moves of the record's strings and vector cannot throw.
    new (&r->record) DecisionRecord(std::move(record));
    new (&r->bits) std::optional<std::uint32_t>(bits);
    Py_XINCREF(context);
    Py_XINCREF(candidates);
    r->context = context;
    r->candidates = candidates;
    PyObject_GC_Track(r);
    return reinterpret_cast<PyObject*>(r);
}

PyObject* new_record(DecisionRecord&& record, std::optional<std::uint32_t> bits,
                     PyObject* context, PyObject* candidates) {
    RecordShell shell = RecordShell::allocate();
    if (!shell) return nullptr;
    return shell.fill(std::move(record), bits, context, candidates);
}

ResolutionShells::~ResolutionShells() {
    // Never filled: no member was constructed, so only the memory goes.
    for (PyObject* object : objects_) {
        if (object != nullptr) free_instance(object);
    }
}

bool ResolutionShells::allocate(std::size_t n) {
    PyTypeObject* type = resolution_type();
    if (type == nullptr) return false;
    objects_.reserve(n);
    while (objects_.size() < n) {
        PyObject* object = reinterpret_cast<PyObject*>(ordwyne::py::allocate<ResolutionObject>(type));
        if (object == nullptr) return false;
        objects_.push_back(object);
    }
    return true;
}

PyObject* ResolutionShells::fill(std::size_t i, Resolution&& resolution) noexcept {
    auto* r = reinterpret_cast<ResolutionObject*>(std::exchange(objects_[i], nullptr));
    // Moving the id and the optional reward cannot throw.
    new (&r->resolution) Resolution(std::move(resolution));
    return reinterpret_cast<PyObject*>(r);
}

RecordView view_record(PyObject* item) {
    RecordObject* r = as_record(item);
    return RecordView{&r->record, r->bits, r->context, r->candidates};
}

const Resolution& view_resolution(PyObject* item) { return resolution_of(item); }

PyObject* features_list(const FeatureVector& features) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(features.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const Entry& entry : features) {
        Ref index(PyLong_FromUnsignedLongLong(entry.index));
        if (!index) return nullptr;
        Ref value(PyFloat_FromDouble(entry.value));
        if (!value) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) return nullptr;
        PyTuple_SetItem(pair, 0, index.release());
        PyTuple_SetItem(pair, 1, value.release());
        PyList_SetItem(list.get(), i++, pair);
    }
    return list.release();
}

PyObject* text_object(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* kind_text(ResolutionKind kind) {
    return PyUnicode_FromString(kind == ResolutionKind::Rewarded ? "rewarded" : "expired");
}

PyObject* reward_object(const std::optional<double>& reward) {
    if (!reward) return new_none();
    return PyFloat_FromDouble(*reward);
}

}  // namespace ordwyne::py
