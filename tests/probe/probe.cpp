// _quantelle_probe: a test-only module (never shipped) that runs each kernel variant on
// Python buffers, so the tests can hold every variant against the scalar reference. Inputs
// come through the buffer protocol, so it needs no NumPy headers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "kernels/kernels.h"

namespace {

using quantelle::KernelTable;

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

struct Variant {
  std::string_view name;
  const KernelTable* table;
  bool (*runs)();
};

bool always() { return true; }
bool has_avx2() { return quantelle::cpu_has_avx2_fma(); }
bool has_avx512() { return quantelle::cpu_has_avx512(); }

const Variant kVariants[] = {{"scalar", &quantelle::kScalarTable, always},
                             {"avx2", &quantelle::kAvx2Table, has_avx2},
                             {"avx512", &quantelle::kAvx512Table, has_avx512}};

// The table of a variant this CPU runs, or null with ValueError set.
const KernelTable* find_table(const char* name) {
  for (const Variant& v : kVariants)
    if (v.name == name && v.runs()) return v.table;
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
  for (const Variant& v : kVariants) {
    if (!v.runs()) continue;
    PyObject* name =
        PyUnicode_FromStringAndSize(v.name.data(), static_cast<Py_ssize_t>(v.name.size()));
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
    {"selected", py_selected, METH_NOARGS, "Name of the table that kernels() picked."},
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
