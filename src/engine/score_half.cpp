#include "engine/score_half.h"

#include <string>

#include "candidates/half_scan.h"
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

PyResult<PyRef> score_f16_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 2) {
    PyErr_Format(PyExc_TypeError,
                 "score_f16() takes half_rows and row_errors first (%zd positional given)", nargs);
    return kErrorSet;
  }
  HeldBuffer rows, errors;
  if (!rows.acquire(args[0]) || !errors.acquire(args[1])) return kErrorSet;
  ScoreCall call;
  if (!bind_score_call(call, args + 2, nargs - 2, kwnames)) return kErrorSet;
  PyResult<HalfRows> half = half_rows(rows, errors, call.request.matrix);
  if (!half) return std::unexpected(half.error());
  Outcome<HalfPicks> picks = score_candidates_half(call.request, *half);
  if (!picks) return std::unexpected(raise_failure(picks.error()));
  PyResult<PyRef> records = score_records(call, picks->picks);
  if (!records) return records;
  PyRef count = created(PyLong_FromSize_t(picks->rescored));
  return created(PyTuple_Pack(2, records->get(), count.get()));
}

}  // namespace

PyObject* py_score_f16(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] { return score_f16_impl(args, nargs, kwnames); });
}

}  // namespace quantelle::py
