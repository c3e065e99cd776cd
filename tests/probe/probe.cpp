// _quantelle_probe: a test-only module (never shipped). It runs each kernel variant on Python
// buffers, so the tests can hold every variant against the scalar reference, and it carries a
// second copy of the module's functions whose kernel table the tests choose, so the whole
// pipeline runs under every variant the CPU has. Kernel inputs come through the buffer protocol.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "kernels/kernels.h"
#include "module/entries.h"

namespace {

using quantelle::KernelTable;

const KernelTable* g_chosen = nullptr;  // for the probe's score_candidates and mmr_select_py

}  // namespace

// Linked in place of the library's own choice (kernels/dispatch.cpp), for this module only.
const KernelTable& quantelle::kernels() noexcept {
  return g_chosen != nullptr ? *g_chosen : *supported_kernels().back();
}

namespace {

// One C-contiguous float32 view, released on every path.
class FloatBuffer {
 public:
  FloatBuffer() = default;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False with a Python error set when obj is not a float32 array of `ndim` dimensions.
  [[nodiscard]] bool acquire(PyObject* obj, const char* name, int ndim) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
    held_ = true;
    if (view_.format == nullptr || std::strcmp(view_.format, "f") != 0 || view_.itemsize != 4) {
      PyErr_Format(PyExc_ValueError, "%s: expected float32 data", name);
      return false;
    }
    if (view_.ndim != ndim) {
      PyErr_Format(PyExc_ValueError, "%s: expected %d dimension(s), got %d", name, ndim,
                   view_.ndim);
      return false;
    }
    return true;
  }
  [[nodiscard]] const float* data() const { return static_cast<const float*>(view_.buf); }
  [[nodiscard]] std::size_t dim(int i) const { return static_cast<std::size_t>(view_.shape[i]); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The table of a variant this CPU runs, or null with ValueError set.
const KernelTable* find_table(const char* name) {
  for (const KernelTable* t : quantelle::supported_kernels())
    if (std::string_view(t->name) == name) return t;
  PyErr_Format(PyExc_ValueError, "unknown or unsupported variant '%s'", name);
  return nullptr;
}

PyObject* to_bytes(const float* values, std::size_t count) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values),
                                   static_cast<Py_ssize_t>(count * sizeof(float)));
}

PyObject* py_variants(PyObject*, PyObject*) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (const KernelTable* t : quantelle::supported_kernels()) {
    PyObject* name = PyUnicode_FromString(t->name);
    const int failed = name == nullptr || PyList_Append(list, name) != 0;
    Py_XDECREF(name);
    if (failed) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

PyObject* py_selected(PyObject*, PyObject*) {
  return PyUnicode_FromString(quantelle::kernels().name);
}

PyObject* py_use(PyObject*, PyObject* arg) {
  const char* variant = PyUnicode_AsUTF8(arg);
  if (variant == nullptr) return nullptr;
  const KernelTable* table = find_table(variant);
  if (table == nullptr) return nullptr;
  g_chosen = table;
  Py_RETURN_NONE;
}

PyObject* py_dot(PyObject*, PyObject* args) {
  const char* variant;
  PyObject *a_obj, *b_obj;
  if (!PyArg_ParseTuple(args, "sOO:dot", &variant, &a_obj, &b_obj)) return nullptr;
  const KernelTable* table = find_table(variant);
  FloatBuffer a, b;
  if (table == nullptr || !a.acquire(a_obj, "a", 1) || !b.acquire(b_obj, "b", 1)) return nullptr;
  if (a.dim(0) != b.dim(0)) return PyErr_Format(PyExc_ValueError, "dot: lengths differ");
  return PyFloat_FromDouble(static_cast<double>(table->dot(a.data(), b.data(), a.dim(0))));
}

// bytes of count * nq floats, row-major: out[r * nq + q].
PyObject* py_dot_block(PyObject*, PyObject* args) {
  const char* variant;
  PyObject *rows_obj, *queries_obj;
  if (!PyArg_ParseTuple(args, "sOO:dot_block", &variant, &rows_obj, &queries_obj)) return nullptr;
  const KernelTable* table = find_table(variant);
  FloatBuffer rows, queries;
  if (table == nullptr || !rows.acquire(rows_obj, "rows", 2) ||
      !queries.acquire(queries_obj, "queries", 2))
    return nullptr;
  const std::size_t count = rows.dim(0), nq = queries.dim(0), d = rows.dim(1);
  if (count > quantelle::kBlockRows || nq < 1 || nq > quantelle::kMaxQueries || queries.dim(1) != d)
    return PyErr_Format(PyExc_ValueError, "dot_block: unsupported shapes");
  const float* row_ptrs[quantelle::kBlockRows];
  const float* query_ptrs[quantelle::kMaxQueries];
  for (std::size_t r = 0; r < count; ++r) row_ptrs[r] = rows.data() + r * d;
  for (std::size_t q = 0; q < nq; ++q) query_ptrs[q] = queries.data() + q * d;
  float out[quantelle::kBlockRows * quantelle::kMaxQueries];
  table->dot_block(row_ptrs, count, query_ptrs, nq, d, out);
  return to_bytes(out, count * nq);
}

// bytes of m * m floats, row-major.
PyObject* py_gram(PyObject*, PyObject* args) {
  const char* variant;
  PyObject* e_obj;
  if (!PyArg_ParseTuple(args, "sO:gram", &variant, &e_obj)) return nullptr;
  const KernelTable* table = find_table(variant);
  FloatBuffer e;
  if (table == nullptr || !e.acquire(e_obj, "e", 2)) return nullptr;
  const std::size_t m = e.dim(0);
  std::vector<float> out(m * m);
  table->gram(e.data(), m, e.dim(1), out.data());
  return to_bytes(out.data(), out.size());
}

PyMethodDef kMethods[] = {
    {"variants", py_variants, METH_NOARGS, "Kernel variants this CPU runs, narrowest first."},
    {"selected", py_selected, METH_NOARGS, "Name of the table the probe's functions use."},
    {"use", py_use, METH_O, "use(variant): the table for the probe's score_candidates etc."},
    {"score_candidates",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
         &quantelle::py::entry<quantelle::py::score_candidates_impl>)),
     METH_FASTCALL | METH_KEYWORDS, "score_candidates of the module, on the chosen table."},
    {"mmr_select_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
         &quantelle::py::entry<quantelle::py::mmr_select_impl>)),
     METH_FASTCALL | METH_KEYWORDS, "mmr_select_py of the module, on the chosen table."},
    {"dot", py_dot, METH_VARARGS, "dot(variant, a, b) -> float"},
    {"dot_block", py_dot_block, METH_VARARGS, "dot_block(variant, rows, queries) -> bytes"},
    {"gram", py_gram, METH_VARARGS, "gram(variant, e) -> bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quantelle_probe", "", 0, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quantelle_probe() {
  PyObject* module = PyModule_Create(&kModule);
  if (module != nullptr &&
      PyModule_AddIntConstant(module, "BLOCK_ROWS", static_cast<long>(quantelle::kBlockRows)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
