// quantelle._engine: the layer's own module, built from the same sources as _quantelle. It
// adds what _quantelle must not have: a pool of threads, and scans that run with the
// interpreter lock released over memory nobody can write (engine/frozen.h).
#include "core/thread_pool.h"
#include "engine/checked_ids.h"
#include "engine/frozen.h"
#include "engine/many.h"
#include "engine/score.h"
#include "engine/score_half.h"
#include "module/docstrings.h"

namespace quantelle::py {
namespace {

template <auto Fn>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Fn));
}

PyObject* py_set_num_threads(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyResult<PyRef> {
    const Py_ssize_t n = PyNumber_AsSsize_t(arg, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return kErrorSet;
    if (n < 1) {
      PyErr_Format(PyExc_ValueError, "the number of threads must be at least 1, got %zd", n);
      return kErrorSet;
    }
    set_pool_threads(static_cast<std::size_t>(n));
    return PyRef::borrow(Py_None);
  });
}

PyObject* py_get_num_threads(PyObject*, PyObject*) {
  return guarded([]() -> PyResult<PyRef> {
    return created(PyLong_FromSize_t(pool_threads()));
  });
}

PyObject* py_is_frozen(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyResult<PyRef> {
    auto frozen = is_frozen(arg);
    if (!frozen) return kErrorSet;
    return PyRef::borrow(*frozen ? Py_True : Py_False);
  });
}

PyObject* py_score_many(PyObject*, PyObject* calls) {
  return guarded([&] { return score_many(calls); });
}

PyMethodDef g_methods[] = {
    {"score_candidates", as_cfunction<&entry<engine_score_impl>>(), METH_FASTCALL | METH_KEYWORDS,
     kScoreCandidatesDoc},
    {"set_num_threads", as_cfunction<&py_set_num_threads>(), METH_O,
     "set_num_threads(n, /)\n--\n\nLet each search use at most n threads (the caller among them)."},
    {"get_num_threads", as_cfunction<&py_get_num_threads>(), METH_NOARGS,
     "get_num_threads()\n--\n\nThe most threads a search uses."},
    {"is_frozen", as_cfunction<&py_is_frozen>(), METH_O,
     "is_frozen(array, /)\n--\n\nWhether no Python code can ever write the array's memory."},
    {"score_f16", as_cfunction<&py_score_f16>(), METH_FASTCALL | METH_KEYWORDS, kScoreF16Doc},
    {"score_many", as_cfunction<&py_score_many>(), METH_O,
     "score_many(calls, /)\n--\n\nEach dict of calls holds the keyword arguments of one score_candidates call;\n"
     "returns each call's records in call order, or raises the error of the first call that\n"
     "fails. The calls over the same rows read them once for up to 64 query vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quantelle._engine",
    "The layer's engine: threaded scans over memory that nobody can write.",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

PyResult<PyRef> init_engine() {
  if (g_module != nullptr) return PyRef::borrow(g_module);
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return kErrorSet;
  PyTypeObject* buffer = frozen_buffer_type();
  if (buffer == nullptr) return kErrorSet;
  if (PyModule_AddObjectRef(module.get(), "FrozenBuffer", reinterpret_cast<PyObject*>(buffer)) < 0) {
    return kErrorSet;
  }
  PyTypeObject* checked = checked_ids_type();
  if (checked == nullptr) return kErrorSet;
  if (PyModule_AddObjectRef(module.get(), "CheckedIds", reinterpret_cast<PyObject*>(checked)) < 0) {
    return kErrorSet;
  }
  g_module = module.release();
  return PyRef::borrow(g_module);
}

}  // namespace
}  // namespace quantelle::py

PyMODINIT_FUNC PyInit__engine(void) {
  return quantelle::py::guarded([] { return quantelle::py::init_engine(); });
}
