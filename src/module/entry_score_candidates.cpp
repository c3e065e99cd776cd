#include "candidates/pipeline.h"
#include "module/entries.h"
#include "module/score_call.h"

namespace quantelle::py {

PyResult<PyRef> score_candidates_impl(PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  ScoreCall call;
  if (!bind_score_call(call, args, nargs, kwnames)) return kErrorSet;
  Outcome<std::vector<ScoredId>> picks = score_candidates(call.request);
  if (!picks) return std::unexpected(raise_failure(picks.error()));
  return score_records(call, *picks);
}

}  // namespace quantelle::py
