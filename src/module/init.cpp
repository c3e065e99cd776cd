// Module creation: single-phase init, one owner interpreter, one module object per process.
#include <atomic>
#include <cstdint>

#include "module/docstrings.h"
#include "module/entries.h"

namespace quantelle::py {
namespace {

// Method-table entries cast through void (*)(void), as CPython's own tables do.
template <auto Fn>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Fn));
}

PyMethodDef g_methods[] = {
    {"parse_modifiers", as_cfunction<&entry<parse_modifiers_impl>>(),
     METH_FASTCALL | METH_KEYWORDS, kParseModifiersDoc},
    {"score_candidates", as_cfunction<&entry<score_candidates_impl>>(),
     METH_FASTCALL | METH_KEYWORDS, kScoreCandidatesDoc},
    {"mmr_select_py", as_cfunction<&entry<mmr_select_impl>>(), METH_FASTCALL | METH_KEYWORDS,
     kMmrSelectDoc},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_quantelle",
    "",  // an empty docstring, not None
    0,
    nullptr,  // functions are added one by one, each appended to __all__
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Process-wide: the interpreter that first imported us, and the module it got.
std::atomic<std::int64_t> g_owner{-1};
PyObject* g_module = nullptr;

PyResult<void> add_function(PyObject* module, PyMethodDef* def) {
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return kErrorSet;
  PyRef function = PyRef::steal(PyCMethod_New(def, module, name.get(), nullptr));
  if (!function) return kErrorSet;
  PyRef function_name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name) return kErrorSet;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return kErrorSet;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return kErrorSet;
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), function_name.get()) < 0) {
    PyErr_Clear();
    raise_fault("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, function_name.get(), function.get()) < 0) return kErrorSet;
  return {};
}

PyResult<PyRef> init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return std::unexpected(fetch_error());
  std::int64_t expected = -1;
  if (!g_owner.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_quantelle does not support subinterpreters: it was already imported by "
                    "another interpreter of this process");
    return kErrorSet;
  }
  if (g_module != nullptr) return PyRef::borrow(g_module);
  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
  if (!module) return kErrorSet;
  for (PyMethodDef& def : g_methods) {
    if (auto r = add_function(module.get(), &def); !r) return std::unexpected(r.error());
  }
  if (g_module == nullptr) g_module = PyRef::borrow(module.get()).release();
  return PyRef::borrow(g_module);
}

}  // namespace
}  // namespace quantelle::py

PyMODINIT_FUNC PyInit__quantelle(void) {
  return quantelle::py::guarded([] { return quantelle::py::init_module(); });
}
