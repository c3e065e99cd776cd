#include "engine/many.h"

#include <memory>
#include <optional>
#include <vector>

#include "candidates/many.h"
#include "engine/checked_ids.h"
#include "engine/score.h"
#include "engine/unlocked.h"
#include "module/results.h"
#include "module/score_call.h"

namespace quantelle::py {
namespace {

// One call's keyword arguments as a fast call takes them, each value held: the conversion of
// another call may run code that changes the dict.
struct Kwargs {
  PyRef names;
  std::vector<PyRef> held;
  std::vector<PyObject*> values;
};

PyResult<Kwargs> kwargs_of(PyObject* dict) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "score_many: each call must be a dict of keyword arguments, not %T",
                 dict);
    return kErrorSet;
  }
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  Kwargs out{created(PyTuple_New(n)), {}, {}};
  Py_ssize_t pos = 0, i = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return kErrorSet;
    }
    PyTuple_SET_ITEM(out.names.get(), i++, Py_NewRef(key));
    out.held.push_back(PyRef::borrow(value));
    out.values.push_back(value);
  }
  return out;
}

}  // namespace

PyResult<PyRef> score_many(PyObject* calls) {
  PyRef list = PyRef::steal(PySequence_Fast(calls, "score_many: calls must be a list of dicts"));
  if (!list) return kErrorSet;
  const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get()));
  // Every object this function creates before the results, first: an allocation may run a
  // finalizer, which could change what a bound call reads in place.
  std::vector<Kwargs> kwargs;
  kwargs.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto k = kwargs_of(PySequence_Fast_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)));
    if (!k) return kErrorSet;
    kwargs.push_back(std::move(*k));
  }

  Pins pins;  // shared, as the calls are used together
  std::vector<std::unique_ptr<ScoreCall>> bound(n);
  std::vector<std::optional<ScorePlan>> plans(n);
  for (std::size_t i = 0; i < n; ++i) {
    bound[i] = std::make_unique<ScoreCall>();
    const Kwargs& k = kwargs[i];
    const auto nkw = static_cast<Py_ssize_t>(k.values.size());
    hold_checked_ids(k.values.data(), 0, nkw == 0 ? nullptr : k.names.get(), pins);
    if (!bind_score_call(*bound[i], k.values.data(), 0, nkw == 0 ? nullptr : k.names.get(),
                         &pins)) {
      return kErrorSet;
    }
    Outcome<std::optional<ScorePlan>> plan = plan_scores(bound[i]->request);
    if (!plan) return std::unexpected(raise_failure(plan.error()));
    if (*plan) plans[i].emplace(std::move(**plan));
  }

  std::vector<ManyCall> many;
  bool frozen = true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!plans[i]) continue;
    many.push_back({&bound[i]->request, &*plans[i]});
    auto f = scan_inputs_frozen(*bound[i]);
    if (!f) return kErrorSet;
    frozen = frozen && *f;
  }
  std::vector<std::vector<ScoredId>> picks(many.size());
  {
    // Arrays someone could still write are scanned with the lock held: no Python thread runs.
    const Unlocked unlocked(frozen);
    std::vector<BestRows> best = best_rows_many(many);
    for (std::size_t c = 0; c < many.size(); ++c) picks[c] = select_best(many[c], std::move(best[c]));
  }

  // Every chosen id held before the first record is created. Another thread may have changed
  // an ids list read in place meanwhile: its items are read afresh, and only a shorter list
  // cannot be answered.
  std::vector<std::vector<PyRef>> ids(n);
  std::vector<std::vector<double>> scores(n);
  for (std::size_t i = 0, next = 0; i < n; ++i) {
    if (!plans[i]) continue;
    if (bound[i]->ids.current_size() < bound[i]->ids.size()) {
      PyErr_SetString(PyExc_RuntimeError, "ids changed size during the search");
      return kErrorSet;
    }
    for (const ScoredId& pick : picks[next++]) {
      ids[i].push_back(PyRef::borrow(bound[i]->ids.item(pick.id_index)));
      scores[i].push_back(pick.score);
    }
  }
  PyRef out = created(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    PyResult<PyRef> records = record_list(ids[i], scores[i]);
    if (!records) return kErrorSet;
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), records->release());
  }
  return out;
}

}  // namespace quantelle::py
