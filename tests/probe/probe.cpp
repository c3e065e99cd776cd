// _quantelle_probe: a test-only module (never shipped). It runs each kernel variant on Python
// buffers, so the tests can hold every variant against the scalar reference, and it carries a
// second copy of the module's functions whose kernel table the tests choose, so the whole
// pipeline runs under every variant the CPU has. Kernel inputs are C-contiguous float32 buffers
// read in place (so a test can end one at a page boundary); the shapes come as arguments.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "candidates/pipeline.h"
#include "kernels/kernels.h"
#include "module/entries.h"
#include "module/score_call.h"

namespace {

using quantelle::KernelTable;

const KernelTable* g_chosen = nullptr;  // for the probe's score_candidates and mmr_select_py

}  // namespace

// Linked in place of the library's own choice (kernels/dispatch.cpp), for this module only.
const KernelTable& quantelle::kernels() noexcept {
  return g_chosen != nullptr ? *g_chosen : *supported_kernels().back();
}

namespace {

// Arguments (variant, then what format names after "s"): the table of a variant this CPU runs,
// or null with an error set.
template <class... Out>
const KernelTable* parse(PyObject* args, const char* format, Out*... out) {
  const char* variant;
  if (!PyArg_ParseTuple(args, format, &variant, out...)) return nullptr;
  for (const KernelTable* t : quantelle::supported_kernels())
    if (std::string_view(t->name) == variant) return t;
  PyErr_Format(PyExc_ValueError, "unknown or unsupported variant '%s'", variant);
  return nullptr;
}

// A float32 buffer as "y#" gives it: read in place, valid while the caller holds the array.
struct Floats {
  const char* bytes;
  Py_ssize_t len;
  [[nodiscard]] const float* data() const { return reinterpret_cast<const float*>(bytes); }
};

PyObject* to_bytes(const float* values, std::size_t count) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values),
                                   static_cast<Py_ssize_t>(count * sizeof(float)));
}

// The bench reads this list too.
PyObject* py_variants(PyObject*, PyObject*) {
  PyObject* names = PyList_New(0);
  for (const KernelTable* t : quantelle::supported_kernels()) {
    PyObject* name = names != nullptr ? PyUnicode_FromString(t->name) : nullptr;
    if (name == nullptr || PyList_Append(names, name) != 0) Py_CLEAR(names);
    Py_XDECREF(name);
  }
  return names;
}

PyObject* py_use(PyObject*, PyObject* args) {
  const KernelTable* table = parse(args, "s:use");
  if (table == nullptr) return nullptr;
  g_chosen = table;
  Py_RETURN_NONE;
}

// dot(variant, a, b) -> float
PyObject* py_dot(PyObject*, PyObject* args) {
  Floats a, b;
  const KernelTable* table = parse(args, "sy#y#:dot", &a.bytes, &a.len, &b.bytes, &b.len);
  if (table == nullptr) return nullptr;
  if (a.len != b.len) return PyErr_Format(PyExc_ValueError, "dot: lengths differ");
  return PyFloat_FromDouble(double{table->dot(a.data(), b.data(), std::size_t(a.len) / 4)});
}

// dot_block(variant, rows, queries, count, nq, d) -> bytes of count x nq floats, row-major.
PyObject* py_dot_block(PyObject*, PyObject* args) {
  Floats a, b;
  Py_ssize_t count, nq, d;
  const KernelTable* table =
      parse(args, "sy#y#nnn:dot_block", &a.bytes, &a.len, &b.bytes, &b.len, &count, &nq, &d);
  if (table == nullptr) return nullptr;
  if (count < 0 || std::size_t(count) > quantelle::kBlockRows || nq < 1 ||
      std::size_t(nq) > quantelle::kMaxQueries || d < 0 || a.len != count * d * 4 ||
      b.len != nq * d * 4)
    return PyErr_Format(PyExc_ValueError, "dot_block: unsupported shapes");
  const float* rows[quantelle::kBlockRows];
  const float* queries[quantelle::kMaxQueries];
  for (Py_ssize_t r = 0; r < count; ++r) rows[r] = a.data() + r * d;
  for (Py_ssize_t q = 0; q < nq; ++q) queries[q] = b.data() + q * d;
  float out[quantelle::kBlockRows * quantelle::kMaxQueries];
  table->dot_block(rows, std::size_t(count), queries, std::size_t(nq), std::size_t(d), out);
  return to_bytes(out, std::size_t(count * nq));
}

// gram(variant, e, m, d) -> bytes of m x m floats, row-major.
PyObject* py_gram(PyObject*, PyObject* args) {
  Floats e;
  Py_ssize_t m, d;
  const KernelTable* table = parse(args, "sy#nn:gram", &e.bytes, &e.len, &m, &d);
  if (table == nullptr) return nullptr;
  if (m < 0 || d < 0 || e.len != m * d * 4)
    return PyErr_Format(PyExc_ValueError, "gram: unsupported shapes");
  std::vector<float> out(std::size_t(m * m));
  table->gram(e.data(), std::size_t(m), std::size_t(d), out.data());
  return to_bytes(out.data(), out.size());
}

// score_in_ranges(rows_per_range, *args, **kwargs): score_candidates(*args, **kwargs) with the
// working rows scored range by range, the last range first, as a pool of threads might.
quantelle::py::PyResult<quantelle::py::PyRef> score_in_ranges_impl(PyObject* const* args,
                                                                 Py_ssize_t nargs,
                                                                 PyObject* kwnames) {
  using namespace quantelle;
  using namespace quantelle::py;
  const Py_ssize_t step = nargs > 0 ? PyLong_AsSsize_t(args[0]) : 0;
  if (step <= 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "rows_per_range must be positive");
    return kErrorSet;
  }
  ScoreCall call;
  if (!bind_score_call(call, args + 1, nargs - 1, kwnames)) return kErrorSet;
  Outcome<std::optional<ScorePlan>> plan = plan_scores(call.request);
  if (!plan) return std::unexpected(raise_failure(plan.error()));
  if (!*plan) return score_records(call, {});
  const std::size_t n = (*plan)->working.size(), per = static_cast<std::size_t>(step);
  std::vector<float> scores(n);
  for (std::size_t begin = (n == 0 ? 0 : (n - 1) / per * per);; begin -= per) {
    score_rows(call.request, **plan, begin,
               std::span(scores).subspan(begin, std::min(per, n - begin)));
    if (begin == 0) break;
  }
  return score_records(call, select_scored(call.request, **plan, scores));
}

template <auto Impl>
PyCFunction entry() {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)(void)>(&quantelle::py::entry<Impl>));
}

PyMethodDef kMethods[] = {
    {"variants", py_variants, METH_NOARGS, "Kernel variants this CPU runs, narrowest first."},
    {"use", py_use, METH_VARARGS, "use(variant): the table for the probe's score_candidates etc."},
    {"score_candidates", entry<quantelle::py::score_candidates_impl>(),
     METH_FASTCALL | METH_KEYWORDS, "score_candidates of the module, on the chosen table."},
    {"mmr_select_py", entry<quantelle::py::mmr_select_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "mmr_select_py of the module, on the chosen table."},
    {"score_in_ranges", entry<score_in_ranges_impl>(), METH_FASTCALL | METH_KEYWORDS,
     "score_in_ranges(rows_per_range, *args, **kwargs): score_candidates, range by range."},
    {"dot", py_dot, METH_VARARGS, "dot(variant, a, b) -> float"},
    {"dot_block", py_dot_block, METH_VARARGS, "dot_block(variant, rows, queries, count, nq, d)"},
    {"gram", py_gram, METH_VARARGS, "gram(variant, e, m, d) -> bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quantelle_probe", "", 0, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quantelle_probe() {
  PyObject* module = PyModule_Create(&kModule);
  if (module != nullptr &&
      PyModule_AddIntConstant(module, "BLOCK_ROWS", static_cast<long>(quantelle::kBlockRows)) < 0)
    Py_CLEAR(module);
  return module;
}
