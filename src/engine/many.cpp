#include "engine/many.h"

#include <memory>
#include <optional>
#include <vector>

#include "candidates/many.h"
#include "module/score_call.h"

namespace quantelle::py {
namespace {

// The exception just raised, taken out of the indicator.
PyRef take_raised() noexcept {
  (void)fetch_error();  // a failure without an exception becomes SystemError
  return PyRef::steal(PyErr_GetRaisedException());
}

// What guarded() makes of a fault, kept as an object.
PyRef fault_raised(const Fault& fault) noexcept {
  report_fault(fault);
  raise_panic(fault.message);
  return take_raised();
}

// One call's keyword arguments, bound as score_candidates binds them.
PyResult<void> bind_dict(ScoreCall& call, PyObject* kwargs) {
  if (!PyDict_Check(kwargs)) {
    PyErr_Format(PyExc_TypeError, "score_many: each call must be a dict of keyword arguments, not %T",
                 kwargs);
    return kErrorSet;
  }
  const Py_ssize_t n = PyDict_GET_SIZE(kwargs);
  PyRef names = created(PyTuple_New(n));
  std::vector<PyObject*> values(static_cast<std::size_t>(n));
  Py_ssize_t pos = 0, i = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return kErrorSet;
    }
    PyTuple_SET_ITEM(names.get(), i, Py_NewRef(key));
    values[static_cast<std::size_t>(i++)] = value;  // the dict keeps it alive: call.refs do too
  }
  return bind_score_call(call, values.data(), 0, n == 0 ? nullptr : names.get());
}

// Every call bound and planned; a call that fails keeps its exception and takes no part after.
struct Planned {
  std::vector<std::unique_ptr<ScoreCall>> calls;
  std::vector<std::optional<ScorePlan>> plans;
  std::vector<PyRef> errors;
};

void plan_call(Planned& all, std::size_t i, PyObject* kwargs) {
  try {
    ScoreCall& call = *all.calls[i];
    if (!bind_dict(call, kwargs)) {
      all.errors[i] = take_raised();
      return;
    }
    Outcome<std::optional<ScorePlan>> plan = plan_scores(call.request);
    if (!plan) {
      (void)raise_failure(plan.error());
      all.errors[i] = take_raised();
    } else if (*plan) {
      all.plans[i].emplace(std::move(**plan));
    }
  } catch (const Fault& fault) {
    all.errors[i] = fault_raised(fault);
  }
}

}  // namespace

PyResult<PyRef> score_many(PyObject* calls) {
  PyRef list = PyRef::steal(PySequence_Fast(calls, "score_many: calls must be a list of dicts"));
  if (!list) return kErrorSet;
  const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get()));
  PyObject* const* items = PySequence_Fast_ITEMS(list.get());
  Planned all{{}, std::vector<std::optional<ScorePlan>>(n), std::vector<PyRef>(n)};
  all.calls.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    all.calls.push_back(std::make_unique<ScoreCall>());
    plan_call(all, i, items[i]);
  }

  std::vector<ManyCall> many;
  for (std::size_t i = 0; i < n; ++i) {
    if (all.plans[i]) {
      many.push_back({&all.calls[i]->request, &*all.plans[i]});
    }
  }
  std::vector<BestRows> best = best_rows_many(many);

  PyRef out = created(PyList_New(static_cast<Py_ssize_t>(n)));
  std::size_t next = 0;
  for (std::size_t i = 0; i < n; ++i) {
    PyRef result;
    if (all.errors[i]) {
      result = std::move(all.errors[i]);
    } else if (!all.plans[i]) {
      result = created(PyList_New(0));  // empty without scoring a row
    } else {
      std::optional<std::vector<ScoredId>> picks;
      try {
        picks = select_best(many[next], std::move(best[next]));
      } catch (const Fault& fault) {
        result = fault_raised(fault);
      }
      ++next;
      if (picks) {
        PyResult<PyRef> records = score_records(*all.calls[i], *picks);
        if (!records) return kErrorSet;
        result = std::move(*records);
      }
    }
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), result.release());
  }
  return out;
}

}  // namespace quantelle::py
