// decide: convert the caller's objects, run the engine with the caller's
// hooks, and hand back a record that also carries the decision's inputs.
#include <algorithm>
#include <optional>
#include <utility>

#include "api.hpp"
#include "arguments.hpp"
#include "callbacks.hpp"
#include "conversion.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "record_objects.hpp"
#include "spare.hpp"
#include "state_object.hpp"

namespace ordwyne::py {

namespace {

Parameters<7> decide_params("decide",
                            {"state", "context", "candidates", "t", "salt", "score", "explore"}, 5);

// The converted inputs, kept for the next call on this thread (spare.hpp).
// Their views are never read before being rewritten.
struct Inputs {
    std::vector<Candidate> candidates;
    std::vector<PyObject*> dicts;
    NamedFeatures context;

    std::size_t capacity_bytes() const {
        std::size_t bytes = candidates.capacity() * sizeof(Candidate) +
                            dicts.capacity() * sizeof(PyObject*) +
                            context.capacity() * sizeof(NamedFeature);
        for (const Candidate& c : candidates) bytes += c.features.capacity() * sizeof(NamedFeature);
        return bytes;
    }
};

}  // namespace

PyObject* decide(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 7> a;
    if (!decide_params.bind(args, nargs, kwnames, a)) return nullptr;

    StateObject* state = state_argument(a[0], "state");
    if (state == nullptr) return nullptr;
    PyObject* context = a[1];
    if (!PyDict_Check(context)) {
        raise_mismatch(context, "dict");
        attach_note("context");
        return nullptr;
    }
    PyObject* candidates = a[2];
    double t = 0.0;
    if (!f64_argument(a[3], "t", t)) return nullptr;
    std::string_view salt;
    if (!text_argument(a[4], "salt", salt)) return nullptr;
    PyObject* score = optional_callable(a[5]);
    PyObject* explore = optional_callable(a[6]);

    // Views into the caller's strings stay valid while these pins hold them.
    Pins pins;
    Spare<Inputs, std::size_t{1} << 20> inputs;
    std::vector<Candidate>& converted = inputs->candidates;
    const std::vector<PyObject*>& dicts = inputs->dicts;
    if (!collect_candidates(candidates, converted, inputs->dicts, pins)) return nullptr;
    // Every key and value gets pinned: size the pin list once.
    Py_ssize_t entries = PyDict_Size(context);
    for (PyObject* dict : dicts) entries += PyDict_Size(dict);
    pins.reserve(converted.size() + 2 * static_cast<std::size_t>(std::max<Py_ssize_t>(entries, 0)));
    NamedFeatures& context_features = inputs->context;
    if (!convert_features(context, context_features, pins)) return nullptr;
    for (std::size_t i = 0; i < converted.size(); ++i) {
        if (!convert_features(dicts[i], converted[i].features, pins)) return nullptr;
    }

    Caught caught;
    ScoreHook score_hook(score, context, candidates, caught);
    ExploreHook explore_hook(explore, caught);
    ScoreFn score_fn;
    ExploreFn explore_fn;
    if (score != nullptr) score_fn = score_hook;
    if (explore != nullptr) explore_fn = explore_hook;

    auto bits = read_shared(state, api::model_bits);
    if (!bits) return nullptr;
    if (!*bits) return value_error(bits->error());

    RecordShell shell = RecordShell::allocate();
    if (!shell) return nullptr;
    Result<DecisionRecord> record;
    {
        ExclusiveBorrow borrow(state);
        if (!borrow.ok()) return nullptr;
        record = api::decide(state->bandit, context_features, converted, salt, score_fn,
                             explore_fn, t);
    }
    if (caught.raise_pending()) return nullptr;
    if (!record) return value_error(record.error());
    return shell.fill(std::move(*record), **bits, context, candidates);
}

}  // namespace ordwyne::py
