/* What CPython itself needs to resolve ids: one PyDict_GetItemWithError per id of a list, in
 * list order, nothing else (no value read, no check), each id's object fetched a few items
 * ahead. Compiled by bench/native.py against the running interpreter's headers and called
 * through ctypes.PyDLL, with the interpreter lock held. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Ids found, summed over `reps` passes; -1 if a lookup raised (the exception is left set). */
Py_ssize_t dict_lookups(PyObject* dict, PyObject* list, Py_ssize_t reps) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  Py_ssize_t found = 0;
  for (Py_ssize_t r = 0; r < reps; ++r) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (i + 16 < n) __builtin_prefetch(PyList_GET_ITEM(list, i + 16));
      if (PyDict_GetItemWithError(dict, PyList_GET_ITEM(list, i)) != NULL) ++found;
      else if (PyErr_Occurred()) return -1;
    }
  }
  return found;
}
