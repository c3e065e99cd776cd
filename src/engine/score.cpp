#include "engine/score.h"

#include "candidates/ranges.h"
#include "engine/checked_ids.h"
#include "engine/frozen.h"
#include "engine/unlocked.h"

namespace quantelle::py {

PyResult<bool> scan_inputs_frozen(const ScoreCall& call) {
  const ScannedArrays arrays = scanned_arrays(call);
  for (PyObject* array : {arrays.matrix, arrays.timestamps, arrays.mask}) {
    if (array == nullptr) continue;
    auto frozen = is_frozen(array);
    if (!frozen || !*frozen) return frozen;
  }
  return true;
}

PyResult<PyRef> engine_score_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Pins pins;
  hold_checked_ids(args, nargs, kwnames, pins);
  ScoreCall call;
  if (!bind_score_call(call, args, nargs, kwnames, &pins)) return kErrorSet;
  // The query side reads few rows and may fail: it runs under the lock, as the module's does.
  Outcome<std::optional<ScorePlan>> plan = plan_scores(call.request);
  if (!plan) return std::unexpected(raise_failure(plan.error()));
  if (!*plan) return score_records(call, {});
  auto frozen = scan_inputs_frozen(call);
  if (!frozen) return kErrorSet;
  std::vector<ScoredId> picks;
  {
    // Arrays someone could still write are scanned with the lock held: no Python thread runs.
    const Unlocked unlocked(*frozen);
    picks = score_in_ranges(call.request, **plan);
  }
  // The ids list is read in place, and another thread may have changed it meanwhile: its items
  // are read afresh, so a shorter list is the one change that could not be answered.
  if (call.ids.current_size() < call.ids.size()) {
    PyErr_SetString(PyExc_RuntimeError, "ids changed size during the search");
    return kErrorSet;
  }
  return score_records(call, picks);
}

}  // namespace quantelle::py
