#include "engine/score_half.h"

#include <string>

#include "candidates/half_scan.h"
#include "candidates/ranges.h"
#include "engine/checked_ids.h"
#include "engine/frozen.h"
#include "engine/score.h"
#include "engine/unlocked.h"
#include "module/score_call.h"

namespace quantelle::py {
namespace {

// A buffer export held for the call: released on every path.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  [[nodiscard]] bool acquire(PyObject* o) {
    held_ = PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
    return held_;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

bool has_format(const Py_buffer& v, char code, Py_ssize_t itemsize) {
  const std::string f = v.format == nullptr ? "B" : v.format;
  return v.itemsize == itemsize && (f == std::string(1, code) || f == std::string("=") + code ||
                                    f == std::string("<") + code);
}

std::unexpected<ErrorSet> value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return kErrorSet;
}

// The copy as the logic reads it, checked against the matrix the call bound.
PyResult<HalfRows> half_rows(const HeldBuffer& rows, const HeldBuffer& errors,
                             const MatrixF32& matrix) {
  const Py_buffer& r = rows.view();
  const Py_buffer& e = errors.view();
  if (r.ndim != 2 || !has_format(r, 'e', 2)) {
    return value_error("half_rows must be a 2-D C-contiguous float16 array");
  }
  if (e.ndim != 1 || !has_format(e, 'f', 4)) {
    return value_error("row_errors must be a 1-D C-contiguous float32 array");
  }
  const auto n = static_cast<std::size_t>(r.shape[0]), d = static_cast<std::size_t>(r.shape[1]);
  if (n != matrix.rows || d != matrix.cols || static_cast<std::size_t>(e.shape[0]) != n) {
    return value_error("half_rows (" + std::to_string(n) + ", " + std::to_string(d) +
                       ") and row_errors (" + std::to_string(e.shape[0]) +
                       ",) do not match the matrix (" + std::to_string(matrix.rows) + ", " +
                       std::to_string(matrix.cols) + ")");
  }
  return HalfRows{static_cast<const std::uint16_t*>(r.buf), n, d, d,
                  std::span(static_cast<const float*>(e.buf), n)};
}

// (records, rescored)
PyResult<PyRef> with_count(PyResult<PyRef> records, std::size_t rescored) {
  if (!records) return records;
  PyRef count = created(PyLong_FromSize_t(rescored));
  return created(PyTuple_Pack(2, records->get(), count.get()));
}

PyResult<PyRef> score_f16_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 2) {
    PyErr_Format(PyExc_TypeError,
                 "score_f16() takes half_rows and row_errors first (%zd positional given)", nargs);
    return kErrorSet;
  }
  HeldBuffer rows, errors;
  if (!rows.acquire(args[0]) || !errors.acquire(args[1])) return kErrorSet;
  Pins pins;
  hold_checked_ids(args + 2, nargs - 2, kwnames, pins);
  ScoreCall call;
  if (!bind_score_call(call, args + 2, nargs - 2, kwnames, &pins)) return kErrorSet;
  PyResult<HalfRows> half = half_rows(rows, errors, call.request.matrix);
  if (!half) return std::unexpected(half.error());
  // The query side reads few rows and may fail: it runs under the lock, as score_candidates' does.
  Outcome<std::optional<ScorePlan>> plan = plan_scores(call.request);
  if (!plan) return std::unexpected(raise_failure(plan.error()));
  if (!*plan) return with_count(score_records(call, {}), 0);
  auto frozen = scan_inputs_frozen(call);
  if (!frozen) return kErrorSet;
  bool copy_frozen = *frozen;
  for (PyObject* copy : {args[0], args[1]}) {
    if (!copy_frozen) break;
    auto f = is_frozen(copy);
    if (!f) return kErrorSet;
    copy_frozen = *f;
  }
  std::vector<std::uint64_t> kept;
  std::vector<ScoredId> picks;
  {
    const Unlocked unlocked(copy_frozen);  // as score_candidates: arrays others could write, held
    kept = half_candidates(call.request, **plan, *half);
    picks = score_in_ranges(call.request, plan_over(call.request, **plan, kept));
  }
  if (call.ids.current_size() < call.ids.size()) {
    PyErr_SetString(PyExc_RuntimeError, "ids changed size during the search");
    return kErrorSet;
  }
  return with_count(score_records(call, picks), kept.size());
}

}  // namespace

PyObject* py_score_f16(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&] { return score_f16_impl(args, nargs, kwnames); });
}

}  // namespace quantelle::py
