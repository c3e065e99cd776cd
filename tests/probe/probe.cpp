// _quantelle_probe: a test-only module (never shipped). It runs each kernel variant on Python
// buffers, so the tests can hold every variant against the scalar reference, and it carries a
// second copy of the module's functions whose kernel table the tests choose, so the whole
// pipeline runs under every variant the CPU has. Kernel inputs are C-contiguous float32 buffers
// read in place (so a test can end one at a page boundary); the shapes come as arguments.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "candidates/pipeline.h"
#include "core/fault.h"
#include "core/views.h"
#include "kernels/half.h"
#include "kernels/kernels.h"
#include "kernels/tile_scan.h"
#include "module/entries.h"
#include "module/score_call.h"

namespace quantelle {
extern const KernelTable kAvx512ModelTable;  // dot16_model.cpp
}

namespace {

using quantelle::KernelChoice;
using quantelle::KernelTable;

const KernelTable* g_chosen = nullptr;  // for the probe's score_candidates, mmr_select_py, scans

// What the module itself would use in this process: the same choice, made once.
const KernelChoice& first_choice() noexcept {
  static const KernelChoice choice = quantelle::choose_kernels();
  return choice;
}

}  // namespace

// Linked in place of the library's own choice (kernels/dispatch.cpp), for this module only.
const KernelTable& quantelle::kernels() noexcept {
  return g_chosen != nullptr ? *g_chosen : *first_choice().table;
}

namespace {

// Arguments (variant, then what format names after "s"): the table of a variant this CPU runs
// (or the portable model of the AVX-512 table), or null with an error set.
template <class... Out>
const KernelTable* parse(PyObject* args, const char* format, Out*... out) {
  const char* variant;
  if (!PyArg_ParseTuple(args, format, &variant, out...)) return nullptr;
  for (const KernelTable* t : quantelle::supported_kernels())
    if (std::string_view(t->name) == variant) return t;
  if (std::string_view(quantelle::kAvx512ModelTable.name) == variant) return &quantelle::kAvx512ModelTable;
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

// Pointers to n runs of d floats, one every d, from base.
std::vector<const float*> runs(const float* base, Py_ssize_t n, Py_ssize_t d) {
  std::vector<const float*> out(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out[std::size_t(i)] = base + i * d;
  return out;
}

// (variant, rows, queries, nrows, nq, d) for a kernel that takes at most max_rows rows and
// min_q..max_q queries: the kernel's table (null with an error set) and the row pointers.
struct RowsQueries {
  const KernelTable* table = nullptr;
  std::vector<const float*> rows, queries;
  std::size_t d = 0;
};
RowsQueries rows_queries(PyObject* args, const char* format, std::size_t max_rows,
                         std::size_t min_q, std::size_t max_q) {
  Floats a, b;
  Py_ssize_t nrows, nq, d;
  RowsQueries in;
  in.table = parse(args, format, &a.bytes, &a.len, &b.bytes, &b.len, &nrows, &nq, &d);
  if (in.table == nullptr) return in;
  if (nrows < 0 || std::size_t(nrows) > max_rows || nq < Py_ssize_t(min_q) ||
      std::size_t(nq) > max_q || d < 0 || a.len != nrows * d * 4 || b.len != nq * d * 4) {
    PyErr_Format(PyExc_ValueError, "%s: unsupported shapes", format + 9);  // past "sy#y#nnn:"
    in.table = nullptr;
    return in;
  }
  in.rows = runs(a.data(), nrows, d), in.queries = runs(b.data(), nq, d), in.d = std::size_t(d);
  return in;
}

// dot_block(variant, rows, queries, count, nq, d) -> bytes of count x nq floats, row-major.
PyObject* py_dot_block(PyObject*, PyObject* args) {
  const RowsQueries in =
      rows_queries(args, "sy#y#nnn:dot_block", quantelle::kBlockRows, 1, quantelle::kMaxQueries);
  if (in.table == nullptr) return nullptr;
  std::vector<float> out(in.rows.size() * in.queries.size());
  in.table->dot_block(in.rows.data(), in.rows.size(), in.queries.data(), in.queries.size(), in.d,
                      out.data());
  return to_bytes(out.data(), out.size());
}

// n vectors of dim T each from `bytes`, each in a buffer of its own that ends where the vector
// ends, so that a read past dim is a fault under the sanitizers; and pointers to them.
template <class T>
struct Copies {
  std::vector<std::vector<T>> owned;
  std::vector<const T*> ptrs;
  Copies(const char* bytes, std::size_t n, std::size_t dim) : owned(n), ptrs(n) {
    for (std::size_t i = 0; i < n; ++i) {
      owned[i].resize(dim);
      if (dim != 0) std::memcpy(owned[i].data(), bytes + i * dim * sizeof(T), dim * sizeof(T));
      ptrs[i] = owned[i].data();
    }
  }
};

// half_dot_block(variant, rows, queries, count, nq, d), rows as float16 bits -> bytes of
// nq x kBlockRows floats (out[q * kBlockRows + r], the first count of each query's used).
PyObject* py_half_dot_block(PyObject*, PyObject* args) {
  const char* name;
  const char* rows;
  const char* queries;
  Py_ssize_t rows_len, queries_len, count, nq, d;
  if (!PyArg_ParseTuple(args, "sy#y#nnn:half_dot_block", &name, &rows, &rows_len, &queries,
                        &queries_len, &count, &nq, &d))
    return nullptr;
  const quantelle::HalfKernel* kernel = nullptr;
  for (const quantelle::HalfKernel* k : quantelle::supported_half_kernels())
    if (std::string_view(name) == k->name) kernel = k;
  if (kernel == nullptr) return PyErr_Format(PyExc_ValueError, "half_dot_block: no variant %s", name);
  // d bounded first, so that the byte counts below cannot overflow.
  if (count < 0 || std::size_t(count) > quantelle::kBlockRows || nq < 1 ||
      std::size_t(nq) > quantelle::kMaxQueries || d < 0 || d > PY_SSIZE_T_MAX / 64 ||
      rows_len != count * d * 2 || queries_len != nq * d * 4)
    return PyErr_Format(PyExc_ValueError, "half_dot_block: unsupported shapes");
  const auto dim = std::size_t(d);
  const Copies<std::uint16_t> r(rows, std::size_t(count), dim);
  const Copies<float> q(queries, std::size_t(nq), dim);
  std::vector<float> out(q.ptrs.size() * quantelle::kBlockRows, 0.0f);
  kernel->dot_block(r.ptrs.data(), r.ptrs.size(), q.ptrs.data(), q.ptrs.size(), dim, out.data());
  return to_bytes(out.data(), out.size());
}

// dot_tile(variant, rows, queries, nrows, nq, d) -> bytes of nq x nrows floats, query-major.
PyObject* py_dot_tile(PyObject*, PyObject* args) {
  const RowsQueries in = rows_queries(args, "sy#y#nnn:dot_tile", PY_SSIZE_T_MAX, 0,
                                      quantelle::kTileQueries);
  if (in.table == nullptr) return nullptr;
  std::vector<float> out(in.rows.size() * in.queries.size());
  in.table->dot_tile(in.rows.data(), in.rows.size(), in.queries.data(), in.queries.size(), in.d,
                     out.data());
  return to_bytes(out.data(), out.size());
}

// A matrix of rows x cols floats from `buffer`, strides in bytes (shapes checked by the caller).
quantelle::MatrixF32 matrix_of(const Floats& m, Py_ssize_t rows, Py_ssize_t cols,
                               Py_ssize_t row_stride, Py_ssize_t col_stride) {
  return {reinterpret_cast<const std::byte*>(m.bytes), std::size_t(rows), std::size_t(cols),
          row_stride, col_stride};
}

// scan_tiles(matrix, rows, cols, row_stride, col_stride, queries, nq, first, last) on the table
// of use(): [(row0, count, bytes of nq x count floats, query-major)] as the blocks came. The
// matrix buffer must hold every element the strides reach.
PyObject* py_scan_tiles(PyObject*, PyObject* args) {
  Floats m, q;
  Py_ssize_t rows, cols, row_stride, col_stride, nq, first, last;
  if (!PyArg_ParseTuple(args, "y#nnnny#nnn:scan_tiles", &m.bytes, &m.len, &rows, &cols,
                        &row_stride, &col_stride, &q.bytes, &q.len, &nq, &first, &last))
    return nullptr;
  if (rows < 0 || cols < 0 || nq < 0 || first < 0 || last < 0 || q.len != nq * cols * 4 ||
      (rows > 0 && cols > 0 && (rows - 1) * row_stride + (cols - 1) * col_stride + 4 > m.len))
    return PyErr_Format(PyExc_ValueError, "scan_tiles: unsupported shapes");
  const quantelle::MatrixF32 matrix = matrix_of(m, rows, cols, row_stride, col_stride);
  const std::vector<const float*> queries = runs(q.data(), nq, cols);
  PyObject* blocks = PyList_New(0);
  if (blocks == nullptr) return nullptr;
  try {  // a broken precondition of scan_tiles, as the tests see it
    quantelle::scan_tiles(matrix, std::size_t(first), std::size_t(last), queries,
                          [&](std::size_t row0, std::size_t count, const float* scores) {
                            PyObject* block = blocks != nullptr ? Py_BuildValue(
                                "nnN", Py_ssize_t(row0), Py_ssize_t(count),
                                to_bytes(scores, count * std::size_t(nq))) : nullptr;
                            if (block == nullptr || PyList_Append(blocks, block) != 0) Py_CLEAR(blocks);
                            Py_XDECREF(block);
                          });
  } catch (const quantelle::Fault& f) {
    Py_DECREF(blocks);
    PyErr_SetString(PyExc_RuntimeError, f.message.c_str());
    return nullptr;
  }
  return blocks;
}

// best_by_tiles(matrix, rows, cols, queries, nq) on the table of use(): for each query the
// first row of the highest score, by scan_tiles over the whole C-contiguous matrix; the bench
// times it as what many queries per read cost before any selection of the engine's own.
PyObject* py_best_by_tiles(PyObject*, PyObject* args) {
  Floats m, q;
  Py_ssize_t rows, cols, nq;
  if (!PyArg_ParseTuple(args, "y#nny#n:best_by_tiles", &m.bytes, &m.len, &rows, &cols, &q.bytes,
                        &q.len, &nq))
    return nullptr;
  if (rows < 0 || cols < 0 || nq < 0 || std::size_t(nq) > quantelle::kTileQueries ||
      m.len != rows * cols * 4 || q.len != nq * cols * 4)
    return PyErr_Format(PyExc_ValueError, "best_by_tiles: unsupported shapes");
  const quantelle::MatrixF32 matrix = matrix_of(m, rows, cols, cols * 4, 4);
  const std::vector<const float*> queries = runs(q.data(), nq, cols);
  std::vector<float> best(std::size_t(nq), -std::numeric_limits<float>::infinity());
  std::vector<Py_ssize_t> at(std::size_t(nq), -1);
  quantelle::scan_tiles(matrix, 0, std::size_t(rows), queries,
                        [&](std::size_t row0, std::size_t count, const float* scores) {
                          for (std::size_t j = 0; j < std::size_t(nq); ++j) {
                            const float* s = scores + j * count;
                            const float* top = std::max_element(s, s + count);
                            if (*top > best[j]) best[j] = *top, at[j] = Py_ssize_t(row0) + (top - s);
                          }
                        });
  PyObject* out = PyList_New(nq);
  for (Py_ssize_t j = 0; out != nullptr && j < nq; ++j) {
    PyObject* row = PyLong_FromSsize_t(at[std::size_t(j)]);
    if (row == nullptr) Py_CLEAR(out);
    else PyList_SET_ITEM(out, j, row);
  }
  return out;
}

// chosen() -> (name, reason, {name: seconds}): the table the module picks in this process and
// why ("forced" by QUANTELLE_KERNEL, the "only" SIMD table, or "measured" by a scan).
PyObject* py_chosen(PyObject*, PyObject*) {
  const KernelChoice& c = first_choice();
  static constexpr const char* kReasons[] = {"forced", "only", "measured"};
  PyObject* timings = PyDict_New();
  for (std::size_t i = 0; timings != nullptr && i < 2 && c.reason == KernelChoice::Reason::measured; ++i) {
    PyObject* s = PyFloat_FromDouble(c.seconds[i]);
    if (s == nullptr || PyDict_SetItemString(timings, c.timed[i]->name, s) != 0) Py_CLEAR(timings);
    Py_XDECREF(s);
  }
  if (timings == nullptr) return nullptr;
  return Py_BuildValue("ssN", c.table->name, kReasons[static_cast<int>(c.reason)], timings);
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
    {"dot_tile", py_dot_tile, METH_VARARGS, "dot_tile(variant, rows, queries, nrows, nq, d)"},
    {"half_dot_block", py_half_dot_block, METH_VARARGS,
     "half_dot_block(variant, rows, queries, count, nq, d)"},
    {"scan_tiles", py_scan_tiles, METH_VARARGS,
     "scan_tiles(matrix, rows, cols, row_stride, col_stride, queries, nq, first, last)"},
    {"best_by_tiles", py_best_by_tiles, METH_VARARGS, "best_by_tiles(matrix, rows, cols, queries, nq)"},
    {"chosen", py_chosen, METH_NOARGS, "chosen() -> (name, reason, {name: seconds})"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quantelle_probe", "", 0, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quantelle_probe() {
  PyObject* module = PyModule_Create(&kModule);
  if (module != nullptr &&
      (PyModule_AddIntConstant(module, "BLOCK_ROWS", static_cast<long>(quantelle::kBlockRows)) < 0 ||
       PyModule_AddIntConstant(module, "TILE_QUERIES", static_cast<long>(quantelle::kTileQueries)) < 0 ||
       PyModule_AddIntConstant(module, "TILE_BLOCK_ROWS", static_cast<long>(quantelle::kTileBlockRows)) < 0))
    Py_CLEAR(module);
  return module;
}
